// The encoder component: properties, task building and option lines, runs on worker threads and
// inline, notices, pause, stop and the progress relay. Conversions use short generated tones and
// are checked by decoding the outputs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Dispatcher.h"
#include "EngineTestSupport.h"
#include "FFEncode.h"
#include "Format.h"
#include "ProbeCache.h"
#include "TestMedia.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Generous bound for a run of a few seconds of audio, also under ThreadSanitizer; only a guard
// against hanging, never a measure.
constexpr auto kRunGuard = std::chrono::milliseconds(120000);

class EncoderTest : public EncoderFixture {
protected:
    fs::path Tone(const std::string& AName, double ASeconds, double AFrequency = 440) {
        testmedia::ToneShape shape;
        shape.seconds = ASeconds;
        shape.frequency = AFrequency;
        return testmedia::MakeTone(Dir.path(), AName, shape);
    }
    bool FinalGiven() {
        std::lock_guard lock(FNoticeLock);
        return std::any_of(FNotices.begin(), FNotices.end(),
                           [](const TEncoderNotice& n) { return n.TaskIndex == -1; });
    }
    // Pumps the main thread's hand-overs until the final notice has arrived.
    bool WaitFinal() { return WaitPumping([this] { return FinalGiven(); }, 10ms, kRunGuard); }
    // A task converting AIn to AOut by option lines; its index.
    int Task(const fs::path& AIn, const fs::path& AOut, const std::string& AOutOptions = "") {
        const int i = Encoder->AddTask(AIn.string());
        EXPECT_GE(i, 0) << Encoder->LastErrMsg();
        if (i >= 0) {
            EXPECT_TRUE(Encoder->SetOutputFile(i, AOut.string(), AOutOptions))
                << Encoder->LastErrMsg();
        }
        return i;
    }
    int ConvertingTasks() {
        int n = 0;
        for (int i = 0; i < Encoder->TasksCount(); ++i) n += Encoder->Tasks(i)->Converting();
        return n;
    }
    // Every decoded chunk of an output with "AudioHook" costs 2 ms: runs last long enough for
    // intermediate progress reports.
    void SlowDown() {
        Encoder->OnAudioHook = [this](void*, int ATaskIndex, int64_t, uint8_t*, int, int, int,
                                      AVSampleFormat) {
            HookTask = ATaskIndex;
            ++HookCalls;
            std::this_thread::sleep_for(2ms);
        };
    }
    // The progress handler (on this thread) pauses the run once, at its first report before the
    // end.
    void PauseAtFirstReport() {
        Encoder->SetProgressInterval(100);
        Encoder->OnProgress = [this, paused = false](void*, PProgressInfo AInfo) mutable {
            if (AInfo->FileIndex >= 0 && !paused) {
                paused = true;
                Encoder->Pause();
            }
        };
    }
    static std::string Raised(const std::function<void()>& AAction) {
        try {
            AAction();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }

    testmedia::ScopedTempDir Dir{"encoder"};
    std::atomic<int> HookCalls{0};
    std::atomic<int> HookTask{-1};
};

}  // namespace

TEST_F(EncoderTest, DefaultsAndProgressIntervalFloorAreKept) {
    EXPECT_EQ(Encoder->Version(), "3.9");
    EXPECT_EQ(Encoder->CustomMaxFiles(), 20);
    EXPECT_TRUE(Encoder->HaltOnInvalidOption());
    EXPECT_FALSE(Encoder->Preview());
    EXPECT_FALSE(Encoder->PreviewBitmap());
    EXPECT_EQ(Encoder->ProgressInterval(), 500);
    EXPECT_EQ(Encoder->ReadTimeout(), 10000);
    EXPECT_EQ(Encoder->ThreadPriority(), tpNormal);
    EXPECT_TRUE(Encoder->TriggerEventInMainThread());
    EXPECT_EQ(Encoder->UserData(), nullptr);
    EXPECT_EQ(Encoder->Verbose(), 1);
    EXPECT_EQ(Encoder->LastErrMsg(), "");
    EXPECT_EQ(Encoder->TasksCount(), 0);
    EXPECT_NE(Encoder->Decoder(), nullptr);
    EXPECT_FALSE(Encoder->Working() || Encoder->Paused() || Encoder->Terminated());
    EXPECT_TRUE(Encoder->AVLibLoaded());

    Encoder->SetProgressInterval(50);
    EXPECT_EQ(Encoder->ProgressInterval(), 100);
    Encoder->SetProgressInterval(100);
    EXPECT_EQ(Encoder->ProgressInterval(), 100);
    Encoder->SetProgressInterval(101);
    EXPECT_EQ(Encoder->ProgressInterval(), 101);
}

