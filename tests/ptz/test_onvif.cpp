#include "domparser.h"
#include "onvif.h"

#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QtTest>

#include <ctime>

using ptztest::StandIn;

namespace {
QStringList &g_log = ptztest::LogCapture::lines();

QByteArray envelope(const QByteArray &prefix, const QByteArray &body)
{
    return "<?xml version=\"1.0\"?><" + prefix + ":Envelope xmlns:" + prefix
        + "=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:tds=\"d\" xmlns:trt=\"m\" xmlns:tptz=\"p\" "
          "xmlns:tt=\"t\"><" + prefix + ":Header/><" + prefix + ":Body>" + body + "</" + prefix + ":Body></" + prefix
        + ":Envelope>";
}

QByteArray soapFault(const QByteArray &p, const QByteArray &inner)
{
    return envelope(p, "<" + p + ":Fault>" + inner + "</" + p + ":Fault>");
}

QJsonObject last(const StandIn &device, const QString &op)
{
    QJsonObject found;
    for (const QJsonObject &r : device.requests())
        if (r.value("op").toString() == op)
            found = r;
    return found;
}

QString param(const QJsonObject &request, const QString &element, const QString &attribute = "text")
{
    return request.value("params").toObject().value(element).toObject().value(attribute).toString();
}

// Waits for the chain's final status message.
QList<QVariant> chainEnd(QSignalSpy &messages)
{
    if (!QTest::qWaitFor([&] { return !messages.isEmpty(); }, 30000))
        return {};
    return messages.first();
}
} // namespace

class TestOnvif : public QObject
{
    Q_OBJECT
    QTemporaryDir m_certificate;
    QStringList m_tls; // device arguments for HTTPS

private slots:
    void initTestCase()
    {
        setLevelValue(1);
        ptztest::LogCapture::install();
        QVERIFY(testsupport::makeCertificate(m_certificate.path(), &m_tls));
        // A zone with a daylight-saving gap, where a UTC time read as local time
        // can fail to exist.
        qputenv("TZ", "Europe/Paris");
        tzset();
    }

    void cleanupTestCase()
    {
        ptztest::LogCapture::uninstall();
        ptztest::LogCapture::verifyNoPassword();
    }

    // A fault is found under any prefix; unreadable bytes give a clear failure
    // and one log line. (fuzz_onvif runs every reader over such replies.)
    void faults_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("fault"); // a prefix of the result

