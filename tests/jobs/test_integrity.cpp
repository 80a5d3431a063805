#include "integrity_testutil.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace itest;

class TestIntegrity : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;
    QString day;    // <tmp>/talvor_x/2024-03-05
    QString other;  // <tmp>/other, beside the export folder

    // A day with two segments and the index files that never count.
    void makeDay()
    {
        QDir(tmp.path()).removeRecursively();
        QVERIFY(QDir().mkpath(day));
        QVERIFY(writeFile(day + "/101500/cam1_20240305_101500.zuvideo", QByteArray(300000, 'v')));
        QVERIFY(writeFile(day + "/101500/cam1_20240305_101500.zuseek", "0 0\n1 4096\n"));
        QVERIFY(writeFile(day + "/123000/cam1_20240305_123000.zuvideo", QByteArray("second video")));
        QVERIFY(writeFile(day + "/index.zunfo", "not counted"));
        QVERIFY(writeFile(day + "/101500/zuvideoindex.json", "{}"));
        QVERIFY(writeFile(day + "/123000/x_zuindex_cache_1", "cache"));
        QVERIFY(writeFile(day + "/old_hash.json.bak", "backup"));
        QVERIFY(writeFile(other + "/x", "outside content"));
    }

    QStringList files() const
    {
        return {"101500/cam1_20240305_101500.zuvideo", "101500/cam1_20240305_101500.zuseek",
                "123000/cam1_20240305_123000.zuvideo"};
    }

    QJsonArray goodManifest() const
    {
        QJsonArray a;
        for (const QString &f : files())
            a.append(entryFor(day, f));
        return a;
    }

