// The player with real FFmpeg, real SDL2 copies and SDL's disk audio driver: every capture is
// what would have been heard, decoded and compared with the source.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "Dispatcher.h"
#include "FFAPI.h"
#include "FFLoad.h"
#include "FFPlay.h"
#include "FFUtils.h"
#include "Platform.h"
#include "SilentServer.h"
#include "TestMedia.h"
#include "MediaWriter.h"
#include "libsdl.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testmedia::ScopedTempDir;

namespace {

constexpr const char* kSystemSDL = QAC_SYSTEM_SDL;

struct PlayerTest : ::testing::Test {
    static inline ScopedTempDir* Dir = nullptr;
    static void SetUpTestSuite() {
        Dir = new ScopedTempDir("player");
        // The copies go to a private folder of this run; the disk driver plays in real time.
        setenv("XDG_RUNTIME_DIR", (Dir->path()).c_str(), 1);
        setenv("SDL_AUDIODRIVER", "disk", 1);
    }
    static void TearDownTestSuite() {
        delete Dir;
        Dir = nullptr;
    }
    void SetUp() override {
        SetMainThread();
        Logger.SetOnLog([this](TSender, uint32_t, TLogLevel, const std::string& m) { Logged.push_back(m); });
    }
    bool LoggedText(const std::string& AText) const {
        return std::find(Logged.begin(), Logged.end(), AText) != Logged.end();
    }

    // A player with the media libraries and its own SDL copy AIndex loaded, recording its states.
    std::unique_ptr<TFFPlayer> NewPlayer(int AIndex, std::vector<TPlayState>* AStates = nullptr) {
        auto p = std::make_unique<TFFPlayer>();
        std::string error;
        const fs::path copy = PrepareSDLCopy(kSystemSDL, AIndex, error);
        EXPECT_FALSE(copy.empty()) << error;
        EXPECT_TRUE(p->LoadAVLib("")) << p->LastErrMsg();
        EXPECT_TRUE(p->LoadSDLLib(copy.parent_path().string(), copy.filename().string()))
            << p->LastErrMsg();
        auto* states = AStates ? AStates : &States;
        p->SetOnState([states](TCustomPlayer*, TPlayState s) { states->push_back(s); });
        return p;
    }
    // The disk driver's capture file of the next device opened.
    static fs::path CaptureTo(const std::string& AName) {
        const fs::path file = Dir->path() / (AName + ".raw");
        setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
        return file;
    }
    static bool Ended(const std::vector<TPlayState>& AStates) {
        return std::find(AStates.begin(), AStates.end(), psEnd) != AStates.end();
    }
    // Plays AFile to its end (ADuring runs once it plays) and answers the capture.
    std::vector<int16_t> PlayToEnd(TFFPlayer& APlayer, const fs::path& AFile,
                                   const std::function<void()>& ADuring = {}) {
        const fs::path capture = CaptureTo(AFile.stem().string() + std::to_string(++Runs));
        States.clear();
        EXPECT_TRUE(APlayer.Open(AFile.string())) << APlayer.LastErrMsg();
        if (ADuring) ADuring();
        EXPECT_TRUE(WaitPumping([&] { return Ended(States); }, 5ms, 30s));
        APlayer.Stop(true);
        return testmedia::ReadCapture(capture);
    }
    static void Pump(std::chrono::milliseconds ATime) {
        const auto until = std::chrono::steady_clock::now() + ATime;
        WaitPumping([&] { return std::chrono::steady_clock::now() >= until; }, 5ms);
    }
    // The file's stereo samples without their leading and trailing silent frames.
    static std::vector<int16_t> SourceSamples(const fs::path& AFile) {
        return testmedia::WithoutSilence(testmedia::ToInt16(testmedia::DecodeAudio(AFile).samples), 2,
                                         1 << 30);
    }
    static testmedia::DecodedAudio AsAudio(const std::vector<int16_t>& ASamples, int ARate) {
        testmedia::DecodedAudio a;
        a.sampleRate = ARate;
        a.channels = 2;
        for (int16_t s : ASamples) a.samples.push_back(s / 32768.0f);
        return a;
    }

    // Where the 64 stereo frames of AHeard from frame AAt on lie in ASource, within 64 frames of
    // ANear; -1 when nowhere there.
    static long FindInSource(const std::vector<int16_t>& AHeard, size_t AAt,
                             const std::vector<int16_t>& ASource, long ANear) {
        constexpr long kRun = 64, kWindow = 64;
        if ((AAt + kRun) * 2 > AHeard.size()) return -1;
        for (long d = 0; d <= kWindow; ++d)
            for (long o : {ANear - d, ANear + d})
                if (o >= 0 && size_t(o + kRun) * 2 <= ASource.size() &&
                    std::equal(AHeard.begin() + long(AAt) * 2, AHeard.begin() + long(AAt + kRun) * 2,
                               ASource.begin() + o * 2))
                    return o;
        return -1;
    }
    static constexpr long kRampFrames = 224;  // a 5 ms fade at 44.1 kHz, and a little
    // What was heard (a stereo capture) is the source played on from where it was after each
    // pause: every sounding stretch (parted by 16 or more silent frames) continues the source,
    // equal to it apart from the fades at its ends (never louder than the source there). Nothing
    // is lost or repeated beyond the few frames a fade rounds to silence. AToEnd: to its end.
    static void ExpectHeard(const std::vector<int16_t>& AHeard, const std::vector<int16_t>& ASource,
                            bool AToEnd = true) {
        constexpr long kSlack = 8;
        const size_t frames = AHeard.size() / 2;
        auto silent = [&](size_t f) { return AHeard[2 * f] == 0 && AHeard[2 * f + 1] == 0; };
        long expected = 0;  // source frame where the next stretch begins
        int stretches = 0;
        for (size_t f = 0; f < frames;) {
            while (f < frames && silent(f)) ++f;
            if (f == frames) break;
            size_t end = f, quiet = 0;
            for (size_t g = f; g < frames && quiet < 16; ++g) {
                quiet = silent(g) ? quiet + 1 : 0;
                if (!quiet) end = g + 1;
            }
            ++stretches;
            const long o = FindInSource(AHeard, f + kRampFrames, ASource, expected + kRampFrames);
            if (o < 0) {
                ADD_FAILURE() << "the stretch at frame " << f << " does not continue the source at " << expected;
                return;
            }
            const long start = o - kRampFrames;  // the source frame of the stretch's first frame
            for (size_t g = f; g < end; ++g) {
                const long s = start + long(g - f);
                const bool ramp = g < f + kRampFrames || g + kRampFrames >= end;
                for (int c = 0; c < 2; ++c) {
                    const int h = AHeard[2 * g + c];
                    const int source = s >= 0 && size_t(s) * 2 < ASource.size() ? ASource[size_t(s) * 2 + c] : 0;
                    if (ramp ? std::abs(h) > std::abs(source) || h * source < 0 : h != source) {
                        ADD_FAILURE() << "frame " << g << " is " << h << ", source frame " << s << " " << source;
                        return;
                    }
                }
            }
            EXPECT_LE(std::abs(start - expected), kSlack) << "the stretch at frame " << f << " goes on from the one before";
            expected = start + long(end - f);
            f = end;
        }
        EXPECT_GT(stretches, 0) << "something was heard";
        if (AToEnd) {
            EXPECT_LE(std::abs(long(ASource.size() / 2) - expected), kSlack) << "heard to the end";
        }
    }

    TFFLogger Logger;
    std::vector<std::string> Logged;
    std::vector<TPlayState> States;
    int Runs = 0;
};

}  // namespace

