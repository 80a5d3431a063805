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

QString smallExport()
{
    const QDir dir(QStringLiteral(ZU_BINARY_DIR "/testdata/small"));
    const QStringList roots = dir.entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
    return roots.isEmpty() ? QString() : dir.absoluteFilePath(roots.first());
}

bool near(QRgb c, int r, int g, int b, int tolerance)
{
    return qAbs(qRed(c) - r) <= tolerance && qAbs(qGreen(c) - g) <= tolerance && qAbs(qBlue(c) - b) <= tolerance;
}

// Distinct colours (reduced to 4 bits per channel) in a rectangle.
int distinctColours(const QImage &img, const QRect &r)
{
    QSet<int> seen;
    for (int y = r.top(); y <= r.bottom(); y += 3)
        for (int x = r.left(); x <= r.right(); x += 3) {
            const QRgb c = img.pixel(x, y);
            seen.insert(((qRed(c) >> 4) << 8) | ((qGreen(c) >> 4) << 4) | (qBlue(c) >> 4));
        }
    return seen.size();
}

int pixelsNear(const QImage &img, const QRect &r, int red, int green, int blue)
{
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += near(img.pixel(x, y), red, green, blue, 40) ? 1 : 0;
    return n;
}

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
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
        const QString source = smallExport();
        QVERIFY2(!source.isEmpty(), "small_export fixture missing");

        // The program finds the export folder through its own directory
        // (resolved through symbolic links), so it runs from a copy.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString exe = dir.filePath(QStringLiteral("zuplayer"));
        QVERIFY(QFile::copy(QStringLiteral(ZU_BINARY_DIR "/zuplayer"), exe));
        QVERIFY(QFile::setPermissions(exe, QFile::permissions(exe) | QFileDevice::ExeOwner));
        QProcess cp;
        cp.start(QStringLiteral("cp"), {QStringLiteral("-r"), source, dir.path()});
        QVERIFY(cp.waitForFinished(60000) && cp.exitCode() == 0);
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("home"))));

        // Xvfb picks a free display and writes its number to stdout.
        QProcess server;
        server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                            QStringLiteral("0"), QStringLiteral("1920x1080x24"), QStringLiteral("-nolisten"),
                            QStringLiteral("tcp")});
        QVERIFY(server.waitForStarted(10000));
        QByteArray number;
        QElapsedTimer wait;
        wait.start();
        while (!number.contains('\n') && wait.elapsed() < 15000 && server.state() == QProcess::Running) {
            server.waitForReadyRead(200);
            number += server.readAllStandardOutput();
        }
        const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        if (display.size() < 2) {
            stop(server);
            QFAIL("Xvfb did not report its display");
        }

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
        int colours = 0, recorded = 0, overview = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 40000 && app.state() == QProcess::Running) {
            QTest::qWait(1000);
            QFile::remove(shot);
            QProcess grab;
            grab.setProcessEnvironment(env);
            grab.start(ffmpeg, {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"),
                                QStringLiteral("-f"), QStringLiteral("x11grab"), QStringLiteral("-video_size"),
                                QStringLiteral("1920x1080"), QStringLiteral("-i"), display,
                                QStringLiteral("-frames:v"), QStringLiteral("1"), shot});
            if (!grab.waitForFinished(20000) || grab.exitCode() != 0 || !img.load(shot))
                continue;
            img = img.convertToFormat(QImage::Format_RGB32);
            // The video area: right of the side panel, above the timeline.
            colours = distinctColours(img, QRect(420, 60, 1440, 700));
            // Recorded time on the timeline's track, in its green.
            recorded = pixelsNear(img, QRect(380, 1080 - 232, 1540, 231), 0x22, 0xc5, 0x5e);
            overview = recorded;
            if (colours >= 12 && recorded >= 400)
                break;
        }
        const QByteArray output = app.readAll();
        stop(app);
        stop(server);
        if (!img.isNull())
            img.save(QStringLiteral(ZU_BINARY_DIR "/tests/player/mainwindow_xvfb.png"));
        QVERIFY2(!img.isNull(), "no screenshot could be taken");
        QVERIFY2(colours >= 12, qPrintable(QStringLiteral("video area looks blank (%1 colours); output:\n%2")
                                               .arg(colours).arg(QString::fromUtf8(output))));
        QVERIFY2(recorded >= 400, qPrintable(QStringLiteral("no recorded minutes on the timeline (%1 px)").arg(overview)));
    }
};

QTEST_MAIN(TestMainWindowXvfb)
#include "test_mainwindow_xvfb.moc"
