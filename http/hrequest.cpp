#include "hrequest.h"

#include <cstdio>
#include <map>
#include <mutex>

#include <QCoreApplication>
#include <QUrl>

namespace
{
    // libcurl's process-wide set-up, once, before the first handle (workers may race to it).
    void initCurlOnce()
    {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }

    const char *const kPrefix = QT_TRANSLATE_NOOP("HRequest", "网络连接失败：");
    const char *const kDefaultReason = QT_TRANSLATE_NOOP("HRequest", "网址被拦截");

    const std::map<int, const char *> &reasons()
    {
        static const std::map<int, const char *> table = {
            {0, QT_TRANSLATE_NOOP("HRequest", "访问地址未返回结果")},
            {1, QT_TRANSLATE_NOOP("HRequest", "错误的协议")},
            {2, QT_TRANSLATE_NOOP("HRequest", "初始化代码失败")},
            {3, QT_TRANSLATE_NOOP("HRequest", "URL格式不正确")},
            {4, QT_TRANSLATE_NOOP("HRequest", "请求协议错误")},
            {5, QT_TRANSLATE_NOOP("HRequest", "无法解析代理")},
            {6, QT_TRANSLATE_NOOP("HRequest", "无法解析主机地址")},
            {7, QT_TRANSLATE_NOOP("HRequest", "无法连接到主机")},
            {8, QT_TRANSLATE_NOOP("HRequest", "远程服务器不可用")},
            {9, QT_TRANSLATE_NOOP("HRequest", "访问资源错误")},
            {11, QT_TRANSLATE_NOOP("HRequest", "FTP密码错误")},
            {13, QT_TRANSLATE_NOOP("HRequest", "结果错误")},
            {14, QT_TRANSLATE_NOOP("HRequest", "FTP回应PASV命令")},
            {15, QT_TRANSLATE_NOOP("HRequest", "内部故障")},
            {17, QT_TRANSLATE_NOOP("HRequest", "设置传输模式为二进制")},
            {18, QT_TRANSLATE_NOOP("HRequest", "文件传输短或大于预期")},
            {19, QT_TRANSLATE_NOOP("HRequest", "RETR命令传输完成")},
            {21, QT_TRANSLATE_NOOP("HRequest", "命令成功完成")},
            {22, QT_TRANSLATE_NOOP("HRequest", "返回正常")},
            {23, QT_TRANSLATE_NOOP("HRequest", "数据写入失败")},
            {25, QT_TRANSLATE_NOOP("HRequest", "无法启动上传")},
            {26, QT_TRANSLATE_NOOP("HRequest", "回调错误")},
            {27, QT_TRANSLATE_NOOP("HRequest", "内存分配请求失败")},
            {28, QT_TRANSLATE_NOOP("HRequest", "访问超时")},
            {30, QT_TRANSLATE_NOOP("HRequest", "FTP端口错误")},
            {31, QT_TRANSLATE_NOOP("HRequest", "FTP错误")},
            {33, QT_TRANSLATE_NOOP("HRequest", "不支持请求")},
            {34, QT_TRANSLATE_NOOP("HRequest", "内部发生错误")},
            {35, QT_TRANSLATE_NOOP("HRequest", "SSL/TLS握手失败")},
            {36, QT_TRANSLATE_NOOP("HRequest", "下载无法恢复")},
            {37, QT_TRANSLATE_NOOP("HRequest", "文件权限错误")},
            {38, QT_TRANSLATE_NOOP("HRequest", "LDAP可没有约束力")},
            {39, QT_TRANSLATE_NOOP("HRequest", "LDAP搜索失败")},
            {41, QT_TRANSLATE_NOOP("HRequest", "函数没有找到")},
            {42, QT_TRANSLATE_NOOP("HRequest", "中止的回调")},
            {43, QT_TRANSLATE_NOOP("HRequest", "内部错误")},
            {45, QT_TRANSLATE_NOOP("HRequest", "接口错误")},
            {47, QT_TRANSLATE_NOOP("HRequest", "过多的重定向")},
            {48, QT_TRANSLATE_NOOP("HRequest", "无法识别选项")},
            {49, QT_TRANSLATE_NOOP("HRequest", "TELNET格式错误")},
            {51, QT_TRANSLATE_NOOP("HRequest", "远程服务器的SSL证书无效")},
            {52, QT_TRANSLATE_NOOP("HRequest", "服务器无返回内容")},
            {53, QT_TRANSLATE_NOOP("HRequest", "找不到SSL 加密引擎")},
            {54, QT_TRANSLATE_NOOP("HRequest", "设定默认SSL加密失败")},
            {55, QT_TRANSLATE_NOOP("HRequest", "无法发送网络数据")},
            {56, QT_TRANSLATE_NOOP("HRequest", "无法接收网络数据")},
            {58, QT_TRANSLATE_NOOP("HRequest", "本地客户端证书无效")},
            {59, QT_TRANSLATE_NOOP("HRequest", "无法使用指定的SSL 密码。")},
            {60, QT_TRANSLATE_NOOP("HRequest", "peer 证书无法被已知的CA 证书验证")},
            {61, QT_TRANSLATE_NOOP("HRequest", "无法识别的传输编码")},
            {62, QT_TRANSLATE_NOOP("HRequest", "无效的LDAP URL")},
            {63, QT_TRANSLATE_NOOP("HRequest", "文件超过最大大小")},
            {64, QT_TRANSLATE_NOOP("HRequest", "要求的FTP 的SSL 水平失败")},
            {65, QT_TRANSLATE_NOOP("HRequest", "发送此数据需要的回卷(rewind)失败")},
            {66, QT_TRANSLATE_NOOP("HRequest", "初始化SSL 引擎失败")},
            {67, QT_TRANSLATE_NOOP("HRequest", "服务器拒绝登录")},
            {68, QT_TRANSLATE_NOOP("HRequest", "在TFTP 服务器上找不到文件")},
            {69, QT_TRANSLATE_NOOP("HRequest", "TFTP 服务器权限有问题")},
            {70, QT_TRANSLATE_NOOP("HRequest", "TFTP 服务器磁盘空间不足")},
            {71, QT_TRANSLATE_NOOP("HRequest", "非法的TFTP 操作")},
            {72, QT_TRANSLATE_NOOP("HRequest", "未知TFTP 传输编号(ID)")},
            {73, QT_TRANSLATE_NOOP("HRequest", "文件已存在(TFTP)")},
            {74, QT_TRANSLATE_NOOP("HRequest", "错误TFTP服务器")},
            {75, QT_TRANSLATE_NOOP("HRequest", "字符转换失败")},
            {76, QT_TRANSLATE_NOOP("HRequest", "必须记录回调")},
            {77, QT_TRANSLATE_NOOP("HRequest", "读SSL 证书出现问题")},
            {78, QT_TRANSLATE_NOOP("HRequest", "URL中引用资源不存在")},
            {79, QT_TRANSLATE_NOOP("HRequest", "SSH 会话期间发生一个未知错误")},
            {80, QT_TRANSLATE_NOOP("HRequest", "无法关闭SSL连接")},
            {81, QT_TRANSLATE_NOOP("HRequest", "服务未准备")},
            {82, QT_TRANSLATE_NOOP("HRequest", "无法载入CRL文件")},
            {83, QT_TRANSLATE_NOOP("HRequest", "发行人检查失败")},
            {404, QT_TRANSLATE_NOOP("HRequest", "访问网址不存在")},
        };
        return table;
    }

