// The picture path: the video decoder and its thread, the picture queue, picture timing against
// the master clock, the video hook, and the refresh pass's choice of the picture to show.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "FFLoad.h"
#include "PlayerState.h"

using namespace std::chrono_literals;

namespace {

double NowSeconds() { return avutil.av_gettime_relative() / 1000000.0; }

constexpr int kPictureQueueSize = 2;

}  // namespace

// The video thread's steps and its access to its player.
class TVideoOut {
public:
    static void VideoThread(TVideoState* is);

private:
    static void Flushed(TVideoState* is);
    static bool ConfigureFilters(TVideoState* is, const AVFrame* AFrame);
    // Queues the decoded frame's pictures, through the filters when there are any. False when
    // the queue was flushed meanwhile or the thread is to end.
    static bool Deliver(TVideoState* is, AVFrame* AFrame, AVFrame* AFiltered, double ATimeBase, int ASerial);
    static bool DeliverFiltered(TVideoState* is, AVFrame* AFiltered, int ASerial);
    static double SynchronizeVideo(TVideoState* is, const AVFrame* AFrame, double APTS);
    static bool QueuePicture(TVideoState* is, const AVFrame* AFrame, double APTS, int ASerial);
    static TFramePtr MakePicture(TVideoState* is, const AVFrame* AFrame, bool AWritable);
    static void Flip(AVFrame* APicture);
    static void VideoHook(TVideoState* is, AVFrame* APicture, double APTS);
    static double FrameTargetTime(TVideoState* is, double APTS);
    static void Log(TVideoState* is, TLogLevel ALevel, const std::string& AText) {
        TheLogger()->Log(is->Owner, ALevel, AText);
    }
};

// ---- opening and closing (reading thread) ------------------------------------------------

namespace {

// VideoFilters, then the deinterlacer; empty when the pictures go unfiltered.
std::string FilterChain(const TVideoState* is) {
    const TOpenSettings& s = is->Settings;
    if (!s.deinterlace) return s.video_filters;
    return s.video_filters.empty() ? "yadif" : s.video_filters + ",yadif";
}

bool ValidRate(AVRational ARate) { return ARate.num > 0 && ARate.den > 0; }

// Seconds per picture: the forced rate, else the decoder's unless it differs from the
// container's while AutoAdjustFrameRate is set; each change of rate is logged.
double FrameDelay(TVideoState* is, int AStreamIndex, const AVCodecContext* ADecoder) {
    const AVStream* st = is->ic->streams[AStreamIndex];
    const AVRational codec = ADecoder->framerate;
    const AVRational container = ValidRate(st->avg_frame_rate) ? st->avg_frame_rate : st->r_frame_rate;
    const AVRational own = ValidRate(codec) ? codec : container;
    auto change = [&](const char* AText, AVRational AFrom, AVRational ATo) {
        TheLogger()->Log(is->Owner, llInfo,
                         Format(AText, AStreamIndex, ValidRate(AFrom) ? av_q2d(AFrom) : 0.0, AFrom.num, AFrom.den,
                                av_q2d(ATo), ATo.num, ATo.den));
        return av_q2d(av_inv_q(ATo));
    };
    const AVRational forced = is->Settings.force_frame_rate;
    if (ValidRate(forced)) return change("Force stream %d frame rate: %2.2f (%d/%d) -> %2.2f (%d/%d)", own, forced);
    if (ValidRate(codec) && (!is->Settings.auto_adjust_frame_rate || !ValidRate(container) ||
                             av_cmp_q(codec, container) == 0))
        return av_q2d(av_inv_q(codec));
    if (!ValidRate(container)) return 0.04;
    if (!ValidRate(codec)) return av_q2d(av_inv_q(container));
    return change("Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> %2.2f (%d/%d)",
                  codec, container);
}

}  // namespace

