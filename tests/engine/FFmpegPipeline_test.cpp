#include <cmath>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FFDecode.h"
#include "FFUtils.h"
#include "Platform.h"
#include "PipelineTestSupport.h"
#include "SilentServer.h"
#include "WorkingFiles.h"

namespace fs = std::filesystem;
using namespace testmedia;

namespace {

class PipelineTest : public EngineTest {
protected:
    ScopedTempDir dir{"pipeline"};

    fs::path Tone(const std::string& AName, double AFreq, double ASeconds, int ARate = 44100,
                  int AChannels = 2, double AAmplitude = 0.5) {
        ToneShape s;
        s.frequency = AFreq;
        s.seconds = ASeconds;
        s.sampleRate = ARate;
        s.channels = AChannels;
        s.amplitude = AAmplitude;
        return MakeTone(dir.path(), AName, s);
    }
    // An open of a source that never delivers: the read time-out abandons it, and without a
    // time-out a stop request does. The log handler uses the interrupt registry itself (as a
    // handler that probes a file would): a line logged under the registry's lock deadlocks.
    void ExpectOpenAbandoned(const std::string& AName) {
        TheLogger()->SetOnLog([this](TSender, uint32_t, TLogLevel ALevel, const std::string& AMsg) {
            GlobalInterruptCB.Add(CurrentThreadID(), this, nullptr);
            GlobalInterruptCB.Remove(CurrentThreadID(), this, nullptr);
            std::lock_guard lock(FLock);
            FLines.emplace_back(ALevel, AMsg);
        });
        for (const int timeout : {300, 0}) {
            SCOPED_TRACE(timeout);
            TCustomFFmpeg ff;
            ff.SetReadTimeout(timeout);
            auto open = std::async(std::launch::async, [&] { return ff.OpenInput(AName); });
            if (timeout == 0) {
                EXPECT_EQ(open.wait_for(std::chrono::milliseconds(700)),
                          std::future_status::timeout);
                ff.RequestStop();
            }
            ASSERT_EQ(open.wait_for(std::chrono::seconds(20)), std::future_status::ready);
            EXPECT_FALSE(open.get());
        }
        EXPECT_TRUE(Logged(llInfo, "connecting/reading/writing timeout"));
    }
    static std::string FloatOption(double AValue) {
        std::ostringstream text;
        text << AValue;
        return text.str();
    }
    static std::string Bytes(const fs::path& AFile) {
        std::ifstream f(AFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

}  // namespace

TEST_F(PipelineTest, WavToMp3KeepsLengthAndFrequency) {
    const fs::path src = Tone("tone.wav", 1000, 3);
    const std::string before = Bytes(src);
    const fs::path out = dir.path() / "tone.mp3";
    const TTaskResult r = RunTask({{src, {}}}, out, {{"acodec", "libmp3lame"}, {"ab", "128000"}});
    ASSERT_TRUE(r.finished) << r.error;
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_EQ(a.codecName, "mp3");
    EXPECT_EQ(a.sampleRate, 44100);
    EXPECT_EQ(a.channels, 2);
    EXPECT_NEAR(a.seconds(), 3.0, 1152.0 / 44100);
    EXPECT_NEAR(DominantFrequency(a), 1000, 2);
    EXPECT_EQ(Bytes(src), before);
    // The final report closes the run: input index -1, the whole duration reached.
    ASSERT_FALSE(r.reports.empty());
    EXPECT_EQ(r.reports.back().FileIndex, -1);
    EXPECT_NEAR(double(r.reports.back().CurrentDuration), 3e6, 0.05e6);
    EXPECT_EQ(r.reports.back().FrameNumber, -1);
    EXPECT_TRUE(Logged(llVerbose, "muxing overhead"));
    EXPECT_TRUE(Logged(llVerbose, "  Stream #0.0 -> #0.0 (audio)"));
}

TEST_F(PipelineTest, RateChannelAndFormatChangesKeepTheSignal) {
    const fs::path src = Tone("src.flac", 440, 2, 44100, 2);
    struct Case {
        const char* name;
        TOptionList options;
        int rate, channels;
        const char* codec;
        double lengthTolerance;  // seconds
    } cases[] = {
        {"down.mp3", {{"ar", "22050"}, {"ac", "1"}}, 22050, 1, "mp3", 1152.0 / 22050},
        {"up.ogg", {{"ar", "48000"}, {"acodec", "libvorbis"}}, 48000, 2, "vorbis", 0.0},
        {"surround.wav", {{"ac", "6"}}, 44100, 6, "pcm_s16le", 0.0},
        {"float.wav", {{"acodec", "pcm_f32le"}}, 44100, 2, "pcm_f32le", 0.0},
        {"same.flac", {}, 44100, 2, "flac", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir.path() / c.name;
        const TTaskResult r = RunTask({{src, {}}}, out, c.options);
        ASSERT_TRUE(r.finished) << r.error;
        const DecodedAudio a = DecodeAudio(out);
        EXPECT_EQ(a.codecName, c.codec);
        EXPECT_EQ(a.sampleRate, c.rate);
        EXPECT_EQ(a.channels, c.channels);
        EXPECT_NEAR(a.seconds(), 2.0, c.lengthTolerance + 1e-9);
        EXPECT_NEAR(DominantFrequency(a), 440, 2);
    }
    // A lossless conversion with only the sample format changed is exact.
    const DecodedAudio orig = DecodeAudio(src);
    EXPECT_TRUE(SamplesEqual(orig, DecodeAudio(dir.path() / "float.wav"), 1e-6f));
    EXPECT_TRUE(SamplesEqual(orig, DecodeAudio(dir.path() / "same.flac"), 0.0f));
}

TEST_F(PipelineTest, VolumeScalesAndClips) {
    const fs::path src = Tone("v.wav", 500, 1, 44100, 1, 0.4);
    const double rms = Rms(DecodeAudio(src));
    struct Case {
        int volume;
        double factor;
    } cases[] = {{0, 0.0}, {128, 0.5}, {256, 1.0}, {512, 2.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.volume);
        const fs::path out = dir.path() / ("vol" + std::to_string(c.volume) + ".wav");
        const TTaskResult r = RunTask({{src, {}}}, out, {{"vol", std::to_string(c.volume)}});
        ASSERT_TRUE(r.finished) << r.error;
        EXPECT_NEAR(Rms(DecodeAudio(out)), rms * c.factor, 0.002);
    }
    // Doubling a sine of amplitude 0.8 clips its peaks at full scale.
    const fs::path loud = Tone("loud.wav", 500, 1, 44100, 1, 0.8);
    const fs::path out = dir.path() / "clipped.wav";
    ASSERT_TRUE(RunTask({{loud, {}}}, out, {{"vol", "512"}}).finished);
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_NEAR(Peak(a), 1.0, 1e-4);
    size_t atMax = 0;
    for (float v : a.samples) atMax += std::fabs(v) > 0.9999f;
    EXPECT_GT(atMax, a.samples.size() / 10);
    // Decoders that give float samples are scaled in float: MP3 in, WAV out.
    const fs::path mp3 = dir.path() / "v.mp3";
    ASSERT_TRUE(RunTask({{src, {}}}, mp3, {}).finished);
    const fs::path half = dir.path() / "half.wav";
    ASSERT_TRUE(RunTask({{mp3, {}}}, half, {{"vol", "128"}}).finished);
    EXPECT_NEAR(Rms(DecodeAudio(half)), Rms(DecodeAudio(mp3)) / 2, 0.003);
}

TEST_F(PipelineTest, TrimByInputStartAndRecordingTimeIsSampleExact) {
    const fs::path src = Tone("long.wav", 300, 10, 44100, 2);
    // Input start 2.5 s (seek), length 3 s: exactly 3 s of samples in a PCM output.
    const fs::path wav = dir.path() / "cut.wav";
    TTaskResult r = RunTask({{src, {{"ss", "2.5"}}}}, wav, {{"t", "3"}});
    ASSERT_TRUE(r.finished) << r.error;
    DecodedAudio a = DecodeAudio(wav);
    EXPECT_EQ(a.frames(), size_t(3 * 44100));
    // The first sample is the source's sample at 2.5 s.
    const DecodedAudio orig = DecodeAudio(src);
    EXPECT_NEAR(a.samples[0], orig.samples[size_t(2.5 * 44100) * 2], 1e-4);
    EXPECT_NEAR(a.samples[1000], orig.samples[size_t(2.5 * 44100) * 2 + 1000], 1e-4);
    // An output start (decode and drop) gives the same cut; lossy outputs within one frame.
    const fs::path mp3 = dir.path() / "cut.mp3";
    r = RunTask({{src, {}}}, mp3, {{"ss", "2.5"}, {"t", "3"}});
    ASSERT_TRUE(r.finished) << r.error;
    a = DecodeAudio(mp3);
    EXPECT_NEAR(a.seconds(), 3.0, 1152.0 / 44100);
    // A 30 s limit on a 60 s source ends after 30 s of input.
    const fs::path sixty = Tone("sixty.flac", 300, 60, 8000, 1);
    const fs::path half = dir.path() / "half.flac";
    r = RunTask({{sixty, {}}}, half, {{"t", "30"}});
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_EQ(DecodeAudio(half).frames(), size_t(30 * 8000));
}

TEST_F(PipelineTest, MergeOfThreeInputsIsContinuousAndSumsTheLengths) {
    const fs::path a = Tone("a.wav", 300, 1.0, 44100, 2);
    const fs::path b = Tone("b.mp3", 600, 1.5, 44100, 2);
    const fs::path c = Tone("c.flac", 900, 2.0, 22050, 1);
    const fs::path out = dir.path() / "Joined.wav";
    TCustomFFmpeg ff;
    const TTaskResult r = RunTask({{a, {}}, {b, {}}, {c, {}}}, out, {{"ar", "44100"}, {"ac", "2"}},
                                  true, &ff);
    ASSERT_TRUE(r.finished) << r.error;
    const DecodedAudio j = DecodeAudio(out);
    EXPECT_EQ(j.sampleRate, 44100);
    EXPECT_EQ(j.channels, 2);
    EXPECT_NEAR(j.seconds(), 4.5, 0.002);
    EXPECT_NEAR(DominantFrequency(j, 0, 0.1, 0.8), 300, 2);
    EXPECT_NEAR(DominantFrequency(j, 0, 1.1, 1.3), 600, 2);
    EXPECT_NEAR(DominantFrequency(j, 0, 2.6, 1.8), 900, 2);
    // No gap of silence at the joins.
    for (double at : {1.0, 2.5}) {
        const size_t first = size_t((at - 0.01) * 44100) * 2, last = size_t((at + 0.01) * 44100) * 2;
        float peak = 0;
        size_t quiet = 0;
        for (size_t i = first; i < last; i += 2) {
            peak = std::max(peak, std::fabs(j.samples[i]));
            quiet = std::fabs(j.samples[i]) < 1e-4f ? quiet + 1 : 0;
            EXPECT_LT(quiet, 30u) << "silence at " << at;
        }
        EXPECT_GT(peak, 0.3f);
    }
    // Progress named each input in turn, then the final report.
    std::set<int> seen;
    for (const auto& p : r.reports) seen.insert(p.FileIndex);
    EXPECT_TRUE(seen.count(-1));
    EXPECT_EQ(r.reports.back().FileIndex, -1);
    EXPECT_NEAR(double(r.reports.back().TotalDuration), 4.5e6, 0.05e6);
}

TEST_F(PipelineTest, InputsThatCannotBeConvertedFailClearly) {
    // Video only, video disabled as the program does: the audio kind is dropped and nothing is
    // left.
    const fs::path video = MakeVideoOnly(dir.path());
    TTaskResult r = RunTask({{video, {}}}, dir.path() / "v.mp3", {{"vn", "1"}});
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(r.error, "Output file #0 does not contain any stream");
    EXPECT_FALSE(fs::exists(dir.path() / "v.mp3"));
    // Not media.
    r = RunTask({{MakeTextWithMediaExtension(dir.path()), {}}}, dir.path() / "t.wav", {});
    EXPECT_FALSE(r.built);
    EXPECT_NE(r.error.find("notes.mp3"), std::string::npos) << r.error;
    EXPECT_FALSE(fs::exists(dir.path() / "t.wav"));
    // Zero length and a header cut short.
    r = RunTask({{MakeZeroLength(dir.path()), {}}}, dir.path() / "z.wav", {});
    EXPECT_FALSE(r.built);
    EXPECT_FALSE(r.error.empty());
    const TruncatedFiles t = MakeTruncated(dir.path());
    r = RunTask({{t.headerCut, {}}}, dir.path() / "h.wav", {});
    EXPECT_FALSE(r.built);
    // A truncated MP3 converts what it holds.
    r = RunTask({{t.partial, {}}}, dir.path() / "p.wav", {});
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_NEAR(DecodeAudio(dir.path() / "p.wav").seconds(), 1.6, 0.3);
    // Unknown encoder and unknown output format.
    const fs::path tone = Tone("t.wav", 440, 0.5);
    r = RunTask({{tone, {}}}, dir.path() / "x.mp3", {{"acodec", "nosuchcodec"}});
    EXPECT_EQ(r.error, "new_audio_stream fail: Unknown encoder 'nosuchcodec'");
    r = RunTask({{tone, {}}}, dir.path() / "x.nosuchext", {});
    EXPECT_EQ(r.error, "Unable to find a suitable output format for '" +
                           (dir.path() / "x.nosuchext").string() + "'");
    // A missing folder and a read-only folder.
    r = RunTask({{tone, {}}}, dir.path() / "missing" / "x.wav", {});
    EXPECT_FALSE(r.built);
    EXPECT_NE(r.error.find("missing"), std::string::npos);
}

TEST_F(PipelineTest, AnOutputThatIsTheSourceIsRefused) {
    const fs::path src = Tone("self.wav", 440, 0.5);
    const std::string before = Bytes(src);
    const TTaskResult r = RunTask({{src, {}}}, src, {});
    EXPECT_FALSE(r.built);
    EXPECT_NE(r.error.find("source would be overwritten"), std::string::npos) << r.error;
    EXPECT_EQ(Bytes(src), before);
    // The same file under another spelling of its path.
    const fs::path other = dir.path() / "." / "self.wav";
    EXPECT_FALSE(RunTask({{src, {}}}, other, {}).built);
    EXPECT_EQ(Bytes(src), before);
}

// Every open step that fails reports its own message and leaves nothing in the output's folder.
TEST_F(PipelineTest, AFailingOpenStepReportsItsMessageAndLeavesNoWorkingFile) {
    const fs::path tone = Tone("steps.wav", 440, 0.5);
    const fs::path folder = dir.path() / "steps";
    fs::create_directories(folder);
    const struct {
        TOptionList in, out;
        const char* file;
        std::string error;
    } cases[] = {
        {{{"programid", "5"}}, {}, "p.wav", "Specified program id not found"},
        {{}, {{"acodec", "nosuchcodec"}}, "c.mp3", "new_audio_stream fail: Unknown encoder 'nosuchcodec'"},
        {{}, {{"movflags", "nosuchflag"}}, "m.m4a", (folder / "m.m4a").string() + ": Invalid encoding parameters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const TTaskResult r = RunTask({{tone, c.in}}, folder / c.file, c.out);
        EXPECT_FALSE(r.built);
        EXPECT_EQ(r.error, c.error);
        EXPECT_TRUE(fs::is_empty(folder));
    }
}

TEST_F(PipelineTest, TagsAndChaptersReachTheOutput) {
    for (const char* srcExt : {".mp3", ".mka"}) {
        const fs::path src = MakeTaggedWithChapters(dir.path(), srcExt);
        for (const char* outExt : {".m4a", ".mp3", ".ogg", ".flac"}) {
            SCOPED_TRACE(std::string(srcExt) + " -> " + outExt);
            const fs::path out = dir.path() / (std::string("tagged") + srcExt + outExt);
            const TTaskResult r = RunTask({{src, {}}}, out, {});
            ASSERT_TRUE(r.finished) << r.error;
            const DecodedAudio a = DecodeAudio(out);
            EXPECT_EQ(a.Tag("title"), a.Tag("title").empty() ? "" : DecodeAudio(src).Tag("title"));
            EXPECT_FALSE(a.Tag("title").empty());
            EXPECT_EQ(a.Tag("title"), DecodeAudio(src).Tag("title"));
            EXPECT_EQ(a.Tag("artist"), DecodeAudio(src).Tag("artist"));
            EXPECT_EQ(a.Tag("album"), DecodeAudio(src).Tag("album"));
        }
    }
    // Tags kept on the Ogg stream reach an MP3's file tags.
    ToneShape s;
    s.tags = {{"title", "Stream Title"}, {"artist", "Stream Artist"}};
    const fs::path ogg = MakeTone(dir.path(), "st.ogg", s);
    const fs::path mp3 = dir.path() / "st.mp3";
    ASSERT_TRUE(RunTask({{ogg, {}}}, mp3, {}).finished);
    EXPECT_EQ(DecodeAudio(mp3).Tag("title"), "Stream Title");
    // Given metadata overrides the copied value.
    const fs::path src = MakeTaggedWithChapters(dir.path(), ".mp3");
    const fs::path out = dir.path() / "renamed.mp3";
    ASSERT_TRUE(RunTask({{src, {}}}, out, {{"metadata", "title=New"}}).finished);
    EXPECT_EQ(DecodeAudio(out).Tag("title"), "New");
    EXPECT_EQ(DecodeAudio(out).Tag("artist"), DecodeAudio(src).Tag("artist"));
}

TEST_F(PipelineTest, ClosestSupportedRateIsUsedWithAWarning) {
    const fs::path src = Tone("r.wav", 440, 0.5);
    const fs::path out = dir.path() / "r.mp3";
    ASSERT_TRUE(RunTask({{src, {}}}, out, {{"ar", "44000"}}).finished);
    EXPECT_TRUE(Logged(llWarning, "Requested sampling rate unsupported using closest supported (44100)"));
    EXPECT_EQ(DecodeAudio(out).sampleRate, 44100);
}

TEST_F(PipelineTest, AudioSyncInsertsSilenceForALateStartAndRefusesAnEndlessGap) {
    // An input whose audio starts late (time-stamp offset of the input); a gap of hours (broken
    // time stamps) fails the task instead of filling memory or the disk with silence.
    const fs::path src = Tone("late.wav", 440, 1, 44100, 1);
    for (const double offset : {0.5, 3.0, 7200.0}) {
        SCOPED_TRACE(offset);
        const fs::path out = dir.path() / ("synced-" + FloatOption(offset) + ".wav");
        const TTaskResult r = RunTask({{src, {{"itsoffset", FloatOption(offset)}, {"copyts", "1"}}}},
                                      out, {{"async", "1"}});
        if (offset > 3600) {
            EXPECT_FALSE(r.finished);
            EXPECT_NE(r.error.find(src.string() + ": audio time stamps jump by 7200 s"),
                      std::string::npos)
                << r.error;
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        ASSERT_TRUE(r.finished) << r.error;
        const DecodedAudio a = DecodeAudio(out);
        EXPECT_NEAR(a.seconds(), offset + 1, 0.002);
        DecodedAudio lead = a;
        lead.samples.resize(size_t(offset * 40000));
        EXPECT_LT(Rms(lead), 1e-4);
        EXPECT_NEAR(DominantFrequency(a, 0, offset + 0.1, 0.8), 440, 2);
    }
}

TEST_F(PipelineTest, VideoAndAudioConvertToAnotherContainer) {
    const fs::path src = MakeVideoWithAudio(dir.path());
    const fs::path out = dir.path() / "converted.mkv";
    const TTaskResult r = RunTask({{src, {}}}, out, {{"vcodec", "mpeg4"}, {"s", "80x60"}, {"r", "10"}});
    ASSERT_TRUE(r.finished) << r.error;
    // Probe the result: a video stream of the new size and the audio.
    TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile(out.string())) << probe.LastErrMsg();
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    EXPECT_EQ(probe.FirstVideoStreamInfo().Width, 80);
    EXPECT_EQ(probe.FirstVideoStreamInfo().Height, 60);
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_NEAR(a.seconds(), DecodeAudio(src).seconds(), 0.05);
    // Frames were reported while converting.
    bool framed = false;
    for (const auto& p : r.reports) framed = framed || p.FrameNumber > 0;
    EXPECT_TRUE(framed);
    // Stream copy of both kinds into another container.
    const fs::path copied = dir.path() / "copied.mkv";
    ASSERT_TRUE(RunTask({{src, {}}}, copied, {{"vcodec", "copy"}, {"acodec", "copy"}}).finished);
    EXPECT_NEAR(DecodeAudio(copied).seconds(), DecodeAudio(src).seconds(), 0.05);
    // The program's way: video disabled, audio only.
    const fs::path audio = dir.path() / "sound.mp3";
    ASSERT_TRUE(RunTask({{src, {}}}, audio, {{"vn", "1"}}).finished);
    TFFDecoder p2;
    ASSERT_TRUE(p2.LoadFile(audio.string()));
    EXPECT_EQ(p2.VideoStreamCount(), 0);
}

TEST_F(PipelineTest, StopEndsTheRunLeavesNoPartialOutputAndTimeOutZeroNeverAbandons) {
    const fs::path src = Tone("stop.flac", 440, 60, 44100, 2);
    const fs::path out = dir.path() / "stopped.mp3";
    TCustomFFmpeg ff;
    ff.SetReadTimeout(0);
    ff.SetRunsOnWorker(true);
    ASSERT_TRUE(ff.OpenInput(src.string())) << ff.LastErrMsg();
    ASSERT_GE(ff.OpenOutput(out.string(), false), 0) << ff.LastErrMsg();
    std::thread worker([&] { ff.Transcode(); });
    while (WrittenBytes(out) < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ff.RequestStop();
    worker.join();
    EXPECT_FALSE(ff.Finished());
    ff.CloseCodecs();
    ff.CloseFiles();
    // A stopped output is no finished file: nothing is left under its name or beside it.
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(WrittenBytes(out), 0u);
}

TEST_F(PipelineTest, PausedRunWritesNothingUntilResumed) {
    const fs::path src = Tone("pause.flac", 440, 30, 44100, 2);
    const fs::path out = dir.path() / "paused.wav";
    TCustomFFmpeg ff;
    ASSERT_TRUE(ff.OpenInput(src.string()));
    ASSERT_GE(ff.OpenOutput(out.string(), false), 0);
    std::thread worker([&] { ff.Transcode(); });
    while (WrittenBytes(out) < 100000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ff.SetPaused(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto size = WrittenBytes(out);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(WrittenBytes(out), size);
    ff.SetPaused(false);
    worker.join();
    EXPECT_TRUE(ff.Finished());
    ff.CloseCodecs();
    ff.CloseFiles();
    EXPECT_EQ(DecodeAudio(out).frames(), size_t(30 * 44100));
}

TEST_F(PipelineTest, NonAsciiNamesConvert) {
    const fs::path src = MakeNonAsciiTone(dir.path(), ".flac");
    const fs::path out = NonAsciiName(dir.path(), ".m4a");
    ASSERT_TRUE(RunTask({{src, {}}}, out, {}).finished);
    EXPECT_NEAR(DecodeAudio(out).seconds(), DecodeAudio(src).seconds(), 0.05);
}

TEST_F(PipelineTest, DiscTargetsOpenTheirEncodersAndMuxers) {
    const fs::path src = MakeVideoWithAudio(dir.path());
    struct Case {
        const char* target;
        const char* video;
        const char* audio;
        int height;
    } cases[] = {{"pal-vcd", "mpeg1video", "mp2", 288},
                 {"ntsc-svcd", "mpeg2video", "mp2", 480},
                 {"pal-dvd", "mpeg2video", "ac3", 576}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const fs::path out = dir.path() / (std::string(c.target) + ".mpg");
        const TTaskResult r = RunTask({{src, {}}}, out, {{"target", c.target}});
        ASSERT_TRUE(r.finished) << r.error;
        TFFDecoder probe;
        ASSERT_TRUE(probe.LoadFile(out.string())) << probe.LastErrMsg();
        EXPECT_EQ(probe.FirstVideoStreamInfo().CodecName.rfind(std::string(c.video) + "(", 0), 0u);
        EXPECT_EQ(probe.FirstVideoStreamInfo().Height, c.height);
        EXPECT_EQ(probe.FirstAudioStreamInfo().CodecName.rfind(std::string(c.audio) + "(", 0), 0u);
    }
}

TEST_F(PipelineTest, UnsupportedChannelCountsAndDamagedDataStillConvert) {
    // Six channels into an encoder that takes at most two: downmixed with a warning.
    const fs::path six = Tone("six.flac", 440, 1, 44100, 6);
    const fs::path mp3 = dir.path() / "six.mp3";
    TTaskResult r = RunTask({{six, {}}}, mp3, {});
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_TRUE(Logged(llWarning, "Requested 6 channels unsupported, using 2"));
    EXPECT_EQ(DecodeAudio(mp3).channels, 2);
    // An MP3 with garbage in its middle: the damaged part is skipped, the rest converted.
    const fs::path src = Tone("good.mp3", 440, 4);
    std::string bytes = Bytes(src);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; ++i) bytes[i] = char(i * 7919);
    const fs::path bad = dir.path() / "damaged.mp3";
    std::ofstream(bad, std::ios::binary) << bytes;
    const fs::path out = dir.path() / "repaired.wav";
    r = RunTask({{bad, {}}}, out, {});
    ASSERT_TRUE(r.finished) << r.error;
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_GT(a.seconds(), 3.0);
    EXPECT_NEAR(DominantFrequency(a, 0, 0.2, 1.0), 440, 2);
    // With xerror a decoding error ends the task instead.
    r = RunTask({{bad, {}}}, dir.path() / "strict.wav", {{"xerror", "1"}});
    if (!r.finished) {
        EXPECT_NE(r.error.find("Error while decoding stream #0.0 (audio)"), std::string::npos)
            << r.error;
    }
}

TEST_F(PipelineTest, SubtitlesAreEncodedOrCopiedAndTwoPassWritesItsLog) {
    const fs::path src = MakeWithSubtitle(dir.path());
    for (const char* codec : {"ass", "copy"}) {
        SCOPED_TRACE(codec);
        const fs::path out = dir.path() / (std::string("sub-") + codec + ".mkv");
        const TTaskResult r = RunTask({{src, {}}}, out, {{"scodec", codec}});
        ASSERT_TRUE(r.finished) << r.error;
        TFFDecoder probe;
        ASSERT_TRUE(probe.LoadFile(out.string())) << probe.LastErrMsg();
        EXPECT_EQ(probe.SubtitleStreamCount(), 1);
        EXPECT_EQ(probe.AudioStreamCount(), 1);
    }
    // Two passes over a video: pass 1 writes "<prefix>-0.log", pass 2 reads it.
    const fs::path video = MakeVideoWithAudio(dir.path());
    const std::string prefix = (dir.path() / "twopass").string();
    for (const char* pass : {"1", "2"}) {
        SCOPED_TRACE(pass);
        const fs::path out = dir.path() / (std::string("pass") + pass + ".avi");
        const TTaskResult r = RunTask({{video, {}}}, out,
                                      {{"vcodec", "mpeg4"}, {"b", "200000"}, {"an", "1"},
                                       {"pass", pass}, {"passlogfile", prefix}});
        ASSERT_TRUE(r.finished) << r.error;
        EXPECT_GT(fs::file_size(prefix + "-0.log"), 0u);
    }
    fs::remove(prefix + "-0.log");
    const TTaskResult r = RunTask({{video, {}}}, dir.path() / "pass3.avi",
                                  {{"vcodec", "mpeg4"}, {"pass", "2"}, {"passlogfile", prefix}});
    EXPECT_EQ(r.error, "Cannot read log file " + prefix + "-0.log for pass-2 encoding");
}

TEST_F(PipelineTest, TenMinutesOfWavBecomeTenMinutesOfMp3) {
    const fs::path src = Tone("ten.wav", 700, 600, 8000, 1);
    const fs::path out = dir.path() / "ten.mp3";
    ASSERT_TRUE(RunTask({{src, {}}}, out, {{"ab", "32000"}}).finished);
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_EQ(a.sampleRate, 8000);
    EXPECT_NEAR(double(a.frames()), 600.0 * 8000, 576);
    EXPECT_NEAR(DominantFrequency(a, 0, 300, 2), 700, 2);
    EXPECT_NEAR(DominantFrequency(a, 0, 597, 2), 700, 2);
}


TEST_F(PipelineTest, ReadTimeOutAbandonsABlockedOpenAndZeroWaitsForAStop) {
    SilentServer server;
    ExpectOpenAbandoned(server.Url());
}

TEST_F(PipelineTest, VideoHooksSeeAndChangeFramesAndPreviewBitmapsArrive) {
    const fs::path src = MakeVideoWithAudio(dir.path());
    const fs::path out = dir.path() / "hooked.mkv";
    TCustomFFmpeg ff;
    int inputCalls = 0, outputCalls = 0, previews = 0;
    ff.OnVideoInputHook = [&](THookInfo& AInfo) {
        ++inputCalls;
        EXPECT_EQ(AInfo.Bitmap->Width, 160);
        EXPECT_EQ(AInfo.Bitmap->BitsPixel, 24);
        std::fill(AInfo.Bitmap->Pixels.begin(), AInfo.Bitmap->Pixels.end(), 0);  // black
        AInfo.Update = true;
    };
    ff.OnVideoOutputHook = [&](THookInfo& AInfo) {
        ++outputCalls;
        EXPECT_EQ(AInfo.Bitmap->Width, 80);
        // A black input frame stays black after scaling.
        int bright = 0;
        for (uint8_t v : AInfo.Bitmap->Pixels) bright += v > 40;
        EXPECT_EQ(bright, 0);
        AInfo.StopHook = true;  // no further calls
    };
    ff.SetPostHook(phBitmap, true);
    ff.PreviewInterval = 0;
    ff.OnPreviewBitmap = [&](const TPreviewInfo& AInfo) {
        ++previews;
        EXPECT_EQ(AInfo.Bitmap->Height, 60);
    };
    const TTaskResult r = RunTask({{src, {}}}, out, {{"vcodec", "mpeg4"}, {"s", "80x60"}}, false, &ff);
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_GT(inputCalls, 10);
    EXPECT_EQ(outputCalls, 1);
    EXPECT_GT(previews, 10);
    // The same hooks on a copied video stream are refused.
    TCustomFFmpeg copy;
    copy.OnVideoInputHook = [](THookInfo&) {};
    const TTaskResult c = RunTask({{src, {}}}, dir.path() / "c.mkv", {{"vcodec", "copy"}}, false, &copy);
    EXPECT_EQ(c.error, "-vcodec copy and VideoHook are incompatible (frames are not decoded)");
}

TEST_F(PipelineTest, AFullDiskFailsTheRunInsteadOfReportingSuccess) {
    // /dev/full refuses every write with "No space left on device".
    const fs::path small = Tone("small.wav", 440, 0.1);  // fits in the write buffer
    TTaskResult r = RunTask({{small, {}}}, "/dev/full", {{"f", "wav"}});
    EXPECT_FALSE(r.finished);
    EXPECT_NE(r.error.find("No space left on device"), std::string::npos) << r.error;
    const fs::path large = Tone("large.wav", 440, 5);
    r = RunTask({{large, {}}}, "/dev/full", {{"f", "wav"}});
    EXPECT_FALSE(r.finished);
    EXPECT_NE(r.error.find("No space left on device"), std::string::npos) << r.error;
}

TEST_F(PipelineTest, AnExistingOutputStaysUntouchedUntilTheNewOneIsCompleteAndFailuresLeaveNothing) {
    const fs::path a = Tone("a.wav", 440, 0.5), b = Tone("b.wav", 880, 0.5);
    struct Case {
        const char* name;
        std::vector<TTaskInput> inputs;
        TOptionList options;
        bool join, succeeds;
    } cases[] = {
        {"single", {{a, {}}}, {}, false, true},
        {"single-fails", {{a, {}}}, {{"ss", "5"}}, false, false},
        {"merged", {{a, {}}, {b, {}}}, {}, true, true},
        {"merged-fails", {{a, {}}, {b, {}}}, {{"t", "-1"}}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir.path() / (std::string(c.name) + ".wav");
        {
            std::ofstream(out, std::ios::binary) << "an older file";
        }
        const TTaskResult r = RunTask(c.inputs, out, c.options, c.join);
        EXPECT_EQ(r.finished, c.succeeds) << r.error;
        if (c.succeeds)
            EXPECT_NEAR(DecodeAudio(out).seconds(), 0.5 * c.inputs.size(), 0.01);
        else
            EXPECT_EQ(Bytes(out), "an older file");
        EXPECT_TRUE(fs::exists(out));
        EXPECT_TRUE(WorkingFiles(dir.path()).empty());  // no working file left beside it
    }
}

TEST_F(PipelineTest, TwoProcessesWritingOneOutputNameNeverShareAWorkingFile) {
    // A second instance of the program is a forked copy: same heap addresses, same counters.
    // Both open the output before either writes, then convert at the same time.
    const fs::path low = Tone("low.flac", 440, 10), high = Tone("high.flac", 1760, 10);
    const fs::path out = dir.path() / "same.wav";
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    TCustomFFmpeg ff;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    const bool built = ff.OpenInput((child == 0 ? high : low).string()) &&
                       ff.OpenOutput(out.string(), false) >= 0;
    char c = 0;
    if (child == 0) {
        if (write(toParent[1], "r", 1) != 1 || read(toChild[0], &c, 1) != 1) _exit(2);
    } else {
        EXPECT_EQ(read(toParent[0], &c, 1), 1);
        EXPECT_EQ(write(toChild[1], "g", 1), 1);
    }
    bool finished = false;
    std::string error;
    try {
        if (built) ff.Transcode();
        finished = ff.Finished();
        ff.CloseCodecs();
        ff.CloseFiles();
    } catch (const std::exception& e) {
        finished = false;
        error = e.what();
    }
    if (child == 0) _exit(built && finished ? 0 : 1);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(built && finished) << ff.LastErrMsg() << error;
    // One complete conversion is kept, never a mixture of the two.
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_EQ(a.frames(), size_t(10 * 44100));
    const double first = DominantFrequency(a, 0, 0, 0.5);
    EXPECT_TRUE(std::abs(first - 440) < 20 || std::abs(first - 1760) < 20) << first;
    for (double at = 0.5; at < 10; at += 0.5) EXPECT_NEAR(DominantFrequency(a, 0, at, 0.5), first, 20) << at;
    EXPECT_TRUE(WorkingFiles(dir.path()).empty());
}

TEST_F(PipelineTest, AWorkingFileRemovedOrReplacedDuringTheRunFailsTheJobAndKeepsNothing) {
    for (const bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replaced" : "removed");
        const fs::path src = Tone("long.flac", 440, 20);
        const fs::path out = dir.path() / "vanish.wav";
        TCustomFFmpeg ff;
        ASSERT_TRUE(ff.OpenInput(src.string()));
        ASSERT_GE(ff.OpenOutput(out.string(), false), 0);
        const std::vector<fs::path> working = WorkingFiles(dir.path());
        ASSERT_EQ(working.size(), 1u);
        std::thread worker([&] { ff.Transcode(); });
        while (WrittenBytes(out) < 100000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ff.SetPaused(true);
        fs::remove(working[0]);
        if (replace) std::ofstream(working[0], std::ios::binary) << "another writer's file";
        ff.SetPaused(false);
        worker.join();
        ff.CloseCodecs();
        std::string error;
        try {
            ff.CloseFiles();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_FALSE(ff.Finished());
        EXPECT_NE(error.find(working[0].string()), std::string::npos) << error;
        EXPECT_NE(error.find("removed or replaced"), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(out));
        // Another writer's file under the working name is not ours to remove.
        EXPECT_EQ(replace ? Bytes(working[0]) : "", replace ? "another writer's file" : "");
        EXPECT_EQ(fs::exists(working[0]), replace);
        fs::remove(working[0]);
    }
}

TEST_F(PipelineTest, OutputNamesOfUpTo255BytesConvertWithSeekingMuxers) {
    const fs::path src = Tone("src.flac", 440, 0.5);
    std::string accented;
    for (int i = 0; i < 125; ++i) accented += "\xc3\xa9";  // 250 bytes
    for (const std::string& name : {std::string(251, 'a') + ".wav", accented + "x.m4a",
                                    std::string(251, 'b') + ".mp4"}) {
        SCOPED_TRACE(name.substr(name.size() - 4));
        ASSERT_EQ(name.size(), 255u);
        const fs::path out = dir.path() / name;
        const TTaskResult r = RunTask({{src, {}}}, out, {});
        ASSERT_TRUE(r.finished) << r.error;
        EXPECT_NEAR(DecodeAudio(out).seconds(), 0.5, 0.03);
        EXPECT_TRUE(WorkingFiles(dir.path()).empty());
    }
}

TEST_F(PipelineTest, StaleWorkingFilesOfDeadProcessesAreRemovedOthersKept) {
    const fs::path folder = dir.path() / "stale";
    fs::create_directories(folder);
    long pidMax = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
    ASSERT_GT(pidMax, 0);
    const fs::path dead = folder / WorkingFileName(pidMax, 7);  // no process has this pid
    const fs::path live = folder / WorkingFileName(CurrentProcessID(), 7);
    const fs::path foreign = folder / (".qac-" + std::to_string(pidMax) + "-x.part");
    const fs::path output = folder / "done.mp3";
    for (const fs::path& f : {dead, live, foreign, output}) std::ofstream(f) << "x";
    // Files of another user stay, dead process or not.
    EXPECT_EQ(RemoveStaleWorkingFiles(folder.string(), CurrentUserID() + 1), 0);
    EXPECT_TRUE(fs::exists(dead));
    EXPECT_EQ(RemoveStaleWorkingFiles(folder.string()), 1);
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(live) && fs::exists(foreign) && fs::exists(output));
    EXPECT_TRUE(Logged(llInfo, "Removed the working file " + dead.string()));
    EXPECT_EQ(RemoveStaleWorkingFiles((folder / "missing").string()), 0);
}

TEST_F(PipelineTest, MergedOutputPlacesEveryInputsChaptersAtItsOffset) {
    const fs::path src = MakeTaggedWithChapters(dir.path(), ".mka");  // 3 s, chapters at 0, 1.5
    const fs::path out = dir.path() / "joined.mka";
    ASSERT_TRUE(RunTask({{src, {}}, {src, {}}}, out, {}, true).finished);
    const DecodedAudio a = DecodeAudio(out);
    EXPECT_NEAR(a.seconds(), 6.0, 0.05);
    ASSERT_EQ(a.chapterStarts.size(), 4u);
    const double expected[] = {0.0, 1.5, 3.0, 4.5};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(a.chapterStarts[i], expected[i], 0.05) << i;
}

TEST_F(PipelineTest, ReadTimeOutAndStopApplyToANamedPipeAndAWriterThatDeliversConverts) {
    const fs::path fifo = dir.path() / "pipe.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ExpectOpenAbandoned(fifo.string());  // no writer ever comes
    const fs::path named = dir.path() / "pipe:2.wav";  // a name handed over as a Unicode URL
    ASSERT_EQ(mkfifo(named.c_str(), 0600), 0);
    ExpectOpenAbandoned(named.string());
    // A writer that delivers: the pipe converts like a file.
    const std::string wav = Bytes(Tone("piped.wav", 440, 1.0));
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << wav; });
    const TTaskResult r = RunTask({{fifo, {{"f", "wav"}}}}, dir.path() / "from-pipe.flac", {});
    writer.join();
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_NEAR(DecodeAudio(dir.path() / "from-pipe.flac").seconds(), 1.0, 1e-9);
}

TEST_F(PipelineTest, AFileThatTakesTheOutputsNameDuringTheRunIsReplacedKeptOrNumberedPastAsAsked) {
    const fs::path src = Tone("src.wav", 440, 0.5);
    const struct {
        TExistingOutput what;
        bool finished;
        const char* written;  // the converted output's name; the other file keeps its bytes
    } cases[] = {{eoReplace, true, "appeared.wav"}, {eoKeep, false, ""}, {eoNumber, true, "appeared (2).wav"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.what));
        const fs::path out = dir.path() / "appeared.wav";
        fs::remove(dir.path() / "appeared (2).wav");
        fs::remove(out);
        TCustomFFmpeg ff;
        ASSERT_TRUE(ff.OpenInput(src.string()));
        ASSERT_GE(ff.OpenOutput(out.string(), false), 0);
        ff.SetExistingOutput(c.what);
        std::ofstream(out, std::ios::binary) << "made meanwhile";  // after the plan, before the end
        bool finished = false;
        std::string error;
        try {
            ff.Transcode();
            finished = ff.Finished();
            ff.CloseCodecs();
            ff.CloseFiles();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(finished && error.empty(), c.finished) << error;
        if (c.finished) {
            EXPECT_EQ(ff.WrittenFiles(), std::vector<std::string>{(dir.path() / c.written).string()});
            EXPECT_NEAR(DecodeAudio(dir.path() / c.written).seconds(), 0.5, 0.01);
        } else {
            EXPECT_NE(error.find("appeared during the run and is kept"), std::string::npos) << error;
        }
        if (c.what != eoReplace) {
            EXPECT_EQ(Bytes(out), "made meanwhile");
        }
        EXPECT_TRUE(WorkingFiles(dir.path()).empty());
    }
}
