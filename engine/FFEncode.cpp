// The encoder component: task list, option records and option lines, the run on worker threads or
// inline, and the relays of the tasks' notifications to the encoder's events.
#include "FFEncode.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <list>
#include <map>

#include "Assert.h"
#include "Convert.h"
#include "Dispatcher.h"
#include "FFLog.h"
#include "Format.h"
#include "Platform.h"


namespace {

constexpr const char* kEncoderVersion = "3.9";
constexpr auto kStopStep = std::chrono::milliseconds(20);
constexpr auto kNoticeStep = std::chrono::milliseconds(2);
// The first tasks of the list (the first to run) stay open once built: a short list opens each
// file once, a long one holds at most these open.
constexpr size_t kKeptOpenTasks = 16;
// Released tasks between two returns of the heap's free pages to the system.
constexpr int kReleasesPerTrim = 256;

// ---- option lines ------------------------------------------------------------------------

struct TOptionLine {
    std::string Name;
    std::string Value;
};

void ReplaceAll(std::string& AText, const std::string& AFrom, const std::string& ATo) {
    for (size_t p = AText.find(AFrom); p != std::string::npos; p = AText.find(AFrom, p + ATo.size()))
        AText.replace(p, AFrom.size(), ATo);
}

// Trimmed text, line breaks and the "<CRLF>" marker as line feeds, each line split at its first
// "=". Empty lines carry no option and are skipped.
std::vector<TOptionLine> ParseOptionLines(const std::string& AText) {
    std::string text = Trim(AText);
    ReplaceAll(text, "\r\n", "\n");
    ReplaceAll(text, "\r", "\n");
    ReplaceAll(text, "<CRLF>", "\n");
    std::vector<TOptionLine> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (!line.empty()) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                lines.push_back({line, ""});
            else
                lines.push_back({line.substr(0, eq), line.substr(eq + 1)});
        }
        start = end + 1;
    }
    return lines;
}

std::string JoinLine(const std::string& AText, const TOptionLine& ALine) {
    return (AText.empty() ? "" : AText + "\n") + ALine.Name + "=" + ALine.Value;
}

bool IsOneOf(const std::string& AName, std::initializer_list<const char*> ANames) {
    for (const char* n : ANames)
        if (AName == n) return true;
    return false;
}

// Names the input rule never sets: extra streams, presets and filters belong to outputs.
bool SkippedByInputRule(const std::string& ALowerName) {
    return IsOneOf(ALowerName,
                   {"newvideo", "newaudio", "newsubtitle", "apre", "vpre", "spre", "vfilters", "vf"});
}

// The output rule also leaves the codecs and the frame size to the output steps.
bool SkippedByOutputRule(const std::string& ALowerName) {
    return SkippedByInputRule(ALowerName) ||
           IsOneOf(ALowerName, {"acodec", "vcodec", "scodec", "s"});
}

int64_t TimeValue(const std::string& AValue) {
    int64_t v = 0;
    return TryStrToInt64(AValue, v) ? v : kTimeNotSet;
}

std::string IntText(int64_t AValue) { return std::to_string(AValue); }
// "%g" in the C locale, whatever the user's locale: the option parser reads a decimal point.
std::string FloatText(double AValue) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, AValue, std::chars_format::general, 6);
    return std::string(buf, r.ptr);
}

// Microseconds as a duration the library's parser reads: seconds with six decimals.
std::string DurationValue(int64_t AMicroseconds) {
    const bool negative = AMicroseconds < 0;
    const uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(AMicroseconds) : static_cast<uint64_t>(AMicroseconds);
    return Format("%s%llu.%06llu", negative ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000000),
                  static_cast<unsigned long long>(magnitude % 1000000));
}

