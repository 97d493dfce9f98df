#include "ProbeCache.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "Platform.h"
#include "UnicodeProtocol.h"

TProbeCache& TProbeCache::Global() {
    // Never destroyed: the loader clears it when it unloads avcodec, also from its own static
    // destructor at process end, which may run after this object's would have.
    static TProbeCache* const cache = new TProbeCache;
    return *cache;
}

TProbeKey TProbeCache::KeyOf(const std::string& AFileName) {
    TProbeKey key;
    key.FileName = AFileName;
    try {
        std::error_code ec;
        const std::filesystem::path path = Utf8ToPath(URLToFileName(AFileName));
        if (path.empty() || !std::filesystem::is_regular_file(path, ec) || ec) return key;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec) return key;
        const auto time = std::filesystem::last_write_time(path, ec);
        if (ec) return key;
        key.ModifiedTime =
            std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
        key.Size = static_cast<int64_t>(size);
    } catch (const std::exception&) {
        // A name the system cannot convert: not cached.
    }
    return key;
}

void TProbeCache::Store(const TProbeKey& AKey, const AVFormatContext* AContext) {
    if (!AKey.Valid() || !AContext || KeyOf(AKey.FileName) != AKey) return;
    // Of several streams of one kind, av_find_best_stream prefers those of which the probe read
    // more frames, a count the record cannot give: such files are always probed.
    int kinds[AVMEDIA_TYPE_NB] = {};
    for (unsigned i = 0; i < AContext->nb_streams; ++i) {
        const int kind = AContext->streams[i]->codecpar->codec_type;
        if (kind >= 0 && kind < AVMEDIA_TYPE_NB && ++kinds[kind] > 1) return;
    }
    TEntry e;
    e.Key = AKey;
    if (AContext->iformat && !(AContext->iformat->flags & AVFMT_NOFILE)) {
        e.Format = AContext->iformat;
        e.ProbeScore = AContext->probe_score;
    }
    e.StartTime = AContext->start_time;
    e.Duration = AContext->duration;
    e.BitRate = AContext->bit_rate;
    e.Estimation = AContext->duration_estimation_method;
    e.Streams.reserve(AContext->nb_streams);
    for (unsigned i = 0; i < AContext->nb_streams; ++i) {
        const AVStream* st = AContext->streams[i];
        TStream s;
        s.Par.reset(avcodec.avcodec_parameters_alloc());
        if (!s.Par || avcodec.avcodec_parameters_copy(s.Par.get(), st->codecpar) < 0) return;
        s.TimeBase = st->time_base;
        s.RFrameRate = st->r_frame_rate;
        s.AvgFrameRate = st->avg_frame_rate;
        s.SampleAspect = st->sample_aspect_ratio;
        s.StartTime = st->start_time;
        s.Duration = st->duration;
        s.Frames = st->nb_frames;
        e.Streams.push_back(std::move(s));
    }
    std::lock_guard lock(FLock);
    ++FStores;
    if (auto it = FIndex.find(AKey.FileName); it != FIndex.end()) {
        FEntries.erase(it->second);
        FIndex.erase(it);
    }
    while (FEntries.size() >= FCapacity) {
        FIndex.erase(FEntries.back().Key.FileName);
        FEntries.pop_back();
    }
    FEntries.push_front(std::move(e));
    FIndex.emplace(AKey.FileName, FEntries.begin());
}

