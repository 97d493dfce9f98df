// The audio branch of the run: decoding, the audio hook, volume, trimming to the output window,
// conversion to the encoder's format, channels and rate, audio sync, framing through the FIFO
// into whole encoder frames, encoding and flushing. Buffers are kept and grown, never
// reallocated per packet.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <thread>
#include <vector>

#include "FFLoad.h"
#include "FFLog.h"
#include "FFUtils.h"
#include "FFmpegRun.h"
#include "Format.h"
#include "Int128.h"


// A 128-bit time value saturated to the 64-bit range.
static int64_t SaturatedTime(TInt128 AValue) { return AValue.Saturated(); }

static int64_t SamplesToMicro(int64_t ASamples, int ARate) {
    return ASamples * AV_TIME_BASE / ARate;
}

// A sample count from a floating-point value, saturated to what a buffer size can hold.
static int SampleCount(double AValue) {
    constexpr double kMax = INT_MAX / 64;  // room for 8 channels of 8-byte samples
    return static_cast<int>(llrint(std::clamp(AValue, -kMax, kMax)));
}

// Applies the volume to every sample of a decoded frame, in its own sample format.
static void ScaleVolume(AVFrame* AFrame, int AVolume) {
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
    const bool planar = avutil.av_sample_fmt_is_planar(fmt);
    const int channels = AFrame->ch_layout.nb_channels;
    const int planes = planar ? channels : 1;
    const int count = AFrame->nb_samples * (planar ? 1 : channels);
    const AVSampleFormat packed = avutil.av_get_packed_sample_fmt(fmt);
    for (int p = 0; p < planes; ++p) {
        uint8_t* data = AFrame->extended_data[p];
        switch (packed) {
            case AV_SAMPLE_FMT_U8: {
                for (int i = 0; i < count; ++i) {
                    const int64_t v = ((int64_t(data[i]) - 128) * AVolume + 128) >> 8;
                    data[i] = static_cast<uint8_t>(std::clamp<int64_t>(v, -128, 127) + 128);
                }
                break;
            }
            case AV_SAMPLE_FMT_S16: {
                auto* s = reinterpret_cast<int16_t*>(data);
                for (int i = 0; i < count; ++i)
                    s[i] = static_cast<int16_t>(
                        std::clamp<int64_t>((int64_t(s[i]) * AVolume + 128) >> 8, -32768, 32767));
                break;
            }
            case AV_SAMPLE_FMT_S32: {
                auto* s = reinterpret_cast<int32_t*>(data);
                for (int i = 0; i < count; ++i)
                    s[i] = static_cast<int32_t>(std::clamp<int64_t>(
                        (int64_t(s[i]) * AVolume + 128) >> 8, INT32_MIN, INT32_MAX));
                break;
            }
            case AV_SAMPLE_FMT_S64: {
                auto* s = reinterpret_cast<int64_t*>(data);
                for (int i = 0; i < count; ++i) {
                    s[i] = ((TInt128(s[i]) * AVolume + 128) >> 8).Saturated();
                }
                break;
            }
            case AV_SAMPLE_FMT_FLT: {
                auto* s = reinterpret_cast<float*>(data);
                const float g = AVolume / 256.0f;
                for (int i = 0; i < count; ++i) s[i] = std::clamp(s[i] * g, -1.0f, 1.0f);
                break;
            }
            case AV_SAMPLE_FMT_DBL: {
                auto* s = reinterpret_cast<double*>(data);
                const double g = AVolume / 256.0;
                for (int i = 0; i < count; ++i) s[i] = std::clamp(s[i] * g, -1.0, 1.0);
                break;
            }
            default:
                break;
        }
    }
}

