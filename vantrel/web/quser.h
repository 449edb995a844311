#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include <QObject>
#include <QString>

#include "hrequest.h"
#include "qrequestparam.h"
#include "qvalue.h"

// The sign-in state and the only client of the web API: one operation per call.
// Asynchronous calls are made on the GUI thread and answer `slot` of `receiver` with
// (bool ok, const QValue &data, const QString &error); synchronous calls run on the
// calling (job) thread. The fields are guarded, so job threads may build requests while
// the GUI thread signs in anew.
class QUser : public QObject
{
    Q_OBJECT

public:
    static QUser *instance();

    void setToken(const QString &token, const QString &tokenSecret);
    // Forgets the sign-in: token, secret, user name and teacher id, as before the first one.
    void signOut();
    void setTeacherId(int teacherId);
    int teacherId() const;
    QString mac() const;
    QString token() const;
    QString tokenSecret() const;
    QString uname() const;
    // A reply said the sign-in is no longer valid, and no new token was set since: the
    // failed replies of that moment need no message of their own.
    bool signInLost() const;

    // The request of one call: POST, JSON, "lang" header; authenticated calls carry
    // oauth_token, oauth_token_secret and uname in the clear, every call its parameters
    // enciphered in "key".
    std::shared_ptr<HRequest> makeRequest(const QString &path, QRequestParam &params, bool authenticated);
    // Builds, connects (reply to `slot`, code 4 to tokenInvalid()) and queues the request;
    // `timeoutSeconds` above 0 replaces the request's own time-out.
    bool asyncRequest(const QString &path, QRequestParam &params, QObject *receiver, const char *slot, bool authenticated,
                      int timeoutSeconds = 0);

    void login(const QString &uname, const QString &password, QObject *receiver, const char *slot);
    bool getAuthCode(int rand, const QString &courseId, QValue &data, QString &error);
    bool webGetKey(QValue &data, QString &error);
    bool getUploadToken(QValue &data, QString &error);
    bool uploadInfo(const QString &srcKey, const QString &duration, const QString &resolution, int encrypted,
                    int version, qint64 size, QString &error);
    void rename(const QString &srcKey, const QString &newName, QObject *receiver, const char *slot);
    void remove(const QString &srcKey, QObject *receiver, const char *slot);
    void teacherVideoList(const QString &title, QObject *receiver, const char *slot);
    void getVideoFile(int courseId, QObject *receiver, const char *slot);
    void getSearch(const QString &title, QObject *receiver, const char *slot);
    void versionCheck(QObject *receiver, const char *slot);
    void createVideo(QRequestParam &params, QObject *receiver, const char *slot);
    void videoInfo(int videoId, QObject *receiver, const char *slot);
    void getSpaceAndFlux(QObject *receiver, const char *slot);
    void getLecturer(QObject *receiver, const char *slot);
    void uploadSave(QObject *receiver, const char *slot);

    // The time-out of the course-creation call, in seconds: longer than the other calls', as a
    // server may take its time to make a course, and a creation cut off may still be made.
    static int createTimeout();
    static void setCreateTimeout(int seconds);

    // The version text sent by versionCheck ("v601").
    static QString versionParam();

signals:
    void tokenInvalid();

public slots:
    void onTokenInvalid();

private:
    QUser();
    bool syncRequest(const QString &path, QRequestParam &params, QValue &data, QString &error);

    std::atomic<int> m_teacherId {0};
    std::atomic<bool> m_signInLost {false};
    mutable std::mutex m_mutex; // guards the texts below
    QString m_uname;
    QString m_mac;
    QString m_token;
    QString m_tokenSecret;
};
