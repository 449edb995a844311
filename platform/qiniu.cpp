#include "qiniu.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>

#include <curl/curl.h>
#include <json/json.h>

namespace
{
    constexpr int kDefaultChunkSize = 256 * 1024;
    constexpr int kDefaultTryTimes = 3;
    constexpr int kDefaultRetryDelayMs = 200;
    constexpr int kDefaultTimeoutSec = 60;
    constexpr size_t kMaxAnswerSize = 1024 * 1024;
    // A checksum is kept in the resume records: one far longer is no checksum.
    constexpr size_t kMaxChecksumSize = 1024;

    std::mutex g_mutex;
    Qiniu_Rio_Settings g_settings;
    std::string g_hostOverride;
    std::string g_host;

    std::string trimmed(const std::string &text)
    {
        const auto begin = text.find_first_not_of(" \t\r\n");
        if (begin == std::string::npos)
            return std::string();
        const auto end = text.find_last_not_of(" \t\r\n");
        return text.substr(begin, end - begin + 1);
    }

    std::string withScheme(const std::string &text)
    {
        std::string host = trimmed(text);
        while (!host.empty() && host.back() == '/')
            host.pop_back();
        if (host.empty())
            return host;
        if (host.find("://") == std::string::npos)
            host = "http://" + host;
        return host;
    }

