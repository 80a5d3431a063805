#include "canvas.h"
#include "nativeptzinterface.h"
#include "onvif.h"
#include "ptzctrlweb.h"
#include "zulog.h"

#include "../ptz/ptz_test_support.h"

#include <QSignalSpy>
#include <QtTest>

#include <vector>

namespace {
// Records the commands the surface sends instead of reaching a camera.
class DriverDouble : public NativePTZInterface
{
public:
    DriverDouble()
        : NativePTZInterface(PtzCamera{}, QStringLiteral("DOUBLE"))
    {
    }
    struct Call
    {
        QString command;
        bool flag;
        float x, y, z;
        int width, height, index, areaWidth, areaHeight;
    };
    void send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                      int areaWidth, int areaHeight) override
    {
        calls.append({command, flag, x, y, z, width, height, index, areaWidth, areaHeight});
    }
    QString status_text() override { return QStringLiteral("double"); }
    QStringList commands() const
    {
        QStringList out;
        for (const Call &c : calls)
            out << c.command;
        return out;
    }
    void report(int status) { emit status_message(status, QStringLiteral("GetStatus"), QStringLiteral("gone"), driverName); }
    QList<Call> calls;
};

void mouse(QWidget *w, QEvent::Type type, QPointF pos, Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent e(type, pos, w->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : button, held,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void wheel(QWidget *w, int delta)
{
    QWheelEvent e(QPointF(200, 150), QPointF(200, 150), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}

// An 800x600 picture on a 400x300 surface: widget point (x, y) is frame
// point (2x, 2y).
struct Surface
{
    Surface()
    {
        canvas.resize(400, 300);
        canvas.setDigitalZoomEnabled(true);
        pixels.assign(size_t(800) * 600 * 4, 0x80);
        canvas.displayFrame(pixels.data(), 800, 600, 800 * 4, QStringLiteral("20240305140000000"), QString(), true,
                            1, 10.0, false);
    }
    void hold(QPointF at, DriverDouble *driver, int calls)
    {
        mouse(&canvas, QEvent::MouseButtonPress, at);
        QTRY_COMPARE_WITH_TIMEOUT(driver->calls.size(), calls, 10000);
    }
    Canvas canvas;
    std::vector<uint8_t> pixels;
};
} // namespace

class TestCanvasPtz : public QObject
{
    Q_OBJECT
private slots:
    void gesturesReachTheDriver();
    void holdAndOnvifRetries();
    void unreachableCameraSwitchesNativeOff();
    void webGestures();
    void onlyOnvifRepliesAreFollowed();
};

void TestCanvasPtz::gesturesReachTheDriver()
{
    Surface s;
    DriverDouble driver;
    s.canvas.setNativePtz(&driver);
    s.canvas.setPtzIndex(4);

    mouse(&s.canvas, QEvent::MouseButtonPress, {100, 50});
    mouse(&s.canvas, QEvent::MouseButtonRelease, {100, 50});
    mouse(&s.canvas, QEvent::MouseButtonPress, {10, 20});
    mouse(&s.canvas, QEvent::MouseMove, {60, 120});
    mouse(&s.canvas, QEvent::MouseButtonRelease, {60, 120});
    mouse(&s.canvas, QEvent::MouseButtonPress, {300, 150}, Qt::RightButton);
    mouse(&s.canvas, QEvent::MouseButtonRelease, {300, 150}, Qt::RightButton);
    wheel(&s.canvas, 120);
    wheel(&s.canvas, -240);

    QCOMPARE(driver.commands(),
             (QStringList{"clic", "area", "right_clic", "ContinuousMove", "ContinuousMove"}));
    const auto &c = driver.calls;
    QCOMPARE(c[0].x, 200.f);
    QCOMPARE(c[0].y, 100.f);
    QCOMPARE(c[0].width, 800);
    QCOMPARE(c[0].height, 600);
    QCOMPARE(c[0].index, 4);
    QCOMPARE(c[1].x, 20.f);
    QCOMPARE(c[1].y, 40.f);
    QCOMPARE(c[1].areaWidth, 100);
    QCOMPARE(c[1].areaHeight, 200);
    QCOMPARE(c[2].x, 600.f);
    QVERIFY(c[3].flag && c[3].z > 0 && c[3].x == 0 && c[3].y == 0);
    QVERIFY(c[4].flag && c[4].z == -1.f);
    // The camera moved, not the picture.
    QCOMPARE(s.canvas.zoomFactor(), 1.0);

    // Without a driver the same gestures zoom digitally again.
    s.canvas.setNativePtz(nullptr);
    wheel(&s.canvas, 120);
    QVERIFY(s.canvas.zoomFactor() > 1.0);
    QCOMPARE(driver.calls.size(), 5);
}

void TestCanvasPtz::holdAndOnvifRetries()
{
    Surface s;
    DriverDouble driver;
    s.canvas.setNativePtz(&driver);

    // Held in the top-right quarter: pan right, tilt up.
    s.hold({300, 75}, &driver, 1);
    QCOMPARE(driver.calls[0].command, QStringLiteral("ContinuousMove"));
    QVERIFY(!driver.calls[0].flag);
    QCOMPARE(driver.calls[0].x, 0.5f);
    QCOMPARE(driver.calls[0].y, 0.5f);
    // The move failed: repeated while the button is held, once for both codes.
    s.canvas.onvif_request_finished(-1);
    s.canvas.onvif_request_finished(2);
    QTRY_COMPARE_WITH_TIMEOUT(driver.calls.size(), 2, 10000);
    QCOMPARE(driver.calls[1].command, QStringLiteral("PanTilt_ContinuousMove"));
    QCOMPARE(driver.calls[1].x, 0.5f);
    mouse(&s.canvas, QEvent::MouseButtonRelease, {300, 75});
    QCOMPARE(driver.calls.last().command, QStringLiteral("STOP_PanTilt_ContinuousMove"));

    // After the release a failed move is not repeated; code 2 stops.
    s.canvas.onvif_request_finished(-1);
    QTest::qWait(Canvas::kOnvifRetryMs * 2);
    QCOMPARE(driver.calls.size(), 3);
    s.canvas.onvif_request_finished(2);
    QTRY_COMPARE_WITH_TIMEOUT(driver.calls.size(), 4, 10000);
    QCOMPARE(driver.calls[3].command, QStringLiteral("STOP_PanTilt_ContinuousMove"));

    // Leaving the surface while holding stops the move.
    s.hold({100, 150}, &driver, 5);
    QCOMPARE(driver.calls[4].x, -0.5f);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&s.canvas, &leave);
    QCOMPARE(driver.calls.size(), 6);
    QCOMPARE(driver.calls[5].command, QStringLiteral("STOP_PanTilt_ContinuousMove"));
    mouse(&s.canvas, QEvent::MouseButtonRelease, {100, 150});
    QCOMPARE(driver.calls.size(), 6);
}

void TestCanvasPtz::unreachableCameraSwitchesNativeOff()
{
    Surface s;
    DriverDouble driver;
    s.canvas.setNativePtz(&driver);
    driver.report(-2);
    QVERIFY(driver.isPtzEnabled());
    QVERIFY(s.canvas.ptzStatusText().contains("gone"));
    // A camera's whole reply page shows as one short line.
    emit driver.status_message(-2, "clic", "PTZ command failed :: <html>\n<body>Error" + QString(5000, 'x'),
                               "DOUBLE");
    QCOMPARE(s.canvas.ptzStatusText().left(58),
             QStringLiteral("PTZ DOUBLE : clic : PTZ command failed :: <html> <body>Err"));
    QVERIFY(s.canvas.ptzStatusText().size() < Canvas::kMaxPtzFault + 40);
    driver.report(-99);
    QVERIFY(!driver.isPtzEnabled());
    wheel(&s.canvas, 120);
    QVERIFY(driver.calls.isEmpty());
    QVERIFY(s.canvas.zoomFactor() > 1.0);
}

void TestCanvasPtz::webGestures()
{
    ptztest::PtzServer server;
    QVERIFY(server.start(QStringLiteral("web"), {"--hold", "1"}));
    Surface s;
    DriverDouble driver;
    driver.setPtzEnabled(false); // a driver that is switched off leaves the web page in charge
    s.canvas.setNativePtz(&driver);
    s.canvas.setWebPtz(server.url() + "/ptz.php?cam=7", "sess");
    QVERIFY(!s.canvas.webPtzClient());
    auto settle = [&] { QVERIFY(QTest::qWaitFor([&] { return s.canvas.webPtzClient()->isReady(); }, 20000)); };

    mouse(&s.canvas, QEvent::MouseButtonPress, {100, 50});
    mouse(&s.canvas, QEvent::MouseButtonRelease, {100, 50});
    QVERIFY(s.canvas.webPtzClient());
    settle();
    wheel(&s.canvas, -120);
    settle();
    mouse(&s.canvas, QEvent::MouseButtonPress, {300, 150}, Qt::RightButton);
    settle();
    mouse(&s.canvas, QEvent::MouseButtonPress, {10, 20});
    mouse(&s.canvas, QEvent::MouseMove, {60, 120});
    mouse(&s.canvas, QEvent::MouseButtonRelease, {60, 120});
    settle();
    // A hold, released while the recorder still holds the move: the release
    // is retried by the security stop until it goes out.
    mouse(&s.canvas, QEvent::MouseButtonPress, {200, 150});
    QVERIFY(server.waitForRequests(5));
    mouse(&s.canvas, QEvent::MouseButtonRelease, {200, 150});
    QVERIFY(server.waitForRequests(6));
    settle();

    const QString tail = "&resolution=800x600&PHPSESSID=sess";
    QCOMPARE(server.targets(), (QStringList{"/ptz.php?cam=7&clic=200,100" + tail, "/ptz.php?cam=7&zoom=0,1" + tail,
                                            "/ptz.php?cam=7&rightclic=1" + tail,
                                            "/ptz.php?cam=7&area=20,40,100,200" + tail,
                                            "/ptz.php?cam=7&holdclic=400,300" + tail,
                                            "/ptz.php?cam=7&releaseclic=0,0" + tail}));
    QVERIFY(driver.calls.isEmpty());
}

void TestCanvasPtz::onlyOnvifRepliesAreFollowed()
{
    setLevelValue(1);
    Surface s;
    DriverDouble driver;
    s.canvas.setNativePtz(&driver);
    emit driver.send_request_finished(2);
    QTest::qWait(Canvas::kOnvifRetryMs * 2);
    QVERIFY(driver.calls.isEmpty());

    // The ONVIF driver's code 2 brings the stop (which this driver, without
    // a camera behind it, can only log).
    Onvif onvif(PtzCamera{});
    s.canvas.setNativePtz(&onvif);
    ptztest::LogCapture::install();
    emit onvif.send_request_finished(2);
    const bool stopped = QTest::qWaitFor([] {
        return ptztest::LogCapture::lines().contains(
            "[WARN] ONVIF :: send command :: no profile :: STOP_PanTilt_ContinuousMove");
    }, 10000);
    ptztest::LogCapture::uninstall();
    QVERIFY(stopped);
}

QTEST_MAIN(TestCanvasPtz)
#include "tst_canvas_ptz.moc"
