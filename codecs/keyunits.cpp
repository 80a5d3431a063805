#include "keyunits.h"

#include "videodecoder.h"

#include <QByteArray>
#include <QIODevice>

#include <algorithm>
#include <climits>
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

// A NAL unit's payload after its `header` bytes, without emulation-prevention
// bytes; at most `limit` bytes of it.
std::vector<uint8_t> payloadOf(const uint8_t *nal, int n, int header, int limit = INT_MAX)
{
    std::vector<uint8_t> rbsp;
    rbsp.reserve(size_t(std::min(n, limit)));
    for (int k = header; k < n && int(rbsp.size()) < limit; ++k) {
        if (k >= header + 2 && nal[k] == 3 && nal[k - 1] == 0 && nal[k - 2] == 0)
            continue;
        rbsp.push_back(nal[k]);
    }
    return rbsp;
}

// Reads the fixed-length and Exp-Golomb fields of a header; a read past
// the end fails, and every later one with it.
class Bits
{
public:
    explicit Bits(const std::vector<uint8_t> &bytes) : m_bytes(bytes) {}
    bool ok() const { return m_ok; }
    uint32_t u(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (m_pos >= m_bytes.size() * 8) {
                m_ok = false;
                return 0;
            }
            v = (v << 1) | ((m_bytes[m_pos >> 3] >> (7 - (m_pos & 7))) & 1u);
            ++m_pos;
        }
        return v;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (m_ok && u(1) == 0) {
            if (++zeros > 31) {
                m_ok = false;
                return 0;
            }
        }
        return m_ok ? (1u << zeros) - 1 + u(zeros) : 0;
    }

private:
    const std::vector<uint8_t> &m_bytes;
    size_t m_pos = 0;
    bool m_ok = true;
};

// Slice header fields up to the slice type fit in this many payload bytes.
constexpr int kSliceHeadBytes = 64;

