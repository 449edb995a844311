#include "qdtarecord.h"

#include <utility>

#include "qdtaconfig.h"

QDtaRecord::QDtaRecord(QObject *parent)
    : QObject(parent)
    , m_id(0)
    , m_time(0)
    , m_fileSize(0.0)
    , m_fileType(0)
{
}

QDtaRecord::QDtaRecord(const Json::Value &value, QObject *parent)
    : QObject(parent)
    , m_id(QDtaJson::toInt64(value, "id"))
    , m_fileName(QDtaJson::toString(value, "file_name"))
    , m_filePath(QDtaJson::toString(value, "file_path"))
    , m_time(QDtaJson::toInt(value, "time"))
    , m_fileSize(QDtaJson::toDouble(value, "file_size"))
    , m_fileType(QDtaJson::toUInt(value, "file_type"))
{
}

QDtaRecord::QDtaRecord(const QDtaRecord &other)
    : QObject(nullptr)
    , m_id(other.m_id)
    , m_fileName(other.m_fileName)
    , m_filePath(other.m_filePath)
    , m_time(other.m_time)
    , m_fileSize(other.m_fileSize)
    , m_fileType(other.m_fileType)
{
}

QDtaRecord::QDtaRecord(QDtaRecord &&other) noexcept
    : QObject(nullptr)
    , m_id(0)
    , m_time(0)
    , m_fileSize(0.0)
    , m_fileType(0)
{
    swapFields(other);
}

QDtaRecord &QDtaRecord::operator=(const QDtaRecord &other)
{
    if (this != &other) {
        QDtaRecord copy(other);
        swapFields(copy);
    }
    return *this;
}

QDtaRecord &QDtaRecord::operator=(QDtaRecord &&other) noexcept
{
    if (this != &other)
        swapFields(other);
    return *this;
}

QDtaRecord::~QDtaRecord() = default;

void QDtaRecord::swapFields(QDtaRecord &other) noexcept
{
    std::swap(m_id, other.m_id);
    m_fileName.swap(other.m_fileName);
    m_filePath.swap(other.m_filePath);
    std::swap(m_time, other.m_time);
    std::swap(m_fileSize, other.m_fileSize);
    std::swap(m_fileType, other.m_fileType);
}

void QDtaRecord::setId(qint64 id) { m_id = id; }
qint64 QDtaRecord::id() const { return m_id; }
void QDtaRecord::setFileName(const QString &name) { m_fileName = name; }
QString QDtaRecord::fileName() const { return m_fileName; }
void QDtaRecord::setFilePath(const QString &path) { m_filePath = path; }
QString QDtaRecord::filePath() const { return m_filePath; }
void QDtaRecord::setTime(int32_t time) { m_time = time; }
int32_t QDtaRecord::time() const { return m_time; }
void QDtaRecord::setFileSize(double size) { m_fileSize = size; }
double QDtaRecord::fileSize() const { return m_fileSize; }
void QDtaRecord::setFileType(uint32_t type) { m_fileType = type; }
uint32_t QDtaRecord::fileType() const { return m_fileType; }

Json::Value QDtaRecord::toJson() const
{
    Json::Value value(Json::objectValue);
    value["id"] = static_cast<Json::Int64>(m_id);
    value["file_name"] = m_fileName.toStdString();
    value["file_path"] = m_filePath.toStdString();
    value["time"] = m_time;
    value["file_size"] = m_fileSize;
    value["file_type"] = m_fileType;
    return value;
}
