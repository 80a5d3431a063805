#pragma once
// A recorder's frame stream for the tests: a server on 127.0.0.1 (ephemeral
// port) that answers each connection with a multipart stream of access
// units, and the units themselves, encoded by the ffmpeg command line.
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

#include <sys/socket.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace streamtest {

// `count` pictures of the lavfi test source (320x240, 10/s), encoded by the
// ffmpeg command line with `codecArgs` into the raw `format` ("h264",
// "hevc"), split into one access unit per picture by libavformat.
inline QList<QByteArray> ffmpegUnits(const QStringList &codecArgs, const QString &format, int count)
{
    QList<QByteArray> units;
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("units.") + format);
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), QStringList{"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                                                       "testsrc=size=320x240:rate=10", "-frames:v",
                                                       QString::number(count)}
                                               + codecArgs + QStringList{"-f", format, "-y", file});
    AVFormatContext *ctx = nullptr;
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0
        || avformat_open_input(&ctx, QFile::encodeName(file).constData(), nullptr, nullptr) < 0)
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
    return ffmpegUnits({"-c:v", "libx264", "-g", "10", "-bf", "0", "-pix_fmt", "yuv420p", "-preset", "ultrafast"},
                       QStringLiteral("h264"), count);
}

// H.264 whose units carry timing messages (constant-rate HRD): a unit that
// is no key picture opens with a picture timing message (bytes 06 01).
inline QList<QByteArray> timedH264Units(int count)
{
    return ffmpegUnits({"-c:v", "libx264", "-g", "10", "-bf", "0", "-pix_fmt", "yuv420p", "-preset", "ultrafast", "-b:v",
                        "300k", "-maxrate", "300k", "-bufsize", "300k", "-x264-params", "nal-hrd=cbr"},
                       QStringLiteral("h264"), count);
}

// H.265 whose pictures that no other refers to lie in a temporal sub-layer
// above the lowest (B-frames reorder them).
inline QList<QByteArray> layeredH265Units(int count)
{
    return ffmpegUnits({"-c:v", "libx265", "-x265-params", "log-level=error:temporal-layers=1"}, QStringLiteral("hevc"),
                       count);
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
    QByteArray partType = "video/h264";
    int intervalMs = 0;             // 0: everything at once; else one part per interval
    enum class End { Close, Reset, Silence } end = End::Close;
    bool chunked = false;
    int status = 200;
    QByteArray contentType = "multipart/x-mixed-replace; boundary=myboundary";
    bool lowerCaseHeaders = false;
    QByteArray body; // sent as it is in place of parts when not empty
    QByteArray location; // not empty: a redirect there, with `status` when it is a 3xx, else 302
    QMap<int, int> pauses; // part index -> ms of silence before that part
    QList<QByteArray> drip; // after the parts, one piece every dripMs, then the end
    int dripMs = 300;

    QByteArray header(const QByteArray &name, const QByteArray &value) const
    {
        return (lowerCaseHeaders ? name.toLower() : name) + ": " + value + "\r\n";
    }
    QByteArray part(int index) const
    {
        const QByteArray &unit = units.at(index % units.size());
        return "--myboundary\r\n" + header("Content-Type", partType)
            + header("Content-Length", QByteArray::number(unit.size()))
            + header("Timestamp", stamp(start.addMSecs(qint64(index) * stepMs)))
            + header("Frametag", QByteArray::number(index)) + "\r\n" + unit + "\r\n";
    }
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
    bool start() { return listen(QHostAddress::LocalHost, 0); }
    QString port() const { return QString::number(serverPort()); }

private:
    void serve(QTcpSocket *socket)
    {
        m_sockets.append(socket);
        const Script script = scripts.value(qMin(connections++, int(scripts.size()) - 1));
        auto request = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [socket, script, request] {
            *request += socket->readAll();
            if (!request->contains("\r\n\r\n") || request->startsWith("done"))
                return;
            request->prepend("done");
            answer(socket, script);
        });
    }

    static void send(QTcpSocket *socket, const Script &script, const QByteArray &bytes)
    {
        socket->write(script.chunked ? QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n" : bytes);
    }

    static void finish(QTcpSocket *socket, const Script &script)
    {
        if (script.end == Script::End::Silence)
            return;
        if (script.end == Script::End::Reset) {
            socket->flush();
            while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(30000)) {
            }
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

    static void answer(QTcpSocket *socket, const Script &script)
    {
        if (!script.location.isEmpty()) {
            const int status = script.status / 100 == 3 ? script.status : 302;
            socket->write("HTTP/1.1 " + QByteArray::number(status) + " Moved\r\nLocation: " + script.location
                          + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        if (script.status != 200) {
            socket->write("HTTP/1.1 " + QByteArray::number(script.status)
                          + " Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        socket->write("HTTP/1.1 200 OK\r\n" + script.header("Content-Type", script.contentType)
                      + (script.chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Connection: close\r\n\r\n"));
        if (!script.body.isEmpty()) {
            send(socket, script, script.body);
            finish(socket, script);
            return;
        }
        auto index = std::make_shared<int>(0);
        auto dripped = std::make_shared<int>(0);
        auto paused = std::make_shared<QList<int>>(); // pauses already kept
        auto step = std::make_shared<std::function<void()>>();
        const auto later = [socket, step](int ms) {
            QTimer::singleShot(ms, socket, [step] { (*step)(); });
        };
        *step = [socket, script, index, dripped, paused, later] {
            while (script.parts < 0 || *index < script.parts) {
                if (script.pauses.contains(*index) && !paused->contains(*index)) {
                    paused->append(*index);
                    later(script.pauses.value(*index));
                    return;
                }
                if (script.intervalMs > 0 && socket->bytesToWrite() > 512 * 1024) {
                    later(script.intervalMs); // a client that stopped reading holds the stream back
                    return;
                }
                send(socket, script, script.part((*index)++));
                if (script.intervalMs > 0) {
                    later(script.intervalMs);
                    return;
                }
            }
            if (*dripped < script.drip.size()) {
                send(socket, script, script.drip.at((*dripped)++));
                later(script.dripMs);
                return;
            }
            finish(socket, script);
        };
        // The steps refer to themselves: the cycle is broken when the socket goes.
        connect(socket, &QObject::destroyed, socket, [step] { *step = nullptr; });
        if (script.intervalMs == 0 && script.pauses.isEmpty())
            (*step)(); // everything at once
        else
            later(script.intervalMs);
    }

    QList<QPointer<QTcpSocket>> m_sockets;
};

} // namespace streamtest
