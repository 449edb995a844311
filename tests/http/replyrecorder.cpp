#include "replyrecorder.h"

#include <atomic>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

void ReplyRecorder::onTestReponse(bool ok, const QValue &data, const QString &message)
{
    replies.append(Reply {ok, data, message, QByteArray()});
    events.append(QStringLiteral("reply"));
}

void ReplyRecorder::onBytesReponse(bool ok, const QByteArray &bytes, const QString &message)
{
    replies.append(Reply {ok, QValue(), message, bytes});
    events.append(QStringLiteral("reply"));
}

void ReplyRecorder::onTokenInvalid()
{
    events.append(QStringLiteral("token"));
}

struct RawServer::Impl
{
    std::thread thread;
    std::atomic<bool> stop {false};
};

RawServer::RawServer(const QByteArray &answer)
    : m_answer(answer)
    , m_impl(new Impl)
{
    m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(m_socket, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(m_socket, 8);
    socklen_t len = sizeof addr;
    ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_impl->thread = std::thread([this] { serve(); });
}

RawServer::~RawServer()
{
    m_impl->stop = true;
    m_impl->thread.join();
    ::close(m_socket);
    delete m_impl;
}

int RawServer::port() const
{
    return m_port;
}

void RawServer::serve()
{
    while (!m_impl->stop)
    {
        pollfd p {m_socket, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int client = ::accept(m_socket, nullptr, nullptr);
        if (client < 0)
            continue;
        QByteArray head;
        char buf[4096];
        while (!head.contains("\r\n\r\n"))
        {
            pollfd c {client, POLLIN, 0};
            if (::poll(&c, 1, 2000) <= 0)
                break;
            const ssize_t n = ::read(client, buf, sizeof buf);
            if (n <= 0)
                break;
            head.append(buf, static_cast<int>(n));
        }
        if (!m_answer.isEmpty())
            (void)!::write(client, m_answer.constData(), static_cast<size_t>(m_answer.size()));
        ::close(client);
    }
}

void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