// Whether an H.264 SEI NAL unit holds a recovery point message.
bool seiHasRecoveryPoint(const uint8_t *nal, int n)
{
    const std::vector<uint8_t> rbsp = payloadOf(nal, n, 1);
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

// Whether the bytes open with a start code (after any leading zero bytes).
bool opensWithStartCode(const uint8_t *p, int n)
{
    int k = 0;
    while (k < n && p[k] == 0)
        ++k;
    return k >= 2 && k < n && p[k] == 1;
}

// Whether an H.264 NAL unit header is one a stream may hold; `strict`: one
// of the types a stream decoded here holds, with nal_ref_idc as the type
// requires (data partitions, which no decoder here reads, are left out).
bool h264Header(const uint8_t *nal, int len, bool strict)
{
    if (len < 1 || (nal[0] & 0x80))
        return false;
    if (!strict)
        return true;
    const int type = nal[0] & 0x1f;
    const bool reference = (nal[0] & 0x60) != 0;
    switch (type) {
    case 1: case 7: case 8: case 13: case 14: case 15: case 19: case 20:
        return true;
    case 5:
        return reference;
    case 6: case 9: case 10: case 11: case 12:
        return !reference;
    default:
        return false;
    }
}

// The same for H.265; `strict`: a base-layer unit of a defined type, with
// random access pictures and the video and sequence parameter sets in the
// lowest temporal sub-layer and sub-layer switching pictures above it.
bool hevcHeader(const uint8_t *nal, int len, bool strict)
{
    if (len < 2 || (nal[0] & 0x80) || (nal[1] & 0x07) == 0)
        return false;
    if (!strict)
        return true;
    const int type = (nal[0] >> 1) & 0x3f;
    const int layer = ((nal[0] & 1) << 5) | (nal[1] >> 3);
    const int temporalId = (nal[1] & 0x07) - 1;
    if (layer != 0)
        return false;
    if ((type >= 16 && type <= 21) || type == 32 || type == 33)
        return temporalId == 0;
    if (type >= 2 && type <= 5)
        return temporalId > 0;
    return type <= 9 || (type >= 34 && type <= 40);
}

// Whether `data` opens with a start code and each of its NAL units has a
// header that `header` accepts.
template <typename H>
bool allHeaders(const uint8_t *p, int n, H &&header)
{
    if (!opensWithStartCode(p, n))
        return false;
    int units = 0;
    bool ok = true;
    forEachNal(p, n, [&](const uint8_t *nal, int len) {
        ++units;
        ok = header(nal, len);
        return ok;
    });
    return ok && units > 0;
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

// Whether the first slice of the unit is a B slice (see holdsBSlice).
bool firstSliceIsB(const QString &name, const uint8_t *p, int n, SliceHeaders *headers, bool *sliceSeen)
{
    *sliceSeen = false;
    const bool hevc = name == QLatin1String("hevc");
    if (name != QLatin1String("h264") && !hevc)
        return false;
    bool isB = false;
    forEachNal(p, n, [&](const uint8_t *nal, int len) {
        if (hevc) {
            if (len < 3)
                return true;
            const int type = (nal[0] >> 1) & 0x3f;
            if (type == 34) {
                // Picture parameter set: how many extra bits slice headers hold.
                const std::vector<uint8_t> rbsp = payloadOf(nal, len, 2, kSliceHeadBytes);
                Bits b(rbsp);
                b.ue(); // pps_pic_parameter_set_id
                b.ue(); // pps_seq_parameter_set_id
                b.u(2); // dependent_slice_segments_enabled_flag, output_flag_present_flag
                const int extra = int(b.u(3));
                if (b.ok())
                    headers->extraBits = extra;
                return true;
            }
            if (type > 31)
                return true;
            const std::vector<uint8_t> rbsp = payloadOf(nal, len, 2, kSliceHeadBytes);
            Bits b(rbsp);
            const bool firstInPicture = b.u(1) != 0;
            if (!firstInPicture) {
                *sliceSeen = b.ok(); // the unit does not open with its picture's first slice
                return false;
            }
            if (type >= 16 && type <= 23)
                b.u(1); // no_output_of_prior_pics_flag
            b.ue();     // slice_pic_parameter_set_id
            b.u(headers->extraBits);
            const uint32_t sliceType = b.ue();
            // A header cut by the end of what was read is read again, longer.
            *sliceSeen = b.ok();
            isB = b.ok() && sliceType == 0;
            return false;
        }
        if (len < 2)
            return true;
        const int type = nal[0] & 0x1f;
        if (type < 1 || type > 5)
            return true;
        const std::vector<uint8_t> rbsp = payloadOf(nal, len, 1, kSliceHeadBytes);
        Bits b(rbsp);
        b.ue(); // first_mb_in_slice
        const uint32_t sliceType = b.ue();
        *sliceSeen = b.ok();
        isB = b.ok() && sliceType % 5 == 1;
        return false;
    });
    return isB;
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

bool isUnitOf(const QString &codec, const uint8_t *data, int size)
{
    const QString name = VideoDecoder::normalizedCodecName(codec);
    if (name == QLatin1String("mjpeg"))
        return size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
    if (name == QLatin1String("h264"))
        return allHeaders(data, size, [](const uint8_t *nal, int len) { return h264Header(nal, len, false); });
    if (name == QLatin1String("hevc"))
        return allHeaders(data, size, [](const uint8_t *nal, int len) { return hevcHeader(nal, len, false); });
    return false;
}

QString codecOf(const uint8_t *data, int size)
{
    const bool h264 = allHeaders(data, size, [](const uint8_t *nal, int len) { return h264Header(nal, len, true); });
    const bool hevc = allHeaders(data, size, [](const uint8_t *nal, int len) { return hevcHeader(nal, len, true); });
    if (h264 == hevc)
        return QString();
    return h264 ? QStringLiteral("h264") : QStringLiteral("hevc");
}

bool holdsOnlyParameters(const QString &codec, const uint8_t *data, int size)
{
    const QString name = VideoDecoder::normalizedCodecName(codec);
    const bool hevc = name == QLatin1String("hevc");
    if (name != QLatin1String("h264") && !hevc)
        return false;
    int units = 0;
    bool only = true;
    forEachNal(data, size, [&](const uint8_t *nal, int len) {
        if (len < (hevc ? 2 : 1) || (nal[0] & 0x80)) {
            only = false;
            return false;
        }
        // H.264: SEI to subset SPS; H.265: VPS to suffix SEI.
        const int type = hevc ? (nal[0] >> 1) & 0x3f : nal[0] & 0x1f;
        only = hevc ? (type >= 32 && type <= 40 && (nal[1] & 0x07) != 0) : (type >= 6 && type <= 15);
        ++units;
        return only;
    });
    return only && units > 0;
}

void holdParameters(QByteArray &held, const QByteArray &unit)
{
    if (unit.size() > kMaxHeldParameterBytes)
        held.clear();
    else if (held.size() + unit.size() > kMaxHeldParameterBytes)
        held = unit;
    else
        held += unit;
}

Kind kindAt(const QString &codec, QIODevice &data, qint64 offset, int size)
{
    bool clean = false;
    return classifyAt(codec, data, offset, size, &clean);
}

bool holdsBSlice(const QString &codec, const uint8_t *data, int size, SliceHeaders *headers)
{
    bool sliceSeen = false;
    return firstSliceIsB(VideoDecoder::normalizedCodecName(codec), data, size, headers, &sliceSeen);
}

bool holdsBSlice(const QString &codec, QIODevice &data, qint64 offset, int size, SliceHeaders *headers)
{
    const QString name = VideoDecoder::normalizedCodecName(codec);
    if ((name != QLatin1String("h264") && name != QLatin1String("hevc")) || size <= 0 || offset < 0
        || offset + size > data.size())
        return false;
    // A unit without parameter sets holds its slice header in its first bytes.
    int want = std::min(size, kSliceHeadBytes * 4);
    for (;;) {
        if (!data.seek(offset))
            return false;
        const QByteArray head = data.read(want);
        // Parameter sets are looked at again when the head grows: the
        // state is taken from the longest look only.
        SliceHeaders seen = *headers;
        bool sliceSeen = false;
        const bool isB = firstSliceIsB(name, reinterpret_cast<const uint8_t *>(head.constData()), int(head.size()),
                                       &seen, &sliceSeen);
        if (sliceSeen || want >= std::min(size, kMaxHeadBytes)) {
            *headers = seen;
            return isB;
        }
        want = std::min(size, want < kHeadBytes ? kHeadBytes : kMaxHeadBytes);
    }
}

bool startsClean(const QString &codec, QIODevice &data, qint64 offset, int size)
{
    bool clean = false;
    return classifyAt(codec, data, offset, size, &clean) == Kind::Key && clean;
}

} // namespace KeyUnits
