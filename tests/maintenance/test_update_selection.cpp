// Release selection and the updater's texts: pure functions of the server's
// replies, checked table by table.
#include <QtTest>

#include "downloadbinary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressDialog>

namespace {

using D = DownloadBinary::IndexDecision;

// Names ending in ".exe" are listed for another platform.
QJsonArray index(const QStringList &names)
{
    QJsonArray a;
    for (const QString &n : names)
        a.append(QJsonObject{{"name", n},
                             {"arch", n.endsWith(".exe") ? "Windows/64" : DownloadBinary::platformArch()},
                             {"url", "https://u.example/f/" + n}});
    return a;
}

} // namespace

class TestUpdateSelection : public QObject
{
    Q_OBJECT
private slots:
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

QTEST_MAIN(TestUpdateSelection)
#include "test_update_selection.moc"
