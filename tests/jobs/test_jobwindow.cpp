// The job window's start rule and list moves with fake jobs (closing it with
// a running export is in test_export), the rows' texts and progress, and the
// download row against a small HTTP server on 127.0.0.1.
#include "download_presentation.h"
#include "downloadencodeitem_presentation.h"
#include "downloaditem_presentation.h"
#include "downloadmultiitems_presentation.h"
#include "encodeitem_presentation.h"
#include "zulog.h"

#include <QApplication>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A job that does nothing by itself (a download row without a network
// manager only changes its looks when started): the test ends it.
class FakeJob : public DownloadItem_Presentation
{
public:
    explicit FakeJob(const QString &file)
        : DownloadItem_Presentation(nullptr, file)
    {
        setUrlText("http://127.0.0.1:9/unused"); // a waiting job, not a finished row
    }
    void start_downloading_item() override
    {
        ++starts;
        DownloadItem_Presentation::start_downloading_item();
    }
    // Ends the job as a success or a failure, reporting it `reports` times.
    void end(bool ok, int reports = 1)
    {
        stopButton->setEnabled(false);
        setFinished();
        if (!ok) {
            downloadInfoLabel->setText("failed " + fileName());
            tryAgainButton->setEnabled(true);
            tryAgainButton->show();
            setInErrorFlag(true);
        }
        for (int i = 0; i < reports; ++i)
            Q_EMIT statusChanged();
    }
    int starts = 0;
};

QStringList sortedNames(const QList<Presentation_Interface *> &items)
{
    QStringList out;
    for (Presentation_Interface *i : items)
        out << i->fileName();
    out.sort();
    return out;
}

