#include "qvlclog.h"

#include <cstdio>
#include <cstring>

#include "logger.h"

namespace
{
    // Messages that libvlc writes on every healthy transcode.
    bool isNoise(const char *module, const std::string &text)
    {
        if (module && std::strcmp(module, "chain") == 0)
            return true;
        return text.find("chain filter") != std::string::npos;
    }
}

QVlcLog::QVlcLog(size_t budget)
    : m_budget(budget)
{
}

QVlcLog::~QVlcLog()
{
    detach();
}

void QVlcLog::attach(libvlc_instance_t *instance)
{
    detach();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_instance = instance;
    }
    if (instance)
        libvlc_log_set(instance, &QVlcLog::callback, this);
}

void QVlcLog::detach()
{
    libvlc_instance_t *instance = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        instance = m_instance;
        m_instance = nullptr;
    }
    // Returns once no callback runs any more.
    if (instance)
        libvlc_log_unset(instance);
}

void QVlcLog::callback(void *data, int level, const libvlc_log_t *ctx, const char *fmt, va_list args)
{
    if (level < LIBVLC_ERROR || !data || !fmt)
        return;
    const char *module = nullptr;
    const char *file = nullptr;
    unsigned line = 0;
    libvlc_log_get_context(ctx, &module, &file, &line);
    char buf[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    static_cast<QVlcLog *>(data)->add(level, module, n < 0 ? std::string() : std::string(buf));
}

void QVlcLog::add(int level, const char *module, const std::string &text)
{
    if (level < LIBVLC_ERROR || isNoise(module, text))
        return;
    std::string line = std::string(module ? module : "") + ": " + text;
    if (line.size() > kMaxText)
        line.resize(kMaxText);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto seen = m_repeats.find(line);
    if (seen != m_repeats.end())
    {
        ++seen->second;
        return;
    }
    if (m_repeats.size() < kMaxDistinct)
        m_repeats.emplace(line, 0);
    write(line);
}

void QVlcLog::write(const std::string &line)
{
    if (m_written + line.size() > m_budget)
    {
        m_leftBytes += static_cast<long long>(line.size());
        ++m_leftMessages;
        return;
    }
    m_written += line.size();
    LOG_DEBUG(L"libvlc %s", line);
}

void QVlcLog::finish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto &r : m_repeats)
        if (r.second > 0)
            LOG_DEBUG(L"libvlc %s (%lld more times)", r.first, r.second);
    if (m_leftMessages > 0)
        LOG_WARNING(L"libvlc wrote more than %lld bytes of messages: %lld more messages (%lld bytes) left out",
                    static_cast<long long>(m_budget), m_leftMessages, m_leftBytes);
    m_repeats.clear();
    m_written = 0;
    m_leftBytes = 0;
    m_leftMessages = 0;
}

size_t QVlcLog::writtenBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}
