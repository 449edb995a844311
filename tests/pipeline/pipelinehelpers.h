#pragma once

#include <memory>

#include <QString>

#include "qdtaconfig.h"

class PlatformServer;

namespace pipelinetest
{
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
}
