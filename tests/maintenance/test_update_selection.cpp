// Release selection, version keys and the updater's texts: pure functions,
// checked case by case against the rules the update server relies on.
#include <QtTest>

#include "downloadbinary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressDialog>

namespace {

const QString kArch = DownloadBinary::platformArch();

QJsonObject entry(const QString &name, const QString &arch, const QString &url = QString(),
                  const QString &sha = QString(), const QString &id = QString())
{
    QJsonObject o{{QStringLiteral("name"), name},
                  {QStringLiteral("arch"), arch},
                  {QStringLiteral("url"), url.isNull() ? QStringLiteral("https://u.example/f/") + name : url},
                  {QStringLiteral("sha256"), sha}};
    if (!id.isEmpty())
        o.insert(QStringLiteral("id"), id);
    return o;
}

QByteArray body(const QJsonArray &a)
{
    return QJsonDocument(a).toJson();
}

UpdateAsset asset(const QString &name, const QString &arch = kArch, const QString &id = QString())
{
    const QList<UpdateAsset> l = DownloadBinary::parseAssets(body({entry(name, arch, QString(), QString(), id)}));
    return l.value(0);
}

const QByteArray kListing34 = "<ul><li><a href=\"3.4/\">3.4/</a></li></ul>";

} // namespace

class TestUpdateSelection : public QObject
{
    Q_OBJECT
private slots:
    void versionTexts_data();
    void versionTexts();
    void currentTrack();
    void trackListing();
    void chooseTrack_data();
    void chooseTrack();
    void notesUrl();
    void assetParsing();
    void assetVersion_data();
    void assetVersion();
    void scoreTable_data();
    void scoreTable();
    void chooseAsset();
    void compareAssets_data();
    void compareAssets();
    void digestForms_data();
    void digestForms();
    void releaseDecisionReleaseBuild();
    void releaseDecisionTestBuild();
    void formatSize_data();
    void formatSize();
    void formatDuration_data();
    void formatDuration();
    void devStampText();
    void progressDialog();
};

void TestUpdateSelection::versionTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("version");
    QTest::addColumn<qint64>("stamp");
    QTest::newRow("release") << "3.4.3" << "3.4.3" << qint64(-1);
    QTest::newRow("dev build") << "3.4.3.DEV202401021530" << "3.4.3" << qint64(202401021530);
    QTest::newRow("fourth segment") << "3.4.3.7" << "3.4.3" << qint64(-1);
    QTest::newRow("other suffix") << "3.4.3-rc1" << "3.4.3" << qint64(-1);
    QTest::newRow("one segment") << "3" << "3" << qint64(-1);
    QTest::newRow("short stamp") << "3.4.3.DEV2024" << "3.4.3" << qint64(-1);
    QTest::newRow("no digits") << "abc" << "" << qint64(-1);
}

void TestUpdateSelection::versionTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, version);
    QFETCH(qint64, stamp);
    QCOMPARE(DownloadBinary::normalizeVersion(text).toString(), version);
    QCOMPARE(DownloadBinary::parseDevStamp(text), stamp);
}

void TestUpdateSelection::currentTrack()
{
    QCOMPARE(DownloadBinary::currentTrack(QVersionNumber(3, 4, 3)), QStringLiteral("3.4"));
    QCOMPARE(DownloadBinary::currentTrack(QVersionNumber(3)), QStringLiteral("3.0"));
    QCOMPARE(DownloadBinary::currentTrack(QVersionNumber()), QStringLiteral("0.0"));
}

