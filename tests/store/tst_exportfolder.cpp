#include "exportfolder.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ZuExportFolder;

class TestExportFolder : public QObject
{
    Q_OBJECT

private slots:
    void folderNames()
    {
        QVERIFY(isExportFolderName("talvor_1a2b-3c4d-5e6f-7a8b"));
        QVERIFY(isExportFolderName("/media/usb/talvor_0000-ffff-09af-abcd/"));
        QVERIFY(!isExportFolderName("talvor_1A2B-3c4d-5e6f-7a8b"));
        QVERIFY(!isExportFolderName("talvor_1a2b-3c4d-5e6f-7a8"));
        QVERIFY(!isExportFolderName("talvor_1a2b-3c4d-5e6f-7a8bc"));
        QVERIFY(!isExportFolderName("talvor_1a2b_3c4d-5e6f-7a8b"));
        QVERIFY(!isExportFolderName("talvor_1a2g-3c4d-5e6f-7a8b"));
        QVERIFY(!isExportFolderName("Talvor_1a2b-3c4d-5e6f-7a8b"));
        QVERIFY(!isExportFolderName("xtalvor_1a2b-3c4d-5e6f-7a8b"));
        QVERIFY(!isExportFolderName(""));

        QVERIFY(isDayFolderName("2024-02-29"));
        QCOMPARE(dayFolderDate("/x/2024-01-15"), QDate(2024, 1, 15));
        QVERIFY(!isDayFolderName("2023-02-29"));
        QVERIFY(!isDayFolderName("2024-13-01"));
        QVERIFY(!isDayFolderName("2024-1-15"));
        QVERIFY(!isDayFolderName("2024/01/15"));
        QVERIFY(!isDayFolderName("20240115"));
        QVERIFY(!isDayFolderName("+024-01-15"));

        QVERIFY(isSegmentFolderName("000000"));
        QVERIFY(isSegmentFolderName("235959"));
        QCOMPARE(segmentFolderTime("103000"), QTime(10, 30, 0));
        QVERIFY(!isSegmentFolderName("240000"));
        QVERIFY(!isSegmentFolderName("106000"));
        QVERIFY(!isSegmentFolderName("10300"));
        QVERIFY(!isSegmentFolderName("10:30:00"));
        QVERIFY(!isSegmentFolderName("-10300"));
    }

    void recordingNames()
    {
        int cam = -1;
        QDate date;
        QTime time;
        QVERIFY(parseRecordingName("3_20240115_100000.zuvideo", &cam, &date, &time));
        QCOMPARE(cam, 3);
        QCOMPARE(date, QDate(2024, 1, 15));
        QCOMPARE(time, QTime(10, 0, 0));
        QVERIFY(parseRecordingName("/a/b/12_20240115_235959.zuaudio", &cam, nullptr, &time));
        QCOMPARE(cam, 12);
        QCOMPARE(time, QTime(23, 59, 59));
        QVERIFY(parseRecordingName("2147483647_20240115_100000.zuseek", &cam, nullptr, nullptr));
        QCOMPARE(cam, 2147483647);
        QVERIFY(parseRecordingName("0_20240115_100000.ZUAUDIOSEEK", nullptr, nullptr, nullptr));

        cam = -7;
        const QStringList bad = {
            "3_20240115_100000.zutag", "3_20240115_100000.mp4", "3_20240115_100000",
            "2147483648_20240115_100000.zuvideo", "x_20240115_100000.zuvideo", "_20240115_100000.zuvideo",
            "3_20240132_100000.zuvideo", "3_20240115_250000.zuvideo", "3_2024011_100000.zuvideo",
            "3_20240115_100000_extra.zuvideo", "3-20240115-100000.zuvideo", ".zuvideo", "",
            "-3_20240115_100000.zuvideo"};
        for (const QString &name : bad)
            QVERIFY2(!parseRecordingName(name, &cam, &date, &time), qPrintable(name));
        QCOMPARE(cam, -7);

        QVERIFY(isRecordingName("3_20240115_100000.zuvideo"));
        QVERIFY(!isRecordingName("3_20240115_100000.zuseek"));
        QVERIFY(isSeekName("3_20240115_100000.zuaudioseek"));
        QCOMPARE(classify("3_20240115_100000.zuaudio").kind, FileKind::Audio);
        QCOMPARE(classify("3_20240115_100000.zuaudioseek").kind, FileKind::AudioSeek);
    }

