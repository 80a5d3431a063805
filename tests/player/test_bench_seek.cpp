// The playback benchmark measures the main window where the user looks: on a
// virtual screen of its own, the program launched beside the export folder
// and ffplay on the same access units. A short run on the small export
// folder must give every figure, each a real measurement.
#include "../common/zu_test_util.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

class TestBenchSeek : public QObject
{
    Q_OBJECT
private slots:
    void measuresTheWindowAndFfplay()
    {
        for (const char *tool : {"Xvfb", "ffplay", "ffmpeg"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                ZU_SKIP_MISSING(tool);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        QProcess bench;
        bench.setProcessEnvironment(env);
        bench.setProcessChannelMode(QProcess::MergedChannels);
        bench.start(QStringLiteral(ZU_BINARY_DIR "/bench/zubench"),
                    {QStringLiteral("seek"), QStringLiteral("--folder"), QStringLiteral(ZU_BINARY_DIR "/testdata/small"),
                     QStringLiteral("--seconds1x"), QStringLiteral("2"), QStringLiteral("--seeks"), QStringLiteral("2"),
                     QStringLiteral("--steps"), QStringLiteral("3"), QStringLiteral("--seconds"), QStringLiteral("1"),
                     QStringLiteral("--launches"), QStringLiteral("1")});
        QVERIFY(bench.waitForFinished(240000));
        const QString output = QString::fromUtf8(bench.readAll());
        QVERIFY2(bench.exitStatus() == QProcess::NormalExit && bench.exitCode() == 0, qPrintable(output));
        const QStringList lines = output.trimmed().split(QLatin1Char('\n'));
        QHash<QString, double> figures;
        for (const QString &pair : lines.last().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const int eq = pair.indexOf(QLatin1Char('='));
            bool ok = false;
            const double value = pair.mid(eq + 1).toDouble(&ok);
            QVERIFY2(eq > 0 && ok, qPrintable(pair));
            figures.insert(pair.left(eq), value);
        }
        // Measured, so above zero (-1 marks a figure that could not be taken).
        for (const char *key : {"painted_fps_1x", "paint_ms_p99", "cpu_s_per_min_1x", "rss_peak_mb_1x",
                                "first_picture_ms", "ffplay_cpu_s_per_min_1x", "ffplay_rss_peak_mb",
                                "ffplay_first_picture_ms", "shown_fps_8x", "shown_fps_minus8x", "seek_ms"}) {
            QVERIFY2(figures.contains(QLatin1String(key)), key);
            QVERIFY2(figures.value(QLatin1String(key)) > 0, qPrintable(QStringLiteral("%1=%2\n%3")
                                                                            .arg(QLatin1String(key))
                                                                            .arg(figures.value(QLatin1String(key)))
                                                                            .arg(output)));
        }
        // The window and the camera it opened by itself.
        QVERIFY2(output.contains(QStringLiteral("window=1920x1080")), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("camera=Entrée principale")), qPrintable(output));
    }
};

QTEST_MAIN(TestBenchSeek)
#include "test_bench_seek.moc"
