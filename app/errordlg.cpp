#include "errordlg.h"

#include <QStyle>

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

void TErrorForm::showEvent(QShowEvent* AEvent) {
    resize(width(), 245);
    QDialog::showEvent(AEvent);
}
