// Loudness normalisation and ReplayGain tags: outputs are measured independently by the ffmpeg
// command-line tool's ebur128 filter.
#include <cmath>
#include <filesystem>
#include <random>

#include "Dispatcher.h"
#include "EngineTestSupport.h"
#include "FFEncode.h"
#include "TestMedia.h"

namespace fs = std::filesystem;

namespace {

using testmedia::CliLoudness;
using TMeasured = testmedia::Loudness;

class LoudnessTest : public EncoderFixture {
protected:
    void SetUp() override {
        EncoderFixture::SetUp();
        Encoder->OnTerminate = [this](void*, const TTerminateInfo& AInfo) {
            if (AInfo.TaskIndex >= 0 && !AInfo.Finished) Failures += AInfo.ExceptionMsg + ";";
        };
    }

    fs::path Tone(const std::string& AName, double AAmplitude, double ASeconds = 4.0) {
        testmedia::ToneShape shape;
        shape.seconds = ASeconds;
        shape.frequency = 1000;
        shape.amplitude = AAmplitude;
        return testmedia::MakeTone(Dir.path(), AName, shape);
    }
    // Quiet noise with a full-scale click every second: loud peaks, little loudness.
    fs::path Clicks(const std::string& AName) {
        testmedia::ToneShape shape;
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
        std::vector<float> samples(size_t(shape.sampleRate) * 4 * 2);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = noise(rng);
        for (size_t s = 0; s < samples.size(); s += size_t(shape.sampleRate) * 2)
            samples[s] = samples[s + 1] = 1.0f;
        const fs::path out = Dir / AName;
        testmedia::MakeAudio(out, shape, samples);
        return out;
    }
    // Converts AIn (every file of it merged when more than one) to AOut with the record AOutput;
    // true when the task finished.
    bool Convert(const std::vector<fs::path>& AIn, const fs::path& AOut, TOutputOptions AOutput) {
        Encoder->ClearTasks();
        Failures.clear();
        const int t = Encoder->AddTask(AIn[0].string());
        EXPECT_GE(t, 0) << Encoder->LastErrMsg();
        for (size_t i = 1; i < AIn.size(); ++i)
            EXPECT_TRUE(Encoder->AddInputFile(t, AIn[i].string(), "")) << Encoder->LastErrMsg();
        AOutput.Join = AIn.size() > 1;
        EXPECT_TRUE(Encoder->SetOutputFile(t, AOut.string(), &AOutput)) << Encoder->LastErrMsg();
        Encoder->Start(0);
        return Failures.empty();
    }
    static TOutputOptions Target(double ALufs) {
        TOutputOptions o;
        o.LoudnessTarget = ALufs;
        o.AudioBitrate = 192000;  // the program's default; lame loses ~0.3 dB of a tone at it
        return o;
    }

    testmedia::ScopedTempDir Dir{"loudness"};
    std::string Failures;
};

}  // namespace

TEST_F(LoudnessTest, QuietAndLoudTonesReachEachTargetWithTheTruePeakBelowTheLimit) {
    // -30 dBFS and 0 dBFS peaks, to MP3 (lossy) and FLAC.
    const fs::path inputs[] = {Tone("quiet.wav", std::pow(10.0, -30.0 / 20)), Tone("loud.wav", 1.0)};
    for (const fs::path& in : inputs)
        for (const double target : {-14.0, -16.0, -23.0})
            for (const char* ext : {".mp3", ".flac"}) {
                SCOPED_TRACE(in.filename().string() + " " + std::to_string(target) + ext);
                const fs::path out = Dir / (in.stem().string() + std::to_string(int(target)) + ext);
                ASSERT_TRUE(Convert({in}, out, Target(target))) << Failures;
                const TMeasured m = CliLoudness(out);
                EXPECT_NEAR(m.integrated, target, 0.5);
                EXPECT_LE(m.truePeak, -1.0);
                // A tone's sample peak leaves room enough: no true-peak pass.
                EXPECT_TRUE(std::isnan(Encoder->Tasks(0)->MeasuredLoudness().TruePeak));
            }
}

TEST_F(LoudnessTest, TheTruePeakLimitLowersTheGainAndTheVolumeStaysAnOffset) {
    const fs::path clicks = Clicks("clicks.wav");
    ASSERT_TRUE(Convert({clicks}, Dir / "clicks-out.wav", Target(-14)));
    const TMeasured m = CliLoudness(Dir / "clicks-out.wav");
    EXPECT_LT(m.integrated, -16.0) << "the peaks forbid reaching the target";
    EXPECT_NEAR(m.truePeak, -1.0, 0.2);
    EXPECT_NEAR(Encoder->Tasks(0)->MeasuredLoudness().TruePeak, 0.0, 0.2) << "measured";

    // Half the volume: 6 dB under the target.
    const fs::path tone = Tone("tone.wav", 0.1);
    TOutputOptions half = Target(-23);
    half.AudioVolume = 128;
    ASSERT_TRUE(Convert({tone}, Dir / "half.wav", half));
    EXPECT_NEAR(CliLoudness(Dir / "half.wav").integrated, -29.0, 0.5);
}

