#pragma once
#include "canvaspicture.h"
#include "zuframe.h"
#include "zupictureworker.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFuture>
#include <QFutureWatcher>
#include <QStringList>
#include <QThread>
#include <QTime>
#include <QTimer>

#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <vector>


// The playback engine: reads one video stream of a camera's recording files,
// decodes and converts each picture to BGRA and hands it to the display.
//
// It derives from QThread for its callers' sake but is never started: its
// state, its signals and its pacing QTimer live on the thread that owns it
// (the GUI thread). Decoding and the conversion to BGRA run on a worker
// thread of its own (ZuPictureWorker) that prepares pictures ahead of the
// position in the playing direction; the parsing of a neighbouring file's
// seek entries runs on the global thread pool (triggerPrefetch). The engine
// stops and joins both before it goes away.
//
// Position and time. The engine holds the seek entries of one data file (the
// "current file") for one stream. Its position is the index of the entry
// shown last. Times are read from the entries ("yyyyMMddHHmmsszzz").
//
// Playing. While playing, every timer tick computes the recording time that
// should be on screen (the time of the frame shown when playing started plus
// the elapsed wall time times the rate) and shows the last frame at or before
// it. Going forward the decoder continues from where it is, or restarts at a
// later key frame when one lies before the wanted frame, so no work is spent
// on frames that will never be shown; at most one picture is converted and
// emitted per tick (ticks are at least kMinTickMs apart), so rate 8 decodes
// what it must and only shows what a screen can. Gaps in a recording longer
// than kMaxGapMs of recording time are skipped rather than waited out.
// Negative rates play backwards.
//
// Pictures are shown in presentation order: index i is the i-th picture the
// decoder presents, shown with entry i's time (ZuSlotDecoder explains how
// streams with B-frames are handled). Decoded pictures of whole groups
// around the position are kept (capped at cacheLimitBytes()), and while a
// group is shown backwards the group before it is decoded in the
// background, so stepping back or playing backwards never waits for a
// group to be decoded again. A tick shows the newest picture the worker has
// ready up to the one due and never waits for one; a step, a seek or the
// opening of a file waits for its picture.
//
// Files. At the end (or, backwards, the start) of the current file the
// engine moves to the neighbouring file of its playlist (set_playlist), whose
// entries were prepared in advance on the thread pool, and emits
// fileChanged(). Both neighbours are prepared: playing moves on once the
// worker has the next file's first picture ready, and a step across the
// boundary finds it ready too. Without a playlist neighbour it emits set_next_file() /
// set_previous_file() so that its owner can call continue_read(); when the
// owner does not, playing pauses on the last frame.
//
// Frames emitted. set_display_frame carries a pointer into a buffer that the
// engine keeps alive until every receiver on the engine's thread has run its
// slot, queued or direct (the buffer is released by an event posted after
// the signal's own queued calls). Receivers on other threads must copy the
// picture in a direct connection.
//
// Bad input (missing or unreadable seek file, truncated data file, corrupt
// frame, empty file) is logged and skipped or stops reading; nothing throws.
class ZuStreamReadAndControl : public QThread
{
    Q_OBJECT
public:
    enum State { Stopped = 0, Playing = 1, Paused = 2 };
    Q_ENUM(State)

    static constexpr int kMinTickMs = 10;
    static constexpr qint64 kMaxGapMs = 2000;
    static constexpr qint64 kDefaultCacheBytes = 256LL * 1024 * 1024;
    // Playing waits at most this long at a file's end for the next file's
    // first picture before moving on regardless.
    static constexpr qint64 kMaxEnterWaitMs = 2000;

    explicit ZuStreamReadAndControl(QObject *parent = nullptr);
    ~ZuStreamReadAndControl() override;

