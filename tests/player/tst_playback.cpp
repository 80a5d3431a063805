#include "canvas.h"
#include "player_testutil.h"
#include "../common/zu_test_util.h"
#include "streamframe.h"
#include "videodecoder.h"
#include "zuaudiovideofilereader.h"
#include "zuscaler.h"

#include <QSignalSpy>
#include <QtConcurrent/QtConcurrentRun>
#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

using namespace playertest;
using Engine = ZuStreamReadAndControl;

namespace {
int indexOf(const ZuFrameList &list, const QString &timestamp)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).timestamp == timestamp)
            return i;
    }
    return -1;
}

QString abs(const QString &path) { return QFileInfo(path).absoluteFilePath(); }

// A recording file as the picture worker takes it, with its flagged key frames.
std::shared_ptr<ZuPlayFile> playFile(const QString &path)
{
    auto file = std::make_shared<ZuPlayFile>();
    file->path = path;
    file->frames = entries(path);
    for (int i = 0; i < file->frames.size(); ++i) {
        if (file->frames.at(i).isKeyframe())
            file->keys.push_back(i);
    }
    return file;
}

// Lets the engine's worker finish what it prepares in the background: until
// nothing has been decoded for half a second (at most 20 s), calling
// `sample` all along.
void settle(const Engine &engine, const std::function<void()> &sample = {})
{
    QElapsedTimer quiet, all;
    quiet.start();
    all.start();
    qint64 decoded = engine.decodedFramesTotal();
    int cached = engine.cachedFrames();
    while (quiet.elapsed() < 500 && all.elapsed() < 20000) {
        QTest::qWait(2);
        if (sample)
            sample();
        if (engine.decodedFramesTotal() != decoded || engine.cachedFrames() != cached) {
            decoded = engine.decodedFramesTotal();
            cached = engine.cachedFrames();
            quiet.restart();
        }
    }
}
} // namespace

class TestPlayback : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void rateOneAndHeldSlider();
    void seekLandsOnFirstKeyFrameAtOrAfter();
    void stepsBothWaysWithCachedGroup();
    void snapshotMatchesFrameShown();
    void surfaceGetsPicturesScaledForItsView_data();
    void surfaceGetsPicturesScaledForItsView();
    void entersTheNeighbourFileWithoutWaiting_data();
    void entersTheNeighbourFileWithoutWaiting();
    void cacheLimitHoldsForTheNeighboursToo();
    void playingForwardKeepsLittle();
    void openingToPlayDecodesWhatPlaysNext_data();
    void openingToPlayDecodesWhatPlaysNext();
    void pausedOnAGroupsFirstPictureTheGroupBeforeComesFirst_data();
    void pausedOnAGroupsFirstPictureTheGroupBeforeComesFirst();
    void scaledPicturesReuseTheirBuffers();
    void playingFastKeepsWhatItDecodes_data();
    void playingFastKeepsWhatItDecodes();
    void secondStreamAndJumps();
    void badInputs_data();
    void badInputs();
    void corruptAndTruncatedData();
    void receiversMayMoveTheEngine();
    void fileSignalReceiversMayMoveTheEngine_data();
    void fileSignalReceiversMayMoveTheEngine();
    void clockSetBackInAFile();
    void picturesInPresentationOrder_data();
    void picturesInPresentationOrder();
    void picturesWithTheirOwnTimes_data();
    void picturesWithTheirOwnTimes();
    void fileCutInsideAGroup();
    void everyPictureKeepsItsOwnTime_data();
    void everyPictureKeepsItsOwnTime();
    void aLostPictureStaysInItsGroup();
    void aDamagedEntryIsCountedInItsGroup_data();
    void aDamagedEntryIsCountedInItsGroup();
    void aRepeatedPictureIsAPicture_data();
    void aRepeatedPictureIsAPicture();
    void aDamagedNeighbourLeavesAFileWhole_data();
    void aDamagedNeighbourLeavesAFileWhole();
    void aCodecChangeBetweenFilesDamagesNothing_data();
    void aCodecChangeBetweenFilesDamagesNothing();

private:
    // A recording of groups of 100 pictures (keys 0, 100, 200; 240
    // pictures), made at the first call; empty when it cannot be made.
    QString longGroupsFile();

    QString m_root;
    QString m_file1;
    QString m_file2;
    ZuFrameList m_all; // stream 0 of camera 12, both files
    QTemporaryDir m_longGroups;
    QString m_longGroupsFile;
};

QString TestPlayback::longGroupsFile()
{
    if (!m_longGroupsFile.isEmpty() || !m_longGroups.isValid())
        return m_longGroupsFile;
    QProcess gen;
    gen.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gen.start(QStringLiteral("python3"),
              {QStringLiteral(ZU_SOURCE_DIR "/tools/make_export_folder"), QStringLiteral("--out"), m_longGroups.path(),
               QStringLiteral("--size"), QStringLiteral("320x240"), QStringLiteral("--fps"), QStringLiteral("10"),
               QStringLiteral("--gop"), QStringLiteral("10"), QStringLiteral("--minutes"), QStringLiteral("0.4"),
               QStringLiteral("--segment-minutes"), QStringLiteral("0.4"), QStringLiteral("--cameras"),
               QStringLiteral("1")});
    if (!gen.waitForFinished(300000) || gen.exitCode() != 0)
        return QString();
    const QString root = QString::fromUtf8(gen.readAllStandardOutput()).trimmed().split(QLatin1Char('\n')).last();
    const QString file = abs(videoFile(root, 3, QStringLiteral("140000")));
    if (playFile(file)->keys == std::vector<int>{0, 100, 200} && entries(file).size() == 240)
        m_longGroupsFile = file;
    return m_longGroupsFile;
}

void TestPlayback::initTestCase()
{
    m_root = smallExport();
    QVERIFY2(!m_root.isEmpty(), "the small_export fixture is missing");
    m_file1 = videoFile(m_root, 12, QStringLiteral("140000"));
    m_file2 = videoFile(m_root, 12, QStringLiteral("140006"));
    m_all = entries(m_file1) + entries(m_file2);
    QVERIFY(m_all.size() > 40);
}

void TestPlayback::rateOneAndHeldSlider()
{
    Engine engine;
    Recorder rec(&engine);
    QSignalSpy slider(&engine, &Engine::slidervalue);
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
    rec.timestamps.clear();
    engine.change_rate(1);
    QTRY_VERIFY_WITH_TIMEOUT(rec.timestamps.size() >= 6, 30000);
    engine.pause();
    QVERIFY(strictly(rec.timestamps));
    int consecutive = 0;
    for (int i = 1; i < rec.timestamps.size(); ++i)
        consecutive += indexOf(m_all, rec.timestamps.at(i)) == indexOf(m_all, rec.timestamps.at(i - 1)) + 1 ? 1 : 0;
    // A busy machine may drop a frame now and then, never most of them.
    QVERIFY2(consecutive >= 2, "rate 1 shows the frames one after the other");

    // The slider does not move under the hand, except for a seek.
    engine.slider_pressed();
    const int before = slider.count();
    engine.read_and_display_next_frame(false);
    QCOMPARE(slider.count(), before);
    engine.set_read_timestamp(QStringLiteral("20240305140004"));
    QCOMPARE(slider.count(), before + 1);

    // Rates snap to the supported ones.
    engine.change_rate(0);
    QCOMPARE(engine.rate(), 1.0);
    engine.change_rate(-100);
    QCOMPARE(engine.rate(), -8.0);
}

void TestPlayback::seekLandsOnFirstKeyFrameAtOrAfter()
{
    Engine engine;
    Recorder rec(&engine);
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140003"), false));
    QCOMPARE(rec.last(), firstKeyAtOrAfter(m_all, QStringLiteral("20240305140003000")));

    const QStringList targets = {
        QStringLiteral("20240305140000"),     QStringLiteral("20240305140001"),
        QStringLiteral("20240305140005"),     // past the file's last key frame: next file
        QStringLiteral("20240305140007500"),  // with milliseconds
        QStringLiteral("20240305140002"),     // back into the first file
        QStringLiteral("20240305140004000"),  // exactly on a key frame
    };
    for (const QString &t : targets) {
        engine.set_read_timestamp(t);
        const QString want = firstKeyAtOrAfter(m_all, t.leftJustified(17, QLatin1Char('0')));
        QCOMPARE(rec.last(), want);
        QVERIFY(rec.keys.last());
        QCOMPARE(engine.current_timestamp(), want);
        QCOMPARE(engine.current_file(), abs(m_all.at(indexOf(m_all, want)).file_path));
    }
    // Before the day: its first key frame; after it: its last key frame.
    engine.set_read_timestamp(QStringLiteral("20240305130000"));
    QCOMPARE(rec.last(), m_all.first().timestamp);
    engine.set_read_timestamp(QStringLiteral("20240305150000"));
    QString lastKey;
    for (const ZuFrame &f : m_all)
        lastKey = f.isKeyframe() ? f.timestamp : lastKey;
    QCOMPARE(rec.last(), lastKey);
    // Unreadable times change nothing.
    const int n = rec.timestamps.size();
    engine.set_read_timestamp(QStringLiteral("2024030514xx00"));
    engine.set_read_timestamp(QString());
    QCOMPARE(rec.timestamps.size(), n);
    QCOMPARE(engine.state(), Engine::Paused);
}

void TestPlayback::stepsBothWaysWithCachedGroup()
{
    Engine engine;
    Recorder rec(&engine, true);
    // One step; what it showed, checked against an independent decoding.
    const auto step = [&](int by) {
        for (int i = 0; i < qAbs(by); ++i) {
            if (!(by > 0 ? engine.read_and_display_next_frame(false) : engine.read_and_display_previous_frame(false)))
                return QStringLiteral("no step");
        }
        return rec.lastPixels == referencePicture(m_all, indexOf(m_all, rec.last())) ? rec.last()
                                                                                      : QStringLiteral("wrong picture");
    };
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140004"), true));
    QCOMPARE(engine.state(), Engine::Playing);
    // A user step pauses first.
    QVERIFY(engine.read_and_display_next_frame(false));
    QCOMPARE(engine.state(), Engine::Paused);
    engine.set_read_timestamp(QStringLiteral("20240305140004"));
    QCOMPARE(step(1), QStringLiteral("20240305140004100"));
    QCOMPARE(step(-1), QStringLiteral("20240305140004000"));
    // Into the previous group: decoded once...
    QCOMPARE(step(-1), QStringLiteral("20240305140003900"));
    // ...then every further back step comes from the kept pictures.
    const qint64 decoded = engine.decodedFrames();
    QCOMPARE(step(-19), QStringLiteral("20240305140002000"));
    QCOMPARE(engine.decodedFrames(), decoded);
    QVERIFY(engine.cacheBytes() <= engine.cacheLimitBytes());
    QCOMPARE(step(-1), QStringLiteral("20240305140001900"));
    // A tight cache still steps correctly.
    engine.setCacheLimitBytes(1);
    QCOMPARE(step(-3), QStringLiteral("20240305140001600"));
    engine.setCacheLimitBytes(Engine::kDefaultCacheBytes);

    // Across the file boundary, both ways.
    engine.set_read_timestamp(QStringLiteral("20240305140006"));
    QCOMPARE(rec.last(), QStringLiteral("20240305140006000"));
    QCOMPARE(step(-1), QStringLiteral("20240305140005900"));
    QCOMPARE(engine.current_file(), abs(m_file1));
    QCOMPARE(step(1), QStringLiteral("20240305140006000"));
    QCOMPARE(engine.current_file(), abs(m_file2));

    // At the very start of the day there is nothing before.
    engine.set_read_timestamp(QStringLiteral("20240305140000"));
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    QCOMPARE(step(-1), QStringLiteral("no step"));
    QCOMPARE(end.count(), 1);
    QCOMPARE(rec.last(), QStringLiteral("20240305140000000"));
}

void TestPlayback::entersTheNeighbourFileWithoutWaiting_data()
{
    QTest::addColumn<QString>("open");
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("move"); // frames to step; none: play at the rate
    QTest::addColumn<qreal>("rate");
    QTest::addColumn<QString>("last");
    // Paused on a group's key frame, the group before it is decoded in the
    // background: holding the back-step key never waits for decoding. After
    // a seek to a file's first picture, that is the last group of the file
    // before; paused on a file's last picture, the next file's first group.
    QTest::newRow("back steps from a key frame") << QStringLiteral("20240305140004")
                                                 << QStringLiteral("20240305140004000") << -20 << 0.0
                                                 << QStringLiteral("20240305140002000");
    QTest::newRow("back steps after a seek to a file's start")
        << QStringLiteral("20240305140006") << QStringLiteral("20240305140006000") << -20 << 0.0
        << QStringLiteral("20240305140004000");
    QTest::newRow("forward steps from a file's last picture")
        << QStringLiteral("20240305140004") << QStringLiteral("20240305140005900") << 20 << 0.0
        << QStringLiteral("20240305140007900");
    // Playing, the next file's first picture is ready before the clock gets there.
    QTest::newRow("playing at 8") << QStringLiteral("20240305140004") << QStringLiteral("20240305140004000") << 0
                                  << 8.0 << m_all.last().timestamp;
    QTest::newRow("playing at -8") << QStringLiteral("20240305140006") << QStringLiteral("20240305140006000") << 0
                                   << -8.0 << m_all.first().timestamp;
}

