#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "Assert.h"
#include "Dispatcher.h"
#include "FFAPI.h"
#include "FFLoad.h"
#include "SilentServer.h"
#include "FFLog.h"
#include "FFPtr.h"
#include "Platform.h"
#include "UnicodeProtocol.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

fs::path FreshDir(const std::string& AName) {
    fs::path dir = fs::temp_directory_path() / ("qac-loader-" + AName + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

struct LoaderTest : ::testing::Test {
    void SetUp() override {
        SetMainThread();
        GlobalFFLoader.SetLibraryPath("");
        for (int i = 0; i < kLibraryCount; ++i) GlobalFFLoader.SetLibraryName(TLibrary(i), "");
    }
};

}  // namespace

TEST_F(LoaderTest, LoadsBindsAndUnloadsSetsWithoutReferenceCounting) {
    ASSERT_TRUE(GlobalFFLoader.Load(EncoderLibraries)) << GlobalFFLoader.LastErrMsg();
    EXPECT_TRUE(GlobalFFLoader.Loaded(EncoderLibraries));
    EXPECT_FALSE(GlobalFFLoader.Loaded(avDevice));
    EXPECT_EQ(int(avcodec.avcodec_version() >> 16), LIBAVCODEC_VERSION_MAJOR);
    EXPECT_NE(libc.vsnprintf, nullptr);
    EXPECT_EQ(GlobalFFLoader.LibraryFileName(avCodec), "libavcodec.so.59");
    EXPECT_EQ(GlobalFFLoader.LibraryFileName(myUtil), "libc.so.6");

    // A second load binds nothing again and keeps the codec lock, even while a thread holds it.
    void* handle = GlobalFFLoader.Status(avCodec).Handle;
    TFFLogger logger;
    logger.SetLogLevel(llDebug);
    logger.SetTriggerEventInMainThread(false);
    std::mutex linesLock;  // guards lines
    std::vector<std::string> lines;
    logger.SetOnLog([&](TSender, uint32_t, TLogLevel, const std::string& m) {
        std::lock_guard lock(linesLock);
        lines.push_back(m);
    });
    std::atomic<bool> held{false}, reloaded{false};
    std::thread holder([&] {
        TCodecLockGuard guard;
        held = true;
        while (!reloaded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(GlobalFFLoader.Load(DecoderLibraries));
    reloaded = true;
    holder.join();
    EXPECT_EQ(GlobalFFLoader.Status(avCodec).Handle, handle);
    {
        TCodecLockGuard guard;
    }
    std::lock_guard lock(linesLock);
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& l : lines) EXPECT_EQ(l.find("destory"), std::string::npos) << l;
    // Both holders took the same mutex.
    EXPECT_EQ(lines[0].rfind("obtain codec mutex [", 0), 0u) << lines[0];
    EXPECT_EQ(lines[2], lines[0]);
    EXPECT_EQ(lines[3].rfind("release codec mutex [", 0), 0u) << lines[3];
    logger.SetLogLevel(llInfo);

    // Unloading the probe's set leaves the rest of the encoder's set loaded.
    GlobalFFLoader.Unload(DecoderLibraries);
    EXPECT_TRUE(GlobalFFLoader.Loaded(avFilter));
    for (TLibrary l : {avCodec, avCore, avFormat, avUtil, swScale, myUtil})
        EXPECT_FALSE(GlobalFFLoader.Loaded(l)) << l;
    EXPECT_EQ(avcodec.avcodec_open2, nullptr);
    EXPECT_NE(libc.vsnprintf, nullptr);  // logging keeps the process's own formatter
    GlobalFFLoader.Unload(AllLibraries);

    EXPECT_THROW(GlobalFFLoader.Load(TLibraries{}), EAssertionFailed);
    EXPECT_THROW(GlobalFFLoader.Loaded(TLibraries{}), EAssertionFailed);
    EXPECT_THROW(GlobalFFLoader.Unload(TLibraries{}), EAssertionFailed);
}

TEST_F(LoaderTest, MissingLibraryOrSymbolFailsWithClearMessageAndUnloadsTheSet) {
    const fs::path dir = FreshDir("missing");
    GlobalFFLoader.SetLibraryPath(dir.string());
    GlobalFFLoader.SetLibraryName(avDevice, "libquendral-none.so.1");
    EXPECT_FALSE(GlobalFFLoader.Load(AllLibraries));
    const std::string msg = GlobalFFLoader.LastErrMsg();
    EXPECT_EQ(msg.rfind("Load library " + dir.string() + "/libquendral-none.so.1 error: ", 0), 0u)
        << msg;
    EXPECT_NE(msg.find("cannot open shared object file"), std::string::npos) << msg;
    // Members loaded earlier in the same call were unloaded again.
    EXPECT_FALSE(GlobalFFLoader.Loaded(avCodec));
    GlobalFFLoader.SetLibraryName(avDevice, "");

    // A library lacking a required function: the name of the function and the file.
    fs::copy_file(FAKE_AVCODEC_PATH, dir / "libavcodec.so.59");
    EXPECT_FALSE(GlobalFFLoader.Load(avCodec));
    EXPECT_EQ(GlobalFFLoader.LastErrMsg().rfind(
                  "Load function avcodec_alloc_context3@libavcodec.so.59 error: ", 0),
              0u)
        << GlobalFFLoader.LastErrMsg();
    EXPECT_EQ(GlobalFFLoader.Status(avCodec).Handle, nullptr);
    EXPECT_EQ(avcodec.avcodec_version, nullptr);  // nothing half-bound stays behind
    EXPECT_THROW(BindVariable("libx.so", GlobalFFLoader.Status(avCodec).Handle, "x", false),
                 std::exception);
    fs::remove_all(dir);
}

TEST_F(LoaderTest, FileNamesForTheLibrariesAndTheirLimits) {
    EXPECT_FALSE(NeedsUnicodeURL("/home/user/Music/song.mp3"));
    EXPECT_FALSE(NeedsUnicodeURL("/home/user/Señor Müller/東京.mp3"));  // UTF-8 names pass as they are
    EXPECT_TRUE(NeedsUnicodeURL("track 1: intro.mp3"));    // FFmpeg would see a protocol
    EXPECT_TRUE(NeedsUnicodeURL("/tmp/bad\xff\xfe.wav"));  // not representable
    EXPECT_FALSE(NeedsUnicodeURL("http://example.invalid/ü.mp3"));
    EXPECT_FALSE(NeedsUnicodeURL("udp://239.0.0.1:1234"));
    EXPECT_TRUE(NeedsUnicodeURL("file:a.mp3"));

    EXPECT_STREQ(MediaFileNameArg("/a/b.wav"), "/a/b.wav");
    EXPECT_STREQ(MediaFileNameArg("x:y.wav"), "unicode:utf8:x:y.wav");
    EXPECT_TRUE(IsUnicodeURL("unicode:utf8:x"));
    EXPECT_FALSE(IsUnicodeURL("unicode:utf8:"));
    EXPECT_EQ(UnicodeURLToFileName("unicode:utf8:x:y.wav"), "x:y.wav");
    EXPECT_EQ(URLToFileName("unicode:utf8:/m/ü:1.wav"), "/m/ü:1.wav");
    EXPECT_EQ(URLToFileName("/plain.wav"), "/plain.wav");

    const std::string longName = "/" + std::string(3000, 'a') + ".wav";
    EXPECT_THROW(MediaFileNameArg(longName), EFileNameTooLong);
    EXPECT_NO_THROW(MediaFileNameArg("/" + std::string(2046, 'a')));
    EXPECT_THROW(MediaFileNameArg("/" + std::string(2047, 'a')), EFileNameTooLong);

    // Each thread has its own buffer: a name converted elsewhere cannot change ours.
    const char* mine = MediaFileNameArg("/mine.wav");
    std::thread([] { MediaFileNameArg("/other.wav"); }).join();
    EXPECT_STREQ(mine, "/mine.wav");
}

TEST_F(LoaderTest, UnicodeNamesAreWrittenAndReadThroughOwnFileIO) {
    ASSERT_TRUE(GlobalFFLoader.Load(EncoderLibraries)) << GlobalFFLoader.LastErrMsg();
    const fs::path dir = FreshDir("unicode");
    const std::string name = (dir / "Größe: 東京 – take 1.wav").string();
    ASSERT_TRUE(NeedsUnicodeURL(name));

    // Write a short PCM WAV through the output helper.
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat.avformat_alloc_output_context2(&raw, nullptr, "wav", MediaFileNameArg(name)), 0);
    TOutputContextPtr out(raw);
    AVStream* st = avformat.avformat_new_stream(out.get(), nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    st->codecpar->sample_rate = 8000;
    avutil.av_channel_layout_default(&st->codecpar->ch_layout, 1);
    st->codecpar->format = AV_SAMPLE_FMT_S16;
    st->codecpar->bits_per_coded_sample = 16;
    st->codecpar->block_align = 2;
    st->codecpar->bit_rate = 128000;
    st->time_base = {1, 8000};
    ASSERT_EQ(OpenOutputFile(out.get(), name, nullptr), 0);
    ASSERT_GE(avformat.avformat_write_header(out.get(), nullptr), 0);
    TPacketPtr pkt(avcodec.av_packet_alloc());
    ASSERT_EQ(avcodec.av_new_packet(pkt.get(), 1600), 0);
    std::memset(pkt->data, 0x11, 1600);
    pkt->pts = pkt->dts = 0;
    pkt->duration = 800;
    pkt->stream_index = 0;
    ASSERT_EQ(avformat.av_interleaved_write_frame(out.get(), pkt.get()), 0);
    ASSERT_EQ(avformat.av_write_trailer(out.get()), 0);
    out.reset();
    ASSERT_TRUE(fs::exists(fs::u8path(name)));
    EXPECT_GT(fs::file_size(fs::u8path(name)), 1600u);

    AVFormatContext* in = nullptr;
    ASSERT_EQ(OpenInputFile(&in, name, nullptr, nullptr), 0);
    TInputContextPtr input(in);
    ASSERT_GE(avformat.avformat_find_stream_info(in, nullptr), 0);
    EXPECT_EQ(URLToFileName(in->url), name);
    EXPECT_EQ(in->streams[0]->codecpar->sample_rate, 8000);
    EXPECT_EQ(avformat.avio_size(in->pb), int64_t(fs::file_size(fs::u8path(name))));
    int bytes = 0;
    while (avformat.av_read_frame(in, pkt.get()) >= 0) {
        bytes += pkt->size;
        avcodec.av_packet_unref(pkt.get());
    }
    EXPECT_EQ(bytes, 1600);
    input.reset();

    // A missing file fails with "no such file".
    AVFormatContext* missing = nullptr;
    EXPECT_EQ(OpenInputFile(&missing, (dir / "nope: none.wav").string(), nullptr, nullptr),
              AVERROR(ENOENT));
    EXPECT_EQ(missing, nullptr);
    fs::remove_all(dir);
}

namespace {
bool AbortWhenSet(void* ASender) { return static_cast<std::atomic<bool>*>(ASender)->load(); }
}  // namespace

TEST_F(LoaderTest, InterruptAbortsBlockingOpenOnlyOnItsThread) {
    ASSERT_TRUE(GlobalFFLoader.Load(EncoderLibraries)) << GlobalFFLoader.LastErrMsg();
    testmedia::SilentServer server(2);
    const std::string url = server.Url();
    std::atomic<bool> stopA{false}, stopB{false}, doneA{false}, doneB{false};
    std::atomic<int> resultA{0}, resultB{0};
    auto opener = [&](std::atomic<bool>& stop, std::atomic<bool>& done, std::atomic<int>& result) {
        GlobalInterruptCB.Add(CurrentThreadID(), &stop, AbortWhenSet);
        AVFormatContext* ctx = nullptr;
        result = OpenInputFile(&ctx, url, avformat.av_find_input_format("mp3"), nullptr);
        if (ctx) CloseInputFile(&ctx);
        GlobalInterruptCB.Remove(CurrentThreadID(), &stop, AbortWhenSet);
        done = true;
    };
    std::thread a(opener, std::ref(stopA), std::ref(doneA), std::ref(resultA));
    std::thread b(opener, std::ref(stopB), std::ref(doneB), std::ref(resultB));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(doneA);
    stopA = true;
    a.join();
    EXPECT_LT(resultA, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(doneB);  // the other thread is still blocked
    stopB = true;
    b.join();
    EXPECT_LT(resultB, 0);
    EXPECT_EQ(URLInterruptCallback(), 0);
}

TEST(LoaderProcessEnd, LockManagerAnswersZeroOnceProcessEndBegan) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetMainThread();
            TFFLogger logger;
            logger.SetLogLevel(llDebug);
            int logged = 0;
            logger.SetOnLog([&](TSender, uint32_t, TLogLevel, const std::string&) { ++logged; });
            FFLoadProcessEnd();
            void* slot = nullptr;
            const int r = CodecLockManager(&slot, lockCreate) + CodecLockManager(&slot, 9);
            std::exit(r == 0 && logged == 0 && slot == nullptr ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
