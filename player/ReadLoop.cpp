// The reading thread: opens the input, chooses and opens the streams, keeps the packet queues
// filled, executes seeks and detects the end of the input.
#include <cmath>
#include <thread>

#include "Dispatcher.h"
#include "FFLoad.h"
#include "FFUtils.h"
#include "Platform.h"
#include "PlayerState.h"
#include "UnicodeProtocol.h"

using namespace std::chrono_literals;

namespace {

constexpr int kTotalQueueLimit = 15728640;
constexpr int kAudioQueueTarget = 0x50000;
constexpr int kVideoQueueTarget = 5;  // packets
constexpr int64_t kDisarmed = INT64_MAX;

int64_t Now() { return avutil.av_gettime_relative(); }

enum { scOK, scBadIndex, scTypeMismatch, scBadAudio };

// Whether AStream can replace the stream of type AType (for subtitles -1: none). The reading
// thread alone reads the stream list, which a demuxer may grow while reading.
int StreamCheck(const AVFormatContext* AContext, int AType, int AStream) {
    if (AType == AVMEDIA_TYPE_SUBTITLE && AStream == -1) return scOK;
    if (AStream < 0 || AStream >= static_cast<int>(AContext->nb_streams)) return scBadIndex;
    const AVCodecParameters* par = AContext->streams[AStream]->codecpar;
    if (par->codec_type != AType) return scTypeMismatch;
    if (AType == AVMEDIA_TYPE_AUDIO && (par->sample_rate == 0 || par->ch_layout.nb_channels == 0))
        return scBadAudio;
    return scOK;
}

// Sleeps up to ATime in short steps, returning early on abort.
void Nap(const TVideoState* AState, std::chrono::milliseconds ATime) {
    for (auto left = ATime; left.count() > 0 && !AState->abort_request; left -= 5ms)
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5ms)));
}

}  // namespace

bool TCustomPlayer::TimeoutCheck(void* Sender) {
    auto* p = static_cast<TCustomPlayer*>(Sender);
    const int64_t last = p->FLastRead;
    if (last == 0) {  // Stop during the open: cancelled whatever the time-out
        p->FTimeoutFired = 2;
        return true;
    }
    const int timeout = p->FReadTimeout;
    if (timeout > 0 && last != kDisarmed && Now() - last > int64_t{timeout} * 1000) {
        p->FTimeoutFired = 1;
        return true;
    }
    return false;
}

bool TCustomPlayer::AbortCheck(void* Sender) {
    const TVideoState* is = static_cast<TCustomPlayer*>(Sender)->FVideoStateCB.load();
    return is && is->abort_request == 1;
}

// The interrupt methods run under the registry's lock: they only set FTimeoutFired, and the
// reading thread logs here once the blocking call has returned.
void TCustomPlayer::LogTimeout() {
    switch (FTimeoutFired.exchange(0)) {
        case 1: TheLogger()->Log(this, llInfo, "connecting/reading timeout"); break;
        case 2: TheLogger()->Log(this, llInfo, "connecting/reading canceled"); break;
        default: break;
    }
}

