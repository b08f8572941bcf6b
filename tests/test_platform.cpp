// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The Linux platform layer: outside programs through stand-ins on PATH, directories,
// assets, display environment, the sink and its emitters, scan bookkeeping.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovk_asset.h"
#include "ovk_linux_audio.h"
#include "ovk_linux_gpsd.h"
#include "ovk_linux_hci.h"
#include "ovk_linux_nl80211.h"
#include "ovk_platform.h"
#include "ovk_vendordb.h"
#include "zq_log.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary);
    out << data;
}

// Sets or unsets an environment variable for the lifetime of the guard.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

class CwdGuard {
  public:
    explicit CwdGuard(const fs::path& to) : old_(fs::current_path()) { fs::current_path(to); }
    ~CwdGuard() { fs::current_path(old_); }

  private:
    fs::path old_;
};

// A fresh directory under the system temp dir, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "ovk-platform-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Captures log lines at every level into a temp file.
class LogCapture {
  public:
    LogCapture() : f_(tmpfile()) {
        old_level_ = get_log_level();
        set_log_level(7);
        zq_log_set_stream(f_);
    }
    ~LogCapture() {
        zq_log_set_stream(nullptr);
        set_log_level(old_level_ < 0 ? 0 : old_level_);
        fclose(f_);
    }
    std::string text() {
        fflush(f_);
        std::string out;
        rewind(f_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
        fseek(f_, 0, SEEK_END);
        return out;
    }

  private:
    FILE* f_;
    int old_level_;
};

// A directory of stand-in programs. Each writes, per run, "<name>.<pid>.args" (one argument
// a line), ".stdin" (what it read), ".fd1" (where its standard output goes) and ".sid" (its
// session id), then "<name>.<pid>.done" last, so a finished run is seen whole.
class StandIns {
  public:
    explicit StandIns(const fs::path& dir) : dir_(dir / "bin"), out_(dir / "out") {
        fs::create_directories(dir_);
        fs::create_directories(out_);
    }
    void add(const std::string& name, const std::string& extra = "") {
        const fs::path p = dir_ / name;
        std::string script =
            "#!/bin/sh\n"
            "o='" +
            out_.string() + "'/" + name +
            ".$$\n"
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$o.args\"\n"
            "/bin/cat > \"$o.stdin\"\n"
            "fd1=$(/bin/readlink /proc/$$/fd/1)\n"
            "printf '%s\\n' \"$fd1\" > \"$o.fd1\"\n"
            "/bin/sed -e 's/^.*) //' /proc/$$/stat | /usr/bin/cut -d' ' -f4 > \"$o.sid\"\n"
            "echo $$ > \"$o.pid\"\n" +
            extra + "/bin/touch \"$o.done\"\n";
        spit(p, script);
        fs::permissions(p, fs::perms::owner_all);
    }
    const fs::path& bin() const { return dir_; }

    struct Run {
        std::string args, stdin_text, fd1, sid, pid;
    };
    // Finished runs of `name`.
    std::vector<Run> runs(const std::string& name) const {
        std::vector<Run> out;
        for (const auto& e : fs::directory_iterator(out_)) {
            const std::string f = e.path().filename().string();
            if (f.rfind(name + ".", 0) != 0 || e.path().extension() != ".done") continue;
            const std::string stem = (out_ / e.path().stem()).string();
            if (e.path().stem().string().find('.', name.size() + 1) != std::string::npos)
                continue;  // "<name>.<pid>.done" only, not "<name>-x..."
            out.push_back({slurp(stem + ".args"), slurp(stem + ".stdin"), slurp(stem + ".fd1"),
                           slurp(stem + ".sid"), slurp(stem + ".pid")});
        }
        return out;
    }
    // Waits (generously) until `name` has run `count` times.
    std::vector<Run> wait_runs(const std::string& name, size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto r = runs(name);
            if (r.size() >= count) return r;
            std::this_thread::sleep_for(20ms);
        }
        return runs(name);
    }

  private:
    fs::path dir_, out_;
};

// Children of this process, zombies included, from /proc.
std::vector<pid_t> my_children() {
    std::vector<pid_t> out;
    const pid_t me = getpid();
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string n = e.path().filename().string();
        if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = slurp(e.path() / "stat");
        const size_t rp = stat.rfind(')');
        if (rp == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + rp + 1, " %c %d", &state, &ppid) == 2 && ppid == me)
            out.push_back(static_cast<pid_t>(std::stoi(n)));
    }
    return out;
}

