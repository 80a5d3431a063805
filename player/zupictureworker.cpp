#include "zupictureworker.h"

#include "canvas.h"
#include "zulog.h"
#include "zuscaler.h"
#include "zuslotdecoder.h"

#include <algorithm>
#include <new>

#include <unistd.h>

extern "C" {
#include <libavutil/frame.h>
}

namespace {
// Released picture buffers kept for reuse: enough for the converters to
// go on without allocating while the ready queue turns over.
constexpr size_t kFreeBuffers = 8;
constexpr size_t kFreeBufferBytes = 128u << 20;
// Groups of pictures kept at most, whatever the memory limit allows.
constexpr int kMaxGroups = 4;

qint64 frameBytes(const AVFrame *f)
{
    qint64 bytes = 0;
    for (int i = 0; i < AV_NUM_DATA_POINTERS && f->buf[i]; ++i)
        bytes += qint64(f->buf[i]->size);
    if (bytes == 0 && f->width > 0 && f->height > 0)
        bytes = qint64(f->width) * f->height * 3 / 2;
    return bytes;
}

std::shared_ptr<AVFrame> shareFrame(AVFrame *f)
{
    return std::shared_ptr<AVFrame>(f, [](AVFrame *p) { av_frame_free(&p); });
}
} // namespace

ZuPictureWorker::ZuPictureWorker()
    : m_limit(defaultLimitBytes())
    , m_decoder(std::make_unique<ZuSlotDecoder>())
{
    m_decoder->setThreads(ZuSlotDecoder::Threads::Frame);
    m_thread = std::thread([this] { run(); });
    const int converters = std::clamp(int(std::thread::hardware_concurrency()) / 2, 1, 4);
    for (int i = 0; i < converters; ++i)
        m_converters.emplace_back([this] { convertLoop(); });
}

ZuPictureWorker::~ZuPictureWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_preempt = true;
        m_abort = true;
    }
    m_wake.notify_all();
    m_answered.notify_all();
    m_thread.join();
    for (std::thread &t : m_converters)
        t.join();
}

qint64 ZuPictureWorker::defaultLimitBytes()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    const qint64 memory = pages > 0 && pageSize > 0 ? qint64(pages) * pageSize : 0;
    return std::clamp<qint64>(memory / 8, 256LL << 20, 1LL << 30);
}

void ZuPictureWorker::setLimitBytes(qint64 bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_limit = std::max<qint64>(0, bytes);
        trim();
    }
    m_wake.notify_all(); // the worker frees what the new limit let go
}

qint64 ZuPictureWorker::limitBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_limit;
}

qint64 ZuPictureWorker::cacheBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current.bytes + m_side[0].bytes + m_side[1].bytes;
}

int ZuPictureWorker::cachedFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const Context *ctx : {&m_current, &m_side[0], &m_side[1]}) {
        for (const auto &s : ctx->pictures)
            n += s.second.yuv ? 1 : 0;
    }
    return n;
}

// ---------------------------------------------------------------- GUI side

void ZuPictureWorker::setFile(const FilePtr &file)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_generation;
        const int side = !file ? -1 : m_side[1].file == file ? 1 : m_side[0].file == file ? 0 : -1;
        if (side >= 0) {
            bury(m_side[1 - side]);
            m_side[1 - side] = std::move(m_current);
            m_current = std::move(m_side[side]);
            m_side[side] = Context();
        } else {
            for (Context *ctx : {&m_current, &m_side[0], &m_side[1]}) {
                bury(*ctx);
                *ctx = Context();
            }
            m_current.file = file;
        }
        if (m_adopted && m_adoptedFile != file) {
            retire(std::move(m_adopted));
            m_adoptedFile.reset();
        }
        m_urgent = -1;
        m_pos = -1;
        m_horizon = -1;
        m_preempt = true;
        m_abort = true;
    }
    m_wake.notify_all();
}

void ZuPictureWorker::setNeighbour(const FilePtr &file, bool forward)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Context &side = m_side[forward ? 1 : 0];
        if (file == m_current.file || file == side.file)
            return;
        bury(side);
        side = Context();
        side.file = file;
    }
    m_wake.notify_all();
}

int ZuPictureWorker::enteringSlot(const Context &ctx, bool forward) const
{
    const ZuPlayFile &f = *ctx.file;
    if (forward)
        return f.keys.front();
    int slot = int(f.frames.size()) - 1;
    while (slot > f.keys.front() && ctx.dead.count(slot))
        --slot;
    return slot;
}

bool ZuPictureWorker::readyToEnter(const FilePtr &file, bool forward) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (file && file == m_current.file)
        return true;
    const Context *ctx = contextOf(file);
    if (!ctx)
        return false;
    // Nothing to prepare (the engine finds out at once), or too little
    // memory to prepare it ahead.
    if (ctx->file->keys.empty() || allowedGroups(m_current) < 2)
        return true;
    const int slot = enteringSlot(*ctx, forward);
    auto it = ctx->pictures.find(slot);
    if (it != ctx->pictures.end() && it->second.bgra)
        return true;
    // Decoded and waiting for its conversion, or still to be decoded.
    if (it != ctx->pictures.end() && it->second.yuv)
        return false;
    return groupDone(*ctx, forward ? ctx->file->keys.front() : ctx->file->keys.back());
}

