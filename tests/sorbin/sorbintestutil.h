#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "namedpipe.h"

namespace sorbintest
{
    struct Message
    {
        std::string text;  // as received, NUL cut off
        int64_t ms = 0;     // arrival, milliseconds since the server started
        int code() const;
        std::string body() const; // text after "code:" without the line feed
    };

    // The main program's end of the pipe: records every message and answers "ok". With
    // closeAfter >= 0 it hangs up, unanswered, on the message after the first closeAfter ones
    // (a main program that died), or, with `stall`, leaves it unanswered and the pipe open (a
    // main program that hangs).
    class PipeRecorder
    {
    public:
        explicit PipeRecorder(const std::string &pipeName, int closeAfter = -1, bool stall = false);
        ~PipeRecorder();
        bool listening() const;
        // What came so far (the child may still be running).
        std::vector<Message> messages() const;
        // Waits for the serving thread to end (the client closed), then returns what came.
        std::vector<Message> finish();

    private:
        void serve();

        platform::NamedPipeServer m_server;
        bool m_listening = false;
        int m_closeAfter = -1;
        bool m_stall = false;
        std::atomic<bool> m_quit {false};
        std::atomic<bool> m_childGone {false};
        std::thread m_thread;
        mutable std::mutex m_mutex;
        std::vector<Message> m_messages;
    };

    struct RunResult
    {
        int exitCode = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        std::vector<Message> messages;
        QByteArray output; // the child's merged console output
    };

    QString sorbinPath();
    QString newPipeName();
    // Runs sorbin with the arguments while a PipeRecorder serves `servePipe` (none when empty);
    // stdinData is written to the child's standard input.
    RunResult runSorbin(const QStringList &arguments, const QString &servePipe, const QByteArray &stdinData = QByteArray(),
                        int closeAfter = -1);

    // The task JSON the main program writes.
    QString taskJson(int encryptType, const QString &folder, const QString &fileName, const QString &videoKey,
                     const QString &format = QString(), long long randEnc = 0);

    // Splits a ".vep" output into the video and its block; false when the trailer is inconsistent.
    struct Package
    {
        QByteArray video;
        QByteArray block;
        uint64_t videoLength = 0;
        uint32_t indexOffset = 0, indexLength = 0, recordOffset = 0, recordLength = 0;
        QByteArray indexText;
        QByteArray record;
    };
    bool splitPackage(const QByteArray &file, Package &package);

    // Reverse of the stream cipher for the key text of a run.
    QByteArray streamDecrypt(const QByteArray &encrypted, const QByteArray &keyText);
}
