#include "../codecs/codectestutil.h"
#include "seekfile.h"
#include "streamframe.h"
#include "zuaudiovideofilereader.h"

#include <QtTest>

#include <deque>

#include <time.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {
// One recording: `count` frames per stream at 2 frames per second from
// `start` (time of day), key frame every 5 frames. Camera 3 carries stream 0
// (320x240) and, interleaved, stream 1 (160x120).
struct Recording {
    QString data;
    QList<QPair<qint64, int>> entries; // offset, size of every line in file order
    QStringList lines;
};

Recording writeRecording(const QString &folder, int camera, const QTime &start, int count, bool secondStream,
                         bool reorderingHevc = false)
{
    Recording rec;
    const QString base = QStringLiteral("%1_20240305_%2").arg(camera).arg(start.toString(QStringLiteral("HHmmss")));
    rec.data = folder + QLatin1Char('/') + base + QStringLiteral(".zuvideo");
    const QString codec = reorderingHevc ? QStringLiteral("hevc") : QStringLiteral("h264");
    const QList<QByteArray> s0 = reorderingHevc ? codectest::makeAccessUnits("libx265", 320, 240, count, 5, 3)
                                                : codectest::makeAccessUnits("libx264", 320, 240, count, 5);
    const QList<QByteArray> s1 = secondStream ? codectest::makeAccessUnits("libx264", 160, 120, count, 5) : QList<QByteArray>();
    QFile data(rec.data);
    data.open(QIODevice::WriteOnly);
    qint64 offset = 0;
    for (int i = 0; i < count; ++i) {
        const QString stamp = QDateTime(QDate(2024, 3, 5), start).addMSecs(i * 500).toString(QStringLiteral("yyyyMMddHHmmsszzz"));
        const bool key = i % 5 == 0;
        auto add = [&](const QByteArray &au, int stream, const QString &res) {
            data.write(au);
            rec.entries.append({offset, int(au.size())});
            rec.lines.append(QStringLiteral("%1:video%2:%3:%4:%5:%6").arg(stamp).arg(stream).arg(codec, res).arg(key ? 1 : 0).arg(au.size()));
            offset += au.size();
        };
        add(s0.at(i), 0, QStringLiteral("320x240"));
        if (secondStream)
            add(s1.at(i), 1, QStringLiteral("160x120"));
    }
    data.close();
    QFile seek(ZuSeekFile::seekPathFor(rec.data));
    seek.open(QIODevice::WriteOnly);
    seek.write((rec.lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLatin1());
    return rec;
}

struct Run {
    QList<StreamFrame *> frames;
    QList<int> errors;
    ~Run() { qDeleteAll(frames); }
    QStringList times() const
    {
        QStringList t;
        for (const StreamFrame *f : frames)
            t.append(QString::fromLatin1(f->timestampText()).mid(8, 6) + QString::fromLatin1(f->timestampText()).mid(14));
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
        while (!queue.empty()) {
            run.frames.append(queue.front());
            queue.pop_front();
        }
    }
    for (StreamFrame *f : queue)
        run.frames.append(f);
}
} // namespace

class TestFileReader : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void rangeRule_data();
    void rangeRule();
    void rangeRuleCarriesAcrossFiles();
    void fpsNeverDividesByZero();
    void fpsIgnoresPausesAndClockChanges();
    void readsRangeAcrossFilesAndStreams_data();
    void readsRangeAcrossFilesAndStreams();
    void emptyRangeEndsAtOnce();
    void readsAReorderingStream();
    void stopsMidwayWhileTheQueueIsFull();
    void damagedRecordingsEndWithAnError_data();
    void damagedRecordingsEndWithAnError();
    void readsTheGeneratedFolder();

private:
    QTemporaryDir m_dir;
    Recording m_first, m_second;
};

void TestFileReader::initTestCase()
{
    av_log_set_level(AV_LOG_QUIET);
    QVERIFY(m_dir.isValid());
    // Two files of camera 3: 14:00:00.000-14:00:04.500 and 14:00:05.000-14:00:09.500.
    m_first = writeRecording(m_dir.path(), 3, QTime(14, 0, 0), 10, true);
    m_second = writeRecording(m_dir.path(), 3, QTime(14, 0, 5), 10, true);
}

