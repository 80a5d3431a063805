#include "codectestutil.h"
#include "videodecoder.h"
#include "zuscaler.h"

#include <QtTest>

extern "C" {
#include <libavutil/pixdesc.h>
}

class TestDecoderScaler : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void decodesOnePicturePerUnit_data();
    void decodesOnePicturePerUnit();
    void drainsAReorderingStream();
    void rejectsUnknownCodecAndBadInput();
    void scalerHonoursColourRange_data();
    void scalerHonoursColourRange();
    void scalerConvertsAndCaches();
    void scalerRejectsEmptyPictures();
};

void TestDecoderScaler::decodesOnePicturePerUnit_data()
{
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<QString>("codecText");
    QTest::newRow("h264") << "libx264" << "h264";
    QTest::newRow("hevc") << "libx265" << "hevc";
    QTest::newRow("h265 alias") << "libx265" << "H265";
    QTest::newRow("mjpeg") << "mjpeg" << "mjpeg";
}

void TestDecoderScaler::decodesOnePicturePerUnit()
{
    QFETCH(QString, encoder);
    QFETCH(QString, codecText);
    const QList<QByteArray> units = codectest::makeAccessUnits(encoder.toLatin1().constData(), 320, 240, 12, 6);
    QCOMPARE(units.size(), 12);

    VideoDecoder decoder;
    QVERIFY(decoder.open(codecText));
    QVERIFY(decoder.isOpen());
    int keyFrames = 0;
    for (int i = 0; i < units.size(); ++i) {
        AVFrame *picture = nullptr;
        const int rc = decoder.decode(reinterpret_cast<const uint8_t *>(units[i].constData()),
                                      int(units[i].size()), &picture);
        // Low delay: every unit gives its own picture at once.
        QVERIFY2(rc == 0, qPrintable(QStringLiteral("unit %1 gave %2").arg(i).arg(rc)));
        QVERIFY(picture);
        QCOMPARE(picture->width, 320);
        QCOMPARE(picture->height, 240);
        if (picture->key_frame)
            ++keyFrames;
        if (i == 0)
            QVERIFY(picture->key_frame);
        av_frame_free(&picture);
    }
    if (codecText != QLatin1String("mjpeg"))
        QCOMPARE(keyFrames, 2);

    // A flush keeps the decoder usable from the next key unit on.
    decoder.flush();
    AVFrame *again = decoder.decode(units[0]);
    QVERIFY(again);
    av_frame_free(&again);
}

void TestDecoderScaler::drainsAReorderingStream()
{
    const QList<QByteArray> units = codectest::makeAccessUnits("libx265", 160, 120, 16, 8, 3);
    if (units.size() != 16)
        QSKIP("libx265 is not available");
    VideoDecoder decoder;
    QVERIFY(decoder.open(QStringLiteral("hevc")));
    int pictures = 0, held = 0;
    for (const QByteArray &unit : units) {
        AVFrame *picture = nullptr;
        const int rc = decoder.decode(reinterpret_cast<const uint8_t *>(unit.constData()), int(unit.size()), &picture);
        QVERIFY(rc == 0 || rc == AVERROR(EAGAIN));
        QCOMPARE(picture != nullptr, rc == 0);
        rc == 0 ? ++pictures : ++held;
        av_frame_free(&picture);
    }
    QVERIFY(held > 0);
    // What was held comes out at the end; then the decoder says so.
    AVFrame *picture = nullptr;
    while (decoder.drain(&picture) == 0) {
        QVERIFY(picture);
        ++pictures;
        av_frame_free(&picture);
    }
    QVERIFY(!picture);
    QCOMPARE(pictures, units.size());
    QCOMPARE(decoder.drain(&picture), AVERROR_EOF);
    // After a flush the decoder takes units again.
    decoder.flush();
    int rc = AVERROR(EAGAIN);
    for (int i = 0; i < 8 && rc != 0; ++i) {
        rc = decoder.decode(reinterpret_cast<const uint8_t *>(units[i].constData()), int(units[i].size()), &picture);
        av_frame_free(&picture);
    }
    QCOMPARE(rc, 0);
}

void TestDecoderScaler::rejectsUnknownCodecAndBadInput()
{
    VideoDecoder decoder;
    QVERIFY(!decoder.open(QStringLiteral("vp8")));
    QVERIFY(!decoder.open(QString()));
    QVERIFY(!decoder.isOpen());
    AVFrame *picture = reinterpret_cast<AVFrame *>(0x1);
    QVERIFY(decoder.decode(reinterpret_cast<const uint8_t *>("abc"), 3, &picture) < 0);
    QVERIFY(!picture);

    // Garbage in place of an access unit: never a picture, never a crash.
    for (const char *codec : {"h264", "hevc", "mjpeg"}) {
        QVERIFY(decoder.open(QString::fromLatin1(codec)));
        QByteArray garbage(4096, '\0');
        quint32 seed = 12345;
        for (char &c : garbage) {
            seed = seed * 1103515245u + 12345u;
            c = char(seed >> 24);
        }
        for (int i = 0; i < 5; ++i) {
            AVFrame *p = nullptr;
            const int rc = decoder.decode(reinterpret_cast<const uint8_t *>(garbage.constData()), int(garbage.size()), &p);
            QVERIFY(rc != 0 || p);
            av_frame_free(&p);
        }
        AVFrame *p = nullptr;
        QVERIFY(decoder.decode(nullptr, 0, &p) < 0);
        QVERIFY(!p);
    }
    // The CUDA request falls back to software on a machine without a device.
    QVERIFY(decoder.open(QStringLiteral("h264"), VideoDecoder::Hardware::CudaIfAvailable));
    const QList<QByteArray> units = codectest::makeAccessUnits("libx264", 64, 48, 1);
    AVFrame *p = decoder.decode(units.value(0));
    QVERIFY(p);
    QCOMPARE(p->width, 64);
    av_frame_free(&p);
}

