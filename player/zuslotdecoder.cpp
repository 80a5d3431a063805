#include "zuslotdecoder.h"

#include "keyunits.h"
#include "pictureorder.h"
#include "streamunits.h"
#include "videodecoder.h"
#include "zulog.h"

#include <algorithm>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace {
// A picture comes out at most this many units after its own (reordering,
// and frame threads each holding one); past that the unit gives none.
constexpr int kMaxDelayLowDelay = 16;
constexpr int kMaxDelayFrameThreads = 64;
// Corrupt-unit lines logged per file, so a damaged file cannot flood the log.
constexpr int kMaxLoggedCorrupt = 20;
// Units decoded at most while the decoder learns how far B-frames reach.
constexpr int kMaxLearningUnits = 64;

void logLine(const char *level, const char *function, const QString &detail)
{
    logMessage(QLatin1String(level) + QLatin1String("ZuStreamReadAndControl :: ") + QLatin1String(function)
               + QLatin1String(" :: ") + detail);
}

bool onlyParameters(const QString &codec, const QByteArray &bytes)
{
    return KeyUnits::holdsOnlyParameters(codec, reinterpret_cast<const uint8_t *>(bytes.constData()),
                                         int(bytes.size()));
}
} // namespace

ZuSlotDecoder::ZuSlotDecoder() : m_decoder(std::make_unique<VideoDecoder>()) {}

ZuSlotDecoder::~ZuSlotDecoder() = default;

bool ZuSlotDecoder::isOpen() const
{
    return m_decoder->isOpen() && m_data.isOpen();
}

void ZuSlotDecoder::setThreads(Threads threads)
{
    if (threads == m_threads)
        return;
    m_threads = threads;
    m_codec.clear(); // reopened with the other threading on the next setFile
}

bool ZuSlotDecoder::setFile(const QString &dataPath, const ZuFrameList &frames, const std::vector<int> &keys,
                            QString *error, const Edges &edges)
{
    close();
    if (frames.isEmpty()) {
        *error = QStringLiteral("no entries");
        return false;
    }
    const QString codec = VideoDecoder::normalizedCodecName(frames.first().codec);
    if (codec.isEmpty()) {
        *error = QStringLiteral("unknown codec '%1' in ").arg(frames.first().codec.left(32)) + dataPath;
        return false;
    }
    // Each file's stream may reach further back than the one before (its own
    // parameter sets): the decoder learns it again.
    m_depthLearned = false;
    if (!m_decoder->isOpen() || codec != m_codec) {
        const auto threading = m_threads == Threads::Frame ? VideoDecoder::Threading::Frame
                                                           : VideoDecoder::Threading::LowDelay;
        if (!m_decoder->open(codec, VideoDecoder::Hardware::Software, threading)) {
            m_codec.clear();
            *error = QStringLiteral("decoder refused ") + codec;
            return false;
        }
        m_codec = codec;
    } else {
        m_decoder->flush();
    }
    m_data.setFileName(dataPath);
    if (!m_data.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open ") + dataPath;
        return false;
    }
    m_dataSize = m_data.size();
    m_frames = frames;
    m_keys = keys;
    m_reorders = edges.reorders;
    m_unindexedEnd = edges.unindexedEnd;
    m_leadIn = edges.leadIn;
    if (!m_leadIn.isEmpty()) {
        m_leadData.setFileName(m_leadIn.first().file_path);
        if (!m_leadData.open(QIODevice::ReadOnly))
            m_leadIn.clear();
    }
    m_trail = edges.trail;
    if (!m_trail.isEmpty()) {
        m_trailData.setFileName(m_trail.first().file_path);
        if (!m_trailData.open(QIODevice::ReadOnly))
            m_trail.clear();
    }
    m_base = int(m_leadIn.size());
    if (m_base > 0) {
        m_groupStarts.push_back(0);
        if (edges.leadInKey > 0 && edges.leadInKey < m_base)
            m_groupStarts.push_back(edges.leadInKey);
    }
    for (int k : keys) {
        // A file that starts inside a group: its first units are the
        // lead-in's last group's.
        if (k == 0 && edges.continuesGroup && m_base > 0)
            continue;
        m_groupStarts.push_back(m_base + k);
    }
    std::sort(m_groupStarts.begin(), m_groupStarts.end());
    m_groupStarts.erase(std::unique(m_groupStarts.begin(), m_groupStarts.end()), m_groupStarts.end());
    return true;
}

