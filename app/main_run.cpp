// The main window's conversion run: the start, the progress, the end (open folder, shutdown).
#include "main_form.h"

#include <QProgressBar>
#include <QDir>
#include <QFileInfo>
#include <cmath>

#include "AppShell.h"
#include "RunNotice.h"
#include "ErrorReport.h"
#include "FFEncode.h"
#include "JobOptions.h"
#include "Platform.h"
#include "UserDialogs.h"
#include "conversion.h"
#include "ui_main_form.h"

QString TMainForm::FallbackOutputFolder() {
#ifdef _WIN32
    return "c:\\quendral_temp";
#else
    return QDir::tempPath() + "/" + QString::fromStdString(UserFolderName("quendral_temp"));
#endif
}

void TMainForm::StartButtonClick() {
    if (FAdding) return;
    // Failures the steps do not report themselves (a value that is not a number, an encoder
    // that refuses the call) end the command with a message box and no run.
    try {
        StartConversion();
    } catch (const std::exception& e) {
        ShowMessageBox(this, mkError, QString::fromStdString(e.what()));
    }
}

void TMainForm::FillOptions(int AJob, bool AMerge, int AVolume, TInputOptions& AInput,
                            TOutputOptions& AOutput) const {
    TRunSettings settings;
    settings.Merge = AMerge;
    settings.Volume = AVolume;
    settings.Loudness = ui->cmbLoudness->currentIndex();
    settings.Verify = ui->chVerifyOutputs->isChecked();
    if (static_cast<size_t>(AJob) < FRunExisting.size()) settings.Existing = FRunExisting[static_cast<size_t>(AJob)];
    FillJobOptions(AudioFiles[static_cast<size_t>(AJob)], AJob, Profiles, settings,
                   AMerge ? std::string() : FRunOutputs[static_cast<size_t>(AJob)], AInput, AOutput);
}

void TMainForm::StartConversion() {
    // 1-2: jobs to convert; the merge limit.
    const int n = static_cast<int>(AudioFiles.size());
    if (n == 0) return;
    const bool merge = ui->chMerge->isChecked();
    if (merge && n >= 21) {
        ShowMessageBox(this, mkWarning, "Cannot merge more than 20 files.");
        return;
    }
    // 3: the output folder; every job's output and record, checked before any file is opened.
    if (!ChooseOutputFolder()) return;
    int mergeJob = CurrentRow() - 1;
    if (mergeJob < 0 || mergeJob >= n) mergeJob = 0;
    if (!PlanRunOutputs(merge, mergeJob)) return;
    const int volume = static_cast<int>(std::lround(ui->edVolume->value() * 256.0 / 100.0));
    std::vector<TInputOptions> inputs(static_cast<size_t>(n));
    std::vector<TOutputOptions> outputs(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) FillOptions(i, merge, volume, inputs[static_cast<size_t>(i)], outputs[static_cast<size_t>(i)]);
    // 4-5: the preview stops; the encoder is emptied and the records take their places.
    PreviewStop();
    FFEncoder->ClearTasks();
    InputOptionsList = std::move(inputs);
    OutputOptionsList = std::move(outputs);
    // 6-7: the tasks; 8-9: the run.
    if (AddRunTasks(merge, mergeJob)) RunTasks(merge);
}

// The output folder, or the fallback folder when it is missing (a folder of this user alone:
// others may not plant links there); false, said, when there is none.
bool TMainForm::ChooseOutputFolder() {
    OutputFolder = ui->edDestinationFolder->text();
    if (!OutputFolder.isEmpty() && QFileInfo(OutputFolder).isDir()) return true;
    const QString fallback = FallbackOutputFolder();
    ShowMessageBox(this, mkWarning, "Output folder does not exit. Converting to \"" + fallback + "\".");
    std::string refused;
    if (!MakePrivateFolder(Utf8ToPath(fallback.toStdString()), refused)) {
        ShowMessageBox(this, mkWarning, "Could not create temporary directory. Please choose another output folder.");
        return false;
    }
    OutputFolder = fallback;
    return true;
}

