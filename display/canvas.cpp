#include "canvas.h"

#include "nativeptzinterface.h"
#include "onvif.h"
#include "ptzctrlweb.h"
#include "peertext.h"
#include "zulog.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QMutexLocker>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QThread>
#include <QTimer>
#include <QWheelEvent>

#include <cmath>
#include <cstring>

namespace {
constexpr qreal kWheelStep = 1.25;     // zoom per wheel notch
constexpr int kMinSelection = 8;       // pixels; a smaller drag is a click
const QColor kBoxColor(0, 0, 0, 160);

// A text box with a translucent background, anchored at one corner of `area`.
QRectF drawBox(QPainter &p, const QRectF &area, const QString &text, Qt::Alignment corner, int pixelSize)
{
    if (text.isEmpty())
        return {};
    QFont f = p.font();
    f.setPixelSize(qMax(8, pixelSize));
    p.setFont(f);
    const QFontMetricsF fm(f);
    const qreal pad = qMax<qreal>(2.0, pixelSize * 0.3);
    QSizeF size;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        size.setWidth(qMax(size.width(), fm.horizontalAdvance(line)));
    size.setHeight(fm.height() * lines.size());
    QRectF box(QPointF(0, 0), size + QSizeF(2 * pad, 2 * pad));
    const qreal margin = pad;
    if (corner & Qt::AlignRight)
        box.moveRight(area.right() - margin);
    else
        box.moveLeft(area.left() + margin);
    if (corner & Qt::AlignBottom)
        box.moveBottom(area.bottom() - margin);
    else
        box.moveTop(area.top() + margin);
    p.fillRect(box, kBoxColor);
    p.setPen(Qt::white);
    p.drawText(box.adjusted(pad, pad, -pad, -pad), Qt::AlignLeft | Qt::AlignTop, text);
    return box;
}
} // namespace

Canvas::Canvas(QWidget *parent)
    : QWidget(parent)
    , m_ptzHoldTimer(new QTimer(this))
    , m_onvifMoveTimer(new QTimer(this))
    , m_onvifStopTimer(new QTimer(this))
{
    m_ptzHoldTimer->setSingleShot(true);
    m_ptzHoldTimer->setInterval(kPtzHoldMs);
    connect(m_ptzHoldTimer, &QTimer::timeout, this, &Canvas::ptzHoldStarted);
    m_onvifMoveTimer->setSingleShot(true);
    m_onvifMoveTimer->setInterval(kOnvifRetryMs);
    connect(m_onvifMoveTimer, &QTimer::timeout, this, [this] {
        // A move that failed is only worth repeating while the user still
        // holds it: repeated after the release it would never be stopped.
        if (m_ptzHolding && m_gestureRoute == PtzRoute::Native)
            sendNative(QStringLiteral("PanTilt_ContinuousMove"), false, float(m_holdSpeed.x()),
                       float(m_holdSpeed.y()), 0);
    });
    m_onvifStopTimer->setSingleShot(true);
    m_onvifStopTimer->setInterval(kOnvifRetryMs);
    connect(m_onvifStopTimer, &QTimer::timeout, this,
            [this] { sendNative(QStringLiteral("STOP_PanTilt_ContinuousMove"), false, 0, 0, 0); });

    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    setMinimumSize(160, 90);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    setPalette(pal);
    setAutoFillBackground(false);
    qRegisterMetaType<CanvasPicture>();
}

Canvas::~Canvas() = default;

QString Canvas::displayTime(const QString &timestamp)
{
    // Recordings give "yyyyMMddHHmmsszzz"; anything else is shown as given.
    if (timestamp.size() == 17) {
        bool digits = true;
        for (QChar c : timestamp)
            digits = digits && c.isDigit();
        if (digits) {
            return timestamp.mid(0, 4) + QLatin1Char('-') + timestamp.mid(4, 2) + QLatin1Char('-')
                + timestamp.mid(6, 2) + QLatin1Char(' ') + timestamp.mid(8, 2) + QLatin1Char(':')
                + timestamp.mid(10, 2) + QLatin1Char(':') + timestamp.mid(12, 2) + QLatin1Char('.')
                + timestamp.mid(14, 3);
        }
    }
    return timestamp;
}