void TestUpdateSelection::trackListing()
{
    // A web server's directory index: the href and the text of each link
    // name the same track, which must count once.
    const QByteArray html = "<ul><li><a href=\"3.10/\">3.10/</a></li><li><a href='3.4/'>3.4/</a></li>"
                            "<li><a href=\"latest/\">latest/</a></li><li><a href=\"3.4.1/\">3.4.1/</a></li>"
                            "<li><A HREF=\"3.9/\">3.9/</A></li></ul>";
    QCOMPARE(DownloadBinary::sortedTracks(html), (QStringList{"3.4", "3.9", "3.10"}));
    // An object-store listing.
    const QByteArray xml = "<ListBucketResult><Contents><Key>3.5/</Key></Contents>"
                           "<Contents><Key>3.3/</Key></Contents><Contents><Key>x/</Key></Contents></ListBucketResult>";
    QCOMPARE(DownloadBinary::sortedTracks(xml), (QStringList{"3.3", "3.5"}));
    QCOMPARE(DownloadBinary::sortedTracks(QByteArray()), QStringList());
    QCOMPARE(DownloadBinary::filterTrackNames({"3.4", "latest", "3.4.1", "10.0", "3."}), (QStringList{"3.4", "10.0"}));
    QVERIFY(DownloadBinary::compareTrackVersions("3.9", "3.10"));
    QVERIFY(!DownloadBinary::compareTrackVersions("3.10", "3.9"));
    QVERIFY(!DownloadBinary::compareTrackVersions("3.4", "3.4"));
}

void TestUpdateSelection::chooseTrack_data()
{
    QTest::addColumn<QStringList>("tracks");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("own track listed") << QStringList{"3.3", "3.4", "3.5"} << "3.4" << "3.4";
    QTest::newRow("nearest lower") << QStringList{"3.2", "3.5"} << "3.4" << "3.2";
    QTest::newRow("only higher: highest") << QStringList{"3.5", "4.0"} << "3.4" << "4.0";
    QTest::newRow("empty listing") << QStringList{} << "3.4" << "3.4";
    QTest::newRow("numeric order") << QStringList{"3.2", "3.3", "3.10"} << "3.4" << "3.3";
    QTest::newRow("higher minor") << QStringList{"3.3", "3.10"} << "3.12" << "3.10";
}

void TestUpdateSelection::chooseTrack()
{
    QFETCH(QStringList, tracks);
    QFETCH(QString, wanted);
    QFETCH(QString, chosen);
    QCOMPARE(DownloadBinary::chooseTrack(tracks, wanted), chosen);
}

void TestUpdateSelection::notesUrl()
{
    const QJsonArray a{entry("zuplayer-3.5.0.deb", kArch),
                       QJsonObject{{"type", "ChangeLog"}, {"url", "https://u.example/notes.txt"}},
                       QJsonObject{{"name", "CHANGELOG.md"}, {"url", "https://u.example/other.md"}}};
    QCOMPARE(DownloadBinary::parseNotesUrl(body(a)), QUrl("https://u.example/notes.txt"));
    const QJsonArray byName{QJsonObject{{"name", "changelog.MD"}, {"url", "https://u.example/c.md"}}};
    QCOMPARE(DownloadBinary::parseNotesUrl(body(byName)), QUrl("https://u.example/c.md"));
    QVERIFY(!DownloadBinary::parseNotesUrl(body({entry("x.deb", kArch)})).isValid());
    QVERIFY(!DownloadBinary::parseNotesUrl(QJsonDocument(QJsonObject{{"type", "changelog"}, {"url", "https://a/b"}}).toJson()).isValid());
    QVERIFY(!DownloadBinary::parseNotesUrl("not json").isValid());
}