TEST_F(EncoderTest, OperationsAreRefusedWhileWorkingUntilClearTasks) {
    // A run without tasks ends at once with its final notice.
    Encoder->Start(0);
    EXPECT_TRUE(Encoder->Working());
    EXPECT_TRUE(Encoder->Terminated());
    ASSERT_EQ(Notices().size(), 1u);
    EXPECT_EQ(Notices()[0].TaskIndex, -1);
    EXPECT_TRUE(Notices()[0].Finished);

    const fs::path in = Tone("in.wav", 0.5);
    const std::string file = in.string();
    EXPECT_EQ(Raised([&] { Encoder->AddTask(file); }), "Cannot AddTask while working.");
    EXPECT_EQ(Raised([&] { Encoder->AddInputFile(0, file); }), "Cannot AddInputFile while working.");
    EXPECT_EQ(Raised([&] { Encoder->SetOutputFile(0, file); }),
              "Cannot SetOutputFile while working.");
    EXPECT_EQ(Raised([&] { Encoder->Exchange(0, 1); }), "Cannot Exchange while working.");
    EXPECT_EQ(Raised([&] { Encoder->RemoveTask(0); }), "Cannot RemoveTask while working.");
    EXPECT_EQ(Raised([&] { Encoder->Start(1); }), "Cannot StartTask while working.");

    Encoder->ClearTasks();  // the run has ended: allowed
    EXPECT_FALSE(Encoder->Working() || Encoder->Terminated());
    EXPECT_GE(Encoder->AddTask(file), 0) << Encoder->LastErrMsg();
}

TEST_F(EncoderTest, InvalidInputOptionFailsAddTaskWithTheOptionMessage) {
    const fs::path in = Tone("in.wav", 0.5);
    EXPECT_EQ(Encoder->AddTask(in.string(), "bogus_option_xyz=1"), -1);
    EXPECT_EQ(Encoder->LastErrMsg(), "Unrecognized option \"bogus_option_xyz\"");
    EXPECT_EQ(Encoder->TasksCount(), 0);

    // Skipped, not fatal, when invalid options are not to halt.
    Encoder->SetHaltOnInvalidOption(false);
    EXPECT_EQ(Encoder->AddTask(in.string(), "bogus_option_xyz=1"), 0) << Encoder->LastErrMsg();

    // A file that cannot be opened: -1 with the opener's message.
    EXPECT_EQ(Encoder->AddTask((Dir / "missing.wav").string()), -1);
    EXPECT_NE(Encoder->LastErrMsg(), "");
    EXPECT_EQ(Encoder->TasksCount(), 1);
}

TEST_F(EncoderTest, SlotLimitsGiveTheMaxFilesMessages) {
    const fs::path in = Tone("in.wav", 0.5);
    Encoder->SetCustomMaxFiles(1);
    const int t = Encoder->AddTask(in.string());
    ASSERT_EQ(t, 0) << Encoder->LastErrMsg();
    EXPECT_FALSE(Encoder->AddInputFile(t, in.string()));
    EXPECT_EQ(Encoder->LastErrMsg(), "max input files 1 reached");
    ASSERT_TRUE(Encoder->SetOutputFile(t, (Dir / "a.wav").string())) << Encoder->LastErrMsg();
    EXPECT_FALSE(Encoder->SetOutputFile(t, (Dir / "b.wav").string()));
    EXPECT_EQ(Encoder->LastErrMsg(), "max output files 1 reached");
    EXPECT_THROW(Encoder->SetOutputFile(5, (Dir / "c.wav").string()), std::out_of_range);
}

TEST_F(EncoderTest, TaskListOperationsKeepOrderAndIndexes) {
    const fs::path a = Tone("a.wav", 0.5), b = Tone("b.wav", 0.5);
    ASSERT_EQ(Encoder->AddTask(a.string()), 0);
    ASSERT_EQ(Encoder->AddTask(b.string()), 1);
    TFFmpeg* first = Encoder->Tasks(0);
    TFFmpeg* second = Encoder->Tasks(1);
    EXPECT_EQ(first->Parent(), Encoder.get());
    EXPECT_EQ(first->InputOptions(0).FileName, a.string());
    Encoder->Exchange(0, 1);
    EXPECT_EQ(Encoder->GetTaskIndex(first), 1);
    EXPECT_EQ(Encoder->GetTaskIndex(second), 0);
    Encoder->RemoveTask(0);
    EXPECT_EQ(Encoder->TasksCount(), 1);
    EXPECT_EQ(Encoder->GetTaskIndex(first), 0);
    EXPECT_EQ(Encoder->GetTaskIndex(second), -1);
    EXPECT_THROW(Encoder->RemoveTask(3), std::out_of_range);
    // The slot's probe object sees the opened input.
    EXPECT_EQ(first->Decoders(0)->AudioStreamCount(), 1);
}

