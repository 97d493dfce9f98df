// Temporary folders, tones and the special files of the test suites.
#include "TestMedia.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <random>
#include <system_error>

#include "MediaWriter.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace testmedia {

namespace fs = std::filesystem;
using detail::MediaWriter;

fs::path TempDir(const std::string& name) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        fs::path dir = base / ("qac-" + name + "-" + suffix);
        if (fs::create_directory(dir)) return dir;
    }
    throw std::runtime_error("cannot create a temporary folder for " + name);
}

ScopedTempDir::ScopedTempDir(const std::string& name) : path_(TempDir(name)) {}

ScopedTempDir::~ScopedTempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
}

ScopedTempDir::ScopedTempDir(ScopedTempDir&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

ScopedTempDir& ScopedTempDir::operator=(ScopedTempDir&& other) noexcept {
    if (this != &other) {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

namespace {

// A sine of a fixed number of frames, the same on every channel.
detail::PcmSource Sine(double frequency, double amplitude, int sampleRate, int channels,
                       int64_t frames) {
    return [=, n = int64_t{0}](float* dst, int maxFrames) mutable {
        const int count = static_cast<int>(std::min<int64_t>(maxFrames, frames - n));
        for (int i = 0; i < count; ++i, ++n) {
            const double phase = 2 * std::numbers::pi * frequency * double(n) / sampleRate;
            std::fill_n(dst + i * channels, channels,
                        static_cast<float>(amplitude * std::sin(phase)));
        }
        return count;
    };
}

int64_t FrameCount(const ToneShape& shape) {
    return std::llround(shape.seconds * shape.sampleRate);
}

void WriteAudio(const fs::path& out, const ToneShape& shape, detail::PcmSource source) {
    MediaWriter writer(out);
    writer.AddAudio(shape.codec, shape.sampleRate, shape.channels, shape.bitRate, std::move(source));
    writer.SetTags(shape.tags);
    for (const Chapter& c : shape.chapters) writer.AddChapter(c.start, c.end, c.title);
    if (shape.live) detail::Check(av_opt_set(writer.Context()->priv_data, "live", "1", 0), "live option");
    writer.Write();
}

// A moving bright bar over a diagonal gradient, so every frame differs.
void Pattern(AVFrame* picture, int64_t n) {
    const int barX = static_cast<int>(4 * n % picture->width);
    for (int y = 0; y < picture->height; ++y)
        for (int x = 0; x < picture->width; ++x) {
            const bool bar = x >= barX && x < barX + 16;
            picture->data[0][y * picture->linesize[0] + x] =
                static_cast<uint8_t>(bar ? 235 : 16 + (x + y) / 2);
        }
    for (int y = 0; y < picture->height / 2; ++y)
        for (int x = 0; x < picture->width / 2; ++x) {
            picture->data[1][y * picture->linesize[1] + x] = static_cast<uint8_t>(128 + y - n);
            picture->data[2][y * picture->linesize[2] + x] = static_cast<uint8_t>(64 + x + n);
        }
}

constexpr int kVideoFps = 25;
constexpr double kVideoSeconds = 2;

fs::path WriteVideo(const fs::path& out, bool withAudio) {
    MediaWriter writer(out);
    writer.AddVideo("mpeg4", 160, 120, kVideoFps, std::llround(kVideoSeconds * kVideoFps), Pattern);
    if (withAudio)
        writer.AddAudio("aac", 44100, 2, 0,
                        Sine(440, 0.5, 44100, 2, std::llround(kVideoSeconds * 44100)));
    writer.Write();
    return out;
}

void WriteText(const fs::path& out, const std::string& text) {
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush()) throw std::runtime_error("cannot write " + detail::Utf8(out));
}

}  // namespace

void MakeTone(const fs::path& out, const ToneShape& shape) {
    WriteAudio(
        out, shape,
        Sine(shape.frequency, shape.amplitude, shape.sampleRate, shape.channels, FrameCount(shape)));
}

fs::path MakeTone(const fs::path& dir, const std::string& fileName, const ToneShape& shape) {
    fs::path out = dir / fs::path(std::u8string(fileName.begin(), fileName.end()));
    MakeTone(out, shape);
    return out;
}

void MakeAudio(const fs::path& out, const ToneShape& shape, const std::vector<float>& interleaved) {
    const int channels = shape.channels;
    const int64_t frames = static_cast<int64_t>(interleaved.size()) / channels;
    WriteAudio(out, shape, [&, n = int64_t{0}](float* dst, int maxFrames) mutable {
        const int count = static_cast<int>(std::min<int64_t>(maxFrames, frames - n));
        std::copy_n(interleaved.begin() + n * channels, count * channels, dst);
        n += count;
        return count;
    });
}

fs::path MakeSilenceThenTone(const fs::path& out, int silentSeconds, int loudSeconds,
                             const std::string& codec) {
    std::vector<float> samples(static_cast<size_t>(silentSeconds) * 44100 * 2, 0.0f);
    for (int i = 0; i < loudSeconds * 44100; ++i) {
        const float v = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * i / 44100.0));
        samples.insert(samples.end(), {v, v});
    }
    ToneShape shape;
    shape.sampleRate = 44100;
    shape.channels = 2;
    shape.codec = codec;
    MakeAudio(out, shape, samples);
    return out;
}

