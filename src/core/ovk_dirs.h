// SPDX-License-Identifier: GPL-3.0-or-later
// Folders the program makes for itself: a directory path with its parents, and the rule for
// where exports go. Shared by the application and the platform layers.
#pragma once

#include <string>
#include <string_view>

// Creates the directory and its missing parents with mode 0700. 0 / -1; -1 also when
// something other than a directory already holds the path or one of its parents.
int ovk_mkdirs(std::string_view path);

// Where exports go: "$HOME/Documents/Orvik" (HOME unset or empty counts as ".") when the
// Documents folder exists and Orvik's folder is there or can be made in it; otherwise
// "<data_dir>/exports" (data_dir cut to 4080 bytes), which is left to the caller to create.
// Folders made here are private to the user (0700): exports hold where the user has been.
std::string ovk_export_dir(std::string_view data_dir);
