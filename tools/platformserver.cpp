#include "platformserver.h"

#include "cloudserver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

namespace
{
    const char *const kControlPrefix = "/_test/";
    // A held reply goes out at the latest after this.
    constexpr int kLongestHoldMs = 120000;

    // Fixture readers that never throw on a wrong type.
    std::string text(const Json::Value &v, const char *name, const std::string &fallback = std::string())
    {
        if (!v.isObject() || !v.isMember(name))
            return fallback;
        const Json::Value &m = v[name];
        if (m.isString())
            return m.asString();
        if (m.isIntegral())
            return m.isInt64() ? std::to_string(m.asInt64()) : std::to_string(m.asUInt64());
        if (m.isDouble())
        {
            std::ostringstream s;
            s << m.asDouble();
            return s.str();
        }
        if (m.isBool())
            return m.asBool() ? "true" : "false";
        return fallback;
    }

    // A whole decimal text, nothing before or after it.
    bool parseNumber(const std::string &s, long long &out)
    {
        if (s.empty())
            return false;
        try
        {
            size_t used = 0;
            const long long n = std::stoll(s, &used, 10);
            if (used != s.size())
                return false;
            out = n;
            return true;
        }
        catch (...)
        {
            return false;
        }
    }

    long long number(const Json::Value &v, const char *name, long long fallback = 0)
    {
        if (!v.isObject() || !v.isMember(name))
            return fallback;
        const Json::Value &m = v[name];
        if (m.isInt64())
            return m.asInt64();
        long long n = 0;
        if (m.isString() && parseNumber(m.asString(), n))
            return n;
        return fallback;
    }

    Json::Value envelope(int code, const std::string &msg, const Json::Value &data = Json::Value())
    {
        Json::Value v(Json::objectValue);
        v["code"] = code;
        v["msg"] = msg;
        v["data"] = data;
        return v;
    }

    Json::Value ok(const Json::Value &data = Json::Value())
    {
        return envelope(0, "", data);
    }

    Json::Value fail(const std::string &msg)
    {
        return envelope(1, msg);
    }

    std::string compact(const Json::Value &v)
    {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        return Json::writeString(b, v);
    }

    bool parseJson(const std::string &text, Json::Value &out)
    {
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> reader(b.newCharReader());
        std::string errors;
        return reader->parse(text.data(), text.data() + text.size(), &out, &errors);
    }

    Json::Value pairsToJson(const servercrypto::Pairs &pairs)
    {
        Json::Value a(Json::arrayValue);
        for (const auto &p : pairs)
        {
            Json::Value e(Json::arrayValue);
            e.append(p.first);
            e.append(p.second);
            a.append(e);
        }
        return a;
    }

    servercrypto::Pairs pairsFromJson(const Json::Value &a)
    {
        servercrypto::Pairs pairs;
        if (!a.isArray())
            return pairs;
        for (const auto &e : a)
            if (e.isArray() && e.size() == 2 && e[0].isString() && e[1].isString())
                pairs.emplace_back(e[0].asString(), e[1].asString());
        return pairs;
    }

    std::string findValue(const servercrypto::Pairs &pairs, const std::string &name)
    {
        for (const auto &p : pairs)
            if (p.first == name)
                return p.second;
        return std::string();
    }

    void merge(Json::Value &target, const Json::Value &patch)
    {
        if (!patch.isObject())
            return;
        if (!target.isObject())
            target = Json::Value(Json::objectValue);
        for (const auto &name : patch.getMemberNames())
            target[name] = patch[name];
    }

    long long nowSeconds()
    {
        return static_cast<long long>(std::time(nullptr));
    }

