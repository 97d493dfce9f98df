#include "Platform.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <stdio.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

int RenameNoReplace(const std::filesystem::path& AFrom, const std::filesystem::path& ATo, std::string& AError) {
#ifdef _WIN32
    if (MoveFileExW(AFrom.c_str(), ATo.c_str(), MOVEFILE_WRITE_THROUGH)) return 1;
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return 0;
    AError = SystemErrorText(static_cast<int>(code));
    return -1;
#else
    if (::renameat2(AT_FDCWD, AFrom.c_str(), AT_FDCWD, ATo.c_str(), RENAME_NOREPLACE) == 0) return 1;
    if (errno == EEXIST) return 0;
    // A file system without the flag: a hard link fails as well when the name is taken.
    if (errno == EINVAL || errno == ENOSYS) {
        if (::link(AFrom.c_str(), ATo.c_str()) == 0) {
            ::unlink(AFrom.c_str());
            return 1;
        }
        if (errno == EEXIST) return 0;
    }
    AError = SystemErrorText(errno);
    return -1;
#endif
}

uint32_t CurrentThreadID() {
#ifdef _WIN32
    return static_cast<uint32_t>(GetCurrentThreadId());
#else
    thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
#endif
}

void SetCurrentThreadPriority(int ALevel) {
    if (ALevel < 0 || ALevel > 6) return;
#ifdef _WIN32
    static const int kPriority[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                    THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                    THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                    THREAD_PRIORITY_TIME_CRITICAL};
    SetThreadPriority(GetCurrentThread(), kPriority[ALevel]);
#else
    static const int kNice[] = {19, 10, 5, 0, -5, -10, -20};
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kNice[ALevel]);
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

std::string UserFolderName(const std::string& AStem) {
#ifdef _WIN32
    return AStem;
#else
    return AStem + "-" + std::to_string(::getuid());
#endif
}

bool MakePrivateFolder(const std::filesystem::path& AFolder, std::string& AError) {
    namespace fs = std::filesystem;
    const std::string name = PathToUtf8(AFolder);
#ifdef _WIN32
    std::error_code ec;
    fs::create_directories(AFolder, ec);
    if (ec || !fs::is_directory(fs::symlink_status(AFolder, ec))) {
        AError = "cannot create " + name + ": " + (ec ? ec.message() : std::string("not a folder"));
        return false;
    }
    return true;
#else
    if (::mkdir(AFolder.c_str(), 0700) != 0 && errno != EEXIST) {
        AError = "cannot create " + name + ": " + SystemErrorText(errno);
        return false;
    }
    // Checked and made private through one descriptor opened without following a link.
    const int fd = ::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    const bool shared = ok && (st.st_mode & 022) != 0;
    if (ok && (st.st_mode & 07777) != 0700) ok = ::fchmod(fd, 0700) == 0;
    if (fd >= 0) ::close(fd);
    if (ok && shared) {
        // No other user can add anything now; what is there already goes.
        std::error_code ec;
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(AFolder, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(it->path());
        for (const fs::path& entry : entries)
            if (!ec) fs::remove_all(entry, ec);
        ok = !ec;
    }
    if (!ok) AError = name + " is not private";
    return ok;
#endif
}

std::filesystem::path MakeFreshPrivateFolder(const std::filesystem::path& AParent,
                                             const std::string& AStem, std::string& AError) {
    namespace fs = std::filesystem;
#ifdef _WIN32
    std::error_code ec;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%06X", static_cast<unsigned>((ticks + attempt * 7919) & 0xFFFFFF));
        const fs::path folder = AParent / Utf8ToPath(AStem + suffix);
        if (fs::create_directory(folder, ec)) return folder;
        if (ec) break;
    }
    AError = "cannot create a folder in " + PathToUtf8(AParent) + ": " + (ec ? ec.message() : std::string("names taken"));
    return {};
#else
    std::string path = PathToUtf8(AParent / (AStem + "-XXXXXX"));
    if (!::mkdtemp(path.data())) {
        AError = "cannot create a folder in " + PathToUtf8(AParent) + ": " + SystemErrorText(errno);
        return {};
    }
    return fs::path(path);
#endif
}

int LastSystemError() {
#ifdef _WIN32
    return static_cast<int>(GetLastError());
#else
    return errno;
#endif
}

void ReturnFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

std::string PathToUtf8(const std::filesystem::path& APath) {
    auto u8 = APath.u8string();
    return std::string(u8.begin(), u8.end());
}

std::filesystem::path Utf8ToPath(const std::string& AText) {
    return std::filesystem::path(std::u8string(AText.begin(), AText.end()));
}

