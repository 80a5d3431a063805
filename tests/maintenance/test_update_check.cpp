// The start-up update check end to end against a local update server
// (python's http.server on 127.0.0.1, started and stopped here). Digests and
// the product folder name are computed by python, not by the code under test.
#include <QtTest>

#include "downloadbinary.h"
#include "http_singleton.h"
#include "zulog.h"

#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <functional>

namespace {

QString python()
{
    return QStandardPaths::findExecutable(QStringLiteral("python3"));
}

QString runPython(const QString &code, const QStringList &args = {})
{
    QProcess p;
    p.start(python(), QStringList{QStringLiteral("-c"), code} + args);
    if (!p.waitForFinished(10000))
        return QString();
    return QString::fromLatin1(p.readAllStandardOutput()).trimmed();
}

QString sha256Of(const QString &path)
{
    return runPython(QStringLiteral("import hashlib,sys;print(hashlib.sha256(open(sys.argv[1],'rb').read()).hexdigest())"),
                     {path});
}

quint16 freePort()
{
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        return 0;
    return s.serverPort();
}

bool waitForPort(quint16 port, QProcess *server)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        if (server && server->state() == QProcess::NotRunning)
            return false;
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(200))
            return true;
        QTest::qWait(50);
    }
    return false;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Answers the dialogs of the check as a person would, one step per dialog
// in the order they are expected. A modal dialog nobody expected is closed
// and recorded, so that no test ever waits for a person.
class DialogDriver : public QObject
{
public:
    using Step = std::function<bool(QWidget *)>;

    explicit DialogDriver(QList<Step> steps) : m_steps(std::move(steps))
    {
        connect(&m_timer, &QTimer::timeout, this, &DialogDriver::poll);
        m_timer.start(10);
    }

    QStringList unexpected;
    int remaining() const { return int(m_steps.size()); }

    static Step box(QMessageBox::StandardButton button, QString *text = nullptr, QString *details = nullptr)
    {
        return [=](QWidget *w) {
            auto *b = qobject_cast<QMessageBox *>(w);
            if (!b)
                return false;
            if (text)
                *text = b->text() + QLatin1Char('\n') + b->informativeText();
            if (details)
                *details = b->detailedText();
            later(b, [b, button] { b->button(button)->click(); });
            return true;
        };
    }
    static Step saveAs(const QString &path)
    {
        return [=](QWidget *w) {
            auto *d = qobject_cast<QFileDialog *>(w);
            if (!d)
                return false;
            later(d, [d, path] {
                // Typed by hand: selectFile() leaves a focused name field alone.
                auto *edit = d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                if (edit)
                    edit->setText(path);
                QMetaObject::invokeMethod(d, "accept");
            });
            return true;
        };
    }
    static Step cancelSave()
    {
        return [](QWidget *w) {
            auto *d = qobject_cast<QFileDialog *>(w);
            if (!d)
                return false;
            later(d, [d] { d->reject(); });
            return true;
        };
    }
    // Presses "Annuler" of the progress dialog once `ready` says so.
    static Step cancelProgress(std::function<bool()> ready)
    {
        return [=](QWidget *) {
            for (QWidget *t : QApplication::topLevelWidgets()) {

                auto *p = qobject_cast<QProgressDialog *>(t);
                if (p && p->isVisible() && ready()) {
                    auto *button = p->findChild<QPushButton *>();
                    if (!button || button->text() != QStringLiteral("Annuler"))
                        return false;
                    later(button, [button] { button->click(); });
                    return true;
                }
            }
            return false;
        };
    }

private:
    // Acts from a fresh timer: an action may open a nested dialog of its own
    // (the file dialog's overwrite question), which the polling timer could
    // not answer while it is still inside this call.
    static void later(QObject *target, std::function<void()> action)
    {
        QTimer::singleShot(0, target, std::move(action));
    }

