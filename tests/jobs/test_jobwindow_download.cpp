// The single-file download row against a small HTTP server on 127.0.0.1:
// data, an error answer in JSON, an HTML error page, a refused connection,
// and a retry that succeeds; and a download job run by the job window.
#include "download_presentation.h"
#include "downloaditem_presentation.h"

#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Answers each request with the next canned answer (the last one repeats).
class TinyServer : public QTcpServer
{
public:
    QList<QByteArray> answers;
    int served = 0;

    TinyServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                    *buffer += s->readAll();
                    if (!buffer->contains("\r\n\r\n"))
                        return;
                    const QByteArray answer = answers.value(qMin(served, int(answers.size()) - 1));
                    ++served;
                    s->write(answer);
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }

    static QByteArray reply(const QByteArray &type, const QByteArray &body)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
               + "\r\nConnection: close\r\n\r\n" + body;
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
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

class TestDownloadItem : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void downloadsData();
    void jsonErrorThenRetry();
    void htmlErrorPage();
    void refusedConnection();
    void windowRunsDownload();

private:
    TinyServer *m_server = nullptr;
    QNetworkAccessManager *m_manager = nullptr;
    QTemporaryDir *m_tmp = nullptr;
};

void TestDownloadItem::init()
{
    m_server = new TinyServer;
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
    m_manager = new QNetworkAccessManager;
    m_tmp = new QTemporaryDir;
}

void TestDownloadItem::cleanup()
{
    delete m_manager;
    delete m_server;
    delete m_tmp;
}

void TestDownloadItem::downloadsData()
{
    m_server->answers = {TinyServer::reply("application/octet-stream", payload())};
    const QString target = m_tmp->filePath(QStringLiteral("file.bin"));
    DownloadItem_Presentation item(nullptr, target);
    item.setNetworkManager(m_manager);
    item.setUrlText(m_server->url(QStringLiteral("/file.bin")));
    QSignalSpy status(&item, &Presentation_Interface::statusChanged);
    item.start_downloading_item();
    QVERIFY(item.isStarted());
    QVERIFY(!item.isFinished());
    QVERIFY(!item.stopButton->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(item.isFinished(), 20000);
    QVERIFY(item.downloadedSuccessfully());
    QVERIFY(!item.isInError());
    QVERIFY(status.size() >= 1);
    QFile f(target);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), payload());
    QCOMPARE(item.fileNameLabel->text(), QStringLiteral("file.bin"));
    // No temporary file is left beside it.
    QCOMPARE(QDir(m_tmp->path()).entryList(QDir::Files), QStringList{QStringLiteral("file.bin")});
}

void TestDownloadItem::jsonErrorThenRetry()
{
    m_server->answers = {TinyServer::reply("application/json", "{\"ZURETURN_CODE\":\"E42\"}"),
                         TinyServer::reply("application/octet-stream", payload())};
    const QString target = m_tmp->filePath(QStringLiteral("retry.bin"));
    DownloadItem_Presentation item(nullptr, target);
    item.setNetworkManager(m_manager);
    item.setUrlText(m_server->url(QStringLiteral("/retry.bin")));
    item.start_downloading_item();
    QTRY_VERIFY_WITH_TIMEOUT(item.isFinished(), 20000);
    QVERIFY(item.isInError());
    QCOMPARE(item.downloadInfoLabel->text(), QStringLiteral("Download Error - E42"));
    QVERIFY(!item.tryAgainButton->isHidden() && item.tryAgainButton->isEnabled());
    QVERIFY(!item.downloadedSuccessfully());
    QVERIFY(!QFileInfo::exists(target));

    item.tryAgainButton->click();
    QVERIFY(item.tryAgainButton->isHidden());
    QVERIFY(!item.isFinished());
    QTRY_VERIFY_WITH_TIMEOUT(item.isFinished(), 20000);
    QVERIFY(item.downloadedSuccessfully());
    QFile f(target);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), payload());
    QCOMPARE(m_server->served, 2);
}

void TestDownloadItem::htmlErrorPage()
{
    m_server->answers = {TinyServer::reply("text/html; charset=utf-8", "<p>not here</p>")};
    DownloadItem_Presentation item(nullptr, m_tmp->filePath(QStringLiteral("page.bin")));
    item.setNetworkManager(m_manager);
    item.setUrlText(m_server->url(QStringLiteral("/page")));
    item.start_downloading_item();
    QTRY_VERIFY_WITH_TIMEOUT(item.isFinished(), 20000);
    QVERIFY(item.isInError());
    QCOMPARE(item.downloadInfoLabel->text(), QStringLiteral("Download Error - <p>not here</p>"));
    QVERIFY(!QFileInfo::exists(m_tmp->filePath(QStringLiteral("page.bin"))));
}

void TestDownloadItem::refusedConnection()
{
    const QString url = m_server->url(QStringLiteral("/x"));
    m_server->close();
    DownloadItem_Presentation item(nullptr, m_tmp->filePath(QStringLiteral("x.bin")));
    item.setNetworkManager(m_manager);
    item.setUrlText(url);
    item.start_downloading_item();
    QTRY_VERIFY_WITH_TIMEOUT(item.isFinished(), 20000);
    QVERIFY(item.isInError());
    QVERIFY(item.downloadInfoLabel->text().startsWith(QStringLiteral("Erreur réseau : ")));
    QVERIFY(!item.downloadedSuccessfully());
}

void TestDownloadItem::windowRunsDownload()
{
    m_server->answers = {TinyServer::reply("application/octet-stream", payload())};
    Download_presentation window;
    const QString target = m_tmp->filePath(QStringLiteral("w.bin"));
    auto *item = new DownloadItem_Presentation(&window, target);
    item->setNetworkManager(m_manager);
    item->setUrlText(m_server->url(QStringLiteral("/w.bin")));
    // With its address the row is a waiting download, which the window starts.
    QVERIFY(!item->isFinished() && !item->isStarted());
    window.add_item(item);
    QVERIFY(item->isStarted());
    QTRY_COMPARE_WITH_TIMEOUT(window.succeededJobs().size(), 1, 20000);
    QCOMPARE(window.succeededJobs().first()->fileName(), target);
    QCOMPARE(QFileInfo(target).size(), qint64(payload().size()));
}

QTEST_MAIN(TestDownloadItem)
#include "test_jobwindow_download.moc"