int OpenVideoComponent(TVideoState* is, int AStreamIndex) {
    AVFormatContext* ic = is->ic.get();
    if (AStreamIndex < 0 || AStreamIndex >= static_cast<int>(ic->nb_streams)) return -1;
    AVStream* st = ic->streams[AStreamIndex];
    TCodecContextPtr dec = OpenStreamDecoder(is, st, true);
    if (!dec || dec->width <= 0 || dec->height <= 0) {
        TheLogger()->Log(is->Owner, llError, "avcodec_open() failed.");
        TCodecLockGuard lock;
        dec.reset();
        return -1;
    }
    is->frame_delay = FrameDelay(is, AStreamIndex, dec.get());
    is->video_st = st;
    is->video_width = dec->width;
    is->video_height = dec->height;
    is->video_dec = std::move(dec);
    is->video_quit = false;
    is->video_decoder_ended = false;
    is->videoq.FlushAndMark();
    try {
        is->video_tid = std::thread([is] { TVideoOut::VideoThread(is); });
    } catch (const std::system_error&) {
        TheLogger()->Log(is->Owner, llError, "SDL_CreateThread() failed.");
        TCodecLockGuard lock;
        is->video_dec.reset();
        is->video_st = nullptr;
        return -1;
    }
    st->discard = AVDISCARD_DEFAULT;
    is->video_stream = AStreamIndex;
    return 0;
}

void WakePictureQueue(TVideoState* is) {
    std::lock_guard lock(is->pictq_mutex);
    is->pictq_cond.notify_all();
}

void CloseVideoComponent(TVideoState* is) {
    if (is->video_stream < 0) return;
    is->video_quit = true;
    is->videoq.Abort();
    WakePictureQueue(is);
    if (is->video_tid.joinable()) is->video_tid.join();
    is->videoq.Flush();
    {
        std::lock_guard lock(is->pictq_mutex);
        for (auto& p : is->pictq) p.Frame.reset();
        is->pictq_size = is->pictq_rindex = is->pictq_windex = 0;
    }
    {
        TCodecLockGuard lock;
        is->video_dec.reset();
    }
    is->picture_sws.reset();
    is->filter_graph.reset();
    is->filter_src = is->filter_sink = nullptr;
    is->video_st->discard = AVDISCARD_ALL;
    is->video_st = nullptr;
    is->video_stream = -1;
}

// ---- clock -------------------------------------------------------------------------------

double VideoClockOf(const TVideoState* is) {
    if (is->paused) return is->video_current_pts;
    const double drift = is->video_current_pts_drift;
    return drift != 0 ? drift + NowSeconds() : is->StartTime / 1000000.0;
}

// ---- video thread ------------------------------------------------------------------------

void TVideoOut::VideoThread(TVideoState* is) {
    TFramePtr frame(avutil.av_frame_alloc()), filtered(avutil.av_frame_alloc());
    AVCodecContext* dec = is->video_dec.get();
    const double timeBase = av_q2d(is->video_st->time_base);
    while (frame && filtered && !is->video_quit) {
        // Paused: no new packet until playback resumes or a picture must be shown.
        if (is->paused && !is->show_next) {
            std::this_thread::sleep_for(10ms);
            continue;
        }
        TPacketNode node;
        if (is->videoq.Get(node, true) < 0) break;
        if (node.Flush) {
            avcodec.avcodec_flush_buffers(dec);
            is->video_decoder_ended = false;
            Flushed(is);
            continue;
        }
        if (is->video_decoder_ended) {  // packets after a drain (the end of a loop) decode anew
            avcodec.avcodec_flush_buffers(dec);
            is->video_decoder_ended = false;
        }
        int r = avcodec.avcodec_send_packet(dec, node.Drain ? nullptr : node.Pkt.get());
        if (r < 0 && r != AVERROR_EOF && r != AVERROR(EAGAIN)) Log(is, llInfo, "video decoding failed.");
        for (;;) {
            r = avcodec.avcodec_receive_frame(dec, frame.get());
            if (r == AVERROR_EOF && is->filter_graph) {
                // The filters hand over the pictures they hold; packets after this build them anew.
                if (avfilter.av_buffersrc_add_frame_flags(is->filter_src, nullptr, 0) >= 0)
                    DeliverFiltered(is, filtered.get(), node.Serial);
                is->filter_graph.reset();
            }
            if (r == AVERROR_EOF) is->video_decoder_ended = true;
            if (r < 0) break;
            const bool queued = Deliver(is, frame.get(), filtered.get(), timeBase, node.Serial);
            avutil.av_frame_unref(frame.get());
            if (!queued) break;
        }
    }
}