QString Canvas::currentTimestamp() const
{
    QMutexLocker lock(&m_mutex);
    if (m_size.isEmpty())
        return QString();
    return displayTime(m_timestamp);
}

void Canvas::set_player_fed()
{
    QMutexLocker lock(&m_mutex);
    m_playerFed = true;
}

bool Canvas::isPlayerFed() const
{
    QMutexLocker lock(&m_mutex);
    return m_playerFed;
}

void Canvas::dropQueuedPictures()
{
    // Pictures of the stream that ends are still queued to this surface;
    // shown after the end they would put an old frame and its time back on
    // screen. Queued slot calls to the surface are only pictures (and
    // repaint requests, which the caller makes anew).
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

void Canvas::setStreamStart(bool started)
{
    if (started)
        dropQueuedPictures();
    {
        QMutexLocker lock(&m_mutex);
        m_streamStarted = started;
        if (started) {
            m_disconnected = false;
            m_image = QImage();
            m_makeFull = nullptr;
            m_size = QSize();
            m_shown = QImage();
            m_timestamp.clear();
            m_overlay.clear();
            m_zoom = QRectF(0, 0, 1, 1);
        }
    }
    tellView();
    scheduleRepaint();
}

void Canvas::setEnding()
{
    dropQueuedPictures();
    {
        QMutexLocker lock(&m_mutex);
        m_image = QImage();
        m_makeFull = nullptr;
        m_size = QSize();
        m_shown = QImage();
        m_timestamp.clear();
        m_overlay.clear();
        m_frameId = 0;
        m_fps = -1.0;
        m_streamStarted = false;
        m_zoom = QRectF(0, 0, 1, 1);
        m_drag = Drag::None;
    }
    tellView();
    logMessage("[INFO] Canvas :: setEnding");
    scheduleRepaint();
}

void Canvas::setup_disconnect(bool disconnected)
{
    bool live = false;
    {
        QMutexLocker lock(&m_mutex);
        m_disconnected = disconnected;
        if (disconnected)
            m_streamStarted = false;
        live = !m_playerFed;
    }
    if (disconnected)
        logMessage("[INFO] Canvas :: setup_disconnect :: disconnecting");
    scheduleRepaint();
    if (disconnected && live)
        emit endingsignal();
}

bool Canvas::isDisconnected() const
{
    QMutexLocker lock(&m_mutex);
    return m_disconnected;
}

QString Canvas::status() const
{
    QMutexLocker lock(&m_mutex);
    if (m_disconnected)
        return QStringLiteral("disconnecting");
    if (!m_size.isEmpty())
        return QStringLiteral("playing");
    if (m_streamStarted)
        return QStringLiteral("connecting");
    return QStringLiteral("idle");
}

void Canvas::displayFrame(uint8_t *data, int width, int height, int bytesPerLine, QString timestamp,
                          QString overlay, bool keyframe, int frameId, double fps, bool still)
{
    if (!data || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide
        || bytesPerLine < 4 * width) {
        logMessage(QStringLiteral("[WARN] Canvas :: displayFrame :: invalid picture %1x%2 stride %3")
                       .arg(width).arg(height).arg(bytesPerLine));
        return;
    }
    {
        QMutexLocker lock(&m_mutex);
        // Reuse the buffer while the size stays; bits() detaches from any
        // snapshot still sharing it, so a snapshot never changes under its user.
        m_shown = QImage();
        m_makeFull = nullptr;
        // A picture shared with its feeder is never written to.
        if (m_image.width() != width || m_image.height() != height || m_image.format() != QImage::Format_RGB32
            || !m_imageOwned) {
            m_image = QImage(width, height, QImage::Format_RGB32);
            m_imageOwned = true;
        }
        if (m_image.isNull()) {
            m_size = QSize();
            logMessage("[ERROR] Canvas :: displayFrame :: out of memory");
            return;
        }
        m_size = m_image.size();
        uchar *dst = m_image.bits();
        const qsizetype dstStride = m_image.bytesPerLine();
        const size_t rowBytes = size_t(width) * 4;
        for (int y = 0; y < height; ++y)
            std::memcpy(dst + y * dstStride, data + qsizetype(y) * bytesPerLine, rowBytes);
        setDetailsLocked(timestamp, overlay, keyframe, frameId, fps, still);
    }
    scheduleRepaint();
    emit frameDisplayed(timestamp);
}

// What is drawn over the picture, and the count of pictures received.
void Canvas::setDetailsLocked(const QString &timestamp, const QString &overlay, bool keyframe, int frameId,
                              double fps, bool still)
{
    m_timestamp = timestamp.left(128);
    m_overlay = overlay.left(512);
    m_keyframe = keyframe;
    m_frameId = frameId;
    m_fps = fps;
    m_still = still;
    m_disconnected = false;
    ++m_received;
}

void Canvas::displayPicture(CanvasPicture picture, QString timestamp, QString overlay, bool keyframe,
                            int frameId, double fps, bool still)
{
    QImage &full = picture.full;
    const QSize size = full.isNull() ? picture.fullSize : full.size();
    if ((full.isNull() && !picture.makeFull) || size.isEmpty() || size.width() > kMaxSide
        || size.height() > kMaxSide) {
        logMessage(QStringLiteral("[WARN] Canvas :: displayPicture :: invalid picture %1x%2")
                       .arg(size.width()).arg(size.height()));
        return;
    }
    if (!full.isNull() && full.format() != QImage::Format_RGB32)
        full = full.convertToFormat(QImage::Format_RGB32);
    if (!picture.shown.isNull() && picture.shown.format() != QImage::Format_RGB32)
        picture.shown = QImage();
    {
        QMutexLocker lock(&m_mutex);
        m_image = std::move(full);
        m_makeFull = m_image.isNull() ? std::move(picture.makeFull) : nullptr;
        m_size = size;
        m_imageOwned = false;
        m_shown = std::move(picture.shown);
        m_shownArea = picture.area;
        m_shownZoom = picture.zoom;
        setDetailsLocked(timestamp, overlay, keyframe, frameId, fps, still);
    }
    // Taken on the surface's own thread (the player's engine shows it in a
    // step of its own): on the screen now, not behind whatever the thread
    // has queued meanwhile.
    if (QThread::currentThread() == thread())
        repaint();
    else
        scheduleRepaint();
    emit frameDisplayed(timestamp);
}

const QImage &Canvas::fullLocked() const
{
    if (m_image.isNull() && m_makeFull) {
        m_image = m_makeFull();
        m_makeFull = nullptr;
        if (m_image.size() != m_size) {
            logMessage("[WARN] Canvas :: full picture :: cannot be made");
            m_image = QImage();
        }
    }
    return m_image;
}

QImage Canvas::currentImage() const
{
    QMutexLocker lock(&m_mutex);
    return fullLocked();
}

bool Canvas::hasPicture() const
{
    QMutexLocker lock(&m_mutex);
    return !m_size.isEmpty();
}

QString Canvas::currentOverlay() const
{
    QMutexLocker lock(&m_mutex);
    return m_overlay;
}

int Canvas::currentFrameId() const
{
    QMutexLocker lock(&m_mutex);
    return m_frameId;
}

qint64 Canvas::receivedFrames() const
{
    QMutexLocker lock(&m_mutex);
    return m_received;
}

QString Canvas::infoLineLocked() const
{
    QString info = QStringLiteral("%1x%2").arg(m_size.width()).arg(m_size.height());
    if (m_fps > 0)
        info += QStringLiteral("  %1 i/s").arg(m_fps, 0, 'f', 1);
    info += QStringLiteral("  #%1").arg(m_frameId);
    if (m_keyframe)
        info += QStringLiteral(" K");
    return info;
}

QImage Canvas::snapshot(bool full)
{
    QImage image;
    QString time;
    QString overlay;
    QString info;
    {
        QMutexLocker lock(&m_mutex);
        image = fullLocked().copy();
        if (image.isNull())
            return QImage();
        time = displayTime(m_timestamp);
        overlay = m_overlay;
        info = infoLineLocked();
    }
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int px = qMax(10, image.height() / 36);
    const QRectF area(0, 0, image.width(), image.height());
    drawBox(p, area, time, Qt::AlignBottom | Qt::AlignRight, px);
    if (full) {
        drawBox(p, area, overlay, Qt::AlignTop | Qt::AlignLeft, px);
        drawBox(p, area, info, Qt::AlignBottom | Qt::AlignLeft, px);
    }
    return image;
}

QImage Canvas::get_snapshot(const QString &id, const QString &url)
{
    if (!url.isEmpty())
        logMessage(QStringLiteral("[WARN] Canvas :: get_snapshot :: upload not available :: ") + id);
    return snapshot(false);
}

QImage Canvas::get_snapshot_full(const QString &id, const QString &url)
{
    if (!url.isEmpty())
        logMessage(QStringLiteral("[WARN] Canvas :: get_snapshot_full :: upload not available :: ") + id);
    return snapshot(true);
}

QRectF Canvas::letterbox(const QSizeF &srcSize, const QRectF &area)
{
    if (srcSize.isEmpty() || area.isEmpty())
        return {};
    const qreal scale = qMin(area.width() / srcSize.width(), area.height() / srcSize.height());
    const QSizeF size = srcSize * scale;
    return QRectF(area.center() - QPointF(size.width() / 2, size.height() / 2), size);
}

QRectF Canvas::pictureRectLocked() const
{
    if (m_size.isEmpty())
        return {};
    const QSizeF src(m_zoom.width() * m_size.width(), m_zoom.height() * m_size.height());
    return letterbox(src, QRectF(rect()));
}

QSize Canvas::viewArea() const
{
    const qreal dpr = devicePixelRatioF();
    return QSize(qRound(width() * dpr), qRound(height() * dpr));
}

bool Canvas::paintedPrepared() const
{
    QMutexLocker lock(&m_mutex);
    return m_paintedPrepared;
}

QRect Canvas::zoomPixels(const QSize &pictureSize, const QRectF &zoom)
{
    const int w = pictureSize.width();
    const int h = pictureSize.height();
    const int left = qBound(0, int(std::floor(zoom.left() * w + 1e-6)), qMax(0, w - 1));
    const int top = qBound(0, int(std::floor(zoom.top() * h + 1e-6)), qMax(0, h - 1));
    const int right = qBound(left + 1, int(std::ceil(zoom.right() * w - 1e-6)), w);
    const int bottom = qBound(top + 1, int(std::ceil(zoom.bottom() * h - 1e-6)), h);
    return QRect(left, top, right - left, bottom - top);
}

QSize Canvas::shownSize(const QSize &pictureSize, const QRectF &zoom, const QSize &area)
{
    if (pictureSize.isEmpty() || area.isEmpty())
        return {};
    const QSizeF part(zoom.width() * pictureSize.width(), zoom.height() * pictureSize.height());
    const QRectF placed = letterbox(part, QRectF(QPointF(0, 0), QSizeF(area)));
    return QSize(qMax(1, qRound(placed.width())), qMax(1, qRound(placed.height())));
}

void Canvas::tellView()
{
    const QSize area = viewArea();
    QRectF zoom;
    {
        QMutexLocker lock(&m_mutex);
        zoom = m_zoom;
        if (area == m_toldArea && zoom == m_toldZoom)
            return;
        m_toldArea = area;
        m_toldZoom = zoom;
    }
    emit viewChanged(area, zoom);
}

void Canvas::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    tellView();
}

