// Small shared tools of the application layer: files, clock, assets (and, below, the
// string map, text buffer and JSON helpers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_asset.h"

// Wall-clock milliseconds since the Unix epoch.
int64_t ovk_now_ms();
// Creates the directory and its missing parents with mode 0700. 0 / -1.
int ovk_mkdirs(std::string_view path);
// Writes path.tmp, fsyncs, renames over path and fsyncs the directory. 0 / -1; the old
// file stays intact on every failure.
int ovk_write_file_atomic(const std::string& path, std::string_view data);
// The whole file, or nullopt when it cannot be opened or read.
std::optional<std::string> ovk_read_file(const std::string& path);

// Read-only assets: OVK_ASSET_READER, ovk_set_asset_reader and ovk_read_asset are declared
// in the core layer (the vendor tables load through them) and implemented there.
