#include "zupictureworker.h"

#include "zulog.h"
#include "zuscaler.h"
#include "zuslotdecoder.h"

#include <algorithm>

#include <unistd.h>

extern "C" {
#include <libavutil/frame.h>
}

namespace {
// Converted buffers kept for reuse once nobody holds them any more: the
// ready queue, the picture on screen and a few in flight to the display.
constexpr size_t kBufferPool = ZuPictureWorker::kReadyAhead + 8;
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
    return std::clamp<qint64>(memory / 6, 256LL << 20, 3LL << 30);
}

void ZuPictureWorker::setLimitBytes(qint64 bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limit = std::max<qint64>(0, bytes);
    trim(m_current);
    trim(m_neighbour);
}

qint64 ZuPictureWorker::limitBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_limit;
}

qint64 ZuPictureWorker::cacheBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current.bytes + m_neighbour.bytes;
}

int ZuPictureWorker::cachedFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const Context *ctx : {&m_current, &m_neighbour}) {
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
        if (file && m_neighbour.file == file) {
            m_current = std::move(m_neighbour);
        } else {
            m_current = Context();
            m_current.file = file;
        }
        m_neighbour = Context();
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
        if (file == m_current.file || (file == m_neighbour.file && forward == m_neighbourForward))
            return;
        m_neighbour = Context();
        m_neighbour.file = file;
        m_neighbourForward = forward;
    }
    m_wake.notify_all();
}

void ZuPictureWorker::setPlan(int pos, int direction, int stride, int horizon, bool playing)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        direction = direction < 0 ? -1 : 1;
        // A turn or a jump makes the work in hand pointless.
        if (direction != m_direction || std::abs(pos - m_pos) > std::max(kReadyAhead, 1) * std::max(stride, 1))
            m_preempt = true;
        m_pos = pos;
        m_direction = direction;
        m_stride = std::max(1, stride);
        m_horizon = horizon;
        m_playing = playing;
        trim(m_current);
    }
    m_wake.notify_all();
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
            return nullptr;
        }
        if (m_urgent != slot) {
            m_urgent = slot;
            m_waiting = true;
            m_preempt = true;
            m_wake.notify_all();
        }
        m_answered.wait(lock);
    }
    m_urgent = -1;
    m_waiting = false;
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
    if (file && m_neighbour.file == file)
        return &m_neighbour;
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
    if (firstMissing < 0 || ready >= kReadyAhead / 2)
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
    for (; s >= first && s <= last && int(out.size()) < kReadyAhead; s += m_direction * m_stride) {
        if (!ctx.dead.count(s))
            out.push_back(s);
    }
    // The file's last (first) picture is shown whatever the spacing.
    const int edge = m_direction > 0 ? last : first;
    if (int(out.size()) < kReadyAhead && (out.empty() || out.back() != edge) && (edge - m_pos) * m_direction > 0
        && !ctx.dead.count(edge))
        out.push_back(edge);
    return out;
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
    if (m_pos < 0)
        return w;
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
    const qint64 group = std::max<qint64>(cur.groupBytes, 1);
    const int allowed = int(std::min<qint64>(kMaxGroups, m_limit / group));
    // Paused, the group on the other side comes first: the first step back
    // after a seek does not wait for a whole group either.
    const int behind = !m_playing && allowed > 2 ? groupAfter(*cur.file, key, -m_direction) : -1;
    if (behind >= 0 && !groupDone(cur, behind)) {
        w.job = Job::Group;
        w.slot = behind;
        return w;
    }
    int g = key;
    bool fileDone = false;
    for (int k = 0; k < allowed - 1; ++k) {
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
    if (!fileDone && g >= 0)
        fileDone = groupAfter(*cur.file, g, m_direction) < 0;
    if (allowed < 2)
        return w;
    // The current file is ready to its end in the playing direction: the
    // next file's first group (last, backwards).
    if (fileDone && m_neighbour.file && !m_neighbour.file->keys.empty() && m_neighbourForward == (m_direction > 0)) {
        const ZuPlayFile &n = *m_neighbour.file;
        const int nkey = m_direction > 0 ? n.keys.front() : n.keys.back();
        if (!groupDone(m_neighbour, nkey)) {
            w.job = Job::Neighbour;
            w.file = m_neighbour.file;
            w.slot = nkey;
        }
    }
    return w;
}

