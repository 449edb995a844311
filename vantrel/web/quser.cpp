#include "quser.h"

#include <QCoreApplication>
#include <QThread>

#include "cglobal.h"
#include "commonfun.h"
#include "logger.h"
#include "qhttpclient.h"
#include "qplatformhosts.h"

#ifndef VANTREL_VERSION_TEXT
#define VANTREL_VERSION_TEXT "v6.01"
#endif

namespace
{
    // A copy that shares no buffer with the field, so a job thread never holds a reference
    // to text that the GUI thread replaces.
    QString detached(const QString &text)
    {
        return QString(text.constData(), text.size());
    }

    constexpr int kCreateTimeoutSeconds = 30;
    std::atomic<int> g_createTimeout {kCreateTimeoutSeconds};

    QString path(const char *app, const char *mod, const char *act)
    {
        return QStringLiteral("index.php?app=%1&mod=%2&act=%3&")
            .arg(QLatin1String(app), QLatin1String(mod), QLatin1String(act));
    }
}

QUser::QUser()
    : m_mac(QString::fromUtf8(CommonFun::getMachineId().c_str()))
{
    registerQValueMetaType();
}

QUser *QUser::instance()
{
    static QUser *user = [] {
        QUser *u = new QUser();
        // Queued token-invalid signals must reach the GUI thread even when a job thread asked first.
        if (QCoreApplication::instance() && u->thread() != QCoreApplication::instance()->thread())
            u->moveToThread(QCoreApplication::instance()->thread());
        return u;
    }();
    return user;
}

void QUser::setToken(const QString &token, const QString &tokenSecret)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_token = detached(token);
        m_tokenSecret = detached(tokenSecret);
    }
    m_signInLost = false;
}

void QUser::signOut()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_uname.clear();
    }
    setToken(QString(), QString());
    setTeacherId(0);
}

void QUser::setTeacherId(int teacherId)
{
    m_teacherId = teacherId;
}

int QUser::teacherId() const
{
    return m_teacherId;
}

QString QUser::mac() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return detached(m_mac);
}

QString QUser::token() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return detached(m_token);
}

QString QUser::tokenSecret() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return detached(m_tokenSecret);
}

QString QUser::uname() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return detached(m_uname);
}

bool QUser::signInLost() const
{
    return m_signInLost;
}

void QUser::onTokenInvalid()
{
    // Before the failed reply itself arrives (its signal was queued after this one).
    m_signInLost = true;
    emit tokenInvalid();
}

QString QUser::versionParam()
{
    return QStringLiteral(VANTREL_VERSION_TEXT).remove(QLatin1Char('.'));
}

std::shared_ptr<HRequest> QUser::makeRequest(const QString &path, QRequestParam &params, bool authenticated)
{
    auto request = std::make_shared<HRequest>();
    request->setUrl(QPlatformHosts::apiBaseUrl() + path);
    if (authenticated)
    {
        QString token, secret, uname;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            token = detached(m_token);
            secret = detached(m_tokenSecret);
            uname = detached(m_uname);
        }
        request->addParam(QStringLiteral("oauth_token"), token);
        request->addParam(QStringLiteral("oauth_token_secret"), secret);
        request->addParam(QStringLiteral("uname"), uname);
    }
    request->addHeader(QStringLiteral("lang"), QStringLiteral("en-us"));
    request->addParam(QStringLiteral("key"), params.toEncrypted());
    return request;
}

bool QUser::asyncRequest(const QString &path, QRequestParam &params, QObject *receiver, const char *slot, bool authenticated,
                         int timeoutSeconds)
{
    std::shared_ptr<HRequest> request = makeRequest(path, params, authenticated);
    if (timeoutSeconds > 0)
        request->setTimeout(timeoutSeconds);
    const bool replied = QHttpClient::connectReply(request.get(), false, receiver, slot);
    if (!QObject::connect(request.get(), SIGNAL(tokenInvalid()), this, SLOT(onTokenInvalid()), Qt::QueuedConnection))
        LOG_ERROR(L"tokenInvalid not connected");
    QHttpClient::instance()->addRequest(request);
    return replied;
}

bool QUser::syncRequest(const QString &path, QRequestParam &params, QValue &data, QString &error)
{
    std::shared_ptr<HRequest> request = makeRequest(path, params, true);
    return request->requestJson(data, error);
}

