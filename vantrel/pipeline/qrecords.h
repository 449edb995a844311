#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include "qdtarecord.h"

// The history of finished jobs, kept in "records.json" in the data folder. The file is written
// atomically after every change and when the store ends (unless nothing changed since the
// last write). Each record's JSON text is kept beside it, so that a write of a long history
// only joins the texts.
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
    // Null when the history could not be written: the record is then not kept at all (it is
    // no done mark unless it is on disk) and `error`, when given, says why.
    record_ptr addJobRecord(qint64 jobId, const QString &path, const QString &sizeOf, int mode, QString *error = nullptr);
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

    // Writes the history atomically when it changed; false (and `error`) when it could not.
    bool save(QString *error = nullptr);
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
    // Store and take out a record with its text; the caller holds m_mutex.
    void put(qint64 id, const record_ptr &record);
    void take(qint64 id);
    // The file's content: the compact JSON writer's text of the whole history.
    QByteArray historyText() const;

    QMap<qint64, record_ptr> m_records;
    // Member name (the id in decimal) to the record's compact JSON text, in the byte order of
    // the names, as the JSON writer orders members.
    std::map<std::string, QByteArray> m_texts;
    // Changes made and changes written: equal when the file holds the history.
    std::uint64_t m_changes = 1;
    std::uint64_t m_savedChanges = 0;
    mutable std::mutex m_mutex;
    std::mutex m_saveMutex;
    QString m_filePath;
    QString m_notice;
};
