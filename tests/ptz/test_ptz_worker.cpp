#include "curlrequestworker.h"

#include "curlglobal.h"
#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using ptztest::PtzServer;
using ptztest::rule;

namespace {
const QString kUser = QStringLiteral("admin");
const QString kPassword = QStringLiteral("pa:ss word");

struct Outcome
{
    QStringList finished;
    QStringList errors;
    QList<QList<QVariant>> results;
};

// Runs one request on the calling thread (the transfer blocks; the server is
// another process).
Outcome run(const QString &method, const QString &url, const QByteArray &body = {},
            const QString &password = kPassword)
{
    CurlRequestWorker worker(url, kUser, password, body);
    QSignalSpy finished(&worker, &CurlRequestWorker::finished);
    QSignalSpy error(&worker, &CurlRequestWorker::error);
    QSignalSpy result(&worker, &CurlRequestWorker::result);
    if (method == "GET")
        worker.run_get_request();
    else if (method == "POST")
        worker.run_post_request();
    else
        worker.run_put_request();
    Outcome out;
    for (const auto &a : finished)
        out.finished << a.at(0).toString();
    for (const auto &a : error)
        out.errors << a.at(0).toString();
    for (const auto &a : result)
        out.results << a;
    return out;
}
} // namespace

class TestPtzWorker : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void authentication_data();
    void authentication();
    void outcomes_data();
    void outcomes();
    void oversizedReplyFails();
    void methodsAndHeaders();
    void isapiResetRetriedWithBasic();
    void cancelMidRequest();
};

void TestPtzWorker::initTestCase()
{
    QVERIFY(zuCurlGlobalInit());
    setLevelValue(1);
    // The fake camera's authentication, as two clients we did not write see it.
    QProcess self;
    self.start("python3", {ZU_SOURCE_DIR "/tests/ptz/ptz_server.py", "selftest"});
    QVERIFY(self.waitForFinished(60000));
    QCOMPARE(self.readAllStandardOutput().trimmed(), QByteArray("ok"));

    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "digest", "--password", kPassword}, {rule("GET", "/check", 200, "ok")}));
    for (const auto &[password, code] : {std::pair<QString, QByteArray>{kPassword, "200"}, {"nope", "401"}}) {
        QProcess curl;
        curl.start("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}", "--digest", "-u", kUser + ":" + password,
                            camera.url() + "/check?x=1"});
        QVERIFY(curl.waitForFinished(30000));
        QCOMPARE(curl.readAllStandardOutput(), code);
    }
}

void TestPtzWorker::authentication_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<int>("refuse");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("finalAuth");   // scheme of the request that was answered
    QTest::addColumn<bool>("freshRetry");     // the answered request came on a new connection
    QTest::addColumn<QString>("error");

    QTest::newRow("digest") << "digest" << 0 << kPassword << "digest" << false << "";
    QTest::newRow("basic") << "basic" << 0 << kPassword << "basic" << false << "";
    QTest::newRow("both offered") << "both" << 0 << kPassword << "digest" << false << "";
    QTest::newRow("401 once, both offered: retried with digest") << "both" << 1 << kPassword << "digest" << true << "";
    QTest::newRow("401 once, basic offered: retried with basic") << "basic" << 1 << kPassword << "basic" << true << "";
    QTest::newRow("401 twice") << "both" << 5 << kPassword << "digest" << true
                               << "HTTP 401 (Unauthorized - check login/password or auth scheme)";
    QTest::newRow("wrong password") << "digest" << 0 << "wrong" << "bad" << true
                                    << "HTTP 401 (Unauthorized - check login/password or auth scheme)";
}

