#include "FFDecode.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <vector>

#include "Convert.h"
#include "FFAPI.h"
#include "FFLoad.h"
#include "FFPtr.h"
#include "FFUtils.h"
#include "Platform.h"
#include "ProbeCache.h"
#include "UnicodeProtocol.h"

namespace {

int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Tag(const AVDictionary* AMeta, const char* AKey) {
    const AVDictionaryEntry* e = avutil.av_dict_get(AMeta, AKey, nullptr, 0);
    return e && e->value ? e->value : "";
}

// The leading decimal number of a tag such as "2004-05-01" or "3/12"; -1 when there is none.
int LeadingNumber(const std::string& AText) {
    size_t i = 0;
    int v = 0;
    while (i < AText.size() && std::isdigit(static_cast<unsigned char>(AText[i])) && i < 9)
        v = v * 10 + (AText[i++] - '0');
    return i ? v : -1;
}

void AddMetadataBlock(std::vector<std::string>& ALines, const AVDictionary* AMeta,
                      const std::string& AIndent) {
    const int count = AMeta ? avutil.av_dict_count(AMeta) : 0;
    if (count == 0) return;
    if (count == 1 && avutil.av_dict_get(AMeta, "language", nullptr, 0)) return;
    ALines.push_back(AIndent + "Metadata:");
    const AVDictionaryEntry* e = nullptr;
    while ((e = avutil.av_dict_get(AMeta, "", e, AV_DICT_IGNORE_SUFFIX))) {
        if (std::string(e->key) == "language") continue;
        ALines.push_back(Format("%s  %-16s: %s", AIndent, MetadataKeyName(e->key), e->value));
    }
}

void AddRate(std::string& ALine, double AValue, const char* AName) {
    const int64_t r = std::llround(AValue * 100);
    if (r % 100)
        ALine += Format(", %3.2f %s", AValue, AName);
    else if (r % 100000)
        ALine += Format(", %1.0f %s", AValue, AName);
    else
        ALine += Format(", %1.0fk %s", AValue / 1000, AName);
}

std::string SecondsText(int64_t AMicroseconds) {
    return Format("%lld.%.6lld", static_cast<long long>(AMicroseconds / 1000000),
                  static_cast<long long>(std::llabs(AMicroseconds % 1000000)));
}

std::string StreamLine(const AVFormatContext* ACtx, int AIndex) {
    const AVStream* st = ACtx->streams[AIndex];
    std::string line = Format("Stream #%d", AIndex);
    if (ACtx->iformat && (ACtx->iformat->flags & AVFMT_SHOW_IDS)) line += Format("[0x%x]", st->id);
    const std::string lang = Tag(st->metadata, "language");
    if (!lang.empty()) line += "(" + lang + ")";
    int g = static_cast<int>(avutil.av_gcd(st->time_base.num, st->time_base.den));
    if (g == 0) g = 1;
    line += Format(", %d/%d", st->time_base.num / g, st->time_base.den / g);

    TCodecContextPtr cc(avcodec.avcodec_alloc_context3(nullptr));
    char buf[256] = {0};
    if (cc && avcodec.avcodec_parameters_to_context(cc.get(), st->codecpar) >= 0)
        avcodec.avcodec_string(buf, sizeof buf, cc.get(), 0);
    line += std::string(": ") + buf;

    const AVRational sar = st->sample_aspect_ratio;
    const AVRational csar = st->codecpar->sample_aspect_ratio;
    if (sar.num != 0 && int64_t(sar.num) * csar.den != int64_t(csar.num) * sar.den) {
        int dnum = 0, dden = 0;
        avutil.av_reduce(&dnum, &dden, int64_t(st->codecpar->width) * sar.num,
                         int64_t(st->codecpar->height) * sar.den, 1024 * 1024);
        line = Format("%s, PAR %d:%d DAR %d:%d", line, sar.num, sar.den, dnum, dden);
    }
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        auto add = [&](AVRational q, bool inverse, const char* name) {
            if (q.num && q.den)
                AddRate(line, inverse ? double(q.den) / q.num : double(q.num) / q.den, name);
        };
        add(st->avg_frame_rate, false, "fps");
        add(st->r_frame_rate, false, "tbr");
        add(st->time_base, true, "tbn");
        if (cc) add(cc->time_base, true, "tbc");
    }
    const AVRational us = {1, 1000000};
    if (st->start_time != kNoPTS)
        line += ", StartTime: " + SecondsText(avutil.av_rescale_q(st->start_time, st->time_base, us));
    if (st->duration == kNoPTS)
        line += ", Duration: N/A";
    else
        line += ", Duration: " + DurationText(avutil.av_rescale_q(st->duration, st->time_base, us));
    return line;
}


}  // namespace

