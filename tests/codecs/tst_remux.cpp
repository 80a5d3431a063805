#include "codectestutil.h"
#include "probe.h"
#include "zustreamremux.h"

#include <QtTest>

#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

class TestRemux : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); }
    void remuxesAnnexBToContainers_data();
    void remuxesAnnexBToContainers();
    void failsCleanly();
    void finalFileOnAnotherFilesystem();

private:
    static QString writeAnnexB(const QString &path, int frames)
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        for (const QByteArray &unit : codectest::makeAccessUnits("libx264", 320, 240, frames, 10))
            f.write(unit);
        return path;
    }
};

void TestRemux::remuxesAnnexBToContainers_data()
{
    QTest::addColumn<QString>("finalName");
    QTest::addColumn<double>("duration");
    QTest::addColumn<QString>("rate");
    QTest::newRow("mp4 at 10 fps") << "out.mp4" << 2.0 << "10/1";
    QTest::newRow("mkv at 20 fps") << "out.mkv" << 1.0 << "20/1";
    QTest::newRow("no duration gives 25 fps") << "out.mp4" << 0.0 << "25/1";
}

void TestRemux::remuxesAnnexBToContainers()
{
    QFETCH(QString, finalName);
    QFETCH(double, duration);
    QFETCH(QString, rate);
    QTemporaryDir dir;
    const QString input = writeAnnexB(dir.filePath("tmp.raw"), 20);
    QVERIFY(!input.isEmpty());
    ZuStreamRemux remux;
    QCOMPARE(remux.remuxUrlToFile(input, dir.filePath("tmp.mp4"), dir.filePath(finalName), duration), 0);
    // Only the final file is left.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{finalName});
    const codectest::Probe p = codectest::probe(dir.filePath(finalName));
    QVERIFY(p.ok);
    QCOMPARE(p.codec, QStringLiteral("h264"));
    QCOMPARE(p.width, 320);
    QCOMPARE(p.height, 240);
    QCOMPARE(p.frames, 20);
    QCOMPARE(p.frameRate, rate);
}

void TestRemux::failsCleanly()
{
    QTemporaryDir dir;
    ZuStreamRemux remux;
    // Missing input.
    QCOMPARE(remux.remuxUrlToFile(dir.filePath("none.raw"), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0), -15);
    QCOMPARE(remux.remuxUrlToFile(QString(), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0), -15);
    // Garbage bytes: refused, and kept for whoever wants to look at them.
    QFile garbage(dir.filePath("garbage.raw"));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    QByteArray bytes(50000, '\0');
    quint32 seed = 7;
    for (char &c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    garbage.write(bytes);
    garbage.close();
    const int rc = remux.remuxUrlToFile(garbage.fileName(), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0);
    QVERIFY2(rc <= -15 && rc >= -21, qPrintable(QString::number(rc)));
    QVERIFY(QFile::exists(garbage.fileName()));
    // An output folder that does not exist: the input stays.
    const QString input = writeAnnexB(dir.filePath("tmp.raw"), 5);
    QCOMPARE(remux.remuxUrlToFile(input, dir.filePath("missing/tmp.mp4"), dir.filePath("missing/out.mp4"), 1.0), -20);
    QVERIFY(QFile::exists(input));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"garbage.raw", "tmp.raw"}));
}

void TestRemux::finalFileOnAnotherFilesystem()
{
    // The download worker remuxes in its own folder below the home folder;
    // the user's output may be on another filesystem (a USB stick), where
    // no rename reaches.
    QTemporaryDir work;
    QTemporaryDir other(QStringLiteral("/dev/shm/zu_remux_XXXXXX"));
    struct stat a {}, b {};
    if (!other.isValid() || ::stat(QFile::encodeName(work.path()).constData(), &a) != 0
        || ::stat(QFile::encodeName(other.path()).constData(), &b) != 0 || a.st_dev == b.st_dev)
        QSKIP("no second filesystem at hand");
    const QString input = writeAnnexB(work.filePath("tmp.raw"), 20);
    QVERIFY(!input.isEmpty());
    const QString finalFile = other.filePath(QStringLiteral("out.mp4"));
    ZuStreamRemux remux;
    QCOMPARE(remux.remuxUrlToFile(input, work.filePath("tmp.mp4"), finalFile, 2.0), 0);
    QCOMPARE(QDir(other.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("out.mp4")});
    QVERIFY(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    QCOMPARE(QFileInfo(finalFile).permissions() & QFile::ReadGroup, QFile::ReadGroup);
    const codectest::Probe p = codectest::probe(finalFile);
    QVERIFY(p.ok);
    QCOMPARE(p.frames, 20);
}

QTEST_GUILESS_MAIN(TestRemux)
#include "tst_remux.moc"
