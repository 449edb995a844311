#pragma once

#include <memory>
#include <string>

#include <QByteArray>
#include <QString>

#include "cloudserver.h"
#include "platformserver.h"

// The local platform server with its cloud routes on a free port of 127.0.0.1, and the web API
// and upload hosts pointed at it.
class UploadServer
{
public:
    UploadServer();
    ~UploadServer();

    bool isRunning() const;
    PlatformServer &platform();
    CloudServer &cloud();
    // A token the cloud part accepts.
    static const char *token();

private:
    std::unique_ptr<PlatformServer> m_platform;
    std::unique_ptr<CloudServer> m_cloud;
    bool m_running = false;
};

// `size` random bytes (seeded) in a new file under TMPDIR.
QString makeRandomFile(const QString &dir, const QString &name, qint64 size, unsigned seed);
