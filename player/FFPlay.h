// The player component: plays one media file at a time through its own SDL instance. Operations
// are called on the main thread; OnFileOpen, OnPosition and OnState arrive on the main thread
// (TriggerEventInMainThread) or on the event thread, OnAudioHook on SDL's audio thread,
// OnVideoHook on the video thread and OnBeforeFindStreamInfo on the reading thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Bitmap.h"
#include "FFDecode.h"
#include "FFLog.h"
#include "ScreenHost.h"
#include "SyncObjs.h"
#include "libsdl.h"

enum TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };
enum TRepeatType { rtNone, rtStop, rtLoop };
enum TShowAudio { saNone, saWave, saRDFT };
enum TAudioDriver { adDefault, adDirectSound, adWaveOut };
enum TVideoDriver { vdDefault, vdDirectDraw, vdGDI };
enum Tav_sync_type { AV_SYNC_AUDIO_MASTER, AV_SYNC_VIDEO_MASTER, AV_SYNC_EXTERNAL_CLOCK };

enum TSeekFlag { sfBackward, sfByte, sfAny, sfFrame };
// A set of TSeekFlag; its bits are FFmpeg's seek flags (backward 1, byte 2, any 4, frame 8).
class TSeekFlags {
public:
    constexpr TSeekFlags() = default;
    constexpr TSeekFlags(std::initializer_list<TSeekFlag> AFlags) {
        for (auto f : AFlags) FBits |= 1 << f;
    }
    constexpr bool Contains(TSeekFlag AFlag) const { return FBits & (1 << AFlag); }
    constexpr int Bits() const { return FBits; }

private:
    int FBits = 0;
};

class TCustomPlayer;
struct TVideoState;
class TEventThread;

