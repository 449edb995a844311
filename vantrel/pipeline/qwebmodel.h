#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include <QString>
#include <QStringList>

#include "qbase.h"
#include "qsourcefile.h"

class QDtaVideo;
class QWebProcess;

// Web-mode stage: optionally re-encodes the video to H.264, then cuts it into an HLS playlist
// with MPEG-TS segments in the job's slice folder, all through ffmpeg.
class QWebModel : public QBase
{
    Q_OBJECT

public:
    explicit QWebModel(QObject *parent = nullptr);
    // Throws UException when the video pointer is empty.
    explicit QWebModel(std::shared_ptr<QDtaVideo> dtaVideo, QObject *parent = nullptr);
    ~QWebModel() override;

    // ffmpeg arguments (program not included) of the two runs. The slicing runs in the slice
    // folder and names the playlist and segments relative to it.
    QStringList transcodeCommand();
    // Audio is copied unless `encodeAudio`, then made AAC.
    QStringList sliceCommand(const QString &playlistPath, bool encodeAudio = false);

    // Throws UException unless the playlist is whole: every segment it names exists and is not
    // empty, it is ended, and its length matches the probed duration (when there is one). A
    // copy of a whole source that doesn't match says that "原始" (a transcode) works.
    void checkSlices(const QString &playlistPath) const;

    // Removes what a run that ended with the program left in the slice folder: transcode
    // outputs and job folders whose slicing never completed. Finished job folders and anything
    // else are kept. Call it at start-up, before any job runs.
    static void sweepLeftovers();
    // Name of the hidden file that marks a job folder while it is being written.
    static QString slicingMarker();

    // Slice folder of this job (ends with "/") and the temporary transcode output.
    QString sliceFolder() const;
    QString transcodeTarget() const;

    // The stage body; throws UException on failure or stop. Runs on the calling worker thread.
    void run() override;
    // Callable from any thread; a stop before ffmpeg has started is kept for the run.
    void stop() override;

public slots:
    void onProgress(int value);

private:
    // What ffmpeg reads: the checked source while a run holds it open, else its path.
    QString sourceInput() const;
    // Runs one step of the run; when it fails, or ffmpeg said it found no room, because the
    // disk of the slice folder is full, throws that reason instead.
    void roomGuarded(const QWebProcess &runner, const std::function<void()> &step) const;
    // Throws the data folder's full-disk reason when `told`, or when that disk is (nearly) full.
    void throwIfNoRoom(bool told) const;

    std::shared_ptr<QDtaVideo> m_video;
    std::unique_ptr<QWebProcess> m_runner;
    QString m_sourcePath;
    QSourceFile m_source;
    QString m_transcodeTarget;
    QString m_sliceFolder;
    bool m_convert = true;
    // Transcoded for the browser's sake only: the job's quality option is not applied.
    bool m_ownQuality = false;
    std::atomic<int> m_progressBase {0};
    std::atomic<int> m_lastProgress {-1};
    std::atomic<bool> m_bStop {false};
    std::mutex m_runnerMutex;
};