namespace {

// Steps of the reading thread; each works on the playback and its owner's settings.
class TReader {
public:
    TReader(TCustomPlayer* AOwner, TVideoState* AState) : FOwner(AOwner), is(AState) {}
    int OpenInput(std::atomic<int64_t>& ALastRead);
    int FindStreamInfo(std::atomic<int64_t>& ALastRead);
    void SeekToStart(std::atomic<int64_t>& ALastRead);
    // The video stream (-1 none) and the audio stream related to it.
    int ChooseVideoStream();
    int ChooseAudioStream(int AVideo);
    // The subtitle stream related to the audio stream, else to the video stream.
    int ChooseSubtitleStream(int AAudio, int AVideo);
    bool QueuesFull() const;
    void AtEndOfInput();
    void ReadFailed(int ARet);
    void ExecuteSeek(TEvent& ASeekEvent, TEvent& APictEvent, std::atomic<bool>& ASeeking);
    void SwitchStream();
    void ReadAhead(int AStream);
    void Pausing();
    void Log(TLogLevel ALevel, const std::string& AText) { TheLogger()->Log(FOwner, ALevel, AText); }

private:
    TCustomPlayer* FOwner;
    TVideoState* is;
};

int TReader::OpenInput(std::atomic<int64_t>& ALastRead) {
    TDictionary options;
    const auto& s = is->Settings;
    if (s.frame_width > 0 && s.frame_height > 0 &&
        options.Set("video_size", Format("%dx%d", s.frame_width, s.frame_height).c_str()) < 0) {
        is->ErrMsg = MediaErrorText(is->filename, AVERROR(ENOMEM));
        return -1;
    }
    ALastRead = Now();
    AVFormatContext* ctx = nullptr;
    int r;
    try {
        r = OpenInputFile(&ctx, is->filename, is->iformat, options.Ref());
    } catch (const EFileNameTooLong& e) {
        is->ErrMsg = e.what();
        return -1;
    }
    if (r < 0) {
        is->ErrMsg = MediaErrorText(is->filename, r);
        return r;
    }
    is->ic.reset(ctx);
    if (s.genpts) ctx->flags |= AVFMT_FLAG_GENPTS;
    return 0;
}

int TReader::FindStreamInfo(std::atomic<int64_t>& ALastRead) {
    ALastRead = Now();
    if (avformat.avformat_find_stream_info(is->ic.get(), nullptr) < 0) {
        is->ErrMsg = Format("%s: could not find codec parameters", is->filename);
        return -1;
    }
    AVFormatContext* ic = is->ic.get();
    if (ic->pb) {
        ic->pb->eof_reached = 0;
        ic->pb->error = 0;
    }
    if (is->Settings.seek_by_bytes < 0)
        is->Settings.seek_by_bytes = (ic->iformat->flags & AVFMT_TS_DISCONT) ? 1 : 0;
    const std::string name = ic->iformat->name;
    is->IsImage2 = name == "image2";
    is->IsDevice = name == "vfwcap" || name == "vfwcapture";
    is->StartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    is->Duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
    is->BitRate = ic->bit_rate;
    is->external_clock = is->StartTime / 1000000.0;
    is->external_clock_time = Now();
    return 0;
}

void TReader::SeekToStart(std::atomic<int64_t>& ALastRead) {
    const int64_t start = is->Settings.start_time;
    if (start == kTimeUnset) return;
    AVFormatContext* ic = is->ic.get();
    const int64_t target = start + (ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0);
    ALastRead = Now();
    if (avformat.avformat_seek_file(ic, -1, INT64_MIN, target, INT64_MAX, 0) < 0)
        Log(llError, Format("%s: could not seek to position %0.3f", is->filename, target / 1000000.0));
}

int TReader::ChooseVideoStream() {
    AVFormatContext* ic = is->ic.get();
    for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
    if (is->Settings.disable_video) return -1;
    const int r = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO,
                                               is->Settings.wanted_video_stream, -1, nullptr, 0);
    return r >= 0 ? r : -1;
}

int TReader::ChooseAudioStream(int AVideo) {
    if (is->Settings.disable_audio) return -1;
    const int r = avformat.av_find_best_stream(is->ic.get(), AVMEDIA_TYPE_AUDIO,
                                               is->Settings.wanted_audio_stream, AVideo, nullptr, 0);
    return r >= 0 ? r : -1;
}

int TReader::ChooseSubtitleStream(int AAudio, int AVideo) {
    if (is->Settings.disable_video) return -1;
    const int r = avformat.av_find_best_stream(is->ic.get(), AVMEDIA_TYPE_SUBTITLE,
                                               is->Settings.wanted_subtitle_stream,
                                               AAudio >= 0 ? AAudio : AVideo, nullptr, 0);
    return r >= 0 ? r : -1;
}

bool TReader::QueuesFull() const {
    const int audio = is->audioq.Size(), video = is->videoq.Size(), subtitle = is->subtitleq.Size();
    return audio + video + subtitle > kTotalQueueLimit ||
           ((is->audio_stream < 0 || audio > kAudioQueueTarget) &&
            (is->video_stream < 0 || is->videoq.Count() > kVideoQueueTarget) &&
            (is->subtitle_stream < 0 || is->subtitleq.Count() > kVideoQueueTarget));
}

