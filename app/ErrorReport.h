// The error report's mail: the account it is sent from, the SMTP transfer through libcurl and
// the "mailto:" text used when sending fails.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// The vendor's report account. The defaults are fixed at build time; the settings store may
// name another server, port, sender and recipient ("ReportServer", "ReportPort",
// "ReportSender", "ReportRecipient").
struct TReportMailAccount {
    QString Host;
    int Port = 26;
    QString UserName;  // the report sender address
    QString Password;
    QString Sender;
    QString Recipient;

    static TReportMailAccount Load();
};

extern const char* const ReportSubject;  // "ERROR REPORT | Quendral Audio Converter"

struct TReportMail {
    QString From;
    QString To;
    QString Subject;
    QStringList Body;
};

// Logs in with the account's user name and password and sends the mail as a MIME text/plain
// message. Blocking; callable from any thread. Returns false with AError set on any failure.
bool SendReportMail(const TReportMailAccount& AAccount, const TReportMail& AMail, QString& AError);

// "mailto:" + recipient + "?subject=...&body=" + message + " ;CODE LINE MARK:" + mark +
// ";  YOUR COMMENT (DETAILS):", with the subject and body values percent-encoded so that
// "&", "#", "%" or "?" in the message cannot break the URL apart.
QUrl ReportMailtoUrl(const QString& ARecipient, const QString& AMessage, const QString& AMark);
