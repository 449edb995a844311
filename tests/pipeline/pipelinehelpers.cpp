#include "pipelinehelpers.h"

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "platformserver.h"
#include "quser.h"
#include "testsupport.h"

bool pipelinetest::runTool(const QString &program, const QStringList &arguments, QByteArray *out, const QString &folder)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!folder.isEmpty())
        process.setWorkingDirectory(folder);
    process.start(program, arguments);
    if (!process.waitForStarted(5000))
        return false;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return false;
    }
    if (out)
        *out = process.readAll().trimmed();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

namespace pipelinetest
{
    SignedIn::SignedIn()
        : m_server(PlatformServer::startDemo())
    {
        if (!m_server)
            return;
        qputenv("VANTREL_API_HOST", QByteArray::fromStdString(m_server->host()));
        const PlatformServer::Session session = m_server->createSession("demo");
        QUser::instance()->setToken(QString::fromStdString(session.token), QString::fromStdString(session.secret));
        QUser::instance()->setTeacherId(session.uid);
        m_teacherId = session.uid;
    }

    SignedIn::~SignedIn()
    {
        if (m_server)
            m_server->stop();
    }

    PlatformServer *SignedIn::server() const
    {
        return m_server.get();
    }

    int SignedIn::teacherId() const
    {
        return m_teacherId;
    }

    QString copyFile(const QString &source, const QString &folder, const QString &name)
    {
        QDir().mkpath(folder);
        const QString target = QDir(folder).filePath(name);
        QFile::remove(target);
        return QFile::copy(source, target) ? target : QString();
    }

    QDtaConfig config(int mode, const QString &courseId)
    {
        QDtaConfig c;
        c.setEncryptType(static_cast<uint8_t>(mode));
        c.setCourseId(courseId);
        c.setCourseName(QStringLiteral("视频加密入门"));
        return c;
    }

    QString fakeSorbin()
    {
        return QStringLiteral(PIPELINE_FAKE_SORBIN);
    }

    QString realSorbin()
    {
        return QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("sorbin");
    }

    ExfatStick::ExfatStick(const QString &image, const QString &point, int megabytes)
        : m_point(QDir::cleanPath(point))
    {
        if (::geteuid() != 0) {
            m_refusal = QStringLiteral("mounting an image needs root");
            return;
        }
        for (const char *tool : {"/usr/sbin/mkfs.exfat", "/usr/sbin/mount.exfat-fuse", "/usr/sbin/losetup"})
            if (!QFileInfo(QString::fromLatin1(tool)).isExecutable()) {
                m_refusal = QStringLiteral("%1 is not installed (scripts/install-deps.sh)").arg(QString::fromLatin1(tool));
                return;
            }
        QDir().mkpath(m_point);
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(megabytes) * 1024 * 1024)) {
            m_refusal = QStringLiteral("no room for the image");
            return;
        }
        file.close();
        QByteArray out;
        if (!pipelinetest::runTool(QStringLiteral("/usr/sbin/mkfs.exfat"), {image}, &out)) {
            m_refusal = QStringLiteral("mkfs.exfat failed: ") + QString::fromUtf8(out);
            return;
        }
        if (!pipelinetest::runTool(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), image}, &out)) {
            m_refusal = QStringLiteral("no loop device here: ") + QString::fromUtf8(out);
            return;
        }
        m_loop = QString::fromUtf8(out);
        if (!mount())
            m_refusal = QStringLiteral("mounting through FUSE was refused");
    }

    ExfatStick::~ExfatStick()
    {
        if (m_mounted)
            unmountLazily();
        waitForNoDaemon(10000);
        if (!m_loop.isEmpty())
            pipelinetest::runTool(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("--detach"), m_loop});
    }

    QString ExfatStick::refusal() const
    {
        return m_refusal;
    }

    QString ExfatStick::path() const
    {
        return m_point + QLatin1Char('/');
    }

    bool ExfatStick::mount()
    {
        const QFileInfo point(m_point);
        m_mounted = pipelinetest::runTool(QStringLiteral("/usr/sbin/mount.exfat-fuse"), {m_loop, point.fileName()}, nullptr,
                            point.absolutePath());
        return m_mounted;
    }

    bool ExfatStick::unmount()
    {
        const bool done = pipelinetest::runTool(QStringLiteral("/usr/bin/umount"), {m_point});
        m_mounted = m_mounted && !done;
        return done;
    }

    bool ExfatStick::unmountLazily()
    {
        const bool done = pipelinetest::runTool(QStringLiteral("/usr/bin/umount"), {QStringLiteral("-l"), m_point});
        m_mounted = m_mounted && !done;
        return done;
    }

    bool ExfatStick::killDaemon()
    {
        const QList<qint64> pids = daemons();
        for (const qint64 pid : pids)
            ::kill(pid_t(pid), SIGKILL);
        return !pids.isEmpty() && testsupport::waitUntil([&]() { return daemons().isEmpty(); }, 10000);
    }

    bool ExfatStick::waitForNoDaemon(int timeoutMs)
    {
        return m_loop.isEmpty() || testsupport::waitUntil([&]() { return daemons().isEmpty(); }, timeoutMs);
    }

    QList<qint64> ExfatStick::daemons() const
    {
        QList<qint64> found;
        if (m_loop.isEmpty())
            return found;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool number = false;
            const qint64 pid = entry.toLongLong(&number);
            QFile file(QStringLiteral("/proc/%1/cmdline").arg(entry));
            if (!number || !file.open(QIODevice::ReadOnly))
                continue;
            const QList<QByteArray> argv = file.readAll().split('\0');
            if (argv.size() > 1 && argv.first().endsWith("mount.exfat-fuse") && argv.at(1) == m_loop.toUtf8())
                found << pid;
        }
        return found;
    }
}