void TestUpdateSelection::assetParsing()
{
    QJsonObject sized = entry("zuplayer-3.5.0.deb", kArch);
    sized.insert("size", "123456");
    QJsonObject negative = entry("zuplayer-3.5.0.tar.gz", kArch);
    negative.insert("size", -5);
    QJsonObject numeric = entry("zuplayer-3.5.0.zip", kArch);
    numeric.insert("size", 4096);
    const QJsonArray a{sized, 42, "text", entry("nourl.deb", kArch, ""), negative, numeric};
    const QList<UpdateAsset> l = DownloadBinary::parseAssets(body(a));
    QCOMPARE(l.size(), 3);
    QCOMPARE(l[0].size, qint64(123456));
    QCOMPARE(l[0].suffix, QStringLiteral("deb"));
    QCOMPARE(l[1].size, qint64(0));
    QCOMPARE(l[1].suffix, QStringLiteral("tar.gz"));
    QCOMPARE(l[2].size, qint64(4096));
    QCOMPARE(DownloadBinary::packageSuffix("ZuPlayer-3.5.0-x86_64.AppImage"), QStringLiteral("appimage"));

    // One package as a single object: no platform label, suffix from the URL.
    const QJsonObject single{{"url", "https://u.example/p/zuplayer%203.5.0.TGZ"},
                             {"version", "3.5.0.DEV202501011200"},
                             {"sha256", "ab"}};
    const QList<UpdateAsset> s = DownloadBinary::parseAssets(QJsonDocument(single).toJson());
    QCOMPARE(s.size(), 1);
    QCOMPARE(s[0].suffix, QStringLiteral("tgz"));
    QCOMPARE(s[0].versionNumber, QVersionNumber(3, 5, 0));
    QCOMPARE(s[0].devStamp, qint64(202501011200));
    QVERIFY(s[0].arch.isEmpty());

    QVERIFY(DownloadBinary::parseAssets("{broken").isEmpty());
    QVERIFY(DownloadBinary::parseAssets("").isEmpty());
    QVERIFY(DownloadBinary::parseAssets("[]").isEmpty());
}

void TestUpdateSelection::assetVersion_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("number");
    QTest::addColumn<qint64>("stamp");
    QTest::newRow("name with stamp") << "zuplayer-3.5.0.DEV202501021530.deb" << "" << "3.5.0.DEV202501021530"
                                     << "3.5.0" << qint64(202501021530);
    QTest::newRow("version from id") << "zuplayer.deb" << "pkg-3.5.1" << "3.5.1" << "3.5.1" << qint64(-1);
    QTest::newRow("stamp from id") << "zuplayer-3.5.0.deb" << "3.5.0.DEV202502010000" << "3.5.0" << "3.5.0"
                                   << qint64(202502010000);
    QTest::newRow("none") << "zuplayer.deb" << "" << "" << "" << qint64(-1);
}

void TestUpdateSelection::assetVersion()
{
    QFETCH(QString, name);
    QFETCH(QString, id);
    QFETCH(QString, version);
    QFETCH(QString, number);
    QFETCH(qint64, stamp);
    const UpdateAsset a = asset(name, kArch, id);
    QCOMPARE(a.version, version);
    QCOMPARE(a.versionNumber.toString(), number);
    QCOMPARE(a.devStamp, stamp);
}

void TestUpdateSelection::scoreTable_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("plain");
    QTest::addColumn<int>("zipNotBin");
    QTest::addColumn<int>("zipInBin");
    QTest::newRow("deb") << "zuplayer-3.5.0.deb" << 2 << 1 << 1;
    QTest::newRow("AppImage") << "ZuPlayer-3.5.0.AppImage" << 2 << 1 << 1;
    QTest::newRow("zip") << "zuplayer-3.5.0.zip" << 1 << 2 << 2;
    QTest::newRow("tar.gz") << "zuplayer-3.5.0.tar.gz" << 1 << 2 << 2;
    QTest::newRow("tgz") << "zuplayer-3.5.0.tgz" << 1 << 2 << 2;
    QTest::newRow("launcher zip") << "zuplayer-Launcher-3.5.0.zip" << 0 << 0 << 3;
    QTest::newRow("launcher tar.xz") << "zuplayer-launcher-3.5.0.tar.xz" << 0 << 0 << 3;
    QTest::newRow("bare gz") << "zuplayer-3.5.0.gz" << 0 << 0 << 0;
    QTest::newRow("rpm") << "zuplayer-3.5.0.rpm" << 0 << 0 << 0;
    QTest::newRow("exe") << "zuplayer-3.5.0.exe" << 0 << 0 << 0;
}

