// The run of a transcoder: set-up of the stream tables and codecs, the read loop, merge-mode input
// switching, packet writing, progress reports and the end of the run. Runs on one thread.
#include <algorithm>
#include <cstring>
#include <cmath>
#include <thread>

#include "FFLoad.h"
#include "FFLog.h"
#include "FFUtils.h"
#include "FFmpegRun.h"
#include "Format.h"
#include "Platform.h"
#include "UnicodeProtocol.h"

namespace {

const char* TypeText(AVMediaType AType) {
    const char* s = avutil.av_get_media_type_string(AType);
    return s ? s : "unknown";
}

int64_t ToMicro(int64_t ATs, AVRational ATb) {
    return avutil.av_rescale_q(ATs, ATb, AVRational{1, AV_TIME_BASE});
}

int64_t FromMicro(int64_t AUs, AVRational ATb) {
    return avutil.av_rescale_q(AUs, AVRational{1, AV_TIME_BASE}, ATb);
}

// Outputs of fewer encoded samples are decoded again before they count as finished.
constexpr int64_t kReadBackSamples = 1 << 15;

// Samples the first audio stream of a written file decodes to (0 when it cannot be read).
int64_t DecodedAudioSamples(const std::string& AFile) {
    AVFormatContext* raw = nullptr;
    if (OpenInputFile(&raw, AFile, nullptr, nullptr, 0) < 0) return 0;
    TInputContextPtr ic(raw);
    if (avformat.avformat_find_stream_info(raw, nullptr) < 0) return 0;
    const AVCodec* codec = nullptr;
    const int stream = avformat.av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream < 0 || !codec) return 0;
    TCodecContextPtr dec(avcodec.avcodec_alloc_context3(codec));
    TPacketPtr pkt(avcodec.av_packet_alloc());
    TFramePtr frame(avutil.av_frame_alloc());
    struct TCloseUnderLock {
        TCodecContextPtr& Dec;
        ~TCloseUnderLock() {
            TCodecLockGuard lock;
            Dec.reset();
        }
    } closeDec{dec};
    if (!dec || !pkt || !frame ||
        avcodec.avcodec_parameters_to_context(dec.get(), raw->streams[stream]->codecpar) < 0)
        return 0;
    {
        TCodecLockGuard lock;
        if (avcodec.avcodec_open2(dec.get(), codec, nullptr) < 0) return 0;
    }
    int64_t samples = 0;
    for (bool flushed = false; !flushed;) {
        if (avformat.av_read_frame(raw, pkt.get()) < 0) {
            flushed = true;
            if (avcodec.avcodec_send_packet(dec.get(), nullptr) < 0) break;
        } else {
            // Every received frame is drained after each send, so a refusal is a damaged packet,
            // skipped as a player would.
            const int sent = pkt->stream_index == stream
                                 ? avcodec.avcodec_send_packet(dec.get(), pkt.get())
                                 : -1;
            avcodec.av_packet_unref(pkt.get());
            if (sent < 0) continue;
        }
        while (avcodec.avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            samples += frame->nb_samples;
            avutil.av_frame_unref(frame.get());
        }
    }
    return samples;
}

// Removes the break check of the calling thread when the loop ends, however it ends.
struct TBreakCheckScope {
    void* sender;
    TInterruptProc proc;
    bool active;
    ~TBreakCheckScope() { Release(); }
    void Release() {
        if (active) GlobalInterruptCB.Remove(CurrentThreadID(), sender, proc);
        active = false;
    }
};

}  // namespace

// Output position of a stream in seconds (samples or frames handed to its encoder, or the end of
// the last copied packet).
static double OutputPosition(const TAVOutputStream& AOst) {
    const TStreamCoder& c = *AOst.coder;
    if (c.enc && c.enc->time_base.den) return double(c.sync_opts) * av_q2d(c.enc->time_base);
    return AOst.copy_start == INT64_MIN ? 0.0 : double(c.sync_opts) / AV_TIME_BASE;
}

void TCustomFFmpeg::Transcode() {
    FFinished = false;
    TBreakCheckScope breakCheck{this, BreakCheck, false};
    try {
        SetUpRun();
        FRun->timer_start = NowMicroseconds();
        FRun->last_report = FRun->timer_start;
        if (FRunsOnWorker) {
            GlobalInterruptCB.Add(CurrentThreadID(), this, BreakCheck);
            breakCheck.active = true;
        }
        MainLoop();
        // The end of the run writes the rest of the data even after a stop request.
        breakCheck.Release();
        EndRun();
    } catch (...) {
        breakCheck.Release();
        CloseCodecs();
        throw;
    }
}

// ---- set-up ----------------------------------------------------------------------------------

// The set-up's steps in order; every failure of steps 2 to 10 logs the stream mapping first.
void TCustomFFmpeg::SetUpRun() {
    AllocateRun();
    BuildInputStreamTable();  // 1
    try {
        CheckOutputs();          // 2
        MapOutputStreams();      // 3
        PrepareOutputStreams();  // 4
        // Decoders open first: text subtitle encoders take the decoder's style header.
        OpenDecoders();          // 7
        OpenEncoders();          // 6
        InitInputTimestamps();   // 8
        // Loudness: measured before the headers, which carry its tags.
        MeasureLoudness();
        // 9. Metadata and chapters; the cover.
        ApplyMetadataMaps();
        ApplyLoudnessTags();
        for (TAVOutputFile& out : FOutputFiles)
            if (out.group == 0) AddCover(out);
        WriteHeaders();  // 10
    } catch (...) {
        LogStreamMapping();
        throw;
    }
    LogOutputs();  // 11
}

void TCustomFFmpeg::AllocateRun() {
    FRun.reset(new TRun);
    TRun& R = *FRun;
    R.pkt.reset(avcodec.av_packet_alloc());
    R.enc_pkt.reset(avcodec.av_packet_alloc());
    R.frame.reset(avutil.av_frame_alloc());
    R.filt_frame.reset(avutil.av_frame_alloc());
    R.staging.reset(avutil.av_frame_alloc());
    if (!R.pkt || !R.enc_pkt || !R.frame || !R.filt_frame || !R.staging)
        throw FFmpegException("av_mallocz fail");
}

// One input stream record per stream of each input, all unused; the output stream list.
void TCustomFFmpeg::BuildInputStreamTable() {
    TRun& R = *FRun;
    for (size_t f = 0; f < FInputFiles.size(); ++f) {
        TAVInputFile& in = FInputFiles[f];
        in.ist_index = static_cast<int>(R.ist.size());
        in.eof_reached = in.waiting = false;
        for (int i = 0; i < in.nb_streams; ++i) {
            TAVInputStream s;
            s.file_index = static_cast<int>(f);
            s.index = i;
            s.st = in.ctx->streams[i];
            s.next_pts = kNoPTS;
            if (FOptions->rate_emu) s.start = NowMicroseconds();
            R.ist.push_back(std::move(s));
        }
    }
    for (TAVOutputFile& out : FOutputFiles)
        for (TAVOutputStream& os : out.streams) R.ost.push_back(&os);
}

