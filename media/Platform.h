// Small platform calls used by the media, engine and player layers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Identifier of the calling thread as the system numbers it (32 bits, as logged).
uint32_t CurrentThreadID();

// Text of a system error code (errno on Linux, GetLastError on Windows).
std::string SystemErrorText(int ACode);

// Last system error code of the calling thread.
int LastSystemError();

// UTF-8 text of a path, and the path of a UTF-8 text, on every platform.
std::string PathToUtf8(const std::filesystem::path& APath);
std::filesystem::path Utf8ToPath(const std::string& AText);
