// Owners for the FFmpeg objects used by the test support library, and error checks.
// Internal to tests/support: the only code in the project that links FFmpeg directly.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace testmedia::detail {

template <auto Fn>
struct PtrToPtrDeleter {  // for the free functions that take T** and null it
    template <typename T>
    void operator()(T* p) const {
        Fn(&p);
    }
};
template <auto Fn>
struct PlainDeleter {
    template <typename T>
    void operator()(T* p) const {
        Fn(p);
    }
};

using FramePtr = std::unique_ptr<AVFrame, PtrToPtrDeleter<av_frame_free>>;
using PacketPtr = std::unique_ptr<AVPacket, PtrToPtrDeleter<av_packet_free>>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, PtrToPtrDeleter<avcodec_free_context>>;
using SwrPtr = std::unique_ptr<SwrContext, PtrToPtrDeleter<swr_free>>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, PlainDeleter<av_audio_fifo_free>>;
using InputPtr = std::unique_ptr<AVFormatContext, PtrToPtrDeleter<avformat_close_input>>;

// An output context owns its file handle: closed first, then the context is freed.
struct OutputDeleter {
    void operator()(AVFormatContext* fmt) const {
        if (fmt->pb && !(fmt->oformat->flags & AVFMT_NOFILE)) avio_closep(&fmt->pb);
        avformat_free_context(fmt);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

inline std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Returns a non-negative result; throws std::runtime_error naming the call otherwise.
inline int Check(int result, const std::string& what) {
    if (result < 0) throw std::runtime_error(what + ": " + ErrorText(result));
    return result;
}

template <typename T>
T* CheckAlloc(T* p, const char* what) {
    if (!p) throw std::runtime_error(std::string(what) + ": out of memory");
    return p;
}

// FFmpeg takes file names as UTF-8 on every platform.
inline std::string Utf8(const std::filesystem::path& path) {
    const std::u8string s = path.u8string();
    return {s.begin(), s.end()};
}

}  // namespace testmedia::detail
