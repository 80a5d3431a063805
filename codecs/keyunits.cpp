#include "keyunits.h"

#include "videodecoder.h"

#include <QByteArray>
#include <QIODevice>

#include <algorithm>
#include <vector>

namespace {
// What is read of a unit to find its kind, and at most when its headers are long.
constexpr int kHeadBytes = 4096;
constexpr int kMaxHeadBytes = 1024 * 1024;

// The NAL units of an Annex-B byte string: [begin, end) of each payload,
// header byte(s) included.
template <typename F>
void forEachNal(const uint8_t *p, int n, F &&f)
{
    auto nextStart = [&](int from) {
        for (int k = from; k + 2 < n; ++k) {
            if (p[k] == 0 && p[k + 1] == 0 && p[k + 2] == 1)
                return k;
        }
        return -1;
    };
    int s = nextStart(0);
    while (s >= 0) {
        const int begin = s + 3;
        const int next = nextStart(begin);
        int end = next < 0 ? n : next;
        while (end > begin && p[end - 1] == 0)
            --end; // the next start code's leading zero
        if (begin < n && !f(p + begin, end - begin))
            return;
        s = next;
    }
}

// Whether an H.264 SEI NAL unit holds a recovery point message.
bool seiHasRecoveryPoint(const uint8_t *nal, int n)
{
    // The payload without emulation-prevention bytes.
    std::vector<uint8_t> rbsp;
    rbsp.reserve(size_t(n));
    for (int k = 1; k < n; ++k) {
        if (k >= 3 && nal[k] == 3 && nal[k - 1] == 0 && nal[k - 2] == 0)
            continue;
        rbsp.push_back(nal[k]);
    }
    size_t k = 0;
    // A message's type and size: 255 for each 0xff byte, plus the next byte.
    const auto value = [&](int *out) {
        *out = 0;
        while (k < rbsp.size() && rbsp[k] == 0xff)
            *out += 255, ++k;
        if (k >= rbsp.size())
            return false;
        *out += rbsp[k++];
        return true;
    };
    int type = 0;
    int size = 0;
    while (k < rbsp.size() && rbsp[k] != 0x80 && value(&type) && value(&size)) {
        if (type == 6)
            return true;
        k += size_t(size);
    }
    return false;
}
} // namespace

namespace KeyUnits {

namespace {
// The kind of a unit and, for a key unit, whether decoding from it gives
// every picture stored after it (an IDR picture; not an H.265 CRA or BLA
// with leading pictures, nor an H.264 recovery point).
Kind classify(const QString &name, const uint8_t *p, int n, bool *clean)
{
    *clean = false;
    if (name == QLatin1String("mjpeg")) {
        *clean = true;
        return Kind::Key;
    }
    if (name.isEmpty())
        return Kind::NoPicture;
    const bool hevc = name == QLatin1String("hevc");
    Kind kind = Kind::NoPicture;
    bool recovery = false;
    forEachNal(p, n, [&](const uint8_t *nal, int len) {
        if (len < 1)
            return true;
        if (hevc) {
            const int type = (nal[0] >> 1) & 0x3f;
            if (type <= 31) {
                kind = (type >= 16 && type <= 23) ? Kind::Key : Kind::NotKey;
                *clean = type == 19 || type == 20 || type == 18;
                return false;
            }
            return true;
        }
        const int type = nal[0] & 0x1f;
        if (type == 6 && seiHasRecoveryPoint(nal, len))
            recovery = true;
        if (type >= 1 && type <= 5) {
            kind = (type == 5 || recovery) ? Kind::Key : Kind::NotKey;
            *clean = type == 5;
            return false;
        }
        return true;
    });
    return kind;
}

// The unit's head, looked at as far as needed.
Kind classifyAt(const QString &codec, QIODevice &data, qint64 offset, int size, bool *clean)
{
    *clean = false;
    const QString name = VideoDecoder::normalizedCodecName(codec);
    if (name == QLatin1String("mjpeg")) {
        *clean = true;
        return Kind::Key;
    }
    if (name.isEmpty() || size <= 0 || offset < 0 || offset + size > data.size())
        return Kind::NoPicture;
    int want = std::min(size, kHeadBytes);
    for (;;) {
        if (!data.seek(offset))
            return Kind::NoPicture;
        const QByteArray head = data.read(want);
        const Kind kind = classify(name, reinterpret_cast<const uint8_t *>(head.constData()), int(head.size()), clean);
        // Long headers before the picture data: look further, within bounds.
        if (kind != Kind::NoPicture || want >= std::min(size, kMaxHeadBytes))
            return kind;
        want = std::min(size, kMaxHeadBytes);
    }
}
} // namespace

Kind kindOf(const QString &codec, const uint8_t *p, int n)
{
    bool clean = false;
    return classify(VideoDecoder::normalizedCodecName(codec), p, n, &clean);
}

bool isKey(const QString &codec, QIODevice &data, qint64 offset, int size)
{
    bool clean = false;
    return classifyAt(codec, data, offset, size, &clean) == Kind::Key;
}

bool startsClean(const QString &codec, QIODevice &data, qint64 offset, int size)
{
    bool clean = false;
    return classifyAt(codec, data, offset, size, &clean) == Kind::Key && clean;
}

} // namespace KeyUnits