void TestUpdateSelection::scoreTable()
{
    QFETCH(QString, name);
    QFETCH(int, plain);
    QFETCH(int, zipNotBin);
    QFETCH(int, zipInBin);
    const UpdateAsset a = asset(name);
    QCOMPARE(DownloadBinary::assetScore(false, false, a), plain);
    QCOMPARE(DownloadBinary::assetScore(false, true, a), plain);
    QCOMPARE(DownloadBinary::assetScore(true, false, a), zipNotBin);
    QCOMPARE(DownloadBinary::assetScore(true, true, a), zipInBin);
    // "launcher" in the id counts like in the name.
    if (name.endsWith(".zip") && !name.contains("auncher")) {
        const UpdateAsset viaId = asset(name, kArch, "launcher-bundle");
        QCOMPARE(DownloadBinary::assetScore(true, true, viaId), 3);
    }
}

void TestUpdateSelection::chooseAsset()
{
    const auto pick = [](const QJsonArray &a, bool preferZip, bool inBin = false) {
        return DownloadBinary::chooseAsset(DownloadBinary::parseAssets(body(a)), kArch, preferZip, inBin).name;
    };
    const QJsonArray debAndZip{entry("zuplayer-3.5.0.zip", kArch), entry("zuplayer-3.5.0.deb", kArch)};
    QCOMPARE(pick(debAndZip, false), QStringLiteral("zuplayer-3.5.0.deb"));
    QCOMPARE(pick(debAndZip, true), QStringLiteral("zuplayer-3.5.0.zip"));
    // Equal scores: the higher version key, then the earlier entry.
    QCOMPARE(pick({entry("zuplayer-3.5.0.deb", kArch), entry("zuplayer-3.5.1.deb", kArch)}, false),
             QStringLiteral("zuplayer-3.5.1.deb"));
    QCOMPARE(pick({entry("zuplayer-3.5.0.deb", kArch), entry("zuplayer-3.5.0.DEV202501010000.deb", kArch)}, false),
             QStringLiteral("zuplayer-3.5.0.DEV202501010000.deb"));
    QCOMPARE(pick({entry("a-3.5.0.deb", kArch), entry("b-3.5.0.AppImage", kArch)}, false), QStringLiteral("a-3.5.0.deb"));
    // The platform label decides, in any case; other platforms never count.
    QCOMPARE(pick({entry("zuplayer-3.9.0.exe", "Windows/64"), entry("zuplayer-3.5.0.deb", kArch.toUpper())}, false),
             QStringLiteral("zuplayer-3.5.0.deb"));
    const UpdateAsset none = DownloadBinary::chooseAsset(
        DownloadBinary::parseAssets(body({entry("zuplayer-3.9.0.exe", "Windows/64")})), kArch, false, false);
    QVERIFY(!none.url.isValid());
    QCOMPARE(none.devStamp, qint64(-1));
    // The launcher archive only for an installation in a bin folder that prefers archives.
    const QJsonArray launcher{entry("zuplayer-3.5.0.zip", kArch), entry("zuplayer-launcher-3.5.0.zip", kArch)};
    QCOMPARE(pick(launcher, true, true), QStringLiteral("zuplayer-launcher-3.5.0.zip"));
    QCOMPARE(pick(launcher, true, false), QStringLiteral("zuplayer-3.5.0.zip"));
}

void TestUpdateSelection::compareAssets_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("result");
    QTest::newRow("higher number") << "3.5.0" << "3.4.9" << 1;
    QTest::newRow("lower number") << "3.4.9" << "3.5.0" << -1;
    QTest::newRow("equal releases") << "3.4.3" << "3.4.3" << 0;
    QTest::newRow("stamp above release") << "3.4.3.DEV202401010000" << "3.4.3" << 1;
    QTest::newRow("release below stamp") << "3.4.3" << "3.4.3.DEV202401010000" << -1;
    QTest::newRow("later stamp") << "3.4.3.DEV202402010000" << "3.4.3.DEV202401010000" << 1;
    QTest::newRow("number beats stamp") << "3.4.4" << "3.4.3.DEV209912312359" << 1;
}

void TestUpdateSelection::compareAssets()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, result);
    QCOMPARE(DownloadBinary::compareAssets(DownloadBinary::normalizeVersion(a), DownloadBinary::parseDevStamp(a),
                                           DownloadBinary::normalizeVersion(b), DownloadBinary::parseDevStamp(b)),
             result);
}

