// Crash dumps end to end: a child program crashes with the handler started,
// the next start offers its dump, and the report goes to the local stand-in
// server, whose reply decides what is kept.
#include <QtTest>

#include "crashfilechecker.h"
#include "crashhandler.h"
#include "dumpsender.h"
#include "reporterwidget.h"
#include "test_support.h"
#include "zulog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>

#include <csignal>

#include <sys/resource.h>

using namespace testsupport;

// g++ and clang say differently that AddressSanitizer is on.
#if defined(__SANITIZE_ADDRESS__)
#define ZU_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZU_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// Clicks "Envoyer" and returns the title of the warning it brought up, if any.
QString sendClicked(ReporterWidget *w)
{
    QString title;
    ModalAnswers answers([&](QDialog *d) {
        title = d->windowTitle();
        d->accept();
    });
    w->findChild<QPushButton *>("restartButton")->click();
    return title;
}

} // namespace

class TestCrashReport : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;
    QString userFolder() const { return m_home.path() + "/.ZuPlayer"; }
    QString reports() const { return userFolder() + "/crash_reports/reports"; }
    QString logPath() const { return userFolder() + "/zulogfile.log"; }
    QString record() const { return m_home.path() + "/record.jsonl"; }

    QString makeDump(const QString &relative, const QByteArray &content, const QDateTime &mtime = {})
    {
        const QString path = reports() + '/' + relative;
        writeFile(path, content);
        QFile f(path);
        if (mtime.isValid() && f.open(QIODevice::ReadWrite))
            f.setFileTime(mtime, QFileDevice::FileModificationTime);
        return path;
    }

    // Runs the crashing child with our HOME, without a core file.
    int runChild(const QString &mode)
    {
        QProcess child;
        child.setChildProcessModifier([] {
            struct rlimit none {};
            ::setrlimit(RLIMIT_CORE, &none);
        });
        child.start(QStringLiteral(ZU_CRASHING_CHILD), {mode});
        if (!child.waitForFinished(60000))
            child.kill();
        child.waitForFinished();
        return child.exitStatus() == QProcess::CrashExit ? child.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toLocal8Bit());
        QCOMPARE(DumpSender::logFilePath(), logPath());
        QCOMPARE(CrashFileChecker::reportsFolder(), reports());
    }

    void init()
    {
        QDir(userFolder()).removeRecursively();
        QVERIFY(QDir().mkpath(reports()));
        setServers(m_home.path(), QString(), QString());
        Http_singleton::instance()->setSkipCrashReport(false);
    }

    void cleanup() { ZuLogFile::uninstall(); }

    void crashLeavesOneDump_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("faultLine");
        QTest::newRow("null write") << "segv" << int(SIGSEGV) << "fault address: 0x0\n";
        QTest::newRow("abort") << "abort" << int(SIGABRT) << "sent by pid: ";
        QTest::newRow("stack overflow") << "stack" << int(SIGSEGV) << "fault address: 0x";
        QTest::newRow("four threads at once") << "threads" << int(SIGSEGV) << "fault address: 0x0\n";
#if defined(__x86_64__) || defined(__aarch64__)
        QTest::newRow("handler faults") << "nostack" << int(SIGILL) << "inside the crash handler\nend of dump\n";
        // Unwinding from a program counter where no code is reads there: the
        // fault and the map must be in the dump before the unwinding starts.
        QTest::newRow("invalid program counter")
            << "badpc" << int(SIGSEGV) << "fault address: 0x1234560\nprogram counter: 0x1234560\n";
