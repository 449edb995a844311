#include "instanceguard.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
    std::mutex &guardMutex()
    {
        static auto *mutex = new std::mutex;
        return *mutex;
    }

    // name -> descriptor held open for the life of the process
    std::map<std::string, int> &heldLocks()
    {
        static auto *locks = new std::map<std::string, int>;
        return *locks;
    }

    // A folder that is ours alone: a real folder (no link), owned by us, no access for others.
    bool ensurePrivateDir(const std::string &path)
    {
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
            return false;
        if ((st.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0)
            return false;
        return true;
    }

    // The shared temporary folder: $TMPDIR when it names one, /tmp otherwise.
    std::string tempBase()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string base = (tmp && *tmp == '/') ? std::string(tmp) : std::string("/tmp");
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        return base;
    }

    // The runtime folder chosen when XDG_RUNTIME_DIR is unset.
    std::string fallbackRuntimeBase()
    {
        return tempBase() + "/vantrel-" + std::to_string(::getuid());
    }

    std::string lockFileName(const std::string &name)
    {
        std::string safe;
        for (char c : name) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                || c == '_' || c == '-' || c == '.';
            safe.push_back(plain ? c : '_');
        }
        if (safe.empty() || safe[0] == '.')
            safe.insert(safe.begin(), '_');
        return safe + ".lock";
    }

    instanceguard::Result lockAt(const std::string &path)
    {
        std::lock_guard<std::mutex> lock(guardMutex());
        if (heldLocks().count(path))
            return instanceguard::Acquired;
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return instanceguard::Failed;
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            ::close(fd);
            return err == EWOULDBLOCK ? instanceguard::Taken : instanceguard::Failed;
        }
        heldLocks()[path] = fd;
        return instanceguard::Acquired;
    }

    void unlockAt(const std::string &path)
    {
        std::lock_guard<std::mutex> lock(guardMutex());
        auto it = heldLocks().find(path);
        if (it == heldLocks().end())
            return;
        ::flock(it->second, LOCK_UN);
        ::close(it->second);
        heldLocks().erase(it);
    }
}

namespace instanceguard
{
    std::string runtimeDirPath()
    {
        const char *xdg = std::getenv("XDG_RUNTIME_DIR");
        if (xdg && *xdg == '/') {
            struct stat st {};
            if (::stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) {
                std::string dir = xdg;
                if (dir.back() != '/')
                    dir.push_back('/');
                return dir + "vantrel/";
            }
        }
        // The same folder as when ensureRuntimeDirEnv() has set the variable, so that a
        // program that did not call it still meets the one that did.
        return fallbackRuntimeBase() + "/vantrel/";
    }

    std::string runtimeDir()
    {
        const std::string dir = runtimeDirPath();
        const std::string base = fallbackRuntimeBase();
        if (dir.compare(0, base.size() + 1, base + "/") == 0 && !ensurePrivateDir(base))
            return std::string();
        if (ensurePrivateDir(dir.substr(0, dir.size() - 1)))
            return dir;
        return std::string();
    }

    Result acquire(const std::string &name)
    {
        const std::string dir = runtimeDir();
        if (dir.empty())
            return Failed;
        return lockAt(dir + lockFileName(name));
    }

    void release(const std::string &name)
    {
        const std::string dir = runtimeDirPath();
        unlockAt(dir + lockFileName(name));
    }

    Result acquireIn(const std::string &folder, const std::string &name)
    {
        if (folder.empty() || folder.back() != '/')
            return Failed;
        return lockAt(folder + lockFileName(name));
    }

    void releaseIn(const std::string &folder, const std::string &name)
    {
        unlockAt(folder + lockFileName(name));
    }

    void ensureRuntimeDirEnv()
    {
        // A runtime folder that is a real folder of ours is kept; any other value is replaced.
        const char *xdg = std::getenv("XDG_RUNTIME_DIR");
        struct stat st {};
        if (xdg && *xdg == '/' && ::stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
            return;
        const std::string dir = fallbackRuntimeBase();
        if (ensurePrivateDir(dir)) {
            ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
            return;
        }
        // The usual name is taken by something not ours (another user may create it first):
        // a folder of a name nobody can foresee, handed down to the children by the variable.
        std::string unique = dir + "-XXXXXX";
        if (::mkdtemp(&unique[0]))
            ::setenv("XDG_RUNTIME_DIR", unique.c_str(), 1);
    }
}
