#include "qjsonfile.h"

#include <mutex>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "commonfun.h"
#include "logger.h"
#include "qsafefile.h"

QString QJsonFile::badFileName(const QString &path)
{
    return CommonFun::badFileName(path);
}

namespace
{
    // Logs a failure and hands its reason to the caller; always false.
    bool fail(const QString &reason, QString *error)
    {
        LOG_ERROR(reason);
        if (error)
            *error = reason;
        return false;
    }
}

bool QJsonFile::read(const QString &path, QValue &root, QString *error)
{
    root = QValue();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()), error);
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()), error);
    file.close();
    // Editors may put a UTF-8 byte-order mark in front: it is no damage.
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);

    QString parseError;
    if (parseJson(data, root, false, &parseError))
        return true;
    root = QValue();
    if (parseError.isEmpty())
        parseError = QStringLiteral("not a JSON document");
    const QString bad = CommonFun::setDamagedFileAside(path);
    if (bad.isEmpty())
        return fail(QStringLiteral("%1 is damaged (%2) and could not be renamed").arg(path, parseError), error);
    return fail(QStringLiteral("%1 is damaged (%2); kept as %3").arg(path, parseError, bad), error);
}

bool QJsonFile::write(const QString &path, const QValue &root, bool styled, QString *error)
{
    return writeText(path, toStyledByteArray(root, styled), error);
}

namespace
{
    std::mutex s_faultMutex;
    QString s_faultPath;
    QString s_faultReason;
}

void QJsonFile::setWriteFaultForTests(const QString &path, const QString &reason)
{
    std::lock_guard<std::mutex> lock(s_faultMutex);
    s_faultPath = path;
    s_faultReason = reason;
}

bool QJsonFile::writeText(const QString &path, const QByteArray &data, QString *error)
{
    {
        std::lock_guard<std::mutex> lock(s_faultMutex);
        if (!s_faultPath.isEmpty() && s_faultPath == path)
            return fail(QStringLiteral("cannot write %1: %2").arg(path, s_faultReason), error);
    }
    // Every value has a text ("null" at least); none means the writer failed, and the file
    // on disk must not be replaced by nothing.
    if (data.isEmpty())
        return fail(QStringLiteral("cannot write %1: the state could not be serialised").arg(path), error);
    QString reason;
    if (!QSafeFile::save(path, data, &reason))
        return fail(reason, error);
    return true;
}