void ZuPictureWorker::setPlan(int pos, int direction, int stride, int horizon, bool playing)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        direction = direction < 0 ? -1 : 1;
        // A turn, a jump, or playing starting or stopping makes the work in
        // hand pointless (paused, the groups on both sides are prepared;
        // playing at 1x, nothing further than the pictures shown next).
        if (direction != m_direction || playing != m_playing
            || std::abs(pos - m_pos) > std::max(kReadyAhead, 1) * std::max(stride, 1))
            m_preempt = true;
        m_pos = pos;
        m_direction = direction;
        m_stride = std::max(1, stride);
        m_horizon = horizon;
        m_playing = playing;
        trim();
    }
    m_wake.notify_all();
}

void ZuPictureWorker::setFullPictures(bool full)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fullPictures = full;
}

void ZuPictureWorker::setView(const QSize &area, const QRectF &zoom)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const QSize a = area.isEmpty() ? QSize() : area;
        if (a == m_viewArea && zoom == m_viewZoom)
            return;
        m_viewArea = a;
        m_viewZoom = zoom;
        // The pictures ready ahead are made again for the new view; the one
        // on screen stays (the surface scales it while it is shown).
        for (Context *ctx : {&m_current, &m_side[0], &m_side[1]}) {
            for (auto &entry : ctx->pictures) {
                Slot &s = entry.second;
                if (s.bgra && s.yuv && !s.converting && !(ctx == &m_current && entry.first == m_pos))
                    releaseConverted(s);
            }
        }
    }
    m_wake.notify_all();
}

void ZuPictureWorker::adopt(const std::vector<std::pair<int, std::shared_ptr<AVFrame>>> &pictures,
                            std::unique_ptr<ZuSlotDecoder> decoder)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const FilePtr &file = m_current.file;
        for (const auto &p : pictures) {
            if (!file || !p.second || p.first < 0 || p.first >= file->frames.size())
                continue;
            if (AVFrame *ref = av_frame_clone(p.second.get()))
                keep(m_current, p.first, ref);
        }
        if (decoder && file) {
            retire(std::move(m_adopted));
            m_adopted = std::move(decoder);
            m_adoptedFile = file;
        }
    }
    m_wake.notify_all(); // the converters
}

void ZuPictureWorker::retire(std::unique_ptr<ZuSlotDecoder> decoder)
{
    // Its frame threads are joined by the decoding thread, not by the
    // window's.
    if (decoder)
        m_retired.push_back(std::move(decoder));
}

ZuPictureWorker::PicturePtr ZuPictureWorker::picture(int slot)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const FilePtr file = m_current.file;
    if (!file || slot < 0 || slot >= file->frames.size())
        return nullptr;
    for (;;) {
        auto it = m_current.pictures.find(slot);
        if (it != m_current.pictures.end() && it->second.bgra)
            break;
        if (m_current.dead.count(slot) || m_quit || m_current.file != file) {
            m_urgent = -1;
            m_waiting = false;
            m_wake.notify_all(); // the decoding held back for it goes on
            return nullptr;
        }
        if (m_urgent != slot) {
            m_urgent = slot;
            m_waiting = true;
            m_preempt = true;
        }
        // Again at each turn: the slot may have been decoded by work that
        // then gave way, and now waits for a converter.
        m_wake.notify_all();
        m_answered.wait(lock);
    }
    m_urgent = -1;
    m_waiting = false;
    m_wake.notify_all();
    return m_current.pictures[slot].bgra;
}

ZuPictureWorker::PicturePtr ZuPictureWorker::readyPicture(int slot) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_current.pictures.find(slot);
    return it != m_current.pictures.end() ? it->second.bgra : nullptr;
}

bool ZuPictureWorker::isDead(int slot) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current.dead.count(slot) != 0;
}

bool ZuPictureWorker::isDecoded(int slot) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_current.pictures.find(slot);
    return it != m_current.pictures.end() && (it->second.yuv || it->second.bgra);
}

// ---------------------------------------------------------------- planning (under m_mutex)

ZuPictureWorker::Context *ZuPictureWorker::contextOf(const FilePtr &file)
{
    if (file && m_current.file == file)
        return &m_current;
    for (Context &side : m_side) {
        if (file && side.file == file)
            return &side;
    }
    return nullptr;
}

const ZuPictureWorker::Context *ZuPictureWorker::contextOf(const FilePtr &file) const
{
    return const_cast<ZuPictureWorker *>(this)->contextOf(file);
}

