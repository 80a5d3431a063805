#include "utf8ctype.h"

#include <initializer_list>

Utf8CType::Utf8CType()
{
    // C.UTF-8 is built into glibc; a distribution's own UTF-8 locales are the
    // fallback for a C library that lacks it.
    for (const char *name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
        m_utf8 = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr));
        if (m_utf8)
            break;
    }
    if (m_utf8)
        m_previous = uselocale(m_utf8);
}

Utf8CType::~Utf8CType()
{
    if (!m_utf8)
        return;
    uselocale(m_previous);
    freelocale(m_utf8);
}
