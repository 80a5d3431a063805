#include "domparser.h"
#include "onvif.h"

#include "zulog.h"

#include "ptz_test_support.h"

#include <QSignalSpy>
#include <QtTest>

#include <QScopeGuard>

#include <ctime>
#include <memory>

namespace {
const QString kPassword = QStringLiteral("pw&<7>");

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

// The ONVIF stand-in camera.
class Device
{
public:
    bool start(const QStringList &args)
    {
        return m_server.start(args + QStringList{"--password", kPassword},
                              m_dir.filePath(QStringLiteral("record.jsonl")));
    }
    PtzCamera camera() const
    {
        PtzCamera c;
        c.host = QStringLiteral("127.0.0.1");
        c.port = QString::number(m_server.port());
        c.login = QStringLiteral("admin");
        c.password = kPassword;
        return c;
    }
    QList<QJsonObject> requests() const { return m_server.requests(); }
    QStringList ops() const
    {
        QStringList out;
        for (const QJsonObject &r : requests())
            out << r.value("op").toString();
        return out;
    }
    QJsonObject last(const QString &op) const
    {
        QJsonObject found;
        for (const QJsonObject &r : requests())
            if (r.value("op").toString() == op)
                found = r;
        return found;
    }

private:
    QTemporaryDir m_dir;
    testsupport::TestServer m_server{QStringLiteral(ZU_SOURCE_DIR "/tests/ptz/onvif_device.py")};
};

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
private slots:
    void initTestCase();
    void cleanupTestCase();
    void faults_data();
    void faults();
    void unreadableReplyLogsOnce();
    void repliesFillTheRecord();
    void chain_data();
    void chain();
    void chainFailures_data();
    void chainFailures();
    void clockInADaylightSavingGap();
    void moves_data();
    void moves();
    void moveTimesOut();
};

void TestOnvif::initTestCase()
{
    setLevelValue(1);
    ptztest::LogCapture::install();
}

void TestOnvif::cleanupTestCase()
{
    ptztest::LogCapture::uninstall();
    ptztest::LogCapture::verifyAbsent(kPassword);
}

void TestOnvif::faults_data()
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
    QTest::newRow("truncated") << envelope("s", "<tptz:StopResponse/>").left(60) << "Parse error at line 1, column";
    QTest::newRow("empty") << QByteArray() << "Parse error at line";
    QTest::newRow("deeply nested") << envelope("s", QByteArray("<a>").repeated(100000)) << "Reply nested deeper";
    QTest::newRow("huge") << envelope("s", "<a>" + QByteArray(DomParser::kMaxBytes, 'x') + "</a>")
                          << "Reply too large";
}

void TestOnvif::faults()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, fault);
    DomParser parser;
    const QString text = parser.parse_fault(reply);
    if (fault.isEmpty())
        QCOMPARE(text, QString());
    else
        QVERIFY2(text.startsWith(fault), qPrintable(text));
    // The other readers survive the same bytes.
    parser.parse_services(reply);
    parser.parse_capabilities(reply);
    parser.parse_profiles(reply);
    parser.parse_nodes(reply);
    parser.parse_presets(reply);
    parser.parse_status(reply);
    parser.parse_datetime_reply(reply);
}

void TestOnvif::unreadableReplyLogsOnce()
{
    DomParser parser;
    g_log.clear();
    parser.parse_nodes(envelope("s", "<tptz:GetNodeResponse>"));
    QCOMPARE(g_log.size(), 1);
    QVERIFY(g_log.first().startsWith("Error: getting tag GetNodes Parse error at line 1, column"));
}

