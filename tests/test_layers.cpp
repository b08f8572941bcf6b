// SPDX-License-Identifier: GPL-3.0-or-later
// The layers of the source tree: support -> core -> app -> platform -> gui -> main, with the
// widget toolkit in support/toolkit. A file includes only headers of its own layer or of lower
// ones, never through a relative path. The engine (support outside the toolkit, core, app)
// never includes Allegro, X11 or the toolkit, and core and app include nothing of the system
// or the platform: only the C++ library, the JSON tree library and the layers below them. A
// screen includes the frame, the theme, the toolkit and the engine, never another screen.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kLayers = {"support",      "src/core", "src/app",
                                          "src/platform", "src/gui",  "src/main"};
constexpr int kCore = 1;
constexpr int kApp = 2;
constexpr int kGui = 4;

// The headers of the C++ library (C++20), the C ones in their <cname> form included.
const std::set<std::string> kStandard = {"algorithm",
                                         "any",
                                         "array",
                                         "atomic",
                                         "barrier",
                                         "bit",
                                         "bitset",
                                         "cassert",
                                         "cctype",
                                         "cerrno",
                                         "cfenv",
                                         "cfloat",
                                         "charconv",
                                         "chrono",
                                         "cinttypes",
                                         "climits",
                                         "clocale",
                                         "cmath",
                                         "codecvt",
                                         "compare",
                                         "complex",
                                         "concepts",
                                         "condition_variable",
                                         "coroutine",
                                         "csetjmp",
                                         "csignal",
                                         "cstdarg",
                                         "cstddef",
                                         "cstdint",
                                         "cstdio",
                                         "cstdlib",
                                         "cstring",
                                         "ctime",
                                         "cuchar",
                                         "cwchar",
                                         "cwctype",
                                         "deque",
                                         "exception",
                                         "execution",
                                         "filesystem",
                                         "format",
                                         "forward_list",
                                         "fstream",
                                         "functional",
                                         "future",
                                         "initializer_list",
                                         "iomanip",
                                         "ios",
                                         "iosfwd",
                                         "iostream",
                                         "istream",
                                         "iterator",
                                         "latch",
                                         "limits",
                                         "list",
                                         "locale",
                                         "map",
                                         "memory",
                                         "memory_resource",
                                         "mutex",
                                         "new",
                                         "numbers",
                                         "numeric",
                                         "optional",
                                         "ostream",
                                         "queue",
                                         "random",
                                         "ranges",
                                         "ratio",
                                         "regex",
                                         "scoped_allocator",
                                         "semaphore",
                                         "set",
                                         "shared_mutex",
                                         "source_location",
                                         "span",
                                         "sstream",
                                         "stack",
                                         "stdexcept",
                                         "stop_token",
                                         "streambuf",
                                         "string",
                                         "string_view",
                                         "syncstream",
                                         "system_error",
                                         "thread",
                                         "tuple",
                                         "type_traits",
                                         "typeindex",
                                         "typeinfo",
                                         "unordered_map",
                                         "unordered_set",
                                         "utility",
                                         "valarray",
                                         "variant",
                                         "vector",
                                         "version"};

// The one library outside the C++ library that core and app use: cJSON, plain data.
const std::set<std::string> kEngineLibraries = {"cjson/cJSON.h"};

// Modules of src/gui that are not screens: the frame and its engine port, the theme, the map
// base the map and the history both draw on, the device list's rules, and the screenshot tour
// (which drives the screens as the frame does).
const std::set<std::string> kGuiShared = {"ovk_gui",         "ovk_gui_port", "ovk_gui_theme",
                                          "ovk_gui_mapview", "ovk_gui_list", "ovk_gui_shots"};

// Shared modules of src/gui written as plain code: no Allegro, X11 or toolkit, and of src/gui
// only each other (the frame's header pulls Allegro in).
const std::set<std::string> kGuiPlain = {"ovk_gui_list"};

// Screens kept in more than one file: the file's stem -> the screen it belongs to.
const std::map<std::string, std::string> kScreenFiles = {{"ovk_gui_main_draw", "ovk_gui_main"}};

// Screens that still reach another screen's header. This list only shrinks: an entry that no
// longer happens fails the test, so that it is taken out.
const std::set<std::string> kScreenCallsLeft = {"ovk_gui_main -> ovk_gui_map",
                                                "ovk_gui_main -> ovk_gui_report",
                                                "ovk_gui_main -> ovk_gui_watchlist"};

bool is_toolkit(const fs::path& rel) {
    return rel.begin() != rel.end() && *rel.begin() == "toolkit";
}

