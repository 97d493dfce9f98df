#include "Bitmap.h"

#include "Format.h"

namespace {

AVPixelFormat BitmapFormat(int ABitsPixel) { return ABitsPixel == 32 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24; }

// The cached context in AContext for the conversion; false when swscale refuses it.
bool Prepare(TSwsPtr& AContext, int AWidth, int AHeight, AVPixelFormat AFrom, AVPixelFormat ATo) {
    AContext.reset(swscale.sws_getCachedContext(AContext.release(), AWidth, AHeight, AFrom, AWidth,
                                                AHeight, ATo, SWS_BICUBIC, nullptr, nullptr, nullptr));
    return AContext != nullptr;
}

}  // namespace

bool TFormatConverter::FrameToBitmap(const AVFrame* AFrame, TBitmap& ABitmap) {
    const auto from = static_cast<AVPixelFormat>(AFrame->format);
    if (AFrame->width <= 0 || AFrame->height <= 0 ||
        !Prepare(FToBitmap, AFrame->width, AFrame->height, from, BitmapFormat(FBitsPixel))) {
        FLastErrMsg = Format("cannot convert a %dx%d picture to a bitmap.", AFrame->width, AFrame->height);
        return false;
    }
    ABitmap.Width = AFrame->width;
    ABitmap.Height = AFrame->height;
    ABitmap.BitsPixel = FBitsPixel;
    ABitmap.Stride = ABitmap.Width * FBitsPixel / 8;
    ABitmap.Pixels.resize(size_t(ABitmap.Stride) * ABitmap.Height);
    uint8_t* dst[4] = {ABitmap.Pixels.data(), nullptr, nullptr, nullptr};
    int lines[4] = {ABitmap.Stride, 0, 0, 0};
    if (swscale.sws_scale(FToBitmap.get(), AFrame->data, AFrame->linesize, 0, AFrame->height, dst,
                          lines) <= 0) {
        FLastErrMsg = "cannot convert the picture to a bitmap.";
        return false;
    }
    return true;
}

bool TFormatConverter::BitmapToFrame(const TBitmap& ABitmap, AVFrame* AFrame) {
    const auto to = static_cast<AVPixelFormat>(AFrame->format);
    if (ABitmap.Width != AFrame->width || ABitmap.Height != AFrame->height ||
        ABitmap.Pixels.size() < size_t(ABitmap.Stride) * ABitmap.Height ||
        !Prepare(FToFrame, ABitmap.Width, ABitmap.Height, BitmapFormat(ABitmap.BitsPixel), to)) {
        FLastErrMsg = "cannot convert the bitmap back to the picture.";
        return false;
    }
    const uint8_t* src[4] = {ABitmap.Pixels.data(), nullptr, nullptr, nullptr};
    const int lines[4] = {ABitmap.Stride, 0, 0, 0};
    if (swscale.sws_scale(FToFrame.get(), src, lines, 0, ABitmap.Height, AFrame->data, AFrame->linesize) <= 0) {
        FLastErrMsg = "cannot convert the bitmap back to the picture.";
        return false;
    }
    return true;
}
