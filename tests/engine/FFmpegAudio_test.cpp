// The audio path under option values a profile's extra options or a caller can give: layouts that
// disagree with the channel count, times near the 64-bit limits, volumes far beyond full scale.
#include <cmath>
#include <fstream>

#include "PipelineTestSupport.h"

namespace fs = std::filesystem;
using namespace testmedia;

namespace {

class AudioPathTest : public EngineTest {
protected:
    ScopedTempDir dir{"audio"};
    fs::path Stereo(const std::string& AName, double ASeconds = 1.0) {
        ToneShape s;
        s.frequency = 440;
        s.seconds = ASeconds;
        return MakeTone(dir.path(), AName, s);
    }
};

}  // namespace

TEST_F(AudioPathTest, ChannelLayoutOptionKeepsFifoResamplerAndEncoderInAgreement) {
    const fs::path src = Stereo("src.wav");
    struct Case {
        const char* out;
        const char* layout;
        int channels;
        double tolerance;  // seconds
    } cases[] = {
        {"mono.wav", "mono", 1, 0},       {"mono.flac", "mono", 1, 0},
        {"mono.mp3", "mono", 1, 0.03},    {"mono.ogg", "mono", 1, 0.03},
        {"mono.m4a", "mono", 1, 0.05},    {"six.wav", "5.1", 6, 0},
        {"six.flac", "5.1", 6, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        const fs::path out = dir.path() / c.out;
        const TTaskResult r = RunTask({{src, {}}}, out, {{"channel_layout", c.layout}});
        ASSERT_TRUE(r.finished) << r.error;
        const DecodedAudio a = DecodeAudio(out);
        EXPECT_EQ(a.channels, c.channels);
        EXPECT_NEAR(a.seconds(), 1.0, c.tolerance + 1e-9);
        EXPECT_NEAR(DominantFrequency(a), 440, 2);
    }
    // On the input side the stream's own channel count decides how its data is read; the option
    // stays in force for the output.
    for (const auto& [layout, channels] : {std::pair{"mono", 1}, std::pair{"5.1", 6}}) {
        SCOPED_TRACE(std::string("input ") + layout);
        const fs::path out = dir.path() / (std::string("in-") + layout + ".wav");
        const TTaskResult r = RunTask({{src, {{"channel_layout", layout}}}}, out, {});
        ASSERT_TRUE(r.finished) << r.error;
        const DecodedAudio a = DecodeAudio(out);
        EXPECT_EQ(a.channels, channels);
        EXPECT_NEAR(a.seconds(), 1.0, 1e-9);
        EXPECT_NEAR(DominantFrequency(a), 440, 2);
    }
}

TEST_F(AudioPathTest, TimesNearThe64BitLimitsAreRefusedOrCutCleanly) {
    const fs::path src = Stereo("src.wav");
    // Option values outside any media time are refused with a message naming the option.
    for (const char* name : {"ss", "t", "itsoffset"})
        for (const char* value : {"9223372036854.775807", "-9223372036854.775807"}) {
            SCOPED_TRACE(std::string(name) + "=" + value);
            TCustomFFmpeg ff;
            const std::string e = Failure(ff, name, value);
            EXPECT_NE(e.find(name), std::string::npos) << e;
        }
    // The largest times taken: the source's samples lie 2^53 microseconds before the output
    // start, so none of them is written and nothing is read outside the decoded frames.
    const fs::path out = dir.path() / "late.wav";
    const TTaskResult r = RunTask({{src, {{"itsoffset", "-4503599627.370496"}}}}, out,
                                  {{"ss", "4503599627.370496"}});
    EXPECT_TRUE(r.built) << r.error;
    if (fs::exists(out)) {
        EXPECT_EQ(DecodeAudio(out).frames(), 0u);
    }
}

TEST_F(AudioPathTest, HugeVolumeSaturatesInsteadOfWrapping) {
    ToneShape s;
    s.frequency = 500;
    s.channels = 1;
    s.amplitude = 0.5;
    const fs::path src = MakeTone(dir.path(), "v.wav", s);
    for (const char* vol : {"1000000", "2147483647"}) {
        SCOPED_TRACE(vol);
        const fs::path out = dir.path() / (std::string("loud") + vol + ".wav");
        ASSERT_TRUE(RunTask({{src, {}}}, out, {{"vol", vol}}).finished);
        const DecodedAudio a = DecodeAudio(out);
        // Every sample but those next to the zero crossings sits at full scale, signs kept.
        size_t full = 0;
        for (float v : a.samples) full += std::fabs(v) > 0.999f;
        EXPECT_GT(full, a.samples.size() * 95 / 100);
    }
}

TEST_F(AudioPathTest, AnOutputThatReceivesNoAudioFailsNamingTheInput) {
    // Random bytes named .mp3, and a whole source outside the output window.
    const fs::path noise = dir.path() / "noise.mp3";
    {
        std::ofstream f(noise, std::ios::binary);
        uint32_t x = 12345;
        for (int i = 0; i < 65536; ++i) {
            x = x * 1664525u + 1013904223u;
            f.put(static_cast<char>(x >> 24));
        }
    }
    const fs::path src = Stereo("src.wav");
    // A FLAC file cut after its metadata: no frame at all (the FLAC encoder still ends with a
    // packet of side data only).
    const fs::path flac = Stereo("full.flac");
    std::string bytes;
    {
        std::ifstream f(flac, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), {});
    }
    size_t end = 4;  // after "fLaC": blocks of a flag-and-type byte and a 24-bit length
    for (bool last = false; !last && end + 4 <= bytes.size();) {
        last = static_cast<unsigned char>(bytes[end]) & 0x80;
        end += 4 + ((static_cast<unsigned char>(bytes[end + 1]) << 16) |
                    (static_cast<unsigned char>(bytes[end + 2]) << 8) |
                    static_cast<unsigned char>(bytes[end + 3]));
    }
    const fs::path frameless = dir.path() / "frameless.flac";
    std::ofstream(frameless, std::ios::binary) << bytes.substr(0, end);
    struct Case {
        fs::path in;
        TOptionList options;
        const char* out;
    } cases[] = {
        {noise, {}, "out.wav"},
        {src, {{"ss", "5"}}, "out.wav"},
        {src, {{"t", "-1"}}, "out.wav"},
        {src, {{"ar", "1"}}, "out.wav"},
        {frameless, {}, "out.flac"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in.filename().string() + (c.options.empty() ? "" : " " + c.options[0].first));
        const TTaskResult r = RunTask({{c.in, {}}}, dir.path() / c.out, c.options);
        EXPECT_FALSE(r.finished);
        EXPECT_NE(r.error.find(c.in.string()), std::string::npos) << r.error;
    }
}

