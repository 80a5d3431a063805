#include "axisptz.h"
#include "nativeptzinterface.h"
#include "vendorptz.h"

#include "curlglobal.h"
#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using ptztest::PtzServer;
using ptztest::rule;

namespace {
const QString kPassword = QStringLiteral("s3cr3t-Pw");


PtzCamera cameraAt(const PtzServer &server, const QString &index = QStringLiteral("2"))
{
    PtzCamera c;
    c.host = QStringLiteral("127.0.0.1");
    c.port = server.port();
    c.login = QStringLiteral("admin");
    c.password = kPassword;
    c.indexText = index;
    return c;
}

// A driver whose commands are "GET <path>" or "POST <path> <body>".
class RawDriver : public NativePTZInterface
{
public:
    using NativePTZInterface::NativePTZInterface;
    void send_command(QString command, bool, float, float, float, int, int, int, int, int) override {}
    QString status_text() override { return QStringLiteral("raw"); }
    void request(const QString &name, const QString &method, const QString &path, const QByteArray &body = {})
    {
        currentCommand = name;
        if (method == "GET")
            queue_get(baseUrl() + path);
        else
            queue_post(baseUrl() + path, body);
    }
};

QStringList args(const QList<QVariant> &signal)
{
    QStringList out;
    for (const QVariant &v : signal)
        out << v.toString();
    return out;
}

QJsonObject opticsReply(const QString &key, const QJsonValue &value)
{
    return QJsonObject{{"apiVersion", "1.2"}, {"data", QJsonObject{{"optics", QJsonArray{QJsonObject{{key, value}}}}}}};
}

QString json(const QJsonObject &o) { return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)); }
} // namespace

class TestPtzDrivers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void oneRequestAtATimeNewestWins();
    void replyRules_data();
    void replyRules();
    void deleteMidRequest();
    void axisProbe_data();
    void axisProbe();
    void axisMagnification_data();
    void axisMagnification();
    void axisWheelZoomStaysInRange();
    void vendorCommands_data();
    void vendorCommands();
    void failedStopIsRetriedOnce();
    void cleanupTestCase();
};

void TestPtzDrivers::initTestCase()
{
    QVERIFY(zuCurlGlobalInit());
    setLevelValue(1);
    ptztest::LogCapture::install();
}

void TestPtzDrivers::cleanupTestCase()
{
    ptztest::LogCapture::uninstall();
    // No credential reaches the log.
    ptztest::LogCapture::verifyAbsent(kPassword);
}

void TestPtzDrivers::oneRequestAtATimeNewestWins()
{
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "digest", "--password", kPassword},
                         {rule("GET", "/slow", 200, "slow", 1.0), rule("GET", "/a"), rule("GET", "/b"),
                          rule("GET", "/c", 200, "c")}));
    RawDriver driver(cameraAt(camera), "RAW");
    QSignalSpy done(&driver, &NativePTZInterface::send_request_finished_ex);
    driver.request("Slow", "GET", "/slow");
    QVERIFY(driver.isBusy());
    QVERIFY(camera.waitForRequests(1));
    driver.request("A", "GET", "/a");
    driver.request("B", "GET", "/b");
    driver.request("C", "GET", "/c");
    QVERIFY(QTest::qWaitFor([&] { return done.count() == 2 && !driver.isBusy(); }, 20000));
    QStringList answered;
    for (const QJsonObject &r : camera.requests())
        if (r.value("status").toInt() == 200)
            answered << r.value("target").toString();
    QCOMPARE(answered, (QStringList{"/slow", "/c"}));
    // Each reply under the name of its own command.
    QCOMPARE(args(done.at(0)), (QStringList{"1", "Slow", "slow"}));
    QCOMPARE(args(done.at(1)), (QStringList{"1", "C", "c"}));
    QVERIFY(driver.isIdle());
}

