// What avformat_find_stream_info found for a file, kept so a file opened again while unchanged
// (same size and modification time) need not be probed again.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "FFPtr.h"

// A file's identity at one moment: its name and, for a regular file, size and modification time.
struct TProbeKey {
    std::string FileName;
    int64_t Size = -1;
    int64_t ModifiedTime = 0;
    bool Valid() const { return Size >= 0; }
    bool operator==(const TProbeKey&) const = default;
};

// Process-wide, bounded (least recently used entries go first); all members thread-safe under one
// lock. Entries hold codec parameters freed through the bound avcodec table: the loader clears
// the cache before it unloads avcodec.
class TProbeCache {
public:
    // The default holds a job list of tens of thousands of files (about 0.5 KiB each): the files
    // are probed, checked and opened in list order, so a list longer than the bound would evict
    // each entry before its next use.
    explicit TProbeCache(size_t ACapacity = 32768) : FCapacity(ACapacity ? ACapacity : 1) {}
    ~TProbeCache() { Clear(); }
    TProbeCache(const TProbeCache&) = delete;
    TProbeCache& operator=(const TProbeCache&) = delete;

    static TProbeCache& Global();

    // The key of AFileName now; not Valid for what is not a regular file (pipes, URLs, missing).
    static TProbeKey KeyOf(const std::string& AFileName);

    // Records what AContext holds after a successful avformat_find_stream_info. AKey is the key
    // taken before the file was opened: nothing is stored if the file changed since, nor for a
    // file with several streams of one kind.
    void Store(const TProbeKey& AKey, const AVFormatContext* AContext);

    // The demuxer recorded for AKey while the file is unchanged, to open the file with instead of
    // probing its format (Apply then restores the probe score); nullptr when there is none.
    const AVInputFormat* InputFormat(const TProbeKey& AKey) const;

    // Gives AContext (freshly opened, not yet probed) the parameters recorded for AKey when the
    // file is unchanged and the opened streams match the recorded ones (count, types, codecs,
    // time bases, audio sample rate and channels, picture size): 1. 0: no such record, AContext
    // untouched and to be probed as usual. An AVERROR: a copy failed, AContext is unusable.
    int Apply(const TProbeKey& AKey, AVFormatContext* AContext);

    void Clear();
    size_t Count() const;
    // Successful probes recorded and probes saved, since the process started.
    int64_t Stores() const;
    int64_t Hits() const;

private:
    struct TStream {
        TCodecParametersPtr Par;
        AVRational TimeBase{0, 1}, RFrameRate{0, 1}, AvgFrameRate{0, 1}, SampleAspect{0, 1};
        int64_t StartTime = 0, Duration = 0, Frames = 0;
    };
    struct TEntry {
        TProbeKey Key;
        std::vector<TStream> Streams;
        const AVInputFormat* Format = nullptr;  // null for a demuxer that opens no file itself
        int ProbeScore = 0;
        int64_t StartTime = 0, Duration = 0, BitRate = 0;
        AVDurationEstimationMethod Estimation = AVFMT_DURATION_FROM_PTS;
    };
    using TList = std::list<TEntry>;

    static bool Matches(const TEntry& AEntry, const AVFormatContext* AContext);

    const size_t FCapacity;
    mutable std::mutex FLock;
    TList FEntries;  // most recently used first
    std::unordered_map<std::string, TList::iterator> FIndex;
    int64_t FStores = 0, FHits = 0;
};
