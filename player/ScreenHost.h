// The drawing host of a player: a Qt-free surface owner the play thread hands finished frames to.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

class TScreenHost {
public:
    virtual ~TScreenHost() = default;
    // The host's client size in pixels; any thread.
    virtual void GetClientSize(int& AWidth, int& AHeight) const = 0;
    // False while hidden: the player then draws nothing and hands nothing over. Any thread.
    virtual bool Showing() const = 0;
    // A finished XRGB8888 frame (APitch bytes per row), on the play thread. The host copies it
    // and returns without waiting for its own thread.
    virtual void PresentFrame(const uint32_t* APixels, int AWidth, int AHeight, int APitch) = 0;

    // Called by the host when its size changed (any thread): the player makes a new surface.
    void NotifyResize() {
        std::lock_guard lock(FLock);
        if (FOnResize) FOnResize();
    }
    // Installed by the player's play thread for one playback; empty removes it.
    void SetOnResize(std::function<void()> AEvent) {
        std::lock_guard lock(FLock);
        FOnResize = std::move(AEvent);
    }

private:
    std::mutex FLock;  // guards FOnResize
    std::function<void()> FOnResize;
};
