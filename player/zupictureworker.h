#pragma once
#include "zuframe.h"
#include "zuslotdecoder.h"

#include <QRectF>
#include <QSize>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

struct AVFrame;

// One recording file as the playback engine reads it: its entries of one
// stream and the indexes of its key entries.
struct ZuPlayFile {
    QString path;
    ZuFrameList frames;
    std::vector<int> keys;
    // What decoding it needs of the files before and after it, and how its
    // pictures take their places. For a file that starts inside a group of
    // pictures its key 0 is no key frame of its own.
    ZuSlotDecoder::Edges edges;
};

// Decodes and converts the pictures of the playback engine on a thread of its
// own, ahead of the playing position.
//
// The engine (on the GUI thread) says which file is current, which files
// come before and after it, and where it is (setPlan: position, direction,
// the spacing of the pictures it will show at its rate, the position the
// clock has reached). The worker keeps, by priority:
//  1. the picture the engine waits for (picture()),
//  2. BGRA pictures at the positions the engine will show next, in either
//     direction (a bounded queue: kReadyAhead pictures, fewer when they
//     would take more than a quarter of the memory limit),
//  3. paused, the group of pictures on the other side of the position (in
//     the neighbouring file when the position is in the file's first or
//     last group), so that the first step that way does not wait either,
//  4. the decoded pictures of the whole next groups in the playing
//     direction: playing backwards or holding the back-step key, the group
//     before is decoded while the current one is shown from memory,
//  5. the first (last, backwards) group of the next file, once it fits
//     within the limit, and the first picture it will show converted, so
//     that playing enters it without waiting (readyToEnter()). Playing
//     fast, the file left behind is let go of.
// Decoding uses frame threads on every core and goes group by group
// (ZuSlotDecoder). Decoded pictures are kept for whole groups around the
// position, at least two, within a memory limit that depends on the
// machine's memory (defaultLimitBytes()) and bounds the current file and
// its neighbours together. What is let go of is freed by the worker's
// threads, never by the thread that drives it.
//
// All public members are for the GUI thread (any one thread); they only take
// a mutex for a short time, except picture(), which waits while the worker
// decodes what is asked. The destructor stops the thread and joins it.
class ZuPictureWorker
{
public:
    using FilePtr = std::shared_ptr<const ZuPlayFile>;
    using Buffer = std::shared_ptr<std::vector<uint8_t>>;
    // A picture ready for display: BGRA rows of `stride` bytes, and when a
    // view was set (setView), its visible part scaled for that view. With a
    // view and without full pictures (setFullPictures), `bgra` is null and
    // the full picture is made from `yuv` when it is needed.
    struct Picture {
        std::shared_ptr<AVFrame> yuv;
        Buffer bgra;
        int width = 0;
        int height = 0;
        int stride = 0;
        Buffer shown;
        int shownWidth = 0;
        int shownHeight = 0;
        int shownStride = 0;
        QSize area;
        QRectF zoom;
    };
    using PicturePtr = std::shared_ptr<const Picture>;

    static constexpr int kReadyAhead = 12;
    // Playing forward one picture after the other, decoded pictures are kept
    // this far behind the position (a step back or two), no further.
    static constexpr int kStepBackWindow = 25;

    ZuPictureWorker();
    ~ZuPictureWorker();
    ZuPictureWorker(const ZuPictureWorker &) = delete;
    ZuPictureWorker &operator=(const ZuPictureWorker &) = delete;

    // An eighth of the machine's memory, between 256 MB and 1 GB: the
    // player shares a laptop with other programs.
    static qint64 defaultLimitBytes();
    void setLimitBytes(qint64 bytes);
    qint64 limitBytes() const;
    // Decoded pictures kept, in bytes and in number.
    qint64 cacheBytes() const;
    int cachedFrames() const;
    // Units passed to the decoder while the engine waited for a picture, and
    // in all.
    qint64 waitedUnits() const { return m_waitedUnits.load(); }
    qint64 decodedUnits() const { return m_decodedUnits.load(); }
    // Pictures converted for display (at their own size or scaled), and
    // the buffers taken from the system for them (others are reused).
    qint64 convertedPictures() const { return m_converted.load(); }
    qint64 buffersAllocated() const { return m_allocated.load(); }

