#include "qfilework.h"

#include <csignal>
#include <exception>
#include <limits>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include "commonfun.h"
#include "cstringhelp.h"
#include "logger.h"
#include "qbase.h"
#include "qframemodel.h"
#include "quser.h"
#include "vantrelmodel.h"
#include "qwebmodel.h"
#include "uexception.h"

namespace
{
    const QString kFallbackError = QStringLiteral("程序异常，请查看日志！");
    // Ids further than this ahead of the clock (a damaged or planted file) are not followed.
    constexpr qint64 kFutureMs = 24LL * 3600 * 1000;

    std::atomic<qint64> s_lastId { 0 };
    std::mutex s_factoryMutex;
    QFileWork::ModelFactory s_factory;
}

qint64 QFileWork::nextId()
{
    const qint64 now = CommonFun::currentMSecs();
    qint64 last = s_lastId.load();
    qint64 id;
    do {
        id = now > last || last == std::numeric_limits<qint64>::max() ? now : last + 1;
    } while (!s_lastId.compare_exchange_weak(last, id));
    return id;
}

void QFileWork::noteId(qint64 id)
{
    const qint64 now = CommonFun::currentMSecs();
    if (id > now + kFutureMs) {
        LOG_WARNING(L"id %lld lies in the future, not followed", id);
        return;
    }
    qint64 last = s_lastId.load();
    while (id > last && !s_lastId.compare_exchange_weak(last, id)) {
    }
}

void QFileWork::crashPoint(const char *moment, const QString &detail)
{
#ifdef VANTREL_TEST_HOOKS
    static const QList<QByteArray> pauseAt = qgetenv("VANTREL_PAUSE_AT").split(',');
    if (pauseAt.contains(QByteArray(moment))) {
        const QString mark = qEnvironmentVariable("VANTREL_PAUSE_MARK");
        QFile file(mark);
        if (!mark.isEmpty() && file.open(QIODevice::WriteOnly)) {
            file.write(moment);
            if (!detail.isEmpty())
                file.write("\n" + detail.toUtf8());
            file.close();
            QElapsedTimer timer;
            timer.start();
            while (QFileInfo::exists(mark) && timer.elapsed() < 60000)
                QThread::msleep(10);
        }
    }
    static const QByteArray wanted = qgetenv("VANTREL_CRASH_AT");
    if (wanted.isEmpty() || wanted != moment)
        return;
    // Two jobs may reach the moment together: only the first writes the mark and kills the
    // program; the other waits here for the end, so the mark is never emptied by a second open.
    static std::mutex crashing;
    crashing.lock();
    const QString mark = qEnvironmentVariable("VANTREL_CRASH_MARK");
    if (!mark.isEmpty()) {
        QFile file(mark);
        if (file.open(QIODevice::WriteOnly))
            file.write(moment);
    }
    ::raise(SIGKILL);
#else
    Q_UNUSED(moment);
    Q_UNUSED(detail);
#endif
}

void QFileWork::setModelFactory(ModelFactory factory)
{
    std::lock_guard<std::mutex> lock(s_factoryMutex);
    s_factory = std::move(factory);
}

QFileWork::QFileWork(QObject *parent)
    : QObject(parent)
    , m_id(nextId())
    , m_progress(0)
    , m_stopped(false)
    , m_step(StepNew)
    , m_stopRequested(false)
    , m_claimed(false)
{
}

QFileWork::QFileWork(const QString &path, const QDtaConfig &config)
    : QFileWork(static_cast<QObject *>(nullptr))
{
    LOG_INFO(L"file work id:%lld", m_id);
    m_video = std::make_shared<QDtaVideo>(m_id, path, config);
}

QFileWork::QFileWork(const Json::Value &value)
    : QObject(nullptr)
    , m_progress(0)
    , m_stopped(false)
    , m_step(StepNew)
    , m_stopRequested(false)
    , m_claimed(false)
{
    // Only 0 and 1 are pending steps; anything else must never pass for done work.
    const int step = QDtaJson::toInt(value, "step");
    m_step = step == StepProbed ? StepProbed : StepNew;
    const Json::Value data = QDtaJson::toObject(value, "data");
    m_video = std::make_shared<QDtaVideo>(data);
    m_id = m_video->id();
    m_refusal = m_video->restoreRefusal(data);
    if (!m_refusal.isEmpty()) {
        m_stored = value;
        m_stopped = true;
        LOG_ERROR(L"work %lld refused: %s", m_id, m_refusal);
    }
    noteId(m_id);
}

QFileWork::~QFileWork()
{
    std::lock_guard<std::mutex> lock(m_modelMutex);
    m_model.reset();
}

bool QFileWork::run()
{
    LOG_DEBUG(L"work start:%lld", m_id);
    if (isRefused()) {
        emit signal_error(m_refusal);
        return false;
    }
    m_stopped = false;
    QString error;
    try {
        runSteps();
        emit signal_complete();
        return true;
    } catch (const UException &e) {
        LOG_EXCEPTION(e);
        error = e.qMessage();
    } catch (const std::exception &e) {
        LOG_ERROR(L"work %lld: %s", m_id, e.what());
    } catch (...) {
        LOG_ERROR(L"work %lld: unknown exception", m_id);
    }
    m_stopped = true;
    LOG_ERROR(L"%s", m_video ? m_video->fileName() : QString());
    crashPoint("failed", error);
    emit signal_error(error.isEmpty() ? kFallbackError : error);
    return false;
}