// The end is reached once the queues are empty, the device has played the last samples (the
// callback has found nothing to play twice in a row after the decoder was drained) and the last
// picture has been shown. Each end counts once, until a seek leaves it.
void TReader::AtEndOfInput() {
    if (is->audioq.Count() == 0 && (is->audio_stream < 0 || is->audio_silent_calls >= 2) &&
        (is->video_stream < 0 || VideoDrained(is)) && is->ReachEOF == 0) {
        ++is->EndCount;  // counted first: the play thread reads it before ReachEOF
        is->ReachEOF = 1;
    }
}

void TReader::ReadFailed(int ARet) {
    AVIOContext* pb = is->ic->pb;
    auto markEnd = [&] {
        if (!is->InputEnded && is->audio_stream >= 0) is->audioq.PutDrain();
        if (!is->InputEnded && is->video_stream >= 0) is->videoq.PutDrain();
        is->InputEnded = true;
        if (!is->IOEOFLog && !is->IsImage2)
            Log(llInfo, Format("reach end of file: %s", is->filename));
        is->IOEOFLog = true;
    };
    if (ARet == AVERROR(EAGAIN)) {
        if (pb) pb->eof_reached = pb->error = 0;
    } else if (ARet == AVERROR_EOF) {
        markEnd();
    } else if (pb && pb->error == AVERROR(EAGAIN)) {
        pb->eof_reached = pb->error = 0;
    } else if (pb && avformat.avio_feof(pb)) {
        if (is->Settings.check_ioeof)
            markEnd();
        else
            pb->eof_reached = pb->error = 0;
    } else if (!is->IOERRLog && !is->IsImage2) {
        Log(llError, Format("error #%d while reading file: %s", ARet, is->filename));
        is->IOERRLog = true;
    }
}

void TReader::ExecuteSeek(TEvent& ASeekEvent, TEvent& APictEvent, std::atomic<bool>& ASeeking) {
    AVFormatContext* ic = is->ic.get();
    const int64_t target = is->seek_pos, rel = is->seek_rel;
    const int flags = is->seek_flags;
    const int64_t lower = rel > 0 ? target - rel + 2 : INT64_MIN;
    const int64_t upper = rel < 0 ? target - rel - 2 : INT64_MAX;
    int r = avformat.avformat_seek_file(ic, -1, lower, target, upper, flags);
    if (r < 0) r = avformat.av_seek_frame(ic, -1, target, flags);
    if (r < 0) r = avformat.av_seek_frame(ic, -1, target, flags ^ AVSEEK_FLAG_BACKWARD);
    const bool video = is->video_stream >= 0;
    if (r < 0) {
        Log(llError, Format("%s: error while seeking", is->filename));
        if (video) APictEvent.SetEvent();
    } else {
        if (is->audio_stream >= 0) is->audioq.FlushAndMark();
        if (is->subtitle_stream >= 0) {
            is->subtitleq.FlushAndMark();
            WakeSubtitleQueue(is);
        }
        if (video) {
            APictEvent.ResetEvent();
            is->videoq.FlushAndMark();
            WakePictureQueue(is);  // a picture waiting for room is of before the seek
            is->show_next = true;  // also while paused, the target's picture is shown
        }
    }
    is->IOEOFLog = is->IOERRLog = false;
    is->ReachEOF = 0;
    is->InputEnded = false;
    is->audio_silent_calls = 0;
    std::lock_guard lock(is->seek_lock);
    is->seek_req = 0;
    ASeekEvent.SetEvent();
    // With pictures the seek is complete once the first new one is queued.
    if (!video || r < 0) ASeeking = false;
}

// The new stream continues where the playback is: a seek back to that position re-reads the
// packets of a new audio or video stream that were skipped while the old one was played.
void TReader::SwitchStream() {
    const int type = is->switch_type, target = is->switch_to;
    is->switch_result = StreamCheck(is->ic.get(), type, target);
    if (is->switch_result == scOK && type == AVMEDIA_TYPE_SUBTITLE) {
        CloseSubtitleComponent(is);
        if (target >= 0) OpenSubtitleComponent(is, target);
    } else if (is->switch_result == scOK) {
        const int64_t position = std::llrint(MasterClockOf(is) * 1000000);
        if (type == AVMEDIA_TYPE_AUDIO) {
            CloseAudioComponent(is);
            is->audioq.FlushAndMark();
            OpenAudioComponent(is, target, *is->sdl);
        } else {
            CloseVideoComponent(is);
            OpenVideoComponent(is, target);
            is->show_next = true;
        }
        std::lock_guard lock(is->seek_lock);
        if (!is->seek_req) {
            is->seek_pos = position;
            is->seek_rel = 0;
            is->seek_flags = AVSEEK_FLAG_BACKWARD;
            is->seek_req = 1;
        }
    }
    is->switch_type = -1;
}

