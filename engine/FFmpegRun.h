// State of one run of a transcoder (shared by the pipeline's source files; engine-internal).
#pragma once

#include <vector>

#include "FFmpeg.h"

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
    bool progress_wanted = false;
};

// Wall clock in microseconds (monotonic).
int64_t NowMicroseconds();