void TestPlayback::entersTheNeighbourFileWithoutWaiting()
{
    QFETCH(QString, open);
    QFETCH(QString, start);
    QFETCH(int, move);
    QFETCH(qreal, rate);
    QFETCH(QString, last);
    Engine engine;
    Recorder rec(&engine, move != 0);
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), open, false));
    while (rec.last() < start)
        QVERIFY(engine.read_and_display_next_frame(false));
    QCOMPARE(rec.last(), start);
    // The group around the position, the ready queue and the neighbour's group.
    settle(engine);
    QVERIFY(engine.cachedFrames() >= 33);
    const qint64 waited = engine.decodedFrames();
    if (move != 0) {
        for (int i = 0; i < qAbs(move); ++i) {
            QVERIFY(move > 0 ? engine.read_and_display_next_frame(false) : engine.read_and_display_previous_frame(false));
            QCOMPARE(rec.lastPixels, referencePicture(m_all, indexOf(m_all, rec.last())));
        }
    } else {
        // A paused engine starts playing at the rate; the end of the day
        // pauses it. Each picture is an entry, in order, with its time code;
        // the slider ends on the last.
        QSignalSpy times(&engine, &Engine::setTime);
        QSignalSpy slider(&engine, &Engine::slidervalue);
        rec.timestamps = QStringList{start};
        engine.change_rate(rate);
        QCOMPARE(engine.state(), Engine::Playing);
        QVERIFY(end.wait(30000));
        QCOMPARE(end.first().first().toString(), rate > 0 ? QStringLiteral("next") : QStringLiteral("previous"));
        QCOMPARE(engine.state(), Engine::Paused);
        QVERIFY(rec.timestamps.size() > 10);
        QVERIFY(strictly(rec.timestamps, rate > 0));
        for (const QString &ts : rec.timestamps)
            QVERIFY2(indexOf(m_all, ts) >= 0, qPrintable(ts));
        QCOMPARE(times.count(), rec.timestamps.size() - 1);
        QCOMPARE(times.last().first().toTime(), QTime::fromString(last.mid(8), QStringLiteral("HHmmsszzz")));
        QCOMPARE(slider.last().at(1).toString(), last);
        QCOMPARE(engine.current_file(), abs(m_all.at(indexOf(m_all, last)).file_path));
    }
    QCOMPARE(rec.last(), last);
    QCOMPARE(engine.decodedFrames(), waited); // nothing decoded while the engine waited
}

void TestPlayback::cacheLimitHoldsForTheNeighboursToo()
{
    // The memory limit bounds the decoded pictures of the current file and
    // of the neighbours prepared for it together.
    Engine engine;
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QString(), false));
    QTRY_VERIFY(engine.cachedFrames() > 0);
    // Two and a half groups of 20 pictures: the group of the position, the
    // one after it (the file's last), and not the next file's first too.
    const qint64 limit = engine.cacheBytes() / engine.cachedFrames() * 50;
    engine.setCacheLimitBytes(limit);
    qint64 most = 0;
    connect(&engine, &Engine::set_display_frame, &engine, [&] { most = qMax(most, engine.cacheBytes()); });
    const auto sample = [&]() { most = qMax(most, engine.cacheBytes()); };
    engine.set_read_timestamp(QStringLiteral("20240305140002"));
    settle(engine, sample);
    QVERIFY2(most <= limit, qPrintable(QStringLiteral("%1 bytes kept, limit %2").arg(most).arg(limit)));
    QVERIFY(engine.cachedFrames() >= 40);
    // Playing on through the next file.
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    engine.change_rate(4);
    QVERIFY(end.wait(30000));
    settle(engine, sample);
    QVERIFY2(most <= limit, qPrintable(QStringLiteral("%1 bytes kept, limit %2").arg(most).arg(limit)));
}

void TestPlayback::playingForwardKeepsLittle()
{
    // At the recorded pace nothing is decoded far ahead and only a short
    // step-back window is kept behind, whatever the memory would allow.
    Engine engine;
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
    settle(engine);
    const int bound = ZuPictureWorker::kStepBackWindow + 2 * ZuPictureWorker::kReadyAhead + 3;
    int most = 0;
    QSignalSpy files(&engine, &Engine::fileChanged);
    engine.start_read();
    QElapsedTimer playing;
    playing.start();
    // From the file's middle into the next file, and on into it further than
    // the back steps below go, so that they stay in the file played.
    QElapsedTimer inNext;
    while (files.isEmpty() || playing.elapsed() < 6000 || inNext.elapsed() < 2000) {
        QVERIFY(playing.elapsed() < 30000);
        QTest::qWait(10);
        if (!files.isEmpty() && !inNext.isValid())
            inNext.start();
        if (playing.elapsed() > 500)
            most = qMax(most, engine.cachedFrames());
    }
    QVERIFY2(most <= bound, qPrintable(QStringLiteral("%1 pictures kept").arg(most)));
    // Paused, the way back is prepared again.
    engine.pause();
    settle(engine);
    QVERIFY(engine.cachedFrames() > ZuPictureWorker::kStepBackWindow);
    for (int i = 0; i < 30; ++i)
        QVERIFY(engine.read_and_display_previous_frame(false));
}

void TestPlayback::openingToPlayDecodesWhatPlaysNext_data()
{
    QTest::addColumn<bool>("prepared");
    QTest::newRow("opened") << false;
    QTest::newRow("opened from what was prepared") << true;
}

void TestPlayback::openingToPlayDecodesWhatPlaysNext()
{
    // A file opened to play is prepared for playing from its first picture
    // on, not for a pause: the groups of pictures a pause keeps on both
    // sides are not decoded, only to be let go of at once. Prepared ahead,
    // its first pictures are decoded already and the decoder that made them
    // goes on where it stopped.
    QFETCH(bool, prepared);
    const QString file = longGroupsFile();
    QVERIFY(!file.isEmpty());
    const auto groups = playFile(file);
    Engine engine;
    engine.set_playlist({file});
    if (prepared)
        engine.setPreparedOpening(QtConcurrent::run(&Engine::prepareOpening, file, QStringLiteral("0")));
    Recorder rec(&engine, true);
    QVERIFY(engine.open_file(file, QStringLiteral("0"), QString(), true));
    QCOMPARE(rec.lastPixels, referencePicture(groups->frames, 0));
    QTest::qWait(300);
    // The next pictures, and what frame threads take in ahead of them;
    // nothing of the next group.
    const qint64 decoded = engine.decodedFramesTotal();
    const int shown = engine.position();
    QVERIFY2(decoded < 60, qPrintable(QStringLiteral("%1 units decoded, at %2").arg(decoded).arg(shown)));
    // And it plays on with the right pictures.
    while (engine.position() < 20 && engine.state() == Engine::Playing)
        QTest::qWait(20);
    QCOMPARE(rec.lastPixels, referencePicture(groups->frames, indexOf(groups->frames, rec.last())));
}

void TestPlayback::pausedOnAGroupsFirstPictureTheGroupBeforeComesFirst_data()
{
    QTest::addColumn<int>("direction"); // of the last step
    QTest::newRow("stepping forward") << 1;
    QTest::newRow("stepping back") << -1;
}

void TestPlayback::pausedOnAGroupsFirstPictureTheGroupBeforeComesFirst()
{
    // Where a jump lands, on a group's first picture, a step back needs the
    // whole group before and a step forward one picture: the group before
    // is decoded first, whichever way the last steps went, and then the
    // pictures ahead.
    QFETCH(int, direction);
    const QString path = longGroupsFile();
    QVERIFY(!path.isEmpty());
    const auto file = playFile(path);
    ZuPictureWorker worker;
    worker.setFile(file);
    worker.setFullPictures(false);
    worker.setView(QSize(320, 180), QRectF(0, 0, 1, 1));
    worker.setPlan(200, direction, 1, 200, false);
    // Nothing asked for: what the worker does first on its own.
    QElapsedTimer waited;
    waited.start();
    while (!worker.isDecoded(100) && !worker.isDecoded(200)) {
        QVERIFY(waited.elapsed() < 30000);
        QThread::usleep(200);
    }
    QVERIFY(worker.isDecoded(100));
    QVERIFY(!worker.isDecoded(200));
    // Then all of it, and the pictures ahead.
    QVERIFY(worker.picture(199));
    QVERIFY(worker.picture(200 + direction));
}

void TestPlayback::scaledPicturesReuseTheirBuffers()
{
    // Playing, each picture is scaled for the surface into a buffer let go
    // of by a picture shown before, not into memory taken from the system
    // for every picture.
    ZuPictureWorker worker;
    const auto file = playFile(m_file1);
    QVERIFY(!file->keys.empty() && file->frames.size() >= 50);
    worker.setFile(file);
    worker.setFullPictures(false); // as for the main window's surface
    worker.setView(QSize(320, 180), QRectF(0, 0, 1, 1));
    for (int i = file->keys.front(); i < 50; ++i) {
        worker.setPlan(i, 1, 1, i, true);
        const ZuPictureWorker::PicturePtr picture = worker.picture(i);
        QVERIFY(picture && picture->shown);
        QCOMPARE(picture->shownWidth, 240);
    }
    QVERIFY2(worker.buffersAllocated() <= ZuPictureWorker::kReadyAhead + 12,
             qPrintable(QStringLiteral("%1 buffers for %2 pictures").arg(worker.buffersAllocated()).arg(worker.convertedPictures())));
}

void TestPlayback::playingFastKeepsWhatItDecodes_data()
{
    QTest::addColumn<bool>("forward");
    QTest::newRow("forward, into the next file") << true;
    QTest::newRow("backward, into the file before") << false;
}

void TestPlayback::playingFastKeepsWhatItDecodes()
{
    // Within a limit of three groups of pictures, playing fast keeps the
    // position's group and the two after it in the playing direction. The
    // neighbouring file's group is prepared only once there is room for
    // it: decoded first and pushed out again by the limit, it would be
    // decoded a second time when the position gets there.
    QFETCH(bool, forward);
    const auto current = playFile(forward ? m_file1 : m_file2);
    const auto neighbour = playFile(forward ? m_file2 : m_file1);
    QCOMPARE(current->keys, (std::vector<int>{0, 20, 40}));
    QCOMPARE(current->frames.size(), 60);
    ZuPictureWorker worker;
    worker.setFile(current);
    worker.setNeighbour(neighbour, forward);
    worker.setFullPictures(false);
    worker.setView(QSize(320, 180), QRectF(0, 0, 1, 1));
    const int direction = forward ? 1 : -1;
    const int first = forward ? 0 : 59;
    worker.setPlan(first, direction, 3, first, true);
    QVERIFY(worker.picture(first));
    const qint64 frameBytes = worker.cacheBytes() / worker.cachedFrames();
    const qint64 limit = frameBytes * 60 + frameBytes / 2;
    worker.setLimitBytes(limit);
    // Until nothing has been decoded or converted for half a second.
    const auto settled = [&worker] {
        QElapsedTimer quiet, all;
        quiet.start();
        all.start();
        const auto work = [&worker] { return worker.decodedUnits() + worker.convertedPictures(); };
        qint64 done = work();
        while (quiet.elapsed() < 500 && all.elapsed() < 20000) {
            QTest::qWait(5);
            if (work() != done) {
                done = work();
                quiet.restart();
            }
        }
        return quiet.elapsed() >= 500;
    };
    // In the file's first group in the playing direction: the whole file is
    // kept, and there is no room for the neighbour's group.
    QVERIFY(settled());
    QVERIFY(worker.cacheBytes() <= limit);
    QVERIFY(!worker.readyToEnter(neighbour, forward));
    if (forward) {
        // Each unit decoded once (the decoder runs on to the file's end).
        QVERIFY2(worker.decodedUnits() - worker.cachedFrames() <= 4,
                 qPrintable(QStringLiteral("%1 units decoded, %2 pictures kept").arg(worker.decodedUnits())
                                .arg(worker.cachedFrames())));
    }
    // In the second group: the first one is let go of, and the neighbour's
    // group fits.
    const int middle = forward ? 25 : 34;
    worker.setPlan(middle, direction, 3, middle, true);
    QVERIFY(worker.picture(middle));
    QVERIFY(settled());
    QVERIFY(worker.cacheBytes() <= limit);
    // Half a second of quiet is no proof on a loaded machine, where the
    // worker's threads may wait that long for a core: the neighbour's group
    // must come, in its time.
    QTRY_VERIFY_WITH_TIMEOUT(worker.readyToEnter(neighbour, forward), 20000);
    QVERIFY(worker.cacheBytes() <= limit);
    // Into the neighbour: the file left behind is let go of, and the room
    // goes to the groups ahead, each decoded once.
    const qint64 before = worker.decodedUnits();
    worker.setFile(neighbour);
    const int entered = forward ? 0 : 59;
    worker.setPlan(entered, direction, 3, entered, true);
    QVERIFY(worker.picture(entered));
    QVERIFY(settled());
    QVERIFY(worker.cacheBytes() <= limit);
    QCOMPARE(worker.cachedFrames(), 60);
    for (int slot = 0; slot < 60; ++slot)
        QVERIFY2(worker.isDecoded(slot), qPrintable(QString::number(slot)));
    if (forward)
        QVERIFY2(worker.decodedUnits() - before <= 40 + 4, qPrintable(QString::number(worker.decodedUnits() - before)));
}

void TestPlayback::snapshotMatchesFrameShown()
{
    Engine engine;
    Canvas canvas;
    canvas.set_player_fed();
    connect(&engine, &Engine::set_display_frame, &canvas, &Canvas::displayFrame, Qt::QueuedConnection);
    Recorder rec(&engine, true);
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
    for (int i = 0; i < 5; ++i)
        engine.read_and_display_next_frame(false);
    // Several queued pictures in flight: each must still arrive intact.
    QCOMPARE(canvas.receivedFrames(), qint64(0));
    QTRY_COMPARE(canvas.receivedFrames(), qint64(6));
    QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:02.500"));
    const QImage shown = canvas.currentImage();
    QCOMPARE(shown.size(), rec.size);
    const QImage snap = canvas.get_snapshot(QString(), QString());
    QCOMPARE(snap.size(), shown.size());
    for (int y = 0; y < shown.height(); ++y) {
        const size_t row = size_t(shown.width()) * 4;
        QVERIFY(memcmp(shown.constScanLine(y), rec.lastPixels.constData() + y * row, row) == 0);
        // The snapshot's time box sits at the bottom.
        QVERIFY(y >= snap.height() / 2 || memcmp(snap.constScanLine(y), shown.constScanLine(y), row) == 0);
    }
    QCOMPARE(rec.lastPixels, referencePicture(m_all, indexOf(m_all, QStringLiteral("20240305140002500"))));
}

