#include "OutputNames.h"

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Platform.h"

namespace fs = std::filesystem;

namespace {

std::string Upper(std::string AText) {
    for (char& c : AText)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return AText;
}

bool ReservedDeviceName(const std::string& AName) {
    // The part before the first dot decides ("NUL.txt" is the device too), blanks ignored.
    std::string base = Upper(AName.substr(0, AName.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* n : kNames)
        if (base == n) return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

// Length of the UTF-8 sequence starting with byte ALead (1 for a stray byte).
size_t SequenceLength(unsigned char ALead) {
    if (ALead >= 0xF0 && ALead <= 0xF4) return 4;
    if (ALead >= 0xE0) return ALead <= 0xEF ? 3 : 1;
    if (ALead >= 0xC2) return 2;
    return 1;
}

std::string Padded(int AValue, int AWidth) {
    std::string digits = std::to_string(AValue);
    if (static_cast<int>(digits.size()) < AWidth) digits.insert(0, static_cast<size_t>(AWidth) - digits.size(), '0');
    return digits;
}

std::string StemOf(const std::string& APath) {
    const fs::path p = Utf8ToPath(APath);
    return PathToUtf8(p.stem());
}

// A placeholder's key and width ("track:02" is "track" with width 2, 0 without one); false for
// a width on another key or one outside 1 to 9.
bool SplitPlaceholder(const std::string& APlaceholder, std::string& AKey, int& AWidth) {
    AKey = APlaceholder;
    AWidth = 0;
    const size_t colon = AKey.find(':');
    if (colon == std::string::npos) return true;
    const std::string w = AKey.substr(colon + 1);
    AKey.resize(colon);
    if ((AKey != "track" && AKey != "disc") || w.empty() || w.size() > 2 ||
        w.find_first_not_of("0123456789") != std::string::npos)
        return false;
    AWidth = std::stoi(w);
    return AWidth >= 1 && AWidth <= 9;
}

std::string ArtistOf(const TNameTags& T) {
    return !T.Artist.empty() ? T.Artist : !T.AlbumArtist.empty() ? T.AlbumArtist : "Unknown Artist";
}

// The source's folder below the root ("/" between folders), empty outside it or without one.
std::string RelativeFolder(const TNameSource& S) {
    std::string value;
    if (S.Root.empty()) return value;
    const fs::path rel = Utf8ToPath(S.Source).parent_path().lexically_relative(Utf8ToPath(S.Root));
    if (!rel.empty() && rel != "." && *rel.begin() != "..") value = PathToUtf8(rel);
    for (char& c : value)
        if (c == '\\') c = '/';
    return value;
}

std::string Numbered(int AValue, int AWidth) { return AValue >= 0 ? Padded(AValue, AWidth) : std::string(); }

// The placeholders and their values (a width only for track and disc).
struct TPlaceholderRow {
    const char* Key;
    std::string (*Value)(const TNameSource& S, int AWidth);
};
const TPlaceholderRow kPlaceholders[] = {
    {"name", [](const TNameSource& S, int) { return StemOf(S.Source); }},
    {"folder", [](const TNameSource& S, int) { return PathToUtf8(Utf8ToPath(S.Source).parent_path().filename()); }},
    {"relpath", [](const TNameSource& S, int) { return RelativeFolder(S); }},
    {"title", [](const TNameSource& S, int) { return !S.Tags.Title.empty() ? S.Tags.Title : StemOf(S.Source); }},
    {"artist", [](const TNameSource& S, int) { return ArtistOf(S.Tags); }},
    {"albumartist",
     [](const TNameSource& S, int) { return !S.Tags.AlbumArtist.empty() ? S.Tags.AlbumArtist : ArtistOf(S.Tags); }},
    {"album", [](const TNameSource& S, int) { return !S.Tags.Album.empty() ? S.Tags.Album : std::string("Unknown Album"); }},
    {"genre", [](const TNameSource& S, int) { return !S.Tags.Genre.empty() ? S.Tags.Genre : std::string("Unknown Genre"); }},
    {"year", [](const TNameSource& S, int) { return S.Tags.Year; }},
    {"track", [](const TNameSource& S, int AWidth) { return Numbered(S.Tags.Track, AWidth); }},
    {"disc", [](const TNameSource& S, int AWidth) { return Numbered(S.Tags.Disc, AWidth); }},
    {"ext", [](const TNameSource& S, int) { return !S.Ext.empty() && S.Ext[0] == '.' ? S.Ext.substr(1) : S.Ext; }},
};

// The value of one placeholder; false when unknown.
bool PlaceholderValue(const std::string& APlaceholder, const TNameSource& ASource, std::string& AValue) {
    std::string key;
    int width = 0;
    if (!SplitPlaceholder(APlaceholder, key, width)) return false;
    for (const TPlaceholderRow& row : kPlaceholders)
        if (key == row.Key) {
            AValue = row.Value(ASource, width);
            return true;
        }
    return false;
}

// Walks APattern: literal text and placeholder values go to AOut; false with AError on a fault.
// A value's "/" stays a separator only for {relpath}; elsewhere it is part of one name.
bool Expand(const std::string& APattern, const TNameSource& ASource, std::string& AOut, std::string& AError) {
    AOut.clear();
    for (size_t i = 0; i < APattern.size(); ++i) {
        const char c = APattern[i];
        if (c == '}' && i + 1 < APattern.size() && APattern[i + 1] == '}') {
            AOut += '}';
            ++i;
        } else if (c == '}') {
            AError = "a '}' without its '{' (write '}}' for a brace)";
            return false;
        } else if (c == '{' && i + 1 < APattern.size() && APattern[i + 1] == '{') {
            AOut += '{';
            ++i;
        } else if (c == '{') {
            const size_t close = APattern.find('}', i);
            if (close == std::string::npos) {
                AError = "a '{' without its '}'";
                return false;
            }
            const std::string key = APattern.substr(i + 1, close - i - 1);
            std::string value;
            if (!PlaceholderValue(key, ASource, value)) {
                AError = "unknown placeholder {" + key + "}";
                return false;
            }
            if (key != "relpath") {
                for (char& v : value)
                    if (v == '/' || v == '\\') v = '\x01';  // no separator from a tag
                if (value == "." || value == "..") value = "_";  // nor a walk
            }
            AOut += value;
            i = close;
        } else {
            AOut += c == '\\' ? '/' : c;
        }
    }
    return true;
}

}  // namespace

namespace {

// AName with every stray byte of a broken UTF-8 sequence, control character and character
// Windows forbids in names replaced by "_".
std::string ReplaceBadCharacters(const std::string& AName) {
    std::string out;
    for (size_t i = 0; i < AName.size();) {
        const unsigned char c = static_cast<unsigned char>(AName[i]);
        size_t n = SequenceLength(c);
        bool valid = i + n <= AName.size();
        for (size_t k = 1; valid && k < n; ++k) valid = (static_cast<unsigned char>(AName[i + k]) & 0xC0) == 0x80;
        if (n == 1 && c >= 0x80) valid = false;  // a continuation or lead byte alone
        if (!valid) n = 1;
        const bool bad = (!valid && c >= 0x80) || c < 0x20 || c == 0x7F ||
                         (c < 0x80 && std::strchr("/\\<>:\"|?*", c) != nullptr);
        out += bad ? std::string("_") : AName.substr(i, n);
        i += n;
    }
    return out;
}

// No trailing blanks or dots; an empty name becomes "_".
void TrimNameEnd(std::string& AName) {
    while (!AName.empty() && (AName.back() == ' ' || AName.back() == '.')) AName.pop_back();
    if (AName.empty()) AName = "_";
}

}  // namespace

std::string SafeNamePart(const std::string& AName, size_t AMaxBytes) {
    std::string out = ReplaceBadCharacters(AName);
    // No leading blanks, no trailing blanks or dots; "." and ".." are no names.
    out.erase(0, out.find_first_not_of(' '));
    TrimNameEnd(out);
    if (ReservedDeviceName(out)) out.insert(0, "_");
    if (out.size() > AMaxBytes) {
        size_t cut = AMaxBytes;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
        TrimNameEnd(out);
    }
    return out;
}

std::string PatternError(const std::string& APattern) {
    std::string out, error;
    Expand(APattern, TNameSource{}, out, error);
    if (error.empty() && APattern.find_first_not_of("/\\ ") == std::string::npos)
        error = "the pattern gives no name";
    return error;
}

std::string ExpandNamePattern(const std::string& APattern, const TNameSource& ASource) {
    std::string expanded, error;
    if (!Expand(APattern, ASource, expanded, error)) expanded = StemOf(ASource.Source);
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= expanded.size()) {
        size_t slash = expanded.find('/', start);
        if (slash == std::string::npos) slash = expanded.size();
        std::string part = expanded.substr(start, slash - start);
        start = slash + 1;
        for (char& c : part)
            if (c == '\x01') c = '_';
        // An empty part (a missing tag between two "/") or one that only walks ("." "..") is dropped.
        std::string trimmed = part;
        trimmed.erase(0, trimmed.find_first_not_of(' '));
        if (trimmed.empty() || trimmed == "." || trimmed == "..") continue;
        parts.push_back(SafeNamePart(part, 255 - 16));  // room for " (N)" and the extension
    }
    if (parts.empty()) parts.push_back(SafeNamePart(StemOf(ASource.Source), 255 - 16));
    std::string path;
    for (const std::string& p : parts) path += (path.empty() ? "" : "/") + p;
    return path;
}

bool ParseExistingPolicy(const std::string& AText, TExistingPolicy& APolicy) {
    for (TExistingPolicy p : {epAsk, epSkip, epOverwrite, epRename})
        if (AText == ExistingPolicyName(p)) {
            APolicy = p;
            return true;
        }
    return false;
}

const char* ExistingPolicyName(TExistingPolicy APolicy) {
    switch (APolicy) {
        case epAsk:
            return "ask";
        case epSkip:
            return "skip";
        case epOverwrite:
            return "overwrite";
        case epRename:
            return "rename";
    }
    return "ask";
}

std::string FreeOutputName(const std::string& AFile, const std::set<std::string>& ATaken) {
    std::error_code ec;
    auto free = [&](const std::string& AName) {
        return !ATaken.count(AName) && !fs::exists(fs::symlink_status(Utf8ToPath(AName), ec));
    };
    if (free(AFile)) return AFile;
    const fs::path p = Utf8ToPath(AFile);
    const std::string folder = PathToUtf8(p.parent_path());
    const std::string stem = PathToUtf8(p.stem()), ext = PathToUtf8(p.extension());
    for (int n = 2;; ++n) {
        const std::string name = (folder.empty() ? "" : folder + "/") + stem + " (" + std::to_string(n) + ")" + ext;
        if (free(name)) return name;
    }
}
