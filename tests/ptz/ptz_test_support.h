#pragma once
// The PTZ tests' stand-in peers (ptz_server.py) on 127.0.0.1, and a port
// that nothing listens on.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "../maintenance/test_support.h"

namespace ptztest {

class PtzServer
{
public:
    ~PtzServer() { stop(); }

    // mode "web" or "camera"; `rules` as ptz_server.py reads them.
    bool start(const QString &mode, const QStringList &args = {}, const QJsonArray &rules = {})
    {
        m_record = m_dir.filePath(QStringLiteral("record.jsonl"));
        QStringList all{QStringLiteral(ZU_SOURCE_DIR "/tests/ptz/ptz_server.py"), mode, QStringLiteral("--record"),
                        m_record};
        if (!rules.isEmpty()) {
            const QString path = m_dir.filePath(QStringLiteral("rules.json"));
            testsupport::writeFile(path, QJsonDocument(rules).toJson());
            all += QStringList{QStringLiteral("--rules"), path};
        }
        m_process.start(QStringLiteral("python3"), all + args);
        m_process.waitForReadyRead(15000); // the first line names the port
        const QByteArray line = m_process.readLine();
        m_port = line.startsWith("PORT ") ? line.mid(5).trimmed().toInt() : 0;
        return m_port > 0;
    }
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QString url(const QString &scheme = QStringLiteral("http")) const
    {
        return scheme + QStringLiteral("://127.0.0.1:") + QString::number(m_port);
    }
    QString port() const { return QString::number(m_port); }
    QString dir() const { return m_dir.path(); }

    // What the server saw, in order.
    QList<QJsonObject> requests() const
    {
        QList<QJsonObject> out;
        for (const QByteArray &line : testsupport::readFile(m_record).split('\n'))
            if (!line.trimmed().isEmpty())
                out.append(QJsonDocument::fromJson(line).object());
        return out;
    }
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
        QElapsedTimer t;
        t.start();
        while (requests().size() < count && t.elapsed() < timeoutMs)
            QTest::qWait(20);
        return requests().size() >= count;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_record;
    int m_port = 0;
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
