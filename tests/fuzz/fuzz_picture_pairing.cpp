// Which decoded picture goes with which seek entry, over the units of a
// recorded H.264 or H.265 stream. The units go through PictureOrder and
// KeyUnits as the export's reader takes them (a re-sent copy goes in once,
// parameter sets stored as entries of their own go in with the picture after
// them), then drive a ZuPicturePlaces as the reader does, while a stand-in
// decoder hands out their pictures: in the order a decoder shows them, or in
// any order. Cut into two data files, they are also a file's last group of
// pictures and the next file's first units (ZuStreamUnits::continuing).
//
// The oracle: every place told (a picture's, an empty one, a damaged one)
// lies within its group's places, none is told twice, and once its group is
// closed each place has been given a picture or found empty; waiting()
// counts the units of the open groups not yet told for; without B-frames a
// picture takes its own unit's place. Shown as a decoder shows them, every
// picture finds a place, nothing is damaged in a group whose units all give
// their pictures, and, where the counts of the groups lie evenly spaced, a
// picture not told damaged has the place of its count among its group's.
//
// Input: byte 0: bit 0 H.265, bit 1 the stream reorders its pictures, bit 2
// pictures come out in any order; byte 1: the unit the second file starts
// with. Then units: 2 bytes of length (big-endian), 2 bytes of fate, the
// bytes. Fate byte 0: bits 0-1 what the decoder does (gives the picture,
// refuses the unit, drops it unsaid, gives it concealed), bit 2 its slice
// header cannot be read, bit 3 stored at the same time as the unit before,
// bits 4-5 pictures handed out after it, bit 6 taken back (by a decoder
// that waits for a key frame, from the start or a drain on), bit 7 the
// decoder is drained and the places cleared after it. Fate byte 1: bits 0-4
// which waiting picture comes out (in any order), bit 5 its key frame flag
// says the opposite of its bytes, bit 6 its entry points past the data
// file's end, bit 7 its entry names another codec.
#include "fuzz_support.h"
#include "keyunits.h"
#include "pictureorder.h"
#include "pictureplaces.h"
#include "streamunits.h"
#include "videodecoder.h"
#include "zuframe.h"

#include <QFile>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace {

constexpr int kMaxUnits = 256;
constexpr int kHeaderBytes = 2;
constexpr int kUnitHeadBytes = 4;

enum Fate { Gives = 0, Refused = 1, Dropped = 2, Concealed = 3 };
constexpr uint8_t kUnreadable = 0x04;
constexpr uint8_t kSameTime = 0x08;
constexpr int kOutShift = 4;
constexpr uint8_t kTakenBack = 0x40;
constexpr uint8_t kDrainAfter = 0x80;
constexpr uint8_t kChoiceMask = 0x1f;
constexpr uint8_t kFlagLies = 0x20;
constexpr uint8_t kPastEnd = 0x40;
constexpr uint8_t kOtherCodec = 0x80;

struct Record {
    QByteArray bytes;
    uint8_t fate = 0;
    uint8_t entry = 0;
};

// A unit that takes a place, as the reader feeds it.
struct In {
    qint64 tag = 0;
    qint64 group = 0;
    int64_t order = PictureOrder::kUnknown; // as read from its slice header
    int fate = Gives;
    bool unreadable = false; // its order is not told: the decoder cannot read it either
    bool takenBack = false;
    int outAfter = 0;
    uint8_t choice = 0;
    bool damaged = false; // its picture was told damaged, when or after it came out
};

// A group between two drains of the decoder: how many drains before it, and its number.
using GroupKey = std::pair<int, qint64>;

struct Step {
    int in = -1; // index into the units in, or -1: drain the decoder
};

// What the places object told of one group.
struct GroupSeen {
    std::vector<int> units;         // the units in, in stored order (taken back ones left out)
    std::map<int, int> given;       // place -> unit whose picture took it
    std::set<int> empty;
    int resolved = 0;               // pictures placed and places found empty
    bool closed = false;
};

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.left(48).toHex());
}

class Run
{
public:
    Run(std::vector<In> &ins, bool reorders, bool anyOrder, std::set<GroupKey> toldByCounts, int64_t step)
        : m_ins(ins), m_reorders(reorders), m_anyOrder(anyOrder), m_toldByCounts(std::move(toldByCounts)), m_step(step)
    {
        m_places.setReorders(reorders);
    }

