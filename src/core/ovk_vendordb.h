// SPDX-License-Identifier: GPL-3.0-or-later
// Read-only lookup tables that turn raw identifiers into names: IEEE address blocks
// (MA-L, MA-M, MA-S) into manufacturers, Bluetooth SIG company identifiers into companies,
// 16-bit service UUIDs into service names and GAP appearance values into device classes.
//
// The four tab-separated files are read once at start-up and kept in memory until unload.
// Lookups take no lock and never allocate (except the appearance text): the tables do not
// change between load and unload, which happen while no scanner or pipeline thread runs.
// Returned names point into the loaded files and stay valid until ovk_vendordb_unload().
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ovk_asset.h"

// Asset names of the four tables, in load order.
inline constexpr const char* OVK_VENDOR_FILE_OUI = "vendors/oui.tsv";
inline constexpr const char* OVK_VENDOR_FILE_COMPANY = "vendors/bt_company.tsv";
inline constexpr const char* OVK_VENDOR_FILE_UUID16 = "vendors/bt_uuid16.tsv";
inline constexpr const char* OVK_VENDOR_FILE_APPEARANCE = "vendors/bt_appearance.tsv";

// Loads the four tables through `read_asset`. 0 on success or when already loaded (nothing
// is read then); -1 when a file cannot be read or memory runs out (nothing stays loaded).
int ovk_vendordb_load(const OVK_ASSET_READER& read_asset);
// The same through the process-wide asset reader (ovk_read_asset).
int ovk_vendordb_load();
// 1 after a successful load, 0 before and after unload.
int ovk_vendordb_loaded();
// Frees everything; lookups answer nullptr / nullopt until the next load.
void ovk_vendordb_unload();

// Manufacturer of an address "AA:BB:CC:DD:EE:FF" (only ':' is dropped): the most specific
// registered block (36-bit, then 28-bit, then 24-bit) wins. nullptr when unknown, when the
// address is locally administered, or when the tables are not loaded.
const char* ovk_vendor_mac(std::string_view mac);
// The company identifier the Bluetooth SIG reserves for devices without one (its table calls
// it a default vendor id); it names no company.
inline constexpr int OVK_COMPANY_NONE = 0xFFFF;
// Company name for a Bluetooth SIG company identifier; nullptr for a negative or unknown id
// and for OVK_COMPANY_NONE.
const char* ovk_vendor_company(int cid);
// Service name (or member owner) of a 16-bit UUID; nullptr for a negative or unknown one.
const char* ovk_vendor_uuid16(int short_uuid);
// "Category - Subcategory" when the value has a non-zero subcategory the table knows, else
// the category name; nullopt when the category is unknown or the tables are not loaded.
std::optional<std::string> ovk_vendor_appearance(int value);

// Number of address-block entries (0 when not loaded).
size_t ovk_vendordb_oui_count();

struct OVK_VENDORDB_COUNTS {
    size_t oui = 0;
    size_t companies = 0;
    size_t uuids = 0;
    size_t appearances = 0;
};
// Entry counts of the four tables (all 0 when not loaded).
OVK_VENDORDB_COUNTS ovk_vendordb_counts();

// The system's copy of the IEEE registry, as Debian's ieee-data package ships it, turned into
// the address-block table (OVK_VENDOR_FILE_OUI's format). Each input is one CSV file with its
// prefix length: oui.csv 6 (MA-L), mam.csv 7 (MA-M), oui36.csv and iab.csv 9 (MA-S, IAB). A
// file must start with the header row ("Registry,Assignment,Organization Name,...") or it
// gives nothing; rows whose assignment is not that many hex digits, or whose name is empty,
// are skipped. Names become one line of text (white space and control characters one blank,
// invalid UTF-8 the replacement character), and a block listed twice keeps its first name,
// as tools/gen_vendor_tables.py does for the bundled table.
struct OVK_IEEE_CSV {
    std::string_view text;
    int digits = 6;
};
struct OVK_IEEE_TABLE {
    std::string tsv;    // the table, one "PREFIX<TAB>Name" line per block
    size_t blocks = 0;  // lines in it
};
OVK_IEEE_TABLE ovk_vendordb_from_ieee(std::span<const OVK_IEEE_CSV> files);
// The listing date a table names in its header comment ("... IEEE listing of 2022-08-27"),
// as days since 1970-01-01; nullopt when it names none.
std::optional<long> ovk_vendordb_listing_day(std::string_view table);
