// The waveform overview of a file: the lowest and highest sample of its first audio stream in
// each of a number of equal time slices (columns) of its duration, computed from one decode on a
// worker thread of its own, in the decoder's own sample format (no conversion, no resampling).
// Started, cancelled and destroyed on the main thread; the peaks reach it through the dispatcher,
// progressively, while the decode goes on. The media libraries must be loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The sample range of one column over all channels, at full scale ±1. Min > Max: no sample yet.
struct TWavePeak {
    float Min = 1;
    float Max = -1;
    bool Empty() const { return Min > Max; }
};

class TWaveOverview {
public:
    // Main thread. APeaks holds every column; the first AColumnsDone of them are final. AFinished
    // once the decode has ended (LastErrMsg then says why when it failed).
    using TPeaksEvent = std::function<void(const std::vector<TWavePeak>& APeaks, int AColumnsDone, bool AFinished)>;

    TWaveOverview() = default;
    ~TWaveOverview();  // cancels
    TWaveOverview(const TWaveOverview&) = delete;
    TWaveOverview& operator=(const TWaveOverview&) = delete;

    void SetOnPeaks(TPeaksEvent AEvent) { FOnPeaks = std::move(AEvent); }
    // Starts the overview of AFileName in AColumns columns over ADuration µs (the duration the
    // player reports, so the columns meet its positions); a running one is cancelled first.
    // Nothing starts without a positive duration and column count.
    void Start(const std::string& AFileName, int64_t ADuration, int AColumns);
    // Ends the computation: returns once its thread has ended (pumping while it waits). No event
    // comes after it. Not from inside the peaks event.
    void Cancel();
    // A computation was started and has not finished or been cancelled.
    bool Busy() const { return FJob != nullptr && !FFinished; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }

    // Time between two hand-overs of the peaks while the decode goes on.
    static constexpr int kHandOverMillis = 100;

private:
    struct TJob;
    void Deliver(const TJob& AJob, const std::vector<TWavePeak>& APeaks, int AColumnsDone, bool AFinished,
                 const std::string& AError);

    TPeaksEvent FOnPeaks;
    std::shared_ptr<TJob> FJob;  // the running computation; shared with its thread
    std::thread FThread;
    bool FFinished = false;
    std::string FLastErrMsg;
};
