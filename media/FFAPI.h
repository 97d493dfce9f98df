// Bound function tables, one per library, typed from the installed headers. The loader fills them
// with dlsym (GetProcAddress on Windows) and clears them on unload; callers call through them,
// e.g. avformat.av_read_frame(...). Nothing links the media libraries.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avfft.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// One bound-function entry as listed in api/*.inc.
#define QAC_FUNC(name) decltype(&::name) name = nullptr;
// The optional names are deprecated ones kept for callers of the older API.
#define QAC_OPT_FUNC(name)                                              \
    _Pragma("GCC diagnostic push")                                      \
        _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"") \
            decltype(&::name) name = nullptr;                           \
    _Pragma("GCC diagnostic pop")

struct TAVCodecAPI {
#include "api/avcodec.inc"
};
struct TAVFormatAPI {
#include "api/avformat.inc"
};
struct TAVUtilAPI {
#include "api/avutil.inc"
};
struct TSWResampleAPI {
#include "api/swresample.inc"
};
struct TSWScaleAPI {
#include "api/swscale.inc"
};
struct TAVFilterAPI {
#include "api/avfilter.inc"
};
struct TAVDeviceAPI {
#include "api/avdevice.inc"
};
// The C runtime starts bound to the process's own functions, so the log callback can format
// before the loader has bound the runtime library.
struct TLibCAPI {
#include "api/libc.inc"
    TLibCAPI();
    void Reset();
};

#undef QAC_FUNC
#undef QAC_OPT_FUNC

extern TAVCodecAPI avcodec;
extern TAVFormatAPI avformat;
extern TAVUtilAPI avutil;
extern TSWResampleAPI swresample;
extern TSWScaleAPI swscale;
extern TAVFilterAPI avfilter;
extern TAVDeviceAPI avdevice;
extern TLibCAPI libc;
