// Encodes pictures read from the generated export folder with every export
// format, the way an export does: the file reader decodes into a queue and
// the encoder takes them from it.
#include "probe.h"
#include "seekfile.h"
#include "streamframe.h"
#include "zuaudiovideofilereader.h"
#include "zustreamencoder.h"

#include <QtTest>

extern "C" {
#include <libavutil/log.h>
}

class TestExportFolderEncode : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { qDeleteAll(m_frames); }
    void encodesRecordedFrames_data();
    void encodesRecordedFrames();

private:
    QList<StreamFrame *> m_frames;
};

void TestExportFolderEncode::initTestCase()
{
    av_log_set_level(AV_LOG_ERROR);
    const QDir testdata(QStringLiteral(ZU_BINARY_DIR "/testdata/small"));
    const QString root = testdata.entryList({QStringLiteral("talvor_*")}, QDir::Dirs).value(0);
    QVERIFY2(!root.isEmpty(), "the generated export folder is missing (small_export fixture)");
    const QDir rootDir(testdata.absoluteFilePath(root));
    const QDir day(rootDir.absoluteFilePath(rootDir.entryList({QStringLiteral("20*")}, QDir::Dirs, QDir::Name).value(0)));
    const QString segment = day.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name).value(0);
    const QFileInfoList files = QDir(day.absoluteFilePath(segment)).entryInfoList({QStringLiteral("12_*.zuvideo")}, QDir::Files);
    QVERIFY(!files.isEmpty());

    std::deque<StreamFrame *> queue;
    QMutex mutex;
    ZuAudioVideoFileReader reader(QList<QFileInfo>{files.first()}, QStringLiteral("0"), QString(), QString());
    reader.set_frame_queue(&queue);
    reader.set_queue_mutex(&mutex);
    reader.set_max_queue(10);
    reader.set_camera_names({{12, QStringLiteral("Parking")}});
    reader.start();
    // Ten frames are enough: stop the reader once the queue is full.
    QTRY_COMPARE_WITH_TIMEOUT([&] { QMutexLocker l(&mutex); return int(queue.size()); }(), 10, 10000);
    reader.stop();
    QVERIFY(reader.wait(5000));
    QCOMPARE(reader.error_code(), 0);
    for (StreamFrame *f : queue)
        m_frames.append(f);
    QVERIFY(m_frames.first()->isKeyframe());
}

void TestExportFolderEncode::encodesRecordedFrames_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("probed");
    QTest::newRow("H.264") << "libx264" << ".mp4" << "h264";
    QTest::newRow("H.265") << "hevc" << ".mp4" << "hevc";
    QTest::newRow("MJPEG") << "mjpeg" << ".avi" << "mjpeg";
    QTest::newRow("VP9") << "vp9" << ".webm" << "vp9";
    QTest::newRow("AV1") << "av1" << ".mkv" << "av1";
}

void TestExportFolderEncode::encodesRecordedFrames()
{
    QFETCH(QString, codec);
    QFETCH(QString, suffix);
    QFETCH(QString, probed);
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("Parking_2024-03-05_140000") + suffix);
    const StreamFrame *head = m_frames.first();
    ZuStreamEncoder encoder;
    QVERIFY(encoder.init_encoder(out, codec, 2048, int(head->fps()), head->width(), head->height(), true,
                                 QStringLiteral("large"), head->pixelFormat()));
    for (const StreamFrame *f : std::as_const(m_frames))
        QVERIFY(encoder.encodeFrame(f->avFrame(), f->width(), f->height(), QString::fromUtf8(f->timestampText()),
                                    f->drawOverlay(), f->frameId()));
    QVERIFY(encoder.end_encoding());
    const codectest::Probe p = codectest::probe(out);
    QVERIFY(p.ok);
    QCOMPARE(p.codec, probed);
    QCOMPARE(p.width, head->width());
    QCOMPARE(p.height, head->height());
    QCOMPARE(p.frames, 10);
    QCOMPARE(p.frameRate, QStringLiteral("%1/1").arg(int(head->fps())));
}

QTEST_MAIN(TestExportFolderEncode)
#include "tst_exportfolder_encode.moc"
