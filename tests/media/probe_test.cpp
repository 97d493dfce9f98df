#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Dispatcher.h"
#include "FFAPI.h"
#include "FFDecode.h"
#include "FFLoad.h"
#include "FFLog.h"
#include "FFUtils.h"
#include "ProbeCache.h"
#include "TestMedia.h"
#include "UnicodeProtocol.h"

namespace fs = std::filesystem;
using testmedia::ScopedTempDir;

namespace {

struct ProbeTest : ::testing::Test {
    static inline ScopedTempDir* Dir = nullptr;
    static void SetUpTestSuite() { Dir = new ScopedTempDir("probe"); }
    static void TearDownTestSuite() {
        delete Dir;
        Dir = nullptr;
    }
    void SetUp() override {
        SetMainThread();
        Logger.SetOnLog([this](TSender, uint32_t, TLogLevel l, const std::string& m) {
            Logged.push_back({l, m});
        });
        ASSERT_TRUE(Decoder.LoadAVLib("")) << Decoder.LastErrMsg();
    }
    bool LoggedText(TLogLevel ALevel, const std::string& AText) const {
        for (const auto& [l, m] : Logged)
            if (l == ALevel && m == AText) return true;
        return false;
    }
    TFFLogger Logger;
    std::vector<std::pair<TLogLevel, std::string>> Logged;
    TFFDecoder Decoder;
};

}  // namespace

