#include "FFPlay.h"

#include <cmath>

#include "Dispatcher.h"
#include "FFLoad.h"
#include "PlayerState.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPositionThreshold = 10000;  // µs between two position events
enum TPlayEventKind { pkPosition = 1, pkState = 2, pkFinish = 3 };

#ifdef _WIN32
constexpr const char* kSDLLibraryName = "SDL.dll";
#else
constexpr const char* kSDLLibraryName = "libSDL2-2.0.so.0";
#endif


}  // namespace

// ---- event thread ------------------------------------------------------------------------

// Hands the position and state changes of one playback to the application. A ring of ten slots
// keeps only the newest pending event of a kind. Ends after psStop (or the finish event).
class TEventThread {
public:
    explicit TEventThread(TCustomPlayer* AOwner) : FOwner(AOwner), FThread([this] { Execute(); }) {}
    // Waits (pumping) until the thread has left, then joins it.
    ~TEventThread() {
        FTerminated = true;
        FEvent.SetEvent();
        WaitPumping([this] { return FDone.load(); }, 5ms);
        FThread.join();
    }
    void Push(int AKind, int64_t APayload);
    bool Done() const { return FDone.load(); }

private:
    bool Pop(int& AKind, int64_t& APayload);
    void Execute();
    void Deliver(const std::function<void()>& AStep);

    struct TSlot {
        int Kind = 0;
        int64_t Payload = 0;
    };
    TCustomPlayer* FOwner;
    std::mutex FLock;  // guards FHeader, FTailer, FEvents
    int FHeader = 0, FTailer = 0;
    TSlot FEvents[10];
    TEvent FEvent{true, false};  // signalled while the ring holds events
    std::atomic<bool> FTerminated{false}, FDone{false};
    std::thread FThread;  // last: starts once the fields exist
};

void TEventThread::Push(int AKind, int64_t APayload) {
    std::lock_guard lock(FLock);
    const int newest = (FTailer + 9) % 10;
    if (FHeader == FTailer || FEvents[newest].Kind != AKind) {
        FTailer = (FTailer + 1) % 10;
        if (FTailer == FHeader) FHeader = (FHeader + 1) % 10;
    }
    FEvents[(FTailer + 9) % 10] = {AKind, APayload};
    FEvent.SetEvent();
}

bool TEventThread::Pop(int& AKind, int64_t& APayload) {
    std::lock_guard lock(FLock);
    if (FHeader == FTailer) return false;
    AKind = FEvents[FHeader].Kind;
    APayload = FEvents[FHeader].Payload;
    FHeader = (FHeader + 1) % 10;
    if (FHeader == FTailer) FEvent.ResetEvent();
    return true;
}

void TEventThread::Deliver(const std::function<void()>& AStep) {
    // FDeliveryDepth counts the handlers running now, on whichever thread runs them.
    auto step = [&] {
        ++FOwner->FDeliveryDepth;
        struct TLeave {
            std::atomic<int>& Depth;
            ~TLeave() { --Depth; }
        } leave{FOwner->FDeliveryDepth};
        AStep();
    };
    try {
        if (FOwner->TriggerEventInMainThread())
            Synchronize(step);
        else
            step();
    } catch (const std::exception& e) {
        TheLogger()->Log(FOwner, llError, std::string("event handler: ") + e.what());
    }
}

void TEventThread::Execute() {
    while (!FTerminated) {
        int kind = 0;
        int64_t payload = 0;
        while (!FTerminated && Pop(kind, payload)) {
            if (kind == pkPosition) {
                Deliver([&] { FOwner->DeliverPosition(payload); });
            } else if (kind == pkState) {
                const auto state = static_cast<TPlayState>(payload);
                Deliver([&] { FOwner->DeliverState(state); });
                if (state == psStop) FTerminated = true;
            } else {
                FTerminated = true;
            }
        }
        while (!FTerminated && !FEvent.WaitFor(100ms)) {
        }
    }
    FDone = true;
}

// ---- component ---------------------------------------------------------------------------

