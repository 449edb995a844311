#include "crashdump.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "fdio.h"

namespace
{
    const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

    char g_version[32];
    int g_buildDate = 0;
    long g_utcOffset = 0;            // seconds east of UTC, taken at install
    std::atomic<bool> g_dumped(false);

    // A fixed buffer with append helpers that need no allocation and no locale.
    struct Text
    {
        char buf[512];
        size_t len = 0;

        void add(const char *s)
        {
            while (*s && len + 1 < sizeof buf)
                buf[len++] = *s++;
            buf[len] = '\0';
        }
        void addNum(unsigned long long v, int width = 0, int base = 10)
        {
            char tmp[32];
            int n = 0;
            do
            {
                const int d = int(v % base);
                tmp[n++] = char(d < 10 ? '0' + d : 'a' + d - 10);
                v /= base;
            } while (v && n < 31);
            while (n < width && n < 31)
                tmp[n++] = '0';
            while (n > 0 && len + 1 < sizeof buf)
                buf[len++] = tmp[--n];
            buf[len] = '\0';
        }
        void addSigned(long long v)
        {
            if (v < 0)
            {
                add("-");
                addNum(static_cast<unsigned long long>(-(v + 1)) + 1);
            }
            else
                addNum(static_cast<unsigned long long>(v));
        }
    };

    void writeText(int fd, const Text &t)
    {
        platform::writeAll(fd, t.buf, t.len);
    }

    // "TracerPid:\t<n>" of /proc/self/status, read with plain system calls.
    bool debuggerAttached()
    {
        const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0)
            return false;
        buf[n] = '\0';
        const char *p = std::strstr(buf, "TracerPid:");
        if (!p)
            return false;
        p += 10;
        while (*p == ' ' || *p == '\t')
            ++p;
        return *p >= '1' && *p <= '9';
    }

    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    void civilFromDays(long long z, int &y, int &m, int &d)
    {
        z += 719468;
        const long long era = (z >= 0 ? z : z - 146096) / 146097;
        const unsigned doe = static_cast<unsigned>(z - era * 146097);
        const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        const unsigned mp = (5 * doy + 2) / 153;
        d = int(doy - (153 * mp + 2) / 5 + 1);
        m = int(mp < 10 ? mp + 3 : mp - 9);
        y = int(yoe + era * 400 + (m <= 2));
    }

    const char *signalName(int sig)
    {
        switch (sig)
        {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        case 0: return "std::terminate";
        default: return "signal";
        }
    }

    void copyFile(int out, const char *path)
    {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            platform::writeAll(out, buf, static_cast<size_t>(n));
        ::close(fd);
    }

    // Writes the dump once per process. sig 0 stands for std::terminate.
    void writeDump(int sig, const siginfo_t *info)
    {
        if (g_dumped.exchange(true) || debuggerAttached())
            return;

        const long pid = static_cast<long>(::getpid());
        const long tid = static_cast<long>(::syscall(SYS_gettid));
        const long long local = static_cast<long long>(::time(nullptr)) + g_utcOffset;
        long long days = local / 86400;
        long long secs = local % 86400;
        if (secs < 0)
        {
            secs += 86400;
            --days;
        }
        int y, mo, d;
        civilFromDays(days, y, mo, d);

        Text name;
        name.add("v");
        name.add(g_version);
        name.add("-");
        name.addSigned(g_buildDate);
        name.add("-");
        name.addNum(static_cast<unsigned>(y), 4);
        name.addNum(static_cast<unsigned>(mo), 2);
        name.addNum(static_cast<unsigned>(d), 2);
        name.add("-");
        name.addNum(static_cast<unsigned long long>(secs / 3600), 2);
        name.addNum(static_cast<unsigned long long>(secs / 60 % 60), 2);
        name.addNum(static_cast<unsigned long long>(secs % 60), 2);
        name.add("-");
        name.addSigned(pid);
        name.add("-");
        name.addSigned(tid);
        name.add(".dmp");

        // A new file only: a name planted in the folder (a link, another user's file) is never
        // written through; an old dump of ours under the same name goes first.
        int fd = ::open(name.buf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) {
            struct stat st;
            if (::lstat(name.buf, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() && ::unlink(name.buf) == 0)
                fd = ::open(name.buf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }
        if (fd < 0)
            return;

        Text head;
        head.add("crash dump\nversion: ");
        head.add(g_version);
        head.add("\nbuild date: ");
        head.addSigned(g_buildDate);
        head.add("\nsignal: ");
        head.addSigned(sig);
        head.add(" (");
        head.add(signalName(sig));
        head.add(")\n");
        if (info)
        {
            head.add("code: ");
            head.addSigned(info->si_code);
            head.add("\naddress: 0x");
            head.addNum(reinterpret_cast<unsigned long long>(info->si_addr), 0, 16);
            head.add("\n");
        }
        head.add("process: ");
        head.addSigned(pid);
        head.add("\nthread: ");
        head.addSigned(tid);
        head.add("\nbacktrace:\n");
        writeText(fd, head);

        void *frames[64];
        const int n = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, n, fd);

        const char maps[] = "memory map:\n";
        platform::writeAll(fd, maps, sizeof maps - 1);
        copyFile(fd, "/proc/self/maps");
        ::close(fd);

        Text note;
        note.add("crash dump written: ");
        note.add(name.buf);
        note.add("\n");
        writeText(STDERR_FILENO, note);
    }

    void onSignal(int sig, siginfo_t *info, void *)
    {
        writeDump(sig, info);
        // Default action again: the fault repeats on return, or the raised signal ends the process.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    }

    void onTerminate()
    {
        writeDump(0, nullptr);
        // abort() must not write a second dump.
        ::signal(SIGABRT, SIG_DFL);
        std::abort();
    }
}

namespace platform
{
    void installCrashHandler(const char *versionText, int buildDate)
    {
        std::strncpy(g_version, versionText ? versionText : "", sizeof g_version - 1);
        g_version[sizeof g_version - 1] = '\0';
        g_buildDate = buildDate;

        ::tzset();
        const time_t now = ::time(nullptr);
        struct tm lt;
        if (::localtime_r(&now, &lt))
            g_utcOffset = lt.tm_gmtoff;

        // The first backtrace() loads the unwinder; do it now, not inside a signal handler.
        void *warm[4];
        ::backtrace(warm, 4);

        static char altStack[64 * 1024];
        stack_t ss;
        std::memset(&ss, 0, sizeof ss);
        ss.ss_sp = altStack;
        ss.ss_size = sizeof altStack;
        ::sigaltstack(&ss, nullptr);

        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = onSignal;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        for (int sig : kSignals)
            ::sigaction(sig, &sa, nullptr);

        std::set_terminate(onTerminate);
    }
}
