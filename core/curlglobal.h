#pragma once

// libcurl's global state must be set up once per process, before any thread
// uses it, and never torn down while a transfer might still run: start-up
// (and each test program's set-up) calls this; nothing calls
// curl_global_cleanup. Safe to call more than once and from any thread.
bool zuCurlGlobalInit();
