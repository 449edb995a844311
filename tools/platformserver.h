#pragma once

// Local stand-in for the course platform's web API: binds 127.0.0.1 only, serves the calls of
// the program from a JSON fixture, and keeps a request log and per-route faults for tests.
//
// Control routes for tests that run the server as a child (JSON replies in the envelope):
//   GET  /_test/requests        the request log (RequestRecord::toJson each)
//   POST /_test/requests/clear
//   POST /_test/fault           body: {"route": "Video/getAuthCode", Fault::toJson members}
//   POST /_test/faults/clear
//   POST /_test/expire          every session ends (code 4 until the next sign-in)
//   POST /_test/release         the replies held by a "hold" fault go out
//   GET  /_test/inflight        {"now": n, "max": m};  POST /_test/inflight/reset
//   POST /_test/session         body {"uname": "demo"}: a session without a sign-in call
//   GET  /_test/courses         courses and videos as they stand

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <json/json.h>

#include "servercrypto.h"

class CloudServer;

// One request as the server received it.
struct RequestRecord
{
    std::string method;
    std::string path;            // HTTP path, "/index.php" for web-API calls
    std::string route;           // "mod/act" of a web-API call ("Login/login"), else the path
    std::string target;          // the request target exactly as received
    servercrypto::Pairs clear;   // query parameters in order, percent-decoded
    servercrypto::Pairs inner;   // parameters inside "key", in order, decoded
    std::string innerText;       // the deciphered text of "key", values still percent-encoded
    bool hasKey = false;
    std::string keyError;        // empty when "key" decoded (or was absent)
    std::string lang;            // the "lang" header
    std::string userAgent;
    size_t bodyLength = 0;

    std::vector<std::string> clearNames() const;
    std::string clearValue(const std::string &name) const;
    std::string innerValue(const std::string &name) const;
    Json::Value toJson() const;
    static RequestRecord fromJson(const Json::Value &value);
};

// What a route answers instead of (or on top of) its normal reply.
struct Fault
{
    int delayMs = 0;             // wait before answering
    int status = 0;              // HTTP status; 0 keeps 200
    bool replaceBody = false;    // answer `body` as it is
    std::string body;
    std::string contentType = "text/html; charset=utf-8";
    Json::Value patch;           // members written over the reply envelope, e.g. {"code": "0"}
    Json::Value dataPatch;       // members written over "data" (over each element of an array)
    int count = -1;              // requests it applies to; -1 until cleared
    bool hold = false;           // the route does its work, then its reply waits for releaseHeld()
    bool holdWork = false;       // the route waits for releaseHeld() before it does its work
    // The reply is broken off after half its body, the connection closed: "chunked" (chunked
    // transfer coding), "length" (a Content-Length of the whole body), "close" (neither: the
    // body ends with the connection). Empty: sent whole.
    std::string cut;

    Json::Value toJson() const;
    static Fault fromJson(const Json::Value &value);
};

class PlatformServer
{
public:
    struct Session
    {
        int uid = 0;
        std::string uname;
        std::string token;
        std::string secret;
    };
    // Builds the reply of a route; `record` is the logged request.
    using Handler = std::function<void(const httplib::Request &, httplib::Response &, const RequestRecord &)>;

    explicit PlatformServer(const Json::Value &fixture);
    ~PlatformServer();
    PlatformServer(const PlatformServer &) = delete;
    PlatformServer &operator=(const PlatformServer &) = delete;

    // Reads a fixture file; null with `error` set when it is missing or not a JSON object.
    static Json::Value readFixture(const std::string &path, std::string *error = nullptr);
    static std::string demoFixturePath();
    // A server on `fixture` with the cloud routes attached, started on a free port; null when
    // that fails.
    static std::unique_ptr<PlatformServer> startWith(const Json::Value &fixture);
    // The same on the demo fixture (user "demo", password "demo123").
    static std::unique_ptr<PlatformServer> startDemo();

