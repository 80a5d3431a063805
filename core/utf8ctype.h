#pragma once
#include <locale.h>

// Makes the calling thread read and write multibyte text as UTF-8 for the
// guard's lifetime, whatever locale the process was started with. Libraries
// that convert names through the C library's locale (libarchive does for
// every entry name) would otherwise refuse any non-ASCII name when the
// program runs under the "C" locale: from a service, a remote shell or a
// minimal session. Only this thread is touched, so other threads and the
// rest of the process keep their locale.
class Utf8CType
{
public:
    Utf8CType();
    ~Utf8CType();
    Utf8CType(const Utf8CType &) = delete;
    Utf8CType &operator=(const Utf8CType &) = delete;

private:
    locale_t m_utf8 = nullptr;
    locale_t m_previous = nullptr;
};