    void poll()
    {
        QWidget *active = QApplication::activeModalWidget();
        if (active && active == m_lastHandled)
            return;
        if (!m_steps.isEmpty()) {
            if (m_steps.first()(active)) {
                m_steps.removeFirst();
                m_lastHandled = active;
            }
            return;
        }
        if (active && !qobject_cast<QProgressDialog *>(active)) {
            unexpected << QStringLiteral("%1: %2").arg(QString::fromLatin1(active->metaObject()->className()),
                                                         active->windowTitle());
            if (auto *d = qobject_cast<QDialog *>(active))
                d->reject();
            else
                active->close();
        }
    }

    QList<Step> m_steps;
    QPointer<QWidget> m_lastHandled;
    QTimer m_timer;
};

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void newerReleaseIsDownloadedVerifiedAndHandedOver();
    void digestMismatchKeepsNothing_data();
    void digestMismatchKeepsNothing();
    void unusableDigestDownloadsNothing_data();
    void unusableDigestDownloadsNothing();
    void noNewerRelease();
    void refusalsLetStartUpGoOn();
    void testBuildFollowsStableThenTesting();
    void unreachableOrUnsetServer();
    void missingProductFolder();
    void cancelDuringDownload();
    void desktopCannotOpenPackage();
    void untrustedCertificateIsRefused();

private:
    void setServerBase(const QString &base);
    QString productDir() const { return m_www + QStringLiteral("/zuapps/") + m_product; }
    // Publishes a package file and returns its URL and python's digest.
    QPair<QUrl, QString> publish(const QString &name, const QByteArray &content);
    void writeIndex(const QString &channel, const QJsonArray &entries, const QString &track = QStringLiteral("3.4"));
    static QJsonObject entry(const QString &name, const QString &arch, const QUrl &url, const QString &sha,
                             qint64 size = 0);
    QStringList filesIn(const QString &dir) const;

    QTemporaryDir m_tmp;
    QString m_www;
    QString m_out;
    QString m_product;
    quint16 m_port = 0;
    QProcess m_server;
    QList<QUrl> m_handedOver;
    bool m_openResult = true;
};

void TestUpdateCheck::initTestCase()
{
    QVERIFY2(!python().isEmpty(), "python3 is needed for the local update server");
    QVERIFY(m_tmp.isValid());
    m_www = m_tmp.filePath(QStringLiteral("www"));
    const QString prefix = runPython(QStringLiteral("import hashlib;print(hashlib.md5(b'ZUPLAYER').hexdigest()[:5])"));
    QCOMPARE(prefix.size(), 5);
    m_product = prefix + QStringLiteral("_ZUPLAYER");
    // Tracks around this build's own: the listing must lead to 3.4.
    for (const char *t : {"3.3", "3.4", "3.5", "latest"})
        QVERIFY(QDir().mkpath(productDir() + QLatin1Char('/') + QLatin1String(t)));

    m_port = freePort();
    QVERIFY(m_port);
    m_server.setProgram(python());
    m_server.setArguments({QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(m_port),
                           QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), m_www});
    m_server.setStandardOutputFile(QProcess::nullDevice());
    m_server.setStandardErrorFile(QProcess::nullDevice());
    m_server.start();
    QVERIFY(m_server.waitForStarted(5000));
    QVERIFY2(waitForPort(m_port, &m_server), "the local update server did not start");

    DownloadBinary::shellOpen() = [this](const QUrl &url) {
        m_handedOver << url;
        return m_openResult;
    };
}

void TestUpdateCheck::cleanupTestCase()
{
    DownloadBinary::shellOpen() = [](const QUrl &) { return false; };
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000)) {
            m_server.kill();
            m_server.waitForFinished(2000);
        }
    }
    Http_singleton::instance()->loadInstallationSettings(m_tmp.filePath(QStringLiteral("none.ini")));
}

