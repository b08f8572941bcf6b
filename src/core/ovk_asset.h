// SPDX-License-Identifier: GPL-3.0-or-later
// Read-only assets (vendor tables, presets, signature lists) are loaded through one
// installable reader, so that the program, the tests and the tools choose where they live.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Returns the whole asset, or nullopt when it cannot be read.
using OVK_ASSET_READER = std::function<std::optional<std::string>(std::string_view name)>;

// Installs the reader (an empty function restores the default one). Installed once at
// start-up, before any thread reads assets.
void ovk_set_asset_reader(OVK_ASSET_READER reader);
// Reads through the installed reader, or the default one: "$OVK_ASSETS/<name>" when the
// variable is set and not empty, else "assets/<name>" relative to the working directory.
// An empty name, a path of 1024 bytes or more, or a reader that throws gives nullopt.
std::optional<std::string> ovk_read_asset(std::string_view name);
// The default reader itself.
std::optional<std::string> ovk_read_asset_default(std::string_view name);
