#include "errordlg.h"

#include <QStyle>
#include <thread>

#include "Dispatcher.h"

#include "ui_errordlg.h"

TErrorForm::TErrorForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TErrorForm) {
    ui->setupUi(this);
    // A title bar without system buttons: the dialog closes through Send or Cancel only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    ui->Image1->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
    connect(ui->PreviewButton, &QPushButton::clicked, this, &TErrorForm::PreviewButtonClick);
    connect(ui->spSkinButton1, &QPushButton::clicked, this, &TErrorForm::spSkinButton1Click);
}

TErrorForm::~TErrorForm() = default;

QLabel* TErrorForm::lblErrorText() const { return ui->lblErrorText; }
QLineEdit* TErrorForm::edName() const { return ui->edName; }
QLineEdit* TErrorForm::edEmail() const { return ui->edEmail; }
QPlainTextEdit* TErrorForm::memDetails() const { return ui->memDetails; }
QPushButton* TErrorForm::PreviewButton() const { return ui->PreviewButton; }
QPushButton* TErrorForm::spSkinButton1() const { return ui->spSkinButton1; }

void TErrorForm::PreviewButtonClick() { done(QDialog::Accepted); }
void TErrorForm::spSkinButton1Click() { done(QDialog::Rejected); }

void TErrorForm::done(int AResult) {
    // While a report is on its way the dialog closes only with the transfer's result.
    if (FSending) {
        FCancel = true;
        return;
    }
    QDialog::done(AResult);
}

TErrorForm::TSendResult TErrorForm::SendModal(
    const std::function<bool(const std::atomic<bool>& ACancel)>& ASend) {
    FCancel = false;
    FSending = true;
    const QString sendText = ui->PreviewButton->text();
    ui->PreviewButton->setEnabled(false);
    ui->PreviewButton->setText("Sending...");
    TSendResult result = srFailed;
    std::atomic<bool> ended{false};
    std::thread worker([&] {
        const bool sent = ASend(FCancel);
        Synchronize([&] {
            result = sent ? srSent : FCancel ? srCancelled : srFailed;
            FSending = false;
            QDialog::done(result == srSent ? QDialog::Accepted : QDialog::Rejected);
        });
        ended = true;
    });
    exec();
    WaitPumping([&] { return ended.load(); });
    worker.join();
    ui->PreviewButton->setText(sendText);
    ui->PreviewButton->setEnabled(true);
    return result;
}

void TErrorForm::showEvent(QShowEvent* AEvent) {
    resize(width(), 245);
    QDialog::showEvent(AEvent);
}