TEST_F(PlayerTest, SDLCopiesArePrivateAndAForeignFileIsReplacedNeverLoaded) {
    std::string error;
    const fs::path copy = PrepareSDLCopy(kSystemSDL, 0, error);
    ASSERT_FALSE(copy.empty()) << error;
    EXPECT_EQ(copy, Dir->path() / "quendral" / "SDL_0.so");
    EXPECT_EQ(fs::file_size(copy), fs::file_size(kSystemSDL));
    struct stat st {};
    ASSERT_EQ(stat(copy.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Our own copy of the source as it is stays; another user's file or a link under the name is
    // replaced.
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    const ino_t inode = st.st_ino;
    ASSERT_EQ(PrepareSDLCopy(kSystemSDL, 0, error), copy);
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, inode);
    ASSERT_EQ(chown(copy.c_str(), 65534, 65534), 0);
    EXPECT_EQ(fs::file_size(PrepareSDLCopy(kSystemSDL, 0, error)), fs::file_size(kSystemSDL));
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    const fs::path planted = Dir->path() / "planted.so";
    fs::copy_file(kSystemSDL, planted);
    fs::remove(copy);
    fs::create_symlink(planted, copy);
    PrepareSDLCopy(kSystemSDL, 0, error);
    EXPECT_FALSE(fs::is_symlink(copy));

    // A folder others could write into is made private and emptied: what they left is gone.
    chmod(copy.parent_path().c_str(), 0777);
    const fs::path left = copy.parent_path() / "libasound.so.2";
    fs::copy_file(kSystemSDL, left);
    ASSERT_FALSE(PrepareSDLCopy(kSystemSDL, 1, error).empty()) << error;
    ASSERT_EQ(stat(copy.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(fs::exists(left));
    // Group and others may only have read it: made private, nothing removed.
    chmod(copy.parent_path().c_str(), 0755);
    EXPECT_EQ(PrepareSDLCopy(kSystemSDL, 1, error), copy.parent_path() / "SDL_1.so");
    ASSERT_EQ(stat(copy.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(PlayerTest, AnSDLCopyOfAnOlderSourceIsCopiedAgain) {
    const fs::path source = Dir->path() / "libSDL2-source.so";
    fs::copy_file(kSystemSDL, source, fs::copy_options::overwrite_existing);
    std::string error;
    const fs::path copy = PrepareSDLCopy(source, 3, error);
    ASSERT_FALSE(copy.empty()) << error;
    EXPECT_EQ(fs::last_write_time(copy), fs::last_write_time(source));
    // The source is upgraded: once of another size, once of the same size but newer.
    fs::resize_file(source, fs::file_size(source) + 100);
    EXPECT_EQ(fs::file_size(PrepareSDLCopy(source, 3, error)), fs::file_size(source));
    fs::last_write_time(source, fs::last_write_time(source) + std::chrono::hours(1));
    PrepareSDLCopy(source, 3, error);
    EXPECT_EQ(fs::last_write_time(copy), fs::last_write_time(source));
}

// Another user made the folder under our name: playback goes on from a fresh folder of our own;
// only when none can be made is it refused, and nothing is loaded by a bare name then.
TEST_F(PlayerTest, AForeignSDLCopyFolderGivesAFreshOneAndNoneAtAllLoadsNothing) {
    std::string error;
    const fs::path folder = Dir->path() / "quendral";
    ASSERT_TRUE(MakePrivateFolder(folder, error)) << error;
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    const fs::path fresh = PrepareSDLCopy(kSystemSDL, 4, error);
    ASSERT_FALSE(fresh.empty()) << error;
    EXPECT_NE(fresh.parent_path(), folder);
    EXPECT_EQ(fresh.parent_path().filename().string().rfind(UserFolderName("quendral") + "-", 0), 0u);
    struct stat st {};
    ASSERT_EQ(stat(fresh.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(PrepareSDLCopy(kSystemSDL, 5, error).parent_path(), fresh.parent_path()) << "one folder for all copies";
    TSDLLoader loader;
    EXPECT_TRUE(loader.Load(fresh.parent_path().string(), fresh.filename().string())) << loader.LastErrMsg();
    loader.Unload();
    ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
    EXPECT_EQ(SDLCopyFolder(error), folder) << "our own again";

    // A link in place of the folder, and no temporary folder to make a fresh one in.
    const fs::path runtime = Dir->path() / "runtime";
    fs::create_directories(runtime);
    fs::create_directory_symlink(Dir->path(), runtime / "quendral");
    const std::string savedTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("TMPDIR", (Dir->path() / "missing").c_str(), 1);
    error.clear();
    EXPECT_TRUE(SDLCopyFolder(error).empty());
    EXPECT_EQ(error, (runtime / "quendral").string() + " is not private");
    setenv("XDG_RUNTIME_DIR", Dir->path().c_str(), 1);
    if (savedTmp.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", savedTmp.c_str(), 1);

    // The loader takes absolute paths only: the system's search never picks a file.
    for (const std::string& path : {std::string(), std::string("relative")}) {
        EXPECT_FALSE(loader.Load(path, "libSDL2-2.0.so.0"));
        EXPECT_NE(loader.LastErrMsg().find("not an absolute path"), std::string::npos) << loader.LastErrMsg();
    }
}

// A library planted beside the copy under the name of one of SDL2's dependencies is not loaded.
TEST_F(PlayerTest, ALibraryBesideTheSDLCopyIsNeverLoadedWithIt) {
    std::string error;
    const fs::path copy = PrepareSDLCopy(kSystemSDL, 7, error);
    ASSERT_FALSE(copy.empty()) << error;
    const fs::path system = fs::path(kSystemSDL).parent_path() / "libXss.so.1";
    ASSERT_TRUE(fs::exists(system));
    const fs::path planted = copy.parent_path() / "libXss.so.1";
    fs::copy_file(system, planted, fs::copy_options::overwrite_existing);
    TSDLLoader loader;
    ASSERT_TRUE(loader.Load(copy.parent_path().string(), copy.filename().string())) << loader.LastErrMsg();
    std::ifstream maps("/proc/self/maps");
    std::string line;
    bool mapped = false;
    while (std::getline(maps, line)) mapped = mapped || line.find(planted.string()) != std::string::npos;
    EXPECT_FALSE(mapped);
    loader.Unload();
    fs::remove(planted);
}

TEST_F(PlayerTest, OneSDLFileServesOneLoaderOnly) {
    std::string error;
    const fs::path copy = PrepareSDLCopy(kSystemSDL, 0, error);
    const std::string folder = copy.parent_path().string();
    TSDLLoader a, b;
    ASSERT_TRUE(a.Load(folder, "SDL_0.so")) << a.LastErrMsg();
    EXPECT_TRUE(a.Load(folder, "SDL_0.so"));
    EXPECT_FALSE(b.Load(folder, "SDL_0.so"));
    EXPECT_EQ(b.LastErrMsg(), folder + "/SDL_0.so alreay loaded in another instance.");
    // A second name of the same file is the same instance.
    fs::create_hard_link(copy, copy.parent_path() / "SDL_9.so");
    EXPECT_FALSE(b.Load(folder, "SDL_9.so"));
    EXPECT_EQ(b.LastErrMsg(), folder + "/SDL_9.so alreay loaded in another instance.");
    EXPECT_FALSE(b.Load(folder, "SDL_missing.so"));
    EXPECT_EQ(b.LastErrMsg().rfind("Load library " + folder + "/SDL_missing.so error: ", 0), 0u);
    a.Unload();
    EXPECT_TRUE(b.Load(folder, "SDL_0.so")) << b.LastErrMsg();
}

TEST_F(PlayerTest, EachFailureToOpenReportsItsOwnMessage) {
    TFFPlayer p;
    EXPECT_FALSE(p.Open("any.wav"));
    EXPECT_EQ(p.LastErrMsg(), "libav not loaded.");
    ASSERT_TRUE(p.LoadAVLib(""));
    EXPECT_FALSE(p.Open("any.wav"));
    EXPECT_EQ(p.LastErrMsg(), "sdl not loaded.");

    auto player = NewPlayer(0);
    const fs::path missing = Dir->path() / "missing.wav";
    EXPECT_FALSE(player->Open(missing.string()));
    EXPECT_EQ(player->LastErrMsg(), MediaErrorText(missing.string(), AVERROR(ENOENT)));
    const fs::path subs = testmedia::MakeSubtitleOnly(Dir->path());
    EXPECT_FALSE(player->Open(subs.string()));
    EXPECT_EQ(player->LastErrMsg(), subs.string() + ": could not open codecs, no stream to play.");

    // A stalled network open ends by the time-out, or at once by Stop from a pumped handler.
    testmedia::SilentServer server;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port) + "/a.mp3";
    // Meanwhile the main thread takes the interrupt registry's lock (an open of its own): the
    // time-out's log line must not wait for the main thread under that lock.
    SetProcessMessagesHook([] {
        GlobalInterruptCB.Add(CurrentThreadID(), nullptr, nullptr);
        GlobalInterruptCB.Remove(CurrentThreadID(), nullptr, nullptr);
    });
    player->SetReadTimeout(300);
    EXPECT_FALSE(player->Open(url));
    SetProcessMessagesHook(nullptr);
    Pump(50ms);
    EXPECT_TRUE(LoggedText("connecting/reading timeout"));
    player->SetReadTimeout(0);
    const auto start = std::chrono::steady_clock::now();
    SetProcessMessagesHook([&] {
        if (std::chrono::steady_clock::now() - start > 200ms) player->Stop(false);
    });
    EXPECT_FALSE(player->Open(url));
    SetProcessMessagesHook(nullptr);
    Pump(50ms);
    EXPECT_TRUE(LoggedText("connecting/reading canceled"));
    EXPECT_TRUE(States.empty());
}

TEST_F(PlayerTest, CaptureIsTheFileAtEveryVolumeAndPausesLoseNothing) {
    testmedia::ToneShape shape;
    shape.seconds = 1.0;
    const fs::path wav = testmedia::MakeTone(Dir->path(), "tone.wav", shape);
    const std::vector<int16_t> source = SourceSamples(wav);
    auto player = NewPlayer(0);

    int64_t opened = -1;
    void* context = nullptr;
    player->SetOnFileOpen([&](TCustomPlayer*, int64_t ADuration, int AWidth, int AHeight, int&, int&) {
        opened = ADuration;
        EXPECT_EQ(AWidth, -1);
        EXPECT_EQ(AHeight, -1);
    });
    player->SetOnBeforeFindStreamInfo([&](TCustomPlayer*, void* AContext) { context = AContext; });
    std::vector<int16_t> heard = PlayToEnd(*player, wav, [&] {
        EXPECT_EQ(player->Decoder().AudioStreamCount(), 1) << "the probe describes the playing file";
    });
    ExpectHeard(heard, source);
    EXPECT_EQ(States.front(), psPlay);
    EXPECT_EQ(States.back(), psStop);
    EXPECT_EQ(opened, 1000000);
    EXPECT_NE(context, nullptr);
    EXPECT_EQ(player->Decoder().FileHandle(), nullptr);

    player->SetAudioVolume(64);  // mixed into a cleared buffer: exactly half
    std::vector<int16_t> half = source;
    for (auto& s : half) s = static_cast<int16_t>(s * 64 / 128);
    half = testmedia::WithoutSilence(half, 2, 1 << 30);
    ExpectHeard(PlayToEnd(*player, wav), half);

    for (bool mute : {true, false}) {
        player->SetAudioVolume(mute ? 128 : 0);
        player->SetMute(mute);
        heard = PlayToEnd(*player, wav);
        EXPECT_GE(heard.size(), source.size()) << "the device played on";
        EXPECT_TRUE(testmedia::WithoutSilence(heard, 2).empty());
    }
    player->SetMute(false);
    player->SetAudioVolume(128);

    // A pause adds silence only (and the fades); a stop while paused lets nothing more sound.
    heard = PlayToEnd(*player, wav, [&] {
        Pump(300ms);
        player->Pause();
        EXPECT_TRUE(player->Paused());
        Pump(300ms);
        player->Resume();
    });
    ExpectHeard(heard, source);
    EXPECT_NE(std::find(States.begin(), States.end(), psPause), States.end());
    EXPECT_NE(std::find(States.begin(), States.end(), psResume), States.end());

    const fs::path capture = CaptureTo("stopped_paused");
    ASSERT_TRUE(player->Open(wav.string(), nullptr, true));
    EXPECT_TRUE(player->Paused());
    Pump(100ms);
    player->TogglePause();
    EXPECT_FALSE(player->Paused());
    Pump(300ms);
    player->Pause();
    Pump(300ms);
    player->Stop(true);
    heard = testmedia::ReadCapture(capture);
    ExpectHeard(heard, source, false);
    size_t trailing = 0;
    while (trailing < heard.size() && heard[heard.size() - 1 - trailing] == 0) ++trailing;
    EXPECT_GE(trailing, 44100u * 2 / 10) << "the pause lasted to the end";
}

TEST_F(PlayerTest, CompressedAndMultichannelFilesPlayAtTheirLengthAndFrequency) {
    struct TCase {
        const char* Name;
        int Channels;
        double Frequency;
        bool Lossless;  // heard to the last sample (psEnd after the last one; FLAC: 4096-frame packets)
        double Seconds = 1.0;
    } cases[] = {{"tone.mp3", 2, 440, false},
                 {"tone.flac", 2, 660, true},
                 {"surround.wav", 6, 550, false},
                 {"video.mp4", 2, 440, false, 2.0}};  // the sound of a video file
    auto player = NewPlayer(0);
    size_t hooked = 0;
    player->SetAudioHook(true);
    player->SetOnAudioHook([&](TCustomPlayer*, int64_t, uint8_t*, int ASize, int ARate, int AChannels) {
        EXPECT_EQ(ARate, 44100);
        EXPECT_EQ(AChannels, 2);
        hooked += ASize;
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        hooked = 0;
        testmedia::ToneShape shape;
        shape.seconds = 1.0;
        shape.channels = c.Channels;
        shape.frequency = c.Frequency;
        const fs::path file = fs::path(c.Name).extension() == ".mp4"
                                  ? testmedia::MakeVideoWithAudio(Dir->path())
                                  : testmedia::MakeTone(Dir->path(), c.Name, shape);
        const auto capture = PlayToEnd(*player, file);
        const auto samples = testmedia::WithoutSilence(capture, 2);
        if (c.Lossless) ExpectHeard(capture, SourceSamples(file));
        const auto heard = AsAudio(samples, 44100);
        EXPECT_NEAR(heard.seconds(), c.Seconds, 0.03);
        EXPECT_NEAR(testmedia::DominantFrequency(heard, 0), c.Frequency, 1.0);
        EXPECT_NEAR(testmedia::DominantFrequency(heard, 1), c.Frequency, 1.0);
        EXPECT_GT(testmedia::Rms(heard), 0.1);
        // Every frame went by the hook (silent priming frames too).
        EXPECT_NEAR(double(hooked) / 4 / 44100, heard.seconds() + 0.01, 0.015);
    }
}

TEST_F(PlayerTest, PlayTimeStopsOrLoopsAndAnEndHandlerMayOpenTheNextFile) {
    testmedia::ToneShape shape;
    const fs::path a = testmedia::MakeTone(Dir->path(), "a.wav", shape);
    shape.frequency = 880;
    const fs::path b = testmedia::MakeTone(Dir->path(), "b.wav", shape);
    auto player = NewPlayer(0);
    auto seconds = [](const fs::path& ACapture) {
        return testmedia::WithoutSilence(testmedia::ReadCapture(ACapture), 2).size() / 2 / 44100.0;
    };
    auto stopped = [&] { return !States.empty() && States.back() == psStop; };

    fs::path capture = CaptureTo("playtime_stop");
    player->SetPlayTime(400000);
    ASSERT_TRUE(player->Open(a.string()));
    EXPECT_TRUE(WaitPumping(stopped, 5ms, 10s));
    player->Stop(true);
    EXPECT_NEAR(seconds(capture), 0.42, 0.04);
    EXPECT_EQ(player->PlayTime(), kTimeUnset) << "reset after each playback";

    capture = CaptureTo("playtime_loop");
    States.clear();
    player->SetPlayTime(300000);
    player->SetRepeatType(rtLoop);
    ASSERT_TRUE(player->Open(a.string()));
    Pump(1500ms);
    player->Stop(true);
    EXPECT_GT(seconds(capture), 1.2) << "more than the file: it looped";
    EXPECT_EQ(player->RepeatType(), rtStop);

    // A handler of psEnd opens the next file (Open re-entered from the event thread's hand-over).
    fs::path next;
    States.clear();
    player->SetOnState([&](TCustomPlayer* APlayer, TPlayState AState) {
        States.push_back(AState);
        if (AState == psEnd && next.empty()) {
            next = CaptureTo("next");
            EXPECT_TRUE(APlayer->Open(b.string()));
        }
    });
    CaptureTo("first");
    ASSERT_TRUE(player->Open(a.string()));
    EXPECT_TRUE(WaitPumping([&] { return !next.empty() && std::count(States.begin(), States.end(), psEnd) >= 2; }, 5ms, 10s));
    player->Stop(true);
    ExpectHeard(testmedia::ReadCapture(next), SourceSamples(b));
}

// Also for a file that gives no duration (a target was clamped to the unset duration: the start).
TEST_F(PlayerTest, AfterASeekTheTargetsContentFollowsAndNothingFromBefore) {
    // 5 s, one frequency per second.
    std::vector<float> samples;
    for (int i = 0; i < 5 * 44100; ++i) {
        const float v = 0.5f * std::sin(2 * M_PI * (400 + 300 * (i / 44100)) * i / 44100.0);
        samples.push_back(v);
        samples.push_back(v);
    }
    struct TCase {
        const char* Name;
        bool Relative;  // Seek(3.0 s from the clock), else Seek(3.3 s)
    } cases[] = {{"steps.wav", false}, {"steps_live.mka", false}, {"steps.wav", true}};
    auto player = NewPlayer(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Name) + (c.Relative ? " relative" : ""));
        testmedia::ToneShape shape;
        shape.codec = "flac";
        shape.live = true;
        const fs::path file = Dir->path() / c.Name;
        testmedia::MakeAudio(file, fs::path(c.Name).extension() == ".wav" ? testmedia::ToneShape{} : shape,
                             samples);
        const std::vector<int16_t> source = SourceSamples(file);
        double clock = 0;
        const auto heard = testmedia::WithoutSilence(PlayToEnd(*player, file, [&] {
            Pump(300ms);
            clock = player->MasterClock();
            if (c.Relative)
                player->Seek(3.0, {}, true);
            else
                player->Seek(int64_t{3300000}, {}, true);
            EXPECT_FALSE(player->Seeking());
        }), 2);

        // The start as it is (past its fade-in), then the source continued from the target to its end.
        const long start = FindInSource(heard, kRampFrames, source, kRampFrames);
        ASSERT_GE(start, 0);
        const auto diverge =
            std::mismatch(heard.begin() + kRampFrames * 2, heard.end(), source.begin() + start * 2).first;
        const size_t before = diverge - heard.begin();
        ASSERT_GT(before, 0u);
        ASSERT_LT(before, heard.size());
        const size_t rest = heard.size() - before;
        ASSERT_LE(rest, source.size());
        const size_t from = source.size() - rest;
        // At the target, or at the start of the packet holding it (FLAC: 4096 frames).
        const double target = c.Relative ? clock + 3.0 : 3.3;
        EXPECT_NEAR(from / 2 / 44100.0, target - 0.045, 0.055);
        EXPECT_TRUE(std::equal(diverge, heard.end(), source.begin() + from));
    }
}

TEST_F(PlayerTest, SwitchingTheAudioStreamPlaysTheOtherAndBadIndexesAreRefused) {
    const fs::path ts = testmedia::MakeMpegTsTwoPrograms(Dir->path());
    auto player = NewPlayer(0);
    int first = -1;
    const auto heard = PlayToEnd(*player, ts, [&] {
        Pump(300ms);
        first = player->AudioStreamIndex();
        player->SetAudioStreamIndex(99);
        EXPECT_EQ(player->LastErrMsg(), "the stream index is not valid.");
        player->SetAudioStreamIndex(1 - first);
        EXPECT_EQ(player->AudioStreamIndex(), 1 - first);
    });
    ASSERT_GE(first, 0);
    // The device was opened anew for the other stream: its capture holds that stream only.
    const auto audio = AsAudio(testmedia::WithoutSilence(heard, 2), 48000);
    EXPECT_NEAR(testmedia::DominantFrequency(audio, 0), first == 0 ? 880 : 440, 2.0);

    const fs::path mkv = testmedia::MakeWithSubtitle(Dir->path());
    ASSERT_TRUE(player->Open(mkv.string())) << player->LastErrMsg();
    player->SetAudioStreamIndex(1);
    EXPECT_EQ(player->LastErrMsg(), "the stream type is not matched.");
    player->Stop(true);
}

TEST_F(PlayerTest, OpenIsRefusedWhileAnotherIsInProgressAndSDLLeavesTheSignalsAlone) {
    testmedia::ToneShape shape;
    const fs::path wav = testmedia::MakeTone(Dir->path(), "nested.wav", shape);
    auto player = NewPlayer(0);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    bool nested = true;
    std::string nestedError;
    SetProcessMessagesHook([&] {
        if (nested) {
            nested = false;
            EXPECT_FALSE(player->Open(wav.string()));
            nestedError = player->LastErrMsg();
        }
    });
    CaptureTo("nested");
    EXPECT_TRUE(player->Open(wav.string())) << player->LastErrMsg();
    SetProcessMessagesHook(nullptr);
    EXPECT_FALSE(nested);
    EXPECT_EQ(nestedError, "the player is opening another file.");
    EXPECT_FALSE(player->Paused());
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        sigaction(sig, nullptr, &current);
        EXPECT_EQ(current.sa_handler, SIG_DFL) << sig;
    }
    player->Stop(true);
    EXPECT_EQ(States.back(), psStop);
}

TEST_F(PlayerTest, TwoPlayersWithTwoCopiesPlayTwoFilesAtOnce) {
    testmedia::ToneShape shape;
    shape.seconds = 1.0;
    const fs::path a = testmedia::MakeTone(Dir->path(), "a.wav", shape);
    shape.frequency = 880;
    const fs::path b = testmedia::MakeTone(Dir->path(), "b.wav", shape);
    std::vector<TPlayState> statesA, statesB;
    auto first = NewPlayer(0, &statesA);
    auto second = NewPlayer(1, &statesB);
    const fs::path captureA = CaptureTo("both_a");
    ASSERT_TRUE(first->Open(a.string())) << first->LastErrMsg();
    const fs::path captureB = CaptureTo("both_b");
    ASSERT_TRUE(second->Open(b.string())) << second->LastErrMsg();
    EXPECT_TRUE(WaitPumping([&] { return Ended(statesA) && Ended(statesB); }, 5ms, 30s));
    first->Stop(true);
    second->Stop(true);
    ExpectHeard(testmedia::ReadCapture(captureA), SourceSamples(a));
    ExpectHeard(testmedia::ReadCapture(captureB), SourceSamples(b));
}

TEST_F(PlayerTest, OpenStopCyclesAndDestroyingAPlayingPlayerAreClean) {
    testmedia::ToneShape shape;
    shape.seconds = 2.0;
    const fs::path mp3 = testmedia::MakeTone(Dir->path(), "cycle.mp3", shape);
    auto player = NewPlayer(0);
    std::vector<int64_t> positions;
    player->SetOnPosition([&](TCustomPlayer*, int64_t pts) { positions.push_back(pts); });
    CaptureTo("cycles");
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(player->Open(mp3.string())) << player->LastErrMsg();
        if (i % 10 == 0) Pump(50ms);
        player->Stop(i % 2 == 0);
    }
    ASSERT_TRUE(player->Open(mp3.string()));
    Pump(200ms);
    EXPECT_FALSE(positions.empty());
    player.reset();
}

namespace {

// A host that keeps the last frame it was handed, as the Qt host does. Declared before the
// player that draws into it, so that it outlives the playback also when a test ends early.
struct TRecordingHost : TScreenHost {
    std::atomic<int> Width{200}, Height{100};
    std::atomic<bool> Shown{true};
    mutable std::mutex Lock;  // guards Frame, FrameHeight
    std::vector<uint32_t> Frame;
    int FrameHeight = 0;
    std::atomic<int> FrameWidth{0}, Frames{0};

    void GetClientSize(int& AWidth, int& AHeight) const override {
        AWidth = Width;
        AHeight = Height;
    }
    bool Showing() const override { return Shown; }
    void PresentFrame(const uint32_t* APixels, int AWidth, int AHeight, int APitch) override {
        std::lock_guard lock(Lock);
        Frame.resize(size_t(AWidth) * AHeight);
        for (int y = 0; y < AHeight; ++y)
            std::copy_n(APixels + size_t(y) * APitch / 4, AWidth, Frame.data() + size_t(y) * AWidth);
        FrameWidth = AWidth;
        FrameHeight = AHeight;
        ++Frames;
    }
    // The last frame and its width.
    std::vector<uint32_t> Last(int& AWidth) const {
        std::lock_guard lock(Lock);
        AWidth = FrameWidth;
        return Frame;
    }
    // Rows of column AX that are lit.
    std::vector<int> LitRows(int AX) const {
        std::lock_guard lock(Lock);
        std::vector<int> rows;
        for (int y = 0; y < FrameHeight; ++y)
            if (Frame[size_t(y) * FrameWidth + AX] != 0) rows.push_back(y);
        return rows;
    }
};

}  // namespace

TEST_F(PlayerTest, WaveformBandsAndSeparatorOfAStereoToneLandWhereTheyShould) {
    testmedia::ToneShape shape;
    shape.frequency = 441;
    shape.seconds = 3;
    const fs::path wav = testmedia::MakeTone(Dir->path(), "wave.wav", shape);
    TRecordingHost host;
    auto player = NewPlayer(40);
    CaptureTo("wave");
    ASSERT_TRUE(player->Open(wav.string(), &host));
    ASSERT_TRUE(WaitPumping([&] { return host.Frames > 5; }, 5ms, 10s));
    // Band height 50, amplitude scale 22: a half-scale tone reaches 11 pixels from each centre.
    int top = 100, bottom = 0;
    for (int x = 0; x < 200; ++x)
        for (int y : host.LitRows(x))
            if (y != 50) top = std::min(top, y), bottom = std::max(bottom, y);
    EXPECT_EQ(host.LitRows(0).size() > 0, true);
    EXPECT_NEAR(top, 25 - 11, 1);
    EXPECT_NEAR(bottom, 75 + 11, 1);
    for (int x = 0; x < 200; ++x) {
        const auto rows = host.LitRows(x);
        EXPECT_NE(std::find(rows.begin(), rows.end(), 50), rows.end()) << "separator at " << x;
        for (int y : rows) EXPECT_TRUE(std::abs(y - 25) <= 11 || std::abs(y - 75) <= 11 || y == 50) << y;
    }
    // Paused, the waveform stays still; after a resize the frames have the new size.
    player->Pause();
    Pump(100ms);
    std::vector<uint32_t> still;
    {
        std::lock_guard lock(host.Lock);
        still = host.Frame;
    }
    Pump(100ms);
    {
        std::lock_guard lock(host.Lock);
        EXPECT_EQ(still, host.Frame);
    }
    host.Width = 120;
    host.Height = 60;
    host.NotifyResize();
    EXPECT_TRUE(WaitPumping([&] { return host.LitRows(0).size() <= 60 && host.FrameWidth == 120; }, 5ms, 5s));
    player->Stop(true);
}

TEST_F(PlayerTest, SpectrumOfAPureToneLightsItsRowAndTheColumnAdvances) {
    testmedia::ToneShape shape;
    shape.frequency = 44100.0 * 32 / 256;  // bin 32 of the 256-point transform of a 100-row surface
    shape.seconds = 3;
    const fs::path wav = testmedia::MakeTone(Dir->path(), "spectrum.wav", shape);
    TRecordingHost host;
    auto player = NewPlayer(41);
    player->SetShowAudio(saRDFT);
    CaptureTo("spectrum");
    ASSERT_TRUE(player->Open(wav.string(), &host));
    ASSERT_TRUE(WaitPumping([&] { return host.Frames > 20; }, 5ms, 10s));
    player->Stop(true);
    int columns = 0;
    for (int x = 0; x < 200; ++x) {
        std::lock_guard lock(host.Lock);
        int brightest = -1;
        uint32_t level = 0;
        for (int y = 0; y < host.FrameHeight; ++y)
            if (const uint32_t v = host.Frame[size_t(y) * host.FrameWidth + x] >> 16; v > level)
                level = v, brightest = y;
        if (level < 128) continue;
        ++columns;
        EXPECT_EQ(brightest, 100 - 1 - 32) << "column " << x;
    }
    EXPECT_GT(columns, 5);
}

TEST_F(PlayerTest, AHiddenHostGetsNoFramesOfSoundOrPictures) {
    const fs::path files[] = {testmedia::MakeTone(Dir->path(), "hidden.wav", testmedia::ToneShape{}),
                              testmedia::MakeVideoWithAudio(Dir->path())};
    auto player = NewPlayer(42);
    for (const auto& file : files) {
        TRecordingHost host;
        host.Shown = false;
        CaptureTo("hidden");
        ASSERT_TRUE(player->Open(file.string(), &host));
        Pump(300ms);
        player->Stop(true);
        EXPECT_EQ(host.Frames, 0) << file;
    }
}

namespace {

// The test video's bar: 16 pixels wide at x = 4 n of 160 in picture n (25 per second).
int BarOfPicture(int64_t APTS) { return int(4 * std::llrint(APTS * 25 / 1e6) % 160); }

// The left edge of the brightest 16-column band of an XRGB frame or a BGR24/BGRA bitmap, scaled
// to the picture's 160 columns; APixel gives the brightness of (x, y).
int BrightestBand(int AWidth, int AHeight, const std::function<int(int, int)>& APixel) {
    std::vector<long> column(AWidth, 0);
    for (int y = 0; y < AHeight; ++y)
        for (int x = 0; x < AWidth; ++x) column[x] += APixel(x, y);
    const int band = AWidth * 16 / 160;
    int best = 0;
    long bestSum = -1;
    for (int x = 0; x + band <= AWidth; ++x) {
        long sum = 0;
        for (int k = 0; k < band; ++k) sum += column[x + k];
        if (sum > bestSum) bestSum = sum, best = x;
    }
    return best * 160 / AWidth;
}

int Brightness(uint32_t APixel) { return int((APixel >> 16 & 255) + (APixel >> 8 & 255) + (APixel & 255)); }

int HostBar(const TRecordingHost& AHost) {
    int w = 0;
    const std::vector<uint32_t> f = AHost.Last(w);
    // Rows below the hook's block only.
    return BrightestBand(w, int(f.size()) / w, [&](int x, int y) {
        return y < 40 ? 0 : Brightness(f[size_t(y) * w + x]);
    });
}

int BitmapBar(const TBitmap& ABitmap) {
    const int bytes = ABitmap.BitsPixel / 8;
    return BrightestBand(ABitmap.Width, ABitmap.Height, [&](int x, int y) {
        const uint8_t* p = ABitmap.Pixels.data() + size_t(y) * ABitmap.Stride + size_t(x) * bytes;
        return y < 40 ? 0 : p[0] + p[1] + p[2];
    });
}

}  // namespace

TEST_F(PlayerTest, PicturesShowTheBarWhereCurrentFrameSaysAndTheHookChangesThem) {
    const fs::path video = testmedia::MakeVideoWithAudio(Dir->path());
    TRecordingHost host;
    auto player = NewPlayer(43);
    host.Width = 160;
    host.Height = 120;
    int hooked = 0;
    player->SetVideoHook(true);
    player->SetOnVideoHook([&](TCustomPlayer*, TBitmap* ABitmap, int64_t, bool& AUpdate) {
        ++hooked;
        // A red block at the top left (BGR).
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 20; ++x) {
                uint8_t* p = ABitmap->Pixels.data() + size_t(y) * ABitmap->Stride + size_t(x) * 3;
                p[0] = 0, p[1] = 0, p[2] = 255;
            }
        AUpdate = true;
    });
    int width = 0, height = 0;
    player->SetOnFileOpen([&](TCustomPlayer*, int64_t, int AWidth, int AHeight, int&, int&) {
        width = AWidth;
        height = AHeight;
    });

    // Opened paused: the first picture is shown and stays.
    const fs::path capture = CaptureTo("video");
    ASSERT_TRUE(player->Open(video.string(), &host, true)) << player->LastErrMsg();
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 120);
    EXPECT_GE(player->VideoStreamIndex(), 0);
    ASSERT_TRUE(WaitPumping([&] { return host.Frames > 0 && std::count(States.begin(), States.end(), psPause) > 0; },
                            5ms, 10s));
    Pump(200ms);
    int64_t pts = -1;
    const TBitmap& first = player->CurrentFrame(pts);
    EXPECT_EQ(pts, 0);
    EXPECT_EQ(first.Width, 160);
    EXPECT_EQ(host.Frames, 1);
    EXPECT_EQ(HostBar(host), 0);

    // Playing, then paused: host, bitmap and time agree; the hook's block is in the picture.
    player->Resume();
    Pump(600ms);
    player->Pause();
    Pump(100ms);
    const TBitmap& shown = player->CurrentFrame(pts);
    EXPECT_GT(pts, 300000);
    EXPECT_NEAR(BarOfPicture(pts), BitmapBar(shown), 2) << pts;
    EXPECT_NEAR(BarOfPicture(pts), HostBar(host), 2) << pts;
    {
        int w = 0;
        const uint32_t corner = host.Last(w)[5 * w + 5];
        EXPECT_GT(corner >> 16 & 255, 200u);
        EXPECT_LT(corner >> 8 & 255, 60u);
    }
    EXPECT_GT(hooked, 5);

    // One step shows the next picture and pauses again.
    player->StepToNextFrame();
    EXPECT_TRUE(WaitPumping([&] {
        int64_t now = 0;
        player->CurrentFrame(now);
        return now == pts + 40000;
    }, 5ms, 5s));
    EXPECT_TRUE(player->Paused());
    EXPECT_NE(std::find(States.begin(), States.end(), psStep), States.end());

    // A seek while paused shows the picture at the target (a key picture every second).
    player->Seek(int64_t{1000000}, {}, true);
    EXPECT_TRUE(WaitPumping([&] {
        int64_t now = 0;
        player->CurrentFrame(now);
        return now == 1000000;
    }, 5ms, 5s));
    Pump(50ms);
    EXPECT_FALSE(player->Seeking());
    EXPECT_NEAR(HostBar(host), BarOfPicture(1000000), 2);

    // To the end: the sound was heard up to the pause and from the target on; the last position
    // is the duration.
    std::vector<int64_t> positions;
    player->SetOnPosition([&](TCustomPlayer*, int64_t APTS) { positions.push_back(APTS); });
    player->Resume();
    EXPECT_TRUE(WaitPumping([&] { return Ended(States); }, 5ms, 10s));
    player->Stop(true);
    ASSERT_FALSE(positions.empty());
    EXPECT_NEAR(double(positions.back()), 2000000.0, 60000.0);
    const auto heard = AsAudio(testmedia::WithoutSilence(testmedia::ReadCapture(capture), 2), 44100);
    EXPECT_NEAR(heard.seconds(), (pts + 40000) / 1e6 + 1.0, 0.15);
    EXPECT_NEAR(testmedia::DominantFrequency(heard, 0), 440, 2.0);
}

// Also odd host sizes: the surface is even and nothing is drawn outside it (ASan).
TEST_F(PlayerTest, LetterboxingIsCentredForEachAspectModeAndAResizeGivesTheNextFrameItsSize) {
    struct TCase {
        float Aspect;
        int HostWidth, HostHeight;
        int X, Y, Width, Height;  // where the 160x120 picture lands
    } cases[] = {
        {0, 200, 100, 34, 0, 132, 100},     // its own 4:3, pillarboxed
        {0, 101, 201, 0, 63, 100, 74},      // its own 4:3, letterboxed (surface 100x200)
        {1.0f, 200, 100, 50, 0, 100, 100},  // forced 1:1
        {-1.0f, 200, 100, 0, 0, 200, 100},  // stretched to the screen
        {2.5f, 120, 160, 0, 56, 120, 48},   // forced wide, letterboxed
    };
    const fs::path video = testmedia::MakeVideoOnly(Dir->path());
    TRecordingHost host;
    auto player = NewPlayer(44);
    ASSERT_TRUE(player->Open(video.string(), &host, true)) << player->LastErrMsg();
    ASSERT_TRUE(WaitPumping([&] { return host.Frames > 0; }, 5ms, 10s));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.HostWidth) + "x" + std::to_string(c.HostHeight));
        const int frames = host.Frames;
        host.Width = c.HostWidth;
        host.Height = c.HostHeight;
        player->SetAspectRatio(c.Aspect);
        host.NotifyResize();
        ASSERT_TRUE(WaitPumping([&] {
            std::lock_guard lock(host.Lock);
            return host.Frames > frames && host.FrameWidth == (c.HostWidth & ~1) && host.FrameHeight == (c.HostHeight & ~1);
        }, 5ms, 5s));
        Pump(50ms);
        int w = 0;
        const std::vector<uint32_t> f = host.Last(w);
        const int h = int(f.size()) / w;
        int left = w, right = -1, top = h, bottom = -1;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (f[size_t(y) * w + x] & 0xFFFFFF) {
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
        EXPECT_NEAR(left, c.X, 1);
        EXPECT_NEAR(top, c.Y, 1);
        EXPECT_NEAR(right + 1 - left, c.Width, 2);
        EXPECT_NEAR(bottom + 1 - top, c.Height, 2);
    }
    player->Stop(true);
}

// The refresh passes go on after the end: psEnd comes once per end, with or without pictures.
TEST_F(PlayerTest, TheEndIsReportedOnceNotOnEveryRefreshPassUntilASeekLeavesIt) {
    testmedia::ToneShape shape;
    shape.seconds = 0.5;
    const fs::path files[] = {testmedia::MakeTone(Dir->path(), "end_once.wav", shape),
                              testmedia::MakeVideoOnly(Dir->path())};
    TRecordingHost host;
    auto player = NewPlayer(51);
    auto ends = [&] { return std::count(States.begin(), States.end(), psEnd); };
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        CaptureTo("end_once");
        States.clear();
        ASSERT_TRUE(player->Open(file.string(), &host)) << player->LastErrMsg();
        EXPECT_TRUE(WaitPumping([&] { return ends() >= 1; }, 5ms, 10s));
        Pump(500ms);
        EXPECT_EQ(ends(), 1);
        player->Seek(int64_t{0});
        EXPECT_TRUE(WaitPumping([&] { return ends() >= 2; }, 5ms, 10s)) << "a seek leaves the end";
        Pump(500ms);
        EXPECT_EQ(ends(), 2);
        player->Stop(true);
    }
}

