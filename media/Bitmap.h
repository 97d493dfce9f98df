// Pictures handed to the engine's and the player's hooks and snapshots, and the converters
// between them and FFmpeg frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FFPtr.h"

// A picture: rows top-down, BitsPixel 24 (BGR) or 32 (BGRA), Stride bytes per row.
struct TBitmap {
    int Width = 0;
    int Height = 0;
    int BitsPixel = 24;
    int Stride = 0;
    std::vector<uint8_t> Pixels;
};

// Converts frames into bitmaps of one pixel depth and bitmaps back into frames, keeping its
// scaler contexts between calls. Used by one thread at a time.
class TFormatConverter {
public:
    int BitsPixel() const { return FBitsPixel; }
    // 32 gives BGRA bitmaps, any other value BGR24.
    void SetBitsPixel(int AValue) { FBitsPixel = AValue == 32 ? 32 : 24; }
    // ABitmap takes the frame's size and this converter's depth.
    bool FrameToBitmap(const AVFrame* AFrame, TBitmap& ABitmap);
    // Writes ABitmap into the writable AFrame of the same size, in the frame's format.
    bool BitmapToFrame(const TBitmap& ABitmap, AVFrame* AFrame);
    const std::string& LastErrMsg() const { return FLastErrMsg; }

private:
    int FBitsPixel = 24;
    TSwsPtr FToBitmap, FToFrame;
    std::string FLastErrMsg;
};
