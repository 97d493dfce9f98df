// The encoder's run under random Start, Stop, Pause, Resume and destruction with real worker and
// notification threads; meant to be run under ThreadSanitizer and AddressSanitizer as well.
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "Dispatcher.h"
#include "EngineTestSupport.h"
#include "FFEncode.h"
#include "TestMedia.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Notices of one run, shared with its notification threads.
struct TRunNotices {
    std::mutex Lock;  // guards Indexes
    std::vector<int> Indexes;
    bool Final() {
        std::lock_guard lock(Lock);
        return !Indexes.empty() && Indexes.back() == -1;
    }
};

class EncoderStressTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetMainThread();
        TheLogger()->SetLogLevel(llInfo);
        testmedia::ToneShape s;
        s.seconds = 0.05;
        Inputs = {testmedia::MakeTone(Dir.path(), "a.wav", s),
                  testmedia::MakeTone(Dir.path(), "b.mp3", s)};
    }
    testmedia::ScopedTempDir Dir{"stress"};
    std::vector<fs::path> Inputs;
};

}  // namespace

TEST_F(EncoderStressTest, RandomStartStopPauseAndDestructionLoseNoNoticeAndLeaveNoThread) {
    std::mt19937 rng(20261209);
    auto pick = [&rng](int AFrom, int ATo) {
        return std::uniform_int_distribution<int>(AFrom, ATo)(rng);
    };
    const char* kExtensions[] = {".wav", ".mp3", ".flac"};
    for (int iter = 0; iter < 200; ++iter) {
        SCOPED_TRACE(iter);
        auto notices = std::make_shared<TRunNotices>();
        auto encoder = std::make_unique<TFFEncoder>();
        encoder->SetProgressInterval(100);
        encoder->OnProgress = [](void*, PProgressInfo) {};
        encoder->OnTerminate = [notices](void*, const TTerminateInfo& AInfo) {
            std::lock_guard lock(notices->Lock);
            notices->Indexes.push_back(AInfo.TaskIndex);
        };
        const int tasks = pick(1, 4);
        for (int t = 0; t < tasks; ++t) {
            const int i = encoder->AddTask(Inputs[pick(0, 1)].string());
            ASSERT_GE(i, 0) << encoder->LastErrMsg();
            const fs::path out =
                Dir / (std::to_string(iter) + "-" + std::to_string(t) + kExtensions[pick(0, 2)]);
            ASSERT_TRUE(encoder->SetOutputFile(i, out.string())) << encoder->LastErrMsg();
        }
        encoder->Start(pick(1, 3));
        for (int step = pick(0, 4); step > 0; --step) {
            std::this_thread::sleep_for(std::chrono::microseconds(pick(0, 3000)));
            switch (pick(0, 3)) {
                case 0: encoder->Pause(); break;
                case 1: encoder->Resume(); break;
                case 2: encoder->Stop(false); break;
                default: CheckSynchronize(); break;
            }
        }
        if (pick(0, 2) == 0) {
            encoder.reset();  // mid-run: stops, waits and joins every thread
            continue;
        }
        if (pick(0, 1) == 0) encoder->Stop(pick(0, 1) == 1);
        encoder->Resume();
        ASSERT_TRUE(WaitPumping([&] { return notices->Final(); }, 1ms, 120000ms));
        // Each task's notice once, the final notice last.
        std::lock_guard lock(notices->Lock);
        std::map<int, int> seen;
        for (int i : notices->Indexes) ++seen[i];
        ASSERT_EQ(notices->Indexes.size(), size_t(tasks) + 1);
        for (int t = 0; t < tasks; ++t) EXPECT_EQ(seen[t], 1) << t;
        EXPECT_TRUE(encoder->Terminated());
    }
}
