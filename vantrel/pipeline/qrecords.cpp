#include "qrecords.h"

#include <memory>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "cglobal.h"
#include "commonfun.h"
#include "logger.h"
#include "qfilework.h"
#include "qjsonfile.h"
#include "qtutils.h"
#include "uexception.h"

namespace
{
    QString dataFolder()
    {
        const QString path = CGlobal::dataPath();
        return path.isEmpty() ? CGlobal::defaultDataPath() : path;
    }

    QString sliceFolder()
    {
        const QString path = CGlobal::slicePath();
        return path.isEmpty() ? dataFolder() + QStringLiteral("slice/") : path;
    }
}

QRecords *QRecords::instance()
{
    static std::unique_ptr<QRecords> s_instance(new QRecords);
    return s_instance.get();
}

QRecords::QRecords(const QString &filePath, QObject *parent)
    : QObject(parent)
    , m_filePath(filePath.isEmpty() ? dataFolder() + QStringLiteral("records.json") : filePath)
{
    load();
}

void QRecords::reopen(const QString &filePath)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
        m_texts.clear();
        ++m_changes;
        m_notice.clear();
        m_filePath = filePath.isEmpty() ? dataFolder() + QStringLiteral("records.json") : filePath;
    }
    load();
}

void QRecords::load()
{
    QValue root;
    QString error;
    // The name a damaged file is kept under, taken before the read moves it there.
    const QString readAside = QJsonFile::badFileName(m_filePath);
    if (!QJsonFile::read(m_filePath, root, &error)) {
        LOG_ERROR(L"records: %s", error);
        if (!QFile::exists(m_filePath)) {
            keptAside(readAside);
            return;
        }
        // Unreadable but still there: move it aside so that saving keeps it.
        keptAside(CommonFun::setDamagedFileAside(m_filePath));
        return;
    }
    if (root.isNull())
        return;
    if (!root.isObject()) {
        // Parses but is no history: keep it aside rather than write over it.
        const QString bad = CommonFun::setDamagedFileAside(m_filePath);
        LOG_ERROR(L"records: %s is not an object, kept as %s", m_filePath, bad);
        keptAside(bad);
        return;
    }
    bool skipped = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (const QString &name : getMemberNameList(root)) {
        const QValue &value = jsonMember(root, name);
        if (!value.isObject()) {
            LOG_WARNING(L"records: member %s is not an object", name);
            skipped = true;
            continue;
        }
        bool ok = false;
        qint64 key = name.toLongLong(&ok);
        if (!ok)
            key = 0;
        // Two members on one key: the file holds more than the next save keeps.
        if (!ok || m_records.contains(key)) {
            LOG_WARNING(L"records: member %s is stored under %lld", name, key);
            skipped = true;
        }
        put(key, std::make_shared<QDtaRecord>(value));
        // New job and record ids stay above the ones of the history.
        QFileWork::noteId(key);
    }
    lock.unlock();
    if (skipped) {
        // The next save drops what could not be read: keep the file as it was.
        const QString bad = QJsonFile::badFileName(m_filePath);
        LOG_ERROR(L"records: some members were not read, the file is kept as %s", bad);
        if (QFile::copy(m_filePath, bad))
            keptAside(bad);
    }
}

void QRecords::keptAside(const QString &bad)
{
    const QString notice = CommonFun::damagedFileNotice(QStringLiteral("历史记录"), bad);
    if (!notice.isEmpty())
        m_notice = notice;
}

QString QRecords::takeSetAsideNotice()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QString notice;
    notice.swap(m_notice);
    return notice;
}

QRecords::~QRecords()
{
    save();
}

QString QRecords::filePath() const
{
    return m_filePath;
}

qint64 QRecords::nextId()
{
    // Job ids and record ids come from one sequence, so that a record of any kind never takes
    // the id of a job that is still to be recorded.
    qint64 id = QFileWork::nextId();
    while (m_records.contains(id))
        id = QFileWork::nextId();
    return id;
}

record_ptr QRecords::makeFileRecord(const QString &path, const QString &sizeOf)
{
    auto record = std::make_shared<QDtaRecord>();
    const QFileInfo info(path);
    record->setFileName(info.fileName());
    QString folder = info.absolutePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    record->setFilePath(folder);
    const qint64 size = QFileInfo(sizeOf.isEmpty() ? path : sizeOf).size();
    record->setFileSize(static_cast<double>(size / 1024 / 1024));
    return record;
}

void QRecords::store(const record_ptr &record, qint64 wantedId)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (wantedId > 0 && !m_records.contains(wantedId))
            record->setId(wantedId);
        else
            record->setId(nextId());
        put(record->id(), record);
    }
    save();
    emit addItem(record);
}

