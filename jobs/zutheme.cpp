#include "zutheme.h"

#include <QGuiApplication>
#include <QPalette>

namespace ZuTheme {

const char kProgressBarStyle[] =
    "QProgressBar { border: 1px solid grey; border-radius: 5px; text-align: center; color: white; font: 14px; "
    "background-color: rgba(255,255,255,0.2); padding-top: 3px; padding-bottom: 3px; }\n";

bool prefersDark()
{
    const QByteArray forced = qgetenv("ZU_THEME").trimmed().toLower();
    if (forced == "dark")
        return true;
    if (forced == "light")
        return false;
    // Qt 6.4 has no colour-scheme query of its own; the platform theme does
    // hand the desktop's colours to the default palette, so a dark window
    // colour is the best sign of a dark desktop.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    return QGuiApplication::palette().color(QPalette::Active, QPalette::Window).lightness() < 128;
}

} // namespace ZuTheme
