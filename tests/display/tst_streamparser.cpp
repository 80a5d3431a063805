// The multipart frame-stream client: the byte-stream splitter fed in chunks
// of every size, the header readings, and the thread against a local
// multipart server and against the ffmpeg command line as a producer.
#include "curlglobal.h"
#include "multipartparser.h"
#include "streamframe.h"
#include "zulog.h"
#include "zustreamparser.h"

#include "multipartserver.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

using namespace streamtest;

namespace {

struct Expected {
    QByteArray body;
    QByteArray timestamp;
};

QList<Expected> split(const QByteArray &stream, const QByteArray &boundary, qsizetype chunk, bool finish,
                      QString *failure = nullptr)
{
    ZuMultipartParser parser(boundary);
    QList<Expected> out;
    for (qsizetype i = 0; i < stream.size(); i += chunk) {
        parser.feed(stream.mid(i, chunk));
        while (parser.hasParts()) {
            const auto p = parser.takePart();
            out.append({p.body, p.header("timestamp")});
        }
    }
    if (finish)
        parser.finish();
    while (parser.hasParts()) {
        const auto p = parser.takePart();
        out.append({p.body, p.header("timestamp")});
    }
    if (failure)
        *failure = parser.failure();
    return out;
}

// A consumer of the parser's queue, as a worker holds it.
struct Consumer {
    QMutex lock;
    std::deque<StreamFrame *> queue;
    ~Consumer() { clear(); }
    void clear()
    {
        QMutexLocker l(&lock);
        for (StreamFrame *f : queue)
            delete f;
        queue.clear();
    }
    QList<StreamFrame *> take()
    {
        QMutexLocker l(&lock);
        QList<StreamFrame *> out(queue.begin(), queue.end());
        queue.clear();
        return out;
    }
    int size()
    {
        QMutexLocker l(&lock);
        return int(queue.size());
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

} // namespace

class TestStreamParser : public QObject
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
    // producers send.
    void splitting_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("boundary");
        QTest::addColumn<QList<QByteArray>>("bodies");
        QTest::addColumn<QByteArray>("firstTimestamp");
        const QByteArray a = "\xff\xd8 first\r\n--myboundar not yet\r\n\r\nstill first";
        const QByteArray b = "second";
        QTest::newRow("lengths") << QByteArray("--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: "
                                               + QByteArray::number(a.size()) + "\r\nTimestamp: 1\r\n\r\n" + a
                                               + "\r\n--myboundary\r\nContent-Length: 6\r\n\r\n" + b + "\r\n")
                                 << QByteArray("myboundary") << QList<QByteArray>{a, b} << QByteArray("1");
        QTest::newRow("no lengths, header names in any case")
            << QByteArray("--myboundary\r\nTIMESTAMP: 2\r\n\r\n" + a + "\r\n--myboundary\r\n\r\n" + b
                          + "\r\n--myboundary--\r\nepilogue")
            << QByteArray("--myboundary") << QList<QByteArray>{a, b} << QByteArray("2");
        QTest::newRow("bare line feeds, boundary from the stream")
            << QByteArray("preamble\n--abc\ntimestamp: 3\n\n" + a + "\n--abc\nContent-length: 6\n\n" + b + "\n--abc\n")
            << QByteArray() << QList<QByteArray>{a, b} << QByteArray("3");
        QTest::newRow("a length too short, junk skipped")
            << QByteArray("--myboundary\r\nContent-Length: 3\r\n\r\n" + a + "\r\n--myboundary\r\n\r\n" + b
                          + "\r\n----myboundary  \r\n")
            << QByteArray("myboundary") << QList<QByteArray>{a.left(3), b} << QByteArray();
        QTest::newRow("empty part") << QByteArray("--b\r\n\r\n--b\r\nContent-Length: 6\r\n\r\n" + b + "--b--")
                                    << QByteArray("b") << QList<QByteArray>{QByteArray(), b} << QByteArray();
        const QByteArray padded = "x\r\n--b" + QByteArray(70, ' ') + "\r\ny";
        QTest::newRow("a delimiter padded past the line limit is body data")
            << QByteArray("--b\r\n\r\n" + padded + "\r\n--b--\r\n") << QByteArray("b") << QList<QByteArray>{padded}
            << QByteArray();
    }
    void splitting()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, boundary);
        QFETCH(QList<QByteArray>, bodies);
        QFETCH(QByteArray, firstTimestamp);
        for (qsizetype chunk : {qsizetype(1), qsizetype(2), qsizetype(5), qsizetype(64), stream.size()}) {
            QString failure;
            const QList<Expected> parts = split(stream, boundary, chunk, false, &failure);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
            QList<QByteArray> got;
            for (const Expected &e : parts)
                got << e.body;
            QCOMPARE(got, bodies);
            QCOMPARE(parts.first().timestamp, firstTimestamp);
        }
    }

    // A body that runs to a clean end of the stream is the last part; limits
    // fail a stream that is not multipart or parts beyond reason.
    void endsAndLimits()
    {
        QCOMPARE(split("--x\r\n\r\nlast body\r\n", "x", 3, true).size(), 1);
        QCOMPARE(split("--x\r\n\r\nlast body\r\n", "x", 3, true).first().body, QByteArray("last body"));
        QCOMPARE(split("--x\r\n\r\nlast body", "x", 3, false).size(), 0);

        QString failure;
        split(QByteArray(200000, 'a').replace(0, 1, "<") + "\n", QByteArray(), 4096, false, &failure);
        QVERIFY(failure.contains("boundary"));
        split("--x\r\n" + QByteArray(40000, 'h') + "\r\n", "x", 1000, false, &failure);
        QVERIFY(failure.contains("headers"));
        split("--x\r\nContent-Length: 999999999999\r\n\r\n", "x", 7, false, &failure);
        QVERIFY(failure.contains("exceeds"));
        ZuMultipartParser parser("x");
        QVERIFY(!parser.feed("--x\r\nContent-Length: 99999999999\r\n\r\n"));
        QVERIFY(!parser.feed("more"));
        QCOMPARE(ZuMultipartParser::boundaryFromContentType("multipart/x-mixed-replace;boundary=\"--myboundary\""),
                 QByteArray("myboundary"));
        QCOMPARE(ZuMultipartParser::boundaryFromContentType("application/octet-stream"), QByteArray());
    }

    void timestamps_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("expected"); // empty: unreadable
        QTest::newRow("own form") << QByteArray("2024-03-05 14:00:02.500") << QByteArray("2024-03-05 14:00:02.500");
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

    // The decoder follows the part type, else the bytes; parts without a
    // timestamp are stamped at arrival; the frame rate comes from the stamps.
    void frames()
    {
        QCOMPARE(ZuStreamParser::codecForPart("image/jpeg", {}), QString("mjpeg"));
        QCOMPARE(ZuStreamParser::codecForPart("application/octet-stream", m_units.first()), QString("h264"));
        const QList<QByteArray> hevc = ffmpegUnits({"-c:v", "libx265", "-x265-params", "log-level=error"}, "hevc", 1);
        QVERIFY(!hevc.isEmpty());
        QCOMPARE(ZuStreamParser::codecForPart("", hevc.first()), QString("hevc"));
        QCOMPARE(ZuStreamParser::codecForPart("", QByteArray("\xff\xd8\xff", 3)), QString("mjpeg"));
        QCOMPARE(ZuStreamParser::codecForPart("text/plain", "hello"), QString());

        ZuStreamParser parser("http", "127.0.0.1", "1", "-1", "/", false, QString(), false, nullptr);
        parser.setRawFrames(true);
        const QDateTime start(QDate(2024, 3, 5), QTime(10, 0));
        QList<StreamFrame *> frames;
        for (int i = 0; i < 5; ++i) {
            ZuMultipartParser::Part part;
            part.headers = {{"Content-Type", "video/H264"}, {"Frametag", QByteArray::number(i)}};
            if (i < 4)
                part.headers.append({"Timestamp", stamp(start.addMSecs(i * 100))});
            part.body = m_units.at(i);
            frames.append(parser.frameFromPart(part));
        }
        QCOMPARE(frames.at(0)->fps(), -1.0);
        QVERIFY(qAbs(frames.at(3)->fps() - 10.0) < 0.01);
        QCOMPARE(frames.at(2)->width(), 320);
        QVERIFY(frames.at(0)->isKeyframe());
        QCOMPARE(frames.at(2)->frameTag(), QString("2"));
        QCOMPARE(frames.at(2)->rawDataSize(), 0); // no raw copy asked for
        const QDateTime arrival = QDateTime::fromString(frames.at(4)->timestampText(), "yyyy-MM-dd HH:mm:ss.zzz");
        QVERIFY(qAbs(arrival.secsTo(QDateTime::currentDateTime())) < 5);
        qDeleteAll(frames);
        ZuMultipartParser::Part empty;
        QVERIFY(!parser.frameFromPart(empty));
        parser.setRawFrames(false);
        ZuMultipartParser::Part garbage;
        garbage.body = "not a picture";
        QVERIFY(!parser.frameFromPart(garbage));
    }

    // Against the local server: every part arrives in order, with its
    // bytes and stamp, whatever the transfer coding and header case; a
    // full queue holds the stream back without losing parts.
    void stream_data()
    {
        QTest::addColumn<bool>("chunked");
        QTest::addColumn<bool>("lower");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<int>("maxQueued");
        QTest::newRow("plain") << false << false << QByteArray("multipart/x-mixed-replace; boundary=myboundary") << 0;
        QTest::newRow("chunked, lower case, dashes")
            << true << true << QByteArray("multipart/x-mixed-replace;boundary=--myboundary") << 0;
        QTest::newRow("no boundary announced, small queue") << true << false << QByteArray("application/octet-stream")
                                                            << 4;
    }
    void stream()
    {
        QFETCH(bool, chunked);
        QFETCH(bool, lower);
        QFETCH(QByteArray, contentType);
        QFETCH(int, maxQueued);
        MultipartServer server;
        Script s;
        s.units = m_units;
        s.parts = 40;
        s.start = QDateTime(QDate(2024, 3, 5), QTime(10, 0));
        s.chunked = chunked;
        s.lowerCaseHeaders = lower;
        s.contentType = contentType;
        server.scripts = {s};
        QVERIFY(server.start());
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser(makeParser(server.port(), consumer));
        parser->setMaxQueuedFrames(maxQueued);
        QSignalSpy errors(parser.get(), &ZuStreamParser::error);
        parser->start();
        QList<StreamFrame *> got;
        QDeadlineTimer deadline(30000);
        while (got.size() < 40 && !deadline.hasExpired()) {
            if (maxQueued > 0)
                QVERIFY(consumer.size() <= maxQueued);
            got += consumer.take();
            QTest::qWait(maxQueued > 0 ? 50 : 10);
        }
        QTRY_VERIFY_WITH_TIMEOUT(parser->isFinished(), 10000);
        got += consumer.take();
        QCOMPARE(got.size(), 40);
        for (int i = 0; i < got.size(); ++i) {
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(got[i]->rawData()), got[i]->rawDataSize()),
                     m_units.at(i));
            QCOMPARE(QByteArray(got[i]->timestampText()), stamp(s.start.addMSecs(i * 100)));
            QCOMPARE(got[i]->width(), 320);
        }
        qDeleteAll(got);
        QCOMPARE(errors.size(), 0);
    }

    // Failures are reported once; a stop is no failure and ends the thread
    // while the server stays silent.
    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("errors");
        QTest::newRow("reset") << "reset" << 1;
        QTest::newRow("HTTP 404") << "404" << 1;
        QTest::newRow("refused") << "refused" << 1;
        QTest::newRow("not multipart") << "html" << 1;
        QTest::newRow("nothing sent") << "empty" << 1;
        QTest::newRow("stopped while silent") << "silence" << 0;
    }
    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(int, errors);
        MultipartServer server;
        Script s;
        s.units = m_units;
        s.parts = 10;
        s.start = QDateTime::currentDateTime();
        s.end = kind == "reset" ? Script::End::Reset : kind == "silence" ? Script::End::Silence : Script::End::Close;
        if (kind == "404")
            s.status = 404;
        if (kind == "empty")
            s.parts = 0;
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
        QSignalSpy spy(parser.get(), &ZuStreamParser::error);
        parser->start();
        if (kind == "silence") {
            QTRY_COMPARE_WITH_TIMEOUT(consumer.size(), 10, 20000);
            QTest::qWait(300);
            QVERIFY(parser->isRunning());
            QElapsedTimer t;
            t.start();
            parser->threadStop(false);
            QVERIFY(parser->wait(5000));
            QVERIFY(t.elapsed() < 2000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(parser->isFinished(), 20000);
        QCoreApplication::processEvents();
        QCOMPARE(spy.size(), errors);
    }

    // The ffmpeg command line as a producer: chunked HTTP/1.1, its own
    // "Content-type", no boundary announced and no timestamps.
    void ffmpegProducer()
    {
        const quint16 port = freePort();
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                "testsrc=size=320x240:rate=10", "-t", "60", "-f", "mpjpeg", "-boundary_tag",
                                "myboundary", "-listen", "1", QString("http://127.0.0.1:%1/s").arg(port)});
        QVERIFY(ffmpeg.waitForStarted());
        Consumer consumer;
        std::unique_ptr<ZuStreamParser> parser;
        QSignalSpy *spy = nullptr;
        // ffmpeg listens a moment after it starts: connect until it answers.
        QList<StreamFrame *> got;
        QDeadlineTimer deadline(30000);
        while (got.size() < 12 && !deadline.hasExpired()) {
            if (!parser || parser->isFinished()) {
                delete spy;
                parser.reset(makeParser(QString::number(port), consumer, "/s"));
                parser->setRawCopy(false);
                parser->setMaxQueuedFrames(30);
                spy = new QSignalSpy(parser.get(), &ZuStreamParser::error);
                parser->start();
            }
            QTest::qWait(100);
            got += consumer.take();
        }
        QCOMPARE(spy->size(), 0);
        delete spy;
        parser.reset();
        ffmpeg.kill();
        ffmpeg.waitForFinished();
        QVERIFY(got.size() >= 12);
        QByteArray previous;
        for (StreamFrame *f : got) {
            QVERIFY(f->avFrame());
            QCOMPARE(f->width(), 320);
            QCOMPARE(f->height(), 240);
            QVERIFY(QByteArray(f->timestampText()) >= previous);
            previous = f->timestampText();
        }
        // Stamped at arrival, about one tenth of a second apart.
        QVERIFY(got.last()->fps() > 3 && got.last()->fps() < 30);
        qDeleteAll(got);
    }
};

QTEST_GUILESS_MAIN(TestStreamParser)
#include "tst_streamparser.moc"
