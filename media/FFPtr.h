// Owners of FFmpeg objects: unique_ptr aliases whose deleters call through the bound tables.
#pragma once

#include <memory>

#include "FFAPI.h"
#include "FFLoad.h"
#include "UnicodeProtocol.h"

struct TFrameDeleter {
    void operator()(AVFrame* p) const { avutil.av_frame_free(&p); }
};
struct TPacketDeleter {
    void operator()(AVPacket* p) const { avcodec.av_packet_free(&p); }
};
struct TCodecContextDeleter {
    void operator()(AVCodecContext* p) const { avcodec.avcodec_free_context(&p); }
};
struct TCodecParametersDeleter {
    void operator()(AVCodecParameters* p) const { avcodec.avcodec_parameters_free(&p); }
};
struct TSwrDeleter {
    void operator()(SwrContext* p) const { swresample.swr_free(&p); }
};
struct TSwsDeleter {
    void operator()(SwsContext* p) const { swscale.sws_freeContext(p); }
};
struct TFilterGraphDeleter {
    void operator()(AVFilterGraph* p) const { avfilter.avfilter_graph_free(&p); }
};
struct TAudioFifoDeleter {
    void operator()(AVAudioFifo* p) const { avutil.av_audio_fifo_free(p); }
};
struct TBsfDeleter {
    void operator()(AVBSFContext* p) const { avcodec.av_bsf_free(&p); }
};
// An input context opened with OpenInputFile.
struct TInputContextDeleter {
    void operator()(AVFormatContext* p) const { CloseInputFile(&p); }
};
// An output context: its file closed (CloseOutputFile), then the context freed.
struct TOutputContextDeleter {
    void operator()(AVFormatContext* p) const {
        if (!(p->oformat && (p->oformat->flags & AVFMT_NOFILE))) CloseOutputFile(p);
        avformat.avformat_free_context(p);
    }
};
struct TAVMemDeleter {
    void operator()(void* p) const { avutil.av_free(p); }
};

using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TCodecParametersPtr = std::unique_ptr<AVCodecParameters, TCodecParametersDeleter>;
using TSwrPtr = std::unique_ptr<SwrContext, TSwrDeleter>;
using TSwsPtr = std::unique_ptr<SwsContext, TSwsDeleter>;
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphDeleter>;
using TAudioFifoPtr = std::unique_ptr<AVAudioFifo, TAudioFifoDeleter>;
using TBsfPtr = std::unique_ptr<AVBSFContext, TBsfDeleter>;
using TInputContextPtr = std::unique_ptr<AVFormatContext, TInputContextDeleter>;
using TOutputContextPtr = std::unique_ptr<AVFormatContext, TOutputContextDeleter>;

// Move-only holder of an AVDictionary.
class TDictionary {
public:
    TDictionary() = default;
    ~TDictionary() { Free(); }
    TDictionary(TDictionary&& AOther) noexcept : FDict(AOther.FDict) { AOther.FDict = nullptr; }
    TDictionary& operator=(TDictionary&& AOther) noexcept {
        if (this != &AOther) {
            Free();
            FDict = AOther.FDict;
            AOther.FDict = nullptr;
        }
        return *this;
    }
    TDictionary(const TDictionary&) = delete;
    TDictionary& operator=(const TDictionary&) = delete;

    AVDictionary* Get() const { return FDict; }
    AVDictionary** Ref() { return &FDict; }
    int Set(const char* AKey, const char* AValue, int AFlags = 0) {
        return avutil.av_dict_set(&FDict, AKey, AValue, AFlags);
    }
    void Free() {
        if (FDict) avutil.av_dict_free(&FDict);
    }

private:
    AVDictionary* FDict = nullptr;
};

// A decoder context that is opened and freed under the codec lock.
struct TLockedDecoder {
    TCodecContextPtr Context;
    ~TLockedDecoder() {
        TCodecLockGuard lock;
        Context.reset();
    }
};