void TestUpdateCheck::init()
{
    QDir(productDir() + QStringLiteral("/3.4")).removeRecursively();
    QDir(m_tmp.filePath(QStringLiteral("out"))).removeRecursively();
    m_out = m_tmp.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(m_out));
    QVERIFY(QDir().mkpath(productDir() + QStringLiteral("/3.4/STABLE")));
    m_handedOver.clear();
    m_openResult = true;
    setServerBase(QStringLiteral("http://127.0.0.1:%1/zuapps/").arg(m_port));
}

void TestUpdateCheck::cleanup()
{
    QVERIFY(!QApplication::activeModalWidget());
}

void TestUpdateCheck::setServerBase(const QString &base)
{
    // A new file each time: QSettings may keep serving a file it has read.
    static int serial = 0;
    const QString ini = m_tmp.filePath(QStringLiteral("zuplayer-%1.ini").arg(++serial));
    QVERIFY(writeFile(ini, "[servers]\nupdate=" + base.toUtf8() + "\n"));
    Http_singleton::instance()->loadInstallationSettings(ini);
    QCOMPARE(Http_singleton::instance()->updateBaseUrl(), base);
}

QPair<QUrl, QString> TestUpdateCheck::publish(const QString &name, const QByteArray &content)
{
    const QString path = m_www + QStringLiteral("/files/") + name;
    writeFile(path, content);
    return {QUrl(QStringLiteral("http://127.0.0.1:%1/files/%2").arg(m_port).arg(name)), sha256Of(path)};
}

QJsonObject TestUpdateCheck::entry(const QString &name, const QString &arch, const QUrl &url, const QString &sha,
                                   qint64 size)
{
    QJsonObject o{{"name", name}, {"arch", arch}, {"url", url.toString()}, {"sha256", sha}};
    if (size > 0)
        o.insert("size", size);
    return o;
}

void TestUpdateCheck::writeIndex(const QString &channel, const QJsonArray &entries, const QString &track)
{
    QVERIFY(writeFile(productDir() + QLatin1Char('/') + track + QLatin1Char('/') + channel + QStringLiteral("/index.json"),
                      QJsonDocument(entries).toJson()));
}

QStringList TestUpdateCheck::filesIn(const QString &dir) const
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

void TestUpdateCheck::newerReleaseIsDownloadedVerifiedAndHandedOver()
{
    const QByteArray content = QByteArray("package body ").repeated(40000);
    const auto pkg = publish(QStringLiteral("zuplayer-3.5.0.deb"), content);
    QVERIFY(writeFile(m_www + QStringLiteral("/files/notes.txt"), "Nouveautés de la 3.5.0"));
    // The digest as some servers list it: capitals, byte pairs with colons.
    QString listed;
    for (int i = 0; i < pkg.second.size(); i += 2)
        listed += (i ? ":" : "") + pkg.second.mid(i, 2).toUpper();
    writeIndex("STABLE",
               {entry("zuplayer-3.9.0.exe", "Windows/64", pkg.first, pkg.second),
                entry("zuplayer-3.5.0.deb", DownloadBinary::platformArch(), pkg.first, listed, content.size()),
                QJsonObject{{"type", "changelog"},
                            {"url", QStringLiteral("http://127.0.0.1:%1/files/notes.txt").arg(m_port)}}});

    const QString target = m_out + QStringLiteral("/zuplayer-3.5.0.deb");
    QString prompt, details;
    DialogDriver driver({DialogDriver::box(QMessageBox::Yes, &prompt, &details), DialogDriver::saveAs(target)});
    DownloadBinary updater("3.4.3", nullptr);
    updater.setQuitAfterInstallerLaunch(false);
    QSignalSpy available(&updater, &DownloadBinary::updateAvailable);
    QSignalSpy started(&updater, &DownloadBinary::updateCheckStarted);
    QSignalSpy finished(&updater, &DownloadBinary::downloadFinished);

    QCOMPARE(updater.checkForUpdates(true), false);
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
    QCOMPARE(driver.remaining(), 0);

    QCOMPARE(started.size(), 2);
    QCOMPARE(started[0][0].toUrl().path(), QStringLiteral("/zuapps/%1/").arg(m_product));
    QCOMPARE(started[1][0].toUrl().path(), QStringLiteral("/zuapps/%1/3.4/STABLE/index.json").arg(m_product));
    QCOMPARE(available.size(), 1);
    QCOMPARE(available[0][1].value<QVersionNumber>(), QVersionNumber(3, 5, 0));
    QVERIFY2(prompt.contains(QStringLiteral("Version actuelle : 3.4.3\nVersion disponible : 3.5.0 (STABLE)")),
             qPrintable(prompt));
    QVERIFY(prompt.contains(QStringLiteral("Fichier : zuplayer-3.5.0.deb")));
    QVERIFY(prompt.contains(QStringLiteral("Taille : ") + DownloadBinary::formatSize(content.size())));
    QVERIFY(prompt.contains(QStringLiteral("Plateforme : ") + DownloadBinary::platformArch()));
    QVERIFY(prompt.contains(QStringLiteral("Télécharger et installer maintenant ?")));
    QCOMPARE(details, QStringLiteral("Nouveautés de la 3.5.0\nSHA-256 : ") + listed);

    QCOMPARE(finished.size(), 1);
    QCOMPARE(m_handedOver, QList<QUrl>{QUrl::fromLocalFile(target)});
    QCOMPARE(readFile(target), content);
    QCOMPARE(filesIn(m_out), QStringList{QStringLiteral("zuplayer-3.5.0.deb")});
}