// A local date-time (days since 1899-12-30) as a date the library's parser reads as local time;
// exactly 0 is the current time.
std::string DateValue(double ATimeStamp) {
    if (ATimeStamp == 0.0) return "now";
    const double seconds = (ATimeStamp - 25569.0) * 86400.0;
    std::tm tm{};
    if (std::fabs(seconds) < 9e15) UtcTime(std::llround(seconds), tm);
    return Format("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// The calling thread's priority (Windows priority levels; a nice value on Linux).
void ApplyThreadPriority(TThreadPriority APriority) {
    static_assert(tpIdle == 0 && tpNormal == 3 && tpTimeCritical == 6);
    SetCurrentThreadPriority(APriority);
}

// Waits for APredicate in 20 ms steps, keeping the main thread's hand-overs and messages running.
void WaitStopping(const std::function<bool()>& APredicate) { WaitPumping(APredicate, kStopStep); }

}  // namespace

// ---- encoder state -----------------------------------------------------------------------

// A notification thread: delivers the queued termination notices (or ends the never-started tasks
// at Stop) and marks itself done; the encoder joins it.
struct TNotifier {
    std::thread Thread;
    std::atomic<bool> Done{false};
};

struct TCustomEncoder::TImpl {
    TFFmpegList FFFmpegList;  // changed only on the caller's thread while not working
    // The task built or changed last (null: none), open until another is built or the run
    // starts; the others are released unless kept open. Caller's thread only.
    TFFmpeg* FOpenTask = nullptr;
    std::unique_ptr<TFFDecoder> FDecoder;

    int FReleasedSinceTrim = 0;  // tasks released since the heap's free pages went back

    int FCustomMaxFiles = 20;
    bool FHaltOnInvalidOption = true;
    bool FPreview = false;
    bool FPreviewBitmap = false;
    std::atomic<int> FProgressInterval{500};
    int FReadTimeout = 10000;
    std::atomic<TThreadPriority> FThreadPriority{tpNormal};
    std::atomic<bool> FTriggerEventInMainThread{true};
    void* FUserData = nullptr;
    int FVerbose = 1;
    std::string FLastErrMsg;

    // Run state. FCompleteTasks, FCurrentTask and FFinalGiven are guarded by FTerminateLock
    // during a run; the flags are read from any thread.
    int FCompleteTasks = 0;
    int FCurrentTask = -1;
    int FJoinedUpTo = 0;  // the started tasks before it have no worker left to join
    bool FFinalGiven = false;
    std::atomic<int> FPendingTasks{0};
    std::atomic<bool> FThreadMode{false};
    std::atomic<bool> FWorking{false};
    std::atomic<bool> FPaused{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FDestroying{false};

    TProgressInfo FProgressInfo;    // guarded by FProgressLock
    TTerminateInfo FTerminateInfo;  // guarded by FTerminateLock
    TPreviewInfo FPreviewInfo;      // guarded by FPreviewLock
    THookInfo FVideoHookInfo;       // guarded by FVideoHookLock
    std::mutex FAudioHookLock;      // serialises OnAudioHook calls
    std::mutex FPreviewLock;
    std::mutex FProgressLock;
    std::mutex FTerminateLock;
    std::mutex FVideoHookLock;
    // Serialises Pause, Resume and a task's start in thread mode (FPaused and the tasks' pause
    // gates change together).
    std::mutex FPauseLock;
    // Thread holding FTerminateLock (a handler called under it must not be waited for).
    std::atomic<std::thread::id> FTerminateOwner{};

    // Notification threads, and the notices not yet delivered in the order they were given: one
    // thread at a time delivers them (FDelivering), so the final notice always comes last.
    std::mutex FNoticeLock;  // guards FNotifiers, FNotices, FDelivering
    std::list<std::unique_ptr<TNotifier>> FNotifiers;
    std::deque<std::pair<TTerminateInfo, TTerminateEvent>> FNotices;
    bool FDelivering = false;

    // Joins the notification threads that are done. FNoticeLock held.
    void ReapNotifiers() {
        for (auto it = FNotifiers.begin(); it != FNotifiers.end();)
            if ((*it)->Done.load()) {
                if ((*it)->Thread.joinable()) (*it)->Thread.join();
                it = FNotifiers.erase(it);
            } else {
                ++it;
            }
    }
    bool NotifiersDone() {
        std::lock_guard lock(FNoticeLock);
        for (const auto& n : FNotifiers)
            if (!n->Done.load()) return false;
        return true;
    }
};

namespace {
// Holds the terminate lock and records its owner.
class TTerminateLockGuard {
public:
    TTerminateLockGuard(std::mutex& ALock, std::atomic<std::thread::id>& AOwner)
        : FLock(ALock), FOwner(AOwner) {
        FLock.lock();
        FOwner = std::this_thread::get_id();
    }
    ~TTerminateLockGuard() {
        FOwner = std::thread::id();
        FLock.unlock();
    }
    TTerminateLockGuard(const TTerminateLockGuard&) = delete;
    TTerminateLockGuard& operator=(const TTerminateLockGuard&) = delete;

private:
    std::mutex& FLock;
    std::atomic<std::thread::id>& FOwner;
};
}  // namespace

// ---- task --------------------------------------------------------------------------------

TFFmpeg::TFFmpeg(TCustomEncoder* AParent, int AMaxFiles) : FParent(AParent), FMaxFiles(AMaxFiles) {
    QAC_ASSERT(AMaxFiles >= 1 && AMaxFiles <= 512, "FFmpeg: slot count out of range");
    FDecoders.resize(AMaxFiles);
}

TFFmpeg::~TFFmpeg() {
    if (Converting()) {
        RequestStop();
        SetPaused(false);
    }
    JoinWorker();
    // The probes only borrow the inputs' contexts, which the transcoder closes after this.
    for (auto& d : FDecoders)
        if (d) d->SetFileHandle(nullptr);
    // A task that never ran may still have its outputs open (and empty): close and delete them.
    if (!FFilesClosed) {
        try {
            ReleaseFiles();
        } catch (const std::exception& e) {
            TheLogger()->Log(this, llError, std::string(e.what()));
        }
    }
}

namespace {
template <typename TRecord>
const TRecord& SlotRecord(const std::vector<TRecord>& ARecords, int AIndex, int AMaxFiles) {
    static const TRecord kDefaults{};
    if (AIndex < 0 || AIndex >= AMaxFiles)
        throw std::out_of_range(Format("List index out of bounds (%d)", AIndex));
    return AIndex < static_cast<int>(ARecords.size()) ? ARecords[AIndex] : kDefaults;
}
}  // namespace

const TInputOptions& TFFmpeg::InputOptions(int AIndex) const {
    return SlotRecord(FInputOptions, AIndex, FMaxFiles);
}

const TOutputOptions& TFFmpeg::OutputOptions(int AIndex) const {
    return SlotRecord(FOutputOptions, AIndex, FMaxFiles);
}

TFFDecoder* TFFmpeg::Decoders(int AIndex) {
    auto& d = FDecoders.at(AIndex);
    if (d) return d.get();
    d = std::make_unique<TFFDecoder>();
    // A released task's input is closed: the probe opens the file itself (until the task opens
    // it again or is released again).
    if (FReleased && AIndex < InputCount()) {
        const TInputStep& step = FInputSteps[AIndex];
        const TInputOptions& rec = InputOptions(AIndex);
        (void)d->LoadFile(step.HasRecord && !rec.FileName.empty() ? rec.FileName : step.FileName,
                          step.HasRecord ? rec.ForceFormat : "");
    }
    return d.get();
}

std::string TFFmpeg::FatalMessage() const {
    std::lock_guard lock(FFatalLock);
    return FFatalMessage;
}

void TFFmpeg::SetFatal(const std::string& AMessage) {
    TheLogger()->Log(this, llQuiet, AMessage);
    {
        std::lock_guard lock(FFatalLock);
        FFatalMessage = AMessage;
    }
    FFatalException = true;
}

void TFFmpeg::JoinWorker() {
    if (!FHasWorker.load() || OnOwnWorker()) return;
    WaitStopping([this] { return FWorkerDone.load(); });
    std::lock_guard lock(FWorkerLock);
    if (FWorker.joinable()) FWorker.join();
}

bool TFFmpeg::ReapWorker() {
    if (!FHasWorker.load()) return true;
    if (!FWorkerDone.load() || OnOwnWorker()) return false;
    std::lock_guard lock(FWorkerLock);
    if (FWorker.joinable()) FWorker.join();
    return true;
}

bool TFFmpeg::OnOwnWorker() const { return FWorkerId.load() == std::this_thread::get_id(); }

bool TFFmpeg::RunEnded() const {
    return FState.load() == tsTerminated && (!FHasWorker.load() || FWorkerDone.load());
}

bool TFFmpeg::CancelBeforeStart() {
    int expected = tsBuilt;
    return FState.compare_exchange_strong(expected, tsTerminated);
}

void TFFmpeg::StartConvert(bool AUseThread, TThreadPriority APriority) {
    int expected = tsBuilt;
    if (!FState.compare_exchange_strong(expected, tsConverting)) return;
    if (!AUseThread) {
        SetRunsOnWorker(false);
        Execute(true);
        return;
    }
    SetRunsOnWorker(true);
    FWorkerDone = false;
    FHasWorker = true;
    std::lock_guard lock(FWorkerLock);
    FWorker = std::thread([this, APriority] {
        FWorkerId = std::this_thread::get_id();
        ApplyThreadPriority(APriority);
        Execute(true);
        FWorkerDone = true;
    });
}

void TFFmpeg::Execute(bool ARun) {
    // Each step is guarded: an error ends the task's conversion but not the later steps.
    auto guarded = [this](const std::function<void()>& AStep) {
        try {
            AStep();
        } catch (const std::exception& e) {
            SetFatal(e.what());
        } catch (...) {
            SetFatal("unknown error.");
        }
    };
    if (ARun) {
        std::string reopenError;
        if (!FParent->ReopenTask(*this, reopenError)) {
            SetFatal(reopenError);
        } else if (nb_output_files() == 0) {
            SetFatal("At least one output file must be specified");
        } else if (nb_input_files() == 0) {
            SetFatal("At least one input file must be specified");
        } else {
            guarded([this] { Transcode(); });
            guarded([this] { CloseCodecs(); });  // takes the codec lock itself
        }
    }
    // Deletes the outputs left empty (also those of a task that never ran).
    guarded([this] {
        for (auto& d : FDecoders)
            if (d) d->SetFileHandle(nullptr);
        FFilesClosed = true;
        ReleaseFiles();
    });
    FState = tsTerminated;
    FParent->DoTerminate(this);
}

// ---- encoder -----------------------------------------------------------------------------

TCustomEncoder::TCustomEncoder() : FImpl(std::make_unique<TImpl>()) {
    FImpl->FDecoder = std::make_unique<TFFDecoder>();
}

TCustomEncoder::~TCustomEncoder() { ShutDown(); }

TFFEncoder::~TFFEncoder() { ShutDown(); }

void TCustomEncoder::ShutDown() {
    TImpl& m = *FImpl;
    if (m.FDestroying.exchange(true)) return;
    // No event fires from here on; the run is stopped and every thread waited for (pumping, so a
    // worker inside a main-thread hand-over can finish) before the events are cleared.
    Stop(true);
    // Notification threads first (one may still be ending a task that never started), then the
    // tasks, each waiting for its worker.
    WaitStopping([&m] { return m.NotifiersDone(); });
    m.FFFmpegList.clear();
    WaitStopping([&m] { return m.NotifiersDone(); });
    {
        std::lock_guard lock(m.FNoticeLock);
        m.ReapNotifiers();
    }
    {
        std::scoped_lock lock(m.FAudioHookLock, m.FPreviewLock, m.FProgressLock, m.FTerminateLock,
                              m.FVideoHookLock);
        OnProgress = nullptr;
        OnTerminate = nullptr;
        OnAudioHook = nullptr;
        OnBeforeFindStreamInfo = nullptr;
        OnPreviewBitmap = nullptr;
        OnVideoInputHook = nullptr;
        OnVideoOutputHook = nullptr;
    }
    m.FDecoder.reset();
}

std::string TCustomEncoder::Version() const { return kEncoderVersion; }

namespace {
void CheckIndex(const TFFmpegList& AList, int AIndex) {
    if (AIndex < 0 || AIndex >= static_cast<int>(AList.size()))
        throw std::out_of_range(Format("List index out of bounds (%d)", AIndex));
}
}  // namespace

static void CheckNotWorking(bool AWorking, const char* AOperation) {
    if (AWorking) throw EEncoderError(Format("Cannot %s while working.", AOperation));
}

// Applies option lines to a task by the input rule or the output rule.
static void ApplyOptionLines(TFFmpeg& ATask, const std::string& AText, bool AOutput) {
    for (const TOptionLine& line : ParseOptionLines(AText)) {
        const std::string name = LowerCase(line.Name);
        if (AOutput ? SkippedByOutputRule(name) : SkippedByInputRule(name)) continue;
        ATask.SetExtOption(name, line.Value);
    }
}

// The input record of the string forms: "TimeStart" picked out, every other line passed on.
static TInputOptions InputRecordFromLines(const std::string& AExtOptions) {
    TInputOptions rec;
    for (const TOptionLine& line : ParseOptionLines(AExtOptions)) {
        if (SameText(line.Name, "TimeStart"))
            rec.TimeStart = TimeValue(line.Value);
        else
            rec.ExtOptions = JoinLine(rec.ExtOptions, line);
    }
    return rec;
}

bool TCustomEncoder::OpenTaskInput(TFFmpeg& ATask, const std::string& AFileName,
                                   PInputOptions AOptions, int AReadTimeout) {
    const int slot = ATask.nb_input_files();
    if (static_cast<int>(ATask.FInputOptions.size()) <= slot) ATask.FInputOptions.resize(slot + 1);
    TInputOptions& rec = ATask.FInputOptions[slot];
    std::string fileName = AFileName;
    if (AOptions) {
        if (AOptions != &rec) rec = *AOptions;
        if (rec.FileName.empty()) rec.FileName = AFileName;
        fileName = rec.FileName;
        ApplyOptionLines(ATask, rec.ExtOptions, false);
        if (!rec.ForceFormat.empty()) ATask.SetExtOption("f", rec.ForceFormat);
        if (rec.TimeStart != kTimeNotSet) ATask.SetExtOption("ss", DurationValue(rec.TimeStart));
        if (rec.ProgramID >= 0) ATask.SetExtOption("programid", IntText(rec.ProgramID));
    } else {
        InitInputOptions(rec);
    }
    ATask.SetReadTimeout(AReadTimeout);
    if (!ATask.OpenInput(fileName)) return false;
    ATask.Decoders(slot)->SetFileHandle(ATask.InputContext(slot));
    return true;
}

namespace {

// The codec, preset, size and filter defaults of an output ("def_acodec" ...), and the same
// lines of ExtOptions in order, which extra streams use up.
struct TOutputDefaults {
    std::map<std::string, std::string> Defaults;
    std::vector<TOptionLine> Entries;
    std::string Def(const std::string& AName) { return Defaults[AName]; }
    // The first entry of a name (used up), else its default.
    std::string Take(const std::string& AName) {
        for (auto it = Entries.begin(); it != Entries.end(); ++it)
            if (it->Name == AName) {
                std::string v = it->Value;
                Entries.erase(it);
                return v;
            }
        return Defaults[AName];
    }
};

void SetIf(TFFmpeg& ATask, const char* AName, const std::string& AValue) {
    if (!AValue.empty()) ATask.SetExtOption(AName, AValue);
}

// 2. The record's defaults; a non-empty line of ExtOptions fills its default when still empty
// and joins the list.
TOutputDefaults CollectOutputDefaults(const TOutputOptions& ARec,
                                      const std::vector<TOptionLine>& ALines) {
    TOutputDefaults d;
    d.Defaults = {{"acodec", ARec.AudioCodec},    {"vcodec", ARec.VideoCodec},
                  {"scodec", ARec.SubtitleCodec}, {"apre", ARec.AudioPreset},
                  {"vpre", ARec.VideoPreset},     {"spre", ARec.SubtitlePreset},
                  {"s", ARec.FrameSize},          {"vf", ARec.VideoFilters}};
    for (const TOptionLine& line : ALines) {
        std::string name = LowerCase(line.Name);
        if (name == "vfilters") name = "vf";
        if (!d.Defaults.count(name) || line.Value.empty()) continue;
        if (d.Defaults[name].empty()) d.Defaults[name] = line.Value;
        d.Entries.push_back({name, line.Value});
    }
    return d;
}

// 3, 4. The disc-format target, then the three codecs and presets from the defaults.
void ApplyTargetAndCodecs(TFFmpeg& ATask, const TOutputOptions& ARec, TOutputDefaults& ADefaults) {
    if (ARec.TargetType != ttIgnore) {
        static const char* const kTargets[] = {"", "vcd", "svcd", "dvd"};
        static const char* const kNorms[] = {"", "pal-", "ntsc-"};
        ATask.NormDefault = ARec.NormDefault;
        ATask.SetExtOption("target",
                           std::string(kNorms[ARec.NormType]) + kTargets[ARec.TargetType]);
    }
    ATask.SetExtOption("acodec", ADefaults.Def("acodec"));
    ATask.SetExtOption("vcodec", ADefaults.Def("vcodec"));
    ATask.SetExtOption("scodec", ADefaults.Def("scodec"));
    SetIf(ATask, "apre", ADefaults.Def("apre"));
    SetIf(ATask, "vpre", ADefaults.Def("vpre"));
    SetIf(ATask, "spre", ADefaults.Def("spre"));
}

// 6. The record's muxer fields.
void ApplyMuxFields(TFFmpeg& ATask, const TOutputOptions& ARec) {
    TFFmpeg& t = ATask;
    const TOutputOptions& rec = ARec;
    SetIf(t, "f", rec.ForceFormat);
    if (rec.PacketSize > 0) t.SetExtOption("packetsize", IntText(rec.PacketSize));
    if (rec.MuxRate > 0) t.SetExtOption("muxrate", IntText(rec.MuxRate));
    if (rec.MuxDelay > 0) t.SetExtOption("muxdelay", FloatText(rec.MuxDelay));
    if (rec.MuxPreload > 0) t.SetExtOption("muxpreload", FloatText(rec.MuxPreload));
}

// 6. The record's audio fields.
void ApplyAudioFields(TFFmpeg& ATask, const TOutputOptions& ARec) {
    TFFmpeg& t = ATask;
    const TOutputOptions& rec = ARec;
    if (rec.DisableAudio) t.SetExtOption("an", "1");
    if (rec.AudioVolume >= 0) t.SetExtOption("vol", IntText(rec.AudioVolume));
    if (rec.AudioChannels > 0) t.SetExtOption("ac", IntText(rec.AudioChannels));
    if (rec.AudioSampleRate > 0) t.SetExtOption("ar", IntText(rec.AudioSampleRate));
    if (rec.AudioBitrate > 0 && rec.TargetType == ttIgnore)
        t.SetExtOption("ab", IntText(rec.AudioBitrate));
    if (rec.AudioBitRateTolerance > 0) t.SetExtOption("abt", IntText(rec.AudioBitRateTolerance));
    SetIf(t, "alang", rec.AudioLanguage);
    t.SetExtOption("async", IntText(rec.AudioSyncMethod));
    SetIf(t, "atag", rec.AudioTag);
}

// 6. The record's video fields.
void ApplyVideoFields(TFFmpeg& ATask, const TOutputOptions& ARec) {
    TFFmpeg& t = ATask;
    const TOutputOptions& rec = ARec;
    if (rec.DisableVideo) t.SetExtOption("vn", "1");
    SetIf(t, "r", rec.FrameRate);
    SetIf(t, "aspect", rec.FrameAspectRatio);
    if (rec.GroupPictureSize > 0) t.SetExtOption("g", IntText(rec.GroupPictureSize));
    if (rec.VideoBitrate > 0 && rec.TargetType == ttIgnore)
        t.SetExtOption("vb", IntText(rec.VideoBitrate));
    if (rec.VideoMaxRate > 0) t.SetExtOption("maxrate", IntText(rec.VideoMaxRate));
    if (rec.VideoMinRate > 0) t.SetExtOption("minrate", IntText(rec.VideoMinRate));
    if (rec.VideoBitRateTolerance > 0) t.SetExtOption("bt", IntText(rec.VideoBitRateTolerance));
    if (rec.VideoBufSize > 0) t.SetExtOption("bufsize", IntText(rec.VideoBufSize));
    t.SetExtOption("vsync", IntText(rec.VideoSyncMethod));
    SetIf(t, "vtag", rec.VideoTag);
    SetIf(t, "vlang", rec.VideoLanguage);
}

// 6. The record's subtitle, sync and time fields.
void ApplyTimeFields(TFFmpeg& ATask, const TOutputOptions& ARec) {
    TFFmpeg& t = ATask;
    const TOutputOptions& rec = ARec;
    if (rec.DisableSubtitle) t.SetExtOption("sn", "1");
    SetIf(t, "slang", rec.SubtitleLanguage);
    t.SetExtOption("isync", rec.InputSync ? "1" : "0");
    if (rec.CopyTimestamp) t.SetExtOption("copyts", "1");
    if (rec.TimeStart != kTimeNotSet) t.SetExtOption("ss", DurationValue(rec.TimeStart));
    if (rec.TimeLength != kTimeNotSet) {
        t.SetExtOption("t", DurationValue(rec.TimeLength));
        t.SetTotalOutputDuration(rec.TimeLength);
    }
}

// 6. The time stamp and the tags of the record's stream information.
void ApplyStreamInfo(TFFmpeg& ATask, const TStreamInfo& AInfo) {
    if (AInfo.TimeStamp >= 0.0) ATask.SetExtOption("timestamp", DateValue(AInfo.TimeStamp));
    if (AInfo.Year > 0) ATask.SetExtOption("metadata", "year=" + IntText(AInfo.Year));
    if (AInfo.Track > 0) ATask.SetExtOption("metadata", "track=" + IntText(AInfo.Track));
    const std::pair<const char*, const std::string*> tags[] = {
        {"title", &AInfo.Title},     {"author", &AInfo.Author}, {"copyright", &AInfo.Copyright},
        {"comment", &AInfo.Comment}, {"album", &AInfo.Album},   {"genre", &AInfo.Genre}};
    for (const auto& [key, value] : tags)
        if (!value->empty()) ATask.SetExtOption("metadata", std::string(key) + "=" + *value);
}

// 9. Extra streams, each with the next codec, preset, size and filter entries.
void AddExtraStreams(TFFmpeg& ATask, const std::vector<TOptionLine>& ALines,
                     TOutputDefaults& ADefaults) {
    for (const TOptionLine& line : ALines) {
        const std::string name = LowerCase(line.Name);
        if (name == "newaudio") {
            ATask.SetExtOption("acodec", ADefaults.Take("acodec"));
            SetIf(ATask, "apre", ADefaults.Take("apre"));
        } else if (name == "newvideo") {
            ATask.SetExtOption("vcodec", ADefaults.Take("vcodec"));
            SetIf(ATask, "vpre", ADefaults.Take("vpre"));
            SetIf(ATask, "s", ADefaults.Take("s"));
            SetIf(ATask, "vf", ADefaults.Take("vf"));
        } else if (name == "newsubtitle") {
            ATask.SetExtOption("scodec", ADefaults.Take("scodec"));
            SetIf(ATask, "spre", ADefaults.Take("spre"));
        } else {
            continue;
        }
        ATask.SetExtOption(name, line.Value);
    }
}

}  // namespace

// The output's steps in order (the caller checks the slot and keeps the record); false with
// AError when an option or the open fails.
bool TCustomEncoder::BuildTaskOutput(TFFmpeg& ATask, const TOutputOptions& ARec,
                                     std::string& AError) {
    try {
        const std::vector<TOptionLine> lines = ParseOptionLines(ARec.ExtOptions);
        TOutputDefaults defaults = CollectOutputDefaults(ARec, lines);  // 2
        ApplyTargetAndCodecs(ATask, ARec, defaults);                    // 3, 4
        ApplyOptionLines(ATask, ARec.ExtOptions, true);                 // 5
        // 6: the record's fields in table order, overriding the same settings of ExtOptions.
        ApplyMuxFields(ATask, ARec);
        ApplyAudioFields(ATask, ARec);
        ApplyVideoFields(ATask, ARec);
        ApplyTimeFields(ATask, ARec);
        ApplyStreamInfo(ATask, ARec.Info);
        SetIf(ATask, "s", defaults.Def("s"));  // 7
        SetIf(ATask, "vf", defaults.Def("vf"));
        RouteTaskHooks(ATask, ARec);
        ATask.SetLoudness(ARec.LoudnessTarget, ARec.ReplayGainTags);
        ATask.SetExistingOutput(ARec.ExistingOutput);
        ATask.SetVerify(ARec.VerifyOutput, ARec.VerifyTestCut, ARec.VerifyTestFlip);
        if (ATask.OpenOutput(ARec.FileName, ARec.Join) < 0) {  // 8
            AError = ATask.LastErrMsg();
            return false;
        }
        AddExtraStreams(ATask, lines, defaults);  // 9
        if (ARec.Join) ATask.PrepareJoin();       // 10
        return true;
    } catch (const std::exception& e) {
        AError = e.what();
        return false;
    }
}

// 7. The task's audio and video hooks routed to the encoder's events as the record asks.
void TCustomEncoder::RouteTaskHooks(TFFmpeg& ATask, const TOutputOptions& ARec) {
    TFFmpeg* task = &ATask;
    if (ARec.AudioHook)
        ATask.OnAudioHook = [this, task](int64_t APTS, uint8_t* ASample, int ASize, int ARate,
                                         int AChannels, AVSampleFormat AFormat) {
            TImpl& im = *FImpl;
            std::lock_guard lock(im.FAudioHookLock);
            if (OnAudioHook && !im.FDestroying)
                OnAudioHook(this, GetTaskIndex(task), APTS, ASample, ASize, ARate, AChannels,
                            AFormat);
        };
    if (ARec.VideoInputHook)
        ATask.OnVideoInputHook = [this, task](THookInfo& AInfo) { DoInputVideoHook(task, AInfo); };
    if (ARec.VideoOutputHook)
        ATask.OnVideoOutputHook = [this, task](THookInfo& AInfo) {
            DoOutputVideoHook(task, AInfo);
        };
    ATask.VideoHookBitsPixel = ARec.VideoHookBitsPixel;
}

void TCustomEncoder::ReleaseTask(TFFmpeg& ATask) {
    if (ATask.FReleased || ATask.nb_input_files() == 0 || !ATask.Reopenable()) return;
    CloseTask(ATask);
    // Opening a task allocates and frees far more than the released task keeps; without handing
    // those pages back, a list of thousands of files would stay resident at several times its size.
    if (++FImpl->FReleasedSinceTrim == kReleasesPerTrim) {
        FImpl->FReleasedSinceTrim = 0;
        ReturnFreedMemory();
    }
}

void TCustomEncoder::CloseTask(TFFmpeg& ATask) {
    for (auto& d : ATask.FDecoders) d.reset();  // they only borrow the inputs' contexts
    ATask.FReleased = true;
    try {
        ATask.CloseCodecs();
        ATask.ReleaseFiles();  // removes the outputs' working files: nothing was written
    } catch (const std::exception& e) {
        TheLogger()->Log(&ATask, llError, std::string(e.what()));
    }
}

bool TCustomEncoder::ReopenTask(TFFmpeg& ATask, std::string& AError) {
    if (!ATask.FReleased) return true;
    ATask.FReleased = false;
    const int timeout = ATask.ReadTimeout();
    bool ok = true;
    try {
        ATask.ResetOptions();
        ATask.Options().verbose = ATask.FVerbose;
        for (size_t i = 0; ok && i < ATask.FInputSteps.size(); ++i) {
            const TFFmpeg::TInputStep& step = ATask.FInputSteps[i];
            ok = OpenTaskInput(ATask, step.FileName, step.HasRecord ? &ATask.FInputOptions[i] : nullptr,
                               timeout);
            if (!ok) AError = ATask.LastErrMsg();
        }
        for (int j = 0; ok && j < ATask.FOutputSteps; ++j) {
            ATask.SetReadTimeout(timeout);
            ok = BuildTaskOutput(ATask, ATask.FOutputOptions[j], AError);
        }
    } catch (const std::exception& e) {
        AError = e.what();
        ok = false;
    }
    if (!ok) CloseTask(ATask);  // opened again at its next change or start, failing the same way
    return ok;
}

bool TCustomEncoder::ReopenForChange(TFFmpeg& ATask) {
    TImpl& m = *FImpl;
    if (m.FOpenTask && m.FOpenTask != &ATask && !m.FOpenTask->FKeptOpen) ReleaseTask(*m.FOpenTask);
    m.FOpenTask = &ATask;
    std::string error;
    if (ReopenTask(ATask, error)) return true;
    m.FLastErrMsg = error;
    return false;
}

int TCustomEncoder::AddTask(const std::string& AFileName, PInputOptions AOptions) {
    TImpl& m = *FImpl;
    CheckNotWorking(m.FWorking, "AddTask");
    if (m.FOpenTask && !m.FOpenTask->FKeptOpen) ReleaseTask(*m.FOpenTask);
    m.FOpenTask = nullptr;
    std::unique_ptr<TFFmpeg> task;
    try {
        task = std::make_unique<TFFmpeg>(this, m.FCustomMaxFiles);
        TFFmpeg* t = task.get();
        t->HaltOnInvalidOption = m.FHaltOnInvalidOption;
        t->FVerbose = m.FVerbose;
        t->Options().verbose = m.FVerbose;
        t->SetPostHook(phPreview, m.FPreview);
        t->SetPostHook(phBitmap, m.FPreviewBitmap);
        t->OnBeforeFindStreamInfo = [this, t](AVFormatContext* AContext) {
            if (OnBeforeFindStreamInfo) OnBeforeFindStreamInfo(t, AContext);
        };
        t->OnPreviewBitmap = [this, t](const TPreviewInfo& AInfo) { DoPreviewBitmap(t, AInfo); };

        if (!OpenTaskInput(*t, AFileName, AOptions, m.FReadTimeout)) {
            m.FLastErrMsg = t->LastErrMsg();
            return -1;
        }
        t->FInputSteps.push_back({AFileName, AOptions != nullptr});
        t->FKeptOpen = m.FFFmpegList.size() < kKeptOpenTasks;
        t->OnProgress = [this, t](const TTranscodeProgress& AInfo) { DoProgress(t, AInfo); };
        m.FFFmpegList.push_back(std::move(task));
        m.FOpenTask = t;
        return static_cast<int>(m.FFFmpegList.size()) - 1;
    } catch (const std::exception& e) {
        m.FLastErrMsg = e.what();
        return -1;
    }
}

int TCustomEncoder::AddTask(const std::string& AFileName, const std::string& AExtOptions) {
    CheckNotWorking(FImpl->FWorking, "AddTask");
    TInputOptions rec = InputRecordFromLines(AExtOptions);
    return AddTask(AFileName, &rec);
}

bool TCustomEncoder::AddInputFile(int ATaskIndex, const std::string& AFileName,
                                  PInputOptions AOptions) {
    TImpl& m = *FImpl;
    CheckNotWorking(m.FWorking, "AddInputFile");
    CheckIndex(m.FFFmpegList, ATaskIndex);
    TFFmpeg& t = *m.FFFmpegList[ATaskIndex];
    const int slot = t.InputCount();
    if (slot >= t.FMaxFiles) {
        m.FLastErrMsg = Format("max input files %d reached", t.FMaxFiles);
        return false;
    }
    if (!ReopenForChange(t)) return false;
    try {
        if (!OpenTaskInput(t, AFileName, AOptions, m.FReadTimeout)) {
            InitInputOptions(t.FInputOptions[slot]);
            m.FLastErrMsg = t.LastErrMsg();
            return false;
        }
        t.FInputSteps.push_back({AFileName, AOptions != nullptr});
        return true;
    } catch (const std::exception& e) {
        if (slot < static_cast<int>(t.FInputOptions.size())) InitInputOptions(t.FInputOptions[slot]);
        m.FLastErrMsg = e.what();
        return false;
    }
}

bool TCustomEncoder::AddInputFile(int ATaskIndex, const std::string& AFileName,
                                  const std::string& AExtOptions) {
    CheckNotWorking(FImpl->FWorking, "AddInputFile");
    TInputOptions rec = InputRecordFromLines(AExtOptions);
    return AddInputFile(ATaskIndex, AFileName, &rec);
}

bool TCustomEncoder::SetOutputFile(int ATaskIndex, const std::string& AFileName,
                                   POutputOptions AOptions) {
    TImpl& m = *FImpl;
    CheckNotWorking(m.FWorking, "SetOutputFile");
    CheckIndex(m.FFFmpegList, ATaskIndex);
    TFFmpeg& t = *m.FFFmpegList[ATaskIndex];
    const int slot = t.OutputCount();
    if (slot >= t.FMaxFiles) {
        m.FLastErrMsg = Format("max output files %d reached", t.FMaxFiles);
        return false;
    }
    if (!ReopenForChange(t)) return false;
    if (static_cast<int>(t.FOutputOptions.size()) <= slot) t.FOutputOptions.resize(slot + 1);
    TOutputOptions& rec = t.FOutputOptions[slot];
    rec = AOptions ? *AOptions : TOutputOptions();
    if (rec.FileName.empty()) rec.FileName = AFileName;
    t.SetReadTimeout(m.FReadTimeout);
    std::string error;
    if (!BuildTaskOutput(t, rec, error)) {
        m.FLastErrMsg = error;
        InitOutputOptions(rec);
        return false;
    }
    ++t.FOutputSteps;
    return true;
}

bool TCustomEncoder::SetOutputFile(int ATaskIndex, const std::string& AFileName,
                                   const std::string& AExtOptions) {
    CheckNotWorking(FImpl->FWorking, "SetOutputFile");
    TOutputOptions rec;
    for (const TOptionLine& line : ParseOptionLines(AExtOptions)) {
        if (SameText(line.Name, "AudioHook")) {
            rec.AudioHook = line.Value != "0";
        } else if (SameText(line.Name, "VideoInputHook")) {
            rec.VideoInputHook = line.Value != "0";
        } else if (SameText(line.Name, "VideoOutputHook")) {
            rec.VideoOutputHook = line.Value != "0";
        } else if (SameText(line.Name, "Join")) {
            rec.Join = line.Value != "0";
        } else if (SameText(line.Name, "VideoHookBitsPixel")) {
            int bits = 0;
            rec.VideoHookBitsPixel = TryStrToInt(line.Value, bits) ? bits : 24;
        } else if (SameText(line.Name, "TimeStart")) {
            rec.TimeStart = TimeValue(line.Value);
        } else if (SameText(line.Name, "TimeLength")) {
            rec.TimeLength = TimeValue(line.Value);
        } else {
            rec.ExtOptions = JoinLine(rec.ExtOptions, line);
        }
    }
    return SetOutputFile(ATaskIndex, AFileName, &rec);
}

void TCustomEncoder::ClearTasks() {
    TImpl& m = *FImpl;
    if (m.FWorking && !m.FTerminated)
        throw EEncoderError("Cannot ClearTasks while working.");
    m.FOpenTask = nullptr;
    m.FFFmpegList.clear();  // each task waits for its worker's last steps
    {
        std::lock_guard lock(m.FNoticeLock);
        m.ReapNotifiers();
    }
    m.FLastErrMsg.clear();
    {
        TTerminateLockGuard lock(m.FTerminateLock, m.FTerminateOwner);
        m.FCompleteTasks = 0;
        m.FCurrentTask = -1;
        m.FFinalGiven = false;
    }
    m.FPendingTasks = 0;
    m.FTerminated = false;
    m.FThreadMode = false;
    m.FWorking = false;
    m.FPaused = false;
}

void TCustomEncoder::Exchange(int ATaskIndex1, int ATaskIndex2) {
    TImpl& m = *FImpl;
    CheckNotWorking(m.FWorking, "Exchange");
    CheckIndex(m.FFFmpegList, ATaskIndex1);
    CheckIndex(m.FFFmpegList, ATaskIndex2);
    std::swap(m.FFFmpegList[ATaskIndex1], m.FFFmpegList[ATaskIndex2]);
}

void TCustomEncoder::RemoveTask(int ATaskIndex) {
    TImpl& m = *FImpl;
    CheckNotWorking(m.FWorking, "RemoveTask");
    CheckIndex(m.FFFmpegList, ATaskIndex);
    if (m.FOpenTask == m.FFFmpegList[ATaskIndex].get()) m.FOpenTask = nullptr;
    m.FFFmpegList.erase(m.FFFmpegList.begin() + ATaskIndex);
}

TFFmpeg* TCustomEncoder::Tasks(int AIndex) const {
    CheckIndex(FImpl->FFFmpegList, AIndex);
    return FImpl->FFFmpegList[AIndex].get();
}

int TCustomEncoder::GetTaskIndex(const TFFmpeg* AFFmpeg) const {
    const TFFmpegList& list = FImpl->FFFmpegList;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].get() == AFFmpeg) return static_cast<int>(i);
    return -1;
}

