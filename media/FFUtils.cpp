#include "FFUtils.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "Convert.h"
#include "FFAPI.h"
#include "Format.h"

namespace {

struct TCodeText {
    int Code;
    const char* Text;
};

const TCodeText kErrnoTexts[] = {
    {-1, "Operation not permitted"}, {-2, "No such file or directory"}, {-3, "No such process"},
    {-4, "Interrupted function call"}, {-5, "I/O error"}, {-6, "No such device or address"},
    {-7, "Argument list too long"}, {-8, "Exec format error"}, {-9, "Bad file number"},
    {-10, "No child processes"}, {-11, "Resource temporarily unavailable / Try again"},
    {-12, "Not enough space / Out of memory"}, {-13, "Permission denied"}, {-14, "Bad address"},
    {-15, "Block device required"}, {-16, "Device or resource busy"}, {-17, "File exists"},
    {-18, "Cross-device link"}, {-19, "No such device"}, {-20, "Not a directory"},
    {-21, "Is a directory"}, {-22, "Invalid argument / Invalid data found when processing input"},
    {-23, "Too many open files in system / File table overflow"}, {-24, "Too many open files"},
    {-25, "Inappropriate I/O control operation / Not a typewriter"}, {-26, "Text file busy"},
    {-27, "File too large"}, {-28, "No space left on device"}, {-29, "Illegal seek"},
    {-30, "Read-only file system"}, {-31, "Too many links"}, {-32, "End of file"},
    {-33, "Number syntax expected in filename"}, {-34, "Math result not representable"},
    {-35, "Resource deadlock would occur"}, {-36, "File name too long"},
    {-37, "No record locks available"}, {-38, "Function not implemented"},
    {-39, "Directory not empty"}, {-40, "Too many symbolic links encountered"},
    {-42, "Unknown format"}, {-43, "Identifier removed"}, {-44, "Channel number out of range"},
    {-45, "Level 2 not synchronized"}, {-46, "Level 3 halted"}, {-47, "Level 3 reset"},
    {-48, "Link number out of range"}, {-49, "Protocol driver not attached"},
    {-50, "No CSI structure available"}, {-51, "Level 2 halted"}, {-52, "Invalid exchange"},
    {-53, "Invalid request descriptor"}, {-54, "Exchange full"}, {-55, "No anode"},
    {-56, "Invalid request code"}, {-57, "Invalid slot"}, {-59, "Bad font file format"},
    {-60, "Device not a stream"}, {-61, "No data available"}, {-62, "Timer expired"},
    {-63, "Out of streams resources"}, {-64, "Machine is not on the network"},
    {-65, "Package not installed"}, {-66, "Object is remote"}, {-67, "Link has been severed"},
    {-68, "Advertise error"}, {-69, "Srmount error"}, {-70, "Communication error on send"},
    {-71, "Protocol error"}, {-72, "Multihop attempted"}, {-73, "RFS specific error"},
    {-74, "Not a data message"}, {-75, "Value too large for defined data type"},
    {-76, "Name not unique on network"}, {-77, "File descriptor in bad state"},
    {-78, "Remote address changed"}, {-79, "Can not access a needed shared library"},
    {-80, "Accessing a corrupted shared library"}, {-81, ".lib section in a.out corrupted"},
    {-82, "Attempting to link in too many shared libraries"},
    {-83, "Cannot exec a shared library directly"}, {-84, "Illegal byte sequence"},
    {-85, "Interrupted system call should be restarted"}, {-86, "Streams pipe error"},
    {-87, "Too many users"}, {-88, "Socket operation on non-socket"},
    {-89, "Destination address required"}, {-90, "Message too long"},
    {-91, "Protocol wrong type for socket"}, {-92, "Protocol not available"},
    {-93, "Protocol not supported"}, {-94, "Socket type not supported"},
    {-95, "Operation not supported on transport endpoint"}, {-96, "Protocol family not supported"},
    {-97, "Address family not supported by protocol"}, {-98, "Address already in use"},
    {-99, "Cannot assign requested address"}, {-100, "Network is down"},
    {-101, "Network is unreachable"}, {-102, "Network dropped connection because of reset"},
    {-103, "Software caused connection abort"}, {-104, "Connection reset by peer"},
    {-105, "No buffer space available"}, {-106, "Transport endpoint is already connected"},
    {-107, "Transport endpoint is not connected"},
    {-108, "Cannot send after transport endpoint shutdown"},
    {-109, "Too many references: cannot splice"}, {-110, "Connection timed out"},
    {-111, "Connection refused"}, {-112, "Host is down"}, {-113, "No route to host"},
    {-114, "Operation already in progress"}, {-115, "Operation now in progress"},
    {-116, "Stale NFS file handle"}, {-117, "Structure needs cleaning"},
    {-118, "Not a XENIX named type file"}, {-119, "No XENIX semaphores available"},
    {-120, "Is a named type file"}, {-121, "Remote I/O error"}, {-122, "Quota exceeded"},
    {-123, "No medium found"}, {-124, "Wrong medium type"}, {-125, "Operation Canceled"},
    {-126, "Required key not available"}, {-127, "Key has expired"},
    {-128, "Key has been revoked"}, {-129, "Key was rejected by service"}, {-130, "Owner died"},
    {-131, "State not recoverable"},
};

// FFmpeg's tagged errors. End of file and invalid data were errno codes in the older generation
// (-32 and -22); this generation tags them, and they keep those rows' texts.
const TCodeText kTaggedTexts[] = {
    {AVERROR_MUXER_NOT_FOUND, "Muxer not found"},
    {AVERROR_STREAM_NOT_FOUND, "Stream not found"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Protocol not found"},
    {AVERROR_DEMUXER_NOT_FOUND, "Demuxer not found"},
    {AVERROR_FILTER_NOT_FOUND, "Filter not found"},
    {AVERROR_BSF_NOT_FOUND, "Bitstream filter not found"},
    {AVERROR_ENCODER_NOT_FOUND, "Encoder not found"},
    {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_INVALIDDATA, "Invalid argument / Invalid data found when processing input"},
    {AVERROR_OPTION_NOT_FOUND, "Option not found"},
    {AVERROR_EXIT, "Immediate exit requested"},
    {AVERROR_BUG, "Internal bug, should not have happened"},
    {AVERROR_BUG2, "Internal bug, should not have happened"},
    {AVERROR_BUFFER_TOO_SMALL, "Buffer too small"},
    {AVERROR_EXTERNAL, "Generic error in an external library"},
    {AVERROR_UNKNOWN, "Unknown error occurred"},
    {AVERROR_EXPERIMENTAL, "Experimental feature"},
};

const TCodeText kSocketTexts[] = {
    {-10035, "WSAEWOULDBLOCK"},        {-10067, "WSAEPROCLIM"},
    {-10091, "WSASYSNOTREADY"},        {-10092, "WSAVERNOTSUPPORTED"},
    {-10093, "WSANOTINITIALISED"},     {-10101, "WSAEDISCON"},
    {-10102, "WSAENOMORE"},            {-10103, "WSAECANCELLED"},
    {-10104, "WSAEINVALIDPROCTABLE"},  {-10105, "WSAEINVALIDPROVIDER"},
    {-10106, "WSAEPROVIDERFAILEDINIT"}, {-10107, "WSASYSCALLFAILURE"},
    {-10108, "WSASERVICE_NOT_FOUND"},  {-10109, "WSATYPE_NOT_FOUND"},
    {-10110, "WSA_E_NO_MORE"},         {-10111, "WSA_E_CANCELLED"},
    {-10112, "WSAEREFUSED"},           {-11001, "WSAHOST_NOT_FOUND"},
    {-11002, "WSATRY_AGAIN"},          {-11003, "WSANO_RECOVERY"},
    {-11004, "WSANO_DATA"},
};

// Windows socket codes that mean a C error number.
int SocketToErrno(int ACode) {
    switch (ACode) {
        case -10004: return -4;
        case -10009: return -9;
        case -10013: return -13;
        case -10014: return -14;
        case -10022: return -22;
        case -10024: return -24;
        case -10036: return -115;
        case -10037: return -114;
        case -10062: return -40;
        case -10063: return -36;
        case -10064: return -112;
        case -10065: return -113;
        case -10066: return -39;
        case -10068: return -87;
        case -10069: return -122;
        case -10070: return -116;
        case -10071: return -66;
        default:
            if (ACode <= -10038 && ACode >= -10061) return -88 - (-10038 - ACode);
            return 0;
    }
}

const char* Find(const TCodeText* ABegin, const TCodeText* AEnd, int ACode) {
    for (auto* p = ABegin; p != AEnd; ++p)
        if (p->Code == ACode) return p->Text;
    return nullptr;
}

template <size_t N>
const char* Find(const TCodeText (&ATable)[N], int ACode) {
    return Find(ATable, ATable + N, ACode);
}

}  // namespace

std::string ErrorCodeText(int AErrorCode) {
    if (const char* t = Find(kTaggedTexts, AErrorCode)) return t;
    int code = AErrorCode;
    if (const int mapped = SocketToErrno(code)) code = mapped;
    if (const char* t = Find(kErrnoTexts, code)) return t;
    if (const char* t = Find(kSocketTexts, code)) return t;
    return Format("Error number %d occurred", AErrorCode);
}

std::string MediaErrorText(const std::string& AFileName, int AErrorCode) {
    return AFileName + ": " + ErrorCodeText(AErrorCode);
}

std::string DurationText(int64_t ATime) {
    if (ATime == kNoPTS) return "N/A";
    const int64_t s = ATime / 1000000;
    return Format("%.2d:%.2d:%.2d.%.3d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60), static_cast<int>(ATime % 1000000 * 1000 / 1000000));
}

std::string TimeText(int64_t ATime) {
    const int64_t s = ATime / 1000000;
    return Format("%.2d:%.2d:%.2d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
}

std::string SizeText(int64_t ASize) {
    if (ASize > 0x40000000) return Format("%.2f GB", ASize / 1073741824.0);
    if (ASize > 0x100000) return Format("%.2f MB", ASize / 1048576.0);
    if (ASize > 1024) return Format("%.2f KB", ASize / 1024.0);
    return Format("%d Byte", static_cast<int>(ASize));
}

std::string MediaTypeName(int AType) {
    switch (AType) {
        case AVMEDIA_TYPE_VIDEO: return "Video";
        case AVMEDIA_TYPE_AUDIO: return "Audio";
        case AVMEDIA_TYPE_DATA: return "Data";
        case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
        case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
        default: return "Unknown";
    }
}

std::string CodecNameText(const AVCodecContext* ACodecContext, bool AEncoder) {
    const AVCodec* codec = AEncoder ? avcodec.avcodec_find_encoder(ACodecContext->codec_id)
                                    : avcodec.avcodec_find_decoder(ACodecContext->codec_id);
    if (codec) {
        const std::string longName = Trim(codec->long_name ? codec->long_name : "");
        if (!longName.empty()) return Format("%s(%s)", codec->name, longName);
        return codec->name;
    }
    if (ACodecContext->codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
    // This generation keeps no codec name in the context: the descriptor's name stands for it.
    if (const AVCodecDescriptor* d = avcodec.avcodec_descriptor_get(ACodecContext->codec_id)) {
        const std::string name = Trim(d->name ? d->name : "");
        if (!name.empty()) return name;
    }
    const unsigned tag = ACodecContext->codec_tag;
    char c[4];
    bool printable = true;
    for (int i = 0; i < 4; ++i) {
        c[i] = static_cast<char>((tag >> (8 * i)) & 0xff);
        printable = printable && c[i] >= 32 && c[i] <= 126;
    }
    if (printable) return Format("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], tag);
    return Format("0x%04x", tag);
}

std::string MetadataKeyName(const std::string& AKey) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"LEAD_PERFORMER", "performer"}, {"PART_NUMBER", "track"},
        {"ALBUMARTIST", "album_artist"}, {"TRACKNUMBER", "track"},
        {"DISCNUMBER", "disc"}, {"Author", "artist"},
        {"X-CreationTime", "date"}, {"CreationTime", "date"},
        {"SourceFilename", "filename"}, {"X-Language", "language"},
        {"X-Disposition", "disposition"}, {"X-Replaces", "replaces"},
        {"X-Depends", "depends"}, {"X-Uses", "uses"},
        {"X-UsesFont", "usesfont"}, {"WM/AlbumArtist", "album_artist"},
        {"WM/AlbumTitle", "album"}, {"Author", "artist"},
        {"Description", "comment"}, {"WM/Composer", "composer"},
        {"WM/EncodedBy", "encoded_by"}, {"WM/EncodingSettings", "encoder"},
        {"WM/Genre", "genre"}, {"WM/Language", "language"},
        {"WM/OriginalFilename", "filename"}, {"WM/PartOfSet", "disc"},
        {"WM/Publisher", "publisher"}, {"WM/Tool", "encoder"},
        {"WM/TrackNumber", "track"}, {"WM/Track", "track"},
        {"WM/MediaStationCallSign", "service_provider"}, {"WM/MediaStationName", "service_name"},
        {"IART", "artist"}, {"ICMT", "comment"},
        {"ICOP", "copyright"}, {"ICRD", "date"},
        {"IGNR", "genre"}, {"ILNG", "language"},
        {"INAM", "title"}, {"IPRD", "album"},
        {"IPRT", "track"}, {"ISFT", "encoder"},
        {"ITCH", "encoded_by"}, {"strn", "title"},
        {"TALB", "album"}, {"TCOM", "composer"},
        {"TCON", "genre"}, {"TCOP", "copyright"},
        {"TENC", "encoded_by"}, {"TIT2", "title"},
        {"TLAN", "language"}, {"TPE1", "artist"},
        {"TPE2", "album_artist"}, {"TPE3", "performer"},
        {"TPOS", "disc"}, {"TPUB", "publisher"},
        {"TRCK", "track"}, {"TSSE", "encoder"},
        {"TDRL", "date"}, {"TDRC", "date"},
        {"TDEN", "creation_time"}, {"TSOA", "album-sort"},
        {"TSOP", "artist-sort"}, {"TSOT", "title-sort"},
        {"TAL", "album"}, {"TCO", "genre"},
        {"TT2", "title"}, {"TEN", "encoded_by"},
        {"TP1", "artist"}, {"TP2", "album_artist"},
        {"TP3", "performer"}, {"TRK", "track"},
    };
    for (const auto& [key, name] : kNames)
        if (AKey == key) return name;
    return AKey;
}
