// Stand-in for the encryption program on the same pipe layer. The task's "format" member picks
// what it does: success, fail, crash, hang, noconnect-exit, noconnect-hang, flood, garbage,
// badprogress, nooutput, exit3, stopself (stops itself once connected), termignore and
// termclean (record SIGTERM in $FAKESORBIN_SIGNAL_LOG; the first then goes on hanging, the
// second removes its temporary output and exits with 0), "copy:<path>" (succeeds with a copy of
// that file as its output), and "swap:<kind>:<moment>": at the
// moment (start, work, success, failure) another user's move, done from this process: the run
// folder is renamed to "moved-away-<job id>" and in its place goes a link to the folder named by
// $FAKESORBIN_SWAP_TARGET (kind "link"), that folder itself ("teacher") or a folder of another
// user ("foreign"); or (kind "exchange") the run folder and that folder (in the same folder)
// trade names in one step, done by uid 65534 when this runs as root; then the run goes on (to
// success, or failure for the moment "failure").
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <iostream>
#include <string>
#include <thread>

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "namedpipe.h"

namespace
{
    platform::NamedPipeClient g_pipe;
    char g_signalLog[4096];
    char g_temp[4096];
    bool g_cleanOnTerm = false;

    void onTerm(int)
    {
        const int fd = ::open(g_signalLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const char text[] = "TERM\n";
            if (::write(fd, text, sizeof(text) - 1) < 0) {
            }
            ::close(fd);
        }
        if (g_cleanOnTerm) {
            ::unlink(g_temp);
            ::_exit(0);
        }
    }

    void recordTerm(bool clean, const QString &temp)
    {
        const char *log = std::getenv("FAKESORBIN_SIGNAL_LOG");
        std::snprintf(g_signalLog, sizeof(g_signalLog), "%s", log ? log : "/dev/null");
        std::snprintf(g_temp, sizeof(g_temp), "%s", QFile::encodeName(temp).constData());
        g_cleanOnTerm = clean;
        struct sigaction action {};
        action.sa_handler = onTerm;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
    }

    void send(const std::string &message)
    {
        std::string reply;
        if (g_pipe.write(message))
            g_pipe.read(reply, 5000);
    }

