// Test media made at run time, and a reader that decodes any output back to float PCM.
// Every function throws std::runtime_error with a clear message on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testmedia {

// ---- Temporary folders -------------------------------------------------------------------

// Creates a fresh, unique folder "qac-<name>-<random>" under the system temporary folder.
std::filesystem::path TempDir(const std::string& name);

// A TempDir that is removed with its contents when the object goes.
class ScopedTempDir {
public:
    explicit ScopedTempDir(const std::string& name = "test");
    ~ScopedTempDir();
    ScopedTempDir(ScopedTempDir&& other) noexcept;
    ScopedTempDir& operator=(ScopedTempDir&& other) noexcept;
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }

private:
    std::filesystem::path path_;
};

// ---- Tones -------------------------------------------------------------------------------

struct Chapter {
    double start = 0, end = 0;  // seconds
    std::string title;
};

struct ToneShape {
    double frequency = 440;
    double amplitude = 0.5;  // of full scale
    double seconds = 1.0;
    int sampleRate = 44100;
    int channels = 2;
    // Encoder name ("pcm_s16le", "libmp3lame", "flac", "libvorbis", "aac", "libopus", "mp2" ...);
    // empty takes the container's default (.wav pcm_s16le, .mp3 libmp3lame, .flac flac,
    // .ogg/.mka libvorbis, .m4a aac, .opus libopus).
    std::string codec;
    int bitRate = 0;  // bit/s, 0 = encoder default
    // Format-level metadata (title, artist, album, genre, date, track ...). Ogg and Opus carry
    // them as stream-level Vorbis comments.
    std::map<std::string, std::string> tags;
    std::vector<Chapter> chapters;
    // Matroska only: written as a live stream, so the file gives no duration.
    bool live = false;
};

// Writes a sine of exactly shape.seconds * shape.sampleRate frames (every channel the same
// tone), the container guessed from the extension (.wav .mp3 .flac .ogg .m4a .opus .mka ...).
// Decoded back, WAV, FLAC, MP3, Ogg Vorbis and Opus give exactly that many frames; AAC in M4A
// and Vorbis in Matroska up to one codec frame more; MP2 pads its last frame with silence.
void MakeTone(const std::filesystem::path& out, const ToneShape& shape);
// Same, as dir / fileName; returns the path.
std::filesystem::path MakeTone(const std::filesystem::path& dir, const std::string& fileName,
                               const ToneShape& shape = {});
// Writes the given interleaved samples with the format fields of shape (sampleRate, channels,
// codec, bitRate, tags, chapters); frequency, amplitude and seconds are ignored.
void MakeAudio(const std::filesystem::path& out, const ToneShape& shape,
               const std::vector<float>& interleaved);

// Stereo 44.1 kHz: silentSeconds of digital silence, then loudSeconds of a 440 Hz tone at 0.5 of
// full scale; the codec follows the extension unless one is named.
std::filesystem::path MakeSilenceThenTone(const std::filesystem::path& out, int silentSeconds,
                                          int loudSeconds, const std::string& codec = "");

// ---- Special files (each returns the path it made in dir) ---------------------------------

// 3 s stereo tone, title "Test Title", artist "Test Artist", album "Test Album", genre "Test
// Genre", date "2011", track "7", chapters "Intro" 0-1.5 s and "Outro" 1.5-3 s.
// ext: ".mka" (Matroska tags), ".mp3" (ID3v2 with CHAP frames) or ".m4a".
std::filesystem::path MakeTaggedWithChapters(const std::filesystem::path& dir,
                                             const std::string& ext = ".mka");
// "cover.mp3": 2 s stereo 44.1 kHz 440 Hz with the tags of MakeTaggedWithChapters (no chapters)
// and a 32x16 JPEG front cover (ID3v2 APIC).
std::filesystem::path MakeTaggedWithCover(const std::filesystem::path& dir);
// The bytes of a file's first attached picture; empty when it has none.
std::string CoverBytes(const std::filesystem::path& file);
// MPEG-TS, 2 s, programs 1 and 2 ("Program One"/"Program Two"), each with one MP2 stereo
// 48 kHz stream: 440 Hz in program 1, 880 Hz in program 2.
std::filesystem::path MakeMpegTsTwoPrograms(const std::filesystem::path& dir);
// .mp4: MPEG-4 part 2 video 160x120, 25 fps, 2 s with a moving bar, plus AAC stereo 44.1 kHz
// 440 Hz.
std::filesystem::path MakeVideoWithAudio(const std::filesystem::path& dir);
// .mp4 with the same video and no audio stream.
std::filesystem::path MakeVideoOnly(const std::filesystem::path& dir);
// .mkv: the same video with a DVD (bitmap) subtitle from 0.4 s to 1.2 s: an opaque white box
// over x 40-119, y 90-113.
std::filesystem::path MakeVideoWithBitmapSubtitle(const std::filesystem::path& dir);
// .mkv: the same video with a text subtitle (SubRip, ASS ...) from 0.4 s to 1.2 s; text is the
// event's ASS text.
std::filesystem::path MakeVideoWithTextSubtitle(const std::filesystem::path& dir,
                                                const std::string& codec, const std::string& text);