void TestPlayback::surfaceGetsPicturesScaledForItsView_data()
{
    QTest::addColumn<QSize>("area");
    QTest::addColumn<QPointF>("zoomAt"); // widget position
    QTest::addColumn<qreal>("zoom");
    QTest::addColumn<bool>("fullReceiver"); // of set_display_frame
    QTest::newRow("whole picture, letterboxed") << QSize(400, 200) << QPointF() << 1.0 << true;
    QTest::newRow("zoomed off the chroma grid") << QSize(300, 260) << QPointF(97, 121) << 2.7 << true;
    QTest::newRow("full picture made on demand") << QSize(300, 260) << QPointF(150, 100) << 1.6 << false;
}

void TestPlayback::surfaceGetsPicturesScaledForItsView()
{
    QFETCH(QSize, area);
    QFETCH(QPointF, zoomAt);
    QFETCH(qreal, zoom);
    QFETCH(bool, fullReceiver);
    Engine engine;
    Canvas canvas;
    canvas.set_player_fed();
    canvas.setDigitalZoomEnabled(true);
    connect(&engine, &Engine::display_picture, &canvas, &Canvas::displayPicture, Qt::QueuedConnection);
    connect(&canvas, &Canvas::viewChanged, &engine, &Engine::setDisplayView);
    CanvasPicture got;
    const uint8_t *data = nullptr;
    connect(&engine, &Engine::display_picture, &engine, [&](const CanvasPicture &p) { got = p; });
    if (fullReceiver)
        connect(&engine, &Engine::set_display_frame, &engine, [&](uint8_t *d) { data = d; });
    canvas.resize(area);
    canvas.show();
    QVERIFY(QTest::qWaitForWindowExposed(&canvas));
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
    QTRY_COMPARE(canvas.receivedFrames(), qint64(1));
    if (zoom > 1.0)
        canvas.zoomAt(zoomAt, zoom);
    // Made again for the view as it is now.
    QVERIFY(engine.read_and_display_next_frame(false));
    QVERIFY(!got.shown.isNull());
    if (fullReceiver) {
        // The full picture is the engine's own buffer, not a copy of it.
        QCOMPARE(got.full.constBits(), data);
    } else {
        // Not converted at all until the surface asks for it.
        QVERIFY(got.full.isNull() && got.makeFull);
        got.full = got.makeFull();
    }
    QCOMPARE(got.full.size(), got.fullSize);
    QCOMPARE(got.area, canvas.viewArea());
    QCOMPARE(got.zoom, canvas.zoomRect());
    QCOMPARE(got.shown.size(), Canvas::shownSize(got.full.size(), canvas.zoomRect(), area));
    // The visible part, scaled: sharp and at its place.
    const QImage expected = got.full.copy(Canvas::zoomPixels(got.full.size(), canvas.zoomRect()))
                                .scaled(got.shown.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    qint64 diff = 0;
    for (int y = 0; y < expected.height(); ++y) {
        const uchar *a = expected.constScanLine(y);
        const uchar *b = got.shown.constScanLine(y);
        for (int x = 0; x < expected.width() * 4; ++x)
            diff += (x % 4 == 3) ? 0 : std::abs(int(a[x]) - int(b[x]));
    }
    const double mean = double(diff) / (3.0 * expected.width() * expected.height());
    QVERIFY2(mean < 8.0, qPrintable(QString::number(mean)));
    // The surface paints it as it is and keeps the full picture for snapshots.
    QTRY_COMPARE(canvas.receivedFrames(), qint64(2));
    const QImage painted = canvas.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QVERIFY(canvas.paintedPrepared());
    const QPointF centre = canvas.pictureRect().center();
    const QPoint corner(qRound(centre.x() - got.shown.width() / 2.0), qRound(centre.y() - got.shown.height() / 2.0));
    const QPoint mid(got.shown.width() / 2, got.shown.height() / 2);
    QCOMPARE(painted.pixel(corner + mid), got.shown.pixel(mid));
    if (fullReceiver)
        QCOMPARE(canvas.currentImage().constBits(), data);
    QCOMPARE(canvas.currentImage(), got.full);
    QCOMPARE(canvas.get_snapshot(QString(), QString()).size(), got.full.size());
    // Resized: nothing made for the new size yet, the full picture is scaled.
    canvas.resize(area + QSize(40, 30));
    canvas.grab();
    QVERIFY(!canvas.paintedPrepared());
}

void TestPlayback::secondStreamAndJumps()
{
    const QString cam3a = videoFile(m_root, 3, QStringLiteral("140000"));
    const QString cam3b = videoFile(m_root, 3, QStringLiteral("140006"));
    Engine engine;
    Recorder rec(&engine);
    engine.set_playlist({cam3a, cam3b});
    QVERIFY(engine.open_file(cam3a, QStringLiteral("video1"), QString(), false));
    QCOMPARE(engine.stream_id(), QStringLiteral("1"));
    QCOMPARE(rec.size, QSize(160, 120));
    QVERIFY(engine.open_file(cam3a, QStringLiteral("0"), QString(), false));
    QCOMPARE(rec.size, QSize(320, 240));
    // Jumps land on the exact frame, across files, both ways.
    engine.set_read_timestamp(QStringLiteral("20240305140002"));
    engine.jump_seconds(5);
    QCOMPARE(rec.last(), QStringLiteral("20240305140007000"));
    QCOMPARE(engine.current_file(), abs(cam3b));
    engine.read_and_display_next_frame(false);
    engine.jump_seconds(-5);
    QCOMPARE(rec.last(), QStringLiteral("20240305140002100"));
    // A stopped engine has nothing to step or resume...
    engine.stop();
    QVERIFY(engine.current_file().isEmpty());
    QVERIFY(!engine.read_and_display_next_frame(false));
    engine.toggle_pause();
    QCOMPARE(engine.state(), Engine::Stopped);
    // ...until continue_read opens a file, at its end or its start.
    QVERIFY(engine.continue_read(cam3b, QStringLiteral("0"), true, QStringLiteral("previous")));
    QCOMPARE(engine.state(), Engine::Playing);
    QCOMPARE(rec.last(), entries(cam3b).last().timestamp);
    engine.pause();
    QVERIFY(engine.continue_read(cam3a, QStringLiteral("0"), true, QStringLiteral("next")));
    QCOMPARE(engine.state(), Engine::Paused);
    QCOMPARE(rec.last(), QStringLiteral("20240305140000000"));
}

void TestPlayback::badInputs_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("stream");
    for (const char *damage : {"missing seek file", "empty pair", "unknown codec",
                               "seek file as data", "no such file"})
        QTest::newRow(damage) << QString::fromLatin1(damage) << QStringLiteral("0");
    QTest::newRow("missing stream") << QString() << QStringLiteral("7");
}

void TestPlayback::badInputs()
{
    QFETCH(QString, damage);
    QFETCH(QString, stream);
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    QVERIFY(!root.isEmpty());
    const QString data = videoFile(root, 12, QStringLiteral("140006"));
    const QString seek = ZuSeekFile::seekPathFor(data);
    QString path = data;
    if (damage == QLatin1String("missing seek file"))
        QVERIFY(QFile::remove(seek));
    else if (damage == QLatin1String("empty pair"))
        QVERIFY(QFile::resize(data, 0) && QFile::resize(seek, 0));
    else if (damage == QLatin1String("unknown codec"))
        QVERIFY(rewrite(seek, [](QByteArray text) { return text.replace(":h264:", ":foo:"); }));
    else if (damage == QLatin1String("seek file as data"))
        path = seek;
    else if (damage == QLatin1String("no such file"))
        path = root + QStringLiteral("/nothing.zuvideo");

    Engine engine;
    Recorder rec(&engine);
    // Going on into it from a good file fails and leaves that file usable.
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140004"), false));
    QVERIFY(!engine.continue_read(path, stream, true, QStringLiteral("next")));
    QCOMPARE(engine.current_file(), abs(m_file1));
    QVERIFY(engine.read_and_display_previous_frame(false));
    // Opening it stops the engine without a picture.
    const int shown = rec.timestamps.size();
    QVERIFY(!engine.open_file(path, stream, QString(), true));
    QCOMPARE(engine.state(), Engine::Stopped);
    QCOMPARE(rec.timestamps.size(), shown);
}

void TestPlayback::corruptAndTruncatedData()
{
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    const QString f1 = videoFile(root, 12, QStringLiteral("140000"));
    const QString f2 = videoFile(root, 12, QStringLiteral("140006"));
    const ZuFrameList e1 = entries(f1);
    // Corrupt frames: garbage over a P frame, over the middle key frame and
    // over the first frame of the second group.
    QVERIFY(rewrite(f1, [&](QByteArray bytes) {
        for (int idx : {5, 20, 21}) {
            for (qint64 i = 8; i < e1.at(idx).size; ++i)
                bytes[e1.at(idx).offset + i] = (i - 8) % 3 ? '\xff' : char((i - 8) * 31);
        }
        return bytes;
    }));
    // The second file lost its second half.
    QVERIFY(QFile::resize(f2, QFileInfo(f2).size() / 2));

    Engine engine;
    Recorder rec(&engine);
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    engine.set_playlist({f1, f2});
    QVERIFY(engine.open_file(f1, QStringLiteral("0"), QString(), false));
    engine.change_rate(8);
    QVERIFY(end.wait(30000));
    QVERIFY(strictly(rec.timestamps));
    QVERIFY(rec.timestamps.size() > 5);
    QCOMPARE(engine.current_file(), abs(f2));
    QVERIFY(rec.last() < m_all.last().timestamp);

    // Stepping back over the damage goes on to older frames.
    rec.timestamps.clear();
    engine.set_read_timestamp(QStringLiteral("20240305140004"));
    for (int i = 0; i < 45; ++i)
        engine.read_and_display_previous_frame(false);
    QVERIFY(strictly(rec.timestamps, false));
    QVERIFY(rec.last() <= QStringLiteral("20240305140000400"));
    // Reverse playing over it ends at the start of the day.
    end.clear();
    engine.set_read_timestamp(QStringLiteral("20240305140006"));
    engine.change_rate(-8);
    QVERIFY(end.wait(30000));
    QCOMPARE(end.last().first().toString(), QStringLiteral("previous"));

    // A next file whose every frame is damaged: playing ends on the last
    // picture of the file before it, which stays usable.
    QVERIFY(rewrite(f2, [](const QByteArray &b) { return QByteArray(b.size(), '\x5a'); }));
    Engine engine2;
    Recorder rec2(&engine2);
    QSignalSpy end2(&engine2, &Engine::endOfRecordings);
    engine2.set_playlist({f1, f2});
    QVERIFY(engine2.open_file(f1, QStringLiteral("0"), QStringLiteral("20240305140004"), false));
    engine2.change_rate(8);
    QVERIFY(end2.wait(30000));
    QCOMPARE(engine2.state(), Engine::Paused);
    QCOMPARE(engine2.current_file(), abs(f1));
    QCOMPARE(engine2.current_timestamp(), e1.last().timestamp);
    QCOMPARE(rec2.last(), e1.last().timestamp);
    QVERIFY(engine2.read_and_display_previous_frame(false));
    QCOMPARE(rec2.last(), e1.at(e1.size() - 2).timestamp);
}

