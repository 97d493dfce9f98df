#include "log.h"

#include <QScreen>

#include "ui_log.h"

TLogForm::TLogForm(QWidget* AParent) : QDialog(AParent), ui(new Ui::TLogForm) {
    ui->setupUi(this);
    connect(ui->OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

TLogForm::~TLogForm() = default;

QPlainTextEdit* TLogForm::mmoLog() const { return ui->mmoLog; }

void TLogForm::AppendLine(const QString& ALine) { ui->mmoLog->appendPlainText(ALine); }

QStringList TLogForm::Lines() const {
    const QString text = ui->mmoLog->toPlainText();
    return text.isEmpty() && ui->mmoLog->document()->blockCount() <= 1 ? QStringList()
                                                                         : text.split('\n');
}

void TLogForm::showEvent(QShowEvent* AEvent) {
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    QDialog::showEvent(AEvent);
}

// The memo follows every edge, the OK button the lower right corner.
void TLogForm::resizeEvent(QResizeEvent* AEvent) {
    QDialog::resizeEvent(AEvent);
    const QSize s = size();
    ui->mmoLog->setGeometry(8, 8, s.width() - 16, s.height() - 52);
    ui->OKButton->move(s.width() - 88, s.height() - 36);
}
