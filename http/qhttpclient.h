#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QList>
#include <QObject>
#include <QString>

#include "hrequest.h"

// Worker threads that perform queued requests in arrival order. The replies leave through
// each request's own signals, connected queued to their receivers.
class QHttpClient : public QObject
{
    Q_OBJECT

public:
    explicit QHttpClient(QObject *parent = nullptr);
    // Stops the workers when nobody did.
    ~QHttpClient() override;

    static std::unique_ptr<QHttpClient> &instance();

    // Starts n more workers.
    void start(int n);
    // Returns after every queued request has been performed and every worker has ended.
    void stop();
    // stop() for the program's exit: nobody will read a reply any more, so queued requests
    // without a listener are dropped and running ones without a listener are cut off; those
    // with a listener are still performed.
    void shutdown();
    void addRequest(const std::shared_ptr<HRequest> &request);
    int workerCount() const;

    void get(const QString &url, QObject *receiver, const char *slot, bool rawBytes);
    void post(const QString &url, const QString &body, QObject *receiver, const char *slot, bool rawBytes);
    // Fire-and-forget GET of the web API base URL.
    void pingEncryptService();

    // Connects the request's reply signal (bytesFinished or jsonFinished), queued, to `slot`
    // of `receiver`. `slot` is a signature such as "onLoginReponse(bool, const QValue&, const QString&)",
    // with or without the SLOT() code in front. Logs and returns false when it cannot connect.
    static bool connectReply(HRequest *request, bool rawBytes, QObject *receiver, const char *slot);

private:
    void workerLoop();

    QList<std::shared_ptr<HRequest>> m_queue;
    // Requests the workers are performing.
    QList<std::shared_ptr<HRequest>> m_active;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::vector<std::unique_ptr<std::thread>> m_threads;
    std::atomic<bool> m_running {false};
};
