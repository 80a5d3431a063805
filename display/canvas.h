#pragma once
#include "canvaspicture.h"
#include "displayinterface.h"

#include <QImage>
#include <QMutex>
#include <QPoint>
#include <QPointer>
#include <QMetaType>
#include <QSize>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>

class NativePTZInterface;
class PtzCtrlWeb;
class QTimer;

// The video surface: paints the picture it was last given, letterboxed in
// the widget with the draw-overlay text (top left), the timestamp box
// (bottom right) and an information line, and zooms into it digitally.
//
// Pictures arrive through displayFrame(), usually from the playback engine
// through a queued connection. The canvas copies the picture under its mutex
// during the call and never keeps the caller's pointer, so painting never
// reads memory that another object may free; the caller only has to keep its
// buffer valid until the slot has run (see ZuStreamReadAndControl for how the
// engine does that).
//
// Digital zoom (when setDigitalZoomEnabled(true)): the wheel zooms in or out
// around the pointer; without zoom a left-button drag draws the rectangle to
// zoom into, with zoom a left-button drag moves the zoomed view; a right
// click, or a double click when double-click full screen is off, shows the
// whole picture again.
//
// PTZ: once a camera driver (setNativePtz) or a recorder's web PTZ page
// (setWebPtz) is set, mouse and wheel steer the camera instead of zooming
// digitally. The driver is used while it is available and enabled, the web
// page otherwise. A click, a rectangle drawn with the left button, a right
// click and the wheel each give one command; holding the left button still
// for kPtzHoldMs moves the camera toward the held point until the button is
// released or the pointer leaves the surface. Coordinates are frame pixels.
class Canvas : public QWidget, public DisplayInterface
{
    Q_OBJECT
public:
    // Largest picture side accepted by displayFrame(); larger ones are refused.
    static constexpr int kMaxSide = 16384;
    // Deepest digital zoom (the visible part is 1/kMaxZoom of each side).
    static constexpr qreal kMaxZoom = 16.0;
    // A left button held this long without moving is a continuous move.
    static constexpr int kPtzHoldMs = 300;
    // Delay of the ONVIF driver's re-sent move or stop.
    static constexpr int kOnvifRetryMs = 500;
    // Longest fault text of a PTZ status shown and logged (on one line).
    static constexpr int kMaxPtzFault = 200;

    explicit Canvas(QWidget *parent = nullptr);
    ~Canvas() override;

    // "yyyy-MM-dd HH:mm:ss.zzz" of the picture on screen, empty without one.
    QString currentTimestamp() const override;

    // The canvas is fed by the player's own engine: it starts no stream
    // client of its own, and the end of a display is decided by its owner.
    void set_player_fed();
    bool isPlayerFed() const;

    // true: a stream (another camera or file) starts: the old picture, the
    // pictures still queued to the surface and the zoom are dropped and
    // "Chargement..." is shown until the first picture.
    // false: nothing is being started.
    void setStreamStart(bool started);

    // Ends the current display: forgets the picture, its texts, the pictures
    // still queued to the surface and the zoom.
    // The canvas stays usable; it does not emit endingsignal(), because its
    // owner asked for the end and may feed the next stream right away.
    void setEnding();

    // true marks the display stopped: status "disconnecting", the picture is
    // kept but dimmed, and repainted. A canvas that is not fed by the player
    // (a live view) also emits endingsignal(), since its owner then tears the
    // view down. false clears the stopped state.
    void setup_disconnect(bool disconnected);
    bool isDisconnected() const;
    // The status word of the surface: "idle", "connecting", "playing" or "disconnecting".
    QString status() const;

    // The picture on screen at its own size as Format_RGB32, with the
    // timestamp box painted in its bottom-right corner; a null image while no
    // picture is shown. `id` and `url` name a snapshot upload, which this
    // surface does not do: both are expected empty, a non-empty url is
    // logged and ignored.
    QImage get_snapshot(const QString &id, const QString &url);
    // The same with the full overlay: the draw-overlay text in the top-left
    // corner and the information line (size, frames per second, frame id).
    QImage get_snapshot_full(const QString &id, const QString &url);
    // The picture on screen at its own size without any overlay (null when none).
    QImage currentImage() const;
    bool hasPicture() const;
    QString currentOverlay() const;
    int currentFrameId() const;
    // Number of pictures accepted since construction.
    qint64 receivedFrames() const;

