#include "qrecords.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

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

    // How long a change waits for the history to be read.
    const int kReadWaitSeconds = 120;

    std::mutex s_clockMutex;
    std::function<qint64()> s_clock;

    void append(QByteArray &text, const std::string &part)
    {
        text.append(part.data(), static_cast<int>(part.size()));
    }

    // One record as the JSON library's compact writer writes it, without the line break.
    // `folderText` holds the last folder quoted, for the next record of the same folder.
    void appendRecord(QByteArray &text, const QDtaRecord &record, std::pair<QString, std::string> &folderText)
    {
        const QByteArray name = record.fileName().toUtf8();
        const QString path = record.filePath();
        const bool sameFolder = !folderText.second.empty() && path == folderText.first;
        const QByteArray folder = sameFolder ? QByteArray() : path.toUtf8();
        if (name.contains('\0') || folder.contains('\0')) {
            // The quoting below would stop at the NUL; the writer keeps it.
            QByteArray whole = toStyledByteArray(record.toJson(), false);
            if (whole.endsWith('\n'))
                whole.chop(1);
            text += whole;
            return;
        }
        text += "{\"file_name\":";
        append(text, Json::valueToQuotedString(name.constData()));
        text += ",\"file_path\":";
        if (!sameFolder)
            folderText = {path, Json::valueToQuotedString(folder.constData())};
        append(text, folderText.second);
        text += ",\"file_size\":";
        append(text, Json::valueToString(record.fileSize()));
        text += ",\"file_type\":";
        append(text, Json::valueToString(static_cast<Json::LargestUInt>(record.fileType())));
        text += ",\"id\":";
        append(text, Json::valueToString(static_cast<Json::LargestInt>(record.id())));
        text += ",\"time\":";
        append(text, Json::valueToString(static_cast<Json::LargestInt>(record.time())));
        text += '}';
    }

    // The text of "records.json" in pieces: the compact writer's text of an object with one
    // member per record, named by its key in decimal, in the byte order of the names (the
    // writer's order of members); null for no record.
    class HistoryText
    {
    public:
        explicit HistoryText(const QMap<qint64, record_ptr> &records)
            : m_records(records)
            , m_members(std::make_shared<std::vector<Member>>())
        {
            m_members->reserve(static_cast<size_t>(records.size()));
            for (auto it = m_records.cbegin(); it != m_records.cend(); ++it)
                m_members->push_back({std::to_string(it.key()), it.value().get()});
            const auto byName = [](const Member &a, const Member &b) { return a.name < b.name; };
            if (!std::is_sorted(m_members->begin(), m_members->end(), byName))
                std::sort(m_members->begin(), m_members->end(), byName);
        }

        QByteArray operator()()
        {
            QByteArray text;
            if (m_done)
                return text;
            const std::vector<Member> &members = *m_members;
            if (members.empty()) {
                m_done = true;
                return QByteArrayLiteral("null\n");
            }
            text.reserve(kPieceBytes + 4096);
            if (m_next == 0)
                text += '{';
            for (; m_next < members.size() && text.size() < kPieceBytes; ++m_next) {
                if (m_next > 0)
                    text += ',';
                text += '"';
                append(text, members[m_next].name);
                text += "\":";
                appendRecord(text, *members[m_next].record, m_folderText);
            }
            if (m_next == members.size()) {
                text += "}\n";
                m_done = true;
            }
            return text;
        }

    private:
        struct Member
        {
            std::string name;
            const QDtaRecord *record;
        };
        static const int kPieceBytes = 1 << 20;

        // Holds the records the members point to.
        QMap<qint64, record_ptr> m_records;
        std::shared_ptr<std::vector<Member>> m_members;
        std::pair<QString, std::string> m_folderText;
        size_t m_next = 0;
        bool m_done = false;
    };
}

QRecords *QRecords::instance()
{
    static std::unique_ptr<QRecords> s_instance(new QRecords(QString(), Reading::InBackground));
    return s_instance.get();
}

QRecords::QRecords(const QString &filePath, QObject *parent)
    : QObject(parent)
    , m_filePath(filePath.isEmpty() ? dataFolder() + QStringLiteral("records.json") : filePath)
{
    startReading(Reading::Now);
}

QRecords::QRecords(const QString &filePath, Reading reading)
    : QObject(nullptr)
    , m_filePath(filePath.isEmpty() ? dataFolder() + QStringLiteral("records.json") : filePath)
{
    startReading(reading);
}

void QRecords::reopen(const QString &filePath, Reading reading)
{
    stopReading();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
        m_loaded = false;
        ++m_changes;
        m_notice.clear();
        m_filePath = filePath.isEmpty() ? dataFolder() + QStringLiteral("records.json") : filePath;
    }
    startReading(reading);
}

