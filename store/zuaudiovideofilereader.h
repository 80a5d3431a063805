#pragma once
#include <QDate>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <map>
#include <vector>

#include "pictureorder.h"
#include "pictureplaces.h"
#include "seekfile.h"
#include "zuframe.h"

class QFile;
class StreamFrame;
class VideoDecoder;
struct AVFrame;

// Reads the recorded frames of one video stream from a list of data files,
// decodes them and appends them as StreamFrame records to a consumer's queue.
//
// Range rule (`begin` and `end` are times of day as "HHmmss" text on the
// recording's day, across all files in order): the kept entries start at the
// first entry whose time is not before `begin` and before `end`, and run up
// to and including the first later entry whose time is not before `end`.
// Entries are compared by their full date and time. An entry whose time is
// out of order with both its neighbours (a glitched stamp, another day; at a
// file's edge, the neighbour in the next or previous file) neither opens nor
// closes the range: it is kept when the range runs. Every entry is kept when
// `begin` or `end` is empty.
//
// Each unit goes into the decoder tagged. Whether the stream shows its
// pictures in another order than it stores them (B-frames) is read from its
// units once, before its pictures are paired, and the rule holds for the
// whole stream whatever the decoder learns on the way. In a stream without
// B-frames a picture takes the time of its own unit's entry. In a stream
// with B-frames, the k-th picture the decoder shows from a group of pictures
// (key frame to key frame) takes the group's k-th time, as the player pairs
// them: entries in decoding order with rising times give it as they are,
// entries stamped with their pictures' own times (display order) once each
// group's times are sorted. Each picture is known by its own unit (its tag
// comes back on it), so a unit that gives no picture leaves its own place in
// that order empty, found from its picture order count (ZuPicturePlaces),
// never the places of its neighbours or of the groups after it. Empty
// places, concealed pictures and the pictures decoded after a damaged unit
// of their group are counted and logged with the damaged pictures. Key frames
// are those the seek entries flag when their units agree, else the units a
// decoder can start from, found in their bytes (ZuStreamUnits::keys). A unit
// without a picture (parameter sets stored as an entry of their own) goes to
// the decoder with the next unit and takes no picture's place; a unit stored
// twice in a row with the same time (a re-sent frame) goes in once, while
// one repeated at a time of its own is a picture at that time. A group of
// pictures is decoded whole: across file boundaries, from the file before when a file
// opens inside a group or on a key frame whose first pictures refer to the
// group before, into the next file when a range ends in a group that
// continues there.
//
// Data past the last seek entry of a file (a recorder stopped before writing
// its index) is not read: it is logged, listed (unindexed_data()), and the
// pictures whose places would depend on it are not given to an entry.
//
// The consumer sets its queue and the mutex that guards it before start();
// the reader appends under that mutex and waits 300 ms at a time while the
// queue holds the maximum number of frames. The consumer owns and frees the
// frames it takes. A frame whose bytes cannot be read or decoded ends the
// reader with error(-14) and a log line; frames are never skipped silently.
class ZuAudioVideoFileReader : public QThread
{
    Q_OBJECT
public:
    static constexpr int kReadError = -14;

    ZuAudioVideoFileReader(QList<QFileInfo> files, QString streamId, QString begin, QString end,
                           QObject *parent = nullptr);
    // Stops the thread and waits for it.
    ~ZuAudioVideoFileReader() override;

    // Camera id (the data file name's first field) to name; the name becomes
    // each frame's draw-overlay text (the id itself when it is not listed).
    void set_camera_names(const QHash<int, QString> &names);
    void set_frame_queue(std::deque<StreamFrame *> *queue);
    void set_queue_mutex(QMutex *mutex);
    // Most frames held in the queue before the reader waits (default 30, at least 1).
    void set_max_queue(int frames);

    // Frames per second of the data file being read, from its seek entries
    // (intervals between entries over their summed length, leaving out
    // pauses and backward jumps of the clock; 1.0 for a single entry or a
    // span of zero); -1.0 before the first seek file is parsed. Any thread.
    double fps() const { return m_fps.load(); }
    // Entries of the stream in the data file being read; -1 when none. Any thread.
    int frame_count() const { return m_frameCount.load(); }
    // 0, or the code of error() once the reader has failed. Any thread.
    int error_code() const { return m_error.load(); }
    // Frames appended to the queue so far. Any thread.
    int frames_queued() const { return m_queued.load(); }
    // Frames appended that are damaged (concealed by the decoder, or decoded
    // after a damaged picture of their group), and places of the range that
    // no picture could be given to (the decoder gave none, it would come
    // from data that is not read, or a picture whose entry is gone leaves
    // them that cannot be told apart); each is logged with its time. Any thread.
    int damaged_frames() const { return m_damaged.load(); }