    std::string configuredHost()
    {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (!g_hostOverride.empty())
                return g_hostOverride;
        }
        const char *env = std::getenv("VANTREL_UPLOAD_HOST");
        if (env && *env)
            return withScheme(env);
        if (!QCoreApplication::instance())
            return std::string();
        const QString ini = QCoreApplication::applicationDirPath() + QStringLiteral("/start.ini");
        if (!QFileInfo::exists(ini))
            return std::string();
        QSettings settings(ini, QSettings::IniFormat);
        return withScheme(settings.value(QStringLiteral("config/upload_host")).toString().toStdString());
    }

    Qiniu_Rio_Settings effectiveSettings()
    {
        Qiniu_Rio_Settings s;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            s = g_settings;
        }
        if (s.chunkSize <= 0)
            s.chunkSize = kDefaultChunkSize;
        s.chunkSize = std::min(s.chunkSize, Qiniu_Rio_BlockSize);
        if (s.tryTimes <= 0)
            s.tryTimes = kDefaultTryTimes;
        if (s.retryDelayMs <= 0)
            s.retryDelayMs = kDefaultRetryDelayMs;
        if (s.timeoutSec <= 0)
            s.timeoutSec = kDefaultTimeoutSec;
        return s;
    }

    bool stopRaised(const std::atomic<bool> *stop)
    {
        return stop && stop->load();
    }

    // Sleeps in short steps so that a stop is not held up by the pause.
    bool pauseUnlessStopped(int ms, const std::atomic<bool> *stop)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until)
        {
            if (stopRaised(stop))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return !stopRaised(stop);
    }

    std::string urlSafeBase64(const std::string &text)
    {
        return QByteArray::fromStdString(text).toBase64(QByteArray::Base64UrlEncoding).toStdString();
    }

    struct Answer
    {
        int code = 0;          // HTTP status, or a negative local code
        std::string body;
        bool localChecksum = false;
    };

    struct Received
    {
        std::string body;
        bool tooLarge = false;
    };

    size_t collectBody(char *data, size_t size, size_t count, void *userData)
    {
        auto *received = static_cast<Received *>(userData);
        const size_t bytes = size * count;
        if (received->body.size() + bytes > kMaxAnswerSize)
        {
            received->tooLarge = true;
            return 0;
        }
        received->body.append(data, bytes);
        return bytes;
    }

    // A ctx goes into a URL path: URL-safe Base64 characters only.
    bool usableCtx(const std::string &ctx)
    {
        if (ctx.empty() || ctx.size() > 4096)
            return false;
        for (char c : ctx)
        {
            const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                || c == '_' || c == '=';
            if (!ok)
                return false;
        }
        return true;
    }

    // "http(s)://" and a host name or address with an optional port, nothing more.
    bool usableHost(const std::string &host)
    {
        std::string rest;
        if (host.compare(0, 7, "http://") == 0)
            rest = host.substr(7);
        else if (host.compare(0, 8, "https://") == 0)
            rest = host.substr(8);
        else
            return false;
        if (rest.empty() || rest.size() > 255)
            return false;
        for (char c : rest)
        {
            const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                || c == '.' || c == ':' || c == '[' || c == ']';
            if (!ok)
                return false;
        }
        return true;
    }

    Answer post(Qiniu_Client *client, const std::string &url, const std::string &token,
                const char *data, size_t size, const char *contentType,
                const std::atomic<bool> *stop, int timeoutSec)
    {
        Answer answer;
        CURL *curl = static_cast<CURL *>(client->curl);
        CURLM *multi = static_cast<CURLM *>(client->multi);
        if (!curl || !multi)
        {
            answer.code = Qiniu_Code_Transport;
            answer.body = "no transfer handle";
            return answer;
        }

        curl_easy_reset(curl);
        char errorText[CURL_ERROR_SIZE] = {0};
        curl_slist *headers = nullptr;
        headers = curl_slist_append(headers, ("Authorization: UpToken " + token).c_str());
        headers = curl_slist_append(headers, (std::string("Content-Type: ") + contentType).c_str());
        headers = curl_slist_append(headers, "Expect:");

        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, size ? data : "");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        Received received;
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeoutSec));
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        if (client->bufferSize > 0)
            curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(std::max<size_t>(client->bufferSize, 1024)));

        CURLcode result = CURLE_OK;
        bool stopped = false;
        bool failed = curl_multi_add_handle(multi, curl) != CURLM_OK;
        if (!failed)
        {
            for (;;)
            {
                int running = 0;
                if (curl_multi_perform(multi, &running) != CURLM_OK)
                {
                    failed = true;
                    break;
                }
                if (!running)
                    break;
                if (stopRaised(stop))
                {
                    stopped = true;
                    break;
                }
                curl_multi_poll(multi, nullptr, 0, 50, nullptr);
            }
            if (!stopped && !failed)
            {
                int queued = 0;
                while (CURLMsg *msg = curl_multi_info_read(multi, &queued))
                {
                    if (msg->msg == CURLMSG_DONE && msg->easy_handle == curl)
                        result = msg->data.result;
                }
            }
            curl_multi_remove_handle(multi, curl);
        }
        curl_slist_free_all(headers);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

        if (stopped)
        {
            answer.code = Qiniu_Code_Stopped;
            answer.body = "stopped";
            return answer;
        }
        answer.body = std::move(received.body);
        if (received.tooLarge)
        {
            answer.code = Qiniu_Code_BadAnswer;
            answer.body = "answer larger than " + std::to_string(kMaxAnswerSize) + " bytes";
            return answer;
        }
        if (failed || result != CURLE_OK)
        {
            answer.code = Qiniu_Code_Transport;
            answer.body = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(result));
            return answer;
        }
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        answer.code = static_cast<int>(status);
        return answer;
    }

    bool parseObject(const std::string &body, Json::Value &root)
    {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors))
            return false;
        return root.isObject();
    }

    bool optionalText(const Json::Value &object, const char *name, std::string &out)
    {
        const Json::Value &value = object[name];
        if (value.isNull())
            return true;
        if (!value.isString())
            return false;
        out = value.asString();
        return true;
    }

    bool unsignedWord(const Json::Value &value, uint32_t &out)
    {
        if (!value.isIntegral())
            return false;
        if (value.isUInt())
        {
            out = value.asUInt();
            return true;
        }
        // Some servers write the crc32 as a signed 32-bit number.
        if (value.isInt() && value.asInt() < 0)
        {
            out = static_cast<uint32_t>(value.asInt());
            return true;
        }
        return false;
    }

    struct BlockState
    {
        std::string ctx;
        std::string checksum;
        bool hasChecksum = false;    // the answer had one (an absent one is handed on as null)
        std::string host;
        uint32_t crc32 = 0;
        uint32_t offset = 0;
        Qiniu_Rio_BlkputRet view;
        // A block taken from a resume record is continued at most once at its recorded host.
        bool resumed = false;

        void restart(const std::string &host)
        {
            ctx.clear();
            checksum.clear();
            hasChecksum = false;
            this->host = host;
            crc32 = 0;
            offset = 0;
            resumed = false;
        }

        Qiniu_Rio_BlkputRet *record()
        {
            view.ctx = ctx.c_str();
            view.checksum = hasChecksum ? checksum.c_str() : nullptr;
            view.host = host.c_str();
            view.crc32 = crc32;
            view.offset = offset;
            return &view;
        }
    };

    std::string hex32(uint32_t value)
    {
        char text[16];
        std::snprintf(text, sizeof(text), "%08x", value);
        return text;
    }

    // The server's checksum is opaque: a text is taken as it is, any other JSON value as its
    // compact text; null or absent is none.
    bool takeChecksum(const Json::Value &value, BlockState &next, std::string &why)
    {
        next.checksum.clear();
        next.hasChecksum = !value.isNull();
        if (!next.hasChecksum)
            return true;
        if (value.isString())
            next.checksum = value.asString();
        else
        {
            Json::StreamWriterBuilder builder;
            builder["indentation"] = "";
            next.checksum = Json::writeString(builder, value);
        }
        if (next.checksum.size() > kMaxChecksumSize)
        {
            why = "checksum of the answer is longer than " + std::to_string(kMaxChecksumSize) + " bytes";
            return false;
        }
        return true;
    }

    // Reads the answer of mkblk or bput into `next`; false with the reason in `why`.
    bool parseChunkAnswer(const std::string &body, BlockState &next, std::string &why)
    {
        Json::Value root;
        if (!parseObject(body, root))
        {
            why = "unexpected answer: " + body.substr(0, 200);
            return false;
        }
        const Json::Value &ctx = root["ctx"];
        if (!ctx.isString() || !usableCtx(ctx.asString()))
        {
            why = "answer without a usable ctx: " + body.substr(0, 200);
            return false;
        }
        next.ctx = ctx.asString();
        if (!takeChecksum(root["checksum"], next, why))
            return false;
        std::string host;
        if (!optionalText(root, "host", host))
        {
            why = "host of the answer is not a text";
            return false;
        }
        if (!host.empty())
        {
            next.host = withScheme(host);
            if (!usableHost(next.host))
            {
                why = "host of the answer is unusable: " + host.substr(0, 200);
                return false;
            }
        }
        if (!unsignedWord(root["crc32"], next.crc32))
        {
            why = "crc32 of the answer is missing or not a 32-bit number";
            return false;
        }
        if (!unsignedWord(root["offset"], next.offset))
        {
            why = "offset of the answer is missing or not a 32-bit number";
            return false;
        }
        return true;
    }

    bool retryable(const Answer &answer)
    {
        if (answer.code == Qiniu_Code_Transport || answer.code == Qiniu_Code_BadAnswer || answer.localChecksum)
            return true;
        return answer.code >= 500 && answer.code < 600 && answer.code != 579;
    }

    class Put
    {
    public:
        Put(Qiniu_Client *client, const char *token, Qiniu_Rio_PutExtra *extra)
            : m_client(client), m_token(token), m_extra(extra), m_settings(effectiveSettings())
        {
        }

        Qiniu_Error fail(int code, const std::string &message)
        {
            m_client->lastMessage = message;
            return Qiniu_Error {code, m_client->lastMessage.c_str()};
        }

        void reportError(int blkIdx, int blkSize, const Answer &answer)
        {
            if (!m_extra || !m_extra->notifyErr)
                return;
            std::string text = answer.body;
            Qiniu_Error err {answer.localChecksum ? Qiniu_Code_ChecksumError : answer.code, text.c_str()};
            m_extra->notifyErr(m_extra->notifyRecvr, blkIdx, blkSize, err);
        }

        const std::atomic<bool> *stopFlag() const
        {
            return m_extra ? m_extra->stop : nullptr;
        }

        // One request with its retries. `accept` (body, why) turns a 200 answer into a result
        // (0), or refuses it with a code and its reason in `why`; a refused answer is retried.
        template <typename Accept>
        Answer request(int blkIdx, int blkSize, const std::string &url, const char *data, size_t size,
                       const char *contentType, Accept accept)
        {
            Answer answer;
            for (int attempt = 1;; ++attempt)
            {
                if (stopRaised(stopFlag()))
                {
                    answer = Answer();
                    answer.code = Qiniu_Code_Stopped;
                    answer.body = "stopped";
                    return answer;
                }
                answer = post(m_client, url, m_token, data, size, contentType, stopFlag(), m_settings.timeoutSec);
                if (answer.code == Qiniu_Code_Stopped)
                    return answer;
                if (answer.code == 200)
                {
                    std::string why;
                    const int verdict = accept(answer.body, why);
                    if (verdict == 0)
                        return answer;
                    if (verdict == Qiniu_Code_ChecksumError)
                        answer.localChecksum = true;
                    else
                        answer.code = Qiniu_Code_BadAnswer;
                    answer.body = why.empty() ? "unexpected answer: " + answer.body.substr(0, 200) : why;
                }
                reportError(blkIdx, blkSize, answer);
                if (!retryable(answer) || attempt >= m_settings.tryTimes)
                    break;
                if (!pauseUnlessStopped(m_settings.retryDelayMs, stopFlag()))
                {
                    answer = Answer();
                    answer.code = Qiniu_Code_Stopped;
                    answer.body = "stopped";
                    return answer;
                }
            }
            if (answer.localChecksum)
                answer.code = Qiniu_Code_ChecksumError;
            return answer;
        }

        Qiniu_Client *m_client;
        std::string m_token;
        Qiniu_Rio_PutExtra *m_extra;
        Qiniu_Rio_Settings m_settings;
    };

    uint32_t crcTable[256];
    std::once_flag crcOnce;

    void makeCrcTable()
    {
        for (uint32_t n = 0; n < 256; ++n)
        {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            crcTable[n] = c;
        }
    }
}