void QRecords::startReading(Reading reading)
{
    const QString path = filePath();
    if (reading == Reading::InBackground) {
        auto reader = std::make_shared<Reader>();
        reader->store = this;
        try {
            std::thread([reader, path]() {
                QString notice;
                History history = readHistoryGuarded(path, notice);
                std::lock_guard<std::mutex> lock(reader->mutex);
                if (reader->store)
                    reader->store->adopt(std::move(history), notice);
            }).detach();
            m_reader = reader;
            return;
        } catch (const std::exception &e) {
            LOG_ERROR(L"records: no thread to read the history (%s), read now", e.what());
        }
    }
    QString notice;
    History history = readHistoryGuarded(path, notice);
    adopt(std::move(history), notice);
}

void QRecords::stopReading()
{
    if (!m_reader)
        return;
    {
        std::lock_guard<std::mutex> lock(m_reader->mutex);
        m_reader->store = nullptr;
    }
    m_reader.reset();
}

void QRecords::adopt(History history, const QString &notice)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Nothing is added before the history is read: every change waits for it.
        m_records = std::move(history);
        ++m_changes;
        if (!notice.isEmpty())
            m_notice = notice;
        m_loaded = true;
    }
    m_loadedChanged.notify_all();
    emit loaded();
}

bool QRecords::isLoaded() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_loaded;
}

bool QRecords::waitRead(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_loadedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this]() { return m_loaded; });
}

bool QRecords::waitLoaded(std::unique_lock<std::mutex> &lock) const
{
    return m_loadedChanged.wait_for(lock, std::chrono::seconds(kReadWaitSeconds), [this]() { return m_loaded; });
}

void QRecords::requireLoaded(std::unique_lock<std::mutex> &lock) const
{
    if (!waitLoaded(lock)) {
        LOG_ERROR(L"records: %s is still not read after %d s", m_filePath, kReadWaitSeconds);
        throw UException("history read", QStringLiteral("历史记录还没有读完，请稍后再试"), __FILE__, __LINE__);
    }
}

QRecords::History QRecords::readHistoryGuarded(const QString &path, QString &notice)
{
    try {
        return readHistory(path, notice);
    } catch (const UException &e) {
        LOG_EXCEPTION(e);
    } catch (const std::exception &e) {
        LOG_ERROR(L"records: reading %s failed: %s", path, e.what());
    } catch (...) {
        LOG_ERROR(L"records: reading %s failed", path);
    }
    // Read in part at most: kept aside, so that the next save never writes over it.
    try {
        keptAside(CommonFun::setDamagedFileAside(path), notice);
    } catch (...) {
        LOG_ERROR(L"records: %s could not be kept aside", path);
    }
    return History();
}

QRecords::History QRecords::readHistory(const QString &path, QString &notice)
{
    History history;
    QValue root;
    QString error;
    // The name a damaged file is kept under, taken before the read moves it there.
    const QString readAside = QJsonFile::badFileName(path);
    bool skipped = false;
    QHash<QString, QString> folders;
    // One member's tree at a time: a long history is never held twice.
    const auto member = [&](const QString &name, const QValue &value) {
        if (!value.isObject()) {
            LOG_WARNING(L"records: member %s is not an object", name);
            skipped = true;
            return;
        }
        bool ok = false;
        qint64 key = name.toLongLong(&ok);
        if (!ok)
            key = 0;
        // Two members on one key: the file holds more than the next save keeps.
        if (!ok || history.contains(key)) {
            LOG_WARNING(L"records: member %s is stored under %lld", name, key);
            skipped = true;
        }
        auto record = std::make_shared<QDtaRecord>(value);
        // Records of one folder share its text.
        const auto folder = folders.constFind(record->filePath());
        if (folder != folders.constEnd())
            record->setFilePath(*folder);
        else
            folders.insert(record->filePath(), record->filePath());
        history.insert(key, record);
        // New job and record ids stay above the ones of the history.
        QFileWork::noteId(key);
    };
    if (!QJsonFile::readMembers(path, member, root, &error)) {
        history.clear();
        LOG_ERROR(L"records: %s", error);
        if (!QFile::exists(path)) {
            keptAside(readAside, notice);
            return history;
        }
        // Unreadable but still there: move it aside so that saving keeps it.
        keptAside(CommonFun::setDamagedFileAside(path), notice);
        return history;
    }
    if (!root.isNull()) {
        // Parses but is no history: keep it aside rather than write over it.
        const QString bad = CommonFun::setDamagedFileAside(path);
        LOG_ERROR(L"records: %s is not an object, kept as %s", path, bad);
        keptAside(bad, notice);
        return history;
    }
    if (skipped) {
        // The next save drops what could not be read: keep the file as it was.
        const QString bad = QJsonFile::badFileName(path);
        LOG_ERROR(L"records: some members were not read, the file is kept as %s", bad);
        if (QFile::copy(path, bad))
            keptAside(bad, notice);
    }
    return history;
}

