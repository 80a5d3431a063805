// The job window's start rule and list moves with fake jobs, the finished
// row, the row base's shared texts and the squeezed label.
#include "download_presentation.h"
#include "downloaditem_presentation.h"
#include "encodeitem_presentation.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A job that does nothing by itself: the test makes it succeed or fail.
class FakeJob : public Presentation_Interface
{
    Q_OBJECT
public:
    explicit FakeJob(const QString &file)
        : m_file(file)
    {
        setupUi(this);
        tryAgainButton->hide();
        stopButton->setEnabled(false);
        setType(QStringLiteral("zuplayer"));
    }

    void init() override {}
    void setFinished() override { m_finished = true; }
    void finished() override {}
    void setStarted() override
    {
        m_started = true;
        m_finished = false;
    }
    bool hasErrors() override { return false; }
    void start_downloading_item() override
    {
        ++startCount;
        setStarted();
        stopButton->setEnabled(true);
        downloadInfoLabel->setText(QStringLiteral("running ") + m_file);
    }
    QString fileName() override { return m_file; }
    void updateInfoLabel() override {}
    QString formatSize(qint64 bytes) override { return formatByteSize(bytes, "FakeJob"); }

    void succeed(int reports = 1)
    {
        stopButton->setEnabled(false);
        setFinished();
        for (int i = 0; i < reports; ++i)
            Q_EMIT statusChanged();
    }
    void fail(int reports = 1)
    {
        downloadInfoLabel->setText(QStringLiteral("failed ") + m_file);
        tryAgainButton->setEnabled(true);
        tryAgainButton->show();
        stopButton->setEnabled(false);
        m_inError = true;
        for (int i = 0; i < reports; ++i)
            Q_EMIT statusChanged();
    }

    int startCount = 0;
    int stopCount = 0;

public Q_SLOTS:
    void downloadReadyRead() override {}
    void error(QNetworkReply::NetworkError) override {}
    void downloadProgress(qint64, qint64) override {}
    void metaDataChanged() override {}
    void stop() override { ++stopCount; }

private Q_SLOTS:
    void tryAgain() override {}
    void open() override {}
    void openRep() override {}

private:
    QString m_file;
};

QStringList fileNames(const QList<Presentation_Interface *> &items)
{
    QStringList out;
    for (Presentation_Interface *i : items)
        out << i->fileName();
    return out;
}

} // namespace

class TestJobWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startRuleAndMoves_data();
    void startRuleAndMoves();
    void waitingText();
    void deleteKey();
    void toolTips();
    void closeWithoutActiveJobs();
    void closeAsksWithActiveJobs();
    void finishedRow();
    void failedRowInHiddenWindow();
    void sizesAndTransferText();
    void downloadNames();
    void squeezeLabel();
    void encodeItemProgress();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++m_paints;
        return QObject::eventFilter(watched, event);
    }

private:
    int m_paints = 0;
};

