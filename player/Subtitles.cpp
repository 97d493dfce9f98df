// Subtitles: the subtitle decoder and its thread, the four-entry subtitle queue, and the blending
// of bitmap subtitles and of drawn text subtitles into the picture.
#include <algorithm>
#include <cstring>

#include "FFLoad.h"
#include "Format.h"
#include "PlayerState.h"

namespace {

constexpr int kSubtitleQueueSize = 4;

// The text of an ASS event line ("ReadOrder,Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text",
// or a "Dialogue:" line with its times), its override blocks removed, split into its lines.
std::vector<std::string> AssLines(const std::string& AEvent) {
    size_t at = 0;
    const int fields = AEvent.rfind("Dialogue:", 0) == 0 ? 9 : 8;
    for (int i = 0; i < fields && at != std::string::npos; ++i) {
        at = AEvent.find(',', at);
        if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos) return {};
    std::vector<std::string> lines(1);
    for (size_t i = at; i < AEvent.size(); ++i) {
        const char c = AEvent[i];
        const char next = i + 1 < AEvent.size() ? AEvent[i + 1] : 0;
        if (c == '{') {
            const size_t end = AEvent.find('}', i);
            if (end == std::string::npos) break;
            i = end;
        } else if (c == '\\' && (next == 'N' || next == 'n')) {
            lines.emplace_back();
            ++i;
        } else if (c == '\\' && next == 'h') {
            lines.back() += ' ';
            ++i;
        } else if (c == '\n') {
            lines.emplace_back();
        } else if (c != '\r') {
            lines.back() += c;
        }
    }
    return lines;
}

// The lines of a text subtitle's rectangles, trimmed, empty ones left out.
std::vector<std::string> TextLines(const AVSubtitle& ASub) {
    std::vector<std::string> lines;
    for (unsigned r = 0; r < ASub.num_rects; ++r) {
        const AVSubtitleRect& rect = *ASub.rects[r];
        std::vector<std::string> more;
        if (rect.type == SUBTITLE_ASS && rect.ass)
            more = AssLines(rect.ass);
        else if (rect.type == SUBTITLE_TEXT && rect.text)
            more = AssLines(std::string(",,,,,,,,") + rect.text);
        for (std::string& line : more) {
            const size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos) continue;
            lines.push_back(line.substr(first, line.find_last_not_of(" \t") + 1 - first));
        }
    }
    return lines;
}

void SubtitleThread(TVideoState* is) {
    AVCodecContext* dec = is->subtitle_dec.get();
    const double timeBase = av_q2d(is->subtitle_st->time_base);
    while (!is->subtitle_quit) {
        TPacketNode node;
        if (is->subtitleq.Get(node, true) < 0) break;
        if (node.Flush) {
            avcodec.avcodec_flush_buffers(dec);
            std::lock_guard lock(is->subpq_mutex);
            for (auto& e : is->subpq) e = {};
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
        std::vector<std::string> text = TextLines(sub.Get());
        if (sub.Get().format != 0 && text.empty()) continue;
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
        slot.Text = std::move(text);
        slot.Image = {};
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

// A colour with premultiplied alpha (drawn text) over an opaque pixel.
uint32_t OverPremultiplied(uint32_t ADst, uint32_t AColour) {
    const uint32_t a = AColour >> 24;
    auto mix = [&](int shift) {
        const uint32_t d = ADst >> shift & 255, c = AColour >> shift & 255;
        return std::min<uint32_t>(255, c + d * (255 - a) / 255) << shift;
    };
    return mix(16) | mix(8) | mix(0);
}

// A graph drawing the lines centred above the bottom of an AWidth x AHeight RGB32 frame, white
// with a black outline, by libavfilter's drawtext (the default font of fontconfig), one filter
// per line; false when the filter is missing or refuses.
bool BuildTextGraph(const std::vector<std::string>& ALines, int AWidth, int AHeight, AVFilterGraph* AGraph,
                    AVFilterContext*& ASource, AVFilterContext*& ASink) {
    const AVFilter* drawtext = avfilter.avfilter_get_by_name("drawtext");
    if (!drawtext) return false;
    const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1",
                                    AWidth, AHeight, int(AV_PIX_FMT_RGB32));
    if (avfilter.avfilter_graph_create_filter(&ASource, avfilter.avfilter_get_by_name("buffer"), "in",
                                              args.c_str(), nullptr, AGraph) < 0 ||
        avfilter.avfilter_graph_create_filter(&ASink, avfilter.avfilter_get_by_name("buffersink"), "out",
                                              nullptr, nullptr, AGraph) < 0)
        return false;
    const int size = std::max(12, AHeight / 16), lineHeight = size * 5 / 4;
    const int bottom = AHeight - AHeight / 20;
    AVFilterContext* last = ASource;
    for (size_t i = 0; i < ALines.size(); ++i) {
        AVFilterContext* f = avfilter.avfilter_graph_alloc_filter(AGraph, drawtext, nullptr);
        if (!f) return false;
        TDictionary o;
        o.Set("text", ALines[i].c_str());
        o.Set("expansion", "none");
        o.Set("fontcolor", "white");
        o.Set("bordercolor", "black");
        o.Set("borderw", std::to_string(std::max(1, size / 12)).c_str());
        o.Set("fontsize", std::to_string(size).c_str());
        o.Set("x", "(w-text_w)/2");
        o.Set("y", std::to_string(bottom - int(ALines.size() - i) * lineHeight).c_str());
        if (avfilter.avfilter_init_dict(f, o.Ref()) < 0 || avfilter.avfilter_link(last, 0, f, 0) < 0)
            return false;
        last = f;
    }
    return avfilter.avfilter_link(last, 0, ASink, 0) >= 0 && avfilter.avfilter_graph_config(AGraph, nullptr) >= 0;
}

// The part of an RGB32 frame that is not transparent, into AImage (empty when all is).
void CropDrawn(const AVFrame* AFrame, TVideoState::TTextImage& AImage) {
    auto pixel = [&](int x, int y) {
        return reinterpret_cast<const uint32_t*>(AFrame->data[0] + size_t(y) * AFrame->linesize[0])[x];
    };
    int left = AFrame->width, right = -1, top = AFrame->height, below = -1;
    for (int y = 0; y < AFrame->height; ++y)
        for (int x = 0; x < AFrame->width; ++x)
            if (pixel(x, y) >> 24) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), below = std::max(below, y);
            }
    AImage.Pixels.clear();
    AImage.X = AImage.Y = AImage.Width = AImage.Height = 0;
    if (right < left) return;
    AImage.X = left;
    AImage.Y = top;
    AImage.Width = right + 1 - left;
    AImage.Height = below + 1 - top;
    AImage.Pixels.resize(size_t(AImage.Width) * AImage.Height);
    for (int y = 0; y < AImage.Height; ++y)
        for (int x = 0; x < AImage.Width; ++x) AImage.Pixels[size_t(y) * AImage.Width + x] = pixel(left + x, top + y);
}