void QRecords::keptAside(const QString &bad, QString &notice)
{
    const QString text = CommonFun::damagedFileNotice(QStringLiteral("历史记录"), bad);
    if (!text.isEmpty())
        notice = text;
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
    stopReading();
}

QString QRecords::filePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_filePath;
}

void QRecords::setClock(const std::function<qint64()> &clock)
{
    std::lock_guard<std::mutex> lock(s_clockMutex);
    s_clock = clock;
}

int32_t QRecords::now()
{
    {
        std::lock_guard<std::mutex> lock(s_clockMutex);
        if (s_clock)
            return static_cast<int32_t>(s_clock());
    }
    return static_cast<int32_t>(QDateTime::currentSecsSinceEpoch());
}

bool QRecords::showsAbove(const QDtaRecord &a, const QDtaRecord &b)
{
    if (a.time() != b.time())
        return a.time() > b.time();
    return a.id() > b.id();
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
        std::unique_lock<std::mutex> lock(m_mutex);
        requireLoaded(lock);
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
    record->setTime(now());
    record->setFileType(static_cast<uint32_t>(mode));
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!waitLoaded(lock)) {
            if (error)
                *error = QStringLiteral("历史记录还没有读完");
            LOG_ERROR(L"records: the history is still not read, job %lld is not recorded", jobId);
            return record_ptr();
        }
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
    std::unique_lock<std::mutex> lock(m_mutex);
    requireLoaded(lock);
    return m_records.value(jobId);
}

bool QRecords::moveRecord(qint64 id, const QString &path)
{
    record_ptr moved;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        requireLoaded(lock);
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
    record->setTime(now());
    record->setFileType(static_cast<uint32_t>(mode));
    store(record);
    return record;
}

record_ptr QRecords::addRecordForFile(const QString &path)
{
    record_ptr record = makeFileRecord(path);
    record->setTime(now());
    store(record);
    return record;
}

void QRecords::removeRecord(qlonglong id)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        requireLoaded(lock);
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
        std::unique_lock<std::mutex> lock(m_mutex);
        requireLoaded(lock);
        m_records.clear();
        ++m_changes;
    }
    save();
}

record_ptr QRecords::record(qlonglong id) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    requireLoaded(lock);
    auto it = m_records.constFind(id);
    if (it == m_records.constEnd())
        throw UException("m_records.contains(id)", __FILE__, __LINE__);
    return it.value();
}

QMap<qint64, record_ptr> QRecords::records() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    requireLoaded(lock);
    return m_records;
}

QVector<record_ptr> QRecords::newestFirst() const
{
    QVector<record_ptr> shown;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        requireLoaded(lock);
        shown.reserve(m_records.size());
        for (const record_ptr &record : m_records)
            shown.append(record);
    }
    std::sort(shown.begin(), shown.end(),
              [](const record_ptr &a, const record_ptr &b) { return showsAbove(*a, *b); });
    return shown;
}

bool QRecords::contains(qlonglong id) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    requireLoaded(lock);
    return m_records.contains(id);
}

int QRecords::count() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    requireLoaded(lock);
    return m_records.size();
}

void QRecords::put(qint64 id, const record_ptr &record)
{
    m_records.insert(id, record);
    ++m_changes;
}

void QRecords::take(qint64 id)
{
    m_records.remove(id);
    ++m_changes;
}

bool QRecords::save(QString *error)
{
    // One writer at a time, each writing the state it saw: a later change is never overwritten
    // by an earlier snapshot.
    std::lock_guard<std::mutex> saveLock(m_saveMutex);
    History records;
    QString path;
    std::uint64_t changes = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Never a part of the history over the whole of it: before it is read, every change
        // waits, so there is nothing to write.
        if (!m_loaded) {
            LOG_WARNING(L"records: %s is still not read, nothing to save", m_filePath);
            return true;
        }
        if (m_changes == m_savedChanges)
            return true;
        changes = m_changes;
        path = m_filePath;
        // Shared, not copied: the records themselves never change once stored.
        records = m_records;
    }

    QString why;
    if (!QJsonFile::writeParts(path, HistoryText(records), &why)) {
        LOG_ERROR(L"records: %s", why);
        if (error)
            *error = why;
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_savedChanges = changes;
    return true;
}
