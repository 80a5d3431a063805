#pragma once
// What the ffmpeg tools make of an encoded file, for checking it in the tests.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>

namespace codectest {

struct Probe {
    bool ok = false;
    QString codec;
    int width = 0;
    int height = 0;
    int frames = -1;
    QString frameRate; // r_frame_rate, e.g. "10/1"
    double duration = -1.0;
};

inline Probe probe(const QString &path)
{
    Probe p;
    QProcess proc;
    proc.start(QStringLiteral("ffprobe"),
               {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                "stream=codec_name,width,height,nb_read_frames,r_frame_rate:format=duration", "-of", "json", path});
    if (!proc.waitForFinished(60000) || proc.exitCode() != 0)
        return p;
    const QJsonObject root = QJsonDocument::fromJson(proc.readAllStandardOutput()).object();
    const QJsonObject s = root.value(QStringLiteral("streams")).toArray().at(0).toObject();
    p.codec = s.value(QStringLiteral("codec_name")).toString();
    p.width = s.value(QStringLiteral("width")).toInt();
    p.height = s.value(QStringLiteral("height")).toInt();
    p.frames = s.value(QStringLiteral("nb_read_frames")).toString().toInt();
    p.frameRate = s.value(QStringLiteral("r_frame_rate")).toString();
    p.duration = root.value(QStringLiteral("format")).toObject().value(QStringLiteral("duration")).toString().toDouble();
    p.ok = !p.codec.isEmpty();
    return p;
}

// The luma plane of a file's first picture as its decoder gives it: ffmpeg
// writes the picture out raw, in its own format and range. Empty on failure.
struct Luma {
    QByteArray plane;
    int width = 0;
    int at(int x, int y) const { return uchar(plane.at(y * width + x)); }
    double mean(int x0, int y0, int w, int h) const
    {
        double sum = 0;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                sum += at(x, y);
        return sum / (w * h);
    }
    int max(int x0, int y0, int w, int h) const
    {
        int m = 0;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                m = qMax(m, at(x, y));
        return m;
    }
};

inline Luma firstLuma(const QString &path)
{
    const Probe p = probe(path);
    QProcess proc;
    proc.start(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-frames:v", "1", "-f", "rawvideo", "-"});
    Luma luma;
    if (!p.ok || !proc.waitForFinished(60000) || proc.exitCode() != 0)
        return luma;
    luma.plane = proc.readAllStandardOutput();
    luma.width = p.width;
    if (luma.plane.size() < qsizetype(p.width) * p.height)
        luma.plane.clear();
    return luma;
}

} // namespace codectest