static ZuFrameList framesAt(const QStringList &times)
{
    ZuFrameList list;
    for (const QString &t : times) {
        ZuFrame f;
        f.timestamp = QStringLiteral("20240305") + t + QStringLiteral("000");
        list.append(f);
    }
    return list;
}

void TestFileReader::rangeRule_data()
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
    QTest::newRow("range before the file") << t << "130000" << "130500" << QList<int>{};
    QTest::newRow("range in a gap") << QStringList{"140000", "140010"} << "140002" << "140005" << QList<int>{};
    QTest::newRow("end never reached") << t << "140004" << "150000" << QList<int>{4, 5};
    QTest::newRow("begin equals end") << t << "140002" << "140002" << QList<int>{};
}

void TestFileReader::rangeRule()
{
    QFETCH(QStringList, times);
    QFETCH(QString, begin);
    QFETCH(QString, end);
    QFETCH(QList<int>, kept);
    bool started = false, ended = false;
    QCOMPARE(ZuAudioVideoFileReader::selectRange(framesAt(times), begin, end, started, ended), kept);
}

void TestFileReader::rangeRuleCarriesAcrossFiles()
{
    bool started = false, ended = false;
    const ZuFrameList a = framesAt({"140000", "140001", "140002"});
    const ZuFrameList b = framesAt({"140003", "140004", "140005"});
    const ZuFrameList c = framesAt({"140006"});
    QCOMPARE(ZuAudioVideoFileReader::selectRange(a, "140002", "140004", started, ended), QList<int>{2});
    QVERIFY(started && !ended);
    QCOMPARE(ZuAudioVideoFileReader::selectRange(b, "140002", "140004", started, ended), (QList<int>{0, 1}));
    QVERIFY(ended);
    QCOMPARE(ZuAudioVideoFileReader::selectRange(c, "140002", "140004", started, ended), QList<int>{});
}

void TestFileReader::fpsNeverDividesByZero()
{
    ZuFrameList one;
    one.append(ZuFrame{});
    one.first().timestamp = QStringLiteral("20240305140000000");
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(one), 1.0);
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(ZuFrameList{}), -1.0);
    ZuFrameList sameTime = one;
    sameTime.append(one.first());
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(sameTime), 1.0);
    ZuFrameList broken = one;
    broken.append(one.first());
    broken.last().timestamp = QStringLiteral("garbage");
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(broken), 1.0);
    // Under a second: 10 frames per second from three entries 100 ms apart.
    ZuFrameList quick = one;
    for (const char *t : {"20240305140000100", "20240305140000200"}) {
        quick.append(one.first());
        quick.last().timestamp = QString::fromLatin1(t);
    }
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(quick), 10.0);
    // A third of a second between frames stays 3, not 2.99.
    ZuFrameList thirds;
    for (int i = 0; i < 31; ++i) {
        thirds.append(ZuFrame{});
        thirds.last().timestamp = QDateTime(QDate(2024, 3, 5), QTime(14, 0)).addMSecs(qRound(i * 1000.0 / 3))
                                      .toString(QStringLiteral("yyyyMMddHHmmsszzz"));
    }
    QCOMPARE(int(ZuAudioVideoFileReader::entriesFps(thirds)), 3);
}

static ZuFrameList framesEvery(const QDateTime &start, int count, int stepMs)
{
    ZuFrameList list;
    for (int i = 0; i < count; ++i) {
        list.append(ZuFrame{});
        list.last().timestamp = start.addMSecs(qint64(i) * stepMs).toString(QStringLiteral("yyyyMMddHHmmsszzz"));
    }
    return list;
}

