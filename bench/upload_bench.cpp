// Resumable upload through the uploader against the local server on 127.0.0.1, next to cp of
// the same file (the baseline) and next to one plain libcurl POST per 4 MiB block (the same
// bytes over the same server, without 256 KiB chunks, crc32 checks and resume records).
//
//   upload_bench [size in MiB, default 256]
//
// Prints the times, MiB/s and the ratios uploader/cp and uploader/plain POST.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <curl/curl.h>

#include "cloudserver.h"
#include "platformserver.h"
#include "vantrelfile.h"

namespace
{
    double seconds(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    }

    size_t discard(char *, size_t size, size_t count, void *)
    {
        return size * count;
    }

    // One mkblk POST per 4 MiB block, nothing else.
    bool plainPosts(const std::string &host, const QByteArray &data)
    {
        CURL *curl = curl_easy_init();
        curl_slist *headers = curl_slist_append(nullptr, "Authorization: UpToken bench-token");
        headers = curl_slist_append(headers, "Expect:");
        headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
        bool ok = true;
        for (qint64 at = 0; ok && at < data.size(); at += Qiniu_Rio_BlockSize)
        {
            const qint64 length = qMin<qint64>(Qiniu_Rio_BlockSize, data.size() - at);
            const std::string url = "http://" + host + "/mkblk/" + std::to_string(length);
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, data.constData() + at);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(length));
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
            long status = 0;
            const CURLcode result = curl_easy_perform(curl);
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            ok = result == CURLE_OK && status == 200;
            if (!ok)
                std::fprintf(stderr, "plain POST: %s, status %ld\n", curl_easy_strerror(result), status);
        }
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return ok;
    }
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const long mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 256;
    if (mib <= 0)
    {
        std::fprintf(stderr, "usage: upload_bench [size in MiB]\n");
        return 2;
    }
    QTemporaryDir work;
    qputenv("XDG_DATA_HOME", QFile::encodeName(work.path() + QStringLiteral("/data")));
    const QString source = work.path() + QStringLiteral("/source.bin");
    {
        std::mt19937 random(1);
        QByteArray data(int(mib * 1024 * 1024), Qt::Uninitialized);
        for (int i = 0; i + 4 <= data.size(); i += 4)
        {
            const uint32_t w = random();
            memcpy(data.data() + i, &w, 4);
        }
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
            return 1;
    }

    const Json::Value fixture = PlatformServer::readFixture(PlatformServer::demoFixturePath());
    PlatformServer server(fixture);
    auto cloud = std::make_unique<CloudServer>(server);
    cloud->addToken("bench-token");
    if (server.start(0) <= 0)
        return 1;
    qputenv("VANTREL_UPLOAD_HOST", QByteArray::fromStdString(server.host()));

    const QByteArray bytes = [&] {
        QFile f(source);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    auto start = std::chrono::steady_clock::now();
    QProcess cp;
    cp.start(QStringLiteral("cp"), {source, work.path() + QStringLiteral("/copy.bin")});
    cp.waitForFinished(-1);
    const double cpTime = seconds(start);

    start = std::chrono::steady_clock::now();
    const bool plainOk = plainPosts(server.host(), bytes);
    const double plainTime = seconds(start);

    start = std::chrono::steady_clock::now();
    bool ok = false;
    {
        VantrelFile uploader;
        uploader.setToken("bench-token");
        uploader.startUploadVep(source, QStringLiteral("bench.bin"));
        while (!uploader.isFinished())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ok = uploader.isSuccess();
    }
    const double upTime = seconds(start);
    const bool same = cloud->file("bench.bin") == bytes.toStdString();
    cloud.reset();
    server.stop();

    std::printf("size            %ld MiB\n", mib);
    std::printf("cp              %.3f s\n", cpTime);
    std::printf("plain POSTs     %.3f s  %.0f MiB/s%s\n", plainTime, mib / plainTime, plainOk ? "" : "  (FAILED)");
    std::printf("uploader        %.3f s  %.0f MiB/s%s\n", upTime, mib / upTime, ok && same ? "" : "  (FAILED)");
    std::printf("uploader / cp           %.2f\n", upTime / cpTime);
    std::printf("uploader / plain POSTs  %.2f\n", upTime / plainTime);
    return ok && same && plainOk ? 0 : 1;
}