int ZuPictureWorker::groupKey(const ZuPlayFile &file, int slot) const
{
    auto it = std::upper_bound(file.keys.begin(), file.keys.end(), slot);
    return it == file.keys.begin() ? -1 : *(it - 1);
}

int ZuPictureWorker::groupAfter(const ZuPlayFile &file, int key, int direction) const
{
    auto it = std::lower_bound(file.keys.begin(), file.keys.end(), key);
    if (direction > 0)
        return (it != file.keys.end() && it + 1 != file.keys.end()) ? *(it + 1) : -1;
    return it != file.keys.begin() ? *(it - 1) : -1;
}

bool ZuPictureWorker::readyShort() const
{
    int ready = 0;
    const std::vector<int> targets = readyTargets(m_current);
    int firstMissing = -1;
    for (int t : targets) {
        auto it = m_current.pictures.find(t);
        if (it != m_current.pictures.end() && it->second.bgra)
            ++ready;
        else if (firstMissing < 0)
            firstMissing = t;
    }
    if (firstMissing < 0 || ready >= readyAhead() / 2)
        return false;
    auto it = m_current.pictures.find(firstMissing);
    return it != m_current.pictures.end() && it->second.yuv;
}

bool ZuPictureWorker::groupDone(const Context &ctx, int key) const
{
    if (ctx.doneGroups.count(key))
        return true;
    auto it = std::upper_bound(ctx.file->keys.begin(), ctx.file->keys.end(), key);
    const int end = it == ctx.file->keys.end() ? int(ctx.file->frames.size()) : *it;
    for (int s = key; s < end; ++s) {
        auto hit = ctx.pictures.find(s);
        if ((hit == ctx.pictures.end() || !hit->second.yuv) && !ctx.dead.count(s))
            return false;
    }
    return true;
}

std::vector<int> ZuPictureWorker::readyTargets(const Context &ctx) const
{
    std::vector<int> out;
    if (!ctx.file || m_pos < 0 || ctx.file->keys.empty())
        return out;
    const int first = ctx.file->keys.front();
    const int last = int(ctx.file->frames.size()) - 1;
    // From where the clock is when the display is behind it, on a grid of
    // the spacing, so that the same pictures stay wanted as the clock runs.
    int s = m_pos + m_direction;
    if (m_playing && m_horizon >= 0 && (m_horizon - s) * m_direction > 0)
        s = m_horizon;
    if (m_stride > 1) {
        // The grid point due now first (towards the position), unless it is
        // the position itself.
        const int r = s % m_stride;
        const int back = m_direction > 0 ? s - r : s + (m_stride - r) % m_stride;
        const int ahead = m_direction > 0 ? s + (m_stride - r) % m_stride : s - r;
        s = (back - m_pos) * m_direction > 0 ? back : ahead;
    }
    const int count = readyAhead();
    for (; s >= first && s <= last && int(out.size()) < count; s += m_direction * m_stride) {
        if (!ctx.dead.count(s))
            out.push_back(s);
    }
    // The file's last (first) picture is shown whatever the spacing: the
    // last one that gives a picture.
    int edge = m_direction > 0 ? last : first;
    while (ctx.dead.count(edge) && (edge - m_pos) * m_direction > 0)
        edge -= m_direction;
    if (int(out.size()) < count && (out.empty() || out.back() != edge) && (edge - m_pos) * m_direction > 0
        && !ctx.dead.count(edge))
        out.push_back(edge);
    return out;
}

int ZuPictureWorker::readyAhead() const
{
    // Converted pictures are four bytes a pixel: the queue of them stays
    // within a quarter of the limit, whatever size the stream declares.
    if (m_bgraBytes <= 0)
        return kReadyAhead;
    return int(std::clamp<qint64>(m_limit / 4 / m_bgraBytes, 2, kReadyAhead));
}

int ZuPictureWorker::allowedGroups(const Context &ctx) const
{
    const qint64 group = std::max<qint64>(ctx.groupBytes, 1);
    return int(std::min<qint64>(kMaxGroups, m_limit / group));
}

bool ZuPictureWorker::keepsBehind(int allowed) const
{
    return !m_playing && allowed > 2;
}

int ZuPictureWorker::groupsAhead(int allowed) const
{
    return std::max(0, allowed - 1 - (keepsBehind(allowed) ? 1 : 0));
}

ZuPictureWorker::Work ZuPictureWorker::sideWork(int side) const
{
    Work w;
    const Context &n = m_side[side > 0 ? 1 : 0];
    if (!n.file || n.file->keys.empty())
        return w;
    const int key = side > 0 ? n.file->keys.front() : n.file->keys.back();
    // Only with room left for it: it would push the farthest pictures, its
    // own among them, out again.
    const qint64 others = m_current.bytes + m_side[0].bytes + m_side[1].bytes - n.bytes;
    if (!groupDone(n, key) && others + m_current.groupBytes <= m_limit) {
        w.job = Job::Neighbour;
        w.file = n.file;
        w.slot = key;
    }
    return w;
}