    // Opens `dataPath` (a ".zuvideo" file) for stream `streamId` ("0",
    // "video0"; empty takes the stream of the file's first entry), shows the
    // first key frame at or after `readTimestamp` ("yyyyMMddHHmmss" or
    // "yyyyMMddHHmmsszzz"; empty: the file's first key frame) and plays when
    // `play` is true, else stays paused on that picture. Emits startRead()
    // and stateChanged(). Returns false (and stops) when the file cannot be
    // read or holds no frame of the stream.
    bool open_file(const QString &dataPath, const QString &streamId, const QString &readTimestamp = QString(),
                   bool play = true);

    // What opening a file at its first key frame needs, read ahead
    // (prepareOpening): its entries, its first picture and those playing
    // shows next, and the decoder that made them, which goes on from there.
    struct Opening;
    using OpeningPtr = std::shared_ptr<Opening>;
    // Reads it for `dataPath` and stream `streamId` on the calling thread (a
    // pool thread, while the window is still being built); what cannot be
    // read is left out, and open_file then finds out as usual.
    static OpeningPtr prepareOpening(const QString &dataPath, const QString &streamId);
    // An opening being prepared: the next open_file() of that file and
    // stream takes what it holds instead of reading and decoding it again,
    // and nothing else changes (the same pictures, times and signals). The
    // next open_file() of another file forgets it; stop() keeps it, since a
    // camera is opened after a stop.
    void setPreparedOpening(const QFuture<OpeningPtr> &opening);

    // Continues reading the same stream with `dataPath` in `direction`
    // ("next": from its first key frame; "previous": from its last frame).
    // A playing engine keeps playing and a paused one stays paused, showing
    // that frame; a stopped one opens the file and plays when `play` is true
    // (paused otherwise). Returns true when the file was opened.
    bool continue_read(const QString &dataPath, const QString &streamId, bool play, const QString &direction);

    // The entries of stream `streamId` of each seek file, one file after the
    // other. Unreadable files add nothing.
    QList<ZuFrame> read_seek_file(const QStringList &seekFiles, const QString &streamId);

    // The camera's data files in play order (the day's files of the camera,
    // sorted by name). The engine moves through them at file ends and finds
    // the file of a time in them.
    void set_playlist(const QStringList &dataFiles);
    QStringList playlist() const { return m_playlist; }

    // Text shown as the picture's draw-overlay (the camera name).
    void set_overlay_text(const QString &text) { m_overlayText = text; }

    QString stream_id() const { return m_streamId; }
    QString current_file() const { return m_path; }
    State state() const { return m_state; }
    qreal rate() const { return m_rate; }
    // Entries of the stream in the current file, and the position among them
    // (-1 when nothing is shown).
    int frame_count() const { return int(m_frames.size()); }
    int position() const { return m_pos; }
    // Frames per second of the current file from its entries' times; -1.0
    // when unknown.
    double fps() const { return m_fps; }
    // The time of the frame shown last, "yyyyMMddHHmmsszzz", empty when none.
    QString current_timestamp() const;
    // The same in milliseconds since the start of its day, -1 when none.
    qint64 current_ms_of_day() const;
    // The seek entry shown last (a default entry when none).
    ZuFrame current_frame() const;

    // Upper bound of the decoded-picture cache; by default a share of the
    // machine's memory (ZuPictureWorker::defaultLimitBytes()).
    void setCacheLimitBytes(qint64 bytes);
    qint64 cacheLimitBytes() const;
    qint64 cacheBytes() const;
    int cachedFrames() const;

