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

    // The socket's name in the runtime folder: the part of the pipe name after its last '\'
    // plus ".pipe". Empty when that part is empty or could leave the folder.
    std::string socketName(const std::string &pipeName)
    {
        const size_t cut = pipeName.find_last_of('\\');
        const std::string name = cut == std::string::npos ? pipeName : pipeName.substr(cut + 1);
        if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos
            || name.find('\0') != std::string::npos)
            return std::string();
        return name + ".pipe";
    }

    // The address of `name` in the folder open as `dirFd`: through /proc/self/fd, so that it
    // is short whatever the folder's path, and names exactly the folder that was checked.
    // The folder's own path where /proc is missing and that path fits.
    bool fillAddress(int dirFd, const std::string &name, sockaddr_un &addr)
    {
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        std::string path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
        if (::access("/proc/self/fd", X_OK) != 0)
            path = instanceguard::runtimeDirPath() + name;
        if (name.empty() || path.size() >= sizeof addr.sun_path) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        return true;
    }

    std::string errorText(int err)
    {
        return std::strerror(err);
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
        const std::string name = socketName(pipeName);
        return name.empty() ? std::string() : instanceguard::runtimeDirPath() + name;
    }

    NamedPipeServer::NamedPipeServer()
        : m_listenFd(-1)
        , m_clientFd(-1)
        , m_dirFd(-1)
        , m_inode(0)
        , m_error(0)
    {
    }

    NamedPipeServer::~NamedPipeServer()
    {
        close();
    }

    bool NamedPipeServer::fail(int err, const std::string &what)
    {
        m_error = err;
        m_errorText = what + ": " + errorText(err);
        close();
        m_error = err;
        return false;
    }

    bool NamedPipeServer::create(const std::string &pipeName)
    {
        close();
        m_error = 0;
        m_errorText.clear();
        const std::string name = socketName(pipeName);
        if (name.empty())
            return fail(EINVAL, "no socket name in the pipe name " + pipeName);
        std::string why;
        m_dirFd = instanceguard::openRuntimeDir(true, &why);
        if (m_dirFd < 0) {
            const int err = errno;
            m_error = err;
            m_errorText = why;
            return false;
        }
        m_name = name;
        sockaddr_un addr;
        if (!fillAddress(m_dirFd, name, addr))
            return fail(errno, "no short address for " + instanceguard::runtimeDirPath() + name);

        // A server that died leaves its socket behind.
        struct stat st;
        if (::fstatat(m_dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)
            && ::unlinkat(m_dirFd, name.c_str(), 0) != 0)
            return fail(errno, "cannot remove the old socket " + instanceguard::runtimeDirPath() + name);

        m_listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (m_listenFd < 0)
            return fail(errno, "socket");
        if (::bind(m_listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            return fail(errno, "bind " + instanceguard::runtimeDirPath() + name);
        m_bound = true;
        if (::fstatat(m_dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            m_inode = st.st_ino;
        if (::listen(m_listenFd, 1) != 0)
            return fail(errno, "listen " + instanceguard::runtimeDirPath() + name);
        return true;
    }

    int NamedPipeServer::error() const
    {
        return m_error;
    }

    std::string NamedPipeServer::errorString() const
    {
        return m_errorText;
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
        if (m_bound && m_dirFd >= 0 && ::fstatat(m_dirFd, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
            && st.st_ino == m_inode)
            ::unlinkat(m_dirFd, m_name.c_str(), 0);
        closeFd(m_dirFd);
        m_bound = false;
        m_inode = 0;
        m_name.clear();
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
        const std::string name = socketName(pipeName);
        if (name.empty())
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;)
        {
            const int dirFd = instanceguard::openRuntimeDir(false);
            struct stat st;
            const bool there = dirFd >= 0 && ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode);
            if (dirFd >= 0)
                ::close(dirFd);
            if (there)
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool NamedPipeClient::connect(const std::string &pipeName, int timeoutMs)
    {
        close();
        const std::string name = socketName(pipeName);
        if (name.empty())
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;)
        {
            // Only a server in a folder of this user's alone: no one else can stand in for it.
            const int dirFd = instanceguard::openRuntimeDir(false);
            int err = errno;
            if (dirFd >= 0) {
                sockaddr_un addr;
                const int fd = fillAddress(dirFd, name, addr) ? ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0) : -1;
                err = errno;
                if (fd >= 0) {
                    int r;
                    do
                        r = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
                    while (r != 0 && errno == EINTR);
                    err = errno;
                    if (r == 0) {
                        ::close(dirFd);
                        m_fd = fd;
                        return true;
                    }
                    ::close(fd);
                }
                ::close(dirFd);
            }
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
