// The error dialog: shows a failure and asks whether to send the error report. Created once;
// the name, e-mail and details typed by the user stay for the next report.
#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
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

    enum TSendResult { srSent, srFailed, srCancelled };
    // Shows the dialog again, modally, while ASend runs on a worker thread: Send is disabled, and
    // Cancel (or Esc) sets the flag ASend watches and waits for it to give up. ASend's result
    // reaches the main thread through the dispatcher and closes the dialog. Main thread only.
    TSendResult SendModal(const std::function<bool(const std::atomic<bool>& ACancel)>& ASend);
    bool Sending() const { return FSending; }

    void done(int AResult) override;

protected:
    void showEvent(QShowEvent* AEvent) override;

private:
    std::unique_ptr<Ui::TErrorForm> ui;
    // Main thread only, but FCancel, which the worker of SendModal reads.
    bool FSending = false;
    std::atomic<bool> FCancel{false};
};