TEST_F(EncoderTest, SynchronousStartReturnsAfterEveryNoticeInOrder) {
    const fs::path in = Tone("in.wav", 1.0);
    for (int i = 0; i < 3; ++i) Task(in, Dir / ("out" + std::to_string(i) + ".mp3"));
    Encoder->Start(0);
    const auto n = Notices();
    ASSERT_EQ(n.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(n[i].TaskIndex, i);
        EXPECT_TRUE(n[i].Finished) << n[i].Message;
        EXPECT_FALSE(n[i].Exception) << n[i].Message;
    }
    EXPECT_EQ(n[3].TaskIndex, -1);
    EXPECT_TRUE(n[3].Finished);
    EXPECT_TRUE(Encoder->Terminated());
    for (int i = 0; i < 3; ++i) {
        const auto out = testmedia::DecodeAudio(Dir / ("out" + std::to_string(i) + ".mp3"));
        EXPECT_EQ(out.codecName, "mp3");
        EXPECT_NEAR(out.seconds(), 1.0, 0.05);
        EXPECT_NEAR(testmedia::DominantFrequency(out), 440, 2);
    }
}

TEST_F(EncoderTest, TaskWithoutOutputEndsWithItsMessageAndTheRunGoesOn) {
    // A task built with AddTask always has an input: the start check that fires is the output's.
    const fs::path in = Tone("in.wav", 0.5);
    ASSERT_EQ(Encoder->AddTask(in.string()), 0);
    Task(in, Dir / "out.wav");
    Encoder->Start(0);
    const auto n = Notices();
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(n[0].TaskIndex, 0);
    EXPECT_TRUE(n[0].Exception);
    EXPECT_FALSE(n[0].Finished);
    EXPECT_EQ(n[0].Message, "At least one output file must be specified");
    EXPECT_TRUE(Logged(llQuiet, "At least one output file must be specified"));
    EXPECT_EQ(n[1].TaskIndex, 1);
    EXPECT_TRUE(n[1].Finished) << n[1].Message;
    EXPECT_EQ(n[2].TaskIndex, -1);
    EXPECT_NEAR(testmedia::DecodeAudio(Dir / "out.wav").seconds(), 0.5, 0.01);
}

