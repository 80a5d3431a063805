// The export worker against generated recordings: contents checked with
// ffprobe and with frame counts taken from the seek files, stop, the error
// endings; and an export job in a job window: a failure row, and closing the
// window while the export runs without a crash or a thread left behind.
#include "download_presentation.h"
#include "encodeitem_presentation.h"
#include "ff_export.h"
#include "seekfile.h"
#include "zulog.h"

#include "../codecs/probe.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

namespace {

// The camera's data files of a day folder, in time order.
QList<QFileInfo> cameraFiles(const QString &day, int camera)
{
    QList<QFileInfo> files;
    for (const QString &segment : QDir(day).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir dir(day + '/' + segment);
        for (const QString &name : dir.entryList({QString("%1_*.zuvideo").arg(camera)}, QDir::Files, QDir::Name))
            files.append(QFileInfo(dir.filePath(name)));
    }
    return files;
}

// The times of stream "video0" in the seek files.
QList<QByteArray> seekLines(const QList<QFileInfo> &files)
{
    QList<QByteArray> out;
    for (const QFileInfo &fi : files) {
        QFile f(fi.absoluteFilePath().replace(".zuvideo", ".zuseek"));
        f.open(QIODevice::ReadOnly);
        for (const QByteArray &raw : f.readAll().split('\n')) {
            const QList<QByteArray> fields = raw.trimmed().split(':');
            if (fields.size() == 6 && fields[1] == "video0")
                out.append(fields[0]);
        }
    }
    return out;
}

// Frames from the first entry at or after `begin` to the first entry at or
// after `end`, both included; 0 when no entry lies in the range. `first`
// receives the first one's time, `before` the time of the entry before it.
int expectedFrames(const QList<QByteArray> &lines, const QString &begin, const QString &end,
                   QString *first = nullptr, QString *before = nullptr)
{
    auto tod = [&](int i) { return QString::fromLatin1(lines[i].mid(8, 6)); };
    int start = 0;
    while (start < lines.size() && !(tod(start) >= begin && tod(start) < end))
        ++start;
    if (start == lines.size())
        return 0;
    int last = start + 1;
    while (last < lines.size() && tod(last) < end)
        ++last;
    last = qMin(last, int(lines.size()) - 1);
    if (first)
        *first = QString::fromLatin1(lines[start]);
    if (before && start > 0)
        *before = QString::fromLatin1(lines[start - 1]);
    return last - start + 1;
}

// Runs a command line tool to its end; false when it fails. `out` receives
// its standard output.
bool tool(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(program, args);
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out)
        *out = p.readAllStandardOutput().trimmed();
    return ok;
}

// Whether the first picture of the file is a key frame, by ffprobe.
bool firstFrameIsKey(const QString &path)
{
    QByteArray out;
    tool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-read_intervals", "%+#1", "-show_entries",
                     "frame=key_frame", "-of", "default=nw=1:nk=1", path},
         &out);
    return out.split('\n').value(0).trimmed() == "1";
}

int probedFrames(const QString &path)
{
    return codectest::probe(path).frames;
}

// What one run of the worker reported.
struct Run {
    int endings = 0;
    QList<int> errors, values;
    QStringList timestamps;
    bool finished = false;
};

ff_export *makeWorker(const QList<QFileInfo> &files, const QString &begin, const QString &end, const QString &codec,
                      const QString &out)
{
    auto *worker = new ff_export;
    worker->set_files(files);
    worker->set_begin_time(begin);
    worker->set_end_time(end);
    worker->set_stream_id("0");
    worker->set_camera_names({{3, "Entrée principale"}, {12, "Parking"}});
    worker->configure(out, codec, 2048, true, "normal");
    return worker;
}

