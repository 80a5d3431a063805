// The encoded road of the export dialog: "Exporter" opens a job window whose
// job writes a file that ffprobe accepts, and the hidden dialog goes with
// that window.
#include "test_popupexport_util.h"

#include "download_presentation.h"
#include "popupexport.h"
#include "presentation_interface.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTimeEdit>

using namespace etest;

class TestPopupExportEncoded : public QObject
{
    Q_OBJECT

    static Download_presentation *jobWindow()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *window = qobject_cast<Download_presentation *>(w))
                return window;
        }
        return nullptr;
    }

private slots:
    void encodedExportRunsInAJobWindow_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("codec");
        QTest::newRow("H.264") << 0 << "_H264.mp4" << "h264";
        QTest::newRow("MJPEG") << 2 << "_MJPEG.avi" << "mjpeg";
    }

    void encodedExportRunsInAJobWindow()
    {
        QFETCH(int, format);
        QFETCH(QString, suffix);
        QFETCH(QString, codec);
        const QString exportFolder = smallExport();
        QVERIFY2(!exportFolder.isEmpty(), "no generated export folder under testdata/small");
        const QString day = dayFolderOf(exportFolder);
        QTemporaryDir tmp;

        QPointer<PopupExport> d = new PopupExport(dayVideoFiles(day), 3, "0", day, "2024-03-05 14:00:01.000");
        d->show();
        d->format_combo()->setCurrentIndex(format);
        d->end_edit()->setTime(QTime(14, 0, 9));
        d->file_name_edit()->setText(tmp.filePath("Out/clip"));
        QVERIFY(jobWindow() == nullptr);
        d->doExport();

        const QString output = tmp.filePath("Out/clip") + suffix;
        QCOMPARE(d->get_export_path(), output);
        QVERIFY(!d->isVisible());
        QVERIFY(d->raw_worker() == nullptr);
        QPointer<Download_presentation> window = jobWindow();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Téléchargement"));
        QCOMPARE(window->inProgressJobs().size() + window->succeededJobs().size(), 1);

        QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 1, 120000);
        QVERIFY(window->failedJobs().isEmpty());
        QCOMPARE(window->succeededJobs().first()->fileName(), output);

        QString probe;
        QVERIFY2(run("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,width,height", "-of", "json",
                                 output},
                     &probe),
                 qPrintable(probe));
        const QJsonArray streams = QJsonDocument::fromJson(probe.toUtf8()).object().value("streams").toArray();
        QCOMPARE(streams.size(), 1);
        QCOMPARE(streams.at(0).toObject().value("codec_name").toString(), codec);
        QCOMPARE(streams.at(0).toObject().value("width").toInt(), 320);

        // Nobody deletes the hidden dialog but its job window's end.
        QVERIFY(d);
        window->close();
        QTRY_VERIFY(window.isNull());
        QTRY_VERIFY(d.isNull());
    }
};

ZU_EXPORT_TEST_MAIN(TestPopupExportEncoded)
#include "test_popupexport_encoded.moc"
