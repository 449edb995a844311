#include "qhttpclient.h"

#include <exception>

#include <QByteArray>
#include <QMetaObject>

#include "logger.h"
#include "qplatformhosts.h"
#include "uexception.h"

QHttpClient::QHttpClient(QObject *parent)
    : QObject(parent)
{
    registerQValueMetaType();
}

QHttpClient::~QHttpClient()
{
    stop();
}

std::unique_ptr<QHttpClient> &QHttpClient::instance()
{
    static std::unique_ptr<QHttpClient> client(new QHttpClient());
    return client;
}

void QHttpClient::start(int n)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = true;
    }
    for (int i = 0; i < n; ++i)
        m_threads.push_back(std::make_unique<std::thread>(&QHttpClient::workerLoop, this));
}

void QHttpClient::stop()
{
    {
        // Under the lock: a worker between its test and its wait cannot miss the wake-up.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_condition.notify_all();
    for (auto &thread : m_threads)
    {
        if (thread->joinable())
            thread->join();
    }
    m_threads.clear();
}

void QHttpClient::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int dropped = 0;
        for (auto it = m_queue.begin(); it != m_queue.end();)
        {
            if ((*it)->hasListener())
            {
                ++it;
                continue;
            }
            it = m_queue.erase(it);
            ++dropped;
        }
        for (const auto &request : m_active)
        {
            if (!request->hasListener())
                request->abandon();
        }
        if (dropped > 0)
            LOG_INFO(L"exit: %d queued requests dropped", dropped);
    }
    stop();
}

void QHttpClient::addRequest(const std::shared_ptr<HRequest> &request)
{
    if (!request)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.append(request);
    }
    m_condition.notify_one();
}

int QHttpClient::workerCount() const
{
    return static_cast<int>(m_threads.size());
}

void QHttpClient::get(const QString &url, QObject *receiver, const char *slot, bool rawBytes)
{
    auto request = std::make_shared<HRequest>();
    request->setUrl(url);
    request->setMethod(HRequest::Get);
    request->setRawBytes(rawBytes);
    connectReply(request.get(), rawBytes, receiver, slot);
    addRequest(request);
}

void QHttpClient::post(const QString &url, const QString &body, QObject *receiver, const char *slot, bool rawBytes)
{
    auto request = std::make_shared<HRequest>();
    request->setUrl(url);
    request->setMethod(HRequest::Post);
    request->setBody(body);
    request->setRawBytes(rawBytes);
    connectReply(request.get(), rawBytes, receiver, slot);
    addRequest(request);
}

void QHttpClient::pingEncryptService()
{
    auto request = std::make_shared<HRequest>();
    request->setUrl(QPlatformHosts::apiBaseUrl());
    request->setMethod(HRequest::Get);
    addRequest(request);
}

bool QHttpClient::connectReply(HRequest *request, bool rawBytes, QObject *receiver, const char *slot)
{
    if (!request || !receiver || !slot || !*slot)
    {
        LOG_ERROR(L"reply not connected: no receiver or slot");
        return false;
    }
    // Accept both "onXReponse(...)" and SLOT(onXReponse(...)).
    QByteArray member(slot);
    if (member.at(0) != '1' && member.at(0) != '2')
        member.prepend('1');
    const char *signal = rawBytes ? SIGNAL(bytesFinished(bool, const QByteArray &, const QString &))
                                  : SIGNAL(jsonFinished(bool, const QValue &, const QString &));
    const bool ok = QObject::connect(request, signal, receiver, member.constData(), Qt::QueuedConnection);
    if (!ok)
        LOG_ERROR(L"reply not connected to %s::%s", receiver->metaObject()->className(), member.constData() + 1);
    return ok;
}

void QHttpClient::workerLoop()
{
    for (;;)
    {
        try
        {
            std::shared_ptr<HRequest> request;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_condition.wait(lock, [this] { return !m_queue.isEmpty() || !m_running; });
                if (!m_running && m_queue.isEmpty())
                    return;
                request = m_queue.takeFirst();
                m_active.append(request);
            }
            try
            {
                request->run();
            }
            catch (...)
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_active.removeOne(request);
                throw;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_active.removeOne(request);
        }
        catch (const UException &e)
        {
            LOG_EXCEPTION(e);
        }
        catch (const std::exception &e)
        {
            LOG_ERROR(L"http worker: %s", e.what());
        }
        catch (...)
        {
            LOG_ERROR(L"http worker: unknown exception");
        }
    }
}