// Scales every sample of a decoded frame by AGain in double precision (a loudness gain, with
// the volume), in its own sample format; integer formats round and saturate.
static void ScaleGain(AVFrame* AFrame, double AGain) {
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
    const bool planar = avutil.av_sample_fmt_is_planar(fmt);
    const int planes = planar ? AFrame->ch_layout.nb_channels : 1;
    const int count = AFrame->nb_samples * (planar ? 1 : AFrame->ch_layout.nb_channels);
    // Samples of type T with their zero at AZero, scaled and saturated to [ALo, AHi].
    const auto scale = [&](auto* ASamples, double AZero, double ALo, double AHi) {
        using T = std::remove_pointer_t<decltype(ASamples)>;
        for (int i = 0; i < count; ++i) {
            double v = (double(ASamples[i]) - AZero) * AGain;
            if constexpr (std::is_integral_v<T>) v = std::nearbyint(v);
            v = std::clamp(v, ALo, AHi);
            // The upper limit of a 64-bit sample is not a double: saturate before converting.
            ASamples[i] = v >= double(std::numeric_limits<T>::max())
                              ? std::numeric_limits<T>::max()
                              : static_cast<T>(v + AZero);
        }
    };
    for (int p = 0; p < planes; ++p) {
        uint8_t* data = AFrame->extended_data[p];
        switch (avutil.av_get_packed_sample_fmt(fmt)) {
            case AV_SAMPLE_FMT_U8: scale(data, 128.0, -128.0, 127.0); break;
            case AV_SAMPLE_FMT_S16:
                scale(reinterpret_cast<int16_t*>(data), 0.0, -32768.0, 32767.0);
                break;
            case AV_SAMPLE_FMT_S32:
                scale(reinterpret_cast<int32_t*>(data), 0.0, double(INT32_MIN), double(INT32_MAX));
                break;
            case AV_SAMPLE_FMT_S64:
                scale(reinterpret_cast<int64_t*>(data), 0.0, double(INT64_MIN), double(INT64_MAX));
                break;
            case AV_SAMPLE_FMT_FLT: scale(reinterpret_cast<float*>(data), 0.0, -1.0, 1.0); break;
            case AV_SAMPLE_FMT_DBL: scale(reinterpret_cast<double*>(data), 0.0, -1.0, 1.0); break;
            default: break;
        }
    }
}

void TCustomFFmpeg::DecodeAudio(TAVInputStream& AIst, const AVPacket* APkt) {
    DecodeFrames(AIst, APkt, [&](AVFrame* AFrame, int ACount) { AudioFrame(AIst, APkt, AFrame, ACount); });
}

// A decoded frame's steps in order: its time, the hook, the volume, rate emulation, the output
// window, then each output stream fed from it.
void TCustomFFmpeg::AudioFrame(TAVInputStream& AIst, const AVPacket* APkt, AVFrame* frame,
                               int ACount) {
    TRun& R = *FRun;
    if (ACount == 2 && APkt && !AIst.showed_multi_packet_warning && FOptions->verbose > 0) {
        TheLogger()->Log(this, llError,
                         Format("Multiple frames in a packet from stream %d", APkt->stream_index));
        AIst.showed_multi_packet_warning = true;
    }
    const int rate = frame->sample_rate;
    const int n = frame->nb_samples;
    if (rate <= 0 || n <= 0) return;
    const int64_t pts = TakeFrameTime(AIst, frame);
    if (OnAudioHook) RunAudioHook(frame, pts);
    ApplyVolume(frame);
    if (FOptions->rate_emu) EmulateRate(AIst, pts);
    int first = 0, count = n;
    if (!AudioWindow(AIst, pts, rate, first, count)) return;
    const int64_t chunkPts = SaturatedTime(TInt128(pts) + SamplesToMicro(first, rate));
    const int index = static_cast<int>(&AIst - R.ist.data());
    for (TAVOutputStream* pos : R.ost) {
        if (pos->source_index != index || !pos->encoding_needed) continue;
        if (FJoinMode && FOutputFiles[pos->file_index].group != AIst.file_index) continue;
        AudioOut(*pos, AIst, frame, first, count, chunkPts);
    }
}

