#pragma once
#include "zuframe.h"

// Reading and writing of seek files (".zuseek" beside ".zuvideo",
// ".zuaudioseek" beside ".zuaudio"). Format: docs/formats.md.
namespace ZuSeekFile {

// The seek file that belongs to a data file, and back; empty for other names.
QString seekPathFor(const QString &dataPath);
QString dataPathFor(const QString &seekPath);

struct Result {
    ZuFrameList frames;      // entries in file order (only `streamId`'s when given)
    int malformedLines = 0;  // lines logged and skipped
    bool truncated = false;  // an entry pointed past the end of the data file; it and the rest were dropped
    bool ok = false;         // false when the seek file could not be opened
};

// Parses the seek file `seekPath` of the data file `dataPath`. Offsets are
// running sums of the sizes of every entry of the file; entries of other
// streams are dropped after their sizes are counted when `streamId` is not
// empty. Accepts LF and CRLF line ends and trailing blank lines. Never
// crashes or hangs on huge or binary input.
Result parse(const QString &seekPath, const QString &dataPath, const QString &streamId = QString());

// One seek-file line for `frame` (no line end).
QString formatLine(const ZuFrame &frame);

} // namespace ZuSeekFile