TCustomDecoder::TCustomDecoder() = default;

TCustomDecoder::~TCustomDecoder() {
    if (FFormatContext && FOwnsContext && avformat.avformat_close_input) CloseInputFile(&FFormatContext);
}

bool TCustomDecoder::LoadAVLib(const std::string& APath) {
    GlobalFFLoader.SetLibraryPath(APath);
    if (GlobalFFLoader.Load(DecoderLibraries)) return true;
    FLastErrMsg = GlobalFFLoader.LastErrMsg();
    return false;
}

bool TCustomDecoder::AVLibLoaded() const { return GlobalFFLoader.Loaded(DecoderLibraries); }

void TCustomDecoder::UnloadAVLib() { GlobalFFLoader.Unload(DecoderLibraries); }

void TCustomDecoder::LibraryCheck() const {
    if (!GlobalFFLoader.Loaded(avCodec)) throw ELibraryNotLoaded("LibAVCodec not loaded.");
    if (!GlobalFFLoader.Loaded(avFormat)) throw ELibraryNotLoaded("LibAVFormat not loaded.");
    if (!GlobalFFLoader.Loaded(avUtil)) throw ELibraryNotLoaded("LibAVUtil not loaded.");
    if (!GlobalFFLoader.Loaded(swScale)) throw ELibraryNotLoaded("LibSwScale not loaded.");
}

void TCustomDecoder::ReportError(TLogLevel ALevel, const std::string& AMessage) const {
    FLastErrMsg = AMessage;
    TheLogger()->Log(this, ALevel, AMessage);
}

bool TCustomDecoder::CheckFileLoaded() const {
    if (FFormatContext) return true;
    ReportError(llWarning, "file not loaded.");
    return false;
}

bool TCustomDecoder::LoadFile(const std::string& AFileName, const std::string& AFormatName) {
    LibraryCheck();
    CloseFile();
    const AVInputFormat* format = nullptr;
    if (!AFormatName.empty()) {
        format = avformat.av_find_input_format(AFormatName.c_str());
        if (!format) {
            FLastErrMsg = Format("Unknown input format: %s", AFormatName);
            return false;
        }
    }
    // The blocking steps run under this thread's interrupt: a source that stops answering
    // (a pipe without writer, a stalled network) ends them after the time-out, or at Cancel.
    FLastRead = NowMicros();
    GlobalInterruptCB.Add(CurrentThreadID(), this, ReadTimeoutCheck);
    struct TEndBlocking {
        TCustomDecoder* Self;
        ~TEndBlocking() {
            GlobalInterruptCB.Remove(CurrentThreadID(), Self, ReadTimeoutCheck);
            Self->FLastRead = INT64_MAX;
        }
    } endBlocking{this};
    // Logged after the blocking call returned, outside the registry's lock.
    auto interrupted = [&] {
        const int64_t last = FLastRead.load();
        if (last == 0) return Format("%s: connecting/reading canceled", AFileName);
        const int timeout = FReadTimeout.load();
        if (timeout > 0 && NowMicros() - last > int64_t(timeout) * 1000)
            return Format("%s: connecting/reading timeout", AFileName);
        return std::string();
    };
    // Taken before the open: what is recorded is what was opened.
    const TProbeKey key = AFormatName.empty() ? TProbeCache::KeyOf(AFileName) : TProbeKey{};
    int r;
    try {
        r = OpenInputFile(&FFormatContext, AFileName, format, nullptr, AVFMT_FLAG_NONBLOCK);
    } catch (const EFileNameTooLong& e) {
        ReportError(llError, e.what());
        return false;
    }
    if (r < 0) {
        const std::string why = interrupted();
        ReportError(llError, why.empty() ? MediaErrorText(AFileName, r) : why);
        CloseFile();
        return false;
    }
    FOwnsContext = true;
    if (avformat.avformat_find_stream_info(FFormatContext, nullptr) < 0) {
        const std::string why = interrupted();
        FLastErrMsg = why.empty() ? Format("%s: could not find codec parameters", AFileName) : why;
        CloseFile();
        return false;
    }
    if (interrupted().empty()) TProbeCache::Global().Store(key, FFormatContext);  // not cut short
    RefreshFileInfo();
    FForceFormat = AFormatName;
    return true;
}

