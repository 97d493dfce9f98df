#include "JobOptions.h"

#include <filesystem>
#include <iterator>
#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

#include "Convert.h"
#include "FFDecode.h"
#include "Platform.h"

namespace {

#ifdef _WIN32
constexpr char kPathDelim = '\\';
#else
constexpr char kPathDelim = '/';
#endif

int ChosenInteger(const std::string& AValue, const char* AWhat, const TProfile& AProfile, int AJob,
                  const TAudioFile& AFile) {
    int value = 0;
    if (!TryStrToInt(AValue, value))
        throw std::runtime_error("Cannot start the conversion: the " + std::string(AWhat) + " \"" + AValue +
                                 "\" of profile \"" + AProfile.Title + "\" (job " + std::to_string(AJob + 1) +
                                 ", \"" + AFile.SourceTitleExt + "\") is not a whole number.");
    return value;
}

}  // namespace

const TProfile* JobProfile(const TAudioFile& AJob, const std::vector<TProfile>& AProfiles) {
    if (AJob.ProfileInd < 0 || AJob.ProfileInd >= static_cast<int>(AProfiles.size())) return nullptr;
    return &AProfiles[static_cast<size_t>(AJob.ProfileInd)];
}

std::string JobOutputFile(const std::string& AFolder, const TAudioFile& AJob,
                          const std::vector<TProfile>& AProfiles) {
    const TProfile* profile = JobProfile(AJob, AProfiles);
    return AFolder + kPathDelim + AJob.DestinationTitle + (profile ? profile->FormatExt : std::string());
}

void FillJobOptions(const TAudioFile& AJob, int AJobIndex, const std::vector<TProfile>& AProfiles,
                    const TRunSettings& ASettings, const std::string& AOutputFile,
                    TInputOptions& AInput, TOutputOptions& AOutput) {
    const TProfile* found = JobProfile(AJob, AProfiles);
    if (!found)
        throw std::runtime_error("Cannot start the conversion: job " + std::to_string(AJobIndex + 1) + " (\"" +
                                 AJob.SourceTitleExt + "\") has no profile.");
    const TProfile& profile = *found;
    InitInputOptions(AInput);
    InitOutputOptions(AOutput);
    AInput.FileName = AJob.Source;
    AOutput.FileExt = profile.FormatExt;
    AOutput.AudioCodec = profile.AudioCodecName;
    AOutput.AudioChannels = ChosenInteger(profile.Channel, "channel count", profile, AJobIndex, AJob);
    AOutput.AudioSampleRate = ChosenInteger(profile.SampleRate, "sample rate", profile, AJobIndex, AJob);
    AOutput.AudioBitrate = ChosenInteger(profile.AudioBitRate, "bit rate", profile, AJobIndex, AJob);
    AOutput.AudioVolume = ASettings.Volume;
    AOutput.ExistingOutput = ASettings.Existing;
    // Loudness: the targets of the list's entries in order; the last entry only tags.
    static const double kLoudnessTargets[] = {0.0, -14.0, -16.0, -23.0};
    const int loudness = ASettings.Loudness;
    if (loudness > 0 && loudness < static_cast<int>(std::size(kLoudnessTargets)))
        AOutput.LoudnessTarget = kLoudnessTargets[loudness];
    AOutput.ReplayGainTags = loudness == static_cast<int>(std::size(kLoudnessTargets));
    AOutput.VerifyOutput = ASettings.Verify;
    AOutput.DisableVideo = true;
    // Option lines of the profile, e.g. the muxer of an extension FFmpeg does not know (".m4r").
    AOutput.ExtOptions = profile.ExtraParam;
    if (!ASettings.Merge) {
        AInput.TimeStart = AJob.TimeStart;
        AOutput.FileName = AOutputFile;
        // Only an end the user chose limits the output; a range reaching the probed length runs
        // to the real end of the input.
        if (AJob.TimeEnd < AJob.Duration) AOutput.TimeLength = AJob.TimeEnd - AJob.TimeStart;
        AOutput.Info.TimeStamp = 0;
    }
}