void TestOnvif::repliesFillTheRecord()
{
    DomParser parser;
    QCOMPARE(parser.parse_datetime_reply(envelope("env",
        "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:TimeZone><tt:TZ>UTC</tt:TZ></tt:TimeZone>"
        "<tt:LocalDateTime><tt:Date><tt:Year>1999</tt:Year><tt:Month>1</tt:Month><tt:Day>1</tt:Day></tt:Date>"
        "</tt:LocalDateTime><tt:UTCDateTime><tt:Date><tt:Year>2024</tt:Year><tt:Month>3</tt:Month>"
        "<tt:Day>1</tt:Day></tt:Date><tt:Time><tt:Hour>7</tt:Hour><tt:Minute>5</tt:Minute><tt:Second>9</tt:Second>"
        "</tt:Time></tt:UTCDateTime></tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>")),
             QStringLiteral("2024-03-01T07:05:09Z"));

    // Services under another prefix than tds are not read.
    QVERIFY(parser.parse_services(envelope("s", "<dev:GetServicesResponse><dev:Service><dev:Namespace>n"
                                               "</dev:Namespace><dev:XAddr>a</dev:XAddr></dev:Service>"
                                               "</dev:GetServicesResponse>")).isEmpty());
    const QHash<QString, QString> caps = parser.parse_capabilities(envelope("s",
        "<tds:GetCapabilitiesResponse><tds:Capabilities><tt:Device><tt:XAddr> http://h/onvif/device_service "
        "</tt:XAddr></tt:Device><tt:PTZ><tt:XAddr>http://h/onvif/ptz</tt:XAddr></tt:PTZ><tt:Imaging><tt:XAddr/>"
        "</tt:Imaging></tds:Capabilities></tds:GetCapabilitiesResponse>"));
    QCOMPARE(caps, (QHash<QString, QString>{{OnvifNs::device, "http://h/onvif/device_service"},
                                            {OnvifNs::ptz, "http://h/onvif/ptz"}}));

    Onvif_ptz *ptz = parser.parse_profiles(envelope("soap",
        "<trt:GetProfilesResponse><trt:Profiles token=\"P1\"><tt:Name>a</tt:Name>"
        "<tt:VideoEncoderConfiguration token=\"E1\"/><tt:PTZConfiguration><tt:NodeToken>N1</tt:NodeToken>"
        "</tt:PTZConfiguration></trt:Profiles><trt:Profiles token=\"P2\"><tt:PTZConfiguration/></trt:Profiles>"
        "</trt:GetProfilesResponse>"));
    QCOMPARE(ptz->get_profile_tokens(), (QStringList{"P1", "P2"}));
    QCOMPARE(ptz->get_node_tokens(), QStringList{"N1"});
    QCOMPARE(parser.profile_encoder_map(), (QHash<QString, QString>{{"P1", "E1"}}));

    parser.parse_nodes(envelope("s",
        "<tptz:GetNodeResponse><tptz:PTZNode><tt:SupportedPTZSpaces><tt:ContinuousPanTiltVelocitySpace>"
        "<tt:URI>http://x/VelocityGenericSpace</tt:URI><tt:XRange><tt:Min>-1</tt:Min><tt:Max>1</tt:Max></tt:XRange>"
        "<tt:YRange><tt:Min>-0.5</tt:Min><tt:Max>0.5</tt:Max></tt:YRange></tt:ContinuousPanTiltVelocitySpace>"
        "<tt:RelativeZoomTranslationSpace><tt:URI>http://x/OtherSpace</tt:URI><tt:XRange><tt:Min>-3</tt:Min>"
        "<tt:Max>3</tt:Max></tt:XRange></tt:RelativeZoomTranslationSpace></tt:SupportedPTZSpaces>"
        "</tptz:PTZNode></tptz:GetNodeResponse>"));
    QCOMPARE(ptz->continuous_pan_tilt_x(), Onvif_ptz::Range(-1, 1));
    QCOMPARE(ptz->continuous_pan_tilt_y(), Onvif_ptz::Range(-0.5f, 0.5f));
    QVERIFY(ptz->is_continuous_supported() && ptz->is_relative_supported() && !ptz->is_absolute_supported());
    QCOMPARE(ptz->relative_zoom(), Onvif_ptz::Range(-1, 1)); // not the generic space: kept

    parser.parse_presets(envelope("s",
        "<tptz:GetPresetsResponse><tptz:Preset token=\"1\"><tt:Name>Entrance</tt:Name></tptz:Preset>"
        "<tptz:Preset token=\"2\"/><tptz:Preset token=\"3\"><tt:Name>MyPresetA</tt:Name></tptz:Preset>"
        "</tptz:GetPresetsResponse>"));
    QStringList presets;
    for (const Onvif_preset_token *p : ptz->get_presets())
        presets << p->token + "=" + p->name;
    QCOMPARE(presets, (QStringList{"1=Entrance", "2="}));

    parser.parse_status(envelope("s",
        "<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position><tt:PanTilt x=\"0.25\" y=\"-0.5\"/>"
        "<tt:Zoom x=\"0.1\"/></tt:Position><tt:MoveStatus><tt:PanTilt>IDLE</tt:PanTilt></tt:MoveStatus>"
        "</tptz:PTZStatus></tptz:GetStatusResponse>"));
    QCOMPARE(ptz->get_pan(), 0.25f);
    QCOMPARE(ptz->get_tilt(), -0.5f);
    QCOMPARE(ptz->get_zoom(), 0.1f);
}

