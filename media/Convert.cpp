#include "Convert.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool ParseInt64(const std::string& AText, int64_t& AValue) {
    const char* p = AText.data();
    const char* end = p + AText.size();
    bool negative = false;
    if (p != end && (*p == '-' || *p == '+')) negative = (*p++ == '-');
    int base = 10;
    if (p != end && *p == '$') {
        base = 16;
        ++p;
    } else if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (p == end) return false;
    uint64_t magnitude = 0;
    auto [ptr, ec] = std::from_chars(p, end, magnitude, base);
    if (ec != std::errc() || ptr != end) return false;
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                    : uint64_t(std::numeric_limits<int64_t>::max());
    if (magnitude > limit) return false;
    AValue = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    return true;
}

}  // namespace

bool TryStrToInt64(const std::string& AText, int64_t& AValue) { return ParseInt64(AText, AValue); }

bool TryStrToInt(const std::string& AText, int& AValue) {
    int64_t v;
    if (!ParseInt64(AText, v) || v < std::numeric_limits<int>::min() ||
        v > std::numeric_limits<int>::max())
        return false;
    AValue = static_cast<int>(v);
    return true;
}

bool TryStrToFloat(const std::string& AText, double& AValue) {
    if (AText.empty() || std::isspace(static_cast<unsigned char>(AText.front())) ||
        std::isspace(static_cast<unsigned char>(AText.back())))
        return false;
    const char* p = AText.data();
    const char* end = p + AText.size();
    if (*p == '+') ++p;
    double v = 0;
    auto [ptr, ec] = std::from_chars(p, end, v);
    if (ec != std::errc() || ptr != end || !std::isfinite(v)) return false;
    AValue = v;
    return true;
}

int StrToInt(const std::string& AText) {
    int v;
    if (!TryStrToInt(AText, v)) throw EConvertError("'" + AText + "' is not a valid integer value");
    return v;
}

int64_t StrToInt64(const std::string& AText) {
    int64_t v;
    if (!TryStrToInt64(AText, v))
        throw EConvertError("'" + AText + "' is not a valid integer value");
    return v;
}

double StrToFloat(const std::string& AText) {
    double v;
    if (!TryStrToFloat(AText, v))
        throw EConvertError("'" + AText + "' is not a valid floating point value");
    return v;
}

std::string LowerCase(std::string AText) {
    std::transform(AText.begin(), AText.end(), AText.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return AText;
}

std::string UpperCase(std::string AText) {
    std::transform(AText.begin(), AText.end(), AText.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return AText;
}

std::string Trim(const std::string& AText) {
    size_t b = 0, e = AText.size();
    while (b < e && static_cast<unsigned char>(AText[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(AText[e - 1]) <= ' ') --e;
    return AText.substr(b, e - b);
}

bool SameText(const std::string& A, const std::string& B) { return LowerCase(A) == LowerCase(B); }