void ZuSlotDecoder::close()
{
    m_data.close();
    m_leadData.close();
    m_trailData.close();
    m_dataSize = 0;
    m_frames.clear();
    m_keys.clear();
    m_leadIn.clear();
    m_trail.clear();
    m_base = 0;
    m_groupStarts.clear();
    m_reorders = false;
    m_unindexedEnd = false;
    m_parameters.clear();
    m_lastBytes.clear();
    m_lastUnit = -1;
    m_runKey = -1;
    m_leadInEnd = -1;
    m_fed = 0;
    m_lastOutGroup = -1;
    m_places.clear();
    m_pairing.clear();
    m_delivered.clear();
    m_undecodable.clear();
    m_corruptLogged = 0;
}

int ZuSlotDecoder::maxDelay() const
{
    return m_threads == Threads::Frame ? kMaxDelayFrameThreads : kMaxDelayLowDelay;
}

int ZuSlotDecoder::keyAtOrBefore(int index) const
{
    if (index < 0)
        return -1;
    auto it = std::upper_bound(m_keys.begin(), m_keys.end(), index);
    return it == m_keys.begin() ? -1 : *(it - 1);
}

int ZuSlotDecoder::groupEnd(int key) const
{
    auto it = std::upper_bound(m_keys.begin(), m_keys.end(), key);
    return it == m_keys.end() ? int(m_frames.size()) : *it;
}

int ZuSlotDecoder::slotOf(int unit) const
{
    const int slot = unit - m_base;
    return slot >= 0 && slot < m_frames.size() ? slot : -1;
}

int ZuSlotDecoder::groupOf(int unit) const
{
    auto it = std::upper_bound(m_groupStarts.begin(), m_groupStarts.end(), unit);
    return it == m_groupStarts.begin() ? -1 : *(it - 1);
}

const ZuFrame *ZuSlotDecoder::entryOf(int unit, QFile **file)
{
    const int n = int(m_frames.size());
    if (unit >= 0 && unit < m_base) {
        *file = &m_leadData;
        return &m_leadIn.at(unit);
    }
    if (unit >= m_base && unit < m_base + n) {
        *file = &m_data;
        return &m_frames.at(unit - m_base);
    }
    if (unit >= m_base + n && unit < unitCount()) {
        *file = &m_trailData;
        return &m_trail.at(unit - m_base - n);
    }
    return nullptr;
}

bool ZuSlotDecoder::readUnit(int unit, QByteArray *bytes)
{
    QFile *file = nullptr;
    const ZuFrame *e = entryOf(unit, &file);
    if (!e)
        return false;
    const qint64 size = file == &m_data ? m_dataSize : file->size();
    if (e->size <= 0 || e->offset < 0 || e->offset + e->size > size)
        return false;
    if (!file->isOpen() || !file->seek(e->offset))
        return false;
    bytes->resize(e->size);
    return file->read(bytes->data(), e->size) == e->size;
}

bool ZuSlotDecoder::repeatsPrevious(int unit, const QByteArray &bytes)
{
    QFile *file = nullptr;
    const ZuFrame *own = unit > 0 ? entryOf(unit, &file) : nullptr;
    const ZuFrame *before = own ? entryOf(unit - 1, &file) : nullptr;
    // A copy at a time of its own is a picture of that time.
    if (!before || before->timestamp != own->timestamp)
        return false;
    if (m_lastUnit == unit - 1)
        return ZuStreamUnits::resent(before->timestamp, m_lastBytes, own->timestamp, bytes);
    // The run starts here: the unit before is read when it may be the same.
    QByteArray previous;
    return readUnit(unit - 1, &previous) && ZuStreamUnits::resent(before->timestamp, previous, own->timestamp, bytes);
}