void TestOnvif::chain_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("ops");
    QTest::addColumn<QString>("ptzTarget");

    const QStringList tail{"GetProfiles", "GetNode", "GetPresets", "GetStatus"};
    QTest::newRow("services") << QStringList{} << QStringList{"GetSystemDateAndTime", "GetServices"} + tail
                              << "/onvif/ptz_service";
    QTest::newRow("capabilities fallback behind NAT")
        << QStringList{"--no-services", "--nat-port", ptztest::closedPort(), "--clock-offset", "5000"}
        << QStringList{"GetSystemDateAndTime", "GetServices", "GetCapabilities"} + tail << "/onvif/ptz_service";
    QTest::newRow("service address without /onvif/")
        << QStringList{"--ptz-path", "/cgi/ptz?svc=1", "--nat-port", ptztest::closedPort()}
        << QStringList{"GetSystemDateAndTime", "GetServices"} + tail << "/cgi/ptz?svc=1";
    QTest::newRow("400 and 404 in the clock reply") << QStringList{"--clock-serial"}
                                                    << QStringList{"GetSystemDateAndTime", "GetServices"} + tail
                                                    << "/onvif/ptz_service";
}

void TestOnvif::chain()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, ops);
    QFETCH(QString, ptzTarget);
    Device device;
    QVERIFY(device.start(args));
    Onvif onvif(device.camera());
    QSignalSpy messages(&onvif, &NativePTZInterface::status_message);
    onvif.start();
    const QList<QVariant> end = chainEnd(messages);
    QCOMPARE(end, (QList<QVariant>{1, "GetStatus", "ONVIF PTZ pan=0.25 tilt=-0.5 zoom=0.1 presets=3", "ONVIF"}));
    QCOMPARE(device.ops(), ops);
    QVERIFY(onvif.profiles_known() && onvif.status_known());
    QVERIFY(onvif.service_map().contains(OnvifNs::device));

    QSet<QString> nonces;
    for (const QJsonObject &r : device.requests()) {
        // Every digest checked by the camera against its own clock.
        QCOMPARE(r.value("auth").toString(), QStringLiteral("ok"));
        nonces.insert(r.value("nonce").toString());
        QVERIFY(r.value("content_type").toString().startsWith("application/soap+xml; charset=utf-8; action=\""));
    }
    QCOMPARE(nonces.size(), ops.size());
    const QJsonObject node = device.last("GetNode");
    QCOMPARE(node.value("path").toString() + (node.value("query").toString().isEmpty() ? "" : "?")
                 + node.value("query").toString(),
             ptzTarget);
    QCOMPARE(node.value("action").toString(), OnvifNs::ptz + "/GetNode");
    QCOMPARE(param(node, "NodeToken"), QStringLiteral("Node_A"));
    QCOMPARE(param(device.last("GetStatus"), "ProfileToken"), QStringLiteral("Profile_1"));
    QCOMPARE(param(device.last("GetServices"), "IncludeCapability"), QStringLiteral("false"));

    QStringList presets;
    for (const Onvif_preset_token *p : onvif.record()->get_presets())
        presets << p->name;
    QCOMPARE(presets, (QStringList{"Entrance", "", "Parking"}));
    QCOMPARE(onvif.record()->continuous_pan_tilt_y(), Onvif_ptz::Range(-0.5f, 0.5f));
}

void TestOnvif::chainFailures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<QVariant>>("message");
    QTest::addColumn<QString>("logged");

    const QString clock = "GENERIC:GetSystemDateAndTime";
    QTest::newRow("clock: HTTP 500") << QStringList{"--clock-status", "500"}
                                     << QList<QVariant>{-99, clock, "not supported", "ONVIF"}
                                     << "[ERROR] ONVIF :: request timestamp finished :: Error message    clock unavailable";
    QTest::newRow("clock: not XML") << QStringList{"--malformed", "GetSystemDateAndTime"}
                                    << QList<QVariant>{-99, clock, "not supported", "ONVIF"}
                                    << "[ERROR] ONVIF :: unreadable reply to " + clock + " :: Parse error";
    QTest::newRow("profiles: fault") << QStringList{"--fault", "GetProfiles"}
                                     << QList<QVariant>{-1, "GetProfiles", "not supported", "ONVIF"}
                                     << "[ERROR] ONVIF :: Error message    GetProfiles refused by the camera";
    QTest::newRow("node: not XML") << QStringList{"--malformed", "GetNode"}
                                   << QList<QVariant>{-1, "GetNodes", "not supported", "ONVIF"}
                                   << "[ERROR] ONVIF :: unreadable reply to PTZ:GetNodes :: Parse error";
    QTest::newRow("camera unreachable") << QStringList{"unreachable"}
                                        << QList<QVariant>{-99, clock, "not supported", "ONVIF"}
                                        << "[ERROR] ONVIF :: request timestamp finished :: Error on command " + clock;
}

