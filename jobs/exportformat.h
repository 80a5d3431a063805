#pragma once
#include <QList>
#include <QString>

// One output format of the export dialog.
struct ExportFormat {
    QString label;     // matched against the format combo's text
    QString encoder;   // encoder name; "raw" selects the raw copy
    QString extension; // with its dot
    QString key;       // upper case; the last part of a default file name
};

// The formats in the order the dialog offers them. Filled during static
// initialisation and never changed afterwards, so any thread may read it.
extern const QList<ExportFormat> exportFormats;

// The first row whose label occurs in `text` (without regard to case), so
// "H.264 (.mp4)" finds "H.264"; an H.264 row when none does.
ExportFormat export_format_for_label(const QString &text);