int ZuSlotDecoder::startKey(int key)
{
    // In an open group of pictures, the pictures stored after its key frame
    // but shown before it refer to the group before: decoded from the key
    // frame alone they are lost, and the group's places would go to the
    // wrong pictures. At key 0 the lead-in, when there is one, is decoded
    // first.
    const int before = keyAtOrBefore(key - 1);
    if (key == 0 || before < 0 || ZuStreamUnits::startsClean(m_frames, key, m_data))
        return key;
    return before;
}

void ZuSlotDecoder::learnReorderDepth(int from)
{
    if (m_depthLearned || !m_reorders)
        return;
    m_depthLearned = true;
    auto next = std::upper_bound(m_groupStarts.begin(), m_groupStarts.end(), from);
    const int end = std::min({next == m_groupStarts.end() ? unitCount() : *next, unitCount(), from + kMaxLearningUnits});
    QByteArray parameters;
    QByteArray bytes;
    bool first = true;
    for (int i = from; i < end && readUnit(i, &bytes); ++i) {
        if (onlyParameters(m_codec, bytes)) {
            KeyUnits::holdParameters(parameters, bytes);
            continue;
        }
        bytes.prepend(parameters);
        parameters.clear();
        const auto *unit = reinterpret_cast<const uint8_t *>(bytes.constData());
        // Parameter sets that state the depth make the rest unneeded.
        if (first && VideoDecoder::statesReorderDepth(m_codec, unit, int(bytes.size())))
            return;
        first = false;
        AVFrame *picture = nullptr;
        m_decoder->decode(unit, int(bytes.size()), -1, &picture);
        ++m_units;
        av_frame_free(&picture);
    }
    m_decoder->flush();
}

void ZuSlotDecoder::restart(int key)
{
    m_decoder->flush();
    m_parameters.clear();
    m_lastBytes.clear();
    m_lastUnit = -1;
    m_runKey = key;
    // At the file's key 0 decoding starts with the lead-in (none: unit 0).
    const int from = key == 0 ? 0 : m_base + key;
    learnReorderDepth(from);
    m_fed = from;
    m_leadInEnd = -1;
    m_lastOutGroup = -1;
    m_places.clear();
    m_pairing.clear();
    m_pairing.setReorders(m_reorders);
    if (m_pairingCodec != m_codec) {
        m_pairingCodec = m_codec;
        m_pairing.forgetStep();
    }
    m_order.open(m_codec);
    m_delivered.clear();
}

void ZuSlotDecoder::countPlaces()
{
    const auto slotAt = [&](const ZuPicturePlaces::Empty &e) {
        const auto group = m_places.find(int(e.group));
        if (group == m_places.end() || e.place < 0 || size_t(e.place) >= group->second.size())
            return -1;
        // The units decoded only to lead into the run are not its to fill.
        const int unit = group->second[size_t(e.place)];
        return unit < m_leadInEnd ? -1 : slotOf(unit);
    };
    for (const ZuPicturePlaces::Empty &e : m_pairing.takeEmpty()) {
        const int slot = slotAt(e);
        if (slot < 0 || m_delivered.count(slot))
            continue;
        m_undecodable.insert(slot);
        ++m_damaged;
        if (m_corruptLogged++ < kMaxLoggedCorrupt)
            logLine("[WARN] ", "decode frame",
                    QStringLiteral("no picture for %1 :: ").arg(m_frames.at(slot).timestamp.left(17)) + m_data.fileName());
    }
    for (const ZuPicturePlaces::Empty &e : m_pairing.takeDamagedAfter()) {
        const int slot = slotAt(e);
        if (slot < 0)
            continue;
        ++m_damaged;
        if (m_corruptLogged++ < kMaxLoggedCorrupt)
            logLine("[WARN] ", "decode frame",
                    QStringLiteral("damaged picture %1 (its group holds a damaged one) :: ").arg(m_frames.at(slot).timestamp.left(17))
                        + m_data.fileName());
    }
}

