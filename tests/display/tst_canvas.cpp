#include "canvas.h"

#include <QSignalSpy>
#include <QtTest>

#include <vector>

namespace {
// A BGRA picture whose pixel (x, y) is (B = x, G = y, R = x ^ y) modulo 256.
std::vector<uint8_t> pattern(int w, int h, int stride)
{
    std::vector<uint8_t> buf(size_t(stride) * size_t(h), 0xEE);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *p = buf.data() + y * stride + x * 4;
            p[0] = uint8_t(x);
            p[1] = uint8_t(y);
            p[2] = uint8_t(x ^ y);
            p[3] = 255;
        }
    }
    return buf;
}

void mouse(QWidget *w, QEvent::Type type, QPointF pos, Qt::MouseButton button)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton
                                  : (type == QEvent::MouseMove ? Qt::MouseButtons(Qt::LeftButton) : Qt::MouseButtons(button));
    QMouseEvent e(type, pos, w->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : button, held,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void drag(QWidget *w, QPointF from, QPointF to)
{
    mouse(w, QEvent::MouseButtonPress, from, Qt::LeftButton);
    mouse(w, QEvent::MouseMove, to, Qt::LeftButton);
    mouse(w, QEvent::MouseButtonRelease, to, Qt::LeftButton);
}

QRgb expected(int x, int y)
{
    return qRgb(uint8_t(x ^ y), uint8_t(y), uint8_t(x));
}
} // namespace

class TestCanvas : public QObject
{
    Q_OBJECT
private slots:
    void copiesPictureAndTexts();
    void refusesBadPictures();
    void endingAndDisconnect();
    void snapshotsKeepPixels();
    void letterboxAndZoom();
    void mouseZoom();
    void paintsLetterboxed();
};

void TestCanvas::copiesPictureAndTexts()
{
    Canvas canvas;
    QVERIFY(canvas.currentTimestamp().isEmpty());
    QCOMPARE(canvas.status(), QStringLiteral("idle"));
    // A stride wider than the row: the padding must not leak into the picture.
    const int w = 64, h = 48, stride = w * 4 + 32;
    std::vector<uint8_t> buf = pattern(w, h, stride);
    QSignalSpy shown(&canvas, &Canvas::frameDisplayed);
    canvas.displayFrame(buf.data(), w, h, stride, QStringLiteral("20240305140002100"), QStringLiteral("Parking"),
                        true, 7, 10.0, false);
    // The caller's buffer may be reused at once.
    std::fill(buf.begin(), buf.end(), 0);
    const QImage img = canvas.currentImage();
    QCOMPARE(img.size(), QSize(w, h));
    for (int y = 0; y < h; y += 7)
        for (int x = 0; x < w; x += 5)
            QCOMPARE(img.pixel(x, y) | 0xff000000u, expected(x, y));
    QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:02.100"));
    QCOMPARE(canvas.currentOverlay(), QStringLiteral("Parking"));
    QCOMPARE(canvas.currentFrameId(), 7);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(canvas.status(), QStringLiteral("playing"));

    // Live streams give their time already formatted; it is kept as is.
    std::vector<uint8_t> buf2 = pattern(w, h, w * 4);
    canvas.displayFrame(buf2.data(), w, h, w * 4, QStringLiteral("2024-03-05 14:00:03.000"), QString(), false, 8, -1,
                        true);
    QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:03.000"));
    QCOMPARE(canvas.receivedFrames(), qint64(2));
}

void TestCanvas::refusesBadPictures()
{
    Canvas canvas;
    std::vector<uint8_t> buf = pattern(16, 16, 64);
    canvas.displayFrame(nullptr, 16, 16, 64, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), 16, 16, 63, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), 0, 16, 64, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), 16, -3, 64, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), Canvas::kMaxSide + 1, 1, (Canvas::kMaxSide + 1) * 4,
                        QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
    QCOMPARE(canvas.receivedFrames(), qint64(0));
    QVERIFY(canvas.currentImage().isNull());
    QVERIFY(canvas.get_snapshot(QString(), QString()).isNull());
}