// 6: one task per job that runs, or one task with every such job as an input; 7: the merged
// output takes the job AMergeJob's profile. False, reported, when the encoder refuses one.
bool TMainForm::AddRunTasks(bool AMerge, int AMergeJob) {
    auto fail = [this](const QString& APrefix, const char* AMark) {
        const QString message = APrefix + QString::fromStdString(FFEncoder->LastErrMsg());
        ShowErrorReport(message, AMark);
        EventsLogLine("-> " + message);
        return false;
    };
    FTaskJob.clear();
    for (int i = 0; i < static_cast<int>(AudioFiles.size()); ++i) {
        if (FRunOutputs[static_cast<size_t>(i)].empty()) continue;  // skipped: its output exists
        const TAudioFile& job = AudioFiles[static_cast<size_t>(i)];
        TInputOptions* input = &InputOptionsList[static_cast<size_t>(i)];
        if (!AMerge || FTaskJob.empty()) FTaskJob.push_back(i);
        if (AMerge && FFEncoder->TasksCount() == 0) {
            if (FFEncoder->AddTask(job.Source, input) < 0) return fail("", "CLM_FFAddTaskToMerged");
        } else if (AMerge) {
            if (!FFEncoder->AddInputFile(0, job.Source, input)) return fail("", "CLM_FFAddInputFileToMerged");
        } else {
            const int task = FFEncoder->AddTask(job.Source, input);
            if (task < 0) return fail("", "CLM_FFAddTaskToMerged");
            TOutputOptions* output = &OutputOptionsList[static_cast<size_t>(i)];
            if (!FFEncoder->SetOutputFile(task, output->FileName, output))
                return fail("Cannot set output file: ", "CLM_SetOutputFile");
        }
    }
    if (AMerge) {
        TOutputOptions* output = &OutputOptionsList[static_cast<size_t>(AMergeJob)];
        output->Join = true;
        if (!FFEncoder->SetOutputFile(0, FRunOutputs.front(), output))
            return fail("Cannot set output file (Merge): ", "CLM_SetOutputFileMerge");
    }
    return true;
}

// 8-9: the tasks run, up to the chosen number at once (a merge is one task), while the
// conversion dialog shows the progress.
void TMainForm::RunTasks(bool AMerge) {
    EventsLogLine("-> Started conversion");
    FCancelled = false;
    FFailedTasks = 0;
    FRunFailures.clear();
    FRunClock.start();
    FRunTasks = FFEncoder->TasksCount();
    FRunMerged = AMerge;
    FRunThreads = AMerge ? 1 : std::min(ui->edSimultaneous->value(), FRunTasks);
    FTaskDone.assign(static_cast<size_t>(FRunTasks), 0.0);
    TConvForm* conv = Forms.ConvForm;
    conv->ResetJobs();
    conv->ProgressCurrent()->setValue(0);
    conv->ProgressTotal()->setValue(0);
    conv->SetConvertingTitle("Converting...");
    FFEncoder->Start(FRunThreads);
    conv->exec();
}

