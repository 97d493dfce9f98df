#include "conversion.h"

#include "FFEncode.h"
#include "ui_conversion.h"

TConvForm::TConvForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TConvForm) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    FConvertingTitle = ui->lblConvertingTitle->text();
    connect(ui->PauseButton, &QPushButton::clicked, this, &TConvForm::PauseButtonClick);
    connect(ui->CancelButton, &QPushButton::clicked, this, &TConvForm::CancelButtonClick);
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
    setFixedHeight(205);
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