void TestUpdateCheck::digestMismatchKeepsNothing_data()
{
    QTest::addColumn<bool>("existing");
    QTest::newRow("new file") << false;
    QTest::newRow("file of that name exists") << true;
}

void TestUpdateCheck::digestMismatchKeepsNothing()
{
    QFETCH(bool, existing);
    const QByteArray content = QByteArray("tampered ").repeated(5000);
    const auto pkg = publish(QStringLiteral("zuplayer-3.5.0.deb"), content);
    const auto other = publish(QStringLiteral("other.bin"), "what the index was made for");
    writeIndex("STABLE", {entry("zuplayer-3.5.0.deb", DownloadBinary::platformArch(), pkg.first, other.second)});

    const QString target = m_out + QStringLiteral("/zuplayer-3.5.0.deb");
    QList<DialogDriver::Step> steps{DialogDriver::box(QMessageBox::Yes), DialogDriver::saveAs(target)};
    if (existing) {
        QVERIFY(writeFile(target, "the package from last time"));
        steps << DialogDriver::box(QMessageBox::Yes); // replace it? yes
    }
    DialogDriver driver(steps);
    DownloadBinary updater("3.4.3", nullptr);
    updater.setQuitAfterInstallerLaunch(false);
    QSignalSpy verification(&updater, &DownloadBinary::verificationFailed);

    QCOMPARE(updater.checkForUpdates(true), true);
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
    QCOMPARE(driver.remaining(), 0);
    QCOMPARE(verification.size(), 1);
    QCOMPARE(verification[0][0].toString(), other.second);
    QCOMPARE(verification[0][1].toString(), pkg.second);
    QVERIFY(m_handedOver.isEmpty());
    if (existing) {
        QCOMPARE(filesIn(m_out), QStringList{QStringLiteral("zuplayer-3.5.0.deb")});
        QCOMPARE(readFile(target), QByteArray("the package from last time"));
    } else {
        QCOMPARE(filesIn(m_out), QStringList());
    }
}

void TestUpdateCheck::unusableDigestDownloadsNothing_data()
{
    QTest::addColumn<QString>("digest");
    QTest::newRow("empty") << QString();
    QTest::newRow("blank") << QStringLiteral("   ");
    QTest::newRow("malformed") << QStringLiteral("not-a-digest");
    QTest::newRow("truncated") << QStringLiteral("abcdef0123456789");
}