    // Digital zoom state: the visible part of the picture in picture
    // fractions ((0,0,1,1) when not zoomed) and the zoom factor (>= 1).
    QRectF zoomRect() const;
    qreal zoomFactor() const;
    void resetZoom();
    // Zooms by `factor` (> 1 in, < 1 out) keeping the picture point under
    // the widget position `pos` in place.
    void zoomAt(const QPointF &pos, qreal factor);
    // Where the visible part of the picture is painted in the widget (empty
    // without a picture).
    QRectF pictureRect() const;
    // The surface's size in device pixels.
    QSize viewArea() const;
    // Whether the last paint drew a picture made for the view as it was,
    // without scaling.
    bool paintedPrepared() const;
    // Where a picture of `pictureSize` is placed in a surface of `area`
    // when the part `zoom` of it is shown: the scaled size of that part.
    static QSize shownSize(const QSize &pictureSize, const QRectF &zoom, const QSize &area);
    // That part in picture pixels.
    static QRect zoomPixels(const QSize &pictureSize, const QRectF &zoom);

    // The recorder's web PTZ page: its base URL and session; an empty base
    // switches web PTZ off. The web client is created at the first gesture
    // that needs it and kept until the canvas goes.
    void setWebPtz(const QString &baseUrl, const QString &session);
    // The camera's own driver (not owned; null switches native PTZ off). Its
    // status messages are shown on the picture, and -99 switches it off.
    void setNativePtz(NativePTZInterface *driver);
    // The camera index handed to the driver with every command.
    void setPtzIndex(int index);
    // Null until the first web PTZ gesture.
    PtzCtrlWeb *webPtzClient() const { return m_webPtz.get(); }
    // The last PTZ status shown on the picture (empty when none).
    QString ptzStatusText() const;

public slots:
    // Takes one picture for display. Arguments:
    //  data        BGRA bytes (B, G, R, A per pixel), `height` rows; copied
    //              during the call, never kept
    //  width, height  picture size in pixels, 1..kMaxSide
    //  bytesPerLine   distance between rows in bytes, at least 4 * width
    //  timestamp   the picture's time, "yyyyMMddHHmmsszzz" (recordings) or
    //              "yyyy-MM-dd HH:mm:ss.zzz" (live streams)
    //  overlay     the draw-overlay text (camera name), may be empty
    //  keyframe    the picture was a key frame of its stream
    //  frameId     the frame's counter
    //  fps         the stream's frames per second, -1 when unknown
    //  still       true for a single picture shown on request (seek, step,
    //              pause), false while playing continuously
    // Invalid arguments (null data, bad size or stride) are logged and dropped.
    void displayFrame(uint8_t *data, int width, int height, int bytesPerLine, QString timestamp,
                      QString overlay, bool keyframe, int frameId, double fps, bool still);
    // The same for a picture that needs no copy: `picture.full` is kept as
    // it is (shared), and `picture.shown` is painted as it is while it was
    // made for the surface's present size and zoom (viewChanged()); otherwise
    // the visible part is scaled from the full picture while painting.
    // Called on the surface's thread, it paints the picture before it
    // returns.
    void displayPicture(CanvasPicture picture, QString timestamp, QString overlay, bool keyframe, int frameId,
                        double fps, bool still);

