// The diagnostics probes against what the system's own tools say (ps, free,
// curl) and a `python3 -m http.server` on 127.0.0.1, the analysis file's
// size rule, and the full-screen frame's keys.
#include <QtTest>

#include "analysetools.h"
#include "curlglobal.h"
#include "fullscreen.h"
#include "processusage.h"
#include "test_support.h"
#include "testbandwidth.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

QByteArray output(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(30000);
    return p.readAllStandardOutput();
}

// The figures `free -m` prints on its "Mem:" line: total used free shared
// buff/cache available.
QList<double> freeMiB()
{
    QList<double> out;
    const QByteArray all = output(QStringLiteral("free"), {QStringLiteral("-m")});
    const QByteArray line = all.mid(all.indexOf("Mem:") + 4).split('\n').first();
    for (const QByteArray &field : line.simplified().split(' '))
        out << field.toDouble();
    return out;
}

// `python3 -m http.server` on an ephemeral port of 127.0.0.1, serving
// `root`; its address, or empty.
QString serve(QProcess &server, const QString &root)
{
    server.start(QStringLiteral("python3"), {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                                             QStringLiteral("0"), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                             QStringLiteral("--directory"), root});
    static const QRegularExpression port(QStringLiteral("port (\\d+)"));
    const auto found = [](const QByteArray &seen) { return port.match(QString::fromLatin1(seen)); };
    // A loaded machine may take seconds to start it.
    const QRegularExpressionMatch m = found(zutest::readOutputUntil(
        server, [&found](const QByteArray &seen) { return found(seen).hasMatch(); }, 30000));
    return m.hasMatch() ? QStringLiteral("http://127.0.0.1:") + m.captured(1) : QString();
}

} // namespace

class TestDiagnostics : public QObject
{
    Q_OBJECT
    QTemporaryDir m_tmp;

    QString analysisFile(const char *name) const { return m_tmp.filePath(QString::fromLatin1(name)); }

private slots:
    void initTestCase()
    {
        QVERIFY(zuCurlGlobalInit());
        QVERIFY(m_tmp.isValid());
    }

    // The usage line's figures, against ps and free for the same moment; the
    // machine's memory in whole MiB.
    void processUsageLine()
    {
        const QString file = analysisFile("usage.log");
        {
            AnalyseTools tools;
            tools.setAnalysisFileName(file);
            // Processor time to measure.
            QElapsedTimer busy;
            busy.start();
            volatile quint64 sink = 0;
            while (busy.elapsed() < 200)
                sink = sink + 1;

            tools.process_timer_finished();
            const QByteArray rss = output(QStringLiteral("ps"), {QStringLiteral("-o"), QStringLiteral("rss="),
                                                                  QStringLiteral("-p"),
                                                                  QString::number(::getpid())});
            const QList<double> free = freeMiB();
            QCOMPARE(free.size(), 6);

            static const QRegularExpression line(
                QStringLiteral("^\\[\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\{ analyse \\} "
                               "\\[INFO\\] Process Usage :: Physical Memory \\[ USE (\\d+\\.\\d\\d) / AVAIL "
                               "(\\d+)\\.0 / TOT (\\d+)\\.0 Mb \\] --- CPU \\[ (\\d+\\.\\d{5}) % \\]\n$"));
            const QString text = QString::fromUtf8(testsupport::readFile(file));
            const QRegularExpressionMatch m = line.match(text);
            QVERIFY2(m.hasMatch(), qPrintable(text));

            const double use = m.captured(1).toDouble();
            const double psUse = rss.trimmed().toDouble() / 1024.0;
            QVERIFY2(qAbs(use - psUse) < qMax(8.0, psUse * 0.2), qPrintable(QStringLiteral("%1 / ps %2").arg(use).arg(psUse)));
            QVERIFY2(qAbs(m.captured(3).toDouble() - free.at(0)) <= 1.0, qPrintable(text));
            QVERIFY2(qAbs(m.captured(2).toDouble() - free.at(5)) < free.at(0) * 0.05, qPrintable(text));
            const double cpu = m.captured(4).toDouble();
            QVERIFY2(cpu > 0.0 && cpu <= 100.0, qPrintable(text));
        }
        // The destructor's last word.
        QVERIFY(testsupport::readFile(file).endsWith("{ analyse } [INFO] Analyse tools :: stop\n"));
    }

    void analysisFileSize_data()
    {
        QTest::addColumn<qint64>("room"); // bytes left below the limit before the line
        QTest::addColumn<qint64>("size");
        const qint64 line = 39 + 4; // "[time] { analyse } " + "text" + line end
        QTest::newRow("reaches the limit") << line << AnalyseTools::kMaxAnalysisBytes;
        QTest::newRow("one byte past it") << line - 1 << qint64(0);
    }

    void analysisFileSize()
    {
        QFETCH(qint64, room);
        QFETCH(qint64, size);
        const QString file = analysisFile("size.log");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(AnalyseTools::kMaxAnalysisBytes - room));
        f.close();