    void unit(int index)
    {
        In &u = m_ins[size_t(index)];
        const int64_t told = m_reorders && !u.unreadable && u.order != PictureOrder::kUnknown
                                 ? u.order
                                 : ZuPicturePlaces::kUnknownOrder;
        m_places.unitIn(u.tag, u.group, told);
        if (told != ZuPicturePlaces::kUnknownOrder) {
            std::set<int64_t> &orders = m_toldOrders[u.group];
            m_stepTold = m_stepTold || orders.count(told - m_step) || orders.count(told + m_step);
            orders.insert(told);
        }
        m_inSoFar = index + 1;
        GroupSeen &g = m_groups[u.group];
        ZU_FUZZ_CHECK(!g.closed, QStringLiteral("a unit into group %1, closed already").arg(u.group));
        g.units.push_back(index);
        if (u.takenBack) {
            m_places.withdraw(u.tag, u.group);
            g.units.pop_back();
        } else if (u.fate == Refused) {
            m_places.refused(u.tag);
        } else if (givesPicture(u)) {
            m_pending.push_back(index);
        }
        collect();
        checkWaiting();
        for (int k = 0; k < u.outAfter; ++k) {
            if (!handOut(k))
                break;
        }
    }

    // The decoder hands out all it holds; the groups end.
    void drain()
    {
        for (int k = 0; handOut(k, true); ++k) {
        }
        m_places.closeBefore(INT64_MAX);
        collect();
        for (auto &entry : m_groups)
            close(entry.first, entry.second);
        checkWaiting();
        ZU_FUZZ_CHECK(m_places.waiting() == 0, QStringLiteral("%1 waiting, every group closed").arg(m_places.waiting()));
        m_places.clear();
        m_groups.clear();
        m_toldOrders.clear();
        ++m_drains;
    }

private:
    bool givesPicture(const In &u) const
    {
        if (u.fate != Gives && u.fate != Concealed)
            return false;
        // A slice header the parser cannot read, the decoder cannot either.
        return !m_reorders || (!u.unreadable && u.order != PictureOrder::kUnknown);
    }

    // The next picture a decoder would show, or -1 while it cannot know it:
    // group after group, within one in the order of their counts (in stored
    // order for a stream that does not reorder), and none while a unit of the
    // group with an earlier count is still to come.
    int nextShown() const
    {
        int best = -1;
        for (int i : m_pending) {
            const In &u = m_ins[size_t(i)];
            if (best < 0)
                best = i;
            const In &b = m_ins[size_t(best)];
            if (u.group < b.group || (u.group == b.group && m_reorders && u.order < b.order))
                best = i;
        }
        if (best < 0 || !m_reorders)
            return best;
        const In &b = m_ins[size_t(best)];
        for (size_t i = size_t(m_inSoFar); i < m_ins.size() && m_ins[i].group == b.group; ++i) {
            if (!m_ins[i].takenBack && m_ins[i].order != PictureOrder::kUnknown && m_ins[i].order < b.order)
                return -1;
        }
        return best;
    }