    // Sends the first half of the reply's body (at least one byte) the way `how` says, then
    // breaks the connection off.
    void cutReply(httplib::Response &res, const std::string &how)
    {
        std::string body = res.body.empty() ? std::string("{") : res.body;
        const std::string part = body.substr(0, std::max<size_t>(1, body.size() / 2));
        std::string type = res.get_header_value("Content-Type");
        if (type.empty())
            type = "application/json; charset=utf-8";
        res.body.clear();
        // The provider returning false ends the transfer where it stands.
        if (how == "length") {
            res.set_content_provider(body.size(), type.c_str(), [part](size_t offset, size_t, httplib::DataSink &sink) {
                return offset == 0 && sink.write(part.data(), part.size());
            });
        } else if (how == "close") {
            res.set_header("Connection", "close");
            res.set_content_provider(type.c_str(), [part](size_t offset, httplib::DataSink &sink) {
                return offset == 0 && sink.write(part.data(), part.size());
            });
        } else {
            res.set_chunked_content_provider(type.c_str(), [part](size_t offset, httplib::DataSink &sink) {
                return offset == 0 && sink.write(part.data(), part.size());
            });
        }
    }
}

// ---- RequestRecord ---------------------------------------------------------------------

std::vector<std::string> RequestRecord::clearNames() const
{
    std::vector<std::string> names;
    for (const auto &p : clear)
        names.push_back(p.first);
    return names;
}

std::string RequestRecord::clearValue(const std::string &name) const
{
    return findValue(clear, name);
}

std::string RequestRecord::innerValue(const std::string &name) const
{
    return findValue(inner, name);
}

Json::Value RequestRecord::toJson() const
{
    Json::Value v(Json::objectValue);
    v["method"] = method;
    v["path"] = path;
    v["route"] = route;
    v["target"] = target;
    v["clear"] = pairsToJson(clear);
    v["inner"] = pairsToJson(inner);
    v["innerText"] = innerText;
    v["hasKey"] = hasKey;
    v["keyError"] = keyError;
    v["lang"] = lang;
    v["userAgent"] = userAgent;
    v["bodyLength"] = static_cast<Json::UInt64>(bodyLength);
    return v;
}

RequestRecord RequestRecord::fromJson(const Json::Value &v)
{
    RequestRecord r;
    r.method = text(v, "method");
    r.path = text(v, "path");
    r.route = text(v, "route");
    r.target = text(v, "target");
    if (v.isObject())
    {
        r.clear = pairsFromJson(v["clear"]);
        r.inner = pairsFromJson(v["inner"]);
        r.hasKey = v["hasKey"].isBool() && v["hasKey"].asBool();
    }
    r.innerText = text(v, "innerText");
    r.keyError = text(v, "keyError");
    r.lang = text(v, "lang");
    r.userAgent = text(v, "userAgent");
    r.bodyLength = static_cast<size_t>(number(v, "bodyLength"));
    return r;
}

// ---- Fault -----------------------------------------------------------------------------

Json::Value Fault::toJson() const
{
    Json::Value v(Json::objectValue);
    v["delayMs"] = delayMs;
    v["status"] = status;
    v["replaceBody"] = replaceBody;
    v["body"] = body;
    v["contentType"] = contentType;
    v["patch"] = patch;
    v["dataPatch"] = dataPatch;
    v["count"] = count;
    v["hold"] = hold;
    v["holdWork"] = holdWork;
    v["cut"] = cut;
    return v;
}

Fault Fault::fromJson(const Json::Value &v)
{
    Fault f;
    f.delayMs = static_cast<int>(number(v, "delayMs"));
    f.status = static_cast<int>(number(v, "status"));
    if (v.isObject() && v.isMember("body") && v["body"].isString())
    {
        f.replaceBody = true;
        f.body = v["body"].asString();
    }
    if (v.isObject() && v["replaceBody"].isBool())
        f.replaceBody = v["replaceBody"].asBool();
    if (v.isObject() && v["hold"].isBool())
        f.hold = v["hold"].asBool();
    if (v.isObject() && v["holdWork"].isBool())
        f.holdWork = v["holdWork"].asBool();
    f.cut = text(v, "cut");
    f.contentType = text(v, "contentType", f.contentType);
    if (v.isObject())
    {
        f.patch = v["patch"];
        f.dataPatch = v["dataPatch"];
    }
    f.count = static_cast<int>(number(v, "count", -1));
    return f;
}

// ---- PlatformServer --------------------------------------------------------------------

