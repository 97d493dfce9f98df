// Subtitles: the subtitle decoder and its thread, the four-entry subtitle queue, and the blending
// of bitmap subtitles into the picture. Text subtitles are decoded and dropped (no renderer).
#include <algorithm>

#include "FFLoad.h"
#include "PlayerState.h"

namespace {

constexpr int kSubtitleQueueSize = 4;

void SubtitleThread(TVideoState* is) {
    AVCodecContext* dec = is->subtitle_dec.get();
    const double timeBase = av_q2d(is->subtitle_st->time_base);
    while (!is->subtitle_quit) {
        TPacketNode node;
        if (is->subtitleq.Get(node, true) < 0) break;
        if (node.Flush) {
            avcodec.avcodec_flush_buffers(dec);
            std::lock_guard lock(is->subpq_mutex);
            for (auto& e : is->subpq) e.Sub.Free();
            is->subpq_size = is->subpq_rindex = is->subpq_windex = 0;
            continue;
        }
        if (node.Drain) continue;
        TSubtitle sub;
        int got = 0;
        if (avcodec.avcodec_decode_subtitle2(dec, sub.Ref(), &got, node.Pkt.get()) < 0) {
            TheLogger()->Log(is->Owner, llInfo, "subtitle decoding failed.");
            continue;
        }
        if (!got) continue;
        sub.Hold();
        if (sub.Get().format != 0) continue;  // text: not drawn
        const int64_t pts = sub.Get().pts;
        const double seconds = pts != AV_NOPTS_VALUE ? pts / double(AV_TIME_BASE)
                                                      : node.Pkt->pts != AV_NOPTS_VALUE ? node.Pkt->pts * timeBase : 0;
        std::unique_lock lock(is->subpq_mutex);
        is->subpq_cond.wait(lock, [&] {
            return is->subpq_size < kSubtitleQueueSize || is->subtitle_quit || is->subtitleq.Serial() != node.Serial;
        });
        if (is->subtitle_quit) break;
        if (is->subtitleq.Serial() != node.Serial) continue;
        TVideoState::TSubtitleEntry& slot = is->subpq[is->subpq_windex];
        slot.Sub = std::move(sub);
        slot.pts = seconds;
        slot.serial = node.Serial;
        is->subpq_windex = (is->subpq_windex + 1) % kSubtitleQueueSize;
        ++is->subpq_size;
    }
}

double StartOf(const TVideoState::TSubtitleEntry& AEntry) {
    return AEntry.pts + AEntry.Sub.Get().start_display_time / 1000.0;
}

// The end of a subtitle; one without an end time lasts until the next one starts.
double EndOf(const TVideoState::TSubtitleEntry& AEntry) {
    const uint32_t end = AEntry.Sub.Get().end_display_time;
    return end == 0 || end == UINT32_MAX ? 1e300 : AEntry.pts + end / 1000.0;
}

uint32_t Over(uint32_t ADst, uint32_t AColour) {
    const uint32_t a = AColour >> 24;
    auto mix = [&](int shift) {
        const uint32_t d = ADst >> shift & 255, c = AColour >> shift & 255;
        return ((c * a + d * (255 - a)) / 255) << shift;
    };
    return mix(16) | mix(8) | mix(0);
}

// One bitmap rectangle from the subtitle's canvas (ACanvasW x ACanvasH) onto the picture's
// rectangle of the surface, nearest neighbour, clipped to both.
void BlendRect(TVideoState* is, const AVSubtitleRect& ARect, int ACanvasW, int ACanvasH, int AX, int AY,
               int AWidth, int AHeight) {
    if (ARect.type != SUBTITLE_BITMAP || ARect.w <= 0 || ARect.h <= 0 || !ARect.data[0] || !ARect.data[1]) return;
    const auto* palette = reinterpret_cast<const uint32_t*>(ARect.data[1]);
    const int x0 = AX + int(int64_t(ARect.x) * AWidth / ACanvasW);
    const int x1 = AX + int(int64_t(ARect.x + ARect.w) * AWidth / ACanvasW);
    const int y0 = AY + int(int64_t(ARect.y) * AHeight / ACanvasH);
    const int y1 = AY + int(int64_t(ARect.y + ARect.h) * AHeight / ACanvasH);
    if (x1 <= x0 || y1 <= y0) return;
    for (int y = std::max({y0, AY, 0}); y < std::min({y1, AY + AHeight, is->height}); ++y) {
        const uint8_t* row = ARect.data[0] + size_t(int64_t(y - y0) * ARect.h / (y1 - y0)) * ARect.linesize[0];
        uint32_t* out = is->surface.data() + size_t(y) * is->width;
        for (int x = std::max({x0, AX, 0}); x < std::min({x1, AX + AWidth, is->width}); ++x) {
            const int index = row[int64_t(x - x0) * ARect.w / (x1 - x0)];
            if (index < ARect.nb_colors) out[x] = Over(out[x], palette[index]);
        }
    }
}

}  // namespace