void TestCanvas::endingAndDisconnect()
{
    std::vector<uint8_t> buf = pattern(32, 32, 128);
    {
        Canvas canvas;
        canvas.set_player_fed();
        QVERIFY(canvas.isPlayerFed());
        QSignalSpy ending(&canvas, &Canvas::endingsignal);
        canvas.displayFrame(buf.data(), 32, 32, 128, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
        canvas.setup_disconnect(true);
        QCOMPARE(canvas.status(), QStringLiteral("disconnecting"));
        QVERIFY(!canvas.currentImage().isNull()); // kept, dimmed
        QCOMPARE(ending.count(), 0);              // the player decides the end itself
        canvas.setStreamStart(true);
        QVERIFY(!canvas.isDisconnected());
        QVERIFY(canvas.currentImage().isNull());
        QCOMPARE(canvas.status(), QStringLiteral("connecting"));
        canvas.displayFrame(buf.data(), 32, 32, 128, QStringLiteral("20240305140001000"), QString(), true, 2, 10, false);
        canvas.zoomAt(QPointF(10, 10), 2.0);
        canvas.setEnding();
        QVERIFY(canvas.currentImage().isNull());
        QVERIFY(canvas.currentTimestamp().isEmpty());
        QCOMPARE(canvas.zoomFactor(), 1.0);
        QCOMPARE(ending.count(), 0);
    }
    {
        // Pictures of the old stream still queued when it ends or another
        // starts never reach the screen.
        Canvas canvas;
        canvas.set_player_fed();
        const auto queue = [&](const QString &time) {
            QMetaObject::invokeMethod(
                &canvas,
                [&canvas, &buf, time] {
                    canvas.displayFrame(buf.data(), 32, 32, 128, time, QString(), true, 1, 10.0, false);
                },
                Qt::QueuedConnection);
        };
        queue(QStringLiteral("20240305140000000"));
        canvas.setEnding();
        QCoreApplication::processEvents();
        QVERIFY(canvas.currentImage().isNull());
        QCOMPARE(canvas.status(), QStringLiteral("idle"));
        queue(QStringLiteral("20240305140001000"));
        canvas.setStreamStart(true);
        queue(QStringLiteral("20240305150000000")); // the new stream's first picture
        QCoreApplication::processEvents();
        QCOMPARE(canvas.receivedFrames(), qint64(1));
        QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 15:00:00.000"));
    }
    {
        Canvas live; // not fed by the player: its owner tears the view down
        QSignalSpy ending(&live, &Canvas::endingsignal);
        live.setup_disconnect(true);
        QCOMPARE(ending.count(), 1);
    }
}

void TestCanvas::snapshotsKeepPixels()
{
    Canvas canvas;
    const int w = 320, h = 240;
    std::vector<uint8_t> buf = pattern(w, h, w * 4);
    canvas.displayFrame(buf.data(), w, h, w * 4, QStringLiteral("20240305140002100"), QStringLiteral("Entrée"), true,
                        3, 10.0, true);
    const QImage snap = canvas.get_snapshot(QString(), QString());
    QCOMPARE(snap.size(), QSize(w, h));
    QCOMPARE(snap.format(), QImage::Format_RGB32);
    // Away from the timestamp box (bottom right) the picture is untouched.
    for (int y = 0; y < h / 2; y += 3)
        for (int x = 0; x < w; x += 3)
            QCOMPARE(snap.pixel(x, y) | 0xff000000u, expected(x, y));
    int changed = 0;
    for (int y = h - 20; y < h; ++y)
        for (int x = w - 120; x < w; ++x)
            changed += (snap.pixel(x, y) | 0xff000000u) != expected(x, y) ? 1 : 0;
    QVERIFY2(changed > 200, "the timestamp box is painted in the bottom-right corner");

    const QImage full = canvas.get_snapshot_full(QString(), QString());
    int topLeftChanged = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 40; ++x)
            topLeftChanged += (full.pixel(x, y) | 0xff000000u) != expected(x, y) ? 1 : 0;
    QVERIFY2(topLeftChanged > 100, "the full snapshot carries the overlay text");
    // Snapshots are copies: the next picture does not change them.
    std::vector<uint8_t> black(size_t(w) * h * 4, 0);
    canvas.displayFrame(black.data(), w, h, w * 4, QStringLiteral("20240305140002200"), QString(), false, 4, 10, true);
    QCOMPARE(snap.pixel(5, 5) | 0xff000000u, expected(5, 5));
    // An upload address is not supported: the picture is still returned.
    QVERIFY(!canvas.get_snapshot(QStringLiteral("id"), QStringLiteral("http://127.0.0.1:1/x")).isNull());
}