PlatformServer::PlatformServer(const Json::Value &fixture)
{
    const Json::Value empty(Json::objectValue);
    const Json::Value &f = fixture.isObject() ? fixture : empty;
    m_accounts = f["accounts"].isArray() ? f["accounts"] : Json::Value(Json::arrayValue);
    m_courses = Json::Value(Json::arrayValue);
    if (f["courses"].isArray())
    {
        for (const auto &c : f["courses"])
        {
            if (!c.isObject())
                continue;
            Json::Value course = c;
            if (!course["videos"].isArray())
                course["videos"] = Json::Value(Json::arrayValue);
            m_courses.append(course);
            m_nextCourseId = std::max(m_nextCourseId, number(c, "id") + 1);
        }
    }
    m_version = f["version"];
    m_space = f["space"];
    m_nextCourseId = std::max(m_nextCourseId, number(f, "next_course_id", m_nextCourseId));
    m_randomState = (static_cast<unsigned long long>(std::random_device {}()) << 32) ^ std::random_device {}();

    // Accounts may carry a session that is valid from the start (a token handed on the command line).
    for (const auto &a : m_accounts)
    {
        const std::string token = text(a, "token");
        if (token.empty())
            continue;
        Session s;
        s.uid = static_cast<int>(number(a, "uid"));
        s.uname = text(a, "uname");
        s.token = token;
        s.secret = text(a, "token_secret");
        m_sessions[token] = s;
    }

    m_calls = {
        {"Login/login", &PlatformServer::callLogin},
        {"Video/getAuthCode", &PlatformServer::callAuthCode},
        {"Yunupload/WebGetKey", &PlatformServer::callWebGetKey},
        {"Yunupload/getUploadToken", &PlatformServer::callUploadToken},
        {"Yunupload/uploadInfo", &PlatformServer::callUploadInfo},
        {"Yunupload/rename", &PlatformServer::callRename},
        {"Yunupload/delete", &PlatformServer::callDelete},
        {"Teacher/teacherVideoList", &PlatformServer::callCourseList},
        {"Video/getVideoFile", &PlatformServer::callVideoFile},
        {"Video/GetSearch", &PlatformServer::callSearch},
        {"Version/versionCheck", &PlatformServer::callVersion},
        {"Video/CreateVideo", &PlatformServer::callCreateCourse},
        {"Video/videoInfo", &PlatformServer::callVideoInfo},
        {"Teacher/GetSpaceAndFLux", &PlatformServer::callSpace},
        {"Teacher/GetLectuer", &PlatformServer::callLecturer},
        {"Upload/UploadSave", &PlatformServer::callUploadSave},
    };

    m_http.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // The port is this server's alone: the library's default options also set SO_REUSEPORT,
    // which lets another socket that sets it bind the same port and share the connections.
    m_http.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    installRoutes();
}

PlatformServer::~PlatformServer()
{
    stop();
}

Json::Value PlatformServer::readFixture(const std::string &path, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        if (error)
            *error = "cannot open fixture " + path;
        return Json::Value();
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    Json::Value root;
    if (!parseJson(buffer.str(), root) || !root.isObject())
    {
        if (error)
            *error = "fixture is not a JSON object: " + path;
        return Json::Value();
    }
    return root;
}

std::string PlatformServer::demoFixturePath()
{
#ifdef PLATFORMSERVER_DEMO_FIXTURE
    return PLATFORMSERVER_DEMO_FIXTURE;
#else
    return "demo-fixture.json";
#endif
}

std::unique_ptr<PlatformServer> PlatformServer::startWith(const Json::Value &fixture)
{
    if (!fixture.isObject())
        return nullptr;
    auto server = std::make_unique<PlatformServer>(fixture);
    // Routes are attached before the server runs.
    server->m_cloud = std::make_unique<CloudServer>(*server);
    if (server->start(0) <= 0)
        return nullptr;
    return server;
}

std::unique_ptr<PlatformServer> PlatformServer::startDemo()
{
    return startWith(readFixture(demoFixturePath()));
}

int PlatformServer::start(int port)
{
    if (m_thread.joinable())
        return m_port;
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopping = false;
    }
    if (port == 0)
        m_port = m_http.bind_to_any_port("127.0.0.1");
    else
        m_port = m_http.bind_to_port("127.0.0.1", port) ? port : -1;
    if (m_port <= 0)
    {
        m_port = -1;
        return -1;
    }
    m_thread = std::thread([this] {
        try
        {
            m_http.listen_after_bind();
        }
        catch (const std::exception &e)
        {
            std::fprintf(stderr, "platformserver: %s\n", e.what());
        }
        catch (...)
        {
            std::fprintf(stderr, "platformserver: unknown error\n");
        }
    });
    // Wait until the accept loop runs, so that a stop right after start cannot be lost.
    for (int i = 0; i < 500 && !m_http.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return m_port;
}

void PlatformServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopCondition.notify_all();
    if (m_thread.joinable())
    {
        m_http.stop();
        m_thread.join();
    }
}

int PlatformServer::port() const
{
    return m_port;
}

std::string PlatformServer::host() const
{
    return "127.0.0.1:" + std::to_string(m_port);
}

httplib::Server &PlatformServer::http()
{
    return m_http;
}

CloudServer *PlatformServer::cloud() const
{
    return m_cloud.get();
}

void PlatformServer::route(const std::string &method, const std::string &pattern, const std::string &name, Handler handler)
{
    // An empty name: the route is named per request (web-API calls: "mod/act").
    auto wrapped = [this, name, handler](const httplib::Request &req, httplib::Response &res) {
        RequestRecord record = makeRecord(req);
        if (!name.empty())
            record.route = name;
        {
            std::lock_guard<std::mutex> lock(m_logMutex);
            m_log.push_back(record);
        }
        const int now = ++m_inFlight;
        int seen = m_maxInFlight.load();
        while (now > seen && !m_maxInFlight.compare_exchange_weak(seen, now))
        {
        }

        Fault fault;
        const bool faulted = takeFault(record.route, fault);
        if (faulted && fault.delayMs > 0)
            sleepInterruptible(fault.delayMs);
        // A slow server: the work itself is done late.
        if (faulted && fault.holdWork)
            waitForRelease(kLongestHoldMs);
        const bool patching = faulted && (!fault.patch.isNull() || !fault.dataPatch.isNull());
        if (faulted && !patching && (fault.replaceBody || fault.status != 0))
        {
            res.status = fault.status != 0 ? fault.status : 200;
            if (res.status >= 300 && res.status < 400)
                res.set_header("Location", "/");
            const std::string body = fault.replaceBody ? fault.body
                : "<html><body><h1>" + std::to_string(res.status) + "</h1></body></html>";
            res.set_content(body, fault.contentType.c_str());
        }
        else
        {
            try
            {
                handler(req, res, record);
            }
            catch (const std::exception &e)
            {
                res.status = 500;
                res.set_content(std::string("server error: ") + e.what(), "text/plain");
            }
            catch (...)
            {
                res.status = 500;
                res.set_content("server error", "text/plain");
            }
            if (patching)
            {
                Json::Value reply;
                if (parseJson(res.body, reply) && reply.isObject())
                {
                    merge(reply, fault.patch);
                    if (fault.dataPatch.isObject())
                    {
                        Json::Value &data = reply["data"];
                        if (data.isArray())
                        {
                            for (auto &e : data)
                                merge(e, fault.dataPatch);
                        }
                        else
                            merge(data, fault.dataPatch);
                    }
                    res.set_content(compact(reply), "application/json; charset=utf-8");
                }
            }
            if (faulted && fault.status != 0)
                res.status = fault.status;
        }
        if (faulted && !fault.cut.empty())
            cutReply(res, fault.cut);
        // Done, but not yet answered (a slow reply, or one the client has stopped waiting for).
        if (faulted && fault.hold)
            waitForRelease(kLongestHoldMs);
        --m_inFlight;
    };
    if (method == "GET")
        m_http.Get(pattern, wrapped);
    else if (method == "POST")
        m_http.Post(pattern, wrapped);
    else if (method == "PUT")
        m_http.Put(pattern, wrapped);
    else if (method == "DELETE")
        m_http.Delete(pattern, wrapped);
}

