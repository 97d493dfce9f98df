// Player benchmark against ffplay, both playing through SDL's disk audio driver (real time, the
// capture is what would be heard). Every run is its own process, ours and ffplay's interleaved:
//   open: process start -> first audible sample in the capture
//   seek: process start with a start position (ffplay -ss) -> first audible sample
//   cpu:  user + system time of 30 s of playback; peak resident memory of that run
//   draw: user + system time of 30 s of playback drawing the waveform, then the spectrum, at
//         461x271: ours into a TPlayerScreen painted by Qt (offscreen platform), ffplay into a
//         window of that size on an Xvfb server (skipped with a note when none can be started;
//         the X server's own time is not counted, as no compositor's is for ours)
// Usage: player_bench <work folder with long.wav/.mp3/.flac> [ffplay]
//        player_bench play <file> <seconds> <start µs or -1>   (our player, one run)
//        player_bench draw <file> <seconds> <wave|rdft>         (our player drawing, one run)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>

#include "Dispatcher.h"
#include "FFPlay.h"
#include "PlayerScreen.h"
#include "libsdl.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kScreenWidth = 461, kScreenHeight = 271;

bool LoadPlayer(TFFPlayer& APlayer) {
    std::string error;
    const fs::path copy = PrepareSDLCopy(QAC_SYSTEM_SDL, 7, error);
    if (copy.empty() || !APlayer.LoadAVLib("") ||
        !APlayer.LoadSDLLib(copy.parent_path().string(), copy.filename().string())) {
        std::fprintf(stderr, "player_bench: %s%s\n", error.c_str(), APlayer.LastErrMsg().c_str());
        return false;
    }
    return true;
}

// Plays ASeconds of AFile into AScreen (none: no drawing), pumping the main thread.
int PlayFor(TFFPlayer& APlayer, const std::string& AFile, int ASeconds, TScreenHost* AScreen) {
    if (!APlayer.Open(AFile, AScreen)) {
        std::fprintf(stderr, "player_bench: %s\n", APlayer.LastErrMsg().c_str());
        return 1;
    }
    const auto until = Clock::now() + std::chrono::seconds(ASeconds);
    WaitPumping([&] { return Clock::now() >= until; }, 5ms);
    APlayer.Stop(true);
    return 0;
}

int PlayOnce(const std::string& AFile, int ASeconds, long long AStart) {
    TFFPlayer player;
    if (!LoadPlayer(player)) return 1;
    if (AStart >= 0) player.set_start_time(AStart);
    return PlayFor(player, AFile, ASeconds, nullptr);
}

// The waveform or the spectrum drawn into a shown Qt host of the bench's size; the main thread
// pumps Qt's events every 5 ms, so every handed-over frame is painted.
int DrawOnce(const std::string& AFile, int ASeconds, const std::string& AMode) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "player_bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    SetMainThread();
    SetProcessMessagesHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
    TPlayerScreen screen;
    screen.resize(kScreenWidth, kScreenHeight);
    screen.show();
    QCoreApplication::processEvents();
    TFFPlayer player;
    if (!LoadPlayer(player)) return 1;
    player.SetShowAudio(AMode == "rdft" ? saRDFT : saWave);
    return PlayFor(player, AFile, ASeconds, &screen);
}

// An Xvfb server for ffplay's window, or none (a note says why).
class TXServer {
public:
    TXServer() {
        const std::string display = ":" + std::to_string(kDisplay);
        const fs::path socket = "/tmp/.X11-unix/X" + std::to_string(kDisplay);
        std::vector<std::string> args{"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int r = posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (r != 0) {
            FPid = 0;
            FNote = "Xvfb cannot be started (apt-get install -y xvfb)";
            return;
        }
        for (int i = 0; i < 100 && !fs::exists(socket); ++i) std::this_thread::sleep_for(50ms);
        if (!fs::exists(socket) || waitpid(FPid, nullptr, WNOHANG) != 0) {
            FNote = "Xvfb did not come up on " + display;
            return;
        }
        FDisplay = display;
    }
    ~TXServer() {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }
    // The display name, empty when no server runs.
    const std::string& Display() const { return FDisplay; }
    const std::string& Note() const { return FNote; }

private:
    static constexpr int kDisplay = 87;
    pid_t FPid = 0;
    std::string FDisplay, FNote;
};

