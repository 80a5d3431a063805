#pragma once
// The PTZ tests' stand-in peers on 127.0.0.1 (ptz_server.py, onvif_device.py),
// what they recorded, the log, and a port that nothing listens on.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include "../maintenance/test_support.h"
#include "nativeptzinterface.h"

namespace ptztest {

// Credentials every stand-in checks: a colon and a space for Basic, XML
// specials for WS-Security; kSecret is what no log line may hold, however
// the password was encoded.
const QString kUser = QStringLiteral("admin");
const QString kSecret = QStringLiteral("Zu7Secret");
const QString kPassword = kSecret + QStringLiteral(":s w&<>");

class StandIn
{
public:
    explicit StandIn(const QString &script = QStringLiteral("ptz_server.py"))
        : m_server(QStringLiteral(ZU_SOURCE_DIR "/tests/ptz/") + script)
    {
    }
    // `rules`: the camera's answers, as ptz_server.py reads them.
    bool start(const QStringList &args, const QJsonArray &rules = {})
    {
        QStringList all = args + QStringList{QStringLiteral("--password"), kPassword};
        if (!rules.isEmpty()) {
            const QString path = m_dir.filePath(QStringLiteral("rules.json"));
            testsupport::writeFile(path, QJsonDocument(rules).toJson());
            all += QStringList{QStringLiteral("--rules"), path};
        }
        return m_server.start(all, m_dir.filePath(QStringLiteral("record.jsonl")));
    }
    QString url(const QString &scheme = QStringLiteral("http")) const { return m_server.url(scheme); }
    PtzCamera camera(const QString &index = QStringLiteral("2")) const
    {
        PtzCamera c;
        c.host = QStringLiteral("127.0.0.1");
        c.port = QString::number(m_server.port());
        c.login = kUser;
        c.password = kPassword;
        c.indexText = index;
        return c;
    }

    // What the server saw, in order.
    QList<QJsonObject> requests() const { return m_server.requests(); }
    // One field of every request.
    QStringList field(const QString &key) const
    {
        QStringList out;
        for (const QJsonObject &r : requests())
            out << r.value(key).toVariant().toString();
        return out;
    }
    QStringList targets() const { return field(QStringLiteral("target")); }
    // Waits (event loop running) until the server has seen `count` requests.
    bool waitForRequests(int count, int timeoutMs = 20000) const
    {
        return QTest::qWaitFor([&] { return requests().size() >= count; }, timeoutMs);
    }

private:
    QTemporaryDir m_dir;
    testsupport::TestServer m_server;
};

// Keeps every message logged while it is installed (and passes it on), so a
// test can check what reached the log.
class LogCapture
{
public:
    static QStringList &lines()
    {
        static QStringList all;
        return all;
    }
    static void install() { previous() = qInstallMessageHandler(handler); }
    static void uninstall() { qInstallMessageHandler(previous()); }
    // Fails the test when a line holds the password.
    static void verifyNoPassword()
    {
        for (const QString &line : std::as_const(lines()))
            QVERIFY2(!line.contains(kSecret), qPrintable(line));
    }

private:
    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        lines() << message;
        previous()(type, context, message);
    }
};

using testsupport::closedPort;

// A signal's arguments, "|"-joined.
inline QString joined(const QList<QVariant> &arguments)
{
    QStringList out;
    for (const QVariant &v : arguments)
        out << v.toString();
    return out.join('|');
}

// A camera rule of ptz_server.py.
inline QJsonObject rule(const QString &method, const QString &path, int status = 200, const QString &body = {},
                        double delay = 0, const QString &contains = {})
{
    return QJsonObject{{"method", method}, {"path", path},   {"status", status},
                       {"body", body},     {"delay", delay}, {"contains", contains}};
}

} // namespace ptztest
