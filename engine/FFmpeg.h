// The transcoder of one task: its option state, the option setter SetExtOption with the library
// (generic) option setter behind it, presets and disc-format targets, and the transcode pipeline
// (opening inputs and outputs, the run). Built on one thread, run on one thread (possibly another);
// only RequestStop, SetPaused and the read-only state may be used from other threads meanwhile.
#pragma once

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <filesystem>
#include <string>
#include <vector>

#include "FFPtr.h"
#include "FFmpegOptions.h"
#include "FFmpegPipeline.h"
#include "FFmpegRecords.h"

// Progress values of one report (the encoder adds the task index).
struct TTranscodeProgress {
    int FileIndex = 0;  // input being read; -1 in the final report
    int64_t TotalDuration = -1;
    int64_t CurrentDuration = 0;  // microseconds
    int64_t CurrentSize = 0;      // bytes
    float BitRate = 0.0f;         // kbit/s
    float Quality = -1.0f;
    int FPS = -1;
    int FrameNumber = -1;
    bool Verifying = false;  // the output is being decoded back; durations of the output
};

// Loudness of a run's audio as measured before its headers (EBU R128).
struct TLoudness {
    double Integrated = -70.0;    // LUFS; -70 or below: silence, nothing to scale
    double SamplePeak = -INFINITY;  // dBFS
    double TruePeak = NAN;        // dBTP; NaN: not measured (the sample peak left room enough)
    double Gain = 0.0;            // dB the run applies
};

// Post-hooks of encoded video frames.
enum TPostHook { phPreview = 1, phBitmap = 2 };

struct TFormatTemplateDeleter {
    void operator()(AVFormatContext* p) const { avformat.avformat_free_context(p); }
};
using TFormatTemplatePtr = std::unique_ptr<AVFormatContext, TFormatTemplateDeleter>;

// Number of template codec contexts: video, audio, data, subtitle, attachment.
constexpr int kTemplateTypes = 5;

class TCustomFFmpeg {
public:
    // The media libraries must be loaded (GlobalFFLoader) before a transcoder is created.
    TCustomFFmpeg();
    virtual ~TCustomFFmpeg();
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // Applies one option (names matched exactly). Raises FFmpegException, or EConvertError for a
    // malformed number; options applied before a failing one stay applied.
    void SetExtOption(const std::string& AName, const std::string& AValue);

    // Returns all option state, templates included, to the defaults (after a run).
    void ResetOptions();

    // Sets each accepted generic option that AObj (an AVClass-enabled context, its children
    // included) knows with all of AFlags (AV_OPT_FLAG_*); a value it rejects raises
    // FFmpegException. Used on each new codec, format or scaler context.
    void ApplyGenericOptions(void* AObj, int AFlags) const;

    const TOptionState& Options() const { return FOptions; }
    TOptionState& Options() { return FOptions; }
    const std::string& LastOptionErr() const { return FLastOptionErr; }
    // The template context of a media type (AVMEDIA_TYPE_VIDEO ... AVMEDIA_TYPE_ATTACHMENT).
    AVCodecContext* CodecTemplate(AVMediaType AType) const { return FCodecTemplates[AType].get(); }
    AVFormatContext* FormatTemplate() const { return FFormatTemplate.get(); }
    SwsContext* ScalerTemplate() const { return FScalerTemplate.get(); }

    // An option the generic setter rejects raises instead of being skipped.
    bool HaltOnInvalidOption = true;
    // Norm of a disc-format target when neither the frame rate nor the inputs decide.
    TOptionNormDefault NormDefault = ntPAL;

    // Expected output duration of the task (-1 unknown); `t` sets it.
    int64_t TotalOutputDuration() const { return FTotalOutputDuration; }