void TestFileReader::fpsIgnoresPausesAndClockChanges()
{
    const QDateTime t0(QDate(2024, 3, 5), QTime(14, 0), Qt::UTC);
    // Event recording: two bursts at 10 frames per second, five minutes apart.
    ZuFrameList bursts = framesEvery(t0, 20, 100) + framesEvery(t0.addSecs(300), 20, 100);
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(bursts), 10.0);
    // The recorder's clock set back by an hour in the middle of the file.
    ZuFrameList back = framesEvery(t0, 20, 100) + framesEvery(t0.addSecs(-3600), 20, 100);
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(back), 10.0);
    // A frame lost now and then is no pause: 48 entries over 4.9 seconds.
    ZuFrameList lossy = framesEvery(t0, 50, 100);
    lossy.removeAt(30);
    lossy.removeAt(10);
    QCOMPARE(ZuAudioVideoFileReader::entriesFps(lossy), 9.59);

    // Times that do not exist in the viewer's zone (the hour skipped when
    // daylight-saving time begins) are still the recorder's times.
    const QByteArray oldTz = qgetenv("TZ");
    qputenv("TZ", "Europe/Paris");
    tzset();
    const ZuFrameList gap = framesEvery(QDateTime(QDate(2024, 3, 31), QTime(2, 10), Qt::UTC), 30, 100);
    const double fps = ZuAudioVideoFileReader::entriesFps(gap);
    if (oldTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldTz);
    tzset();
    QCOMPARE(fps, 10.0);
}

void TestFileReader::readsRangeAcrossFilesAndStreams_data()
{
    QTest::addColumn<QString>("stream");
    QTest::addColumn<int>("width");
    QTest::newRow("video0") << "0" << 320;
    QTest::newRow("video1 interleaved") << "1" << 160;
}

void TestFileReader::readsRangeAcrossFilesAndStreams()
{
    QFETCH(QString, stream);
    QFETCH(int, width);
    ZuAudioVideoFileReader reader({QFileInfo(m_first.data), QFileInfo(m_second.data)}, stream,
                                  QStringLiteral("140003"), QStringLiteral("140007"));
    reader.set_camera_names({{3, QStringLiteral("Entrée principale")}});
    QCOMPARE(reader.fps(), -1.0);
    QCOMPARE(reader.frame_count(), -1);
    QSignalSpy finished(&reader, &QThread::finished);
    Run run;
    runReader(reader, run, 2); // a short queue makes the reader wait for the consumer
    QCOMPARE(finished.count(), 1);
    QCOMPARE(run.errors, QList<int>{});
    // From 14:00:03 (not a key frame: decoded from the key frame before it)
    // to the first entry at 14:00:07, across the two files.
    QCOMPARE(run.times(), (QStringList{"140003000", "140003500", "140004000", "140004500", "140005000",
                                       "140005500", "140006000", "140006500", "140007000"}));
    for (int i = 0; i < run.frames.size(); ++i) {
        const StreamFrame *f = run.frames.at(i);
        QVERIFY(f->avFrame());
        QCOMPARE(f->width(), width);
        QCOMPARE(f->frameId(), i);
        QCOMPARE(f->drawOverlay(), QStringLiteral("Entrée principale"));
        QCOMPARE(f->fps(), 2.0);
        // Key frames every 5 entries of a file: 14:00:05.000 only, in this range.
        QCOMPARE(f->isKeyframe(), i == 4);
    }
    QCOMPARE(reader.fps(), 2.0);
    QCOMPARE(reader.frame_count(), 10);
}

void TestFileReader::readsAReorderingStream()
{
    // H.265 with B-frames: the decoder gives its first picture only a few
    // units after the first key frame and keeps the last ones until the
    // end. Every entry still gives exactly one picture, in time order.
    QTemporaryDir dir;
    const Recording rec = writeRecording(dir.path(), 5, QTime(14, 0, 0), 20, false, true);
    if (rec.entries.size() != 20)
        QSKIP("libx265 is not available");
    ZuAudioVideoFileReader all({QFileInfo(rec.data)}, QStringLiteral("0"), QString(), QString());
    Run run;
    runReader(all, run);
    QCOMPARE(run.errors, QList<int>{});
    QCOMPARE(run.frames.size(), 20);
    QStringList expected;
    for (int i = 0; i < 20; ++i)
        expected.append(QTime(14, 0, 0).addMSecs(i * 500).toString(QStringLiteral("HHmmsszzz")));
    QCOMPARE(run.times(), expected);
    QVERIFY(run.frames.first()->isKeyframe());
    for (int i = 0; i < run.frames.size(); ++i) {
        QCOMPARE(run.frames.at(i)->frameId(), i);
        QCOMPARE(run.frames.at(i)->width(), 320);
    }

    // A range that opens after a key frame: the pictures decoded only to
    // reach it are not delivered, whenever the decoder hands them out.
    ZuAudioVideoFileReader part({QFileInfo(rec.data)}, QStringLiteral("0"), QStringLiteral("140003"),
                                QStringLiteral("140005"));
    Run run2;
    runReader(part, run2);
    QCOMPARE(run2.errors, QList<int>{});
    QCOMPARE(run2.times(), (QStringList{"140003000", "140003500", "140004000", "140004500", "140005000"}));
}

