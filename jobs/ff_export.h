#pragma once
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <deque>

#include "placefile.h"
#include "zuaudiovideofilereader.h"

class StreamFrame;

// Turns the recorded frames of one camera between a begin and an end time
// into a video file. `run` starts a frame reader thread that decodes the
// frames of the range into this worker's queue; the worker opens the encoder
// with the first frame's size and format, encodes every frame from the first
// one at or after the begin (a key frame of the file) with its time caption
// and reports progress.
//
// Endings: endingsignal() after a complete file or a user stop that left a
// playable file; error(code) instead (and no endingsignal) when the encoder
// cannot be opened (-5), the range holds no frame (-10), a frame cannot
// be read or encoded (-14), or the user stopped before anything was encoded
// (-34). An error ending leaves no file under the output name: what was
// encoded is removed, as it would pass for the whole range (a file that
// stood there before stays as it was). The finished file replaces at its
// name only the file that stood there when configure() was called (the
// user agreed to replace it): a file that took the name since stays, the
// export is kept beside it and outputNameTaken(kept path) ends the run
// instead of endingsignal(). Whatever the ending, the reader thread has
// been stopped, joined and freed before the worker's thread ends, and the
// end never waits for the GUI thread.
class ff_export : public QThread
{
    Q_OBJECT
public:
    // Frames held between reader and encoder at most.
    static constexpr int kMaxQueue = 30;
    // From this many queued frames on, the worker keeps the queue mutex
    // between its passes, so the reader waits on the mutex and goes on the
    // moment a frame has been taken. A reader that finds the queue full
    // sleeps 300 ms instead, which would leave a fast encoder idle for most
    // of that time (30 frames last 100 ms at 300 frames a second).
    static constexpr int kGateFrames = 20;
    // The longest single sleep of the worker while its queue is empty.
    static constexpr int kEmptyWaitMs = 300;

    ff_export();
    ~ff_export() override;

    void set_files(QList<QFileInfo> files);
    void set_begin_time(QString begin);
    void set_end_time(QString end);
    void set_camera_names(QHash<int, QString> names);
    void set_stream_id(QString id);
    // Called when the user has chosen the output: what stands at its name
    // then is the one file the export may replace.
    bool configure(QString outputPath, QString encoderName, int rate, bool caption, QString captionSize);

    // Frames encoded by the last run (tests and the benchmark).
    int framesEncoded() const { return m_framesEncoded.load(); }
    // Frames of the last run that the decoder reported as damaged; they are
    // encoded all the same.
    int damagedFrames() const { return m_damagedFrames.load(); }
    // Data of the range that the last run left out because no seek entry
    // reaches it (as the reader lists it); read after endingsignal().
    QList<ZuAudioVideoFileReader::Unindexed> unindexedData() const;
    // Milliseconds the last run spent waiting for frames once encoding had
    // begun (the encoder idle for want of decoded frames).
    qint64 starvedMs() const { return m_starvedMs.load(); }
    // The encoder name that configure's name maps to ("h264" -> "libx264",
    // "h265" -> "hevc"), in lower case.
    static QString encoderFor(const QString &name);
    // The whole frame rate handed to the encoder for a reader's rate and the
    // first frame's own rate: the first usable one of the two, else 25.
    static int encoderFps(double readerFps, double frameFps);

public Q_SLOTS:
    void set_stop();

Q_SIGNALS:
    void valueChanged(int value);
    void endingsignal();
    void error(int code);
    void frame_downloaded_encoded(QString current, QString end);
    void outputNameTaken(QString keptAs);

protected:
    void run() override;

private Q_SLOTS:
    void readerFinished();

private:
    StreamFrame *head();
    int queueSize();
    // Takes the first frame out of the queue (nullptr when it is empty);
    // the caller owns it.
    StreamFrame *takeHead();
    void dropHead();
    // Keeps the reader waiting on the queue mutex while kGateFrames or more
    // frames are queued, and lets it go below that.
    void updateGate();
    void openGate();
    void freeQueue();
    // Sleeps while the queue is empty, in short slices, for at most
    // kEmptyWaitMs; returns early on a frame, the reader's end or a stop.
    void waitForFrames();

    ZuAudioVideoFileReader *m_reader = nullptr;
    QMutex m_queueMutex;
    std::deque<StreamFrame *> m_queue;
    std::atomic_bool m_stop{false};
    bool m_caption = false;
    std::atomic_bool m_readerFinished{false};
    QString m_outputPath;
    placefile::Identity m_replaceable;
    QString m_encoderName;
    QString m_captionSize;
    int m_rate = 0;
    QList<QFileInfo> m_files;
    QString m_beginTime;
    QString m_endTime;
    QString m_streamId;
    QHash<int, QString> m_cameraNames;

    // Guards m_reader between set_stop (GUI thread) and run's end.
    QMutex m_readerMutex;
    std::atomic_int m_framesEncoded{0};
    std::atomic_int m_damagedFrames{0};
    mutable QMutex m_unindexedMutex;
    QList<ZuAudioVideoFileReader::Unindexed> m_unindexed;
    std::atomic<qint64> m_starvedMs{0};
    // Worker thread only: the worker holds the queue mutex across passes.
    bool m_gateHeld = false;
};
