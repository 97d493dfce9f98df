#include "FFmpeg.h"

#include <chrono>
#include <ctime>
#include <filesystem>

#include "Assert.h"
#include "Convert.h"
#include "FFLog.h"
#include "Format.h"
#include "Platform.h"

namespace {

// Option flag that selects each template type's codec options (video, audio, data, subtitle,
// attachment); 0 matches every option.
constexpr int kTemplateFlags[kTemplateTypes] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                                AV_OPT_FLAG_SUBTITLE_PARAM, 0};

bool BoolValue(const std::string& AValue) { return AValue != "0"; }

// Largest media time or duration taken (about 142 years): sums and differences of two such
// times never leave the 64-bit range.
constexpr int64_t kMaxMediaTime = int64_t(1) << 52;

// Microseconds of a duration or date; "Invalid ... specification" when the parser refuses it or
// a duration lies beyond any media time.
int64_t ParseTime(const std::string& AName, const std::string& AValue, bool ADuration) {
    int64_t us = 0;
    if (avutil.av_parse_time(&us, AValue.c_str(), ADuration ? 1 : 0) < 0 ||
        (ADuration && (us > kMaxMediaTime || us < -kMaxMediaTime)))
        throw FFmpegException(Format("Invalid %s specification for %s: %s",
                                     ADuration ? "duration" : "date", AName, AValue));
    return us;
}

// The decimal integer at the start of AText from APos on; APos moves past it.
int LeadingInt(const std::string& AText, size_t& APos) {
    size_t end = APos;
    if (end < AText.size() && (AText[end] == '-' || AText[end] == '+')) ++end;
    while (end < AText.size() && isdigit(static_cast<unsigned char>(AText[end]))) ++end;
    const int v = StrToInt(AText.substr(APos, end - APos));
    APos = end;
    return v;
}

// A metadata map end: file index optionally followed by "," and a type letter with an index.
TMetaDataSpec ParseMetaSpec(const std::string& AText, size_t& APos) {
    TMetaDataSpec s;
    s.file = LeadingInt(AText, APos);
    if (APos < AText.size() && AText[APos] == ',') {
        ++APos;
        s.type = APos < AText.size() ? AText[APos] : '\0';
        switch (s.type) {
            case 'g': ++APos; break;
            case 's':
            case 'c':
            case 'p':
                ++APos;
                s.index = LeadingInt(AText, APos);
                break;
            default:
                throw FFmpegException(
                    Format("Invalid metadata type %s.", AText.substr(APos, 1)));
        }
    }
    return s;
}

uint32_t TagValue(const std::string& AValue) {
    int v = 0;
    if (TryStrToInt(AValue, v)) return static_cast<uint32_t>(v);
    if (AValue.size() != 4) throw FFmpegException("tag parameter must be 4 chars or int value");
    return MKTAG(AValue[0], AValue[1], AValue[2], AValue[3]);
}

// The object argument of an option search through a class alone (AV_OPT_SEARCH_FAKE_OBJ).
void* FakeObject(const AVClass* const* AClass) {
    return const_cast<void*>(static_cast<const void*>(AClass));
}

std::filesystem::path ProgramFolder() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
}

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() { CreateTemplates(); }

void TCustomFFmpeg::CreateTemplates() {
    QAC_ASSERT(avcodec.avcodec_alloc_context3 && swscale.sws_getContext,
               "media libraries not loaded");
    for (int t = 0; t < kTemplateTypes; ++t) {
        FCodecTemplates[t].reset(avcodec.avcodec_alloc_context3(nullptr));
        if (!FCodecTemplates[t]) throw FFmpegException("out of memory.");
        FCodecTemplates[t]->codec_type = static_cast<AVMediaType>(t);
    }
    FFormatTemplate.reset(avformat.avformat_alloc_context());
    FScalerTemplate.reset(swscale.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16,
                                                 AV_PIX_FMT_YUV420P, FOptions->sws_flags, nullptr,
                                                 nullptr, nullptr));
    if (!FFormatTemplate || !FScalerTemplate) throw FFmpegException("out of memory.");
}

