// The start-up update check end to end against the local stand-in server
// (digests and the product folder name come from python, not from the code
// under test); then release selection and the updater's texts, pure
// functions of the server's replies, table by table.
#include <QtTest>

#include "downloadbinary.h"
#include "test_support.h"
#include "zulog.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QJsonArray>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTemporaryDir>

using namespace testsupport;

namespace {

QString python(const QString &code, const QString &arg = QString())
{
    QProcess p;
    p.start(QStringLiteral("python3"), {QStringLiteral("-c"), code, arg});
    p.waitForFinished(10000);
    return QString::fromLatin1(p.readAllStandardOutput()).trimmed();
}

// Names ending in ".exe" are listed for another platform.
QJsonObject entry(const QString &name, const QString &url, const QString &sha)
{
    const QString arch = name.endsWith(".exe") ? QStringLiteral("Windows/64") : DownloadBinary::platformArch();
    return {{"name", name}, {"arch", arch}, {"url", url}, {"sha256", sha}};
}

QJsonArray index(const QStringList &names)
{
    QJsonArray a;
    for (const QString &n : names)
        a.append(entry(n, "https://u.example/f/" + n, QString()));
    return a;
}

using D = DownloadBinary::IndexDecision;

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT
    QTemporaryDir m_tmp;
    TestServer m_server;
    TestServer m_untrusted; // HTTPS with a self-signed certificate
    QString m_www, m_product, m_downloads;
    QList<QUrl> m_handedOver;
    bool m_openResult = true;

    // Publishes a package; returns its URL and python's digest of it.
    QPair<QString, QString> publish(const QString &name, const QByteArray &content)
    {
        const QString path = m_www + QStringLiteral("/files/") + name;
        writeFile(path, content);
        return {m_server.url() + QStringLiteral("/files/") + name,
                python("import hashlib,sys;print(hashlib.sha256(open(sys.argv[1],'rb').read()).hexdigest())", path)};
    }
    void writeIndex(const QString &channel, const QJsonArray &entries)
    {
        QVERIFY(writeFile(m_www + "/zuapps/" + m_product + "/3.4/" + channel + "/index.json",
                          QJsonDocument(entries).toJson()));
    }
    QStringList downloads() const { return QDir(m_downloads).entryList(QDir::Files | QDir::Hidden); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        qputenv("HOME", m_tmp.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (m_tmp.path() + "/.config").toLocal8Bit());
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        m_www = m_tmp.filePath("www");
        m_downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QVERIFY(m_downloads.startsWith(m_tmp.path()));
        m_product = python("import hashlib;print(hashlib.md5(b'ZUPLAYER').hexdigest()[:5])") + "_ZUPLAYER";
        // Tracks around this build's own: the listing must lead to 3.4.
        for (const char *t : {"3.3", "3.4", "3.5", "latest"})
            QVERIFY(QDir().mkpath(m_www + "/zuapps/" + m_product + "/" + t));
        QVERIFY(m_server.start({"--root", m_www}));
        QStringList certificate;
        if (!QStandardPaths::findExecutable("openssl").isEmpty()) {
            QVERIFY(makeCertificate(m_tmp.path(), &certificate));
            QVERIFY(m_untrusted.start(certificate + QStringList{"--root", m_www}));
        }
        DownloadBinary::shellOpen() = [this](const QUrl &url) {
            m_handedOver << url;
            return m_openResult;
        };
    }

    void init()
    {
        QDir(m_www + "/zuapps/" + m_product + "/3.4").removeRecursively();
        QDir(m_downloads).removeRecursively();
        m_handedOver.clear();
        m_openResult = true;
        setServers(m_tmp.path(), m_server.url() + "/zuapps/", QString());
    }

