#include "qworkpool.h"

#include <future>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "cglobal.h"
#include "logger.h"
#include "qfilework.h"
#include "commonfun.h"
#include "qdtavideo.h"
#include "qjsonfile.h"
#include "qmediacheck.h"
#include "uexception.h"

QWorkPool *QWorkPool::instance()
{
    static std::unique_ptr<QWorkPool> s_instance(new QWorkPool);
    return s_instance.get();
}

QWorkPool::QWorkPool(QObject *parent)
    : QObject(parent)
    , m_running(false)
    , m_loaded(false)
    , m_loading(false)
{
    const QString data = CGlobal::dataPath().isEmpty() ? CGlobal::defaultDataPath() : CGlobal::dataPath();
    m_filePath = data + QStringLiteral("work.json");
}

QWorkPool::~QWorkPool()
{
    if (m_running || !m_workers.empty())
        stop();
}

void QWorkPool::setFilePath(const QString &path)
{
    m_filePath = path;
}

QString QWorkPool::filePath() const
{
    return m_filePath;
}

bool QWorkPool::isRunning() const
{
    return m_running;
}

void QWorkPool::start(int n)
{
    if (m_running)
        return;
    m_running = true;
    for (int i = 0; i < n; ++i)
        m_workers.emplace_back(new std::thread(&QWorkPool::workerLoop, this));
    m_screenStop = false;
    m_screener = std::thread(&QWorkPool::screenLoop, this);
    load();
}

void QWorkPool::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_running = false;
    }
    m_wakeUp.notify_all();
    {
        std::lock_guard<std::mutex> lock(m_screenMutex);
        m_screenStop = true;
        m_screenQueue.clear();
    }
    m_screenWake.notify_all();
    if (m_screener.joinable())
        m_screener.join();

    QList<std::shared_ptr<QFileWork>> works;
    {
        std::lock_guard<std::mutex> lock(m_mapMutex);
        works = m_works.values();
    }
    for (const auto &work : works) {
        if (!work->isComplete())
            work->stop();
    }
    for (auto &worker : m_workers) {
        if (worker->joinable())
            worker->join();
    }
    m_workers.clear();
    // After the join: a job that finished during the stop is done and not saved again.
    save();
}

void QWorkPool::reopen(const QString &filePath)
{
    stop();
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_mapMutex);
        m_works.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_noticeMutex);
        m_notice.clear();
    }
    m_loaded = false;
    m_filePath = filePath;
}

std::shared_ptr<QFileWork> QWorkPool::addWork(const QString &path, const QDtaConfig &config)
{
    const QList<std::shared_ptr<QFileWork>> works = addWorks(QStringList {path}, config);
    if (works.isEmpty())
        throw UException("addWorkItem(work)", __FILE__, __LINE__);
    return works.first();
}

QList<std::shared_ptr<QFileWork>> QWorkPool::addWorks(const QStringList &paths, const QDtaConfig &config)
{
    QList<std::shared_ptr<QFileWork>> made;
    QString failure;
    for (const QString &path : paths) {
        try {
            made.append(std::make_shared<QFileWork>(path, config));
        } catch (const UException &e) {
            LOG_EXCEPTION(e);
            if (failure.isEmpty())
                failure = e.qMessage();
        }
    }
    const QList<std::shared_ptr<QFileWork>> works = registerWorks(made);
    // The whole batch is pending work on disk before any of it is shown or run.
    if (!works.isEmpty() && !m_loading)
        save();
    for (const auto &work : works)
        announce(work);
    if (!failure.isEmpty())
        throw UException("addWorks(paths)", failure, __FILE__, __LINE__);
    if (works.size() != made.size())
        throw UException("addWorkItem(work)", __FILE__, __LINE__);
    return works;
}

bool QWorkPool::addWorkItem(const std::shared_ptr<QFileWork> &work)
{
    if (!work || registerWorks({work}).isEmpty())
        return false;
    if (!m_loading)
        save();
    announce(work);
    return true;
}

