#include "clip.h"

#include "ui_clip.h"

TClipForm::TClipForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TClipForm) { ui->setupUi(this); }

TClipForm::~TClipForm() = default;
