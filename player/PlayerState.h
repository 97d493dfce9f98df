// Inside the player: the packet queues, the per-playback record and the play thread's event
// queue. Not for callers of the component.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "Bitmap.h"
#include "FFPtr.h"
#include "FFPlay.h"
#include "ScreenHost.h"

// One queued packet, or a marker: Flush (a seek happened: flush the decoder) or Drain (end of
// input: drain the decoder). Serial counts the flushes of the queue.
struct TPacketNode {
    TPacketPtr Pkt;
    bool Flush = false;
    bool Drain = false;
    int Serial = 0;
};

// Packets of one stream from the reading thread to its consumer. Every operation takes the
// queue's lock; Get blocks only when asked.
class TPacketQueue {
public:
    static constexpr int kNodeSize = 72;  // counted per node in Size()

    ~TPacketQueue() { Flush(); }
    // Takes the packet's data (av_packet_move_ref); -1 when no memory.
    int Put(AVPacket* APkt);
    // Drops every queued packet and queues a flush marker with the next serial.
    void FlushAndMark();
    void PutDrain();
    // 1 with a node, 0 when empty and not blocking, -1 when aborted.
    int Get(TPacketNode& ANode, bool ABlock);
    void Flush();
    void Abort();
    int Size() const;
    int Count() const;
    int Serial() const { return FSerial.load(); }

private:
    void Append(TPacketNode&& ANode);

    mutable std::mutex FLock;  // guards FList, FSize, FAbort
    std::condition_variable FCond;
    std::deque<TPacketNode> FList;
    int FSize = 0;
    bool FAbort = false;
    std::atomic<int> FSerial{0};  // written under FLock, read by the consumer without it
};

// Events of the play thread (the SDL 1.2 event queue's successor).
enum TPlayThreadEvent { peRefresh = 25, peQuit = 26, peResize = 28 };
class TPlayEventQueue {
public:
    void Post(TPlayThreadEvent AEvent);
    TPlayThreadEvent Wait();

private:
    std::mutex FLock;  // guards FEvents
    std::condition_variable FCond;
    std::deque<TPlayThreadEvent> FEvents;
};

constexpr int kSampleArraySize = 131072;

// A decoded subtitle, freed with avsubtitle_free. Move-only.
class TSubtitle {
public:
    TSubtitle() = default;
    ~TSubtitle() { Free(); }
    TSubtitle(TSubtitle&& AOther) noexcept : Sub(AOther.Sub), Held(AOther.Held) { AOther.Held = false; }
    TSubtitle& operator=(TSubtitle&& AOther) noexcept {
        if (this != &AOther) {
            Free();
            Sub = AOther.Sub;
            Held = AOther.Held;
            AOther.Held = false;
        }
        return *this;
    }
    TSubtitle(const TSubtitle&) = delete;
    TSubtitle& operator=(const TSubtitle&) = delete;
    // For avcodec_decode_subtitle2; Hold() once it gave a subtitle.
    AVSubtitle* Ref() { return &Sub; }
    void Hold() { Held = true; }
    const AVSubtitle& Get() const { return Sub; }
    void Free() {
        if (Held) avcodec.avsubtitle_free(&Sub);
        Held = false;
    }

private:
    AVSubtitle Sub{};
    bool Held = false;
};

// One playback. Allocated by StreamOpen, freed by the main thread after its threads are joined.
// Fields are written by the thread named at each; atomics where two threads meet.
// The player's settings as they were at Open, for the reading thread.
struct TOpenSettings {
    bool disable_audio = false, disable_video = false, vertical_flip = false, deinterlace = false;
    std::string video_filters;
    AVRational force_frame_rate{0, 0};  // 0/0: none
    bool auto_adjust_frame_rate = true;
    int framedrop = 0, decoder_reorder_pts = -1;
    int wanted_audio_stream = -1, wanted_video_stream = -1, wanted_subtitle_stream = -1;
    int64_t start_time = kTimeUnset;
    bool genpts = false;
    int seek_by_bytes = -1;
    bool check_ioeof = true, check_ioerr = true;
    int frame_width = 0, frame_height = 0;
    int workaround_bugs = 1, lowres = 0, idct_algo = 0, error_concealment = 3;
    bool fast = false;
};