void QUser::login(const QString &uname, const QString &password, QObject *receiver, const char *slot)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_uname = detached(uname);
    }
    QRequestParam params;
    params.add(QStringLiteral("uname"), uname, true);
    params.add(QStringLiteral("upwd"), password, true);
    params.add(QStringLiteral("mac"), mac(), true);
    params.add(QStringLiteral("builddate"), QString::number(CGlobal::buildDate()), true);
    params.add(QStringLiteral("teacher"), QStringLiteral("1"), true);
    asyncRequest(path("api", "Login", "login"), params, receiver, slot, false);
}

bool QUser::getAuthCode(int rand, const QString &courseId, QValue &data, QString &error)
{
    QRequestParam params;
    params.add(QStringLiteral("rand_enc"), QString::number(rand), true);
    params.add(QStringLiteral("mac"), mac(), true);
    params.add(QStringLiteral("courseId"), courseId, true);
    return syncRequest(path("api", "Video", "getAuthCode"), params, data, error);
}

bool QUser::webGetKey(QValue &data, QString &error)
{
    QRequestParam params;
    return syncRequest(path("api", "Yunupload", "WebGetKey"), params, data, error);
}

bool QUser::getUploadToken(QValue &data, QString &error)
{
    QRequestParam params;
    return syncRequest(path("api", "Yunupload", "getUploadToken"), params, data, error);
}

bool QUser::uploadInfo(const QString &srcKey, const QString &duration, const QString &resolution, int encrypted,
                       int version, qint64 size, QString &error)
{
    QRequestParam params;
    params.add(QStringLiteral("srcKey"), srcKey, true);
    params.add(QStringLiteral("duration"), duration, true);
    params.add(QStringLiteral("resolution"), resolution, true);
    params.add(QStringLiteral("encrypted"), QString::number(encrypted), true);
    params.add(QStringLiteral("version"), QString::number(version), true);
    params.add(QStringLiteral("size"), QString::number(size), true);
    QValue data;
    return syncRequest(path("api", "Yunupload", "uploadInfo"), params, data, error);
}

void QUser::rename(const QString &srcKey, const QString &newName, QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("srcKey"), srcKey, true);
    params.add(QStringLiteral("newName"), newName, true);
    asyncRequest(path("api", "Yunupload", "rename"), params, receiver, slot, true);
}

void QUser::remove(const QString &srcKey, QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("srcKey"), srcKey, true);
    asyncRequest(path("api", "Yunupload", "delete"), params, receiver, slot, true);
}

void QUser::teacherVideoList(const QString &title, QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("teacherId"), QString::number(teacherId()), true);
    if (!title.isEmpty())
        params.add(QStringLiteral("title"), title, true);
    asyncRequest(path("api", "Teacher", "teacherVideoList"), params, receiver, slot, true);
}

void QUser::getVideoFile(int courseId, QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("courseId"), QString::number(courseId), true);
    asyncRequest(path("api", "Video", "getVideoFile"), params, receiver, slot, true);
}

void QUser::getSearch(const QString &title, QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("title"), title, true);
    asyncRequest(path("api", "Video", "GetSearch"), params, receiver, slot, true);
}

void QUser::versionCheck(QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("version"), versionParam(), true);
    params.add(QStringLiteral("type"), QStringLiteral("8"), true);
    asyncRequest(path("api", "Version", "versionCheck"), params, receiver, slot, true);
}

int QUser::createTimeout()
{
    return g_createTimeout;
}

void QUser::setCreateTimeout(int seconds)
{
    g_createTimeout = seconds > 0 ? seconds : kCreateTimeoutSeconds;
}

void QUser::createVideo(QRequestParam &params, QObject *receiver, const char *slot)
{
    asyncRequest(path("api", "Video", "CreateVideo"), params, receiver, slot, true, createTimeout());
}

void QUser::videoInfo(int videoId, QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("vid"), QString::number(videoId), true);
    asyncRequest(path("api", "Video", "videoInfo"), params, receiver, slot, true);
}

void QUser::getSpaceAndFlux(QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("teacherId"), QString::number(teacherId()), true);
    asyncRequest(path("api", "Teacher", "GetSpaceAndFLux"), params, receiver, slot, true);
}

void QUser::getLecturer(QObject *receiver, const char *slot)
{
    QRequestParam params;
    params.add(QStringLiteral("teacherId"), QString::number(teacherId()), true);
    asyncRequest(path("api", "Teacher", "GetLectuer"), params, receiver, slot, true);
}

void QUser::uploadSave(QObject *receiver, const char *slot)
{
    QRequestParam params;
    asyncRequest(path("widget", "Upload", "UploadSave"), params, receiver, slot, true);
}
