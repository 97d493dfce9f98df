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
    QStringList files, roots;
    for (const TInputFile& f : ExpandInputs(paths, errors)) {
        files << QString::fromStdString(f.Path);
        roots << QString::fromStdString(f.Root);
    }
    // Paths that cannot be opened and files that are refused go into one summary box.
    QStringList unopened;
    for (const std::string& e : errors) {
        unopened << QString::fromStdString(e);
        EventsLogLine("-> File load error: " + QString::fromStdString(e));
    }
    if (files.isEmpty()) {
        if (!unopened.isEmpty()) ShowMessageBox(this, mkInformation, "These could not be opened:\n" + unopened.join('\n'));
        return;
    }
    if (!LoadMediaLibraries("CLM_FFLoadAVLib2")) return;
    if (!PreviewLoadSDL()) return;
    AddFiles(files, true, roots, unopened);
}