// .mkv: FLAC stereo 44.1 kHz 440 Hz, 3 s, then a SubRip subtitle stream with two cues.
std::filesystem::path MakeWithSubtitle(const std::filesystem::path& dir);

// .mkv holding only a SubRip subtitle stream (two cues, 3 s).
std::filesystem::path MakeSubtitleOnly(const std::filesystem::path& dir);

struct TruncatedFiles {
    std::filesystem::path partial;  // an MP3 (4 s, 440 Hz) cut to 40 % of its bytes: decodes ~1.6 s
    std::filesystem::path headerCut;  // a WAV cut inside its header: RIFF/WAVE but no format
};
TruncatedFiles MakeTruncated(const std::filesystem::path& dir);
// "vbr.mp3": a VBR MP3 without a Xing header, 44.1 kHz mono, 12 s: 3 s of loud noise, then
// 9 s of a quiet 440 Hz tone. A demuxer estimates its length from the first frames' high bit
// rate, far below the 12 s it decodes to.
std::filesystem::path MakeVbrMp3WithoutXing(const std::filesystem::path& dir);
// An empty "empty.wav".
std::filesystem::path MakeZeroLength(const std::filesystem::path& dir);
// Plain text named "notes.mp3".
std::filesystem::path MakeTextWithMediaExtension(const std::filesystem::path& dir);
// dir / "Señor Müller – Größe 東京 <ext>" (non-ASCII and blanks, one before the extension);
// makes no file.
std::filesystem::path NonAsciiName(const std::filesystem::path& dir, const std::string& ext);
// A tone (codec from the extension unless shape says) at NonAsciiName(dir, ext).
std::filesystem::path MakeNonAsciiTone(const std::filesystem::path& dir, const std::string& ext,
                                       const ToneShape& shape = {});

// ---- Reader ------------------------------------------------------------------------------

struct DecodedAudio {
    int sampleRate = 0;
    int channels = 0;
    std::string codecName;       // codec id name: "pcm_s16le", "mp3", "aac", "vorbis", "flac" ...
    std::string formatName;      // demuxer name: "wav", "mp3", "mov,mp4,m4a,3gp,3g2,mj2" ...
    int64_t durationUs = -1;     // container duration, -1 when unknown
    std::vector<float> samples;  // interleaved, -1..1
    std::map<std::string, std::string> formatTags;
    std::vector<std::map<std::string, std::string>> streamTags;  // one per stream, by index
    int chapters = 0;
    std::vector<double> chapterStarts;  // seconds, in file order
    int64_t bitRate = 0;  // container bit rate, 0 when unknown

    size_t frames() const { return channels ? samples.size() / channels : 0; }
    double seconds() const { return sampleRate ? double(frames()) / sampleRate : 0; }
    // A tag by case-insensitive key: the format's first, then the streams'; "" when absent.
    std::string Tag(const std::string& key) const;
};

// Decodes the first audio stream completely to interleaved float at the stream's own rate and
// channel count (encoder delay and padding trimmed as the demuxer signals them).
DecodedAudio DecodeAudio(const std::filesystem::path& file);

// ---- Captures of SDL's disk audio driver ------------------------------------------------

// The interleaved signed 16-bit samples of a capture file (what would have been heard).
std::vector<int16_t> ReadCapture(const std::filesystem::path& file);
// The samples without their leading and trailing silent frames and without every run of at least
// minFrames silent frames between (the pauses of a playback).
std::vector<int16_t> WithoutSilence(const std::vector<int16_t>& samples, int channels,
                                    int minFrames = 16);
// Interleaved float samples -1..1 of 16-bit sources, back as the 16-bit values.
std::vector<int16_t> ToInt16(const std::vector<float>& samples);

// ---- Analysis ----------------------------------------------------------------------------

// Root mean square and peak of one channel, or of all channels with channel -1.
double Rms(const DecodedAudio& audio, int channel = -1);
double Peak(const DecodedAudio& audio, int channel = -1);
// Frequency with the most energy in [fromSeconds, fromSeconds + seconds) of one channel
// (seconds 0: to the end; at most 2^17 frames, about 3 s, are used); within ~0.1 Hz for a pure
// sine of 0.5 s or more.
double DominantFrequency(const DecodedAudio& audio, int channel = 0, double fromSeconds = 0,
                         double seconds = 0);
// Integrated loudness (LUFS) and true peak (dBTP) of a file as the ffmpeg command-line tool's
// ebur128 filter measures them; NaN where it gave none.
struct Loudness {
    double integrated;
    double truePeak;
};
Loudness CliLoudness(const std::filesystem::path& file);
// Same rate, channels and length, and every sample within tolerance.
bool SamplesEqual(const DecodedAudio& a, const DecodedAudio& b, float tolerance);

}  // namespace testmedia
