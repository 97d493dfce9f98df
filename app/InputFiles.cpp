#include "InputFiles.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "OpenFilter.h"
#include "Platform.h"

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string AText) {
    std::transform(AText.begin(), AText.end(), AText.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return AText;
}

// The masks' name endings ("*.mp3" -> ".mp3"), lower case.
const std::vector<std::string>& MaskEndings() {
    static const std::vector<std::string> endings = [] {
        std::vector<std::string> list;
        for (const TFormatMask& row : FormatRows()) {
            const std::string masks = row.Mask;
            size_t p = 0;
            while (p < masks.size()) {
                size_t semi = masks.find(';', p);
                if (semi == std::string::npos) semi = masks.size();
                std::string m = masks.substr(p, semi - p);
                p = semi + 1;
                m.erase(0, m.find_first_not_of(' '));
                m.erase(m.find_last_not_of(' ') + 1);
                if (m.size() > 1 && m[0] == '*') list.push_back(Lower(m.substr(1)));
            }
        }
        return list;
    }();
    return endings;
}

}  // namespace

bool MatchesOpenFilter(const std::string& AFileName) {
    const std::string name = Lower(AFileName);
    for (const std::string& e : MaskEndings())
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) return true;
    return false;
}

std::vector<TInputFile> ExpandInputs(const std::vector<std::string>& APaths,
                                     std::vector<std::string>& AErrors) {
    std::vector<TInputFile> files;
    for (const std::string& given : APaths) {
        const fs::path path = Utf8ToPath(given);
        std::error_code ec;
        const fs::file_status status = fs::status(path, ec);
        if (ec || !fs::exists(status)) {
            AErrors.push_back(given + ": " + (ec ? ec.message() : std::string("No such file or directory")));
            continue;
        }
        if (!fs::is_directory(status)) {
            files.push_back({given, {}});
            continue;
        }
        std::vector<std::string> found;
        fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec), end;
        if (ec) {
            AErrors.push_back(given + ": " + ec.message());
            continue;
        }
        for (; it != end; it.increment(ec)) {
            if (ec) {
                AErrors.push_back(PathToUtf8(it->path()) + ": " + ec.message());
                break;
            }
            std::error_code fileError;
            if (it->is_regular_file(fileError) && MatchesOpenFilter(PathToUtf8(it->path().filename())))
                found.push_back(PathToUtf8(it->path()));
        }
        std::sort(found.begin(), found.end());
        for (std::string& f : found) files.push_back({std::move(f), given});
    }
    return files;
}
