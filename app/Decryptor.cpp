#include "Decryptor.h"

#include <QString>
#include <fstream>
#include <iterator>

#include "Convert.h"
#include "Platform.h"

namespace {

// Trims blanks and control characters (everything up to the space character) at both ends.
std::string TrimLine(const std::string& ALine) {
    size_t b = 0, e = ALine.size();
    while (b < e && static_cast<unsigned char>(ALine[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(ALine[e - 1]) <= ' ') --e;
    return ALine.substr(b, e - b);
}

// Key: after the first "<" up to the first blank after it; empty without "<" or blank.
std::string LineKey(const std::string& ALine) {
    const size_t lt = ALine.find('<');
    if (lt == std::string::npos) return {};
    const size_t blank = ALine.find(' ', lt + 1);
    if (blank == std::string::npos) return {};
    return ALine.substr(lt + 1, blank - lt - 1);
}

// Value: between the first and the second double quote, verbatim.
std::string LineValue(const std::string& ALine) {
    const size_t q1 = ALine.find('"');
    if (q1 == std::string::npos) return {};
    const size_t q2 = ALine.find('"', q1 + 1);
    if (q2 == std::string::npos) return {};
    return ALine.substr(q1 + 1, q2 - q1 - 1);
}

std::string* ProfileField(TProfile& AProfile, const std::string& AKey) {
    struct TKeyField {
        const char* Key;
        std::string TProfile::*Field;
    };
    static const TKeyField Keys[] = {
        {"profilename", &TProfile::Title},         {"formatext", &TProfile::FormatExt},
        {"description", &TProfile::Description},   {"audiobitrates", &TProfile::AudioBitRates},
        {"samplerates", &TProfile::SampleRates},   {"channels", &TProfile::Channels},
        {"audiocodecs", &TProfile::AudioCodecs},   {"audiocodecname", &TProfile::AudioCodecName},
        {"samplerate", &TProfile::SampleRate},     {"audiobitrate", &TProfile::AudioBitRate},
        {"channel", &TProfile::Channel},           {"extraparam", &TProfile::ExtraParam},
    };
    for (const auto& k : Keys)
        if (SameText(AKey, k.Key)) return &(AProfile.*k.Field);
    return nullptr;
}

}  // namespace

std::string DecodeCatalogueText(const std::string& ABytes) {
    auto starts = [&](std::initializer_list<unsigned char> ABom) {
        if (ABytes.size() < ABom.size()) return false;
        size_t i = 0;
        for (unsigned char b : ABom)
            if (static_cast<unsigned char>(ABytes[i++]) != b) return false;
        return true;
    };
    if (starts({0xEF, 0xBB, 0xBF})) return ABytes.substr(3);
    const bool le = starts({0xFF, 0xFE}), be = starts({0xFE, 0xFF});
    if (le || be) {
        std::u16string units;
        for (size_t i = 2; i + 1 < ABytes.size(); i += 2) {
            const auto lo = static_cast<unsigned char>(ABytes[le ? i : i + 1]);
            const auto hi = static_cast<unsigned char>(ABytes[le ? i + 1 : i]);
            units.push_back(static_cast<char16_t>(lo | (hi << 8)));
        }
        return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()))
            .toStdString();
    }
    return QString::fromLocal8Bit(ABytes.data(), static_cast<qsizetype>(ABytes.size()))
        .toStdString();
}

void LoadCatalogueText(const std::string& AText, std::vector<TProfile>& AProfiles) {
    bool haveTarget = false;
    size_t pos = 0;
    while (pos <= AText.size()) {
        size_t end = AText.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = AText.size();
        const std::string line = TrimLine(AText.substr(pos, end - pos));
        // CR LF counts as one break; a lone CR or LF as one each.
        pos = end + ((end + 1 < AText.size() && AText[end] == '\r' && AText[end + 1] == '\n') ? 2 : 1);

        if (line == "<Profile>") {
            AProfiles.emplace_back();
            haveTarget = true;
            continue;
        }
        if (line == "</ProfileSet>") break;
        const std::string key = LineKey(line);
        if (key.empty()) continue;
        TProfile scratch;
        if (!ProfileField(scratch, key)) continue;
        if (!haveTarget)
            throw ECatalogueError("profile key \"" + key + "\" before the first <Profile> line");
        *ProfileField(AProfiles.back(), key) = LineValue(line);
    }
}

void LoadCatalogueFile(const std::filesystem::path& AFileName, std::vector<TProfile>& AProfiles) {
    std::ifstream in(AFileName, std::ios::binary);
    if (!in) throw ECatalogueError("cannot open " + PathToUtf8(AFileName));
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw ECatalogueError("cannot read " + PathToUtf8(AFileName));
    LoadCatalogueText(DecodeCatalogueText(ComplementBytes(std::move(bytes))), AProfiles);
}

std::vector<std::string> SplitValueList(const std::string& AText, bool AValues) {
    std::vector<std::string> values, labels;
    if (AText.empty()) return {};
    std::string token;
    for (char c : AText) {
        if (c == '$') {
            values.push_back(std::move(token));
            token.clear();
        } else if (c == ',') {
            labels.push_back(std::move(token));
            token.clear();
        } else {
            token.push_back(c);
        }
    }
    labels.push_back(std::move(token));
    return AValues ? values : labels;
}
