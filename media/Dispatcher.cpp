#include "Dispatcher.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace {

struct TSyncItem {
    TThreadMethod Method;
    std::exception_ptr Error;
    bool Done = false;
};

// Process-wide dispatcher state (one of the named process-wide objects).
struct TDispatcher {
    std::mutex Lock;  // guards Queue, every item's Done/Error, WakeHook, PumpHook, MainThread
    std::condition_variable DoneCond;
    std::deque<std::shared_ptr<TSyncItem>> Queue;
    std::function<void()> WakeHook;
    std::function<void()> PumpHook;
    std::thread::id MainThread = std::this_thread::get_id();
};

TDispatcher& Dispatcher() {
    static TDispatcher d;
    return d;
}

// Touch the dispatcher during static initialisation so that the main thread is recorded as the
// one that started the process.
[[maybe_unused]] const bool kDispatcherReady = (Dispatcher(), true);

}  // namespace

void SetMainThread(std::thread::id AThread) {
    auto& d = Dispatcher();
    std::lock_guard lock(d.Lock);
    d.MainThread = AThread;
}

bool IsMainThread() {
    auto& d = Dispatcher();
    std::lock_guard lock(d.Lock);
    return d.MainThread == std::this_thread::get_id();
}

void Synchronize(const TThreadMethod& AMethod) {
    if (!AMethod) return;
    if (IsMainThread()) {
        AMethod();
        return;
    }
    auto& d = Dispatcher();
    auto item = std::make_shared<TSyncItem>();
    item->Method = AMethod;
    std::function<void()> wake;
    {
        std::lock_guard lock(d.Lock);
        d.Queue.push_back(item);
        wake = d.WakeHook;
    }
    if (wake) wake();
    std::unique_lock lock(d.Lock);
    d.DoneCond.wait(lock, [&] { return item->Done; });
    if (item->Error) std::rethrow_exception(item->Error);
}

bool CheckSynchronize() {
    auto& d = Dispatcher();
    bool ran = false;
    for (;;) {
        std::shared_ptr<TSyncItem> item;
        {
            std::lock_guard lock(d.Lock);
            if (d.MainThread != std::this_thread::get_id() || d.Queue.empty()) break;
            item = d.Queue.front();
            d.Queue.pop_front();
        }
        std::exception_ptr error;
        try {
            item->Method();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(d.Lock);
            item->Error = error;
            item->Done = true;
        }
        d.DoneCond.notify_all();
        ran = true;
    }
    return ran;
}

void SetWakeMainThreadHook(std::function<void()> AHook) {
    auto& d = Dispatcher();
    std::lock_guard lock(d.Lock);
    d.WakeHook = std::move(AHook);
}

void SetProcessMessagesHook(std::function<void()> AHook) {
    auto& d = Dispatcher();
    std::lock_guard lock(d.Lock);
    d.PumpHook = std::move(AHook);
}

void ProcessMessages() {
    if (!IsMainThread()) {
        std::this_thread::yield();
        return;
    }
    std::function<void()> pump;
    {
        auto& d = Dispatcher();
        std::lock_guard lock(d.Lock);
        pump = d.PumpHook;
    }
    if (pump) pump();
    CheckSynchronize();
}

bool WaitPumping(const std::function<bool()>& APredicate, std::chrono::milliseconds AStep,
                 std::chrono::milliseconds ATimeout) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    const bool main = IsMainThread();
    for (;;) {
        if (main) ProcessMessages();
        if (APredicate()) return true;
        if (ATimeout.count() > 0 && std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(AStep);
    }
}