bool TVideoOut::Deliver(TVideoState* is, AVFrame* AFrame, AVFrame* AFiltered, double ATimeBase, int ASerial) {
    const int reorder = is->Settings.decoder_reorder_pts;
    const int64_t t = reorder < 0 ? AFrame->best_effort_timestamp : reorder ? AFrame->pts : AFrame->pkt_dts;
    if (FilterChain(is).empty() || !ConfigureFilters(is, AFrame)) {
        const double pts = SynchronizeVideo(is, AFrame, t != AV_NOPTS_VALUE ? t * ATimeBase : NAN);
        return QueuePicture(is, AFrame, pts, ASerial);
    }
    AFrame->pts = t;
    if (avfilter.av_buffersrc_add_frame_flags(is->filter_src, AFrame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
        Log(is, llError, is->Settings.deinterlace ? "deinterlacing failed." : "video filtering failed.");
        return true;
    }
    return DeliverFiltered(is, AFiltered, ASerial);
}

// Queues what the filters have ready. False when the queue was flushed or the thread is to end.
bool TVideoOut::DeliverFiltered(TVideoState* is, AVFrame* AFiltered, int ASerial) {
    const double sinkBase = av_q2d(avfilter.av_buffersink_get_time_base(is->filter_sink));
    while (avfilter.av_buffersink_get_frame(is->filter_sink, AFiltered) >= 0) {
        const int64_t pts = AFiltered->pts;
        const double seconds = SynchronizeVideo(is, AFiltered, pts != AV_NOPTS_VALUE ? pts * sinkBase : NAN);
        const bool queued = QueuePicture(is, AFiltered, seconds, ASerial);
        avutil.av_frame_unref(AFiltered);
        if (!queued) return false;
    }
    return true;
}

// Builds the filter chain for AFrame's format and size unless it has them already; false
// without a chain (a failure is logged once and the pictures go unfiltered).
bool TVideoOut::ConfigureFilters(TVideoState* is, const AVFrame* AFrame) {
    if (is->filter_failed) return false;
    if (is->filter_graph && AFrame->width == is->filter_width && AFrame->height == is->filter_height &&
        AFrame->format == is->filter_format)
        return true;
    is->filter_graph.reset(avfilter.avfilter_graph_alloc());
    AVFilterGraph* g = is->filter_graph.get();
    const AVRational tb = is->video_st->time_base, sar = AFrame->sample_aspect_ratio;
    const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                                    AFrame->width, AFrame->height, AFrame->format, tb.num, tb.den,
                                    sar.num > 0 ? sar.num : 1, sar.den > 0 ? sar.den : 1);
    const std::string chain = FilterChain(is) + ",format=pix_fmts=yuv420p";
    AVFilterInOut* outputs = avfilter.avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter.avfilter_inout_alloc();
    int r = g && outputs && inputs ? 0 : AVERROR(ENOMEM);
    if (r >= 0)
        r = avfilter.avfilter_graph_create_filter(&is->filter_src, avfilter.avfilter_get_by_name("buffer"),
                                                  "ffplay_input", args.c_str(), nullptr, g);
    if (r >= 0)
        r = avfilter.avfilter_graph_create_filter(&is->filter_sink, avfilter.avfilter_get_by_name("buffersink"),
                                                  "ffsink", nullptr, nullptr, g);
    if (r >= 0) {
        outputs->name = avutil.av_strdup("in");
        outputs->filter_ctx = is->filter_src;
        inputs->name = avutil.av_strdup("out");
        inputs->filter_ctx = is->filter_sink;
        r = outputs->name && inputs->name ? avfilter.avfilter_graph_parse_ptr(g, chain.c_str(), &inputs, &outputs, nullptr)
                                          : AVERROR(ENOMEM);
    }
    avfilter.avfilter_inout_free(&outputs);
    avfilter.avfilter_inout_free(&inputs);
    if (r >= 0) r = avfilter.avfilter_graph_config(g, nullptr);
    if (r < 0) {
        if (!is->Settings.video_filters.empty())
            Log(is, llError, Format("cannot set up the video filters \"%s\".", is->Settings.video_filters));
        else
            Log(is, llError, "deinterlacing failed.");
        is->filter_graph.reset();
        is->filter_failed = true;
        return false;
    }
    is->filter_width = AFrame->width;
    is->filter_height = AFrame->height;
    is->filter_format = AFrame->format;
    return true;
}

// A flush of the video queue: pictures of before it are dropped, the timing starts anew.
void TVideoOut::Flushed(TVideoState* is) {
    {
        std::lock_guard lock(is->pictq_mutex);
        for (auto& p : is->pictq) p.Frame.reset();
        is->pictq_size = is->pictq_rindex = is->pictq_windex = 0;
        is->pictq_cond.notify_all();
    }
    is->filter_graph.reset();  // frames held by the filters are of before the flush
    is->frame_last_pts = NAN;
    is->frame_last_delay = 0;
    is->frame_timer = NowSeconds();
    is->skip_frames = 1;
    is->show_next = true;
}