QRectF Canvas::pictureRect() const
{
    QMutexLocker lock(&m_mutex);
    return pictureRectLocked();
}

QRectF Canvas::zoomRect() const
{
    QMutexLocker lock(&m_mutex);
    return m_zoom;
}

qreal Canvas::zoomFactor() const
{
    QMutexLocker lock(&m_mutex);
    return m_zoom.width() > 0 ? 1.0 / m_zoom.width() : 1.0;
}

void Canvas::resetZoom()
{
    {
        QMutexLocker lock(&m_mutex);
        m_zoom = QRectF(0, 0, 1, 1);
    }
    tellView();
    scheduleRepaint();
}

void Canvas::setZoomRect(QRectF r)
{
    {
        QMutexLocker lock(&m_mutex);
        const qreal minSide = 1.0 / kMaxZoom;
        // Keep the picture's aspect ratio so that letterboxing stays stable.
        qreal side = qBound(minSide, qMax(r.width(), r.height()), 1.0);
        const QPointF c = r.center();
        r = QRectF(c.x() - side / 2, c.y() - side / 2, side, side);
        if (r.left() < 0)
            r.moveLeft(0);
        if (r.top() < 0)
            r.moveTop(0);
        if (r.right() > 1)
            r.moveRight(1);
        if (r.bottom() > 1)
            r.moveBottom(1);
        m_zoom = r;
    }
    tellView();
    scheduleRepaint();
}

