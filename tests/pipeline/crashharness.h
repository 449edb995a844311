#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

class PlatformServer;

// The real vantrel on pending work seeded in "work.json": started offscreen with a sign-in
// token against the local platform server, killed, started again, and the folders judged.
namespace crashharness
{
    struct Job
    {
        qint64 id = 0;
        int mode = 0;
        QString source;     // full path
        QString videoKey;   // output name sorbin gives
        QString shortName;  // final output name
        // Web mode (4): the playlist, named `videoKey`, in the job's slice folder; no record.
        bool isWeb() const { return mode == 4; }
    };

    // One data folder and one folder of sources.
    struct Scene
    {
        QString root;   // ends with "/"
        QString data;   // ends with "/"
        QString videos; // ends with "/"
        QByteArray clip;
        std::vector<Job> jobs;
        // Records made before the scene's jobs: member name (the id) to the record's JSON text.
        std::map<std::string, std::string> olderRecords;
    };

    struct Outcome
    {
        int lost = 0;       // a source changed, or a job without output or record
        int duplicated = 0; // a job with more than one output or record
        int leftOver = 0;   // anything else in the folder, pending items, orphans, damaged files
        QStringList notes;
    };

    // Every job of the scene ended exactly once: nothing lost, doubled or left over.
    void expectExactlyOnce(const Outcome &outcome);

    class Harness
    {
    public:
        Harness();
        ~Harness();
        bool isReady() const;

        // Copies the test clip once per mode into a new folder under `root` and seeds
        // "work.json" with one pending job (step 0) for each; the data folder is `data` when
        // given, else "data/" under `root`.
        Scene seed(const QString &root, const std::vector<int> &modes, const QString &data = QString());
        // Adds `count` records of earlier outputs (files in "older/" under the root) to the
        // history; judge() wants them kept as they are.
        static void addOlderRecords(Scene &scene, int count);

        // Starts vantrel on the scene; `crashAt` names the moment it kills itself at (empty:
        // never), `mark` the file it creates then; `pauseAt` the moments it waits at while
        // the file `pauseMark` (which it creates then) exists.
        std::unique_ptr<QProcess> start(const Scene &scene, const QString &crashAt = QString(),
                                        const QString &mark = QString(), const QString &pauseAt = QString(),
                                        const QString &pauseMark = QString()) const;
        // Starts vantrel on the scene with `environment` ("NAME=value") over the usual one,
        // signed in by the token or, when `signedIn` is false, at its sign-in dialog.
        std::unique_ptr<QProcess> startWith(const Scene &scene, const QStringList &environment, bool signedIn) const;
        // Runs vantrel until every job is recorded (a Web-mode job: sliced) and nothing is
        // pending, then ends it with SIGTERM; false (with `why`) when that does not happen
        // within `timeoutMs`.
        bool runToEnd(const Scene &scene, int timeoutMs, QString *why) const;
        // Ends a running vantrel with SIGKILL.
        static void kill(QProcess &process);

        // Environment of the next starts: a variable set to `value`, one removed, or back to
        // the test's own.
        void setVariable(const QString &name, const QString &value);
        void removeVariable(const QString &name);
        void resetVariable(const QString &name);

        // Judges the folders; waits up to `orphanWaitMs` for children of killed runs to end.
        Outcome judge(const Scene &scene, int orphanWaitMs = 10000) const;

        // The slice folder of a Web-mode job, ending with "/".
        static QString sliceFolder(const Scene &scene, const Job &job);
        // Whether this build acts on vantrel's test hooks; the message for a test that skips.
        static bool hooksBuiltIn();
        static const char *noHooks();

        static int recordCount(const Scene &scene);
        static int pendingCount(const Scene &scene);
        // Processes whose command line names something under `root`.
        static QStringList processesUnder(const QString &root);

    private:
        std::unique_ptr<PlatformServer> m_server;
        QMap<QString, QString> m_setVariables;
        QStringList m_removedVariables;
        int m_uid = 0;
        QString m_token;
    };
}
