// The terminal and the interrupt signals for the batch mode. Main thread only.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

// Whether standard error is a terminal, and its width in columns (80 when unknown).
bool StandardErrorIsTerminal();
int TerminalColumns();

// While it lives, an interrupt (SIGINT, SIGTERM; Ctrl-C or Ctrl-Break on Windows) calls AOnSignal
// on the main thread from its event loop; the signals' earlier handling comes back after it.
class TSignalWatch : public QObject {
public:
    explicit TSignalWatch(std::function<void()> AOnSignal);
    ~TSignalWatch() override;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
