// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The programs as a person installs them: `cmake --install` (what `make install` runs) into
// a scratch DESTDIR and the Debian package that cpack builds (what `make package` runs).
// Installed programs started from another folder find their assets and fonts, the desktop
// entry validates and names an installed program and icon, the manual pages render without
// warnings and document every option the program reads, and the package declares its
// run-time dependencies and gives the scanner its capabilities after installation (or says
// why it could not).
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovk_startup.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_test_xvfb.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OVK_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OVK_SANITIZED_BUILD 1
#endif
#endif

namespace {

using ovk_test::CommandResult;
using ovk_test::run_command;

std::string sh_quote(const std::string& s) {
    return "'" + s + "'";
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Width and height from a PNG's header; {0, 0} when it is not a PNG.
std::pair<int, int> png_size(const std::string& path) {
    const std::string b = ovk_test::read_file(path);
    if (b.size() < 24 || b.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    auto be32 = [&](size_t at) {
        return (static_cast<unsigned char>(b[at]) << 24) |
               (static_cast<unsigned char>(b[at + 1]) << 16) |
               (static_cast<unsigned char>(b[at + 2]) << 8) | static_cast<unsigned char>(b[at + 3]);
    };
    return {be32(16), be32(20)};
}

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXOTH);
}

// A shell command's standard output and standard error apart.
struct SplitResult {
    int rc = -1;
    std::string out, err;
};

SplitResult run_split(const ovk_test::TempDir& scratch, const std::string& cmd) {
    const std::string out = scratch.file("split.out"), err = scratch.file("split.err");
    const CommandResult r =
        run_command("( (" + cmd + ") >" + sh_quote(out) + " 2>" + sh_quote(err) + " )");
    return {r.rc, ovk_test::read_file(out), ovk_test::read_file(err)};
}

// One installation into a scratch DESTDIR (prefix /usr), shared by the tests of this file.
class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
#ifndef OVK_SANITIZED_BUILD
        root_ = new ovk_test::TempDir;
        const CommandResult r =
            run_command("DESTDIR=" + sh_quote(root_->path()) + " cmake --install " +
                        sh_quote(OVK_BINARY_DIR) + " --prefix /usr");
        install_rc_ = r.rc;
        install_out_ = r.out;
#endif
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }
    void SetUp() override {
#ifdef OVK_SANITIZED_BUILD
        GTEST_SKIP() << "the installed programs are tried in the release build";
#endif
        ASSERT_EQ(install_rc_, 0) << install_out_;
    }

    static std::string path(const std::string& rel) {
        return root_->path() + "/usr/" + rel;
    }

    // An installed program run from an empty folder, with a fresh home and data directory
    // and no asset directory given: what it finds, it finds through its own installation.
    ovk_test::ProgramRun run(const std::string& program, std::vector<std::string> args,
                             int deadline_s = 60) {
        ovk_test::ProgramLaunch l;
        l.exe = path("bin/" + program);
        l.args = std::move(args);
        l.env = {"HOME=" + home_.path(), "XDG_DATA_HOME=" + home_.file("data"), "OVK_ASSETS="};
        l.out_dir = home_.path();
        l.cwd = elsewhere_.path();
        l.deadline_s = deadline_s;
        return ovk_test::run_program(l);
    }

    static ovk_test::TempDir* root_;
    static int install_rc_;
    static std::string install_out_;
    ovk_test::TempDir home_;
    ovk_test::TempDir elsewhere_;
};

ovk_test::TempDir* Installed::root_ = nullptr;
int Installed::install_rc_ = -1;
std::string Installed::install_out_;

