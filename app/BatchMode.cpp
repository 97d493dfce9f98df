#include "BatchMode.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "AppShell.h"
#include "BatchSignals.h"
#include "CommandLine.h"
#include "Convert.h"
#include "Decryptor.h"
#include "Dispatcher.h"
#include "FFEncode.h"
#include "FFLog.h"
#include "FFUtils.h"
#include "InputFiles.h"
#include "JobOptions.h"
#include "OutputNames.h"
#include "OutputNaming.h"
#include "Platform.h"
#include "QtDispatcherHooks.h"
#include "WorkingFiles.h"

namespace {

const char* const kProgram = "quendral-audio-converter";

std::string Lower(std::string AText) {
    for (char& c : AText)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return AText;
}

std::string Joined(const std::vector<std::string>& AItems) {
    std::string text;
    for (const std::string& s : AItems) text += (text.empty() ? "" : ", ") + s;
    return text.empty() ? "none" : text;
}

// "12:34" or "1:02:03".
std::string ClockText(double ASeconds) {
    const long s = std::lround(std::max(0.0, ASeconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%02ld:%02ld", s / 60, s % 60);
    return text;
}

// A bit rate as the profiles store it: "128k" and "128000" both give "128000".
std::string BitRateValue(std::string AText) {
    if (!AText.empty() && (AText.back() == 'k' || AText.back() == 'K')) {
        AText.pop_back();
        int v = 0;
        if (TryStrToInt(AText, v) && v > 0 && v < 1000000) return std::to_string(v * 1000);
        return AText + "k";
    }
    return AText;
}

struct TBatchJob {
    TAudioFile Job;
    std::string Root;     // the folder it was found under, if any
    std::string Output;   // the output file
    std::string Refusal;  // why it cannot run (empty: it can)
    std::string Skipped;  // why it does not run although it could (an existing output)
    enum TState { jsWaiting, jsRunning, jsDone, jsFailed } State = jsWaiting;
    double Percent = 0;
    qint64 LastJsonProgress = -1000;
};

// One batch run on the main thread: the steps of main() in order, then the encoder's events.
class TBatchRun {
public:
    explicit TBatchRun(const TCommandLine& ACommand) : C(ACommand) {}
    ~TBatchRun();
    int Run();

private:
    // Steps (each returns an exit status when the run ends there, or -1 to go on).
    int LoadCatalogue();
    void ChooseProfile();
    void ReadSettings();
    int ListProfiles() const;
    int LoadLibraries();
    void CollectJobs();
    int PlanOutputs();
    std::vector<std::string> NameOutputs();
    int DryRun() const;
    // The run: its steps in order, the exit status from the last.
    int Convert();
    std::vector<size_t> ReportUnrunJobs();
    void PrepareTasks(const std::vector<size_t>& ARunnable);
    int AddTasks(const std::vector<size_t>& ARunnable);
    int RunToEnd();
    // The encoder's events, on the main thread.
    void Progress(const TProgressInfo& AInfo);
    void Terminate(const TTerminateInfo& AInfo);
    void Cancel();
    // Reporting.
    void EventsLogLine(const std::string& AText);
    void Json(QJsonObject AEvent) const;
    void Note(const std::string& ALine);
    void Error(const std::string& ALine);
    void Redraw(bool AForce);
    void ClearStatusLine();
    std::string TaskName(int ATask) const;
    int RunningTasks() const { return static_cast<int>(FTaskJobs.size()); }

    const TCommandLine& C;
    std::vector<TProfile> FProfiles;
    int FProfileInd = 0;
    std::string FOutputFolder;
    int FJobsAtOnce = 1;
    TRunSettings FSettings;
    std::unique_ptr<TFFLogger> FLogger;
    std::unique_ptr<TFFEncoder> FEncoder;
    std::vector<TBatchJob> FJobs;
    std::vector<int> FTaskJobs;  // task index -> job index
    std::vector<TInputOptions> FInputs;
    std::vector<TOutputOptions> FOutputs;
    std::ofstream FLog;
    bool FTerminal = false;
    bool FStatusShown = false;
    QElapsedTimer FClock;
    qint64 FLastRedraw = -1000;
    int FDone = 0, FFailed = 0;
    bool FCancelled = false;
    bool FFinished = false;
};

TBatchRun::~TBatchRun() {
    if (FEncoder) {
        FEncoder->Stop(true);
        FEncoder->OnProgress = nullptr;
        FEncoder->OnTerminate = nullptr;
    }
    if (FLogger) FLogger->SetOnLog(nullptr);
}

int TBatchRun::Run() {
    FClock.start();
    FTerminal = StandardErrorIsTerminal() && !C.Quiet && !C.Json;
    if (!C.LogFile.empty()) {
        FLog.open(Utf8ToPath(C.LogFile), std::ios::app);
        if (!FLog) {
            Error(C.LogFile + ": cannot open the log file for writing");
            return 1;
        }
    }
    FLogger = std::make_unique<TFFLogger>();
    FLogger->SetOnLog([this](TSender, uint32_t AThreadID, TLogLevel ALevel, const std::string& AMsg) {
        if (FLog) FLog << '#' << AThreadID << '.' << static_cast<int>(ALevel) << ": " << AMsg << '\n';
    });
    if (int status = LoadCatalogue(); status >= 0) return status;
    if (C.Mode == TCommandLine::cmListProfiles) return ListProfiles();
    ReadSettings();
    ChooseProfile();
    if (int status = LoadLibraries(); status >= 0) return status;
    CollectJobs();
    if (int status = PlanOutputs(); status >= 0) return status;
    if (C.DryRun) return DryRun();
    return Convert();
}

int TBatchRun::LoadCatalogue() {
    const QString file = ApplicationFolder() + "audio-converter-profiles" + QDir::separator() + "formats.dat";
    try {
        LoadCatalogueFile(Utf8ToPath(file.toStdString()), FProfiles);
    } catch (const std::exception& e) {
        Error(std::string("Error loading profiles: ") + e.what());
        return 1;
    }
    if (FProfiles.empty()) {
        Error("Error loading profiles: " + file.toStdString() + " holds no profile");
        return 1;
    }
    return -1;
}

int TBatchRun::ListProfiles() const {
    for (const TProfile& p : FProfiles) {
        std::printf("%-16s %-6s %-10s %6s Hz %7s bit/s %s ch  %s\n", p.Title.c_str(), p.FormatExt.c_str(),
                    p.AudioCodecName.c_str(), p.SampleRate.c_str(), p.AudioBitRate.c_str(), p.Channel.c_str(),
                    p.Description.c_str());
    }
    return 0;
}

// The window's stored choices are the defaults: output folder, simultaneous conversions,
// loudness and the profile last chosen.
void TBatchRun::ReadSettings() {
    QSettings settings(SettingsOrganization, SettingsApplication);
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    FJobsAtOnce = cores;
    int loudness = 0;
    if (settings.status() == QSettings::NoError) {
        FOutputFolder = settings.value("OutputPath").toString().toStdString();
        bool ok = false;
        const int profile = settings.value("recentprofileind").toInt(&ok);
        if (ok && profile >= 0 && profile < static_cast<int>(FProfiles.size())) FProfileInd = profile;
        loudness = settings.value("Loudness").toInt(&ok);
        if (!ok || loudness < 0 || loudness > 4) loudness = 0;
    }
    if (FOutputFolder.empty()) {
        const QString documents = GetSpecialFolder(CSIDL_PERSONAL);
        if (!documents.isEmpty())
            FOutputFolder = QDir(documents).filePath("Quendral/Quendral Audio Converter/Output").toStdString();
    }
    if (C.OutputFolder) FOutputFolder = *C.OutputFolder;
    if (C.Jobs > 0) FJobsAtOnce = C.Jobs;
    FSettings.Loudness = C.Loudness ? *C.Loudness : loudness;
    FSettings.Merge = C.Merge;
    FSettings.Verify = C.Verify;
    FSettings.Volume = static_cast<int>(std::lround(C.Volume.value_or(100.0) * 256.0 / 100.0));
}

// The profile by name (letter case ignored) and the values that override its chosen ones, each
// one of the profile's listed values.
void TBatchRun::ChooseProfile() {
    if (C.Profile) {
        int found = -1;
        std::vector<std::string> names;
        for (size_t i = 0; i < FProfiles.size(); ++i) {
            names.push_back(FProfiles[i].Title);
            if (found < 0 && Lower(FProfiles[i].Title) == Lower(*C.Profile)) found = static_cast<int>(i);
        }
        if (found < 0)
            throw EUsageError("unknown profile '" + *C.Profile + "' (allowed: " + Joined(names) + ")");
        FProfileInd = found;
    }
    TProfile& p = FProfiles[static_cast<size_t>(FProfileInd)];
    const struct {
        const char* Option;
        const std::optional<std::string>& Value;
        const std::string& List;
        std::string& Chosen;
    } overrides[] = {{"--rate", C.SampleRate, p.SampleRates, p.SampleRate},
                     {"--channels", C.Channels, p.Channels, p.Channel},
                     {"--codec", C.Codec, p.AudioCodecs, p.AudioCodecName},
                     {"--bitrate", C.BitRate, p.AudioBitRates, p.AudioBitRate}};
    for (const auto& o : overrides) {
        if (!o.Value) continue;
        const std::string value = o.Option == std::string("--bitrate") ? BitRateValue(*o.Value) : *o.Value;
        const std::vector<std::string> values = SplitValueList(o.List, true);
        if (std::find(values.begin(), values.end(), value) == values.end())
            throw EUsageError("invalid value '" + *o.Value + "' for " + o.Option + " of profile '" + p.Title +
                              "' (allowed: " + Joined(values) + ")");
        o.Chosen = value;
    }
}

int TBatchRun::LoadLibraries() {
    FEncoder = std::make_unique<TFFEncoder>();
    if (FEncoder->LoadAVLib((ApplicationFolder() + "LibAV").toStdString())) return -1;
    Error(FEncoder->LastErrMsg());
    return 1;
}

// Every file becomes a job, or a refused one with the message the window would show.
void TBatchRun::CollectJobs() {
    std::vector<std::string> errors;
    const std::vector<TInputFile> files = ExpandInputs(C.Inputs, errors);
    for (const std::string& e : errors) {
        TBatchJob job;
        job.Job.Source = e.substr(0, e.rfind(": "));
        job.Job.SourceTitleExt = job.Job.Source;
        job.Refusal = e;
        FJobs.push_back(std::move(job));
    }
    for (const TInputFile& f : files) {
        TBatchJob job;
        job.Root = f.Root;
        TJobRefusal refusal;
        if (ProbeNewJob(*FEncoder->Decoder(), f.Path, FProfileInd, job.Job, refusal)) {
            EventsLogLine("Added file " + f.Path);
        } else {
            EventsLogLine(refusal.LogText);
            job.Job.Source = f.Path;
            job.Job.SourceTitleExt = f.Path;
            job.Refusal = refusal.Message;
        }
        FJobs.push_back(std::move(job));
    }
    if (C.Trim && FJobs.size() == 1 && FJobs[0].Refusal.empty()) {
        TAudioFile& j = FJobs[0].Job;
        const int64_t length = j.Duration > 0 ? j.Duration : INT64_MAX;
        if (C.Trim->first >= length) {
            FJobs[0].Refusal = "the trim start " + DurationText(C.Trim->first) + " is not before the end of " +
                               j.SourceTitleExt + " (" + DurationText(length) + ")";
        } else {
            j.TimeStart = C.Trim->first;
            j.TimeEnd = std::min(C.Trim->second, length);
            j.TrimmedLength = j.TimeEnd - j.TimeStart;
        }
    }
}

// Each job's output (one per job, empty for a job that does not run): named by the pattern, two
// jobs of the run numbered apart, an existing output skipped, written over or numbered past as
// --existing says.
std::vector<std::string> TBatchRun::NameOutputs() {
    TExistingPolicy policy = epSkip;
    if (C.Existing) ParseExistingPolicy(*C.Existing, policy);
    FSettings.Existing = ExistingOutputFor(policy);
    // The window's naming settings unless the command line gives its own.
    TOutputNaming naming = ReadNamingSettings();
    if (C.Pattern) naming.Pattern = *C.Pattern;
    naming.KeepFolders = naming.KeepFolders || C.KeepFolders;
    std::vector<size_t> index;
    std::vector<TAudioFile> candidates;
    for (size_t i = 0; i < FJobs.size(); ++i)
        if (FJobs[i].Refusal.empty()) {
            FJobs[i].Job.Root = FJobs[i].Root;
            candidates.push_back(FJobs[i].Job);
            index.push_back(i);
        }
    const std::string joined =
        FOutputFolder + "/Joined" + FProfiles[static_cast<size_t>(FProfileInd)].FormatExt;
    std::vector<std::string> planned = NameRunOutputs(candidates, FProfiles, FOutputFolder, naming, C.Merge, joined);
    for (size_t k : ExistingOutputs(planned)) {
        const std::string existing = planned[k];
        ResolveExistingOutput(planned, k, policy);
        if (policy == epSkip)
            for (size_t m = 0; m < planned.size(); ++m)
                if (planned[m].empty() && FJobs[index[m]].Skipped.empty())
                    FJobs[index[m]].Skipped =
                        "the output " + existing + " exists (skipped; --existing overwrite or rename converts it)";
    }
    std::vector<std::string> outputs(FJobs.size());
    for (size_t k = 0; k < planned.size(); ++k) {
        FJobs[index[k]].Output = planned[k];
        outputs[index[k]] = planned[k];
    }
    return outputs;
}

// The outputs planned, the window's checks, and the output folders created; -1 to go on, else
// the exit status.
int TBatchRun::PlanOutputs() {
    if (FOutputFolder.empty()) {
        Error("no output folder: give one with --output");
        return 1;
    }
    const std::vector<std::string> outputs = NameOutputs();
    std::vector<TAudioFile> all;
    size_t runnable = 0;
    std::string merged;
    for (size_t i = 0; i < FJobs.size(); ++i) {
        all.push_back(FJobs[i].Job);
        if (outputs[i].empty()) continue;
        ++runnable;
        merged = outputs[i];
    }
    if (C.Merge && runnable > 20) {
        Error("Cannot merge more than 20 files.");
        return 1;
    }
    // A job that would write over a source (also one that does not run) refuses the whole run,
    // as in the window.
    const std::string refusal = CheckRunOutputs(all, outputs, C.Merge, merged);
    if (!refusal.empty()) {
        EventsLogLine(refusal);
        Error(refusal);
        return 1;
    }
    for (const TBatchJob& j : FJobs)
        if (!j.Skipped.empty()) {
            EventsLogLine("Skipped " + j.Job.Source + ": " + j.Skipped);
            if (!C.DryRun) Note("skipped " + j.Job.Source + ": " + j.Skipped);
        }
    if (runnable == 0) {
        for (const TBatchJob& j : FJobs)
            if (!j.Refusal.empty()) Error(j.Refusal);
        Note("nothing to convert");
        return std::any_of(FJobs.begin(), FJobs.end(), [](const TBatchJob& j) { return !j.Refusal.empty(); }) ? 1 : 0;
    }
    if (C.DryRun) return -1;
    if (const std::string error = CreateOutputFolders(outputs); !error.empty()) {
        Error(error);
        return 1;
    }
    return -1;
}

int TBatchRun::DryRun() const {
    const TProfile& p = FProfiles[static_cast<size_t>(FProfileInd)];
    std::printf("profile %s: %s, %s Hz, %s bit/s, %s channels; output folder %s\n", p.Title.c_str(),
                p.AudioCodecName.c_str(), p.SampleRate.c_str(), p.AudioBitRate.c_str(), p.Channel.c_str(),
                FOutputFolder.c_str());
    int refused = 0;
    for (const TBatchJob& j : FJobs) {
        if (!j.Refusal.empty()) {
            ++refused;
            std::printf("refused: %s: %s\n", j.Job.Source.c_str(), j.Refusal.c_str());
            continue;
        }
        if (!j.Skipped.empty()) {
            std::printf("skipped: %s: %s\n", j.Job.Source.c_str(), j.Skipped.c_str());
            continue;
        }
        std::printf("%s -> %s", j.Job.Source.c_str(), j.Output.c_str());
        if (j.Job.TimeStart > 0 || j.Job.TimeEnd < j.Job.Duration)
            std::printf(" (%s to %s)", DurationText(j.Job.TimeStart).c_str(), DurationText(j.Job.TimeEnd).c_str());
        if (std::filesystem::exists(Utf8ToPath(j.Output))) std::printf(" (exists: written over)");
        std::printf("\n");
    }
    return refused ? 1 : 0;
}

int TBatchRun::Convert() {
    const std::vector<size_t> runnable = ReportUnrunJobs();
    PrepareTasks(runnable);
    if (const int failed = AddTasks(runnable)) return failed;
    return RunToEnd();
}

// Refused inputs fail without a run and skipped ones are said so: the jobs that run.
std::vector<size_t> TBatchRun::ReportUnrunJobs() {
    for (const TBatchJob& j : FJobs)
        if (!j.Refusal.empty()) {
            ++FFailed;
            Error(j.Refusal);
            QJsonObject e{{"event", "failed"}, {"source", QString::fromStdString(j.Job.Source)},
                          {"message", QString::fromStdString(j.Refusal)}};
            Json(e);
        }
    std::vector<size_t> runnable;
    for (size_t i = 0; i < FJobs.size(); ++i)
        if (FJobs[i].Refusal.empty() && FJobs[i].Skipped.empty()) runnable.push_back(i);
        else if (FJobs[i].Refusal.empty())
            Json({{"event", "skipped"}, {"source", QString::fromStdString(FJobs[i].Job.Source)},
                  {"message", QString::fromStdString(FJobs[i].Skipped)}});
    return runnable;
}

// Working files that killed runs left in the run's output folders go first; then each job's
// records and the encoder's handlers.
void TBatchRun::PrepareTasks(const std::vector<size_t>& ARunnable) {
    std::set<std::string> folders;
    for (size_t i : ARunnable) folders.insert(PathToUtf8(Utf8ToPath(FJobs[i].Output).parent_path()));
    for (const std::string& folder : folders) RemoveStaleWorkingFiles(folder);
    FInputs.resize(ARunnable.size());
    FOutputs.resize(ARunnable.size());
    for (size_t k = 0; k < ARunnable.size(); ++k) {
        const TBatchJob& j = FJobs[ARunnable[k]];
        FillJobOptions(j.Job, static_cast<int>(k), FProfiles, FSettings, j.Output, FInputs[k], FOutputs[k]);
    }
    FEncoder->OnProgress = [this](void*, PProgressInfo AInfo) { Progress(*AInfo); };
    FEncoder->OnTerminate = [this](void*, const TTerminateInfo& AInfo) {
        const TTerminateInfo info = AInfo;
        Synchronize([this, info] { Terminate(info); });
    };
}

// A task per job (a merge: one task of every input); 0, or the exit status of a failure.
int TBatchRun::AddTasks(const std::vector<size_t>& ARunnable) {
    auto fail = [this](const std::string& AMessage) {
        EventsLogLine(AMessage);
        Error(AMessage);
        return 1;
    };
    for (size_t k = 0; k < ARunnable.size(); ++k) {
        const TBatchJob& j = FJobs[ARunnable[k]];
        if (C.Merge && k > 0) {
            if (!FEncoder->AddInputFile(0, j.Job.Source, &FInputs[k])) return fail(FEncoder->LastErrMsg());
            continue;
        }
        const int task = FEncoder->AddTask(j.Job.Source, &FInputs[k]);
        if (task < 0) return fail(FEncoder->LastErrMsg());
        FTaskJobs.push_back(static_cast<int>(ARunnable[k]));
        if (!C.Merge && !FEncoder->SetOutputFile(task, j.Output, &FOutputs[k]))
            return fail("Cannot set output file: " + FEncoder->LastErrMsg());
    }
    if (C.Merge) {
        FOutputs[0].Join = true;
        if (!FEncoder->SetOutputFile(0, FJobs[ARunnable[0]].Output, &FOutputs[0]))
            return fail("Cannot set output file (Merge): " + FEncoder->LastErrMsg());
    }
    return 0;
}

// Starts the tasks and pumps until the final notice (Ctrl-C cancels); the exit status.
int TBatchRun::RunToEnd() {
    TSignalWatch interrupts([this] { Cancel(); });
    EventsLogLine("Started conversion");
    Json({{"event", "run"}, {"jobs", RunningTasks()}, {"output", QString::fromStdString(FOutputFolder)}});
    FEncoder->Start(C.Merge ? 1 : std::min(FJobsAtOnce, RunningTasks()));
    QTimer redraw;
    QObject::connect(&redraw, &QTimer::timeout, [this] { Redraw(false); });
    if (FTerminal) redraw.start(250);
    while (!FFinished) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    redraw.stop();
    ClearStatusLine();
    if (FCancelled) {
        EventsLogLine("Conversion cancelled by user");
        Note("cancelled: " + std::to_string(FDone) + " converted, the unfinished jobs left no file");
        return 130;
    }
    if (FFailed > 0) {
        EventsLogLine("Conversion finished with errors: " + std::to_string(FFailed) + " of " +
                      std::to_string(FJobs.size()) + " jobs failed.");
    } else {
        EventsLogLine("Conversion successfully done.");
    }
    Note(std::to_string(FDone) + " converted, " + std::to_string(FFailed) + " failed, " +
         ClockText(FClock.elapsed() / 1000.0));
    Json({{"event", "done"}, {"converted", FDone}, {"failed", FFailed}, {"seconds", FClock.elapsed() / 1000.0}});
    return FFailed > 0 ? 1 : 0;
}

void TBatchRun::Progress(const TProgressInfo& AInfo) {
    const int t = AInfo.TaskIndex;
    if (t < 0 || t >= RunningTasks()) return;
    TBatchJob& j = FJobs[static_cast<size_t>(FTaskJobs[static_cast<size_t>(t)])];
    if (j.State == TBatchJob::jsWaiting) {
        j.State = TBatchJob::jsRunning;
        if (!FTerminal) Note("converting " + j.Job.Source + " -> " + j.Output);
        Json({{"event", "started"}, {"job", t + 1}, {"source", QString::fromStdString(j.Job.Source)},
              {"output", QString::fromStdString(j.Output)}});
    }
    if (AInfo.TotalDuration > 0)
        j.Percent = std::clamp(100.0 * static_cast<double>(AInfo.CurrentDuration) / AInfo.TotalDuration, 0.0, 100.0);
    const qint64 now = FClock.elapsed();
    if (now - j.LastJsonProgress >= 1000) {
        j.LastJsonProgress = now;
        Json({{"event", "progress"}, {"job", t + 1}, {"percent", std::round(j.Percent * 10) / 10}});
    }
}

void TBatchRun::Terminate(const TTerminateInfo& AInfo) {
    const int t = AInfo.TaskIndex;
    if (t < 0) {
        if (AInfo.Finished) FFinished = true;
        return;
    }
    if (t >= RunningTasks()) return;
    TBatchJob& j = FJobs[static_cast<size_t>(FTaskJobs[static_cast<size_t>(t)])];
    if (AInfo.Exception) {
        j.State = TBatchJob::jsFailed;
        ++FFailed;
        const std::string message =
            "Conversion terminated with error: " + TaskName(t) + ": " + AInfo.ExceptionMsg;
        EventsLogLine(message);
        Error(message);
        Json({{"event", "failed"}, {"job", t + 1}, {"source", QString::fromStdString(j.Job.Source)},
              {"message", QString::fromStdString(AInfo.ExceptionMsg)}});
        return;
    }
    if (!AInfo.Finished) return;
    // A file that took the output's name meanwhile may have made the output take another.
    if (!C.Merge && t < FEncoder->TasksCount() && !FEncoder->Tasks(t)->WrittenFiles().empty())
        j.Output = FEncoder->Tasks(t)->WrittenFiles().front();
    // A task that ended without its output (cancelled) is neither done nor failed.
    std::error_code ec;
    const auto size = std::filesystem::file_size(Utf8ToPath(j.Output), ec);
    if (ec || FCancelled) return;
    j.State = TBatchJob::jsDone;
    j.Percent = 100;
    ++FDone;
    QJsonObject e{{"event", "finished"}, {"job", t + 1}, {"source", QString::fromStdString(j.Job.Source)},
                  {"output", QString::fromStdString(j.Output)}, {"size", static_cast<qint64>(size)}};
    TFFDecoder* probe = FEncoder->Decoder();
    if (probe->LoadFile(j.Output)) {
        e["duration"] = probe->FileStreamInfo().Duration / 1e6;
        probe->CloseFile();
    }
    if (FSettings.Loudness > 0 && t < FEncoder->TasksCount()) {
        const TLoudness& l = FEncoder->Tasks(t)->MeasuredLoudness();
        QJsonObject loud{{"integrated", l.Integrated}, {"gain", l.Gain}};
        if (!std::isnan(l.TruePeak)) loud["true_peak"] = l.TruePeak;
        if (std::isfinite(l.SamplePeak)) loud["sample_peak"] = l.SamplePeak;
        e["loudness"] = loud;
        EventsLogLine("Loudness (" + std::string(LoudnessValues[FSettings.Loudness]) + ") of " + TaskName(t) +
                      ": " + Format("%.1f LUFS, gain %+.1f dB", l.Integrated, l.Gain));
    }
    // "bit-exact", "length", or false when outputs are not verified.
    if (AInfo.Verified == vrNone) {
        e["verified"] = false;
    } else {
        e["verified"] = AInfo.Verified == vrBitExact ? "bit-exact" : "length";
        EventsLogLine(TaskName(t) + (AInfo.Verified == vrBitExact ? ": verified bit-exact" : ": verified length"));
    }
    if (!FTerminal) Note("converted " + j.Output);
    Json(e);
    Redraw(true);
}

void TBatchRun::Cancel() {
    if (FCancelled || FFinished) return;
    FCancelled = true;
    FEncoder->Stop(true);
}

std::string TBatchRun::TaskName(int ATask) const {
    if (C.Merge) return "the merged file";
    const TBatchJob& j = FJobs[static_cast<size_t>(FTaskJobs[static_cast<size_t>(ATask)])];
    return "job " + std::to_string(ATask + 1) + " (\"" + j.Job.SourceTitleExt + "\")";
}

// The window's events log line: local time, "-> ", the text.
void TBatchRun::EventsLogLine(const std::string& AText) {
    if (FLog)
        FLog << QDateTime::currentDateTime().toString("HH:mm:ss").toStdString() << " -> " << AText << '\n'
             << std::flush;
}

void TBatchRun::Json(QJsonObject AEvent) const {
    if (!C.Json) return;
    AEvent["time"] = FClock.elapsed() / 1000.0;
    const QByteArray line = QJsonDocument(AEvent).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void TBatchRun::Note(const std::string& ALine) {
    if (C.Quiet || C.Json) return;
    ClearStatusLine();
    std::fprintf(stderr, "%s\n", ALine.c_str());
    Redraw(true);
}

void TBatchRun::Error(const std::string& ALine) {
    ClearStatusLine();
    std::fprintf(stderr, "%s: %s\n", kProgram, ALine.c_str());
    Redraw(true);
}

void TBatchRun::ClearStatusLine() {
    if (!FStatusShown) return;
    std::fputs("\r\033[K", stderr);
    FStatusShown = false;
}

// The terminal's one status line: jobs done of all, the running jobs' percentages, elapsed and
// the estimated rest (from the share done so far).
void TBatchRun::Redraw(bool AForce) {
    if (!FTerminal || FFinished || FTaskJobs.empty()) return;
    const qint64 now = FClock.elapsed();
    if (!AForce && now - FLastRedraw < 200) return;
    FLastRedraw = now;
    double share = 0;
    std::string running;
    for (int task : FTaskJobs) {
        const TBatchJob& j = FJobs[static_cast<size_t>(task)];
        share += j.State == TBatchJob::jsRunning ? j.Percent / 100 : j.State == TBatchJob::jsWaiting ? 0 : 1;
        if (j.State == TBatchJob::jsRunning)
            running += " " + j.Job.SourceTitleExt.substr(0, 24) + " " + std::to_string(std::lround(j.Percent)) + "%";
    }
    const double elapsed = now / 1000.0;
    const double total = FTaskJobs.size();
    std::string line = "[" + std::to_string(FDone + FFailed) + "/" + std::to_string(FJobs.size()) + "]" + running +
                       "  " + ClockText(elapsed);
    if (share > 0.02) line += " / ~" + ClockText(elapsed / share * total);
    const int width = TerminalColumns();
    if (static_cast<int>(line.size()) > width - 1) line.resize(static_cast<size_t>(std::max(0, width - 1)));
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    FStatusShown = true;
}

}  // namespace

bool IsBatchInvocation(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") break;
        if (a == "--convert" || a == "--list-profiles" || a == "--help" || a == "-h" || a == "--version")
            return true;
    }
    return false;
}

int BatchMain(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    TCommandLine command;
    try {
        command = ParseCommandLine(args);
    } catch (const EUsageError& e) {
        std::fprintf(stderr, "%s: %s\n%s\n", kProgram, e.what(), UsageHint(kProgram).c_str());
        return 2;
    }
    if (command.Mode == TCommandLine::cmHelp) {
        std::fputs(UsageText(kProgram).c_str(), stdout);
        return 0;
    }
    if (command.Mode == TCommandLine::cmVersion) {
        std::fputs(VersionText().c_str(), stdout);
        return 0;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(SettingsOrganization);
    QCoreApplication::setApplicationName(SettingsApplication);
    InstallQtDispatcherHooks();
    try {
        TBatchRun run(command);
        return run.Run();
    } catch (const EUsageError& e) {
        std::fprintf(stderr, "%s: %s\n%s\n", kProgram, e.what(), UsageHint(kProgram).c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 1;
    }
}
