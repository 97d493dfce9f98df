// Transcode pipeline: opening inputs and outputs while a task is built, and the run (set-up, the
// read-decode-encode-write loop, merge mode, progress, end). The audio branch is in
// FFmpegAudio.cpp, video and subtitles in FFmpegVideo.cpp.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <thread>

#include "Assert.h"
#include "FFLoad.h"
#include "FFLog.h"
#include "FFUtils.h"
#include "FFmpegRun.h"
#include "OutputNames.h"
#include "Format.h"
#include "Platform.h"
#include "ProbeCache.h"
#include "UnicodeProtocol.h"
#include "WorkingFiles.h"

namespace fs = std::filesystem;

int64_t NowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void TCustomFFmpeg::TRunDeleter::operator()(TRun* ARun) const { delete ARun; }

TStreamCoder::~TStreamCoder() {
    if (logfile) fclose(logfile);
    avutil.av_channel_layout_uninit(&resample_layout);
}

TCustomFFmpeg::~TCustomFFmpeg() {
    try {
        CloseCodecs();
        CloseAll();
    } catch (...) {
        // Destruction must not throw; closing already logged what failed.
    }
}

namespace {

// Same file on disk (both exist), or the same normalised path.
bool SameFile(const std::string& A, const std::string& B) {
    std::error_code ec;
    const fs::path a = Utf8ToPath(A), b = Utf8ToPath(B);
    if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// An output written as a plain file goes through a working file beside it; URLs, devices and
// pipes are written directly.
bool UsesWorkingFile(const std::string& AFileName) {
    const size_t colon = AFileName.find(':');
    if (colon != std::string::npos && colon > 1 && !NeedsUnicodeURL(AFileName)) return false;
    std::error_code ec;
    const fs::file_status st = fs::status(Utf8ToPath(AFileName), ec);
    return !fs::exists(st) || fs::is_regular_file(st);
}

// A muxer with a movie time scale (mov, mp4, ipod ...) measures its edit lists in it: at its
// default of 1000 a clip shorter than a millisecond gets an empty edit and decodes to nothing, so
// the scale is the audio's sample rate (a generic "movie_timescale" option still overrides it).
void SetMovieTimescale(TAVOutputFile& AOut) {
    AVFormatContext* oc = AOut.ctx.get();
    if (!oc->priv_data ||
        !avutil.av_opt_find(oc->priv_data, "movie_timescale", nullptr, 0, 0))
        return;
    for (const TAVOutputStream& os : AOut.streams) {
        if (os.st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        const int rate = os.coder && os.coder->enc ? os.coder->enc->sample_rate
                                                   : os.st->codecpar->sample_rate;
        if (rate > 0)
            CheckAV(avutil.av_opt_set_int(oc->priv_data, "movie_timescale", rate, 0),
                    "av_opt_set_int");
        return;
    }
}

// The AIFF muxer keeps only title, author, copyright and comment in its own chunks; its ID3v2
// chunk keeps every tag (artist, album, date, track ...). A generic option still overrides it.
void KeepAllTags(TAVOutputFile& AOut) {
    AVFormatContext* oc = AOut.ctx.get();
    if (std::string(oc->oformat->name) == "aiff" && oc->priv_data &&
        avutil.av_opt_find(oc->priv_data, "write_id3v2", nullptr, 0, 0))
        CheckAV(avutil.av_opt_set_int(oc->priv_data, "write_id3v2", 1, 0), "av_opt_set_int");
}

}  // namespace

// ---- read time-out and break checks ----------------------------------------------------------

// Called under the interrupt registry's lock: only decides and records why; EndBlockingStep logs.
bool TCustomFFmpeg::ReadTimeoutCheck(void* ASender) {
    auto* self = static_cast<TCustomFFmpeg*>(ASender);
    if (self->FBroken) return true;
    const int64_t last = self->FLastRead.load();
    if (self->FReadTimeout > 0 && NowMicroseconds() - last > int64_t(self->FReadTimeout) * 1000) {
        self->FInterrupted = last == 0 ? irCanceled : irTimeout;
        return true;
    }
    return false;
}

bool TCustomFFmpeg::BreakCheck(void* ASender) {
    return static_cast<TCustomFFmpeg*>(ASender)->FBroken.load();
}

void TCustomFFmpeg::BeginBlockingStep() {
    FLastRead = NowMicroseconds();
    FInterrupted = irNone;
    GlobalInterruptCB.Add(CurrentThreadID(), this, ReadTimeoutCheck);
}

void TCustomFFmpeg::EndBlockingStep() {
    FLastRead = INT64_MAX;
    GlobalInterruptCB.Remove(CurrentThreadID(), this, ReadTimeoutCheck);
    const int why = FInterrupted.exchange(irNone);
    if (why != irNone)
        TheLogger()->Log(this, llInfo,
                         why == irCanceled ? "connecting/reading/writing canceled"
                                           : "connecting/reading/writing timeout");
}

void TCustomFFmpeg::RequestStop() {
    FBroken = true;
    if (!FRunsOnWorker) FLastRead = 0;
    std::lock_guard lock(FPauseLock);
    FPauseCond.notify_all();
}

void TCustomFFmpeg::SetPaused(bool APaused) {
    std::lock_guard lock(FPauseLock);
    FPaused = APaused;
    FPauseCond.notify_all();
}

bool TCustomFFmpeg::PausedGate() const {
    std::lock_guard lock(FPauseLock);
    return FPaused;
}

void TCustomFFmpeg::PassPauseGate() {
    std::unique_lock lock(FPauseLock);
    FPauseCond.wait(lock, [this] { return !FPaused || FBroken.load(); });
}

void TCustomFFmpeg::SetPostHook(TPostHook AHook, bool AOn) {
    std::lock_guard lock(FPostHookLock);
    FPostHooks = AOn ? (FPostHooks | AHook) : (FPostHooks & ~AHook);
}

bool TCustomFFmpeg::PostHook(TPostHook AHook) const {
    std::lock_guard lock(FPostHookLock);
    return (FPostHooks & AHook) != 0;
}

std::vector<std::string> TCustomFFmpeg::OutputFileNames() const {
    std::vector<std::string> names;
    for (const TAVOutputFile& o : FOutputFiles)
        if (o.group == 0) names.push_back(o.file_name);
    return names;
}

std::vector<AVRational> TCustomFFmpeg::InputVideoFrameRates() const {
    std::vector<AVRational> rates;
    for (const TAVInputFile& f : FInputFiles)
        for (unsigned i = 0; i < f.ctx->nb_streams; ++i) {
            const AVStream* st = f.ctx->streams[i];
            if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
            rates.push_back(st->r_frame_rate.num ? st->r_frame_rate : st->avg_frame_rate);
        }
    return rates;
}

// ---- opening an input ------------------------------------------------------------------------

// What one input open carries from step to step; the input owns the context once it is open.
struct TCustomFFmpeg::TInputOpen {
    std::string FileName;
    const AVInputFormat* Format = nullptr;  // the forced demuxer, or none
    TDictionary Options;                    // demuxer parameters and generic options
    const AVCodec* Forced[3] = {};          // forced decoders, in kForcedKinds order
    TProbeKey ProbeKey;                     // empty unless the open is a plain one
    TAVInputFile Input;
    int64_t Target = 0;  // the seek target: start time plus the file's own start
};

namespace {
const AVMediaType kForcedKinds[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
}  // namespace

// The open's steps in order; a false step leaves LastErrMsg set and closes what it opened.
bool TCustomFFmpeg::OpenInput(const std::string& AFileName) {
    EnsureTemplates();
    TInputOpen open;
    open.FileName = AFileName;
    FindInputFormat(open);    // 1
    SetDemuxerOptions(open);  // 2
    // 2 to 5
    if (!FindForcedDecoders(open) || !OpenInputContext(open) || !SelectProgram(open) ||
        !ProbeInput(open))
        return false;
    SeekInputStart(open);    // 6
    TakeInputStreams(open);  // 7
    RecordInput(open);       // 8, 9
    return true;
}

// 1. The forced demuxer ("f"), used up; an unknown name raises.
void TCustomFFmpeg::FindInputFormat(TInputOpen& AOpen) {
    TOptionState& o = FOptions;
    if (o.forced_format.empty()) return;
    AOpen.Format = avformat.av_find_input_format(o.forced_format.c_str());
    if (!AOpen.Format)
        throw FFmpegException(Format("Unknown input format: \"%s\"", o.forced_format));
    o.forced_format.clear();
}

// 2. Format parameters for demuxers that need them (raw audio and video, devices), and the
// generic options meant for decoding that the demuxer knows.
void TCustomFFmpeg::SetDemuxerOptions(TInputOpen& AOpen) {
    const TOptionState& o = FOptions;
    TDictionary& opts = AOpen.Options;
    if (AOpen.Format) {
        opts.Set("sample_rate", std::string(std::to_string(o.audio_sample_rate)).c_str());
        opts.Set("channels", std::string(std::to_string(o.audio_channels)).c_str());
    }
    if (o.frame_width > 0 && o.frame_height > 0)
        opts.Set("video_size", std::string(Format("%dx%d", o.frame_width, o.frame_height)).c_str());
    if (o.frame_pix_fmt != AV_PIX_FMT_NONE)
        opts.Set("pixel_format", std::string(avutil.av_get_pix_fmt_name(o.frame_pix_fmt)).c_str());
    if (o.video_channel) opts.Set("channel", std::string(std::to_string(o.video_channel)).c_str());
    if (!o.video_standard.empty()) opts.Set("standard", std::string(o.video_standard).c_str());
    const AVClass* fcls = avformat.avformat_get_class();
    for (const TGenericOption& g : o.generic_options)
        if (g.kind == AVMEDIA_TYPE_UNKNOWN &&
            avutil.av_opt_find(const_cast<AVClass**>(&fcls), g.name.c_str(), nullptr,
                               AV_OPT_FLAG_DECODING_PARAM, AV_OPT_SEARCH_FAKE_OBJ))
            opts.Set(g.name.c_str(), g.value.c_str());
}

// 2. Forced decoders must exist and be of the right kind; false with the option table's message.
bool TCustomFFmpeg::FindForcedDecoders(TInputOpen& AOpen) {
    for (int k = 0; k < 3; ++k) {
        const std::string& name = FOptions->Kind(kForcedKinds[k]).codec_name;
        if (name.empty()) continue;
        try {
            AOpen.Forced[k] = FindCodec(name, kForcedKinds[k], false);
        } catch (const FFmpegException& e) {
            FLastErrMsg = e.what();
            return false;
        }
    }
    return true;
}

// 3. The file opened under the read time-out, with the forced decoders; false with the
// library's error text. A file opened as it is, without options that steer the demuxer or its
// probe, is probed once while unchanged: the key is taken before the open, so it describes what
// was opened.
bool TCustomFFmpeg::OpenInputContext(TInputOpen& AOpen) {
    const AVInputFormat* fmt = AOpen.Format;
    const bool plainOpen = !fmt && !AOpen.Options.Get() && !AOpen.Forced[0] && !AOpen.Forced[1] &&
                           !AOpen.Forced[2] && !FOptions->opt_programid;
    AOpen.ProbeKey = plainOpen ? TProbeCache::KeyOf(AOpen.FileName) : TProbeKey{};
    const AVInputFormat* known = TProbeCache::Global().InputFormat(AOpen.ProbeKey);

    AVFormatContext* raw = nullptr;
    BeginBlockingStep();
    int ret = OpenInputFile(&raw, AOpen.FileName, fmt ? fmt : known, AOpen.Options.Ref(),
                            AVFMT_FLAG_NONBLOCK);
    if (ret < 0 && known && !FBroken)  // the recorded demuxer no longer opens it: probe
        ret = OpenInputFile(&raw, AOpen.FileName, fmt, AOpen.Options.Ref(), AVFMT_FLAG_NONBLOCK);
    EndBlockingStep();
    if (ret < 0) {
        FLastErrMsg = MediaErrorText(AOpen.FileName, ret);
        return false;
    }
    AOpen.Input.ctx.reset(raw);
    AOpen.Input.file_name = AOpen.FileName;
    for (int k = 0; k < 3; ++k) {
        if (!AOpen.Forced[k]) continue;
        if (kForcedKinds[k] == AVMEDIA_TYPE_VIDEO) raw->video_codec = AOpen.Forced[k];
        if (kForcedKinds[k] == AVMEDIA_TYPE_AUDIO) raw->audio_codec = AOpen.Forced[k];
        if (kForcedKinds[k] == AVMEDIA_TYPE_SUBTITLE) raw->subtitle_codec = AOpen.Forced[k];
    }
    return true;
}

// 4. With a program id, only the chosen program's streams stay; false when no program has the
// id. The id is used up.
bool TCustomFFmpeg::SelectProgram(TInputOpen& AOpen) {
    TOptionState& o = FOptions;
    if (!o.opt_programid) return true;
    AVFormatContext* ic = AOpen.Input.ctx.get();
    bool found = false;
    for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
        AVProgram* prog = ic->programs[p];
        if (prog->id != o.opt_programid) continue;
        found = true;
        for (unsigned j = 0; j < prog->nb_stream_indexes; ++j)
            ic->streams[prog->stream_index[j]]->discard = AVDISCARD_DEFAULT;
    }
    if (!found) {
        FLastErrMsg = "Specified program id not found";
        return false;
    }
    o.opt_programid = 0;
    return true;
}

// 5. The before-probe notice, then the streams' parameters from the last probe of the unchanged
// file or probed under the read time-out; false when probing fails or a stop cut it short.
bool TCustomFFmpeg::ProbeInput(TInputOpen& AOpen) {
    AVFormatContext* ic = AOpen.Input.ctx.get();
    const std::string& name = AOpen.FileName;
    if (OnBeforeFindStreamInfo) OnBeforeFindStreamInfo(ic);
    int ret = TProbeCache::Global().Apply(AOpen.ProbeKey, ic);
    if (ret < 0) {
        FLastErrMsg = MediaErrorText(name, ret);
        return false;
    }
    if (ret > 0) {
        if (FOptions->verbose > 0)
            TheLogger()->Log(this, llVerbose,
                             Format("%s: codec parameters of its last probe", name));
    } else {
        BeginBlockingStep();
        ret = avformat.avformat_find_stream_info(ic, nullptr);
        EndBlockingStep();
        if (ret < 0) {
            FLastErrMsg = Format("%s: could not find codec parameters", name);
            if (FOptions->verbose >= 0) TheLogger()->Log(this, llVerbose, FLastErrMsg);
            return false;
        }
        if (!FBroken) TProbeCache::Global().Store(AOpen.ProbeKey, ic);  // not a probe cut short
    }
    if (FBroken) {
        FLastErrMsg = Format("%s: %s", name, ErrorCodeText(AVERROR_EXIT));
        return false;
    }
    return true;
}

// 6. A start time seeks there under the read time-out (a failure is only logged); the start
// time is used up, so that it applies to this input only.
void TCustomFFmpeg::SeekInputStart(TInputOpen& AOpen) {
    TOptionState& o = FOptions;
    AVFormatContext* ic = AOpen.Input.ctx.get();
    int64_t& timestamp = AOpen.Target;
    timestamp = o.start_time;
    if (ic->start_time != kNoPTS &&
        __builtin_add_overflow(o.start_time, ic->start_time, &timestamp))
        timestamp = ic->start_time > 0 ? INT64_MAX : INT64_MIN;
    if (o.start_time != 0) {
        int64_t target = timestamp;
        BeginBlockingStep();
        const int ret = avformat.avformat_seek_file(ic, -1, INT64_MIN, target, target, 0);
        EndBlockingStep();
        if (ret < 0 && o.verbose > 0)
            TheLogger()->Log(this, llVerbose,
                             Format("%s: could not seek to position %0.3f", AOpen.FileName,
                                    double(timestamp) / AV_TIME_BASE));
    }
    AOpen.Input.seek_target = o.start_time;
    o.start_time = 0;
}

// 7. Each stream's format into the option state (an output without its own settings keeps the
// input's); a disabled kind is discarded; an unknown media type raises.
void TCustomFFmpeg::TakeInputStreams(TInputOpen& AOpen) {
    TOptionState& o = FOptions;
    AVFormatContext* ic = AOpen.Input.ctx.get();
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        AVCodecParameters* par = st->codecpar;
        switch (par->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                TakeInputVideo(st, int(i));
                if (o.video.disable) st->discard = AVDISCARD_ALL;
                break;
            case AVMEDIA_TYPE_AUDIO:
                o.audio_channels = par->ch_layout.nb_channels > 0 ? par->ch_layout.nb_channels
                                                                  : o.audio_channels;
                o.audio_channel_layout = par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE
                                             ? par->ch_layout.u.mask
                                             : 0;
                if (par->sample_rate > 0) o.audio_sample_rate = par->sample_rate;
                o.audio_sample_fmt = static_cast<AVSampleFormat>(par->format);
                if (o.audio.disable) st->discard = AVDISCARD_ALL;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                if (o.subtitle.disable) st->discard = AVDISCARD_ALL;
                break;
            case AVMEDIA_TYPE_DATA:
            case AVMEDIA_TYPE_ATTACHMENT:
            case AVMEDIA_TYPE_UNKNOWN:
                break;
            default:
                throw FFmpegException("invalid codec_type");
        }
    }
}

// 7. A video stream's size, aspect ratio (4:3 when nothing is known), pixel format and frame
// rate into the option state.
void TCustomFFmpeg::TakeInputVideo(const AVStream* ASt, int AIndex) {
    TOptionState& o = FOptions;
    const AVCodecParameters* par = ASt->codecpar;
    o.frame_width = par->width;
    o.frame_height = par->height;
    AVRational sar =
        ASt->sample_aspect_ratio.num ? ASt->sample_aspect_ratio : par->sample_aspect_ratio;
    if (par->height && sar.num)
        o.frame_aspect_ratio = av_q2d(sar) * par->width / par->height;
    else if (par->height)
        o.frame_aspect_ratio = double(par->width) / par->height;
    else
        o.frame_aspect_ratio = 4.0 / 3.0;
    o.frame_pix_fmt = static_cast<AVPixelFormat>(par->format);
    const AVRational rfr = ASt->r_frame_rate, afr = ASt->avg_frame_rate;
    if (!rfr.num || !rfr.den) return;
    if (afr.num && afr.den && av_cmp_q(rfr, afr) != 0 && o.verbose >= 0)
        TheLogger()->Log(
            this, llInfo,
            Format("Seems stream %d codec frame rate differs from container "
                   "frame rate: %2.2f (%d/%d) -> %2.2f (%d/%d)",
                   AIndex, av_q2d(afr), afr.num, afr.den, av_q2d(rfr), rfr.num, rfr.den));
    o.frame_rate = rfr;
}

// 8, 9. The total output duration grows to the input's; the input is recorded with its
// time-stamp offset and scales and described in the log; the per-input options are used up.
void TCustomFFmpeg::RecordInput(TInputOpen& AOpen) {
    TOptionState& o = FOptions;
    TAVInputFile& in = AOpen.Input;
    AVFormatContext* ic = in.ctx.get();
    in.duration = ic->duration > 0 ? ic->duration - in.seek_target : -1;
    if (in.duration > FTotalOutputDuration) FTotalOutputDuration = in.duration;
    in.ts_offset = o.copy_ts ? o.input_ts_offset : o.input_ts_offset - AOpen.Target;
    in.ts_scale.assign(ic->nb_streams, 1.0);
    for (unsigned i = 0; i < ic->nb_streams && i < o.input_ts_scale.size(); ++i)
        in.ts_scale[i] = o.input_ts_scale[i];
    in.nb_streams = static_cast<int>(ic->nb_streams);
    if (o.verbose >= 0)
        avformat.av_dump_format(ic, static_cast<int>(FInputFiles.size()),
                                MediaFileNameArg(AOpen.FileName), 0);
    FInputFiles.push_back(std::move(in));
    o.video_channel = 0;
    o.ResetInputFileOptions();
}

// ---- opening an output -----------------------------------------------------------------------

const AVCodec* TCustomFFmpeg::FindCodec(const std::string& AName, AVMediaType AType,
                                        bool AEncoder) {
    const char* what = AEncoder ? "encoder" : "decoder";
    const AVCodec* codec = AEncoder ? avcodec.avcodec_find_encoder_by_name(AName.c_str())
                                    : avcodec.avcodec_find_decoder_by_name(AName.c_str());
    if (!codec) throw FFmpegException(Format("Unknown %s '%s'", what, AName));
    if (codec->type != AType) throw FFmpegException(Format("Invalid %s type '%s'", what, AName));
    int64_t strict = 0;
    avutil.av_opt_get_int(CodecTemplate(AType), "strict", 0, &strict);
    if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strict > FF_COMPLIANCE_EXPERIMENTAL) {
        std::string msg = Format(
            "%s '%s' is experimental and might produce bad results.\r\nAdd '-strict "
            "experimental' if you want to use it.",
            what, AName);
        const AVCodec* other = AEncoder ? avcodec.avcodec_find_encoder(codec->id)
                                        : avcodec.avcodec_find_decoder(codec->id);
        if (other && !(other->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
            msg += Format("\r\nOr use the non experimental %s '%s'.", what, other->name);
        throw FFmpegException(msg);
    }
    return codec;
}

TAVOutputStream& TCustomFFmpeg::AddOutputStream(TAVOutputFile& AOut, AVMediaType AType) {
    AVFormatContext* oc = AOut.ctx.get();
    AVStream* st = avformat.avformat_new_stream(oc, nullptr);
    if (!st) throw FFmpegException("Could not alloc stream");
    const size_t idx = oc->nb_streams - 1;
    if (idx < FOptions->streamid_map.size() && FOptions->streamid_map[idx])
        st->id = FOptions->streamid_map[idx];
    st->codecpar->codec_type = AType;
    TAVOutputStream os;
    os.file_index = static_cast<int>(&AOut - FOutputFiles.data());
    os.index = st->index;
    os.st = st;
    os.coder = std::make_shared<TStreamCoder>();
    AOut.streams.push_back(std::move(os));
    return AOut.streams.back();
}

// An encoder context for a new output stream of AType: named by the option state, else the
// muxer's default for the file name.
uint64_t TakeOldLayoutOption(AVCodecContext* ACtx) {
    int64_t mask = 0;
    if (avutil.av_opt_get_int(ACtx, "channel_layout", 0, &mask) < 0 ||
        avutil.av_opt_set_int(ACtx, "channel_layout", 0, 0) < 0)
        throw FFmpegException("Invalid channel layout option");
    return static_cast<uint64_t>(mask);
}

// Cost of taking sample format ATo for AFrom: lost precision costs most, then wider samples, a
// change between integer and float, and last a change of planarity.
static int SampleFormatCost(AVSampleFormat AFrom, AVSampleFormat ATo) {
    const int from = avutil.av_get_bytes_per_sample(AFrom), to = avutil.av_get_bytes_per_sample(ATo);
    auto isFloat = [](AVSampleFormat f) {
        const AVSampleFormat p = avutil.av_get_packed_sample_fmt(f);
        return p == AV_SAMPLE_FMT_FLT || p == AV_SAMPLE_FMT_DBL;
    };
    return (to < from ? 100 * (from - to) : 10 * (to - from)) +
           (isFloat(AFrom) != isFloat(ATo) ? 5 : 0) +
           (avutil.av_sample_fmt_is_planar(AFrom) != avutil.av_sample_fmt_is_planar(ATo) ? 1 : 0);
}

// The listed format nearest to AWanted (the first listed one when nothing is wanted).
static AVSampleFormat NearestSampleFormat(const AVSampleFormat* AList, AVSampleFormat AWanted) {
    if (AWanted == AV_SAMPLE_FMT_NONE) return AList[0];
    AVSampleFormat best = AList[0];
    for (const AVSampleFormat* f = AList; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (SampleFormatCost(AWanted, *f) < SampleFormatCost(AWanted, best)) best = *f;
    return best;
}

std::string JoinNames(const std::vector<std::string>& AItems) {
    std::string r;
    for (const std::string& s : AItems) r += (r.empty() ? "" : ",") + s;
    return r;
}

TCodecContextPtr NewEncoderContext(const AVCodec* ACodec, const TOptionState& AOpts,
                                   const TStreamKindOptions& AKind, AVFormatContext* AOC,
                                   AVMediaType AType) {
    TCodecContextPtr enc(avcodec.avcodec_alloc_context3(ACodec));
    if (!enc) throw FFmpegException("Could not alloc stream");
    enc->thread_count = AOpts.thread_count;
    enc->codec_type = AType;
    if (AKind.codec_tag) enc->codec_tag = AKind.codec_tag;
    if (AOC->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return enc;
}

const AVCodec* TCustomFFmpeg::OutputEncoder(AVFormatContext* AOC, AVMediaType AType) {
    const TStreamKindOptions& k = FOptions->Kind(AType);
    if (!k.codec_name.empty()) return FindCodec(k.codec_name, AType, true);
    const AVCodecID id =
        avformat.av_guess_codec(AOC->oformat, nullptr, AOC->url, nullptr, AType);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec.avcodec_find_encoder(id);
    if (!codec)
        throw FFmpegException(Format("Unknown encoder '%s'", avcodec.avcodec_get_name(id)));
    return codec;
}

void TCustomFFmpeg::NewAudioStream(TAVOutputFile& AOut) {
    TOptionState& o = FOptions;
    AVFormatContext* oc = AOut.ctx.get();
    TAVOutputStream& os = AddOutputStream(AOut, AVMEDIA_TYPE_AUDIO);
    TStreamCoder& c = *os.coder;
    c.bsf_names = JoinNames(o.audio.bitstream_filters);
    if (o.audio.stream_copy) {
        os.stream_copy = true;
        os.st->codecpar->ch_layout.nb_channels = o.audio_channels;
        os.st->codecpar->sample_rate = o.audio_sample_rate;
    } else {
        const AVCodec* codec = OutputEncoder(oc, AVMEDIA_TYPE_AUDIO);
        c.enc = NewEncoderContext(codec, o, o.audio, oc, AVMEDIA_TYPE_AUDIO);
        AVCodecContext* enc = c.enc.get();
        c.codec_id = codec->id;
        ApplyGenericOptions(enc, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        if (o.audio_qscale > -99999.0) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = static_cast<int>(FF_QP2LAMBDA * o.audio_qscale);
        }
        SetAudioLayout(enc, codec);
        enc->sample_fmt = o.audio_sample_fmt;
        if (codec->sample_fmts) enc->sample_fmt = NearestSampleFormat(codec->sample_fmts, enc->sample_fmt);
        if (enc->sample_fmt == AV_SAMPLE_FMT_NONE) enc->sample_fmt = AV_SAMPLE_FMT_S16;
        SetAudioRate(enc, codec);
        enc->time_base = AVRational{1, enc->sample_rate};
    }
    FinishNewStream(os, AVMEDIA_TYPE_AUDIO);
}

// An audio encoder's channel layout: a layout given as a generic option is the request, else
// the stored layout when it has the requested channel count, else the count's default; an
// encoder that lists its layouts gets the listed one nearest in channel count.
void TCustomFFmpeg::SetAudioLayout(AVCodecContext* AEnc, const AVCodec* ACodec) {
    const TOptionState& o = FOptions;
    const uint64_t asked = TakeOldLayoutOption(AEnc);
    AVChannelLayout layout{};
    if (asked && avutil.av_channel_layout_from_mask(&layout, asked) == 0) {
    } else if (o.audio_channel_layout &&
               avutil.av_channel_layout_from_mask(&layout, o.audio_channel_layout) == 0 &&
               layout.nb_channels == o.audio_channels) {
    } else {
        avutil.av_channel_layout_uninit(&layout);
        avutil.av_channel_layout_default(&layout, o.audio_channels);
    }
    if (ACodec->ch_layouts) {
        const AVChannelLayout* best = nullptr;
        for (const AVChannelLayout* l = ACodec->ch_layouts; l->nb_channels; ++l) {
            if (avutil.av_channel_layout_compare(l, &layout) == 0) {
                best = nullptr;
                break;
            }
            if (!best || std::abs(l->nb_channels - layout.nb_channels) <
                             std::abs(best->nb_channels - layout.nb_channels))
                best = l;
        }
        if (best) {
            if (best->nb_channels != layout.nb_channels)
                TheLogger()->Log(this, llWarning,
                                 Format("Requested %d channels unsupported, using %d",
                                        layout.nb_channels, best->nb_channels));
            avutil.av_channel_layout_uninit(&layout);
            CheckAV(avutil.av_channel_layout_copy(&layout, best), "av_channel_layout_copy");
        }
    }
    avutil.av_channel_layout_uninit(&AEnc->ch_layout);
    AEnc->ch_layout = layout;
}

// An audio encoder's sample rate: the requested one, or the codec's nearest when it lists its
// rates (logged).
void TCustomFFmpeg::SetAudioRate(AVCodecContext* AEnc, const AVCodec* ACodec) {
    AEnc->sample_rate = FOptions->audio_sample_rate;
    if (!ACodec->supported_samplerates) return;
    int best = 0;
    for (const int* r = ACodec->supported_samplerates; *r; ++r)
        if (!best || std::abs(*r - AEnc->sample_rate) < std::abs(best - AEnc->sample_rate))
            best = *r;
    if (best && best != AEnc->sample_rate) {
        TheLogger()->Log(
            this, llWarning,
            Format("Requested sampling rate unsupported using closest supported (%d)", best));
        AEnc->sample_rate = best;
    }
}

void TCustomFFmpeg::NewSubtitleStream(TAVOutputFile& AOut) {
    TOptionState& o = FOptions;
    AVFormatContext* oc = AOut.ctx.get();
    TAVOutputStream& os = AddOutputStream(AOut, AVMEDIA_TYPE_SUBTITLE);
    TStreamCoder& c = *os.coder;
    c.bsf_names = JoinNames(o.subtitle.bitstream_filters);
    if (o.subtitle.stream_copy) {
        os.stream_copy = true;
    } else {
        const AVCodec* codec = OutputEncoder(oc, AVMEDIA_TYPE_SUBTITLE);
        c.enc = NewEncoderContext(codec, o, o.subtitle, oc, AVMEDIA_TYPE_SUBTITLE);
        c.codec_id = codec->id;
        ApplyGenericOptions(c.enc.get(),
                            AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        c.enc->time_base = AV_TIME_BASE_Q;
    }
    FinishNewStream(os, AVMEDIA_TYPE_SUBTITLE);
}

void TCustomFFmpeg::FinishNewStream(TAVOutputStream& AOst, AVMediaType AType) {
    TStreamKindOptions& k = FOptions->Kind(AType);
    if (!k.language.empty())
        CheckAV(avutil.av_dict_set(&AOst.st->metadata, "language", k.language.c_str(), 0),
                "av_dict_set");
    FOptions->ResetStreamOptions(AType);
}

void TCustomFFmpeg::NewOutputStream(AVMediaType AType) {
    if (FOutputFiles.empty()) throw FFmpegException("At least one output file must be specified");
    TAVOutputFile& out = FOutputFiles.back();
    switch (AType) {
        case AVMEDIA_TYPE_VIDEO: NewVideoStream(out); break;
        case AVMEDIA_TYPE_AUDIO: NewAudioStream(out); break;
        default: NewSubtitleStream(out); break;
    }
}

// The open's steps in order; a failing step leaves LastErrMsg set and nothing of the output
// behind (DropOutput).
int TCustomFFmpeg::OpenOutput(const std::string& AFileName, bool AJoin) {
    EnsureTemplates();
    if (!MayOpenOutput(AFileName)) return -1;                            // 1
    std::shared_ptr<AVFormatContext> ctx = NewOutputContext(AFileName);  // 2
    bool use[3] = {};
    if (!ChooseStreamKinds(ctx->oformat, AJoin, use)) return -1;  // 3
    // 5 first: the streams belong to the entered output.
    EnterOutput(std::move(ctx), AFileName);
    if (!CreateOutputStreams(use)) return -1;                      // 3
    CopyOutputMetadata();                                          // 4
    if (!OpenOutputTarget() || !SetMuxingParameters()) return -1;  // 5, 6
    FOptions->ResetOutputFileOptions();
    ++FOutputCount;
    if (AJoin && FInputFiles.size() > 1) FJoinMode = true;  // 7
    return static_cast<int>(FOutputFiles.size()) - 1;
}

// 1. A transcoder in merge mode takes no further output, and no output writes over a source
// (it would be destroyed the moment the output is created); false with LastErrMsg.
bool TCustomFFmpeg::MayOpenOutput(const std::string& AFileName) {
    if (FJoinMode) {
        FLastErrMsg = "Cannot join more than one output file.";
        return false;
    }
    for (size_t i = 0; i < FInputFiles.size(); ++i)
        if (SameFile(AFileName, FInputFiles[i].file_name)) {
            FLastErrMsg = Format(
                "Output file \"%s\" is the input file #%d: the source would be overwritten",
                AFileName, int(i));
            return false;
        }
    return true;
}

// 2. The muxer context, its muxer chosen by the forced format or the file's extension (the name
// itself may hold characters the guess trips on); raises when none fits.
std::shared_ptr<AVFormatContext> TCustomFFmpeg::NewOutputContext(const std::string& AFileName) {
    const TOptionState& o = FOptions;
    const AVOutputFormat* ofmt = nullptr;
    if (!o.forced_format.empty()) {
        ofmt = avformat.av_guess_format(o.forced_format.c_str(), nullptr, nullptr);
        if (!ofmt)
            throw FFmpegException(Format(
                "Requested output format '%s' is not a suitable output format", o.forced_format));
    } else {
        const std::string ext = PathToUtf8(Utf8ToPath(AFileName).extension());
        ofmt = avformat.av_guess_format(nullptr, ("x" + ext).c_str(), nullptr);
        if (!ofmt)
            throw FFmpegException(
                Format("Unable to find a suitable output format for '%s'", AFileName));
    }
    AVFormatContext* raw = nullptr;
    if (avformat.avformat_alloc_output_context2(&raw, ofmt, nullptr, nullptr) < 0 || !raw)
        throw FFmpegException("avformat_alloc_context failed");
    std::shared_ptr<AVFormatContext> ctx(raw, TOutputContextDeleter());
    raw->url = avutil.av_strdup(AFileName.c_str());
    if (!raw->url) throw FFmpegException("av_mallocz fail");
    return ctx;
}

// 3. The stream kinds (video, audio, subtitle) the output gets: asked for, present in the inputs
// (in merge mode: the first) and not disabled; false with LastErrMsg for an input stream of an
// unknown media type.
bool TCustomFFmpeg::ChooseStreamKinds(const AVOutputFormat* AFormat, bool AJoin, bool (&AUse)[3]) {
    const TOptionState& o = FOptions;
    bool has[AVMEDIA_TYPE_NB] = {};
    try {
        const size_t nin = FJoinMode || AJoin ? std::min<size_t>(1, FInputFiles.size())
                                              : FInputFiles.size();
        for (size_t f = 0; f < nin; ++f)
            for (unsigned i = 0; i < FInputFiles[f].ctx->nb_streams; ++i) {
                const AVStream* st = FInputFiles[f].ctx->streams[i];
                const int t = st->codecpar->codec_type;
                if (t < AVMEDIA_TYPE_VIDEO || t >= AVMEDIA_TYPE_NB)
                    throw FFmpegException("invalid codec_type of input file");
                if (st->discard != AVDISCARD_ALL) has[t] = true;
            }
    } catch (const FFmpegException& e) {
        FLastErrMsg = Format("check_audio_video_sub_inputs fail: %s", e.what());
        return false;
    }
    AUse[0] = (o.video.stream_copy || AFormat->video_codec != AV_CODEC_ID_NONE ||
               !o.video.codec_name.empty()) &&
              has[AVMEDIA_TYPE_VIDEO] && !o.video.disable;
    AUse[1] = (o.audio.stream_copy || AFormat->audio_codec != AV_CODEC_ID_NONE ||
               !o.audio.codec_name.empty()) &&
              has[AVMEDIA_TYPE_AUDIO] && !o.audio.disable;
    AUse[2] = (o.subtitle.stream_copy || AFormat->subtitle_codec != AV_CODEC_ID_NONE ||
               !o.subtitle.codec_name.empty()) &&
              has[AVMEDIA_TYPE_SUBTITLE] && !o.subtitle.disable;
    return true;
}

// 5. The output entered in the output table, owning its muxer context.
void TCustomFFmpeg::EnterOutput(std::shared_ptr<AVFormatContext> ACtx,
                                const std::string& AFileName) {
    TAVOutputFile& out = FOutputFiles.emplace_back();
    out.writes_file = !(ACtx->oformat->flags & AVFMT_NOFILE);
    out.ctx = std::move(ACtx);
    out.file_name = AFileName;
}

// A failed output leaves nothing: its working file (ours alone) is removed after the muxer has
// closed it; a URL, device or pipe written directly is never removed. Always false.
bool TCustomFFmpeg::DropOutput(const std::string& AMsg) {
    FLastErrMsg = AMsg;
    const std::string working = FOutputFiles.back().working_name;
    FOutputFiles.pop_back();
    if (!working.empty()) {
        std::error_code ec;
        fs::remove(Utf8ToPath(working), ec);
    }
    return false;
}

// 3. The video, audio and subtitle streams, in that order; false (DropOutput) when one fails.
bool TCustomFFmpeg::CreateOutputStreams(const bool (&AUse)[3]) {
    static const char* const kFailures[] = {"new_video_stream fail: %s", "new_audio_stream fail: %s",
                                            "new_subtitle_stream fail: %s"};
    for (int k = 0; k < 3; ++k) {
        if (!AUse[k]) continue;
        try {
            TAVOutputFile& out = FOutputFiles.back();
            if (k == 0)
                NewVideoStream(out);
            else if (k == 1)
                NewAudioStream(out);
            else
                NewSubtitleStream(out);
        } catch (const std::exception& e) {
            return DropOutput(Format(kFailures[k], e.what()));
        }
    }
    return true;
}

// 4. The recording time stamp and the collected metadata into the muxer; the metadata is used up.
void TCustomFFmpeg::CopyOutputMetadata() {
    TOptionState& o = FOptions;
    AVFormatContext* oc = FOutputFiles.back().ctx.get();
    if (std::tm tm{}; o.recording_timestamp && UtcTime(o.recording_timestamp, tm)) {
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
        CheckAV(avutil.av_dict_set(&oc->metadata, "creation_time", buf, 0), "av_dict_set");
    }
    for (const auto& [key, value] : o.metadata)
        CheckAV(avutil.av_dict_set(&oc->metadata, key.c_str(), value.c_str(), 0), "av_dict_set");
    o.metadata.clear();
}

// 5. The file opened for writing, unless the muxer writes none: a plain file through a new
// working file beside it, anything else directly under the read time-out; false (DropOutput)
// with the library's error text.
bool TCustomFFmpeg::OpenOutputTarget() {
    TAVOutputFile& out = FOutputFiles.back();
    AVFormatContext* oc = out.ctx.get();
    const std::string& name = out.file_name;
    if ((oc->oformat->flags & AVFMT_NEEDNUMBER) &&
        !avformat.av_filename_number_test(MediaFileNameArg(name)))
        return DropOutput(MediaErrorText(name, AVERROR(EINVAL)));
    if (out.writes_file && UsesWorkingFile(name)) {
        // Created new and kept open: no other writer shares it, and the end can tell whether
        // the name still holds this file.
        int error = 0;
        std::unique_ptr<TSysFile> file =
            CreateWorkingFile(PathToUtf8(Utf8ToPath(name).parent_path()), out.working_name, error);
        if (!file) return DropOutput(MediaErrorText(name, error ? error : AVERROR(EEXIST)));
        const int ret = OpenOutputFileOn(oc, std::move(file));
        if (ret < 0) return DropOutput(MediaErrorText(name, ret));
    } else if (out.writes_file) {
        BeginBlockingStep();
        const int ret = OpenOutputFile(oc, name, nullptr);
        EndBlockingStep();
        if (ret < 0) return DropOutput(MediaErrorText(name, ret));
    }
    return true;
}

// 6. Muxing parameters (maximum delay, loop count, non-blocking writes, the muxer's own
// defaults) and the generic options meant for encoding; false (DropOutput) when one is refused.
bool TCustomFFmpeg::SetMuxingParameters() {
    const TOptionState& o = FOptions;
    TAVOutputFile& out = FOutputFiles.back();
    AVFormatContext* oc = out.ctx.get();
    oc->max_delay = static_cast<int>(o.mux_max_delay * AV_TIME_BASE);
    if (o.loop_output >= 0 && oc->priv_data)
        (void)avutil.av_opt_set_int(oc->priv_data, "loop", o.loop_output,
                                    AV_OPT_SEARCH_CHILDREN);  // only muxers that loop know it
    oc->flags |= AVFMT_FLAG_NONBLOCK;
    SetMovieTimescale(out);
    KeepAllTags(out);
    try {
        ApplyGenericOptions(oc, AV_OPT_FLAG_ENCODING_PARAM);
    } catch (const std::exception&) {
        return DropOutput(Format("%s: Invalid encoding parameters", out.file_name));
    }
    return true;
}

void TCustomFFmpeg::PrepareJoin() {
    if (!FJoinMode || FOutputFiles.empty()) return;
    int64_t sum = 0;
    for (const TAVInputFile& f : FInputFiles)
        if (f.duration > 0) sum += f.duration;
    FTotalOutputDuration = sum == 0 ? -1 : sum;
    const TAVOutputFile first = FOutputFiles[0];  // a copy: the vector grows below
    for (size_t k = 1; k < FInputFiles.size(); ++k) {
        TAVOutputFile group;
        group.ctx = first.ctx;
        group.file_name = first.file_name;
        group.writes_file = false;  // written and closed through group 0
        group.group = static_cast<int>(k);
        group.streams = first.streams;  // same library streams, same shared coders
        for (TAVOutputStream& os : group.streams) os.file_index = static_cast<int>(k);
        FOutputFiles.push_back(std::move(group));
    }
}

// ---- closing ---------------------------------------------------------------------------------

void TCustomFFmpeg::CloseCodecs() {
    TCodecLockGuard lock;
    if (FRun)
        for (TAVInputStream& ist : FRun->ist) ist.dec.reset();
    for (TAVOutputFile& out : FOutputFiles)
        for (TAVOutputStream& os : out.streams)
            if (os.coder) {
                os.coder->enc.reset();
                os.coder->opened = false;
            }
}

void TCustomFFmpeg::CloseFiles() {
    try {
        CloseAll();
    } catch (...) {
        ResetOptions();
        throw;
    }
    ResetOptions();
}

void TCustomFFmpeg::ReleaseFiles() {
    struct TDropOptions {
        TCustomFFmpeg* Self;
        ~TDropOptions() {
            Self->FOptions.Reset();
            Self->FLastOptionErr.clear();
            Self->FTotalOutputDuration = -1;
            for (TCodecContextPtr& t : Self->FCodecTemplates) t.reset();
            Self->FFormatTemplate.reset();
            Self->FScalerTemplate.reset();
        }
    } drop{this};
    CloseAll();
}

bool TCustomFFmpeg::Reopenable() const {
    std::error_code ec;
    for (const TAVInputFile& in : FInputFiles)
        if (!fs::is_regular_file(Utf8ToPath(in.file_name), ec)) return false;
    for (const TAVOutputFile& out : FOutputFiles)
        if (out.group == 0 && out.working_name.empty()) return false;
    return true;
}

// Gives the finished working file AWorking its output's name AName as FExistingOutput says:
// a file that took the name during the run is written over, kept (an error), or kept with the
// output under the first free "name (N).ext". AWritten is the name used; the error, or empty.
std::string TCustomFFmpeg::RenameWorkingFile(const fs::path& AWorking, const std::string& AName,
                                             std::string& AWritten) {
    std::error_code ec;
    if (FExistingOutput == eoReplace) {
        fs::rename(AWorking, Utf8ToPath(AName), ec);
        AWritten = AName;
        return ec ? Format("%s: %s", AName, ec.message()) : std::string();
    }
    std::set<std::string> tried;
    for (;;) {
        const std::string name = FExistingOutput == eoNumber ? FreeOutputName(AName, tried) : AName;
        std::string error;
        const int r = RenameNoReplace(AWorking, Utf8ToPath(name), error);
        if (r > 0) {
            AWritten = name;
            if (name != AName)
                TheLogger()->Log(this, llInfo, Format("%s appeared during the run: the output is %s", AName, name));
            return {};
        }
        if (r < 0) return Format("%s: %s", name, error);
        if (FExistingOutput == eoKeep)
            return Format("%s appeared during the run and is kept; this job's output is not written.", AName);
        tried.insert(name);
    }
}

void TCustomFFmpeg::CloseAll() {
    FRun.reset();
    struct TWritten {
        std::string name, working;
        bool intact;  // the working name still holds the file written (checked while open)
    };
    std::vector<TWritten> written;
    for (const TAVOutputFile& out : FOutputFiles)
        if (out.writes_file)
            written.push_back({out.file_name, out.working_name,
                               !out.working_name.empty() &&
                                   OutputFileIsNamed(out.ctx.get(), out.working_name)});
    if (!written.empty()) FWrittenFiles.clear();
    FOutputFiles.clear();  // closes the files (the last owner of each muxer)
    FInputFiles.clear();
    FOutputCount = 0;
    FJoinMode = false;
    std::string failure;
    for (const TWritten& w : written) {
        std::error_code ec;
        const fs::path final = Utf8ToPath(w.name);
        if (w.working.empty()) {
            if (fs::is_regular_file(final, ec) && fs::file_size(final, ec) == 0)
                fs::remove(final, ec);
            continue;
        }
        // A working file removed or replaced by someone else is not ours: nothing is renamed
        // or removed, and a finished run fails.
        if (!w.intact) {
            if (FFinished && failure.empty())
                failure = Format("%s: the working file \"%s\" was removed or replaced while "
                                 "converting; the output is not kept.",
                                 w.name, w.working);
            continue;
        }
        const fs::path part = Utf8ToPath(w.working);
        const bool keep = FFinished && fs::file_size(part, ec) > 0 && !ec;
        if (keep) {
            std::string written, error = RenameWorkingFile(part, w.name, written);
            if (error.empty()) {
                FWrittenFiles.push_back(written);
                continue;
            }
            if (failure.empty()) failure = error;
        }
        fs::remove(part, ec);
    }
    if (!failure.empty()) {
        FFinished = false;
        TheLogger()->Log(this, llError, failure);
        throw FFmpegException(failure);
    }
}
