// A manual- or auto-reset event with timed waits, in place of the system's event objects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class TEvent {
public:
    explicit TEvent(bool AManualReset = true, bool AInitialState = false)
        : FManualReset(AManualReset), FSignaled(AInitialState) {}

    void SetEvent() {
        {
            std::lock_guard lock(FLock);
            FSignaled = true;
        }
        if (FManualReset)
            FCond.notify_all();
        else
            FCond.notify_one();
    }
    void ResetEvent() {
        std::lock_guard lock(FLock);
        FSignaled = false;
    }
    bool IsSet() {
        std::lock_guard lock(FLock);
        return FSignaled;
    }
    // Waits until signalled; a negative timeout waits without limit. Returns false on time-out.
    bool WaitFor(std::chrono::milliseconds ATimeout = std::chrono::milliseconds(-1)) {
        std::unique_lock lock(FLock);
        auto ready = [this] { return FSignaled; };
        if (ATimeout.count() < 0)
            FCond.wait(lock, ready);
        else if (!FCond.wait_for(lock, ATimeout, ready))
            return false;
        if (!FManualReset) FSignaled = false;
        return true;
    }

private:
    const bool FManualReset;
    std::mutex FLock;  // guards FSignaled
    std::condition_variable FCond;
    bool FSignaled;
};
