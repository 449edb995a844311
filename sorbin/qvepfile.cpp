#include "qvepfile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cstringhelp.h"

const char *const QVepFile::kIndexKey = "vek*tmh517p^zrw3nQDoxuaKBMF620sJ";

namespace
{
    std::string pathBytes(const std::wstring &path)
    {
        return CStringHelp::unicodeToUtf8(path);
    }

    void putLe(std::string &out, uint64_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            out += char(value >> (8 * i));
    }

    std::string headerBytes(const VepHeader &h)
    {
        std::string out;
        putLe(out, h.magic, 4);
        putLe(out, h.version, 2);
        putLe(out, h.videoLength, 8);
        putLe(out, h.indexOffset, 4);
        putLe(out, h.indexLength, 4);
        putLe(out, h.recordOffset, 4);
        putLe(out, h.recordLength, 4);
        out.append(reinterpret_cast<const char *>(h.reserved), sizeof h.reserved);
        return out;
    }
}

QVepFile::QVepFile(QObject *parent)
    : QObject(parent)
{
    std::memset(&m_header, 0, sizeof m_header);
    m_header.magic = kMagic;
    m_header.version = 6;
    m_header.indexOffset = kHeaderSize;
}

std::string QVepFile::indexText(const std::string &indexBytes)
{
    return CStringHelp::base64Encode(CStringHelp::aesEncrypt(indexBytes, kIndexKey));
}

bool QVepFile::write(const std::wstring &outputPath, const std::wstring &indexPath, const std::string &record)
{
    // Append to an existing output only: a missing one is an error, not an empty video.
    const int fd = ::open(pathBytes(outputPath).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    FILE *file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::fdopen(fd, "ab") : nullptr;
    if (!file)
    {
        ::close(fd);
        return false;
    }
    const uint64_t videoLength = static_cast<uint64_t>(st.st_size);

    // The index lives in the shared temp folder: only a file of our own is taken.
    std::string index;
    struct stat ist;
    const bool ownIndex = ::lstat(pathBytes(indexPath).c_str(), &ist) == 0 && S_ISREG(ist.st_mode)
        && ist.st_uid == ::geteuid();
    if (!ownIndex || !readFile(indexPath, index))
        index.clear();
    const std::string text = indexText(index);

    m_header.videoLength = videoLength;
    m_header.indexLength = static_cast<uint32_t>(text.size());
    m_header.recordOffset = m_header.indexLength + kHeaderSize;
    m_header.recordLength = static_cast<uint32_t>(record.size());
    const uint32_t trailer = m_header.recordOffset + m_header.recordLength + 4;
    std::string tail;
    putLe(tail, trailer, 4);

    bool ok = true;
    try
    {
        const std::string head = headerBytes(m_header);
        exactWrite(file, head.data(), head.size());
        exactWrite(file, text.data(), text.size());
        exactWrite(file, record.data(), record.size());
        exactWrite(file, tail.data(), tail.size());
        if (std::fflush(file) != 0)
            throw int(errno);
    }
    catch (int)
    {
        ok = false;
    }
    if (!ok)
    {
        // Nothing of the block stays behind.
        std::fflush(file);
        if (::ftruncate(fileno(file), static_cast<off_t>(videoLength)) != 0)
            ok = false;
    }
    if (std::fclose(file) != 0)
        ok = false;
    if (!ok)
    {
        // fclose may have flushed a last piece: cut again by path.
        if (::truncate(pathBytes(outputPath).c_str(), static_cast<off_t>(videoLength)) != 0)
            return false;
    }
    return ok;
}

bool QVepFile::readFile(const std::wstring &path, std::string &bytes)
{
    bytes.clear();
    FILE *file = std::fopen(pathBytes(path).c_str(), "rb");
    if (!file)
        return false;
    bool ok = true;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
        bytes.append(buf, n);
    if (std::ferror(file))
        ok = false;
    std::fclose(file);
    if (!ok)
        bytes.clear();
    return ok;
}

bool QVepFile::writeFile(const std::wstring &path, const std::string &bytes)
{
    FILE *file = std::fopen(pathBytes(path).c_str(), "wb");
    if (!file)
        return false;
    bool ok = true;
    try
    {
        exactWrite(file, bytes.data(), bytes.size());
    }
    catch (int)
    {
        ok = false;
    }
    return std::fclose(file) == 0 && ok;
}

void QVepFile::exactWrite(FILE *file, const void *data, size_t n)
{
    if (n && std::fwrite(data, 1, n, file) != n)
        throw int(errno ? errno : EIO);
}

void QVepFile::exactRead(FILE *file, void *data, size_t n)
{
    if (n && std::fread(data, 1, n, file) != n)
        throw int(errno ? errno : EIO);
}