    struct ReplySink
    {
        QByteArray *buffer;
    };
}

HRequest::HRequest(QObject *parent)
    : QObject(parent)
{
}

HRequest::HRequest(const QString &url, QObject *parent)
    : QObject(parent)
    , m_url(url)
    , m_timeout(20)
{
}

HRequest::~HRequest()
{
    if (m_headers)
        curl_slist_free_all(m_headers);
}

void HRequest::setUrl(const QString &url)
{
    m_url = url;
}

void HRequest::setMethod(quint8 method)
{
    m_method = method;
}

void HRequest::setRawBytes(bool rawBytes)
{
    m_rawBytes = rawBytes;
}

void HRequest::setTimeout(int seconds)
{
    m_timeout = seconds;
}

void HRequest::setBody(const QString &body)
{
    m_body = body.toUtf8();
}

void HRequest::addParam(const QString &key, const QString &value)
{
    m_params.append(QStringLiteral("%1=%2").arg(key, QString::fromLatin1(QUrl::toPercentEncoding(value))));
}

void HRequest::addHeader(const QString &name, const QString &value)
{
    const QByteArray line = QStringLiteral("%1:%2").arg(name, value).toUtf8();
    curl_slist *list = curl_slist_append(m_headers, line.constData());
    if (list)
        m_headers = list;
}