bool TCustomDecoder::ReadTimeoutCheck(void* ASender) {
    const auto* self = static_cast<const TCustomDecoder*>(ASender);
    const int64_t last = self->FLastRead.load();
    if (last == 0) return true;
    const int timeout = self->FReadTimeout.load();
    return timeout > 0 && last != INT64_MAX && NowMicros() - last > int64_t(timeout) * 1000;
}

void TCustomDecoder::CloseFile() {
    FForceFormat.clear();
    if (FFormatContext) {
        if (FOwnsContext)
            CloseInputFile(&FFormatContext);
        FFormatContext = nullptr;
        FOwnsContext = false;
    }
    RefreshFileInfo();
}

void TCustomDecoder::SetFileHandle(AVFormatContext* AValue) {
    if (AValue == FFormatContext) return;
    LibraryCheck();
    CloseFile();
    FOwnsContext = false;
    FFormatContext = AValue;
    RefreshFileInfo();
}

void TCustomDecoder::RefreshFileInfo() {
    FFileSize = -1;
    FStreamCount = FProgramCount = -1;
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
    FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
    if (!FFormatContext) return;

    const int64_t own = FFormatContext->pb ? avformat.avio_size(FFormatContext->pb) : 0;
    if (own > 0) {
        FFileSize = own;
    } else {
        std::error_code ec;
        const auto path = Utf8ToPath(URLToFileName(FFormatContext->url ? FFormatContext->url : ""));
        if (!path.empty() && std::filesystem::is_regular_file(path, ec)) {
            const auto size = std::filesystem::file_size(path, ec);
            FFileSize = ec ? -1 : static_cast<int64_t>(size);
        } else {
            FFileSize = own;
        }
    }

    FStreamCount = static_cast<int>(FFormatContext->nb_streams);
    FProgramCount = static_cast<int>(FFormatContext->nb_programs);
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
    for (int i = 0; i < FStreamCount; ++i) {
        switch (FFormatContext->streams[i]->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                if (FVideoStreamCount++ == 0) FFirstVideoStreamIndex = i;
                break;
            case AVMEDIA_TYPE_AUDIO:
                if (FAudioStreamCount++ == 0) FFirstAudioStreamIndex = i;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                if (FSubtitleStreamCount++ == 0) FFirstSubtitleStreamIndex = i;
                break;
            default:
                break;
        }
    }
}

std::string TCustomDecoder::FileName() const {
    if (!CheckFileLoaded()) return "";
    return URLToFileName(FFormatContext->url ? FFormatContext->url : "");
}

std::string TCustomDecoder::FormatName() const {
    if (!CheckFileLoaded()) return "";
    return FFormatContext->iformat ? FFormatContext->iformat->name : "";
}

std::string TCustomDecoder::FormatLongName() const {
    if (!CheckFileLoaded()) return "";
    return FFormatContext->iformat && FFormatContext->iformat->long_name
               ? FFormatContext->iformat->long_name
               : "";
}