void Qiniu_Global_Init(long flags)
{
    curl_global_init(flags < 0 ? CURL_GLOBAL_DEFAULT : flags);
}

void Qiniu_Global_Cleanup()
{
    curl_global_cleanup();
}

void Qiniu_Client_InitNoAuth(Qiniu_Client *self, size_t bufferSize)
{
    if (!self)
        return;
    self->curl = curl_easy_init();
    self->multi = curl_multi_init();
    self->bufferSize = bufferSize;
    self->lastMessage.clear();
}

void Qiniu_Client_Cleanup(Qiniu_Client *self)
{
    if (!self)
        return;
    if (self->multi)
        curl_multi_cleanup(static_cast<CURLM *>(self->multi));
    if (self->curl)
        curl_easy_cleanup(static_cast<CURL *>(self->curl));
    self->multi = nullptr;
    self->curl = nullptr;
}

void Qiniu_Rio_SetSettings(const Qiniu_Rio_Settings *settings)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_settings = settings ? *settings : Qiniu_Rio_Settings();
}

Qiniu_Rio_Settings Qiniu_Rio_GetSettings()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_settings;
}

void Qiniu_Use_Zone_Huanan(int useConfiguredHost)
{
    if (!useConfiguredHost)
        return;
    const std::string host = configuredHost();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_host = host;
}

