// Seek files: whatever the text, every entry kept lies inside the data file,
// offsets are running sums in file order, a stream filter keeps exactly the
// matching entries, and what the writer makes of the entries reads back the
// same. The day's list of recordings, which reads only a seek file's edges,
// gives a time range within the day and decimal stream ids.
#include "dayscan.h"
#include "fuzz_support.h"
#include "seekfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
constexpr qint64 kDataBytes = 64 * 1024;
QString g_seek;
QString g_data;
QString g_copy;
QString g_day;

QString describe(const ZuFrame &f)
{
    return QStringLiteral("%1 %2%3 %4+%5").arg(f.timestamp, f.type, f.stream_id).arg(f.offset).arg(f.size);
}

bool sameEntry(const ZuFrame &a, const ZuFrame &b)
{
    return a.timestamp == b.timestamp && a.type == b.type && a.stream_id == b.stream_id && a.codec == b.codec &&
           a.resolution == b.resolution && a.keyframe == b.keyframe && a.size == b.size;
}

void checkFilter(const ZuFrameList &all, const QString &streamId)
{
    const ZuSeekFile::Result some = ZuSeekFile::parse(g_seek, g_data, streamId);
    ZuFrameList expected;
    for (const ZuFrame &f : all) {
        const bool typed = streamId.startsWith(QLatin1String("video")) || streamId.startsWith(QLatin1String("audio"));
        const bool match = typed ? f.type + f.stream_id == streamId : f.stream_id == streamId;
        if (match)
            expected.append(f);
    }
    ZU_FUZZ_CHECK(some.frames.size() == expected.size(), streamId);
    for (int i = 0; i < expected.size(); ++i) {
        ZU_FUZZ_CHECK(sameEntry(some.frames[i], expected[i]) && some.frames[i].offset == expected[i].offset,
                      describe(some.frames[i]));
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    const QString dir = zufuzz::scratchDir();
    g_day = dir + QStringLiteral("/2024-03-05");
    const QString segment = g_day + QStringLiteral("/140000");
    if (!QDir().mkpath(segment))
        zufuzz::fail("cannot make the day folder", segment);
    g_data = segment + QStringLiteral("/3_20240305_140000.zuvideo");
    g_seek = segment + QStringLiteral("/3_20240305_140000.zuseek");
    g_copy = dir + QStringLiteral("/copy.zuseek");
    QFile data(g_data);
    if (!data.open(QIODevice::WriteOnly) || !data.resize(kDataBytes))
        zufuzz::fail("cannot make the data file", g_data);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!zufuzz::writeFile(g_seek, zufuzz::bytes(data, size)))
        zufuzz::fail("cannot write the seek file", g_seek);

    const ZuSeekFile::Result all = ZuSeekFile::parse(g_seek, QString());
    ZU_FUZZ_CHECK(all.ok && !all.dataFileMissing, g_seek);
    const QString absoluteData = QFileInfo(g_data).absoluteFilePath();
    qint64 end = 0;
    for (const ZuFrame &f : all.frames) {
        ZU_FUZZ_CHECK(f.size > 0 && f.offset >= end && f.offset + f.size <= kDataBytes, describe(f));
        ZU_FUZZ_CHECK(f.file_path == absoluteData, f.file_path);
        ZU_FUZZ_CHECK(f.type == QLatin1String("video") || f.type == QLatin1String("audio"), describe(f));
        ZU_FUZZ_CHECK(f.timestamp.size() == 17, describe(f));
        end = f.offset + f.size;
    }

    checkFilter(all.frames, QStringLiteral("0"));
    checkFilter(all.frames, QStringLiteral("video1"));
    checkFilter(all.frames, QStringLiteral("audio0"));

    // Without its data file nothing lies inside it.
    const ZuSeekFile::Result orphan = ZuSeekFile::parse(g_seek, g_data + QStringLiteral(".gone"));
    ZU_FUZZ_CHECK(orphan.frames.isEmpty() && orphan.dataFileMissing, g_seek);

    // The writer's lines are entries the parser takes back unchanged.
    ZU_FUZZ_CHECK(ZuSeekFile::write(g_copy, all.frames), g_copy);
    const ZuSeekFile::Result again = ZuSeekFile::parse(g_copy, g_data);
    ZU_FUZZ_CHECK(again.frames.size() == all.frames.size() && again.malformedLines == 0 && !again.truncated,
                  QString::fromLatin1(zufuzz::readFile(g_copy).left(2000)));
    for (int i = 0; i < all.frames.size(); ++i)
        ZU_FUZZ_CHECK(sameEntry(again.frames[i], all.frames[i]), describe(again.frames[i]));

    const std::shared_ptr<ZuDayScan> day = ZuDayScan::scan(g_day);
    ZU_FUZZ_CHECK(day->ok && day->videos.size() == 1 && day->ranges.size() <= 1, g_day);
    for (const ZuDayScan::Range &r : day->ranges) {
        ZU_FUZZ_CHECK(r.cameraId == 3 && r.start >= 0 && r.start <= r.end && r.end < 24 * 3600000LL,
                      QStringLiteral("%1 to %2").arg(r.start).arg(r.end));
    }
    const QStringList streams = day->streams.value(3);
    for (int i = 0; i < streams.size(); ++i) {
        bool numeric = false;
        const int id = streams.at(i).toInt(&numeric);
        ZU_FUZZ_CHECK(numeric && streams.at(i).size() <= 8 && streams.count(streams.at(i)) == 1, streams.at(i));
        ZU_FUZZ_CHECK(i == 0 || streams.at(i - 1).toInt() <= id, streams.join(QLatin1Char(',')));
    }
    return 0;
}
