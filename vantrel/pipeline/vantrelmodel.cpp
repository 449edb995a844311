#include "vantrelmodel.h"

#include <chrono>
#include <thread>

#include <QFile>
#include <QString>

#include "cglobal.h"
#include "logger.h"
#include "qdtavideo.h"
#include "qrecords.h"
#include "quser.h"
#include "qvalue.h"
#include "uexception.h"
#include "vantrelfile.h"

namespace
{
    constexpr int kWebMode = 4;

    QString withSlash(QString folder)
    {
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        return folder;
    }
}

VantrelModel::VantrelModel(std::shared_ptr<QDtaVideo> video, QObject *parent)
    : QBase(parent)
    , m_dtaVideo(std::move(video))
{
    if (!m_dtaVideo)
        throw UException("not_null(m_dtaVideo)", __FILE__, __LINE__);
}

VantrelModel::VantrelModel(QObject *parent)
    : QBase(parent)
{
}

VantrelModel::~VantrelModel()
{
    std::lock_guard<std::mutex> lock(m_uploadMutex);
    m_pUpload.reset();
}

void VantrelModel::checkRunning() const
{
    if (!m_running)
        throw UException("false", QStringLiteral("强制退出"), __FILE__, __LINE__);
}

void VantrelModel::waitUnlessStopped(int ms) const
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (m_running && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void VantrelModel::run()
{
    U_ASSERT(m_dtaVideo != nullptr);
    checkRunning();
    emit signal_progress(3, 50);
    const QDtaVideo &video = *m_dtaVideo;
    LOG_DEBUG(L"video info time-%d size-%d*%d", video.totalTime(), video.videoWidth(), video.videoHeight());

    QString message;
    const int encrypted = video.config().encryptType() == kWebMode ? 0 : 1;
    const qint64 size = static_cast<qint64>(video.fileSize() * 1024 * 1024);
    bool bRet = QUser::instance()->uploadInfo(video.videoKey(), QString::number(video.totalTime()),
                                              QStringLiteral("%1*%2").arg(video.videoWidth()).arg(video.videoHeight()),
                                              encrypted, 4, size, message);
    if (!bRet)
        throw UException("bRet", message, __FILE__, __LINE__);
    checkRunning();

    LOG_DEBUG(L"get upload token");
    QValue data;
    bRet = QUser::instance()->getUploadToken(data, message);
    if (!bRet)
        throw UException("bRet", message, __FILE__, __LINE__);
    const std::string token = asQString(jsonMember(data, QStringLiteral("uptoken"))).toUtf8().toStdString();
    if (token.empty())
        throw UException("!token.empty()", QStringLiteral("获取上传凭证失败"), __FILE__, __LINE__);
    checkRunning();

    waitUnlessStopped(1000);
    checkRunning();
    LOG_DEBUG(L"wait for video upload");
    upload(token);
    LOG_DEBUG(L"upload complete");
}

void VantrelModel::stop()
{
    std::lock_guard<std::mutex> lock(m_uploadMutex);
    if (m_pUpload)
        m_pUpload->stop();
    m_running = false;
}

void VantrelModel::upload(const std::string &token)
{
    U_ASSERT(m_dtaVideo != nullptr);
    const QDtaVideo &video = *m_dtaVideo;
    const int type = video.config().encryptType();
    QString path;
    {
        std::lock_guard<std::mutex> lock(m_uploadMutex);
        m_pUpload = std::make_unique<VantrelFile>();
        m_pUpload->setToken(token);
        LOG_DEBUG(L"set upload token");
        LOG_DEBUG(L"upload prepare");
        // A stop that came before the uploader existed ends the run here.
        checkRunning();
        if (type == kWebMode)
        {
            path = withSlash(CGlobal::slicePath()) + QString::number(video.id()) + QLatin1Char('/');
            m_pUpload->startUploadDir(path);
        }
        else
        {
            path = video.savePath() + video.videoKey();
            if (!QFile::exists(path))
                throw UException("QFile::exists(filePath)", QStringLiteral("加密文件不存在：%1").arg(path), __FILE__, __LINE__);
            m_pUpload->startUploadVep(path, video.videoKey());
        }
    }

    LOG_DEBUG(L"upload waitting");
    while (!m_pUpload->isFinished())
    {
        m_pUpload->sleep(200);
        emit signal_progress(3, m_pUpload->progress() / 2 + 50);
        checkRunning();
    }
    if (!m_pUpload->isSuccess())
        throw UException("m_pUpload->isSuccess()", QString::fromStdWString(m_pUpload->errorString()), __FILE__, __LINE__);
    // The last step may have come during the final wait.
    emit signal_progress(3, m_pUpload->progress() / 2 + 50);
    QRecords::instance()->addRecord(path, type);
}
