#include "conversion.h"

#include <QProgressBar>

#include "FFEncode.h"
#include "ui_conversion.h"

TConvForm::TConvForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TConvForm) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    FConvertingTitle = ui->lblConvertingTitle->text();
    connect(ui->PauseButton, &QPushButton::clicked, this, &TConvForm::PauseButtonClick);
    connect(ui->CancelButton, &QPushButton::clicked, this, &TConvForm::CancelButtonClick);
    for (QWidget* w : {static_cast<QWidget*>(ui->ProgressTotal), static_cast<QWidget*>(ui->cbOpenOutput),
                       static_cast<QWidget*>(ui->cbShutdownPC), static_cast<QWidget*>(ui->PauseButton),
                       static_cast<QWidget*>(ui->CancelButton), static_cast<QWidget*>(ui->lblFailures)})
        FBelow.emplace_back(w, w->geometry());
}

namespace {
constexpr int kJobRowHeight = 26;  // one extra job's bar and the gap under it
// The caption of a job's bar while its output is decoded back.
constexpr const char* kVerifyingFormat = "Verifying... %p%";
}

void TConvForm::SetJobProgress(int ATask, const QString& ATitle, int APercent, bool AVerifying) {
    TJobRow& row = FJobs[ATask];
    if (!ATitle.isEmpty()) row.Title = ATitle;
    row.Percent = APercent;
    row.Verifying = AVerifying;
    LayoutJobs();
}

void TConvForm::EndJob(int ATask) {
    if (FJobs.erase(ATask)) LayoutJobs();
}

void TConvForm::ResetJobs() {
    FJobs.clear();
    FFailures.clear();
    ui->lblFailures->clear();
    ui->lblFailures->setToolTip(QString());
    LayoutJobs();
}

void TConvForm::AddFailure(const QString& AJobName, const QString& AMessage) {
    FFailures << AJobName + ": " + AMessage;
    // Two lines: the job (cut in the middle when long), then what happened.
    const QString name = ui->lblFailures->fontMetrics().elidedText(AJobName, Qt::ElideMiddle, ui->lblFailures->width());
    ui->lblFailures->setText(FFailures.size() == 1 ? name + "\nfailed; the run goes on."
                                                   : name + QString("\nfailed (%1 jobs); the run goes on.").arg(FFailures.size()));
    ui->lblFailures->setToolTip(FFailures.join('\n'));
}

QLabel* TConvForm::lblFailures() const { return ui->lblFailures; }

int TConvForm::FixedHeight() const { return 205 + static_cast<int>(FJobBars.size()) * kJobRowHeight; }

void TConvForm::LayoutJobs() {
    const size_t extra = FJobs.empty() ? 0 : FJobs.size() - 1;
    while (FJobBars.size() > extra) {
        delete FJobBars.back();
        FJobBars.pop_back();
    }
    const QRect gauge = ui->ProgressCurrent->geometry();
    while (FJobBars.size() < extra) {
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 100);
        bar->setTextVisible(true);
        bar->setGeometry(gauge.translated(0, kJobRowHeight * static_cast<int>(FJobBars.size() + 1)));
        bar->show();
        FJobBars.push_back(bar);
    }
    size_t i = 0;
    for (const auto& [task, row] : FJobs) {
        if (i == 0) {
            if (!row.Title.isEmpty()) SetConvertingTitle(row.Title);
            ui->ProgressCurrent->setValue(row.Percent);
            ui->ProgressCurrent->setFormat(row.Verifying ? kVerifyingFormat : "%p%");
        } else {
            QProgressBar* bar = FJobBars[i - 1];
            bar->setValue(row.Percent);
            const int room = bar->width() - (row.Verifying ? 110 : 60);
            bar->setFormat(bar->fontMetrics().elidedText(row.Title, Qt::ElideRight, room) + "  " +
                           (row.Verifying ? kVerifyingFormat : "%p%"));
        }
        ++i;
    }
    if (FJobs.empty()) ui->ProgressCurrent->setFormat("%p%");
    for (const auto& [widget, designed] : FBelow)
        widget->setGeometry(designed.translated(0, kJobRowHeight * static_cast<int>(extra)));
    if (isVisible()) setFixedHeight(FixedHeight());
}

TConvForm::~TConvForm() = default;

void TConvForm::Attach(TCustomEncoder* AEncoder, QWidget* ACentreOn, std::function<void()> AOnCancel) {
    FEncoder = AEncoder;
    FCentreOn = ACentreOn;
    FOnCancel = std::move(AOnCancel);
}

QLabel* TConvForm::lblConvertingTitle() const { return ui->lblConvertingTitle; }
QProgressBar* TConvForm::ProgressCurrent() const { return ui->ProgressCurrent; }
QProgressBar* TConvForm::ProgressTotal() const { return ui->ProgressTotal; }
QCheckBox* TConvForm::cbOpenOutput() const { return ui->cbOpenOutput; }
QCheckBox* TConvForm::cbShutdownPC() const { return ui->cbShutdownPC; }
QPushButton* TConvForm::PauseButton() const { return ui->PauseButton; }
QPushButton* TConvForm::CancelButton() const { return ui->CancelButton; }

void TConvForm::SetConvertingTitle(const QString& AText) {
    FConvertingTitle = AText;
    QLabel* label = ui->lblConvertingTitle;
    label->setText(label->fontMetrics().elidedText(AText, Qt::ElideRight, label->width()));
    label->setToolTip(AText);
}

void TConvForm::PauseButtonClick() {
    if (ui->PauseButton->text() == "Pause") {
        if (FEncoder) FEncoder->Pause();
        ui->PauseButton->setText("Resume");
    } else {
        if (FEncoder) FEncoder->Resume();
        ui->PauseButton->setText("Pause");
    }
}

void TConvForm::CancelButtonClick() {
    if (FOnCancel) FOnCancel();
    CloseForm();
}

void TConvForm::CloseForm() {
    if (isVisible()) done(QDialog::Accepted);
}

void TConvForm::showEvent(QShowEvent* AEvent) {
    setFixedHeight(FixedHeight());
    if (FCentreOn) {
        QRect frame = frameGeometry();
        frame.moveCenter(FCentreOn->frameGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(AEvent);
}

void TConvForm::resizeEvent(QResizeEvent* AEvent) {
    QDialog::resizeEvent(AEvent);
    SetConvertingTitle(FConvertingTitle);
}
