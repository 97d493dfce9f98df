#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "Assert.h"
#include "Convert.h"
#include "Dispatcher.h"
#include "FFAPI.h"
#include "FFLog.h"
#include "Platform.h"

using namespace std::chrono_literals;

namespace {

struct Line {
    TSender Sender;
    uint32_t Thread;
    TLogLevel Level;
    std::string Msg;
};

// A logger collecting every delivery; deliveries happen on the main thread.
struct Collector {
    TFFLogger Logger;
    std::vector<Line> Lines;
    Collector() {
        SetMainThread();
        ResetAVLogState();
        Logger.SetOnLog([this](TSender s, uint32_t t, TLogLevel l, const std::string& m) {
            EXPECT_TRUE(IsMainThread());
            Lines.push_back({s, t, l, m});
        });
    }
    ~Collector() { ResetAVLogState(); }
};

void Feed(void* avcl, int level, const char* fmt, ...) {
    va_list vl;
    va_start(vl, fmt);
    AVLogCallback(avcl, level, fmt, vl);
    va_end(vl);
}

// Objects shaped like FFmpeg's: the first member points at the class record.
const char* ParentName(void*) { return "parent"; }
const char* ChildName(void*) { return "child"; }
struct FakeParent {
    const AVClass* Class;
};
struct FakeChild {
    const AVClass* Class;
    FakeParent* Parent;
};
AVClass MakeClass(const char* AName, const char* (*AItemName)(void*), int AParentOffset) {
    AVClass c{};
    c.class_name = AName;
    c.item_name = AItemName;
    c.version = LIBAVUTIL_VERSION_INT;
    c.parent_log_context_offset = AParentOffset;
    return c;
}
const AVClass kParentClass = MakeClass("P", ParentName, 0);
const AVClass kChildClass = MakeClass("C", ChildName, offsetof(FakeChild, Parent));

}  // namespace

TEST(Logger, LevelMappingBothWays) {
    for (int i = 0; i <= 7; ++i) {
        EXPECT_EQ(LogLevelToAV(TLogLevel(i)), 8 * i - 8);
        EXPECT_EQ(AVToLogLevel(8 * i - 8), TLogLevel(i));
    }
    EXPECT_EQ(AVToLogLevel(-8), llQuiet);
    EXPECT_EQ(AVToLogLevel(-7), llPanic);
    EXPECT_EQ(AVToLogLevel(7), llPanic);
    EXPECT_EQ(AVToLogLevel(-1000), llQuiet);
    EXPECT_EQ(AVToLogLevel(56), llDebug);
    EXPECT_EQ(AVToLogLevel(1000), llDebug);
}

TEST(Logger, LevelTestHasVerboseSpecialCase) {
    Collector c;
    c.Logger.SetLogLevel(llWarning);
    c.Logger.Log(nullptr, llVerbose, "verbose passes");
    c.Logger.Log(nullptr, llInfo, "info dropped");
    c.Logger.Log(nullptr, llError, "error %d %s", 7, std::string("passes"));
    c.Logger.SetLogLevel(llQuiet);
    c.Logger.Log(nullptr, llVerbose, "nothing at quiet");
    c.Logger.Log(nullptr, llError, "nothing at quiet");
    ASSERT_EQ(c.Lines.size(), 2u);
    EXPECT_EQ(c.Lines[0].Msg, "verbose passes");
    EXPECT_EQ(c.Lines[0].Level, llVerbose);
    EXPECT_EQ(c.Lines[1].Msg, "error 7 passes");
    EXPECT_EQ(c.Lines[1].Thread, CurrentThreadID());
}

TEST(Logger, OptLogLevelNamesAndNumbers) {
    Collector c;
    c.Logger.OptLogLevel("WaRnInG");
    EXPECT_EQ(c.Logger.LogLevel(), llWarning);
    c.Logger.OptLogLevel("40");
    EXPECT_EQ(c.Logger.LogLevel(), llVerbose);
    c.Logger.OptLogLevel("-100");
    EXPECT_EQ(c.Logger.LogLevel(), llQuiet);
    c.Logger.OptLogLevel("100");
    EXPECT_EQ(c.Logger.LogLevel(), llDebug);
    EXPECT_THROW(c.Logger.OptLogLevel("loud"), EConvertError);
    try {
        c.Logger.OptLogLevel("4x");
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'4x' is not a valid integer value");
    }
    EXPECT_EQ(c.Logger.LogLevel(), llDebug);
}

