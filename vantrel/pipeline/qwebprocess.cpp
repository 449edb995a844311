#include "qwebprocess.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextCodec>
#include <QTextDecoder>

#include "logger.h"
#include "qchildprocess.h"
#include "qstagecheck.h"
#include "uexception.h"

namespace
{
    // Keep about this many characters of ffmpeg's last output lines for the error text.
    const int TailLimit = 2048;
    const int StartTimeoutMs = 30000;
    const int PollMs = 200;
    const int TerminateWaitMs = 3000;
    const int KillWaitMs = 5000;

    // "hh:mm:ss(.ff)" captured as three groups from `first` on; -1 when it isn't a time.
    double clockSeconds(const QRegularExpressionMatch &match, int first)
    {
        bool okH = false;
        bool okM = false;
        bool okS = false;
        const double h = match.captured(first).toDouble(&okH);
        const double m = match.captured(first + 1).toDouble(&okM);
        const double s = match.captured(first + 2).toDouble(&okS);
        if (!okH || !okM || !okS)
            return -1.0;
        return h * 3600.0 + m * 60.0 + s;
    }

    // Progress, statistics, stream listings and the closing words say nothing about a failure.
    bool isNoise(const QString &line)
    {
        static const QRegularExpression noiseExpr(QStringLiteral(
            "^(frame=|size=|video:|Conversion failed|Exiting normally|Press \\[q\\]|Stream mapping|Input #"
            "|Output #|Metadata:|Duration:|Stream #|Side data|encoder\\s*:|handler_name|vendor_id|major_brand"
            "|minor_version|compatible_brands|creation_time|\\[[^\\]]+\\] Opening ')"));
        return noiseExpr.match(line).hasMatch();
    }

    // ffmpeg's words for ENOSPC and EDQUOT (it runs in the C locale), and this process's; they
    // end its line ("Error writing trailer of x: No space left on device"), a file name never does.
    bool saysNoRoom(const QString &line)
    {
        static const QStringList words {QStringLiteral("No space left on device"), QStringLiteral("Disk quota exceeded"),
                                        QString::fromLocal8Bit(std::strerror(ENOSPC)),
                                        QString::fromLocal8Bit(std::strerror(EDQUOT))};
        return std::any_of(words.cbegin(), words.cend(), [&line](const QString &word) {
            return !word.isEmpty() && line.endsWith(word, Qt::CaseInsensitive);
        });
    }

    bool looksLikeError(const QString &line)
    {
        static const QRegularExpression errorExpr(QStringLiteral(
            "error|invalid|fail|must|no such|not |unable|cannot|could not|unsupported|denied|unknown"),
            QRegularExpression::CaseInsensitiveOption);
        return !isNoise(line) && errorExpr.match(line).hasMatch();
    }
}

QWebProcess::QWebProcess(QObject *parent)
    : QObject(parent)
    , m_qprocess(new QTiedProcess(this))
    , m_decoder(QTextCodec::codecForName("UTF-8")->makeDecoder())
{
    m_qprocess->setProcessChannelMode(QProcess::MergedChannels);
    const bool readConnected = connect(m_qprocess, SIGNAL(readyReadStandardOutput()), this, SLOT(onReadyRead()));
    const bool endConnected = connect(m_qprocess, SIGNAL(finished(int, QProcess::ExitStatus)),
                                      this, SLOT(onFinished(int, QProcess::ExitStatus)));
    if (!readConnected || !endConnected)
        LOG_ERROR(L"ffmpeg runner: process signals not connected");
}

QWebProcess::~QWebProcess()
{
    // exec() never leaves a child behind; this only guards a runner destroyed mid-run.
    endChild();
}

QString QWebProcess::program()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    return QChildProcess::program("VANTREL_FFMPEG", found.isEmpty() ? QStringLiteral("ffmpeg") : found);
}