fs::path MakeTaggedWithChapters(const fs::path& dir, const std::string& ext) {
    ToneShape shape;
    shape.seconds = 3;
    shape.tags = {{"title", "Test Title"}, {"artist", "Test Artist"}, {"album", "Test Album"},
                 {"genre", "Test Genre"}, {"date", "2011"},          {"track", "7"}};
    shape.chapters = {{0, 1.5, "Intro"}, {1.5, 3, "Outro"}};
    return MakeTone(dir, "tagged" + ext, shape);
}

fs::path MakeTaggedWithCover(const fs::path& dir) {
    const fs::path out = dir / "cover.mp3";
    MediaWriter writer(out);
    writer.AddAudio("libmp3lame", 44100, 2, 0, Sine(440, 0.5, 44100, 2, 2 * 44100));
    const int cover = writer.AddVideo("mjpeg", 32, 16, 1, 1, Pattern);
    AVStream* st = writer.Context()->streams[cover];
    st->disposition = AV_DISPOSITION_ATTACHED_PIC;
    detail::Check(av_dict_set(&st->metadata, "comment", "Cover (front)", 0), "av_dict_set");
    writer.SetTags({{"title", "Test Title"}, {"artist", "Test Artist"}, {"album", "Test Album"},
                    {"genre", "Test Genre"}, {"date", "2011"}, {"track", "7"}});
    writer.Write();
    return out;
}

std::string CoverBytes(const fs::path& file) {
    AVFormatContext* raw = nullptr;
    detail::Check(avformat_open_input(&raw, detail::Utf8(file).c_str(), nullptr, nullptr),
                  "cannot open " + detail::Utf8(file));
    detail::InputPtr in(raw);
    detail::Check(avformat_find_stream_info(raw, nullptr), "cannot probe " + detail::Utf8(file));
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVStream* st = raw->streams[i];
        if ((st->disposition & AV_DISPOSITION_ATTACHED_PIC) && st->attached_pic.size > 0)
            return std::string(reinterpret_cast<const char*>(st->attached_pic.data),
                               size_t(st->attached_pic.size));
    }
    return "";
}

fs::path MakeMpegTsTwoPrograms(const fs::path& dir) {
    const fs::path out = dir / "two_programs.ts";
    MediaWriter writer(out);
    AVFormatContext* fmt = writer.Context();
    const double frequencies[] = {440, 880};
    const char* names[] = {"Program One", "Program Two"};
    for (int i = 0; i < 2; ++i) {
        const int stream = writer.AddAudio("mp2", 48000, 2, 192000,
                                           Sine(frequencies[i], 0.5, 48000, 2, 2 * 48000));
        // The MPEG-TS muxer makes one service per AVProgram of the context.
        AVProgram* program = detail::CheckAlloc(av_new_program(fmt, i + 1), "program");
        detail::Check(av_dict_set(&program->metadata, "service_name", names[i], 0), "av_dict_set");
        av_program_add_stream_index(fmt, i + 1, stream);
        // The second stream carries a language and no other tag.
        if (i == 1)
            detail::Check(av_dict_set(&fmt->streams[stream]->metadata, "language", "eng", 0),
                          "av_dict_set");
    }
    writer.Write();
    return out;
}

fs::path MakeVideoWithAudio(const fs::path& dir) {
    return WriteVideo(dir / "video_audio.mp4", true);
}

fs::path MakeVideoOnly(const fs::path& dir) {
    return WriteVideo(dir / "video_only.mp4", false);
}

fs::path MakeVideoWithBitmapSubtitle(const fs::path& dir) {
    const fs::path out = dir / "video_dvdsub.mkv";
    MediaWriter writer(out);
    writer.AddVideo("mpeg4", 160, 120, kVideoFps, std::llround(kVideoSeconds * kVideoFps), Pattern);
    writer.AddSubtitles("dvdsub", {{0.4, 1.2, ""}}, 160, 120);
    writer.Write();
    return out;
}

fs::path MakeVideoWithTextSubtitle(const fs::path& dir, const std::string& codec, const std::string& text) {
    const fs::path out = dir / ("video_" + codec + ".mkv");
    MediaWriter writer(out);
    writer.AddVideo("mpeg4", 160, 120, kVideoFps, std::llround(kVideoSeconds * kVideoFps), Pattern);
    writer.AddSubtitles(codec, {{0.4, 1.2, text}});
    writer.Write();
    return out;
}

fs::path MakeWithSubtitle(const fs::path& dir) {
    const fs::path out = dir / "with_subtitle.mkv";
    MediaWriter writer(out);
    writer.AddAudio("flac", 44100, 2, 0, Sine(440, 0.5, 44100, 2, 3 * 44100));
    writer.AddSubtitles("subrip", {{0.5, 1.5, "First line"}, {2.0, 2.8, "Second line"}});
    writer.Write();
    return out;
}