void TestPlayback::receiversMayMoveTheEngine()
{
    Engine engine;
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
    // A receiver that stops the engine from its slot.
    auto stopper = connect(&engine, &Engine::set_display_frame, &engine, [&engine]() { engine.stop(); },
                           Qt::DirectConnection);
    QVERIFY(engine.read_and_display_next_frame(false));
    QCOMPARE(engine.state(), Engine::Stopped);
    QVERIFY(engine.current_timestamp().isEmpty());
    QCOMPARE(engine.current_ms_of_day(), qint64(-1));
    disconnect(stopper);

    // One that opens another file when told the time: the position and the
    // slider follow the new file, not the picture that was being shown.
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
    QSignalSpy slider(&engine, &Engine::slidervalue);
    bool opened = false;
    connect(&engine, &Engine::setTime, &engine, [&]() {
        if (!opened) {
            opened = true;
            engine.open_file(m_file2, QStringLiteral("0"), QString(), false);
        }
    });
    QVERIFY(engine.read_and_display_next_frame(false));
    QCOMPARE(engine.current_file(), abs(m_file2));
    QCOMPARE(engine.current_timestamp(), QStringLiteral("20240305140006000"));
    QCOMPARE(slider.last().at(1).toString(), QStringLiteral("20240305140006000"));

    // One that steps once more when a picture arrives, or when told its
    // time: the time, the slider and the position are the later picture's.
    for (const bool onTime : {false, true}) {
        Engine stepper;
        Recorder rec(&stepper);
        QSignalSpy times(&stepper, &Engine::setTime);
        QSignalSpy slid(&stepper, &Engine::slidervalue);
        QVERIFY(stepper.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
        bool again = true;
        const auto step = [&]() {
            if (std::exchange(again, false))
                stepper.read_and_display_next_frame(false);
        };
        if (onTime)
            connect(&stepper, &Engine::setTime, &stepper, step);
        else
            connect(&stepper, &Engine::set_display_frame, &stepper, step);
        QVERIFY(stepper.read_and_display_next_frame(false));
        QCOMPARE(rec.last(), QStringLiteral("20240305140002200"));
        QCOMPARE(stepper.current_timestamp(), QStringLiteral("20240305140002200"));
        QCOMPARE(times.last().first().toTime(), QTime(14, 0, 2, 200));
        QCOMPARE(slid.last().at(1).toString(), QStringLiteral("20240305140002200"));
        // And the next step goes on from there.
        QVERIFY(stepper.read_and_display_next_frame(false));
        QCOMPARE(rec.last(), QStringLiteral("20240305140002300"));
    }
}

void TestPlayback::fileSignalReceiversMayMoveTheEngine_data()
{
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("action");
    for (const char *signal : {"startRead", "fileChanged", "set_display_frame"}) {
        for (const char *action : {"stop", "reopen", "other camera"})
            QTest::addRow("%s: %s", signal, action) << QString::fromLatin1(signal) << QString::fromLatin1(action);
    }
}

void TestPlayback::fileSignalReceiversMayMoveTheEngine()
{
    // A receiver of the signals that announce a file or its first picture
    // stops the engine,
    // opens another file of the camera or another camera from its slot,
    // while the engine opens, continues, steps or seeks into a file. The
    // engine is left as the receiver put it.
    QFETCH(QString, signal);
    QFETCH(QString, action);
    const QString cam3 = videoFile(m_root, 3, QStringLiteral("140000"));
    Engine engine;
    Recorder rec(&engine);
    bool armed = false;
    const auto act = [&]() {
        if (!armed)
            return;
        armed = false;
        if (action == QLatin1String("stop"))
            engine.stop();
        else if (action == QLatin1String("reopen"))
            engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140002"), false);
        else
            engine.open_file(cam3, QStringLiteral("0"), QString(), false);
    };
    if (signal == QLatin1String("startRead"))
        connect(&engine, &Engine::startRead, &engine, act);
    else if (signal == QLatin1String("fileChanged"))
        connect(&engine, &Engine::fileChanged, &engine, act);
    else
        connect(&engine, &Engine::set_display_frame, &engine, act);
    // Where the receiver leaves the engine.
    const auto check = [&](const char *what) {
        if (action == QLatin1String("stop")) {
            QVERIFY2(engine.state() == Engine::Stopped, what);
            QVERIFY2(engine.current_file().isEmpty(), what);
            return;
        }
        const QString file = action == QLatin1String("reopen") ? m_file1 : cam3;
        const QString stamp = action == QLatin1String("reopen") ? QStringLiteral("20240305140002000")
                                                               : entries(cam3).first().timestamp;
        QVERIFY2(engine.current_file() == abs(file), what);
        QVERIFY2(engine.current_timestamp() == stamp, what);
        QVERIFY2(rec.last() == stamp, what);
        QVERIFY2(engine.state() == Engine::Paused, what);
    };
    const auto prepare = [&]() {
        armed = false;
        engine.set_playlist({m_file1, m_file2});
        QVERIFY(engine.open_file(m_file1, QStringLiteral("0"), QStringLiteral("20240305140004"), false));
        while (engine.current_timestamp() < QStringLiteral("20240305140005900"))
            QVERIFY(engine.read_and_display_next_frame(false));
        armed = true;
    };

    armed = true;
    engine.set_playlist({m_file1, m_file2});
    engine.open_file(m_file2, QStringLiteral("0"), QString(), false);
    check("open_file");
    prepare();
    engine.continue_read(m_file2, QStringLiteral("0"), false, QStringLiteral("next"));
    check("continue_read");
    if (signal == QLatin1String("startRead"))
        return; // only the two above start reading
    prepare();
    engine.read_and_display_next_frame(false); // into the next file
    check("step");
    prepare();
    engine.set_read_timestamp(QStringLiteral("20240305140007"));
    check("seek");
    prepare();
    engine.start_read();
    QTRY_VERIFY_WITH_TIMEOUT(!armed, 30000); // playing into the next file
    check("playing");
}

void TestPlayback::clockSetBackInAFile()
{
    // The recorder's clock went back 3 s in the middle of the first file
    // (as at the end of daylight-saving time): each picture still tells its
    // own time, on the canvas and to the time code alike.
    QTemporaryDir tmp;
    const QString root = copyExport(tmp.path());
    const QString f1 = videoFile(root, 12, QStringLiteral("140000"));
    QVERIFY(rewrite(ZuSeekFile::seekPathFor(f1), [](const QByteArray &text) {
        QList<QByteArray> lines = text.split('\n');
        for (QByteArray &line : lines) {
            if (line.startsWith("2024030514000") && line.size() > 13 && line.at(13) >= '3' && line.at(13) <= '5')
                line[13] = char(line.at(13) - 3);
        }
        return lines.join('\n');
    }));

    Engine engine;
    Recorder rec(&engine);
    QSignalSpy times(&engine, &Engine::setTime);
    QVERIFY(engine.open_file(f1, QStringLiteral("0"), QStringLiteral("20240305140002"), false));
    QCOMPARE(rec.last(), QStringLiteral("20240305140002000"));
    for (int i = 0; i < 12; ++i)
        QVERIFY(engine.read_and_display_next_frame(false));
    QCOMPARE(rec.last(), QStringLiteral("20240305140000200")); // after the step back
    QCOMPARE(times.last().first().toTime(), QTime(14, 0, 0, 200));
    QCOMPARE(engine.current_ms_of_day(), 14 * 3600000LL + 200);

    // Playing goes through the frames after the step back instead of
    // jumping over them.
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    engine.set_read_timestamp(QStringLiteral("20240305140002"));
    rec.timestamps.clear();
    engine.change_rate(4);
    QVERIFY(end.wait(30000));
    const auto after = std::find(rec.timestamps.begin(), rec.timestamps.end(), QStringLiteral("20240305140000000"));
    QVERIFY(after != rec.timestamps.end());
    QVERIFY2(std::distance(after, rec.timestamps.end()) >= 15, qPrintable(rec.timestamps.join(QLatin1Char(' '))));
    QVERIFY(strictly(QStringList(after, rec.timestamps.end())));
    QCOMPARE(rec.last(), QStringLiteral("20240305140002900"));
}

namespace {
// A recording made by the ffmpeg command line whose pictures carry their own
// number: bit b of picture n is a white (else black) stripe 16 pixels wide at
// x = 16 b. The recorder's entries come in decoding order with rising times,
// 40 ms apart from 12:00:00.000, in files of camera 7 in the segment folders
// of a day folder.
struct Numbered {
    QStringList files;
    QList<int> unitsPerFile;
    int pictures = 0;
    // Each picture's own entry's time, "yyyyMMddHHmmsszzz", by its number.
    QHash<int, QString> timeOf;
};

constexpr int kStripes = 10;

// How a numbered recording is made and stored: `pictures` pictures in
// groups of `gop`, with `bframes` B-frames, in `files` files of whole groups
// (`cut` moves each file boundary that many units past a key frame, into the
// group); `flagKeys` flags the key frames' entries. With `ownTimes`, each
// entry carries its own picture's time (a recorder that stamps pictures in
// display order); `openGop` leaves the groups of pictures open. The rest
// stands for what recorders do to a stream.
struct Take {
    QString codec = QStringLiteral("h264");
    int pictures = 0;
    int gop = 12;
    int bframes = 0;
    int files = 1;
    bool flagKeys = true;
    bool ownTimes = false;
    bool openGop = false;
    int cut = 0;
    bool headersEachKey = false;   // parameter sets in every key unit
    bool noReorderInfo = false;    // H.264 parameter sets that do not say how far B-frames reach
    int storedTwice = -1;          // this unit stored twice in a row, with its time (a re-sent frame)
    bool parameterEntries = false; // the parameter sets of each key unit stored as an entry of their own
    bool audioLines = false;       // an audio entry after each video entry
    bool allKeys = false;          // every entry flagged key
    int clockBackAt = -1;          // from this unit on the recorder's clock is set back...
    int clockBackMs = 0;           // ...this much
    int unindexedTail = 0;         // the last units of...
    int unindexedFile = 0;         // ...this file (not the last) have no seek entry
    int emptySeekFile = -1;        // this file's seek file holds nothing
    bool cutAtKeys = false;        // files cut at the key units nearest to whole groups
    int laterFrom = -1;            // from this picture on (a key frame) the encoder...
    int laterBframes = 0;          // ...uses this many B-frames
    enum Damage { Intact, Zeroed, BitFlipped, CutInHalf, Dropped };
    int damagedUnit = -1;          // this unit's bytes are damaged...
    Damage damage = Intact;        // ...so (dropped: the entry and its bytes are missing)
    int keylessFile = -1;          // this file's key units are zeroed: it holds no key entry
};

// The payload of a NAL unit without its emulation-prevention bytes, and back.
QByteArray unescaped(const QByteArray &nal)
{
    QByteArray out;
    int zeros = 0;
    for (char c : nal) {
        if (zeros >= 2 && c == 3) {
            zeros = 0;
            continue;
        }
        out += c;
        zeros = c == 0 ? zeros + 1 : 0;
    }
    return out;
}

QByteArray escaped(const QByteArray &rbsp)
{
    QByteArray out;
    int zeros = 0;
    for (char c : rbsp) {
        if (zeros >= 2 && uchar(c) <= 3) {
            out += char(3);
            zeros = 0;
        }
        out += c;
        zeros = c == 0 ? zeros + 1 : 0;
    }
    return out;
}

// Reads an H.264 sequence parameter set up to its VUI's bitstream_restriction_flag.
class SpsBits
{
public:
    explicit SpsBits(const QByteArray &rbsp) : m_bytes(rbsp) {}
    int pos() const { return m_pos; }
    bool ok() const { return m_pos <= m_bytes.size() * 8; }
    quint32 u(int n)
    {
        quint32 v = 0;
        for (int i = 0; i < n; ++i, ++m_pos)
            v = (v << 1) | (m_pos < m_bytes.size() * 8 ? (uchar(m_bytes.at(m_pos >> 3)) >> (7 - (m_pos & 7))) & 1 : 0);
        return v;
    }
    quint32 ue()
    {
        int zeros = 0;
        while (ok() && u(1) == 0)
            ++zeros;
        return (1u << zeros) - 1 + u(zeros);
    }
    void hrd()
    {
        const quint32 count = ue();
        u(8);
        for (quint32 i = 0; i <= count && ok(); ++i) {
            ue();
            ue();
            u(1);
        }
        u(20);
    }

private:
    const QByteArray &m_bytes;
    int m_pos = 0;
};

// The SPS `nal` (header byte included) without VUI bitstream_restriction,
// as many camera encoders write it; empty when it cannot be read.
QByteArray withoutReorderInfo(const QByteArray &nal)
{
    const QByteArray rbsp = unescaped(nal.mid(1));
    SpsBits b(rbsp);
    const quint32 profile = b.u(8);
    b.u(16);
    b.ue();
    if (QList<quint32>{100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135}.contains(profile)) {
        if (b.ue() == 3)
            b.u(1);
        b.ue();
        b.ue();
        b.u(1);
        if (b.u(1))
            return {}; // scaling matrices: not written by the encoder used here
    }
    b.ue();
    const quint32 pocType = b.ue();
    if (pocType == 0) {
        b.ue();
    } else if (pocType == 1) {
        b.u(1);
        b.ue();
        b.ue();
        for (quint32 i = b.ue(); i > 0; --i)
            b.ue();
    }
    b.ue();
    b.u(1);
    b.ue();
    b.ue();
    if (!b.u(1))
        b.u(1);
    b.u(1);
    if (b.u(1)) {
        for (int i = 0; i < 4; ++i)
            b.ue();
    }
    if (!b.u(1))
        return nal; // no VUI
    if (b.u(1) && b.u(8) == 255)
        b.u(32);
    if (b.u(1))
        b.u(1);
    if (b.u(1)) {
        b.u(4); // video_format, video_full_range_flag
        if (b.u(1))
            b.u(24);
    }
    if (b.u(1)) {
        b.ue();
        b.ue();
    }
    if (b.u(1))
        b.u(65);
    const bool nalHrd = b.u(1);
    if (nalHrd)
        b.hrd();
    const bool vclHrd = b.u(1);
    if (vclHrd)
        b.hrd();
    if (nalHrd || vclHrd)
        b.u(1);
    b.u(1);
    if (!b.ok())
        return {};
    // Every bit up to here, then a cleared bitstream_restriction_flag and
    // the stop bit.
    QByteArray out(1, nal.at(0));
    const int bits = b.pos();
    QList<int> all;
    for (int i = 0; i < bits; ++i)
        all.append((uchar(rbsp.at(i >> 3)) >> (7 - (i & 7))) & 1);
    all << 0 << 1;
    while (all.size() % 8)
        all.append(0);
    QByteArray packed;
    for (int i = 0; i < all.size(); i += 8) {
        int v = 0;
        for (int k = 0; k < 8; ++k)
            v = (v << 1) | all.at(i + k);
        packed += char(v);
    }
    return out + escaped(packed);
}

// The NAL units of an Annex-B stream: where each starts (after its start
// code) and ends.
QList<QPair<int, int>> nalUnits(const QByteArray &stream)
{
    QList<QPair<int, int>> out;
    int from = stream.indexOf(QByteArray("\0\0\1", 3));
    while (from >= 0) {
        const int begin = from + 3;
        const int next = stream.indexOf(QByteArray("\0\0\1", 3), begin);
        int end = next < 0 ? int(stream.size()) : next;
        while (end > begin && stream.at(end - 1) == 0)
            --end;
        out.append({begin, end});
        from = next;
    }
    return out;
}

// Whether a NAL unit (its first byte) carries a slice.
bool isSlice(const QString &codec, char first)
{
    return codec == QLatin1String("h264") ? (first & 0x1f) >= 1 && (first & 0x1f) <= 5 : ((uchar(first) >> 1) & 0x3f) < 32;
}

Numbered record(const QString &dir, const Take &take)
{
    Numbered out;
    const QString codec = take.codec;
    const QString raw = dir + QStringLiteral("/stream.") + codec;
    // Pictures `first` to `first + count - 1` with `bframes` B-frames.
    const auto encoderArgs = [&](int first, int count, int bframes) {
        const QString source = QStringLiteral("nullsrc=s=160x64:r=25,geq=lum='if(bitand(N+%1\\,pow(2\\,floor(X/16)))\\,235\\,16)'"
                                              ":cb=128:cr=128")
                                   .arg(first);
        QStringList args = QStringLiteral("-nostdin -loglevel error -y -f lavfi -i").split(QLatin1Char(' '));
        args << source << QStringLiteral("-frames:v %1 -bf %2 -g %3").arg(count).arg(bframes).arg(take.gop).split(QLatin1Char(' '));
        const QString headers = take.headersEachKey ? QStringLiteral(":repeat-headers=1") : QString();
        args << (codec == QLatin1String("h264")
                     ? QStringLiteral("-c:v libx264 -profile:v high -x264-params scenecut=0:threads=1:open-gop=%1%2")
                     : QStringLiteral("-c:v libx265 -x265-params log-level=error:scenecut=0:open-gop=%1:pools=1:frame-threads=1%2"))
                    .arg(take.openGop ? 1 : 0)
                    .arg(headers)
                    .split(QLatin1Char(' '));
        return args;
    };
    const int firstPart = take.laterFrom >= 0 ? take.laterFrom : take.pictures;
    const QStringList args = encoderArgs(0, firstPart, take.bframes);
    if (QProcess::execute(QStringLiteral("ffmpeg"), QStringList(args) << QStringLiteral("-f") << codec << raw) != 0)
        return out;
    if (take.laterFrom >= 0) {
        // The same stream goes on from another encoder's output.
        const QString later = dir + QStringLiteral("/later.") + codec;
        QFile whole(raw), part(later);
        if (QProcess::execute(QStringLiteral("ffmpeg"), encoderArgs(firstPart, take.pictures - firstPart, take.laterBframes)
                                                            << QStringLiteral("-f") << codec << later)
                != 0
            || !whole.open(QIODevice::Append) || !part.open(QIODevice::ReadOnly) || whole.write(part.readAll()) <= 0)
            return out;
    }
    if (take.noReorderInfo) {
        QFile f(raw);
        if (!f.open(QIODevice::ReadWrite))
            return out;
        const QByteArray stream = f.readAll();
        QByteArray rewritten;
        int copied = 0;
        for (const auto &[begin, end] : nalUnits(stream)) {
            if ((stream.at(begin) & 0x1f) != 7)
                continue;
            const QByteArray sps = withoutReorderInfo(stream.mid(begin, end - begin));
            if (sps.isEmpty())
                return out;
            rewritten += stream.mid(copied, begin - copied) + sps;
            copied = end;
        }
        rewritten += stream.mid(copied);
        if (!f.resize(0) || f.write(rewritten) != rewritten.size())
            return out;
    }
    // The same single-threaded encoding into a container gives each unit's
    // presentation time.
    QList<int> shownAt;
    if (take.ownTimes) {
        const QString mkv = dir + QStringLiteral("/stream.mkv");
        QProcess pts;
        if (QProcess::execute(QStringLiteral("ffmpeg"), QStringList(args) << mkv) != 0)
            return out;
        pts.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                              QStringLiteral("packet=pts"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), mkv});
        if (!pts.waitForFinished(60000))
            return out;
        for (const QByteArray &line : pts.readAllStandardOutput().split('\n')) {
            if (!line.trimmed().isEmpty())
                shownAt.append(line.trimmed().toInt());
        }
        if (shownAt.size() != take.pictures)
            return out;
    }
    // The access units as ffprobe splits them, in decoding order.
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                QStringLiteral("-v error -show_packets -show_entries packet=size,flags -of csv=p=0").split(QLatin1Char(' '))
                    << raw);
    if (!probe.waitForFinished(60000))
        return out;
    QList<QPair<int, bool>> units;
    for (const QByteArray &line : probe.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(',');
        if (f.size() >= 2)
            units.append({f.at(0).toInt(), f.at(1).startsWith('K')});
    }
    QFile in(raw);
    if (units.size() != take.pictures || !in.open(QIODevice::ReadOnly))
        return out;
    const auto stampOf = [&](int unit) {
        const int ms = (take.ownTimes ? shownAt.at(unit) : unit * 40) - (take.clockBackAt >= 0 && unit >= take.clockBackAt ? take.clockBackMs : 0);
        return QStringLiteral("20240305") + QTime(12, 0).addMSecs(ms).toString(QStringLiteral("HHmmsszzz"));
    };
    // Picture n is shown n-th: it takes the n-th time of its group's
    // entries, which is its own unless the clock was set back.
    for (int n = 0; n < take.pictures; ++n)
        out.timeOf.insert(n, stampOf(n));
    // Whole groups per file: cut where a group of `gop` units would end, or
    // at the key unit nearest to that.
    const int groups = (take.pictures + take.gop - 1) / take.gop;
    int unit = 0;
    for (int f = 0; f < take.files; ++f) {
        int endUnit = f + 1 == take.files ? take.pictures : qMin(take.pictures, groups * (f + 1) / take.files * take.gop + take.cut);
        for (int k = 0; take.cutAtKeys && f + 1 < take.files && k < take.gop; ++k) {
            if (endUnit - k > unit && units.at(endUnit - k).second) {
                endUnit -= k;
                break;
            }
            if (endUnit + k < take.pictures && units.at(endUnit + k).second) {
                endUnit += k;
                break;
            }
        }
        const QString start = QTime(12, 0).addMSecs(unit * 40).toString(QStringLiteral("HHmmss"));
        const QString folder = dir + QStringLiteral("/2024-03-05/") + start;
        const QString data = folder + QStringLiteral("/7_20240305_%1.zuvideo").arg(start);
        QFile d(data);
        QFile seek(ZuSeekFile::seekPathFor(data));
        if (!QDir().mkpath(folder) || !d.open(QIODevice::WriteOnly) || !seek.open(QIODevice::WriteOnly))
            return out;
        out.unitsPerFile.append(endUnit - unit);
        QByteArray lines;
        const auto entry = [&](const QByteArray &bytes, int u, bool key) {
            d.write(bytes);
            const bool indexed = !(f == take.unindexedFile && f + 1 < take.files && u >= endUnit - take.unindexedTail);
            if (indexed) {
                lines += QStringLiteral("%1:video0:%2:160x64:%3:%4\n")
                             .arg(stampOf(u), codec)
                             .arg(key || take.allKeys ? 1 : 0)
                             .arg(bytes.size())
                             .toLatin1();
            }
            if (take.audioLines) {
                // An ADTS header and some audio bytes of the same number.
                const QByteArray audio = QByteArray::fromHex("fff15080021ffc") + QByteArray(20 + u % 7, char(0x5a));
                d.write(audio);
                if (indexed)
                    lines += QStringLiteral("%1:audio0:aac:%2\n").arg(stampOf(u)).arg(audio.size()).toLatin1();
            }
        };
        for (; unit < endUnit; ++unit) {
            QByteArray bytes = in.read(units.at(unit).first);
            if (unit == take.damagedUnit) {
                if (take.damage == Take::Dropped)
                    continue;
                if (take.damage == Take::Zeroed)
                    bytes.fill(0);
                else if (take.damage == Take::BitFlipped)
                    bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x10);
                else if (take.damage == Take::CutInHalf)
                    bytes.truncate(bytes.size() / 2);
            }
            if (f == take.keylessFile && units.at(unit).second)
                bytes.fill(0);
            const bool key = take.flagKeys && units.at(unit).second;
            int slice = -1;
            for (const auto &[begin, end] : nalUnits(bytes)) {
                if (slice < 0 && isSlice(codec, bytes.at(begin)))
                    slice = begin - (begin >= 4 && bytes.at(begin - 4) == 0 ? 4 : 3);
            }
            if (take.parameterEntries && units.at(unit).second && slice > 0) {
                entry(bytes.left(slice), unit, key);
                entry(bytes.mid(slice), unit, false);
            } else {
                entry(bytes, unit, key);
            }
            if (unit == take.storedTwice)
                entry(bytes, unit, key);
        }
        if (f == take.emptySeekFile)
            lines.clear();
        seek.write(lines);
        out.files.append(data);
    }
    out.pictures = take.pictures;
    return out;
}