// Answers each request with the same canned answer.
class TinyServer : public QTcpServer
{
public:
    explicit TinyServer(const QByteArray &answer)
    {
        connect(this, &QTcpServer::newConnection, this, [this, answer] {
            while (QTcpSocket *s = nextPendingConnection()) {
                auto request = std::make_shared<QByteArray>();
                connect(s, &QTcpSocket::readyRead, s, [s, request, answer] {
                    *request += s->readAll();
                    if (request->contains("\r\n\r\n")) {
                        s->write(answer);
                        s->disconnectFromHost();
                    }
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    static QByteArray reply(const QByteArray &type, const QByteArray &body)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }
};

QByteArray payload()
{
    QByteArray data;
    for (int i = 0; i < 300000; ++i)
        data += char(i * 7 % 251);
    return data;
}

} // namespace

class TestJobWindow : public QObject
{
    Q_OBJECT

    int m_paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        m_paints += event->type() == QEvent::Paint;
        return QObject::eventFilter(watched, event);
    }

private slots:
    void startRuleAndMoves_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed = 1; seed <= 25; ++seed)
            QTest::addRow("seed %u", seed) << seed;
    }
    void startRuleAndMoves()
    {
        QFETCH(quint32, seed);
        QRandomGenerator rng(seed);
        auto *window = new Download_presentation;
        const int jobs = 3 + int(rng.bounded(6));
        QList<QPointer<FakeJob>> all;
        for (int i = 0; i < jobs; ++i) {
            all.append(new FakeJob(QString("/tmp/job%1.mp4").arg(i)));
            window->add_item(all.last());
        }
        // "Succeeded" is the retry button's own state, not its visibility: a
        // failure in a window not shown is still a failure.
        window->hide();
        QStringList expectedOk, expectedFail;
        for (int ended = 0;; ++ended) {
            QList<FakeJob *> running;
            for (FakeJob *j : std::as_const(all))
                if (j && j->isStarted() && !j->isFinished() && !j->isInError())
                    running.append(j);
            QCOMPARE(running.size(), qMin(2, jobs - ended));
            QCOMPARE(window->inProgressJobs().size(), jobs - ended);
            QCOMPARE(window->succeededJobs().size() + window->failedJobs().size(), ended);
            // The titles count the three lists; the failed one turns red.
            QCOMPARE(window->inProgressTitle(), QString("En cours (%1)").arg(jobs - ended));
            QCOMPARE(window->tabTitle(0), QString("Réussis (%1)").arg(expectedOk.size()));
            QCOMPARE(window->tabTitle(1), QString("Echoués (%1)").arg(expectedFail.size()));
            QCOMPARE(window->tabTitleColor(1) == QColor(Qt::red), !expectedFail.isEmpty());
            if (running.isEmpty())
                break;
            // Each end is reported once to three times, and once more later.
            FakeJob *job = running.at(int(rng.bounded(quint32(running.size()))));
            const bool ok = rng.bounded(2) == 0;
            (ok ? expectedOk : expectedFail) << job->fileName();
            job->end(ok, 1 + int(rng.bounded(3)));
            Q_EMIT job->statusChanged();
        }
        expectedOk.sort();
        expectedFail.sort();
        QCOMPARE(sortedNames(window->succeededJobs()), expectedOk);
        QCOMPARE(sortedNames(window->failedJobs()), expectedFail);
        for (Presentation_Interface *copy : window->failedJobs())
            QCOMPARE(copy->downloadInfoLabel->text(), "failed " + copy->fileName());
        for (FakeJob *j : std::as_const(all))
            QVERIFY(!j || j->starts == 1);
        // The ended jobs themselves go once control returns to the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (const QPointer<FakeJob> &j : std::as_const(all))
            QVERIFY(j.isNull());
        delete window;
    }

    // The window's pictures are drawn, not placeholders: the header badge and
    // each row's icon hold visible pixels that are not white, and a video
    // output is told from another file, in every list.
    void icons()
    {
        const auto drawn = [](const QPixmap &pixmap) {
            const QImage image = pixmap.toImage();
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = image.pixelColor(x, y);
                    if (c.alpha() > 128 && c.lightness() < 200)
                        return true;
                }
            return false;
        };
        Download_presentation window;
        QPointer<FakeJob> video = new FakeJob("/tmp/clip_H264.mp4"), other = new FakeJob("/tmp/report.pdf");
        window.add_item(video);
        window.add_item(other);
        auto *badge = window.findChild<QLabel *>("label_14");
        QVERIFY(badge && drawn(badge->pixmap()));
        QCOMPARE(badge->pixmap().deviceIndependentSize(), QSizeF(16, 16));
        const QImage videoIcon = video->fileIcon->pixmap().toImage();
        const QImage otherIcon = other->fileIcon->pixmap().toImage();
        QVERIFY(drawn(video->fileIcon->pixmap()) && drawn(other->fileIcon->pixmap()));
        QCOMPARE(video->fileIcon->pixmap().deviceIndependentSize(), QSizeF(48, 48));
        QVERIFY(videoIcon != otherIcon);
        video->end(true);
        other->end(false);
        QCOMPARE(window.succeededJobs().first()->fileIcon->pixmap().toImage(), videoIcon);
        QCOMPARE(window.failedJobs().first()->fileIcon->pixmap().toImage(), otherIcon);
    }

    // Delete on a row removes an ended job only, never a running one.
    void removeRows()
    {
        Download_presentation window;
        QPointer<FakeJob> a = new FakeJob("a"), b = new FakeJob("b"), c = new FakeJob("c");
        for (FakeJob *j : {a.data(), b.data(), c.data()})
            window.add_item(j);
        EditTableView *view = window.inProgressView();
        view->setCurrentIndex(view->model()->index(0, 0));
        QTest::keyClick(view, Qt::Key_Delete);
        QCOMPARE(window.inProgressJobs().size(), 3);

        a->end(true);
        b->end(false);
        c->end(true);
        EditTableView *done = window.succeededView();
        done->setCurrentIndex(done->model()->index(0, 0));
        QTest::keyClick(done, Qt::Key_Delete);
        QCOMPARE(sortedNames(window.succeededJobs()), QStringList{"c"});
        QTest::keyClick(done, Qt::Key_Backspace); // on the row now in its place
        QCOMPARE(window.succeededJobs().size(), 0);
        window.failedView()->setCurrentIndex(window.failedView()->model()->index(0, 0));
        QTest::keyClick(window.failedView(), Qt::Key_Delete);
        QCOMPARE(window.failedJobs().size(), 0);
    }