    // ---- Pipeline --------------------------------------------------------------------------
    // Opens an input with the current option state (forced format "f", start "ss", "programid",
    // ...). False with LastErrMsg on failure; raises FFmpegException for the errors the option
    // state causes.
    bool OpenInput(const std::string& AFileName);
    // Opens an output with the current option state; its index, or -1 with LastErrMsg. An output
    // that is one of the task's inputs is refused.
    int OpenOutput(const std::string& AFileName, bool AJoin);
    // After a merge output was opened: one output group per further input, total duration summed.
    void PrepareJoin();
    // The run: returns at its end (stopped or not) or raises FFmpegException. Called once.
    void Transcode();
    // Any thread: ends the run at its next check and aborts blocking library I/O of the run;
    // without a run in progress also abandons a blocking open (read time-out check).
    void RequestStop();
    bool Broken() const { return FBroken.load(); }
    // Any thread: a paused run makes no progress (no reads, no writes, no reports) until resumed
    // or stopped.
    void SetPaused(bool APaused);
    bool PausedGate() const;
    // Closes every codec still open (under the codec lock).
    void CloseCodecs();
    // Closes all inputs and outputs and frees the run's state. An output written as a plain file
    // takes its name only when the run finished and wrote something; else its working file is
    // removed and an existing file of that name stays as it was. Outputs written directly are
    // deleted when of size 0. Returns the option state to the defaults.
    void CloseFiles();
    // CloseFiles that also frees the option state, ending every reference to it, with its
    // templates (a pending or ended task holds no library state); ResetOptions must precede any
    // further option or open.
    void ReleaseFiles();
    // Every input is a regular file and every output is written under a working name: the task
    // can be closed now and opened again from the same steps later.
    bool Reopenable() const;

    int nb_input_files() const { return static_cast<int>(FInputFiles.size()); }
    int nb_output_files() const { return FOutputCount; }
    AVFormatContext* InputContext(int AIndex) const { return FInputFiles.at(AIndex).ctx.get(); }
    // Microseconds, -1 unknown.
    int64_t InputDuration(int AIndex) const { return FInputFiles.at(AIndex).duration; }
    std::vector<std::string> OutputFileNames() const;
    bool JoinMode() const { return FJoinMode; }
    bool Finished() const { return FFinished.load(); }
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    void SetLastErrMsg(const std::string& AValue) { FLastErrMsg = AValue; }
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int AValue) { FReadTimeout = AValue; }
    void SetTotalOutputDuration(int64_t AValue) { FTotalOutputDuration = AValue; }
    // Before the run: a target below 0 (LUFS) scales the audio so that its integrated loudness
    // reaches the target, lowered so that the true peak stays at or below -1 dBTP (the volume
    // "vol" stays an offset from the target); AReplayGainTags writes REPLAYGAIN_TRACK_GAIN and
    // _PEAK of the measured audio (reference -18 LUFS). Either makes the run measure first.
    void SetLoudness(double ATarget, bool AReplayGainTags);
    // What a file that appeared under an output's name during the run gets at the end (the
    // outputs are renamed from their working files only then): see TOutputOptions.
    void SetExistingOutput(TExistingOutput AWhat) { FExistingOutput = AWhat; }
    // The names the outputs were finally written under (one per written file, in output order);
    // empty until the run has finished.
    const std::vector<std::string>& WrittenFiles() const { return FWrittenFiles; }
    // Before the run: AOn decodes every output completely at the end of the run, before it takes
    // its name, and checks it against what the run gave its encoder (OutputVerify.cpp); a
    // failed check fails the run. ATestCut and ATestFlip (tests only) damage the file first: cut
    // to that share of its bytes, the byte at that share inverted.
    void SetVerify(bool AOn, double ATestCut = 0.0, double ATestFlip = 0.0);
    // After the run: what the verification found (vrNone when it was off or failed).
    TVerifyResult Verified() const { return FVerified.load(); }
    // The measured loudness once the run has started (defaults when nothing was measured).
    const TLoudness& MeasuredLoudness() const { return FLoudness; }
    // Post-hook set (phPreview | phBitmap), changed under its own lock.
    void SetPostHook(TPostHook AHook, bool AOn);
    bool PostHook(TPostHook AHook) const;
    // True while the run executes on a thread other than the one that built the task.
    void SetRunsOnWorker(bool AValue) { FRunsOnWorker = AValue; }

    // Microseconds between two progress reports, and between two preview frames.
    int64_t ReportInterval = 500000;
    int64_t PreviewInterval = 100000;

    // Notifications, raised on the thread that opens or runs the task.
    std::function<void(AVFormatContext*)> OnBeforeFindStreamInfo;
    std::function<void(const TTranscodeProgress&)> OnProgress;
    // Decoded audio of every channel, interleaved (planar audio comes in its packed format).
    std::function<void(int64_t APTS, uint8_t* ASample, int ASize, int ASampleRate, int AChannels,
                       AVSampleFormat ASampleFormat)>
        OnAudioHook;
    std::function<void(THookInfo&)> OnVideoInputHook;
    std::function<void(THookInfo&)> OnVideoOutputHook;
    int VideoHookBitsPixel = 24;
    std::function<void(const TPreviewInfo&)> OnPreviewBitmap;

    // The built-in preset table: (name, option lines).
    struct TPresetRow {
        const char* Name;
        const char* Text;
    };
    static const std::vector<TPresetRow>& BuiltinPresets();