void TestPtzDrivers::replyRules_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("fault"); // of status_message(-2, ...); empty: none

    QTest::newRow("GET ok") << "GET" << "clic" << 200 << "OK" << 1 << "";
    QTest::newRow("GET empty") << "GET" << "clic" << 204 << "" << 1 << "";
    QTest::newRow("GET Error inside a word") << "GET" << "clic" << 200 << "NoErrors" << -1
                                             << "PTZ command failed :: NoErrors";
    QTest::newRow("GET lower-case error") << "GET" << "clic" << 200 << "error" << 1 << "";
    QTest::newRow("POST capitals") << "POST" << "zoom" << 200 << "ERROR" << -1 << "PTZ command failed :: ERROR";
    QTest::newRow("POST json error") << "POST" << "zoom" << 200 << R"({"error":{"code":2}})" << -1
                                     << R"(PTZ command failed :: {"error":{"code":2}})";
    QTest::newRow("HTTP failure") << "GET" << "clic" << 500 << "x" << -1 << "PTZ command failed";
    QTest::newRow("probe failure is quiet") << "GET" << "ProbeSomething" << 404 << "" << -1 << "";
}

void TestPtzDrivers::replyRules()
{
    QFETCH(QString, method);
    QFETCH(QString, command);
    QFETCH(int, status);
    QFETCH(QString, reply);
    QFETCH(int, code);
    QFETCH(QString, fault);
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "basic", "--password", kPassword},
                         {rule(method, "/cmd", status, reply)}));
    RawDriver driver(cameraAt(camera), "RAW");
    QSignalSpy finished(&driver, &NativePTZInterface::send_request_finished);
    QSignalSpy messages(&driver, &NativePTZInterface::status_message);
    driver.request(command, method, "/cmd", "{}");
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().at(0).toInt(), code);
    if (fault.isEmpty()) {
        QCOMPARE(messages.count(), 0);
    } else {
        QCOMPARE(messages.count(), 1);
        QCOMPARE(args(messages.first()), (QStringList{"-2", command, fault, "RAW"}));
    }
}

void TestPtzDrivers::deleteMidRequest()
{
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "digest", "--password", kPassword},
                         {rule("GET", "/slow", 200, "late", 30)}));
    auto driver = std::make_unique<RawDriver>(cameraAt(camera), "RAW");
    int reported = 0;
    connect(driver.get(), &NativePTZInterface::send_request_finished, this, [&] { ++reported; });
    driver->request("Slow", "GET", "/slow");
    driver->request("Later", "GET", "/slow");
    QVERIFY(camera.waitForRequests(2)); // the challenge, then the request itself
    QTest::qWait(100);
    // The transfer is cancelled and its thread joined; nothing comes back.
    driver.reset();
    QTest::qWait(300);
    QCOMPARE(reported, 0);
}

void TestPtzDrivers::axisProbe_data()
{
    QTest::addColumn<bool>("optics");
    QTest::addColumn<bool>("ptzCgi");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("report");

    QTest::newRow("optics API") << true << false
                                << QStringList{"POST getCapabilities", "POST getCapabilities", "POST getOptics"}
                                << QStringList{"1", "Capabilities", "AXIS capabilities: OPTICS (zoom)", "AXIS"};
    QTest::newRow("ptz.cgi only") << false << true << QStringList{"POST getCapabilities", "GET query=position"}
                                  << QStringList{"1", "Capabilities", "AXIS capabilities: PTZ CGI", "AXIS"};
    QTest::newRow("neither") << false << false << QStringList{"POST getCapabilities", "GET query=position"}
                             << QStringList{"-1", "Capabilities", "no PTZ/optics", "AXIS"};
}