// Runs `fn` on a thread and reports whether it finished within `limit`; a hung call ends
// the test program, since its thread can be neither joined nor abandoned safely.
bool finishes_within(std::function<void()> fn, std::chrono::seconds limit) {
    auto done = std::make_shared<std::promise<void>>();
    auto fut = done->get_future();
    std::thread t([fn = std::move(fn), done] {
        fn();
        done->set_value();
    });
    if (fut.wait_for(limit) != std::future_status::ready) {
        fprintf(stderr, "call did not finish within %llds: deadlock\n",
                static_cast<long long>(limit.count()));
        fflush(stderr);
        _exit(1);
    }
    t.join();
    return true;
}

OVK_ADVERT_PTR make_advert(const std::string& mac) {
    return ovk_advert_new(mac, OVK_SRC_BLE, -60, 1714564800000);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Outside programs
// ---------------------------------------------------------------------------------------

class OutsidePrograms : public ::testing::Test {
  protected:
    TempDir tmp;
    StandIns progs{tmp.path()};
};

TEST_F(OutsidePrograms, NotifySendGetsAppNameSeparatorTitleAndText) {
    progs.add("notify-send");
    EnvGuard path("PATH", progs.bin().c_str());
    LogCapture log;
    ovk_platform_notify("dev-1", "-Body camera nearby", "Axon Body 3, strong");
    ovk_platform_notify(std::nullopt, std::nullopt, std::nullopt);
    auto runs = progs.wait_runs("notify-send", 2);
    ASSERT_EQ(runs.size(), 2u);
    std::vector<std::string> args{runs[0].args, runs[1].args};
    std::sort(args.begin(), args.end());
    // The title that begins with "-" comes after "--", so it cannot be taken for an option.
    EXPECT_EQ(args[0], "-a\nOrvik\n--\n-Body camera nearby\nAxon Body 3, strong\n");
    EXPECT_EQ(args[1], "-a\nOrvik\n--\nOrvik\n\n");
    const std::string text = log.text();
    EXPECT_NE(text.find("[dev-1] -Body camera nearby: Axon Body 3, strong"), std::string::npos);
    EXPECT_NE(text.find("[-] : \n"), std::string::npos);
}

TEST_F(OutsidePrograms, SpeechPrefersEspeakNgAndFeedsTheTextOnStdin) {
    progs.add("espeak-ng");
    progs.add("espeak");
    EnvGuard path("PATH", progs.bin().c_str());
    ovk_platform_alert(OVK_TIER_STRONG, 0, 0, 0, "Body camera, 12 metres; don't panic & go");
    auto runs = progs.wait_runs("espeak-ng", 1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args, "--stdin\n");
    EXPECT_EQ(runs[0].stdin_text, "Body camera, 12 metres; don't panic & go");
    EXPECT_EQ(runs[0].fd1, "/dev/null\n");
    // Launched in its own session.
    EXPECT_EQ(runs[0].sid, runs[0].pid);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(progs.runs("espeak").empty());
}

TEST_F(OutsidePrograms, SpeechFallsBackToEspeakAndIsQuietWithoutEither) {
    progs.add("espeak");
    {
        EnvGuard path("PATH", progs.bin().c_str());
        ovk_platform_alert(OVK_TIER_WEAK, 1, 0, 1, "Tracker following you");
        auto runs = progs.wait_runs("espeak", 1);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].args, "--stdin\n");
        EXPECT_EQ(runs[0].stdin_text, "Tracker following you");
    }
    TempDir empty;
    EnvGuard path("PATH", empty.path().c_str());
    LogCapture log;
    ovk_platform_alert(OVK_TIER_MEDIUM, 0, 0, 0, "hello");
    EXPECT_NE(log.text().find("no espeak-ng / espeak in PATH, not speaking: hello"),
              std::string::npos);
    // Nothing spoken: no text, no program looked up.
    LogCapture log2;
    ovk_platform_alert(OVK_TIER_MEDIUM, 0, 0, 0, "");
    EXPECT_EQ(log2.text().find("espeak"), std::string::npos);
}

TEST_F(OutsidePrograms, XdgOpenGetsTheUrlVerbatimAndNeverAnOption) {
    progs.add("xdg-open");
    EnvGuard path("PATH", progs.bin().c_str());
    ovk_platform_open_url("--help");
    ovk_platform_open_url("-");
    ovk_platform_open_url("");
    const std::string url = "https://example.org/a b?x=1&y=$(id)';`id`";
    ovk_platform_open_url(url);
    auto runs = progs.wait_runs("xdg-open", 1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args, url + "\n");
    // Give a wrongly launched refusal time to show up.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(progs.runs("xdg-open").size(), 1u);
}