void TCustomFFmpeg::ResetOptions() {
    *FOptions = TOptionState();  // in place: references to the state stay valid
    FLastOptionErr.clear();
    FTotalOutputDuration = -1;
    CreateTemplates();
}

void TCustomFFmpeg::EnsureTemplates() {
    if (!FFormatTemplate) CreateTemplates();
}

void TCustomFFmpeg::SetExtOption(const std::string& AName, const std::string& AValue) {
    EnsureTemplates();
    for (const TOptionRow& row : OptionRows())
        if (AName == row.Name) {
            row.Apply(*this, AName, AValue);
            return;
        }
    GenericOrHalt(AName, AValue);
}

// A private option of some codec or muxer.
static bool IsPrivateOption(const std::string& AName) {
    void* it = nullptr;
    while (const AVCodec* c = avcodec.av_codec_iterate(&it))
        if (c->priv_class && avutil.av_opt_find(FakeObject(&c->priv_class), AName.c_str(), nullptr,
                                                0, AV_OPT_SEARCH_FAKE_OBJ))
            return true;
    it = nullptr;
    while (const AVOutputFormat* f = avformat.av_muxer_iterate(&it))
        if (f->priv_class && avutil.av_opt_find(FakeObject(&f->priv_class), AName.c_str(), nullptr,
                                                0, AV_OPT_SEARCH_FAKE_OBJ))
            return true;
    return false;
}

bool TCustomFFmpeg::GenericOrHalt(const std::string& AName, const std::string& AValue) {
    if (SetGenericOption(AName, AValue)) return true;
    if (HaltOnInvalidOption) throw FFmpegException(FLastOptionErr);
    return false;
}

// AName is a library option: found on a template (a codec, the format, the scaler, or a codec
// of the kind its first letter names) and accepted there, or a private option of some codec or
// muxer, checked when their contexts are created. False with FLastOptionErr otherwise.
bool TCustomFFmpeg::SetGenericOption(const std::string& AName, const std::string& AValue) {
    if (Trim(AName).empty()) {
        FLastOptionErr = Format("Unrecognized option \"%s\"", AName);
        return false;
    }
    int ret = 0;
    AVMediaType kind = AVMEDIA_TYPE_UNKNOWN;
    const AVOption* found = SetOnTemplates(AName, AValue, ret, kind);
    if (found && ret < 0) {
        avutil.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n",
                      AValue.c_str(), AName.c_str());
        FLastOptionErr = Format("Invalid value \"%s\" for option \"%s\"", AValue, AName);
        return false;
    }
    if (!found && !IsPrivateOption(AName)) {
        avutil.av_log(nullptr, AV_LOG_ERROR, "Unrecognized option \"%s\"\n", AName.c_str());
        FLastOptionErr = Format("Unrecognized option \"%s\"", AName);
        return false;
    }
    FOptions->generic_options.push_back(
        {found ? found->name : AName, AValue, found ? kind : AVMEDIA_TYPE_UNKNOWN});
    int64_t vdebug = 0, fdebug = 0;
    avutil.av_opt_get_int(FCodecTemplates[AVMEDIA_TYPE_VIDEO].get(), "debug", 0, &vdebug);
    avutil.av_opt_get_int(FFormatTemplate.get(), "fdebug", 0, &fdebug);
    if (vdebug || fdebug) TheLogger()->SetLogLevel(llDebug);
    return true;
}

