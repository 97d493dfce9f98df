#include "MediaWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace testmedia::detail {

// One encoded stream of the file. Step() encodes the next unit, or drains the encoder once the
// input has ended and then sets done.
class MediaWriter::Track {
public:
    Track(CodecContextPtr enc, AVStream* stream)
        : enc_(std::move(enc)), stream_(stream), packet_(CheckAlloc(av_packet_alloc(), "packet")) {}
    virtual ~Track() = default;

    virtual void Step(AVFormatContext* fmt) = 0;
    bool Done() const { return done_; }
    // True when this track's next unit starts before the other's.
    bool Before(const Track& other) const {
        return av_compare_ts(next_, enc_->time_base, other.next_, other.enc_->time_base) < 0;
    }

protected:
    // Sends one frame (nullptr drains) and writes every packet the encoder returns.
    void Encode(AVFormatContext* fmt, const AVFrame* frame) {
        Check(avcodec_send_frame(enc_.get(), frame), "avcodec_send_frame");
        for (;;) {
            const int ret = avcodec_receive_packet(enc_.get(), packet_.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
            Check(ret, "avcodec_receive_packet");
            WritePacket(fmt);
        }
    }
    // Writes packet_ (timestamps in the encoder's time base) to the file.
    void WritePacket(AVFormatContext* fmt) {
        av_packet_rescale_ts(packet_.get(), enc_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        Check(av_interleaved_write_frame(fmt, packet_.get()), "av_interleaved_write_frame");
    }

    CodecContextPtr enc_;
    AVStream* stream_;
    PacketPtr packet_;
    int64_t next_ = 0;  // start of the next unit, in enc_->time_base
    bool done_ = false;
};

namespace {

// Pulls float PCM from the source through a FIFO and hands the encoder whole frames of its
// frame size; the last one is short when the encoder accepts that, else padded with silence.
class AudioTrack final : public MediaWriter::Track {
public:
    AudioTrack(CodecContextPtr enc, AVStream* stream, PcmSource source)
        : Track(std::move(enc), stream), source_(std::move(source)) {
        const int caps = enc_->codec->capabilities;
        const bool fixedSize = enc_->frame_size > 0 && !(caps & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
        shortLast_ = !fixedSize || (caps & AV_CODEC_CAP_SMALL_LAST_FRAME);
        frameSize_ = enc_->frame_size > 0 ? enc_->frame_size : 1024;
        const int channels = enc_->ch_layout.nb_channels;
        fifo_.reset(
            CheckAlloc(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLT, channels, frameSize_), "fifo"));
        SwrContext* swr = nullptr;
        Check(
            swr_alloc_set_opts2(&swr, &enc_->ch_layout, enc_->sample_fmt, enc_->sample_rate,
                                &enc_->ch_layout, AV_SAMPLE_FMT_FLT, enc_->sample_rate, 0, nullptr),
            "swr_alloc_set_opts2");
        swr_.reset(swr);
        Check(swr_init(swr_.get()), "swr_init");
        chunk_.resize(static_cast<size_t>(frameSize_) * channels);
    }

    void Step(AVFormatContext* fmt) override {
        while (!sourceEnded_ && av_audio_fifo_size(fifo_.get()) < frameSize_) {
            const int got = source_(chunk_.data(), frameSize_);
            void* data = chunk_.data();
            if (got <= 0)
                sourceEnded_ = true;
            else
                Check(av_audio_fifo_write(fifo_.get(), &data, got), "av_audio_fifo_write");
        }
        const int available = std::min(av_audio_fifo_size(fifo_.get()), frameSize_);
        if (available == 0) {
            Encode(fmt, nullptr);
            done_ = true;
            return;
        }
        FramePtr in(CheckAlloc(av_frame_alloc(), "frame"));
        in->format = AV_SAMPLE_FMT_FLT;
        in->sample_rate = enc_->sample_rate;
        in->nb_samples = shortLast_ ? available : frameSize_;
        Check(av_channel_layout_copy(&in->ch_layout, &enc_->ch_layout), "channel layout");
        Check(av_frame_get_buffer(in.get(), 0), "av_frame_get_buffer");
        Check(av_samples_set_silence(in->extended_data, 0, in->nb_samples,
                                     in->ch_layout.nb_channels, AV_SAMPLE_FMT_FLT),
              "silence");
        Check(
            av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(in->extended_data), available),
            "av_audio_fifo_read");

        FramePtr out(CheckAlloc(av_frame_alloc(), "frame"));
        out->format = enc_->sample_fmt;
        out->sample_rate = enc_->sample_rate;
        Check(av_channel_layout_copy(&out->ch_layout, &enc_->ch_layout), "channel layout");
        Check(swr_convert_frame(swr_.get(), out.get(), in.get()), "swr_convert_frame");
        out->pts = next_;
        next_ += out->nb_samples;
        Encode(fmt, out.get());
    }

private:
    PcmSource source_;
    AudioFifoPtr fifo_;
    SwrPtr swr_;  // float interleaved to the encoder's sample format, same rate
    std::vector<float> chunk_;
    int frameSize_ = 0;
    bool shortLast_ = true;  // a short last frame is allowed, else it is padded with silence
    bool sourceEnded_ = false;
};

class VideoTrack final : public MediaWriter::Track {
public:
    VideoTrack(CodecContextPtr enc, AVStream* stream, int64_t frameCount, PictureSource source)
        : Track(std::move(enc), stream),
          frameCount_(frameCount),
          source_(std::move(source)),
          picture_(CheckAlloc(av_frame_alloc(), "frame")) {
        picture_->format = enc_->pix_fmt;
        picture_->width = enc_->width;
        picture_->height = enc_->height;
        Check(av_frame_get_buffer(picture_.get(), 0), "av_frame_get_buffer");
    }

    void Step(AVFormatContext* fmt) override {
        if (next_ >= frameCount_) {
            Encode(fmt, nullptr);
            done_ = true;
            return;
        }
        Check(av_frame_make_writable(picture_.get()), "av_frame_make_writable");
        source_(picture_.get(), next_);
        picture_->pts = next_++;
        Encode(fmt, picture_.get());
    }

private:
    int64_t frameCount_;
    PictureSource source_;
    FramePtr picture_;
};

// Text subtitles: each event becomes one ASS dialogue rectangle for the subtitle encoder.
class SubtitleTrack final : public MediaWriter::Track {
public:
    SubtitleTrack(CodecContextPtr enc, AVStream* stream, std::vector<SubtitleEvent> events)
        : Track(std::move(enc), stream), events_(std::move(events)) {
        SetNext();
    }

    void Step(AVFormatContext* fmt) override {
        const SubtitleEvent& event = events_[index_++];
        std::string dialogue = "0,0,Default,,0,0,0,," + event.text;
        AVSubtitleRect rect{};
        // Bitmap encoders get an opaque white box of the canvas's middle half, a fifth high, at
        // three quarters of its height.
        std::vector<uint8_t> indices;
        uint32_t palette[4] = {0x00000000u, 0xFFFFFFFFu, 0xFF000000u, 0xFF808080u};
        if (enc_->codec->id == AV_CODEC_ID_DVD_SUBTITLE) {
            rect.type = SUBTITLE_BITMAP;
            rect.x = enc_->width / 4;
            rect.y = enc_->height * 3 / 4;
            rect.w = enc_->width / 2;
            rect.h = enc_->height / 5;
            rect.nb_colors = 4;
            indices.assign(size_t(rect.w) * rect.h, 1);
            rect.data[0] = indices.data();
            rect.linesize[0] = rect.w;
            rect.data[1] = reinterpret_cast<uint8_t*>(palette);
        } else {
            rect.type = SUBTITLE_ASS;
            rect.ass = dialogue.data();
        }
        AVSubtitleRect* rects[] = {&rect};
        AVSubtitle sub{};
        sub.num_rects = 1;
        sub.rects = rects;
        const int64_t startMs = std::llround(event.start * 1000);
        sub.pts = startMs * (AV_TIME_BASE / 1000);
        sub.end_display_time =
            static_cast<uint32_t>(std::llround((event.end - event.start) * 1000));
        std::vector<uint8_t> buffer(64 * 1024);
        const int size = Check(avcodec_encode_subtitle(enc_.get(), buffer.data(),
                                                       static_cast<int>(buffer.size()), &sub),
                               "avcodec_encode_subtitle");
        Check(av_new_packet(packet_.get(), size), "av_new_packet");
        std::memcpy(packet_->data, buffer.data(), size);
        packet_->pts = packet_->dts = startMs;
        packet_->duration = sub.end_display_time;
        WritePacket(fmt);
        SetNext();
    }

private:
    void SetNext() {
        if (index_ < events_.size())
            next_ = std::llround(events_[index_].start * 1000);
        else
            done_ = true;
    }

    std::vector<SubtitleEvent> events_;
    size_t index_ = 0;
};

constexpr const char* kAssHeader =
    "[Script Info]\r\nScriptType: v4.00+\r\nPlayResX: 384\r\nPlayResY: 288\r\n\r\n"
    "[V4+ Styles]\r\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, "
    "OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, "
    "Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\r\n"
    "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1\r\n"
    "\r\n[Events]\r\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, "
    "Text\r\n";

// A dictionary of options that must all be taken; freed on every path.
class Options {
public:
    explicit Options(const std::map<std::string, std::string>& options) {
        for (const auto& [key, value] : options)
            Check(av_dict_set(&dict_, key.c_str(), value.c_str(), 0), "av_dict_set");
    }
    ~Options() { av_dict_free(&dict_); }
    AVDictionary** get() { return &dict_; }
    void CheckAllTaken(const std::string& what) const {
        if (const AVDictionaryEntry* left = av_dict_get(dict_, "", nullptr, AV_DICT_IGNORE_SUFFIX))
            throw std::runtime_error(what + ": unknown option " + left->key);
    }

private:
    AVDictionary* dict_ = nullptr;
};

void OpenEncoder(AVCodecContext* enc, const AVFormatContext* fmt,
                 const std::map<std::string, std::string>& options = {}) {
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (enc->codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL)
        enc->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    Options dict(options);
    const std::string what = std::string("cannot open encoder ") + enc->codec->name;
    Check(avcodec_open2(enc, enc->codec, dict.get()), what);
    dict.CheckAllTaken(what);
}

}  // namespace

MediaWriter::MediaWriter(const std::filesystem::path& file, const std::string& formatName)
    : file_(file) {
    AVFormatContext* fmt = nullptr;
    const std::string name = Utf8(file);
    Check(avformat_alloc_output_context2(
              &fmt, nullptr, formatName.empty() ? nullptr : formatName.c_str(), name.c_str()),
          "no container for " + name);
    fmt_.reset(fmt);
}

MediaWriter::~MediaWriter() = default;

CodecContextPtr MediaWriter::NewEncoder(const std::string& name, AVMediaType type) const {
    const AVOutputFormat* of = fmt_->oformat;
    const AVCodecID fallback = type == AVMEDIA_TYPE_AUDIO   ? of->audio_codec
                               : type == AVMEDIA_TYPE_VIDEO ? of->video_codec
                                                            : of->subtitle_codec;
    const AVCodec* codec =
        name.empty() ? avcodec_find_encoder(fallback) : avcodec_find_encoder_by_name(name.c_str());
    if (!codec || codec->type != type)
        throw std::runtime_error("encoder not available: " +
                                 (name.empty() ? std::string(of->name) + " default" : name));
    return CodecContextPtr(CheckAlloc(avcodec_alloc_context3(codec), "codec context"));
}

AVStream* MediaWriter::NewStream(AVCodecContext* enc) {
    AVStream* stream = CheckAlloc(avformat_new_stream(fmt_.get(), nullptr), "stream");
    stream->time_base = enc->time_base;
    Check(avcodec_parameters_from_context(stream->codecpar, enc),
          "avcodec_parameters_from_context");
    return stream;
}

int MediaWriter::AddAudio(const std::string& codec, int sampleRate, int channels, int bitRate,
                          PcmSource source, const std::map<std::string, std::string>& encoderOptions) {
    CodecContextPtr enc = NewEncoder(codec, AVMEDIA_TYPE_AUDIO);
    const AVCodec* c = enc->codec;
    if (c->supported_samplerates) {
        const int* r = c->supported_samplerates;
        while (*r && *r != sampleRate) ++r;
        if (!*r)
            throw std::runtime_error(std::string(c->name) + " does not support " +
                                     std::to_string(sampleRate) + " Hz");
    }
    enc->sample_fmt = c->sample_fmts ? c->sample_fmts[0] : AV_SAMPLE_FMT_FLT;
    enc->sample_rate = sampleRate;
    av_channel_layout_default(&enc->ch_layout, channels);
    enc->time_base = {1, sampleRate};
    if (bitRate > 0) enc->bit_rate = bitRate;
    OpenEncoder(enc.get(), fmt_.get(), encoderOptions);
    AVStream* stream = NewStream(enc.get());
    tracks_.push_back(std::make_unique<AudioTrack>(std::move(enc), stream, std::move(source)));
    return stream->index;
}

int MediaWriter::AddVideo(const std::string& codec, int width, int height, int fps,
                          int64_t frameCount, PictureSource source) {
    CodecContextPtr enc = NewEncoder(codec, AVMEDIA_TYPE_VIDEO);
    enc->width = width;
    enc->height = height;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    if (codec == "mjpeg") enc->color_range = AVCOL_RANGE_JPEG;  // full-range YUV, as JPEG has it
    enc->time_base = {1, fps};
    enc->framerate = {fps, 1};
    enc->gop_size = fps;
    enc->bit_rate = 200000;
    OpenEncoder(enc.get(), fmt_.get());
    AVStream* stream = NewStream(enc.get());
    stream->avg_frame_rate = enc->framerate;
    tracks_.push_back(
        std::make_unique<VideoTrack>(std::move(enc), stream, frameCount, std::move(source)));
    return stream->index;
}

int MediaWriter::AddSubtitles(const std::string& codec, std::vector<SubtitleEvent> events, int width,
                              int height) {
    CodecContextPtr enc = NewEncoder(codec, AVMEDIA_TYPE_SUBTITLE);
    enc->time_base = {1, 1000};
    enc->width = width;
    enc->height = height;
    // Text subtitle encoders read the styles of the ASS header; the context frees the copy.
    enc->subtitle_header = reinterpret_cast<uint8_t*>(CheckAlloc(av_strdup(kAssHeader), "header"));
    enc->subtitle_header_size = static_cast<int>(std::strlen(kAssHeader));
    OpenEncoder(enc.get(), fmt_.get());
    AVStream* stream = NewStream(enc.get());
    tracks_.push_back(std::make_unique<SubtitleTrack>(std::move(enc), stream, std::move(events)));
    return stream->index;
}

void MediaWriter::SetTags(const std::map<std::string, std::string>& tags) {
    for (const auto& [key, value] : tags)
        Check(av_dict_set(&fmt_->metadata, key.c_str(), value.c_str(), 0), "av_dict_set");
}

void MediaWriter::AddChapter(double start, double end, const std::string& title) {
    AVFormatContext* fmt = fmt_.get();
    // Chapters are owned by the context: avformat_free_context frees the array and entries.
    auto* grown = static_cast<AVChapter**>(
        av_realloc_array(fmt->chapters, fmt->nb_chapters + 1, sizeof(AVChapter*)));
    fmt->chapters = CheckAlloc(grown, "chapters");
    auto* chapter = CheckAlloc(static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter))), "chapter");
    fmt->chapters[fmt->nb_chapters++] = chapter;
    chapter->id = fmt->nb_chapters;
    chapter->time_base = {1, 1000};
    chapter->start = std::llround(start * 1000);
    chapter->end = std::llround(end * 1000);
    Check(av_dict_set(&chapter->metadata, "title", title.c_str(), 0), "av_dict_set");
}

void MediaWriter::Write(const std::map<std::string, std::string>& muxerOptions) {
    AVFormatContext* fmt = fmt_.get();
    const std::string name = Utf8(file_);
    if (!(fmt->oformat->flags & AVFMT_NOFILE))
        Check(avio_open(&fmt->pb, name.c_str(), AVIO_FLAG_WRITE), "cannot create " + name);
    Options options(muxerOptions);
    Check(avformat_write_header(fmt, options.get()), "cannot write header of " + name);
    options.CheckAllTaken("cannot write header of " + name);
    for (;;) {
        Track* earliest = nullptr;
        for (const auto& track : tracks_)
            if (!track->Done() && (!earliest || track->Before(*earliest))) earliest = track.get();
        if (!earliest) break;
        earliest->Step(fmt);
    }
    Check(av_write_trailer(fmt), "cannot finish " + name);
    if (!(fmt->oformat->flags & AVFMT_NOFILE)) Check(avio_closep(&fmt->pb), "cannot close " + name);
}

}  // namespace testmedia::detail