TEST_F(OutsidePrograms, MissingXdgOpenIsLogged) {
    EnvGuard path("PATH", progs.bin().c_str());
    LogCapture log;
    ovk_platform_open_url("https://example.org/");
    EXPECT_NE(log.text().find("xdg-open not found, cannot open https://example.org/"),
              std::string::npos);
}

TEST_F(OutsidePrograms, WhichSearchesPathInOrderForRegularExecutables) {
    const fs::path a = tmp.path() / "a", b = tmp.path() / "b", c = tmp.path() / "c";
    fs::create_directories(a);
    fs::create_directories(b);
    fs::create_directories(c);
    spit(a / "tool", "#!/bin/sh\n");  // not executable
    spit(b / "tool", "#!/bin/sh\n");
    fs::permissions(b / "tool", fs::perms::owner_all);
    spit(c / "tool", "#!/bin/sh\n");
    fs::permissions(c / "tool", fs::perms::owner_all);
    fs::create_directories(a / "dirtool");  // executable bit, but a directory
    fs::create_directories(c / "dirtool");
    const std::string path = ":" + a.string() + "::" + b.string() + ":" + c.string() + ":";
    EnvGuard p("PATH", path.c_str());
    // a/tool has no execute bit (even root needs one), directories never qualify.
    EXPECT_EQ(ovk_linux_which("tool"), (b / "tool").string());
    EXPECT_EQ(ovk_linux_which("dirtool"), std::nullopt);
    EXPECT_EQ(ovk_linux_which("nosuch"), std::nullopt);
    EXPECT_EQ(ovk_linux_which(""), std::nullopt);
    // A name with a slash is taken as it is.
    EXPECT_EQ(ovk_linux_which((c / "tool").string()), (c / "tool").string());
    EXPECT_EQ(ovk_linux_which((a / "tool").string()), std::nullopt);
    // Over-long joined paths are skipped, not cut.
    const std::string longname(4100, 'x');
    EXPECT_EQ(ovk_linux_which(longname), std::nullopt);
    {
        EnvGuard unset("PATH", nullptr);
        EXPECT_EQ(ovk_linux_which("sh"), std::optional<std::string>("/usr/bin/sh"));
    }
}

TEST_F(OutsidePrograms, SpawnLeavesNoChildAndDetachesTheProgram) {
    progs.add("sleeper", "/bin/sleep 3\n");
    const std::string prog = (progs.bin() / "sleeper").string();
    ASSERT_EQ(ovk_linux_spawn(prog, {"sleeper", "x y"}), 0);
    // Right after the call nothing is left to reap: the intermediate child was waited for
    // and the program itself belongs to someone else.
    EXPECT_TRUE(my_children().empty());
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    // The program runs (it reached its sleep) while not being our child.
    const fs::path out = tmp.path() / "out";
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::string pid;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& e : fs::directory_iterator(out))
            if (e.path().extension() == ".pid") pid = slurp(e.path());
        if (!pid.empty() && pid.back() == '\n') break;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(my_children().empty());
    const std::string stat = slurp("/proc/" + pid.substr(0, pid.size() - 1) + "/stat");
    ASSERT_FALSE(stat.empty());
    int ppid = 0;
    char state = 0;
    sscanf(stat.c_str() + stat.rfind(')') + 1, " %c %d", &state, &ppid);
    EXPECT_NE(ppid, getpid());
    // Its standard input was /dev/null: cat read nothing.
    auto runs = progs.wait_runs("sleeper", 1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args, "x y\n");
    EXPECT_EQ(runs[0].stdin_text, "");
}

TEST_F(OutsidePrograms, SpawnSurvivesAProgramThatIgnoresItsInput) {
    // /bin/true exits without reading: the write ends with EPIPE, which must neither kill
    // us nor leave a SIGPIPE pending on this thread.
    const std::string big(1 << 20, 'z');
    EXPECT_EQ(ovk_linux_spawn("/bin/true", {"true"}, big), 0);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);  // our mask is restored
    EXPECT_TRUE(my_children().empty());
}

TEST_F(OutsidePrograms, SpawnWithStandardDescriptorsClosed) {
    // A caller whose stdin is closed gets /dev/null as descriptor 0; the program must
    // still get its input from the pipe and /dev/null on stdout.
    progs.add("reader");
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    const int rc = ovk_linux_spawn((progs.bin() / "reader").string(), {"reader"},
                                   std::string_view("through the pipe"));
    dup2(saved, 0);
    close(saved);
    ASSERT_EQ(rc, 0);
    auto runs = progs.wait_runs("reader", 1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].stdin_text, "through the pipe");
    EXPECT_EQ(runs[0].fd1, "/dev/null\n");
}

