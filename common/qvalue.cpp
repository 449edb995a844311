#include "qvalue.h"

#include <cmath>
#include <limits>

#include <QLocale>

// The reader and the two writers are the library's older interface, which this program's
// formats are written with.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace
{
    const QValue &nullValue()
    {
        static const QValue value;
        return value;
    }

    bool textToInt64(const QValue &value, qint64 &out)
    {
        bool ok = false;
        const QString text = QString::fromUtf8(value.asCString()).trimmed();
        out = text.toLongLong(&ok);
        if (ok)
            return true;
        const double d = text.toDouble(&ok);
        if (ok && std::isfinite(d) && d >= -9.2e18 && d <= 9.2e18) {
            out = static_cast<qint64>(d);
            return true;
        }
        return false;
    }
}

void registerQValueMetaType()
{
    qRegisterMetaType<QValue>("QValue");
}

bool parseJson(const QByteArray &document, QValue &root, bool collectComments, QString *error)
{
    root = QValue();
    try {
        Json::Reader reader;
        const std::string text(document.constData(), static_cast<size_t>(document.size()));
        if (reader.parse(text.data(), text.data() + text.size(), root, collectComments))
            return true;
        if (error)
            *error = QString::fromStdString(reader.getFormattedErrorMessages()).trimmed();
    } catch (const std::exception &e) {
        if (error)
            *error = QString::fromUtf8(e.what());
    } catch (...) {
        if (error)
            *error = QStringLiteral("unknown parser failure");
    }
    root = QValue();
    return false;
}

bool parseJson(const QString &document, QValue &root, bool collectComments, QString *error)
{
    return parseJson(document.toUtf8(), root, collectComments, error);
}

QValue toQValue(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return QValue(std::string(bytes.constData(), static_cast<size_t>(bytes.size())));
}

QString asQString(const QValue &value)
{
    return asQString(value, QString());
}

QString asQString(const QValue &value, const QString &def)
{
    switch (value.type()) {
    case Json::stringValue: {
        const char *begin = nullptr;
        const char *end = nullptr;
        if (!value.getString(&begin, &end) || !begin)
            return QString();
        return QString::fromUtf8(begin, static_cast<int>(end - begin));
    }
    case Json::booleanValue:
        return value.asBool() ? QStringLiteral("true") : QStringLiteral("false");
    case Json::intValue:
        return QString::number(value.asLargestInt());
    case Json::uintValue:
        return QString::number(value.asLargestUInt());
    case Json::realValue:
        return QString::number(value.asDouble(), 'g', QLocale::FloatingPointShortest);
    case Json::nullValue:
        return def.isNull() ? QString() : def;
    default:
        return def;
    }
}

qint64 jsonInt64(const QValue &value, qint64 def)
{
    switch (value.type()) {
    case Json::intValue:
        return value.asInt64();
    case Json::uintValue:
        return value.asUInt64() <= static_cast<Json::UInt64>(std::numeric_limits<qint64>::max())
            ? static_cast<qint64>(value.asUInt64()) : def;
    case Json::realValue: {
        const double d = value.asDouble();
        return std::isfinite(d) && d >= -9.2e18 && d <= 9.2e18 ? static_cast<qint64>(d) : def;
    }
    case Json::booleanValue:
        return value.asBool() ? 1 : 0;
    case Json::stringValue: {
        qint64 out = 0;
        return textToInt64(value, out) ? out : def;
    }
    default:
        return def;
    }
}

int jsonInt(const QValue &value, int def)
{
    const qint64 wide = jsonInt64(value, std::numeric_limits<qint64>::min());
    if (wide == std::numeric_limits<qint64>::min())
        return def;
    if (wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max())
        return def;
    return static_cast<int>(wide);
}

double jsonDouble(const QValue &value, double def)
{
    switch (value.type()) {
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
        return value.asDouble();
    case Json::booleanValue:
        return value.asBool() ? 1.0 : 0.0;
    case Json::stringValue: {
        bool ok = false;
        const double d = QString::fromUtf8(value.asCString()).trimmed().toDouble(&ok);
        return ok ? d : def;
    }
    default:
        return def;
    }
}

bool jsonBool(const QValue &value, bool def)
{
    switch (value.type()) {
    case Json::booleanValue:
        return value.asBool();
    case Json::intValue:
        return value.asInt64() != 0;
    case Json::uintValue:
        return value.asUInt64() != 0;
    case Json::realValue:
        return value.asDouble() != 0.0;
    case Json::stringValue: {
        const QString text = QString::fromUtf8(value.asCString()).trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("1"))
            return true;
        if (text == QLatin1String("false") || text == QLatin1String("0"))
            return false;
        return def;
    }
    default:
        return def;
    }
}

const QValue &jsonMember(const QValue &value, const QString &name)
{
    if (!value.isObject())
        return nullValue();
    const QByteArray key = name.toUtf8();
    const QValue *found = value.find(key.constData(), key.constData() + key.size());
    return found ? *found : nullValue();
}

QValue &jsonMember(QValue &value, const QString &name)
{
    if (value.isNull())
        value = QValue(Json::objectValue);
    if (!value.isObject()) {
        thread_local QValue scratch;
        scratch = QValue();
        return scratch;
    }
    const QByteArray key = name.toUtf8();
    return value[std::string(key.constData(), static_cast<size_t>(key.size()))];
}

bool jsonOptionalString(const QValue &value, const QString &name, std::string &out)
{
    const QValue &member = jsonMember(value, name);
    if (member.isNull())
        return true;
    if (!member.isString())
        return false;
    out = member.asString();
    return true;
}

const QValue &jsonAt(const QValue &value, int index)
{
    if (!value.isArray() || index < 0 || static_cast<Json::ArrayIndex>(index) >= value.size())
        return nullValue();
    return value[static_cast<Json::ArrayIndex>(index)];
}

int jsonSize(const QValue &value)
{
    if (!value.isArray() && !value.isObject())
        return 0;
    return static_cast<int>(value.size());
}

bool jsonIsMember(const QValue &value, const QString &name)
{
    if (!value.isObject())
        return false;
    const QByteArray key = name.toUtf8();
    return value.find(key.constData(), key.constData() + key.size()) != nullptr;
}

QValue jsonRemoveMember(QValue &value, const QString &name)
{
    QValue removed;
    if (!value.isObject())
        return removed;
    const QByteArray key = name.toUtf8();
    value.removeMember(key.constData(), key.constData() + key.size(), &removed);
    return removed;
}

QStringList getMemberNameList(const QValue &value)
{
    QStringList names;
    if (!value.isObject())
        return names;
    for (const std::string &name : value.getMemberNames())
        names << QString::fromUtf8(name.data(), static_cast<int>(name.size()));
    return names;
}

QByteArray writeByteArray(Json::Writer &writer, const QValue &value)
{
    try {
        const std::string text = writer.write(value);
        return QByteArray(text.data(), static_cast<int>(text.size()));
    } catch (...) {
        return QByteArray();
    }
}

QString writeQString(Json::Writer &writer, const QValue &value)
{
    return QString::fromUtf8(writeByteArray(writer, value));
}

QByteArray toStyledByteArray(const QValue &value, bool styled)
{
    if (styled) {
        Json::StyledWriter writer;
        return writeByteArray(writer, value);
    }
    Json::FastWriter writer;
    return writeByteArray(writer, value);
}

QString toStyledQString(const QValue &value)
{
    return QString::fromUtf8(toStyledByteArray(value, false));
}
