#include "CommandLine.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "OutputNames.h"

const char* const LoudnessValues[5] = {"off", "-14", "-16", "-23", "replaygain"};

namespace {

// A number with an optional fraction, all of AText; false otherwise.
bool ParseDecimal(const std::string& AText, double& AValue) {
    if (AText.empty() || AText.find_first_not_of("0123456789.") != std::string::npos) return false;
    if (std::count(AText.begin(), AText.end(), '.') > 1 || AText == ".") return false;
    char* end = nullptr;
    AValue = std::strtod(AText.c_str(), &end);
    return end && *end == '\0' && std::isfinite(AValue);
}

bool ParseWhole(const std::string& AText, int& AValue) {
    const char* end = AText.data() + AText.size();
    const auto [p, ec] = std::from_chars(AText.data(), end, AValue);
    return ec == std::errc() && p == end && !AText.empty();
}

}  // namespace

int64_t ParseTimeText(const std::string& AText) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = AText.find(':', start);
        parts.push_back(AText.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() > 3) return -1;
    double seconds = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        double v = 0;
        // Only the seconds take a fraction; minutes and seconds after a colon stay below 60.
        if (!ParseDecimal(parts[i], v) || (!last && parts[i].find('.') != std::string::npos)) return -1;
        if (i > 0 && v >= 60) return -1;
        seconds = seconds * 60 + v;
    }
    if (seconds * 1e6 >= 9.2e18) return -1;
    return std::llround(seconds * 1e6);
}

TCommandLine ParseCommandLine(const std::vector<std::string>& AArgs) {
    TCommandLine c;
    bool batch = false;
    for (const std::string& a : AArgs) {
        if (a == "--") break;
        if (a == "--convert" || a == "--list-profiles" || a == "--help" || a == "-h" || a == "--version")
            batch = true;
    }
    if (!batch) {
        bool options = true;
        for (const std::string& a : AArgs) {
            if (options && a == "--") {
                options = false;
            } else if (options && a.size() > 1 && a[0] == '-') {
                throw EUsageError("unknown option '" + a + "' (without --convert only files and folders)");
            } else {
                c.Inputs.push_back(a);
            }
        }
        return c;
    }

    c.Mode = TCommandLine::cmConvert;
    bool listProfiles = false, help = false, version = false, convert = false;
    using TSetter = std::function<void(const std::string&)>;
    auto whole = [](const std::string& AName, int AMin, int AMax, int& ATarget) {
        return [=, &ATarget](const std::string& AValue) {
            int v = 0;
            if (!ParseWhole(AValue, v) || v < AMin || v > AMax)
                throw EUsageError("invalid value '" + AValue + "' for " + AName + " (allowed: " +
                                  std::to_string(AMin) + " to " + std::to_string(AMax) + ")");
            ATarget = v;
        };
    };
    auto text = [](std::optional<std::string>& ATarget) {
        return [&ATarget](const std::string& AValue) { ATarget = AValue; };
    };
    const std::map<std::string, TSetter> valued = {
        {"--profile", text(c.Profile)},
        {"--rate", text(c.SampleRate)},
        {"--bitrate", text(c.BitRate)},
        {"--channels", text(c.Channels)},
        {"--codec", text(c.Codec)},
        {"--output", text(c.OutputFolder)},
        {"--jobs", whole("--jobs", 1, 256, c.Jobs)},
        {"--log", [&](const std::string& AValue) { c.LogFile = AValue; }},
        {"--pattern",
         [&](const std::string& AValue) {
             const std::string error = PatternError(AValue);
             if (!error.empty()) throw EUsageError("invalid value '" + AValue + "' for --pattern: " + error);
             c.Pattern = AValue;
         }},
        {"--existing",
         [&](const std::string& AValue) {
             if (AValue != "skip" && AValue != "overwrite" && AValue != "rename")
                 throw EUsageError("invalid value '" + AValue + "' for --existing (allowed: skip, overwrite, rename)");
             c.Existing = AValue;
         }},
        {"--volume",
         [&](const std::string& AValue) {
             double v = 0;
             if (!ParseDecimal(AValue, v) || v > 1000)
                 throw EUsageError("invalid value '" + AValue + "' for --volume (allowed: 0 to 1000 percent)");
             c.Volume = v;
         }},
        {"--loudness",
         [&](const std::string& AValue) {
             for (int i = 0; i < 5; ++i)
                 if (AValue == LoudnessValues[i]) {
                     c.Loudness = i;
                     return;
                 }
             throw EUsageError("invalid value '" + AValue +
                               "' for --loudness (allowed: off, -14, -16, -23, replaygain)");
         }},
        {"--trim",
         [&](const std::string& AValue) {
             const size_t dash = AValue.find('-');
             const int64_t from = dash == std::string::npos ? -1 : ParseTimeText(AValue.substr(0, dash));
             const std::string endText = dash == std::string::npos ? std::string() : AValue.substr(dash + 1);
             const int64_t to = endText.empty() ? INT64_MAX : ParseTimeText(endText);
             if (from < 0 || to < 0 || to <= from)
                 throw EUsageError("invalid value '" + AValue +
                                   "' for --trim (allowed: START-END or START-, times as "
                                   "hh:mm:ss.mmm, mm:ss or seconds, END after START)");
             c.Trim = std::make_pair(from, to);
         }},
    };
    const std::map<std::string, bool*> flags = {
        {"--convert", &convert}, {"--list-profiles", &listProfiles}, {"--help", &help}, {"-h", &help},
        {"--version", &version}, {"--merge", &c.Merge},   {"--keep-folders", &c.KeepFolders},
        {"--verify", &c.Verify},
        {"--dry-run", &c.DryRun}, {"--quiet", &c.Quiet}, {"-q", &c.Quiet},
        {"--json", &c.Json},
    };
    bool options = true;
    for (size_t i = 0; i < AArgs.size(); ++i) {
        const std::string& a = AArgs[i];
        if (!options || a.empty() || a[0] != '-' || a == "-") {
            c.Inputs.push_back(a);
            continue;
        }
        if (a == "--") {
            options = false;
            continue;
        }
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        if (const auto f = flags.find(name); f != flags.end()) {
            if (eq != std::string::npos) throw EUsageError("option '" + name + "' takes no value");
            *f->second = true;
            continue;
        }
        const auto v = valued.find(name);
        if (v == valued.end()) throw EUsageError("unknown option '" + name + "'");
        std::string value;
        if (eq != std::string::npos) {
            value = a.substr(eq + 1);
        } else if (i + 1 < AArgs.size()) {
            value = AArgs[++i];
        } else {
            throw EUsageError("option '" + name + "' needs a value");
        }
        v->second(value);
    }
    if (help) {
        c.Mode = TCommandLine::cmHelp;
    } else if (version) {
        c.Mode = TCommandLine::cmVersion;
    } else if (listProfiles) {
        c.Mode = TCommandLine::cmListProfiles;
    } else {
        if (c.Inputs.empty()) throw EUsageError("no input files");
        if (c.Trim && c.Inputs.size() != 1) throw EUsageError("--trim takes exactly one input file");
        if (c.Trim && c.Merge) throw EUsageError("--trim and --merge cannot be combined");
    }
    return c;
}