void TestUpdateCheck::unusableDigestDownloadsNothing()
{
    QFETCH(QString, digest);
    const auto pkg = publish(QStringLiteral("zuplayer-3.5.0.deb"), "body");
    writeIndex("STABLE", {entry("zuplayer-3.5.0.deb", DownloadBinary::platformArch(), pkg.first, digest)});
    // The offer is made; the package is refused before anything is fetched
    // or written, so no save dialog follows the Yes.
    DialogDriver driver({DialogDriver::box(QMessageBox::Yes)});
    DownloadBinary updater("3.4.3", nullptr);
    updater.setQuitAfterInstallerLaunch(false);
    QSignalSpy verification(&updater, &DownloadBinary::verificationFailed);
    QSignalSpy downloads(&updater, &DownloadBinary::downloadStarted);

    QCOMPARE(updater.checkForUpdates(true), true);
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
    QCOMPARE(driver.remaining(), 0);
    QCOMPARE(verification.size(), 1);
    QCOMPARE(downloads.size(), 0);
    QVERIFY(m_handedOver.isEmpty());
    QCOMPARE(filesIn(m_out), QStringList());

    // Without a prompt (the non-interactive road) the same holds.
    DownloadBinary quiet("3.4.3", nullptr);
    QSignalSpy quietVerification(&quiet, &DownloadBinary::verificationFailed);
    QCOMPARE(quiet.checkForUpdates(false), true);
    QCOMPARE(quietVerification.size(), 1);
    QVERIFY(m_handedOver.isEmpty());
}

void TestUpdateCheck::noNewerRelease()
{
    const auto same = publish(QStringLiteral("zuplayer-3.4.3.deb"), "same");
    const auto win = publish(QStringLiteral("zuplayer-3.9.0.exe"), "windows");
    // A newer release exists, but only for another platform.
    writeIndex("STABLE", {entry("zuplayer-3.9.0.exe", "Windows/64", win.first, win.second),
                          entry("zuplayer-3.4.3.deb", DownloadBinary::platformArch(), same.first, same.second)});
    writeIndex("TESTING", {entry("zuplayer-3.5.0.deb", DownloadBinary::platformArch(), same.first, same.second)});
    DialogDriver driver({});
    DownloadBinary updater("3.4.3", nullptr);
    QSignalSpy none(&updater, &DownloadBinary::noUpdateAvailable);
    QSignalSpy started(&updater, &DownloadBinary::updateCheckStarted);

    QCOMPARE(updater.checkForUpdates(true), true);
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
    QCOMPARE(none.size(), 1);
    QCOMPARE(started.size(), 2); // a release build never looks at TESTING
    QVERIFY(m_handedOver.isEmpty());
}

void TestUpdateCheck::refusalsLetStartUpGoOn()
{
    const auto pkg = publish(QStringLiteral("zuplayer-3.5.0.deb"), "body");
    writeIndex("STABLE", {entry("zuplayer-3.5.0.deb", DownloadBinary::platformArch(), pkg.first, pkg.second)});
    {
        DialogDriver driver({DialogDriver::box(QMessageBox::No)});
        DownloadBinary updater("3.4.3", nullptr);
        QSignalSpy downloads(&updater, &DownloadBinary::downloadStarted);
        QCOMPARE(updater.checkForUpdates(true), true);
        QCOMPARE(driver.remaining(), 0);
        QCOMPARE(downloads.size(), 0);
    }
    {
        DialogDriver driver({DialogDriver::box(QMessageBox::Yes), DialogDriver::cancelSave()});
        DownloadBinary updater("3.4.3", nullptr);
        QSignalSpy failed(&updater, &DownloadBinary::downloadFailed);
        QCOMPARE(updater.checkForUpdates(true), true);
        QCOMPARE(driver.remaining(), 0);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].toString(), QStringLiteral("Opération annulée par l’utilisateur."));
        QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
    }
    QVERIFY(m_handedOver.isEmpty());
    QCOMPARE(filesIn(m_out), QStringList());
}