TEST_F(LoudnessTest, OffAndTagsOnlyLeaveTheAudioBitExactAndTagsHoldTheMeasuredValues) {
    const fs::path in = Tone("in.wav", 0.25);
    TOutputOptions off;
    off.AudioVolume = 200;  // the integer volume path
    ASSERT_TRUE(Convert({in}, Dir / "off.flac", off));
    TOutputOptions plain;
    plain.AudioVolume = 200;
    plain.LoudnessTarget = 0;
    ASSERT_TRUE(Convert({in}, Dir / "plain.flac", plain));
    const auto a = testmedia::DecodeAudio(Dir / "off.flac");
    EXPECT_TRUE(testmedia::SamplesEqual(a, testmedia::DecodeAudio(Dir / "plain.flac"), 0.0f));

    const TMeasured source = CliLoudness(in);
    for (const char* ext : {".flac", ".mp3", ".ogg", ".opus", ".m4a"}) {
        SCOPED_TRACE(ext);
        TOutputOptions tags;
        tags.ReplayGainTags = true;
        const fs::path out = Dir / (std::string("tags") + ext);
        TOutputOptions untagged;
        const fs::path ref = Dir / (std::string("ref") + ext);
        ASSERT_TRUE(Convert({in}, out, tags)) << Failures;
        ASSERT_TRUE(Convert({in}, ref, untagged)) << Failures;
        const auto tagged = testmedia::DecodeAudio(out);
        EXPECT_TRUE(testmedia::SamplesEqual(tagged, testmedia::DecodeAudio(ref), 0.0f));
        const std::string gain = tagged.Tag("REPLAYGAIN_TRACK_GAIN");
        ASSERT_FALSE(gain.empty());
        EXPECT_NEAR(std::stod(gain), -18.0 - source.integrated, 0.5) << gain;
        EXPECT_NE(gain.find(" dB"), std::string::npos);
        const std::string peak = tagged.Tag("REPLAYGAIN_TRACK_PEAK");
        ASSERT_FALSE(peak.empty());
        EXPECT_NEAR(20 * std::log10(std::stod(peak)), source.truePeak, 0.3) << peak;
    }
}

TEST_F(LoudnessTest, AMergeGetsOneGainForTheWholeOutput) {
    const fs::path quiet = Tone("a.wav", 0.05, 3.0), loud = Tone("b.wav", 0.5, 3.0);
    ASSERT_TRUE(Convert({quiet, loud}, Dir / "merged.wav", Target(-16)));
    const auto out = testmedia::DecodeAudio(Dir / "merged.wav");
    ASSERT_NEAR(out.seconds(), 6.0, 0.05);
    // The parts keep their 20 dB difference: one gain.
    testmedia::DecodedAudio first = out, second = out;
    const size_t half = out.samples.size() / 2;
    first.samples.resize(half);
    second.samples.erase(second.samples.begin(), second.samples.begin() + half);
    EXPECT_NEAR(20 * std::log10(testmedia::Rms(second) / testmedia::Rms(first)), 20.0, 0.2);
    EXPECT_NEAR(CliLoudness(Dir / "merged.wav").integrated, -16.0, 0.5);
}

TEST_F(LoudnessTest, TheMeasuringPassReportsProgressAndCanBeStopped) {
    // The first report comes from the measuring pass (at most its share of the whole); stopped
    // there, the task ends without an output.
    const fs::path in = Tone("long.wav", 0.3, 120.0);
    Encoder->SetProgressInterval(100);
    int64_t first = -1, total = -1;
    Encoder->OnProgress = [&](void*, PProgressInfo AInfo) {
        if (first >= 0 || AInfo->FileIndex < 0) return;
        first = AInfo->CurrentDuration;
        total = AInfo->TotalDuration;
        Encoder->Stop(false);
    };
    EXPECT_FALSE(Convert({in}, Dir / "stopped.mp3", Target(-14)));
    ASSERT_GT(total, 0);
    EXPECT_GT(first, 0);
    EXPECT_LE(first, total / 4);
    EXPECT_FALSE(fs::exists(Dir / "stopped.mp3"));
}