QString HRequest::url() const
{
    return m_url;
}

QStringList HRequest::params() const
{
    return m_params;
}

std::string HRequest::fullUrl() const
{
    return (m_url + m_params.join(QLatin1Char('&'))).toUtf8().toStdString();
}

int HRequest::perform(QByteArray *reply)
{
    initCurlOnce();
    CURL *curl = curl_easy_init();
    if (!curl)
        return -1;

    QByteArray scratch;
    ReplySink sink {reply ? reply : &scratch};
    const std::string address = fullUrl();
    if (m_headers)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &HRequest::onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &m_contentLength);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (m_method == Post)
    {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, m_body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(m_body.size()));
    }
    else if (m_method == Head)
    {
        curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HRequest::onWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "libcurl-agent/1.0");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &HRequest::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (m_timeout > 0)
    {
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(m_timeout));
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(m_timeout));
    }

    const CURLcode result = m_abandoned ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);

    if (result != CURLE_OK)
        return static_cast<int>(result);
    if (status != 200)
        return static_cast<int>(status);
    return 0;
}

bool HRequest::requestJson(QValue &data, QString &error)
{
    QByteArray reply;
    const int code = perform(&reply);
    if (code != 0)
    {
        error = errorText(code);
        return false;
    }
    return parseResult(reply, data, error);
}

bool HRequest::parseResult(const QByteArray &reply, QValue &data, QString &error)
{
    try
    {
        QValue root;
        if (!parseJson(reply, root) || !root.isObject() || !root.isMember("code"))
        {
            error = errorText(3);
            return false;
        }
        // Only a JSON integer is a code: null, bool, text or a fraction make the envelope invalid.
        const QValue &code = root["code"];
        if ((code.type() != Json::intValue && code.type() != Json::uintValue) || !code.isInt())
        {
            error = errorText(3);
            return false;
        }
        const int value = code.asInt();
        if (value == 0)
        {
            data = root.isMember("data") ? root["data"] : QValue();
            return true;
        }
        if (value == 4)
            emit tokenInvalid();
        const QValue &msg = root["msg"];
        error = msg.isString() ? QString::fromStdString(msg.asString()) : QString();
        return false;
    }
    catch (...)
    {
        error = errorText(3);
        return false;
    }
}

QString HRequest::errorText(int code)
{
    const auto &table = reasons();
    const auto it = table.find(code);
    const char *reason = it != table.end() ? it->second : kDefaultReason;
    // One arg() pass: a translated prefix may not capture the code's place marker.
    return QStringLiteral("%1(%2)").arg(QCoreApplication::translate("HRequest", kPrefix), QString::number(code))
        + QCoreApplication::translate("HRequest", reason);
}

void HRequest::run()
{
    if (m_rawBytes)
    {
        QByteArray reply;
        const int code = perform(&reply);
        if (code == 0)
            emit bytesFinished(true, reply, QString());
        else
            emit bytesFinished(false, reply, errorText(code));
        return;
    }
    QValue data;
    QString error;
    const bool ok = requestJson(data, error);
    emit jsonFinished(ok, data, error);
}

qint64 HRequest::contentLength() const
{
    return m_contentLength;
}

bool HRequest::hasListener() const
{
    return receivers(SIGNAL(jsonFinished(bool, const QValue &, const QString &))) > 0
        || receivers(SIGNAL(bytesFinished(bool, const QByteArray &, const QString &))) > 0;
}

void HRequest::abandon()
{
    m_abandoned = true;
}

int HRequest::onProgress(void *userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<HRequest *>(userData)->m_abandoned ? 1 : 0;
}

size_t HRequest::onHeader(char *buffer, size_t size, size_t count, void *userData)
{
    const size_t n = size * count;
    // The line is not NUL-terminated: scan a copy of exactly its bytes.
    const std::string line(buffer, n);
    long long value = 0;
    if (std::sscanf(line.c_str(), "Content-Length: %lld\n", &value) == 1)
        *static_cast<qint64 *>(userData) = value;
    return n;
}

size_t HRequest::onWrite(char *data, size_t size, size_t count, void *userData)
{
    ReplySink *sink = static_cast<ReplySink *>(userData);
    const size_t n = size * count;
    if (sink->buffer->size() + static_cast<qint64>(n) > MaxReplyBytes)
        return 0;
    sink->buffer->append(data, static_cast<int>(n));
    return n;
}
