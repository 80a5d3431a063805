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
#include <vector>

#include "seekfile.h"
#include "zuframe.h"

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
// Each unit goes into the decoder tagged. In a stream without B-frames a
// picture takes the time of its own unit's entry. In a stream with
// B-frames, the k-th picture the decoder shows from a group of pictures (key
// frame to key frame) takes the group's k-th time, as the player pairs
// them: entries in decoding order with rising times give it as they are,
// entries stamped with their pictures' own times (display order) once each
// group's times are sorted. Key frames are those the seek entries flag; in a file whose entries
// flag none, the units a decoder can start from, found in their bytes.
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
    // Frames appended that the decoder reported as damaged (concealed); each
    // is logged with its time. Any thread.
    int damaged_frames() const { return m_damaged.load(); }

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

public Q_SLOTS:
    // Asks the reader to end after the step it is in.
    void stop();

Q_SIGNALS:
    void error(int code);

protected:
    void run() override;

private:
    enum class Step { Ok, Stopped, Failed };
    // A unit that went into the decoder and whose picture has not come out
    // yet; `discard` for the units decoded only to reach the range's start.
    struct Pending {
        QString timestamp;
        QString streamId;
        QString cameraName;
        bool discard = false;
        qint64 seq = 0; // the tag the unit went into the decoder with
        bool leadIn = false; // decoded only to reach the range's start
    };
    static Pending discarded(bool leadIn);
    // Hands one unit to the decoder, tagged, and keeps it waiting for its
    // picture (unless the decoder refused it).
    int decodeUnit(VideoDecoder &decoder, const QByteArray &bytes, Pending unit, AVFrame **picture);
    // More units than this without a picture: the decoder is taken as stuck.
    static constexpr size_t kMaxPending = 32;
    void pushPicture(AVFrame *picture, const Pending &owner);
    // Gives a decoded picture to its unit: the one it was tagged with when
    // pictures carry their own times, else the oldest waiting unit (entries
    // in decoding order with rising times: the k-th picture shown from a
    // group takes the group's k-th time). Pushed, or freed when that unit is
    // not shown.
    void deliverPicture(AVFrame *picture);
    Step drainDecoder(VideoDecoder &decoder);
    ZuSeekFile::Result parseFile(const QFileInfo &file) const;
    // For a file that starts inside a group of pictures: decodes the file
    // before from its last key frame (from the one before when that one
    // opens an open group), its pictures kept out of the range. False when
    // there is no such file or key frame.
    bool leadInFromPreviousFile(const QFileInfo &file, VideoDecoder &decoder);
    // `nextTime`: the next file's first time, -1 when none.
    Step readFile(const QFileInfo &file, const ZuSeekFile::Result &parsed, qint64 nextTime, VideoDecoder &decoder,
                  bool &started, bool &ended);
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
    bool m_decoderLive = false; // the decoder has given a picture since it was opened or flushed
    std::deque<Pending> m_pending; // reader thread only
    qint64 m_lastTime = -1;        // the previous file's last time, -1 when none
    qint64 m_nextSeq = 0;          // reader thread only
    bool m_ownTimes = false;       // pictures are paired with their units by tag
    QString m_currentPath;         // the data file being read

    std::atomic<bool> m_stop{false};
    std::atomic<double> m_fps{-1.0};
    std::atomic<int> m_frameCount{-1};
    std::atomic<int> m_error{0};
    std::atomic<int> m_queued{0};
    std::atomic<int> m_damaged{0};
    QMutex m_waitMutex; // only for sleeping: stop() wakes the wait early
    QWaitCondition m_wake;
};