int ZuSlotDecoder::slotFor(int tag, bool concealed, bool *damaged)
{
    *damaged = false;
    const int group = groupOf(tag);
    if (group < 0)
        return -1;
    m_lastOutGroup = std::max(m_lastOutGroup, group);
    const ZuPicturePlaces::Placed placed = m_pairing.picture(tag, concealed);
    countPlaces();
    const auto places = m_places.find(int(placed.group));
    if (placed.place < 0 || places == m_places.end() || size_t(placed.place) >= places->second.size())
        return -1;
    *damaged = placed.damaged;
    return slotOf(places->second[size_t(placed.place)]);
}

void ZuSlotDecoder::take(AVFrame *picture, const Deliver &deliver)
{
    int64_t tag = picture->pts;
    if (tag == AV_NOPTS_VALUE)
        tag = picture->best_effort_timestamp;
    if (tag != AV_NOPTS_VALUE && tag < m_leadInEnd) {
        av_frame_free(&picture);
        return;
    }
    const bool concealed = (picture->flags & AV_FRAME_FLAG_CORRUPT) || picture->decode_error_flags;
    bool damaged = false;
    const int slot = (tag == AV_NOPTS_VALUE || tag < 0 || tag >= unitCount()) ? -1 : slotFor(int(tag), concealed, &damaged);
    if (slot < 0 || m_delivered.count(slot)) {
        av_frame_free(&picture);
        return;
    }
    m_delivered.insert(slot);
    m_undecodable.erase(slot);
    if (damaged) {
        // Concealed, or decoded after a damaged unit of its group: shown, and told.
        ++m_damaged;
        if (m_corruptLogged++ < kMaxLoggedCorrupt)
            logLine("[WARN] ", "decode frame",
                    QStringLiteral("damaged picture %1 :: ").arg(m_frames.at(slot).timestamp.left(17)) + m_data.fileName());
    }
    deliver(slot, picture);
}

void ZuSlotDecoder::endRun(const Deliver &deliver)
{
    std::vector<AVFrame *> held;
    AVFrame *picture = nullptr;
    while (m_decoder->drain(&picture) == 0 && picture) {
        held.push_back(picture);
        picture = nullptr;
    }
    // The file's data goes on past its last entry, into units that are not
    // read: the last pictures held may be shown after some of theirs, so
    // their places are not known.
    const size_t withheld = m_reorders && m_unindexedEnd && m_trail.empty()
                                ? std::min(held.size(), size_t(std::max(1, m_decoder->reorderDepth())))
                                : 0;
    for (size_t i = 0; i < held.size(); ++i) {
        if (i + withheld >= held.size())
            av_frame_free(&held[i]);
        else
            take(held[i], deliver);
    }
    m_pairing.closeBefore(INT64_MAX);
    countPlaces();
    // Decoded from the run's key frame to the end: a slot not given now
    // never will be.
    const int from = std::max(m_runKey, m_leadInEnd - m_base);
    for (int slot = std::max(0, from); slot < m_frames.size(); ++slot) {
        if (!m_delivered.count(slot))
            m_undecodable.insert(slot);
    }
    m_decoder->flush();
    m_runKey = -1; // the next unit needs a fresh start
}