    // Counters for measurements, since construction: entries passed to the
    // decoder while the engine waited for a picture (work done ahead in the
    // background is not counted), entries decoded in all, pictures emitted.
    qint64 decodedFrames() const;
    qint64 decodedFramesTotal() const;
    // Pictures the worker converted for display, since construction.
    qint64 convertedFramesTotal() const;
    qint64 emittedFrames() const { return m_emittedCount; }

public slots:
    // Plays from the current position (after a pause or stop-free open).
    void start_read();
    // Pauses playing, or resumes it when paused.
    void toggle_pause();
    void pause();
    // Stops reading: timer off, file, decoder and entries closed, the stream
    // id, the current file and the playlist forgotten.
    void stop();
    // Sets the speed: 1, 2, 4, 8 forwards, -1, -2, -4, -8 backwards; another
    // value becomes the nearest of these (0 becomes 1). A paused engine
    // starts playing.
    void change_rate(qreal rate);
    // Moves reading to the first key frame at or after `timestamp`
    // ("yyyyMMddHHmmss", or with milliseconds), in the current file or the
    // playlist file that holds that time; past the last key frame of the
    // day, to that key frame. The play state is kept.
    void set_read_timestamp(const QString &timestamp);
    // The user grabbed a position slider: slidervalue() is not emitted again
    // until the next set_read_timestamp(), so the slider stays under the hand.
    void slider_pressed();
    // One frame forward / back. `keepPlaying` false is a user step: playing
    // pauses first and exactly the neighbouring frame is shown (crossing into
    // the neighbouring file at a file end). true advances one frame without
    // touching the play state. Returns false when there is no such frame.
    bool read_and_display_next_frame(bool keepPlaying = false);
    bool read_and_display_previous_frame(bool keepPlaying = false);
    // Moves by `seconds` of recording time (negative: back) to exactly the
    // frame at or after that time, across files of the playlist.
    void jump_seconds(int seconds);
    // Starts parsing the seek file of the playlist neighbour in `direction`
    // ("next" or "previous") on the thread pool.
    void triggerPrefetch(const QString &direction);
    // The surface that shows display_picture(): its size in device pixels
    // and the visible part of the picture (Canvas::viewChanged). Pictures
    // are then scaled for it on the worker's threads.
    void setDisplayView(QSize area, QRectF zoom);

signals:
    // One picture for display; arguments as Canvas::displayFrame documents.
    void set_display_frame(uint8_t *data, int width, int height, int bytesPerLine, QString timestamp,
                           QString overlay, bool keyframe, int frameId, double fps, bool still);
    // The same picture, for a surface that takes it without a copy
    // (Canvas::displayPicture): the full picture shares the engine's buffer,
    // and the shown part is scaled for the view set by setDisplayView().
    // Emitted just before set_display_frame, only while it has receivers.
    void display_picture(CanvasPicture picture, QString timestamp, QString overlay, bool keyframe, int frameId,
                         double fps, bool still);
    // The time of day of each picture shown.
    void setTime(QTime time);
    // The position of each picture shown: its index in the current file and
    // its time "yyyyMMddHHmmsszzz".
    void slidervalue(int index, QString timestamp);
    // End (start, backwards) of the current file without a playlist neighbour.
    void set_next_file();
    void set_previous_file();
    // A file was opened for reading (open_file, continue_read).
    void startRead();
    void stateChanged(int state);
    void rateChanged(qreal rate);
    // The engine moved to another data file.
    void fileChanged(QString dataPath);
    // Playing reached the end (start) of the recordings: no further file.
    void endOfRecordings(QString direction);

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    struct Entries;
    using EntriesPtr = std::shared_ptr<const Entries>;

    static EntriesPtr loadEntries(const QString &dataPath, const QString &streamId);
    static qint64 parseTimeMs(const QString &timestamp);
    static QString normalizeStreamId(const QString &id);

    bool openEntries(EntriesPtr entries);
    // Emits startRead() (when `started`) and fileChanged() for the file just
    // opened; false when a receiver moved the engine on from its slot
    // (stopped it, or opened another file), so the caller must leave it be.
    bool announceFile(bool started);
    void closeFile();
    void forgetPosition();
    void setState(State s);
    void updateTimer();
    void anchorClock();
    qint64 clockTarget() const;
    void onTick();
    bool tickForward(qint64 target);
    bool tickBackward(qint64 target);
    // Moves to the neighbouring file for playing or stepping; false at the
    // end of the recordings (signals emitted as documented above).
    bool switchFile(bool forward);
    QString neighbourPath(const QString &path, bool forward) const;
    EntriesPtr takeEntries(const QString &path);
    // The prepared opening, forgotten here, when it is for `path` and the
    // stream asked for (waits while it is being prepared).
    OpeningPtr takeOpening(const QString &path);

