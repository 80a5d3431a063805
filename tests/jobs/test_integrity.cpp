// The integrity check, its dialog and runner. Day folders and manifests are
// made without the code under test: digests come from sha256sum, encryption
// from the openssl command line with the key file the build uses.
#include "integritycheck.h"
#include "integritydialog.h"
#include "integrityrunner.h"
#include "zulog.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString sha256sum(const QString &path)
{
    QProcess p;
    p.start("sha256sum", {"-b", path});
    p.waitForFinished(60000);
    return QString::fromLatin1(p.readAllStandardOutput()).section(' ', 0, 0);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Encrypts `plain` into `dest` with the openssl command line.
bool encryptTo(const QString &dest, const QByteArray &plain)
{
    QFile keys(QStringLiteral(ZU_SOURCE_DIR) + "/core/file_key.txt");
    if (!keys.open(QIODevice::ReadOnly))
        return false;
    QString key, iv;
    for (const QByteArray &line : keys.readAll().split('\n')) {
        if (line.startsWith("KEY="))
            key = QString::fromLatin1(line.mid(4).trimmed());
        else if (line.startsWith("IV="))
            iv = QString::fromLatin1(line.mid(3).trimmed());
    }
    QTemporaryDir tmp;
    const QString in = tmp.filePath("plain.json");
    return writeFile(in, plain) &&
           QProcess::execute("openssl", {"enc", "-aes-256-cbc", "-K", key, "-iv", iv, "-in", in, "-out", dest}) == 0;
}

QJsonObject entry(const QString &file, const QString &absolutepath, const QString &path, const QString &sha)
{
    return {{"file", file}, {"absolutepath", absolutepath}, {"path", path}, {"sha256", sha}};
}

// The entry a recorder would write for `rel` inside `day`.
QJsonObject entryFor(const QString &day, const QString &rel)
{
    const QString abs = day + '/' + rel;
    return entry(QFileInfo(rel).fileName(), abs, rel, sha256sum(abs));
}

bool writeManifest(const QString &day, const QJsonArray &array)
{
    return encryptTo(day + "/hash.json", QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// What one check emitted, in order: "found:1", "count:3", "start",
// "countcheck:1", "begin:<file>", "end:<file>:<ok>", "done:<verdict>".
struct Outcome {
    QStringList order;
    bool finished = false;
};

// Runs one check of `folder` to its end (bounded in time), receiving its
// signals queued on the test's thread as the dialog does. `setup` may wire
// extra connections before the thread starts.
Outcome runCheck(const QString &folder, const std::function<void(IntegrityCheck *)> &setup = {})
{
    IntegrityCheck c(folder);
    Outcome out;
    QObject ctx;
    auto add = [&out](const QString &s) { out.order << s; };
    QObject::connect(&c, &IntegrityCheck::hash_file_found, &ctx, [=](bool b) { add(QString("found:%1").arg(int(b))); });
    QObject::connect(&c, &IntegrityCheck::file_count, &ctx, [=](int n) { add(QString("count:%1").arg(n)); });
    QObject::connect(&c, &IntegrityCheck::start_check, &ctx, [=] { add("start"); });
    QObject::connect(&c, &IntegrityCheck::file_count_check, &ctx,
                     [=](bool b) { add(QString("countcheck:%1").arg(int(b))); });
    QObject::connect(&c, &IntegrityCheck::begin_check_file, &ctx, [=](const QString &f) { add("begin:" + f); });
    QObject::connect(&c, &IntegrityCheck::end_check_file, &ctx,
                     [=](const QString &f, bool ok) { add(QString("end:%1:%2").arg(f).arg(int(ok))); });
    QObject::connect(&c, &IntegrityCheck::end_check, &ctx, [=](bool v) { add(QString("done:%1").arg(int(v))); });
    if (setup)
        setup(&c);
    c.start();
    out.finished = c.wait(QDeadlineTimer(60000));
    if (!out.finished)
        c.user_stop();
    c.wait();
    QCoreApplication::sendPostedEvents();
    return out;
}

// The log lines written while it lives.
struct LogCapture {
    QTemporaryDir dir;
    LogCapture()
    {
        setLevelValue(1);
        ZuLogFile::install(dir.filePath("log"));
    }
    ~LogCapture() { ZuLogFile::uninstall(); }
    QStringList lines(const QString &containing) const
    {
        QFile f(dir.filePath("log"));
        f.open(QIODevice::ReadOnly);
        QStringList out;
        for (const QString &line : QString::fromUtf8(f.readAll()).split('\n'))
            if (line.contains(containing))
                out << line.section(containing, 1);
        return out;
    }
};

QLabel *label(QWidget *w, const QString &text)
{
    for (QLabel *l : w->findChildren<QLabel *>())
        if (l->text() == text)
            return l;
    return nullptr;
}

} // namespace

class TestIntegrity : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;
    QString day;   // <tmp>/talvor_x/2024-03-05
    QString other; // <tmp>/other, beside the export folder
    const QStringList files{"101500/a.zuvideo", "101500/a.zuseek", "123000/b.zuvideo"};

    QJsonArray goodManifest() const
    {
        QJsonArray a;
        for (const QString &f : files)
            a.append(entryFor(day, f));
        return a;
    }

    // A day whose one file takes seconds to digest (sparse, so no disk is
    // used), so a check is surely still running when the test acts.
    QString makeSlowDay()
    {
        const QString slow = tmp.path() + "/talvor_slow/2024-03-05";
        QDir().mkpath(slow + "/101500");
        QFile f(slow + "/101500/big.zuvideo");
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(8) << 30))
            return QString();
        f.close();
        QJsonArray a{entry("big.zuvideo", f.fileName(), "101500/big.zuvideo", QString(64, '0'))};
        return writeManifest(slow, a) ? slow : QString();
    }

