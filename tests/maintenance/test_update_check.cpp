// The start-up update check end to end against the local stand-in server.
// Digests and the product folder name come from python, not from the code
// under test.
#include <QtTest>

#include "downloadbinary.h"
#include "test_support.h"

#include <QFileDialog>
#include <QJsonArray>
#include <QLineEdit>
#include <QMessageBox>
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

QJsonObject entry(const QString &name, const QString &url, const QString &sha)
{
    const QString arch = name.endsWith(".exe") ? QStringLiteral("Windows/64") : DownloadBinary::platformArch();
    return {{"name", name}, {"arch", arch}, {"url", url}, {"sha256", sha}};
}

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
        if (makeCertificate(m_tmp.path(), &certificate))
            QVERIFY(m_untrusted.start(certificate + QStringList{"--root", m_www}));
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
            QSKIP("openssl is needed for the certificate");
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
        QCOMPARE(updater.checkForUpdates(ask != 0), !(handedOver && opens));
        QCoreApplication::processEvents();
        if (tls)
            QVERIFY(failed.value(0).value(0).toString().startsWith("Erreur SSL"));
        QCOMPARE(m_handedOver, handedOver ? QList<QUrl>{QUrl::fromLocalFile(target)} : QList<QUrl>());
        QCOMPARE(readFile(target), handedOver ? content : existing ? QByteArray("the package from last time") : QByteArray());
        QCOMPARE(downloads(), !ask && (handedOver || existing) ? QStringList{"zuplayer-3.5.0.deb"} : QStringList());
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
};

QTEST_MAIN(TestUpdateCheck)
#include "test_update_check.moc"
