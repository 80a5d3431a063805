#pragma once
// Helpers shared by the crash-report tests: the stand-in report server and
// answering message boxes without a person.
#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "http_singleton.h"

namespace crashtest {

inline QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// Points the crash-report address at `url` (empty: no server configured).
inline void configureServer(const QString &iniPath, const QString &url)
{
    QFile ini(iniPath);
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ini.write("[servers]\ncrashreport=" + url.toUtf8() + "\n");
    ini.close();
    Http_singleton::instance()->loadInstallationSettings(iniPath);
}

// The python stand-in server on 127.0.0.1; stopped when this goes away.
class ReportServer
{
public:
    ~ReportServer() { stop(); }

    bool start(const QString &scenario, const QString &recordPath, const QStringList &extra = {})
    {
        m_record = recordPath;
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setReadChannel(QProcess::StandardOutput);
        m_process.start(QStringLiteral("python3"),
                        QStringList{QStringLiteral(ZU_SOURCE_DIR "/tests/maintenance/crash_report_server.py"),
                                    QStringLiteral("--scenario"), scenario, QStringLiteral("--record"),
                                    recordPath, QStringLiteral("--lifetime"), QStringLiteral("120")} +
                            extra);
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 15000) {
            if (m_process.canReadLine() || m_process.waitForReadyRead(500)) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith("PORT ")) {
                    m_port = line.mid(5).toInt();
                    return m_port > 0;
                }
            }
            if (m_process.state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    int port() const { return m_port; }
    QString url(const QString &scheme = QStringLiteral("http")) const
    {
        return scheme + QStringLiteral("://127.0.0.1:") + QString::number(m_port);
    }

    // One object per request received, in order.
    QList<QJsonObject> requests() const
    {
        QList<QJsonObject> out;
        const QList<QByteArray> lines = readFile(m_record).split('\n');
        for (const QByteArray &line : lines) {
            if (!line.trimmed().isEmpty())
                out.append(QJsonDocument::fromJson(line).object());
        }
        return out;
    }

private:
    QProcess m_process;
    QString m_record;
    int m_port = 0;
};

struct BoxSeen
{
    QString title;
    QString text;
    bool seen = false;
};

// Answers the next modal message box with OK, keeping its title and text.
// Gives up after `timeoutMs` so that a box that never comes fails the test
// instead of hanging it.
inline void answerNextMessageBox(BoxSeen *seen, int timeoutMs = 5000)
{
    auto *timer = new QTimer;
    auto *elapsed = new QElapsedTimer;
    elapsed->start();
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, seen, timeoutMs] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box) {
            seen->title = box->windowTitle();
            seen->text = box->text();
            seen->seen = true;
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        }
        if (box || elapsed->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            delete elapsed;
        }
    });
    timer->start();
}

} // namespace crashtest
