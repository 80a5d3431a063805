#pragma once
#include "zuframe.h"

#include <vector>

// Reading and writing of seek files (".zuseek" beside ".zuvideo",
// ".zuaudioseek" beside ".zuaudio"). Format: docs/formats.md.
namespace ZuSeekFile {

// A line longer than this is no entry (binary data or a damaged file).
constexpr int kMaxLineBytes = 512;
// The largest frame size taken as real; larger sizes make a line malformed.
constexpr qint64 kMaxFrameBytes = 256LL * 1024 * 1024;

// The seek file that belongs to a data file, and back; empty for other names.
// Milliseconds of a "yyyyMMddHHmmsszzz" entry time, -1 when it is no valid
// date and time. Entry times are the recorder's wall-clock times and carry no
// zone: they are read as zone-less (UTC) times, since read as the viewer's
// local time a time inside the viewer's own daylight-saving gap would be no
// time at all.
qint64 msOfTimestamp(const QString &timestamp);

QString seekPathFor(const QString &dataPath);
QString dataPathFor(const QString &seekPath);

struct Result {
    ZuFrameList frames;      // entries in file order (only `streamId`'s when given)
    int malformedLines = 0;  // lines logged and skipped
    bool truncated = false;  // an entry pointed past the end of the data file, or a line's size could
                             // not be read (so later offsets are unknown); it and the rest were dropped
    bool ok = false;         // false when the seek file could not be opened
    bool dataFileMissing = false; // the data file does not exist (every entry then lies past its end)
    qint64 dataSize = 0;     // bytes of the data file
    qint64 indexedEnd = 0;   // where the data of the last entry read (of every stream) ends: bytes past it
                             // are in no entry (a recorder stopped before writing its index)
};

// Parses the seek file `seekPath` of the data file `dataPath`. Offsets are
// running sums of the sizes of every entry of the file; entries of other
// streams are dropped after their sizes are counted when `streamId` is not
// empty. Accepts LF and CRLF line ends and trailing blank lines. Never
// crashes or hangs on huge or binary input. An empty `dataPath` means the
// data file named after the seek file; `streamId` is the decimal id ("0"),
// or "video<id>"/"audio<id>" to keep one type only.
Result parse(const QString &seekPath, const QString &dataPath, const QString &streamId = QString());

// Entries stamped with their pictures' own times, in a stream that shows
// its pictures in another order than it stores them (B-frames), step back
// by a few pictures now and then; a step back of more than `maxStepBackMs`
// is a clock set back instead.
bool inDisplayOrder(const ZuFrameList &frames, qint64 maxStepBackMs = 1000);

// Puts the times of each group of pictures (from one of `keys`, ascending
// entry indexes, to the next; entries before the first key form a group
// too) in rising order over its entries, leaving everything else in place.
// The k-th picture a decoder shows from a group has the group's k-th time,
// so entry k of the group then carries the time of the k-th picture shown,
// as entries stamped in decoding order with rising times do.
void sortTimesWithinGroups(ZuFrameList &frames, const std::vector<int> &keys);

// One seek-file line for `frame` (no line end).
QString formatLine(const ZuFrame &frame);

// Writes `frames` as the seek file `seekPath` (one formatLine each, LF ends),
// replacing it atomically; false on failure.
bool write(const QString &seekPath, const ZuFrameList &frames);

} // namespace ZuSeekFile