int OpenSubtitleComponent(TVideoState* is, int AStreamIndex) {
    AVFormatContext* ic = is->ic.get();
    if (AStreamIndex < 0 || AStreamIndex >= static_cast<int>(ic->nb_streams)) return -1;
    AVStream* st = ic->streams[AStreamIndex];
    TCodecContextPtr dec = OpenStreamDecoder(is, st, false);
    if (!dec) {
        TheLogger()->Log(is->Owner, llError, "avcodec_open() failed.");
        TCodecLockGuard lock;
        dec.reset();
        return -1;
    }
    is->subtitle_st = st;
    // The canvas the rectangles are placed on: the decoder's, else the picture's.
    is->subtitle_width = dec->width > 0 ? dec->width : is->video_width;
    is->subtitle_height = dec->width > 0 ? dec->height : is->video_height;
    is->subtitle_dec = std::move(dec);
    is->subtitle_quit = false;
    is->subtitleq.FlushAndMark();
    try {
        is->subtitle_tid = std::thread([is] { SubtitleThread(is); });
    } catch (const std::system_error&) {
        TheLogger()->Log(is->Owner, llError, "SDL_CreateThread() failed.");
        TCodecLockGuard lock;
        is->subtitle_dec.reset();
        is->subtitle_st = nullptr;
        return -1;
    }
    st->discard = AVDISCARD_DEFAULT;
    is->subtitle_stream = AStreamIndex;
    return 0;
}

void WakeSubtitleQueue(TVideoState* is) {
    std::lock_guard lock(is->subpq_mutex);
    is->subpq_cond.notify_all();
}

void CloseSubtitleComponent(TVideoState* is) {
    if (is->subtitle_stream < 0) return;
    is->subtitle_quit = true;
    is->subtitleq.Abort();
    WakeSubtitleQueue(is);
    if (is->subtitle_tid.joinable()) is->subtitle_tid.join();
    is->subtitleq.Flush();
    {
        std::lock_guard lock(is->subpq_mutex);
        for (auto& e : is->subpq) e.Sub.Free();
        is->subpq_size = is->subpq_rindex = is->subpq_windex = 0;
    }
    {
        TCodecLockGuard lock;
        is->subtitle_dec.reset();
    }
    is->subtitle_st->discard = AVDISCARD_ALL;
    is->subtitle_st = nullptr;
    is->subtitle_stream = -1;
}

void BlendSubtitles(TVideoState* is, int AX, int AY, int AWidth, int AHeight) {
    if (is->subtitle_stream < 0) return;
    const double now = is->shown.pts;
    std::lock_guard lock(is->subpq_mutex);
    auto drop = [&] {
        is->subpq[is->subpq_rindex].Sub.Free();
        is->subpq_rindex = (is->subpq_rindex + 1) % kSubtitleQueueSize;
        --is->subpq_size;
        is->subpq_cond.notify_all();
    };
    while (is->subpq_size > 0) {
        const auto& head = is->subpq[is->subpq_rindex];
        const auto& next = is->subpq[(is->subpq_rindex + 1) % kSubtitleQueueSize];
        if (head.serial != is->subtitleq.Serial() || now > EndOf(head) ||
            (is->subpq_size > 1 && next.serial == head.serial && now >= StartOf(next)))
            drop();
        else
            break;
    }
    if (is->subpq_size == 0) return;
    const auto& head = is->subpq[is->subpq_rindex];
    if (now < StartOf(head)) return;
    const int canvasW = is->subtitle_width, canvasH = is->subtitle_height;
    if (canvasW <= 0 || canvasH <= 0) return;
    const AVSubtitle& sub = head.Sub.Get();
    for (unsigned i = 0; i < sub.num_rects; ++i) BlendRect(is, *sub.rects[i], canvasW, canvasH, AX, AY, AWidth, AHeight);
}
