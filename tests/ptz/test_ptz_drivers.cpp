#include "axisptz.h"
#include "nativeptzinterface.h"
#include "vendorptz.h"

#include "curlglobal.h"
#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using ptztest::joined;
using ptztest::rule;
using ptztest::StandIn;

namespace {
// A driver whose commands are "GET <path>" or "POST <path> <body>".
class RawDriver : public NativePTZInterface
{
public:
    using NativePTZInterface::NativePTZInterface;
    void send_command(QString, bool, float, float, float, int, int, int, int, int) override {}
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

// "METHOD target [body]" of each request that carried credentials (libcurl
// asks without them first).
QStringList sent(const StandIn &camera)
{
    QStringList out;
    for (const QJsonObject &r : camera.requests()) {
        const QString body = r.value("body").toString();
        if (r.value("auth").toString() != "none")
            out << r.value("method").toString() + " " + r.value("target").toString() + (body.isEmpty() ? "" : " " + body);
    }
    return out;
}

QString optics(const QString &key, const QJsonValue &value)
{
    const QJsonObject o{{"apiVersion", "1.2"}, {"data", QJsonObject{{"optics", QJsonArray{QJsonObject{{key, value}}}}}}};
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

bool settle(NativePTZInterface &driver, QSignalSpy &done, int count)
{
    return QTest::qWaitFor([&] { return done.count() == count && !driver.isBusy(); }, 30000);
}
} // namespace

class TestPtzDrivers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void dispatcher();
    void replyRules_data();
    void replyRules();
    void axis_data();
    void axis();
    void vendorCommands_data();
    void vendorCommands();
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
    ptztest::LogCapture::verifyNoPassword();
}

// One request at a time; of those made meanwhile the newest wins. Deleting
// the driver cancels the request that runs and joins its thread.
void TestPtzDrivers::dispatcher()
{
    StandIn camera;
    QVERIFY(camera.start({"camera", "--auth", "digest"}, {rule("GET", "/slow", 200, "slow", 1.0), rule("GET", "/a"),
                                                          rule("GET", "/b"), rule("GET", "/c", 200, "c"),
                                                          rule("GET", "/stuck", 200, "late", 30)}));
    auto driver = std::make_unique<RawDriver>(camera.camera(), "RAW");
    QSignalSpy done(driver.get(), &NativePTZInterface::send_request_finished_ex);
    driver->request("Slow", "GET", "/slow");
    QVERIFY(driver->isBusy());
    QVERIFY(camera.waitForRequests(1));
    driver->request("A", "GET", "/a");
    driver->request("B", "GET", "/b");
    driver->request("C", "GET", "/c");
    QVERIFY(settle(*driver, done, 2));
    QCOMPARE(sent(camera), (QStringList{"GET /slow", "GET /c"}));
    // Each reply under the name of its own command.
    QCOMPARE(joined(done.at(0)), "1|Slow|slow");
    QCOMPARE(joined(done.at(1)), "1|C|c");
    QVERIFY(driver->isIdle());

    driver->request("Stuck", "GET", "/stuck");
    driver->request("Later", "GET", "/stuck");
    QVERIFY(camera.waitForRequests(camera.requests().size() + 2)); // the challenge, then the request itself
    QTest::qWait(100);
    QSignalSpy finished(driver.get(), &NativePTZInterface::send_request_finished);
    QElapsedTimer clock;
    clock.start();
    driver.reset();
    QVERIFY(clock.elapsed() < 15000); // not the camera's 30 s
    QTest::qWait(300);
    QCOMPARE(finished.count(), 0);
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
    StandIn camera;
    QVERIFY(camera.start({"camera", "--auth", "basic"}, {rule(method, "/cmd", status, reply)}));
    RawDriver driver(camera.camera(), "RAW");
    QSignalSpy finished(&driver, &NativePTZInterface::send_request_finished);
    QSignalSpy messages(&driver, &NativePTZInterface::status_message);
    driver.request(command, method, "/cmd", "{}");
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().at(0).toInt(), code);
    QCOMPARE(messages.count(), fault.isEmpty() ? 0 : 1);
    if (!fault.isEmpty())
        QCOMPARE(joined(messages.first()), "-2|" + command + "|" + fault + "|RAW");
}

