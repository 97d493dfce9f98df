#include "FFLoad.h"

#include <atomic>
#include <cfenv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <utility>

#include "Assert.h"
#include "Dispatcher.h"
#include "FFAPI.h"
#include "FFLog.h"
#include "Format.h"
#include "Platform.h"
#include "ProbeCache.h"
#include "UnicodeProtocol.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
// Sanitizer builds keep unloaded libraries mapped so that leak reports can name their code.
#ifdef QAC_KEEP_LIBRARIES_MAPPED
constexpr int kDlopenFlags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
#else
constexpr int kDlopenFlags = RTLD_NOW | RTLD_LOCAL;
#endif
#endif


// LastErrMsg and LibraryPath are process-wide values, shared by every loader user.
std::mutex g_LoaderTextLock;  // guards g_LastErrMsg, g_LibraryPath
std::string g_LastErrMsg;
std::string g_LibraryPath;

void SetLastErrMsg(const std::string& AText) {
    std::lock_guard lock(g_LoaderTextLock);
    g_LastErrMsg = AText;
}

// The loaded library must be the generation of the headers the tables were typed from.
void CheckMajor(const std::string& ALibName, unsigned AVersion, int AMajor) {
    if (static_cast<int>(AVersion >> 16) != AMajor)
        throw ELoadError(Format("Load library %s error: version %u.%u.%u found, major %d expected",
                                ALibName, AVersion >> 16, (AVersion >> 8) & 0xff, AVersion & 0xff,
                                AMajor));
}

