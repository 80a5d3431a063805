#pragma once
#include "zuframe.h"

#include <QString>

#include <vector>

class QByteArray;
class QIODevice;

// What a stream's seek entries say about its units, held against the units
// themselves (the bytes of the data file they point at).
namespace ZuStreamUnits {

// The entries of one video stream of the data file `data` that decoding can
// start from, in ascending order. The entries' key flags are taken when the
// units of the first flagged entries agree with them: each is a key unit, or
// holds no picture (parameter sets stored as an entry of their own) and is
// followed by a key unit. Flags that the units contradict (a recorder that
// flags every entry) are not trusted: the key units are then found in the
// data, as when no entry is flagged (`*flagsIgnored` tells). Decoding starts
// at the entries without a picture just before a key unit, which carry what
// it needs.
std::vector<int> keys(const ZuFrameList &frames, QIODevice &data, bool *flagsIgnored = nullptr);

// Whether the stream shows its pictures in another order than it stores
// them (B-frames): a B slice among the units of its first groups of pictures
// (from the first of `keys`).
bool reorders(const ZuFrameList &frames, QIODevice &data, const std::vector<int> &keys);

// Whether decoding from the key entry `key` gives every picture stored after
// it (no picture shown before its key picture refers to the group before);
// entries without a picture before the key unit are passed over.
bool startsClean(const ZuFrameList &frames, int key, QIODevice &data);

// How many of the first entries of `next` (entries of the file after, up to
// its first key frame) go on with the group of pictures whose entries are
// `group` (from its key frame, in stored order; it may start in a file
// before), so that decoding them finishes that group: those whose
// pictures take places in it. The count ends at the first unit that cannot
// be told to: one of another codec, one whose slice header cannot be read
// (damaged, or a key frame's parameter sets lost with it), or one whose
// picture order count lies outside the group: shown before pictures the
// group already holds, or further past its last picture than the group
// ever reaches from one picture to the next (the pictures of another group
// whose key frame is lost). Units without a picture go on with it. A codec
// that shows its pictures as stored (MJPEG) goes on as long as its codec
// does.
// Each entry's unit is read from its own data file.
int continuing(const ZuFrameList &group, const ZuFrameList &next);

// Whether a unit is a re-sent copy of the one stored just before it: the
// same bytes at the same time. A recorder that repeats a picture at a time
// of its own (a still scene in MJPEG, pictures stored at twice their rate)
// stores a picture for that time: it is decoded again, and shown there.
bool resent(const QString &previousTime, const QByteArray &previousBytes, const QString &time,
            const QByteArray &bytes);

} // namespace ZuStreamUnits