// The probe finds the optics API or ptz.cgi; the magnification read from
// the optics is kept within 1..the lens's maximum, which is known first; a
// wheel step asks for no more than the maximum, then reads the value back.
void TestPtzDrivers::axis_data()
{
    QTest::addColumn<QString>("capabilities"); // getCapabilities reply; empty: no optics API
    QTest::addColumn<QString>("getOptics");
    QTest::addColumn<bool>("ptzCgi");
    QTest::addColumn<QString>("report"); // the status message, "|"-joined
    QTest::addColumn<bool>("known");
    QTest::addColumn<double>("magnification");
    QTest::addColumn<int>("wheel"); // the magnification a full wheel step asks for; 0: no step
    const auto row = [](const char *name, const QString &capabilities, const QString &getOptics, bool ptzCgi,
                        const QString &report, bool known, double magnification, int wheel = 0) {
        QTest::newRow(name) << capabilities << getOptics << ptzCgi << report << known << magnification << wheel;
    };

    const QString max12 = optics("maxMagnification", 12);
    const QString zoom = "1|Capabilities|AXIS capabilities: OPTICS (zoom)|AXIS";
    row("optics API, above the maximum", max12, optics("magnification", 30), false, zoom, true, 12);
    row("ptz.cgi only", "", "", true, "1|Capabilities|AXIS capabilities: PTZ CGI|AXIS", false, 1);
    row("neither", "", "", false, "-1|Capabilities|no PTZ/optics|AXIS", false, 1);
    row("below 1", max12, optics("magnification", 0.5), false, zoom, true, 1);
    row("no known maximum", R"({"data":{"optics":[{}]}})", optics("magnification", 30), false, zoom, true, 30);
    row("not JSON", max12, "magnification=3", false, zoom, false, 1);
    row("empty data", max12, R"({"data":{}})", false, zoom, false, 1);
    row("number as text", max12, optics("magnification", "4"), false, zoom, true, 1);
    row("wheel step within the lens", max12, optics("magnification", 8), false, zoom, true, 8, 12);
}

void TestPtzDrivers::axis()
{
    QFETCH(QString, capabilities);
    QFETCH(QString, getOptics);
    QFETCH(bool, ptzCgi);
    QFETCH(QString, report);
    QFETCH(bool, known);
    QFETCH(double, magnification);
    QFETCH(int, wheel);
    const QString cgi = "/axis-cgi/opticscontrol.cgi";
    QJsonArray rules;
    if (!capabilities.isEmpty())
        rules = {rule("POST", cgi, 200, capabilities, 0, "getCapabilities"),
                 rule("POST", cgi, 200, getOptics, 0, "getOptics"),
                 rule("POST", cgi, 200, R"({"data":{}})", 0, "setMagnification")};
    if (ptzCgi)
        rules.append(rule("GET", "/axis-cgi/com/ptz.cgi", 200, "pan=0\ntilt=0\n"));
    StandIn camera;
    QVERIFY(camera.start({"camera"}, rules));
    const auto methods = [&] {
        QStringList out;
        for (const QString &s : sent(camera))
            out << (s.startsWith("GET") ? s.section('?', 1)
                                        : QJsonDocument::fromJson(s.section(' ', 2).toUtf8())["method"].toString());
        return out;
    };
    const QStringList requests = capabilities.isEmpty() ? QStringList{"getCapabilities", "query=position"}
                                                        : QStringList{"getCapabilities", "getCapabilities", "getOptics"};
    AxisPtz axis(camera.camera());
    QSignalSpy messages(&axis, &NativePTZInterface::status_message);
    QSignalSpy done(&axis, &NativePTZInterface::send_request_finished_ex);
    axis.start_probe();
    QVERIFY(settle(axis, done, requests.size()));
    QTest::qWait(200);
    QCOMPARE(methods(), requests);
    QCOMPARE(sent(camera).first(), "POST " + cgi + R"( {"apiVersion":"1.2","context":"talvor","method":"getCapabilities"})");
    QCOMPARE(messages.count(), 1);
    QCOMPARE(joined(messages.first()), report);
    QCOMPARE(axis.isOpticsSupported(), !capabilities.isEmpty());
    QCOMPARE(axis.isPtzCgiSupported(), ptzCgi);
    QCOMPARE(axis.isZoomCapable(), capabilities.contains("maxMagnification"));
    QCOMPARE(axis.isMagnificationKnown(), known);
    QCOMPARE(axis.currentMagnification(), magnification);
    if (!wheel)
        return;
    // A full wheel step doubles the magnification.
    axis.send_command("ContinuousMove", true, 0, 0, 1, -1, -1, 1, -1, -1);
    QVERIFY(settle(axis, done, requests.size() + 2));
    QCOMPARE(methods().mid(requests.size()), (QStringList{"setMagnification", "getOptics"}));
    QVERIFY(sent(camera).at(requests.size()).endsWith(
        QStringLiteral(R"("params":{"optics":[{"magnification":%1,"opticsId":"0"}]}})").arg(wheel)));
}

