#include <QString>

#include <gtest/gtest.h>

#include "qappsetting.h"
#include "qplatformhosts.h"
#include "testsupport.h"

namespace
{
    // No start.ini and no host in the environment while it lives, whatever the test before set.
    class NoHostsSet
    {
    public:
        NoHostsSet() { reset(); }
        ~NoHostsSet() { reset(); }

    private:
        static void reset()
        {
            QAppSetting::instance()->reopen(QString());
            for (const char *name : {"VANTREL_API_HOST", "VANTREL_WEB_HOST", "VANTREL_SITE_HOST", "VANTREL_DOCS_HOST",
                                     "VANTREL_UPLOAD_HOST"})
                qunsetenv(name);
        }
    };
}

TEST(QPlatformHosts, DefaultsToTheLocalServer)
{
    const NoHostsSet clean;
    EXPECT_EQ(QPlatformHosts::apiHost(), QStringLiteral("127.0.0.1:18480"));
    EXPECT_EQ(QPlatformHosts::docsHost(), QStringLiteral("127.0.0.1:18480"));
    EXPECT_EQ(QPlatformHosts::apiBaseUrl(), QStringLiteral("http://127.0.0.1:18480/"));
}

// "start.ini" first, the environment over it, typing slips tolerated.
TEST(QPlatformHosts, ReadsStartIniAndTheEnvironment)
{
    const NoHostsSet clean;
    const QString ini = testsupport::newTempDir() + QStringLiteral("start.ini");
    ASSERT_TRUE(testsupport::writeAll(ini,
        "[config]\napi_host=api.test:81\nweb_host= http://web.test:82/ \nsite_host=site.test\ndocs_host=\n"));
    QAppSetting::instance()->reopen(ini);

    EXPECT_EQ(QPlatformHosts::apiHost(), QStringLiteral("api.test:81"));
    EXPECT_EQ(QPlatformHosts::webHost(), QStringLiteral("web.test:82"));
    EXPECT_EQ(QPlatformHosts::siteHost(), QStringLiteral("site.test"));
    EXPECT_EQ(QPlatformHosts::docsHost(), QStringLiteral("127.0.0.1:18480"));
    EXPECT_EQ(QPlatformHosts::uploadHost(), QStringLiteral("127.0.0.1:18480"));

    qputenv("VANTREL_API_HOST", "127.0.0.1:9");
    qputenv("VANTREL_UPLOAD_HOST", "up.test:5");
    qputenv("VANTREL_SITE_HOST", "  ");
    EXPECT_EQ(QPlatformHosts::apiBaseUrl(), QStringLiteral("http://127.0.0.1:9/"));
    EXPECT_EQ(QPlatformHosts::uploadHost(), QStringLiteral("up.test:5"));
    EXPECT_EQ(QPlatformHosts::siteHost(), QStringLiteral("site.test"));
    qunsetenv("VANTREL_API_HOST");
    EXPECT_EQ(QPlatformHosts::apiHost(), QStringLiteral("api.test:81"));
}

// The start.ini that ships beside the programs points every host at the demo server.
TEST(QPlatformHosts, ShippedStartIni)
{
    const NoHostsSet clean;
    QAppSetting::instance()->reopen(QStringLiteral(VANTREL_SOURCE_DIR "resources/start.ini"));
    QAppSetting *ini = QAppSetting::instance();
    EXPECT_FALSE(ini->getBool(QStringLiteral("config"), QStringLiteral("debug"), true));
    EXPECT_EQ(ini->getInt(QStringLiteral("config"), QStringLiteral("threads"), 0), 3);
    for (const char *key : {"api_host", "web_host", "site_host", "docs_host", "upload_host"})
        EXPECT_EQ(ini->getString(QStringLiteral("config"), QString::fromLatin1(key)), QStringLiteral("127.0.0.1:18480")) << key;
    EXPECT_EQ(QPlatformHosts::apiBaseUrl(), QStringLiteral("http://127.0.0.1:18480/"));
}
