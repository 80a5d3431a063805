#include "streamunits.h"

#include "keyunits.h"
#include "pictureorder.h"
#include "videodecoder.h"

#include <QByteArray>
#include <QFile>
#include <QIODevice>

#include <algorithm>
#include <map>
#include <set>

namespace ZuStreamUnits {

namespace {
// Units without a picture looked at in a row: parameter sets and messages
// stored one to an entry are a handful.
constexpr int kMaxPictureless = 16;
// Units looked at for B slices: the first groups of pictures, at most this many.
constexpr int kReorderGroups = 2;
constexpr int kMaxReorderUnits = 256;
// Larger units are taken to hold a picture.
constexpr int kMaxParameterBytes = 64 * 1024;
// Larger units are not read to find their picture order.
constexpr int kMaxUnitBytes = 64 * 1024 * 1024;
// Flagged entries whose units are looked at.
constexpr int kSampledKeys = 4;
// How far past its last picture a group's next one may be shown, in picture
// order counts, when the group holds one picture only: as far as a stream
// may hold pictures back (16 of them, counted in twos as H.264 does).
constexpr int64_t kMaxReach = 2 * (16 + 1);

// The units of entries of any data file, each read from its own.
class UnitReader
{
public:
    // Empty when it cannot be read whole.
    QByteArray unitOf(const ZuFrame &f)
    {
        if (f.file_path != m_file.fileName()) {
            m_file.close();
            m_file.setFileName(f.file_path);
            if (!m_file.open(QIODevice::ReadOnly))
                return {};
        }
        if (!m_file.isOpen() || f.size <= 0 || f.size > kMaxUnitBytes || f.offset < 0 || !m_file.seek(f.offset))
            return {};
        QByteArray bytes = m_file.read(f.size);
        return bytes.size() == f.size ? bytes : QByteArray();
    }

private:
    QFile m_file;
};
} // namespace

std::vector<int> keys(const ZuFrameList &frames, QIODevice &data, bool *flagsIgnored)
{
    if (flagsIgnored)
        *flagsIgnored = false;
    const int n = int(frames.size());
    std::map<int, KeyUnits::Kind> kinds;
    const auto kind = [&](int i) {
        auto it = kinds.find(i);
        if (it == kinds.end()) {
            const ZuFrame &f = frames.at(i);
            it = kinds.emplace(i, KeyUnits::kindAt(f.codec, data, f.offset, f.size)).first;
        }
        return it->second;
    };
    // Parameter sets and messages stored as an entry of their own; other
    // units without a picture (damaged ones) are no part of a key.
    const auto parameters = [&](int i) {
        const ZuFrame &f = frames.at(i);
        if (kind(i) != KeyUnits::Kind::NoPicture || f.size > kMaxParameterBytes || !data.seek(f.offset))
            return false;
        const QByteArray bytes = data.read(f.size);
        return KeyUnits::holdsOnlyParameters(f.codec, reinterpret_cast<const uint8_t *>(bytes.constData()),
                                             int(bytes.size()));
    };
    // A key unit's group starts at the parameter units just before it.
    const auto groupStart = [&](int key) {
        int start = key;
        while (start > 0 && key - start < kMaxPictureless && parameters(start - 1))
            --start;
        return start;
    };
    std::vector<int> flagged;
    for (int i = 0; i < n; ++i) {
        if (frames.at(i).isKeyframe())
            flagged.push_back(i);
    }
    // The flags are held against the units of the first flagged entries
    // (reading every key unit of a long file would cost its opening dearly):
    // a recorder that flags what is no key frame, every entry say, does so
    // from the start.
    bool trusted = !flagged.empty();
    bool parametersApart = false; // before unflagged key units
    for (size_t k = 0; trusted && k < std::min(flagged.size(), size_t(kSampledKeys)); ++k) {
        int i = flagged[k];
        const int first = i;
        while (i < n && i - first < kMaxPictureless && parameters(i))
            ++i;
        trusted = i >= n || kind(i) == KeyUnits::Kind::Key;
        parametersApart = parametersApart || (first > 0 && parameters(first - 1));
    }
    std::vector<int> out;
    if (trusted) {
        for (int i : flagged)
            out.push_back(parametersApart ? groupStart(i) : i);
    } else {
        if (flagsIgnored)
            *flagsIgnored = !flagged.empty();
        for (int i = 0; i < n; ++i) {
            if (kind(i) == KeyUnits::Kind::Key)
                out.push_back(groupStart(i));
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

bool reorders(const ZuFrameList &frames, QIODevice &data, const std::vector<int> &keys)
{
    const int n = int(frames.size());
    const int from = keys.empty() ? 0 : keys.front();
    int end = keys.size() > size_t(kReorderGroups) ? keys[kReorderGroups] : n;
    end = std::min({end, n, from + kMaxReorderUnits});
    KeyUnits::SliceHeaders headers;
    for (int i = from; i < end; ++i) {
        const ZuFrame &f = frames.at(i);
        if (KeyUnits::holdsBSlice(f.codec, data, f.offset, f.size, &headers))
            return true;
    }
    return false;
}

bool startsClean(const ZuFrameList &frames, int key, QIODevice &data)
{
    if (key < 0 || key >= frames.size())
        return false;
    int i = key;
    while (i + 1 < frames.size() && i - key < kMaxPictureless
           && KeyUnits::kindAt(frames.at(i).codec, data, frames.at(i).offset, frames.at(i).size)
                  == KeyUnits::Kind::NoPicture)
        ++i;
    const ZuFrame &f = frames.at(i);
    return KeyUnits::startsClean(f.codec, data, f.offset, f.size);
}

int continuing(const ZuFrameList &group, const ZuFrameList &next)
{
    if (group.isEmpty())
        return 0;
    const QString codec = VideoDecoder::normalizedCodecName(group.last().codec);
    const auto sameCodec = [&](const ZuFrame &f) { return VideoDecoder::normalizedCodecName(f.codec) == codec; };
    PictureOrder order;
    if (!order.open(codec)) {
        // Pictures shown as stored: each unit is its own place.
        int n = 0;
        while (n < next.size() && !codec.isEmpty() && sameCodec(next.at(n)))
            ++n;
        return n;
    }
    // The orders the group's pictures are shown in, and the furthest step
    // from its last picture so far to the next picture stored.
    std::set<int64_t> held;
    int64_t reach = 0;
    UnitReader reader;
    for (const ZuFrame &f : group) {
        const QByteArray bytes = sameCodec(f) ? reader.unitOf(f) : QByteArray();
        // Parameter sets teach the parser; a unit whose header is not read
        // is no place the next file's units can be held against.
        const int64_t o = bytes.isEmpty() ? PictureOrder::kUnknown
                                          : order.orderOf(reinterpret_cast<const uint8_t *>(bytes.constData()),
                                                          int(bytes.size()));
        if (o == PictureOrder::kUnknown)
            continue;
        if (!held.empty() && o > *held.rbegin())
            reach = std::max(reach, o - *held.rbegin());
        held.insert(o);
    }
    if (held.empty())
        return 0;
    if (reach == 0)
        reach = kMaxReach;
    int n = 0;
    for (; n < next.size(); ++n) {
        const ZuFrame &f = next.at(n);
        const QByteArray bytes = sameCodec(f) ? reader.unitOf(f) : QByteArray();
        if (bytes.isEmpty())
            break;
        const auto *unit = reinterpret_cast<const uint8_t *>(bytes.constData());
        const int64_t o = order.orderOf(unit, int(bytes.size()));
        if (o == PictureOrder::kUnknown) {
            if (KeyUnits::holdsOnlyParameters(codec, unit, int(bytes.size())))
                continue;
            break;
        }
        const int64_t first = *held.begin();
        const int64_t last = *held.rbegin();
        const bool fillsGap = o > first && o < last && !held.count(o);
        const bool goesOn = o > last && o - last <= reach;
        if (!fillsGap && !goesOn)
            break;
        held.insert(o);
    }
    return n;
}

bool resent(const QString &previousTime, const QByteArray &previousBytes, const QString &time,
            const QByteArray &bytes)
{
    return !previousBytes.isEmpty() && !time.isEmpty() && time == previousTime && bytes == previousBytes;
}

} // namespace ZuStreamUnits
