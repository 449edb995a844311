#pragma once

#include <cstdint>

#include <QString>

struct libvlc_instance_t;

// Result of a libvlc probe.
struct MediaProbeInfo
{
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t duration = 0; // whole seconds
    uint32_t codec = 0;   // first track's four-character code
    int32_t videoTracks = 0;
    int32_t audioTracks = 0;
};

// The process-wide libvlc instance, used by the media probe.
class QVlcInstance
{
public:
    static QVlcInstance *instance();
    ~QVlcInstance();
    QVlcInstance(const QVlcInstance &) = delete;
    QVlcInstance &operator=(const QVlcInstance &) = delete;

    // Fills the zero fields of `info` from the file; throws UException on failure.
    void getMediaInfo(const QString &path, MediaProbeInfo &info);

private:
    QVlcInstance();

    libvlc_instance_t *m_vlc_ins;
};