void TestPtzWorker::authentication()
{
    QFETCH(QString, offered);
    QFETCH(int, refuse);
    QFETCH(QString, password);
    QFETCH(QString, finalAuth);
    QFETCH(bool, freshRetry);
    QFETCH(QString, error);
    PtzServer camera;
    QVERIFY(camera.start("camera",
                         {"--auth", offered, "--password", kPassword, "--refuse", QString::number(refuse)},
                         {rule("GET", "/axis-cgi/com/ptz.cgi", 200, "pan=1.5")}));
    const Outcome out = run("GET", camera.url() + "/axis-cgi/com/ptz.cgi?query=position", {}, password);
    const QList<QJsonObject> seen = camera.requests();
    QVERIFY(!seen.isEmpty());
    const QJsonObject last = seen.last();
    QCOMPARE(last.value("auth").toString(), finalAuth);
    if (freshRetry)
        QVERIFY(seen.size() >= 2 && seen.at(seen.size() - 2).value("peer") != last.value("peer"));
    if (error.isEmpty()) {
        QCOMPARE(out.finished, QStringList{"pan=1.5"});
        QVERIFY(out.errors.isEmpty());
        QCOMPARE(out.results.size(), 1);
        QCOMPARE(out.results.first(), (QList<QVariant>{"pan=1.5", 200, 0}));
    } else {
        QVERIFY(out.finished.isEmpty());
        QCOMPARE(out.errors, QStringList{error});
        QCOMPARE(out.results.first().at(1).toInt(), 401);
        QCOMPARE(out.results.first().at(2).toInt(), 0);
        // One retry at most: curl's own challenge round, then ours.
        QVERIFY(seen.size() <= 4);
    }
}

void TestPtzWorker::outcomes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("finished");
    QTest::addColumn<QString>("error");

    QTest::newRow("204 without body") << 204 << "" << "" << "";
    QTest::newRow("200 with body") << 200 << "réponse" << "réponse" << "";
    QTest::newRow("403") << 403 << "no" << "" << "HTTP 403 (Forbidden)";
    QTest::newRow("500") << 500 << "boom" << "" << "HTTP 500";
}

void TestPtzWorker::outcomes()
{
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(QString, finished);
    QFETCH(QString, error);
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "both", "--password", kPassword},
                         {rule("GET", "/x", status, body)}));
    const Outcome out = run("GET", camera.url() + "/x");
    if (error.isEmpty()) {
        QCOMPARE(out.finished, QStringList{finished});
        QVERIFY(out.errors.isEmpty());
    } else {
        QVERIFY(out.finished.isEmpty());
        QCOMPARE(out.errors, QStringList{error});
    }
    QCOMPARE(out.results.size(), 1);
    QCOMPARE(out.results.first(), (QList<QVariant>{body, status, 0}));
}

void TestPtzWorker::oversizedReplyFails()
{
    PtzServer camera;
    const QString big(int(CurlRequestWorker::kMaxResponseBytes) + 1, QLatin1Char('E'));
    QVERIFY(camera.start("camera", {"--auth", "basic", "--password", kPassword},
                         {rule("GET", "/big", 200, big), rule("GET", "/fits", 200, big.left(big.size() - 1))}));
    const Outcome out = run("GET", camera.url() + "/big");
    QVERIFY(out.finished.isEmpty());
    QCOMPARE(out.errors.size(), 1);
    QVERIFY2(out.errors.first().startsWith("Erreur libcurl (23)"), qPrintable(out.errors.first()));
    QCOMPARE(out.results.first().at(2).toInt(), 23);
    QVERIFY(out.results.first().at(0).toString().size() <= CurlRequestWorker::kMaxResponseBytes);
    // Up to the limit the reply is whole.
    QCOMPARE(run("GET", camera.url() + "/fits").finished.value(0).size(), big.size() - 1);
}

