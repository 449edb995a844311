#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

class QTiedProcess;

// One run of the desktop's opener ("xdg-open" from PATH) on a folder, watched without holding
// up the window: when the opener is missing, can't start or ends with an error, the teacher
// is told in a notice box. An opener still busy after a while (one that keeps the file
// manager in front of it) is no longer waited for. Deletes itself when it is done.
class QFolderOpener : public QObject
{
    Q_OBJECT

public:
    // Starts the opener on `folder` (a local path, given as one argument).
    static void open(const QString &folder);
    // Openers whose outcome is not handled yet (a failure counts until its box is closed).
    static int running();
    // What the teacher is told when no file manager could show `folder`.
    static QString noFileManagerText(const QString &folder);
    static QString failedText(const QString &folder);

private slots:
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onError(QProcess::ProcessError error);
    void onWaitOver();

private:
    explicit QFolderOpener(const QString &folder);
    ~QFolderOpener() override;
    void start(const QString &program);
    // Says `text` unless the run is handled already; it is from then on.
    void fail(const QString &text);
    // The run is handled without a word.
    void handled();

    QTiedProcess *m_process;
    QTimer m_wait;
    QString m_folder;
    bool m_handled = false;
};