void TestJobWindow::startRuleAndMoves_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 25; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void TestJobWindow::startRuleAndMoves()
{
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);
    auto *window = new Download_presentation;
    const int jobs = 3 + int(rng.bounded(6));
    QList<QPointer<FakeJob>> all;
    QHash<QString, bool> outcome; // file -> succeeded
    for (int i = 0; i < jobs; ++i) {
        auto *job = new FakeJob(QStringLiteral("/tmp/job%1.mp4").arg(i));
        all.append(job);
        window->add_item(job);
        QVERIFY(window->runningCount() <= Download_presentation::kMaxRunning);
    }
    QVERIFY(window->isVisible());
    QCOMPARE(window->runningCount(), qMin(2, jobs));

    int succeeded = 0;
    int failed = 0;
    for (;;) {
        QList<FakeJob *> running;
        for (const QPointer<FakeJob> &j : std::as_const(all))
            if (j && j->isStarted() && !j->isFinished() && !j->isInError())
                running.append(j);
        QVERIFY(running.size() <= 2);
        if (running.isEmpty())
            break;
        FakeJob *job = running.at(int(rng.bounded(quint32(running.size()))));
        // Some jobs report their end twice or three times.
        const int reports = 1 + int(rng.bounded(3));
        const bool ok = rng.bounded(2) == 0;
        outcome.insert(job->fileName(), ok);
        if (ok) {
            job->succeed(reports);
            ++succeeded;
        } else {
            job->fail(reports);
            ++failed;
        }
        QCOMPARE(int(window->succeededJobs().size()), succeeded);
        QCOMPARE(int(window->failedJobs().size()), failed);
        QCOMPARE(int(window->inProgressJobs().size()), jobs - succeeded - failed);
        QVERIFY(window->runningCount() <= 2);
        QCOMPARE(window->runningCount(), qMin(2, jobs - succeeded - failed));
        QCOMPARE(window->inProgressTitle(), QStringLiteral("En cours (%1)").arg(jobs - succeeded - failed));
        QCOMPARE(window->tabTitle(0), QStringLiteral("Réussis (%1)").arg(succeeded));
        QCOMPARE(window->tabTitle(1), QStringLiteral("Echoués (%1)").arg(failed));
        // A late report after the move changes nothing.
        Q_EMIT job->statusChanged();
        QCOMPARE(int(window->succeededJobs().size()) + int(window->failedJobs().size()), succeeded + failed);
    }
    QCOMPARE(succeeded + failed, jobs);
    for (const QPointer<FakeJob> &j : std::as_const(all))
        if (j)
            QCOMPARE(j->startCount, 1);
    // Each job copied once, into the list of its outcome.
    QStringList expectedOk, expectedFail;
    for (auto it = outcome.cbegin(); it != outcome.cend(); ++it)
        (it.value() ? expectedOk : expectedFail) << it.key();
    QStringList gotOk = fileNames(window->succeededJobs()), gotFail = fileNames(window->failedJobs());
    expectedOk.sort();
    expectedFail.sort();
    gotOk.sort();
    gotFail.sort();
    QCOMPARE(gotOk, expectedOk);
    QCOMPARE(gotFail, expectedFail);
    if (failed > 0)
        QCOMPARE(window->tabTitleColor(1), QColor(Qt::red));
    // Failed copies carry the failure text.
    for (Presentation_Interface *copy : window->failedJobs())
        QCOMPARE(copy->downloadInfoLabel->text(), QStringLiteral("failed ") + copy->fileName());
    // The ended jobs themselves go once control returns to the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const QPointer<FakeJob> &j : std::as_const(all))
        QVERIFY(j.isNull());
    delete window;
}

void TestJobWindow::waitingText()
{
    Download_presentation window;
    auto *a = new FakeJob(QStringLiteral("a"));
    auto *b = new FakeJob(QStringLiteral("b"));
    auto *c = new FakeJob(QStringLiteral("c"));
    window.add_item(a);
    window.add_item(b);
    window.add_item(c);
    QVERIFY(a->isStarted() && b->isStarted());
    QVERIFY(!c->isStarted());
    QCOMPARE(c->downloadInfoLabel->text(), QStringLiteral("En attente..."));
    b->succeed();
    QVERIFY(c->isStarted());
    QCOMPARE(window.tabTitle(0), QStringLiteral("Réussis (1)"));
}

