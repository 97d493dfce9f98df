// Per-test surroundings of the GUI suites: a private home, settings store, temporary folder and
// program folder, the shell-open capture and the answering of modal dialogs.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>

#include "AppSetup.h"

class TAppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString Path(const QString& ARelative) const { return FRoot.filePath(ARelative); }
    // The program folder holds the shipped catalogue and pictures unless a test replaces them.
    QString ProfileFolder() const { return Path("app/audio-converter-profiles/"); }
    void WriteCatalogue(const QString& AText);  // replaces formats.dat, stored complemented
    QString SettingsFile() const;
    void WriteSettings(const std::function<void(class QSettings&)>& AWrite);

    // Answers every modal dialog that opens from now on with AAnswer (called once per showing).
    void AnswerModals(std::function<void(QWidget*)> AAnswer);
    // The messages of the error dialogs shown so far, when answered by CancelErrors.
    QStringList ErrorMessages;
    void CancelErrors();

    std::unique_ptr<TAppWindows> Start();

    QList<QUrl> Opened;  // what the program asked the shell to open

private:
    QTemporaryDir FRoot;
    std::unique_ptr<QTimer> FModalTimer;
    // Guarded: a dialog of the next window set may be created at the address of a destroyed one.
    QPointer<QWidget> FAnswered;
};

// Drives a combo box's drop-down: opens it, chooses AIndex (-1 keeps the choice) and closes it,
// then lets the close-up handler run.
void CloseUpWith(class QComboBox* ACombo, int AIndex);
void ProcessPending();
