// Verification of a run's outputs: the source's samples counted and hashed as the run hands them
// to each audio encoder, and each complete output decoded back with our own media layer before
// it takes its name. Runs on the thread that runs the task.
#include "OutputVerify.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <type_traits>

#include "FFLoad.h"
#include "FFLog.h"
#include "FFUtils.h"
#include "FFmpegRun.h"
#include "Format.h"
#include "Platform.h"
#include "UnicodeProtocol.h"

namespace fs = std::filesystem;

// ---- hashes ----------------------------------------------------------------------------------

int TSampleHasher::Kind(AVSampleFormat AFormat) {
    switch (avutil.av_get_packed_sample_fmt(AFormat)) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S32: return 1;
        case AV_SAMPLE_FMT_S64: return 2;
        case AV_SAMPLE_FMT_FLT: return 3;
        case AV_SAMPLE_FMT_DBL: return 4;
        default: return 0;
    }
}

namespace {
constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t kSeeds[4] = {0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL,
                                0x082EFA98EC4E6C89ULL};

inline uint64_t Rotl(uint64_t AValue, int ABits) {
    return (AValue << ABits) | (AValue >> (64 - ABits));
}

// One lane's step: the rotation carries what the multiplication moved up back down, so a change
// in any bit of a word reaches every bit of the lane.
inline uint64_t Step(uint64_t ALane, uint64_t AWord) {
    return Rotl(ALane ^ AWord, 31) * kMultiplier;
}

// Stores a canonical value: one 32-bit value, or the two halves of a 64-bit one.
template <int AWidth>
inline void Store(uint32_t* AOut, uint64_t AValue) {
    AOut[0] = uint32_t(AValue);
    if constexpr (AWidth == 2) AOut[1] = uint32_t(AValue >> 32);
}

// Frames [AOffset, AOffset + ACount) of AFrame as canonical values through AValue, interleaved,
// AWidth 32-bit values per sample. Packed samples go in runs of eight, which the compiler turns
// into vector instructions.
template <typename T, int AWidth, typename TValue>
void Canonical(const AVFrame* AFrame, int AOffset, int ACount, int AChannels, uint32_t* __restrict AOut,
               TValue AValue) {
    if (avutil.av_sample_fmt_is_planar(static_cast<AVSampleFormat>(AFrame->format))) {
        const int stride = AChannels * AWidth;
        for (int c = 0; c < AChannels; ++c) {
            const T* __restrict s = reinterpret_cast<const T*>(AFrame->extended_data[c]) + AOffset;
            uint32_t* o = AOut + c * AWidth;
            for (int i = 0; i < ACount; ++i, o += stride) Store<AWidth>(o, AValue(s[i]));
        }
        return;
    }
    const T* __restrict s = reinterpret_cast<const T*>(AFrame->extended_data[0]) + int64_t(AOffset) * AChannels;
    const int64_t n = int64_t(ACount) * AChannels;
    int64_t j = 0;
    for (; j + 8 <= n; j += 8)
        for (int k = 0; k < 8; ++k) Store<AWidth>(AOut + (j + k) * AWidth, AValue(s[j + k]));
    for (; j < n; ++j) Store<AWidth>(AOut + j * AWidth, AValue(s[j]));
}

template <typename T>
uint64_t Bits(T AValue) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t> b;
    std::memcpy(&b, &AValue, sizeof b);
    return b;
}
}  // namespace

void TSampleHasher::ResetLanes() {
    for (int l = 0; l < kLanes; ++l) FLanes[l] = kSeeds[l & 3] + uint64_t(l) * kMultiplier;
}

void TSampleHasher::MixWord(uint64_t AWord) {
    uint64_t& lane = FLanes[FWords % kLanes];
    lane = Step(lane, AWord);
    ++FWords;
}

void TSampleHasher::Mix(const uint32_t* AValues, size_t ACount) {
    size_t i = 0;
    if (FHasPending && ACount > 0) {
        MixWord(FPending | uint64_t(AValues[0]) << 32);
        FHasPending = false;
        i = 1;
    }
    // The lanes take the words in turn, continuing where the last call stopped.
    for (; i + 2 <= ACount && FWords % kLanes; i += 2) MixWord(AValues[i] | uint64_t(AValues[i + 1]) << 32);
    uint64_t l[kLanes];
    std::memcpy(l, FLanes, sizeof l);
    for (; i + 2 * kLanes <= ACount; i += 2 * kLanes, FWords += kLanes)
        for (int k = 0; k < kLanes; ++k)
            l[k] = Step(l[k], AValues[i + 2 * k] | uint64_t(AValues[i + 2 * k + 1]) << 32);
    std::memcpy(FLanes, l, sizeof l);
    for (; i + 2 <= ACount; i += 2) MixWord(AValues[i] | uint64_t(AValues[i + 1]) << 32);
    if (i < ACount) {
        FPending = AValues[i];
        FHasPending = true;
    }
}