void TestPtzDrivers::axisProbe()
{
    QFETCH(bool, optics);
    QFETCH(bool, ptzCgi);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, report);
    QJsonArray rules;
    if (optics) {
        rules.append(rule("POST", "/axis-cgi/opticscontrol.cgi", 200,
                          json(opticsReply("maxMagnification", 12)), 0, "getCapabilities"));
        rules.append(rule("POST", "/axis-cgi/opticscontrol.cgi", 200, json(opticsReply("magnification", 30)), 0,
                          "getOptics"));
    }
    if (ptzCgi)
        rules.append(rule("GET", "/axis-cgi/com/ptz.cgi", 200, "pan=0\ntilt=0\n"));
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "both", "--password", kPassword}, rules));
    AxisPtz axis(cameraAt(camera));
    QSignalSpy messages(&axis, &NativePTZInterface::status_message);
    QSignalSpy done(&axis, &NativePTZInterface::send_request_finished_ex);
    axis.start_probe();
    QVERIFY(QTest::qWaitFor([&] { return done.count() == requests.size() && !axis.isBusy(); }, 30000));
    QTest::qWait(200);
    QCOMPARE(done.count(), requests.size());

    QStringList seen;
    for (const QJsonObject &r : camera.requests()) {
        if (r.value("auth").toString() == "none")
            continue; // libcurl's first, unauthenticated round
        const QString body = r.value("body").toString();
        seen << r.value("method").toString() + " "
                + (body.isEmpty() ? r.value("query").toString()
                                  : QJsonDocument::fromJson(body.toUtf8()).object().value("method").toString());
    }
    QCOMPARE(seen, requests);
    QCOMPARE(camera.requests().at(1).value("body").toString(),
             R"({"apiVersion":"1.2","context":"talvor","method":"getCapabilities"})");
    QCOMPARE(messages.count(), 1);
    QCOMPARE(args(messages.first()), report);
    QCOMPARE(axis.isOpticsSupported(), optics);
    QCOMPARE(axis.isPtzCgiSupported(), ptzCgi);
    if (optics) {
        // The range was known before the current value came in.
        QCOMPARE(axis.maximumMagnification(), 12.0);
        QVERIFY(axis.isZoomCapable());
        QCOMPARE(axis.currentMagnification(), 12.0);
    }
}

void TestPtzDrivers::axisMagnification_data()
{
    QTest::addColumn<QString>("capabilities");
    QTest::addColumn<QString>("optics");
    QTest::addColumn<bool>("known");
    QTest::addColumn<double>("magnification");

    const QString max12 = json(opticsReply("maxMagnification", 12));
    const QString noMax = json(QJsonObject{{"data", QJsonObject{{"optics", QJsonArray{QJsonObject{}}}}}});
    QTest::newRow("below 1") << max12 << json(opticsReply("magnification", 0.5)) << true << 1.0;
    QTest::newRow("above the maximum") << max12 << json(opticsReply("magnification", 30)) << true << 12.0;
    QTest::newRow("no known maximum") << noMax << json(opticsReply("magnification", 30)) << true << 30.0;
    QTest::newRow("not JSON") << max12 << "magnification=3" << false << 1.0;
    QTest::newRow("empty data") << max12 << R"({"data":{}})" << false << 1.0;
    QTest::newRow("number as text") << max12 << json(opticsReply("magnification", "4")) << true << 1.0;
}

void TestPtzDrivers::axisMagnification()
{
    QFETCH(QString, capabilities);
    QFETCH(QString, optics);
    QFETCH(bool, known);
    QFETCH(double, magnification);
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "none"},
                         {rule("POST", "/axis-cgi/opticscontrol.cgi", 200, capabilities, 0, "getCapabilities"),
                          rule("POST", "/axis-cgi/opticscontrol.cgi", 200, optics, 0, "getOptics")}));
    AxisPtz axis(cameraAt(camera));
    QSignalSpy done(&axis, &NativePTZInterface::send_request_finished_ex);
    axis.start_probe();
    QVERIFY(QTest::qWaitFor([&] { return done.count() == 3 && !axis.isBusy(); }, 30000));
    QCOMPARE(axis.isMagnificationKnown(), known);
    QCOMPARE(axis.currentMagnification(), magnification);
}

void TestPtzDrivers::axisWheelZoomStaysInRange()
{
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "none"},
                         {rule("POST", "/axis-cgi/opticscontrol.cgi", 200, json(opticsReply("maxMagnification", 12)),
                               0, "getCapabilities"),
                          rule("POST", "/axis-cgi/opticscontrol.cgi", 200, json(opticsReply("magnification", 8)), 0,
                               "getOptics"),
                          rule("POST", "/axis-cgi/opticscontrol.cgi", 200, R"({"data":{}})", 0, "setMagnification")}));
    AxisPtz axis(cameraAt(camera));
    QSignalSpy done(&axis, &NativePTZInterface::send_request_finished_ex);
    axis.start_probe();
    QVERIFY(QTest::qWaitFor([&] { return done.count() == 3 && !axis.isBusy(); }, 30000));
    QCOMPARE(axis.currentMagnification(), 8.0);
    // A full wheel step would double the magnification: 16, beyond the lens.
    axis.send_command("ContinuousMove", true, 0, 0, 1, -1, -1, 1, -1, -1);
    QVERIFY(QTest::qWaitFor([&] { return done.count() == 5 && !axis.isBusy(); }, 30000));
    const QList<QJsonObject> seen = camera.requests();
    QCOMPARE(seen.at(3).value("body").toString(),
             R"({"apiVersion":"1.2","context":"talvor","method":"setMagnification","params":)"
             R"({"optics":[{"magnification":12,"opticsId":"0"}]}})");
    // ... and the new value is read back.
    QVERIFY(seen.at(4).value("body").toString().contains("getOptics"));
}

