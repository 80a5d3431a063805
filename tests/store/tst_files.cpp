// The export folder's names, seek files, camera lists and markers: crafted
// and hostile files must give the right offsets and names or a clean refusal,
// never a crash or a hang.
#include "../core/opensslcli.h"
#include "dayscan.h"
#include "encrypt.h"
#include "exportfolder.h"
#include "seekfile.h"
#include "zufile.h"
#include "zutag.h"

#include <QRandomGenerator>
#include <QScopeGuard>
#include <QThreadPool>
#include <QtConcurrentRun>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <future>
#include <memory>

using namespace ZuExportFolder;
using CameraHash = QHash<int, QString>;
using Offsets = QList<qint64>;

namespace {
// One seek-file line of `stream` for a frame of `size` bytes.
QByteArray entry(int size, const QByteArray &stream = "video0")
{
    const QByteArray fields = stream.startsWith("audio") ? ":aac:" : ":h264:8x8:1:";
    return "20240115100000000:" + stream + fields + QByteArray::number(size) + '\n';
}

// True when `read` is still blocked on the named pipe `fifo` after three
// seconds; the pipe is then opened for writing so that the read ends.
bool blocksOn(const QString &fifo, const std::function<void()> &read)
{
    auto done = std::async(std::launch::async, read);
    if (done.wait_for(std::chrono::seconds(3)) == std::future_status::ready)
        return false;
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    done.wait();
    return true;
}
} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_counter = 0;

    QString fresh(const QString &suffix) { return m_dir.filePath(QStringLiteral("3_20240115_%1").arg(100000 + ++m_counter) + suffix); }

    static void writeRaw(const QString &file, const QByteArray &bytes)
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), qint64(bytes.size()));
    }

    // A seek file holding `text` and, unless `dataBytes` is negative, a data
    // file of that many bytes beside it.
    QString makeSeek(const QByteArray &text, qint64 dataBytes, const QString &suffix = QStringLiteral(".zuseek"))
    {
        const QString seek = fresh(suffix);
        writeRaw(seek, text);
        QFile d(ZuSeekFile::dataPathFor(seek));
        if (dataBytes >= 0 && !(d.open(QIODevice::WriteOnly) && d.resize(dataBytes)))
            qFatal("cannot write the data file");
        return seek;
    }

    QString encrypted(const QByteArray &plain, const QString &suffix)
    {
        const QString file = fresh(suffix);
        writeRaw(file, Encrypt::encrypt(plain));
        return file;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void folderNames()
    {
        for (const char *n : {"talvor_1a2b-3c4d-5e6f-7a8b", "/media/usb/talvor_0000-ffff-09af-abcd/"})
            QVERIFY2(isExportFolderName(n), n);
        for (const char *n : {"talvor_1A2B-3c4d-5e6f-7a8b", "talvor_1a2b-3c4d-5e6f-7a8", "talvor_1a2b-3c4d-5e6f-7a8bc",
                              "talvor_1a2b_3c4d-5e6f-7a8b", "talvor_1a2g-3c4d-5e6f-7a8b", "Talvor_1a2b-3c4d-5e6f-7a8b", ""})
            QVERIFY2(!isExportFolderName(n), n);
        QCOMPARE(dayFolderDate("/x/2024-02-29"), QDate(2024, 2, 29));
        for (const char *n : {"2023-02-29", "2024-13-01", "2024-1-15", "20240115", "+024-01-15"})
            QVERIFY2(!isDayFolderName(n), n);
        QCOMPARE(segmentFolderTime("235959"), QTime(23, 59, 59));
        for (const char *n : {"240000", "106000", "10300", "-10300"})
            QVERIFY2(!isSegmentFolderName(n), n);

        QTemporaryDir dir;
        const QString root = dir.filePath("talvor_1a2b-3c4d-5e6f-7a8b");
        QVERIFY(QDir().mkpath(root + "/2024-01-15/100000"));
        QCOMPARE(exportRootOf(root + "/2024-01-15/100000/3_20240115_100000.zuvideo"), root);
        QCOMPARE(exportRootOf(root), root);
        QVERIFY(exportRootOf(dir.path()).isEmpty());
        QVERIFY(exportRootOf(QString()).isEmpty());
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<FileKind>("kind");
        QTest::addColumn<int>("camera");
        QTest::addColumn<QString>("stamp"); // date and time of the name, "yyyyMMddHHmmss"
        QTest::addColumn<QString>("alarm");
        QTest::addColumn<QString>("lead"); // the stamp a name starts with, "yyyyMMddHHmmss"
        QTest::newRow("video") << "3_20240115_100000.zuvideo" << FileKind::Video << 3 << "20240115100000" << "" << "20240115100000";
        QTest::newRow("audio in a path") << "/a/b/12_20240229_235959.zuaudio" << FileKind::Audio << 12 << "20240229235959" << "" << "20240229235959";
        QTest::newRow("largest camera") << "2147483647_20240115_100000.zuseek" << FileKind::VideoSeek << INT_MAX << "20240115100000" << "" << "20240115100000";
        QTest::newRow("capitals") << "0_20240115_100000.ZUAUDIOSEEK" << FileKind::AudioSeek << 0 << "20240115100000" << "" << "20240115100000";
        QTest::newRow("marker") << "3_20240105_103000.zutag" << FileKind::Tag << 3 << "20240105103000" << "" << "20240105103000";
        QTest::newRow("thumbnail") << "3_20240105_103000_motion-thumb.jpg" << FileKind::AlarmThumbnail << 3 << "20240105103000" << "motion" << "20240105103000";
        QTest::newRow("alarm") << "12_20240105_103000_intrusion.JPG" << FileKind::AlarmPicture << 12 << "20240105103000" << "intrusion" << "20240105103000";
        QTest::newRow("preview") << "3_20240105_103000_preview.jpg" << FileKind::Preview << 3 << "20240105103000" << "" << "20240105103000";
        QTest::newRow("index") << "/d/2024-01-05/index.zunfo" << FileKind::CameraListIndex << -1 << "" << "" << "";
        QTest::newRow("camera list") << "103000.zunfo" << FileKind::CameraList << -1 << "" << "" << "";
        // The names the program builds are the names it reads.
        const QDate d(2024, 3, 5);
        const QTime t(14, 2, 7);
        QTest::newRow("built video") << videoFileName(7, d, t) << FileKind::Video << 7 << "20240305140207" << "" << "20240305140207";
        QTest::newRow("built audio") << audioFileName(7, d, t) << FileKind::Audio << 7 << "20240305140207" << "" << "20240305140207";
        QTest::newRow("built marker") << tagFileName(7, d, t) << FileKind::Tag << 7 << "20240305140207" << "" << "20240305140207";
        QTest::newRow("built alarm") << alarmPictureName(7, d, t, "line") << FileKind::AlarmPicture << 7 << "20240305140207" << "line" << "20240305140207";
        QTest::newRow("built thumbnail") << alarmThumbnailName(7, d, t, "line") << FileKind::AlarmThumbnail << 7 << "20240305140207" << "line" << "20240305140207";
        QTest::newRow("built preview") << previewName(7, d, t) << FileKind::Preview << 7 << "20240305140207" << "" << "20240305140207";
        const char *bad[] = {"2147483648_20240115_100000.zuvideo", "-3_20240115_100000.zuvideo",
                             "_20240115_100000.zuvideo", "3_20240132_100000.zuvideo", "3_20240115_250000.zuvideo",
                             "3_2024011_100000.zuvideo", "3-20240115-100000.zuvideo", ".zuvideo", "/",
                             "a_20240105_103000_motion.jpg", "3_20240105_1030001.jpg", "x3_20240105_103000.jpg",
                             "___.jpg", "hash.json"};
        for (const char *name : bad)
            QTest::newRow(name) << name << FileKind::Unknown << -1 << "" << "" << "";
        // Names of no known kind that still start with a recording second.
        const char *led[] = {"3_20240105_103000_extra.zuvideo", "3_20240105_103000.mp4", "3_20240105_103000_.jpg",
                             "3_20240105_103000_-thumb.jpg", "3_20240105_103000_preview-thumb.jpg",
                             "3_20240105_103000_mo tion.jpg", "3_20240105_103000.jpg", "3_20240105_103000-thumb.jpg",
                             "3_20240105_103000"};
        for (const char *name : led)
            QTest::newRow(name) << name << FileKind::Unknown << -1 << "" << "" << "20240105103000";
    }

    void fileNames()
    {
        QFETCH(QString, name);
        QFETCH(FileKind, kind);
        QFETCH(int, camera);
        QFETCH(QString, stamp);
        QFETCH(QString, alarm);
        const NameInfo info = classify(name);
        QCOMPARE(info.kind, kind);
        QCOMPARE(info.cameraId, camera);
        QCOMPARE(info.date.toString("yyyyMMdd") + info.time.toString("HHmmss"), stamp);
        QCOMPARE(info.alarmKind, alarm);
        QFETCH(QString, lead);
        QDate date;
        QTime time;
        QCOMPARE(parseStamp(name, nullptr, &date, &time), !lead.isEmpty());
        QCOMPARE(date.toString("yyyyMMdd") + time.toString("HHmmss"), lead);
        int cam = -7; // left alone unless the name is a recording's
        const bool recording = kind == FileKind::Video || kind == FileKind::Audio || kind == FileKind::VideoSeek
                               || kind == FileKind::AudioSeek;
        QCOMPARE(parseRecordingName(name, &cam, nullptr, nullptr), recording);
        QCOMPARE(cam, recording ? camera : -7);
    }

    void seekPathsPairInAnyCase()
    {
        // The folder listing takes suffixes in any case; the pairing keeps
        // the file's own case and leaves the folders alone.
        const QList<QPair<QString, QString>> pairs = {
            {"/a/x.zuvideo", "/a/x.zuseek"}, {"/a/x.zuaudio", "/a/x.zuaudioseek"},
            {"/A.zuvideo/x.ZUVIDEO", "/A.zuvideo/x.ZUSEEK"}, {"/a/x.ZuVideo", "/a/x.ZuSeek"},
            {"/a/x.ZUAUDIO", "/a/x.ZUAUDIOSEEK"}, {"/a/x.zuAudio", "/a/x.zuAudioseek"}};
        for (const auto &p : pairs) {
            QCOMPARE(ZuSeekFile::seekPathFor(p.first), p.second);
            QCOMPARE(ZuSeekFile::dataPathFor(p.second), p.first);
        }
        QVERIFY(ZuSeekFile::seekPathFor("/a/x.mp4").isEmpty());
        QVERIFY(ZuSeekFile::dataPathFor("/a/x.zuvideo").isEmpty());
        // A copy from a case-insensitive disk is read through its seek file.
        const QString seek = makeSeek(entry(10), 10, QStringLiteral(".ZUSEEK"));
        QCOMPARE(classify(ZuSeekFile::dataPathFor(seek)).kind, FileKind::Video);
        QCOMPARE(ZuSeekFile::parse(seek, QString()).frames.size(), 1);
    }

    void seekFileOffsets_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("dataBytes"); // -1: no data file
        QTest::addColumn<QString>("stream");
        QTest::addColumn<Offsets>("offsets");
        QTest::addColumn<int>("malformed");
        QTest::addColumn<bool>("truncated");
        const QByteArray two = entry(10) + entry(5);
        QTest::newRow("LF") << two << 15 << "" << Offsets{0, 10} << 0 << false;
        QTest::newRow("CRLF, trailing blanks") << QByteArray(two).replace("\n", "\r\n") + "\r\n \r\n" << 15 << ""
                                               << Offsets{0, 10} << 0 << false;
        QTest::newRow("no last line end") << two.chopped(1) << 15 << "" << Offsets{0, 10} << 0 << false;
        QTest::newRow("blank line inside") << entry(10) + "\n" + entry(5) << 15 << "" << Offsets{0, 10} << 1 << false;
        QTest::newRow("long run of blank lines") << QByteArray(" \r\n").repeated(200000) + entry(10) + QByteArray(300000, '\n')
                                                     + entry(5) + QByteArray(9000, '\n')
                                                 << 15 << "" << Offsets{0, 10} << 500000 << false;
        QTest::newRow("audio") << entry(400, "audio0") + entry(371, "audio0") << 771 << "" << Offsets{0, 400} << 0 << false;
        QTest::newRow("ends at the end") << entry(10) << 10 << "" << Offsets{0} << 0 << false;
        QTest::newRow("past the end") << two + entry(10) + entry(1) << 20 << "" << Offsets{0, 10} << 0 << true;
        QTest::newRow("no data file") << entry(10) << -1 << "" << Offsets{} << 0 << true;
        QTest::newRow("malformed past the end") << entry(10) + "bad:video0:h264:8x8:1:100\n" + entry(1) << 20 << ""
                                                << Offsets{0} << 0 << true;
        QTest::newRow("zero size") << entry(0) + entry(4) << 4 << "" << Offsets{0} << 1 << false;
        QTest::newRow("many malformed") << QByteArray("x:video0:h264:8x8:1:2\n").repeated(500) + entry(5) << 1005 << ""
                                        << Offsets{1000} << 500 << false;

        // A line whose size can be read still moves the offsets of the rest.
        for (const char *bad : {"20240115100000000:data0:h264:8x8:1:7", "20240115100000000:video:h264:8x8:1:7",
                                "20240115100000000:video0:h264:8by8:1:7", "20240115100000000:video0:h264:8x8:yes:7",
                                "20240115100000000:video0::8x8:1:7", "20240115100000000:video0:h264:7",
                                "20240115100000000:audio0:aac:8x8:1:7"})
            QTest::newRow(bad) << entry(10) + bad + '\n' + entry(3) << 20 << "" << Offsets{0, 17} << 1 << false;
        // One whose size cannot be read leaves every later offset unknown.
        const QByteArray longLine = "20240115100000040:video0:h264:" + QByteArray(600, '9') + "x8:0:5";
        for (const QByteArray &bad : {QByteArray("20240115100000000:video0:h264:8x8:1:-5"),
                                      QByteArray("20240115100000000:video0:h264:8x8:1:99999999999"),
                                      QByteArray("20240115100000000:video0:h264:8x8:1:4294967301"),
                                      QByteArray("20240115100000000:video0:h264:8x8:1"),
                                      QByteArray("20240115100000000:video0:h264:8x8:1:2:3"), QByteArray("garbage"),
                                      QByteArray("2024\0\0\0:video0", 15), longLine})
            QTest::newRow(bad.left(60).constData()) << entry(10) + bad + '\n' + entry(3) << 1000 << "" << Offsets{0}
                                                    << 1 << true;

        // Streams of one file share the running offset.
        const QByteArray mixed = entry(100) + entry(40, "video1") + entry(7, "audio0") + entry(30) + entry(9, "video1");
        QTest::newRow("all streams") << mixed << 186 << "" << Offsets{0, 100, 140, 147, 177} << 0 << false;
        QTest::newRow("stream 1") << mixed << 186 << "1" << Offsets{100, 177} << 0 << false;
        QTest::newRow("id 0 of both types") << mixed << 186 << "0" << Offsets{0, 140, 147} << 0 << false;
        QTest::newRow("video0") << mixed << 186 << "video0" << Offsets{0, 147} << 0 << false;
        QTest::newRow("audio0") << mixed << 186 << "audio0" << Offsets{140} << 0 << false;
        QTest::newRow("absent stream") << mixed << 186 << "7" << Offsets{} << 0 << false;
        QTest::newRow("other stream past the end") << entry(10) + entry(50, "video1") + entry(10) << 30 << "0"
                                                   << Offsets{0} << 0 << true;
    }

    void seekFileOffsets()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, dataBytes);
        QFETCH(QString, stream);
        QFETCH(Offsets, offsets);
        QFETCH(int, malformed);
        QFETCH(bool, truncated);
        const auto r = ZuSeekFile::parse(makeSeek(text, dataBytes), QString(), stream);
        QVERIFY(r.ok);
        Offsets got;
        qint64 end = 0;
        for (const ZuFrame &f : r.frames) {
            got << f.offset;
            end = qMax(end, f.offset + f.size);
        }
        QCOMPARE(got, offsets);
        QVERIFY(end <= qMax(dataBytes, 0));
        QCOMPARE(r.malformedLines, malformed);
        QCOMPARE(r.truncated, truncated);
        QCOMPARE(r.dataFileMissing, dataBytes < 0);
    }

    // An entry whose time cannot be read still holds its frame's bytes: it
    // stays, with the time its stream's neighbours imply.
    void unreadableTimesFromNeighbours_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("times");
        QTest::addColumn<int>("malformed");
        // The lines of the entries kept; every line holds 2 bytes, so a
        // dropped entry still moves the offsets of those after it.
        QTest::addColumn<QList<int>>("lines");
        const auto at = [](const char *time, const QByteArray &stream = "video0") {
            return QByteArray(time) + ':' + stream + (stream.startsWith("audio") ? ":aac:2\n" : ":h264:8x8:0:2\n");
        };
        QTest::newRow("short digits") << at("20240115100000000") + at("2024011510000010") + at("20240115100000200")
                                      << QStringList{"100000000", "100000100", "100000200"} << 0 << QList<int>{0, 1, 2};
        QTest::newRow("two in a row, letters and a month 13")
            << at("20240115100000000") + at("2024011510000010a") + at("20241315100000200") + at("20240115100000300")
            << QStringList{"100000000", "100000100", "100000200", "100000300"} << 0 << QList<int>{0, 1, 2, 3};
        QTest::newRow("last line, one step on")
            << at("20240115100000000") + at("20240115100000040") + at("garbage")
            << QStringList{"100000000", "100000040", "100000080"} << 0 << QList<int>{0, 1, 2};
        QTest::newRow("first line, one step back")
            << at("x") + at("20240115100000040") + at("20240115100000080")
            << QStringList{"100000000", "100000040", "100000080"} << 0 << QList<int>{0, 1, 2};
        QTest::newRow("other streams between")
            << at("20240115100000000") + at("20240115100000010", "audio0") + at("2024") + at("20240115100000100")
                   + at("2024", "audio0")
            << QStringList{"100000000", "100000010", "100000050", "100000100", "100000010"} << 0
            << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("nothing readable") << at("x") + at("y") << QStringList{} << 2 << QList<int>{};
        // A repaired time stays between the readable times around it, and in
        // the seek file's own 17-digit form: a wild neighbour (a clock glitch
        // of years) neither sets the step nor carries a time past the year 9999.
        QTest::newRow("neighbours disagree")
            << at("20240115100000000") + at("60240115100001000") + at("x") + at("20240115100000120")
            << QStringList{"100000000", "100001000", "100000120"} << 1 << QList<int>{0, 1, 3};
        QTest::newRow("a wild neighbour sets no step")
            << at("20240115100000000") + at("20240115100000040") + at("60240115100000080") + at("x")
            << QStringList{"100000000", "100000040", "100000080", "100000120"} << 0 << QList<int>{0, 1, 2, 3};
        QTest::newRow("past the year 9999")
            << at("99991231235959960") + at("99991231235959980") + at("x")
            << QStringList{"235959960", "235959980"} << 1 << QList<int>{0, 1};
    }
    void unreadableTimesFromNeighbours()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, times);
        QFETCH(int, malformed);
        QFETCH(QList<int>, lines);
        const auto r = ZuSeekFile::parse(makeSeek(text, 1000), QString());
        QStringList got;
        Offsets offsets, expected;
        for (const ZuFrame &f : r.frames) {
            got << f.timestamp.mid(8);
            offsets << f.offset;
            QCOMPARE(f.timestamp.size(), 17);
        }
        for (int line : lines)
            expected << 2 * line;
        QCOMPARE(got, times);
        QCOMPARE(offsets, expected);
        QCOMPARE(r.malformedLines, malformed);
    }

    void seekFileFieldsRoundTrip()
    {
        const QByteArray text = "20240115235959960:video0:h264:1280x720:1:5000\n"
                                "20240115235959970:audio1:aac:300\n"
                                "20240115235959999:video12:mjpeg:320x240:0:7\n";
        const QString seek = makeSeek(text, 5307);
        const QString data = QFileInfo(ZuSeekFile::dataPathFor(seek)).absoluteFilePath();
        const ZuFrameList frames = ZuSeekFile::parse(seek, data).frames;
        QCOMPARE(frames.size(), 3);
        const ZuFrame &v = frames.at(0), &a = frames.at(1);
        QCOMPARE(QStringList({v.timestamp, v.type, v.stream_id, v.codec, v.resolution, v.keyframe, v.file_path}),
                 QStringList({"20240115235959960", "video", "0", "h264", "1280x720", "1", data}));
        QCOMPARE(QStringList({a.type, a.stream_id, a.codec, a.resolution, a.keyframe}), QStringList({"audio", "1", "aac", "", ""}));
        QCOMPARE(a.size, 300);
        QVERIFY(!frames.at(2).isKeyframe());
        // Written back, the entries give the same text.
        const QString copy = fresh(".zuseek");
        QVERIFY(ZuSeekFile::write(copy, frames));
        QFile written(copy);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), text);
        QVERIFY(!ZuSeekFile::write(m_dir.filePath("nodir/x.zuseek"), frames));
    }

    void hostileSeekFiles()
    {
        QVERIFY(!ZuSeekFile::parse(m_dir.filePath("nothing.zuseek"), QString()).ok);
        // A named pipe under a seek file's name is refused at once.
        const QString fifo = fresh(QStringLiteral(".zuseek"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        ZuSeekFile::Result r;
        QVERIFY(!blocksOn(fifo, [&] { r = ZuSeekFile::parse(fifo, QString()); }));
        QVERIFY(!r.ok);
        // Megabytes of binary garbage: no entry, no crash.
        QByteArray random(4 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        r = ZuSeekFile::parse(makeSeek(random, 10), QString());
        QVERIFY(r.ok && r.truncated && r.frames.isEmpty());
    }

    void cameraListsRoundTripAndMerge()
    {
        const CameraHash cams{{3, QStringLiteral("Entrée principale")}, {0, QStringLiteral("Zéro")},
                              {INT_MAX, QStringLiteral("Max")}};
        const QString day = m_dir.filePath("day");
        QVERIFY(QDir().mkpath(day + "/sub"));
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(day + "/index.zunfo"), cams));
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(day + "/index.zunfo"), {}), cams);
        // Merging keeps what was there; the merged file wins on the same id.
        const CameraHash merged = ZuFile::check_and_parse_nfo_file(QFileInfo(day + "/index.zunfo"),
                                                                   {{3, "Old"}, {7, "Seven"}});
        QCOMPARE(merged.value(3), QStringLiteral("Entrée principale"));
        QCOMPARE(merged.value(7), QStringLiteral("Seven"));
        // A folder's lists are read in name order, later ones winning; other
        // files and sub-folders are not read.
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(day + "/100000.zunfo"), {{3, "Early"}, {5, "Five"}}));
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(day + "/sub/200000.zunfo"), {{99, "Deep"}}));
        writeRaw(day + "/notes.txt", "3=Nope\n");
        QCOMPARE(ZuFile::hash_cameras_list(day), (CameraHash{{0, "Zéro"}, {3, "Entrée principale"}, {5, "Five"},
                                                             {INT_MAX, "Max"}}));
        QVERIFY(ZuFile::hash_cameras_list(m_dir.filePath("nowhere")).isEmpty());
        QVERIFY(!ZuFile::create_zunfo_index_file(QFileInfo(m_dir.filePath("missing/index.zunfo")), cams));
        // A name read with a byte-order mark in it is written back and read
        // again as the same name.
        CameraHash marked;
        QVERIFY(ZuFile::parse_cameras_json("{\"cameras\":[{\"id\":4,\"name\":\"\xEF\xBB\xBF\\u2028 Nord\"}]}", &marked));
        QCOMPARE(marked.value(4), QStringLiteral("Nord"));
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(day + "/marked.zunfo"), marked));
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(day + "/marked.zunfo"), {}), marked);
    }

    void filesFromOpensslAreRead()
    {
        const QString plainList = fresh(".plain"), list = fresh(".zunfo");
        writeRaw(plainList, "{\"cameras\":[{\"id\":3,\"name\":\"Entrée principale\"},{\"id\":12,\"name\":\"Parking\"}]}");
        QVERIFY(opensslEnc(plainList, list));
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(list), {}),
                 (CameraHash{{3, "Entrée principale"}, {12, "Parking"}}));

        const QString plainTag = fresh(".plain"), tagFile = fresh(".zutag");
        writeRaw(plainTag, "{\"id\":\"41\",\"time\":\"20240115103012\",\"camera\":\"3\",\"name\":\"Livraison\","
                           "\"description\":\"Camion blanc\\ndevant l'entrée\"}");
        QVERIFY(opensslEnc(plainTag, tagFile));
        std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(tagFile));
        QVERIFY(tag);
        QVERIFY(*tag == ZuTag("41", "20240115103012", "3", "Livraison", QStringLiteral("Camion blanc\ndevant l'entrée")));

        // The program reads its own marker back whole (the cipher against
        // openssl both ways is the core test's).
        const QString ours = fresh(".zutag");
        QVERIFY(ZuFile::write_tag_file(ours, *tag));
        std::unique_ptr<ZuTag> again(ZuFile::load_tag_file(ours));
        QVERIFY(again && *again == *tag);
    }

    void hostileCameraLists()
    {
        const CameraHash before{{1, QStringLiteral("Kept")}};
        const auto raw = [&](const QByteArray &bytes) {
            const QString file = fresh(".zunfo");
            writeRaw(file, bytes);
            return file;
        };
        // Larger than any camera list: refused before decrypting.
        const QStringList bad = {raw("not encrypted at all"), raw(QByteArray(64, '\x5a')), raw(QByteArray()),
                                 raw(QByteArray(ZuFile::kMaxCameraListBytes + 16, '\0')),
                                 m_dir.filePath("does-not-exist.zunfo"), encrypted("3=Plain text inside", ".zunfo"),
                                 encrypted("[1,2,3]", ".zunfo"), encrypted("{\"cameras\":{\"id\":3}}", ".zunfo"),
                                 encrypted(QByteArray(100000, '[') + QByteArray(100000, ']'), ".zunfo")};
        for (const QString &file : bad)
            QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(file), before), before);

        // Single bad entries are skipped, good ones kept, texts cleaned and cut.
        CameraHash got;
        QVERIFY(ZuFile::parse_cameras_json(
            "{\"cameras\":[1, null, {\"id\":\"7\",\"name\":\"Seven as text\"}, {\"id\":1.5,\"name\":\"Fraction\"},"
            "{\"id\":-1,\"name\":\"Negative\"}, {\"id\":1e10,\"name\":\"Too big\"}, {\"id\":\"99999999999\",\"name\":\"Big\"},"
            "{\"id\":\"abc\",\"name\":\"Letters\"}, {\"id\":true,\"name\":\"Bool\"}, {\"id\":8,\"name\":42},"
            "{\"id\":9,\"name\":\"   \"}, {\"name\":\"No id\"}, {\"id\":10,\"name\":\"" + QByteArray(10000, 'n') + "\"},"
            "{\"id\":11,\"name\":\"Line\\nbreak\\u0000nul\"}, {\"id\":12,\"name\":\"First\"},{\"id\":12,\"name\":\"Second\"}]}",
            &got));
        QCOMPARE(got.size(), 4);
        QCOMPARE(got.value(7), QStringLiteral("Seven as text"));
        QCOMPARE(got.value(10).size(), ZuFile::kMaxNameChars);
        QCOMPARE(got.value(11), QStringLiteral("Line break nul"));
        QCOMPARE(got.value(12), QStringLiteral("Second"));
        // A cut never splits a character in two.
        const QString emoji = QStringLiteral("ab") + QString::fromUtf8("\xF0\x9F\x98\x80");
        QCOMPARE(ZuFile::clean_text(emoji, 3), QStringLiteral("ab"));
        QCOMPARE(ZuFile::clean_text(QStringLiteral("a\tb\r\nc"), 100, true), QStringLiteral("a b\nc"));
    }

    void plainCameraNames()
    {
        const QString file = fresh(".zunfo");
        writeRaw(file, "\xEF\xBB\xBF" "3=Entrée principale\r\n12=Parking\nno equals sign\n=no id\nx=letters\n-4=negative\n"
                       "99999999999=too big\n5=\n7=a=b\n 8 =  padded  \n9=" + QByteArray(20000, 'z') + "\n"
                       "\xff\xfe=binary\n12=Parking again");
        QCOMPARE(ZuFile::parse_camera_names_file(QFileInfo(file), {{1, "Kept"}}),
                 (CameraHash{{1, "Kept"}, {3, "Entrée principale"}, {12, "Parking again"}, {7, "a=b"}, {8, "padded"}}));
        // A named pipe under a camera-list name is refused, not waited on.
        const QString fifo = fresh(".zunfo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        CameraHash got;
        QVERIFY(!blocksOn(fifo, [&] { got = ZuFile::parse_camera_names_file(QFileInfo(fifo), {{1, "Kept"}}); }));
        QCOMPARE(got, (CameraHash{{1, "Kept"}}));
    }

    // The day's list of recordings reads only the head and tail of each
    // seek file: the range and streams it gives must be those of the lines
    // the player itself would read there.
    void daySummaryOfASeekFile_data()
    {
        QTest::addColumn<QByteArray>("seek");
        QTest::addColumn<qint64>("start"); // -1: the recording is left out
        QTest::addColumn<qint64>("end");
        QTest::addColumn<QStringList>("streams");
        const QByteArray a = "20240115140000000:video0:h264:1920x1080:1:100\n";
        const QByteArray b = "20240115140000000:video1:h264:640x360:1:200\n";
        const QByteArray c = "20240115140001500:video0:h264:1920x1080:0:300\n";
        const QByteArray d = "20240115140001520:video1:h264:640x360:0:400\n";
        const QByteArray audio = "20240115140002000:audio0:aac:16000:1:500\n";
        const qint64 t0 = 14 * 3600000LL;
        QTest::newRow("two streams") << (a + b + c + d) << t0 << t0 + 1520 << QStringList{"0", "1"};
        QTest::newRow("blank edges and spaces around lines")
            << ("\n \n\t" + a + "  " + c + "\n\n   \n") << t0 << t0 + 1500 << QStringList{"0"};
        QTest::newRow("audio line last") << (a + c + audio) << t0 << t0 + 1500 << QStringList{"0"};
        QTest::newRow("lines of too few fields are passed over")
            << ("20240115135959000:video0:h264:1920x1080:1\n" + a + c + "20240115140009000:video0:h264\n") << t0
            << t0 + 1500 << QStringList{"0"};
        QTest::newRow("unreadable first time") << ("2024011514000000x:video5:h264:1:1:1\n" + b + d) << t0 << t0 + 1520
                                               << QStringList{"1"};
        QTest::newRow("stream ids sorted as numbers, long ones cut")
            << ("20240115140000000:video10:h264:1:1:1\n20240115140000000:video2:h264:1:1:1\n"
                "20240115140000000:videoabc:h264:1:1:1\n20240115140000000:video123456789:h264:1:1:1\n"
                + c)
            << t0 << t0 + 1500 << QStringList{"0", "2", "10", "12345678"};
        QTest::newRow("last time before the first") << (c + a) << t0 + 1500 << t0 + 1500 << QStringList{"0"};
        QTest::newRow("audio only") << audio << qint64(-1) << qint64(-1) << QStringList{};
        QTest::newRow("blank only") << QByteArray("\n \n") << qint64(-1) << qint64(-1) << QStringList{};
    }

    void daySummaryOfASeekFile()
    {
        QFETCH(QByteArray, seek);
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        QFETCH(QStringList, streams);
        QTemporaryDir dir;
        const QString segment = dir.filePath(QStringLiteral("2024-01-15/140000"));
        QVERIFY(QDir().mkpath(segment));
        writeRaw(segment + QStringLiteral("/7_20240115_140000.zuvideo"), QByteArray(16, '\0'));
        writeRaw(segment + QStringLiteral("/7_20240115_140000.zuseek"), seek);
        const std::shared_ptr<ZuDayScan> scan = ZuDayScan::scan(dir.filePath(QStringLiteral("2024-01-15")));
        QVERIFY(scan->ok);
        QCOMPARE(scan->videos.size(), 1);
        if (start < 0) {
            QVERIFY(scan->ranges.isEmpty());
            return;
        }
        QCOMPARE(scan->ranges.size(), 1);
        QCOMPARE(scan->ranges.at(0).cameraId, 7);
        QCOMPARE(scan->ranges.at(0).start, start);
        QCOMPARE(scan->ranges.at(0).end, end);
        QCOMPARE(scan->streams.value(7), streams);
    }

    // The first day scans run on the global thread pool while other tasks
    // there wait for them: a scan must finish even when it holds the pool's
    // only thread.
    void dayScanOnTheOnlyThreadOfThePool()
    {
        QTemporaryDir dir;
        const QString segment = dir.filePath(QStringLiteral("2024-01-15/140000"));
        QVERIFY(QDir().mkpath(segment));
        for (int camera = 1; camera <= 40; ++camera) {
            const QString base = segment + QStringLiteral("/%1_20240115_140000").arg(camera);
            writeRaw(base + QStringLiteral(".zuvideo"), QByteArray(16, '\0'));
            writeRaw(base + QStringLiteral(".zuseek"), "20240115140000000:video0:h264:64x64:1:16\n");
        }
        QThreadPool *pool = QThreadPool::globalInstance();
        const int threads = pool->maxThreadCount();
        pool->setMaxThreadCount(1);
        const auto restore = qScopeGuard([pool, threads] { pool->setMaxThreadCount(threads); });
        QFuture<std::shared_ptr<ZuDayScan>> scan =
            QtConcurrent::run([day = dir.filePath(QStringLiteral("2024-01-15"))] { return ZuDayScan::scan(day); });
        QTRY_VERIFY_WITH_TIMEOUT(scan.isFinished(), 30000);
        QCOMPARE(scan.result()->ranges.size(), 40);
    }

    void hostileTags()
    {
        QVERIFY(!ZuFile::load_tag_file(m_dir.filePath("absent.zutag")));
        const QString garbage = fresh(".zutag");
        writeRaw(garbage, QByteArray(33, '\x01'));
        QVERIFY(!ZuFile::load_tag_file(garbage));
        // Without a readable time and camera a marker cannot be placed.
        for (const char *json : {"hello", "[]", "{\"id\":\"1\",\"camera\":\"3\",\"name\":\"n\"}",
                                 "{\"time\":20240115103012,\"camera\":\"3\"}", "{\"time\":\"2024011510301\",\"camera\":\"3\"}",
                                 "{\"time\":\"20241315103012\",\"camera\":\"3\"}", "{\"time\":\"20240115243012\",\"camera\":\"3\"}",
                                 "{\"time\":\"20240115103012\"}", "{\"time\":\"20240115103012\",\"camera\":-3}",
                                 "{\"time\":\"20240115103012\",\"camera\":\"99999999999\"}"}) {
            std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(encrypted(json, ".zutag")));
            QVERIFY2(!tag, json);
        }
        // Optional texts of the wrong type come out empty; numbers become
        // decimal texts; long texts are cut; control characters go.
        std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(encrypted(
            "{\"id\":41,\"time\":\"20240115103012\",\"camera\":\"007\",\"name\":[\"x\"],\"description\":\""
                + QByteArray(10000, 'd') + "\"}", ".zutag")));
        QVERIFY(tag);
        QCOMPARE(tag->get_tag_id(), QStringLiteral("41"));
        QCOMPARE(tag->get_camera_id(), QStringLiteral("7"));
        QVERIFY(tag->get_tag_name().isEmpty());
        QCOMPARE(tag->get_description().size(), ZuFile::kMaxDescriptionChars);
        tag.reset(ZuFile::load_tag_file(
            encrypted("{\"time\":\"20240115103012\",\"camera\":3,\"name\":\"\\u001b[31mred\"}", ".zutag")));
        QVERIFY(tag);
        QCOMPARE(tag->get_tag_name(), QStringLiteral("[31mred"));
    }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