#endif
    }

    void crashLeavesOneDump()
    {
        QFETCH(QString, mode);
        QFETCH(int, signal);
        QFETCH(QString, faultLine);
        // The remains of a dump cut short long ago are cleared at start.
        makeDump("0000.dmp.part", "cut", QDateTime::currentDateTime().addSecs(-3600));

        QCOMPARE(runChild(mode), signal); // the process still dies of its own signal
        const QStringList entries = QDir(reports()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        QCOMPARE(entries.size(), 1);
        QVERIFY2(QRegularExpression("^[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\\.dmp$").match(entries[0]).hasMatch(),
                 qPrintable(entries[0]));

        const QString text = QString::fromUtf8(readFile(reports() + '/' + entries[0]));
        QVERIFY(text.startsWith(QStringLiteral("ZUPLAYER crash dump\nversion: 3.4.3\nsignal: %1 (").arg(signal)));
#if defined(ZU_ADDRESS_SANITIZER)
        // AddressSanitizer's own unwinder survives the broken stack, so the
        // handler does not fault and the dump is simply complete.
        if (mode != QLatin1String("nostack"))
#endif
        QVERIFY2(text.contains(faultLine), qPrintable(text.left(400)));
        QVERIFY(text.endsWith("end of dump\n"));
        // The time is now, in UTC, both as a date and as seconds.
        const QRegularExpressionMatch t =
            QRegularExpression("time: (\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) UTC \\((\\d+)\\)\n").match(text);
        QVERIFY(t.hasMatch());
        const QDateTime when = QDateTime::fromString(t.captured(1), "yyyy-MM-dd HH:mm:ss");
        QCOMPARE(QDateTime(when.date(), when.time(), Qt::UTC).toSecsSinceEpoch(), t.captured(2).toLongLong());
        QVERIFY(qAbs(QDateTime::currentSecsSinceEpoch() - t.captured(2).toLongLong()) < 120);
#if defined(__x86_64__) || defined(__aarch64__)
        QVERIFY2(text.contains(QRegularExpression("\nprogram counter: 0x[0-9a-f]+\n")), qPrintable(text.left(400)));
#endif
        // The memory map comes before the backtrace, so that even a dump cut
        // short while unwinding holds it.
        const int maps = text.indexOf("\nmemory map:\n"), bt = text.indexOf("\nbacktrace:\n");
        QVERIFY(maps > 0);
        QVERIFY(text.mid(maps, bt > maps ? bt - maps : -1).contains("[stack]"));
        if (mode != "nostack" && mode != "badpc") {
            QVERIFY(bt > maps);
            QVERIFY(text.mid(bt).contains("crashing_child"));
        }
        // The next start offers it.
        QScopedPointer<ReporterWidget> dialog(CrashFileChecker::checkCrashFiles());
        QVERIFY(dialog && dialog->isVisible() && dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(dialog->reportedDumpPath(), QFileInfo(reports() + '/' + entries[0]).absoluteFilePath());
    }

    void reply_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("withDump");
        QTest::addColumn<bool>("dumpDeleted");
        QTest::addColumn<bool>("logEmptied");
        QTest::newRow("OK") << "ok" << true << true << true;
        QTest::newRow("dump OK, nothing on the log") << "dump_only" << true << true << false;
        QTest::newRow("ERROR code 4") << "error4" << true << true << true;
        QTest::newRow("ERROR code 7") << "error7" << true << false << false;
        QTest::newRow("HTTP 500 with an OK body") << "http500" << true << false << false;
        QTest::newRow("server down") << "down" << true << false << false;
        QTest::newRow("self-signed certificate") << "tls" << true << false << false;
        QTest::newRow("OK for a dump never sent") << "ok" << false << false << true;
        // Past the answer's deadline or size cap (small ones here) nothing
        // counts as accepted.
        QTest::newRow("OK answer dripping") << "drip" << true << false << false;
        QTest::newRow("OK answer too large") << "big" << true << false << false;
        // A redirect to another host is not followed (the dump, the log and
        // the login would go there, or a 302 would make the upload a GET),
        // and its own OK body accepts nothing.
        QTest::newRow("302 to another host") << "redirect302" << true << false << false;
        QTest::newRow("307 to another host") << "redirect307" << true << false << false;
        QTest::newRow("308 to another host") << "redirect308" << true << false << false;
    }

    void reply()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, withDump);
        QFETCH(bool, dumpDeleted);
        QFETCH(bool, logEmptied);
        // Binary, and holding the multipart boundary; the log is not UTF-8.
        QByteArray dumpBytes("MDMP\r\n--" + DumpSender::defaultBoundary() + "\r\n");
        for (int i = 0; i < 70000; ++i)
            dumpBytes.append(char((i * 131 + i / 7) & 0xff));
        const QByteArray logBytes("first line\n\xff\xfe broken \xc3(\n--" + DumpSender::defaultBoundary() + "--\r\n");
        const QString dump = withDump ? makeDump("0b1c2d3e-aaaa.dmp", dumpBytes) : reports() + "/missing.dmp";
        QVERIFY(writeFile(logPath(), logBytes));

        QStringList args{"--scenario", scenario == "ok" || scenario == "tls" || scenario == "down" ? "ok" : scenario};
        if (scenario == "tls" && QStandardPaths::findExecutable("openssl").isEmpty())
            ZU_SKIP_MISSING("openssl");
        QVERIFY(scenario != "tls" || makeCertificate(m_home.path(), &args));
        // Where a redirect points: a server that accepts whatever comes.
        TestServer elsewhere;
        const QString elsewhereRecord = m_home.path() + "/elsewhere.jsonl";
        if (scenario.startsWith("redirect")) {
            QVERIFY(elsewhere.start({}, elsewhereRecord));
            args << "--redirect-to" << elsewhere.url();
        }
        TestServer server;
        QVERIFY(server.start(args, record()));
        // The server's address carries a login, which goes to no one else.
        const QString scheme = scenario == "tls" ? "https" : "http";
        const QString address = server.url(scheme);
        setServers(m_home.path(), QString(), QString(address).replace("://", "://user:password@"));
        if (scenario == "down")
            server.stop();

        DumpSender sender;
        sender.setEmail("user@example.org");
        sender.setComment("écran noir\n" + DumpSender::defaultBoundary());
        sender.setLimits(4096, scenario == "drip" ? 2000 : DumpSender::kDeadlineMs);
        QSignalSpy finished(&sender, &DumpSender::reportFinished);
        QVERIFY(sender.sendReport(dump));
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished[0][0].toBool(), dumpDeleted);
        QCOMPARE(finished[0][1].toBool(), logEmptied);
        QCOMPARE(readFile(dump), dumpDeleted || !withDump ? QByteArray() : dumpBytes);
        QCOMPARE(readFile(logPath()), logEmptied ? QByteArray() : logBytes);
        if (scenario.startsWith("redirect"))
            QCOMPARE(elsewhere.requests().size(), 0);

        const QList<QJsonObject> requests = server.requests();
        QCOMPARE(requests.size(), scenario == "down" || scenario == "tls" ? 0 : 1);
        if (requests.isEmpty())
            return;
        const QJsonObject r = requests[0];
        QVERIFY2(r["errors"].toArray().isEmpty(), QJsonDocument(r["errors"].toArray()).toJson().constData());
        QCOMPARE(r["referer"].toString(), address + "/traitement");
        const QJsonObject fields = r["fields"].toObject(), files = r["files"].toObject();
        QCOMPARE(fields["email"].toString(), "user@example.org");
        QCOMPARE(fields["comment"].toString(), "écran noir\n" + DumpSender::defaultBoundary());
        QCOMPARE(fields["sha_log"].toString().toLatin1(), sha256Hex(logBytes));
        QCOMPARE(files["upload_file_log"].toObject()["filename"].toString(), logPath());
        QCOMPARE(fields["sha_dump"].toString().toLatin1(), withDump ? sha256Hex(dumpBytes) : QByteArray());
        QCOMPARE(files["upload_file_minidump"].toObject()["filename"].toString(),
                 withDump ? "0b1c2d3e-aaaa.dmp" : QString());
    }

    // A server behind a slow line reads the body at its own pace: the upload
    // outlasts the answer's deadline (a small one here) and still counts; a
    // server that stops reading fails the report once nothing more could be
    // sent for the stall limit (small here too).
    void slowUplink_data()
    {
        QTest::addColumn<QStringList>("server");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("slow line, upload longer than the deadline") << QStringList{"--read-rate", "64000"} << true;
        // More than the kernel's buffers take, so that the stall shows.
        QTest::newRow("server stops reading") << QStringList{"--stop-reading-after", "100000"} << false;
    }

    void slowUplink()
    {
        QFETCH(QStringList, server);
        QFETCH(bool, accepted);
        QByteArray dumpBytes("MDMP");
        for (int i = 0, n = accepted ? 500000 : 12000000; i < n; ++i)
            dumpBytes.append(char((unsigned(i) * 7919u + unsigned(i) / 13) & 0xff));
        const QString dump = makeDump("slow.dmp", dumpBytes);
        QVERIFY(writeFile(logPath(), "log\n"));
        TestServer stand;
        QVERIFY(stand.start(server, record()));
        setServers(m_home.path(), QString(), stand.url());

        DumpSender sender;
        // About 8 s of upload against 3 s for the answer and 2 s of stall.
        sender.setLimits(4096, 3000, 2000);
        QSignalSpy finished(&sender, &DumpSender::reportFinished);
        QVERIFY(sender.sendReport(dump));
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished[0][0].toBool(), accepted);
        QCOMPARE(finished[0][1].toBool(), accepted);
        QCOMPARE(QFile::exists(dump), !accepted);
        if (accepted)
            QCOMPARE(stand.requests().value(0)["files"].toObject()["upload_file_minidump"].toObject()["sha256"]
                         .toString()
                         .toLatin1(),
                     sha256Hex(dumpBytes));
    }

    void logKeepsGoingAfterEmptying()
    {
        ZuLogFile::install(logPath());
        setLevelValue(1);
        for (int i = 0; i < 50; ++i)
            logMessage(QStringLiteral("[INFO] before the report %1").arg(i));
        QVERIFY(QFileInfo(logPath()).size() > 1000);
        DumpSender().removeDump(makeDump("d.dmp", "dump"));
        QCOMPARE(QFileInfo(logPath()).size(), 0);
        logMessage("[INFO] after the report");
        setLevelValue(0);
        const QByteArray text = readFile(logPath());
        QVERIFY2(text.startsWith('[') && text.endsWith("[INFO] after the report\n") && text.count('\n') == 1,
                 text.constData());
    }

    void newestDumpOfferedOthersDeleted()
    {
        const QDateTime base = QDateTime::currentDateTime().addSecs(-3600);
        const QString old1 = makeDump("old1.dmp", "1", base);
        const QString old2 = makeDump("sub/deeper/old2.dmp", "2", base.addSecs(60));
        const QString newest = makeDump("sub/newest.dmp", "3", base.addSecs(600));
        const QString other = makeDump("sub/keep.txt", "x", base.addSecs(900));
        // A link is neither offered nor followed into deletion.
        const QString target = makeDump("elsewhere.dmp.target", "secret", base.addSecs(1200));
        QVERIFY(QFile::link(target, reports() + "/linked.dmp"));

        QScopedPointer<ReporterWidget> dialog(CrashFileChecker::checkCrashFiles());
        QVERIFY(dialog);
        QCOMPARE(dialog->reportedDumpPath(), QFileInfo(newest).absoluteFilePath());
        QVERIFY(!QFile::exists(old1) && !QFile::exists(old2));
        QVERIFY(QFile::exists(newest) && QFile::exists(other) && QFile::exists(target));
        QVERIFY(QFileInfo(reports() + "/linked.dmp").isSymLink());
        dialog->close(); // by its frame: kept for the next start
        QVERIFY(QFile::exists(newest));
        QVERIFY(writeFile(logPath(), "log\n"));
        dialog->findChild<QPushButton *>("quitButton")->click();
        QVERIFY(!QFile::exists(newest));
        QCOMPARE(QFileInfo(logPath()).size(), 0);
        QVERIFY(!CrashFileChecker::checkCrashFiles());
    }

    void skipCrashReportDeletesSilently()
    {
        const QString a = makeDump("a.dmp", "a");
        const QString b = makeDump("x/b.dmp", "b");
        Http_singleton::instance()->setSkipCrashReport(true);
        QVERIFY(!CrashFileChecker::checkCrashFiles());
        QVERIFY(!QFile::exists(a) && !QFile::exists(b));
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<ReporterWidget *>(w) || !w->isVisible());
    }

    void dialogChecksBeforeSending()
    {
        const QString dump = makeDump("d.dmp", "dump");
        QVERIFY(writeFile(logPath(), "log\n"));
        ReporterWidget w("d.dmp", dump);
        w.show();
        auto *comment = w.findChild<QTextEdit *>("commentTextEdit");
        auto *email = w.findChild<QLineEdit *>("emailLineEdit");
        // The texts refreshed for a new language are no description.
        QEvent languageChange(QEvent::LanguageChange);
        QCoreApplication::sendEvent(&w, &languageChange);

        QCOMPARE(sendClicked(&w), "Envoi impossible");
        TestServer server;
        QVERIFY(server.start({}, record()));
        setServers(m_home.path(), QString(), server.url());
        QCOMPARE(sendClicked(&w), "Détails non fournis");
        QTest::keyClicks(comment, "ab"); // typed and erased still counts
        comment->clear();
        QCOMPARE(sendClicked(&w), "Adresse e-mail non fournis");
        QVERIFY(w.isVisible());
        QCOMPARE(readFile(dump), QByteArray("dump"));

        // What was typed survives a change of language.
        QTest::keyClicks(email, "x@y");
        QTest::keyClicks(comment, "ce que j'ai fait");
        QCoreApplication::sendEvent(&w, &languageChange);
        QCOMPARE(email->text(), "x@y");
        QSignalSpy done(&w, &ReporterWidget::reportFinished);
        QCOMPARE(sendClicked(&w), QString());
        QVERIFY(!w.isVisible());
        QVERIFY(done.wait(30000));
        QCOMPARE(server.requests().value(0)["fields"].toObject()["comment"].toString(), "ce que j'ai fait");
        QVERIFY(!QFile::exists(dump));
    }
};

QTEST_MAIN(TestCrashReport)
#include "test_crash_report.moc"