private slots:
    void init()
    {
        QVERIFY(tmp.isValid());
        day = tmp.path() + "/talvor_0a1b-2c3d-4e5f-6a7b/2024-03-05";
        other = tmp.path() + "/other";
        makeDay();
    }

    void allMatch_data()
    {
        QTest::addColumn<bool>("staleAbsolute");
        QTest::newRow("absolutepath") << false;
        QTest::newRow("absolutepath stale, path used") << true;
    }
    void allMatch()
    {
        QFETCH(bool, staleAbsolute);
        QJsonArray a = goodManifest();
        if (staleAbsolute) {
            for (int i = 0; i < a.size(); ++i) {
                QJsonObject o = a.at(i).toObject();
                o["absolutepath"] = "/nonexistent/old/place/" + o["path"].toString();
                a[i] = o;
            }
        }
        QVERIFY(writeManifest(day, a));
        LogCapture log;
        const Outcome out = runCheck(day);
        QVERIFY(out.finished);
        QCOMPARE(out.endChecks, 1);
        const QStringList expected = {"found:1",
                                      "count:3",
                                      "start",
                                      "countcheck:1",
                                      "begin:cam1_20240305_101500.zuvideo",
                                      "end:cam1_20240305_101500.zuvideo:1",
                                      "begin:cam1_20240305_101500.zuseek",
                                      "end:cam1_20240305_101500.zuseek:1",
                                      "begin:cam1_20240305_123000.zuvideo",
                                      "end:cam1_20240305_123000.zuvideo:1",
                                      "done:1"};
        QCOMPARE(out.order, expected);
        QVERIFY(log.contains("[INFO] Integrity check :: INTEGRITY OK"));
        QVERIFY(log.contains("[INFO] Integrity check :: files count in root directory " + day + " : 3"));
        QCOMPARE(log.containsPrefix("[INFO] Integrity check :: check integrity :: path file :: "), staleAbsolute);
    }

    void noManifest()
    {
        LogCapture log;
        Outcome out = runCheck(day);
        QCOMPARE(out.order, QStringList({"found:0", "count:0", "start", "countcheck:0", "done:0"}));
        QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: array empty :: " + day + "/hash.json"));
        QVERIFY(log.contains("[ERROR] Integrity check :: INTEGRITY NOT CONFIRMED"));

        // An empty day without a manifest: counts agree, still no verdict.
        const QString empty = tmp.path() + "/2024-03-06";
        QVERIFY(QDir().mkpath(empty));
        out = runCheck(empty);
        QCOMPARE(out.order, QStringList({"found:0", "count:0", "start", "countcheck:1", "done:0"}));

        // Undecryptable, not JSON, an empty array, or a FIFO in the
        // manifest's place: all "not found", none hangs.
        QVERIFY(writeFile(day + "/hash.json", "garbage that is not AES"));
        QCOMPARE(runCheck(day).order.first(), QString("found:0"));
        QVERIFY(encryptTo(day + "/hash.json", "{\"not\":\"an array\"}"));
        QCOMPARE(runCheck(day).order.first(), QString("found:0"));
        QVERIFY(writeManifest(day, QJsonArray()));
        out = runCheck(day);
        QCOMPARE(out.order, QStringList({"found:0", "count:0", "start", "countcheck:0", "done:0"}));
        QVERIFY(QFile::remove(day + "/hash.json"));
        QCOMPARE(::mkfifo(QFile::encodeName(day + "/hash.json").constData(), 0600), 0);
        out = runCheck(day);
        QVERIFY(out.finished);
        QCOMPARE(out.order.first(), QString("found:0"));
        QVERIFY(!out.verdict);
    }

    void countMismatch()
    {
        QJsonArray a = goodManifest();
        a.append(entry("ghost", day + "/ghost", "ghost", QString(64, 'a')));
        QVERIFY(writeManifest(day, a));
        LogCapture log;
        const Outcome out = runCheck(day);
        QCOMPARE(out.order, QStringList({"found:1", "count:4", "start", "countcheck:0", "done:0"}));
        QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: size not valid :: 4(size) != 3(count)"));
        QVERIFY(log.contains("[ERROR] Integrity check :: invalid integrity :: file missing :: " + day + "/ghost"));

        // A file added on disk is reported too.
        QVERIFY(writeManifest(day, goodManifest()));
        QVERIFY(writeFile(day + "/123000/added.zuvideo", "new"));
        LogCapture log2;
        QCOMPARE(runCheck(day).order, QStringList({"found:1", "count:3", "start", "countcheck:0", "done:0"}));
        QVERIFY(log2.contains("[ERROR] Integrity check :: invalid integrity :: file added :: " + day +
                              "/123000/added.zuvideo"));
    }

    void changedByte_data()
    {
        QTest::addColumn<bool>("upperCase");
        QTest::newRow("one byte changed") << false;
        QTest::newRow("upper-case digest") << true;
    }
    void changedByte()
    {
        QFETCH(bool, upperCase);
        QJsonArray a = goodManifest();
        const QString victim = day + "/" + files().at(1);
        if (upperCase) {
            QJsonObject o = a.at(1).toObject();
            o["sha256"] = o["sha256"].toString().toUpper();
            a[1] = o;
        } else {
            QFile f(victim);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.seek(3));
            QVERIFY(f.write("X", 1) == 1);
        }
        QVERIFY(writeManifest(day, a));
        LogCapture log;
        const Outcome out = runCheck(day);
        QCOMPARE(out.order.mid(4), QStringList({"begin:cam1_20240305_101500.zuvideo",
                                                "end:cam1_20240305_101500.zuvideo:1",
                                                "begin:cam1_20240305_101500.zuseek",
                                                "end:cam1_20240305_101500.zuseek:0", "done:0"}));
        const QString recorded = a.at(1).toObject()["sha256"].toString();
        QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: failed " + recorded + " != " +
                             sha256sum(victim)));
    }

    // Entries that name something outside the day folder, or something that
    // is no regular file, must neither be read nor let the check pass.
    void escapingEntries_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("../other/x") << "dotdot";
        QTest::newRow("/etc/passwd") << "etc";
        QTest::newRow("C:/x") << "drive";
        QTest::newRow("fifo in the day") << "fifo";
        QTest::newRow("/dev/zero") << "device";
        QTest::newRow("symlink to outside") << "symlink";
        QTest::newRow("manifest of the day itself") << "manifest";
        QTest::newRow("index file of the day") << "index";
    }
    void escapingEntries()
    {
        QFETCH(QString, kind);
        const QString outside = other + "/x";
        QJsonArray a;
        a.append(entryFor(day, files().at(0)));
        QJsonObject bad;
        if (kind == "dotdot") {
            // The same content really lies there, digest and all.
            const QString rel = "../../other/x";
            bad = entry("x", day + "/" + rel, rel, sha256sum(outside));
        } else if (kind == "etc") {
            bad = entry("passwd", "/etc/passwd", "/etc/passwd", sha256sum("/etc/passwd"));
        } else if (kind == "drive") {
            bad = entry("x", "C:/x", "C:/x", QString(64, '0'));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(day + "/101500/pipe").constData(), 0600), 0);
            bad = entry("pipe", day + "/101500/pipe", "101500/pipe", QString(64, '0'));
        } else if (kind == "device") {
            bad = entry("zero", "/dev/zero", "../../../../../../../../dev/zero", QString(64, '0'));
        } else if (kind == "symlink") {
            // The link is a file of the day, so the count agrees.
            QVERIFY(QFile::remove(day + "/" + files().at(1)));
            QVERIFY(QFile::link(outside, day + "/" + files().at(1)));
            bad = entry("link", day + "/" + files().at(1), files().at(1), sha256sum(outside));
        } else if (kind == "manifest") {
            bad = entry("hash.json", day + "/hash.json", "hash.json", QString(64, '0'));
        } else if (kind == "index") {
            bad = entry("index.zunfo", day + "/index.zunfo", "index.zunfo", sha256sum(day + "/index.zunfo"));
        }
        a.append(bad);
        a.append(entryFor(day, files().at(2)));
        QVERIFY(writeManifest(day, a));

        LogCapture log;
        const Outcome out = runCheck(day);
        QVERIFY(out.finished);
        QCOMPARE(out.order.at(3), QString("countcheck:1"));
        const QString name = bad["file"].toString();
        QCOMPARE(out.order.mid(4), QStringList({"begin:cam1_20240305_101500.zuvideo",
                                                "end:cam1_20240305_101500.zuvideo:1", "begin:" + name,
                                                "end:" + name + ":0", "done:0"}));
        if (kind == "manifest" || kind == "index")
            QVERIFY(log.containsPrefix("[ERROR] Integrity check :: check integrity :: not a file of the day :: "));
        else
            QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: couldn't find file :: " + name));
    }

    void duplicatesAndSkips_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("same entry twice") << "twice";
        QTest::newRow("same file by another spelling") << "spelling";
        QTest::newRow("empty file name") << "emptyfile";
        QTest::newRow("not an object") << "notobject";
    }
    void duplicatesAndSkips()
    {
        QFETCH(QString, kind);
        QJsonArray a;
        a.append(entryFor(day, files().at(0)));
        a.append(entryFor(day, files().at(1)));
        QStringList tail;
        if (kind == "twice" || kind == "spelling") {
            QJsonObject dup = entryFor(day, files().at(1));
            if (kind == "spelling") {
                dup["absolutepath"] = "/nonexistent";
                dup["path"] = "123000/../101500/./cam1_20240305_101500.zuseek";
            }
            a.append(dup);
            tail = QStringList({"begin:cam1_20240305_101500.zuseek", "end:cam1_20240305_101500.zuseek:0"});
        } else if (kind == "emptyfile") {
            QJsonObject o = entryFor(day, files().at(2));
            o["file"] = "";
            a.append(o);
        } else {
            a.append(42);
        }
        QVERIFY(writeManifest(day, a));
        LogCapture log;
        const Outcome out = runCheck(day);
        QCOMPARE(out.order.mid(3), QStringList({"countcheck:1", "begin:cam1_20240305_101500.zuvideo",
                                                "end:cam1_20240305_101500.zuvideo:1",
                                                "begin:cam1_20240305_101500.zuseek",
                                                "end:cam1_20240305_101500.zuseek:1"})
                                        + tail + QStringList("done:0"));
        if (tail.isEmpty()) {
            QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: entry skipped :: 2"));
            QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: file not verified :: " + day +
                                 "/123000/cam1_20240305_123000.zuvideo"));
        } else {
            QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: duplicate entry :: "
                                 "cam1_20240305_101500.zuseek"));
        }
        QVERIFY(log.contains("[ERROR] Integrity check :: INTEGRITY NOT CONFIRMED"));
    }

    void symlinkLoops()
    {
        // Links to folders are not entered (a loop back up, a link out), so
        // the walk ends, but what lies behind them is unverified: the day
        // cannot be confirmed. A file link loop is no file.
        QVERIFY(QFile::link(day, day + "/101500/up"));
        QVERIFY(QFile::link(".", day + "/123000/self"));
        QVERIFY(QFile::link(other, day + "/out"));
        QVERIFY(QFile::link(day + "/loop_b", day + "/loop_a"));
        QVERIFY(QFile::link(day + "/loop_a", day + "/loop_b"));
        QVERIFY(writeManifest(day, goodManifest()));
        LogCapture log;
        const Outcome out = runCheck(day);
        QVERIFY(out.finished);
        QCOMPARE(out.order.at(1), QString("count:3"));
        QCOMPARE(out.order.at(3), QString("countcheck:1"));
        QCOMPARE(out.order.last(), QString("done:0"));
        for (const QString &link : {day + "/101500/up", day + "/123000/self", day + "/out"})
            QVERIFY2(log.contains("[ERROR] Integrity check :: check integrity :: linked folder not verified :: " +
                                  link),
                     qPrintable(link));
        QVERIFY(!log.containsPrefix("[ERROR] Integrity check :: check integrity :: linked folder not verified :: " +
                                    day + "/loop_"));

        IntegrityCheck check(day);
        QCOMPARE(check.count_files(day), 3);
    }

    void linkedSegmentFolder()
    {
        // The player reads a segment folder that is a link like a real one:
        // recordings slipped in behind a link must not pass as a verified day.
        QVERIFY(writeFile(other + "/seg/cam1_20240305_150000.zuvideo", "planted video"));
        QVERIFY(QFile::link(other + "/seg", day + "/150000"));
        QVERIFY(writeManifest(day, goodManifest()));
        LogCapture log;
        const Outcome out = runCheck(day);
        QVERIFY(out.finished);
        QCOMPARE(out.endChecks, 1);
        QVERIFY(!out.verdict);
        QVERIFY(log.contains("[ERROR] Integrity check :: check integrity :: linked folder not verified :: " + day +
                             "/150000"));
        QVERIFY(log.contains("[ERROR] Integrity check :: INTEGRITY NOT CONFIRMED"));
        QVERIFY(!log.contains("[INFO] Integrity check :: INTEGRITY OK"));
    }

    void countedNames()
    {
        // Substring tests: the manifest and index files never count, the
        // report list keeps the cache files.
        IntegrityCheck check(day);
        QCOMPARE(check.count_files(day), 3);
        QStringList listed;
        for (const QFileInfo &fi : check.list_files(day))
            listed << fi.fileName();
        listed.sort();
        QCOMPARE(listed, QStringList({"cam1_20240305_101500.zuseek", "cam1_20240305_101500.zuvideo",
                                      "cam1_20240305_123000.zuvideo", "x_zuindex_cache_1"}));
    }

    void stopMidway_data()
    {
        QTest::addColumn<bool>("insideFile");
        QTest::newRow("between entries") << false;
        QTest::newRow("inside a large file") << true;
    }
    void stopMidway()
    {
        QFETCH(bool, insideFile);
        if (insideFile)
            QVERIFY(writeFile(day + "/" + files().at(0), QByteArray(48 * 1024 * 1024, 'b')));
        QVERIFY(writeManifest(day, goodManifest()));
        LogCapture log;
        // The stop arrives from the worker itself, as soon as the first file
        // is begun (the digest loop must see it) or settled.
        const Outcome out = runCheck(day, [insideFile](IntegrityCheck *c) {
            if (insideFile)
                QObject::connect(c, &IntegrityCheck::begin_check_file, c, &IntegrityCheck::user_stop,
                                 Qt::DirectConnection);
            else
                QObject::connect(c, &IntegrityCheck::end_check_file, c, &IntegrityCheck::user_stop,
                                 Qt::DirectConnection);
        });
        QVERIFY(out.finished);
        QStringList expected{"begin:cam1_20240305_101500.zuvideo"};
        if (!insideFile)
            expected << "end:cam1_20240305_101500.zuvideo:1";
        expected << "done:0";
        QCOMPARE(out.order.mid(4), expected);
        QVERIFY(log.contains("[INFO] Integrity check :: stopped by user"));
        QVERIFY(!log.containsPrefix("[ERROR] Integrity check :: check integrity :: failed "));
    }
};

QTEST_GUILESS_MAIN(TestIntegrity)
#include "test_integrity.moc"
