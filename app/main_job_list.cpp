// The main window's job list: adding, removing, moving and renaming jobs; the file information.
#include "main_form.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <QProgressDialog>
#include <QLabel>
#include <limits>

#include "AppShell.h"
#include "FFEncode.h"
#include "JobOptions.h"
#include "OpenFilter.h"
#include "UserDialogs.h"
#include "clip.h"
#include "fileinfo.h"
#include "log.h"
#include "ui_main_form.h"

namespace {

// File name of a path, without folder.
QString FileNameOf(const QString& APath) { return QFileInfo(APath).fileName(); }

}  // namespace

QString TMainForm::LibraryFolder() const { return ApplicationFolder() + "LibAV"; }

bool TMainForm::LoadMediaLibraries(const QString& AMark) {
    if (FFEncoder->AVLibLoaded()) return true;
    if (FFEncoder->LoadAVLib(LibraryFolder().toStdString())) return true;
    const QString message = QString::fromStdString(FFEncoder->LastErrMsg());
    ShowErrorReport(message, AMark);
    EventsLogLine("-> " + message);
    return false;
}

void TMainForm::SetListCommandsEnabled(bool AEnabled) {
    // The preview's buttons too: with no job there is nothing to play.
    for (QWidget* w : {static_cast<QWidget*>(ui->EditButton), static_cast<QWidget*>(ui->ClipButton),
                       static_cast<QWidget*>(ui->SettingsButton), static_cast<QWidget*>(ui->PlayButton),
                       static_cast<QWidget*>(ui->PauseButton), static_cast<QWidget*>(ui->StopButton)})
        w->setEnabled(AEnabled);
    for (QAction* a : {ui->Remove2, ui->ClearAll2, ui->Rename2, ui->MoveUp2, ui->MoveDown2, ui->TrimAudio1,
                       ui->FileInformation1})
        a->setEnabled(AEnabled);
}

void TMainForm::RefreshList(int ARow) {
    FAudioFilesModel->Reload();
    if (ARow >= 1 && ARow <= static_cast<int>(AudioFiles.size())) SetCurrentRow(ARow);
}

void TMainForm::AddButtonClick() {
    if (FAdding) return;
    if (!LoadMediaLibraries("CLM_FFLoadAVLib2")) return;
    if (!PreviewLoadSDL()) return;
    const QStringList files =
        ExecuteOpenDialog(this, dlgopen.Title, dlgopen.InitialDir, dlgopen.Filter, dlgopen.FilterIndex);
    if (files.isEmpty()) return;
    dlgopen.Files = files;
    dlgopen.InitialDir = QFileInfo(files.first()).path();
    AddFiles(files);
}

void TMainForm::AddDroppedFiles(const QStringList& AFiles) {
    if (FAdding || AFiles.isEmpty()) return;
    // Dropped folders add their files as folders on the command line do.
    for (const QString& f : AFiles)
        if (QFileInfo(f).isDir()) return AddCommandLineFiles(AFiles);
    if (!LoadMediaLibraries("CLM_FFLoadAVLib2")) return;
    if (!PreviewLoadSDL()) return;
    AddFiles(AFiles);
}

// The progress box of adding ACount files: shown by AddFiles between files once adding takes a
// while, never by a timer of its own.
std::unique_ptr<QProgressDialog> TMainForm::NewAddingProgress(qsizetype ACount) {
    auto progress = std::make_unique<QProgressDialog>("Adding files...", "Cancel", 0, static_cast<int>(ACount), this);
    progress->setWindowTitle("Open file");
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(std::numeric_limits<int>::max());
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    return progress;
}

// One box for the whole list of ARefused of ATotal files; a long one names the first refusals,
// the events log has them all.
void TMainForm::ShowRefusedFiles(const QStringList& ARefused, qsizetype ATotal) {
    constexpr int kShown = 15;
    QString text = QString("%1 of %2 files were not added:\n").arg(ARefused.size()).arg(ATotal) +
                   QStringList(ARefused.mid(0, kShown)).join('\n');
    if (ARefused.size() > kShown)
        text += QString("\n... and %1 more (see the events log).").arg(ARefused.size() - kShown);
    ShowMessageBox(this, mkInformation, text);
}