// With `ownTimes`, each entry carries its own picture's time instead (a
// recorder that stamps pictures in display order); `openGop` leaves the
// groups of pictures open. `cut` moves each file boundary that many units
// past a key frame, into the group.
Numbered makeNumbered(const QString &dir, const QString &codec, int pictures, int gop, int bframes, int files,
                      bool flagKeys, bool ownTimes = false, bool openGop = false, int cut = 0)
{
    Take take;
    take.codec = codec;
    take.pictures = pictures;
    take.gop = gop;
    take.bframes = bframes;
    take.files = files;
    take.flagKeys = flagKeys;
    take.ownTimes = ownTimes;
    take.openGop = openGop;
    take.cut = cut;
    return record(dir, take);
}

int numberOf(const uint8_t *bgra, int stride, int height)
{
    int n = 0;
    const uint8_t *row = bgra + qsizetype(height / 2) * stride;
    for (int b = 0; b < kStripes; ++b)
        n |= row[(16 * b + 8) * 4 + 1] > 128 ? 1 << b : 0;
    return n;
}

// Whether the picture's stripes are black or white as recorded: one decoded
// against pictures other than its own references is not.
bool whole(const uint8_t *bgra, int stride, int height)
{
    const uint8_t *row = bgra + qsizetype(height / 2) * stride;
    for (int b = 0; b < kStripes; ++b) {
        const int level = row[(16 * b + 8) * 4 + 1];
        if (level > 40 && level < 215)
            return false;
    }
    return true;
}

QString timeOfNumber(int n)
{
    return QStringLiteral("20240305") + QTime(12, 0).addMSecs(n * 40).toString(QStringLiteral("HHmmsszzz"));
}

// What the engine shows: each picture's number, and the pictures whose
// time is not their own (their number's, or the one in `timeOf`).
class NumberRecorder : public QObject
{
public:
    explicit NumberRecorder(Engine *engine, const QHash<int, QString> *timeOf = nullptr) : m_timeOf(timeOf)
    {
        connect(engine, &Engine::set_display_frame, this, &NumberRecorder::frame, Qt::DirectConnection);
    }
    QList<int> shown;
    QStringList wrongTimes;

    void frame(uint8_t *data, int, int h, int stride, QString ts, QString, bool, int, double, bool)
    {
        const int n = numberOf(data, stride, h);
        shown.append(n);
        if (ts != (m_timeOf ? m_timeOf->value(n) : timeOfNumber(n)))
            wrongTimes.append(QStringLiteral("picture %1 shown at %2").arg(n).arg(ts));
        if (m_timeOf && !whole(data, stride, h))
            wrongTimes.append(QStringLiteral("picture %1 shown damaged").arg(n));
    }

private:
    const QHash<int, QString> *m_timeOf;
};

// A picture as an export or playback gives it: its time, the number it
// carries and whether it is whole.
struct Shown {
    QString time;
    int number;
    bool whole;
};

// An export of `files` of stream 0 from `begin` to `end` (HHmmss; the whole
// recording when empty): its pictures in order, and the reader's verdict.
struct Exported {
    QList<Shown> pictures;
    int error = 0;
    int damaged = 0;
};

Exported exportOf(const QStringList &files, const QString &begin = QString(), const QString &end = QString())
{
    QList<QFileInfo> infos;
    for (const QString &f : files)
        infos.append(QFileInfo(f));
    ZuAudioVideoFileReader reader(infos, QStringLiteral("0"), begin, end);
    std::deque<StreamFrame *> queue;
    QMutex mutex;
    reader.set_frame_queue(&queue);
    reader.set_queue_mutex(&mutex);
    reader.set_max_queue(1000);
    reader.start();
    reader.wait();
    Exported out;
    out.error = reader.error_code();
    out.damaged = reader.damaged_frames();
    ZuScaler scaler;
    for (StreamFrame *f : queue) {
        const QImage image = scaler.toImage(f->avFrame());
        out.pictures.append({QString::fromLatin1(f->timestampText()),
                             numberOf(image.constBits(), int(image.bytesPerLine()), image.height()),
                             whole(image.constBits(), int(image.bytesPerLine()), image.height())});
        delete f;
    }
    return out;
}

// The pictures of an export of the files from `begin` to `end` (HHmmss; the
// whole recording when empty), in order; `wrong` receives those whose time
// is not their own (their number's, or the one in `timeOf`).
QList<int> exportedPictures(const QStringList &files, QStringList *wrong, const QString &begin = QString(),
                            const QString &end = QString(), const QHash<int, QString> *timeOf = nullptr,
                            int *damaged = nullptr)
{
    const Exported exported = exportOf(files, begin, end);
    if (damaged)
        *damaged = exported.damaged;
    QList<int> pictures;
    for (const Shown &p : exported.pictures) {
        pictures.append(p.number);
        if (p.time != (timeOf ? timeOf->value(p.number) : timeOfNumber(p.number)))
            wrong->append(QStringLiteral("picture %1 exported at %2").arg(p.number).arg(p.time));
        if (timeOf && !p.whole)
            wrong->append(QStringLiteral("picture %1 exported damaged").arg(p.number));
    }
    return pictures;
}

