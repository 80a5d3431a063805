// The recording download: the worker against a local multipart server made
// of access units the ffmpeg command line encoded (both roads, the
// descriptor and the archive, every way a run can end), its job row, and
// the job window's handling of such jobs (success, failure, retry).
#include "curlglobal.h"
#include "archiveextractor.h"
#include "download_presentation.h"
#include "downloadencodeitem_presentation.h"
#include "zudownload_encode_data.h"
#include "zustreamparser.h"
#include "zulog.h"

#include "../codecs/probe.h"
#include "../common/zu_test_util.h"
#include "../display/multipartserver.h"

#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QtTest>

using namespace streamtest;

namespace {

const QDateTime kStart(QDate(2024, 3, 5), QTime(10, 0));
// Parts are 100 ms apart from kStart: 80 of them lie in the range.
const QDateTime kEnd = kStart.addMSecs(7950);

// What a run reported, counted on the GUI thread.
struct Outcome : QObject {
    int finished = 0;
    QList<int> errors;
    int frames = 0;
    QStringList messages;
    explicit Outcome(ZuDownload_encode_data &w)
    {
        connect(&w, &ZuDownload_encode_data::finished, this, [this] { ++finished; });
        connect(&w, &ZuDownload_encode_data::error, this, [this](int code) { errors << code; });
        connect(&w, &ZuDownload_encode_data::frame_downloaded_encoded, this, [this] { ++frames; });
        connect(&w, &ZuDownload_encode_data::generic_message, this, [this](const QString &m) { messages << m; });
    }
    int ends() const { return finished + int(errors.size()); }
};

// Files of this process may not grow past a few kilobytes while it lives.
struct FileSizeLimit {
    rlimit saved{};
    sighandler_t handler = std::signal(SIGXFSZ, SIG_IGN);
    FileSizeLimit()
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
    }
};