TEST(Logger, OnlyOneInstanceButOnDemandLoggerGivesWay) {
    {
        TFFLogger first;
        EXPECT_THROW(TFFLogger second, EAssertionFailed);
        try {
            TFFLogger second;
        } catch (const EAssertionFailed& e) {
            EXPECT_NE(std::string(e.what()).find("Allow creating only one instance of TFFLogger."),
                      std::string::npos);
        }
        EXPECT_EQ(TheLogger(), &first);
    }
    TFFLogger* onDemand = TheLogger();
    EXPECT_TRUE(onDemand->AutoCreated());
    TFFLogger placed;
    EXPECT_EQ(TheLogger(), &placed);
    EXPECT_FALSE(placed.AutoCreated());
}

TEST(Logger, CallbackAssemblesPartialLinesWithOnePrefix) {
    Collector c;
    FakeChild obj{&kChildClass, nullptr};
    Feed(&obj, AV_LOG_INFO, "first half %d, ", 1);
    EXPECT_TRUE(c.Lines.empty());
    Feed(&obj, AV_LOG_INFO, "second half\n");
    ASSERT_EQ(c.Lines.size(), 1u);
    char expected[128];
    std::snprintf(expected, sizeof expected, "[child @ %p]first half 1, second half",
                  static_cast<void*>(&obj));
    EXPECT_EQ(c.Lines[0].Msg, expected);
    EXPECT_EQ(c.Lines[0].Sender, &c.Logger);
    EXPECT_EQ(c.Lines[0].Level, llInfo);

    // With a parent context, the parent's name comes first.
    FakeParent parent{&kParentClass};
    FakeChild child{&kChildClass, &parent};
    Feed(&child, AV_LOG_ERROR, "bad\n");
    ASSERT_EQ(c.Lines.size(), 2u);
    std::snprintf(expected, sizeof expected, "[parent @ %p] [child @ %p]bad",
                  static_cast<void*>(&parent), static_cast<void*>(&child));
    EXPECT_EQ(c.Lines[1].Msg, expected);
    EXPECT_EQ(c.Lines[1].Level, llError);

    // Several lines in one message, and the level threshold.
    Feed(nullptr, AV_LOG_INFO, "a\nb\nc");
    Feed(nullptr, AV_LOG_DEBUG, "dropped\n");
    Feed(nullptr, AV_LOG_INFO, "\n");
    ASSERT_EQ(c.Lines.size(), 5u);
    EXPECT_EQ(c.Lines[2].Msg, "a");
    EXPECT_EQ(c.Lines[3].Msg, "b");
    EXPECT_EQ(c.Lines[4].Msg, "c");
}

TEST(Logger, CallbackSuppressesRepeatsAndCountsThem) {
    Collector c;
    Feed(nullptr, AV_LOG_WARNING, "same\n");
    Feed(nullptr, AV_LOG_WARNING, "same\n");
    Feed(nullptr, AV_LOG_WARNING, "same\n");
    Feed(nullptr, AV_LOG_WARNING, "other\n");
    ASSERT_EQ(c.Lines.size(), 3u);
    EXPECT_EQ(c.Lines[0].Msg, "same");
    EXPECT_EQ(c.Lines[1].Msg, "    Last message repeated 2 times");
    EXPECT_EQ(c.Lines[2].Msg, "other");
}

