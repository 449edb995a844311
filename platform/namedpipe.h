#pragma once

#include <string>

// Message pipe between vantrel (server) and sorbin (client).
// A pipe is named "\\.\pipe\<name>"; here it is an AF_UNIX SOCK_SEQPACKET socket, which keeps
// one message per read, at <runtime folder><name>.pipe in the per-user runtime folder of
// instanceguard.h (created 0700: no other user can connect).
// Each message travels with its terminating NUL; sends use MSG_NOSIGNAL, so a dead peer
// is an error, never a SIGPIPE.
namespace platform
{
    // Socket file for a full pipe name: the part after the last '\' plus ".pipe" in the
    // per-user folder. Empty when the name part is empty or could leave that folder.
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
        // Call it before the client is started.
        bool create(const std::string &pipeName);
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
        int m_listenFd;
        int m_clientFd;
        std::string m_path;
        unsigned long m_inode;
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
