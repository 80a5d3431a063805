#include "../codecs/codectestutil.h"
#include "canvas.h"
#include "player_testutil.h"
#include "videodecoder.h"
#include "zuscaler.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

using namespace playertest;
using Engine = ZuStreamReadAndControl;

namespace {
// The picture of entry `index` of `list` decoded independently: from its
// group's key frame on, one frame after the other.
QByteArray referencePicture(const ZuFrameList &list, int index)
{
    int key = index;
    while (key > 0 && !list.at(key).isKeyframe())
        --key;
    QFile data(list.at(index).file_path);
    VideoDecoder decoder;
    if (!data.open(QIODevice::ReadOnly) || !decoder.open(list.at(index).codec))
        return {};
    AVFrame *picture = nullptr;
    for (int i = key; i <= index; ++i) {
        data.seek(list.at(i).offset);
        av_frame_free(&picture);
        picture = decoder.decode(data.read(list.at(i).size));
    }
    if (!picture)
        return {};
    ZuScaler scaler;
    QByteArray out(qsizetype(picture->width) * picture->height * 4, 0);
    const bool ok = scaler.toBgra(picture, reinterpret_cast<uint8_t *>(out.data()), picture->width * 4);
    av_frame_free(&picture);
    return ok ? out : QByteArray();
}

int indexOf(const ZuFrameList &list, const QString &timestamp)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).timestamp == timestamp)
            return i;
    }
    return -1;
}

QString abs(const QString &path) { return QFileInfo(path).absoluteFilePath(); }
} // namespace

class TestPlayback : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void playsAcrossFiles_data();
    void playsAcrossFiles();
    void rateOneAndHeldSlider();
    void seekLandsOnFirstKeyFrameAtOrAfter();
    void stepsBothWaysWithCachedGroup();
    void snapshotMatchesFrameShown();
    void secondStreamAndJumps();
    void badInputs_data();
    void badInputs();
    void corruptAndTruncatedData();
    void receiversMayMoveTheEngine();
    void clockSetBackInAFile();
    void reorderingStreamShowsEachPictureWithItsTime();

private:
    QString m_root;
    QString m_file1;
    QString m_file2;
    ZuFrameList m_all; // stream 0 of camera 12, both files
};

void TestPlayback::initTestCase()
{
    m_root = smallExport();
    QVERIFY2(!m_root.isEmpty(), "the small_export fixture is missing");
    m_file1 = videoFile(m_root, 12, QStringLiteral("140000"));
    m_file2 = videoFile(m_root, 12, QStringLiteral("140006"));
    m_all = entries(m_file1) + entries(m_file2);
    QVERIFY(m_all.size() > 40);
}

void TestPlayback::playsAcrossFiles_data()
{
    QTest::addColumn<bool>("forward");
    QTest::newRow("forward into the next file") << true;
    QTest::newRow("backward into the previous file") << false;
}

