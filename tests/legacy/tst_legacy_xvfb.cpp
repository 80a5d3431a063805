// The widget player window on a virtual X server: once it plays, a grab of
// the screen must show a picture in its video area, not a blank surface.
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void stop(QProcess &p)
{
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

} // namespace

class TestLegacyXvfb : public QObject
{
    Q_OBJECT
private slots:
    void videoAreaShowsThePicture()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("Xvfb is not installed");
        const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
        QVERIFY2(!ffmpeg.isEmpty(), "ffmpeg is needed to grab the screen");
        const QStringList roots = QDir(QStringLiteral(ZU_BINARY_DIR "/testdata/small")).entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
        QVERIFY2(!roots.isEmpty(), "small_export fixture missing");
        const QString day = QStringLiteral(ZU_BINARY_DIR "/testdata/small/") + roots.first() + QStringLiteral("/2024-03-05");

        QProcess server;
        server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                            QStringLiteral("1600x900x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(server.waitForStarted(10000));
        const auto stopServer = qScopeGuard([&] { stop(server); });
        QByteArray number;
        QElapsedTimer wait;
        wait.start();
        while (!number.contains('\n') && wait.elapsed() < 15000 && server.state() == QProcess::Running) {
            server.waitForReadyRead(200);
            number += server.readAllStandardOutput();
        }
        QVERIFY2(!number.trimmed().isEmpty(), "Xvfb did not report its display");
        const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("HOME"), home.path());
        QProcess driver;
        driver.setProcessEnvironment(env);
        driver.start(QStringLiteral(ZU_BINARY_DIR "/tests/legacy/legacy_xvfb_driver"), {day});
        QVERIFY(driver.waitForStarted(10000));
        const auto stopDriver = qScopeGuard([&] { stop(driver); });
        QByteArray out;
        wait.restart();
        while (!out.contains("playing") && wait.elapsed() < 60000 && driver.state() == QProcess::Running) {
            driver.waitForReadyRead(200);
            out += driver.readAllStandardOutput();
            driver.readAllStandardError();
        }
        const int at = out.indexOf("playing");
        QVERIFY2(at >= 0, out.constData());
        const QList<QByteArray> f = out.mid(at).split('\n').first().split(' ');
        QCOMPARE(f.size(), 5);
        const QRect area(f.at(1).toInt(), f.at(2).toInt(), f.at(3).toInt(), f.at(4).toInt());
        QVERIFY(area.width() > 100 && area.height() > 100);

        const QString shot = home.filePath(QStringLiteral("shot.png"));
        QProcess grab;
        grab.setProcessEnvironment(env);
        grab.start(ffmpeg, {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
                            QStringLiteral("x11grab"), QStringLiteral("-video_size"), QStringLiteral("1600x900"),
                            QStringLiteral("-i"), display, QStringLiteral("-frames:v"), QStringLiteral("1"), shot});
        QVERIFY(grab.waitForFinished(30000) && grab.exitCode() == 0);
        QImage img;
        QVERIFY(img.load(shot));
        img = img.convertToFormat(QImage::Format_RGB32);
        img.save(QStringLiteral(ZU_BINARY_DIR "/tests/legacy/legacy_xvfb.png"));
        // Distinct colours (4 bits a channel) in the video area: a blank or
        // "stopped" surface has two or three.
        QSet<int> seen;
        const QRect r = area.intersected(img.rect());
        for (int y = r.top(); y < r.bottom(); y += 3)
            for (int x = r.left(); x < r.right(); x += 3)
                seen.insert(int(img.pixel(x, y) & 0xf0f0f0));
        QVERIFY2(seen.size() >= 12, qPrintable(QStringLiteral("video area looks blank (%1 colours)").arg(seen.size())));
    }
};

QTEST_MAIN(TestLegacyXvfb)
#include "tst_legacy_xvfb.moc"
