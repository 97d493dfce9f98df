// Verification of written outputs: what the run handed an output's encoder (the source's samples
// after trimming, counted and hashed as they pass), and the check of the complete output decoded
// back with our own media layer. Engine-internal; used on the thread that runs the task.
#pragma once

#include <cstdint>
#include <vector>

#include "FFPtr.h"

// Frames of one hashed block: a mismatch is located to the block it lies in.
constexpr int kVerifyBlockFrames = 4096;

// Interleaved samples in one canonical form (integers left-justified to 32 bits, floats by their
// bits; 64-bit samples as two 32-bit halves), one 64-bit hash per block of kVerifyBlockFrames
// frames: the values in pairs as 64-bit words, the words in turn into eight xor-rotate-multiply
// lanes, mixed at the block's end.
class TSampleHasher {
public:
    // The canonical kind of a sample format (formats of one kind compare): 0 none, 1 integers
    // up to 32 bits, 2 64-bit integers, 3 float, 4 double.
    static int Kind(AVSampleFormat AFormat);
    TSampleHasher() { ResetLanes(); }
    void Add(const AVFrame* AFrame, int AOffset, int ACount);
    // Zero samples of AFormat.
    void AddSilence(int64_t AFrames, int AChannels, AVSampleFormat AFormat);
    // Closes the last, partial block.
    void Finish();
    const std::vector<uint64_t>& Blocks() const { return FBlocks; }

private:
    static constexpr int kLanes = 8;
    void Mix(const uint32_t* AValues, size_t ACount);
    void MixWord(uint64_t AWord);
    void CloseBlock();
    void ResetLanes();
    uint64_t FLanes[kLanes] = {};
    uint64_t FWords = 0;     // words mixed into the block so far
    uint32_t FPending = 0;   // the first value of a word whose second is still to come
    bool FHasPending = false;
    int FInBlock = 0;        // frames of the block so far
    std::vector<uint64_t> FBlocks;
    std::vector<uint32_t> FBuffer;  // canonical values of the frames being added
};

// The source's samples one output stream's encoder was given, in order (across a merge's
// inputs): their number at the encoder's rate and, while their format stays one, their hashes.
class TSourceTrack {
public:
    void Add(const AVFrame* AFrame, int AOffset, int ACount, int AEncoderRate, int ADepth);
    void AddSilence(int64_t ASamples, int AChannels);

    double Expected = 0;  // samples at the encoder's rate
    int64_t SourceSamples = 0;
    bool Started = false;
    bool Uniform = true;  // one sample format, rate, channel count and depth throughout
    int Changes = 0;      // of the format, rate, channel count or depth (a merge's inputs)
    bool Silence = false;  // the audio sync filled a gap
    AVSampleFormat Format = AV_SAMPLE_FMT_NONE;  // packed
    int Rate = 0, Channels = 0, Depth = 0;
    TSampleHasher Hasher;
};

// Bits per sample a stream's samples carry: its raw depth when known, else its format's.
int SampleDepth(const AVCodecParameters* APar, AVSampleFormat AFormat);

// Samples a decoded output of codec AId may differ in length from what its encoder was given:
// the codec's frame and priming where the container does not have them dropped; 0 for PCM and
// lossless codecs. AResampledParts (stretches of one input format through the resampler) adds
// the resampler's rounding at each part's end.
int64_t VerifyLengthTolerance(AVCodecID AId, int AResampledParts);
