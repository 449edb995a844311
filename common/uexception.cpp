#include "uexception.h"

#include "codecvt_gbk.h"

namespace
{
    std::wstring fromNarrow(const char *text) noexcept
    {
        try {
            return text ? codecvt_gbk::fromUtf8OrGbk(text) : std::wstring();
        } catch (...) {
            return std::wstring();
        }
    }
}

UException::UException(const char *expression, const std::wstring &message, const char *file, int line)
    : m_expression(fromNarrow(expression))
    , m_file(fromNarrow(file))
    , m_line(line)
{
    try {
        m_message = message;
    } catch (...) {
    }
}

UException::UException(const char *expression, const QString &message, const char *file, int line)
    : m_expression(fromNarrow(expression))
    , m_file(fromNarrow(file))
    , m_line(line)
{
    try {
        m_message = message.toStdWString();
    } catch (...) {
    }
}

UException::UException(const char *expression, const char *file, int line)
    : m_expression(fromNarrow(expression))
    , m_file(fromNarrow(file))
    , m_line(line)
{
}

UException::~UException() = default;

const char *UException::what() const noexcept
{
    return "Unknown exception";
}

const std::wstring &UException::expression() const
{
    return m_expression;
}

const std::wstring &UException::message() const
{
    return m_message;
}

const std::wstring &UException::file() const
{
    return m_file;
}

int UException::line() const
{
    return m_line;
}

QString UException::qMessage() const
{
    return QString::fromStdWString(m_message);
}

std::wstring UException::describe() const
{
    std::wstring text = L"exception\r\n";
    text += L"file: " + m_file + L"(" + std::to_wstring(m_line) + L")\r\n";
    text += L"express: " + m_expression + L"\r\n";
    if (!m_message.empty())
        text += L"message: " + m_message + L"\r\n";
    return text;
}
