#include "qjsonfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "logger.h"

QString QJsonFile::badFileName(const QString &path)
{
    QString name = path + QStringLiteral(".bad");
    for (int i = 1; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++i)
        name = path + QStringLiteral(".bad.") + QString::number(i);
    return name;
}

bool QJsonFile::read(const QString &path, QValue &root, QString *error)
{
    root = QValue();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        const QString reason = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        LOG_ERROR(reason);
        if (error)
            *error = reason;
        return false;
    }
    const QByteArray data = file.readAll();
    const bool readFailed = file.error() != QFileDevice::NoError;
    file.close();
    if (readFailed) {
        const QString reason = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        LOG_ERROR(reason);
        if (error)
            *error = reason;
        return false;
    }

    QString parseError;
    if (parseJson(data, root, false, &parseError))
        return true;
    if (parseError.isEmpty())
        parseError = QStringLiteral("not a JSON document");

    const QString bad = badFileName(path);
    QString reason;
    if (QFile::rename(path, bad))
        reason = QStringLiteral("%1 is damaged (%2); kept as %3").arg(path, parseError, bad);
    else
        reason = QStringLiteral("%1 is damaged (%2) and could not be renamed").arg(path, parseError);
    LOG_ERROR(reason);
    if (error)
        *error = reason;
    root = QValue();
    return false;
}

bool QJsonFile::write(const QString &path, const QValue &root, bool styled, QString *error)
{
    const QByteArray data = toStyledByteArray(root, styled);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    QString reason;
    if (!file.open(QIODevice::WriteOnly)) {
        reason = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    } else if (file.write(data) != data.size()) {
        reason = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        file.cancelWriting();
    } else if (!file.commit()) {
        reason = QStringLiteral("cannot save %1: %2").arg(path, file.errorString());
    }
    if (reason.isEmpty())
        return true;
    LOG_ERROR(reason);
    if (error)
        *error = reason;
    return false;
}
