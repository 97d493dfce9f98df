// Bounded mutation run over generated media. The parent makes small seed files of every kind the
// program converts, mutates them (byte flips, truncations, zeroed and repeated chunks) and hands
// each mutant to a child process of this program, which probes and converts it. A child that
// crashes (or reports a sanitizer error), runs past the time limit, or finishes a conversion whose
// output holds no audio is a failure; the mutant is kept in <work>/failures.
//
//   qac_mutation_run [--mutants N] [--seconds S] [--seed X] [--jobs J] [--timeout S] --work DIR
//   qac_mutation_run --one INPUT OUTPUT     (the child)
//
// Exit status 0 when no mutant failed, 1 otherwise, 2 for a usage or set-up error.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Dispatcher.h"
#include "FFDecode.h"
#include "FFLoad.h"
#include "FFLog.h"
#include "FFmpeg.h"
#include "TestMedia.h"

extern char** environ;

// Read by LeakSanitizer at start (parent and children): leaks inside third-party codec libraries
// on their own error paths are theirs, not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libvorbisenc.so\nleak:libvorbis.so\nleak:libmp3lame.so\nleak:libopus.so\n";
}

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kNoAudioExit = 3;  // child: a conversion finished without audio in its output

// ---- child -------------------------------------------------------------------------------

int ProbeAndConvert(const std::string& AInput, const std::string& AOutput) {
    SetMainThread();
    TheLogger()->SetTriggerEventInMainThread(false);
    TheLogger()->SetLogLevel(llQuiet);
    if (!GlobalFFLoader.Load(EncoderLibraries)) {
        std::cerr << GlobalFFLoader.LastErrMsg() << "\n";
        return 2;
    }
    {
        TFFDecoder probe;
        if (probe.LoadFile(AInput)) (void)probe.AudioStreamCount();
    }
    bool finished = false;
    {
        TCustomFFmpeg ff;
        ff.SetReadTimeout(5000);
        try {
            if (ff.OpenInput(AInput)) ff.SetExtOption("vn", "1");  // as the program converts
            if (ff.nb_input_files() > 0 && ff.OpenOutput(AOutput, false) >= 0) {
                ff.Transcode();
                finished = ff.Finished();
            }
        } catch (const std::exception&) {
        }
        ff.CloseCodecs();
        try {
            ff.CloseFiles();
        } catch (const std::exception&) {
            finished = false;
        }
    }
    if (!finished) return 0;
    try {
        return testmedia::DecodeAudio(AOutput).frames() > 0 ? 0 : kNoAudioExit;
    } catch (const std::exception&) {
        return kNoAudioExit;
    }
}

// ---- mutation ----------------------------------------------------------------------------

using TBytes = std::string;

TBytes Read(const fs::path& AFile) {
    std::ifstream f(AFile, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(f), {});
}

void Write(const fs::path& AFile, const TBytes& ABytes) {
    std::ofstream(AFile, std::ios::binary | std::ios::trunc) << ABytes;
}

// One to three of: flipped bytes, a truncation, a zeroed chunk, a repeated chunk.
TBytes Mutate(TBytes ABytes, std::mt19937& ARng) {
    auto pick = [&ARng](size_t AFrom, size_t ATo) {
        return std::uniform_int_distribution<size_t>(AFrom, ATo)(ARng);
    };
    for (size_t steps = pick(1, 3); steps > 0 && !ABytes.empty(); --steps) {
        const size_t at = pick(0, ABytes.size() - 1);
        const size_t len = std::min(pick(1, 4096), ABytes.size() - at);
        switch (pick(0, 3)) {
            case 0:
                for (size_t n = pick(1, 16); n > 0; --n)
                    ABytes[pick(0, ABytes.size() - 1)] ^= static_cast<char>(1 << pick(0, 7));
                break;
            case 1: ABytes.resize(at); break;
            case 2: std::fill_n(ABytes.begin() + at, len, '\0'); break;
            default: ABytes.insert(at, ABytes.substr(at, len), 0, std::string::npos); break;
        }
    }
    return ABytes;
}

std::vector<fs::path> MakeSeeds(const fs::path& ADir) {
    fs::create_directories(ADir);
    std::vector<fs::path> seeds;
    testmedia::ToneShape s;
    s.seconds = 0.3;
    s.sampleRate = 48000;  // a rate every seed's encoder takes (Opus)
    for (const char* name : {"s.wav", "s.mp3", "s.flac", "s.ogg", "s.m4a", "s.opus", "s.mka"})
        seeds.push_back(testmedia::MakeTone(ADir, name, s));
    s.channels = 6;
    seeds.push_back(testmedia::MakeTone(ADir, "six.wav", s));
    seeds.push_back(testmedia::MakeTaggedWithChapters(ADir, ".mp3"));
    seeds.push_back(testmedia::MakeTaggedWithChapters(ADir, ".mka"));
    seeds.push_back(testmedia::MakeTaggedWithCover(ADir));
    seeds.push_back(testmedia::MakeVideoWithAudio(ADir));
    return seeds;
}

// ---- children ----------------------------------------------------------------------------