// Every output has a stream; explicit maps match the output streams and name existing streams.
void TCustomFFmpeg::CheckOutputs() {
    const TOptionState& o = FOptions;
    for (size_t k = 0; k < FOutputFiles.size(); ++k)
        if (FOutputFiles[k].streams.empty())
            throw FFmpegException(Format("Output file #%d does not contain any stream", int(k)));
    if (o.stream_maps.empty()) return;
    if (o.stream_maps.size() != FRun->ost.size())
        throw FFmpegException("Number of stream maps must match number of output streams");
    auto exists = [&](int AFile, int AStream) {
        return AFile >= 0 && AFile < nb_input_files() && AStream >= 0 &&
               AStream < FInputFiles[AFile].nb_streams;
    };
    for (const TStreamMap& m : o.stream_maps) {
        if (!exists(m.file_index, m.stream_index))
            throw FFmpegException(
                Format("Could not find input stream #%d.%d", m.file_index, m.stream_index));
        if (!exists(m.sync_file_index, m.sync_stream_index))
            throw FFmpegException(Format("Could not find sync stream #%d.%d",
                                         m.sync_file_index, m.sync_stream_index));
    }
}

void TCustomFFmpeg::MapOutputStreams() {
    const TOptionState& o = FOptions;
    TRun& R = *FRun;
    for (size_t n = 0; n < R.ost.size(); ++n) {
        TAVOutputStream& os = *R.ost[n];
        int found, sync;
        if (!o.stream_maps.empty()) {
            const TStreamMap& m = o.stream_maps[n];
            found = FInputFiles[m.file_index].ist_index + m.stream_index;
            sync = FInputFiles[m.sync_file_index].ist_index + m.sync_stream_index;
            const AVMediaType type = os.st->codecpar->codec_type;
            const AVMediaType itype = R.ist[found].st->codecpar->codec_type;
            if (itype != type)
                throw FFmpegException(
                    Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)",
                           m.file_index, m.stream_index, TypeText(itype), os.file_index,
                           os.index, TypeText(type)));
        } else {
            found = sync = FindInputStream(os);
        }
        R.ist[found].discard = false;
        os.source_index = found;
        os.sync_ist = sync;
    }
}

// Without maps: the unused stream of the output stream's kind that the demuxer rates best,
// else the first unused one, else (not in merge mode) the last usable one reused.
int TCustomFFmpeg::FindInputStream(const TAVOutputStream& AOst) {
    TRun& R = *FRun;
    const AVMediaType type = AOst.st->codecpar->codec_type;
    const int group = FOutputFiles[AOst.file_index].group;
    int found = -1, last = -1;
    for (size_t f = 0; f < FInputFiles.size() && found < 0; ++f) {
        if (FJoinMode && int(f) != group) continue;
        AVFormatContext* ic = FInputFiles[f].ctx.get();
        const int best = avformat.av_find_best_stream(ic, type, -1, -1, nullptr, 0);
        auto usable = [&](int i) {
            const TAVInputStream& s = R.ist[FInputFiles[f].ist_index + i];
            return s.st->codecpar->codec_type == type && s.st->discard != AVDISCARD_ALL;
        };
        if (best >= 0 && usable(best) && R.ist[FInputFiles[f].ist_index + best].discard)
            found = FInputFiles[f].ist_index + best;
        for (int i = 0; i < FInputFiles[f].nb_streams && found < 0; ++i) {
            if (!usable(i)) continue;
            last = FInputFiles[f].ist_index + i;
            if (R.ist[last].discard) found = last;
        }
    }
    if (found < 0 && !FJoinMode) found = last;
    if (found < 0)
        throw FFmpegException(
            Format("Could not find input stream matching output stream #%d.%d (%s)",
                   FJoinMode ? 0 : AOst.file_index, AOst.index, TypeText(type)));
    return found;
}

void TCustomFFmpeg::PrepareOutputStreams() {
    TRun& R = *FRun;
    for (TAVOutputStream* pos : R.ost) {
        TAVOutputStream& os = *pos;
        TAVInputStream& ist = R.ist[os.source_index];
        const bool firstGroup = FOutputFiles[os.file_index].group == 0;
        if (os.stream_copy) {
            CheckStreamCopy(os);
            if (firstGroup) PrepareStreamCopy(os, ist);
            continue;
        }
        os.encoding_needed = true;
        ist.decoding_needed = true;
        if (!firstGroup) continue;  // the shared coder is prepared once
        switch (os.st->codecpar->codec_type) {
            case AVMEDIA_TYPE_AUDIO:
                PrepareAudioEncoder(*os.coder, ist);
                break;
            case AVMEDIA_TYPE_VIDEO:
                PrepareVideoEncoder(os, ist);
                break;
            default:
                break;
        }
        AddBitstreamFilters(*os.coder);
    }
}

// A copied stream is never decoded: whatever needs its frames is refused.
void TCustomFFmpeg::CheckStreamCopy(const TAVOutputStream& AOst) {
    const TOptionState& o = FOptions;
    const AVMediaType type = AOst.st->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO) {
        if (o.audio_volume != 256)
            throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
        if (FLoudnessTarget < 0)
            throw FFmpegException(
                "-acodec copy and a loudness target are incompatible (frames are not decoded)");
        if (OnAudioHook)
            throw FFmpegException(
                "-acodec copy and AudioHook are incompatible (frames are not decoded)");
    }
    if (type == AVMEDIA_TYPE_VIDEO) {
        if (OnVideoInputHook || OnVideoOutputHook)
            throw FFmpegException(
                "-vcodec copy and VideoHook are incompatible (frames are not decoded)");
        if (!o.vhook.empty())
            throw FFmpegException(
                "-vcodec copy and -vhook are incompatible (frames are not decoded)");
        if (PostHook(phPreview) || PostHook(phBitmap))
            throw FFmpegException(
                "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
    }
}

void TCustomFFmpeg::PrepareStreamCopy(TAVOutputStream& AOst, const TAVInputStream& AIst) {
    AVDictionary* keep = AOst.st->metadata;
    AOst.st->metadata = nullptr;
    if (avcodec.avcodec_parameters_copy(AOst.st->codecpar, AIst.st->codecpar) < 0)
        throw FFmpegException("av_mallocz fail");
    AOst.st->metadata = keep;
    // The muxer chooses its own tag unless the source's is known to it.
    const AVOutputFormat* of = FOutputFiles[AOst.file_index].ctx->oformat;
    const uint32_t tag = AOst.st->codecpar->codec_tag;
    if (!tag || !of->codec_tag ||
        avformat.av_codec_get_id(of->codec_tag, tag) != AOst.st->codecpar->codec_id)
        AOst.st->codecpar->codec_tag = 0;
    AOst.st->time_base = AIst.st->time_base;
    if (AIst.st->sample_aspect_ratio.num)
        AOst.st->sample_aspect_ratio = AIst.st->sample_aspect_ratio;
}

