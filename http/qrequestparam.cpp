#include "qrequestparam.h"

#include <cstdio>

#include <QUrl>

#include "cstringhelp.h"

namespace
{
    const char *const kParamKey = "QWPT)(#@!$MBVCXZ(K)*&RTY^POIU%NB";
}

QRequestParam::QRequestParam(QObject *parent)
    : QObject(parent)
{
}

void QRequestParam::add(const QString &key, const QString &value, bool encode)
{
    const QString v = encode ? QString::fromLatin1(QUrl::toPercentEncoding(value)) : value;
    m_params.append(QStringLiteral("%1=%2").arg(key, v));
}

QStringList QRequestParam::params() const
{
    return m_params;
}

QString QRequestParam::toString() const
{
    return m_params.join(QLatin1Char('&'));
}

QString QRequestParam::toEncrypted() const
{
    const std::string body = encrypt(toString().toUtf8().toStdString());
    return QString::fromStdString(checksum(body) + body);
}

std::string QRequestParam::encrypt(const std::string &text)
{
    return CStringHelp::aesEncrypt(text, kParamKey);
}

std::string QRequestParam::checksum(const std::string &text)
{
    unsigned char reg = 0;
    for (unsigned char c : text)
    {
        reg ^= c;
        for (int i = 0; i < 8; ++i)
            reg = (reg & 0x80) ? static_cast<unsigned char>((reg << 1) ^ 0xAA) : static_cast<unsigned char>(reg << 1);
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", reg);
    return digits;
}