    // A newer package is downloaded, verified and handed over, at once or
    // once the user agreed. One that could never be fetched or checked is
    // not offered (nobody is asked); a wrong digest or an untrusted server
    // leaves nothing, and an older file of that name stays as it was.
    void newerPackage_data()
    {
        QTest::addColumn<QString>("digest"); // "plain", "colons" (as some servers list it), "other": another file's
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("existing");
        QTest::addColumn<bool>("opens"); // what the desktop answers
        QTest::addColumn<int>("ask");    // 0: no prompt, 1: accepted, 2: declined
        QTest::addColumn<bool>("handedOver");
        QTest::addColumn<QString>("url"); // empty: the published package's
        QTest::newRow("verified and handed over") << "colons" << false << false << true << 0 << true << QString();
        QTest::newRow("the desktop cannot open it") << "plain" << false << false << false << 0 << true << QString();
        QTest::newRow("wrong digest, older file kept") << "other" << false << true << true << 0 << false << QString();
        QTest::newRow("older file kept, package beside it") << "plain" << false << true << true << 0 << true << QString();
        QTest::newRow("empty digest") << "" << false << false << true << 0 << false << QString();
        QTest::newRow("untrusted certificate") << "plain" << true << false << true << 0 << false << QString();
        QTest::newRow("asked: accepted") << "plain" << false << false << true << 1 << true << QString();
        QTest::newRow("asked: declined") << "plain" << false << false << true << 2 << false << QString();
        QTest::newRow("empty digest: not offered") << "" << false << false << true << 1 << false << QString();
        QTest::newRow("short digest: not offered") << "12ab" << false << false << true << 1 << false << QString();
        QTest::newRow("digest not hexadecimal: not offered") << QString(64, 'g') << false << false << true << 1 << false << QString();
        QTest::newRow("ftp address: not offered") << QString(64, 'a') << false << false << true << 1 << false
                                                  << "ftp://127.0.0.1/zuplayer-3.5.0.deb";
        QTest::newRow("local file: not offered") << QString(64, 'a') << false << false << true << 1 << false
                                                 << "file:///tmp/zuplayer-3.5.0.deb";
        // Its password and token stay out of the log however they are written.
        QTest::newRow("ftp address with credentials: not offered")
            << QString(64, 'a') << false << false << true << 1 << false
            << "ftp://admin:s3cr3t'<x> y@127.0.0.1/zuplayer-3.5.0.deb?token=s3cr3t\"x y";
    }

