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
    a.CAFile = settings.value("ReportCAFile").toString();
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
// CURLM and CURL may both be void: the multi handle has a deleter of its own.
struct TCurlMultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using TCurlMultiPtr = std::unique_ptr<CURLM, TCurlMultiDeleter>;

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

// Aborts the transfer once the caller's cancel flag is set (called by libcurl on every step).
int CancelCheck(void* AOpaque, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(AOpaque);
    return cancel && cancel->load() ? 1 : 0;
}

// The easy handle's stay in the multi handle.
struct TMultiAttach {
    CURLM* Multi;
    CURL* Easy;
    ~TMultiAttach() { curl_multi_remove_handle(Multi, Easy); }
};

}  // namespace

bool SendReportMail(const TReportMailAccount& AAccount, const TReportMail& AMail, QString& AError,
                    const std::atomic<bool>* ACancel) {
    InitCurlOnce();
    TCurlPtr<CURL> curl(curl_easy_init());
    TCurlMultiPtr multi(curl_multi_init());
    if (!curl || !multi) {
        AError = "cannot create the mail transfer";
        return false;
    }
    CURL* c = curl.get();
    const QByteArray url = QString("smtp://%1:%2").arg(AAccount.Host).arg(AAccount.Port).toUtf8();
    const QByteArray user = AAccount.UserName.toUtf8(), password = AAccount.Password.toUtf8();
    const QByteArray sender = HeaderValue(AAccount.Sender), from = "<" + sender + ">";
    const QByteArray caFile = AAccount.CAFile.toUtf8();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    curl_easy_setopt(c, CURLOPT_USE_SSL,
                     static_cast<long>(AAccount.Password.isEmpty() ? CURLUSESSL_TRY : CURLUSESSL_ALL));
    if (!caFile.isEmpty()) curl_easy_setopt(c, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(AAccount.ConnectTimeout));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(AAccount.Timeout));
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, CancelCheck);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(ACancel));

    TCurlPtr<curl_slist> recipients(
        curl_slist_append(nullptr, ("<" + HeaderValue(AMail.To) + ">").constData()));
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());

    QList<QByteArray> lines{"From: " + sender, "To: " + HeaderValue(AMail.To),
                            "Subject: " + HeaderValue(AMail.Subject)};
    if (!AMail.ReplyTo.isEmpty()) lines << "Reply-To: " + HeaderValue(AMail.ReplyTo);
    curl_slist* rawHeaders = nullptr;
    for (const QByteArray& h : lines) rawHeaders = curl_slist_append(rawHeaders, h.constData());
    TCurlPtr<curl_slist> headers(rawHeaders);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

    TCurlPtr<curl_mime> mime(curl_mime_init(c));
    curl_mimepart* part = curl_mime_addpart(mime.get());
    const QByteArray body = AMail.Body.join("\r\n").toUtf8() + "\r\n";
    curl_mime_data(part, body.constData(), static_cast<size_t>(body.size()));
    curl_mime_type(part, "text/plain; charset=UTF-8");
    curl_mime_encoder(part, "quoted-printable");
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());

    // Driven in steps of at most 100 ms, so the progress callback sees a cancel soon.
    if (curl_multi_add_handle(multi.get(), c) != CURLM_OK) {
        AError = "cannot start the mail transfer";
        return false;
    }
    const TMultiAttach attached{multi.get(), c};
    CURLcode rc = CURLE_OK;
    for (int running = 1; running;) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
        if (running && curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr) != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) rc = msg->data.result;
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
