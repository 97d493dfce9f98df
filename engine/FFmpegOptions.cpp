#include "FFmpegOptions.h"

#include "Assert.h"

const TOptionState& TOptionStateHolder::Defaults() {
    static const TOptionState defaults;
    return defaults;
}

TStreamKindOptions& TOptionState::Kind(AVMediaType AType) {
    switch (AType) {
        case AVMEDIA_TYPE_AUDIO: return audio;
        case AVMEDIA_TYPE_VIDEO: return video;
        case AVMEDIA_TYPE_SUBTITLE: return subtitle;
        default: break;
    }
    QAC_ASSERT(false, "no stream options for this media type");
    return audio;
}

void TOptionState::ResetStreamOptions(AVMediaType AType) {
    TStreamKindOptions& k = Kind(AType);
    k.disable = false;
    k.codec_name.clear();
    k.stream_copy = false;
    k.language.clear();
    k.bitstream_filters.clear();
}

void TOptionState::ResetInputFileOptions() {
    forced_format.clear();
    for (TStreamKindOptions* k : {&audio, &video, &subtitle}) {
        k->codec_name.clear();
        k->stream_copy = false;
    }
    streamid_map.clear();
    forced_key_frames.clear();
    // Consumed by the input: left in place they would also trim or shift the next output.
    input_ts_offset = 0;
    input_ts_scale.fill(1.0);
    start_time = 0;
}

void TOptionState::ResetOutputFileOptions() {
    forced_format.clear();
    streamid_map.clear();
    forced_key_frames.clear();
}