// The decoder parameters the resampler is made for, and whether one is needed at the start.
void TCustomFFmpeg::PrepareAudioEncoder(TStreamCoder& ACoder, const TAVInputStream& AIst) {
    const AVCodecParameters* par = AIst.st->codecpar;
    ACoder.audio_resample =
        par->sample_rate != ACoder.enc->sample_rate || FOptions->audio_sync_method > 1;
    ACoder.resample_sample_fmt = static_cast<AVSampleFormat>(par->format);
    ACoder.resample_channels = par->ch_layout.nb_channels;
    ACoder.resample_sample_rate = par->sample_rate;
    if (par->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        avutil.av_channel_layout_default(&ACoder.resample_layout, par->ch_layout.nb_channels);
    else if (avutil.av_channel_layout_copy(&ACoder.resample_layout, &par->ch_layout) < 0)
        throw FFmpegException("av_mallocz fail");
}

// The comma-separated bitstream filter names of the coder, allocated in order.
void TCustomFFmpeg::AddBitstreamFilters(TStreamCoder& ACoder) {
    const std::string& names = ACoder.bsf_names;
    size_t p = 0;
    while (p <= names.size() && !names.empty()) {
        const size_t comma = names.find(',', p);
        const std::string name =
            names.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
        p = comma == std::string::npos ? names.size() + 1 : comma + 1;
        if (name.empty()) continue;
        const AVBitStreamFilter* f = avcodec.av_bsf_get_by_name(name.c_str());
        AVBSFContext* b = nullptr;
        if (!f || avcodec.av_bsf_alloc(f, &b) < 0)
            throw FFmpegException(Format("Unknown bitstream filter %s", name));
        ACoder.bsfs.emplace_back(b);
    }
}

// Once per shared coder.
void TCustomFFmpeg::OpenEncoders() {
    for (TAVOutputStream* pos : FRun->ost)
        if (pos->encoding_needed && !pos->coder->opened) OpenEncoder(*pos);
}

void TCustomFFmpeg::OpenEncoder(TAVOutputStream& AOst) {
    TStreamCoder& c = *AOst.coder;
    const AVMediaType type = AOst.st->codecpar->codec_type;
    const int fileShown = FJoinMode ? 0 : AOst.file_index;
    if (!c.enc || !c.enc->codec)
        throw FFmpegException(
            Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                   int(c.codec_id), fileShown, AOst.index, TypeText(type)));
    const TAVInputStream& src = FRun->ist[AOst.source_index];
    if (type == AVMEDIA_TYPE_SUBTITLE && src.dec && src.dec->subtitle_header &&
        !c.enc->subtitle_header) {
        c.enc->subtitle_header =
            static_cast<uint8_t*>(avutil.av_mallocz(src.dec->subtitle_header_size + 1));
        if (!c.enc->subtitle_header) throw FFmpegException("av_mallocz fail");
        memcpy(c.enc->subtitle_header, src.dec->subtitle_header, src.dec->subtitle_header_size);
        c.enc->subtitle_header_size = src.dec->subtitle_header_size;
    }
    int ret;
    {
        TCodecLockGuard lock;
        ret = avcodec.avcodec_open2(c.enc.get(), nullptr, nullptr);
    }
    if (ret < 0) {
        TheLogger()->Log(this, llError, ErrorCodeText(ret));
        throw FFmpegException(Format(
            "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect "
            "parameters such as bit_rate, rate, width or height. Please check error log "
            "message to find out more detail information.",
            fileShown, AOst.index, TypeText(type)));
    }
    c.opened = true;
    // The FIFO follows the opened encoder: opening may replace the layout (a
    // "channel_layout" option sets it through the codec's compatibility field).
    if (type == AVMEDIA_TYPE_AUDIO) {
        c.fifo.reset(
            avutil.av_audio_fifo_alloc(c.enc->sample_fmt, c.enc->ch_layout.nb_channels, 1024));
        if (!c.fifo) throw FFmpegException("av_mallocz fail");
    }
    AVDictionary* keep = AOst.st->metadata;
    AOst.st->metadata = nullptr;
    CheckAV(avcodec.avcodec_parameters_from_context(AOst.st->codecpar, c.enc.get()),
            "avcodec_parameters_from_context");
    AOst.st->metadata = keep;
    AOst.st->time_base = c.enc->time_base;
    if (type == AVMEDIA_TYPE_VIDEO) AOst.st->avg_frame_rate = c.enc->framerate;
    InitBitstreamFilters(AOst);
}

// The filters take the stream's parameters in turn; the stream ends as the last one's output.
void TCustomFFmpeg::InitBitstreamFilters(TAVOutputStream& AOst) {
    TStreamCoder& c = *AOst.coder;
    for (auto& b : c.bsfs) {
        CheckAV(avcodec.avcodec_parameters_copy(b->par_in, AOst.st->codecpar),
                "avcodec_parameters_copy");
        b->time_base_in = AOst.st->time_base;
        if (avcodec.av_bsf_init(b.get()) < 0)
            throw FFmpegException(Format("Unknown bitstream filter %s", b->filter->name));
    }
    if (c.bsfs.empty()) return;
    CheckAV(avcodec.avcodec_parameters_copy(AOst.st->codecpar, c.bsfs.back()->par_out),
            "avcodec_parameters_copy");
    AOst.st->time_base = c.bsfs.back()->time_base_out;
}

void TCustomFFmpeg::InitInputTimestamps() {
    for (TAVInputStream& ist : FRun->ist) {
        ist.next_pts = kNoPTS;
        ist.pts = 0;
        const AVRational fr = ist.st->avg_frame_rate;
        if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && fr.num && ist.dec)
            ist.pts = -llrint(double(ist.dec->has_b_frames) * AV_TIME_BASE * fr.den / fr.num);
        ist.is_start = true;
    }
}

// One header per muxer (the first group's entry); the session description when all are RTP.
void TCustomFFmpeg::WriteHeaders() {
    bool allRtp = !FOutputFiles.empty();
    for (size_t k = 0; k < FOutputFiles.size(); ++k) {
        TAVOutputFile& out = FOutputFiles[k];
        if (out.group != 0) continue;
        allRtp = allRtp && std::string(out.ctx->oformat->name) == "rtp";
        const int ret = avformat.avformat_write_header(out.ctx.get(), nullptr);
        if (ret < 0) {
            const std::string msg = Format(
                "Could not write header for output file #%d (incorrect codec parameters ?)",
                int(k));
            TheLogger()->Log(this, llError, msg + ": " + ErrorCodeText(ret));
            throw FFmpegException(msg);
        }
        out.header_written = true;
        WriteCover(out);
    }
    if (!allRtp) return;
    std::vector<AVFormatContext*> ctxs;
    for (TAVOutputFile& out : FOutputFiles) ctxs.push_back(out.ctx.get());
    char sdp[16384];
    CheckAV(avformat.av_sdp_create(ctxs.data(), static_cast<int>(ctxs.size()), sdp, sizeof sdp),
            "av_sdp_create");
    TheLogger()->Log(this, llInfo, std::string("SDP:\r\n") + sdp);
}

