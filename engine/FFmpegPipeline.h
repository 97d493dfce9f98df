// Per-task data of the transcode pipeline: opened inputs and outputs, the input and output stream
// tables of a run, and the per-stream coder state. Owned by one TCustomFFmpeg; used on the thread
// that builds the task and then on the thread that runs it, never on both at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FFPtr.h"

class TSourceTrack;

// One opened input file.
struct TAVInputFile {
    TInputContextPtr ctx;
    std::string file_name;    // UTF-8, as given
    int64_t ts_offset = 0;    // microseconds added to every time stamp
    std::vector<double> ts_scale;  // per stream
    bool eof_reached = false;
    bool waiting = false;     // the last read was temporarily impossible
    int ist_index = 0;        // first stream in the input stream table
    int nb_streams = 0;
    int64_t duration = -1;    // microseconds, -1 unknown
    int64_t seek_target = 0;  // microseconds: start of the wanted part of the file (relative time 0)
};

// One stream of an input file during a run.
struct TAVInputStream {
    int file_index = 0;
    int index = 0;
    AVStream* st = nullptr;
    bool discard = true;
    bool decoding_needed = false;
    TCodecContextPtr dec;
    int64_t sample_index = 0;
    int frame_number = 0;
    int64_t start = 0;     // wall-clock start (rate emulation)
    int64_t next_pts = 0;  // microseconds; kNoPTS until the first packet
    int64_t pts = 0;
    bool is_start = true;
    bool showed_multi_packet_warning = false;
    bool is_past_recording_time = false;
    bool decoder_flushed = false;
    int64_t samples_decoded = 0;
};

// Coder state of one library output stream. In merge mode every group's output stream of the same
// library stream shares one coder, so the encoder, resampler and FIFO live across all inputs.
struct TStreamCoder {
    TCodecContextPtr enc;
    AVCodecID codec_id = AV_CODEC_ID_NONE;
    bool opened = false;
    bool flushed = false;  // the encoder has been drained
    // audio
    TSwrPtr resample;
    bool audio_resample = false;
    AVSampleFormat resample_sample_fmt = AV_SAMPLE_FMT_NONE;
    int resample_channels = 0;
    int resample_sample_rate = 0;
    AVChannelLayout resample_layout{};
    TAudioFifoPtr fifo;
    TFramePtr frame;           // reused encoder input frame
    int64_t sync_opts = 0;     // samples or frames handed to the encoder
    int64_t packets_written = 0;  // with data, to the muxer, encoded or copied
    // video
    TSwsPtr scaler;
    int scale_src_w = 0, scale_src_h = 0;
    AVPixelFormat scale_src_fmt = AV_PIX_FMT_NONE;
    TFilterGraphPtr graph;
    std::string filters;  // the "vf" chain before scaling
    int sws_flags = 0;
    AVFilterContext* buffersrc = nullptr;
    AVFilterContext* buffersink = nullptr;
    int frame_number = 0;
    int frame_capacity = 0;  // samples the reused audio frame can hold
    int last_quality = 0;    // quantiser of the last encoded video frame (lambda)
    int64_t last_pts = INT64_MIN;  // of the last encoded video frame (encoder time base)
    // bitstream filters applied to every packet written
    std::vector<TBsfPtr> bsfs;
    std::string bsf_names;
    FILE* logfile = nullptr;  // two-pass statistics of pass 1
    // Verification: the source's samples this coder was given (shared across a merge's inputs).
    std::shared_ptr<TSourceTrack> verify;
    std::string stats_in;     // pass 2 statistics (kept alive while the encoder is open)
    ~TStreamCoder();
};

// One output stream of a run (in merge mode, one per input group).
struct TAVOutputStream {
    int file_index = 0;  // output table index (merge mode: one per input group)
    int index = 0;       // stream index in the muxer
    int source_index = -1;
    int sync_ist = -1;
    AVStream* st = nullptr;
    bool encoding_needed = false;
    bool stream_copy = false;
    int frame_number = 0;
    std::shared_ptr<TStreamCoder> coder;
    bool show_fps = true;
    // stream copy: first dts written (microseconds) so copied streams start at the input start
    int64_t copy_start = INT64_MIN;
};

// One opened output (in merge mode the same muxer appears under every group's index).
struct TAVOutputFile {
    std::shared_ptr<AVFormatContext> ctx;  // the muxer; closed and freed by its owner
    std::string file_name;                 // UTF-8, as given
    // Written under this name beside the file (a working file created new for this output and
    // held open by its muxer) and renamed to file_name only when the run finished; empty when
    // written directly (URLs, devices, pipes).
    std::string working_name;
    bool writes_file = false;
    int group = 0;                         // merge mode: the input this entry belongs to
    std::vector<TAVOutputStream> streams;  // per stream of the muxer
    bool header_written = false;
    // The cover's picture stream in the muxer (-1: none) and its packet (the input's).
    int cover_stream = -1;
    const AVPacket* cover = nullptr;
};