// ---- run ---------------------------------------------------------------------------------

namespace {
// Takes one pending task; false when none is pending (Stop may empty the count at any time).
bool TakePending(std::atomic<int>& APending) {
    int p = APending.load();
    while (p > 0)
        if (APending.compare_exchange_weak(p, p - 1)) return true;
    return false;
}
}  // namespace

void TCustomEncoder::Start(int AThreadCount) {
    TImpl& m = *FImpl;
    CheckNotWorking(m.FWorking, "StartTask");
    // Every task opens its files when it starts.
    if (m.FOpenTask && !m.FOpenTask->FKeptOpen) ReleaseTask(*m.FOpenTask);
    m.FOpenTask = nullptr;
    const int count = static_cast<int>(m.FFFmpegList.size());
    {
        TTerminateLockGuard lock(m.FTerminateLock, m.FTerminateOwner);
        m.FCompleteTasks = 0;
        m.FCurrentTask = 0;
        m.FJoinedUpTo = 0;
        m.FFinalGiven = false;
    }
    m.FPendingTasks = count;
    m.FTerminated = false;
    m.FPaused = false;
    m.FThreadMode = AThreadCount > 0;
    m.FWorking = true;

    if (count == 0) {
        // Nothing to run: the run ends at once with its final notice.
        TTerminateLockGuard lock(m.FTerminateLock, m.FTerminateOwner);
        GiveFinalNotice();
        return;
    }
    if (m.FThreadMode) {
        // Under the terminate lock, so that a task ending at once starts its successor only
        // after the first AThreadCount tasks are running.
        TTerminateLockGuard lock(m.FTerminateLock, m.FTerminateOwner);
        for (int running = 0; running < AThreadCount && StartNextTask(); ++running) {
        }
        return;
    }
    while (StartNextTask()) {
    }
}

