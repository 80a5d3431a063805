#pragma once
// The PTZ tests' stand-in peers (ptz_server.py) on 127.0.0.1, and a port
// that nothing listens on.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "../maintenance/test_support.h"

namespace ptztest {

class PtzServer
{
public:
    // mode "web" or "camera"; `rules` as ptz_server.py reads them.
    bool start(const QString &mode, const QStringList &args = {}, const QJsonArray &rules = {})
    {
        QStringList all{mode};
        if (!rules.isEmpty()) {
            const QString path = m_dir.filePath(QStringLiteral("rules.json"));
            testsupport::writeFile(path, QJsonDocument(rules).toJson());
            all += QStringList{QStringLiteral("--rules"), path};
        }
        return m_server.start(all + args, m_dir.filePath(QStringLiteral("record.jsonl")));
    }
    QString url(const QString &scheme = QStringLiteral("http")) const { return m_server.url(scheme); }
    QString port() const { return QString::number(m_server.port()); }
    QString dir() const { return m_dir.path(); }

    // What the server saw, in order.
    QList<QJsonObject> requests() const { return m_server.requests(); }
    QStringList targets() const
    {
        QStringList out;
        for (const QJsonObject &r : requests())
            out << r.value(QStringLiteral("target")).toString();
        return out;
    }
    // Waits (event loop running) until the server has seen `count` requests.
    bool waitForRequests(int count, int timeoutMs = 20000) const
    {
        return QTest::qWaitFor([&] { return requests().size() >= count; }, timeoutMs);
    }

private:
    QTemporaryDir m_dir;
    testsupport::TestServer m_server{QStringLiteral(ZU_SOURCE_DIR "/tests/ptz/ptz_server.py")};
};

// Keeps every message logged while it is installed (and passes it on), so a
// test can check what reached the log: install() in initTestCase,
// uninstall() in cleanupTestCase.
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
    // Fails the test when a line holds `secret`.
    static void verifyAbsent(const QString &secret)
    {
        for (const QString &line : std::as_const(lines()))
            QVERIFY2(!line.contains(secret), qPrintable(line));
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

// A port on 127.0.0.1 that refuses connections: bound, then let go.
inline QString closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QString::number(port);
}

// A camera rule of ptz_server.py.
inline QJsonObject rule(const QString &method, const QString &path, int status = 200, const QString &body = {},
                        double delay = 0, const QString &contains = {})
{
    QJsonObject r{{"method", method}, {"path", path}, {"status", status}, {"body", body}, {"delay", delay}};
    if (!contains.isEmpty())
        r.insert(QStringLiteral("contains"), contains);
    return r;
}

} // namespace ptztest
