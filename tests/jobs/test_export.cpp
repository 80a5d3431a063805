// The export worker against generated recordings: contents checked with
// ffprobe and with frame counts taken from the seek files, stop, and the
// error endings.
#include "export_testutil.h"

#include "export_error.h"
#include "zulog.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace etest;

class TestExport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void exportRange_data();
    void exportRange();
    void stopLeavesPlayableFile();
    void badOutputPath();
    void rangeWithoutFrames();
    void rangeWithoutKeyFrame();
    void unreadableFrame();
    void threeFilesProgress();
    void helpers();

private:
    // Copies camera `camera`'s files of the small day to `dir`, letting
    // `edit` rewrite each seek file's lines.
    QList<QFileInfo> copyCamera(const QString &dir, int camera,
                                const std::function<QByteArray(const QByteArray &)> &edit);

    QString m_day;
};

void TestExport::initTestCase()
{
    setLevelValue(qEnvironmentVariableIntValue("ZU_TEST_LOG"));
    m_day = smallDay();
    QVERIFY2(!m_day.isEmpty() && QFileInfo(m_day).isDir(), "the small_export fixture is missing");
}

QList<QFileInfo> TestExport::copyCamera(const QString &dir, int camera,
                                        const std::function<QByteArray(const QByteArray &)> &edit)
{
    QList<QFileInfo> out;
    for (const QFileInfo &fi : cameraFiles(m_day, camera)) {
        const QString seg = dir + QLatin1Char('/') + fi.dir().dirName();
        QDir().mkpath(seg);
        const QString data = seg + QLatin1Char('/') + fi.fileName();
        QFile::copy(fi.absoluteFilePath(), data);
        QString seek = fi.absoluteFilePath();
        seek.replace(QStringLiteral(".zuvideo"), QStringLiteral(".zuseek"));
        QFile in(seek);
        if (!in.open(QIODevice::ReadOnly))
            return {};
        QByteArray lines;
        for (const QByteArray &line : in.readAll().split('\n'))
            if (!line.isEmpty())
                lines += edit(line) + '\n';
        QFile o(seg + QLatin1Char('/') + QFileInfo(seek).fileName());
        if (!o.open(QIODevice::WriteOnly) || o.write(lines) != lines.size())
            return {};
        out.append(QFileInfo(data));
    }
    return out;
}

void TestExport::exportRange_data()
{
    QTest::addColumn<int>("camera");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("probeCodec");
    QTest::addColumn<QString>("begin");
    QTest::addColumn<QString>("end");
    // Begins one second before a key frame and ends in the next file.
    QTest::newRow("h264 across two files") << 12 << "libx264" << ".mp4" << "h264" << "140003" << "140009";
    QTest::newRow("h265 name") << 12 << "h265" << ".mp4" << "hevc" << "140001" << "140005";
    QTest::newRow("mjpeg on the two-stream camera") << 3 << "mjpeg" << ".avi" << "mjpeg" << "140005" << "140008";
}

void TestExport::exportRange()
{
    QFETCH(int, camera);
    QFETCH(QString, codec);
    QFETCH(QString, suffix);
    QFETCH(QString, probeCodec);
    QFETCH(QString, begin);
    QFETCH(QString, end);
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("export") + suffix);
    const QList<QFileInfo> files = cameraFiles(m_day, camera);
    QCOMPARE(files.size(), 2);
    QString firstKey;
    const int expected = expectedFrames(seekLines(files, QStringLiteral("video0")), begin, end, &firstKey);
    QVERIFY(expected > 0);

    const Run r = runExport(files, begin, end, codec, out);
    QVERIFY(r.finished);
    QCOMPARE(r.errors, QList<int>());
    QCOMPARE(r.endings, 1);
    QCOMPARE(int(r.timestamps.size()), expected);
    // The file starts at the first key frame, not at the begin.
    QCOMPARE(r.timestamps.first(), firstKey);
    for (int i = 1; i < r.timestamps.size(); ++i)
        QVERIFY(r.timestamps[i] > r.timestamps[i - 1]);

    const Probe p = probe(out);
    QVERIFY2(p.ok, qPrintable(out));
    QCOMPARE(p.codec, probeCodec);
    QCOMPARE(p.width, 320);
    QCOMPARE(p.height, 240);
    QCOMPARE(p.frames, expected);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), QStringList{QFileInfo(out).fileName()});
}

