#pragma once
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <deque>

class StreamFrame;
class ZuStreamParser;

// Fetches a time range of one camera from a recorder as an HTTP multipart
// frame stream and turns it into a file, on its own thread:
// - re-encode road: the decoded pictures are encoded (libx264, hevc or the
//   codec the video format names) with a time caption;
// - raw road (the video format contains "raw"): the parts' bytes are written
//   as received into a temporary file that is remuxed into the output file.
// Either road may then write a descriptor file and pack it with the video
// into a zip archive, which is read back to verify it.
//
// Each run ends with exactly one of finished() and error(code), emitted as
// the run's last step (the stream client is stopped and joined before it),
// so a job may start the worker again as soon as it has one of them.
class ZuDownload_encode_data : public QThread
{
    Q_OBJECT
public:
    ZuDownload_encode_data();
    // Stops a run in progress and waits for it; frees the stream client and
    // the frames left in the queue. A run cut short here is abandoned as by
    // a user stop: no half-done output is finished as if it were complete.
    ~ZuDownload_encode_data() override;

    // Starts a run, as QThread::start. The stop flags of the last run are
    // cleared here, before the thread exists, so that a stop asked for right
    // after the start is never lost; nothing happens while a run is going.
    void start(QThread::Priority priority = QThread::InheritPriority);

    // Configuration, set before start().
    void setScheme(const QString &scheme) { m_scheme = scheme; }
    void setHost(const QString &host) { m_host = host; }
    void setPort(const QString &port) { m_port = port; }
    void setPath(const QString &path) { m_path = path; }
    // End of the range, "yyyy-MM-dd HH:mm:ss.zzz" like the frames' timestamps.
    void setEndTimestamp(const QString &end) { m_endTimestamp = end; }
    void setOutputFile(const QString &path) { m_outputFile = path; }
    void setVideoFormat(const QString &format) { m_videoFormat = format; }
    void setCaptionLabel(const QString &label) { m_captionLabel = label; }
    // The descriptor's content as Base64 text, and the file to write it to.
    void setDescriptorData(const QString &base64) { m_descriptorData = base64; }
    void setDescriptorFile(const QString &path) { m_descriptorFile = path; }
    // Empty: no archive.
    void setArchiveFile(const QString &path) { m_archiveFile = path; }
    // Anything but 0 asks for the caption.
    void setCaptionFlag(int flag) { m_captionFlag = flag; }
    // Frames per second of the raw road (and of the encoder when the stream
    // does not tell); 0 or less: unknown.
    void setFrameRate(int fps) { m_frameRate = fps; }

    QString outputFile() const { return m_outputFile; }
    QString archiveFile() const { return m_archiveFile; }
    QString descriptorFile() const { return m_descriptorFile; }
    QString videoFormat() const { return m_videoFormat; }
    QString lastTimestamp() const;
    // Why the last run failed when its error code alone does not say it (a
    // full disk); empty otherwise. Set before error() is emitted.
    QString failureText() const;
    // The stream's address as the client fetches it.
    QString streamUrl() const;

    // Raw road steps, also run on their own: 1 on success or a negative
    // export error code.
    int descriptor();
    int archive();

    // "h264" and "h265" (any case) become "libx264" and "hevc"; other formats
    // are passed on in lower case.
    static QString encoderCodecName(const QString &videoFormat);
    static bool isRawFormat(const QString &videoFormat);
    // The per-user download folder ("<home>/.ZuPlayer/ZUDOWNLOAD/"); each run
    // works in a folder of its own below it.
    static QString temporaryFolder();

Q_SIGNALS:
    void start_download();
    void frame_downloaded_encoded(QString current_timestamp, QString end_timestamp);
    void generic_message(QString message);
    void finished();
    void error(int code);

public Q_SLOTS:
    void set_stop();
    void set_stop_from_user();
    // The stream client failed: the frames already queued are still used,
    // then the run fails with -11.
    void get_error();

protected:
    void run() override;

private:
    int runEncode();
    int runRaw();
    void startParser(bool raw);
    void stopParser();
    // Stops and joins the stream client of the last run, frees it and the
    // frames it left in the queue.
    void releaseParser();
    // How long a run has gone without an answer of the recorder (a frame it
    // could use): the waits for an empty queue, and one more for each wait's
    // length of time spent on frames of no use, which may come as fast as
    // the recorder likes.
    struct Waits {
        int count = 0;
        QElapsedTimer clock; // since the last answer or wait
        void answered()
        {
            count = 0;
            clock.start();
        }
    };
    // The frame at the head of the queue, or null after one wait for it. A
    // failed stream whose frames are all used ends the run with -11; one
    // that ended, or gave no answer for more than 30 waits, with `silentCode`.
    StreamFrame *waitFrame(int waitMs, const QString &road, int silentCode, Waits &waits, int &result);
    // Whether `upcoming` more bytes written into `folder` would eat into the
    // space kept free on its file system; the run's failure text then says
    // so.
    bool diskFull(const QString &folder, qint64 upcoming, const QString &road);
    StreamFrame *front();
    void dropFront();
    void clearQueue();
    // True when the client has ended and the queue is empty: no frame can come.
    bool streamExhausted();
    // The first rate the client measured among the queued frames; -1 when none.
    double queuedRate();
    bool rateSettled(const QDeadlineTimer &deadline);
    void setLastTimestamp(const QString &timestamp);
    void setFailureText(const QString &text);
    int finishOutputs(int result);

    QMutex m_parserLock; // guards m_parser against set_stop from other threads
    ZuStreamParser *m_parser = nullptr;
    QMutex m_queueLock;
    std::deque<StreamFrame *> m_queue;

    QString m_host;
    QString m_port;
    QString m_path;
    QString m_scheme;
    QString m_endTimestamp;
    QString m_outputFile;
    QString m_videoFormat;
    QString m_captionLabel;
    QString m_descriptorData;
    QString m_descriptorFile;
    QString m_archiveFile;
    mutable QMutex m_lastLock;
    QString m_lastTimestamp;
    QString m_failureText;
    int m_captionFlag = -1;
    int m_frameRate = -1;
    double m_streamFps = -1.0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_stoppedByUser{false};
    std::atomic<bool> m_streamFailed{false};
};
