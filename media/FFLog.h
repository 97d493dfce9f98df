// The logger component: collects the messages of the media components and of FFmpeg (through a
// log callback installed in avutil) and hands each complete line to OnLog, on the main thread
// when TriggerEventInMainThread is set.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "Format.h"

enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// FFmpeg level of a TLogLevel (8 x ordinal - 8) and back (n / 8 + 1, clamped).
int LogLevelToAV(TLogLevel ALevel);
TLogLevel AVToLogLevel(int AAVLevel);

using TSender = const void*;
using TLogEvent =
    std::function<void(TSender Sender, uint32_t AThreadID, TLogLevel ALogLevel,
                       const std::string& ALogMsg)>;

struct TLogInfo {
    TSender Sender = nullptr;
    uint32_t ThreadID = 0;
    TLogLevel LogLevel = llInfo;
    std::string LogMsg;
};

// Common base of the media components.
class TFFBaseComponent {
public:
    virtual ~TFFBaseComponent() = default;
};

class TFFLogger : public TFFBaseComponent {
public:
    // Only one logger may exist; one created on demand by TheLogger gives way to a new one.
    TFFLogger();
    ~TFFLogger() override;
    TFFLogger(const TFFLogger&) = delete;
    TFFLogger& operator=(const TFFLogger&) = delete;

    TLogLevel LogLevel() const { return FLogLevel.load(); }
    void SetLogLevel(TLogLevel AValue);
    bool TriggerEventInMainThread() const { return FTriggerEventInMainThread.load(); }
    void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread = AValue; }
    void SetOnLog(TLogEvent AEvent);
    bool HasOnLog() const;
    bool AutoCreated() const { return FAutoCreated; }

    // Delivers the message when it passes the level test.
    void Log(TSender Sender, TLogLevel ALogLevel, const std::string& ALogMsg);
    template <typename... Args>
        requires(sizeof...(Args) > 0)
    void Log(TSender Sender, TLogLevel ALogLevel, const char* AFormat, const Args&... AArgs) {
        if (Passes(ALogLevel)) Log(Sender, ALogLevel, Format(AFormat, AArgs...));
    }

    // Sets LogLevel from a level name (any letter case) or a decimal FFmpeg level; a text that is
    // neither raises EConvertError.
    void OptLogLevel(const std::string& AValue);

    // Installs the callback in avutil and applies the level (the loader calls it).
    static void InstallAVLogCallback();

    // Delivers one line bypassing the level test (used by the FFmpeg callback).
    void DeliverLog(const TLogInfo& AInfo);

private:
    friend TFFLogger* TheLogger();
    // The on-demand logger of TheLogger, registered by it under its own lock.
    explicit TFFLogger(std::nullptr_t) {}
    bool Passes(TLogLevel ALogLevel) const;
    void ApplyLevel();

    std::atomic<TLogLevel> FLogLevel{llInfo};
    std::atomic<bool> FTriggerEventInMainThread{true};
    bool FAutoCreated = false;
    mutable std::mutex FEventLock;  // guards FOnLog
    TLogEvent FOnLog;
};

// The current logger; created on demand (AutoCreated) when there is none.
TFFLogger* TheLogger();

// The current FFmpeg threshold level the callback compares against (starts at 32, "info").
int CurrentAVLogLevel();

// Log callback handed to av_log_set_callback. Exposed for tests that feed it messages directly.
extern "C" void AVLogCallback(void* avcl, int level, const char* fmt, va_list vl);

// Forgets the callback's pending lines and repeat state (process end; tests).
void ResetAVLogState();