void TestExport::stopLeavesPlayableFile()
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("stopped.mp4"));
    const QList<QFileInfo> files = cameraFiles(m_day, 12);
    const int all = expectedFrames(seekLines(files, QStringLiteral("video0")), QStringLiteral("140000"),
                                   QStringLiteral("235959"));
    const Run r = runExport(files, QStringLiteral("140000"), QStringLiteral("235959"), QStringLiteral("h264"), out,
                            [](ff_export *w, int n) {
                                if (n == 15)
                                    w->set_stop();
                            });
    QVERIFY(r.finished);
    QCOMPARE(r.errors, QList<int>());
    QCOMPARE(r.endings, 1);
    const Probe p = probe(out);
    QVERIFY(p.ok);
    QCOMPARE(p.codec, QStringLiteral("h264"));
    QCOMPARE(p.frames, int(r.timestamps.size()));
    QVERIFY(p.frames >= 15);
    QVERIFY(p.frames < all);
}

void TestExport::badOutputPath()
{
    const Run r = runExport(cameraFiles(m_day, 12), QStringLiteral("140000"), QStringLiteral("140005"),
                            QStringLiteral("libx264"), QStringLiteral("/nonexistent-folder/sub/out.mp4"));
    QVERIFY(r.finished);
    QCOMPARE(r.errors, QList<int>{-5});
    QCOMPARE(r.endings, 0);
    QVERIFY(r.timestamps.isEmpty());
    QVERIFY(!QFileInfo::exists(QStringLiteral("/nonexistent-folder")));
    QCOMPARE(export_error::errorMessage(-5), QStringLiteral("Erreur d'initialisation de l'encodeur. #1"));
}

void TestExport::rangeWithoutFrames()
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("empty.mp4"));
    // Before the recording: the reader finds nothing.
    const Run r = runExport(cameraFiles(m_day, 12), QStringLiteral("100000"), QStringLiteral("110000"),
                            QStringLiteral("libx264"), out);
    QVERIFY(r.finished);
    QCOMPARE(r.errors, QList<int>{-10});
    QCOMPARE(r.endings, 0);
    QVERIFY(!QFileInfo::exists(out));
}

void TestExport::rangeWithoutKeyFrame()
{
    QTemporaryDir tmp;
    // Every frame of the first file but its opening key frame is dated one
    // second later: 14:00:01 up to the first frame at or after 14:00:02 then
    // holds only frames that depend on that key frame (which the reader
    // decodes first, outside the range) and no key frame of its own.
    const QList<QFileInfo> files = copyCamera(tmp.path(), 12, [](const QByteArray &line) {
        QList<QByteArray> f = line.split(':');
        const QDateTime t = QDateTime::fromString(QString::fromLatin1(f[0]), QStringLiteral("yyyyMMddHHmmsszzz"));
        if (f[0] > "20240305140000000" && f[0] < "20240305140006000")
            f[0] = t.addSecs(1).toString(QStringLiteral("yyyyMMddHHmmsszzz")).toLatin1();
        return f.join(':');
    });
    QCOMPARE(files.size(), 2);
    QCOMPARE(expectedFrames(seekLines(files, QStringLiteral("video0")), QStringLiteral("140001"),
                            QStringLiteral("140002")),
             0);
    const QString out = tmp.filePath(QStringLiteral("nokey.mp4"));
    const Run r = runExport(files, QStringLiteral("140001"), QStringLiteral("140002"), QStringLiteral("libx264"), out);
    QVERIFY(r.finished);
    QCOMPARE(r.errors, QList<int>{-10});
    QCOMPARE(r.endings, 0);
    QVERIFY(r.timestamps.isEmpty());
    QVERIFY(!QFileInfo::exists(out));
}