ZuPictureWorker::Work ZuPictureWorker::leanSideWork() const
{
    Work w;
    const Context &n = m_side[1];
    if (!n.file || n.file->keys.empty())
        return w;
    const int key = n.file->keys.front();
    auto next = std::upper_bound(n.file->keys.begin(), n.file->keys.end(), key);
    const int groupEnd = next == n.file->keys.end() ? int(n.file->frames.size()) : *next;
    const int last = std::min(groupEnd, key + readyAhead()) - 1;
    if (groupDone(n, key))
        return w;
    for (int s = key; s <= last; ++s) {
        auto it = n.pictures.find(s);
        if ((it == n.pictures.end() || (!it->second.yuv && !it->second.bgra)) && !n.dead.count(s)) {
            w.job = Job::Neighbour;
            w.file = n.file;
            w.slot = key;
            w.last = last;
            return w;
        }
    }
    return w;
}

ZuPictureWorker::Work ZuPictureWorker::nextWork()
{
    Work w;
    Context &cur = m_current;
    if (!cur.file || cur.file->frames.isEmpty())
        return w;
    w.file = cur.file;
    // Slots with nothing yet: a converter takes over once decoded.
    const auto needsDecoding = [&](int slot) {
        auto it = cur.pictures.find(slot);
        return !cur.dead.count(slot) && (it == cur.pictures.end() || (!it->second.yuv && !it->second.bgra));
    };
    if (m_urgent >= 0 && needsDecoding(m_urgent)) {
        w.job = Job::Urgent;
        w.slot = m_urgent;
        return w;
    }
    // The picture the engine waits for waits only for its conversion now:
    // no decoding takes the processor from it meanwhile.
    if (m_urgent >= 0 && m_waiting) {
        auto it = cur.pictures.find(m_urgent);
        if (it != cur.pictures.end() && it->second.yuv && !it->second.bgra)
            return w;
    }
    if (m_pos < 0)
        return w;
    // Paused on a group's first picture, where a jump lands, the group
    // before comes first: a step back needs all of it, a step forward one
    // picture.
    if (!m_playing && groupKey(*cur.file, m_pos) == m_pos && keepsBehind(allowedGroups(cur))) {
        const int before = groupAfter(*cur.file, m_pos, -1);
        if (before >= 0 && !groupDone(cur, before)) {
            w.job = Job::Group;
            w.slot = before;
            return w;
        }
        if (before < 0) {
            const Work side = sideWork(-1);
            if (side.job != Job::None)
                return side;
        }
    }
    for (int t : readyTargets(cur)) {
        if (needsDecoding(t)) {
            w.job = Job::Ready;
            w.slot = t;
            return w;
        }
    }
    // Whole groups ahead, as many as the memory limit allows.
    const int key = groupKey(*cur.file, m_pos);
    if (key < 0)
        return w;
    if (lean())
        return groupAfter(*cur.file, key, 1) < 0 ? leanSideWork() : Work();
    const int allowed = allowedGroups(cur);
    // Paused, the group on the other side comes first: the first step back
    // after a seek does not wait for a whole group either. In the file's
    // first (last) group, that group is the neighbouring file's.
    if (keepsBehind(allowed)) {
        const int behind = groupAfter(*cur.file, key, -m_direction);
        if (behind >= 0 && !groupDone(cur, behind)) {
            w.job = Job::Group;
            w.slot = behind;
            return w;
        }
        if (behind < 0) {
            const Work side = sideWork(-m_direction);
            if (side.job != Job::None)
                return side;
        }
    }
    int g = key;
    bool fileDone = false;
    for (int k = 0; k < groupsAhead(allowed); ++k) {
        g = groupAfter(*cur.file, g, m_direction);
        if (g < 0) {
            fileDone = true;
            break;
        }
        if (!groupDone(cur, g)) {
            w.job = Job::Group;
            w.slot = g;
            return w;
        }
    }
    if (allowed < 2 || !fileDone)
        return Work();
    // The current file is ready to its end in the playing direction: the
    // next file's first group (last, backwards).
    return sideWork(m_direction);
}

void ZuPictureWorker::keep(Context &ctx, int slot, AVFrame *picture)
{
    Slot &s = ctx.pictures[slot];
    if (s.yuv) {
        ctx.bytes -= frameBytes(s.yuv.get());
        m_deadFrames.push_back(std::move(s.yuv));
    }
    ctx.bytes += frameBytes(picture);
    s.yuv = shareFrame(picture);
    ctx.dead.erase(slot);
    if (ctx.file && !ctx.file->keys.empty()) {
        // The longest group: groups counted against the limit never exceed it.
        const std::vector<int> &keys = ctx.file->keys;
        int longest = int(ctx.file->frames.size()) - keys.back();
        for (size_t i = 1; i < keys.size(); ++i)
            longest = std::max(longest, keys[i] - keys[i - 1]);
        ctx.groupBytes = std::max(ctx.groupBytes, frameBytes(picture) * qint64(longest));
    }
}