void PlatformServer::installRoutes()
{
    const Handler api = [this](const httplib::Request &req, httplib::Response &res, const RequestRecord &record) {
        handleApi(req, res, record);
    };
    route("GET", "/index.php", std::string(), api);
    route("POST", "/index.php", std::string(), api);

    // The program pings the base URL once at start and ignores the answer.
    route("GET", "/", "/", [](const httplib::Request &, httplib::Response &res, const RequestRecord &) {
        res.set_content(compact(ok("platform")), "application/json; charset=utf-8");
    });

    auto control = [this](const httplib::Request &req, httplib::Response &res) { handleControl(req, res); };
    m_http.Get(R"(/_test/.*)", control);
    m_http.Post(R"(/_test/.*)", control);
}

RequestRecord PlatformServer::makeRecord(const httplib::Request &req) const
{
    RequestRecord r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    r.lang = req.get_header_value("lang");
    r.userAgent = req.get_header_value("User-Agent");
    r.bodyLength = req.body.size();
    std::string rawKey;
    const size_t q = req.target.find('?');
    if (q != std::string::npos)
    {
        for (const auto &p : servercrypto::splitQuery(req.target.substr(q + 1)))
        {
            std::string value;
            if (!servercrypto::percentDecode(p.second, value))
                value = p.second;
            if (p.first == "key" && !r.hasKey)
            {
                r.hasKey = true;
                rawKey = p.second;
            }
            r.clear.emplace_back(p.first, value);
        }
    }
    const std::string mod = r.clearValue("mod");
    const std::string act = r.clearValue("act");
    r.route = (r.path == "/index.php" && !mod.empty()) ? mod + "/" + act : r.path;
    if (r.hasKey)
    {
        // A real web server reads an unescaped "+" as a blank: insist on the escaped form.
        if (!servercrypto::isPercentEncoded(rawKey))
            r.keyError = "not percent-encoded";
        else if (!servercrypto::decodeKey(r.clearValue("key"), r.inner, r.innerText, r.keyError) && r.keyError.empty())
            r.keyError = "invalid";
    }
    return r;
}

bool PlatformServer::takeFault(const std::string &route, Fault &fault)
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    auto it = m_faults.find(route);
    if (it == m_faults.end())
        return false;
    fault = it->second;
    if (it->second.count > 0 && --it->second.count == 0)
        m_faults.erase(it);
    return true;
}

void PlatformServer::waitForRelease(int ms)
{
    std::unique_lock<std::mutex> lock(m_stopMutex);
    const unsigned long long seen = m_releases;
    ++m_held;
    m_stopCondition.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stopping || m_releases != seen; });
    --m_held;
}

void PlatformServer::releaseHeld()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        ++m_releases;
    }
    m_stopCondition.notify_all();
}

int PlatformServer::held() const
{
    std::lock_guard<std::mutex> lock(m_stopMutex);
    return m_held;
}

void PlatformServer::sleepInterruptible(int ms)
{
    std::unique_lock<std::mutex> lock(m_stopMutex);
    m_stopCondition.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

std::string PlatformServer::randomHex(size_t bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes; ++i)
    {
        // splitmix64 step; the caller holds m_dataMutex.
        unsigned long long z = (m_randomState += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        out += hex[(z >> 4) & 15];
        out += hex[z & 15];
    }
    return out;
}

void PlatformServer::handleApi(const httplib::Request &, httplib::Response &res, const RequestRecord &record)
{
    Json::Value reply;
    const auto call = m_calls.find(record.route);
    if (!record.hasKey)
        reply = fail("key invalid: missing");
    else if (!record.keyError.empty())
        reply = fail("key invalid: " + record.keyError);
    else if (call == m_calls.end())
        reply = fail("unknown call: " + record.route);
    else
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        if (record.route == "Login/login")
            reply = (this->*(call->second))(Call {record, nullptr});
        else
        {
            const std::string token = record.clearValue("oauth_token");
            const std::string secret = record.clearValue("oauth_token_secret");
            const std::string uname = record.clearValue("uname");
            const auto s = m_sessions.find(token);
            if (token.empty() || s == m_sessions.end() || s->second.secret != secret
                || (!uname.empty() && uname != s->second.uname))
                reply = envelope(4, "登录已失效，请重新登录");
            else
                reply = (this->*(call->second))(Call {record, &s->second});
        }
    }
    res.set_content(compact(reply), "application/json; charset=utf-8");
}

