#include "zuslotdecoder.h"

#include "keyunits.h"
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

void logLine(const char *level, const char *function, const QString &detail)
{
    logMessage(QLatin1String(level) + QLatin1String("ZuStreamReadAndControl :: ") + QLatin1String(function)
               + QLatin1String(" :: ") + detail);
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
                            QString *error, const ZuFrameList &leadIn)
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
    m_leadIn = leadIn;
    return true;
}

void ZuSlotDecoder::close()
{
    m_data.close();
    m_dataSize = 0;
    m_frames.clear();
    m_keys.clear();
    m_leadIn.clear();
    m_runKey = -1;
    m_leadInEnd = -1;
    m_fed = 0;
    m_lastOutGroup = -1;
    m_taken.clear();
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

bool ZuSlotDecoder::readUnit(int index, QByteArray *bytes)
{
    const ZuFrame &e = m_frames.at(index);
    if (e.size <= 0 || e.offset < 0 || e.offset + e.size > m_dataSize)
        return false;
    if (!m_data.isOpen() || !m_data.seek(e.offset))
        return false;
    bytes->resize(e.size);
    return m_data.read(bytes->data(), e.size) == e.size;
}

int ZuSlotDecoder::startKey(int key)
{
    // In an open group of pictures, the pictures stored after its key frame
    // but shown before it refer to the group before: decoded from the key
    // frame alone they are lost, and the group's places would go to the
    // wrong pictures.
    const int before = keyAtOrBefore(key - 1);
    const ZuFrame &e = m_frames.at(key);
    if (before < 0 || KeyUnits::startsClean(e.codec, m_data, e.offset, e.size))
        return key;
    return before;
}

void ZuSlotDecoder::restart(int key)
{
    m_decoder->flush();
    m_runKey = key;
    m_fed = key;
    m_leadInEnd = -1;
    if (key == 0 && !m_leadIn.isEmpty()) {
        // The file starts inside a group whose key frame is in the file
        // before: decoding starts there, its pictures dropped (tag -1).
        QFile lead(m_leadIn.first().file_path);
        if (!lead.open(QIODevice::ReadOnly))
            return;
        for (const ZuFrame &e : qAsConst(m_leadIn)) {
            if (!lead.seek(e.offset))
                break;
            const QByteArray bytes = lead.read(e.size);
            if (bytes.size() != e.size)
                break;
            AVFrame *picture = nullptr;
            m_decoder->decode(reinterpret_cast<const uint8_t *>(bytes.constData()), int(bytes.size()), -1, &picture);
            ++m_units;
            av_frame_free(&picture);
        }
    }
    m_lastOutGroup = -1;
    m_taken.clear();
    m_delivered.clear();
}

int ZuSlotDecoder::slotFor(int tag)
{
    const int group = keyAtOrBefore(tag);
    if (group < 0)
        return -1;
    m_lastOutGroup = std::max(m_lastOutGroup, group);
    if (m_decoder->reorderDepth() == 0)
        return tag; // pictures come out in their units' order
    int &taken = m_taken[group];
    const int slot = group + taken;
    if (slot >= groupEnd(group))
        return -1;
    ++taken;
    return slot;
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
    const int slot = (tag == AV_NOPTS_VALUE || tag < 0 || tag >= m_frames.size()) ? -1 : slotFor(int(tag));
    if (slot < 0 || m_delivered.count(slot)) {
        av_frame_free(&picture);
        return;
    }
    m_delivered.insert(slot);
    m_undecodable.erase(slot);
    if (((picture->flags & AV_FRAME_FLAG_CORRUPT) || picture->decode_error_flags)
        && m_corruptLogged++ < kMaxLoggedCorrupt) {
        logLine("[WARN] ", "decode frame",
                QStringLiteral("damaged picture %1 :: ").arg(m_frames.at(slot).timestamp.left(17)) + m_data.fileName());
    }
    deliver(slot, picture);
}

void ZuSlotDecoder::endRun(const Deliver &deliver)
{
    AVFrame *picture = nullptr;
    while (m_decoder->drain(&picture) == 0 && picture) {
        take(picture, deliver);
        picture = nullptr;
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
    const bool reorders = m_decoder->reorderDepth() > 0;
    const int maxDelayUnits = maxDelay();
    // Going on from where the decoder is costs little: it is at most in the
    // group before. A run further behind, or past the slot, starts again at
    // the group's key frame.
    const int previous = std::max(0, keyAtOrBefore(key - 1));
    const bool goOn = m_runKey >= 0 && m_runKey <= key && key >= m_leadInEnd && m_fed >= std::min(previous, key - maxDelayUnits)
                      && !m_delivered.count(slot) && (reorders ? key + m_taken[key] <= slot : m_fed <= slot + maxDelayUnits);
    if (!goOn) {
        const int start = startKey(key);
        restart(start);
        // The group decoded only as a lead-in lost the pictures that refer
        // to the group before it: its places are not filled from this run.
        m_leadInEnd = start < key ? key : -1;
    }
    while (!m_delivered.count(slot)) {
        if (stop && stop())
            return false;
        if (m_fed >= n) {
            endRun(deliver);
            break;
        }
        // Every picture of the group is out once one of a later group is,
        // or the slot's unit is far behind.
        if (m_decoder->reorderDepth() > 0 ? (m_lastOutGroup > key || m_fed > end + maxDelayUnits)
                                          : m_fed > slot + maxDelayUnits)
            break;
        const int i = m_fed++;
        if (!readUnit(i, &m_buffer)) {
            if (m_corruptLogged++ < kMaxLoggedCorrupt)
                logLine("[WARN] ", "read frame", QStringLiteral("unreadable entry %1 of ").arg(i) + m_data.fileName());
            // The reference chain is broken: the next request starts again.
            m_undecodable.insert(i);
            m_runKey = -1;
            m_decoder->flush();
            return false;
        }
        AVFrame *picture = nullptr;
        const int rc = m_decoder->decode(reinterpret_cast<const uint8_t *>(m_buffer.constData()),
                                         int(m_buffer.size()), i, &picture);
        ++m_units;
        if (rc != 0 && rc != AVERROR(EAGAIN)) {
            if (m_decoder->reorderDepth() == 0)
                m_undecodable.insert(i);
            if (m_corruptLogged++ < kMaxLoggedCorrupt)
                logLine("[WARN] ", "decode frame", QStringLiteral("corrupt entry %1 of ").arg(i) + m_data.fileName());
            if (i == slot && m_decoder->reorderDepth() == 0)
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

std::vector<int> ZuSlotDecoder::findKeyUnits(const QString &dataPath, const ZuFrameList &frames)
{
    std::vector<int> keys;
    QFile data(dataPath);
    if (frames.isEmpty() || !data.open(QIODevice::ReadOnly))
        return keys;
    for (int i = 0; i < frames.size(); ++i) {
        if (KeyUnits::isKey(frames.at(i).codec, data, frames.at(i).offset, frames.at(i).size))
            keys.push_back(i);
    }
    return keys;
}
