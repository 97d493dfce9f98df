// The real program measured from outside, beside the engine-only and in-process benches: the time
// from its start to its main window shown, and its resident memory once idle, with an empty list
// and with COUNT files loaded from the command line (a folder of links to SHORT_MP3).
//
// The window is shown on an Xvfb server the bench starts: "shown" is the main window mapped and
// viewable, asked of the server with xwininfo every few milliseconds (no window manager runs).
// Without Xvfb or xwininfo the program runs on the offscreen platform, where nothing outside the
// process sees the window: the start-up figure is then the time until the process goes idle, and
// the output says so. "Idle" is the end of its CPU use: the last change of its CPU time before a
// second without any.
//
//   program_bench PROGRAM SHORT_MP3 WORKDIR [COUNT] [--runs N]
//
// Settings and user folders go to a fresh folder under WORKDIR for every run.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "XServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kWindowTitle = "Quendral Audio Converter";

double Seconds(Clock::duration ADuration) {
    return std::chrono::duration<double>(ADuration).count();
}

bool Running(pid_t APid) {
    return waitpid(APid, nullptr, WNOHANG) == 0;
}

// Ends a process this bench started: SIGTERM, then SIGKILL after 5 s.
void End(pid_t APid) {
    kill(APid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(APid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(10ms);
    }
    kill(APid, SIGKILL);
    waitpid(APid, nullptr, 0);
}

// User + system time of a process in clock ticks (/proc/PID/stat), -1 when it is gone.
long long CpuTicks(pid_t APid) {
    std::ifstream f("/proc/" + std::to_string(APid) + "/stat");
    std::string text;
    std::getline(f, text);
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::atoll(field.c_str());
        if (i == 15) stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

// A value of /proc/PID/status in KiB (VmRSS, VmHWM).
long StatusKiB(pid_t APid, const std::string& AName) {
    std::ifstream f("/proc/" + std::to_string(APid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(AName + ":", 0) == 0) return std::atol(line.c_str() + AName.size() + 1);
    return -1;
}

// Seconds from AStarted to the last change of the process's CPU time before a second without
// any; -1 when it ended or did not go idle within two minutes.
double IdleAfter(pid_t APid, Clock::time_point AStarted) {
    long long ticks = CpuTicks(APid);
    auto changed = Clock::now();
    while (Running(APid) && Clock::now() - AStarted < 120s) {
        std::this_thread::sleep_for(20ms);
        const long long now = CpuTicks(APid);
        if (now != ticks) {
            ticks = now;
            changed = Clock::now();
        } else if (Clock::now() - changed >= 1s) {
            return Seconds(changed - AStarted);
        }
    }
    return -1;
}

// True when the main window is mapped and viewable on ADisplay.
bool WindowShown(const std::string& ADisplay) {
    const std::string command =
        "xwininfo -display " + ADisplay + " -name '" + kWindowTitle + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return false;
    char line[256];
    bool viewable = false;
    while (std::fgets(line, sizeof line, pipe))
        if (std::strstr(line, "Map State: IsViewable")) viewable = true;
    pclose(pipe);
    return viewable;
}

bool HaveXwininfo() {
    return std::system("command -v xwininfo >/dev/null 2>&1") == 0;
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues.empty() ? 0.0 : AValues[AValues.size() / 2];
}

struct TProgramRun {
    double ShownSeconds = -1;  // window mapped (X only)
    double IdleSeconds = -1;
    double ResidentMiB = 0, PeakMiB = 0;
};

// One start of the program with AInputs, measured until it is idle, then ended.
TProgramRun RunProgram(const std::string& AProgram, const std::vector<std::string>& AInputs,
                       const fs::path& AHome, const std::string& ADisplay) {
    fs::remove_all(AHome);
    fs::create_directories(AHome);
    std::vector<std::string> env = {"HOME=" + AHome.string(),
                                    "XDG_CONFIG_HOME=" + (AHome / ".config").string()};
    if (ADisplay.empty()) {
        env.push_back("QT_QPA_PLATFORM=offscreen");
    } else {
        env.push_back("QT_QPA_PLATFORM=xcb");
        env.push_back("DISPLAY=" + ADisplay);
    }
    std::vector<std::string> args = {AProgram};
    args.insert(args.end(), AInputs.begin(), AInputs.end());
    TProgramRun run;
    const auto started = Clock::now();
    const pid_t pid = SpawnQuiet(args, env);
    if (pid == 0) return run;
    if (!ADisplay.empty()) {
        while (Running(pid) && Clock::now() - started < 60s) {
            if (WindowShown(ADisplay)) {
                run.ShownSeconds = Seconds(Clock::now() - started);
                break;
            }
            std::this_thread::sleep_for(2ms);
        }
    }
    run.IdleSeconds = IdleAfter(pid, started);
    run.ResidentMiB = StatusKiB(pid, "VmRSS") / 1024.0;
    run.PeakMiB = StatusKiB(pid, "VmHWM") / 1024.0;
    if (Running(pid)) End(pid);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() < 3) {
        std::fprintf(stderr, "usage: %s PROGRAM SHORT_MP3 WORKDIR [COUNT] [--runs N]\n", argv[0]);
        return 2;
    }
    const std::string program = fs::absolute(positional[0]).string();
    const fs::path source = fs::absolute(positional[1]);
    const fs::path work = fs::absolute(positional[2]);
    const int count = positional.size() > 3 ? std::max(1, std::atoi(positional[3].c_str())) : 1000;

    const fs::path list = work / "program-list";
    fs::create_directories(list);
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "song%05d.mp3", i);
        std::error_code ec;
        if (!fs::exists(list / name)) fs::create_hard_link(source, list / name, ec);
    }

    // The server lives until the end of main; without it (or xwininfo) the offscreen platform.
    const bool xwininfo = HaveXwininfo();
    std::unique_ptr<TXServer> x;
    if (xwininfo) x = std::make_unique<TXServer>(88);
    const std::string display = x ? x->Display() : std::string();
    if (display.empty())
        std::printf(
            "program: offscreen platform (%s): start-up is measured to idle, not to a shown "
            "window\n",
            xwininfo ? x->Note().c_str() : "xwininfo is missing (apt-get install -y x11-utils)");
    else
        std::printf("program: on Xvfb %s; shown = main window mapped and viewable (xwininfo)\n",
                    display.c_str());

    std::vector<double> shown, idleEmpty, rssEmpty, idleList, rssList, peakList;
    const fs::path home = work / "program-home";
    for (int r = 0; r < runs; ++r) {
        const TProgramRun empty = RunProgram(program, {}, home, display);
        const TProgramRun loaded = RunProgram(program, {list.string()}, home, display);
        if (empty.IdleSeconds < 0 || loaded.IdleSeconds < 0 ||
            (!display.empty() && empty.ShownSeconds < 0)) {
            std::fprintf(stderr, "program: run %d failed (the program ended or did not settle)\n",
                         r + 1);
            return 1;
        }
        shown.push_back(empty.ShownSeconds);
        idleEmpty.push_back(empty.IdleSeconds);
        rssEmpty.push_back(empty.ResidentMiB);
        idleList.push_back(loaded.IdleSeconds);
        rssList.push_back(loaded.ResidentMiB);
        peakList.push_back(loaded.PeakMiB);
    }
    std::printf("program: medians of %d runs, the real program (%s)\n", runs, program.c_str());
    if (!display.empty())
        std::printf("program: start-up to window shown %.0f ms; to idle %.0f ms\n",
                    Median(shown) * 1000, Median(idleEmpty) * 1000);
    else
        std::printf("program: start-up to idle (offscreen) %.0f ms\n", Median(idleEmpty) * 1000);
    std::printf(
        "program: resident memory idle, empty list %.1f MiB; with %d files loaded %.1f MiB (peak "
        "%.1f MiB), loaded and idle after %.2f s\n",
        Median(rssEmpty), count, Median(rssList), Median(peakList), Median(idleList));
    return 0;
}
