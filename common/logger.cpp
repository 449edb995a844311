#include "logger.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <shared_mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cstringhelp.h"

namespace sth
{
    namespace
    {
        // Both outlive every static object: a record made during exit finds no sink and is
        // dropped instead of reaching a destroyed logger.
        std::shared_mutex &sinkLock()
        {
            static auto *lock = new std::shared_mutex;
            return *lock;
        }
        std::atomic<logger *> g_sink { nullptr };
        std::atomic<bool> g_debug { false };
        std::atomic<bool> g_holderGone { false };

        struct Holder
        {
            std::unique_ptr<logger> instance;
            ~Holder()
            {
                instance.reset();
                g_holderGone = true;
            }
        };

        std::wstring widen(const std::string &text)
        {
            return CStringHelp::utf8ToUnicode(text);
        }

        std::wstring narrowFormat(const char *conversion, ...)
        {
            char buffer[512];
            va_list args;
            va_start(args, conversion);
            const int n = std::vsnprintf(buffer, sizeof(buffer), conversion, args);
            va_end(args);
            if (n < 0)
                return std::wstring();
            if (static_cast<size_t>(n) < sizeof(buffer))
                return widen(std::string(buffer, n));
            std::string big(static_cast<size_t>(n) + 1, '\0');
            va_start(args, conversion);
            std::vsnprintf(&big[0], big.size(), conversion, args);
            va_end(args);
            big.resize(n);
            return widen(big);
        }

        // Widths and precisions beyond this are cut to it.
        const int kMaxField = 4096;

        int clampField(long long value)
        {
            return static_cast<int>(std::max<long long>(-kMaxField, std::min<long long>(value, kMaxField)));
        }

        // A real number given for an integer conversion: truncated, clipped to the type's
        // range, 0 when it is no number.
        template <typename T>
        T realTo(double value)
        {
            if (std::isnan(value))
                return 0;
            if (value <= static_cast<double>(std::numeric_limits<T>::min()))
                return std::numeric_limits<T>::min();
            if (value >= static_cast<double>(std::numeric_limits<T>::max()))
                return std::numeric_limits<T>::max();
            return static_cast<T>(value);
        }

        std::wstring padText(std::wstring text, const std::string &flags, int width, int precision)
        {
            if (precision >= 0 && text.size() > static_cast<size_t>(precision))
                text.resize(precision);
            if (width > 0 && text.size() < static_cast<size_t>(width)) {
                const std::wstring pad(width - text.size(), L' ');
                text = flags.find('-') != std::string::npos ? text + pad : pad + text;
            }
            return text;
        }

        // Creates the missing levels of `dir` for this user only (0700); the log folder itself,
        // when it is ours and open to others, is tightened.
        void makePrivateDirectories(const std::string &dir)
        {
            std::string path;
            size_t at = 0;
            while (at < dir.size()) {
                const size_t slash = dir.find('/', at + 1);
                path = dir.substr(0, slash == std::string::npos ? dir.size() : slash);
                at = slash == std::string::npos ? dir.size() : slash;
                if (path.empty() || path == "/")
                    continue;
                struct stat st {};
                if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST
                    && (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
                    return;
            }
            struct stat st {};
            if (!path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
                && (st.st_mode & 077) != 0)
                ::chmod(path.c_str(), st.st_mode & 0700);
        }

        std::string conversionPrefix(const std::string &flags, int width, int precision)
        {
            std::string conversion = "%" + flags;
            if (width >= 0)
                conversion += std::to_string(width);
            if (precision >= 0)
                conversion += "." + std::to_string(precision);
            return conversion;
        }
    }

    // --- LogArg -------------------------------------------------------------------------

