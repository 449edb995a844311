#pragma once

#include <memory>

#include <QList>

#include <QString>
#include <QStringList>

#include "qdtaconfig.h"

class PlatformServer;

namespace pipelinetest
{
    // Runs a program (in `folder` when given) with a bounded wait; true when it ended with 0.
    // Its merged output, trimmed, goes to `out`.
    bool runTool(const QString &program, const QStringList &arguments, QByteArray *out = nullptr,
                 const QString &folder = QString());

    // The demo platform server on a free loopback port, with QUser signed in as its teacher.
    class SignedIn
    {
    public:
        SignedIn();
        ~SignedIn();
        PlatformServer *server() const;
        int teacherId() const;

    private:
        std::unique_ptr<PlatformServer> m_server;
        int m_teacherId = 0;
    };

    // Copies `source` into `folder` under `name`; returns the new path (empty on failure).
    QString copyFile(const QString &source, const QString &folder, const QString &name);
    QDtaConfig config(int mode, const QString &courseId = QStringLiteral("12"));
    // The fake encryption program built beside the tests.
    QString fakeSorbin();
    // The real one in the build's bin/ folder.
    QString realSorbin();

    // An exFAT image mounted through FUSE, as a teacher's USB stick, that can be pulled (its
    // daemon killed, or unmounted lazily) and put back. The daemon is started with the mount
    // point's name from its parent folder, so that its command line names no test folder.
    class ExfatStick
    {
    public:
        // Makes the image `image` and mounts it at `point` (made when missing).
        ExfatStick(const QString &image, const QString &point, int megabytes = 96);
        ~ExfatStick();
        ExfatStick(const ExfatStick &) = delete;
        ExfatStick &operator=(const ExfatStick &) = delete;

        // Empty when mounted; else why this machine can't (a reason to skip).
        QString refusal() const;
        // The mount point, ending with "/".
        QString path() const;
        bool mount();
        bool unmount();
        bool unmountLazily();
        // Kills the FUSE daemon with SIGKILL: the mount stays, and every call on it fails.
        bool killDaemon();
        // Waits until no daemon serves the image (a lazily unmounted one ends with its last user).
        bool waitForNoDaemon(int timeoutMs);

    private:
        QList<qint64> daemons() const;

        QString m_point;
        QString m_loop;
        QString m_refusal;
        bool m_mounted = false;
    };
}
