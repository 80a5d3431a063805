#pragma once
#include "zuframe.h"

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
//
// The entries between two key frames form a group. Decoding starts at a
// group's key frame and may go on into the following groups; each picture
// that comes out is placed in the group of the unit that carried it (every
// unit goes in tagged with its index), at the group's next free slot, so a
// group decoded on its own and one reached by decoding on from the group
// before give the same slots. A picture the decoder never gives (a corrupt
// unit) leaves its group's last slot empty, or, in a stream that does not
// reorder, its own slot.
//
// Not thread-safe: one thread at a time.
class ZuSlotDecoder
{
public:
    // Called with each picture that comes out and its slot; the receiver owns it.
    using Deliver = std::function<void(int slot, AVFrame *picture)>;
    enum class Threads { LowDelay, Frame };

    ZuSlotDecoder();
    ~ZuSlotDecoder();
    ZuSlotDecoder(const ZuSlotDecoder &) = delete;
    ZuSlotDecoder &operator=(const ZuSlotDecoder &) = delete;

    // The file and its entries (one stream) with the indexes of its key
    // entries, ascending. False (with `error` set) when the codec is unknown
    // or refused, or the data file cannot be opened.
    // `leadIn`: entries of another file decoded (their pictures dropped)
    // before entry 0 whenever decoding starts there.
    bool setFile(const QString &dataPath, const ZuFrameList &frames, const std::vector<int> &keys, QString *error,
                 const ZuFrameList &leadIn = {});
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
    // The key entry at or before `index` (-1 when none) and the end of its group.
    int keyAtOrBefore(int index) const;
    int groupEnd(int key) const;

    // Units passed to the decoder since construction.
    qint64 unitsDecoded() const { return m_units; }

    // Finds key frames in a file whose entries flag none, from the units
    // themselves: the units the decoder takes as key frames (H.264 IDR or
    // recovery point, H.265 random access points; every MJPEG picture).
    // Returns the indexes of `frames` found to be key frames.
    static std::vector<int> findKeyUnits(const QString &dataPath, const ZuFrameList &frames);

private:
    // The key frame to decode from for the group of `key`.
    int startKey(int key);
    void restart(int key);
    void take(AVFrame *picture, const Deliver &deliver);
    bool readUnit(int index, QByteArray *bytes);
    void endRun(const Deliver &deliver);
    int slotFor(int tag);
    int maxDelay() const;

    std::unique_ptr<VideoDecoder> m_decoder;
    QString m_codec;
    Threads m_threads = Threads::LowDelay;
    QFile m_data;
    qint64 m_dataSize = 0;
    ZuFrameList m_frames;
    std::vector<int> m_keys;
    ZuFrameList m_leadIn;
    QByteArray m_buffer;

    // The current run: decoding started at m_runKey and has passed units
    // up to m_fed - 1 to the decoder. Slots taken so far per group.
    int m_runKey = -1;
    int m_fed = 0;
    int m_lastOutGroup = -1;    // group of the last picture out
    int m_leadInEnd = -1;       // pictures of units before it are not delivered in this run
    std::map<int, int> m_taken; // group key -> slots given in it
    std::set<int> m_delivered;  // slots given in this run
    std::set<int> m_undecodable;
    int m_corruptLogged = 0;
    qint64 m_units = 0;
};
