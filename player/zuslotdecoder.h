#pragma once
#include "pictureorder.h"
#include "pictureplaces.h"
#include "zuframe.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

class VideoDecoder;
struct AVFrame;

// Decodes the pictures of one recording file by "slot".
//
// The entries of a data file are in decoding order; streams that reorder
// pictures (B-frames) present them in another order. Slot i is the i-th
// picture in presentation order, shown with entry i's time: a recorder
// writes its entries with rising times, so the k-th picture presented from
// a group of pictures gets the group's k-th time, exactly as an export of
// the range pairs them. Without reordering, slot i is entry i's picture.
// Whether the stream reorders is said by the file (read from its units), not
// learnt from the decoder on the way, so the rule never changes mid-stream.
//
// The entries between two key frames form a group. Decoding starts at a
// group's key frame and may go on into the following groups; each picture
// that comes out is placed in the group of the unit that carried it (every
// unit goes in tagged), at its place in the order the group shows its
// pictures (ZuPicturePlaces, the export's rule), so a group decoded on its
// own and one reached by decoding on from the group before give the same
// slots. A group goes on across a file boundary: a file that starts inside
// a group, or on a key frame whose first pictures refer to the group before,
// is decoded from the file before (its lead-in), and the last group of a
// file that goes on in the next file is decoded into the next file's first
// units (its trail); the places outside the file are not delivered. A
// picture the decoder never gives (a corrupt unit) leaves its own slot
// empty; it and the pictures decoded after it in its group are logged as
// damaged.
//
// A unit without a picture (parameter sets stored as an entry of their own)
// goes to the decoder with the next unit and takes no place; a unit stored
// twice in a row at the same time (a re-sent frame) goes in once. Their
// slots give no picture. A unit repeated at a time of its own is a picture.
//
// Not thread-safe: one thread at a time.
class ZuSlotDecoder
{
public:
    // Called with each picture that comes out and its slot; the receiver owns it.
    using Deliver = std::function<void(int slot, AVFrame *picture)>;
    enum class Threads { LowDelay, Frame };

    // What decoding a file needs beyond its own entries.
    struct Edges {
        // Entries of the file before, decoded before entry 0 whenever
        // decoding starts there: from a key frame, with the last group's key
        // at `leadInKey`.
        ZuFrameList leadIn;
        int leadInKey = 0;
        // The file's first entries belong to the lead-in's last group (the
        // file's key 0 is then no key frame of its own).
        bool continuesGroup = false;
        // Entries of the next file before its first key frame, into which
        // the file's last group goes on.
        ZuFrameList trail;
        // The stream shows its pictures in another order than it stores them.
        bool reorders = false;
        // The file's data goes on past its last entry: its last group is
        // not whole.
        bool unindexedEnd = false;
    };

    ZuSlotDecoder();
    ~ZuSlotDecoder();
    ZuSlotDecoder(const ZuSlotDecoder &) = delete;
    ZuSlotDecoder &operator=(const ZuSlotDecoder &) = delete;

    // The file and its entries (one stream) with the indexes of its key
    // entries, ascending. False (with `error` set) when the codec is unknown
    // or refused, or the data file cannot be opened.
    bool setFile(const QString &dataPath, const ZuFrameList &frames, const std::vector<int> &keys, QString *error,
                 const Edges &edges);
    void close();
    bool isOpen() const;

    // LowDelay (the default): slice threads, one picture out per unit in as
    // soon as possible, for single steps. Frame: frame threads, for decoding
    // whole groups ahead; pictures come out a few units later.
    void setThreads(Threads threads);