bool TCustomEncoder::StartNextTask() {
    TImpl& m = *FImpl;
    if (!TakePending(m.FPendingTasks)) return false;
    if (m.FThreadMode) JoinEndedWorkers();
    const int index = m.FCurrentTask;
    if (index < 0 || index >= static_cast<int>(m.FFFmpegList.size())) return false;
    TFFmpeg* task = m.FFFmpegList[index].get();
    ++m.FCurrentTask;
    task->ReportInterval = static_cast<int64_t>(m.FProgressInterval.load()) * 1000;
    if (!m.FThreadMode) {
        task->StartConvert(false, m.FThreadPriority);
        return true;
    }
    // A Pause or Resume on the caller's thread sees this task either before or after its start.
    std::lock_guard lock(m.FPauseLock);
    if (m.FPaused) task->SetPaused(true);
    task->StartConvert(true, m.FThreadPriority);
    return true;
}

void TCustomEncoder::JoinEndedWorkers() {
    TImpl& m = *FImpl;
    const int started = std::min(m.FCurrentTask, static_cast<int>(m.FFFmpegList.size()));
    bool allBefore = true;
    for (int i = m.FJoinedUpTo; i < started; ++i) {
        const bool joined = m.FFFmpegList[i]->ReapWorker();
        if (allBefore && joined)
            m.FJoinedUpTo = i + 1;
        else
            allBefore = false;
    }
}