// The option set on every codec template that knows it, else on the format or the scaler
// template (the scaler's flags kept), else on the codec template of the kind its first letter
// names ("a", "v", "s"; AKind). The option found, or null; ARet is the last setter's result.
const AVOption* TCustomFFmpeg::SetOnTemplates(const std::string& AName, const std::string& AValue,
                                              int& ARet, AVMediaType& AKind) {
    const AVOption* found = nullptr;
    auto trySet = [&](void* AObj, const char* AOptName, int AFlags) {
        const AVOption* o = avutil.av_opt_find(AObj, AOptName, nullptr, AFlags, 0);
        if (!o) return;
        found = o;
        ARet = avutil.av_opt_set(AObj, AOptName, AValue.c_str(), 0);
    };
    for (int t = 0; t < kTemplateTypes && ARet >= 0; ++t)
        trySet(FCodecTemplates[t].get(), AName.c_str(), kTemplateFlags[t]);
    if (found) return found;
    trySet(FFormatTemplate.get(), AName.c_str(), 0);
    if (found) return found;
    trySet(FScalerTemplate.get(), AName.c_str(), 0);
    if (found) {
        int64_t flags = 0;
        if (ARet >= 0 && avutil.av_opt_get_int(FScalerTemplate.get(), "sws_flags", 0, &flags) >= 0)
            FOptions->sws_flags = static_cast<int>(flags);
        return found;
    }
    if (AName.size() < 2) return nullptr;
    switch (AName[0]) {
        case 'a': AKind = AVMEDIA_TYPE_AUDIO; break;
        case 'v': AKind = AVMEDIA_TYPE_VIDEO; break;
        case 's': AKind = AVMEDIA_TYPE_SUBTITLE; break;
        default: return nullptr;
    }
    trySet(FCodecTemplates[AKind].get(), AName.c_str() + 1, 0);
    return found;
}

void TCustomFFmpeg::ApplyGenericOptions(void* AObj, int AFlags) const {
    const AVMediaType ctxKind = (AFlags & AV_OPT_FLAG_AUDIO_PARAM)      ? AVMEDIA_TYPE_AUDIO
                                : (AFlags & AV_OPT_FLAG_VIDEO_PARAM)    ? AVMEDIA_TYPE_VIDEO
                                : (AFlags & AV_OPT_FLAG_SUBTITLE_PARAM) ? AVMEDIA_TYPE_SUBTITLE
                                                                        : AVMEDIA_TYPE_UNKNOWN;
    for (const TGenericOption& g : FOptions->generic_options) {
        if (g.kind != AVMEDIA_TYPE_UNKNOWN && g.kind != ctxKind) continue;
        const std::string& name = g.name;
        const std::string& value = g.value;
        // The context's own option first: a private option of the same name (libx264 "profile")
        // takes other values than the one the template accepted.
        int search = 0;
        if (!avutil.av_opt_find(AObj, name.c_str(), nullptr, AFlags, search)) {
            search = AV_OPT_SEARCH_CHILDREN;
            if (!avutil.av_opt_find(AObj, name.c_str(), nullptr, AFlags, search)) continue;
        }
        if (avutil.av_opt_set(AObj, name.c_str(), value.c_str(), search) < 0)
            throw FFmpegException(Format("Invalid value \"%s\" for option \"%s\"", value, name));
    }
}

void TCustomFFmpeg::SetCodecName(AVMediaType AType, const std::string& AValue) {
    if (AValue.empty()) return;
    TStreamKindOptions& k = FOptions->Kind(AType);
    k.stream_copy = AValue == "copy";
    k.codec_name = k.stream_copy ? std::string() : AValue;
}