TFileStreamInfo TCustomDecoder::FileStreamInfo() const {
    TFileStreamInfo info;
    if (!CheckFileLoaded()) return info;
    const AVFormatContext* c = FFormatContext;
    info.StartTime = c->start_time == kNoPTS ? -1 : c->start_time;
    info.Duration = c->duration == kNoPTS ? -1 : c->duration;
    info.BitRate = static_cast<int>(c->bit_rate);
    // This generation keeps the time stamp, year and track only as tags.
    const std::string created = Tag(c->metadata, "creation_time");
    int64_t t = 0;
    if (!created.empty() && avutil.av_parse_time(&t, created.c_str(), 0) >= 0)
        info.TimeStamp = t / 1000000;
    else
        info.TimeStamp = 0;
    std::string year = Tag(c->metadata, "year");
    if (year.empty()) year = Tag(c->metadata, "date");
    info.Year = std::max(0, LeadingNumber(year));
    info.Track = std::max(0, LeadingNumber(Tag(c->metadata, "track")));
    info.Title = Tag(c->metadata, "title");
    info.Author = Tag(c->metadata, "author");
    if (info.Author.empty()) info.Author = Tag(c->metadata, "artist");
    info.Copyright = Tag(c->metadata, "copyright");
    info.Comment = Tag(c->metadata, "comment");
    info.Album = Tag(c->metadata, "album");
    info.Genre = Tag(c->metadata, "genre");
    info.AlbumArtist = Tag(c->metadata, "album_artist");
    info.Disc = std::max(0, LeadingNumber(Tag(c->metadata, "disc")));
    return info;
}

int TCustomDecoder::StreamOfKind(int AStreamIndex, int AType, const char* AKindName,
                                 int AFirst) const {
    if (!CheckFileLoaded()) return -1;
    if (AStreamIndex < 0) {
        if (AFirst < 0) ReportError(llError, Format("no %s stream.", AKindName));
        return AFirst;
    }
    if (AStreamIndex >= FStreamCount) {
        ReportError(llError, Format("stream index #%d is invalid.", AStreamIndex));
        return -1;
    }
    if (FFormatContext->streams[AStreamIndex]->codecpar->codec_type != AType) {
        ReportError(llError, Format("stream #%d is not %s stream.", AStreamIndex, AKindName));
        return -1;
    }
    return AStreamIndex;
}

namespace {
// The fields audio and video records share.
template <typename TInfo>
void FillCommon(TInfo& AInfo, AVStream* AStream, bool ATimes) {
    AInfo.Language = Tag(AStream->metadata, "language");
    TCodecContextPtr cc(avcodec.avcodec_alloc_context3(nullptr));
    if (cc && avcodec.avcodec_parameters_to_context(cc.get(), AStream->codecpar) >= 0)
        AInfo.CodecName = CodecNameText(cc.get(), false);
    if constexpr (requires { AInfo.StartTimeScaled; }) {
        if (!ATimes) return;
        AInfo.StartTime = AStream->start_time;
        AInfo.Duration = AStream->duration;
        if (AStream->time_base.den == 0)
            AStream->time_base.den = AStream->time_base.num ? AStream->time_base.num : 1;
        const AVRational us = {1, 1000000};
        if (AStream->start_time != kNoPTS)
            AInfo.StartTimeScaled = avutil.av_rescale_q(AStream->start_time, AStream->time_base, us);
        if (AStream->duration != kNoPTS)
            AInfo.DurationScaled = avutil.av_rescale_q(AStream->duration, AStream->time_base, us);
        AInfo.BitRate = static_cast<int>(AStream->codecpar->bit_rate);
    }
}
}  // namespace

TAudioStreamInfo TCustomDecoder::GetAudioStreamInfo(int AStreamIndex) const {
    TAudioStreamInfo info;
    const int i = StreamOfKind(AStreamIndex, AVMEDIA_TYPE_AUDIO, "audio", FFirstAudioStreamIndex);
    if (i < 0) return info;
    AVStream* st = FFormatContext->streams[i];
    FillCommon(info, st, true);
    info.Channels = st->codecpar->ch_layout.nb_channels;
    info.SampleRate = st->codecpar->sample_rate;
    info.SampleFormat = st->codecpar->format;
    return info;
}

