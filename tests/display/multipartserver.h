#pragma once
// A recorder's frame stream for the tests: a server on 127.0.0.1 (ephemeral
// port) that answers each connection with a multipart stream of access
// units, and the units themselves, encoded by the ffmpeg command line.
#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/socket.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace streamtest {

// `count` pictures of the lavfi test source, encoded by the ffmpeg command
// line with `codecArgs` into the raw `format` ("h264", "hevc", "mjpeg"),
// split into one access unit per picture by libavformat.
inline QList<QByteArray> ffmpegUnits(const QStringList &codecArgs, const QString &format, int count,
                                     const QString &size = QStringLiteral("320x240"), int rate = 10)
{
    QList<QByteArray> units;
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("units.") + format);
    QStringList args{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                     QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                     QStringLiteral("testsrc=size=%1:rate=%2").arg(size).arg(rate), QStringLiteral("-frames:v"),
                     QString::number(count)};
    args << codecArgs << QStringLiteral("-f") << format << QStringLiteral("-y") << file;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), args);
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0)
        return units;
    AVFormatContext *ctx = nullptr;
    if (avformat_open_input(&ctx, QFile::encodeName(file).constData(), nullptr, nullptr) < 0)
        return units;
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        units.append(QByteArray(reinterpret_cast<const char *>(pkt->data), pkt->size));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return units;
}

inline QList<QByteArray> h264Units(int count)
{
    return ffmpegUnits({QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-g"), QStringLiteral("10"),
                        QStringLiteral("-bf"), QStringLiteral("0"), QStringLiteral("-pix_fmt"),
                        QStringLiteral("yuv420p"), QStringLiteral("-preset"), QStringLiteral("ultrafast")},
                       QStringLiteral("h264"), count);
}

inline QByteArray stamp(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toLatin1();
}

// What one connection is answered with.
struct Script {
    QList<QByteArray> units;        // sent in turn, from the first again after the last
    int parts = -1;                 // parts to send; -1: without end
    QDateTime start;                // Timestamp of the first part
    int stepMs = 100;               // Timestamp step between parts
    bool timestamps = true;
    QByteArray partType = "video/h264";
    int intervalMs = 0;             // 0: everything at once; else one part per interval
    enum class End { Close, Reset, Silence } end = End::Close;
    bool chunked = false;
    int status = 200;
    QByteArray contentType = "multipart/x-mixed-replace; boundary=myboundary";
    bool lowerCaseHeaders = false;
    bool contentLength = true;
    QByteArray body; // sent as it is in place of parts when not empty
};

class MultipartServer : public QTcpServer
{
public:
    QList<Script> scripts; // one per connection; the last one serves the rest
    int connections = 0;

    MultipartServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection())
                serve(s);
        });
    }
    ~MultipartServer() override
    {
        for (const QPointer<QTcpSocket> &s : std::as_const(m_sockets))
            if (s)
                s->abort();
    }
    bool start()
    {
        return listen(QHostAddress::LocalHost, 0);
    }
    QString port() const { return QString::number(serverPort()); }

    static QByteArray part(const Script &script, int index)
    {
        const QByteArray &unit = script.units.at(index % script.units.size());
        const bool lower = script.lowerCaseHeaders;
        QByteArray p = "--myboundary\r\n";
        p += (lower ? "content-type: " : "Content-Type: ") + script.partType + "\r\n";
        if (script.contentLength)
            p += (lower ? "content-length: " : "Content-Length: ") + QByteArray::number(unit.size()) + "\r\n";
        if (script.timestamps)
            p += (lower ? "timestamp: " : "Timestamp: ") + stamp(script.start.addMSecs(qint64(index) * script.stepMs))
                + "\r\n";
        p += (lower ? "frametag: " : "Frametag: ") + QByteArray::number(index) + "\r\n\r\n";
        return p + unit + "\r\n";
    }

private:
    void serve(QTcpSocket *socket)
    {
        m_sockets.append(socket);
        const Script script = scripts.value(qMin(connections, int(scripts.size()) - 1));
        ++connections;
        auto request = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, script, request] {
            *request += socket->readAll();
            if (!request->contains("\r\n\r\n") || request->startsWith("done"))
                return;
            request->prepend("done");
            answer(socket, script);
        });
    }

    static void send(QTcpSocket *socket, const Script &script, const QByteArray &bytes)
    {
        if (!script.chunked) {
            socket->write(bytes);
            return;
        }
        socket->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
    }

    static void finish(QTcpSocket *socket, const Script &script)
    {
        if (script.end == Script::End::Silence)
            return;
        if (script.end == Script::End::Reset) {
            socket->flush();
            socket->waitForBytesWritten(2000);
            // Linger 0: the close sends a reset instead of an orderly end.
            struct linger l {1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
            socket->abort();
            return;
        }
        if (script.chunked)
            socket->write("0\r\n\r\n");
        socket->disconnectFromHost();
    }

    void answer(QTcpSocket *socket, const Script &script)
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(script.status) + (script.status == 200 ? " OK" : " Error")
            + "\r\n";
        if (script.status != 200) {
            socket->write(head + "Content-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        head += (script.lowerCaseHeaders ? "content-type: " : "Content-Type: ") + script.contentType + "\r\n";
        head += script.chunked ? "Transfer-Encoding: chunked\r\n" : "Connection: close\r\n";
        socket->write(head + "\r\n");
        if (!script.body.isEmpty()) {
            send(socket, script, script.body);
            finish(socket, script);
            return;
        }
        if (script.intervalMs == 0) {
            for (int i = 0; i < script.parts; ++i)
                send(socket, script, part(script, i));
            finish(socket, script);
            return;
        }
        auto *timer = new QTimer(socket);
        auto index = std::make_shared<int>(0);
        connect(timer, &QTimer::timeout, socket, [socket, script, index, timer] {
            if (script.parts >= 0 && *index >= script.parts) {
                timer->stop();
                finish(socket, script);
                return;
            }
            // A client that stopped reading holds the stream back.
            if (socket->bytesToWrite() > 512 * 1024)
                return;
            send(socket, script, part(script, (*index)++));
        });
        timer->start(script.intervalMs);
    }

    QList<QPointer<QTcpSocket>> m_sockets;
};

// A free port on 127.0.0.1 for a producer that listens by itself.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace streamtest
