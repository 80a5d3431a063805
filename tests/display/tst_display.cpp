// The video surface: pictures, snapshots, zoom and the camera-control
// gestures; and the multipart frame-stream client that feeds it: the
// byte-stream splitter fed in chunks of every size, the header readings, and
// the thread against a local multipart server and against the ffmpeg command
// line as a producer.
#include "canvas.h"
#include "curlglobal.h"
#include "multipartparser.h"
#include "onvif.h"
#include "ptzctrlweb.h"
#include "streamframe.h"
#include "zulog.h"
#include "zustreamparser.h"

#include "../ptz/ptz_test_support.h"
#include "multipartserver.h"

#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

using namespace streamtest;

namespace {
// A BGRA picture whose pixel (x, y) is (B = x, G = y, R = x ^ y) modulo 256,
// or one flat colour.
std::vector<uint8_t> pattern(int w, int h, int stride, QRgb flat = 0)
{
    std::vector<uint8_t> buf(size_t(stride) * size_t(h), 0xEE);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t *p = buf.data() + y * stride + x * 4;
            p[0] = uint8_t(flat ? qBlue(flat) : x);
            p[1] = uint8_t(flat ? qGreen(flat) : y);
            p[2] = uint8_t(flat ? qRed(flat) : x ^ y);
            p[3] = 255;
        }
    }
    return buf;
}

QRgb expected(int x, int y) { return qRgb(uint8_t(x ^ y), uint8_t(y), uint8_t(x)); }

void show(Canvas &canvas, std::vector<uint8_t> &buf, int w, int h, const QString &time = QStringLiteral("20240305140000000"))
{
    canvas.displayFrame(buf.data(), w, h, int(buf.size()) / h, time, QString(), true, 1, 10.0, false);
}

