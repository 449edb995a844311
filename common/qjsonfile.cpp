#include "qjsonfile.h"

#include <mutex>
#include <string_view>
#include <vector>

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

namespace
{
    enum class Bytes
    {
        Missing,
        Read,
        Failed
    };

    // The file's bytes, without a UTF-8 byte-order mark (editors may put one in front: it is
    // no damage).
    Bytes readBytes(const QString &path, QByteArray &data, QString *error)
    {
        QFile file(path);
        if (!file.exists())
            return Bytes::Missing;
        if (!file.open(QIODevice::ReadOnly)) {
            fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()), error);
            return Bytes::Failed;
        }
        data = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()), error);
            return Bytes::Failed;
        }
        file.close();
        if (data.startsWith("\xEF\xBB\xBF"))
            data.remove(0, 3);
        return Bytes::Read;
    }

    // Keeps a file that is no JSON aside; always false.
    bool damaged(const QString &path, QString parseError, QString *error)
    {
        if (parseError.isEmpty())
            parseError = QStringLiteral("not a JSON document");
        const QString bad = CommonFun::setDamagedFileAside(path);
        if (bad.isEmpty())
            return fail(QStringLiteral("%1 is damaged (%2) and could not be renamed").arg(path, parseError), error);
        return fail(QStringLiteral("%1 is damaged (%2); kept as %3").arg(path, parseError, bad), error);
    }

    struct MemberSpan
    {
        int nameBegin;
        int nameEnd;
        int valueBegin;
        int valueEnd;
    };

    // The members of `data` when it is a plain JSON object whose names are printable ASCII
    // without escapes, in strictly ascending byte order, whose values are objects, with no
    // comment and nothing after it, as the program writes its files. False for anything else,
    // which is then read whole.
    bool scanObject(const QByteArray &data, std::vector<MemberSpan> &spans)
    {
        const char *s = data.constData();
        const int n = data.size();
        int i = 0;
        auto blanks = [&]() {
            while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r'))
                ++i;
        };
        blanks();
        if (i >= n || s[i] != '{')
            return false;
        ++i;
        blanks();
        if (i < n && s[i] == '}') {
            ++i;
            blanks();
            return i == n;
        }
        std::string_view previous;
        for (;;) {
            if (i >= n || s[i] != '"')
                return false;
            const int nameBegin = ++i;
            for (; i < n && s[i] != '"'; ++i) {
                const unsigned char c = static_cast<unsigned char>(s[i]);
                if (c < 0x20 || c > 0x7e || c == '\\')
                    return false;
            }
            if (i >= n)
                return false;
            const std::string_view name(s + nameBegin, static_cast<size_t>(i - nameBegin));
            if (!spans.empty() && !(previous < name))
                return false;
            previous = name;
            const int nameEnd = i++;
            blanks();
            if (i >= n || s[i] != ':')
                return false;
            ++i;
            blanks();
            if (i >= n || s[i] != '{')
                return false;
            const int valueBegin = i;
            int depth = 0;
            for (; i < n; ++i) {
                const char c = s[i];
                if (c == '"') {
                    for (++i; i < n && s[i] != '"'; ++i) {
                        if (s[i] == '\\')
                            ++i;
                    }
                    if (i >= n)
                        return false;
                } else if (c == '/') {
                    return false;
                } else if (c == '{' || c == '[') {
                    if (++depth > 64)
                        return false;
                } else if ((c == '}' || c == ']') && --depth == 0) {
                    ++i;
                    break;
                }
            }
            if (depth != 0)
                return false;
            spans.push_back({nameBegin, nameEnd, valueBegin, i});
            blanks();
            if (i >= n)
                return false;
            if (s[i] == ',') {
                ++i;
                blanks();
                continue;
            }
            if (s[i] != '}')
                return false;
            ++i;
            blanks();
            return i == n;
        }
    }
}

bool QJsonFile::read(const QString &path, QValue &root, QString *error)
{
    root = QValue();
    QByteArray data;
    const Bytes bytes = readBytes(path, data, error);
    if (bytes != Bytes::Read)
        return bytes == Bytes::Missing;
    QString parseError;
    if (parseJson(data, root, false, &parseError))
        return true;
    root = QValue();
    return damaged(path, parseError, error);
}

bool QJsonFile::readMembers(const QString &path, const std::function<void(const QString &, const QValue &)> &member,
                            QValue &root, QString *error)
{
    root = QValue();
    QByteArray data;
    const Bytes bytes = readBytes(path, data, error);
    if (bytes != Bytes::Read)
        return bytes == Bytes::Missing;

    std::vector<MemberSpan> spans;
    if (scanObject(data, spans)) {
        // Each member parsed alone, as the whole document's parse would parse it there.
        const char *s = data.constData();
        Json::Reader reader;
        for (const MemberSpan &span : spans) {
            QValue value;
            bool parsed = false;
            try {
                parsed = reader.parse(s + span.valueBegin, s + span.valueEnd, value, false);
            } catch (const std::exception &) {
                parsed = false;
            }
            if (!parsed)
                return damaged(path, QString::fromStdString(reader.getFormattedErrorMessages()).trimmed(), error);
            member(QString::fromLatin1(s + span.nameBegin, span.nameEnd - span.nameBegin), value);
        }
        return true;
    }

    QString parseError;
    if (!parseJson(data, root, false, &parseError)) {
        root = QValue();
        return damaged(path, parseError, error);
    }
    data.clear();
    if (!root.isObject())
        return true;
    const QValue whole = std::move(root);
    root = QValue();
    for (const QString &name : getMemberNameList(whole))
        member(name, jsonMember(whole, name));
    return true;
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
    return writeParts(path, QSafeFile::onePiece(data), error);
}

bool QJsonFile::writeParts(const QString &path, const std::function<QByteArray()> &next, QString *error)
{
    {
        std::lock_guard<std::mutex> lock(s_faultMutex);
        if (!s_faultPath.isEmpty() && s_faultPath == path)
            return fail(QStringLiteral("cannot write %1: %2").arg(path, s_faultReason), error);
    }
    QByteArray data = next();
    // Every value has a text ("null" at least); none means the writer failed, and the file
    // on disk must not be replaced by nothing.
    if (data.isEmpty())
        return fail(QStringLiteral("cannot write %1: the state could not be serialised").arg(path), error);
    QString reason;
    bool first = true;
    const bool saved = QSafeFile::saveParts(path, [&]() {
        if (first) {
            first = false;
            return data;
        }
        return next();
    }, &reason);
    if (!saved)
        return fail(reason, error);
    return true;
}
