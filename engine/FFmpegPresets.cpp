// Presets (built-in table and preset files) and the disc-format targets.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Convert.h"
#include "FFLog.h"
#include "FFmpeg.h"
#include "Format.h"
#include "Platform.h"

// Each row keeps the meaning of the libx264 preset of the same name with options that libx264
// of FFmpeg 5.1 accepts: its own presets and first-pass switch, a constant quantiser of 0 for the
// lossless rows, and generic options where the rows limit profile, level and rates (the generic
// "profile" takes the H.264 profile numbers: 66 baseline, 77 main).
const std::vector<TCustomFFmpeg::TPresetRow>& TCustomFFmpeg::BuiltinPresets() {
    static const std::vector<TPresetRow> rows = {
        {"libx264-baseline", "profile=66\n"},
        {"libx264-default", "preset=medium\n"},
        {"libx264-fast", "preset=fast\n"},
        {"libx264-fast_firstpass", "preset=fast\nfastfirstpass=1\n"},
        {"libx264-faster", "preset=faster\n"},
        {"libx264-faster_firstpass", "preset=faster\nfastfirstpass=1\n"},
        {"libx264-fastfirstpass", "preset=medium\nfastfirstpass=1\n"},
        {"libx264-hq", "preset=slow\n"},
        {"libx264-ipod320", "profile=66\nlevel=13\nmaxrate=768000\nbufsize=3000000\n"},
        {"libx264-ipod640", "profile=66\nlevel=30\nmaxrate=10000000\nbufsize=10000000\n"},
        {"libx264-lossless_fast", "preset=fast\nqp=0\n"},
        {"libx264-lossless_max", "preset=placebo\nqp=0\n"},
        {"libx264-lossless_medium", "preset=medium\nqp=0\n"},
        {"libx264-lossless_slow", "preset=slow\nqp=0\n"},
        {"libx264-lossless_slower", "preset=slower\nqp=0\n"},
        {"libx264-lossless_ultrafast", "preset=ultrafast\nqp=0\n"},
        {"libx264-main", "profile=77\n"},
        {"libx264-max", "preset=placebo\n"},
        {"libx264-medium", "preset=medium\n"},
        {"libx264-medium_firstpass", "preset=medium\nfastfirstpass=1\n"},
        {"libx264-normal", "preset=medium\n"},
        {"libx264-placebo", "preset=placebo\n"},
        {"libx264-placebo_firstpass", "preset=placebo\nfastfirstpass=1\n"},
        {"libx264-slow", "preset=slow\n"},
        {"libx264-slow_firstpass", "preset=slow\nfastfirstpass=1\n"},
        {"libx264-slower", "preset=slower\n"},
        {"libx264-slower_firstpass", "preset=slower\nfastfirstpass=1\n"},
        {"libx264-slowfirstpass", "preset=medium\nfastfirstpass=0\n"},
        {"libx264-superfast", "preset=superfast\n"},
        {"libx264-superfast_firstpass", "preset=superfast\nfastfirstpass=1\n"},
        {"libx264-ultrafast", "preset=ultrafast\n"},
        {"libx264-ultrafast_firstpass", "preset=ultrafast\nfastfirstpass=1\n"},
        {"libx264-veryfast", "preset=veryfast\n"},
        {"libx264-veryfast_firstpass", "preset=veryfast\nfastfirstpass=1\n"},
        {"libx264-veryslow", "preset=veryslow\n"},
        {"libx264-veryslow_firstpass", "preset=veryslow\nfastfirstpass=1\n"},
    };
    return rows;
}

namespace {

const char* FindPreset(const std::string& AName) {
    for (const auto& row : TCustomFFmpeg::BuiltinPresets())
        if (SameText(row.Name, AName)) return row.Text;
    return nullptr;
}

}  // namespace

