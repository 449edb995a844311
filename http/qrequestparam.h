#pragma once

#include <string>

#include <QObject>
#include <QString>
#include <QStringList>

// The ordered parameters of one web-API call, sent enciphered as the query parameter "key":
// two checksum digits followed by the AES text of the entries joined with "&".
class QRequestParam : public QObject
{
    Q_OBJECT

public:
    explicit QRequestParam(QObject *parent = nullptr);

    // Appends "key=value"; with `encode` the value is percent-encoded as in HRequest::addParam.
    void add(const QString &key, const QString &value, bool encode = true);
    QStringList params() const;
    QString toString() const;
    QString toEncrypted() const;

    // AES-256-ECB of the UTF-8 text under the parameter key, as base64.
    static std::string encrypt(const std::string &text);
    // CRC-8 (register 0, polynomial 0xAA) of the text as two upper-case hex digits.
    static std::string checksum(const std::string &text);

private:
    QStringList m_params;
};