TCustomPlayer::TCustomPlayer() = default;

TCustomPlayer::~TCustomPlayer() {
    {
        std::lock_guard lock(FHandlerLock);
        FOnPosition = nullptr;
        FOnState = nullptr;
        FOnAudioHook = nullptr;
        FOnVideoHook = nullptr;
    }
    Stop(true);
    FEventThread.reset();
    FEndedEventThreads.clear();
}

bool TCustomPlayer::Report(const std::string& AText, bool AStore, TLogLevel ALevel) {
    TheLogger()->Log(this, ALevel, AText);
    if (AStore) FLastErrMsg = AText;
    return false;
}

bool TCustomPlayer::LoadAVLib(const std::string& APath, bool AAutoLoadSDL) {
    GlobalFFLoader.SetLibraryPath(APath);
    if (!GlobalFFLoader.Load(PlayerLibraries)) {
        FLastErrMsg = GlobalFFLoader.LastErrMsg();
        return false;
    }
    return !AAutoLoadSDL || LoadSDLLib(APath, kSDLLibraryName);
}

bool TCustomPlayer::AVLibLoaded() const { return GlobalFFLoader.Loaded(PlayerLibraries); }

void TCustomPlayer::UnloadAVLib() {
    Stop(true);
    GlobalFFLoader.Unload(PlayerLibraries);
}

bool TCustomPlayer::LoadSDLLib(const std::string& APath, const std::string& AFile) {
    Stop(true);  // the playback's threads use the current instance
    if (FSDLLoader.Load(APath, AFile)) {
        FSDL = FSDLLoader.API();
        return true;
    }
    FSDL = FSDLLoader.Loaded() ? FSDLLoader.API() : TSDLAPI{};
    FLastErrMsg = FSDLLoader.LastErrMsg();
    return false;
}

void TCustomPlayer::UnloadSDLLib() {
    Stop(true);
    FSDL = TSDLAPI{};
    FSDLLoader.Unload();
}

void TCustomPlayer::SetOnFileOpen(TFileOpenEvent AEvent) { SetHandler(FOnFileOpen, std::move(AEvent)); }
void TCustomPlayer::SetOnPosition(TPositionEvent AEvent) { SetHandler(FOnPosition, std::move(AEvent)); }
void TCustomPlayer::SetOnState(TPlayStateEvent AEvent) { SetHandler(FOnState, std::move(AEvent)); }
void TCustomPlayer::SetOnAudioHook(TAudioHookEvent AEvent) { SetHandler(FOnAudioHook, std::move(AEvent)); }
void TCustomPlayer::SetOnVideoHook(TVideoHookEvent AEvent) { SetHandler(FOnVideoHook, std::move(AEvent)); }
void TCustomPlayer::SetOnBeforeFindStreamInfo(TBeforeFindStreamInfoEvent AEvent) {
    SetHandler(FOnBeforeFindStreamInfo, std::move(AEvent));
}

void TCustomPlayer::DeliverPosition(int64_t APTS) {
    if (auto handler = Handler(FOnPosition)) handler(this, APTS);
}

void TCustomPlayer::DeliverState(TPlayState AState) {
    if (auto handler = Handler(FOnState)) handler(this, AState);
}

std::string TCustomPlayer::ForceFormat() const {
    return FForceFormat ? static_cast<const AVInputFormat*>(FForceFormat)->name : "";
}

void TCustomPlayer::SetForceFormat(const std::string& AValue) {
    if (!AVLibLoaded()) {
        Report("libav not loaded.", true);
        return;
    }
    if (AValue.empty()) {
        FForceFormat = nullptr;
        return;
    }
    const AVInputFormat* f = avformat.av_find_input_format(AValue.c_str());
    if (!f) throw std::runtime_error(Format("Unknown input format: %s", AValue));
    FForceFormat = f;
}

void TCustomPlayer::SetShowAudio(TShowAudio AValue) {
    FShowAudio = AValue;
    if (IsOpen() && FVideoState->audio_stream >= 0 && !FDisableDisplay)
        FVideoState->show_audio = AValue;
}