using TFileOpenEvent = std::function<void(TCustomPlayer* Sender, int64_t ADuration, int AFrameWidth,
                                          int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
using TPositionEvent = std::function<void(TCustomPlayer* Sender, int64_t APTS)>;
using TPlayStateEvent = std::function<void(TCustomPlayer* Sender, TPlayState APlayState)>;

constexpr int64_t kTimeUnset = INT64_MIN;  // "not set" for every time value

class TCustomPlayer : public TFFBaseComponent {
public:
    // Handler types whose names the encoder's component uses for its own signatures.
    using TAudioHookEvent = std::function<void(TCustomPlayer* Sender, int64_t APTS, uint8_t* ASample,
                                               int ASize, int ASampleRate, int AChannels)>;
    using TBeforeFindStreamInfoEvent = std::function<void(TCustomPlayer* Sender, void* AFormatContext)>;
    // ABitmap is the picture (VideoHookBitsPixel deep); left with AUpdate true, it is shown.
    using TVideoHookEvent =
        std::function<void(TCustomPlayer* Sender, TBitmap* ABitmap, int64_t APTS, bool& AUpdate)>;

    TCustomPlayer();
    // Stops the playback (waiting, pumping) and joins every thread. Not from its own handlers.
    ~TCustomPlayer() override;
    TCustomPlayer(const TCustomPlayer&) = delete;
    TCustomPlayer& operator=(const TCustomPlayer&) = delete;

    // ---- libraries
    bool LoadAVLib(const std::string& APath, bool AAutoLoadSDL = false);
    bool AVLibLoaded() const;
    void UnloadAVLib();
    bool LoadSDLLib(const std::string& APath, const std::string& AFile);
    bool SDLLibLoaded() const { return FSDLLoader.Loaded(); }
    void UnloadSDLLib();

    // ---- operations (main thread)
    // Opens and starts AFileName; false with LastErrMsg on failure. Refused while another Open of
    // this player is in progress (an Open re-entered from a handler of a pumping wait).
    bool Open(const std::string& AFileName, TScreenHost* AScreenHandle = nullptr,
              bool APaused = false);
    // Ends the playback; with AWaitForStop waits (pumping) until its threads have ended and
    // OnState(psStop) has been delivered (not waited for when called from a handler).
    void Stop(bool AWaitForStop);
    void Pause();
    void Resume();
    void TogglePause();
    // An absolute position (µs after the start time; with sfByte a byte position).
    void Seek(int64_t APTS, TSeekFlags ASeekFlags = {}, bool AWaitForSeekEnd = false);
    // A distance in seconds from the master clock (with sfByte converted by the bit rate).
    void Seek(double ADelta, TSeekFlags ASeekFlags = {}, bool AWaitForSeekEnd = false);
    // Plays on until the next picture is shown, then pauses (reports psStep).
    void StepToNextFrame();
    // The picture shown now as a bitmap owned by the player (valid until the next call) and its
    // time; without video an empty bitmap and APTS -1. Main thread.
    const TBitmap& CurrentFrame(int64_t& APTS);
    const TBitmap& CurrentFrame() {
        int64_t pts = 0;
        return CurrentFrame(pts);
    }

    // ---- events (assign on the main thread before Open)
    void SetOnFileOpen(TFileOpenEvent AEvent);
    void SetOnPosition(TPositionEvent AEvent);
    void SetOnState(TPlayStateEvent AEvent);
    void SetOnAudioHook(TAudioHookEvent AEvent);
    void SetOnBeforeFindStreamInfo(TBeforeFindStreamInfoEvent AEvent);
    void SetOnVideoHook(TVideoHookEvent AEvent);

    // ---- properties
    std::string Version() const { return "3.0"; }
    const std::string& FileName() const { return FFileName; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    TScreenHost* ScreenHandle() const { return FScreenHandle; }
    TFFDecoder& Decoder() { return FDecoder; }
    bool Paused() const;
    TPlayState PlayState() const { return FPlayState.load(); }
    bool Seeking() const { return FSeeking.load(); }
    int64_t CurrentPTS() const { return FCurrentPTS.load(); }

    int AudioVolume() const { return FAudioVolume.load(); }
    void SetAudioVolume(int AValue) { FAudioVolume = AValue < 0 ? 0 : AValue > 128 ? 128 : AValue; }
    bool Mute() const { return FMute.load(); }
    void SetMute(bool AValue) { FMute = AValue; }
    bool AudioHook() const { return FAudioHook.load(); }
    void SetAudioHook(bool AValue) { FAudioHook = AValue; }
    TAudioDriver AudioDriver() const { return FAudioDriver; }
    void SetAudioDriver(TAudioDriver AValue) { FAudioDriver = AValue; }
    TVideoDriver VideoDriver() const { return FVideoDriver; }
    void SetVideoDriver(TVideoDriver AValue) { FVideoDriver = AValue; }
    bool DisableAudio() const { return FDisableAudio; }
    void SetDisableAudio(bool AValue) { FDisableAudio = AValue; }
    bool DisableVideo() const { return FDisableVideo; }
    void SetDisableVideo(bool AValue) { FDisableVideo = AValue; }
    bool DisableDisplay() const { return FDisableDisplay; }
    void SetDisableDisplay(bool AValue) { FDisableDisplay = AValue; }
    // 0: the picture's own; negative: the picture fills the screen. A change redraws.
    float AspectRatio() const { return FAspectRatio.load(); }
    void SetAspectRatio(float AValue);
    int FrameWidth() const { return FFrameWidth; }
    void SetFrameWidth(int AValue) { FFrameWidth = AValue; }
    int FrameHeight() const { return FFrameHeight; }
    void SetFrameHeight(int AValue) { FFrameHeight = AValue; }
    int ScreenWidth() const { return FScreenWidth; }
    void SetScreenWidth(int AValue) { FScreenWidth = AValue; }
    int ScreenHeight() const { return FScreenHeight; }
    void SetScreenHeight(int AValue) { FScreenHeight = AValue; }
    bool TriggerEventInMainThread() const { return FTriggerEventInMainThread.load(); }
    void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread = AValue; }
    bool VideoHook() const { return FVideoHook.load(); }
    void SetVideoHook(bool AValue) { FVideoHook = AValue; }
    // Depth of the bitmaps of OnVideoHook and CurrentFrame: 24 or 32.
    int VideoHookBitsPixel() const { return FVideoHookBitsPixel.load(); }
    void SetVideoHookBitsPixel(int AValue) { FVideoHookBitsPixel = AValue == 32 ? 32 : 24; }
    bool HijackWndProc() const { return FHijackWndProc; }
    void SetHijackWndProc(bool AValue) { FHijackWndProc = AValue; }
    bool AutoAdjustFrameRate() const { return FAutoAdjustFrameRate; }
    void SetAutoAdjustFrameRate(bool AValue) { FAutoAdjustFrameRate = AValue; }
    // Raises "Unknown input format: %s" for a name the libraries do not know.
    std::string ForceFormat() const;
    void SetForceFormat(const std::string& AValue);
    bool CheckIOEOF() const { return FCheckIOEOF; }
    void SetCheckIOEOF(bool AValue) { FCheckIOEOF = AValue; }
    bool CheckIOERR() const { return FCheckIOERR; }
    void SetCheckIOERR(bool AValue) { FCheckIOERR = AValue; }
    // PlayTime, RepeatType, start_time, seek_by_bytes, the wanted streams and VerticalFlip are
    // per-playback settings: they return to their defaults as a playback ends, apart from those
    // set after its Open (they are the caller's for the next Open). Any thread.
    int64_t PlayTime() const { return FPlayTime.load(); }
    void SetPlayTime(int64_t AValue) { SetPerPlayback(FPlayTime, AValue, ppPlayTime); }
    TRepeatType RepeatType() const { return FRepeatType.load(); }
    void SetRepeatType(TRepeatType AValue) { SetPerPlayback(FRepeatType, AValue, ppRepeatType); }
    int ReadTimeout() const { return FReadTimeout.load(); }
    void SetReadTimeout(int AValue) { FReadTimeout = AValue; }
    TShowAudio ShowAudio() const { return FShowAudio; }
    void SetShowAudio(TShowAudio AValue);
    // None, waveform, spectrum in turn; the next pass starts from a black surface.
    void ToggleAudioDisplay();
    Tav_sync_type av_sync_type() const { return Fav_sync_type; }
    void set_av_sync_type(Tav_sync_type AValue) { Fav_sync_type = AValue; }
    int64_t start_time() const { return Fstart_time.load(); }
    void set_start_time(int64_t AValue) { SetPerPlayback(Fstart_time, AValue, ppStartTime); }
    int seek_by_bytes() const { return Fseek_by_bytes.load(); }
    void set_seek_by_bytes(int AValue) { SetPerPlayback(Fseek_by_bytes, AValue, ppSeekByBytes); }
    bool genpts() const { return Fgenpts; }
    void set_genpts(bool AValue) { Fgenpts = AValue; }
    int wanted_audio_stream() const { return Fwanted_audio_stream.load(); }
    void set_wanted_audio_stream(int AValue) { SetPerPlayback(Fwanted_audio_stream, AValue, ppWantedAudio); }
    int wanted_video_stream() const { return Fwanted_video_stream.load(); }
    void set_wanted_video_stream(int AValue) { SetPerPlayback(Fwanted_video_stream, AValue, ppWantedVideo); }
    int wanted_subtitle_stream() const { return Fwanted_subtitle_stream.load(); }
    void set_wanted_subtitle_stream(int AValue) {
        SetPerPlayback(Fwanted_subtitle_stream, AValue, ppWantedSubtitle);
    }
    // A filter graph description the pictures go through (applied at Open), e.g. "hflip".
    const std::string& VideoFilters() const { return FVideoFilters; }
    void SetVideoFilters(const std::string& AValue) { FVideoFilters = AValue; }
    bool VerticalFlip() const { return FVerticalFlip.load(); }
    void SetVerticalFlip(bool AValue) { SetPerPlayback(FVerticalFlip, AValue, ppVerticalFlip); }
    // Pictures are deinterlaced (yadif, after VideoFilters); applied at Open.
    bool Deinterlace() const { return FDeinterlace; }
    void SetDeinterlace(bool AValue) { FDeinterlace = AValue; }
    // The frame rate the video is timed by (applied at Open); raises "Incorrect frame rate" for a
    // text av_parse_video_rate refuses. Empty: the stream's own.
    const std::string& ForceFrameRate() const { return FForceFrameRate; }
    void SetForceFrameRate(const std::string& AValue);
    // Nonzero: a picture already late against the master clock is dropped (applied at Open).
    int framedrop() const { return Fframedrop; }
    void set_framedrop(int AValue) { Fframedrop = AValue; }
    // The picture time: -1 the decoder's best estimate, 1 the frame's pts, 0 its packet's dts.
    int decoder_reorder_pts() const { return Fdecoder_reorder_pts; }
    void set_decoder_reorder_pts(int AValue) { Fdecoder_reorder_pts = AValue; }
    // The open playback's frame-skip factor (grows by 5 % per late picture, 1 after a seek), and
    // the pictures it dropped as late; 0 when none is open.
    double skip_frames() const;
    int DroppedPictures() const;
    // Decoder options handed to every decoder this player opens.
    int workaround_bugs = 1, debug_mv = 0, lowres = 0, idct_algo = 0, error_recognition = 1,
        error_concealment = 3;
    bool fast = false;

    // Stream being played of each kind, -1 when none. Setting one switches streams (the reading
    // thread does the switch between reads; the call waits for it, pumping); -1 ends the
    // subtitles. A refused switch stores its reason in LastErrMsg.
    int AudioStreamIndex() const;
    void SetAudioStreamIndex(int AValue);
    int VideoStreamIndex() const;
    void SetVideoStreamIndex(int AValue);
    int SubtitleStreamIndex() const;
    void SetSubtitleStreamIndex(int AValue);

    // Clocks of the open playback, seconds (0 when none).
    double AudioClock() const;
    double MasterClock() const;
    double VideoClock() const;

protected:
    friend class TEventThread;
    friend class TAudioOut;
    friend class TVideoOut;

    bool Report(const std::string& AText, bool AStore, TLogLevel ALevel = llError);
    // A copy of a handler, taken under FHandlerLock (any thread), and its setter.
    template <typename T>
    T Handler(const T& AField) const {
        std::lock_guard lock(FHandlerLock);
        return AField;
    }
    template <typename T>
    void SetHandler(T& AField, T AValue) {
        std::lock_guard lock(FHandlerLock);
        AField = std::move(AValue);
    }
    bool IsOpen() const { return FVideoState != nullptr && !FPlayThreadDone.load(); }
    void SetPlayState(TPlayState AState);
    void PushPlayEvent(int AKind, int64_t APayload);
    void DeliverPosition(int64_t APTS);
    void DeliverState(TPlayState AState);
    bool StreamOpen(const std::string& AFileName, bool APaused);
    void PlayThreadExecute();
    void EventLoop();
    bool RefreshPass();
    void UpdatePosition();
    void WaitForStop();
    // Joins the ended playback's threads and frees it (main thread, after it ended).
    void FinishPlayback();
    // The bits of FSetSinceOpen, one per per-playback setting.
    enum : unsigned {
        ppPlayTime = 1, ppRepeatType = 2, ppStartTime = 4, ppSeekByBytes = 8, ppWantedAudio = 16,
        ppWantedVideo = 32, ppWantedSubtitle = 64, ppVerticalFlip = 128
    };
    template <typename T, typename V>
    void SetPerPlayback(std::atomic<T>& AField, V AValue, unsigned ABit) {
        std::lock_guard lock(FSettingsLock);
        AField = static_cast<T>(AValue);
        FSetSinceOpen |= ABit;
    }
    // The play thread as its playback ends: the per-playback settings not set since its Open
    // return to their defaults.
    void ResetPerPlaybackSettings();
    // The playback AGeneration is still the open one and its play thread runs. Main thread.
    bool StillPlaying(uint64_t AGeneration) const {
        return FVideoState && FGeneration == AGeneration && !FPlayThreadDone.load();
    }
    // Flips the pause and ends a pending frame step and the report of an open paused playback's
    // first picture. False when the playback ended (or another began) during its pumping waits:
    // nothing toggled.
    bool TogglePaused();
    void RequestSeek(int64_t APos, int64_t ARel, int AFlags, bool AWait);
    void SwitchStream(int AType, int AValue);
    void ReadLoop(TVideoState* AState);
    // Reading thread steps, in the order ReadLoop takes them (ReadLoop.cpp).
    bool OpenReadInput(TVideoState* AState, int& AAudio, int& AVideo, int& ASubtitle);
    bool OpenReadStreams(TVideoState* AState, int AAudio, int AVideo, int ASubtitle);
    void ReadPackets(TVideoState* AState);
    void CloseReadInput(TVideoState* AState);
    static bool TimeoutCheck(void* Sender);
    static bool AbortCheck(void* Sender);
    void LogTimeout();

    TSDLLoader FSDLLoader;
    TSDLAPI FSDL;  // the loader's entry points, copied at LoadSDLLib
    TSDLSession FSDLSession;  // SDL_Init of the open playback; main thread
    TFFDecoder FDecoder;

    TEvent FSeekEvent{true, true};
    TEvent FStopEvent{true, true};
    // Reset when a seek flushed the pictures, set when a picture is queued (or reading failed).
    TEvent FPictEvent{true, true};

    // Handlers: FHandlerLock guards FOnFileOpen, FOnPosition, FOnState, FOnAudioHook,
    // FOnVideoHook, FOnBeforeFindStreamInfo (read on the event, audio, video, reading threads).
    mutable std::mutex FHandlerLock;
    TFileOpenEvent FOnFileOpen;
    TPositionEvent FOnPosition;
    TPlayStateEvent FOnState;
    TAudioHookEvent FOnAudioHook;
    TBeforeFindStreamInfoEvent FOnBeforeFindStreamInfo;
    TVideoHookEvent FOnVideoHook;
    TFormatConverter FHookConverter;      // the video thread's
    TFormatConverter FSnapshotConverter;  // CurrentFrame's (main thread)
    TBitmap FSnapshot;

    // The open playback and its threads; set and freed on the main thread only, after every
    // thread that touches it has been joined.
    std::unique_ptr<TVideoState> FVideoState;
    std::atomic<TVideoState*> FVideoStateCB{nullptr};  // the state being opened or played
    // Counts the playbacks opened; FVideoState is playback FGeneration. Written on the main
    // thread as FVideoState is set, read by pumping waits to see whether theirs still exists.
    std::atomic<uint64_t> FGeneration{0};
    std::thread FPlayThread;
    std::atomic<bool> FPlayThreadDone{false};
    // The event thread of the current playback, and ended ones whose last delivery may still run
    // (their handler may be the caller of Open); joined at Open and at destruction.
    std::unique_ptr<TEventThread> FEventThread;
    std::vector<std::unique_ptr<TEventThread>> FEndedEventThreads;
    bool FOpening = false;  // main thread
    std::atomic<int> FDeliveryDepth{0};  // handlers of the event threads running now

    std::atomic<int64_t> FLastRead{0};      // µs of the last open step; max disarms, 0 cancels
    std::atomic<int> FTimeoutFired{0};      // 1 timed out, 2 cancelled; logged by the reader
    std::atomic<TPlayState> FPlayState{psPlay};
    std::atomic<bool> FSeeking{false};
    std::atomic<int64_t> FCurrentPTS{-1};
    int64_t FLastPTS = kTimeUnset;  // play thread

    std::string FFileName, FLastErrMsg;
    TScreenHost* FScreenHandle = nullptr;
    std::atomic<int> FAudioVolume{128};
    std::atomic<bool> FMute{false}, FAudioHook{false}, FTriggerEventInMainThread{true};
    TAudioDriver FAudioDriver = adDefault;
    TVideoDriver FVideoDriver = vdDefault;
    bool FDisableAudio = false, FDisableVideo = false, FDisableDisplay = false;
    std::atomic<float> FAspectRatio{0};
    int FFrameWidth = 0, FFrameHeight = 0, FScreenWidth = 0, FScreenHeight = 0;
    std::atomic<bool> FVideoHook{false};
    std::atomic<int> FVideoHookBitsPixel{24};
    bool FHijackWndProc = true, FAutoAdjustFrameRate = true;
    const void* FForceFormat = nullptr;  // AVInputFormat
    bool FCheckIOEOF = true, FCheckIOERR = true;
    // FSettingsLock guards the writes of the per-playback settings (FPlayTime, FRepeatType,
    // Fstart_time, Fseek_by_bytes, Fwanted_*_stream, FVerticalFlip) and FSetSinceOpen, the bits
    // of those set since the last Open took them; reads are atomic and take no lock.
    std::mutex FSettingsLock;
    unsigned FSetSinceOpen = 0;
    std::atomic<int64_t> FPlayTime{kTimeUnset};
    std::atomic<TRepeatType> FRepeatType{rtStop};
    std::atomic<int> FReadTimeout{10000};
    TShowAudio FShowAudio = saWave;
    Tav_sync_type Fav_sync_type = AV_SYNC_AUDIO_MASTER;
    std::atomic<int64_t> Fstart_time{kTimeUnset};
    std::atomic<int> Fseek_by_bytes{-1};
    bool Fgenpts = false;
    std::atomic<int> Fwanted_audio_stream{-1}, Fwanted_video_stream{-1}, Fwanted_subtitle_stream{-1};
    std::atomic<bool> FVerticalFlip{false};
    bool FDeinterlace = false;
    std::string FVideoFilters, FForceFrameRate;
    int Fframedrop = 0, Fdecoder_reorder_pts = -1;
};

// The published player.
class TFFPlayer : public TCustomPlayer {};
