// The events log, the logger history and the error report, the report mailed to a real SMTP
// server on 127.0.0.1 (aiosmtpd under Debian's python3, with STARTTLS unless a case says not).
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QUrlQuery>
#include <thread>

#include "AppTestEnv.h"
#include "ErrorReport.h"
#include "Platform.h"
#include "SilentServer.h"

namespace {

// One aiosmtpd server for one test; stopped by closing its input.
class TSmtpServer {
public:
    TSmtpServer(const QString& AFolder, const QString& AUser, double ADelay, bool ATls = true) : FFolder(AFolder) {
        QDir().mkpath(AFolder);
        QStringList args{QString(QAC_TEST_SOURCE_DIR) + "/smtp_server.py", AFolder, AUser, "valomiru",
                         QString::number(ADelay)};
        if (ATls) args << "tls";
        FProcess.start(QAC_PYTHON, args);
        if (FProcess.waitForReadyRead(20000)) Port = FProcess.readLine().trimmed().toInt();
        if (ATls) CertFile = AFolder + "/server-cert.pem";
    }
    ~TSmtpServer() {
        FProcess.closeWriteChannel();
        if (!FProcess.waitForFinished(5000)) FProcess.kill();
        FProcess.waitForFinished(2000);
    }
    QList<QJsonObject> Mails() const {
        QList<QJsonObject> mails;
        for (const QString& name : QDir(FFolder).entryList({"mail*.json"}, QDir::Files, QDir::Name)) {
            QFile f(FFolder + "/" + name);
            f.open(QIODevice::ReadOnly);
            mails << QJsonDocument::fromJson(f.readAll()).object();
        }
        return mails;
    }
    int Port = 0;
    QString CertFile;  // the certificate the server shows, when it offers STARTTLS

private:
    QString FFolder;
    QProcess FProcess;
};

// The text part of a mail, its quoted-printable soft breaks and escapes undone.
QString BodyText(const QJsonObject& AMail) {
    QByteArray data = AMail["data"].toString().toUtf8();
    const qsizetype b = data.indexOf("boundary=");
    const qsizetype part = data.indexOf("Content-Type: text/plain");
    if (b < 0 || part < 0) return {};
    const QByteArray boundary = "\r\n--" + data.mid(b + 9, data.indexOf("\r\n", b) - b - 9);
    const qsizetype start = data.indexOf("\r\n\r\n", part);
    const qsizetype end = data.indexOf(boundary, start);
    if (start < 0 || end < 0) return {};
    data = data.mid(start + 4, end - start - 4) + "\r\n";
    data.replace("=\r\n", "").replace("=\n", "");
    QByteArray out;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] == '=' && i + 2 < data.size()) {
            bool ok = false;
            const int v = data.mid(i + 1, 2).toInt(&ok, 16);
            if (ok) {
                out += static_cast<char>(v);
                i += 2;
                continue;
            }
        }
        out += data[i];
    }
    return QString::fromUtf8(out).replace("\r\n", "\n");
}

}  // namespace

class ErrorReportTest : public TAppTest {
protected:
    void UseServer(const TSmtpServer& AServer, const QString& ASender) {
        ASSERT_GT(AServer.Port, 0) << "the local SMTP server did not start";
        WriteSettings([&](QSettings& s) {
            s.setValue("ReportServer", "127.0.0.1");
            s.setValue("ReportPort", AServer.Port);
            s.setValue("ReportSender", ASender);
            s.setValue("ReportRecipient", "bugs@quendral.test");
            s.setValue("ReportCAFile", AServer.CertFile);
        });
    }
    // Answers the error dialog with Send after filling its fields.
    void SendWith(const QString& AName, const QString& AEmail, const QString& ADetails) {
        AnswerModals([=](QWidget* AModal) {
            if (auto* form = qobject_cast<TErrorForm*>(AModal)) {
                form->edName()->setText(AName);
                form->edEmail()->setText(AEmail);
                form->memDetails()->setPlainText(ADetails);
                form->PreviewButton()->click();
            }
        });
    }
};

TEST_F(ErrorReportTest, EventsLogLinesCarryTheTimeAndLoggerLinesReachTheHistory) {
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.EventsLogLine("-> Added file /music/a.mp3");
    app->LogForm->AppendLine("");
    const QStringList lines = app->LogForm->Lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith("-> Added file /music/a.mp3"));
    EXPECT_TRUE(lines[0].front().isDigit()) << lines[0].toStdString();
    EXPECT_EQ(lines[1], "");

    // A worker's log line arrives on the main thread as "#thread.level: message".
    uint32_t worker = 0;
    std::thread t([&] {
        worker = CurrentThreadID();
        TheLogger()->Log(nullptr, llError, "decoder failed");
    });
    while (form.LoggerHistory.size() < 2) QApplication::processEvents();
    t.join();
    EXPECT_EQ(form.LoggerHistory, (QStringList{"FFLOGGER HISTORY:", QString("#%1.3: decoder failed").arg(worker)}));
    form.FFLoggerLog(nullptr, 1234, llError, "x");
    EXPECT_EQ(form.LoggerHistory.last(), "#1234.3: x");

    // Tools > Events Log shows the log window modally; OK closes it and keeps its lines.
    bool shown = false;
    AnswerModals([&](QWidget* AModal) {
        if (AModal == app->LogForm.get()) {
            shown = true;
            AModal->findChild<QPushButton*>("OKButton")->click();
        }
    });
    form.findChild<QAction*>("oolsitem11")->trigger();
    EXPECT_TRUE(shown);
    EXPECT_EQ(app->LogForm->Lines().size(), 2);
}

