#include "main_form.h"

#include "ui_main_form.h"

TMainForm::TMainForm(QWidget* AParent) : QMainWindow(AParent), ui(new Ui::TMainForm) {
    ui->setupUi(this);
}

TMainForm::~TMainForm() = default;