void TestFileReader::emptyRangeEndsAtOnce()
{
    ZuAudioVideoFileReader reader({QFileInfo(m_first.data), QFileInfo(m_second.data)}, QStringLiteral("0"),
                                  QStringLiteral("150000"), QStringLiteral("160000"));
    Run run;
    QElapsedTimer t;
    t.start();
    runReader(reader, run);
    QVERIFY(run.frames.isEmpty());
    QVERIFY(run.errors.isEmpty());
    QVERIFY(t.elapsed() < 5000);
    // A stream that is not in the files at all.
    ZuAudioVideoFileReader other({QFileInfo(m_first.data)}, QStringLiteral("7"), QString(), QString());
    Run run2;
    runReader(other, run2);
    QVERIFY(run2.frames.isEmpty());
    QVERIFY(run2.errors.isEmpty());
    QCOMPARE(other.frame_count(), -1);
    // No files.
    ZuAudioVideoFileReader none({}, QStringLiteral("0"), QString(), QString());
    Run run3;
    runReader(none, run3);
    QVERIFY(run3.frames.isEmpty());
}

void TestFileReader::stopsMidwayWhileTheQueueIsFull()
{
    auto *reader = new ZuAudioVideoFileReader({QFileInfo(m_first.data), QFileInfo(m_second.data)}, QStringLiteral("0"),
                                              QString(), QString());
    std::deque<StreamFrame *> queue;
    QMutex mutex;
    reader->set_frame_queue(&queue);
    reader->set_queue_mutex(&mutex);
    reader->set_max_queue(3);
    reader->start();
    QTRY_COMPARE_WITH_TIMEOUT([&] { QMutexLocker l(&mutex); return int(queue.size()); }(), 3, 5000);
    QVERIFY(reader->isRunning()); // waiting for room
    QElapsedTimer t;
    t.start();
    reader->stop();
    QVERIFY(reader->wait(2000));
    QVERIFY(t.elapsed() < 1000);
    QCOMPARE(int(queue.size()), 3);
    QCOMPARE(reader->error_code(), 0);
    delete reader;
    for (StreamFrame *f : queue)
        delete f;

    // Destroying a running reader stops and joins it.
    auto *running = new ZuAudioVideoFileReader({QFileInfo(m_first.data)}, QStringLiteral("0"), QString(), QString());
    std::deque<StreamFrame *> q2;
    running->set_frame_queue(&q2);
    running->set_queue_mutex(&mutex);
    running->set_max_queue(1);
    running->start();
    QTRY_VERIFY_WITH_TIMEOUT([&] { QMutexLocker l(&mutex); return !q2.empty(); }(), 5000);
    delete running;
    qDeleteAll(q2);
}

void TestFileReader::damagedRecordingsEndWithAnError_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("framesBefore"); // stream-0 frames delivered before the failure
    QTest::newRow("truncated data file") << "truncate" << 6;
    QTest::newRow("seek file points past the data") << "pastdata" << 10;
    QTest::newRow("garbage in place of a frame") << "garbage" << 3;
    QTest::newRow("garbage in place of a key frame") << "garbagekey" << 5;
    QTest::newRow("missing data file") << "nodata" << 0;
    QTest::newRow("missing seek file") << "noseek" << 0;
    QTest::newRow("unknown codec") << "codec" << 0;
}

