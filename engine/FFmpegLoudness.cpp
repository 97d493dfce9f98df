// Loudness of a run's audio: the measuring pass before the headers (integrated loudness and true
// peak by libavfilter's ebur128, metered as the output will carry the audio: at its rate and
// channel layout), the gain that reaches a target, and the ReplayGain tags. Runs on the run's
// thread.
#include <cmath>
#include <limits>

#include "FFLoad.h"
#include "FFLog.h"
#include "FFmpegRun.h"
#include "Format.h"
#include "Convert.h"
#include "Mp4Tags.h"
#include "Platform.h"

namespace {

constexpr double kTruePeakLimit = -1.0;         // dBTP
constexpr double kReplayGainReference = -18.0;  // LUFS (ReplayGain 2.0)
constexpr double kSilence = -70.0;              // LUFS: ebur128's absolute gate, nothing to scale
// The filter reports peaks (linear) rounded to three decimals: limits take the largest value
// that rounds to the figure.
constexpr double kPeakRounding = 0.0005;
// The true peak is measured (a second, costlier pass: 4x oversampling) only where the sample
// peak after the gain comes within this many dB of the limit; inter-sample peaks of real audio
// stay below it.
constexpr double kTruePeakMargin = 4.0;
// Share of a task's progress that its measuring pass counts for (decoding only, against decoding
// and encoding for the run).
constexpr double kMeasureShare = 0.2;

double ToDb(double ALinear) { return 20.0 * std::log10(ALinear); }
double FromDb(double ADb) { return std::pow(10.0, ADb / 20.0); }

std::string SampleFormatName(int AFormat) {
    const char* s = avutil.av_get_sample_fmt_name(static_cast<AVSampleFormat>(AFormat));
    return s ? s : "";
}

std::string LayoutText(const AVChannelLayout& ALayout) {
    char text[256];
    if (avutil.av_channel_layout_describe(&ALayout, text, sizeof text) < 0)
        throw FFmpegException("av_channel_layout_describe failed");
    return text;
}

double MetaNumber(const AVFrame* AFrame, const char* AKey) {
    const AVDictionaryEntry* e = avutil.av_dict_get(AFrame->metadata, AKey, nullptr, 0);
    return e ? std::strtod(e->value, nullptr) : std::numeric_limits<double>::quiet_NaN();
}

// One filter graph from a source to a sink; AChain runs between them.
struct TFilterChain {
    TFilterGraphPtr graph;
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;

    TFilterChain(const std::string& ASourceArgs, const std::string& AChain) {
        graph.reset(avfilter.avfilter_graph_alloc());
        if (!graph) throw FFmpegException("av_mallocz fail");
        CheckAV(avfilter.avfilter_graph_create_filter(&src, avfilter.avfilter_get_by_name("abuffer"),
                                                      "in", ASourceArgs.c_str(), nullptr,
                                                      graph.get()),
                "abuffer");
        CheckAV(avfilter.avfilter_graph_create_filter(
                    &sink, avfilter.avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr,
                    graph.get()),
                "abuffersink");
        CheckAV(ParseFilterChain(graph.get(), src, sink, AChain), "avfilter_graph_parse_ptr");
        CheckAV(avfilter.avfilter_graph_config(graph.get(), nullptr), "avfilter_graph_config");
    }
};

}  // namespace

int ParseFilterChain(AVFilterGraph* AGraph, AVFilterContext* ASource, AVFilterContext* ASink,
                     const std::string& AChain) {
    AVFilterInOut* outputs = avfilter.avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter.avfilter_inout_alloc();
    int ret = AVERROR(ENOMEM);
    if (outputs && inputs) {
        outputs->name = avutil.av_strdup("in");
        outputs->filter_ctx = ASource;
        inputs->name = avutil.av_strdup("out");
        inputs->filter_ctx = ASink;
        if (outputs->name && inputs->name)
            ret = avfilter.avfilter_graph_parse_ptr(AGraph, AChain.c_str(), &inputs, &outputs,
                                                    nullptr);
    }
    avfilter.avfilter_inout_free(&outputs);
    avfilter.avfilter_inout_free(&inputs);
    return ret;
}

