#include "sorbintestutil.h"

#include <chrono>
#include <cstring>
#include <memory>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include "ostrel.h"
#include "qchildprocess.h"
#include "streamcipher.h"

namespace sorbintest
{
    int Message::code() const
    {
        return std::atoi(text.c_str());
    }

    std::string Message::body() const
    {
        const size_t colon = text.find(':');
        if (colon == std::string::npos)
            return std::string();
        std::string b = text.substr(colon + 1);
        if (!b.empty() && b.back() == '\n')
            b.pop_back();
        return b;
    }

    PipeRecorder::PipeRecorder(const std::string &pipeName, int closeAfter, bool stall)
        : m_closeAfter(closeAfter)
        , m_stall(stall)
    {
        m_listening = m_server.create(pipeName);
        if (m_listening)
            m_thread = std::thread(&PipeRecorder::serve, this);
    }

    PipeRecorder::~PipeRecorder()
    {
        m_quit = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    bool PipeRecorder::listening() const
    {
        return m_listening;
    }

    std::vector<Message> PipeRecorder::messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

    void PipeRecorder::serve()
    {
        const auto start = std::chrono::steady_clock::now();
        // Until a client comes, or the child has ended without connecting.
        while (!m_quit && !m_server.waitForClient(100))
            if (m_childGone)
                return;
        while (!m_quit)
        {
            std::string text;
            const int n = m_server.read(text, 100);
            if (n < 0)
                break;
            if (n == 0)
                continue;
            Message m;
            m.text = text;
            m.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            bool hangUp = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_messages.push_back(m);
                hangUp = m_closeAfter >= 0 && m_messages.size() > size_t(m_closeAfter);
            }
            if (hangUp && m_stall)
            {
                // Silent, until the child is gone (its end of the pipe closes).
                while (!m_quit && m_server.read(text, 100) >= 0)
                    ;
                break;
            }
            if (hangUp)
                break;
            m_server.write("ok");
        }
        m_server.close();
    }

    std::vector<Message> PipeRecorder::finish()
    {
        if (m_thread.joinable())
        {
            // The child has exited: its end of the pipe is closed, so the thread ends by itself.
            m_childGone = true;
            m_thread.join();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

    QString sorbinPath()
    {
        return QStringLiteral(VANTREL_BIN_DIR "sorbin");
    }

    QString newPipeName()
    {
        return QStringLiteral("\\\\.\\pipe\\") + QUuid::createUuid().toString(QUuid::Id128);
    }

    RunResult runSorbin(const QStringList &arguments, const QString &servePipe, const QByteArray &stdinData,
                        int closeAfter)
    {
        RunResult result;
        std::unique_ptr<PipeRecorder> recorder;
        if (!servePipe.isEmpty())
            recorder.reset(new PipeRecorder(servePipe.toStdString(), closeAfter));
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(sorbinPath(), arguments);
        if (!child.waitForStarted(10000))
            return result;
        if (!stdinData.isEmpty())
            child.write(stdinData);
        child.closeWriteChannel();
        if (!child.waitForFinished(120000))
            QChildProcess::end(child, 0, 30000);
        result.output = child.readAll();
        result.status = child.exitStatus();
        result.exitCode = child.exitCode();
        if (recorder)
            result.messages = recorder->finish();
        return result;
    }

    QString taskJson(int encryptType, const QString &folder, const QString &fileName, const QString &videoKey,
                     const QString &format, long long randEnc)
    {
        QJsonObject o;
        o.insert(QStringLiteral("course_id"), QStringLiteral("12"));
        o.insert(QStringLiteral("encrypt_type"), encryptType);
        o.insert(QStringLiteral("file_name"), fileName);
        o.insert(QStringLiteral("file_path"), folder);
        o.insert(QStringLiteral("format"), format);
        o.insert(QStringLiteral("randEnc"), static_cast<double>(randEnc));
        o.insert(QStringLiteral("save_path"), folder);
        o.insert(QStringLiteral("total_time"), 3);
        o.insert(QStringLiteral("video_height"), 240);
        o.insert(QStringLiteral("video_key"), videoKey);
        o.insert(QStringLiteral("video_width"), 320);
        return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }

    namespace
    {
        uint32_t le32(const char *p)
        {
            const uint8_t *u = reinterpret_cast<const uint8_t *>(p);
            return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
        }
    }

    bool splitPackage(const QByteArray &file, Package &p)
    {
        if (file.size() < 162)
            return false;
        const uint32_t total = le32(file.constData() + file.size() - 4);
        if (total < 162 || total > uint32_t(file.size()))
            return false;
        p.block = file.right(int(total));
        p.video = file.left(file.size() - int(total));
        const char *b = p.block.constData();
        if (std::memcmp(b, "vep.", 4) != 0 || (uint8_t(b[4]) | uint8_t(b[5]) << 8) != 6)
            return false;
        p.videoLength = uint64_t(le32(b + 6)) | uint64_t(le32(b + 10)) << 32;
        p.indexOffset = le32(b + 14);
        p.indexLength = le32(b + 18);
        p.recordOffset = le32(b + 22);
        p.recordLength = le32(b + 26);
        for (int i = 30; i < 158; ++i)
            if (b[i] != 0)
                return false;
        if (p.indexOffset != 158 || p.recordOffset != 158 + p.indexLength
            || uint64_t(p.recordOffset) + p.recordLength + 4 != total)
            return false;
        p.indexText = p.block.mid(int(p.indexOffset), int(p.indexLength));
        p.record = p.block.mid(int(p.recordOffset), int(p.recordLength));
        return true;
    }

    QByteArray streamDecrypt(const QByteArray &encrypted, const QByteArray &keyText)
    {
        QByteArray out = encrypted;
        const QByteArray mixed = Ostrel::mixKey(keyText, QByteArray::number(encrypted.size()));
        const uint8_t *key = reinterpret_cast<const uint8_t *>(mixed.constData());
        uint8_t *buf = reinterpret_cast<uint8_t *>(out.data());
        const int head = std::min(out.size(), 2560);
        for (int off = 0; off + 8 <= head; off += 8)
        {
            blowfishDecrypt(buf + off, 8, key, 4);
            teaDecrypt(buf + off, key);
        }
        const int number = Ostrel::keyNumber(mixed);
        for (int i = head; i < out.size(); ++i)
        {
            const int32_t block = i / 1024;
            const uint32_t word = Ostrel::kStreamTable[block % 16];
            const int sum = int(word & 0xFF) + int(word >> 8 & 0xFF) + int(word >> 16 & 0xFF) + int(word >> 24);
            buf[i] ^= uint8_t(number ^ block ^ sum);
        }
        return out;
    }
}
