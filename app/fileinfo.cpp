#include "fileinfo.h"

#include "ui_fileinfo.h"

TFileInfoForm::TFileInfoForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TFileInfoForm) { ui->setupUi(this); }

TFileInfoForm::~TFileInfoForm() = default;