void Qiniu_Set_Upload_Host(const char *host)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hostOverride = host ? withScheme(host) : std::string();
}

std::string Qiniu_Upload_Host()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_host;
}

int Qiniu_Rio_BlockCount(int64_t fsize)
{
    if (fsize <= 0)
        return 0;
    return static_cast<int>((fsize + Qiniu_Rio_BlockSize - 1) >> Qiniu_Rio_BlockBits);
}

uint32_t Qiniu_Crc32(uint32_t crc, const void *data, size_t size)
{
    std::call_once(crcOnce, makeCrcTable);
    const auto *bytes = static_cast<const unsigned char *>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = crcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

Qiniu_Error Qiniu_Rio_PutFile(Qiniu_Client *self, Qiniu_Rio_PutRet *ret, const char *uptoken,
                              const char *key, const char *localFile, Qiniu_Rio_PutExtra *extra)
{
    static std::string noClient = "no client";
    if (!self)
        return Qiniu_Error {Qiniu_Code_BadArgument, noClient.c_str()};
    Put put(self, uptoken ? uptoken : "", extra);
    if (!uptoken || !key || !localFile)
        return put.fail(Qiniu_Code_BadArgument, "token, key and local file are required");

    const std::string upHost = Qiniu_Upload_Host();
    if (upHost.empty())
        return put.fail(Qiniu_Code_NoHost, "no upload host configured");

    QFile file(QString::fromUtf8(localFile));
    const bool opened = extra && extra->localFd >= 0
        ? file.open(extra->localFd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
        : file.open(QIODevice::ReadOnly);
    if (!opened)
        return put.fail(Qiniu_Code_LocalFile, "cannot open " + std::string(localFile) + ": " + file.errorString().toStdString());
    const int64_t fileSize = file.size();
    const int blockCount = Qiniu_Rio_BlockCount(fileSize);

    std::vector<BlockState> blocks(static_cast<size_t>(blockCount));
    if (extra && extra->progresses && extra->progressesCount > 0)
    {
        if (extra->progressesCount != static_cast<size_t>(blockCount))
            return put.fail(Qiniu_Code_BadProgress,
                            "resume records for " + std::to_string(extra->progressesCount) + " blocks, the file has "
                                + std::to_string(blockCount));
        // The records are the caller's: it hands on only those whose bytes it knows unchanged.
        // One that cannot stand for its block (no usable ctx, beyond the block) is left out and
        // its block sent again.
        for (int i = 0; i < blockCount; ++i)
        {
            const Qiniu_Rio_BlkputRet &stored = extra->progresses[i];
            const int64_t blkSize = std::min<int64_t>(Qiniu_Rio_BlockSize, fileSize - int64_t(i) * Qiniu_Rio_BlockSize);
            if (!stored.ctx || !usableCtx(stored.ctx) || stored.offset == 0 || stored.offset > blkSize)
                continue;
            BlockState &state = blocks[size_t(i)];
            state.ctx = stored.ctx;
            state.hasChecksum = stored.checksum != nullptr;
            state.checksum = stored.checksum ? stored.checksum : "";
            const std::string host = stored.host ? withScheme(stored.host) : std::string();
            state.host = usableHost(host) ? host : upHost;
            state.crc32 = stored.crc32;
            state.offset = stored.offset;
            state.resumed = true;
        }
    }

    std::vector<char> chunk;
    for (int i = 0; i < blockCount; ++i)
    {
        BlockState &state = blocks[size_t(i)];
        const int64_t blockStart = int64_t(i) * Qiniu_Rio_BlockSize;
        const int blkSize = static_cast<int>(std::min<int64_t>(Qiniu_Rio_BlockSize, fileSize - blockStart));
        while (state.offset < uint32_t(blkSize))
        {
            if (stopRaised(put.stopFlag()))
                return put.fail(Qiniu_Code_Stopped, "stopped");
            const size_t length = std::min<size_t>(size_t(put.m_settings.chunkSize), size_t(blkSize) - state.offset);
            chunk.resize(length);
            if (!file.seek(blockStart + state.offset)
                || file.read(chunk.data(), qint64(length)) != qint64(length))
                return put.fail(Qiniu_Code_LocalFile, "cannot read " + std::string(localFile));
            const uint32_t crc = Qiniu_Crc32(0, chunk.data(), length);

            const bool first = state.ctx.empty();
            const std::string url = first
                ? upHost + "/mkblk/" + std::to_string(blkSize)
                : state.host + "/bput/" + state.ctx + "/" + std::to_string(state.offset);
            BlockState next;
            next.host = first ? upHost : state.host;
            const uint32_t wantOffset = state.offset + uint32_t(length);
            // An answer is judged by its ctx, its offset and the crc32 of the chunk; its
            // checksum is the server's own and is only kept.
            const Answer answer = put.request(i, blkSize, url, chunk.data(), length, "application/octet-stream",
                [&](const std::string &body, std::string &why) {
                    BlockState parsed = next;
                    if (!parseChunkAnswer(body, parsed, why))
                        return Qiniu_Code_BadAnswer;
                    if (parsed.offset != wantOffset)
                    {
                        why = "offset of the answer is " + std::to_string(parsed.offset) + ", the chunk ends at "
                            + std::to_string(wantOffset);
                        return Qiniu_Code_BadAnswer;
                    }
                    if (parsed.crc32 != crc)
                    {
                        why = "crc32 of the answer is " + hex32(parsed.crc32) + ", the chunk's is " + hex32(crc);
                        return Qiniu_Code_ChecksumError;
                    }
                    next = parsed;
                    return 0;
                });
            const bool wasResumed = state.resumed;
            state.resumed = false;
            if (wasResumed && (answer.code == Qiniu_Code_Transport || answer.code == 701))
            {
                // The recorded host is gone or has lost the ctx: the block once more, whole.
                state.restart(upHost);
                continue;
            }
            if (answer.code != 200 || answer.localChecksum)
                return put.fail(answer.code, answer.body);
            const uint32_t chunkStart = state.offset;
            state.ctx = next.ctx;
            state.checksum = next.checksum;
            state.hasChecksum = next.hasChecksum;
            state.host = next.host;
            state.crc32 = next.crc32;
            state.offset = next.offset;
            if (extra && extra->notifyChunk)
                extra->notifyChunk(extra->notifyRecvr, i, chunkStart, chunk.data(), length);
            if (extra && extra->notify)
                extra->notify(extra->notifyRecvr, i, blkSize, state.record());
        }
    }

    if (extra && extra->verify && extra->verify(extra->notifyRecvr, fileSize) != 0)
    {
        if (stopRaised(put.stopFlag()))
            return put.fail(Qiniu_Code_Stopped, "stopped");
        return put.fail(Qiniu_Code_FileChanged, "the bytes sent are not the local file's as it is now");
    }

    std::string ctxList;
    for (size_t i = 0; i < blocks.size(); ++i)
    {
        if (i)
            ctxList += ',';
        ctxList += blocks[i].ctx;
    }
    std::string url = upHost + "/mkfile/" + std::to_string(fileSize) + "/key/" + urlSafeBase64(key);
    if (extra && extra->mimeType && *extra->mimeType)
        url += "/mimeType/" + urlSafeBase64(extra->mimeType);
    Qiniu_Rio_PutRet made;
    const Answer answer = put.request(-1, 0, url, ctxList.data(), ctxList.size(), "text/plain",
        [&](const std::string &body, std::string &why) {
            Json::Value root;
            if (!parseObject(body, root))
            {
                why = "unexpected answer: " + body.substr(0, 200);
                return Qiniu_Code_BadAnswer;
            }
            std::string hash, madeKey;
            if (!optionalText(root, "hash", hash) || !optionalText(root, "key", madeKey))
            {
                why = "hash or key of the answer is not a text";
                return Qiniu_Code_BadAnswer;
            }
            made.hash = hash;
            made.key = madeKey;
            return 0;
        });
    if (answer.code != 200)
        return put.fail(answer.code, answer.body);
    if (ret)
        *ret = made;
    return put.fail(200, answer.body);
}
