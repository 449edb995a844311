#pragma once

#include <mutex>

#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

// Typed access to one INI file; the stored key is "section/key". Before a file is set the
// getters return their default and setValue() changes nothing.
//
// The file is read and written in Qt's INI format (QSettings), but never by QSettings in
// place: a change is written by QSettings into a private copy, checked complete, and saved
// through QSafeFile, so a full disk can't leave a shortened file behind.
class QIniFile : public QObject
{
    Q_OBJECT

public:
    QIniFile();
    explicit QIniFile(const QString &path);
    ~QIniFile() override;

    // Opens `path` only when no file is set yet; a later call changes nothing.
    void setFile(const QString &path);
    // Opens `path` whatever was set before, none when it is empty (a test's own file).
    void reopen(const QString &path);
    QString fileName() const;
    // True when the file exists but could not be read as INI.
    bool isDamaged() const;
    // Saves the changes that could not be saved yet; false (with the reason) when they still
    // can't be.
    bool sync(QString *error = nullptr);

    // Stores the value and saves the file. When the file can't be saved the value is still
    // kept (and saved with the next change): false, with the reason.
    bool setValue(const QString &section, const QString &key, const QVariant &value, QString *error = nullptr);
    int getInt(const QString &section, const QString &key, int def = 0) const;
    QString getString(const QString &section, const QString &key, const QString &def = QString()) const;
    bool getBool(const QString &section, const QString &key, bool def = false) const;
    float getFloat(const QString &section, const QString &key, float def = 0.0f) const;
    qint64 getInt64(const QString &section, const QString &key, qint64 def = 0) const;

    // The INI text QSettings writes for `text` with `changes` applied ("section/key" to
    // value); false, with the reason, when it could not be had complete. Its scratch copies are
    // made in `scratchFolder` (the temporary folder when empty).
    static bool iniText(const QByteArray &text, const QVariantMap &changes, QByteArray *result, QString *error = nullptr,
                        const QString &scratchFolder = QString());

    // Removes the scratch folders (".ini-XXXXXX") that saves of settings files in `folder`
    // left when the process was killed, with the regular files of this user's in them; entries
    // are never followed. Only while no settings file in the folder is being read or saved.
    // Returns how many went.
    static int sweepScratch(const QString &folder);

private:
    QVariant value(const QString &section, const QString &key) const;
    bool saveLocked(QString *error);

    mutable std::mutex m_mutex;
    QString m_path;
    bool m_damaged = false;
    QVariantMap m_values;
    QVariantMap m_unsaved;
};
