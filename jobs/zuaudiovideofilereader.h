#pragma once
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QString>
#include <QThread>

#include <atomic>
#include <deque>

class QMutex;
class StreamFrame;

// Reads the recorded frames of one video stream from a list of data files
// and appends them, decoded, to a consumer's queue. Of all the entries of
// the files, in order, it keeps those from the first whose time of day
// ("HHmmss") is not before `begin` and before `end`, up to and including the
// first later one whose time of day is not before `end` (every entry when
// either is empty). Decoding starts at the first key frame of that range;
// the entries before it cannot be decoded on their own and are skipped.
//
// The consumer owns the queue and its mutex, which must outlive the
// thread; every frame appended belongs to the consumer. Before each frame
// the reader waits while the queue holds the maximum number of frames. It
// ends after the last entry, after a frame that cannot be read (readError()
// then tells), or soon after stop().
class ZuAudioVideoFileReader : public QThread
{
    Q_OBJECT
public:
    ZuAudioVideoFileReader(QList<QFileInfo> files, QString streamId, QString begin, QString end);
    // Stops the thread and waits for it.
    ~ZuAudioVideoFileReader() override;

    void set_camera_names(QHash<int, QString> names);
    void set_frame_queue(std::deque<StreamFrame *> *queue);
    void set_queue_mutex(QMutex *mutex);
    void set_max_queue(int frames);

    void stop();

    // Frames per second of the data file being read (entries over distinct
    // seconds of its seek file); -1 before its seek file is parsed.
    double fps() const { return m_fps.load(); }
    // Entries of the stream in the data file being read; -1 when none.
    int frame_count() const { return m_frameCount.load(); }
    // True when the reading ended at an entry that could not be read or
    // decoded.
    bool readError() const { return m_readError.load(); }

protected:
    void run() override;

private:
    bool push(StreamFrame *frame);

    QList<QFileInfo> m_files;
    QString m_streamId;
    QString m_begin;
    QString m_end;
    QHash<int, QString> m_cameraNames;
    std::deque<StreamFrame *> *m_queue = nullptr;
    QMutex *m_mutex = nullptr;
    int m_maxQueue = 30;
    std::atomic_bool m_stop{false};
    std::atomic<double> m_fps{-1.0};
    std::atomic_int m_frameCount{-1};
    std::atomic_bool m_readError{false};
};
