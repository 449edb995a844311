#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <QObject>

// Header of a package block (158 bytes, little-endian, no padding).
struct VepHeader
{
    uint32_t magic;          // "vep."
    uint16_t version;        // 6
    uint64_t videoLength;    // file length before the block
    uint32_t indexOffset;    // 158
    uint32_t indexLength;
    uint32_t recordOffset;   // 158 + index length
    uint32_t recordLength;
    uint8_t reserved[128];
} __attribute__((packed));
static_assert(sizeof(VepHeader) == 158, "the package header is 158 bytes");

// Appends the package block to an output: header, the index file as enciphered text, the
// masked record, and the block's own length as the last four bytes.
class QVepFile : public QObject
{
    Q_OBJECT

public:
    explicit QVepFile(QObject *parent = nullptr);

    // Paths are wide strings (UTF-8 on disk). The output must exist. A failed write cuts the
    // output back to its length before the block, so no half block is ever left.
    bool write(const std::wstring &outputPath, const std::wstring &indexPath, const std::string &record);

    // Whole file in binary; true when every byte was read.
    static bool readFile(const std::wstring &path, std::string &bytes);
    // Writes the bytes with mode "wb".
    static bool writeFile(const std::wstring &path, const std::string &bytes);
    // fwrite/fread of exactly n bytes; a short transfer throws errno as an int.
    static void exactWrite(FILE *file, const void *data, size_t n);
    static void exactRead(FILE *file, void *data, size_t n);

    // The index text for index file bytes: Base64 of the AES text encryption.
    static std::string indexText(const std::string &indexBytes);

    static const char *const kIndexKey;
    static const uint32_t kMagic = 0x2E706576;
    static const uint32_t kHeaderSize = 158;

private:
    VepHeader m_header;
};
