#pragma once

#include <exception>
#include <string>

#include <QString>

// The program's one exception type: a failed check with its source text, an optional
// message, and the file and line that raised it. Thrown by value, caught by reference.
//
// The narrow arguments are literals: UTF-8 when they are valid UTF-8 (the compiler's
// __FILE__ here), GBK otherwise. The constructors never throw.
class UException : public std::exception
{
public:
    UException(const char *expression, const std::wstring &message, const char *file, int line);
    UException(const char *expression, const QString &message, const char *file, int line);
    UException(const char *expression, const char *file, int line);
    ~UException() override;

    // "Unknown exception", as for any exception that carries no text of its own; the text
    // is in message() and describe().
    const char *what() const noexcept override;

    const std::wstring &expression() const;
    const std::wstring &message() const;
    const std::wstring &file() const;
    int line() const;

    // The message as a QString, for widgets and signals.
    QString qMessage() const;

    // "exception", "file: f(l)", "express: e" and, when there is a message, "message: m",
    // each line ended by CR LF.
    std::wstring describe() const;

private:
    std::wstring m_expression;
    std::wstring m_file;
    std::wstring m_message;
    int m_line = 0;
};

// Throws UException when `cond` is false, with the condition's text.
#define U_ASSERT(cond) \
    do { if (!(cond)) throw UException(#cond, __FILE__, __LINE__); } while (0)

// Same, with a message (std::wstring, wide literal or QString).
#define U_ASSERT_MSG(cond, msg) \
    do { if (!(cond)) throw UException(#cond, (msg), __FILE__, __LINE__); } while (0)

// Throws UException with a message and no condition.
#define U_THROW(msg) throw UException("", (msg), __FILE__, __LINE__)
