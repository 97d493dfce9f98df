// Times the encoder against the FFmpeg command-line tool on the media bench/run.sh generates.
// Every run is a process of its own, ours (this program in a child mode, the library loading
// included) and ffmpeg's interleaved, so each side's CPU time and peak resident memory are its
// own. Prints min/median/max over the runs.
//
//   convert_bench WORKDIR [FFMPEG] [--runs N] [--max-batch N] [--only TEXT]
//                 [--program PATH [--batch-mode-files N]]
//   convert_bench --ours LISTFILE OUTDIR THREADS CODEC BITRATE RATE CHANNELS LOUDNESS [VERIFY]
//                                                                                   (child)
//
// WORKDIR holds long.wav, long.flac, long.mp3, short.wav and short2.wav; outputs go to
// WORKDIR/out. --only runs the cases whose title contains TEXT. --program names the program,
// whose batch mode (--convert) is then timed on N two-second files (default 200).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
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
    const char* Codec;
    int BitRate;
    int SampleRate;  // -1: keep
    int Channels;    // -1: keep
};

const TCase kCases[] = {
    {"WAV -> MP3 192k (default profile)", "long.wav", "libmp3lame", 192000, -1, -1},
    {"MP3 -> MP3 192k (default profile)", "long.mp3", "libmp3lame", 192000, -1, -1},
    {"WAV -> MP3 128k", "long.wav", "libmp3lame", 128000, -1, -1},
    {"FLAC -> AAC 192k", "long.flac", "aac", 192000, -1, -1},
    {"MP3 -> Vorbis 128k 48k mono", "long.mp3", "libvorbis", 128000, 48000, 1},
    {"WAV -> Opus 128k 48k", "long.wav", "libopus", 128000, 48000, -1},
};

// The output file's extension (and so its container) for each encoder the cases use.
struct TCodecExt {
    const char* Codec;
    const char* Ext;
};
constexpr TCodecExt kCodecExts[] = {
    {"libmp3lame", ".mp3"}, {"aac", ".m4a"},   {"libvorbis", ".ogg"},
    {"libopus", ".opus"},   {"flac", ".flac"},     {"alac", ".m4a"},
    {"wavpack", ".wv"},     {"pcm_s16le", ".wav"},
};

// The verification cases: a job with "Verify outputs" against the same job without.
struct TVerifyCase {
    const char* Title;
    TCase Case;
    double Goal;  // verification CPU as a share of the job's
};
const TVerifyCase kVerifyCases[] = {
    {"verification, lossy (WAV -> MP3 192k)", {"WAV -> MP3", "long.wav", "libmp3lame", 192000, -1, -1}, 0.25},
    {"verification, lossless (WAV -> FLAC)", {"WAV -> FLAC", "long.wav", "flac", 0, -1, -1}, 0.40},
    {"verification, lossless (WAV -> ALAC)", {"WAV -> ALAC", "long.wav", "alac", 0, -1, -1}, 0.40},
    {"verification, lossless (WAV -> WavPack)", {"WAV -> WavPack", "long.wav", "wavpack", 0, -1, -1}, 0.40},
    {"verification, lossless (WAV -> WAV)", {"WAV -> WAV", "long.wav", "pcm_s16le", 0, -1, -1}, 0.40},
};

// The extension of ACodec's outputs; empty for a codec missing from the table.
std::string ExtOf(const std::string& ACodec) {
    for (const TCodecExt& e : kCodecExts)
        if (ACodec == e.Codec) return e.Ext;
    return {};
}

// Written by the child mode into its output folder: the seconds from Start to the final notice.
constexpr const char* kRunSecondsFile = "run-seconds.txt";

// One measured process: wall and CPU seconds, peak resident MiB (its own or its largest
// descendant's).
struct TSample {
    double Wall = 0, Cpu = 0, PeakMiB = 0;
    bool Ok = false;
};

TSample Spawn(const std::vector<std::string>& AArgs) {
    std::vector<char*> argv;
    for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    TSample s;
    const auto t0 = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return s;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) return s;
    s.Wall = std::chrono::duration<double>(Clock::now() - t0).count();
    s.Cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    s.PeakMiB = usage.ru_maxrss / 1024.0;
    s.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return s;
}

std::vector<std::string> FfmpegArgs(const std::string& AFfmpeg, const TCase& ACase) {
    std::vector<std::string> args = {AFfmpeg,    "-threads", "1",  "-nostdin", "-hide_banner",
                                     "-loglevel", "error",   "-y", "-threads", "1",
                                     "-c:a",      ACase.Codec, "-b:a", std::to_string(ACase.BitRate)};
    if (ACase.SampleRate > 0) args.insert(args.end(), {"-ar", std::to_string(ACase.SampleRate)});
    if (ACase.Channels > 0) args.insert(args.end(), {"-ac", std::to_string(ACase.Channels)});
    return args;
}

