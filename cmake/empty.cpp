// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder so that a layer without sources still forms a library.