    // The current file (null: none). A neighbour given to setNeighbour()
    // becomes current with what it holds, and the file it replaces becomes
    // its neighbour on the other side (the engine moves between adjacent
    // files of its playlist).
    void setFile(const FilePtr &file);
    // The file after (`forward`) or before the current one (null: none).
    void setNeighbour(const FilePtr &file, bool forward);
    // Whether entering neighbour `file` going `forward` (at its first key
    // frame, or backwards at its last picture) finds the picture to show
    // converted, or finds nothing more to wait for from the background.
    bool readyToEnter(const FilePtr &file, bool forward) const;
    // `pos`: the slot shown; `direction` +1/-1; `stride`: the spacing of the
    // pictures shown while playing (1 when stepping or at 1x); `horizon`:
    // the slot the playing clock has reached (pos when paused).
    void setPlan(int pos, int direction, int stride, int horizon, bool playing);
    // The surface the pictures are shown on: its size in device pixels and
    // the visible part of the picture in picture fractions. Pictures are
    // then also scaled for it, by the converter threads; an empty area asks
    // for no scaling. Pictures made for another view are made again.
    void setView(const QSize &area, const QRectF &zoom);
    // Whether pictures are also converted at their own size while a view is
    // set (true by default).
    void setFullPictures(bool full);

    // Pictures of the current file decoded elsewhere (slot, picture; the
    // worker takes references of its own), kept as if decoded here, and the
    // frame-thread decoder of that file that made them (may be null), which
    // the worker goes on with.
    void adopt(const std::vector<std::pair<int, std::shared_ptr<AVFrame>>> &pictures,
               std::unique_ptr<ZuSlotDecoder> decoder);

    // The picture of `slot` of the current file, decoded now when needed
    // (waits); null when it cannot be decoded.
    PicturePtr picture(int slot);
    // The same when it is ready now, without waiting; null otherwise.
    PicturePtr readyPicture(int slot) const;
    // Known to give no picture.
    bool isDead(int slot) const;
    // Decoded (converted or not).
    bool isDecoded(int slot) const;

private:
    struct Slot {
        std::shared_ptr<AVFrame> yuv;
        PicturePtr bgra;
        bool converting = false;
    };
    struct Context {
        FilePtr file;
        std::map<int, Slot> pictures;
        std::set<int> dead;
        std::set<int> doneGroups; // groups decoded ahead and still kept
        qint64 bytes = 0;
        qint64 groupBytes = 0; // decoded bytes of one group, once known
    };
    enum class Job { None, Urgent, Ready, Group, Neighbour };
    struct Work {
        Job job = Job::None;
        FilePtr file;
        int slot = -1;   // Urgent, Ready: the slot; Group, Neighbour: the group's key
        int last = -1;   // Neighbour: the last slot wanted when not the whole group
        bool convert = false;
    };

