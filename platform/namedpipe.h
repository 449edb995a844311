#pragma once

#include <string>

// Message pipe between vantrel (server) and sorbin (client).
// A pipe is named "\\.\pipe\<name>"; here it is an AF_UNIX SOCK_SEQPACKET socket, which keeps
// one message per read, at <runtime folder><name>.pipe in the per-user runtime folder of
// instanceguard.h (0700, checked through its open descriptor: no other user can connect).
// Both ends reach the socket through /proc/self/fd/<folder descriptor>/, so its address stays
// short whatever the length of the folder's path.
// Each message travels with its terminating NUL; sends use MSG_NOSIGNAL, so a dead peer
// is an error, never a SIGPIPE.
namespace platform
{
    // Socket file for a full pipe name: the part after the last '\' plus ".pipe" in the
    // per-user folder (its real path, which may be longer than a socket address can be).
    // Empty when the name part is empty or could leave that folder.
    std::string pipeSocketPath(const std::string &pipeName);

    // Server end: one client, message mode.
    class NamedPipeServer
    {
    public:
        NamedPipeServer();
        ~NamedPipeServer();
        NamedPipeServer(const NamedPipeServer &) = delete;
        NamedPipeServer &operator=(const NamedPipeServer &) = delete;

        // Creates the per-user folder, removes a stale socket, binds and listens.
        // Call it before the client is started. On failure error() and errorString() say why.
        bool create(const std::string &pipeName);
        // The errno of the last failed create(), 0 when it succeeded.
        int error() const;
        // What failed and why, in words (names the folder; no secret in it).
        std::string errorString() const;
        // True once a client is connected; false on time-out or error. timeoutMs < 0 waits forever.
        bool waitForClient(int timeoutMs);
        // >0: one message (cut at its first NUL); 0: time-out; -1: peer gone or error.
        int read(std::string &message, int timeoutMs);
        // One message, its NUL sent with it.
        bool write(const std::string &message);
        bool isConnected() const;
        // Closes both sockets and removes the socket file.
        void close();

    private:
        bool fail(int err, const std::string &what);

        int m_listenFd;
        int m_clientFd;
        int m_dirFd;
        std::string m_name;
        bool m_bound = false;
        unsigned long m_inode;
        int m_error;
        std::string m_errorText;
    };

    // Client end.
    class NamedPipeClient
    {
    public:
        NamedPipeClient();
        ~NamedPipeClient();
        NamedPipeClient(const NamedPipeClient &) = delete;
        NamedPipeClient &operator=(const NamedPipeClient &) = delete;

        // True once a server's socket is there, within timeoutMs (50 ms by default).
        static bool waitForServer(const std::string &pipeName, int timeoutMs = 50);
        // Waits up to timeoutMs for the server to listen, then connects.
        bool connect(const std::string &pipeName, int timeoutMs = 50);
        bool write(const std::string &message);
        // Same results as NamedPipeServer::read.
        int read(std::string &message, int timeoutMs);
        bool isConnected() const;
        void close();

    private:
        int m_fd;
    };
}
