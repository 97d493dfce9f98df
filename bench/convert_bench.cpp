// Times the encoder against the FFmpeg command-line tool on the media bench/run.sh generates:
// three long single-file conversions, then a batch of short files with one and two worker
// threads. The media libraries are bound at run time through the loader, as in the program.
//
//   convert_bench WORKDIR [FFMPEG]
//
// WORKDIR holds long.wav, long.flac, long.mp3 and batch/*.wav; outputs go to WORKDIR/out.
#include <thread>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Dispatcher.h"
#include "FFEncode.h"
#include "FFLoad.h"
#include "FFLog.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct TCase {
    const char* Title;
    const char* Input;
    const char* Output;
    const char* Codec;
    int BitRate;
    int SampleRate;  // -1: keep
    int Channels;    // -1: keep
};

const TCase kCases[] = {
    {"WAV -> MP3 128k (libmp3lame)", "long.wav", "long.mp3", "libmp3lame", 128000, -1, -1},
    {"FLAC -> AAC 192k (aac)", "long.flac", "long.m4a", "aac", 192000, -1, -1},
    {"MP3 -> Vorbis 128k 48k mono", "long.mp3", "long.ogg", "libvorbis", 128000, 48000, 1},
};

double Seconds(Clock::duration ADuration) {
    return std::chrono::duration<double>(ADuration).count();
}