void TSampleHasher::CloseBlock() {
    if (FHasPending) MixWord(FPending);
    uint64_t h = FWords * 2 - (FHasPending ? 1 : 0);  // the values the block holds
    for (int l = 0; l < kLanes; ++l) {
        h = (h ^ Rotl(FLanes[l], 7 * l + 5)) * kMultiplier;
        h ^= h >> 29;
    }
    FBlocks.push_back(h);
    ResetLanes();
    FWords = 0;
    FHasPending = false;
    FInBlock = 0;
}

void TSampleHasher::Finish() {
    if (FInBlock > 0) CloseBlock();
}

void TSampleHasher::Add(const AVFrame* AFrame, int AOffset, int ACount) {
    const AVSampleFormat packed =
        avutil.av_get_packed_sample_fmt(static_cast<AVSampleFormat>(AFrame->format));
    const int channels = AFrame->ch_layout.nb_channels;
    const int kind = Kind(packed);
    if (kind == 0 || channels <= 0) return;
    const size_t width = kind == 2 || kind == 4 ? 2 : 1;
    while (ACount > 0) {
        const int n = std::min(ACount, kVerifyBlockFrames - FInBlock);
        FBuffer.resize(size_t(n) * size_t(channels) * width);
        uint32_t* out = FBuffer.data();
        switch (packed) {
            case AV_SAMPLE_FMT_U8:
                Canonical<uint8_t, 1>(AFrame, AOffset, n, channels, out,
                                      [](uint8_t v) { return uint64_t(uint32_t(int32_t(v) - 128) << 24); });
                break;
            case AV_SAMPLE_FMT_S16:
                Canonical<int16_t, 1>(AFrame, AOffset, n, channels, out,
                                      [](int16_t v) { return uint64_t(uint32_t(int32_t(v)) << 16); });
                break;
            case AV_SAMPLE_FMT_S32:
                Canonical<int32_t, 1>(AFrame, AOffset, n, channels, out,
                                      [](int32_t v) { return uint64_t(uint32_t(v)); });
                break;
            case AV_SAMPLE_FMT_S64:
                Canonical<int64_t, 2>(AFrame, AOffset, n, channels, out, [](int64_t v) { return uint64_t(v); });
                break;
            case AV_SAMPLE_FMT_FLT: Canonical<float, 1>(AFrame, AOffset, n, channels, out, Bits<float>); break;
            default: Canonical<double, 2>(AFrame, AOffset, n, channels, out, Bits<double>); break;
        }
        Mix(out, FBuffer.size());
        FInBlock += n;
        AOffset += n;
        ACount -= n;
        if (FInBlock == kVerifyBlockFrames) CloseBlock();
    }
}

void TSampleHasher::AddSilence(int64_t AFrames, int AChannels, AVSampleFormat AFormat) {
    const int kind = Kind(AFormat);
    const size_t width = kind == 2 || kind == 4 ? 2 : 1;
    while (AFrames > 0 && AChannels > 0) {
        const int n = static_cast<int>(std::min<int64_t>(AFrames, kVerifyBlockFrames - FInBlock));
        FBuffer.assign(size_t(n) * size_t(AChannels) * width, 0);
        Mix(FBuffer.data(), FBuffer.size());
        FInBlock += n;
        AFrames -= n;
        if (FInBlock == kVerifyBlockFrames) CloseBlock();
    }
}

void TSourceTrack::Add(const AVFrame* AFrame, int AOffset, int ACount, int AEncoderRate,
                       int ADepth) {
    const AVSampleFormat fmt =
        avutil.av_get_packed_sample_fmt(static_cast<AVSampleFormat>(AFrame->format));
    const int channels = AFrame->ch_layout.nb_channels;
    if (!Started) {
        Started = true;
        Format = fmt;
        Rate = AFrame->sample_rate;
        Channels = channels;
        Depth = ADepth;
    } else if (fmt != Format || AFrame->sample_rate != Rate || channels != Channels ||
               ADepth != Depth) {
        Uniform = false;
        ++Changes;
        Format = fmt;
        Rate = AFrame->sample_rate;
        Channels = channels;
        Depth = ADepth;
    }
    Expected += double(ACount) * AEncoderRate / AFrame->sample_rate;
    SourceSamples += ACount;
    if (Uniform && TSampleHasher::Kind(fmt)) Hasher.Add(AFrame, AOffset, ACount);
}

