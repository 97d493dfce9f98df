#include "WaveOverview.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "Dispatcher.h"
#include "FFLoad.h"
#include "FFPtr.h"
#include "FFUtils.h"
#include "Platform.h"

// What the main thread and the worker share of one computation. Abort is set on the main thread
// only, so a hand-over that runs there after it sees it and delivers nothing.
struct TWaveOverview::TJob {
    std::string FileName;
    int64_t Duration = 0;
    int Columns = 0;
    std::atomic<bool> Abort{false};
    std::atomic<bool> Done{false};  // the worker has handed over its last result
};

namespace {

using Clock = std::chrono::steady_clock;

// Lowest and highest sample of [AFrom, ATo) over every channel of AFrame, whose samples are Ts
// (planar when its format is APlanar), at full scale ±1: (raw - AOffset) * AScale.
template <typename T>
void ScaledRange(const AVFrame* AFrame, AVSampleFormat APlanar, int AFrom, int ATo, double AOffset, double AScale,
                 float& AMin, float& AMax) {
    const int channels = AFrame->ch_layout.nb_channels;
    T lo = std::numeric_limits<T>::max(), hi = std::numeric_limits<T>::lowest();
    const auto scan = [&](const T* ASamples, int AFirst, int AEnd) {
        for (int i = AFirst; i < AEnd; ++i) {
            lo = std::min(lo, ASamples[i]);
            hi = std::max(hi, ASamples[i]);
        }
    };
    if (AFrame->format == APlanar)
        for (int c = 0; c < channels; ++c) scan(reinterpret_cast<const T*>(AFrame->extended_data[c]), AFrom, ATo);
    else
        scan(reinterpret_cast<const T*>(AFrame->extended_data[0]), AFrom * channels, ATo * channels);
    AMin = static_cast<float>(std::clamp((static_cast<double>(lo) - AOffset) * AScale, -1.0, 1.0));
    AMax = static_cast<float>(std::clamp((static_cast<double>(hi) - AOffset) * AScale, -1.0, 1.0));
}

// The range of samples [AFrom, ATo) at full scale ±1; false for a sample format we do not read.
bool SampleRange(const AVFrame* AFrame, int AFrom, int ATo, float& AMin, float& AMax) {
    switch (static_cast<AVSampleFormat>(AFrame->format)) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_U8P:
            ScaledRange<uint8_t>(AFrame, AV_SAMPLE_FMT_U8P, AFrom, ATo, 128, 1.0 / 128, AMin, AMax);
            break;
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P:
            ScaledRange<int16_t>(AFrame, AV_SAMPLE_FMT_S16P, AFrom, ATo, 0, 0x1p-15, AMin, AMax);
            break;
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
            ScaledRange<int32_t>(AFrame, AV_SAMPLE_FMT_S32P, AFrom, ATo, 0, 0x1p-31, AMin, AMax);
            break;
        case AV_SAMPLE_FMT_S64:
        case AV_SAMPLE_FMT_S64P:
            ScaledRange<int64_t>(AFrame, AV_SAMPLE_FMT_S64P, AFrom, ATo, 0, 0x1p-63, AMin, AMax);
            break;
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
            ScaledRange<float>(AFrame, AV_SAMPLE_FMT_FLTP, AFrom, ATo, 0, 1, AMin, AMax);
            break;
        case AV_SAMPLE_FMT_DBL:
        case AV_SAMPLE_FMT_DBLP:
            ScaledRange<double>(AFrame, AV_SAMPLE_FMT_DBLP, AFrom, ATo, 0, 1, AMin, AMax);
            break;
        default:
            return false;
    }
    return true;
}

// The peaks of one computation, filled frame by frame on the worker thread.
class TPeakCollector {
public:
    TPeakCollector(int64_t ADuration, int AColumns)
        : Peaks(static_cast<size_t>(AColumns)), FColumns(AColumns), FColumnSeconds(ADuration / 1e6 / AColumns) {}

