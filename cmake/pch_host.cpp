// SPDX-License-Identifier: GPL-3.0-or-later
// Hosts the tests' precompiled header; the program itself does nothing.
int main() {
    return 0;
}