TEST_F(PlayerTest, ABitmapSubtitleIsBlendedOverThePicturesWhileItIsDue) {
    const fs::path video = testmedia::MakeVideoWithBitmapSubtitle(Dir->path());
    TRecordingHost host;
    auto player = NewPlayer(45);
    host.Width = 160;
    host.Height = 120;
    ASSERT_TRUE(player->Open(video.string(), &host)) << player->LastErrMsg();
    EXPECT_GE(player->SubtitleStreamIndex(), 0);
    auto white = [&](int AX, int AY) {
        int w = 0;
        const uint32_t p = host.Last(w)[size_t(AY) * w + AX];
        return (p >> 16 & 255) > 230 && (p >> 8 & 255) > 230 && (p & 255) > 230;
    };
    Pump(800ms);
    player->Pause();
    Pump(100ms);
    int64_t pts = 0;
    player->CurrentFrame(pts);
    ASSERT_GT(pts, 400000);
    ASSERT_LT(pts, 1200000);
    EXPECT_TRUE(white(60, 95) && white(100, 110)) << pts;
    EXPECT_FALSE(white(60, 50));
    player->Resume();
    EXPECT_TRUE(WaitPumping([&] { return Ended(States); }, 5ms, 10s));
    EXPECT_FALSE(white(60, 95) && white(100, 110)) << "ended at 1.2 s";
    player->Stop(true);
}

