// The video and subtitle branches of the run: video streams of an output, decoding, the video
// hooks, scaling and "vf" filtering through libavfilter, frame-rate sync (duplication and
// dropping), encoding with two-pass statistics, preview bitmaps; subtitle decoding and encoding.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "FFLoad.h"
#include "FFLog.h"
#include "FFUtils.h"
#include "FFmpegRun.h"
#include "Format.h"
#include "Platform.h"

void TCustomFFmpeg::RunVideoHook(const std::function<void(THookInfo&)>& AHook, AVFrame* AFrame,
                                 int AFrameNumber, int64_t APTS, bool& AStopped) {
    TFormatConverter converter;
    converter.SetBitsPixel(VideoHookBitsPixel);
    TBitmap bmp;
    if (!converter.FrameToBitmap(AFrame, bmp)) return;
    THookInfo info;
    info.Bitmap = &bmp;
    info.FrameNumber = AFrameNumber;
    info.PTS = APTS;
    try {
        AHook(info);
        if (info.Update && avutil.av_frame_make_writable(AFrame) >= 0)
            (void)converter.BitmapToFrame(bmp, AFrame);
        AStopped = info.StopHook;
    } catch (const std::exception& e) {
        TheLogger()->Log(this, llError, std::string("Error occurs VideoHook event: ") + e.what());
    }
}

void TCustomFFmpeg::NewVideoStream(TAVOutputFile& AOut) {
    TOptionState& o = FOptions;
    AVFormatContext* oc = AOut.ctx.get();
    TAVOutputStream& os = AddOutputStream(AOut, AVMEDIA_TYPE_VIDEO);
    TStreamCoder& c = *os.coder;
    c.bsf_names = JoinNames(o.video.bitstream_filters);
    if (o.video.stream_copy) {
        os.stream_copy = true;
    } else {
        const AVCodec* codec = OutputEncoder(oc, AVMEDIA_TYPE_VIDEO);
        TCodecContextPtr enc = NewEncoderContext(codec, o, o.video, oc, AVMEDIA_TYPE_VIDEO);
        if (o.video_global_header) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        c.codec_id = codec->id;
        ApplyGenericOptions(enc.get(), AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        SetVideoPicture(enc.get(), codec);
        SetVideoCoding(enc.get());
        c.enc = std::move(enc);
        c.filters = o.vfilters;
        c.sws_flags = o.sws_flags;
    }
    FinishNewStream(os, AVMEDIA_TYPE_VIDEO);
}

// A video encoder's frame rate (the codec's nearest when it lists them), size, aspect ratio and
// pixel format (the codec's first when it does not take the wanted one).
void TCustomFFmpeg::SetVideoPicture(AVCodecContext* AEnc, const AVCodec* ACodec) {
    const TOptionState& o = FOptions;
    AVRational rate = o.frame_rate;
    if (ACodec->supported_framerates) {
        const int idx = avutil.av_find_nearest_q_idx(rate, ACodec->supported_framerates);
        rate = ACodec->supported_framerates[idx];
    }
    AEnc->framerate = rate;
    AEnc->time_base = AVRational{rate.den, rate.num};
    AEnc->width = o.frame_width;
    AEnc->height = o.frame_height;
    if (o.frame_aspect_ratio > 0 && AEnc->width && AEnc->height)
        AEnc->sample_aspect_ratio =
            avutil.av_d2q(o.frame_aspect_ratio * AEnc->height / AEnc->width, 255);
    AEnc->pix_fmt = o.frame_pix_fmt;
    if (!ACodec->pix_fmts) return;
    bool ok = false;
    for (const AVPixelFormat* f = ACodec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        ok = ok || *f == AEnc->pix_fmt;
    if (!ok) AEnc->pix_fmt = ACodec->pix_fmts[0];
}

// A video encoder's coding modes: intra only, fixed quantiser, field order, two-pass flags and
// the motion estimation threshold.
void TCustomFFmpeg::SetVideoCoding(AVCodecContext* AEnc) {
    const TOptionState& o = FOptions;
    if (o.intra_only) AEnc->gop_size = 0;
    if (o.video_qscale > 0.0 || o.same_quality) {
        AEnc->flags |= AV_CODEC_FLAG_QSCALE;
        AEnc->global_quality =
            static_cast<int>(FF_QP2LAMBDA * (o.video_qscale > 0.0 ? o.video_qscale : 1.0));
    }
    if (o.top_field_first >= 0) AEnc->field_order = o.top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
    if (o.do_pass == 1) AEnc->flags |= AV_CODEC_FLAG_PASS1;
    if (o.do_pass == 2) AEnc->flags |= AV_CODEC_FLAG_PASS2;
    if (o.me_threshold) avutil.av_opt_set_int(AEnc, "me_threshold", o.me_threshold, 0);
}

void TCustomFFmpeg::PrepareVideoEncoder(TAVOutputStream& AOst, TAVInputStream& AIst) {
    TStreamCoder& c = *AOst.coder;
    AVCodecContext* enc = c.enc.get();
    if (enc->pix_fmt == AV_PIX_FMT_NONE)
        throw FFmpegException("Video pixel format is unknown, stream cannot be encoded");
    if (!enc->width || !enc->height) {
        enc->width = AIst.st->codecpar->width;
        enc->height = AIst.st->codecpar->height;
    }
    if (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) {
        const std::string name =
            Format("%s-%d.log", FOptions->pass_logfilename_prefix, AOst.index);
        if (enc->flags & AV_CODEC_FLAG_PASS1) {
            c.logfile = fopen(name.c_str(), "wb");
            if (!c.logfile)
                throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name));
        } else {
            std::ifstream f(Utf8ToPath(name), std::ios::binary);
            if (!f) throw FFmpegException(Format("Cannot read log file %s for pass-2 encoding", name));
            std::ostringstream text;
            text << f.rdbuf();
            c.stats_in = text.str();
            if (c.stats_in.empty())
                throw FFmpegException(Format("Cannot read log file %s for pass-2 encoding", name));
            enc->stats_in = c.stats_in.data();
        }
    }
}

