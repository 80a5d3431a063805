#include "ptzctrlweb.h"

#include "http_singleton.h"
#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QtTest>

using ptztest::StandIn;

class TestPtzWeb : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { setLevelValue(1); }
    void queriesAndHeaders();
    void busyRulesAndSecurityStop();
    void readyAgainAfterFailures_data();
    void readyAgainAfterFailures();
};

namespace {
const QString kSession = QStringLiteral("abc123");

bool finishOne(PtzCtrlWeb &web, QSignalSpy &spy)
{
    const int before = spy.count();
    return QTest::qWaitFor([&] { return spy.count() > before; }, 20000) && web.isReady();
}
} // namespace

// (The video surface's tests check each gesture's query.)
void TestPtzWeb::queriesAndHeaders()
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
    web.postZoom(base, QStringLiteral("1"), QStringLiteral("0"), 704, 576, kSession);
    QVERIFY(finishOne(web, finished));
    for (const QList<QVariant> &args : finished)
        QCOMPARE(args.at(0).toInt(), 1);

    const QString tail = QStringLiteral("&PHPSESSID=") + kSession;
    QCOMPARE(server.targets(), (QStringList{"/ptz.php?cam=3&clic=12,-3&resolution=1920x1080" + tail,
                                            "/ptz.php?cam=3&holdclic=640,360&resolution=1280x720" + tail,
                                            "/ptz.php?cam=3&zoom=1,0&resolution=704x576" + tail}));
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

void TestPtzWeb::busyRulesAndSecurityStop()
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
void TestPtzWeb::readyAgainAfterFailures_data()
{
    QTest::addColumn<QString>("first"); // the first request's base: a path, "closed" or "" (none)
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status"); // the server's answer to it; 0: it never reached the server

    QTest::newRow("404") << "/nothing.php?cam=1" << QStringList{} << 404;
    QTest::newRow("closed port") << "closed" << QStringList{} << 0;
    QTest::newRow("empty base") << "" << QStringList{} << 0;
    QTest::newRow("https self-signed") << "/ptz.php?cam=1" << QStringList{"https"} << 200;
    QTest::newRow("endless reply") << "/flood.php?cam=1" << QStringList{} << 200;
    QTest::newRow("silent recorder") << "/ptz.php?cam=1" << QStringList{"--hold", "30"} << 200;
}

void TestPtzWeb::readyAgainAfterFailures()
{
    QFETCH(QString, first);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    StandIn server;
    const QString scheme = args.removeAll("https") ? "https" : "http";
    if (scheme == "https")
        QVERIFY(testsupport::makeCertificate(server.dir(), &args));
    QVERIFY(server.start(QStringList{"web"} + args));
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

QTEST_MAIN(TestPtzWeb)
#include "test_ptz_web.moc"