// The frame reader on crafted recordings, and on the generated export folder
// as a stopped export reads it.
#include "../codecs/codectestutil.h"
#include "../codecs/probe.h"
#include "seekfile.h"
#include "streamframe.h"
#include "zuaudiovideofilereader.h"
#include "zustreamencoder.h"

#include <QtTest>

#include <deque>
#include <memory>

#include <time.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {
// One recording: `count` frames per stream at 2 frames per second from
// `start` (time of day), key frame every 5 frames. Stream 0 is 320x240; with
// `secondStream`, stream 1 (160x120) is interleaved with it.
struct Recording {
    QString data;
    QList<QPair<qint64, int>> entries; // offset and size of every line in file order
};

Recording writeRecording(const QString &folder, int camera, const QTime &start, int count, bool secondStream)
{
    Recording rec;
    rec.data = QStringLiteral("%1/%2_20240305_%3.zuvideo").arg(folder).arg(camera).arg(start.toString("HHmmss"));
    const QString codec = QStringLiteral("h264");
    const QList<QByteArray> s0 = codectest::makeAccessUnits("libx264", 320, 240, count, 5);
    const QList<QByteArray> s1 = secondStream ? codectest::makeAccessUnits("libx264", 160, 120, count, 5) : QList<QByteArray>();
    QFile data(rec.data);
    data.open(QIODevice::WriteOnly);
    QStringList lines;
    qint64 offset = 0;
    for (int i = 0; i < count && i < s0.size(); ++i) {
        const QString stamp = QDateTime(QDate(2024, 3, 5), start).addMSecs(i * 500).toString("yyyyMMddHHmmsszzz");
        auto add = [&](const QByteArray &au, int stream, const QString &size) {
            data.write(au);
            rec.entries.append({offset, int(au.size())});
            lines.append(QStringLiteral("%1:video%2:%3:%4:%5:%6").arg(stamp).arg(stream).arg(codec, size).arg(i % 5 == 0 ? 1 : 0).arg(au.size()));
            offset += au.size();
        };
        add(s0.at(i), 0, QStringLiteral("320x240"));
        if (secondStream)
            add(s1.at(i), 1, QStringLiteral("160x120"));
    }
    QFile seek(ZuSeekFile::seekPathFor(rec.data));
    seek.open(QIODevice::WriteOnly);
    seek.write((lines.join('\n') + '\n').toLatin1());
    return rec;
}

struct Run {
    QList<StreamFrame *> frames;
    QList<int> errors;
    ~Run() { qDeleteAll(frames); }
    QStringList times() const // "HHmmsszzz" of each frame
    {
        QStringList t;
        for (const StreamFrame *f : frames)
            t.append(QString::fromLatin1(f->timestampText()).mid(8));
        return t;
    }
};

// Runs a reader to its end with a consumer that empties the queue.
void runReader(ZuAudioVideoFileReader &reader, Run &run, int maxQueue = 30)
{
    std::deque<StreamFrame *> queue;
    QMutex mutex;
    reader.set_frame_queue(&queue);
    reader.set_queue_mutex(&mutex);
    reader.set_max_queue(maxQueue);
    QObject::connect(&reader, &ZuAudioVideoFileReader::error, &reader, [&run](int code) { run.errors.append(code); },
                     Qt::DirectConnection);
    reader.start();
    while (!reader.wait(5)) {
        QMutexLocker locker(&mutex);
        for (; !queue.empty(); queue.pop_front())
            run.frames.append(queue.front());
    }
    run.frames.append(QList<StreamFrame *>(queue.begin(), queue.end()));
}

QStringList timesEvery(const QDateTime &start, int count, int stepMs)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(start.addMSecs(qint64(i) * stepMs).toString("yyyyMMddHHmmsszzz"));
    return list;
}

ZuFrameList framesAt(const QStringList &timestamps)
{
    ZuFrameList list;
    for (const QString &t : timestamps) {
        list.append(ZuFrame{});
        list.last().timestamp = t;
    }
    return list;
}

