#include "exportfolder.h"
#include "seekfile.h"
#include "zufile.h"
#include "zutag.h"

#include <QDirIterator>
#include <QtTest>

#include <memory>

using CameraHash = QHash<int, QString>;

// Reads the generated export folder (read only) the way the player does and
// checks that every file of it is understood.
class TestSmallExport : public QObject
{
    Q_OBJECT

private:
    QString m_root;

    QStringList filesWithSuffix(const QStringList &patterns) const
    {
        QStringList out;
        QDirIterator it(m_root, patterns, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            out << it.next();
        out.sort();
        return out;
    }

private slots:
    void initTestCase()
    {
        const QDir small(QStringLiteral(ZU_BINARY_DIR "/testdata/small"));
        const QStringList roots = small.entryList({QStringLiteral("talvor_*")}, QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY2(roots.size() == 1, qPrintable(QStringLiteral("expected one export folder in ") + small.path()));
        QVERIFY(ZuExportFolder::isExportFolderName(roots.first()));
        m_root = small.filePath(roots.first());
        QCOMPARE(ZuExportFolder::exportRootOf(m_root + QStringLiteral("/x")), QFileInfo(m_root).absoluteFilePath());
    }

    void layoutNamesAreUnderstood()
    {
        const QStringList days = QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        int recordings = 0;
        for (const QString &day : days) {
            if (day.startsWith(QLatin1Char('.')))
                continue;
            QVERIFY2(ZuExportFolder::isDayFolderName(day), qPrintable(day));
            const QDate date = ZuExportFolder::dayFolderDate(day);
            const QDir dayDir(QDir(m_root).filePath(day));
            for (const QString &segment : dayDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QVERIFY2(ZuExportFolder::isSegmentFolderName(segment), qPrintable(segment));
                const QDir segDir(dayDir.filePath(segment));
                for (const QString &file : segDir.entryList(QDir::Files)) {
                    const ZuExportFolder::NameInfo info = ZuExportFolder::classify(file);
                    switch (info.kind) {
                    case ZuExportFolder::FileKind::Unknown:
                        qInfo("not classified: %s", qPrintable(segDir.filePath(file)));
                        break;
                    case ZuExportFolder::FileKind::CameraList:
                    case ZuExportFolder::FileKind::CameraListIndex:
                        break;
                    default:
                        QVERIFY2(info.date == date, qPrintable(file));
                        if (info.kind == ZuExportFolder::FileKind::Video)
                            ++recordings;
                    }
                }
            }
        }
        QVERIFY(recordings > 0);
    }

    void seekFilesMatchTheirDataFiles()
    {
        const QStringList seeks = filesWithSuffix({QStringLiteral("*.zuseek"), QStringLiteral("*.zuaudioseek")});
        QVERIFY(!seeks.isEmpty());
        for (const QString &seek : seeks) {
            const QString data = ZuSeekFile::dataPathFor(seek);
            QVERIFY2(QFileInfo::exists(data), qPrintable(data));
            const ZuSeekFile::Result r = ZuSeekFile::parse(seek, data);
            QVERIFY2(r.ok && !r.truncated && r.malformedLines == 0, qPrintable(seek));
            QVERIFY2(!r.frames.isEmpty(), qPrintable(seek));
            qint64 expected = 0;
            for (const ZuFrame &f : r.frames) {
                QCOMPARE(f.offset, expected);
                expected += f.size;
            }
            QCOMPARE(expected, QFileInfo(data).size());
            const bool audio = seek.endsWith(QLatin1String(".zuaudioseek"));
            QCOMPARE(r.frames.first().type, audio ? QStringLiteral("audio") : QStringLiteral("video"));
            // Each stream of the file, read alone, starts on a key frame and
            // keeps the offsets of the whole file.
            QSet<QString> streams;
            for (const ZuFrame &f : r.frames)
                streams.insert(f.type + f.stream_id);
            for (const QString &stream : std::as_const(streams)) {
                const ZuSeekFile::Result one = ZuSeekFile::parse(seek, data, stream);
                QVERIFY(!one.frames.isEmpty());
                if (!audio)
                    QVERIFY2(one.frames.first().isKeyframe(), qPrintable(seek + QLatin1Char(' ') + stream));
                for (const ZuFrame &f : one.frames) {
                    const auto match = std::find_if(r.frames.cbegin(), r.frames.cend(), [&](const ZuFrame &g) {
                        return g.offset == f.offset;
                    });
                    QVERIFY(match != r.frames.cend());
                    QCOMPARE(match->stream_id, f.stream_id);
                    QCOMPARE(match->size, f.size);
                }
            }
        }
        // Every data file has its seek file.
        for (const QString &data : filesWithSuffix({QStringLiteral("*.zuvideo"), QStringLiteral("*.zuaudio")}))
            QVERIFY2(QFileInfo::exists(ZuSeekFile::seekPathFor(data)), qPrintable(data));
    }

    void cameraListsNameTheCameras()
    {
        const CameraHash expected{{3, QStringLiteral("Entrée principale")}, {12, QStringLiteral("Parking")}};
        const QStringList lists = filesWithSuffix({QStringLiteral("*.zunfo")});
        QVERIFY(!lists.isEmpty());
        CameraHash all;
        for (const QString &list : lists) {
            const CameraHash one = ZuFile::check_and_parse_nfo_file(QFileInfo(list), {});
            QVERIFY2(!one.isEmpty(), qPrintable(list));
            for (auto it = one.cbegin(); it != one.cend(); ++it)
                QCOMPARE(expected.value(it.key()), it.value());
            all.insert(one);
        }
        QCOMPARE(all, expected);

        // The folder-level reader agrees for every folder holding lists.
        QSet<QString> folders;
        for (const QString &list : lists)
            folders.insert(QFileInfo(list).absolutePath());
        for (const QString &folder : std::as_const(folders)) {
            const CameraHash one = ZuFile::hash_cameras_list(folder);
            QVERIFY(!one.isEmpty());
            for (auto it = one.cbegin(); it != one.cend(); ++it)
                QCOMPARE(expected.value(it.key()), it.value());
        }
    }

    void everyTagLoads()
    {
        for (const QString &file : filesWithSuffix({QStringLiteral("*.zutag")})) {
            std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(file));
            QVERIFY2(tag, qPrintable(file));
            const ZuExportFolder::NameInfo info = ZuExportFolder::classify(file);
            QCOMPARE(info.kind, ZuExportFolder::FileKind::Tag);
            QCOMPARE(tag->get_camera_id(), QString::number(info.cameraId));
            QCOMPARE(tag->get_tag_time().left(8), info.date.toString(QStringLiteral("yyyyMMdd")));
        }
    }
};

QTEST_GUILESS_MAIN(TestSmallExport)
#include "tst_small_export.moc"
