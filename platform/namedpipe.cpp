#include "namedpipe.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "instanceguard.h"

namespace
{
    // Large enough for any message of the protocol (they stay below 2048 bytes).
    const size_t kMaxMessage = 64 * 1024;

    bool fillAddress(const std::string &path, sockaddr_un &addr)
    {
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof addr.sun_path)
            return false;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        return true;
    }

    int pollFd(int fd, int timeoutMs)
    {
        pollfd p {fd, POLLIN, 0};
        for (;;)
        {
            const int r = ::poll(&p, 1, timeoutMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return r;
            return p.revents;
        }
    }

    int readMessage(int fd, std::string &message, int timeoutMs)
    {
        message.clear();
        if (fd < 0)
            return -1;
        const int ev = pollFd(fd, timeoutMs);
        if (ev == 0)
            return 0;
        if (ev < 0 || !(ev & POLLIN))
            return -1;
        std::string buffer(kMaxMessage, '\0');
        ssize_t n;
        do
            n = ::recv(fd, &buffer[0], buffer.size(), 0);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return -1;
        buffer.resize(static_cast<size_t>(n));
        const size_t nul = buffer.find('\0');
        message = buffer.substr(0, nul);
        return static_cast<int>(n);
    }

    bool writeMessage(int fd, const std::string &message)
    {
        if (fd < 0)
            return false;
        // c_str() brings the terminating NUL along.
        const size_t len = message.size() + 1;
        ssize_t n;
        do
            n = ::send(fd, message.c_str(), len, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(len);
    }

    void closeFd(int &fd)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

namespace platform
{
    std::string pipeSocketPath(const std::string &pipeName)
    {
        const size_t cut = pipeName.find_last_of('\\');
        const std::string name = cut == std::string::npos ? pipeName : pipeName.substr(cut + 1);
        if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos
            || name.find('\0') != std::string::npos)
            return std::string();
        return instanceguard::runtimeDirPath() + name + ".pipe";
    }

    NamedPipeServer::NamedPipeServer()
        : m_listenFd(-1)
        , m_clientFd(-1)
        , m_inode(0)
    {
    }

    NamedPipeServer::~NamedPipeServer()
    {
        close();
    }

    bool NamedPipeServer::create(const std::string &pipeName)
    {
        close();
        const std::string path = pipeSocketPath(pipeName);
        sockaddr_un addr;
        if (!fillAddress(path, addr) || instanceguard::runtimeDir().empty())
            return false;

        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            ::unlink(path.c_str());

        m_listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (m_listenFd < 0)
            return false;
        if (::bind(m_listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        {
            closeFd(m_listenFd);
            return false;
        }
        m_path = path;
        if (lstat(path.c_str(), &st) == 0)
            m_inode = st.st_ino;
        if (::listen(m_listenFd, 1) != 0)
        {
            close();
            return false;
        }
        return true;
    }

    bool NamedPipeServer::waitForClient(int timeoutMs)
    {
        if (m_clientFd >= 0)
            return true;
        if (m_listenFd < 0)
            return false;
        const int ev = pollFd(m_listenFd, timeoutMs);
        if (ev <= 0 || !(ev & POLLIN))
            return false;
        int fd;
        do
            fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return false;
        m_clientFd = fd;
        // One client only: later connects are refused.
        closeFd(m_listenFd);
        return true;
    }

    int NamedPipeServer::read(std::string &message, int timeoutMs)
    {
        return readMessage(m_clientFd, message, timeoutMs);
    }

    bool NamedPipeServer::write(const std::string &message)
    {
        return writeMessage(m_clientFd, message);
    }

    bool NamedPipeServer::isConnected() const
    {
        return m_clientFd >= 0;
    }

    void NamedPipeServer::close()
    {
        closeFd(m_clientFd);
        closeFd(m_listenFd);
        // Remove the socket file only while it is still ours (a newer server may have replaced it).
        struct stat st;
        if (!m_path.empty() && lstat(m_path.c_str(), &st) == 0 && st.st_ino == m_inode)
            ::unlink(m_path.c_str());
        m_inode = 0;
        m_path.clear();
    }

    NamedPipeClient::NamedPipeClient()
        : m_fd(-1)
    {
    }

    NamedPipeClient::~NamedPipeClient()
    {
        close();
    }

    bool NamedPipeClient::waitForServer(const std::string &pipeName, int timeoutMs)
    {
        const std::string path = pipeSocketPath(pipeName);
        if (path.empty())
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;)
        {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool NamedPipeClient::connect(const std::string &pipeName, int timeoutMs)
    {
        close();
        sockaddr_un addr;
        if (!fillAddress(pipeSocketPath(pipeName), addr))
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;)
        {
            int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            if (fd < 0)
                return false;
            int r;
            do
                r = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            while (r != 0 && errno == EINTR);
            if (r == 0)
            {
                m_fd = fd;
                return true;
            }
            const int err = errno;
            ::close(fd);
            // Not there yet, or busy: wait for the server within the time-out.
            const bool retry = err == ENOENT || err == ECONNREFUSED || err == EAGAIN;
            if (!retry || std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool NamedPipeClient::write(const std::string &message)
    {
        return writeMessage(m_fd, message);
    }

    int NamedPipeClient::read(std::string &message, int timeoutMs)
    {
        return readMessage(m_fd, message, timeoutMs);
    }

    bool NamedPipeClient::isConnected() const
    {
        return m_fd >= 0;
    }

    void NamedPipeClient::close()
    {
        closeFd(m_fd);
    }
}
