// Verification of outputs: every output decoded back before it takes its name, its length and
// format checked, lossless ones compared sample for sample with the source; a failed check fails
// the task and leaves no output.
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Dispatcher.h"
#include "EngineTestSupport.h"
#include "FFEncode.h"
#include "TestMedia.h"

namespace fs = std::filesystem;

namespace {

class OutputVerifyTest : public EncoderFixture {
protected:
    void SetUp() override {
        EncoderFixture::SetUp();
        Encoder->OnProgress = [this](void*, PProgressInfo AInfo) {
            std::lock_guard lock(FNoticeLock);
            Phases.push_back(AInfo->Verifying);
        };
    }
    fs::path Tone(const std::string& AName, double ASeconds, const std::string& ACodec = "",
                  int ARate = 44100, int AChannels = 2) {
        testmedia::ToneShape shape;
        shape.seconds = ASeconds;
        shape.codec = ACodec;
        shape.sampleRate = ARate;
        shape.channels = AChannels;
        return testmedia::MakeTone(Dir.path(), AName, shape);
    }
    // Runs one task of the inputs (merged when more than one) into AOut with verification on;
    // its notice.
    TEncoderNotice Run(const std::vector<fs::path>& AInputs, const fs::path& AOut, TOutputOptions AOptions,
                      TInputOptions* AInput = nullptr) {
        FNotices.clear();
        Phases.clear();
        Encoder->ClearTasks();
        const int t = Encoder->AddTask(AInputs[0].string(), AInput);
        EXPECT_EQ(t, 0) << Encoder->LastErrMsg();
        for (size_t i = 1; i < AInputs.size(); ++i)
            EXPECT_TRUE(Encoder->AddInputFile(t, AInputs[i].string())) << Encoder->LastErrMsg();
        AOptions.VerifyOutput = true;
        AOptions.Join = AInputs.size() > 1;
        EXPECT_TRUE(Encoder->SetOutputFile(t, AOut.string(), &AOptions)) << Encoder->LastErrMsg();
        Encoder->Start(0);
        std::lock_guard lock(FNoticeLock);
        EXPECT_EQ(FNotices.size(), 2u);
        return FNotices.empty() ? TEncoderNotice{} : FNotices[0];
    }
    static TOutputOptions Codec(const std::string& ACodec) {
        TOutputOptions o;
        o.AudioCodec = ACodec;
        o.DisableVideo = true;
        return o;
    }

    testmedia::ScopedTempDir Dir{"verify"};
    std::vector<bool> Phases;  // guarded by FNoticeLock
};

}  // namespace

TEST_F(OutputVerifyTest, LosslessRoundTripsVerifyBitExact) {
    const fs::path s16 = Tone("s16.wav", 2.5);
    const fs::path s24 = Tone("s24.wav", 1.5, "pcm_s24le", 48000, 1);
    const fs::path f32 = Tone("f32.wav", 1.0, "pcm_f32le", 44100, 3);
    const fs::path f64 = Tone("f64.wav", 1.0, "pcm_f64le", 22050, 1);
    const struct {
        fs::path in;
        const char* out;
        const char* codec;
    } rows[] = {{s16, "a.wav", ""},      {s16, "a.flac", ""},   {s16, "a.m4a", "alac"},
                {s16, "a.wv", "wavpack"}, {s16, "a.aiff", ""},  {s24, "b.flac", ""},
                {s24, "b.wav", "pcm_s24le"}, {s24, "b.m4a", "alac"}, {f32, "c.wav", "pcm_f32le"},
                {f64, "d.wav", "pcm_f64le"}};
    for (const auto& r : rows) {
        const TEncoderNotice n = Run({r.in}, Dir / r.out, Codec(r.codec));
        EXPECT_TRUE(n.Finished) << r.out << ": " << n.Message;
        EXPECT_EQ(n.Verified, vrBitExact) << r.out;
        EXPECT_TRUE(Logged(llInfo, "verified bit-exact")) << r.out;
        EXPECT_TRUE(fs::exists(Dir / r.out)) << r.out;
        ClearLog();
    }
}