void ZuPictureWorker::keep(Context &ctx, int slot, AVFrame *picture)
{
    Slot &s = ctx.pictures[slot];
    if (s.yuv)
        ctx.bytes -= frameBytes(s.yuv.get());
    ctx.bytes += frameBytes(picture);
    s.yuv = shareFrame(picture);
    ctx.dead.erase(slot);
    if (ctx.file && !ctx.file->keys.empty()) {
        const int groups = int(ctx.file->keys.size());
        ctx.groupBytes = std::max(ctx.groupBytes, frameBytes(picture) * qint64(ctx.file->frames.size()) / groups);
    }
}

void ZuPictureWorker::trim(Context &ctx)
{
    if (!ctx.file)
        return;
    const bool current = &ctx == &m_current;
    const int pos = current ? m_pos : (m_direction > 0 ? 0 : int(ctx.file->frames.size()) - 1);
    if (pos < 0)
        return;
    // Decoded pictures: the groups from one behind the position to those
    // ahead that the limit allows; the neighbour keeps its first group.
    const qint64 group = std::max<qint64>(ctx.groupBytes, 1);
    const int allowed = int(std::clamp<qint64>(m_limit / group, 1, kMaxGroups));
    const int key = std::max(0, groupKey(*ctx.file, pos));
    int low = key, high = key;
    for (int k = 0; k < allowed - 1; ++k) {
        const int g = groupAfter(*ctx.file, m_direction > 0 ? high : low, m_direction);
        if (g < 0)
            break;
        (m_direction > 0 ? high : low) = g;
    }
    if (current && allowed > 2) {
        const int behind = groupAfter(*ctx.file, m_direction > 0 ? low : high, -m_direction);
        if (behind >= 0)
            (m_direction > 0 ? low : high) = behind;
    }
    auto end = std::upper_bound(ctx.file->keys.begin(), ctx.file->keys.end(), high);
    const int highEnd = end == ctx.file->keys.end() ? int(ctx.file->frames.size()) : *end;
    const std::vector<int> targets = current ? readyTargets(ctx) : std::vector<int>();
    for (auto it = ctx.pictures.begin(); it != ctx.pictures.end();) {
        Slot &s = it->second;
        const int slot = it->first;
        const bool kept = slot == m_urgent || slot == m_protect || s.converting || (current && std::abs(slot - m_pos) <= 1);
        if (s.yuv && !kept && (slot < low || slot >= highEnd)) {
            ctx.bytes -= frameBytes(s.yuv.get());
            s.yuv.reset();
        }
        // Converted pictures: the ones ahead up to the end of the ready queue,
        // and the one on screen.
        const bool ahead = !targets.empty() && (slot - m_pos) * m_direction > 0
                           && (targets.back() - slot) * m_direction >= 0;
        if (s.bgra && !kept && current && !ahead)
            s.bgra.reset();
        it = (!s.yuv && !s.bgra) ? ctx.pictures.erase(it) : std::next(it);
    }
    for (auto it = ctx.doneGroups.begin(); it != ctx.doneGroups.end();)
        it = (*it < low || *it >= highEnd) ? ctx.doneGroups.erase(it) : std::next(it);
    // Then the byte limit: the pictures farthest from the position go first.
    while (ctx.bytes > m_limit) {
        auto victim = ctx.pictures.end();
        int distance = -1;
        for (auto it = ctx.pictures.begin(); it != ctx.pictures.end(); ++it) {
            const int d = std::abs(it->first - pos);
            if (it->second.yuv && it->first != m_urgent && it->first != m_protect && it->first != pos && d > distance) {
                distance = d;
                victim = it;
            }
        }
        if (victim == ctx.pictures.end())
            break;
        ctx.bytes -= frameBytes(victim->second.yuv.get());
        victim->second.yuv.reset();
        if (!victim->second.bgra)
            ctx.pictures.erase(victim);
    }
}

