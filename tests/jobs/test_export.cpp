// The export worker against generated recordings: contents checked with
// ffprobe and with frame counts taken from the seek files, stop, and the
// error endings.
#include "export_testutil.h"

#include <QTemporaryDir>

using namespace etest;

class TestExport : public QObject
{
    Q_OBJECT

    QString m_day;

    // Copies camera 12 of the small day to `dir`, rewriting its seek files.
    // "nokey": every frame of the first file but its opening key frame is
    // dated one second later, so 14:00:01 up to the first frame at or after
    // 14:00:02 holds only frames that depend on that key frame (which the
    // reader decodes first, outside the range). "nocodec": the second file's
    // entries name a codec nothing can decode.
    QList<QFileInfo> copyCamera(const QString &dir, const QString &kind)
    {
        QList<QFileInfo> out;
        for (const QFileInfo &fi : cameraFiles(m_day, 12)) {
            const QString seg = dir + '/' + fi.dir().dirName() + '/';
            QFile in(fi.absoluteFilePath().replace(".zuvideo", ".zuseek"));
            if (!QDir().mkpath(seg) || !QFile::copy(fi.absoluteFilePath(), seg + fi.fileName()) ||
                !in.open(QIODevice::ReadOnly))
                return {};
            QByteArray lines;
            for (const QByteArray &line : in.readAll().split('\n')) {
                QList<QByteArray> f = line.split(':');
                if (f.size() < 3)
                    continue;
                if (kind == "nokey" && f[0] > "20240305140000000" && f[0] < "20240305140006000")
                    f[0] = QDateTime::fromString(f[0], "yyyyMMddHHmmsszzz").addSecs(1).toString("yyyyMMddHHmmsszzz").toLatin1();
                if (kind == "nocodec" && f[0].mid(8, 6) >= "140006")
                    f[2] = "nocodec";
                lines += f.join(':') + '\n';
            }
            QFile o(seg + QFileInfo(in).fileName());
            if (!o.open(QIODevice::WriteOnly) || o.write(lines) != lines.size())
                return {};
            out.append(QFileInfo(seg + fi.fileName()));
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        m_day = smallDay();
        QVERIFY2(QFileInfo(m_day).isDir(), "the small_export fixture is missing");
    }

    void exportRange_data()
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
    void exportRange()
    {
        QFETCH(int, camera);
        QFETCH(QString, codec);
        QFETCH(QString, suffix);
        QFETCH(QString, probeCodec);
        QFETCH(QString, begin);
        QFETCH(QString, end);
        QTemporaryDir tmp;
        const QString out = tmp.filePath("export" + suffix);
        const QList<QFileInfo> files = cameraFiles(m_day, camera);
        QCOMPARE(files.size(), 2);
        QString firstKey;
        const int expected = expectedFrames(seekLines(files), begin, end, &firstKey);
        QVERIFY(expected > 0);

        const Run r = runExport(files, begin, end, codec, out);
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.endings, 1);
        QCOMPARE(int(r.timestamps.size()), expected);
        // The file starts at the first key frame, not at the begin.
        QCOMPARE(r.timestamps.first(), firstKey);
        for (int i = 1; i < r.timestamps.size(); ++i)
            QVERIFY(r.timestamps[i] > r.timestamps[i - 1]);
        const Probe p = probe(out);
        QCOMPARE(p.codec, probeCodec);
        QCOMPARE(QSize(p.width, p.height), QSize(320, 240));
        QCOMPARE(p.frames, expected);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), QStringList{QFileInfo(out).fileName()});
    }

    void stopLeavesPlayableFile()
    {
        QTemporaryDir tmp;
        const QString out = tmp.filePath("stopped.mp4");
        const QList<QFileInfo> files = cameraFiles(m_day, 12);
        const Run r = runExport(files, "140000", "235959", "h264", out, [](ff_export *w, int n) {
            if (n == 15)
                w->set_stop();
        });
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.endings, 1);
        const Probe p = probe(out);
        QCOMPARE(p.codec, QString("h264"));
        QCOMPARE(p.frames, int(r.timestamps.size()));
        QVERIFY(p.frames >= 15 && p.frames < expectedFrames(seekLines(files), "140000", "235959"));
    }

    // An error ending comes alone, and a file is left only when frames were
    // encoded, closed so that it plays to the last of them.
    void errorEndings_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("begin");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("code");
        QTest::newRow("bad output path") << "badpath" << "140000" << "140005" << -5;
        QTest::newRow("range before the recording") << "" << "100000" << "110000" << -10;
        QTest::newRow("no key frame in the range") << "nokey" << "140001" << "140002" << -10;
        QTest::newRow("unreadable frame") << "nocodec" << "140000" << "140010" << -14;
    }
    void errorEndings()
    {
        QFETCH(QString, kind);
        QFETCH(QString, begin);
        QFETCH(QString, end);
        QFETCH(int, code);
        QTemporaryDir tmp;
        const QList<QFileInfo> files = copyCamera(tmp.path(), kind);
        QCOMPARE(files.size(), 2);
        if (kind == "nokey")
            QCOMPARE(expectedFrames(seekLines(files), begin, end), 0);
        const QString out = kind == "badpath" ? "/nonexistent-folder/sub/out.mp4" : tmp.filePath("out.mp4");
        const Run r = runExport(files, begin, end, "libx264", out);
        QVERIFY(r.finished);
        QCOMPARE(r.errors, QList<int>{code});
        QCOMPARE(r.endings, 0);
        QCOMPARE(r.timestamps.isEmpty(), kind != "nocodec");
        if (r.timestamps.isEmpty())
            QVERIFY(!QFileInfo::exists(out));
        else
            QCOMPARE(probe(out).frames, int(r.timestamps.size()));
    }

    void threeFilesProgress()
    {
        QTemporaryDir tmp;
        QProcess gen;
        gen.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        gen.start("python3", {ZU_SOURCE_DIR "/tools/make_export_folder", "--out", tmp.path(), "--minutes", "0.3",
                              "--segment-minutes", "0.1", "--cameras", "1"});
        QVERIFY(gen.waitForFinished(300000) && gen.exitCode() == 0);
        const QString day = QString::fromUtf8(gen.readAllStandardOutput()).trimmed().split('\n').last() + "/2024-03-05";
        const QList<QFileInfo> files = cameraFiles(day, 3);
        QCOMPARE(files.size(), 3);
        const QString out = tmp.filePath("three.mkv");
        const int expected = expectedFrames(seekLines(files), "140000", "140100");
        const Run r = runExport(files, "140000", "140100", "libx264", out);
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.endings, 1);
        QCOMPARE(int(r.values.size()), expected);
        for (int i = 1; i < r.values.size(); ++i)
            QVERIFY2(r.values[i] >= r.values[i - 1], qPrintable(QString("at %1").arg(i)));
        // 100 per frame over the frames of one file: about 300 after three.
        QVERIFY2(qAbs(r.values.last() - 300) <= 10, qPrintable(QString::number(r.values.last())));
        QCOMPARE(probe(out).frames, expected);
    }

    // Rates that are no rate never reach the encoder as 0 or as an
    // overflowed integer.
    void encoderRate()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QCOMPARE(ff_export::encoderFps(12.9, -1.0), 12);
        QCOMPARE(ff_export::encoderFps(0.0, 8.0), 8);
        QCOMPARE(ff_export::encoderFps(std::numeric_limits<double>::infinity(), nan), 25);
        QCOMPARE(ff_export::encoderFps(0.5, -1.0), 1);
        QCOMPARE(ff_export::encoderFps(1e12, -1.0), 1000);
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"
