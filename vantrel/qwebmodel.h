#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include <QString>
#include <QStringList>

#include "qbase.h"

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

    // ffmpeg arguments (program not included) of the two runs.
    QStringList transcodeCommand();
    QStringList sliceCommand(const QString &playlistPath);

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
    std::shared_ptr<QDtaVideo> m_video;
    std::unique_ptr<QWebProcess> m_runner;
    QString m_sourcePath;
    QString m_transcodeTarget;
    QString m_sliceFolder;
    bool m_convert = true;
    std::atomic<int> m_progressBase {0};
    std::atomic<bool> m_bStop {false};
    std::mutex m_runnerMutex;
};
