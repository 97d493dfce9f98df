// The sound path: the audio device of a playback, its callback (decoding on demand, conversion to
// the device's format, volume and mute, the audio hook, the sample ring), the clocks and the
// audio synchronisation.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <thread>

#include "FFLoad.h"
#include "PlayerState.h"

namespace {

int64_t Now() { return avutil.av_gettime_relative(); }

constexpr double kFadeSeconds = 0.005;  // the ramp of a start, pause or stop

}  // namespace

// The callback's access to its player. Runs on SDL's audio thread.
class TAudioOut {
public:
    static void SDLCALL AudioCallback(void* AUserData, Uint8* AStream, int ALen);

private:
    static int DecodeAudioFrame(TVideoState* is, double& APTS);
    static int ConvertFrame(TVideoState* is, const AVFrame* AFrame);
    static int SynchronizeAudio(TVideoState* is, int ASize);
    static void AudioHook(TVideoState* is, double APTS, int ASize);
    static void FillSampleRing(TVideoState* is, int ASize);
    static void WriteChunk(TVideoState* is, Uint8* AStream, const uint8_t* ASource, int ALen);
    static int Fade(TVideoState* is, Uint8* AStream, int ALen, bool APlaying);
    static void Log(TVideoState* is, const std::string& AText) {
        TheLogger()->Log(is->Owner, llInfo, AText);
    }
};

// ---- opening and closing (reading thread) ------------------------------------------------

int OpenAudioComponent(TVideoState* is, int AStreamIndex, const TSDLAPI& ASDL) {
    AVFormatContext* ic = is->ic.get();
    if (AStreamIndex < 0 || AStreamIndex >= static_cast<int>(ic->nb_streams)) return -1;
    AVStream* st = ic->streams[AStreamIndex];
    TCodecContextPtr dec = OpenStreamDecoder(is, st, true);
    if (!dec || dec->sample_rate <= 0 || dec->ch_layout.nb_channels <= 0) {
        TheLogger()->Log(is->Owner, llError, "avcodec_open() failed.");
        TCodecLockGuard lock;
        dec.reset();
        return -1;
    }

    // The device plays what the callback gives (SDL converts; nothing is obtained): signed 16-bit
    // at the decoder's rate, more than two channels downmixed to two.
    is->audio_rate = dec->sample_rate;
    is->audio_channels = std::min(dec->ch_layout.nb_channels, 2);
    is->audio_frame_bytes = 2 * is->audio_channels;
    is->audio_st = st;
    is->audio_buf_size = is->audio_buf_index = 0;
    is->audio_buf_serial = is->audio_pkt_serial = -1;
    is->audio_decoder_ended = false;
    is->audio_clock = 0;
    is->audio_silent_calls = 0;
    is->audio_gain = 0;
    is->audio_fade_step = 1 / (kFadeSeconds * is->audio_rate);
    is->audio_fading_out = false;
    is->audio_faded_out = true;
    is->audio_diff_avg_coef = std::exp(std::log(0.01) / 20);
    is->audio_diff_avg_count = 0;
    is->audio_diff_cum = 0;
    is->audio_diff_threshold = 2048.0 / is->audio_rate;
    is->AudioDuration = st->duration != AV_NOPTS_VALUE
                            ? avutil.av_rescale_q(st->duration, st->time_base, AVRational{1, AV_TIME_BASE})
                            : -1;
    is->audio_frame.reset(avutil.av_frame_alloc());
    is->audio_dec = std::move(dec);

    SDL_AudioSpec wanted{};
    wanted.freq = is->audio_rate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<Uint8>(is->audio_channels);
    wanted.silence = 0;
    wanted.samples = 1024;
    wanted.callback = TAudioOut::AudioCallback;
    wanted.userdata = is;
    if (!is->audio_frame || ASDL.SDL_OpenAudio(&wanted, nullptr) < 0) {
        TheLogger()->Log(is->Owner, llError, std::string("SDL_OpenAudio() failed: ") + ASDL.SDL_GetError());
        TCodecLockGuard lock;
        is->audio_dec.reset();
        return -1;
    }
    is->audio_device = TSDLAudioDevice(&ASDL);
    is->audio_hw_buf_size = static_cast<int>(wanted.size);
    st->discard = AVDISCARD_DEFAULT;
    is->audio_stream = AStreamIndex;
    ASDL.SDL_PauseAudio(0);
    return 0;
}

