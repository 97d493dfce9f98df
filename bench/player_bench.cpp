// Player benchmark against ffplay, both playing through SDL's disk audio driver (real time, the
// capture is what would be heard). Every run is its own process, ours and ffplay's interleaved:
//   open: process start -> first audible sample in the capture
//   seek: process start with a start position (ffplay -ss) -> first audible sample
//   cpu:  user + system time of 30 s of playback; peak resident memory of that run
// Usage: player_bench <work folder with long.wav/.mp3/.flac> [ffplay]
//        player_bench play <file> <seconds> <start µs or -1>   (our player, one run)
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

#include "Dispatcher.h"
#include "FFPlay.h"
#include "libsdl.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

int PlayOnce(const std::string& AFile, int ASeconds, long long AStart) {
    TFFPlayer player;
    std::string error;
    const fs::path copy = PrepareSDLCopy(QAC_SYSTEM_SDL, 7, error);
    if (copy.empty() || !player.LoadAVLib("") ||
        !player.LoadSDLLib(copy.parent_path().string(), copy.filename().string())) {
        std::fprintf(stderr, "player_bench: %s%s\n", error.c_str(), player.LastErrMsg().c_str());
        return 1;
    }
    if (AStart >= 0) player.set_start_time(AStart);
    if (!player.Open(AFile)) {
        std::fprintf(stderr, "player_bench: %s\n", player.LastErrMsg().c_str());
        return 1;
    }
    const auto until = Clock::now() + std::chrono::seconds(ASeconds);
    WaitPumping([&] { return Clock::now() >= until; }, 5ms);
    player.Stop(true);
    return 0;
}

struct TRun {
    double FirstSoundMs = -1;  // -1: none heard
    double CpuSeconds = 0;
    long PeakKiB = 0;
};

// Runs AArgs with the disk driver writing to ACapture. With AUntilSound the process is killed at
// the first audible sample; otherwise it runs to its end.
TRun Measure(const std::vector<std::string>& AArgs, const fs::path& ACapture, bool AUntilSound) {
    fs::remove(ACapture);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "SDL_AUDIODRIVER=", 16) && std::strncmp(*e, "SDL_DISKAUDIOFILE=", 18))
            env.emplace_back(*e);
    env.push_back("SDL_AUDIODRIVER=disk");
    env.push_back("SDL_DISKAUDIOFILE=" + ACapture.string());
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
    fs::remove(capture);
    std::printf("cpu per 30 s of MP3: ours %.2f s, ffplay %.2f s; peak RSS: ours %ld KiB, ffplay %ld KiB\n",
                cpuOurs.CpuSeconds, cpuTheirs.CpuSeconds, cpuOurs.PeakKiB, cpuTheirs.PeakKiB);
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    std::printf("player: open median ours/ffplay %.2f, seek median ours/ffplay %.2f, cpu ours/ffplay %.2f, "
                "peak RSS ours/ffplay %.2f\n",
                ratio(Median(openOurs), Median(openTheirs)), ratio(Median(seekOurs), Median(seekTheirs)),
                ratio(cpuOurs.CpuSeconds, cpuTheirs.CpuSeconds),
                ratio(double(cpuOurs.PeakKiB), double(cpuTheirs.PeakKiB)));
    return 0;
}