record_ptr QRecords::addJobRecord(qint64 jobId, const QString &path, const QString &sizeOf, int mode, QString *error)
{
    record_ptr record = makeFileRecord(path, sizeOf);
    record->setTime(static_cast<int32_t>(QDateTime::currentSecsSinceEpoch()));
    record->setFileType(static_cast<uint32_t>(mode));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        record->setId(jobId > 0 && !m_records.contains(jobId) ? jobId : nextId());
        put(record->id(), record);
    }
    if (!save(error)) {
        // Not on disk, so not done: a later run records the output then.
        std::lock_guard<std::mutex> lock(m_mutex);
        take(record->id());
        return record_ptr();
    }
    emit addItem(record);
    if (record->id() != jobId)
        LOG_WARNING(L"records: id %lld is taken, the record of that job is kept as %lld", jobId, record->id());
    return record;
}

record_ptr QRecords::jobRecord(qint64 jobId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.value(jobId);
}

bool QRecords::moveRecord(qint64 id, const QString &path)
{
    record_ptr moved;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const record_ptr old = m_records.value(id);
        if (!old)
            return false;
        // A new object: the old one may be on screen in another thread.
        moved = std::make_shared<QDtaRecord>(*old);
        const record_ptr named = makeFileRecord(path);
        moved->setFileName(named->fileName());
        moved->setFilePath(named->filePath());
        moved->setFileSize(named->fileSize());
        put(id, moved);
    }
    save();
    emit removeItem(id);
    emit addItem(moved);
    return true;
}

record_ptr QRecords::addRecord(const QString &path, int mode)
{
    record_ptr record;
    if (mode == 4) {
        record = std::make_shared<QDtaRecord>();
        const QDir dir(path);
        const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                                                        QDir::Name | QDir::IgnoreCase);
        QString name;
        double size = 0.0;
        for (const QFileInfo &entry : entries) {
            if (entry.suffix().compare(QLatin1String("m3u8"), Qt::CaseInsensitive) == 0)
                name = entry.fileName();
            // A folder counts 0 bytes, whatever the file system says of it.
            if (entry.isFile())
                size += static_cast<double>(entry.size());
        }
        record->setFilePath(path);
        record->setFileName(name);
        record->setFileSize(size / 1024.0 / 1024.0);
        // Only a job folder of the slice folder is removed, never anything else.
        const QString slices = QDir::cleanPath(sliceFolder()) + QLatin1Char('/');
        const QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        if (target.startsWith(slices) && target.size() > slices.size())
            removeDir(target);
        else
            LOG_WARNING(L"records: %s is outside the slice folder, not removed", path);
    } else {
        record = makeFileRecord(path);
    }
    record->setTime(static_cast<int32_t>(QDateTime::currentSecsSinceEpoch()));
    record->setFileType(static_cast<uint32_t>(mode));
    store(record);
    return record;
}

record_ptr QRecords::addRecordForFile(const QString &path)
{
    record_ptr record = makeFileRecord(path);
    record->setTime(static_cast<int32_t>(QDateTime::currentSecsSinceEpoch()));
    store(record);
    return record;
}

void QRecords::removeRecord(qlonglong id)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_records.contains(id))
            throw UException("m_records.contains(id)", __FILE__, __LINE__);
        take(id);
    }
    save();
    emit removeItem(id);
}

void QRecords::clear()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
        m_texts.clear();
        ++m_changes;
    }
    save();
}

record_ptr QRecords::record(qlonglong id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_records.constFind(id);
    if (it == m_records.constEnd())
        throw UException("m_records.contains(id)", __FILE__, __LINE__);
    return it.value();
}

QMap<qint64, record_ptr> QRecords::records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

bool QRecords::contains(qlonglong id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.contains(id);
}

int QRecords::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
}

void QRecords::put(qint64 id, const record_ptr &record)
{
    QByteArray text = toStyledByteArray(record->toJson(), false);
    // The writer ends its text with a line break; inside the history there is none.
    if (text.endsWith('\n'))
        text.chop(1);
    m_records.insert(id, record);
    m_texts[std::to_string(id)] = text;
    ++m_changes;
}

void QRecords::take(qint64 id)
{
    m_records.remove(id);
    m_texts.erase(std::to_string(id));
    ++m_changes;
}

QByteArray QRecords::historyText() const
{
    if (m_texts.empty())
        return QByteArrayLiteral("null\n");
    int size = 2;
    for (const auto &entry : m_texts)
        size += static_cast<int>(entry.first.size()) + 4 + entry.second.size();
    QByteArray text;
    text.reserve(size);
    text += '{';
    for (auto it = m_texts.cbegin(); it != m_texts.cend(); ++it) {
        if (it != m_texts.cbegin())
            text += ',';
        text += '"';
        text.append(it->first.data(), static_cast<int>(it->first.size()));
        text += "\":";
        text += it->second;
    }
    text += "}\n";
    return text;
}

bool QRecords::save(QString *error)
{
    // One writer at a time, each writing the state it saw: a later change is never overwritten
    // by an earlier snapshot.
    std::lock_guard<std::mutex> saveLock(m_saveMutex);
    QByteArray text;
    std::uint64_t changes = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_changes == m_savedChanges)
            return true;
        changes = m_changes;
        text = historyText();
    }
    QString why;
    if (!QJsonFile::writeText(m_filePath, text, &why)) {
        LOG_ERROR(L"records: %s", why);
        if (error)
            *error = why;
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_savedChanges = changes;
    return true;
}
