#include "Platform.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

uint32_t CurrentThreadID() {
#ifdef _WIN32
    return static_cast<uint32_t>(GetCurrentThreadId());
#else
    thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
#endif
}

std::string SystemErrorText(int ACode) {
#ifdef _WIN32
    wchar_t* buf = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(ACode), 0,
                             reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::wstring w(buf ? buf : L"", n);
    if (buf) LocalFree(buf);
    while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L'.'))
        w.pop_back();
    return PathToUtf8(std::filesystem::path(w));
#else
    char buf[256];
    // GNU strerror_r returns the text (possibly a static string), not an error code.
    const char* text = ::strerror_r(ACode, buf, sizeof buf);
    return text ? text : "Unknown error";
#endif
}

int LastSystemError() {
#ifdef _WIN32
    return static_cast<int>(GetLastError());
#else
    return errno;
#endif
}

std::string PathToUtf8(const std::filesystem::path& APath) {
    auto u8 = APath.u8string();
    return std::string(u8.begin(), u8.end());
}

std::filesystem::path Utf8ToPath(const std::string& AText) {
    return std::filesystem::path(std::u8string(AText.begin(), AText.end()));
}
