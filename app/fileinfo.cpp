#include "fileinfo.h"

#include <QGuiApplication>
#include <QScreen>

#include "ui_fileinfo.h"

TFileInfoForm::TFileInfoForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TFileInfoForm) {
    ui->setupUi(this);
    connect(ui->spSkinButton1, &QPushButton::clicked, this, &QDialog::accept);
}

TFileInfoForm::~TFileInfoForm() = default;

QLabel* TFileInfoForm::spSkinLabel2() const { return ui->spSkinLabel2; }
QLabel* TFileInfoForm::spSkinLabel3() const { return ui->spSkinLabel3; }
QLabel* TFileInfoForm::spSkinLabel6() const { return ui->spSkinLabel6; }
QLabel* TFileInfoForm::spSkinLabel7() const { return ui->spSkinLabel7; }
QLabel* TFileInfoForm::spSkinLabel8() const { return ui->spSkinLabel8; }

void TFileInfoForm::showEvent(QShowEvent* AEvent) {
    resize(width(), 250);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(AEvent);
}