void PlatformServer::handleControl(const httplib::Request &req, httplib::Response &res)
{
    const std::string what = req.path.substr(std::string(kControlPrefix).size());
    Json::Value body;
    if (!req.body.empty() && !parseJson(req.body, body))
    {
        res.status = 400;
        res.set_content(compact(fail("body is not JSON")), "application/json");
        return;
    }
    Json::Value out = ok();
    if (what == "requests")
    {
        Json::Value list(Json::arrayValue);
        for (const auto &r : requests())
            list.append(r.toJson());
        out = ok(list);
    }
    else if (what == "requests/clear")
        clearRequests();
    else if (what == "fault")
    {
        const std::string name = text(body, "route");
        if (name.empty())
        {
            res.status = 400;
            out = fail("fault needs a route");
        }
        else
            setFault(name, Fault::fromJson(body));
    }
    else if (what == "faults/clear")
        clearFaults();
    else if (what == "expire")
        expireAllTokens();
    else if (what == "release")
        releaseHeld();
    else if (what == "inflight")
    {
        Json::Value v(Json::objectValue);
        v["now"] = inFlight();
        v["max"] = maxInFlight();
        out = ok(v);
    }
    else if (what == "inflight/reset")
        resetMaxInFlight();
    else if (what == "session")
    {
        const Session s = createSession(text(body, "uname"));
        if (s.uid == 0)
            out = fail("unknown account");
        else
        {
            Json::Value v(Json::objectValue);
            v["uid"] = s.uid;
            v["uname"] = s.uname;
            v["oauth_token"] = s.token;
            v["oauth_token_secret"] = s.secret;
            out = ok(v);
        }
    }
    else if (what == "courses")
        out = ok(courses());
    else
    {
        res.status = 404;
        out = fail("unknown control " + what);
    }
    res.set_content(compact(out), "application/json; charset=utf-8");
}

std::vector<RequestRecord> PlatformServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log;
}

std::vector<RequestRecord> PlatformServer::requests(const std::string &route) const
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    std::vector<RequestRecord> out;
    for (const auto &r : m_log)
        if (r.route == route)
            out.push_back(r);
    return out;
}

void PlatformServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_log.clear();
}

void PlatformServer::setFault(const std::string &route, const Fault &fault)
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_faults[route] = fault;
}

void PlatformServer::clearFaults()
{
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_faults.clear();
}

void PlatformServer::expireAllTokens()
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    m_sessions.clear();
}

int PlatformServer::inFlight() const
{
    return m_inFlight.load();
}

int PlatformServer::maxInFlight() const
{
    return m_maxInFlight.load();
}

void PlatformServer::resetMaxInFlight()
{
    m_maxInFlight = m_inFlight.load();
}

PlatformServer::Session PlatformServer::createSession(const std::string &uname)
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    for (const auto &a : m_accounts)
    {
        if (text(a, "uname") != uname)
            continue;
        Session s;
        s.uid = static_cast<int>(number(a, "uid"));
        s.uname = uname;
        s.token = randomHex(16);
        s.secret = randomHex(16);
        m_sessions[s.token] = s;
        return s;
    }
    return Session();
}

bool PlatformServer::isUploadToken(const std::string &token) const
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    return m_uploadTokens.count(token) > 0;
}

Json::Value PlatformServer::courses() const
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    return m_courses;
}

// ---- web-API calls (m_dataMutex held) ---------------------------------------------------

Json::Value PlatformServer::courseRow(const Json::Value &course) const
{
    Json::Value row(Json::objectValue);
    row["id"] = text(course, "id");
    row["video_title"] = text(course, "title");
    row["ctime"] = text(course, "ctime", "0");
    return row;
}

Json::Value PlatformServer::videoRow(const Json::Value &video) const
{
    Json::Value row(Json::objectValue);
    for (const char *name : {"video_name", "duration", "size", "upload_time", "video_key", "encrypted"})
        row[name] = text(video, name);
    return row;
}

Json::Value *PlatformServer::findVideo(const std::string &videoKey, Json::Value **course)
{
    for (auto &c : m_courses)
    {
        for (auto &v : c["videos"])
        {
            if (text(v, "video_key") == videoKey)
            {
                if (course)
                    *course = &c;
                return &v;
            }
        }
    }
    return nullptr;
}

