// The widget player window on a virtual X server: once it plays, a grab of
// the screen must show a picture in its video area, not a blank surface.
#include "../common/xvfb_util.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestLegacyXvfb : public QObject
{
    Q_OBJECT
private slots:
    void videoAreaShowsThePicture()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            ZU_SKIP_MISSING("Xvfb");
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty(), "ffmpeg is needed to grab the screen");
        const QStringList roots = QDir(QStringLiteral(ZU_BINARY_DIR "/testdata/small")).entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
        QVERIFY2(!roots.isEmpty(), "small_export fixture missing");

        QProcess server;
        const QString display = xvfb::start(server, QStringLiteral("1600x900"));
        const auto stopServer = qScopeGuard([&] { xvfb::stop(server); });
        QVERIFY2(!display.isEmpty(), "Xvfb did not report its display");
        QTemporaryDir home;
        const QProcessEnvironment env = xvfb::environment(display, home.path());
        // The driver plays the day and prints "playing X Y W H": where its
        // video surface is on the screen.
        QProcess driver;
        driver.setProcessEnvironment(env);
        driver.start(QStringLiteral(ZU_BINARY_DIR "/tests/legacy/legacy_xvfb_driver"),
                     {QStringLiteral(ZU_BINARY_DIR "/testdata/small/") + roots.first() + QStringLiteral("/2024-03-05")});
        const auto stopDriver = qScopeGuard([&] { xvfb::stop(driver); });
        QByteArray out;
        QElapsedTimer wait;
        wait.start();
        while (!out.contains("playing") && wait.elapsed() < 60000 && driver.waitForStarted(10000)
               && driver.state() == QProcess::Running) {
            driver.waitForReadyRead(200);
            out += driver.readAllStandardOutput();
            driver.readAllStandardError();
        }
        const QList<QByteArray> f = out.mid(out.indexOf("playing")).split('\n').first().split(' ');
        QVERIFY2(out.contains("playing") && f.size() == 5, out.constData());
        const QRect area(f.at(1).toInt(), f.at(2).toInt(), f.at(3).toInt(), f.at(4).toInt());
        QVERIFY(area.width() > 100 && area.height() > 100);

        const QImage img = xvfb::grab(env, QStringLiteral("1600x900"), home.filePath(QStringLiteral("shot.png")));
        QVERIFY(!img.isNull());
        img.save(QStringLiteral(ZU_BINARY_DIR "/tests/legacy/legacy_xvfb.png"));
        const int colours = xvfb::colours(img, area);
        QVERIFY2(colours >= 12, qPrintable(QStringLiteral("video area looks blank (%1 colours)").arg(colours)));
    }
};

QTEST_MAIN(TestLegacyXvfb)
#include "tst_legacy_xvfb.moc"