TEST_F(ProbeTest, TaggedFileWithChaptersDescribesTagsChaptersAndStreams) {
    const fs::path file = testmedia::MakeTaggedWithChapters(Dir->path(), ".mka");
    ASSERT_TRUE(Decoder.LoadFile(file.string())) << Decoder.LastErrMsg();
    EXPECT_EQ(Decoder.FileName(), file.string());
    EXPECT_EQ(Decoder.FormatName(), "matroska,webm");
    EXPECT_EQ(Decoder.FileSize(), int64_t(fs::file_size(file)));
    EXPECT_EQ(Decoder.StreamCount(), 1);
    EXPECT_EQ(Decoder.AudioStreamCount(), 1);
    EXPECT_EQ(Decoder.VideoStreamCount(), 0);
    EXPECT_EQ(Decoder.FirstAudioStreamIndex(), 0);
    EXPECT_EQ(Decoder.FirstVideoStreamIndex(), -1);

    const TFileStreamInfo info = Decoder.FileStreamInfo();
    EXPECT_EQ(info.Title, "Test Title");
    EXPECT_EQ(info.Album, "Test Album");
    EXPECT_EQ(info.Genre, "Test Genre");
    EXPECT_EQ(info.Year, 2011);
    EXPECT_EQ(info.Track, 7);
    EXPECT_NEAR(double(info.Duration), 3e6, 0.1e6);

    const TAudioStreamInfo audio = Decoder.FirstAudioStreamInfo();
    EXPECT_EQ(audio.Channels, 2);
    EXPECT_EQ(audio.SampleRate, 44100);
    EXPECT_NE(audio.CodecName.find("vorbis"), std::string::npos) << audio.CodecName;

    const std::string text = Decoder.FileInfoText();
    EXPECT_NE(text.find("File Name: " + file.string() + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Format Long Name: Matroska / WebM\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nMetadata:\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  title           : Test Title\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  ALBUM           : Test Album\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Chapter #0: start 0.00, end 1.50\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Chapter #1: start 1.50, end 3.00\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    title           : Intro\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Stream #0, 1/1000: Audio: vorbis"), std::string::npos) << text;
    EXPECT_NE(text.find("Duration: 00:00:03."), std::string::npos) << text;
}

TEST_F(ProbeTest, ProgramsVideoAndLanguageOnlyStreams) {
    const fs::path ts = testmedia::MakeMpegTsTwoPrograms(Dir->path());
    ASSERT_TRUE(Decoder.LoadFile(ts.string())) << Decoder.LastErrMsg();
    EXPECT_EQ(Decoder.ProgramCount(), 2);
    EXPECT_EQ(Decoder.AudioStreamCount(), 2);
    std::string text = Decoder.FileInfoText();
    const size_t p1 = text.find("Program 1 ");
    const size_t p2 = text.find("Program 2 ");
    ASSERT_NE(p1, std::string::npos) << text;
    EXPECT_NE(text.find("Program 1 FFmpeg@Program One\r\n"), std::string::npos) << text;
    ASSERT_NE(p2, std::string::npos) << text;
    EXPECT_LT(p1, p2);
    EXPECT_NE(text.find("Stream #0[0x"), std::string::npos) << text;  // TS shows stream ids
    EXPECT_NE(text.find(", 1/90000: Audio: mp"), std::string::npos) << text;
    // A stream whose only tag is its language: shown in parentheses, no metadata block.
    const size_t s1 = text.find("Stream #1[0x101](eng), 1/90000: ");
    ASSERT_NE(s1, std::string::npos) << text;
    EXPECT_EQ(text.find("Metadata:", s1), std::string::npos) << text;
    // Each stream is listed once, under its program.
    EXPECT_EQ(text.find("Stream #0", text.find("Stream #0") + 1), std::string::npos) << text;

    const fs::path video = testmedia::MakeVideoWithAudio(Dir->path());
    ASSERT_TRUE(Decoder.LoadFile(video.string())) << Decoder.LastErrMsg();
    EXPECT_EQ(Decoder.VideoStreamCount(), 1);
    const TVideoStreamInfo v = Decoder.FirstVideoStreamInfo();
    EXPECT_EQ(v.Width, 160);
    EXPECT_EQ(v.Height, 120);
    EXPECT_EQ(v.FrameRate.num / std::max(1, v.FrameRate.den), 25);
    EXPECT_NEAR(double(v.DurationScaled), 2e6, 0.1e6);
    text = Decoder.FileInfoText();
    EXPECT_NE(text.find(", 25 fps, 25 tbr, "), std::string::npos) << text;
    EXPECT_TRUE(Decoder.IsVideoStream(Decoder.FirstVideoStreamIndex()));
    EXPECT_FALSE(Decoder.IsAudioStream(Decoder.FirstVideoStreamIndex()));

    const fs::path sub = testmedia::MakeWithSubtitle(Dir->path());
    ASSERT_TRUE(Decoder.LoadFile(sub.string())) << Decoder.LastErrMsg();
    EXPECT_EQ(Decoder.SubtitleStreamCount(), 1);
    EXPECT_NE(Decoder.FirstSubtitleStreamInfo().CodecName.find("SubRip"), std::string::npos);
}

TEST_F(ProbeTest, QueriesReportWhatIsMissing) {
    const fs::path video = testmedia::MakeVideoOnly(Dir->path());
    ASSERT_TRUE(Decoder.LoadFile(video.string())) << Decoder.LastErrMsg();
    const TAudioStreamInfo a = Decoder.GetAudioStreamInfo(-1);
    EXPECT_EQ(a.Channels, -1);
    EXPECT_EQ(a.CodecName, "");
    EXPECT_EQ(Decoder.LastErrMsg(), "no audio stream.");
    EXPECT_TRUE(LoggedText(llError, "no audio stream."));
    EXPECT_FALSE(Decoder.IsAudioStream(-1));
    EXPECT_EQ(Decoder.LastErrMsg(), "stream index #-1 is invalid.");
    Decoder.GetAudioStreamInfo(0);
    EXPECT_EQ(Decoder.LastErrMsg(), "stream #0 is not audio stream.");
    Decoder.GetVideoStreamInfo(5);
    EXPECT_EQ(Decoder.LastErrMsg(), "stream index #5 is invalid.");
    Decoder.GetSubtitleStreamInfo(-1);
    EXPECT_EQ(Decoder.LastErrMsg(), "no subtitle stream.");

    Decoder.CloseFile();
    EXPECT_EQ(Decoder.StreamCount(), -1);
    EXPECT_EQ(Decoder.FileSize(), -1);
    EXPECT_EQ(Decoder.FileInfoText(), "");
    EXPECT_EQ(Decoder.LastErrMsg(), "file not loaded.");
    EXPECT_TRUE(LoggedText(llWarning, "file not loaded."));
    EXPECT_EQ(Decoder.FileStreamInfo().Duration, -1);
}

TEST_F(ProbeTest, LoadFailuresCloseThePreviousFileAndSayWhy) {
    const fs::path good = testmedia::MakeTone(Dir->path(), "good.wav");
    ASSERT_TRUE(Decoder.LoadFile(good.string()));

    const fs::path missing = Dir->path() / "missing.wav";
    EXPECT_FALSE(Decoder.LoadFile(missing.string()));
    EXPECT_EQ(Decoder.LastErrMsg(), missing.string() + ": No such file or directory");
    EXPECT_TRUE(LoggedText(llError, Decoder.LastErrMsg()));
    EXPECT_EQ(Decoder.FileHandle(), nullptr);  // the first file is closed too
    EXPECT_EQ(Decoder.StreamCount(), -1);

    for (const fs::path& bad : {testmedia::MakeZeroLength(Dir->path()),
                                testmedia::MakeTextWithMediaExtension(Dir->path()),
                                testmedia::MakeTruncated(Dir->path()).headerCut}) {
        ASSERT_TRUE(Decoder.LoadFile(good.string()));
        EXPECT_FALSE(Decoder.LoadFile(bad.string())) << bad;
        EXPECT_EQ(Decoder.LastErrMsg().rfind(bad.string() + ": ", 0), 0u) << Decoder.LastErrMsg();
        EXPECT_EQ(Decoder.LastErrMsg().find("Error number"), std::string::npos)
            << Decoder.LastErrMsg();
        EXPECT_EQ(Decoder.FileHandle(), nullptr);
    }

    EXPECT_FALSE(Decoder.LoadFile(good.string(), "no-such-format"));
    EXPECT_EQ(Decoder.LastErrMsg(), "Unknown input format: no-such-format");
    EXPECT_TRUE(Decoder.LoadFile(good.string(), "wav"));
    EXPECT_EQ(Decoder.ForceFormat(), "wav");

    // A truncated but readable file opens; a non-ASCII name with blanks too.
    EXPECT_TRUE(Decoder.LoadFile(testmedia::MakeTruncated(Dir->path()).partial.string()));
    const fs::path odd = testmedia::MakeNonAsciiTone(Dir->path(), ".flac");
    ASSERT_TRUE(Decoder.LoadFile(odd.string())) << Decoder.LastErrMsg();
    EXPECT_EQ(Decoder.FileName(), odd.string());
    EXPECT_EQ(Decoder.FileSize(), int64_t(fs::file_size(odd)));
}

TEST_F(ProbeTest, ASourceThatNeverAnswersEndsAtTheTimeOutOrWhenCancelled) {
    // A named pipe that no writer ever opens blocks an open without bound.
    const fs::path fifo = Dir->path() / "silent.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Decoder.SetReadTimeout(300);
    EXPECT_FALSE(Decoder.LoadFile(fifo.string()));
    EXPECT_EQ(Decoder.LastErrMsg(), fifo.string() + ": connecting/reading timeout");

    Decoder.SetReadTimeout(0);  // waits until cancelled
    std::thread canceller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Decoder.Cancel();
    });
    EXPECT_FALSE(Decoder.LoadFile(fifo.string()));
    canceller.join();
    EXPECT_EQ(Decoder.LastErrMsg(), fifo.string() + ": connecting/reading canceled");

    // The next file opens as usual.
    Decoder.SetReadTimeout(300);
    const fs::path tone = testmedia::MakeTone(Dir->path(), "after.wav");
    EXPECT_TRUE(Decoder.LoadFile(tone.string())) << Decoder.LastErrMsg();
}