TEST_F(Installed, ProgramsRunFromAnotherFolderFindTheirAssets) {
    ASSERT_TRUE(executable(path("bin/orvik")));
    ASSERT_TRUE(executable(path("bin/orvik-classify")));
    EXPECT_FALSE(ovk_test::file_exists(path("bin/orvik-decode-demo"))) << "a developer's tool";
    // Share Tech Mono is bundled; DejaVu is the system's (fonts-dejavu-core), never a copy.
    EXPECT_TRUE(ovk_test::file_exists(path("share/orvik/assets/fonts/share_tech_mono.ttf")));
    EXPECT_TRUE(
        ovk_test::file_exists(path("share/orvik/assets/fonts/share_tech_mono-LICENSE.txt")));
    for (const char* font :
         {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSansMono.ttf", "DejaVu-LICENSE.txt"})
        EXPECT_FALSE(ovk_test::file_exists(path("share/orvik/assets/fonts/") + font)) << font;

    // The board program on the demo feed: the vendor tables and watchlist presets load, so
    // the demo's patrol-car router is flagged by its watchlisted address block.
    const ovk_test::ProgramRun demo = run("orvik", {"--headless", "--demo", "--duration", "4"});
    EXPECT_EQ(demo.status, 0) << demo.err;
    EXPECT_NE(demo.out.find("Cradlepoint vehicle router"), std::string::npos) << demo.out;
    EXPECT_EQ(demo.err.find("vendor tables not loaded"), std::string::npos) << demo.err;

    // orvik-classify names the address registrant from the installed vendor tables.
    ovk_test::write_file(elsewhere_.file("one.jsonl"),
                         R"({"radio":"BLE","mac":"00:25:DF:11:22:33","rssi":-60,)"
                         R"("addrType":"PUBLIC","raw":"02010605FF4D030102"})"
                         "\n");
    const ovk_test::ProgramRun cls = run("orvik-classify", {"one.jsonl"});
    EXPECT_EQ(cls.status, 0) << cls.err;
    EXPECT_NE(cls.out.find(R"("type":"Taser International Inc. device")"), std::string::npos)
        << cls.out;
    EXPECT_EQ(cls.err, "");
}

// The window of the installed program loads its fonts from the installation and carries the
// window class the desktop entry promises, so docks group it under the entry's icon.
TEST_F(Installed, WindowDrawsWithTheInstalledFonts) {
    OVK_REQUIRE_XVFB();
    ovk_test::ProgramLaunch l;
    l.exe = path("bin/orvik");
    l.args = {"--demo", "-v", "6"};
    l.env = {"HOME=" + home_.path(), "XDG_DATA_HOME=" + home_.file("data"),
             "OVK_ASSETS=", "DISPLAY=" + ovk_test::xvfb_start().display, "OVK_TOUCH=0"};
    l.out_dir = home_.path();
    l.cwd = elsewhere_.path();
    ovk_test::RunningProgram prog(l);
    ASSERT_TRUE(prog.started());
    std::string wid;
    ASSERT_TRUE(ovk_test::x_wait_window("^Orvik$", 20000, &wid)) << prog.err();
    for (int i = 0; i < 100 && prog.err().find("first frame") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const CommandResult cls = ovk_test::x_run("xprop -id " + wid + " WM_CLASS");
    EXPECT_NE(cls.out.find("\"orvik\""), std::string::npos) << cls.out;
    EXPECT_TRUE(ovk_test::x_screenshot(home_.file("installed.png"), wid));
    prog.signal(SIGTERM);
    const ovk_test::ProgramRun r = prog.finish(30);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("first frame"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("cannot load font"), std::string::npos) << r.err;
    const std::string desktop = ovk_test::read_file(path("share/applications/orvik.desktop"));
    EXPECT_NE(desktop.find("\nStartupWMClass=orvik\n"), std::string::npos) << desktop;
}

TEST_F(Installed, DesktopEntryValidatesAndNamesWhatWasInstalled) {
    const std::string entry = path("share/applications/orvik.desktop");
    const CommandResult v = run_command("desktop-file-validate " + sh_quote(entry));
    EXPECT_EQ(v.rc, 0) << v.out << "(desktop-file-validate comes with desktop-file-utils)";
    EXPECT_EQ(v.out, "") << "hints and warnings count too";

    std::string exec, icon;
    for (const std::string& l : lines_of(ovk_test::read_file(entry))) {
        if (l.rfind("Exec=", 0) == 0) exec = l.substr(5);
        if (l.rfind("Icon=", 0) == 0) icon = l.substr(5);
    }
    EXPECT_TRUE(executable(path("bin/" + exec.substr(0, exec.find(' '))))) << exec;
    ASSERT_EQ(icon, "orvik");
    EXPECT_NE(ovk_test::read_file(path("share/icons/hicolor/scalable/apps/orvik.svg")).find("<svg"),
              std::string::npos);
    EXPECT_EQ(png_size(path("share/icons/hicolor/48x48/apps/orvik.png")), std::make_pair(48, 48));
    EXPECT_EQ(png_size(path("share/icons/hicolor/256x256/apps/orvik.png")),
              std::make_pair(256, 256));
}

// The board service: the headless program as its own user with its data in /var/lib/orvik,
// restarted on failure, fenced in as a network daemon, with no capability beyond the two
// the radios need; systemd's own checker accepts it (when systemd-analyze is installed).
TEST_F(Installed, BoardServiceIsHardenedAndVerifies) {
    const std::string unit = path("lib/systemd/system/orvik.service");
    const std::string text = ovk_test::read_file(unit);
    ASSERT_FALSE(text.empty()) << unit;
    std::set<std::string> lines;
    for (const std::string& l : lines_of(text)) lines.insert(l);
    for (const char* want :
         {"ExecStart=/usr/bin/orvik --headless", "User=orvik", "StateDirectory=orvik",
          "Environment=XDG_DATA_HOME=%S HOME=%S/orvik", "Restart=on-failure", "NoNewPrivileges=yes",
          "ProtectSystem=strict", "ProtectHome=yes", "PrivateTmp=yes",
          "RestrictAddressFamilies=AF_BLUETOOTH AF_NETLINK AF_UNIX AF_INET AF_INET6",
          "CapabilityBoundingSet=CAP_NET_RAW CAP_NET_ADMIN", "WantedBy=multi-user.target"})
        EXPECT_TRUE(lines.count(want)) << want << "\n" << text;

    if (run_command("command -v systemd-analyze").rc != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // Verified as installed, with the program and the manual page of this installation in
    // the places the unit names (systemd checks that both exist).
    const std::string copy = elsewhere_.file("orvik.service");
    std::string local = text;
    local.replace(local.find("ExecStart=/usr/bin/orvik"), 24, "ExecStart=" + path("bin/orvik"));
    ovk_test::write_file(copy, local);
    const SplitResult v = run_split(elsewhere_, "MANPATH=" + sh_quote(path("share/man")) +
                                                    " systemd-analyze verify " + sh_quote(copy));
    EXPECT_EQ(v.rc, 0) << v.out << v.err;
    EXPECT_EQ(v.err, "");
}

TEST_F(Installed, ManualPagesRenderWithoutWarnings) {
    for (const char* page : {"orvik", "orvik-classify", "orvik-radio"}) {
        const std::string gz = path(std::string("share/man/man1/") + page + ".1.gz");
        ASSERT_TRUE(ovk_test::file_exists(gz)) << gz;
        // What `man` shows, with every warning groff can give.
        const SplitResult man = run_split(
            elsewhere_, "MANWIDTH=80 MAN_KEEP_FORMATTING= man --warnings=all -l " + sh_quote(gz));
        EXPECT_EQ(man.rc, 0) << man.err;
        EXPECT_EQ(man.err, "") << page;
        EXPECT_NE(man.out.find("NAME"), std::string::npos) << man.out;
        EXPECT_NE(man.out.find("EXIT STATUS"), std::string::npos) << page;
        // mandoc's checker is stricter about the macros than groff.
        const std::string src = std::string(OVK_SOURCE_DIR) + "/dist/" + page + ".1";
        const CommandResult lint = run_command("mandoc -Tlint -W warning " + sh_quote(src));
        EXPECT_EQ(lint.rc, 0) << lint.out << "(mandoc comes with the mandoc package)";
        EXPECT_EQ(lint.out, "");
        const CommandResult groff = run_command("groff -man -ww -z " + sh_quote(src));
        EXPECT_EQ(groff.out, "");
        // The version in the page's footer is the program's.
        EXPECT_NE(ovk_test::read_file(src).find(std::string("\"Orvik ") + OVK_VERSION + "\""),
                  std::string::npos)
            << page;
    }
}

// The entries under OPTIONS of a manual page source, as people read them: "--width W",
// "-h, --help". Entries of nested lists (.RS ... .RE) are not options.
std::set<std::string> man_options(const std::string& source) {
    std::set<std::string> out;
    bool in_options = false, tag_next = false;
    int depth = 0;
    for (const std::string& line : lines_of(source)) {
        if (line.rfind(".SH", 0) == 0) {
            in_options = line == ".SH OPTIONS";
            continue;
        }
        if (!in_options) continue;
        if (line.rfind(".RS", 0) == 0) ++depth;
        if (line.rfind(".RE", 0) == 0) --depth;
        if (depth == 0 && (line.rfind(".TP", 0) == 0 || line.rfind(".TQ", 0) == 0)) {
            tag_next = true;
            continue;
        }
        if (!tag_next) continue;
        tag_next = false;
        // ".B \-\-scan", ".BI \-\-width " W"", ".BR \-h ", " \-\-help": the macro's
        // arguments (blank-separated, or quoted), joined by blanks for .B and run together
        // for the alternating-font macros, with \- as a hyphen.
        const size_t blank = line.find(' ');
        const std::string macro = line.substr(0, blank);
        std::vector<std::string> args;
        bool quote = false, open = false;
        for (size_t i = blank == std::string::npos ? line.size() : blank; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"') {
                quote = !quote;
                if (!open) args.emplace_back();
                open = quote;
            } else if (c == ' ' && !quote) {
                open = false;
            } else {
                if (!open) args.emplace_back();
                open = true;
                if (c == '\\' && i + 1 < line.size() && line[i + 1] == '-') ++i;
                args.back() += line[i];
            }
        }
        std::string tag;
        for (size_t i = 0; i < args.size(); ++i) tag += (macro == ".B" && i ? " " : "") + args[i];
        out.insert(tag);
    }
    return out;
}

TEST(ManualPages, DocumentEveryOptionAsTheProgramReadsIt) {
    const std::string page = ovk_test::read_file(std::string(OVK_SOURCE_DIR) + "/dist/orvik.1");
    ASSERT_FALSE(page.empty());
    std::set<std::string> table = {"-h, --help"};
    for (const OVK_OPTION& o : ovk_startup_options())
        table.insert(std::string(o.name) + (o.value_name ? std::string(" ") + o.value_name : ""));
    EXPECT_EQ(man_options(page), table) << "the manual page's OPTIONS and the option table differ";
    for (const char* env : {"OVK_ASSETS", "OVK_DENSITY", "OVK_FULLSCREEN", "OVK_TOUCH",
                            "XDG_DATA_HOME", "HOME", "PATH"})
        EXPECT_NE(page.find(std::string(".B ") + env + "\n"), std::string::npos) << env;
    // Every exit status the program gives has its entry.
    const std::string exits = page.substr(page.find(".SH EXIT STATUS"));
    for (const char* status : {".B 0\n", ".B 1\n", ".B 2\n"})
        EXPECT_NE(exits.find(status), std::string::npos) << status;

    const std::string classify =
        ovk_test::read_file(std::string(OVK_SOURCE_DIR) + "/dist/orvik-classify.1");
    EXPECT_EQ(man_options(classify), (std::set<std::string>{"--report NOTE", "-h, --help"}));
}

// One paragraph of a machine-readable copyright file: its fields, continuation lines joined
// with "\n" (a lone "." stands for an empty line, as in the file).
using Paragraph = std::map<std::string, std::string>;

std::vector<Paragraph> dep5_paragraphs(const std::string& text) {
    std::vector<Paragraph> out;
    Paragraph cur;
    std::string last;
    for (const std::string& l : lines_of(text + "\n")) {
        if (l.empty()) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
            last.clear();
        } else if (l[0] == ' ' || l[0] == '\t') {
            if (last.empty()) return {};  // a continuation with no field: not this format
            cur[last] += "\n" + l.substr(1);
        } else {
            const size_t colon = l.find(':');
            if (colon == std::string::npos) return {};
            last = l.substr(0, colon);
            const size_t v = l.find_first_not_of(' ', colon + 1);
            cur[last] = v == std::string::npos ? "" : l.substr(v);
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Every file of the source tree's data folders, relative to the root.
std::vector<std::string> source_files(std::initializer_list<const char*> dirs) {
    std::vector<std::string> out;
    const std::filesystem::path root(OVK_SOURCE_DIR);
    for (const char* d : dirs)
        for (const auto& e : std::filesystem::recursive_directory_iterator(root / d))
            if (e.is_regular_file())
                out.push_back(std::filesystem::relative(e.path(), root).generic_string());
    return out;
}

// dist/copyright, which the package installs: a machine-readable copyright file whose
// patterns all name files that exist, in which every licence named has its text, and which
// gives every bundled file of other people (fonts, vendor tables, test captures, the seeds
// cut from them) a licence of its own rather than the program's.
TEST(CopyrightFile, NamesEveryBundledFileWithItsLicence) {
    const std::string text = ovk_test::read_file(std::string(OVK_SOURCE_DIR) + "/dist/copyright");
    const std::vector<Paragraph> paras = dep5_paragraphs(text);
    ASSERT_GE(paras.size(), 3u) << "not a machine-readable copyright file";
    EXPECT_EQ(paras[0].at("Format"),
              "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/");
    ASSERT_EQ(paras[1].count("Files"), 1u);
    EXPECT_EQ(paras[1].at("Files"), "*") << "the first files paragraph covers the program";
    EXPECT_EQ(paras[1].at("License"), "GPL-3+");

    const std::vector<std::string> tree =
        source_files({"assets", "tests/data", "fuzz/corpus", "src", "dist"});
    std::set<std::string> texts;  // licences given with their text
    for (const Paragraph& p : paras)
        if (p.count("License") && p.at("License").find('\n') != std::string::npos)
            texts.insert(p.at("License").substr(0, p.at("License").find('\n')));
    // The last paragraph whose pattern matches a file decides its licence.
    std::map<std::string, std::string> licence_of;
    for (const Paragraph& p : paras) {
        if (!p.count("Files")) continue;
        ASSERT_TRUE(p.count("Copyright")) << p.at("Files");
        ASSERT_TRUE(p.count("License")) << p.at("Files");
        const std::string lic = p.at("License").substr(0, p.at("License").find('\n'));
        for (const std::string& name : words(lic)) {
            if (name == "and" || name == "or") continue;
            EXPECT_TRUE(texts.count(name)) << "no text for licence " << name;
        }
        for (const std::string& pattern : words(p.at("Files"))) {
            bool matched = pattern == "*";
            for (const std::string& f : tree)
                if (::fnmatch(pattern.c_str(), f.c_str(), 0) == 0) {
                    matched = true;
                    licence_of[f] = lic;
                }
            EXPECT_TRUE(matched) << "pattern " << pattern << " names no file";
        }
    }
    std::vector<std::string> theirs = {"assets/vendors/oui.tsv", "assets/vendors/bt_company.tsv",
                                       "assets/vendors/bt_uuid16.tsv",
                                       "assets/vendors/bt_appearance.tsv"};
    for (const std::string& f : tree) {
        const bool capture = f.rfind("tests/data/captures/", 0) == 0 && f.find("README") == f.npos;
        const bool font = f.rfind("assets/fonts/", 0) == 0;
        const bool licence = f.find("LICENSE") != f.npos;
        if (capture || font || licence) theirs.push_back(f);
    }
    for (const char* dir : {"fuzz/corpus/fuzz_capture_pcap/", "fuzz/corpus/fuzz_capture_btsnoop/",
                            "fuzz/corpus/fuzz_frame/"})
        for (const std::string& f : tree)
            if (f.rfind(dir, 0) == 0) theirs.push_back(f);
    for (const std::string& f : theirs) {
        ASSERT_TRUE(licence_of.count(f)) << f;
        EXPECT_NE(licence_of[f], "GPL-3+") << f << " is someone else's and keeps its licence";
    }
    EXPECT_EQ(licence_of["assets/fonts/share_tech_mono.ttf"], "OFL-1.1");
    EXPECT_EQ(licence_of["assets/fonts/DejaVuSans.ttf"], "bitstream-vera");
    EXPECT_EQ(licence_of["assets/vendors/bt_company.tsv"], "BSD-3-Clause");
    EXPECT_EQ(licence_of["tests/data/captures/opendroneid_odid_wifi_sample.pcap"], "Apache-2.0");
    EXPECT_NE(licence_of["src/core/ovk_signature.cpp"].find("Apache-2.0"), std::string::npos);
    // The GPL and Apache texts are referred to where Debian keeps them, not copied.
    EXPECT_NE(text.find("/usr/share/common-licenses/GPL-3"), std::string::npos);
    EXPECT_NE(text.find("/usr/share/common-licenses/Apache-2.0"), std::string::npos);
}

// cpack into a scratch folder, as `make package` does in the build directory; once for the
// tests of this file.
class DebianPackage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
#ifndef OVK_SANITIZED_BUILD
        out_ = new ovk_test::TempDir;
        const CommandResult r =
            run_command("cpack -G DEB --config " +
                        sh_quote(std::string(OVK_BINARY_DIR) + "/CPackConfig.cmake") + " -B " +
                        sh_quote(out_->path()));
        cpack_out_ = r.out;
        if (r.rc != 0) return;
        const auto debs = lines_of(run_command("ls " + sh_quote(out_->path()) + "/*.deb").out);
        if (debs.size() == 1) deb_ = debs[0];
#endif
    }
    static void TearDownTestSuite() {
        delete out_;
        out_ = nullptr;
    }
    void SetUp() override {
#ifdef OVK_SANITIZED_BUILD
        GTEST_SKIP() << "the package is built from the release build";
#endif
        ASSERT_FALSE(deb_.empty()) << cpack_out_;
    }
    std::string field(const std::string& name) {
        const CommandResult r = run_command("dpkg-deb -f " + sh_quote(deb_) + " " + name);
        EXPECT_EQ(r.rc, 0) << r.out;
        return r.out.empty() ? r.out : r.out.substr(0, r.out.find_last_not_of('\n') + 1);
    }
    static ovk_test::TempDir* out_;
    static std::string cpack_out_;
    static std::string deb_;
};

ovk_test::TempDir* DebianPackage::out_ = nullptr;
std::string DebianPackage::cpack_out_;
std::string DebianPackage::deb_;

TEST_F(DebianPackage, ControlNamesTheVersionArchitectureAndRunTimeDependencies) {
    EXPECT_EQ(field("Package"), "orvik");
    std::string version = OVK_VERSION;
    for (char& c : version)
        if (c == '-') c = '+';
    EXPECT_EQ(field("Version"), version);
    EXPECT_EQ(run_command("dpkg --validate-version " + sh_quote(version)).rc, 0);
    EXPECT_EQ(field("Architecture") + "\n", run_command("dpkg --print-architecture").out);
    // The libraries the programs link, each from its package, and setcap for postinst.
    const std::string depends = ", " + field("Depends") + ",";
    for (const char* pkg :
         {"liballegro5.2", "liballegro-audio5.2", "liballegro-ttf5.2", "liballegro-image5.2",
          "libcurl4", "libcjson1", "libx11-6", "libpcap0.8", "libstdc++6", "libc6", "libcap2-bin",
          "fonts-dejavu-core"})
        EXPECT_TRUE(depends.find(std::string(", ") + pkg + " ") != std::string::npos ||
                    depends.find(std::string(", ") + pkg + ",") != std::string::npos)
            << pkg << " missing from Depends:" << depends;
    EXPECT_EQ(field("Recommends"), "gpsd, espeak-ng, libnotify-bin, xdg-utils, ieee-data");

    // The files land under /usr, where the installed program looks for its assets.
    const CommandResult list = run_command("dpkg-deb -c " + sh_quote(deb_));
    for (const char* f :
         {"./usr/bin/orvik", "./usr/bin/orvik-classify", "./usr/bin/orvik-radio",
          "./usr/share/man/man1/orvik-radio.1.gz", "./usr/share/orvik/assets/vendors/oui.tsv",
          "./usr/share/orvik/assets/fonts/share_tech_mono.ttf",
          "./usr/share/applications/orvik.desktop", "./usr/share/doc/orvik/changelog.gz",
          "./usr/share/icons/hicolor/48x48/apps/orvik.png", "./usr/share/man/man1/orvik.1.gz",
          "./usr/share/man/man1/orvik-classify.1.gz", "./usr/share/doc/orvik/copyright"})
        EXPECT_NE(list.out.find(std::string(" ") + f + "\n"), std::string::npos) << f;
    // Unpacked anywhere, the program finds the assets beside it.
    ovk_test::TempDir unpacked, elsewhere;
    ASSERT_EQ(run_command("dpkg-deb -x " + sh_quote(deb_) + " " + sh_quote(unpacked.path())).rc, 0);
    EXPECT_EQ(ovk_test::read_file(unpacked.file("usr/share/doc/orvik/copyright")),
              ovk_test::read_file(std::string(OVK_SOURCE_DIR) + "/dist/copyright"));
    ovk_test::write_file(elsewhere.file("one.jsonl"),
                         R"({"radio":"BLE","mac":"00:25:DF:11:22:33","raw":""})"
                         "\n");
    const CommandResult cls =
        run_command("cd " + sh_quote(elsewhere.path()) + " && OVK_ASSETS= " +
                    sh_quote(unpacked.file("usr/bin/orvik-classify")) + " one.jsonl");
    EXPECT_NE(cls.out.find("Taser International Inc."), std::string::npos) << cls.out;
}

// What Debian's own checker says of the package: nothing, neither errors nor warnings (the
// informational and pedantic notes are not counted). lintian comes with the lintian package.
TEST_F(DebianPackage, LintianFindsNoErrorsOrWarnings) {
    const SplitResult r = run_split(*out_, "lintian --tag-display-limit 0 " + sh_quote(deb_));
    ASSERT_NE(r.rc, 127) << "lintian is missing (make deps installs it)";
    std::string problems;
    for (const std::string& l : lines_of(r.out))
        if (l.rfind("E: ", 0) == 0 || l.rfind("W: ", 0) == 0) problems += l + "\n";
    EXPECT_EQ(problems, "") << r.err;
    // The changelog it would miss otherwise is this release's, from the version.
    ovk_test::TempDir x;
    ASSERT_EQ(run_command("dpkg-deb -x " + sh_quote(deb_) + " " + sh_quote(x.path())).rc, 0);
    const CommandResult cl =
        run_command("zcat " + sh_quote(x.file("usr/share/doc/orvik/changelog.gz")) + " > " +
                    sh_quote(x.file("changelog")) + " && dpkg-parsechangelog -l " +
                    sh_quote(x.file("changelog")) + " -S Version");
    EXPECT_EQ(cl.out, field("Version") + "\n");
}

// The programs as built and as packaged carry the hardening Debian asks for: a position
// independent executable, read-only relocations bound at start, the stack protector and
// the checked variants of the C library's string and output functions.
TEST_F(DebianPackage, ProgramsAreHardened) {
    ovk_test::TempDir x;
    ASSERT_EQ(run_command("dpkg-deb -x " + sh_quote(deb_) + " " + sh_quote(x.path())).rc, 0);
    for (const std::string& exe :
         {x.file("usr/bin/orvik"), x.file("usr/bin/orvik-classify"), x.file("usr/bin/orvik-radio"),
          std::string(OVK_BINARY_DIR) + "/orvik"}) {
        const CommandResult h = run_command("readelf -h " + sh_quote(exe));
        ASSERT_EQ(h.rc, 0) << h.out;
        EXPECT_NE(h.out.find("DYN (Position-Independent Executable"), std::string::npos) << exe;
        EXPECT_NE(run_command("readelf -lW " + sh_quote(exe)).out.find("GNU_RELRO"),
                  std::string::npos)
            << exe;
        EXPECT_NE(run_command("readelf -dW " + sh_quote(exe)).out.find("BIND_NOW"),
                  std::string::npos)
            << exe;
        const std::string syms = run_command("readelf --dyn-syms -W " + sh_quote(exe)).out;
        EXPECT_NE(syms.find("__stack_chk_fail"), std::string::npos) << exe;
        int checked = 0;
        for (const std::string& l : lines_of(syms)) {
            const size_t at = l.find(" __");
            if (at == std::string::npos || l.find("__stack_chk_fail") != std::string::npos)
                continue;
            const std::string name = l.substr(at + 1, l.find('@', at) - at - 1);
            if (name.size() > 6 && name.compare(name.size() - 4, 4, "_chk") == 0) ++checked;
        }
        EXPECT_GE(checked, 1) << exe << ": no __*_chk function\n" << syms;
    }
}

// The maintainer: DEBFULLNAME and DEBEMAIL when set, as Debian's tools read them, else the
// configure option (whose default lintian accepts, above).
TEST(PackageMaintainer, ComesFromDebEmailWhenSet) {
    ovk_test::TempDir b;
    const std::string config = b.file("CPackConfig.cmake");
    auto configure = [&](const std::string& env) {
        const CommandResult r =
            run_command(env + " cmake -S " + sh_quote(OVK_SOURCE_DIR) + " -B " +
                        sh_quote(b.path()) + " -G Ninja -DOVK_TESTS=OFF -DOVK_BENCH=OFF");
        EXPECT_EQ(r.rc, 0) << r.out;
        for (const std::string& l : lines_of(ovk_test::read_file(config)))
            if (l.rfind("set(CPACK_DEBIAN_PACKAGE_MAINTAINER ", 0) == 0) return l;
        return std::string();
    };
    EXPECT_EQ(configure("DEBFULLNAME='Ada Lovelace' DEBEMAIL=ada@example.org"),
              "set(CPACK_DEBIAN_PACKAGE_MAINTAINER \"Ada Lovelace <ada@example.org>\")");
    EXPECT_EQ(configure("DEBFULLNAME= DEBEMAIL='Grace Hopper <grace@example.org>'"),
              "set(CPACK_DEBIAN_PACKAGE_MAINTAINER \"Grace Hopper <grace@example.org>\")");
    const std::string fallback = configure("DEBFULLNAME= DEBEMAIL=");
    EXPECT_NE(fallback.find("@"), std::string::npos) << fallback;
    EXPECT_EQ(fallback.find("localhost"), std::string::npos) << fallback;
}

// The post-install step run as dpkg runs it ("postinst configure"), with stand-ins for
// setcap: one that records its arguments, one that fails as in a container without file
// capabilities, and none at all. The package is installed in every case.
TEST_F(DebianPackage, PostInstallGivesTheScannerItsCapabilitiesOrSaysWhyNot) {
    ovk_test::TempDir ctl;
    ASSERT_EQ(run_command("dpkg-deb -e " + sh_quote(deb_) + " " + sh_quote(ctl.path())).rc, 0);
    const std::string postinst = ctl.file("postinst");
    ASSERT_TRUE(executable(postinst));

    ovk_test::TempDir bin;
    const std::string log = bin.file("setcap.log");
    auto stand_in = [&](int rc) {
        ovk_test::write_file(bin.file("setcap"), "#!/bin/sh\necho \"$@\" >> '" + log + "'\nexit " +
                                                     std::to_string(rc) + "\n");
        ::chmod(bin.file("setcap").c_str(), 0755);
    };
    auto configure = [&](const std::string& path) {
        return run_split(
            ctl, "PATH=" + sh_quote(path) + " /bin/sh " + sh_quote(postinst) + " configure");
    };

    stand_in(0);
    SplitResult r = configure(bin.path());
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(ovk_test::read_file(log), "cap_net_raw,cap_net_admin+eip /usr/bin/orvik-radio\n")
        << "the radio helper, and only it, gets capabilities";
    EXPECT_EQ(r.err, "");

    // The service's system user is made once, when it does not exist yet; the service is
    // never enabled by installing.
    const std::string users = bin.file("adduser.log");
    ovk_test::write_file(bin.file("adduser"),
                         "#!/bin/sh\necho \"$@\" >> '" + users + "'\nexit 0\n");
    ovk_test::write_file(bin.file("getent"), "#!/bin/sh\nexit 2\n");
    ::chmod(bin.file("adduser").c_str(), 0755);
    ::chmod(bin.file("getent").c_str(), 0755);
    r = configure(bin.path());
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(ovk_test::read_file(users),
              "--system --group --quiet --home /var/lib/orvik --no-create-home orvik\n");
    ovk_test::write_file(bin.file("getent"), "#!/bin/sh\necho orvik:x:999:999::/var/lib/orvik\n");
    r = configure(bin.path());
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(lines_of(ovk_test::read_file(users)).size(), 1u) << "the user exists already";
    const std::string script = ovk_test::read_file(postinst);
    EXPECT_EQ(script.find("systemctl"), std::string::npos);
    EXPECT_EQ(script.find("deb-systemd"), std::string::npos);
    ::unlink(bin.file("adduser").c_str());
    ::unlink(bin.file("getent").c_str());
    ::unlink(log.c_str());

    stand_in(1);
    r = configure(bin.path());
    EXPECT_EQ(r.rc, 0) << "a failed setcap must not fail the installation";
    EXPECT_NE(r.err.find("setcap cap_net_raw,cap_net_admin+eip /usr/bin/orvik-radio\n"),
              std::string::npos)
        << r.err;

    ::unlink(bin.file("setcap").c_str());
    r = configure(bin.path());
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.err.find("scanning the radios needs root"), std::string::npos) << r.err;
}

}  // namespace
