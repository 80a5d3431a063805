// An export job in a job window: success and failure rows, and closing the
// window while the export runs (answered "Non", then "Oui") without a crash
// or a thread left behind.
#include "export_testutil.h"

#include "download_presentation.h"
#include "encodeitem_presentation.h"

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

using namespace etest;

namespace {
int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}
} // namespace

class TestExportWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void successMovesToSucceeded();
    void encoderFailureMovesToFailed();
    void closeWhileRunning();

private:
    EncodeItem_Presentation *makeJob(const QString &out, const QString &codec, const QString &begin,
                                     const QString &end, QPointer<ff_export> *worker);
    QString m_day;
};

void TestExportWindow::initTestCase()
{
    m_day = smallDay();
    QVERIFY2(!m_day.isEmpty(), "the small_export fixture is missing");
    // Idle pool threads (text rendering of the caption uses the pool) are
    // not the export's: let them go quickly so the thread count says what
    // the export left behind.
    QThreadPool::globalInstance()->setExpiryTimeout(50);
}

EncodeItem_Presentation *TestExportWindow::makeJob(const QString &out, const QString &codec, const QString &begin,
                                                   const QString &end, QPointer<ff_export> *worker)
{
    auto *exporter = new ff_export;
    exporter->set_files(cameraFiles(m_day, 3));
    exporter->set_begin_time(begin);
    exporter->set_end_time(end);
    exporter->set_stream_id(QStringLiteral("0"));
    exporter->set_camera_names({{3, QStringLiteral("Entrée principale")}});
    exporter->configure(out, codec, 2048, true, QStringLiteral("large"));
    *worker = exporter;
    auto *item = new EncodeItem_Presentation(out);
    item->set_exporter(exporter);
    item->setType(QStringLiteral("zuplayer"));
    return item;
}

void TestExportWindow::successMovesToSucceeded()
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("ok.mp4"));
    QPointer<ff_export> worker;
    QPointer<Download_presentation> window = new Download_presentation;
    window->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<EncodeItem_Presentation> item =
        makeJob(out, QStringLiteral("libx264"), QStringLiteral("140000"), QStringLiteral("140004"), &worker);
    window->add_item(item);
    QVERIFY(item->isStarted());
    QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 1, 60000);
    QCOMPARE(window->inProgressTitle(), QStringLiteral("En cours (0)"));
    QCOMPARE(window->tabTitle(0), QStringLiteral("Réussis (1)"));
    QCOMPARE(window->tabTitle(1), QStringLiteral("Echoués (0)"));
    Presentation_Interface *row = window->succeededJobs().first();
    QCOMPARE(row->fileName(), out);
    QVERIFY(!row->openButton->isHidden() && !row->openRepButton->isHidden());
    QTRY_VERIFY(item.isNull());
    QVERIFY(worker.isNull());
    QCOMPARE(probe(out).frames,
             expectedFrames(seekLines(cameraFiles(m_day, 3), QStringLiteral("video0")), QStringLiteral("140000"),
                            QStringLiteral("140004")));
    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
}

void TestExportWindow::encoderFailureMovesToFailed()
{
    QPointer<ff_export> worker;
    Download_presentation window;
    QPointer<EncodeItem_Presentation> item = makeJob(QStringLiteral("/nonexistent-folder/x.mp4"),
                                                     QStringLiteral("libx264"), QStringLiteral("140000"),
                                                     QStringLiteral("140004"), &worker);
    window.add_item(item);
    QTRY_COMPARE_WITH_TIMEOUT(window.failedJobs().size(), 1, 60000);
    QCOMPARE(window.succeededJobs().size(), 0);
    QCOMPARE(window.failedJobs().first()->downloadInfoLabel->text(),
             QStringLiteral("Erreur d'initialisation de l'encodeur. #1"));
    QCOMPARE(window.tabTitleColor(1), QColor(Qt::red));
    // The job row goes, and its worker with it, once its thread has ended.
    QTRY_VERIFY(item.isNull());
    QVERIFY(worker.isNull());
    QCoreApplication::processEvents();
    QCOMPARE(window.failedJobs().size(), 1);
}

void TestExportWindow::closeWhileRunning()
{
    const int baseline = threadCount();
    for (const QString &answer : {QStringLiteral("Non"), QStringLiteral("Oui")}) {
        QTemporaryDir tmp;
        const QString out = tmp.filePath(QStringLiteral("running.webm"));
        QPointer<ff_export> worker;
        QPointer<Download_presentation> window = new Download_presentation;
        window->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<EncodeItem_Presentation> item =
            makeJob(out, QStringLiteral("vp9"), QStringLiteral("140000"), QStringLiteral("235959"), &worker);
        window->add_item(item);
        bool asked = false;
        bool wasRunning = false;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            asked = true;
            wasRunning = worker && worker->isRunning();
            for (QAbstractButton *button : box->buttons())
                if (button->text() == answer)
                    button->click();
        });
        const bool closed = window->close();
        QVERIFY(asked);
        if (answer == QLatin1String("Non")) {
            QVERIFY(!closed);
            QVERIFY(window->isVisible());
            // The export carries on to its end.
            QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 1, 120000);
            QVERIFY(probe(out).ok);
            QVERIFY(window->close()); // nothing active: no question
        } else {
            QVERIFY(wasRunning);
            QVERIFY(closed);
        }
        QTRY_VERIFY(window.isNull());
        QVERIFY(item.isNull());
        QVERIFY(worker.isNull());
    }
    // Every worker, reader and encoder thread has been joined.
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= baseline, 10000);
}

QTEST_MAIN(TestExportWindow)
#include "test_export_window.moc"
