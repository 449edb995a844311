#include "cloudserver.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include <httplib.h>
#include <json/json.h>
#include <openssl/evp.h>

#include "platformserver.h"
#include "servercrypto.h"

namespace
{
    constexpr uint32_t kBlockSize = 4u * 1024u * 1024u;
    const char *const kCloudControl = "/_test/cloud/";

    // CRC-32 (IEEE), written apart from the client's so that one fault cannot hide on both sides.
    uint32_t crc32Of(const std::string &bytes)
    {
        static const std::vector<uint32_t> table = [] {
            std::vector<uint32_t> t(256);
            for (uint32_t i = 0; i < 256; ++i)
            {
                uint32_t r = i;
                for (int k = 0; k < 8; ++k)
                    r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1u)));
                t[i] = r;
            }
            return t;
        }();
        uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char c : bytes)
            crc = table[(crc ^ c) & 0xFFu] ^ (crc >> 8);
        return ~crc;
    }

    // Running SHA-1 of a block's bytes: each ctx keeps the state at its offset, so an older ctx
    // sent again goes on from there.
    class BlockDigest
    {
    public:
        BlockDigest() : m_ctx(EVP_MD_CTX_new())
        {
            EVP_DigestInit_ex(m_ctx, EVP_sha1(), nullptr);
        }
        BlockDigest(const BlockDigest &other) : m_ctx(EVP_MD_CTX_new())
        {
            EVP_MD_CTX_copy_ex(m_ctx, other.m_ctx);
        }
        BlockDigest &operator=(const BlockDigest &) = delete;
        ~BlockDigest()
        {
            EVP_MD_CTX_free(m_ctx);
        }
        void add(const std::string &bytes)
        {
            EVP_DigestUpdate(m_ctx, bytes.data(), bytes.size());
        }
        std::string hex() const
        {
            BlockDigest copy(*this);
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int size = 0;
            EVP_DigestFinal_ex(copy.m_ctx, digest, &size);
            static const char *const digits = "0123456789abcdef";
            std::string out;
            for (unsigned int i = 0; i < size; ++i)
            {
                out += digits[digest[i] >> 4];
                out += digits[digest[i] & 15];
            }
            return out;
        }

    private:
        EVP_MD_CTX *m_ctx;
    };

    std::string compact(const Json::Value &v)
    {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        return Json::writeString(b, v);
    }

    void answer(httplib::Response &res, int status, const Json::Value &body)
    {
        res.status = status;
        res.set_content(compact(body), "application/json");
    }

    void refuse(httplib::Response &res, int status, const std::string &why)
    {
        Json::Value body(Json::objectValue);
        body["error"] = why;
        answer(res, status, body);
    }

    bool parseCount(const std::string &text, long long &out)
    {
        if (text.empty() || text.size() > 18)
            return false;
        for (char c : text)
            if (c < '0' || c > '9')
                return false;
        out = std::stoll(text);
        return true;
    }

    bool parseSigned(const std::string &text, long long &out)
    {
        if (!text.empty() && text[0] == '-')
        {
            if (!parseCount(text.substr(1), out))
                return false;
            out = -out;
            return true;
        }
        return parseCount(text, out);
    }

    bool validChecksumStyle(const std::string &style)
    {
        return style == "sha1" || style == "opaque" || style == "none";
    }

    // URL-safe Base64 ("-" and "_", padding optional) to bytes.
    bool urlSafeDecode(std::string text, std::string &out)
    {
        for (char &c : text)
        {
            if (c == '-')
                c = '+';
            else if (c == '_')
                c = '/';
        }
        while (text.size() % 4)
            text += '=';
        return servercrypto::base64Decode(text, out);
    }
}

struct CloudServer::State
{
    struct Block
    {
        uint32_t size = 0;
        std::string data;
    };
    struct Ctx
    {
        std::shared_ptr<Block> block;
        uint32_t offset = 0;
        std::shared_ptr<BlockDigest> digest;  // of the block's bytes up to offset
    };