// Binds every name of a table; QAC_FUNC names are required, QAC_OPT_FUNC optional.
#define QAC_FUNC(name) \
    API.name = reinterpret_cast<decltype(API.name)>(BindFunction(ALibName, AHandle, #name, false));
#define QAC_OPT_FUNC(name) \
    API.name = reinterpret_cast<decltype(API.name)>(BindFunction(ALibName, AHandle, #name, true));

void FixupAVCodec(const std::string& ALibName, void* AHandle) {
#define API avcodec
#include "api/avcodec.inc"
#undef API
    CheckMajor(ALibName, avcodec.avcodec_version(), LIBAVCODEC_VERSION_MAJOR);
}
void FixupAVFormat(const std::string& ALibName, void* AHandle) {
#define API avformat
#include "api/avformat.inc"
#undef API
    CheckMajor(ALibName, avformat.avformat_version(), LIBAVFORMAT_VERSION_MAJOR);
}
void FixupAVUtil(const std::string& ALibName, void* AHandle) {
#define API avutil
#include "api/avutil.inc"
#undef API
    CheckMajor(ALibName, avutil.avutil_version(), LIBAVUTIL_VERSION_MAJOR);
}
void FixupSWResample(const std::string& ALibName, void* AHandle) {
#define API swresample
#include "api/swresample.inc"
#undef API
    CheckMajor(ALibName, swresample.swresample_version(), LIBSWRESAMPLE_VERSION_MAJOR);
}
void FixupSWScale(const std::string& ALibName, void* AHandle) {
#define API swscale
#include "api/swscale.inc"
#undef API
    CheckMajor(ALibName, swscale.swscale_version(), LIBSWSCALE_VERSION_MAJOR);
}
void FixupAVFilter(const std::string& ALibName, void* AHandle) {
#define API avfilter
#include "api/avfilter.inc"
#undef API
    CheckMajor(ALibName, avfilter.avfilter_version(), LIBAVFILTER_VERSION_MAJOR);
}
void FixupAVDevice(const std::string& ALibName, void* AHandle) {
#define API avdevice
#include "api/avdevice.inc"
#undef API
    CheckMajor(ALibName, avdevice.avdevice_version(), LIBAVDEVICE_VERSION_MAJOR);
    // The only library of this generation that still has a registration call.
    avdevice.avdevice_register_all();
}
// Export name of a C runtime function: msvcrt has the bounded printf functions only under their
// underscored names (which return -1, without a terminator, when the text is cut).
const char* LibCExportName(const char* AName) {
#ifdef _WIN32
    if (std::strcmp(AName, "snprintf") == 0) return "_snprintf";
    if (std::strcmp(AName, "vsnprintf") == 0) return "_vsnprintf";
#endif
    return AName;
}

void FixupLibC(const std::string& ALibName, void* AHandle) {
#undef QAC_FUNC
#define QAC_FUNC(name)                                     \
    API.name = reinterpret_cast<decltype(API.name)>(       \
        BindFunction(ALibName, AHandle, LibCExportName(#name), false));
#define API libc
#include "api/libc.inc"
#undef API
}
#undef QAC_FUNC
#undef QAC_OPT_FUNC

void UnfixAVCodec() { avcodec = TAVCodecAPI{}; }
void UnfixAVFormat() { avformat = TAVFormatAPI{}; }
void UnfixAVUtil() { avutil = TAVUtilAPI{}; }
void UnfixSWResample() { swresample = TSWResampleAPI{}; }
void UnfixSWScale() { swscale = TSWScaleAPI{}; }
void UnfixAVFilter() { avfilter = TAVFilterAPI{}; }
void UnfixAVDevice() { avdevice = TAVDeviceAPI{}; }
// The runtime's table falls back to the process's own functions so logging keeps working.
void UnfixLibC() { libc.Reset(); }

// The library table, in load order. The avcore slot holds swresample, home of the successors of
// the resampler and sample-format converter.
const TLibraryItem kLibraries[kLibraryCount] = {
    {avCodec, "avcodec", false, LIBAVCODEC_VERSION_MAJOR, FixupAVCodec, UnfixAVCodec},
    {avCore, "swresample", false, LIBSWRESAMPLE_VERSION_MAJOR, FixupSWResample,
     UnfixSWResample},
    {avDevice, "avdevice", false, LIBAVDEVICE_VERSION_MAJOR, FixupAVDevice, UnfixAVDevice},
    {avFilter, "avfilter", false, LIBAVFILTER_VERSION_MAJOR, FixupAVFilter, UnfixAVFilter},
    {avFormat, "avformat", false, LIBAVFORMAT_VERSION_MAJOR, FixupAVFormat, UnfixAVFormat},
    {avUtil, "avutil", false, LIBAVUTIL_VERSION_MAJOR, FixupAVUtil, UnfixAVUtil},
    {swScale, "swscale", false, LIBSWSCALE_VERSION_MAJOR, FixupSWScale, UnfixSWScale},
#ifdef _WIN32
    {myUtil, "msvcrt", true, -1, FixupLibC, UnfixLibC},
#else
    {myUtil, "c", true, 6, FixupLibC, UnfixLibC},
#endif
};

#ifndef _WIN32
// DT_NEEDED entries of an ELF shared object of the class of Ehdr; tables that do not lie inside
// the file (ASize bytes) are skipped.
template <typename Ehdr, typename Shdr, typename Dyn>
std::vector<std::string> NeededLibrariesOf(std::ifstream& AIn, uint64_t ASize) {
    const auto inside = [ASize](uint64_t AOffset, uint64_t ALength) {
        return AOffset <= ASize && ALength <= ASize - AOffset;
    };
    std::vector<std::string> out;
    Ehdr eh{};
    AIn.seekg(0);
    if (!AIn.read(reinterpret_cast<char*>(&eh), sizeof eh) || eh.e_shentsize != sizeof(Shdr) ||
        !inside(eh.e_shoff, uint64_t(eh.e_shnum) * sizeof(Shdr)))
        return out;
    std::vector<Shdr> sections(eh.e_shnum);
    AIn.seekg(static_cast<std::streamoff>(eh.e_shoff));
    if (!AIn.read(reinterpret_cast<char*>(sections.data()),
                  static_cast<std::streamsize>(sections.size() * sizeof(Shdr))))
        return out;
    for (const auto& sh : sections) {
        if (sh.sh_type != SHT_DYNAMIC || sh.sh_link >= sections.size()) continue;
        const auto& strtab = sections[sh.sh_link];
        if (!inside(strtab.sh_offset, strtab.sh_size) || !inside(sh.sh_offset, sh.sh_size)) continue;
        std::vector<char> strings(static_cast<size_t>(strtab.sh_size) + 1, '\0');  // terminated
        AIn.seekg(static_cast<std::streamoff>(strtab.sh_offset));
        AIn.read(strings.data(), static_cast<std::streamsize>(strtab.sh_size));
        std::vector<Dyn> dyn(static_cast<size_t>(sh.sh_size / sizeof(Dyn)));
        AIn.seekg(static_cast<std::streamoff>(sh.sh_offset));
        AIn.read(reinterpret_cast<char*>(dyn.data()),
                 static_cast<std::streamsize>(dyn.size() * sizeof(Dyn)));
        if (!AIn) return out;
        for (const auto& d : dyn)
            if (d.d_tag == DT_NEEDED && d.d_un.d_val < strtab.sh_size)
                out.emplace_back(strings.data() + d.d_un.d_val);
    }
    return out;
}

// DT_NEEDED entries of a 32- or 64-bit ELF shared object (empty when the file is no ELF).
std::vector<std::string> NeededLibraries(const fs::path& AFile) {
    std::error_code ec;
    const uint64_t size = fs::file_size(AFile, ec);
    if (ec) return {};
    std::ifstream in(AFile, std::ios::binary);
    unsigned char ident[EI_NIDENT]{};
    if (!in.read(reinterpret_cast<char*>(ident), sizeof ident) || memcmp(ident, ELFMAG, SELFMAG))
        return {};
    if (ident[EI_CLASS] == ELFCLASS64)
        return NeededLibrariesOf<Elf64_Ehdr, Elf64_Shdr, Elf64_Dyn>(in, size);
    if (ident[EI_CLASS] == ELFCLASS32)
        return NeededLibrariesOf<Elf32_Ehdr, Elf32_Shdr, Elf32_Dyn>(in, size);
    return {};
}

// A file only this user or the system can have written: a regular file (also through links)
// owned by the user or root that neither group nor others may write.
bool TrustedLibraryFile(const fs::path& AFile) {
    struct stat st {};
    return ::stat(AFile.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & 022) == 0;
}

// Loads the dependencies of a library that lie beside it first, so the library binds to them
// rather than to the system's copies (what the altered search path does on Windows). Only files
// that others cannot have planted are loaded. The handles answered keep them loaded until the
// library itself holds them.
void PreloadDependencies(const fs::path& AFolder, const fs::path& AFile,
                         std::vector<void*>& AHandles, int ADepth = 0) {
    if (ADepth > 16) return;
    for (const auto& name : NeededLibraries(AFile)) {
        const fs::path dep = AFolder / name;
        if (name.find('/') != std::string::npos || !TrustedLibraryFile(dep)) continue;
        PreloadDependencies(AFolder, dep, AHandles, ADepth + 1);
        if (void* h = dlopen(dep.c_str(), kDlopenFlags)) AHandles.push_back(h);
    }
}
#endif

std::atomic<bool> g_ProcessEnding{false};

// The codec lock (process-wide): the manager's mutex and the slot the registration hands it.
struct TCodecMutex {
    std::mutex Mutex;
    int Id;
};
std::atomic<int> g_CodecMutexIds{0};
TCodecMutex* g_CodecMutex = nullptr;  // the manager's process-wide handle
void* g_CodecMutexSlot = nullptr;     // what the codec library's slot held
// Guards g_LockManager and g_CodecMutexSlot: held shared from CodecLock to CodecUnlock (on the
// holder's thread), exclusively by registration, so the mutex is never replaced or destroyed
// while a thread holds or waits for it.
std::shared_mutex g_LockManagerLock;
int (*g_LockManager)(void**, int) = nullptr;

struct TProcessFPU {
    std::fenv_t Saved{};
    // Masks every floating-point exception for the media libraries; the environment of the
    // process is restored at the end.
    TProcessFPU() { std::feholdexcept(&Saved); }
};
TProcessFPU g_ProcessFPU;
std::once_flag g_ProcessEndOnce;

}  // namespace

// Defined in this order so the loader, whose destruction runs the process-end steps, goes first.
TInterruptCB GlobalInterruptCB;
TFFLoader GlobalFFLoader;

const TLibraryItem& LibraryItem(TLibrary ALib) { return kLibraries[ALib]; }

TFFLoader::TFFLoader() {
    for (int i = 0; i < kLibraryCount; ++i) FStatus[i].Lib = static_cast<TLibrary>(i);
}

TFFLoader::~TFFLoader() { FFLoadProcessEnd(); }

std::string TFFLoader::LastErrMsg() const {
    std::lock_guard lock(g_LoaderTextLock);
    return g_LastErrMsg;
}

std::string TFFLoader::LibraryPath() const {
    std::lock_guard lock(g_LoaderTextLock);
    return g_LibraryPath;
}

void TFFLoader::SetLibraryPath(const std::string& AValue) {
    std::lock_guard lock(g_LoaderTextLock);
    g_LibraryPath = AValue;
}

std::string TFFLoader::LibraryFileName(TLibrary ALibrary) const {
    if (!FStatus[ALibrary].Name.empty()) return FStatus[ALibrary].Name;
    const auto& item = kLibraries[ALibrary];
#ifdef _WIN32
    std::string name = item.Name;
    if (item.Version >= 0) name += "-" + std::to_string(item.Version);
    return name + ".dll";
#else
    std::string name = std::string("lib") + item.Name + ".so";
    if (item.Version >= 0) name += "." + std::to_string(item.Version);
    return name;
#endif
}

bool TFFLoader::Load(TLibrary ALibrary) {
    auto& st = FStatus[ALibrary];
    const auto& item = kLibraries[ALibrary];
    const std::string composed = LibraryFileName(ALibrary);
    if (!st.Handle) {
        const fs::path composedPath = Utf8ToPath(composed);
        std::string folder = PathToUtf8(composedPath.parent_path());
        const std::string file = PathToUtf8(composedPath.filename());
        const std::string libPath = LibraryPath();
        if (folder.empty() && !libPath.empty() && !item.SysLib) {
            folder = libPath;
            if (folder.back() != fs::path::preferred_separator && folder.back() != '/')
                folder += static_cast<char>(fs::path::preferred_separator);
        }
        std::string error;
        void* handle = LoadLibraryInDir(folder, file, error);
        if (!handle) {
            SetLastErrMsg(Format("Load library %s error: %s", folder + file, error));
            return false;
        }
        st.Handle = handle;
    }
    if (!st.Fixuped) {
        try {
            item.Fixup(composed, st.Handle);
            st.Fixuped = true;
        } catch (const std::exception& e) {
            SetLastErrMsg(e.what());
        }
    }
    if (!st.Fixuped) {
        item.Unfix();  // no half-bound table stays behind
        Unload(ALibrary);
        return false;
    }
    RunHooks(ALibrary);
    return true;
}

void TFFLoader::RunHooks(TLibrary ALibrary) {
    switch (ALibrary) {
        case avCodec:
            RegisterCodecLockManager(CodecLockManager);
            break;
        case avUtil:
            if (FInstallLogger) TFFLogger::InstallAVLogCallback();
            break;
        case avFormat:
            // The interrupt callback is set on every format context we open (OpenInputFile,
            // OpenOutputFile), since this generation has no global one.
            RegisterUnicodeProtocol();
            break;
        default:
            break;
    }
}

bool TFFLoader::Load(TLibraries ALibraries) {
    QAC_ASSERT(!ALibraries.Empty(), "Load: empty library set");
    for (int i = 0; i < kLibraryCount; ++i) {
        const auto lib = static_cast<TLibrary>(i);
        if (ALibraries.Contains(lib) && !Load(lib)) {
            Unload(ALibraries);
            return false;
        }
    }
    return true;
}

bool TFFLoader::Loaded(TLibrary ALibrary) const {
    return FStatus[ALibrary].Handle && FStatus[ALibrary].Fixuped;
}

bool TFFLoader::Loaded(TLibraries ALibraries) const {
    QAC_ASSERT(!ALibraries.Empty(), "Loaded: empty library set");
    for (int i = 0; i < kLibraryCount; ++i)
        if (ALibraries.Contains(static_cast<TLibrary>(i)) && !Loaded(static_cast<TLibrary>(i)))
            return false;
    return true;
}

void TFFLoader::Unload(TLibrary ALibrary) {
    auto& st = FStatus[ALibrary];
    if (st.Fixuped) {
        // The cache's entries are freed through avcodec and point at avformat's demuxers.
        if (ALibrary == avCodec || ALibrary == avFormat) TProbeCache::Global().Clear();
        if (ALibrary == avCodec) RegisterCodecLockManager(nullptr);
        kLibraries[ALibrary].Unfix();
        st.Fixuped = false;
    }
    if (st.Handle) {
        FreeLibraryHandle(st.Handle);
        st.Handle = nullptr;
    }
}

void TFFLoader::Unload(TLibraries ALibraries) {
    QAC_ASSERT(!ALibraries.Empty(), "Unload: empty library set");
    for (int i = kLibraryCount - 1; i >= 0; --i)
        if (ALibraries.Contains(static_cast<TLibrary>(i))) Unload(static_cast<TLibrary>(i));
}

void TFFLoader::ClearState() {
    for (int i = 0; i < kLibraryCount; ++i) {
        FStatus[i] = TLibraryStatus{};
        FStatus[i].Lib = static_cast<TLibrary>(i);
    }
    std::lock_guard lock(g_LoaderTextLock);
    g_LastErrMsg.clear();
    g_LibraryPath.clear();
}

void* LoadLibraryInDir(const std::string& AFolder, const std::string& AFileName,
                       std::string& AErrorText) {
#ifdef _WIN32
    const fs::path folder = Utf8ToPath(AFolder);
    const fs::path full = folder / Utf8ToPath(AFileName);
    std::error_code ec;
    HMODULE h = nullptr;
    if (!AFolder.empty() && fs::exists(full, ec)) {
        const fs::path saved = fs::current_path(ec);
        fs::current_path(folder, ec);
        // Put the folder in front of PATH once, so libraries loaded later find it too.
        std::wstring path;
        if (DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0)) {
            path.resize(n);
            path.resize(GetEnvironmentVariableW(L"PATH", path.data(), n));
        }
        std::wstring entry = folder.wstring();
        if (entry.back() != L'\\' && entry.back() != L'/') entry += L'\\';
        std::wstring lowerPath = path, lowerEntry = entry;
        CharLowerW(lowerPath.data());
        CharLowerW(lowerEntry.data());
        if (lowerPath.find(lowerEntry) == std::wstring::npos)
            SetEnvironmentVariableW(L"PATH", (entry + L";" + path).c_str());
        h = LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        const DWORD err = GetLastError();
        fs::current_path(saved, ec);
        SetLastError(err);
    } else {
        h = LoadLibraryW(Utf8ToPath(AFileName).c_str());
    }
    if (!h) AErrorText = SystemErrorText(static_cast<int>(GetLastError()));
    return h;
#else
    const fs::path full = Utf8ToPath(AFolder) / Utf8ToPath(AFileName);
    std::error_code ec;
    void* h = nullptr;
    if (!AFolder.empty() && fs::exists(full, ec)) {
        std::vector<void*> deps;
        PreloadDependencies(full.parent_path(), full, deps);
        h = dlopen(full.c_str(), kDlopenFlags);
        if (!h) AErrorText = dlerror();
        for (void* d : deps) FreeLibraryHandle(d);
    } else {
        h = dlopen(AFileName.c_str(), kDlopenFlags);
        if (!h) AErrorText = dlerror();
    }
    return h;
#endif
}

void* LoadLibraryFile(const std::string& AFile, std::string& AErrorText) {
    const fs::path full = Utf8ToPath(AFile);
    if (!full.is_absolute()) {
        AErrorText = "not an absolute path";
        return nullptr;
    }
#ifdef _WIN32
    HMODULE h = LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!h) AErrorText = SystemErrorText(static_cast<int>(GetLastError()));
    return h;
#else
    void* h = dlopen(full.c_str(), kDlopenFlags);
    if (!h) {
        const char* e = dlerror();
        AErrorText = e ? e : "cannot load";
    }
    return h;
#endif
}

void FreeLibraryHandle(void* AHandle) {
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(AHandle));
#elif defined(QAC_KEEP_LIBRARIES_MAPPED)
    (void)AHandle;  // kept mapped, with everything it pulled in
#else
    dlclose(AHandle);
#endif
}

namespace {
void* LookUp(void* AHandle, const char* AName, std::string& AError) {
#ifdef _WIN32
    void* p = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(AHandle), AName));
    if (!p) AError = SystemErrorText(static_cast<int>(GetLastError()));
#else
    dlerror();
    void* p = dlsym(AHandle, AName);
    if (!p) {
        const char* e = dlerror();
        AError = e ? e : "symbol not found";
    }
#endif
    return p;
}
}  // namespace

void* BindFunction(const std::string& ALibName, void* AHandle, const char* AName, bool AOptional) {
    std::string error;
    void* p = LookUp(AHandle, AName, error);
    if (!p && !AOptional)
        throw ELoadError(Format("Load function %s@%s error: %s", AName, ALibName, error));
    return p;
}

void* BindVariable(const std::string& ALibName, void* AHandle, const char* AName, bool AOptional) {
    std::string error;
    void* p = LookUp(AHandle, AName, error);
    if (!p && !AOptional)
        throw ELoadError(Format("Load variable %s@%s error: %s", AName, ALibName, error));
    return p;
}

// ---- codec lock ----

int CodecLockManager(void** AMutex, int AOp) {
    if (g_ProcessEnding) return 0;
    auto* slot = reinterpret_cast<TCodecMutex**>(AMutex);
    switch (AOp) {
        case lockCreate: {
            if (*slot) {
                TheLogger()->Log(nullptr, llError, "error, codec mutex [%d] already exist.",
                                 (*slot)->Id);
                return -1;
            }
            if (g_CodecMutex) {
                TheLogger()->Log(nullptr, llWarning, "warning, local codec mutex [%d] not destroyed.",
                                 g_CodecMutex->Id);
                delete g_CodecMutex;
                g_CodecMutex = nullptr;
            }
            g_CodecMutex = new (std::nothrow) TCodecMutex;
            if (!g_CodecMutex) {
                TheLogger()->Log(nullptr, llError, "error, failed to create codec mutex: %s.",
                                 std::generic_category().message(ENOMEM));
                return -1;
            }
            g_CodecMutex->Id = ++g_CodecMutexIds;
            *slot = g_CodecMutex;
            TheLogger()->Log(nullptr, llDebug, "create codec mutex [%d].", g_CodecMutex->Id);
            return 0;
        }
        case lockObtain:
        case lockRelease: {
            if (!*slot) {
                TheLogger()->Log(nullptr, llError, "error, codec mutex not available.");
                return -1;
            }
            if (AOp == lockObtain) {
                TheLogger()->Log(nullptr, llDebug, "obtain codec mutex [%d].", (*slot)->Id);
                (*slot)->Mutex.lock();
            } else {
                TheLogger()->Log(nullptr, llDebug, "release codec mutex [%d].", (*slot)->Id);
                (*slot)->Mutex.unlock();
            }
            return 0;
        }
        case lockDestroy:
            if (*slot) {
                TheLogger()->Log(nullptr, llDebug, "destory codec mutex [%d].", (*slot)->Id);
                if (*slot == g_CodecMutex) g_CodecMutex = nullptr;
                delete *slot;
                *slot = nullptr;
            }
            return 0;
        default:
            TheLogger()->Log(nullptr, llError, "error, invalid codec mutex operation %d.", AOp);
            return -1;
    }
}

void RegisterCodecLockManager(int (*AManager)(void**, int)) {
    {
        // The same manager again (a second load) keeps its mutex, also while a thread holds it.
        std::shared_lock lock(g_LockManagerLock);
        if (AManager && AManager == g_LockManager) return;
    }
    // A holder of the codec lock may be waiting for the main thread (a log line): keep pumping.
    if (!g_LockManagerLock.try_lock())
        WaitPumping([] { return g_LockManagerLock.try_lock(); }, std::chrono::milliseconds(1));
    std::lock_guard lock(g_LockManagerLock, std::adopt_lock);
    if (AManager && AManager == g_LockManager) return;
    if (auto* previous = std::exchange(g_LockManager, nullptr))
        previous(&g_CodecMutexSlot, lockDestroy);
    if (AManager && AManager(&g_CodecMutexSlot, lockCreate) == 0) g_LockManager = AManager;
}

int CodecLock() {
    g_LockManagerLock.lock_shared();
    return g_LockManager ? g_LockManager(&g_CodecMutexSlot, lockObtain) : 0;
}

int CodecUnlock() {
    const int r = g_LockManager ? g_LockManager(&g_CodecMutexSlot, lockRelease) : 0;
    g_LockManagerLock.unlock_shared();
    return r;
}

// ---- interrupt registry ----

void TInterruptCB::Add(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt) {
    std::lock_guard lock(FLock);
    for (const auto& i : FList)
        if (i.ThreadID == AThreadID && i.Sender == ASender && i.Interrupt == AInterrupt) return;
    FList.push_back({AThreadID, ASender, AInterrupt});
}

void TInterruptCB::Remove(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt) {
    std::lock_guard lock(FLock);
    for (auto it = FList.begin(); it != FList.end(); ++it)
        if (it->ThreadID == AThreadID && it->Sender == ASender && it->Interrupt == AInterrupt) {
            FList.erase(it);
            return;
        }
}

void TInterruptCB::Clear() {
    std::lock_guard lock(FLock);
    FList.clear();
}

bool TInterruptCB::Interrupt(uint32_t AThreadID) {
    std::lock_guard lock(FLock);
    for (const auto& i : FList)
        if (i.ThreadID == AThreadID) return i.Interrupt && i.Interrupt(i.Sender);
    return false;
}

std::list<TInterruptItem>& TInterruptCB::LockList() {
    FLock.lock();
    return FList;
}

void TInterruptCB::UnlockList() { FLock.unlock(); }

int URLInterruptCallback() { return GlobalInterruptCB.Interrupt(CurrentThreadID()) ? 1 : 0; }

extern "C" int URLInterruptCallbackAV(void*) { return URLInterruptCallback(); }

// ---- process start and end ----

bool ProcessEnding() { return g_ProcessEnding; }

void FFLoadProcessEnd() {
    std::call_once(g_ProcessEndOnce, [] {
        std::fesetenv(&g_ProcessFPU.Saved);
        g_ProcessEnding = true;
        GlobalFFLoader.Unload(AllLibraries);
        GlobalInterruptCB.Clear();
        GlobalFFLoader.ClearState();
    });
}