QList<std::shared_ptr<QFileWork>> QWorkPool::registerWorks(const QList<std::shared_ptr<QFileWork>> &works)
{
    QList<std::shared_ptr<QFileWork>> added;
    std::lock_guard<std::mutex> lock(m_mapMutex);
    for (const auto &work : works) {
        if (!work)
            continue;
        if (m_works.contains(work->id())) {
            LOG_ERROR(L"work %lld is already known", work->id());
            continue;
        }
        m_works.insert(work->id(), work);
        added.append(work);
    }
    return added;
}

void QWorkPool::announce(const std::shared_ptr<QFileWork> &work)
{
    if (!connect(work.get(), SIGNAL(signal_progress(int, int)), this, SLOT(onProgress(int, int))))
        LOG_ERROR(L"work %lld: progress not connected", work->id());
    // Outside the locks: a slot may call back into the pool.
    emit addItem(work.get());
    if (work->isRefused()) {
        // Its row says why; it is never queued.
        emit work->signal_error(work->refusal());
        return;
    }
    if (work->claim()) {
        enqueue(work);
        screen(work);
    }
    refreshProgress();
}

void QWorkPool::enqueue(const std::shared_ptr<QFileWork> &work)
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.append(work);
    }
    m_wakeUp.notify_one();
}

void QWorkPool::removeWork(qlonglong id)
{
    std::shared_ptr<QFileWork> work;
    {
        std::lock_guard<std::mutex> lock(m_mapMutex);
        auto it = m_works.find(id);
        if (it == m_works.end())
            return;
        work = it.value();
        m_works.erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.removeAll(work);
    }
    work->stop();
    save();
    refreshProgress();
}

bool QWorkPool::retryWork(qlonglong id)
{
    std::shared_ptr<QFileWork> work;
    {
        std::lock_guard<std::mutex> lock(m_mapMutex);
        work = m_works.value(id);
        if (!work || !work->isStopped() || work->isComplete() || work->isRefused())
            return false;
        // Refused while the item waits or runs.
        if (!work->claim())
            return false;
        enqueue(work);
    }
    screen(work);
    refreshProgress();
    return true;
}

void QWorkPool::pauseWork(qlonglong id)
{
    if (auto w = work(id))
        w->pause();
}

void QWorkPool::stopWork(qlonglong id)
{
    if (auto w = work(id))
        w->stop();
}

void QWorkPool::resumeWork(qlonglong id)
{
    if (auto w = work(id))
        w->resume();
}

void QWorkPool::runWork(qlonglong id)
{
    auto w = work(id);
    if (!w || !w->claim())
        return;
    const bool ok = w->run();
    w->release();
    save();
    refreshProgress();
    if (ok)
        emit completeItem(id);
}

std::shared_ptr<QFileWork> QWorkPool::work(qlonglong id) const
{
    std::lock_guard<std::mutex> lock(m_mapMutex);
    return m_works.value(id);
}

int QWorkPool::count() const
{
    std::lock_guard<std::mutex> lock(m_mapMutex);
    return m_works.size();
}

void QWorkPool::workerLoop()
{
    while (m_running) {
        std::shared_ptr<QFileWork> work;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_wakeUp.wait(lock, [this]() { return !m_queue.isEmpty() || !m_running; });
            if (!m_running)
                break;
            work = m_queue.takeFirst();
        }
        const qint64 id = work->id();
        // A removed item whose row is gone does not run.
        if (this->work(id) != work) {
            work->release();
            continue;
        }
        bool ok = false;
        try {
            ok = work->run();
        } catch (const UException &e) {
            LOG_EXCEPTION(e);
        } catch (const std::exception &e) {
            LOG_ERROR(L"work %lld: %s", id, e.what());
        } catch (...) {
            LOG_ERROR(L"work %lld: unknown exception", id);
        }
        work->release();
        try {
            save();
        } catch (...) {
            LOG_ERROR(L"work.json not saved");
        }
        refreshProgress();
        if (ok)
            emit completeItem(id);
    }
}

