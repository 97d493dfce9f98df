// The draw step of the play thread: waveform and spectrum of the sample ring, or the picture
// shown, into the surface, handed to the screen host. Play thread only; the ring is read without a lock (a torn read
// spoils one drawn frame only).
#include <algorithm>
#include <cmath>

#include "FFAPI.h"
#include "PlayerState.h"

namespace {

constexpr uint32_t kWhite = 0x00FFFFFF;

int64_t NowMicro() { return avutil.av_gettime_relative(); }  // the audio callback's clock

int Channels(const TVideoState* is) { return std::max(is->audio_channels.load(), 1); }

int Ring(int AIndex) { return ((AIndex % kSampleArraySize) + kSampleArraySize) % kSampleArraySize; }

// Makes a surface of the host's size (even, at least 2x2), unless forced keeps one of that size.
bool OpenVideoSurface(TVideoState* is, bool AForce) {
    int w = 0, h = 0;
    is->screen->GetClientSize(w, h);
    w &= ~1;
    h &= ~1;
    if (w < 2 || h < 2) return false;
    if (!AForce && !is->surface.empty() && w == is->width && h == is->height) return true;
    is->surface.assign(size_t(w) * h, 0);
    is->width = w;
    is->height = h;
    is->xpos = 0;
    return true;
}

void Fill(TVideoState* is, int AX, int AY, int AW, int AH, uint32_t AColour) {
    for (int y = std::max(AY, 0); y < std::min(AY + AH, is->height); ++y)
        std::fill_n(is->surface.data() + size_t(y) * is->width + std::max(AX, 0),
                    std::max(0, std::min(AX + AW, is->width) - std::max(AX, 0)), AColour);
}

// Index of the first sample to show of ACount per channel.
int StartSample(TVideoState* is, int ACount) {
    const int c = Channels(is);
    if (is->paused) return is->last_i_start;
    int delay = is->audio_buf_left / (2 * c);
    if (const int64_t t = is->audio_callback_time; t > 0)
        delay -= int((NowMicro() - t) * is->audio_rate / 1000000);
    delay = std::max(delay + 2 * ACount, ACount);
    int i = Ring(is->sample_array_index - delay * c);
    if (is->show_audio == saWave) {
        // The steepest falling zero crossing of the 1000 most recent samples steadies the picture.
        int best = i, score = INT32_MIN;
        for (int k = 0; k < 1000; k += c) {
            const int idx = Ring(i - k);
            const int a = is->sample_array[Ring(idx + 4 * c)], b = is->sample_array[Ring(idx + 5 * c)];
            const int s = is->sample_array[idx] - is->sample_array[Ring(idx + 9 * c)];
            if ((a ^ b) < 0 && s > score) {
                score = s;
                best = idx;
            }
        }
        i = best;
    }
    return is->last_i_start = i;
}

void DrawWave(TVideoState* is) {
    const int c = Channels(is), w = is->width, h = is->height / c, h2 = h * 9 / 20;
    const int start = StartSample(is, w);
    Fill(is, 0, 0, w, is->height, 0);
    for (int ch = 0; ch < c; ++ch) {
        const int y1 = ch * h + h / 2;
        int i = Ring(start + ch);
        for (int x = 0; x < w; ++x, i = Ring(i + c)) {
            const int y = (is->sample_array[i] * h2) >> 15;
            Fill(is, x, y < 0 ? y1 + y : y1, 1, std::abs(y), kWhite);
        }
    }
    for (int ch = 1; ch < c; ++ch) Fill(is, 0, ch * h, w, 1, kWhite);
}

// One column of the waterfall at xpos; each row y shows FFT bin height - 1 - y.
void DrawSpectrum(TVideoState* is) {
    const int c = std::min(Channels(is), 2);
    int bits = 1;
    while ((1 << bits) < is->height) ++bits;
    const int n = 1 << bits;
    if (bits != is->rdft_bits) {
        CloseDisplay(is);
        is->rdft = avcodec.av_rdft_init(bits + 1, DFT_R2C);
        if (!is->rdft) return;
        is->rdft_bits = bits;
        is->rdft_data.assign(size_t(4) * n + 16, 0);  // + room to align to 64 bytes
    }
    const int start = StartSample(is, 2 * n);
    // The transform's SIMD code needs 64-byte aligned data.
    float* base = is->rdft_data.data();
    base += (64 - reinterpret_cast<uintptr_t>(base) % 64) % 64 / sizeof(float);
    for (int ch = 0; ch < c; ++ch) {
        float* data = base + size_t(2) * n * ch;
        for (int x = 0, i = Ring(start + ch); x < 2 * n; ++x, i = Ring(i + Channels(is))) {
            const double w = double(x - n) / n;
            data[x] = float(is->sample_array[i] * (1 - w * w));
        }
        avcodec.av_rdft_calc(is->rdft, data);
    }
    auto level = [&](int ch, int bin) {
        const float* d = base + size_t(2) * n * ch;
        const double re = d[2 * bin], im = bin == 0 ? 0 : d[2 * bin + 1];
        return std::min(255, int(std::sqrt(std::sqrt(re * re + im * im) / std::sqrt(n))));
    };
    for (int y = 0; y < is->height; ++y) {
        const int bin = is->height - 1 - y;
        const int a = level(0, bin), b = c > 1 ? level(1, bin) : a;
        is->surface[size_t(y) * is->width + is->xpos] =
            uint32_t(a) << 16 | uint32_t(b) << 8 | uint32_t((a + b) / 2);
    }
    if (++is->xpos >= is->width) is->xpos = 0;
}

// The picture shown, scaled into the surface at its display aspect and centred, black around.
void DrawPicture(TVideoState* is) {
    Fill(is, 0, 0, is->width, is->height, 0);
    const AVFrame* f = is->shown.Frame.get();  // written by this thread only
    if (!f) return;
    const float ratio = is->Owner->AspectRatio();
    double aspect = double(is->width) / is->height;  // negative: the picture fills the screen
    if (ratio > 0) {
        aspect = ratio;
    } else if (ratio == 0) {
        const AVRational sar = is->shown.sar;
        aspect = (sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0) * f->width / f->height;
    }
    int h = is->height, w = int(std::llrint(h * aspect)) & ~1;
    if (w > is->width) {
        w = is->width;
        h = int(std::llrint(w / aspect)) & ~1;
    }
    if (w < 2 || h < 2) return;
    const int x = (is->width - w) / 2, y = (is->height - h) / 2;
    is->display_sws.reset(swscale.sws_getCachedContext(
        is->display_sws.release(), f->width, f->height, static_cast<AVPixelFormat>(f->format), w, h,
        AV_PIX_FMT_0RGB32, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!is->display_sws) return;
    // swscale writes rows in blocks of up to 16 pixels: it scales into a padded buffer, and only
    // the picture's rectangle reaches the surface.
    const int pitch = (w + 15) & ~15;
    if (is->scaled.size() < size_t(pitch) * h) is->scaled.resize(size_t(pitch) * h);
    uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(is->scaled.data())};
    const int lines[4] = {pitch * 4};
    if (swscale.sws_scale(is->display_sws.get(), f->data, f->linesize, 0, f->height, dst, lines) <= 0)
        return;
    for (int row = 0; row < h; ++row)
        std::copy_n(is->scaled.data() + size_t(row) * pitch, w,
                    is->surface.data() + size_t(y + row) * is->width + x);
    BlendSubtitles(is, x, y, w, h);
}

}  // namespace

void DrawStep(TVideoState* is, bool AForce) {
    if (!is->screen || !is->screen->Showing()) return;
    const bool audio = is->audio_stream >= 0 && is->show_audio != saNone;
    if (!audio && is->video_stream < 0) return;
    if (!OpenVideoSurface(is, AForce)) return;
    if (!audio)
        DrawPicture(is);
    else if (is->show_audio == saWave)
        DrawWave(is);
    else
        DrawSpectrum(is);
    is->screen->PresentFrame(is->surface.data(), is->width, is->height, is->width * 4);
}

void CloseDisplay(TVideoState* is) {
    if (is->rdft) avcodec.av_rdft_end(is->rdft);
    is->rdft = nullptr;
    is->rdft_bits = 0;
}