        AnalyseTools tools;
        tools.setAnalysisFileName(file);
        tools.writeAnalyse(QStringLiteral("text"));
        QCOMPARE(QFileInfo(file).size(), size);
    }

    void bandwidthResultLine_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("micros");
        QTest::addColumn<qint64>("speed");
        QTest::addColumn<QString>("line");
        QTest::newRow("1.05 s") << qint64(262144) << qint64(1050000) << qint64(249660)
                                << "[INFO] Bandwidth Usage [ DATA 262144 bytes / TIME 1.050000 sec / SPEED 243 kbyte/sec. ]";
        QTest::newRow("2 s, under 1 kB/s") << qint64(1000) << qint64(2000000) << qint64(500)
                                           << "[INFO] Bandwidth Usage [ DATA 1000 bytes / TIME 2.000000 sec / SPEED 0 kbyte/sec. ]";
        QTest::newRow("microseconds only") << qint64(1) << qint64(5) << qint64(200000)
                                           << "[INFO] Bandwidth Usage [ DATA 1 bytes / TIME 0.000005 sec / SPEED 195 kbyte/sec. ]";
        QTest::newRow("nothing read") << qint64(0) << qint64(0) << qint64(0)
                                      << "[INFO] Bandwidth Usage [ DATA  / TIME  / SPEED  ]";
    }

    void bandwidthResultLine()
    {
        QFETCH(qint64, bytes);
        QFETCH(qint64, micros);
        QFETCH(qint64, speed);
        QFETCH(QString, line);
        QCOMPARE(TestBandwidth::resultLine(bytes, micros, speed), line);
    }

    // A real download, cross-checked with curl's own figures for the file;
    // no result line, and no file, for a download that did not happen.
    void bandwidthProbe_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QByteArray>("status"); // what curl gets for the test file
        QTest::newRow("test file served") << "www" << QByteArray("200");
        QTest::newRow("test file missing") << "" << QByteArray("404");
        QTest::newRow("nothing listening") << "closed" << QByteArray("000");
        QTest::newRow("no base address") << "none" << QByteArray();
    }

    void bandwidthProbe()
    {
        QFETCH(QString, base);
        QFETCH(QByteArray, status);
        const QString www = m_tmp.filePath(QStringLiteral("www"));
        QByteArray bytes(256 * 1024, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7919 >> 3);
        QVERIFY(testsupport::writeFile(www + QStringLiteral("/lib/256k.bytes"), bytes));

        QProcess server;
        const auto stopServer = qScopeGuard([&] {
            server.kill();
            server.waitForFinished(5000);
        });
        QString url;
        if (base == QLatin1String("closed"))
            url = "http://127.0.0.1:" + testsupport::closedPort();
        else if (base != QLatin1String("none"))
            url = serve(server, m_tmp.filePath(base));
        QVERIFY(!url.isEmpty() || base == QLatin1String("none"));
        QList<QByteArray> curl; // size, HTTP status
        if (!url.isEmpty()) {
            curl = output(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                                   QStringLiteral("-w"), QStringLiteral("%{size_download} %{http_code}"),
                                                   url + QStringLiteral("/lib/256k.bytes")})
                       .split(' ');
            QCOMPARE(curl.value(1), status);
        }

        const QString file = analysisFile("bandwidth.log");
        QFile::remove(file);
        AnalyseTools tools;
        tools.setAnalysisFileName(file);
        tools.bandwidthProbe()->setBaseUrl(url);
        tools.bandwidth_timer_finished();
        QVERIFY(!tools.bandwidthProbe()->isRunning());
        if (status != "200") {
            QVERIFY(!QFile::exists(file));
            return;
        }

        static const QRegularExpression line(QStringLiteral(
            "\\{ analyse \\} \\[INFO\\] Bandwidth Usage \\[ DATA (\\d+) bytes / TIME (\\d+)\\.(\\d{6}) sec / SPEED "
            "(\\d+) kbyte/sec\\. \\]\n$"));
        const QString text = QString::fromUtf8(testsupport::readFile(file));
        const QRegularExpressionMatch m = line.match(text);
        QVERIFY2(m.hasMatch(), qPrintable(text));
        QCOMPARE(m.captured(1).toLongLong(), curl.value(0).toLongLong());
        QCOMPARE(m.captured(1).toLongLong(), qint64(bytes.size()));
        // The speed is the size over the time, in kB per second.
        const double seconds = m.captured(2).toDouble() + m.captured(3).toDouble() / 1e6;
        const double kbps = bytes.size() / seconds / 1024.0;
        QVERIFY2(qAbs(m.captured(4).toDouble() - kbps) <= qMax(2.0, kbps * 0.2), qPrintable(text));
    }

    void fullScreenKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("closes");
        QTest::newRow("Escape") << int(Qt::Key_Escape) << true;
        QTest::newRow("Space") << int(Qt::Key_Space) << false;
    }

    void fullScreenKeys()
    {
        QFETCH(int, key);
        QFETCH(bool, closes);
        QPointer<FullScreen> frame = new FullScreen;
        frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame));
        QTest::keyClick(frame, Qt::Key(key));
        if (closes) {
            QTRY_VERIFY(frame.isNull());
            return;
        }
        QTest::qWait(50);
        QVERIFY(!frame.isNull() && frame->isVisible());
        frame->close_fullscreen();
        QTRY_VERIFY(frame.isNull());
    }
};

QTEST_MAIN(TestDiagnostics)
#include "test_diagnostics.moc"