void QWorkPool::screen(const std::shared_ptr<QFileWork> &work)
{
    {
        std::lock_guard<std::mutex> lock(m_screenMutex);
        if (m_screenStop || !m_screener.joinable())
            return;
        m_screenQueue.append(work);
    }
    m_screenWake.notify_one();
}

void QWorkPool::screenLoop()
{
    for (;;) {
        std::shared_ptr<QFileWork> work;
        {
            std::unique_lock<std::mutex> lock(m_screenMutex);
            m_screenWake.wait(lock, [this]() { return m_screenStop || !m_screenQueue.isEmpty(); });
            if (m_screenStop)
                return;
            work = m_screenQueue.takeFirst();
        }
        try {
            screenOne(work);
        } catch (const UException &e) {
            LOG_EXCEPTION(e);
        } catch (const std::exception &e) {
            LOG_ERROR(L"screening: %s", e.what());
        } catch (...) {
            LOG_ERROR(L"screening: unknown exception");
        }
    }
}

void QWorkPool::screenOne(const std::shared_ptr<QFileWork> &work)
{
    const std::shared_ptr<QDtaVideo> video = work->video();
    // Only what the job's own probe would look at: a probed job goes by its stored facts.
    if (!video || work->step() != QFileWork::StepNew)
        return;
    {
        // One a worker has taken is told by its own probe.
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (!m_queue.contains(work))
            return;
    }
    const QString path = video->sourcePath();
    bool hasVideo = false;
    bool hasAudio = false;
    // Out of time: the job's own probe tells.
    if (!QMediaCheck::readStreams(path, &hasVideo, &hasAudio, &m_screenStop))
        return;
    const QString reason = QDtaVideo::mediaRefusalOf(path, hasVideo, hasAudio, video->config().encryptType(), &m_screenStop);
    if (reason.isEmpty() || m_screenStop)
        return;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_queue.removeAll(work) == 0)
            return;
    }
    LOG_INFO(L"work %lld refused as it was added: %s", work->id(), reason);
    work->failWaiting(reason);
    work->release();
    refreshProgress();
}

void QWorkPool::onProgress(int stage, int percent)
{
    Q_UNUSED(stage);
    Q_UNUSED(percent);
    try {
        std::async(std::launch::async, [this]() { averageProgress(); }).wait();
    } catch (const UException &e) {
        LOG_EXCEPTION(e);
    } catch (const std::exception &e) {
        LOG_ERROR(L"progress: %s", e.what());
    } catch (...) {
        LOG_ERROR(L"progress: unknown exception");
    }
}

void QWorkPool::refreshProgress()
{
    try {
        averageProgress();
    } catch (const std::exception &e) {
        LOG_ERROR(L"progress: %s", e.what());
    } catch (...) {
        LOG_ERROR(L"progress: unknown exception");
    }
}

void QWorkPool::averageProgress()
{
    std::lock_guard<std::mutex> averaging(m_averageMutex);
    QList<std::shared_ptr<QFileWork>> works;
    {
        std::lock_guard<std::mutex> lock(m_mapMutex);
        works = m_works.values();
    }
    QList<JobProgress> jobs;
    for (const auto &work : works) {
        JobProgress job;
        job.done = work->isComplete();
        // A job that waits or runs is claimed; one that ended without finishing is not.
        job.failed = !job.done && (work->isRefused() || !work->isClaimed());
        job.percent = static_cast<int>(std::min<uint32_t>(work->progress(), 100));
        jobs.append(job);
    }
    emit signal_progress(overallPercent(jobs));
}

int QWorkPool::overallPercent(const QList<JobProgress> &jobs)
{
    qint64 sum = 0;
    int counted = 0;
    for (const JobProgress &job : jobs) {
        if (job.failed)
            continue;
        sum += job.done ? 100 : qBound(0, job.percent, 100);
        ++counted;
    }
    return counted > 0 ? static_cast<int>(sum / counted) : 0;
}

