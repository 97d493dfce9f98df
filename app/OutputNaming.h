// The window's output names: the settings they are kept in (read by the batch mode too), the
// names dialog, and the dialog that asks what to do with outputs that exist. Main thread only.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "JobOptions.h"
#include "OutputNames.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;

// The naming settings ("NamePattern", "KeepFolders", "ExistingOutputs"); defaults: the pattern
// that gives the source's name, no folder tree, ask.
TOutputNaming ReadNamingSettings(TExistingPolicy* APolicy = nullptr);
void WriteNamingSettings(const TOutputNaming& ANaming, TExistingPolicy APolicy);

// The "Output names" dialog: the pattern with a live example, the folder tree option and what
// happens when an output exists. AExample gives the example's text for a naming (the selected
// job's output path), or empty when there is no job.
class TOutputNamesDialog : public QDialog {
    Q_OBJECT
public:
    TOutputNamesDialog(QWidget* AParent, std::function<QString(const TOutputNaming&)> AExample);
    // Shows the settings, and writes them when the user accepts; true when accepted.
    bool Execute();

    QLineEdit* edNamePattern() const { return FPattern; }
    QLabel* lblNameExample() const { return FExample; }
    QCheckBox* chKeepFolders() const { return FKeepFolders; }
    QComboBox* cmbExistingOutputs() const { return FExisting; }
    QPushButton* OkButton() const { return FOk; }
    TOutputNaming Naming() const;
    TExistingPolicy Policy() const;

private:
    std::function<QString(const TOutputNaming&)> FExampleOf;
    QLineEdit* FPattern;
    QLabel* FExample;
    QCheckBox* FKeepFolders;
    QComboBox* FExisting;
    QPushButton* FOk;
    void UpdateExample();
};

// The dialog before a run whose outputs exist: it lists them and asks, one at a time or for all
// at once, to overwrite, skip or rename each. False when the user cancels the run; else
// AChoices holds one choice per file of AFiles.
bool AskExistingOutputs(QWidget* AParent, const std::vector<std::string>& AFiles,
                        std::vector<TExistingPolicy>& AChoices);