std::string TCustomDecoder::AudioProblem() {
    if (!CheckFileLoaded()) return FLastErrMsg;
    const int index = FFirstAudioStreamIndex;
    if (index < 0) return "no audio stream";
    const AVStream* st = FFormatContext->streams[index];
    const AVCodecParameters* par = st->codecpar;
    if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return "the audio stream has no sample rate or channels";
    if (par->sample_rate < 1000) return Format("the audio stream claims a sample rate of %d Hz", par->sample_rate);
    // A format recognised by its content is taken at its word; one guessed from the name (or
    // barely recognised) must give a frame.
    if (FFormatContext->probe_score > AVPROBE_SCORE_EXTENSION) return {};
    const AVCodec* codec = avcodec.avcodec_find_decoder(par->codec_id);
    if (!codec) return "no decoder for the audio stream";
    TLockedDecoder decoder;
    decoder.Context.reset(avcodec.avcodec_alloc_context3(codec));
    AVCodecContext* dec = decoder.Context.get();
    if (!dec) return "out of memory";
    int r = avcodec.avcodec_parameters_to_context(dec, par);
    if (r >= 0) {
        dec->pkt_timebase = st->time_base;
        dec->thread_count = 1;
        TCodecLockGuard lock;
        r = avcodec.avcodec_open2(dec, codec, nullptr);
    }
    if (r < 0) return "the audio decoder cannot be opened";
    TPacketPtr packet(avcodec.av_packet_alloc());
    TFramePtr frame(avutil.av_frame_alloc());
    if (!packet || !frame) return "out of memory";
    // A few dozen packets of the stream are enough for any codec's first frame.
    for (int packets = 0; packets < 64;) {
        r = avformat.av_read_frame(FFormatContext, packet.get());
        if (r < 0) break;
        if (packet->stream_index == index) {
            ++packets;
            avcodec.avcodec_send_packet(dec, packet.get());
        }
        avcodec.av_packet_unref(packet.get());
        if (avcodec.avcodec_receive_frame(dec, frame.get()) >= 0 && frame->nb_samples > 0) return {};
    }
    avcodec.avcodec_send_packet(dec, nullptr);
    if (avcodec.avcodec_receive_frame(dec, frame.get()) >= 0 && frame->nb_samples > 0) return {};
    return "no audio frame decodes";
}

TVideoStreamInfo TCustomDecoder::GetVideoStreamInfo(int AStreamIndex) const {
    TVideoStreamInfo info;
    const int i = StreamOfKind(AStreamIndex, AVMEDIA_TYPE_VIDEO, "video", FFirstVideoStreamIndex);
    if (i < 0) return info;
    AVStream* st = FFormatContext->streams[i];
    FillCommon(info, st, true);
    const AVCodecParameters* p = st->codecpar;
    info.Height = p->height;
    info.Width = p->width;
    const double sar = p->sample_aspect_ratio.num && p->sample_aspect_ratio.den
                           ? double(p->sample_aspect_ratio.num) / p->sample_aspect_ratio.den
                           : 0.0;
    info.AspectRatio = p->height ? static_cast<float>(p->width * sar / p->height) : 0.0f;
    info.PixFmt = p->format;
    const AVRational rate =
        st->avg_frame_rate.num && st->avg_frame_rate.den ? st->avg_frame_rate : st->r_frame_rate;
    info.FrameRate = {rate.num, rate.den};
    return info;
}

TSubtitleStreamInfo TCustomDecoder::GetSubtitleStreamInfo(int AStreamIndex) const {
    TSubtitleStreamInfo info;
    const int i =
        StreamOfKind(AStreamIndex, AVMEDIA_TYPE_SUBTITLE, "subtitle", FFirstSubtitleStreamIndex);
    if (i < 0) return info;
    FillCommon(info, FFormatContext->streams[i], false);
    return info;
}

