// The encoder component: the engine's public face. A caller fills it with tasks (one conversion
// job each: inputs and outputs), starts it, and follows the run through its events. Operations are
// called from one thread (normally the main thread); events arrive as described at each.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FFDecode.h"
#include "FFLoad.h"
#include "FFmpeg.h"
#include "FFmpegRecords.h"

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TCustomEncoder;

using TProgressEvent = std::function<void(void* Sender, PProgressInfo AProgressInfo)>;
using TTerminateEvent = std::function<void(void* Sender, const TTerminateInfo& ATerminateInfo)>;
using TAudioHookEvent =
    std::function<void(void* Sender, int ATaskIndex, int64_t APTS, uint8_t* ASample, int ASize,
                       int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>;
using TBeforeFindStreamInfoEvent =
    std::function<void(void* Sender, AVFormatContext* AFormatContext)>;
using TPreviewBitmapEvent = std::function<void(void* Sender, const TPreviewInfo& APreviewInfo)>;
using TVideoHookEvent = std::function<void(void* Sender, PHookInfo AHookInfo)>;

// Raised by the operations that are refused while the encoder is working.
class EEncoderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TFFmpeg;
using TFFmpegList = std::vector<std::unique_ptr<TFFmpeg>>;

class TCustomEncoder : public TFFBaseComponent {
public:
    TCustomEncoder();
    ~TCustomEncoder() override;
    TCustomEncoder(const TCustomEncoder&) = delete;
    TCustomEncoder& operator=(const TCustomEncoder&) = delete;

    // "3.9".
    std::string Version() const;

    // Tasks. Index results are -1 on failure, with LastErrMsg set. Raise "Cannot %s while
    // working." while working.
    int AddTask(const std::string& AFileName, PInputOptions AOptions);
    int AddTask(const std::string& AFileName, const std::string& AExtOptions = "");
    bool AddInputFile(int ATaskIndex, const std::string& AFileName, PInputOptions AOptions);
    bool AddInputFile(int ATaskIndex, const std::string& AFileName,
                      const std::string& AExtOptions = "");
    bool SetOutputFile(int ATaskIndex, const std::string& AFileName, POutputOptions AOptions);
    bool SetOutputFile(int ATaskIndex, const std::string& AFileName,
                       const std::string& AExtOptions = "");
    void ClearTasks();
    void Exchange(int ATaskIndex1, int ATaskIndex2);
    void RemoveTask(int ATaskIndex);
    int GetTaskIndex(const TFFmpeg* AFFmpeg) const;
    // The task at an index (index error outside the list).
    TFFmpeg* Tasks(int AIndex) const;

    // Runs the tasks: AThreadCount > 0 runs at most that many at once on worker threads (Start
    // returns at once); 0 or less runs them one after another before returning.
    void Start(int AThreadCount);
    void Pause();
    void Resume();
    // Ends the run: no further task starts, running tasks are stopped; with AWaitForStop waits
    // (pumping the main thread's hand-overs and messages) until they have ended.
    void Stop(bool AWaitForStop);

    bool LoadAVLib(const std::string& APath);
    void UnloadAVLib();
    bool AVLibLoaded() const;

    int CustomMaxFiles() const;
    void SetCustomMaxFiles(int AValue);
    bool HaltOnInvalidOption() const;
    void SetHaltOnInvalidOption(bool AValue);
    bool Preview() const;
    void SetPreview(bool AValue);
    bool PreviewBitmap() const;
    void SetPreviewBitmap(bool AValue);
    int ProgressInterval() const;
    void SetProgressInterval(int AValue);  // milliseconds; 100 or less stores 100
    int ReadTimeout() const;
    void SetReadTimeout(int AValue);
    TThreadPriority ThreadPriority() const;
    void SetThreadPriority(TThreadPriority AValue);
    bool TriggerEventInMainThread() const;
    void SetTriggerEventInMainThread(bool AValue);
    void* UserData() const;
    void SetUserData(void* AValue);
    int Verbose() const;
    void SetVerbose(int AValue);
    std::string LastErrMsg() const;
    int TasksCount() const;
    TFFDecoder* Decoder() const;
    bool Working() const;
    bool Paused() const;
    bool Terminated() const;

    // Events. OnProgress and OnPreviewBitmap run on the main thread when TriggerEventInMainThread
    // (the worker waits); OnTerminate in thread mode runs on a notification thread; the hooks run
    // on the worker.
    TProgressEvent OnProgress;
    TTerminateEvent OnTerminate;
    TAudioHookEvent OnAudioHook;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
    TPreviewBitmapEvent OnPreviewBitmap;
    TVideoHookEvent OnVideoInputHook;
    TVideoHookEvent OnVideoOutputHook;

protected:
    // Stops the run, waits for every thread and clears the events; once only. The destructor of
    // the most derived class calls it first, so no worker calls a relay below while the object
    // is being taken apart.
    void ShutDown();

    virtual void DoInputVideoHook(TFFmpeg* ASender, THookInfo& AInfo);
    virtual void DoOutputVideoHook(TFFmpeg* ASender, THookInfo& AInfo);
    virtual void DoPreviewBitmap(TFFmpeg* ASender, const TPreviewInfo& AInfo);
    virtual void DoProgress(TFFmpeg* ASender, const TTranscodeProgress& AInfo);
    virtual void DoTerminate(TFFmpeg* ASender);

private:
    // Starts the next pending task; false when none is pending.
    bool StartNextTask();
    // Terminate lock held: joins the workers of the started tasks that have ended, so that a run
    // keeps no ended thread (its stack) per task it ran.
    void JoinEndedWorkers();
    // The notice that the whole run has ended (once per run); terminate lock held.
    void GiveFinalNotice();
    // Hands a termination notice to OnTerminate; terminate lock held.
    void DeliverNotice(const TTerminateInfo& AInfo);
    // Applies an input record (or none) to the task's next input slot and opens the input;
    // false with the task's LastErrMsg when the open fails.
    bool OpenTaskInput(TFFmpeg& ATask, const std::string& AFileName, PInputOptions AOptions,
                       int AReadTimeout);
    // Applies an output record to the task and opens the output (the steps of SetOutputFile after
    // the slot's record is stored); false with AError. Runs on the thread that builds or runs
    // the task and touches no encoder state but the events.
    bool BuildTaskOutput(TFFmpeg& ATask, const TOutputOptions& ARec, std::string& AError);
    // BuildTaskOutput's step 7: the task's hooks routed to the encoder's events.
    void RouteTaskHooks(TFFmpeg& ATask, const TOutputOptions& ARec);
    // A pending task holds no open file and no library state: its inputs and outputs are closed
    // once built and opened again from the same steps when it is changed or starts. The first
    // tasks of the list, and a task with a source or an output that cannot be opened twice
    // (pipes, URLs, devices), stay open.
    void ReleaseTask(TFFmpeg& ATask);
    // Closes the task's files and frees its state whatever they are (ReleaseTask's last step).
    void CloseTask(TFFmpeg& ATask);
    // Opens a released task again; false with AError (the task is then released again).
    bool ReopenTask(TFFmpeg& ATask, std::string& AError);
    // ReopenTask for an operation on the caller's thread: false with LastErrMsg.
    bool ReopenForChange(TFFmpeg& ATask);

    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
    friend class TFFmpeg;
};

class TFFEncoder : public TCustomEncoder {
public:
    ~TFFEncoder() override;
};

// One task: a transcoder plus one probe object per input slot and private copies of the option
// records of its slots. Built on the caller's thread; runs once, on its own worker thread or inline
// in Start. Converting, Terminated and the fatal state may be read from any thread.
class TFFmpeg : public TCustomFFmpeg {
public:
    // AMaxFiles slots for inputs and as many for outputs (1 to 512).
    TFFmpeg(TCustomEncoder* AParent, int AMaxFiles);
    // Stops a run in progress and waits for its worker (pumping on the main thread).
    ~TFFmpeg() override;

    TCustomEncoder* Parent() const { return FParent; }
    int MaxFiles() const { return FMaxFiles; }
    // The probe object of an input slot, created on first use; it sees the slot's opened input
    // (of a released task: the file, opened by the probe itself).
    TFFDecoder* Decoders(int AIndex);
    // The stored record of a slot (defaults for a slot not used yet).
    const TInputOptions& InputOptions(int AIndex) const;
    const TOutputOptions& OutputOptions(int AIndex) const;
    // Inputs and outputs added to the task (also while it is released).
    int InputCount() const { return static_cast<int>(FInputSteps.size()); }
    int OutputCount() const { return FOutputSteps; }

    bool Converting() const { return FState.load() == tsConverting; }
    bool Terminated() const { return FState.load() == tsTerminated; }
    bool FatalException() const { return FFatalException.load(); }
    std::string FatalMessage() const;

private:
    friend class TCustomEncoder;
    enum TTaskState { tsBuilt, tsConverting, tsTerminated };

    // Starts the run once: inline, or on a new worker thread with APriority. Nothing happens when
    // the task has already started or has been terminated.
    void StartConvert(bool AUseThread, TThreadPriority APriority);
    // Marks a task that never started as terminated; false when it has started meanwhile.
    bool CancelBeforeStart();
    // The run body: start checks, transcode, codec release (only with ARun: a task cancelled
    // before its start skips them), file close; then the termination notice.
    void Execute(bool ARun);
    void SetFatal(const std::string& AMessage);
    bool HasWorker() const { return FHasWorker.load(); }
    // The calling thread is this task's worker.
    bool OnOwnWorker() const;
    // The run has ended and its worker (if any) has left the run body.
    bool RunEnded() const;
    void JoinWorker();
    // Joins the worker once it has left the run body; false while it runs, or on the worker.
    bool ReapWorker();

    TCustomEncoder* FParent;
    int FMaxFiles;
    std::vector<std::unique_ptr<TFFDecoder>> FDecoders;
    // Grown as slots are used (a pending task stays small).
    std::vector<TInputOptions> FInputOptions;
    std::vector<TOutputOptions> FOutputOptions;
    // The steps that built the task, replayed when it is opened again: each input's file name and
    // whether a record was given (the records are the slots' copies), and the outputs' count.
    struct TInputStep {
        std::string FileName;
        bool HasRecord = false;
    };
    std::vector<TInputStep> FInputSteps;
    int FOutputSteps = 0;
    int FVerbose = 1;
    // Closed after building (ReleaseTask); changed by the thread that builds or runs the task.
    std::atomic<bool> FReleased{false};
    bool FKeptOpen = false;  // one of the first tasks of the list: never released while pending

    std::atomic<int> FState{tsBuilt};
    std::atomic<bool> FFatalException{false};
    mutable std::mutex FFatalLock;  // guards FFatalMessage
    std::string FFatalMessage;
    std::mutex FWorkerLock;  // guards FWorker (started by any thread that ends a task, joined by the owner)
    std::thread FWorker;
    std::atomic<std::thread::id> FWorkerId{};  // set by the worker itself as its first step
    std::atomic<bool> FHasWorker{false};
    std::atomic<bool> FWorkerDone{true};
    bool FFilesClosed = false;  // ReleaseFiles has run (only the run or the task's owner sets it)
};
