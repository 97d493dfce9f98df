#include "WorkingFiles.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "FFLog.h"
#include "Format.h"
#include "Platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char kPrefix[] = ".qac-";
const char kSuffix[] = ".part";

// Counter of the working names this process has made (process-wide; atomic).
std::atomic<uint64_t> g_WorkingCounter{0};

bool AllDigits(const std::string& AText) {
    if (AText.empty() || AText.size() > 18) return false;
    for (char c : AText)
        if (c < '0' || c > '9') return false;
    return true;
}

bool OwnedBy(const fs::path& AFile, int64_t AUserID) {
    if (AUserID < 0) return true;
#ifdef _WIN32
    (void)AFile;
    return true;
#else
    struct stat st;
    return lstat(AFile.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           static_cast<int64_t>(st.st_uid) == AUserID;
#endif
}

}  // namespace

int64_t CurrentProcessID() {
#ifdef _WIN32
    return static_cast<int64_t>(GetCurrentProcessId());
#else
    return static_cast<int64_t>(getpid());
#endif
}

bool ProcessRunning(int64_t APid) {
    if (APid <= 0) return false;
    if (APid == CurrentProcessID()) return true;
#ifdef _WIN32
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(APid));
    if (!h) return GetLastError() == ERROR_ACCESS_DENIED;  // exists, but not ours to open
    DWORD code = 0;
    const bool running = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    CloseHandle(h);
    return running;
#else
    if (APid > INT32_MAX) return false;
    return kill(static_cast<pid_t>(APid), 0) == 0 || errno == EPERM;
#endif
}

int64_t CurrentUserID() {
#ifdef _WIN32
    return -1;
#else
    return static_cast<int64_t>(geteuid());
#endif
}

std::string WorkingFileName(int64_t APid, uint64_t ACounter) {
    return Format("%s%lld-%llu%s", kPrefix, static_cast<long long>(APid),
                  static_cast<unsigned long long>(ACounter), kSuffix);
}

bool ParseWorkingFileName(const std::string& AName, int64_t& APid) {
    const size_t pre = sizeof kPrefix - 1, suf = sizeof kSuffix - 1;
    if (AName.size() <= pre + suf || AName.compare(0, pre, kPrefix) != 0 ||
        AName.compare(AName.size() - suf, suf, kSuffix) != 0)
        return false;
    const std::string middle = AName.substr(pre, AName.size() - pre - suf);
    const size_t dash = middle.find('-');
    if (dash == std::string::npos || !AllDigits(middle.substr(0, dash)) ||
        !AllDigits(middle.substr(dash + 1)))
        return false;
    APid = std::stoll(middle.substr(0, dash));
    return true;
}

std::unique_ptr<TSysFile> CreateWorkingFile(const std::string& AFolder, std::string& AName,
                                            int& AError) {
    const fs::path folder = Utf8ToPath(AFolder);
    const int64_t pid = CurrentProcessID();
    // A name taken (a file left by an earlier process of the same pid) is skipped.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string name =
            PathToUtf8(folder / Utf8ToPath(WorkingFileName(pid, ++g_WorkingCounter)));
        std::unique_ptr<TSysFile> file = TSysFile::CreateNew(name, AError);
        if (file) {
            AName = name;
            return file;
        }
        if (AError != -EEXIST) return nullptr;
    }
    return nullptr;
}

int RemoveStaleWorkingFiles(const std::string& AFolder, int64_t AUserID) {
    std::error_code ec;
    int removed = 0;
    for (fs::directory_iterator it(Utf8ToPath(AFolder), ec), end; !ec && it != end;
         it.increment(ec)) {
        int64_t pid = 0;
        const fs::path file = it->path();
        if (!ParseWorkingFileName(PathToUtf8(file.filename()), pid) || ProcessRunning(pid) ||
            !OwnedBy(file, AUserID))
            continue;
        std::error_code rec;
        if (!fs::is_regular_file(it->symlink_status(rec)) || !fs::remove(file, rec)) continue;
        ++removed;
        TheLogger()->Log(nullptr, llInfo,
                         Format("Removed the working file %s left by process %lld, which no "
                                "longer runs",
                                PathToUtf8(file), static_cast<long long>(pid)));
    }
    return removed;
}
