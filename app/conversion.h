// The conversion progress dialog: the current job, the gauges of the task and of the run, the
// end-of-run options and the pause and cancel buttons. Created once and reused, so the check
// boxes keep their state from one run to the next. Main thread only.
#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace Ui {
class TConvForm;
}
class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class TCustomEncoder;

class TConvForm : public QDialog {
    Q_OBJECT
public:
    explicit TConvForm(QWidget* AParent = nullptr);
    ~TConvForm() override;

    // The encoder the buttons drive, the window the dialog is centred on, and what Cancel
    // writes to the events log; set by the main window.
    void Attach(TCustomEncoder* AEncoder, QWidget* ACentreOn, std::function<void()> AOnCancel);

    QLabel* lblConvertingTitle() const;
    QProgressBar* ProgressCurrent() const;
    QProgressBar* ProgressTotal() const;
    QCheckBox* cbOpenOutput() const;
    QCheckBox* cbShutdownPC() const;
    QPushButton* PauseButton() const;
    QPushButton* CancelButton() const;

    // The converting label: the full text, shown cut with an ellipsis at the end.
    void SetConvertingTitle(const QString& AText);
    QString ConvertingTitle() const { return FConvertingTitle; }

    // The jobs in progress: the lowest-numbered one in the converting label and the task gauge,
    // each other one in a bar of its own under them (the dialog grows to hold them). A job being
    // verified says so in its bar ("Verifying...").
    void SetJobProgress(int ATask, const QString& ATitle, int APercent, bool AVerifying = false);
    void EndJob(int ATask);
    void ResetJobs();
    // A failed job, shown under the gauges while the run goes on (its tooltip lists them all);
    // ResetJobs clears them.
    void AddFailure(const QString& AJobName, const QString& AMessage);
    QLabel* lblFailures() const;
    // The bars of the jobs in progress besides the first, top to bottom.
    const std::vector<QProgressBar*>& JobBars() const { return FJobBars; }

    void PauseButtonClick();
    void CancelButtonClick();
    // Closes the dialog from code (end of run, task error, Cancel); the user cannot close it
    // otherwise (no title-bar buttons, Escape does nothing).
    void CloseForm();

    void reject() override {}

protected:
    void showEvent(QShowEvent* AEvent) override;  // FormShow
    void resizeEvent(QResizeEvent* AEvent) override;

private:
    std::unique_ptr<Ui::TConvForm> ui;
    TCustomEncoder* FEncoder = nullptr;
    QWidget* FCentreOn = nullptr;
    std::function<void()> FOnCancel;
    QString FConvertingTitle;
    struct TJobRow {
        QString Title;
        int Percent = 0;
        bool Verifying = false;
    };
    std::map<int, TJobRow> FJobs;
    QStringList FFailures;
    std::vector<QProgressBar*> FJobBars;
    // Widgets under the task gauge, at their designed places; moved down by the extra bars.
    std::vector<std::pair<QWidget*, QRect>> FBelow;
    void LayoutJobs();
    int FixedHeight() const;
};
