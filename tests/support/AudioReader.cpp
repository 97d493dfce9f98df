// Decodes files back to interleaved float PCM and measures the result.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>

#include "FfmpegPtr.h"
#include "TestMedia.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/tx.h>
}

namespace testmedia {

namespace fs = std::filesystem;
using namespace detail;

namespace {

std::map<std::string, std::string> ToMap(const AVDictionary* dict) {
    std::map<std::string, std::string> map;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(dict, "", entry, AV_DICT_IGNORE_SUFFIX)))
        map[entry->key] = entry->value;
    return map;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Appends decoded frames to the result as interleaved float; the first frame fixes the format.
class PcmCollector {
public:
    PcmCollector(DecodedAudio& audio, std::string name) : audio_(audio), name_(std::move(name)) {}

    void Append(const AVFrame* frame) {
        const int channels = frame->ch_layout.nb_channels;
        if (!swr_) {
            // Same layout on both sides; an unspecified order gets the default for the count.
            AVChannelLayout layout{};
            if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_default(&layout, channels);
            else
                Check(av_channel_layout_copy(&layout, &frame->ch_layout), "channel layout");
            SwrContext* swr = nullptr;
            const int ret = swr_alloc_set_opts2(
                &swr, &layout, AV_SAMPLE_FMT_FLT, frame->sample_rate, &layout,
                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&layout);
            swr_.reset(swr);
            Check(ret, "swr_alloc_set_opts2");
            Check(swr_init(swr_.get()), "swr_init");
            audio_.sampleRate = frame->sample_rate;
            audio_.channels = channels;
            format_ = frame->format;
        } else if (frame->sample_rate != audio_.sampleRate || channels != audio_.channels ||
                   frame->format != format_) {
            throw std::runtime_error("audio format changes within " + name_);
        }
        const size_t old = audio_.samples.size();
        audio_.samples.resize(old + static_cast<size_t>(frame->nb_samples) * channels);
        auto* dst = reinterpret_cast<uint8_t*>(audio_.samples.data() + old);
        const int got =
            Check(swr_convert(swr_.get(), &dst, frame->nb_samples,
                              const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples),
                  "swr_convert");
        audio_.samples.resize(old + static_cast<size_t>(got) * channels);
    }

private:
    DecodedAudio& audio_;
    std::string name_;
    SwrPtr swr_;  // the decoder's format to interleaved float, same rate and layout
    int format_ = -1;
};

// Index range [begin, begin + count) of frames selected by seconds (0 = to the end).
std::pair<size_t, size_t> Span(const DecodedAudio& audio, double fromSeconds, double seconds) {
    const size_t frames = audio.frames();
    const size_t begin = std::min(
        frames, static_cast<size_t>(std::llround(std::max(0.0, fromSeconds) * audio.sampleRate)));
    size_t count = frames - begin;
    if (seconds > 0)
        count = std::min(count, static_cast<size_t>(std::llround(seconds * audio.sampleRate)));
    return {begin, count};
}

void CheckChannel(const DecodedAudio& audio, int channel, bool allowAll) {
    if ((channel == -1 && allowAll) || (channel >= 0 && channel < audio.channels)) return;
    throw std::runtime_error("no channel " + std::to_string(channel) + " in audio with " +
                             std::to_string(audio.channels) + " channels");
}

// Power of the windowed signal at one frequency (Goertzel).
double PowerAt(const std::vector<double>& x, double frequency, int sampleRate) {
    const double coeff = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
    double s1 = 0, s2 = 0;
    for (const double v : x) {
        const double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

struct TxDeleter {
    void operator()(AVTXContext* tx) const { av_tx_uninit(&tx); }
};

}  // namespace

std::string DecodedAudio::Tag(const std::string& key) const {
    const std::string wanted = Lower(key);
    auto find = [&](const std::map<std::string, std::string>& tags) -> const std::string* {
        for (const auto& [k, v] : tags)
            if (Lower(k) == wanted) return &v;
        return nullptr;
    };
    if (const std::string* v = find(formatTags)) return *v;
    for (const auto& tags : streamTags)
        if (const std::string* v = find(tags)) return *v;
    return {};
}

DecodedAudio DecodeAudio(const fs::path& file) {
    const std::string name = Utf8(file);
    AVFormatContext* raw = nullptr;
    Check(avformat_open_input(&raw, name.c_str(), nullptr, nullptr), "cannot open " + name);
    InputPtr in(raw);
    Check(avformat_find_stream_info(in.get(), nullptr), "cannot read stream info of " + name);

    DecodedAudio audio;
    audio.formatName = in->iformat->name;
    audio.durationUs = in->duration == AV_NOPTS_VALUE ? -1 : in->duration;
    audio.bitRate = in->bit_rate;
    audio.chapters = static_cast<int>(in->nb_chapters);
    for (unsigned i = 0; i < in->nb_chapters; ++i)
        audio.chapterStarts.push_back(double(in->chapters[i]->start) *
                                      av_q2d(in->chapters[i]->time_base));
    audio.formatTags = ToMap(in->metadata);
    const AVStream* stream = nullptr;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        audio.streamTags.push_back(ToMap(in->streams[i]->metadata));
        if (!stream && in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            stream = in->streams[i];
    }
    if (!stream) throw std::runtime_error("no audio stream in " + name);
    audio.codecName = avcodec_get_name(stream->codecpar->codec_id);

    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) throw std::runtime_error("no decoder for " + audio.codecName + " in " + name);
    CodecContextPtr dec(CheckAlloc(avcodec_alloc_context3(codec), "codec context"));
    Check(avcodec_parameters_to_context(dec.get(), stream->codecpar),
          "avcodec_parameters_to_context");
    dec->pkt_timebase = stream->time_base;
    Check(avcodec_open2(dec.get(), codec, nullptr),
          "cannot open decoder " + std::string(codec->name));
    audio.sampleRate = dec->sample_rate;
    audio.channels = dec->ch_layout.nb_channels;

    PcmCollector collector(audio, name);
    PacketPtr packet(CheckAlloc(av_packet_alloc(), "packet"));
    FramePtr frame(CheckAlloc(av_frame_alloc(), "frame"));
    // Sends one packet (nullptr drains) and collects every frame the decoder returns.
    auto decode = [&](const AVPacket* pkt) {
        Check(avcodec_send_packet(dec.get(), pkt), "cannot decode " + name);
        for (;;) {
            const int ret = avcodec_receive_frame(dec.get(), frame.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
            Check(ret, "cannot decode " + name);
            collector.Append(frame.get());
            av_frame_unref(frame.get());
        }
    };
    int ret;
    while ((ret = av_read_frame(in.get(), packet.get())) >= 0) {
        // Unreference the packet even when decoding throws.
        std::unique_ptr<AVPacket, decltype(&av_packet_unref)> guard(packet.get(), av_packet_unref);
        if (packet->stream_index == stream->index) decode(packet.get());
    }
    if (ret != AVERROR_EOF) Check(ret, "cannot read " + name);
    decode(nullptr);
    return audio;
}

double Rms(const DecodedAudio& audio, int channel) {
    CheckChannel(audio, channel, true);
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i < audio.samples.size(); ++i)
        if (channel < 0 || int(i % audio.channels) == channel) {
            sum += double(audio.samples[i]) * audio.samples[i];
            ++count;
        }
    return count ? std::sqrt(sum / count) : 0;
}

double Peak(const DecodedAudio& audio, int channel) {
    CheckChannel(audio, channel, true);
    double peak = 0;
    for (size_t i = 0; i < audio.samples.size(); ++i)
        if (channel < 0 || int(i % audio.channels) == channel)
            peak = std::max(peak, double(std::fabs(audio.samples[i])));
    return peak;
}

double DominantFrequency(const DecodedAudio& audio, int channel, double fromSeconds,
                         double seconds) {
    CheckChannel(audio, channel, false);
    const auto span = Span(audio, fromSeconds, seconds);  // named: clang 14 lambdas cannot
    const size_t begin = std::get<0>(span);               // capture structured bindings
    size_t count = std::get<1>(span);
    if (count < 64) throw std::runtime_error("too few samples for a frequency measurement");
    // FFmpeg's FFT has precomputed tables up to 2^17 points only (larger sizes are very slow):
    // the coarse FFT takes at most 2^16 samples, the fine search at most 2^17.
    constexpr size_t kFine = size_t{1} << 17, kCoarse = kFine / 2;
    count = std::min(count, kFine);
    auto windowed = [&](size_t n) {  // Hann-windowed samples
        std::vector<double> x(n);
        for (size_t i = 0; i < n; ++i)
            x[i] = audio.samples[(begin + i) * audio.channels + channel] *
                   (0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n - 1)));
        return x;
    };

    // Coarse: the strongest bin of an FFT zero-padded to at least twice the length.
    const std::vector<double> coarse = windowed(std::min(count, kCoarse));
    int size = 1;
    while (size_t(size) < 2 * coarse.size()) size *= 2;
    AVTXContext* raw = nullptr;
    av_tx_fn fft = nullptr;
    const double scale = 1;
    Check(av_tx_init(&raw, &fft, AV_TX_DOUBLE_FFT, 0, size, &scale, 0), "av_tx_init");
    std::unique_ptr<AVTXContext, TxDeleter> tx(raw);
    std::vector<AVComplexDouble> in(size, AVComplexDouble{0, 0}), out(size);
    for (size_t i = 0; i < coarse.size(); ++i) in[i].re = coarse[i];
    fft(tx.get(), out.data(), in.data(), sizeof(AVComplexDouble));
    int best = 1;
    for (int k = 1; k < size / 2; ++k)
        if (std::hypot(out[k].re, out[k].im) > std::hypot(out[best].re, out[best].im)) best = k;

    // Fine: the true frequency lies within one coarse bin of the peak, well inside the main
    // lobe of the windowed signal, where the power is unimodal: a golden-section search finds it.
    const std::vector<double> x = windowed(count);
    const double bin = double(audio.sampleRate) / size;
    double lo = (best - 1) * bin, hi = (best + 1) * bin;
    const double g = (std::sqrt(5.0) - 1) / 2;
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
    double pa = PowerAt(x, a, audio.sampleRate), pb = PowerAt(x, b, audio.sampleRate);
    while (hi - lo > 1e-3) {
        if (pa < pb) {
            lo = a, a = b, pa = pb;
            b = lo + g * (hi - lo);
            pb = PowerAt(x, b, audio.sampleRate);
        } else {
            hi = b, b = a, pb = pa;
            a = hi - g * (hi - lo);
            pa = PowerAt(x, a, audio.sampleRate);
        }
    }
    return (lo + hi) / 2;
}

bool SamplesEqual(const DecodedAudio& a, const DecodedAudio& b, float tolerance) {
    if (a.sampleRate != b.sampleRate || a.channels != b.channels ||
        a.samples.size() != b.samples.size())
        return false;
    for (size_t i = 0; i < a.samples.size(); ++i)
        if (std::fabs(a.samples[i] - b.samples[i]) > tolerance) return false;
    return true;
}

}  // namespace testmedia