TEST_F(ProbeTest, AdoptedContextIsNotClosedByTheProbe) {
    const fs::path good = testmedia::MakeTone(Dir->path(), "adopt.wav");
    AVFormatContext* ctx = nullptr;
    ASSERT_EQ(OpenInputFile(&ctx, good.string(), nullptr, nullptr), 0);
    ASSERT_GE(avformat.avformat_find_stream_info(ctx, nullptr), 0);
    Decoder.SetFileHandle(ctx);
    EXPECT_EQ(Decoder.AudioStreamCount(), 1);
    Decoder.CloseFile();
    EXPECT_EQ(ctx->nb_streams, 1u);  // still open and ours to close
    CloseInputFile(&ctx);
}

// The cache keeps the most recently used files up to its bound and gives a file's parameters only
// to a fresh open of the same, unchanged file; files with two streams of a kind are not kept.
TEST_F(ProbeTest, TheProbeCacheKeepsTheRecentFilesAndOnlyTheirUnchangedSelves) {
    TProbeCache cache(2);
    std::vector<fs::path> files;
    for (const char* name : {"a.wav", "b.wav", "c.wav"})
        files.push_back(testmedia::MakeTone(Dir->path(), name, {}));
    auto probed = [&](const fs::path& AFile) {
        const TProbeKey key = TProbeCache::KeyOf(AFile.string());
        EXPECT_TRUE(key.Valid());
        EXPECT_TRUE(Decoder.LoadFile(AFile.string())) << Decoder.LastErrMsg();
        cache.Store(key, Decoder.FileHandle());
    };
    auto reopened = [&](const fs::path& AFile) {
        AVFormatContext* raw = nullptr;
        EXPECT_GE(OpenInputFile(&raw, AFile.string(), nullptr, nullptr), 0);
        TInputContextPtr ctx(raw);
        return ctx && cache.Apply(TProbeCache::KeyOf(AFile.string()), ctx.get()) == 1 &&
               ctx->duration == AV_TIME_BASE &&
               ctx->streams[0]->codecpar->format == AV_SAMPLE_FMT_S16;
    };
    for (const fs::path& f : files) probed(f);
    EXPECT_EQ(cache.Count(), 2u);
    EXPECT_FALSE(reopened(files[0]));
    EXPECT_TRUE(reopened(files[1]));
    probed(files[0]);  // drops c.wav, used longest ago
    EXPECT_FALSE(reopened(files[2]));
    EXPECT_TRUE(reopened(files[1]));
    fs::last_write_time(files[1], fs::last_write_time(files[1]) + std::chrono::seconds(1));
    EXPECT_FALSE(reopened(files[1]));
    probed(testmedia::MakeMpegTsTwoPrograms(Dir->path()));  // two audio streams: not recorded
    EXPECT_EQ(cache.Count(), 2u);
    EXPECT_FALSE(TProbeCache::KeyOf("pipe:0").Valid());
    EXPECT_FALSE(TProbeCache::KeyOf((Dir->path() / "missing.wav").string()).Valid());
    EXPECT_EQ(cache.Hits(), 2);
}

