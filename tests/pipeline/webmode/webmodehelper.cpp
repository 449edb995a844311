// Child of the Web-mode kill test: transcodes its source (argument 1) for minutes, as a job of
// the program would, until it is killed.
#include <cstdio>

#include <QCoreApplication>

#include <json/json.h>

#include "cglobal.h"
#include "qdtaconfig.h"
#include "qdtavideo.h"
#include "quser.h"
#include "qwebmodel.h"
#include "uexception.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: webmodehelper <source>\n");
        return 2;
    }
    try
    {
        CGlobal::init();
        QUser::instance()->setTeacherId(12);
        QDtaConfig config;
        config.setEncryptType(4);
        config.setCourseId(QStringLiteral("345"));
        config.setAutoConvert(true);
        config.setWebQuality(QStringLiteral("-preset ultrafast -vf tpad=stop_mode=clone:stop_duration=600,realtime"));
        Json::Value json = QDtaVideo(1700000000001LL, QString::fromLocal8Bit(argv[1]), config).toJson();
        json["codec"] = Json::Value(QDtaVideo::CodecH264);
        QWebModel model(std::make_shared<QDtaVideo>(json));
        model.run();
        return 0;
    }
    catch (const UException &e)
    {
        std::fprintf(stderr, "%s\n", e.qMessage().toUtf8().constData());
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "%s\n", e.what());
    }
    catch (...)
    {
        std::fprintf(stderr, "unknown exception\n");
    }
    return 1;
}