void TCustomFFmpeg::LogOutputs() {
    if (FOptions->verbose < 0) return;
    for (size_t k = 0; k < FOutputFiles.size(); ++k)
        if (FOutputFiles[k].group == 0)
            avformat.av_dump_format(FOutputFiles[k].ctx.get(), int(k), FOutputFiles[k].ctx->url, 1);
    LogStreamMapping();
}

// The stream's channel count decides how a decoder reads the data: a layout option only
// relabels the channels when it has that count, and is ignored with a warning otherwise.
void TCustomFFmpeg::KeepStreamLayout(TAVInputStream& AIst) {
    AVCodecContext* dec = AIst.dec.get();
    const AVCodecParameters* par = AIst.st->codecpar;
    const uint64_t asked = TakeOldLayoutOption(dec);
    AVChannelLayout layout{};
    if (asked) avutil.av_channel_layout_from_mask(&layout, asked);
    const int count = par->ch_layout.nb_channels;
    if (layout.nb_channels > 0 && layout.nb_channels == count) {
        avutil.av_channel_layout_uninit(&dec->ch_layout);
        dec->ch_layout = layout;
        return;
    }
    avutil.av_channel_layout_uninit(&layout);
    if (asked)
        TheLogger()->Log(this, llWarning,
                         Format("Input stream #%d.%d has %d channels: channel layout option ignored",
                                AIst.file_index, AIst.index, count));
    if (dec->ch_layout.nb_channels != count) {
        avutil.av_channel_layout_uninit(&dec->ch_layout);
        if (avutil.av_channel_layout_copy(&dec->ch_layout, &par->ch_layout) < 0)
            throw FFmpegException("av_mallocz fail");
    }
}

void TCustomFFmpeg::OpenDecoders() {
    TOptionState& o = FOptions;
    TRun& R = *FRun;
    for (TAVInputStream& ist : R.ist) {
        if (!ist.decoding_needed) continue;
        AVFormatContext* ic = FInputFiles[ist.file_index].ctx.get();
        const AVCodecParameters* par = ist.st->codecpar;
        const AVCodec* codec = nullptr;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) codec = ic->audio_codec;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) codec = ic->video_codec;
        if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) codec = ic->subtitle_codec;
        if (!codec) codec = avcodec.avcodec_find_decoder(par->codec_id);
        if (!codec)
            throw FFmpegException(
                Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                       int(par->codec_id), ist.file_index, ist.index,
                       TypeText(par->codec_type)));
        ist.dec.reset(avcodec.avcodec_alloc_context3(codec));
        if (!ist.dec || avcodec.avcodec_parameters_to_context(ist.dec.get(), par) < 0)
            throw FFmpegException("av_mallocz fail");
        ist.dec->pkt_timebase = ist.st->time_base;
        ist.dec->thread_count = o.thread_count;
        const int kindFlag = par->codec_type == AVMEDIA_TYPE_AUDIO ? AV_OPT_FLAG_AUDIO_PARAM
                             : par->codec_type == AVMEDIA_TYPE_VIDEO
                                 ? AV_OPT_FLAG_VIDEO_PARAM
                                 : AV_OPT_FLAG_SUBTITLE_PARAM;
        ApplyGenericOptions(ist.dec.get(), kindFlag | AV_OPT_FLAG_DECODING_PARAM);
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) KeepStreamLayout(ist);
        int ret;
        {
            TCodecLockGuard lock;
            ret = avcodec.avcodec_open2(ist.dec.get(), codec, nullptr);
        }
        if (ret < 0)
            throw FFmpegException(Format("Error while opening decoder for input stream #%d.%d (%s)",
                                         ist.file_index, ist.index,
                                         TypeText(par->codec_type)));
    }

}

void TCustomFFmpeg::LogStreamMapping() {
    if (!FRun) return;
    TRun& R = *FRun;
    TheLogger()->Log(this, llVerbose, "Stream mapping:");
    for (TAVOutputStream* pos : R.ost) {
        if (pos->source_index < 0) continue;
        const TAVInputStream& ist = R.ist[pos->source_index];
        const AVMediaType type = pos->st->codecpar->codec_type;
        std::string line = Format("  Stream #%d.%d -> #%d.%d (%s)", ist.file_index, ist.index,
                                  FJoinMode ? 0 : pos->file_index, pos->index, TypeText(type));
        if (pos->sync_ist >= 0 && pos->sync_ist != pos->source_index) {
            const TAVInputStream& s = R.ist[pos->sync_ist];
            line += Format(" [sync #%d.%d (%s)]", s.file_index, s.index,
                           TypeText(s.st->codecpar->codec_type));
        }
        TheLogger()->Log(this, llVerbose, line);
    }
}

namespace {

// Copies the chapters of AIn into AOut, shifted by the input's offset and cut to the output's
// recording window. Identifiers stay those of the input unless AOut already holds one of them.
void CopyChapters(AVFormatContext* AIn, int64_t AOffset, int64_t ARecordingTime,
                  AVFormatContext* AOut) {
    int64_t nextId = 0;
    for (unsigned i = 0; i < AOut->nb_chapters; ++i)
        nextId = std::max(nextId, AOut->chapters[i]->id + 1);
    const bool renumber = AOut->nb_chapters > 0;
    for (unsigned i = 0; i < AIn->nb_chapters; ++i) {
        const AVChapter* in = AIn->chapters[i];
        const int64_t off = FromMicro(AOffset, in->time_base);
        const int64_t rt = ARecordingTime == INT64_MAX ? INT64_MAX
                                                       : FromMicro(ARecordingTime, in->time_base);
        if (in->end + off < 0) continue;
        if (rt != INT64_MAX && in->start + off > rt) break;
        auto* out = static_cast<AVChapter*>(avutil.av_mallocz(sizeof(AVChapter)));
        if (!out) throw FFmpegException("av_mallocz fail");
        out->id = renumber ? nextId++ : in->id;
        out->time_base = in->time_base;
        out->start = std::max<int64_t>(0, in->start + off);
        out->end = rt == INT64_MAX ? in->end + off : std::min(rt, in->end + off);
        CheckAV(avutil.av_dict_copy(&out->metadata, in->metadata, 0), "av_dict_copy");
        auto** grown = static_cast<AVChapter**>(
            avutil.av_realloc(AOut->chapters, sizeof(AVChapter*) * (AOut->nb_chapters + 1)));
        if (!grown) {
            avutil.av_dict_free(&out->metadata);
            avutil.av_free(out);
            throw FFmpegException("av_mallocz fail");
        }
        AOut->chapters = grown;
        AOut->chapters[AOut->nb_chapters++] = out;
    }
}

// The metadata of a map's side: the file's, or that of its stream, chapter or program.
AVDictionary** MetadataOf(AVFormatContext* ACtx, const TMetaDataSpec& ASpec) {
    auto bad = [&](const char* AWhat, int AIndex) {
        throw FFmpegException(
            Format("Invalid %s index %d while processing metadata maps", AWhat, AIndex));
    };
    switch (ASpec.type) {
        case 's':
            if (ASpec.index < 0 || unsigned(ASpec.index) >= ACtx->nb_streams)
                bad("stream", ASpec.index);
            return &ACtx->streams[ASpec.index]->metadata;
        case 'c':
            if (ASpec.index < 0 || unsigned(ASpec.index) >= ACtx->nb_chapters)
                bad("chapter", ASpec.index);
            return &ACtx->chapters[ASpec.index]->metadata;
        case 'p':
            if (ASpec.index < 0 || unsigned(ASpec.index) >= ACtx->nb_programs)
                bad("program", ASpec.index);
            return &ACtx->programs[ASpec.index]->metadata;
        default:
            return &ACtx->metadata;
    }
}

}  // namespace