QPointF Canvas::widgetToPicture(const QPointF &pos) const
{
    QMutexLocker lock(&m_mutex);
    const QRectF target = pictureRectLocked();
    if (target.isEmpty())
        return QPointF(0.5, 0.5);
    const qreal fx = qBound(0.0, (pos.x() - target.left()) / target.width(), 1.0);
    const qreal fy = qBound(0.0, (pos.y() - target.top()) / target.height(), 1.0);
    return QPointF(m_zoom.left() + fx * m_zoom.width(), m_zoom.top() + fy * m_zoom.height());
}

void Canvas::zoomAt(const QPointF &pos, qreal factor)
{
    if (factor <= 0)
        return;
    QRectF zoom;
    QRectF target;
    {
        QMutexLocker lock(&m_mutex);
        if (m_size.isEmpty())
            return;
        zoom = m_zoom;
        target = pictureRectLocked();
    }
    const QPointF anchor = widgetToPicture(pos);
    const qreal side = qBound(1.0 / kMaxZoom, zoom.width() / factor, 1.0);
    // Keep the anchor at the same place relative to the visible part.
    const qreal fx = target.width() > 0 ? qBound(0.0, (pos.x() - target.left()) / target.width(), 1.0) : 0.5;
    const qreal fy = target.height() > 0 ? qBound(0.0, (pos.y() - target.top()) / target.height(), 1.0) : 0.5;
    setZoomRect(QRectF(anchor.x() - fx * side, anchor.y() - fy * side, side, side));
}

