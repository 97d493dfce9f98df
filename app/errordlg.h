// The error dialog: shows a failure and asks whether to send the error report. Created once;
// the name, e-mail and details typed by the user stay for the next report.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TErrorForm;
}
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TErrorForm : public QDialog {
    Q_OBJECT
public:
    explicit TErrorForm(QWidget* AParent = nullptr);
    ~TErrorForm() override;

    QLabel* lblErrorText() const;
    QLineEdit* edName() const;
    QLineEdit* edEmail() const;
    QPlainTextEdit* memDetails() const;
    QPushButton* PreviewButton() const;
    QPushButton* spSkinButton1() const;

    void PreviewButtonClick();
    void spSkinButton1Click();

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    std::unique_ptr<Ui::TErrorForm> ui;
};
