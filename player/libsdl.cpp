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
    // Exactly this file: never a bare name the system's search resolves, nothing beside it.
    std::string error;
    void* handle = LoadLibraryFile(full, error);
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

namespace {

// The fresh folders made in place of a refused one, per refused folder; removed at process end
// (a loaded copy stays mapped). Guarded by g_FreshLock.
struct TFreshFolders {
    std::mutex Lock;
    std::vector<std::pair<fs::path, fs::path>> Made;  // refused folder, its fresh replacement
    ~TFreshFolders() {
        std::error_code ec;
        for (const auto& m : Made) fs::remove_all(m.second, ec);
    }
};
TFreshFolders g_Fresh;

}  // namespace

fs::path SDLCopyFolder(std::string& AError) {
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    if (ec) temp.clear();
#ifdef _WIN32
    const fs::path folder = temp.empty() ? fs::path() : temp / "quendral";
#else
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const fs::path folder = runtime && *runtime && fs::path(runtime).is_absolute()
                                ? fs::path(runtime) / "quendral"
                                : temp.empty() ? fs::path() : temp / UserFolderName("quendral");
#endif
    if (folder.empty()) {
        AError = "no temporary folder";
        return {};
    }
    std::string error;
    if (MakePrivateFolder(folder, error)) return folder;
    // A folder another user made under our name must not end playback: a fresh one of our own,
    // the same for every later call of this process.
    std::lock_guard lock(g_Fresh.Lock);
    for (const auto& m : g_Fresh.Made) {
        std::string ignored;
        if (m.first == folder && MakePrivateFolder(m.second, ignored)) return m.second;
    }
    std::string freshError;
    const fs::path fresh = temp.empty() ? fs::path() : MakeFreshPrivateFolder(temp, UserFolderName("quendral"), freshError);
    if (fresh.empty()) {
        AError = error;
        return {};
    }
    g_Fresh.Made.emplace_back(folder, fresh);
    return fresh;
}

namespace {

// The copy is of the source as it is now: same size and modification time (the copy takes the
// source's time when made).
bool SameAsSource(const fs::path& ACopy, const fs::path& ASource) {
    std::error_code ec;
    const auto size = fs::file_size(ASource, ec);
    if (ec || fs::file_size(ACopy, ec) != size || ec) return false;
    const auto time = fs::last_write_time(ASource, ec);
    return !ec && fs::last_write_time(ACopy, ec) == time && !ec;
}

}  // namespace

fs::path PrepareSDLCopy(const fs::path& ASource, int AIndex, std::string& AError) {
    const fs::path folder = SDLCopyFolder(AError);
    if (folder.empty()) return {};
    const fs::path target = folder / SDLCopyName(AIndex);
#ifndef _WIN32
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        st.st_nlink == 1 && SameAsSource(target, ASource))
        return target;
#else
    if (fs::is_regular_file(fs::symlink_status(target)) && SameAsSource(target, ASource)) return target;
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
    // A copy that cannot take the source's time is copied again next time.
    const auto time = fs::last_write_time(ASource, ec);
    if (!ec) fs::last_write_time(partial, time, ec);
    fs::rename(partial, target, ec);
    if (ec) {
        AError = Format("cannot write %s: %s", PathToUtf8(target), ec.message());
        fs::remove(partial, ec);
        return {};
    }
    return target;
}
