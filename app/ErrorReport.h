// The error report's mail: the account it is sent from, the SMTP transfer through libcurl and
// the "mailto:" text used when sending fails.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <atomic>

// The vendor's report account. The defaults are fixed at build time; the settings store may
// name another server, port, sender and recipient ("ReportServer", "ReportPort",
// "ReportSender", "ReportRecipient") and the certificates that verify the server
// ("ReportCAFile", else the system's).
struct TReportMailAccount {
    QString Host;
    int Port = 26;
    QString UserName;  // the report sender address
    QString Password;
    QString Sender;
    QString Recipient;
    QString CAFile;
    int ConnectTimeout = 15000;  // milliseconds to reach the server
    int Timeout = 60000;         // milliseconds for the whole transfer

    static TReportMailAccount Load();
};

extern const char* const ReportSubject;  // "ERROR REPORT | Quendral Audio Converter"

// The mail goes from the account's sender (envelope and "From:"); the user's own address, when
// given, is its "Reply-To:". Header values lose their line breaks.
struct TReportMail {
    QString ReplyTo;
    QString To;
    QString Subject;
    QStringList Body;
};

// Logs in with the account's user name and password and sends the mail as a MIME text/plain
// message, over TLS: STARTTLS is always asked for, and required when the account has a
// password (no login in clear). Blocking, within the account's time-outs; callable from any
// thread. Returns false with AError set on any failure, also when ACancel turned true (checked
// every 100 ms or sooner).
bool SendReportMail(const TReportMailAccount& AAccount, const TReportMail& AMail, QString& AError,
                    const std::atomic<bool>* ACancel = nullptr);

// "mailto:" + recipient + "?subject=...&body=" + message + " ;CODE LINE MARK:" + mark +
// ";  YOUR COMMENT (DETAILS):", with the subject and body values percent-encoded so that
// "&", "#", "%" or "?" in the message cannot break the URL apart.
QUrl ReportMailtoUrl(const QString& ARecipient, const QString& AMessage, const QString& AMark);