void TestPtzDrivers::vendorCommands_data()
{
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QList<float>>("xyz");
    QTest::addColumn<QList<int>>("sizes"); // width, height, index, areaWidth, areaHeight
    QTest::addColumn<QStringList>("expected"); // "METHOD target [body]" per request

    const QList<float> none{0, 0, 0};
    const QList<int> noSize{-1, -1, 0, -1, -1};
    const QString ptz = "GET /axis-cgi/com/ptz.cgi?";
    QTest::newRow("AXIS security stop") << "axis" << "security_stop" << none << noSize
        << QStringList{ptz + "continuouspantiltmove=0,0&continuouszoommove=0&camera=1"};
    QTest::newRow("AXIS area") << "axis" << "area" << QList<float>{100, 50, 0} << QList<int>{640, 480, 1, 160, 80}
        << QStringList{ptz + "areazoom=180,90,400&imagewidth=640&imageheight=480&camera=1"};
    QTest::newRow("AXIS move, speeds bounded") << "axis" << "ContinuousMove" << QList<float>{0.5f, -2, 0} << noSize
        << QStringList{ptz + "continuouspantiltmove=50,-100&continuouszoommove=0&camera=1"};

    const QString sunapi = "GET /stw-cgi/ptzcontrol.cgi?msubmenu=";
    QTest::newRow("Hanwha security stop") << "hanwha" << "security_stop" << none << noSize
        << QStringList{sunapi + "stop&action=control&Channel=2&OperationType=All"};
    QTest::newRow("Hanwha clic then its stop") << "hanwha" << "clic" << QList<float>{480, 120, 0}
        << QList<int>{640, 480, 1, -1, -1}
        << QStringList{sunapi + "continuous&action=control&Channel=1&Pan=50&Tilt=50&Zoom=0",
                       sunapi + "stop&action=control&Channel=2&OperationType=All"};
    QTest::newRow("Hanwha area") << "hanwha" << "area" << QList<float>{10, 20, 0} << QList<int>{640, 480, 1, 100, 50}
        << QStringList{sunapi + "areazoom&action=control&Channel=1&Type=ZoomIn&X1=10&Y1=20&X2=110&Y2=70"
                                "&TileWidth=640&TileHeight=480"};

    const QString xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    const QString stop = xml + "<PTZData><pan>0</pan><tilt>0</tilt><zoom>0</zoom></PTZData>";
    QTest::newRow("Hik security stop") << "hik" << "security_stop" << none << noSize
        << QStringList{"PUT /ISAPI/PTZCtrl/channels/2/continuous " + stop};
    QTest::newRow("Hik wheel") << "hik" << "ContinuousMove_wheel" << QList<float>{0, 0, -0.5f} << noSize
        << QStringList{"PUT /ISAPI/PTZCtrl/channels/2/continuous " + xml
                       + "<PTZData><pan>0</pan><tilt>0</tilt><zoom>-50</zoom></PTZData>"};
    QTest::newRow("Hik area") << "hik" << "area" << QList<float>{0, 0, 0} << QList<int>{510, 255, 0, 255, 51}
        << QStringList{"PUT /ISAPI/PTZCtrl/channels/2/position3D " + xml
                       + "<position3D><StartPoint><positionX>0</positionX><positionY>255</positionY></StartPoint>"
                         "<EndPoint><positionX>128</positionX><positionY>204</positionY></EndPoint></position3D>"};

    QTest::newRow("Fuji security stop") << "fuji" << "security_stop" << none << noSize
        << QStringList{"GET /cgi-bin/ptz.cgi?cam=1&move=continuous&pan=0&tilt=0&zoom=0"};
    QTest::newRow("Fuji move") << "fuji" << "PanTilt_ContinuousMove" << QList<float>{-0.25f, 1, 1} << noSize
        << QStringList{"GET /cgi-bin/ptz.cgi?cam=2&move=continuous&pan=-25&tilt=100&zoom=0"};
}