// The ffmpeg CLI over a list of inputs, AParallel processes at a time (xargs -P).
std::vector<std::string> XargsArgs(const std::string& AFfmpeg, const TCase& ACase,
                                   const fs::path& AList, const fs::path& AOut, int AParallel) {
    std::string cmd;
    for (const auto& a : FfmpegArgs(AFfmpeg, ACase)) cmd += "'" + a + "' ";
    cmd.insert(cmd.find("'-y' ") + 5, "-i \"$0\" ");
    cmd = "exec " + cmd + "\"" + AOut.string() + "/$(basename \"$0\" .wav)" + ExtOf(ACase.Codec) +
          "\"";
    return {"xargs", "-a", AList.string(), "-d", "\\n", "-P", std::to_string(AParallel), "-n", "1",
            "sh", "-c", cmd};
}

std::vector<std::string> OursArgs(const std::string& ASelf, const TCase& ACase,
                                  const fs::path& AList, const fs::path& AOut, int AThreads,
                                  double ALoudness = 0.0, bool AVerify = false) {
    return {ASelf,
            "--ours",
            AList.string(),
            AOut.string(),
            std::to_string(AThreads),
            ACase.Codec,
            std::to_string(ACase.BitRate),
            std::to_string(ACase.SampleRate),
            std::to_string(ACase.Channels),
            std::to_string(ALoudness),
            AVerify ? "1" : "0"};
}

void WriteList(const fs::path& AList, const std::vector<fs::path>& AFiles) {
    std::ofstream f(AList);
    for (const auto& p : AFiles) f << p.string() << "\n";
}

// Child mode: converts every file of the list into OUTDIR with the given settings.
int RunOurs(char** AArgv) {
    const fs::path out = AArgv[3];
    const int threads = std::atoi(AArgv[4]);
    if (!GlobalFFLoader.Load(EncoderLibraries)) {
        std::fprintf(stderr, "cannot load the media libraries: %s\n",
                     GlobalFFLoader.LastErrMsg().c_str());
        return 1;
    }
    TheLogger()->SetLogLevel(llError);
    TOutputOptions o;
    o.AudioCodec = AArgv[5];
    o.AudioBitrate = std::atoi(AArgv[6]);
    o.AudioSampleRate = std::atoi(AArgv[7]);
    o.AudioChannels = std::atoi(AArgv[8]);
    o.LoudnessTarget = std::atof(AArgv[9]);
    o.VerifyOutput = AArgv[10] && std::atoi(AArgv[10]) != 0;  // argv ends with a null pointer
    const std::string ext = ExtOf(o.AudioCodec);
    if (ext.empty()) {
        std::fprintf(stderr, "no output extension for the codec %s\n", o.AudioCodec.c_str());
        return 1;
    }
    TFFEncoder encoder;
    std::mutex lock;  // guards failures, done, ended
    std::string failures;
    bool done = false;
    Clock::time_point ended;
    encoder.OnTerminate = [&](void*, const TTerminateInfo& AInfo) {
        std::lock_guard guard(lock);
        if (AInfo.TaskIndex < 0) {
            done = true;
            ended = Clock::now();
        } else if (!AInfo.Finished || AInfo.Exception) {
            failures += "task " + std::to_string(AInfo.TaskIndex) + ": " + AInfo.ExceptionMsg + "\n";
        } else if (o.VerifyOutput && AInfo.Verified == vrNone) {
            failures += "task " + std::to_string(AInfo.TaskIndex) + ": not verified\n";
        }
    };
    std::ifstream list(AArgv[2]);
    for (std::string line; std::getline(list, line);) {
        if (line.empty()) continue;
        const int t = encoder.AddTask(line);
        TOutputOptions record = o;
        const std::string name = (out / fs::path(line).stem()).string() + ext;
        if (t < 0 || !encoder.SetOutputFile(t, name, &record)) {
            std::fprintf(stderr, "%s\n", encoder.LastErrMsg().c_str());
            return 1;
        }
    }
    SetMainThread();
    const auto started = Clock::now();
    encoder.Start(threads);
    WaitPumping([&] {
        std::lock_guard guard(lock);
        return done;
    });
    // The run alone (Start to the final notice), for the parent to compare thread counts by.
    std::ofstream(out / kRunSecondsFile)
        << std::chrono::duration<double>(ended - started).count() << "\n";
    if (!failures.empty()) std::fprintf(stderr, "%s", failures.c_str());
    return failures.empty() ? 0 : 1;
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues.empty() ? 0.0 : AValues[AValues.size() / 2];
}

