#pragma once

#include <atomic>

#include <QString>

// Checks of a media file through libavformat. Each opens the file itself, never blocks on a
// FIFO and ends within a few seconds (or as soon as `abort` is set), whatever the file holds.
class QMediaCheck
{
public:
    QMediaCheck() = delete;

    // Why the file is not whole, as a text for the job's row: a box or an index entry of the
    // container that lies beyond the end of the file, an MP4 without its index, or a declared
    // length the data near its end can't cover. Empty when it is whole, and when that can't be
    // told (not a container libavformat reads, or the time ran out).
    static QString wholeRefusal(const QString &path, const std::atomic<bool> *abort = nullptr);

    // Why the first video stream would not play as the source looks once copied into MPEG-TS
    // for a browser (a rotation or mirroring, pixels other than 8-bit 4:2:0, odd dimensions,
    // B frames in a container that keeps no presentation times, frame durations that don't
    // span the gaps between frames), as a short text; empty when a copy plays as it is, or
    // when it can't be told.
    static QString browserCopyObstacle(const QString &path);

    // Seconds the file plays as its streams or container say; negative when it can't be read.
    static double durationSeconds(const QString &path);

    // Whether the file holds a video stream and an audio stream, as `video` and `audio` (both
    // false when libavformat can't read it as media). False when that could not be told in time.
    static bool readStreams(const QString &path, bool *video, bool *audio, const std::atomic<bool> *abort = nullptr);

    // The bound of one check in milliseconds.
    static int boundMs();
};
