#include "qwriteconfig.h"

#include <cstring>

#include "cstringhelp.h"

const char *const QWriteConfig::kRecordKey = "47plrdk3)(&@!*5hwyqmxbt9z";

namespace
{
    const size_t kRecordKeyLength = 25;

    std::string mask(const std::string &bytes)
    {
        std::string out = bytes;
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = char(out[i] ^ QWriteConfig::kRecordKey[i % kRecordKeyLength]);
        return out;
    }

    // Cursor over an unmasked record.
    class Reader
    {
    public:
        explicit Reader(const std::string &bytes) : m_bytes(bytes) {}

        bool skip(size_t n)
        {
            if (m_bytes.size() - m_pos < n)
                return false;
            m_pos += n;
            return true;
        }
        bool raw(void *out, size_t n)
        {
            if (m_bytes.size() - m_pos < n)
                return false;
            std::memcpy(out, m_bytes.data() + m_pos, n);
            m_pos += n;
            return true;
        }
        bool u32(uint32_t &v)
        {
            uint8_t b[4];
            if (!raw(b, 4))
                return false;
            v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
            return true;
        }
        bool i32(int32_t &v)
        {
            uint32_t u;
            if (!u32(u))
                return false;
            v = static_cast<int32_t>(u);
            return true;
        }
        bool u8(uint8_t &v) { return raw(&v, 1); }
        bool wstr(std::wstring &text)
        {
            uint32_t count;
            if (!u32(count) || (m_bytes.size() - m_pos) / 2 < count)
                return false;
            std::u16string units;
            units.reserve(count);
            for (uint32_t i = 0; i < count; ++i)
            {
                const uint8_t lo = uint8_t(m_bytes[m_pos]), hi = uint8_t(m_bytes[m_pos + 1]);
                units.push_back(char16_t(lo | hi << 8));
                m_pos += 2;
            }
            text = CStringHelp::utf16ToUnicode(units);
            return true;
        }
        bool str(std::string &bytes)
        {
            uint32_t count;
            if (!u32(count) || m_bytes.size() - m_pos < count)
                return false;
            bytes = m_bytes.substr(m_pos, count);
            m_pos += count;
            return true;
        }
        bool atEnd() const { return m_pos == m_bytes.size(); }

    private:
        const std::string &m_bytes;
        size_t m_pos = 0;
    };
}

QWriteConfig::QWriteConfig(QObject *parent)
    : QObject(parent)
    , m_stream(std::ios::in | std::ios::out | std::ios::binary)
{
    char marker[kMarkerSize];
    std::memset(marker, 0x01, sizeof marker);
    std::memcpy(marker, "KZR_NEW", 8); // with its NUL
    m_stream.write(marker, sizeof marker);
}

QWriteConfig::QWriteConfig(const VepVideoRecord &record)
    : QObject(nullptr)
    , m_stream(std::ios::in | std::ios::out | std::ios::binary)
{
    char marker[kMarkerSize];
    std::memset(marker, 0x01, sizeof marker);
    m_stream.write(marker, sizeof marker);
    writeRecord(record);
}

bool QWriteConfig::writeRecord(const VepVideoRecord &record)
{
    writeInt(record.magic);
    writeInt(record.number1);
    writeInt(record.number2);
    writeWStr(record.courseId);
    writeInt(record.randNumber);
    writeWStr(record.text1);
    writeByte(record.flag);
    writeWStr(record.videoKey);
    writeWStr(record.text2);
    writeInt(record.number3);
    for (uint8_t f : record.flags)
        writeByte(f);
    writeInt(record.number4);
    writeInt(record.number5);
    // The list: 5 bytes, the item count, 4 more bytes when empty (9 otherwise), the items.
    for (uint8_t b : record.listHead)
        writeByte(b);
    writeUInt(static_cast<uint32_t>(record.list.size()));
    for (size_t i = 0, n = record.list.empty() ? 4 : 9; i < n; ++i)
        writeByte(0);
    for (const VepListItem &item : record.list)
    {
        writeUInt(item.number);
        writeWStr(item.first);
        writeWStr(item.second);
    }
    writeInt(record.number6);
    writeInt(record.number7);
    writeStr(record.bytes);
    for (const std::wstring &t : record.texts)
        writeWStr(t);
    writeInt(record.encryptType);
    writeInt(record.number8);
    writeInt(record.width);
    writeInt(record.height);
    writeInt(record.duration);
    return true;
}

std::string QWriteConfig::data() const
{
    return mask(m_stream.str());
}

bool QWriteConfig::parse(const std::string &masked, VepVideoRecord &record)
{
    const std::string bytes = mask(masked);
    Reader r(bytes);
    VepVideoRecord v;
    if (!r.skip(kMarkerSize) || !r.i32(v.magic) || !r.i32(v.number1) || !r.i32(v.number2) || !r.wstr(v.courseId)
        || !r.i32(v.randNumber) || !r.wstr(v.text1) || !r.u8(v.flag) || !r.wstr(v.videoKey) || !r.wstr(v.text2)
        || !r.i32(v.number3) || !r.raw(v.flags, sizeof v.flags) || !r.i32(v.number4) || !r.i32(v.number5)
        || !r.raw(v.listHead, sizeof v.listHead))
        return false;
    uint32_t count;
    if (!r.u32(count) || !r.skip(count == 0 ? 4 : 9))
        return false;
    for (uint32_t i = 0; i < count; ++i)
    {
        VepListItem item;
        if (!r.u32(item.number) || !r.wstr(item.first) || !r.wstr(item.second))
            return false;
        v.list.push_back(item);
    }
    if (!r.i32(v.number6) || !r.i32(v.number7) || !r.str(v.bytes))
        return false;
    for (std::wstring &t : v.texts)
        if (!r.wstr(t))
            return false;
    if (!r.i32(v.encryptType) || !r.i32(v.number8) || !r.i32(v.width) || !r.i32(v.height) || !r.i32(v.duration)
        || !r.atEnd())
        return false;
    record = v;
    return true;
}

void QWriteConfig::writeUInt(uint32_t value)
{
    const char b[4] = {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
    m_stream.write(b, 4);
}

void QWriteConfig::writeInt(int32_t value)
{
    writeUInt(static_cast<uint32_t>(value));
}

void QWriteConfig::writeByte(uint8_t value)
{
    m_stream.put(char(value));
}

void QWriteConfig::writeWStr(const std::wstring &text)
{
    const std::u16string units = CStringHelp::unicodeToUtf16(text);
    writeUInt(static_cast<uint32_t>(units.size()));
    for (char16_t u : units)
    {
        const char b[2] = {char(u & 0xFF), char(u >> 8)};
        m_stream.write(b, 2);
    }
}

void QWriteConfig::writeStr(const std::string &bytes)
{
    writeUInt(static_cast<uint32_t>(bytes.size()));
    m_stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
