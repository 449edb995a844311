#pragma once

#include <QString>

// Where the platform lives: each host is "name:port" from "start.ini" beside the program,
// section "config" ("api_host", "web_host", "site_host", "docs_host", "upload_host"), each
// overridden by its environment variable (VANTREL_API_HOST, VANTREL_WEB_HOST,
// VANTREL_SITE_HOST, VANTREL_DOCS_HOST, VANTREL_UPLOAD_HOST). Default: the local
// platform server of the demo run, 127.0.0.1:18480. Read anew on every call.
class QPlatformHosts
{
public:
    QPlatformHosts() = delete;

    static QString apiHost();
    static QString webHost();
    static QString siteHost();
    static QString docsHost();
    static QString uploadHost();

    // "http://" + apiHost() + "/": the base that every web-API path follows.
    static QString apiBaseUrl();

    static QString defaultHost();

private:
    static QString host(const char *iniKey, const char *envName);
};