void TestUpdateSelection::digestForms_data()
{
    const QString hex = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    QString colons;
    for (int i = 0; i < hex.size(); i += 2)
        colons += (i ? ":" : "") + hex.mid(i, 2).toUpper();
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << hex << true;
    QTest::newRow("capitals with colons") << colons << true;
    QTest::newRow("spaces") << QString(hex).insert(32, "  ") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("short") << hex.left(63) << false;
    QTest::newRow("long") << hex + "0" << false;
    QTest::newRow("not hex") << QString(hex).replace(0, 1, "g") << false;
    QTest::newRow("md5 sized") << hex.left(32) << false;
}

void TestUpdateSelection::digestForms()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QString normalized;
    QCOMPARE(DownloadBinary::normalizeSha256(text, &normalized), valid);
    if (valid)
        QCOMPARE(normalized, QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"));
    else
        QVERIFY(normalized.isEmpty());
}

void TestUpdateSelection::releaseDecisionReleaseBuild()
{
    using D = DownloadBinary::IndexDecision;
    const auto decide = [](const QJsonArray &a, bool ok = true) {
        DownloadBinary u("3.4.3", nullptr);
        u.applyTrackList(kListing34);
        return u.evaluateIndex(ok, "Connection refused", ok ? body(a) : QByteArray());
    };

    QCOMPARE(decide({entry("zuplayer-3.4.3.deb", kArch)}).kind, D::NoUpdate);
    QCOMPARE(decide({entry("zuplayer-3.4.2.deb", kArch)}).kind, D::NoUpdate);
    QCOMPARE(decide({entry("zuplayer-3.4.3.DEV202401010000.deb", kArch)}).kind, D::UpdateAvailable);
    const D newer = decide({entry("zuplayer-3.5.0.deb", kArch, "https://u.example/z.deb", "AB:CD")});
    QCOMPARE(newer.kind, D::UpdateAvailable);
    QCOMPARE(newer.chosen.versionNumber, QVersionNumber(3, 5, 0));
    QCOMPARE(newer.chosen.url, QUrl("https://u.example/z.deb"));
    QCOMPARE(newer.chosen.sha256, QStringLiteral("AB:CD"));

    // A newer release for another platform offers nothing here.
    QCOMPARE(decide({entry("zuplayer-3.9.0.exe", "Windows/64"), entry("zuplayer-3.4.3.deb", kArch)}).kind, D::NoUpdate);
    // The version offered is that of the package this platform installs.
    const D mixed = decide({entry("zuplayer-3.9.0.exe", "Windows/64"), entry("zuplayer-3.5.0.deb", kArch)});
    QCOMPARE(mixed.kind, D::UpdateAvailable);
    QCOMPARE(mixed.chosen.versionNumber, QVersionNumber(3, 5, 0));

    const D noBinary = decide({entry("zuplayer-3.9.0.exe", "Windows/64"), entry("zuplayer-3.5.0.deb", kArch, "")});
    QCOMPARE(noBinary.kind, D::Failed);
    QCOMPARE(noBinary.error, QStringLiteral("Aucun binaire compatible pour cette plateforme."));
    const D empty = decide({entry("zuplayer-3.5.0.deb", kArch, "")});
    QCOMPARE(empty.kind, D::Failed);
    QCOMPARE(empty.error, QStringLiteral("JSON vide ou invalide (aucun asset)."));
    // A single-object index carries no platform label.
    DownloadBinary single("3.4.3", nullptr);
    single.applyTrackList(kListing34);
    const D s = single.evaluateIndex(
        true, QString(), QJsonDocument(QJsonObject{{"url", "https://u.example/z.deb"}, {"version", "3.9.0"}}).toJson());
    QCOMPARE(s.error, QStringLiteral("Aucun binaire compatible pour cette plateforme."));
    // A release build never asks the TESTING channel.
    const D failed = decide({}, false);
    QCOMPARE(failed.kind, D::Failed);
    QCOMPARE(failed.error, QStringLiteral("Connection refused"));

    DownloadBinary u("3.4.3", nullptr);
    u.applyTrackList(kListing34);
    QVERIFY(!u.isTestingAllowed());
    QCOMPARE(u.channelName(), QStringLiteral("STABLE"));
    u.evaluateIndex(true, QString(), body({entry("zuplayer-3.5.0.deb", kArch)}));
    QVERIFY(u.selectedPackage().has_value());
    u.evaluateIndex(true, QString(), "[]");
    QVERIFY(!u.selectedPackage().has_value());
}