// Meters the audio of one or more inputs in turn as one programme. Each input gets its own
// converter to the output's rate and layout (inputs may differ in format); the meter sees one
// continuous stream.
class TCustomFFmpeg::TLoudnessMeter {
public:
    // The output's rate, layout and sample format: the conversion to them is the run's (a
    // downmix to an integer format, for one, is scaled down not to clip).
    // ATruePeak: Peak is the true peak, else the sample peak.
    TLoudnessMeter(int ARate, const AVChannelLayout& ALayout, AVSampleFormat AFormat,
                   bool ATruePeak)
        : FRate(ARate), FFormat(AFormat), FPeakKey(ATruePeak ? "lavfi.r128.true_peak"
                                                             : "lavfi.r128.sample_peak") {
        if (avutil.av_channel_layout_copy(&FLayout, &ALayout) < 0)
            throw FFmpegException("av_mallocz fail");
        FFrame.reset(avutil.av_frame_alloc());
        FMetered.reset(avutil.av_frame_alloc());
        if (!FFrame || !FMetered) throw FFmpegException("av_mallocz fail");
        FMeter = std::make_unique<TFilterChain>(
            Format("time_base=1/%d:sample_rate=%d:sample_fmt=dbl:channel_layout=%s", ARate, ARate,
                   LayoutText(FLayout)),
            ATruePeak ? "ebur128=peak=true:metadata=1" : "ebur128=peak=sample:metadata=1");
    }
    ~TLoudnessMeter() { avutil.av_channel_layout_uninit(&FLayout); }

    // A new input: its decoded frames are of this format, cut to [AStart, AEnd) seconds of
    // their time stamps (AEnd < 0: to the end).
    void BeginInput(const AVCodecContext* ADec, AVRational ATimeBase, double AStart, double AEnd) {
        EndInput();
        std::string chain = Format("atrim=start=%.6f", AStart);
        if (AEnd >= 0) chain += Format(":end=%.6f", AEnd);
        chain += Format(",aresample=%d,aformat=sample_fmts=%s:channel_layouts=%s,"
                        "aformat=sample_fmts=dbl",
                        FRate, SampleFormatName(FFormat), LayoutText(FLayout));
        FSourceArgs = Format("time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                             ATimeBase.num, ATimeBase.den, ADec->sample_rate,
                             SampleFormatName(ADec->sample_fmt), LayoutText(ADec->ch_layout));
        FChain = chain;
        FConverter = std::make_unique<TFilterChain>(FSourceArgs, FChain);
    }

    // A decoded frame of the current input (its pts in the input's time base).
    void Add(AVFrame* AFrame) {
        CheckAV(avfilter.av_buffersrc_add_frame_flags(FConverter->src, AFrame,
                                                      AV_BUFFERSRC_FLAG_KEEP_REF),
                "av_buffersrc_add_frame_flags");
        PullConverted();
    }

    void EndInput() {
        if (!FConverter) return;
        CheckAV(avfilter.av_buffersrc_add_frame_flags(FConverter->src, nullptr, 0),
                "av_buffersrc_add_frame_flags");
        PullConverted();
        FConverter.reset();
    }

    // Ends the programme; Integrated and Peak hold the result.
    void Finish() {
        EndInput();
        CheckAV(avfilter.av_buffersrc_add_frame_flags(FMeter->src, nullptr, 0),
                "av_buffersrc_add_frame_flags");
        PullMetered();
    }