void TestPtzWorker::methodsAndHeaders()
{
    PtzServer camera;
    QStringList args{"--auth", "both", "--password", kPassword};
    QVERIFY(testsupport::makeCertificate(camera.dir(), &args));
    QVERIFY(camera.start("camera", args,
                         {rule("POST", "/axis-cgi/opticscontrol.cgi", 200, "{}"), rule("PUT", "/api/ptz", 200),
                          rule("PUT", "/ISAPI/PTZCtrl/channels/1/continuous", 200), rule("GET", "/x", 200, "tls")}));
    const QString base = camera.url("https");
    const QByteArray json = R"({"apiVersion":"1.2","method":"getOptics"})";
    QCOMPARE(run("POST", base + "/axis-cgi/opticscontrol.cgi", json).finished, QStringList{"{}"});
    QCOMPARE(run("PUT", base + "/api/ptz", json).finished, QStringList{""});
    QCOMPARE(run("PUT", base + "/ISAPI/PTZCtrl/channels/1/continuous", "<PTZData/>").finished, QStringList{""});
    // A certificate nobody vouches for is accepted.
    QCOMPARE(run("GET", base + "/x").finished, QStringList{"tls"});

    // Empty PUT: refused before any network access.
    const int before = camera.requests().size();
    const Outcome empty = run("PUT", base + "/api/ptz");
    QCOMPARE(empty.errors, QStringList{"PUT body is empty"});
    QCOMPARE(empty.results, (QList<QList<QVariant>>{{QString(), -1, 43}}));
    QCOMPARE(camera.requests().size(), before);

    QHash<QString, QJsonObject> answered;
    for (const QJsonObject &r : camera.requests())
        if (r.value("status").toInt() == 200)
            answered.insert(r.value("method").toString() + " " + r.value("path").toString(), r);
    const QJsonObject post = answered.value("POST /axis-cgi/opticscontrol.cgi");
    QCOMPARE(post.value("body").toString(), QString::fromUtf8(json));
    QCOMPARE(post.value("headers").toObject().value("Content-Type").toString(), "application/json");
    QCOMPARE(post.value("headers").toObject().value("Accept").toString(), "application/json");
    QVERIFY(!post.value("headers").toObject().contains("Expect"));
    const QJsonObject put = answered.value("PUT /api/ptz");
    QCOMPARE(put.value("body").toString(), QString::fromUtf8(json));
    QCOMPARE(put.value("headers").toObject().value("Content-Type").toString(), "application/json");
    QCOMPARE(put.value("headers").toObject().value("Accept").toString(), "*/*");
    const QJsonObject isapi = answered.value("PUT /ISAPI/PTZCtrl/channels/1/continuous");
    QCOMPARE(isapi.value("body").toString(), "<PTZData/>");
    QCOMPARE(isapi.value("headers").toObject().value("Content-Type").toString(), "application/xml; charset=utf-8");
    QCOMPARE(isapi.value("headers").toObject().value("Accept").toString(), "application/xml");

    // Nothing listens: libcurl's own message.
    const Outcome refused = run("GET", "http://127.0.0.1:" + ptztest::closedPort() + "/x");
    QCOMPARE(refused.errors.size(), 1);
    QVERIFY2(refused.errors.first().startsWith("Erreur libcurl (7): "), qPrintable(refused.errors.first()));
    QCOMPARE(refused.results.first().at(2).toInt(), 7);
}

void TestPtzWorker::isapiResetRetriedWithBasic()
{
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "both", "--password", kPassword, "--reset-isapi-put", "1"},
                         {rule("PUT", "/ISAPI/PTZCtrl/channels/2/continuous", 200, "<ResponseStatus/>")}));
    const QByteArray body = "<PTZData><pan>0</pan></PTZData>";
    const Outcome out = run("PUT", camera.url() + "/ISAPI/PTZCtrl/channels/2/continuous", body);
    QCOMPARE(out.finished, QStringList{"<ResponseStatus/>"});
    const QList<QJsonObject> seen = camera.requests();
    QCOMPARE(seen.first().value("status").toString(), "reset");
    QCOMPARE(seen.last().value("auth").toString(), "basic");
    QCOMPARE(seen.last().value("body").toString(), QString::fromUtf8(body));
    QVERIFY(seen.last().value("peer") != seen.first().value("peer"));
}

void TestPtzWorker::cancelMidRequest()
{
    PtzServer camera;
    QVERIFY(camera.start("camera", {"--auth", "basic", "--password", kPassword},
                         {rule("GET", "/slow", 200, "late", 30)}));
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
