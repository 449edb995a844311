#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <QObject>

#include "qbase.h"

class QDtaVideo;
class VantrelFile;

// The upload stage: reports a finished video to the web API, gets an upload token, uploads the
// output (the packaged file, or the slice folder in Web mode) to the cloud storage and adds the
// history record. Progress goes out as stage 3, 50 to 100.
class VantrelModel : public QBase
{
    Q_OBJECT

public:
    // Throws UException when `video` is empty.
    explicit VantrelModel(std::shared_ptr<QDtaVideo> video, QObject *parent = nullptr);
    explicit VantrelModel(QObject *parent = nullptr);
    // Waits for the upload thread (a running upload is stopped first).
    ~VantrelModel() override;

    void run() override;
    // Ends the run soon, whether the upload has started or not; run() then throws "强制退出".
    void stop() override;

    void upload(const std::string &token);

private:
    // Throws "强制退出" once stop() was called.
    void checkRunning() const;
    // Sleeps in short steps; returns early after a stop.
    void waitUnlessStopped(int ms) const;

    std::shared_ptr<QDtaVideo> m_dtaVideo;
    std::atomic<bool> m_running {true};
    std::mutex m_uploadMutex; // guards m_pUpload against stop() from another thread
    std::unique_ptr<VantrelFile> m_pUpload;
};