    bool handOut(int k, bool draining = false)
    {
        if (m_pending.empty())
            return false;
        int index = -1;
        if (m_anyOrder) {
            const In &last = m_ins[size_t(m_pending.back())];
            index = m_pending[(size_t(last.choice) + size_t(k) * 7) % m_pending.size()];
        } else {
            index = nextShown();
            if (index < 0 && draining) {
                // At the end of the stream the decoder shows what it holds.
                index = *std::min_element(m_pending.begin(), m_pending.end(), [&](int a, int b) {
                    const In &x = m_ins[size_t(a)];
                    const In &y = m_ins[size_t(b)];
                    return x.group != y.group ? x.group < y.group : x.order < y.order;
                });
            }
            if (index < 0)
                return false;
        }
        m_pending.erase(std::find(m_pending.begin(), m_pending.end(), index));
        In &u = m_ins[size_t(index)];
        const ZuPicturePlaces::Placed placed = m_places.picture(u.tag, u.fate == Concealed);
        const auto what = [&] {
            return QStringLiteral("picture of unit %1 (group %2, order %3): group %4, place %5")
                .arg(u.tag).arg(u.group).arg(u.order).arg(placed.group).arg(placed.place);
        };
        collect();
        if (placed.group >= 0) {
            ZU_FUZZ_CHECK(placed.group == u.group, what());
            GroupSeen &g = m_groups[u.group];
            ZU_FUZZ_CHECK(!g.closed, what());
            ++g.resolved;
            // Pictures come out group after group: the groups before are whole.
            for (auto &entry : m_groups) {
                if (entry.first < placed.group)
                    close(entry.first, entry.second);
            }
            if (placed.place >= 0) {
                const int own = int(std::find(g.units.begin(), g.units.end(), index) - g.units.begin());
                ZU_FUZZ_CHECK(placed.place < int(g.units.size()), what());
                ZU_FUZZ_CHECK(!g.given.count(placed.place) && !g.empty.count(placed.place), what() + QStringLiteral(", told before"));
                // Without B-frames a picture takes its own unit's place.
                ZU_FUZZ_CHECK(m_reorders || placed.place == own, what());
                g.given[placed.place] = index;
                u.damaged = placed.damaged;
            }
        }
        // Shown as a decoder shows them, every picture finds a place.
        ZU_FUZZ_CHECK(m_anyOrder || placed.place >= 0, what());
        checkWaiting();
        return true;
    }

    // Takes what the places object found, and checks it.
    void collect()
    {
        for (const ZuPicturePlaces::Empty &e : m_places.takeEmpty()) {
            const QString what = QStringLiteral("empty place %1 of group %2").arg(e.place).arg(e.group);
            const auto it = m_groups.find(e.group);
            ZU_FUZZ_CHECK(it != m_groups.end() && !it->second.closed, what);
            GroupSeen &g = it->second;
            ZU_FUZZ_CHECK(e.place >= 0 && e.place < int(g.units.size()), what);
            ZU_FUZZ_CHECK(!g.given.count(e.place) && !g.empty.count(e.place), what + QStringLiteral(", told before"));
            g.empty.insert(e.place);
            ++g.resolved;
        }
        for (const ZuPicturePlaces::Empty &e : m_places.takeDamagedAfter()) {
            const QString what = QStringLiteral("damaged place %1 of group %2").arg(e.place).arg(e.group);
            const auto it = m_groups.find(e.group);
            ZU_FUZZ_CHECK(it != m_groups.end() && !it->second.closed, what);
            const auto given = it->second.given.find(e.place);
            ZU_FUZZ_CHECK(given != it->second.given.end(), what + QStringLiteral(", given no picture"));
            In &u = m_ins[size_t(given->second)];
            ZU_FUZZ_CHECK(!u.damaged, what + QStringLiteral(", told damaged before"));
            u.damaged = true;
        }
    }

    void checkWaiting() const
    {
        // The units the reader waits for: those of open groups not told for.
        size_t unresolved = 0;
        for (const auto &entry : m_groups) {
            if (!entry.second.closed)
                unresolved += entry.second.units.size() - size_t(entry.second.resolved);
        }
        ZU_FUZZ_CHECK(m_places.waiting() == unresolved,
                      QStringLiteral("%1 waiting, %2 units not told for").arg(m_places.waiting()).arg(unresolved));
    }

    void close(qint64 id, GroupSeen &g)
    {
        if (g.closed)
            return;
        g.closed = true;
        // Every place of a closed group is given a picture or found empty.
        for (int place = 0; place < int(g.units.size()); ++place) {
            ZU_FUZZ_CHECK(g.given.count(place) + g.empty.count(place) == 1,
                          QStringLiteral("place %1 of group %2 (%3 places) not told for").arg(place).arg(id).arg(g.units.size()));
        }
        if (m_anyOrder)
            return;
        // Shown as a decoder shows them, a picture not told damaged has the
        // place of its count among the group's, where the counts tell.
        std::vector<int64_t> orders;
        bool intact = true;
        for (int i : g.units) {
            const In &u = m_ins[size_t(i)];
            orders.push_back(u.order);
            intact = intact && u.fate == Gives && !u.unreadable;
        }
        std::sort(orders.begin(), orders.end());
        if (m_reorders && !m_toldByCounts.count({m_drains, id}))
            return;
        // A unit whose count is not read is placed by the hole its picture
        // leaves, once the step between pictures is known.
        const bool placesTold = !m_reorders || m_stepTold;
        for (const auto &given : g.given) {
            const In &u = m_ins[size_t(given.second)];
            const int rank = int(std::lower_bound(orders.begin(), orders.end(), u.order) - orders.begin());
            ZU_FUZZ_CHECK(!m_reorders || !placesTold || u.damaged || given.first == rank,
                          QStringLiteral("the picture of count %1 of group %2 at place %3, its own is %4")
                              .arg(u.order).arg(id).arg(given.first).arg(rank));
            // Nothing in a whole group is damaged.
            ZU_FUZZ_CHECK(!intact || !u.damaged,
                          QStringLiteral("the picture of count %1 of group %2, whole, told damaged").arg(u.order).arg(id));
        }
        ZU_FUZZ_CHECK(!intact || g.empty.empty(), QStringLiteral("an empty place in group %1, whole").arg(id));
    }

