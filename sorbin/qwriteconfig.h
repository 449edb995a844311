#pragma once

#include <sstream>
#include <string>

#include <QObject>

#include "vepvideorecord.h"

// Serialises the video record of a package block: a 41-byte marker, then the record's fields,
// little-endian, "wstr" as a 32-bit count of UTF-16 code units and the units as UTF-16LE,
// "str" as a 32-bit byte count and the bytes. data() gives the stream XOR-masked.
class QWriteConfig : public QObject
{
    Q_OBJECT

public:
    // Writes the marker "KZR_NEW", its NUL and 33 bytes of 0x01.
    explicit QWriteConfig(QObject *parent = nullptr);
    // 41 bytes of 0x01 (no marker text), then the record.
    explicit QWriteConfig(const VepVideoRecord &record);

    bool writeRecord(const VepVideoRecord &record);
    // The stream so far, byte i XORed with byte (i mod 25) of the record key.
    std::string data() const;

    // Reads a masked record back (marker skipped); false on a short or malformed record.
    static bool parse(const std::string &masked, VepVideoRecord &record);

    static const char *const kRecordKey;
    static const size_t kMarkerSize = 41;

private:
    void writeInt(int32_t value);
    void writeUInt(uint32_t value);
    void writeByte(uint8_t value);
    void writeWStr(const std::wstring &text);
    void writeStr(const std::string &bytes);

    std::stringstream m_stream;
};