namespace {

std::string FileNameOf(const std::string& APath) {
    const size_t slash = APath.find_last_of(kPathDelim == '/' ? "/" : "/\\");
    return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

// The name without its last extension (from the last "." on); a name without "." stays whole.
std::string WithoutExtension(const std::string& AName) {
    const size_t dot = AName.rfind('.');
    return dot == std::string::npos ? AName : AName.substr(0, dot);
}

}  // namespace

bool ProbeNewJob(TFFDecoder& AProbe, const std::string& AFile, int AProfileInd, TAudioFile& AJob,
                 TJobRefusal& ARefusal) {
    const std::string name = FileNameOf(AFile);
    if (!AProbe.LoadFile(AFile)) {
        ARefusal.LogText = "File load error: " + AProbe.LastErrMsg();
        ARefusal.Message = "File " + name + " is not a valid media file or its format is not supported.";
        return false;
    }
    // A file without sound (a silent video, a subtitle file) has nothing to convert.
    if (AProbe.AudioStreamCount() == 0) {
        AProbe.CloseFile();
        ARefusal.LogText = "File load error: " + AFile + " has no audio stream.";
        ARefusal.Message = "File " + name + " has no audio stream: there is nothing to convert.";
        return false;
    }
    // A stream that cannot give sound (a file of noise named .mp3, a header that lies) is
    // refused now, not when the run fails on it.
    if (const std::string problem = AProbe.AudioProblem(); !problem.empty()) {
        AProbe.CloseFile();
        ARefusal.LogText = "File load error: " + AFile + ": " + problem + ".";
        ARefusal.Message = "File " + name + " is not a valid media file or its format is not supported.";
        return false;
    }
    AJob = TAudioFile{};
    AJob.Source = AFile;
    AJob.SourceTitleExt = name;
    AJob.DestinationTitle = WithoutExtension(name);
    AJob.Status = "-";
    AJob.TrimmedLength = AProbe.FileStreamInfo().Duration;
    AJob.TimeStart = 0;
    AJob.TimeEnd = AJob.TrimmedLength;
    AJob.ProfileInd = AProfileInd;
    AJob.Duration = AJob.TrimmedLength;
    const TFileStreamInfo info = AProbe.FileStreamInfo();
    AJob.Tags.Title = info.Title;
    AJob.Tags.Artist = info.Author;
    AJob.Tags.AlbumArtist = info.AlbumArtist;
    AJob.Tags.Album = info.Album;
    AJob.Tags.Genre = info.Genre;
    AJob.Tags.Year = info.Year > 0 ? std::to_string(info.Year) : std::string();
    AJob.Tags.Track = info.Track > 0 ? info.Track : -1;
    AJob.Tags.Disc = info.Disc > 0 ? info.Disc : -1;
    AProbe.CloseFile();
    return true;
}

namespace {

// A path in the form two paths to one file compare equal in: the file's canonical path when it
// exists (links resolved), else the cleaned absolute path under a canonical folder.
std::string ComparablePath(const std::string& APath) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path = Utf8ToPath(APath);
    fs::path result = fs::canonical(path, ec);
    if (ec) result = fs::weakly_canonical(fs::absolute(path, ec), ec);
    std::string text = PathToUtf8(result.lexically_normal());
#ifdef _WIN32
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
#endif
    return text;
}

std::string JobName(const std::vector<TAudioFile>& AJobs, size_t AJob) {
    return "job " + std::to_string(AJob + 1) + " (\"" + AJobs[AJob].SourceTitleExt + "\")";
}

}  // namespace

std::string CheckRunOutputs(const std::vector<TAudioFile>& AJobs, const std::vector<std::string>& AOutputs,
                            bool AMerge, const std::string& AMergedFile) {
    std::map<std::string, size_t> sources;
    for (size_t i = 0; i < AJobs.size(); ++i) sources.emplace(ComparablePath(AJobs[i].Source), i);
    if (AMerge) {
        if (AMergedFile.empty()) return {};
        const auto s = sources.find(ComparablePath(AMergedFile));
        if (s != sources.end())
            return "Cannot start the conversion: the merged output file \"" + AMergedFile +
                   "\" is the source file of " + JobName(AJobs, s->second) + ".";
        return {};
    }
    std::map<std::string, size_t> outputs;
    for (size_t i = 0; i < AJobs.size(); ++i) {
        const std::string& output = AOutputs[i];
        if (output.empty()) continue;  // the job does not run
        const std::string target = ComparablePath(output);
        if (const auto s = sources.find(target); s != sources.end()) {
            if (s->second == i)
                return "Cannot start the conversion: the output file of " + JobName(AJobs, i) +
                       " is its own source file \"" + output + "\".";
            return "Cannot start the conversion: the output file of " + JobName(AJobs, i) +
                   " is the source file of " + JobName(AJobs, s->second) + " \"" + output + "\".";
        }
        const auto [it, added] = outputs.emplace(target, i);
        if (!added)
            return "Cannot start the conversion: " + JobName(AJobs, it->second) + " and " + JobName(AJobs, i) +
                   " would both write the output file \"" + output + "\".";
    }
    return {};
}

