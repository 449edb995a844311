#pragma once

#include <atomic>
#include <string>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include "qvalue.h"

// One HTTP request over libcurl's easy interface, and the web API's reply envelope
// {"code", "msg", "data"}. Held by std::shared_ptr; performed once, on one thread.
class HRequest : public QObject
{
    Q_OBJECT

public:
    enum Method : quint8 { Get = 0, Post = 1, Head = 2 };

    // Replies larger than this end the transfer with libcurl's write error (23).
    static constexpr qint64 MaxReplyBytes = 16 * 1024 * 1024;

    explicit HRequest(QObject *parent = nullptr);
    explicit HRequest(const QString &url, QObject *parent = nullptr);
    ~HRequest() override;

    void setUrl(const QString &url);
    void setMethod(quint8 method);
    void setRawBytes(bool rawBytes);
    void setTimeout(int seconds);
    void setBody(const QString &body);

    // Appends "key=value" with the value percent-encoded (UTF-8, unreserved bytes kept).
    void addParam(const QString &key, const QString &value);
    // Appends the header line "name:value".
    void addHeader(const QString &name, const QString &value);

    QString url() const;
    QStringList params() const;
    // The URL followed by the parameters joined with "&" (no "?" is inserted).
    std::string fullUrl() const;

    // Runs the transfer into `reply`: 0, a libcurl code, an HTTP status other than 200, or -1.
    int perform(QByteArray *reply);
    // perform() and parseResult() on the calling thread.
    bool requestJson(QValue &data, QString &error);
    // Checks the reply envelope; emits tokenInvalid() first when "code" is 4. Never throws.
    bool parseResult(const QByteArray &reply, QValue &data, QString &error);
    static QString errorText(int code);

    // Performs and emits jsonFinished() or bytesFinished().
    void run();
    qint64 contentLength() const;

    // True while some object is connected to jsonFinished() or bytesFinished().
    bool hasListener() const;
    // Cuts a running transfer off at libcurl's next progress call (it then fails with
    // libcurl's code 42); a transfer not yet started ends at once. Any thread.
    void abandon();

signals:
    void tokenInvalid();
    void jsonFinished(bool ok, const QValue &data, const QString &error);
    void bytesFinished(bool ok, const QByteArray &bytes, const QString &error);

private:
    static size_t onHeader(char *buffer, size_t size, size_t count, void *userData);
    static size_t onWrite(char *data, size_t size, size_t count, void *userData);
    static int onProgress(void *userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    curl_slist *m_headers = nullptr;
    QString m_url;
    QByteArray m_body;
    quint8 m_method = Post;
    bool m_rawBytes = false;
    QStringList m_params;
    int m_timeout = 10;
    qint64 m_contentLength = 0;
    std::atomic<bool> m_abandoned {false};
};