    explicit State(PlatformServer &s) : server(s), random(std::random_device {}()) {}

    PlatformServer &server;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool detached = false;

    std::set<std::string> tokens;
    std::map<std::string, Ctx> ctxs;
    std::map<std::string, std::string> files;
    std::mt19937_64 random;
    unsigned long long serial = 0;

    int failAfter = -1;
    int failStatus = 503;
    int okChunks = 0;
    bool force579 = false;
    int errCode = 0;
    int delayMs = 0;
    std::string nonsense;       // chunk answers are "notjson", "huge" or "badctx" when set
    std::string answerHost;     // host named in chunk answers instead of this server
    std::string checksumStyle = "sha1";  // of chunk answers: "sha1", "opaque" or "none"
    std::shared_ptr<const std::function<void(const std::string &, int)>> hook;

    int mkblk = 0;
    int bput = 0;
    int mkfile = 0;
    int64_t chunkBytes = 0;

    // mutex held
    std::string newCtx()
    {
        std::ostringstream s;
        s << "c" << std::hex << ++serial << "x" << random();
        return s.str();
    }

    std::string host() const
    {
        return "http://" + server.host();
    }

    // mutex held
    std::string namedHost() const
    {
        return answerHost.empty() ? host() : answerHost;
    }

    bool authorized(const httplib::Request &req)
    {
        const std::string header = req.get_header_value("Authorization");
        const std::string prefix = "UpToken ";
        if (header.compare(0, prefix.size(), prefix) != 0)
            return false;
        const std::string token = header.substr(prefix.size());
        if (token.empty())
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (tokens.count(token))
                return true;
        }
        return server.isUploadToken(token);
    }

    // Waits the chunk delay; false when the server went away meanwhile.
    bool waitDelay()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (delayMs > 0)
            wake.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return detached; });
        return !detached;
    }

    // mutex held: true when the failure switch answers this chunk request.
    bool injectFailure(httplib::Response &res)
    {
        if (failAfter < 0 || okChunks < failAfter)
            return false;
        refuse(res, failStatus, "injected failure");
        return true;
    }

    // mutex held. "checksum" is, by the checksum style, the SHA-1 (hex) of the block's bytes
    // from its start to `offset`, a text of no meaning to the client, or absent; "crc32" is
    // that of this chunk.
    void chunkAnswer(httplib::Response &res, const std::string &chunk, const std::string &ctx, uint32_t offset,
                     const BlockDigest &digest)
    {
        Json::Value body(Json::objectValue);
        body["ctx"] = nonsense == "badctx" ? std::string("../") + ctx + "?x" : ctx;
        if (checksumStyle == "sha1")
            body["checksum"] = digest.hex();
        else if (checksumStyle == "opaque")
        {
            std::ostringstream text;
            text << "Fo/" << std::hex << random() << "+" << std::dec << offset << "==";
            body["checksum"] = text.str();
        }
        body["crc32"] = Json::UInt(crc32Of(chunk));
        body["offset"] = Json::UInt(offset);
        body["host"] = namedHost();
        if (nonsense == "notjson")
        {
            res.status = 200;
            res.set_content("<html><body>upload gateway</body></html>", "text/html");
            return;
        }
        if (nonsense == "huge")
        {
            body["padding"] = std::string(1536 * 1024, 'x');
        }
        answer(res, 200, body);
    }

    // Counts a request and runs the request hook on it, outside the lock.
    void arrive(int &counter, const char *route)
    {
        std::shared_ptr<const std::function<void(const std::string &, int)>> call;
        int index = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            index = counter++;
            call = hook;
        }
        if (call && *call)
            (*call)(route, index);
    }

    // Counts a chunk request, checks its token and waits the chunk delay; false when it has
    // been answered already.
    bool admitChunk(int &counter, const char *route, const httplib::Request &req, httplib::Response &res)
    {
        arrive(counter, route);
        if (!authorized(req))
            return refuse(res, 401, "bad token"), false;
        if (!waitDelay())
            return refuse(res, 503, "server stopping"), false;
        return true;
    }

    void mkblkRequest(const httplib::Request &req, httplib::Response &res)
    {
        if (!admitChunk(mkblk, "mkblk", req, res))
            return;
        long long size = 0;
        if (!parseCount(req.matches[1].str(), size) || size <= 0 || size > kBlockSize)
            return refuse(res, 400, "bad block size");
        if (req.body.empty() || req.body.size() > size_t(size))
            return refuse(res, 400, "bad chunk length");
        std::lock_guard<std::mutex> lock(mutex);
        if (injectFailure(res))
            return;
        auto block = std::make_shared<Block>();
        block->size = uint32_t(size);
        block->data = req.body;
        auto digest = std::make_shared<BlockDigest>();
        digest->add(req.body);
        const std::string ctx = newCtx();
        ctxs[ctx] = Ctx {block, uint32_t(req.body.size()), digest};
        ++okChunks;
        chunkBytes += int64_t(req.body.size());
        chunkAnswer(res, req.body, ctx, uint32_t(req.body.size()), *digest);
    }

    void bputRequest(const httplib::Request &req, httplib::Response &res)
    {
        if (!admitChunk(bput, "bput", req, res))
            return;
        long long offset = 0;
        if (!parseCount(req.matches[2].str(), offset))
            return refuse(res, 400, "bad offset");
        std::lock_guard<std::mutex> lock(mutex);
        if (injectFailure(res))
            return;
        const auto found = ctxs.find(req.matches[1].str());
        if (found == ctxs.end())
            return refuse(res, 701, "unknown ctx");
        if (found->second.offset != uint64_t(offset))
            return refuse(res, 701, "offset does not follow the ctx");
        const std::shared_ptr<Block> block = found->second.block;
        if (req.body.empty() || uint64_t(offset) + req.body.size() > block->size)
            return refuse(res, 400, "bad chunk length");
        // An older ctx of the block may be sent again (a retry): the block goes on from its offset.
        block->data.resize(size_t(offset));
        block->data += req.body;
        const uint32_t next = uint32_t(offset + req.body.size());
        auto digest = std::make_shared<BlockDigest>(*found->second.digest);
        digest->add(req.body);
        const std::string ctx = newCtx();
        ctxs[ctx] = Ctx {block, next, digest};
        ++okChunks;
        chunkBytes += int64_t(req.body.size());
        chunkAnswer(res, req.body, ctx, next, *digest);
    }

    void mkfileRequest(const httplib::Request &req, httplib::Response &res)
    {
        arrive(mkfile, "mkfile");
        if (!authorized(req))
            return refuse(res, 401, "bad token");
        long long fsize = 0;
        std::string key;
        if (!parseCount(req.matches[1].str(), fsize))
            return refuse(res, 400, "bad file size");
        if (!urlSafeDecode(req.matches[2].str(), key) || key.empty())
            return refuse(res, 400, "bad key");

        std::vector<std::string> list;
        if (!req.body.empty())
        {
            std::string item;
            std::istringstream in(req.body);
            while (std::getline(in, item, ','))
                list.push_back(item);
        }
        std::lock_guard<std::mutex> lock(mutex);
        std::string assembled;
        std::set<Block *> used;
        for (size_t i = 0; i < list.size(); ++i)
        {
            const auto found = ctxs.find(list[i]);
            if (found == ctxs.end())
                return refuse(res, 701, "unknown ctx " + list[i]);
            const Ctx &c = found->second;
            if (c.offset != c.block->size || c.block->data.size() < c.offset)
                return refuse(res, 400, "block " + std::to_string(i) + " is not complete");
            if (i + 1 < list.size() && c.block->size != kBlockSize)
                return refuse(res, 400, "block " + std::to_string(i) + " is short");
            assembled.append(c.block->data, 0, c.offset);
            used.insert(c.block.get());
        }
        if (int64_t(assembled.size()) != fsize)
            return refuse(res, 400, "file size mismatch");
        files[key] = assembled;
        for (auto it = ctxs.begin(); it != ctxs.end();)
            it = used.count(it->second.block.get()) ? ctxs.erase(it) : std::next(it);
        if (force579)
        {
            Json::Value body(Json::objectValue);
            body["error"] = "callback failed";
            body["err_code"] = errCode;
            return answer(res, 579, body);
        }
        Json::Value body(Json::objectValue);
        body["hash"] = servercrypto::md5Hex(assembled);
        body["key"] = key;
        answer(res, 200, body);
    }

    Json::Value stateJson() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        Json::Value v(Json::objectValue);
        v["mkblk"] = mkblk;
        v["bput"] = bput;
        v["mkfile"] = mkfile;
        v["chunkBytes"] = Json::Int64(chunkBytes);
        v["failAfter"] = failAfter;
        v["failStatus"] = failStatus;
        v["force579"] = force579;
        v["errCode"] = errCode;
        v["delayMs"] = delayMs;
        v["nonsense"] = nonsense;
        v["answerHost"] = answerHost;
        v["checksum"] = checksumStyle;
        Json::Value list(Json::arrayValue);
        for (const auto &f : files)
            list.append(f.first);
        v["keys"] = list;
        return v;
    }

    // "/_test/cloud/..."; false for every other path.
    bool control(const httplib::Request &req, httplib::Response &res)
    {
        const std::string prefix = kCloudControl;
        if (req.path.compare(0, prefix.size(), prefix) != 0)
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (detached)
                return false;
        }
        const std::string what = req.path.substr(prefix.size());
        long long n = 0;
        if (what == "state")
            return answer(res, 200, stateJson()), true;
        if (what == "file")
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto found = files.find(req.get_param_value("key"));
            if (found == files.end())
                refuse(res, 404, "no such file");
            else
            {
                res.status = 200;
                res.set_content(found->second, "application/octet-stream");
            }
            return true;
        }
        if (req.method != "POST")
            return refuse(res, 405, "use POST"), true;
        std::lock_guard<std::mutex> lock(mutex);
        if (what == "fail")
        {
            if (!parseSigned(req.get_param_value("after"), n))
                return refuse(res, 400, "fail needs after=N"), true;
            failAfter = n < 0 ? -1 : int(n);
            okChunks = 0;
            long long status = 503;
            if (req.has_param("status") && (!parseCount(req.get_param_value("status"), status) || status < 100 || status > 999))
                return refuse(res, 400, "bad status"), true;
            failStatus = int(status);
        }
        else if (what == "force579")
        {
            if (!parseSigned(req.get_param_value("err_code"), n))
                return refuse(res, 400, "force579 needs err_code=C"), true;
            force579 = true;
            errCode = int(n);
        }
        else if (what == "delay")
        {
            if (!parseCount(req.get_param_value("ms"), n) || n > 60000)
                return refuse(res, 400, "delay needs ms=D"), true;
            delayMs = int(n);
        }
        else if (what == "nonsense")
        {
            const std::string kind = req.get_param_value("kind");
            if (kind != "notjson" && kind != "huge" && kind != "badctx" && !kind.empty())
                return refuse(res, 400, "nonsense needs kind=notjson|huge|badctx"), true;
            nonsense = kind;
        }
        else if (what == "answerhost")
            answerHost = req.get_param_value("host");
        else if (what == "checksum")
        {
            const std::string style = req.get_param_value("style");
            if (!validChecksumStyle(style))
                return refuse(res, 400, "checksum needs style=sha1|opaque|none"), true;
            checksumStyle = style;
        }
        else if (what == "token")
        {
            const std::string token = req.get_param_value("value");
            if (token.empty())
                return refuse(res, 400, "token needs value=T"), true;
            tokens.insert(token);
        }
        else if (what == "reset")
            resetLocked();
        else
            return refuse(res, 404, "unknown control " + what), true;
        answer(res, 200, Json::Value(Json::objectValue));
        return true;
    }

    void resetLocked()
    {
        failAfter = -1;
        failStatus = 503;
        okChunks = 0;
        force579 = false;
        errCode = 0;
        delayMs = 0;
        nonsense.clear();
        answerHost.clear();
        checksumStyle = "sha1";
        hook.reset();
        mkblk = bput = mkfile = 0;
        chunkBytes = 0;
    }
};