TEST_F(AudioPathTest, EncoderGetsTheNearestSampleFormatNotItsFirst) {
    // A float source far below one 16-bit step survives in FLAC only as 32-bit samples.
    ToneShape s;
    s.frequency = 1000;
    s.amplitude = 0.00002;
    s.codec = "pcm_f32le";
    const fs::path src = MakeTone(dir.path(), "quiet.wav", s);
    const fs::path out = dir.path() / "quiet.flac";
    ASSERT_TRUE(RunTask({{src, {}}}, out, {}).finished);
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_NEAR(Rms(a), Rms(DecodeAudio(src)), 1e-6);
    EXPECT_NEAR(DominantFrequency(a), 1000, 2);
}

TEST_F(AudioPathTest, ResamplingKeepsTheHighestAudibleFrequencies) {
    ToneShape s;
    s.frequency = 19000;
    s.channels = 1;
    const fs::path src = MakeTone(dir.path(), "high.wav", s);
    const fs::path out = dir.path() / "high48.wav";
    ASSERT_TRUE(RunTask({{src, {}}}, out, {{"ar", "48000"}}).finished);
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_EQ(a.sampleRate, 48000);
    EXPECT_NEAR(20 * std::log10(Rms(a) / Rms(DecodeAudio(src))), 0.0, 1.0);  // dB
}

TEST_F(AudioPathTest, AudioHookSeesEveryChannelOfPlanarAudio) {
    // Left a tone, right silent, in Vorbis (decoded planar).
    ToneShape s;
    std::vector<float> samples;
    for (int i = 0; i < 44100; ++i) {
        samples.push_back(0.5f * std::sin(2 * M_PI * 440 * i / 44100.0));
        samples.push_back(0.0f);
    }
    const fs::path src = dir.path() / "left.ogg";
    MakeAudio(src, s, samples);
    double left = 0, right = 0;
    size_t frames = 0;
    bool packed = true;
    TCustomFFmpeg ff;
    ff.OnAudioHook = [&](int64_t, uint8_t* ASample, int ASize, int, int AChannels,
                         AVSampleFormat AFormat) {
        packed = packed && AFormat == AV_SAMPLE_FMT_FLT && AChannels == 2;
        const float* f = reinterpret_cast<const float*>(ASample);
        for (int i = 0; i + 1 < ASize / 4; i += 2) {
            left += f[i] * f[i];
            right += f[i + 1] * f[i + 1];
        }
        frames += ASize / 8;
    };
    ASSERT_TRUE(RunTask({{src, {}}}, dir.path() / "out.wav", {}, false, &ff).finished);
    EXPECT_TRUE(packed);
    EXPECT_NEAR(double(frames), 44100, 2048);
    EXPECT_NEAR(std::sqrt(left / frames), 0.5 / std::sqrt(2.0), 0.02);
    EXPECT_LT(std::sqrt(right / frames), 0.01);
}