void CloseAudioComponent(TVideoState* is) {
    if (is->audio_stream < 0) return;
    // The sound fades out before the device goes: a callback period or two, at most 100 ms.
    is->audio_fading_out = true;
    for (int i = 0; i < 100 && !is->audio_faded_out; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    is->audioq.Abort();
    is->audio_device.Reset();  // waits for a running callback
    is->audioq.Flush();
    {
        TCodecLockGuard lock;
        is->audio_dec.reset();
    }
    is->swr.reset();
    avutil.av_channel_layout_uninit(&is->swr_layout);
    is->swr_format = -1;
    is->audio_st->discard = AVDISCARD_ALL;
    is->audio_st = nullptr;
    is->AudioDuration = -1;
    is->audio_stream = -1;
}

// ---- clocks ------------------------------------------------------------------------------

double AudioClockOf(const TVideoState* is) { return is->audio_clock_now.load(); }

double MasterClockOf(const TVideoState* is) {
    switch (is->av_sync_type) {
        case AV_SYNC_EXTERNAL_CLOCK:
            return is->external_clock + (Now() - is->external_clock_time) * 0.000001;
        case AV_SYNC_VIDEO_MASTER:
            return is->video_stream >= 0 ? VideoClockOf(is) : AudioClockOf(is);
        case AV_SYNC_AUDIO_MASTER:
        default:
            return is->audio_stream >= 0 ? AudioClockOf(is) : VideoClockOf(is);
    }
}

// ---- callback (SDL's audio thread) -------------------------------------------------------

void SDLCALL TAudioOut::AudioCallback(void* AUserData, Uint8* AStream, int ALen) {
    auto* is = static_cast<TVideoState*>(AUserData);
    is->audio_callback_time = Now();
    bool sound = false;
    // A pause, stop or close plays on for the fade-out; what it did not play is heard on resume.
    const bool playing = !is->abort_request && !is->paused && !is->audio_fading_out;
    while (ALen > 0 && (playing || is->audio_gain > 0)) {
        // Samples decoded before a seek are never played after it.
        if (is->audio_buf_serial != is->audioq.Serial()) is->audio_buf_index = is->audio_buf_size;
        if (is->audio_buf_index >= is->audio_buf_size) {
            double pts = 0;
            int size = DecodeAudioFrame(is, pts);
            if (size < 0) {
                // Nothing to play now: the rest stays silent. A fade-out ends here, and after the
                // end of the input the next sound (a seek back) fades in; a gap while playing
                // (samples late after a seek) does not.
                if (!playing || is->audio_decoder_ended) is->audio_gain = 0;
                break;
            }
            AudioHook(is, pts, size);
            if (is->show_audio) FillSampleRing(is, size);
            size = SynchronizeAudio(is, size);
            is->audio_buf_size = static_cast<unsigned>(size);
            is->audio_buf_index = 0;
        }
        int n = std::min(static_cast<int>(is->audio_buf_size - is->audio_buf_index), ALen);
        WriteChunk(is, AStream, is->audio_buf1.data() + is->audio_buf_index, n);
        n = Fade(is, AStream, n, playing);
        is->audio_buf_index += n;
        ALen -= n;
        AStream += n;
        sound = true;
    }
    // SDL2 does not pre-silence the buffer; ALen stays a whole number of sample frames.
    if (ALen > 0) std::memset(AStream, 0, ALen);
    is->audio_faded_out = is->audio_gain <= 0;
    if (sound || !is->audio_decoder_ended)
        is->audio_silent_calls = 0;
    else
        ++is->audio_silent_calls;
    const double bytesPerSecond = double(is->audio_rate) * is->audio_frame_bytes;
    is->audio_buf_left = static_cast<int>(is->audio_buf_size - is->audio_buf_index);
    is->audio_clock_now =
        is->audio_clock - (is->audio_buf_size - is->audio_buf_index) / bytesPerSecond;
}

// Ramps the ALen bytes just written at AStream towards the gain of APlaying; answers the bytes
// that sounded: a fade-out that ends inside them leaves the rest silent and unplayed.
int TAudioOut::Fade(TVideoState* is, Uint8* AStream, int ALen, bool APlaying) {
    double& gain = is->audio_gain;
    if (gain >= 1 && APlaying) return ALen;
    auto* samples = reinterpret_cast<int16_t*>(AStream);
    const int channels = is->audio_channels;
    const int frames = ALen / is->audio_frame_bytes;
    for (int f = 0; f < frames; ++f) {
        gain = APlaying ? std::min(1.0, gain + is->audio_fade_step) : std::max(0.0, gain - is->audio_fade_step);
        if (gain <= 0) {
            std::memset(AStream + f * is->audio_frame_bytes, 0, ALen - f * is->audio_frame_bytes);
            return f * is->audio_frame_bytes;
        }
        if (gain >= 1) return ALen;
        for (int c = 0; c < channels; ++c) {
            int16_t& s = samples[f * channels + c];
            s = static_cast<int16_t>(std::lrint(s * gain));
        }
    }
    return ALen;
}

void TAudioOut::WriteChunk(TVideoState* is, Uint8* AStream, const uint8_t* ASource, int ALen) {
    const int volume = is->Owner->AudioVolume();
    if (is->Owner->Mute() || volume == 0) {
        std::memset(AStream, 0, ALen);
    } else if (volume == SDL_MIX_MAXVOLUME) {
        std::memcpy(AStream, ASource, ALen);
    } else {
        std::memset(AStream, 0, ALen);  // mixed into silence, not into the last buffer
        is->sdl->SDL_MixAudioFormat(AStream, ASource, AUDIO_S16SYS, static_cast<Uint32>(ALen), volume);
    }
}

// The byte count of the next decoded frame in audio_buf1 and its time, or -1 when no packet is
// queued, the input ended, or the playback is paused or aborted.
int TAudioOut::DecodeAudioFrame(TVideoState* is, double& APTS) {
    AVCodecContext* dec = is->audio_dec.get();
    AVFrame* frame = is->audio_frame.get();
    for (;;) {
        int r = avcodec.avcodec_receive_frame(dec, frame);
        if (r >= 0) {
            if (is->audio_pkt_serial != is->audioq.Serial()) {  // decoded before a seek
                avutil.av_frame_unref(frame);
                continue;
            }
            if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
                is->audio_clock = frame->best_effort_timestamp * av_q2d(is->audio_st->time_base);
            const int bytes = ConvertFrame(is, frame);
            avutil.av_frame_unref(frame);
            if (bytes <= 0) continue;
            APTS = is->audio_clock;
            is->audio_clock += double(bytes / is->audio_frame_bytes) / is->audio_rate;
            is->audio_buf_serial = is->audio_pkt_serial;
            return bytes;
        }
        if (r == AVERROR_EOF)
            is->audio_decoder_ended = true;
        else if (r != AVERROR(EAGAIN))
            Log(is, "avcodec_decode_audio2() failed");
        if (is->audio_gain <= 0 && (is->paused || is->abort_request)) return -1;
        TPacketNode node;
        if (is->audioq.Get(node, false) <= 0) return -1;
        is->audio_pkt_serial = node.Serial;
        if (node.Flush || is->audio_decoder_ended) {
            avcodec.avcodec_flush_buffers(dec);
            is->swr.reset();  // drops what the converter held back
            is->audio_decoder_ended = false;
            if (node.Flush) continue;
        }
        r = avcodec.avcodec_send_packet(dec, node.Drain ? nullptr : node.Pkt.get());
        if (r < 0 && r != AVERROR_EOF) Log(is, "avcodec_decode_audio2() failed");
    }
}

// Converts a frame to the device's format into audio_buf1 (sized per frame, with headroom for
// SynchronizeAudio); the byte count, or -1 when it cannot be converted.
int TAudioOut::ConvertFrame(TVideoState* is, const AVFrame* AFrame) {
    if (!is->swr || AFrame->format != is->swr_format || AFrame->sample_rate != is->swr_rate ||
        avutil.av_channel_layout_compare(&AFrame->ch_layout, &is->swr_layout) != 0) {
        is->swr.reset();
        avutil.av_channel_layout_uninit(&is->swr_layout);
        AVChannelLayout in{}, out{};
        if (AFrame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            avutil.av_channel_layout_default(&in, AFrame->ch_layout.nb_channels);
        else if (avutil.av_channel_layout_copy(&in, &AFrame->ch_layout) < 0)
            return -1;
        avutil.av_channel_layout_default(&out, is->audio_channels);
        SwrContext* swr = nullptr;
        int r = swresample.swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, is->audio_rate, &in,
                                               static_cast<AVSampleFormat>(AFrame->format),
                                               AFrame->sample_rate, 0, nullptr);
        is->swr.reset(swr);
        avutil.av_channel_layout_uninit(&in);
        if (r >= 0) r = swresample.swr_init(swr);
        if (r < 0) {
            is->swr.reset();
            const char* name = avutil.av_get_sample_fmt_name(static_cast<AVSampleFormat>(AFrame->format));
            Log(is, Format("Cannot convert %s sample format to %s sample format", name ? name : "?",
                           avutil.av_get_sample_fmt_name(AV_SAMPLE_FMT_S16)));
            return -1;
        }
        if (avutil.av_channel_layout_copy(&is->swr_layout, &AFrame->ch_layout) < 0) return -1;
        is->swr_format = AFrame->format;
        is->swr_rate = AFrame->sample_rate;
    }
    const int frames = swresample.swr_get_out_samples(is->swr.get(), AFrame->nb_samples);
    if (frames < 0) return -1;
    // In 64 bits: the byte count, stretched by up to 10 %, must fit an int (and a 32-bit size_t).
    const int64_t capacity = (int64_t(frames) * 11 / 10 + 1) * is->audio_frame_bytes;
    if (capacity > INT_MAX) return -1;
    if (is->audio_buf1.size() < size_t(capacity)) is->audio_buf1.resize(size_t(capacity));
    uint8_t* out = is->audio_buf1.data();
    const int got = swresample.swr_convert(is->swr.get(), &out, frames,
                                           const_cast<const uint8_t**>(AFrame->extended_data),
                                           AFrame->nb_samples);
    if (got < 0) {
        Log(is, "av_audio_convert() failed");
        return -1;
    }
    return got * is->audio_frame_bytes;
}

// Shrinks or stretches the frame by up to 10 % towards the master clock when audio is not the
// master; otherwise the size stays.
int TAudioOut::SynchronizeAudio(TVideoState* is, int ASize) {
    if (is->av_sync_type == AV_SYNC_AUDIO_MASTER ||
        (is->av_sync_type == AV_SYNC_VIDEO_MASTER && is->video_stream < 0))
        return ASize;
    const int n = is->audio_frame_bytes;
    const double bytesPerSecond = double(is->audio_rate) * n;
    const double clock = is->audio_clock - (ASize / bytesPerSecond);
    const double diff = clock - MasterClockOf(is);
    if (std::fabs(diff) >= 10) {
        is->audio_diff_avg_count = 0;
        is->audio_diff_cum = 0;
        return ASize;
    }
    is->audio_diff_cum = diff + is->audio_diff_avg_coef * is->audio_diff_cum;
    if (is->audio_diff_avg_count < 20) {
        ++is->audio_diff_avg_count;
        return ASize;
    }
    const double avg = is->audio_diff_cum * (1 - is->audio_diff_avg_coef);
    if (std::fabs(avg) < is->audio_diff_threshold) return ASize;
    const int frames = ASize / n;
    const int64_t step = std::llrint(diff * is->audio_rate) * n;
    const int wanted = static_cast<int>(std::clamp<int64_t>(
        ASize + step, int64_t(frames) * 90 / 100 * n, int64_t(frames) * 110 / 100 * n));
    if (wanted > ASize) {
        if (is->audio_buf1.size() < size_t(wanted)) is->audio_buf1.resize(wanted);
        uint8_t* last = is->audio_buf1.data() + ASize - n;
        for (int at = ASize; at < wanted; at += n) std::memcpy(is->audio_buf1.data() + at, last, n);
    }
    return wanted;
}

void TAudioOut::AudioHook(TVideoState* is, double APTS, int ASize) {
    TCustomPlayer* p = is->Owner;
    if (!p->FAudioHook) return;
    const TCustomPlayer::TAudioHookEvent handler = p->Handler(p->FOnAudioHook);
    // The handler may change the samples in place; an exception must not reach SDL's thread.
    try {
        if (handler)
            handler(p, std::llrint(APTS * 1000000) - is->StartTime, is->audio_buf1.data(), ASize,
                    is->audio_rate, is->audio_channels);
    } catch (const std::exception& e) {
        TheLogger()->Log(p, llError, std::string("Error occurs OnAudioHook: ") + e.what());
    }
}

void TAudioOut::FillSampleRing(TVideoState* is, int ASize) {
    const auto* samples = reinterpret_cast<const int16_t*>(is->audio_buf1.data());
    int count = ASize / 2;
    int at = is->sample_array_index;
    while (count > 0) {
        const int n = std::min(count, kSampleArraySize - at);
        for (int k = 0; k < n; ++k) is->sample_array[at + k].store(samples[k], std::memory_order_relaxed);
        samples += n;
        count -= n;
        at = (at + n) % kSampleArraySize;
    }
    is->sample_array_index = at;
}
