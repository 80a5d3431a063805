// The report upload against a local stand-in server, the start-up dump check
// and the report dialog.
#include "crash_test_support.h"
#include "crashfilechecker.h"
#include "detaildialog.h"
#include "dumpsender.h"
#include "reporterwidget.h"
#include "zulog.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTextEdit>

using namespace crashtest;

class TestCrashReport : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_home;
    QString userFolder() const { return m_home.path() + QStringLiteral("/.ZuPlayer"); }
    QString reports() const { return userFolder() + QStringLiteral("/crash_reports/reports"); }
    QString logPath() const { return userFolder() + QStringLiteral("/zulogfile.log"); }
    QString iniPath() const { return m_home.path() + QStringLiteral("/zuplayer.ini"); }
    QString recordPath() const { return m_home.path() + QStringLiteral("/record.jsonl"); }

    QString makeDump(const QString &relative, const QByteArray &content, const QDateTime &mtime = {})
    {
        const QString path = reports() + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        writeFile(path, content);
        if (mtime.isValid()) {
            QFile f(path);
            f.open(QIODevice::ReadWrite);
            f.setFileTime(mtime, QFileDevice::FileModificationTime);
        }
        return path;
    }

    static QByteArray binaryDump()
    {
        QByteArray d("MDMP");
        for (int i = 0; i < 70000; ++i)
            d.append(char((i * 131 + i / 7) & 0xff));
        return d + "\r\r\n\n\r";
    }

    // Sends with a fresh sender and waits for the outcome.
    static bool sendAndWait(DumpSender &sender, const QString &dump, bool *dumpOk, bool *logOk)
    {
        QSignalSpy spy(&sender, &DumpSender::reportFinished);
        if (!sender.sendReport(dump))
            return false;
        if (!spy.wait(30000))
            return false;
        *dumpOk = spy.first().at(0).toBool();
        *logOk = spy.first().at(1).toBool();
        return true;
    }

    ReporterWidget *makeDialog(const QString &dumpPath)
    {
        auto *w = new ReporterWidget(QFileInfo(dumpPath).fileName(), dumpPath);
        w->show();
        return w;
    }

    template <typename T>
    static T *child(QWidget *w, const char *name)
    {
        return w->findChild<T *>(QLatin1String(name));
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
        configureServer(iniPath(), QString());
        Http_singleton::instance()->setSkipCrashReport(false);
    }

    void cleanup()
    {
        ZuLogFile::uninstall();
        setLevelValue(0);
    }

    // --- upload ---------------------------------------------------------

    void replyDecidesWhatIsKept_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("dumpDeleted");
        QTest::addColumn<bool>("logEmptied");
        QTest::newRow("OK") << "ok" << true << true;
        QTest::newRow("OK inside a longer status") << "ok_contained" << true << true;
        QTest::newRow("dump OK, no log object") << "dump_only" << true << false;
        QTest::newRow("log OK, no dump object") << "log_only" << false << true;
        QTest::newRow("ERROR code 4") << "error4" << true << true;
        QTest::newRow("ERROR code 7") << "error7" << false << false;
        QTest::newRow("ERROR without code") << "error_nocode" << false << false;
        QTest::newRow("HTTP 500 with an OK body") << "http500" << false << false;
        QTest::newRow("not JSON") << "garbage" << false << false;
        QTest::newRow("server down") << "down" << false << false;
    }

    void replyDecidesWhatIsKept()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, dumpDeleted);
        QFETCH(bool, logEmptied);

        const QByteArray dumpBytes = binaryDump();
        const QString dump = makeDump(QStringLiteral("0b1c2d3e-aaaa.dmp"), dumpBytes);
        // Not valid UTF-8: the digest must still describe what arrives.
        const QByteArray logBytes("first line\n\xff\xfe broken \xc3(\n");
        QVERIFY(writeFile(logPath(), logBytes));

        ReportServer server;
        if (scenario == QLatin1String("down")) {
            // A port that was just free: nothing listens there.
            QVERIFY(server.start(QStringLiteral("ok"), recordPath()));
            const QString url = server.url();
            server.stop();
            configureServer(iniPath(), url);
        } else {
            QVERIFY(server.start(scenario, recordPath()));
            configureServer(iniPath(), server.url());
        }

        DumpSender sender;
        sender.setEmail(QStringLiteral("user@example.org"));
        sender.setComment(QStringLiteral("écran noir\npuis plantage"));
        bool dumpOk = false, logOk = false;
        QVERIFY(sendAndWait(sender, dump, &dumpOk, &logOk));
        QCOMPARE(dumpOk, dumpDeleted);
        QCOMPARE(logOk, logEmptied);
        QCOMPARE(QFile::exists(dump), !dumpDeleted);
        if (!dumpDeleted)
            QCOMPARE(readFile(dump), dumpBytes);
        // The sender's own log lines go to Qt's default output here, so the
        // file holds exactly what was there before, or nothing.
        if (logEmptied)
            QCOMPARE(QFileInfo(logPath()).size(), 0);
        else
            QCOMPARE(readFile(logPath()), logBytes);

        if (scenario == QLatin1String("down"))
            return;
        const QList<QJsonObject> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        const QJsonObject r = requests.first();
        QVERIFY2(r.value("errors").toArray().isEmpty(),
                 QJsonDocument(r.value("errors").toArray()).toJson().constData());
        const QJsonObject fields = r.value("fields").toObject();
        QCOMPARE(fields.value("os").toString(), DumpSender::osText());
        QCOMPARE(fields.value("email").toString(), QStringLiteral("user@example.org"));
        QCOMPARE(fields.value("comment").toString(), QStringLiteral("écran noir\npuis plantage"));
        QCOMPARE(fields.value("sha_dump").toString().toLatin1(), sha256Hex(dumpBytes));
        QCOMPARE(fields.value("sha_log").toString().toLatin1(), sha256Hex(logBytes));
        const QJsonObject files = r.value("files").toObject();
        QCOMPARE(files.value("upload_file_minidump").toObject().value("filename").toString(),
                 QStringLiteral("0b1c2d3e-aaaa.dmp"));
        QCOMPARE(files.value("upload_file_log").toObject().value("filename").toString(), logPath());
        QCOMPARE(files.value("upload_file_log").toObject().value("size").toInt(), logBytes.size());
    }

    void partsLeftOutWhenMissing()
    {
        // No dump, no e-mail, no comment: only what exists is described.
        QVERIFY(writeFile(logPath(), "a log\n"));
        ReportServer server;
        QVERIFY(server.start(QStringLiteral("ok"), recordPath()));
        configureServer(iniPath(), server.url() + QStringLiteral("/"));

        DumpSender sender;
        bool dumpOk = true, logOk = false;
        QVERIFY(sendAndWait(sender, reports() + QStringLiteral("/missing.dmp"), &dumpOk, &logOk));
        QVERIFY(!dumpOk); // nothing was sent, so nothing can have been accepted
        QVERIFY(logOk);

        const QList<QJsonObject> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        const QJsonObject r = requests.first();
        QCOMPARE(r.value("path").toString(), QStringLiteral("/traitement"));
        QVERIFY(r.value("errors").toArray().isEmpty());
        const QJsonObject fields = r.value("fields").toObject();
        for (const char *absent : {"email", "comment", "sha_dump", "dumpdate"})
            QVERIFY2(!fields.contains(QLatin1String(absent)), absent);
        QVERIFY(fields.contains("sha_log"));
        QVERIFY(!r.value("files").toObject().contains("upload_file_minidump"));

        // Neither file: the facts alone still go out.
        QFile::remove(logPath());
        DumpSender second;
        QVERIFY(sendAndWait(second, QString(), &dumpOk, &logOk));
        QVERIFY(!dumpOk && !logOk);
        const QJsonObject bare = server.requests().last();
        QVERIFY(bare.value("errors").toArray().isEmpty());
        QVERIFY(bare.value("files").toObject().isEmpty());
        QVERIFY(!bare.value("fields").toObject().contains("sha_log"));
        QVERIFY(!QFile::exists(logPath())); // emptying never creates it
    }

    void contentHoldingTheBoundaryStillParses()
    {
        const QByteArray dumpBytes = "before\r\n--" + DumpSender::defaultBoundary() + "\r\nafter";
        const QString dump = makeDump(QStringLiteral("clash.dmp"), dumpBytes);
        QVERIFY(writeFile(logPath(), "--" + DumpSender::defaultBoundary() + "--\r\n"));
        ReportServer server;
        QVERIFY(server.start(QStringLiteral("ok"), recordPath()));
        configureServer(iniPath(), server.url());
        DumpSender sender;
        sender.setComment(QString::fromLatin1(DumpSender::defaultBoundary()));
        bool dumpOk = false, logOk = false;
        QVERIFY(sendAndWait(sender, dump, &dumpOk, &logOk));
        QVERIFY(dumpOk && logOk);
        const QJsonObject r = server.requests().value(0);
        QVERIFY(r.value("errors").toArray().isEmpty());
        QCOMPARE(r.value("files").toObject().value("upload_file_minidump").toObject().value("sha256")
                     .toString().toLatin1(),
                 sha256Hex(dumpBytes));
        QCOMPARE(r.value("fields").toObject().value("comment").toString(),
                 QString::fromLatin1(DumpSender::defaultBoundary()));
    }

    void untrustedCertificateKeepsEverything()
    {
        QTemporaryDir certDir;
        const QString cert = certDir.filePath(QStringLiteral("cert.pem"));
        const QString key = certDir.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                       "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
        if (!openssl.waitForStarted(5000))
            QSKIP("openssl is not installed");
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);

        const QString dump = makeDump(QStringLiteral("tls.dmp"), "dump");
        QVERIFY(writeFile(logPath(), "log\n"));
        ReportServer server;
        QVERIFY(server.start(QStringLiteral("ok"), recordPath(), {"--cert", cert, "--key", key}));
        configureServer(iniPath(), server.url(QStringLiteral("https")));

        DumpSender sender;
        bool dumpOk = true, logOk = true;
        QVERIFY(sendAndWait(sender, dump, &dumpOk, &logOk));
        QVERIFY(!dumpOk && !logOk);
        QVERIFY(QFile::exists(dump));
        QCOMPARE(readFile(logPath()), QByteArray("log\n"));
        QVERIFY(server.requests().isEmpty()); // nothing got past the handshake
    }

    void noServerOrDeclineTouchesNoNetwork()
    {
        const QString dump = makeDump(QStringLiteral("a.dmp"), "dump");
        QVERIFY(writeFile(logPath(), "log\n"));
        for (const QString &url : {QString(), QStringLiteral("ftp://127.0.0.1/"), QStringLiteral("not a url")}) {
            configureServer(iniPath(), url);
            DumpSender sender;
            QVERIFY2(!sender.sendReport(dump), qPrintable(url));
            QVERIFY(QFile::exists(dump));
            QCOMPARE(readFile(logPath()), QByteArray("log\n"));
        }
        DumpSender sender;
        sender.removeDump(dump);
        QVERIFY(!QFile::exists(dump));
        QVERIFY(QFile::exists(logPath()));
        QCOMPARE(QFileInfo(logPath()).size(), 0);
    }

    void logHandlerKeepsWritingAfterEmptying()
    {
        ZuLogFile::install(logPath());
        setLevelValue(1);
        for (int i = 0; i < 50; ++i)
            logMessage(QStringLiteral("[INFO] before the report %1").arg(i));
        QVERIFY(QFileInfo(logPath()).size() > 1000);

        const QString dump = makeDump(QStringLiteral("log.dmp"), "dump");
        ReportServer server;
        QVERIFY(server.start(QStringLiteral("ok"), recordPath()));
        configureServer(iniPath(), server.url());
        DumpSender sender;
        bool dumpOk = false, logOk = false;
        QVERIFY(sendAndWait(sender, dump, &dumpOk, &logOk));
        QVERIFY(logOk);
        QCOMPARE(QFileInfo(logPath()).size(), 0);

        logMessage(QStringLiteral("[INFO] after the report"));
        logMessage(QStringLiteral("[INFO] and once more"));
        QList<QByteArray> lines = readFile(logPath()).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).startsWith('['));
        QVERIFY(lines.at(0).endsWith("[INFO] after the report"));
        QVERIFY(lines.at(1).endsWith("[INFO] and once more"));
        QVERIFY(lines.at(2).isEmpty());

        // The same after a refusal.
        DumpSender().removeDump(makeDump(QStringLiteral("other.dmp"), "x"));
        QCOMPARE(QFileInfo(logPath()).size(), 0);
        logMessage(QStringLiteral("[INFO] after the refusal"));
        QVERIFY(readFile(logPath()).startsWith('['));
        QCOMPARE(readFile(logPath()).count('\n'), 1);
        QVERIFY(!readFile(logPath()).contains('\0'));
    }

    // --- start-up check -------------------------------------------------

    void noDumpNoDialog()
    {
        const QString other = makeDump(QStringLiteral("notes.txt"), "x");
        QVERIFY(!CrashFileChecker::checkCrashFiles());
        QVERIFY(QFile::exists(other));
        QDir(userFolder()).removeRecursively();
        QVERIFY(!CrashFileChecker::checkCrashFiles()); // no folder at all
    }

    void newestDumpOfferedOthersDeleted()
    {
        const QDateTime base = QDateTime::currentDateTime().addSecs(-3600);
        const QString old1 = makeDump(QStringLiteral("old1.dmp"), "1", base);
        const QString old2 = makeDump(QStringLiteral("sub/deeper/old2.dmp"), "2", base.addSecs(60));
        const QString newest = makeDump(QStringLiteral("sub/newest.dmp"), "3", base.addSecs(600));
        const QString old3 = makeDump(QStringLiteral("sub/old3.dmp"), "4", base.addSecs(120));
        const QString other = makeDump(QStringLiteral("sub/keep.txt"), "x", base.addSecs(900));
        const QString target = makeDump(QStringLiteral("elsewhere.dmp.target"), "secret");
        QVERIFY(QFile::link(target, reports() + QStringLiteral("/linked.dmp")));

        QScopedPointer<ReporterWidget> dialog(CrashFileChecker::checkCrashFiles());
        QVERIFY(dialog);
        QCOMPARE(dialog->reportedDumpPath(), QFileInfo(newest).absoluteFilePath());
        QVERIFY(dialog->isVisible());
        QVERIFY(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!dialog->isModal());
        QCOMPARE(child<QLabel>(dialog.data(), "crashdateLabel")->text(),
                 QStringLiteral("Date de génération du fichier dump : ") +
                     base.addSecs(600).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        QVERIFY(QFile::exists(newest));
        for (const QString &gone : {old1, old2, old3})
            QVERIFY2(!QFile::exists(gone), qPrintable(gone));
        QVERIFY(QFile::exists(other));
        // A link is neither offered nor followed into deletion.
        QVERIFY(QFileInfo(reports() + QStringLiteral("/linked.dmp")).isSymLink());
        QVERIFY(QFile::exists(target));
    }

    void equalTimesKeepOne()
    {
        const QDateTime when = QDateTime::currentDateTime().addSecs(-60);
        makeDump(QStringLiteral("a.dmp"), "a", when);
        makeDump(QStringLiteral("b.dmp"), "b", when);
        QScopedPointer<ReporterWidget> dialog(CrashFileChecker::checkCrashFiles());
        QVERIFY(dialog);
        const QStringList left = QDir(reports()).entryList({QStringLiteral("*.dmp")}, QDir::Files);
        QCOMPARE(left.size(), 1);
        QCOMPARE(dialog->reportedDumpPath(), QFileInfo(reports() + QLatin1Char('/') + left.first()).absoluteFilePath());
    }

    void skipCrashReportDeletesSilently()
    {
        const QString a = makeDump(QStringLiteral("a.dmp"), "a");
        const QString b = makeDump(QStringLiteral("x/b.dmp"), "b");
        QVERIFY(writeFile(logPath(), "log\n"));
        Http_singleton::instance()->setSkipCrashReport(true);
        QVERIFY(!CrashFileChecker::checkCrashFiles());
        Http_singleton::instance()->setSkipCrashReport(false);
        QVERIFY(!QFile::exists(a));
        QVERIFY(!QFile::exists(b));
        QCOMPARE(readFile(logPath()), QByteArray("log\n"));
        QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
                std::none_of(QApplication::topLevelWidgets().cbegin(), QApplication::topLevelWidgets().cend(),
                             [](QWidget *w) { return qobject_cast<ReporterWidget *>(w) && w->isVisible(); }));
    }

    // --- report dialog --------------------------------------------------

    void sendChecksDescriptionThenEmail()
    {
        const QString dump = makeDump(QStringLiteral("d.dmp"), "dump");
        ReportServer server;
        QVERIFY(server.start(QStringLiteral("ok"), recordPath()));
        configureServer(iniPath(), server.url());
        QScopedPointer<ReporterWidget> w(makeDialog(dump));
        auto *send = child<QPushButton>(w.data(), "restartButton");
        auto *comment = child<QTextEdit>(w.data(), "commentTextEdit");
        auto *email = child<QLineEdit>(w.data(), "emailLineEdit");

        BoxSeen box;
        answerNextMessageBox(&box);
        send->click();
        QVERIFY(box.seen);
        QCOMPARE(box.title, QStringLiteral("Détails non fournis"));
        QCOMPARE(box.text, QStringLiteral("Veuillez entrer un descriptif de la cause du plantage avant de soumettre le rapport."));
        QVERIFY(w->isVisible());

        // Typed and erased still counts as a description.
        QTest::keyClicks(comment, QStringLiteral("ab"));
        comment->clear();
        box = BoxSeen();
        answerNextMessageBox(&box);
        send->click();
        QCOMPARE(box.title, QStringLiteral("Adresse e-mail non fournis"));
        QCOMPARE(box.text, QStringLiteral("Veuillez entrer une adresse e-mail avant de soumettre le rapport."));
        QVERIFY(w->isVisible());

        QSignalSpy emailSpy(w.data(), &ReporterWidget::emailAdressChanged);
        QTest::keyClicks(email, QStringLiteral("x@y"));
        QCOMPARE(emailSpy.size(), 3);
        QCOMPARE(emailSpy.last().at(0).toString(), QStringLiteral("x@y"));

        QSignalSpy done(w.data(), &ReporterWidget::reportFinished);
        send->click();
        QVERIFY(!w->isVisible());
        QVERIFY(done.wait(30000));
        const QJsonObject fields = server.requests().value(0).value("fields").toObject();
        QVERIFY(!fields.contains("comment")); // erased: sent without one
        QCOMPARE(fields.value("email").toString(), QStringLiteral("x@y"));
        QVERIFY(!QFile::exists(dump));
    }

    void sendWithoutServerSaysSo()
    {
        const QString dump = makeDump(QStringLiteral("d.dmp"), "dump");
        QVERIFY(writeFile(logPath(), "log\n"));
        QScopedPointer<ReporterWidget> w(makeDialog(dump));
        QTest::keyClicks(child<QTextEdit>(w.data(), "commentTextEdit"), QStringLiteral("desc"));
        QTest::keyClicks(child<QLineEdit>(w.data(), "emailLineEdit"), QStringLiteral("a@b"));
        BoxSeen box;
        answerNextMessageBox(&box);
        child<QPushButton>(w.data(), "restartButton")->click();
        QVERIFY(box.seen);
        QCOMPARE(box.title, QStringLiteral("Envoi impossible"));
        QVERIFY(box.text.contains(QStringLiteral("ne peut pas être envoyé")));
        QVERIFY(w->isVisible());
        QVERIFY(QFile::exists(dump));
        QCOMPARE(readFile(logPath()), QByteArray("log\n"));
    }

    void quitDeletesDumpAndEmptiesLog()
    {
        const QString dump = makeDump(QStringLiteral("d.dmp"), "dump");
        QVERIFY(writeFile(logPath(), "log\n"));
        QScopedPointer<ReporterWidget> w(makeDialog(dump));
        child<QPushButton>(w.data(), "quitButton")->click();
        QVERIFY(!w->isVisible());
        QVERIFY(!QFile::exists(dump));
        QCOMPARE(QFileInfo(logPath()).size(), 0);
    }

    void closingByTheFrameKeepsTheDump()
    {
        const QString dump = makeDump(QStringLiteral("d.dmp"), "dump");
        {
            QScopedPointer<ReporterWidget> w(makeDialog(dump));
            w->close();
        }
        QVERIFY(QFile::exists(dump));
        QScopedPointer<ReporterWidget> again(CrashFileChecker::checkCrashFiles());
        QVERIFY(again);
    }

    void detailsComposedOnce()
    {
        const QDateTime when = QDateTime::currentDateTime().addSecs(-300);
        const QString dump = makeDump(QStringLiteral("d.dmp"), "dump", when);
        QScopedPointer<ReporterWidget> w(makeDialog(dump));
        QTest::keyClicks(child<QLineEdit>(w.data(), "emailLineEdit"), QStringLiteral("first@x"));
        QTest::keyClicks(child<QTextEdit>(w.data(), "commentTextEdit"), QStringLiteral("mon texte"));
        child<QPushButton>(w.data(), "detailButton")->click();
        DetailDialog *details = w->findChild<DetailDialog *>();
        QVERIFY(details);
        QVERIFY(details->isVisible());
        const QString expected = QStringLiteral("Les informations suivantes seront envoyées:\n\n") +
                                 QStringLiteral("OS : ") + DumpSender::osText() + QLatin1Char('\n') +
                                 QStringLiteral("Nom produit : ZUPLAYER\nVersion : 3.4.3\n") +
                                 QStringLiteral("Date du dump : ") +
                                 when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QLatin1Char('\n') +
                                 QStringLiteral("Email: first@x\nCommentaires: mon texte\n");
        QCOMPARE(details->text(), expected);

        details->reject(); // "Close" hides it
        QVERIFY(!details->isVisible());
        child<QLineEdit>(w.data(), "emailLineEdit")->setText(QStringLiteral("second@x"));
        child<QPushButton>(w.data(), "detailButton")->click();
        QCOMPARE(w->findChildren<DetailDialog *>().size(), 1);
        QVERIFY(details->isVisible());
        QCOMPARE(details->text(), expected);

        // Without dump, e-mail or description the optional lines are absent.
        ReporterWidget bare;
        bare.show();
        child<QPushButton>(&bare, "detailButton")->click();
        const QString bareText = bare.findChild<DetailDialog *>()->text();
        QVERIFY(!bareText.contains(QStringLiteral("Date du dump")));
        QVERIFY(!bareText.contains(QStringLiteral("Email:")));
        QVERIFY(!bareText.contains(QStringLiteral("Commentaires")));
    }

    void languageChangeKeepsWhatWasTyped()
    {
        const QDateTime when = QDateTime::currentDateTime().addSecs(-120);
        const QString dump = makeDump(QStringLiteral("d.dmp"), "dump", when);
        QScopedPointer<ReporterWidget> w(makeDialog(dump));
        auto *label = child<QLabel>(w.data(), "crashdateLabel");
        const QString dateText = label->text();
        QVERIFY(dateText.endsWith(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));

        // Untouched: the refreshed empty document is not a description.
        QEvent change(QEvent::LanguageChange);
        QCoreApplication::sendEvent(w.data(), &change);
        QCOMPARE(label->text(), dateText);
        configureServer(iniPath(), QStringLiteral("http://127.0.0.1:9"));
        BoxSeen box;
        answerNextMessageBox(&box);
        child<QPushButton>(w.data(), "restartButton")->click();
        QCOMPARE(box.title, QStringLiteral("Détails non fournis"));

        QTest::keyClicks(child<QLineEdit>(w.data(), "emailLineEdit"), QStringLiteral("me@x"));
        QTest::keyClicks(child<QTextEdit>(w.data(), "commentTextEdit"), QStringLiteral("ce que j'ai fait"));
        QCoreApplication::sendEvent(w.data(), &change);
        QCOMPARE(child<QLineEdit>(w.data(), "emailLineEdit")->text(), QStringLiteral("me@x"));
        QCOMPARE(child<QTextEdit>(w.data(), "commentTextEdit")->toPlainText(), QStringLiteral("ce que j'ai fait"));
        QCOMPARE(label->text(), dateText);
        QCOMPARE(w->windowTitle(), QStringLiteral("Rapport de plantage"));
    }
};

QTEST_MAIN(TestCrashReport)
#include "test_crash_report.moc"
