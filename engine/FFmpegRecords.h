// Records that cross the encoder's boundary: option records filled by callers for each input and
// output of a task, and the progress, termination, preview and hook records the encoder reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bitmap.h"  // TBitmap of the preview and hook records

struct TProgressInfo {
    int32_t TaskIndex = 0;
    int32_t FileIndex = 0;
    int32_t FrameNumber = -1;
    int32_t FPS = -1;
    float Quality = -1.0f;
    float BitRate = 0.0f;
    int64_t CurrentSize = 0;
    int64_t CurrentDuration = 0;
    int64_t TotalDuration = -1;
    // The output is complete and is being decoded back to verify it; the durations then count
    // the output decoded so far.
    bool Verifying = false;
};
using PProgressInfo = TProgressInfo*;

// What the verification of a finished task's outputs found: not verified, the length (and
// format) checked, or the decoded samples also equal to the source's.
enum TVerifyResult { vrNone, vrLength, vrBitExact };

struct TTerminateInfo {
    int32_t TaskIndex = 0;
    bool Finished = false;
    bool Exception = false;
    std::string ExceptionMsg;
    TVerifyResult Verified = vrNone;
};
using PTerminateInfo = TTerminateInfo*;

// Bitmap is not owned: it stays valid for the duration of the event.
struct TPreviewInfo {
    int32_t TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int32_t FrameNumber = 0;
    int64_t PTS = 0;
};
using PPreviewInfo = TPreviewInfo*;

struct THookInfo {
    int32_t TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int32_t FrameNumber = 0;
    int64_t PTS = 0;
    bool Update = false;    // in/out: the handler changed the bitmap
    bool StopHook = false;  // in/out: no further hook calls wanted
};
using PHookInfo = THookInfo*;

enum TOptionTargetType { ttIgnore, ttVCD, ttSVCD, ttDVD };
enum TOptionNormType { ntAuto, ntPAL, ntNTSC };
// The norm assumed when ntAuto cannot decide: ntPAL or ntNTSC only.
using TOptionNormDefault = TOptionNormType;

// The smallest 64-bit integer: a time that is not set.
constexpr int64_t kTimeNotSet = INT64_MIN;

struct TInputOptions {
    std::string FileName;  // UTF-8
    std::string ForceFormat;
    int64_t TimeStart = kTimeNotSet;
    int ProgramID = -1;
    std::string ExtOptions;
    int Tag = 0;
    void* Data = nullptr;
};
using PInputOptions = TInputOptions*;

struct TStreamInfo {
    double TimeStamp = -1.0;  // local date-time in days since 1899-12-30; 0 is now, -1.0 not set
    int Year = -1;
    int Track = -1;
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};
using PStreamInfo = TStreamInfo*;

// Integers at -1 and floats at -1.0 are not set and are applied only when positive, except where
// the field says otherwise.
enum TExistingOutput { eoReplace, eoKeep, eoNumber };

struct TOutputOptions {
    std::string FileName;  // UTF-8
    std::string FileExt;
    std::string ForceFormat;
    int PacketSize = -1;
    int MuxRate = -1;
    double MuxDelay = -1.0;
    double MuxPreload = -1.0;
    std::string AudioCodec;
    std::string AudioPreset;
    bool DisableAudio = false;
    int AudioVolume = -1;  // applied when 0 or more
    int AudioChannels = -1;
    int AudioSampleRate = -1;
    int AudioBitrate = -1;
    int AudioBitRateTolerance = -1;
    std::string AudioLanguage;
    int AudioSyncMethod = 0;  // always applied
    std::string AudioTag;
    std::string VideoCodec;
    std::string VideoPreset;
    bool DisableVideo = false;
    std::string FrameRate;
    std::string FrameSize;
    std::string FrameAspectRatio;
    int GroupPictureSize = -1;
    int VideoBitrate = -1;
    int VideoMaxRate = -1;
    int VideoMinRate = -1;
    int VideoBitRateTolerance = -1;
    int VideoBufSize = -1;
    int VideoSyncMethod = -1;  // always applied
    std::string VideoTag;
    std::string VideoFilters;
    std::string VideoLanguage;
    std::string SubtitleCodec;
    std::string SubtitlePreset;
    bool DisableSubtitle = false;
    std::string SubtitleLanguage;
    bool InputSync = false;  // always applied
    bool CopyTimestamp = false;
    int64_t TimeStart = kTimeNotSet;
    int64_t TimeLength = kTimeNotSet;
    TStreamInfo Info;
    TOptionTargetType TargetType = ttIgnore;
    TOptionNormType NormType = ntAuto;
    TOptionNormDefault NormDefault = ntPAL;
    bool AudioHook = false;
    bool VideoInputHook = false;
    bool VideoOutputHook = false;
    int VideoHookBitsPixel = 24;
    bool Join = false;
    double LoudnessTarget = 0.0;  // LUFS below 0: normalise to it; 0: the level stays
    bool ReplayGainTags = false;  // write REPLAYGAIN_TRACK_GAIN/_PEAK of the measured audio
    // A file that has the output's name when the run ends: written over, kept (the job fails),
    // or kept with the output written as "name (N).ext".
    TExistingOutput ExistingOutput = eoReplace;
    // Decode the complete output before it takes its name; a failed check fails the task.
    bool VerifyOutput = false;
    // Tests only, just before the working file is verified: it is cut to this share of its bytes
    // (0 < share < 1), and the byte at this share of it is inverted (0 < share < 1).
    double VerifyTestCut = 0.0;
    double VerifyTestFlip = 0.0;
    std::string ExtOptions;
    int Tag = 0;
    void* Data = nullptr;
};
using POutputOptions = TOutputOptions*;

// Restore the engine defaults; callers reset a record before filling it.
inline void InitInputOptions(TInputOptions& AOptions) { AOptions = TInputOptions(); }
inline void InitOutputOptions(TOutputOptions& AOptions) { AOptions = TOutputOptions(); }
inline void InitStreamInfo(TStreamInfo& AInfo) { AInfo = TStreamInfo(); }
