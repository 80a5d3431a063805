#include "curlrequestworker.h"

#include "curlglobal.h"
#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using ptztest::kPassword;
using ptztest::kUser;
using ptztest::rule;
using ptztest::StandIn;

class TestPtzWorker : public QObject
{
    Q_OBJECT
    QTemporaryDir m_certificate;
    QStringList m_tls; // server arguments for HTTPS

private slots:
    void initTestCase();
    void requests_data();
    void requests();
    void cancelMidRequest();
};

void TestPtzWorker::initTestCase()
{
    QVERIFY(zuCurlGlobalInit());
    setLevelValue(1);
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

void TestPtzWorker::requests_data()
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

void TestPtzWorker::requests()
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

void TestPtzWorker::cancelMidRequest()
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

QTEST_GUILESS_MAIN(TestPtzWorker)
#include "test_ptz_worker.moc"