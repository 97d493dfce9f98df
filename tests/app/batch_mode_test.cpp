// The command line: the parser, and the real program in its batch mode, run as a process with no
// display on media made here; outputs are decoded back.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <map>
#include <set>
#include <fstream>
#include <sstream>
#include <thread>

#include "CommandLine.h"
#include "TestMedia.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testmedia::DecodeAudio;
using testmedia::MakeTone;
using testmedia::ToneShape;

namespace {

ToneShape Tone(double ASeconds, double AFrequency = 440, int ARate = 44100) {
    ToneShape t;
    t.seconds = ASeconds;
    t.frequency = AFrequency;
    t.sampleRate = ARate;
    return t;
}

std::string ReadText(const fs::path& AFile) {
    std::ifstream in(AFile, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The program as a child process in a home of its own, without any display.
class TProgram {
public:
    TProgram(const fs::path& AHome, const std::vector<std::string>& AArgs) : FOut(AHome / "stdout.txt"), FErr(AHome / "stderr.txt") {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            for (const char* drop : {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "HOME=", "XDG_CONFIG_HOME=",
                                     "XDG_DOCUMENTS_DIR="})
                if (v.rfind(drop, 0) == 0) goto skip;
            env.push_back(v);
        skip:;
        }
        env.push_back("HOME=" + AHome.string());
        env.push_back("XDG_CONFIG_HOME=" + (AHome / "config").string());
        std::vector<std::string> args{QAC_PROGRAM};
        args.insert(args.end(), AArgs.begin(), AArgs.end());
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, FOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, FErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) FPid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TProgram() {
        if (FPid > 0 && !FWaited) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
    }
    // The exit status (128 + signal when killed); -1 when it did not start.
    int Wait() {
        if (FPid <= 0) return -1;
        int status = 0;
        waitpid(FPid, &status, 0);
        FWaited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void Signal(int ASignal) const { kill(FPid, ASignal); }
    std::string Out() const { return ReadText(FOut); }
    std::string Err() const { return ReadText(FErr); }

private:
    fs::path FOut, FErr;
    pid_t FPid = -1;
    bool FWaited = false;
};

struct TResult {
    int Status;
    std::string Out, Err;
};

class BatchMode : public ::testing::Test {
protected:
    testmedia::ScopedTempDir Dir{"batch"};
    fs::path Home() const { return Dir / "home"; }
    fs::path OutDir() const { return Dir / "out"; }
    void SetUp() override { fs::create_directories(Home()); }

    TResult Run(std::vector<std::string> AArgs) {
        TProgram p(Home(), AArgs);
        const int status = p.Wait();
        return {status, p.Out(), p.Err()};
    }
    // Lines of standard output as JSON objects; a line that is not one fails the test.
    static std::vector<QJsonObject> JsonLines(const std::string& AOut) {
        std::vector<QJsonObject> events;
        std::istringstream in(AOut);
        for (std::string line; std::getline(in, line);) {
            QJsonParseError error;
            const QJsonDocument d = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
            EXPECT_TRUE(d.isObject()) << "not a JSON object: " << line;
            if (d.isObject()) events.push_back(d.object());
        }
        return events;
    }
    // Every file below AFolder, as paths relative to it.
    static std::set<std::string> Files(const fs::path& AFolder) {
        std::set<std::string> names;
        if (!fs::exists(AFolder)) return names;
        for (const auto& e : fs::recursive_directory_iterator(AFolder))
            if (e.is_regular_file()) names.insert(fs::relative(e.path(), AFolder).string());
        return names;
    }
};

}  // namespace

TEST(CommandLine, ParsesOptionsAndRefusesBadOnesWithAOneLineMessage) {
    const TCommandLine w = ParseCommandLine({"a.mp3", "folder"});
    EXPECT_EQ(w.Mode, TCommandLine::cmWindow);
    EXPECT_EQ(w.Inputs, (std::vector<std::string>{"a.mp3", "folder"}));
    EXPECT_EQ(ParseCommandLine({"--", "-odd.mp3"}).Inputs, std::vector<std::string>{"-odd.mp3"});

    const TCommandLine c = ParseCommandLine({"--convert", "--profile=FLAC", "--jobs", "3", "--volume", "50",
                                             "--loudness", "replaygain", "--trim", "1:00-1:30.5", "x.wav"});
    EXPECT_EQ(c.Mode, TCommandLine::cmConvert);
    EXPECT_EQ(c.Profile.value_or(""), "FLAC");
    EXPECT_EQ(c.Jobs, 3);
    EXPECT_EQ(c.Volume.value_or(0), 50);
    EXPECT_EQ(c.Loudness.value_or(-1), 4);
    ASSERT_TRUE(c.Trim);
    EXPECT_EQ(c.Trim->first, 60'000'000);
    EXPECT_EQ(c.Trim->second, 90'500'000);
    EXPECT_EQ(ParseCommandLine({"--convert", "--trim", "5-", "x"}).Trim->second, INT64_MAX);
    EXPECT_EQ(ParseCommandLine({"--list-profiles"}).Mode, TCommandLine::cmListProfiles);
    EXPECT_EQ(ParseCommandLine({"--convert", "--help"}).Mode, TCommandLine::cmHelp);

    const struct {
        std::vector<std::string> Args;
        const char* Says;
    } refused[] = {
        {{"--convert"}, "no input files"},
        {{"--convert", "--bogus", "x"}, "unknown option '--bogus'"},
        {{"--convert", "x", "--output"}, "'--output' needs a value"},
        {{"--convert", "--jobs", "0", "x"}, "invalid value '0' for --jobs"},
        {{"--convert", "--loudness", "-20", "x"}, "allowed: off, -14, -16, -23, replaygain"},
        {{"--convert", "--trim", "0:30-0:10", "x"}, "END after START"},
        {{"--convert", "--trim", "0:10-0:30", "x", "y"}, "exactly one input"},
        {{"--convert", "--merge=yes", "x"}, "takes no value"},
        {{"--verbose", "x"}, "unknown option '--verbose'"},
    };
    for (const auto& r : refused) {
        try {
            ParseCommandLine(r.Args);
            ADD_FAILURE() << "accepted: " << r.Args.back();
        } catch (const EUsageError& e) {
            EXPECT_NE(std::string(e.what()).find(r.Says), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
    }
}

TEST(CommandLine, TimesTakeHoursMinutesSecondsAndFractions) {
    const struct {
        const char* Text;
        int64_t Us;
    } cases[] = {{"0", 0},           {"12.5", 12'500'000},  {"1:02", 62'000'000}, {"01:02:03.25", 3'723'250'000},
                 {"1:60", -1},       {"1.5:00", -1},        {"", -1},             {"a", -1},
                 {"1:2:3:4", -1},    {"-1", -1},            {"1..2", -1}};
    for (const auto& c : cases) EXPECT_EQ(ParseTimeText(c.Text), c.Us) << c.Text;
}

TEST_F(BatchMode, AFolderTreeConvertsWithoutADisplayABadFileFailsTheRunAloneAndStaleWorkingFilesGo) {
    const fs::path in = Dir / "music";
    fs::create_directories(in / "a" / "b");
    MakeTone(in / "a", "one.wav", Tone(1.0));
    MakeTone(in / "a" / "b", "two.flac", Tone(0.5, 880, 48000));
    testmedia::MakeTextWithMediaExtension(in);  // notes.mp3: refused
    std::ofstream(in / "readme.txt") << "not a media name";

    const TResult r = Run({"--convert", "--profile", "mp3", "--bitrate", "128k", "--rate", "44100", "--output",
                           OutDir().string(), in.string()});
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("notes.mp3 is not a valid media file"), std::string::npos) << r.Err;
    EXPECT_EQ(Files(OutDir()), (std::set<std::string>{"one.mp3", "two.mp3"}));
    const auto one = DecodeAudio(OutDir() / "one.mp3");
    const auto two = DecodeAudio(OutDir() / "two.mp3");
    EXPECT_EQ(one.codecName, "mp3");
    EXPECT_EQ(two.sampleRate, 44100);
    EXPECT_NEAR(two.seconds(), 0.5, 0.03);
    EXPECT_NEAR(testmedia::DominantFrequency(two), 880, 2);

    // Everything converts: status 0; a second run over the same folder into another one too.
    // A working file a killed run left there goes; one of a process that runs stays.
    fs::remove(in / "notes.mp3");
    long pidMax = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
    const std::string stale = ".qac-" + std::to_string(pidMax) + "-3.part";
    const std::string live = ".qac-" + std::to_string(getpid()) + "-3.part";
    fs::create_directories(Dir / "out2");
    for (const std::string& name : {stale, live}) std::ofstream(Dir / "out2" / name) << "x";
    EXPECT_EQ(Run({"--convert", "--quiet", "--output", (Dir / "out2").string(), in.string()}).Status, 0);
    EXPECT_EQ(Files(Dir / "out2"), (std::set<std::string>{"one.mp3", "two.mp3", live}));
}

TEST_F(BatchMode, UsageErrorsExitWithTwoAndHelpAndVersionWithZero) {
    const fs::path wav = MakeTone(Dir.path(), "t.wav", Tone(0.2));
    const struct {
        std::vector<std::string> Args;
        int Status;
        const char* Says;  // in standard error, or standard output for 0
    } cases[] = {
        {{"--convert", "--profile", "Nope", wav.string()}, 2, "allowed: MP3, AAC (M4A)"},
        {{"--convert", "--profile", "MP3", "--bitrate", "100", wav.string()}, 2, "allowed: 64000, 96000"},
        {{"--convert", "--channels", "7", wav.string()}, 2, "invalid value '7' for --channels"},
        {{"--convert", "--frobnicate", wav.string()}, 2, "Try 'quendral-audio-converter --help'"},
        {{"--convert"}, 2, "no input files"},
        {{"--help"}, 0, "--dry-run"},
        {{"--version"}, 0, "quendral-audio-converter "},
        {{"--list-profiles"}, 0, "FLAC "},
        {{"--convert", "--output", OutDir().string(), (Dir / "missing.wav").string()}, 1, "missing.wav: No such file"},
    };
    for (const auto& c : cases) {
        const TResult r = Run(c.Args);
        EXPECT_EQ(r.Status, c.Status) << c.Args.front() << " " << c.Args.back() << "\n" << r.Err;
        EXPECT_NE((c.Status == 0 ? r.Out : r.Err).find(c.Says), std::string::npos) << r.Out << r.Err;
    }
    EXPECT_FALSE(fs::exists(OutDir() / "t.mp3"));
}

TEST_F(BatchMode, JsonEventsTrimMergeAndDryRun) {
    const fs::path a = MakeTone(Dir.path(), "a.wav", Tone(3.0));
    const fs::path b = MakeTone(Dir.path(), "b.wav", Tone(1.0));
    const fs::path bad = testmedia::MakeTextWithMediaExtension(Dir.path());

    // A dry run writes nothing and says where each file would go, and why one is refused.
    const TResult dry = Run({"--convert", "--dry-run", "--profile", "FLAC", "--output", OutDir().string(),
                             a.string(), bad.string()});
    EXPECT_EQ(dry.Status, 1);
    EXPECT_NE(dry.Out.find(a.string() + " -> " + (OutDir() / "a.flac").string()), std::string::npos) << dry.Out;
    EXPECT_NE(dry.Out.find("refused: " + bad.string()), std::string::npos) << dry.Out;
    EXPECT_FALSE(fs::exists(OutDir()));

    const TResult r = Run({"--convert", "--json", "--profile", "FLAC", "--output", OutDir().string(), a.string(),
                           b.string(), bad.string()});
    EXPECT_EQ(r.Status, 1) << r.Err;
    std::map<std::string, int> kinds;
    for (const QJsonObject& e : JsonLines(r.Out)) {
        ++kinds[e["event"].toString().toStdString()];
        if (e["event"] == "finished") {
            const fs::path out = e["output"].toString().toStdString();
            EXPECT_EQ(e["size"].toInteger(), static_cast<qint64>(fs::file_size(out)));
            EXPECT_NEAR(e["duration"].toDouble(), out.stem() == "a" ? 3.0 : 1.0, 0.01);
        }
        if (e["event"] == "failed") {
            EXPECT_NE(e["message"].toString().indexOf("notes.mp3"), -1);
        }
    }
    EXPECT_EQ(kinds["started"], 2);
    EXPECT_EQ(kinds["finished"], 2);
    EXPECT_EQ(kinds["failed"], 1);
    EXPECT_EQ(kinds["done"], 1);

    ASSERT_EQ(Run({"--convert", "-q", "--profile", "WAV", "--trim", "0.5-2.25", "--output", (Dir / "trim").string(),
                   a.string()}).Status, 0);
    EXPECT_EQ(DecodeAudio(Dir / "trim" / "a.wav").frames(), 77175u);  // 1.75 s at 44.1 kHz

    ASSERT_EQ(Run({"--convert", "-q", "--profile", "WAV", "--merge", "--output", (Dir / "merge").string(), a.string(),
                   b.string()}).Status, 0);
    EXPECT_EQ(Files(Dir / "merge"), std::set<std::string>{"Joined.wav"});
    EXPECT_EQ(DecodeAudio(Dir / "merge" / "Joined.wav").frames(), 4u * 44100);
}

TEST_F(BatchMode, AnInterruptEndsTheRunWith130AndLeavesNoHalfWrittenFile) {
    std::vector<std::string> args{"--convert", "--json", "--jobs", "1", "--profile", "FLAC", "--output",
                                  OutDir().string()};
    for (int i = 0; i < 6; ++i)
        args.push_back(MakeTone(Dir.path(), "long" + std::to_string(i) + ".wav", Tone(90)).string());
    TProgram p(Home(), args);
    // Interrupted once the second job has started.
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < until && p.Out().find("\"job\":2") == std::string::npos)
        std::this_thread::sleep_for(20ms);
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 130) << p.Err();
    const std::set<std::string> left = Files(OutDir());
    EXPECT_GE(left.size(), 1u);
    EXPECT_LT(left.size(), 6u);
    for (const std::string& f : left) {
        EXPECT_NE(f[0], '.') << "working file left: " << f;
        EXPECT_EQ(DecodeAudio(OutDir() / f).frames(), 90u * 44100) << f;  // only whole outputs stay
    }
}

TEST_F(BatchMode, PatternsNameFromTagsAndFoldersAndAnExistingOutputFollowsThePolicy) {
    const fs::path in = Dir / "in";
    fs::create_directories(in / "a" / "b");
    ToneShape tagged = Tone(0.3);
    tagged.tags = {{"artist", "AC/DC"}, {"album", "../Live"}, {"title", "Who? Me: 東京"}, {"track", "3"}};
    const fs::path t1 = MakeTone(in / "a", "t1.flac", tagged);
    const fs::path t2 = MakeTone(in / "a" / "b", "t2.flac", tagged);  // the same tags: one name for two jobs
    const std::vector<std::string> wav{"--convert", "--profile", "WAV"};
    auto run = [&](const fs::path& AOut, std::vector<std::string> AExtra) {
        std::vector<std::string> args = wav;
        args.insert(args.end(), AExtra.begin(), AExtra.end());
        args.insert(args.end(), {"--output", AOut.string(), in.string()});
        return Run(args);
    };

    // Tags make folders, hostile characters are cleaned, the second job onto one name is numbered.
    ASSERT_EQ(run(Dir / "tags", {"--pattern", "{artist}/{album}/{track:02} {title}"}).Status, 0);
    EXPECT_EQ(Files(Dir / "tags"),
              (std::set<std::string>{"AC_DC/.._Live/03 Who_ Me_ 東京.wav", "AC_DC/.._Live/03 Who_ Me_ 東京 (2).wav"}));
    // The folder tree below the added folder, by option or placeholder; the default names as before.
    ASSERT_EQ(run(Dir / "tree", {"--keep-folders"}).Status, 0);
    EXPECT_EQ(Files(Dir / "tree"), (std::set<std::string>{"a/t1.wav", "a/b/t2.wav"}));
    ASSERT_EQ(run(Dir / "rel", {"--pattern", "{relpath}/{name}-{ext}"}).Status, 0);
    EXPECT_EQ(Files(Dir / "rel"), (std::set<std::string>{"a/t1-wav.wav", "a/b/t2-wav.wav"}));

    // An existing output: skipped by default (a note, status 0, the file untouched), numbered past
    // under rename, written over under overwrite.
    const fs::path flat = Dir / "flat";
    fs::create_directories(flat);
    std::ofstream(flat / "t1.wav") << "an older file";
    const TResult skip = run(flat, {});
    EXPECT_EQ(skip.Status, 0) << skip.Err;
    EXPECT_NE(skip.Err.find("skipped " + t1.string()), std::string::npos) << skip.Err;
    EXPECT_EQ(ReadText(flat / "t1.wav"), "an older file");
    EXPECT_EQ(Files(flat), (std::set<std::string>{"t1.wav", "t2.wav"}));
    ASSERT_EQ(run(flat, {"--existing", "rename"}).Status, 0);
    EXPECT_EQ(Files(flat), (std::set<std::string>{"t1.wav", "t2.wav", "t1 (2).wav", "t2 (2).wav"}));
    EXPECT_EQ(ReadText(flat / "t1.wav"), "an older file");
    ASSERT_EQ(run(flat, {"--existing", "overwrite"}).Status, 0);
    EXPECT_EQ(DecodeAudio(flat / "t1.wav").frames(), static_cast<size_t>(0.3 * 44100));
    EXPECT_EQ(Files(flat).size(), 4u);
    EXPECT_EQ(Run({"--convert", "--existing", "ask", t1.string()}).Status, 2);
    EXPECT_EQ(Run({"--convert", "--pattern", "{nope}", t1.string()}).Status, 2);
}

TEST_F(BatchMode, VerifyChecksEveryOutputAndItsFinishedEventSaysHow) {
    EXPECT_TRUE(ParseCommandLine({"--convert", "--verify", "x"}).Verify);
    EXPECT_FALSE(ParseCommandLine({"--convert", "x"}).Verify);
    const fs::path a = MakeTone(Dir.path(), "a.wav", Tone(1.0));
    const struct {
        const char* Profile;
        bool Verify;
        QJsonValue Verified;
    } rows[] = {{"FLAC", true, "bit-exact"}, {"MP3", true, "length"}, {"WAV", false, false}};
    for (const auto& row : rows) {
        std::vector<std::string> args{"--convert", "--json", "--existing", "overwrite", "--profile", row.Profile,
                                      "--output", OutDir().string(), "--log", (Dir / "events.log").string()};
        if (row.Verify) args.push_back("--verify");
        args.push_back(a.string());
        const TResult r = Run(args);
        EXPECT_EQ(r.Status, 0) << row.Profile << ": " << r.Err;
        int finished = 0;
        for (const QJsonObject& e : JsonLines(r.Out))
            if (e["event"] == "finished") {
                ++finished;
                EXPECT_EQ(e["verified"], row.Verified) << row.Profile;
            }
        EXPECT_EQ(finished, 1) << row.Profile;
    }
    const std::string log = ReadText(Dir / "events.log");
    EXPECT_NE(log.find("job 1 (\"a.wav\"): verified bit-exact"), std::string::npos) << log;
    EXPECT_NE(log.find("job 1 (\"a.wav\"): verified length"), std::string::npos) << log;
}
