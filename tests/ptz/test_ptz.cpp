// The camera-control HTTP layer against the stand-ins: the recorder's web
// PTZ client, the libcurl request worker, and the native drivers.
#include "axisptz.h"
#include "curlrequestworker.h"
#include "nativeptzinterface.h"
#include "ptzctrlweb.h"
#include "vendorptz.h"

#include "curlglobal.h"
#include "http_singleton.h"
#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <memory>

using ptztest::joined;
using ptztest::kPassword;
using ptztest::kUser;
using ptztest::rule;
using ptztest::StandIn;

namespace {
const QString kSession = QStringLiteral("abc123");

bool finishOne(PtzCtrlWeb &web, QSignalSpy &spy)
{
    const int before = spy.count();
    return QTest::qWaitFor([&] { return spy.count() > before; }, 20000) && web.isReady();
}

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

class TestPtz : public QObject
{
    Q_OBJECT
    QTemporaryDir m_certificate;
    QStringList m_tls; // server arguments for HTTPS

private slots:
    void initTestCase()
    {
        QVERIFY(zuCurlGlobalInit());
        setLevelValue(1);
        ptztest::LogCapture::install();
        QVERIFY(testsupport::makeCertificate(m_certificate.path(), &m_tls));
        // The fake camera's authentication as a client we did not write sees it.
        StandIn camera;
        QVERIFY(camera.start({"camera"}, {rule("GET", "/check", 200, "ok")}));
        for (const QString scheme : {"--digest", "--basic"}) {
            for (const auto &[password, code] : {std::pair<QString, QByteArray>{kPassword, "200"}, {"nope", "401"}}) {
                QProcess curl;
                curl.start("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}", scheme, "-u", kUser + ":" + password,
                                    camera.url() + "/check?x=1"});
                QVERIFY(curl.waitForFinished(30000));
                QCOMPARE(curl.readAllStandardOutput(), code);
            }
        }
    }

    void cleanupTestCase()
    {
        ptztest::LogCapture::uninstall();
        ptztest::LogCapture::verifyNoPassword();
    }

    // (The video surface's tests check each gesture's query.)
    void webQueriesAndHeaders()
    {
        StandIn server;
        QVERIFY(server.start({"web"}));
        const QString base = server.url() + QStringLiteral("/ptz.php?cam=3");
        PtzCtrlWeb web;
        QSignalSpy finished(&web, &PtzCtrlWeb::send_request_finished);
        web.postClic(base, 12.9, -3.7, 1920, 1080, kSession);
        QVERIFY(finishOne(web, finished));
        // The session stays out of the log.
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("post continuous :: .*holdclic=640,360.*PHPSESSID=\\*\\*\\*$"));
        QCOMPARE(web.postContinuous(base, true, 640.6, 360.2, 1280, 720, kSession), 1);
        QVERIFY(finishOne(web, finished));
        for (const QList<QVariant> &args : finished)
            QCOMPARE(args.at(0).toInt(), 1);

