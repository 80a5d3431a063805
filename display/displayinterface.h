#pragma once
#include <QString>

// Settings of a video surface that its owner chooses (the player, a live
// view), kept apart from the widget so that owners configure a surface
// without caring how it paints. Plain class: the widget that derives from it
// brings the QObject side.
class DisplayInterface
{
public:
    virtual ~DisplayInterface() = default;

    // Mouse click/drag and wheel zoom into the picture (off by default).
    void setDigitalZoomEnabled(bool enabled) { m_digitalZoomEnabled = enabled; }
    bool digitalZoomEnabled() const { return m_digitalZoomEnabled; }

    // A double click toggles the surface's top-level window between full
    // screen and normal (off by default; when off a double click resets the
    // digital zoom).
    void setDoubleClickFullscreen(bool enabled) { m_doubleClickFullscreen = enabled; }
    bool doubleClickFullscreen() const { return m_doubleClickFullscreen; }

    // The time of the picture on screen as "yyyy-MM-dd HH:mm:ss.zzz"; empty
    // while no picture is shown.
    virtual QString currentTimestamp() const = 0;

private:
    bool m_digitalZoomEnabled = false;
    bool m_doubleClickFullscreen = false;
};