protected:
    // Frame rates of the video streams of the inputs opened so far (the pipeline supplies them).
    virtual std::vector<AVRational> InputVideoFrameRates() const;
    // Adds a stream of AType to the last output opened from the current options; without an
    // output it fails with "At least one output file must be specified".
    virtual void NewOutputStream(AVMediaType AType);

    int64_t FTotalOutputDuration = -1;
    std::string FLastErrMsg;

private:
    struct TOptionRow {
        const char* Name;
        void (*Apply)(TCustomFFmpeg& Self, const std::string& AName, const std::string& AValue);
    };
    static const std::vector<TOptionRow>& OptionRows();

    void CreateTemplates();
    // The templates again after ReleaseFiles freed them.
    void EnsureTemplates();
    // Tries AName as a library option; false with FLastOptionErr set when rejected.
    bool SetGenericOption(const std::string& AName, const std::string& AValue);
    // SetGenericOption's step: the option tried on the templates.
    const AVOption* SetOnTemplates(const std::string& AName, const std::string& AValue, int& ARet,
                                   AVMediaType& AKind);
    // SetGenericOption raising FLastOptionErr when HaltOnInvalidOption; true when accepted.
    bool GenericOrHalt(const std::string& AName, const std::string& AValue);
    void SetCodecName(AVMediaType AType, const std::string& AValue);
    void SetBitRate(const std::string& AName, const std::string& AValue);
    void ApplyPresetOption(const std::string& AName, const std::string& AValue);
    void ApplyPresetText(const std::string& APresetName, const std::string& AText);
    void SetTarget(const std::string& AValue);
    // A target's settings (FFmpegPresets.cpp), applied after its norm and frame rate.
    void SetTargetOption(const char* AName, const char* AValue);
    void SetTargetAspect(double ARatio, const char* AMessage);
    void ApplyVcdTarget(bool APal);
    void ApplySvcdTarget(bool APal);
    void ApplyDvdTarget(bool APal);
    void ApplyDvTarget(bool APal);
    void ApplyDv50Target(bool APal);

    // Pipeline internals (FFmpegPipeline.cpp, FFmpegAudio.cpp, FFmpegVideo.cpp).
    struct TRun;
    // Input opening steps, in the order OpenInput takes them; a false step has set LastErrMsg.
    struct TInputOpen;
    void FindInputFormat(TInputOpen& AOpen);
    void SetDemuxerOptions(TInputOpen& AOpen);
    bool FindForcedDecoders(TInputOpen& AOpen);
    bool OpenInputContext(TInputOpen& AOpen);
    bool SelectProgram(TInputOpen& AOpen);
    bool ProbeInput(TInputOpen& AOpen);
    void SeekInputStart(TInputOpen& AOpen);
    void TakeInputStreams(TInputOpen& AOpen);
    void TakeInputVideo(const AVStream* ASt, int AIndex);
    void RecordInput(TInputOpen& AOpen);
    // Output opening steps, in the order OpenOutput takes them; the steps after EnterOutput act
    // on the last output and a false one has dropped it (DropOutput) with LastErrMsg set.
    bool MayOpenOutput(const std::string& AFileName);
    std::shared_ptr<AVFormatContext> NewOutputContext(const std::string& AFileName);
    bool ChooseStreamKinds(const AVOutputFormat* AFormat, bool AJoin, bool (&AUse)[3]);
    void EnterOutput(std::shared_ptr<AVFormatContext> ACtx, const std::string& AFileName);
    bool CreateOutputStreams(const bool (&AUse)[3]);
    void CopyOutputMetadata();
    bool OpenOutputTarget();
    bool SetMuxingParameters();
    bool DropOutput(const std::string& AMsg);
    void NewAudioStream(TAVOutputFile& AOut);
    // Parts of a new audio or video stream's encoder settings.
    void SetAudioLayout(AVCodecContext* AEnc, const AVCodec* ACodec);
    void SetAudioRate(AVCodecContext* AEnc, const AVCodec* ACodec);
    void NewVideoStream(TAVOutputFile& AOut);
    void SetVideoPicture(AVCodecContext* AEnc, const AVCodec* ACodec);
    void SetVideoCoding(AVCodecContext* AEnc);
    void NewSubtitleStream(TAVOutputFile& AOut);
    TAVOutputStream& AddOutputStream(TAVOutputFile& AOut, AVMediaType AType);
    // The stream's language tag, then the per-stream options of its kind reset.
    void FinishNewStream(TAVOutputStream& AOst, AVMediaType AType);
    // The encoder or decoder named AName for AType; raises the option table's codec messages.
    const AVCodec* FindCodec(const std::string& AName, AVMediaType AType, bool AEncoder);
    const AVCodec* OutputEncoder(AVFormatContext* AOC, AVMediaType AType);
    // Run steps.
    void SetUpRun();
    // Set-up steps, in the order SetUpRun takes them.
    void AllocateRun();
    void BuildInputStreamTable();
    void CheckOutputs();
    void MapOutputStreams();
    int FindInputStream(const TAVOutputStream& AOst);
    void PrepareOutputStreams();
    void CheckStreamCopy(const TAVOutputStream& AOst);
    void PrepareStreamCopy(TAVOutputStream& AOst, const TAVInputStream& AIst);
    void PrepareAudioEncoder(TStreamCoder& ACoder, const TAVInputStream& AIst);
    void AddBitstreamFilters(TStreamCoder& ACoder);
    void OpenEncoders();
    void OpenEncoder(TAVOutputStream& AOst);
    void InitBitstreamFilters(TAVOutputStream& AOst);
    void InitInputTimestamps();
    void WriteHeaders();
    void LogOutputs();
    // Main loop steps, in the order MainLoop takes them.
    void MainLoop();
    static constexpr int kRetryInput = -2;
    enum TLoopStep { lsEnd, lsNext, lsPacket };
    int NextInput();
    bool OutputSizeReached() const;
    TLoopStep ReadInput(int AFile);
    // The run's end, its mapping log, and merge mode's move to the next input.
    void EndRun();
    void CheckAudioWritten();
    // Verification (OutputVerify.cpp): the source's samples as they reach an encoder, and the
    // check of the written outputs at the end of the run.
    void TrackSourceSamples(TAVOutputStream& AOst, const AVFrame* AFrame, int AOffset, int ACount);
    void TrackSilence(TAVOutputStream& AOst, int64_t ASamples);
    void VerifyOutputs();
    TVerifyResult VerifyOutputStream(const TAVOutputFile& AOut, const TAVOutputStream& AOst,
                                     const std::string& AFile);
    void CheckVerifiedTrimRange(const TAVOutputStream& AOst, const TSourceTrack& ATrack) const;
    void ReportVerifying(int64_t AExpected, int AWantRate, int64_t ASamples, int ARate, int64_t& ALast);
    void LogStreamMapping();
    bool FinishJoinInput(int AInput);
    void ProcessPacket(int AFile, AVPacket* APkt);
    // Packet steps, in the order ProcessPacket takes them.
    void ShiftPacketTimes(TAVInputFile& AIn, const TAVInputStream& AIst, AVPacket* APkt);
    bool PastRecordingTime(TAVInputFile& AIn, TAVInputStream& AIst, const AVPacket* APkt);
    // Set-up step 9's parts, in the order ApplyMetadataMaps takes them.
    void ApplyMetadataMaps();
    void CopyMappedMetadata();
    void CopyMappedChapters();
    void AutoCopyFileMetadata(TAVOutputFile& AOut);
    void AutoCopyStreamMetadata();
    // The first input's cover into an output that can hold one (before its header), and its
    // picture packet (just after).
    void AddCover(TAVOutputFile& AOut);
    void WriteCover(TAVOutputFile& AOut);
    // Sends APkt (null: drain) to the stream's decoder and hands each frame it gives, with its
    // number within the packet, to AOnFrame; decoder errors go through DecoderError.
    template <typename TOnFrame>
    void DecodeFrames(TAVInputStream& AIst, const AVPacket* APkt, TOnFrame&& AOnFrame);
    void DecodeAudio(TAVInputStream& AIst, const AVPacket* APkt);
    void AudioFrame(TAVInputStream& AIst, const AVPacket* APkt, AVFrame* AFrame, int ACount);
    // Decoded audio frame steps, in the order AudioFrame takes them.
    int64_t TakeFrameTime(TAVInputStream& AIst, const AVFrame* AFrame);
    void ApplyVolume(AVFrame* AFrame);
    void EmulateRate(const TAVInputStream& AIst, int64_t APTS);
    bool AudioWindow(TAVInputStream& AIst, int64_t APTS, int ARate, int& AFirst, int& ACount);
    void RunAudioHook(const AVFrame* AFrame, int64_t APTS);
    void VideoFrame(TAVInputStream& AIst, AVFrame* AFrame);
    // Hands a frame as a bitmap to a video hook; a changed bitmap goes back into the frame.
    void RunVideoHook(const std::function<void(THookInfo&)>& AHook, AVFrame* AFrame,
                      int AFrameNumber, int64_t APTS, bool& AStopped);
    void AudioOut(TAVOutputStream& AOst, TAVInputStream& AIst, const AVFrame* AFrame,
                  int AOffset, int ACount, int64_t APTS);
    void FollowInputFormat(TAVOutputStream& AOst, const TAVInputStream& AIst,
                           const AVFrame* AFrame, const AVChannelLayout& ALayout);
    void PrepareResampler(TAVOutputStream& AOst, const AVFrame* AFrame, AVChannelLayout& ALayout);
    bool SyncAudio(TAVOutputStream& AOst, TAVInputStream& AIst, int64_t APTS, int& AOffset,
                   int& ACount);
    bool ConvertToFifo(TAVOutputStream& AOst, const AVFrame* AFrame, int AOffset, int ACount);
    void WriteToFifo(TAVOutputStream& AOst, uint8_t* const* AData, int ACount);
    void AddSilence(TAVOutputStream& AOst, const TAVInputStream& AIst, double ASamples);
    void EncodeAudioFrames(TAVOutputStream& AOst, bool AFinal);
    void FlushResampler(TAVOutputStream& AOst);
    void FlushEncoder(TAVOutputStream& AOst);
    void DecodeVideo(TAVInputStream& AIst, const AVPacket* APkt);
    void VideoOut(TAVOutputStream& AOst, TAVInputStream& AIst, AVFrame* AFrame);
    void EncodeVideoFrames(TAVOutputStream& AOst);
    // Video encoding steps, in the order EncodeVideoFrames takes them.
    int VideoSyncMethod(const TAVOutputStream& AOst) const;
    int VideoFrameCopies(TStreamCoder& ACoder, const AVFrame* AFrame, int AVsync);
    bool EncodeVideoCopies(TAVOutputStream& AOst, AVFrame* AFrame, int ACopies);
    void PreviewFrame(const TAVOutputStream& AOst, const AVFrame* AFrame);
    void FlushVideoFilters(TAVOutputStream& AOst);
    void OpenDecoders();
    void KeepStreamLayout(TAVInputStream& AIst);
    void DecodeSubtitle(TAVInputStream& AIst, const AVPacket* APkt);
    void CopyPacket(TAVOutputStream& AOst, TAVInputStream& AIst, const AVPacket* APkt);
    void WritePacket(TAVOutputStream& AOst, AVPacket* APkt, bool AFromEncoder);
    void ReceivePackets(TAVOutputStream& AOst);
    void PrepareVideoEncoder(TAVOutputStream& AOst, TAVInputStream& AIst);
    // Progress report steps, in the order Report takes them.
    void Report(bool AFinal, int AInput);
    int64_t ReportSize() const;
    bool ReportVideo(bool AFinal, TTranscodeProgress& AProgress, std::string& AText);
    double ReportTime() const;
    void LogFinalSizes(int64_t ASize);
    bool DecoderError(TAVInputStream& AIst, int AError);
    // Loudness (FFmpegLoudness.cpp).
    class TLoudnessMeter;
    TAVOutputStream* LoudnessStream() const;
    void MeasureLoudness();
    bool MeasurePass(const TAVOutputStream& AOst, bool ATruePeak, double& AIntegrated,
                     double& APeak);
    int64_t MeasureInput(TLoudnessMeter& AMeter, int AFile, int AStream, int64_t ADone);
    // Steps of MeasureInput.
    TInputContextPtr OpenMeasuredInput(const TAVInputFile& AIn, int AStream);
    TCodecContextPtr OpenMeasureDecoder(const AVStream* ASt, const AVCodec* AForced,
                                        const std::string& AFileName);
    void ReportMeasure(int AFile, int64_t ADone);
    void ApplyLoudnessTags();
    std::vector<std::pair<std::string, std::string>> ReplayGainTags() const;
    void AddMp4LoudnessTags();
    int64_t RunProgress(int64_t APosition) const;
    // Closes the inputs and outputs and frees the run (CloseFiles without the option reset).
    void CloseAll();
    std::string RenameWorkingFile(const std::filesystem::path& AWorking, const std::string& AName,
                                  std::string& AWritten);
    void BeginBlockingStep();
    void EndBlockingStep();
    static bool ReadTimeoutCheck(void* ASender);
    static bool BreakCheck(void* ASender);
    void PassPauseGate();

    TOptionStateHolder FOptions;
    std::string FLastOptionErr;

    std::vector<TAVInputFile> FInputFiles;
    std::vector<TAVOutputFile> FOutputFiles;  // merge mode: one entry per input group
    int FOutputCount = 0;                     // outputs opened (merge mode: 1)
    bool FJoinMode = false;
    std::atomic<bool> FBroken{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FRunsOnWorker{false};  // written by the thread that starts the run
    bool FInputHookStopped = false;
    bool FOutputHookStopped = false;
    int FReadTimeout = 10000;
    TExistingOutput FExistingOutput = eoReplace;
    std::vector<std::string> FWrittenFiles;
    double FLoudnessTarget = 0.0;  // LUFS, 0: the level stays
    bool FReplayGainTags = false;
    TLoudness FLoudness;
    double FAudioGain = 1.0;  // linear gain of the run besides "vol"
    double FMeasureShare = 0.0;  // share of the task's progress its measuring passes took
    bool FVerify = false;
    double FVerifyTestCut = 0.0;
    double FVerifyTestFlip = 0.0;
    std::atomic<TVerifyResult> FVerified{vrNone};  // written by the run, read by any thread
    std::atomic<int64_t> FLastRead{INT64_MAX};
    // Why the read time-out check ended the current blocking step (set under the registry's lock).
    enum { irNone, irCanceled, irTimeout };
    std::atomic<int> FInterrupted{irNone};
    struct TRunDeleter {
        void operator()(TRun* ARun) const;
    };
    std::unique_ptr<TRun, TRunDeleter> FRun;

    mutable std::mutex FPauseLock;  // guards FPaused
    std::condition_variable FPauseCond;
    bool FPaused = false;

    mutable std::mutex FPostHookLock;  // guards FPostHooks
    int FPostHooks = 0;
    TCodecContextPtr FCodecTemplates[kTemplateTypes];
    TFormatTemplatePtr FFormatTemplate;
    TSwsPtr FScalerTemplate;
};