QList<QFileInfo> generatedFiles(const QDir &root, const QString &pattern)
{
    QList<QFileInfo> files;
    QDirIterator it(root.path(), {pattern}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QFileInfo(it.next()));
    std::sort(files.begin(), files.end(), [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    return files;
}
} // namespace

class TestFileReader : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    Recording m_first, m_second;
    QDir m_root; // the generated export folder

private Q_SLOTS:
    void initTestCase()
    {
        av_log_set_level(AV_LOG_QUIET);
        // A viewer's zone with a daylight-saving gap: seek times are the
        // recorder's and must not depend on it.
        qputenv("TZ", "Europe/Paris");
        tzset();
        QVERIFY(m_dir.isValid());
        // Two files of camera 3: 14:00:00.000-14:00:04.500 and 14:00:05.000-14:00:09.500.
        m_first = writeRecording(m_dir.path(), 3, QTime(14, 0, 0), 10, true);
        m_second = writeRecording(m_dir.path(), 3, QTime(14, 0, 5), 10, true);
        const QDir small(QStringLiteral(ZU_BINARY_DIR "/testdata/small"));
        const QStringList roots = small.entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
        QVERIFY2(roots.size() == 1, "the generated export folder is missing (small_export fixture)");
        m_root = QDir(small.absoluteFilePath(roots.first()));
    }

    void rangeRule_data()
    {
        QTest::addColumn<QStringList>("times");
        QTest::addColumn<QString>("begin");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QList<int>>("kept");
        const QStringList t = {"140000", "140001", "140002", "140003", "140004", "140005"};
        QTest::newRow("inside, end entry included") << t << "140001" << "140003" << QList<int>{1, 2, 3};
        QTest::newRow("begin between entries") << QStringList{"140000", "140002", "140004", "140006"} << "140001" << "140005" << QList<int>{1, 2, 3};
        QTest::newRow("empty begin keeps all") << t << "" << "140002" << QList<int>{0, 1, 2, 3, 4, 5};
        QTest::newRow("empty end keeps all") << t << "140002" << "" << QList<int>{0, 1, 2, 3, 4, 5};
        QTest::newRow("range after the file") << t << "150000" << "160000" << QList<int>{};
        QTest::newRow("range in a gap") << QStringList{"140000", "140010"} << "140002" << "140005" << QList<int>{};
        QTest::newRow("end never reached") << t << "140004" << "150000" << QList<int>{4, 5};
        QTest::newRow("begin equals end") << t << "140002" << "140002" << QList<int>{};
        // A single glitched time neither closes nor opens the range; a clock
        // set back moves every later entry and is no glitch.
        QTest::newRow("an hour ahead inside") << QStringList{"140000", "140001", "150002", "140003", "140004", "140005"}
                                              << "140001" << "140004" << QList<int>{1, 2, 3, 4};
        QTest::newRow("another day inside")
            << QStringList{"140000", "140001", "20240304235959000", "140003", "140004", "140005"} << "140001"
            << "140004" << QList<int>{1, 2, 3, 4};
        QTest::newRow("glitch into the range before it")
            << QStringList{"140000", "140004", "140002", "140003", "140004", "140005"} << "140003" << "140005"
            << QList<int>{3, 4, 5};
        QTest::newRow("first entry glitched") << QStringList{"150000", "140001", "140002", "140003"} << "140001"
                                              << "140003" << QList<int>{1, 2, 3};
        QTest::newRow("clock set back") << QStringList{"140000", "140001", "140002", "130000", "130001", "140009"}
                                        << "140001" << "140005" << QList<int>{1, 2, 3, 4, 5};
    }

    void rangeRule()
    {
        QFETCH(QStringList, times);
        QFETCH(QString, begin);
        QFETCH(QString, end);
        QFETCH(QList<int>, kept);
        for (QString &time : times) {
            if (time.size() == 6)
                time = "20240305" + time + "000";
        }
        bool started = false, ended = false;
        QCOMPARE(ZuAudioVideoFileReader::selectRange(framesAt(times), begin, end, started, ended), kept);
    }

    void fps_data()
    {
        QTest::addColumn<QStringList>("times");
        QTest::addColumn<double>("fps");
        const QDateTime t0(QDate(2024, 3, 5), QTime(14, 0), Qt::UTC);
        const QString first = t0.toString("yyyyMMddHHmmsszzz");
        QTest::newRow("no entry") << QStringList{} << -1.0;
        QTest::newRow("one entry") << QStringList{first} << 1.0;
        QTest::newRow("no time between") << QStringList{first, first} << 1.0;
        QTest::newRow("time unreadable") << QStringList{first, "garbage"} << 1.0;
        QTest::newRow("under a second") << timesEvery(t0, 3, 100) << 10.0;
        QStringList thirds; // stays 3, not 2.99
        for (int i = 0; i < 31; ++i)
            thirds.append(t0.addMSecs(qRound(i * 1000.0 / 3)).toString("yyyyMMddHHmmsszzz"));
        QTest::newRow("a third of a second") << thirds << 3.0;
        QTest::newRow("pause of the recording") << timesEvery(t0, 20, 100) + timesEvery(t0.addSecs(300), 20, 100) << 10.0;
        QTest::newRow("clock set back") << timesEvery(t0, 20, 100) + timesEvery(t0.addSecs(-3600), 20, 100) << 10.0;
        QStringList lossy = timesEvery(t0, 50, 100); // a frame lost now and then is no pause
        lossy.removeAt(30);
        lossy.removeAt(10);
        QTest::newRow("lost frames") << lossy << 9.59;
        QTest::newRow("viewer's daylight-saving gap") << timesEvery(QDateTime(QDate(2024, 3, 31), QTime(2, 10), Qt::UTC), 30, 100) << 10.0;
    }

    void fps()
    {
        QFETCH(QStringList, times);
        QFETCH(double, fps);
        QCOMPARE(ZuAudioVideoFileReader::entriesFps(framesAt(times)), fps);
    }

    void readsRangeAcrossFilesAndStreams_data()
    {
        QTest::addColumn<QString>("stream");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("begin");
        QTest::addColumn<QStringList>("times");
        // From 14:00:03 (not a key frame: decoded from the key frame before
        // it) to the first entry at 14:00:07, across the two files.
        const QStringList times{"140003000", "140003500", "140004000", "140004500", "140005000",
                                "140005500", "140006000", "140006500", "140007000"};
        QTest::newRow("video0") << "0" << 320 << "140003" << times;
        QTest::newRow("video1 interleaved") << "1" << 160 << "140003" << times;
        QTest::newRow("empty range") << "0" << 320 << "150000" << QStringList{};
    }

    void readsRangeAcrossFilesAndStreams()
    {
        QFETCH(QString, stream);
        QFETCH(int, width);
        QFETCH(QString, begin);
        QFETCH(QStringList, times);
        ZuAudioVideoFileReader reader({QFileInfo(m_first.data), QFileInfo(m_second.data)}, stream, begin,
                                      QString::number(begin.toInt() + 4));
        reader.set_camera_names({{3, QStringLiteral("Entrée principale")}});
        QCOMPARE(reader.fps(), -1.0);
        QSignalSpy finished(&reader, &QThread::finished);
        Run run;
        runReader(reader, run, 2); // a short queue makes the reader wait for the consumer
        QCOMPARE(finished.count(), 1);
        QCOMPARE(run.errors, QList<int>{});
        QCOMPARE(run.times(), times);
        for (int i = 0; i < run.frames.size(); ++i) {
            const StreamFrame *f = run.frames.at(i);
            QVERIFY(f->avFrame());
            QCOMPARE(f->width(), width);
            QCOMPARE(f->frameId(), i);
            QCOMPARE(f->drawOverlay(), QStringLiteral("Entrée principale"));
            QCOMPARE(f->fps(), 2.0);
            QCOMPARE(f->isKeyframe(), i == 4); // 14:00:05.000 only, in this range
        }
        QCOMPARE(reader.frame_count(), 10);
    }

    void stopsMidwayWhileTheQueueIsFull()
    {
        std::deque<StreamFrame *> queue;
        QMutex mutex;
        auto queued = [&] { QMutexLocker l(&mutex); return int(queue.size()); };
        auto reader = std::make_unique<ZuAudioVideoFileReader>(QList<QFileInfo>{QFileInfo(m_first.data), QFileInfo(m_second.data)},
                                                               "0", QString(), QString());
        reader->set_frame_queue(&queue);
        reader->set_queue_mutex(&mutex);
        reader->set_max_queue(3);
        reader->start();
        QTRY_COMPARE_WITH_TIMEOUT(queued(), 3, 30000);
        QVERIFY(reader->isRunning()); // waiting for room
        QElapsedTimer t;
        t.start();
        reader->stop();
        QVERIFY(reader->wait(2000));
        QVERIFY(t.elapsed() < 1000);
        QCOMPARE(queued(), 3);
        QCOMPARE(reader->error_code(), 0);

        // Destroying a waiting reader stops and joins it.
        reader = std::make_unique<ZuAudioVideoFileReader>(QList<QFileInfo>{QFileInfo(m_first.data)}, "0", QString(), QString());
        reader->set_frame_queue(&queue);
        reader->set_queue_mutex(&mutex);
        reader->set_max_queue(4);
        reader->start();
        QTRY_COMPARE_WITH_TIMEOUT(queued(), 4, 30000);
        reader.reset();
        qDeleteAll(queue);
    }

    // A unit whose picture data is damaged past its headers decodes with
    // the damage concealed: the picture is kept and counted.
    void concealedPicturesAreCounted()
    {
        QTemporaryDir dir;
        const Recording rec = writeRecording(dir.path(), 12, QTime(14, 0, 0), 10, false);
        QFile data(rec.data);
        const auto [offset, size] = rec.entries.at(3);
        QVERIFY(size > 24 && data.open(QIODevice::ReadWrite) && data.seek(offset + size / 2));
        QByteArray bytes(size - size / 2, Qt::Uninitialized);
        QRandomGenerator gen(7);
        for (char &c : bytes)
            c = char(0x80 | gen.bounded(128)); // no start codes in it
        data.write(bytes);
        data.close();
        ZuAudioVideoFileReader reader({QFileInfo(rec.data)}, "0", QString(), QString());
        Run run;
        runReader(reader, run);
        QCOMPARE(run.errors, QList<int>());
        QCOMPARE(run.frames.size(), 10);
        QVERIFY2(reader.damaged_frames() >= 1, qPrintable(QString::number(reader.damaged_frames())));
    }

    // A file that starts inside a group of pictures, its key frame at the
    // end of the file before: a range that opens in it is decoded from that
    // key frame, every picture whole (told apart by its flat grey).
    void fileStartingInsideAGroup()
    {
        QTemporaryDir dir;
        const QList<codectest::EncodedUnit> units = codectest::encodeUnits("libx264", 64, 48, 12, 6, 0, 20);
        QCOMPARE(units.size(), 12);
        QString second;
        for (const auto &[first, end] : {std::pair{0, 8}, std::pair{8, 12}}) {
            const QTime start = QTime(14, 0).addMSecs(first * 500);
            const QString folder = dir.filePath(start.toString("HHmmss"));
            QVERIFY(QDir().mkpath(folder));
            const QString path = folder + "/3_20240305_" + start.toString("HHmmss") + ".zuvideo";
            QFile data(path), seek(ZuSeekFile::seekPathFor(path));
            QVERIFY(data.open(QIODevice::WriteOnly) && seek.open(QIODevice::WriteOnly));
            for (int i = first; i < end; ++i) {
                data.write(units.at(i).bytes);
                seek.write(QStringLiteral("20240305%1:video0:h264:64x48:%2:%3\n")
                               .arg(QTime(14, 0).addMSecs(i * 500).toString("HHmmsszzz"))
                               .arg(units.at(i).key ? 1 : 0)
                               .arg(units.at(i).bytes.size())
                               .toLatin1());
            }
            QCOMPARE(units.at(first).key, first == 0);
            second = path;
        }
        ZuAudioVideoFileReader reader({QFileInfo(second)}, "0", "140004", "140010");
        Run run;
        runReader(reader, run);
        QCOMPARE(run.errors, QList<int>());
        QCOMPARE(run.times(), (QStringList{"140004000", "140004500", "140005000", "140005500"}));
        for (int k = 0; k < run.frames.size(); ++k) {
            const AVFrame *f = run.frames.at(k)->avFrame();
            const int luma = f->data[0][(f->height / 2) * f->linesize[0] + f->width / 2];
            QVERIFY2(qAbs(luma - codectest::flatLuma(8 + k, 20)) <= 4, qPrintable(QString::number(luma)));
        }
    }

    void damagedRecordingsEndWithAnError_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("framesBefore"); // frames delivered before the failure
        QTest::newRow("truncated data file") << "truncate" << 6;
        QTest::newRow("seek file points past the data") << "pastdata" << 10;
        QTest::newRow("garbage in place of a frame") << "garbage" << 3;
        QTest::newRow("missing data file") << "nodata" << 0;
        QTest::newRow("missing seek file") << "noseek" << 0;
        QTest::newRow("unknown codec") << "codec" << 0;
    }

    void damagedRecordingsEndWithAnError()
    {
        QFETCH(QString, damage);
        QFETCH(int, framesBefore);
        QTemporaryDir dir;
        const Recording rec = writeRecording(dir.path(), 12, QTime(14, 0, 0), 10, false);
        const QString seekPath = ZuSeekFile::seekPathFor(rec.data);
        QFile data(rec.data), seek(seekPath);
        if (damage == "truncate") {
            QVERIFY(data.resize(rec.entries.at(6).first + rec.entries.at(6).second / 2)); // inside frame 6
        } else if (damage == "pastdata") {
            QVERIFY(seek.open(QIODevice::Append));
            seek.write("20240305140005000:video0:h264:320x240:0:99999\n");
        } else if (damage == "garbage") {
            QByteArray bytes(rec.entries.at(3).second, Qt::Uninitialized);
            QRandomGenerator gen(99);
            for (char &c : bytes)
                c = char(0x80 | gen.bounded(128)); // no start codes in it
            QVERIFY(data.open(QIODevice::ReadWrite) && data.seek(rec.entries.at(3).first));
            data.write(bytes);
        } else if (damage == "nodata") {
            QVERIFY(data.rename(rec.data + ".moved"));
        } else if (damage == "noseek") {
            QVERIFY(seek.remove());
        } else if (damage == "codec") {
            QVERIFY(seek.open(QIODevice::ReadWrite));
            const QByteArray text = seek.readAll().replace(":h264:", ":vp8:");
            QVERIFY(seek.resize(0) && seek.seek(0) && seek.write(text) == text.size());
        }
        data.close();
        seek.close();
        ZuAudioVideoFileReader reader({QFileInfo(rec.data)}, "0", QString(), QString());
        Run run;
        runReader(reader, run);
        QCOMPARE(run.errors, QList<int>{-14});
        QCOMPARE(reader.error_code(), -14);
        QCOMPARE(run.frames.size(), framesBefore);
        for (const StreamFrame *f : run.frames)
            QVERIFY(f->avFrame());
    }

    void stoppedExportStillPlays()
    {
        // As an export of the generated folder's interleaved second stream,
        // stopped by the user: the reader is stopped part-way and what it read
        // so far is encoded and ended into a file that plays.
        std::deque<StreamFrame *> queue;
        QMutex mutex;
        ZuAudioVideoFileReader reader(generatedFiles(m_root, "3_*.zuvideo"), "1", QString(), QString());
        reader.set_frame_queue(&queue);
        reader.set_queue_mutex(&mutex);
        reader.set_max_queue(10);
        reader.set_camera_names({{3, QStringLiteral("Entrée principale")}});
        reader.start();
        QTRY_COMPARE_WITH_TIMEOUT([&] { QMutexLocker l(&mutex); return int(queue.size()); }(), 10, 30000);
        reader.stop();
        QVERIFY(reader.wait(30000));
        Run owned;
        owned.frames = QList<StreamFrame *>(queue.begin(), queue.end());
        const StreamFrame *head = owned.frames.first();
        QVERIFY(head->isKeyframe() && head->fps() > 0);
        QTemporaryDir dir;
        const QString out = dir.filePath("export.mp4");
        ZuStreamEncoder encoder;
        QVERIFY(encoder.init_encoder(out, "libx264", 2048, int(head->fps()), head->width(), head->height(), true, "large",
                                     head->pixelFormat()));
        for (const StreamFrame *f : std::as_const(owned.frames))
            QVERIFY(encoder.encodeFrame(f->avFrame(), f->width(), f->height(), QString::fromLatin1(f->timestampText()),
                                        f->drawOverlay(), f->frameId()));
        QVERIFY(encoder.end_encoding());
        const codectest::Probe p = codectest::probe(out);
        QVERIFY(p.ok);
        QCOMPARE(p.codec, QStringLiteral("h264"));
        QCOMPARE(QSize(p.width, p.height), QSize(head->width(), head->height()));
        QCOMPARE(p.frames, 10);
        QCOMPARE(p.frameRate, QStringLiteral("%1/1").arg(int(head->fps())));
    }
};

QTEST_MAIN(TestFileReader)
#include "tst_filereader.moc"