// SubRip, and ASS whose override blocks are not drawn and whose "\N" breaks the line.
TEST_F(PlayerTest, ATextSubtitleIsDrawnOverThePicturesWhileItIsDueAndNotAfter) {
    const struct {
        const char* Codec;
        const char* Text;
        int MinHeight, MaxHeight, MaxWidth;  // of the text's white pixels: one line or two
    } cases[] = {{"subrip", "Hello, subtitles", 1, 14, 160}, {"ass", "{\\b1}Hello,{\\b0}\\Nsubtitles", 16, 40, 70}};
    auto player = NewPlayer(52);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Codec);
        const fs::path video = testmedia::MakeVideoWithTextSubtitle(Dir->path(), c.Codec, c.Text);
        TRecordingHost host;
        host.Width = 160;
        host.Height = 120;
        States.clear();
        ASSERT_TRUE(player->Open(video.string(), &host)) << player->LastErrMsg();
        EXPECT_GE(player->SubtitleStreamIndex(), 0);
        // The white pixels of the lower half of the last frame, away from the moving bar of the
        // picture at APTS (the picture's only white): their count and extent.
        struct TText {
            int Pixels = 0, Width = 0, Height = 0;
        };
        auto text = [&](int64_t APTS) {
            int w = 0;
            const std::vector<uint32_t> f = host.Last(w);
            const int barX = int(4 * std::llround(APTS * 25 / 1e6) % 160);
            TText t;
            int left = w, right = -1, top = 120, bottom = -1;
            for (int y = 60; y < 120; ++y)
                for (int x = 0; x < w; ++x) {
                    const uint32_t p = f[size_t(y) * w + x];
                    if ((x >= barX - 4 && x < barX + 20) || (p >> 16 & 255) <= 230 || (p >> 8 & 255) <= 230 ||
                        (p & 255) <= 230)
                        continue;
                    ++t.Pixels;
                    left = std::min(left, x), right = std::max(right, x);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
            t.Width = right + 1 - left;
            t.Height = bottom + 1 - top;
            return t;
        };
        Pump(800ms);
        player->Pause();
        Pump(100ms);
        int64_t pts = 0;
        player->CurrentFrame(pts);
        ASSERT_GT(pts, 400000);
        ASSERT_LT(pts, 1200000);
        const TText due = text(pts);
        EXPECT_GT(due.Pixels, 20) << pts;
        EXPECT_GE(due.Height, c.MinHeight);
        EXPECT_LE(due.Height, c.MaxHeight);
        EXPECT_LE(due.Width, c.MaxWidth) << due.Height;
        player->Resume();
        EXPECT_TRUE(WaitPumping([&] { return Ended(States); }, 5ms, 10s));
        player->CurrentFrame(pts);
        EXPECT_EQ(text(pts).Pixels, 0) << "ended at 1.2 s; shown " << pts;
        player->Stop(true);
    }
}

