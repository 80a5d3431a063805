// The program as a user starts it: under a virtual X server, beside a copy
// of the generated export folder, it must open the folder by itself, play
// the first camera and show its recorded minutes on the timeline.
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList args(const char *line) { return QString::fromLatin1(line).split(QLatin1Char(' ')); }

void stop(QProcess &p)
{
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

} // namespace

class TestMainWindowXvfb : public QObject
{
    Q_OBJECT
private slots:
    void playsTheNearestExportFolder()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("Xvfb is not installed");
        const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
        QVERIFY2(!ffmpeg.isEmpty(), "ffmpeg is needed to grab the screen");
        const QStringList roots = QDir(QStringLiteral(ZU_BINARY_DIR "/testdata/small"))
                                      .entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
        QVERIFY2(!roots.isEmpty(), "small_export fixture missing");

        // The program finds the export folder through its own directory
        // (resolved through symbolic links), so it runs from a copy.
        QTemporaryDir dir;
        const QString exe = dir.filePath(QStringLiteral("zuplayer"));
        QVERIFY(QFile::copy(QStringLiteral(ZU_BINARY_DIR "/zuplayer"), exe));
        QVERIFY(QFile::setPermissions(exe, QFile::permissions(exe) | QFileDevice::ExeOwner));
        QVERIFY(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"),
                                  QStringLiteral(ZU_BINARY_DIR "/testdata/small/") + roots.first(), dir.path()}) == 0);
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("home"))));

        // Xvfb picks a free display and writes its number to stdout.
        QProcess server;
        server.start(xvfb, args("-displayfd 1 -screen 0 1920x1080x24 -nolisten tcp"));
        QVERIFY(server.waitForStarted(10000));
        QByteArray number;
        QElapsedTimer wait;
        wait.start();
        while (!number.contains('\n') && wait.elapsed() < 15000 && server.state() == QProcess::Running) {
            server.waitForReadyRead(200);
            number += server.readAllStandardOutput();
        }
        const auto stopServer = qScopeGuard([&] { stop(server); });
        QVERIFY2(!number.trimmed().isEmpty(), "Xvfb did not report its display");
        const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("home/.config")));
        env.insert(QStringLiteral("ZUPLAYER_CONFIG"), dir.filePath(QStringLiteral("none.ini")));
        QProcess app;
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(exe, {});
        QVERIFY(app.waitForStarted(10000));

        // Grab until the picture and the timeline are there (or time is up).
        const QString shot = dir.filePath(QStringLiteral("shot.png"));
        QImage img;
        int colours = 0, recorded = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 40000 && app.state() == QProcess::Running && (colours < 12 || recorded < 400)) {
            QTest::qWait(1000);
            QFile::remove(shot);
            QProcess grab;
            grab.setProcessEnvironment(env);
            grab.start(ffmpeg, args("-loglevel error -y -f x11grab -video_size 1920x1080 -i") << display
                                   << args("-frames:v 1") << shot);
            if (!grab.waitForFinished(20000) || grab.exitCode() != 0 || !img.load(shot))
                continue;
            img = img.convertToFormat(QImage::Format_RGB32);
            // Distinct colours (4 bits a channel) in the video area, right of
            // the side panel and above the timeline.
            QSet<int> seen;
            for (int y = 60; y < 760; y += 3)
                for (int x = 420; x < 1860; x += 3)
                    seen.insert(int(img.pixel(x, y) & 0xf0f0f0));
            colours = seen.size();
            // Recorded time on the timeline's track, in its green.
            recorded = 0;
            for (int y = 1080 - 232; y < 1079; ++y)
                for (int x = 380; x < 1920; ++x) {
                    const QRgb c = img.pixel(x, y);
                    recorded += qAbs(qRed(c) - 0x22) <= 40 && qAbs(qGreen(c) - 0xc5) <= 40 && qAbs(qBlue(c) - 0x5e) <= 40;
                }
        }
        const QByteArray output = app.readAll();
        stop(app);
        if (!img.isNull())
            img.save(QStringLiteral(ZU_BINARY_DIR "/tests/player/mainwindow_xvfb.png"));
        QVERIFY2(!img.isNull(), "no screenshot could be taken");
        QVERIFY2(colours >= 12, qPrintable(QStringLiteral("video area looks blank (%1 colours); output:\n%2")
                                               .arg(colours).arg(QString::fromUtf8(output))));
        QVERIFY2(recorded >= 400, qPrintable(QStringLiteral("no recorded minutes on the timeline (%1 px)").arg(recorded)));
    }
};

QTEST_MAIN(TestMainWindowXvfb)
#include "test_mainwindow_xvfb.moc"