struct TVideoState {
    TCustomPlayer* Owner = nullptr;
    const TSDLAPI* sdl = nullptr;  // the owner's SDL instance
    TOpenSettings Settings;
    std::string ErrMsg;  // the reading thread's stored-only failure text; read after it ended
    std::string filename;
    const AVInputFormat* iformat = nullptr;

    // control: written by the caller's thread, polled by the reading thread
    std::atomic<int> abort_request{0}, paused{0}, seek_req{0}, seek_flags{0};
    std::atomic<int64_t> seek_pos{0}, seek_rel{0};
    // Makes posting a seek request one step (seek_req checked, the request written, seek_req
    // set, with the player's FSeeking and FSeekEvent), and so its taking by the reading thread
    // (seek_req cleared, FSeekEvent set). Callers' threads, the play thread, the reading thread.
    std::mutex seek_lock;
    // A stream switch: switch_type is the AVMediaType to switch (-1 none; reset by the reading
    // thread once done), switch_to the stream (-1 for no subtitles), switch_result 0 when
    // switched, else why not (read once switch_type is -1 again).
    std::atomic<int> switch_type{-1}, switch_to{-1}, switch_result{0};
    int last_paused = 0;  // reading thread
    std::atomic<int> read_pause_return{0};  // reading thread; read by TogglePaused
    TEvent StartReading{true, false};  // set by StreamOpen once the probe adopted ic

    std::atomic<int> Opened{0};  // 0 opening, 1 opened, -1 failed (cleaning up), -2 finished
    std::atomic<int> Reading{0}, ReachEOF{0};
    // Ends of the input reached (reading thread), and the last one reported as psEnd (play thread).
    std::atomic<int> EndCount{0}, EventEOF{0};
    bool IOEOFLog = false, IOERRLog = false, InputEnded = false;  // reading thread
    bool IsImage2 = false, IsDevice = false;
    int64_t StartTime = 0, Duration = -1;  // µs; set before Opened becomes 1
    std::atomic<int64_t> AudioDuration{-1};
    int64_t BitRate = 0;
    std::atomic<int64_t> BytePos{0};  // input position of the last packet read

    TInputContextPtr ic;  // the reading thread's, until it exits

    // audio: opened and closed by the reading thread; the rest used by SDL's audio thread
    std::atomic<int> audio_stream{-1};
    AVStream* audio_st = nullptr;
    TCodecContextPtr audio_dec;
    TSDLAudioDevice audio_device;
    TPacketQueue audioq;
    // The device's format; rate and channels are also read by the drawing while a stream switch
    // on the reading thread may set them anew.
    std::atomic<int> audio_rate{0}, audio_channels{0};
    int audio_frame_bytes = 0;
    int audio_hw_buf_size = 0;
    TFramePtr audio_frame;
    TSwrPtr swr;
    int swr_format = -1, swr_rate = 0;
    AVChannelLayout swr_layout{};
    std::vector<uint8_t> audio_buf1;  // converted samples of the current frame
    unsigned audio_buf_size = 0, audio_buf_index = 0;
    int audio_buf_serial = -1, audio_pkt_serial = -1;
    bool audio_decoder_ended = false;
    double audio_clock = 0;
    std::atomic<double> audio_clock_now{0};  // AudioClock, published by the callback
    std::atomic<int> audio_silent_calls{0};  // callbacks in a row with no sound left (input ended)
    double audio_diff_cum = 0, audio_diff_avg_coef = 0, audio_diff_threshold = 0;
    int audio_diff_avg_count = 0;
    std::atomic<int64_t> audio_callback_time{0};
    std::atomic<int> show_audio{0};
    // The waveform ring: written by the audio callback, read by the drawing; relaxed atomics
    // (a torn frame spoils one drawing only).
    std::array<std::atomic<int16_t>, kSampleArraySize> sample_array{};
    std::atomic<int> sample_array_index{0};
    std::atomic<int> audio_buf_left{0};  // bytes of the current frame not yet handed to SDL
    // The fades of starts, pauses and stops: audio_gain is the gain of the next sample frame
    // (audio thread), moved by audio_fade_step per frame towards 1 while playing, towards 0
    // while paused, aborted or closing (audio_fading_out, set by CloseAudioComponent).
    // audio_faded_out: the last callback ended silent, nothing is left to fade out.
    double audio_gain = 0, audio_fade_step = 1;
    std::atomic<bool> audio_fading_out{false}, audio_faded_out{true};