TEST_F(PlayerTest, AFlippedOrFilteredPlaybackShowsItsPicturesTurned) {
    const fs::path video = testmedia::MakeVideoOnly(Dir->path());
    auto player = NewPlayer(46);
    // Brightness per row of the first picture (the gradient grows downwards).
    auto rows = [&](bool AFlip) {
        TRecordingHost host;
        host.Width = 160;
        host.Height = 120;
        player->SetVerticalFlip(AFlip);
        EXPECT_TRUE(player->Open(video.string(), &host, true)) << player->LastErrMsg();
        EXPECT_TRUE(WaitPumping([&] { return host.Frames > 0; }, 5ms, 10s));
        player->Stop(true);
        int w = 0;
        const std::vector<uint32_t> f = host.Last(w);
        std::vector<long> sums(f.size() / std::max(w, 1), 0);
        for (size_t y = 0; y < sums.size(); ++y)
            for (int x = 0; x < w; ++x) sums[y] += Brightness(f[y * w + x]);
        return sums;
    };
    const auto upright = rows(false), flipped = rows(true);
    ASSERT_EQ(upright.size(), 120u);
    ASSERT_EQ(flipped.size(), 120u);
    EXPECT_GT(upright[110], upright[10] * 3 / 2);
    for (size_t y = 0; y < 120; ++y) EXPECT_NEAR(flipped[y], upright[119 - y], upright[119 - y] / 20.0 + 50) << y;
    EXPECT_FALSE(player->VerticalFlip()) << "reset after each playback";

    // Through a filter chain: the first picture's bar at the right.
    TRecordingHost host;
    host.Width = 160;
    host.Height = 120;
    player->SetVideoFilters("hflip");
    ASSERT_TRUE(player->Open(video.string(), &host, true)) << player->LastErrMsg();
    EXPECT_TRUE(WaitPumping([&] { return host.Frames > 0; }, 5ms, 10s));
    player->Stop(true);
    EXPECT_NEAR(HostBar(host), 144, 2);
}