    void newerPackage()
    {
        QFETCH(QString, digest);
        QFETCH(bool, tls);
        QFETCH(bool, existing);
        QFETCH(bool, opens);
        QFETCH(int, ask);
        QFETCH(bool, handedOver);
        QFETCH(QString, url);
        if (tls && !m_untrusted.port())
            ZU_SKIP_MISSING("openssl");
        const QByteArray content = QByteArray("package body ").repeated(40000);
        const auto [published, sha] = publish("zuplayer-3.5.0.deb", content);
        if (url.isEmpty())
            url = tls ? QString(published).replace(m_server.url(), m_untrusted.url("https")) : published;
        QString listed = digest == "other" ? publish("other.bin", "what the index was made for").second
                         : digest == "plain" ? sha : digest == "colons" ? QString() : digest;
        for (int i = 0; digest == "colons" && i < sha.size(); i += 2)
            listed += (i ? ":" : "") + sha.mid(i, 2).toUpper();
        QVERIFY(writeFile(m_www + "/files/notes.txt", "Nouveautés de la 3.5.0"));
        writeIndex("STABLE", {entry("zuplayer-3.5.0.deb", url, listed),
                              QJsonObject{{"type", "changelog"}, {"url", m_server.url() + "/files/notes.txt"}}});
        // Without a prompt it goes to the download folder; asked, where the user says.
        const QString target = m_downloads + (ask ? "/chosen/zuplayer-3.5.0.deb" : "/zuplayer-3.5.0.deb");
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        if (existing)
            QVERIFY(writeFile(target, "the package from last time"));
        m_openResult = opens;
        QString texts;
        int asked = 0;
        ModalAnswers answers([&](QDialog *d) {
            ++asked;
            if (auto *box = qobject_cast<QMessageBox *>(d)) {
                texts = box->text() + '\n' + box->detailedText();
                box->button(ask == 1 ? QMessageBox::Yes : QMessageBox::No)->click();
            } else if (auto *files = qobject_cast<QFileDialog *>(d)) {
                // Typed by hand: selectFile() leaves a focused name field alone.
                files->findChild<QLineEdit *>("fileNameEdit")->setText(target);
                d->accept();
            } else {
                d->reject();
            }
        });

        DownloadBinary updater("3.4.3", nullptr);
        updater.setQuitAfterInstallerLaunch(false);
        QSignalSpy available(&updater, &DownloadBinary::updateAvailable);
        QSignalSpy failed(&updater, &DownloadBinary::downloadFailed);
        const QString log = m_tmp.filePath("zulogfile.log");
        QFile::remove(log);
        ZuLogFile::install(log);
        setLevelValue(1);
        QCOMPARE(updater.checkForUpdates(ask != 0), !(handedOver && opens));
        QCoreApplication::processEvents();
        setLevelValue(0);
        ZuLogFile::uninstall();
        QVERIFY2(!readFile(log).contains("s3cr3t"), readFile(log).constData());
        if (url.contains("s3cr3t"))
            QVERIFY2(readFile(log).contains("update url not valid :: ftp://***@127.0.0.1/zuplayer-3.5.0.deb?token=***"),
                     readFile(log).constData());
        if (tls)
            QVERIFY(failed.value(0).value(0).toString().startsWith("Erreur SSL"));
        // Without a prompt nobody chose to replace a file of that name.
        const QString saved = !ask && existing ? m_downloads + "/zuplayer-3.5.0-1.deb" : target;
        QCOMPARE(m_handedOver, handedOver ? QList<QUrl>{QUrl::fromLocalFile(saved)} : QList<QUrl>());
        QCOMPARE(readFile(saved), handedOver ? content : QByteArray());
        if (existing)
            QCOMPARE(readFile(target), QByteArray("the package from last time"));
        QStringList kept;
        if (!ask && existing)
            kept << "zuplayer-3.5.0.deb";
        if (!ask && handedOver)
            kept << QFileInfo(saved).fileName();
        kept.sort();
        QCOMPARE(downloads(), kept);
        if (!ask)
            QCOMPARE(available.size(), 1);
        if (!ask || digest != "plain") {
            QCOMPARE(asked, 0);
            return;
        }
        QVERIFY2(texts.contains("Version actuelle : 3.4.3\nVersion disponible : 3.5.0 (STABLE)"), qPrintable(texts));
        QVERIFY2(texts.endsWith("Nouveautés de la 3.5.0\nSHA-256 : " + sha), qPrintable(texts));
    }

    void channels_data()
    {
        QTest::addColumn<QString>("build");
        QTest::addColumn<QStringList>("stable");
        QTest::addColumn<QStringList>("testing");
        QTest::addColumn<QStringList>("asked");
        QTest::addColumn<QString>("offered");
        QTest::newRow("release build, newer only for another platform")
            << "3.4.3" << QStringList{"zuplayer-3.9.0.exe", "zuplayer-3.4.3.deb"} << QStringList{"zuplayer-3.5.0.deb"}
            << QStringList{"STABLE"} << "";
        QTest::newRow("test build, STABLE then TESTING")
            << "3.4.3.DEV202401011200" << QStringList{"zuplayer-3.4.2.deb"}
            << QStringList{"zuplayer-3.4.3.DEV202402011200.deb"} << QStringList{"STABLE", "TESTING"}
            << "zuplayer-3.4.3.DEV202402011200.deb";
    }