void Canvas::scheduleRepaint()
{
    if (QThread::currentThread() == thread())
        update();
    else
        QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void Canvas::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int px = qBound(10, height() / 40, 22);
    // Black where no picture is drawn: around it, or everywhere.
    const auto fillAround = [&](const QRectF &picture) {
        const QRect inner(QPoint(int(std::ceil(picture.left())), int(std::ceil(picture.top()))),
                          QPoint(int(std::floor(picture.right())) - 1, int(std::floor(picture.bottom())) - 1));
        for (const QRect &r : QRegion(rect()).subtracted(QRegion(inner)))
            p.fillRect(r, Qt::black);
    };

    QMutexLocker lock(&m_mutex);
    if (m_size.isEmpty()) {
        p.fillRect(rect(), Qt::black);
        QString text;
        if (m_disconnected)
            text = tr("Lecture arrêtée");
        else if (m_streamStarted)
            text = tr("Chargement...");
        if (!text.isEmpty()) {
            QFont f = p.font();
            f.setPixelSize(px);
            p.setFont(f);
            p.setPen(QColor(200, 200, 200));
            p.drawText(rect(), Qt::AlignCenter, text);
        }
        return;
    }

    const QRectF target = pictureRectLocked();
    const qreal dpr = devicePixelRatioF();
    const QSize area(qRound(width() * dpr), qRound(height() * dpr));
    m_paintedPrepared = !m_shown.isNull() && m_shownArea == area && m_shownZoom == m_zoom;
    if (m_paintedPrepared) {
        // Made for this very view on the decoding side: a plain copy, centred
        // where the scaled picture would be.
        const QSizeF size = QSizeF(m_shown.size()) / dpr;
        const QPointF at(std::round((target.center().x() - size.width() / 2) * dpr) / dpr,
                         std::round((target.center().y() - size.height() / 2) * dpr) / dpr);
        fillAround(QRectF(at, size));
        p.drawImage(QRectF(at, size), m_shown);
    } else {
        fillAround(target);
        // Resized or zoomed since the picture was made: from the full picture,
        // which keeps the zoom sharp.
        const QImage &full = fullLocked();
        const QRectF source(m_zoom.left() * full.width(), m_zoom.top() * full.height(),
                            m_zoom.width() * full.width(), m_zoom.height() * full.height());
        p.setRenderHint(QPainter::SmoothPixmapTransform, target.width() < source.width() * 2);
        p.drawImage(target, full, source);
    }
    if (m_disconnected)
        p.fillRect(target, QColor(0, 0, 0, 140));

    drawBox(p, target, m_overlay, Qt::AlignTop | Qt::AlignLeft, px);
    drawBox(p, target, displayTime(m_timestamp), Qt::AlignBottom | Qt::AlignRight, px);
    QString info;
    if (m_disconnected)
        info = tr("Lecture arrêtée");
    const qreal factor = m_zoom.width() > 0 ? 1.0 / m_zoom.width() : 1.0;
    if (factor > 1.001)
        info += (info.isEmpty() ? QString() : QStringLiteral("  ")) + QStringLiteral("Zoom x%1").arg(factor, 0, 'f', 1);
    drawBox(p, target, info, Qt::AlignBottom | Qt::AlignLeft, px);
    drawBox(p, target, m_ptzStatus, Qt::AlignTop | Qt::AlignRight, px);

    if (m_drag == Drag::Select) {
        p.setPen(QPen(QColor(255, 255, 255, 220), 1, Qt::DashLine));
        p.setBrush(QColor(255, 255, 255, 40));
        p.drawRect(QRectF(m_dragStart, m_dragNow).normalized());
    }
}