namespace {

// A host whose hand-over takes 100 ms: the play thread falls behind the pictures.
struct TSlowHost : TRecordingHost {
    void PresentFrame(const uint32_t* APixels, int AWidth, int AHeight, int APitch) override {
        std::this_thread::sleep_for(100ms);
        TRecordingHost::PresentFrame(APixels, AWidth, AHeight, APitch);
    }
};

// Mean brightness step between neighbouring rows of the host's last frame, column AX.
double RowStep(const TRecordingHost& AHost, int AX) {
    int w = 0;
    const std::vector<uint32_t> f = AHost.Last(w);
    const int rows = w > 0 ? int(f.size()) / w : 0;
    double sum = 0;
    for (int y = 10; y + 1 < rows - 10; ++y)
        sum += std::abs(Brightness(f[size_t(y) * w + AX]) - Brightness(f[size_t(y + 1) * w + AX]));
    return rows > 21 ? sum / (rows - 21) : 0;
}

}  // namespace

TEST_F(PlayerTest, LatePicturesAreDroppedOnlyWithFramedrop) {
    const fs::path video = testmedia::MakeVideoOnly(Dir->path());  // 50 pictures
    auto player = NewPlayer(47);
    for (int framedrop : {0, 1}) {
        TSlowHost host;
        host.Width = 160;
        host.Height = 120;
        player->set_framedrop(framedrop);
        States.clear();
        ASSERT_TRUE(player->Open(video.string(), &host)) << player->LastErrMsg();
        int dropped = 0;
        double skip = 0;
        EXPECT_TRUE(WaitPumping([&] {
            dropped = std::max(dropped, player->DroppedPictures());
            skip = std::max(skip, player->skip_frames());
            return Ended(States);
        }, 5ms, 30s));
        player->Stop(true);
        if (framedrop) {
            EXPECT_GT(dropped, 0);
            EXPECT_GT(skip, 1.0);
            EXPECT_LT(host.Frames, 50);
        } else {
            EXPECT_EQ(dropped, 0);
            EXPECT_GE(host.Frames, 50) << "every picture shown, however late";
        }
    }
}

