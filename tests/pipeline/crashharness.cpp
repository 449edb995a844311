#include "crashharness.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qchildprocess.h"
#include "qdtaconfig.h"
#include "qdtavideo.h"
#include "qframemodel.h"
#include "qjsonfile.h"
#include "qrecords.h"
#include "quser.h"
#include "qvalue.h"
#include "testsupport.h"

namespace crashharness
{
    Harness::Harness()
        : m_server(PlatformServer::startDemo())
    {
        if (!m_server)
            return;
        const PlatformServer::Session session = m_server->createSession("demo");
        m_uid = session.uid;
        m_token = QStringLiteral(R"(vantrel:{"uid":"%1","oauth_token":"%2","oauth_token_secret":"%3"})")
                      .arg(session.uid)
                      .arg(QString::fromStdString(session.token), QString::fromStdString(session.secret));
    }

    Harness::~Harness()
    {
        if (m_server)
            m_server->stop();
    }

    bool Harness::isReady() const
    {
        return m_server != nullptr;
    }

    Scene Harness::seed(const QString &root, const std::vector<int> &modes, const QString &data)
    {
        Scene scene;
        scene.root = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
        scene.data = data.isEmpty() ? scene.root + QStringLiteral("data/") : (data.endsWith(QLatin1Char('/')) ? data : data + QLatin1Char('/'));
        scene.videos = scene.root + QStringLiteral("课程 视频/");
        QDir().mkpath(scene.data);
        QDir().mkpath(scene.videos);
        const QString clip = testsupport::clipH264Mp4();
        scene.clip = testsupport::readAll(clip);

        // The keys are made for the teacher the program signs in as.
        QUser::instance()->setTeacherId(m_uid);
        QValue pending(Json::arrayValue);
        qint64 id = 1700000000000LL;
        for (size_t i = 0; i < modes.size(); ++i) {
            Job job;
            job.mode = modes[i];
            job.id = ++id;
            job.source = scene.videos + QStringLiteral("第%1课.mp4").arg(i + 1);
            QFile::copy(clip, job.source);
            QDtaConfig config;
            config.setEncryptType(static_cast<uint8_t>(job.mode));
            config.setCourseId(QStringLiteral("12"));
            config.setCourseName(QStringLiteral("视频加密入门"));
            const QDtaVideo video(job.id, job.source, config);
            job.videoKey = video.videoKey();
            job.shortName = QFrameModel::shortNameOf(job.videoKey);
            QValue element(Json::objectValue);
            element["data"] = video.toJson();
            element["step"] = 0;
            pending.append(element);
            scene.jobs.push_back(job);
        }
        QJsonFile::write(scene.data + QStringLiteral("work.json"), pending, true);
        return scene;
    }

    void Harness::addOlderRecords(Scene &scene, int count)
    {
        const QString folder = scene.root + QStringLiteral("older/");
        QDir().mkpath(folder);
        {
            QRecords history(scene.data + QStringLiteral("records.json"));
            for (int i = 0; i < count; ++i) {
                const QString output = folder + QStringLiteral("旧课%1.vep").arg(i + 1);
                testsupport::writeAll(output, QByteArray(1000 * (i + 1), 'o'));
                history.addRecord(output, i % 2 ? 8 : 7);
            }
            history.save();
        }
        QValue root;
        QJsonFile::read(scene.data + QStringLiteral("records.json"), root);
        for (const std::string &member : root.isObject() ? root.getMemberNames() : std::vector<std::string>())
            if (!scene.olderRecords.count(member))
                scene.olderRecords[member] = toStyledByteArray(root[member], false).toStdString();
    }

    std::unique_ptr<QProcess> Harness::start(const Scene &scene, const QString &crashAt, const QString &mark,
                                             const QString &pauseAt, const QString &pauseMark) const
    {
        QStringList environment;
        if (!crashAt.isEmpty())
            environment << QStringLiteral("VANTREL_CRASH_AT=") + crashAt << QStringLiteral("VANTREL_CRASH_MARK=") + mark;
        if (!pauseAt.isEmpty())
            environment << QStringLiteral("VANTREL_PAUSE_AT=") + pauseAt << QStringLiteral("VANTREL_PAUSE_MARK=") + pauseMark;
        return startWith(scene, environment, true);
    }