void TMainForm::FFEncoderProgress(PProgressInfo AProgressInfo) {
    const TProgressInfo& p = *AProgressInfo;
    const int j = p.TaskIndex;
    const int n = FFEncoder->TasksCount();
    // A total duration that is not known (0 or below) shows no progress within the task.
    const bool known = p.TotalDuration > 0;
    const int64_t current = std::clamp<int64_t>(known ? p.CurrentDuration * 100 / p.TotalDuration : 0, 0, 100);
    // The run's gauge: each ended task counts whole, each running one by its share done. One at
    // a time, every task before the reporting one has ended (its notice may still be on its way).
    if (static_cast<int>(FTaskDone.size()) < n) FTaskDone.resize(static_cast<size_t>(n), 0.0);
    if (FRunThreads <= 1)
        for (int k = 0; k < j && k < static_cast<int>(FTaskDone.size()); ++k) FTaskDone[static_cast<size_t>(k)] = 1.0;
    // A verifying task has converted all of its share; its own bar shows the verification.
    if (j >= 0 && j < static_cast<int>(FTaskDone.size()))
        FTaskDone[static_cast<size_t>(j)] =
            p.Verifying ? 1.0
            : known     ? std::clamp(static_cast<double>(p.CurrentDuration) / static_cast<double>(p.TotalDuration), 0.0, 1.0)
                        : 0.0;
    if (n > 0) {
        double done = 0;
        for (double d : FTaskDone) done += d;
        Forms.ConvForm->ProgressTotal()->setValue(std::clamp(static_cast<int>(std::lround(100.0 * done / n)), 0, 100));
    }
    QString title;
    if (const int job = TaskJob(j); job >= 0) {
        const TAudioFile& file = AudioFiles[static_cast<size_t>(job)];
        const TProfile* profile = JobProfile(file, Profiles);
        const std::string output = static_cast<size_t>(job) < FRunOutputs.size()
                                       ? PathToUtf8(Utf8ToPath(FRunOutputs[static_cast<size_t>(job)]).filename())
                                       : file.DestinationTitle + (profile ? profile->FormatExt : std::string());
        title = p.Verifying ? "Verifying \"" + QString::fromStdString(output) + "\""
                            : "Converting \"" + QString::fromStdString(file.SourceTitleExt) + "\" to \"" +
                                  QString::fromStdString(output) + "\"";
    }
    Forms.ConvForm->SetJobProgress(j, title, static_cast<int>(current), p.Verifying);
}

void TMainForm::FFEncoderTerminate(const TTerminateInfo& ATerminateInfo) {
    TConvForm* conv = Forms.ConvForm;
    // An ended task counts whole in the run's gauge and leaves the dialog's rows.
    if (const int j = ATerminateInfo.TaskIndex; j >= 0) {
        if (j < static_cast<int>(FTaskDone.size())) FTaskDone[static_cast<size_t>(j)] = 1.0;
        conv->EndJob(j);
    }
    // A task error goes to the events log and the conversion dialog, which goes on showing the
    // remaining tasks; the error report is offered once, when the run has ended.
    if (ATerminateInfo.Exception) {
        ++FFailedTasks;
        const QString message = "Conversion terminated with error: " + TaskName(ATerminateInfo.TaskIndex) + ": " +
                                QString::fromStdString(ATerminateInfo.ExceptionMsg);
        FRunFailures << message;
        EventsLogLine("-> " + message);
        conv->AddFailure(TaskName(ATerminateInfo.TaskIndex), QString::fromStdString(ATerminateInfo.ExceptionMsg));
    }
    if (ATerminateInfo.TaskIndex >= 0 && ATerminateInfo.Finished) {
        LogLoudness(ATerminateInfo.TaskIndex);
        LogRenamedOutputs(ATerminateInfo.TaskIndex);
    }
    if (ATerminateInfo.TaskIndex >= 0 && ATerminateInfo.Finished && ATerminateInfo.Verified != vrNone)
        EventsLogLine("-> " + TaskName(ATerminateInfo.TaskIndex) +
                      (ATerminateInfo.Verified == vrBitExact ? ": verified bit-exact" : ": verified length"));
    if (ATerminateInfo.TaskIndex < 0 && ATerminateInfo.Finished) {
        InputOptionsList.clear();
        OutputOptionsList.clear();
        // A run the user cancelled, or one in which a task failed, ends here: no success line,
        // no shutdown, no folder opening.
        if (FCancelled) {
            FCancelled = false;
            conv->CloseForm();
        } else if (FFailedTasks > 0) {
            const QString summary =
                QString("Conversion finished with errors: %1 of %2 jobs failed.").arg(FFailedTasks).arg(FRunTasks);
            EventsLogLine("-> " + summary);
            conv->CloseForm();
            NotifyRunEnded(this, FRunClock.elapsed(), FRunTasks - FFailedTasks, FFailedTasks);
            const QString first = FRunFailures.isEmpty() ? QString() : FRunFailures.first();
            ShowErrorReport(FFailedTasks == 1 ? first : summary + "\n" + FRunFailures.join('\n'), "CLM_Terminate");
        } else {
            const bool shutdown = conv->cbShutdownPC()->isChecked();
            if (shutdown) {
                SaveSettings();
                ShutdownComputer();
            } else {
                EventsLogLine("-> Conversion successfully done.");
                NotifyRunEnded(this, FRunClock.elapsed(), FRunTasks, 0);
            }
            conv->CloseForm();
            if (conv->cbOpenOutput()->isChecked() && !shutdown) ShellOpen(QUrl::fromLocalFile(OutputFolder));
        }
    }
}