bool TCustomDecoder::IsStreamKind(int AStreamIndex, int AType) const {
    if (!CheckFileLoaded()) return false;
    if (AStreamIndex < 0 || AStreamIndex >= FStreamCount) {
        ReportError(llError, Format("stream index #%d is invalid.", AStreamIndex));
        return false;
    }
    return FFormatContext->streams[AStreamIndex]->codecpar->codec_type == AType;
}

bool TCustomDecoder::IsAudioStream(int AStreamIndex) const {
    return IsStreamKind(AStreamIndex, AVMEDIA_TYPE_AUDIO);
}

bool TCustomDecoder::IsVideoStream(int AStreamIndex) const {
    return IsStreamKind(AStreamIndex, AVMEDIA_TYPE_VIDEO);
}

bool TCustomDecoder::IsSubtitleStream(int AStreamIndex) const {
    return IsStreamKind(AStreamIndex, AVMEDIA_TYPE_SUBTITLE);
}

std::string TCustomDecoder::FileInfoText() const {
    if (!CheckFileLoaded()) return "";
    const AVFormatContext* c = FFormatContext;
    std::vector<std::string> lines;
    lines.push_back("File Name: " + URLToFileName(c->url ? c->url : ""));
    lines.push_back(std::string("Format Name: ") + (c->iformat ? c->iformat->name : ""));
    if (c->iformat && c->iformat->long_name)
        lines.push_back(std::string("Format Long Name: ") + c->iformat->long_name);
    lines.push_back("File Size: " + SizeText(FFileSize));
    const TFileStreamInfo info = FileStreamInfo();
    lines.push_back(info.Duration < 0 ? "Duration: N/A" : "Duration: " + DurationText(info.Duration));
    if (info.StartTime >= 0) lines.push_back("StartTime: " + SecondsText(info.StartTime));
    lines.push_back(info.BitRate < 1 ? "Bit Rate: N/A"
                                     : Format("Bit Rate: %d kb/s", info.BitRate / 1000));
    if (info.TimeStamp > 0) {
        std::tm tm{};
        LocalTime(info.TimeStamp, tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        lines.push_back(std::string("Time Stamp: ") + buf);
    }
    AddMetadataBlock(lines, c->metadata, "");
    for (unsigned i = 0; i < c->nb_chapters; ++i) {
        const AVChapter* ch = c->chapters[i];
        const double tb = double(ch->time_base.num) / ch->time_base.den;
        lines.push_back(Format("Chapter #%d: start %.2f, end %.2f", static_cast<int>(i),
                               ch->start * tb, ch->end * tb));
        AddMetadataBlock(lines, ch->metadata, "  ");
    }
    std::vector<bool> listed(c->nb_streams, false);
    for (unsigned i = 0; i < c->nb_programs; ++i) {
        const AVProgram* p = c->programs[i];
        // This generation names the tags "service_provider" and "service_name".
        std::string provider = Tag(p->metadata, "provider_name");
        if (provider.empty()) provider = Tag(p->metadata, "service_provider");
        std::string name = Tag(p->metadata, "name");
        if (name.empty()) name = Tag(p->metadata, "service_name");
        lines.push_back(Format("Program %d %s", p->id,
                               (provider.empty() ? "N/A" : provider) + "@" +
                                   (name.empty() ? "N/A" : name)));
        AddMetadataBlock(lines, p->metadata, "  ");
        for (unsigned k = 0; k < p->nb_stream_indexes; ++k) {
            const unsigned s = p->stream_index[k];
            if (s >= c->nb_streams) continue;
            lines.push_back(StreamLine(c, static_cast<int>(s)));
            AddMetadataBlock(lines, c->streams[s]->metadata, "  ");
            listed[s] = true;
        }
    }
    for (unsigned s = 0; s < c->nb_streams; ++s) {
        if (listed[s]) continue;
        lines.push_back(StreamLine(c, static_cast<int>(s)));
        AddMetadataBlock(lines, c->streams[s]->metadata, "  ");
    }
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    return text;
}