bool QWebProcess::exec(const QStringList &arguments, const QString &workingDirectory)
{
    m_finished = false;
    m_tail.clear();
    m_tailSize = 0;
    m_lastError.clear();
    m_partial.clear();
    m_decoder.reset(QTextCodec::codecForName("UTF-8")->makeDecoder());
    m_lastPercent = -1;
    m_rejected = false;
    m_noRoom = false;

    if (m_bSotp)
        throw UException("!m_bSotp", QString(), __FILE__, __LINE__);

    const QString ffmpeg = program();
    LOG_DEBUG(L"ffmpeg: %s %s", ffmpeg, arguments.join(QLatin1Char(' ')));
    m_qprocess->setWorkingDirectory(workingDirectory);
    m_qprocess->start(ffmpeg, arguments, QIODevice::ReadWrite);
    const bool started = m_qprocess->waitForStarted(StartTimeoutMs);
    if (!started)
    {
        const QString reason = m_qprocess->errorString();
        endChild();
        throw UException("m_qprocess->waitForStarted()",
                         QStringLiteral("无法启动ffmpeg：%1（%2）").arg(ffmpeg, reason), __FILE__, __LINE__);
    }
    // ffmpeg gets -nostdin; a closed input also keeps any other build from waiting on a prompt.
    m_qprocess->closeWriteChannel();

    // ffmpeg prints its statistics at least twice a second while it works: a child that says
    // nothing for the bound is stuck (a blocked input, a stopped process) and is ended.
    const int silence = QStageCheck::silenceMs();
    QElapsedTimer quiet;
    quiet.start();
    bool silent = false;
    while (!m_finished && m_qprocess->state() != QProcess::NotRunning)
    {
        if (m_bSotp || m_rejected)
            break;
        m_heard = false;
        m_qprocess->waitForFinished(PollMs);
        if (m_heard)
            quiet.restart();
        else if (quiet.elapsed() > silence && !m_finished && m_qprocess->state() != QProcess::NotRunning)
        {
            silent = true;
            break;
        }
    }

    if (m_bSotp)
    {
        endChild();
        throw UException("!m_bSotp", QString(), __FILE__, __LINE__);
    }

    if (silent)
    {
        LOG_ERROR(L"ffmpeg said nothing for %d ms, ending it; its last words: %s", silence, outputTail());
        endChild();
        throw UException("quiet.elapsed() <= silence", QStringLiteral("视频处理程序长时间无响应，已停止处理"),
                         __FILE__, __LINE__);
    }

    // Whatever arrived with the end, and a last line without its line end.
    onReadyRead();
    if (!m_partial.isEmpty())
        takeText(QStringLiteral("\n"));
    if (m_rejected)
    {
        endChild();
        return false;
    }

    if (m_qprocess->exitStatus() != QProcess::NormalExit)
        throw UException("m_qprocess->exitStatus() == QProcess::NormalExit",
                         QStringLiteral("ffmpeg异常退出，视频处理失败"), __FILE__, __LINE__);
    if (m_qprocess->exitCode() != 0)
    {
        const QString line = failureLine();
        LOG_ERROR(L"ffmpeg failed: %s", outputTail());
        const QString message = line.isEmpty() ? QStringLiteral("ffmpeg处理失败（退出码%1）").arg(m_qprocess->exitCode())
                                               : QStringLiteral("ffmpeg处理失败：%1").arg(line);
        throw UException("m_qprocess->exitCode() == 0", message, __FILE__, __LINE__);
    }

    // The run is done: its whole share is reached, whatever its last progress line said.
    const int full = static_cast<int>(std::lround(m_weight * 100.0));
    if (m_lastPercent < full)
    {
        m_lastPercent = full;
        emit signal_progress(full);
    }
    return started;
}

void QWebProcess::setLineCheck(std::function<bool(const QString &)> check)
{
    m_lineCheck = std::move(check);
}

void QWebProcess::keepOpen(int fd)
{
    m_qprocess->keepOpen(fd);
}

void QWebProcess::setWeight(float weight)
{
    m_weight = std::clamp(weight, 0.0f, 1.0f);
}

void QWebProcess::stop()
{
    m_bSotp = true;
}

bool QWebProcess::isFinished() const
{
    return m_finished;
}

QString QWebProcess::outputTail() const
{
    return m_tail.join(QLatin1Char('\n'));
}

bool QWebProcess::ranOutOfRoom() const
{
    return m_noRoom;
}