void TSourceTrack::AddSilence(int64_t ASamples, int AChannels) {
    Silence = true;
    Expected += double(ASamples);
    if (Uniform && Started && AChannels == Channels) Hasher.AddSilence(ASamples, AChannels, Format);
    else Uniform = false;
}

int SampleDepth(int ARawBits, AVSampleFormat AFormat) {
    const int bits = avutil.av_get_bytes_per_sample(AFormat) * 8;
    return ARawBits > 0 && ARawBits < bits ? ARawBits : bits;
}

int64_t VerifyLengthTolerance(AVCodecID AId, int AResampledParts) {
    // The resampler's flush at a part's end may round its last output sample either way.
    const int64_t resampling = 2 * int64_t(AResampledParts);
    // WavPack may be lossy (hybrid), but the library's encoder writes lossless streams only.
    const AVCodecDescriptor* d = avcodec.avcodec_descriptor_get(AId);
    if (d && (d->props & AV_CODEC_PROP_LOSSLESS) &&
        (!(d->props & AV_CODEC_PROP_LOSSY) || AId == AV_CODEC_ID_WAVPACK))
        return resampling;  // PCM, FLAC, ALAC, WavPack, TTA ...: every sample, none added
    switch (AId) {
        case AV_CODEC_ID_MP3: return 1152 + 1105 + resampling;   // frame; encoder + decoder delay
        case AV_CODEC_ID_MP2: return 1152 + 481 + resampling;    // frame; decoder delay
        case AV_CODEC_ID_AAC: return 1024 + 1024 + resampling;   // frame; priming
        case AV_CODEC_ID_OPUS: return 960 + 312 + resampling;    // 20 ms frame; pre-skip
        case AV_CODEC_ID_VORBIS: return 2048 + resampling;       // long block
        case AV_CODEC_ID_AC3:
        case AV_CODEC_ID_EAC3: return 1536 + 256 + resampling;  // frame; delay
        default: return 4096 + resampling;                       // any other lossy codec
    }
}

// ---- the run's side --------------------------------------------------------------------------

namespace {
// Tests only: AFile cut to ACut of its bytes, the byte at AFlip of it inverted (each when
// between 0 and 1).
void DamageForTest(const std::string& AFile, double ACut, double AFlip) {
    std::error_code ec;
    const fs::path path = Utf8ToPath(AFile);
    if (ACut > 0 && ACut < 1) {
        const uintmax_t size = fs::file_size(path, ec);
        if (!ec) fs::resize_file(path, static_cast<uintmax_t>(double(size) * ACut), ec);
    }
    if (AFlip > 0 && AFlip < 1) {
        const uintmax_t size = fs::file_size(path, ec);
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        if (ec || !f) return;
        f.seekg(static_cast<std::streamoff>(double(size) * AFlip));
        const int c = f.get();
        if (c == EOF) return;
        f.seekp(static_cast<std::streamoff>(double(size) * AFlip));
        f.put(static_cast<char>(~c));
    }
}
}  // namespace

void TCustomFFmpeg::SetVerify(bool AOn, double ATestCut, double ATestFlip) {
    FVerify = AOn;
    FVerifyTestCut = ATestCut;
    FVerifyTestFlip = ATestFlip;
    FVerified = vrNone;
}

void TCustomFFmpeg::TrackSourceSamples(TAVOutputStream& AOst, const AVFrame* AFrame, int AOffset,
                                       int ACount) {
    TStreamCoder& c = *AOst.coder;
    if (!c.verify) c.verify = std::make_shared<TSourceTrack>();
    const TAVInputStream& ist = FRun->ist[AOst.source_index];
    const int raw = ist.dec ? ist.dec->bits_per_raw_sample : 0;
    c.verify->Add(AFrame, AOffset, ACount, c.enc->sample_rate,
                  SampleDepth(raw, static_cast<AVSampleFormat>(AFrame->format)));
}

void TCustomFFmpeg::TrackSilence(TAVOutputStream& AOst, int64_t ASamples) {
    TStreamCoder& c = *AOst.coder;
    if (!c.verify) c.verify = std::make_shared<TSourceTrack>();
    c.verify->AddSilence(ASamples, c.enc->ch_layout.nb_channels);
}