void TestOnvif::chainFailures()
{
    QFETCH(QStringList, args);
    QFETCH(QList<QVariant>, message);
    QFETCH(QString, logged);
    Device device;
    PtzCamera camera;
    if (args == QStringList{"unreachable"}) {
        camera.host = "127.0.0.1";
        camera.port = ptztest::closedPort();
    } else {
        QVERIFY(device.start(args));
        camera = device.camera();
    }
    Onvif onvif(camera);
    QSignalSpy messages(&onvif, &NativePTZInterface::status_message);
    g_log.clear();
    onvif.start();
    QCOMPARE(chainEnd(messages), message);
    QTest::qWait(200);
    QCOMPARE(messages.size(), 1);
    QVERIFY2(std::any_of(g_log.cbegin(), g_log.cend(), [&](const QString &l) { return l.startsWith(logged); }),
             qPrintable(g_log.join('\n')));
}

void TestOnvif::clockInADaylightSavingGap()
{
    // The camera's UTC clock reads 02:30 on a day whose 02:00-03:00 does not
    // exist in the local zone: the time is the camera's, not a local one.
    const QByteArray previousTz = qgetenv("TZ");
    qputenv("TZ", "Europe/Paris");
    tzset();
    const auto restore = qScopeGuard([&] {
        if (previousTz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", previousTz);
        tzset();
    });
    if (QDateTime::fromString("2024-03-31T02:30:00Z", "yyyy-MM-dd'T'HH:mm:ss'Z'").isValid())
        QSKIP("the local zone has no daylight-saving gap here");
    const QDateTime gap(QDate(2024, 3, 31), QTime(2, 30), Qt::UTC);
    const qint64 offset = QDateTime::currentDateTimeUtc().secsTo(gap);

    Device device;
    QVERIFY(device.start({"--clock-offset", QString::number(offset)}));
    Onvif onvif(device.camera());
    QSignalSpy messages(&onvif, &NativePTZInterface::status_message);
    onvif.start();
    QCOMPARE(chainEnd(messages).value(0).toInt(), 1);
    QVERIFY(onvif.device_time().startsWith("2024-03-31T02:3"));
    for (const QJsonObject &r : device.requests()) {
        QCOMPARE(r.value("auth").toString(), QStringLiteral("ok"));
        if (r.value("op").toString() != "GetSystemDateAndTime")
            QVERIFY(r.value("created").toString().startsWith("2024-03-31T02:3"));
    }
}

void TestOnvif::moves_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<QList<float>>("xyz");
    QTest::addColumn<QStringList>("ops");       // what reaches the camera
    QTest::addColumn<QStringList>("expected");  // element:attribute=value of the first move
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("failures");          // "PTZ command failed" reported

    QTest::newRow("hold") << QStringList{} << "ContinuousMove" << false << QList<float>{0.5f, 1, 0}
                          << QStringList{"ContinuousMove"} << QStringList{"PanTilt:x=0.5", "PanTilt:y=0.5"} << 1
                          << 0;
    QTest::newRow("wheel asks for its stop") << QStringList{} << "ContinuousMove" << true << QList<float>{0, 0, -0.5f}
                                             << QStringList{"ContinuousMove"} << QStringList{"Zoom:x=-0.5"} << 2
                                             << 0;
    QTest::newRow("click, relative") << QStringList{} << "clic" << false << QList<float>{600, 150, 0}
                                     << QStringList{"RelativeMove"}
                                     << QStringList{"PanTilt:x=0.5", "PanTilt:y=0.25", "Zoom:x=0"} << 1 << 0;
    QTest::newRow("click without relative moves") << QStringList{"--no-relative"} << "clic" << false
                                                  << QList<float>{200, 450, 0} << QStringList{"ContinuousMove", "Stop"}
                                                  << QStringList{"PanTilt:x=-0.5", "PanTilt:y=-0.25"} << 1 << 0;
    QTest::newRow("stop") << QStringList{} << "STOP_PanTilt_ContinuousMove" << false << QList<float>{0, 0, 0}
                          << QStringList{"Stop"} << QStringList{"PanTilt:text=true", "Zoom:text=true"} << 1 << 0;
    QTest::newRow("fault") << QStringList{"--fault", "ContinuousMove"} << "PanTilt_ContinuousMove" << false
                           << QList<float>{1, 0, 0} << QStringList{"ContinuousMove"} << QStringList{"PanTilt:x=1"}
                           << -1 << 1;
    QTest::newRow("fault on a wheel step") << QStringList{"--fault", "ContinuousMove"} << "ContinuousMove" << true
                                           << QList<float>{0, 0, 1} << QStringList{"ContinuousMove"}
                                           << QStringList{"Zoom:x=1"} << 2 << 1;
    // A failed stop is sent once more, not again and again.
    QTest::newRow("stop answered with garbage") << QStringList{"--malformed", "Stop"} << "STOP" << false
                                                << QList<float>{0, 0, 0} << QStringList{"Stop", "Stop"}
                                                << QStringList{} << -1 << 2;
    // An unreadable reply still brings the stop that its move asked for.
    QTest::newRow("wheel step answered with garbage") << QStringList{"--malformed", "ContinuousMove"}
                                                      << "ContinuousMove" << true << QList<float>{0, 0, 1}
                                                      << QStringList{"ContinuousMove"} << QStringList{} << 2 << 1;
    QTest::newRow("nudge answered with garbage")
        << QStringList{"--no-relative", "--malformed", "ContinuousMove"} << "clic" << false
        << QList<float>{200, 450, 0} << QStringList{"ContinuousMove", "Stop"} << QStringList{} << -1 << 1;
}