    // The name of a download never overwrites a file nor leaves the folder.
    void downloadNames()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.path() + '/';
        const QUrl url("http://127.0.0.1/files/report.pdf");
        QVERIFY(QFile(folder + "report.pdf").open(QIODevice::WriteOnly));
        QVERIFY(QFile(folder + "report-1.pdf").open(QIODevice::WriteOnly));
        QCOMPARE(DownloadItem_Presentation::defaultFileName(folder, url), folder + "report-2.pdf");
        QCOMPARE(DownloadItem_Presentation::defaultFileName(folder, QUrl("http://127.0.0.1/")),
                 folder + "unnamed_download.");
        const QString odd =
            DownloadItem_Presentation::defaultFileName(folder, QUrl("http://127.0.0.1/a/..%2F..%2Fetc%2Fpasswd"));
        QCOMPARE(QFileInfo(odd).absolutePath(), QFileInfo(tmp.path()).absoluteFilePath());
    }

    // A long name is elided in the middle, and painting it neither changes
    // the text nor schedules another paint.
    void squeezeLabel()
    {
        QWidget host;
        SqueezeLabel label(&host);
        const QString name = "/very/long/folder/name/that/does/not/fit/anywhere/export_final.mp4";
        label.setText(name);
        label.resize(120, 30);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        const QString shown = label.displayedText();
        QVERIFY(shown.contains(QChar(0x2026)) && shown.startsWith('/') && shown.endsWith("mp4"));
        QCoreApplication::processEvents();
        label.installEventFilter(this);
        m_paints = 0;
        label.repaint();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(m_paints, 1);
        QCOMPARE(label.text(), name);
    }

    // The export row: progress by recorded time, its end, and the texts and
    // bar shared by all rows.
    void rowProgress()
    {
        EncodeItem_Presentation item("/tmp/out.mp4");
        item.start_downloading_item(); // without a worker: only the row changes
        item.frame_downloaded_encoded("20240305140002500", "140100");
        QCOMPARE(item.progressBar->maximum(), 57);
        QCOMPARE(item.progressBar->value(), 0);
        item.frame_downloaded_encoded("20240305140030000", "140100");
        QCOMPARE(item.progressBar->value(), 27);
        item.frame_downloaded_encoded("garbage", "140100"); // ignored
        QCOMPARE(item.progressBar->value(), 27);

        QSignalSpy status(&item, &Presentation_Interface::statusChanged);
        item.error(-10);
        QVERIFY(item.isInError() && item.tryAgainButton->isEnabled());
        item.finished();
        item.finished(); // the end is handled once
        QCOMPARE(status.size(), 2);
        QVERIFY(item.isFinished() && !item.downloadedSuccessfully());
        // Byte counts over 2 GiB scale the bar, never overflow it.
        item.downloadProgress(5LL << 28, 5LL << 30);
        QVERIFY(item.progressBar->maximum() > 0);
        QCOMPARE(item.progressBar->value(), item.progressBar->maximum() / 4);
        // Nothing elapsed yet, or no total: no rate, no time left, no
        // division by zero.
        QCOMPARE(Presentation_Interface::transferText({0, 1000, 0, false, 0}, "x"),
                 QString("0 bytes of 1000 bytes (0 bytes/sec) "));
        QCOMPARE(Presentation_Interface::transferText({500, 0, 1000, false, 0}, "x"),
                 QString("500 bytes of ? (500 bytes/sec) "));
    }

    // Every row answers the network slots of the row interface, reached
    // through the interface itself: rows without a reply of their own log
    // them under their own name, or ignore them, and change nothing.
    void networkSlots_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("component"); // empty: nothing is logged
        QTest::newRow("export") << "export" << "Encode Item Presentation";
        QTest::newRow("recording download") << "encode" << "Download Encode Item Presentation";
        QTest::newRow("multi-file download") << "multi" << "";
    }
    void networkSlots()
    {
        QFETCH(QString, kind);
        QFETCH(QString, component);
        const QMetaObject &base = Presentation_Interface::staticMetaObject;
        for (const char *slot : {"downloadReadyRead()", "error(QNetworkReply::NetworkError)",
                                 "downloadProgress(qint64,qint64)", "metaDataChanged()", "stop()"}) {
            const int index = base.indexOfSlot(slot);
            QVERIFY2(index >= 0, slot);
            QCOMPARE(base.method(index).access(), QMetaMethod::Public);
        }

        std::unique_ptr<Presentation_Interface> row;
        if (kind == "export")
            row = std::make_unique<EncodeItem_Presentation>("/tmp/out.mp4");
        else if (kind == "encode")
            row = std::make_unique<DownloadEncodeItem_Presentation>(nullptr, "/tmp/out.mp4");
        else
            row = std::make_unique<DownloadMultiItems_Presentation>(QList<DownloadFileRecord>{}, QList<DownloadFileRecord>{},
                                                                    "/tmp");
        const auto state = [&row] {
            return QStringList{QString::number(row->isStarted()), QString::number(row->isFinished()),
                               QString::number(row->isInError()), row->downloadInfoLabel->text(),
                               QString::number(row->tryAgainButton->isHidden()),
                               QString::number(row->stopButton->isHidden())};
        };
        const QStringList before = state();
        QSignalSpy status(row.get(), &Presentation_Interface::statusChanged);

        QTemporaryDir dir;
        setLevelValue(1);
        ZuLogFile::install(dir.filePath("log"));
        QVERIFY(QMetaObject::invokeMethod(row.get(), "downloadReadyRead"));
        QVERIFY(QMetaObject::invokeMethod(row.get(), "error",
                                          Q_ARG(QNetworkReply::NetworkError, QNetworkReply::ConnectionRefusedError)));
        QVERIFY(QMetaObject::invokeMethod(row.get(), "metaDataChanged"));
        ZuLogFile::uninstall();

        QFile log(dir.filePath("log"));
        QVERIFY(!log.exists() || log.open(QIODevice::ReadOnly));
        QStringList lines;
        for (const QString &line : QString::fromUtf8(log.isOpen() ? log.readAll() : QByteArray()).split('\n'))
            if (line.contains("[INFO]"))
                lines << line.section("[INFO] ", 1);
        const QStringList expected =
            component.isEmpty() ? QStringList()
                                : QStringList{component + " :: downloadReadyRead", component + " :: network error",
                                              component + " :: metaDataChanged"};
        QCOMPARE(lines, expected);
        QCOMPARE(state(), before);
        QCOMPARE(status.size(), 0);
    }

    // A download row run by the window: the data lands in the file; an error
    // answer or a refused connection fails the job and leaves no file.
    void download_data()
    {
        QTest::addColumn<QByteArray>("answer"); // empty: nobody listens
        QTest::addColumn<QString>("failure");
        QTest::newRow("data") << TinyServer::reply("application/octet-stream", payload()) << QString();
        QTest::newRow("JSON error") << TinyServer::reply("application/json", "{\"ZURETURN_CODE\":\"E42\"}")
                                    << "Download Error - E42";
        QTest::newRow("HTML page") << TinyServer::reply("text/html; charset=utf-8", "<p>x</p>")
                                   << "Download Error - <p>x</p>";
        QTest::newRow("refused connection") << QByteArray() << "Erreur réseau : ";
    }
    void download()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, failure);
        TinyServer server(answer);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        if (answer.isEmpty())
            server.close();
        QNetworkAccessManager manager;
        QTemporaryDir tmp;
        const QString target = tmp.filePath("file.bin");
        Download_presentation window;
        auto *item = new DownloadItem_Presentation(&window, target);
        item->setNetworkManager(&manager);
        item->setUrlText(QString("http://127.0.0.1:%1/file.bin").arg(server.serverPort()));
        window.add_item(item);
        QVERIFY(item->isStarted());
        QTRY_COMPARE_WITH_TIMEOUT(window.succeededJobs().size() + window.failedJobs().size(), 1, 20000);
        QCOMPARE(window.failedJobs().size(), failure.isEmpty() ? 0 : 1);
        if (failure.isEmpty()) {
            QFile f(target);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), payload());
        } else {
            QVERIFY(window.failedJobs().first()->downloadInfoLabel->text().startsWith(failure));
        }
        // No temporary file is left beside it.
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), failure.isEmpty() ? QStringList{"file.bin"} : QStringList());
    }
};

QTEST_MAIN(TestJobWindow)
#include "test_jobwindow.moc"