    // Milliseconds of the day of entry `index`, from its own timestamp.
    qint64 msOfDay(int index) const;
    int firstKeyAtOrAfter(qint64 ms) const;
    // The last entry due at `ms` on the pacing scale (Entries::play).
    int lastIndexAtOrBefore(qint64 ms) const;
    int keyAtOrBefore(int index) const;
    bool isKey(int index) const;
    // Shows entry `index`, waiting for its picture; false when it cannot be shown.
    bool showFrame(int index);
    bool showPicture(int index, const ZuPictureWorker::PicturePtr &picture);
    bool emitPicture(int index, const ZuPictureWorker::PicturePtr &picture);
    // The picture as images that share its buffers and keep it alive.
    static CanvasPicture canvasPicture(const ZuPictureWorker::PicturePtr &picture);
    // The picture with its full-size BGRA, converted now when the worker
    // made the scaled one only; null when it cannot be converted.
    ZuPictureWorker::PicturePtr withFullPicture(const ZuPictureWorker::PicturePtr &picture);
    // Tells the worker where the engine is and where it goes; `horizon` is
    // the index the playing clock has reached.
    void updatePlan(int horizon = -1);
    // The same around `pos`.
    void planFor(int pos, int horizon);
    // Hands the neighbouring files to the worker once they are parsed.
    void offerNeighbours();
    // Starts parsing both neighbours of the current file.
    void prefetchNeighbours();
    void forgetNeighbours();
    // Playing into the neighbour in `forward` direction shows its first
    // picture without waiting (else the tick shows nothing new and the
    // file end is tried again on the next tick).
    bool readyToEnter(bool forward);
    bool seekToMs(qint64 ms, bool exactFrame);
    bool stepBy(int delta);

    QTimer m_timer;
    State m_state = Stopped;
    qreal m_rate = 1.0;
    QString m_streamId;
    QString m_path;
    QString m_overlayText;
    QStringList m_playlist;
    std::vector<qint64> m_playlistStart; // start time of each playlist file from its name, -1 unknown

    EntriesPtr m_entries;
    ZuFrameList m_frames;           // m_entries->frames (shared data)
    double m_fps = -1.0;
    int m_pos = -1;                 // entry shown last (or decoded last while emits are skipped)
    int m_shownPos = -1;            // entry whose picture was emitted last
    bool m_sliderHeld = false;
    quint64 m_generation = 0;       // counts file openings (detects re-entrant continue_read)
    quint64 m_commands = 0;         // counts stop, open_file and continue_read (a receiver moving the engine on)

    std::unique_ptr<ZuPictureWorker> m_worker;
    int m_stepDirection = 1;        // of the last step or rate: where the worker prepares pictures
    bool m_opensPlaying = false;    // open_file() shows the first picture of a file it then plays

    QElapsedTimer m_clock;
    qint64 m_anchorMedia = 0;       // recording ms at the clock's start
    QElapsedTimer m_sinceEmit;
    int m_frameId = 0;

    // The files before and after the current one in the playlist, their
    // entries parsed ahead on the thread pool.
    struct Neighbour {
        QString path;
        QFuture<EntriesPtr> parsing;
        EntriesPtr entries; // once parsed, or the file just left
        bool offered = false; // handed to the worker
    };
    Neighbour m_neighbours[2];
    QFutureWatcher<EntriesPtr> m_parsed[2];
    // Playing: since when the clock has passed the file's end while the
    // next file was not ready to show.
    QElapsedTimer m_enterWait;

    QFuture<OpeningPtr> m_opening;

    qint64 m_emittedCount = 0;
};