void TestPtzDrivers::vendorCommands()
{
    QFETCH(QString, vendor);
    QFETCH(QString, command);
    QFETCH(QList<float>, xyz);
    QFETCH(QList<int>, sizes);
    QFETCH(QStringList, expected);
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "both", "--password", kPassword},
                         {rule("GET", "/axis-cgi/com/ptz.cgi"), rule("GET", "/stw-cgi/ptzcontrol.cgi"),
                          rule("PUT", "/ISAPI/PTZCtrl/channels/2/continuous"),
                          rule("PUT", "/ISAPI/PTZCtrl/channels/3/continuous"),
                          rule("PUT", "/ISAPI/PTZCtrl/channels/2/position3D"), rule("GET", "/cgi-bin/ptz.cgi")}));
    std::unique_ptr<NativePTZInterface> driver;
    if (vendor == "axis")
        driver = std::make_unique<AxisPtz>(cameraAt(camera));
    else if (vendor == "hanwha")
        driver = std::make_unique<Hanwhaptz>(cameraAt(camera));
    else if (vendor == "hik")
        driver = std::make_unique<HikPtz>(cameraAt(camera));
    else
        driver = std::make_unique<Fujiptz>(cameraAt(camera));
    QSignalSpy done(driver.get(), &NativePTZInterface::send_request_finished);
    QSignalSpy messages(driver.get(), &NativePTZInterface::status_message);
    if (command == "security_stop") {
        QVERIFY(QMetaObject::invokeMethod(driver.get(), "security_stop"));
    } else {
        const bool wheel = command.endsWith("_wheel");
        driver->send_command(wheel ? "ContinuousMove" : command, wheel, xyz[0], xyz[1], xyz[2], sizes[0], sizes[1],
                             sizes[2], sizes[3], sizes[4]);
    }
    QVERIFY(QTest::qWaitFor([&] { return done.count() == expected.size() && !driver->isBusy(); }, 30000));
    QTest::qWait(400); // nothing more follows
    QStringList seen;
    for (const QJsonObject &r : camera.requests()) {
        if (r.value("status").toInt() != 200)
            continue;
        const QString body = r.value("body").toString();
        seen << r.value("method").toString() + " " + r.value("target").toString()
                + (body.isEmpty() ? QString() : " " + body);
    }
    QCOMPARE(seen, expected);
    for (const auto &d : done)
        QCOMPARE(d.at(0).toInt(), 1);
    QCOMPARE(messages.count(), 0);
}

void TestPtzDrivers::failedStopIsRetriedOnce()
{
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "basic", "--password", kPassword},
                         {rule("GET", "/cgi-bin/ptz.cgi", 500, "busy")}));
    Fujiptz fuji(cameraAt(camera));
    QSignalSpy done(&fuji, &NativePTZInterface::send_request_finished);
    QSignalSpy messages(&fuji, &NativePTZInterface::status_message);
    fuji.send_command("STOP", false, 0, 0, 0, -1, -1, 2, -1, -1);
    QVERIFY(QTest::qWaitFor([&] { return done.count() == 2 && !fuji.isBusy(); }, 30000));
    QTest::qWait(NativePTZInterface::kSecurityStopRetryMs * 3);
    QStringList seen;
    for (const QJsonObject &r : camera.requests())
        if (r.value("auth").toString() == "basic")
            seen << r.value("target").toString();
    QCOMPARE(seen, (QStringList{"/cgi-bin/ptz.cgi?cam=2&move=stop",
                                "/cgi-bin/ptz.cgi?cam=1&move=continuous&pan=0&tilt=0&zoom=0"}));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(args(messages.first()), (QStringList{"-2", "STOP", "PTZ command failed", "FUJI"}));
}

QTEST_MAIN(TestPtzDrivers)
#include "test_ptz_drivers.moc"
