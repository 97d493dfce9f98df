// The file dialogs and message boxes of the windows, each behind one replaceable function so
// tests can answer them while the real handlers run. Main thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

// Open dialog: several existing files. AFilter is in the "name|patterns|..." form and
// AFilterIndex counts its pairs from 1. Returns the chosen files; empty when cancelled.
using TOpenDialogFn = std::function<QStringList(QWidget* AParent, const QString& ATitle,
                                                const QString& AInitialDir, const QString& AFilter,
                                                int AFilterIndex)>;
QStringList ExecuteOpenDialog(QWidget* AParent, const QString& ATitle, const QString& AInitialDir,
                              const QString& AFilter, int AFilterIndex);
void SetOpenDialog(TOpenDialogFn AFn);  // null restores the Qt dialog
// The names typed into a Qt file dialog's name box: each quoted name, or the whole text.
QStringList TypedFileNames(const class QFileDialog& ADialog);

// Folder chooser starting at ACurrent. Returns the chosen folder; empty when cancelled.
using TFolderDialogFn = std::function<QString(QWidget* AParent, const QString& ACurrent)>;
QString ExecuteFolderDialog(QWidget* AParent, const QString& ACurrent);
void SetFolderDialog(TFolderDialogFn AFn);

// A message box with one OK button.
enum TMessageKind { mkInformation, mkWarning, mkError };
using TMessageBoxFn = std::function<void(QWidget* AParent, TMessageKind AKind, const QString& AText)>;
void ShowMessageBox(QWidget* AParent, TMessageKind AKind, const QString& AText);
void SetMessageBox(TMessageBoxFn AFn);