void ZuPictureWorker::release(Context &ctx, std::map<int, Slot>::iterator it)
{
    if (it->second.yuv) {
        ctx.bytes -= frameBytes(it->second.yuv.get());
        m_deadFrames.push_back(std::move(it->second.yuv));
        it->second.yuv.reset();
    }
}

void ZuPictureWorker::releaseConverted(Slot &slot)
{
    if (slot.bgra)
        m_deadPictures.push_back(std::move(slot.bgra));
    slot.bgra.reset();
}

void ZuPictureWorker::bury(Context &ctx)
{
    for (auto it = ctx.pictures.begin(); it != ctx.pictures.end(); ++it) {
        release(ctx, it);
        releaseConverted(it->second);
    }
    ctx.pictures.clear();
}

bool ZuPictureWorker::freeReleased(std::unique_lock<std::mutex> &lock)
{
    if (m_deadFrames.empty() && m_deadPictures.empty() && m_retired.empty())
        return false;
    std::vector<std::shared_ptr<AVFrame>> frames;
    std::vector<PicturePtr> pictures;
    frames.swap(m_deadFrames);
    pictures.swap(m_deadPictures);
    std::vector<std::unique_ptr<ZuSlotDecoder>> retired;
    retired.swap(m_retired);
    lock.unlock();
    frames.clear();
    pictures.clear();
    retired.clear();
    // Buffers given back beyond what is kept for reuse.
    std::vector<std::unique_ptr<std::vector<uint8_t>>> excess;
    {
        std::lock_guard<std::mutex> poolLock(m_pool->mutex);
        const size_t bytes = m_pool->free.empty() ? 1 : std::max<size_t>(1, m_pool->free.back()->size());
        const size_t keep = std::clamp<size_t>(kFreeBufferBytes / bytes, 1, kFreeBuffers);
        while (m_pool->free.size() > keep) {
            excess.push_back(std::move(m_pool->free.back()));
            m_pool->free.pop_back();
        }
    }
    excess.clear();
    lock.lock();
    return true;
}

void ZuPictureWorker::trimCurrent(bool *nearStart, bool *nearEnd)
{
    Context &ctx = m_current;
    *nearStart = *nearEnd = false;
    if (!ctx.file || m_pos < 0 || ctx.file->keys.empty())
        return;
    // Decoded pictures: paused, from the group behind the position; then the
    // position's group and those ahead that the limit allows.
    const int allowed = std::max(1, allowedGroups(ctx));
    const int key = std::max(0, groupKey(*ctx.file, m_pos));
    int low = key, high = key;
    for (int k = 0; k < groupsAhead(allowed); ++k) {
        const int g = groupAfter(*ctx.file, m_direction > 0 ? high : low, m_direction);
        if (g < 0)
            break;
        (m_direction > 0 ? high : low) = g;
    }
    if (keepsBehind(allowed)) {
        const int behind = groupAfter(*ctx.file, m_direction > 0 ? low : high, -m_direction);
        if (behind >= 0)
            (m_direction > 0 ? low : high) = behind;
    }
    auto end = std::upper_bound(ctx.file->keys.begin(), ctx.file->keys.end(), high);
    const int highEnd = end == ctx.file->keys.end() ? int(ctx.file->frames.size()) : *end;
    // The neighbouring files are wanted while these groups reach the file's ends.
    *nearStart = low <= ctx.file->keys.front();
    *nearEnd = highEnd >= int(ctx.file->frames.size());
    const std::vector<int> targets = readyTargets(ctx);
    const bool leanNow = lean();
    for (auto it = ctx.pictures.begin(); it != ctx.pictures.end();) {
        Slot &s = it->second;
        const int slot = it->first;
        const bool kept = slot == m_urgent || slot == m_protect || s.converting || std::abs(slot - m_pos) <= 1;
        // Lean: a short way back, and ahead what the ready queue reaches
        // (pictures decoded while paused are let go of when playing starts).
        const bool outsideLean = leanNow
                                 && (slot < m_pos - kStepBackWindow
                                     || (slot > m_pos && (targets.empty() || slot > targets.back())));
        if (s.yuv && !kept && (slot < low || slot >= highEnd || outsideLean))
            release(ctx, it);
        // Converted pictures: the ones ahead up to the end of the ready queue,
        // and the one on screen.
        const bool ahead = !targets.empty() && (slot - m_pos) * m_direction > 0
                           && (targets.back() - slot) * m_direction >= 0;
        if (s.bgra && !kept && !ahead)
            releaseConverted(s);
        it = (!s.yuv && !s.bgra) ? ctx.pictures.erase(it) : std::next(it);
    }
    for (auto it = ctx.doneGroups.begin(); it != ctx.doneGroups.end();) {
        // A group whose first pictures were let go is to be decoded again.
        const bool thinned = leanNow && *it < m_pos - kStepBackWindow;
        it = (*it < low || *it >= highEnd || thinned) ? ctx.doneGroups.erase(it) : std::next(it);
    }
}