private slots:
    // A day with two segments and the day's own camera list, which the
    // manifest never covers.
    void init()
    {
        day = tmp.path() + "/talvor_x/2024-03-05";
        other = tmp.path() + "/other";
        // rm, not QDir: a name that is not UTF-8 cannot be removed through Qt.
        QCOMPARE(QProcess::execute("rm", {"-rf", tmp.path()}), 0);
        QVERIFY(writeFile(day + '/' + files[0], QByteArray(300000, 'v')));
        QVERIFY(writeFile(day + '/' + files[1], "0 0\n1 4096\n"));
        QVERIFY(writeFile(day + '/' + files[2], "second video"));
        QVERIFY(writeFile(day + "/index.zunfo", "not counted"));
        QVERIFY(writeFile(other + "/x", "outside content"));
    }

    // The manifest's entries are checked in order and the check stops at the
    // first bad one. `results` lists each begun file as name:ok. An entry
    // naming something outside the day, or no regular file of it, must
    // neither be read nor let the day pass, even with the right digest.
    void entries_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("results");
        QTest::addColumn<bool>("verdict");
        const QString two = "a.zuvideo:1 a.zuseek:1 ";
        QTest::newRow("all files match") << "good" << two + "b.zuvideo:1" << true;
        QTest::newRow("one byte changed") << "byte" << "a.zuvideo:1 a.zuseek:0" << false;
        QTest::newRow("upper-case digest") << "upper" << "a.zuvideo:1 a.zuseek:0" << false;
        QTest::newRow("../other/x") << "dotdot" << "a.zuvideo:1 x:0" << false;
        QTest::newRow("/etc/passwd") << "etc" << "a.zuvideo:1 passwd:0" << false;
        QTest::newRow("C:/x") << "drive" << "a.zuvideo:1 x:0" << false;
        QTest::newRow("..\\..\\other\\x") << "backslashdotdot" << "a.zuvideo:1 x:0" << false;
        QTest::newRow("FIFO in the day") << "fifo" << "a.zuvideo:1 pipe:0" << false;
        QTest::newRow("/dev/zero") << "device" << "a.zuvideo:1 zero:0" << false;
        QTest::newRow("symlink to outside") << "symlink" << "a.zuvideo:1 link:0" << false;
        QTest::newRow("index file of the day") << "index" << "a.zuvideo:1 index.zunfo:0" << false;
        QTest::newRow("duplicate entry") << "twice" << two + "a.zuseek:0" << false;
        QTest::newRow("duplicate by another spelling") << "spelling" << two + "a.zuseek:0" << false;
        QTest::newRow("entry without file name") << "noname" << two << false;
        QTest::newRow("entry not an object") << "number" << two << false;
        QTest::newRow("linked segment folder") << "linked" << two + "b.zuvideo:1" << false;
        QTest::newRow("symlink loops") << "loops" << two + "b.zuvideo:1" << false;
    }
    void entries()
    {
        QFETCH(QString, kind);
        QFETCH(QString, results);
        QFETCH(bool, verdict);
        const QString outside = other + "/x";
        const QString second = day + '/' + files[1];
        QJsonArray a = goodManifest();
        int at = 1; // the entry `bad` replaces
        QJsonObject bad = a[1].toObject();
        if (kind == "byte") {
            QFile f(second);
            QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(3) && f.putChar('X'));
        } else if (kind == "upper") {
            bad["sha256"] = bad["sha256"].toString().toUpper();
        } else if (kind == "dotdot") { // the same content really lies there
            bad = entry("x", day + "/../../other/x", "../../other/x", sha256sum(outside));
        } else if (kind == "backslashdotdot") {
            bad = entry("x", "C:\\x", "..\\..\\other\\x", sha256sum(outside));
        } else if (kind == "etc") {
            bad = entry("passwd", "/etc/passwd", "/etc/passwd", sha256sum("/etc/passwd"));
        } else if (kind == "drive") {
            bad = entry("x", "C:/x", "C:/x", QString(64, '0'));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(day + "/101500/pipe").constData(), 0600), 0);
            bad = entry("pipe", day + "/101500/pipe", "101500/pipe", QString(64, '0'));
        } else if (kind == "device") {
            bad = entry("zero", "/dev/zero", "../../../../../../../../dev/zero", QString(64, '0'));
        } else if (kind == "symlink") { // a link in a counted file's place: the count agrees
            QVERIFY(QFile::remove(second) && QFile::link(outside, second));
            bad = entry("link", second, files[1], sha256sum(outside));
        } else if (kind == "index") {
            bad = entry("index.zunfo", day + "/index.zunfo", "index.zunfo", sha256sum(day + "/index.zunfo"));
        } else if (kind == "twice" || kind == "spelling" || kind == "noname" || kind == "number") {
            at = 2;
            if (kind == "spelling")
                bad = entry("a.zuseek", "/nonexistent", "123000/../101500/./a.zuseek", bad["sha256"].toString());
            if (kind == "noname") {
                bad = a[2].toObject();
                bad["file"] = "";
            }
        } else if (kind == "linked") {
            // The player reads a linked segment folder like a real one.
            QVERIFY(writeFile(other + "/seg/c.zuvideo", "planted video"));
            QVERIFY(QFile::link(other + "/seg", day + "/150000"));
        } else if (kind == "loops") {
            QVERIFY(QFile::link(day, day + "/101500/up"));
            QVERIFY(QFile::link(".", day + "/123000/self"));
            QVERIFY(QFile::link(day + "/loop_b", day + "/loop_a"));
            QVERIFY(QFile::link(day + "/loop_a", day + "/loop_b"));
        }
        a[at] = kind == "number" ? QJsonValue(42) : QJsonValue(bad);
        QVERIFY(writeManifest(day, a));

        const Outcome out = runCheck(day);
        QVERIFY(out.finished);
        QStringList expected{"found:1", "count:3", "start", "countcheck:1"};
        for (const QString &r : results.split(' ', Qt::SkipEmptyParts))
            expected << "begin:" + r.section(':', 0, 0) << "end:" + r;
        QCOMPARE(out.order, expected << QString("done:%1").arg(int(verdict)));
    }

    // Verdicts on the day as a whole. Manifests refused before any file is
    // read: never OK, never a hang. Everything below the day folder counts
    // but the day's own manifest and camera list; what the check cannot
    // read or hash fails the verdict, and hidden entries are named in the
    // log. `logged` is the end of a log line the check must write.
    void dayVerdicts_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("order");
        QTest::addColumn<QString>("logged");
        const QString refused = "found:0 count:0 start countcheck:0 done:0";
        const QString all = "found:1 count:3 start countcheck:1 begin:a.zuvideo end:a.zuvideo:1 begin:a.zuseek "
                            "end:a.zuseek:1 begin:b.zuvideo end:b.zuvideo:1 done:";
        const QString added = "found:1 count:3 start countcheck:0 done:0";
        QTest::newRow("no manifest") << "none" << refused << "";
        QTest::newRow("empty day without manifest") << "emptyday" << "found:0 count:0 start countcheck:1 done:0" << "";
        QTest::newRow("undecryptable") << "garbage" << refused << "";
        QTest::newRow("not an array") << "object" << refused << "";
        QTest::newRow("empty manifest") << "empty" << refused << "";
        QTest::newRow("FIFO as manifest") << "fifomanifest" << refused << "";
        QTest::newRow("count mismatch: entry too many") << "extra" << "found:1 count:4 start countcheck:0 done:0" << "";
        QTest::newRow("camera list planted as index.zunfo in a segment")
            << "101500/index.zunfo" << added << "invalid integrity :: file added :: DAY/101500/index.zunfo";
        QTest::newRow("camera list planted as zzindex.zunfo in the day")
            << "zzindex.zunfo" << added << "invalid integrity :: file added :: DAY/zzindex.zunfo";
        QTest::newRow("manifest copy in a segment") << "101500/hash.json" << added << "file added :: DAY/101500/hash.json";
        QTest::newRow("day index cache") << "zuvideoindex.json" << added << "file added :: DAY/zuvideoindex.json";
        QTest::newRow("hidden folder holding a recording copy")
            << ".copy/a.zuvideo" << all + "1" << "hidden, not verified :: DAY/.copy";
        QTest::newRow("hidden file") << "123000/.b.zuvideo" << all + "1" << "hidden, not verified :: DAY/123000/.b.zuvideo";
        QTest::newRow("FIFO") << "fifo" << all + "0" << "not verified (not a regular file) :: DAY/123000/pipe";
        QTest::newRow("name not UTF-8") << "latin1" << all + "0"
                                        << "not verified (name not UTF-8) :: DAY/123000/cam\\xe9ra.zuvideo";
        QTest::newRow("dangling link") << "dangling" << all + "0" << "not verified (dangling link) :: DAY/123000/gone";
        QTest::newRow("manifest written on Windows") << "backslash" << all + "1" << "";
    }
    void dayVerdicts()
    {
        QFETCH(QString, kind);
        QFETCH(QString, order);
        QFETCH(QString, logged);
        QString folder = day;
        const QString manifest = day + "/hash.json";
        QJsonArray a = goodManifest();
        for (int i = 0; kind == "backslash" && i < a.size(); ++i) {
            QJsonObject e = a[i].toObject();
            e["path"] = e["path"].toString().replace('/', '\\');
            e["absolutepath"] = "E:\\exports\\talvor_x\\2024-03-05\\" + e["path"].toString();
            a[i] = e;
        }
        const QByteArray seg = QFile::encodeName(day + "/123000/");
        if (kind == "emptyday")
            QVERIFY(QDir().mkpath(folder = tmp.path() + "/2024-03-06"));
        else if (kind == "garbage")
            QVERIFY(writeFile(manifest, "garbage that is not AES"));
        else if (kind == "object")
            QVERIFY(encryptTo(manifest, "{\"not\":\"an array\"}"));
        else if (kind == "empty")
            QVERIFY(writeManifest(day, QJsonArray()));
        else if (kind == "fifomanifest")
            QCOMPARE(::mkfifo(QFile::encodeName(manifest).constData(), 0600), 0);
        else if (kind != "none")
            QVERIFY(writeManifest(day, kind == "extra" ? a << entry("ghost", day + "/ghost", "ghost", QString(64, 'a')) : a));
        if (kind == "fifo")
            QCOMPARE(::mkfifo((seg + "pipe").constData(), 0600), 0);
        else if (kind == "latin1")
            QVERIFY(::close(::open((seg + "cam\xe9ra.zuvideo").constData(), O_CREAT | O_WRONLY, 0600)) == 0);
        else if (kind == "dangling")
            QCOMPARE(::symlink("/nonexistent/target", (seg + "gone").constData()), 0);
        else if (kind.contains('.'))
            QVERIFY(writeFile(day + '/' + kind, "planted"));

        LogCapture log;
        const Outcome out = runCheck(folder);
        QVERIFY(out.finished);
        QCOMPARE(out.order.join(' '), order);
        if (!logged.isEmpty()) {
            const QString marker = " :: ";
            const QString head = logged.section(marker, 0, -2) + marker;
            QCOMPARE(log.lines(head), QStringList{logged.section(marker, -1).replace("DAY", day)});
        }
    }

    // A count that differs names the files on disk without an entry and the
    // entries without a file, matched where they lead, not by the absolute
    // paths recorded before the day was moved.
    void countDifferenceLog()
    {
        QVERIFY(writeManifest(day, goodManifest()));
        const QString moved = tmp.path() + "/moved";
        QVERIFY(QDir().rename(tmp.path() + "/talvor_x", moved));
        const QString movedDay = moved + "/2024-03-05";
        QVERIFY(QFile::remove(movedDay + "/123000/b.zuvideo"));
        QVERIFY(writeFile(movedDay + "/123000/c.zuvideo", "new"));
        QVERIFY(writeFile(movedDay + "/123000/d.zuvideo", "new"));
        LogCapture log;
        const Outcome out = runCheck(movedDay);
        QCOMPARE(out.order.join(' '), QString("found:1 count:3 start countcheck:0 done:0"));
        QCOMPARE(log.lines("invalid integrity :: file missing :: "), QStringList{day + "/123000/b.zuvideo"});
        QCOMPARE(log.lines("invalid integrity :: file added :: "),
                 (QStringList{movedDay + "/123000/c.zuvideo", movedDay + "/123000/d.zuvideo"}));
    }

    // Files are hashed on several threads, yet the signals follow manifest
    // order and the first mismatch in that order ends the check; hashing
    // already started on later files (here a terabyte of holes each, which
    // would take minutes) is abandoned.
    void hashedOnThreads_data()
    {
        QTest::addColumn<bool>("huge");
        QTest::newRow("many files, two mismatches") << false;
        QTest::newRow("huge files after the mismatch") << true;
    }
    void hashedOnThreads()
    {
        QFETCH(bool, huge);
        const QString many = tmp.path() + "/talvor_many/2024-03-05";
        const int files = huge ? 4 : 40;
        // Listed against the walk's order (many) or the mismatch first (huge).
        QList<int> order;
        for (int i = 0; i < files; ++i)
            order << (huge ? i : files - 1 - i);
        const QList<int> bad = huge ? QList<int>{0} : QList<int>{30, 25};
        QJsonArray listed;
        for (int i : order) {
            const QString rel = QString("%1/f%2.zuvideo").arg(100000 + i % 3).arg(i, 2, 10, QChar('0'));
            QFile f(many + '/' + rel);
            QVERIFY(QDir().mkpath(QFileInfo(f).absolutePath()) && f.open(QIODevice::WriteOnly));
            if (huge && i > 0)
                QVERIFY(f.resize(qint64(1) << 40));
            else
                QVERIFY(f.write(QByteArray((i * 7919) % 200000 + 1, char('a' + i % 26))) > 0);
            f.close();
            const bool wrong = bad.contains(i) || (huge && i > 0);
            listed.append(entry(QFileInfo(rel).fileName(), f.fileName(), rel,
                                wrong ? QString(64, 'f') : sha256sum(f.fileName())));
        }
        QVERIFY(writeManifest(many, listed));

        int threads = 0;
        const Outcome out = runCheck(many, [&threads](IntegrityCheck *c) {
            connect(c, &IntegrityCheck::end_check, c, [c, &threads] { threads = c->hash_threads(); },
                    Qt::DirectConnection);
        });
        QVERIFY(out.finished);
        QStringList expected{"found:1", QString("count:%1").arg(files), "start", "countcheck:1"};
        for (int i : order) {
            const QString name = QString("f%1.zuvideo").arg(i, 2, 10, QChar('0'));
            expected << "begin:" + name << QString("end:%1:%2").arg(name).arg(int(!bad.contains(i)));
            if (bad.contains(i))
                break;
        }
        QCOMPARE(out.order, expected << "done:0");
        QVERIFY(threads >= 1 && threads <= IntegrityCheck::kMaxHashThreads);
    }

    // A stop from the worker itself once the first file is begun (the digest
    // loop must see it, even inside a large file) or settled.
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
            QVERIFY(writeFile(day + '/' + files[0], QByteArray(48 << 20, 'b')));
        QVERIFY(writeManifest(day, goodManifest()));
        const Outcome out = runCheck(day, [insideFile](IntegrityCheck *c) {
            if (insideFile)
                connect(c, &IntegrityCheck::begin_check_file, c, &IntegrityCheck::user_stop, Qt::DirectConnection);
            else
                connect(c, &IntegrityCheck::end_check_file, c, &IntegrityCheck::user_stop, Qt::DirectConnection);
        });
        QVERIFY(out.finished);
        QStringList expected{"begin:a.zuvideo"};
        if (!insideFile)
            expected << "end:a.zuvideo:1";
        QCOMPARE(out.order.mid(4), expected << "done:0");
    }

    // A file that is not, at the verdict, the file that was read fails the
    // day, whether the digest saw the change or not: bytes rewritten after
    // the file was hashed (its modification time put back, too), the file
    // replaced by a copy through a rename, or its first block rewritten with
    // the same byte while the large file is read.
    void changedDuringCheck_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("rewritten after it was hashed, time put back") << "inplace";
        QTest::newRow("replaced by rename") << "rename";
        QTest::newRow("rewritten while it is read") << "reading";
    }
    void changedDuringCheck()
    {
        QFETCH(QString, change);
        const QString target = day + '/' + files[0];
        if (change == "reading")
            QVERIFY(writeFile(target, QByteArray(48 << 20, 'b')));
        QVERIFY(writeManifest(day, goodManifest()));
        const QByteArray path = QFile::encodeName(target);
        const auto act = [=] {
            if (change == "rename") {
                const QString copy = target + ".new";
                QFile::copy(target, copy);
                ::rename(QFile::encodeName(copy).constData(), path.constData());
                return;
            }
            struct stat st {};
            ::stat(path.constData(), &st);
            const int fd = ::open(path.constData(), O_WRONLY);
            [[maybe_unused]] const ssize_t written = ::pwrite(fd, change == "reading" ? "b" : "X", 1, 0);
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            ::futimens(fd, times);
            ::close(fd);
        };
        LogCapture log;
        const Outcome out = runCheck(day, [&](IntegrityCheck *c) {
            if (change == "reading")
                connect(c, &IntegrityCheck::begin_check_file, c, act, Qt::DirectConnection);
            else
                connect(c, &IntegrityCheck::end_check_file, c, [=](const QString &f) {
                    if (f == "b.zuvideo")
                        act();
                }, Qt::DirectConnection);
        });
        QVERIFY(out.finished);
        QCOMPARE(out.order.last(), QString("done:0"));
        QVERIFY(out.order.contains("end:a.zuvideo:0"));
        QCOMPARE(log.lines("check integrity :: changed during the check :: ").value(0), target);
    }

    // Files copied into the day once the count was taken, every listed file
    // still matching its digest: the day that is judged is no longer the day
    // that was counted, and the log names what came.
    void addedDuringCheck_data()
    {
        QTest::addColumn<QStringList>("added"); // below the day folder
        QTest::newRow("another camera's data and seek file") << QStringList{"101500/c.zuvideo", "101500/c.zuseek"};
        QTest::newRow("a new segment folder") << QStringList{"140000/d.zuvideo", "140000/d.zuseek"};
        QTest::newRow("a file at the top of the day") << QStringList{"notes.txt"};
    }
    void addedDuringCheck()
    {
        QFETCH(QStringList, added);
        QVERIFY(writeManifest(day, goodManifest()));
        LogCapture log;
        const Outcome out = runCheck(day, [&](IntegrityCheck *c) {
            connect(c, &IntegrityCheck::end_check_file, c, [&](const QString &f) {
                if (f == "b.zuvideo")
                    for (const QString &rel : added)
                        writeFile(day + '/' + rel, "came late");
            }, Qt::DirectConnection);
        });
        QVERIFY(out.finished);
        QCOMPARE(out.order.last(), QString("done:0"));
        QStringList paths;
        for (const QString &rel : added) {
            paths << day + '/' + rel;
            QVERIFY(out.order.contains("end:" + QFileInfo(rel).fileName() + ":0"));
        }
        paths.sort();
        QCOMPARE(log.lines("check integrity :: added during the check :: "), paths);
        QCOMPARE(log.lines("Integrity check :: INTEGRITY OK").size(), 0);
    }

    // The log says why an entry failed or what was verified: two names of
    // one file (a hard link), a file replaced by a link out of the day, a
    // day folder reached through a link.
    void verdictExplained_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("last");   // the last two signals
        QTest::addColumn<QString>("logged"); // after "check integrity :: "
        QTest::newRow("identical files hard-linked") << "hardlink" << "end:b.zuvideo:0 done:0"
            << "duplicate entry :: b.zuvideo :: DAY/123000/b.zuvideo is the same file as DAY/101500/a.zuvideo (hard link)";
        QTest::newRow("file replaced by a link out of the day") << "symlink" << "end:a.zuseek:0 done:0"
            << "couldn't find file :: a.zuseek :: DAY/101500/a.zuseek leads out of the day, to OTHER/x";
        QTest::newRow("day folder is a link") << "linkedday" << "end:b.zuvideo:1 done:1"
            << "day folder is a link :: LINK -> DAY";
    }
    void verdictExplained()
    {
        QFETCH(QString, kind);
        QFETCH(QString, last);
        QFETCH(QString, logged);
        QString folder = day;
        const QString link = tmp.path() + "/talvor_x/2024-03-06";
        if (kind == "hardlink") {
            QVERIFY(QFile::remove(day + '/' + files[2]));
            QCOMPARE(::link(QFile::encodeName(day + '/' + files[0]).constData(),
                            QFile::encodeName(day + '/' + files[2]).constData()), 0);
        }
        QVERIFY(writeManifest(day, goodManifest()));
        if (kind == "symlink")
            QVERIFY(QFile::remove(day + '/' + files[1]) && QFile::link(other + "/x", day + '/' + files[1]));
        else if (kind == "linkedday")
            QVERIFY(QFile::link(day, folder = link));
        LogCapture log;
        const Outcome out = runCheck(folder);
        QVERIFY(out.finished);
        QCOMPARE(out.order.mid(out.order.size() - 2).join(' '), last);
        const QString head = logged.section(" :: ", 0, 0) + " :: ";
        QCOMPARE(log.lines("check integrity :: " + head),
                 QStringList{logged.mid(head.size()).replace("DAY", day).replace("OTHER", other).replace("LINK", link)});
    }

    // A manifest far longer than the day (here 20000 entries against three
    // files): the log keeps the first and the last of the missing files with
    // the count of those between, and a stop is seen before the walk and
    // during the report, not only between two files.
    void longManifest_data()
    {
        QTest::addColumn<QString>("stopAt");
        QTest::newRow("run to the end") << "";
        QTest::newRow("stopped before the walk") << "walk";
        QTest::newRow("stopped before the report") << "report";
    }
    void longManifest()
    {
        QFETCH(QString, stopAt);
        const int entries = 20000;
        QJsonArray a;
        for (int i = 0; i < entries; ++i) {
            const QString rel = QString("gone/f%1.zuvideo").arg(i, 5, 10, QChar('0'));
            a.append(entry(QFileInfo(rel).fileName(), day + '/' + rel, rel, QString(64, 'a')));
        }
        QVERIFY(writeManifest(day, a));
        LogCapture log;
        const Outcome out = runCheck(day, [&](IntegrityCheck *c) {
            if (stopAt == "walk")
                connect(c, &QThread::started, c, &IntegrityCheck::user_stop, Qt::DirectConnection);
            else if (stopAt == "report")
                connect(c, &IntegrityCheck::start_check, c, &IntegrityCheck::user_stop, Qt::DirectConnection);
        });
        QVERIFY(out.finished);
        const QStringList missing = log.lines("invalid integrity :: file missing :: ");
        if (stopAt == "walk") {
            QCOMPARE(out.order, QStringList{"done:0"});
        } else {
            QCOMPARE(out.order.join(' '), QString("found:1 count:%1 start countcheck:0 done:0").arg(entries));
            QCOMPARE(log.lines("size not valid :: ").size(), 1);
        }
        if (!stopAt.isEmpty()) {
            QVERIFY(missing.isEmpty());
            return;
        }
        const int kept = IntegrityCheck::kReportHeadLines + IntegrityCheck::kReportTailLines;
        QCOMPARE(missing.size(), kept + 1);
        QCOMPARE(missing.first(), day + "/gone/f00000.zuvideo");
        QCOMPARE(missing.at(IntegrityCheck::kReportHeadLines), QString("... %1 more not logged ...").arg(entries - kept));
        QCOMPARE(missing.last(), day + QString("/gone/f%1.zuvideo").arg(entries - 1));
    }

    // The generated export folder: every day with a manifest verifies in
    // place and after being moved. The moved copy's manifest still names the
    // original files by absolute path, so a changed byte in the copy shows
    // that the copy's own files were checked.
    void generatedDaysPass()
    {
        const QFileInfoList folders = QDir(ZU_BINARY_DIR "/testdata/small").entryInfoList({"talvor_*"}, QDir::Dirs);
        QVERIFY2(!folders.isEmpty(), "no generated export folder under testdata/small");
        const QString source = folders.first().filePath(), moved = tmp.path() + "/moved";
        QVERIFY(QProcess::execute("cp", {"-a", source, moved}) == 0);
        QStringList days;
        for (const QString &root : {source, moved})
            for (const QFileInfo &fi : QDir(root).entryInfoList({"*-*-*"}, QDir::Dirs))
                if (QFileInfo::exists(fi.filePath() + "/hash.json"))
                    days << fi.absoluteFilePath();
        QVERIFY(days.size() >= 2);
        for (const QString &d : days) {
            const Outcome out = runCheck(d);
            QVERIFY2(out.finished && out.order.endsWith("done:1"), qPrintable(d + ": " + out.order.join(' ')));
        }
        QDirIterator it(days.last(), {"*.zuvideo"}, QDir::Files, QDirIterator::Subdirectories);
        QVERIFY(days.last().startsWith(moved) && it.hasNext());
        QFile f(it.next());
        QVERIFY(f.open(QIODevice::ReadWrite));
        const char first = f.read(1).at(0);
        QVERIFY(f.seek(0) && f.putChar(char(first ^ 0x5a)));
        f.close();
        QVERIFY(runCheck(days.last()).order.endsWith("done:0"));
    }

    // A check run to its end as the dialog shows it: percentages per file
    // begun, the button's text through the states, and the two endings.
    void dialogNormalRun_data()
    {
        QTest::addColumn<bool>("verdict");
        QTest::newRow("OK") << true;
        QTest::newRow("not OK") << false;
    }
    void dialogNormalRun()
    {
        QFETCH(bool, verdict);
        IntegrityDialog d("/r", "2024-03-05", nullptr);
        d.setAttribute(Qt::WA_DeleteOnClose, false);
        d.show();
        auto *bar = d.findChild<QProgressBar *>();
        auto *button = d.findChild<QPushButton *>();
        QSignalSpy stopped(&d, &IntegrityDialog::user_stopped);
        QCOMPARE(button->text(), QString("Fermer"));
        QCOMPARE(bar->format(), QString("Vérification en attente ..."));
        d.is_hash_file_found(true);
        d.get_file_count(3);
        d.start_check();
        d.is_file_count_check(true);
        QCOMPARE(button->text(), QString("Arrêter"));
        for (const char *line : {"Fichier HASH trouvé : OK", "Nombre de fichiers à vérifier : 3",
                                 "État de la vérification d'intégrité : EN COURS ...",
                                 "Intégrité du compte de fichiers : OK"})
            QVERIFY2(label(&d, line), line);
        const QStringList percents{"33 %  [ a ]", "66 %  [ b ]", "100 %  [ c ]"};
        for (int i = 0; i < 3; ++i) {
            const QString file = QString(QChar('a' + i));
            d.begin_check_file(file);
            QCOMPARE(bar->format(), percents[i]);
            QCOMPARE(bar->value(), i + 1);
            d.end_check_file(file, verdict || i < 2);
        }
        QCOMPARE(label(&d, "Erreur lors de la vérification du fichier : c") != nullptr, !verdict);
        d.end_check(verdict);
        QCOMPARE(bar->format(), verdict ? QString("Intégrité validée") : QString("Intégrité non valide"));
        QVERIFY(bar->styleSheet().contains(verdict ? "background-color: green" : "background-color: red"));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(label(&d, verdict ? "État de la vérification d'intégrité : OK"
                                  : "État de la vérification d'intégrité : ERREUR"));
        QVERIFY(!label(&d, "État de la vérification d'intégrité : EN COURS ..."));
        QLabel *summary = label(&d, verdict ? "Vérification d'intégrité terminée et validée"
                                            : "Vérification d'intégrité terminée et non conforme");
        QVERIFY(summary);
        QCOMPARE(summary->styleSheet().contains("color: red"), !verdict);
        QCOMPARE(button->text(), QString("Fermer"));
        QVERIFY(button->isEnabled());
        button->click();
        QVERIFY(!d.isVisible());
        QCOMPARE(stopped.size(), 0);
    }

    // A stopped check is never shown as a verdict on the day, whatever the
    // checker says; a file name from the manifest is text, not markup.
    void stopThenVerdict()
    {
        IntegrityDialog d("/r", "2024-03-05", nullptr);
        d.setAttribute(Qt::WA_DeleteOnClose, false);
        auto *bar = d.findChild<QProgressBar *>();
        auto *button = d.findChild<QPushButton *>();
        QSignalSpy stopped(&d, &IntegrityDialog::user_stopped);
        d.get_file_count(4);
        d.start_check();
        d.end_check_file("<b>x</b>", false);
        QLabel *bad = label(&d, "Erreur lors de la vérification du fichier : <b>x</b>");
        QVERIFY(bad && bad->textFormat() == Qt::PlainText);
        button->click();
        // Escape while stopping neither closes nor stops twice.
        QTest::keyClick(&d, Qt::Key_Escape);
        QCOMPARE(stopped.size(), 1);
        d.end_check(true);
        QCOMPARE(bar->format(), QString("Vérification arrêtée"));
        QVERIFY(label(&d, "État de la vérification : interrompue par l'utilisateur"));
        QVERIFY(button->isEnabled());
    }

    // A dialog closed before its check starts stops it; Escape mid-check
    // stops the check and the dialog stays until the verdict; closing it
    // then releases the runner and its checker once the thread has ended.
    // (An owner deleted mid-check is in the older window's tests.)
    void dialogClosedOrEscaped()
    {
        const QString slow = makeSlowDay();
        QVERIFY(!slow.isEmpty());
        QPointer<IntegrityRunner> runner = IntegrityRunner::start(slow);
        runner->dialog()->close();
        QTRY_VERIFY_WITH_TIMEOUT(runner.isNull(), 20000);

        runner = IntegrityRunner::start(slow);
        QPointer<IntegrityDialog> d = runner->dialog();
        QTRY_VERIFY(d && d->isChecking());
        QTest::keyClick(d, Qt::Key_Escape);
        QVERIFY(d && d->isVisible());
        // The digest of the large file sees the stop between two blocks.
        QTRY_VERIFY_WITH_TIMEOUT(d && !d->isChecking(), 20000);
        QCOMPARE(d->findChild<QProgressBar *>()->format(), QString("Vérification arrêtée"));
        QVERIFY(runner);
        QTest::keyClick(d, Qt::Key_Escape);
        QTRY_VERIFY(d.isNull() && runner.isNull());
    }
};

QTEST_MAIN(TestIntegrity)
#include "test_integrity.moc"