struct TChild {
    pid_t Pid = -1;
    Clock::time_point Started;
    fs::path Mutant, Output;
};

pid_t Spawn(const std::string& ASelf, const fs::path& AMutant, const fs::path& AOutput) {
    std::vector<std::string> args = {ASelf, "--one", AMutant.string(), AOutput.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, ASelf.c_str(), nullptr, nullptr, argv.data(), environ) == 0 ? pid
                                                                                        : -1;
}

// The verdict of an ended child, empty when it passed.
std::string Verdict(int AStatus) {
    if (WIFEXITED(AStatus)) {
        if (WEXITSTATUS(AStatus) == 0) return "";
        if (WEXITSTATUS(AStatus) == kNoAudioExit) return "success without audio";
        return "exit status " + std::to_string(WEXITSTATUS(AStatus)) + " (crash or sanitizer report)";
    }
    if (WIFSIGNALED(AStatus)) return std::string("signal ") + strsignal(WTERMSIG(AStatus));
    return "unknown status";
}

struct TOptions {
    long Mutants = 300;
    long Seconds = 0;  // 0: no wall-time bound
    unsigned Seed = 1;
    int Jobs = 2;
    int Timeout = 60;  // seconds per mutant (sanitizer builds are slow)
    fs::path Work;
};

bool ParseOptions(int argc, char** argv, TOptions& AOptions) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--mutants") AOptions.Mutants = std::stol(v);
        else if (k == "--seconds") AOptions.Seconds = std::stol(v);
        else if (k == "--seed") AOptions.Seed = static_cast<unsigned>(std::stoul(v));
        else if (k == "--jobs") AOptions.Jobs = std::max(1, std::stoi(v));
        else if (k == "--timeout") AOptions.Timeout = std::stoi(v);
        else if (k == "--work") AOptions.Work = v;
        else return false;
    }
    return !AOptions.Work.empty() && argc % 2 == 1;
}

int Run(const TOptions& AOptions) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const fs::path mutants = AOptions.Work / "mutants", failures = AOptions.Work / "failures";
    fs::create_directories(mutants);
    fs::create_directories(failures);
    std::vector<TBytes> seeds;
    std::vector<std::string> extensions;
    for (const fs::path& p : MakeSeeds(AOptions.Work / "seeds")) {
        seeds.push_back(Read(p));
        extensions.push_back(p.extension().string());
    }
    const char* outputs[] = {".wav", ".mp3", ".flac", ".ogg", ".m4a"};
    std::mt19937 rng(AOptions.Seed);
    const auto start = Clock::now();
    std::vector<TChild> running;
    long made = 0, done = 0, failed = 0;
    auto outOfTime = [&] {
        return AOptions.Seconds > 0 && Clock::now() - start > std::chrono::seconds(AOptions.Seconds);
    };
    while ((made < AOptions.Mutants && !outOfTime()) || !running.empty()) {
        while (int(running.size()) < AOptions.Jobs && made < AOptions.Mutants && !outOfTime()) {
            const size_t s = rng() % seeds.size();
            const fs::path mutant = mutants / ("m" + std::to_string(made) + extensions[s]);
            Write(mutant, Mutate(seeds[s], rng));
            const fs::path out = mutants / ("m" + std::to_string(made) + "-out" + outputs[made % 5]);
            const pid_t pid = Spawn(self, mutant, out);
            if (pid < 0) {
                std::cerr << "cannot start a child\n";
                return 2;
            }
            running.push_back({pid, Clock::now(), mutant, out});
            ++made;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (auto it = running.begin(); it != running.end();) {
            int status = 0;
            std::string verdict;
            const pid_t r = waitpid(it->Pid, &status, WNOHANG);
            if (r == 0 && Clock::now() - it->Started > std::chrono::seconds(AOptions.Timeout)) {
                kill(it->Pid, SIGKILL);
                waitpid(it->Pid, &status, 0);
                verdict = "hang (over " + std::to_string(AOptions.Timeout) + " s)";
            } else if (r == 0) {
                ++it;
                continue;
            } else {
                verdict = Verdict(status);
            }
            ++done;
            if (!verdict.empty()) {
                ++failed;
                fs::copy_file(it->Mutant, failures / it->Mutant.filename(),
                              fs::copy_options::overwrite_existing);
                std::cout << "FAIL " << it->Mutant.filename().string() << ": " << verdict
                          << std::endl;
            }
            // The mutant, its output and a working file a killed child left beside it.
            fs::remove(it->Mutant);
            for (const auto& e : fs::directory_iterator(mutants))
                if (e.path().filename().string().find(it->Output.filename().string()) !=
                    std::string::npos)
                    fs::remove(e.path());
            it = running.erase(it);
        }
    }
    std::cout << done << " mutants, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--one") return ProbeAndConvert(argv[2], argv[3]);
    TOptions options;
    try {
        if (!ParseOptions(argc, argv, options)) {
            std::cerr << "usage: qac_mutation_run [--mutants N] [--seconds S] [--seed X] "
                         "[--jobs J] [--timeout S] --work DIR\n";
            return 2;
        }
        return Run(options);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 2;
    }
}
