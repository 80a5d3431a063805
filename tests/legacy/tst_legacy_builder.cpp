// The timeline builder on days written here: what it marks, the length it
// estimates, the stream ids it offers and the tags it gives each hour.
#include "legacy_testutil.h"
#include "zutag.h"
#include "zutimelinethread.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace legacytest;

namespace {

// A recording of `camera` starting at `start` ("HHmmss") with one entry per
// listed time ("HHmmss" + "zzz"), in CRLF lines and a trailing blank line.
QString recording(const QString &dir, int camera, const QString &start, const QStringList &entryTimes,
                  const QStringList &streams = {QStringLiteral("video0")})
{
    const QString base = QStringLiteral("%1/%2/%3_20240101_%2").arg(dir, start).arg(camera);
    QByteArray seek;
    for (const QString &t : entryTimes) {
        for (const QString &s : streams)
            seek += "20240101" + t.toLatin1() + ':' + s.toLatin1() + ":h264:320x240:1:10\r\n";
    }
    seek += "\r\n";
    writeFile(base + QStringLiteral(".zuseek"), seek);
    writeFile(base + QStringLiteral(".zuvideo"), QByteArray(10 * entryTimes.size() * streams.size(), 'x'));
    return base + QStringLiteral(".zuvideo");
}

QList<int> marked(const QVector<quint8> &minutes)
{
    QList<int> out;
    for (int i = 0; i < minutes.size(); ++i) {
        if (minutes.at(i))
            out << i;
    }
    return out;
}

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int i = from; i <= to; ++i)
        out << i;
    return out;
}

ZuTimelineBuild build(int camera, const QFileInfoList &files, const QList<ZuTag *> &tags = {})
{
    ZuTimelinethread thread(hourLabels(), camera, files, {}, tags);
    QSignalSpy done(&thread, &QThread::finished);
    thread.start();
    if (!done.wait(20000))
        return {};
    return thread.result();
}

} // namespace

class TestLegacyBuilder : public QObject
{
    Q_OBJECT
private slots:
    void gapsGiveTheLength()
    {
        QTemporaryDir dir;
        // Camera 3 every five minutes from 08:00; the first seek file alone
        // carries two stream fields, and no seek file is needed for the length.
        const QFileInfoList files{
            QFileInfo(recording(dir.path(), 12, QStringLiteral("080000"), {QStringLiteral("080000000")})),
            QFileInfo(recording(dir.path(), 3, QStringLiteral("080000"), {QStringLiteral("080000000")},
                                {QStringLiteral("video1"), QStringLiteral("video2")})),
            QFileInfo(recording(dir.path(), 3, QStringLiteral("080500"), {QStringLiteral("080500000")})),
            QFileInfo(recording(dir.path(), 3, QStringLiteral("081000"), {QStringLiteral("081000000")})),
        };
        ZuTag inHour(QStringLiteral("1"), QStringLiteral("20240101080700"), QStringLiteral("3"), QString(), QString());
        ZuTag nextHour(QStringLiteral("2"), QStringLiteral("20240101090000"), QStringLiteral("3"), QString(), QString());
        ZuTag otherCamera(QStringLiteral("3"), QStringLiteral("20240101080700"), QStringLiteral("12"), QString(), QString());
        const ZuTimelineBuild b = build(3, files, {&inHour, &nextHour, &otherCamera});
        QCOMPARE(b.cameraId, 3);
        QCOMPARE(b.segmentMinutes, 5.0);
        QCOMPARE(marked(b.hourMinutes), range(480, 494));
        QCOMPARE(marked(b.dayMinutes), range(480, 494));
        QCOMPARE(b.streamIds, (QStringList{QStringLiteral("video1"), QStringLiteral("video2")}));
        QCOMPARE(b.hourTags.value(QStringLiteral("08:00:00 - 09:00:00")), QList<ZuTag *>{&inHour});
        QCOMPARE(b.hourTags.value(QStringLiteral("09:00:00 - 10:00:00")), QList<ZuTag *>{&nextHour});
    }