void ZuPictureWorker::trim()
{
    bool near[2] = {true, true};
    if (m_current.file && m_pos >= 0)
        trimCurrent(&near[0], &near[1]);
    // Playing fast, the file left behind is of no more use: its pictures
    // would take the room of the groups ahead.
    if (m_playing && !lean())
        near[m_direction > 0 ? 0 : 1] = false;
    // A neighbour keeps the group the position enters first, and the
    // picture it shows first, while the position is near its side.
    const bool leanNow = lean() && m_current.file && m_pos >= 0;
    for (int side = 0; side < 2; ++side) {
        Context &n = m_side[side];
        if (!n.file || n.file->keys.empty())
            continue;
        const int edge = side ? n.file->keys.front() : n.file->keys.back();
        auto end = std::upper_bound(n.file->keys.begin(), n.file->keys.end(), edge);
        int edgeEnd = end == n.file->keys.end() ? int(n.file->frames.size()) : *end;
        int edgeStart = edge;
        if (leanNow && side == 1) {
            // The pictures that enter the next file without waiting.
            edgeEnd = std::min(edgeEnd, edge + readyAhead());
        } else if (leanNow) {
            // What the step-back window reaches of the file before.
            edgeStart = std::max(edge, int(n.file->frames.size()) - std::max(0, kStepBackWindow - m_pos));
        }
        const int entering = enteringSlot(n, side == 1);
        for (auto it = n.pictures.begin(); it != n.pictures.end();) {
            Slot &s = it->second;
            const bool kept = it->first == m_protect || s.converting;
            if (s.yuv && !kept && (!near[side] || it->first < edgeStart || it->first >= edgeEnd))
                release(n, it);
            if (s.bgra && !kept && (!near[side] || it->first != entering))
                releaseConverted(s);
            it = (!s.yuv && !s.bgra) ? n.pictures.erase(it) : std::next(it);
        }
        if (!near[side] || edgeStart != edge)
            n.doneGroups.clear();
    }
    // Then the limit, over the three files together: the pictures farthest
    // from the position go first. A neighbour's pictures are as far as the
    // way to them through the current file.
    const int n = m_current.file ? int(m_current.file->frames.size()) : 0;
    const int pos = std::clamp(m_pos, 0, std::max(0, n - 1));
    const auto distance = [&](const Context *ctx, int slot) -> qint64 {
        if (ctx == &m_current)
            return std::abs(slot - pos);
        if (ctx == &m_side[1])
            return qint64(n - pos) + slot;
        return qint64(pos) + 1 + (int(ctx->file->frames.size()) - 1 - slot);
    };
    while (m_current.bytes + m_side[0].bytes + m_side[1].bytes > m_limit) {
        Context *victimCtx = nullptr;
        auto victim = m_current.pictures.end();
        qint64 farthest = -1;
        for (Context *ctx : {&m_current, &m_side[0], &m_side[1]}) {
            for (auto it = ctx->pictures.begin(); it != ctx->pictures.end(); ++it) {
                const int slot = it->first;
                if (!it->second.yuv || it->second.converting || slot == m_protect)
                    continue;
                if (ctx == &m_current && (slot == m_urgent || slot == pos))
                    continue;
                const qint64 d = distance(ctx, slot);
                if (d > farthest) {
                    farthest = d;
                    victimCtx = ctx;
                    victim = it;
                }
            }
        }
        if (!victimCtx)
            break;
        // Its group is to be decoded again before it counts as ready.
        victimCtx->doneGroups.erase(groupKey(*victimCtx->file, victim->first));
        release(*victimCtx, victim);
        if (!victim->second.bgra)
            victimCtx->pictures.erase(victim);
    }
}

// ---------------------------------------------------------------- worker thread

void ZuPictureWorker::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
        // The lock was let go meanwhile: look at everything again.
        if (freeReleased(lock))
            continue;
        m_preempt = false;
        m_abort = false;
        const Work work = nextWork();
        if (work.job == Job::None) {
            m_wake.wait(lock);
            continue;
        }
        perform(work, lock);
    }
    // A waiting picture() sees m_quit.
    m_answered.notify_all();
}

