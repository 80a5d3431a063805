#pragma once
#include "zulog.h"

#include <QElapsedTimer>
#include <QString>

// Shared by the window's two source files.
namespace ZuLegacyWindow {

inline void info(const QString &text)
{
    logMessage(QStringLiteral("[INFO] Zuplayer Display :: ") + text);
}

// A steady clock in nanoseconds for the build-time log lines.
inline qint64 steadyNs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.nsecsElapsed();
}

} // namespace ZuLegacyWindow
