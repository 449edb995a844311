#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include <QMap>
#include <QObject>
#include <QString>
#include <QVector>

#include "qdtarecord.h"

// The history of finished jobs, kept in "records.json" in the data folder. The file is written
// atomically after every change and when the store ends (unless nothing changed since the
// last write), in pieces, so that a long history's text is never held whole.
//
// The process-wide store reads its file on a thread of its own: whatever needs the history
// (adding, removing, reading, saving) waits until it is read, and `loaded` tells when it is.
class QRecords : public QObject
{
    Q_OBJECT

public:
    enum class Reading
    {
        Now,
        InBackground
    };

    static QRecords *instance();

    // Loads `filePath` ("records.json" in the data folder when empty) before it returns.
    explicit QRecords(const QString &filePath = QString(), QObject *parent = nullptr);
    ~QRecords() override;
    // Drops the records held and loads `filePath` ("records.json" in the data folder when
    // empty), before it returns or on a thread of its own: the data folder has changed.
    void reopen(const QString &filePath = QString(), Reading reading = Reading::Now);

    // Whether the file has been read; never waits.
    bool isLoaded() const;
    // Waits up to `timeoutMs` until the file has been read; true when it has.
    bool waitRead(int timeoutMs) const;

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
    // The records in the order the record page shows them: the latest time first, the higher
    // id first within one time.
    QVector<record_ptr> newestFirst() const;
    bool contains(qlonglong id) const;
    int count() const;

    // Whether `a` is shown above `b`.
    static bool showsAbove(const QDtaRecord &a, const QDtaRecord &b);

    // Writes the history atomically when it changed; false (and `error`) when it could not.
    // A history not read yet is never written (nothing can have changed in it).
    bool save(QString *error = nullptr);
    QString filePath() const;
    // The text to show once when the loaded file was damaged and kept aside, else empty;
    // cleared by the call.
    QString takeSetAsideNotice();

    // Tests: the clock of the records' times (Unix seconds); empty for the system's.
    static void setClock(const std::function<qint64()> &clock);

signals:
    void addItem(record_ptr pRecord);
    void removeItem(qlonglong id);
    // The file has been read (emitted on the thread that read it).
    void loaded();

private:
    using History = QMap<qint64, record_ptr>;
    // What the store and the thread reading its file share; the thread hands its history
    // over only while the store is there.
    struct Reader
    {
        std::mutex mutex;
        QRecords *store = nullptr;
    };
    QRecords(const QString &filePath, Reading reading);
    void startReading(Reading reading);
    // Forgets a reading still going on; its history is never taken.
    void stopReading();
    static History readHistory(const QString &path, QString &notice);
    // The same, whatever goes wrong: what could not be read is kept aside.
    static History readHistoryGuarded(const QString &path, QString &notice);
    static void keptAside(const QString &bad, QString &notice);
    void adopt(History history, const QString &notice);
    // Waits, with `lock` on m_mutex, until the history is read; false after the wait's bound.
    bool waitLoaded(std::unique_lock<std::mutex> &lock) const;
    // The same, throwing UException when the history is still not read.
    void requireLoaded(std::unique_lock<std::mutex> &lock) const;

    record_ptr makeFileRecord(const QString &path, const QString &sizeOf = QString());
    static int32_t now();
    // Stores under `wantedId` when it is given and free, else under a new id.
    void store(const record_ptr &record, qint64 wantedId = 0);
    qint64 nextId();
    // Store and take out a record; the caller holds m_mutex.
    void put(qint64 id, const record_ptr &record);
    void take(qint64 id);

    History m_records;
    bool m_loaded = false;
    mutable std::condition_variable m_loadedChanged;
    std::shared_ptr<Reader> m_reader;
    // Changes made and changes written: equal when the file holds the history.
    std::uint64_t m_changes = 1;
    std::uint64_t m_savedChanges = 0;
    mutable std::mutex m_mutex;
    std::mutex m_saveMutex;
    QString m_filePath;
    QString m_notice;
};