TEST_F(ErrorReportTest, SentReportArrivesWithSenderSubjectAndBodySections) {
    TSmtpServer server(Path("mail"), "reports@quendral.test", 0.4);
    UseServer(server, "reports@quendral.test");
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.FFLoggerLog(nullptr, 7, llWarning, "probe warning");
    form.EventsLogLine("-> Started conversion");

    // The window keeps running its timers while the mail is on its way.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    SendWith("Ann", "not an address", "line one\nline two");
    QElapsedTimer clock;
    clock.start();
    form.ShowErrorReport("Conversion terminated with error: bad", "CLM_Terminate");
    EXPECT_GE(clock.elapsed(), 400);
    EXPECT_GE(ticks, 10);
    EXPECT_TRUE(form.isEnabled());
    EXPECT_TRUE(Opened.isEmpty());

    const auto mails = server.Mails();
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(mails[0]["from"].toString(), "reports@quendral.test");
    EXPECT_TRUE(mails[0]["tls"].toBool());  // STARTTLS before the login
    EXPECT_EQ(mails[0]["to"].toVariant().toStringList(), QStringList{"bugs@quendral.test"});
    const QString data = mails[0]["data"].toString();
    EXPECT_TRUE(data.contains("Subject: ERROR REPORT | Quendral Audio Converter")) << data.toStdString();
    EXPECT_TRUE(data.contains("From: reports@quendral.test"));
    const QString time = app->LogForm->Lines().first();
    const QString expected = "FFLOGGER HISTORY:\n#7.4: probe warning\n-------------------------\n"
                             "ACTION HISTORY:\n" + time + "\n-------------------------\n"
                             "LAST ERROR MESSAGE: Conversion terminated with error: bad\n"
                             "CODE LINE MARK: CLM_Terminate\nUSER NAME: Ann\nPROBLEM DETAILS:\n"
                             "line one\nline two\n";
    EXPECT_TRUE(BodyText(mails[0]).contains(expected)) << BodyText(mails[0]).toStdString();
    EXPECT_EQ(form.LoggerHistory.join('\n') + "\n", expected);

    // A second report repeats the first one's sections; an address typed by the user is where
    // replies go, the mail itself still comes from the account it logs in with.
    SendWith("", "user@home.test", "");
    form.ShowErrorReport("Error setting profile", "CLM_SettingProfile");
    const auto both = server.Mails();
    ASSERT_EQ(both.size(), 2);
    EXPECT_EQ(both[1]["from"].toString(), "reports@quendral.test");
    EXPECT_TRUE(both[1]["data"].toString().contains("\r\nReply-To: user@home.test\r\n"));
    EXPECT_TRUE(both[1]["data"].toString().contains("\r\nFrom: reports@quendral.test\r\n") ||
                both[1]["data"].toString().startsWith("From: reports@quendral.test\r\n"));
    const QString second = BodyText(both[1]);
    EXPECT_TRUE(second.startsWith(expected)) << second.toStdString();
    EXPECT_TRUE(second.trimmed().endsWith(
        "-------------------------\nLAST ERROR MESSAGE: Error setting profile\nCODE LINE MARK: CLM_SettingProfile"))
        << second.toStdString();
}

TEST_F(ErrorReportTest, RefusedLoginOpensTheMailtoTextWithEncodedValues) {
    TSmtpServer server(Path("mail"), "someone-else@quendral.test", 0);
    UseServer(server, "reports@quendral.test");
    auto app = Start();
    SendWith("", "", "");
    const QString message = "Cannot set output file: a&b #1 100% done? yes";
    app->MainForm->ShowErrorReport(message, "CLM_SetOutputFile");
    EXPECT_TRUE(server.Mails().isEmpty());
    ASSERT_EQ(Opened.size(), 1);
    const QUrl url = Opened[0];
    EXPECT_EQ(url.scheme(), "mailto");
    EXPECT_EQ(url.path(), "bugs@quendral.test");
    const QUrlQuery query(url);
    EXPECT_EQ(query.queryItems(QUrl::FullyDecoded).size(), 2);
    EXPECT_EQ(query.queryItemValue("subject", QUrl::FullyDecoded), "ERROR REPORT | Quendral Audio Converter");
    EXPECT_EQ(query.queryItemValue("body", QUrl::FullyDecoded),
              message + " ;CODE LINE MARK:CLM_SetOutputFile;  YOUR COMMENT (DETAILS):");
}

