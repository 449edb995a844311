#pragma once

#include <QObject>

// Base of the stage models. run() is the stage body on the calling worker thread: it returns on
// success and throws UException on failure. stop() may be called from another thread while
// run() is under way and makes it end soon (it then throws).
class QBase : public QObject
{
    Q_OBJECT

public:
    explicit QBase(QObject *parent = nullptr);
    ~QBase() override;

    virtual void run() = 0;
    virtual void stop() = 0;
    // Hooks no stage gives a body.
    virtual void pause();
    virtual void resume();

signals:
    // stage: 0 transcoding, 2 encrypting, 3 uploading; percent 0 to 100.
    void signal_progress(int stage, int percent);
    // A short text for the job's row about how the stage goes on (why it transcodes).
    void signal_note(const QString &note);
};
