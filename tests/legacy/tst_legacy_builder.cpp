// The timeline builder on days written here: what it marks, the length it
// estimates, the stream ids it offers and the tags it gives each hour.
#include "legacy_testutil.h"
#include "zutag.h"
#include "zutimelinethread.h"

#include <QSignalSpy>
#include <QTemporaryDir>

using namespace legacytest;

namespace {

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int i = from; i <= to; ++i)
        out << i;
    return out;
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

} // namespace

class TestLegacyBuilder : public QObject
{
    Q_OBJECT
private slots:
    void build_data()
    {
        // Each recording: "camera start entry..." and, after "|", its streams.
        QTest::addColumn<QStringList>("recordings");
        QTest::addColumn<int>("camera"); // asked for; -1: the first file's
        QTest::addColumn<int>("built");
        QTest::addColumn<double>("minutes");
        QTest::addColumn<QList<int>>("hourMarks");
        QTest::addColumn<QList<int>>("dayMarks");
        QTest::addColumn<QStringList>("streams");
        // No seek file is needed for the length, so the streams come from
        // the camera's first seek file alone.
        QTest::newRow("5-minute gaps") << QStringList{"12 080000 080000000", "3 080000 080000000 | video1 video2",
                                                      "3 080500 080500000", "3 081000 081000000"}
                                       << 3 << 3 << 5.0 << range(480, 494) << range(480, 494)
                                       << QStringList{"video1", "video2"};
        QTest::newRow("40 s in the seek file: one minute") << QStringList{"3 080000 080000000 080040000"} << 3 << 3
                                                           << 1.0 << range(480, 480) << range(480, 480)
                                                           << QStringList{"video0"};
        QTest::newRow("3.5 minutes") << QStringList{"3 080000 080000000 080330000"} << 3 << 3 << 3.5 << range(480, 482)
                                     << range(480, 482) << QStringList{"video0"};
        QTest::newRow("12 minutes: no length") << QStringList{"3 080000 080000000 081200000"} << 3 << 3 << -1.0
                                               << QList<int>() << QList<int>() << QStringList{"video0"};
        // 10:58 runs over the hour: 58 and 59 on its own hour's row, five
        // minutes on the day slider; the last hour runs to midnight. The
        // camera of the first file is built, with its tags.
        QTest::newRow("over the hour, camera adopted")
            << QStringList{"3 105800 105800000", "3 110300 110300000", "3 235800 235800000"} << -1 << 3 << 5.0
            << range(658, 659) + range(663, 667) + range(1438, 1439) << range(658, 667) + range(1438, 1439)
            << QStringList{"video0"};
    }
    void build()
    {
        QFETCH(QStringList, recordings);
        QFETCH(int, camera);
        QTemporaryDir tmp;
        // A folder whose name holds a data suffix: only the file's own
        // suffix names its seek file.
        const QString dir = tmp.filePath(QStringLiteral("copie.zuvideo"));
        QFileInfoList files;
        for (const QString &r : recordings) {
            const QStringList f = r.section(QLatin1Char('|'), 0, 0).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            const QStringList streams = r.section(QLatin1Char('|'), 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            files << QFileInfo(writeRecording(dir, QStringLiteral("20240101"), f.at(0).toInt(), f.at(1), f.mid(2),
                                              streams.isEmpty() ? QStringList{QStringLiteral("video0")} : streams));
        }
        // Camera 3's tags at 08:07, at 09:00 and in the last hour; others of
        // another camera, of none and with a broken time.
        QList<ZuTag> tags;
        for (const char *t : {"080700 3", "090000 3", "233000 3", "080700 12", "103000 ", "10300x 3"})
            tags << ZuTag(QStringLiteral("1"), QStringLiteral("20240101") + QString::fromLatin1(t).section(QLatin1Char(' '), 0, 0),
                          QString::fromLatin1(t).section(QLatin1Char(' '), 1), QString(), QString());
        QList<ZuTag *> given;
        for (ZuTag &t : tags)
            given << &t;
        ZuTimelinethread thread(hourLabels(), camera, files, {}, given);
        QSignalSpy done(&thread, &QThread::finished);
        thread.start();
        QVERIFY(done.wait(20000));
        const ZuTimelineBuild b = thread.result();
        QTEST(b.cameraId, "built");
        QTEST(b.segmentMinutes, "minutes");
        QTEST(marked(b.hourMinutes), "hourMarks");
        QTEST(marked(b.dayMinutes), "dayMarks");
        QTEST(b.streamIds, "streams");
        const bool three = b.cameraId == 3;
        int listed = 0;
        for (const QList<ZuTag *> &hour : b.hourTags)
            listed += hour.size();
        QCOMPARE(listed, three ? 3 : 0);
        QCOMPARE(b.hourTags.value(QStringLiteral("08:00:00 - 09:00:00")), three ? given.mid(0, 1) : QList<ZuTag *>());
        QCOMPARE(b.hourTags.value(QStringLiteral("09:00:00 - 10:00:00")), three ? given.mid(1, 1) : QList<ZuTag *>());
        QCOMPARE(b.hourTags.value(QStringLiteral("23:00:00 - 00:00:00")), three ? given.mid(2, 1) : QList<ZuTag *>());
    }

    // Missing, blank and junk seek files (a line longer than any entry):
    // no entry and no stream.
    void unreadableSeekFiles()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("blank.zuseek")), "\n\r\n"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("junk.zuseek")), QByteArray(5000, 'z') + "\nnot:an:entry\n"));
        ZuTimelinethread reader;
        for (const char *name : {"none.zuseek", "blank.zuseek", "junk.zuseek"}) {
            const ZuFrame f = reader.seek_last_frame(dir.filePath(QLatin1String(name)));
            QVERIFY2((f.timestamp.isEmpty() && f.size == -1) || f.timestamp.isNull(), name);
        }
        QVERIFY(reader.stream_ids().isEmpty());
    }
};

QTEST_MAIN(TestLegacyBuilder)
#include "tst_legacy_builder.moc"