void Canvas::mousePressEvent(QMouseEvent *event)
{
    if (ptzRoute() != PtzRoute::None && hasPicture()) {
        ptzPress(event);
        return;
    }
    if (!digitalZoomEnabled() || !hasPicture()) {
        QWidget::mousePressEvent(event);
        return;
    }
    if (event->button() == Qt::RightButton) {
        resetZoom();
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    QMutexLocker lock(&m_mutex);
    m_dragStart = m_dragNow = event->position();
    m_dragZoomStart = m_zoom;
    m_drag = m_zoom.width() < 0.999 ? Drag::Pan : Drag::Select;
}

void Canvas::mouseMoveEvent(QMouseEvent *event)
{
    if (m_gestureRoute != PtzRoute::None) {
        QMutexLocker lock(&m_mutex);
        m_dragNow = event->position();
        if (m_drag == Drag::None && !m_ptzHolding
            && (m_dragNow - m_dragStart).manhattanLength() >= kMinSelection) {
            // Moving with the button down draws a rectangle, never a hold.
            m_ptzHoldTimer->stop();
            m_drag = Drag::Select;
        }
        lock.unlock();
        update();
        return;
    }
    Drag drag;
    QRectF start;
    QRectF target;
    QPointF from;
    {
        QMutexLocker lock(&m_mutex);
        drag = m_drag;
        m_dragNow = event->position();
        start = m_dragZoomStart;
        target = pictureRectLocked();
        from = m_dragStart;
    }
    if (drag == Drag::Select) {
        update();
    } else if (drag == Drag::Pan && !target.isEmpty()) {
        const QPointF delta = event->position() - from;
        const qreal dx = delta.x() / target.width() * start.width();
        const qreal dy = delta.y() / target.height() * start.height();
        setZoomRect(start.translated(-dx, -dy));
    }
}

Canvas::Drag Canvas::takeDrag(QPointF *from)
{
    QMutexLocker lock(&m_mutex);
    const Drag drag = m_drag;
    m_drag = Drag::None;
    *from = m_dragStart;
    return drag;
}

void Canvas::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_gestureRoute != PtzRoute::None) {
        ptzRelease(event);
        return;
    }
    QPointF from;
    const Drag drag = takeDrag(&from);
    if (drag != Drag::Select || event->button() != Qt::LeftButton) {
        update();
        return;
    }
    const QRectF sel = QRectF(from, event->position()).normalized();
    if (sel.width() < kMinSelection || sel.height() < kMinSelection) {
        update();
        return;
    }
    const QPointF a = widgetToPicture(sel.topLeft());
    const QPointF b = widgetToPicture(sel.bottomRight());
    setZoomRect(QRectF(a, b).normalized());
}

void Canvas::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (ptzRoute() != PtzRoute::None && !doubleClickFullscreen()) {
        // The second press of a double click is one more click for the camera.
        mousePressEvent(event);
        return;
    }
    if (doubleClickFullscreen()) {
        QWidget *w = window();
        if (w->isFullScreen())
            w->showNormal();
        else
            w->showFullScreen();
        return;
    }
    if (digitalZoomEnabled() && event->button() == Qt::LeftButton)
        resetZoom();
}