void ZuPictureWorker::perform(const Work &work, std::unique_lock<std::mutex> &lock)
{
    const bool urgent = work.job == Job::Urgent;
    const FilePtr file = work.file;
    int target = work.slot;
    if (work.job == Job::Group || work.job == Job::Neighbour) {
        // A group: decoded to its last picture.
        auto it = std::upper_bound(file->keys.begin(), file->keys.end(), work.slot);
        target = (it == file->keys.end() ? int(file->frames.size()) : *it) - 1;
        if (work.last >= 0)
            target = std::min(target, work.last);
    }
    Context *ctx = contextOf(file);
    if (!ctx)
        return;
    const auto haveYuv = [&](int slot) {
        Context *c = contextOf(file);
        if (!c)
            return false;
        auto it = c->pictures.find(slot);
        return it != c->pictures.end() && it->second.yuv;
    };
    bool stopped = false;
    m_protect = work.slot;
    const bool group = work.job == Job::Group || work.job == Job::Neighbour;
    // The first pictures of a group only: the group is not done with them.
    const bool partial = work.last >= 0;
    if (group && haveYuv(target)) {
        if (!partial)
            ctx->doneGroups.insert(work.slot);
    } else if (!haveYuv(target)) {
        std::unique_ptr<ZuSlotDecoder> replaced;
        if (m_adopted && m_adoptedFile == file) {
            replaced = std::exchange(m_decoder, std::move(m_adopted));
            m_decoderFile = file;
            m_adoptedFile.reset();
        }
        lock.unlock();
        replaced.reset();
        if (m_decoderFile != file) {
            QString error;
            if (!m_decoder->setFile(file->path, file->frames, file->keys, &error, file->edges))
                logMessage(QStringLiteral("[ERROR] ZuStreamReadAndControl :: open file :: ") + error);
            m_decoderFile = file;
        }
        const qint64 before = m_decoder->unitsDecoded();
        const auto deliver = [&](int slot, AVFrame *picture) {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (Context *c = contextOf(file)) {
                keep(*c, slot, picture);
                // A long run of pictures stays within the limit as it comes.
                if (m_current.bytes + m_side[0].bytes + m_side[1].bytes > m_limit)
                    trim();
                if (c == &m_current && slot == m_urgent)
                    m_answered.notify_all();
            } else {
                av_frame_free(&picture);
            }
            // The converters start on it now, not when this run ends (it
            // may be given way without reaching its end).
            m_wake.notify_all();
        };
        int polls = 0;
        const auto stop = [&]() {
            if (m_abort.load())
                return stopped = true;
            if (urgent)
                return false;
            if (m_preempt.load())
                return stopped = true;
            // A long group gives way when the pictures to show run short.
            if (group && ++polls % 2 == 0) {
                std::lock_guard<std::mutex> guard(m_mutex);
                if (readyShort())
                    return stopped = true;
            }
            return false;
        };
        const bool ok = m_decoder->isOpen() && m_decoder->decodeTo(target, deliver, stop);
        const qint64 units = m_decoder->unitsDecoded() - before;
        m_decodedUnits += units;
        if (urgent)
            m_waitedUnits += units;
        lock.lock();
        ctx = contextOf(file);
        if (!ctx) {
            m_protect = -1;
            return;
        }
        if (!ok && !stopped)
            ctx->dead.insert(target);
        // Slots the decoder found to give no picture (units without one, or
        // whose pictures cannot be placed) are passed over like damaged ones.
        if (m_decoderFile == file)
            ctx->dead.insert(m_decoder->undecodable().begin(), m_decoder->undecodable().end());
        if (group && !stopped) {
            // Every slot of the group the decoder did not give is dead.
            for (int s = work.slot; s <= target; ++s) {
                if (!m_decoder->delivered(s) && !haveYuv(s))
                    ctx->dead.insert(s);
            }
            if (!partial)
                ctx->doneGroups.insert(work.slot);
        }
        trim();
    }
    m_protect = -1;
    // Slots found dead on the way, a run given way included, may be the one
    // the engine waits for: it looks again.
    m_answered.notify_all();
    if (stopped || m_quit)
        return;
    // Asked for and not given by a complete decoding.
    if (!group && ctx) {
        auto it = ctx->pictures.find(work.slot);
        if (it == ctx->pictures.end() || (!it->second.yuv && !it->second.bgra))
            ctx->dead.insert(work.slot);
    }
    if (ctx)
        trim();
    m_answered.notify_all();
    m_wake.notify_all(); // the converters
}

bool ZuPictureWorker::nextConversion(FilePtr *file, int *slot)
{
    const auto wanted = [&](Context &ctx, int s) {
        auto it = ctx.pictures.find(s);
        if (it == ctx.pictures.end() || !it->second.yuv || it->second.bgra || it->second.converting)
            return false;
        it->second.converting = true;
        *file = ctx.file;
        *slot = s;
        return true;
    };
    if (!m_current.file)
        return false;
    if (m_urgent >= 0 && wanted(m_current, m_urgent))
        return true;
    for (int t : readyTargets(m_current)) {
        if (wanted(m_current, t))
            return true;
    }
    // The first picture each neighbour will show, the one ahead first.
    for (const int side : {m_direction > 0 ? 1 : 0, m_direction > 0 ? 0 : 1}) {
        Context &n = m_side[side];
        if (n.file && !n.file->keys.empty() && wanted(n, enteringSlot(n, side == 1)))
            return true;
    }
    return false;
}