TEST(ProbeLibraries, MissingLibraryRaisesBeforeAnythingElse) {
    GlobalFFLoader.Unload(AllLibraries);
    TFFDecoder decoder;
    try {
        decoder.LoadFile("/nothing.wav");
        FAIL() << "no error raised";
    } catch (const ELibraryNotLoaded& e) {
        EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
    }
}

TEST(MediaTexts, SizesDurationsAndErrorCodes) {
    EXPECT_EQ(SizeText(1024), "1024 Byte");
    EXPECT_EQ(SizeText(1025), "1.00 KB");
    EXPECT_EQ(SizeText(1048576), "1024.00 KB");
    EXPECT_EQ(SizeText(1048577), "1.00 MB");
    EXPECT_EQ(SizeText(3LL << 30), "3.00 GB");
    EXPECT_EQ(DurationText(3661500000LL), "01:01:01.500");
    EXPECT_EQ(DurationText(kNoPTS), "N/A");
    EXPECT_EQ(DurationText(100LL * 3600 * 1000000), "100:00:00.000");
    EXPECT_EQ(TimeText(3725999999LL), "01:02:05");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_SUBTITLE), "Subtitle");
    EXPECT_EQ(MediaTypeName(42), "Unknown");
    EXPECT_EQ(MediaErrorText("a.mp3", AVERROR(ENOENT)), "a.mp3: No such file or directory");
    EXPECT_EQ(ErrorCodeText(AVERROR_INVALIDDATA),
              "Invalid argument / Invalid data found when processing input");
    EXPECT_EQ(ErrorCodeText(AVERROR_EOF), "End of file");
    EXPECT_EQ(ErrorCodeText(AVERROR_DEMUXER_NOT_FOUND), "Demuxer not found");
    EXPECT_EQ(ErrorCodeText(AVERROR_PATCHWELCOME), "Not yet implemented in FFmpeg");
    EXPECT_EQ(ErrorCodeText(-10040), "Message too long");
    EXPECT_EQ(ErrorCodeText(-10071), "Object is remote");
    EXPECT_EQ(ErrorCodeText(-11001), "WSAHOST_NOT_FOUND");
    EXPECT_EQ(ErrorCodeText(-41), "Error number -41 occurred");
    EXPECT_EQ(MetadataKeyName("TIT2"), "title");
    EXPECT_EQ(MetadataKeyName("tit2"), "tit2");
    EXPECT_EQ(MetadataKeyName("Author"), "artist");
}
