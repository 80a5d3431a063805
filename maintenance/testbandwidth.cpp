#include "testbandwidth.h"

#include "analysetools.h"
#include "curlglobal.h"
#include "zulog.h"

#include <curl/curl.h>

#include <cstdio>
#include <memory>

TestBandwidth::TestBandwidth(AnalyseTools *owner)
    : owner(owner)
{
}

TestBandwidth::~TestBandwidth()
{
    logMessage("[INFO] Test Bandwidth :: destroy ");
}

size_t TestBandwidth::write_callback(char *, size_t size, size_t count, void *)
{
    return size * count;
}

QString TestBandwidth::resultLine(qint64 bytes, qint64 microseconds, qint64 bytesPerSecond)
{
    const QString size = bytes > 0 ? QString::number(bytes) + QStringLiteral(" bytes") : QString();
    const QString time = microseconds > 0 ? QStringLiteral("%1.%2 sec")
                                                .arg(microseconds / 1000000)
                                                .arg(microseconds % 1000000, 6, 10, QLatin1Char('0'))
                                          : QString();
    const QString speed =
        bytesPerSecond > 0 ? QString::number(bytesPerSecond / 1024) + QStringLiteral(" kbyte/sec.") : QString();
    return QStringLiteral("[INFO] Bandwidth Usage [ DATA %1 / TIME %2 / SPEED %3 ]").arg(size, time, speed);
}

void TestBandwidth::runTest()
{
    if (baseUrl.isEmpty() || running)
        return;
    running = true;
    const QByteArray address = (baseUrl + QStringLiteral("/lib/256k.bytes")).toUtf8();

    // libcurl's global state belongs to the process: set up once, never
    // cleaned up here while other threads may be transferring.
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(zuCurlGlobalInit() ? curl_easy_init() : nullptr,
                                                             &curl_easy_cleanup);
    if (!curl) {
        fprintf(stderr, "Error while fetching '%s' : %s\n", address.constData(), curl_easy_strerror(CURLE_FAILED_INIT));
        running = false;
        return;
    }
    CURL *h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, address.constData());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // An error page is not the test file: its size and speed would mean nothing.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TestBandwidth::write_callback);
    if (address.contains("https")) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
#if LIBCURL_VERSION_NUM >= 0x075700
        curl_easy_setopt(h, CURLOPT_CA_CACHE_TIMEOUT, 604800L);
#endif
    }

    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        fprintf(stderr, "Error while fetching '%s' : %s\n", address.constData(), curl_easy_strerror(rc));
    } else {
        curl_off_t bytes = 0, micros = 0, speed = 0;
        if (curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &bytes) != CURLE_OK)
            bytes = 0;
        if (curl_easy_getinfo(h, CURLINFO_TOTAL_TIME_T, &micros) != CURLE_OK)
            micros = 0;
        if (curl_easy_getinfo(h, CURLINFO_SPEED_DOWNLOAD_T, &speed) != CURLE_OK)
            speed = 0;
        if (owner)
            owner->writeAnalyse(resultLine(bytes, micros, speed));
    }
    curl.reset();
    running = false;
}
