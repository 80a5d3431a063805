#pragma once
// Helpers of the update and crash-report tests: the stand-in server on
// 127.0.0.1, the settings that point at it, answering modal dialogs.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QProgressDialog>
#include <QTcpServer>
#include <QTimer>

#include <functional>

#include "../common/zu_test_util.h"
#include "http_singleton.h"

namespace testsupport {

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// A port on 127.0.0.1 that refuses connections: bound, then let go.
inline QString closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QString::number(probe.serverPort());
}

// Points the installation at these servers (empty: none configured). A new
// file each time: QSettings may keep serving a file it has already read.
inline void setServers(const QString &dir, const QString &update, const QString &crashReport)
{
    static int serial = 0;
    const QString ini = dir + QStringLiteral("/zuplayer-%1.ini").arg(++serial);
    writeFile(ini, "[servers]\nupdate=" + update.toUtf8() + "\ncrashreport=" + crashReport.toUtf8() + "\n");
    Http_singleton::instance()->loadInstallationSettings(ini);
}

// A self-signed certificate valid for 127.0.0.1, as server arguments; false
// when openssl is missing.
inline bool makeCertificate(const QString &dir, QStringList *serverArgs)
{
    const QString cert = dir + QStringLiteral("/cert.pem");
    const QString key = dir + QStringLiteral("/key.pem");
    QProcess p;
    p.start(QStringLiteral("openssl"), {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                        "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                                        "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    *serverArgs += QStringList{"--cert", cert, "--key", key};
    return true;
}

// test_server.py (or another stand-in server script that takes --lifetime
// and --record and prints "PORT <n>"); stopped when this goes away.
class TestServer
{
public:
    explicit TestServer(const QString &script = QStringLiteral(ZU_SOURCE_DIR "/tests/maintenance/test_server.py"))
        : m_script(script)
    {
    }
    ~TestServer() { stop(); }

    bool start(const QStringList &args, const QString &record = QString())
    {
        m_record = record;
        m_process.start(QStringLiteral("python3"),
                        QStringList{m_script, QStringLiteral("--lifetime"), QStringLiteral("300")} +
                            args + (record.isEmpty() ? QStringList() : QStringList{"--record", record}));
        const QByteArray line = zutest::readFirstLine(m_process, 30000); // it names the port
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
    quint16 port() const { return quint16(m_port); }
    QString url(const QString &scheme = QStringLiteral("http")) const
    {
        return scheme + QStringLiteral("://127.0.0.1:") + QString::number(m_port);
    }
    // What the server saw, one object per POST in order.
    QList<QJsonObject> requests() const
    {
        QList<QJsonObject> out;
        for (const QByteArray &line : readFile(m_record).split('\n'))
            if (!line.trimmed().isEmpty())
                out.append(QJsonDocument::fromJson(line).object());
        return out;
    }

private:
    QString m_script;
    QProcess m_process;
    QString m_record;
    int m_port = 0;
};

// Hands each modal dialog that comes up while this lives to `answer`, from a
// fresh timer: an answer may open a nested dialog of its own.
class ModalAnswers : public QObject
{
public:
    explicit ModalAnswers(std::function<void(QDialog *)> answer)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, answer] {
            auto *d = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!d || d == m_last || qobject_cast<QProgressDialog *>(d))
                return;
            m_last = d;
            QTimer::singleShot(0, d, [d, answer] { answer(d); });
        });
        m_timer.start(20);
    }

private:
    QPointer<QDialog> m_last;
    QTimer m_timer;
};

} // namespace testsupport
