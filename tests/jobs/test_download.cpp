// Network download jobs against servers on 127.0.0.1: the stand-in download
// server (download_server.py: every error reply form, digests, a slow path,
// a path that fails n times) and an unmodified `python3 -m http.server` as a
// real peer, with digests checked against sha256sum.
#include "curlglobal.h"
#include "download_presentation.h"
#include "downloadmultiitems_presentation.h"
#include "zudownload_reply.h"
#include "zudownload_thread.h"

#include "../maintenance/test_support.h"

#include <QAbstractButton>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::readFile;
using testsupport::TestServer;
using testsupport::writeFile;

namespace {

const char kServerScript[] = ZU_SOURCE_DIR "/tests/jobs/download_server.py";

// Deterministic content without the letter 'E', so that no first line of it
// reads as an error message.
QByteArray content(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        char c = char((i * (seed * 2 + 1) + i / 7 + seed) % 251);
        data[i] = c == 'E' ? 'F' : c;
    }
    return data;
}

QString sha256sum(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("sha256sum"), {path});
    p.waitForFinished(30000);
    return QString::fromLatin1(p.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
}

DownloadFileRecord record(const QString &url, const QString &path, qint64 bytes = -1)
{
    DownloadFileRecord r;
    r.url = url;
    r.path = path;
    if (bytes >= 0)
        r.size = QString::number((bytes + 1023) / 1024);
    return r;
}

QStringList paths(const QList<DownloadFileRecord> &records)
{
    QStringList out;
    for (const DownloadFileRecord &r : records)
        out << QFileInfo(r.path).fileName();
    return out;
}

// The request paths the stand-in server saw, in order.
QStringList requested(const TestServer &server)
{
    QStringList out;
    for (const QJsonObject &o : server.requests())
        out << o.value("path").toString();
    return out;
}

// An owner for a transfer thread run on its own: the thread writes to the
// file this names.
class PathOwner : public DownloadMultiItems_Presentation
{
public:
    explicit PathOwner(const QString &path)
        : DownloadMultiItems_Presentation({}, {}, QString())
        , m_path(path)
    {
    }
    QString fileName() override { return m_path; }

private:
    QString m_path;
};

// A new multi-file job added to `window`. It waits to be started, as the
// window's own retry makes it.
DownloadMultiItems_Presentation *queueJob(Download_presentation *window, const QList<DownloadFileRecord> &pending,
                                          const QString &folder)
{
    auto *job = new DownloadMultiItems_Presentation(pending, {}, folder);
    job->setType("multi");
    job->clearFinishedAndError();
    window->add_item(job);
    return job;
}