// Runs a worker to its end; `onFrame` is called on the GUI thread for each
// encoded frame.
Run runExport(const QList<QFileInfo> &files, const QString &begin, const QString &end, const QString &codec,
                     const QString &out, std::function<void(ff_export *, int)> onFrame = {})
{
    Run r;
    ff_export *worker = makeWorker(files, begin, end, codec, out);
    QObject ctx;
    QObject::connect(worker, &ff_export::endingsignal, &ctx, [&] { ++r.endings; });
    QObject::connect(worker, &ff_export::error, &ctx, [&](int code) { r.errors.append(code); });
    QObject::connect(worker, &ff_export::valueChanged, &ctx, [&](int v) { r.values.append(v); });
    QObject::connect(worker, &ff_export::frame_downloaded_encoded, &ctx, [&](const QString &ts) {
        r.timestamps.append(ts);
        if (onFrame)
            onFrame(worker, int(r.timestamps.size()));
    });
    QObject::connect(worker, &QThread::finished, &ctx, [&] { r.finished = true; });
    worker->start();
    (void)QTest::qWaitFor([&] { return r.finished; }, 120000);
    QCoreApplication::processEvents(); // queued signals emitted just before the end
    delete worker;
    return r;
}

// The log lines written while it lives.
struct LogCapture {
    QTemporaryDir dir;
    LogCapture()
    {
        setLevelValue(1);
        ZuLogFile::install(dir.filePath("log"));
    }
    ~LogCapture() { ZuLogFile::uninstall(); }
    QStringList lines(const QString &containing) const
    {
        QFile f(dir.filePath("log"));
        f.open(QIODevice::ReadOnly);
        QStringList out;
        for (const QString &line : QString::fromUtf8(f.readAll()).split('\n'))
            if (line.contains(containing))
                out << line.section(containing, 1);
        return out;
    }
};

using Stamps = QHash<QString, QString>;

// A camera recorded with B-frames (by the ffmpeg command line, 3 of them)
// into `dir`/140000: ten seconds at 10 frames a second, 14:00:00 plus
// `offsetMs`. Picture n is grey level 2n, so that pictures can be told
// apart. Entries in decoding order with rising times, as a recorder writes
// them (the n-th picture shown has the n-th time), or with `ownTimes` each
// with its picture's own time (display order). `glitched` maps a time to the
// stamp written instead. Without `flagKeys` the entries flag no key frame.
// `encoder` is "libx264" or "libx265"; `openGop` leaves the groups of
// pictures open (leading pictures refer to the group before).
struct Camera {
    Stamps glitched;
    bool flagKeys = true;
    QString encoder = "libx264";
    bool openGop = false;
    bool ownTimes = false;
    int offsetMs = 0;
};
QFileInfo reorderedCamera(const QString &dir, const Camera &c)
{
    const QString mkv = dir + "/src.mkv";
    const QString raw = dir + "/src.raw";
    const bool hevc = c.encoder == "libx265";
    const QString gop = c.openGop ? ":open-gop=1" : "";
    QByteArray packets, pts;
    const QStringList params = hevc ? QStringList{"-x265-params", "log-level=error:bframes=3:b-adapt=0:scenecut=0:keyint=20:min-keyint=20" + gop}
                                    : QStringList{"-bf", "3", "-x264-params", "b-adapt=0:scenecut=0:keyint=20:min-keyint=20" + gop};
    if (!tool("ffmpeg", QStringList{"-v", "error", "-y", "-f", "lavfi", "-i", "color=c=black:s=320x240:r=10:d=10", "-vf",
                                    "geq=lum='mod(N*2,256)':cb=128:cr=128", "-c:v", c.encoder}
                            + params + QStringList{"-pix_fmt", "yuv420p", mkv})
        // Parameter sets in every key unit, as recorders write them.
        || !tool("ffmpeg", {"-v", "error", "-y", "-i", mkv, "-c", "copy", "-bsf:v",
                            QString(hevc ? "hevc" : "h264") + "_mp4toannexb,dump_extra=freq=keyframe", "-f",
                            hevc ? "hevc" : "h264", raw})
        || !tool("ffprobe", {"-v", "error", "-show_entries", "packet=size,pos,flags", "-of", "csv=p=0", raw}, &packets)
        || !tool("ffprobe", {"-v", "error", "-show_entries", "packet=pts", "-of", "csv=p=0", mkv}, &pts))
        return QFileInfo();
    const QList<QByteArray> units = packets.split('\n');
    const QList<QByteArray> shown = pts.split('\n'); // milliseconds
    QFile in(raw);
    if (units.size() != 100 || shown.size() != 100 || !in.open(QIODevice::ReadOnly))
        return QFileInfo();
    const QByteArray stream = in.readAll();
    QByteArray data, seek;
    const QDateTime t0 = QDateTime(QDate(2024, 3, 5), QTime(14, 0), Qt::UTC).addMSecs(c.offsetMs);
    for (int i = 0; i < 100; ++i) {
        const QList<QByteArray> u = units[i].split(','); // size,pos,flags
        const QByteArray bytes = stream.mid(u[1].toLongLong(), u[0].toInt());
        data += bytes;
        const QString time = t0.addMSecs(c.ownTimes ? shown[i].toInt() : i * 100).toString("yyyyMMddHHmmsszzz");
        seek += c.glitched.value(time, time).toLatin1() + ":video0:" + (hevc ? "hevc" : "h264") + ":320x240:"
                + (c.flagKeys && u[2].startsWith('K') ? "1" : "0") + ':' + QByteArray::number(bytes.size()) + '\n';
    }
    const QString seg = dir + "/140000/";
    QFile d(seg + "5_20240305_140000.zuvideo");
    QFile s(seg + "5_20240305_140000.zuseek");
    if (!QDir().mkpath(seg) || !d.open(QIODevice::WriteOnly) || d.write(data) != data.size()
        || !s.open(QIODevice::WriteOnly) || s.write(seek) != seek.size())
        return QFileInfo();
    return QFileInfo(d.fileName());
}