// Set-up step 9 in its order: the explicit maps first, so that automatic copies never overwrite
// them; the muxer writes its own encoder tag.
void TCustomFFmpeg::ApplyMetadataMaps() {
    CopyMappedMetadata();
    CopyMappedChapters();
    for (TAVOutputFile& out : FOutputFiles)
        if (out.group == 0) AutoCopyFileMetadata(out);
    if (FOptions->metadata_streams_autocopy) AutoCopyStreamMetadata();
    for (TAVOutputFile& out : FOutputFiles)
        if (out.group == 0)
            CheckAV(avutil.av_dict_set(&out.ctx->metadata, "encoder", nullptr, 0), "av_dict_set");
}

// The metadata maps, each copying without overwriting; a bad index raises.
void TCustomFFmpeg::CopyMappedMetadata() {
    for (const TMetaDataMap& m : FOptions->meta_data_maps) {
        if (m.out.file < 0 || m.out.file >= int(FOutputFiles.size()))
            throw FFmpegException(Format("Invalid %s index %d while processing metadata maps",
                                         "output file", m.out.file));
        if (m.in.file < 0 || m.in.file >= nb_input_files())
            throw FFmpegException(Format("Invalid %s index %d while processing metadata maps",
                                         "input file", m.in.file));
        AVDictionary** out = MetadataOf(FOutputFiles[m.out.file].ctx.get(), m.out);
        AVDictionary** in = MetadataOf(FInputFiles[m.in.file].ctx.get(), m.in);
        CheckAV(avutil.av_dict_copy(out, *in, AV_DICT_DONT_OVERWRITE), "av_dict_copy");
    }
}

// The chapter maps; a bad file index raises.
void TCustomFFmpeg::CopyMappedChapters() {
    const TOptionState& o = FOptions;
    for (const TChapterMap& m : o.chapter_maps) {
        if (m.in_file < 0 || m.in_file >= nb_input_files())
            throw FFmpegException(
                Format("Invalid input file index %d in chapter mapping.", m.in_file));
        if (m.out_file < 0 || m.out_file >= int(FOutputFiles.size()))
            throw FFmpegException(
                Format("Invalid output file index %d in chapter mapping.", m.out_file));
        CopyChapters(FInputFiles[m.in_file].ctx.get(), FInputFiles[m.in_file].ts_offset,
                     o.recording_time, FOutputFiles[m.out_file].ctx.get());
    }
}

// Without chapter maps the chapters of the first input that has some (in merge mode every
// input's, after the inputs before it); the first input's global metadata.
void TCustomFFmpeg::AutoCopyFileMetadata(TAVOutputFile& AOut) {
    const TOptionState& o = FOptions;
    AVFormatContext* oc = AOut.ctx.get();
    if (o.chapter_maps.empty() && o.metadata_chapters_autocopy && FJoinMode) {
        int64_t offset = 0;
        for (TAVInputFile& in : FInputFiles) {
            CopyChapters(in.ctx.get(), in.ts_offset + offset, o.recording_time, oc);
            if (in.duration > 0) offset += in.duration;
        }
    } else if (o.chapter_maps.empty() && o.metadata_chapters_autocopy) {
        for (TAVInputFile& in : FInputFiles)
            if (in.ctx->nb_chapters) {
                CopyChapters(in.ctx.get(), in.ts_offset, o.recording_time, oc);
                break;
            }
    }
    if (o.metadata_global_autocopy && !FInputFiles.empty())
        CheckAV(avutil.av_dict_copy(&oc->metadata, FInputFiles[0].ctx->metadata,
                                    AV_DICT_DONT_OVERWRITE),
                "av_dict_copy");
}