    std::vector<In> &m_ins;
    const bool m_reorders;
    const bool m_anyOrder;
    const std::set<GroupKey> m_toldByCounts;
    const int64_t m_step;   // between the counts of pictures shown one after another
    bool m_stepTold = false; // two counts read of a group were a step apart
    int m_drains = 0;
    ZuPicturePlaces m_places;
    std::map<qint64, GroupSeen> m_groups;
    std::map<qint64, std::set<int64_t>> m_toldOrders; // of the groups since the last drain
    std::vector<int> m_pending; // units whose picture the decoder holds
    int m_inSoFar = 0;
};

// A unit's codec told by its NAL headers is one whose unit it is; parameter
// sets and messages alone hold no picture.
void checkKinds(const QString &codec, const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    const int size = int(bytes.size());
    const QString told = KeyUnits::codecOf(data, size);
    ZU_FUZZ_CHECK(told.isEmpty() || KeyUnits::isUnitOf(told, data, size), told + QLatin1Char(' ') + hex(bytes));
    if (KeyUnits::holdsOnlyParameters(codec, data, size)) {
        KeyUnits::SliceHeaders headers;
        ZU_FUZZ_CHECK(KeyUnits::kindOf(codec, data, size) == KeyUnits::Kind::NoPicture
                          && !KeyUnits::holdsBSlice(codec, data, size, &headers),
                      hex(bytes));
    }
}