void TestPlayback::playsAcrossFiles()
{
    QFETCH(bool, forward);
    Engine engine;
    Canvas canvas;
    canvas.set_player_fed();
    connect(&engine, &Engine::set_display_frame, &canvas, &Canvas::displayFrame, Qt::QueuedConnection);
    Recorder rec(&engine);
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    QSignalSpy times(&engine, &Engine::setTime);
    QSignalSpy slider(&engine, &Engine::slidervalue);
    engine.set_playlist({m_file1, m_file2});
    QVERIFY(engine.open_file(forward ? m_file1 : m_file2, QStringLiteral("0"),
                             forward ? QString() : QStringLiteral("20240305140008"), false));
    QCOMPARE(engine.state(), Engine::Paused);
    QVERIFY(rec.stills.last());
    rec.timestamps.clear();
    times.clear();

    engine.change_rate(forward ? 8 : -8); // a paused engine starts playing
    QCOMPARE(engine.state(), Engine::Playing);
    QVERIFY(end.wait(15000));
    QCOMPARE(end.first().first().toString(), forward ? QStringLiteral("next") : QStringLiteral("previous"));
    QCOMPARE(engine.state(), Engine::Paused);

    const QString last = forward ? m_all.last().timestamp : m_all.first().timestamp;
    QVERIFY(rec.timestamps.size() > 10);
    QVERIFY(strictly(rec.timestamps, forward));
    QCOMPARE(rec.last(), last);
    int inFirstFile = 0;
    for (const QString &ts : rec.timestamps) {
        QVERIFY2(indexOf(m_all, ts) >= 0, qPrintable(ts));
        inFirstFile += ts < QStringLiteral("20240305140006000") ? 1 : 0;
    }
    QVERIFY(inFirstFile > 1 && inFirstFile < rec.timestamps.size() - 1); // both files were shown
    QCOMPARE(engine.current_file(), abs(forward ? m_file2 : m_file1));

    // The last picture reached the canvas with its time, and the time code
    // and the slider went with every picture.
    QTRY_COMPARE(canvas.currentTimestamp(),
                 QStringLiteral("2024-03-05 14:00:%1.%2").arg(last.mid(12, 2), last.mid(14)));
    QCOMPARE(times.count(), rec.timestamps.size());
    QCOMPARE(times.last().first().toTime(), QTime::fromString(last.mid(8), QStringLiteral("HHmmsszzz")));
    QCOMPARE(slider.last().at(1).toString(), last);
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
    QTRY_VERIFY_WITH_TIMEOUT(rec.timestamps.size() >= 6, 5000);
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
    for (const char *damage : {"missing seek file", "garbage seek file", "empty pair", "unknown codec",
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
    else if (damage == QLatin1String("garbage seek file"))
        QVERIFY(rewrite(seek, [](const QByteArray &) {
            QByteArray junk(100000, '\0');
            for (int i = 0; i < junk.size(); ++i)
                junk[i] = char((i * 7919) ^ (i >> 3));
            return junk;
        }));
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
    QVERIFY(end.wait(15000));
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
    QVERIFY(end.wait(15000));
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
    QVERIFY(end2.wait(15000));
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
    QVERIFY(end.wait(15000));
    const auto after = std::find(rec.timestamps.begin(), rec.timestamps.end(), QStringLiteral("20240305140000000"));
    QVERIFY(after != rec.timestamps.end());
    QVERIFY2(std::distance(after, rec.timestamps.end()) >= 15, qPrintable(rec.timestamps.join(QLatin1Char(' '))));
    QVERIFY(strictly(QStringList(after, rec.timestamps.end())));
    QCOMPARE(rec.last(), QStringLiteral("20240305140002900"));
}

namespace {
constexpr int kFlatStep = 7;

// Checks every picture the engine emits against its timestamp: picture k of
// the stream is a flat grey (codectest::flatLuma) and has the time
// 12:00:00 + k × 40 ms.
class PictureChecker : public QObject
{
public:
    explicit PictureChecker(Engine *engine)
    {
        connect(engine, &Engine::set_display_frame, this, &PictureChecker::frame, Qt::DirectConnection);
    }
    QList<int> shown; // picture numbers from the timestamps, in emit order
    QStringList mismatches;

    void frame(uint8_t *data, int w, int h, int stride, QString ts, QString, bool, int, double, bool)
    {
        const int fromTime = (QTime::fromString(ts.mid(8), QStringLiteral("HHmmsszzz")).msecsSinceStartOfDay()
                              - QTime(12, 0).msecsSinceStartOfDay()) / 40;
        // Limited-range luma back from the grey the scaler made.
        const double luma = 16 + data[qsizetype(h / 2) * stride + (w / 2) * 4 + 1] * 219.0 / 255.0;
        shown.append(fromTime);
        if (std::abs(codectest::flatLuma(fromTime, kFlatStep) - luma) > kFlatStep / 2.0)
            mismatches.append(QStringLiteral("%1 shows luma %2").arg(ts).arg(luma));
    }
};
} // namespace

void TestPlayback::reorderingStreamShowsEachPictureWithItsTime()
{
    // H.265 with B-frames: the decoder hands pictures out in another order
    // than the units go in, some only a few units later, the last ones at
    // the end. Each entry holds its own picture's time.
    const QList<codectest::EncodedUnit> units = codectest::encodeUnits("libx265", 160, 120, 30, 10, 3, kFlatStep);
    if (units.size() != 30)
        QSKIP("libx265 is not available");
    QTemporaryDir tmp;
    const QString data = tmp.filePath(QStringLiteral("7_20240305_120000.zuvideo"));
    QList<int> fileOrder;
    {
        QFile d(data);
        QFile seek(ZuSeekFile::seekPathFor(data));
        QVERIFY(d.open(QIODevice::WriteOnly) && seek.open(QIODevice::WriteOnly));
        for (const codectest::EncodedUnit &u : units) {
            d.write(u.bytes);
            const QString time = QTime(12, 0).addMSecs(int(u.pts) * 40).toString(QStringLiteral("HHmmsszzz"));
            seek.write(QStringLiteral("20240305%1:video0:hevc:160x120:%2:%3\n")
                           .arg(time).arg(u.key ? 1 : 0).arg(u.bytes.size()).toLatin1());
            fileOrder.append(int(u.pts));
        }
    }
    QVERIFY(!std::is_sorted(fileOrder.begin(), fileOrder.end())); // the stream does reorder

    Engine engine;
    PictureChecker check(&engine);
    QVERIFY(engine.open_file(data, QStringLiteral("0"), QString(), false));
    // Stepping forward from the start shows every entry, in file order.
    while (engine.read_and_display_next_frame(false)) {
    }
    QCOMPARE(check.mismatches, QStringList());
    QCOMPARE(check.shown, fileOrder);

    // Stepping back from the last entry: pictures come from the cache or
    // from decoding their group again.
    check.shown.clear();
    while (engine.read_and_display_previous_frame(false)) {
    }
    QVERIFY2(check.shown.size() >= 20, qPrintable(QString::number(check.shown.size())));

    // After a seek, and stepping both ways from there.
    check.shown.clear();
    engine.set_read_timestamp(QStringLiteral("20240305120000400"));
    QVERIFY(!check.shown.isEmpty() && check.shown.last() >= 10);
    for (int i = 0; i < 6; ++i)
        engine.read_and_display_next_frame(false);
    for (int i = 0; i < 4; ++i)
        engine.read_and_display_previous_frame(false);
    QVERIFY(check.shown.size() >= 8);

    // Playing forward, and backward, from a seek.
    QSignalSpy end(&engine, &Engine::endOfRecordings);
    engine.set_read_timestamp(QStringLiteral("20240305120000000"));
    for (const qreal rate : {2.0, -2.0}) {
        check.shown.clear();
        engine.change_rate(rate);
        QVERIFY(end.wait(10000));
        QVERIFY(check.shown.size() >= 10);
    }
    QCOMPARE(check.mismatches, QStringList());
}

QTEST_MAIN(TestPlayback)
#include "tst_playback.moc"