// The picture's time (the video clock when it has none); the video clock advances by the
// picture's duration, half a frame more per repeated field.
double TVideoOut::SynchronizeVideo(TVideoState* is, const AVFrame* AFrame, double APTS) {
    if (!std::isnan(APTS))
        is->video_clock = APTS;
    else
        APTS = is->video_clock;
    is->video_clock += is->frame_delay + AFrame->repeat_pict * is->frame_delay * 0.5;
    return APTS;
}

// The time the picture is due: the picture distance, shortened or doubled while the video is
// behind or ahead of the master clock by more than a frame.
double TVideoOut::FrameTargetTime(TVideoState* is, double APTS) {
    double delay = APTS - is->frame_last_pts;
    if (std::isnan(delay) || delay <= 0 || delay >= 10)
        delay = is->frame_last_delay;
    else
        is->frame_last_delay = delay;
    is->frame_last_pts = APTS;
    if ((is->av_sync_type == AV_SYNC_AUDIO_MASTER && is->audio_stream >= 0) ||
        is->av_sync_type == AV_SYNC_EXTERNAL_CLOCK) {
        const double diff = VideoClockOf(is) - MasterClockOf(is);
        const double threshold = std::max(0.01, delay);
        if (std::fabs(diff) < 10) {
            if (diff <= -threshold)
                delay = 0;
            else if (diff >= threshold)
                delay = 2 * delay;
        }
    }
    return is->frame_timer.fetch_add(delay) + delay;
}

// The queued form of a picture: YUV420P at the video's size. A YUV420P frame is shared, and
// copied only when it is to be changed (AWritable). A picture that cannot be made ends the
// playback.
TFramePtr TVideoOut::MakePicture(TVideoState* is, const AVFrame* AFrame, bool AWritable) {
    TFramePtr p(avutil.av_frame_alloc());
    bool made = p != nullptr;
    if (made && AFrame->format == AV_PIX_FMT_YUV420P) {
        made = avutil.av_frame_ref(p.get(), AFrame) >= 0 &&
               (!AWritable || avutil.av_frame_make_writable(p.get()) >= 0);
    } else if (made) {
        p->format = AV_PIX_FMT_YUV420P;
        p->width = AFrame->width;
        p->height = AFrame->height;
        is->picture_sws.reset(swscale.sws_getCachedContext(
            is->picture_sws.release(), AFrame->width, AFrame->height,
            static_cast<AVPixelFormat>(AFrame->format), p->width, p->height, AV_PIX_FMT_YUV420P,
            SWS_BICUBIC, nullptr, nullptr, nullptr));
        made = is->picture_sws && avutil.av_frame_get_buffer(p.get(), 0) >= 0 &&
               swscale.sws_scale(is->picture_sws.get(), AFrame->data, AFrame->linesize, 0,
                                 AFrame->height, p->data, p->linesize) > 0;
    }
    if (made) return p;
    Log(is, llFatal,
        Format("Error: the video system does not support an image size of %dx%d pixels. Try using "
               "-lowres or -vf \"scale=w:h\" to reduce the image size.",
               AFrame->width, AFrame->height));
    is->Events.Post(peQuit);
    return nullptr;
}

// Turns a writable YUV420P picture upside down.
void TVideoOut::Flip(AVFrame* APicture) {
    std::vector<uint8_t> row;
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? APicture->height : (APicture->height + 1) / 2;
        const int bytes = plane == 0 ? APicture->width : (APicture->width + 1) / 2;
        row.resize(bytes);
        uint8_t* data = APicture->data[plane];
        const int line = APicture->linesize[plane];
        for (int top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
            std::memcpy(row.data(), data + ptrdiff_t(top) * line, bytes);
            std::memcpy(data + ptrdiff_t(top) * line, data + ptrdiff_t(bottom) * line, bytes);
            std::memcpy(data + ptrdiff_t(bottom) * line, row.data(), bytes);
        }
    }
}

// OnVideoHook with the picture as a bitmap; what the handler leaves in it (AUpdate true) is the
// picture shown.
void TVideoOut::VideoHook(TVideoState* is, AVFrame* APicture, double APTS) {
    TCustomPlayer* p = is->Owner;
    const TCustomPlayer::TVideoHookEvent handler = p->Handler(p->FOnVideoHook);
    if (!handler) return;
    TFormatConverter& converter = p->FHookConverter;
    converter.SetBitsPixel(p->FVideoHookBitsPixel);
    if (!converter.FrameToBitmap(APicture, is->hook_bitmap)) {
        Log(is, llError, converter.LastErrMsg());
        return;
    }
    bool update = true;
    try {
        handler(p, &is->hook_bitmap, std::llrint(APTS * 1000000) - is->StartTime, update);
    } catch (const std::exception& e) {
        Log(is, llError, std::string("Error occurs OnVideoHook: ") + e.what());
        return;
    }
    if (update && !converter.BitmapToFrame(is->hook_bitmap, APicture)) Log(is, llError, converter.LastErrMsg());
}

