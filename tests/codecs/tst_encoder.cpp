#include "codectestutil.h"
#include "probe.h"
#include "zustreamencoder.h"

#include <QtTest>

#include <time.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {
QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

// "20240305140001200" plus `ms` milliseconds.
QString frameTime(int ms)
{
    return QDateTime(QDate(2024, 3, 5), QTime(14, 0, 1, 200)).addMSecs(ms).toString(QStringLiteral("yyyyMMddHHmmsszzz"));
}
} // namespace

class TestEncoder : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_ERROR); }
    void encodesEveryExportFormat_data();
    void encodesEveryExportFormat();
    void captionText();
    void captionIsDrawnAndLegible();
    void keepsLevelsOfFullRangePictures_data();
    void keepsLevelsOfFullRangePictures();
    void timestampsIgnoreFrameIds();
    void refusesBadSetupWithoutLeavingFiles();
    void survivesBadFrames();
};

void TestEncoder::encodesEveryExportFormat_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("probedCodec");
    QTest::addColumn<int>("inputFormat");
    QTest::newRow("H.264 mp4") << "libx264" << ".mp4" << "h264" << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("H.264 from full range") << "h264" << ".mp4" << "h264" << int(AV_PIX_FMT_YUVJ420P);
    QTest::newRow("H.265 mp4") << "hevc" << ".mp4" << "hevc" << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("MJPEG avi") << "mjpeg" << ".avi" << "mjpeg" << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("VP9 webm") << "vp9" << ".webm" << "vp9" << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("AV1 mkv") << "av1" << ".mkv" << "av1" << int(AV_PIX_FMT_YUV422P);
}

void TestEncoder::encodesEveryExportFormat()
{
    QFETCH(QString, codec);
    QFETCH(QString, suffix);
    QFETCH(QString, probedCodec);
    QFETCH(int, inputFormat);
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("export") + suffix);
    ZuStreamEncoder encoder;
    QVERIFY(encoder.init_encoder(out, codec, 2048, 10, 320, 240, true, QStringLiteral("normal"), inputFormat));
    // Nothing appears under the final name before the end.
    QVERIFY(!QFile::exists(out));
    for (int i = 0; i < 10; ++i) {
        AVFrame *f = codectest::makePicture(320, 240, inputFormat, i);
        QVERIFY(encoder.encodeFrame(f, 320, 240, frameTime(i * 100), QStringLiteral("Parking"), i));
        av_frame_free(&f);
    }
    QVERIFY(encoder.end_encoding());
    QCOMPARE(filesIn(dir.path()), QStringList{QStringLiteral("export") + suffix});
    // An export is an ordinary file: readable by others as the umask allows,
    // not owner-only like a temporary file.
    QCOMPARE(QFileInfo(out).permissions() & QFile::ReadGroup, QFile::ReadGroup);
    const codectest::Probe p = codectest::probe(out);
    QVERIFY(p.ok);
    QCOMPARE(p.codec, probedCodec);
    QCOMPARE(p.width, 320);
    QCOMPARE(p.height, 240);
    QCOMPARE(p.frames, 10);
    QCOMPARE(p.frameRate, QStringLiteral("10/1"));
    QVERIFY2(qAbs(p.duration - 1.0) < 0.15, qPrintable(QString::number(p.duration)));
}