void QFileWork::runSteps()
{
    if (!m_video)
        throw UException("not_null(video)", __FILE__, __LINE__);
    throwIfStopRequested();
    // A job whose record exists is done, whatever "work.json" says: it is never run again (an
    // output rename that a kill cut short is finished here).
    if (m_video->config().encryptType() != 4 && QFrameModel::completeRecorded(*m_video)) {
        LOG_INFO(L"work %lld was recorded before, not run again", m_id);
        m_step = StepDone;
        return;
    }
    if (m_step == StepNew) {
        LOG_DEBUG(L"work prepare");
        m_video->probeMedia();
        throwIfStopRequested();
        // Whatever is no video for its mode fails here: it never reaches sorbin or ffmpeg.
        const QString refusal = m_video->mediaRefusal();
        if (!refusal.isEmpty())
            throw UException("mediaRefusal().isEmpty()", refusal, __FILE__, __LINE__);
        m_step = StepProbed;
    }
    if (m_step == StepProbed) {
        throwIfStopRequested();
        LOG_DEBUG(L"work encrypt");
        encrypt();
        m_step = StepDone;
    }
}

void QFileWork::encrypt()
{
    ModelFactory factory;
    {
        std::lock_guard<std::mutex> factoryLock(s_factoryMutex);
        factory = s_factory;
    }
    std::unique_ptr<QBase> model;
    if (factory)
        model = factory(m_video);
    else if (m_video->config().encryptType() == 4)
        model.reset(new QWebModel(m_video));
    else
        model.reset(new QFrameModel(m_video));
    runModel(std::move(model));
}

void QFileWork::upload()
{
    runModel(std::unique_ptr<QBase>(new VantrelModel(m_video)));
}

void QFileWork::runModel(std::unique_ptr<QBase> stage)
{
    QBase *model = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_modelMutex);
        m_model = std::move(stage);
        if (!m_model)
            throw UException("nullptr != m_model", __FILE__, __LINE__);
        model = m_model.get();
        if (!connect(model, SIGNAL(signal_progress(int, int)), this, SLOT(onProgress(int, int))))
            LOG_ERROR(L"work %lld: progress not connected", m_id);
        if (!connect(model, SIGNAL(signal_note(QString)), this, SIGNAL(signal_note(QString))))
            LOG_ERROR(L"work %lld: note not connected", m_id);
        // A stop that came before the stage existed reaches it now.
        if (m_stopRequested)
            model->stop();
    }
    // Outside the lock, so that stop() reaches the running stage.
    model->run();
}

int32_t QFileWork::makeOutputName(const QString &text) const
{
    const QString name = QStringLiteral("%1_%2_%3_%4")
        .arg(QString::number(QUser::instance()->teacherId()), m_video ? m_video->config().courseId() : QString(),
             QString::number(CommonFun::currentMSecs()), text);
    return CStringHelp::hash(name.toUtf8().toStdString());
}

void QFileWork::throwIfStopRequested() const
{
    if (m_stopRequested)
        throw UException("!m_stopRequested", __FILE__, __LINE__);
}

Json::Value QFileWork::toJson() const
{
    if (isRefused())
        return m_stored;
    Json::Value value(Json::objectValue);
    value["data"] = m_video ? m_video->toJson() : Json::Value(Json::objectValue);
    value["step"] = m_step.load();
    return value;
}

bool QFileWork::isComplete() const { return m_step == StepDone; }
bool QFileWork::isStopped() const { return m_stopped; }
QString QFileWork::refusal() const { return m_refusal; }
bool QFileWork::isRefused() const { return !m_refusal.isEmpty(); }
qint64 QFileWork::id() const { return m_id; }
std::shared_ptr<QDtaVideo> QFileWork::video() const { return m_video; }
uint32_t QFileWork::progress() const { return m_progress; }
int QFileWork::step() const { return m_step; }

void QFileWork::stop()
{
    std::lock_guard<std::mutex> lock(m_modelMutex);
    m_stopRequested = true;
    if (m_model)
        m_model->stop();
}

void QFileWork::failWaiting(const QString &reason)
{
    m_stopped = true;
    LOG_ERROR(L"%s: %s", m_video ? m_video->fileName() : QString(), reason);
    emit signal_error(reason);
}

void QFileWork::pause()
{
    std::lock_guard<std::mutex> lock(m_modelMutex);
    if (m_model)
        m_model->pause();
}

void QFileWork::resume()
{
    std::lock_guard<std::mutex> lock(m_modelMutex);
    if (m_model)
        m_model->resume();
}

bool QFileWork::claim()
{
    bool expected = false;
    if (!m_claimed.compare_exchange_strong(expected, true))
        return false;
    m_stopRequested = false;
    // Queued again: it starts from nothing, as the overall bar counts it.
    m_progress = 0;
    return true;
}

void QFileWork::release()
{
    m_claimed = false;
}

bool QFileWork::isClaimed() const
{
    return m_claimed;
}

void QFileWork::onProgress(int stage, int percent)
{
    const uint32_t p = m_progress;
    if (p < static_cast<uint32_t>(percent) || p == 0 || p == 50) {
        m_progress = static_cast<uint32_t>(percent);
        emit signal_progress(stage, percent);
    }
}
