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
        testmedia::ToneSpec spec;
        const fs::path in = Dir / ("short-" + std::to_string(frames) + ".wav");
        std::vector<float> samples(size_t(frames) * 2);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = float(std::sin(0.06 * double(i / 2)) * 0.5);
        testmedia::MakeAudio(in, spec, samples);
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
