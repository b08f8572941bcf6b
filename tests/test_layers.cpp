// SPDX-License-Identifier: GPL-3.0-or-later
// The layers of the source tree: support -> core -> app -> platform -> gui -> main. A file
// includes only headers of its own layer or of lower ones, never through a relative path, and
// the engine (plain support, core, app) never includes Allegro, X11 or the widget toolkit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kLayers = {"support",      "src/core", "src/app",
                                          "src/platform", "src/gui",  "src/main"};

bool is_toolkit(const std::string& file) {
    return file.rfind("zq_gui", 0) == 0 || file.rfind("zq_clipboard", 0) == 0 ||
           file.rfind("zq_mdview", 0) == 0;
}

TEST(Layers, NoFileReachesUpOrPullsTheToolkitIntoTheEngine) {
    const fs::path root(OVK_SOURCE_DIR);
    std::map<std::string, int> layer_of;  // header file name -> layer index
    for (size_t i = 0; i < kLayers.size(); ++i) {
        if (!fs::is_directory(root / kLayers[i])) continue;
        for (const auto& e : fs::directory_iterator(root / kLayers[i]))
            if (e.path().extension() == ".h") layer_of[e.path().filename().string()] = int(i);
    }
    ASSERT_EQ(layer_of.count("ovk_sink.h"), 1u);
    const std::regex include_line(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
    int files = 0;
    for (size_t i = 0; i < kLayers.size(); ++i) {
        if (!fs::is_directory(root / kLayers[i])) continue;
        for (const auto& e : fs::directory_iterator(root / kLayers[i])) {
            const std::string name = e.path().filename().string();
            if (e.path().extension() != ".h" && e.path().extension() != ".cpp") continue;
            ++files;
            const bool engine = i <= 2 && !is_toolkit(name);
            std::ifstream in(e.path());
            std::string line;
            for (int n = 1; std::getline(in, line); ++n) {
                std::smatch m;
                if (!std::regex_search(line, m, include_line)) continue;
                const std::string what = m[2];
                const std::string where = kLayers[i] + "/" + name + ":" + std::to_string(n);
                if (engine) {
                    EXPECT_NE(what.rfind("allegro5/", 0), 0u) << where << " " << what;
                    EXPECT_NE(what.rfind("X11/", 0), 0u) << where << " " << what;
                    EXPECT_FALSE(is_toolkit(what)) << where << " " << what;
                }
                if (m[1] != "\"") continue;
                EXPECT_EQ(what.find(".."), std::string::npos) << where << " " << what;
                const auto it = layer_of.find(fs::path(what).filename().string());
                if (it == layer_of.end()) continue;  // a system or test header
                EXPECT_LE(it->second, int(i))
                    << where << " includes " << what << " from " << kLayers[size_t(it->second)];
            }
        }
    }
    EXPECT_GT(files, 50);
}

}  // namespace
