#include "qdtacourse.h"

#include <utility>

QDtaCourse::QDtaCourse(QObject *parent)
    : QObject(parent)
    , m_ctime(0)
{
}

QDtaCourse::QDtaCourse(const QDtaCourse &other)
    : QObject(nullptr)
    , m_id(other.m_id)
    , m_name(other.m_name)
    , m_ctime(other.m_ctime)
    , m_category(other.m_category)
{
}

QDtaCourse::QDtaCourse(QDtaCourse &&other) noexcept
    : QObject(nullptr)
    , m_ctime(0)
{
    swapFields(other);
}

QDtaCourse &QDtaCourse::operator=(const QDtaCourse &other)
{
    if (this != &other) {
        QDtaCourse copy(other);
        swapFields(copy);
    }
    return *this;
}

QDtaCourse &QDtaCourse::operator=(QDtaCourse &&other) noexcept
{
    if (this != &other)
        swapFields(other);
    return *this;
}

QDtaCourse::~QDtaCourse() = default;

void QDtaCourse::swapFields(QDtaCourse &other) noexcept
{
    m_id.swap(other.m_id);
    m_name.swap(other.m_name);
    std::swap(m_ctime, other.m_ctime);
    m_category.swap(other.m_category);
}

void QDtaCourse::setId(const QString &id) { m_id = id; }
QString QDtaCourse::id() const { return m_id; }
void QDtaCourse::setName(const QString &name) { m_name = name; }
QString QDtaCourse::name() const { return m_name; }
void QDtaCourse::setCtime(int32_t ctime) { m_ctime = ctime; }
int32_t QDtaCourse::ctime() const { return m_ctime; }
void QDtaCourse::setCategory(const QString &category) { m_category = category; }
QString QDtaCourse::category() const { return m_category; }