// Each vendor's request for a gesture, and its stop; a failed stop is
// followed by the security stop, once.
void TestPtzDrivers::vendorCommands_data()
{
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QList<float>>("xyz");
    QTest::addColumn<QList<int>>("sizes"); // width, height, index, areaWidth, areaHeight
    QTest::addColumn<int>("status");       // the camera's answer to every request
    QTest::addColumn<QStringList>("expected"); // "METHOD target [body]" per request
    const auto row = [](const char *name, const char *vendor, const char *command, QList<float> xyz,
                        QList<int> sizes, int status, const QStringList &expected) {
        QTest::newRow(name) << vendor << command << xyz << sizes << status << expected;
    };

    const QList<int> none{-1, -1, 0, -1, -1};
    const QString ptz = "GET /axis-cgi/com/ptz.cgi?";
    row("AXIS security stop", "axis", "security_stop", {0, 0, 0}, none, 200,
        {ptz + "continuouspantiltmove=0,0&continuouszoommove=0&camera=1"});
    row("AXIS area", "axis", "area", {100, 50, 0}, {640, 480, 1, 160, 80}, 200,
        {ptz + "areazoom=180,90,400&imagewidth=640&imageheight=480&camera=1"});
    row("AXIS move, speeds bounded", "axis", "ContinuousMove", {0.5f, -2, 0}, none, 200,
        {ptz + "continuouspantiltmove=50,-100&continuouszoommove=0&camera=1"});

    const QString sunapi = "GET /stw-cgi/ptzcontrol.cgi?msubmenu=";
    const QString sunapiStop = sunapi + "stop&action=control&Channel=2&OperationType=All";
    row("Hanwha security stop", "hanwha", "security_stop", {0, 0, 0}, none, 200, {sunapiStop});
    row("Hanwha clic then its stop", "hanwha", "clic", {480, 120, 0}, {640, 480, 1, -1, -1}, 200,
        {sunapi + "continuous&action=control&Channel=1&Pan=50&Tilt=50&Zoom=0", sunapiStop});
    row("Hanwha area", "hanwha", "area", {10, 20, 0}, {640, 480, 1, 100, 50}, 200,
        {sunapi + "areazoom&action=control&Channel=1&Type=ZoomIn&X1=10&Y1=20&X2=110&Y2=70&TileWidth=640"
                  "&TileHeight=480"});

    const QString isapi = "PUT /ISAPI/PTZCtrl/channels/2/continuous <?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    row("Hik security stop", "hik", "security_stop", {0, 0, 0}, none, 200,
        {isapi + "<PTZData><pan>0</pan><tilt>0</tilt><zoom>0</zoom></PTZData>"});
    row("Hik wheel", "hik", "ContinuousMove_wheel", {0, 0, -0.5f}, none, 200,
        {isapi + "<PTZData><pan>0</pan><tilt>0</tilt><zoom>-50</zoom></PTZData>"});
    row("Hik area", "hik", "area", {0, 0, 0}, {510, 255, 0, 255, 51}, 200,
        {QString(isapi).replace("continuous", "position3D")
         + "<position3D><StartPoint><positionX>0</positionX><positionY>255</positionY></StartPoint><EndPoint>"
           "<positionX>128</positionX><positionY>204</positionY></EndPoint></position3D>"});

    const QString fuji = "GET /cgi-bin/ptz.cgi?";
    row("Fuji security stop", "fuji", "security_stop", {0, 0, 0}, none, 200,
        {fuji + "cam=1&move=continuous&pan=0&tilt=0&zoom=0"});
    row("Fuji move", "fuji", "PanTilt_ContinuousMove", {-0.25f, 1, 1}, none, 200,
        {fuji + "cam=2&move=continuous&pan=-25&tilt=100&zoom=0"});
    row("Fuji failed stop", "fuji", "STOP", {0, 0, 0}, {-1, -1, 2, -1, -1}, 500,
        {fuji + "cam=2&move=stop", fuji + "cam=1&move=continuous&pan=0&tilt=0&zoom=0"});
}