CloudServer::CloudServer(PlatformServer &server)
    : m_state(std::make_shared<State>(server))
{
    std::shared_ptr<State> state = m_state;
    auto guarded = [state](void (State::*handler)(const httplib::Request &, httplib::Response &)) {
        return [state, handler](const httplib::Request &req, httplib::Response &res, const RequestRecord &) {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->detached)
                    return refuse(res, 503, "cloud storage gone");
            }
            ((*state).*handler)(req, res);
        };
    };
    server.route("POST", R"(/mkblk/(\d+))", "cloud/mkblk", guarded(&State::mkblkRequest));
    server.route("POST", R"(/bput/([A-Za-z0-9]+)/(\d+))", "cloud/bput", guarded(&State::bputRequest));
    server.route("POST", R"(/mkfile/(\d+)/key/([A-Za-z0-9_=-]*)(?:/.*)?)", "cloud/mkfile", guarded(&State::mkfileRequest));
    // Chunk answers are small and follow their headers at once: without this each one waits
    // for the client's delayed acknowledgement.
    server.http().set_tcp_nodelay(true);
    // The platform's own control route takes every "/_test/" path, so the cloud's controls are
    // answered before routing.
    server.http().set_pre_routing_handler([state](const httplib::Request &req, httplib::Response &res) {
        return state->control(req, res) ? httplib::Server::HandlerResponse::Handled
                                        : httplib::Server::HandlerResponse::Unhandled;
    });
}

