#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Draws the PNG icons from dist/orvik.svg (48 and 256 pixels square) with rsvg-convert
# (Debian's librsvg2-bin). The PNGs are committed; run this after changing the SVG and look
# at both files before committing them.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v rsvg-convert >/dev/null 2>&1; then
  echo "icons: rsvg-convert missing (apt-get install librsvg2-bin)" >&2
  exit 1
fi
for size in 48 256; do
  rsvg-convert --width "$size" --height "$size" --format png dist/orvik.svg \
    --output "dist/orvik-$size.png"
  echo "icons: dist/orvik-$size.png"
done