bool ZuSlotDecoder::decodeTo(int slot, const Deliver &deliver, const std::function<bool()> &stop)
{
    const int n = int(m_frames.size());
    if (slot < 0 || slot >= n || !m_decoder->isOpen() || m_undecodable.count(slot))
        return false;
    const int key = keyAtOrBefore(slot);
    if (key < 0)
        return false; // before the file's first key frame: nothing to start from
    const int end = groupEnd(key);
    const int want = m_base + slot;
    const int maxDelayUnits = maxDelay();
    // Going on from where the decoder is costs little: it is at most in the
    // group before. A run further behind, or past the slot, starts again at
    // the group's key frame.
    const int previous = std::max(0, keyAtOrBefore(key - 1));
    const bool goOn = m_runKey >= 0 && m_runKey <= key && m_base + key >= m_leadInEnd
                      && m_fed >= std::min(m_base + previous, m_base + key - maxDelayUnits) && !m_delivered.count(slot)
                      && (m_reorders || m_fed <= want + maxDelayUnits);
    if (!goOn) {
        const int start = startKey(key);
        restart(start);
        // The group decoded only as a lead-in lost the pictures that refer
        // to the group before it: its places are not filled from this run.
        m_leadInEnd = start < key ? m_base + key : -1;
    }
    const int keyGroup = groupOf(m_base + key);
    while (!m_delivered.count(slot)) {
        if (stop && stop())
            return false;
        if (m_fed >= unitCount()) {
            endRun(deliver);
            break;
        }
        // Every picture of the group is out once one of a later group is,
        // or the slot's unit is far behind.
        if (m_reorders ? (m_lastOutGroup > keyGroup || m_fed > m_base + end + maxDelayUnits)
                       : m_fed > want + maxDelayUnits)
            break;
        const int i = m_fed++;
        if (!readUnit(i, &m_buffer)) {
            if (m_corruptLogged++ < kMaxLoggedCorrupt)
                logLine("[WARN] ", "read frame", QStringLiteral("unreadable entry %1 of ").arg(i - m_base) + m_data.fileName());
            // The reference chain is broken: the next request starts again.
            if (slotOf(i) >= 0)
                m_undecodable.insert(slotOf(i));
            m_runKey = -1;
            m_decoder->flush();
            return false;
        }
        // A unit stored twice in a row goes in once; one without a picture
        // goes in with the next. Neither takes a place.
        const bool repeated = repeatsPrevious(i, m_buffer);
        m_lastUnit = i;
        m_lastBytes = m_buffer;
        if (repeated || onlyParameters(m_codec, m_buffer)) {
            if (!repeated)
                KeyUnits::holdParameters(m_parameters, m_buffer);
            if (slotOf(i) >= 0)
                m_undecodable.insert(slotOf(i));
            // Nothing of its group is held by the decoder yet (parameter
            // sets at a key frame): there is nothing to wait for.
            if (i == want && m_places[groupOf(i)].empty())
                return false;
            continue;
        }
        if (!m_parameters.isEmpty()) {
            m_buffer.prepend(m_parameters);
            m_parameters.clear();
        }
        const int group = groupOf(i);
        const auto *unit = reinterpret_cast<const uint8_t *>(m_buffer.constData());
        if (group >= 0) {
            m_places[group].push_back(i);
            const int64_t order = m_reorders ? m_order.orderOf(unit, int(m_buffer.size())) : PictureOrder::kUnknown;
            m_pairing.unitIn(i, group, order == PictureOrder::kUnknown ? ZuPicturePlaces::kUnknownOrder : order);
        }
        AVFrame *picture = nullptr;
        const int rc = m_decoder->decode(unit, int(m_buffer.size()), i, &picture);
        ++m_units;
        if (rc != 0 && rc != AVERROR(EAGAIN)) {
            // Its place stays empty; the pictures after it in its group may refer to it.
            if (group >= 0) {
                m_pairing.refused(i);
                countPlaces();
            }
            if (!m_reorders && slotOf(i) >= 0)
                m_undecodable.insert(slotOf(i));
            if (m_corruptLogged++ < kMaxLoggedCorrupt)
                logLine("[WARN] ", "decode frame", QStringLiteral("corrupt entry %1 of ").arg(i - m_base) + m_data.fileName());
            if (i == want && !m_reorders)
                return false;
            continue;
        }
        if (rc == 0 && picture)
            take(picture, deliver);
    }
    if (m_delivered.count(slot))
        return true;
    // Decoded in order from its key frame and still no picture: it will
    // never give one, so later attempts skip it at once.
    m_undecodable.insert(slot);
    return false;
}
