// Archive extraction on archives made by python's tarfile/zipfile and by the
// tar, zip and bsdtar command lines (tests/jobs/archive_maker.py): benign
// ones land whole, with digests checked against sha256sum; hostile and
// damaged ones fail with a message, keep the archive and change nothing
// outside the destination.
#include <QtTest>

#include "archiveextractor.h"
#include "centralwidget_zudownload.h"
#include "leftover.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>

#include <clocale>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

QByteArray run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning().noquote() << program << args << p.readAllStandardError();
        return QByteArray();
    }
    return p.readAllStandardOutput();
}

QJsonObject makeArchive(const QString &name, const QString &root, const QString &out)
{
    return QJsonDocument::fromJson(run("python3", {ZU_SOURCE_DIR "/tests/jobs/archive_maker.py", name, root, out}))
        .object();
}

// Everything below `root` except the `skip` subtree (if any): each path with
// its kind and content (file digest or link target).
QMap<QString, QString> snapshot(const QString &root, const QString &skip)
{
    QMap<QString, QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!skip.isEmpty() && (path == skip || path.startsWith(skip + '/')))
            continue;
        const QFileInfo info(path);
        QFile f(path);
        if (info.isSymLink())
            out[path] = "link " + info.symLinkTarget();
        else if (info.isFile() && f.open(QIODevice::ReadOnly))
            out[path] = "file " + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
        else
            out[path] = "dir";
    }
    return out;
}

