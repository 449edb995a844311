#include "qvlcinstance.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

// The synchronous parse and the track list are the 3.0 calls of deprecated.h.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <vlc/vlc.h>
#include <vlc/deprecated.h>

#include "logger.h"
#include "uexception.h"

QVlcInstance *QVlcInstance::instance()
{
    static std::unique_ptr<QVlcInstance> s_instance(new QVlcInstance);
    return s_instance.get();
}

QVlcInstance::QVlcInstance()
    : m_vlc_ins(libvlc_new(0, nullptr))
{
    if (!m_vlc_ins)
        LOG_ERROR(L"libvlc_new failed");
}

QVlcInstance::~QVlcInstance()
{
    if (m_vlc_ins)
        libvlc_release(m_vlc_ins);
}

void QVlcInstance::getMediaInfo(const QString &path, MediaProbeInfo &info)
{
    if (!m_vlc_ins)
        throw UException("not_null(m_vlc_ins)", __FILE__, __LINE__);

    libvlc_media_player_t *player = libvlc_media_player_new(m_vlc_ins);
    if (!player)
        throw UException("not_null(vlc_player)", __FILE__, __LINE__);
    std::unique_ptr<libvlc_media_player_t, void (*)(libvlc_media_player_t *)> playerGuard(player, libvlc_media_player_release);

    libvlc_media_t *media = libvlc_media_new_path(m_vlc_ins, path.toUtf8().constData());
    if (!media)
        throw UException("vlc_media", __FILE__, __LINE__);
    std::unique_ptr<libvlc_media_t, void (*)(libvlc_media_t *)> mediaGuard(media, libvlc_media_release);

    libvlc_media_parse(media);
    libvlc_media_player_set_media(player, media);

    if (info.width == 0)
        info.width = static_cast<uint32_t>(std::max(0, libvlc_video_get_width(player)));
    if (info.height == 0)
        info.height = static_cast<uint32_t>(std::max(0, libvlc_video_get_height(player)));

    libvlc_media_track_info_t *tracks = nullptr;
    const int count = libvlc_media_get_tracks_info(media, &tracks);
    if (tracks && count > 0) {
        info.codec = tracks[0].i_codec;
        // The player knows no size before playback; the parsed video track does.
        for (int i = 0; i < count; ++i) {
            if (tracks[i].i_type == libvlc_track_audio)
                ++info.audioTracks;
            if (tracks[i].i_type != libvlc_track_video)
                continue;
            if (info.videoTracks++ > 0)
                continue;
            if (info.width == 0)
                info.width = tracks[i].u.video.i_width;
            if (info.height == 0)
                info.height = tracks[i].u.video.i_height;
        }
    }
    if (tracks)
        std::free(tracks);

    const libvlc_time_t duration = libvlc_media_get_duration(media);
    info.duration = duration > 0 ? static_cast<int32_t>(duration / 1000) : 0;
}
