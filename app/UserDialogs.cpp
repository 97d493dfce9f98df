#include "UserDialogs.h"

#include <QFileDialog>
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
    return dialog.selectedFiles();
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