QList<int> numbers(int from, int to)
{
    QList<int> list;
    for (int n = from; n <= to; ++n)
        list.append(n);
    return list;
}

// The most pictures skipped between two shown one after another.
int longestSkip(const QList<int> &list)
{
    int longest = 0;
    for (int i = 1; i < list.size(); ++i)
        longest = std::max(longest, list.at(i) - list.at(i - 1) - 1);
    return longest;
}

// At 1x the clock rules: on a loaded machine a picture that comes too late
// may be passed over, but never the run of pictures a group boundary or a
// file boundary would cost if pictures were lost there.
constexpr int kLatePicturesPassedOver = 6;

bool monotonic(const QList<int> &list, bool up)
{
    for (int i = 1; i < list.size(); ++i) {
        if (up ? list.at(i) <= list.at(i - 1) : list.at(i) >= list.at(i - 1))
            return false;
    }
    return true;
}
} // namespace

void TestPlayback::picturesInPresentationOrder_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<bool>("flagKeys");
    QTest::newRow("h264 high, 3 b-frames") << QStringLiteral("h264") << true;
    QTest::newRow("h265, 3 b-frames") << QStringLiteral("hevc") << true;
    QTest::newRow("h264, no key frame flagged") << QStringLiteral("h264") << false;
    QTest::newRow("h265, no key frame flagged") << QStringLiteral("hevc") << false;
}

void TestPlayback::picturesInPresentationOrder()
{
    QFETCH(QString, codec);
    QFETCH(bool, flagKeys);
    QTemporaryDir tmp;
    const int gop = 12;
    if (codec == QLatin1String("hevc") && !zutest::ffmpegHasEncoder(QStringLiteral("libx265")))
        ZU_SKIP_MISSING("libx265 in ffmpeg");
    const Numbered rec = makeNumbered(tmp.path(), codec, 6 * gop, gop, 3, 2, flagKeys);
    QCOMPARE(rec.files.size(), 2);
    const int n = rec.pictures;
    QList<int> all = numbers(0, n - 1);

    Engine engine;
    NumberRecorder seen(&engine);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.first(), QStringLiteral("0"), QString(), false));
    // Stepping forward through both files, then back again: every picture
    // once, in order, each with its own time.
    while (engine.read_and_display_next_frame(false)) {
    }
    QCOMPARE(seen.shown, all);
    seen.shown.clear();
    while (engine.read_and_display_previous_frame(false)) {
    }
    std::reverse(all.begin(), all.end());
    QCOMPARE(seen.shown, all.mid(1));
    QCOMPARE(seen.wrongTimes, QStringList());

    // A seek lands on a group's first picture; steps from there cross the
    // group boundary both ways.
    seen.shown.clear();
    engine.set_read_timestamp(timeOfNumber(2 * gop - 1));
    QCOMPARE(seen.shown, QList<int>{2 * gop});
    for (int i = 0; i < 3; ++i)
        engine.read_and_display_previous_frame(false);
    for (int i = 0; i < 5; ++i)
        engine.read_and_display_next_frame(false);
    QCOMPARE(seen.shown, (QList<int>{2 * gop, 2 * gop - 1, 2 * gop - 2, 2 * gop - 3, 2 * gop - 2, 2 * gop - 1, 2 * gop,
                                     2 * gop + 1, 2 * gop + 2}));
    QCOMPARE(seen.wrongTimes, QStringList());

    // Playing at 1 and -1 across group and file boundaries, and at 8 and -8.
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    for (const qreal rate : {1.0, -1.0, 8.0, -8.0}) {
        seen.shown.clear();
        end.clear();
        engine.set_read_timestamp(timeOfNumber(rate > 0 ? gop : 4 * gop + 1));
        engine.change_rate(rate);
        if (qAbs(rate) == 1.0) {
            QTRY_VERIFY_WITH_TIMEOUT(seen.shown.size() > gop + 3, 30000);
            engine.pause();
        } else {
            QVERIFY(end.wait(30000));
        }
        QVERIFY2(monotonic(seen.shown, rate > 0), qPrintable(QString::number(rate)));
        QCOMPARE(seen.wrongTimes, QStringList());
    }
    QCOMPARE(seen.shown.last(), 0);
    // An export of the same files gives each picture the time the player
    // shows, whole or in a range that opens inside a group of the first
    // file and ends inside one of the second.
    QStringList wrong;
    QCOMPARE(exportedPictures(rec.files, &wrong), numbers(0, n - 1));
    QCOMPARE(exportedPictures(rec.files, &wrong, QStringLiteral("120001"), QStringLiteral("120002")), numbers(25, 50));
    QCOMPARE(wrong, QStringList());
}

void TestPlayback::picturesWithTheirOwnTimes_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<bool>("openGop");
    QTest::newRow("h264, display order") << QStringLiteral("h264") << false;
    QTest::newRow("h264, open groups, display order") << QStringLiteral("h264") << true;
    QTest::newRow("h265, open groups, display order") << QStringLiteral("hevc") << true;
}

// Entries stamped with their pictures' own times, in display order, open
// groups of pictures: stepping, seeking, playing and exporting show each
// picture with its own time, none left out.
void TestPlayback::picturesWithTheirOwnTimes()
{
    QFETCH(QString, codec);
    QFETCH(bool, openGop);
    QTemporaryDir tmp;
    const int gop = 12;
    const Numbered rec = makeNumbered(tmp.path(), codec, 6 * gop, gop, 3, 1, true, true, openGop);
    QCOMPARE(rec.files.size(), 1);
    const int n = rec.pictures;
    QList<int> all = numbers(0, n - 1);

    Engine engine;
    NumberRecorder seen(&engine);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.first(), QStringLiteral("0"), QString(), false));
    while (engine.read_and_display_next_frame(false)) {
    }
    QCOMPARE(seen.shown, all);
    seen.shown.clear();
    while (engine.read_and_display_previous_frame(false)) {
    }
    std::reverse(all.begin(), all.end());
    QCOMPARE(seen.shown, all.mid(1));
    QCOMPARE(seen.wrongTimes, QStringList());

    // A seek starts decoding afresh at a key frame: the pictures shown
    // before it in its group come from the group before.
    for (int target : {2 * gop + 1, 4 * gop - 2}) {
        seen.shown.clear();
        engine.set_read_timestamp(timeOfNumber(target));
        QCOMPARE(seen.shown.size(), 1);
        const int landed = seen.shown.first();
        for (int i = 0; i < 4; ++i)
            engine.read_and_display_previous_frame(false);
        QCOMPARE(seen.shown, (QList<int>{landed, landed - 1, landed - 2, landed - 3, landed - 4}));
        QCOMPARE(seen.wrongTimes, QStringList());
    }
    seen.shown.clear();
    engine.set_read_timestamp(timeOfNumber(gop));
    engine.change_rate(1.0);
    QTRY_VERIFY_WITH_TIMEOUT(seen.shown.size() > 2 * gop, 15000);
    engine.pause();
    QVERIFY(monotonic(seen.shown, true));
    QVERIFY2(longestSkip(seen.shown) <= kLatePicturesPassedOver, qPrintable(QString::number(longestSkip(seen.shown))));
    QCOMPARE(seen.wrongTimes, QStringList());

    QStringList wrong;
    QCOMPARE(exportedPictures(rec.files, &wrong), numbers(0, n - 1));
    QCOMPARE(exportedPictures(rec.files, &wrong, QStringLiteral("120001"), QStringLiteral("120002")), numbers(25, 50));
    QCOMPARE(wrong, QStringList());
}

// A file cut inside a group of pictures: its first pictures come from the
// key frame at the end of the file before, playing and stepping both ways.
void TestPlayback::fileCutInsideAGroup()
{
    QTemporaryDir tmp;
    const int gop = 25;
    const Numbered rec = makeNumbered(tmp.path(), QStringLiteral("h264"), 4 * gop, gop, 0, 2, true, false, false, 7);
    QCOMPARE(rec.files.size(), 2);
    QCOMPARE(rec.unitsPerFile, (QList<int>{2 * gop + 7, 2 * gop - 7}));
    const int n = rec.pictures;
    QList<int> all = numbers(0, n - 1);

    Engine engine;
    NumberRecorder seen(&engine);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.first(), QStringLiteral("0"), QString(), false));
    while (engine.read_and_display_next_frame(false)) {
    }
    QCOMPARE(seen.shown, all);
    seen.shown.clear();
    while (engine.read_and_display_previous_frame(false)) {
    }
    std::reverse(all.begin(), all.end());
    QCOMPARE(seen.shown, all.mid(1));

    seen.shown.clear();
    engine.set_read_timestamp(timeOfNumber(gop));
    engine.change_rate(1.0);
    QTRY_VERIFY_WITH_TIMEOUT(seen.shown.size() > 2 * gop, 15000);
    engine.pause();
    QVERIFY2(longestSkip(seen.shown) <= kLatePicturesPassedOver, qPrintable(QString::number(longestSkip(seen.shown))));
    QVERIFY(monotonic(seen.shown, true));
    QCOMPARE(seen.wrongTimes, QStringList());
}

Q_DECLARE_METATYPE(Take)

void TestPlayback::everyPictureKeepsItsOwnTime_data()
{
    QTest::addColumn<Take>("take");
    // An export of this range besides the whole recording (none when empty).
    QTest::addColumn<QString>("begin");
    QTest::addColumn<QString>("end");
    // Pictures that may be missing: they lie in data no seek entry reaches.
    QTest::addColumn<int>("mayMiss");
    Take b;
    b.pictures = 150;
    b.gop = 25;
    b.bframes = 3;
    b.files = 2;
    b.headersEachKey = true;
    Take t = b;
    t.noReorderInfo = true;
    QTest::newRow("B-frames the parameter sets do not announce") << t << "120001" << "120005" << 0;
    t = b;
    t.bframes = 1;
    t.laterFrom = 75;
    t.laterBframes = 3;
    t.noReorderInfo = true;
    QTest::newRow("B-frames reaching further in the next file, not announced") << t << "120002" << "120004" << 0;
    t = b;
    t.storedTwice = 30;
    QTest::newRow("a unit stored twice, B-frames") << t << "120001" << "120004" << 0;
    t.bframes = 0;
    QTest::newRow("a unit stored twice, no B-frames") << t << "120001" << "120004" << 0;
    t = b;
    t.files = 3;
    t.openGop = true;
    t.cutAtKeys = true;
    QTest::newRow("files opening on an open group's key frame, H.264") << t << "120002" << "120003" << 0;
    t.codec = QStringLiteral("hevc");
    QTest::newRow("files opening on an open group's key frame, H.265") << t << "120002" << "120003" << 0;
    t = b;
    t.pictures = 72;
    t.gop = 12;
    t.files = 3;
    t.cut = 2;
    // Fin is the first file's last entry.
    QTest::newRow("files cut inside groups of pictures") << t << "120000" << "120001" << 0;
    t = b;
    t.files = 6;
    t.cut = 7;
    QTest::newRow("one-second files cut inside their groups") << t << "120001" << "120003" << 0;
    t = b;
    t.parameterEntries = true;
    QTest::newRow("parameter sets stored as an entry of their own") << t << "120001" << "120004" << 0;
    t = b;
    t.audioLines = true;
    QTest::newRow("audio entries between the video's") << t << "120001" << "120004" << 0;
    t = b;
    t.gop = 30;
    t.allKeys = true;
    QTest::newRow("every entry flagged key") << t << "120002" << "120004" << 0;
    t = b;
    t.pictures = 100;
    t.bframes = 0;
    t.files = 1;
    t.clockBackAt = 40;
    t.clockBackMs = 600;
    QTest::newRow("clock set back within a second, no B-frames") << t << "" << "" << 0;
    t = b;
    t.unindexedTail = 5;
    // Those five, and the pictures whose places would depend on them.
    QTest::newRow("data past the last seek entry") << t << "" << "" << 5 + 3;
    t = b;
    t.files = 3;
    t.emptySeekFile = 1;
    QTest::newRow("an empty seek file") << t << "" << "" << 50;
}

// Recordings as recorders store them, whatever they do to the stream: each
// picture keeps its own entry's time in an export and in playback, stepping
// both ways and playing, across groups of pictures and files.
void TestPlayback::everyPictureKeepsItsOwnTime()
{
    QFETCH(Take, take);
    QFETCH(QString, begin);
    QFETCH(QString, end);
    QFETCH(int, mayMiss);
    if (take.codec == QLatin1String("hevc") && !zutest::ffmpegHasEncoder(QStringLiteral("libx265")))
        ZU_SKIP_MISSING("libx265 in ffmpeg");
    QTemporaryDir tmp;
    const Numbered rec = record(tmp.path(), take);
    QCOMPARE(rec.files.size(), take.files);
    const QList<int> all = numbers(0, rec.pictures - 1);
    // Pictures in order, none twice, at most `mayMiss` of `expected` missing.
    const auto holds = [&](const QList<int> &got, const QList<int> &expected) {
        if (mayMiss == 0)
            return got == expected;
        return monotonic(got, true) && std::all_of(got.begin(), got.end(), [&](int n) { return expected.contains(n); })
               && got.size() >= expected.size() - mayMiss;
    };
    const auto text = [](const QList<int> &list) {
        QStringList out;
        for (int n : list)
            out.append(QString::number(n));
        return out.join(QLatin1Char(' '));
    };

    QStringList wrong;
    const QList<int> exported = exportedPictures(rec.files, &wrong, QString(), QString(), &rec.timeOf);
    QVERIFY2(holds(exported, all), qPrintable(text(exported)));
    if (!begin.isEmpty()) {
        // From the first picture at or after Début to the first at or after Fin.
        int first = 0;
        while (first < rec.pictures && rec.timeOf.value(first).mid(8, 6) < begin)
            ++first;
        int last = first;
        while (last + 1 < rec.pictures && rec.timeOf.value(last).mid(8, 6) < end)
            ++last;
        const QList<int> range = exportedPictures(rec.files, &wrong, begin, end, &rec.timeOf);
        QVERIFY2(holds(range, numbers(first, last)), qPrintable(text(range)));
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1String(", "))));

    Engine engine;
    NumberRecorder seen(&engine, &rec.timeOf);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.first(), QStringLiteral("0"), QString(), false));
    while (engine.read_and_display_next_frame(false)) {
    }
    QVERIFY2(holds(seen.shown, all), qPrintable(text(seen.shown)));
    const QList<int> forward = seen.shown;
    seen.shown.clear();
    while (engine.read_and_display_previous_frame(false)) {
    }
    std::reverse(seen.shown.begin(), seen.shown.end());
    QVERIFY2(seen.shown + QList<int>{forward.last()} == forward, qPrintable(text(seen.shown)));
    QVERIFY2(seen.wrongTimes.isEmpty(), qPrintable(seen.wrongTimes.join(QLatin1String(", "))));

    // Playing fast through every file.
    QSignalSpy ended(&engine, &Engine::endOfRecordings);
    seen.shown.clear();
    engine.change_rate(8);
    QVERIFY2(ended.wait(30000), qPrintable(text(seen.shown)));
    QVERIFY2(monotonic(seen.shown, true), qPrintable(text(seen.shown)));
    QVERIFY2(seen.wrongTimes.isEmpty(), qPrintable(seen.wrongTimes.join(QLatin1String(", "))));
}