void TCustomPlayer::ToggleAudioDisplay() {
    if (!IsOpen()) return;
    FVideoState->show_audio = (FVideoState->show_audio + 1) % 3;
    FVideoState->Events.Post(peResize);
}

bool TCustomPlayer::Paused() const { return !IsOpen() || FVideoState->paused != 0; }

double TCustomPlayer::AudioClock() const { return IsOpen() ? AudioClockOf(FVideoState.get()) : 0; }
double TCustomPlayer::MasterClock() const { return IsOpen() ? MasterClockOf(FVideoState.get()) : 0; }
double TCustomPlayer::VideoClock() const { return IsOpen() ? VideoClockOf(FVideoState.get()) : 0; }

double TCustomPlayer::skip_frames() const { return IsOpen() ? FVideoState->skip_frames.load() : 0; }
int TCustomPlayer::DroppedPictures() const { return IsOpen() ? FVideoState->frame_drops.load() : 0; }

void TCustomPlayer::SetForceFrameRate(const std::string& AValue) {
    if (AValue == FForceFrameRate) return;
    AVRational rate{0, 0};
    // Without the libraries the text is checked at Open (an incorrect one is then ignored).
    if (!AValue.empty() && AVLibLoaded() && avutil.av_parse_video_rate(&rate, AValue.c_str()) < 0)
        throw std::runtime_error("Incorrect frame rate");
    FForceFrameRate = AValue;
}

int TCustomPlayer::VideoStreamIndex() const { return IsOpen() ? FVideoState->video_stream.load() : -1; }
int TCustomPlayer::SubtitleStreamIndex() const {
    return IsOpen() ? FVideoState->subtitle_stream.load() : -1;
}

void TCustomPlayer::SetAspectRatio(float AValue) {
    if (FAspectRatio.exchange(AValue) != AValue && IsOpen()) FVideoState->Events.Post(peResize);
}

const TBitmap& TCustomPlayer::CurrentFrame(int64_t& APTS) {
    APTS = -1;
    FSnapshot = TBitmap{};
    FSnapshot.BitsPixel = FVideoHookBitsPixel;
    if (!IsOpen() || FVideoState->video_stream < 0) return FSnapshot;
    TVideoState* is = FVideoState.get();
    TFramePtr picture(avutil.av_frame_alloc());
    double pts = 0;
    {
        std::lock_guard lock(is->pictq_mutex);
        if (picture && is->shown.Frame && avutil.av_frame_ref(picture.get(), is->shown.Frame.get()) >= 0)
            pts = is->shown.pts;
        else
            picture.reset();
    }
    FSnapshotConverter.SetBitsPixel(FVideoHookBitsPixel);
    if (picture && FSnapshotConverter.FrameToBitmap(picture.get(), FSnapshot)) {
        APTS = std::llrint(pts * 1000000) - is->StartTime;
        return FSnapshot;
    }
    // No picture yet: black at the video's size.
    FSnapshot.Width = is->video_width;
    FSnapshot.Height = is->video_height;
    FSnapshot.Stride = FSnapshot.Width * FSnapshot.BitsPixel / 8;
    FSnapshot.Pixels.assign(size_t(FSnapshot.Stride) * FSnapshot.Height, 0);
    return FSnapshot;
}

int TCustomPlayer::AudioStreamIndex() const { return IsOpen() ? FVideoState->audio_stream.load() : -1; }

void TCustomPlayer::SetAudioStreamIndex(int AValue) { SwitchStream(AVMEDIA_TYPE_AUDIO, AValue); }
void TCustomPlayer::SetVideoStreamIndex(int AValue) { SwitchStream(AVMEDIA_TYPE_VIDEO, AValue); }
void TCustomPlayer::SetSubtitleStreamIndex(int AValue) { SwitchStream(AVMEDIA_TYPE_SUBTITLE, AValue); }