    LogArg::LogArg() = default;
    LogArg::LogArg(float value) : m_kind(Real), m_real(value) {}
    LogArg::LogArg(double value) : m_kind(Real), m_real(value) {}
    LogArg::LogArg(long double value) : m_kind(Real), m_real(static_cast<double>(value)) {}
    LogArg::LogArg(const char *text) : m_kind(Text), m_text(text ? widen(text) : L"(null)") {}
    LogArg::LogArg(const wchar_t *text) : m_kind(Text), m_text(text ? text : L"(null)") {}
    LogArg::LogArg(const std::string &text) : m_kind(Text), m_text(widen(text)) {}
    LogArg::LogArg(const std::wstring &text) : m_kind(Text), m_text(text) {}
    LogArg::LogArg(const QString &text) : m_kind(Text), m_text(text.toStdWString()) {}
    LogArg::LogArg(const QByteArray &text) : m_kind(Text), m_text(QString::fromUtf8(text).toStdWString()) {}
    LogArg::LogArg(const void *pointer) : m_kind(Pointer), m_pointer(pointer) {}

    LogArg::Kind LogArg::kind() const
    {
        return m_kind;
    }

    long long LogArg::asSigned() const
    {
        switch (m_kind) {
        case Signed: return m_signed;
        case Unsigned: return static_cast<long long>(m_unsigned);
        case Real: return realTo<long long>(m_real);
        case Pointer: return static_cast<long long>(reinterpret_cast<uintptr_t>(m_pointer));
        default: return 0;
        }
    }

    unsigned long long LogArg::asUnsigned() const
    {
        switch (m_kind) {
        case Signed: return static_cast<unsigned long long>(m_signed);
        case Unsigned: return m_unsigned;
        case Real: return realTo<unsigned long long>(m_real);
        case Pointer: return reinterpret_cast<uintptr_t>(m_pointer);
        default: return 0;
        }
    }

    double LogArg::asReal() const
    {
        switch (m_kind) {
        case Signed: return static_cast<double>(m_signed);
        case Unsigned: return static_cast<double>(m_unsigned);
        case Real: return m_real;
        default: return 0;
        }
    }

    const std::wstring &LogArg::text() const
    {
        return m_text;
    }

    const void *LogArg::pointer() const
    {
        return m_pointer;
    }

    // --- LogFormat ----------------------------------------------------------------------

    LogFormat::LogFormat(const wchar_t *text) : m_text(text ? text : L"") {}
    LogFormat::LogFormat(const std::wstring &text) : m_text(text) {}
    LogFormat::LogFormat(const char *text) : m_text(text ? widen(text) : std::wstring()) {}
    LogFormat::LogFormat(const std::string &text) : m_text(widen(text)) {}
    LogFormat::LogFormat(const QString &text) : m_text(text.toStdWString()) {}

    const std::wstring &LogFormat::text() const
    {
        return m_text;
    }

    // --- formatting ---------------------------------------------------------------------