TEST_F(PlayerTest, AForcedFrameRateIsLoggedAndAnIncorrectOneIsRefused) {
    const fs::path video = testmedia::MakeVideoOnly(Dir->path());
    auto player = NewPlayer(48);
    EXPECT_THROW(player->SetForceFrameRate("fast"), std::runtime_error);
    EXPECT_EQ(player->ForceFrameRate(), "");
    player->SetForceFrameRate("50");
    TRecordingHost host;
    ASSERT_TRUE(player->Open(video.string(), &host, true)) << player->LastErrMsg();
    EXPECT_TRUE(WaitPumping([&] { return host.Frames > 0; }, 5ms, 10s));
    player->Stop(true);
    const bool forced = std::any_of(Logged.begin(), Logged.end(), [](const std::string& m) {
        return m.find("Force stream 0 frame rate: 25.00 (25/1) -> 50.00 (50/1)") != std::string::npos;
    });
    EXPECT_TRUE(forced);
}

TEST_F(PlayerTest, DeinterlacingSmoothsCombedPictures) {
    const fs::path video = testmedia::MakeVideoOnly(Dir->path());
    auto player = NewPlayer(49);
    for (bool deinterlace : {false, true}) {
        TRecordingHost host;
        host.Width = 160;
        host.Height = 120;
        // Every other row dark: a combed picture.
        player->SetVideoFilters("geq=lum='if(mod(Y,2),30,220)':cb=128:cr=128");
        player->SetDeinterlace(deinterlace);
        ASSERT_TRUE(player->Open(video.string(), &host, true)) << player->LastErrMsg();
        EXPECT_TRUE(WaitPumping([&] { return host.Frames > 0; }, 5ms, 10s));
        player->Stop(true);
        if (deinterlace)
            EXPECT_LT(RowStep(host, 80), 60);
        else
            EXPECT_GT(RowStep(host, 80), 300);
    }
}

TEST_F(PlayerTest, SwitchingVideoAndSubtitleStreamsWhilePlayingAndBadIndexesAreRefused) {
    // Stream 0 dark pictures, 1 grey pictures, 2 a white subtitle box from 0 to 3 s.
    const fs::path file = Dir->path() / "two_videos.mkv";
    {
        testmedia::detail::MediaWriter writer(file);
        for (int luma : {40, 120})
            writer.AddVideo("mpeg4", 160, 120, 25, 75, [luma](AVFrame* APicture, int64_t) {
                for (int plane = 0; plane < 3; ++plane) {
                    const int rows = plane ? APicture->height / 2 : APicture->height;
                    for (int y = 0; y < rows; ++y)
                        std::memset(APicture->data[plane] + size_t(y) * APicture->linesize[plane],
                                    plane ? 128 : luma, plane ? APicture->width / 2 : APicture->width);
                }
            });
        writer.AddSubtitles("dvdsub", {{0, 3, ""}}, 160, 120);
        writer.Write();
    }
    TRecordingHost host;
    host.Width = 160;
    host.Height = 120;
    auto player = NewPlayer(50);
    ASSERT_TRUE(player->Open(file.string(), &host)) << player->LastErrMsg();
    auto pixel = [&](int AX, int AY) {
        int w = 0;
        const std::vector<uint32_t> f = host.Last(w);
        return w > 0 ? Brightness(f[size_t(AY) * w + AX]) / 3 : -1;
    };
    auto grey = [](int AStream) { return AStream == 0 ? 40 : 120; };  // limited range, roughly
    const int first = player->VideoStreamIndex();
    ASSERT_GE(first, 0);
    ASSERT_LE(first, 1);
    const int other = 1 - first;
    EXPECT_EQ(player->SubtitleStreamIndex(), 2);
    EXPECT_TRUE(WaitPumping([&] { return pixel(80, 100) > 230; }, 5ms, 10s));
    player->SetSubtitleStreamIndex(-1);
    EXPECT_EQ(player->SubtitleStreamIndex(), -1);
    EXPECT_TRUE(WaitPumping([&] { return pixel(80, 100) < 200; }, 5ms, 10s));

    EXPECT_TRUE(WaitPumping([&] { return std::abs(pixel(20, 20) - grey(first)) < 25; }, 5ms, 10s));
    player->SetVideoStreamIndex(other);
    EXPECT_EQ(player->VideoStreamIndex(), other);
    EXPECT_TRUE(WaitPumping([&] { return std::abs(pixel(20, 20) - grey(other)) < 25; }, 5ms, 10s));

    struct {
        std::function<void()> Set;
        const char* Why;
    } const refused[] = {
        {[&] { player->SetVideoStreamIndex(2); }, "the stream type is not matched."},
        {[&] { player->SetVideoStreamIndex(9); }, "the stream index is not valid."},
        {[&] { player->SetVideoStreamIndex(-1); }, "the stream index is not valid."},
        {[&] { player->SetSubtitleStreamIndex(other); }, "the stream type is not matched."},
    };
    for (const auto& r : refused) {
        r.Set();
        EXPECT_EQ(player->LastErrMsg(), r.Why);
    }
    EXPECT_EQ(player->VideoStreamIndex(), other);
    EXPECT_EQ(player->SubtitleStreamIndex(), -1);
    player->SetSubtitleStreamIndex(2);
    EXPECT_EQ(player->SubtitleStreamIndex(), 2);
    player->Stop(true);
}