    void eventAndListNames()
    {
        NameInfo n = classify("3_20240105_103000_motion-thumb.jpg");
        QCOMPARE(n.kind, FileKind::AlarmThumbnail);
        QCOMPARE(n.cameraId, 3);
        QCOMPARE(n.date, QDate(2024, 1, 5));
        QCOMPARE(n.time, QTime(10, 30, 0));
        QCOMPARE(n.alarmKind, QString("motion"));

        n = classify("12_20240105_103000_intrusion.JPG");
        QCOMPARE(n.kind, FileKind::AlarmPicture);
        QCOMPARE(n.alarmKind, QString("intrusion"));
        QVERIFY(isAlarmPictureName("12_20240105_103000_intrusion.jpg"));
        QVERIFY(isAlarmThumbnailName("12_20240105_103000_intrusion-thumb.jpg"));
        QVERIFY(!isAlarmPictureName("12_20240105_103000_intrusion-thumb.jpg"));

        n = classify("3_20240105_103000_preview.jpg");
        QCOMPARE(n.kind, FileKind::Preview);
        QVERIFY(n.alarmKind.isEmpty());
        QVERIFY(isPreviewName("/x/3_20240105_103000_preview.jpg"));
        QVERIFY(!isAlarmPictureName("3_20240105_103000_preview.jpg"));

        n = classify("3_20240105_103000.zutag");
        QCOMPARE(n.kind, FileKind::Tag);
        QCOMPARE(n.cameraId, 3);
        QVERIFY(isTagName("3_20240105_103000.zutag"));

        QCOMPARE(classify("index.zunfo").kind, FileKind::CameraListIndex);
        QCOMPARE(classify("103000.zunfo").kind, FileKind::CameraList);
        QVERIFY(isCameraListName("/d/2024-01-05/index.zunfo"));

        const QStringList unknown = {
            "3_20240105_103000_.jpg", "3_20240105_103000_-thumb.jpg", "3_20240105_103000_preview-thumb.jpg",
            "3_20240105_103000_mo_tion.jpg", "3_20240105_103000_mo tion.jpg", "3_20240105_103000.jpg",
            "3_20240105_1030_motion.jpg", "a_20240105_103000_motion.jpg", "3_20240105_103000_motion.png",
            "hash.json", "zuvideoindex.json", "3_2024010_103000.zutag", "", "/", ".jpg", "___.jpg"};
        for (const QString &name : unknown)
            QVERIFY2(classify(name).kind == FileKind::Unknown, qPrintable(name));
    }

    void buildersMatchParsers()
    {
        const QDate d(2024, 3, 5);
        const QTime t(14, 2, 7);
        QCOMPARE(baseName(3, d, t), QString("3_20240305_140207"));
        QCOMPARE(videoFileName(3, d, t), QString("3_20240305_140207.zuvideo"));
        QCOMPARE(audioFileName(3, d, t), QString("3_20240305_140207.zuaudio"));
        QCOMPARE(tagFileName(12, d, t), QString("12_20240305_140207.zutag"));
        QCOMPARE(alarmThumbnailName(3, d, t, "motion"), QString("3_20240305_140207_motion-thumb.jpg"));
        QCOMPARE(classify(alarmPictureName(3, d, t, "motion")).kind, FileKind::AlarmPicture);
        QCOMPARE(classify(previewName(3, d, t)).kind, FileKind::Preview);
        QCOMPARE(classify(tagFileName(3, d, t)).time, t);
    }

    void exportRootIsFoundAbove()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString root = dir.filePath("talvor_1a2b-3c4d-5e6f-7a8b");
        QVERIFY(QDir().mkpath(root + "/2024-01-15/100000"));
        QCOMPARE(exportRootOf(root + "/2024-01-15/100000"), root);
        QCOMPARE(exportRootOf(root + "/2024-01-15/100000/3_20240115_100000.zuvideo"), root);
        QCOMPARE(exportRootOf(root), root);
        QVERIFY(exportRootOf(dir.path()).isEmpty());
        QVERIFY(exportRootOf(QString()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestExportFolder)
#include "tst_exportfolder.moc"
