// The program as a user starts it: under a virtual X server, beside a copy
// of the generated export folder, it must open the folder by itself, play
// the first camera and show its recorded minutes on the timeline.
#include "../common/xvfb_util.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestMainWindowXvfb : public QObject
{
    Q_OBJECT
private slots:
    void playsTheNearestExportFolder()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            ZU_SKIP_MISSING("Xvfb");
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty(), "ffmpeg is needed to grab the screen");
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

        QProcess server;
        const QString display = xvfb::start(server, QStringLiteral("1920x1080"));
        const auto stopServer = qScopeGuard([&] { xvfb::stop(server); });
        QVERIFY2(!display.isEmpty(), "Xvfb did not report its display");
        QProcessEnvironment env = xvfb::environment(display, dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("home/.config")));
        env.insert(QStringLiteral("ZUPLAYER_CONFIG"), dir.filePath(QStringLiteral("none.ini")));
        QProcess app;
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(exe, {});
        QVERIFY(app.waitForStarted(30000));

        // Grab until the picture and the timeline are there (or time is up).
        QImage img;
        int colours = 0, recorded = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 90000 && app.state() == QProcess::Running && (colours < 12 || recorded < 400)) {
            QTest::qWait(1000);
            const QImage shot = xvfb::grab(env, QStringLiteral("1920x1080"), dir.filePath(QStringLiteral("shot.png")));
            if (shot.isNull())
                continue;
            img = shot;
            // The video area: right of the side panel and above the timeline.
            colours = xvfb::colours(img, QRect(420, 60, 1440, 700));
            // Recorded time on the timeline's track, in its green.
            recorded = 0;
            for (int y = 1080 - 232; y < 1079; ++y)
                for (int x = 380; x < 1920; ++x) {
                    const QRgb c = img.pixel(x, y);
                    recorded += qAbs(qRed(c) - 0x22) <= 40 && qAbs(qGreen(c) - 0xc5) <= 40 && qAbs(qBlue(c) - 0x5e) <= 40;
                }
        }
        const QByteArray output = app.readAll();
        xvfb::stop(app);
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