TEST_F(EncoderTest, OneThreadRunsTasksStrictlyOneAfterAnother) {
    const fs::path in = Tone("in.wav", 2.0);
    for (int i = 0; i < 3; ++i) Task(in, Dir / ("out" + std::to_string(i) + ".mp3"));
    // Progress runs on this thread: until it pumps, no task can end (each waits in its final
    // report), so the tasks started by Start are exactly those allowed to run at once.
    int most = 0;
    std::vector<int> order;
    Encoder->SetProgressInterval(100);
    Encoder->OnProgress = [&](void*, PProgressInfo AInfo) {
        most = std::max(most, ConvertingTasks());
        if (order.empty() || order.back() != AInfo->TaskIndex) order.push_back(AInfo->TaskIndex);
    };
    Encoder->Start(1);
    EXPECT_EQ(ConvertingTasks(), 1);
    EXPECT_TRUE(Encoder->Tasks(0)->Converting());
    ASSERT_TRUE(WaitFinal());
    EXPECT_EQ(most, 1);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    const auto n = Notices();
    ASSERT_EQ(n.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(n[i].TaskIndex, i);
    EXPECT_EQ(n[3].TaskIndex, -1);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(testmedia::DecodeAudio(Dir / ("out" + std::to_string(i) + ".mp3")).seconds(),
                    2.0, 0.05);
}

TEST_F(EncoderTest, TwoThreadsRunTwoTasksAtOnce) {
    const fs::path in = Tone("in.wav", 2.0);
    for (int i = 0; i < 3; ++i) Task(in, Dir / ("out" + std::to_string(i) + ".wav"));
    int most = 0;
    Encoder->SetProgressInterval(100);
    Encoder->OnProgress = [&](void*, PProgressInfo) {
        most = std::max(most, ConvertingTasks());
    };
    Encoder->Start(2);
    EXPECT_EQ(ConvertingTasks(), 2);
    EXPECT_FALSE(Encoder->Tasks(2)->Converting());
    ASSERT_TRUE(WaitFinal());
    EXPECT_EQ(most, 2);
    const auto n = Notices();
    ASSERT_EQ(n.size(), 4u);
    EXPECT_EQ(n.back().TaskIndex, -1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(n[i].Finished);
        EXPECT_NEAR(testmedia::DecodeAudio(Dir / ("out" + std::to_string(i) + ".wav")).seconds(),
                    2.0, 0.01);
    }
}

TEST_F(EncoderTest, StopMidRunNoticesEveryRemainingTaskAndLeavesNoEmptyOutput) {
    const fs::path in = Tone("in.wav", 3.0);
    std::vector<fs::path> outs;
    for (int i = 0; i < 3; ++i) {
        outs.push_back(Dir / ("out" + std::to_string(i) + ".mp3"));
        Task(in, outs.back(), "AudioHook=1");
    }
    SlowDown();
    PauseAtFirstReport();
    Encoder->Start(1);
    ASSERT_TRUE(WaitPumping([&] { return Encoder->Paused() || FinalGiven(); }, 10ms, kRunGuard));
    ASSERT_TRUE(Encoder->Paused()) << "hook calls " << HookCalls.load();
    EXPECT_EQ(Raised([&] { Encoder->ClearTasks(); }), "Cannot ClearTasks while working.");
    Encoder->Stop(true);
    ASSERT_TRUE(WaitFinal());
    const auto n = Notices();
    ASSERT_EQ(n.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(n[i].TaskIndex, i);
        EXPECT_FALSE(n[i].Finished);
        EXPECT_FALSE(n[i].Exception) << n[i].Message;
    }
    EXPECT_EQ(n[3].TaskIndex, -1);
    EXPECT_TRUE(n[3].Finished);
    for (const auto& out : outs) {
        std::error_code ec;
        EXPECT_TRUE(!fs::exists(out) || fs::file_size(out, ec) > 0) << out;
    }
    EXPECT_FALSE(fs::exists(outs[1]));
    EXPECT_FALSE(fs::exists(outs[2]));
    Encoder->ClearTasks();
    EXPECT_FALSE(Encoder->Working());
}

TEST_F(EncoderTest, PauseHoldsTheOutputStillAndResumeCompletesIt) {
    const fs::path in = Tone("in.wav", 3.0, 1000);
    const fs::path out = Dir / "out.wav";
    Task(in, out, "AudioHook=1");
    SlowDown();
    PauseAtFirstReport();
    Encoder->Start(1);
    ASSERT_TRUE(WaitPumping([&] { return Encoder->Paused() || FinalGiven(); }, 10ms, kRunGuard));
    ASSERT_TRUE(Encoder->Paused()) << "hook calls " << HookCalls.load();
    auto size = [&] { return WrittenBytes(out); };
    // Let the run reach its gate, then the size must stay where it is.
    WaitPumping([] { return false; }, 10ms, 200ms);
    const auto before = size();
    WaitPumping([] { return false; }, 10ms, 300ms);
    EXPECT_EQ(size(), before);
    EXPECT_FALSE(FinalGiven());
    EXPECT_TRUE(Encoder->Tasks(0)->Converting());
    Encoder->Resume();
    EXPECT_FALSE(Encoder->Paused());
    ASSERT_TRUE(WaitFinal());
    const auto n = Notices();
    ASSERT_EQ(n.size(), 2u);
    EXPECT_TRUE(n[0].Finished) << n[0].Message;
    const auto decoded = testmedia::DecodeAudio(out);
    EXPECT_NEAR(decoded.seconds(), 3.0, 0.01);
    EXPECT_NEAR(testmedia::DominantFrequency(decoded), 1000, 2);
    EXPECT_GT(HookCalls.load(), 0);
    EXPECT_EQ(HookTask.load(), 0);
}

TEST_F(EncoderTest, ProgressRunsOnTheMainThreadAndRisesToTheTotal) {
    const fs::path in = Tone("in.wav", 3.0);
    Task(in, Dir / "out.mp3", "AudioHook=1");
    SlowDown();
    Encoder->SetProgressInterval(100);
    std::vector<TProgressInfo> reports;  // main thread only
    std::atomic<bool> offMain{false};
    const auto mainId = std::this_thread::get_id();
    Encoder->OnProgress = [&](void* ASender, PProgressInfo AInfo) {
        if (std::this_thread::get_id() != mainId || ASender != Encoder.get()) offMain = true;
        reports.push_back(*AInfo);
    };
    const auto started = std::chrono::steady_clock::now();
    Encoder->Start(1);
    ASSERT_TRUE(WaitFinal());
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(offMain.load());
    ASSERT_GE(reports.size(), 2u);  // at least one report before the final one
    int64_t last = 0;
    for (const auto& r : reports) {
        EXPECT_EQ(r.TaskIndex, 0);
        EXPECT_GE(r.CurrentDuration, last);
        last = r.CurrentDuration;
        EXPECT_NEAR(double(r.TotalDuration), 3e6, 5e4);
        EXPECT_EQ(r.FrameNumber, -1);
    }
    EXPECT_EQ(reports.back().FileIndex, -1);
    EXPECT_NEAR(double(reports.back().CurrentDuration), 3e6, 1e5);
    EXPECT_GT(reports.back().CurrentSize, 0);
    // Reports between the start and the final one are at least ProgressInterval apart.
    const auto intervals = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
    EXPECT_LE(static_cast<int64_t>(reports.size()) - 1, intervals + 1);
}

TEST_F(EncoderTest, OptionLinesJoinedByTheMarkerSetBothOptions) {
    const fs::path in = Tone("in.wav", 1.0);
    Task(in, Dir / "out.wav", "ar=22050<CRLF>AC=1");
    Encoder->Start(0);
    ASSERT_EQ(Notices().size(), 2u);
    EXPECT_TRUE(Notices()[0].Finished) << Notices()[0].Message;
    const auto out = testmedia::DecodeAudio(Dir / "out.wav");
    EXPECT_EQ(out.sampleRate, 22050);
    EXPECT_EQ(out.channels, 1);
    EXPECT_NEAR(out.seconds(), 1.0, 0.01);
}

TEST_F(EncoderTest, MalformedTimeStartLeavesTheStartUnsetAndOneBeyondAnyMediaTimeIsRefused) {
    const fs::path in = Tone("in.wav", 2.0);
    const int bad = Encoder->AddTask(in.string(), "TimeStart=1.5s");
    ASSERT_GE(bad, 0) << Encoder->LastErrMsg();
    ASSERT_TRUE(Encoder->SetOutputFile(bad, (Dir / "bad.wav").string()));
    const int good = Encoder->AddTask(in.string(), "timestart=1000000");
    ASSERT_GE(good, 0) << Encoder->LastErrMsg();
    ASSERT_TRUE(Encoder->SetOutputFile(good, (Dir / "good.wav").string()));
    // Starts beyond any media time are refused, input and output side.
    EXPECT_EQ(Encoder->AddTask(in.string(), "TimeStart=9223372036854775806"), -1);
    EXPECT_NE(Encoder->LastErrMsg().find("Invalid duration"), std::string::npos);
    EXPECT_FALSE(Encoder->SetOutputFile(good, (Dir / "far.wav").string(),
                                        "TimeStart=-9223372036854775807"));
    EXPECT_NE(Encoder->LastErrMsg().find("Invalid duration"), std::string::npos);
    Encoder->Start(0);
    EXPECT_NEAR(testmedia::DecodeAudio(Dir / "bad.wav").seconds(), 2.0, 0.01);
    EXPECT_NEAR(testmedia::DecodeAudio(Dir / "good.wav").seconds(), 1.0, 0.05);
}

TEST_F(EncoderTest, EmptyJoinLineMergesTheInputs) {
    const fs::path a = Tone("a.wav", 1.0, 440), b = Tone("b.wav", 1.0, 880);
    const int t = Encoder->AddTask(a.string());
    ASSERT_GE(t, 0);
    ASSERT_TRUE(Encoder->AddInputFile(t, b.string())) << Encoder->LastErrMsg();
    ASSERT_TRUE(Encoder->SetOutputFile(t, (Dir / "joined.wav").string(), "Join"))
        << Encoder->LastErrMsg();
    Encoder->Start(0);
    ASSERT_EQ(Notices().size(), 2u);
    EXPECT_TRUE(Notices()[0].Finished) << Notices()[0].Message;
    const auto out = testmedia::DecodeAudio(Dir / "joined.wav");
    EXPECT_NEAR(out.seconds(), 2.0, 0.02);
    EXPECT_NEAR(testmedia::DominantFrequency(out, 0, 0.1, 0.8), 440, 2);
    EXPECT_NEAR(testmedia::DominantFrequency(out, 0, 1.1, 0.8), 880, 2);
}

TEST_F(EncoderTest, OutputRecordFieldsReachTheOutput) {
    const fs::path in = Tone("in.wav", 2.0);
    const int t = Encoder->AddTask(in.string());
    ASSERT_GE(t, 0);
    TOutputOptions o;
    o.AudioCodec = "libvorbis";
    o.AudioSampleRate = 48000;
    o.AudioChannels = 1;
    o.AudioBitrate = 96000;
    o.TimeLength = 1000000;
    o.Info.Title = "Quendral Title";
    o.Info.Album = "Quendral Album";
    o.ExtOptions = "acodec=flac";  // the record's codec wins
    ASSERT_TRUE(Encoder->SetOutputFile(t, (Dir / "out.ogg").string(), &o)) << Encoder->LastErrMsg();
    EXPECT_EQ(Encoder->Tasks(t)->OutputOptions(0).FileName, (Dir / "out.ogg").string());
    EXPECT_EQ(Encoder->Tasks(t)->TotalOutputDuration(), 1000000);
    Encoder->Start(0);
    ASSERT_EQ(Notices().size(), 2u);
    EXPECT_TRUE(Notices()[0].Finished) << Notices()[0].Message;
    const auto out = testmedia::DecodeAudio(Dir / "out.ogg");
    EXPECT_EQ(out.codecName, "vorbis");
    EXPECT_EQ(out.sampleRate, 48000);
    EXPECT_EQ(out.channels, 1);
    EXPECT_NEAR(out.seconds(), 1.0, 0.05);
    EXPECT_EQ(out.Tag("title"), "Quendral Title");
    EXPECT_EQ(out.Tag("album"), "Quendral Album");

    // A volume of 0 is applied: silence.
    Encoder->ClearTasks();
    ASSERT_EQ(Encoder->AddTask(in.string()), 0);
    TOutputOptions q;
    q.AudioVolume = 0;
    ASSERT_TRUE(Encoder->SetOutputFile(0, (Dir / "quiet.wav").string(), &q));
    Encoder->Start(0);
    EXPECT_LT(testmedia::Rms(testmedia::DecodeAudio(Dir / "quiet.wav")), 1e-4);
}

TEST_F(EncoderTest, FinalNoticeComesWhenTheRunHasEndedSoItsHandlerMayClearTheTasks) {
    const fs::path in = Tone("in.wav", 0.1);
    for (int i = 0; i < 2; ++i) Task(in, Dir / ("out" + std::to_string(i) + ".wav"));
    std::string cleared = "not called";
    std::atomic<bool> done{false};
    Encoder->OnTerminate = [&](void*, const TTerminateInfo& AInfo) {
        if (AInfo.TaskIndex != -1) return;
        cleared = Raised([&] { Encoder->ClearTasks(); });
        done = true;
    };
    Encoder->Start(2);
    ASSERT_TRUE(WaitPumping([&] { return done.load(); }, 10ms, kRunGuard));
    EXPECT_EQ(cleared, "");
    EXPECT_FALSE(Encoder->Working());
}

TEST_F(EncoderTest, DecimalRecordFieldsReachTheOptionsUnderACommaLocale) {
    // A German numeric locale compiled for this test only.
    testmedia::ScopedTempDir locales{"locale"};
    const std::string make = "localedef -i de_DE -f UTF-8 '" +
                             (locales / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    (void)std::system(make.c_str());
    setenv("LOCPATH", locales.path().c_str(), 1);
    const std::string previous = setlocale(LC_NUMERIC, nullptr);
    struct TRestore {
        std::string locale;
        ~TRestore() {
            setlocale(LC_NUMERIC, locale.c_str());
            unsetenv("LOCPATH");
        }
    } restore{previous};
    ASSERT_NE(setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    ASSERT_EQ(Format("%g", 0.5), "0,5");

    const fs::path in = Tone("in.wav", 0.2);
    const int t = Encoder->AddTask(in.string());
    ASSERT_GE(t, 0);
    TOutputOptions o;
    o.MuxDelay = 0.7;
    o.MuxPreload = 0.5;
    EXPECT_TRUE(Encoder->SetOutputFile(t, (Dir / "out.mp3").string(), &o)) << Encoder->LastErrMsg();
}

TEST_F(EncoderTest, DestroyingARunningEncoderStopsAndWaits) {
    const fs::path in = Tone("in.wav", 3.0);
    for (int i = 0; i < 2; ++i) Task(in, Dir / ("out" + std::to_string(i) + ".mp3"));
    Encoder->SetThreadPriority(tpLower);
    Encoder->Start(2);
    Encoder->Pause();
    Encoder.reset();  // must return, with every thread joined
    SUCCEED();
}

TEST_F(EncoderTest, LoweredThreadPriorityReachesTheWorker) {
    const fs::path in = Tone("in.wav", 0.5);
    Task(in, Dir / "out.wav", "AudioHook=1");
    std::atomic<int> nice{-100};
    std::atomic<bool> onWorker{true};
    const auto testThread = std::this_thread::get_id();
    Encoder->OnAudioHook = [&](void*, int, int64_t, uint8_t*, int, int, int, AVSampleFormat) {
        errno = 0;
        nice = getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
        if (std::this_thread::get_id() == testThread) onWorker = false;
    };
    Encoder->SetThreadPriority(tpLower);
    Encoder->Start(1);
    ASSERT_TRUE(WaitFinal());
    EXPECT_TRUE(onWorker.load());
    EXPECT_EQ(nice.load(), 5);
}

namespace {
size_t OpenFileCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}
// Resident memory of the process in bytes, and its address space.
size_t ResidentBytes(bool AAddressSpace = false) {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return (AAddressSpace ? pages : resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
}  // namespace

TEST_F(EncoderTest, PendingTasksHoldNoOpenFileLittleMemoryAndLeaveExistingOutputsAlone) {
    const fs::path in = Tone("in.wav", 0.05);
    const fs::path kept = Dir / "out20.mp3";
    { std::ofstream(kept) << "an older file"; }
    const size_t files = OpenFileCount(), memory = ResidentBytes();
    constexpr int kTasks = 10000;
    for (int i = 0; i < kTasks; ++i) Task(in, Dir / ("out" + std::to_string(i) + ".mp3"));
    ASSERT_EQ(Encoder->TasksCount(), kTasks);
    // Only the first tasks (16, the first to run) and the task built last keep their input and
    // their working output open.
    EXPECT_LE(OpenFileCount(), files + 2 * 17);
    const size_t grown = ResidentBytes() - std::min(memory, ResidentBytes());
    RecordProperty("ResidentGrowthKiB", std::to_string(grown >> 10));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(grown, size_t(100) << 20);  // sanitizers keep freed memory and add their own
#endif
    std::ifstream older(kept);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(older), {}), "an older file");
    size_t working = 0;
    for (const auto& e : fs::directory_iterator(Dir.path()))
        working += e.path().extension() == ".part";
    EXPECT_LE(working, 17u);
    // A pending task's records and probe still answer.
    EXPECT_EQ(Encoder->Tasks(70)->OutputOptions(0).FileName, (Dir / "out70.mp3").string());
    EXPECT_EQ(Encoder->Tasks(70)->Decoders(0)->AudioStreamCount(), 1);
}

// Also: the run keeps no ended worker thread (its stack) per job it ran.
TEST_F(EncoderTest, TwoThousandJobsRunUnderAThousandOpenFilesAndAVanishedInputFailsItsJob) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limited), 0);
    const fs::path in = Tone("in.wav", 0.05), gone = Tone("gone.wav", 0.05);
    constexpr int kJobs = 2000, kGone = 100;  // a task beyond the first ones, which stay open
    for (int i = 0; i < kJobs; ++i)
        Task(i == kGone ? gone : in,
             i == kGone ? Dir / "gone.flac" : Dir / ("out" + std::to_string(i) + ".flac"));
    fs::remove(gone);
    const size_t space = ResidentBytes(true);
    Encoder->Start(2);
    ASSERT_TRUE(WaitFinal());
    setrlimit(RLIMIT_NOFILE, &saved);
    rlimit stack{};
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &stack), 0);
    const size_t stackBytes = stack.rlim_cur == RLIM_INFINITY ? size_t(2) << 20 : stack.rlim_cur;
    EXPECT_LT(ResidentBytes(true) - std::min(space, ResidentBytes(true)), 200 * stackBytes);
    const auto n = Notices();
    ASSERT_EQ(n.size(), size_t(kJobs) + 1);
    for (const TEncoderNotice& notice : n) {
        if (notice.TaskIndex == kGone) {
            EXPECT_TRUE(notice.Exception);
            EXPECT_NE(notice.Message.find(gone.string()), std::string::npos) << notice.Message;
        } else if (notice.TaskIndex >= 0) {
            ASSERT_TRUE(notice.Finished) << notice.TaskIndex << ": " << notice.Message;
        }
    }
    EXPECT_FALSE(fs::exists(Dir / "gone.flac"));
    for (int i = 0; i < kJobs; ++i) {
        if (i == kGone) continue;
        ASSERT_EQ(testmedia::DecodeAudio(Dir / ("out" + std::to_string(i) + ".flac")).frames(),
                  2205u)
            << i;
    }
}

