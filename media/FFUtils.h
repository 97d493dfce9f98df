// Texts shared by the probe, transcoder and player.
#pragma once

#include <cstdint>
#include <string>

struct AVCodecContext;

// FFmpeg's no-value time stamp.
constexpr int64_t kNoPTS = INT64_MIN;

// File name + ": " + the text of an FFmpeg error result.
std::string MediaErrorText(const std::string& AFileName, int AErrorCode);
// The text of an FFmpeg error result alone.
std::string ErrorCodeText(int AErrorCode);
// "hh:mm:ss.mmm" of microseconds; "N/A" for the no-value stamp.
std::string DurationText(int64_t ATime);
// "%.2f GB", "%.2f MB", "%.2f KB" or "%d Byte".
std::string SizeText(int64_t ASize);
// "Video", "Audio", "Data", "Subtitle", "Attachment" or "Unknown".
std::string MediaTypeName(int AType);
// The codec's name (and long name) of a codec context.
std::string CodecNameText(const AVCodecContext* ACodecContext, bool AEncoder);
// The common name of a container's tag key ("TIT2" -> "title").
std::string MetadataKeyName(const std::string& AKey);
// "hh:mm:ss" of microseconds (hours not limited to 24, truncating).
std::string TimeText(int64_t ATime);