    // Data of a file that no seek entry of the range reaches: bytes past its
    // last entry, or a whole file whose seek file holds no entry.
    struct Unindexed {
        QString path;
        QString after; // the last entry's time, empty when the file has none
        qint64 bytes = 0;
    };
    // What the range left out that way; complete once the thread has ended.
    QList<Unindexed> unindexed_data() const;

    // The entries of `frames` that the range rule keeps, given whether the
    // range had already started before them; `started` and `ended` are
    // updated so that the rule carries on across files. `day` is the
    // recording's day (the data file's date); when invalid, the date of the
    // first entry in order.
    // `before` and `after` are the times next to this file's entries in the
    // previous and the next file (-1 when unknown).
    static QList<int> selectRange(const ZuFrameList &frames, const QString &begin, const QString &end,
                                  bool &started, bool &ended, const QDate &day = QDate(), qint64 before = -1,
                                  qint64 after = -1);
    // Per entry: whether its time is unreadable, or out of order with both
    // its neighbours (past the file's edges, `before` and `after`) while
    // they agree with each other.
    // A run of up to a second's worth of entries counts when its neighbours
    // agree; entries that stray by up to kReorderToleranceMs (stamped in
    // display order) do not.
    static std::vector<bool> outOfOrder(const ZuFrameList &frames, qint64 before = -1, qint64 after = -1);
    // Gives each entry out of order the time its neighbours imply (evenly
    // spaced between them), logging each with the data file `path`; returns
    // how many were placed.
    static int placeOutOfOrder(ZuFrameList &frames, qint64 before, qint64 after, const QString &path);
    static constexpr qint64 kReorderToleranceMs = 1000;
    // Frames per second of a file's entries (see fps()).
    static double entriesFps(const ZuFrameList &frames);
    // The camera's data file of the same day just before `file`, empty when none.
    static QString previousDataFile(const QFileInfo &file);
    // For a file that starts inside a group of pictures: the entries of
    // stream `streamId` of the file before, from its last key frame (from
    // the one before when that one opens an open group) to its end;
    // `groupStart` receives the index of that last key frame among them.
    // Empty when there is no such file or key frame.
    static ZuFrameList leadInEntries(const QFileInfo &file, const QString &streamId, int *groupStart);
    // The camera's data file of the same day just after `file`, empty when none.
    static QString nextDataFile(const QFileInfo &file);
    // For a file whose last group of pictures goes on in the next file: the
    // entries of stream `streamId` of the next file up to its first key
    // frame (the whole file when it holds none), as far as their units go
    // on with that group (ZuStreamUnits::continuing: not past a damaged or
    // lost key frame); `reachesKey` tells whether they reach the key frame.
    // Empty when there is no such file, it opens on a key frame or holds
    // another codec.
    static ZuFrameList trailEntries(const QFileInfo &file, const QString &streamId, bool *reachesKey);
    // The seek file stream field of a video stream id ("0" or "video0").
    static QString videoStream(const QString &streamId);

public Q_SLOTS:
    // Asks the reader to end after the step it is in.
    void stop();

Q_SIGNALS:
    void error(int code);

protected:
    void run() override;

private:
    enum class Step { Ok, Stopped, Failed };
    // A unit that went into the decoder with a picture to give: its entry's
    // place. `discard` for the units decoded only to reach the range's start
    // or to end its last group, whose places are not shown.
    struct Place {
        QString timestamp;
        QString streamId;
        QString cameraName;
        bool discard = false;
        qint64 seq = 0;   // the tag the unit went into the decoder with
        qint64 group = 0; // its group of pictures
    };
    static Place discarded(const QString &timestamp);
    // Hands one unit to the decoder: one without a picture is kept for the
    // next, one re-sent (the same bytes at the same time) is passed over (both: kNoPlace, no
    // place taken); else it goes in tagged, its place waiting for its
    // picture (unless the decoder refused it). `startsGroup`: the entry is
    // one decoding can start from.
    int decodeUnit(VideoDecoder &decoder, const QByteArray &bytes, bool startsGroup, Place unit, AVFrame **picture);
    static constexpr int kNoPlace = 1;
    // More units than this without a picture: the decoder is taken as stuck.
    static constexpr size_t kMaxPending = 32;
    void pushPicture(AVFrame *picture, const Place &owner, bool damaged);
    // Gives a decoded picture the place its own unit's tag leads to (see
    // ZuPicturePlaces). Pushed, or freed when that place is not shown.
    void deliverPicture(AVFrame *picture);
    // Counts and logs the places found empty or damaged since the last call.
    void countPlaces(const char *why = "the decoder gave none");
    void countLost(const std::deque<Place> &places, const char *why);
    // Takes back the last unit in: it takes no place after all.
    void withdrawLast();
    // The decoder starts afresh: no unit is waiting for its picture.
    void resetPlaces();
    // Hands out the pictures the decoder still holds and starts it afresh.
    // `incomplete`: units of the last group were not fed (data that is not
    // read), so the pictures it held last have no known place: not given.
    Step drainDecoder(VideoDecoder &decoder, bool incomplete = false);
    // A decoder that has not met the stream's B-frames yet learns how far
    // they reach first: a picture it would drop when it finds out later
    // would leave a place empty. Units from `from` of `entries` (read from
    // `data`) to the next of `keys`; the decoder is flushed after.
    void learnReorderDepth(VideoDecoder &decoder, const ZuFrameList &entries, int from, const std::vector<int> &keys,
                           QFile &data);
    ZuSeekFile::Result parseFile(const QFileInfo &file) const;
    // For a file that starts inside a group of pictures, or on a key frame
    // whose first pictures refer to the group before: decodes the file
    // before from its last key frame (from the one before when that one
    // opens an open group), its places not shown. False when there is no
    // such file or key frame, or its stream is not of `codec` (this file's).
    bool leadInFromPreviousFile(const QFileInfo &file, const QString &codec, VideoDecoder &decoder);
    // Ends the last group of the range: the file's entries after `index` up
    // to its next key frame, and past the file's end the next file's first
    // entries, their places not shown. After the file's last entry comes
    // data no entry reaches when `unindexedData`; `complete` false when the
    // group goes on in it (`goesOnUnindexed`).
    Step finishGroup(const QFileInfo &file, const ZuFrameList &frames, const std::vector<int> &keys, int index,
                     QFile &data, bool unindexedData, bool goesOnUnindexed, VideoDecoder &decoder, bool *complete);
    // `nextTime`: the next file's first time, -1 when none; `last`: no file
    // of the range follows.
    Step readFile(const QFileInfo &file, const ZuSeekFile::Result &parsed, qint64 nextTime, bool last,
                  VideoDecoder &decoder, bool &started, bool &ended);
    Step waitForRoom();
    bool push(StreamFrame *frame);
    void fail(const QString &detail);
    bool stopRequested() const { return m_stop.load(); }

