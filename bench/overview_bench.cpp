// Times the trim editor's waveform overview of a 30-minute MP3 (456 columns, the bar's width)
// against a plain decode of the same file by the FFmpeg command-line tool
// (`ffmpeg -i x.mp3 -f null -`): wall time and CPU time of each, 5 runs, interleaved. The media
// libraries are bound at run time through the loader, as in the program.
//
//   overview_bench WORKDIR [FFMPEG]
//
// WORKDIR/overview.mp3 is generated with FFMPEG when it is missing.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Dispatcher.h"
#include "FFDecode.h"
#include "FFLoad.h"
#include "FFLog.h"
#include "WaveOverview.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 5;
constexpr int kColumns = 456;

struct TTimes {
    double Wall = 0, Cpu = 0, First = 0;  // seconds; First: the first hand-over of peaks
};

double Seconds(Clock::duration ADuration) {
    return std::chrono::duration<double>(ADuration).count();
}

double CpuSeconds(const rusage& AUsage) {
    return AUsage.ru_utime.tv_sec + AUsage.ru_stime.tv_sec + (AUsage.ru_utime.tv_usec + AUsage.ru_stime.tv_usec) / 1e6;
}

double ProcessCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

// Runs a command without a shell, its output to /dev/null; false unless it exits with 0. ATimes
// gets its wall and CPU time.
bool RunTimed(const std::vector<std::string>& AArgs, TTimes& ATimes) {
    std::vector<char*> argv;
    for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) return false;
    ATimes.Wall = Seconds(Clock::now() - start);
    ATimes.Cpu = CpuSeconds(usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One overview of AFile, waited for on this (the main) thread as the editor's window would.
bool RunOverview(const fs::path& AFile, int64_t ADuration, TTimes& ATimes, std::string& AError) {
    TWaveOverview overview;
    bool finished = false;
    int loudColumns = 0;
    const auto start = Clock::now();
    const double cpu = ProcessCpu();
    overview.SetOnPeaks([&](const std::vector<TWavePeak>& APeaks, int, bool AFinished) {
        if (ATimes.First == 0) ATimes.First = Seconds(Clock::now() - start);
        finished = AFinished;
        if (AFinished)
            loudColumns = static_cast<int>(
                std::count_if(APeaks.begin(), APeaks.end(), [](const TWavePeak& p) { return p.Max > 0.1f; }));
    });
    overview.Start(AFile.string(), ADuration, kColumns);
    WaitPumping([&] { return finished; }, std::chrono::milliseconds(5));
    ATimes.Wall = Seconds(Clock::now() - start);
    ATimes.Cpu = ProcessCpu() - cpu;
    AError = overview.LastErrMsg();
    if (AError.empty() && loudColumns < kColumns * 9 / 10)
        AError = "only " + std::to_string(loudColumns) + " columns show the tone";
    return AError.empty();
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues.empty() ? 0 : AValues[AValues.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKDIR [FFMPEG]\n", argv[0]);
        return 2;
    }
    const fs::path work = argv[1];
    const std::string ffmpeg = argc > 2 ? argv[2] : "ffmpeg";
    const fs::path file = work / "overview.mp3";
    fs::create_directories(work);
    TTimes generated;
    // 30 minutes of a stereo 44.1 kHz 440 Hz tone swelling and fading once a minute, 192 kbit/s.
    if (!fs::exists(file) &&
        !RunTimed({ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                   "aevalsrc=0.5*sin(2*PI*440*t)*(0.6+0.4*sin(2*PI*t/60)):s=44100:c=stereo:d=1800", "-c:a",
                   "libmp3lame", "-b:a", "192k", file.string()},
                  generated)) {
        std::fprintf(stderr, "cannot generate %s with %s\n", file.c_str(), ffmpeg.c_str());
        return 1;
    }

    TFFDecoder probe;
    if (!probe.LoadAVLib("") || !probe.LoadFile(file.string())) {
        std::fprintf(stderr, "cannot open %s: %s\n", file.c_str(), probe.LastErrMsg().c_str());
        return 1;
    }
    TheLogger()->SetLogLevel(llError);
    const int64_t duration = probe.FileStreamInfo().Duration;
    probe.CloseFile();

    std::vector<double> oursWall, oursCpu, oursFirst, theirsWall, theirsCpu;
    for (int run = 0; run < kRuns; ++run) {
        TTimes ours, theirs;
        std::string error;
        if (!RunOverview(file, duration, ours, error)) {
            std::fprintf(stderr, "overview failed: %s\n", error.c_str());
            return 1;
        }
        if (!RunTimed({ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1", "-i", file.string(),
                       "-f", "null", "-"},
                      theirs)) {
            std::fprintf(stderr, "%s failed\n", ffmpeg.c_str());
            return 1;
        }
        std::printf(
            "run %d: overview %.2f s (cpu %.2f s, first peaks after %.3f s), ffmpeg decode %.2f s (cpu %.2f s)\n",
            run + 1, ours.Wall, ours.Cpu, ours.First, theirs.Wall, theirs.Cpu);
        std::fflush(stdout);
        oursWall.push_back(ours.Wall);
        oursCpu.push_back(ours.Cpu);
        oursFirst.push_back(ours.First);
        theirsWall.push_back(theirs.Wall);
        theirsCpu.push_back(theirs.Cpu);
    }
    std::printf(
        "overview: 30-min MP3 median %.2f s (cpu %.2f s, first peaks %.3f s), ffmpeg -f null %.2f s (cpu %.2f s), "
        "wall ours/ffmpeg %.2f\n",
        Median(oursWall), Median(oursCpu), Median(oursFirst), Median(theirsWall), Median(theirsCpu),
        Median(oursWall) / Median(theirsWall));
    return 0;
}