TEST_F(OutsidePrograms, SpawnRefusesEmptyArguments) {
    EXPECT_EQ(ovk_linux_spawn("", {"x"}), -1);
    EXPECT_EQ(ovk_linux_spawn("/bin/true", {}), -1);
    EXPECT_TRUE(my_children().empty());
}

// ---------------------------------------------------------------------------------------
// Directories and assets
// ---------------------------------------------------------------------------------------

class Directories : public ::testing::Test {
  protected:
    TempDir tmp;
};

TEST_F(Directories, DataDirFollowsXdgOnlyWhenAbsolute) {
    const fs::path home = tmp.path() / "home";
    fs::create_directories(home);
    EnvGuard h("HOME", home.c_str());
    {
        const fs::path xdg = tmp.path() / "xdg" / "deep";
        EnvGuard x("XDG_DATA_HOME", xdg.c_str());
        EXPECT_EQ(ovk_platform_data_dir(), (xdg / "orvik").string());
        EXPECT_TRUE(fs::is_directory(xdg / "orvik"));
    }
    {
        EnvGuard x("XDG_DATA_HOME", "relative/data");
        const std::string want = (home / ".local/share/orvik").string();
        EXPECT_EQ(ovk_platform_data_dir(), want);
        ASSERT_TRUE(fs::is_directory(want));
        // Location history inside: only the user may read it.
        struct stat st {};
        ASSERT_EQ(stat(want.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_FALSE(fs::exists(fs::current_path() / "relative"));
    }
    {
        EnvGuard x("XDG_DATA_HOME", "");
        EXPECT_EQ(ovk_platform_data_dir(), (home / ".local/share/orvik").string());
    }
}

TEST_F(Directories, WithoutHomeEverythingLivesUnderTheCurrentDirectory) {
    CwdGuard cwd(tmp.path());
    EnvGuard h("HOME", nullptr);
    EnvGuard x("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(ovk_platform_data_dir(), "./.local/share/orvik");
    EXPECT_TRUE(fs::is_directory(tmp.path() / ".local/share/orvik"));
    // No ./Documents: exports go below the data directory.
    EXPECT_EQ(ovk_platform_export_dir(), "./.local/share/orvik/exports");
    EXPECT_TRUE(fs::is_directory(tmp.path() / ".local/share/orvik/exports"));
    EXPECT_EQ(fs::status(tmp.path() / ".local/share/orvik/exports").permissions() & fs::perms::all,
              fs::perms::owner_all);
    EnvGuard h2("HOME", "");
    EXPECT_EQ(ovk_platform_data_dir(), "./.local/share/orvik");
}

TEST_F(Directories, ExportDirPrefersDocuments) {
    const fs::path home = tmp.path() / "home";
    fs::create_directories(home / "Documents");
    EnvGuard h("HOME", home.c_str());
    EnvGuard x("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(ovk_platform_export_dir(), (home / "Documents/Orvik").string());
    EXPECT_TRUE(fs::is_directory(home / "Documents/Orvik"));
    // Exports hold where the user has been: the folder is the user's alone.
    EXPECT_EQ(fs::status(home / "Documents/Orvik").permissions() & fs::perms::all,
              fs::perms::owner_all);
    // Documents that is a file does not count.
    const fs::path home2 = tmp.path() / "home2";
    fs::create_directories(home2);
    spit(home2 / "Documents", "not a directory");
    EnvGuard h2("HOME", home2.c_str());
    EXPECT_EQ(ovk_platform_export_dir(), (home2 / ".local/share/orvik/exports").string());
}

TEST_F(Directories, UncreatableDataDirIsLoggedAndStillReturned) {
    const fs::path file = tmp.path() / "plain";
    spit(file, "x");
    EnvGuard x("XDG_DATA_HOME", file.c_str());
    LogCapture log;
    EXPECT_EQ(ovk_platform_data_dir(), (file / "orvik").string());
    EXPECT_NE(log.text().find("cannot create data dir " + (file / "orvik").string() + ": "),
              std::string::npos);
}

TEST_F(Directories, AssetsFallThroughToTheNextCandidate) {
    const fs::path env_dir = tmp.path() / "env";
    const fs::path work = tmp.path() / "work";
    fs::create_directories(env_dir);
    fs::create_directories(work / "assets/vendors");
    const std::string blob("line one\n\0binary\xff tail", 22);
    // A name only the working directory has: the program's own assets lie beside it.
    const std::string here = "vendors/ovk-test-" + std::to_string(getpid()) + ".tsv";
    spit(work / "assets" / here, blob);
    spit(env_dir / "only-in-env.txt", "from env");
    CwdGuard cwd(work);
    EnvGuard e("OVK_ASSETS", env_dir.c_str());
    // Not in OVK_ASSETS: found in ./assets.
    EXPECT_EQ(ovk_platform_asset_path(here), "./assets/" + here);
    EXPECT_EQ(ovk_platform_read_asset(here), blob);
    // In OVK_ASSETS: found there first.
    EXPECT_EQ(ovk_platform_asset_path("only-in-env.txt"), (env_dir / "only-in-env.txt").string());
    EXPECT_EQ(ovk_platform_read_asset("only-in-env.txt"), "from env");
    LogCapture log;
    EXPECT_EQ(ovk_platform_read_asset("vendors/missing.tsv"), std::nullopt);
    EXPECT_NE(log.text().find("asset vendors/missing.tsv not found"), std::string::npos);
    // An empty asset is a valid (empty) file.
    spit(work / "assets/empty", "");
    EXPECT_EQ(ovk_platform_read_asset("empty"), "");
    // The program installs this lookup as the process-wide asset reader.
    ovk_set_asset_reader(ovk_platform_read_asset);
    EXPECT_EQ(ovk_read_asset("only-in-env.txt"), "from env");
    EXPECT_EQ(ovk_read_asset(here), blob);
    ovk_set_asset_reader(nullptr);
}

TEST_F(Directories, ExecutableDirectoryAssetsComeBeforeTheWorkingDirectory) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const fs::path exe_assets = exe.parent_path() / "assets";
    const bool existed = fs::exists(exe_assets);
    fs::create_directories(exe_assets);
    const std::string name = "ovk-test-" + std::to_string(getpid()) + ".txt";
    spit(exe_assets / name, "next to the program");
    const fs::path work = tmp.path() / "work";
    fs::create_directories(work / "assets");
    spit(work / "assets" / name, "in the working directory");
    {
        CwdGuard cwd(work);
        EnvGuard e("OVK_ASSETS", "");
        EXPECT_EQ(ovk_platform_read_asset(name), "next to the program");
        fs::remove(exe_assets / name);
        EXPECT_EQ(ovk_platform_read_asset(name), "in the working directory");
    }
    if (!existed) fs::remove(exe_assets);
}

// ---------------------------------------------------------------------------------------
// Display environment and identity
// ---------------------------------------------------------------------------------------

TEST(DisplayEnvironment, DensityAcceptsOnlyHalfToFour) {
    const std::pair<const char*, float> cases[] = {
        {nullptr, 1.0f}, {"", 1.0f},     {"0.4", 1.0f},  {"5", 1.0f},   {"2.5", 2.5f},
        {"0.5", 0.5f},   {"4", 4.0f},    {"4.01", 1.0f}, {"abc", 1.0f}, {"nan", 1.0f},
        {"inf", 1.0f},   {"1.5x", 1.5f}, {"-2", 1.0f},
    };
    for (const auto& [value, want] : cases) {
        EnvGuard d("OVK_DENSITY", value);
        EXPECT_FLOAT_EQ(ovk_platform_density(), want) << (value ? value : "(unset)");
    }
}

TEST(DisplayEnvironment, FullscreenAndTouchLookAtTheFirstCharacterOnly) {
    const std::pair<const char*, bool> cases[] = {
        {nullptr, false}, {"", false}, {"0", false},   {"01", false},
        {"yes", false},   {"1", true}, {"1abc", true}, {"10", true},
    };
    for (const auto& [value, on] : cases) {
        EnvGuard f("OVK_FULLSCREEN", value);
        EnvGuard t("OVK_TOUCH", value);
        EXPECT_EQ(ovk_platform_display_flags(), on ? 532 : 21) << (value ? value : "(unset)");
        EXPECT_EQ(ovk_platform_uses_touch(), on ? 1 : 0) << (value ? value : "(unset)");
    }
}

TEST(PlatformIdentity, InitIsIdempotentAndFixedAnswersHold) {
    LogCapture log;
    EXPECT_EQ(ovk_platform_init(), 0);
    EXPECT_EQ(ovk_platform_init(), 0);
    const std::string text = log.text();
    const size_t first = text.find("platform linux initialized");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("platform linux initialized", first + 1), std::string::npos);
    EXPECT_STREQ(ovk_platform_name(), "linux");
    EXPECT_EQ(ovk_platform_permissions_ok(), 1);
    EXPECT_EQ(ovk_platform_request_permissions(), 0);
    EXPECT_EQ(ovk_platform_autostart_ready(), 1);
    EXPECT_EQ(ovk_platform_take_stop_request(), 0);
    ovk_platform_shutdown();
    // After a shutdown the next init initialises again.
    EXPECT_EQ(ovk_platform_init(), 0);
    EXPECT_NE(log.text().find("platform linux initialized", first + 1), std::string::npos);
    ovk_platform_shutdown();
}

TEST(PlatformIdentity, ShareFileOnlyLogs) {
    LogCapture log;
    ovk_platform_share_file("/tmp/x.csv", "text/csv");
    ovk_platform_share_file("", "");
    const std::string text = log.text();
    EXPECT_NE(text.find("exported /tmp/x.csv (text/csv)"), std::string::npos);
    EXPECT_NE(text.find("exported ? (?)"), std::string::npos);
}

TEST(Clocks, AgreeWithTheSystemAndMoveForward) {
    const auto sys_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    EXPECT_LT(std::llabs(ovk_linux_now_ms() - sys_ms), 2000);
    const int64_t m0 = ovk_linux_mono_ms();
    const int64_t b0 = ovk_linux_boot_ns();
    std::this_thread::sleep_for(30ms);
    EXPECT_GE(ovk_linux_mono_ms() - m0, 29);
    EXPECT_GE(ovk_linux_boot_ns() - b0, 29'000'000);
}

// ---------------------------------------------------------------------------------------
// Sink and emitters
// ---------------------------------------------------------------------------------------

class Sink : public ::testing::Test {
  protected:
    void TearDown() override { ovk_platform_set_sink(nullptr); }
};

TEST_F(Sink, AdvertsGoToTheSinkOrAreFreed) {
    // No sink: the advert is dropped and freed (the ASan build checks for the leak).
    ovk_linux_emit_advert(make_advert("AA:AA:AA:AA:AA:01"));
    ovk_linux_emit_advert(nullptr);

    std::vector<OVK_ADVERT_PTR> got;
    OVK_SINK s;
    s.on_advert = [&got](OVK_ADVERT_PTR a) { got.push_back(std::move(a)); };
    ovk_platform_set_sink(&s);
    s.on_advert = nullptr;  // the layer keeps its own copy
    auto a = make_advert("AA:AA:AA:AA:AA:02");
    const OVK_ADVERT* raw = a.get();
    ovk_linux_emit_advert(std::move(a));
    ovk_linux_emit_advert(nullptr);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].get(), raw);  // ownership moved, no copy
    EXPECT_EQ(got[0]->mac, "AA:AA:AA:AA:AA:02");

    // A sink without on_advert frees adverts too; locations still arrive.
    int fixes = 0;
    OVK_SINK only_loc;
    only_loc.on_location = [&fixes](const OVK_LOCATION& f) { fixes += f.lat == 1.5 ? 1 : 100; };
    ovk_platform_set_sink(&only_loc);
    ovk_linux_emit_advert(make_advert("AA:AA:AA:AA:AA:03"));
    OVK_LOCATION fix;
    fix.lat = 1.5;
    ovk_linux_emit_location(fix);
    EXPECT_EQ(fixes, 1);
    EXPECT_EQ(got.size(), 1u);

    ovk_platform_set_sink(nullptr);
    ovk_linux_emit_location(fix);
    ovk_linux_emit_advert(make_advert("AA:AA:AA:AA:AA:04"));
    EXPECT_EQ(fixes, 1);
}

