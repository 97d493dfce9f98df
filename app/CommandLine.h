// The program's command line: files for the window, or the batch mode's options. Qt-free.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A usage error: unknown option, missing or invalid value, no inputs. The text is one line.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TCommandLine {
    enum TMode { cmWindow, cmConvert, cmListProfiles, cmHelp, cmVersion };
    TMode Mode = cmWindow;
    std::vector<std::string> Inputs;  // files and folders, as given
    // Output settings; unset ones keep the profile's (or the window's stored) values.
    std::optional<std::string> Profile, SampleRate, BitRate, Channels, Codec;
    std::optional<std::string> OutputFolder;
    int Jobs = 0;                      // 0: all cores
    std::optional<double> Volume;      // percent
    std::optional<int> Loudness;       // index of the window's Loudness list (0: off)
    bool Merge = false;
    bool Verify = false;       // every output decoded back and checked before it is kept
    bool KeepFolders = false;  // the sources' folder tree below the output folder
    std::optional<std::pair<int64_t, int64_t>> Trim;  // microseconds; end INT64_MAX: to the end
    std::optional<std::string> Pattern;   // output naming pattern
    std::optional<std::string> Existing;  // "skip", "overwrite" or "rename"
    bool DryRun = false, Quiet = false, Json = false;
    std::string LogFile;  // empty: no log file
};

// Parses the arguments after the program name. The batch mode is chosen by --convert (or
// --list-profiles, --help, --version); without them every argument is a file or folder for the
// window. Raises EUsageError.
TCommandLine ParseCommandLine(const std::vector<std::string>& AArgs);

// "hh:mm:ss[.fff]", "mm:ss[.fff]" or seconds "s[.fff]" as microseconds; -1 when not a time.
int64_t ParseTimeText(const std::string& AText);

// The --help text and the --version text (each ends with a line break).
std::string UsageText(const std::string& AProgram);
std::string VersionText();

// The hint a usage error ends with: "Try '<program> --help' for more information.".
std::string UsageHint(const std::string& AProgram);

// The window's Loudness list in order, as --loudness takes them (index 0 is "off").
extern const char* const LoudnessValues[5];