void TestFileReader::damagedRecordingsEndWithAnError()
{
    QFETCH(QString, damage);
    QFETCH(int, framesBefore);
    QTemporaryDir dir;
    const Recording rec = writeRecording(dir.path(), 12, QTime(14, 0, 0), 10, false);
    const QString seekPath = ZuSeekFile::seekPathFor(rec.data);
    QFile data(rec.data);
    if (damage == QLatin1String("truncate")) {
        // Cut inside frame 6.
        QVERIFY(data.resize(rec.entries.at(6).first + rec.entries.at(6).second / 2));
    } else if (damage == QLatin1String("pastdata")) {
        QFile seek(seekPath);
        QVERIFY(seek.open(QIODevice::Append));
        seek.write("20240305140005000:video0:h264:320x240:0:99999\n");
    } else if (damage.startsWith(QLatin1String("garbage"))) {
        const int index = damage == QLatin1String("garbage") ? 3 : 5;
        QVERIFY(data.open(QIODevice::ReadWrite));
        data.seek(rec.entries.at(index).first);
        QByteArray bytes(rec.entries.at(index).second, '\0');
        quint32 seed = 99;
        for (char &c : bytes) {
            seed = seed * 1664525u + 1013904223u;
            c = char((seed >> 24) | 0x80); // no start codes in it
        }
        data.write(bytes);
        data.close();
    } else if (damage == QLatin1String("nodata")) {
        QVERIFY(QFile::rename(rec.data, rec.data + QStringLiteral(".moved")));
    } else if (damage == QLatin1String("noseek")) {
        QVERIFY(QFile::remove(seekPath));
    } else if (damage == QLatin1String("codec")) {
        QFile seek(seekPath);
        QVERIFY(seek.open(QIODevice::ReadOnly));
        QByteArray text = seek.readAll().replace(":h264:", ":vp8:");
        seek.close();
        QVERIFY(seek.open(QIODevice::WriteOnly | QIODevice::Truncate));
        seek.write(text);
    }
    QFileInfo info(rec.data);
    ZuAudioVideoFileReader reader({info}, QStringLiteral("0"), QString(), QString());
    QSignalSpy finished(&reader, &QThread::finished);
    Run run;
    runReader(reader, run);
    QCOMPARE(run.errors, QList<int>{-14});
    QCOMPARE(reader.error_code(), -14);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(run.frames.size(), framesBefore);
    for (const StreamFrame *f : run.frames)
        QVERIFY(f->avFrame());
}

void TestFileReader::readsTheGeneratedFolder()
{
    const QDir testdata(QStringLiteral(ZU_BINARY_DIR "/testdata/small"));
    const QStringList roots = testdata.entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
    if (roots.isEmpty())
        QSKIP("the generated export folder is missing (run the small_export fixture)");
    const QDir root(testdata.absoluteFilePath(roots.first()));
    const QString day = root.entryList({QStringLiteral("20*")}, QDir::Dirs, QDir::Name).value(0);
    QVERIFY(!day.isEmpty());
    QList<QFileInfo> files;
    const QDir dayDir(root.absoluteFilePath(day));
    for (const QString &segment : dayDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        for (const QFileInfo &f : QDir(dayDir.absoluteFilePath(segment)).entryInfoList({QStringLiteral("3_*.zuvideo")}, QDir::Files, QDir::Name))
            files.append(f);
    QVERIFY(files.size() >= 2);
    int expected = 0;
    for (const QFileInfo &f : files)
        expected += ZuSeekFile::parse(ZuSeekFile::seekPathFor(f.absoluteFilePath()), f.absoluteFilePath(), QStringLiteral("1")).frames.size();
    ZuAudioVideoFileReader reader(files, QStringLiteral("1"), QString(), QString());
    Run run;
    runReader(reader, run);
    QVERIFY(run.errors.isEmpty());
    QCOMPARE(run.frames.size(), expected);
    QVERIFY(run.frames.first()->isKeyframe());
    QVERIFY(reader.fps() > 0);
}

QTEST_GUILESS_MAIN(TestFileReader)
#include "tst_filereader.moc"