void TCustomEncoder::Pause() {
    TImpl& m = *FImpl;
    if (!m.FWorking || m.FPaused || !m.FThreadMode) return;
    std::lock_guard lock(m.FPauseLock);
    m.FPaused = true;
    for (auto& t : m.FFFmpegList)
        if (t->Converting() && t->HasWorker()) t->SetPaused(true);
}

void TCustomEncoder::Resume() {
    TImpl& m = *FImpl;
    if (!m.FWorking || !m.FPaused) return;
    std::lock_guard lock(m.FPauseLock);
    m.FPaused = false;
    for (auto& t : m.FFFmpegList) t->SetPaused(false);
}

void TCustomEncoder::Stop(bool AWaitForStop) {
    TImpl& m = *FImpl;
    m.FPendingTasks = 0;
    if (!m.FWorking) return;
    // A handler called under the terminate lock on this thread cannot be waited for.
    const bool mayWait =
        AWaitForStop && m.FTerminateOwner.load() != std::this_thread::get_id();
    // Every task is cancelled or asked to stop before any is waited for, so all stop at once.
    std::vector<TFFmpeg*> cancelled, running;
    for (auto& owned : m.FFFmpegList) {
        TFFmpeg* t = owned.get();
        // Cancelling first: a worker may start this task at any moment, and then it is stopped.
        if (t->CancelBeforeStart()) {
            cancelled.push_back(t);
        } else if (t->Converting()) {
            t->RequestStop();
            t->SetPaused(false);
            running.push_back(t);
        }
    }
    // The never-started tasks end in list order on an engine-level notification thread, as a
    // task ends on its worker, after the stopped ones (which come before them in the list).
    TNotifier* raw = nullptr;
    if (!cancelled.empty()) {
        std::lock_guard lock(m.FNoticeLock);
        m.ReapNotifiers();
        raw = m.FNotifiers.emplace_back(std::make_unique<TNotifier>()).get();
        raw->Thread = std::thread([raw, running, tasks = std::move(cancelled)] {
            for (TFFmpeg* t : running)
                while (!t->RunEnded()) std::this_thread::sleep_for(kNoticeStep);
            for (TFFmpeg* t : tasks) t->Execute(false);  // closes its files and notifies
            raw->Done = true;
        });
    }
    if (raw && mayWait) WaitStopping([raw] { return raw->Done.load(); });
    if (AWaitForStop && m.FThreadMode)
        for (TFFmpeg* t : running)
            if (!t->OnOwnWorker()) WaitStopping([t] { return t->RunEnded(); });
}

