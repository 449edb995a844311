#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

#include <QByteArray>
#include <QString>

// Process-wide asynchronous logger. Any thread formats a record and hands it over; one
// worker thread appends the records, in order, to one UTF-16LE log file per run, named
// after the local time of its first record ("%Y-%m-%d-%H-%M-%S.log"). Folders it creates are
// private to the user (0700), and so are its files (0600).
//
//     LOG_INFO(L"ready");                      // no arguments: written verbatim
//     LOG_ERROR(L"exit code %d of %s", code, path);
//
// The arguments are type-checked at run time: "%s" takes any text (wide or narrow C string,
// std::string, std::wstring, QString), a number given for "%s" is written in decimal, and a
// conversion without an argument behind it is written as it stands. Levels 2 to 4 are
// dropped unless setDebugEnabled(true).
namespace sth
{
    struct LogInfo
    {
        int32_t level = 0; // 0 none, 1 error, 2 warning, 3 info, 4 debug
        int32_t line = 0;
        int64_t time = 0;  // seconds since 1970-01-01 UTC, taken by the caller
        std::string file;  // UTF-8
        std::wstring message;
    };

    // One argument of a log format, kept with its type.
    class LogArg
    {
    public:
        enum Kind { None, Signed, Unsigned, Real, Text, Pointer };

        LogArg();
        template<typename T, typename std::enable_if<std::is_integral<T>::value && std::is_signed<T>::value, int>::type = 0>
        LogArg(T value) : m_kind(Signed), m_signed(value) {}
        template<typename T, typename std::enable_if<std::is_integral<T>::value && !std::is_signed<T>::value, int>::type = 0>
        LogArg(T value) : m_kind(Unsigned), m_unsigned(value) {}
        template<typename T, typename std::enable_if<std::is_enum<T>::value, int>::type = 0>
        LogArg(T value) : m_kind(Signed), m_signed(static_cast<long long>(value)) {}
        LogArg(float value);
        LogArg(double value);
        LogArg(long double value);
        LogArg(const char *text);
        LogArg(const wchar_t *text);
        LogArg(const std::string &text);
        LogArg(const std::wstring &text);
        LogArg(const QString &text);
        LogArg(const QByteArray &text); // UTF-8
        LogArg(const void *pointer);

        Kind kind() const;
        long long asSigned() const;
        unsigned long long asUnsigned() const;
        double asReal() const;
        const std::wstring &text() const;
        const void *pointer() const;

    private:
        Kind m_kind = None;
        long long m_signed = 0;
        unsigned long long m_unsigned = 0;
        double m_real = 0;
        std::wstring m_text;
        const void *m_pointer = nullptr;
    };

    // A format text in any of the program's string types, held wide.
    class LogFormat
    {
    public:
        LogFormat(const wchar_t *text);
        LogFormat(const std::wstring &text);
        LogFormat(const char *text);
        LogFormat(const std::string &text);
        LogFormat(const QString &text);

        const std::wstring &text() const;

    private:
        std::wstring m_text;
    };

    // printf-style formatting over typed arguments; with no arguments the format is returned
    // unchanged.
    std::wstring formatArgs(const LogFormat &format, const LogArg *args, size_t count);

    template<typename... Args>
    std::wstring formatString(const LogFormat &format, const Args &...args)
    {
        const LogArg list[] = { LogArg(args)..., LogArg() };
        return formatArgs(format, list, sizeof...(Args));
    }

    void setDebugEnabled(bool enabled);
    bool isDebugEnabled();

    class logger
    {
    public:
        logger();
        explicit logger(const std::wstring &directory);
        virtual ~logger();

        logger(const logger &) = delete;
        logger &operator=(const logger &) = delete;

        // The process's logger, created on first use. Safe to call during exit: a logger
        // that was already destroyed is replaced by one that drops every record.
        static logger *instance();

        // Starts the writer on `directory` (ends with "/"; created when missing, and tightened to
        // 0700 when it is open to others).
        void start(const std::wstring &directory);
        // Queues a record while running; drops it otherwise.
        void push(const std::shared_ptr<LogInfo> &info);
        // Writes every queued record, then ends the writer. Later records are dropped.
        void stop();
        // Returns once every record queued so far is in the file.
        void flush();
        bool isRunning() const;
        // Path of the file being written (UTF-8), empty before the first record.
        std::string filePath() const;

        // The front end behind the LOG_* macros; never throws.
        template<typename... Args>
        static void write(int level, const char *file, int line, const LogFormat &format, const Args &...args)
        {
            try {
                if (accepts(level))
                    submit(level, file, line, formatString(format, args...));
            } catch (...) {
            }
        }

        // False when the record would be dropped anyway (level filtered out, or no logger
        // running), so that it is not even formatted.
        static bool accepts(int level);
        static void submit(int level, const char *file, int line, std::wstring &&message);
        static std::wstring timeText(int64_t seconds, const wchar_t *format);
        static const wchar_t *levelLabel(int level);

    private:
        void run();
        void writeRecord(const LogInfo &info);

        std::thread m_worker;
        mutable std::mutex m_mutex;
        std::condition_variable m_wake;
        std::condition_variable m_drained;
        std::deque<std::shared_ptr<LogInfo>> m_queue;
        FILE *m_file = nullptr;
        std::string m_filePath;
        std::wstring m_directory;
        std::atomic<bool> m_running { false };
    };
}

#define LOG_NONE(...) sth::logger::write(0, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_ERROR(...) sth::logger::write(1, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_WARNING(...) sth::logger::write(2, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_INFO(...) sth::logger::write(3, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_DEBUG(...) sth::logger::write(4, __FILE__, __LINE__, __VA_ARGS__)
// Logs a caught UException's description at level 1.
#define LOG_EXCEPTION(e) sth::logger::write(1, __FILE__, __LINE__, (e).describe())