void TestJobWindow::deleteKey()
{
    Download_presentation window;
    QPointer<FakeJob> a = new FakeJob(QStringLiteral("a"));
    window.add_item(a);
    QPointer<FakeJob> b = new FakeJob(QStringLiteral("b"));
    window.add_item(b);
    QPointer<FakeJob> c = new FakeJob(QStringLiteral("c"));
    window.add_item(c);
    EditTableView *view = window.inProgressView();
    // A running job's row stays.
    view->setCurrentIndex(view->model()->index(0, 0));
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(window.inProgressJobs().size(), 3);

    a->succeed();
    b->fail();
    c->succeed();
    QCOMPARE(window.succeededJobs().size(), 2);
    EditTableView *done = window.succeededView();
    // Delete on the first finished row selects the one now in its place...
    done->setCurrentIndex(done->model()->index(0, 0));
    const QString second = window.succeededJobs().at(1)->fileName();
    QTest::keyClick(done, Qt::Key_Delete);
    QCOMPARE(window.succeededJobs().size(), 1);
    QCOMPARE(done->currentIndex().row(), 0);
    QCOMPARE(window.succeededJobs().at(0)->fileName(), second);
    // ...and Backspace on the last row leaves the list empty.
    QTest::keyClick(done, Qt::Key_Backspace);
    QCOMPARE(window.succeededJobs().size(), 0);
    // A failed export's row is a finished row: it can be removed too.
    EditTableView *failedView = window.failedView();
    failedView->setCurrentIndex(failedView->model()->index(0, 0));
    QTest::keyClick(failedView, Qt::Key_Delete);
    QCOMPARE(window.failedJobs().size(), 0);
}

void TestJobWindow::toolTips()
{
    Download_presentation window;
    auto *a = new FakeJob(QStringLiteral("a"));
    auto *b = new FakeJob(QStringLiteral("b"));
    auto *c = new FakeJob(QStringLiteral("c"));
    window.add_item(a);
    window.add_item(b);
    window.add_item(c);
    QAbstractItemModel *m = window.inProgressView()->model();
    QCOMPARE(m->data(m->index(0, 0), Qt::ToolTipRole).toString(), QStringLiteral("running a"));
    QCOMPARE(m->data(m->index(2, 0), Qt::ToolTipRole).toString(), QStringLiteral("En attente..."));
    QVERIFY(!m->data(m->index(0, 0), Qt::DisplayRole).isValid());
    QVERIFY(!m->data(m->index(7, 0), Qt::ToolTipRole).isValid());
    a->succeed();
    b->fail();
    QAbstractItemModel *ok = window.succeededView()->model();
    QAbstractItemModel *ko = window.failedView()->model();
    QVERIFY(!ok->data(ok->index(0, 0), Qt::ToolTipRole).isValid());
    QVERIFY(!ko->data(ko->index(0, 0), Qt::ToolTipRole).isValid());
}

void TestJobWindow::closeWithoutActiveJobs()
{
    QPointer<Download_presentation> window = new Download_presentation;
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto *a = new FakeJob(QStringLiteral("a"));
    window->add_item(a);
    a->succeed();
    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
}

void TestJobWindow::closeAsksWithActiveJobs()
{
    for (const QString &answer : {QStringLiteral("Non"), QStringLiteral("Oui")}) {
        QPointer<Download_presentation> window = new Download_presentation;
        window->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<FakeJob> a = new FakeJob(QStringLiteral("a"));
        QPointer<FakeJob> w = new FakeJob(QStringLiteral("w"));
        auto *c = new FakeJob(QStringLiteral("c"));
        window->add_item(a);
        window->add_item(w);
        window->add_item(c); // waiting: its stop button is disabled
        QString text, informative;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            text = box->text();
            informative = box->informativeText();
            for (QAbstractButton *button : box->buttons())
                if (button->text() == answer)
                    button->click();
        });
        const bool closed = window->close();
        QCOMPARE(text, QStringLiteral("Téléchargements actifs"));
        QCOMPARE(informative, QStringLiteral("Souhaitez-vous annuler les téléchargements actifs ?"));
        if (answer == QLatin1String("Non")) {
            QVERIFY(!closed);
            QVERIFY(window->isVisible());
            QCOMPARE(a->stopCount, 0);
            delete window;
        } else {
            QVERIFY(closed);
            QCOMPARE(a->stopCount, 1);
            QCOMPARE(w->stopCount, 1);
            QTRY_VERIFY(window.isNull());
            QVERIFY(a.isNull());
        }
    }
}

