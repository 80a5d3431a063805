// Decoder, scaler, export encoder and remux, checked with pictures and units
// made by libavcodec itself and with what the ffmpeg tools make of the files.
#include "codectestutil.h"
#include "../common/zu_test_util.h"
#include "keyunits.h"
#include "placefile.h"
#include "probe.h"
#include "videodecoder.h"
#include "zuscaler.h"
#include "zustreamencoder.h"
#include "zustreamremux.h"

#include <QtTest>

#include <QBuffer>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <memory>

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
    return QDateTime(QDate(2024, 3, 5), QTime(14, 0, 1, 200)).addMSecs(ms).toString("yyyyMMddHHmmsszzz");
}

QByteArray garbage(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (char &c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

// Encodes `count` pictures of `format` (flat luma `flatY` when 0..255) into
// `path`; the file's final state is what end_encoding() says.
bool encodeFile(const QString &path, const QString &codec, int fps, int width, int height, int format, int count,
                bool caption = false, const QString &captionSize = QString(), int flatY = -1, bool fullRange = false)
{
    ZuStreamEncoder encoder;
    if (!encoder.init_encoder(path, codec, 2048, fps, width, height, caption, captionSize, format))
        return false;
    for (int i = 0; i < count; ++i) {
        AVFrame *f = codectest::makePicture(width, height, format, i, flatY);
        if (fullRange)
            f->color_range = AVCOL_RANGE_JPEG;
        // Frame ids wrap at 1,000,000 and may repeat; the file's timing must not care.
        const bool ok = encoder.encodeFrame(f, width, height, frameTime(i * 1000 / fps), "Parking", (999997 + i % 5) % 1000000);
        av_frame_free(&f);
        if (!ok)
            return false;
    }
    return encoder.end_encoding();
}

// Serves `body` over HTTP on 127.0.0.1, announcing its full length but
// sending only its first `sent` bytes before closing each connection, as a
// recorder that goes away mid-download does.
class CuttingHttpServer : public QThread
{
public:
    CuttingHttpServer(const QByteArray &body, qsizetype sent)
        : m_reply("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body.left(sent))
    {
        start();
        m_ready.acquire();
    }
    ~CuttingHttpServer() override
    {
        requestInterruption();
        wait();
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/clip.h264").arg(m_port); }

private:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        m_port = server.serverPort();
        m_ready.release();
        while (!isInterruptionRequested()) {
            if (!server.waitForNewConnection(100))
                continue;
            std::unique_ptr<QTcpSocket> client(server.nextPendingConnection());
            client->waitForReadyRead(30000);
            client->write(m_reply);
            while (client->bytesToWrite() > 0 && client->waitForBytesWritten(30000)) {
            }
            client->close();
        }
    }
    const QByteArray m_reply;
    int m_port = 0;
    QSemaphore m_ready;
};
} // namespace

class TestCodecs : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); }

    void decodesOnePicturePerUnit_data()
    {
        QTest::addColumn<QString>("encoder");
        QTest::addColumn<QString>("codecText");
        QTest::newRow("h264") << "libx264" << "h264";
        QTest::newRow("h265, by its alias") << "libx265" << " H265";
        QTest::newRow("mjpeg") << "mjpeg" << "mjpeg";
    }

    void decodesOnePicturePerUnit()
    {
        QFETCH(QString, encoder);
        QFETCH(QString, codecText);
        const QList<QByteArray> units = codectest::makeAccessUnits(encoder.toLatin1().constData(), 320, 240, 12, 6);
        QCOMPARE(units.size(), 12);
        VideoDecoder decoder;
        // Without a CUDA device the decoder falls back to software silently.
        QVERIFY(decoder.open(codecText, VideoDecoder::Hardware::CudaIfAvailable));
        int keyFrames = 0;
        for (int i = 0; i < units.size(); ++i) {
            AVFrame *picture = nullptr;
            // Low delay: every unit gives its own picture at once.
            QCOMPARE(decoder.decode(reinterpret_cast<const uint8_t *>(units[i].constData()), int(units[i].size()), &picture), 0);
            QCOMPARE(QSize(picture->width, picture->height), QSize(320, 240));
            keyFrames += picture->key_frame;
            QVERIFY(i > 0 || picture->key_frame);
            av_frame_free(&picture);
        }
        QCOMPARE(keyFrames, codecText == "mjpeg" ? 12 : 2);
    }

    // Key units told from their bytes, as the encoder flagged them: IDR
    // pictures, recovery points (periodic intra refresh, no IDR after the
    // first), H.265 random access points in a reordering stream, every MJPEG
    // picture; also behind headers longer than a first look reads.
    void findsKeyUnits_data()
    {
        QTest::addColumn<QString>("encoder");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<int>("bframes");
        QTest::addColumn<QString>("options");
        QTest::newRow("h264 IDR") << "libx264" << "h264" << 0 << "";
        QTest::newRow("h264 recovery points") << "libx264" << "h264" << 0 << "intra-refresh=1";
        QTest::newRow("h265 with B-frames") << "libx265" << " H265" << 3 << "";
        QTest::newRow("mjpeg") << "mjpeg" << "mjpeg" << 0 << "";
    }
    void findsKeyUnits()
    {
        QFETCH(QString, encoder);
        QFETCH(QString, codec);
        QFETCH(int, bframes);
        QFETCH(QString, options);
        const QList<codectest::EncodedUnit> units = codectest::encodeUnits(
            encoder.toLatin1().constData(), 160, 96, 30, 10, bframes, 0, options.toLatin1().constData());
        if (!avcodec_find_encoder_by_name(encoder.toLatin1().constData()))
            ZU_SKIP_MISSING(encoder.toLatin1() + " encoder");
        QCOMPARE(units.size(), 30);
        const int keys = int(std::count_if(units.begin(), units.end(), [](const auto &u) { return u.key; }));
        QVERIFY2(keys >= 3 && (keys < 30 || codec == "mjpeg"), qPrintable(QString::number(keys)));

        // An SEI NAL unit (user data, 6000 bytes) before the picture's own.
        const bool hevc = codec.trimmed().toLower() == "h265";
        QByteArray sei = hevc ? QByteArray("\x00\x00\x01\x4e\x01\x05", 6) : QByteArray("\x00\x00\x01\x06\x05", 5);
        sei += QByteArray(23, '\xff') + char(135) + QByteArray(6000, '\x55') + '\x80';
        QBuffer data;
        data.open(QIODevice::ReadWrite);
        QList<QPair<qint64, int>> plain, behindSei;
        for (const codectest::EncodedUnit &u : units) {
            plain.append({data.pos(), int(u.bytes.size())});
            data.write(u.bytes);
            const QByteArray padded = codec == "mjpeg" ? u.bytes : sei + u.bytes;
            behindSei.append({data.pos(), int(padded.size())});
            data.write(padded);
        }
        for (int i = 0; i < units.size(); ++i) {
            QVERIFY2(KeyUnits::isKey(codec, data, plain[i].first, plain[i].second) == units[i].key, qPrintable(QString::number(i)));
            QVERIFY2(KeyUnits::isKey(codec, data, behindSei[i].first, behindSei[i].second) == units[i].key,
                     qPrintable(QString::number(i)));
        }
        if (codec == "mjpeg")
            return;
        // Not a unit of this codec, cut before its picture, or past the data's end.
        const QByteArray noise = garbage(8192, 7);
        const QByteArray cut = sei + units[0].bytes.left(2);
        QCOMPARE(KeyUnits::kindOf(codec, reinterpret_cast<const uint8_t *>(noise.constData()), int(noise.size())),
                 KeyUnits::Kind::NoPicture);
        QCOMPARE(KeyUnits::kindOf(codec, reinterpret_cast<const uint8_t *>(cut.constData()), int(cut.size())),
                 KeyUnits::Kind::NoPicture);
        QVERIFY(!KeyUnits::isKey(codec, data, plain[1].first, int(data.size())));
        QVERIFY(!KeyUnits::isKey(QStringLiteral("vp8"), data, plain[0].first, plain[0].second));
    }

    // Units without a picture wait for the picture after them; however many
    // and however large a file stores, what waits stays bounded and the
    // latest sets are the ones kept.
    void heldParametersStayBounded()
    {
        const int bound = KeyUnits::kMaxHeldParameterBytes;
        const QByteArray sps("\0\0\0\1\x67sps", 8);
        const QByteArray pps("\0\0\0\1\x68pps", 8);
        QByteArray held;
        KeyUnits::holdParameters(held, sps);
        KeyUnits::holdParameters(held, pps);
        QCOMPARE(held, sps + pps);
        // A thousand SEI units of 64 KiB: never more than the bound, and the
        // last one always there.
        for (int i = 0; i < 1000; ++i) {
            const QByteArray sei = QByteArray("\0\0\0\1\x06", 5) + QByteArray(64 * 1024, char('a' + i % 26));
            KeyUnits::holdParameters(held, sei);
            QVERIFY(held.size() <= bound);
            QVERIFY(held.endsWith(sei));
        }
        // One unit larger than the bound by itself is not held.
        KeyUnits::holdParameters(held, QByteArray(bound + 1, 'x'));
        QVERIFY(held.isEmpty());
        KeyUnits::holdParameters(held, sps);
        QCOMPARE(held, sps);
    }

    void decoderAndScalerRefuseBadInput()
    {
        VideoDecoder decoder;
        QVERIFY(!decoder.open(QStringLiteral("vp8")));
        QVERIFY(!decoder.open(QString()));
        AVFrame *picture = reinterpret_cast<AVFrame *>(0x1);
        QVERIFY(decoder.decode(reinterpret_cast<const uint8_t *>("abc"), 3, &picture) < 0); // not open
        QVERIFY(!picture);
        // Garbage in place of an access unit: never a picture, never a crash.
        const QByteArray bytes = garbage(4096, 12345);
        for (const char *codec : {"h264", "hevc", "mjpeg"}) {
            QVERIFY(decoder.open(QString::fromLatin1(codec)));
            for (int i = 0; i < 3; ++i) {
                QVERIFY(decoder.decode(reinterpret_cast<const uint8_t *>(bytes.constData()), int(bytes.size()), &picture) != 0);
                QVERIFY(!picture);
            }
            QVERIFY(decoder.decode(nullptr, 0, &picture) < 0 && !picture);
        }
        // Nothing to scale, or no room for it: refused.
        ZuScaler scaler;
        AVFrame *empty = av_frame_alloc();
        AVFrame *f = codectest::makePicture(32, 32, AV_PIX_FMT_YUV420P, 0);
        uint8_t buf[16];
        QVERIFY(scaler.toImage(empty).isNull() && scaler.toImage(nullptr).isNull() && !scaler.toBgra(empty, buf, 16));
        QVERIFY(!scaler.toBgra(f, buf, 16)); // stride shorter than a row
        QVERIFY(!scaler.convert(f, AV_PIX_FMT_YUV420P, 0, 10));
        av_frame_free(&f);
        av_frame_free(&empty);
    }

    void scalerHonoursColourRange_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("range");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("expected");
        QTest::newRow("limited black") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_RANGE_MPEG) << 16 << 0;
        QTest::newRow("limited white") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_RANGE_MPEG) << 235 << 255;
        QTest::newRow("unspecified is limited") << int(AV_PIX_FMT_YUV420P) << int(AVCOL_RANGE_UNSPECIFIED) << 16 << 0;
        QTest::newRow("yuvj keeps 16") << int(AV_PIX_FMT_YUVJ420P) << int(AVCOL_RANGE_UNSPECIFIED) << 16 << 16;
        QTest::newRow("marked full 422") << int(AV_PIX_FMT_YUV422P) << int(AVCOL_RANGE_JPEG) << 16 << 16;
    }

    void scalerHonoursColourRange()
    {
        QFETCH(int, format);
        QFETCH(int, range);
        QFETCH(int, y);
        QFETCH(int, expected);
        AVFrame *f = codectest::makePicture(64, 32, format, 0, y);
        f->color_range = AVColorRange(range);
        ZuScaler scaler;
        const QImage image = scaler.toImage(f);
        QCOMPARE(image.size(), QSize(64, 32));
        const QRgb px = image.pixel(10, 10);
        QVERIFY2(qAbs(qRed(px) - expected) <= 2 && qAbs(qGreen(px) - expected) <= 2 && qAbs(qBlue(px) - expected) <= 2,
                 qPrintable(QStringLiteral("got %1,%2,%3").arg(qRed(px)).arg(qGreen(px)).arg(qBlue(px))));
        QCOMPARE(qAlpha(px), 255);
        // The caller-buffer form writes the same bytes, honouring a wide stride.
        const int stride = 64 * 4 + 32;
        QByteArray buffer(stride * 32, '\x7f');
        QVERIFY(scaler.toBgra(f, reinterpret_cast<uint8_t *>(buffer.data()), stride));
        QCOMPARE(uchar(buffer.at(10 * stride + 10 * 4)), uchar(qBlue(px)));
        QCOMPARE(buffer.at(stride - 1), '\x7f'); // padding untouched
        av_frame_free(&f);
    }

    void encodesEveryExportFormat_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("probedCodec");
        QTest::addColumn<int>("inputFormat");
        QTest::newRow("H.264 mp4") << "libx264" << ".mp4" << "h264" << int(AV_PIX_FMT_YUV420P);
        QTest::newRow("H.265 mp4") << "hevc" << ".mp4" << "hevc" << int(AV_PIX_FMT_YUV420P);
        QTest::newRow("MJPEG avi") << "mjpeg" << ".avi" << "mjpeg" << int(AV_PIX_FMT_YUV420P);
        QTest::newRow("VP9 webm") << "vp9" << ".webm" << "vp9" << int(AV_PIX_FMT_YUV420P);
        QTest::newRow("AV1 mkv") << "av1" << ".mkv" << "av1" << int(AV_PIX_FMT_YUV422P);
    }

    void encodesEveryExportFormat()
    {
        QFETCH(QString, codec);
        QFETCH(QString, suffix);
        QFETCH(QString, probedCodec);
        QFETCH(int, inputFormat);
        QTemporaryDir dir;
        const QString out = dir.filePath("export" + suffix);
        QVERIFY(encodeFile(out, codec, 10, 320, 240, inputFormat, 10, true, "normal"));
        QCOMPARE(filesIn(dir.path()), QStringList{"export" + suffix});
        // An export is an ordinary file: readable by others as the umask
        // allows, not owner-only like a temporary file.
        QCOMPARE(QFileInfo(out).permissions() & QFile::ReadGroup, QFile::ReadGroup);
        const codectest::Probe p = codectest::probe(out);
        QCOMPARE(p.codec, probedCodec);
        QCOMPARE(QSize(p.width, p.height), QSize(320, 240));
        QCOMPARE(p.frames, 10);
        QCOMPARE(p.frameRate, QStringLiteral("10/1"));
        QVERIFY2(qAbs(p.duration - 1.0) < 0.15, qPrintable(QString::number(p.duration)));
    }

    void captionText()
    {
        QCOMPARE(ZuStreamEncoder::captionText("Parking", "20240305140001200"), QStringLiteral("Parking | 05/03/2024 14:00:01.200"));
        QCOMPARE(ZuStreamEncoder::captionText(QString(), "2024-03-05 14:00:01.020"), QStringLiteral("05/03/2024 14:00:01.020"));
        // A text that is no time is shown bounded, never dropped silently.
        QCOMPARE(ZuStreamEncoder::captionText("A", QString(200, 'x')), "A | " + QString(32, 'x'));
        QCOMPARE(ZuStreamEncoder::captionText("A", "20241305140001200"), QStringLiteral("A | 20241305140001200"));
        // The recorder's time is shown as written, even one that does not
        // exist in the viewer's zone (its daylight-saving gap).
        const QByteArray oldTz = qgetenv("TZ");
        qputenv("TZ", "Europe/Paris");
        tzset();
        const QString inGap = ZuStreamEncoder::captionText("Quai", "20240331023000500");
        oldTz.isNull() ? qunsetenv("TZ") : qputenv("TZ", oldTz);
        tzset();
        QCOMPARE(inGap, QStringLiteral("Quai | 31/03/2024 02:30:00.500"));
    }

    void captionIsDrawn()
    {
        // Flat white and black pictures with and without caption; MJPEG
        // works in full range, so white 235 becomes 255 and black 16 becomes 0.
        QTemporaryDir dir;
        QMap<QString, codectest::Luma> pictures;
        for (const QString name : {"white", "white small", "white normal", "white large", "white extralarge", "black",
                                    "black normal"}) {
            const QString file = dir.filePath(QString(name).replace(' ', '_') + ".avi");
            const QString size = name.section(' ', 1);
            QVERIFY(encodeFile(file, "mjpeg", 5, 640, 360, AV_PIX_FMT_YUV420P, 1, !size.isEmpty(), size,
                               name.startsWith("white") ? 235 : 16));
            pictures.insert(name, codectest::firstLuma(file));
            QVERIFY(!pictures.value(name).plane.isEmpty());
        }
        const codectest::Luma white = pictures.value("white"), caption = pictures.value("white normal");
        QVERIFY(white.mean(8, 8, 120, 12) > 245);
        QVERIFY(caption.mean(8, 8, 120, 12) < 200); // on white the dark box shows
        QVERIFY(pictures.value("black").max(8, 8, 200, 14) < 20);
        QVERIFY(pictures.value("black normal").max(8, 8, 200, 14) > 200); // on black the text shows
        QVERIFY(qAbs(caption.mean(400, 250, 200, 80) - white.mean(400, 250, 200, 80)) < 2); // the rest is untouched
        // Bigger sizes cover more of the picture.
        QList<int> darkRows;
        for (const char *name : {"white small", "white normal", "white large", "white extralarge"}) {
            int rows = 0;
            for (int y = 0; y < 360; ++y)
                rows += pictures.value(name).mean(20, y, 40, 1) < 200;
            darkRows.append(rows);
        }
        QVERIFY2(darkRows[0] > 0 && std::adjacent_find(darkRows.begin(), darkRows.end(), std::greater_equal<int>()) == darkRows.end(),
                 qPrintable(QStringLiteral("%1 %2 %3 %4").arg(darkRows[0]).arg(darkRows[1]).arg(darkRows[2]).arg(darkRows[3])));
    }

    // A long camera name never pushes the date or the time out of the
    // caption, in any caption size, nor does a picture narrower than the
    // time at that size; the name is elided where there is room for it.
    // Each is told by the pixels that change when only its first or last
    // character changes.
    void captionKeepsTimeWhole_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<bool>("nameShown");
        for (const char *size : {"small", "normal", "large", "extralarge"})
            QTest::addRow("%s", size) << QString(size) << QSize(640, 360) << true;
        QTest::newRow("extralarge, 176 x 144") << "extralarge" << QSize(176, 144) << false;
    }
    void captionKeepsTimeWhole()
    {
        QFETCH(QString, size);
        QFETCH(QSize, picture);
        QFETCH(bool, nameShown);
        const QString name = QStringLiteral("Quai de chargement nord, porte 4, caméra dôme extérieur");
        QCOMPARE(name.size(), 55);
        QTemporaryDir dir;
        int files = 0;
        const auto captioned = [&](const QString &label, const QString &time) {
            const QString file = dir.filePath(QStringLiteral("%1.avi").arg(++files));
            const int w = picture.width(), h = picture.height();
            ZuStreamEncoder encoder;
            AVFrame *f = codectest::makePicture(w, h, AV_PIX_FMT_YUV420P, 0, 16);
            const bool ok = encoder.init_encoder(file, "mjpeg", 0, 5, w, h, true, size, AV_PIX_FMT_YUV420P)
                            && encoder.encodeFrame(f, w, h, time, label, 0) && encoder.end_encoding();
            av_frame_free(&f);
            return ok ? codectest::firstLuma(file) : codectest::Luma();
        };
        const codectest::Luma base = captioned(name, "20240305140001200");
        const qsizetype pixels = qsizetype(picture.width()) * picture.height();
        QVERIFY(base.plane.size() >= pixels);
        // Luma pixels that differ clearly from the base picture.
        const auto changed = [&](const QString &label, const QString &time) {
            const codectest::Luma other = captioned(label, time);
            if (other.plane.size() < pixels)
                return -1;
            int n = 0;
            for (qsizetype i = 0; i < pixels; ++i)
                n += qAbs(int(uchar(base.plane[i])) - int(uchar(other.plane[i]))) > 80;
            return n;
        };
        QVERIFY2(changed(name, "20240305140001209") > 0, "the time's last digit is not drawn");
        QVERIFY2(changed(name, "20240325140001200") > 0, "the date's first digit is not drawn");
        if (nameShown)
            QVERIFY2(changed(QLatin1Char('X') + name.mid(1), "20240305140001200") > 0, "the name is not drawn");
    }

    void keepsLevelsOfFullRangePictures_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<int>("inputFormat");
        QTest::addColumn<int>("expectedY");
        // Decoders of full-range H.265 (and others) give plain yuv420p
        // pictures marked full range rather than the yuvj420p alias; MJPEG
        // files hold the alias. Both keep their levels.
        QTest::newRow("full-range yuv420p to MJPEG") << "mjpeg" << int(AV_PIX_FMT_YUV420P) << 255;
        QTest::newRow("yuvj420p to MJPEG") << "mjpeg" << int(AV_PIX_FMT_YUVJ420P) << 255;
        QTest::newRow("full-range yuv420p to H.264") << "libx264" << int(AV_PIX_FMT_YUV420P) << 235;
    }

    void keepsLevelsOfFullRangePictures()
    {
        QFETCH(QString, codec);
        QFETCH(int, inputFormat);
        QFETCH(int, expectedY);
        QTemporaryDir dir;
        const QString out = dir.filePath(codec == "mjpeg" ? "range.avi" : "range.mp4");
        QVERIFY(encodeFile(out, codec, 5, 320, 240, inputFormat, 3, false, QString(), 255, true));
        const codectest::Luma luma = codectest::firstLuma(out);
        QVERIFY(!luma.plane.isEmpty());
        QVERIFY2(qAbs(luma.mean(100, 100, 64, 32) - expectedY) <= 3, qPrintable(QString::number(luma.mean(100, 100, 64, 32))));
    }

    void refusesBadSetupWithoutLeavingFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QSize>("size");
        QTest::newRow("unknown codec") << "a.mp4" << "theora" << QSize(320, 240);
        QTest::newRow("zero-sized picture") << "a.mp4" << "libx264" << QSize(0, 240);
        QTest::newRow("unknown container") << "a.xyz" << "libx264" << QSize(320, 240);
        QTest::newRow("codec the container cannot hold") << "a.webm" << "mjpeg" << QSize(320, 240);
        QTest::newRow("missing folder") << "missing/a.mp4" << "libx264" << QSize(320, 240);
        QTest::newRow("folder that is a file") << "blocker/a.mp4" << "libx264" << QSize(320, 240);
    }

    void refusesBadSetupWithoutLeavingFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, codec);
        QFETCH(QSize, size);
        QTemporaryDir dir;
        QFile blocker(dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        ZuStreamEncoder encoder;
        QVERIFY(!encoder.init_encoder(dir.filePath(name), codec, 0, 25, size.width(), size.height(), false, {}, 0));
        QVERIFY(!encoder.isOpen());
        QCOMPARE(filesIn(dir.path()), QStringList{"blocker"});
    }

    void unfinishedEncodesLeaveNoFile()
    {
        QTemporaryDir dir;
        ZuStreamEncoder empty; // ended without a single frame
        QVERIFY(empty.init_encoder(dir.filePath("empty.mp4"), "libx264", 0, 25, 320, 240, false, {}, 0));
        QVERIFY(!empty.end_encoding());
        QVERIFY(!empty.end_encoding());
        {
            ZuStreamEncoder abandoned; // destroyed without an end
            QVERIFY(abandoned.init_encoder(dir.filePath("gone.mkv"), "vp9", 0, 25, 64, 64, true, {}, 0));
            AVFrame *f = codectest::makePicture(64, 64, AV_PIX_FMT_YUV420P, 0);
            QVERIFY(abandoned.encodeFrame(f, 64, 64, frameTime(0), "x", 0));
            av_frame_free(&f);
        }
        QVERIFY(filesIn(dir.path()).isEmpty());
    }

    // The finished file takes its name only from what the caller allows to
    // be replaced: what stood there when the encode began, unless the
    // caller says what stood there when its user chose the name. A file
    // that took the name since (a second export of the same name that ended
    // first) stays as it is, and what was encoded is kept beside it under
    // the first free name.
    void finishedFileNeverTakesANameTakenSince_data()
    {
        QTest::addColumn<bool>("before");       // a file stands at the name when the encode begins
        QTest::addColumn<QString>("replaceable"); // "default", "nothing", "the file before"
        QTest::addColumn<QString>("meanwhile");   // "", "appears", "swapped", "removed"
        QTest::addColumn<bool>("firstFreeTaken"); // export-1.mkv is taken too
        QTest::addColumn<QString>("keptAs");      // empty: the file has its name
        QTest::newRow("free, stays free") << false << "default" << "" << false << "";
        QTest::newRow("free, taken meanwhile") << false << "default" << "appears" << false << "export-1.mkv";
        QTest::newRow("free, taken meanwhile, first free name taken too")
            << false << "default" << "appears" << true << "export-2.mkv";
        QTest::newRow("file there at the start is replaced") << true << "default" << "" << false << "";
        QTest::newRow("file there at the start swapped for another") << true << "default" << "swapped" << false
                                                                      << "export-1.mkv";
        QTest::newRow("file there at the start came after the choice")
            << true << "nothing" << "" << false << "export-1.mkv";
        QTest::newRow("file agreed to be replaced") << true << "the file before" << "" << false << "";
        QTest::newRow("file agreed to be replaced removed meanwhile")
            << true << "the file before" << "removed" << false << "";
    }

    void finishedFileNeverTakesANameTakenSince()
    {
        QFETCH(bool, before);
        QFETCH(QString, replaceable);
        QFETCH(QString, meanwhile);
        QFETCH(bool, firstFreeTaken);
        QFETCH(QString, keptAs);
        QTemporaryDir dir;
        const QString out = dir.filePath("export.mkv");
        const auto write = [](const QString &path, const QByteArray &bytes) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        if (before)
            QVERIFY(write(out, "before"));
        if (firstFreeTaken)
            QVERIFY(write(dir.filePath("export-1.mkv"), "taken too"));
        ZuStreamEncoder encoder;
        if (replaceable == "nothing")
            encoder.setReplaceable({});
        else if (replaceable == "the file before")
            encoder.setReplaceable(placefile::identityOf(out));
        QVERIFY(encoder.init_encoder(out, "vp9", 0, 10, 64, 64, false, {}, AV_PIX_FMT_YUV420P));
        for (int i = 0; i < 5; ++i) {
            AVFrame *f = codectest::makePicture(64, 64, AV_PIX_FMT_YUV420P, i);
            QVERIFY(encoder.encodeFrame(f, 64, 64, frameTime(i * 100), "x", i));
            av_frame_free(&f);
        }
        if (meanwhile == "appears") {
            QVERIFY(write(out, "other"));
        } else if (meanwhile == "swapped") {
            // As another export puts its finished file in place.
            QVERIFY(write(dir.filePath(".other.part"), "other"));
            QCOMPARE(::rename(QFile::encodeName(dir.filePath(".other.part")).constData(),
                              QFile::encodeName(out).constData()),
                     0);
        } else if (meanwhile == "removed") {
            QVERIFY(QFile::remove(out));
        }
        QCOMPARE(encoder.end_encoding(), keptAs.isEmpty());
        QCOMPARE(encoder.keptAs(), keptAs.isEmpty() ? QString() : dir.filePath(keptAs));
        QStringList expected{"export.mkv"};
        if (firstFreeTaken)
            expected << "export-1.mkv";
        if (!keptAs.isEmpty() && !expected.contains(keptAs))
            expected << keptAs;
        expected.sort();
        QCOMPARE(filesIn(dir.path()), expected);
        QCOMPARE(codectest::probe(dir.filePath(keptAs.isEmpty() ? "export.mkv" : keptAs)).frames, 5);
        if (!keptAs.isEmpty()) {
            QFile other(out);
            QVERIFY(other.open(QIODevice::ReadOnly));
            QCOMPARE(other.readAll(), QByteArray(meanwhile.isEmpty() ? "before" : "other"));
        }
        if (firstFreeTaken) {
            QFile taken(dir.filePath("export-1.mkv"));
            QVERIFY(taken.open(QIODevice::ReadOnly));
            QCOMPARE(taken.readAll(), QByteArray("taken too"));
        }
    }

    void survivesBadFrames()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath("mixed.mp4");
        ZuStreamEncoder encoder;
        AVFrame *f = codectest::makePicture(320, 240, AV_PIX_FMT_YUV420P, 0);
        QVERIFY(!encoder.encodeFrame(f, 320, 240, frameTime(0), QString(), 0)); // not open
        // An odd size is encoded at the even size below it.
        QVERIFY(encoder.init_encoder(out, "libx264", 0, 10, 321, 241, true, "large", 0));
        QVERIFY(!encoder.encodeFrame(nullptr, 0, 0, frameTime(0), QString(), 0));
        AVFrame *empty = av_frame_alloc();
        QVERIFY(!encoder.encodeFrame(empty, 0, 0, frameTime(0), QString(), 0));
        av_frame_free(&empty);
        // A picture whose size changed in mid-stream is scaled to the file's
        // size; a text that is no time still gives a caption.
        QVERIFY(encoder.encodeFrame(f, 320, 240, frameTime(0), "Cam", 0));
        AVFrame *other = codectest::makePicture(640, 360, AV_PIX_FMT_YUVJ422P, 1);
        QVERIFY(encoder.encodeFrame(other, 640, 360, "garbage", "Cam", 1));
        av_frame_free(&other);
        // The caller's picture is left as it was.
        AVFrame *copy = codectest::makePicture(320, 240, AV_PIX_FMT_YUV420P, 0);
        QCOMPARE(memcmp(f->data[0], copy->data[0], size_t(f->linesize[0]) * 240), 0);
        av_frame_free(&copy);
        QVERIFY(encoder.encodeFrame(f, 320, 240, frameTime(200), "Cam", 2));
        av_frame_free(&f);
        QVERIFY(encoder.end_encoding());
        const codectest::Probe p = codectest::probe(out);
        QCOMPARE(p.frames, 3);
        QCOMPARE(QSize(p.width, p.height), QSize(320, 240));
    }

    void remuxesAnnexBToContainers_data()
    {
        QTest::addColumn<QString>("finalName");
        QTest::addColumn<double>("duration");
        QTest::addColumn<QString>("rate");
        QTest::newRow("mp4 at 10 fps") << "out.mp4" << 2.0 << "10/1";
        QTest::newRow("mkv at 20 fps") << "out.mkv" << 1.0 << "20/1";
        QTest::newRow("no duration gives 25 fps") << "out.mp4" << 0.0 << "25/1";
        // The download worker remuxes in its own folder below the home
        // folder; the user's output may be on another filesystem (a USB
        // stick), where no rename reaches.
        QTest::newRow("onto another filesystem") << "/dev/shm" << 2.0 << "10/1";
    }

    void remuxesAnnexBToContainers()
    {
        QFETCH(QString, finalName);
        QFETCH(double, duration);
        QFETCH(QString, rate);
        QTemporaryDir dir;
        // A folder of its own on the other filesystem (or one below `dir`).
        QTemporaryDir other((finalName.startsWith('/') ? finalName : dir.path()) + QStringLiteral("/zu_remux_XXXXXX"));
        QString out = finalName.startsWith('/') ? QString() : dir.filePath(finalName);
        if (out.isEmpty()) {
            struct stat a {}, b {};
            if (!other.isValid() || ::stat(QFile::encodeName(dir.path()).constData(), &a) != 0
                || ::stat(QFile::encodeName(other.path()).constData(), &b) != 0 || a.st_dev == b.st_dev)
                ZU_SKIP_MISSING("a second filesystem");
            out = other.filePath(QStringLiteral("out.mp4"));
        }
        const QString input = writeAnnexB(dir.filePath("tmp.raw"), 20);
        ZuStreamRemux remux;
        QCOMPARE(remux.remuxUrlToFile(input, dir.filePath("tmp.mp4"), out, duration), 0);
        // The input and the temporary file are gone; the file is the user's.
        QCOMPARE(filesIn(dir.path()) + filesIn(other.path()), QStringList{QFileInfo(out).fileName()});
        QCOMPARE(QFileInfo(out).permissions() & QFile::ReadGroup, QFile::ReadGroup);
        const codectest::Probe p = codectest::probe(out);
        QCOMPARE(p.codec, QStringLiteral("h264"));
        QCOMPARE(QSize(p.width, p.height), QSize(320, 240));
        QCOMPARE(p.frames, 20);
        QCOMPARE(p.frameRate, rate);
    }

    void remuxFailsCleanly()
    {
        QTemporaryDir dir;
        ZuStreamRemux remux;
        QCOMPARE(remux.remuxUrlToFile(dir.filePath("none.raw"), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0), -15);
        QCOMPARE(remux.remuxUrlToFile(QString(), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0), -15);
        // Garbage bytes are refused and kept for whoever wants to look at them.
        QFile junk(dir.filePath("garbage.raw"));
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write(garbage(50000, 7)) == 50000);
        junk.close();
        const int rc = remux.remuxUrlToFile(junk.fileName(), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0);
        QVERIFY2(rc <= -15 && rc >= -21, qPrintable(QString::number(rc)));
        // An output folder that does not exist: the input stays.
        const QString input = writeAnnexB(dir.filePath("tmp.raw"), 5);
        QCOMPARE(remux.remuxUrlToFile(input, dir.filePath("missing/tmp.mp4"), dir.filePath("missing/out.mp4"), 1.0), -20);
        QCOMPARE(filesIn(dir.path()), (QStringList{"garbage.raw", "tmp.raw"}));
    }

    void remuxReadErrorPartWayFails()
    {
        QByteArray body;
        for (const QByteArray &unit : codectest::makeAccessUnits("libx264", 320, 240, 60, 10))
            body += unit;
        QTemporaryDir dir;
        ZuStreamRemux remux;
        {
            // The whole body: copied, every frame.
            CuttingHttpServer server(body, body.size());
            QCOMPARE(remux.remuxUrlToFile(server.url(), dir.filePath("tmp.mp4"), dir.filePath("whole.mp4"), 0), 0);
            QCOMPARE(codectest::probe(dir.filePath("whole.mp4")).frames, 60);
        }
        {
            // Cut after two thirds: a failure, not a short file passed off as
            // the whole; no temporary file is left.
            CuttingHttpServer server(body, body.size() * 2 / 3);
            QCOMPARE(remux.remuxUrlToFile(server.url(), dir.filePath("tmp.mp4"), dir.filePath("cut.mp4"), 0), -15);
        }
        QCOMPARE(filesIn(dir.path()), QStringList{"whole.mp4"});
    }

private:
    static QString writeAnnexB(const QString &path, int frames)
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        for (const QByteArray &unit : codectest::makeAccessUnits("libx264", 320, 240, frames, 10))
            f.write(unit);
        return path;
    }
};

QTEST_MAIN(TestCodecs)
#include "tst_codecs.moc"