void TestEncoder::captionText()
{
    QCOMPARE(ZuStreamEncoder::captionText(QStringLiteral("Parking"), QStringLiteral("20240305140001200")),
             QStringLiteral("Parking | 05/03/2024 14:00:01.200"));
    // The stream client's form of the time.
    QCOMPARE(ZuStreamEncoder::captionText(QStringLiteral("Quai"), QStringLiteral("2024-03-05 14:00:01.020")),
             QStringLiteral("Quai | 05/03/2024 14:00:01.020"));
    QCOMPARE(ZuStreamEncoder::captionText(QString(), QStringLiteral("20240305235959999")),
             QStringLiteral("05/03/2024 23:59:59.999"));
    // A text that is no time is shown bounded, never dropped silently.
    QCOMPARE(ZuStreamEncoder::captionText(QStringLiteral("A"), QString(200, QLatin1Char('x'))),
             QStringLiteral("A | ") + QString(32, QLatin1Char('x')));
    // The recorder's time is shown as written, even one that does not exist
    // in the viewer's zone (the hour skipped when daylight-saving time begins).
    const QByteArray oldTz = qgetenv("TZ");
    qputenv("TZ", "Europe/Paris");
    tzset();
    const QString inGap = ZuStreamEncoder::captionText(QStringLiteral("Quai"), QStringLiteral("20240331023000500"));
    const QString inGapDashed = ZuStreamEncoder::captionText(QStringLiteral("Quai"), QStringLiteral("2024-03-31 02:30:00.500"));
    if (oldTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldTz);
    tzset();
    QCOMPARE(inGap, QStringLiteral("Quai | 31/03/2024 02:30:00.500"));
    QCOMPARE(inGapDashed, QStringLiteral("Quai | 31/03/2024 02:30:00.500"));
    QCOMPARE(ZuStreamEncoder::captionText(QStringLiteral("A"), QStringLiteral("20241305140001200")),
             QStringLiteral("A | 20241305140001200"));
    QVERIFY(ZuStreamEncoder::captionPixelSize(720, QStringLiteral("small"))
            < ZuStreamEncoder::captionPixelSize(720, QStringLiteral("normal")));
    QVERIFY(ZuStreamEncoder::captionPixelSize(720, QStringLiteral("normal"))
            < ZuStreamEncoder::captionPixelSize(720, QStringLiteral("large")));
    QVERIFY(ZuStreamEncoder::captionPixelSize(720, QStringLiteral("large"))
            < ZuStreamEncoder::captionPixelSize(720, QStringLiteral("extralarge")));
    QCOMPARE(ZuStreamEncoder::captionPixelSize(720, QStringLiteral("bogus")),
             ZuStreamEncoder::captionPixelSize(720, QStringLiteral("normal")));
}

void TestEncoder::captionIsDrawnAndLegible()
{
    QTemporaryDir dir;
    // Flat white and flat black pictures, with and without caption, for each size.
    struct Case { int y; bool caption; QString size; };
    const QList<Case> cases = {{235, false, "normal"}, {235, true, "small"}, {235, true, "normal"},
                               {235, true, "large"},   {235, true, "extralarge"},
                               {16, false, "normal"},  {16, true, "normal"}};
    QMap<QString, AVFrame *> decoded;
    for (const Case &c : cases) {
        const QString name = QStringLiteral("y%1_%2_%3.avi").arg(c.y).arg(c.caption).arg(c.size);
        ZuStreamEncoder encoder;
        QVERIFY(encoder.init_encoder(dir.filePath(name), QStringLiteral("mjpeg"), 0, 5, 640, 360, c.caption, c.size,
                                     AV_PIX_FMT_YUV420P));
        AVFrame *f = codectest::makePicture(640, 360, AV_PIX_FMT_YUV420P, 0, c.y);
        QVERIFY(encoder.encodeFrame(f, 640, 360, QStringLiteral("20240305140001200"), QStringLiteral("Parking"), 1));
        av_frame_free(&f);
        QVERIFY(encoder.end_encoding());
        AVFrame *pic = codectest::firstPicture(dir.filePath(name));
        QVERIFY(pic);
        QCOMPARE(pic->width, 640);
        decoded.insert(name, pic);
    }
    // The encoder works in full range for MJPEG: white 235 becomes 255, black 16 becomes 0.
    const AVFrame *plainWhite = decoded.value(QStringLiteral("y235_0_normal.avi"));
    const AVFrame *capWhite = decoded.value(QStringLiteral("y235_1_normal.avi"));
    const AVFrame *plainBlack = decoded.value(QStringLiteral("y16_0_normal.avi"));
    const AVFrame *capBlack = decoded.value(QStringLiteral("y16_1_normal.avi"));
    QVERIFY(codectest::meanLuma(plainWhite, 8, 8, 120, 12) > 245);
    // On white the dark box shows; on black the white text shows.
    QVERIFY(codectest::meanLuma(capWhite, 8, 8, 120, 12) < 200);
    QVERIFY(codectest::maxLuma(capBlack, 8, 8, 200, 14) > 200);
    QVERIFY(codectest::maxLuma(plainBlack, 8, 8, 200, 14) < 20);
    // Away from the box the picture is untouched.
    QVERIFY(qAbs(codectest::meanLuma(capWhite, 400, 250, 200, 80) - codectest::meanLuma(plainWhite, 400, 250, 200, 80)) < 2);
    // Bigger sizes cover more of the picture.
    auto darkRows = [](const AVFrame *f) {
        int rows = 0;
        for (int y = 0; y < f->height; ++y)
            if (codectest::meanLuma(f, 20, y, 40, 1) < 200)
                ++rows;
        return rows;
    };
    const int small = darkRows(decoded.value(QStringLiteral("y235_1_small.avi")));
    const int normal = darkRows(capWhite);
    const int large = darkRows(decoded.value(QStringLiteral("y235_1_large.avi")));
    const int xl = darkRows(decoded.value(QStringLiteral("y235_1_extralarge.avi")));
    QVERIFY2(small > 0 && small < normal && normal < large && large < xl,
             qPrintable(QStringLiteral("%1 %2 %3 %4").arg(small).arg(normal).arg(large).arg(xl)));
    for (AVFrame *f : decoded)
        av_frame_free(&f);
}