// ---- relays ------------------------------------------------------------------------------

void TCustomEncoder::DoProgress(TFFmpeg* ASender, const TTranscodeProgress& AInfo) {
    TImpl& m = *FImpl;
    if (!OnProgress || m.FDestroying) return;
    std::lock_guard lock(m.FProgressLock);
    TProgressInfo& p = m.FProgressInfo;
    p.TaskIndex = GetTaskIndex(ASender);
    p.FileIndex = AInfo.FileIndex;
    p.FrameNumber = AInfo.FrameNumber;
    p.FPS = AInfo.FPS;
    p.Quality = AInfo.Quality;
    p.BitRate = AInfo.BitRate;
    p.CurrentSize = AInfo.CurrentSize;
    p.CurrentDuration = AInfo.CurrentDuration;
    p.TotalDuration = AInfo.TotalDuration;
    p.Verifying = AInfo.Verifying;
    if (m.FTriggerEventInMainThread && !IsMainThread())
        Synchronize([this, &p] {
            if (OnProgress) OnProgress(this, &p);
        });
    else
        OnProgress(this, &p);
}

void TCustomEncoder::DoPreviewBitmap(TFFmpeg* ASender, const TPreviewInfo& AInfo) {
    TImpl& m = *FImpl;
    if (!OnPreviewBitmap || m.FDestroying) return;
    std::lock_guard lock(m.FPreviewLock);
    m.FPreviewInfo = AInfo;
    m.FPreviewInfo.TaskIndex = GetTaskIndex(ASender);
    if (m.FTriggerEventInMainThread && !IsMainThread())
        Synchronize([this, &m] {
            if (OnPreviewBitmap) OnPreviewBitmap(this, m.FPreviewInfo);
        });
    else
        OnPreviewBitmap(this, m.FPreviewInfo);
}

