// The main window's output names: the names dialog, and each job's output planned before a run.
#include <QDir>
#include <filesystem>

#include "OutputNaming.h"
#include "Platform.h"
#include "UserDialogs.h"
#include "main_form.h"
#include "ui_main_form.h"

void TMainForm::OutputNamesClick() {
    TOutputNamesDialog dialog(this, [this](const TOutputNaming& ANaming) {
        if (AudioFiles.empty()) return QString();
        int r = CurrentRow() - 1;
        if (r < 0 || r >= static_cast<int>(AudioFiles.size())) r = 0;
        const std::vector<TAudioFile> job{AudioFiles[static_cast<size_t>(r)]};
        const std::vector<std::string> output =
            NameRunOutputs(job, Profiles, ui->edDestinationFolder->text().toStdString(), ANaming, false, {});
        return QDir::toNativeSeparators(QString::fromStdString(output.front()));
    });
    dialog.Execute();
}

bool TMainForm::PlanRunOutputs(bool AMerge, int AMergeJob) {
    TExistingPolicy policy = epAsk;
    const TOutputNaming naming = ReadNamingSettings(&policy);
    const TProfile* merged = AMerge ? JobProfile(AudioFiles[static_cast<size_t>(AMergeJob)], Profiles) : nullptr;
    const std::string joined =
        (OutputFolder + QDir::separator() + "Joined").toStdString() + (merged ? merged->FormatExt : std::string());
    std::vector<std::string> outputs =
        NameRunOutputs(AudioFiles, Profiles, OutputFolder.toStdString(), naming, AMerge, joined);

    // Outputs that exist: the policy, or the user's choice for each. What a file that takes an
    // output's name during the run gets follows the same choice.
    FRunExisting.assign(outputs.size(), ExistingOutputFor(policy));
    const std::vector<size_t> existing = ExistingOutputs(outputs);
    std::vector<TExistingPolicy> choices(existing.size(), policy);
    if (policy == epAsk && !existing.empty()) {
        std::vector<std::string> files;
        for (size_t k : existing) files.push_back(outputs[k]);
        if (!AskExistingOutputs(this, files, choices)) return false;
    }
    for (size_t c = 0; c < existing.size(); ++c) {
        const size_t k = existing[c];
        const std::string file = outputs[k];
        for (size_t i = 0; i < outputs.size(); ++i)
            if (outputs[i] == file) FRunExisting[i] = ExistingOutputFor(choices[c]);
        ResolveExistingOutput(outputs, k, choices[c]);
        if (choices[c] == epSkip)
            EventsLogLine("-> Skipped " + TaskName(AMerge ? 0 : static_cast<int>(k)) + ": the output file \"" +
                          QString::fromStdString(file) + "\" exists");
    }

    // Nothing starts when a job would write over a source.
    std::vector<std::string> planned;
    for (const std::string& o : outputs)
        if (!o.empty()) planned.push_back(o);
    const std::string refusal = CheckRunOutputs(AudioFiles, outputs, AMerge, outputs.front());
    if (!refusal.empty()) {
        EventsLogLine("-> " + QString::fromStdString(refusal));
        ShowMessageBox(this, mkWarning, QString::fromStdString(refusal));
        return false;
    }
    if (planned.empty()) {
        ShowMessageBox(this, mkInformation, "Nothing to convert: every output file exists and was skipped.");
        return false;
    }
    if (const std::string error = CreateOutputFolders(outputs); !error.empty()) {
        EventsLogLine("-> " + QString::fromStdString(error));
        ShowMessageBox(this, mkWarning, QString::fromStdString(error));
        return false;
    }
    FRunOutputs = std::move(outputs);
    return true;
}