void TCustomFFmpeg::DecodeVideo(TAVInputStream& AIst, const AVPacket* APkt) {
    DecodeFrames(AIst, APkt, [&](AVFrame* AFrame, int) { VideoFrame(AIst, AFrame); });
}

void TCustomFFmpeg::VideoFrame(TAVInputStream& AIst, AVFrame* frame) {
    TOptionState& o = FOptions;
    TRun& R = *FRun;
    const int index = static_cast<int>(&AIst - R.ist.data());
    ++AIst.frame_number;
    int64_t pts = AIst.next_pts == kNoPTS ? 0 : AIst.next_pts;
    if (frame->best_effort_timestamp != kNoPTS)
        pts = avutil.av_rescale_q(frame->best_effort_timestamp, AIst.st->time_base,
                                  AVRational{1, AV_TIME_BASE});
    AIst.pts = pts;
    const AVRational fr = AIst.st->avg_frame_rate.num ? AIst.st->avg_frame_rate
                                                       : AVRational{25, 1};
    AIst.next_pts = pts + avutil.av_rescale_q(1, AVRational{fr.den, fr.num},
                                              AVRational{1, AV_TIME_BASE});
    if (pts < o.start_time) return;
    if (o.recording_time != INT64_MAX && pts >= o.start_time + o.recording_time) {
        AIst.is_past_recording_time = true;
        return;
    }
    if (OnVideoInputHook && !FInputHookStopped)
        RunVideoHook(OnVideoInputHook, frame, AIst.frame_number, pts, FInputHookStopped);
    frame->pts = pts - o.start_time;  // microseconds from the output's start
    for (TAVOutputStream* pos : R.ost) {
        if (pos->source_index != index || !pos->encoding_needed) continue;
        if (FJoinMode && FOutputFiles[pos->file_index].group != AIst.file_index) continue;
        VideoOut(*pos, AIst, frame);
    }
}

