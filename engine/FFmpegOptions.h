// Option state of a transcoder task and its defaults, with the reset rules applied when streams
// and files are created.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FFAPI.h"

// Errors inside the transcoder.
class FFmpegException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Highest number of streams per input that a time-stamp scale can address.
constexpr int kMaxStreams = 20;

// Norms of the disc-format targets (frame rates 25, 30000/1001, 24000/1001).
enum TTargetNorm { tnPAL, tnNTSC, tnFILM, tnUnknown };

struct TStreamMap {
    int file_index = 0;
    int stream_index = 0;
    int sync_file_index = 0;
    int sync_stream_index = 0;
};

// A metadata map end: file index, type letter ('g', 's', 'c', 'p') and index within that type.
struct TMetaDataSpec {
    int file = 0;
    char type = 'g';
    int index = 0;
};
struct TMetaDataMap {
    TMetaDataSpec out;
    TMetaDataSpec in;
};
struct TChapterMap {
    int out_file = 0;
    int in_file = 0;
};

// Settings of the next stream of one kind (audio, video or subtitle).
struct TStreamKindOptions {
    bool disable = false;              // per stream
    std::string codec_name;            // per stream; per file for inputs
    bool stream_copy = false;          // per stream; per file for inputs
    uint32_t codec_tag = 0;
    std::string language;              // per stream
    std::vector<std::string> bitstream_filters;  // per stream
};

// A library option accepted by the option setter. An option found only through a kind prefix
// ("ab" as the audio "b") keeps its kind and reaches only contexts of that kind.
struct TGenericOption {
    std::string name;
    std::string value;
    AVMediaType kind = AVMEDIA_TYPE_UNKNOWN;  // unknown: every context that knows the name
    bool operator==(const TGenericOption&) const = default;
};

// The state the option setter writes and the pipeline reads. Field names follow the command-line
// converter's variables.
struct TOptionState {
    std::string forced_format;  // per file: cleared when an input or output is opened

    TStreamKindOptions audio;
    TStreamKindOptions video;
    TStreamKindOptions subtitle;

    int audio_sample_rate = 44100;                      // input
    int audio_channels = 2;                             // input
    AVSampleFormat audio_sample_fmt = AV_SAMPLE_FMT_NONE;  // input
    uint64_t audio_channel_layout = 0;                  // input
    double audio_qscale = -99999.0;                     // above -99999: fixed quality
    int audio_volume = 256;
    int audio_sync_method = 0;
    double audio_drift_threshold = 0.1;

    int video_sync_method = -1;
    AVRational frame_rate{25, 1};
    int frame_width = 0;
    int frame_height = 0;
    double frame_aspect_ratio = 0.0;
    AVPixelFormat frame_pix_fmt = AV_PIX_FMT_NONE;
    int intra_dc_precision = 8;
    int top_field_first = -1;
    int sws_flags = SWS_BICUBIC;
    bool video_global_header = false;
    bool intra_only = false;
    int video_discard = 0;
    double video_qscale = 0.0;
    std::string video_rc_override_string;
    int me_threshold = 0;
    bool same_quality = false;
    int do_pass = 0;
    std::string pass_logfilename_prefix = "ffmpeg2pass";
    bool do_deinterlace = false;
    bool do_psnr = false;
    std::string vstats_filename;
    std::string vhook;
    std::string vfilters;
    std::string intra_matrix;
    std::string inter_matrix;
    bool do_qp_histogram = false;
    bool force_fps = false;
    std::vector<int> streamid_map;  // per file: output stream index -> stream id (0: none)
    std::string forced_key_frames;  // per file
    int video_channel = 0;
    std::string video_standard;

    int64_t recording_time = INT64_MAX;
    int64_t start_time = 0;
    int64_t input_ts_offset = 0;
    std::array<double, kMaxStreams> input_ts_scale{};  // per input; 1.0 each
    int64_t recording_timestamp = 0;                    // seconds since 1970
    int64_t limit_filesize = 0;
    // Maximum frames per kind, indexed by AVMediaType (video, audio, data, subtitle).
    std::array<int, 4> max_frames{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
    double mux_preload = 0.5;
    double mux_max_delay = 0.7;
    int loop_output = -1;
    bool loop_input = false;

    std::vector<std::pair<std::string, std::string>> metadata;
    std::vector<TStreamMap> stream_maps;
    std::vector<TMetaDataMap> meta_data_maps;
    std::vector<TChapterMap> chapter_maps;
    int metadata_global_autocopy = 1;
    int metadata_streams_autocopy = 1;
    int metadata_chapters_autocopy = 1;

    int verbose = 1;
    int thread_count = 1;
    bool exit_on_error = false;
    bool copy_ts = false;
    bool copy_tb = false;
    bool opt_shortest = false;
    bool input_sync = false;
    bool rate_emu = false;
    bool do_pkt_dump = false;
    bool do_hex_dump = false;
    int opt_programid = 0;
    int copy_initial_nonkeyframes = 0;
    double dts_delta_threshold = 10.0;
    int bit_buffer_size = 262144;

    // Accepted library options in order, applied to each new context of a matching kind.
    std::vector<TGenericOption> generic_options;

    TOptionState() { input_ts_scale.fill(1.0); }

    TStreamKindOptions& Kind(AVMediaType AType);
    // After an output stream of the kind has been created.
    void ResetStreamOptions(AVMediaType AType);
    // After an input has been opened: forced format, codec names, stream-id map, forced key
    // frames, and the values the input consumed (time-stamp offset and scales, start time).
    void ResetInputFileOptions();
    // After an output has been opened: forced format, stream-id map, forced key frames.
    void ResetOutputFileOptions();
};

// A task's option state, allocated on first use and dropped by Reset, so that a pending task
// holds none; a dropped state reads as the defaults. Used by the thread that builds or runs the
// task.
class TOptionStateHolder {
public:
    TOptionState& operator*() {
        if (!FState) FState = std::make_unique<TOptionState>();
        return *FState;
    }
    const TOptionState& operator*() const { return FState ? *FState : Defaults(); }
    TOptionState* operator->() { return &**this; }
    const TOptionState* operator->() const { return &**this; }
    operator TOptionState&() { return **this; }
    operator const TOptionState&() const { return **this; }
    void Reset() { FState.reset(); }

private:
    static const TOptionState& Defaults();
    std::unique_ptr<TOptionState> FState;
};