    // A native driver's status: shown on the picture; -99 (the camera
    // cannot be reached) switches native PTZ off.
    void get_direct_ptz_message(int status, QString command, QString fault, QString driver);
    // The ONVIF driver's reply to a move: a negative code re-sends the move
    // while the button is still held, code 2 sends a stop, each kOnvifRetryMs
    // later and only while neither is already scheduled.
    void onvif_request_finished(int request_code);
    // The web client could not send the release that stops a move: send it again.
    void zuptz_request_security_stop();

signals:
    // A live display ended on its own (see setup_disconnect).
    void endingsignal();
    // A live display switched to another stream id by itself; the player's
    // recordings never do.
    void set_id_stream(QString id);
    // A picture was accepted (emitted on the canvas's thread after the copy).
    void frameDisplayed(QString timestamp);
    // The size in device pixels or the zoom of the surface changed: pictures
    // made for this view are painted without scaling.
    void viewChanged(QSize area, QRectF zoom);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    enum class Drag { None, Select, Pan };
    enum class PtzRoute { None, Native, Web };

    QImage snapshot(bool full);
    void dropQueuedPictures();
    // Converts a time text to "yyyy-MM-dd HH:mm:ss.zzz".
    static QString displayTime(const QString &timestamp);
    // Target rectangle for a source of `srcSize` pixels in `area` (aspect kept).
    static QRectF letterbox(const QSizeF &srcSize, const QRectF &area);
    QRectF pictureRectLocked() const;
    QPointF widgetToPicture(const QPointF &pos) const; // picture fractions
    void setZoomRect(QRectF rect);
    // Ends the drag under way: its kind, and where it started in `from`.
    Drag takeDrag(QPointF *from);
    void scheduleRepaint();
    // With m_mutex held.
    void setDetailsLocked(const QString &timestamp, const QString &overlay, bool keyframe, int frameId, double fps,
                          bool still);
    // Emits viewChanged() when the size or the zoom differ from the last one told.
    void tellView();
    QString infoLineLocked() const;

    PtzRoute ptzRoute() const;
    bool nativePtzUsable() const;
    PtzCtrlWeb *webPtz();
    // The picture's size and a widget position in frame pixels.
    QSize frameSize() const;
    QPointF toFrame(const QPointF &pos) const;
    void sendNative(const QString &command, bool flag, float x, float y, float z, int areaWidth = -1,
                    int areaHeight = -1);
    void ptzPress(QMouseEvent *event);
    void ptzRelease(QMouseEvent *event);
    void ptzHoldStarted();
    void ptzEndHold();

    mutable QMutex m_mutex;
    // The picture on screen, Format_RGB32, or null until made by m_makeFull.
    const QImage &fullLocked() const;
    mutable QImage m_image;
    mutable std::function<QImage()> m_makeFull;
    QSize m_size;              // of the picture on screen, empty without one
    bool m_imageOwned = false; // written to by displayFrame(); shared ones never are
    QImage m_shown;            // its visible part prepared for m_shownArea and m_shownZoom
    QSize m_shownArea;
    QRectF m_shownZoom;
    bool m_paintedPrepared = false;
    QSize m_toldArea;          // last view told (GUI thread)
    QRectF m_toldZoom;
    QString m_timestamp;       // as given
    QString m_overlay;
    int m_frameId = 0;
    double m_fps = -1.0;
    bool m_keyframe = false;
    bool m_still = false;
    qint64 m_received = 0;

    bool m_playerFed = false;
    bool m_streamStarted = false;
    bool m_disconnected = false;
    QRectF m_zoom{0, 0, 1, 1};

    Drag m_drag = Drag::None;
    QPointF m_dragStart;
    QPointF m_dragNow;
    QRectF m_dragZoomStart;

    // PTZ (GUI thread only).
    QString m_webPtzBase;
    QString m_ptzSession;
    std::unique_ptr<PtzCtrlWeb> m_webPtz;
    bool m_hasNativePtz = false;
    QPointer<NativePTZInterface> m_nativePtz;
    int m_ptzIndex = 0;
    QString m_ptzStatus;
    PtzRoute m_gestureRoute = PtzRoute::None; // of the gesture under way
    bool m_ptzHolding = false;
    QPointF m_holdSpeed; // pan, tilt of the current hold
    QTimer *m_ptzHoldTimer;
    QTimer *m_onvifMoveTimer;
    QTimer *m_onvifStopTimer;
};