// The grey level of each picture of a file, below its caption, as the
// picture number of reorderedCamera().
QList<int> pictureNumbers(const QString &path)
{
    QList<int> out;
    QByteArray levels;
    if (!tool("ffprobe", {"-v", "error", "-f", "lavfi", "movie=" + path + ",crop=iw:ih/2:0:ih/2,signalstats",
                          "-show_entries", "frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"},
              &levels))
        return out;
    for (const QByteArray &line : levels.split('\n'))
        out.append(qRound(line.toDouble() / 2));
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Camera)

class TestExport : public QObject
{
    Q_OBJECT

    QString m_day;

    // Copies camera 12 of the small day to `dir`, rewriting its seek files.
    // "nocodec": the second file's entries name a codec nothing can decode.
    // "ahead", "wrongday", "early": the entry of 14:00:04.500 is stamped an
    // hour later, on the day before at 23:59:59, or 14:00:00.500 is stamped
    // 14:00:05 (before the range it seems to fall in); "lastahead": the last
    // entry of the first file (14:00:05.900) is stamped an hour later;
    // "cut": the second data file lost its second half.
    QList<QFileInfo> copyCamera(const QString &dir, const QString &kind)
    {
        QList<QFileInfo> out;
        for (const QFileInfo &fi : cameraFiles(m_day, 12)) {
            const QString seg = dir + '/' + fi.dir().dirName() + '/';
            QFile in(fi.absoluteFilePath().replace(".zuvideo", ".zuseek"));
            if (!QDir().mkpath(seg) || !QFile::copy(fi.absoluteFilePath(), seg + fi.fileName()) ||
                !in.open(QIODevice::ReadOnly))
                return {};
            QByteArray lines;
            for (const QByteArray &line : in.readAll().split('\n')) {
                QList<QByteArray> f = line.split(':');
                if (f.size() < 3)
                    continue;
                const QHash<QString, QByteArrayList> glitches{{"ahead", {"20240305140004500", "20240305150004500"}},
                                                              {"wrongday", {"20240305140004500", "20240304235959000"}},
                                                              {"early", {"20240305140000500", "20240305140005000"}},
                                                              {"lastahead", {"20240305140005900", "20240305150005900"}}};
                if (glitches.value(kind).value(0) == f[0])
                    f[0] = glitches.value(kind).value(1);
                if (kind == "nocodec" && f[0].mid(8, 6) >= "140006")
                    f[2] = "nocodec";
                lines += f.join(':') + '\n';
            }
            QFile o(seg + QFileInfo(in).fileName());
            if (!o.open(QIODevice::WriteOnly) || o.write(lines) != lines.size())
                return {};
            out.append(QFileInfo(seg + fi.fileName()));
        }
        if (kind == "cut" && (out.size() != 2 || !QFile(out.last().absoluteFilePath()).resize(out.last().size() / 2)))
            return {};
        return out;
    }