std::string Spread(const std::vector<double>& AValues, double AScale = 1.0) {
    if (AValues.empty()) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.3f/%.3f/%.3f",
                  *std::min_element(AValues.begin(), AValues.end()) * AScale,
                  Median(AValues) * AScale,
                  *std::max_element(AValues.begin(), AValues.end()) * AScale);
    return text;
}

// Interleaved runs of two commands; the figures of each side.
struct TPair {
    std::vector<double> Wall[2], Cpu[2], Peak[2];
    bool Failed = false;
};

TPair Interleave(int ARuns, const std::vector<std::string>& AOurs,
                 const std::vector<std::string>& ATheirs) {
    TPair p;
    for (int r = 0; r < ARuns; ++r)
        for (int side = 0; side < 2; ++side) {
            const TSample s = Spawn(side ? ATheirs : AOurs);
            if (!s.Ok) {
                p.Failed = true;
                return p;
            }
            p.Wall[side].push_back(s.Wall);
            p.Cpu[side].push_back(s.Cpu);
            p.Peak[side].push_back(s.PeakMiB);
        }
    return p;
}

void PrintPair(const std::string& ATitle, const TPair& APair, double APerFile = 1.0) {
    const double ratio = Median(APair.Cpu[1]) > 0 ? Median(APair.Cpu[0]) / Median(APair.Cpu[1]) : 0;
    std::printf("%-38s cpu%s ours %-22s ffmpeg %-22s ratio %.2f  peak MiB ours %.1f ffmpeg %.1f\n",
                ATitle.c_str(), APerFile != 1.0 ? "/file" : "", Spread(APair.Cpu[0], APerFile).c_str(),
                Spread(APair.Cpu[1], APerFile).c_str(), ratio,
                *std::max_element(APair.Peak[0].begin(), APair.Peak[0].end()),
                *std::max_element(APair.Peak[1].begin(), APair.Peak[1].end()));
    std::printf("%-38s wall   ours %-22s ffmpeg %-22s ratio %.2f\n", "", Spread(APair.Wall[0]).c_str(),
                Spread(APair.Wall[1]).c_str(),
                Median(APair.Wall[1]) > 0 ? Median(APair.Wall[0]) / Median(APair.Wall[1]) : 0);
    std::fflush(stdout);
}

// The program's batch mode against a CLI loop on AFiles two-second WAVs (links to short2.wav):
// AFiles names in ADir (made when missing): <APrefix>00000.wav ..., each a hard link to ASource.
std::vector<fs::path> LinkedCopies(const fs::path& ASource, const fs::path& ADir, const char* APrefix, int AFiles) {
    fs::create_directories(ADir);
    std::vector<fs::path> files;
    for (int i = 0; i < AFiles; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%05d.wav", APrefix, i);
        const fs::path f = ADir / name;
        std::error_code ec;
        if (!fs::exists(f)) fs::create_hard_link(ASource, f, ec);
        files.push_back(f);
    }
    return files;
}

