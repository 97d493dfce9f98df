#include "libsdl.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "Convert.h"
#include "FFLoad.h"
#include "Format.h"
#include "Platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

struct TLoadedSDL {
    std::string Path;
    void* Handle;
};
std::mutex g_SDLLoaderLock;  // guards g_LoadedSDL (and the SDL set-up of every player)
std::vector<TLoadedSDL> g_LoadedSDL;

// Held by a loader other than the one holding AHandle now (AHandle may be null). Under the lock.
bool HeldElsewhere(const std::string& AFull, void* AHandle) {
    for (const auto& l : g_LoadedSDL)
        if (SameText(l.Path, AFull) || (AHandle && l.Handle == AHandle)) return true;
    return false;
}

void BindAll(TSDLAPI& AAPI, const std::string& ALibName, void* AHandle) {
#define QAC_FUNC(name) \
    AAPI.name = reinterpret_cast<decltype(AAPI.name)>(BindFunction(ALibName, AHandle, #name, false));
#include "api/sdl.inc"
#undef QAC_FUNC
    SDL_version v{};
    AAPI.SDL_GetVersion(&v);
    if (v.major != SDL_MAJOR_VERSION)
        throw ELoadError(Format("Load library %s error: version %d.%d.%d found, major %d expected",
                                ALibName, v.major, v.minor, v.patch, SDL_MAJOR_VERSION));
}

}  // namespace

std::mutex& SDLLoaderLock() { return g_SDLLoaderLock; }

bool TSDLLoader::Load(const std::string& APath, const std::string& AFile) {
    std::string full = APath;
    if (!full.empty() && full.back() != '/' &&
        full.back() != static_cast<char>(fs::path::preferred_separator))
        full += static_cast<char>(fs::path::preferred_separator);
    full += AFile;
    if (Loaded() && FLibFile == full) return true;

    std::lock_guard lock(g_SDLLoaderLock);
    if (HeldElsewhere(full, nullptr)) {
        FLastErrMsg = Format("%s alreay loaded in another instance.", full);
        return false;
    }
    UnloadLocked();
    std::string error;
    void* handle = LoadLibraryInDir(APath, AFile, error);
    if (!handle) {
        FLastErrMsg = Format("Load library %s error: %s", full, error);
        return false;
    }
    // Another name of a file another loader holds (a link) gives that loader's instance.
    if (HeldElsewhere(full, handle)) {
        FreeLibraryHandle(handle);
        FLastErrMsg = Format("%s alreay loaded in another instance.", full);
        return false;
    }
    try {
        BindAll(FAPI, full, handle);
    } catch (const std::exception& e) {
        FAPI = TSDLAPI{};
        FreeLibraryHandle(handle);
        FLastErrMsg = e.what();
        return false;
    }
    FHandle = handle;
    FFixuped = true;
    FLibFile = full;
    g_LoadedSDL.push_back({full, handle});
    return true;
}

void TSDLLoader::Unload() {
    std::lock_guard lock(g_SDLLoaderLock);
    UnloadLocked();
}

void TSDLLoader::UnloadLocked() {
    FAPI = TSDLAPI{};
    FFixuped = false;
    if (FHandle) FreeLibraryHandle(FHandle);
    FHandle = nullptr;
    std::erase_if(g_LoadedSDL, [&](const TLoadedSDL& l) { return l.Path == FLibFile; });
    FLibFile.clear();
}

// ---- per-player copies ----

std::string SDLCopyName(int AIndex) {
#ifdef _WIN32
    return Format("SDL_%d.dll", AIndex);
#else
    return Format("SDL_%d.so", AIndex);
#endif
}

fs::path SDLCopyFolder(std::string& AError) {
    std::error_code ec;
#ifdef _WIN32
    // The temporary folder is the user's own on Windows.
    const fs::path folder = fs::temp_directory_path(ec) / "quendral";
    fs::create_directories(folder, ec);
    if (ec) {
        AError = Format("cannot create %s: %s", PathToUtf8(folder), ec.message());
        return {};
    }
    return folder;
#else
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const fs::path folder = runtime && *runtime
                                ? fs::path(runtime) / "quendral"
                                : fs::temp_directory_path(ec) / Format("quendral-%u", getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        AError = Format("cannot create %s: %s", PathToUtf8(folder), SystemErrorText(errno));
        return {};
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        AError = Format("%s is not a folder of this user", PathToUtf8(folder));
        return {};
    }
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        AError = Format("cannot make %s private: %s", PathToUtf8(folder), SystemErrorText(errno));
        return {};
    }
    return folder;
#endif
}

fs::path PrepareSDLCopy(const fs::path& ASource, int AIndex, std::string& AError) {
    const fs::path folder = SDLCopyFolder(AError);
    if (folder.empty()) return {};
    const fs::path target = folder / SDLCopyName(AIndex);
#ifndef _WIN32
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() &&
        st.st_nlink == 1)
        return target;
#else
    if (fs::is_regular_file(fs::symlink_status(target))) return target;
#endif
    // The folder is the user's alone, so the temporary name cannot be planted meanwhile.
    const fs::path partial = folder / (SDLCopyName(AIndex) + Format(".%u.part", CurrentThreadID()));
    std::error_code ec;
    fs::remove(partial, ec);
    if (!fs::copy_file(ASource, partial, ec)) {
        AError = Format("cannot copy %s to %s: %s", PathToUtf8(ASource), PathToUtf8(target),
                        ec.message());
        fs::remove(partial, ec);
        return {};
    }
    fs::rename(partial, target, ec);
    if (ec) {
        AError = Format("cannot write %s: %s", PathToUtf8(target), ec.message());
        fs::remove(partial, ec);
        return {};
    }
    return target;
}