// sha256sum's digests of every file (or link to a file) below `folder`.
QMap<QString, QString> sha256sum(const QString &folder)
{
    QMap<QString, QString> out;
    const QByteArray text = run("sh", {"-c", "find \"$1\" -xtype f -exec sha256sum {} +", "sh", folder});
    for (const QByteArray &line : text.split('\n'))
        if (line.size() > 66)
            out[QString::fromUtf8(line.mid(66))] = QString::fromLatin1(line.left(64));
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
        // The non-ASCII entry names below must extract under the plain C
        // locale too, as when the program is started from a service.
        QVERIFY(setlocale(LC_ALL, "C"));
    }

    void extract_data()
    {
        QTest::addColumn<QString>("maker");   // the case of archive_maker.py
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("message"); // part of the failure text; empty: success
        QTest::addColumn<bool>("deleteArchive");
        // "link": a link in the destination to a folder outside; "via link":
        // the destination is named through a link; "package": the archive
        // lies in a destination named like one, and is not hashed; "merge":
        // the destination holds the user's own files beside the archive's
        // folders; "existing": it holds a file of an entry's name; "no space",
        // "space runs out": the free space is too small before, or while,
        // writing; "small disk": a megabyte is free; "work folder removed",
        // "written file removed": something else removes the hidden work
        // folder, or the first file written to it, while entries are still
        // being written (libarchive makes the folder again for the next ones).
        QTest::addColumn<QString>("setup");
        const char *absolute = "chemin absolu", *dotdot = "remontée de dossier", *symlink = "lien symbolique hors",
                   *through = "à travers un lien symbolique", *cut = "la fin de l'archive manque";
        const struct {
            const char *tag, *maker, *suffix, *message;
            bool del;
            const char *setup;
        } rows[] = {
            {"tar_tree", "tar_tree", ".tar.gz", "", true, ""},
            {"tar_empty", "tar_empty", ".tar", "", true, ""},
            {"zip_tree", "zip_tree", ".zip", "", true, ""},
            {"zip_empty", "zip_empty", ".zip", "", false, ""},
            {"cli_tar", "cli_tar", ".tar", "", false, "via link"},
            {"cli_zip", "cli_zip", ".zip", "", true, ""},
            {"cli_bsdtar_cpio", "cli_bsdtar_cpio", ".cpio", "", false, ""},
            {"package in the destination", "tar_tree", ".zutar", "", false, "package"},
            {"merge into the user's folders", "tar_tree", ".tar.gz", "", true, "merge"},
            {"a user's file is never replaced", "tar_tree", ".tar.gz", "top.txt » existe déjà", true, "existing"},
            {"no space for the declared size", "tar_tree", ".tar.gz", "Espace disque insuffisant", true, "no space"},
            {"space runs out while writing", "tar_tree", ".tar.gz", "Espace disque insuffisant", true,
             "space runs out"},
            {"work folder removed midway", "tar_tree", ".tar.gz",
             "Le dossier de travail de l'extraction a été supprimé ou remplacé", true, "work folder removed"},
            {"written file removed midway", "tar_tree", ".tar.gz", "« top.txt » a disparu du dossier de travail",
             true, "written file removed"},
            // Refused at the entry that does not fit, before it is read through.
            {"archive bomb", "tar_bomb", ".tar.bz2", "Espace disque insuffisant", true, "small disk"},
            {"tar_name_too_long", "tar_name_too_long", ".tar", "/box/dest/xxxxxxxx", true, ""},
            {"tar_dotdot_inner", "tar_dotdot_inner", ".tar.bz2", dotdot, true, ""},
            {"tar_backslash", "tar_backslash", ".tar", dotdot, true, ""},
            {"tar_symlink_up", "tar_symlink_up", ".tar.xz", symlink, true, ""},
            {"tar_symlink_chain", "tar_symlink_chain", ".tar", through, true, ""},
            {"tar_symlink_ladder", "tar_symlink_ladder", ".tar", symlink, true, ""},
            {"tar_hardlink_out", "tar_hardlink_out", ".tar", "lien physique hors", true, ""},
            {"tar_device", "tar_device", ".tar", "type d'entrée", true, ""},
            {"tar_into_existing_link", "tar_tree", ".tar.gz", "/a » existe déjà", true, "link"},
            {"zip_drive", "zip_drive", ".zip", "lettre de lecteur", true, ""},
            {"cli_tar_absolute", "cli_tar_absolute", ".tar", absolute, true, ""},
            {"cli_zip_dotdot", "cli_zip_dotdot", ".zip", dotdot, true, ""},
            {"cli_zip_symlink_absolute", "cli_zip_symlink_absolute", ".zip", symlink, true, ""},
            {"cli_bsdtar_symlink_then_file", "cli_bsdtar_symlink_then_file", ".tar", symlink, true, ""},
            // Damaged: libarchive's text, or ours where libarchive sees no fault.
            {"tar_cut_in_data", "tar_cut_in_data", ".tar", "Truncated", true, ""},
            {"tar_cut_between_entries", "tar_cut_between_entries", ".tar", cut, true, ""},
            {"tar_gz_cut", "tar_gz_cut", ".tar.gz", "truncated gzip input", true, ""},
            {"zip_cut", "zip_cut", ".zip", "Truncated", true, ""},
            {"zip_cut_directory", "zip_cut_directory", ".zip", cut, true, ""},
            {"zip_bad_crc", "zip_bad_crc", ".zip", "bad CRC", true, ""},
            {"not_an_archive", "not_an_archive", ".zutar", "Unrecognized archive format", true, ""},
            {"zero_bytes", "zero_bytes", ".zutar", "Archive vide", true, ""},
        };
        for (const auto &r : rows)
            QTest::newRow(r.tag) << r.maker << r.suffix << QString::fromUtf8(r.message) << r.del << r.setup;
    }

    void extract()
    {
        QFETCH(QString, maker);
        QFETCH(QString, suffix);
        QFETCH(QString, message);
        QFETCH(bool, deleteArchive);
        QFETCH(QString, setup);
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = QFileInfo(tmp.path()).canonicalFilePath();
        const QString dest = root + (setup == "package" ? "/box/download.zutar.d" : "/box/dest");
        QVERIFY(QDir().mkpath(root + "/box") && QDir().mkpath(root + "/elsewhere"));
        QFile sentinel(root + "/outside.txt");
        QVERIFY(sentinel.open(QIODevice::WriteOnly) && sentinel.write("sentinel") == 8);
        sentinel.close();
        if (setup == "link" || setup == "package" || setup == "merge" || setup == "existing")
            QVERIFY(QDir().mkpath(dest));
        // The user's own files, which must come out of the extraction as they were.
        QStringList userFiles;
        if (setup == "merge")
            userFiles = {"a/mine.txt", "other.txt"};
        else if (setup == "existing")
            userFiles = {"top.txt"};
        for (const QString &name : std::as_const(userFiles)) {
            QVERIFY(QDir().mkpath(QFileInfo(dest + '/' + name).absolutePath()));
            QFile file(dest + '/' + name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("mine") == 4);
        }
        if (setup == "link")
            QVERIFY(QFile::link(root + "/elsewhere", dest + "/a"));
        QString destArg = dest;
        if (setup == "via link") {
            QVERIFY(QFile::link(root + "/box", root + "/destlink"));
            destArg = root + "/destlink/dest";
        }

        const QString archive = setup == "package" ? dest + "/recording.zutar" : root + "/download" + suffix;
        const QJsonObject expect = makeArchive(maker, root, archive);
        QVERIFY2(!expect.isEmpty() && QFile::exists(archive), "archive_maker.py failed");
        const QMap<QString, QString> before = snapshot(root, dest);

        ArchiveExtractor extractor(archive, destArg, deleteArchive, true);
        QSignalSpy finished(&extractor, &ArchiveExtractor::extractionFinished);
        QSignalSpy hashed(&extractor, &ArchiveExtractor::fileHashed);
        int spaceQueries = 0;
        if (setup == "no space")
            extractor.setFreeSpaceQuery([](const QString &) { return ArchiveExtractor::kFreeSpaceMargin + 1000; });
        if (setup == "small disk")
            extractor.setFreeSpaceQuery([](const QString &) { return ArchiveExtractor::kFreeSpaceMargin + (1 << 20); });
        if (setup == "space runs out")
            extractor.setFreeSpaceQuery([&spaceQueries](const QString &) {
                return ++spaceQueries > 3 ? ArchiveExtractor::kFreeSpaceMargin - 1 : qint64(1) << 40;
            });
        // Asked before each file is written: after the second, what was
        // written goes.
        QString removedMidway;
        if (setup == "work folder removed" || setup == "written file removed")
            extractor.setFreeSpaceQuery([&](const QString &) {
                if (++spaceQueries == 5) {
                    const QStringList work = QDir(root + "/box").entryList({".dest.extraction-*"}, QDir::Dirs | QDir::Hidden);
                    if (work.size() == 1) {
                        removedMidway = root + "/box/" + work.first() + (setup == "written file removed" ? "/top.txt" : "");
                        if (!(setup == "written file removed" ? QFile::remove(removedMidway)
                                                              : QDir(removedMidway).removeRecursively()))
                            removedMidway.clear();
                    }
                }
                return qint64(1) << 40;
            });
        extractor.startExtraction();
        if (setup == "space runs out")
            QVERIFY(spaceQueries > 3);
        if (setup == "work folder removed" || setup == "written file removed")
            QVERIFY2(spaceQueries > 5 && !removedMidway.isEmpty(), qPrintable(removedMidway));

        QCOMPARE(finished.count(), 1);
        const bool result = finished.at(0).at(0).toBool();
        QMap<QString, QString> expectedOutside = before;
        if (result && deleteArchive)
            expectedOutside.remove(archive);
        QCOMPARE(snapshot(root, dest), expectedOutside);
        for (const QString &name : std::as_const(userFiles)) {
            QFile file(dest + '/' + name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("mine"));
        }

        if (!message.isEmpty()) {
            QVERIFY(!result);
            QVERIFY2(extractor.errorMessage().contains(message), qPrintable(extractor.errorMessage()));
            QVERIFY(QFile::exists(archive));
            QCOMPARE(hashed.count(), 0);
            // The destination is as it was, whether the archive was refused
            // before writing or failed midway.
            QStringList kept = setup == "link" ? QStringList{"a"} : userFiles;
            QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), kept);
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
        for (const QString &name : std::as_const(userFiles))
            QVERIFY(reported.remove(dest + '/' + name));
        QMap<QString, QString> made;
        const QJsonObject files = expect.value("files").toObject();
        for (auto it = files.begin(); it != files.end(); ++it)
            made[dest + '/' + it.key()] = it.value().toString();
        QCOMPARE(reported, made);
        QMap<QString, QString> summed = sha256sum(dest);
        summed.remove(archive);
        for (const QString &name : std::as_const(userFiles))
            summed.remove(dest + '/' + name);
        QCOMPARE(reported, summed);

        const QJsonObject links = expect.value("links").toObject();
        for (auto it = links.begin(); it != links.end(); ++it) {
            const QString path = dest + '/' + it.key();
            QVERIFY2(QFileInfo(path).isSymLink(), qPrintable(path));
            QCOMPARE(linkTarget(path), it.value().toString().toUtf8());
        }
        const QJsonObject hardlinks = expect.value("hardlinks").toObject();
        for (auto it = hardlinks.begin(); it != hardlinks.end(); ++it)
            QCOMPARE(inode(dest + '/' + it.key()), inode(dest + '/' + it.value().toString()));
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
        QVERIFY(!makeArchive("tar_empty", root, root + "/a.tar").isEmpty());
        const QMap<QString, QString> before = snapshot(root, QString());
        // A relative destination must never fall back on the working folder.
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(root);
        ArchiveExtractor extractor(archive.isEmpty() ? archive : root + '/' + archive,
                                   destination.isEmpty() ? destination : root + '/' + destination, true, true);
        QSignalSpy finished(&extractor, &ArchiveExtractor::extractionFinished);
        extractor.startExtraction();
        QDir::setCurrent(cwd);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QVERIFY2(extractor.errorMessage().contains(message), qPrintable(extractor.errorMessage()));
        QCOMPARE(snapshot(root, QString()), before);
    }

    // A killed extraction leaves its hidden work folder; the next extraction
    // beside it removes it once its maker is gone, and nothing else: not the
    // folder of an extraction still running, nor a user's folder of a
    // similar name, nor one whose maker cannot be judged from here. A pid
    // and a start time mean something only on the host, in the boot and in
    // the pid namespace where they were taken (a second workstation on a
    // shared folder, a sandboxed instance), and the previous version's
    // stamp does not say where it was made.
    void leftoversOfKilledExtractions_data()
    {
        QTest::addColumn<QString>("name"); // "@" stands for the maker's stamp
        QTest::addColumn<QString>("maker"); // "gone", "pid taken since", "running", "" (none)
        QTest::addColumn<QString>("made");  // where: "" here, "host", "boot", "namespace" elsewhere, "old" unsaid
        QTest::addColumn<bool>("inside");   // in the destination rather than beside it
        QTest::addColumn<int>("ageHours");
        QTest::addColumn<bool>("removed");
        QTest::newRow("maker gone") << ".dest.extraction-@-Ab12Cd" << "gone" << "" << false << 0 << true;
        QTest::newRow("maker's pid taken since") << ".dest.extraction-@-Ab12Cd" << "pid taken since" << "" << false
                                                 << 0 << true;
        QTest::newRow("inside the destination") << ".dest.extraction-@-Ab12Cd" << "gone" << "" << true << 0 << true;
        QTest::newRow("of another destination") << ".other.extraction-@-Ab12Cd" << "gone" << "" << false << 0
                                                << true;
        QTest::newRow("still running") << ".dest.extraction-@-Ab12Cd" << "running" << "" << false << 0 << false;
        QTest::newRow("made on another host") << ".dest.extraction-@-Ab12Cd" << "gone" << "host" << false << 0
                                              << false;
        QTest::newRow("made in another boot") << ".dest.extraction-@-Ab12Cd" << "gone" << "boot" << false << 0
                                              << false;
        QTest::newRow("made in another pid namespace")
            << ".dest.extraction-@-Ab12Cd" << "pid taken since" << "namespace" << false << 0 << false;
        QTest::newRow("previous version's stamp, maker gone here")
            << ".dest.extraction-@-Ab12Cd" << "gone" << "old" << false << 48 << false;
        QTest::newRow("unstamped, untouched for hours") << ".dest.extraction-Ab12Cd" << "" << "" << false << 2 << true;
        QTest::newRow("unstamped, recent") << ".dest.extraction-Ab12Cd" << "" << "" << false << 0 << false;
        QTest::newRow("a user's folder") << ".dest.extraction-notes" << "" << "" << false << 48 << false;
        QTest::newRow("a user's folder, stamp-like") << "dest.extraction-1-1-Ab12Cd" << "" << "" << false << 48
                                                     << false;
    }

    void leftoversOfKilledExtractions()
    {
        QFETCH(QString, name);
        QFETCH(QString, maker);
        QFETCH(QString, made);
        QFETCH(bool, inside);
        QFETCH(int, ageHours);
        QFETCH(bool, removed);
        QTemporaryDir tmp;
        const QString root = QFileInfo(tmp.path()).canonicalFilePath();
        const QString dest = root + "/dest";
        QVERIFY(QDir().mkpath(dest));
        leftover::Place place = leftover::here();
        QVERIFY2(!leftover::placeKey(place).isEmpty(), "this machine's boot id, host name or pid namespace is unknown");
        if (made == "host")
            place.hostName += "-poste2";
        else if (made == "boot")
            place.bootId = QUuid::createUuid().toString(QUuid::WithoutBraces);
        else if (made == "namespace")
            place.pidNamespace = "pid:[4026500001]";
        const QString where = made == "old" ? QString() : '-' + leftover::placeKey(place);
        QString stamp;
        if (maker == "gone") {
            QProcess gone;
            gone.start("true", {});
            QVERIFY(gone.waitForStarted());
            stamp = QString::number(gone.processId()) + "-12345" + where;
            QVERIFY(gone.waitForFinished());
        } else if (maker == "pid taken since") {
            stamp = QString::number(::getpid()) + "-1" + where;
        } else if (maker == "running") {
            stamp = leftover::ownerStamp();
        }
        const QString path = (inside ? dest : root) + '/' + QString(name).replace('@', stamp);
        QVERIFY(QDir().mkpath(path + "/half/written"));
        QFile part(path + "/half/written/big.bin");
        QVERIFY(part.open(QIODevice::WriteOnly) && part.write("partial") == 7);
        part.close();
        const timeval then[2] = {{time(nullptr) - ageHours * 3600, 0}, {time(nullptr) - ageHours * 3600, 0}};
        QCOMPARE(::utimes(QFile::encodeName(path).constData(), then), 0);

        QVERIFY(!makeArchive("tar_tree", root, root + "/a.tar.gz").isEmpty());
        ArchiveExtractor extractor(root + "/a.tar.gz", dest);
        QSignalSpy finished(&extractor, &ArchiveExtractor::extractionFinished);
        extractor.startExtraction();
        QCOMPARE(finished.count(), 1);
        QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(extractor.errorMessage()));
        QCOMPARE(QFileInfo::exists(path), !removed);
        QVERIFY(QFile::exists(dest + "/top.txt"));
        // Nothing of this extraction's own work folder is left either.
        const QStringList left = QDir(root).entryList({".dest.extraction-*"}, QDir::Dirs | QDir::Hidden);
        QCOMPARE(left, !inside && !removed && name.startsWith(".dest") ? QStringList{QFileInfo(path).fileName()}
                                                                       : QStringList());
    }

    // Without its own painting a widget subclass ignores a style sheet's
    // background.
    void centralWidgetPaintsStyleSheet()
    {
        Centralwidget_zudownload widget;
        widget.setStyleSheet("background-color: rgb(10, 200, 30);");
        widget.resize(40, 30);
        const QImage image = widget.grab().toImage();
        QCOMPARE(image.pixelColor(20, 15), QColor(10, 200, 30));
    }
};

QTEST_MAIN(TestArchive)
#include "test_archive.moc"
