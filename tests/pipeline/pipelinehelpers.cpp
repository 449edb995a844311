#include "pipelinehelpers.h"

#include <QDir>
#include <QFile>

#include "platformserver.h"
#include "quser.h"
#include "testsupport.h"

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
}
