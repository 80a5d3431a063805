#pragma once
#include "zulog.h"

#include <QAbstractItemView>
#include <QComboBox>
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

// A box's popup rows are drawn as menu items, which need more room than the
// box gives its own text: without this "-8.0x" shows as "-…x".
inline void fitPopupToItems(QComboBox *box)
{
    box->view()->setMinimumWidth(box->view()->sizeHintForColumn(0) + 2 * box->view()->frameWidth());
}

} // namespace ZuLegacyWindow