std::string JobOutputName(const TAudioFile& AJob, const TOutputNaming& ANaming, const std::string& AExt) {
    std::string pattern = ANaming.Pattern.empty() ? std::string(DefaultNamePattern) : ANaming.Pattern;
    if (ANaming.KeepFolders && pattern.find("{relpath}") == std::string::npos) pattern = "{relpath}/" + pattern;
    if (pattern == DefaultNamePattern) return AJob.DestinationTitle;
    TNameSource source;
    source.Source = AJob.Source;
    source.Root = AJob.Root;
    source.Tags = AJob.Tags;
    source.Ext = AExt;
    std::string name = ExpandNamePattern(pattern, source);
    if (AJob.DestinationEdited) {
        const size_t slash = name.rfind('/');
        name = (slash == std::string::npos ? std::string() : name.substr(0, slash + 1)) + AJob.DestinationTitle;
    }
    return name;
}

std::vector<std::string> NameRunOutputs(const std::vector<TAudioFile>& AJobs, const std::vector<TProfile>& AProfiles,
                                        const std::string& AFolder, const TOutputNaming& ANaming, bool AMerge,
                                        const std::string& AMergedFile) {
    if (AMerge) return std::vector<std::string>(AJobs.size(), AMergedFile);
    std::vector<std::string> outputs;
    std::set<std::string> taken;
    for (const TAudioFile& job : AJobs) {
        const TProfile* profile = JobProfile(job, AProfiles);
        const std::string ext = profile ? profile->FormatExt : std::string();
        std::string name = JobOutputName(job, ANaming, ext);
#ifdef _WIN32
        std::replace(name.begin(), name.end(), '/', kPathDelim);
#endif
        std::string output = AFolder + kPathDelim + name + ext;
        // A second job onto one name is numbered apart; an existing file is the policy's.
        if (taken.count(ComparablePath(output))) {
            std::set<std::string> comparable;
            for (const std::string& o : outputs) comparable.insert(o);
            output = FreeOutputName(output, comparable);
        }
        taken.insert(ComparablePath(output));
        outputs.push_back(output);
    }
    return outputs;
}

std::vector<size_t> ExistingOutputs(const std::vector<std::string>& AOutputs) {
    std::vector<size_t> existing;
    std::set<std::string> seen;
    std::error_code ec;
    for (size_t i = 0; i < AOutputs.size(); ++i)
        if (!AOutputs[i].empty() && seen.insert(AOutputs[i]).second &&
            std::filesystem::exists(std::filesystem::symlink_status(Utf8ToPath(AOutputs[i]), ec)))
            existing.push_back(i);
    return existing;
}

void ResolveExistingOutput(std::vector<std::string>& AOutputs, size_t AJob, TExistingPolicy APolicy) {
    const std::string old = AOutputs[AJob];
    std::string now = old;
    if (APolicy == epSkip) now.clear();
    if (APolicy == epRename) now = FreeOutputName(old, std::set<std::string>(AOutputs.begin(), AOutputs.end()));
    for (std::string& o : AOutputs)
        if (o == old) o = now;
}

TExistingOutput ExistingOutputFor(TExistingPolicy APolicy) {
    return APolicy == epOverwrite ? eoReplace : APolicy == epSkip ? eoKeep : eoNumber;
}

std::string CreateOutputFolders(const std::vector<std::string>& AOutputs) {
    for (const std::string& out : AOutputs) {
        if (out.empty()) continue;
        std::error_code ec;
        const std::filesystem::path folder = Utf8ToPath(out).parent_path();
        std::filesystem::create_directories(folder, ec);
        if (!std::filesystem::is_directory(folder))
            return "Cannot create the output folder \"" + PathToUtf8(folder) + "\"" + (ec ? ": " + ec.message() : std::string());
    }
    return {};
}
