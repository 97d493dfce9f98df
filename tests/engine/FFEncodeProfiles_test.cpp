// Every shipped output profile through the encoder as the conversion run uses it: very short
// inputs give their audio or fail clearly.
#include <cmath>
#include <filesystem>
#include <vector>

#include "Dispatcher.h"
#include "EngineTestSupport.h"
#include "FFEncode.h"
#include "ShippedProfiles.h"
#include "TestMedia.h"

namespace fs = std::filesystem;

namespace {

class ProfileTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetMainThread();
    }
    // Converts AIn with the profile (inline run); the task's termination notice.
    TTerminateInfo Convert(const fs::path& AIn, const TShippedProfile& AProfile,
                           const fs::path& AOut) {
        TFFEncoder encoder;
        TTerminateInfo notice{};
        notice.TaskIndex = -2;
        encoder.OnTerminate = [&notice](void*, const TTerminateInfo& AInfo) {
            if (AInfo.TaskIndex == 0) notice = AInfo;
        };
        TOutputOptions out = ProfileOutput(AProfile, AOut.string());
        const int task = encoder.AddTask(AIn.string());
        EXPECT_EQ(task, 0) << encoder.LastErrMsg();
        if (task != 0) return notice;
        EXPECT_TRUE(encoder.SetOutputFile(task, out.FileName, &out)) << encoder.LastErrMsg();
        encoder.Start(0);
        return notice;
    }
    testmedia::ScopedTempDir Dir{"profiles"};
};

}  // namespace

TEST_F(ProfileTest, VeryShortInputsGiveTheirAudioOrFailNamingTheInput) {
    for (const int frames : {1, 25, 1000}) {
        testmedia::ToneShape shape;
        const fs::path in = Dir / ("short-" + std::to_string(frames) + ".wav");
        std::vector<float> samples(size_t(frames) * 2);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = float(std::sin(0.06 * double(i / 2)) * 0.5);
        testmedia::MakeAudio(in, shape, samples);
        for (const TShippedProfile& p : ShippedProfiles()) {
            SCOPED_TRACE(p.Name + ", " + std::to_string(frames) + " frames");
            const fs::path out = Dir / ("out-" + std::to_string(frames) + "-" + p.Codec + p.Ext);
            const TTerminateInfo n = Convert(in, p, out);
            ASSERT_EQ(n.TaskIndex, 0);
            if (!n.Finished) {
                EXPECT_NE(n.ExceptionMsg.find(in.string()), std::string::npos) << n.ExceptionMsg;
                EXPECT_FALSE(fs::exists(out));
                continue;
            }
            const testmedia::DecodedAudio a = testmedia::DecodeAudio(out);
            ASSERT_GT(a.frames(), 0u);
            const double seconds = frames / 44100.0;
            if (LosslessProfile(p) && a.sampleRate == 44100)
                EXPECT_EQ(a.frames(), size_t(frames));
            else  // up to a codec frame of padding
                EXPECT_NEAR(a.seconds(), seconds, 2048.0 / a.sampleRate);
        }
    }
}

namespace {
// Containers that hold a picture (ID3v2 APIC, MP4 covr, FLAC PICTURE, Vorbis comment, Matroska
// attachment) and containers that keep tags.
bool HoldsCover(const TShippedProfile& AProfile) {
    for (const char* ext : {".mp3", ".m4a", ".m4r", ".flac", ".ogg", ".opus", ".mka"})
        if (AProfile.Ext == ext) return true;
    return false;
}
bool KeepsTags(const TShippedProfile& AProfile) {
    return AProfile.Ext != ".ac3" && AProfile.Ext != ".mp2";
}
}  // namespace

TEST_F(ProfileTest, ATaggedMp3sCoverAndTagsReachEveryOutputThatCanHoldThem) {
    const fs::path in = testmedia::MakeTaggedWithCover(Dir.path());
    const std::string cover = testmedia::CoverBytes(in);
    ASSERT_GT(cover.size(), 100u);
    const testmedia::DecodedAudio source = testmedia::DecodeAudio(in);
    for (const TShippedProfile& p : ShippedProfiles()) {
        SCOPED_TRACE(p.Name);
        const fs::path out = Dir / ("tagged-" + p.Codec + p.Ext);
        const TTerminateInfo n = Convert(in, p, out);
        ASSERT_TRUE(n.Finished) << n.ExceptionMsg;
        EXPECT_EQ(testmedia::CoverBytes(out), HoldsCover(p) ? cover : "");
        const testmedia::DecodedAudio a = testmedia::DecodeAudio(out);
        EXPECT_EQ(a.channels, 2);
        EXPECT_NEAR(a.seconds(), source.seconds(), 0.05);
        EXPECT_NEAR(testmedia::DominantFrequency(a, 0, 0.2, 1.5), 440, 2);
        if (!KeepsTags(p)) continue;
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"title", "Test Title"},
                                         {"artist", "Test Artist"},
                                         {"album", "Test Album"},
                                         {"date", "2011"},
                                         {"track", "7"},
                                         {"genre", "Test Genre"}})
            EXPECT_EQ(a.Tag(key), value) << key;
    }
}