// Converts, flips and hooks the picture, then waits for room in the queue. False when the
// queue was flushed meanwhile or the thread is to end.
bool TVideoOut::QueuePicture(TVideoState* is, const AVFrame* AFrame, double APTS, int ASerial) {
    TCustomPlayer* owner = is->Owner;
    const bool hook = owner->FVideoHook && owner->Handler(owner->FOnVideoHook);
    TFramePtr picture = MakePicture(is, AFrame, hook || is->Settings.vertical_flip);
    if (!picture) return false;
    if (is->Settings.vertical_flip) Flip(picture.get());
    if (hook) VideoHook(is, picture.get(), APTS);
    const double target = FrameTargetTime(is, APTS);
    {
        std::unique_lock lock(is->pictq_mutex);
        is->pictq_cond.wait(lock, [&] {
            return is->pictq_size < kPictureQueueSize || is->video_quit || is->videoq.Serial() != ASerial;
        });
        if (is->video_quit || is->videoq.Serial() != ASerial) return false;
        TVideoState::TPicture& slot = is->pictq[is->pictq_windex];
        slot.Frame = std::move(picture);
        slot.pts = APTS;
        slot.target = target;
        slot.pos = AFrame->pkt_pos;
        slot.sar = AFrame->sample_aspect_ratio;
        slot.serial = ASerial;
        is->pictq_windex = (is->pictq_windex + 1) % kPictureQueueSize;
        ++is->pictq_size;
    }
    owner->FPictEvent.SetEvent();
    {
        std::lock_guard lock(is->seek_lock);
        if (!is->seek_req) owner->FSeeking = false;
    }
    return true;
}

// ---- refresh pass (play thread) ----------------------------------------------------------

TRefreshResult RefreshVideo(TVideoState* is, bool& ADropped) {
    ADropped = false;
    {
        std::lock_guard lock(is->pictq_mutex);
        auto release = [is] {
            is->pictq[is->pictq_rindex].Frame.reset();
            is->pictq_rindex = (is->pictq_rindex + 1) % kPictureQueueSize;
            --is->pictq_size;
            is->pictq_cond.notify_all();
        };
        for (;;) {
            // Pictures of before a seek are never shown.
            while (is->pictq_size > 0 && is->pictq[is->pictq_rindex].serial != is->videoq.Serial()) release();
            if (is->pictq_size == 0) return rrNone;
            TVideoState::TPicture& head = is->pictq[is->pictq_rindex];
            const bool showNext = is->show_next;
            if (is->paused && !showNext) return rrNone;
            const double now = NowSeconds();
            if (!showNext && now < head.target) return rrWait;
            if (is->Settings.framedrop && !showNext && !is->IsDevice) {
                // The next picture's time; with none queued yet, one picture distance later.
                const double next = is->pictq_size > 1 ? is->pictq[(is->pictq_rindex + 1) % kPictureQueueSize].target
                                                       : head.target + std::max(0.0, head.target - is->shown.target);
                if (now > next) {
                    is->skip_frames = is->skip_frames * 1.05;
                    if (is->pictq_size > 1 || now > next + 0.5) {
                        release();
                        ++is->frame_drops;
                        ADropped = true;
                        continue;
                    }
                }
            }
            is->video_current_pts = head.pts;
            is->video_current_pts_drift = head.pts - now;
            is->video_current_pos = head.pos;
            is->shown = std::move(head);
            is->pictq_rindex = (is->pictq_rindex + 1) % kPictureQueueSize;
            --is->pictq_size;
            is->pictq_cond.notify_all();
            break;
        }
    }
    is->show_next = false;
    {
        std::lock_guard lock(is->step_lock);
        if (is->step.exchange(false)) is->paused = 1;
    }
    return rrShown;
}

bool VideoDrained(TVideoState* is) {
    if (!is->video_decoder_ended || is->videoq.Count() != 0) return false;
    std::lock_guard lock(is->pictq_mutex);
    return is->pictq_size == 0;
}