// Each output stream takes its input stream's metadata. Formats that keep their tags on the
// stream (Ogg, Opus) reach formats that keep them on the file (MP3, MP4) when the file has none
// of its own.
void TCustomFFmpeg::AutoCopyStreamMetadata() {
    TRun& R = *FRun;
    for (TAVOutputStream* pos : R.ost) {
        if (FOutputFiles[pos->file_index].group != 0) continue;
        const TAVInputStream& ist = R.ist[pos->source_index];
        CheckAV(avutil.av_dict_copy(&pos->st->metadata, ist.st->metadata, AV_DICT_DONT_OVERWRITE),
                "av_dict_copy");
        if (!FOptions->metadata_global_autocopy ||
            ist.st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO ||
            avutil.av_dict_count(FInputFiles[ist.file_index].ctx->metadata))
            continue;
        AVDictionary*& g = FOutputFiles[pos->file_index].ctx->metadata;
        const AVDictionaryEntry* e = nullptr;
        while ((e = avutil.av_dict_get(ist.st->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
            if (std::string(e->key) != "language" && std::string(e->key) != "encoder" &&
                std::string(e->key) != "handler_name" && std::string(e->key) != "vendor_id")
                CheckAV(avutil.av_dict_set(&g, e->key, e->value, AV_DICT_DONT_OVERWRITE),
                        "av_dict_set");
    }
}

// ---- the loop --------------------------------------------------------------------------------

// The loop's steps until a stop request or the end: a paused run waits at the gate first.
void TCustomFFmpeg::MainLoop() {
    TRun& R = *FRun;
    while (!FBroken) {
        PassPauseGate();
        if (FBroken) break;
        const int file = NextInput();  // 1, 2
        if (file == kRetryInput) continue;
        if (file < 0 || OutputSizeReached()) break;  // 3
        const TLoopStep step = ReadInput(file);      // 4 to 7
        if (step == lsEnd) break;
        if (step == lsNext) continue;
        if (NowMicroseconds() - R.last_report >= ReportInterval) {  // 8
            Report(false, file);
            R.last_report = NowMicroseconds();
        }
    }
}

// 1, 2. The input to read (merge mode: the current one): the one of the output stream furthest
// behind (with isync: of the input stream furthest behind); kRetryInput after a 10 ms sleep
// when only waiting inputs are left; -1 when the loop ends (an output stream reached its maximum
// frame count, or nothing is left to read).
int TCustomFFmpeg::NextInput() {
    const TOptionState& o = FOptions;
    TRun& R = *FRun;
    if (FJoinMode) {
        const int k = R.current_input;
        for (TAVOutputStream* pos : R.ost) {
            if (FOutputFiles[pos->file_index].group != k) continue;
            const int t = pos->st->codecpar->codec_type;
            if (t < 4 && pos->frame_number >= o.max_frames[t]) return -1;
        }
        return FInputFiles[k].eof_reached ? -1 : k;
    }
    int file = -1;
    double best = 1e300;
    bool waiting = false;
    for (TAVOutputStream* pos : R.ost) {
        const TAVInputStream& ist = R.ist[pos->source_index];
        const TAVInputFile& in = FInputFiles[ist.file_index];
        const int t = pos->st->codecpar->codec_type;
        if (t < 4 && pos->frame_number >= o.max_frames[t]) return -1;
        if (in.eof_reached || ist.is_past_recording_time) continue;
        if (in.waiting) {
            waiting = true;
            continue;
        }
        const double pos_s = o.input_sync ? double(ist.pts) / AV_TIME_BASE : OutputPosition(*pos);
        if (pos_s < best) {
            best = pos_s;
            file = ist.file_index;
        }
    }
    if (file >= 0 || !waiting) return file;
    for (TAVInputFile& in : FInputFiles) in.waiting = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return kRetryInput;
}

// 3. The first output has reached the file-size limit.
bool TCustomFFmpeg::OutputSizeReached() const {
    const int64_t limit = FOptions->limit_filesize;
    AVIOContext* pb = FOutputFiles[0].ctx->pb;
    return limit && pb && avformat.avio_size(pb) >= limit;
}

// 4 to 7. One packet of input AFile read and processed (lsPacket); a read that must wait marks
// the input waiting, the end of an input marks it ended (merge mode: moves to the next input)
// and neither is a packet (lsNext); lsEnd ends the loop.
TCustomFFmpeg::TLoopStep TCustomFFmpeg::ReadInput(int AFile) {
    TAVInputFile& in = FInputFiles[AFile];
    AVPacket* pkt = FRun->pkt.get();
    const int ret = avformat.av_read_frame(in.ctx.get(), pkt);
    if (ret == AVERROR(EAGAIN)) {
        in.waiting = true;
        return lsNext;
    }
    if (ret < 0) {
        in.eof_reached = true;
        if (FBroken) return lsEnd;
        if (FJoinMode) return FinishJoinInput(AFile) ? lsNext : lsEnd;
        return FOptions->opt_shortest ? lsEnd : lsNext;
    }
    try {
        ProcessPacket(AFile, pkt);
    } catch (...) {
        avcodec.av_packet_unref(pkt);
        throw;
    }
    avcodec.av_packet_unref(pkt);
    return lsPacket;
}

// 5 to 7. A packet of a used stream: its times shifted and scaled, dropped past the recording
// time, then copied to the outputs that copy its stream and decoded when needed.
void TCustomFFmpeg::ProcessPacket(int AFile, AVPacket* APkt) {
    TRun& R = *FRun;
    TAVInputFile& in = FInputFiles[AFile];
    if (APkt->stream_index < 0 || APkt->stream_index >= in.nb_streams) return;
    TAVInputStream& ist = R.ist[in.ist_index + APkt->stream_index];
    if (ist.discard) return;
    ShiftPacketTimes(in, ist, APkt);
    if (PastRecordingTime(in, ist, APkt)) return;
    for (TAVOutputStream* pos : R.ost)
        if (pos->stream_copy && pos->source_index == in.ist_index + APkt->stream_index &&
            (!FJoinMode || FOutputFiles[pos->file_index].group == AFile))
            CopyPacket(*pos, ist, APkt);
    if (!ist.decoding_needed) return;
    switch (ist.st->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO: DecodeAudio(ist, APkt); break;
        case AVMEDIA_TYPE_VIDEO: DecodeVideo(ist, APkt); break;
        case AVMEDIA_TYPE_SUBTITLE: DecodeSubtitle(ist, APkt); break;
        default: break;
    }
}

// 5. The input's time-stamp offset and scale applied; on formats with time-stamp
// discontinuities (MPEG-TS) a jump beyond dts_delta_threshold shifts the offset to close it.
void TCustomFFmpeg::ShiftPacketTimes(TAVInputFile& AIn, const TAVInputStream& AIst,
                                     AVPacket* APkt) {
    const TOptionState& o = FOptions;
    const AVRational tb = AIst.st->time_base;
    const int64_t off = FromMicro(AIn.ts_offset, tb);
    if (APkt->dts != kNoPTS) APkt->dts += off;
    if (APkt->pts != kNoPTS) APkt->pts += off;
    const double scale = AIn.ts_scale[APkt->stream_index];
    if (scale != 1.0) {
        if (APkt->dts != kNoPTS) APkt->dts = llrint(APkt->dts * scale);
        if (APkt->pts != kNoPTS) APkt->pts = llrint(APkt->pts * scale);
    }
    if (o.copy_ts || APkt->dts == kNoPTS || AIst.next_pts == kNoPTS ||
        !(AIn.ctx->iformat->flags & AVFMT_TS_DISCONT))
        return;
    const int64_t delta = ToMicro(APkt->dts, tb) - AIst.next_pts;
    if (std::llabs(delta) <= int64_t(o.dts_delta_threshold * AV_TIME_BASE)) return;
    AIn.ts_offset -= delta;
    if (o.verbose > 2)
        TheLogger()->Log(
            this, llDebug,
            Format("timestamp discontinuity %d, new offset= %d", int(delta), int(AIn.ts_offset)));
    const int64_t d = FromMicro(delta, tb);
    APkt->dts -= d;
    if (APkt->pts != kNoPTS) APkt->pts -= d;
}

// 6. A packet at or past the recording time marks its stream past it and is dropped; once every
// used stream of the input is past it, nothing more of the input is wanted (not in merge mode).
bool TCustomFFmpeg::PastRecordingTime(TAVInputFile& AIn, TAVInputStream& AIst,
                                      const AVPacket* APkt) {
    const TOptionState& o = FOptions;
    if (o.recording_time == INT64_MAX || APkt->dts == kNoPTS ||
        ToMicro(APkt->dts, AIst.st->time_base) < o.recording_time + o.start_time)
        return false;
    AIst.is_past_recording_time = true;
    bool all = true;
    for (int i = 0; i < AIn.nb_streams; ++i) {
        const TAVInputStream& s = FRun->ist[AIn.ist_index + i];
        all = all && (s.discard || s.is_past_recording_time);
    }
    if (all && !FJoinMode) AIn.eof_reached = true;
    return true;
}

bool TCustomFFmpeg::DecoderError(TAVInputStream& AIst, int AError) {
    const std::string msg =
        Format("Error while decoding stream #%d.%d (%s)", AIst.file_index, AIst.index,
               TypeText(AIst.st->codecpar->codec_type));
    if (FOptions->exit_on_error) throw FFmpegException(msg);
    if (FOptions->verbose >= 0)
        TheLogger()->Log(this, llVerbose, msg + ": " + ErrorCodeText(AError));
    return false;
}

void TCustomFFmpeg::CopyPacket(TAVOutputStream& AOst, TAVInputStream& AIst, const AVPacket* APkt) {
    TOptionState& o = FOptions;
    TRun& R = *FRun;
    const AVRational tb = AIst.st->time_base;
    const int64_t dts_us = APkt->dts != kNoPTS ? ToMicro(APkt->dts, tb) : kNoPTS;
    // Before the output start: skipped, except the key frames a decoder would need.
    if (o.start_time && dts_us != kNoPTS && dts_us < o.start_time &&
        !(o.copy_initial_nonkeyframes && (APkt->flags & AV_PKT_FLAG_KEY)))
        return;
    if (AOst.copy_start == INT64_MIN && !(APkt->flags & AV_PKT_FLAG_KEY) &&
        !o.copy_initial_nonkeyframes && AIst.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        return;
    AVPacket* out = R.enc_pkt.get();
    if (avcodec.av_packet_ref(out, APkt) < 0) throw FFmpegException("av_mallocz fail");
    const int64_t shift = FromMicro(o.start_time, tb);
    if (out->pts != kNoPTS) out->pts -= shift;
    if (out->dts != kNoPTS) out->dts -= shift;
    if (AOst.copy_start == INT64_MIN) AOst.copy_start = dts_us == kNoPTS ? 0 : dts_us;
    if (dts_us != kNoPTS)
        AOst.coder->sync_opts = dts_us - o.start_time + ToMicro(APkt->duration, tb);
    avcodec.av_packet_rescale_ts(out, tb, AOst.st->time_base);
    out->stream_index = AOst.index;
    out->pos = -1;
    const AVMediaType t = AOst.st->codecpar->codec_type;
    if (t == AVMEDIA_TYPE_AUDIO) R.audio_size += out->size;
    else if (t == AVMEDIA_TYPE_VIDEO) R.video_size += out->size;
    ++AOst.frame_number;
    WritePacket(AOst, out, false);
}

void TCustomFFmpeg::WritePacket(TAVOutputStream& AOst, AVPacket* APkt, bool AFromEncoder) {
    TStreamCoder& c = *AOst.coder;
    AVFormatContext* oc = FOutputFiles[AOst.file_index].ctx.get();
    if (AFromEncoder) {
        avcodec.av_packet_rescale_ts(APkt, c.enc->time_base, AOst.st->time_base);
        APkt->stream_index = AOst.index;
    }
    auto write = [&](AVPacket* APacket) {
        // A packet without data (an encoder's closing side data) carries no audio.
        if (APacket->size > 0) ++c.packets_written;
        const int ret = avformat.av_interleaved_write_frame(oc, APacket);
        if (ret < 0)
            throw FFmpegException("av_interleaved_write_frame(): " + ErrorCodeText(ret));
    };
    if (c.bsfs.empty()) {
        write(APkt);
        return;
    }
    // The chain of bitstream filters, each packet passed through every filter in turn.
    std::vector<TPacketPtr> pending;
    pending.emplace_back(avcodec.av_packet_alloc());
    if (!pending.back()) throw FFmpegException("av_mallocz fail");
    avcodec.av_packet_move_ref(pending.back().get(), APkt);
    for (auto& b : c.bsfs) {
        std::vector<TPacketPtr> next;
        for (auto& p : pending) {
            int ret = avcodec.av_bsf_send_packet(b.get(), p.get());
            while (ret >= 0) {
                TPacketPtr o(avcodec.av_packet_alloc());
                if (!o) throw FFmpegException("av_mallocz fail");
                ret = avcodec.av_bsf_receive_packet(b.get(), o.get());
                if (ret >= 0) next.push_back(std::move(o));
            }
            if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
                const std::string msg =
                    Format("%s failed for stream %d, codec %s", b->filter->name, AOst.index,
                           c.enc && c.enc->codec ? c.enc->codec->name : "copy") +
                    ": " + ErrorCodeText(ret);
                if (FOptions->exit_on_error) throw FFmpegException(msg);
                TheLogger()->Log(this, llError, msg);
            }
        }
        pending = std::move(next);
    }
    for (auto& p : pending) {
        p->stream_index = AOst.index;
        write(p.get());
    }
}

void TCustomFFmpeg::ReceivePackets(TAVOutputStream& AOst) {
    TRun& R = *FRun;
    TStreamCoder& c = *AOst.coder;
    AVPacket* pkt = R.enc_pkt.get();
    const AVMediaType t = AOst.st->codecpar->codec_type;
    for (;;) {
        const int ret = avcodec.avcodec_receive_packet(c.enc.get(), pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
        if (ret < 0)
            throw FFmpegException(t == AVMEDIA_TYPE_AUDIO ? "Audio encoding failed"
                                                          : "Video encoding failed");
        if (t == AVMEDIA_TYPE_AUDIO) R.audio_size += pkt->size;
        else R.video_size += pkt->size;
        if (t == AVMEDIA_TYPE_VIDEO && c.logfile && c.enc->stats_out)
            fprintf(c.logfile, "%s", c.enc->stats_out);
        try {
            WritePacket(AOst, pkt, true);
        } catch (...) {
            avcodec.av_packet_unref(pkt);
            throw;
        }
        avcodec.av_packet_unref(pkt);
    }
}

// ---- merge mode ------------------------------------------------------------------------------

bool TCustomFFmpeg::FinishJoinInput(int AInput) {
    TRun& R = *FRun;
    TAVInputFile& in = FInputFiles[AInput];
    // Drain the decoders of this input; the shared encoders keep running so that the next input's
    // data follows without a gap or padding.
    for (int i = 0; i < in.nb_streams; ++i) {
        TAVInputStream& ist = R.ist[in.ist_index + i];
        if (!ist.decoding_needed || ist.decoder_flushed) continue;
        switch (ist.st->codecpar->codec_type) {
            case AVMEDIA_TYPE_AUDIO: DecodeAudio(ist, nullptr); break;
            case AVMEDIA_TYPE_VIDEO: DecodeVideo(ist, nullptr); break;
            default: break;
        }
        ist.decoder_flushed = true;
    }
    if (AInput + 1 >= nb_input_files()) return false;
    double end = 0.0;
    for (TAVOutputStream* pos : R.ost) {
        if (FOutputFiles[pos->file_index].group != AInput) continue;
        double e = OutputPosition(*pos);
        const TStreamCoder& c = *pos->coder;
        if (c.fifo && c.enc) e += double(avutil.av_audio_fifo_size(c.fifo.get())) / c.enc->sample_rate;
        end = std::max(end, e);
    }
    FInputFiles[AInput + 1].ts_offset += llrint(end * AV_TIME_BASE);
    R.current_input = AInput + 1;
    return true;
}

// ---- end of the run --------------------------------------------------------------------------

void TCustomFFmpeg::EndRun() {
    TRun& R = *FRun;
    for (TAVInputStream& ist : R.ist) {
        if (!ist.decoding_needed || ist.decoder_flushed || !ist.dec) continue;
        switch (ist.st->codecpar->codec_type) {
            case AVMEDIA_TYPE_AUDIO: DecodeAudio(ist, nullptr); break;
            case AVMEDIA_TYPE_VIDEO: DecodeVideo(ist, nullptr); break;
            default: break;
        }
        ist.decoder_flushed = true;
    }
    for (TAVOutputStream* pos : R.ost)
        if (pos->encoding_needed) FlushEncoder(*pos);
    // A trailer or buffered data that cannot be written (a full disk) fails the run: the file
    // is incomplete.
    std::string writeError;
    for (TAVOutputFile& out : FOutputFiles)
        if (out.group == 0 && out.header_written) {
            int ret = avformat.av_write_trailer(out.ctx.get());
            out.header_written = false;
            if (AVIOContext* pb = out.ctx->pb) {
                avformat.avio_flush(pb);
                if (ret >= 0 && pb->error < 0) ret = pb->error;
            }
            if (ret < 0 && writeError.empty())
                writeError = Format("%s: %s", out.file_name, ErrorCodeText(ret));
        }
    if (writeError.empty()) AddMp4LoudnessTags();
    Report(true, -1);
    CloseCodecs();
    if (!writeError.empty()) {
        TheLogger()->Log(this, llError, writeError);
        throw FFmpegException(writeError);
    }
    if (!FBroken) CheckAudioWritten();
    if (!FBroken) VerifyOutputs();
    FFinished = !FBroken;
}

// A run that wrote no audio to an audio stream has failed, whatever the reason (nothing
// decodable, nothing inside the output window): its output is no conversion of the input.
void TCustomFFmpeg::CheckAudioWritten() {
    TRun& R = *FRun;
    for (TAVOutputStream* pos : R.ost) {
        if (pos->st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        const TAVOutputFile& out = FOutputFiles[pos->file_index];
        // A few encoded samples may decode to nothing (a decoder's start-up delay, an edit list):
        // such a short output is read back.
        bool heard = pos->coder->packets_written > 0;
        if (heard && pos->encoding_needed && pos->coder->sync_opts < kReadBackSamples &&
            out.writes_file && out.group == 0)
            heard = DecodedAudioSamples(out.working_name.empty() ? out.file_name
                                                                 : out.working_name) > 0;
        if (heard) continue;
        const std::string msg = Format("%s: no audio could be decoded",
                                       FInputFiles[R.ist[pos->source_index].file_index].file_name);
        TheLogger()->Log(this, llError, msg);
        throw FFmpegException(msg);
    }
}

// ---- progress --------------------------------------------------------------------------------

// The report's steps in order: with a handler, a verbosity above 0, or for the final report.
void TCustomFFmpeg::Report(bool AFinal, int AInput) {
    const TOptionState& o = FOptions;
    if (!OnProgress && o.verbose <= 0 && !AFinal) return;
    if (FOutputFiles.empty()) return;
    TTranscodeProgress p;
    p.FileIndex = AFinal ? -1 : AInput;
    p.TotalDuration = FTotalOutputDuration;
    p.CurrentSize = ReportSize();  // 1
    std::string text;
    if (!ReportVideo(AFinal, p, text)) return;  // 2
    const double ti = ReportTime();             // 3
    const double bitrate = double(p.CurrentSize) * 8 / ti / 1000.0;
    text += Format("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", double(p.CurrentSize) / 1024, ti,
                   bitrate);  // 4
    if (FRun->nb_frames_dup || FRun->nb_frames_drop)
        text += Format(" dup=%d drop=%d", FRun->nb_frames_dup, FRun->nb_frames_drop);
    if (OnProgress) {  // 5
        p.CurrentDuration = RunProgress(static_cast<int64_t>(ti * AV_TIME_BASE));
        p.BitRate = static_cast<float>(bitrate);
        OnProgress(p);
    } else if (o.verbose >= 0) {
        TheLogger()->Log(this, llVerbose, text);
    }
    if (AFinal && o.verbose >= 0) LogFinalSizes(p.CurrentSize);  // 6
}

// 1. The first output's size, or its write position while the size is not known.
int64_t TCustomFFmpeg::ReportSize() const {
    AVIOContext* pb = FOutputFiles[0].ctx->pb;
    if (!pb) return 0;
    const int64_t size = avformat.avio_size(pb);
    return size > 0 ? size : avformat.avio_seek(pb, 0, SEEK_CUR);
}

// 2. Frame number, frames per second and quantiser of the first encoded video stream (in merge
// mode of the current group), the quantisers of the others; false (no report) while that
// stream has produced no frame yet, except in the final report.
bool TCustomFFmpeg::ReportVideo(bool AFinal, TTranscodeProgress& AProgress, std::string& AText) {
    TRun& R = *FRun;
    bool videoSeen = false;
    const int group = FJoinMode ? R.current_input : 0;
    for (TAVOutputStream* pos : R.ost) {
        if (pos->st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || !pos->encoding_needed) continue;
        if (FJoinMode && FOutputFiles[pos->file_index].group != group) continue;
        const float qs = pos->coder->last_quality / float(FF_QP2LAMBDA);
        if (videoSeen) {
            AText += Format("q=%2.1f ", double(qs));
            continue;
        }
        videoSeen = true;
        const int frame = pos->frame_number;
        if (frame == 0 && !AFinal) return false;
        const double t = double(NowMicroseconds() - R.timer_start) / AV_TIME_BASE;
        AProgress.FrameNumber = frame;
        AProgress.FPS = t > 1.0 ? int(frame / t + 0.5) : 0;
        AProgress.Quality = qs;
        AText += Format("frame=%5d fps=%3d q=%3.1f ", frame, AProgress.FPS, double(qs));
        if (AFinal) AText += "L";
    }
    return true;
}

// 3. The smallest positive output position in seconds, at least 0.01.
double TCustomFFmpeg::ReportTime() const {
    double ti = 1e10;
    for (TAVOutputStream* pos : FRun->ost) {
        const double p = OutputPosition(*pos);
        if (p > 0 && p < ti) ti = p;
    }
    if (ti >= 1e10) ti = 0;
    return ti < 0.01 ? 0.01 : ti;
}

// 6. The byte counters and the muxing overhead of an output of ASize bytes.
void TCustomFFmpeg::LogFinalSizes(int64_t ASize) {
    const TRun& R = *FRun;
    const double sum = double(R.video_size + R.audio_size + R.extra_size);
    TheLogger()->Log(
        this, llVerbose,
        Format("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
               R.video_size / 1024.0, R.audio_size / 1024.0, R.extra_size / 1024.0,
               sum > 0 ? 100.0 * (double(ASize) - sum) / sum : 0.0));
}
