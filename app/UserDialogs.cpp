#include "UserDialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>

#include "OpenFilter.h"

namespace {
TOpenDialogFn GOpenDialog;
TFolderDialogFn GFolderDialog;
TMessageBoxFn GMessageBox;
}  // namespace

QStringList ExecuteOpenDialog(QWidget* AParent, const QString& ATitle, const QString& AInitialDir,
                              const QString& AFilter, int AFilterIndex) {
    if (GOpenDialog) return GOpenDialog(AParent, ATitle, AInitialDir, AFilter, AFilterIndex);
    QFileDialog dialog(AParent, ATitle, AInitialDir);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    const QStringList filters = QtNameFilters(AFilter);
    dialog.setNameFilters(filters);
    if (AFilterIndex >= 1 && AFilterIndex <= filters.size())
        dialog.selectNameFilter(filters[AFilterIndex - 1]);
    if (dialog.exec() != QDialog::Accepted) return {};
    // Names typed into the name box that the current filter hides are left out of
    // selectedFiles(); they were asked for, so they are added when they exist.
    QStringList files = dialog.selectedFiles();
    for (const QString& typed : TypedFileNames(dialog)) {
        const QFileInfo info(dialog.directory(), typed);
        if (info.isFile() && !files.contains(info.absoluteFilePath())) files << info.absoluteFilePath();
    }
    return files;
}

QStringList TypedFileNames(const QFileDialog& ADialog) {
    const auto* edit = ADialog.findChild<QLineEdit*>("fileNameEdit");
    if (!edit) return {};
    const QString text = edit->text().trimmed();
    if (!text.contains('"')) return text.isEmpty() ? QStringList() : QStringList{text};
    QStringList names;
    const QStringList parts = text.split('"');
    for (qsizetype i = 1; i < parts.size(); i += 2)
        if (!parts[i].isEmpty()) names << parts[i];
    return names;
}

void SetOpenDialog(TOpenDialogFn AFn) { GOpenDialog = std::move(AFn); }

QString ExecuteFolderDialog(QWidget* AParent, const QString& ACurrent) {
    if (GFolderDialog) return GFolderDialog(AParent, ACurrent);
    return QFileDialog::getExistingDirectory(AParent, QString(), ACurrent);
}

void SetFolderDialog(TFolderDialogFn AFn) { GFolderDialog = std::move(AFn); }

void ShowMessageBox(QWidget* AParent, TMessageKind AKind, const QString& AText) {
    if (GMessageBox) return GMessageBox(AParent, AKind, AText);
    switch (AKind) {
        case mkInformation: QMessageBox::information(AParent, "Information", AText); break;
        case mkWarning: QMessageBox::warning(AParent, "Warning", AText); break;
        case mkError: QMessageBox::critical(AParent, "Error", AText); break;
    }
}

void SetMessageBox(TMessageBoxFn AFn) { GMessageBox = std::move(AFn); }
