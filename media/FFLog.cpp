#include "FFLog.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "Assert.h"
#include "Convert.h"
#include "Dispatcher.h"
#include "FFAPI.h"
#include "Platform.h"

namespace {

// Longest text of one FFmpeg message when the runtime cannot tell the length it needs.
constexpr size_t kMaxLogMessage = 64 * 1024;

// The current FFmpeg threshold (process-wide); starts at the "info" level.
std::atomic<int> g_AVLogLevel{AV_LOG_INFO};

// The current logger (process-wide, at most one).
std::mutex g_LoggerLock;  // guards g_Logger
TFFLogger* g_Logger = nullptr;

// Pending text per thread: what a thread sent that does not yet end in a line feed.
struct TLogItem {
    uint32_t ThreadID = 0;
    std::string LogMsg;
    std::unique_ptr<TLogItem> Next;
};

class TLogList {
public:
    ~TLogList() { Clear(); }
    // Finds the thread's entry, or links a new empty one in front.
    TLogItem& Find(uint32_t AThreadID) {
        std::lock_guard lock(FLock);
        for (TLogItem* p = FHead.get(); p; p = p->Next.get())
            if (p->ThreadID == AThreadID) return *p;
        auto item = std::make_unique<TLogItem>();
        item->ThreadID = AThreadID;
        item->Next = std::move(FHead);
        FHead = std::move(item);
        return *FHead;
    }
    void Clear() {
        std::lock_guard lock(FLock);
        // Unlink iteratively so a long list cannot exhaust the stack.
        while (FHead) FHead = std::move(FHead->Next);
    }

private:
    std::mutex FLock;  // guards FHead and the links
    std::unique_ptr<TLogItem> FHead;
};

struct TCallbackState {
    std::mutex Lock;  // guards List's texts, LastMessage, RepeatCount
    TLogList List;
    std::string LastMessage;
    int RepeatCount = 0;
};

TCallbackState& CallbackState() {
    static TCallbackState state;
    return state;
}

const char* ItemName(const AVClass* AClass, void* AObject) {
    if (AClass->item_name) return AClass->item_name(AObject);
    return AClass->class_name ? AClass->class_name : "";
}

// Prefix "[parent @ %p] [name @ %p]" for an object whose first member is its AVClass pointer.
int BuildPrefix(void* avcl, char* ABuf, size_t ASize) {
    const AVClass* cls = *static_cast<const AVClass**>(avcl);
    if (!cls) return 0;
    int len = 0;
    if (cls->version >= 0x320F03 && cls->parent_log_context_offset != 0) {
        void* parent = *reinterpret_cast<void**>(static_cast<uint8_t*>(avcl) +
                                                 cls->parent_log_context_offset);
        if (parent && *static_cast<const AVClass**>(parent)) {
            const AVClass* pcls = *static_cast<const AVClass**>(parent);
            len = libc.snprintf(ABuf, ASize, "[%s @ %p] ", ItemName(pcls, parent), parent);
            if (len < 0) len = 0;
            if (static_cast<size_t>(len) >= ASize) len = static_cast<int>(ASize) - 1;
        }
    }
    int n = libc.snprintf(ABuf + len, ASize - len, "[%s @ %p]", ItemName(cls, avcl), avcl);
    if (n > 0) len += n;
    if (static_cast<size_t>(len) >= ASize) len = static_cast<int>(ASize) - 1;
    return len;
}

// At process end the on-demand logger is freed and the callback's state cleared.
struct TLogUnitEnd {
    ~TLogUnitEnd();
} g_LogUnitEnd;

}  // namespace

int LogLevelToAV(TLogLevel ALevel) { return 8 * static_cast<int>(ALevel) - 8; }

TLogLevel AVToLogLevel(int AAVLevel) {
    int v = AAVLevel / 8 + 1;
    if (v < 0) v = 0;
    if (v > 7) v = 7;
    return static_cast<TLogLevel>(v);
}

int CurrentAVLogLevel() { return g_AVLogLevel.load(); }

TFFLogger::TFFLogger() {
    std::unique_ptr<TFFLogger> autoCreated;
    {
        std::lock_guard lock(g_LoggerLock);
        if (g_Logger && g_Logger->FAutoCreated) {
            autoCreated.reset(g_Logger);
            g_Logger = nullptr;
        }
        QAC_ASSERT(g_Logger == nullptr, "Allow creating only one instance of TFFLogger.");
        FLogLevel = AVToLogLevel(g_AVLogLevel.load());
        g_Logger = this;
    }
}

TFFLogger::~TFFLogger() {
    std::lock_guard lock(g_LoggerLock);
    if (g_Logger == this) g_Logger = nullptr;
}

TFFLogger* TheLogger() {
    std::lock_guard lock(g_LoggerLock);
    if (!g_Logger) {
        auto* logger = new TFFLogger(std::nullptr_t{});
        logger->FAutoCreated = true;
        logger->FLogLevel = AVToLogLevel(g_AVLogLevel.load());
        g_Logger = logger;
    }
    return g_Logger;
}

void TFFLogger::SetLogLevel(TLogLevel AValue) {
    FLogLevel = AValue;
    ApplyLevel();
}

void TFFLogger::ApplyLevel() {
    if (avutil.av_log_set_level) {
        g_AVLogLevel = LogLevelToAV(FLogLevel.load());
        avutil.av_log_set_level(g_AVLogLevel.load());
    }
}

void TFFLogger::SetOnLog(TLogEvent AEvent) {
    std::lock_guard lock(FEventLock);
    FOnLog = std::move(AEvent);
}

