// The output-profile catalogue: the TProfile record, the reader of the byte-complemented
// catalogue file and the value-list splitter used by the setting selectors.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

struct TProfile {
    std::string Title;           // "profilename"
    std::string FormatExt;       // "formatext", with its leading dot
    std::string Description;     // "description"
    std::string AudioBitRates;   // "audiobitrates", value list
    std::string SampleRates;     // "samplerates", value list
    std::string Channels;        // "channels", value list
    std::string AudioCodecs;     // "audiocodecs", value list
    std::string AudioCodecName;  // "audiocodecname", chosen encoder name
    std::string SampleRate;      // "samplerate", chosen rate in hertz
    std::string AudioBitRate;    // "audiobitrate", chosen bit rate in bits per second
    std::string Channel;         // "channel", chosen channel count
    std::string ExtraParam;      // "extraparam"
};

class ECatalogueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the catalogue file and appends its profiles to AProfiles, in file order. Raises
// ECatalogueError when the file cannot be read or a profile key comes before the first
// "<Profile>" line; the profiles read before the failure stay in AProfiles.
void LoadCatalogueFile(const std::filesystem::path& AFileName, std::vector<TProfile>& AProfiles);

// The grammar part of LoadCatalogueFile, on text already decoded to UTF-8.
void LoadCatalogueText(const std::string& AText, std::vector<TProfile>& AProfiles);

// Complements every byte (the catalogue's storage form, in both directions).
inline std::string ComplementBytes(std::string ABytes) {
    for (char& c : ABytes) c = static_cast<char>(~static_cast<unsigned char>(c));
    return ABytes;
}

// Decodes the text of a complemented-back catalogue to UTF-8: a byte-order mark selects UTF-8,
// UTF-16 LE or UTF-16 BE; without one the bytes are in the local 8-bit code page.
std::string DecodeCatalogueText(const std::string& ABytes);

// Splits "value$label,value$label,..." into the values (AValues true) or the labels, matched
// by position. No blanks are removed; an empty text has neither.
std::vector<std::string> SplitValueList(const std::string& AText, bool AValues);