Json::Value PlatformServer::callLogin(const Call &call)
{
    const std::string uname = call.record.innerValue("uname");
    const std::string upwd = call.record.innerValue("upwd");
    for (const auto &a : m_accounts)
    {
        if (uname.empty() || text(a, "uname") != uname || text(a, "password") != upwd)
            continue;
        Session s;
        s.uid = static_cast<int>(number(a, "uid"));
        s.uname = uname;
        s.token = randomHex(16);
        s.secret = randomHex(16);
        m_sessions[s.token] = s;
        Json::Value data(Json::objectValue);
        data["uid"] = std::to_string(s.uid);
        data["oauth_token"] = s.token;
        data["oauth_token_secret"] = s.secret;
        data["uname"] = uname;
        return ok(data);
    }
    return fail("用户名或密码错误");
}

Json::Value PlatformServer::callAuthCode(const Call &call)
{
    const std::string mac = call.record.innerValue("mac");
    long long courseId = 0;
    if (mac.empty())
        return fail("缺少机器码");
    if (!parseNumber(call.record.innerValue("courseId"), courseId))
        return fail("课程编号无效");
    for (const auto &c : m_courses)
    {
        if (number(c, "id") != courseId)
            continue;
        Json::Value data(Json::objectValue);
        data["authCode"] = servercrypto::authCode(mac, courseId, text(c, "key", "key-" + std::to_string(courseId)));
        return ok(data);
    }
    return fail("课程不存在");
}

Json::Value PlatformServer::callWebGetKey(const Call &)
{
    Json::Value data(Json::objectValue);
    data["key"] = randomHex(16);
    return ok(data);
}

Json::Value PlatformServer::callUploadToken(const Call &)
{
    const std::string token = "up-" + randomHex(16);
    m_uploadTokens.insert(token);
    Json::Value data(Json::objectValue);
    data["uptoken"] = token;
    return ok(data);
}

Json::Value PlatformServer::callUploadInfo(const Call &call)
{
    const RequestRecord &r = call.record;
    const std::string key = r.innerValue("srcKey");
    if (key.empty())
        return fail("视频标识不能为空");
    // The key reads teacher_course_video_name: the video joins its course when that exists.
    std::vector<std::string> fields;
    size_t pos = 0;
    for (int i = 0; i < 3; ++i)
    {
        const size_t u = key.find('_', pos);
        if (u == std::string::npos)
            break;
        fields.push_back(key.substr(pos, u - pos));
        pos = u + 1;
    }
    if (fields.size() == 3)
    {
        long long courseId = 0;
        parseNumber(fields[1], courseId);
        for (auto &c : m_courses)
        {
            if (number(c, "id") != courseId)
                continue;
            Json::Value v(Json::objectValue);
            v["id"] = fields[2];
            v["video_name"] = key.substr(pos);
            v["duration"] = r.innerValue("duration");
            v["size"] = r.innerValue("size");
            v["upload_time"] = std::to_string(nowSeconds());
            v["video_key"] = key;
            v["encrypted"] = r.innerValue("encrypted");
            v["resolution"] = r.innerValue("resolution");
            c["videos"].append(v);
            break;
        }
    }
    return ok();
}

Json::Value PlatformServer::callRename(const Call &call)
{
    const std::string name = call.record.innerValue("newName");
    if (name.empty())
        return fail("名称不能为空");
    Json::Value *v = findVideo(call.record.innerValue("srcKey"));
    if (!v)
        return fail("视频不存在");
    (*v)["video_name"] = name;
    return ok();
}

Json::Value PlatformServer::callDelete(const Call &call)
{
    Json::Value *course = nullptr;
    const std::string key = call.record.innerValue("srcKey");
    if (!findVideo(key, &course))
        return fail("视频不存在");
    Json::Value kept(Json::arrayValue);
    for (const auto &v : (*course)["videos"])
        if (text(v, "video_key") != key)
            kept.append(v);
    (*course)["videos"] = kept;
    return ok();
}

Json::Value PlatformServer::callCourseList(const Call &call)
{
    long long teacher = 0;
    if (!parseNumber(call.record.innerValue("teacherId"), teacher))
        return fail("教师编号无效");
    const std::string title = call.record.innerValue("title");
    Json::Value list(Json::arrayValue);
    for (const auto &c : m_courses)
        if (number(c, "teacher") == teacher && text(c, "title").find(title) != std::string::npos)
            list.append(courseRow(c));
    return ok(list);
}

