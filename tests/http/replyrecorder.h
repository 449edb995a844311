#pragma once

#include <ostream>

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "qvalue.h"

// Receiver of web replies in tests: keeps every reply and the order of events.
class ReplyRecorder : public QObject
{
    Q_OBJECT

public:
    struct Reply
    {
        bool ok = false;
        QValue data;
        QString message;
        QByteArray bytes;
    };

    QList<Reply> replies;
    // "token" for tokenInvalid(), "reply" for a reply, in arrival order.
    QStringList events;

public slots:
    void onTestReponse(bool ok, const QValue &data, const QString &message);
    void onBytesReponse(bool ok, const QByteArray &bytes, const QString &message);
    void onTokenInvalid();
};

// Tiny raw TCP server on 127.0.0.1 for answers no HTTP server gives: it accepts one
// connection at a time, reads the request head and writes `answer` as it is, then closes.
class RawServer
{
public:
    explicit RawServer(const QByteArray &answer);
    ~RawServer();
    int port() const;

private:
    void serve();

    QByteArray m_answer;
    int m_socket = -1;
    int m_port = 0;
    struct Impl;
    Impl *m_impl = nullptr;
};

// Readable QString values in test failures.
void PrintTo(const QString &text, std::ostream *out);