void Canvas::wheelEvent(QWheelEvent *event)
{
    const PtzRoute route = ptzRoute();
    if (route != PtzRoute::None && hasPicture()) {
        const int steps = event->angleDelta().y() / 120;
        event->accept();
        if (steps == 0)
            return;
        if (route == PtzRoute::Native) {
            sendNative(QStringLiteral("ContinuousMove"), true, 0, 0, float(qBound(-1.0, steps * 0.5, 1.0)));
        } else {
            const QSize size = frameSize();
            webPtz()->postZoom(m_webPtzBase, steps > 0 ? QStringLiteral("1") : QStringLiteral("0"),
                               steps > 0 ? QStringLiteral("0") : QStringLiteral("1"), size.width(), size.height(),
                               m_ptzSession);
        }
        return;
    }
    if (!digitalZoomEnabled()) {
        QWidget::wheelEvent(event);
        return;
    }
    const int steps = event->angleDelta().y() / 120;
    if (steps == 0)
        return;
    zoomAt(event->position(), std::pow(kWheelStep, steps));
    event->accept();
}

// ---------------------------------------------------------------- PTZ

void Canvas::setWebPtz(const QString &baseUrl, const QString &session)
{
    m_webPtzBase = baseUrl;
    m_ptzSession = session;
}

void Canvas::setNativePtz(NativePTZInterface *driver)
{
    if (m_nativePtz)
        m_nativePtz->disconnect(this);
    m_nativePtz = driver;
    m_hasNativePtz = driver != nullptr;
    if (!driver)
        return;
    connect(driver, &NativePTZInterface::status_message, this, &Canvas::get_direct_ptz_message);
    // Only the ONVIF driver asks for a move to be repeated or stopped.
    if (qobject_cast<Onvif *>(driver))
        connect(driver, &NativePTZInterface::send_request_finished, this, &Canvas::onvif_request_finished);
}

void Canvas::setPtzIndex(int index) { m_ptzIndex = index; }

QString Canvas::ptzStatusText() const { return m_ptzStatus; }

bool Canvas::nativePtzUsable() const
{
    return m_hasNativePtz && m_nativePtz && m_nativePtz->isPtzAvailable() && m_nativePtz->isPtzEnabled();
}

Canvas::PtzRoute Canvas::ptzRoute() const
{
    if (nativePtzUsable())
        return PtzRoute::Native;
    if (!m_webPtzBase.isEmpty())
        return PtzRoute::Web;
    return PtzRoute::None;
}

PtzCtrlWeb *Canvas::webPtz()
{
    if (!m_webPtz) {
        m_webPtz = std::make_unique<PtzCtrlWeb>();
        connect(m_webPtz.get(), &PtzCtrlWeb::security_stop, this, &Canvas::zuptz_request_security_stop);
    }
    return m_webPtz.get();
}

QSize Canvas::frameSize() const
{
    QMutexLocker lock(&m_mutex);
    return m_size;
}

QPointF Canvas::toFrame(const QPointF &pos) const
{
    const QPointF f = widgetToPicture(pos);
    const QSize size = frameSize();
    return {f.x() * size.width(), f.y() * size.height()};
}

void Canvas::sendNative(const QString &command, bool flag, float x, float y, float z, int areaWidth, int areaHeight)
{
    if (!nativePtzUsable())
        return;
    const QSize size = frameSize();
    const bool sized = command == QLatin1String("clic") || command == QLatin1String("area")
        || command == QLatin1String("right_clic");
    m_nativePtz->send_command(command, flag, x, y, z, sized ? size.width() : -1, sized ? size.height() : -1,
                              m_ptzIndex, areaWidth, areaHeight);
}