std::string UsageHint(const std::string& AProgram) {
    return "Try '" + AProgram + " --help' for more information.";
}

std::string UsageText(const std::string& AProgram) {
    return "Usage: " + AProgram + " [FILE|FOLDER]...\n"
           "  or:  " + AProgram + " --convert [OPTION]... FILE|FOLDER...\n"
           "  or:  " + AProgram + " --list-profiles\n"
           "Without --convert, start the window and add the files (folders: their audio and video\n"
           "files, recursively). With --convert, convert them without a window.\n"
           "\n"
           "Output settings (default: the profile and values the window last used):\n"
           "      --profile NAME       the output profile (see --list-profiles)\n"
           "      --codec NAME         the profile's audio codec\n"
           "      --rate HZ            sample rate\n"
           "      --bitrate BPS        bit rate in bits per second (128000, or 128k)\n"
           "      --channels N         channel count\n"
           "      --volume PERCENT     volume of every job (100: unchanged)\n"
           "      --loudness TARGET    -14, -16 or -23 (LUFS), replaygain (tags only) or off\n"
           "\n"
           "The run:\n"
           "      --output DIR         output folder (default: the window's output folder)\n"
           "      --jobs N             conversions at once (default: all cores)\n"
           "      --merge              join every input, in order, into one file named Joined\n"
           "      --trim START-END     convert only this range of the one input (hh:mm:ss.mmm,\n"
           "                           mm:ss or seconds; START- runs to the end)\n"
           "      --pattern PATTERN    output names from the source's name, folders and tags,\n"
           "                           e.g. '{artist}/{album}/{track:02} {title}' (default:\n"
           "                           '{name}'; see the README for every placeholder)\n"
           "      --keep-folders       keep the folder tree of added folders below the output\n"
           "                           folder (as a pattern beginning with {relpath}/)\n"
           "      --existing POLICY    when an output exists: skip (default), overwrite or rename\n"
           "                           (adds ' (2)', ' (3)' ... to the name)\n"
           "      --verify             decode every output completely before it is kept and check\n"
           "                           its length and format (lossless ones sample for sample);\n"
           "                           an output that fails is removed and its job fails\n"
           "      --dry-run            print what would be written, where, and why a job would\n"
           "                           be refused; convert nothing\n"
           "\n"
           "Reporting:\n"
           "  -q, --quiet              print only errors\n"
           "      --json               one JSON object per event on standard output\n"
           "      --log FILE           append the events log and the program log to FILE\n"
           "  -h, --help               print this help and exit\n"
           "      --version            print the version and exit\n"
           "\n"
           "Exit status: 0 when every job converted, 1 when any failed, 2 for a usage error,\n"
           "130 when interrupted (Ctrl-C); the finished outputs stay, unfinished ones leave no file.\n";
}

std::string VersionText() {
    return "quendral-audio-converter " QAC_VERSION "\n";
}
