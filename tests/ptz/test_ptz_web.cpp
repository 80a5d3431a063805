#include "ptzctrlweb.h"

#include "http_singleton.h"
#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QtTest>

using ptztest::PtzServer;

class TestPtzWeb : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void queriesAndHeaders();
    void busyRulesAndSecurityStop();
    void failedRequestsStillFinish_data();
    void failedRequestsStillFinish();
    void silentRecorderGivesUp();
    void endlessReplyIsCutOff();
};

namespace {
const QString kSession = QStringLiteral("abc123");

bool finishOne(PtzCtrlWeb &web, QSignalSpy &spy)
{
    const int before = spy.count();
    return QTest::qWaitFor([&] { return spy.count() > before; }, 20000) && web.isReady();
}
} // namespace

void TestPtzWeb::initTestCase()
{
    setLevelValue(1);
}

void TestPtzWeb::queriesAndHeaders()
{
    PtzServer server;
    QVERIFY(server.start(QStringLiteral("web")));
    const QString base = server.url() + QStringLiteral("/ptz.php?cam=3");
    PtzCtrlWeb web;
    QSignalSpy finished(&web, &PtzCtrlWeb::send_request_finished);

    web.postClic(base, 12.9, -3.7, 1920, 1080, kSession);
    QVERIFY(finishOne(web, finished));
    web.postArea(base, QRect(10, 20, 300, 200), 1920, 1080, kSession);
    QVERIFY(finishOne(web, finished));
    QCOMPARE(web.postContinuous(base, true, 640.6, 360.2, 1280, 720, kSession), 1);
    QVERIFY(finishOne(web, finished));
    QCOMPARE(web.postContinuous(base, false, 0, 0, 1280, 720, kSession), 1);
    QVERIFY(finishOne(web, finished));
    web.postZoom(base, QStringLiteral("1"), QStringLiteral("0"), 704, 576, kSession);
    QVERIFY(finishOne(web, finished));
    web.postRightClic(base, 704, 576, kSession);
    QVERIFY(finishOne(web, finished));
    QCOMPARE(finished.count(), 6);
    for (const QList<QVariant> &args : finished)
        QCOMPARE(args.at(0).toInt(), 1);

    const QString tail = QStringLiteral("&PHPSESSID=") + kSession;
    QCOMPARE(server.targets(), (QStringList{
        "/ptz.php?cam=3&clic=12,-3&resolution=1920x1080" + tail,
        "/ptz.php?cam=3&area=10,20,300,200&resolution=1920x1080" + tail,
        "/ptz.php?cam=3&holdclic=640,360&resolution=1280x720" + tail,
        "/ptz.php?cam=3&releaseclic=0,0&resolution=1280x720" + tail,
        "/ptz.php?cam=3&zoom=1,0&resolution=704x576" + tail,
        "/ptz.php?cam=3&rightclic=1&resolution=704x576" + tail,
    }));
    const QList<QJsonObject> requests = server.requests();
    const int peer = requests.first().value("peer").toInt();
    for (const QJsonObject &r : requests) {
        const QJsonObject h = r.value("headers").toObject();
        QCOMPARE(r.value("method").toString(), QStringLiteral("GET"));
        QCOMPARE(h.value("Content-Type").toString(), QStringLiteral("application/x-www-form-urlencoded"));
        QCOMPARE(h.value("Connection").toString(), QStringLiteral("keep-alive"));
        QCOMPARE(h.value("User-Agent").toString(), Http_singleton::instance()->accessString(QString(), false));
        // One connection serves every gesture.
        QCOMPARE(r.value("peer").toInt(), peer);
    }
}

