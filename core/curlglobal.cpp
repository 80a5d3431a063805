#include "curlglobal.h"

#include "zulog.h"

#include <curl/curl.h>
#include <mutex>

bool zuCurlGlobalInit()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        if (!ok)
            logMessage("[ERROR] MAIN :: curl_global_init failed");
    });
    return ok;
}
