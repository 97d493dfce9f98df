#include <cmath>
#include <fstream>

#include "PipelineTestSupport.h"

namespace fs = std::filesystem;
using namespace testmedia;

namespace {

class PipelineTest : public EngineTest {
protected:
    ScopedTempDir dir{"pipeline"};
};

}  // namespace

TEST_F(PipelineTest, WavToMp3KeepsLengthAndFrequency) {
    ToneSpec spec;
    spec.frequency = 1000;
    spec.seconds = 3;
    const fs::path src = MakeTone(dir.path(), "tone.wav", spec);
    const fs::path out = dir.path() / "tone.mp3";
    const TTaskResult r = RunTask({{src, {}}}, out, {{"acodec", "libmp3lame"}, {"ab", "128000"}});
    ASSERT_TRUE(r.finished) << r.error;
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_EQ(a.codecName, "mp3");
    EXPECT_EQ(a.sampleRate, 44100);
    EXPECT_EQ(a.channels, 2);
    EXPECT_NEAR(a.seconds(), 3.0, 1152.0 / 44100);
    EXPECT_NEAR(DominantFrequency(a), 1000, 5);
}