TEST_F(Sink, StatusIsLoggedAndForwarded) {
    std::vector<std::string> lines;
    OVK_SINK s;
    s.on_status = [&lines](std::string_view t) { lines.emplace_back(t); };
    ovk_platform_set_sink(&s);
    LogCapture log;
    ovk_linux_emit_status("GPS gpsd: fix");
    EXPECT_EQ(lines, std::vector<std::string>{"GPS gpsd: fix"});
    EXPECT_NE(log.text().find("INFO:"), std::string::npos);
    EXPECT_NE(log.text().find(" GPS gpsd: fix\n"), std::string::npos);
}

TEST_F(Sink, CallbacksMayReplaceTheSinkWithoutDeadlock) {
    int first_calls = 0, second_calls = 0;
    OVK_SINK second;
    second.on_advert = [&second_calls](OVK_ADVERT_PTR) { ++second_calls; };
    second.on_status = [](std::string_view) {
        // Re-entering the layer from a callback works too.
        ovk_linux_emit_location(OVK_LOCATION{});
    };
    OVK_SINK first;
    first.on_advert = [&](OVK_ADVERT_PTR a) {
        ++first_calls;
        // Replacing the sink from inside its own callback: the running callback (and the
        // state it captured) stays alive until it returns.
        ovk_platform_set_sink(&second);
        EXPECT_EQ(a->mac, "AA:AA:AA:AA:AA:05");
        ovk_linux_emit_status("nested");
        ovk_platform_set_sink(nullptr);
        ovk_platform_set_sink(&second);
    };
    ovk_platform_set_sink(&first);
    finishes_within(
        [] {
            ovk_linux_emit_advert(make_advert("AA:AA:AA:AA:AA:05"));
            ovk_linux_emit_advert(make_advert("AA:AA:AA:AA:AA:06"));
        },
        20s);
    EXPECT_EQ(first_calls, 1);
    EXPECT_EQ(second_calls, 1);
}