QString QWebProcess::failureLine() const
{
    QString chosen = m_lastError;
    for (int i = m_tail.size() - 1; chosen.isEmpty() && i >= 0; --i)
    {
        if (!isNoise(m_tail.at(i)))
            chosen = m_tail.at(i);
    }
    static const QRegularExpression addressExpr(QStringLiteral(" @ 0x[0-9a-fA-F]+\\]"));
    chosen.replace(addressExpr, QStringLiteral("]"));
    const int limit = 200;
    if (chosen.size() > limit)
        chosen = chosen.left(limit) + QStringLiteral("…");
    return chosen;
}

void QWebProcess::onReadyRead()
{
    const QByteArray chunk = m_qprocess->readAllStandardOutput();
    if (chunk.isEmpty())
        return;
    m_heard = true;
    takeText(m_decoder->toUnicode(chunk));
}

void QWebProcess::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode);
    Q_UNUSED(exitStatus);
    m_finished = true;
}

// ffmpeg ends its progress lines with "\r" and the others with "\n": only whole lines are read,
// and of one chunk only the last time counts.
void QWebProcess::takeText(const QString &text)
{
    m_partial += text;
    double lastTime = -1.0;
    bool sawTime = false;
    int begin = 0;
    for (int i = 0; i < m_partial.size(); ++i)
    {
        const QChar c = m_partial.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        const QString line = m_partial.mid(begin, i - begin).trimmed();
        begin = i + 1;
        if (line.isEmpty())
            continue;

        takeLine(line);

        static thread_local const QRegularExpression timeExpr(
            QStringLiteral("time=\\s*(-?)(\\d+):(\\d{1,2}):(\\d{1,2}(?:\\.\\d+)?)"));
        QRegularExpressionMatchIterator it = timeExpr.globalMatch(line);
        while (it.hasNext())
        {
            const QRegularExpressionMatch match = it.next();
            const double seconds = clockSeconds(match, 2);
            if (seconds < 0.0)
                continue;
            lastTime = match.captured(1).isEmpty() ? seconds : 0.0;
            sawTime = true;
        }
    }
    m_partial.remove(0, begin);
    if (sawTime)
        report(lastTime);
}

void QWebProcess::takeLine(const QString &line)
{
    // The version banner says nothing about the failure; the error text is the rest's tail.
    static thread_local const QRegularExpression bannerExpr(
        QStringLiteral("^(ffmpeg version |built with |configuration: |lib[a-z]+\\s+\\d+\\.\\s*\\d+\\.)"));
    if (!bannerExpr.match(line).hasMatch())
    {
        if (looksLikeError(line))
            m_lastError = line;
        if (saysNoRoom(line))
            m_noRoom = true;
        if (m_lineCheck && !m_rejected && !m_lineCheck(line))
        {
            LOG_DEBUG(L"ffmpeg run ended early at: %s", line);
            m_rejected = true;
        }
        m_tail.append(line);
        m_tailSize += line.size() + 1;
        while (m_tail.size() > 1 && m_tailSize > TailLimit)
        {
            m_tailSize -= m_tail.front().size() + 1;
            m_tail.removeFirst();
        }
    }

    static thread_local const QRegularExpression durationExpr(
        QStringLiteral("Duration:\\s*(\\d+):(\\d{1,2}):(\\d{1,2}(?:\\.\\d+)?)"));
    const QRegularExpressionMatch match = durationExpr.match(line);
    if (match.hasMatch())
    {
        const double seconds = clockSeconds(match, 1);
        if (seconds > 0.0)
            m_duration = seconds;
    }
}

void QWebProcess::report(double seconds)
{
    if (m_duration <= 0.0)
        return;
    const double share = m_weight * 100.0;
    const double points = std::clamp(seconds * 100.0 / m_duration * m_weight, 0.0, share);
    const int percent = static_cast<int>(points);
    // A run's progress never goes back (ffmpeg may print a negative or earlier time).
    if (percent <= m_lastPercent)
        return;
    m_lastPercent = percent;
    emit signal_progress(percent);
}

// Ends a running child: terminate, a few seconds' grace, then kill; waits until it is reaped.
void QWebProcess::endChild()
{
    QChildProcess::end(*m_qprocess, TerminateWaitMs, KillWaitMs);
}
