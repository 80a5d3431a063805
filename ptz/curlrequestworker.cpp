#include "curlrequestworker.h"

#include <curl/curl.h>

#include <cstring>

namespace {
constexpr long kConnectTimeoutMs = 5000;
constexpr long kTransferTimeoutMs = 15000;
constexpr long kLowSpeedTimeS = 10;
constexpr long kCaCacheTimeoutS = 604800;

size_t writeCallback(char *data, size_t size, size_t count, void *userdata)
{
    auto *response = static_cast<QByteArray *>(userdata);
    const size_t n = size * count;
    if (n > size_t(CurlRequestWorker::kMaxResponseBytes - response->size()))
        return 0;
    response->append(data, qsizetype(n));
    return n;
}

int progressCallback(void *clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<std::atomic_bool *>(clientp)->load() ? 1 : 0;
}

QString curlMessage(CURLcode code, const char *errorBuffer)
{
    QString text = QStringLiteral("Erreur libcurl (%1): %2").arg(int(code)).arg(QString::fromUtf8(curl_easy_strerror(code)));
    const size_t n = strnlen(errorBuffer, CURL_ERROR_SIZE);
    if (n > 0)
        text += QStringLiteral(" | ") + QString::fromUtf8(errorBuffer, qsizetype(n));
    return text;
}

QString httpMessage(long status)
{
    QString text = QStringLiteral("HTTP %1").arg(status);
    if (status == 401)
        text += QStringLiteral(" (Unauthorized - check login/password or auth scheme)");
    else if (status == 403)
        text += QStringLiteral(" (Forbidden)");
    return text;
}
} // namespace

CurlRequestWorker::CurlRequestWorker(QString url_, QString user_, QString password_, QByteArray body_, QObject *parent)
    : QObject(parent)
    , url(std::move(url_))
    , user(std::move(user_))
    , password(std::move(password_))
    , body(std::move(body_))
    , m_cancel(std::make_shared<std::atomic_bool>(false))
{
}

CurlRequestWorker::~CurlRequestWorker() = default;

void CurlRequestWorker::run_get_request() { perform_request("GET"); }
void CurlRequestWorker::run_post_request() { perform_request("POST"); }
void CurlRequestWorker::run_put_request() { perform_request("PUT"); }

void CurlRequestWorker::requestCancel() { m_cancel->store(true); }

void CurlRequestWorker::perform_request(const char *method)
{
    const bool isPut = std::strcmp(method, "PUT") == 0;
    const bool isPost = std::strcmp(method, "POST") == 0;
    if (isPut && body.isEmpty()) {
        emit error(QStringLiteral("PUT body is empty"));
        emit result(QString(), -1, CURLE_BAD_FUNCTION_ARGUMENT);
        return;
    }
    CURL *curl = curl_easy_init();
    if (!curl) {
        emit error(QStringLiteral("Échec d'initialisation de libcurl"));
        return;
    }
    const bool isapi = url.contains(QLatin1String("/ISAPI/"), Qt::CaseInsensitive);
    const QByteArray urlBytes = url.toUtf8();
    const QByteArray userPwd = (user + QLatin1Char(':') + password).toUtf8();
    char errorBuffer[CURL_ERROR_SIZE];
    std::memset(errorBuffer, 0, sizeof errorBuffer);
    QByteArray response;
    struct curl_slist *headers = nullptr;

    curl_easy_setopt(curl, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    curl_easy_setopt(curl, CURLOPT_USERPWD, userPwd.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    if (url.startsWith(QLatin1String("https://"))) {
        if (insecureTls) {
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        }
        curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, kCaCacheTimeoutS);
    }
    if (isPost) {
        headers = curl_slist_append(headers, "Expect:");
        headers = curl_slist_append(headers, "Content-Type: application/json");
        headers = curl_slist_append(headers, "Accept: application/json");
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
    } else if (isPut) {
        headers = curl_slist_append(headers, "Expect:");
        if (isapi) {
            headers = curl_slist_append(headers, "Content-Type: application/xml; charset=utf-8");
            headers = curl_slist_append(headers, "Accept: application/xml");
        } else {
            headers = curl_slist_append(headers, "Content-Type: application/json");
            headers = curl_slist_append(headers, "Accept: */*");
        }
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    if (headers)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTransferTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeS);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, m_cancel.get());

    long status = -1;
    auto perform = [&] {
        response.clear();
        errorBuffer[0] = '\0';
        const CURLcode rc = curl_easy_perform(curl);
        status = -1;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        // libcurl reports 0 when no status line was read.
        if (status == 0)
            status = -1;
        return rc;
    };
    // A retry goes out on a new connection: some cameras tie the
    // authentication state (or the fault) to the connection.
    auto retry = [&](long auth) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, auth);
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        const CURLcode rc = perform();
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 0L);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 0L);
        return rc;
    };

    CURLcode rc = perform();
    if (rc == CURLE_OK && status == 401 && !m_cancel->load()) {
        long avail = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTPAUTH_AVAIL, &avail);
        if (avail & CURLAUTH_DIGEST)
            rc = retry(CURLAUTH_DIGEST);
        else if (avail & CURLAUTH_BASIC)
            rc = retry(CURLAUTH_BASIC);
    }
    if (isapi && rc == CURLE_RECV_ERROR && !m_cancel->load())
        rc = retry(CURLAUTH_BASIC);

    const QString text = QString::fromUtf8(response);
    if (m_cancel->load()) {
        emit error(QStringLiteral("Requête annulée par l'utilisateur"));
    } else if (rc != CURLE_OK) {
        emit error(curlMessage(rc, errorBuffer));
        emit result(text, int(status), int(rc));
    } else if (status < 400) {
        emit finished(text);
        emit result(text, int(status), 0);
    } else {
        emit error(httpMessage(status));
        emit result(text, int(status), 0);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}