    std::wstring formatArgs(const LogFormat &format, const LogArg *args, size_t count)
    {
        const std::wstring &f = format.text();
        if (count == 0)
            return f;

        std::wstring out;
        size_t next = 0;
        size_t i = 0;
        while (i < f.size()) {
            const wchar_t c = f[i];
            if (c != L'%') {
                out.push_back(c);
                ++i;
                continue;
            }
            const size_t start = i++;
            if (i < f.size() && f[i] == L'%') {
                out.push_back(L'%');
                ++i;
                continue;
            }
            std::string flags;
            while (i < f.size() && std::wcschr(L"-+ #0", f[i]) && f[i] != 0)
                flags.push_back(static_cast<char>(f[i++]));
            int width = -1;
            int precision = -1;
            bool missing = false;
            if (i < f.size() && f[i] == L'*') {
                ++i;
                if (next < count)
                    width = clampField(args[next++].asSigned());
                else
                    missing = true;
                if (width < 0 && width != -1) {
                    flags.push_back('-');
                    width = -width;
                }
            } else {
                while (i < f.size() && f[i] >= L'0' && f[i] <= L'9')
                    width = std::min((width < 0 ? 0 : width) * 10 + (f[i++] - L'0'), kMaxField);
            }
            if (i < f.size() && f[i] == L'.') {
                ++i;
                precision = 0;
                if (i < f.size() && f[i] == L'*') {
                    ++i;
                    if (next < count)
                        precision = clampField(args[next++].asSigned());
                    else
                        missing = true;
                } else {
                    while (i < f.size() && f[i] >= L'0' && f[i] <= L'9')
                        precision = std::min(precision * 10 + (f[i++] - L'0'), kMaxField);
                }
            }
            bool wideChar = false;
            while (i < f.size() && std::wcschr(L"hlLqjzt", f[i]) && f[i] != 0) {
                if (f[i] == L'l')
                    wideChar = true;
                ++i;
            }
            if (i >= f.size()) {
                out.append(f, start, std::wstring::npos);
                break;
            }
            const wchar_t conv = f[i++];
            if (!std::wcschr(L"diuoxXcCsSfFeEgGaApn", conv) || conv == 0) {
                out.append(f, start, i - start);
                continue;
            }
            if (conv == L'n') {
                if (next < count)
                    ++next;
                continue;
            }
            if (missing || next >= count) {
                out.append(f, start, i - start);
                continue;
            }
            const LogArg &arg = args[next++];
            const std::string conversion = conversionPrefix(flags, width, precision);
            switch (conv) {
            case L's':
            case L'S':
                if (arg.kind() == LogArg::Text)
                    out += padText(arg.text(), flags, width, precision);
                else if (arg.kind() == LogArg::Real)
                    out += narrowFormat((conversion + "g").c_str(), arg.asReal());
                else if (arg.kind() == LogArg::Unsigned)
                    out += padText(std::to_wstring(arg.asUnsigned()), flags, width, -1);
                else if (arg.kind() == LogArg::Pointer)
                    out += narrowFormat("%p", arg.pointer());
                else
                    out += padText(std::to_wstring(arg.asSigned()), flags, width, -1);
                break;
            case L'c':
            case L'C':
                if (arg.kind() == LogArg::Text)
                    out += padText(arg.text().substr(0, 1), flags, width, -1);
                else
                    out += padText(std::wstring(1, static_cast<wchar_t>(arg.asUnsigned())), flags, width, -1);
                (void)wideChar;
                break;
            case L'p':
                out += narrowFormat("%p", arg.pointer());
                break;
            case L'd':
            case L'i':
                if (arg.kind() == LogArg::Text)
                    out += padText(arg.text(), flags, width, -1);
                else if (arg.kind() == LogArg::Unsigned)
                    out += narrowFormat((conversion + "llu").c_str(), arg.asUnsigned());
                else
                    out += narrowFormat((conversion + "lld").c_str(), arg.asSigned());
                break;
            case L'u':
            case L'o':
            case L'x':
            case L'X':
                if (arg.kind() == LogArg::Text)
                    out += padText(arg.text(), flags, width, -1);
                else
                    out += narrowFormat((conversion + "ll" + static_cast<char>(conv)).c_str(), arg.asUnsigned());
                break;
            default: // f F e E g G a A
                if (arg.kind() == LogArg::Text)
                    out += padText(arg.text(), flags, width, -1);
                else
                    out += narrowFormat((conversion + static_cast<char>(conv)).c_str(), arg.asReal());
                break;
            }
        }
        return out;
    }

    void setDebugEnabled(bool enabled)
    {
        g_debug = enabled;
    }

    bool isDebugEnabled()
    {
        return g_debug;
    }

    // --- logger -------------------------------------------------------------------------

    logger::logger()
    {
        std::unique_lock<std::shared_mutex> lock(sinkLock());
        g_sink = this;
    }

    logger::logger(const std::wstring &directory)
        : logger()
    {
        start(directory);
    }

    logger::~logger()
    {
        {
            std::unique_lock<std::shared_mutex> lock(sinkLock());
            if (g_sink == this)
                g_sink = nullptr;
        }
        stop();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_file) {
            std::fclose(m_file);
            m_file = nullptr;
        }
    }

    logger *logger::instance()
    {
        if (g_holderGone) {
            static logger *dormant = new logger;
            return dormant;
        }
        static Holder holder;
        if (!holder.instance)
            holder.instance.reset(new logger);
        return holder.instance.get();
    }