void TestUpdateCheck::testBuildFollowsStableThenTesting()
{
    const auto older = publish(QStringLiteral("zuplayer-3.4.2.deb"), "older");
    const auto laterBuild = publish(QStringLiteral("zuplayer-3.4.3.DEV202402011200.deb"), "later build");
    writeIndex("STABLE", {entry("zuplayer-3.4.2.deb", DownloadBinary::platformArch(), older.first, older.second)});
    writeIndex("TESTING", {entry("zuplayer-3.4.3.DEV202402011200.deb", DownloadBinary::platformArch(), laterBuild.first,
                                 laterBuild.second)});
    QString prompt;
    DialogDriver driver({DialogDriver::box(QMessageBox::No, &prompt)});
    DownloadBinary updater("3.4.3.DEV202401011200", nullptr);
    QSignalSpy started(&updater, &DownloadBinary::updateCheckStarted);
    QSignalSpy available(&updater, &DownloadBinary::updateAvailable);

    QCOMPARE(updater.checkForUpdates(true), true);
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
    QCOMPARE(started.size(), 3);
    QVERIFY(started[1][0].toUrl().path().endsWith(QStringLiteral("/3.4/STABLE/index.json")));
    QVERIFY(started[2][0].toUrl().path().endsWith(QStringLiteral("/3.4/TESTING/index.json")));
    QCOMPARE(available.size(), 1);
    QCOMPARE(available[0][3].toUrl(), laterBuild.first);
    QVERIFY2(prompt.contains(QStringLiteral("Version actuelle : 3.4.3 (TESTING, ")), qPrintable(prompt));
    QVERIFY2(prompt.contains(QStringLiteral("Version disponible : 3.4.3 (TESTING, ")), qPrintable(prompt));

    // Nothing newer on TESTING either: no update, and TESTING asked once.
    writeIndex("TESTING", {entry("zuplayer-3.4.2.deb", DownloadBinary::platformArch(), older.first, older.second)});
    DownloadBinary again("3.4.3.DEV202401011200", nullptr);
    QSignalSpy againStarted(&again, &DownloadBinary::updateCheckStarted);
    QSignalSpy none(&again, &DownloadBinary::noUpdateAvailable);
    QCOMPARE(again.checkForUpdates(true), true);
    QCOMPARE(againStarted.size(), 3);
    QCOMPARE(none.size(), 1);
}

void TestUpdateCheck::unreachableOrUnsetServer()
{
    DialogDriver driver({});
    {
        // Nothing listens on this port: the connection is refused at once.
        setServerBase(QStringLiteral("http://127.0.0.1:%1/zuapps/").arg(freePort()));
        DownloadBinary updater("3.4.3", nullptr);
        QSignalSpy failed(&updater, &DownloadBinary::updateCheckFailed);
        QElapsedTimer t;
        t.start();
        QCOMPARE(updater.checkForUpdates(true), true);
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(failed.size(), 1);
    }
    {
        setServerBase(QString());
        DownloadBinary updater("3.4.3", nullptr);
        QSignalSpy started(&updater, &DownloadBinary::updateCheckStarted);
        QElapsedTimer t;
        t.start();
        QCOMPARE(updater.checkForUpdates(true), true);
        QVERIFY(t.elapsed() < 1000);
        QCOMPARE(started.size(), 0);
    }
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
}

void TestUpdateCheck::missingProductFolder()
{
    setServerBase(QStringLiteral("http://127.0.0.1:%1/elsewhere/").arg(m_port));
    DialogDriver driver({});
    DownloadBinary updater("3.4.3", nullptr);
    QSignalSpy failed(&updater, &DownloadBinary::updateCheckFailed);
    QCOMPARE(updater.checkForUpdates(true), true);
    QCOMPARE(failed.size(), 1);
    QVERIFY(!failed[0][0].toString().isEmpty());
    QVERIFY(driver.unexpected.isEmpty());
}

