// Archive extraction on archives made by python's tarfile/zipfile and by the
// tar, zip and bsdtar command lines (tests/jobs/archive_maker.py): benign
// ones land whole, with digests checked against sha256sum; hostile and
// damaged ones fail with a message, keep the archive and change nothing
// outside the destination.
#include <QtTest>

#include "archiveextractor.h"
#include "centralwidget_zudownload.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray run(const QString &program, const QStringList &args, const QString &cwd = QString())
{
    QProcess p;
    if (!cwd.isEmpty())
        p.setWorkingDirectory(cwd);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning().noquote() << program << args << p.readAllStandardError();
        return QByteArray();
    }
    return p.readAllStandardOutput();
}

QJsonObject makeArchive(const QString &name, const QString &root, const QString &out)
{
    return QJsonDocument::fromJson(
               run(QStringLiteral("python3"),
                   {QStringLiteral(ZU_SOURCE_DIR "/tests/jobs/archive_maker.py"), name, root, out}))
        .object();
}

// Everything below `root` except the `skip` subtree (if any): each path with its kind
// and content (file digest or link target).
QMap<QString, QString> snapshot(const QString &root, const QString &skip)
{
    QMap<QString, QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!skip.isEmpty() && (path == skip || path.startsWith(skip + QLatin1Char('/'))))
            continue;
        const QFileInfo info(path);
        if (info.isSymLink()) {
            out[path] = QStringLiteral("link ") + info.symLinkTarget();
        } else if (info.isFile()) {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            out[path] = QStringLiteral("file ") +
                        QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex());
        } else {
            out[path] = QStringLiteral("dir");
        }
    }
    return out;
}

// sha256sum's digests of every file (or link to a file) below `folder`.
QMap<QString, QString> sha256sum(const QString &folder)
{
    QMap<QString, QString> out;
    const QByteArray text = run(QStringLiteral("sh"), {QStringLiteral("-c"),
                                                        QStringLiteral("find \"$1\" -xtype f -exec sha256sum {} +"),
                                                        QStringLiteral("sh"), folder});
    for (const QByteArray &line : text.split('\n')) {
        if (line.size() > 66)
            out[QString::fromUtf8(line.mid(66))] = QString::fromLatin1(line.left(64));
    }
    return out;
}

QMap<QString, QString> hashedFiles(const QSignalSpy &spy)
{
    QMap<QString, QString> out;
    for (const QList<QVariant> &args : spy)
        out[args.at(0).toString()] = args.at(1).toString();
    return out;
}

QByteArray linkTarget(const QString &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}

quint64 inode(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

} // namespace