void TCustomPlayer::SwitchStream(int AType, int AValue) {
    if (!IsOpen()) return;
    TVideoState* is = FVideoState.get();
    const int current = AType == AVMEDIA_TYPE_AUDIO   ? is->audio_stream
                        : AType == AVMEDIA_TYPE_VIDEO ? is->video_stream
                                                      : is->subtitle_stream;
    if (AValue == current) return;
    // Subtitles may be switched on and off; audio and video only from one stream to another.
    const int lowest = AType == AVMEDIA_TYPE_SUBTITLE ? -1 : 0;
    if (current < lowest) {
        Report("the current stream is not valid.", true);
        return;
    }
    if (AValue < lowest) {
        Report("the stream index is not valid.", true);
        return;
    }
    // The reading thread checks the stream and closes and opens the streams between two reads;
    // a switch asked for while one is pending (from a handler of the wait below) is dropped.
    if (is->switch_type >= 0) return;
    is->switch_to = AValue;
    is->switch_type = AType;
    // The wait pumps: a handler run meanwhile may stop the playback and free it.
    const uint64_t playback = FGeneration;
    WaitPumping([&] { return !StillPlaying(playback) || is->switch_type < 0; }, 5ms);
    if (!StillPlaying(playback)) return;
    static const char* const kWhyNot[] = {nullptr, "the stream index is not valid.",
                                          "the stream type is not matched.",
                                          "the audio stream is not invalid."};
    if (is->switch_result != 0) Report(kWhyNot[is->switch_result], true);
}

// ---- opening -----------------------------------------------------------------------------

bool TCustomPlayer::Open(const std::string& AFileName, TScreenHost* AScreenHandle, bool APaused) {
    if (FOpening) return Report("the player is opening another file.", true);
    if (!AVLibLoaded()) return Report("libav not loaded.", true);
    if (!SDLLibLoaded()) return Report("sdl not loaded.", true);
    FOpening = true;
    struct TOpeningGuard {
        bool& Flag;
        ~TOpeningGuard() { Flag = false; }
    } guard{FOpening};

    Stop(true);
    std::erase_if(FEndedEventThreads, [](const auto& t) { return t->Done(); });
    {
        std::lock_guard lock(SDLLoaderLock());
        // SDL's own SIGINT/SIGTERM handlers would stop the playback instead of the program.
        FSDL.SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        // The default driver choice sets nothing, so SDL_AUDIODRIVER of the environment holds.
        if (FAudioDriver == adDirectSound) FSDL.SDL_SetHint(SDL_HINT_AUDIODRIVER, "directsound");
        if (FAudioDriver == adWaveOut) FSDL.SDL_SetHint(SDL_HINT_AUDIODRIVER, "winmm");
        if (FSDL.SDL_Init(SDL_INIT_AUDIO) != 0)
            return Report(Format("Could not initialize SDL with ScreenHandle(%u): %s",
                                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(AScreenHandle)),
                                 FSDL.SDL_GetError()),
                          true);
        FSDLSession = TSDLSession(&FSDL);
    }
    if (const char* driver = FSDL.SDL_GetCurrentAudioDriver())
        TheLogger()->Log(this, llDebug, "using audio driver: %s\n", driver);
    if (FDisableDisplay) FDisableVideo = true;

    if (!StreamOpen(AFileName, APaused)) {
        FSDLSession.Reset();
        return false;
    }
    FFileName = AFileName;
    FScreenHandle = AScreenHandle;
    FVideoState->screen = FDisableDisplay ? nullptr : AScreenHandle;

    if (TFileOpenEvent onFileOpen = Handler(FOnFileOpen)) {
        const int64_t duration = FVideoState->IsImage2 ? 0 : FVideoState->Duration;
        const bool video = FVideoState->video_stream >= 0;
        const int width = video ? FVideoState->video_width : -1;
        const int height = video ? FVideoState->video_height : -1;
        auto step = [&] { onFileOpen(this, duration, width, height, FScreenWidth, FScreenHeight); };
        if (FTriggerEventInMainThread)
            Synchronize(step);
        else
            step();
    }

    if (FEventThread) FEndedEventThreads.push_back(std::move(FEventThread));
    FEventThread = std::make_unique<TEventThread>(this);
    FStopEvent.ResetEvent();
    FPlayThreadDone = false;
    FPlayThread = std::thread([this] { PlayThreadExecute(); });
    return true;
}

