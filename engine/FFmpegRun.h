// State of one run of a transcoder (shared by the pipeline's source files; engine-internal).
#pragma once

#include <vector>

#include "FFUtils.h"
#include "FFmpeg.h"
#include "Format.h"

struct TCustomFFmpeg::TRun {
    std::vector<TAVInputStream> ist;   // every stream of every input, in file order
    std::vector<TAVOutputStream*> ost;  // every output stream of every output table entry
    int64_t timer_start = 0;            // wall clock (µs) when the loop started
    int64_t last_report = 0;
    uint64_t video_size = 0, audio_size = 0, extra_size = 0;
    int nb_frames_dup = 0, nb_frames_drop = 0;
    int current_input = 0;  // merge mode: the input being read
    TPacketPtr pkt;         // packet read from an input
    TPacketPtr enc_pkt;     // packet received from an encoder
    TFramePtr frame;        // decoded frame
    TFramePtr filt_frame;   // filtered video frame
    TFramePtr staging;      // converted audio (encoder format), grown on demand
    int64_t last_preview = INT64_MIN;
    std::vector<uint8_t> subtitle_out;  // encoded subtitle buffer
    std::vector<uint8_t> hook_samples;  // planar audio interleaved for the audio hook
    bool progress_wanted = false;
};

// The old "channel_layout" field of a codec context (set by a generic option), read and
// cleared: opening a codec would otherwise replace ch_layout with it, behind the FIFO's and the
// resampler's back. Raises FFmpegException when the option cannot be read.
uint64_t TakeOldLayoutOption(AVCodecContext* ACtx);

// An encoder context of AType for a new output stream, with the option state's thread count,
// the kind's codec tag and the global header flag when the muxer wants one; raises "Could not
// alloc stream".
TCodecContextPtr NewEncoderContext(const AVCodec* ACodec, const TOptionState& AOpts,
                                   const TStreamKindOptions& AKind, AVFormatContext* AOC,
                                   AVMediaType AType);
// The names joined with ",".
std::string JoinNames(const std::vector<std::string>& AItems);

// A library call's result: negative raises FFmpegException naming the call.
inline int CheckAV(int ARet, const char* ACall) {
    if (ARet < 0) throw FFmpegException(Format("%s failed: %s", ACall, ErrorCodeText(ARet)));
    return ARet;
}

// Parses AChain into AGraph between ASource (its output "in") and ASink (its input "out"); an
// FFmpeg error code or 0.
int ParseFilterChain(AVFilterGraph* AGraph, AVFilterContext* ASource, AVFilterContext* ASink,
                     const std::string& AChain);

// Wall clock in microseconds (monotonic).
int64_t NowMicroseconds();

// Defined here for the audio and video branches: a template, so the per-packet call allocates
// nothing.
template <typename TOnFrame>
void TCustomFFmpeg::DecodeFrames(TAVInputStream& AIst, const AVPacket* APkt, TOnFrame&& AOnFrame) {
    TRun& R = *FRun;
    AVCodecContext* dec = AIst.dec.get();
    AVFrame* frame = R.frame.get();
    int count = 0;
    for (;;) {
        // A packet refused for now (the decoder's output is full) is sent again once the frames
        // waiting in the decoder have been taken.
        int ret = avcodec.avcodec_send_packet(dec, APkt);
        const bool refused = ret == AVERROR(EAGAIN);
        if (ret < 0 && ret != AVERROR_EOF && !refused) {
            DecoderError(AIst, ret);
            return;
        }
        const int before = count;
        for (;;) {
            ret = avcodec.avcodec_receive_frame(dec, frame);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
            if (ret < 0) {
                DecoderError(AIst, ret);
                return;
            }
            struct TUnref {
                AVFrame* f;
                ~TUnref() { avutil.av_frame_unref(f); }
            } unref{frame};
            AOnFrame(frame, ++count);
        }
        if (!refused) return;
        if (count == before) {  // refused with nothing to take: the decoder is stuck
            DecoderError(AIst, AVERROR(EAGAIN));
            return;
        }
    }
}