    // video: opened and closed by the reading thread, decoded by the video thread
    std::atomic<int> video_stream{-1};
    AVStream* video_st = nullptr;
    TCodecContextPtr video_dec;
    TPacketQueue videoq;
    std::thread video_tid;
    std::atomic<bool> video_quit{false};      // set by CloseVideoComponent
    std::atomic<bool> video_decoder_ended{false};
    int video_width = 0, video_height = 0;    // set before Opened becomes 1
    double frame_delay = 0.04;                // seconds per picture (video thread)
    double video_clock = 0;                   // time of the next picture (video thread)
    double frame_last_pts = 0, frame_last_delay = 0;  // video thread; frame_last_pts NAN = unset
    std::atomic<double> frame_timer{0};       // video thread; the caller's thread on resume
    // Grown by the play thread per late picture, reset by the video thread after a flush.
    std::atomic<double> skip_frames{1};
    std::atomic<int> frame_drops{0};          // pictures dropped as late (play thread)
    TSwsPtr picture_sws;                      // decoded frame -> queued picture (video thread)
    // The chain "ffplay_input" -> video_filters -> "ffsink" for frames of one format and size
    // (video thread); none without filters or after a failure.
    TFilterGraphPtr filter_graph;
    AVFilterContext *filter_src = nullptr, *filter_sink = nullptr;
    int filter_width = 0, filter_height = 0, filter_format = -1;
    bool filter_failed = false;
    TBitmap hook_bitmap;                      // OnVideoHook's bitmap (video thread)
    // The time of the picture shown and its drift against the system clock (play thread; read
    // by VideoClockOf on any thread, by TogglePaused on the caller's).
    std::atomic<double> video_current_pts{0}, video_current_pts_drift{0};
    std::atomic<int64_t> video_current_pos{-1};
    std::atomic<bool> step{false};            // pause again once the next picture is shown
    // Makes a taken step's pause, the report of an open paused playback's first picture, and a
    // pause or resume of the caller's (which ends both) one step each: neither can pause, or
    // report paused, a playback the caller resumed meanwhile.
    std::mutex step_lock;
    std::atomic<bool> show_next{true};        // show the next picture even while paused
    std::atomic<bool> open_paused{false};     // report psPause once the first picture is shown

    // The picture queue: two pictures from the video thread to the play thread, and the picture
    // shown last. pictq_mutex guards pictq, pictq_size, pictq_rindex, pictq_windex, shown.
    struct TPicture {
        TFramePtr Frame;  // YUV420P at the video's size, already flipped and hooked
        double pts = 0, target = 0;
        int64_t pos = -1;
        AVRational sar{0, 1};
        int serial = 0;
    };
    std::array<TPicture, 2> pictq;
    int pictq_size = 0, pictq_rindex = 0, pictq_windex = 0;
    TPicture shown;
    std::mutex pictq_mutex;
    std::condition_variable pictq_cond;

    // subtitles: opened and closed by the reading thread, decoded by the subtitle thread into
    // the four-entry queue, blended by the play thread. subpq_mutex guards subpq, subpq_size,
    // subpq_rindex, subpq_windex.
    std::atomic<int> subtitle_stream{-1};
    AVStream* subtitle_st = nullptr;
    TCodecContextPtr subtitle_dec;
    TPacketQueue subtitleq;
    std::thread subtitle_tid;
    std::atomic<bool> subtitle_quit{false};
    int subtitle_width = 0, subtitle_height = 0;  // the rectangles' canvas, set at open
    bool subtitle_text_failed = false;  // play thread: text subtitles cannot be drawn
    // A text subtitle drawn for a picture rectangle of ForWidth x ForHeight: the ARGB pixels
    // (alpha premultiplied) of the part at X, Y of that rectangle that holds the text.
    struct TTextImage {
        int ForWidth = 0, ForHeight = 0;
        int X = 0, Y = 0, Width = 0, Height = 0;
        std::vector<uint32_t> Pixels;
    };
    struct TSubtitleEntry {
        TSubtitle Sub;  // bitmap rectangles are blended; text ones are drawn from Text
        std::vector<std::string> Text;  // a text subtitle's lines (none for a bitmap one)
        TTextImage Image;  // Text drawn at the size of the last picture it was blended into
        double pts = 0;  // seconds; shown from pts + start_display_time to pts + end_display_time
        int serial = 0;
    };
    std::array<TSubtitleEntry, 4> subpq;
    int subpq_size = 0, subpq_rindex = 0, subpq_windex = 0;
    std::mutex subpq_mutex;
    std::condition_variable subpq_cond;

