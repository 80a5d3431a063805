#include "canvas.h"

#include <QSignalSpy>
#include <QtTest>

#include <vector>

namespace {
// A BGRA picture whose pixel (x, y) is (B = x, G = y, R = x ^ y) modulo 256,
// or one flat colour.
std::vector<uint8_t> pattern(int w, int h, int stride, QRgb flat = 0)
{
    std::vector<uint8_t> buf(size_t(stride) * size_t(h), 0xEE);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *p = buf.data() + y * stride + x * 4;
            p[0] = uint8_t(flat ? qBlue(flat) : x);
            p[1] = uint8_t(flat ? qGreen(flat) : y);
            p[2] = uint8_t(flat ? qRed(flat) : x ^ y);
            p[3] = 255;
        }
    }
    return buf;
}

QRgb expected(int x, int y) { return qRgb(uint8_t(x ^ y), uint8_t(y), uint8_t(x)); }

void show(Canvas &canvas, std::vector<uint8_t> &buf, int w, int h, const QString &time = QStringLiteral("20240305140000000"))
{
    canvas.displayFrame(buf.data(), w, h, int(buf.size()) / h, time, QString(), true, 1, 10.0, false);
}

void mouse(QWidget *w, QEvent::Type type, QPointF pos, Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent e(type, pos, w->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : button, held,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void drag(QWidget *w, QPointF from, QPointF to)
{
    mouse(w, QEvent::MouseButtonPress, from);
    mouse(w, QEvent::MouseMove, to);
    mouse(w, QEvent::MouseButtonRelease, to);
}

void wheel(QWidget *w, int delta)
{
    QWheelEvent e(QPointF(200, 150), QPointF(200, 150), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}
} // namespace

class TestCanvas : public QObject
{
    Q_OBJECT
private slots:
    void copiesPictureAndTexts();
    void refusesBadPictures();
    void endingAndStalePictures();
    void snapshotsKeepPixels();
    void letterboxAndZoom();
    void mouseZoom();
};

void TestCanvas::copiesPictureAndTexts()
{
    Canvas canvas;
    // A stride wider than the row: the padding must not leak into the picture.
    const int w = 64, h = 48;
    std::vector<uint8_t> buf = pattern(w, h, w * 4 + 32);
    canvas.displayFrame(buf.data(), w, h, w * 4 + 32, QStringLiteral("20240305140002100"), QStringLiteral("Parking"),
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

    // Live streams give their time already formatted; it is kept as is.
    show(canvas, buf, w, h, QStringLiteral("2024-03-05 14:00:03.000"));
    QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:03.000"));
    QCOMPARE(canvas.receivedFrames(), qint64(2));
}

void TestCanvas::refusesBadPictures()
{
    Canvas canvas;
    std::vector<uint8_t> buf = pattern(16, 16, 64);
    const QString t = QStringLiteral("20240305140000000");
    canvas.displayFrame(nullptr, 16, 16, 64, t, QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), 16, 16, 63, t, QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), 0, 16, 64, t, QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), 16, -3, 64, t, QString(), true, 1, 10, false);
    canvas.displayFrame(buf.data(), Canvas::kMaxSide + 1, 1, (Canvas::kMaxSide + 1) * 4, t, QString(), true, 1, 10, false);
    QCOMPARE(canvas.receivedFrames(), qint64(0));
    QVERIFY(canvas.currentImage().isNull());
    QVERIFY(canvas.get_snapshot(QString(), QString()).isNull());
}