    void channels()
    {
        QFETCH(QString, build);
        QFETCH(QStringList, stable);
        QFETCH(QStringList, testing);
        QFETCH(QStringList, asked);
        QFETCH(QString, offered);
        for (const auto &[channel, names] : {std::pair{"STABLE", stable}, std::pair{"TESTING", testing}}) {
            QJsonArray index;
            for (const QString &name : names) // no digest: nothing is downloaded
                index.append(entry(name, m_server.url() + "/files/" + name, QString()));
            writeIndex(channel, index);
        }
        DownloadBinary updater(build, nullptr);
        QSignalSpy started(&updater, &DownloadBinary::updateCheckStarted);
        QSignalSpy available(&updater, &DownloadBinary::updateAvailable);
        QCOMPARE(updater.checkForUpdates(false), true);
        QCOMPARE(started.size(), 1 + asked.size());
        QCOMPARE(started[0][0].toUrl().path(), "/zuapps/" + m_product + "/");
        for (int i = 0; i < asked.size(); ++i)
            QCOMPARE(started[i + 1][0].toUrl().path(), "/zuapps/" + m_product + "/3.4/" + asked[i] + "/index.json");
        QCOMPARE(available.size(), offered.isEmpty() ? 0 : 1);
        if (!offered.isEmpty())
            QVERIFY(available[0][3].toUrl().path().endsWith(offered));
    }

    // Servers that drip, flood or stall: the check ends by its deadline and
    // each request by its size cap (the test sets small ones), the failure
    // says why, start-up goes on and nothing is left in the download folder.
    // A change log that drips is only left out of the prompt.
    void boundedRequests_data()
    {
        QTest::addColumn<QString>("base");    // misbehaving part of the update server's address
        QTest::addColumn<QString>("package"); // of the package's address
        QTest::addColumn<QString>("bound");   // the bound the test makes small
        QTest::addColumn<QString>("failure"); // "check" or "download", with the text
        const QString late = "Le serveur n’a pas répondu dans le délai imparti.";
        const QString large = "Réponse du serveur trop volumineuse.";
        QTest::newRow("listing drips") << "drip-listing" << "" << "checkMs" << "check: " + late;
        QTest::newRow("redirect to a stalled https server") << "stall-listing" << "" << "checkMs" << "check: " + late;
        QTest::newRow("listing too large") << "big-listing" << "" << "checkBytes" << "check: " + large;
        QTest::newRow("index drips") << "drip-index" << "" << "checkMs" << "check: " + late;
        QTest::newRow("index too large") << "big-index" << "" << "checkBytes" << "check: " + large;
        QTest::newRow("package drips") << "" << "drip-any" << "packageMs" << "download: " + late;
        QTest::newRow("package over its cap") << "" << "" << "packageBytes" << "download: " + large;
        QTest::newRow("change log drips") << "drip-notes" << "" << "checkMs" << "";
        // Each request well within the time, the check as a whole not.
        QTest::newRow("listing and index each slow") << "slow-any" << "" << "checkMs" << "check: " + late;
        // Stored as sent, digest of what is stored: an encoded package is
        // neither unpacked nor kept.
        QTest::newRow("package sent encoded") << "" << "gzip-any" << ""
                                              << "download: Paquet refusé : le serveur l’a envoyé encodé (gzip).";
    }

    void boundedRequests()
    {
        QFETCH(QString, base);
        QFETCH(QString, package);
        QFETCH(QString, bound);
        QFETCH(QString, failure);
        const auto [published, sha] = publish("zuplayer-3.5.0.deb", QByteArray("package body ").repeated(40000));
        const QString prefix = base.isEmpty() ? QString() : '/' + base;
        QVERIFY(writeFile(m_www + "/files/notes.txt", "Nouveautés de la 3.5.0"));
        QString url = published;
        if (!package.isEmpty())
            url.replace(m_server.url(), m_server.url() + '/' + package);
        writeIndex("STABLE", {entry("zuplayer-3.5.0.deb", url, sha),
                              QJsonObject{{"type", "changelog"}, {"url", m_server.url() + prefix + "/files/notes.txt"}}});
        setServers(m_tmp.path(), m_server.url() + prefix + "/zuapps/", QString());
        DownloadBinary::Limits limits;
        if (bound == "checkMs")
            limits.checkMs = 2000;
        if (bound == "packageMs")
            limits.packageMs = 2000;
        if (bound == "checkBytes")
            limits.checkBytes = 64 * 1024;
        if (bound == "packageBytes")
            limits.packageBytes = 100 * 1024;
        QString details;
        ModalAnswers answers([&](QDialog *d) {
            if (auto *box = qobject_cast<QMessageBox *>(d)) {
                details = box->detailedText();
                box->button(QMessageBox::No)->click();
            } else {
                d->reject();
            }
        });
        DownloadBinary updater("3.4.3", nullptr);
        updater.setQuitAfterInstallerLaunch(false);
        updater.setLimits(limits);
        QSignalSpy checkFailed(&updater, &DownloadBinary::updateCheckFailed);
        QSignalSpy downloadFailed(&updater, &DownloadBinary::downloadFailed);
        QCOMPARE(updater.checkForUpdates(failure.isEmpty()), true);
        QStringList failures;
        for (const QList<QVariant> &f : checkFailed)
            failures << "check: " + f.at(0).toString();
        for (const QList<QVariant> &f : downloadFailed)
            failures << "download: " + f.at(0).toString();
        QCOMPARE(failures, failure.isEmpty() ? QStringList() : QStringList{failure});
        QCOMPARE(m_handedOver, QList<QUrl>());
        QCOMPARE(downloads(), QStringList());
        if (failure.isEmpty())
            QCOMPARE(details, "SHA-256 : " + sha);
    }