void TestExport::unreadableFrame()
{
    QTemporaryDir tmp;
    // The second file's entries name a codec nothing can decode.
    int n = 0;
    const QList<QFileInfo> files = copyCamera(tmp.path(), 12, [&n](const QByteArray &line) {
        QList<QByteArray> f = line.split(':');
        if (f[0].mid(8, 6) >= "140006")
            f[2] = "nocodec";
        ++n;
        return f.join(':');
    });
    QCOMPARE(files.size(), 2);
    const QString out = tmp.filePath(QStringLiteral("broken.mp4"));
    const Run r = runExport(files, QStringLiteral("140000"), QStringLiteral("140010"), QStringLiteral("libx264"), out);
    QVERIFY(r.finished);
    QCOMPARE(r.errors, QList<int>{-14});
    QCOMPARE(r.endings, 0);
    // What was read before stays playable.
    const Probe p = probe(out);
    QVERIFY(p.ok);
    QCOMPARE(p.frames, int(r.timestamps.size()));
}

void TestExport::threeFilesProgress()
{
    QTemporaryDir tmp;
    const QString day = makeFolder(tmp.path(), {QStringLiteral("--minutes"), QStringLiteral("0.3"),
                                                QStringLiteral("--segment-minutes"), QStringLiteral("0.1"),
                                                QStringLiteral("--cameras"), QStringLiteral("1")});
    QVERIFY2(QFileInfo(day).isDir(), qPrintable(day));
    const QList<QFileInfo> files = cameraFiles(day, 3);
    QCOMPARE(files.size(), 3);
    const QString out = tmp.filePath(QStringLiteral("three.mkv"));
    const int expected = expectedFrames(seekLines(files, QStringLiteral("video0")), QStringLiteral("140000"),
                                        QStringLiteral("140100"));
    const Run r = runExport(files, QStringLiteral("140000"), QStringLiteral("140100"), QStringLiteral("libx264"), out);
    QCOMPARE(r.errors, QList<int>());
    QCOMPARE(r.endings, 1);
    QCOMPARE(int(r.timestamps.size()), expected);
    QCOMPARE(int(r.values.size()), expected);
    for (int i = 1; i < r.values.size(); ++i)
        QVERIFY2(r.values[i] >= r.values[i - 1], qPrintable(QStringLiteral("at %1").arg(i)));
    // 100 per frame over the frames of one file: about 300 after three.
    QVERIFY2(qAbs(r.values.last() - 300) <= 10, qPrintable(QString::number(r.values.last())));
    for (int i = 1; i < r.timestamps.size(); ++i)
        QVERIFY(r.timestamps[i] > r.timestamps[i - 1]);
    QCOMPARE(probe(out).frames, expected);
}

void TestExport::helpers()
{
    QCOMPARE(ff_export::encoderFor(QStringLiteral("H264")), QStringLiteral("libx264"));
    QCOMPARE(ff_export::encoderFor(QStringLiteral("h265")), QStringLiteral("hevc"));
    QCOMPARE(ff_export::encoderFor(QStringLiteral("VP9")), QStringLiteral("vp9"));
    // Rates that are no rate fall back rather than reach the encoder as 0
    // or as an overflowed integer.
    QCOMPARE(ff_export::encoderFps(10.0, -1.0), 10);
    QCOMPARE(ff_export::encoderFps(12.9, -1.0), 12);
    QCOMPARE(ff_export::encoderFps(0.0, 8.0), 8);
    QCOMPARE(ff_export::encoderFps(std::numeric_limits<double>::infinity(), -1.0), 25);
    QCOMPARE(ff_export::encoderFps(std::numeric_limits<double>::quiet_NaN(), 0.0), 25);
    QCOMPARE(ff_export::encoderFps(0.5, -1.0), 1);
}

QTEST_MAIN(TestExport)
#include "test_export.moc"