void clickButton(QDialog *dialog, const QString &text)
{
    for (QAbstractButton *b : dialog->findChildren<QAbstractButton *>())
        if (b->text() == text) {
            b->click();
            return;
        }
}

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root; // what the servers publish
    QHash<QString, QByteArray> m_files;

    void publish(const QString &name, const QByteArray &data)
    {
        QVERIFY(writeFile(m_root.filePath(name), data));
        m_files.insert(name, data);
    }
    bool startServer(TestServer &server, const QString &record, const QStringList &extra = {})
    {
        return server.start(QStringList{"--root", m_root.path()} + extra, record);
    }
    static QString url(const TestServer &server, const QString &rest)
    {
        return server.url() + QLatin1Char('/') + rest;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(zuCurlGlobalInit());
        QVERIFY(m_root.isValid());
        publish("a.bin", content(300 * 1024, 1));
        publish("b.dat", content(100 * 1024, 2));
        publish("c.zip", content(50 * 1024, 3));
        publish("slow.bin", content(2 * 1024 * 1024, 4));
        publish("small.txt", "first line\nsecond line\n");
    }

    // Header lines and reply bodies as the transfer thread reads them.
    void replyHeaders_data()
    {
        QTest::addColumn<QByteArrayList>("lines");
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<QString>("digest");
        QTest::addColumn<int>("kind");
        const int data = int(ZuDownloadReply::Kind::Data);
        QTest::newRow("file with digest")
            << QByteArrayList{"HTTP/1.0 200 OK\r\n", "Content-Type: application/octet-stream\r\n",
                              "Content-Digest: sha-256=ab12\r\n", "\r\n"}
            << "Content-Type: application/octet-stream\r\n" << "ab12\r\n" << data;
        QTest::newRow("no type") << QByteArrayList{"HTTP/1.0 200 OK\r\n", "\r\n"} << "" << "" << data;
        QTest::newRow("names in lower case")
            << QByteArrayList{"content-type: text/html\r\n", "content-digest: sha-256=ab\r\n"} << "" << "" << data;
        QTest::newRow("the last type counts")
            << QByteArrayList{"Content-Type: text/html\r\n", "Content-Type: application/zip\r\n"}
            << "Content-Type: application/zip\r\n" << "" << data;
        QTest::newRow("force-download") << QByteArrayList{"Content-Type: binary/force-download\r\n"}
                                        << "Content-Type: binary/force-download\r\n" << "" << data;
        QTest::newRow("json typed as application")
            << QByteArrayList{"Content-Type: application/json\r\n"} << "Content-Type: application/json\r\n" << ""
            << data;
        QTest::newRow("error object") << QByteArrayList{"Content-Type: text/json\r\n"}
                                      << "Content-Type: text/json\r\n" << "" << int(ZuDownloadReply::Kind::Json);
        QTest::newRow("error page") << QByteArrayList{"Content-Type: text/html; charset=utf-8\r\n"}
                                    << "Content-Type: text/html; charset=utf-8\r\n" << ""
                                    << int(ZuDownloadReply::Kind::Html);
        QTest::newRow("other type") << QByteArrayList{"Content-Type: text/plain\r\n"}
                                    << "Content-Type: text/plain\r\n" << "" << int(ZuDownloadReply::Kind::Other);
    }
    void replyHeaders()
    {
        QFETCH(QByteArrayList, lines);
        QFETCH(QString, contentType);
        QFETCH(QString, digest);
        QFETCH(int, kind);
        ZuDownloadReply::Headers h;
        for (const QByteArray &line : lines)
            h.addLine(line.constData(), size_t(line.size()));
        QCOMPARE(h.text, lines.join());
        QCOMPARE(h.contentType, contentType);
        QCOMPARE(h.digest, digest);
        QCOMPARE(int(ZuDownloadReply::classify(h.contentType)), kind);
    }

    void replyBodies()
    {
        using namespace ZuDownloadReply;
        QCOMPARE(htmlFailure("<title>500 Internal Server Error</title>\n<p>x</p>").message, "Server error 500");
        QCOMPARE(htmlFailure("<title>500 Internal Server Error</title>\n<p>x</p>").logged,
                 "<title>500 Internal Server Error</title>");
        QCOMPARE(htmlFailure("<p>oops</p>\n500 Internal Server Error").message, "IO FAILED");
        QCOMPARE(htmlFailure("").message, "IO FAILED");
        QCOMPARE(jsonFailure(R"({"ZURETURN_CODE":"E7","x":1})").message, "E7");
        for (const char *bad : {R"({"ZURETURN_CODE":7})", "[1]", "not json", R"({"OTHER":"x"})", ""})
            QCOMPARE(jsonFailure(bad).message, QString());
        QVERIFY(digestMatches("ABCDEF\r\n", "abcdef"));
        QVERIFY(!digestMatches("abcdef0\r\n", "abcdef"));
        QVERIFY(!digestMatches("\r\n", ""));
    }

    void fileHashQuery_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        const QString h = "http://127.0.0.1/";
        QTest::newRow("query") << h + "a.bin?id=3" << h + "a.bin?id=3&file_hash=1";
        QTest::newRow("no query") << h + "a.bin" << h + "a.bin?file_hash=1";
        QTest::newRow("empty query") << h + "a.bin?" << h + "a.bin?file_hash=1";
        QTest::newRow("fragment") << h + "a.bin?id=3#p" << h + "a.bin?id=3&file_hash=1#p";
        QTest::newRow("asked already") << h + "a.bin?file_hash=0" << h + "a.bin?file_hash=0";
        QTest::newRow("exe") << h + "setup.exe?v=2" << h + "setup.exe?v=2";
        QTest::newRow("dmg") << h + "setup.dmg" << h + "setup.dmg";
        QTest::newRow("zip") << h + "pack.zip?v=1" << h + "pack.zip?v=1";
        QTest::newRow("ZIP in capitals") << h + "pack.ZIP" << h + "pack.ZIP?file_hash=1";
    }
    void fileHashQuery()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(DownloadMultiItems_Presentation::withFileHashQuery(in), out);
    }

    // Size, rate and name texts; nothing elapsed or absurd sizes neither
    // divide by zero nor overflow.
    void texts()
    {
        DownloadMultiItems_Presentation none({}, {}, QString());
        QCOMPARE(none.formatSize(1023), "1023 B");
        QCOMPARE(none.formatSize(1536), "1 kB");
        QCOMPARE(none.formatSize(1048575), "1023 kB");
        QCOMPARE(none.formatSize(1048576), "1 MB");
        QCOMPARE(DownloadMultiItems_Presentation::formatRate(1000), "1000 Bit");
        QCOMPARE(DownloadMultiItems_Presentation::formatRate(8000), "7 kBit");
        QCOMPARE(DownloadMultiItems_Presentation::formatRate(8LL << 20), "8 MBit");

        const DownloadFileRecord r = record("http://127.0.0.1/x", "/tmp/x", 2048);
        DownloadMultiItems_Presentation done({}, {r, r}, "/tmp");
        QCOMPARE(done.fileNameLabel->text(), "2 fichiers téléchargés");
        QCOMPARE(done.downloadInfoLabel->text(), "/tmp");
        QVERIFY(done.openRepButton->isEnabled() && !done.openRepButton->isHidden());
        QVERIFY(done.tryAgainButton->isHidden() && done.downloadedSuccessfully());
        DownloadMultiItems_Presentation failed({r, r, r}, {}, "/tmp");
        QCOMPARE(failed.fileNameLabel->text(), "3 fichiers en erreurs");
        QVERIFY(failed.tryAgainButton->isEnabled() && !failed.tryAgainButton->isHidden());
        QVERIFY(failed.openRepButton->isHidden() && !failed.downloadedSuccessfully());
        DownloadMultiItems_Presentation both({r, r}, {r}, QString());
        QCOMPARE(both.fileNameLabel->text(), "1 / 3 fichiers téléchargés");

        // Not started: no time has elapsed.
        both.downloadProgress(5000, 10000);
        QCOMPARE(both.downloadInfoLabel->text(), "1 / 3 fichier(s) ( 0 Bit/sec  )");
        QCOMPARE(both.progressBar->maximum(), 4);
        QCOMPARE(both.progressBar->value(), 4);
        DownloadFileRecord huge = r;
        huge.size = "99999999999999999999999";
        DownloadMultiItems_Presentation absurd({huge, huge}, {}, QString());
        absurd.downloadProgress(1LL << 40, 1LL << 41);
        QVERIFY(absurd.progressBar->maximum() > 0);
        QVERIFY(absurd.progressBar->value() >= 0 && absurd.progressBar->value() <= absurd.progressBar->maximum());
        QVERIFY(absurd.downloadInfoLabel->text().startsWith("0 / 2 fichier(s) ( "));
    }

    // One transfer thread per reply form: it ends within seconds with exactly
    // one terminal signal, the row's text says why, and a refused reply
    // leaves no file.
    void transferEnds_data()
    {
        QTest::addColumn<QString>("rest"); // after the server's address; empty: nobody listens
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QByteArray>("stored"); // the part file's bytes when ok
        const QByteArray small = "first line\nsecond line\n";
        QTest::newRow("file with digest") << "small.txt?file_hash=1" << true << "" << small;
        QTest::newRow("file without type") << "small.txt?notype=1" << true << "" << small;
        QTest::newRow("type in lower case is data")
            << "small.txt?form=lowercase" << true << "" << QByteArray("<p>a page typed in lower case</p>\n");
        QTest::newRow("page 500") << "small.txt?form=html500" << false
                                  << "Erreur de téléchargement - Server error 500" << QByteArray();
        QTest::newRow("other page") << "small.txt?form=html" << false << "Erreur de téléchargement - IO FAILED"
                                    << QByteArray();
        QTest::newRow("error object") << "small.txt?form=json" << false << "Erreur de téléchargement - E_NOFILE"
                                      << QByteArray();
        QTest::newRow("other type") << "small.txt?form=other" << false << "Erreur de téléchargement"
                                    << QByteArray();
        QTest::newRow("error typed as data")
            << "small.txt?form=appjson" << false << "Erreur de téléchargement - Fichier vide" << QByteArray();
        QTest::newRow("error status typed as data")
            << "small.txt?form=status404" << false << "Erreur de téléchargement - Server error 404" << QByteArray();
        QTest::newRow("empty body") << "small.txt?form=empty" << false
                                    << "Erreur de téléchargement - Fichier non lisible" << QByteArray();
        QTest::newRow("refused connection") << "" << false << "" << QByteArray();
    }
    void transferEnds()
    {
        QFETCH(QString, rest);
        QFETCH(bool, ok);
        QFETCH(QString, label);
        QFETCH(QByteArray, stored);
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString()));
        QString address = url(server, rest);
        if (rest.isEmpty()) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            address = QString("http://127.0.0.1:%1/x").arg(closed.serverPort());
        }
        QTemporaryDir dest;
        const QString path = dest.filePath("out.bin");
        PathOwner owner(path);
        ZuDownload_thread thread(&owner, address);
        QSignalSpy finished(&thread, &ZuDownload_thread::download_finished);
        QSignalSpy failed(&thread, &ZuDownload_thread::download_error);
        thread.start();
        QVERIFY(thread.wait(15000));
        QTest::qWait(50); // the posted row changes
        QCOMPARE(finished.size() + failed.size(), 1);
        QCOMPARE(finished.size(), ok ? 1 : 0);
        QCOMPARE(owner.downloadInfoLabel->text(), label);
        if (ok) {
            QCOMPARE(readFile(DownloadMultiItems_Presentation::partPath(path)), stored);
            const bool digest = rest.contains("file_hash");
            QCOMPARE(finished.first().first().toString(),
                     digest ? QString(QCryptographicHash::hash(stored, QCryptographicHash::Sha256).toHex() + "\r\n")
                            : QString());
        } else {
            QCOMPARE(failed.first().first().toString(), address);
            QCOMPARE(QDir(dest.path()).entryList(QDir::Files), QStringList());
        }
        if (rest.contains("form=json"))
            QVERIFY(owner.tryAgainButton->isEnabled() && !owner.tryAgainButton->isHidden());
        if (rest.contains("form=appjson") || rest.contains("form=empty"))
            QVERIFY(owner.openRepButton->isHidden());
    }

    // Three files one after another: each request as the hash rule wants it
    // (HTTP/1.0), digests as sha256sum gives them, a longer stale file
    // replaced whole, and a file downloaded earlier left alone.
    void threeFiles()
    {
        TestServer server(kServerScript);
        QTemporaryDir dest;
        QVERIFY(startServer(server, dest.filePath("requests.jsonl")));
        const QString earlier = dest.filePath("earlier.bin");
        QVERIFY(writeFile(earlier, "downloaded last week"));
        QVERIFY(writeFile(dest.filePath("b.dat"), content(1024 * 1024, 9))); // stale and longer
        const QList<DownloadFileRecord> pending{
            record(url(server, "a.bin?token=1"), dest.filePath("a.bin"), m_files["a.bin"].size()),
            record(url(server, "b.dat"), dest.filePath("b.dat"), m_files["b.dat"].size()),
            record(url(server, "c.zip?v=2"), dest.filePath("c.zip"), m_files["c.zip"].size())};
        DownloadMultiItems_Presentation job(pending, {record(QString(), earlier)}, dest.path());
        job.start_downloading_item();
        QVERIFY(job.isStarted());
        QTRY_VERIFY_WITH_TIMEOUT(job.isFinished(), 30000);

        QCOMPARE(requested(server),
                 QStringList({"/a.bin?token=1&file_hash=1", "/b.dat?file_hash=1", "/c.zip?v=2"}));
        for (const QJsonObject &o : server.requests())
            QCOMPARE(o.value("version").toString(), "HTTP/1.0");
        QVERIFY(job.downloadedSuccessfully());
        QVERIFY(job.errorFiles().isEmpty() && job.pendingFiles().isEmpty());
        const QList<DownloadFileRecord> done = job.doneFiles();
        QCOMPARE(paths(done), QStringList({"earlier.bin", "a.bin", "b.dat", "c.zip"}));
        for (const DownloadFileRecord &r : done.mid(1)) {
            QCOMPARE(readFile(r.path), m_files[QFileInfo(r.path).fileName()]);
            QCOMPARE(r.sha256, sha256sum(r.path));
        }
        QCOMPARE(readFile(earlier), QByteArray("downloaded last week"));
        QCOMPARE(job.progressBar->maximum(), 450);
        QCOMPARE(QDir(dest.path()).entryList({"*.part"}, QDir::Files), QStringList());
    }

    // A failing file is tried again after a pause: it recovers, or after six
    // attempts it joins the error list and the next file goes on.
    void retries_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<bool>("recovers");
        QTest::newRow("recovers from error objects") << "fail=2&form=json" << 3 << true;
        QTest::newRow("recovers from a reply of another type") << "fail=1&form=other" << 2 << true;
        QTest::newRow("gives up") << "fail=99" << 6 << false;
    }
    void retries()
    {
        QFETCH(QString, query);
        QFETCH(int, attempts);
        QFETCH(bool, recovers);
        TestServer server(kServerScript);
        QTemporaryDir dest;
        QVERIFY(startServer(server, dest.filePath("requests.jsonl")));
        DownloadMultiItems_Presentation job({record(url(server, "b.dat?" + query), dest.filePath("b.dat")),
                                             record(url(server, "small.txt"), dest.filePath("small.txt"))},
                                            {}, dest.path());
        job.start_downloading_item();
        QTRY_VERIFY_WITH_TIMEOUT(job.isFinished(), 40000);
        QCOMPARE(requested(server).filter("b.dat").size(), attempts);
        QCOMPARE(requested(server).filter("small.txt").size(), 1);
        QCOMPARE(paths(job.doneFiles()), recovers ? QStringList({"b.dat", "small.txt"}) : QStringList{"small.txt"});
        QCOMPARE(paths(job.errorFiles()), recovers ? QStringList() : QStringList{"b.dat"});
        QCOMPARE(QFile::exists(dest.filePath("b.dat")), recovers);
        QCOMPARE(QDir(dest.path()).entryList({"*.part"}, QDir::Files), QStringList());
    }

    // A digest is compared without regard to case; a file whose digest does
    // not match is an error, and the file the user had there stays.
    void digestCheck_data()
    {
        QTest::addColumn<QString>("digest");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("wrong") << "wrong" << false;
        QTest::newRow("in capitals") << "upper" << true;
    }
    void digestCheck()
    {
        QFETCH(QString, digest);
        QFETCH(bool, accepted);
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString()));
        QTemporaryDir dest;
        QVERIFY(writeFile(dest.filePath("a.bin"), "the user's own copy"));
        DownloadMultiItems_Presentation job({record(url(server, "a.bin?digest=" + digest), dest.filePath("a.bin")),
                                             record(url(server, "small.txt"), dest.filePath("small.txt"))},
                                            {}, dest.path());
        job.start_downloading_item();
        QTRY_VERIFY_WITH_TIMEOUT(job.isFinished(), 30000);
        QCOMPARE(paths(job.errorFiles()), accepted ? QStringList() : QStringList{"a.bin"});
        QCOMPARE(paths(job.doneFiles()), accepted ? QStringList({"a.bin", "small.txt"}) : QStringList{"small.txt"});
        QCOMPARE(readFile(dest.filePath("a.bin")), accepted ? m_files["a.bin"] : QByteArray("the user's own copy"));
        if (accepted)
            QCOMPARE(job.doneFiles().first().sha256, sha256sum(dest.filePath("a.bin")));
        QCOMPARE(QDir(dest.path()).entryList({"*.part"}, QDir::Files), QStringList());
    }

    // Stop on the slow path: "Non" keeps it running; "Oui" ends the transfer
    // within seconds, removes the partial file and nothing else, and offers
    // a retry.
    void userStop()
    {
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString()));
        QTemporaryDir dest;
        const QString earlier = dest.filePath("earlier.bin");
        const QString target = dest.filePath("slow.bin");
        QVERIFY(writeFile(earlier, "done before"));
        QVERIFY(writeFile(target, "the user's own copy"));
        DownloadMultiItems_Presentation job({record(url(server, "slow.bin?slow=1"), target)},
                                            {record(QString(), earlier)}, dest.path());
        job.start_downloading_item();
        const QString part = DownloadMultiItems_Presentation::partPath(target);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(part).size() > 0, 15000);

        QStringList answers{"Non", "Oui"};
        testsupport::ModalAnswers modal([&answers](QDialog *d) { clickButton(d, answers.takeFirst()); });
        job.stopButton->click();
        QVERIFY(answers.size() == 1 && !job.hasErrors() && job.stopButton->isEnabled());
        job.stopButton->click();
        QVERIFY(answers.isEmpty() && job.hasErrors());
        QTRY_COMPARE_WITH_TIMEOUT(job.downloadInfoLabel->text(), QString("Arrêt Utilisateur"), 10000);
        QVERIFY(!QFile::exists(part));
        QCOMPARE(readFile(earlier), QByteArray("done before"));
        QCOMPARE(readFile(target), QByteArray("the user's own copy"));
        QVERIFY(job.tryAgainButton->isEnabled() && !job.tryAgainButton->isHidden());
        QVERIFY(!job.downloadedSuccessfully());
        // No retry comes on its own after a stop.
        QTest::qWait(1500);
        QCOMPARE(job.downloadInfoLabel->text(), QString("Arrêt Utilisateur"));
    }

    // A record without a local path fails; nothing of the working folder is
    // read, written or removed in its name.
    void recordWithoutPath()
    {
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString()));
        QTemporaryDir cwd;
        QVERIFY(writeFile(cwd.filePath(".part"), "the user's own file"));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(cwd.path()));
        DownloadMultiItems_Presentation job({record(url(server, "small.txt?file_hash=1"), QString())}, {}, QString());
        job.start_downloading_item();
        QTRY_VERIFY_WITH_TIMEOUT(job.isFinished(), 30000);
        QDir::setCurrent(previous);
        QCOMPARE(job.errorFiles().size(), 1);
        QCOMPARE(readFile(cwd.filePath(".part")), QByteArray("the user's own file"));
        QCOMPARE(QDir(cwd.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{".part"});
    }

    // A stop that comes after the transfer's last byte but before the job
    // has taken the file in: the file it wrote goes, the user's copy stays.
    void stopAfterLastByte()
    {
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString()));
        QTemporaryDir dest;
        const QString target = dest.filePath("small.txt");
        QVERIFY(writeFile(target, "the user's own copy"));
        DownloadMultiItems_Presentation job({record(url(server, "small.txt"), target)}, {}, dest.path());
        job.start_downloading_item();
        // No event is handled here, so the transfer's end waits in the queue.
        const QString part = DownloadMultiItems_Presentation::partPath(target);
        QElapsedTimer t;
        t.start();
        while (QFileInfo(part).size() != m_files["small.txt"].size() && t.elapsed() < 15000)
            QThread::msleep(20);
        QThread::msleep(300);
        job.stop();
        QTest::qWait(200);
        QVERIFY(!job.downloadedSuccessfully() && job.doneFiles().isEmpty());
        QVERIFY(!QFile::exists(part));
        QCOMPARE(readFile(target), QByteArray("the user's own copy"));
    }

    // The Stop question left open while the job ends and the job window
    // deletes its row: answering it afterwards touches nothing.
    void stopAnsweredAfterTheEnd()
    {
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString()));
        QTemporaryDir dest;
        auto *window = new Download_presentation;
        QPointer<DownloadMultiItems_Presentation> job =
            queueJob(window, {record(url(server, "b.dat?slow=1"), dest.filePath("b.dat"))}, dest.path());
        QVERIFY(job->isStarted());
        bool gone = false;
        testsupport::ModalAnswers modal([&job, &gone](QDialog *d) {
            gone = QTest::qWaitFor([&job] { return job.isNull(); }, 30000);
            clickButton(d, "Oui");
        });
        job->stopButton->click();
        QVERIFY(gone);
        QCOMPARE(window->succeededJobs().size(), 1);
        QCOMPARE(window->inProgressJobs().size(), 0);
        QCOMPARE(readFile(dest.filePath("b.dat")), m_files["b.dat"]);
        delete window;
    }

    // An unmodified python3 -m http.server: files without digest header
    // (checked against sha256sum) and its own error page for a missing file.
    void realPeer()
    {
        QProcess peer;
        peer.start("python3", {"-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory", m_root.path(), "0"});
        int port = 0;
        const QRegularExpression re("port (\\d+)");
        QElapsedTimer t;
        t.start();
        QByteArray out;
        while (!port && t.elapsed() < 15000 && peer.waitForReadyRead(1000)) {
            out += peer.readAllStandardOutput();
            port = re.match(QString::fromLatin1(out)).captured(1).toInt();
        }
        QVERIFY2(port > 0, out.constData());
        const QString base = QString("http://127.0.0.1:%1/").arg(port);
        QTemporaryDir dest;
        DownloadMultiItems_Presentation job({record(base + "a.bin", dest.filePath("a.bin")),
                                             record(base + "missing.bin", dest.filePath("missing.bin")),
                                             record(base + "c.zip", dest.filePath("c.zip"))},
                                            {}, dest.path());
        job.start_downloading_item();
        QTRY_VERIFY_WITH_TIMEOUT(job.isFinished(), 40000);
        peer.kill();
        peer.waitForFinished(5000);
        QCOMPARE(paths(job.doneFiles()), QStringList({"a.bin", "c.zip"}));
        QCOMPARE(paths(job.errorFiles()), QStringList{"missing.bin"});
        for (const DownloadFileRecord &r : job.doneFiles()) {
            QCOMPARE(readFile(r.path), m_files[QFileInfo(r.path).fileName()]);
            QCOMPARE(r.sha256, sha256sum(r.path));
        }
        QVERIFY(!QFile::exists(dest.filePath("missing.bin")));
    }

    // HTTPS with a self-signed certificate: no verification of the peer.
    void https()
    {
        QTemporaryDir dest;
        QStringList tls;
        if (!testsupport::makeCertificate(dest.path(), &tls))
            QSKIP("openssl cannot make a certificate here");
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString(), tls));
        DownloadMultiItems_Presentation job(
            {record(server.url("https") + "/b.dat", dest.filePath("b.dat"))}, {}, dest.path());
        job.start_downloading_item();
        QTRY_VERIFY_WITH_TIMEOUT(job.isFinished(), 30000);
        QCOMPARE(paths(job.doneFiles()), QStringList{"b.dat"});
        QCOMPARE(readFile(dest.filePath("b.dat")), m_files["b.dat"]);
    }

    // The job window: a multi-file job that ends with files done and files
    // in error becomes one succeeded and one failed row, its own row going
    // once; retrying the failed row queues a new job that fetches the rest.
    void jobWindow()
    {
        TestServer server(kServerScript);
        QVERIFY(startServer(server, QString()));
        QTemporaryDir dest;
        auto *window = new Download_presentation;
        QPointer<DownloadMultiItems_Presentation> job =
            queueJob(window,
                     {record(url(server, "a.bin"), dest.filePath("a.bin")),
                      record(url(server, "b.dat?fail=6"), dest.filePath("b.dat")), // fails six times, then serves
                      record(url(server, "c.zip"), dest.filePath("c.zip"))},
                     dest.path());
        QVERIFY(job->isStarted());
        QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size() + window->failedJobs().size(), 2, 40000);
        QCOMPARE(window->inProgressJobs().size(), 0);
        QCOMPARE(window->succeededJobs().size(), 1);
        QCOMPARE(window->failedJobs().size(), 1);
        QCOMPARE(window->tabTitle(0), "Réussis (1)");
        QCOMPARE(window->tabTitle(1), "Echoués (1)");
        QCOMPARE(window->tabTitleColor(1), QColor(Qt::red));
        auto *ok = qobject_cast<DownloadMultiItems_Presentation *>(window->succeededJobs().first());
        auto *bad = qobject_cast<DownloadMultiItems_Presentation *>(window->failedJobs().first());
        QVERIFY(ok && bad);
        QCOMPARE(paths(ok->doneFiles()), QStringList({"a.bin", "c.zip"}));
        // The failures that followed a.bin took nothing of it away.
        QCOMPARE(readFile(dest.filePath("a.bin")), m_files["a.bin"]);
        QVERIFY(!QFile::exists(dest.filePath("b.dat")));
        QCOMPARE(ok->fileNameLabel->text(), "2 fichiers téléchargés");
        QVERIFY(ok->downloadedSuccessfully());
        QCOMPARE(paths(bad->pendingFiles()), QStringList{"b.dat"});
        QCOMPARE(bad->fileNameLabel->text(), "1 fichiers en erreurs");
        QVERIFY(bad->isInError() && bad->tryAgainButton->isEnabled());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(job.isNull()); // its row went, once

        bad->tryAgainButton->click();
        QCOMPARE(window->failedJobs().size(), 0);
        QCOMPARE(window->inProgressJobs().size(), 1);
        auto *retry = qobject_cast<DownloadMultiItems_Presentation *>(window->inProgressJobs().first());
        QVERIFY(retry && retry->isStarted() && retry->type() == "multi");
        QTRY_COMPARE_WITH_TIMEOUT(window->succeededJobs().size(), 2, 30000);
        QCOMPARE(window->inProgressJobs().size(), 0);
        QCOMPARE(window->failedJobs().size(), 0);
        QCOMPARE(readFile(dest.filePath("b.dat")), m_files["b.dat"]);
        delete window;
    }
};

QTEST_MAIN(TestDownload)
#include "test_download.moc"
