// The probe component: opens a media file with FFmpeg's demuxer, reads its stream parameters and
// answers questions about it, and renders a description of the file. Used on the main thread.
#pragma once

#include <atomic>

#include <cstdint>
#include <string>

#include "FFLog.h"

struct AVFormatContext;

struct TFileStreamInfo {
    int64_t StartTime = -1;  // microseconds; -1 when the file gives none
    int64_t Duration = -1;   // microseconds; -1 when the file gives none
    int BitRate = -1;
    int64_t TimeStamp = -1;  // seconds since 1970-01-01 UTC (the "creation_time" tag)
    int Year = -1;
    int Track = -1;
    int Disc = -1;  // 0 when the file gives none
    std::string Title, Author, Copyright, Comment, Album, Genre;
    std::string AlbumArtist;
};

struct TAVRational {
    int num = -1;
    int den = -1;
};

struct TAudioStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;        // in the stream's time base, possibly the no-value stamp
    int64_t StartTimeScaled = -1;  // microseconds; -1 when the stream holds none
    int64_t Duration = -1;
    int64_t DurationScaled = -1;
    int BitRate = -1;
    int Channels = -1;
    int SampleRate = -1;
    int SampleFormat = -1;
};

struct TVideoStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;
    int64_t StartTimeScaled = -1;
    int64_t Duration = -1;
    int64_t DurationScaled = -1;
    int BitRate = -1;
    int Height = -1;
    int Width = -1;
    float AspectRatio = -1;
    int PixFmt = -1;
    TAVRational FrameRate;
};

struct TSubtitleStreamInfo {
    std::string Language;
    std::string CodecName;
};

class TCustomDecoder : public TFFBaseComponent {
public:
    TCustomDecoder();
    ~TCustomDecoder() override;
    TCustomDecoder(const TCustomDecoder&) = delete;
    TCustomDecoder& operator=(const TCustomDecoder&) = delete;

    bool LoadAVLib(const std::string& APath);
    bool AVLibLoaded() const;
    void UnloadAVLib();

    // Opens a file; an empty AFormatName detects the format. Closes the previous file first.
    // Opening and analysing give up after ReadTimeout milliseconds without progress (0: never)
    // or when Cancel is called (from any thread) meanwhile.
    bool LoadFile(const std::string& AFileName, const std::string& AFormatName = "");
    int ReadTimeout() const { return FReadTimeout.load(); }
    void SetReadTimeout(int AMilliseconds) { FReadTimeout = AMilliseconds; }
    void Cancel() { FLastRead = 0; }
    virtual void CloseFile();

    AVFormatContext* FileHandle() const { return FFormatContext; }
    // Adopts a format context opened elsewhere; the probe does not own it.
    virtual void SetFileHandle(AVFormatContext* AValue);

    std::string FileName() const;
    std::string FormatName() const;
    std::string FormatLongName() const;
    int64_t FileSize() const { return FFileSize; }
    int StreamCount() const { return FStreamCount; }
    int ProgramCount() const { return FProgramCount; }
    int AudioStreamCount() const { return FAudioStreamCount; }
    int VideoStreamCount() const { return FVideoStreamCount; }
    int SubtitleStreamCount() const { return FSubtitleStreamCount; }
    int FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
    int FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
    int FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }
    TFileStreamInfo FileStreamInfo() const;
    TAudioStreamInfo FirstAudioStreamInfo() const { return GetAudioStreamInfo(-1); }
    TVideoStreamInfo FirstVideoStreamInfo() const { return GetVideoStreamInfo(-1); }
    TSubtitleStreamInfo FirstSubtitleStreamInfo() const { return GetSubtitleStreamInfo(-1); }
    std::string FileInfoText() const;
    std::string LastErrMsg() const { return FLastErrMsg; }
    std::string ForceFormat() const { return FForceFormat; }

    TAudioStreamInfo GetAudioStreamInfo(int AStreamIndex) const;
    // Why the first audio stream cannot be converted (no sample rate or channels, a rate below
    // 1000 Hz that only a damaged header claims, or, when the format was only guessed, no frame
    // decodes from its first packets); empty when it can. Reads packets of the loaded file:
    // call it last, before CloseFile.
    std::string AudioProblem();
    TVideoStreamInfo GetVideoStreamInfo(int AStreamIndex) const;
    TSubtitleStreamInfo GetSubtitleStreamInfo(int AStreamIndex) const;
    bool IsAudioStream(int AStreamIndex) const;
    bool IsVideoStream(int AStreamIndex) const;
    bool IsSubtitleStream(int AStreamIndex) const;

protected:
    virtual void RefreshFileInfo();
    // Raises ELibraryNotLoaded for the first of avcodec, avformat, avutil, swscale not loaded.
    void LibraryCheck() const;
    void ReportError(TLogLevel ALevel, const std::string& AMessage) const;
    bool CheckFileLoaded() const;
    // Finds the stream of a kind for a query; -1 after reporting why there is none.
    int StreamOfKind(int AStreamIndex, int AType, const char* AKindName, int AFirst) const;
    bool IsStreamKind(int AStreamIndex, int AType) const;

    AVFormatContext* FFormatContext = nullptr;
    bool FOwnsContext = false;
    mutable std::string FLastErrMsg;
    std::string FForceFormat;
    int64_t FFileSize = -1;
    int FStreamCount = -1, FProgramCount = -1;
    int FAudioStreamCount = -1, FVideoStreamCount = -1, FSubtitleStreamCount = -1;
    int FFirstAudioStreamIndex = -1, FFirstVideoStreamIndex = -1, FFirstSubtitleStreamIndex = -1;

private:
    // The interrupt of LoadFile's blocking steps (under the registry's lock: it only reads).
    static bool ReadTimeoutCheck(void* ASender);
    std::atomic<int> FReadTimeout{10000};
    // Microseconds of the start of the open under way; the maximum when none, 0 when cancelled.
    std::atomic<int64_t> FLastRead{INT64_MAX};
};

// The published probe. Frame-by-frame decoding is not part of this system.
class TFFDecoder : public TCustomDecoder {};

class ELibraryNotLoaded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