class TestArchive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char *tool : {"python3", "tar", "zip", "bsdtar", "sha256sum", "find"})
            QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(), tool);
    }

    void extract_data()
    {
        QTest::addColumn<QString>("maker");     // the case of archive_maker.py
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("message");   // part of the failure text
        QTest::addColumn<bool>("deleteArchive");
        QTest::addColumn<QString>("presetLink"); // a link in the destination to a folder outside
        QTest::addColumn<bool>("destViaLink");   // the destination is named through a link

        const auto ok = [](const char *name, const char *suffix, bool del = false, bool viaLink = false) {
            QTest::newRow(name) << name << suffix << true << QString() << del << QString() << viaLink;
        };
        ok("tar_nested", ".tar", true);
        ok("tar_nested_gz", ".tar.gz");
        ok("tar_links", ".tar");
        ok("tar_empty", ".tar", true);
        ok("zip_nested", ".zip", true);
        ok("zip_empty", ".zip");
        ok("cli_tar", ".tar", false, true);
        ok("cli_tar_gz", ".tgz", true);
        ok("cli_zip", ".zip");
        ok("cli_bsdtar_7z", ".7z");
        ok("cli_bsdtar_cpio", ".cpio");
        ok("cli_bsdtar_zip", ".zip");

        const auto refused = [](const char *name, const char *suffix, const char *message,
                                const char *presetLink = "", const char *maker = nullptr) {
            QTest::newRow(name) << (maker ? maker : name) << suffix << false << QString::fromUtf8(message) << true
                                << QString::fromUtf8(presetLink) << false;
        };
        const char *absolute = "chemin absolu";
        const char *dotdot = "remontée de dossier";
        const char *drive = "lettre de lecteur";
        const char *symlink = "lien symbolique hors du dossier";
        const char *through = "à travers un lien symbolique";
        const char *hardlink = "lien physique hors du dossier";
        refused("tar_absolute", ".tar", absolute);
        refused("tar_dotdot", ".tar", dotdot);
        refused("tar_dotdot_inner", ".tar.bz2", dotdot);
        refused("tar_drive", ".tar", drive);
        refused("tar_backslash", ".tar", dotdot);
        refused("tar_symlink_up", ".tar", symlink);
        refused("tar_symlink_absolute", ".tar.xz", symlink);
        refused("tar_symlink_then_file", ".tar", symlink);
        refused("tar_symlink_chain", ".tar", through);
        refused("tar_symlink_ladder", ".tar", symlink);
        refused("tar_hardlink_absolute", ".tar", hardlink);
        refused("tar_hardlink_dotdot", ".tar", hardlink);
        refused("tar_device", ".tar", "type d'entrée");
        // A link already in the destination, to a folder outside.
        refused("tar_into_existing_link", ".tar", through, "a", "tar_nested");
        refused("zip_dotdot", ".zip", dotdot);
        refused("zip_absolute", ".zip", absolute);
        refused("zip_backslash", ".zip", dotdot);
        refused("zip_drive", ".zip", drive);
        refused("zip_symlink_absolute", ".zip", symlink);
        refused("zip_symlink_up", ".zip", symlink);
        refused("cli_tar_absolute", ".tar", absolute);
        refused("cli_tar_dotdot", ".tar", dotdot);
        refused("cli_zip_dotdot", ".zip", dotdot);
        refused("cli_zip_symlink_absolute", ".zip", symlink);
        refused("cli_bsdtar_zip_dotdot", ".zip", dotdot);
        refused("cli_bsdtar_cpio_absolute", ".cpio", absolute);
        refused("cli_bsdtar_symlink_then_file", ".tar", symlink);

        // Damaged: libarchive's text, or ours where libarchive sees no fault.
        refused("tar_cut_in_data", ".tar", "Truncated");
        refused("tar_cut_between_entries", ".tar", "la fin de l'archive manque");
        refused("tar_gz_cut", ".tar.gz", "truncated gzip input");
        refused("zip_cut", ".zip", "Truncated");
        refused("zip_cut_directory", ".zip", "la fin de l'archive manque");
        refused("zip_bad_crc", ".zip", "bad CRC");
        refused("not_an_archive", ".zutar", "Unrecognized archive format");
        refused("zero_bytes", ".zutar", "Archive vide");
    }

    void extract()
    {
        QFETCH(QString, maker);
        QFETCH(QString, suffix);
        QFETCH(bool, success);
        QFETCH(QString, message);
        QFETCH(bool, deleteArchive);
        QFETCH(QString, presetLink);
        QFETCH(bool, destViaLink);

        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = QFileInfo(tmp.path()).canonicalFilePath();
        const QString dest = root + QStringLiteral("/box/dest");
        QVERIFY(QDir().mkpath(root + QStringLiteral("/box")));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/elsewhere")));
        QFile sentinel(root + QStringLiteral("/outside.txt"));
        QVERIFY(sentinel.open(QIODevice::WriteOnly) && sentinel.write("sentinel") == 8);
        sentinel.close();
        if (!presetLink.isEmpty()) {
            QVERIFY(QDir().mkpath(dest));
            QVERIFY(QFile::link(root + QStringLiteral("/elsewhere"), dest + QLatin1Char('/') + presetLink));
        }
        QString destArg = dest;
        if (destViaLink) {
            destArg = root + QStringLiteral("/destlink");
            QVERIFY(QFile::link(root + QStringLiteral("/box"), destArg));
            destArg += QStringLiteral("/dest");
        }

        const QString archive = root + QStringLiteral("/download") + suffix;
        const QJsonObject expect = makeArchive(maker, root, archive);
        QVERIFY2(!expect.isEmpty() && QFile::exists(archive), "archive_maker.py failed");
        const QMap<QString, QString> before = snapshot(root, dest);

        ArchiveExtractor extractor(archive, destArg, deleteArchive, true);
        QSignalSpy finished(&extractor, &ArchiveExtractor::extractionFinished);
        QSignalSpy hashed(&extractor, &ArchiveExtractor::fileHashed);
        extractor.startExtraction();

        QCOMPARE(finished.count(), 1);
        const bool result = finished.at(0).at(0).toBool();
        QMap<QString, QString> after = snapshot(root, dest);
        QMap<QString, QString> expectedOutside = before;
        if (result && deleteArchive)
            expectedOutside.remove(archive);
        QCOMPARE(after, expectedOutside);

        if (!success) {
            QVERIFY(!result);
            QVERIFY2(extractor.errorMessage().contains(message), qPrintable(extractor.errorMessage()));
            QVERIFY(QFile::exists(archive));
            QCOMPARE(hashed.count(), 0);
            // Refused before anything was created; a bad checksum is only seen
            // while its entry is written.
            if (qstrcmp(QTest::currentDataTag(), "zip_bad_crc") != 0) {
                const QStringList left = QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
                QCOMPARE(left, presetLink.isEmpty() ? QStringList() : QStringList{presetLink});
            }
            return;
        }

        QVERIFY2(result, qPrintable(extractor.errorMessage()));
        QVERIFY(extractor.errorMessage().isEmpty());
        QCOMPARE(QFile::exists(archive), !deleteArchive);

        // Every file reported once, with the digest sha256sum gives it and
        // the one the archive was made with.
        QMap<QString, QString> reported;
        for (auto [path, digest] : hashedFiles(hashed).asKeyValueRange())
            reported[QFileInfo(path).absoluteFilePath().replace(destArg, dest)] = digest;
        QCOMPARE(reported.size(), hashed.count());
        QCOMPARE(reported, sha256sum(dest));
        QMap<QString, QString> made;
        const QJsonObject files = expect.value(QStringLiteral("files")).toObject();
        for (auto it = files.begin(); it != files.end(); ++it)
            made[dest + QLatin1Char('/') + it.key()] = it.value().toString();
        QCOMPARE(reported, made);

        const QJsonObject links = expect.value(QStringLiteral("links")).toObject();
        for (auto it = links.begin(); it != links.end(); ++it) {
            const QString path = dest + QLatin1Char('/') + it.key();
            QVERIFY2(QFileInfo(path).isSymLink(), qPrintable(path));
            QCOMPARE(linkTarget(path), it.value().toString().toUtf8());
        }
        const QJsonObject hardlinks = expect.value(QStringLiteral("hardlinks")).toObject();
        for (auto it = hardlinks.begin(); it != hardlinks.end(); ++it)
            QCOMPARE(inode(dest + QLatin1Char('/') + it.key()), inode(dest + QLatin1Char('/') + it.value().toString()));
    }

    // A ".zutar" package left in the destination is not hashed; a folder
    // named like one is only a folder.
    void packageNotHashed()
    {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = QFileInfo(tmp.path()).canonicalFilePath();
        const QString dest = root + QStringLiteral("/download.zutar.d");
        QVERIFY(QDir().mkpath(dest));
        const QString package = dest + QStringLiteral("/recording.zutar");
        const QJsonObject expect = makeArchive(QStringLiteral("tar_nested_gz"), root, package);
        QVERIFY(!expect.isEmpty());

        ArchiveExtractor extractor;
        extractor.setArchivePath(package);
        extractor.setDestination(dest);
        extractor.setHashFiles(true);
        QSignalSpy finished(&extractor, &ArchiveExtractor::extractionFinished);
        QSignalSpy hashed(&extractor, &ArchiveExtractor::fileHashed);
        extractor.startExtraction();

        QCOMPARE(finished.count(), 1);
        QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(extractor.errorMessage()));
        QStringList expected;
        for (const QString &name : expect.value(QStringLiteral("files")).toObject().keys())
            expected << dest + QLatin1Char('/') + name;
        QStringList reported = hashedFiles(hashed).keys();
        expected.sort();
        reported.sort();
        QCOMPARE(reported, expected);
        QVERIFY(QFile::exists(package));
    }

    void unusablePaths_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("message");
        QTest::newRow("no archive") << QString() << "dest" << "Aucune archive";
        QTest::newRow("no destination") << "a.tar" << QString() << "Aucun dossier de destination";
        QTest::newRow("missing archive") << "missing.tar" << "dest" << "missing.tar";
        QTest::newRow("destination is a file") << "a.tar" << "a.tar/dest" << "Impossible de créer";
    }

    void unusablePaths()
    {
        QFETCH(QString, archive);
        QFETCH(QString, destination);
        QFETCH(QString, message);
        QTemporaryDir tmp;
        const QString root = QFileInfo(tmp.path()).canonicalFilePath();
        QVERIFY(!makeArchive(QStringLiteral("tar_nested"), root, root + QStringLiteral("/a.tar")).isEmpty());
        const auto inRoot = [&root](const QString &name) {
            return name.isEmpty() ? name : root + QLatin1Char('/') + name;
        };
        const QMap<QString, QString> before = snapshot(root, QString());
        // A relative destination must never fall back on the working folder.
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(root);

        ArchiveExtractor extractor(inRoot(archive), inRoot(destination), true, true);
        QSignalSpy finished(&extractor, &ArchiveExtractor::extractionFinished);
        extractor.startExtraction();
        QDir::setCurrent(cwd);

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QVERIFY2(extractor.errorMessage().contains(message), qPrintable(extractor.errorMessage()));
        QCOMPARE(snapshot(root, QString()), before);
    }

    // Without its own painting a widget subclass ignores a style sheet's
    // background.
    void centralWidgetPaintsStyleSheet()
    {
        Centralwidget_zudownload widget;
        widget.setStyleSheet(QStringLiteral("background-color: rgb(10, 200, 30);"));
        widget.resize(40, 30);
        const QImage image = widget.grab().toImage();
        QCOMPARE(image.pixelColor(20, 15), QColor(10, 200, 30));
    }
};

QTEST_MAIN(TestArchive)
#include "test_archive.moc"