// The events log line of a finished task's loudness, when the run measured it.
void TMainForm::LogLoudness(int ATask) {
    if (ui->cmbLoudness->currentIndex() <= 0 || ATask >= FFEncoder->TasksCount()) return;
    const TLoudness& l = FFEncoder->Tasks(ATask)->MeasuredLoudness();
    // The true peak where it was measured, else the sample peak.
    const QString peak = std::isnan(l.TruePeak) ? QString::asprintf("sample peak %.1f dBFS", l.SamplePeak)
                                                : QString::asprintf("true peak %.1f dBTP", l.TruePeak);
    EventsLogLine(QString("-> Loudness (%1) of %2: %3 LUFS, %4, gain %5 dB")
                      .arg(ui->cmbLoudness->currentText(), TaskName(ATask))
                      .arg(l.Integrated, 0, 'f', 1)
                      .arg(peak, QString::asprintf("%+.1f", l.Gain)));
}

// The events log line of each output of a finished task written under another name than planned:
// a file took the planned name during the run and the output was numbered past it.
void TMainForm::LogRenamedOutputs(int ATask) {
    if (ATask >= FFEncoder->TasksCount()) return;
    const TFFmpeg* task = FFEncoder->Tasks(ATask);
    const std::vector<std::string>& written = task->WrittenFiles();
    if (static_cast<int>(written.size()) != task->OutputCount()) return;
    for (int i = 0; i < task->OutputCount(); ++i) {
        const std::string& planned = task->OutputOptions(i).FileName;
        if (written[static_cast<size_t>(i)] == planned) continue;
        EventsLogLine(QString("-> %1: \"%2\" appeared during the run; the output is \"%3\"")
                          .arg(TaskName(ATask), QString::fromStdString(planned),
                               QString::fromStdString(written[static_cast<size_t>(i)])));
    }
}

int TMainForm::TaskJob(int ATask) const {
    // Before a planned run, task and job are one.
    const int job = FTaskJob.empty() ? ATask
                    : ATask >= 0 && ATask < static_cast<int>(FTaskJob.size()) ? FTaskJob[static_cast<size_t>(ATask)]
                                                                                : -1;
    return job >= 0 && job < static_cast<int>(AudioFiles.size()) ? job : -1;
}

QString TMainForm::TaskName(int ATask) const {
    if (ATask < 0) return "the conversion";
    if (ui->chMerge->isChecked() || FRunMerged) return "the merged file";
    const int job = TaskJob(ATask) >= 0 ? TaskJob(ATask) : ATask;
    if (job >= static_cast<int>(AudioFiles.size())) return QString("job %1").arg(job + 1);
    return QString("job %1 (\"%2\")")
        .arg(job + 1)
        .arg(QString::fromStdString(AudioFiles[static_cast<size_t>(job)].SourceTitleExt));
}

void TMainForm::ConvFormCancel() {
    FCancelled = true;
    FFEncoder->Stop(true);
    EventsLogLine("-> Conversion cancelled by user");
}

void TMainForm::spSkinButton1Click() {
    const QString folder = ExecuteFolderDialog(this, ui->edDestinationFolder->text());
    if (!folder.isEmpty()) ui->edDestinationFolder->setText(QDir::toNativeSeparators(folder));
}

void TMainForm::spSkinButton3Click() { ShellOpen(QUrl::fromLocalFile(ui->edDestinationFolder->text())); }

void TMainForm::chMergeClick() {}