Json::Value PlatformServer::callVideoFile(const Call &call)
{
    long long courseId = 0;
    if (!parseNumber(call.record.innerValue("courseId"), courseId))
        return fail("课程编号无效");
    for (const auto &c : m_courses)
    {
        if (number(c, "id") != courseId)
            continue;
        Json::Value list(Json::arrayValue);
        for (const auto &v : c["videos"])
            list.append(videoRow(v));
        return ok(list);
    }
    return fail("课程不存在");
}

Json::Value PlatformServer::callSearch(const Call &call)
{
    const std::string title = call.record.innerValue("title");
    Json::Value list(Json::arrayValue);
    for (const auto &c : m_courses)
        if (number(c, "teacher") == call.session->uid && text(c, "title").find(title) != std::string::npos)
            list.append(courseRow(c));
    return ok(list);
}

Json::Value PlatformServer::callVersion(const Call &call)
{
    // Only a newer version is an offer; "no newer version" is a failure code.
    auto digits = [](const std::string &s) {
        long long n = 0;
        bool any = false;
        for (char c : s)
        {
            if (c >= '0' && c <= '9')
            {
                n = n * 10 + (c - '0');
                any = true;
            }
        }
        return any ? n : -1;
    };
    const long long mine = digits(call.record.innerValue("version"));
    const long long offered = digits(text(m_version, "version"));
    if (!m_version.isObject() || offered < 0 || offered <= mine)
        return fail("当前已是最新版本");
    Json::Value data(Json::objectValue);
    data["version"] = text(m_version, "version");
    data["isForceUpdate"] = text(m_version, "isForceUpdate", "0");
    data["downloadUrl"] = text(m_version, "downloadUrl");
    Json::Value log(Json::arrayValue);
    if (m_version["log"].isArray())
        for (const auto &line : m_version["log"])
            if (line.isString())
                log.append(line);
    data["log"] = compact(log);
    return ok(data);
}

Json::Value PlatformServer::callCreateCourse(const Call &call)
{
    const std::string name = call.record.innerValue("CourseName");
    if (name.empty())
        return fail("课程名称不能为空");
    long long published = 0;
    if (!parseNumber(call.record.innerValue("publish"), published))
        published = nowSeconds();
    Json::Value c(Json::objectValue);
    const long long id = m_nextCourseId++;
    c["id"] = static_cast<Json::Int64>(id);
    c["teacher"] = call.session->uid;
    c["title"] = name;
    c["intro"] = call.record.innerValue("moIntro");
    c["ctime"] = static_cast<Json::Int64>(published);
    c["key"] = "key-" + std::to_string(id);
    c["videos"] = Json::Value(Json::arrayValue);
    m_courses.append(c);
    return ok(Json::Value(static_cast<Json::Int64>(id)));
}

Json::Value PlatformServer::callVideoInfo(const Call &call)
{
    const std::string vid = call.record.innerValue("vid");
    for (const auto &c : m_courses)
    {
        for (const auto &v : c["videos"])
        {
            if (text(v, "id") == vid && !vid.empty())
            {
                Json::Value row = videoRow(v);
                row["id"] = vid;
                return ok(row);
            }
        }
    }
    return fail("视频不存在");
}

Json::Value PlatformServer::callSpace(const Call &)
{
    Json::Value data(Json::objectValue);
    for (const char *name : {"flow", "space", "use_flux", "storage_siz"})
        data[name] = text(m_space, name, "0");
    return ok(data);
}

Json::Value PlatformServer::callLecturer(const Call &call)
{
    for (const auto &a : m_accounts)
    {
        if (number(a, "uid") != call.session->uid)
            continue;
        Json::Value data(Json::objectValue);
        data["uid"] = std::to_string(call.session->uid);
        data["uname"] = text(a, "uname");
        data["name"] = text(a, "name");
        return ok(data);
    }
    return fail("教师不存在");
}

Json::Value PlatformServer::callUploadSave(const Call &)
{
    return ok();
}
