// Player benchmark against ffplay, both playing through SDL's disk audio driver (real time, the
// capture is what would be heard). Every run is its own process, ours and ffplay's interleaved:
//   open:  process start -> first audible sample in the capture
//   start: process start with a start position (ours start_time, ffplay -ss) -> first audible
//          sample
//   seek:  ours: a Seek while playing -> the first samples of the new position in SDL's audio
//          callback (timed inside the process); ffplay: the -ss restart of "start", since its seek
//          key cannot be timed from outside
//   cpu:   user + system time of a playback (30 s) and its peak resident memory, ours and ffplay's
//          alternately (5 runs each), medians
//   draw:  user + system time of a playback (30 s) drawing the waveform, then the spectrum, at
//          461x271: ours into a TPlayerScreen painted by Qt (offscreen platform), ffplay into a
//          window of that size on an Xvfb server (skipped with a note when none can be started;
//          the X server's own time is not counted, as no compositor's is for ours)
// Usage: player_bench <work folder with long.wav/.mp3/.flac> [ffplay] [--runs N] [--play-runs N]
//                     [--seconds S]     (open/start/seek runs, playback runs, playback seconds)
//        player_bench play <file> <seconds> <start µs or -1>   (our player, one run)
//        player_bench seek <file> <target µs> <result file>     (our player, one seek)
//        player_bench draw <file> <seconds> <wave|rdft>         (our player drawing, one run)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "XServer.h"
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