    // Adds a decoded frame whose first sample plays at AStart µs; samples past the duration are
    // not shown (a container may state less than the file holds). False for an unreadable format.
    bool Add(const AVFrame* AFrame, int64_t AStart) {
        const int rate = AFrame->sample_rate;
        if (rate <= 0 || AFrame->ch_layout.nb_channels <= 0) return false;
        const double start = AStart / 1e6;
        for (int i = 0; i < AFrame->nb_samples;) {
            const double slot = std::floor((start + static_cast<double>(i) / rate) / FColumnSeconds);
            if (slot >= FColumns) break;
            const int column = slot < 0 ? 0 : static_cast<int>(slot);
            // The first sample of the next column.
            const double next = std::ceil(((column + 1) * FColumnSeconds - start) * rate);
            const int end = static_cast<int>(std::clamp(next, i + 1.0, static_cast<double>(AFrame->nb_samples)));
            float lo = 0, hi = 0;
            if (!SampleRange(AFrame, i, end, lo, hi)) return false;
            TWavePeak& peak = Peaks[static_cast<size_t>(column)];
            peak.Min = std::min(peak.Min, lo);
            peak.Max = std::max(peak.Max, hi);
            Current = std::max(Current, column);
            i = end;
        }
        return true;
    }

    std::vector<TWavePeak> Peaks;
    int Current = 0;  // the column of the latest sample: the ones before it are final

private:
    const int FColumns;
    const double FColumnSeconds;
};

bool JobAborted(void* ASender) {
    return static_cast<const std::atomic<bool>*>(ASender)->load();
}

// The decoding of one file's first audio stream into peaks: its steps, each answering an error
// text (empty when it went well). Worker thread.
class TPeakDecoding {
public:
    TPeakDecoding(const std::string& AFileName, TPeakCollector& ACollector)
        : FFileName(AFileName), FCollector(ACollector) {}
    std::string OpenInput();
    std::string OpenDecoder();
    std::string Decode(const std::atomic<bool>& AAbort, const std::function<void()>& AHandOver);

private:
    bool Receive();

    const std::string& FFileName;
    TPeakCollector& FCollector;
    TInputContextPtr FInput;
    int FIndex = -1;
    const AVCodec* FCodec = nullptr;
    TLockedDecoder FDecoder;
    TFramePtr FFrame;
    int64_t FStartTime = 0;  // µs: the file's own start
    int64_t FNext = 0;       // µs of the sample after the last frame, for frames without a time stamp
    std::string FError;
};

// The file opened and probed, its first audio stream chosen and every other one discarded.
std::string TPeakDecoding::OpenInput() {
    AVFormatContext* ic = nullptr;
    int r = 0;
    try {
        r = OpenInputFile(&ic, FFileName, nullptr, nullptr);
    } catch (const EFileNameTooLong& e) {
        return e.what();
    }
    if (r < 0) return MediaErrorText(FFileName, r);
    FInput.reset(ic);
    if (avformat.avformat_find_stream_info(ic, nullptr) < 0) return FFileName + ": could not find codec parameters";
    FIndex = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, &FCodec, 0);
    if (FIndex < 0 || !FCodec) return FFileName + ": no audio stream";
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        ic->streams[i]->discard = static_cast<int>(i) == FIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    FStartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    return {};
}

// The stream's decoder, single-threaded, opened under the codec lock.
std::string TPeakDecoding::OpenDecoder() {
    const AVStream* st = FInput->streams[FIndex];
    FDecoder.Context.reset(avcodec.avcodec_alloc_context3(FCodec));
    AVCodecContext* dec = FDecoder.Context.get();
    if (!dec) return FFileName + ": out of memory";
    int r = avcodec.avcodec_parameters_to_context(dec, st->codecpar);
    if (r >= 0) {
        dec->pkt_timebase = st->time_base;
        dec->thread_count = 1;
        TCodecLockGuard lock;
        r = avcodec.avcodec_open2(dec, FCodec, nullptr);
    }
    if (r < 0) return MediaErrorText(FFileName, r);
    FFrame.reset(avutil.av_frame_alloc());
    return FFrame ? std::string() : FFileName + ": out of memory";
}

// Every frame the decoder has, into the collector; false on a decoding error (in FError).
bool TPeakDecoding::Receive() {
    AVCodecContext* dec = FDecoder.Context.get();
    const AVRational tb = FInput->streams[FIndex]->time_base;
    AVFrame* frame = FFrame.get();
    for (;;) {
        const int ret = avcodec.avcodec_receive_frame(dec, frame);
        // A frame the decoder finds damaged is skipped like a player would.
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF || ret == AVERROR_INVALIDDATA) return true;
        if (ret < 0) {
            FError = MediaErrorText(FFileName, ret);
            return false;
        }
        const int64_t pts = frame->best_effort_timestamp;
        const int64_t start = pts != AV_NOPTS_VALUE
                                  ? avutil.av_rescale_q(pts, tb, AVRational{1, AV_TIME_BASE}) - FStartTime
                                  : FNext;
        if (frame->sample_rate > 0) FNext = start + int64_t{frame->nb_samples} * AV_TIME_BASE / frame->sample_rate;
        const bool read = FCollector.Add(frame, start);
        avutil.av_frame_unref(frame);
        if (!read) {
            FError = FFileName + ": unsupported sample format";
            return false;
        }
    }
}