void TestJobWindow::finishedRow()
{
    DownloadItem_Presentation row(nullptr, QStringLiteral("/tmp/some/export.mp4"));
    QVERIFY(row.isFinished());
    QVERIFY(!row.isStarted());
    QVERIFY(row.downloadedSuccessfully());
    QCOMPARE(row.fileNameLabel->text(), QStringLiteral("/tmp/some/export.mp4"));
    QVERIFY(!row.openButton->isHidden() && row.openButton->isEnabled());
    QVERIFY(!row.openRepButton->isHidden() && row.openRepButton->isEnabled());
    QVERIFY(row.stopButton->isHidden() && !row.stopButton->isEnabled());
    QVERIFY(row.progressBar->isHidden());
    QCOMPARE(row.type(), QString());
}

void TestJobWindow::failedRowInHiddenWindow()
{
    // The row's window is never shown: a shown retry button still means
    // failure.
    FakeJob job(QStringLiteral("x"));
    job.setFinished();
    QVERIFY(job.downloadedSuccessfully());
    job.tryAgainButton->show();
    QVERIFY(!job.isVisible());
    QVERIFY(!job.downloadedSuccessfully());

    Download_presentation window;
    window.hide();
    auto *f = new FakeJob(QStringLiteral("f"));
    window.add_item(f);
    window.hide();
    f->setFinished();
    f->fail();
    QCOMPARE(window.succeededJobs().size(), 0);
    QCOMPARE(window.failedJobs().size(), 1);
}

void TestJobWindow::sizesAndTransferText()
{
    EncodeItem_Presentation item(QStringLiteral("/tmp/x.mp4"));
    QCOMPARE(item.formatSize(1023), QStringLiteral("1023 bytes"));
    QCOMPARE(item.formatSize(1024), QStringLiteral("1 kB"));
    QCOMPARE(item.formatSize(1048575), QStringLiteral("1023 kB"));
    QCOMPARE(item.formatSize(1048576), QStringLiteral("1 MB"));
    QCOMPARE(item.formatSize(5000000), QStringLiteral("4 MB"));

    using T = Presentation_Interface::TransferText;
    // Nothing elapsed and nothing received: no rate, no time left, no
    // division by zero.
    T t;
    t.total = 1000;
    QCOMPARE(Presentation_Interface::transferText(t, "x"), QStringLiteral("0 bytes of 1000 bytes (0 bytes/sec) "));
    t.received = 500;
    t.elapsedMs = 1000;
    QCOMPARE(Presentation_Interface::transferText(t, "x"),
             QStringLiteral("500 bytes of 1000 bytes (500 bytes/sec) - 1 secondes restantes"));
    t.total = 0;
    QCOMPARE(Presentation_Interface::transferText(t, "x"), QStringLiteral("500 bytes of ? (500 bytes/sec) "));
    t.total = 500LL * 1000;
    t.received = 500;
    QCOMPARE(Presentation_Interface::transferText(t, "x"),
             QStringLiteral("500 bytes of 488 kB (500 bytes/sec) - 16 minutes restantes"));
    t.successful = true;
    QCOMPARE(Presentation_Interface::transferText(t, "x"), QStringLiteral("500 bytes of 488 kB - Arrété"));

    // Over 2 GiB the bar is scaled, never overflowed.
    QProgressBar bar;
    const qint64 five = 5LL * 1024 * 1024 * 1024;
    Presentation_Interface::setByteProgress(&bar, five / 2, five);
    QVERIFY(bar.maximum() > 0);
    QCOMPARE(bar.value(), bar.maximum() / 2);
    item.downloadProgress(five / 4, five);
    QVERIFY(item.progressBar->maximum() > 0);
    QCOMPARE(item.progressBar->value(), item.progressBar->maximum() / 4);
}

