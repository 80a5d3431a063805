#include "streamunits.h"

#include "keyunits.h"

#include <QByteArray>
#include <QIODevice>

#include <algorithm>
#include <map>

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
// Flagged entries whose units are looked at.
constexpr int kSampledKeys = 4;
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

bool resent(const QString &previousTime, const QByteArray &previousBytes, const QString &time,
            const QByteArray &bytes)
{
    return !previousBytes.isEmpty() && !time.isEmpty() && time == previousTime && bytes == previousBytes;
}

} // namespace ZuStreamUnits