void TestUpdateSelection::releaseDecisionTestBuild()
{
    using D = DownloadBinary::IndexDecision;
    const QString build = QStringLiteral("3.4.3.DEV202401010000");
    const QByteArray older = body({entry("zuplayer-3.4.2.deb", kArch)});

    {   // STABLE has nothing newer: TESTING once, then no update.
        DownloadBinary u(build, nullptr);
        QCOMPARE(u.applyTrackList(kListing34), QStringLiteral("3.4"));
        QVERIFY(u.isTestingAllowed());
        QCOMPARE(u.evaluateIndex(true, QString(), older).kind, D::RetryTesting);
        QCOMPARE(u.channelName(), QStringLiteral("TESTING"));
        QCOMPARE(u.evaluateIndex(true, QString(), body({entry("zuplayer-" + build + ".deb", kArch)})).kind, D::NoUpdate);
    }
    {   // A later build on TESTING is offered.
        DownloadBinary u(build, nullptr);
        u.applyTrackList(kListing34);
        QCOMPARE(u.evaluateIndex(true, QString(), older).kind, D::RetryTesting);
        const D d = u.evaluateIndex(true, QString(), body({entry("zuplayer-3.4.3.DEV202402010000.deb", kArch)}));
        QCOMPARE(d.kind, D::UpdateAvailable);
        QCOMPARE(d.chosen.devStamp, qint64(202402010000));
    }
    {   // The release of its own version supersedes a test build.
        DownloadBinary u(build, nullptr);
        u.applyTrackList(kListing34);
        QCOMPARE(u.evaluateIndex(true, QString(), body({entry("zuplayer-3.4.3.deb", kArch)})).kind, D::UpdateAvailable);
    }
    {   // An earlier build of the same version on STABLE is no update.
        DownloadBinary u(build, nullptr);
        u.applyTrackList(kListing34);
        QCOMPARE(u.evaluateIndex(true, QString(), body({entry("zuplayer-3.4.3.DEV202312010000.deb", kArch)})).kind,
                 D::RetryTesting);
    }
    {   // Failing STABLE leads to TESTING; failing TESTING is reported.
        DownloadBinary u(build, nullptr);
        u.applyTrackList(kListing34);
        QCOMPARE(u.evaluateIndex(false, "Not found", QByteArray()).kind, D::RetryTesting);
        const D d = u.evaluateIndex(false, "Not found either", QByteArray());
        QCOMPARE(d.kind, D::Failed);
        QCOMPARE(d.error, QStringLiteral("Not found either"));
    }
    {   // An empty STABLE index and a TESTING index without this platform.
        DownloadBinary u(build, nullptr);
        u.applyTrackList(kListing34);
        QCOMPARE(u.evaluateIndex(true, QString(), "[]").kind, D::RetryTesting);
        QCOMPARE(u.evaluateIndex(true, QString(), body({entry("zuplayer-3.5.0.exe", "Windows/64")})).error,
                 QStringLiteral("Aucun binaire compatible pour cette plateforme."));
    }
}

void TestUpdateSelection::formatSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0 octets";
    QTest::newRow("bytes") << qint64(512) << "512 octets";
    QTest::newRow("just below a Ko") << qint64(1023) << "1023 octets";
    QTest::newRow("one Ko") << qint64(1024) << "1.00 Ko";
    QTest::newRow("1.5 Ko") << qint64(1536) << "1.50 Ko";
    QTest::newRow("two digits") << qint64(52428800) << "50.0 Mo";
    QTest::newRow("three digits") << qint64(200) * 1024 * 1024 << "200 Mo";
    QTest::newRow("Go") << qint64(3) * 1024 * 1024 * 1024 << "3.00 Go";
    QTest::newRow("To stays To") << qint64(2048) * 1024 * 1024 * 1024 * 1024 << "2048 To";
}