void TestCanvas::letterboxAndZoom()
{
    Canvas canvas;
    canvas.resize(400, 400);
    QVERIFY(canvas.pictureRect().isEmpty());
    std::vector<uint8_t> buf = pattern(320, 240, 1280);
    canvas.displayFrame(buf.data(), 320, 240, 1280, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
    QCOMPARE(canvas.pictureRect(), QRectF(0, 50, 400, 300));

    canvas.zoomAt(QPointF(200, 200), 2.0); // centre of the picture
    QCOMPARE(canvas.zoomFactor(), 2.0);
    const QRectF z = canvas.zoomRect();
    QVERIFY(qAbs(z.center().x() - 0.5) < 1e-9 && qAbs(z.center().y() - 0.5) < 1e-9);
    QCOMPARE(z.width(), 0.5);
    // The picture stays letterboxed with the same aspect while zoomed.
    QCOMPARE(canvas.pictureRect(), QRectF(0, 50, 400, 300));
    // Zooming at a corner keeps that corner under the pointer.
    canvas.zoomAt(QPointF(0, 50), 2.0);
    QCOMPARE(canvas.zoomRect().topLeft(), z.topLeft());
    // Never deeper than kMaxZoom, never out past the whole picture.
    for (int i = 0; i < 20; ++i)
        canvas.zoomAt(QPointF(300, 300), 2.0);
    QCOMPARE(canvas.zoomFactor(), Canvas::kMaxZoom);
    const QRectF deep = canvas.zoomRect();
    QVERIFY(deep.left() >= 0 && deep.top() >= 0 && deep.right() <= 1 + 1e-9 && deep.bottom() <= 1 + 1e-9);
    for (int i = 0; i < 20; ++i)
        canvas.zoomAt(QPointF(100, 100), 0.5);
    QCOMPARE(canvas.zoomRect(), QRectF(0, 0, 1, 1));
}

void TestCanvas::mouseZoom()
{
    Canvas canvas;
    canvas.resize(400, 300);
    std::vector<uint8_t> buf = pattern(320, 240, 1280);
    canvas.displayFrame(buf.data(), 320, 240, 1280, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);

    // Zoom is off by default.
    QWheelEvent off(QPointF(200, 150), QPointF(200, 150), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
    QApplication::sendEvent(&canvas, &off);
    QCOMPARE(canvas.zoomFactor(), 1.0);

    canvas.setDigitalZoomEnabled(true);
    QWheelEvent in(QPointF(200, 150), QPointF(200, 150), QPoint(), QPoint(0, 240), Qt::NoButton, Qt::NoModifier,
                   Qt::NoScrollPhase, false);
    QApplication::sendEvent(&canvas, &in);
    QVERIFY(qAbs(canvas.zoomFactor() - 1.5625) < 1e-9);

    // Right click shows the whole picture again.
    mouse(&canvas, QEvent::MouseButtonPress, QPointF(10, 10), Qt::RightButton);
    mouse(&canvas, QEvent::MouseButtonRelease, QPointF(10, 10), Qt::RightButton);
    QCOMPARE(canvas.zoomFactor(), 1.0);

    // A left-button drag selects the part to zoom into. A half-width,
    // full-height choice keeps the whole height, so nothing changes.
    drag(&canvas, QPointF(0, 0), QPointF(200, 300));
    QCOMPARE(canvas.zoomFactor(), 1.0);
    // A tiny drag is a click, not a choice.
    drag(&canvas, QPointF(100, 100), QPointF(103, 102));
    QCOMPARE(canvas.zoomFactor(), 1.0);
    drag(&canvas, QPointF(0, 0), QPointF(200, 150));
    QCOMPARE(canvas.zoomFactor(), 2.0);
    QCOMPARE(canvas.zoomRect(), QRectF(0, 0, 0.5, 0.5));

    // Zoomed, a drag moves the view (dragging left shows more of the right).
    drag(&canvas, QPointF(300, 150), QPointF(100, 150));
    QVERIFY(canvas.zoomRect().left() > 0.2);
    QCOMPARE(canvas.zoomFactor(), 2.0);

    // Double click (full screen off) resets.
    QTest::mouseDClick(&canvas, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
    QCOMPARE(canvas.zoomFactor(), 1.0);
}

void TestCanvas::paintsLetterboxed()
{
    Canvas canvas;
    canvas.resize(400, 400);
    const int w = 320, h = 240;
    std::vector<uint8_t> buf(size_t(w) * h * 4);
    for (size_t i = 0; i < buf.size(); i += 4) {
        buf[i] = 0;        // B
        buf[i + 1] = 200;  // G
        buf[i + 2] = 0;    // R
        buf[i + 3] = 255;
    }
    canvas.displayFrame(buf.data(), w, h, w * 4, QStringLiteral("20240305140000000"), QString(), true, 1, 10, false);
    const QImage shot = canvas.grab().toImage();
    QCOMPARE(shot.pixelColor(200, 10), QColor(Qt::black));   // bar above
    QCOMPARE(shot.pixelColor(200, 390), QColor(Qt::black));  // bar below
    QCOMPARE(shot.pixelColor(200, 200), QColor(0, 200, 0));  // picture
    QCOMPARE(shot.pixelColor(390, 60), QColor(0, 200, 0));
}

QTEST_MAIN(TestCanvas)
#include "tst_canvas.moc"
