#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class QTextDecoder;
class QTiedProcess;

// Runs one ffmpeg command as a child process, turns its console output into a progress
// percentage and its end (failed start, crash, non-zero exit, stop request) into a UException.
// Everything but stop() runs on the thread that created the runner.
class QWebProcess : public QObject
{
    Q_OBJECT

public:
    explicit QWebProcess(QObject *parent = nullptr);
    ~QWebProcess() override;

    // The ffmpeg program: $VANTREL_FFMPEG when set, else "ffmpeg" found on PATH.
    static QString program();

    // Runs ffmpeg with these arguments, in `workingDirectory` when given, to its end. Returns
    // true; false when the line check refused a line of ffmpeg's output (the run is then ended
    // at once, whatever it wrote is not to be used). Throws UException when ffmpeg can't start,
    // crashes, exits with a non-zero code, is stopped, or prints nothing for the silence bound
    // (QStageCheck::silenceMs; it is then ended, SIGTERM first). The child is always ended and reaped
    // before this returns or throws.
    bool exec(const QStringList &arguments, const QString &workingDirectory = QString());
    // Called with each line of ffmpeg's output of the following runs; empty: none.
    void setLineCheck(std::function<bool(const QString &)> check);
    // The descriptor `fd` stays open in ffmpeg of the following runs; -1: none.
    void keepOpen(int fd);
    // Share of the stage's 100 points that the next exec covers (0.0 to 1.0).
    void setWeight(float weight);
    // Callable from any thread: the running exec ends its child and fails; a later exec fails at once.
    void stop();
    bool isFinished() const;

    // Last lines of ffmpeg's output of the latest exec (where ffmpeg puts its error).
    QString outputTail() const;
    // The line of the latest exec's output that best says why ffmpeg failed, shortened; empty
    // when there is none.
    QString failureLine() const;
    // ffmpeg said during the latest exec that a write found no room on its disk. It may still
    // have ended with 0 (a trailer or a segment it could not write).
    bool ranOutOfRoom() const;

signals:
    // This run's contribution in points, already scaled by the weight.
    void signal_progress(int percent);

private slots:
    void onReadyRead();
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    void takeText(const QString &text);
    void takeLine(const QString &line);
    void report(double seconds);
    void endChild();

    QTiedProcess *m_qprocess;
    std::atomic<bool> m_finished {false};
    double m_duration = 0.0;
    QStringList m_tail;
    int m_tailSize = 0;
    QString m_lastError;
    QString m_partial;
    std::unique_ptr<QTextDecoder> m_decoder;
    float m_weight = 0.0f;
    int m_lastPercent = -1;
    std::function<bool(const QString &)> m_lineCheck;
    bool m_rejected = false;
    bool m_noRoom = false;
    // Output arrived during the latest wait.
    bool m_heard = false;
    std::atomic<bool> m_bSotp {false};
};