bool TCustomPlayer::StreamOpen(const std::string& AFileName, bool APaused) {
    std::unique_ptr<TVideoState> state;
    try {
        state = std::make_unique<TVideoState>();
    } catch (const std::bad_alloc&) {
        return Report("av_mallocz() failed.", true);
    }
    TVideoState* is = state.get();
    is->Owner = this;
    is->sdl = &FSDL;
    is->paused = APaused ? 1 : 0;
    is->filename = AFileName;
    is->iformat = static_cast<const AVInputFormat*>(FForceFormat);
    is->av_sync_type = Fav_sync_type;
    TOpenSettings& s = is->Settings;
    s.disable_audio = FDisableAudio;
    s.disable_video = FDisableVideo;
    s.video_filters = FVideoFilters;
    s.deinterlace = FDeinterlace;
    if (!FForceFrameRate.empty() && avutil.av_parse_video_rate(&s.force_frame_rate, FForceFrameRate.c_str()) < 0)
        s.force_frame_rate = {0, 0};
    s.auto_adjust_frame_rate = FAutoAdjustFrameRate;
    s.framedrop = Fframedrop;
    s.decoder_reorder_pts = Fdecoder_reorder_pts;
    {
        // This playback takes the per-playback settings: what is set from now on is for the next.
        std::lock_guard lock(FSettingsLock);
        s.vertical_flip = FVerticalFlip;
        s.wanted_audio_stream = Fwanted_audio_stream;
        s.wanted_video_stream = Fwanted_video_stream;
        s.wanted_subtitle_stream = Fwanted_subtitle_stream;
        s.start_time = Fstart_time;
        s.seek_by_bytes = Fseek_by_bytes;
        FSetSinceOpen = 0;
    }
    s.genpts = Fgenpts;
    s.check_ioeof = FCheckIOEOF;
    s.check_ioerr = FCheckIOERR;
    s.frame_width = FFrameWidth;
    s.frame_height = FFrameHeight;
    s.workaround_bugs = workaround_bugs;
    s.lowres = lowres;
    s.idct_algo = idct_algo;
    s.error_concealment = error_concealment;
    s.fast = fast;
    FTimeoutFired = 0;
    try {
        is->parse_tid = std::thread([this, is] { ReadLoop(is); });
    } catch (const std::system_error&) {
        return Report("SDL_CreateThread() failed.", true);
    }
    WaitPumping([is] { return is->Opened != 0; }, 1ms);
    if (is->Opened > 0) {
        // The probe reads the context while the reading thread waits for this.
        FDecoder.SetFileHandle(is->ic.get());
        is->StartReading.SetEvent();
        // Sound is drawn for files without pictures; a paused open still shows its first picture.
        if (is->audio_stream >= 0 && is->video_stream < 0 && !FDisableDisplay) is->show_audio = FShowAudio;
        is->open_paused = APaused && is->video_stream >= 0;
        is->refresh_tid = std::thread([is] {
            while (!is->abort_request) {
                if (is->refresh.exchange(1) == 0) is->Events.Post(peRefresh);
                // The spectrum draws one column per pass: 20 ms while audio is drawn.
                std::this_thread::sleep_for(is->show_audio != saNone ? 20ms : 5ms);
            }
        });
        FVideoState = std::move(state);
        ++FGeneration;
        return true;
    }
    WaitPumping([is] { return is->Opened == -2; }, 1ms);
    is->parse_tid.join();
    FLastErrMsg = is->ErrMsg;
    return false;
}

// ---- play thread -------------------------------------------------------------------------