void ZuPictureWorker::convertLoop()
{
    ZuScaler scaler;
    ZuScaler shownScaler; // its own context: the sizes differ
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
        if (freeReleased(lock))
            continue;
        FilePtr file;
        int slot = -1;
        if (!nextConversion(&file, &slot)) {
            m_wake.wait(lock);
            continue;
        }
        const std::shared_ptr<AVFrame> yuv = contextOf(file)->pictures[slot].yuv;
        const AVFrame *frame = yuv.get();
        const QSize area = m_viewArea;
        const QRectF zoom = m_viewZoom;
        // Shown only scaled: the full picture is made when someone asks for it.
        const bool full = m_fullPictures || area.isEmpty();
        lock.unlock();
        auto picture = std::make_shared<Picture>();
        picture->width = frame->width;
        picture->height = frame->height;
        picture->stride = frame->width * 4;
        picture->yuv = yuv;
        if (full) {
            try {
                picture->bgra = takeBuffer(size_t(picture->stride) * size_t(std::max(0, frame->height)));
            } catch (const std::bad_alloc &) {
                // A picture too large for the memory left: it is not shown.
            }
        }
        bool converted = frame->width > 0 && frame->height > 0
                         && (!full || (picture->bgra && scaler.toBgra(frame, picture->bgra->data(), picture->stride)));
        if (converted && !area.isEmpty()) {
            // The window's thread then only copies it to the screen.
            const QSize size = Canvas::shownSize(QSize(frame->width, frame->height), zoom, area);
            const QRect crop = Canvas::zoomPixels(QSize(frame->width, frame->height), zoom);
            // Reduced, the cheaper filter does; enlarged by a zoom, the
            // better one keeps it sharp.
            shownScaler.setFast(size.width() <= crop.width());
            picture->shownStride = size.width() * 4;
            try {
                picture->shown = takeBuffer(size_t(picture->shownStride) * size_t(size.height()));
            } catch (const std::bad_alloc &) {
                picture->shown.reset();
            }
            if (picture->shown
                && shownScaler.toBgraScaled(frame, crop, picture->shown->data(), size.width(), size.height(),
                                            picture->shownStride)) {
                picture->shownWidth = size.width();
                picture->shownHeight = size.height();
                picture->area = area;
                picture->zoom = zoom;
            } else {
                // The surface scales the full picture itself.
                picture->shown.reset();
                picture->shownStride = 0;
                converted = full;
            }
        }
        if (!converted)
            logMessage(QStringLiteral("[WARN] ZuStreamReadAndControl :: convert frame :: ") + file->path);
        if (converted)
            ++m_converted;
        lock.lock();
        if (converted)
            m_bgraBytes = qint64(picture->bgra ? picture->bgra->size() : picture->shown->size());
        if (Context *ctx = contextOf(file)) {
            Slot &s = ctx->pictures[slot];
            s.converting = false;
            // Made for a view that changed meanwhile: made again.
            const bool stale = converted && (area != m_viewArea || zoom != m_viewZoom);
            if (converted && !stale)
                s.bgra = picture;
            else if (!converted)
                ctx->dead.insert(slot);
            trim();
        }
        m_answered.notify_all();
        m_wake.notify_all();
    }
}

ZuPictureWorker::Buffer ZuPictureWorker::takeBuffer(size_t bytes)
{
    std::unique_ptr<std::vector<uint8_t>> buffer;
    {
        // The smallest one that holds the picture without growing (full and
        // scaled pictures share the pool); else any, which grows.
        std::lock_guard<std::mutex> lock(m_pool->mutex);
        auto &free = m_pool->free;
        auto best = free.end();
        for (auto it = free.begin(); it != free.end(); ++it) {
            if ((*it)->capacity() >= bytes && (best == free.end() || (*it)->capacity() < (*best)->capacity()))
                best = it;
        }
        if (best == free.end() && !free.empty())
            best = free.end() - 1;
        if (best != free.end()) {
            buffer = std::move(*best);
            free.erase(best);
        }
    }
    if (!buffer)
        buffer = std::make_unique<std::vector<uint8_t>>();
    if (buffer->capacity() < bytes)
        ++m_allocated;
    buffer->resize(bytes);
    // The last holder hands the buffer back (through the pool's mutex, so
    // the next user's writes come after every read of the last one).
    const std::weak_ptr<BufferPool> pool = m_pool;
    // It is freed by a worker thread later (freeReleased), never by the
    // thread that lets it go, which may be the window's.
    return Buffer(buffer.release(), [pool](std::vector<uint8_t> *released) {
        std::unique_ptr<std::vector<uint8_t>> owned(released);
        if (const std::shared_ptr<BufferPool> p = pool.lock()) {
            std::lock_guard<std::mutex> lock(p->mutex);
            p->free.push_back(std::move(owned));
        }
    });
}

