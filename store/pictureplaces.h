#pragma once
#include <QtGlobal>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

// Which picture a decoder gives belongs to which entry, for the export's
// reader and for playback alike.
//
// Every unit that takes a place goes into the decoder tagged, and the
// picture it gives comes out with that tag (through any reordering), so each
// picture is known by its own unit. The places of a group of pictures (key
// frame to key frame) are its entries in stored order, their times rising:
// in a stream without B-frames a picture takes its own unit's place; in a
// stream with B-frames the k-th picture shown takes the k-th place. A unit
// that gives no picture (refused by the decoder, or dropped by it) leaves
// its own place in that order empty: the order of its picture is read from
// its slice header (see PictureOrder) where that can be read; where it
// cannot, the hole its picture leaves in the order of the pictures shown
// tells, one such unit for one missing picture. A hole that no unit of the
// group explains (a picture whose entry is gone with its bytes) leaves the
// group's places that cannot be told apart: the whole group is counted as
// damaged. So does a unit of unknown order that no hole places when it may
// have been shown before the group's first picture, or where no step between
// pictures was known yet.
//
// A place is damaged when it stays empty, when its picture was concealed by
// the decoder, or when its picture was decoded after a damaged unit of its
// group (the pictures that refer to a damaged one carry no mark of their
// own). The leading pictures of the key frame that decoding starts from
// (stored after it, shown before it: an open group of pictures whose group
// before is not decoded) refer to that group: those the decoder does not
// give or conceals are damaged, and only they, for no picture shown after
// the key frame refers to them.
//
// Not thread-safe: one reading thread.
class ZuPicturePlaces
{
public:
    static constexpr int64_t kUnknownOrder = INT64_MIN;

    // Whether the stream shows its pictures in another order than it
    // stores them; set before its first unit.
    void setReorders(bool reorders) { m_reorders = reorders; }
    bool reorders() const { return m_reorders; }
    // Forgets every unit and group (the decoder was flushed).
    void clear();
    // The units to come are of another codec, which counts its picture
    // orders its own way (H.264 encoders often in steps of 2, H.265 ones in
    // steps of 1): the step learned so far says nothing of them. Called
    // between groups, once the groups before are closed.
    void forgetStep() { m_step = 0; }

    // A unit that takes a place went into the decoder with `tag` (rising),
    // as the next place of `group` (rising); `order` its picture order
    // count, or kUnknownOrder.
    void unitIn(qint64 tag, qint64 group, int64_t order);
    // Takes back the last unit in, of `group` (it takes no place after all).
    void withdraw(qint64 tag, qint64 group);
    // The decoder refused the unit: it gives no picture.
    void refused(qint64 tag);
    // Units in whose picture has not come out, those known to give none in
    // the open groups included (a reader that meets more gives up).
    size_t waiting() const;
    // The group of a unit whose picture has not come out; -1 when none.
    qint64 groupOf(qint64 tag) const;

    struct Placed {
        qint64 group = -1;
        int place = -1;       // index among the group's places; -1: none (freed)
        bool damaged = false; // concealed, or decoded after a damaged unit of its group
    };
    // The place of the picture that came out with `tag`; `concealed` when
    // the decoder says it is damaged.
    Placed picture(qint64 tag, bool concealed);
    // Ends the groups before `group` (every group with INT64_MAX): their
    // places that got no picture become empty.
    void closeBefore(qint64 group);

    struct Empty {
        qint64 group;
        int place;
    };
    // Places known to stay empty, and places already given a picture that
    // turned out to be damaged, since the last call.
    std::vector<Empty> takeEmpty();
    std::vector<Empty> takeDamagedAfter();

private:
    struct Unit {
        qint64 tag = 0;
        int64_t order = kUnknownOrder;
        bool out = false;     // its picture came out
        bool missing = false; // known to give none, its place counted
        bool refused = false;
    };
    struct Group {
        std::vector<Unit> units; // in stored order
        std::set<int64_t> orders; // the known orders of its units
        int nextRank = 0;        // places given or found empty, in display order
        int64_t lastOrder = kUnknownOrder;
        qint64 damagedFrom = INT64_MAX; // pictures of later units are damaged
        int unlocated = 0;       // refused units of unknown order not yet placed
        bool unexplained = false;
        // Units of unknown order went in where no hole can tell their place:
        // before its first picture came out, or before the step between
        // pictures was known.
        bool unsure = false;
        int64_t firstShown = kUnknownOrder; // the order of its first picture out
        int firstRank = 0;                  // and its place
        int64_t lastShown = kUnknownOrder;  // the latest order of its pictures out
        bool opensRun = false;   // its key frame is the first unit in since clear()
        std::vector<std::pair<int, qint64>> given; // places given an undamaged picture, and its unit
    };
    void markMissing(Group &g, qint64 groupId, Unit &u);
    // Whether `u` is a leading picture of the key frame decoding started from.
    static bool leadsRun(const Group &g, const Unit &u);
    // Pictures of units after `tag` are damaged, those given already too.
    void damageFrom(Group &g, qint64 groupId, qint64 tag);
    void emptyPlace(qint64 groupId, int place);

    bool m_reorders = false;
    bool m_started = false; // a unit went in since clear()
    int64_t m_step = 0; // the smallest step between the orders of two units of a group, or of pictures shown one after another
    std::map<qint64, Group> m_groups;
    // Units whose picture has not come out: tag -> group and index in it.
    std::map<qint64, std::pair<qint64, int>> m_unitGroup;
    std::vector<Empty> m_empty;
    std::vector<Empty> m_damagedAfter;
};