void TestJobWindow::downloadNames()
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + QLatin1Char('/');
    const QUrl url(QStringLiteral("http://127.0.0.1/files/report.pdf"));
    QCOMPARE(DownloadItem_Presentation::defaultFileName(folder, url), folder + QStringLiteral("report.pdf"));
    QFile(folder + QStringLiteral("report.pdf")).open(QIODevice::WriteOnly);
    QCOMPARE(DownloadItem_Presentation::defaultFileName(folder, url), folder + QStringLiteral("report-1.pdf"));
    QFile(folder + QStringLiteral("report-1.pdf")).open(QIODevice::WriteOnly);
    QCOMPARE(DownloadItem_Presentation::defaultFileName(folder, url), folder + QStringLiteral("report-2.pdf"));
    QCOMPARE(DownloadItem_Presentation::defaultFileName(folder, QUrl(QStringLiteral("http://127.0.0.1/"))),
             folder + QStringLiteral("unnamed_download."));
    // An encoded separator or ".." from the address stays inside the folder.
    const QString odd = DownloadItem_Presentation::defaultFileName(
        folder, QUrl(QStringLiteral("http://127.0.0.1/a/..%2F..%2Fetc%2Fpasswd")));
    QCOMPARE(QFileInfo(odd).absolutePath(), QFileInfo(tmp.path()).absoluteFilePath());
}

void TestJobWindow::squeezeLabel()
{
    QWidget host;
    SqueezeLabel label(&host);
    const QString name = QStringLiteral("/very/long/folder/name/that/does/not/fit/anywhere/export_final.mp4");
    label.setText(name);
    label.resize(120, 30);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const QString shown = label.displayedText();
    QVERIFY(shown.contains(QChar(0x2026)));
    QVERIFY(shown.startsWith(QStringLiteral("/")));
    QVERIFY(shown.endsWith(QStringLiteral("mp4")));
    // Painting neither changes the text nor schedules another paint.
    QCoreApplication::processEvents();
    m_paints = 0;
    label.installEventFilter(this);
    label.repaint();
    QCOMPARE(m_paints, 1);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(m_paints, 1);
    QCOMPARE(label.text(), name);
    label.removeEventFilter(this);
    label.resize(2000, 30);
    QCOMPARE(label.displayedText(), name);
}

void TestJobWindow::encodeItemProgress()
{
    EncodeItem_Presentation item(QStringLiteral("/tmp/out.mp4"));
    item.setType(QStringLiteral("zuplayer"));
    QVERIFY(item.tryAgainButton->isHidden());
    QVERIFY(item.stopButton->isHidden() && !item.stopButton->isEnabled());
    QVERIFY(!item.openButton->isHidden());
    QVERIFY(item.progressBar->isHidden());
    // Without a worker the start is logged and the row looks running.
    item.start_downloading_item();
    QVERIFY(item.isStarted() && !item.isFinished());
    QVERIFY(!item.stopButton->isHidden() && item.stopButton->isEnabled());
    QVERIFY(item.openButton->isHidden());

    item.frame_downloaded_encoded(QStringLiteral("20240305140002500"), QStringLiteral("140100"));
    QCOMPARE(item.span(), 57);
    QCOMPARE(item.progressBar->maximum(), 57);
    QCOMPARE(item.progressBar->value(), 0);
    QCOMPARE(item.downloadInfoLabel->text(), QStringLiteral("Encodage en cours [ 14:00:02.500 > 14:01:00.000 ]"));
    item.frame_downloaded_encoded(QStringLiteral("20240305140030000"), QStringLiteral("140100"));
    QCOMPARE(item.progressBar->value(), 27);
    // Hostile texts leave the row as it was.
    item.frame_downloaded_encoded(QStringLiteral("garbage"), QStringLiteral("140100"));
    QCOMPARE(item.progressBar->value(), 27);

    QSignalSpy status(&item, &Presentation_Interface::statusChanged);
    item.error(-10);
    QCOMPARE(item.downloadInfoLabel->text(), QStringLiteral("L'intervalle selectionnée ne contient pas de vidéo."));
    QVERIFY(item.isInError());
    QVERIFY(!item.tryAgainButton->isHidden() && item.tryAgainButton->isEnabled());
    QCOMPARE(status.size(), 1);
    item.finished();
    item.finished();
    QCOMPARE(status.size(), 2);
    QVERIFY(item.isFinished());
    QVERIFY(!item.downloadedSuccessfully());
}

QTEST_MAIN(TestJobWindow)
#include "test_jobwindow.moc"