TEST_F(Sink, ConcurrentEmittersAndSinkChanges) {
    std::atomic<int> received{0};
    std::atomic<bool> go{true};
    OVK_SINK s;
    s.on_advert = [&received](OVK_ADVERT_PTR a) {
        if (a && !a->mac.empty()) received.fetch_add(1);
    };
    s.on_location = [](const OVK_LOCATION&) {};
    constexpr int kThreads = 3, kPerThread = 2000;
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        while (go.load()) {
            ovk_platform_set_sink(&s);
            ovk_platform_set_sink(nullptr);
            ++swaps;
        }
        ovk_platform_set_sink(&s);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&swaps] {
            while (swaps.load() == 0) std::this_thread::yield();  // overlap with the swapper
            for (int i = 0; i < kPerThread; ++i) {
                ovk_linux_emit_advert(make_advert("AA:BB:CC:DD:EE:FF"));
                ovk_linux_emit_location(OVK_LOCATION{});
            }
        });
    }
    for (auto& t : threads) t.join();
    go = false;
    swapper.join();
    EXPECT_LE(received.load(), kThreads * kPerThread);
    const int before = received.load();
    ovk_linux_emit_advert(make_advert("AA:BB:CC:DD:EE:FF"));
    EXPECT_EQ(received.load(), before + 1);
}