QString timeText(int n)
{
    // Forty milliseconds apart from 14:00:00.000.
    const int ms = n * 40;
    return QStringLiteral("20240305%1%2%3%4")
        .arg(14 + ms / 3600000, 2, 10, QLatin1Char('0'))
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

// The records as the entries of a data file of their own.
ZuFrameList writeFile(const QString &path, const std::vector<Record> &records, size_t from, size_t to,
                      const QString &codec, const QString &otherCodec)
{
    QByteArray data;
    for (size_t i = from; i < to; ++i)
        data += records[i].bytes;
    if (!zufuzz::writeFile(path, data))
        zufuzz::fail("cannot write a data file", path);
    ZuFrameList frames;
    qint64 offset = 0;
    for (size_t i = from; i < to; ++i) {
        const Record &r = records[i];
        ZuFrame f;
        f.timestamp = timeText(int(i));
        f.stream_id = QStringLiteral("0");
        f.type = QStringLiteral("video");
        f.codec = (r.entry & kOtherCodec) ? otherCodec : codec;
        f.resolution = QStringLiteral("64x48");
        const bool key = KeyUnits::kindOf(codec, reinterpret_cast<const uint8_t *>(r.bytes.constData()),
                                          int(r.bytes.size()))
                         == KeyUnits::Kind::Key;
        f.keyframe = key != bool(r.entry & kFlagLies) ? QStringLiteral("1") : QStringLiteral("0");
        f.file_path = path;
        f.size = int(r.bytes.size());
        f.offset = (r.entry & kPastEnd) ? data.size() + offset + 1 : offset;
        offset += r.bytes.size();
        frames.append(f);
    }
    return frames;
}

// A file's last group of pictures and the next file's units up to its
// first key frame, as the reader finds them.
void checkContinuing(const std::vector<Record> &records, size_t split, const QString &codec)
{
    const QString otherCodec = codec == QLatin1String("h264") ? QStringLiteral("hevc") : QStringLiteral("mjpeg");
    const QString dir = zufuzz::scratchDir();
    const QString firstPath = dir + QStringLiteral("/1_20240305_140000.zuvideo");
    const QString nextPath = dir + QStringLiteral("/1_20240305_140100.zuvideo");
    const ZuFrameList first = writeFile(firstPath, records, 0, split, codec, otherCodec);
    const ZuFrameList next = writeFile(nextPath, records, split, records.size(), codec, otherCodec);
    if (first.isEmpty() || next.isEmpty())
        return;
    QFile firstData(firstPath);
    QFile nextData(nextPath);
    if (!firstData.open(QIODevice::ReadOnly) || !nextData.open(QIODevice::ReadOnly))
        zufuzz::fail("cannot read a data file", firstPath);
    const std::vector<int> firstKeys = ZuStreamUnits::keys(first, firstData);
    const std::vector<int> nextKeys = ZuStreamUnits::keys(next, nextData);
    (void)ZuStreamUnits::reorders(first, firstData, firstKeys);
    if (!nextKeys.empty() && nextKeys.front() == 0)
        return;
    const ZuFrameList group = first.mid(firstKeys.empty() ? 0 : firstKeys.back());
    const ZuFrameList trail = next.mid(0, nextKeys.empty() ? next.size() : nextKeys.front());
    const int n = ZuStreamUnits::continuing(group, trail);
    const auto what = [&] {
        return QStringLiteral("%1 of %2 units go on with a group of %3").arg(n).arg(trail.size()).arg(group.size());
    };
    ZU_FUZZ_CHECK(n >= 0 && n <= trail.size(), what());
    // The count ends where a unit cannot be told to go on: what comes after
    // it changes nothing.
    ZU_FUZZ_CHECK(ZuStreamUnits::continuing(group, trail.mid(0, n)) == n, what());
    if (n < trail.size())
        ZU_FUZZ_CHECK(ZuStreamUnits::continuing(group, trail.mid(0, n + 1)) == n, what());
    // Units of the group's codec, read: units of a codec that shows its
    // pictures as stored (MJPEG) are not read.
    const QString own = VideoDecoder::normalizedCodecName(group.last().codec);
    const bool read = own == QLatin1String("h264") || own == QLatin1String("hevc");
    for (int i = 0; i < n; ++i) {
        const ZuFrame &f = trail.at(i);
        ZU_FUZZ_CHECK(VideoDecoder::normalizedCodecName(f.codec) == own, what() + QStringLiteral(", unit %1 of %2").arg(i).arg(f.codec));
        ZU_FUZZ_CHECK(!read || f.offset + f.size <= nextData.size(), what() + QStringLiteral(", unit %1 past the data").arg(i));
    }
}

struct Counts {
    std::set<GroupKey> groups;
    int64_t step = 0;
};

// The groups (drains counted, and the group) whose places the counts tell,
// and the step between them: those of only units whose counts are read,
// holding every picture between their first and last, one step apart. None
// unless the counts of every group lie on steps of one length: those with
// units whose counts are not read, or cut by a drain, may lack pictures.
// Where pictures are missing that no unit accounts for, a place cannot be
// told from the counts alone.
Counts toldByCounts(const std::vector<In> &ins, const std::vector<Step> &steps)
{
    using Key = GroupKey;
    std::map<Key, std::vector<int64_t>> known;
    std::set<Key> partial;
    int run = 0;
    qint64 lastGroup = -1;
    for (const Step &s : steps) {
        if (s.in < 0) {
            ++run;
            continue;
        }
        const In &u = ins[size_t(s.in)];
        if (u.group == lastGroup && !known.count({run, u.group}) && !partial.count({run, u.group})) {
            partial.insert({run - 1, u.group});
            partial.insert({run, u.group});
        }
        lastGroup = u.group;
        if (u.takenBack)
            continue;
        if (u.order == PictureOrder::kUnknown)
            partial.insert({run, u.group});
        else
            known[{run, u.group}].push_back(u.order);
    }
    int64_t step = 0;
    for (auto &entry : known) {
        std::vector<int64_t> &orders = entry.second;
        std::sort(orders.begin(), orders.end());
        for (size_t i = 1; i < orders.size(); ++i) {
            const int64_t d = orders[i] - orders[i - 1];
            if (d == 0)
                return {};
            step = step == 0 ? d : std::min(step, d);
        }
    }
    for (const auto &entry : known) {
        const std::vector<int64_t> &orders = entry.second;
        for (size_t i = 1; i < orders.size(); ++i) {
            const int64_t d = orders[i] - orders[i - 1];
            if (partial.count(entry.first) ? d % step != 0 : d != step)
                return {};
        }
    }
    Counts told;
    told.step = step;
    for (const auto &entry : known) {
        if (!partial.count(entry.first))
            told.groups.insert(entry.first);
    }
    return told;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    zufuzz::scratchDir();
    // The parsers' complaints about damaged units.
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeaderBytes)
        return 0;
    const bool hevc = data[0] & 0x01;
    const bool reorders = data[0] & 0x02;
    const bool anyOrder = data[0] & 0x04;
    const QString codec = hevc ? QStringLiteral("hevc") : QStringLiteral("h264");
    std::vector<Record> records;
    for (size_t pos = kHeaderBytes; pos + kUnitHeadBytes <= size && records.size() < size_t(kMaxUnits);) {
        const size_t length = size_t(data[pos]) << 8 | data[pos + 1];
        Record r;
        r.fate = data[pos + 2];
        r.entry = data[pos + 3];
        pos += kUnitHeadBytes;
        r.bytes = zufuzz::bytes(data + pos, std::min(length, size - pos));
        pos += size_t(r.bytes.size());
        // A seek entry holds at least one byte.
        if (!r.bytes.isEmpty())
            records.push_back(r);
    }

    // The units as the reader feeds them: a re-sent copy goes in once,
    // parameter sets go in with the picture after them, a key frame opens a
    // group, and each unit's order is read with all that went in before it
    // since the decoder was last drained.
    PictureOrder order;
    order.open(codec);
    std::vector<In> ins;
    std::vector<Step> steps;
    QByteArray held;
    QByteArray lastBytes;
    QString lastTime;
    int time = 0;
    qint64 group = 0;
    bool keyNext = false;
    bool idle = true;
    for (const Record &r : records) {
        checkKinds(codec, r.bytes);
        if (!(r.fate & kSameTime))
            ++time;
        const QString stamp = timeText(time);
        const auto *bytes = reinterpret_cast<const uint8_t *>(r.bytes.constData());
        const bool key = KeyUnits::kindOf(codec, bytes, int(r.bytes.size())) == KeyUnits::Kind::Key;
        if (key) {
            ++group;
            keyNext = true;
        }
        if (!ZuStreamUnits::resent(lastTime, lastBytes, stamp, r.bytes)) {
            lastBytes = r.bytes;
            lastTime = stamp;
            if (KeyUnits::holdsOnlyParameters(codec, bytes, int(r.bytes.size()))) {
                KeyUnits::holdParameters(held, r.bytes);
            } else {
                const QByteArray withParameters = held + r.bytes;
                held.clear();
                In u;
                u.tag = qint64(ins.size());
                u.group = group;
                u.order = order.orderOf(reinterpret_cast<const uint8_t *>(withParameters.constData()),
                                        int(withParameters.size()));
                u.fate = r.fate & 0x03;
                u.unreadable = r.fate & kUnreadable;
                u.outAfter = (r.fate >> kOutShift) & 0x03;
                u.choice = r.entry & kChoiceMask;
                // The reader takes a unit back while the decoder waits
                // for a key frame: nothing went in since it was drained but
                // units taken back, and the unit opens no group.
                u.takenBack = (r.fate & kTakenBack) && !keyNext && idle;
                idle = u.takenBack;
                keyNext = false;
                steps.push_back({int(ins.size())});
                ins.push_back(u);
            }
        }
        if (r.fate & kDrainAfter) {
            idle = true;
            steps.push_back({-1});
            held.clear();
            lastBytes.clear();
            order.reset();
        }
    }

    const Counts counts = toldByCounts(ins, steps);
    Run run(ins, reorders, anyOrder, counts.groups, counts.step);
    for (const Step &s : steps) {
        if (s.in >= 0)
            run.unit(s.in);
        else
            run.drain();
    }
    run.drain();

    checkContinuing(records, records.empty() ? 0 : size_t(data[1]) % (records.size() + 1), codec);
    return 0;
}