TEST_F(ErrorReportTest, CancelSendsNothingAndLeavesTheHistoryAsItWas) {
    TSmtpServer server(Path("mail"), "reports@quendral.test", 0);
    UseServer(server, "reports@quendral.test");
    auto app = Start();
    TMainForm& form = *app->MainForm;
    form.FFLoggerLog(nullptr, 1, llInfo, "kept");
    const QStringList before = form.LoggerHistory;
    int height = 0;
    AnswerModals([&](QWidget* AModal) {
        if (auto* f = qobject_cast<TErrorForm*>(AModal)) {
            height = f->height();
            EXPECT_EQ(f->lblErrorText()->text(), "Error loading SDL library");
            f->spSkinButton1()->click();
        }
    });
    form.ShowErrorReport("Error loading SDL library", "CLM_SDlLibLoad");
    EXPECT_EQ(height, 245);
    EXPECT_EQ(form.LoggerHistory, before);
    EXPECT_TRUE(server.Mails().isEmpty());
    EXPECT_TRUE(Opened.isEmpty());
}

TEST_F(ErrorReportTest, LineBreaksInTheUsersAddressCannotAddHeadersOrRecipients) {
    TSmtpServer server(Path("mail"), "reports@quendral.test", 0);
    UseServer(server, "reports@quendral.test");
    auto app = Start();
    SendWith("Eve", "user@home.test\r\nBcc: victim@evil.test\nX-Injected: 1", "");
    app->MainForm->ShowErrorReport("Error setting profile", "CLM_SettingProfile");
    const auto mails = server.Mails();
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(mails[0]["to"].toVariant().toStringList(), QStringList{"bugs@quendral.test"});
    const QString data = mails[0]["data"].toString();
    const QString header = data.left(data.indexOf("\r\n\r\n"));
    EXPECT_TRUE(header.contains("\r\nReply-To: user@home.test  Bcc: victim@evil.test X-Injected: 1\r\n") ||
                header.endsWith("\r\nReply-To: user@home.test  Bcc: victim@evil.test X-Injected: 1"))
        << header.toStdString();
    for (const QString& line : header.split("\r\n")) {
        EXPECT_FALSE(line.startsWith("Bcc:", Qt::CaseInsensitive)) << data.toStdString();
        EXPECT_FALSE(line.startsWith("X-Injected:", Qt::CaseInsensitive)) << data.toStdString();
    }
}

TEST_F(ErrorReportTest, AServerWithoutStartTlsGetsNoLoginInClearAndTheMailtoTextOpens) {
    TSmtpServer server(Path("mail"), "reports@quendral.test", 0, false);
    UseServer(server, "reports@quendral.test");
    auto app = Start();
    SendWith("", "", "");
    app->MainForm->ShowErrorReport("Error setting profile", "CLM_SettingProfile");
    EXPECT_TRUE(server.Mails().isEmpty());
    ASSERT_EQ(Opened.size(), 1);
    EXPECT_EQ(Opened[0].scheme(), "mailto");
}

TEST_F(ErrorReportTest, ASilentServerIsCancelledWithinASecondAndTimesOutWithoutCancel) {
    testmedia::SilentServer silent;
    WriteSettings([&](QSettings& s) {
        s.setValue("ReportServer", "127.0.0.1");
        s.setValue("ReportPort", silent.Port);
    });
    auto app = Start();
    TMainForm& form = *app->MainForm;
    TErrorForm* errorForm = app->ErrorForm.get();
    QElapsedTimer clock;
    bool sending = false;
    AnswerModals([&](QWidget* AModal) {
        auto* f = qobject_cast<TErrorForm*>(AModal);
        if (!f || f->Sending()) return;
        errorForm = f;
        f->PreviewButton()->click();
        QTimer::singleShot(300, f, [f, &clock, &sending] {
            sending = f->Sending() && !f->PreviewButton()->isEnabled() && f->isVisible();
            clock.start();
            f->spSkinButton1()->click();
        });
    });
    form.ShowErrorReport("Error setting profile", "CLM_SettingProfile");
    ASSERT_TRUE(clock.isValid()) << "Cancel was never pressed";
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(sending);
    EXPECT_TRUE(Opened.isEmpty());  // cancelled by the user: no mail program either
    EXPECT_TRUE(form.isEnabled());
    ASSERT_NE(errorForm, nullptr);
    EXPECT_TRUE(errorForm->PreviewButton()->isEnabled());

    // Without a cancel the transfer ends at its time-out.
    TReportMailAccount account = TReportMailAccount::Load();
    account.Timeout = 500;
    TReportMail mail{"", "bugs@quendral.test", ReportSubject, {"x"}};
    QString error;
    clock.restart();
    EXPECT_FALSE(SendReportMail(account, mail, error));
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_FALSE(error.isEmpty());
}
