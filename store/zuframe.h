#pragma once
#include <QList>
#include <QString>

// One entry of a seek file: where one recorded frame lies in its data file.
// A data file holds its frames' bytes back to back in seek-file order, so an
// entry's offset is the sum of the sizes of all entries before it (of every
// stream of the file).
struct ZuFrame {
    QString timestamp;   // "yyyyMMddHHmmsszzz"
    QString stream_id;   // the decimal id after "video"/"audio" in the seek line, e.g. "0"
    QString codec;       // decoder name as written in the seek line: "h264", "hevc", "mjpeg", "aac"...
    QString resolution;  // "WxH" for video, empty for audio
    QString keyframe;    // "1" for a key frame, "0" otherwise (empty for audio)
    QString file_path;   // absolute path of the data file
    QString camera_name;
    QString type;        // "video" or "audio"
    bool used = false;
    int size = 0;        // bytes of the frame in the data file
    qint64 offset = 0;   // byte offset of the frame in the data file

    bool isKeyframe() const { return keyframe == QLatin1String("1"); }
    // Time of day "HHmmss" of the timestamp (characters 8..13).
    QString timeOfDay() const { return timestamp.mid(8, 6); }
};

using ZuFrameList = QList<ZuFrame>;