// Plays AFile and, once its sound has reached the audio callback for a second, seeks to ATarget
// (µs after the start time). Writes to AResult the milliseconds from the Seek call to the first
// samples of the new position in SDL's audio callback (the audio hook, on SDL's audio thread), or
// -1 when none came within 10 s.
int SeekOnce(const std::string& AFile, int64_t ATarget, const fs::path& AResult) {
    // Written by the audio hook on SDL's audio thread; declared before the player, which they
    // outlive.
    std::atomic<bool> playing{false};
    std::atomic<bool> armed{false};      // set by the main thread just before the Seek call
    std::atomic<Clock::rep> reached{0};  // the audio thread's clock reading at the new position
    TFFPlayer player;
    if (!LoadPlayer(player)) return 1;
    player.SetAudioHook(true);
    player.SetOnAudioHook([&](TCustomPlayer*, int64_t APTS, uint8_t*, int, int, int) {
        playing = true;
        // Before the seek the position is a few seconds in; the target may land a frame early.
        if (armed && APTS >= ATarget - 1000000 && reached.load() == 0)
            reached = Clock::now().time_since_epoch().count();
    });
    if (!player.Open(AFile)) {
        std::fprintf(stderr, "player_bench: %s\n", player.LastErrMsg().c_str());
        return 1;
    }
    double ms = -1;
    if (WaitPumping([&] { return playing.load(); }, 5ms, 10000ms)) {
        const auto until = Clock::now() + 1s;
        WaitPumping([&] { return Clock::now() >= until; }, 5ms);
        armed = true;
        const auto asked = Clock::now();
        player.Seek(ATarget);
        if (WaitPumping([&] { return reached.load() != 0; }, 1ms, 10000ms))
            ms = std::chrono::duration<double, std::milli>(Clock::duration(reached.load()) -
                                                           asked.time_since_epoch())
                     .count();
    }
    player.Stop(true);
    std::ofstream(AResult) << ms << "\n";
    return ms >= 0 ? 0 : 1;
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
    std::vector<std::string> env{"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + ACapture.string()};
    if (!ADisplay.empty()) env.push_back("DISPLAY=" + ADisplay);
    TRun run;
    const auto start = Clock::now();
    const pid_t pid = SpawnQuiet(AArgs, env);
    if (pid == 0) {
        std::fprintf(stderr, "cannot start %s\n", AArgs.front().c_str());
        return run;
    }
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
    if (argc == 5 && std::string(argv[1]) == "seek")
        return SeekOnce(argv[2], std::atoll(argv[3]), argv[4]);
    if (argc == 5 && std::string(argv[1]) == "draw") return DrawOnce(argv[2], std::atoi(argv[3]), argv[4]);
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: player_bench <work folder> [ffplay] [--runs N] [--play-runs N] "
                     "[--seconds S]\n");
        return 2;
    }
    const fs::path work = argv[1];
    std::string ffplay = "ffplay";
    int runs = 7, playRuns = 5, playSeconds = 30;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--play-runs" && i + 1 < argc)
            playRuns = std::max(1, std::atoi(argv[++i]));
        else if (a == "--seconds" && i + 1 < argc)
            playSeconds = std::max(1, std::atoi(argv[++i]));
        else
            ffplay = a;
    }
    const std::string self = fs::canonical("/proc/self/exe").string();
    const fs::path capture = work / "player_capture.raw";
    const fs::path seekResult = work / "player_seek.txt";
    constexpr int kSeekTo = 300;  // seconds into the 10-minute files
    const std::string seekTo = std::to_string(kSeekTo);

    auto ours = [&](const fs::path& AFile, int ASeconds, bool AStart) {
        return std::vector<std::string>{self, "play", AFile.string(), std::to_string(ASeconds),
                                        AStart ? seekTo + "000000" : "-1"};
    };
    auto theirs = [&](const fs::path& AFile, int ASeconds, bool AStart) {
        std::vector<std::string> a{ffplay, "-nodisp", "-autoexit", "-loglevel", "quiet", "-t",
                                   std::to_string(ASeconds)};
        if (AStart) a.insert(a.end(), {"-ss", seekTo});
        a.push_back(AFile.string());
        return a;
    };
    // Our seek while playing, timed by the child; -1 when it failed.
    auto oursSeek = [&](const fs::path& AFile) {
        fs::remove(seekResult);
        Measure({self, "seek", AFile.string(), seekTo + "000000", seekResult.string()}, capture,
                false);
        double ms = -1;
        std::ifstream(seekResult) >> ms;
        return ms;
    };

    std::vector<double> openOurs, openTheirs, startOurs, startTheirs, seekOurs;
    std::printf("%d runs per file, ours and ffplay's interleaved\n", runs);
    std::printf("%-5s %-6s %10s %10s %10s %10s\n", "file", "what", "ours med", "ours max",
                "ffplay med", "ffplay max");
    bool failed = false;
    for (const char* ext : {"wav", "mp3", "flac"}) {
        const fs::path file = work / (std::string("long.") + ext);
        std::vector<double> o[2], st[2], sk;
        for (int i = 0; i < runs; ++i) {
            o[0].push_back(Measure(ours(file, 10, false), capture, true).FirstSoundMs);
            o[1].push_back(Measure(theirs(file, 10, false), capture, true).FirstSoundMs);
            st[0].push_back(Measure(ours(file, 10, true), capture, true).FirstSoundMs);
            st[1].push_back(Measure(theirs(file, 10, true), capture, true).FirstSoundMs);
            sk.push_back(oursSeek(file));
        }
        for (const auto* v : {&o[0], &o[1], &st[0], &st[1], &sk})
            if (std::any_of(v->begin(), v->end(), [](double ms) { return ms < 0; })) {
                std::fprintf(stderr, "player_bench: %s: a run played no sound\n", ext);
                failed = true;
            }
        std::printf("%-5s %-6s %8.1fms %8.1fms %8.1fms %8.1fms\n", ext, "open", Median(o[0]),
                    Worst(o[0]), Median(o[1]), Worst(o[1]));
        std::printf("%-5s %-6s %8.1fms %8.1fms %8.1fms %8.1fms\n", ext, "start", Median(st[0]),
                    Worst(st[0]), Median(st[1]), Worst(st[1]));
        std::printf("%-5s %-6s %8.1fms %8.1fms %8.1fms %8.1fms  (ffplay: -ss restart)\n", ext,
                    "seek", Median(sk), Worst(sk), Median(st[1]), Worst(st[1]));
        openOurs.insert(openOurs.end(), o[0].begin(), o[0].end());
        openTheirs.insert(openTheirs.end(), o[1].begin(), o[1].end());
        startOurs.insert(startOurs.end(), st[0].begin(), st[0].end());
        startTheirs.insert(startTheirs.end(), st[1].begin(), st[1].end());
        seekOurs.insert(seekOurs.end(), sk.begin(), sk.end());
    }
    std::printf(
        "seek: ours is a Seek to %d s while playing (the call to the new position's first samples "
        "in the audio callback); ffplay's figure is a restart with -ss %d (process start to "
        "first sound), as its seek key cannot be timed from outside\n",
        kSeekTo, kSeekTo);

    // Playback CPU and memory, ours and ffplay's alternately.
    const fs::path mp3 = work / "long.mp3";
    std::vector<double> cpu[2], rss[2];
    for (int i = 0; i < playRuns; ++i)
        for (int side = 0; side < 2; ++side) {
            const TRun r =
                Measure(side ? theirs(mp3, playSeconds, false) : ours(mp3, playSeconds, false),
                        capture, false);
            cpu[side].push_back(r.CpuSeconds);
            rss[side].push_back(double(r.PeakKiB));
        }
    std::printf(
        "cpu per %d s of MP3 (median of %d, alternating): ours %.2f s (max %.2f), ffplay %.2f s "
        "(max %.2f); peak RSS median: ours %.0f KiB, ffplay %.0f KiB\n",
        playSeconds, playRuns, Median(cpu[0]), Worst(cpu[0]), Median(cpu[1]), Worst(cpu[1]),
        Median(rss[0]), Median(rss[1]));
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };

    // Drawing: our Qt host against ffplay's window of the same size.
    const TXServer x(87);
    if (x.Display().empty()) std::printf("draw: ffplay side skipped: %s\n", x.Note().c_str());
    double drawOurs = 0, drawTheirs = 0;
    for (const char* mode : {"wave", "rdft"}) {
        const TRun a = Measure({self, "draw", mp3.string(), std::to_string(playSeconds), mode},
                               capture, false);
        TRun b;
        if (!x.Display().empty())
            b = Measure(
                {ffplay, "-x", std::to_string(kScreenWidth), "-y", std::to_string(kScreenHeight),
                 "-showmode", mode == std::string("wave") ? "waves" : "rdft", "-autoexit",
                 "-loglevel", "quiet", "-t", std::to_string(playSeconds), mp3.string()},
                capture, false, x.Display());
        std::printf("cpu per %d s drawing %s at %dx%d: ours %.2f s", playSeconds, mode,
                    kScreenWidth, kScreenHeight, a.CpuSeconds);
        if (!x.Display().empty()) std::printf(", ffplay %.2f s", b.CpuSeconds);
        std::printf("\n");
        drawOurs += a.CpuSeconds;
        drawTheirs += b.CpuSeconds;
    }
    fs::remove(capture);
    fs::remove(seekResult);
    if (!x.Display().empty())
        std::printf("player: draw cpu ours/ffplay %.2f\n", ratio(drawOurs, drawTheirs));
    std::printf(
        "player: open median ours/ffplay %.2f, start median ours/ffplay %.2f, seek median "
        "ours/ffplay-restart %.2f, cpu ours/ffplay %.2f, peak RSS ours/ffplay %.2f\n",
        ratio(Median(openOurs), Median(openTheirs)), ratio(Median(startOurs), Median(startTheirs)),
        ratio(Median(seekOurs), Median(startTheirs)), ratio(Median(cpu[0]), Median(cpu[1])),
        ratio(Median(rss[0]), Median(rss[1])));
    return failed ? 1 : 0;
}