namespace {
void RelayVideoHook(void* ASender, const TVideoHookEvent& AEvent, std::mutex& ALock,
                    THookInfo& AShared, int ATaskIndex, THookInfo& AInfo) {
    std::lock_guard lock(ALock);
    AShared = AInfo;
    AShared.TaskIndex = ATaskIndex;
    AEvent(ASender, &AShared);
    AInfo.Update = AShared.Update;
    AInfo.StopHook = AShared.StopHook;
}
}  // namespace

void TCustomEncoder::DoInputVideoHook(TFFmpeg* ASender, THookInfo& AInfo) {
    TImpl& m = *FImpl;
    if (!OnVideoInputHook || m.FDestroying) return;
    RelayVideoHook(this, OnVideoInputHook, m.FVideoHookLock, m.FVideoHookInfo,
                   GetTaskIndex(ASender), AInfo);
}

void TCustomEncoder::DoOutputVideoHook(TFFmpeg* ASender, THookInfo& AInfo) {
    TImpl& m = *FImpl;
    if (!OnVideoOutputHook || m.FDestroying) return;
    RelayVideoHook(this, OnVideoOutputHook, m.FVideoHookLock, m.FVideoHookInfo,
                   GetTaskIndex(ASender), AInfo);
}

void TCustomEncoder::DoTerminate(TFFmpeg* ASender) {
    TImpl& m = *FImpl;
    TTerminateLockGuard lock(m.FTerminateLock, m.FTerminateOwner);
    if (OnTerminate) {
        TTerminateInfo& info = m.FTerminateInfo;
        info.TaskIndex = GetTaskIndex(ASender);
        info.Finished = ASender->Finished();
        info.Exception = ASender->FatalException();
        info.ExceptionMsg = info.Exception ? ASender->FatalMessage() : std::string();
        info.Verified = info.Finished ? ASender->Verified() : vrNone;
        DeliverNotice(info);
    }
    if (!m.FWorking) return;
    ++m.FCompleteTasks;
    if (m.FPendingTasks.load() <= 0 && m.FCompleteTasks >= static_cast<int>(m.FFFmpegList.size()))
        GiveFinalNotice();
    else if (m.FThreadMode)
        StartNextTask();
}