    void writeFile(const QString &path, const QByteArray &data)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(data);
    }

    void flood(int megabytes)
    {
        const std::string line(1023, 'x');
        for (int i = 0; i < megabytes * 1024; ++i)
            std::cout << line << '\n';
        std::cout.flush();
    }

    // Trades the names of `run` in `folder` and of `target` (in the same folder), in one step,
    // as another user (uid 65534) when this runs as root: relative to the open folder, so that
    // only that folder's own modes count.
    void exchangeAsOtherUser(const QByteArray &folder, const QByteArray &run, const QByteArray &target)
    {
        const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0)
            return;
        QByteArray other = target;
        while (other.endsWith('/'))
            other.chop(1);
        other = other.mid(other.lastIndexOf('/') + 1);
        if (::getuid() != 0) {
            ::renameat2(dir, run.constData(), dir, other.constData(), RENAME_EXCHANGE);
        } else if (const pid_t pid = ::fork(); pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            ::_exit(::renameat2(dir, run.constData(), dir, other.constData(), RENAME_EXCHANGE) == 0 ? 0 : 1);
        } else if (pid > 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        ::close(dir);
    }

    void swapRunFolder(const QJsonObject &task, const std::string &kind)
    {
        const QByteArray folder = QFile::encodeName(task.value(QStringLiteral("file_path")).toString());
        const QByteArray id = QByteArray::number(task.value(QStringLiteral("randEnc")).toVariant().toLongLong());
        const QByteArray prefix = ".vantrel-" + id + "-";
        QByteArray run;
        if (DIR *dir = ::opendir(folder.constData())) {
            while (struct dirent *entry = ::readdir(dir))
                if (std::strncmp(entry->d_name, prefix.constData(), size_t(prefix.size())) == 0)
                    run = entry->d_name;
            ::closedir(dir);
        }
        if (run.isEmpty())
            return;
        const QByteArray path = folder + run;
        const QByteArray target = qgetenv("FAKESORBIN_SWAP_TARGET");
        if (kind == "exchange") {
            exchangeAsOtherUser(folder, run, target);
            return;
        }
        if (::rename(path.constData(), (folder + "moved-away-" + id).constData()) != 0)
            return;
        if (kind == "link") {
            if (::symlink(target.constData(), path.constData()) != 0)
                return;
        } else if (kind == "teacher") {
            ::rename(target.constData(), path.constData());
        } else if (kind == "foreign" && ::mkdir(path.constData(), 0777) == 0) {
            ::chmod(path.constData(), 0777);
            if (::getuid() == 0 && ::chown(path.constData(), 65534, 65534) != 0)
                return;
        }
    }

    // With $FAKESORBIN_LOCK_FOLDER, that folder turns read-only once the output is written:
    // mode 0500 and, for root (whom modes do not stop), the immutable flag.
    void lockFolder()
    {
        const QByteArray folder = qgetenv("FAKESORBIN_LOCK_FOLDER");
        if (folder.isEmpty())
            return;
        ::chmod(folder.constData(), 0500);
        const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0)
            ::close(fd);
    }

    [[noreturn]] void sleepForever()
    {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    const QJsonObject task = QJsonDocument::fromJson(QByteArray(argv[1])).object();
    std::string mode = task.value(QStringLiteral("format")).toString().toStdString();
    std::string swapKind;
    std::string swapAt;
    if (mode.compare(0, 5, "swap:") == 0) {
        const size_t colon = mode.find(':', 5);
        swapKind = mode.substr(5, colon - 5);
        swapAt = colon == std::string::npos ? std::string() : mode.substr(colon + 1);
        mode = swapAt == "failure" ? "fail" : "success";
    }
    auto swapIf = [&](const char *moment) {
        if (swapAt == moment)
            swapRunFolder(task, swapKind);
    };
    const QString output = task.value(QStringLiteral("save_path")).toString() + task.value(QStringLiteral("video_key")).toString();
    const QString temp = output + QStringLiteral(".tmp");

    std::string keyLine;
    if (std::string(argv[2]) == "-")
        std::getline(std::cin, keyLine);
    const QByteArray key = QByteArray::fromBase64(QByteArray::fromStdString(keyLine));

    if (mode == "termignore" || mode == "termclean")
        recordTerm(mode == "termclean", temp);
    if (mode == "noconnect-exit")
        return 1;
    if (mode == "noconnect-hang")
        sleepForever();
    if (!g_pipe.connect(argv[3], 2000))
        return 3;

    swapIf("start");
    writeFile(temp, "partial");
    swapIf("work");
    if (mode == "flood")
        flood(8);
    send("2:10\n");
    if (mode == "garbage") {
        send("abc:def\n");
        send("3:L3gveQ==\n");
        send("4:encryptFrame\n");
    }
    if (mode == "badprogress")
        send("2:5:6\n");
    if (mode == "crash")
        std::abort();
    if (mode == "hang" || mode == "termignore" || mode == "termclean")
        sleepForever();
    if (mode == "stopself")
        ::raise(SIGSTOP);
    if (mode == "growsource") {
        // The source grows while it is read; the run then fails.
        QFile source(task.value(QStringLiteral("file_path")).toString() + task.value(QStringLiteral("file_name")).toString());
        if (source.open(QIODevice::Append))
            source.write(" and more");
        source.close();
        send("1:failed\n");
        return 1;
    }
    if (mode == "fail") {
        swapIf("failure");
        send("1:failed\n");
        return 1;
    }
    send("2:57\n");
    if (mode == "flood")
        flood(8);
    send("2:100\n");
    QFile::remove(temp);
    if (mode.compare(0, 5, "copy:") == 0) {
        QFile source(QString::fromStdString(mode.substr(5)));
        if (source.open(QIODevice::ReadOnly))
            writeFile(output, source.readAll());
    } else if (mode != "nooutput") {
        writeFile(output, "video:" + key);
    }
    swapIf("success");
    lockFolder();
    send("0:success\n");
    g_pipe.close();
    return mode == "exit3" ? 3 : 0;
}