void TestPtzWeb::busyRulesAndSecurityStop()
{
    PtzServer server;
    QVERIFY(server.start(QStringLiteral("web"), {"--hold", "1.5"}));
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
    QTest::ignoreMessage(QtDebugMsg, "[WARN] PTZ Ctrl Web :: previous request not finished");
    web.postArea(base, QRect(1, 1, 50, 50), 800, 600, kSession);
    QTest::ignoreMessage(QtDebugMsg, "[WARN] PTZ Ctrl Web :: previous request not finished");
    web.postZoom(base, "0", "1", 800, 600, kSession);
    QTest::ignoreMessage(QtDebugMsg, "[WARN] PTZ Ctrl Web :: previous request not finished");
    web.postRightClic(base, 800, 600, kSession);
    // A press, or a release elsewhere than (0, 0), is dropped without a timer.
    QCOMPARE(web.postContinuous(base, true, 10, 10, 800, 600, kSession), -1);
    QCOMPARE(web.postContinuous(base, false, 3, 0, 800, 600, kSession), -1);
    QVERIFY(!web.securityStopPending());
    // The release of the hold is kept alive by the timer until it goes out.
    QCOMPARE(web.postContinuous(base, false, 0, 0, 800, 600, kSession), -1);
    QVERIFY(web.securityStopPending());
    QCOMPARE(web.postContinuous(base, false, 0, 0, 800, 600, kSession), -1);
    QVERIFY(server.waitForRequests(3));
    QVERIFY(QTest::qWaitFor([&] { return web.isReady() && !web.securityStopPending(); }, 20000));
    QVERIFY(securityStops.count() >= 1);

    const QStringList targets = server.targets();
    QCOMPARE(targets.size(), 3);
    QVERIFY(targets.at(1).contains("&holdclic=400,300&"));
    QVERIFY(targets.at(2).contains("&releaseclic=0,0&"));
}

void TestPtzWeb::failedRequestsStillFinish_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("404") << "404";
    QTest::newRow("closed port") << "closed";
    QTest::newRow("empty base") << "empty";
    QTest::newRow("https self-signed") << "https";
}

void TestPtzWeb::failedRequestsStillFinish()
{
    QFETCH(QString, kind);
    PtzServer server;
    QStringList args;
    if (kind == "https")
        QVERIFY(testsupport::makeCertificate(server.dir(), &args));
    QVERIFY(server.start(QStringLiteral("web"), args));
    QString base;
    if (kind == "404")
        base = server.url() + "/nothing.php?cam=1";
    else if (kind == "closed")
        base = "http://127.0.0.1:" + ptztest::closedPort() + "/ptz.php?cam=1";
    else if (kind == "https")
        base = server.url("https") + "/ptz.php?cam=1";

    PtzCtrlWeb web;
    QSignalSpy finished(&web, &PtzCtrlWeb::send_request_finished);
    web.postArea(base, QRect(1, 2, 3, 4), 640, 480, kSession);
    QVERIFY(!web.isReady());
    QVERIFY(finishOne(web, finished));
    QCOMPARE(finished.first().at(0).toInt(), 1);
    if (kind == "404" || kind == "https") {
        const QList<QJsonObject> seen = server.requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.first().value("status").toInt(), kind == "404" ? 404 : 200);
        QVERIFY(seen.first().value("query").toString().startsWith("cam=1&area=1,2,3,4&resolution=640x480"));
    }
    // The next gesture goes out.
    web.postRightClic(base, 640, 480, kSession);
    QVERIFY(finishOne(web, finished));
}

void TestPtzWeb::silentRecorderGivesUp()
{
    // The recorder holds the move far longer than the client waits.
    PtzServer server;
    QVERIFY(server.start(QStringLiteral("web"), {"--hold", "30"}));
    const QString base = server.url() + QStringLiteral("/ptz.php?cam=1");
    PtzCtrlWeb web;
    connect(&web, &PtzCtrlWeb::security_stop, &web,
            [&] { web.postContinuous(base, false, 0, 0, 800, 600, kSession); });
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("post continuous :: .*holdclic=1,2.*PHPSESSID=\\*\\*\\*$"));
    QCOMPARE(web.postContinuous(base, true, 1, 2, 800, 600, kSession), 1);
    QVERIFY(server.waitForRequests(1));
    QCOMPARE(web.postContinuous(base, false, 0, 0, 800, 600, kSession), -1);
    // The release goes out once the hold has timed out, well before the
    // recorder would have answered.
    QVERIFY(server.waitForRequests(2, 20000));
    QVERIFY(server.targets().at(1).contains("&releaseclic=0,0&"));
}

void TestPtzWeb::endlessReplyIsCutOff()
{
    // A recorder that never stops sending keeps the client neither busy nor
    // filling memory.
    PtzServer server;
    QVERIFY(server.start(QStringLiteral("web")));
    PtzCtrlWeb web;
    QSignalSpy finished(&web, &PtzCtrlWeb::send_request_finished);
    web.postClic(server.url() + QStringLiteral("/flood.php?cam=1"), 1, 1, 800, 600, kSession);
    QVERIFY(finishOne(web, finished));
    web.postClic(server.url() + QStringLiteral("/ptz.php?cam=1"), 2, 2, 800, 600, kSession);
    QVERIFY(finishOne(web, finished));
    QCOMPARE(server.targets().size(), 2);
}

QTEST_MAIN(TestPtzWeb)
#include "test_ptz_web.moc"