void TCustomFFmpeg::VerifyOutputs() {
    FVerified = vrNone;
    if (!FVerify) return;
    TVerifyResult result = vrBitExact;
    bool verified = false;
    for (const TAVOutputFile& out : FOutputFiles) {
        if (out.group != 0 || !out.writes_file) continue;
        const std::string file = out.working_name.empty() ? out.file_name : out.working_name;
        DamageForTest(file, FVerifyTestCut, FVerifyTestFlip);
        for (const TAVOutputStream& os : out.streams) {
            if (os.st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
            const TVerifyResult r = VerifyOutputStream(out, os, file);
            if (FBroken) return;  // stopped: the run does not finish
            result = std::min(result, r);
            verified = true;
        }
    }
    FVerified = verified ? result : vrNone;
}

namespace {

// A failed check: what failed, for the message naming the output.
struct TVerifyFailure {
    std::string What;
};
[[noreturn]] void Fail(const std::string& AWhat) { throw TVerifyFailure{AWhat}; }

// The output's audio stream AIndex of AFile opened for decoding; damage is an error there, not
// concealed.
struct TVerifyInput {
    TInputContextPtr Input;
    TLockedDecoder Decoder;
    const AVStream* Stream = nullptr;
};

void OpenForVerify(const std::string& AFile, int AIndex, TVerifyInput& AIn) {
    AVFormatContext* raw = nullptr;
    int ret = OpenInputFile(&raw, AFile, nullptr, nullptr, 0);
    if (ret < 0) Fail("the output does not open (" + ErrorCodeText(ret) + ")");
    AIn.Input.reset(raw);
    ret = avformat.avformat_find_stream_info(raw, nullptr);
    if (ret < 0) Fail("its streams cannot be read (" + ErrorCodeText(ret) + ")");
    if (AIndex >= int(raw->nb_streams) || raw->streams[AIndex]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        Fail(Format("it has no audio stream #%d", AIndex));
    AIn.Stream = raw->streams[AIndex];
    const AVCodec* codec = avcodec.avcodec_find_decoder(AIn.Stream->codecpar->codec_id);
    if (!codec) Fail(Format("no decoder for codec id %d", int(AIn.Stream->codecpar->codec_id)));
    AIn.Decoder.Context.reset(avcodec.avcodec_alloc_context3(codec));
    AVCodecContext* dec = AIn.Decoder.Context.get();
    if (!dec) throw FFmpegException("av_mallocz fail");
    CheckAV(avcodec.avcodec_parameters_to_context(dec, AIn.Stream->codecpar), "avcodec_parameters_to_context");
    dec->err_recognition |= AV_EF_CRCCHECK | AV_EF_EXPLODE;
    {
        TCodecLockGuard lock;
        ret = avcodec.avcodec_open2(dec, codec, nullptr);
    }
    if (ret < 0) Fail("its decoder does not open (" + ErrorCodeText(ret) + ")");
}

// What decoding the whole stream gave.
struct TVerifyDecoded {
    int64_t Samples = 0;
    int Channels = 0, Rate = 0;
    AVSampleFormat Format = AV_SAMPLE_FMT_NONE;
    bool Changed = false;  // the format changed within the stream
    TSampleHasher Hasher;
};

// Decodes every packet of AIn's stream into AOut, hashing the samples when AHash. AGoOn (after
// the pause gate) false stops it: false. AReport gets the samples and rate decoded so far.
bool DecodeForVerify(TVerifyInput& AIn, bool AHash, const std::function<bool()>& AGoOn,
                     const std::function<void(int64_t, int)>& AReport, TVerifyDecoded& AOut) {
    AVFormatContext* ic = AIn.Input.get();
    AVCodecContext* dec = AIn.Decoder.Context.get();
    const int index = AIn.Stream->index;
    TPacketPtr pkt(avcodec.av_packet_alloc());
    TFramePtr frame(avutil.av_frame_alloc());
    if (!pkt || !frame) throw FFmpegException("av_mallocz fail");
    int64_t time = 0;  // microseconds: of the last packet read
    auto decodeError = [&](int ARet) {
        Fail(Format("decode error at %s (%s)", DurationText(time), ErrorCodeText(ARet)));
    };
    for (bool eof = false; !eof;) {
        if (!AGoOn()) return false;
        int ret = avformat.av_read_frame(ic, pkt.get());
        if (ret == AVERROR_EOF) {
            eof = true;
            ret = avcodec.avcodec_send_packet(dec, nullptr);
        } else if (ret < 0) {
            Fail(Format("read error at %s (%s)", DurationText(time), ErrorCodeText(ret)));
        } else {
            if (pkt->stream_index != index) {
                avcodec.av_packet_unref(pkt.get());
                continue;
            }
            if (pkt->pts != kNoPTS)
                time = avutil.av_rescale_q(pkt->pts, AIn.Stream->time_base, AVRational{1, AV_TIME_BASE});
            // Every frame is taken after each send: a refusal is a damaged packet.
            ret = avcodec.avcodec_send_packet(dec, pkt.get());
            avcodec.av_packet_unref(pkt.get());
        }
        if (ret < 0 && ret != AVERROR_EOF) decodeError(ret);
        for (;;) {
            ret = avcodec.avcodec_receive_frame(dec, frame.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
            if (ret < 0) decodeError(ret);
            struct TUnref {
                AVFrame* f;
                ~TUnref() { avutil.av_frame_unref(f); }
            } unref{frame.get()};
            const AVSampleFormat f = static_cast<AVSampleFormat>(frame->format);
            if (AOut.Samples == 0 && AOut.Format == AV_SAMPLE_FMT_NONE) {
                AOut.Channels = frame->ch_layout.nb_channels;
                AOut.Rate = frame->sample_rate;
                AOut.Format = f;
            } else if (AOut.Channels != frame->ch_layout.nb_channels || AOut.Rate != frame->sample_rate ||
                       AOut.Format != f) {
                AOut.Changed = true;
            }
            if (AHash && !AOut.Changed) AOut.Hasher.Add(frame.get(), 0, frame->nb_samples);
            AOut.Samples += frame->nb_samples;
        }
        AReport(AOut.Samples, AOut.Rate);
    }
    return true;
}

// The decoded stream has sound, one format, and the channels and rate the encoder took.
void CheckVerifiedFormat(const TVerifyDecoded& AGot, const AVCodecParameters* AWant) {
    if (AGot.Samples == 0) Fail("no audio decodes");
    if (AGot.Changed) Fail("its format changes within the stream");
    if (AGot.Channels != AWant->ch_layout.nb_channels)
        Fail(Format("%d channels decoded, the profile's are %d", AGot.Channels, AWant->ch_layout.nb_channels));
    if (AGot.Rate != AWant->sample_rate)
        Fail(Format("sample rate %d Hz decoded, the profile's is %d Hz", AGot.Rate, AWant->sample_rate));
}

// ADecoded samples against AExpected within the codec's tolerance (AParts resampled parts).
void CheckVerifiedLength(int64_t ADecoded, int64_t AExpected, AVCodecID ACodec, int AParts) {
    const int64_t tolerance = VerifyLengthTolerance(ACodec, AParts);
    const int64_t diff = ADecoded - AExpected;
    if (diff < -tolerance || diff > tolerance)
        Fail(Format("length %s by %lld samples (%lld decoded, %lld expected, %lld allowed)",
                    diff < 0 ? "short" : "long", static_cast<long long>(std::llabs(diff)),
                    static_cast<long long>(ADecoded), static_cast<long long>(AExpected),
                    static_cast<long long>(tolerance)));
}

// The output's sample blocks against the source's.
void CompareVerifiedSamples(TSampleHasher& AOutput, TSampleHasher& ASource) {
    AOutput.Finish();
    ASource.Finish();
    const std::vector<uint64_t>& a = AOutput.Blocks();
    const std::vector<uint64_t>& b = ASource.Blocks();
    const auto m = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (m.first != a.end() || m.second != b.end())
        Fail(Format("sample mismatch at sample %lld (within the %d samples from there)",
                    static_cast<long long>(int64_t(m.first - a.begin()) * kVerifyBlockFrames), kVerifyBlockFrames));
}

}  // namespace

// Decodes the output's stream AOst completely and checks it: it opens and decodes, its format,
// the trim range, its length, and for a lossless copy of the source its samples. Raises
// FFmpegException naming what failed; a stop request ends it early (vrNone).
TVerifyResult TCustomFFmpeg::VerifyOutputStream(const TAVOutputFile& AOut, const TAVOutputStream& AOst,
                                                const std::string& AFile) {
    const std::string& name = AOut.file_name;
    const AVCodecParameters* want = AOst.st->codecpar;  // as the encoder took the profile's values
    TSourceTrack* track = AOst.coder ? AOst.coder->verify.get() : nullptr;
    const int64_t expected = track ? llrint(track->Expected) : -1;
    try {
        TVerifyInput in;
        OpenForVerify(AFile, AOst.index, in);
        const bool lossless = VerifyLengthTolerance(want->codec_id, 0) == 0;
        const bool hash = track && track->Uniform && lossless && TSampleHasher::Kind(track->Format);
        TVerifyDecoded got;
        int64_t reported = -1;  // when the verifying phase last gave progress (microseconds)
        ReportVerifying(expected, want->sample_rate, 0, 0, reported);
        if (!DecodeForVerify(in, hash, [this] { PassPauseGate(); return !FBroken; },
                             [&](int64_t ASamples, int ARate) { ReportVerifying(expected, want->sample_rate, ASamples, ARate, reported); },
                             got))
            return vrNone;
        CheckVerifiedFormat(got, want);
        if (!track) {  // a copied stream: it decodes, in its format
            TheLogger()->Log(this, llInfo, Format("%s: verified length.", name));
            return vrLength;
        }
        CheckVerifiedTrimRange(AOst, *track);
        // Every part of the source at another rate than the output's went through the resampler.
        const int parts = track->Uniform ? (track->Rate != got.Rate ? 1 : 0) : track->Changes + 1;
        CheckVerifiedLength(got.Samples, expected, want->codec_id, parts);
        // Bit for bit: the same samples, rate, channels, format and depth, nothing scaled.
        const TOptionState& o = FOptions;
        const bool comparable =
            hash && track->Rate == got.Rate && track->Channels == got.Channels &&
            track->Format == avutil.av_get_packed_sample_fmt(got.Format) &&
            track->Depth == SampleDepth(in.Decoder.Context->bits_per_raw_sample, got.Format) &&
            o.audio_volume == 256 && FAudioGain == 1.0 && o.audio_sync_method <= 1;
        if (!comparable) {
            TheLogger()->Log(this, llInfo,
                             Format("%s: verified length (%lld samples).", name, static_cast<long long>(got.Samples)));
            return vrLength;
        }
        CompareVerifiedSamples(got.Hasher, track->Hasher);
        TheLogger()->Log(this, llInfo,
                         Format("%s: verified bit-exact (%lld samples).", name, static_cast<long long>(got.Samples)));
        return vrBitExact;
    } catch (const TVerifyFailure& e) {
        const std::string msg = Format("%s: verification failed: %s.", name, e.What);
        TheLogger()->Log(this, llError, msg);
        throw FFmpegException(msg);
    }
}

// The trim range: a source read past its end gave exactly the range (to one sample).
void TCustomFFmpeg::CheckVerifiedTrimRange(const TAVOutputStream& AOst, const TSourceTrack& ATrack) const {
    const TOptionState& o = FOptions;
    const TAVInputStream& ist = FRun->ist[AOst.source_index];
    if (FJoinMode || o.recording_time == INT64_MAX || !ist.is_past_recording_time || !ATrack.Uniform ||
        ATrack.Rate <= 0)
        return;
    const int64_t range = llrint(double(o.recording_time) * ATrack.Rate / AV_TIME_BASE);
    const int64_t off = ATrack.SourceSamples - range;
    if (off < -1 || off > 1)
        Fail(Format("length %s by %lld samples of the trim range (%lld given, %lld in the range)",
                    off < 0 ? "short" : "long", static_cast<long long>(std::llabs(off)),
                    static_cast<long long>(ATrack.SourceSamples), static_cast<long long>(range)));
}

// A progress notice of the verifying phase: the first at once (ALast below 0), then every
// ReportInterval after ALast.
void TCustomFFmpeg::ReportVerifying(int64_t AExpected, int AWantRate, int64_t ASamples, int ARate, int64_t& ALast) {
    if (!OnProgress) return;
    const int64_t now = NowMicroseconds();
    if (ALast >= 0 && now - ALast < ReportInterval) return;
    ALast = now;
    TTranscodeProgress p;
    p.FileIndex = -1;
    p.Verifying = true;
    p.TotalDuration = AExpected > 0 && AWantRate > 0 ? AExpected * AV_TIME_BASE / AWantRate : FTotalOutputDuration;
    p.CurrentDuration = ARate > 0 ? ASamples * AV_TIME_BASE / ARate : 0;
    OnProgress(p);
}