        const QByteArray reason = "<X:Code><X:Value>X:Sender</X:Value></X:Code><X:Reason><X:Text xml:lang=\"en\">"
                                  "Not allowed</X:Text></X:Reason>";
        for (const QByteArray p : {"s", "SOAP-ENV", "env", "soap"})
            QTest::newRow(p.constData()) << soapFault(p, QByteArray(reason).replace("X:", p + ":")) << "Not allowed";
        QTest::newRow("no fault") << envelope("s", "<tptz:StopResponse/>") << "";
        QTest::newRow("only a code") << soapFault("env", "<env:Code><env:Value>env:Receiver</env:Value></env:Code>")
                                     << "env:Receiver";
        QTest::newRow("SOAP 1.1") << soapFault("SOAP-ENV", "<faultcode>SOAP-ENV:Client</faultcode>"
                                                           "<faultstring>boom</faultstring>")
                                  << "boom";
        QTest::newRow("empty fault") << soapFault("s", "") << "SOAP fault";
        QTest::newRow("not well-formed") << envelope("s", "<tptz:StopResponse>") << "Parse error at line 1, column";
        QTest::newRow("empty") << QByteArray() << "Parse error at line";
        QTest::newRow("deeply nested") << envelope("s", QByteArray("<a>").repeated(100000)) << "Reply nested deeper";
        QTest::newRow("huge") << envelope("s", "<a>" + QByteArray(DomParser::kMaxBytes, 'x') + "</a>")
                              << "Reply too large";
        // A small reply that would stand for megabytes of text, and any
        // declaration at all: refused before anything is expanded.
        const QByteArray reasonOf = "<s:Reason><s:Text>" + QByteArray("&e;").repeated(2000) + "</s:Text></s:Reason>";
        const auto declared = [](const QByteArray &doctype, QByteArray reply) {
            return reply.insert(reply.indexOf("?>") + 2, doctype);
        };
        QTest::newRow("entity expansion")
            << declared("<!DOCTYPE s:Envelope [<!ENTITY e \"" + QByteArray(4000, 'e') + "\">]>",
                        soapFault("s", reasonOf))
            << "Reply holds a document type declaration";
        QTest::newRow("document type without entities")
            << declared("<!DOCTYPE s:Envelope>", soapFault("s", "<s:Reason><s:Text>x</s:Text></s:Reason>"))
            << "Reply holds a document type declaration";
    }

    void faults()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, fault);
        DomParser parser;
        const QString text = parser.parse_fault(reply);
        QVERIFY2(fault.isEmpty() ? text.isEmpty() : text.startsWith(fault), qPrintable(text));
        const bool unreadable = fault.startsWith("Parse error") || fault.startsWith("Reply");
        g_log.clear();
        parser.parse_nodes(reply);
        QCOMPARE(g_log.size(), unreadable ? 1 : 0);
        if (unreadable)
            QVERIFY2(g_log.first().startsWith("Error: getting tag GetNodes " + fault), qPrintable(g_log.first()));
    }

    // What the chain's replies do not show: the padded date; every profile's
    // token, an absent one as empty; a node token for each of the two walks over
    // a profile, empty ones too.
    void repliesFillTheRecord()
    {
        DomParser parser;
        QCOMPARE(parser.parse_datetime_reply(envelope("env",
            "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:TimeZone><tt:TZ>UTC</tt:TZ></tt:TimeZone>"
            "<tt:LocalDateTime><tt:Date><tt:Year>1999</tt:Year><tt:Month>1</tt:Month><tt:Day>1</tt:Day></tt:Date>"
            "</tt:LocalDateTime><tt:UTCDateTime><tt:Date><tt:Year>2024</tt:Year><tt:Month>3</tt:Month>"
            "<tt:Day>1</tt:Day></tt:Date><tt:Time><tt:Hour>7</tt:Hour><tt:Minute>5</tt:Minute><tt:Second>9</tt:Second>"
            "</tt:Time></tt:UTCDateTime></tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>")),
                 QStringLiteral("2024-03-01T07:05:09Z"));

        Onvif_ptz *ptz = parser.parse_profiles(envelope("soap",
            "<trt:GetProfilesResponse><trt:Profiles token=\"P1\"><tt:Name>a</tt:Name>"
            "<tt:VideoEncoderConfiguration token=\"E1\"/><tt:PTZConfiguration><tt:NodeToken>N1</tt:NodeToken>"
            "</tt:PTZConfiguration></trt:Profiles><trt:Profiles token=\"P2\"><tt:PTZConfiguration><tt:NodeToken/>"
            "</tt:PTZConfiguration></trt:Profiles><trt:Profiles><tt:Name>c</tt:Name></trt:Profiles>"
            "</trt:GetProfilesResponse>"));
        QCOMPARE(ptz->get_profile_tokens(), (QStringList{"P1", "P2", ""}));
        QCOMPARE(ptz->get_node_tokens(), (QStringList{"N1", "N1", "", ""}));
        QCOMPARE(parser.profile_encoder_map(), (QHash<QString, QString>{{"P1", "E1"}}));
    }

    // The whole chain against a device behind NAT (its addresses name a closed
    // port) whose clock is not ours: every digest checked against the device's
    // clock, nonces all different, the customary actions, tokens and targets. A
    // failed step ends the chain with one status message and its log line.
    void chain_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("ops");
        QTest::addColumn<QString>("end");    // the status message, "|"-joined
        QTest::addColumn<QString>("target"); // of GetNode; or the start of a line logged
        const auto row = [](const char *name, const QString &args, const QString &ops, const QString &end,
                            const QString &target) { QTest::newRow(name) << args << ops << end << target; };

        const QString all = "GetSystemDateAndTime GetServices GetProfiles GetNode GetPresets GetStatus";
        const QString done = "1|GetStatus|ONVIF PTZ pan=0.25 tilt=-0.5 zoom=0.1 presets=3|ONVIF";
        row("services", "", all, done, "/onvif/ptz_service");
        row("capabilities fallback", "--no-services --clock-offset 5000",
            QString(all).replace("GetServices", "GetServices GetCapabilities"), done, "/onvif/ptz_service");
        row("service address without /onvif/", "--ptz-path /cgi/ptz?svc=1", all, done, "/cgi/ptz?svc=1");
        // The device's UTC clock in the hour that the local zone skips.
        const QDateTime gap(QDate(2024, 3, 31), QTime(2, 30), Qt::UTC);
        if (!QDateTime::fromString("2024-03-31T02:30:00Z", "yyyy-MM-dd'T'HH:mm:ss'Z'").isValid())
            row("device clock in a daylight-saving gap",
                "--clock-offset " + QString::number(QDateTime::currentDateTimeUtc().secsTo(gap)), all, done,
                "/onvif/ptz_service");

        const QString noClock = "-99|GENERIC:GetSystemDateAndTime|not supported|ONVIF";
        const QString error = "[ERROR] ONVIF :: ";
        row("clock: HTTP 500", "--clock-status 500", "GetSystemDateAndTime", noClock,
            error + "request timestamp finished :: Error message    clock unavailable");
        row("clock: not XML", "--malformed GetSystemDateAndTime", "GetSystemDateAndTime", noClock,
            error + "unreadable reply to GENERIC:GetSystemDateAndTime :: Parse error");
        row("profiles: fault", "--fault GetProfiles", "GetSystemDateAndTime GetServices GetProfiles",
            "-1|GetProfiles|not supported|ONVIF", error + "Error message    GetProfiles refused by the camera");
        row("clock: entities declared", "--entities GetSystemDateAndTime", "GetSystemDateAndTime", noClock,
            error + "unreadable reply to GENERIC:GetSystemDateAndTime :: Reply holds a document type declaration");
        row("node: not XML", "--malformed GetNode", "GetSystemDateAndTime GetServices GetProfiles GetNode",
            "-1|GetNodes|not supported|ONVIF", error + "unreadable reply to PTZ:GetNodes :: Parse error");
        row("camera unreachable", "unreachable", "", noClock,
            error + "request timestamp finished :: Error on command GENERIC:GetSystemDateAndTime");
        // Misbehaving devices: a certificate nobody vouches for, a redirect
        // that would carry the signed request elsewhere, a fault text that
        // would write log lines of its own.
        row("clock: certificate refused", "tls", "", noClock,
            error + "request timestamp finished :: Error message    certificate refused: ");
        row("clock: redirected elsewhere", "--redirect GetSystemDateAndTime=307", "GetSystemDateAndTime", noClock,
            error + "no usable reply to GENERIC:GetSystemDateAndTime :: redirected (HTTP 307) to http://localhost:");
        row("profiles: fault with forged lines", "--fault GetProfiles --forge",
            "GetSystemDateAndTime GetServices GetProfiles", "-1|GetProfiles|not supported|ONVIF",
            error + "Error message    GetProfiles refused by the camera  [INFO] ONVIF :: forged line");
    }

    void chain()
    {
        QFETCH(QString, args);
        QFETCH(QString, ops);
        QFETCH(QString, end);
        QFETCH(QString, target);
        StandIn device("onvif_device.py");
        PtzCamera camera;
        camera.host = "127.0.0.1";
        camera.port = ptztest::closedPort();
        if (args != "unreachable") {
            QVERIFY(device.start(args == "tls" ? m_tls : args.split(' ', Qt::SkipEmptyParts)));
            camera = device.camera();
            if (args == "tls")
                camera.scheme = "https";
        }
        Onvif onvif(camera);
        QSignalSpy messages(&onvif, &NativePTZInterface::status_message);
        g_log.clear();
        onvif.start();
        QCOMPARE(ptztest::joined(chainEnd(messages)), end);
        QTest::qWait(200);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(device.field("op").join(' '), ops);
        for (const QString &auth : device.field("auth"))
            QCOMPARE(auth, QStringLiteral("ok"));
        const QStringList nonces = device.field("nonce");
        QCOMPARE(QSet<QString>(nonces.begin(), nonces.end()).size(), nonces.size());
        for (const QJsonObject &r : device.requests())
            QVERIFY(r.value("content_type").toString().startsWith("application/soap+xml; charset=utf-8; action=\""));
        // What the device wrote stays inside the lines that quote it.
        for (const QString &line : std::as_const(g_log))
            if (line.contains("forged"))
                QVERIFY2(line.startsWith("[ERROR] ONVIF :: Error message")
                             && std::none_of(line.cbegin(), line.cend(),
                                             [](QChar c) { return c.category() == QChar::Other_Control
                                                               || c.category() == QChar::Other_Format; }),
                         qPrintable(line));
        if (!end.startsWith("1|")) {
            QVERIFY2(std::any_of(g_log.cbegin(), g_log.cend(), [&](const QString &l) { return l.startsWith(target); }),
                     qPrintable(g_log.join('\n')));
            // Without profiles a gesture cannot go anywhere, and the surface says so.
            if (onvif.record()->get_profile_tokens().isEmpty()) {
                onvif.send_command("clic", false, 10, 10, 0, 800, 600, 0, -1, -1);
                QCOMPARE(messages.size(), 2);
                QCOMPARE(messages.last(), (QList<QVariant>{-2, "clic", "PTZ command failed", "ONVIF"}));
            }
            return;
        }
        QVERIFY(onvif.service_map().contains(OnvifNs::device));
        const QJsonObject node = last(device, "GetNode");
        QCOMPARE(node.value("target").toString(), target);
        QCOMPARE(node.value("action").toString(), OnvifNs::ptz + "/GetNode");
        QCOMPARE(param(node, "NodeToken"), QStringLiteral("Node_A"));
        QCOMPARE(param(last(device, "GetStatus"), "ProfileToken"), QStringLiteral("Profile_1"));
        QCOMPARE(param(last(device, "GetServices"), "IncludeCapability"), QStringLiteral("false"));

        QStringList presets;
        for (const Onvif_preset_token *p : onvif.record()->get_presets())
            presets << p->name;
        QCOMPARE(presets, (QStringList{"Entrance", "", "Parking"}));
        QCOMPARE(onvif.record()->continuous_pan_tilt_y(), Onvif_ptz::Range(-0.5f, 0.5f));
    }

    void moves_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("flag");
        QTest::addColumn<QList<float>>("xyz");
        QTest::addColumn<QString>("ops");      // what reaches the camera
        QTest::addColumn<QString>("expected"); // element:attribute=value of the first move
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("failures"); // "PTZ command failed" reported
        const auto row = [](const char *name, const char *args, const char *command, bool flag, QList<float> xyz,
                            const char *ops, const char *expected, int code, int failures) {
            QTest::newRow(name) << args << command << flag << xyz << ops << expected << code << failures;
        };
        row("hold", "", "ContinuousMove", false, {0.5f, 1, 0}, "ContinuousMove", "PanTilt:x=0.5 PanTilt:y=0.5", 1, 0);
        row("wheel asks for its stop", "", "ContinuousMove", true, {0, 0, -0.5f}, "ContinuousMove", "Zoom:x=-0.5", 2, 0);
        row("click, relative", "", "clic", false, {600, 150, 0}, "RelativeMove",
            "PanTilt:x=0.5 PanTilt:y=0.25 Zoom:x=0", 1, 0);
        row("click without relative moves", "--no-relative", "clic", false, {200, 450, 0}, "ContinuousMove Stop",
            "PanTilt:x=-0.5 PanTilt:y=-0.25", 1, 0);
        row("stop", "", "STOP_PanTilt_ContinuousMove", false, {0, 0, 0}, "Stop", "PanTilt:text=true Zoom:text=true", 1, 0);
        row("fault", "--fault ContinuousMove", "PanTilt_ContinuousMove", false, {1, 0, 0}, "ContinuousMove",
            "PanTilt:x=1", -1, 1);
        row("fault on a wheel step", "--fault ContinuousMove", "ContinuousMove", true, {0, 0, 1}, "ContinuousMove",
            "Zoom:x=1", 2, 1);
        // Given up well before the camera would answer.
        row("no answer", "--delay ContinuousMove=20", "ContinuousMove", false, {0.2f, 0, 0}, "ContinuousMove", "", -1, 1);
        // A failed stop is sent once more, not again and again.
        row("stop answered with garbage", "--malformed Stop", "STOP", false, {0, 0, 0}, "Stop Stop", "", -1, 2);
        // An unreadable reply still brings the stop that its move asked for.
        row("wheel step answered with garbage", "--malformed ContinuousMove", "ContinuousMove", true, {0, 0, 1},
            "ContinuousMove", "", 2, 1);
        row("nudge answered with garbage", "--no-relative --malformed ContinuousMove", "clic", false, {200, 450, 0},
            "ContinuousMove Stop", "", -1, 1);
        // Neither followed to another host, nor turned into a GET there.
        row("redirected move", "--redirect ContinuousMove=302", "PanTilt_ContinuousMove", false, {1, 0, 0},
            "ContinuousMove", "PanTilt:x=1", -1, 1);
        // A byte a second never leaves the connection silent for long.
        row("dripping reply", "--drip ContinuousMove", "PanTilt_ContinuousMove", false, {1, 0, 0}, "ContinuousMove",
            "PanTilt:x=1", -1, 1);
    }

    void moves()
    {
        QFETCH(QString, args);
        QFETCH(QString, command);
        QFETCH(bool, flag);
        QFETCH(QList<float>, xyz);
        QFETCH(QString, ops);
        QFETCH(QString, expected);
        QFETCH(int, code);
        QFETCH(int, failures);
        StandIn device("onvif_device.py");
        QVERIFY(device.start(args.split(' ', Qt::SkipEmptyParts)));
        Onvif onvif(device.camera());
        QSignalSpy messages(&onvif, &NativePTZInterface::status_message);
        QSignalSpy finished(&onvif, &NativePTZInterface::send_request_finished);
        onvif.start();
        QCOMPARE(chainEnd(messages).value(0).toInt(), 1);
        messages.clear();
        const int before = device.requests().size();

        onvif.send_command(command, flag, xyz[0], xyz[1], xyz[2], 800, 600, 0, -1, -1);
        const int count = ops.count(' ') + 1;
        QVERIFY(QTest::qWaitFor([&] { return finished.size() == count; }, Onvif::kTimeoutMs + 30000));
        QTest::qWait(Onvif::kFalseClicMs + 200);
        QCOMPARE(finished.size(), count);
        QCOMPARE(finished.first().at(0).toInt(), code);
        QCOMPARE(messages.size(), failures);
        if (failures)
            QCOMPARE(messages.first(), (QList<QVariant>{-2, command, "PTZ command failed", "ONVIF"}));

        const QList<QJsonObject> moves = device.requests().mid(before);
        QCOMPARE(device.field("op").mid(before).join(' '), ops);
        for (const QJsonObject &r : moves) {
            QCOMPARE(r.value("auth").toString(), QStringLiteral("ok"));
            QCOMPARE(param(r, "ProfileToken"), QStringLiteral("Profile_1"));
            QCOMPARE(r.value("path").toString(), QStringLiteral("/onvif/ptz_service"));
        }
        for (const QString &e : expected.split(' ', Qt::SkipEmptyParts))
            QCOMPARE(param(moves.first(), e.section(':', 0, 0), e.section(':', 1).section('=', 0, 0)),
                     e.section('=', 1));
    }
};

QTEST_MAIN(TestOnvif)
#include "test_onvif.moc"
