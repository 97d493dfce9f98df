#include "conversion.h"

#include "ui_conversion.h"

TConvForm::TConvForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TConvForm) { ui->setupUi(this); }

TConvForm::~TConvForm() = default;
