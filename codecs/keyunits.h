#pragma once
#include <QString>

#include <cstdint>

class QByteArray;
class QIODevice;

// Tells from a recorded unit's own bytes whether a decoder can start from
// it, for recordings whose seek entries flag no key frame: an H.264 IDR
// picture or one announced by a recovery point SEI, an H.265 random access
// point (IDR, CRA or BLA), every MJPEG picture.
namespace KeyUnits {

enum class Kind { Key, NotKey, NoPicture };

// The kind of the Annex-B unit `data` of `codec` (a seek-file codec text).
// Its head is enough when it reaches the first slice; a unit cut before that
// is NoPicture. Unknown codecs give NoPicture.
Kind kindOf(const QString &codec, const uint8_t *data, int size);

// Whether the unit of `codec` at [offset, offset + size) of `data` is a key
// unit. Reads only as much of its head as needed; false when it cannot be
// read.
bool isKey(const QString &codec, QIODevice &data, qint64 offset, int size);

// Whether `data` is a unit of a `codec` stream at all: for H.264 and H.265,
// Annex-B NAL units from its first bytes on, each with a header that codec
// allows at all (forbidden bit clear, an H.265 temporal id); for MJPEG a
// JPEG start of image. Text, a playlist or a picture of another kind is none.
bool isUnitOf(const QString &codec, const uint8_t *data, int size);

// The codec ("h264" or "hevc") of Annex-B NAL units told by their headers:
// the one whose syntax every header of the unit follows (types it defines,
// nal_ref_idc where it is fixed, H.265 base layer and temporal ids). Empty
// when the unit follows neither, or both (some messages, or some pictures
// of a higher H.265 sub-layer, alone): a stream's later units are read as
// its first picture was.
QString codecOf(const uint8_t *data, int size);

// Whether the unit holds NAL units and none of them carries a picture:
// parameter sets, messages or a delimiter that a recorder stored as an entry
// of their own. Bytes without a NAL unit (garbage) are no such unit.
bool holdsOnlyParameters(const QString &codec, const uint8_t *data, int size);

// Parameter sets, messages and delimiters stored as entries of their own go
// into the decoder with the picture after them, so a reader holds them until
// then. A real stream has a handful of small ones in a row; a damaged or
// hostile file could store any number of large ones. `held` stays within
// kMaxHeldParameterBytes: a unit that would take it past the bound replaces
// what is held (the latest sets are the ones in force), and one larger than
// the bound alone is not held at all.
constexpr int kMaxHeldParameterBytes = 1024 * 1024;
void holdParameters(QByteArray &held, const QByteArray &unit);

// The kind of the unit at [offset, offset + size) of `data`, reading only as
// much of its head as needed; NoPicture when it cannot be read.
Kind kindAt(const QString &codec, QIODevice &data, qint64 offset, int size);

// What the parameter sets seen so far say about the slice headers after
// them (H.265: the extra bits a picture parameter set announces). Units are
// fed in their stored order.
struct SliceHeaders {
    int extraBits = 0;
};

// Whether the unit's first slice is a B slice: one that may refer to a
// picture shown after it, so that the stream shows its pictures in another
// order than it stores them. False for MJPEG and units without a slice.
bool holdsBSlice(const QString &codec, const uint8_t *data, int size, SliceHeaders *headers);
// The same for the unit at [offset, offset + size) of `data`.
bool holdsBSlice(const QString &codec, QIODevice &data, qint64 offset, int size, SliceHeaders *headers);

// Whether decoding from that unit gives every picture stored after it: an
// IDR picture or an MJPEG one. An H.265 CRA picture or an H.264 recovery
// point may be followed by pictures shown before it that refer to the
// pictures before it (an open group of pictures); those need decoding from
// the key unit before.
bool startsClean(const QString &codec, QIODevice &data, qint64 offset, int size);

} // namespace KeyUnits
