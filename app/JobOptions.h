// What a job becomes for the encoder: its output file and its option records. Qt-free: the window
// and the batch mode build their runs through these.
#pragma once

#include <string>
#include <vector>

#include "AudioFile.h"
#include "OutputNames.h"
#include "Decryptor.h"
#include "FFmpegRecords.h"

// The run-wide choices of the window's settings panel.
struct TRunSettings {
    bool Merge = false;
    int Volume = 256;  // 256: unchanged
    int Loudness = 0;  // index of the Loudness list: off, -14, -16, -23 LUFS, ReplayGain tags only
    TExistingOutput Existing = eoReplace;  // a file that took the output's name during the run
    bool Verify = false;  // every output decoded back and checked before it is kept
};

// What a file that took an output's name during the run gets under APolicy (ask: kept, as
// nobody was asked about it).
TExistingOutput ExistingOutputFor(TExistingPolicy APolicy);

// The job's profile; null when its index is outside AProfiles.
const TProfile* JobProfile(const TAudioFile& AJob, const std::vector<TProfile>& AProfiles);

// <AFolder>/<destination name><profile's extension>.
std::string JobOutputFile(const std::string& AFolder, const TAudioFile& AJob,
                          const std::vector<TProfile>& AProfiles);

// Fills the records of job AJobIndex (0-based, for messages). AOutputFile is the job's output
// (unused in merge mode, where the merged output is set apart). Raises std::runtime_error
// "Cannot start the conversion: ..." for a job without a profile or a chosen value that is not a
// whole number.
void FillJobOptions(const TAudioFile& AJob, int AJobIndex, const std::vector<TProfile>& AProfiles,
                    const TRunSettings& ASettings, const std::string& AOutputFile,
                    TInputOptions& AInput, TOutputOptions& AOutput);

class TFFDecoder;

// Why a file cannot become a job: the events log text after "-> " and the message for the user.
struct TJobRefusal {
    std::string LogText;
    std::string Message;
};

// Probes AFile for a new job of profile AProfileInd: true with AJob filled (source, names,
// lengths), false with ARefusal. The probe is closed again either way.
bool ProbeNewJob(TFFDecoder& AProbe, const std::string& AFile, int AProfileInd, TAudioFile& AJob,
                 TJobRefusal& ARefusal);

// The refusal of a run, or empty: a job's output (AOutputs, one per job; empty for a job that
// does not run, whose source still counts) that is a job's source
// (its own or another's, links resolved) or another job's output; in merge mode the merged output
// AMergedFile that is a source. Checked before the encoder opens any file.
std::string CheckRunOutputs(const std::vector<TAudioFile>& AJobs, const std::vector<std::string>& AOutputs,
                            bool AMerge, const std::string& AMergedFile);

// How a run names its outputs: the pattern, and whether the folder tree the sources were found
// in is kept below the output folder (as if the pattern began with "{relpath}/").
struct TOutputNaming {
    std::string Pattern = DefaultNamePattern;
    bool KeepFolders = false;
};

// The job's output name below the output folder, without extension: the pattern over the job's
// source, folder and tags; a destination name the user typed replaces the pattern's file name.
std::string JobOutputName(const TAudioFile& AJob, const TOutputNaming& ANaming, const std::string& AExt);

// Each job's output before existing files are looked at: AMergedFile for every job in merge mode,
// else AFolder + the job's name + its profile's extension, two jobs that would get one name
// numbered apart ("name (2).ext").
std::vector<std::string> NameRunOutputs(const std::vector<TAudioFile>& AJobs, const std::vector<TProfile>& AProfiles,
                                        const std::string& AFolder, const TOutputNaming& ANaming, bool AMerge,
                                        const std::string& AMergedFile);

// Makes the folders of every output (empty ones skipped): the output folder and a pattern's
// sub-folders. The error naming the folder that cannot be made, or empty.
std::string CreateOutputFolders(const std::vector<std::string>& AOutputs);

// The indexes of the outputs that name an existing file (in merge mode, the first only).
std::vector<size_t> ExistingOutputs(const std::vector<std::string>& AOutputs);

// Applies APolicy to the existing output AOutputs[AJob] (and every job sharing it): overwrite
// keeps the name, rename takes the first free number clear of the run's other outputs, skip
// empties the name (the job does not run). Ask is the caller's to resolve first.
void ResolveExistingOutput(std::vector<std::string>& AOutputs, size_t AJob, TExistingPolicy APolicy);