void TCustomPlayer::PlayThreadExecute() {
    SetPlayState(psPlay);
    TVideoState* state = FVideoState.get();
    if (state->screen) state->screen->SetOnResize([state] { state->Events.Post(peResize); });
    try {
        EventLoop();
    } catch (const std::exception& e) {
        TheLogger()->Log(this, llFatal, std::string("PlayThread Exception: ") + e.what());
    }
    // Ends the playback's other threads: the reading thread closes the streams and the input.
    TVideoState* is = FVideoState.get();
    is->abort_request = 1;
    if (is->parse_tid.joinable()) is->parse_tid.join();
    if (is->refresh_tid.joinable()) is->refresh_tid.join();
    if (is->screen) is->screen->SetOnResize({});
    CloseDisplay(is);
    ResetPerPlaybackSettings();
    FPlayThreadDone = true;
    SetPlayState(psStop);
    FStopEvent.SetEvent();
}

void TCustomPlayer::EventLoop() {
    TVideoState* is = FVideoState.get();
    for (;;) {
        const TPlayThreadEvent e = is->Events.Wait();
        if (e == peQuit) return;
        if (e == peResize) DrawStep(is, true);
        if (e == peRefresh) {
            if (RefreshPass()) UpdatePosition();
            is->refresh = 0;
        }
    }
}

// The picture due now, or the sound, into the surface; false when the pass ends before the
// position update (a picture is queued but not due yet).
bool TCustomPlayer::RefreshPass() {
    TVideoState* is = FVideoState.get();
    const bool drawsAudio = is->audio_stream >= 0 && is->show_audio != saNone;
    if (is->video_stream < 0) {
        DrawStep(is, false);
        return true;
    }
    bool dropped = false;
    const TRefreshResult r = RefreshVideo(is, dropped);
    if (r == rrShown || drawsAudio) DrawStep(is, false);
    if (r == rrShown) {
        std::lock_guard lock(is->step_lock);
        if (is->open_paused.exchange(false)) SetPlayState(psPause);
    }
    return r != rrWait && !dropped;
}

void TCustomPlayer::UpdatePosition() {
    TVideoState* is = FVideoState.get();
    if (is->IsImage2) return;
    int64_t pts;
    if (is->video_stream >= 0) {
        pts = std::llrint(VideoClockOf(is) * 1000000) - is->StartTime;
    } else if (is->audio_stream >= 0) {
        pts = std::llrint(AudioClockOf(is) * 1000000) - is->StartTime;
        const int64_t audioDuration = is->AudioDuration;
        if (audioDuration > 0 && pts >= audioDuration && pts < is->Duration) pts = is->Duration;
    } else {
        return;
    }
    FCurrentPTS = pts;
    if (is->Duration > 0 && pts >= is->Duration) {
        pts = is->Duration;
        if (FLastPTS != is->Duration) FLastPTS = 0;
    }
    if (FLastPTS == kTimeUnset || std::llabs(pts - FLastPTS) > kPositionThreshold) {
        FLastPTS = pts;
        if (Handler(FOnPosition)) PushPlayEvent(pkPosition, pts);
    }
    // Each end of the input is reported once (read before ReachEOF: never ahead of its end).
    const int ends = is->EndCount;
    if (!is->IsDevice && is->ReachEOF == 1 && is->EventEOF != ends) {
        is->EventEOF = ends;
        SetPlayState(psEnd);
    }
    const int64_t playTime = FPlayTime;
    if (playTime != kTimeUnset) {
        const int64_t startTime = is->Settings.start_time;
        const int64_t end = startTime == kTimeUnset ? playTime : startTime + playTime;
        if (pts >= end) {
            switch (FRepeatType.load()) {
                case rtStop: Stop(false); break;
                case rtLoop:
                    if (startTime == kTimeUnset)
                        Seek(int64_t{0}, TSeekFlags{sfAny}, false);
                    else
                        Seek(startTime, TSeekFlags{}, false);
                    break;
                case rtNone: break;
            }
        }
    }
}