std::string stem_of(const std::string& name) {
    return fs::path(name).stem().string();
}

// The module a src/gui file belongs to (its stem), or "" for the frame's shared modules.
std::string screen_of(const std::string& stem) {
    if (kGuiShared.count(stem)) return {};
    const auto it = kScreenFiles.find(stem);
    return it != kScreenFiles.end() ? it->second : stem;
}

struct Report {
    std::vector<std::string> faults;
    std::set<std::string> screen_calls;  // "screen -> screen" met, listed or not
    int files = 0;
};

// Checks every .h and .cpp under the layers of `root` (subfolders included).
Report check_tree(const fs::path& root) {
    Report r;
    std::map<std::string, int> layer_of;  // header file name -> layer index
    std::map<std::string, bool> toolkit_header;
    for (size_t i = 0; i < kLayers.size(); ++i) {
        if (!fs::is_directory(root / kLayers[i])) continue;
        for (const auto& e : fs::recursive_directory_iterator(root / kLayers[i]))
            if (e.path().extension() == ".h") {
                const std::string name = e.path().filename().string();
                layer_of[name] = int(i);
                toolkit_header[name] =
                    i == 0 && is_toolkit(fs::relative(e.path(), root / kLayers[i]));
            }
    }
    const std::regex include_line(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
    for (size_t i = 0; i < kLayers.size(); ++i) {
        if (!fs::is_directory(root / kLayers[i])) continue;
        for (const auto& e : fs::recursive_directory_iterator(root / kLayers[i])) {
            const std::string ext = e.path().extension().string();
            if (ext != ".h" && ext != ".cpp") continue;
            const fs::path rel = fs::relative(e.path(), root / kLayers[i]);
            const std::string name = e.path().filename().string();
            ++r.files;
            const bool engine = i <= size_t(kApp) && !(i == 0 && is_toolkit(rel));
            const bool core_or_app = i == size_t(kCore) || i == size_t(kApp);
            const std::string screen = i == size_t(kGui) ? screen_of(stem_of(name)) : "";
            const bool plain = i == size_t(kGui) && kGuiPlain.count(stem_of(name));
            std::ifstream in(e.path());
            std::string line;
            for (int n = 1; std::getline(in, line); ++n) {
                std::smatch m;
                if (!std::regex_search(line, m, include_line)) continue;
                const std::string what = m[2];
                const std::string where = kLayers[i] + "/" + rel.string() + ":" + std::to_string(n);
                const std::string base = fs::path(what).filename().string();
                const auto it = layer_of.find(base);
                const bool ours = m[1] == "\"" && it != layer_of.end();
                if (engine) {
                    if (what.rfind("allegro5/", 0) == 0 || what.rfind("X11/", 0) == 0 ||
                        (ours && toolkit_header[base]))
                        r.faults.push_back(where + " pulls " + what + " into the engine");
                }
                if (plain && (what.rfind("allegro5/", 0) == 0 || what.rfind("X11/", 0) == 0 ||
                              (ours && toolkit_header[base]) ||
                              (ours && layer_of[base] == kGui && !kGuiPlain.count(stem_of(base)))))
                    r.faults.push_back(where + " pulls " + what + " into plain code");
                if (core_or_app && !ours && !kStandard.count(what) && !kEngineLibraries.count(what))
                    r.faults.push_back(where + " includes the system or platform header " + what);
                if (m[1] != "\"") continue;
                if (what.find("..") != std::string::npos)
                    r.faults.push_back(where + " includes through a relative path: " + what);
                if (it == layer_of.end()) continue;  // a test header
                if (it->second > int(i))
                    r.faults.push_back(where + " includes " + what + " from " +
                                       kLayers[size_t(it->second)]);
                if (!screen.empty() && it->second == kGui) {
                    const std::string other = screen_of(stem_of(base));
                    if (!other.empty() && other != screen) {
                        const std::string call = screen + " -> " + other;
                        r.screen_calls.insert(call);
                        if (!kScreenCallsLeft.count(call))
                            r.faults.push_back(where + " (a screen) includes the screen " + what);
                    }
                }
            }
        }
    }
    return r;
}

void write_file(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

TEST(Layers, NoFileReachesUpOrPullsTheSystemIntoTheEngine) {
    const Report r = check_tree(OVK_SOURCE_DIR);
    EXPECT_GT(r.files, 120);
    for (const std::string& f : r.faults) ADD_FAILURE() << f;
    for (const std::string& call : kScreenCallsLeft)
        EXPECT_TRUE(r.screen_calls.count(call))
            << call << " no longer happens: take it out of the list of screen calls left";
}

// A scratch tree with the faults a person could slip in, each in a place the test must look.
TEST(Layers, CatchesSystemHeadersToolkitAndScreenIncludesAnywhere) {
    const fs::path root = fs::path(OVK_BINARY_DIR) / "layers_scratch";
    fs::remove_all(root);
    write_file(root / "support/zq_log.h", "#pragma once\n#include <syslog.h>\n");
    write_file(root / "support/toolkit/zq_gui.h", "#pragma once\n#include <allegro5/allegro.h>\n");
    write_file(root / "src/core/ovk_sink.h", "#pragma once\n#include <cstdint>\n");
    write_file(root / "src/core/ovk_net.cpp",
               "#include <sys/socket.h>\n#include <linux/netlink.h>\n#include \"ovk_sink.h\"\n");
    write_file(root / "src/core/deep/ovk_deep.cpp", "#include <curl/curl.h>\n");
    write_file(root / "src/app/ovk_cap.cpp",
               "#include <pcap/pcap.h>\n#include <cjson/cJSON.h>\n#include <vector>\n"
               "#include \"zq_log.h\"\n#include \"zq_gui.h\"\n");
    write_file(root / "src/gui/ovk_gui.h", "#pragma once\n");
    write_file(root / "src/gui/ovk_gui_theme.h", "#pragma once\n");
    write_file(root / "src/gui/ovk_gui_alpha.h", "#pragma once\n#include \"ovk_gui.h\"\n");
    write_file(root / "src/gui/ovk_gui_beta.cpp",
               "#include \"ovk_gui_theme.h\"\n#include \"ovk_gui_alpha.h\"\n#include <unistd.h>\n");
    // The list's rules are plain code: no Allegro, not even through the frame's header.
    write_file(root / "src/gui/ovk_gui_list.h",
               "#pragma once\n#include <string>\n#include <allegro5/allegro_font.h>\n");
    write_file(root / "src/gui/ovk_gui_list.cpp",
               "#include \"ovk_gui_list.h\"\n#include \"ovk_gui.h\"\n#include \"zq_gui.h\"\n");
    // The main screen's drawing file is the main screen: its own header is fine, another
    // screen's is not.
    write_file(root / "src/gui/ovk_gui_main.h", "#pragma once\n#include \"ovk_gui_list.h\"\n");
    write_file(root / "src/gui/ovk_gui_main_draw.cpp",
               "#include <allegro5/allegro_primitives.h>\n#include \"ovk_gui_main.h\"\n"
               "#include \"ovk_gui_alpha.h\"\n");
    const Report r = check_tree(root);
    fs::remove_all(root);
    auto caught = [&](const std::string& needle) {
        for (const std::string& f : r.faults)
            if (f.find(needle) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(
        caught("src/core/ovk_net.cpp:1 includes the system or platform header sys/socket.h"));
    EXPECT_TRUE(
        caught("src/core/ovk_net.cpp:2 includes the system or platform header linux/netlink.h"));
    EXPECT_TRUE(
        caught("src/core/deep/ovk_deep.cpp:1 includes the system or platform header curl/curl.h"));
    EXPECT_TRUE(caught("src/app/ovk_cap.cpp:1 includes the system or platform header pcap/pcap.h"));
    EXPECT_TRUE(caught("src/app/ovk_cap.cpp:5 pulls zq_gui.h into the engine"));
    EXPECT_TRUE(
        caught("src/gui/ovk_gui_beta.cpp:2 (a screen) includes the screen ovk_gui_alpha.h"));
    EXPECT_TRUE(caught("src/gui/ovk_gui_list.h:3 pulls allegro5/allegro_font.h into plain code"));
    EXPECT_TRUE(caught("src/gui/ovk_gui_list.cpp:2 pulls ovk_gui.h into plain code"));
    EXPECT_TRUE(caught("src/gui/ovk_gui_list.cpp:3 pulls zq_gui.h into plain code"));
    EXPECT_TRUE(
        caught("src/gui/ovk_gui_main_draw.cpp:3 (a screen) includes the screen ovk_gui_alpha.h"));
    // What is allowed stays quiet: the C++ library, cJSON, support, the frame and the theme,
    // system headers above the engine, the toolkit's own Allegro, and a screen's own header
    // from its second file.
    EXPECT_EQ(r.faults.size(), 10u) << testing::PrintToString(r.faults);
}

}  // namespace
