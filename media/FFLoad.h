// The run-time loader of the media libraries: opens each library, binds every function the system
// calls into the tables of FFAPI.h, and installs the process-wide hooks (codec lock, log callback,
// Unicode file names, interrupt callback). One instance, GlobalFFLoader; loading and unloading run
// on the main thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

enum TLibrary { avCodec, avCore, avDevice, avFilter, avFormat, avUtil, swScale, myUtil };
constexpr int kLibraryCount = 8;

// A set of libraries.
class TLibraries {
public:
    constexpr TLibraries() = default;
    constexpr TLibraries(std::initializer_list<TLibrary> ALibs) {
        for (auto l : ALibs) FBits |= 1u << l;
    }
    constexpr bool Contains(TLibrary ALib) const { return FBits & (1u << ALib); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TLibraries operator-(TLibraries AOther) const { return Bits(FBits & ~AOther.FBits); }
    constexpr TLibraries operator+(TLibraries AOther) const { return Bits(FBits | AOther.FBits); }
    constexpr bool operator==(const TLibraries&) const = default;

private:
    static constexpr TLibraries Bits(unsigned ABits) {
        TLibraries r;
        r.FBits = ABits;
        return r;
    }
    unsigned FBits = 0;
};

constexpr TLibraries AllLibraries{avCodec, avCore, avDevice, avFilter,
                                  avFormat, avUtil, swScale, myUtil};
constexpr TLibraries EncoderLibraries = AllLibraries - TLibraries{avDevice};
constexpr TLibraries PlayerLibraries = AllLibraries - TLibraries{avDevice};
constexpr TLibraries DecoderLibraries{avCodec, avCore, avFormat, avUtil, swScale, myUtil};

using TFixupProc = void (*)(const std::string& ALibName, void* AHandle);
using TUnfixProc = void (*)();

struct TLibraryItem {
    TLibrary Lib;
    const char* Name;  // base name of the file
    bool SysLib;       // a system library: never searched in the library folder
    int Version;       // major version of the headers in use; below 0: no suffix
    TFixupProc Fixup;  // binds every function of the library; may raise
    TUnfixProc Unfix;  // clears every function pointer of the library
};

struct TLibraryStatus {
    TLibrary Lib;
    std::string Name;  // a complete file name replacing the composed one when not empty
    void* Handle = nullptr;
    bool Fixuped = false;
};

const TLibraryItem& LibraryItem(TLibrary ALib);

class TFFLoader {
public:
    TFFLoader();
    ~TFFLoader();

    bool Load(TLibrary ALibrary);
    bool Load(TLibraries ALibraries);
    bool Loaded(TLibrary ALibrary) const;
    bool Loaded(TLibraries ALibraries) const;
    void Unload(TLibrary ALibrary);
    void Unload(TLibraries ALibraries);

    std::string LastErrMsg() const;
    std::string LibraryPath() const;
    void SetLibraryPath(const std::string& AValue);
    bool InstallLogger() const { return FInstallLogger; }
    void SetInstallLogger(bool AValue) { FInstallLogger = AValue; }

    // The file name of a library on this platform ("libavcodec.so.59", "avcodec-59.dll").
    std::string LibraryFileName(TLibrary ALibrary) const;
    const TLibraryStatus& Status(TLibrary ALibrary) const { return FStatus[ALibrary]; }
    // A complete file name replacing the composed one (empty: composed); for tests and tools.
    void SetLibraryName(TLibrary ALibrary, const std::string& AName) { FStatus[ALibrary].Name = AName; }

    // Forgets the library status, LastErrMsg and LibraryPath (process end).
    void ClearState();

private:
    void RunHooks(TLibrary ALibrary);

    TLibraryStatus FStatus[kLibraryCount];
    bool FInstallLogger = true;
};

extern TFFLoader GlobalFFLoader;

// Loads a library file: from AFolder when the file is there (its own dependencies found beside
// it), else by bare name through the system search. On failure answers null and AErrorText.
void* LoadLibraryInDir(const std::string& AFolder, const std::string& AFileName,
                       std::string& AErrorText);
// Loads exactly the library file AFile, named by an absolute path: nothing beside it is loaded
// first (its dependencies come through the system's search) and a relative name is refused, so
// the system's search never picks the file. On failure answers null and AErrorText.
void* LoadLibraryFile(const std::string& AFile, std::string& AErrorText);
void FreeLibraryHandle(void* AHandle);

// Looks a symbol up; a missing required one raises ELoadError with
// "Load function %s@%s error: %s" (or "Load variable ..." for data).
void* BindFunction(const std::string& ALibName, void* AHandle, const char* AName, bool AOptional);
void* BindVariable(const std::string& ALibName, void* AHandle, const char* AName, bool AOptional);

class ELoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The codec lock: one process-wide mutex held around every codec open and close.
enum TLockOp { lockCreate = 0, lockObtain = 1, lockRelease = 2, lockDestroy = 3 };
int CodecLockManager(void** AMutex, int AOp);
// Registers a lock manager the way the codec library did: the previous one is asked to destroy
// its mutex, the new one to create it; registering the manager in force again changes nothing.
// Null unregisters. Waits (pumping on the main thread) until no thread holds the codec lock.
void RegisterCodecLockManager(int (*AManager)(void**, int));
// Obtains and releases the codec lock (0 on success, or when no manager is registered); always
// in pairs on one thread (TCodecLockGuard).
int CodecLock();
int CodecUnlock();
// Holds the codec lock for a scope.
class TCodecLockGuard {
public:
    TCodecLockGuard() { CodecLock(); }
    ~TCodecLockGuard() { CodecUnlock(); }
    TCodecLockGuard(const TCodecLockGuard&) = delete;
    TCodecLockGuard& operator=(const TCodecLockGuard&) = delete;
};

// The registry behind the interrupt callback: a working thread registers a method that answers
// whether its blocking I/O should be aborted now.
using TInterruptProc = bool (*)(void* Sender);
struct TInterruptItem {
    uint32_t ThreadID;
    void* Sender;
    TInterruptProc Interrupt;
};

class TInterruptCB {
public:
    void Add(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt);
    void Remove(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt);
    void Clear();
    // Runs the first item of the thread (under the lock, so it must not call back here).
    bool Interrupt(uint32_t AThreadID);
    std::list<TInterruptItem>& LockList();
    void UnlockList();

private:
    std::mutex FLock;  // guards FList
    std::list<TInterruptItem> FList;
};

extern TInterruptCB GlobalInterruptCB;

// The callback FFmpeg polls during blocking I/O: 1 when the calling thread's registered
// interrupt asks for an abort.
int URLInterruptCallback();
extern "C" int URLInterruptCallbackAV(void* AOpaque);

// Process end has begun: the lock manager answers 0 from then on.
bool ProcessEnding();
// Runs the process-end steps now (restore the floating-point environment, unload everything,
// clear state). Runs once; also run at exit.
void FFLoadProcessEnd();