void TestPtzDrivers::vendorCommands()
{
    QFETCH(QString, vendor);
    QFETCH(QString, command);
    QFETCH(QList<float>, xyz);
    QFETCH(QList<int>, sizes);
    QFETCH(int, status);
    QFETCH(QStringList, expected);
    StandIn camera;
    QJsonArray rules;
    for (const QString &path : {"/axis-cgi/com/ptz.cgi", "/stw-cgi/ptzcontrol.cgi", "/cgi-bin/ptz.cgi"})
        rules.append(rule("GET", path, status));
    for (const QString &path : {"/ISAPI/PTZCtrl/channels/2/continuous", "/ISAPI/PTZCtrl/channels/2/position3D"})
        rules.append(rule("PUT", path, status));
    QVERIFY(camera.start({"camera"}, rules));
    std::unique_ptr<NativePTZInterface> driver;
    if (vendor == "axis")
        driver = std::make_unique<AxisPtz>(camera.camera());
    else if (vendor == "hanwha")
        driver = std::make_unique<Hanwhaptz>(camera.camera());
    else if (vendor == "hik")
        driver = std::make_unique<HikPtz>(camera.camera());
    else
        driver = std::make_unique<Fujiptz>(camera.camera());
    QSignalSpy done(driver.get(), &NativePTZInterface::send_request_finished);
    QSignalSpy messages(driver.get(), &NativePTZInterface::status_message);
    if (command == "security_stop") {
        QVERIFY(QMetaObject::invokeMethod(driver.get(), "security_stop"));
    } else {
        const bool wheel = command.endsWith("_wheel");
        driver->send_command(wheel ? "ContinuousMove" : command, wheel, xyz[0], xyz[1], xyz[2], sizes[0], sizes[1],
                             sizes[2], sizes[3], sizes[4]);
    }
    QVERIFY(settle(*driver, done, expected.size()));
    QTest::qWait(NativePTZInterface::kSecurityStopRetryMs * (status == 200 ? 1 : 3)); // nothing more follows
    QCOMPARE(sent(camera), expected);
    for (const auto &d : done)
        QCOMPARE(d.at(0).toInt(), status == 200 ? 1 : -1);
    QCOMPARE(messages.count(), status == 200 ? 0 : expected.size());
    if (status != 200)
        QCOMPARE(joined(messages.first()), "-2|" + command + "|PTZ command failed|" + driver->driver_name());
}

QTEST_MAIN(TestPtzDrivers)
#include "test_ptz_drivers.moc"