void TCustomEncoder::GiveFinalNotice() {
    TImpl& m = *FImpl;
    if (m.FFinalGiven) return;
    m.FFinalGiven = true;
    // Set before the notice is handed out: its handler may clear the tasks at once.
    m.FTerminated = true;
    if (OnTerminate) {
        TTerminateInfo& info = m.FTerminateInfo;
        info.TaskIndex = -1;
        info.Finished = true;
        info.Exception = false;
        info.ExceptionMsg.clear();
        info.Verified = vrNone;
        DeliverNotice(info);
    }
}

// FTerminateLock held. In thread mode (or outside a run) a notification thread calls OnTerminate
// once every earlier notice has been delivered; in synchronous mode it is called here.
void TCustomEncoder::DeliverNotice(const TTerminateInfo& AInfo) {
    TImpl& m = *FImpl;
    if (m.FDestroying) return;
    if (!m.FThreadMode && m.FWorking) {
        try {
            OnTerminate(this, AInfo);
        } catch (const std::exception& e) {
            TheLogger()->Log(this, llError, std::string("OnTerminate: ") + e.what());
        }
        return;
    }
    // The thread handle is written under FNoticeLock, before any reaper can see the notifier.
    std::lock_guard lock(m.FNoticeLock);
    m.FNotices.emplace_back(AInfo, OnTerminate);
    if (m.FDelivering) return;  // the delivering thread takes it in turn
    m.ReapNotifiers();
    m.FDelivering = true;
    TNotifier* raw = m.FNotifiers.emplace_back(std::make_unique<TNotifier>()).get();
    raw->Thread = std::thread([this, raw] {
        TImpl& im = *FImpl;
        for (;;) {
            std::pair<TTerminateInfo, TTerminateEvent> notice;
            {
                std::lock_guard lock(im.FNoticeLock);
                if (im.FNotices.empty()) {
                    im.FDelivering = false;
                    raw->Done = true;
                    return;
                }
                notice = std::move(im.FNotices.front());
                im.FNotices.pop_front();
            }
            try {
                if (notice.second && !im.FDestroying) notice.second(this, notice.first);
            } catch (const std::exception& e) {
                TheLogger()->Log(this, llError, std::string("OnTerminate: ") + e.what());
            }
        }
    });
}

// ---- libraries and properties ------------------------------------------------------------

bool TCustomEncoder::LoadAVLib(const std::string& APath) {
    GlobalFFLoader.SetLibraryPath(APath);
    if (GlobalFFLoader.Load(EncoderLibraries)) return true;
    FImpl->FLastErrMsg = GlobalFFLoader.LastErrMsg();
    return false;
}
void TCustomEncoder::UnloadAVLib() { GlobalFFLoader.Unload(EncoderLibraries); }
bool TCustomEncoder::AVLibLoaded() const { return GlobalFFLoader.Loaded(EncoderLibraries); }

int TCustomEncoder::CustomMaxFiles() const { return FImpl->FCustomMaxFiles; }
void TCustomEncoder::SetCustomMaxFiles(int AValue) { FImpl->FCustomMaxFiles = AValue; }
bool TCustomEncoder::HaltOnInvalidOption() const { return FImpl->FHaltOnInvalidOption; }
void TCustomEncoder::SetHaltOnInvalidOption(bool AValue) { FImpl->FHaltOnInvalidOption = AValue; }
bool TCustomEncoder::Preview() const { return FImpl->FPreview; }
void TCustomEncoder::SetPreview(bool AValue) {
    FImpl->FPreview = AValue;
    for (auto& t : FImpl->FFFmpegList) t->SetPostHook(phPreview, AValue);
}
bool TCustomEncoder::PreviewBitmap() const { return FImpl->FPreviewBitmap; }
void TCustomEncoder::SetPreviewBitmap(bool AValue) {
    FImpl->FPreviewBitmap = AValue;
    for (auto& t : FImpl->FFFmpegList) t->SetPostHook(phBitmap, AValue);
}
int TCustomEncoder::ProgressInterval() const { return FImpl->FProgressInterval; }
void TCustomEncoder::SetProgressInterval(int AValue) {
    FImpl->FProgressInterval = AValue <= 100 ? 100 : AValue;
}
int TCustomEncoder::ReadTimeout() const { return FImpl->FReadTimeout; }
void TCustomEncoder::SetReadTimeout(int AValue) { FImpl->FReadTimeout = AValue; }
TThreadPriority TCustomEncoder::ThreadPriority() const { return FImpl->FThreadPriority; }
void TCustomEncoder::SetThreadPriority(TThreadPriority AValue) { FImpl->FThreadPriority = AValue; }
bool TCustomEncoder::TriggerEventInMainThread() const { return FImpl->FTriggerEventInMainThread; }
void TCustomEncoder::SetTriggerEventInMainThread(bool AValue) {
    FImpl->FTriggerEventInMainThread = AValue;
}
void* TCustomEncoder::UserData() const { return FImpl->FUserData; }
void TCustomEncoder::SetUserData(void* AValue) { FImpl->FUserData = AValue; }
int TCustomEncoder::Verbose() const { return FImpl->FVerbose; }
void TCustomEncoder::SetVerbose(int AValue) { FImpl->FVerbose = AValue; }
std::string TCustomEncoder::LastErrMsg() const { return FImpl->FLastErrMsg; }
int TCustomEncoder::TasksCount() const { return static_cast<int>(FImpl->FFFmpegList.size()); }
TFFDecoder* TCustomEncoder::Decoder() const { return FImpl->FDecoder.get(); }
bool TCustomEncoder::Working() const { return FImpl->FWorking; }
bool TCustomEncoder::Paused() const { return FImpl->FPaused; }
bool TCustomEncoder::Terminated() const { return FImpl->FTerminated; }