// Queues the stream's first packet before the device opens, so its first callback has sound
// (pictures read on the way are queued too). A failed read is left to the reading loop.
void TReader::ReadAhead(int AStream) {
    AVFormatContext* ic = is->ic.get();
    ic->streams[AStream]->discard = AVDISCARD_DEFAULT;
    TPacketPtr pkt(avcodec.av_packet_alloc());
    while (pkt && !is->abort_request) {
        is->Reading = 1;
        const int r = avformat.av_read_frame(ic, pkt.get());
        is->Reading = 0;
        if (r < 0) return;
        const bool ours = pkt->stream_index == AStream;
        if (ours) is->audioq.Put(pkt.get());
        else if (pkt->stream_index == is->video_stream) is->videoq.Put(pkt.get());
        else if (pkt->stream_index == is->subtitle_stream) is->subtitleq.Put(pkt.get());
        avcodec.av_packet_unref(pkt.get());
        if (ours) return;
    }
}

void TReader::Pausing() {
    if (is->paused == is->last_paused) return;
    is->last_paused = is->paused;
    if (is->last_paused)
        is->read_pause_return = avformat.av_read_pause(is->ic.get());
    else
        avformat.av_read_play(is->ic.get());
}

}  // namespace

// The reading thread's steps in order. TimeoutCheck guards the open; AbortCheck the playback.
void TCustomPlayer::ReadLoop(TVideoState* is) {
    const uint32_t tid = CurrentThreadID();
    FLastRead = kDisarmed;
    GlobalInterruptCB.Add(tid, this, TimeoutCheck);  // 1
    int audio = -1, video = -1, subtitle = -1;
    const bool opened = OpenReadInput(is, audio, video, subtitle);  // 2 to 6
    FLastRead = kDisarmed;  // 7
    GlobalInterruptCB.Remove(tid, this, TimeoutCheck);
    FVideoStateCB = is;
    GlobalInterruptCB.Add(tid, this, AbortCheck);
    if (opened && OpenReadStreams(is, audio, video, subtitle)) {  // 8, 9
        is->Opened = 1;
        ReadPackets(is);  // 10, 11
    }
    CloseReadInput(is);  // 12
}

// 2 to 6. Opens and probes the input, seeks to the start and chooses the streams (-1 none);
// false with the state's ErrMsg. Each blocking step runs under the read time-out.
bool TCustomPlayer::OpenReadInput(TVideoState* is, int& AAudio, int& AVideo, int& ASubtitle) {
    TReader reader(this, is);
    bool opened = reader.OpenInput(FLastRead) == 0;
    LogTimeout();
    if (!opened) return false;
    try {
        if (auto handler = Handler(FOnBeforeFindStreamInfo)) handler(this, is->ic.get());
    } catch (const std::exception& e) {
        TheLogger()->Log(this, llError, std::string("Error occurs OnBeforeFindStreamInfo: ") + e.what());
    }
    opened = reader.FindStreamInfo(FLastRead) == 0;
    LogTimeout();
    if (!opened) return false;
    reader.SeekToStart(FLastRead);
    LogTimeout();
    AVideo = reader.ChooseVideoStream();
    AAudio = reader.ChooseAudioStream(AVideo);
    ASubtitle = reader.ChooseSubtitleStream(AAudio, AVideo);
    return true;
}

// 8, 9. The chosen streams' decoders and consumers (audio last, its queue primed with the first
// packet); false with the state's ErrMsg when neither audio nor video plays.
bool TCustomPlayer::OpenReadStreams(TVideoState* is, int AAudio, int AVideo, int ASubtitle) {
    if (AVideo >= 0) OpenVideoComponent(is, AVideo);
    if (ASubtitle >= 0) OpenSubtitleComponent(is, ASubtitle);
    if (AAudio >= 0) {
        is->audioq.FlushAndMark();
        TReader(this, is).ReadAhead(AAudio);
        OpenAudioComponent(is, AAudio, FSDL);
    }
    if (is->audio_stream >= 0 || is->video_stream >= 0) return true;
    is->ErrMsg = Format("%s: could not open codecs, no stream to play.", is->filename);
    return false;
}