// CPU seconds (user and system) of this process, or of its waited-for children.
double CpuSeconds(int AWho = RUSAGE_SELF) {
    rusage usage{};
    getrusage(AWho, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double PeakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

// Runs a command without a shell; true when it exits with 0.
bool RunCommand(const std::vector<std::string>& AArgs) {
    std::vector<char*> argv;
    for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> FfmpegArgs(const std::string& AFfmpeg, const fs::path& AIn,
                                    const fs::path& AOut, const TCase& ACase) {
    std::vector<std::string> args = {AFfmpeg, "-threads", "1", "-nostdin", "-hide_banner",
                                     "-loglevel", "error", "-y", "-i", AIn.string(),
                                     "-threads", "1", "-c:a", ACase.Codec, "-b:a",
                                     std::to_string(ACase.BitRate)};
    if (ACase.SampleRate > 0) args.insert(args.end(), {"-ar", std::to_string(ACase.SampleRate)});
    if (ACase.Channels > 0) args.insert(args.end(), {"-ac", std::to_string(ACase.Channels)});
    args.push_back(AOut.string());
    return args;
}

TOutputOptions OutputRecord(const TCase& ACase) {
    TOutputOptions o;
    o.AudioCodec = ACase.Codec;
    o.AudioBitrate = ACase.BitRate;
    o.AudioSampleRate = ACase.SampleRate;
    o.AudioChannels = ACase.Channels;
    return o;
}

// One encoder run over (input, output) pairs; false with a message when a task failed.
// ABuildSeconds receives the time spent adding the tasks (each input probed, each output
// opened), which runs on the calling thread whatever the thread count.
// ALoudness: a loudness target (LUFS) for every output, 0 none.
bool RunEncoder(const std::vector<std::pair<fs::path, fs::path>>& AJobs, const TCase& ACase,
                int AThreadCount, std::string& AError, double* ABuildSeconds = nullptr,
                double ALoudness = 0.0) {
    const auto buildStart = Clock::now();
    TFFEncoder encoder;
    std::mutex lock;  // guards failures, done
    std::string failures;
    bool done = false;
    encoder.OnTerminate = [&](void*, const TTerminateInfo& AInfo) {
        std::lock_guard guard(lock);
        if (AInfo.TaskIndex < 0)
            done = true;
        else if (!AInfo.Finished || AInfo.Exception)
            failures += "task " + std::to_string(AInfo.TaskIndex) + ": " + AInfo.ExceptionMsg + "\n";
    };
    for (const auto& [in, out] : AJobs) {
        const int t = encoder.AddTask(in.string());
        TOutputOptions o = OutputRecord(ACase);
        o.LoudnessTarget = ALoudness;
        if (t < 0 || !encoder.SetOutputFile(t, out.string(), &o)) {
            AError = encoder.LastErrMsg();
            return false;
        }
    }
    if (ABuildSeconds) *ABuildSeconds = Seconds(Clock::now() - buildStart);
    encoder.Start(AThreadCount);
    WaitPumping([&] {
        std::lock_guard guard(lock);
        return done;
    });
    AError = failures;
    return failures.empty();
}

void Row(const std::string& ATitle, double AOurs, double ATheirs, double APeak) {
    std::printf("%-34s %10.2f %10.2f %7.2f %10.1f\n", ATitle.c_str(), AOurs, ATheirs,
                ATheirs > 0 ? AOurs / ATheirs : 0.0, APeak);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKDIR [FFMPEG]\n", argv[0]);
        return 2;
    }
    const fs::path work = argv[1];
    const std::string ffmpeg = argc > 2 ? argv[2] : "ffmpeg";
    const fs::path out = work / "out";
    fs::create_directories(out);

    if (!GlobalFFLoader.Load(EncoderLibraries)) {
        std::fprintf(stderr, "cannot load the media libraries: %s\n",
                     GlobalFFLoader.LastErrMsg().c_str());
        return 1;
    }
    TheLogger()->SetLogLevel(llError);

    std::printf("%-34s %10s %10s %7s %10s\n", "case", "ours (s)", "ffmpeg (s)", "ratio",
                "peak MiB");
    int failed = 0;
    for (const TCase& c : kCases) {
        const fs::path in = work / c.Input;
        std::string error;
        auto t0 = Clock::now();
        const bool ok = RunEncoder({{in, out / (std::string("ours-") + c.Output)}}, c, 0, error);
        const double ours = Seconds(Clock::now() - t0);
        const double peak = PeakMiB();
        t0 = Clock::now();
        const bool theirsOk =
            RunCommand(FfmpegArgs(ffmpeg, in, out / (std::string("ffmpeg-") + c.Output), c));
        const double theirs = Seconds(Clock::now() - t0);
        if (!ok || !theirsOk) {
            std::fprintf(stderr, "%s failed: %s%s\n", c.Title, ok ? "" : error.c_str(),
                         theirsOk ? "" : " (ffmpeg)");
            ++failed;
            continue;
        }
        Row(c.Title, ours, theirs, peak);
    }

    // Loudness normalisation: the measuring pass of an MP3 -> MP3 192k job against the job
    // itself, and against the ffmpeg CLI's own measuring pass (ebur128 with true peak).
    {
        const TCase job = {"MP3 -> MP3 192k", "long.mp3", "long.mp3", "libmp3lame", 192000, -1, -1};
        const fs::path in = work / job.Input;
        std::string error;
        double cpu[2];
        for (int k = 0; k < 2; ++k) {
            const double c0 = CpuSeconds();
            if (!RunEncoder({{in, out / (k ? "loud-ours.mp3" : "plain-ours.mp3")}}, job, 0, error,
                            nullptr, k ? -14.0 : 0.0)) {
                std::fprintf(stderr, "%s failed: %s\n", job.Title, error.c_str());
                ++failed;
            }
            cpu[k] = CpuSeconds() - c0;
        }
        const double c0 = CpuSeconds(RUSAGE_CHILDREN);
        RunCommand({ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1", "-i",
                    in.string(), "-af", "ebur128=peak=true", "-f", "null", "-"});
        const double cli = CpuSeconds(RUSAGE_CHILDREN) - c0;
        std::printf("loudness measuring pass (CPU s)    %10.2f %10.2f %7.2f   job %.2f s, pass/job %.2f "
                    "(goal <= 0.30)\n",
                    cpu[1] - cpu[0], cli, cli > 0 ? (cpu[1] - cpu[0]) / cli : 0.0, cpu[0],
                    cpu[0] > 0 ? (cpu[1] - cpu[0]) / cpu[0] : 0.0);
    }

    // The batch: every WAV of WORKDIR/batch to MP3 128k.
    std::vector<fs::path> batch;
    for (const auto& e : fs::directory_iterator(work / "batch"))
        if (e.path().extension() == ".wav") batch.push_back(e.path());
    std::sort(batch.begin(), batch.end());
    const TCase& mp3 = kCases[0];
    const fs::path batchOut = out / "batch";
    fs::create_directories(batchOut);
    auto jobs = [&](const std::string& APrefix) {
        std::vector<std::pair<fs::path, fs::path>> j;
        for (const auto& in : batch)
            j.emplace_back(in, batchOut / (APrefix + in.stem().string() + ".mp3"));
        return j;
    };
    auto t0 = Clock::now();
    for (const auto& [in, o] : jobs("ffmpeg-"))
        if (!RunCommand(FfmpegArgs(ffmpeg, in, o, mp3))) {
            std::fprintf(stderr, "ffmpeg failed on %s\n", in.c_str());
            ++failed;
        }
    const double theirs = Seconds(Clock::now() - t0);
    double total[3] = {0, 0, 0}, build[3] = {0, 0, 0};
    for (int threads : {1, 2}) {
        std::string error;
        t0 = Clock::now();
        const bool ok = RunEncoder(jobs("ours" + std::to_string(threads) + "-"), mp3, threads, error,
                                   &build[threads]);
        const double ours = Seconds(Clock::now() - t0);
        total[threads] = ours;
        if (!ok) {
            std::fprintf(stderr, "batch with Start(%d) failed: %s\n", threads, error.c_str());
            ++failed;
            continue;
        }
        Row(std::to_string(batch.size()) + " files, Start(" + std::to_string(threads) +
                ") vs ffmpeg loop",
            ours, theirs, PeakMiB());
    }
    if (total[1] > 0 && total[2] > 0)
        std::printf("Start(2) speed-up over Start(1) on %u cores: %.2fx in all, %.2fx after the tasks "
                    "were added (adding took %.2f s and %.2f s)\n",
                    std::thread::hardware_concurrency(), total[1] / total[2],
                    (total[1] - build[1]) / (total[2] - build[2]), build[1], build[2]);
    return failed ? 1 : 0;
}