// A hand-over queued by another thread runs in the first pumping wait of the next call (as a
// queued Stop, Esc in the trim editor or the preview's stop at the end of the file do); when it
// stops the player, the call must not go on with the freed playback.
TEST_F(PlayerTest, AStopRunInTheWaitOfAPauseSeekOrSwitchLeavesTheCallNothingToTouch) {
    const fs::path video = testmedia::MakeVideoWithAudio(Dir->path());
    const fs::path ts = testmedia::MakeMpegTsTwoPrograms(Dir->path());
    TRecordingHost host;
    auto player = NewPlayer(44);
    struct TCase {
        const char* Name;
        const fs::path& File;
        bool Paused;
        std::function<void()> Call;
    } const cases[] = {
        {"Pause", video, false, [&] { player->Pause(); }},
        {"TogglePause", video, false, [&] { player->TogglePause(); }},
        {"Resume", video, true, [&] { player->Resume(); }},
        {"StepToNextFrame", video, true, [&] { player->StepToNextFrame(); }},
        {"Seek", video, false, [&] { player->Seek(int64_t{1000000}, {}, true); }},
        {"SetAudioStreamIndex", ts, false, [&] { player->SetAudioStreamIndex(1 - player->AudioStreamIndex()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        States.clear();
        CaptureTo(std::string("handover_stop_") + c.Name);
        ASSERT_TRUE(player->Open(c.File.string(), &host, c.Paused)) << player->LastErrMsg();
        Pump(200ms);
        std::atomic<bool> queued{false};
        SetWakeMainThreadHook([&] { queued = true; });
        std::thread stopper([&] { Synchronize([&] { player->Stop(true); }); });
        while (!queued) std::this_thread::sleep_for(1ms);
        SetWakeMainThreadHook(nullptr);
        c.Call();
        stopper.join();
        EXPECT_TRUE(player->Paused()) << "nothing is open";
        ASSERT_FALSE(States.empty());
        EXPECT_EQ(States.back(), psStop) << "no state after the end";
    }
}

// OnFileOpen runs before the play thread starts: a Stop from it cannot wait for that thread, and
// must not free the playback its reading thread is using.
TEST_F(PlayerTest, AStopFromOnFileOpenEndsThePlaybackAsItStarts) {
    testmedia::ToneShape shape;
    const fs::path wav = testmedia::MakeTone(Dir->path(), "stopped_at_open.wav", shape);
    auto player = NewPlayer(0);
    for (bool wait : {true, false}) {
        States.clear();
        CaptureTo("stopped_at_open");
        player->SetOnFileOpen([&](TCustomPlayer* APlayer, int64_t, int, int, int&, int&) { APlayer->Stop(wait); });
        EXPECT_TRUE(player->Open(wav.string())) << player->LastErrMsg();
        EXPECT_TRUE(WaitPumping([&] { return !States.empty() && States.back() == psStop; }, 5ms, 5s));
        player->SetOnFileOpen(nullptr);
        player->Stop(true);
        EXPECT_TRUE(player->Paused());
    }
}

TEST_F(PlayerTest, PauseResumeAndTogglePauseEndAPendingFrameStep) {
    const fs::path video = testmedia::MakeVideoWithAudio(Dir->path());
    TRecordingHost host;
    auto player = NewPlayer(45);
    const std::function<void()> calls[] = {[&] { player->Pause(); }, [&] { player->TogglePause(); }};
    for (const auto& pause : calls) {
        CaptureTo("step_then_pause");
        ASSERT_TRUE(player->Open(video.string(), &host, true)) << player->LastErrMsg();
        Pump(200ms);
        // The step is still pending when the pause comes: the resumed playback must not stop at
        // the next picture.
        player->StepToNextFrame();
        pause();
        player->Resume();
        Pump(400ms);
        EXPECT_FALSE(player->Paused()) << "plays on past the next picture";
        EXPECT_EQ(player->PlayState(), psResume);
        player->Stop(true);
    }
}

TEST_F(PlayerTest, SettingsSetBeforeAnOpenHoldAfterAPlaybackThatEndedOnItsOwn) {
    testmedia::ToneShape shape;
    const fs::path a = testmedia::MakeTone(Dir->path(), "settings.wav", shape);
    auto player = NewPlayer(0);
    auto stopped = [&] { return !States.empty() && States.back() == psStop; };

    // The first playback ends on its own (its PlayTime); its settings go back at its end.
    States.clear();
    CaptureTo("settings_first");
    player->SetPlayTime(200000);
    player->SetRepeatType(rtStop);
    player->set_start_time(100000);
    ASSERT_TRUE(player->Open(a.string()));
    ASSERT_TRUE(WaitPumping(stopped, 5ms, 10s));
    EXPECT_EQ(player->PlayTime(), kTimeUnset);
    EXPECT_EQ(player->start_time(), kTimeUnset);

    // The next Open plays with what was set for it.
    States.clear();
    const fs::path capture = CaptureTo("settings_second");
    player->SetPlayTime(300000);
    player->set_start_time(500000);
    player->set_wanted_audio_stream(0);
    player->SetVerticalFlip(true);
    player->SetRepeatType(rtStop);
    ASSERT_TRUE(player->Open(a.string()));
    EXPECT_EQ(player->PlayTime(), 300000);
    EXPECT_EQ(player->start_time(), 500000);
    EXPECT_EQ(player->wanted_audio_stream(), 0);
    EXPECT_TRUE(player->VerticalFlip());
    // Set while it plays: for the next Open, kept when this playback ends.
    player->set_seek_by_bytes(1);
    ASSERT_TRUE(WaitPumping(stopped, 5ms, 10s));
    player->Stop(true);
    const double seconds = testmedia::WithoutSilence(testmedia::ReadCapture(capture), 2).size() / 2 / 44100.0;
    EXPECT_NEAR(seconds, 0.32, 0.04) << "from 0.5 s to its PlayTime, not the whole second";
    EXPECT_EQ(player->PlayTime(), kTimeUnset);
    EXPECT_EQ(player->start_time(), kTimeUnset);
    EXPECT_EQ(player->wanted_audio_stream(), -1);
    EXPECT_FALSE(player->VerticalFlip());
    EXPECT_EQ(player->RepeatType(), rtStop);
    EXPECT_EQ(player->seek_by_bytes(), 1);
    player->set_seek_by_bytes(-1);
}

// A constant level makes every jump a click: the sound ramps up at the start and on resume and
// down at a pause and at the stop, by at most a 5 ms ramp's step between two frames.
TEST_F(PlayerTest, StartPauseResumeAndStopRampTheSoundInsteadOfClicking) {
    const fs::path file = Dir->path() / "level.wav";
    testmedia::MakeAudio(file, testmedia::ToneShape{}, std::vector<float>(2 * 44100 * 2, 0.5f));
    auto player = NewPlayer(0);
    const fs::path capture = CaptureTo("fades");
    ASSERT_TRUE(player->Open(file.string()));
    Pump(300ms);
    player->Pause();
    Pump(200ms);
    player->Resume();
    Pump(300ms);
    player->Stop(true);
    const std::vector<int16_t> heard = testmedia::ReadCapture(capture);
    constexpr int kLevel = 16384, kStep = kLevel / 220 + 2;  // 220 frames of 5 ms at 44.1 kHz
    size_t first = 0;
    while (first < heard.size() && heard[first] == 0) ++first;
    ASSERT_LT(first + 2 * 250, heard.size());
    EXPECT_LE(heard[first], kStep) << "the start fades in";
    EXPECT_EQ(heard[first + 2 * 230], kLevel) << "within 5 ms";
    int jump = 0, ups = 0, downs = 0;
    for (size_t i = 0; i < heard.size(); ++i) {
        const int before = i < 2 ? 0 : heard[i - 2];  // silence before the device started
        jump = std::max(jump, std::abs(heard[i] - before));
        ups += before == 0 && heard[i] != 0;
        downs += before != 0 && heard[i] == 0;
    }
    EXPECT_LE(jump, kStep);
    EXPECT_EQ(ups, 2 * 2) << "the start and the resume, in both channels";
    EXPECT_EQ(downs, 2 * 2) << "the pause and the stop, in both channels";
    EXPECT_EQ(heard.back(), 0);
}