    static int threadCount()
    {
        return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
    }

private slots:
    void initTestCase()
    {
        // The day of the shared generated export folder (read only).
        const QDir small(ZU_BINARY_DIR "/testdata/small");
        const QStringList roots = small.entryList({"talvor_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY2(!roots.isEmpty(), "the small_export fixture is missing");
        m_day = small.filePath(roots.first() + "/2024-03-05");
        // Idle pool threads (text rendering of the caption uses the pool) are
        // not the export's: let them go quickly so the thread count says what
        // the export left behind.
        QThreadPool::globalInstance()->setExpiryTimeout(50);
    }

    // An export from Début to Fin holds every frame from the first entry at
    // or after Début to the first at or after Fin, as counted in the
    // untouched seek files, and starts with a key frame; one entry whose
    // time is glitched neither ends the range early nor opens it early. An
    // error ending comes alone and leaves no file, not even the frames
    // encoded before it (they would pass for the whole range), and says
    // that it removed them.
    void exports_data()
    {
        QTest::addColumn<int>("camera");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("probed"); // what ffprobe calls it
        QTest::addColumn<QString>("begin");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("kind"); // how copyCamera() rewrites the seek files; empty: as generated
        QTest::addColumn<int>("code");
        // Key frames every two seconds from 14:00:00: these begin in the
        // middle of a group, one second before a key frame, and end in the
        // next file.
        QTest::newRow("h264 across two files") << 12 << "libx264" << "h264" << "140003" << "140009" << "" << 0;
        QTest::newRow("h265 name") << 12 << "h265" << "hevc" << "140001" << "140005" << "" << 0;
        QTest::newRow("mjpeg on the two-stream camera") << 3 << "mjpeg" << "mjpeg" << "140005" << "140008" << "" << 0;
        for (const char *kind : {"ahead", "wrongday", "early", "lastahead"})
            QTest::addRow("glitched entry: %s", kind) << 12 << "libx264" << "h264" << "140001" << "140008" << kind << 0;
        QTest::newRow("bad output path") << 12 << "libx264" << "" << "140000" << "140005" << "badpath" << -5;
        QTest::newRow("range before the recording") << 12 << "libx264" << "" << "100000" << "110000" << "" << -10;
        QTest::newRow("unreadable frame") << 12 << "libx264" << "" << "140000" << "140010" << "nocodec" << -14;
        QTest::newRow("second file cut short") << 12 << "libx264" << "" << "140000" << "140010" << "cut" << -14;
    }
    void exports()
    {
        QFETCH(int, camera);
        QFETCH(QString, codec);
        QFETCH(QString, probed);
        QFETCH(QString, begin);
        QFETCH(QString, end);
        QFETCH(QString, kind);
        QFETCH(int, code);
        QTemporaryDir tmp;
        const QList<QFileInfo> files = kind.isEmpty() ? cameraFiles(m_day, camera) : copyCamera(tmp.path(), kind);
        QCOMPARE(files.size(), 2);
        const QString out = kind == "badpath" ? "/nonexistent-folder/sub/out.mp4"
                                              : tmp.filePath(codec == "mjpeg" ? "export.avi" : "export.mp4");
        QString first, before;
        const int expected = expectedFrames(seekLines(cameraFiles(m_day, camera)), begin, end, &first, &before);
        LogCapture log;
        const Run r = runExport(files, begin, end, codec, out);
        QVERIFY(r.finished);
        if (code != 0) {
            QCOMPARE(r.errors, QList<int>{code});
            QCOMPARE(r.endings, 0);
            const bool encoded = kind == "nocodec" || kind == "cut";
            QCOMPARE(r.timestamps.isEmpty(), !encoded);
            QVERIFY(!QFileInfo::exists(out));
            QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
            if (encoded)
                QCOMPARE(log.lines("ZuPlayer Exporter :: export failed, unfinished file removed :: "), QStringList{out});
            return;
        }
        QVERIFY(expected > 0 && before < "20240305" + begin + "000" && first >= "20240305" + begin + "000");
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.endings, 1);
        QCOMPARE(int(r.timestamps.size()), expected);
        QCOMPARE(r.timestamps.first(), first);
        QVERIFY(firstFrameIsKey(out));
        // A glitched frame keeps its own time.
        for (int i = 1; kind.isEmpty() && i < r.timestamps.size(); ++i)
            QVERIFY(r.timestamps[i] > r.timestamps[i - 1]);
        const codectest::Probe p = codectest::probe(out);
        QCOMPARE(p.codec, probed);
        QCOMPARE(QSize(p.width, p.height), QSize(320, 240));
        QCOMPARE(p.frames, expected);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), QStringList{QFileInfo(out).fileName()});
    }

    void stopLeavesPlayableFile()
    {
        QTemporaryDir tmp;
        const QString out = tmp.filePath("stopped.mp4");
        const QList<QFileInfo> files = cameraFiles(m_day, 12);
        const Run r = runExport(files, "140000", "235959", "h264", out, [](ff_export *w, int n) {
            if (n == 15)
                w->set_stop();
        });
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.endings, 1);
        const codectest::Probe p = codectest::probe(out);
        QCOMPARE(p.codec, QString("h264"));
        const int frames = p.frames;
        QCOMPARE(frames, int(r.timestamps.size()));
        QVERIFY(frames >= 15 && frames < expectedFrames(seekLines(files), "140000", "235959"));
    }

    // A recording with B-frames: the pictures of the range's last places
    // come from units stored after its last entry. The file holds the
    // pictures of Début to Fin, in order, each with its own time, at the
    // recording's rate: whether or not the entries flag the key frames,
    // whatever the groups of pictures, with entries in decoding or in
    // display order, and with glitched stamps, which take the time their
    // neighbours imply.
    void reorderedPictures_data()
    {
        QTest::addColumn<QString>("begin");
        QTest::addColumn<Camera>("camera");
        QTest::newRow("as recorded") << "140003" << Camera();
        QTest::newRow("stamped an hour ahead and on another day")
            << "140002"
            << Camera{{{"20240305140004100", "20240305150004100"}, {"20240305140002700", "20240304235959000"}}};
        QTest::newRow("two in a row stamped an hour ahead")
            << "140002"
            << Camera{{{"20240305140004100", "20240305150004100"}, {"20240305140004200", "20240305150004200"}}};
        QTest::newRow("no key frame flagged") << "140003" << Camera{{}, false};
        Camera own;
        own.ownTimes = true;
        QTest::newRow("display order") << "140003" << own;
        // Début at an open group's key frame: its leading pictures need the
        // group before.
        Camera open = own;
        open.openGop = true;
        open.offsetMs = 300;
        QTest::newRow("H.264 open groups") << "140004" << open;
        open.encoder = "libx265";
        QTest::newRow("H.265 open groups") << "140004" << open;
        open.flagKeys = false;
        QTest::newRow("H.265 open groups, no key frame flagged") << "140004" << open;
    }
    void reorderedPictures()
    {
        QFETCH(QString, begin);
        QFETCH(Camera, camera);
        QTemporaryDir tmp;
        const QFileInfo file = reorderedCamera(tmp.path(), camera);
        QVERIFY(file.exists());
        const QString out = tmp.filePath("out.mp4");
        const Run r = runExport({file}, begin, "140005", "libx264", out);
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.endings, 1);
        // Picture n's own time, from the first at or after Début to the
        // first at or after Fin.
        const QDateTime t0 = QDateTime(QDate(2024, 3, 5), QTime(14, 0), Qt::UTC).addMSecs(camera.offsetMs);
        const QDateTime from(QDate(2024, 3, 5), QTime::fromString(begin, "HHmmss"), Qt::UTC);
        const QDateTime to(QDate(2024, 3, 5), QTime(14, 0, 5), Qt::UTC);
        QStringList times;
        QList<int> pictures;
        for (int n = 0; n < 100 && (times.isEmpty() || t0.addMSecs((n - 1) * 100) < to); ++n) {
            if (t0.addMSecs(n * 100) < from)
                continue;
            times.append(t0.addMSecs(n * 100).toString("yyyyMMddHHmmsszzz"));
            pictures.append(n);
        }
        QCOMPARE(r.timestamps, times);
        QCOMPARE(pictureNumbers(out), pictures);
        QCOMPARE(codectest::probe(out).frameRate, QString("10/1"));
    }

    void threeFilesProgress()
    {
        QTemporaryDir tmp;
        QProcess gen;
        gen.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        gen.start("python3", {ZU_SOURCE_DIR "/tools/make_export_folder", "--out", tmp.path(), "--minutes", "0.3",
                              "--segment-minutes", "0.1", "--cameras", "1"});
        QVERIFY(gen.waitForFinished(300000) && gen.exitCode() == 0);
        const QString day = QString::fromUtf8(gen.readAllStandardOutput()).trimmed().split('\n').last() + "/2024-03-05";
        const QList<QFileInfo> files = cameraFiles(day, 3);
        QCOMPARE(files.size(), 3);
        const QString out = tmp.filePath("three.mkv");
        const int expected = expectedFrames(seekLines(files), "140000", "140100");
        const Run r = runExport(files, "140000", "140100", "libx264", out);
        QCOMPARE(r.errors, QList<int>());
        QCOMPARE(r.endings, 1);
        QCOMPARE(int(r.values.size()), expected);
        for (int i = 1; i < r.values.size(); ++i)
            QVERIFY2(r.values[i] >= r.values[i - 1], qPrintable(QString("at %1").arg(i)));
        // 100 per frame over the frames of one file: about 300 after three.
        QVERIFY2(qAbs(r.values.last() - 300) <= 10, qPrintable(QString::number(r.values.last())));
        QCOMPARE(probedFrames(out), expected);
    }

    // Rates that are no rate never reach the encoder as 0 or as an
    // overflowed integer.
    void encoderRate()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QCOMPARE(ff_export::encoderFps(12.9, -1.0), 12);
        QCOMPARE(ff_export::encoderFps(0.0, 8.0), 8);
        QCOMPARE(ff_export::encoderFps(std::numeric_limits<double>::infinity(), nan), 25);
        QCOMPARE(ff_export::encoderFps(0.5, -1.0), 1);
        QCOMPARE(ff_export::encoderFps(1e12, -1.0), 1000);
    }

    // Data that no seek entry reaches (a recorder stopped before writing its
    // index): the export goes on without it and its row ends listing it.
    void unindexedDataIsListed_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("text");
        QTest::newRow("data past the last seek entry")
            << "tail" << "Encodage terminé : données non indexées laissées de côté : 12_20240305_140000.zuvideo après 14:00:05.400";
        QTest::newRow("an empty seek file")
            << "empty" << "Encodage terminé : données non indexées laissées de côté : 12_20240305_140006.zuvideo";
    }
    void unindexedDataIsListed()
    {
        QFETCH(QString, damage);
        QFETCH(QString, text);
        QTemporaryDir tmp;
        const QList<QFileInfo> files = copyCamera(tmp.filePath("copy"), "");
        QCOMPARE(files.size(), 2);
        QFile seek(files.at(damage == "tail" ? 0 : 1).absoluteFilePath().replace(".zuvideo", ".zuseek"));
        QVERIFY(seek.open(QIODevice::ReadWrite));
        QList<QByteArray> lines = seek.readAll().split('\n');
        while (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        lines = damage == "tail" ? lines.mid(0, lines.size() - 5) : QList<QByteArray>();
        const QByteArray kept = lines.isEmpty() ? QByteArray() : lines.join('\n') + '\n';
        QVERIFY(seek.resize(0) && seek.write(kept) == kept.size());
        seek.close();

        const QString out = tmp.filePath("left.mp4");
        QPointer<Download_presentation> window = new Download_presentation;
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto *item = new EncodeItem_Presentation(out);
        item->set_exporter(makeWorker(files, "140000", "140010", "libx264", out));
        item->setType("zuplayer");
        window->add_item(item);
        QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 1, 120000);
        QCOMPARE(window->succeededJobs().first()->downloadInfoLabel->text(), text);
        QVERIFY(probedFrames(out) > 0);
        QVERIFY(window->close());
        QTRY_VERIFY(window.isNull());
    }

    // Two exports to one name, asked for one after the other while the name
    // was free (or while it held a file the user agreed to replace): the
    // one that ends first takes the name; the other never replaces that
    // file, keeps what it encoded beside it and ends as a failure that says
    // where.
    void twoExportsToOneName_data()
    {
        QTest::addColumn<bool>("replacing"); // a file stood there, both agreed to replace it
        QTest::newRow("name free when both were asked for") << false;
        QTest::newRow("both agreed to replace the file there") << true;
    }
    void twoExportsToOneName()
    {
        QFETCH(bool, replacing);
        QTemporaryDir tmp;
        const QString out = tmp.filePath("export.mp4");
        if (replacing) {
            QFile old(out);
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("an earlier export") > 0);
        }
        const QList<QFileInfo> files = cameraFiles(m_day, 12);
        const QList<QByteArray> lines = seekLines(files);
        // Both asked for before either runs.
        ff_export *shortOne = makeWorker(files, "140000", "140002", "libx264", out);
        ff_export *longOne = makeWorker(files, "140000", "140006", "libx264", out);
        QPointer<Download_presentation> window = new Download_presentation;
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto *first = new EncodeItem_Presentation(out);
        first->set_exporter(shortOne);
        first->setType("zuplayer");
        auto *second = new EncodeItem_Presentation(out);
        second->set_exporter(longOne);
        second->setType("zuplayer");
        LogCapture log;
        window->add_item(first);
        QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 1, 120000);
        window->add_item(second);
        QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size() + window->failedJobs().size(), 2, 120000);
        QCOMPARE(window->failedJobs().size(), 1);
        Presentation_Interface *failed = window->failedJobs().first();
        QCOMPARE(failed->fileName(), out);
        QCOMPARE(failed->downloadInfoLabel->text(),
                 QString("Le fichier « export.mp4 » a été créé par ailleurs pendant l'exportation : il est conservé, "
                         "et la vidéo exportée est enregistrée à côté sous le nom « export-1.mp4 »."));
        QCOMPARE(log.lines("ZuPlayer Exporter :: output name taken during the export :: "),
                 QStringList{out + " :: kept as :: " + tmp.filePath("export-1.mp4")});
        QCOMPARE(probedFrames(out), expectedFrames(lines, "140000", "140002"));
        QCOMPARE(probedFrames(tmp.filePath("export-1.mp4")), expectedFrames(lines, "140000", "140006"));
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"export-1.mp4", "export.mp4"}));
        QVERIFY(window->close());
        QTRY_VERIFY(window.isNull());
    }

    // An export job in the job window: a failure moves to the failed list;
    // closing the window while the export runs asks, and either answer ends
    // with no crash and no thread left behind.
    void windowJob_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("encoder failure") << "";
        QTest::newRow("close answered Non") << "Non";
        QTest::newRow("close answered Oui") << "Oui";
        QTest::newRow("damaged pictures") << "damaged";
    }
    void windowJob()
    {
        QFETCH(QString, answer);
        const int baseline = threadCount();
        QTemporaryDir tmp;
        const bool damaged = answer == "damaged";
        const QString out = answer.isEmpty() ? "/nonexistent-folder/x.mp4"
                                             : tmp.filePath(damaged ? "damaged.mp4" : "running.webm");
        QList<QFileInfo> files = cameraFiles(m_day, 3);
        if (damaged) {
            // The second half of the fourth picture's data (a P picture)
            // made noise: the decoder conceals it.
            files = copyCamera(tmp.filePath("copy"), "");
            QVERIFY(!files.isEmpty());
            const ZuFrame unit = ZuSeekFile::parse(ZuSeekFile::seekPathFor(files.first().absoluteFilePath()),
                                                   files.first().absoluteFilePath(), "0")
                                     .frames.value(3);
            QVERIFY(unit.size > 32 && !unit.isKeyframe());
            QFile data(files.first().absoluteFilePath());
            QVERIFY(data.open(QIODevice::ReadWrite) && data.seek(unit.offset + unit.size / 2));
            QByteArray noise(unit.size - unit.size / 2, Qt::Uninitialized);
            for (int i = 0; i < noise.size(); ++i)
                noise[i] = char(0x80 | ((i * 37) & 0x7f)); // no start codes in it
            data.write(noise);
        }
        QPointer<ff_export> worker = makeWorker(files, "140000", damaged ? "140002" : "235959",
                                                damaged ? "libx264" : "vp9", out);
        QPointer<Download_presentation> window = new Download_presentation;
        window->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<EncodeItem_Presentation> item = new EncodeItem_Presentation(out);
        item->set_exporter(worker);
        item->setType("zuplayer");
        window->add_item(item);
        bool closed = false;
        if (!answer.isEmpty() && !damaged) {
            bool wasRunning = false;
            QTimer::singleShot(0, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                QVERIFY(box);
                wasRunning = worker && worker->isRunning();
                for (QAbstractButton *button : box->buttons())
                    if (button->text() == answer)
                        button->click();
            });
            closed = window->close();
            QCOMPARE(closed, answer == "Oui");
            QVERIFY(wasRunning || !closed);
        }
        if (!closed) {
            // The failure, or the export left to run to its end, moves its row.
            QList<Presentation_Interface *> &list = answer.isEmpty() ? window->failedJobs() : window->succeededJobs();
            QTRY_COMPARE_WITH_TIMEOUT(list.size(), 1, 120000);
            QCOMPARE(list.first()->fileName(), out);
            if (answer.isEmpty())
                QCOMPARE(list.first()->downloadInfoLabel->text(), QString("Erreur d'initialisation de l'encodeur. #1"));
            else if (damaged)
                QVERIFY2(QRegularExpression("^Encodage terminé : [1-9][0-9]* image\\(s\\) endommagée\\(s\\)$")
                             .match(list.first()->downloadInfoLabel->text())
                             .hasMatch(),
                         qPrintable(list.first()->downloadInfoLabel->text()));
            else
                QVERIFY(probedFrames(out) > 0);
            QVERIFY(window->close()); // nothing active: no question
        }
        QTRY_VERIFY(window.isNull());
        QVERIFY(item.isNull() && worker.isNull());
        // Every worker, reader and encoder thread has been joined.
        QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= baseline, 30000);
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"
