#pragma once

#include <cstdarg>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include <vlc/vlc.h>

// libvlc's error messages for the run's log, kept in bounds: known harmless noise is dropped,
// each distinct text is written once and its repeats only counted, and at most `budget` bytes
// of libvlc text are written in a run; finish() then writes the repeat counts and one line on
// what was left out. libvlc calls in from its own threads.
class QVlcLog
{
public:
    explicit QVlcLog(size_t budget = 1024 * 1024);
    ~QVlcLog();

    QVlcLog(const QVlcLog &) = delete;
    QVlcLog &operator=(const QVlcLog &) = delete;

    // Attaches to an instance (libvlc_log_set); detach() before the instance is released.
    void attach(libvlc_instance_t *instance);
    void detach();

    // One message of libvlc (module may be null).
    void add(int level, const char *module, const std::string &text);
    // Writes the repeat counts and the left-out summary; later messages start afresh.
    void finish();

    size_t writtenBytes() const;

private:
    static void callback(void *data, int level, const libvlc_log_t *ctx, const char *fmt, va_list args);
    void write(const std::string &line);

    static const size_t kMaxDistinct = 256;
    static const size_t kMaxText = 400;

    mutable std::mutex m_mutex;
    libvlc_instance_t *m_instance = nullptr;
    size_t m_budget;
    size_t m_written = 0;
    long long m_leftBytes = 0;
    long long m_leftMessages = 0;
    // Text of each distinct message so far, with how often it came again.
    std::map<std::string, long long> m_repeats;
};