void TestEncoder::keepsLevelsOfFullRangePictures_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("inputFormat");
    QTest::addColumn<int>("flatY");
    QTest::addColumn<int>("expectedY");
    // Decoders of full-range H.265 (and others) give plain yuv420p pictures
    // marked full range rather than the yuvj420p alias; MJPEG files hold the
    // alias. Both must be accepted and keep their levels.
    QTest::newRow("full-range yuv420p to MJPEG, white") << "mjpeg" << ".avi" << int(AV_PIX_FMT_YUV420P) << 255 << 255;
    QTest::newRow("full-range yuv420p to MJPEG, black") << "mjpeg" << ".avi" << int(AV_PIX_FMT_YUV420P) << 0 << 0;
    QTest::newRow("yuvj420p to MJPEG") << "mjpeg" << ".avi" << int(AV_PIX_FMT_YUVJ420P) << 255 << 255;
    QTest::newRow("full-range yuv420p to H.264") << "libx264" << ".mp4" << int(AV_PIX_FMT_YUV420P) << 255 << 235;
}

void TestEncoder::keepsLevelsOfFullRangePictures()
{
    QFETCH(QString, codec);
    QFETCH(QString, suffix);
    QFETCH(int, inputFormat);
    QFETCH(int, flatY);
    QFETCH(int, expectedY);
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("range") + suffix);
    ZuStreamEncoder encoder;
    QVERIFY(encoder.init_encoder(out, codec, 0, 5, 320, 240, false, QString(), inputFormat));
    for (int i = 0; i < 3; ++i) {
        AVFrame *f = codectest::makePicture(320, 240, inputFormat, i, flatY);
        f->color_range = AVCOL_RANGE_JPEG;
        QVERIFY(encoder.encodeFrame(f, 320, 240, frameTime(i * 200), QString(), i));
        av_frame_free(&f);
    }
    QVERIFY(encoder.end_encoding());
    AVFrame *pic = codectest::firstPicture(out);
    QVERIFY(pic);
    const double y = codectest::meanLuma(pic, 100, 100, 64, 32);
    av_frame_free(&pic);
    QVERIFY2(qAbs(y - expectedY) <= 3, qPrintable(QString::number(y)));
}

void TestEncoder::timestampsIgnoreFrameIds()
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("wrap.mp4"));
    ZuStreamEncoder encoder;
    QVERIFY(encoder.init_encoder(out, QStringLiteral("libx264"), 2048, 25, 160, 120, false, QString(), AV_PIX_FMT_YUV420P));
    // Ids wrap at 1,000,000 and may repeat; the file's timing must not care.
    const int ids[] = {999997, 999998, 999999, 0, 1, 1, 2, 7, 3, 4};
    int i = 0;
    for (int id : ids) {
        AVFrame *f = codectest::makePicture(160, 120, AV_PIX_FMT_YUV420P, i++);
        QVERIFY(encoder.encodeFrame(f, 160, 120, frameTime(i * 40), QString(), id));
        av_frame_free(&f);
    }
    QCOMPARE(encoder.framesEncoded(), 10);
    QVERIFY(encoder.end_encoding());
    const codectest::Probe p = codectest::probe(out);
    QCOMPARE(p.frames, 10);
    QCOMPARE(p.frameRate, QStringLiteral("25/1"));
    QVERIFY2(qAbs(p.duration - 0.4) < 0.05, qPrintable(QString::number(p.duration)));
}

