#include "uploadserver.h"

#include <random>
#include <vector>

#include <QFile>

#include "qiniu.h"

UploadServer::UploadServer()
{
    const Json::Value fixture = PlatformServer::readFixture(PlatformServer::demoFixturePath());
    if (fixture.isNull())
        return;
    m_platform = std::make_unique<PlatformServer>(fixture);
    m_cloud = std::make_unique<CloudServer>(*m_platform);
    m_cloud->addToken(token());
    if (m_platform->start(0) <= 0)
        return;
    m_running = true;
    qputenv("VANTREL_UPLOAD_HOST", QByteArray::fromStdString(m_platform->host()));
    qputenv("VANTREL_API_HOST", QByteArray::fromStdString(m_platform->host()));
}

UploadServer::~UploadServer()
{
    // The cloud part first: its delayed answers end at once, so the server stops quickly.
    m_cloud.reset();
    if (m_platform)
        m_platform->stop();
    m_platform.reset();
}

bool UploadServer::isRunning() const
{
    return m_running;
}

PlatformServer &UploadServer::platform()
{
    return *m_platform;
}

CloudServer &UploadServer::cloud()
{
    return *m_cloud;
}

const char *UploadServer::token()
{
    return "up-test-token";
}

QString makeRandomFile(const QString &dir, const QString &name, qint64 size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint32_t> words(size_t((size + 3) / 4));
    for (auto &w : words)
        w = random();
    QFile file(dir + name);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(reinterpret_cast<const char *>(words.data()), size) != size)
        return QString();
    return dir + name;
}