// The frame's time (microseconds): its best-effort time stamp, else where the stream's last
// frame ended; the stream's pts and next_pts follow it.
int64_t TCustomFFmpeg::TakeFrameTime(TAVInputStream& AIst, const AVFrame* AFrame) {
    int64_t pts = AIst.next_pts == kNoPTS ? 0 : AIst.next_pts;
    if (AFrame->best_effort_timestamp != kNoPTS)
        pts = avutil.av_rescale_q(AFrame->best_effort_timestamp, AIst.st->time_base,
                                  AVRational{1, AV_TIME_BASE});
    AIst.pts = pts;
    AIst.next_pts =
        SaturatedTime(TInt128(pts) + SamplesToMicro(AFrame->nb_samples, AFrame->sample_rate));
    return pts;
}

// The volume "vol" and the loudness gain applied to the frame in place; without a loudness gain
// the volume keeps its integer arithmetic.
void TCustomFFmpeg::ApplyVolume(AVFrame* AFrame) {
    const int volume = FOptions->audio_volume;
    if (volume == 256 && FAudioGain == 1.0) return;
    if (avutil.av_frame_make_writable(AFrame) < 0)
        throw FFmpegException("Out of memory in do_audio_out");
    if (FAudioGain == 1.0)
        ScaleVolume(AFrame, volume);
    else
        ScaleGain(AFrame, volume / 256.0 * FAudioGain);
}

// Rate emulation: waits until the wall clock since the stream's start reaches APTS (a stop
// request ends the wait).
void TCustomFFmpeg::EmulateRate(const TAVInputStream& AIst, int64_t APTS) {
    for (;;) {
        const int64_t ahead = APTS - (NowMicroseconds() - AIst.start);
        if (ahead <= 1000 || FBroken) break;
        std::this_thread::sleep_for(std::chrono::microseconds(std::min<int64_t>(ahead, 10000)));
    }
}

// The output window of a frame at APTS: samples before the start (or before an input's seek
// target) and after the recording time are cut off, sample by sample, leaving ACount samples
// from AFirst; false when nothing is left. Reaching the recording time marks the stream past
// it. Computed in 128 bits: time stamps and the start may lie anywhere in the 64-bit range.
bool TCustomFFmpeg::AudioWindow(TAVInputStream& AIst, int64_t APTS, int ARate, int& AFirst,
                                int& ACount) {
    const TOptionState& o = FOptions;
    const int n = ACount;
    if (APTS < o.start_time) {
        const TInt128 skip =
            ((TInt128(o.start_time) - APTS) * ARate + AV_TIME_BASE - 1) / AV_TIME_BASE;
        if (skip >= n) return false;
        AFirst = static_cast<int>(skip.Saturated());
        ACount = n - AFirst;
    }
    if (o.recording_time == INT64_MAX) return true;
    const TInt128 span = (TInt128(o.start_time) + o.recording_time - APTS) * ARate;
    const TInt128 keep =
        (span < 0 ? TInt128(-1) : (span + AV_TIME_BASE / 2) / AV_TIME_BASE) - AFirst;
    if (keep <= 0) {
        AIst.is_past_recording_time = true;
        return false;
    }
    if (keep < ACount) {
        ACount = static_cast<int>(keep.Saturated());
        AIst.is_past_recording_time = true;
    }
    return true;
}

// The hook sees every channel: planar audio is handed over interleaved, in the packed format.
void TCustomFFmpeg::RunAudioHook(const AVFrame* AFrame, int64_t APTS) {
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
    const int channels = AFrame->ch_layout.nb_channels;
    const int n = AFrame->nb_samples;
    const int size = avutil.av_samples_get_buffer_size(nullptr, channels, n, fmt, 1);
    if (size < 0) return;
    if (!avutil.av_sample_fmt_is_planar(fmt) || channels == 1) {
        OnAudioHook(APTS, AFrame->extended_data[0], size, AFrame->sample_rate, channels,
                    avutil.av_get_packed_sample_fmt(fmt));
        return;
    }
    std::vector<uint8_t>& buf = FRun->hook_samples;
    if (buf.size() < size_t(size)) buf.resize(size);
    const int bps = avutil.av_get_bytes_per_sample(fmt);
    for (int ch = 0; ch < channels; ++ch) {
        const uint8_t* src = AFrame->extended_data[ch];
        uint8_t* dst = buf.data() + ch * bps;
        for (int i = 0; i < n; ++i, src += bps, dst += bps * channels) memcpy(dst, src, bps);
    }
    OnAudioHook(APTS, buf.data(), size, AFrame->sample_rate, channels,
                avutil.av_get_packed_sample_fmt(fmt));
}

