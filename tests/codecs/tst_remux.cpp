#include "codectestutil.h"
#include "probe.h"
#include "zustreamremux.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

class TestRemux : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { av_log_set_level(AV_LOG_QUIET); }
    void remuxesAnnexBToContainers_data();
    void remuxesAnnexBToContainers();
    void failsCleanly();
    void readErrorPartWayFails();
    void finalFileOnAnotherFilesystem();

private:
    static QString writeAnnexB(const QString &path, int frames)
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        for (const QByteArray &unit : codectest::makeAccessUnits("libx264", 320, 240, frames, 10))
            f.write(unit);
        return path;
    }
};

void TestRemux::remuxesAnnexBToContainers_data()
{
    QTest::addColumn<QString>("finalName");
    QTest::addColumn<double>("duration");
    QTest::addColumn<QString>("rate");
    QTest::newRow("mp4 at 10 fps") << "out.mp4" << 2.0 << "10/1";
    QTest::newRow("mkv at 20 fps") << "out.mkv" << 1.0 << "20/1";
    QTest::newRow("no duration gives 25 fps") << "out.mp4" << 0.0 << "25/1";
}

void TestRemux::remuxesAnnexBToContainers()
{
    QFETCH(QString, finalName);
    QFETCH(double, duration);
    QFETCH(QString, rate);
    QTemporaryDir dir;
    const QString input = writeAnnexB(dir.filePath("tmp.raw"), 20);
    QVERIFY(!input.isEmpty());
    ZuStreamRemux remux;
    QCOMPARE(remux.remuxUrlToFile(input, dir.filePath("tmp.mp4"), dir.filePath(finalName), duration), 0);
    // Only the final file is left.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{finalName});
    const codectest::Probe p = codectest::probe(dir.filePath(finalName));
    QVERIFY(p.ok);
    QCOMPARE(p.codec, QStringLiteral("h264"));
    QCOMPARE(p.width, 320);
    QCOMPARE(p.height, 240);
    QCOMPARE(p.frames, 20);
    QCOMPARE(p.frameRate, rate);
}

void TestRemux::failsCleanly()
{
    QTemporaryDir dir;
    ZuStreamRemux remux;
    // Missing input.
    QCOMPARE(remux.remuxUrlToFile(dir.filePath("none.raw"), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0), -15);
    QCOMPARE(remux.remuxUrlToFile(QString(), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0), -15);
    // Garbage bytes: refused, and kept for whoever wants to look at them.
    QFile garbage(dir.filePath("garbage.raw"));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    QByteArray bytes(50000, '\0');
    quint32 seed = 7;
    for (char &c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    garbage.write(bytes);
    garbage.close();
    const int rc = remux.remuxUrlToFile(garbage.fileName(), dir.filePath("tmp.mp4"), dir.filePath("out.mp4"), 1.0);
    QVERIFY2(rc <= -15 && rc >= -21, qPrintable(QString::number(rc)));
    QVERIFY(QFile::exists(garbage.fileName()));
    // An output folder that does not exist: the input stays.
    const QString input = writeAnnexB(dir.filePath("tmp.raw"), 5);
    QCOMPARE(remux.remuxUrlToFile(input, dir.filePath("missing/tmp.mp4"), dir.filePath("missing/out.mp4"), 1.0), -20);
    QVERIFY(QFile::exists(input));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"garbage.raw", "tmp.raw"}));
}

namespace {
// Serves one body over HTTP on 127.0.0.1, announcing `body`'s full length
// but sending only its first `sent` bytes before closing the connection, as
// a camera or a recorder that goes away mid-download does.
class CuttingHttpServer
{
public:
    CuttingHttpServer(QByteArray body, qsizetype sent)
        : m_body(std::move(body))
        , m_sent(sent)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
            || ::listen(m_fd, 4) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~CuttingHttpServer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/clip.h264").arg(m_port); }
    bool ok() const { return m_port > 0; }

private:
    void serve()
    {
        // Bounded: a few connections and at most 30 s, whatever the client does.
        for (int i = 0, connections = 0; i < 300 && connections < 8 && !m_stop; ++i) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0)
                continue;
            ++connections;
            char request[4096];
            (void)::recv(c, request, sizeof request, 0);
            const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                                    + QByteArray::number(m_body.size()) + "\r\n\r\n";
            sendAll(c, head.constData(), head.size());
            sendAll(c, m_body.constData(), m_sent);
            ::close(c);
        }
    }
    static void sendAll(int fd, const char *data, qsizetype size)
    {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            data += n;
            size -= n;
        }
    }

    QByteArray m_body;
    qsizetype m_sent;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
} // namespace

void TestRemux::readErrorPartWayFails()
{
    QByteArray body;
    for (const QByteArray &unit : codectest::makeAccessUnits("libx264", 320, 240, 60, 10))
        body += unit;
    QVERIFY(body.size() > 10000);
    QTemporaryDir dir;
    ZuStreamRemux remux;
    {
        // The whole body: copied, every frame.
        CuttingHttpServer server(body, body.size());
        QVERIFY(server.ok());
        QCOMPARE(remux.remuxUrlToFile(server.url(), dir.filePath("tmp.mp4"), dir.filePath("whole.mp4"), 0), 0);
        const codectest::Probe p = codectest::probe(dir.filePath("whole.mp4"));
        QVERIFY(p.ok);
        QCOMPARE(p.frames, 60);
    }
    {
        // Cut after two thirds: a failure, not a short file passed off as
        // the whole; no temporary file is left.
        CuttingHttpServer server(body, body.size() * 2 / 3);
        QVERIFY(server.ok());
        QCOMPARE(remux.remuxUrlToFile(server.url(), dir.filePath("tmp.mp4"), dir.filePath("cut.mp4"), 0), -15);
        QVERIFY(!QFile::exists(dir.filePath("cut.mp4")));
        QVERIFY(!QFile::exists(dir.filePath("tmp.mp4")));
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"whole.mp4"});
}

void TestRemux::finalFileOnAnotherFilesystem()
{
    // The download worker remuxes in its own folder below the home folder;
    // the user's output may be on another filesystem (a USB stick), where
    // no rename reaches.
    QTemporaryDir work;
    QTemporaryDir other(QStringLiteral("/dev/shm/zu_remux_XXXXXX"));
    struct stat a {}, b {};
    if (!other.isValid() || ::stat(QFile::encodeName(work.path()).constData(), &a) != 0
        || ::stat(QFile::encodeName(other.path()).constData(), &b) != 0 || a.st_dev == b.st_dev)
        QSKIP("no second filesystem at hand");
    const QString input = writeAnnexB(work.filePath("tmp.raw"), 20);
    QVERIFY(!input.isEmpty());
    const QString finalFile = other.filePath(QStringLiteral("out.mp4"));
    ZuStreamRemux remux;
    QCOMPARE(remux.remuxUrlToFile(input, work.filePath("tmp.mp4"), finalFile, 2.0), 0);
    QCOMPARE(QDir(other.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("out.mp4")});
    QVERIFY(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    QCOMPARE(QFileInfo(finalFile).permissions() & QFile::ReadGroup, QFile::ReadGroup);
    const codectest::Probe p = codectest::probe(finalFile);
    QVERIFY(p.ok);
    QCOMPARE(p.frames, 20);
}

QTEST_GUILESS_MAIN(TestRemux)
#include "tst_remux.moc"
