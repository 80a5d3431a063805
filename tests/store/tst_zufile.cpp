#include "encrypt.h"
#include "zufile.h"
#include "zutag.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <future>
#include <memory>

using CameraHash = QHash<int, QString>;

// Camera lists and markers: round trips, files made by the openssl command
// line (the recorder's side of the format), and hostile content.
class TestZuFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_keyHex;
    QString m_ivHex;
    int m_counter = 0;

    QString path(const QString &name) { return m_dir.filePath(name); }
    QString fresh(const QString &suffix) { return path(QStringLiteral("f%1%2").arg(++m_counter).arg(suffix)); }

    static void writeRaw(const QString &file, const QByteArray &bytes)
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), qint64(bytes.size()));
    }

    QString encrypted(const QByteArray &plain, const QString &suffix)
    {
        const QString file = fresh(suffix);
        writeRaw(file, Encrypt::encrypt(plain));
        return file;
    }

    // Runs `openssl enc` with the program's key; false when it cannot run.
    bool openssl(bool decrypt, const QString &in, const QString &out)
    {
        QStringList args{QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-K"), m_keyHex,
                         QStringLiteral("-iv"), m_ivHex, QStringLiteral("-in"), in, QStringLiteral("-out"), out};
        if (decrypt)
            args.insert(1, QStringLiteral("-d"));
        QProcess p;
        p.start(QStringLiteral("openssl"), args);
        return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QString opensslEncrypted(const QByteArray &plain, const QString &suffix)
    {
        const QString in = fresh(QStringLiteral(".plain"));
        writeRaw(in, plain);
        const QString out = fresh(suffix);
        if (!openssl(false, in, out))
            return QString();
        return out;
    }

    static CameraHash camerasFromJson(const QByteArray &json)
    {
        CameraHash h;
        ZuFile::parse_cameras_json(json, &h);
        return h;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile keyFile(QStringLiteral(ZU_SOURCE_DIR "/core/file_key.txt"));
        QVERIFY(keyFile.open(QIODevice::ReadOnly | QIODevice::Text));
        while (!keyFile.atEnd()) {
            const QString line = QString::fromLatin1(keyFile.readLine()).trimmed();
            if (line.startsWith(QLatin1String("KEY=")))
                m_keyHex = line.mid(4);
            else if (line.startsWith(QLatin1String("IV=")))
                m_ivHex = line.mid(3);
        }
        QCOMPARE(m_keyHex.size(), 64);
        QCOMPARE(m_ivHex.size(), 32);
    }

    void cameraListRoundTripAndMerge()
    {
        const CameraHash cams{{3, QStringLiteral("Entrée principale")}, {12, QStringLiteral("Parking")},
                              {0, QStringLiteral("Zéro")}, {INT_MAX, QStringLiteral("Max")}};
        QDir(path("day")).mkpath(QStringLiteral("."));
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(path("day/index.zunfo")), cams));
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(path("day/index.zunfo")), {}), cams);
        // The stored form is the documented JSON text.
        QCOMPARE(Encrypt().decryptFile(path("day/index.zunfo")),
                 QByteArray("{\"cameras\":[{\"id\":0,\"name\":\"Zéro\"},{\"id\":3,\"name\":\"Entrée principale\"},"
                            "{\"id\":12,\"name\":\"Parking\"},{\"id\":2147483647,\"name\":\"Max\"}]}"));

        // Merging keeps what was there; the merged file wins on the same id.
        const CameraHash merged = ZuFile::check_and_parse_nfo_file(
            QFileInfo(path("day/index.zunfo")), {{3, QStringLiteral("Old")}, {7, QStringLiteral("Seven")}});
        QCOMPARE(merged.value(3), QStringLiteral("Entrée principale"));
        QCOMPARE(merged.value(7), QStringLiteral("Seven"));
        QCOMPARE(merged.size(), 5);

        // A folder's lists are read in name order, later ones winning; other
        // files and sub-folders are not read.
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(path("day/100000.zunfo")),
                                                {{3, QStringLiteral("Early")}, {5, QStringLiteral("Five")}}));
        writeRaw(path("day/notes.txt"), "3=Nope\n");
        QDir(path("day")).mkpath(QStringLiteral("sub"));
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(path("day/sub/200000.zunfo")),
                                                {{99, QStringLiteral("Deep")}}));
        const CameraHash folder = ZuFile::hash_cameras_list(path("day"));
        QCOMPARE(folder.value(3), QStringLiteral("Entrée principale"));
        QCOMPARE(folder.value(5), QStringLiteral("Five"));
        QVERIFY(!folder.contains(99));
        QVERIFY(ZuFile::hash_cameras_list(path("nowhere")).isEmpty());

        // Writing replaces the old file whole.
        QVERIFY(ZuFile::create_zunfo_index_file(QFileInfo(path("day/index.zunfo")), {{1, QStringLiteral("A")}}));
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(path("day/index.zunfo")), {}),
                 (CameraHash{{1, QStringLiteral("A")}}));
        QVERIFY(!ZuFile::create_zunfo_index_file(QFileInfo(path("missing-folder/index.zunfo")), cams));
    }

    void filesFromOpensslAreRead()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            QSKIP("openssl command line not installed");
        const QString list = opensslEncrypted(
            "{\"cameras\":[{\"id\":3,\"name\":\"Entrée principale\"},{\"id\":12,\"name\":\"Parking\"}]}",
            QStringLiteral(".zunfo"));
        QVERIFY(!list.isEmpty());
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(list), {}),
                 (CameraHash{{3, QStringLiteral("Entrée principale")}, {12, QStringLiteral("Parking")}}));

        const QString tagFile = opensslEncrypted(
            "{\"id\":\"41\",\"time\":\"20240115103012\",\"camera\":\"3\",\"name\":\"Livraison\","
            "\"description\":\"Camion blanc devant l'entrée\"}",
            QStringLiteral(".zutag"));
        std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(tagFile));
        QVERIFY(tag);
        QCOMPARE(tag->get_tag_id(), QStringLiteral("41"));
        QCOMPARE(tag->get_tag_time(), QStringLiteral("20240115103012"));
        QCOMPARE(tag->get_camera_id(), QStringLiteral("3"));
        QCOMPARE(tag->get_tag_name(), QStringLiteral("Livraison"));
        QCOMPARE(tag->get_description(), QStringLiteral("Camion blanc devant l'entrée"));

        // And the other way: what the program writes, openssl reads back.
        const QString ours = fresh(QStringLiteral(".zutag"));
        QVERIFY(ZuFile::write_tag_file(ours, *tag));
        const QString back = fresh(QStringLiteral(".json"));
        QVERIFY(openssl(true, ours, back));
        QFile f(back);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), ZuFile::tag_json(*tag));
    }

    void hostileCameraLists()
    {
        const CameraHash before{{1, QStringLiteral("Kept")}};
        // Files that do not decrypt, do not hold JSON, or hold no list leave
        // the hash as it was.
        const QStringList bad = {
            [&] { const QString f = fresh(".zunfo"); writeRaw(f, "not encrypted at all"); return f; }(),
            [&] { const QString f = fresh(".zunfo"); writeRaw(f, QByteArray(64, '\x5a')); return f; }(),
            [&] { const QString f = fresh(".zunfo"); writeRaw(f, QByteArray()); return f; }(),
            encrypted("3=Plain text inside", ".zunfo"),
            encrypted("[1,2,3]", ".zunfo"),
            encrypted("{\"cameras\":{\"id\":3}}", ".zunfo"),
            encrypted("{\"cams\":[]}", ".zunfo"),
            encrypted(QByteArray(100000, '[') + QByteArray(100000, ']'), ".zunfo"),
            path("does-not-exist.zunfo"),
        };
        for (const QString &file : bad)
            QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(file), before), before);

        // Larger than any camera list: refused before decrypting.
        const QString big = fresh(".zunfo");
        QFile f(big);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(ZuFile::kMaxCameraListBytes + 16));
        f.close();
        QCOMPARE(ZuFile::check_and_parse_nfo_file(QFileInfo(big), before), before);

        // Single bad entries are skipped, good ones kept.
        const QString longName(10000, QLatin1Char('n'));
        const CameraHash got = camerasFromJson(
            "{\"cameras\":[1, \"x\", null,"
            "{\"id\":\"7\",\"name\":\"Seven as text\"},"
            "{\"id\":1.5,\"name\":\"Fraction\"},"
            "{\"id\":-1,\"name\":\"Negative\"},"
            "{\"id\":1e10,\"name\":\"Too big\"},"
            "{\"id\":\"99999999999\",\"name\":\"Too big text\"},"
            "{\"id\":\"abc\",\"name\":\"Letters\"},"
            "{\"id\":true,\"name\":\"Bool\"},"
            "{\"id\":8,\"name\":42},"
            "{\"id\":9,\"name\":\"   \"},"
            "{\"name\":\"No id\"},"
            "{\"id\":10,\"name\":\"" + longName.toUtf8() + "\"},"
            "{\"id\":11,\"name\":\"Line\\nbreak\\u0000nul\"},"
            "{\"id\":12,\"name\":\"First\"},{\"id\":12,\"name\":\"Second\"}"
            "]}");
        QCOMPARE(got.keys().size(), 4);
        QCOMPARE(got.value(7), QStringLiteral("Seven as text"));
        QCOMPARE(got.value(10).size(), ZuFile::kMaxNameChars);
        QCOMPARE(got.value(11), QStringLiteral("Line break nul"));
        QCOMPARE(got.value(12), QStringLiteral("Second"));
    }

    void plainCameraNames()
    {
        const QString file = fresh(".zunfo");
        writeRaw(file, "\xEF\xBB\xBF"
                       "3=Entrée principale\r\n"
                       "12=Parking\n"
                       "no equals sign\n"
                       "=no id\n"
                       "x=letters\n"
                       "-4=negative\n"
                       "99999999999=too big\n"
                       "5=\n"
                       "7=a=b\n"
                       " 8 =  padded  \n"
                       + QByteArray("9=") + QByteArray(20000, 'z') + "\n"
                       "\xff\xfe=binary\n"
                       "12=Parking again");
        const CameraHash got = ZuFile::parse_camera_names_file(QFileInfo(file), {{1, QStringLiteral("Kept")}});
        QCOMPARE(got, (CameraHash{{1, QStringLiteral("Kept")},
                                  {3, QStringLiteral("Entrée principale")},
                                  {12, QStringLiteral("Parking again")},
                                  {7, QStringLiteral("a=b")},
                                  {8, QStringLiteral("padded")}}));

        const CameraHash cams{{3, QStringLiteral("Entrée principale")}, {12, QStringLiteral("Parking")}};
        const QString written = fresh(".zunfo");
        QVERIFY(ZuFile::write_camera_names_file(written, cams));
        QCOMPARE(ZuFile::parse_camera_names_file(QFileInfo(written), {}), cams);
        QVERIFY(ZuFile::parse_camera_names_file(QFileInfo(path("absent.zunfo")), {}).isEmpty());

        // A named pipe under a camera-list name is refused instead of
        // blocking the reader until some writer opens it.
        const QString fifo = fresh(".zunfo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        auto parsed = std::async(std::launch::async, [fifo] {
            return ZuFile::parse_camera_names_file(QFileInfo(fifo), {{1, QStringLiteral("Kept")}});
        });
        if (parsed.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            parsed.wait();
            QFAIL("reading a named pipe blocked");
        }
        QCOMPARE(parsed.get(), (CameraHash{{1, QStringLiteral("Kept")}}));
    }

    void tagRoundTrip()
    {
        ZuTag tag(QStringLiteral("17"), QStringLiteral("20240229235959"), QStringLiteral("12"),
                  QStringLiteral("Véhicule suspect"), QStringLiteral("Plaque illisible\nvers la sortie"));
        QCOMPARE(tag.get_mark_x(), 0);
        tag.set_mark_x(120);
        tag.set_mark_width(8);
        QCOMPARE(tag.get_mark_x(), 120);
        QCOMPARE(tag.get_mark_width(), 8);

        const QString file = path("12_20240229_235959.zutag");
        QVERIFY(ZuFile::write_tag_file(file, tag));
        std::unique_ptr<ZuTag> back(ZuFile::load_tag_file(file));
        QVERIFY(back);
        QVERIFY(*back == tag);
        QCOMPARE(back->get_description(), QStringLiteral("Plaque illisible\nvers la sortie"));
        QCOMPARE(back->get_mark_x(), 0);
    }

    void hostileTags_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("not json") << QByteArray("hello");
        QTest::newRow("array") << QByteArray("[]");
        QTest::newRow("no time") << QByteArray("{\"id\":\"1\",\"camera\":\"3\",\"name\":\"n\"}");
        QTest::newRow("time number") << QByteArray("{\"time\":20240115103012,\"camera\":\"3\"}");
        QTest::newRow("time short") << QByteArray("{\"time\":\"2024011510301\",\"camera\":\"3\"}");
        QTest::newRow("month 13") << QByteArray("{\"time\":\"20241315103012\",\"camera\":\"3\"}");
        QTest::newRow("hour 24") << QByteArray("{\"time\":\"20240115243012\",\"camera\":\"3\"}");
        QTest::newRow("no camera") << QByteArray("{\"time\":\"20240115103012\"}");
        QTest::newRow("camera letters") << QByteArray("{\"time\":\"20240115103012\",\"camera\":\"cam3\"}");
        QTest::newRow("camera negative") << QByteArray("{\"time\":\"20240115103012\",\"camera\":-3}");
        QTest::newRow("camera huge") << QByteArray("{\"time\":\"20240115103012\",\"camera\":\"99999999999\"}");
        QTest::newRow("camera object") << QByteArray("{\"time\":\"20240115103012\",\"camera\":{}}");
    }
    void hostileTags()
    {
        QFETCH(QByteArray, json);
        std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(encrypted(json, ".zutag")));
        QVERIFY(!tag);
    }

    void lenientTagFields()
    {
        QVERIFY(!ZuFile::load_tag_file(path("absent.zutag")));
        const QString garbage = fresh(".zutag");
        writeRaw(garbage, QByteArray(33, '\x01'));
        QVERIFY(!ZuFile::load_tag_file(garbage));

        // Optional texts of the wrong type come out empty; numbers are
        // written as decimal texts; long texts are cut.
        const QByteArray json = "{\"id\":41,\"time\":\"20240115103012\",\"camera\":3,\"name\":[\"x\"],\"description\":\""
                                + QByteArray(10000, 'd') + "\"}";
        std::unique_ptr<ZuTag> tag(ZuFile::load_tag_file(encrypted(json, ".zutag")));
        QVERIFY(tag);
        QCOMPARE(tag->get_tag_id(), QStringLiteral("41"));
        QCOMPARE(tag->get_camera_id(), QStringLiteral("3"));
        QVERIFY(tag->get_tag_name().isEmpty());
        QCOMPARE(tag->get_description().size(), ZuFile::kMaxDescriptionChars);

        std::unique_ptr<ZuTag> padded(ZuFile::load_tag_file(
            encrypted("{\"id\":\"1\",\"time\":\"20240115103012\",\"camera\":\"007\",\"name\":\"\\u001b[31mred\"}", ".zutag")));
        QVERIFY(padded);
        QCOMPARE(padded->get_camera_id(), QStringLiteral("7"));
        QCOMPARE(padded->get_tag_name(), QStringLiteral("[31mred"));
    }

    void cleanTextKeepsCharactersWhole()
    {
        // A cut in the middle of a surrogate pair drops the whole character.
        const QString emoji = QStringLiteral("ab") + QString::fromUtf8("\xF0\x9F\x98\x80");
        QCOMPARE(ZuFile::clean_text(emoji, 3), QStringLiteral("ab"));
        QCOMPARE(ZuFile::clean_text(emoji, 4), emoji);
        QCOMPARE(ZuFile::clean_text(QStringLiteral("a\tb\r\nc"), 100, true), QStringLiteral("a b\nc"));
        QCOMPARE(ZuFile::clean_text(QStringLiteral("a\tb\r\nc"), 100), QStringLiteral("a b  c"));
    }
};

QTEST_GUILESS_MAIN(TestZuFile)
#include "tst_zufile.moc"