// `PROGRAM --convert --jobs 2 --profile MP3` with the case's settings spelt out, against xargs -P2
// running one ffmpeg per file with the same codec, rate, bit rate and channels. Both sides write
// into an emptied folder; the CPU time is that of the whole process tree (wait4 counts the
// descendants each process waited for). False when a run failed.
bool BatchModeCase(const std::string& AProgram, const std::string& AFfmpeg, const fs::path& AWork,
                   const fs::path& AOut, int AFiles, int ARuns) {
    const TCase c = {"batch mode", "short2.wav", "libmp3lame", 192000, 44100, 2};
    const fs::path dir = AWork / ("batchmode" + std::to_string(AFiles));
    const std::vector<fs::path> files = LinkedCopies(AWork / c.Input, dir, "clip", AFiles);
    const fs::path list = AOut / "batchmode.list";
    WriteList(list, files);
    const fs::path outDir = AOut / "batchmode";
    // The program's settings and folders stay inside the work folder.
    const fs::path home = AWork / "batchmode-home";
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    std::vector<std::string> ours = {
        AProgram,        "--convert",  "--quiet", "--jobs",    "2",  "--output",
        outDir.string(), "--loudness", "off",     "--profile", "MP3"};
    ours.insert(ours.end(),
                {"--codec", c.Codec, "--bitrate", std::to_string(c.BitRate), "--rate",
                 std::to_string(c.SampleRate), "--channels", std::to_string(c.Channels)});
    for (const fs::path& f : files) ours.push_back(f.string());
    const std::vector<std::string> theirs = XargsArgs(AFfmpeg, c, list, outDir, 2);

    std::vector<double> wall[2], cpu[2], peak[2];
    for (int r = 0; r < ARuns; ++r)
        for (int side = 0; side < 2; ++side) {
            fs::remove_all(outDir);
            fs::create_directories(outDir);
            const TSample s = Spawn(side ? theirs : ours);
            std::size_t written = 0;
            for (const auto& e : fs::directory_iterator(outDir))
                written += e.path().extension() == ".mp3";
            if (!s.Ok || written != files.size()) {
                std::fprintf(stderr, "batch mode: %s run failed (%zu of %d outputs)\n",
                             side ? "ffmpeg" : "our", written, AFiles);
                return false;
            }
            wall[side].push_back(s.Wall);
            cpu[side].push_back(s.Cpu);
            peak[side].push_back(s.PeakMiB);
        }
    auto ratio = [](const std::vector<double>& A, const std::vector<double>& B) {
        return Median(B) > 0 ? Median(A) / Median(B) : 0.0;
    };
    const double perFileMs = 1000.0 / AFiles;
    std::printf(
        "batch mode: %d x 2 s WAV -> MP3 192k 44.1k stereo, --convert --jobs 2 vs xargs -P2 ffmpeg "
        "(ms per file, min/median/max)\n",
        AFiles);
    std::printf("%-38s cpu    ours %-22s ffmpeg %-22s ratio %.2f (goal <= 0.50)\n", "",
                Spread(cpu[0], perFileMs).c_str(), Spread(cpu[1], perFileMs).c_str(),
                ratio(cpu[0], cpu[1]));
    std::printf("%-38s wall   ours %-22s ffmpeg %-22s ratio %.2f\n", "",
                Spread(wall[0], perFileMs).c_str(), Spread(wall[1], perFileMs).c_str(),
                ratio(wall[0], wall[1]));
    std::printf("%-38s peak MiB ours %.1f, ffmpeg (largest process) %.1f\n", "",
                *std::max_element(peak[0].begin(), peak[0].end()),
                *std::max_element(peak[1].begin(), peak[1].end()));
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 10 && std::strcmp(argv[1], "--ours") == 0) return RunOurs(argv);
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s WORKDIR [FFMPEG] [--runs N] [--max-batch N] [--only TEXT] "
                     "[--program PATH [--batch-mode-files N]]\n",
                     argv[0]);
        return 2;
    }
    const fs::path work = argv[1];
    std::string ffmpeg = "ffmpeg", only, program;
    int runs = 3, maxBatch = 10000, batchModeFiles = 200;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--max-batch") == 0 && i + 1 < argc)
            maxBatch = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
        else if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc)
            program = fs::absolute(argv[++i]).string();
        else if (std::strcmp(argv[i], "--batch-mode-files") == 0 && i + 1 < argc)
            batchModeFiles = std::max(1, std::atoi(argv[++i]));
        else
            ffmpeg = argv[i];
    }
    auto wanted = [&](const std::string& ATitle) {
        return only.empty() || ATitle.find(only) != std::string::npos;
    };
    const std::string self = fs::canonical("/proc/self/exe").string();
    const fs::path out = work / "out";
    fs::create_directories(out);
    std::printf("%u cores; %d interleaved runs per case, min/median/max; CPU in seconds\n",
                std::thread::hardware_concurrency(), runs);
    int failed = 0;

    // Single long conversions, one thread each.
    for (const TCase& c : kCases) {
        if (!wanted(c.Title)) continue;
        const fs::path list = out / "single.list";
        WriteList(list, {work / c.Input});
        std::vector<std::string> theirs = FfmpegArgs(ffmpeg, c);
        theirs.insert(theirs.begin() + 8, {"-i", (work / c.Input).string()});
        theirs.push_back((out / ("ffmpeg-long" + ExtOf(c.Codec))).string());
        const TPair p = Interleave(runs, OursArgs(self, c, list, out, 0), theirs);
        if (p.Failed) {
            std::fprintf(stderr, "%s failed\n", c.Title);
            ++failed;
            continue;
        }
        PrintPair(c.Title, p);
    }

    // The loudness measuring pass of an MP3 -> MP3 job: the job with and without a target.
    if (wanted("loudness measuring pass")) {
        const TCase& c = kCases[1];
        const fs::path list = out / "single.list";
        WriteList(list, {work / c.Input});
        const TPair p =
            Interleave(runs, OursArgs(self, c, list, out, 0, -14.0), OursArgs(self, c, list, out, 0));
        if (p.Failed) {
            ++failed;
        } else {
            const double pass = Median(p.Cpu[0]) - Median(p.Cpu[1]);
            std::printf("%-38s cpu    pass %.2f s of a %.2f s job: %.2f of the job (goal <= 0.30)\n",
                        "loudness measuring pass (-14 LUFS)", pass, Median(p.Cpu[1]),
                        Median(p.Cpu[1]) > 0 ? pass / Median(p.Cpu[1]) : 0.0);
        }
    }

    // Verification: decoding each output back (and, for a lossless target, hashing the source's
    // samples as they pass) as a share of the job's own CPU.
    for (const TVerifyCase& v : kVerifyCases) {
        if (!wanted(v.Title)) continue;
        const fs::path list = out / "single.list";
        WriteList(list, {work / v.Case.Input});
        const TPair p = Interleave(runs, OursArgs(self, v.Case, list, out, 0, 0.0, true),
                                   OursArgs(self, v.Case, list, out, 0));
        if (p.Failed) {
            std::fprintf(stderr, "%s failed\n", v.Title);
            ++failed;
            continue;
        }
        const double extra = Median(p.Cpu[0]) - Median(p.Cpu[1]);
        std::printf("%-38s cpu    %.2f s of a %.2f s job: %.2f of the job (goal <= %.2f)\n", v.Title,
                    extra, Median(p.Cpu[1]), Median(p.Cpu[1]) > 0 ? extra / Median(p.Cpu[1]) : 0.0,
                    v.Goal);
        std::fflush(stdout);
    }

    // Batches of short files (links to one 1-second WAV): Start(2) against xargs -P2 ffmpeg, CPU
    // per file; and Start(2) against Start(1) once.
    const TCase& mp3 = kCases[0];
    for (int n : {10, 100, 1000, 10000}) {
        if (n > maxBatch) break;
        if (!wanted(std::to_string(n) + " files, Start(2) vs xargs -P2")) continue;
        const fs::path dir = work / ("batch" + std::to_string(n));
        const std::vector<fs::path> files = LinkedCopies(work / "short.wav", dir, "tone", n);
        const fs::path list = out / ("batch" + std::to_string(n) + ".list");
        WriteList(list, files);
        const fs::path outDir = out / ("batch" + std::to_string(n));
        fs::create_directories(outDir);
        const int batchRuns = n >= 1000 ? 1 : runs;
        const TPair p = Interleave(batchRuns, OursArgs(self, mp3, list, outDir, 2),
                                   XargsArgs(ffmpeg, mp3, list, outDir, 2));
        if (p.Failed) {
            std::fprintf(stderr, "batch of %d failed\n", n);
            ++failed;
            continue;
        }
        PrintPair(std::to_string(n) + " files, Start(2) vs xargs -P2", p, 1.0 / n);
        if (n == 100) {
            // The process's wall time counts the tasks' one-at-a-time adding (each input opened and
            // probed) and the library loading; the run's own is Start to the final notice.
            std::vector<double> process[2], run[2];
            bool ok = true;
            // Runs of a third of a second vary with the scheduling: at least seven of each.
            for (int r = 0; r < std::max(runs, 7) && ok; ++r)
                for (int side = 0; side < 2 && ok; ++side) {
                    fs::remove(outDir / kRunSecondsFile);
                    const TSample s = Spawn(OursArgs(self, mp3, list, outDir, side ? 2 : 1));
                    double seconds = 0;
                    std::ifstream(outDir / kRunSecondsFile) >> seconds;
                    ok = s.Ok && seconds > 0;
                    process[side].push_back(s.Wall);
                    run[side].push_back(seconds);
                }
            auto speedUp = [](const std::vector<double>* AWall) {
                return Median(AWall[1]) > 0 ? Median(AWall[0]) / Median(AWall[1]) : 0.0;
            };
            if (!ok) {
                std::fprintf(stderr, "Start(1) against Start(2) failed\n");
                ++failed;
            } else {
                std::printf("Start(2) speed-up over Start(1) on %u cores (100 files, wall): run "
                            "%.2fx (goal >= 1.8 on a quiet machine), whole process %.2fx\n",
                            std::thread::hardware_concurrency(), speedUp(run), speedUp(process));
                std::printf("%-38s run    Start(1) %-22s Start(2) %s\n", "", Spread(run[0]).c_str(),
                            Spread(run[1]).c_str());
            }
        }
    }

    if (!program.empty() && wanted("batch mode") &&
        !BatchModeCase(program, ffmpeg, work, out, batchModeFiles, runs))
        ++failed;
    return failed ? 1 : 0;
}