// The lines drawn over a transparent AWidth x AHeight rectangle, kept cropped to the text; false
// when drawing fails.
bool DrawText(const std::vector<std::string>& ALines, int AWidth, int AHeight, TVideoState::TTextImage& AImage) {
    TFilterGraphPtr graph(avfilter.avfilter_graph_alloc());
    AVFilterContext *src = nullptr, *sink = nullptr;
    if (!graph || !BuildTextGraph(ALines, AWidth, AHeight, graph.get(), src, sink)) return false;
    TFramePtr canvas(avutil.av_frame_alloc()), drawn(avutil.av_frame_alloc());
    if (!canvas || !drawn) return false;
    canvas->format = AV_PIX_FMT_RGB32;
    canvas->width = AWidth;
    canvas->height = AHeight;
    canvas->pts = 0;
    if (avutil.av_frame_get_buffer(canvas.get(), 0) < 0) return false;
    for (int y = 0; y < AHeight; ++y) std::memset(canvas->data[0] + size_t(y) * canvas->linesize[0], 0, size_t(AWidth) * 4);
    if (avfilter.av_buffersrc_add_frame_flags(src, canvas.get(), 0) < 0 ||
        avfilter.av_buffersrc_add_frame_flags(src, nullptr, 0) < 0 ||
        avfilter.av_buffersink_get_frame(sink, drawn.get()) < 0)
        return false;
    CropDrawn(drawn.get(), AImage);
    return true;
}

// A text subtitle over the picture's rectangle of the surface, drawn again when the rectangle's
// size changed; a failure to draw is logged once per playback.
void BlendText(TVideoState* is, TVideoState::TSubtitleEntry& AEntry, int AX, int AY, int AWidth,
               int AHeight) {
    TVideoState::TTextImage& image = AEntry.Image;
    if (is->subtitle_text_failed) return;
    if (image.ForWidth != AWidth || image.ForHeight != AHeight) {
        image.ForWidth = AWidth;
        image.ForHeight = AHeight;
        if (!DrawText(AEntry.Text, AWidth, AHeight, image)) {
            is->subtitle_text_failed = true;
            TheLogger()->Log(is->Owner, llError, "text subtitles cannot be drawn: no drawtext filter.");
            return;
        }
    }
    for (int y = 0; y < image.Height; ++y) {
        const int sy = AY + image.Y + y;
        if (sy < 0 || sy >= is->height) continue;
        uint32_t* out = is->surface.data() + size_t(sy) * is->width;
        for (int x = 0; x < image.Width; ++x) {
            const int sx = AX + image.X + x;
            const uint32_t c = image.Pixels[size_t(y) * image.Width + x];
            if (sx >= 0 && sx < is->width && (c >> 24)) out[sx] = OverPremultiplied(out[sx], c);
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
        for (auto& e : is->subpq) e = {};
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
        is->subpq[is->subpq_rindex] = {};
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
    auto& head = is->subpq[is->subpq_rindex];
    if (now < StartOf(head)) return;
    if (!head.Text.empty()) {
        BlendText(is, head, AX, AY, AWidth, AHeight);
        return;
    }
    const int canvasW = is->subtitle_width, canvasH = is->subtitle_height;
    if (canvasW <= 0 || canvasH <= 0) return;
    const AVSubtitle& sub = head.Sub.Get();
    for (unsigned i = 0; i < sub.num_rects; ++i) BlendRect(is, *sub.rects[i], canvasW, canvasH, AX, AY, AWidth, AHeight);
}