void TCustomFFmpeg::WriteToFifo(TAVOutputStream& AOst, uint8_t* const* AData, int ACount) {
    if (ACount <= 0) return;
    AVAudioFifo* fifo = AOst.coder->fifo.get();
    if (avutil.av_audio_fifo_write(fifo, reinterpret_cast<void**>(const_cast<uint8_t**>(AData)), ACount) < ACount)
        throw FFmpegException("av_fifo_realloc2() failed");
}

// The staging frame holds at least ASamples samples of the encoder's format.
static void GrowStaging(AVFrame* AStaging, const AVCodecContext* AEnc, int ASamples) {
    if (AStaging->data[0] && AStaging->nb_samples >= ASamples &&
        AStaging->format == AEnc->sample_fmt &&
        AStaging->ch_layout.nb_channels == AEnc->ch_layout.nb_channels)
        return;
    avutil.av_frame_unref(AStaging);
    AStaging->format = AEnc->sample_fmt;
    AStaging->nb_samples = std::max(ASamples, 4096);
    if (avutil.av_channel_layout_copy(&AStaging->ch_layout, &AEnc->ch_layout) < 0 ||
        avutil.av_frame_get_buffer(AStaging, 0) < 0)
        throw FFmpegException("Out of memory in do_audio_out");
}

// A gap the audio sync fills, in chunks through the FIFO and the encoder, so memory stays bounded
// whatever its length; a gap longer than kMaxSilenceSeconds (broken time stamps) is refused.
constexpr double kMaxSilenceSeconds = 3600;

void TCustomFFmpeg::AddSilence(TAVOutputStream& AOst, const TAVInputStream& AIst, double ASamples) {
    AVCodecContext* enc = AOst.coder->enc.get();
    if (ASamples > kMaxSilenceSeconds * enc->sample_rate)
        throw FFmpegException(Format(
            "%s: audio time stamps jump by %.0f s; the gap is not filled with silence",
            FInputFiles[AIst.file_index].file_name, ASamples / enc->sample_rate));
    constexpr int64_t kChunk = 1 << 16;
    TRun& R = *FRun;
    for (int64_t left = llrint(ASamples); left > 0 && !FBroken; left -= kChunk) {
        const int n = static_cast<int>(std::min(left, kChunk));
        GrowStaging(R.staging.get(), enc, n);
        CheckAV(avutil.av_samples_set_silence(R.staging->extended_data, 0, n,
                                              enc->ch_layout.nb_channels, enc->sample_fmt),
                "av_samples_set_silence");
        WriteToFifo(AOst, R.staging->extended_data, n);
        if (FVerify) TrackSilence(AOst, n);
        EncodeAudioFrames(AOst, false);
    }
}

