// The multipart frame-stream client: the byte-stream splitter fed in chunks
// of every size, the header readings, and the thread against a local
// multipart server and against the ffmpeg command line as a producer.
#include "curlglobal.h"
#include "multipartparser.h"
#include "streamframe.h"
#include "zulog.h"
#include "zustreamparser.h"

#include "../maintenance/test_support.h"
#include "multipartserver.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

using namespace streamtest;

namespace {

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

const QDateTime kStart(QDate(2024, 3, 5), QTime(10, 0));

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
    // read sniffed H.264); a part without a picture is no frame unless raw
    // frames are asked for.
    void frames()
    {
        QCOMPARE(ZuStreamParser::codecForPart("image/jpeg", {}), QString("mjpeg"));
        const QList<QByteArray> hevc = ffmpegUnits({"-c:v", "libx265", "-x265-params", "log-level=error"}, "hevc", 1);
        QVERIFY(!hevc.isEmpty());
        QCOMPARE(ZuStreamParser::codecForPart("", hevc.first()), QString("hevc"));
        QCOMPARE(ZuStreamParser::codecForPart("", QByteArray("\xff\xd8\xff", 3)), QString("mjpeg"));
        QCOMPARE(ZuStreamParser::codecForPart("text/plain", "hello"), QString());

        ZuStreamParser parser("http", "127.0.0.1", "1", "-1", "/", false, QString(), false, nullptr);
        parser.setRawFrames(true);
        QVERIFY(!parser.frameFromPart(ZuMultipartParser::Part()));
        parser.setRawFrames(false);
        ZuMultipartParser::Part garbage;
        garbage.body = "not a picture";
        QVERIFY(!parser.frameFromPart(garbage));
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
        QTest::newRow("reset") << "reset" << 0 << -1 << 1;
        QTest::newRow("HTTP 404") << "404" << 0 << 0 << 1;
        QTest::newRow("refused") << "refused" << 0 << 0 << 1;
        QTest::newRow("not multipart") << "html" << 0 << 0 << 1;
        QTest::newRow("nothing sent") << "empty" << 0 << 0 << 1;
        QTest::newRow("stopped while silent") << "silence" << 0 << 10 << 0;
    }
    void stream()
    {
        QFETCH(QString, kind);
        QFETCH(int, maxQueued);
        QFETCH(int, frames);
        QFETCH(int, errors);
        MultipartServer server;
        Script s;
        s.units = m_units;
        s.parts = kind.isEmpty() || kind.startsWith("chunked") ? 40 : kind == "empty" ? 0 : 10;
        s.start = kStart;
        s.chunked = kind.contains("chunked");
        s.lowerCaseHeaders = kind.contains("lower");
        s.end = kind == "reset" ? Script::End::Reset : kind == "silence" ? Script::End::Silence : Script::End::Close;
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
        QSignalSpy spy(parser.get(), &ZuStreamParser::error);
        parser->start();
        QDeadlineTimer deadline(30000);
        while (!parser->isFinished() && !deadline.hasExpired() && !(kind == "silence" && consumer.got.size() == 10)) {
            QVERIFY(consumer.collect() <= (maxQueued ? maxQueued : 40));
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
        QVERIFY(parser->wait(10000));
        consumer.collect();
        QCoreApplication::processEvents();
        QCOMPARE(spy.size(), errors);
        if (frames >= 0)
            QCOMPARE(consumer.got.size(), frames);
        for (int i = 0; i < consumer.got.size(); ++i) {
            const StreamFrame *f = consumer.got[i];
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(f->rawData()), f->rawDataSize()), m_units.at(i));
            QCOMPARE(QByteArray(f->timestampText()), stamp(kStart.addMSecs(i * 100)));
            QCOMPARE(f->frameTag(), QString::number(i));
            QCOMPARE(f->width(), 320);
            // From the stamps, once there are two.
            QVERIFY(i == 0 ? f->fps() < 0 : qAbs(f->fps() - 10.0) < 0.01);
        }
        QVERIFY(consumer.got.isEmpty() || consumer.got.first()->isKeyframe());
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
};

QTEST_GUILESS_MAIN(TestStreamParser)
#include "tst_streamparser.moc"
