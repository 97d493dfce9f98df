// The one encode-and-mux routine behind every generated test file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FfmpegPtr.h"

namespace testmedia::detail {

// Writes up to maxFrames interleaved float frames to dst; returns how many, 0 at the end.
using PcmSource = std::function<int(float* dst, int maxFrames)>;
// Paints picture number n into a writable YUV420P frame.
using PictureSource = std::function<void(AVFrame* picture, int64_t n)>;

struct SubtitleEvent {
    double start = 0, end = 0;  // seconds
    std::string text;
};

// Collects streams, tags and chapters, then Write() encodes every stream interleaved by time
// and finishes the file. The container is guessed from the extension unless formatName is set.
class MediaWriter {
public:
    explicit MediaWriter(const std::filesystem::path& file, const std::string& formatName = {});
    ~MediaWriter();
    MediaWriter(const MediaWriter&) = delete;
    MediaWriter& operator=(const MediaWriter&) = delete;

    // Each returns the new stream's index. An empty codec name takes the container's default.
    // encoderOptions go to the encoder's open (e.g. {"flags", "+qscale"}).
    int AddAudio(const std::string& codec, int sampleRate, int channels, int bitRate,
                 PcmSource source, const std::map<std::string, std::string>& encoderOptions = {});
    int AddVideo(const std::string& codec, int width, int height, int fps, int64_t frameCount,
                 PictureSource source);
    // Text encoders take the events' texts; a bitmap encoder ("dvdsub") draws a white box on a
    // canvas of width x height for each event.
    int AddSubtitles(const std::string& codec, std::vector<SubtitleEvent> events, int width = 0,
                     int height = 0);

    void SetTags(const std::map<std::string, std::string>& tags);
    void AddChapter(double start, double end, const std::string& title);
    // For container settings such as programs; valid until Write() returns.
    AVFormatContext* Context() const { return fmt_.get(); }

    // muxerOptions go to the header's writing (e.g. {"write_xing", "0"}).
    void Write(const std::map<std::string, std::string>& muxerOptions = {});

    class Track;

private:
    AVStream* NewStream(AVCodecContext* enc);
    CodecContextPtr NewEncoder(const std::string& name, AVMediaType type) const;

    std::filesystem::path file_;
    OutputPtr fmt_;
    std::vector<std::unique_ptr<Track>> tracks_;
};

}  // namespace testmedia::detail