struct TRun {
    double FirstSoundMs = -1;  // -1: none heard
    double CpuSeconds = 0;
    long PeakKiB = 0;
};

// Runs AArgs with the disk driver writing to ACapture. With AUntilSound the process is killed at
// the first audible sample; otherwise it runs to its end.
TRun Measure(const std::vector<std::string>& AArgs, const fs::path& ACapture, bool AUntilSound,
             const std::string& ADisplay = "") {
    fs::remove(ACapture);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "SDL_AUDIODRIVER=", 16) && std::strncmp(*e, "SDL_DISKAUDIOFILE=", 18))
            env.emplace_back(*e);
    env.push_back("SDL_AUDIODRIVER=disk");
    env.push_back("SDL_DISKAUDIOFILE=" + ACapture.string());
    if (!ADisplay.empty()) {
        std::erase_if(env, [](const std::string& e) { return e.rfind("DISPLAY=", 0) == 0; });
        env.push_back("DISPLAY=" + ADisplay);
    }
    std::vector<char*> argv, envp;
    for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    TRun run;
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream in;
    std::vector<int16_t> chunk(4096);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (run.FirstSoundMs < 0) {
            if (!in.is_open()) in.open(ACapture, std::ios::binary);
            while (in.is_open() && run.FirstSoundMs < 0) {
                in.read(reinterpret_cast<char*>(chunk.data()), std::streamsize(chunk.size() * 2));
                const auto got = in.gcount() / 2;
                in.clear();
                if (got == 0) break;
                if (std::any_of(chunk.begin(), chunk.begin() + got, [](int16_t s) { return s != 0; }))
                    run.FirstSoundMs =
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            }
            if (run.FirstSoundMs >= 0 && AUntilSound) kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(1ms);
    }
    run.CpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec / 1e6;
    run.PeakKiB = usage.ru_maxrss;
    return run;
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues.empty() ? 0 : AValues[AValues.size() / 2];
}
double Worst(const std::vector<double>& AValues) {
    return AValues.empty() ? 0 : *std::max_element(AValues.begin(), AValues.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "play")
        return PlayOnce(argv[2], std::atoi(argv[3]), std::atoll(argv[4]));
    if (argc == 5 && std::string(argv[1]) == "draw") return DrawOnce(argv[2], std::atoi(argv[3]), argv[4]);
    if (argc < 2) {
        std::fprintf(stderr, "usage: player_bench <work folder> [ffplay]\n");
        return 2;
    }
    const fs::path work = argv[1];
    const std::string ffplay = argc > 2 ? argv[2] : "ffplay";
    const std::string self = fs::canonical("/proc/self/exe").string();
    const fs::path capture = work / "player_capture.raw";
    constexpr int kRuns = 7;
    constexpr const char* kSeekTo = "300";  // seconds into the 10-minute files

    auto ours = [&](const fs::path& AFile, int ASeconds, bool ASeek) {
        return std::vector<std::string>{self, "play", AFile.string(), std::to_string(ASeconds),
                                        ASeek ? std::string(kSeekTo) + "000000" : "-1"};
    };
    auto theirs = [&](const fs::path& AFile, int ASeconds, bool ASeek) {
        std::vector<std::string> a{ffplay, "-nodisp", "-autoexit", "-loglevel", "quiet", "-t",
                                   std::to_string(ASeconds)};
        if (ASeek) a.insert(a.end(), {"-ss", kSeekTo});
        a.push_back(AFile.string());
        return a;
    };

    std::vector<double> openOurs, openTheirs, seekOurs, seekTheirs;
    std::printf("%-5s %-5s %10s %10s %10s %10s\n", "file", "what", "ours med", "ours max",
                "ffplay med", "ffplay max");
    for (const char* ext : {"wav", "mp3", "flac"}) {
        const fs::path file = work / (std::string("long.") + ext);
        std::vector<double> o[2], s[2];
        for (int i = 0; i < kRuns; ++i) {
            o[0].push_back(Measure((ours(file, 10, false)), capture, true).FirstSoundMs);
            o[1].push_back(Measure(theirs(file, 10, false), capture, true).FirstSoundMs);
            s[0].push_back(Measure((ours(file, 10, true)), capture, true).FirstSoundMs);
            s[1].push_back(Measure(theirs(file, 10, true), capture, true).FirstSoundMs);
        }
        std::printf("%-5s %-5s %8.1fms %8.1fms %8.1fms %8.1fms\n", ext, "open", Median(o[0]),
                    Worst(o[0]), Median(o[1]), Worst(o[1]));
        std::printf("%-5s %-5s %8.1fms %8.1fms %8.1fms %8.1fms\n", ext, "seek", Median(s[0]),
                    Worst(s[0]), Median(s[1]), Worst(s[1]));
        openOurs.insert(openOurs.end(), o[0].begin(), o[0].end());
        openTheirs.insert(openTheirs.end(), o[1].begin(), o[1].end());
        seekOurs.insert(seekOurs.end(), s[0].begin(), s[0].end());
        seekTheirs.insert(seekTheirs.end(), s[1].begin(), s[1].end());
    }
    const fs::path mp3 = work / "long.mp3";
    const TRun cpuOurs = Measure((ours(mp3, 30, false)), capture, false);
    const TRun cpuTheirs = Measure(theirs(mp3, 30, false), capture, false);
    std::printf("cpu per 30 s of MP3: ours %.2f s, ffplay %.2f s; peak RSS: ours %ld KiB, ffplay %ld KiB\n",
                cpuOurs.CpuSeconds, cpuTheirs.CpuSeconds, cpuOurs.PeakKiB, cpuTheirs.PeakKiB);
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };

    // Drawing: our Qt host against ffplay's window of the same size.
    const TXServer x;
    if (x.Display().empty()) std::printf("draw: ffplay side skipped: %s\n", x.Note().c_str());
    double drawOurs = 0, drawTheirs = 0;
    for (const char* mode : {"wave", "rdft"}) {
        const TRun a = Measure({self, "draw", mp3.string(), "30", mode}, capture, false);
        TRun b;
        if (!x.Display().empty())
            b = Measure({ffplay, "-x", std::to_string(kScreenWidth), "-y", std::to_string(kScreenHeight),
                         "-showmode", mode == std::string("wave") ? "waves" : "rdft", "-autoexit",
                         "-loglevel", "quiet", "-t", "30", mp3.string()},
                        capture, false, x.Display());
        std::printf("cpu per 30 s drawing %s at %dx%d: ours %.2f s", mode, kScreenWidth, kScreenHeight,
                    a.CpuSeconds);
        if (!x.Display().empty()) std::printf(", ffplay %.2f s", b.CpuSeconds);
        std::printf("\n");
        drawOurs += a.CpuSeconds;
        drawTheirs += b.CpuSeconds;
    }
    fs::remove(capture);
    if (!x.Display().empty())
        std::printf("player: draw cpu ours/ffplay %.2f\n", ratio(drawOurs, drawTheirs));
    std::printf("player: open median ours/ffplay %.2f, seek median ours/ffplay %.2f, cpu ours/ffplay %.2f, "
                "peak RSS ours/ffplay %.2f\n",
                ratio(Median(openOurs), Median(openTheirs)), ratio(Median(seekOurs), Median(seekTheirs)),
                ratio(cpuOurs.CpuSeconds, cpuTheirs.CpuSeconds),
                ratio(double(cpuOurs.PeakKiB), double(cpuTheirs.PeakKiB)));
    return 0;
}