TEST_F(OutputVerifyTest, LossyAndChangedFormatOutputsVerifyTheirLengthOnly) {
    const fs::path in = Tone("in.wav", 2.0);
    TOutputOptions rate = Codec("");
    rate.AudioSampleRate = 22050;
    TOutputOptions mono = Codec("flac");
    mono.AudioChannels = 1;
    TOutputOptions louder = Codec("flac");
    louder.AudioVolume = 300;
    const struct {
        const char* out;
        TOutputOptions options;
    } rows[] = {{"a.mp3", Codec("libmp3lame")}, {"a.m4a", Codec("aac")},  {"a.opus", Codec("libopus")},
                {"a.ogg", Codec("libvorbis")},  {"rate.wav", rate},       {"mono.flac", mono},
                {"louder.flac", louder},         {"float.wav", Codec("pcm_f32le")}};
    for (const auto& r : rows) {
        const TEncoderNotice n = Run({in}, Dir / r.out, r.options);
        EXPECT_TRUE(n.Finished) << r.out << ": " << n.Message;
        EXPECT_EQ(n.Verified, vrLength) << r.out;
        EXPECT_TRUE(fs::exists(Dir / r.out)) << r.out;
    }
}

TEST_F(OutputVerifyTest, ATrimmedJobAndAMergeVerifyTheirLengths) {
    const fs::path a = Tone("a.wav", 2.0), b = Tone("b.wav", 1.0);
    TInputOptions trim;
    trim.TimeStart = 300000;
    TOutputOptions range = Codec("flac");
    range.TimeLength = 1200000;
    TEncoderNotice n = Run({a}, Dir / "trim.flac", range, &trim);
    EXPECT_TRUE(n.Finished) << n.Message;
    EXPECT_EQ(n.Verified, vrBitExact);
    EXPECT_EQ(testmedia::DecodeAudio(Dir / "trim.flac").frames(), 52920u);  // 1.2 s
    // A lossy trim verifies its length, also of a lossy source (its frames cut at the range).
    range.AudioCodec = "libmp3lame";
    n = Run({a}, Dir / "trim.mp3", range, &trim);
    EXPECT_TRUE(n.Finished) << n.Message;
    EXPECT_EQ(n.Verified, vrLength);
    const fs::path lossy = Tone("lossy.m4a", 2.0, "aac");
    for (const char* out : {"lossy.flac", "lossy.ogg"}) {
        range.AudioCodec = "";
        n = Run({lossy}, Dir / out, range, &trim);
        EXPECT_TRUE(n.Finished) << out << ": " << n.Message;
        EXPECT_EQ(n.Verified, vrLength) << out;
    }
    // A merge: the sum of its inputs.
    n = Run({a, b}, Dir / "joined.flac", Codec(""));
    EXPECT_TRUE(n.Finished) << n.Message;
    EXPECT_EQ(n.Verified, vrBitExact);
    EXPECT_EQ(testmedia::DecodeAudio(Dir / "joined.flac").frames(), 3u * 44100);
    n = Run({a, b}, Dir / "joined.m4a", Codec("aac"));
    EXPECT_TRUE(n.Finished) << n.Message;
    EXPECT_EQ(n.Verified, vrLength);
    // Inputs of other rates and channel counts, each part through the resampler.
    const fs::path c = Tone("c.wav", 1.3, "", 22050, 1), d = Tone("d.wav", 0.7, "", 48000, 2);
    TOutputOptions rate = Codec("flac");
    rate.AudioSampleRate = 44100;
    n = Run({a, c, d, c}, Dir / "rates.flac", rate);
    EXPECT_TRUE(n.Finished) << n.Message;
    EXPECT_EQ(n.Verified, vrLength);
}

TEST_F(OutputVerifyTest, ATruncatedOutputFailsItsJobWithTheShortfallAndLeavesNoFile) {
    const fs::path in = Tone("in.wav", 2.0);
    for (const char* out : {"cut.wav", "cut.flac", "cut.mp3", "cut.m4a"}) {
        TOutputOptions o = Codec("");
        o.VerifyTestCut = 0.5;
        const TEncoderNotice n = Run({in}, Dir / out, o);
        EXPECT_FALSE(n.Finished) << out;
        EXPECT_TRUE(n.Exception) << out;
        EXPECT_NE(n.Message.find("verification failed: "), std::string::npos) << out << ": " << n.Message;
        // A cut container either ends early (short by N samples) or no longer reads.
        EXPECT_TRUE(n.Message.find("length short by") != std::string::npos ||
                    n.Message.find("error at") != std::string::npos ||
                    n.Message.find("does not open") != std::string::npos ||
                    n.Message.find("cannot be read") != std::string::npos)
            << out << ": " << n.Message;
        EXPECT_EQ(n.Verified, vrNone) << out;
        EXPECT_TRUE(Logged(llError, "verification failed")) << out;
        EXPECT_FALSE(fs::exists(Dir / out)) << out;
        EXPECT_TRUE(WorkingFiles(Dir.path()).empty()) << out;
    }
    // An existing file of the name stays as it was.
    const fs::path kept = Dir / "kept.wav";
    fs::copy_file(in, kept);
    TOutputOptions o = Codec("");
    o.VerifyTestCut = 0.5;
    EXPECT_FALSE(Run({in}, kept, o).Finished);
    EXPECT_EQ(fs::file_size(kept), fs::file_size(in));
}