// One chunk (ACount samples of AFrame from AOffset, at APTS) for one output stream: follow the
// input's format, make the converter it needs, keep the chunk in time, convert it into the FIFO
// and encode every whole frame.
void TCustomFFmpeg::AudioOut(TAVOutputStream& AOst, TAVInputStream& AIst, const AVFrame* AFrame,
                             int AOffset, int ACount, int64_t APTS) {
    // A layout without a channel order (plain WAV headers) is taken as the default layout of its
    // channel count.
    AVChannelLayout inLayout{};
    if (AFrame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        avutil.av_channel_layout_default(&inLayout, AFrame->ch_layout.nb_channels);
    else
        CheckAV(avutil.av_channel_layout_copy(&inLayout, &AFrame->ch_layout),
                "av_channel_layout_copy");
    struct TLayoutScope {
        AVChannelLayout* l;
        ~TLayoutScope() { avutil.av_channel_layout_uninit(l); }
    } layoutScope{&inLayout};

    FollowInputFormat(AOst, AIst, AFrame, inLayout);
    PrepareResampler(AOst, AFrame, inLayout);
    if (!SyncAudio(AOst, AIst, APTS, AOffset, ACount)) return;
    if (FVerify) TrackSourceSamples(AOst, AFrame, AOffset, ACount);
    if (ConvertToFifo(AOst, AFrame, AOffset, ACount)) EncodeAudioFrames(AOst, false);
}

// A change of the input's format, rate, channels or layout drains the old converter and makes
// the next one for the new input.
void TCustomFFmpeg::FollowInputFormat(TAVOutputStream& AOst, const TAVInputStream& AIst,
                                      const AVFrame* AFrame, const AVChannelLayout& ALayout) {
    TStreamCoder& c = *AOst.coder;
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
    const int rate = AFrame->sample_rate;
    const int channels = AFrame->ch_layout.nb_channels;
    const bool formatChanged = fmt != c.resample_sample_fmt || rate != c.resample_sample_rate ||
                               channels != c.resample_channels;
    if (!formatChanged && avutil.av_channel_layout_compare(&ALayout, &c.resample_layout) == 0)
        return;
    if (c.resample) {
        FlushResampler(AOst);
        EncodeAudioFrames(AOst, false);
    }
    if (formatChanged) {
        const char* oldName = avutil.av_get_sample_fmt_name(c.resample_sample_fmt);
        TheLogger()->Log(this, llInfo,
                         Format("Input stream #%d.%d frame changed from rate:%d fmt:%s ch:%d "
                                "to rate:%d fmt:%s ch:%d",
                                AIst.file_index, AIst.index, c.resample_sample_rate,
                                oldName ? oldName : "none", c.resample_channels, rate,
                                avutil.av_get_sample_fmt_name(fmt), channels));
    }
    c.resample_sample_fmt = fmt;
    c.resample_sample_rate = rate;
    c.resample_channels = channels;
    avutil.av_channel_layout_uninit(&c.resample_layout);
    CheckAV(avutil.av_channel_layout_copy(&c.resample_layout, &ALayout), "av_channel_layout_copy");
    c.resample.reset();
}

// A resampler when rate or layout differ (or sync stretches), a format-only one when only the
// sample format does, none otherwise.
void TCustomFFmpeg::PrepareResampler(TAVOutputStream& AOst, const AVFrame* AFrame,
                                     AVChannelLayout& ALayout) {
    TStreamCoder& c = *AOst.coder;
    AVCodecContext* enc = c.enc.get();
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
    const int rate = AFrame->sample_rate;
    const bool sameLayout = avutil.av_channel_layout_compare(&ALayout, &enc->ch_layout) == 0;
    c.audio_resample = rate != enc->sample_rate || !sameLayout || FOptions->audio_sync_method > 1;
    const bool convert = c.audio_resample || fmt != enc->sample_fmt;
    if (!convert) {
        c.resample.reset();
        return;
    }
    if (c.resample) return;
    SwrContext* swr = nullptr;
    // swresample's default filter, as the command-line tool uses.
    int ret = swresample.swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt,
                                             enc->sample_rate, &ALayout, fmt, rate, 0, nullptr);
    c.resample.reset(swr);
    if (ret >= 0) ret = swresample.swr_init(swr);
    if (ret >= 0) return;
    c.resample.reset();
    if (c.audio_resample)
        throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                     AFrame->ch_layout.nb_channels, rate,
                                     enc->ch_layout.nb_channels, enc->sample_rate));
    throw FFmpegException(Format("Cannot convert %s sample format to %s sample format",
                                 avutil.av_get_sample_fmt_name(fmt),
                                 avutil.av_get_sample_fmt_name(enc->sample_fmt)));
}