    void logger::start(const std::wstring &directory)
    {
        if (m_running)
            return;
        if (m_worker.joinable())
            m_worker.join();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (directory != m_directory && m_file) {
                std::fclose(m_file);
                m_file = nullptr;
                m_filePath.clear();
            }
            m_directory = directory;
            if (!m_directory.empty() && m_directory.back() != L'/')
                m_directory.push_back(L'/');
        }
        if (!m_directory.empty())
            makePrivateDirectories(CStringHelp::unicodeToUtf8(m_directory));
        m_running = true;
        m_worker = std::thread(&logger::run, this);
    }

    void logger::push(const std::shared_ptr<LogInfo> &info)
    {
        if (!info || !m_running)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_running)
                return;
            m_queue.push_back(info);
        }
        m_wake.notify_one();
    }

    void logger::stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_running = false;
        }
        m_wake.notify_all();
        if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id())
            m_worker.join();
    }

    void logger::flush()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_drained.wait(lock, [this] { return m_queue.empty(); });
    }

    bool logger::isRunning() const
    {
        return m_running;
    }

    std::string logger::filePath() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_filePath;
    }

    bool logger::accepts(int level)
    {
        if (level >= 2 && !g_debug)
            return false;
        std::shared_lock<std::shared_mutex> lock(sinkLock());
        const logger *sink = g_sink;
        return sink && sink->m_running;
    }

    void logger::submit(int level, const char *file, int line, std::wstring &&message)
    {
        try {
            std::shared_lock<std::shared_mutex> lock(sinkLock());
            logger *sink = g_sink;
            if (!sink || !sink->m_running)
                return;
            auto info = std::make_shared<LogInfo>();
            info->level = level;
            info->line = line;
            info->message = std::move(message);
            info->file = file ? file : "";
            info->time = static_cast<int64_t>(std::time(nullptr));
            sink->push(info);
        } catch (...) {
        }
    }

    std::wstring logger::timeText(int64_t seconds, const wchar_t *format)
    {
        const std::time_t t = static_cast<std::time_t>(seconds);
        std::tm local {};
        if (!localtime_r(&t, &local))
            return std::wstring();
        wchar_t buffer[64] = {};
        const size_t n = std::wcsftime(buffer, 64, format, &local);
        return std::wstring(buffer, n);
    }

    const wchar_t *logger::levelLabel(int level)
    {
        switch (level) {
        case 0: return L" none:";
        case 1: return L" error:";
        case 2: return L" warning:";
        case 3: return L" info:";
        case 4: return L" debug:";
        default: return L"";
        }
    }

    void logger::run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_queue.empty() || !m_running; });
            if (m_queue.empty()) {
                if (!m_running)
                    break;
                continue;
            }
            try {
                writeRecord(*m_queue.front());
            } catch (...) {
            }
            m_queue.pop_front();
            if (m_queue.empty())
                m_drained.notify_all();
        }
        m_drained.notify_all();
    }

    void logger::writeRecord(const LogInfo &info)
    {
        if (!m_file) {
            const std::wstring name = m_directory
                + timeText(static_cast<int64_t>(std::time(nullptr)), L"%Y-%m-%d-%H-%M-%S") + L".log";
            const std::string path = CStringHelp::unicodeToUtf8(name);
            // Readable by this user only; not inherited by child processes.
            const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0)
                return;
            struct stat own {};
            if (::fstat(fd, &own) == 0 && (own.st_mode & 077) != 0)
                ::fchmod(fd, own.st_mode & 0600);
            m_file = ::fdopen(fd, "ab");
            if (!m_file) {
                ::close(fd);
                return;
            }
            m_filePath = path;
            struct stat st {};
            if (fstat(fileno(m_file), &st) == 0 && st.st_size == 0) {
                static const unsigned char bom[2] = { 0xFF, 0xFE };
                std::fwrite(bom, 1, 2, m_file);
            }
        }

        std::wstring line = timeText(info.time, L"%Y-%m-%d %H:%M:%S");
        line += L" ";
        line += levelLabel(info.level);
        line += L":";
        line += info.message;
        line += L" (";
        line += widen(info.file);
        line += L":";
        line += std::to_wstring(info.line);
        line += L")\r\n";

        const std::u16string units = CStringHelp::unicodeToUtf16(line);
        std::string bytes;
        bytes.reserve(units.size() * 2);
        for (char16_t u : units) {
            bytes.push_back(static_cast<char>(u & 0xFF));
            bytes.push_back(static_cast<char>((u >> 8) & 0xFF));
        }
        std::fwrite(bytes.data(), 1, bytes.size(), m_file);
        std::fflush(m_file);
    }
}
