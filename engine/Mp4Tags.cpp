// iTunes freeform tags ("----" atoms of mean "com.apple.iTunes") added to a finished MP4/M4A
// file, which FFmpeg's muxer cannot write. The movie box must be the file's last box: it grows in
// place and no sample offset moves.
#include "Mp4Tags.h"

#include <cstring>
#include <fstream>

#include "Format.h"
#include "Platform.h"

namespace {

using TBytes = std::string;

uint32_t ReadU32(const char* AData) {
    const auto* b = reinterpret_cast<const unsigned char*>(AData);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

void WriteU32(char* AData, uint32_t AValue) {
    for (int i = 0; i < 4; ++i) AData[i] = char(AValue >> (24 - 8 * i));
}

TBytes U32(uint32_t AValue) {
    TBytes b(4, '\0');
    WriteU32(b.data(), AValue);
    return b;
}

TBytes Box(const char* AType, const TBytes& APayload) {
    return U32(uint32_t(8 + APayload.size())) + AType + APayload;
}

// The child box of AType in [ABegin, AEnd) of ABox (offsets of box starts); npos when absent
// or when a size is malformed.
size_t FindChild(const TBytes& ABox, size_t ABegin, size_t AEnd, const char* AType) {
    for (size_t p = ABegin; p + 8 <= AEnd;) {
        const uint32_t size = ReadU32(&ABox[p]);
        if (size < 8 || p + size > AEnd) return TBytes::npos;
        if (memcmp(&ABox[p + 4], AType, 4) == 0) return p;
        p += size;
    }
    return TBytes::npos;
}

// Adds ADelta to the size field of the box at AAt.
void Grow(TBytes& ABox, size_t AAt, size_t ADelta) {
    WriteU32(&ABox[AAt], uint32_t(ReadU32(&ABox[AAt]) + ADelta));
}

}  // namespace

bool AddMp4FreeformTags(const std::filesystem::path& AFile,
                        const std::vector<std::pair<std::string, std::string>>& ATags,
                        std::string& AError) {
    std::fstream f(AFile, std::ios::in | std::ios::out | std::ios::binary);
    if (!f) {
        AError = Format("%s: cannot be opened to add its tags", PathToUtf8(AFile));
        return false;
    }
    // The last top-level box must be the movie box.
    f.seekg(0, std::ios::end);
    const uint64_t fileSize = static_cast<uint64_t>(f.tellg());
    uint64_t pos = 0, moovAt = UINT64_MAX;
    uint32_t moovSize = 0;
    while (pos + 8 <= fileSize) {
        char head[8];
        f.seekg(std::streamoff(pos));
        if (!f.read(head, 8)) break;
        const uint32_t size = ReadU32(head);
        if (size < 8) break;  // 64-bit or to-the-end sizes: not a movie box we grow
        if (memcmp(head + 4, "moov", 4) == 0) {
            moovAt = pos;
            moovSize = size;
        }
        pos += size;
    }
    if (moovAt == UINT64_MAX || moovAt + moovSize != fileSize || pos != fileSize) {
        AError = Format("%s: the movie box is not at the end of the file; tags not added",
                        PathToUtf8(AFile));
        return false;
    }
    TBytes moov(moovSize, '\0');
    f.seekg(std::streamoff(moovAt));
    if (!f.read(moov.data(), moovSize)) {
        AError = Format("%s: cannot be read to add its tags", PathToUtf8(AFile));
        return false;
    }

    TBytes atoms;
    for (const auto& [name, value] : ATags)
        atoms += Box("----", Box("mean", U32(0) + "com.apple.iTunes") + Box("name", U32(0) + name) +
                                 Box("data", U32(1) + U32(0) + value));

    // moov > udta > meta (a full box: 4 bytes of version and flags) > ilst, made where missing.
    const TBytes hdlr = Box("hdlr", U32(0) + U32(0) + "mdir" + "appl" + U32(0) + U32(0) + '\0');
    size_t udta = FindChild(moov, 8, moov.size(), "udta");
    if (udta == TBytes::npos) {
        moov += Box("udta", Box("meta", U32(0) + hdlr + Box("ilst", atoms)));
    } else {
        const size_t udtaEnd = udta + ReadU32(&moov[udta]);
        size_t meta = FindChild(moov, udta + 8, udtaEnd, "meta");
        if (meta == TBytes::npos) {
            const TBytes box = Box("meta", U32(0) + hdlr + Box("ilst", atoms));
            moov.insert(udtaEnd, box);
            Grow(moov, udta, box.size());
        } else {
            const size_t metaEnd = meta + ReadU32(&moov[meta]);
            const size_t ilst = FindChild(moov, meta + 12, metaEnd, "ilst");
            if (ilst == TBytes::npos) {
                const TBytes box = Box("ilst", atoms);
                moov.insert(metaEnd, box);
                Grow(moov, meta, box.size());
                Grow(moov, udta, box.size());
            } else {
                moov.insert(ilst + ReadU32(&moov[ilst]), atoms);
                Grow(moov, ilst, atoms.size());
                Grow(moov, meta, atoms.size());
                Grow(moov, udta, atoms.size());
            }
        }
    }
    WriteU32(moov.data(), uint32_t(moov.size()));
    f.seekp(std::streamoff(moovAt));
    if (!f.write(moov.data(), std::streamsize(moov.size())) || !f.flush()) {
        AError = Format("%s: the tags could not be written", PathToUtf8(AFile));
        return false;
    }
    return true;
}