void TestUpdateSelection::formatSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(DownloadBinary::formatSize(bytes), text);
}

void TestUpdateSelection::formatDuration_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0:00";
    QTest::newRow("negative") << qint64(-5) << "0:00";
    QTest::newRow("seconds") << qint64(9) << "0:09";
    QTest::newRow("minutes") << qint64(75) << "1:15";
    QTest::newRow("just below an hour") << qint64(3599) << "59:59";
    QTest::newRow("hours") << qint64(3725) << "1:02:05";
    QTest::newRow("many hours") << qint64(100 * 3600 + 1) << "100:00:01";
}

void TestUpdateSelection::formatDuration()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(DownloadBinary::formatDuration(seconds), text);
}

void TestUpdateSelection::devStampText()
{
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    QCOMPARE(DownloadBinary::devStampText(202401021530), QStringLiteral("2024-01-02 15:30"));
    QCOMPARE(DownloadBinary::devStampText(202413021530), QStringLiteral("202413021530"));
    QCOMPARE(DownloadBinary::devStampText(-1), QStringLiteral("-1"));
}

void TestUpdateSelection::progressDialog()
{
    DownloadBinary u("3.4.3", nullptr);
    u.showProgressDialog(QString(), QString());
    QPointer<QProgressDialog> dlg = u.currentProgressDialog();
    QVERIFY(dlg);
    QCOMPARE(dlg->windowTitle(), QStringLiteral("Téléchargement en cours…"));
    QCOMPARE(dlg->labelText(), QStringLiteral("Téléchargement du paquet\nFichier : (inconnu)"));
    u.showProgressDialog("Autre", "x.deb"); // one dialog at a time
    QCOMPARE(u.currentProgressDialog(), dlg.data());

    // Updates closer together than the rate interval move the bar only.
    u.updateProgress(50, 200);
    QCOMPARE(dlg->value(), 25);
    QCOMPARE(dlg->labelText(), QStringLiteral("Téléchargement du paquet\nFichier : (inconnu)"));

    // No known length: busy bar, then received and rate only.
    QTest::qWait(300);
    u.updateProgress(4096, -1);
    QCOMPARE(dlg->maximum(), 0);
    QVERIFY2(dlg->labelText().startsWith(QStringLiteral("Téléchargement du paquet\nReçu : 4.00 Ko  \u00b7  Débit : ")),
             qPrintable(dlg->labelText()));
    QVERIFY(!dlg->labelText().contains(QStringLiteral("Restant")));

    // Known length and a real rate: the remaining time as well; the
    // statistics replace the previous ones.
    QTest::qWait(300);
    u.updateProgress(4096 + 1024 * 1024, 100 * 1024 * 1024);
    QCOMPARE(dlg->maximum(), 100);
    QCOMPARE(dlg->value(), 1);
    const QString label = dlg->labelText();
    QVERIFY2(label.startsWith(QStringLiteral("Téléchargement du paquet\nReçu : 1.00 Mo / 100 Mo  \u00b7  Débit : ")),
             qPrintable(label));
    QVERIFY(label.contains(QStringLiteral("/s  \u00b7  Restant : ")));
    QCOMPARE(label.count('\n'), 1);

    // No progress since the last computation: an em dash and no remaining time.
    QTest::qWait(300);
    u.updateProgress(4096 + 1024 * 1024, 100 * 1024 * 1024);
    QVERIFY2(dlg->labelText().endsWith(QStringLiteral("Débit : \u2014")), qPrintable(dlg->labelText()));

    u.closeProgressDialog();
    QVERIFY(!u.currentProgressDialog());
    QVERIFY(dlg->isHidden());
    QTRY_VERIFY(!dlg);
    u.updateProgress(1, 2); // without a dialog: nothing
}

QTEST_MAIN(TestUpdateSelection)
#include "test_update_selection.moc"
