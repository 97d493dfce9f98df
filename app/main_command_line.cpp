// The main window's part of the command line: the files and folders it was started with.
#include <QFileInfo>

#include "InputFiles.h"
#include "UserDialogs.h"
#include "main_form.h"

void TMainForm::AddCommandLineFiles(const QStringList& APaths) {
    if (APaths.isEmpty()) return;
    std::vector<std::string> paths;
    for (const QString& p : APaths) paths.push_back(QFileInfo(p).absoluteFilePath().toStdString());
    std::vector<std::string> errors;
    QStringList files;
    for (const TInputFile& f : ExpandInputs(paths, errors)) files << QString::fromStdString(f.Path);
    if (!errors.empty()) {
        QString text = "These could not be opened:";
        for (const std::string& e : errors) {
            text += "\n" + QString::fromStdString(e);
            EventsLogLine("-> File load error: " + QString::fromStdString(e));
        }
        ShowMessageBox(this, mkInformation, text);
    }
    if (files.isEmpty()) return;
    if (!LoadMediaLibraries("CLM_FFLoadAVLib2")) return;
    if (!PreviewLoadSDL()) return;
    AddFiles(files, true);
}
