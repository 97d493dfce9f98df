// Tags of MP4/M4A files that FFmpeg's muxer does not write.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// Adds (name, value) pairs as iTunes freeform tags ("----", mean "com.apple.iTunes") to a
// finished MP4 file whose movie box is its last box. False with AError when the file cannot be
// changed that way; the file is then as it was.
bool AddMp4FreeformTags(const std::filesystem::path& AFile,
                        const std::vector<std::pair<std::string, std::string>>& ATags,
                        std::string& AError);