namespace {
bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const int n = c < 0x80 ? 0
                      : (c & 0xE0) == 0xC0 ? 1
                      : (c & 0xF0) == 0xE0 ? 2
                      : (c & 0xF8) == 0xF0 ? 3
                                           : -1;
        if (n < 0 || i + static_cast<size_t>(n) > s.size() - 1) return false;
        for (int k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += static_cast<size_t>(n) + 1;
    }
    return true;
}

#ifdef _WIN32
// UTF-8 to UTF-16 without exceptions; false for invalid UTF-8.
bool Utf8ToWide(const std::string& AText, std::wstring& AOut) {
    AOut.clear();
    if (AText.empty()) return true;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, AText.data(),
                                      static_cast<int>(AText.size()), nullptr, 0);
    if (n <= 0) return false;
    AOut.resize(static_cast<size_t>(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, AText.data(),
                               static_cast<int>(AText.size()), AOut.data(), n) == n;
}
#endif
}  // namespace

bool Utf8ToCodePage(const std::string& AUtf8, std::string& AOut) {
    if (!ValidUtf8(AUtf8)) return false;
#ifdef _WIN32
    std::wstring w;
    if (!Utf8ToWide(AUtf8, w)) return false;
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, nullptr, 0,
                                      nullptr, &lossy);
    if (n <= 0 || lossy) return false;
    AOut.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, AOut.data(), n, nullptr,
                        nullptr);
    AOut.resize(static_cast<size_t>(n) - 1);
#else
    AOut = AUtf8;
#endif
    return true;
}

std::string CodePageToUtf8(const std::string& AText) {
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_ACP, 0, AText.c_str(), -1, nullptr, 0);
    if (n <= 0) return AText;
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, AText.c_str(), -1, w.data(), n);
    w.resize(static_cast<size_t>(n) - 1);
    return PathToUtf8(std::filesystem::path(w));
#else
    return AText;
#endif
}

namespace {
// time_t is 32 bits wide on some 32-bit systems.
bool ToTimeT(int64_t ASeconds, std::time_t& AOut) {
    AOut = static_cast<std::time_t>(ASeconds);
    return static_cast<int64_t>(AOut) == ASeconds;
}
}  // namespace

bool UtcTime(int64_t ASeconds, std::tm& ATime) {
    // Civil calendar arithmetic: the same on every system, for times before 1970 too.
    using namespace std::chrono;
    constexpr int64_t kLimit = 900'000'000'000;  // about 28500 years: inside the calendar's range
    if (ASeconds < -kLimit || ASeconds > kLimit) return false;
    const sys_seconds t{seconds(ASeconds)};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    if (!ymd.ok()) return false;
    const int64_t secs = (t - day).count();
    ATime = std::tm{};
    ATime.tm_year = int(ymd.year()) - 1900;
    ATime.tm_mon = int(unsigned(ymd.month())) - 1;
    ATime.tm_mday = int(unsigned(ymd.day()));
    ATime.tm_hour = int(secs / 3600);
    ATime.tm_min = int(secs / 60 % 60);
    ATime.tm_sec = int(secs % 60);
    ATime.tm_wday = int(weekday(day).c_encoding());
    ATime.tm_yday = int((day - sys_days(ymd.year() / January / 1)).count());
    return true;
}

bool LocalTime(int64_t ASeconds, std::tm& ATime) {
    std::time_t t;
    if (!ToTimeT(ASeconds, t)) return false;
#ifdef _WIN32
    return localtime_s(&ATime, &t) == 0;
#else
    return localtime_r(&t, &ATime) != nullptr;
#endif
}

#ifdef _WIN32
std::unique_ptr<TSysFile> TSysFile::Open(const std::string& AFileName, bool AWrite, int& AError) {
    std::wstring name;
    if (!Utf8ToWide(AFileName, name)) {
        AError = -EINVAL;
        return nullptr;
    }
    // A reader leaves the file to a writer that holds it (a working file read back to verify it).
    HANDLE h = CreateFileW(name.c_str(), AWrite ? GENERIC_WRITE : GENERIC_READ,
                           AWrite ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           AWrite ? CREATE_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        AError = -ENOENT;
        return nullptr;
    }
    return std::unique_ptr<TSysFile>(new TSysFile(h));
}

std::unique_ptr<TSysFile> TSysFile::CreateNew(const std::string& AFileName, int& AError) {
    std::wstring name;
    if (!Utf8ToWide(AFileName, name)) {
        AError = -EINVAL;
        return nullptr;
    }
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE | GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        AError = e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS ? -EEXIST
                 : e == ERROR_ACCESS_DENIED                          ? -EACCES
                 : e == ERROR_PATH_NOT_FOUND                         ? -ENOENT
                                                                     : -EIO;
        return nullptr;
    }
    return std::unique_ptr<TSysFile>(new TSysFile(h));
}

TSysFile::~TSysFile() { CloseHandle(static_cast<HANDLE>(FHandle)); }