void TCustomFFmpeg::SetBitRate(const std::string& AName, const std::string& AValue) {
    if (!GenericOrHalt(AName, AValue)) return;
    const AVMediaType t = AName[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    int64_t rate = 0;
    if (avutil.av_opt_get_int(FCodecTemplates[t].get(), "b", 0, &rate) >= 0 && rate < 1000)
        TheLogger()->Log(this, llWarning,
                         "WARNING: The bitrate parameter is set too low. It takes bits/s as "
                         "argument, not kbits/s");
}

namespace {
using TSelf = TCustomFFmpeg;
using TStr = const std::string&;
}  // namespace

const std::vector<TCustomFFmpeg::TOptionRow>& TCustomFFmpeg::OptionRows() {
    auto nothing = [](TSelf& s, TStr n, TStr) {
        TheLogger()->Log(&s, llInfo, "Do nothing: option - " + n);
    };
    auto removedCrop = [](TSelf&, TStr, TStr) {
        throw FFmpegException("Removed, use the crop filter instead");
    };
    auto removedPad = [](TSelf&, TStr, TStr) {
        throw FFmpegException("Removed, use the pad filter instead");
    };
    auto bitRate = [](TSelf& s, TStr n, TStr v) { s.SetBitRate(n, v); };
    auto preset = [](TSelf& s, TStr n, TStr v) { s.ApplyPresetOption(n, v); };
    auto bsf = [](TSelf& s, TStr n, TStr v) {
        if (!v.empty() && v[0] == '=') return;
        const std::string name = v.substr(0, v.find('='));
        if (!avcodec.av_bsf_get_by_name(name.c_str()))
            throw FFmpegException(Format("Unknown bitstream filter %s", name));
        const AVMediaType t = n[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
                              : n[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                            : AVMEDIA_TYPE_SUBTITLE;
        s.FOptions->Kind(t).bitstream_filters.push_back(name);
    };
#define QAC_ROW(name, ...) \
    {name, [](TSelf& s, TStr n, TStr v) { (void)s; (void)n; (void)v; __VA_ARGS__; }}
    static const std::vector<TOptionRow> rows = {
        {"L", nothing}, {"h", nothing}, {"version", nothing}, {"formats", nothing},
        {"codecs", nothing}, {"bsfs", nothing}, {"protocols", nothing}, {"filters", nothing},
        QAC_ROW("loglevel", TheLogger()->OptLogLevel(v)),
        QAC_ROW("f", if (!v.empty()) s.FOptions->forced_format = v),
        {"i", nothing}, {"y", nothing},
        QAC_ROW("map", {
            TStreamMap m;
            size_t p = 0;
            m.file_index = LeadingInt(v, p);
            if (p < v.size()) ++p;
            m.stream_index = LeadingInt(v, p);
            if (p < v.size()) {
                ++p;
                m.sync_file_index = LeadingInt(v, p);
                if (p < v.size()) ++p;
                m.sync_stream_index = LeadingInt(v, p);
            } else {
                m.sync_file_index = m.file_index;
                m.sync_stream_index = m.stream_index;
            }
            s.FOptions->stream_maps.push_back(m);
        }),
        QAC_ROW("map_meta_data", {
            TMetaDataMap m;
            size_t p = 0;
            m.out = ParseMetaSpec(v, p);
            if (p < v.size()) ++p;
            m.in = ParseMetaSpec(v, p);
            for (char t : {m.out.type, m.in.type}) {
                if (t == 'g') s.FOptions->metadata_global_autocopy = 0;
                if (t == 's') s.FOptions->metadata_streams_autocopy = 0;
                if (t == 'c') s.FOptions->metadata_chapters_autocopy = 0;
            }
            s.FOptions->meta_data_maps.push_back(m);
        }),
        QAC_ROW("map_chapters", {
            TChapterMap c;
            size_t p = 0;
            c.out_file = LeadingInt(v, p);
            if (p < v.size()) ++p;
            c.in_file = LeadingInt(v, p);
            s.FOptions->chapter_maps.push_back(c);
        }),
        QAC_ROW("t", {
            s.FOptions->recording_time = ParseTime(n, v, true);
            s.FTotalOutputDuration = s.FOptions->recording_time;
        }),
        QAC_ROW("fs", s.FOptions->limit_filesize = StrToInt64(v)),
        QAC_ROW("ss", s.FOptions->start_time = ParseTime(n, v, true)),
        QAC_ROW("itsoffset", s.FOptions->input_ts_offset = ParseTime(n, v, true)),
        QAC_ROW("itsscale", {
            size_t p = 0;
            const int stream = LeadingInt(v, p);
            if (p < v.size()) ++p;
            const double scale = StrToFloat(v.substr(p));
            if (stream < 0 || stream >= kMaxStreams)
                throw FFmpegException(Format("stream index over MAX_STREAMS(%d)", kMaxStreams));
            s.FOptions->input_ts_scale[stream] = scale;
        }),
        QAC_ROW("timestamp", s.FOptions->recording_timestamp = ParseTime(n, v, false) / 1000000),
        QAC_ROW("metadata", {
            const size_t eq = v.find('=');
            if (eq == std::string::npos) throw FFmpegException("Missing =");
            if (eq == 0) throw FFmpegException("wrong parameter of metadata");
            auto& md = s.FOptions->metadata;
            const std::string key = v.substr(0, eq);
            std::erase_if(md, [&](const auto& kv) { return kv.first == key; });
            md.emplace_back(key, v.substr(eq + 1));
        }),
        QAC_ROW("dframes", s.FOptions->max_frames[AVMEDIA_TYPE_DATA] = StrToInt(v)),
        {"benchmark", nothing},
        QAC_ROW("timelimit", TheLogger()->Log(&s, llWarning,
                                              "Warning: -timelimit not implemented on Windows")),
        QAC_ROW("dump", s.FOptions->do_pkt_dump = BoolValue(v)),
        QAC_ROW("hex", s.FOptions->do_hex_dump = BoolValue(v)),
        QAC_ROW("re", s.FOptions->rate_emu = BoolValue(v)),
        QAC_ROW("loop_input", s.FOptions->loop_input = BoolValue(v)),
        QAC_ROW("loop_output", s.FOptions->loop_output = StrToInt(v)),
        QAC_ROW("v", s.FOptions->verbose = StrToInt(v)),
        QAC_ROW("target", s.SetTarget(v)),
        QAC_ROW("threads", {
            s.FOptions->thread_count = StrToInt(v);
            if (s.FOptions->verbose >= 0)
                TheLogger()->Log(&s, llVerbose,
                                 "Warning: if the ffmpeg libraries were not compiled with thread "
                                 "support, it would be using thread emulation.");
        }),
        QAC_ROW("vsync", s.FOptions->video_sync_method = StrToInt(v)),
        QAC_ROW("async", s.FOptions->audio_sync_method = StrToInt(v)),
        QAC_ROW("adrift_threshold", s.FOptions->audio_drift_threshold = StrToFloat(v)),
        QAC_ROW("vglobal", s.FOptions->video_global_header = StrToInt(v) != 0),
        QAC_ROW("copyts", s.FOptions->copy_ts = BoolValue(v)),
        QAC_ROW("copytb", s.FOptions->copy_tb = BoolValue(v)),
        QAC_ROW("shortest", s.FOptions->opt_shortest = BoolValue(v)),
        QAC_ROW("dts_delta_threshold", s.FOptions->dts_delta_threshold = StrToFloat(v)),
        QAC_ROW("programid", s.FOptions->opt_programid = StrToInt(v)),
        QAC_ROW("xerror", s.FOptions->exit_on_error = BoolValue(v)),
        QAC_ROW("copyinkf", s.FOptions->copy_initial_nonkeyframes = StrToInt(v)),
        {"b", bitRate}, {"vb", bitRate},
        QAC_ROW("vframes", s.FOptions->max_frames[AVMEDIA_TYPE_VIDEO] = StrToInt(v)),
        QAC_ROW("r", {
            AVRational q{0, 0};
            if (avutil.av_parse_video_rate(&q, v.c_str()) < 0 || q.num <= 0 || q.den <= 0)
                throw FFmpegException("Incorrect frame rate");
            s.FOptions->frame_rate = q;
        }),
        QAC_ROW("s", {
            int w = 0, h = 0;
            if (avutil.av_parse_video_size(&w, &h, v.c_str()) < 0)
                throw FFmpegException("Incorrect frame size");
            s.FOptions->frame_width = w;
            s.FOptions->frame_height = h;
        }),
        QAC_ROW("aspect", {
            double ar = 0.0, x = 0.0, y = 0.0;
            const size_t colon = v.find(':');
            if (colon != std::string::npos) {
                if (TryStrToFloat(v.substr(0, colon), x) && TryStrToFloat(v.substr(colon + 1), y) &&
                    y != 0.0)
                    ar = x / y;
            } else if (!TryStrToFloat(v, ar)) {
                ar = 0.0;
            }
            if (!(ar > 0.0)) throw FFmpegException("Incorrect aspect ratio specification.");
            s.FOptions->frame_aspect_ratio = ar;
        }),
        QAC_ROW("pix_fmt", {
            if (v == "list") {
                for (int f = 0; f < AV_PIX_FMT_NB; ++f)
                    if (const char* name = avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(f)))
                        TheLogger()->Log(&s, llInfo, std::string(name));
                return;
            }
            const AVPixelFormat f = avutil.av_get_pix_fmt(v.c_str());
            if (f == AV_PIX_FMT_NONE)
                throw FFmpegException(Format("Unknown pixel format requested: %s", v));
            s.FOptions->frame_pix_fmt = f;
        }),
        {"croptop", removedCrop}, {"cropbottom", removedCrop}, {"cropleft", removedCrop},
        {"cropright", removedCrop}, {"padtop", removedPad}, {"padbottom", removedPad},
        {"padleft", removedPad}, {"padright", removedPad}, {"padcolor", removedPad},
        QAC_ROW("intra", s.FOptions->intra_only = BoolValue(v)),
        QAC_ROW("vn", s.FOptions->video.disable = BoolValue(v)),
        QAC_ROW("vdt", s.FOptions->video_discard = StrToInt(v)),
        QAC_ROW("qscale", {
            const double q = StrToFloat(v);
            if (q <= 0.0 || q > 255.0) throw FFmpegException("qscale must be > 0.0 and <= 255");
            s.FOptions->video_qscale = q;
        }),
        QAC_ROW("rc_override", s.FOptions->video_rc_override_string = v),
        QAC_ROW("vcodec", s.SetCodecName(AVMEDIA_TYPE_VIDEO, v)),
        QAC_ROW("me_threshold", s.FOptions->me_threshold = StrToInt(v)),
        QAC_ROW("sameq", s.FOptions->same_quality = BoolValue(v)),
        QAC_ROW("pass", {
            const int pass = StrToInt(v);
            if (pass != 1 && pass != 2) throw FFmpegException("pass number can be only 1 or 2");
            s.FOptions->do_pass = pass;
        }),
        QAC_ROW("passlogfile", s.FOptions->pass_logfilename_prefix = v),
        QAC_ROW("deinterlace", s.FOptions->do_deinterlace = BoolValue(v)),
        QAC_ROW("psnr", s.FOptions->do_psnr = BoolValue(v)),
        QAC_ROW("vstats", {
            std::tm tm{};
            LocalTime(std::time(nullptr), tm);
            std::string folder = ProgramFolder().string();
            if (!folder.empty() && folder.back() != std::filesystem::path::preferred_separator)
                folder += std::filesystem::path::preferred_separator;
            s.FOptions->vstats_filename =
                Format("%svstats_%s.log", folder,
                       Format("%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec));
        }),
        QAC_ROW("vstats_file", s.FOptions->vstats_filename = v),
        QAC_ROW("vhook", s.FOptions->vhook = v),
        QAC_ROW("vfilters", s.FOptions->vfilters = v),
        QAC_ROW("vf", s.FOptions->vfilters = v),
        QAC_ROW("intra_matrix", s.FOptions->intra_matrix = v),
        QAC_ROW("inter_matrix", s.FOptions->inter_matrix = v),
        QAC_ROW("top", s.FOptions->top_field_first = StrToInt(v)),
        QAC_ROW("dc", s.FOptions->intra_dc_precision = StrToInt(v)),
        QAC_ROW("vtag", if (!v.empty()) s.FOptions->video.codec_tag = TagValue(v)),
        QAC_ROW("newvideo", s.NewOutputStream(AVMEDIA_TYPE_VIDEO)),
        QAC_ROW("vlang", s.FOptions->video.language = v),
        QAC_ROW("qphist", s.FOptions->do_qp_histogram = BoolValue(v)),
        QAC_ROW("force_fps", s.FOptions->force_fps = BoolValue(v)),
        QAC_ROW("streamid", {
            const size_t colon = v.find(':');
            if (colon == std::string::npos)
                throw FFmpegException(Format(
                    "Invalid value \"%s\" for option \"%s\", required syntax is 'index:value'", v,
                    n));
            const int idx = StrToInt(v.substr(0, colon));
            if (idx < 0 || idx >= kMaxStreams)
                throw FFmpegException(Format("stream index over MAX_STREAMS(%d)", kMaxStreams));
            auto& ids = s.FOptions->streamid_map;
            if (ids.size() <= static_cast<size_t>(idx)) ids.resize(idx + 1, 0);
            ids[idx] = StrToInt(v.substr(colon + 1));
        }),
        QAC_ROW("force_key_frames", s.FOptions->forced_key_frames = v),
        {"ab", bitRate},
        QAC_ROW("aframes", s.FOptions->max_frames[AVMEDIA_TYPE_AUDIO] = StrToInt(v)),
        QAC_ROW("aq", s.FOptions->audio_qscale = StrToFloat(v)),
        QAC_ROW("ar", {
            const int rate = StrToInt(v);
            if (rate > 0) s.FOptions->audio_sample_rate = rate;
        }),
        QAC_ROW("ac", {
            const int channels = StrToInt(v);
            if (channels > 0) s.FOptions->audio_channels = channels;
        }),
        QAC_ROW("an", s.FOptions->audio.disable = BoolValue(v)),
        QAC_ROW("acodec", s.SetCodecName(AVMEDIA_TYPE_AUDIO, v)),
        QAC_ROW("atag", if (!v.empty()) s.FOptions->audio.codec_tag = TagValue(v)),
        QAC_ROW("vol", s.FOptions->audio_volume = StrToInt(v)),
        QAC_ROW("newaudio", s.NewOutputStream(AVMEDIA_TYPE_AUDIO)),
        QAC_ROW("alang", s.FOptions->audio.language = v),
        QAC_ROW("sample_fmt", {
            if (v == "list") {
                char line[128];
                for (int f = -1; f < AV_SAMPLE_FMT_NB; ++f)
                    TheLogger()->Log(&s, llInfo,
                                     std::string(avutil.av_get_sample_fmt_string(
                                         line, sizeof line, static_cast<AVSampleFormat>(f))));
                return;
            }
            const AVSampleFormat f = avutil.av_get_sample_fmt(v.c_str());
            if (f == AV_SAMPLE_FMT_NONE)
                throw FFmpegException(Format("Invalid sample format \"%s\"", v));
            s.FOptions->audio_sample_fmt = f;
        }),
        QAC_ROW("sn", s.FOptions->subtitle.disable = BoolValue(v)),
        QAC_ROW("scodec", s.SetCodecName(AVMEDIA_TYPE_SUBTITLE, v)),
        QAC_ROW("newsubtitle", s.NewOutputStream(AVMEDIA_TYPE_SUBTITLE)),
        QAC_ROW("slang", s.FOptions->subtitle.language = v),
        QAC_ROW("stag", if (!v.empty()) s.FOptions->subtitle.codec_tag = TagValue(v)),
        QAC_ROW("vc", s.FOptions->video_channel = StrToInt(v)),
        QAC_ROW("tvstd", s.FOptions->video_standard = v),
        QAC_ROW("isync", s.FOptions->input_sync = BoolValue(v)),
        QAC_ROW("muxdelay", s.FOptions->mux_max_delay = StrToFloat(v)),
        QAC_ROW("muxpreload", s.FOptions->mux_preload = StrToFloat(v)),
        {"absf", bsf}, {"vbsf", bsf}, {"sbsf", bsf},
        {"apre", preset}, {"vpre", preset}, {"spre", preset}, {"fpre", preset},
    };
#undef QAC_ROW
    return rows;
}