    // Binds 127.0.0.1:port (0: any free port), serves on its own thread; the bound port or -1.
    int start(int port = 0);
    void stop();
    int port() const;
    std::string host() const;       // "127.0.0.1:<port>"
    httplib::Server &http();
    // The cloud routes attached by startWith()/startDemo(); null otherwise.
    CloudServer *cloud() const;

    // Adds a route that is logged, counted in flight and subject to faults under `name`.
    void route(const std::string &method, const std::string &pattern, const std::string &name, Handler handler);

    // Request log.
    std::vector<RequestRecord> requests() const;
    std::vector<RequestRecord> requests(const std::string &route) const;
    void clearRequests();

    // Fault injection per route name ("Video/getAuthCode", "/" ...).
    void setFault(const std::string &route, const Fault &fault);
    void clearFaults();
    // Every session ends: authenticated calls answer code 4 until the next sign-in.
    void expireAllTokens();
    // Replies held by a "hold" fault go out (those held later wait for the next release).
    void releaseHeld();
    // Requests whose reply is held now.
    int held() const;

    int inFlight() const;
    int maxInFlight() const;
    void resetMaxInFlight();

    // Signs an account in without a call (for tests that start signed in); uid 0 when unknown.
    Session createSession(const std::string &uname);
    bool isUploadToken(const std::string &token) const;
    // Courses and videos as they stand now.
    Json::Value courses() const;

private:
    struct Call
    {
        const RequestRecord &record;
        const Session *session;
    };
    using CallHandler = Json::Value (PlatformServer::*)(const Call &);

    void installRoutes();
    void handleApi(const httplib::Request &req, httplib::Response &res, const RequestRecord &record);
    void handleControl(const httplib::Request &req, httplib::Response &res);
    RequestRecord makeRecord(const httplib::Request &req) const;
    bool takeFault(const std::string &route, Fault &fault);
    void sleepInterruptible(int ms);
    // Waits for releaseHeld() or the server's stop, at most `ms`.
    void waitForRelease(int ms);
    std::string randomHex(size_t bytes);

    Json::Value callLogin(const Call &call);
    Json::Value callAuthCode(const Call &call);
    Json::Value callWebGetKey(const Call &call);
    Json::Value callUploadToken(const Call &call);
    Json::Value callUploadInfo(const Call &call);
    Json::Value callRename(const Call &call);
    Json::Value callDelete(const Call &call);
    Json::Value callCourseList(const Call &call);
    Json::Value callVideoFile(const Call &call);
    Json::Value callSearch(const Call &call);
    Json::Value callVersion(const Call &call);
    Json::Value callCreateCourse(const Call &call);
    Json::Value callVideoInfo(const Call &call);
    Json::Value callSpace(const Call &call);
    Json::Value callLecturer(const Call &call);
    Json::Value callUploadSave(const Call &call);

    Json::Value courseRow(const Json::Value &course) const;
    Json::Value videoRow(const Json::Value &video) const;
    Json::Value *findVideo(const std::string &videoKey, Json::Value **course = nullptr);

    httplib::Server m_http;
    std::unique_ptr<CloudServer> m_cloud;
    std::thread m_thread;
    int m_port = -1;
    std::map<std::string, CallHandler> m_calls;

    mutable std::mutex m_dataMutex;     // fixture data, sessions, upload tokens, random source
    Json::Value m_accounts;
    Json::Value m_courses;
    Json::Value m_version;
    Json::Value m_space;
    long long m_nextCourseId = 1000;
    std::map<std::string, Session> m_sessions;
    std::set<std::string> m_uploadTokens;
    unsigned long long m_randomState = 0;

    mutable std::mutex m_logMutex;      // request log and faults
    std::vector<RequestRecord> m_log;
    std::map<std::string, Fault> m_faults;

    std::atomic<int> m_inFlight {0};
    std::atomic<int> m_maxInFlight {0};

    mutable std::mutex m_stopMutex;     // also guards the two counts of held replies
    std::condition_variable m_stopCondition;
    bool m_stopping = false;
    unsigned long long m_releases = 0;
    int m_held = 0;
};
