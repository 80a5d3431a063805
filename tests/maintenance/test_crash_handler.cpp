// The crash handler end to end: a child program crashes with the handler
// started, leaves one complete dump, and the next start offers it and sends
// it to a local report server.
#include "crash_test_support.h"
#include "crashfilechecker.h"
#include "crashhandler.h"
#include "reporterwidget.h"

#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTextEdit>

#include <csignal>

#include <sys/resource.h>

using namespace crashtest;

class TestCrashHandler : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_home;
    QString userFolder() const { return m_home.path() + QStringLiteral("/.ZuPlayer"); }
    QString reports() const { return userFolder() + QStringLiteral("/crash_reports/reports"); }

    // Runs the crashing child with our HOME; returns its exit status.
    QProcess::ExitStatus runChild(const QString &mode, int *exitCode)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        // A core file per crash is of no use here and can be slow to write.
        child.setProcessEnvironment(env);
        child.setChildProcessModifier([] {
            struct rlimit none {};
            ::setrlimit(RLIMIT_CORE, &none);
        });
        child.start(QStringLiteral(ZU_CRASHING_CHILD), {mode});
        if (!child.waitForFinished(60000)) {
            child.kill();
            child.waitForFinished();
        }
        *exitCode = child.exitCode();
        return child.exitStatus();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toLocal8Bit());
        QCOMPARE(QDir::homePath(), m_home.path());
        configureServer(m_home.path() + QStringLiteral("/zuplayer.ini"), QString());
    }

    void cleanup()
    {
        QDir(userFolder()).removeRecursively();
    }

    void startPreparesFoldersOrFails()
    {
        QVERIFY(!ZuCrashHandler::start(QString()));
        const QString blocker = m_home.path() + QStringLiteral("/plainfile");
        QVERIFY(writeFile(blocker, "x"));
        QVERIFY(!ZuCrashHandler::start(blocker + QStringLiteral("/.ZuPlayer")));
        QVERIFY(!ZuCrashHandler::isStarted());

        // Leftovers of a dump whose writing was cut short go, unless fresh.
        QVERIFY(QDir().mkpath(reports()));
        const QString stale = reports() + QStringLiteral("/0000.dmp.part");
        const QString fresh = reports() + QStringLiteral("/1111.dmp.part");
        QVERIFY(writeFile(stale, "cut") && writeFile(fresh, "cut"));
        {
            QFile f(stale);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }

        QVERIFY(ZuCrashHandler::start(userFolder()));
        QVERIFY(ZuCrashHandler::isStarted());
        QVERIFY(!QFile::exists(stale));
        QVERIFY(QFile::remove(fresh));
        QVERIFY(QFileInfo(userFolder() + QStringLiteral("/crash_reports/metrics")).isDir());
        QVERIFY(QFileInfo(reports()).isDir());
        QCOMPARE(ZuCrashHandler::reportsFolder(), reports());
        ZuCrashHandler::stop();
        QVERIFY(!ZuCrashHandler::isStarted());
        QVERIFY(QDir(reports()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    }

    void crashLeavesOneCompleteDump_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("faultLine");
        QTest::newRow("null write") << "segv" << int(SIGSEGV) << "fault address: 0x0\n";
        QTest::newRow("abort") << "abort" << int(SIGABRT) << "sent by pid: ";
        QTest::newRow("trap") << "trap" << int(SIGILL) << "fault address: 0x";
        QTest::newRow("stack overflow") << "stack" << int(SIGSEGV) << "fault address: 0x";
        QTest::newRow("other thread") << "thread" << int(SIGSEGV) << "fault address: 0x0\n";
        QTest::newRow("four threads at once") << "threads" << int(SIGSEGV) << "fault address: 0x0\n";
#if defined(__x86_64__) || defined(__aarch64__)
        // The unwinder faults inside the handler: the dump is kept, cut short.
        QTest::newRow("handler faults") << "nostack" << int(SIGILL) << "inside the crash handler\nend of dump\n";
#endif
    }

    void crashLeavesOneCompleteDump()
    {
        QFETCH(QString, mode);
        QFETCH(int, signal);
        QFETCH(QString, faultLine);

        int code = 0;
        QCOMPARE(runChild(mode, &code), QProcess::CrashExit);
        QCOMPARE(code, signal); // the process still dies of its own signal

        QVERIFY(QFileInfo(userFolder() + QStringLiteral("/crash_reports/metrics")).isDir());
        const QStringList entries =
            QDir(reports()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        QCOMPARE(entries.size(), 1);
        static const QRegularExpression name(
            QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp$"));
        QVERIFY2(name.match(entries.first()).hasMatch(), qPrintable(entries.first()));

        const QString text = QString::fromUtf8(readFile(reports() + QLatin1Char('/') + entries.first()));
        QVERIFY(text.startsWith(QStringLiteral("ZUPLAYER crash dump\nversion: 3.4.3\n")));
        const QString sigName = signal == SIGSEGV ? QStringLiteral("SIGSEGV")
                                : signal == SIGABRT ? QStringLiteral("SIGABRT")
                                                    : QStringLiteral("SIGILL");
        QVERIFY(text.contains(QStringLiteral("signal: %1 (%2)\n").arg(signal).arg(sigName)));
        QVERIFY2(text.contains(faultLine), qPrintable(text.left(400)));

        // The time is now, in UTC, both as a date and as seconds.
        static const QRegularExpression timeLine(
            QStringLiteral("time: (\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) UTC \\((\\d+)\\)\n"));
        const QRegularExpressionMatch t = timeLine.match(text);
        QVERIFY(t.hasMatch());
        const QDateTime when = QDateTime::fromString(t.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QCOMPARE(QDateTime(when.date(), when.time(), Qt::UTC).toSecsSinceEpoch(),
                 t.captured(2).toLongLong());
        QVERIFY(qAbs(QDateTime::currentSecsSinceEpoch() - t.captured(2).toLongLong()) < 120);

        // Backtrace through our own program, then the memory map, then the end.
        const int bt = text.indexOf(QStringLiteral("\nbacktrace:\n"));
        QVERIFY(bt > 0);
        QVERIFY(text.endsWith(QStringLiteral("end of dump\n")));
        if (mode != QLatin1String("nostack")) {
            const int maps = text.indexOf(QStringLiteral("\nmemory map:\n"));
            QVERIFY(maps > bt);
            QVERIFY(text.mid(bt, maps - bt).contains(QStringLiteral("crashing_child")));
            QVERIFY(text.mid(maps).contains(QStringLiteral("[stack]")));
        }

        QVERIFY(readFile(userFolder() + QStringLiteral("/zulogfile.log"))
                    .contains("[INFO] MAIN :: crashpad started"));
    }

    void cleanExitLeavesNoDump()
    {
        int code = -1;
        QCOMPARE(runChild(QStringLiteral("none"), &code), QProcess::NormalExit);
        QCOMPARE(code, 0);
        QVERIFY(QDir(reports()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    }

    void nextStartOffersAndSendsTheDump()
    {
        int code = 0;
        QCOMPARE(runChild(QStringLiteral("segv"), &code), QProcess::CrashExit);
        const QStringList dumps = QDir(reports()).entryList({QStringLiteral("*.dmp")}, QDir::Files);
        QCOMPARE(dumps.size(), 1);
        const QString dumpPath = reports() + QLatin1Char('/') + dumps.first();
        const QByteArray dumpBytes = readFile(dumpPath);
        const QString logPath = userFolder() + QStringLiteral("/zulogfile.log");
        const QByteArray logBytes = readFile(logPath);
        QVERIFY(!logBytes.isEmpty());

        ReportServer server;
        QVERIFY(server.start(QStringLiteral("ok"), m_home.path() + QStringLiteral("/record.jsonl")));
        configureServer(m_home.path() + QStringLiteral("/zuplayer.ini"), server.url());

        // The next start of the program.
        ReporterWidget *dialog = CrashFileChecker::checkCrashFiles();
        QVERIFY(dialog);
        QScopedPointer<ReporterWidget> owner(dialog);
        QVERIFY(dialog->isVisible());
        QVERIFY(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(dialog->reportedDumpPath(), QFileInfo(dumpPath).absoluteFilePath());

        QTest::keyClicks(dialog->findChild<QLineEdit *>(QStringLiteral("emailLineEdit")),
                         QStringLiteral("op@example.org"));
        auto *comment = dialog->findChild<QTextEdit *>(QStringLiteral("commentTextEdit"));
        QTest::keyClicks(comment, QStringLiteral("Plantage"));
        comment->insertPlainText(QStringLiteral(" à l'ouverture"));
        QSignalSpy finished(dialog, &ReporterWidget::reportFinished);
        dialog->findChild<QPushButton *>(QStringLiteral("restartButton"))->click();
        QVERIFY(!dialog->isVisible());
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().at(0).toBool(), true);
        QCOMPARE(finished.first().at(1).toBool(), true);

        QVERIFY(!QFile::exists(dumpPath));
        QCOMPARE(QFileInfo(logPath).size(), 0);

        const QList<QJsonObject> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        const QJsonObject r = requests.first();
        QCOMPARE(r.value("errors").toArray().size(), 0);
        const QJsonObject fields = r.value("fields").toObject();
        QCOMPARE(fields.value("email").toString(), QStringLiteral("op@example.org"));
        QCOMPARE(fields.value("comment").toString(), QStringLiteral("Plantage à l'ouverture"));
        QCOMPARE(fields.value("product_name").toString(), QStringLiteral("ZUPLAYER"));
        QCOMPARE(fields.value("version").toString(), QStringLiteral("3.4.3"));
        const QJsonObject files = r.value("files").toObject();
        const QJsonObject dump = files.value("upload_file_minidump").toObject();
        QCOMPARE(dump.value("filename").toString(), dumps.first());
        QCOMPARE(dump.value("sha256").toString().toLatin1(), sha256Hex(dumpBytes));
        const QJsonObject log = files.value("upload_file_log").toObject();
        QCOMPARE(log.value("filename").toString(), logPath);
        QCOMPARE(log.value("sha256").toString().toLatin1(), sha256Hex(logBytes));

        // Nothing is left to offer at the start after that.
        QVERIFY(!CrashFileChecker::checkCrashFiles());
    }
};

QTEST_MAIN(TestCrashHandler)
#include "test_crash_handler.moc"
