#include "BatchSignals.h"

#include <QTimer>
#include <atomic>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QSocketNotifier>
#endif

namespace {
// Set by the signal handler; read by the main thread.
std::atomic<bool> GInterrupted{false};
#ifndef _WIN32
int GWakePipe[2] = {-1, -1};
void OnSignal(int) {
    GInterrupted = true;
    const char byte = 1;
    if (GWakePipe[1] >= 0) (void)!write(GWakePipe[1], &byte, 1);
}
#else
BOOL WINAPI OnConsoleControl(DWORD AType) {
    if (AType != CTRL_C_EVENT && AType != CTRL_BREAK_EVENT && AType != CTRL_CLOSE_EVENT) return FALSE;
    GInterrupted = true;
    return TRUE;
}
#endif
}  // namespace

bool StandardErrorIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr));
#else
    return isatty(STDERR_FILENO);
#endif
}

int TerminalColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    return 80;
}

struct TSignalWatch::TImpl {
    std::function<void()> OnSignal;
#ifdef _WIN32
    QTimer Poll;
#else
    std::unique_ptr<QSocketNotifier> Notifier;
    struct sigaction OldInt {}, OldTerm {};
#endif
    void Deliver() {
        if (GInterrupted.exchange(false)) OnSignal();
    }
};

TSignalWatch::TSignalWatch(std::function<void()> AOnSignal) : FImpl(std::make_unique<TImpl>()) {
    FImpl->OnSignal = std::move(AOnSignal);
    GInterrupted = false;
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    QObject::connect(&FImpl->Poll, &QTimer::timeout, this, [this] { FImpl->Deliver(); });
    FImpl->Poll.start(50);
#else
    if (pipe(GWakePipe) != 0) GWakePipe[0] = GWakePipe[1] = -1;
    if (GWakePipe[0] >= 0) {
        FImpl->Notifier = std::make_unique<QSocketNotifier>(GWakePipe[0], QSocketNotifier::Read);
        QObject::connect(FImpl->Notifier.get(), &QSocketNotifier::activated, this, [this] {
            char bytes[16];
            (void)!read(GWakePipe[0], bytes, sizeof bytes);
            FImpl->Deliver();
        });
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &FImpl->OldInt);
    sigaction(SIGTERM, &action, &FImpl->OldTerm);
#endif
}

TSignalWatch::~TSignalWatch() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
    sigaction(SIGINT, &FImpl->OldInt, nullptr);
    sigaction(SIGTERM, &FImpl->OldTerm, nullptr);
    FImpl->Notifier.reset();
    for (int& fd : GWakePipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
#endif
}
