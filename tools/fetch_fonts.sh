#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Where the fonts in assets/fonts come from, and how to fetch them again when missing.
#   DejaVuSans.ttf, DejaVuSans-Bold.ttf, DejaVuSansMono.ttf: Debian's fonts-dejavu-core
#     (2.37), licence in DejaVu-LICENSE.txt (the package's copyright file).
#   share_tech_mono.ttf: Share Tech Mono by Carrois Type Design, SIL Open Font Licence 1.1,
#     from the npm package @expo-google-fonts/share-tech-mono 0.4.1
#     (400Regular/ShareTechMono_400Regular.ttf), licence in share_tech_mono-LICENSE.txt.
# The files are committed; this script only refills a checkout that lacks them.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=assets/fonts
mkdir -p "$dir"

dejavu=/usr/share/fonts/truetype/dejavu
for f in DejaVuSans.ttf DejaVuSans-Bold.ttf DejaVuSansMono.ttf; do
  [ -s "$dir/$f" ] && continue
  if [ ! -s "$dejavu/$f" ]; then
    echo "fonts: $dejavu/$f missing (apt-get install fonts-dejavu-core)" >&2
    exit 1
  fi
  cp "$dejavu/$f" "$dir/$f"
  echo "fonts: $f from fonts-dejavu-core"
done
if [ ! -s "$dir/DejaVu-LICENSE.txt" ] && [ -s /usr/share/doc/fonts-dejavu-core/copyright ]; then
  cp /usr/share/doc/fonts-dejavu-core/copyright "$dir/DejaVu-LICENSE.txt"
fi

if [ ! -s "$dir/share_tech_mono.ttf" ]; then
  command -v npm >/dev/null || { echo "fonts: npm needed to fetch Share Tech Mono" >&2; exit 1; }
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent @expo-google-fonts/share-tech-mono@0.4.1 >/dev/null)
  tar xzf "$tmp"/*.tgz -C "$tmp"
  sum=$(sha256sum "$tmp/package/400Regular/ShareTechMono_400Regular.ttf" | cut -d' ' -f1)
  if [ "$sum" != 911a85f56c44e8a712458513e6972a3e296ee9a84e70754462d03de3f3609c2b ]; then
    echo "fonts: Share Tech Mono from npm has an unexpected checksum $sum" >&2
    exit 1
  fi
  cp "$tmp/package/400Regular/ShareTechMono_400Regular.ttf" "$dir/share_tech_mono.ttf"
  cp "$tmp/package/LICENSE_FONT" "$dir/share_tech_mono-LICENSE.txt"
  echo "fonts: share_tech_mono.ttf from npm"
fi
