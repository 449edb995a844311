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
    // Drops the records held and loads `filePath` ("records.json" in the data folder when
    // empty): the data folder has changed.
    void reopen(const QString &filePath = QString());

    // Records the output `path` (a file, or the slice folder in mode 4) and emits addItem.
    record_ptr addRecord(const QString &path, int mode);
    // Records the output of job `jobId` under the job's id when that id is free: the record is
    // the job's done mark, saved in the same write as the history. `path` is the output's final
    // name, `sizeOf` the file that holds it now (the output is renamed after the record).
    record_ptr addJobRecord(qint64 jobId, const QString &path, const QString &sizeOf, int mode);
    // The record kept under job `jobId`, or null.
    record_ptr jobRecord(qint64 jobId) const;
    // Points record `id` at `path` (the output kept another name); false for an unknown id.
    bool moveRecord(qint64 id, const QString &path);
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
    // The text to show once when the loaded file was damaged and kept aside, else empty;
    // cleared by the call.
    QString takeSetAsideNotice();

signals:
    void addItem(record_ptr pRecord);
    void removeItem(qlonglong id);

private:
    void load();
    record_ptr makeFileRecord(const QString &path, const QString &sizeOf = QString());
    // Stores under `wantedId` when it is given and free, else under a new id.
    void store(const record_ptr &record, qint64 wantedId = 0);
    qint64 nextId();
    void keptAside(const QString &bad);

    QMap<qint64, record_ptr> m_records;
    mutable std::mutex m_mutex;
    std::mutex m_saveMutex;
    QString m_filePath;
    QString m_notice;
};