void TestEncoder::refusesBadSetupWithoutLeavingFiles()
{
    QTemporaryDir dir;
    ZuStreamEncoder encoder;
    QVERIFY(!encoder.init_encoder(dir.filePath("a.mp4"), QStringLiteral("theora"), 0, 25, 320, 240, false, {}, 0));
    QVERIFY(!encoder.init_encoder(dir.filePath("a.mp4"), QString(), 0, 25, 320, 240, false, {}, 0));
    QVERIFY(!encoder.init_encoder(dir.filePath("a.mp4"), QStringLiteral("libx264"), 0, 25, 0, 240, false, {}, 0));
    QVERIFY(!encoder.init_encoder(dir.filePath("a.mp4"), QStringLiteral("libx264"), 0, 25, 320, -1, false, {}, 0));
    QVERIFY(!encoder.init_encoder(dir.filePath("a.xyz"), QStringLiteral("libx264"), 0, 25, 320, 240, false, {}, 0));
    // A codec the container cannot hold.
    QVERIFY(!encoder.init_encoder(dir.filePath("a.webm"), QStringLiteral("mjpeg"), 0, 25, 320, 240, false, {}, 0));
    // Unwritable places: a missing folder, a folder that is really a file.
    QVERIFY(!encoder.init_encoder(dir.filePath("missing/a.mp4"), QStringLiteral("libx264"), 0, 25, 320, 240, false, {}, 0));
    QFile blocker(dir.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!encoder.init_encoder(dir.filePath("blocker/a.mp4"), QStringLiteral("libx264"), 0, 25, 320, 240, false, {}, 0));
    QVERIFY(!encoder.isOpen());
    QCOMPARE(filesIn(dir.path()), QStringList{QStringLiteral("blocker")});

    // Ended without a single frame: no file. Abandoned without an end: no file.
    QVERIFY(encoder.init_encoder(dir.filePath("empty.mp4"), QStringLiteral("libx264"), 0, 25, 320, 240, false, {}, 0));
    QVERIFY(!encoder.end_encoding());
    QVERIFY(!encoder.end_encoding());
    {
        ZuStreamEncoder abandoned;
        QVERIFY(abandoned.init_encoder(dir.filePath("gone.mkv"), QStringLiteral("vp9"), 0, 25, 64, 64, true, {}, 0));
        AVFrame *f = codectest::makePicture(64, 64, AV_PIX_FMT_YUV420P, 0);
        QVERIFY(abandoned.encodeFrame(f, 64, 64, frameTime(0), QStringLiteral("x"), 0));
        av_frame_free(&f);
    }
    QCOMPARE(filesIn(dir.path()), QStringList{QStringLiteral("blocker")});
}

void TestEncoder::survivesBadFrames()
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("mixed.mp4"));
    ZuStreamEncoder encoder;
    AVFrame *f = codectest::makePicture(320, 240, AV_PIX_FMT_YUV420P, 0);
    QVERIFY(!encoder.encodeFrame(f, 320, 240, frameTime(0), QString(), 0)); // not open
    // An odd size is encoded at the even size below it.
    QVERIFY(encoder.init_encoder(out, QStringLiteral("libx264"), 0, 10, 321, 241, true, QStringLiteral("large"), 0));
    QVERIFY(!encoder.encodeFrame(nullptr, 0, 0, frameTime(0), QString(), 0));
    AVFrame *empty = av_frame_alloc();
    QVERIFY(!encoder.encodeFrame(empty, 0, 0, frameTime(0), QString(), 0));
    av_frame_free(&empty);
    // A frame whose size changed in mid-stream is scaled to the file's size;
    // a text that is no time still gives a caption.
    QVERIFY(encoder.encodeFrame(f, 320, 240, frameTime(0), QStringLiteral("Cam"), 0));
    AVFrame *other = codectest::makePicture(640, 360, AV_PIX_FMT_YUVJ422P, 1);
    QVERIFY(encoder.encodeFrame(other, 640, 360, QStringLiteral("garbage"), QStringLiteral("Cam"), 1));
    av_frame_free(&other);
    // The caller's picture is left as it was.
    AVFrame *copy = codectest::makePicture(320, 240, AV_PIX_FMT_YUV420P, 0);
    QCOMPARE(memcmp(f->data[0], copy->data[0], size_t(f->linesize[0]) * 240), 0);
    av_frame_free(&copy);
    QVERIFY(encoder.encodeFrame(f, 320, 240, frameTime(200), QStringLiteral("Cam"), 2));
    av_frame_free(&f);
    QVERIFY(encoder.end_encoding());
    const codectest::Probe p = codectest::probe(out);
    QCOMPARE(p.frames, 3);
    QCOMPARE(p.width, 320);
    QCOMPARE(p.height, 240);
}

QTEST_MAIN(TestEncoder)
#include "tst_encoder.moc"