// ---------------------------------------------------------------------------------------
// Scan bookkeeping
// ---------------------------------------------------------------------------------------

TEST(Scan, NothingRequestedMeansStopped) {
    OVK_SCAN_OPTS none;
    EXPECT_EQ(ovk_platform_scan_start(none), 0);
    EXPECT_EQ(ovk_platform_scan_running(), 0);
    EXPECT_EQ(ovk_platform_scan_status(), "Scanning stopped");
    ovk_platform_scan_stop();
    ovk_platform_scan_stop();
    EXPECT_EQ(ovk_platform_scan_running(), 0);
    EXPECT_EQ(ovk_platform_scan_status(), "Scanning stopped");
}

TEST(Scan, StatusJoinsTheRunningPartsInOrderAndStopClearsEverything) {
    // No radios here: the scanners start their threads and report what they cannot find;
    // the GPS client points at a loopback port nobody listens on.
    OVK_SCAN_OPTS o;
    o.ble = 1;
    o.wifi = 1;
    o.location = 1;
    o.gpsd_host = "127.0.0.1";
    o.gpsd_port = 1;
    ASSERT_EQ(ovk_platform_scan_start(o), 0);
    EXPECT_EQ(ovk_platform_scan_running(), 1);
    std::string st = ovk_platform_scan_status();
    std::vector<std::string> lines;
    std::stringstream ss(st);
    for (std::string l; std::getline(ss, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u) << st;
    EXPECT_EQ(lines[0].rfind("BLE", 0), 0u) << st;
    EXPECT_EQ(lines[1].rfind("WiFi", 0), 0u) << st;
    EXPECT_EQ(lines[2].rfind("GPS", 0), 0u) << st;
    // A start is a restart: only what is requested now runs.
    o.ble = 0;
    o.wifi = 0;
    ASSERT_EQ(ovk_platform_scan_start(o), 0);
    EXPECT_EQ(ovk_linux_hci_status(), "BLE: stopped");
    EXPECT_EQ(ovk_linux_wifi_status(), "WiFi: stopped");
    EXPECT_EQ(ovk_platform_scan_status().rfind("GPS", 0), 0u);
    EXPECT_EQ(ovk_platform_scan_status().find('\n'), std::string::npos);
    ovk_platform_scan_stop();
    EXPECT_EQ(ovk_platform_scan_running(), 0);
    EXPECT_EQ(ovk_platform_scan_status(), "Scanning stopped");
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS: stopped");
}

TEST(Alerts, SoundFlagDecidesWhetherThePlayerIsAsked) {
    // Without Allegro the player goes silent on its first request, which is how a request
    // shows here.
    ovk_linux_audio_shutdown();
    ovk_platform_alert(OVK_TIER_STRONG, 1, 0, 1, "");
    EXPECT_EQ(ovk_linux_audio_state(), 0);
    ovk_platform_alert(OVK_TIER_STRONG, 0, 1, 0, "");
    EXPECT_EQ(ovk_linux_audio_state(), -1);
    ovk_linux_audio_shutdown();
    ovk_platform_tick();
    EXPECT_EQ(ovk_linux_audio_state(), -1);
    ovk_platform_shutdown();  // shuts the player down as well
    EXPECT_EQ(ovk_linux_audio_state(), 0);
}

// The address-block table: the system's IEEE registry when it is newer than the bundled
// listing (converted, with its own date in the header), else the bundled table; the log
// says at level 6 which one was loaded. A directory without a date or registry is passed by.
TEST(PlatformAssets, SystemIeeeRegistryWinsOnlyWhenNewer) {
    TempDir d;
    const std::string old_dir = (d.path() / "old").string();
    const std::string new_dir = (d.path() / "new").string();
    const std::string empty_dir = (d.path() / "empty").string();
    fs::create_directories(old_dir);
    fs::create_directories(new_dir);
    fs::create_directories(empty_dir);
    auto write = [](const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    };
    const std::string header = "Registry,Assignment,Organization Name,Organization Address\n";
    write(old_dir + "/.lastupdate", "1600000000\n");  // 2020-09-13
    write(old_dir + "/oui.csv", header + "MA-L,0025DF,Old Registrant,x\n");
    write(new_dir + "/.lastupdate", "1780000000\n");  // 2026-05-28
    write(new_dir + "/oui.csv", header + "MA-L,0025DF,\"Axon Enterprise, Inc.\",x\n");
    write(new_dir + "/mam.csv", header + "MA-M,0025DF1,Block Seven,x\n");
    const std::string bundled =
        "# IEEE address blocks\n# Generated from Debian ieee-data (IEEE listing of "
        "2022-08-27)\n0025DF\tTaser International Inc.\n";

    {
        LogCapture log;
        const std::string dirs[] = {empty_dir, new_dir, old_dir};
        const auto t = ovk_platform_oui_table(bundled, dirs);
        ASSERT_TRUE(t);
        EXPECT_EQ(*t, "# IEEE address blocks from " + new_dir +
                          " (IEEE listing of 2026-05-28)\n"
                          "0025DF\tAxon Enterprise, Inc.\n0025DF1\tBlock Seven\n");
        EXPECT_NE(log.text().find("INFO"), std::string::npos) << log.text();
        EXPECT_NE(log.text().find("vendor table: the IEEE registry in " + new_dir +
                                  ", of 2026-05-28, 2 blocks, newer than the bundled IEEE "
                                  "listing of 2022-08-27"),
                  std::string::npos)
            << log.text();
        // The converted table dates itself, so it would be compared by its own date again.
        EXPECT_EQ(ovk_vendordb_listing_day(*t), 20601);
    }
    {
        LogCapture log;
        const std::string dirs[] = {old_dir, new_dir};
        EXPECT_EQ(ovk_platform_oui_table(bundled, dirs), bundled);
        EXPECT_NE(log.text().find("vendor table: the bundled IEEE listing of 2022-08-27 (the "
                                  "IEEE registry in " +
                                  old_dir + ", of 2020-09-13, is not newer)"),
                  std::string::npos)
            << log.text();
    }
    // A table that names no date (a test's own) is never replaced; without a bundled table
    // the system's is better than none.
    const std::string dirs[] = {new_dir};
    EXPECT_EQ(ovk_platform_oui_table(std::string("0025DF\tMine\n"), dirs),
              std::string("0025DF\tMine\n"));
    const auto none = ovk_platform_oui_table(std::nullopt, dirs);
    ASSERT_TRUE(none);
    EXPECT_NE(none->find("0025DF\tAxon Enterprise, Inc.\n"), std::string::npos);
    const std::string nothing[] = {empty_dir};
    EXPECT_EQ(ovk_platform_oui_table(bundled, nothing), bundled);
}