    // The package is taken from the network only as fast as it is stored:
    // while the window's thread is busy elsewhere the server cannot send much
    // more, and the cap holds for what is stored.
    void packageBackPressure()
    {
        const auto [published, sha] = publish("zuplayer-3.5.0.deb", "not what is served");
        writeIndex("STABLE", {entry("zuplayer-3.5.0.deb",
                                    QString(published).replace(m_server.url(), m_server.url() + "/flood-any"), sha)});
        QFile::remove(m_www + "/flood-sent");
        DownloadBinary::Limits limits;
        limits.packageBytes = qint64(64) << 20;
        DownloadBinary updater("3.4.3", nullptr);
        updater.setQuitAfterInstallerLaunch(false);
        updater.setLimits(limits);
        qint64 sentWhileBusy = -1;
        connect(&updater, &DownloadBinary::downloadProgress, this, [&](qlonglong received, qlonglong) {
            if (sentWhileBusy >= 0 || received <= 0)
                return;
            QThread::msleep(2000);
            sentWhileBusy = readFile(m_www + "/flood-sent").toLongLong();
        });
        QSignalSpy failed(&updater, &DownloadBinary::downloadFailed);
        QCOMPARE(updater.checkForUpdates(false), true);
        // 256 MiB were on offer; what the network takes unread is a buffer's
        // worth beside the kernel's.
        QVERIFY(sentWhileBusy > 0);
        QVERIFY2(sentWhileBusy < qint64(128) << 20, qPrintable(QString::number(sentWhileBusy)));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].toString(), "Réponse du serveur trop volumineuse.");
        QCOMPARE(downloads(), QStringList());
    }

    // A download killed midway leaves the empty file that held the package's
    // name; the next start removes it, once its download is no more, and
    // nothing else: not the user's own empty file of that name.
    void killedDownloadLeavesNothing_data()
    {
        QTest::addColumn<bool>("userFile");
        QTest::newRow("killed download") << false;
        QTest::newRow("beside the user's empty file") << true;
    }

    void killedDownloadLeavesNothing()
    {
        QFETCH(bool, userFile);
        const auto [published, sha] = publish("zuplayer-3.5.0.deb", "package body");
        writeIndex("STABLE", {entry("zuplayer-3.5.0.deb",
                                    QString(published).replace(m_server.url(), m_server.url() + "/drip-any"), sha)});
        QVERIFY(QDir().mkpath(m_downloads));
        if (userFile)
            QVERIFY(writeFile(m_downloads + "/zuplayer-3.5.0.deb", QByteArray()));
        const QString reserved = m_downloads + (userFile ? "/zuplayer-3.5.0-1.deb" : "/zuplayer-3.5.0.deb");
        const QString ini = m_tmp.filePath("child.ini");
        QVERIFY(writeFile(ini, "[servers]\nupdate=" + (m_server.url() + "/zuapps/").toUtf8() + "\n"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZUPLAYER_CONFIG", ini);
        child.setProcessEnvironment(env);
        child.start(ZU_UPDATE_CHILD, QStringList());
        QVERIFY(child.waitForStarted());
        const QDir userFolder(m_tmp.path() + "/.ZuPlayer");
        const auto notes = [&] { return userFolder.entryList({"update-reserved-*"}, QDir::Files); };
        // The package drips in under the name it holds.
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(reserved) && !notes().isEmpty(); }, 30000));
        // Another start meanwhile leaves the running download alone.
        setServers(m_tmp.path(), QString(), QString());
        QCOMPARE(DownloadBinary("3.4.3", nullptr).checkForUpdates(false), true);
        QVERIFY(QFileInfo::exists(reserved));
        child.kill();
        QVERIFY(child.waitForFinished(10000));
        QVERIFY(QFileInfo::exists(reserved));
        QCOMPARE(DownloadBinary("3.4.3", nullptr).checkForUpdates(false), true);
        QCOMPARE(downloads(), userFile ? QStringList{"zuplayer-3.5.0.deb"} : QStringList());
        QCOMPARE(notes(), QStringList());
    }

    void noServer_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<int>("failures");
        QTest::newRow("server down") << "http://127.0.0.1:" + closedPort() + "/zuapps/" << 1;
        QTest::newRow("no address") << QString() << 0;
        QTest::newRow("no product folder") << m_server.url() + "/elsewhere/" << 1;
    }

    void noServer()
    {
        QFETCH(QString, base);
        QFETCH(int, failures);
        setServers(m_tmp.path(), base, QString());
        DownloadBinary updater("3.4.3", nullptr);
        QSignalSpy failed(&updater, &DownloadBinary::updateCheckFailed);
        QElapsedTimer t;
        t.start();
        QCOMPARE(updater.checkForUpdates(true), true);
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(failed.size(), failures);
    }

    void track_data()
    {
        // A web server's index (links named twice, capitals, non-tracks) and
        // an object-store listing.
        const QByteArray html = "<a href=\"3.10/\">3.10/</a><a href='3.4/'>3.4/</a><a href=\"latest/\">latest/</a>"
                                "<a href=\"3.4.1/\">3.4.1/</a><A HREF=\"3.9/\">3.9/</A>";
        const QByteArray xml = "<Contents><Key>3.5/</Key></Contents><Contents><Key>3.3/</Key></Contents>";
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("nearest lower, numeric order") << html << "3.12" << "3.10";
        QTest::newRow("nearest lower") << xml << "3.4" << "3.3";
        QTest::newRow("only higher: the highest") << QByteArray(">3.5/<>4.0/<") << "3.4" << "4.0";
        QTest::newRow("empty listing") << QByteArray() << "3.4" << "3.4";
    }

    void track()
    {
        QFETCH(QByteArray, listing);
        QFETCH(QString, wanted);
        QFETCH(QString, chosen);
        QCOMPARE(DownloadBinary::chooseTrack(DownloadBinary::sortedTracks(listing), wanted), chosen);
    }

    void chooseAsset_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("preferZip");
        QTest::addColumn<bool>("inBin");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("installer first") << QStringList{"3.5.0.zip", "3.5.0.deb"} << false << false << "3.5.0.deb";
        QTest::newRow("archive first") << QStringList{"3.5.0.deb", "3.5.0.zip"} << true << false << "3.5.0.zip";
        QTest::newRow("AppImage installs") << QStringList{"3.5.0.tar.gz", "3.5.0.AppImage"} << false << false
                                           << "3.5.0.AppImage";
        QTest::newRow("bare gz: nothing") << QStringList{"3.5.0.gz", "3.5.0.tar.xz"} << false << false << "3.5.0.tar.xz";
        QTest::newRow("launcher in a bin folder") << QStringList{"3.5.0.zip", "Launcher-3.5.0.zip"} << true << true
                                                  << "Launcher-3.5.0.zip";
        QTest::newRow("launcher elsewhere") << QStringList{"launcher-3.5.0.zip", "3.5.0.zip"} << true << false
                                            << "3.5.0.zip";
        QTest::newRow("tie: higher version") << QStringList{"3.5.0.deb", "3.5.1.deb"} << false << false << "3.5.1.deb";
        QTest::newRow("tie: later build") << QStringList{"3.5.0.deb", "3.5.0.DEV202501010000.deb"} << false << false
                                          << "3.5.0.DEV202501010000.deb";
        QTest::newRow("tie: earlier entry") << QStringList{"a-3.5.0.deb", "b-3.5.0.AppImage"} << false << false
                                            << "a-3.5.0.deb";
    }

    void chooseAsset()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, preferZip);
        QFETCH(bool, inBin);
        QFETCH(QString, chosen);
        const UpdateAsset a = DownloadBinary::chooseAsset(
            DownloadBinary::parseAssets(QJsonDocument(index(names)).toJson()), DownloadBinary::platformArch(),
            preferZip, inBin);
        QCOMPARE(a.name, chosen);
    }

    // One index reply after another as the check receives them: "!" is a
    // failed request, "[" or "{" starts a raw body, anything else lists names.
    // (A newer release here or elsewhere, and a test build's later build on
    // TESTING, are tried against the server in test_update_check.)
    void decision_data()
    {
        const QString build = "3.4.3.DEV202401010000", own = "z-" + build + ".deb";
        const QString earlier = "z-3.4.3.DEV202312010000.deb";
        QTest::addColumn<QString>("version");
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<QString>("kinds"); // an update names the package
        QTest::newRow("same version") << "3.4.3" << QStringList{"z-3.4.3.deb"} << "none";
        QTest::newRow("a build of this version") << "3.4.3" << QStringList{own} << "update " + own;
        QTest::newRow("a suffix is no build") << "3.4.3-rc1" << QStringList{own} << "update " + own;
        QTest::newRow("a short stamp is no build") << "3.4.3.DEV2024" << QStringList{"z-3.4.3.deb"} << "none";
        QTest::newRow("no package for here") << "3.4.3" << QStringList{"z-3.9.0.exe"} << "failed";
        QTest::newRow("single object, no platform")
            << "3.4.3" << QStringList{"{\"url\":\"https://u/z.deb\",\"version\":\"3.9.0\"}"} << "failed";
        QTest::newRow("empty index") << "3.4.3" << QStringList{"[]"} << "failed";
        QTest::newRow("broken index") << "3.4.3" << QStringList{"{broken"} << "failed";
        QTest::newRow("no address") << "3.4.3" << QStringList{"[42,\"x\",{\"name\":\"z-3.5.0.deb\"}]"} << "failed";
        QTest::newRow("release build never asks TESTING") << "3.4.3" << QStringList{"!"} << "failed";
        QTest::newRow("build: nothing newer") << build << QStringList{"z-3.4.2.deb", own} << "retry,none";
        QTest::newRow("build: its release") << build << QStringList{"z-3.4.3.deb"} << "update z-3.4.3.deb";
        QTest::newRow("build: next release") << build << QStringList{"z-3.4.4.deb"} << "update z-3.4.4.deb";
        QTest::newRow("build: earlier build") << build << QStringList{earlier, "!"} << "retry,failed";
        QTest::newRow("build: both fail") << build << QStringList{"!", "!"} << "retry,failed";
        QTest::newRow("build: empty, then elsewhere") << build << QStringList{"[]", "z-3.5.0.exe"} << "retry,failed";
    }

    void decision()
    {
        QFETCH(QString, version);
        QFETCH(QStringList, replies);
        QFETCH(QString, kinds);
        DownloadBinary u(version, nullptr);
        QCOMPARE(u.applyTrackList(">3.4/<"), QStringLiteral("3.4"));
        QStringList seen;
        for (const QString &r : replies) {
            const bool raw = r.startsWith('[') || r.startsWith('{');
            const QByteArray body = raw ? r.toUtf8() : QJsonDocument(index(r.split(','))).toJson();
            const D d = u.evaluateIndex(r != "!", "refused", r == "!" ? QByteArray() : body);
            seen << QStringList{"retry", "failed", "none", "update " + d.chosen.name}.at(d.kind);
            QVERIFY(d.kind != D::Failed || !d.error.isEmpty());
        }
        QCOMPARE(seen.join(','), kinds);
        QCOMPARE(u.channelName(), QString(kinds.startsWith("retry") ? "TESTING" : "STABLE"));
    }

    // The name a package is saved under comes from the server's URL and
    // must stay a plain file of the download folder.
    void packageFileName_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "https://h/files/zuplayer-3.5.0.deb" << "zuplayer-3.5.0.deb";
        QTest::newRow("encoded separators") << "https://h/a%2F..%2F..%2Fetc%5Cx.deb" << "etcx.deb";
        QTest::newRow("dot-dot") << "https://h/files/%2E%2E" << "update.bin";
        QTest::newRow("no name") << "https://h/" << "update.bin";
        QTest::newRow("control characters") << "https://h/a%0A%0Db%7F.deb" << "ab.deb";
        QTest::newRow("leading colon (a Qt resource path)") << "https://h/:80-3r.gz" << "80-3r.gz";
        QTest::newRow("colons only") << "https://h/%3A%3A" << "update.bin";
    }

    void packageFileName()
    {
        QFETCH(QString, url);
        QFETCH(QString, name);
        QCOMPARE(DownloadBinary::packageFileName(QUrl(url)), name);
    }

    void texts_data()
    {
        QTest::addColumn<char>("kind"); // size, duration or build stamp
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("bytes") << 's' << qint64(1023) << "1023 octets";
        QTest::newRow("one Ko") << 's' << qint64(1024) << "1.00 Ko";
        QTest::newRow("two digits") << 's' << qint64(52428800) << "50.0 Mo";
        QTest::newRow("To stays To") << 's' << (qint64(2048) << 40) << "2048 To";
        QTest::newRow("negative duration") << 'd' << qint64(-5) << "0:00";
        QTest::newRow("below an hour") << 'd' << qint64(3599) << "59:59";
        QTest::newRow("hours") << 'd' << qint64(3725) << "1:02:05";
        QTest::newRow("stamp") << 't' << qint64(202401021530) << "2024-01-02 15:30";
        QTest::newRow("not a date") << 't' << qint64(202413021530) << "202413021530";
    }

    void texts()
    {
        QFETCH(char, kind);
        QFETCH(qint64, value);
        QFETCH(QString, text);
        QCOMPARE(kind == 's'   ? DownloadBinary::formatSize(value)
                 : kind == 'd' ? DownloadBinary::formatDuration(value)
                               : DownloadBinary::devStampText(value),
                 text);
    }

    void progressDialog()
    {
        DownloadBinary u("3.4.3", nullptr);
        u.showProgressDialog(QString(), "x.deb");
        QPointer<QProgressDialog> dlg = u.currentProgressDialog();
        QVERIFY(dlg);
        QTest::qWait(300);
        u.updateProgress(4096, 0); // no known length: a busy bar
        QCOMPARE(dlg->maximum(), 0);
        QTest::qWait(300);
        u.updateProgress(4096 + 1024 * 1024, 100 * 1024 * 1024);
        QCOMPARE(dlg->value(), 1);
        // The statistics replace the previous ones.
        QVERIFY2(dlg->labelText().startsWith("Téléchargement du paquet\nReçu : 1.00 Mo / 100 Mo  \u00b7  Débit : "),
                 qPrintable(dlg->labelText()));
        QVERIFY(dlg->labelText().contains("Restant : "));
        QCOMPARE(dlg->labelText().count('\n'), 1);
        u.closeProgressDialog();
        QTRY_VERIFY(!dlg);
        u.updateProgress(1, 2); // without a dialog: nothing
    }
};

QTEST_MAIN(TestUpdateCheck)
#include "test_update_check.moc"