void TestUpdateCheck::cancelDuringDownload()
{
    // A slow package server: it announces a large package and sends it in
    // small pieces, so that the download is still running when "Annuler" is
    // pressed. It stops sending after a few seconds whatever happens.
    QTcpServer slow;
    QVERIFY(slow.listen(QHostAddress::LocalHost, 0));
    QList<QPointer<QTcpSocket>> clients;
    connect(&slow, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *c = slow.nextPendingConnection()) {
            connect(c, &QTcpSocket::readyRead, c, [c, &clients] {
                if (!c->readAll().contains("\r\n\r\n"))
                    return;
                c->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         "Content-Length: 104857600\r\n\r\n");
                clients << c;
            });
        }
    });
    QTimer trickle;
    int pieces = 0;
    connect(&trickle, &QTimer::timeout, this, [&] {
        if (++pieces > 50)
            return;
        for (const QPointer<QTcpSocket> &c : clients)
            if (c)
                c->write(QByteArray(64 * 1024, 'x'));
    });
    trickle.start(100);
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/zuplayer-3.5.0.deb").arg(slow.serverPort()));
    writeIndex("STABLE", {entry("zuplayer-3.5.0.deb", DownloadBinary::platformArch(), url, QString(64, 'a'))});

    const QString target = m_out + QStringLiteral("/zuplayer-3.5.0.deb");
    DownloadBinary updater("3.4.3", nullptr);
    updater.setQuitAfterInstallerLaunch(false);
    QSignalSpy progress(&updater, &DownloadBinary::downloadProgress);
    QSignalSpy failed(&updater, &DownloadBinary::downloadFailed);
    DialogDriver driver({DialogDriver::box(QMessageBox::Yes), DialogDriver::saveAs(target),
                         DialogDriver::cancelProgress([&] {
                             return !progress.isEmpty() && progress.last()[0].toLongLong() > 0;
                         })});

    QCOMPARE(updater.checkForUpdates(true), true);
    QVERIFY2(driver.unexpected.isEmpty(), qPrintable(driver.unexpected.join("; ")));
    QCOMPARE(driver.remaining(), 0);
    QVERIFY(progress.last()[0].toLongLong() > 0);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed[0][0].toString(), QStringLiteral("Téléchargement annulé."));
    QVERIFY(!updater.currentProgressDialog());
    QVERIFY(m_handedOver.isEmpty());
    QCOMPARE(filesIn(m_out), QStringList());
}

void TestUpdateCheck::desktopCannotOpenPackage()
{
    const auto pkg = publish(QStringLiteral("zuplayer-3.5.0.tar.gz"), "archive");
    writeIndex("STABLE", {entry("zuplayer-3.5.0.tar.gz", DownloadBinary::platformArch(), pkg.first, pkg.second)});
    m_openResult = false;
    const QString target = m_out + QStringLiteral("/zuplayer-3.5.0.tar.gz");
    DialogDriver driver({DialogDriver::box(QMessageBox::Yes), DialogDriver::saveAs(target)});
    DownloadBinary updater("3.4.3", nullptr);
    updater.setQuitAfterInstallerLaunch(false);
    QSignalSpy launchFailed(&updater, &DownloadBinary::installerLaunchFailed);

    // The verified package stays, but the player starts since nothing took it.
    QCOMPARE(updater.checkForUpdates(true), true);
    QCOMPARE(driver.remaining(), 0);
    QCOMPARE(m_handedOver.size(), 1);
    QCOMPARE(launchFailed.size(), 1);
    QCOMPARE(launchFailed[0][0].toString(), QStringLiteral("Impossible d’ouvrir le fichier téléchargé."));
    QCOMPARE(readFile(target), QByteArray("archive"));
}