// Audio sync: drops the chunk's late start or puts silence before it, or stretches through the
// resampler; without sync the position follows the time stamps. False when nothing is left.
bool TCustomFFmpeg::SyncAudio(TAVOutputStream& AOst, TAVInputStream& AIst, int64_t APTS,
                              int& AOffset, int& ACount) {
    const TOptionState& o = FOptions;
    TStreamCoder& c = *AOst.coder;
    const int encRate = c.enc->sample_rate;
    const int64_t fifoSamples = avutil.av_audio_fifo_size(c.fifo.get());
    if (!o.audio_sync_method) {
        // Positions follow the input's time stamps; they never move backwards.
        const int64_t pos =
            llrint(std::clamp((double(APTS) - double(o.start_time)) / AV_TIME_BASE * encRate,
                              -0x1p62, 0x1p62)) -
            fifoSamples;
        if (pos > c.sync_opts) c.sync_opts = pos;
        return true;
    }
    const double delta = (double(APTS) - double(o.start_time)) / AV_TIME_BASE * encRate -
                         double(c.sync_opts) - double(fifoSamples);
    if (std::fabs(delta) <= 50) return true;
    if (AIst.is_start || std::fabs(delta) > o.audio_drift_threshold * encRate) {
        const int64_t n = SampleCount(delta * c.resample_sample_rate / encRate);
        if (n < 0) {
            const int drop = static_cast<int>(std::min<int64_t>(-n, ACount));
            if (o.verbose > 2)
                TheLogger()->Log(this, llDebug, Format("discarding %d audio samples", drop));
            AOffset += drop;
            ACount -= drop;
        } else if (n > 0) {
            if (o.verbose > 2)
                TheLogger()->Log(this, llDebug,
                                 Format("adding %d audio samples of silence", int(n)));
            AddSilence(AOst, AIst, delta);  // in samples of the encoder's rate
        }
        AIst.is_start = false;
        return ACount > 0;
    }
    if (o.audio_sync_method > 1 && c.resample) {
        const int comp = static_cast<int>(
            std::clamp<double>(delta, -o.audio_sync_method, o.audio_sync_method));
        if (o.verbose > 2)
            TheLogger()->Log(this, llDebug,
                             Format("compensating audio timestamp drift:%f compensation:%d in:%d",
                                    delta, comp, encRate));
        CheckAV(swresample.swr_set_compensation(c.resample.get(), comp, encRate),
                "swr_set_compensation");
    }
    return true;
}

// The chunk through the converter (or as it is) into the stream's FIFO; false when a failed
// conversion dropped it.
bool TCustomFFmpeg::ConvertToFifo(TAVOutputStream& AOst, const AVFrame* AFrame, int AOffset,
                                  int ACount) {
    TStreamCoder& c = *AOst.coder;
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(AFrame->format);
    const int channels = AFrame->ch_layout.nb_channels;
    const int bps = avutil.av_get_bytes_per_sample(fmt);
    const bool planar = avutil.av_sample_fmt_is_planar(fmt);
    const uint8_t* in[AV_NUM_DATA_POINTERS * 8];
    const int planes = planar ? channels : 1;
    if (planes > int(std::size(in))) throw FFmpegException("Buffer sizes too large in do_audio_out");
    for (int p = 0; p < planes; ++p)
        in[p] = AFrame->extended_data[p] + int64_t(AOffset) * bps * (planar ? 1 : channels);
    if (!c.resample) {
        WriteToFifo(AOst, const_cast<uint8_t* const*>(in), ACount);
        return true;
    }
    TRun& R = *FRun;
    const int outMax = swresample.swr_get_out_samples(c.resample.get(), ACount);
    if (outMax < 0) throw FFmpegException("Buffer sizes too large in do_audio_out");
    GrowStaging(R.staging.get(), c.enc.get(), outMax);
    const int got = swresample.swr_convert(c.resample.get(), R.staging->extended_data,
                                           R.staging->nb_samples, in, ACount);
    if (got < 0) {
        if (FOptions->exit_on_error) throw FFmpegException("av_audio_convert() failed");
        TheLogger()->Log(this, llError, "av_audio_convert() failed");
        return false;
    }
    WriteToFifo(AOst, R.staging->extended_data, got);
    return true;
}

