#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

    // A socket bound at `path` whose owner is gone, as a server that died leaves it. Bound
    // through the folder's descriptor: the path itself may be too long for an address.
    void bindDeadSocket(const std::string &path)
    {
        const size_t cut = path.find_last_of('/');
        const int dirFd = open(path.substr(0, cut).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dirFd, 0);
        const std::string shortPath = "/proc/self/fd/" + std::to_string(dirFd) + path.substr(cut);
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        ASSERT_LT(shortPath.size(), sizeof addr.sun_path);
        std::memcpy(addr.sun_path, shortPath.c_str(), shortPath.size() + 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
        close(fd);
        close(dirFd);
    }

    // Each test on folders of its own: TMPDIR and XDG_RUNTIME_DIR point at new empty folders
    // (the runtime one 0700) and are put back afterwards, so no test sees what another left.
    class FreshFolders : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_tmp = saved("TMPDIR");
            m_runtime = saved("XDG_RUNTIME_DIR");
            const char *tmp = getenv("TMPDIR");
            std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/case-XXXXXX";
            ASSERT_NE(mkdtemp(pattern.data()), nullptr) << strerror(errno);
            m_base = pattern;
            const std::string &base = m_base;
            ASSERT_EQ(mkdir((base + "/tmp").c_str(), 0700), 0);
            ASSERT_EQ(mkdir((base + "/run").c_str(), 0700), 0);
            setenv("TMPDIR", (base + "/tmp").c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (base + "/run").c_str(), 1);
        }

        void TearDown() override
        {
            restore("TMPDIR", m_tmp);
            restore("XDG_RUNTIME_DIR", m_runtime);
            std::error_code ignored;
            if (!m_base.empty())
                std::filesystem::remove_all(m_base, ignored);
        }

    private:
        // The variable's value, or nothing when it is not set.
        static std::unique_ptr<std::string> saved(const char *name)
        {
            const char *value = getenv(name);
            return value != nullptr ? std::make_unique<std::string>(value) : nullptr;
        }

        static void restore(const char *name, const std::unique_ptr<std::string> &value)
        {
            if (value)
                setenv(name, value->c_str(), 1);
            else
                unsetenv(name);
        }

        std::string m_base;
        std::unique_ptr<std::string> m_tmp;
        std::unique_ptr<std::string> m_runtime;
    };

    class NamedPipe : public FreshFolders
    {
    };
}

TEST_F(NamedPipe, SocketPathFromPipeName)
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
TEST_F(NamedPipe, PlantedRuntimeFolderIsNotUsed)
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
TEST_F(NamedPipe, LockStepExchangeKeepsMessages)
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

TEST_F(NamedPipe, StaleSocketIsReplacedAndRemovedAtClose)
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

TEST_F(NamedPipe, TimeOutsAndDeadPeers)
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
TEST_F(NamedPipe, WaitForServerThenConnect)
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
    bindDeadSocket(path);
    EXPECT_TRUE(platform::NamedPipeClient::waitForServer(kPipe));
    platform::NamedPipeClient c;
    EXPECT_FALSE(c.connect(kPipe));
    unlink(path.c_str());
}

namespace
{
    // The system call a thread of this process is in: its number, -1 while it runs (or when
    // that can't be read).
    long currentSyscall(pid_t tid)
    {
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
        std::string first;
        if (!(in >> first) || first == "running")
            return -1;
        try {
            return std::stol(first);
        } catch (...) {
            return -1;
        }
    }

    bool isSleepCall(long call)
    {
        return call == SYS_nanosleep || call == SYS_clock_nanosleep;
    }
}