    double Integrated = kSilence;  // LUFS
    double Peak = 0.0;             // linear

private:
    void PullConverted() {
        for (;;) {
            const int ret = avfilter.av_buffersink_get_frame(FConverter->sink, FFrame.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
            CheckAV(ret, "av_buffersink_get_frame");
            FFrame->pts = FSamples;
            FSamples += FFrame->nb_samples;
            const int sent = avfilter.av_buffersrc_add_frame_flags(FMeter->src, FFrame.get(), 0);
            avutil.av_frame_unref(FFrame.get());
            CheckAV(sent, "av_buffersrc_add_frame_flags");
            PullMetered();
        }
    }

    void PullMetered() {
        for (;;) {
            const int ret = avfilter.av_buffersink_get_frame(FMeter->sink, FMetered.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
            CheckAV(ret, "av_buffersink_get_frame");
            const double i = MetaNumber(FMetered.get(), "lavfi.r128.I");
            const double peak = MetaNumber(FMetered.get(), FPeakKey);
            if (std::isfinite(i)) Integrated = i;
            if (std::isfinite(peak)) Peak = std::max(Peak, peak);
            avutil.av_frame_unref(FMetered.get());
        }
    }

    int FRate;
    AVSampleFormat FFormat;
    const char* FPeakKey;
    AVChannelLayout FLayout{};
    int64_t FSamples = 0;
    std::string FSourceArgs, FChain;
    std::unique_ptr<TFilterChain> FMeter, FConverter;
    TFramePtr FFrame, FMetered;
};

void TCustomFFmpeg::SetLoudness(double ATarget, bool AReplayGainTags) {
    FLoudnessTarget = ATarget < 0 ? ATarget : 0.0;
    FReplayGainTags = AReplayGainTags;
}

// The audio output stream the loudness is measured for: the first one that is encoded.
TAVOutputStream* TCustomFFmpeg::LoudnessStream() const {
    for (TAVOutputStream* pos : FRun->ost)
        if (pos->encoding_needed && pos->st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            return pos;
    return nullptr;
}

void TCustomFFmpeg::MeasureLoudness() {
    FLoudness = TLoudness();
    FAudioGain = 1.0;
    FMeasureShare = 0.0;
    if (FLoudnessTarget >= 0 && !FReplayGainTags) return;
    TAVOutputStream* os = LoudnessStream();
    if (!os) return;
    struct TEnd {
        TCustomFFmpeg* self;
        ~TEnd() { self->EndBlockingStep(); }
    } end{this};
    BeginBlockingStep();

    // Integrated loudness and sample peak first; the true peak where the gain needs it.
    double peak = 0.0;
    if (!MeasurePass(*os, false, FLoudness.Integrated, peak)) return;
    FLoudness.SamplePeak = peak > 0 ? ToDb(peak) : -INFINITY;
    const double volume = FOptions->audio_volume > 0 ? ToDb(FOptions->audio_volume / 256.0) : 0.0;
    const bool loud = FLoudness.Integrated > kSilence;
    double gain = FLoudnessTarget < 0 && loud ? FLoudnessTarget - FLoudness.Integrated : 0.0;
    if (FLoudnessTarget < 0 && loud &&
        ToDb(peak + kPeakRounding) + gain + volume > kTruePeakLimit - kTruePeakMargin) {
        double integrated = 0.0;
        if (!MeasurePass(*os, true, integrated, peak)) return;
        FLoudness.TruePeak = peak > 0 ? ToDb(peak) : -INFINITY;
        // The user's volume stays an offset from the target; the limit holds for both.
        gain = std::min(gain, kTruePeakLimit - ToDb(peak + kPeakRounding) - volume);
    }
    if (gain != 0.0) {
        FLoudness.Gain = gain;
        FAudioGain = FromDb(gain);
    }
    std::string text = Format("Loudness: %.2f LUFS, sample peak %.2f dBFS", FLoudness.Integrated,
                              FLoudness.SamplePeak);
    if (!std::isnan(FLoudness.TruePeak)) text += Format(", true peak %.2f dBTP", FLoudness.TruePeak);
    text += Format(", gain %+.2f dB", FLoudness.Gain);
    if (FOptions->verbose >= 0) TheLogger()->Log(this, llInfo, text);
}

// One measuring pass over the inputs whose audio reaches AOst (its source, or every input of a
// merge), metered at the output's rate, layout and sample format; false when stopped.
bool TCustomFFmpeg::MeasurePass(const TAVOutputStream& AOst, bool ATruePeak, double& AIntegrated,
                                double& APeak) {
    const AVCodecContext* enc = AOst.coder->enc.get();
    TLoudnessMeter meter(enc->sample_rate, enc->ch_layout, enc->sample_fmt, ATruePeak);
    const TRun& R = *FRun;
    const int source = R.ist[AOst.source_index].file_index;
    int64_t done = 0;  // microseconds measured in earlier inputs
    for (int f = 0; f < nb_input_files() && !FBroken; ++f) {
        if (!FJoinMode && f != source) continue;
        int stream = -1;
        for (const TAVInputStream& ist : R.ist)
            if (ist.file_index == f && ist.decoding_needed &&
                ist.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                stream = ist.index;
                break;
            }
        if (stream < 0) continue;
        done += MeasureInput(meter, f, stream, done);
    }
    if (FBroken) return false;
    meter.Finish();
    AIntegrated = meter.Integrated;
    APeak = meter.Peak;
    FMeasureShare += kMeasureShare;
    return true;
}

// Input AIn opened again with its streams probed, every stream but AStream (audio, else it
// raises) discarded.
TInputContextPtr TCustomFFmpeg::OpenMeasuredInput(const TAVInputFile& AIn, int AStream) {
    AVFormatContext* raw = nullptr;
    const int ret = OpenInputFile(&raw, AIn.file_name, AIn.ctx->iformat, nullptr, 0);
    if (ret < 0) throw FFmpegException(MediaErrorText(AIn.file_name, ret));
    TInputContextPtr ic(raw);
    CheckAV(avformat.avformat_find_stream_info(ic.get(), nullptr), "avformat_find_stream_info");
    if (AStream >= int(ic->nb_streams) ||
        ic->streams[AStream]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        throw FFmpegException(Format("%s: the audio stream cannot be measured", AIn.file_name));
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        if (int(i) != AStream) ic->streams[i]->discard = AVDISCARD_ALL;
    return ic;
}

// The stream's decoder (AForced, else the codec's own) opened under the codec lock; raises.
TCodecContextPtr TCustomFFmpeg::OpenMeasureDecoder(const AVStream* ASt, const AVCodec* AForced,
                                                   const std::string& AFileName) {
    const AVCodec* codec =
        AForced ? AForced : avcodec.avcodec_find_decoder(ASt->codecpar->codec_id);
    if (!codec) throw FFmpegException(Format("%s: no decoder for the audio", AFileName));
    TCodecContextPtr dec(avcodec.avcodec_alloc_context3(codec));
    if (!dec) throw FFmpegException("av_mallocz fail");
    CheckAV(avcodec.avcodec_parameters_to_context(dec.get(), ASt->codecpar),
            "avcodec_parameters_to_context");
    dec->pkt_timebase = ASt->time_base;
    int ret;
    {
        TCodecLockGuard lock;
        ret = avcodec.avcodec_open2(dec.get(), codec, nullptr);
    }
    CheckAV(ret, "avcodec_open2");
    return dec;
}

// A progress report of the measuring pass at ADone microseconds of it: the passes count as the
// first part of the run.
void TCustomFFmpeg::ReportMeasure(int AFile, int64_t ADone) {
    TTranscodeProgress p;
    p.FileIndex = AFile;
    p.TotalDuration = FTotalOutputDuration;
    p.CurrentDuration = static_cast<int64_t>(double(FTotalOutputDuration) * FMeasureShare +
                                             double(ADone) * kMeasureShare);
    OnProgress(p);
}

// Decodes input AFile's stream AStream from a context of its own (the run's stays where it is)
// into AMeter; returns the microseconds measured. Progress reports count the pass as the first
// part of the run.
int64_t TCustomFFmpeg::MeasureInput(TLoudnessMeter& AMeter, int AFile, int AStream, int64_t ADone) {
    const TAVInputFile& in = FInputFiles[AFile];
    TInputContextPtr ic = OpenMeasuredInput(in, AStream);
    AVStream* st = ic->streams[AStream];
    TCodecContextPtr dec = OpenMeasureDecoder(st, ic->audio_codec, in.file_name);
    int ret = 0;

    // The window of the run: from the seek target (plus the output's start) for the recording
    // time, in the file's time (its start time is 0).
    const int64_t fileStart = ic->start_time == kNoPTS ? 0 : ic->start_time;
    const int64_t start = in.seek_target + (FJoinMode ? 0 : FOptions->start_time);
    const int64_t length = FJoinMode ? INT64_MAX : FOptions->recording_time;
    if (in.seek_target > 0) {
        const int64_t target = fileStart + in.seek_target;
        avformat.avformat_seek_file(ic.get(), -1, INT64_MIN, target, target, 0);
    }
    const AVRational tb = st->time_base;
    AMeter.BeginInput(dec.get(), tb, double(start) / AV_TIME_BASE,
                      length == INT64_MAX ? -1.0 : double(start + length) / AV_TIME_BASE);

    TPacketPtr pkt(avcodec.av_packet_alloc());
    TFramePtr frame(avutil.av_frame_alloc());
    if (!pkt || !frame) throw FFmpegException("av_mallocz fail");
    int64_t position = 0;  // microseconds into the window
    int64_t lastReport = NowMicroseconds();
    const auto takeFrames = [&] {
        while (avcodec.avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            int64_t ts = frame->best_effort_timestamp;
            if (ts != kNoPTS) {
                ts -= avutil.av_rescale_q(fileStart, AVRational{1, AV_TIME_BASE}, tb);
                position = std::max<int64_t>(
                    0, avutil.av_rescale_q(ts, tb, AVRational{1, AV_TIME_BASE}) - start);
            }
            frame->pts = ts;
            AMeter.Add(frame.get());
            avutil.av_frame_unref(frame.get());
        }
    };
    for (;;) {
        PassPauseGate();
        if (FBroken) return position;
        FLastRead = NowMicroseconds();
        ret = avformat.av_read_frame(ic.get(), pkt.get());
        if (ret < 0) break;
        if (pkt->stream_index == AStream) {
            // A packet the decoder refuses is skipped: the run reports what cannot be decoded.
            if (avcodec.avcodec_send_packet(dec.get(), pkt.get()) >= 0) takeFrames();
        }
        avcodec.av_packet_unref(pkt.get());
        if (position >= length) break;
        if (OnProgress && NowMicroseconds() - lastReport >= ReportInterval) {
            lastReport = NowMicroseconds();
            ReportMeasure(AFile, ADone + position);
        }
    }
    if (avcodec.avcodec_send_packet(dec.get(), nullptr) >= 0) takeFrames();
    AMeter.EndInput();
    return position;
}

// After the metadata maps: ReplayGain tags of the measured audio; tags copied from a source
// whose level the run changes are removed, they would be wrong.
void TCustomFFmpeg::ApplyLoudnessTags() {
    if (FLoudnessTarget >= 0 && !FReplayGainTags) return;
    static const char* const kKeys[] = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                                        "REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK",
                                        "R128_TRACK_GAIN", "R128_ALBUM_GAIN"};
    for (TAVOutputFile& out : FOutputFiles) {
        if (out.group != 0) continue;
        AVDictionary** tags[] = {&out.ctx->metadata, nullptr};
        for (TAVOutputStream& s : out.streams)
            if (s.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) tags[1] = &s.st->metadata;
        if (FAudioGain != 1.0 || FReplayGainTags)
            for (AVDictionary** d : tags)
                for (const char* key : kKeys)
                    while (d && avutil.av_dict_get(*d, key, nullptr, 0))
                        CheckAV(avutil.av_dict_set(d, key, nullptr, 0), "av_dict_set");
        for (const auto& [key, value] : ReplayGainTags())
            CheckAV(avutil.av_dict_set(&out.ctx->metadata, key.c_str(), value.c_str(), 0),
                    "av_dict_set");
    }
}

// The ReplayGain tags of the measured audio; none when nothing was measured.
std::vector<std::pair<std::string, std::string>> TCustomFFmpeg::ReplayGainTags() const {
    if (!FReplayGainTags || !(FLoudness.Integrated > kSilence)) return {};
    return {{"REPLAYGAIN_TRACK_GAIN",
             Format("%+.2f dB", kReplayGainReference - FLoudness.Integrated)},
            {"REPLAYGAIN_TRACK_PEAK",
             Format("%.6f", FromDb(std::isnan(FLoudness.TruePeak) ? FLoudness.SamplePeak
                                                                 : FLoudness.TruePeak))}};
}

// After the trailers: MP4 outputs get their ReplayGain tags as freeform tags, which the muxer
// does not write. A file that cannot take them keeps its audio; the log says why.
void TCustomFFmpeg::AddMp4LoudnessTags() {
    const auto tags = ReplayGainTags();
    if (tags.empty()) return;
    for (const TAVOutputFile& out : FOutputFiles) {
        const std::string muxer = out.ctx->oformat->name;
        if (out.group != 0 || !out.writes_file || (muxer != "mp4" && muxer != "ipod" && muxer != "mov"))
            continue;
        std::vector<std::pair<std::string, std::string>> lower;
        for (const auto& [key, value] : tags) lower.emplace_back(LowerCase(key), value);
        std::string error;
        const std::string& name = out.working_name.empty() ? out.file_name : out.working_name;
        if (!AddMp4FreeformTags(Utf8ToPath(name), lower, error))
            TheLogger()->Log(this, llWarning, error);
    }
}

// A progress position of the run (microseconds of output) as part of the whole task: after a
// measuring pass the run counts for the rest.
int64_t TCustomFFmpeg::RunProgress(int64_t APosition) const {
    if (FMeasureShare <= 0 || FTotalOutputDuration <= 0) return APosition;
    return static_cast<int64_t>(double(FTotalOutputDuration) * FMeasureShare +
                                double(APosition) * (1.0 - FMeasureShare));
}
