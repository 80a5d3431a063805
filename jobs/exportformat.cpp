#include "exportformat.h"

const QList<ExportFormat> exportFormats = {
    {QStringLiteral("H.264"), QStringLiteral("libx264"), QStringLiteral(".mp4"), QStringLiteral("H264")},
    {QStringLiteral("H.265"), QStringLiteral("hevc"), QStringLiteral(".mp4"), QStringLiteral("H265")},
    {QStringLiteral("MJPEG"), QStringLiteral("mjpeg"), QStringLiteral(".avi"), QStringLiteral("MJPEG")},
    {QStringLiteral("VP9"), QStringLiteral("vp9"), QStringLiteral(".webm"), QStringLiteral("VP9")},
    {QStringLiteral("AV1"), QStringLiteral("av1"), QStringLiteral(".mkv"), QStringLiteral("AV1")},
    {QStringLiteral("RAW"), QStringLiteral("raw"), QStringLiteral(".talvor"), QStringLiteral("RAW")},
};

ExportFormat export_format_for_label(const QString &text)
{
    for (const ExportFormat &row : exportFormats) {
        if (text.contains(row.label, Qt::CaseInsensitive))
            return row;
    }
    return {QStringLiteral("H.264"), QStringLiteral("libx264"), QStringLiteral(".mp4"), QStringLiteral("H264")};
}