// Reads and decodes to the end (a damaged tail ends it: the overview shows what was read),
// calling AHandOver every kHandOverMillis; an abort answers no error.
std::string TPeakDecoding::Decode(const std::atomic<bool>& AAbort, const std::function<void()>& AHandOver) {
    AVFormatContext* ic = FInput.get();
    AVCodecContext* dec = FDecoder.Context.get();
    TPacketPtr packet(avcodec.av_packet_alloc());
    if (!packet) return FFileName + ": out of memory";
    auto lastHandOver = Clock::now();
    for (;;) {
        if (AAbort) return {};
        int r = avformat.av_read_frame(ic, packet.get());
        if (r == AVERROR_EOF) break;
        if (r < 0) {
            if (AAbort) return {};
            break;
        }
        if (packet->stream_index == FIndex) {
            r = avcodec.avcodec_send_packet(dec, packet.get());
            // A damaged packet is skipped like a player would.
            if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA) FError = MediaErrorText(FFileName, r);
        }
        avcodec.av_packet_unref(packet.get());
        if (!FError.empty() || !Receive()) return FError;
        if (Clock::now() - lastHandOver >= std::chrono::milliseconds(TWaveOverview::kHandOverMillis)) {
            AHandOver();
            lastHandOver = Clock::now();
        }
    }
    const int r = avcodec.avcodec_send_packet(dec, nullptr);
    if (r < 0 && r != AVERROR_EOF) return MediaErrorText(FFileName, r);
    Receive();
    return FError;
}

// Decodes the first audio stream of AFileName into ACollector; calls AHandOver every
// kHandOverMillis. Answers an error text, empty on success or abort. Worker thread.
std::string DecodePeaks(const std::string& AFileName, const std::atomic<bool>& AAbort, TPeakCollector& ACollector,
                        const std::function<void()>& AHandOver) {
    TPeakDecoding decoding(AFileName, ACollector);
    std::string error = decoding.OpenInput();
    if (error.empty()) error = decoding.OpenDecoder();
    if (error.empty()) error = decoding.Decode(AAbort, AHandOver);
    return error;
}

}  // namespace

// ---- main thread --------------------------------------------------------------------------

TWaveOverview::~TWaveOverview() {
    Cancel();
}

void TWaveOverview::Start(const std::string& AFileName, int64_t ADuration, int AColumns) {
    Cancel();
    FLastErrMsg.clear();
    FFinished = false;
    if (ADuration <= 0 || AColumns <= 0) return;
    auto job = std::make_shared<TJob>();
    job->FileName = AFileName;
    job->Duration = ADuration;
    job->Columns = AColumns;
    FJob = job;
    FThread = std::thread([this, job] {
        // The blocking I/O of the decode ends when the computation is cancelled.
        GlobalInterruptCB.Add(CurrentThreadID(), &job->Abort, JobAborted);
        TPeakCollector collector(job->Duration, job->Columns);
        const auto handOver = [&](bool AFinished, const std::string& AError) {
            const std::vector<TWavePeak> peaks = collector.Peaks;
            const int done = AFinished ? job->Columns : collector.Current;
            Synchronize([&] {
                if (!job->Abort) Deliver(*job, peaks, done, AFinished, AError);
            });
        };
        const std::string error = DecodePeaks(job->FileName, job->Abort, collector, [&] { handOver(false, {}); });
        GlobalInterruptCB.Remove(CurrentThreadID(), &job->Abort, JobAborted);
        if (!job->Abort) handOver(true, error);
        job->Done = true;
    });
}

void TWaveOverview::Deliver(const TJob& AJob, const std::vector<TWavePeak>& APeaks, int AColumnsDone, bool AFinished,
                            const std::string& AError) {
    if (&AJob != FJob.get()) return;
    if (AFinished) {
        FFinished = true;
        FLastErrMsg = AError;
    }
    if (FOnPeaks) FOnPeaks(APeaks, AColumnsDone, AFinished);
}

void TWaveOverview::Cancel() {
    if (!FJob) return;
    FJob->Abort = true;
    // The worker may be waiting in a hand-over to this thread: pump until it has ended.
    const std::shared_ptr<TJob> job = FJob;
    WaitPumping([&job] { return job->Done.load(); }, std::chrono::milliseconds(5));
    if (FThread.joinable()) FThread.join();
    FJob.reset();
}
