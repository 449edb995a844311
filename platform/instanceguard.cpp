#include "instanceguard.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
    const char *const kFolderName = "vantrel";

    std::mutex &guardMutex()
    {
        static auto *mutex = new std::mutex;
        return *mutex;
    }

    // lock file path -> descriptor held open for the life of the process
    std::map<std::string, int> &heldLocks()
    {
        static auto *locks = new std::map<std::string, int>;
        return *locks;
    }

    // A folder of ours that no one else may enter (mode 0700 or narrower, as a runtime folder
    // must be): no one else can add, remove or rename an entry, or learn a name in it.
    bool ownedPrivate(const struct stat &st)
    {
        return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
    }

    // The "vantrel" folder inside a runtime folder: not there yet, or a real folder of ours.
    bool folderNameFree(const std::string &base)
    {
        struct stat st {};
        if (::lstat((base + "/" + kFolderName).c_str(), &st) != 0)
            return errno == ENOENT;
        return S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
    }

    // A runtime folder of this user's alone. The one XDG_RUNTIME_DIR names may be a link; the
    // fallbacks in the shared temporary folder may not.
    bool usableBase(const std::string &base, bool followLink)
    {
        struct stat st {};
        const int rc = followLink ? ::stat(base.c_str(), &st) : ::lstat(base.c_str(), &st);
        return rc == 0 && ownedPrivate(st) && folderNameFree(base);
    }

    // Makes or takes a folder that is ours alone: a real folder (no link), owned by us,
    // no access for others.
    bool ensurePrivateDir(const std::string &path)
    {
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return false;
        if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
            errno = EACCES;
            return false;
        }
        if ((st.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0)
            return false;
        return true;
    }

    std::string trimmed(std::string path)
    {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return path;
    }

    // The shared temporary folder: $TMPDIR when it names one, /tmp otherwise.
    std::string tempBase()
    {
        const char *tmp = std::getenv("TMPDIR");
        return trimmed((tmp && *tmp == '/') ? std::string(tmp) : std::string("/tmp"));
    }

    std::string fallbackPrefix()
    {
        return "vantrel-" + std::to_string(::getuid());
    }

    // The runtime folder chosen when XDG_RUNTIME_DIR is unset.
    std::string fallbackRuntimeBase()
    {
        return tempBase() + "/" + fallbackPrefix();
    }

    // A "vantrel-<uid>-XXXXXX" an earlier start made because the usual name was taken: only a
    // folder of ours (no one else can make one), private, so that starts never pile them up.
    std::string earlierUniqueFallback()
    {
        const std::string base = tempBase();
        const std::string prefix = fallbackPrefix() + "-";
        std::vector<std::string> found;
        if (DIR *dir = ::opendir(base.c_str())) {
            while (const dirent *entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
                    continue;
                const std::string path = base + "/" + name;
                struct stat st {};
                if (::lstat(path.c_str(), &st) == 0 && ownedPrivate(st)
                    && folderNameFree(path))
                    found.push_back(path);
            }
            ::closedir(dir);
        }
        std::sort(found.begin(), found.end());
        return found.empty() ? std::string() : found.front();
    }

    const char *xdgRuntimeDir()
    {
        const char *xdg = std::getenv("XDG_RUNTIME_DIR");
        return (xdg && *xdg == '/') ? xdg : nullptr;
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

    void setWhy(std::string *why, const std::string &text)
    {
        if (why)
            *why = text;
    }

    // Opens `file` in the folder `dirFd` (AT_FDCWD: a full path) and takes a write lock on it.
    instanceguard::Result lockAt(int dirFd, const std::string &file, const std::string &key)
    {
        std::lock_guard<std::mutex> lock(guardMutex());
        if (heldLocks().count(key))
            return instanceguard::Acquired;
        const int fd = ::openat(dirFd, file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return instanceguard::Failed;
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        int rc;
        do {
            rc = ::fcntl(fd, F_SETLK, &range);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            ::close(fd);
            return (err == EACCES || err == EAGAIN) ? instanceguard::Taken : instanceguard::Failed;
        }
        heldLocks()[key] = fd;
        return instanceguard::Acquired;
    }

    void unlockAt(const std::string &key)
    {
        std::lock_guard<std::mutex> lock(guardMutex());
        auto it = heldLocks().find(key);
        if (it == heldLocks().end())
            return;
        // Closing the descriptor releases the process's lock on the file.
        ::close(it->second);
        heldLocks().erase(it);
    }
}

namespace instanceguard
{
    std::string runtimeDirPath()
    {
        if (const char *xdg = xdgRuntimeDir()) {
            const std::string base = trimmed(xdg);
            if (usableBase(base, true))
                return base + "/" + kFolderName + "/";
        }
        // The same folder as when ensureRuntimeDirEnv() has set the variable, so that a
        // program that did not call it still meets the one that did.
        return fallbackRuntimeBase() + "/" + kFolderName + "/";
    }

    int openRuntimeDir(bool create, std::string *why)
    {
        const std::string dir = runtimeDirPath();
        const std::string base = dir.substr(0, dir.size() - std::strlen(kFolderName) - 2);
        if (create && base == fallbackRuntimeBase() && !ensurePrivateDir(base)) {
            const int err = errno;
            setWhy(why, "the runtime folder " + base + " can't be made this user's alone: " + std::strerror(err));
            errno = err;
            return -1;
        }
        const int baseFd = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (baseFd < 0) {
            const int err = errno;
            setWhy(why, "cannot open the runtime folder " + base + ": " + std::strerror(err));
            errno = err;
            return -1;
        }
        struct stat st {};
        if (::fstat(baseFd, &st) != 0 || !ownedPrivate(st)) {
            ::close(baseFd);
            setWhy(why, "the runtime folder " + base + " is not this user's alone");
            errno = EACCES;
            return -1;
        }
        if (create && ::mkdirat(baseFd, kFolderName, 0700) != 0 && errno != EEXIST) {
            const int err = errno;
            ::close(baseFd);
            setWhy(why, "cannot create " + dir + ": " + std::strerror(err));
            errno = err;
            return -1;
        }
        const int fd = ::openat(baseFd, kFolderName, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            ::close(baseFd);
            setWhy(why, "cannot open " + dir + ": " + std::strerror(err));
            errno = err;
            return -1;
        }
        // No one else can swap the entry in the base folder: fixing the mode by name is safe.
        bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
        if (ok && (st.st_mode & 077) != 0)
            ok = ::fchmodat(baseFd, kFolderName, 0700, 0) == 0 && ::fstat(fd, &st) == 0 && (st.st_mode & 077) == 0;
        ::close(baseFd);
        if (!ok) {
            ::close(fd);
            setWhy(why, dir + " is not this user's alone");
            errno = EACCES;
            return -1;
        }
        return fd;
    }

    std::string runtimeDir()
    {
        const int fd = openRuntimeDir(true);
        if (fd < 0)
            return std::string();
        ::close(fd);
        return runtimeDirPath();
    }

    Result acquire(const std::string &name)
    {
        const int dirFd = openRuntimeDir(true);
        if (dirFd < 0)
            return Failed;
        const Result result = lockAt(dirFd, lockFileName(name), runtimeDirPath() + lockFileName(name));
        ::close(dirFd);
        return result;
    }

    void release(const std::string &name)
    {
        unlockAt(runtimeDirPath() + lockFileName(name));
    }

    Result acquireIn(const std::string &folder, const std::string &name)
    {
        if (folder.empty() || folder.back() != '/')
            return Failed;
        const std::string path = folder + lockFileName(name);
        return lockAt(AT_FDCWD, path, path);
    }

    void releaseIn(const std::string &folder, const std::string &name)
    {
        unlockAt(folder + lockFileName(name));
    }

    void ensureRuntimeDirEnv()
    {
        // A runtime folder of ours alone is kept; any other value is replaced.
        if (const char *xdg = xdgRuntimeDir()) {
            if (usableBase(trimmed(xdg), true))
                return;
        }
        const std::string dir = fallbackRuntimeBase();
        if (ensurePrivateDir(dir) && folderNameFree(dir)) {
            ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
            return;
        }
        // The usual name is taken by something not ours (another user may create it first):
        // the folder of an unforeseeable name an earlier start made, or a new one, handed down
        // to the children by the variable.
        std::string unique = earlierUniqueFallback();
        if (unique.empty()) {
            unique = dir + "-XXXXXX";
            if (!::mkdtemp(&unique[0]))
                return;
        }
        ::setenv("XDG_RUNTIME_DIR", unique.c_str(), 1);
    }
}