// ---------------------------------------------------------------- worker thread

void ZuPictureWorker::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
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
    if (group && haveYuv(target)) {
        ctx->doneGroups.insert(work.slot);
    } else if (!haveYuv(target)) {
        lock.unlock();
        if (m_decoderFile != file) {
            QString error;
            if (!m_decoder->setFile(file->path, file->frames, file->keys, &error))
                logMessage(QStringLiteral("[ERROR] ZuStreamReadAndControl :: open file :: ") + error);
            m_decoderFile = file;
        }
        const qint64 before = m_decoder->unitsDecoded();
        const auto deliver = [&](int slot, AVFrame *picture) {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (Context *c = contextOf(file)) {
                keep(*c, slot, picture);
                if (c == &m_current && slot == m_urgent)
                    m_answered.notify_all();
            } else {
                av_frame_free(&picture);
            }
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
        if (!ctx)
            return;
        if (!ok && !stopped)
            ctx->dead.insert(target);
        if (group && !stopped) {
            // Every slot of the group the decoder did not give is dead.
            for (int s = work.slot; s <= target; ++s) {
                if (!m_decoder->delivered(s) && !haveYuv(s))
                    ctx->dead.insert(s);
            }
            ctx->doneGroups.insert(work.slot);
        }
        trim(*ctx);
    }
    m_protect = -1;
    if (stopped || m_quit)
        return;
    // Asked for and not given by a complete decoding.
    if (!group && ctx) {
        auto it = ctx->pictures.find(work.slot);
        if (it == ctx->pictures.end() || (!it->second.yuv && !it->second.bgra))
            ctx->dead.insert(work.slot);
    }
    if (ctx)
        trim(*ctx);
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
    // The first picture the next file will show.
    if (m_neighbour.file && !m_neighbour.file->keys.empty()) {
        const ZuPlayFile &n = *m_neighbour.file;
        int s = m_neighbourForward ? n.keys.front() : int(n.frames.size()) - 1;
        while (!m_neighbourForward && s > n.keys.front() && m_neighbour.dead.count(s))
            --s;
        if (wanted(m_neighbour, s))
            return true;
    }
    return false;
}

void ZuPictureWorker::convertLoop()
{
    ZuScaler scaler;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
        FilePtr file;
        int slot = -1;
        if (!nextConversion(&file, &slot)) {
            m_wake.wait(lock);
            continue;
        }
        const std::shared_ptr<AVFrame> yuv = contextOf(file)->pictures[slot].yuv;
        const AVFrame *frame = yuv.get();
        auto picture = std::make_shared<Picture>();
        picture->width = frame->width;
        picture->height = frame->height;
        picture->stride = frame->width * 4;
        picture->bgra = takeBuffer(size_t(picture->stride) * size_t(std::max(0, frame->height)));
        lock.unlock();
        const bool converted = frame->width > 0 && frame->height > 0
                               && scaler.toBgra(frame, picture->bgra->data(), picture->stride);
        if (!converted)
            logMessage(QStringLiteral("[WARN] ZuStreamReadAndControl :: convert frame :: ") + file->path);
        lock.lock();
        if (Context *ctx = contextOf(file)) {
            Slot &s = ctx->pictures[slot];
            s.converting = false;
            if (converted)
                s.bgra = picture;
            else
                ctx->dead.insert(slot);
            trim(*ctx);
        }
        m_answered.notify_all();
        m_wake.notify_all();
    }
}

ZuPictureWorker::Buffer ZuPictureWorker::takeBuffer(size_t bytes)
{
    for (Buffer &b : m_buffers) {
        if (b.use_count() == 1) {
            b->resize(bytes);
            return b;
        }
    }
    auto b = std::make_shared<std::vector<uint8_t>>(bytes);
    if (m_buffers.size() < kBufferPool)
        m_buffers.push_back(b);
    return b;
}

