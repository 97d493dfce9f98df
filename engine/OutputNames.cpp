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

// The value of one placeholder ("track:02" is "track" with width 2); false when unknown.
bool PlaceholderValue(const std::string& APlaceholder, const TNameSource& ASource, std::string& AValue) {
    const TNameSource& S = ASource;
    const TNameTags& T = ASource.Tags;
    std::string key = APlaceholder;
    int width = 0;
    if (const size_t colon = key.find(':'); colon != std::string::npos) {
        const std::string w = key.substr(colon + 1);
        key.resize(colon);
        if ((key != "track" && key != "disc") || w.empty() || w.size() > 2 ||
            w.find_first_not_of("0123456789") != std::string::npos)
            return false;
        width = std::stoi(w);
        if (width < 1 || width > 9) return false;
    }
    const std::string name = StemOf(S.Source);
    const std::string artist =
        !T.Artist.empty() ? T.Artist : !T.AlbumArtist.empty() ? T.AlbumArtist : "Unknown Artist";
    if (key == "name") {
        AValue = name;
    } else if (key == "folder") {
        AValue = PathToUtf8(Utf8ToPath(S.Source).parent_path().filename());
    } else if (key == "relpath") {
        AValue.clear();
        if (!S.Root.empty()) {
            const fs::path rel = Utf8ToPath(S.Source).parent_path().lexically_relative(Utf8ToPath(S.Root));
            if (!rel.empty() && rel != "." && *rel.begin() != "..") AValue = PathToUtf8(rel);
            for (char& c : AValue)
                if (c == '\\') c = '/';
        }
    } else if (key == "title") {
        AValue = !T.Title.empty() ? T.Title : name;
    } else if (key == "artist") {
        AValue = artist;
    } else if (key == "albumartist") {
        AValue = !T.AlbumArtist.empty() ? T.AlbumArtist : artist;
    } else if (key == "album") {
        AValue = !T.Album.empty() ? T.Album : "Unknown Album";
    } else if (key == "genre") {
        AValue = !T.Genre.empty() ? T.Genre : "Unknown Genre";
    } else if (key == "year") {
        AValue = T.Year;
    } else if (key == "track" || key == "disc") {
        const int n = key == "track" ? T.Track : T.Disc;
        AValue = n >= 0 ? Padded(n, width) : std::string();
    } else if (key == "ext") {
        AValue = !S.Ext.empty() && S.Ext[0] == '.' ? S.Ext.substr(1) : S.Ext;
    } else {
        return false;
    }
    return true;
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

std::string SafeNamePart(const std::string& AName, size_t AMaxBytes) {
    std::string out;
    for (size_t i = 0; i < AName.size();) {
        const unsigned char c = static_cast<unsigned char>(AName[i]);
        size_t n = SequenceLength(c);
        bool valid = i + n <= AName.size();
        for (size_t k = 1; valid && k < n; ++k) valid = (static_cast<unsigned char>(AName[i + k]) & 0xC0) == 0x80;
        if (n == 1 && c >= 0x80) valid = false;  // a continuation or lead byte alone
        if (!valid) n = 1;
        // A stray byte of a broken sequence, a control character or one Windows forbids.
        const bool bad = (!valid && c >= 0x80) || c < 0x20 || c == 0x7F ||
                         (c < 0x80 && std::strchr("/\\<>:\"|?*", c) != nullptr);
        out += bad ? std::string("_") : AName.substr(i, n);
        i += n;
    }
    // No leading blanks, no trailing blanks or dots; "." and ".." are no names.
    out.erase(0, out.find_first_not_of(' '));
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
    if (out.empty()) out = "_";
    if (ReservedDeviceName(out)) out.insert(0, "_");
    if (out.size() > AMaxBytes) {
        size_t cut = AMaxBytes;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
        while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
        if (out.empty()) out = "_";
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