void TCustomFFmpeg::EncodeAudioFrames(TAVOutputStream& AOst, bool AFinal) {
    TStreamCoder& c = *AOst.coder;
    AVCodecContext* enc = c.enc.get();
    AVAudioFifo* fifo = c.fifo.get();
    const bool variable =
        (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || enc->frame_size <= 1;
    for (;;) {
        const int avail = avutil.av_audio_fifo_size(fifo);
        int n;
        if (variable) {
            n = std::min(avail, 16384);
        } else if (avail >= enc->frame_size) {
            n = enc->frame_size;
        } else {
            n = AFinal ? avail : 0;
        }
        if (n <= 0) return;
        if (!c.frame) c.frame.reset(avutil.av_frame_alloc());
        AVFrame* f = c.frame.get();
        if (!f) throw FFmpegException("Out of memory in do_audio_out");
        if (c.frame_capacity < n || !f->data[0]) {
            avutil.av_frame_unref(f);
            f->format = enc->sample_fmt;
            f->sample_rate = enc->sample_rate;
            f->nb_samples = std::max(n, enc->frame_size);
            if (avutil.av_channel_layout_copy(&f->ch_layout, &enc->ch_layout) < 0 ||
                avutil.av_frame_get_buffer(f, 0) < 0)
                throw FFmpegException("Out of memory in do_audio_out");
            c.frame_capacity = f->nb_samples;
        } else {
            // The encoder may still hold the last frame's buffer: get a private one if so.
            f->nb_samples = c.frame_capacity;
            if (avutil.av_frame_make_writable(f) < 0)
                throw FFmpegException("Out of memory in do_audio_out");
        }
        f->nb_samples = n;
        if (avutil.av_audio_fifo_read(fifo, reinterpret_cast<void**>(f->extended_data), n) < n)
            throw FFmpegException("frame_bytes invalid.");
        f->pts = c.sync_opts;
        c.sync_opts += n;
        if (avcodec.avcodec_send_frame(enc, f) < 0) throw FFmpegException("Audio encoding failed");
        ++AOst.frame_number;
        ReceivePackets(AOst);
        if (!variable && n < enc->frame_size) return;  // a short frame is the last one
    }
}

void TCustomFFmpeg::FlushResampler(TAVOutputStream& AOst) {
    TStreamCoder& c = *AOst.coder;
    if (!c.resample) return;
    TRun& R = *FRun;
    for (;;) {
        const int outMax = swresample.swr_get_out_samples(c.resample.get(), 0);
        if (outMax <= 0) break;
        GrowStaging(R.staging.get(), c.enc.get(), outMax);
        const int got = swresample.swr_convert(c.resample.get(), R.staging->extended_data,
                                               R.staging->nb_samples, nullptr, 0);
        if (got <= 0) break;
        WriteToFifo(AOst, R.staging->extended_data, got);
    }
}

void TCustomFFmpeg::FlushEncoder(TAVOutputStream& AOst) {
    TStreamCoder& c = *AOst.coder;
    if (!c.opened || c.flushed || !c.enc) return;
    c.flushed = true;
    const AVMediaType t = AOst.st->codecpar->codec_type;
    if (t == AVMEDIA_TYPE_AUDIO) {
        FlushResampler(AOst);
        EncodeAudioFrames(AOst, true);
    } else if (t == AVMEDIA_TYPE_VIDEO) {
        FlushVideoFilters(AOst);
    } else {
        return;
    }
    const int ret = avcodec.avcodec_send_frame(c.enc.get(), nullptr);
    if (ret < 0 && ret != AVERROR_EOF)
        throw FFmpegException(t == AVMEDIA_TYPE_AUDIO ? "Audio encoding failed"
                                                      : "Video encoding failed");
    ReceivePackets(AOst);
}