    // Decodes until slot `slot`'s picture has been delivered. Pictures of
    // other slots that come out on the way are delivered too. Returns true
    // when `slot` was delivered by this call; false when it cannot be
    // decoded (before the first key frame, damaged, or missing).
    // `stop`, when given, is polled between units and ends the work early.
    bool decodeTo(int slot, const Deliver &deliver, const std::function<bool()> &stop = {});
    // Given in the current run of the decoder.
    bool delivered(int slot) const { return m_delivered.count(slot) != 0; }
    // Known not to give a picture (until setFile()).
    bool isUndecodable(int slot) const { return m_undecodable.count(slot) != 0; }
    const std::set<int> &undecodable() const { return m_undecodable; }
    // The key entry at or before `index` (-1 when none) and the end of its group.
    int keyAtOrBefore(int index) const;
    int groupEnd(int key) const;

    // Slots found empty or shown damaged since construction (each is logged).
    qint64 damagedPictures() const { return m_damaged; }

    // Units passed to the decoder since construction.
    qint64 unitsDecoded() const { return m_units; }

private:
    // Units are numbered in one sequence: the lead-in's, the file's (from
    // m_base), the trail's. A unit goes into the decoder tagged with its number.
    int unitCount() const { return m_base + int(m_frames.size()) + int(m_trail.size()); }
    int unitOf(int slot) const { return m_base + slot; }
    // The slot of unit `unit`, -1 outside the file.
    int slotOf(int unit) const;
    // The start of the group of unit `unit` (-1 before the first).
    int groupOf(int unit) const;
    // The key frame to decode from for the group of `key`.
    int startKey(int key);
    void restart(int key);
    // A decoder that has not met the stream's B-frames learns how far they
    // reach before the run starts: it would drop a picture finding out later.
    void learnReorderDepth(int from);
    void take(AVFrame *picture, const Deliver &deliver);
    bool readUnit(int unit, QByteArray *bytes);
    // The entry of `unit` and the file it is in; null outside the units.
    const ZuFrame *entryOf(int unit, QFile **file);
    // Whether `unit` re-sends the unit before it: its `bytes` at its time.
    bool repeatsPrevious(int unit, const QByteArray &bytes);
    void endRun(const Deliver &deliver);
    // The slot of the picture that came out with `tag` (see ZuPicturePlaces);
    // -1 when it has none. `damaged`: concealed, or decoded after a damaged
    // unit of its group.
    int slotFor(int tag, bool concealed, bool *damaged);
    // Marks the slots found empty or damaged since the last call, and logs them.
    void countPlaces();
    int maxDelay() const;

    std::unique_ptr<VideoDecoder> m_decoder;
    QString m_codec;
    Threads m_threads = Threads::LowDelay;
    QFile m_data;
    QFile m_leadData;
    QFile m_trailData;
    qint64 m_dataSize = 0;
    ZuFrameList m_frames;
    std::vector<int> m_keys;
    ZuFrameList m_leadIn;
    ZuFrameList m_trail;
    int m_base = 0;                  // units of the lead-in
    std::vector<int> m_groupStarts;  // units that start a group, ascending
    bool m_reorders = false;
    bool m_unindexedEnd = false;
    bool m_depthLearned = false;     // how far B-frames reach, since the file was set
    QByteArray m_buffer;
    QByteArray m_parameters;         // units without a picture, for the next unit
    QByteArray m_lastBytes;          // the last unit read, and its number
    int m_lastUnit = -1;

    // The current run: decoding started at key m_runKey and has passed units
    // up to m_fed - 1 to the decoder. Per group: the units that took a
    // place (in stored order), and how many places were given.
    int m_runKey = -1;
    int m_fed = 0;
    int m_lastOutGroup = -1;              // group of the last picture out
    int m_leadInEnd = -1;                 // pictures of units before it are not delivered in this run
    std::map<int, std::vector<int>> m_places;
    ZuPicturePlaces m_pairing;
    QString m_pairingCodec; // the codec whose units m_pairing learned its step from
    PictureOrder m_order;
    std::set<int> m_delivered;  // slots given in this run
    std::set<int> m_undecodable;
    int m_corruptLogged = 0;
    qint64 m_units = 0;
    qint64 m_damaged = 0;
};