void Canvas::ptzPress(QMouseEvent *event)
{
    const PtzRoute route = ptzRoute();
    const QPointF at = toFrame(event->position());
    const QSize size = frameSize();
    if (event->button() == Qt::RightButton) {
        if (route == PtzRoute::Native)
            sendNative(QStringLiteral("right_clic"), false, float(at.x()), float(at.y()), 0);
        else
            webPtz()->postRightClic(m_webPtzBase, size.width(), size.height(), m_ptzSession);
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_gestureRoute = route;
    m_ptzHolding = false;
    {
        QMutexLocker lock(&m_mutex);
        m_dragStart = m_dragNow = event->position();
        m_drag = Drag::None;
    }
    m_ptzHoldTimer->start();
}

void Canvas::ptzHoldStarted()
{
    if (m_gestureRoute == PtzRoute::None)
        return;
    QPointF from;
    {
        QMutexLocker lock(&m_mutex);
        from = m_dragStart;
    }
    m_ptzHolding = true;
    const QPointF at = toFrame(from);
    const QSize size = frameSize();
    if (m_gestureRoute == PtzRoute::Native) {
        // Speeds toward the held point.
        m_holdSpeed = NativePTZInterface::towardPoint(at.x(), at.y(), size.width(), size.height());
        sendNative(QStringLiteral("ContinuousMove"), false, float(m_holdSpeed.x()), float(m_holdSpeed.y()), 0);
    } else {
        webPtz()->postContinuous(m_webPtzBase, true, at.x(), at.y(), size.width(), size.height(), m_ptzSession);
    }
}

void Canvas::ptzEndHold()
{
    if (!m_ptzHolding)
        return;
    m_ptzHolding = false;
    if (m_gestureRoute == PtzRoute::Native) {
        sendNative(QStringLiteral("STOP_PanTilt_ContinuousMove"), false, 0, 0, 0);
    } else {
        // At (0, 0): a release refused while the move is in flight is retried.
        zuptz_request_security_stop();
    }
}

void Canvas::ptzRelease(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_ptzHoldTimer->stop();
    const PtzRoute route = m_gestureRoute;
    QPointF from;
    const Drag drag = takeDrag(&from);
    if (m_ptzHolding) {
        ptzEndHold();
    } else if (drag == Drag::Select) {
        const QRectF sel = QRectF(toFrame(from), toFrame(event->position())).normalized();
        const QRect area = sel.toRect();
        if (area.width() > 0 && area.height() > 0) {
            if (route == PtzRoute::Native) {
                sendNative(QStringLiteral("area"), false, float(area.x()), float(area.y()), 0, area.width(),
                           area.height());
            } else {
                const QSize size = frameSize();
                webPtz()->postArea(m_webPtzBase, area, size.width(), size.height(), m_ptzSession);
            }
        }
    } else {
        const QPointF at = toFrame(event->position());
        if (route == PtzRoute::Native) {
            sendNative(QStringLiteral("clic"), false, float(at.x()), float(at.y()), 0);
        } else {
            const QSize size = frameSize();
            webPtz()->postClic(m_webPtzBase, at.x(), at.y(), size.width(), size.height(), m_ptzSession);
        }
    }
    m_gestureRoute = PtzRoute::None;
    update();
}

void Canvas::leaveEvent(QEvent *event)
{
    if (m_gestureRoute != PtzRoute::None && m_ptzHolding) {
        ptzEndHold();
        m_gestureRoute = PtzRoute::None;
        m_ptzHoldTimer->stop();
    }
    QWidget::leaveEvent(event);
}

void Canvas::get_direct_ptz_message(int status, QString command, QString fault, QString driver)
{
    // A failed command's text may carry the camera's whole reply (an HTML
    // page, say): one short line of it is enough over the picture.
    fault = peertext::clean(fault, kMaxPtzFault).simplified();
    m_ptzStatus = QStringLiteral("PTZ %1 : %2 : %3").arg(driver, command, fault);
    logMessage(QStringLiteral("[INFO] Canvas :: get direct ptz message :: %1 :: ").arg(status) + m_ptzStatus);
    if (status == -99 && m_nativePtz)
        m_nativePtz->setPtzEnabled(false);
    update();
}

void Canvas::onvif_request_finished(int request_code)
{
    if (m_onvifMoveTimer->isActive() || m_onvifStopTimer->isActive())
        return;
    if (request_code < 0)
        m_onvifMoveTimer->start();
    else if (request_code == 2)
        m_onvifStopTimer->start();
}

void Canvas::zuptz_request_security_stop()
{
    const QSize size = frameSize();
    webPtz()->postContinuous(m_webPtzBase, false, 0, 0, size.width(), size.height(), m_ptzSession);
}