// msvcrt's _vsnprintf: a cut text has no terminator and answers -1; an exact fit answers the
// count without a terminator.
int MsvcrtVsnprintf(char* ABuf, size_t ACount, const char* AFormat, va_list AArgs) noexcept {
    va_list copy;
    va_copy(copy, AArgs);
    const int n = std::vsnprintf(nullptr, 0, AFormat, copy);
    va_end(copy);
    if (n < 0) return -1;
    std::vector<char> all(static_cast<size_t>(n) + 1);
    std::vsnprintf(all.data(), all.size(), AFormat, AArgs);
    std::memcpy(ABuf, all.data(), std::min(ACount, all.size()));
    return static_cast<size_t>(n) <= ACount ? n : -1;
}

TEST(Logger, CallbackDeliversLongMessagesWholeWithEitherRuntime) {
    for (const bool msvcrt : {false, true}) {
        SCOPED_TRACE(msvcrt ? "msvcrt" : "process runtime");
        if (msvcrt) libc.vsnprintf = MsvcrtVsnprintf;
        Collector c;
        FakeChild obj{&kChildClass, nullptr};
        char prefix[64];
        const size_t room = 2048 - static_cast<size_t>(std::snprintf(
                                       prefix, sizeof prefix, "[child @ %p]", static_cast<void*>(&obj)));
        // Cut, room for the terminator, exact fit without it, one past.
        for (const size_t size : {size_t(10000), room - 6, room - 5, room - 4}) {
            const std::string big(size, 'x');
            Feed(&obj, AV_LOG_INFO, "%s|end\n", big.c_str());
            ASSERT_FALSE(c.Lines.empty());
            const std::string& msg = c.Lines.back().Msg;
            EXPECT_EQ(msg.size(), msg.find(']') + 1 + big.size() + 4) << size;
            EXPECT_EQ(msg.substr(msg.size() - 4), "|end");
        }
        libc.Reset();
    }
}

TEST(Logger, CallbackAssemblesInterleavedThreadsSeparatelyInOrder) {
    Collector c;
    constexpr int kThreads = 3, kLines = 200;
    std::atomic<int> finished{0};
    std::map<uint32_t, int> threadIndex;
    std::mutex indexLock;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            {
                std::lock_guard lock(indexLock);
                threadIndex[CurrentThreadID()] = t;
            }
            for (int i = 0; i < kLines; ++i) {
                Feed(nullptr, AV_LOG_INFO, "t%d ", t);
                std::this_thread::yield();
                Feed(nullptr, AV_LOG_INFO, "line %d\n", i);
            }
            ++finished;
        });
    ASSERT_TRUE(WaitPumping([&] { return finished == kThreads; }, 1ms, 60s));
    for (auto& w : workers) w.join();
    ASSERT_EQ(c.Lines.size(), size_t(kThreads * kLines));
    std::map<int, int> next;
    for (const auto& l : c.Lines) {
        const int t = threadIndex.at(l.Thread);
        EXPECT_EQ(l.Msg, "t" + std::to_string(t) + " line " + std::to_string(next[t]++));
    }
}

TEST(Logger, WorkerLogCallsArriveOnMainThreadWhileItLogsToo) {
    Collector c;
    c.Logger.SetLogLevel(llInfo);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) c.Logger.Log(nullptr, llInfo, "worker %d", i);
        done = true;
    });
    int mine = 0;
    ASSERT_TRUE(WaitPumping(
        [&] {
            c.Logger.Log(nullptr, llInfo, "main %d", mine++);
            return done.load();
        },
        1ms, 30s));
    worker.join();
    int expected = 0;
    for (const auto& l : c.Lines) {
        if (l.Msg.rfind("worker ", 0) == 0) {
            EXPECT_EQ(l.Msg, "worker " + std::to_string(expected++));
        }
    }
    EXPECT_EQ(expected, 100);
}

TEST(Logger, WithoutHandlerLinesAreStillAssembled) {
    Collector c;
    c.Logger.SetOnLog(nullptr);
    Feed(nullptr, AV_LOG_INFO, "pending ");
    std::vector<std::string> got;
    c.Logger.SetOnLog([&](TSender, uint32_t, TLogLevel, const std::string& m) { got.push_back(m); });
    Feed(nullptr, AV_LOG_INFO, "done\n");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "pending done");
}
