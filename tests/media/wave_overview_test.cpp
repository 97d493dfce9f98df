// The waveform overview decodes real generated files on its worker thread and hands the peaks
// over through the dispatcher while the test's main thread pumps.
#include <gtest/gtest.h>

#include <filesystem>

#include "Dispatcher.h"
#include "FFDecode.h"
#include "TestMedia.h"
#include "WaveOverview.h"

namespace fs = std::filesystem;
using testmedia::MakeSilenceThenTone;
using testmedia::ScopedTempDir;

namespace {

constexpr int kColumns = 100;

struct WaveOverviewTest : ::testing::Test {
    static inline ScopedTempDir* Dir = nullptr;
    static void SetUpTestSuite() { Dir = new ScopedTempDir("overview"); }
    static void TearDownTestSuite() {
        delete Dir;
        Dir = nullptr;
    }
    void SetUp() override {
        SetMainThread();
        ASSERT_TRUE(Decoder.LoadAVLib("")) << Decoder.LastErrMsg();
        Overview.SetOnPeaks([this](const std::vector<TWavePeak>& APeaks, int ADone, bool AFinished) {
            EXPECT_FALSE(Finished) << "an event after the last";
            EXPECT_GE(ADone, Done) << "the final columns went back";
            Peaks = APeaks;
            Done = ADone;
            Finished = AFinished;
            ++Events;
        });
    }
    void WaitFinished() {
        ASSERT_TRUE(WaitPumping([this] { return Finished; }, std::chrono::milliseconds(5), std::chrono::seconds(60)));
    }

    TFFDecoder Decoder;  // loads the libraries
    TWaveOverview Overview;
    std::vector<TWavePeak> Peaks;
    int Done = 0, Events = 0;
    bool Finished = false;
};

}  // namespace

TEST_F(WaveOverviewTest, SilentColumnsShowLowPeaksAndTheTonesColumnsHighOnesInEverySampleLayout) {
    const struct {
        const char* File;
        const char* Codec;  // the decoder's samples
    } cases[] = {{"s16.wav", ""},         {"u8.wav", "pcm_u8"}, {"s32.wav", "pcm_s32le"},
                 {"f64.wav", "pcm_f64le"}, {"s16.flac", ""},     {"fltp.mp3", ""}};
    for (const auto& t : cases) {
        SCOPED_TRACE(t.File);
        const fs::path file = MakeSilenceThenTone(Dir->path() / t.File, 2, 2, t.Codec);
        Finished = false;
        Done = 0;
        Overview.Start(file.string(), 4'000'000, kColumns);
        EXPECT_TRUE(Overview.Busy());
        WaitFinished();
        EXPECT_FALSE(Overview.Busy());
        EXPECT_EQ(Overview.LastErrMsg(), "");
        EXPECT_EQ(Done, kColumns);
        ASSERT_EQ(Peaks.size(), size_t{kColumns});
        // The codecs' delays and the tone's first and last cycles stay out of the judged columns.
        for (int c = 0; c < 48; ++c) {
            EXPECT_LT(Peaks[c].Max, 0.01) << "column " << c;
            EXPECT_GT(Peaks[c].Min, -0.01) << "column " << c;
        }
        for (int c = 52; c < 99; ++c) {
            EXPECT_GT(Peaks[c].Max, 0.45) << "column " << c;
            EXPECT_LT(Peaks[c].Min, -0.45) << "column " << c;
            EXPECT_LT(Peaks[c].Max, 0.55) << "column " << c;
        }
    }
}

TEST_F(WaveOverviewTest, CancelAndRestartDeliverNothingOfTheEarlierFileAndAMissingFileNamesItself) {
    const fs::path loud = MakeSilenceThenTone(Dir->path() / "loud.flac", 0, 20);
    const fs::path quiet = MakeSilenceThenTone(Dir->path() / "quiet.flac", 20, 0);
    // Cancelled at once: the thread is joined and nothing arrives, also while the test pumps.
    Overview.Start(loud.string(), 20'000'000, kColumns);
    Overview.Cancel();
    EXPECT_FALSE(Overview.Busy());
    WaitPumping([] { return false; }, std::chrono::milliseconds(5), std::chrono::milliseconds(100));
    EXPECT_EQ(Events, 0);

    // A new file while the first is computed: only the new one's peaks come.
    Overview.Start(loud.string(), 20'000'000, kColumns);
    Overview.Start(quiet.string(), 20'000'000, kColumns);
    WaitFinished();
    for (const TWavePeak& p : Peaks) EXPECT_EQ(p.Max, 0.0f);

    Finished = false;
    Overview.Start((Dir->path() / "gone.wav").string(), 1'000'000, kColumns);
    WaitFinished();
    EXPECT_NE(Overview.LastErrMsg().find("gone.wav"), std::string::npos) << Overview.LastErrMsg();

    // Destroyed while computing: joined, no event.
    bool delivered = false;
    {
        TWaveOverview running;
        running.SetOnPeaks([&](const std::vector<TWavePeak>&, int, bool) { delivered = true; });
        running.Start(loud.string(), 20'000'000, kColumns);
    }
    WaitPumping([] { return false; }, std::chrono::milliseconds(5), std::chrono::milliseconds(100));
    EXPECT_FALSE(delivered);
}

TEST_F(WaveOverviewTest, ACutFileShowsWhatCouldBeReadAndLeavesTheRestEmpty) {
    // 4 s of 440 Hz at half scale, cut to 40 % of its bytes: about 1.6 s decode.
    const fs::path partial = testmedia::MakeTruncated(Dir->path()).partial;
    Overview.Start(partial.string(), 4'000'000, kColumns);
    WaitFinished();
    EXPECT_EQ(Overview.LastErrMsg(), "");
    for (int c = 2; c < 30; ++c) EXPECT_GT(Peaks[c].Max, 0.3) << "column " << c;
    for (int c = 50; c < kColumns; ++c) EXPECT_TRUE(Peaks[c].Empty()) << "column " << c;
}

TEST_F(WaveOverviewTest, WhatLiesPastTheGivenDurationIsNotPiledIntoTheLastColumn) {
    // A container may state less than its file holds: here the tone after 2 s lies past it.
    const fs::path file = MakeSilenceThenTone(Dir->path() / "longer.wav", 2, 2);
    Overview.Start(file.string(), 2'000'000, kColumns);
    WaitFinished();
    for (const TWavePeak& p : Peaks) EXPECT_EQ(p.Max, 0.0f);
}