// 10, 11. Once the player lets reading start: keeps the queues filled, executing seeks, pauses
// and stream switches, until the playback ends or (with CheckIOERR) an I/O error; then idles
// until the playback ends.
void TCustomPlayer::ReadPackets(TVideoState* is) {
    TReader reader(this, is);
    while (!is->abort_request && !is->StartReading.WaitFor(5ms)) {
    }
    TPacketPtr pkt(avcodec.av_packet_alloc());
    while (pkt && !is->abort_request) {
        if (is->switch_type >= 0) reader.SwitchStream();
        reader.Pausing();
        if (is->seek_req) reader.ExecuteSeek(FSeekEvent, FPictEvent, FSeeking);
        if (reader.QueuesFull()) {
            Nap(is, 10ms);
            continue;
        }
        if (is->InputEnded) {
            if (is->video_stream >= 0) FPictEvent.SetEvent();
            Nap(is, 10ms);
            reader.AtEndOfInput();
            continue;
        }
        is->Reading = 1;
        const int ret = avformat.av_read_frame(is->ic.get(), pkt.get());
        is->Reading = 0;
        if (is->abort_request) break;
        if (ret < 0) {
            if (is->video_stream >= 0) FPictEvent.SetEvent();
            reader.ReadFailed(ret);
            AVIOContext* pb = is->ic->pb;
            if (pb && pb->error) {
                if (is->Settings.check_ioerr) break;
                pb->eof_reached = pb->error = 0;
            }
            Nap(is, 100ms);
            continue;
        }
        if (pkt->pos >= 0) is->BytePos = pkt->pos;
        if (pkt->stream_index == is->audio_stream)
            is->audioq.Put(pkt.get());
        else if (pkt->stream_index == is->video_stream)
            is->videoq.Put(pkt.get());
        else if (pkt->stream_index == is->subtitle_stream)
            is->subtitleq.Put(pkt.get());
        avcodec.av_packet_unref(pkt.get());
    }
    while (!is->abort_request) {  // after an I/O error: idle until the playback ends
        if (is->switch_type >= 0) reader.SwitchStream();
        Nap(is, 10ms);
    }
}

// 12. Removes the interrupt methods, closes the streams and the input (the probe lets go of the
// context on the main thread first) and settles Opened.
void TCustomPlayer::CloseReadInput(TVideoState* is) {
    const uint32_t tid = CurrentThreadID();
    if (is->Opened != 1) is->Opened = -1;
    FLastRead = kDisarmed;
    GlobalInterruptCB.Remove(tid, this, TimeoutCheck);
    GlobalInterruptCB.Remove(tid, this, AbortCheck);
    FVideoStateCB = nullptr;
    CloseAudioComponent(is);
    CloseVideoComponent(is);
    CloseSubtitleComponent(is);
    if (is->Opened == 1 && is->ic)
        Synchronize([this, is] {
            if (FDecoder.FileHandle() == is->ic.get()) FDecoder.SetFileHandle(nullptr);
        });
    is->ic.reset();
    if (is->Opened == -1) is->Opened = -2;
}

TCodecContextPtr OpenStreamDecoder(const TVideoState* is, AVStream* AStream, bool ASettings) {
    const AVCodec* codec = avcodec.avcodec_find_decoder(AStream->codecpar->codec_id);
    TCodecContextPtr dec(codec ? avcodec.avcodec_alloc_context3(codec) : nullptr);
    if (!dec || avcodec.avcodec_parameters_to_context(dec.get(), AStream->codecpar) < 0)
        return nullptr;
    dec->pkt_timebase = AStream->time_base;
    if (ASettings) {
        const TOpenSettings& s = is->Settings;
        dec->workaround_bugs = s.workaround_bugs;
        dec->lowres = std::min(s.lowres, int{codec->max_lowres});
        dec->idct_algo = s.idct_algo;
        dec->error_concealment = s.error_concealment;
        if (s.fast) dec->flags2 |= AV_CODEC_FLAG2_FAST;
        dec->thread_count = 1;
    }
    TCodecLockGuard lock;
    if (avcodec.avcodec_open2(dec.get(), codec, nullptr) < 0) dec.reset();
    return dec;
}
