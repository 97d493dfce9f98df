#include "FFAPI.h"

TAVCodecAPI avcodec;
TAVFormatAPI avformat;
TAVUtilAPI avutil;
TSWResampleAPI swresample;
TSWScaleAPI swscale;
TAVFilterAPI avfilter;
TAVDeviceAPI avdevice;
TLibCAPI libc;

TLibCAPI::TLibCAPI() { Reset(); }

void TLibCAPI::Reset() {
#define QAC_FUNC(name) name = &::name;
#include "api/libc.inc"
#undef QAC_FUNC
}