void TestUpdateCheck::untrustedCertificateIsRefused()
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        QSKIP("openssl is needed to make the test certificate");
    const QString cert = m_tmp.filePath(QStringLiteral("cert.pem"));
    const QString key = m_tmp.filePath(QStringLiteral("key.pem"));
    QProcess gen;
    gen.start(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                        "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1"});
    QVERIFY(gen.waitForFinished(20000));
    QCOMPARE(gen.exitCode(), 0);

    const quint16 port = freePort();
    QProcess tls;
    tls.setProgram(python());
    tls.setArguments({"-c",
                      "import http.server,ssl,sys\n"
                      "h=http.server.HTTPServer(('127.0.0.1',int(sys.argv[1])),http.server.SimpleHTTPRequestHandler)\n"
                      "c=ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER);c.load_cert_chain(sys.argv[2],sys.argv[3])\n"
                      "h.socket=c.wrap_socket(h.socket,server_side=True)\n"
                      "h.serve_forever()\n",
                      QString::number(port), cert, key});
    tls.setWorkingDirectory(m_www);
    tls.setStandardOutputFile(QProcess::nullDevice());
    tls.setStandardErrorFile(QProcess::nullDevice());
    tls.start();
    QVERIFY(tls.waitForStarted(5000));
    QVERIFY(waitForPort(port, &tls));

    {
        setServerBase(QStringLiteral("https://127.0.0.1:%1/zuapps/").arg(port));
        DialogDriver driver({});
        DownloadBinary updater("3.4.3", nullptr);
        QSignalSpy failed(&updater, &DownloadBinary::updateCheckFailed);
        QSignalSpy started(&updater, &DownloadBinary::updateCheckStarted);
        QCOMPARE(updater.checkForUpdates(true), true);
        QCOMPARE(failed.size(), 1);
        QVERIFY2(failed[0][0].toString().startsWith(QStringLiteral("Erreur SSL: ")),
                 qPrintable(failed[0][0].toString()));
        QCOMPARE(started.size(), 1); // the listing was never read
        QVERIFY(driver.unexpected.isEmpty());
    }

    // A package on the untrusted server, listed by a good index: the download
    // fails once with the certificate error and leaves nothing behind.
    setServerBase(QStringLiteral("http://127.0.0.1:%1/zuapps/").arg(m_port));
    const auto pkg = publish(QStringLiteral("zuplayer-3.5.0.deb"), "body");
    const QUrl tlsUrl(QStringLiteral("https://127.0.0.1:%1/files/zuplayer-3.5.0.deb").arg(port));
    writeIndex("STABLE", {entry("zuplayer-3.5.0.deb", DownloadBinary::platformArch(), tlsUrl, pkg.second)});
    DialogDriver downloadDriver(
        {DialogDriver::box(QMessageBox::Yes), DialogDriver::saveAs(m_out + QStringLiteral("/zuplayer-3.5.0.deb"))});
    DownloadBinary downloader("3.4.3", nullptr);
    downloader.setQuitAfterInstallerLaunch(false);
    QSignalSpy downloadFailed(&downloader, &DownloadBinary::downloadFailed);
    QSignalSpy finished(&downloader, &DownloadBinary::downloadFinished);
    QCOMPARE(downloader.checkForUpdates(true), true);
    QCOMPARE(downloadDriver.remaining(), 0);
    QCOMPARE(downloadFailed.size(), 1);
    QVERIFY2(downloadFailed[0][0].toString().startsWith(QStringLiteral("Erreur SSL: ")),
             qPrintable(downloadFailed[0][0].toString()));
    QCOMPARE(finished.size(), 0);
    QVERIFY(!downloader.currentProgressDialog());
    QVERIFY(m_handedOver.isEmpty());
    QCOMPARE(filesIn(m_out), QStringList());

    tls.terminate();
    if (!tls.waitForFinished(5000))
        tls.kill();
}

int main(int argc, char **argv)
{
    // Widget dialogs in every environment, so that the test answers them.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    // The download folder and every per-user file live in a folder of the test.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toLocal8Bit());
    QApplication app(argc, argv);
    // The updater's log lines go to the test output, next to any failure.
    setLevelValue(1);
    TestUpdateCheck test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_update_check.moc"