void TCustomFFmpeg::VideoOut(TAVOutputStream& AOst, TAVInputStream&, AVFrame* AFrame) {
    TStreamCoder& c = *AOst.coder;
    AVCodecContext* enc = c.enc.get();
    if (!c.graph || AFrame->width != c.scale_src_w || AFrame->height != c.scale_src_h ||
        AFrame->format != c.scale_src_fmt) {
        if (c.graph) FlushVideoFilters(AOst);
        c.graph.reset(avfilter.avfilter_graph_alloc());
        if (!c.graph) throw FFmpegException("Error opening filters!");
        AVFilterGraph* g = c.graph.get();
        const AVRational sar =
            AFrame->sample_aspect_ratio.num ? AFrame->sample_aspect_ratio : AVRational{1, 1};
        const std::string srcArgs =
            Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", AFrame->width,
                   AFrame->height, AFrame->format, AV_TIME_BASE, sar.num, sar.den);
        if (avfilter.avfilter_graph_create_filter(&c.buffersrc,
                                                  avfilter.avfilter_get_by_name("buffer"), "in",
                                                  srcArgs.c_str(), nullptr, g) < 0 ||
            avfilter.avfilter_graph_create_filter(&c.buffersink,
                                                  avfilter.avfilter_get_by_name("buffersink"),
                                                  "out", nullptr, nullptr, g) < 0)
            throw FFmpegException("Error opening filters!");
        std::string chain = c.filters.empty() ? std::string() : c.filters + ",";
        chain += Format("scale=%d:%d:flags=0x%x,format=pix_fmts=%s", enc->width, enc->height,
                        unsigned(c.sws_flags), avutil.av_get_pix_fmt_name(enc->pix_fmt));
        int ret = ParseFilterChain(g, c.buffersrc, c.buffersink, chain);
        if (ret >= 0) ret = avfilter.avfilter_graph_config(g, nullptr);
        if (ret < 0) {
            c.graph.reset();
            throw FFmpegException("Error opening filters!");
        }
        c.scale_src_w = AFrame->width;
        c.scale_src_h = AFrame->height;
        c.scale_src_fmt = static_cast<AVPixelFormat>(AFrame->format);
    }
    if (avfilter.av_buffersrc_add_frame_flags(c.buffersrc, AFrame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
        throw FFmpegException("Error opening filters!");
    EncodeVideoFrames(AOst);
}

void TCustomFFmpeg::FlushVideoFilters(TAVOutputStream& AOst) {
    TStreamCoder& c = *AOst.coder;
    if (!c.graph) return;
    if (avfilter.av_buffersrc_add_frame_flags(c.buffersrc, nullptr, 0) < 0)
        throw FFmpegException("Error opening filters!");
    EncodeVideoFrames(AOst);
    c.graph.reset();
}

// Each filtered frame: dropped or repeated by the video sync method, through the output hook,
// encoded (up to the maximum frame count), then offered as a preview bitmap.
void TCustomFFmpeg::EncodeVideoFrames(TAVOutputStream& AOst) {
    TRun& R = *FRun;
    TStreamCoder& c = *AOst.coder;
    AVFrame* f = R.filt_frame.get();
    const int vsync = VideoSyncMethod(AOst);
    for (;;) {
        const int ret = avfilter.av_buffersink_get_frame(c.buffersink, f);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
        if (ret < 0) throw FFmpegException("Error opening filters!");
        struct TUnref {
            AVFrame* f;
            ~TUnref() { avutil.av_frame_unref(f); }
        } unref{f};
        const int nb = VideoFrameCopies(c, f, vsync);
        if (nb == 0) {
            ++R.nb_frames_drop;
            continue;
        }
        if (nb > 1) R.nb_frames_dup += nb - 1;
        if (OnVideoOutputHook && !FOutputHookStopped)
            RunVideoHook(OnVideoOutputHook, f, AOst.frame_number, f->pts, FOutputHookStopped);
        if (!EncodeVideoCopies(AOst, f, nb)) return;
        if (PostHook(phBitmap) && OnPreviewBitmap) PreviewFrame(AOst, f);
    }
}

// The "vsync" option, else the muxer's choice: 0 passes time stamps, 1 keeps a constant rate,
// 2 a variable one.
int TCustomFFmpeg::VideoSyncMethod(const TAVOutputStream& AOst) const {
    const AVOutputFormat* of = FOutputFiles[AOst.file_index].ctx->oformat;
    const int vsync = FOptions->video_sync_method;
    if (vsync >= 0) return vsync;
    return (of->flags & AVFMT_VARIABLE_FPS) ? ((of->flags & AVFMT_NOTIMESTAMPS) ? 0 : 2) : 1;
}

// How often the frame is encoded (0: dropped) to keep the output's position with its time;
// the position jumps to the frame where the method passes time stamps.
int TCustomFFmpeg::VideoFrameCopies(TStreamCoder& ACoder, const AVFrame* AFrame, int AVsync) {
    const double ipts = double(AFrame->pts) / AV_TIME_BASE / av_q2d(ACoder.enc->time_base);
    const double delta = ipts - double(ACoder.sync_opts);
    if (AVsync == 1) {
        if (delta < -1.1) return 0;
        // long is 32 bits on Windows: rounded in 64 bits, within the int range.
        if (delta > 1.1) return static_cast<int>(llrint(std::min(delta, double(INT_MAX))));
        return 1;
    }
    if (AVsync == 2) {
        if (delta <= -0.6) return 0;
        if (delta > 0.6) ACoder.sync_opts = llrint(ipts);
        return 1;
    }
    ACoder.sync_opts = llrint(ipts);
    return 1;
}

// The frame encoded ACopies times at the following output positions; false once the stream
// has reached its maximum frame count.
bool TCustomFFmpeg::EncodeVideoCopies(TAVOutputStream& AOst, AVFrame* AFrame, int ACopies) {
    TStreamCoder& c = *AOst.coder;
    for (int i = 0; i < ACopies; ++i) {
        if (AOst.frame_number >= FOptions->max_frames[AVMEDIA_TYPE_VIDEO]) return false;
        AFrame->pts = c.sync_opts++;
        AFrame->pict_type = AV_PICTURE_TYPE_NONE;
        if (avcodec.avcodec_send_frame(c.enc.get(), AFrame) < 0)
            throw FFmpegException("Video encoding failed");
        ++AOst.frame_number;
        ++c.frame_number;
        ReceivePackets(AOst);
    }
    return true;
}

// A preview bitmap of an encoded frame, at most one per PreviewInterval; a frame that cannot
// be converted switches the bitmap post-hook off.
void TCustomFFmpeg::PreviewFrame(const TAVOutputStream& AOst, const AVFrame* AFrame) {
    TRun& R = *FRun;
    const int64_t now = NowMicroseconds();
    if (R.last_preview != INT64_MIN && now - R.last_preview < PreviewInterval) return;
    R.last_preview = now;
    TBitmap bmp;
    if (!TFormatConverter().FrameToBitmap(AFrame, bmp)) {
        TheLogger()->Log(this, llError, "Cannot convert the frame to a bitmap");
        SetPostHook(phBitmap, false);
        return;
    }
    TPreviewInfo info;
    info.Bitmap = &bmp;
    info.FrameNumber = AOst.frame_number;
    info.PTS =
        avutil.av_rescale_q(AFrame->pts, AOst.coder->enc->time_base, AVRational{1, AV_TIME_BASE});
    OnPreviewBitmap(info);
}

void TCustomFFmpeg::DecodeSubtitle(TAVInputStream& AIst, const AVPacket* APkt) {
    if (!APkt) return;
    TOptionState& o = FOptions;
    TRun& R = *FRun;
    AVSubtitle sub{};
    int got = 0;
    const int ret =
        avcodec.avcodec_decode_subtitle2(AIst.dec.get(), &sub, &got, const_cast<AVPacket*>(APkt));
    if (ret < 0) {
        DecoderError(AIst, ret);
        return;
    }
    if (!got) return;
    struct TFree {
        AVSubtitle* s;
        ~TFree() { avcodec.avsubtitle_free(s); }
    } freeSub{&sub};
    int64_t pts = sub.pts != kNoPTS ? sub.pts
                                    : avutil.av_rescale_q(APkt->pts, AIst.st->time_base,
                                                          AVRational{1, AV_TIME_BASE});
    if (pts < o.start_time) return;
    if (o.recording_time != INT64_MAX && pts >= o.start_time + o.recording_time) {
        AIst.is_past_recording_time = true;
        return;
    }
    const int index = static_cast<int>(&AIst - R.ist.data());
    for (TAVOutputStream* pos : R.ost) {
        if (pos->source_index != index || !pos->encoding_needed) continue;
        if (FJoinMode && FOutputFiles[pos->file_index].group != AIst.file_index) continue;
        TStreamCoder& c = *pos->coder;
        R.subtitle_out.resize(1024 * 1024);
        const int64_t outPts = pts - o.start_time;
        sub.pts = outPts;
        const int size = avcodec.avcodec_encode_subtitle(
            c.enc.get(), R.subtitle_out.data(), static_cast<int>(R.subtitle_out.size()), &sub);
        if (size < 0) throw FFmpegException("Subtitle encoding failed");
        if (size == 0) continue;
        TPacketPtr pkt(avcodec.av_packet_alloc());
        if (!pkt || avcodec.av_new_packet(pkt.get(), size) < 0)
            throw FFmpegException("av_mallocz fail");
        memcpy(pkt->data, R.subtitle_out.data(), size);
        const AVRational tb = pos->st->time_base;
        pkt->pts = pkt->dts =
            avutil.av_rescale_q(outPts + int64_t(sub.start_display_time) * 1000,
                                AVRational{1, AV_TIME_BASE}, tb);
        pkt->duration = avutil.av_rescale_q(sub.end_display_time - sub.start_display_time,
                                            AVRational{1, 1000}, tb);
        pkt->stream_index = pos->index;
        R.extra_size += size;
        ++pos->frame_number;
        WritePacket(*pos, pkt.get(), false);
    }
}
