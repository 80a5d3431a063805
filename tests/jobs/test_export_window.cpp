// An export job in a job window: a failure row, and closing the window while
// the export runs (answered "Non", then "Oui") without a crash or a thread
// left behind.
#include "export_testutil.h"

#include "download_presentation.h"
#include "encodeitem_presentation.h"

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThreadPool>

using namespace etest;

class TestExportWindow : public QObject
{
    Q_OBJECT

    static int threadCount() { return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

    EncodeItem_Presentation *makeJob(const QString &out, const QString &codec, const QString &end,
                                     QPointer<ff_export> *worker)
    {
        auto *exporter = new ff_export;
        exporter->set_files(cameraFiles(smallDay(), 3));
        exporter->set_begin_time("140000");
        exporter->set_end_time(end);
        exporter->set_stream_id("0");
        exporter->configure(out, codec, 2048, true, "large");
        *worker = exporter;
        auto *item = new EncodeItem_Presentation(out);
        item->set_exporter(exporter);
        item->setType("zuplayer");
        return item;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!cameraFiles(smallDay(), 3).isEmpty(), "the small_export fixture is missing");
        // Idle pool threads (text rendering of the caption uses the pool) are
        // not the export's: let them go quickly so the thread count says what
        // the export left behind.
        QThreadPool::globalInstance()->setExpiryTimeout(50);
    }

    void encoderFailureMovesToFailed()
    {
        QPointer<ff_export> worker;
        Download_presentation window;
        QPointer<EncodeItem_Presentation> item = makeJob("/nonexistent-folder/x.mp4", "libx264", "140004", &worker);
        window.add_item(item);
        QTRY_COMPARE_WITH_TIMEOUT(window.failedJobs().size(), 1, 60000);
        QCOMPARE(window.succeededJobs().size(), 0);
        QCOMPARE(window.failedJobs().first()->downloadInfoLabel->text(),
                 QString("Erreur d'initialisation de l'encodeur. #1"));
        // The job row goes, and its worker with it, once its thread has ended.
        QTRY_VERIFY(item.isNull());
        QVERIFY(worker.isNull());
        QCoreApplication::processEvents();
        QCOMPARE(window.failedJobs().size(), 1);
    }

    void closeWhileRunning()
    {
        const int baseline = threadCount();
        for (const QString answer : {"Non", "Oui"}) {
            QTemporaryDir tmp;
            const QString out = tmp.filePath("running.webm");
            QPointer<ff_export> worker;
            QPointer<Download_presentation> window = new Download_presentation;
            window->setAttribute(Qt::WA_DeleteOnClose);
            QPointer<EncodeItem_Presentation> item = makeJob(out, "vp9", "235959", &worker);
            window->add_item(item);
            bool wasRunning = false;
            QTimer::singleShot(0, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                QVERIFY(box);
                wasRunning = worker && worker->isRunning();
                for (QAbstractButton *button : box->buttons())
                    if (button->text() == answer)
                        button->click();
            });
            const bool closed = window->close();
            QCOMPARE(closed, answer == "Oui");
            QVERIFY(wasRunning || !closed);
            if (!closed) {
                // The export carries on to its end and its row moves.
                QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 1, 120000);
                QCOMPARE(window->succeededJobs().first()->fileName(), out);
                QVERIFY(probe(out).frames > 0);
                QVERIFY(window->close()); // nothing active: no question
            }
            QTRY_VERIFY(window.isNull());
            QVERIFY(item.isNull() && worker.isNull());
        }
        // Every worker, reader and encoder thread has been joined.
        QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= baseline, 10000);
    }
};

QTEST_MAIN(TestExportWindow)
#include "test_export_window.moc"