fs::path MakeSubtitleOnly(const fs::path& dir) {
    const fs::path out = dir / "subtitle_only.mkv";
    MediaWriter writer(out);
    writer.AddSubtitles("subrip", {{0.5, 1.5, "First line"}, {2.0, 2.8, "Second line"}});
    writer.Write();
    return out;
}

TruncatedFiles MakeTruncated(const fs::path& dir) {
    ToneShape shape;
    shape.seconds = 4;
    const fs::path mp3 = MakeTone(dir, "full.mp3", shape);
    const fs::path wav = MakeTone(dir, "full.wav", shape);
    TruncatedFiles files{dir / "partial.mp3", dir / "header_cut.wav"};
    fs::copy_file(mp3, files.partial, fs::copy_options::overwrite_existing);
    fs::resize_file(files.partial, fs::file_size(mp3) * 4 / 10);
    // "RIFF" size "WAVE" "fmt " and 4 bytes of the format chunk's size: no usable format.
    fs::copy_file(wav, files.headerCut, fs::copy_options::overwrite_existing);
    fs::resize_file(files.headerCut, 20);
    fs::remove(mp3);
    fs::remove(wav);
    return files;
}

fs::path MakeVbrMp3WithoutXing(const fs::path& dir) {
    const fs::path out = dir / "vbr.mp3";
    constexpr int kRate = 44100, kNoise = 3 * kRate, kTotal = 12 * kRate;
    detail::MediaWriter writer(out);
    uint32_t seed = 12345;
    writer.AddAudio(
        "libmp3lame", kRate, 1, 0,
        [&, n = 0](float* dst, int maxFrames) mutable {
            const int count = std::min(maxFrames, kTotal - n);
            for (int i = 0; i < count; ++i, ++n) {
                seed = seed * 1664525u + 1013904223u;
                dst[i] = n < kNoise ? 0.7f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f)
                                    : 0.05f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * n / kRate));
            }
            return count;
        },
        {{"flags", "+qscale"}, {"global_quality", std::to_string(2 * FF_QP2LAMBDA)}});
    writer.Write({{"write_xing", "0"}});
    return out;
}

fs::path MakeZeroLength(const fs::path& dir) {
    const fs::path out = dir / "empty.wav";
    WriteText(out, "");
    return out;
}

fs::path MakeTextWithMediaExtension(const fs::path& dir) {
    const fs::path out = dir / "notes.mp3";
    WriteText(out, "These are notes, not audio.\nShopping list: milk, bread, tea.\n");
    return out;
}

fs::path NonAsciiName(const fs::path& dir, const std::string& ext) {
    std::u8string name = u8"Señor Müller – Größe 東京 ";
    name.append(ext.begin(), ext.end());
    return dir / fs::path(name);
}

fs::path MakeNonAsciiTone(const fs::path& dir, const std::string& ext, const ToneShape& shape) {
    fs::path out = NonAsciiName(dir, ext);
    MakeTone(out, shape);
    return out;
}

}  // namespace testmedia

namespace testmedia {

std::vector<int16_t> ReadCapture(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read capture " + file.string());
    std::vector<int16_t> samples(fs::file_size(file) / 2);
    in.read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2));
    return samples;
}

std::vector<int16_t> WithoutSilence(const std::vector<int16_t>& samples, int channels,
                                    int minFrames) {
    std::vector<int16_t> out;
    const size_t frames = samples.size() / channels;
    auto silent = [&](size_t i) {
        for (int c = 0; c < channels; ++c)
            if (samples[i * channels + c] != 0) return false;
        return true;
    };
    auto append = [&](size_t from, size_t to) {
        out.insert(out.end(), samples.begin() + from * channels, samples.begin() + to * channels);
    };
    for (size_t f = 0; f < frames;) {
        size_t end = f;
        while (end < frames && silent(end)) ++end;
        if (end == f) end = f + 1;  // a frame with sound
        else if (f == 0 || end == frames || end - f >= size_t(minFrames)) {
            f = end;
            continue;
        }
        append(f, end);
        f = end;
    }
    return out;
}

std::vector<int16_t> ToInt16(const std::vector<float>& samples) {
    std::vector<int16_t> out(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        out[i] = static_cast<int16_t>(std::lrint(std::clamp(samples[i] * 32768.0f, -32768.0f, 32767.0f)));
    return out;
}

Loudness CliLoudness(const std::filesystem::path& file) {
    const std::string cmd = "ffmpeg -hide_banner -nostats -i '" + file.string() +
                            "' -af ebur128=peak=true -f null - 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) throw std::runtime_error("cannot run ffmpeg for " + file.string());
    Loudness m{NAN, NAN};
    char line[512];
    bool summary = false;
    while (fgets(line, sizeof line, p)) {
        if (std::string(line).find("Summary:") != std::string::npos) summary = true;
        if (!summary) continue;
        double v;
        if (sscanf(line, " I: %lf LUFS", &v) == 1) m.integrated = v;
        if (sscanf(line, " Peak: %lf dBFS", &v) == 1) m.truePeak = v;
    }
    pclose(p);
    return m;
}

}  // namespace testmedia