void mouse(QWidget *w, QEvent::Type type, QPointF pos, Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent e(type, pos, w->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : button, held,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void wheel(QWidget *w, int delta)
{
    QWheelEvent e(QPointF(200, 150), QPointF(200, 150), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}

// Plays "press:x,y", "move:x,y", "release:x,y", "rpress:x,y" and
// "rrelease:x,y" (right button), "wheel:delta", "leave", and "hold" (waits
// until a press held still has sent something).
void play(QWidget *w, const QString &events, const std::function<int()> &sent = {})
{
    for (const QString &e : events.split(' ')) {
        const QString kind = e.section(':', 0, 0);
        const QStringList v = e.section(':', 1).split(',');
        const QPointF at(v.value(0).toDouble(), v.value(1).toDouble());
        const Qt::MouseButton button = kind.startsWith("rr") || kind == "rpress" ? Qt::RightButton : Qt::LeftButton;
        QEvent leave(QEvent::Leave);
        if (kind == "hold")
            QTRY_VERIFY_WITH_TIMEOUT(sent() > 0, 30000);
        else if (kind == "leave")
            QApplication::sendEvent(w, &leave);
        else if (kind == "wheel")
            wheel(w, v.value(0).toInt());
        else
            mouse(w, kind.endsWith("press") ? QEvent::MouseButtonPress
                     : kind == "move"       ? QEvent::MouseMove
                                            : QEvent::MouseButtonRelease, at, button);
    }
}

// Records the commands the surface sends instead of reaching a camera.
class DriverDouble : public NativePTZInterface
{
public:
    DriverDouble()
        : NativePTZInterface(PtzCamera{}, QStringLiteral("DOUBLE"))
    {
    }
    void send_command(QString command, bool flag, float x, float y, float z, int width, int height, int index,
                      int areaWidth, int areaHeight) override
    {
        calls << QString::asprintf("%s %d %g,%g,%g %dx%d #%d %dx%d", qPrintable(command), flag, x, y, z, width, height,
                                   index, areaWidth, areaHeight);
    }
    QString status_text() override { return QStringLiteral("double"); }
    void report(int status, const QString &fault) { emit status_message(status, "clic", fault, driverName); }
    QStringList calls;
};

// An 800x600 picture on a 400x300 surface: widget point (x, y) is frame
// point (2x, 2y).
struct Surface
{
    Surface()
    {
        canvas.resize(400, 300);
        canvas.setDigitalZoomEnabled(true);
        show(canvas, pixels, 800, 600);
    }
    Canvas canvas;
    std::vector<uint8_t> pixels = pattern(800, 600, 3200);
};


// The parser's queue as a worker holds it; the frames taken from it are
// kept, and freed, here. Declared before the parser, so that the parser is
// joined before this goes.
struct Consumer {
    QMutex lock;
    std::deque<StreamFrame *> queue;
    QList<StreamFrame *> got;
    ~Consumer()
    {
        qDeleteAll(queue);
        qDeleteAll(got);
    }
    // Takes what is queued; returns how much that was.
    int collect()
    {
        QMutexLocker l(&lock);
        const int queued = int(queue.size());
        got.append(QList<StreamFrame *>(queue.begin(), queue.end()));
        queue.clear();
        return queued;
    }
};

ZuStreamParser *makeParser(const QString &port, Consumer &consumer, const QString &path = QStringLiteral("/stream"))
{
    auto *p = new ZuStreamParser(QStringLiteral("http"), QStringLiteral("127.0.0.1"), port, QStringLiteral("-1"), path,
                                 false, QString(), false, nullptr);
    p->setLogName(QStringLiteral("TEST"));
    p->setFrameQueue(&consumer.queue);
    p->setQueueLock(&consumer.lock);
    p->setRawFrames(true);
    p->setRawCopy(true);
    p->setMaxQueuedFrames(0);
    return p;
}

// Starts `parser` and lets it run until it ends by itself, within `ms`; then
// takes what it queued. False when it was still running.
bool runToEnd(ZuStreamParser &parser, Consumer &consumer, int ms)
{
    parser.start();
    QDeadlineTimer deadline(ms);
    while (!parser.isFinished() && !deadline.hasExpired())
        QTest::qWait(50);
    if (!parser.isFinished())
        return false;
    consumer.collect();
    QCoreApplication::processEvents();
    return true;
}

const QDateTime kStart(QDate(2024, 3, 5), QTime(10, 0));

} // namespace

class TestDisplay : public QObject
{
    Q_OBJECT
    QList<QByteArray> m_units;

private slots:
    void initTestCase()
    {
        QVERIFY(zuCurlGlobalInit());
        if (qEnvironmentVariableIsSet("ZU_TEST_LOG"))
            setLevelValue(1);
        m_units = h264Units(40);
        QCOMPARE(m_units.size(), 40);
    }

    // The same parts come out whatever the chunking, for the forms
    // producers send; a body that runs to a clean end of the stream is the
    // last part; a stream that is not multipart, or parts beyond reason,
    // fail it for good.
    void splitting_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("boundary");
        QTest::addColumn<bool>("finish");
        QTest::addColumn<QList<QByteArray>>("bodies");
        QTest::addColumn<QByteArray>("firstTimestamp");
        QTest::addColumn<QString>("failure"); // a word of it
        const QByteArray a = "\xff\xd8 first\r\n--myboundar not yet\r\n\r\nstill first";
        const QByteArray b = "second";
        const auto row = [](const char *name, const QByteArray &stream, const QByteArray &boundary,
                            const QList<QByteArray> &bodies, const QByteArray &timestamp = {},
                            const QString &failure = {}, bool finish = false) {
            QTest::newRow(name) << stream << boundary << finish << bodies << timestamp << failure;
        };
        row("lengths", "--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " + QByteArray::number(a.size())
                           + "\r\nTimestamp: 1\r\n\r\n" + a + "\r\n--myboundary\r\nContent-Length: 6\r\n\r\n" + b + "\r\n",
            "myboundary", {a, b}, "1");
        row("no lengths, header names in any case",
            "--myboundary\r\nTIMESTAMP: 2\r\n\r\n" + a + "\r\n--myboundary\r\n\r\n" + b + "\r\n--myboundary--\r\nepilogue",
            "--myboundary", {a, b}, "2");
        row("bare line feeds, boundary from the stream",
            "preamble\n--abc\ntimestamp: 3\n\n" + a + "\n--abc\nContent-length: 6\n\n" + b + "\n--abc\n", {}, {a, b},
            "3");
        row("a length too short, junk skipped",
            "--myboundary\r\nContent-Length: 3\r\n\r\n" + a + "\r\n--myboundary\r\n\r\n" + b + "\r\n----myboundary  \r\n",
            "myboundary", {a.left(3), b});
        row("empty part", "--b\r\n\r\n--b\r\nContent-Length: 6\r\n\r\n" + b + "--b--", "b", {QByteArray(), b});
        row("body to a clean end", "--x\r\n\r\nlast body\r\n", "x", {"last body"}, {}, {}, true);
        row("body cut short", "--x\r\n\r\nlast body", "x", {});
        row("no boundary in reach", QByteArray(200000, 'a').replace(0, 1, "<") + "\n", {}, {}, {}, "boundary");
        row("headers too long", "--x\r\n" + QByteArray(40000, 'h') + "\r\n", "x", {}, {}, "headers");
        row("part too large", "--x\r\nContent-Length: 999999999999\r\n\r\n", "x", {}, {}, "exceeds");
        const QByteArray padded = "x\r\n--b" + QByteArray(70, ' ') + "\r\ny";
        row("a delimiter padded past the line limit is body data", "--b\r\n\r\n" + padded + "\r\n--b--\r\n", "b",
            {padded});
    }
    void splitting()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, boundary);
        QFETCH(bool, finish);
        QFETCH(QList<QByteArray>, bodies);
        QFETCH(QByteArray, firstTimestamp);
        QFETCH(QString, failure);
        const QList<qsizetype> chunks = stream.size() > 10000 ? QList<qsizetype>{997, stream.size()}
                                                              : QList<qsizetype>{1, 2, 5, 64, stream.size()};
        for (const qsizetype chunk : chunks) {
            ZuMultipartParser parser(boundary);
            QList<ZuMultipartParser::Part> parts;
            const auto take = [&] {
                while (parser.hasParts())
                    parts << parser.takePart();
            };
            for (qsizetype i = 0; i < stream.size(); i += chunk) {
                parser.feed(stream.mid(i, chunk));
                take();
            }
            if (finish)
                parser.finish();
            // A failed stream stays failed.
            if (!parser.failure().isEmpty())
                QVERIFY(!parser.feed("--x\r\n\r\nmore\r\n--x\r\n"));
            take();
            QVERIFY2(failure.isEmpty() ? parser.failure().isEmpty() : parser.failure().contains(failure),
                     qPrintable(parser.failure()));
            QList<QByteArray> got;
            for (const ZuMultipartParser::Part &p : parts)
                got << p.body;
            QCOMPARE(got, bodies);
            if (!parts.isEmpty())
                QCOMPARE(parts.first().header("timestamp"), firstTimestamp);
        }
    }

    void timestamps_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("expected"); // empty: unreadable
        QTest::newRow("micro") << QByteArray(" 2024-03-05 14:00:02.123456 ") << QByteArray("2024-03-05 14:00:02.123");
        QTest::newRow("no fraction") << QByteArray("2024-03-05T14:00:02") << QByteArray("2024-03-05 14:00:02.000");
        QTest::newRow("compact") << QByteArray("20240305140002500") << QByteArray("2024-03-05 14:00:02.500");
        const QDateTime utc(QDate(2024, 3, 5), QTime(14, 0, 2, 5), Qt::UTC);
        const QByteArray local = stamp(utc.toLocalTime());
        QTest::newRow("zulu") << QByteArray("2024-03-05T14:00:02.005Z") << local;
        QTest::newRow("offset") << QByteArray("2024-03-05T15:00:02.005+01:00") << local;
        QTest::newRow("epoch ms") << QByteArray::number(utc.toMSecsSinceEpoch()) << local;
        QTest::newRow("invalid date") << QByteArray("2024-02-30 10:00:00") << QByteArray();
        QTest::newRow("words") << QByteArray("yesterday") << QByteArray();
    }
    void timestamps()
    {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, expected);
        QCOMPARE(ZuStreamParser::normalizedTimestamp(value), expected);
    }

    // The decoder follows the part type, else the bytes (the stream rows
    // read sniffed H.264), whatever a unit's first two bytes suggest; a part
    // without a picture is no frame unless raw frames are asked for.
    void frames()
    {
        QCOMPARE(ZuStreamParser::codecForPart("image/jpeg", {}), QString("mjpeg"));
        const QList<QByteArray> hevc = ffmpegUnits({"-c:v", "libx265", "-x265-params", "log-level=error"}, "hevc", 1);
        QVERIFY(!hevc.isEmpty());
        QCOMPARE(ZuStreamParser::codecForPart("", hevc.first()), QString("hevc"));
        QCOMPARE(ZuStreamParser::codecForPart("", QByteArray("\xff\xd8\xff", 3)), QString("mjpeg"));
        QCOMPARE(ZuStreamParser::codecForPart("text/plain", "hello"), QString());
        QCOMPARE(ZuStreamParser::codecForPart("", QByteArray("\x00\x00\x01\x80\x01", 5)), QString());
        const QList<QByteArray> timed = timedH264Units(12);
        const QList<QByteArray> layered = layeredH265Units(12);
        QCOMPARE(timed.size(), 12);
        QCOMPARE(layered.size(), 12);
        for (const QByteArray &unit : timed)
            QCOMPARE(ZuStreamParser::codecForPart("application/octet-stream", unit), QString("h264"));
        for (const QByteArray &unit : layered)
            QCOMPARE(ZuStreamParser::codecForPart("application/octet-stream", unit), QString("hevc"));

        ZuStreamParser parser("http", "127.0.0.1", "1", "-1", "/", false, QString(), false, nullptr);
        parser.setRawFrames(true);
        QVERIFY(!parser.frameFromPart(ZuMultipartParser::Part()));
        parser.setRawFrames(false);
        ZuMultipartParser::Part garbage;
        garbage.body = "not a picture";
        QVERIFY(!parser.frameFromPart(garbage));

        // A picture wider than the surface can show is dropped after decoding.
        for (const int width : {8192, 8200}) {
            const QList<QByteArray> jpeg =
                ffmpegUnits({"-vf", QString("scale=%1:16").arg(width), "-c:v", "mjpeg"}, "mjpeg", 1);
            QCOMPARE(jpeg.size(), 1);
            ZuMultipartParser::Part part;
            part.body = jpeg.first();
            std::unique_ptr<StreamFrame> frame(parser.frameFromPart(part));
            QCOMPARE(frame != nullptr, width <= ZuStreamParser::kMaxPictureSide);
            if (frame)
                QCOMPARE(frame->width(), width);
        }
    }

    // Against the local server: every part arrives in order, with its bytes,
    // stamp and tag, whatever the transfer coding and header case; a full
    // queue holds the stream back without losing parts. Failures are
    // reported once; a stop is no failure and ends the thread while the
    // server stays silent.
    void stream_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("maxQueued");
        QTest::addColumn<int>("frames"); // -1: any number
        QTest::addColumn<int>("errors");
        QTest::newRow("plain") << "" << 0 << 40 << 0;
        QTest::newRow("chunked, lower case, dashes") << "chunked lower dashes" << 0 << 40 << 0;
        QTest::newRow("nothing announced, small queue") << "chunked unannounced" << 4 << 40 << 0;
        QTest::newRow("nothing announced, units with timing messages") << "unannounced timing" << 0 << 40 << 0;
        QTest::newRow("reset") << "reset" << 0 << -1 << 1;
        QTest::newRow("HTTP 404") << "404" << 0 << 0 << 1;
        QTest::newRow("refused") << "refused" << 0 << 0 << 1;
        QTest::newRow("not multipart") << "html" << 0 << 0 << 1;
        QTest::newRow("nothing sent") << "empty" << 0 << 0 << 1;
        QTest::newRow("stopped while silent") << "silence" << 0 << 10 << 0;
        QTest::newRow("silent after connecting") << "silent" << 0 << 10 << 1;
        QTest::newRow("queue bounded by bytes") << "bytes" << 0 << 40 << 0;
        // 8192x8192 in 4:4:4 with four reference pictures: within the
        // picture size limit, but about 1 GB in the decoder.
        QTest::newRow("pictures too large for the decoder") << "huge" << 0 << 0 << 1;
    }
    void stream()
    {
        QFETCH(QString, kind);
        QFETCH(int, maxQueued);
        QFETCH(int, frames);
        QFETCH(int, errors);
        MultipartServer server;
        Script s;
        s.units = kind.contains("timing") ? timedH264Units(40) : m_units;
        QCOMPARE(s.units.size(), kind.contains("timing") ? 40 : m_units.size());
        if (kind == "huge") {
            s.units = ffmpegUnits({"-vf", "scale=8192:8192", "-c:v", "libx264", "-preset", "ultrafast", "-x264-params",
                                   "ref=4", "-pix_fmt", "yuv444p"},
                                  "h264", 2);
            QCOMPARE(s.units.size(), 2);
        }
        s.parts = kind.isEmpty() || kind.startsWith("chunked") || kind == "bytes" || kind.contains("timing") ? 40
            : kind == "empty"                                                   ? 0
            : kind == "huge"                                                    ? 2
                                                                                : 10;
        s.start = kStart;
        s.chunked = kind.contains("chunked");
        s.lowerCaseHeaders = kind.contains("lower");
        s.end = kind == "reset"                       ? Script::End::Reset
            : kind == "silence" || kind == "silent" ? Script::End::Silence
                                                    : Script::End::Close;
        s.status = kind == "404" ? 404 : 200;
        if (kind.contains("dashes"))
            s.contentType = "multipart/x-mixed-replace;boundary=--myboundary";
        if (kind.contains("unannounced"))
            s.contentType = s.partType = "application/octet-stream";
        if (kind == "html") {
            s.contentType = "text/html";
            s.body = "<html>" + QByteArray(100000, 'x') + "</html>\n";
        }
        server.scripts = {s};
        QVERIFY(server.start());
        const QString port = server.port();
        if (kind == "refused")
            server.close();
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser(makeParser(port, consumer));
        parser->setMaxQueuedFrames(maxQueued);
        // Three pictures of 320x240 in 4:2:0 take more than this with their
        // padding and raw copies.
        if (kind == "bytes")
            parser->setMaxQueuedBytes(3 * 320 * 240 * 3 / 2);
        if (kind == "silent")
            parser->setSilenceTimeoutMs(1000);
        QSignalSpy spy(parser.get(), &ZuStreamParser::error);
        parser->start();
        QDeadlineTimer deadline(30000);
        while (!parser->isFinished() && !deadline.hasExpired() && !(kind == "silence" && consumer.got.size() == 10)) {
            QVERIFY(consumer.collect() <= (kind == "bytes" ? 3 : maxQueued ? maxQueued : 40));
            QTest::qWait(maxQueued > 0 ? 50 : 10);
        }
        if (kind == "silence") {
            QTest::qWait(300);
            QVERIFY(parser->isRunning());
            QElapsedTimer t;
            t.start();
            parser->threadStop(false);
            QVERIFY(parser->wait(5000));
            QVERIFY(t.elapsed() < 2000);
        }
        QVERIFY(parser->wait(30000));
        consumer.collect();
        QCoreApplication::processEvents();
        QCOMPARE(spy.size(), errors);
        if (frames >= 0)
            QCOMPARE(consumer.got.size(), frames);
        for (int i = 0; i < consumer.got.size(); ++i) {
            const StreamFrame *f = consumer.got[i];
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(f->rawData()), f->rawDataSize()), s.units.at(i));
            QCOMPARE(QByteArray(f->timestampText()), stamp(kStart.addMSecs(i * 100)));
            QCOMPARE(f->frameTag(), QString::number(i));
            QCOMPARE(f->width(), 320);
            // From the stamps, once there are two.
            QVERIFY(i == 0 ? f->fps() < 0 : qAbs(f->fps() - 10.0) < 0.01);
        }
        QVERIFY(consumer.got.isEmpty() || consumer.got.first()->isKeyframe());
    }

    // A live stream that gives no picture fails once the silence limit has
    // passed since its last picture, however many bytes keep coming; one
    // whose multipart body closes ends there, whatever the server sends
    // after it. The server never stops sending by itself.
    void streamWithoutPictures_data()
    {
        QTest::addColumn<int>("pictures"); // parts with a picture first
        QTest::addColumn<QList<QByteArray>>("drip");
        QTest::addColumn<int>("errors");
        const auto endless = [](const QByteArray &first, const QByteArray &piece) {
            return QList<QByteArray>{first} + QList<QByteArray>(1000, piece);
        };
        QTest::newRow("a part dripping a byte at a time")
            << 0 << endless("--myboundary\r\nContent-Type: video/h264\r\n\r\n", "x") << 1;
        const QByteArray empty = "--myboundary\r\nContent-Length: 0\r\n\r\n\r\n";
        QTest::newRow("empty parts") << 0 << endless(empty, empty) << 1;
        const QByteArray junk = "--myboundary\r\nContent-Type: video/h264\r\n\r\nnot a picture\r\n";
        QTest::newRow("parts without a picture after pictures") << 10 << endless(junk, junk) << 1;
        QTest::newRow("parts without a picture from the start") << 0 << endless(junk, junk) << 1;
        QTest::newRow("bytes after the closing delimiter") << 10 << endless("--myboundary--\r\n", "more\r\n") << 0;
        QTest::newRow("a closing delimiter first") << 0 << endless("--myboundary--\r\n", "--myboundary\r\n") << 1;
    }
    void streamWithoutPictures()
    {
        QFETCH(int, pictures);
        QFETCH(QList<QByteArray>, drip);
        QFETCH(int, errors);
        MultipartServer server;
        Script s;
        s.units = m_units;
        s.parts = pictures;
        s.start = kStart;
        s.drip = drip;
        s.dripMs = 300;
        server.scripts = {s};
        QVERIFY(server.start());
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser(makeParser(server.port(), consumer));
        parser->setRawFrames(false); // as the live view takes them
        parser->setSilenceTimeoutMs(1000);
        QSignalSpy spy(parser.get(), &ZuStreamParser::error);
        QVERIFY(runToEnd(*parser, consumer, 30000));
        QCOMPARE(spy.size(), errors);
        QCOMPARE(consumer.got.size(), pictures);
        for (const StreamFrame *f : std::as_const(consumer.got))
            QCOMPARE(f->width(), 320);
    }

    // With decoding off, each part with a body counts as a picture: a
    // stream that keeps sending them runs past the time the first picture
    // may take, and ends when the server closes it.
    void undecodedStreamKeepsGoing()
    {
        MultipartServer server;
        Script s;
        s.units = m_units;
        s.parts = 70; // 7 s, beyond six silence limits
        s.start = kStart;
        s.intervalMs = 100;
        server.scripts = {s};
        QVERIFY(server.start());
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser(makeParser(server.port(), consumer));
        parser->setNoDecode(true);
        parser->setSilenceTimeoutMs(1000);
        QSignalSpy spy(parser.get(), &ZuStreamParser::error);
        QVERIFY(runToEnd(*parser, consumer, 60000));
        QCOMPARE(spy.size(), 0);
        QCOMPARE(consumer.got.size(), 70);
        for (const StreamFrame *f : std::as_const(consumer.got))
            QVERIFY(!f->avFrame() && f->rawDataSize() > 0);
    }

    // A view joined in the middle of a long group waits for the next key
    // frame longer than the silence limit without being taken for a stream
    // that sends no pictures.
    void joinedInTheMiddleOfAGroup()
    {
        const QList<QByteArray> units = ffmpegUnits(
            {"-c:v", "libx264", "-g", "20", "-bf", "0", "-pix_fmt", "yuv420p", "-preset", "ultrafast"},
            QStringLiteral("h264"), 30);
        QCOMPARE(units.size(), 30);
        MultipartServer server;
        Script s;
        s.units = units.mid(1); // 19 units before the next key frame, 1.9 s
        s.parts = int(s.units.size());
        s.start = kStart;
        s.intervalMs = 100;
        server.scripts = {s};
        QVERIFY(server.start());
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser(makeParser(server.port(), consumer));
        parser->setRawFrames(false);
        parser->setSilenceTimeoutMs(1000);
        QSignalSpy spy(parser.get(), &ZuStreamParser::error);
        QVERIFY(runToEnd(*parser, consumer, 30000));
        QCOMPARE(spy.size(), 0);
        QCOMPARE(consumer.got.size(), 10);
    }

    // Redirects are followed to the web only: a recorder's answer never
    // makes the client speak to an FTP server.
    void redirects_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("errors");
        QTest::newRow("to http") << "http" << 40 << 0;
        QTest::newRow("to ftp") << "ftp" << 0 << 1;
    }
    void redirects()
    {
        QFETCH(QString, target);
        QFETCH(int, frames);
        QFETCH(int, errors);
        // Greets as an FTP server does and keeps what it is told.
        QTcpServer ftp;
        int ftpConnections = 0;
        auto ftpReceived = std::make_shared<QByteArray>();
        connect(&ftp, &QTcpServer::newConnection, &ftp, [&] {
            while (QTcpSocket *socket = ftp.nextPendingConnection()) {
                ++ftpConnections;
                socket->write("220 ready\r\n");
                connect(socket, &QTcpSocket::readyRead, socket, [socket, ftpReceived] { *ftpReceived += socket->readAll(); });
            }
        });
        QVERIFY(ftp.listen(QHostAddress::LocalHost, 0));
        MultipartServer server;
        Script redirect;
        redirect.location = target == "ftp" ? "ftp://127.0.0.1:" + QByteArray::number(ftp.serverPort()) + "/clip.mjpg"
                                            : QByteArray("/elsewhere");
        Script s;
        s.units = m_units;
        s.parts = 40;
        s.start = kStart;
        server.scripts = {redirect, s};
        QVERIFY(server.start());
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser(makeParser(server.port(), consumer));
        QSignalSpy spy(parser.get(), &ZuStreamParser::error);
        parser->start();
        QDeadlineTimer deadline(30000);
        while (!parser->isFinished() && !deadline.hasExpired())
            QTest::qWait(50);
        QVERIFY(parser->wait(30000));
        QTest::qWait(100); // a connection the FTP server has not taken yet
        consumer.collect();
        QCOMPARE(spy.size(), errors);
        QCOMPARE(consumer.got.size(), frames);
        QCOMPARE(server.connections, target == "http" ? 2 : 1);
        QCOMPARE(ftpConnections, 0);
        QCOMPARE(*ftpReceived, QByteArray());
    }

    // The ffmpeg command line as a producer: chunked HTTP/1.1, its own
    // "Content-type", no boundary announced and no timestamps.
    void ffmpegProducer()
    {
        const QString port = testsupport::closedPort(); // for a producer that listens by itself
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                "testsrc=size=320x240:rate=10", "-t", "60", "-f", "mpjpeg", "-boundary_tag",
                                "myboundary", "-listen", "1", "http://127.0.0.1:" + port + "/s"});
        QVERIFY(ffmpeg.waitForStarted());
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser;
        std::unique_ptr<QSignalSpy> spy;
        // ffmpeg listens a moment after it starts: connect until it answers.
        QDeadlineTimer deadline(30000);
        while (consumer.got.size() < 12 && !deadline.hasExpired()) {
            if (!parser || parser->isFinished()) {
                parser.reset(makeParser(port, consumer, "/s"));
                parser->setRawCopy(false);
                parser->setMaxQueuedFrames(30);
                spy = std::make_unique<QSignalSpy>(parser.get(), &ZuStreamParser::error);
                parser->start();
            }
            QTest::qWait(100);
            consumer.collect();
        }
        QCOMPARE(spy->size(), 0);
        parser.reset();
        ffmpeg.kill();
        ffmpeg.waitForFinished();
        QVERIFY(consumer.got.size() >= 12);
        QByteArray previous;
        for (const StreamFrame *f : std::as_const(consumer.got)) {
            QVERIFY(f->avFrame());
            QCOMPARE(f->width(), 320);
            QCOMPARE(f->height(), 240);
            QCOMPARE(f->rawDataSize(), 0); // no raw copy asked for
            QVERIFY(QByteArray(f->timestampText()) >= previous);
            previous = f->timestampText();
        }
        // Stamped at arrival, about one tenth of a second apart.
        const QDateTime arrival = QDateTime::fromString(previous, "yyyy-MM-dd HH:mm:ss.zzz");
        QVERIFY(qAbs(arrival.secsTo(QDateTime::currentDateTime())) < 30);
        QVERIFY(consumer.got.last()->fps() > 3 && consumer.got.last()->fps() < 30);
    }

    // The picture is copied without the stride's padding (the caller's buffer
    // may be reused at once); a snapshot is a copy too, stamped bottom right
    // only; unusable pictures are refused.
    void copiesPictureAndSnapshots()
    {
        Canvas canvas;
        const int w = 320, h = 240;
        std::vector<uint8_t> buf = pattern(w, h, w * 4 + 32);
        canvas.displayFrame(buf.data(), w, h, w * 4 + 32, QStringLiteral("20240305140002100"), QStringLiteral("Entrée"),
                            true, 7, 10.0, true);
        std::fill(buf.begin(), buf.end(), 0);
        const auto changed = [](const QImage &img, const QRect &r) {
            int n = 0;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    n += (img.pixel(x, y) | 0xff000000u) != expected(x, y) ? 1 : 0;
            return n;
        };
        QCOMPARE(canvas.currentImage().size(), QSize(w, h));
        QCOMPARE(changed(canvas.currentImage(), QRect(0, 0, w, h)), 0);
        QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:02.100"));
        QCOMPARE(canvas.currentOverlay(), QStringLiteral("Entrée"));
        const QImage snap = canvas.get_snapshot(QString(), QString());
        QCOMPARE(snap.size(), QSize(w, h));
        QCOMPARE(snap.format(), QImage::Format_RGB32);
        QCOMPARE(changed(snap, QRect(0, 0, w, h / 2)), 0);
        QVERIFY(changed(snap, QRect(w - 120, h - 20, 120, 20)) > 200);

        // Live streams give their time already formatted; it is kept as is.
        show(canvas, buf, w, h, QStringLiteral("2024-03-05 14:00:03.000"));
        QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:03.000"));
        QCOMPARE(canvas.receivedFrames(), qint64(2));
        QCOMPARE(changed(snap, QRect(0, 0, 8, 8)), 0);

        Canvas empty;
        const QString t = QStringLiteral("20240305140000000");
        for (const QList<int> &bad : QList<QList<int>>{{1, 16, 16, 64}, {0, 16, 16, 63}, {0, 0, 16, 64}, {0, 16, -3, 64},
                                                      {0, Canvas::kMaxSide + 1, 1, (Canvas::kMaxSide + 1) * 4}})
            empty.displayFrame(bad[0] ? nullptr : buf.data(), bad[1], bad[2], bad[3], t, QString(), true, 1, 10, false);
        QCOMPARE(empty.receivedFrames(), qint64(0));
        QVERIFY(empty.currentImage().isNull());
        QVERIFY(empty.get_snapshot(QString(), QString()).isNull());
    }

    void endingAndStalePictures()
    {
        std::vector<uint8_t> buf = pattern(32, 32, 128);
        Canvas canvas;
        canvas.set_player_fed();
        QSignalSpy ending(&canvas, &Canvas::endingsignal);
        show(canvas, buf, 32, 32);
        canvas.setup_disconnect(true);
        QVERIFY(!canvas.currentImage().isNull()); // kept, dimmed
        canvas.setStreamStart(true);
        QVERIFY(!canvas.isDisconnected());
        QVERIFY(canvas.currentImage().isNull());
        show(canvas, buf, 32, 32);
        canvas.zoomAt(QPointF(10, 10), 2.0);
        canvas.setEnding();
        QVERIFY(canvas.currentImage().isNull());
        QVERIFY(canvas.currentTimestamp().isEmpty());
        QCOMPARE(canvas.zoomFactor(), 1.0);
        QCOMPARE(ending.count(), 0); // the player decides the end itself

        // Pictures of the old stream still queued when it ends or another
        // starts never reach the screen.
        const auto queue = [&](const QString &time) {
            QMetaObject::invokeMethod(&canvas, [&canvas, &buf, time] { show(canvas, buf, 32, 32, time); },
                                      Qt::QueuedConnection);
        };
        const qint64 before = canvas.receivedFrames();
        queue(QStringLiteral("20240305140000000"));
        canvas.setEnding();
        QCoreApplication::processEvents();
        QVERIFY(canvas.currentImage().isNull());
        queue(QStringLiteral("20240305140001000"));
        canvas.setStreamStart(true);
        queue(QStringLiteral("20240305150000000")); // the new stream's first picture
        QCoreApplication::processEvents();
        QCOMPARE(canvas.receivedFrames(), before + 1);
        QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 15:00:00.000"));

        Canvas live; // not fed by the player: its owner tears the view down
        QSignalSpy liveEnding(&live, &Canvas::endingsignal);
        live.setup_disconnect(true);
        QCOMPARE(liveEnding.count(), 1);
    }

    // A picture handed over on the surface's own thread is on the screen
    // when the call returns: the player shows it in a step of its own, and
    // it must not wait behind whatever the thread has queued meanwhile.
    // From another thread it is painted later, on the surface's thread.
    void pictureOnScreenAtOnce()
    {
        struct Paints : QObject {
            int count = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                count += e->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } paints;
        Canvas canvas;
        canvas.resize(320, 240);
        canvas.show();
        QVERIFY(QTest::qWaitForWindowExposed(&canvas));
        canvas.installEventFilter(&paints);
        QImage red(320, 240, QImage::Format_RGB32);
        red.fill(qRgb(200, 0, 0));
        CanvasPicture picture;
        picture.full = red;
        picture.fullSize = red.size();
        canvas.displayPicture(picture, QStringLiteral("20240305140000000"), QString(), true, 1, 10.0, false);
        QCOMPARE(paints.count, 1);
        QCOMPARE(canvas.grab().toImage().pixelColor(160, 120), QColor(200, 0, 0));

        QImage blue = red;
        blue.fill(qRgb(0, 0, 200));
        picture.full = blue;
        paints.count = 0;
        std::thread other([&] {
            canvas.displayPicture(picture, QStringLiteral("20240305140000100"), QString(), true, 2, 10.0, false);
        });
        other.join();
        QCOMPARE(paints.count, 0);
        QTRY_VERIFY(paints.count > 0);
        QCOMPARE(canvas.currentTimestamp(), QStringLiteral("2024-03-05 14:00:00.100"));
    }

    void letterboxAndZoom()
    {
        Canvas canvas;
        canvas.resize(400, 400);
        QVERIFY(canvas.pictureRect().isEmpty());
        std::vector<uint8_t> green = pattern(320, 240, 1280, qRgb(0, 200, 0));
        show(canvas, green, 320, 240);
        QCOMPARE(canvas.pictureRect(), QRectF(0, 50, 400, 300));
        const QImage shot = canvas.grab().toImage();
        QCOMPARE(shot.pixelColor(200, 10), QColor(Qt::black));  // bar above
        QCOMPARE(shot.pixelColor(200, 390), QColor(Qt::black)); // bar below
        QCOMPARE(shot.pixelColor(200, 200), QColor(0, 200, 0));
        QCOMPARE(shot.pixelColor(390, 60), QColor(0, 200, 0));

        canvas.zoomAt(QPointF(200, 200), 2.0); // centre of the picture
        const QRectF z = canvas.zoomRect();
        QCOMPARE(z.center(), QPointF(0.5, 0.5));
        QCOMPARE(z.width(), 0.5);
        // The picture stays letterboxed with the same aspect while zoomed.
        QCOMPARE(canvas.pictureRect(), QRectF(0, 50, 400, 300));
        // Zooming at a corner keeps that corner under the pointer.
        canvas.zoomAt(QPointF(0, 50), 2.0);
        QCOMPARE(canvas.zoomRect().topLeft(), z.topLeft());
        // Never deeper than kMaxZoom, never out past the whole picture.
        for (int i = 0; i < 20; ++i)
            canvas.zoomAt(QPointF(300, 300), 2.0);
        QCOMPARE(canvas.zoomFactor(), Canvas::kMaxZoom);
        const QRectF deep = canvas.zoomRect();
        QVERIFY(deep.left() >= 0 && deep.top() >= 0 && deep.right() <= 1 + 1e-9 && deep.bottom() <= 1 + 1e-9);
        for (int i = 0; i < 20; ++i)
            canvas.zoomAt(QPointF(100, 100), 0.5);
        QCOMPARE(canvas.zoomRect(), QRectF(0, 0, 1, 1));

        // By mouse, on a surface the picture fills.
        canvas.resize(400, 300);
        wheel(&canvas, 120); // zoom is off by default
        QCOMPARE(canvas.zoomFactor(), 1.0);
        canvas.setDigitalZoomEnabled(true);
        wheel(&canvas, 240);
        QVERIFY(qAbs(canvas.zoomFactor() - 1.5625) < 1e-9);
        // Right click shows the whole picture again.
        play(&canvas, "rpress:10,10 rrelease:10,10");
        QCOMPARE(canvas.zoomFactor(), 1.0);

        // A left-button drag selects the part to zoom into; a tiny one is a
        // click, not a choice.
        play(&canvas, "press:100,100 move:103,102 release:103,102");
        QCOMPARE(canvas.zoomFactor(), 1.0);
        play(&canvas, "press:0,0 move:200,150 release:200,150");
        QCOMPARE(canvas.zoomRect(), QRectF(0, 0, 0.5, 0.5));
        // Zoomed, a drag moves the view (dragging left shows more of the right).
        play(&canvas, "press:300,150 move:100,150 release:100,150");
        QVERIFY(canvas.zoomRect().left() > 0.2);
        QCOMPARE(canvas.zoomFactor(), 2.0);
        // Double click (full screen off) resets.
        QTest::mouseDClick(&canvas, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
        QCOMPARE(canvas.zoomFactor(), 1.0);
    }

    // Each gesture reaches a camera driver, or, with the driver switched off,
    // the recorder's web page (whose client is made at the first gesture);
    // the picture itself does not zoom.
    void ptzGestures_data()
    {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("native"); // the driver's calls
        QTest::addColumn<QStringList>("web");    // the page's requests

        const QString frame = " 800x600 #4 -1x-1";
        const QString none = " -1x-1 #4 -1x-1";
        const QString stop = "STOP_PanTilt_ContinuousMove 0 0,0,0" + none;
        QTest::newRow("click") << "press:100,50 release:100,50" << QStringList{"clic 0 200,100,0" + frame}
                               << QStringList{"clic=200,100"};
        QTest::newRow("drag") << "press:10,20 move:60,120 release:60,120"
                              << QStringList{"area 0 20,40,0 800x600 #4 100x200"} << QStringList{"area=20,40,100,200"};
        QTest::newRow("right click") << "rpress:300,150 rrelease:300,150" << QStringList{"right_clic 0 600,300,0" + frame}
                                     << QStringList{"rightclic=1"};
        QTest::newRow("wheel up") << "wheel:120" << QStringList{"ContinuousMove 1 0,0,0.5" + none}
                                  << QStringList{"zoom=1,0"};
        QTest::newRow("wheel down, two notches") << "wheel:-240" << QStringList{"ContinuousMove 1 0,0,-1" + none}
                                                 << QStringList{"zoom=0,1"};
        // The page still holds the move at the release: the release is retried
        // until it goes out.
        QTest::newRow("hold top right, release") << "press:300,75 hold release:300,75"
                                                 << QStringList{"ContinuousMove 0 0.5,0.5,0" + none, stop}
                                                 << QStringList{"holdclic=600,150", "releaseclic=0,0"};
        QTest::newRow("hold, leave the surface") << "press:100,150 hold leave release:100,150"
                                                 << QStringList{"ContinuousMove 0 -0.5,0,0" + none, stop}
                                                 << QStringList{"holdclic=200,300", "releaseclic=0,0"};
    }

    void ptzGestures()
    {
        QFETCH(QString, events);
        QFETCH(QStringList, native);
        QFETCH(QStringList, web);
        {
            Surface s;
            DriverDouble driver;
            s.canvas.setNativePtz(&driver);
            s.canvas.setPtzIndex(4);
            play(&s.canvas, events, [&] { return int(driver.calls.size()); });
            QCOMPARE(driver.calls, native);
            QCOMPARE(s.canvas.zoomFactor(), 1.0);
        }
        ptztest::StandIn server;
        QVERIFY(server.start({"web", "--hold", "1"}));
        Surface s;
        DriverDouble driver;
        driver.setPtzEnabled(false);
        s.canvas.setNativePtz(&driver);
        s.canvas.setWebPtz(server.url() + "/ptz.php?cam=7", "sess");
        QVERIFY(!s.canvas.webPtzClient());
        play(&s.canvas, events, [&] { return int(server.requests().size()); });
        QVERIFY(server.waitForRequests(web.size()));
        QVERIFY(QTest::qWaitFor([&] { return s.canvas.webPtzClient()->isReady(); }, 20000));
        for (QString &target : web)
            target = "/ptz.php?cam=7&" + target + "&resolution=800x600&PHPSESSID=sess";
        QCOMPARE(server.targets(), web);
        QVERIFY(driver.calls.isEmpty());
        QCOMPARE(s.canvas.zoomFactor(), 1.0);
    }

    // A failed move (-1) is sent again while the button is held, code 2 (a wheel
    // step) asks for the stop; only the ONVIF driver's replies are followed.
    void onvifReplies()
    {
        setLevelValue(1);
        Surface s;
        DriverDouble driver;
        s.canvas.setNativePtz(&driver);
        play(&s.canvas, "press:300,75 hold", [&] { return int(driver.calls.size()); });
        s.canvas.onvif_request_finished(-1);
        s.canvas.onvif_request_finished(2);
        QTRY_COMPARE_WITH_TIMEOUT(driver.calls.size(), 2, 30000);
        QVERIFY(driver.calls[1].startsWith("PanTilt_ContinuousMove 0 0.5,0.5,0"));
        mouse(&s.canvas, QEvent::MouseButtonRelease, {300, 75});
        QVERIFY(driver.calls.last().startsWith("STOP_PanTilt_ContinuousMove"));
        // Sent again after the release, a move would never be stopped.
        s.canvas.onvif_request_finished(-1);
        emit driver.send_request_finished(2);
        QTest::qWait(Canvas::kOnvifRetryMs * 2);
        QCOMPARE(driver.calls.size(), 3);
        s.canvas.onvif_request_finished(2);
        QTRY_COMPARE_WITH_TIMEOUT(driver.calls.size(), 4, 30000);
        QVERIFY(driver.calls[3].startsWith("STOP_PanTilt_ContinuousMove"));

        // The ONVIF driver's code 2 brings the stop (which this driver, without
        // a camera behind it, can only log).
        Onvif onvif(PtzCamera{});
        s.canvas.setNativePtz(&onvif);
        ptztest::LogCapture::install();
        emit onvif.send_request_finished(2);
        const bool stopped = QTest::qWaitFor([] {
            return ptztest::LogCapture::lines().contains(
                "[WARN] ONVIF :: send command :: no profile :: STOP_PanTilt_ContinuousMove");
        }, 10000);
        ptztest::LogCapture::uninstall();
        QVERIFY(stopped);
    }

    void unreachableCameraSwitchesNativeOff()
    {
        Surface s;
        DriverDouble driver;
        s.canvas.setNativePtz(&driver);
        // A camera's whole reply page shows as one short line.
        driver.report(-2, "PTZ command failed :: <html>\n<body>Error" + QString(5000, 'x'));
        QVERIFY(driver.isPtzEnabled());
        QCOMPARE(s.canvas.ptzStatusText().left(58),
                 QStringLiteral("PTZ DOUBLE : clic : PTZ command failed :: <html> <body>Err"));
        QVERIFY(s.canvas.ptzStatusText().size() < Canvas::kMaxPtzFault + 40);
        driver.report(-99, "gone");
        QVERIFY(!driver.isPtzEnabled());
        wheel(&s.canvas, 120);
        QVERIFY(driver.calls.isEmpty());
        QVERIFY(s.canvas.zoomFactor() > 1.0);
    }
};

QTEST_MAIN(TestDisplay)
#include "tst_display.moc"