    std::unique_ptr<QProcess> Harness::startWith(const Scene &scene, const QStringList &environment, bool signedIn) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VANTREL_API_HOST"), QString::fromStdString(m_server->host()));
        env.insert(QStringLiteral("VANTREL_DATA_DIR"), scene.data);
        env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
        env.remove(QStringLiteral("VANTREL_CRASH_AT"));
        env.remove(QStringLiteral("VANTREL_CRASH_MARK"));
        env.remove(QStringLiteral("VANTREL_PAUSE_AT"));
        env.remove(QStringLiteral("VANTREL_PAUSE_MARK"));
        for (const QString &name : m_removedVariables)
            env.remove(name);
        for (auto it = m_setVariables.cbegin(); it != m_setVariables.cend(); ++it)
            env.insert(it.key(), it.value());
        for (const QString &entry : environment) {
            const int equals = entry.indexOf(QLatin1Char('='));
            if (equals > 0)
                env.insert(entry.left(equals), entry.mid(equals + 1));
        }
        std::unique_ptr<QProcess> process(new QProcess);
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"),
                       signedIn ? QStringList {m_token} : QStringList());
        process->waitForStarted(10000);
        return process;
    }

    void Harness::setVariable(const QString &name, const QString &value)
    {
        m_removedVariables.removeAll(name);
        m_setVariables[name] = value;
    }

    void Harness::removeVariable(const QString &name)
    {
        m_setVariables.remove(name);
        if (!m_removedVariables.contains(name))
            m_removedVariables << name;
    }

    void Harness::resetVariable(const QString &name)
    {
        m_setVariables.remove(name);
        m_removedVariables.removeAll(name);
    }

    void Harness::kill(QProcess &process)
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.kill();
        process.waitForFinished(10000);
    }

    QString Harness::sliceFolder(const Scene &scene, const Job &job)
    {
        return scene.data + QStringLiteral("slice/%1/").arg(job.id);
    }

    bool Harness::hooksBuiltIn()
    {
        return QChildProcess::testHooksBuiltIn();
    }

    const char *Harness::noHooks()
    {
        return "this build has no test hooks (VANTREL_TEST_HOOKS is off)";
    }

    int Harness::recordCount(const Scene &scene)
    {
        QValue root;
        if (!QJsonFile::read(scene.data + QStringLiteral("records.json"), root) || !root.isObject())
            return 0;
        return static_cast<int>(root.size());
    }

    int Harness::pendingCount(const Scene &scene)
    {
        QValue root;
        if (!QJsonFile::read(scene.data + QStringLiteral("work.json"), root))
            return -1;
        return root.isArray() ? static_cast<int>(root.size()) : (root.isNull() ? 0 : -1);
    }

    bool Harness::runToEnd(const Scene &scene, int timeoutMs, QString *why) const
    {
        const size_t checks = m_server->requests("Version/versionCheck").size();
        std::unique_ptr<QProcess> process = start(scene);
        int recorded = 0;
        for (const Job &job : scene.jobs)
            recorded += job.isWeb() ? 0 : 1;
        const auto sliced = [&]() {
            for (const Job &job : scene.jobs)
                if (job.isWeb() && !QFileInfo(sliceFolder(scene, job) + job.videoKey).isFile())
                    return false;
            return true;
        };
        // Up once it has sent its version check (its work pool runs then); done when every job
        // is recorded or sliced and nothing is pending.
        const bool done = testsupport::waitUntil([&]() {
            return process->state() == QProcess::NotRunning
                || (m_server->requests("Version/versionCheck").size() > checks && recordCount(scene) >= recorded
                    && pendingCount(scene) == 0 && sliced());
        }, timeoutMs);
        if (!done || process->state() == QProcess::NotRunning) {
            if (why)
                *why = QStringLiteral("the run did not finish: %1").arg(QString::fromUtf8(process->readAll()));
            QChildProcess::end(*process, 3000, 5000);
            return false;
        }
        process->terminate();
        if (!process->waitForFinished(20000)) {
            QChildProcess::end(*process, 0, 5000);
            if (why)
                *why = QStringLiteral("SIGTERM did not end the program");
            return false;
        }
        if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) {
            if (why)
                *why = QStringLiteral("the program ended with %1").arg(process->exitCode());
            return false;
        }
        return true;
    }

    QStringList Harness::processesUnder(const QString &root)
    {
        QStringList found;
        const QByteArray needle = QDir::cleanPath(root).toUtf8();
        const QString self = QString::number(QCoreApplication::applicationPid());
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool number = false;
            pid.toLongLong(&number);
            if (!number || pid == self)
                continue;
            QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = file.readAll();
            if (line.contains(needle))
                found << QStringLiteral("%1: %2").arg(pid, QString::fromUtf8(QByteArray(line).replace('\0', ' ')).left(200));
        }
        return found;
    }

    Outcome Harness::judge(const Scene &scene, int orphanWaitMs) const
    {
        Outcome outcome;
        QStringList expected;
        QValue records;
        QJsonFile::read(scene.data + QStringLiteral("records.json"), records);
        for (const Job &job : scene.jobs) {
            const QString name = QFileInfo(job.source).fileName();
            expected << name;
            if (testsupport::readAll(job.source) != scene.clip) {
                ++outcome.lost;
                outcome.notes << QStringLiteral("%1: the source changed").arg(name);
            }
            if (job.isWeb()) {
                const QString slices = sliceFolder(scene, job);
                if (!QFileInfo(slices + job.videoKey).isFile()) {
                    ++outcome.lost;
                    outcome.notes << QStringLiteral("%1: no playlist in %2").arg(name, slices);
                }
                if (QFileInfo::exists(slices + QStringLiteral(".slicing"))) {
                    ++outcome.leftOver;
                    outcome.notes << QStringLiteral("%1: the slicing is marked unfinished").arg(name);
                }
                continue;
            }
            int outputs = 0;
            for (const QString &output : {job.shortName, job.videoKey}) {
                if (QFileInfo::exists(scene.videos + output)) {
                    ++outputs;
                    expected << output;
                }
            }
            int recorded = 0;
            for (const std::string &member : records.isObject() ? records.getMemberNames() : std::vector<std::string>()) {
                const QValue &record = records[member];
                const QString path = asQString(record["file_path"]) + asQString(record["file_name"]);
                if (path != scene.videos + job.shortName && path != scene.videos + job.videoKey)
                    continue;
                ++recorded;
                if (!QFileInfo::exists(path)) {
                    ++outcome.lost;
                    outcome.notes << QStringLiteral("%1: recorded output %2 is missing").arg(name, path);
                }
                if (record["file_type"].asInt() != job.mode)
                    outcome.notes << QStringLiteral("%1: recorded in mode %2").arg(name).arg(record["file_type"].asInt());
            }
            if (outputs == 0 || recorded == 0) {
                ++outcome.lost;
                outcome.notes << QStringLiteral("%1: %2 outputs, %3 records").arg(name).arg(outputs).arg(recorded);
            }
            if (outputs > 1 || recorded > 1) {
                ++outcome.duplicated;
                outcome.notes << QStringLiteral("%1: %2 outputs, %3 records").arg(name).arg(outputs).arg(recorded);
            }
        }
        const int older = static_cast<int>(scene.olderRecords.size());
        if (records.isObject() && static_cast<int>(records.size()) > static_cast<int>(scene.jobs.size()) + older) {
            ++outcome.duplicated;
            outcome.notes << QStringLiteral("%1 records for %2 jobs and %3 older records").arg(records.size()).arg(scene.jobs.size()).arg(older);
        }
        for (const auto &kept : scene.olderRecords) {
            if (!records.isObject() || !records.isMember(kept.first)
                || toStyledByteArray(records[kept.first], false).toStdString() != kept.second) {
                ++outcome.lost;
                outcome.notes << QStringLiteral("older record %1 is gone or changed").arg(QString::fromStdString(kept.first));
            }
        }

        // Everything in the folder, hidden entries and folders included, is a source or an output.
        const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
        for (const QString &entry : QDir(scene.videos).entryList(all)) {
            if (!expected.contains(entry)) {
                ++outcome.leftOver;
                outcome.notes << QStringLiteral("left in the folder: %1").arg(entry);
            }
        }
        // The slice folder holds the folders of the Web-mode jobs alone.
        QStringList webFolders;
        for (const Job &job : scene.jobs)
            if (job.isWeb())
                webFolders << QString::number(job.id);
        for (const QString &entry : QDir(scene.data + QStringLiteral("slice/")).entryList(all)) {
            if (!webFolders.contains(entry)) {
                ++outcome.leftOver;
                outcome.notes << QStringLiteral("left in the slice folder: %1").arg(entry);
            }
        }
        // Nothing is left of the private work folders of runs that were killed.
        for (const QString &entry : QDir(scene.data + QStringLiteral("transcode/")).entryList(all)) {
            ++outcome.leftOver;
            outcome.notes << QStringLiteral("left in the work folder: %1").arg(entry);
        }
        const int pending = pendingCount(scene);
        if (pending != 0) {
            ++outcome.leftOver;
            outcome.notes << QStringLiteral("pending items: %1").arg(pending);
        }
        for (const QString &entry : QDir(scene.data).entryList({QStringLiteral("*.bad*")}, all)) {
            ++outcome.leftOver;
            outcome.notes << QStringLiteral("damaged state kept: %1").arg(entry);
        }
        QStringList orphans;
        testsupport::waitUntil([&]() {
            orphans = processesUnder(scene.root);
            return orphans.isEmpty();
        }, orphanWaitMs);
        for (const QString &orphan : orphans) {
            ++outcome.leftOver;
            outcome.notes << QStringLiteral("still running: %1").arg(orphan);
        }
        return outcome;
    }
}

void crashharness::expectExactlyOnce(const Outcome &outcome)
{
    EXPECT_EQ(outcome.lost, 0);
    EXPECT_EQ(outcome.duplicated, 0);
    EXPECT_EQ(outcome.leftOver, 0);
    EXPECT_TRUE(outcome.notes.isEmpty()) << outcome.notes.join(QLatin1Char('\n')).toStdString();
}