void TestDecoderScaler::scalerHonoursColourRange_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("expected");
    QTest::newRow("limited black") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_RANGE_MPEG) << 16 << 0;
    QTest::newRow("limited white") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_RANGE_MPEG) << 235 << 255;
    QTest::newRow("unspecified is limited") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_RANGE_UNSPECIFIED) << 16 << 0;
    QTest::newRow("yuvj black") << int(AV_PIX_FMT_YUVJ420P) << int(AVCOL_RANGE_UNSPECIFIED) << 0 << 0;
    QTest::newRow("yuvj keeps 16") << int(AV_PIX_FMT_YUVJ420P) << int(AVCOL_RANGE_UNSPECIFIED) << 16 << 16;
    QTest::newRow("yuvj white") << int(AV_PIX_FMT_YUVJ420P) << int(AVCOL_RANGE_UNSPECIFIED) << 255 << 255;
    QTest::newRow("marked full 422") << int(AV_PIX_FMT_YUV422P) << int(AVCOL_RANGE_JPEG) << 16 << 16;
}

void TestDecoderScaler::scalerHonoursColourRange()
{
    QFETCH(int, format);
    QFETCH(int, range);
    QFETCH(int, y);
    QFETCH(int, expected);
    AVFrame *f = codectest::makePicture(64, 32, format, 0, y);
    f->color_range = AVColorRange(range);
    ZuScaler scaler;
    const QImage image = scaler.toImage(f);
    QVERIFY(!image.isNull());
    QCOMPARE(image.format(), QImage::Format_ARGB32);
    QCOMPARE(image.size(), QSize(64, 32));
    const QRgb px = image.pixel(10, 10);
    QVERIFY2(qAbs(qRed(px) - expected) <= 2 && qAbs(qGreen(px) - expected) <= 2 && qAbs(qBlue(px) - expected) <= 2,
             qPrintable(QStringLiteral("got %1,%2,%3").arg(qRed(px)).arg(qGreen(px)).arg(qBlue(px))));
    QCOMPARE(qAlpha(px), 255);

    // The caller-buffer form writes the same bytes, honouring a wide stride.
    const int stride = 64 * 4 + 32;
    QByteArray buffer(stride * 32, '\x7f');
    QVERIFY(scaler.toBgra(f, reinterpret_cast<uint8_t *>(buffer.data()), stride));
    const uint8_t *row = reinterpret_cast<const uint8_t *>(buffer.constData()) + 10 * stride + 10 * 4;
    QCOMPARE(int(row[0]), qBlue(px));
    QCOMPARE(int(row[3]), 255);
    QCOMPARE(buffer.at(stride - 1), '\x7f'); // padding untouched
    av_frame_free(&f);
}

void TestDecoderScaler::scalerConvertsAndCaches()
{
    ZuScaler scaler;
    // Limited to full range: 16 becomes 0, and yuvj is accepted as a target.
    AVFrame *limited = codectest::makePicture(160, 120, AV_PIX_FMT_YUV420P, 0, 16);
    AVFrame *full = scaler.convert(limited, AV_PIX_FMT_YUVJ420P, 160, 120);
    QVERIFY(full);
    QCOMPARE(full->format, int(AV_PIX_FMT_YUVJ420P));
    QVERIFY(full->data[0][50] <= 1);
    // And back: 0 becomes 16.
    AVFrame *back = scaler.convert(full, AV_PIX_FMT_YUV420P, 80, 60);
    QVERIFY(back);
    QCOMPARE(back->width, 80);
    QVERIFY(qAbs(int(back->data[0][20]) - 16) <= 1);
    // Another geometry through the same scaler.
    AVFrame *bigger = codectest::makePicture(320, 200, AV_PIX_FMT_YUV422P, 3);
    const QImage image = scaler.toImage(bigger);
    QCOMPARE(image.size(), QSize(320, 200));
    const QImage again = scaler.toImage(limited);
    QCOMPARE(again.size(), QSize(160, 120));
    av_frame_free(&limited);
    av_frame_free(&full);
    av_frame_free(&back);
    av_frame_free(&bigger);
}

void TestDecoderScaler::scalerRejectsEmptyPictures()
{
    ZuScaler scaler;
    AVFrame *empty = av_frame_alloc();
    QVERIFY(scaler.toImage(empty).isNull());
    QVERIFY(scaler.toImage(nullptr).isNull());
    uint8_t buf[16];
    QVERIFY(!scaler.toBgra(empty, buf, 16));
    empty->format = AV_PIX_FMT_YUV420P;
    empty->width = 0;
    empty->height = 10;
    QVERIFY(!scaler.convert(empty, AV_PIX_FMT_YUV420P, 10, 10));
    AVFrame *f = codectest::makePicture(32, 32, AV_PIX_FMT_YUV420P, 0);
    QVERIFY(!scaler.convert(f, AV_PIX_FMT_YUV420P, 0, 10));
    QVERIFY(!scaler.toBgra(f, buf, 16)); // stride shorter than a row
    av_frame_free(&f);
    av_frame_free(&empty);
}

QTEST_GUILESS_MAIN(TestDecoderScaler)
#include "tst_decoderscaler.moc"
