#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "instanceguard.h"
#include "namedpipe.h"

namespace
{
    const std::string kPipe = "\\\\.\\pipe\\0123456789abcdef0123456789abcdef";

    std::string runtimeDir()
    {
        return std::string(getenv("XDG_RUNTIME_DIR")) + "/vantrel/";
    }
}

TEST(NamedPipe, SocketPathFromPipeName)
{
    EXPECT_EQ(platform::pipeSocketPath(kPipe), runtimeDir() + "0123456789abcdef0123456789abcdef.pipe");
    // Names that are empty or could leave the per-user folder are refused.
    for (const char *bad : {"\\\\.\\pipe\\", "\\\\.\\pipe\\..", "\\\\.\\pipe\\a/b", "\\\\.\\pipe\\.hidden"})
        EXPECT_EQ(platform::pipeSocketPath(bad), "") << bad;

    // Without a runtime folder the pipe lives in a per-user folder under TMPDIR (private to
    // this test): the same one as in a program that has set the variable for its children.
    const std::string saved = getenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    const std::string fallback = std::string(getenv("TMPDIR")) + "/vantrel-" + std::to_string(getuid());
    EXPECT_EQ(platform::pipeSocketPath(kPipe), fallback + "/vantrel/0123456789abcdef0123456789abcdef.pipe");
    instanceguard::ensureRuntimeDirEnv();
    EXPECT_EQ(platform::pipeSocketPath(kPipe), fallback + "/vantrel/0123456789abcdef0123456789abcdef.pipe");
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

// Someone else may create the usual runtime folder's name first (a folder of theirs, or a
// link): the program then gets a private folder of an unforeseeable name, and the pipe works.
TEST(NamedPipe, PlantedRuntimeFolderIsNotUsed)
{
    const std::string saved = getenv("XDG_RUNTIME_DIR");
    const std::string fallback = std::string(getenv("TMPDIR")) + "/vantrel-" + std::to_string(getuid());
    const std::string target = std::string(getenv("TMPDIR")) + "/elsewhere";
    // The usual name is free: an earlier test of this process may have made the folder.
    std::error_code ignored;
    std::filesystem::remove_all(fallback, ignored);
    ASSERT_EQ(::mkdir(target.c_str(), 0777), 0);
    enum Plant { Link, ForeignFolder };
    for (const Plant plant : {Link, ForeignFolder}) {
        SCOPED_TRACE(plant == Link ? "a link" : "another user's folder");
        if (plant == Link) {
            ASSERT_EQ(::symlink(target.c_str(), fallback.c_str()), 0);
        } else {
            if (::getuid() != 0)
                continue; // only root can make a folder that belongs to someone else
            ASSERT_EQ(::mkdir(fallback.c_str(), 0777), 0);
            ASSERT_EQ(::chown(fallback.c_str(), 65534, 65534), 0);
        }
        unsetenv("XDG_RUNTIME_DIR");
        instanceguard::ensureRuntimeDirEnv();
        const char *chosen = getenv("XDG_RUNTIME_DIR");
        ASSERT_NE(chosen, nullptr);
        const std::string dir = chosen;
        EXPECT_EQ(dir.compare(0, fallback.size() + 1, fallback + "-"), 0) << dir;
        struct stat st {};
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_uid, ::getuid());
        EXPECT_EQ(st.st_mode & 0777, 0700u);

        platform::NamedPipeServer server;
        EXPECT_TRUE(server.create(kPipe));
        EXPECT_EQ(platform::pipeSocketPath(kPipe).compare(0, dir.size(), dir), 0);
        server.close();
        struct stat inTarget {};
        EXPECT_NE(::lstat((target + "/vantrel").c_str(), &inTarget), 0) << "nothing made through the plant";
        ::unlink(fallback.c_str());
        ::rmdir(fallback.c_str());
    }
    // A runtime folder named by the variable that is not a folder of ours is not used either.
    setenv("XDG_RUNTIME_DIR", target.c_str(), 1);
    if (::getuid() == 0 && ::chown(target.c_str(), 65534, 65534) == 0) {
        instanceguard::ensureRuntimeDirEnv();
        EXPECT_EQ(std::string(getenv("XDG_RUNTIME_DIR")), fallback);
        platform::NamedPipeServer server;
        EXPECT_TRUE(server.create(kPipe));
        EXPECT_EQ(platform::pipeSocketPath(kPipe).compare(0, fallback.size(), fallback), 0);
    }
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

// Messages keep their boundaries and their NUL; each is answered in lock-step, as sorbin does.
TEST(NamedPipe, LockStepExchangeKeepsMessages)
{
    platform::NamedPipeServer server;
    ASSERT_TRUE(server.create(kPipe));
    struct stat st;
    ASSERT_EQ(stat(runtimeDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    const std::vector<std::string> sent {"2:5\n", "2:57\n", "4", "3:" + std::string(1800, 'x') + "\n", "0:success\n"};
    std::vector<std::string> replies;
    std::thread client([&] {
        platform::NamedPipeClient c;
        if (!c.connect(kPipe, 2000))
            return;
        for (const std::string &m : sent)
        {
            std::string reply;
            if (!c.write(m) || c.read(reply, 2000) <= 0)
                return;
            replies.push_back(reply);
        }
    });
    ASSERT_TRUE(server.waitForClient(2000));
    std::vector<std::string> got;
    std::string m;
    int n;
    while ((n = server.read(m, 2000)) > 0)
    {
        EXPECT_EQ(n, int(m.size() + 1)) << "the NUL travels with the message";
        got.push_back(m);
        ASSERT_TRUE(server.write("ok"));
    }
    client.join();
    EXPECT_EQ(n, -1) << "the client's close is reported as peer gone";
    EXPECT_EQ(got, sent);
    EXPECT_EQ(replies, std::vector<std::string>(sent.size(), "ok"));
}

TEST(NamedPipe, StaleSocketIsReplacedAndRemovedAtClose)
{
    const std::string path = platform::pipeSocketPath(kPipe);
    {
        // A server that died leaves its socket file behind; a new one must still bind,
        // and the old one's close must not remove the new one's socket.
        platform::NamedPipeServer second;
        {
            platform::NamedPipeServer first;
            ASSERT_TRUE(first.create(kPipe));
            ASSERT_TRUE(second.create(kPipe));
        }
        platform::NamedPipeClient c;
        EXPECT_TRUE(c.connect(kPipe));
        EXPECT_TRUE(second.waitForClient(1000));
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(NamedPipe, TimeOutsAndDeadPeers)
{
    platform::NamedPipeClient lonely;
    EXPECT_FALSE(lonely.connect(kPipe)) << "no server within the short default wait";
    EXPECT_FALSE(lonely.write("2:1\n"));
    std::string m;
    EXPECT_EQ(lonely.read(m, 10), -1);

    platform::NamedPipeServer server;
    ASSERT_TRUE(server.create(kPipe));
    EXPECT_FALSE(server.waitForClient(50));
    platform::NamedPipeClient c;
    ASSERT_TRUE(c.connect(kPipe));
    ASSERT_TRUE(server.waitForClient(1000));
    EXPECT_EQ(server.read(m, 50), 0) << "nothing sent: time-out";

    // Only one client: a second connect is refused.
    platform::NamedPipeClient other;
    EXPECT_FALSE(other.connect(kPipe, 20));

    // A dead peer is an error on both ends, never a SIGPIPE.
    server.close();
    EXPECT_FALSE(c.write("2:1\n"));
    EXPECT_EQ(c.read(m, 100), -1);
}

// The wait for a server sees the socket file; a socket that nobody listens on any more (a
// server that died) passes the wait but refuses the connection.
TEST(NamedPipe, WaitForServerThenConnect)
{
    EXPECT_FALSE(platform::NamedPipeClient::waitForServer(kPipe)) << "no server";
    EXPECT_FALSE(platform::NamedPipeClient::waitForServer("\\\\.\\pipe\\"));

    {
        platform::NamedPipeServer server;
        ASSERT_TRUE(server.create(kPipe));
        EXPECT_TRUE(platform::NamedPipeClient::waitForServer(kPipe));
        platform::NamedPipeClient c;
        EXPECT_TRUE(c.connect(kPipe));
    }

    const std::string path = platform::pipeSocketPath(kPipe);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(fd);
    EXPECT_TRUE(platform::NamedPipeClient::waitForServer(kPipe));
    platform::NamedPipeClient c;
    EXPECT_FALSE(c.connect(kPipe));
    unlink(path.c_str());
}

// The client may start first: it waits for the server within its time-out.
TEST(NamedPipe, ClientWaitsForLateServer)
{
    platform::NamedPipeServer server;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.create(kPipe);
    });
    platform::NamedPipeClient c;
    EXPECT_TRUE(c.connect(kPipe, 3000));
    late.join();
    EXPECT_TRUE(server.waitForClient(1000));
}