    // drawing (play thread): the XRGB8888 surface handed to the host, and the spectrum state
    TScreenHost* screen = nullptr;
    TSwsPtr display_sws;  // shown picture -> scaled -> surface
    std::vector<uint32_t> scaled;
    std::vector<uint32_t> surface;
    int width = 0, height = 0;
    int last_i_start = 0;
    RDFTContext* rdft = nullptr;  // freed by CloseDisplay
    int rdft_bits = 0;
    std::vector<float> rdft_data;
    int xpos = 0;

    Tav_sync_type av_sync_type = AV_SYNC_AUDIO_MASTER;
    double external_clock = 0;
    int64_t external_clock_time = 0;

    std::thread parse_tid, refresh_tid;  // started by StreamOpen, joined by the play thread as it ends
    std::atomic<int> refresh{0};
    TPlayEventQueue Events;
};

// The decoder of stream AStream of the playback's input, opened under the codec lock; with
// ASettings the playback's decoder settings (workarounds, lowres, IDCT, concealment, fast) and
// one thread. Null when it cannot be opened. Reading thread (ReadLoop.cpp).
TCodecContextPtr OpenStreamDecoder(const TVideoState* AState, AVStream* AStream, bool ASettings);

// The audio side (AudioOut.cpp). OpenAudioComponent opens the decoder and the device and starts
// it; the queue holds a flush marker (and what was read ahead) already.
int OpenAudioComponent(TVideoState* AState, int AStreamIndex, const TSDLAPI& ASDL);
void CloseAudioComponent(TVideoState* AState);
double AudioClockOf(const TVideoState* AState);
double MasterClockOf(const TVideoState* AState);

// The draw step (Display.cpp, play thread): audio into the surface, handed to the host. A host
// that is hidden or missing costs nothing. AForce makes a new surface of the host's size first.
void DrawStep(TVideoState* AState, bool AForce);
void CloseDisplay(TVideoState* AState);

// The picture side (Video.cpp). OpenVideoComponent opens the decoder and starts the video thread
// (reading thread); CloseVideoComponent stops and joins it and frees the queued pictures.
int OpenVideoComponent(TVideoState* AState, int AStreamIndex);
void CloseVideoComponent(TVideoState* AState);
// Wakes a video thread waiting for room in the picture queue (after the video queue's flush).
void WakePictureQueue(TVideoState* AState);
double VideoClockOf(const TVideoState* AState);
// The refresh pass's picture step (play thread): takes the next picture when it is due (or at
// once after an open or a seek). rrWait: one is queued but not due yet, the pass ends there.
enum TRefreshResult { rrNone, rrWait, rrShown };
// With framedrop, pictures already late are dropped on the way (ADropped true: the pass ends
// without the position update).
TRefreshResult RefreshVideo(TVideoState* AState, bool& ADropped);
// True once the video decoder is drained and no picture is left to show.
bool VideoDrained(TVideoState* AState);

// Subtitles (Subtitles.cpp): opened and closed by the reading thread like the video.
int OpenSubtitleComponent(TVideoState* AState, int AStreamIndex);
void CloseSubtitleComponent(TVideoState* AState);
void WakeSubtitleQueue(TVideoState* AState);
// Play thread: blends the subtitle due at the shown picture's time into the picture's rectangle
// (AX, AY, AWidth, AHeight) of the surface, dropping those that have ended.
void BlendSubtitles(TVideoState* AState, int AX, int AY, int AWidth, int AHeight);