TEST_F(OutputVerifyTest, TheVerifyingPhaseIsReportedAfterTheConversionAndOnlyWhenAsked) {
    const fs::path in = Tone("in.wav", 1.0);
    Encoder->SetProgressInterval(100);
    Run({in}, Dir / "a.flac", Codec(""));
    {
        std::lock_guard lock(FNoticeLock);
        ASSERT_FALSE(Phases.empty());
        EXPECT_TRUE(Phases.back());  // the last notice is the verifying phase
        EXPECT_FALSE(Phases.front());
    }
    // Off: no verification, no phase.
    FNotices.clear();
    Phases.clear();
    Encoder->ClearTasks();
    ASSERT_EQ(Encoder->AddTask(in.string()), 0);
    TOutputOptions o = Codec("");
    ASSERT_TRUE(Encoder->SetOutputFile(0, (Dir / "b.flac").string(), &o));
    Encoder->Start(0);
    std::lock_guard lock(FNoticeLock);
    ASSERT_EQ(FNotices.size(), 2u);
    EXPECT_TRUE(FNotices[0].Finished);
    EXPECT_EQ(FNotices[0].Verified, vrNone);
    for (bool p : Phases) EXPECT_FALSE(p);
}

TEST_F(OutputVerifyTest, ADamagedLosslessOutputFailsNamingTheMismatchingSampleOrTheDecodeErrorsTime) {
    const fs::path in = Tone("in.wav", 3.0);
    // A WAV decodes whatever its bytes hold: the changed sample is found, to its block.
    TOutputOptions o = Codec("");
    o.VerifyTestFlip = 0.75;
    TEncoderNotice n = Run({in}, Dir / "flip.wav", o);
    EXPECT_FALSE(n.Finished);
    const std::string said = "verification failed: sample mismatch at sample ";
    const size_t at = n.Message.find(said);
    ASSERT_NE(at, std::string::npos) << n.Message;
    const long long sample = std::stoll(n.Message.substr(at + said.size()));
    const long long flipped = 3 * 44100 * 3 / 4;  // the frame at three quarters of the data
    EXPECT_EQ(sample % 4096, 0) << n.Message;
    EXPECT_LE(sample, flipped) << n.Message;
    EXPECT_GT(sample, flipped - 4096 - 64) << n.Message;  // the header moves it a few frames
    EXPECT_FALSE(fs::exists(Dir / "flip.wav"));
    // FLAC frames carry a checksum: the damaged one is a decode error at its time.
    o = Codec("flac");
    o.VerifyTestFlip = 0.5;
    n = Run({in}, Dir / "flip.flac", o);
    EXPECT_FALSE(n.Finished);
    EXPECT_NE(n.Message.find("verification failed: decode error at 00:00:01."), std::string::npos) << n.Message;
    EXPECT_FALSE(fs::exists(Dir / "flip.flac"));
}

TEST_F(OutputVerifyTest, TasksOnWorkerThreadsVerifyAtOnceAndHandTheirPhaseToTheMainThread) {
    const fs::path in = Tone("in.wav", 2.0);
    std::vector<bool> onMain;
    Encoder->SetProgressInterval(100);
    Encoder->OnProgress = [&](void*, PProgressInfo AInfo) {
        std::lock_guard lock(FNoticeLock);
        if (AInfo->Verifying) onMain.push_back(IsMainThread());
    };
    for (const char* out : {"a.flac", "b.wav", "c.mp3"}) {
        const int t = Encoder->AddTask(in.string());
        ASSERT_GE(t, 0) << Encoder->LastErrMsg();
        TOutputOptions o = Codec("");
        o.VerifyOutput = true;
        ASSERT_TRUE(Encoder->SetOutputFile(t, (Dir / out).string(), &o)) << Encoder->LastErrMsg();
    }
    Encoder->Start(2);
    ASSERT_TRUE(WaitPumping(
        [this] {
            std::lock_guard lock(FNoticeLock);
            return FNotices.size() == 4;
        },
        std::chrono::milliseconds(10), std::chrono::milliseconds(120000)));
    std::lock_guard lock(FNoticeLock);
    for (const TEncoderNotice& n : FNotices) {
        if (n.TaskIndex < 0) continue;
        EXPECT_TRUE(n.Finished) << n.Message;
        EXPECT_EQ(n.Verified, n.TaskIndex == 2 ? vrLength : vrBitExact) << n.TaskIndex;
    }
    EXPECT_GE(onMain.size(), 3u);  // at least the first notice of each
    for (bool m : onMain) EXPECT_TRUE(m);
}
