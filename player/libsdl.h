// The SDL library loader: binds SDL2 at run time from one library file per loader (each player
// loads its own copy, so every player has its own SDL instance), and the per-player copies in a
// folder private to the user. Nothing links SDL.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include <SDL2/SDL.h>

#define QAC_FUNC(name) decltype(&::name) name = nullptr;
// The bound functions of one SDL instance; all are required.
struct TSDLAPI {
#include "api/sdl.inc"
};
#undef QAC_FUNC

// The process-wide lock around SDL loading, unloading and every player's SDL initialisation
// (hints and environment are set under it). Guards the loaded-library list of libsdl.cpp.
std::mutex& SDLLoaderLock();

class TSDLLoader {
public:
    TSDLLoader() = default;
    ~TSDLLoader() { Unload(); }
    TSDLLoader(const TSDLLoader&) = delete;
    TSDLLoader& operator=(const TSDLLoader&) = delete;

    // Loads APath/AFile (APath absolute; nothing else is loaded with it) and binds every entry
    // point. The same file again is a success without reloading; a file (or a library handle) another loader holds is refused with
    // "%s alreay loaded in another instance.". Main thread.
    bool Load(const std::string& APath, const std::string& AFile);
    bool Loaded() const { return FHandle && FFixuped; }
    void Unload();
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    const std::string& LibFile() const { return FLibFile; }
    // The bound table; empty when not loaded.
    const TSDLAPI& API() const { return FAPI; }

private:
    void UnloadLocked();

    void* FHandle = nullptr;
    bool FFixuped = false;
    std::string FLibFile;
    std::string FLastErrMsg;
    TSDLAPI FAPI;
};

// The folder private to the user that holds the per-player SDL copies: $XDG_RUNTIME_DIR/quendral,
// else <temp>/quendral-<uid>, made private by MakePrivateFolder (one that others could write
// into is emptied). When it is refused (another user's, a link), a fresh private folder
// <temp>/quendral-<uid>-XXXXXX made once per process takes its place. Empty with AError ("<folder>
// is not private") when neither can be had. Main thread.
std::filesystem::path SDLCopyFolder(std::string& AError);
// "SDL_%d.so" ("SDL_%d.dll" on Windows).
std::string SDLCopyName(int AIndex);
// Makes sure SDLCopyFolder() holds the copy of player AIndex: a regular file of the user's own
// with the size and modification time of ASource stays as it is; anything else there under
// that name (an older copy, another user's file, a link) is replaced by a fresh copy of ASource,
// written under a temporary name and renamed. Answers the copy's full path, or empty with AError.
std::filesystem::path PrepareSDLCopy(const std::filesystem::path& ASource, int AIndex,
                                     std::string& AError);

// Owner of one SDL object of an instance: calls the instance's Close entry when it goes.
template <auto TSDLAPI::*Close>
class TSDLOwner {
public:
    TSDLOwner() = default;
    explicit TSDLOwner(const TSDLAPI* AAPI) : FAPI(AAPI) {}
    ~TSDLOwner() { Reset(); }
    TSDLOwner(TSDLOwner&& AOther) noexcept : FAPI(AOther.FAPI) { AOther.FAPI = nullptr; }
    TSDLOwner& operator=(TSDLOwner&& AOther) noexcept {
        if (this != &AOther) {
            Reset();
            FAPI = AOther.FAPI;
            AOther.FAPI = nullptr;
        }
        return *this;
    }
    explicit operator bool() const { return FAPI != nullptr; }
    void Reset() {
        if (FAPI) (FAPI->*Close)();
        FAPI = nullptr;
    }

private:
    const TSDLAPI* FAPI = nullptr;
};

// One SDL_Init of an instance (SDL_Quit when it goes).
using TSDLSession = TSDLOwner<&TSDLAPI::SDL_Quit>;
// The instance's open audio device of SDL_OpenAudio (SDL_CloseAudio when it goes, which waits
// for a running callback to return).
using TSDLAudioDevice = TSDLOwner<&TSDLAPI::SDL_CloseAudio>;