bool TProbeCache::Matches(const TEntry& AEntry, const AVFormatContext* AContext) {
    if (AEntry.Streams.size() != AContext->nb_streams || AContext->nb_streams == 0) return false;
    for (unsigned i = 0; i < AContext->nb_streams; ++i) {
        const AVStream* st = AContext->streams[i];
        const AVCodecParameters* now = st->codecpar;
        const AVCodecParameters* was = AEntry.Streams[i].Par.get();
        if (now->codec_type != was->codec_type || now->codec_id != was->codec_id ||
            now->codec_id == AV_CODEC_ID_NONE ||
            av_cmp_q(st->time_base, AEntry.Streams[i].TimeBase))
            return false;
        // The demuxer may leave a parameter unset until the probe decodes: an unset one takes the
        // recorded value, a set one must equal it.
        auto agrees = [](int ANow, int AWas) { return AWas > 0 && (ANow <= 0 || ANow == AWas); };
        switch (now->codec_type) {
            case AVMEDIA_TYPE_AUDIO:
                if (!agrees(now->sample_rate, was->sample_rate) ||
                    !agrees(now->ch_layout.nb_channels, was->ch_layout.nb_channels))
                    return false;
                break;
            case AVMEDIA_TYPE_VIDEO:
                if (!agrees(now->width, was->width) || !agrees(now->height, was->height))
                    return false;
                break;
            default:
                break;
        }
    }
    return true;
}

const AVInputFormat* TProbeCache::InputFormat(const TProbeKey& AKey) const {
    if (!AKey.Valid()) return nullptr;
    std::lock_guard lock(FLock);
    const auto it = FIndex.find(AKey.FileName);
    if (it == FIndex.end() || it->second->Key != AKey || !it->second->Format) return nullptr;
    return it->second->Format;
}

int TProbeCache::Apply(const TProbeKey& AKey, AVFormatContext* AContext) {
    // The file changed since AKey was taken (while it was being opened): probe what was opened.
    if (!AKey.Valid() || !AContext || KeyOf(AKey.FileName) != AKey) return 0;
    std::lock_guard lock(FLock);
    const auto it = FIndex.find(AKey.FileName);
    if (it == FIndex.end()) return 0;
    const TEntry& e = *it->second;
    if (e.Key != AKey || (e.Format && AContext->iformat != e.Format) || !Matches(e, AContext))
        return 0;
    for (unsigned i = 0; i < AContext->nb_streams; ++i) {
        AVStream* st = AContext->streams[i];
        const TStream& s = e.Streams[i];
        const int ret = avcodec.avcodec_parameters_copy(st->codecpar, s.Par.get());
        if (ret < 0) return ret;
        st->r_frame_rate = s.RFrameRate;
        st->avg_frame_rate = s.AvgFrameRate;
        st->sample_aspect_ratio = s.SampleAspect;
        st->start_time = s.StartTime;
        st->duration = s.Duration;
        st->nb_frames = s.Frames;
    }
    if (e.Format) AContext->probe_score = e.ProbeScore;
    AContext->start_time = e.StartTime;
    AContext->duration = e.Duration;
    AContext->bit_rate = e.BitRate;
    AContext->duration_estimation_method = e.Estimation;
    // A demuxer that asks for its stream's codec to be probed from the data (WAV does, for
    // compressed audio in PCM) probes on reading what the skipped probe would have, growing the
    // sample to the whole probe size. The record holds the outcome: that probe ends at the first
    // packet read, and whatever it finds there (after a seek, data the recorded probe never saw)
    // the streams keep their recorded codecs, one stream of each kind.
    AContext->probesize = 32;
    for (unsigned i = 0; i < AContext->nb_streams; ++i) {
        const AVCodecParameters* par = AContext->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) AContext->audio_codec_id = par->codec_id;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) AContext->video_codec_id = par->codec_id;
        if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) AContext->subtitle_codec_id = par->codec_id;
    }
    FEntries.splice(FEntries.begin(), FEntries, it->second);
    ++FHits;
    return 1;
}

void TProbeCache::Clear() {
    std::lock_guard lock(FLock);
    FIndex.clear();
    FEntries.clear();
}

size_t TProbeCache::Count() const {
    std::lock_guard lock(FLock);
    return FEntries.size();
}

int64_t TProbeCache::Stores() const {
    std::lock_guard lock(FLock);
    return FStores;
}

int64_t TProbeCache::Hits() const {
    std::lock_guard lock(FLock);
    return FHits;
}
