#include "exportfolder.h"
#include "seekfile.h"
#include "zulog.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

// Seek-file parsing against crafted files: the offsets must stay right
// whatever the file holds, and bad input must never crash or hang.
class TestSeekFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_counter = 0;

    // Writes a seek file with `text` and a data file of `dataBytes` bytes
    // beside it; returns the seek path.
    QString make(const QByteArray &text, qint64 dataBytes, const QString &suffix = QStringLiteral(".zuseek"))
    {
        const QString base = m_dir.filePath(QStringLiteral("3_20240115_%1").arg(100000 + ++m_counter));
        const QString seek = base + suffix;
        QFile s(seek);
        if (!s.open(QIODevice::WriteOnly) || s.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(seek));
        QFile d(ZuSeekFile::dataPathFor(seek));
        if (dataBytes >= 0) {
            if (!d.open(QIODevice::WriteOnly) || !d.resize(dataBytes))
                qFatal("cannot write data file");
        }
        return seek;
    }

    static QList<qint64> offsets(const ZuSeekFile::Result &r)
    {
        QList<qint64> out;
        for (const ZuFrame &f : r.frames)
            out << f.offset;
        return out;
    }
    static QList<int> sizes(const ZuSeekFile::Result &r)
    {
        QList<int> out;
        for (const ZuFrame &f : r.frames)
            out << f.size;
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        setLevelValue(1);
    }

    void pathsPairUp()
    {
        QCOMPARE(ZuSeekFile::seekPathFor("/a/3_20240115_100000.zuvideo"), QString("/a/3_20240115_100000.zuseek"));
        QCOMPARE(ZuSeekFile::seekPathFor("/a/3_20240115_100000.zuaudio"), QString("/a/3_20240115_100000.zuaudioseek"));
        QCOMPARE(ZuSeekFile::dataPathFor("/a/x.zuseek"), QString("/a/x.zuvideo"));
        QCOMPARE(ZuSeekFile::dataPathFor("/a/x.zuaudioseek"), QString("/a/x.zuaudio"));
        QVERIFY(ZuSeekFile::seekPathFor("/a/x.mp4").isEmpty());
        QVERIFY(ZuSeekFile::dataPathFor("/a/x.zuvideo").isEmpty());

        // The folder listing takes suffixes in any case; so does the pairing,
        // which keeps the data file's own case and leaves the folders alone.
        QCOMPARE(ZuSeekFile::seekPathFor("/A.zuvideo/3_20240115_100000.ZUVIDEO"),
                 QString("/A.zuvideo/3_20240115_100000.ZUSEEK"));
        QCOMPARE(ZuSeekFile::seekPathFor("/a/x.ZuVideo"), QString("/a/x.ZuSeek"));
        QCOMPARE(ZuSeekFile::seekPathFor("/a/x.ZUAUDIO"), QString("/a/x.ZUAUDIOSEEK"));
        QCOMPARE(ZuSeekFile::dataPathFor("/a/x.ZUSEEK"), QString("/a/x.ZUVIDEO"));
        QCOMPARE(ZuSeekFile::dataPathFor("/a/x.ZUAUDIOSEEK"), QString("/a/x.ZUAUDIO"));
        QCOMPARE(ZuSeekFile::dataPathFor("/a/x.zuAudioSeek"), QString("/a/x.zuAudio"));
    }

    void upperCaseRecordingIsListedAndRead()
    {
        // A copy from a case-insensitive disk: what the folder listing calls
        // a recording must be readable through its seek file.
        const QString seek = make("20240115100000000:video0:h264:320x240:1:10\n", 10, QStringLiteral(".ZUSEEK"));
        const QString data = ZuSeekFile::dataPathFor(seek);
        QVERIFY(data.endsWith(QLatin1String(".ZUVIDEO")));
        QVERIFY(QFileInfo::exists(data));
        QCOMPARE(ZuExportFolder::classify(data).kind, ZuExportFolder::FileKind::Video);
        QCOMPARE(ZuSeekFile::seekPathFor(data), seek);
        const auto r = ZuSeekFile::parse(ZuSeekFile::seekPathFor(data), data);
        QVERIFY(r.ok);
        QCOMPARE(r.frames.size(), 1);
        QCOMPARE(r.frames.at(0).file_path, QFileInfo(data).absoluteFilePath());
    }

    void goodFileGivesFieldsAndRunningOffsets()
    {
        const QString seek = make("20240115100000000:video0:h264:1920x1080:1:100\n"
                                  "20240115100000040:video0:h264:1920x1080:0:20\n"
                                  "20240115100000080:video0:hevc:640x360:0:30\n",
                                  150);
        const auto r = ZuSeekFile::parse(seek, ZuSeekFile::dataPathFor(seek));
        QVERIFY(r.ok);
        QVERIFY(!r.truncated);
        QCOMPARE(r.malformedLines, 0);
        QCOMPARE(offsets(r), (QList<qint64>{0, 100, 120}));
        const ZuFrame &f = r.frames.at(0);
        QCOMPARE(f.timestamp, QString("20240115100000000"));
        QCOMPARE(f.stream_id, QString("0"));
        QCOMPARE(f.codec, QString("h264"));
        QCOMPARE(f.resolution, QString("1920x1080"));
        QVERIFY(f.isKeyframe());
        QVERIFY(!r.frames.at(1).isKeyframe());
        QCOMPARE(f.type, QString("video"));
        QCOMPARE(f.file_path, QFileInfo(ZuSeekFile::dataPathFor(seek)).absoluteFilePath());
        QCOMPARE(r.frames.at(2).codec, QString("hevc"));
        QCOMPARE(f.timeOfDay(), QString("100000"));

        // An empty data path means the data file named after the seek file.
        QCOMPARE(offsets(ZuSeekFile::parse(seek, QString())), offsets(r));
    }

    void audioFile()
    {
        const QString seek = make("20240115100000000:audio0:aac:400\r\n"
                                  "20240115100000021:audio0:aac:371\r\n",
                                  771, QStringLiteral(".zuaudioseek"));
        const auto r = ZuSeekFile::parse(seek, QString());
        QCOMPARE(r.frames.size(), 2);
        QCOMPARE(r.frames.at(1).offset, qint64(400));
        QCOMPARE(r.frames.at(1).type, QString("audio"));
        QVERIFY(r.frames.at(1).resolution.isEmpty());
        QVERIFY(r.frames.at(1).keyframe.isEmpty());
        QVERIFY(!r.truncated);
    }

    void lineEndsAndBlankLines()
    {
        const QByteArray lf = "20240115100000000:video0:h264:8x8:1:10\n"
                              "20240115100000040:video0:h264:8x8:0:5\n";
        QByteArray crlf = lf;
        crlf.replace("\n", "\r\n");
        const QList<QByteArray> variants = {lf, crlf, crlf + "\r\n\r\n", lf + "\n\n  \n",
                                            lf.chopped(1) /* no final line end */};
        for (const QByteArray &text : variants) {
            const auto r = ZuSeekFile::parse(make(text, 15), QString());
            QCOMPARE(r.malformedLines, 0);
            QVERIFY(!r.truncated);
            QCOMPARE(offsets(r), (QList<qint64>{0, 10}));
            QCOMPARE(r.frames.at(1).size, 5);
            QCOMPARE(r.frames.at(1).keyframe, QString("0"));
        }
        // A blank line between entries is reported but moves nothing.
        const auto r = ZuSeekFile::parse(make("20240115100000000:video0:h264:8x8:1:10\n\n"
                                              "20240115100000040:video0:h264:8x8:0:5\n",
                                              15),
                                         QString());
        QCOMPARE(r.malformedLines, 1);
        QCOMPARE(offsets(r), (QList<qint64>{0, 10}));
    }

    void malformedLineWithReadableSizeStillCounts_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::newRow("short timestamp") << QByteArray("2024011510000000:video0:h264:8x8:1:7");
        QTest::newRow("letters in timestamp") << QByteArray("2024011510000000a:video0:h264:8x8:1:7");
        QTest::newRow("unknown stream") << QByteArray("20240115100000000:data0:h264:8x8:1:7");
        QTest::newRow("stream without id") << QByteArray("20240115100000000:video:h264:8x8:1:7");
        QTest::newRow("bad resolution") << QByteArray("20240115100000000:video0:h264:8by8:1:7");
        QTest::newRow("bad key flag") << QByteArray("20240115100000000:video0:h264:8x8:yes:7");
        QTest::newRow("empty codec") << QByteArray("20240115100000000:video0::8x8:1:7");
        QTest::newRow("video in audio shape") << QByteArray("20240115100000000:video0:h264:7");
        QTest::newRow("audio in video shape") << QByteArray("20240115100000000:audio0:aac:8x8:1:7");
    }
    void malformedLineWithReadableSizeStillCounts()
    {
        QFETCH(QByteArray, bad);
        const QString seek = make("20240115100000000:video0:h264:8x8:1:10\n" + bad
                                      + "\n20240115100000080:video0:h264:8x8:0:3\n",
                                  20);
        const QString expected = QStringLiteral("[WARN] ZuSeekFile :: parse :: malformed line 2 :: ") + seek;
        QTest::ignoreMessage(QtDebugMsg, qPrintable(expected));
        const auto r = ZuSeekFile::parse(seek, QString());
        QCOMPARE(r.malformedLines, 1);
        QVERIFY(!r.truncated);
        QCOMPARE(offsets(r), (QList<qint64>{0, 17}));
    }

    void zeroSizeEntryIsSkipped()
    {
        const auto r = ZuSeekFile::parse(make("20240115100000000:video0:h264:8x8:1:0\n"
                                              "20240115100000040:video0:h264:8x8:1:4\n",
                                              4),
                                         QString());
        QCOMPARE(r.malformedLines, 1);
        QCOMPARE(offsets(r), (QList<qint64>{0}));
    }

    void unreadableSizeStopsParsing_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::newRow("letters") << QByteArray("20240115100000000:video0:h264:8x8:1:abc");
        QTest::newRow("negative") << QByteArray("20240115100000000:video0:h264:8x8:1:-5");
        QTest::newRow("plus sign") << QByteArray("20240115100000000:video0:h264:8x8:1:+5");
        QTest::newRow("absurd") << QByteArray("20240115100000000:video0:h264:8x8:1:99999999999");
        QTest::newRow("over int") << QByteArray("20240115100000000:video0:h264:8x8:1:4294967301");
        QTest::newRow("missing size") << QByteArray("20240115100000000:video0:h264:8x8:1");
        QTest::newRow("too many fields") << QByteArray("20240115100000000:video0:h264:8x8:1:2:3");
        QTest::newRow("no fields") << QByteArray("garbage");
        QTest::newRow("nul bytes") << QByteArray("2024\0\0\0:video0", 15);
    }
    void unreadableSizeStopsParsing()
    {
        QFETCH(QByteArray, bad);
        const auto r = ZuSeekFile::parse(make("20240115100000000:video0:h264:8x8:1:10\n" + bad
                                                  + "\n20240115100000080:video0:h264:8x8:0:3\n",
                                              1000),
                                         QString());
        QVERIFY(r.ok);
        QVERIFY(r.truncated);
        QCOMPARE(r.malformedLines, 1);
        QCOMPARE(offsets(r), (QList<qint64>{0}));
    }

    void entryPastTheEndStopsParsing()
    {
        const QString seek = make("20240115100000000:video0:h264:8x8:1:10\n"
                                  "20240115100000040:video0:h264:8x8:0:10\n"
                                  "20240115100000080:video0:h264:8x8:0:10\n"
                                  "20240115100000120:video0:h264:8x8:0:1\n",
                                  25);
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral(
            "[ERROR] ZuSeekFile :: parse :: entry past the end of the data file :: line 3 :: ") + seek));
        const auto r = ZuSeekFile::parse(seek, QString());
        QVERIFY(r.truncated);
        QCOMPARE(offsets(r), (QList<qint64>{0, 10}));

        // An entry that ends exactly at the end of the data file is whole.
        const auto exact = ZuSeekFile::parse(make("20240115100000000:video0:h264:8x8:1:10\n", 10), QString());
        QVERIFY(!exact.truncated);
        QCOMPARE(exact.frames.size(), 1);

        // Without a data file nothing can be read.
        const auto missing = ZuSeekFile::parse(make("20240115100000000:video0:h264:8x8:1:10\n", -1), QString());
        QVERIFY(missing.ok);
        QVERIFY(missing.dataFileMissing);
        QVERIFY(missing.truncated);
        QVERIFY(missing.frames.isEmpty());

        // A malformed line that reaches past the end stops as well, so that
        // the entries after it are not taken at wrong offsets.
        const auto badPast = ZuSeekFile::parse(make("20240115100000000:video0:h264:8x8:1:10\n"
                                                    "bad:video0:h264:8x8:1:100\n"
                                                    "20240115100000080:video0:h264:8x8:0:1\n",
                                                    20),
                                               QString());
        QVERIFY(badPast.truncated);
        QCOMPARE(badPast.frames.size(), 1);
    }

    void missingSeekFile()
    {
        const auto r = ZuSeekFile::parse(m_dir.filePath("nothing.zuseek"), QString());
        QVERIFY(!r.ok);
        QVERIFY(r.frames.isEmpty());
    }

    void fifoInPlaceOfTheSeekFile()
    {
        // A named pipe (or a device) under a seek file's name must be refused
        // at once: opening it for reading would block until a writer comes.
        const QString seek = m_dir.filePath(QStringLiteral("3_20240115_090000.zuseek"));
        QCOMPARE(::mkfifo(QFile::encodeName(seek).constData(), 0600), 0);
        QFile d(ZuSeekFile::dataPathFor(seek));
        QVERIFY(d.open(QIODevice::WriteOnly) && d.resize(100));
        d.close();
        auto parsed = std::async(std::launch::async, [seek] { return ZuSeekFile::parse(seek, QString()); });
        if (parsed.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            // Release the blocked reader so that the test can end.
            const int fd = ::open(QFile::encodeName(seek).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            parsed.wait();
            QFAIL("parsing a named pipe blocked");
        }
        const ZuSeekFile::Result r = parsed.get();
        QVERIFY(!r.ok);
        QVERIFY(r.frames.isEmpty());
    }

    void oversizedAndBinaryInput()
    {
        // A long line (no line end within the cap) cannot be sized.
        QByteArray longLine = "20240115100000000:video0:h264:8x8:1:10\n"
                              "20240115100000040:video0:h264:" + QByteArray(600, '9') + "x8:0:5\n"
                              "20240115100000080:video0:h264:8x8:0:5\n";
        auto r = ZuSeekFile::parse(make(longLine, 100), QString());
        QVERIFY(r.truncated);
        QCOMPARE(r.frames.size(), 1);

        // Binary garbage, a large file without any line end, and a large
        // file of line ends only: quick, no crash.
        QByteArray random(4 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator gen(42);
        gen.fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        QElapsedTimer timer;
        timer.start();
        r = ZuSeekFile::parse(make(random, 10), QString());
        QVERIFY(r.ok);
        QVERIFY(r.frames.isEmpty());
        QVERIFY(r.truncated);

        r = ZuSeekFile::parse(make(QByteArray(8 * 1024 * 1024, 'a'), 10), QString());
        QVERIFY(r.truncated);
        QCOMPARE(r.malformedLines, 1);

        r = ZuSeekFile::parse(make(QByteArray(2 * 1024 * 1024, '\n'), 10), QString());
        QVERIFY(!r.truncated);
        QCOMPARE(r.malformedLines, 0);
        QVERIFY(r.frames.isEmpty());
        QVERIFY2(timer.elapsed() < 60000, "parsing garbage must not hang");

        // Many malformed lines with sizes: every one counted, all sizes in
        // the offsets, and the parse goes on to the good entry at the end.
        QByteArray many;
        for (int i = 0; i < 500; ++i)
            many += "x:video0:h264:8x8:1:2\n";
        many += "20240115100000080:video0:h264:8x8:0:5\n";
        r = ZuSeekFile::parse(make(many, 1005), QString());
        QCOMPARE(r.malformedLines, 500);
        QCOMPARE(offsets(r), (QList<qint64>{1000}));
    }

    void interleavedStreamsKeepGlobalOffsets()
    {
        const QString seek = make("20240115100000000:video0:h264:1920x1080:1:100\n"
                                  "20240115100000000:video1:h264:640x360:1:40\n"
                                  "20240115100000010:audio0:aac:7\n"
                                  "20240115100000040:video0:h264:1920x1080:0:30\n"
                                  "20240115100000040:video1:h264:640x360:0:9\n",
                                  186);
        const auto all = ZuSeekFile::parse(seek, QString());
        QCOMPARE(offsets(all), (QList<qint64>{0, 100, 140, 147, 177}));

        const auto one = ZuSeekFile::parse(seek, QString(), "1");
        QCOMPARE(offsets(one), (QList<qint64>{100, 177}));
        QCOMPARE(sizes(one), (QList<int>{40, 9}));
        QCOMPARE(one.frames.at(0).resolution, QString("640x360"));

        // The decimal id alone matches both types; the stream field form
        // picks one.
        const auto zero = ZuSeekFile::parse(seek, QString(), "0");
        QCOMPARE(offsets(zero), (QList<qint64>{0, 140, 147}));
        const auto video0 = ZuSeekFile::parse(seek, QString(), "video0");
        QCOMPARE(offsets(video0), (QList<qint64>{0, 147}));
        const auto audio0 = ZuSeekFile::parse(seek, QString(), "audio0");
        QCOMPARE(offsets(audio0), (QList<qint64>{140}));
        QCOMPARE(audio0.frames.at(0).type, QString("audio"));
        QVERIFY(ZuSeekFile::parse(seek, QString(), "7").frames.isEmpty());

        // A filtered parse still stops at an entry of another stream that
        // runs past the end.
        const auto cut = ZuSeekFile::parse(make("20240115100000000:video0:h264:8x8:1:10\n"
                                                "20240115100000000:video1:h264:8x8:1:50\n"
                                                "20240115100000040:video0:h264:8x8:0:10\n",
                                                30),
                                           QString(), "0");
        QVERIFY(cut.truncated);
        QCOMPARE(cut.frames.size(), 1);
    }

    void formatAndWriteRoundTrip()
    {
        ZuFrameList frames;
        auto add = [&](const char *ts, const char *type, const char *id, const char *codec,
                       const char *res, const char *key, int size) {
            ZuFrame f;
            f.timestamp = ts;
            f.type = type;
            f.stream_id = id;
            f.codec = codec;
            f.resolution = res;
            f.keyframe = key;
            f.size = size;
            frames << f;
        };
        add("20240115235959960", "video", "0", "h264", "1280x720", "1", 5000);
        add("20240115235959970", "audio", "1", "aac", "", "", 300);
        add("20240115235959999", "video", "12", "mjpeg", "320x240", "0", 7);
        QCOMPARE(ZuSeekFile::formatLine(frames.at(0)), QString("20240115235959960:video0:h264:1280x720:1:5000"));
        QCOMPARE(ZuSeekFile::formatLine(frames.at(1)), QString("20240115235959970:audio1:aac:300"));

        const QString seek = make(QByteArray(), 5307);
        QVERIFY(ZuSeekFile::write(seek, frames));
        const auto r = ZuSeekFile::parse(seek, QString());
        QCOMPARE(r.malformedLines, 0);
        QCOMPARE(r.frames.size(), 3);
        QCOMPARE(offsets(r), (QList<qint64>{0, 5000, 5300}));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(r.frames.at(i).timestamp, frames.at(i).timestamp);
            QCOMPARE(r.frames.at(i).type, frames.at(i).type);
            QCOMPARE(r.frames.at(i).stream_id, frames.at(i).stream_id);
            QCOMPARE(r.frames.at(i).codec, frames.at(i).codec);
            QCOMPARE(r.frames.at(i).resolution, frames.at(i).resolution);
            QCOMPARE(r.frames.at(i).keyframe, frames.at(i).keyframe);
        }
    }
};

QTEST_GUILESS_MAIN(TestSeekFile)
#include "tst_seekfile.moc"