// From picture 75 on, in the same file, the encoder's B-frames reach
// further and the parameter sets do not say so: the decoder drops a picture
// when it finds out. The pictures of that group of pictures may take their
// neighbours' places and its last place stays empty; no other group is
// touched, and the export counts the empty place.
void TestPlayback::aLostPictureStaysInItsGroup()
{
    Take t;
    t.pictures = 150;
    t.gop = 25;
    t.bframes = 1;
    t.headersEachKey = true;
    t.noReorderInfo = true;
    t.laterFrom = 75;
    t.laterBframes = 3;
    QTemporaryDir tmp;
    const Numbered rec = record(tmp.path(), t);
    QCOMPARE(rec.files.size(), 1);
    const auto inGroup = [](int n) { return n >= 75 && n < 100; };
    const auto outside = [&](const QList<int> &list) {
        QList<int> out;
        for (int n : list) {
            if (!inGroup(n))
                out.append(n);
        }
        return out;
    };
    // The numbers in "picture N ..." lines.
    const auto numbersOf = [](const QStringList &lines) {
        QList<int> out;
        for (const QString &line : lines)
            out.append(line.section(QLatin1Char(' '), 1, 1).toInt());
        return out;
    };
    const QList<int> all = numbers(0, rec.pictures - 1);

    QStringList wrong;
    int damaged = 0;
    const QList<int> exported = exportedPictures(rec.files, &wrong, QString(), QString(), &rec.timeOf, &damaged);
    QCOMPARE(outside(exported), outside(all));
    QVERIFY(exported.size() >= rec.pictures - 1);
    QVERIFY2(outside(numbersOf(wrong)).isEmpty(), qPrintable(wrong.join(QLatin1String(", "))));
    QVERIFY(damaged >= 1);

    Engine engine;
    NumberRecorder seen(&engine, &rec.timeOf);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.first(), QStringLiteral("0"), QString(), false));
    while (engine.read_and_display_next_frame(false)) {
    }
    QCOMPARE(outside(seen.shown), outside(all));
    QVERIFY2(outside(numbersOf(seen.wrongTimes)).isEmpty(), qPrintable(seen.wrongTimes.join(QLatin1String(", "))));
}

void TestPlayback::aDamagedEntryIsCountedInItsGroup_data()
{
    QTest::addColumn<Take>("take");
    Take b;
    b.pictures = 150;
    b.gop = 25;
    b.bframes = 3;
    b.files = 2;
    b.headersEachKey = true;
    // In the group of pictures 50 to 74 (stored order I P B b b P B b b ...):
    // unit 55 is a P picture the rest of the group refers to, unit 56 a B
    // picture two others refer to, unit 57 one that nothing refers to.
    b.damagedUnit = 55;
    for (const auto &[damage, name] : {std::pair{Take::Zeroed, "zeroed"}, {Take::BitFlipped, "bit-flipped"},
                                        {Take::CutInHalf, "cut in half"}, {Take::Dropped, "dropped with its bytes"}}) {
        Take t = b;
        t.damage = damage;
        QTest::newRow(qPrintable(QStringLiteral("H.264, a P entry %1").arg(QLatin1String(name)))) << t;
    }
    Take t = b;
    t.damagedUnit = 56;
    t.damage = Take::Zeroed;
    QTest::newRow("H.264, a referenced B entry zeroed") << t;
    t.damagedUnit = 57;
    QTest::newRow("H.264, an unreferenced B entry zeroed") << t;
    t.damage = Take::Dropped;
    QTest::newRow("H.264, an unreferenced B entry dropped with its bytes") << t;
    t.codec = QStringLiteral("hevc");
    t.damagedUnit = 55;
    t.damage = Take::CutInHalf;
    QTest::newRow("H.265, an entry cut in half") << t;
    t.damage = Take::Zeroed;
    QTest::newRow("H.265, an entry zeroed") << t;
}

// One damaged entry inside a group of pictures with B-frames: the pictures
// of every other group keep their own times, none lost, in the export and in
// playback; the damaged group's pictures keep the order of their places,
// one a place, and every place of it that does not show its own whole
// picture is counted as damaged by the export. The pictures are told by
// their times: a damaged one shows no number of its own.
void TestPlayback::aDamagedEntryIsCountedInItsGroup()
{
    QFETCH(Take, take);
    if (take.codec == QLatin1String("hevc") && !zutest::ffmpegHasEncoder(QStringLiteral("libx265")))
        ZU_SKIP_MISSING("libx265 in ffmpeg");
    // No other picture refers to the damaged one, and its own entry is there.
    const bool othersIntact = take.damagedUnit == 57 && take.damage != Take::Dropped;
    QTemporaryDir tmp;
    const Numbered rec = record(tmp.path(), take);
    QCOMPARE(rec.files.size(), take.files);
    const int groupStart = take.damagedUnit / take.gop * take.gop;
    const QString groupFrom = timeOfNumber(groupStart);
    const QString groupTo = timeOfNumber(groupStart + take.gop);
    const auto inGroup = [&](const QString &time) { return time >= groupFrom && time < groupTo; };
    // What is wrong with the pictures shown; how many of the damaged
    // group's places show their own whole picture.
    // Up to `until` when given: the pictures shown end before it.
    const auto check = [&](const QList<Shown> &shown, int *fine, const QString &until = QString()) {
        QStringList faults;
        *fine = 0;
        QStringList outside;
        for (int i = 0; i < shown.size(); ++i) {
            const Shown &p = shown.at(i);
            const bool own = p.whole && rec.timeOf.value(p.number) == p.time;
            if (i > 0 && p.time <= shown.at(i - 1).time)
                faults.append(QStringLiteral("%1 after %2").arg(p.time, shown.at(i - 1).time));
            if (inGroup(p.time)) {
                *fine += own ? 1 : 0;
                // Where no other picture refers to the damaged one, a whole
                // picture of the group at another's place was moved (a
                // picture decoded from a damaged one may copy another).
                if (othersIntact && p.whole && !own && inGroup(rec.timeOf.value(p.number)))
                    faults.append(QStringLiteral("picture %1 at %2").arg(p.number).arg(p.time));
                continue;
            }
            outside.append(p.time);
            if (!own)
                faults.append(QStringLiteral("picture %1 at %2").arg(p.number).arg(p.time));
        }
        QStringList expected;
        for (int n = 0; n < rec.pictures; ++n) {
            if (!inGroup(rec.timeOf.value(n)) && (until.isEmpty() || rec.timeOf.value(n) < until))
                expected.append(rec.timeOf.value(n));
        }
        if (outside != expected)
            faults.append(QStringLiteral("%1 pictures outside the group, %2 expected").arg(outside.size()).arg(expected.size()));
        return faults.join(QLatin1String(", "));
    };

    const Exported ex = exportOf(rec.files);
    const QList<Shown> &exported = ex.pictures;
    int fine = 0;
    if (ex.error != 0) {
        // Bytes the decoder refuses end the export with an error; what it
        // gave before is right.
        QCOMPARE(ex.error, int(ZuAudioVideoFileReader::kReadError));
        QVERIFY(take.damage != Take::Dropped);
        QVERIFY(!exported.isEmpty() && exported.last().time < groupTo);
        QCOMPARE(check(exported, &fine, groupFrom), QString());
    } else {
        QCOMPARE(ex.error, 0);
        QCOMPARE(check(exported, &fine), QString());
    }
    QVERIFY2(ex.error != 0 || (ex.damaged >= take.gop - fine && ex.damaged <= take.gop),
             qPrintable(QStringLiteral("%1 counted, %2 whole at their own time").arg(ex.damaged).arg(fine)));

    Engine engine;
    QList<Shown> played;
    connect(&engine, &Engine::set_display_frame, &engine,
            [&](uint8_t *pixels, int, int h, int stride, QString ts, QString, bool, int, double, bool) {
                played.append({ts, numberOf(pixels, stride, h), whole(pixels, stride, h)});
            }, Qt::DirectConnection);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.first(), QStringLiteral("0"), QString(), false));
    while (engine.read_and_display_next_frame(false)) {
    }
    QCOMPARE(check(played, &fine), QString());
}

namespace {
// A recorder that stores each picture the encoder gives `each` times in a
// row, each copy with a time of its own (40 ms apart from 12:00:00.000),
// in one file of camera 7. A `still` scene gives the same picture all
// along, else picture n carries its number. The entries' times, in order;
// empty when the recording cannot be made.
QStringList recordRepeats(const QString &dir, const QString &codec, int pictures, int each, bool still,
                          QString *data)
{
    const QString raw = dir + QStringLiteral("/stream.") + codec;
    const QString source = still ? QStringLiteral("color=c=gray:s=160x64:r=25")
                                 : QStringLiteral("nullsrc=s=160x64:r=25,geq=lum='if(bitand(N\\,pow(2\\,floor(X/16)))\\,235\\,16)'"
                                                  ":cb=128:cr=128");
    QStringList args = QStringLiteral("-nostdin -loglevel error -y -f lavfi -i").split(QLatin1Char(' '));
    args << source << QStringLiteral("-frames:v") << QString::number(pictures);
    if (codec == QLatin1String("mjpeg"))
        args << QStringLiteral("-c:v mjpeg -q:v 3").split(QLatin1Char(' '));
    else
        args << QStringLiteral("-c:v libx265 -x265-params log-level=error:keyint=1:pools=1:frame-threads=1").split(QLatin1Char(' '));
    args << QStringLiteral("-f") << codec << raw;
    if (QProcess::execute(QStringLiteral("ffmpeg"), args) != 0)
        return {};
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                QStringLiteral("-v error -show_packets -show_entries packet=size -of csv=p=0").split(QLatin1Char(' ')) << raw);
    if (!probe.waitForFinished(60000))
        return {};
    QList<int> sizes;
    for (const QByteArray &line : probe.readAllStandardOutput().split('\n')) {
        if (!line.trimmed().isEmpty())
            sizes.append(line.trimmed().toInt());
    }
    QFile in(raw);
    if (sizes.size() != pictures || !in.open(QIODevice::ReadOnly))
        return {};
    const QString folder = dir + QStringLiteral("/2024-03-05/120000");
    *data = folder + QStringLiteral("/7_20240305_120000.zuvideo");
    QFile d(*data);
    QFile seek(ZuSeekFile::seekPathFor(*data));
    if (!QDir().mkpath(folder) || !d.open(QIODevice::WriteOnly) || !seek.open(QIODevice::WriteOnly))
        return {};
    QStringList times;
    for (int unit = 0; unit < pictures; ++unit) {
        const QByteArray bytes = in.read(sizes.at(unit));
        for (int copy = 0; copy < each; ++copy) {
            const QString time = timeOfNumber(int(times.size()));
            d.write(bytes);
            seek.write(QStringLiteral("%1:video0:%2:160x64:1:%3\n").arg(time, codec).arg(bytes.size()).toLatin1());
            times.append(time);
        }
    }
    return times;
}
} // namespace

void TestPlayback::aRepeatedPictureIsAPicture_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<int>("each");
    QTest::addColumn<bool>("still");
    QTest::newRow("MJPEG, still scene") << QStringLiteral("mjpeg") << 1 << true;
    QTest::newRow("MJPEG, each picture stored twice") << QStringLiteral("mjpeg") << 2 << false;
    QTest::newRow("H.265 all intra, still scene") << QStringLiteral("hevc") << 1 << true;
}

