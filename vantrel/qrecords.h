#pragma once

#include <mutex>

#include <QMap>
#include <QObject>
#include <QString>

#include "qdtarecord.h"

// The history of finished jobs, kept in "records.json" in the data folder. The file is written
// atomically after every change and when the store ends.
class QRecords : public QObject
{
    Q_OBJECT

public:
    static QRecords *instance();

    // Loads `filePath` ("records.json" in the data folder when empty).
    explicit QRecords(const QString &filePath = QString(), QObject *parent = nullptr);
    ~QRecords() override;

    // Records the output `path` (a file, or the slice folder in mode 4) and emits addItem.
    record_ptr addRecord(const QString &path, int mode);
    record_ptr addRecordForFile(const QString &path);
    // Throws UException for an unknown id.
    void removeRecord(qlonglong id);
    void clear();
    // Throws UException for an unknown id.
    record_ptr record(qlonglong id) const;
    QMap<qint64, record_ptr> records() const;
    bool contains(qlonglong id) const;
    int count() const;

    bool save();
    QString filePath() const;

signals:
    void addItem(record_ptr pRecord);
    void removeItem(qlonglong id);

private:
    record_ptr makeFileRecord(const QString &path);
    void store(const record_ptr &record);
    qint64 nextId();

    QMap<qint64, record_ptr> m_records;
    mutable std::mutex m_mutex;
    std::mutex m_saveMutex;
    QString m_filePath;
    qint64 m_lastId;
};