QStringList run(const QString &program, const QStringList &args, int *exitCode = nullptr)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(60000);
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestDownloadEncode : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;
    QList<QByteArray> m_units;

    Script script(int parts = 100) const
    {
        Script s;
        s.units = m_units;
        s.parts = parts;
        s.start = kStart;
        return s;
    }

    void configure(ZuDownload_encode_data &w, const MultipartServer &server, const QString &out,
                   const QString &format, int fps = 10)
    {
        w.setScheme("http");
        w.setHost("127.0.0.1");
        w.setPort(server.port());
        w.setPath("/replay?camera=1&from=20240305100000");
        w.setEndTimestamp(QString::fromLatin1(stamp(kEnd)));
        w.setOutputFile(out);
        w.setVideoFormat(format);
        w.setCaptionLabel("Caméra 1");
        w.setCaptionFlag(1);
        w.setFrameRate(fps);
    }

    // Nothing of any run is left in the download folder.
    static QStringList leftovers()
    {
        return QDir(ZuDownload_encode_data::temporaryFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

private slots:
    void initTestCase()
    {
        // The worker's own folder lies below the home folder: a private one.
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        QVERIFY(zuCurlGlobalInit());
        if (qEnvironmentVariableIsSet("ZU_TEST_LOG"))
            setLevelValue(1);
        m_units = h264Units(100);
        QCOMPARE(m_units.size(), 100);
    }

    // Both roads end with the frames of the range in a playable file, or in
    // an archive of the video and the descriptor; the run stops at the first
    // frame past the end, a part that gives no picture is left out without
    // holding the run up, and nothing is left in the download folder nor
    // taken from the output folder. A recorder that answers at once but
    // sends its first part 8 s later, or pauses 8 s, as a replay that starts
    // late does, is waited for on the re-encode road (30 waits of 500 ms).
    void roads_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("fps");
        QTest::addColumn<QString>("descriptor"); // empty: none
        QTest::addColumn<bool>("archive");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("pauseBefore"); // the part before which the recorder stays silent 8 s; -1: none
        // Untyped parts (application/octet-stream) of units as some encoders
        // write them; empty: typed parts of plain units.
        QTest::addColumn<QString>("untyped");
        QTest::newRow("H264, rate of the stream") << "H264" << -1 << "" << false << "h264" << "10/1" << 80 << -1 << "";
        QTest::newRow("h265 in an archive") << "h265" << 10 << "descr.txt" << true << "hevc" << "10/1" << 80 << -1
                                            << "";
        QTest::newRow("RAW in an archive, rate of the stream")
            << "RAW" << -1 << "descripteur_caméra_été.txt" << true << "h264" << "10/1" << 80 << -1 << "";
        QTest::newRow("raw, rate 0, no descriptor") << "raw" << 0 << "" << false << "h264" << "10/1" << 80 << -1
                                                    << "";
        QTest::newRow("raw, JPEG pictures") << "raw" << 10 << "" << false << "mjpeg" << "10/1" << 80 << -1 << "";
        QTest::newRow("a part without picture") << "h264" << 10 << "" << false << "h264" << "10/1" << 79 << -1
                                                << "";
        QTest::newRow("first part 8 s late") << "h264" << 10 << "" << false << "h264" << "10/1" << 80 << 0 << "";
        QTest::newRow("a pause of 8 s") << "h264" << 10 << "" << false << "h264" << "10/1" << 80 << 40 << "";
        // A unit's first bytes alone do not tell the codec: H.264 units that
        // open with a picture timing message (06 01), H.265 pictures of a
        // higher temporal sub-layer. (One of the 80 parts of the H.264 range
        // is a message alone: 79 pictures take the range's 8 s.)
        QTest::newRow("raw, untyped H.264 with timing messages")
            << "raw" << 10 << "" << false << "h264" << "79/8" << 80 << -1 << "h264 timing";
        QTest::newRow("raw, untyped H.265 of two temporal layers")
            << "raw" << 10 << "" << false << "hevc" << "10/1" << 80 << -1 << "h265 layers";
    }
    void roads()
    {
        QFETCH(QString, format);
        QFETCH(int, fps);
        QFETCH(QString, descriptor);
        QFETCH(bool, archive);
        QFETCH(QString, codec);
        QFETCH(QString, rate);
        QFETCH(int, frames);
        QFETCH(int, pauseBefore);
        QFETCH(QString, untyped);
        MultipartServer server;
        Script s = script();
        if (frames < 80)
            s.units.insert(40, "not an access unit");
        if (codec == "mjpeg") {
            s.units = ffmpegUnits({"-c:v", "mjpeg", "-pix_fmt", "yuvj420p"}, QStringLiteral("mjpeg"), 100);
            QCOMPARE(s.units.size(), 100);
            s.partType = "image/jpeg";
        }
        if (!untyped.isEmpty()) {
            s.partType = "application/octet-stream";
            const bool hevc = untyped == "h265 layers";
            s.units = hevc ? layeredH265Units(100) : timedH264Units(100);
            QCOMPARE(s.units.size(), 100);
            // The units are as the row says.
            const auto header = [](const QByteArray &unit) { return unit.mid(unit.indexOf('\x01') + 1, 2); };
            QVERIFY(std::any_of(s.units.begin(), s.units.end(), [&](const QByteArray &unit) {
                return hevc ? (header(unit).at(1) & 0x07) > 1 : header(unit) == QByteArray("\x06\x01", 2);
            }));
            if (!hevc) {
                // The encoder's own message (user data), sent again alone
                // among the pictures: bytes that would read as either codec's.
                const QByteArray first = s.units.first();
                const qsizetype from = first.indexOf(QByteArray("\x00\x00\x01\x06\x05", 5));
                QVERIFY(from > 0);
                const QByteArray message = first.mid(from, first.indexOf(QByteArray("\x00\x00\x01", 3), from + 3) - from);
                QCOMPARE(ZuStreamParser::codecForBytes(message), QString());
                s.units.insert(41, message);
            }
        }
        if (pauseBefore >= 0)
            s.pauses.insert(pauseBefore, 8000);
        server.scripts = {s};
        QVERIFY(server.start());
        QTemporaryDir out;
        // A file of the user's that happens to carry the temporary name.
        QFile mine(out.filePath("tmp.raw"));
        QVERIFY(mine.open(QIODevice::WriteOnly) && mine.write("mine") == 4);
        mine.close();

        ZuDownload_encode_data w;
        const QString video = out.filePath("camera1.mp4");
        configure(w, server, video, format, fps);
        const QString content = "Caméra 1\nde 10:00:00 à 10:00:07";
        if (!descriptor.isEmpty()) {
            // A descriptor left by an earlier attempt is replaced, not added to.
            QFile stale(out.filePath(descriptor));
            QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write("stale\n") == 6);
            stale.close();
            w.setDescriptorFile(out.filePath(descriptor));
            w.setDescriptorData(QString::fromLatin1(content.toUtf8().toBase64()));
        }
        if (archive)
            w.setArchiveFile(out.filePath("export.zip"));
        Outcome outcome(w);
        w.start();
        QTRY_COMPARE_WITH_TIMEOUT(outcome.ends(), 1, 120000);
        QVERIFY(w.wait(30000));
        QCoreApplication::processEvents();
        QCOMPARE(outcome.errors, QList<int>());
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(outcome.frames, frames);
        QCOMPARE(w.lastTimestamp(), QString::fromLatin1(stamp(kStart.addMSecs(7900))));

        QString probed = video;
        QTemporaryDir unpacked;
        if (archive) {
            const QString zip = out.filePath("export.zip");
            QCOMPARE(run("zipinfo", {"-1", zip}), (QStringList{descriptor, "camera1.mp4"}));
            int rc = -1;
            run("unzip", {"-t", zip}, &rc);
            QCOMPARE(rc, 0);
            QVERIFY(!QFile::exists(video) && !QFile::exists(out.filePath(descriptor)));
            run("unzip", {"-q", zip, "-d", unpacked.path()}, &rc);
            QCOMPARE(rc, 0);
            QFile d(unpacked.filePath(descriptor));
            QVERIFY(d.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromUtf8(d.readAll()), content + "\n");
            probed = unpacked.filePath("camera1.mp4");
        }
        const codectest::Probe p = codectest::probe(probed);
        QCOMPARE(p.codec, codec);
        QCOMPARE(QSize(p.width, p.height), QSize(320, 240));
        // The message alone is copied, but is no picture.
        QCOMPARE(p.frames, untyped == "h264 timing" ? frames - 1 : frames);
        QCOMPARE(p.frameRate, rate);
        QVERIFY(mine.open(QIODevice::ReadOnly));
        QCOMPARE(mine.readAll(), QByteArray("mine"));
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(server.connections, 1);
    }

    // Runs that fail end with exactly one error and leave no output: each
    // code once, whatever the stream did.
    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("outputLeft");
        QTest::newRow("archive exists") << "archive" << "raw" << -29 << false;
        QTest::newRow("all frames late") << "late" << "h264" << -14 << false;
        QTest::newRow("encoder refuses to start") << "codec" << "nosuchcodec" << -5 << false;
        QTest::newRow("reset, re-encode") << "reset" << "h264" << -11 << true;
        QTest::newRow("reset, raw") << "reset" << "raw" << -11 << false;
        QTest::newRow("early close, re-encode") << "close" << "h264" << -10 << true;
        QTest::newRow("early close, raw") << "close" << "raw" << -1 << false;
        // A recorder that falls silent: the worker's own waits end the run,
        // with its road's code.
        QTest::newRow("silence, re-encode") << "silence" << "h264" << -10 << true;
        QTest::newRow("silence, raw") << "silence" << "raw" << -1 << false;
        // The raw road waits 30 times 200 ms for a frame: a recorder silent
        // for twice as long outlasts those waits however late each one ends
        // on a loaded machine.
        QTest::newRow("first part 12 s late, raw") << "late start" << "raw" << -1 << false;
        QTest::newRow("a pause of 12 s, raw") << "pause" << "raw" << -1 << false;
        QTest::newRow("bad descriptor data") << "descriptor" << "raw" << -30 << true;
        // Whether the write itself or the last flush runs out of room.
        QTest::newRow("temporary raw file unwritable") << "full" << "raw" << -20 << false;
        // A recorder that keeps sending parts without a picture gives no
        // answer: the re-encode road's waits end the run all the same, as
        // they do one whose pictures the encoder all refuses (its file
        // cannot grow) and which took too few of them.
        QTest::newRow("parts without picture nor time, re-encode") << "no picture" << "h264" << -10 << false;
        QTest::newRow("parts without picture after pictures, re-encode")
            << "no picture later" << "h264" << -10 << true;
        QTest::newRow("pictures refused by the encoder") << "refused" << "mjpeg" << -14 << false;
    }
    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, format);
        QFETCH(int, code);
        QFETCH(bool, outputLeft);
        MultipartServer server;
        Script s = script();
        if (kind == "late")
            s.start = kEnd.addSecs(1);
        if (kind == "late start" || kind == "pause")
            s.pauses.insert(kind == "pause" ? 40 : 0, 12000);
        if (kind == "reset" || kind == "close" || kind == "silence") {
            s.parts = 75; // short of the end of the range
            s.intervalMs = kind == "reset" ? 5 : 0; // read before the reset arrives
            s.end = kind == "reset" ? Script::End::Reset : kind == "close" ? Script::End::Close : Script::End::Silence;
        }
        if (kind.startsWith("no picture")) {
            // Text parts every 20 ms for longer than the test waits.
            const bool later = kind.endsWith("later");
            s.parts = later ? 60 : 0;
            const QByteArray time = later ? "Timestamp: " + stamp(kStart.addSecs(7)) + "\r\n" : QByteArray();
            s.drip = QList<QByteArray>(10000, "--myboundary\r\nContent-Type: text/plain\r\n" + time
                                                  + "\r\nno picture here\r\n");
            s.dripMs = 20;
        }
        if (kind == "refused") {
            // Pictures for ever, all within the range.
            s.parts = -1;
            s.stepMs = 0;
            s.intervalMs = 20;
        }
        server.scripts = {s};
        QVERIFY(server.start());
        QTemporaryDir out;
        ZuDownload_encode_data w;
        const QString video = out.filePath("camera1.mp4");
        configure(w, server, video, format);
        if (kind == "archive") {
            w.setArchiveFile(out.filePath("export.zip"));
            QFile existing(out.filePath("export.zip"));
            QVERIFY(existing.open(QIODevice::WriteOnly));
        }
        if (kind == "descriptor") {
            w.setDescriptorFile(out.filePath("d.txt"));
            w.setDescriptorData("*** not base64 ***");
        }
        Outcome outcome(w);
        std::optional<FileSizeLimit> limit;
        if (kind == "full" || kind == "refused")
            limit.emplace();
        w.start();
        QTRY_COMPARE_WITH_TIMEOUT(outcome.ends(), 1, 120000);
        limit.reset();
        QVERIFY(w.wait(30000));
        QCoreApplication::processEvents(); // all it sent before its thread ended
        QCOMPARE(outcome.finished, 0);
        QCOMPARE(outcome.errors, QList<int>{code});
        QCOMPARE(QFile::exists(video), outputLeft);
        QCOMPARE(leftovers(), QStringList());
        if (kind == "archive")
            QCOMPARE(server.connections, 0);
    }

    // The raw road writes only what the recorder sent, read as the parts'
    // type says: a part whose bytes would make the copy read a file of this
    // machine (a playlist naming it), a part of no known type, parts of two
    // types, or an untyped part that is no unit of the format the parts
    // before showed, fail the run, and no output is made.
    void foreignContent_data()
    {
        QTest::addColumn<QByteArray>("firstType");
        QTest::addColumn<QByteArray>("laterType");
        QTest::addColumn<QString>("content"); // the recorder's access units, a playlist, or units then a playlist
        QTest::addColumn<int>("code");
        const QByteArray untyped = "application/octet-stream";
        QTest::newRow("playlist typed as JPEG") << QByteArray("image/jpeg") << QByteArray("image/jpeg") << "playlist"
                                                << -16;
        QTest::newRow("playlist typed as H.264") << QByteArray("video/h264") << QByteArray("video/h264") << "playlist"
                                                 << -16;
        QTest::newRow("playlist of no known type") << QByteArray("text/plain") << QByteArray("text/plain")
                                                   << "playlist" << -11;
        QTest::newRow("parts of two types") << QByteArray("video/h264") << QByteArray("image/jpeg") << "units" << -11;
        QTest::newRow("untyped units, then an untyped playlist") << untyped << untyped << "units then playlist" << -11;
    }
    void foreignContent()
    {
        QFETCH(QByteArray, firstType);
        QFETCH(QByteArray, laterType);
        QFETCH(QString, content);
        QFETCH(int, code);
        QTemporaryDir mine;
        const QString clip = mine.filePath("clip.ts");
        int rc = -1;
        run("ffmpeg", {"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10",
                       "-frames:v", "20", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "mpegts", "-y", clip},
            &rc);
        QCOMPARE(rc, 0);
        const QByteArray list = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n"
                                + QFile::encodeName(clip) + "\n#EXT-X-ENDLIST\n";

        // The first parts of one type, then parts of another; the last one
        // lies past the end of the range.
        MultipartServer server;
        Script first = script(10);
        first.partType = firstType;
        if (content == "playlist")
            first.units = {list};
        Script s = first;
        s.body.clear();
        for (int i = 0; i < 10; ++i)
            s.body += first.part(i);
        Script later = first;
        later.partType = laterType;
        if (content == "units then playlist")
            later.units = {list};
        for (int i = 10; i < 20; ++i)
            s.body += later.part(i);
        later.start = kEnd.addSecs(1);
        s.body += later.part(20) + "--myboundary--\r\n";
        server.scripts = {s};
        QVERIFY(server.start());

        QTemporaryDir out;
        ZuDownload_encode_data w;
        const QString video = out.filePath("camera1.mp4");
        configure(w, server, video, "raw");
        Outcome outcome(w);
        w.start();
        QTRY_COMPARE_WITH_TIMEOUT(outcome.ends(), 1, 120000);
        QVERIFY(w.wait(30000));
        QCoreApplication::processEvents();
        QCOMPARE(outcome.finished, 0);
        QCOMPARE(outcome.errors, QList<int>{code});
        QVERIFY(!QFile::exists(video));
        QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(leftovers(), QStringList());
    }

    // Neither road fills a disk: a recorder whose times never pass the end
    // of the range is stopped with the margin archive extraction keeps still
    // free where the work file (raw) or the output (re-encode) grows, a range
    // whose copy into the output would eat into it is not copied, and the
    // row says the disk is full.
    void diskKeptFree_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("endless");
        QTest::newRow("times never pass the end") << "raw" << true;
        QTest::newRow("the copy would not fit") << "raw" << false;
        QTest::newRow("re-encode, times never pass the end") << "h264" << true;
    }
    void diskKeptFree()
    {
        QFETCH(QString, format);
        QFETCH(bool, endless);
        QTemporaryDir out;
        const QString folder =
            ZuDownload_encode_data::isRawFormat(format) ? ZuDownload_encode_data::temporaryFolder() : out.path();
        QVERIFY(QDir().mkpath(folder));
        const QString refused = zutest::privateMountNamespace();
        if (!refused.isEmpty())
            ZU_SKIP_MISSING("mount (a mount namespace of its own): " + refused);
        const qint64 margin = ArchiveExtractor::kFreeSpaceMargin;
        const QByteArray size = "size=" + QByteArray::number((margin + 12 * 1024 * 1024) / 1024) + "k";
        if (::mount("zutest", QFile::encodeName(folder).constData(), "tmpfs", 0, size.constData()) != 0)
            ZU_SKIP_MISSING("mount (tmpfs): " + QString::fromLocal8Bit(std::strerror(errno)));
        const auto unmount = qScopeGuard([&folder] { ::umount(QFile::encodeName(folder).constData()); });

        MultipartServer server;
        Script s = script(-1);
        // A large key picture again and again; pictures of noise that differ
        // each time for the encoder, which codes a repeated one in a few bytes.
        const int pictures = ZuDownload_encode_data::isRawFormat(format) ? 1 : 10;
        s.units = ffmpegUnits({"-vf", "noise=alls=100:allf=t", "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p",
                               "-preset", "ultrafast"},
                              QStringLiteral("h264"), pictures);
        QCOMPARE(s.units.size(), pictures);
        s.intervalMs = 2;
        if (endless) {
            s.stepMs = 0; // all at the start of the range
        } else {
            // About 9 MiB in the range, then a part past its end: written
            // within the margin, but not copied again beside it.
            const int inRange = int(9 * 1024 * 1024 / s.units.first().size());
            s.parts = inRange + 1;
            s.stepMs = int(kStart.msecsTo(kEnd)) / inRange + 1;
        }
        server.scripts = {s};
        QVERIFY(server.start());
        auto *worker = new ZuDownload_encode_data;
        configure(*worker, server, out.filePath("camera1.mp4"), format);
        QPointer<ZuDownload_encode_data> guard = worker;
        qint64 leastFree = QStorageInfo(folder).bytesAvailable();
        {
            DownloadEncodeItem_Presentation row(nullptr, out.filePath("camera1.mp4"));
            row.setDownloadEncodeObject(worker);
            row.start_downloading_item();
            QTRY_VERIFY_WITH_TIMEOUT((leastFree = qMin(leastFree, QStorageInfo(folder).bytesAvailable()),
                                      row.isInError() || row.isFinished()),
                                     120000);
            QVERIFY2(row.isInError(), qPrintable(row.downloadInfoLabel->text()));
            QVERIFY2(row.downloadInfoLabel->text().startsWith("Espace disque insuffisant"),
                     qPrintable(row.downloadInfoLabel->text()));
            QVERIFY(worker->wait(30000));
        }
        QVERIFY(guard.isNull()); // the row that held it last disposed of it
        QVERIFY2(leastFree >= margin - ArchiveExtractor::kSpaceCheckBytes, qPrintable(QString::number(leastFree)));
        QVERIFY(!QFile::exists(out.filePath("camera1.mp4")));
        QCOMPARE(leftovers(), QStringList());
    }

    // A user stop ends either road with -34 and nothing left behind, also
    // one asked for the moment the run starts; a worker deleted during its
    // run leaves nothing either.
    void userStop_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("when");
        QTest::newRow("re-encode") << "h264" << "running";
        QTest::newRow("raw") << "raw" << "running";
        QTest::newRow("re-encode, at the start") << "h264" << "start";
        QTest::newRow("re-encode, worker deleted") << "h264" << "delete";
    }
    void userStop()
    {
        QFETCH(QString, format);
        QFETCH(QString, when);
        MultipartServer server;
        Script s = script(-1);
        s.stepMs = 1; // the end of the range stays far away
        s.intervalMs = 5;
        server.scripts = {s};
        QVERIFY(server.start());
        QTemporaryDir out;
        auto w = std::make_unique<ZuDownload_encode_data>();
        configure(*w, server, out.filePath("stopped.mp4"), format);
        w->setDescriptorFile(out.filePath("d.txt"));
        w->setDescriptorData(QString::fromLatin1(QByteArray("D").toBase64()));
        Outcome outcome(*w);
        w->start();
        if (when == "start") {
            w->set_stop_from_user();
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(outcome.frames >= 60, 60000);
            if (when == "delete")
                w.reset();
            else
                w->set_stop_from_user();
        }
        if (w) {
            QTRY_COMPARE_WITH_TIMEOUT(outcome.ends(), 1, 30000);
            QVERIFY(w->wait(30000));
            QCoreApplication::processEvents();
            QCOMPARE(outcome.errors, QList<int>{-34});
            QCOMPARE(outcome.finished, 0);
        }
        QCOMPARE(QDir(out.path()).entryList(QDir::Files), QStringList());
        QCOMPARE(leftovers(), QStringList());
    }

    // Two downloads at once each get their own file, whole.
    void twoAtOnce()
    {
        MultipartServer server;
        Script s = script();
        s.intervalMs = 5;
        server.scripts = {s};
        QVERIFY(server.start());
        QTemporaryDir out;
        ZuDownload_encode_data a, b;
        configure(a, server, out.filePath("a.mp4"), "raw");
        configure(b, server, out.filePath("b.mkv"), "raw");
        a.setDescriptorFile(out.filePath("a.txt"));
        a.setDescriptorData(QString::fromLatin1(QByteArray("A").toBase64()));
        a.setArchiveFile(out.filePath("a.zip"));
        Outcome oa(a), ob(b);
        a.start();
        b.start();
        QTRY_VERIFY_WITH_TIMEOUT(oa.ends() == 1 && ob.ends() == 1, 120000);
        QCOMPARE(oa.finished + ob.finished, 2);
        int rc = -1;
        run("unzip", {"-t", out.filePath("a.zip")}, &rc);
        QCOMPARE(rc, 0);
        QCOMPARE(codectest::probe(out.filePath("b.mkv")).frames, 80);
        QCOMPARE(server.connections, 2);
        QVERIFY(a.wait(30000) && b.wait(30000));
        QCOMPARE(leftovers(), QStringList());
    }

    // The row's bar follows the time reached in the range.
    void rowProgress_data()
    {
        QTest::addColumn<QStringList>("positions");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QList<int>>("values");
        QTest::newRow("half way") << QStringList{"2024-03-05 10:00:00.000", "2024-03-05 10:00:30.000"} << 60
                                  << QList<int>{0, 30};
        QTest::newRow("unreadable") << QStringList{"10:00:00"} << 0 << QList<int>{0};
        QTest::newRow("past the end") << QStringList{"2024-03-05 10:00:50.000", "2024-03-05 10:01:10.000"} << 10
                                      << QList<int>{0, 10};
    }
    void rowProgress()
    {
        QFETCH(QStringList, positions);
        QFETCH(int, maximum);
        QFETCH(QList<int>, values);
        DownloadEncodeItem_Presentation item(nullptr, "/tmp/x.mp4");
        item.start_downloading_item(); // without a worker: only the row changes
        QList<int> got;
        for (const QString &p : positions) {
            item.frame_downloaded_encoded(p, "2024-03-05 10:01:00.000");
            got << item.progressBar->value();
        }
        QCOMPARE(item.progressBar->maximum(), maximum);
        QCOMPARE(got, values);
        QVERIFY(item.downloadInfoLabel->text().endsWith(positions.last() + " > 2024-03-05 10:01:00.000 ]"));
        // Once the row has ended, late reports of the worker change nothing.
        QSignalSpy status(&item, &Presentation_Interface::statusChanged);
        item.error(-11);
        QCOMPARE(item.downloadInfoLabel->text(), QString("Erreur lors du parsing des données."));
        item.finished();
        item.error(-14);
        item.generic_message("late");
        QCOMPARE(status.size(), 1);
        QVERIFY(item.isInError() && !item.downloadedSuccessfully());
        QCOMPARE(item.downloadInfoLabel->text(), QString("Erreur lors du parsing des données."));
    }

    // This row's time left rounds down to 0 (other rows show 1).
    void rowTimeLeft()
    {
        DownloadEncodeItem_Presentation item(nullptr, "/tmp/x.mp4");
        item.start_downloading_item(); // starts the row's clock
        QTest::qWait(5);
        item.downloadProgress(1000000000, 1000000001);
        QVERIFY2(item.downloadInfoLabel->text().endsWith("- 0 secondes restantes"),
                 qPrintable(item.downloadInfoLabel->text()));
    }

    // In the job window: a success moves the row and disposes of the
    // worker once its thread has ended; a user stop leaves a failed row
    // with retry, and the retry runs the same worker to success.
    void jobWindow()
    {
        MultipartServer server;
        // Stamps 10 ms apart sent every 20 ms: the end of the range is 16 s away.
        Script endless = script(-1);
        endless.stepMs = 10;
        endless.intervalMs = 20;
        server.scripts = {script(), endless, script()};
        QVERIFY(server.start());
        QTemporaryDir out;
        Download_presentation window;
        const auto job = [&](const QString &name, const QString &format) {
            auto *worker = new ZuDownload_encode_data;
            configure(*worker, server, out.filePath(name), format);
            auto *item = new DownloadEncodeItem_Presentation(nullptr, out.filePath(name));
            item->setType("encode");
            item->setDownloadEncodeObject(worker);
            window.add_item(item);
            return item;
        };

        // A success first.
        QPointer<ZuDownload_encode_data> doneWorker = job("done.mp4", "raw")->downloadEncodeObject();
        QTRY_COMPARE_WITH_TIMEOUT(window.succeededJobs().size(), 1, 120000);
        QVERIFY(window.succeededJobs().first()->downloadedSuccessfully());
        QTRY_VERIFY_WITH_TIMEOUT(doneWorker.isNull(), 30000);

        // Then a user stop and its retry.
        DownloadEncodeItem_Presentation *stopped = job("retried.mp4", "h264");
        ZuDownload_encode_data *worker = stopped->downloadEncodeObject();
        QPointer<ZuDownload_encode_data> guard = worker;
        QVERIFY(stopped->isStarted());
        QTRY_VERIFY_WITH_TIMEOUT(stopped->downloadInfoLabel->text().startsWith("Téléchargement"), 60000);
        stopped->stopButton->click();
        QCOMPARE(window.failedJobs().size(), 1);
        auto *failed = qobject_cast<DownloadEncodeItem_Presentation *>(window.failedJobs().first());
        QVERIFY(failed);
        QCOMPARE(failed->downloadInfoLabel->text(), QString("Arrêt de l'utilisateur."));
        QVERIFY(failed->tryAgainButton->isEnabled() && !failed->tryAgainButton->isHidden());
        QVERIFY(failed->openButton->isHidden());
        QCOMPARE(failed->downloadEncodeObject(), worker);
        // The stopped run leaves nothing behind.
        QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 20000);
        QVERIFY(!QFile::exists(out.filePath("retried.mp4")));

        failed->tryAgainButton->click();
        QCOMPARE(window.failedJobs().size(), 0);
        QCOMPARE(window.inProgressJobs().size(), 1);
        auto *retried = qobject_cast<DownloadEncodeItem_Presentation *>(window.inProgressJobs().first());
        QVERIFY(retried && retried->isStarted());
        QCOMPARE(retried->downloadEncodeObject(), worker);
        QTRY_COMPARE_WITH_TIMEOUT(window.succeededJobs().size(), 2, 120000);
        QCOMPARE(window.failedJobs().size(), 0);
        QCOMPARE(codectest::probe(out.filePath("retried.mp4")).frames, 80);
        QCOMPARE(server.connections, 3);
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
        QCOMPARE(window.tabTitle(0), QString("Réussis (2)"));
    }
};

QTEST_MAIN(TestDownloadEncode)
#include "test_downloadencode.moc"