void TestCanvas::endingAndStalePictures()
{
    std::vector<uint8_t> buf = pattern(32, 32, 128);
    Canvas canvas;
    canvas.set_player_fed();
    QSignalSpy ending(&canvas, &Canvas::endingsignal);
    show(canvas, buf, 32, 32);
    canvas.setup_disconnect(true);
    QVERIFY(!canvas.currentImage().isNull()); // kept, dimmed
    canvas.setStreamStart(true);
    QVERIFY(!canvas.isDisconnected());
    QVERIFY(canvas.currentImage().isNull());
    show(canvas, buf, 32, 32);
    canvas.zoomAt(QPointF(10, 10), 2.0);
    canvas.setEnding();
    QVERIFY(canvas.currentImage().isNull());
    QVERIFY(canvas.currentTimestamp().isEmpty());
    QCOMPARE(canvas.zoomFactor(), 1.0);
    QCOMPARE(ending.count(), 0); // the player decides the end itself

    // Pictures of the old stream still queued when it ends or another
    // starts never reach the screen.
    const auto queue = [&](const QString &time) {
        QMetaObject::invokeMethod(&canvas, [&canvas, &buf, time] { show(canvas, buf, 32, 32, time); },
                                  Qt::QueuedConnection);
    };
    const qint64 before = canvas.receivedFrames();
    queue(QStringLiteral("20240305140000000"));
    canvas.setEnding();
    QCoreApplication::processEvents();
    QVERIFY(canvas.currentImage().isNull());
    queue(QStringLiteral("20240305140001000"));
    canvas.setStreamStart(true);
    queue(QStringLiteral("20240305150000000")); // the new stream's first picture
    QCoreApplication::processEvents();
    QCOMPARE(canvas.receivedFrames(), before + 1);
    QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 15:00:00.000"));

    Canvas live; // not fed by the player: its owner tears the view down
    QSignalSpy liveEnding(&live, &Canvas::endingsignal);
    live.setup_disconnect(true);
    QCOMPARE(liveEnding.count(), 1);
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
    const auto changed = [](const QImage &img, const QRect &r) {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                n += (img.pixel(x, y) | 0xff000000u) != expected(x, y) ? 1 : 0;
        return n;
    };
    QCOMPARE(changed(snap, QRect(0, 0, w, h / 2)), 0);
    QVERIFY(changed(snap, QRect(w - 120, h - 20, 120, 20)) > 200);
    // Snapshots are copies: the next picture does not change them.
    std::vector<uint8_t> black(size_t(w) * h * 4, 0);
    show(canvas, black, w, h);
    QCOMPARE(changed(snap, QRect(0, 0, 8, 8)), 0);
}

void TestCanvas::letterboxAndZoom()
{
    Canvas canvas;
    canvas.resize(400, 400);
    QVERIFY(canvas.pictureRect().isEmpty());
    std::vector<uint8_t> green = pattern(320, 240, 1280, qRgb(0, 200, 0));
    show(canvas, green, 320, 240);
    QCOMPARE(canvas.pictureRect(), QRectF(0, 50, 400, 300));
    const QImage shot = canvas.grab().toImage();
    QCOMPARE(shot.pixelColor(200, 10), QColor(Qt::black));  // bar above
    QCOMPARE(shot.pixelColor(200, 390), QColor(Qt::black)); // bar below
    QCOMPARE(shot.pixelColor(200, 200), QColor(0, 200, 0));
    QCOMPARE(shot.pixelColor(390, 60), QColor(0, 200, 0));

    canvas.zoomAt(QPointF(200, 200), 2.0); // centre of the picture
    const QRectF z = canvas.zoomRect();
    QCOMPARE(z.center(), QPointF(0.5, 0.5));
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
    show(canvas, buf, 320, 240);
    wheel(&canvas, 120); // zoom is off by default
    QCOMPARE(canvas.zoomFactor(), 1.0);
    canvas.setDigitalZoomEnabled(true);
    wheel(&canvas, 240);
    QVERIFY(qAbs(canvas.zoomFactor() - 1.5625) < 1e-9);
    // Right click shows the whole picture again.
    mouse(&canvas, QEvent::MouseButtonPress, QPointF(10, 10), Qt::RightButton);
    mouse(&canvas, QEvent::MouseButtonRelease, QPointF(10, 10), Qt::RightButton);
    QCOMPARE(canvas.zoomFactor(), 1.0);

    // A left-button drag selects the part to zoom into; a tiny one is a
    // click, not a choice.
    drag(&canvas, QPointF(100, 100), QPointF(103, 102));
    QCOMPARE(canvas.zoomFactor(), 1.0);
    drag(&canvas, QPointF(0, 0), QPointF(200, 150));
    QCOMPARE(canvas.zoomRect(), QRectF(0, 0, 0.5, 0.5));
    // Zoomed, a drag moves the view (dragging left shows more of the right).
    drag(&canvas, QPointF(300, 150), QPointF(100, 150));
    QVERIFY(canvas.zoomRect().left() > 0.2);
    QCOMPARE(canvas.zoomFactor(), 2.0);
    // Double click (full screen off) resets.
    QTest::mouseDClick(&canvas, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
    QCOMPARE(canvas.zoomFactor(), 1.0);
}

QTEST_MAIN(TestCanvas)
#include "tst_canvas.moc"