void TMainForm::AddFiles(const QStringList& AFiles, bool ASummary, const QStringList& ARoots,
                         const QStringList& AUnopened) {
    QStringList refused = AUnopened;
    FAdding = true;
    ui->GettingStartedPanel->hide();
    ui->sgList->show();
    SetListCommandsEnabled(true);

    // Probing runs here on the main thread, one file at a time; between files the window is
    // repainted, and a list that takes a while shows its progress, which can cancel the rest.
    // The progress box is shown only here, between files, never by a timer of its own: it must
    // not open over a message box the user has to answer.
    std::unique_ptr<QProgressDialog> progress = AFiles.size() > 1 ? NewAddingProgress(AFiles.size()) : nullptr;
    QElapsedTimer elapsed;
    elapsed.start();
    TFFDecoder* probe = FFEncoder->Decoder();
    // The window and the progress box are brought up to date every few milliseconds, not for
    // every file: a long list adds at the speed of the probe.
    qint64 shown = -1000;
    for (int i = 0; i < AFiles.size(); ++i) {
        const QString& file = AFiles[i];
        if (FCloseRequested) break;
        if (elapsed.elapsed() - shown >= 15) {
            shown = elapsed.elapsed();
            if (progress) {
                if (progress->wasCanceled()) break;
                progress->setLabelText(
                    QString("Adding files... %1 of %2\n%3").arg(i + 1).arg(AFiles.size()).arg(FileNameOf(file)));
                progress->setValue(i);
                if (!progress->isVisible() && elapsed.elapsed() >= 400) progress->show();
            }
            QCoreApplication::processEvents();
            if (FCloseRequested || (progress && progress->wasCanceled())) break;
        }
        TAudioFile job;
        TJobRefusal refusal;
        if (!ProbeNewJob(*probe, file.toStdString(), CurrentProfileInd, job, refusal)) {
            Forms.LogForm->AppendLine(QString());
            EventsLogLine("-> " + QString::fromStdString(refusal.LogText));
            Forms.LogForm->AppendLine(QString());
            if (ASummary)
                refused << QString::fromStdString(refusal.Message);
            else
                ShowMessageBox(this, mkInformation, QString::fromStdString(refusal.Message));
            continue;
        }
        if (i < ARoots.size()) job.Root = ARoots[i].toStdString();
        EventsLogLine("-> Added file " + file);
        FAudioFilesModel->Append(std::move(job));
        UpdateEstimatedSize(AudioFiles, Profiles, static_cast<int>(AudioFiles.size()) - 1);
    }
    progress.reset();
    if (!refused.isEmpty()) ShowRefusedFiles(refused, AFiles.size() + AUnopened.size());

    ui->Notebook1->setCurrentIndex(1);
    if (!AudioFiles.empty()) {
        if (CurrentRow() < 1) SetCurrentRow(1);
        sgListClick();
    }
    FAdding = false;
    if (FCloseRequested) {
        FCloseRequested = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void TMainForm::EditButtonClick() { Remove1Click(); }

void TMainForm::ClipButtonClick() {
    if (FAdding || !Forms.ClipForm) return;
    const int r = CurrentRow();
    if (r < 1 || r > static_cast<int>(AudioFiles.size())) return;
    PreviewStop();
    Forms.ClipForm->exec();
}

void TMainForm::Remove1Click() {
    if (FAdding) return;
    const int n = static_cast<int>(AudioFiles.size());
    if (n == 0) return;
    const int r = CurrentRow();
    if (n == 1 && r == 1) {
        ClearAll1Click();
        return;
    }
    if (r < 1 || r > n) return;
    // Several selected rows go together; the row after the first of them becomes current.
    std::vector<int> rows;
    for (const QModelIndex& i : ui->sgList->selectionModel()->selectedRows())
        if (i.row() < n) rows.push_back(i.row());
    if (rows.size() > 1) {
        if (static_cast<int>(rows.size()) == n) {
            ClearAll1Click();
            return;
        }
        std::sort(rows.begin(), rows.end());
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) AudioFiles.erase(AudioFiles.begin() + *it);
        RefreshList(std::min(rows.front() + 1, static_cast<int>(AudioFiles.size())));
        return;
    }
    for (int i = r; i <= n - 1; ++i) SwapAudioFiles(i - 1, i);
    AudioFiles.pop_back();
    RefreshList(std::min(r, n - 1));
}

void TMainForm::ClearAll1Click() {
    if (FAdding) return;
    ui->edDestinationTitle->hide();
    AudioFiles.clear();
    FAudioFilesModel->DropPlaceholderRow();
    SetListCommandsEnabled(false);
}

void TMainForm::MoveUp1Click() {
    if (FAdding) return;
    if (AudioFiles.size() < 2) return;
    const int r = CurrentRow();
    if (r > 1 && r <= static_cast<int>(AudioFiles.size())) {
        SwapAudioFiles(r - 2, r - 1);
        SetCurrentRow(r - 1);
    }
    FAudioFilesModel->RepaintAll();
}

void TMainForm::MoveDown1Click() {
    if (FAdding) return;
    if (AudioFiles.size() < 2) return;
    const int r = CurrentRow();
    if (r >= 1 && r < static_cast<int>(AudioFiles.size())) {
        SwapAudioFiles(r - 1, r);
        SetCurrentRow(r + 1);
    }
    FAudioFilesModel->RepaintAll();
}

void TMainForm::SwapAudioFiles(int A, int B) {
    std::swap(AudioFiles.at(static_cast<size_t>(A)), AudioFiles.at(static_cast<size_t>(B)));
}

void TMainForm::Rename1Click() {
    if (FAdding) return;
    const int r = CurrentRow();
    if (r >= 1 && r <= static_cast<int>(AudioFiles.size())) OpenTitleEditor(r);
}

void TMainForm::sgListMouseDown(const QModelIndex& AIndex) {
    if (AIndex.isValid() && AIndex.column() == 3 && AIndex.row() < static_cast<int>(AudioFiles.size()))
        OpenTitleEditor(AIndex.row() + 1);
}

void TMainForm::OpenTitleEditor(int ARow) {
    QLineEdit* editor = ui->edDestinationTitle;
    ui->sgList->scrollTo(FAudioFilesModel->index(ARow - 1, 3));
    const QRect cell = ui->sgList->visualRect(FAudioFilesModel->index(ARow - 1, 3));
    const QPoint topLeft = ui->sgList->viewport()->mapTo(editor->parentWidget(), cell.topLeft());
    editor->setGeometry(topLeft.x(), topLeft.y() - 1, ui->sgList->columnWidth(3), editor->height());
    editor->setText(QString::fromStdString(AudioFiles[static_cast<size_t>(ARow - 1)].DestinationTitle));
    editor->show();
    editor->raise();
    editor->setFocus();
    editor->selectAll();
}

void TMainForm::edDestinationTitleExit() {
    QLineEdit* editor = ui->edDestinationTitle;
    if (editor->isHidden()) return;
    const QString text = editor->text();
    editor->hide();  // before anything else: hiding moves the focus, which calls here again
    const int r = CurrentRow();
    if (r < 1 || r > static_cast<int>(AudioFiles.size())) return;
    // A title that cannot name a file is refused and the old one kept.
    const TProfile* profile = JobProfile(AudioFiles[static_cast<size_t>(r - 1)], Profiles);
    const QString refusal =
        DestinationTitleRefusal(text, profile ? QString::fromStdString(profile->FormatExt) : QString());
    if (!refusal.isEmpty()) {
        ShowMessageBox(this, mkWarning, refusal);
        return;
    }
    TAudioFile& job = AudioFiles[static_cast<size_t>(r - 1)];
    if (job.DestinationTitle != text.toStdString()) job.DestinationEdited = true;
    job.DestinationTitle = text.toStdString();
    FAudioFilesModel->RepaintAll();
}

QString DestinationTitleRefusal(const QString& ATitle, const QString& AExtension) {
    if (ATitle.trimmed().isEmpty()) return "The destination file name cannot be empty.";
    if (const qsizetype bytes = (ATitle + AExtension).toUtf8().size(); bytes > 255)
        return QString("The destination file name is too long: %1 bytes with its extension, at most 255.").arg(bytes);
    if (ATitle == "." || ATitle == "..") return "\"" + ATitle + "\" cannot be a destination file name.";
#ifdef _WIN32
    const QString forbidden = "\\/:*?\"<>|";
#else
    const QString forbidden = "/";
#endif
    for (const QChar c : ATitle)
        if (forbidden.contains(c) || c.unicode() < 32)
            return "The destination file name \"" + ATitle + "\" contains a character that file names cannot hold" +
                   (c.unicode() < 32 ? QString(".") : ": " + QString(c));
    return {};
}

void TMainForm::edDestinationTitleKeyPress(int AKey) {
    if (AKey != Qt::Key_Return && AKey != Qt::Key_Enter) return;
    edDestinationTitleExit();
    ui->sgList->setFocus();
}

// ---- file information

void TMainForm::FileInformation1Click() {
    if (FAdding) return;
    const int r = CurrentRow();
    if (r < 1 || r > static_cast<int>(AudioFiles.size())) return;
    const TAudioFile& job = AudioFiles[static_cast<size_t>(r - 1)];
    TFFDecoder* probe = FFEncoder->Decoder();
    if (!probe->LoadFile(job.Source)) {
        const QString error = QString::fromStdString(probe->LastErrMsg());
        Forms.LogForm->AppendLine(QString());
        EventsLogLine("-> File load error: " + error);
        Forms.LogForm->AppendLine(QString());
        ShowErrorReport("Error getting file info! " + error, "CLM_ProbeLoadFile");
        return;
    }
    TFileInfoForm* form = Forms.FileInfoForm;
    form->spSkinLabel2()->setText(FileNameOf(QString::fromStdString(job.Source)));
    form->spSkinLabel3()->setText(DurationText(probe->FileStreamInfo().Duration));
    // The first audio stream is the one a conversion takes; without one the labels stay empty.
    for (QLabel* label : {form->spSkinLabel6(), form->spSkinLabel7(), form->spSkinLabel8()}) label->clear();
    try {
        for (int i = 0; i < probe->StreamCount(); ++i) {
            if (!probe->IsAudioStream(i) || probe->IsVideoStream(i)) continue;
            const TAudioStreamInfo audio = probe->GetAudioStreamInfo(i);
            form->spSkinLabel7()->setText(QString::number(audio.Channels) + " channel");
            form->spSkinLabel6()->setText(QString::number(audio.SampleRate) + " Hz");
            form->spSkinLabel8()->setText(audio.BitRate <= 0 ? QString("is not preseted")
                                                             : QString::number(audio.BitRate / 1000) + " Kb");
            break;
        }
    } catch (const std::exception&) {
        ShowErrorReport("Error writing file info", "CLM_WriteFileInfo");
    }
    form->exec();
}