CloudServer::~CloudServer()
{
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->detached = true;
    }
    m_state->wake.notify_all();
}

void CloudServer::addToken(const std::string &token)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->tokens.insert(token);
}

void CloudServer::failAfterChunks(int chunks, int status)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->failAfter = chunks < 0 ? -1 : chunks;
    m_state->failStatus = status;
    m_state->okChunks = 0;
}

void CloudServer::force579(int errCode)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->force579 = true;
    m_state->errCode = errCode;
}

void CloudServer::clear579()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->force579 = false;
}

void CloudServer::setChunkDelay(int ms)
{
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->delayMs = ms < 0 ? 0 : ms;
    }
    m_state->wake.notify_all();
}

void CloudServer::setNonsense(const std::string &kind)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->nonsense = kind;
}

void CloudServer::setAnswerHost(const std::string &host)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->answerHost = host;
}

bool CloudServer::setChecksumStyle(const std::string &style)
{
    if (!validChecksumStyle(style))
        return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->checksumStyle = style;
    return true;
}

void CloudServer::setRequestHook(std::function<void(const std::string &route, int index)> hook)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (hook)
        m_state->hook = std::make_shared<const std::function<void(const std::string &, int)>>(std::move(hook));
    else
        m_state->hook.reset();
}

void CloudServer::reset()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->resetLocked();
}

int CloudServer::mkblkCount() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->mkblk;
}

int CloudServer::bputCount() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->bput;
}

int CloudServer::mkfileCount() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->mkfile;
}

int64_t CloudServer::chunkBytes() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->chunkBytes;
}

bool CloudServer::hasFile(const std::string &key) const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->files.count(key) > 0;
}

std::string CloudServer::file(const std::string &key) const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const auto found = m_state->files.find(key);
    return found == m_state->files.end() ? std::string() : found->second;
}

std::vector<std::string> CloudServer::keys() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<std::string> out;
    for (const auto &f : m_state->files)
        out.push_back(f.first);
    return out;
}

std::string CloudServer::uploadHost() const
{
    return m_state->host();
}