void TCustomPlayer::SetPlayState(TPlayState AState) {
    FPlayState = AState;
    if (Handler(FOnState))
        PushPlayEvent(pkState, AState);
    else if (AState == psStop)
        PushPlayEvent(pkFinish, 0);
}

void TCustomPlayer::PushPlayEvent(int AKind, int64_t APayload) {
    if (FEventThread) FEventThread->Push(AKind, APayload);
}

// ---- control -----------------------------------------------------------------------------

bool TCustomPlayer::TogglePaused() {
    // The waits pump: a hand-over or message handled meanwhile may stop the playback.
    const uint64_t playback = FGeneration;
    const bool seekDone = WaitPumping([this] { return FSeekEvent.IsSet(); }, 5ms, 250ms);
    if (!StillPlaying(playback)) return false;
    if (!seekDone) FSeekEvent.SetEvent();
    TVideoState* is = FVideoState.get();
    if (is->paused) {
        // The pictures to come are due later by the time spent paused; the video clock goes on
        // from the picture shown.
        if (is->video_stream >= 0) {
            const double now = avutil.av_gettime_relative() / 1000000.0;
            is->frame_timer.fetch_add(now + is->video_current_pts_drift - is->video_current_pts);
            if (is->read_pause_return != AVERROR(ENOSYS)) is->video_current_pts_drift = is->video_current_pts - now;
        }
        std::lock_guard lock(is->step_lock);
        is->paused = 0;
        is->step = false;
        is->open_paused = false;
    } else {
        if (is->video_stream >= 0) {
            const bool shown = WaitPumping([this] { return FPictEvent.IsSet(); }, 5ms, 250ms);
            if (!StillPlaying(playback)) return false;
            if (!shown) FPictEvent.SetEvent();
        }
        std::lock_guard lock(is->step_lock);
        is->paused = 1;
        is->step = false;
        is->open_paused = false;
    }
    return true;
}

void TCustomPlayer::StepToNextFrame() {
    if (!IsOpen()) return;
    if (FVideoState->paused && !TogglePaused()) return;
    if (!FVideoState->step.exchange(true)) SetPlayState(psStep);
}

void TCustomPlayer::Pause() {
    if (!IsOpen() || FVideoState->paused || !TogglePaused()) return;
    SetPlayState(psPause);
}

void TCustomPlayer::Resume() {
    if (!IsOpen() || !FVideoState->paused || !TogglePaused()) return;
    SetPlayState(psResume);
}

void TCustomPlayer::TogglePause() {
    if (!IsOpen() || !TogglePaused()) return;
    SetPlayState(FVideoState->paused ? psPause : psResume);
}

void TCustomPlayer::Seek(int64_t APTS, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
    if (!IsOpen()) return;
    const TVideoState* is = FVideoState.get();
    if (ASeekFlags.Contains(sfByte)) {
        RequestSeek(APTS, 0, ASeekFlags.Bits(), AWaitForSeekEnd);
        return;
    }
    // Clamped to the duration only when the file gives one.
    int64_t target = is->Duration > 0 ? std::min(APTS, is->Duration) : APTS;
    target += is->StartTime;
    RequestSeek(target, APTS <= 0 ? 1 : 0, ASeekFlags.Bits(), AWaitForSeekEnd);
}

void TCustomPlayer::Seek(double ADelta, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
    if (!IsOpen()) return;
    const TVideoState* is = FVideoState.get();
    if (ASeekFlags.Contains(sfByte)) {
        const double increment = ADelta * (is->BitRate ? is->BitRate / 8.0 : 180000.0);
        RequestSeek(std::llrint(is->BytePos + increment), std::llrint(increment),
                    ASeekFlags.Bits(), AWaitForSeekEnd);
        return;
    }
    RequestSeek(std::llrint((MasterClockOf(is) + ADelta) * 1000000), std::llrint(ADelta * 1000000),
                ASeekFlags.Bits(), AWaitForSeekEnd);
}