    const QList<QFileInfo> m_files;
    const QString m_streamId;
    const QString m_begin;
    const QString m_end;
    QHash<int, QString> m_cameraNames;
    std::deque<StreamFrame *> *m_queue = nullptr;
    QMutex *m_queueMutex = nullptr;
    int m_maxQueue = 30;
    int m_nextFrameId = 0;
    // Reader thread only:
    bool m_decoderLive = false;    // the decoder has given a picture since it was opened or flushed
    ZuPicturePlaces m_places;
    std::map<qint64, std::vector<Place>> m_groupPlaces; // per open group, its places in stored order
    PictureOrder m_order;          // the picture order of the units in
    QString m_orderCodec;
    qint64 m_lastTime = -1;        // the previous file's last time, -1 when none
    qint64 m_nextSeq = 0;
    qint64 m_group = 0;            // the group of the last unit in
    bool m_groupKeyNext = false;   // the next unit with a picture is its group's key unit
    bool m_lastUnitStartsGroup = false;
    bool m_reorders = false;       // the stream's B-frames were found: pictures take their group's places
    bool m_depthLearned = false;   // how far B-frames reach, for the file being read
    QByteArray m_parameters;       // units without a picture, for the decoder with the next unit
    QByteArray m_lastUnit;         // the last unit in and its time, to pass over a copy of it
    QString m_lastUnitTime;
    QString m_currentPath;         // the data file being read
    mutable QMutex m_unindexedMutex;
    QList<Unindexed> m_unindexed;

    std::atomic<bool> m_stop{false};
    std::atomic<double> m_fps{-1.0};
    std::atomic<int> m_frameCount{-1};
    std::atomic<int> m_error{0};
    std::atomic<int> m_queued{0};
    std::atomic<int> m_damaged{0};
    QMutex m_waitMutex; // only for sleeping: stop() wakes the wait early
    QWaitCondition m_wake;
};
