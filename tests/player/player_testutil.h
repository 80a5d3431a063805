#pragma once
#include "exportdialog.h"
#include "seekfile.h"
#include "videodecoder.h"
#include "zuscaler.h"
#include "zustreamreadandcontrol.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QWidget>
#include <QtTest>

#include <functional>

extern "C" {
#include <libavutil/frame.h>
}

namespace playertest {

// The generated export folder of the small_export fixture (read-only).
inline QString smallExport()
{
    const QDir dir(QStringLiteral(ZU_BINARY_DIR "/testdata/small"));
    const QStringList roots = dir.entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
    return roots.isEmpty() ? QString() : dir.absoluteFilePath(roots.first());
}

inline QString dayFolder(const QString &root) { return root + QStringLiteral("/2024-03-05"); }

inline QString videoFile(const QString &root, int camera, const QString &start)
{
    return dayFolder(root) + QStringLiteral("/%1/%2_20240305_%1.zuvideo").arg(start).arg(camera);
}

// A writable copy of the fixture folder.
inline QString copyExport(const QString &into)
{
    const QString src = smallExport();
    QProcess cp;
    cp.start(QStringLiteral("cp"), {QStringLiteral("-r"), src, into});
    cp.waitForFinished(-1);
    return cp.exitCode() == 0 ? into + QLatin1Char('/') + QFileInfo(src).fileName() : QString();
}

// Replaces a file's content by `edit` of it.
inline bool rewrite(const QString &path, const std::function<QByteArray(const QByteArray &)> &edit)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray out = edit(f.readAll());
    f.close();
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(out) == out.size();
}

// Entries of one stream of a data file, parsed independently of the engine.
inline ZuFrameList entries(const QString &dataPath, const QString &stream = QStringLiteral("0"))
{
    return ZuSeekFile::parse(ZuSeekFile::seekPathFor(dataPath), dataPath, stream).frames;
}

// The picture of entry `index` of `list` decoded independently: from its
// group's key frame on, one frame after the other.
inline QByteArray referencePicture(const ZuFrameList &list, int index)
{
    int key = index;
    while (key > 0 && !list.at(key).isKeyframe())
        --key;
    QFile data(list.at(index).file_path);
    VideoDecoder decoder;
    if (!data.open(QIODevice::ReadOnly) || !decoder.open(list.at(index).codec))
        return {};
    AVFrame *picture = nullptr;
    for (int i = key; i <= index; ++i) {
        data.seek(list.at(i).offset);
        av_frame_free(&picture);
        picture = decoder.decode(data.read(list.at(i).size));
    }
    if (!picture)
        return {};
    ZuScaler scaler;
    QByteArray out(qsizetype(picture->width) * picture->height * 4, 0);
    const bool ok = scaler.toBgra(picture, reinterpret_cast<uint8_t *>(out.data()), picture->width * 4);
    av_frame_free(&picture);
    return ok ? out : QByteArray();
}

inline QString firstKeyAtOrAfter(const ZuFrameList &list, const QString &timestamp17)
{
    for (const ZuFrame &f : list) {
        if (f.isKeyframe() && f.timestamp >= timestamp17)
            return f.timestamp;
    }
    return QString();
}

// Records what the engine emits (direct connection: the buffer is valid
// during the call).
class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(ZuStreamReadAndControl *engine, bool keepPixels = false) : m_keep(keepPixels)
    {
        connect(engine, &ZuStreamReadAndControl::set_display_frame, this, &Recorder::frame, Qt::DirectConnection);
    }
    QStringList timestamps;
    QList<bool> keys;
    QList<bool> stills;
    QSize size;
    QByteArray lastPixels; // BGRA rows without padding

    QString last() const { return timestamps.isEmpty() ? QString() : timestamps.last(); }

public slots:
    void frame(uint8_t *data, int w, int h, int stride, QString ts, QString, bool key, int, double, bool still)
    {
        timestamps.append(ts);
        keys.append(key);
        stills.append(still);
        size = QSize(w, h);
        if (m_keep) {
            lastPixels.resize(qsizetype(w) * h * 4);
            for (int y = 0; y < h; ++y)
                memcpy(lastPixels.data() + qsizetype(y) * w * 4, data + qsizetype(y) * stride, size_t(w) * 4);
        }
    }

private:
    bool m_keep;
};

// Strictly increasing (forward) or strictly decreasing timestamps.
inline bool strictly(const QStringList &list, bool forward = true)
{
    for (int i = 1; i < list.size(); ++i) {
        if (forward ? !(list.at(i - 1) < list.at(i)) : !(list.at(i - 1) > list.at(i)))
            return false;
    }
    return true;
}

// Stands in for the export dialog: what the export code's dialog offers.
class FakeExportDialog : public ExportDialog
{
    Q_OBJECT
public:
    using ExportDialog::ExportDialog;
    bool closed = false;
    void closeall() override { closed = true; }
};

} // namespace playertest
