// The main window's profiles panel: the profile and its settings, the estimates they give.
#include "main_form.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <QDropEvent>
#include <QMimeData>

#include "AppShell.h"
#include "Convert.h"
#include "ErrorReport.h"
#include "JobOptions.h"
#include "OpenFilter.h"
#include "ui_main_form.h"

namespace {

// Index of AValue among AValues, compared without regard to letter case; -1 when absent.
int ValueIndex(const std::vector<std::string>& AValues, const std::string& AValue) {
    for (size_t i = 0; i < AValues.size(); ++i)
        if (SameText(AValues[i], AValue)) return static_cast<int>(i);
    return -1;
}

}  // namespace

void TMainForm::SelectProfile(int AIndex) {
    ui->cmbProfile->setCurrentIndex(AIndex);
    cmbProfileClick();
}

void TMainForm::FillSettingCombos() {
    QComboBox* combos[] = {ui->cmbAudioBitRate, ui->cmbSampleRate, ui->cmbAudioEncoder, ui->cmbChannel};
    for (QComboBox* c : combos) c->clear();
    if (CurrentProfileInd < 0 || CurrentProfileInd >= static_cast<int>(Profiles.size())) return;
    const TProfile& p = Profiles[static_cast<size_t>(CurrentProfileInd)];
    auto fill = [](QComboBox* ACombo, const std::string& AList, const std::string& AChosen) {
        for (const std::string& label : SplitValueList(AList, false))
            ACombo->addItem(QString::fromStdString(label));
        ACombo->setCurrentIndex(ValueIndex(SplitValueList(AList, true), AChosen));
    };
    fill(ui->cmbSampleRate, p.SampleRates, p.SampleRate);
    fill(ui->cmbChannel, p.Channels, p.Channel);
    fill(ui->cmbAudioEncoder, p.AudioCodecs, p.AudioCodecName);
    fill(ui->cmbAudioBitRate, p.AudioBitRates, p.AudioBitRate);
}

void TMainForm::ApplyProfileSettings() {
    LastEditedProfileInd = CurrentProfileInd;
    try {
        if (CurrentProfileInd < 0 || CurrentProfileInd >= static_cast<int>(Profiles.size()))
            throw std::out_of_range("no profile selected");
        TProfile& p = Profiles[static_cast<size_t>(CurrentProfileInd)];
        const struct {
            QComboBox* Combo;
            const std::string& List;
            std::string& Chosen;
        } settings[] = {{ui->cmbSampleRate, p.SampleRates, p.SampleRate},
                        {ui->cmbChannel, p.Channels, p.Channel},
                        {ui->cmbAudioEncoder, p.AudioCodecs, p.AudioCodecName},
                        {ui->cmbAudioBitRate, p.AudioBitRates, p.AudioBitRate}};
        for (const auto& s : settings) {
            if (!s.Combo->isEnabled()) continue;
            const std::vector<std::string> values = SplitValueList(s.List, true);
            const int index = s.Combo->currentIndex();
            if (index < 0 || index >= static_cast<int>(values.size()))
                throw std::out_of_range("the selected setting has no value");
            s.Chosen = values[static_cast<size_t>(index)];
        }
    } catch (const std::exception&) {
        ShowErrorReport("Error setting profile", "CLM_SettingProfile");
    }
    UpdateAllEstimates();
}

void TMainForm::UpdateAllEstimates() {
    for (int i = 0; i < static_cast<int>(AudioFiles.size()); ++i) UpdateEstimatedSize(AudioFiles, Profiles, i);
    FAudioFilesModel->RepaintAll();
}

void TMainForm::cmbProfileClick() {
    const int selected = ui->cmbProfile->currentIndex();
    const int row = CurrentRow();
    if (row >= 1 && row <= static_cast<int>(AudioFiles.size()))
        AudioFiles[static_cast<size_t>(row - 1)].ProfileInd = selected;
    CurrentProfileInd = selected;
    RecentProfileInd = selected;
    if (ui->chApplyToAll->isChecked())
        for (TAudioFile& job : AudioFiles) job.ProfileInd = CurrentProfileInd;
    FillSettingCombos();
    UpdateAllEstimates();
}

void TMainForm::cmbAudioEncoderCloseUp() { ApplyProfileSettings(); }
void TMainForm::cmbSampleRateCloseUp() { ApplyProfileSettings(); }
void TMainForm::cmbAudioBitRateCloseUp() { ApplyProfileSettings(); }
void TMainForm::cmbChannelCloseUp() { ApplyProfileSettings(); }

void TMainForm::chApplyToAllClick() {
    if (!ui->chApplyToAll->isChecked()) return;
    for (TAudioFile& job : AudioFiles) job.ProfileInd = CurrentProfileInd;
    UpdateAllEstimates();
}

void TMainForm::sgListClick() {
    const int row = CurrentRow();
    if (row < 1 || row > static_cast<int>(AudioFiles.size())) return;
    CurrentProfileInd = AudioFiles[static_cast<size_t>(row - 1)].ProfileInd;
    SelectProfile(CurrentProfileInd);
}

// A selector's drop-down closing (whether or not the choice changed) runs its close-up
// handler. The popup hides before the combo box takes the clicked item, so the handler runs
// once the event that closed it is done.
void TMainForm::WatchCloseUp(QComboBox* ACombo) {
    ACombo->view()->window()->installEventFilter(this);
}

bool TMainForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (!ui) return QMainWindow::eventFilter(AWatched, AEvent);
    if (AWatched == ui->edDestinationTitle && AEvent->type() == QEvent::FocusOut) {
        edDestinationTitleExit();
        return false;
    }
    if (AWatched == ui->sgList->viewport() || AWatched == ui->GettingStartedPanel) {
        auto localFiles = [](const QMimeData* AData) {
            QStringList files;
            if (AData && AData->hasUrls())
                for (const QUrl& url : AData->urls())
                    if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
                        files << QDir::toNativeSeparators(url.toLocalFile());
            return files;
        };
        switch (AEvent->type()) {
            case QEvent::DragEnter:
            case QEvent::DragMove: {
                auto* e = static_cast<QDragMoveEvent*>(AEvent);
                if (!localFiles(e->mimeData()).isEmpty()) {
                    e->setDropAction(Qt::CopyAction);
                    e->accept();
                    return true;
                }
                break;
            }
            case QEvent::Drop: {
                auto* e = static_cast<QDropEvent*>(AEvent);
                const QStringList files = localFiles(e->mimeData());
                if (files.isEmpty()) break;
                e->setDropAction(Qt::CopyAction);
                e->accept();
                // The drag source waits for the drop to end; the files are added afterwards.
                QTimer::singleShot(0, this, [this, files] { AddDroppedFiles(files); });
                return true;
            }
            default: break;
        }
    }
    if (AEvent->type() == QEvent::Hide) {
        const std::pair<QComboBox*, void (TMainForm::*)()> handlers[] = {
            {ui->cmbAudioEncoder, &TMainForm::cmbAudioEncoderCloseUp},
            {ui->cmbSampleRate, &TMainForm::cmbSampleRateCloseUp},
            {ui->cmbAudioBitRate, &TMainForm::cmbAudioBitRateCloseUp},
            {ui->cmbChannel, &TMainForm::cmbChannelCloseUp}};
        for (const auto& [combo, handler] : handlers)
            if (AWatched == combo->view()->window())
                QTimer::singleShot(0, this, handler);
    }
    return QMainWindow::eventFilter(AWatched, AEvent);
}
