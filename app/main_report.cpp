// The main window's events log, error report and operating-system calls.
#include "main_form.h"

#include <QApplication>
#include <QLocale>
#include <QPlainTextEdit>
#include <QTime>
#include <QWindow>
#include <atomic>

#include "AppShell.h"
#include "Convert.h"
#include "ErrorReport.h"
#include "errordlg.h"
#include "log.h"
#include "ui_main_form.h"

namespace {

// The system's long time format without a time-zone part.
QString LongTimeText() {
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove('t');
    return QLocale::system().toString(QTime::currentTime(), format.trimmed());
}

}  // namespace

void TMainForm::EventsLogLine(const QString& AText) {
    Forms.LogForm->AppendLine(LongTimeText() + AText);
}

void TMainForm::FFLoggerLog(TSender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg) {
    LoggerHistory << QString("#%1.%2: %3")
                         .arg(AThreadID)
                         .arg(static_cast<int>(ALogLevel))
                         .arg(QString::fromStdString(ALogMsg));
}

void TMainForm::ShowErrorReport(const QString& AMessage, const QString& AMark) {
    TErrorForm* form = Forms.ErrorForm;
    form->lblErrorText()->setText(AMessage);
    // Application-modal and stacked over the dialog the user is working in (the conversion
    // dialog during a run), so nothing under it can be pressed or cover it.
    form->setWindowModality(Qt::ApplicationModal);
    QWidget* over = QApplication::activeModalWidget();
    form->winId();
    if (over && over != form && over->windowHandle())
        form->windowHandle()->setTransientParent(over->windowHandle());
    const int answer = form->exec();
    form->windowHandle()->setTransientParent(nullptr);
    if (answer != QDialog::Accepted) return;

    const TReportMailAccount account = TReportMailAccount::Load();
    TReportMail mail;
    const QString email = form->edEmail()->text();
    if (email.contains('@')) mail.ReplyTo = email;  // the mail itself is the account's
    mail.To = account.Recipient;
    mail.Subject = ReportSubject;

    const QString rule(25, '-');
    LoggerHistory << rule << "ACTION HISTORY:";
    LoggerHistory << Forms.LogForm->Lines();
    LoggerHistory << rule << "LAST ERROR MESSAGE: " + AMessage << "CODE LINE MARK: " + AMark;
    if (!form->edName()->text().isEmpty()) LoggerHistory << "USER NAME: " + form->edName()->text();
    const QString details = form->memDetails()->toPlainText();
    if (!details.isEmpty()) LoggerHistory << "PROBLEM DETAILS:" << details.split('\n');
    mail.Body = LoggerHistory;

    // The transfer runs on a worker while the error dialog shows again with Cancel working;
    // input to this window stays blocked so no command starts in the middle of the report.
    setEnabled(false);
    const TErrorForm::TSendResult sent = form->SendModal([&](const std::atomic<bool>& ACancel) {
        QString error;
        return SendReportMail(account, mail, error, &ACancel);
    });
    setEnabled(true);
    if (sent == TErrorForm::srFailed) ShellOpen(ReportMailtoUrl(account.Recipient, AMessage, AMark));
}



QString TMainForm::PrepareSDLCopy(int AIndex) { return ::PrepareSDLCopy(AIndex); }

QString TMainForm::GetWindowsVersion() {
    try {
        return FSystem->GetWindowsVersion();
    } catch (const std::exception&) {
        ShowErrorReport("Error getting Windows Version", "CLM_GetWinVer");
        return {};
    }
}

void TMainForm::ShutdownComputer() {
    try {
        FSystem->ShutdownComputer();
    } catch (const std::exception&) {
        ShowErrorReport("Error trying shut down the Windows", "CLM_Shut");
    }
}

void TMainForm::SetSystemControl(std::unique_ptr<TSystemControl> ASystem) { FSystem = std::move(ASystem); }