void QWorkPool::keptAside(const QString &bad)
{
    const QString notice = CommonFun::damagedFileNotice(QStringLiteral("待处理任务"), bad);
    if (notice.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(m_noticeMutex);
    m_notice = notice;
}

QString QWorkPool::takeSetAsideNotice()
{
    std::lock_guard<std::mutex> lock(m_noticeMutex);
    QString notice;
    notice.swap(m_notice);
    return notice;
}

void QWorkPool::load()
{
    QValue root;
    QString error;
    // The name a damaged file is kept under, taken before the read moves it there.
    const QString readAside = QJsonFile::badFileName(m_filePath);
    if (!QJsonFile::read(m_filePath, root, &error)) {
        LOG_ERROR(L"work: %s", error);
        // Unreadable but still there: move it aside so that saving keeps it.
        if (QFile::exists(m_filePath))
            keptAside(CommonFun::setDamagedFileAside(m_filePath));
        else
            keptAside(readAside);
        m_loaded = true;
        return;
    }
    if (!root.isNull() && !root.isArray()) {
        const QString bad = CommonFun::setDamagedFileAside(m_filePath);
        LOG_ERROR(L"work: %s is not a list, kept as %s", m_filePath, bad);
        keptAside(bad);
        m_loaded = true;
        return;
    }

    m_loading = true;
    bool skipped = false;
    for (Json::ArrayIndex i = 0; root.isArray() && i < root.size(); ++i) {
        const QValue &element = root[i];
        try {
            // Not even the shape of a job: kept only in the copy below.
            if (!element.isObject() || !QDtaJson::toObject(element, "data").isObject()) {
                skipped = true;
                continue;
            }
            auto work = std::make_shared<QFileWork>(element);
            if (!work->video() || work->id() <= 0) {
                LOG_ERROR(L"work: element %d has no job id", static_cast<int>(i));
                skipped = true;
                continue;
            }
            if (!addWorkItem(work))
                skipped = true;
        } catch (const UException &e) {
            LOG_EXCEPTION(e);
            skipped = true;
        } catch (const std::exception &e) {
            LOG_ERROR(L"work: element %d: %s", static_cast<int>(i), e.what());
            skipped = true;
        }
    }
    if (skipped) {
        const QString bad = QJsonFile::badFileName(m_filePath);
        LOG_ERROR(L"work: some entries were not restored, the file is kept as %s", bad);
        if (QFile::copy(m_filePath, bad))
            keptAside(bad);
    }
    m_loading = false;
    m_loaded = true;
    save();
}

bool QWorkPool::save()
{
    if (!m_loaded)
        return false;
    QString failure;
    bool saved = false;
    {
        std::lock_guard<std::mutex> saveLock(m_saveMutex);
        QValue root;
        {
            std::lock_guard<std::mutex> lock(m_mapMutex);
            for (auto it = m_works.constBegin(); it != m_works.constEnd(); ++it) {
                if (!it.value()->isComplete())
                    root.append(it.value()->toJson());
            }
        }
        QString error;
        saved = QJsonFile::write(m_filePath, root, true, &error);
        if (!saved) {
            LOG_ERROR(L"work: %s", error);
            // Told once; every later change tries again.
            if (!m_saveFailureTold.exchange(true)) {
                const QString folder = QDir::toNativeSeparators(QFileInfo(m_filePath).absolutePath());
                failure = QStringLiteral("无法保存待处理的任务：数据文件夹“%1”无法写入（%2）。请检查磁盘空间和文件夹权限，任务有变化时会再次保存")
                              .arg(folder, error);
            }
        } else {
            m_saveFailureTold = false;
        }
    }
    // Told with the lock released: whoever shows it (queued, on its own thread) never holds
    // up a save or the stop that waits for one.
    if (!failure.isEmpty())
        emit saveFailed(failure);
    return saved;
}