void TCustomFFmpeg::ApplyPresetOption(const std::string& AName, const std::string& AValue) {
    if (AName.empty() || AValue.empty()) return;
    const char* text = nullptr;
    if (AName != "fpre") {
        text = FindPreset(AValue);
        const AVMediaType t = AName[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
                              : AName[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                                : AVMEDIA_TYPE_SUBTITLE;
        const std::string& codec = FOptions->Kind(t).codec_name;
        if (!text && !codec.empty()) text = FindPreset(codec + "-" + AValue);
    }
    if (text) return ApplyPresetText(AValue, text);
    const std::filesystem::path path = Utf8ToPath(AValue);
    std::error_code ec;
    std::ifstream file;
    if (std::filesystem::is_regular_file(path, ec)) file.open(path, std::ios::binary);
    if (!file.is_open()) throw FFmpegException(Format("Preset \"%s\" not found", AValue));
    std::ostringstream content;
    content << file.rdbuf();
    ApplyPresetText(AValue, content.str());
}

void TCustomFFmpeg::ApplyPresetText(const std::string& APresetName, const std::string& AText) {
    std::istringstream lines(Trim(AText));
    std::string raw;
    while (std::getline(lines, raw)) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? std::string() : Trim(line.substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        if (key.empty() || value.empty())
            throw FFmpegException(Format("%s: Invalid syntax: \"%s\"", APresetName, line));
        if (SameText(key, "acodec"))
            SetCodecName(AVMEDIA_TYPE_AUDIO, value);
        else if (SameText(key, "vcodec"))
            SetCodecName(AVMEDIA_TYPE_VIDEO, value);
        else if (SameText(key, "scodec"))
            SetCodecName(AVMEDIA_TYPE_SUBTITLE, value);
        else if (!SetGenericOption(key, value) && HaltOnInvalidOption)
            throw FFmpegException(
                Format("%s\r\n%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                       FLastOptionErr, APresetName, line, key, value));
    }
}

namespace {

// The norm a frame rate stands for: 25 fps PAL; 29.97 or 23.976 fps NTSC.
TTargetNorm NormOfRate(AVRational ARate) {
    if (ARate.num <= 0 || ARate.den <= 0) return tnUnknown;
    const int64_t fr = int64_t(ARate.num) * 1000 / ARate.den;
    if (fr == 25000) return tnPAL;
    if (fr == 29970 || fr == 23976) return tnNTSC;
    return tnUnknown;
}

}  // namespace

// A target "[pal-|ntsc-|film-]vcd|svcd|dvd|dv|dv50": the norm from the prefix, else from the
// frame rate or the inputs' video (NormDefault when neither tells), then the target's settings.
void TCustomFFmpeg::SetTarget(const std::string& AValue) {
    static const AVRational rates[] = {{25, 1}, {30000, 1001}, {24000, 1001}};
    TTargetNorm norm = tnUnknown;
    std::string type = AValue;
    for (auto [prefix, n] : {std::pair{"pal-", tnPAL}, {"ntsc-", tnNTSC}, {"film-", tnFILM}})
        if (type.starts_with(prefix)) {
            norm = n;
            type.erase(0, std::char_traits<char>::length(prefix));
            break;
        }
    static const struct {
        const char* Type;
        void (TCustomFFmpeg::*Apply)(bool APal);
    } targets[] = {{"vcd", &TCustomFFmpeg::ApplyVcdTarget},
                   {"svcd", &TCustomFFmpeg::ApplySvcdTarget},
                   {"dvd", &TCustomFFmpeg::ApplyDvdTarget},
                   {"dv", &TCustomFFmpeg::ApplyDvTarget},
                   {"dv50", &TCustomFFmpeg::ApplyDv50Target}};
    const auto target = std::find_if(std::begin(targets), std::end(targets),
                                     [&](const auto& t) { return type == t.Type; });
    if (target == std::end(targets)) throw FFmpegException("Unknown target type");
    if (norm == tnUnknown) {
        const AVRational fr = FOptions->frame_rate;
        if (fr.num <= 0 || fr.den <= 0) throw FFmpegException("frame_rate is invalid.");
        norm = NormOfRate(fr);
        for (const AVRational r : InputVideoFrameRates())
            if (norm == tnUnknown) norm = NormOfRate(r);
        if (norm == tnUnknown) norm = NormDefault == ntNTSC ? tnNTSC : tnPAL;
        if (FOptions->verbose > 0)
            TheLogger()->Log(this, llVerbose, "Assuming %s for target.",
                             norm == tnPAL ? "PAL" : "NTSC");
    }
    FOptions->frame_rate = rates[norm];
    (this->*target->Apply)(norm == tnPAL);
}

// A generic option of a target; a refused one raises.
void TCustomFFmpeg::SetTargetOption(const char* AName, const char* AValue) {
    if (!SetGenericOption(AName, AValue)) throw FFmpegException(FLastOptionErr);
}

// The target's aspect ratio unless one is set, logged with AMessage.
void TCustomFFmpeg::SetTargetAspect(double ARatio, const char* AMessage) {
    if (FOptions->frame_aspect_ratio != 0.0) return;
    FOptions->frame_aspect_ratio = ARatio;
    TheLogger()->Log(this, llInfo, std::string(AMessage));
}

void TCustomFFmpeg::ApplyVcdTarget(bool APal) {
    SetCodecName(AVMEDIA_TYPE_VIDEO, "mpeg1video");
    SetCodecName(AVMEDIA_TYPE_AUDIO, "mp2");
    FOptions->forced_format = "vcd";
    FOptions->frame_width = 352;
    FOptions->frame_height = APal ? 288 : 240;
    SetTargetOption("g", APal ? "15" : "18");
    SetTargetOption("b", "1150000");
    SetTargetOption("maxrate", "1150000");
    SetTargetOption("minrate", "1150000");
    SetTargetOption("bufsize", "327680");
    SetTargetOption("ab", "224000");
    FOptions->audio_sample_rate = 44100;
    FOptions->audio_channels = 2;
    SetTargetOption("packetsize", "2324");
    SetTargetOption("muxrate", "1411200");
    // Initial demux-decode delay of a VCD: 36000 + 3 * 1200 ticks of 90 kHz.
    FOptions->mux_preload = (36000 + 3 * 1200) / 90000.0;
    SetTargetAspect(4.0 / 3.0, "Assuming 4:3 for aspect ratio");
}

void TCustomFFmpeg::ApplySvcdTarget(bool APal) {
    SetCodecName(AVMEDIA_TYPE_VIDEO, "mpeg2video");
    SetCodecName(AVMEDIA_TYPE_AUDIO, "mp2");
    FOptions->forced_format = "svcd";
    FOptions->frame_width = 480;
    FOptions->frame_height = APal ? 576 : 480;
    SetTargetOption("g", APal ? "15" : "18");
    SetTargetOption("b", "2040000");
    SetTargetOption("maxrate", "2516000");
    SetTargetOption("minrate", "0");
    SetTargetOption("bufsize", "1835008");
    // The scan-offset flag of the older libraries is mpeg2video's own option now.
    SetTargetOption("scan_offset", "1");
    SetTargetOption("ab", "224000");
    FOptions->audio_sample_rate = 44100;
    if (FOptions->audio_channels == 1) FOptions->audio_channels = 2;
    SetTargetOption("packetsize", "2324");
    SetTargetAspect(4.0 / 3.0, "Assuming 4:3 for aspect ratio");
}

void TCustomFFmpeg::ApplyDvdTarget(bool APal) {
    SetCodecName(AVMEDIA_TYPE_VIDEO, "mpeg2video");
    SetCodecName(AVMEDIA_TYPE_AUDIO, "ac3");
    FOptions->forced_format = "dvd";
    FOptions->frame_width = 720;
    FOptions->frame_height = APal ? 576 : 480;
    SetTargetOption("g", APal ? "15" : "18");
    SetTargetOption("b", "6000000");
    SetTargetOption("maxrate", "9000000");
    SetTargetOption("minrate", "0");
    SetTargetOption("bufsize", "1835008");
    SetTargetOption("packetsize", "2048");
    SetTargetOption("muxrate", "10080000");
    SetTargetOption("ab", "448000");
    FOptions->audio_sample_rate = 48000;
    if (FOptions->audio_channels == 1) FOptions->audio_channels = 2;
    SetTargetAspect(16.0 / 9.0, "Assuming 16:9 for aspect ratio");
}

void TCustomFFmpeg::ApplyDvTarget(bool APal) {
    FOptions->forced_format = "dv";
    FOptions->frame_width = 720;
    FOptions->frame_height = APal ? 576 : 480;
    FOptions->frame_pix_fmt = APal ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
    FOptions->audio_sample_rate = 48000;
    FOptions->audio_channels = 2;
}

void TCustomFFmpeg::ApplyDv50Target(bool APal) {
    ApplyDvTarget(APal);
    FOptions->frame_pix_fmt = AV_PIX_FMT_YUV422P;
}
