// Small platform calls used by the media, engine and player layers, and the Windows system
// routines of the program.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

// Identifier of the calling thread as the system numbers it (32 bits, as logged).
uint32_t CurrentThreadID();

// Priority of the calling thread, from 0 (idle) over 3 (normal) to 6 (time critical): the
// thread priority levels on Windows, nice values 19 to -20 on Linux (lowering always works; a
// refused raise is ignored).
void SetCurrentThreadPriority(int ALevel);

// Text of a system error code (errno on Linux, GetLastError on Windows).
std::string SystemErrorText(int ACode);

// Last system error code of the calling thread.
int LastSystemError();

// Hands the heap's free pages back to the system (glibc keeps the pages of freed blocks resident
// when live blocks sit between them); nothing where the allocator has no such call.
void ReturnFreedMemory();

// UTF-8 text of a path, and the path of a UTF-8 text, on every platform.
std::string PathToUtf8(const std::filesystem::path& APath);
std::filesystem::path Utf8ToPath(const std::string& AText);

// ---- folders of this user alone

// "<AStem>-<uid>": the name of a folder of this user in a folder all users share (the temporary
// folder); AStem on Windows, where the user's temporary folder is the user's own.
std::string UserFolderName(const std::string& AStem);
// Makes AFolder a folder of this user alone: created with mode 0700 when missing; an existing one
// must be a folder (not a link) owned by the user, else it is refused ("<folder> is not private").
// One other users could write into is made 0700 and emptied, so nothing they left there is ever
// used; one that cannot be emptied is refused. False with AError on failure. Windows: the
// folder is only created (the user's temporary folder is private).
bool MakePrivateFolder(const std::filesystem::path& AFolder, std::string& AError);

// Renames AFrom to ATo unless a file has ATo's name, atomically where the file system allows;
// 1 when renamed, 0 when ATo exists (nothing changed), -1 on another failure (AError says).
int RenameNoReplace(const std::filesystem::path& AFrom, const std::filesystem::path& ATo, std::string& AError);
// A new private folder <AParent>/<AStem>-XXXXXX under a name nobody used before (mkdtemp); empty
// with AError when it cannot be made.
std::filesystem::path MakeFreshPrivateFolder(const std::filesystem::path& AParent,
                                             const std::string& AStem, std::string& AError);

// A UTF-8 text in the system's 8-bit code page (file names are UTF-8 bytes on Linux); false when
// the text is no valid UTF-8 or has a character the code page lacks.
bool Utf8ToCodePage(const std::string& AUtf8, std::string& AOut);
// An 8-bit code-page text in UTF-8 (unchanged on Linux, and where Windows cannot convert it).
std::string CodePageToUtf8(const std::string& AText);

// Calendar time of a count of seconds since 1970, in UTC or in the local time zone; false when the
// system cannot represent that time (ATime is then left as it was).
bool UtcTime(int64_t ASeconds, std::tm& ATime);
bool LocalTime(int64_t ASeconds, std::tm& ATime);

// A file read or written by our own I/O (Unicode file names): CreateFileW on Windows (other
// readers allowed; a written file is created anew), stdio elsewhere. One thread at a time.
class TSysFile {
public:
    // Opens for reading (an existing file) or for writing (created, or emptied); null on failure
    // with AError set to the negated system error number.
    static std::unique_ptr<TSysFile> Open(const std::string& AFileName, bool AWrite, int& AError);
    // Creates a new file for writing, never one that exists (O_EXCL, CREATE_NEW): null with
    // AError -EEXIST when the name is taken. Other readers and writers are allowed on Windows.
    static std::unique_ptr<TSysFile> CreateNew(const std::string& AFileName, int& AError);
    ~TSysFile();
    TSysFile(const TSysFile&) = delete;
    TSysFile& operator=(const TSysFile&) = delete;

    // Byte count, 0 at the end of the file, -1 on failure.
    int Read(uint8_t* ABuf, int ASize);
    // Byte count written (ASize unless the system failed), -1 on failure.
    int Write(const uint8_t* ABuf, int ASize);
    // New position from SEEK_SET, SEEK_CUR or SEEK_END, or -1.
    int64_t Seek(int64_t AOffset, int AWhence);
    // Size in bytes, including what was written and not yet flushed, or -1.
    int64_t Size();
    // AFileName names this open file now (same volume and file number): false when the name is
    // gone or names another file.
    bool IsNamed(const std::string& AFileName);

private:
    explicit TSysFile(void* AHandle) : FHandle(AHandle) {}
    void* FHandle;  // HANDLE on Windows, FILE* elsewhere
};

#ifdef _WIN32
// The system's version record (GetVersionExW); false when the system cannot be asked.
struct TWindowsVersion {
    unsigned PlatformId = 0;  // 0 Win32s, 1 Windows 95 family, 2 NT family
    unsigned Major = 0, Minor = 0, Build = 0;
    std::string ServicePack;  // UTF-8
};
bool QueryWindowsVersion(TWindowsVersion& AVersion);
// Enables SeShutdownPrivilege in the process token. Empty on success, else the failed call:
// "OpenProcessToken", "LookupPrivilegeValue" or "AdjustTokenPrivileges" (also when the system's
// last error after the adjustment is not zero).
std::string EnableShutdownPrivilege();
// Shuts the computer down with the shutdown and force flags; false when the system refuses.
bool ForceShutdown();
#endif