void TestOnvif::moves()
{
    QFETCH(QStringList, args);
    QFETCH(QString, command);
    QFETCH(bool, flag);
    QFETCH(QList<float>, xyz);
    QFETCH(QStringList, ops);
    QFETCH(QStringList, expected);
    QFETCH(int, code);
    QFETCH(int, failures);
    Device device;
    QVERIFY(device.start(args));
    Onvif onvif(device.camera());
    QSignalSpy messages(&onvif, &NativePTZInterface::status_message);
    QSignalSpy finished(&onvif, &NativePTZInterface::send_request_finished);
    onvif.start();
    QCOMPARE(chainEnd(messages).value(0).toInt(), 1);
    messages.clear();
    const int before = device.requests().size();

    onvif.send_command(command, flag, xyz[0], xyz[1], xyz[2], 800, 600, 0, -1, -1);
    QVERIFY(QTest::qWaitFor([&] { return finished.size() == ops.size(); }, 30000));
    QTest::qWait(Onvif::kFalseClicMs + 200);
    QCOMPARE(finished.size(), ops.size());
    QCOMPARE(finished.first().at(0).toInt(), code);
    QCOMPARE(messages.size(), failures);
    if (failures)
        QCOMPARE(messages.first(), (QList<QVariant>{-2, command, "PTZ command failed", "ONVIF"}));

    const QList<QJsonObject> moves = device.requests().mid(before);
    QStringList seen;
    for (const QJsonObject &r : moves) {
        seen << r.value("op").toString();
        QCOMPARE(r.value("auth").toString(), QStringLiteral("ok"));
        QCOMPARE(param(r, "ProfileToken"), QStringLiteral("Profile_1"));
        QCOMPARE(r.value("path").toString(), QStringLiteral("/onvif/ptz_service"));
    }
    QCOMPARE(seen, ops);
    for (const QString &e : expected)
        QCOMPARE(param(moves.first(), e.section(':', 0, 0), e.section(':', 1).section('=', 0, 0)),
                 e.section('=', 1));
}

void TestOnvif::moveTimesOut()
{
    Device device;
    QVERIFY(device.start({"--delay", "ContinuousMove=20"}));
    Onvif onvif(device.camera());
    QSignalSpy messages(&onvif, &NativePTZInterface::status_message);
    QSignalSpy finished(&onvif, &NativePTZInterface::send_request_finished);
    onvif.start();
    QCOMPARE(chainEnd(messages).value(0).toInt(), 1);
    onvif.send_command("ContinuousMove", false, 0.2f, 0, 0, -1, -1, 0, -1, -1);
    // Given up well before the camera would answer.
    QVERIFY(finished.wait(Onvif::kTimeoutMs + 8000));
    QCOMPARE(finished.first().at(0).toInt(), -1);
    QCOMPARE(messages.last().at(2).toString(), QStringLiteral("PTZ command failed"));
}

QTEST_MAIN(TestOnvif)
#include "test_onvif.moc"