bool TSysFile::IsNamed(const std::string& AFileName) {
    std::wstring name;
    if (!Utf8ToWide(AFileName, name)) return false;
    HANDLE other = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool same = GetFileInformationByHandle(static_cast<HANDLE>(FHandle), &a) &&
                      GetFileInformationByHandle(other, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(other);
    return same;
}

int TSysFile::Read(uint8_t* ABuf, int ASize) {
    DWORD n = 0;
    if (ASize < 0 || !ReadFile(static_cast<HANDLE>(FHandle), ABuf, static_cast<DWORD>(ASize), &n,
                               nullptr))
        return -1;
    return static_cast<int>(n);
}

int TSysFile::Write(const uint8_t* ABuf, int ASize) {
    DWORD n = 0;
    if (ASize < 0 || !WriteFile(static_cast<HANDLE>(FHandle), ABuf, static_cast<DWORD>(ASize), &n,
                                nullptr))
        return -1;
    return static_cast<int>(n);
}

int64_t TSysFile::Seek(int64_t AOffset, int AWhence) {
    static_assert(SEEK_SET == FILE_BEGIN && SEEK_CUR == FILE_CURRENT && SEEK_END == FILE_END);
    LARGE_INTEGER to, at;
    to.QuadPart = AOffset;
    if (!SetFilePointerEx(static_cast<HANDLE>(FHandle), to, &at, static_cast<DWORD>(AWhence)))
        return -1;
    return at.QuadPart;
}

int64_t TSysFile::Size() {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(static_cast<HANDLE>(FHandle), &size)) return -1;
    return size.QuadPart;
}
#else
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed (_FILE_OFFSET_BITS=64)");

std::unique_ptr<TSysFile> TSysFile::Open(const std::string& AFileName, bool AWrite, int& AError) {
    std::FILE* file = std::fopen(AFileName.c_str(), AWrite ? "wb" : "rb");
    if (!file) {
        AError = errno ? -errno : -ENOENT;
        return nullptr;
    }
    return std::unique_ptr<TSysFile>(new TSysFile(file));
}

std::unique_ptr<TSysFile> TSysFile::CreateNew(const std::string& AFileName, int& AError) {
    const int fd = open(AFileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        AError = -errno;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        AError = errno ? -errno : -ENOMEM;
        close(fd);
        return nullptr;
    }
    // Unbuffered: the caller buffers, and a failed write (a full disk) shows at once.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return std::unique_ptr<TSysFile>(new TSysFile(file));
}

TSysFile::~TSysFile() { std::fclose(static_cast<std::FILE*>(FHandle)); }

bool TSysFile::IsNamed(const std::string& AFileName) {
    struct stat mine, named;
    return fstat(fileno(static_cast<std::FILE*>(FHandle)), &mine) == 0 &&
           stat(AFileName.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
           mine.st_ino == named.st_ino;
}

int TSysFile::Read(uint8_t* ABuf, int ASize) {
    auto* f = static_cast<std::FILE*>(FHandle);
    const size_t n = std::fread(ABuf, 1, static_cast<size_t>(ASize), f);
    return n > 0 || !std::ferror(f) ? static_cast<int>(n) : -1;
}

int TSysFile::Write(const uint8_t* ABuf, int ASize) {
    const size_t n = std::fwrite(ABuf, 1, static_cast<size_t>(ASize), static_cast<std::FILE*>(FHandle));
    return n > 0 || ASize == 0 ? static_cast<int>(n) : -1;
}

int64_t TSysFile::Seek(int64_t AOffset, int AWhence) {
    auto* f = static_cast<std::FILE*>(FHandle);
    if (fseeko(f, static_cast<off_t>(AOffset), AWhence) != 0) return -1;
    return ftello(f);
}

int64_t TSysFile::Size() {
    auto* f = static_cast<std::FILE*>(FHandle);
    std::fflush(f);
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return -1;
    return st.st_size;
}
#endif

#ifdef _WIN32
bool QueryWindowsVersion(TWindowsVersion& AVersion) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
    AVersion.PlatformId = info.dwPlatformId;
    AVersion.Major = info.dwMajorVersion;
    AVersion.Minor = info.dwMinorVersion;
    AVersion.Build = info.dwBuildNumber;
    AVersion.ServicePack = PathToUtf8(std::filesystem::path(info.szCSDVersion));
    return true;
}

std::string EnableShutdownPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return "OpenProcessToken";
    TOKEN_PRIVILEGES privileges{};
    if (!LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        CloseHandle(token);
        return "LookupPrivilegeValue";
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(token);
    return error == ERROR_SUCCESS ? std::string() : "AdjustTokenPrivileges";
}

bool ForceShutdown() { return ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0) != 0; }
#endif