    void run();
    Work nextWork(); // under m_mutex
    void perform(const Work &work, std::unique_lock<std::mutex> &lock);
    Context *contextOf(const FilePtr &file);
    const Context *contextOf(const FilePtr &file) const;
    void keep(Context &ctx, int slot, AVFrame *picture);
    // Drops what is no longer wanted: decoded pictures outside the groups
    // around the position, converted ones outside the ready queue, the
    // neighbours' pictures while the position is far from their side; then
    // the farthest pictures of all three files until the limit is kept.
    void trim();
    void trimCurrent(bool *nearStart, bool *nearEnd);
    // Pictures let go of are freed by the worker's threads (freeReleased),
    // never by the window's thread, for which returning hundreds of
    // megabytes to the system would be a long pause.
    void release(Context &ctx, std::map<int, Slot>::iterator it);
    void releaseConverted(Slot &slot);
    void bury(Context &ctx);
    // Frees them with the lock let go for the while; true when there were some.
    bool freeReleased(std::unique_lock<std::mutex> &lock);
    void retire(std::unique_ptr<ZuSlotDecoder> decoder); // under m_mutex
    int allowedGroups(const Context &ctx) const;
    // Of the groups the limit allows: paused, one is the group behind the
    // position, so that a step either way finds its picture; playing, all
    // but the position's own are the groups ahead.
    bool keepsBehind(int allowed) const;
    int groupsAhead(int allowed) const;
    // Playing forward one picture after the other: the ready queue keeps
    // ahead on its own, so nothing more is decoded ahead, and little is
    // kept behind.
    bool lean() const { return m_playing && m_direction > 0 && m_stride == 1; }
    // The first pictures of the next file, enough to enter it without waiting.
    Work leanSideWork() const;
    // Converted pictures kept ready ahead: kReadyAhead, fewer for huge pictures.
    int readyAhead() const;
    // The group of the neighbour on `side` (+1 after, -1 before) that the
    // position enters first, when it is still to be decoded.
    Work sideWork(int side) const;
    // The slot of `file` shown first when entering it going `forward`.
    int enteringSlot(const Context &ctx, bool forward) const;
    std::vector<int> readyTargets(const Context &ctx) const;
    int groupKey(const ZuPlayFile &file, int slot) const;
    int groupAfter(const ZuPlayFile &file, int key, int direction) const;
    bool groupDone(const Context &ctx, int key) const;
    // Fewer than half the ready pictures are there, and the next one only
    // waits for its conversion.
    bool readyShort() const;
    // A buffer for a converted picture: a released one or a new one.
    Buffer takeBuffer(size_t bytes);
    // Converter threads: BGRA pictures of decoded slots, the one the engine
    // waits for first, then the ready queue, then the next file's first.
    bool nextConversion(FilePtr *file, int *slot); // under m_mutex
    void convertLoop();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;     // the worker: something to do
    std::condition_variable m_answered; // picture(): a slot was answered
    bool m_quit = false;
    std::atomic<bool> m_preempt{false}; // the running job should give way
    std::atomic<bool> m_abort{false};   // even a job the engine waits for: another file, or the end
    std::atomic<bool> m_waiting{false}; // picture() is waiting

    Context m_current;
    Context m_side[2]; // the file before the current one, and the one after
    int m_pos = -1;
    int m_direction = 1;
    int m_stride = 1;
    int m_horizon = -1;
    bool m_playing = false;
    int m_urgent = -1;          // slot picture() waits for
    int m_protect = -1;         // slot of the job in hand: kept whatever the limit
    quint64 m_generation = 0;   // setFile() calls
    qint64 m_limit;
    qint64 m_bgraBytes = 0; // of the last picture converted
    bool m_fullPictures = true;
    QSize m_viewArea;
    QRectF m_viewZoom{0, 0, 1, 1};

    // Released picture buffers, for reuse; buffers still out return to it
    // from whichever thread lets them go last, or are freed once the
    // worker is gone.
    struct BufferPool {
        std::mutex mutex;
        std::vector<std::unique_ptr<std::vector<uint8_t>>> free;
    };
    std::shared_ptr<BufferPool> m_pool = std::make_shared<BufferPool>();
    std::vector<std::shared_ptr<AVFrame>> m_deadFrames; // under m_mutex
    std::vector<PicturePtr> m_deadPictures;             // under m_mutex
    // A decoder handed over by adopt() for a file (under m_mutex), and one
    // no longer wanted, which the decoding thread frees.
    std::unique_ptr<ZuSlotDecoder> m_adopted;
    FilePtr m_adoptedFile;
    std::vector<std::unique_ptr<ZuSlotDecoder>> m_retired;
    // Decoding thread only.
    std::unique_ptr<ZuSlotDecoder> m_decoder;
    FilePtr m_decoderFile;
    std::atomic<qint64> m_waitedUnits{0};
    std::atomic<qint64> m_decodedUnits{0};
    std::atomic<qint64> m_converted{0};
    std::atomic<qint64> m_allocated{0};

    std::thread m_thread;
    std::vector<std::thread> m_converters;
};