TEST_F(EncoderTest, StoppingALongRunNoticesEveryJobAndLeavesNoOutput) {
    // Jobs of several seconds each (with the slowed hook): none can end before the stop, however
    // slow the start under a sanitizer.
    const fs::path in = Tone("in.wav", 30.0);
    constexpr int kJobs = 2000;
    for (int i = 0; i < kJobs; ++i) Task(in, Dir / ("out" + std::to_string(i) + ".mp3"));
    SlowDown();
    Encoder->Start(2);
    const auto started = std::chrono::steady_clock::now();
    Encoder->Stop(true);
    RecordProperty("StopMilliseconds",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started)
                                      .count()));
    ASSERT_TRUE(WaitFinal());
    const auto n = Notices();
    ASSERT_EQ(n.size(), size_t(kJobs) + 1);
    EXPECT_EQ(n.back().TaskIndex, -1);
    for (int i = 0; i < kJobs; ++i) EXPECT_FALSE(n[i].Finished) << i;
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(Dir.path())) ++files;
    EXPECT_EQ(files, 1u);  // the input only
}

// The job list's probe (or a task's first open) records the codec parameters; the task's check
// and its reopen at start use them instead of probing again, and the outputs, also of jobs that
// start later in the file, are byte for byte those of a probed open.
TEST_F(EncoderTest, AProbedFileIsNotProbedAgainAndConvertsToTheSameBytes) {
    auto bytes = [](const fs::path& AFile) {
        std::ifstream f(AFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    std::vector<std::pair<fs::path, std::string>> jobs;  // input, its input option lines
    for (const char* name : {"in.wav", "in.ogg", "in.m4a", "in.flac", "in.mp3"})
        jobs.emplace_back(Tone(name, 0.2), "");
    jobs.emplace_back(testmedia::MakeVideoWithAudio(Dir.path()), "");
    jobs.emplace_back(jobs[0].first, "TimeStart=100000");
    jobs.emplace_back(jobs[4].first, "TimeStart=100000");
    auto task = [&](const std::pair<fs::path, std::string>& AJob, const fs::path& AOut) {
        const int i = Encoder->AddTask(AJob.first.string(), AJob.second);
        ASSERT_GE(i, 0) << Encoder->LastErrMsg();
        ASSERT_TRUE(Encoder->SetOutputFile(i, AOut.string())) << Encoder->LastErrMsg();
    };
    // Beyond the first sixteen, a task is closed while pending and reopened at its start.
    constexpr int kTasks = 18;
    for (const auto& job : jobs) {
        const fs::path& in = job.first;
        SCOPED_TRACE(in.filename().string() + " " + job.second);
        TProbeCache::Global().Clear();
        task(job, Dir / "probed.wav");
        Encoder->Start(0);
        Encoder->ClearTasks();
        TFFDecoder probe;
        ASSERT_TRUE(probe.LoadFile(in.string())) << probe.LastErrMsg();
        probe.CloseFile();
        const int64_t stores = TProbeCache::Global().Stores(), hits = TProbeCache::Global().Hits();
        for (int i = 0; i < kTasks; ++i) task(job, Dir / ("out" + std::to_string(i) + ".wav"));
        Encoder->Start(0);
        Encoder->ClearTasks();
        EXPECT_EQ(TProbeCache::Global().Stores(), stores);
        EXPECT_GT(TProbeCache::Global().Hits(), hits + kTasks);  // the checks and the reopens
        const std::string expected = bytes(Dir / "probed.wav");
        ASSERT_FALSE(expected.empty());
        for (int i = 0; i < kTasks; ++i)
            EXPECT_EQ(bytes(Dir / ("out" + std::to_string(i) + ".wav")), expected) << i;
    }
}

// A file rewritten after its probe (another length, or the same length at another time) is
// probed again and converts as it now is.
TEST_F(EncoderTest, AFileChangedAfterItsProbeIsProbedAgain) {
    const struct {
        double Seconds, Frequency;
    } cases[] = {{2.0, 440}, {1.0, 880}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Seconds);
        const fs::path in = Tone("in.wav", 1.0);
        TFFDecoder probe;
        ASSERT_TRUE(probe.LoadFile(in.string())) << probe.LastErrMsg();
        probe.CloseFile();
        const auto probed = fs::last_write_time(in);
        Tone("in.wav", c.Seconds, c.Frequency);
        fs::last_write_time(in, probed + 1s);
        const int64_t stores = TProbeCache::Global().Stores(), hits = TProbeCache::Global().Hits();
        Task(in, Dir / "out.wav");
        Encoder->Start(0);
        Encoder->ClearTasks();
        EXPECT_EQ(TProbeCache::Global().Hits(), hits);
        EXPECT_EQ(TProbeCache::Global().Stores(), stores + 1);
        const auto out = testmedia::DecodeAudio(Dir / "out.wav");
        EXPECT_NEAR(out.seconds(), c.Seconds, 0.01);
        EXPECT_NEAR(testmedia::DominantFrequency(out), c.Frequency, 2);
    }
}