        const QString tail = QStringLiteral("&PHPSESSID=") + kSession;
        QCOMPARE(server.targets(), (QStringList{"/ptz.php?cam=3&clic=12,-3&resolution=1920x1080" + tail,
                                                "/ptz.php?cam=3&holdclic=640,360&resolution=1280x720" + tail}));
        const QList<QJsonObject> requests = server.requests();
        for (const QJsonObject &r : requests) {
            const QJsonObject h = r.value("headers").toObject();
            QCOMPARE(r.value("method").toString(), QStringLiteral("GET"));
            QCOMPARE(h.value("Content-Type").toString(), QStringLiteral("application/x-www-form-urlencoded"));
            QCOMPARE(h.value("Connection").toString(), QStringLiteral("keep-alive"));
            QCOMPARE(h.value("User-Agent").toString(), Http_singleton::instance()->accessString(QString(), false));
            // One connection serves every gesture.
            QCOMPARE(r.value("peer"), requests.first().value("peer"));
        }
    }

    void webBusyRulesAndSecurityStop()
    {
        StandIn server;
        QVERIFY(server.start({"web", "--hold", "1.5"}));
        const QString base = server.url() + QStringLiteral("/ptz.php?cam=1");
        PtzCtrlWeb web;
        QSignalSpy finished(&web, &PtzCtrlWeb::send_request_finished);
        QSignalSpy securityStops(&web, &PtzCtrlWeb::security_stop);
        // What the video surface does with the signal.
        connect(&web, &PtzCtrlWeb::security_stop, &web,
                [&] { web.postContinuous(base, false, 0, 0, 800, 600, kSession); });

        // A request that is not a hold: a refused release is simply dropped.
        web.postClic(base, 5, 5, 800, 600, kSession);
        QCOMPARE(web.postContinuous(base, false, 0, 0, 800, 600, kSession), -1);
        QVERIFY(!web.securityStopPending());
        QVERIFY(finishOne(web, finished));

        QCOMPARE(web.postContinuous(base, true, 400, 300, 800, 600, kSession), 1);
        QVERIFY(server.waitForRequests(2));
        QTest::ignoreMessage(QtDebugMsg, "[WARN] PTZ Ctrl Web :: clic :: previous request not finished");
        web.postClic(base, 1, 1, 800, 600, kSession);
        for (int i = 0; i < 3; ++i)
            QTest::ignoreMessage(QtDebugMsg, "[WARN] PTZ Ctrl Web :: previous request not finished");
        web.postArea(base, QRect(1, 1, 50, 50), 800, 600, kSession);
        web.postZoom(base, "0", "1", 800, 600, kSession);
        web.postRightClic(base, 800, 600, kSession);
        // A press, or a release elsewhere than (0, 0), is dropped without a timer.
        QCOMPARE(web.postContinuous(base, true, 10, 10, 800, 600, kSession), -1);
        QCOMPARE(web.postContinuous(base, false, 3, 0, 800, 600, kSession), -1);
        QVERIFY(!web.securityStopPending());
        // The release of the hold is kept alive by the timer until it goes out.
        QCOMPARE(web.postContinuous(base, false, 0, 0, 800, 600, kSession), -1);
        QVERIFY(web.securityStopPending());
        QVERIFY(server.waitForRequests(3));
        QVERIFY(QTest::qWaitFor([&] { return web.isReady() && !web.securityStopPending(); }, 20000));
        QVERIFY(securityStops.count() >= 1);

        const QStringList targets = server.targets();
        QCOMPARE(targets.size(), 3);
        QVERIFY(targets.at(1).contains("&holdclic=400,300&"));
        QVERIFY(targets.at(2).contains("&releaseclic=0,0&"));
    }

    // Whatever became of a request, the client is ready for the next gesture:
    // a silent recorder or one that never stops sending is given up on.
    void webReadyAgainAfterFailures_data()
    {
        QTest::addColumn<QString>("first"); // the first request's base: a path, "closed" or "" (none)
        QTest::addColumn<QString>("args");  // "https": over TLS
        QTest::addColumn<int>("status");    // the server's answer to it; 0: it never reached the server
        QTest::newRow("404") << "/nothing.php?cam=1" << "" << 404;
        QTest::newRow("closed port") << "closed" << "" << 0;
        QTest::newRow("empty base") << "" << "" << 0;
        QTest::newRow("https self-signed") << "/ptz.php?cam=1" << "https" << 200;
        QTest::newRow("endless reply") << "/flood.php?cam=1" << "" << 200;
        QTest::newRow("silent recorder") << "/ptz.php?cam=1" << "--hold 30" << 200;
    }

    void webReadyAgainAfterFailures()
    {
        QFETCH(QString, first);
        QFETCH(QString, args);
        QFETCH(int, status);
        const QString scheme = args == "https" ? "https" : "http";
        StandIn server;
        QVERIFY(server.start(QStringList{"web"} + (args == "https" ? m_tls : args.split(' ', Qt::SkipEmptyParts))));
        QString base = first.startsWith('/') ? server.url(scheme) + first : first;
        if (first == "closed")
            base = "http://127.0.0.1:" + ptztest::closedPort() + "/ptz.php?cam=1";

        PtzCtrlWeb web;
        QSignalSpy finished(&web, &PtzCtrlWeb::send_request_finished);
        QCOMPARE(web.postContinuous(base, true, 1, 2, 640, 480, kSession), 1);
        QVERIFY(!web.isReady());
        QVERIFY(finishOne(web, finished));
        QCOMPARE(finished.first().at(0).toInt(), 1);
        QCOMPARE(server.field("status").value(0, "0"), QString::number(status));
        if (status)
            QVERIFY(server.targets().first().contains("&holdclic=1,2&resolution=640x480&"));
        web.postRightClic(server.url(scheme) + "/ptz.php?cam=1", 640, 480, kSession);
        QVERIFY(finishOne(web, finished));
        QCOMPARE(server.targets().size(), status ? 2 : 1);
        QVERIFY(server.targets().last().startsWith("/ptz.php?cam=1&rightclic=1&resolution=640x480"));
    }

    void workerRequests_data()
    {
        QTest::addColumn<QString>("args");     // of the camera; "https": over TLS; "closed": nothing listens there
        QTest::addColumn<QString>("request");  // "METHOD target [body]"
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");       // the camera's answer when the credentials pass
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("outcome");  // "finished:<reply>" or "error:<start of the message>"
        QTest::addColumn<QString>("result");   // "<HTTP status>,<libcurl code>" of result()
        QTest::addColumn<QString>("last");     // "<auth> [fresh]" of the last request seen; "none": no request
        QTest::addColumn<QString>("headers");  // "Name=value|..." of the last request
        const auto row = [](const char *name, const char *args, const QString &request, int status, const QString &reply,
                            const QString &outcome, const char *result, const char *last, const char *headers = "",
                            const QString &password = kPassword) {
            QTest::newRow(name) << args << request << password << status << reply << outcome << result << last << headers;
        };

        const QString ptz = "GET /axis-cgi/com/ptz.cgi?query=position";
        const QString denied = "error:HTTP 401 (Unauthorized - check login/password or auth scheme)";
        row("digest", "--auth digest", ptz, 200, "réponse", "finished:réponse", "200,0", "digest");
        row("basic", "--auth basic", ptz, 200, "pan=1.5", "finished:pan=1.5", "200,0", "basic");
        row("both offered", "", ptz, 200, "pan=1.5", "finished:pan=1.5", "200,0", "digest");
        row("401 once, both offered: retried with digest", "--refuse 1", ptz, 200, "pan=1.5", "finished:pan=1.5", "200,0",
            "digest fresh");
        row("401 once, basic offered: retried with basic", "--auth basic --refuse 1", ptz, 200, "pan=1.5",
            "finished:pan=1.5", "200,0", "basic fresh");
        row("401 twice", "--refuse 5", ptz, 200, "pan=1.5", denied, "401,0", "digest fresh");
        row("wrong password", "--auth digest", ptz, 200, "pan=1.5", denied, "401,0", "bad fresh", "", "wrong");
        row("204 without body", "", "GET /x", 204, "", "finished:", "204,0", "digest");
        row("403", "", "GET /x", 403, "no", "error:HTTP 403 (Forbidden)", "403,0", "digest");
        row("500", "", "GET /x", 500, "boom", "error:HTTP 500", "500,0", "digest");
        const QString big(int(CurlRequestWorker::kMaxResponseBytes), QLatin1Char('E'));
        row("reply at the limit", "--auth basic", "GET /x", 200, big, "finished:" + big, "200,0", "basic");
        row("reply beyond the limit", "--auth basic", "GET /x", 200, big + "E", "error:Erreur libcurl (23)", "200,23",
            "basic");
        row("nothing listens", "closed", "GET /x", 200, "", "error:Erreur libcurl (7): ", "-1,7", "none");

        const QString json = R"({"apiVersion":"1.2","method":"getOptics"})";
        row("POST JSON, self-signed", "https", "POST /axis-cgi/opticscontrol.cgi " + json, 200, "{}", "finished:{}",
            "200,0", "digest", "Content-Type=application/json|Accept=application/json|Expect=");
        row("PUT JSON, self-signed", "https", "PUT /api/ptz " + json, 200, "", "finished:", "200,0", "digest",
            "Content-Type=application/json|Accept=*/*");
        row("PUT ISAPI, self-signed", "https", "PUT /ISAPI/PTZCtrl/channels/1/continuous <PTZData/>", 200, "",
            "finished:", "200,0", "digest", "Content-Type=application/xml; charset=utf-8|Accept=application/xml");
        row("PUT without body: no request", "", "PUT /api/ptz", 200, "", "error:PUT body is empty", "-1,43", "none");
        // A camera that resets an ISAPI PUT is asked again with Basic.
        row("ISAPI reset", "--reset-isapi-put 1", "PUT /ISAPI/PTZCtrl/channels/2/continuous <PTZData><pan>0</pan></PTZData>",
            200, "<ResponseStatus/>", "finished:<ResponseStatus/>", "200,0", "basic fresh");
    }

    void workerRequests()
    {
        QFETCH(QString, args);
        QFETCH(QString, request);
        QFETCH(QString, password);
        QFETCH(int, status);
        QFETCH(QString, reply);
        QFETCH(QString, outcome);
        QFETCH(QString, result);
        QFETCH(QString, last);
        QFETCH(QString, headers);
        const QString method = request.section(' ', 0, 0);
        const QString target = request.section(' ', 1, 1);
        const QByteArray body = request.section(' ', 2).toUtf8();
        const bool https = args == "https";
        QStringList serverArgs = https ? m_tls : args.split(' ', Qt::SkipEmptyParts);
        serverArgs.removeAll("closed");
        StandIn camera;
        QVERIFY(camera.start(QStringList{"camera"} + serverArgs, {rule(method, target.section('?', 0, 0), status, reply)}));
        const QString base = args == "closed" ? "http://127.0.0.1:" + ptztest::closedPort()
                                              : camera.url(https ? "https" : "http");

        // The transfer blocks the calling thread; the camera is another process.
        CurlRequestWorker worker(base + target, kUser, password, body);
        QSignalSpy finished(&worker, &CurlRequestWorker::finished);
        QSignalSpy error(&worker, &CurlRequestWorker::error);
        QSignalSpy results(&worker, &CurlRequestWorker::result);
        if (method == "GET")
            worker.run_get_request();
        else if (method == "POST")
            worker.run_post_request();
        else
            worker.run_put_request();

        QCOMPARE(finished.size() + error.size(), 1);
        const QString got = finished.isEmpty() ? "error:" + error.first().at(0).toString()
                                               : "finished:" + finished.first().at(0).toString();
        QVERIFY2(got.startsWith(outcome) && (got.startsWith("error") || got == outcome), qPrintable(got.left(200)));
        QCOMPARE(results.size(), 1);
        const QList<QVariant> r = results.first();
        QCOMPARE(r.at(1).toString() + "," + r.at(2).toString(), result);
        QVERIFY(r.at(0).toString().size() <= CurlRequestWorker::kMaxResponseBytes);
        if (r.at(2).toInt() == 0 && r.at(1).toInt() == status)
            QCOMPARE(r.at(0).toString(), reply);

        const QList<QJsonObject> seen = camera.requests();
        QVERIFY(seen.size() <= 4); // curl's own challenge round, and one retry of ours
        if (last == "none") {
            QCOMPARE(seen.size(), 0);
            return;
        }
        QVERIFY(!seen.isEmpty());
        QCOMPARE(seen.last().value("auth").toString(), last.section(' ', 0, 0));
        if (last.endsWith(" fresh"))
            QVERIFY(seen.size() >= 2 && seen.at(seen.size() - 2).value("peer") != seen.last().value("peer"));
        QCOMPARE(seen.first().value("status").toString() == "reset", args.contains("--reset-isapi-put"));
        if (!body.isEmpty())
            QCOMPARE(seen.last().value("body").toString(), QString::fromUtf8(body));
        const QJsonObject sent = seen.last().value("headers").toObject();
        for (const QString &h : headers.split('|', Qt::SkipEmptyParts))
            QCOMPARE(sent.value(h.section('=', 0, 0)).toString(), h.section('=', 1));
    }

    void workerCancelMidRequest()
    {
        StandIn camera;
        QVERIFY(camera.start({"camera", "--auth", "basic"}, {rule("GET", "/slow", 200, "late", 30)}));
        QThread thread;
        auto *worker = new CurlRequestWorker(camera.url() + "/slow", kUser, kPassword, {});
        worker->moveToThread(&thread);
        QSignalSpy error(worker, &CurlRequestWorker::error);
        QSignalSpy result(worker, &CurlRequestWorker::result);
        connect(&thread, &QThread::started, worker, &CurlRequestWorker::run_get_request);
        connect(worker, &CurlRequestWorker::error, &thread, &QThread::quit, Qt::DirectConnection);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        thread.start();
        QVERIFY(camera.waitForRequests(1));
        worker->requestCancel();
        QVERIFY(thread.wait(20000));
        QCOMPARE(error.count(), 1);
        QCOMPARE(error.first().at(0).toString(), QStringLiteral("Requête annulée par l'utilisateur"));
        QCOMPARE(result.count(), 0);
    }

    // One request at a time; of those made meanwhile the newest wins. Deleting
    // the driver cancels the request that runs and joins its thread.
    void driverDispatcher()
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

    void driverReplyRules_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("fault"); // of status_message(-2, ...); empty: none

        QTest::newRow("GET ok") << "GET" << "clic" << 200 << "OK" << 1 << "";
        QTest::newRow("GET Error inside a word") << "GET" << "clic" << 200 << "NoErrors" << -1
                                                 << "PTZ command failed :: NoErrors";
        QTest::newRow("GET lower-case error") << "GET" << "clic" << 200 << "error" << 1 << "";
        QTest::newRow("POST capitals") << "POST" << "zoom" << 200 << "ERROR" << -1 << "PTZ command failed :: ERROR";
        QTest::newRow("POST json error") << "POST" << "zoom" << 200 << R"({"error":{"code":2}})" << -1
                                         << R"(PTZ command failed :: {"error":{"code":2}})";
    }

    void driverReplyRules()
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
    void axisDriver_data()
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

    void axisDriver()
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
    void vendorDrivers_data()
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

    void vendorDrivers()
    {
        QFETCH(QString, vendor);
        QFETCH(QString, command);
        QFETCH(QList<float>, xyz);
        QFETCH(QList<int>, sizes);
        QFETCH(int, status);
        QFETCH(QStringList, expected);
        StandIn camera;
        QJsonArray rules;
        for (const char *path : {"/axis-cgi/com/ptz.cgi", "/stw-cgi/ptzcontrol.cgi", "/cgi-bin/ptz.cgi"})
            rules.append(rule("GET", path, status));
        for (const char *path : {"/ISAPI/PTZCtrl/channels/2/continuous", "/ISAPI/PTZCtrl/channels/2/position3D"})
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
            QCOMPARE(joined(messages.first()), "-2|" + command + "|PTZ command failed|" + vendor.toUpper());
    }
};

QTEST_MAIN(TestPtz)
#include "test_ptz.moc"