// A recorder that gives the same bytes again at a time of its own stores a
// picture for that time: the export and playback show one at every entry,
// with the entry's time (a copy at the same time is another matter: see
// everyPictureKeepsItsOwnTime).
void TestPlayback::aRepeatedPictureIsAPicture()
{
    QFETCH(QString, codec);
    QFETCH(int, each);
    QFETCH(bool, still);
    if (codec == QLatin1String("hevc") && !zutest::ffmpegHasEncoder(QStringLiteral("libx265")))
        ZU_SKIP_MISSING("libx265 in ffmpeg");
    QTemporaryDir tmp;
    QString data;
    const QStringList times = recordRepeats(tmp.path(), codec, 100 / each, each, still, &data);
    QCOMPARE(times.size(), 100);
    // Entry k shows picture k / each, or the still picture.
    const auto check = [&](const QStringList &shown, const QList<int> &pictureNumbers, int from) {
        QStringList wrong;
        for (int k = 0; k < shown.size(); ++k) {
            const int entry = from + k;
            if (entry >= times.size() || shown.at(k) != times.at(entry))
                wrong.append(QStringLiteral("%1 at %2").arg(k).arg(shown.at(k)));
            else if (!still && pictureNumbers.at(k) != entry / each)
                wrong.append(QStringLiteral("picture %1 at %2").arg(pictureNumbers.at(k)).arg(shown.at(k)));
        }
        return wrong.join(QLatin1String(", "));
    };

    // The export of 12:00:00 to 12:00:03: its 76 entries, whole seconds' worth.
    for (const bool range : {false, true}) {
        const Exported ex = exportOf({data}, range ? QStringLiteral("120000") : QString(),
                                     range ? QStringLiteral("120003") : QString());
        QStringList shown;
        QList<int> pictureNumbers;
        for (const Shown &p : ex.pictures) {
            pictureNumbers.append(p.number);
            shown.append(p.time);
        }
        QCOMPARE(ex.error, 0);
        QCOMPARE(ex.damaged, 0);
        QCOMPARE(shown.size(), range ? 76 : 100);
        QCOMPARE(check(shown, pictureNumbers, 0), QString());
    }

    // Playback steps through every entry, and lands where it is opened.
    Engine engine;
    QStringList shown;
    QList<int> pictureNumbers;
    connect(&engine, &Engine::set_display_frame, &engine,
            [&](uint8_t *pixels, int, int h, int stride, QString ts, QString, bool, int, double, bool) {
                shown.append(ts);
                pictureNumbers.append(numberOf(pixels, stride, h));
            }, Qt::DirectConnection);
    engine.set_playlist({data});
    QVERIFY(engine.open_file(data, QStringLiteral("0"), QString(), false));
    while (engine.read_and_display_next_frame(false)) {
    }
    QCOMPARE(shown.size(), 100);
    QCOMPARE(check(shown, pictureNumbers, 0), QString());
    shown.clear();
    pictureNumbers.clear();
    engine.set_read_timestamp(times.at(25));
    for (int i = 0; i < 3; ++i)
        QVERIFY(engine.read_and_display_next_frame(false));
    QCOMPARE(check(shown, pictureNumbers, 25), QString());
    QCOMPARE(shown.size(), 4);
}

// Records the pictures of `rec`'s file `index` again with another encoder
// (`codec`, else as `take`) and puts them in its place, at the same times:
// a recorder whose settings changed between two files. The pictures of that
// file are then numbered from 0.
bool recordAgainIn(const Numbered &rec, int index, const Take &take, const QString &codec)
{
    const QString data = rec.files.at(index);
    QFile d(data), seek(ZuSeekFile::seekPathFor(data));
    QTemporaryDir other;
    Take again = take;
    again.codec = codec;
    again.pictures = rec.unitsPerFile.at(index);
    again.files = 1;
    const Numbered part = record(other.path(), again);
    if (part.files.size() != 1 || !seek.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = seek.readAll().split('\n');
    seek.close();
    QFile otherSeek(ZuSeekFile::seekPathFor(part.files.at(0)));
    if (!otherSeek.open(QIODevice::ReadOnly))
        return false;
    QByteArray retimed;
    const QList<QByteArray> otherLines = otherSeek.readAll().split('\n');
    for (int i = 0; i < otherLines.size() && i < lines.size(); ++i) {
        if (!otherLines.at(i).isEmpty())
            retimed += lines.at(i).left(lines.at(i).indexOf(':')) + otherLines.at(i).mid(otherLines.at(i).indexOf(':')) + '\n';
    }
    if (!d.remove() || !QFile::copy(part.files.at(0), data))
        return false;
    return seek.open(QIODevice::WriteOnly | QIODevice::Truncate) && seek.write(retimed) == retimed.size();
}

void TestPlayback::aDamagedNeighbourLeavesAFileWhole_data()
{
    QTest::addColumn<Take>("take");
    // The file looked at; the others are its damaged neighbours.
    QTest::addColumn<int>("intact");
    // What is done to the file before it after recording: "truncated",
    // "empty", "codec" (recorded in H.264), or nothing.
    QTest::addColumn<QString>("before");
    Take b;
    b.pictures = 150;
    b.gop = 25;
    b.bframes = 3;
    b.files = 3;
    b.headersEachKey = true;
    // The third file opens on an open group's key frame (a CRA picture)
    // whose first two pictures shown, stored after it, refer to the last
    // group of the file before.
    Take t = b;
    t.codec = QStringLiteral("hevc");
    t.openGop = true;
    t.cutAtKeys = true;
    QTest::newRow("H.265 open groups, the file before truncated") << t << 2 << "truncated";
    QTest::newRow("H.265 open groups, the file before empty") << t << 2 << "empty";
    QTest::newRow("H.265 open groups, the file before of another codec") << t << 2 << "codec";
    t.unindexedTail = 5;
    t.unindexedFile = 1;
    QTest::newRow("H.265 open groups, the file before with data past its last entry") << t << 2 << "";
    // The first file ends with two whole groups of two seconds; the second
    // opens on a key frame that is damaged or missing, or holds none. Past
    // it, the second file's pictures are shown, in the order of their
    // picture order counts, among the first file's last ones.
    t = b;
    t.pictures = 250;
    t.gop = 50;
    t.files = 2;
    t.damagedUnit = 100;
    t.damage = Take::Zeroed;
    QTest::newRow("H.264, the next file's first key entry zeroed") << t << 0 << "";
    t.damage = Take::Dropped;
    QTest::newRow("H.264, the next file's first key entry missing") << t << 0 << "";
    t.damagedUnit = -1;
    t.damage = Take::Intact;
    t.keylessFile = 1;
    QTest::newRow("H.264, the next file holds no key entry") << t << 0 << "";
}

// A damaged file next to an intact one changes nothing in the intact one:
// in an export of the intact file alone, of a range that starts in it, and
// in playback, each of its pictures keeps its own time. Only leading
// pictures that refer to a group that cannot be decoded may be missing, and
// the export counts them as damaged.
void TestPlayback::aDamagedNeighbourLeavesAFileWhole()
{
    QFETCH(Take, take);
    QFETCH(int, intact);
    QFETCH(QString, before);
    if (take.codec == QLatin1String("hevc") && !zutest::ffmpegHasEncoder(QStringLiteral("libx265")))
        ZU_SKIP_MISSING("libx265 in ffmpeg");
    QTemporaryDir tmp;
    const Numbered rec = record(tmp.path(), take);
    QCOMPARE(rec.files.size(), take.files);
    if (!before.isEmpty()) {
        const QString data = rec.files.at(intact - 1);
        QFile d(data), seek(ZuSeekFile::seekPathFor(data));
        if (before == QLatin1String("truncated")) {
            QVERIFY(d.resize(d.size() / 2));
        } else if (before == QLatin1String("empty")) {
            QVERIFY(d.resize(0) && seek.resize(0));
        } else {
            QVERIFY(recordAgainIn(rec, intact - 1, take, QStringLiteral("h264")));
        }
    }
    // The intact file's pictures: picture n is stored n-th, groups whole.
    int first = 0;
    for (int f = 0; f < intact; ++f)
        first += rec.unitsPerFile.at(f);
    const int last = first + rec.unitsPerFile.at(intact) - 1;
    const QString from = rec.timeOf.value(first);
    const QString to = rec.timeOf.value(last);
    // Only a file opening on an open group's key frame may lose pictures:
    // the leading ones, shown before it.
    const int mayMiss = take.openGop ? take.bframes : 0;
    // What is wrong with the pictures shown at the times of the intact
    // file's pictures `lo` to `hi`; the number of those missing.
    const auto check = [&](const QList<Shown> &shown, int lo, int hi, int *missing) {
        QStringList faults;
        QSet<int> seen;
        for (const Shown &p : shown) {
            if (p.time < rec.timeOf.value(lo) || p.time > rec.timeOf.value(hi))
                continue;
            if (!p.whole || rec.timeOf.value(p.number) != p.time)
                faults.append(QStringLiteral("picture %1 at %2%3").arg(p.number).arg(p.time, p.whole ? "" : " damaged"));
            else
                seen.insert(p.number);
        }
        *missing = 0;
        for (int n = lo; n <= hi; ++n) {
            if (seen.contains(n))
                continue;
            ++*missing;
            if (n >= first + mayMiss)
                faults.append(QStringLiteral("picture %1 missing").arg(n));
        }
        return faults.join(QLatin1String(", "));
    };

    // The intact file alone, and a range of whole seconds within it.
    for (const bool alone : {true, false}) {
        const QStringList files = alone ? QStringList{rec.files.at(intact)} : rec.files;
        // From the first picture at or after Début to the first at or after Fin.
        const QString begin = alone ? QString() : QTime::fromString(from.mid(8, 9), QStringLiteral("HHmmsszzz")).addMSecs(999).toString(QStringLiteral("HHmmss"));
        const QString end = alone ? QString() : to.mid(8, 6);
        int lo = first;
        int hi = last;
        while (!alone && lo < last && rec.timeOf.value(lo).mid(8, 6) < begin)
            ++lo;
        while (!alone && hi > lo && rec.timeOf.value(hi - 1).mid(8, 6) >= end)
            --hi;
        const Exported ex = exportOf(files, begin, end);
        QCOMPARE(ex.error, 0);
        int missing = 0;
        QCOMPARE(check(ex.pictures, lo, hi, &missing), QString());
        QCOMPARE(ex.pictures.size() + missing, hi - lo + 1);
        QVERIFY2(ex.damaged == missing, qPrintable(QStringLiteral("%1 counted, %2 missing").arg(ex.damaged).arg(missing)));
    }

    Engine engine;
    QList<Shown> played;
    connect(&engine, &Engine::set_display_frame, &engine,
            [&](uint8_t *pixels, int, int h, int stride, QString ts, QString, bool, int, double, bool) {
                played.append({ts, numberOf(pixels, stride, h), whole(pixels, stride, h)});
            }, Qt::DirectConnection);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.at(intact), QStringLiteral("0"), QString(), false));
    // Steps are bounded: a step that shows a picture again must not hold the test.
    for (int step = 0; step < 2 * rec.pictures && (played.isEmpty() || played.last().time <= to); ++step) {
        if (!engine.read_and_display_next_frame(false))
            break;
    }
    int missing = 0;
    QCOMPARE(check(played, first, last, &missing), QString());
    // Back from the picture after its last, or from its last.
    QVERIFY(!played.isEmpty());
    const int backFrom = played.last().time > to ? last : last - 1;
    played.clear();
    for (int step = 0; step < 2 * rec.pictures && engine.read_and_display_previous_frame(false); ++step) {
        if (played.last().time < from)
            break;
    }
    QCOMPARE(check(played, first, backFrom, &missing), QString());
}

void TestPlayback::aCodecChangeBetweenFilesDamagesNothing_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("H.265, then H.264") << "hevc" << "h264";
    QTest::newRow("H.264, then H.265") << "h264" << "hevc";
}

// Two intact streams with B-frames of two codecs, one file each (the
// recorder's settings changed between them), each counting its picture
// orders its own way: every picture keeps its own time and none counts as
// damaged, in an export of both files and in playback across them.
void TestPlayback::aCodecChangeBetweenFilesDamagesNothing()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    if (!zutest::ffmpegHasEncoder(QStringLiteral("libx265")))
        ZU_SKIP_MISSING("libx265 in ffmpeg");
    QTemporaryDir tmp;
    Take take;
    take.codec = first;
    take.pictures = 100;
    take.gop = 25;
    take.bframes = 3;
    take.files = 2;
    take.headersEachKey = true;
    take.cutAtKeys = true;
    const Numbered rec = record(tmp.path(), take);
    QCOMPARE(rec.files.size(), 2);
    QVERIFY(recordAgainIn(rec, 1, take, second));
    // The picture each entry's time shows: the second file's are numbered
    // from 0 again.
    const int split = rec.unitsPerFile.at(0);
    QHash<QString, int> expected;
    for (int n = 0; n < rec.pictures; ++n)
        expected.insert(rec.timeOf.value(n), n < split ? n : n - split);
    const auto check = [&](const QList<Shown> &shown) {
        QStringList faults;
        QSet<QString> seen;
        for (const Shown &p : shown) {
            if (!expected.contains(p.time) || expected.value(p.time) != p.number || !p.whole)
                faults.append(QStringLiteral("picture %1 at %2%3").arg(p.number).arg(p.time, p.whole ? "" : " damaged"));
            seen.insert(p.time);
        }
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            if (!seen.contains(it.key()))
                faults.append(QStringLiteral("nothing at %1").arg(it.key()));
        return faults.join(QLatin1String(", "));
    };

    const Exported ex = exportOf(rec.files);
    QCOMPARE(ex.error, 0);
    QCOMPARE(check(ex.pictures), QString());
    QCOMPARE(ex.damaged, 0);

    Engine engine;
    QList<Shown> played;
    connect(&engine, &Engine::set_display_frame, &engine,
            [&](uint8_t *pixels, int, int h, int stride, QString ts, QString, bool, int, double, bool) {
                played.append({ts, numberOf(pixels, stride, h), whole(pixels, stride, h)});
            }, Qt::DirectConnection);
    engine.set_playlist(rec.files);
    QVERIFY(engine.open_file(rec.files.at(0), QStringLiteral("0"), QString(), false));
    for (int step = 0; step < 2 * rec.pictures; ++step) {
        if (!engine.read_and_display_next_frame(false))
            break;
    }
    QCOMPARE(check(played), QString());
}

QTEST_MAIN(TestPlayback)
#include "tst_playback.moc"