// Any thread (the play thread's loop seeks too).
void TCustomPlayer::RequestSeek(int64_t APos, int64_t ARel, int AFlags, bool AWait) {
    TVideoState* is = FVideoState.get();
    {
        std::lock_guard lock(is->seek_lock);
        if (is->seek_req) return;  // the pending one is taken first; this one is dropped
        FSeeking = true;
        is->seek_pos = APos;
        is->seek_rel = ARel;
        is->seek_flags = AFlags;
        FSeekEvent.ResetEvent();
        is->seek_req = 1;
    }
    if (!AWait) return;
    // On the main thread the waits pump: a handler run meanwhile may stop the playback and free
    // it. Elsewhere the playback lasts while its play thread runs.
    const uint64_t playback = FGeneration;
    const bool main = IsMainThread();
    const auto gone = [&] { return main ? !StillPlaying(playback) : FPlayThreadDone.load(); };
    WaitPumping([&] { return gone() || FSeekEvent.IsSet(); }, 5ms);
    if (!gone() && is->video_stream >= 0) WaitPumping([&] { return gone() || FPictEvent.IsSet(); }, 5ms);
}

// ---- stopping ----------------------------------------------------------------------------

void TCustomPlayer::Stop(bool AWaitForStop) {
    if (!FVideoState) {
        // An Open may be in progress: cancel its blocking calls.
        FLastRead = 0;
        if (TVideoState* cb = FVideoStateCB.load()) cb->abort_request = 1;
        return;
    }
    // The sound fades out at once (5 ms); the audio callback outputs nothing more after that.
    FVideoState->abort_request = 1;
    FVideoState->Events.Post(peQuit);
    // Not waited for on the play thread, nor from OnFileOpen (the play thread has not started:
    // it ends at once when Open starts it).
    if (!AWaitForStop || !FPlayThread.joinable() || std::this_thread::get_id() == FPlayThread.get_id())
        return;
    const uint64_t playback = FGeneration;
    WaitForStop();
    // A handler run by the pumping may have finished this playback already (a nested Stop), or
    // opened the next one.
    if (FGeneration != playback) return;
    if (FVideoState) FinishPlayback();
    // OnState(psStop) has been delivered when Stop returns, unless Stop runs inside one of this
    // player's handlers (the event thread waits for that handler to return).
    if (FEventThread && FDeliveryDepth == 0)
        WaitPumping([&] { return FGeneration != playback || FEventThread->Done(); }, 1ms);
}

void TCustomPlayer::WaitForStop() {
    // Each pass re-posts the quit event; the playback is never freed while one of its threads
    // runs, so the wait lasts until the reading thread's blocking call gives up.
    const uint64_t playback = FGeneration;
    const auto ended = [&] { return FGeneration != playback || !FVideoState || FStopEvent.IsSet(); };
    while (!WaitPumping(ended, 5ms, 100ms)) FVideoState->Events.Post(peQuit);
}

void TCustomPlayer::FinishPlayback() {
    if (FPlayThread.joinable()) FPlayThread.join();
    FVideoState.reset();
    FVideoStateCB = nullptr;
    FSDLSession.Reset();
    FPlayThreadDone = false;
    // A seek that was still pending ended with its playback.
    FSeeking = false;
    FSeekEvent.SetEvent();
    FPictEvent.SetEvent();
}

void TCustomPlayer::ResetPerPlaybackSettings() {
    std::lock_guard lock(FSettingsLock);
    const unsigned kept = FSetSinceOpen;
    if (!(kept & ppWantedAudio)) Fwanted_audio_stream = -1;
    if (!(kept & ppWantedVideo)) Fwanted_video_stream = -1;
    if (!(kept & ppWantedSubtitle)) Fwanted_subtitle_stream = -1;
    if (!(kept & ppSeekByBytes)) Fseek_by_bytes = -1;
    if (!(kept & ppStartTime)) Fstart_time = kTimeUnset;
    if (!(kept & ppPlayTime)) FPlayTime = kTimeUnset;
    if (!(kept & ppRepeatType)) FRepeatType = rtStop;
    if (!(kept & ppVerticalFlip)) FVerticalFlip = false;
}
