#include "ErrorReport.h"

#include <curl/curl.h>

#include <QSettings>
#include <memory>
#include <mutex>

const char* const ReportSubject = "ERROR REPORT | Quendral Audio Converter";

TReportMailAccount TReportMailAccount::Load() {
    QSettings settings("Quendral", "Quendral Audio Converter");
    TReportMailAccount a;
    a.Host = settings.value("ReportServer", QAC_REPORT_SERVER).toString();
    a.Port = settings.value("ReportPort", QAC_REPORT_PORT).toInt();
    a.Sender = settings.value("ReportSender", QAC_REPORT_SENDER).toString();
    a.Recipient = settings.value("ReportRecipient", QAC_REPORT_RECIPIENT).toString();
    a.UserName = a.Sender;
    a.Password = "valomiru";
    return a;
}

namespace {

struct TCurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
    void operator()(curl_mime* m) const { curl_mime_free(m); }
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
template <typename T>
using TCurlPtr = std::unique_ptr<T, TCurlDeleter>;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Header values must not carry line breaks into the message header.
QByteArray HeaderValue(const QString& AText) {
    QString s = AText;
    s.replace('\r', ' ').replace('\n', ' ');
    return s.toUtf8();
}

}  // namespace

bool SendReportMail(const TReportMailAccount& AAccount, const TReportMail& AMail, QString& AError) {
    InitCurlOnce();
    TCurlPtr<CURL> curl(curl_easy_init());
    if (!curl) {
        AError = "cannot create the mail transfer";
        return false;
    }
    CURL* c = curl.get();
    const QByteArray url = QString("smtp://%1:%2").arg(AAccount.Host).arg(AAccount.Port).toUtf8();
    const QByteArray user = AAccount.UserName.toUtf8(), password = AAccount.Password.toUtf8();
    const QByteArray from = "<" + HeaderValue(AMail.From) + ">";
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);

    TCurlPtr<curl_slist> recipients(
        curl_slist_append(nullptr, ("<" + HeaderValue(AMail.To) + ">").constData()));
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());

    curl_slist* rawHeaders = nullptr;
    for (const QByteArray& h : {"From: " + HeaderValue(AMail.From), "To: " + HeaderValue(AMail.To),
                                "Subject: " + HeaderValue(AMail.Subject)})
        rawHeaders = curl_slist_append(rawHeaders, h.constData());
    TCurlPtr<curl_slist> headers(rawHeaders);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

    TCurlPtr<curl_mime> mime(curl_mime_init(c));
    curl_mimepart* part = curl_mime_addpart(mime.get());
    const QByteArray body = AMail.Body.join("\r\n").toUtf8() + "\r\n";
    curl_mime_data(part, body.constData(), static_cast<size_t>(body.size()));
    curl_mime_type(part, "text/plain; charset=UTF-8");
    curl_mime_encoder(part, "quoted-printable");
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());

    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        AError = QString::fromUtf8(curl_easy_strerror(rc));
        return false;
    }
    return true;
}

QUrl ReportMailtoUrl(const QString& ARecipient, const QString& AMessage, const QString& AMark) {
    const QString body = AMessage + " ;CODE LINE MARK:" + AMark + ";  YOUR COMMENT (DETAILS):";
    const QByteArray text = "mailto:" + QUrl::toPercentEncoding(ARecipient, "@") + "?subject=" +
                            QUrl::toPercentEncoding(ReportSubject) + "&body=" +
                            QUrl::toPercentEncoding(body);
    return QUrl::fromEncoded(text, QUrl::StrictMode);
}
