#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// The task of one run of the encryption program, read from the task JSON.
class QDtaVideo : public QObject
{
    Q_OBJECT

public:
    explicit QDtaVideo(QObject *parent = nullptr);
    QDtaVideo(const QDtaVideo &other);
    QDtaVideo &operator=(const QDtaVideo &other);

    // Strings: absent or not a string gives empty. Numbers: anything but a whole number in
    // the 32-bit signed range gives 0.
    static QDtaVideo fromJson(const QJsonObject &object);
    // Fixed values for trying the program by hand: mode 5, 720x480, 200 s.
    static QDtaVideo sample();

    // A name of one level in a folder: not empty, not "." or "..", no "/" and no NUL.
    static bool isPlainName(const QString &name);
    // An absolute folder path ending with "/", without NUL.
    static bool isFolderPath(const QString &path);
    // The encrypt types this program handles: 0 (copy), 1, 5, 6, 8 (frame), 3, 7 (stream).
    static bool isKnownType(int type);

    int encryptType() const;
    QString courseId() const;
    QString videoKey() const;
    QString filePath() const;
    QString format() const;
    QString fileName() const;
    int totalTime() const;
    int videoWidth() const;
    int videoHeight() const;
    QString savePath() const;
    int randNumber() const;

private:
    int m_encryptType = 0;
    QString m_courseId;
    QString m_videoKey;
    QString m_filePath;
    QString m_format;
    QString m_fileName;
    int m_totalTime = 0;
    int m_videoWidth = 0;
    int m_videoHeight = 0;
    QString m_savePath;
    int m_randNumber = 0;
};