bool TFFLogger::HasOnLog() const {
    std::lock_guard lock(FEventLock);
    return static_cast<bool>(FOnLog);
}

bool TFFLogger::Passes(TLogLevel ALogLevel) const {
    const TLogLevel level = FLogLevel.load();
    return ALogLevel <= level || (ALogLevel == llVerbose && level != llQuiet);
}

void TFFLogger::Log(TSender Sender, TLogLevel ALogLevel, const std::string& ALogMsg) {
    if (!Passes(ALogLevel)) return;
    DeliverLog(TLogInfo{Sender, CurrentThreadID(), ALogLevel, ALogMsg});
}

void TFFLogger::DeliverLog(const TLogInfo& AInfo) {
    TLogEvent event;
    {
        std::lock_guard lock(FEventLock);
        event = FOnLog;
    }
    if (!event) return;
    auto call = [&event, &AInfo] { event(AInfo.Sender, AInfo.ThreadID, AInfo.LogLevel, AInfo.LogMsg); };
    if (TriggerEventInMainThread() && !IsMainThread())
        Synchronize(call);
    else
        call();
}

void TFFLogger::OptLogLevel(const std::string& AValue) {
    static const std::array<const char*, 8> kNames = {"quiet",   "panic", "fatal",   "error",
                                                      "warning", "info",  "verbose", "debug"};
    int level = 0;
    bool named = false;
    for (size_t i = 0; i < kNames.size(); ++i)
        if (SameText(AValue, kNames[i])) {
            level = LogLevelToAV(static_cast<TLogLevel>(i));
            named = true;
        }
    if (!named) level = StrToInt(AValue);
    SetLogLevel(AVToLogLevel(level));
}

void TFFLogger::InstallAVLogCallback() {
    QAC_ASSERT(avutil.av_log_set_callback, "av_log_set_callback not bound");
    QAC_ASSERT(avutil.av_log_set_level, "av_log_set_level not bound");
    avutil.av_log_set_callback(AVLogCallback);
    TheLogger()->ApplyLevel();
}

extern "C" void AVLogCallback(void* avcl, int level, const char* fmt, va_list vl) {
    level &= 0xff;
    if (level > g_AVLogLevel.load() || !fmt) return;
    const uint32_t tid = CurrentThreadID();
    std::vector<std::string> lines;
    {
        auto& st = CallbackState();
        std::lock_guard lock(st.Lock);
        TLogItem& item = st.List.Find(tid);

        std::array<char, 2048> buf{};
        int len = 0;
        if (avcl && item.LogMsg.empty()) len = BuildPrefix(avcl, buf.data(), buf.size());
        std::string text;
        const size_t room = buf.size() - static_cast<size_t>(len);
        va_list args;
        va_copy(args, vl);
        const int n = libc.vsnprintf(buf.data() + len, room, fmt, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= room) {
            // Too long for the buffer: print again into one that holds the whole message. A
            // runtime that only tells that the text was cut (msvcrt: -1, no terminator) gets
            // larger buffers up to a limit, then the cut text.
            std::vector<char> big(std::max<size_t>(4096, n < 0 ? 0 : static_cast<size_t>(n) + 1));
            size_t m;
            for (;;) {
                va_copy(args, vl);
                const int r = libc.vsnprintf(big.data(), big.size(), fmt, args);
                va_end(args);
                if (r >= 0 && static_cast<size_t>(r) < big.size()) {
                    m = static_cast<size_t>(r);
                    break;
                }
                if (big.size() >= kMaxLogMessage) {
                    m = strnlen(big.data(), big.size());
                    break;
                }
                big.assign(r < 0 ? big.size() * 2 : static_cast<size_t>(r) + 1, '\0');
            }
            text.assign(buf.data(), static_cast<size_t>(len));
            text.append(big.data(), m);
        } else {
            text.assign(buf.data());
        }

        // A repeat is a complete line equal to the last message; a text that completes this
        // thread's pending line is never one, or the line's ending would be lost.
        if (item.LogMsg.empty() && !text.empty() && text.back() == '\n' &&
            text == st.LastMessage) {
            ++st.RepeatCount;
            return;
        }
        if (st.RepeatCount > 0) {
            lines.push_back(Format("    Last message repeated %d times", st.RepeatCount));
            st.RepeatCount = 0;
        }
        st.LastMessage = text;
        item.LogMsg += text;
        for (size_t pos; (pos = item.LogMsg.find('\n')) != std::string::npos;) {
            lines.push_back(item.LogMsg.substr(0, pos));
            item.LogMsg.erase(0, pos + 1);
        }
    }
    if (lines.empty()) return;
    try {
        TFFLogger* logger = TheLogger();
        for (auto& line : lines)
            logger->DeliverLog(TLogInfo{logger, tid, AVToLogLevel(level), std::move(line)});
    } catch (...) {
        // An exception must not unwind into the library that called us.
    }
}

void ResetAVLogState() {
    auto& st = CallbackState();
    std::lock_guard lock(st.Lock);
    st.List.Clear();
    st.LastMessage.clear();
    st.RepeatCount = 0;
}

TLogUnitEnd::~TLogUnitEnd() {
    TFFLogger* autoCreated = nullptr;
    {
        std::lock_guard lock(g_LoggerLock);
        if (g_Logger && g_Logger->AutoCreated()) autoCreated = g_Logger;
    }
    delete autoCreated;
    // The callback's list and texts are freed by their own static owner.
}