    void seekFilesGiveTheLength_data()
    {
        QTest::addColumn<QString>("lastEntry");
        QTest::addColumn<double>("minutes");
        QTest::addColumn<QList<int>>("hour8");
        QTest::newRow("40 seconds: one minute") << "080040000" << 1.0 << QList<int>{480};
        QTest::newRow("3.5 minutes") << "080330000" << 3.5 << range(480, 482);
        QTest::newRow("12 minutes: none") << "081200000" << -1.0 << QList<int>{};
    }
    void seekFilesGiveTheLength()
    {
        QFETCH(QString, lastEntry);
        QFETCH(double, minutes);
        QFETCH(QList<int>, hour8);
        QTemporaryDir tmp;
        // A folder whose name holds a data suffix: only the file's own
        // suffix names its seek file.
        const QString dir = tmp.filePath(QStringLiteral("copie.zuvideo"));
        const QFileInfoList files{QFileInfo(
            recording(dir, 3, QStringLiteral("080000"), {QStringLiteral("080000000"), lastEntry}))};
        ZuTimelinethread reader;
        const ZuFrame last = reader.seek_last_frame(dir + QStringLiteral("/080000/3_20240101_080000.zuseek"));
        QCOMPARE(last.timestamp, QStringLiteral("20240101") + lastEntry);
        QCOMPARE(last.stream_id, QStringLiteral("0"));
        QCOMPARE(last.size, 10);
        const ZuTimelineBuild b = build(3, files);
        QCOMPARE(b.segmentMinutes, minutes);
        QCOMPARE(marked(b.hourMinutes), hour8);
        QCOMPARE(b.streamIds, QStringList{QStringLiteral("video0")});
    }

    void hourEdgesAndCameraAdoption()
    {
        QTemporaryDir dir;
        // 10:58 with a 5-minute length: 58 and 59 on its own hour's row, five
        // minutes on the day slider; the last hour runs to midnight.
        const QFileInfoList files{
            QFileInfo(recording(dir.path(), 7, QStringLiteral("105800"), {QStringLiteral("105800000")})),
            QFileInfo(recording(dir.path(), 7, QStringLiteral("110300"), {QStringLiteral("110300000")})),
            QFileInfo(recording(dir.path(), 7, QStringLiteral("235800"), {QStringLiteral("235800000")})),
        };
        const ZuTimelineBuild b = build(-1, files);
        QCOMPARE(b.cameraId, 7);
        QCOMPARE(b.segmentMinutes, 5.0);
        QCOMPARE(marked(b.hourMinutes), range(658, 659) + range(663, 667) + range(1438, 1439));
        QCOMPARE(marked(b.dayMinutes), range(658, 667) + range(1438, 1439));
    }

    void unreadableSeekFiles()
    {
        QTemporaryDir dir;
        ZuTimelinethread reader;
        const ZuFrame missing = reader.seek_last_frame(dir.filePath(QStringLiteral("none.zuseek")));
        QCOMPARE(missing.timestamp, QStringLiteral(""));
        QCOMPARE(missing.size, -1);
        QVERIFY(writeFile(dir.filePath(QStringLiteral("blank.zuseek")), "\n\r\n"));
        QCOMPARE(reader.seek_last_frame(dir.filePath(QStringLiteral("blank.zuseek"))).size, -1);
        QVERIFY(writeFile(dir.filePath(QStringLiteral("junk.zuseek")), QByteArray(5000, 'z') + "\nnot:an:entry\n"));
        const ZuFrame junk = reader.seek_last_frame(dir.filePath(QStringLiteral("junk.zuseek")));
        QVERIFY(junk.timestamp.isNull());
        QVERIFY(reader.stream_ids().isEmpty());
    }
};

QTEST_MAIN(TestLegacyBuilder)
#include "tst_legacy_builder.moc"
