// Cover art: a source's attached picture goes into outputs whose container can hold one, each in
// its container's own way; other outputs keep only the audio. Runs on the thread of the run,
// before and just after the outputs' headers are written.
#include <cstring>
#include <string>

#include "FFLoad.h"
#include "FFmpegRun.h"

namespace {

// The picture formats carried, with their MIME types.
const char* CoverMime(AVCodecID AId) {
    switch (AId) {
        case AV_CODEC_ID_MJPEG: return "image/jpeg";
        case AV_CODEC_ID_PNG: return "image/png";
        case AV_CODEC_ID_BMP: return "image/bmp";
        default: return nullptr;
    }
}

const char* CoverFileExt(AVCodecID AId) {
    return AId == AV_CODEC_ID_MJPEG ? ".jpg" : AId == AV_CODEC_ID_PNG ? ".png" : ".bmp";
}

// How a muxer holds a picture: as a picture stream with one packet (ID3v2 APIC, FLAC PICTURE,
// MP4 covr), as a file attachment (Matroska), or as a METADATA_BLOCK_PICTURE comment (Ogg).
enum TCoverWay { cwNone, cwPictureStream, cwAttachment, cwComment };

TCoverWay CoverWay(const AVOutputFormat* AFormat) {
    const std::string name = AFormat->name;
    if (name == "mp3" || name == "flac" || name == "ipod" || name == "mp4" || name == "mov")
        return cwPictureStream;
    if (name == "matroska") return cwAttachment;
    if (name == "ogg" || name == "oga" || name == "opus") return cwComment;
    return cwNone;
}

// The first attached picture of an input in a carried format.
const AVStream* CoverOf(const AVFormatContext* AInput) {
    for (unsigned i = 0; i < AInput->nb_streams; ++i) {
        const AVStream* st = AInput->streams[i];
        if ((st->disposition & AV_DISPOSITION_ATTACHED_PIC) && st->attached_pic.size > 0 &&
            CoverMime(st->codecpar->codec_id))
            return st;
    }
    return nullptr;
}

// ID3v2 picture types, whose names the demuxers give as the picture's "comment".
const char* const kPictureTypes[] = {
    "Other", "32x32 pixels 'file icon'", "Other file icon", "Cover (front)", "Cover (back)",
    "Leaflet page", "Media (e.g. label side of CD)", "Lead artist/lead performer/soloist",
    "Artist/performer", "Conductor", "Band/Orchestra", "Composer", "Lyricist/text writer",
    "Recording Location", "During recording", "During performance",
    "Movie/video screen capture", "A bright coloured fish", "Illustration",
    "Band/artist logotype", "Publisher/Studio logotype"};

uint32_t PictureType(const AVStream* APic) {
    const AVDictionaryEntry* e = avutil.av_dict_get(APic->metadata, "comment", nullptr, 0);
    if (e)
        for (uint32_t t = 0; t < std::size(kPictureTypes); ++t)
            if (std::strcmp(e->value, kPictureTypes[t]) == 0) return t;
    return 3;  // front cover
}

void PutBE32(std::string& AOut, uint32_t AValue) {
    for (int shift = 24; shift >= 0; shift -= 8) AOut += static_cast<char>((AValue >> shift) & 0xFF);
}

// A FLAC PICTURE metadata block body (as Vorbis comments carry it, base64-encoded).
std::string FlacPictureBlock(const AVStream* APic) {
    const char* mime = CoverMime(APic->codecpar->codec_id);
    const AVDictionaryEntry* title = avutil.av_dict_get(APic->metadata, "title", nullptr, 0);
    const std::string description = title ? title->value : "";
    std::string block;
    PutBE32(block, PictureType(APic));
    PutBE32(block, static_cast<uint32_t>(std::strlen(mime)));
    block += mime;
    PutBE32(block, static_cast<uint32_t>(description.size()));
    block += description;
    PutBE32(block, static_cast<uint32_t>(std::max(APic->codecpar->width, 0)));
    PutBE32(block, static_cast<uint32_t>(std::max(APic->codecpar->height, 0)));
    PutBE32(block, 24);  // colour depth
    PutBE32(block, 0);   // not indexed
    PutBE32(block, static_cast<uint32_t>(APic->attached_pic.size));
    block.append(reinterpret_cast<const char*>(APic->attached_pic.data),
                 static_cast<size_t>(APic->attached_pic.size));
    return block;
}

std::string Base64(const std::string& ABytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((ABytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < ABytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, ABytes.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k)
            v = (v << 8) | (k < n ? static_cast<unsigned char>(ABytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

}  // namespace

void TCustomFFmpeg::AddCover(TAVOutputFile& AOut) {
    AOut.cover_stream = -1;
    AOut.cover = nullptr;
    if (FInputFiles.empty()) return;
    AVFormatContext* oc = AOut.ctx.get();
    const TCoverWay way = CoverWay(oc->oformat);
    if (way == cwNone) return;
    for (unsigned i = 0; i < oc->nb_streams; ++i)
        if (oc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return;  // has pictures
    const AVStream* pic = CoverOf(FInputFiles[0].ctx.get());
    if (!pic) return;
    const AVCodecID id = pic->codecpar->codec_id;
    if (way == cwComment) {
        const std::string tag = Base64(FlacPictureBlock(pic));
        for (unsigned i = 0; i < oc->nb_streams; ++i)
            if (oc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                CheckAV(avutil.av_dict_set(&oc->streams[i]->metadata, "METADATA_BLOCK_PICTURE",
                                           tag.c_str(), 0),
                        "av_dict_set");
        return;
    }
    AVStream* st = avformat.avformat_new_stream(oc, nullptr);
    if (!st) throw FFmpegException("av_mallocz fail");
    if (way == cwAttachment) {
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_ATTACHMENT;
        par->codec_id = id;
        const int size = pic->attached_pic.size;
        par->extradata =
            static_cast<uint8_t*>(avutil.av_mallocz(size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) throw FFmpegException("av_mallocz fail");
        std::memcpy(par->extradata, pic->attached_pic.data, size_t(size));
        par->extradata_size = size;
        CheckAV(avutil.av_dict_set(&st->metadata, "filename",
                                   (std::string("cover") + CoverFileExt(id)).c_str(), 0),
                "av_dict_set");
        CheckAV(avutil.av_dict_set(&st->metadata, "mimetype", CoverMime(id), 0), "av_dict_set");
        return;
    }
    CheckAV(avcodec.avcodec_parameters_copy(st->codecpar, pic->codecpar),
            "avcodec_parameters_copy");
    st->codecpar->codec_tag = 0;
    st->disposition = AV_DISPOSITION_ATTACHED_PIC;
    st->time_base = AVRational{1, 90000};
    CheckAV(avutil.av_dict_copy(&st->metadata, pic->metadata, 0), "av_dict_copy");
    AOut.cover_stream = st->index;
    AOut.cover = &pic->attached_pic;
}

void TCustomFFmpeg::WriteCover(TAVOutputFile& AOut) {
    if (AOut.cover_stream < 0 || !AOut.cover) return;
    TPacketPtr pkt(avcodec.av_packet_alloc());
    if (!pkt) throw FFmpegException("av_mallocz fail");
    CheckAV(avcodec.av_packet_ref(pkt.get(), AOut.cover), "av_packet_ref");
    pkt->stream_index = AOut.cover_stream;
    pkt->pts = pkt->dts = 0;
    pkt->flags |= AV_PKT_FLAG_KEY;
    const int ret = avformat.av_write_frame(AOut.ctx.get(), pkt.get());
    if (ret < 0)
        throw FFmpegException(Format("%s: the cover could not be written: %s", AOut.file_name,
                                     ErrorCodeText(ret)));
}