// The client may start first: it waits for the server within its time-out. The server is
// made only once the client has been seen waiting: its thread asleep between two tries.
TEST_F(NamedPipe, ClientWaitsForLateServer)
{
    std::atomic<pid_t> clientThread {0};
    std::atomic<int> outcome {-1};
    std::atomic<bool> release {false};
    std::thread client([&] {
        platform::NamedPipeClient c;
        clientThread = static_cast<pid_t>(::syscall(SYS_gettid));
        outcome = c.connect(kPipe, 60000) ? 1 : 0;
        // Connected until the server has taken the connection.
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool waiting = false;
    while (!waiting && outcome == -1 && std::chrono::steady_clock::now() < deadline) {
        waiting = clientThread != 0 && isSleepCall(currentSyscall(clientThread));
        if (!waiting)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool endedEarly = outcome != -1;
    platform::NamedPipeServer server;
    ASSERT_TRUE(server.create(kPipe));
    if (!waiting) {
        release = true;
        client.join();
        if (!endedEarly)
            GTEST_SKIP() << "the state of the client's thread can't be read here";
        FAIL() << "the client ended its wait before any server was there: " << outcome.load();
    }
    EXPECT_FALSE(endedEarly) << "no server yet";
    const bool answered = [&] {
        while (outcome == -1 && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(30))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return outcome != -1;
    }();
    EXPECT_TRUE(answered);
    EXPECT_EQ(outcome, 1);
    EXPECT_TRUE(server.waitForClient(5000));
    release = true;
    client.join();
}

namespace
{
    // A new folder `extra` characters longer than `base`, in levels a file system takes, 0700.
    std::string longFolder(const std::string &base, int extra)
    {
        std::string path = base;
        ::mkdir(path.c_str(), 0700);
        while (extra > 0) {
            const int level = std::min(extra, 60) - 1;
            path += "/" + std::string(static_cast<size_t>(level), 'p');
            ::mkdir(path.c_str(), 0700);
            extra -= level + 1;
        }
        return path;
    }

    // Sets an environment variable for one scope, or removes it (null), and puts it back.
    class ScopedEnv
    {
    public:
        ScopedEnv(const char *name, const char *value)
            : m_name(name)
        {
            if (const char *old = getenv(name))
                m_old.reset(new std::string(old));
            if (value)
                setenv(name, value, 1);
            else
                unsetenv(name);
        }
        ~ScopedEnv()
        {
            if (m_old)
                setenv(m_name.c_str(), m_old->c_str(), 1);
            else
                unsetenv(m_name.c_str());
        }

    private:
        std::string m_name;
        std::unique_ptr<std::string> m_old;
    };

    // One exchange over the pipe from a client thread, the socket seen in the runtime folder.
    void exchangeOnce()
    {
        const std::string path = platform::pipeSocketPath(kPipe);
        platform::NamedPipeServer server;
        ASSERT_TRUE(server.create(kPipe)) << server.errorString();
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_TRUE(platform::NamedPipeClient::waitForServer(kPipe));
        std::string reply;
        std::thread client([&] {
            platform::NamedPipeClient c;
            if (c.connect(kPipe, 5000) && c.write("2:57\n"))
                c.read(reply, 5000);
        });
        ASSERT_TRUE(server.waitForClient(5000));
        std::string m;
        EXPECT_GT(server.read(m, 5000), 0);
        EXPECT_EQ(m, "2:57\n");
        EXPECT_TRUE(server.write("ok"));
        client.join();
        EXPECT_EQ(reply, "ok");
        server.close();
        EXPECT_NE(lstat(path.c_str(), &st), 0) << "the socket is removed at close";
    }

    struct LongCase
    {
        const char *name;
        bool runtimeSet; // XDG_RUNTIME_DIR long, or unset with a long TMPDIR
    };

    void PrintTo(const LongCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class NamedPipeLongFolder : public FreshFolders, public ::testing::WithParamInterface<LongCase>
    {
    };
}

// The socket's path is far longer than a socket address can be: both ends still meet.
TEST_P(NamedPipeLongFolder, ExchangeWorks)
{
    const std::string base = std::string(getenv("TMPDIR")) + "/long";
    const std::string folder = longFolder(base, 120);
    ScopedEnv runtime("XDG_RUNTIME_DIR", GetParam().runtimeSet ? folder.c_str() : nullptr);
    ScopedEnv temp("TMPDIR", GetParam().runtimeSet ? getenv("TMPDIR") : folder.c_str());
    instanceguard::ensureRuntimeDirEnv();
    ASSERT_GT(platform::pipeSocketPath(kPipe).size(), sizeof(sockaddr_un::sun_path));
    exchangeOnce();
}

INSTANTIATE_TEST_SUITE_P(Folders, NamedPipeLongFolder,
                         ::testing::Values(LongCase {"RuntimeFolder", true}, LongCase {"TemporaryFolder", false}),
                         [](const ::testing::TestParamInfo<LongCase> &info) { return std::string(info.param.name); });

namespace
{
    enum class Shared { WorldWritable, GroupWritable, ReadableByAll, FolderOfAnotherUser, FolderIsALink };

    struct SharedCase
    {
        const char *name;
        Shared kind;
    };

    void PrintTo(const SharedCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class NamedPipeSharedRuntime : public FreshFolders, public ::testing::WithParamInterface<SharedCase>
    {
    };

    std::vector<std::string> entries(const std::string &folder)
    {
        std::vector<std::string> names;
        if (DIR *dir = opendir(folder.c_str())) {
            while (const dirent *e = readdir(dir))
                names.push_back(e->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
}

// A runtime folder that is not the user's alone (others may write to it, or its "vantrel"
// folder is someone else's or a link) is not used: the program takes the private fallback,
// the pipe works there, and nothing is made in the rejected folder.
TEST_P(NamedPipeSharedRuntime, FallsBackToAPrivateFolder)
{
    const std::string tmp = getenv("TMPDIR");
    const std::string shared = tmp + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    const std::string inner = shared + "/vantrel";
    switch (GetParam().kind) {
    case Shared::WorldWritable:
        ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
        break;
    case Shared::GroupWritable:
        ASSERT_EQ(chmod(shared.c_str(), 0770), 0);
        break;
    case Shared::ReadableByAll:
        ASSERT_EQ(chmod(shared.c_str(), 0755), 0);
        break;
    case Shared::FolderOfAnotherUser:
        if (getuid() != 0)
            GTEST_SKIP() << "only root can make a folder that belongs to another user";
        ASSERT_EQ(mkdir(inner.c_str(), 0777), 0);
        ASSERT_EQ(chown(inner.c_str(), 65534, 65534), 0);
        break;
    case Shared::FolderIsALink:
        ASSERT_EQ(mkdir((tmp + "/elsewhere").c_str(), 0777), 0);
        ASSERT_EQ(symlink((tmp + "/elsewhere").c_str(), inner.c_str()), 0);
        break;
    }
    const std::vector<std::string> before = entries(shared);
    ScopedEnv runtime("XDG_RUNTIME_DIR", shared.c_str());
    instanceguard::ensureRuntimeDirEnv();
    const std::string fallback = tmp + "/vantrel-" + std::to_string(getuid());
    EXPECT_EQ(std::string(getenv("XDG_RUNTIME_DIR")), fallback);
    EXPECT_EQ(platform::pipeSocketPath(kPipe).compare(0, fallback.size() + 1, fallback + "/"), 0) << platform::pipeSocketPath(kPipe);
    exchangeOnce();
    EXPECT_EQ(entries(shared), before);
    EXPECT_EQ(entries(tmp + "/elsewhere").size(), GetParam().kind == Shared::FolderIsALink ? 2u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NamedPipeSharedRuntime,
                         ::testing::Values(SharedCase {"WorldWritable", Shared::WorldWritable},
                                           SharedCase {"GroupWritable", Shared::GroupWritable},
                                           SharedCase {"ReadableByAll", Shared::ReadableByAll},
                                           SharedCase {"VantrelFolderOfAnotherUser", Shared::FolderOfAnotherUser},
                                           SharedCase {"VantrelFolderIsALink", Shared::FolderIsALink}),
                         [](const ::testing::TestParamInfo<SharedCase> &info) { return std::string(info.param.name); });

// When the pipe can't be made, the server says why, naming the folder; a client finds no
// server there.
TEST_F(NamedPipe, FailureSaysWhy)
{
    const std::string tmp = getenv("TMPDIR");
    const std::string fallback = tmp + "/vantrel-" + std::to_string(getuid());
    // Something not a folder where the private fallback belongs, and no runtime folder set.
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    const int fd = open(fallback.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    platform::NamedPipeServer server;
    EXPECT_FALSE(server.create(kPipe));
    EXPECT_EQ(server.error(), EACCES);
    EXPECT_NE(server.errorString().find(fallback), std::string::npos) << server.errorString();
    EXPECT_NE(server.errorString().find(strerror(EACCES)), std::string::npos) << server.errorString();
    platform::NamedPipeClient c;
    EXPECT_FALSE(c.connect(kPipe, 20));

    server.close();
    EXPECT_FALSE(server.create("\\\\.\\pipe\\"));
    EXPECT_EQ(server.error(), EINVAL);
}
