#include <QtTest>

#include "encrypt.h"
#include "export_error.h"
#include "http_singleton.h"
#include "streamframe.h"
#include "zulog.h"

#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

namespace {
QPair<QString, QString> keyAndIv()
{
    QFile f(QStringLiteral(ZU_SOURCE_DIR "/core/file_key.txt"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString key, iv;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("KEY="))
            key = QString::fromLatin1(line.mid(4)).trimmed();
        else if (line.startsWith("IV="))
            iv = QString::fromLatin1(line.mid(3)).trimmed();
    }
    return {key, iv};
}

// Runs `openssl enc` on in -> out; decrypt when `decrypt`.
bool opensslEnc(const QString &in, const QString &out, bool decrypt)
{
    const auto kv = keyAndIv();
    QStringList args{QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-K"), kv.first,
                     QStringLiteral("-iv"), kv.second, QStringLiteral("-in"), in, QStringLiteral("-out"), out};
    if (decrypt)
        args.insert(1, QStringLiteral("-d"));
    return QProcess::execute(QStringLiteral("openssl"), args) == 0;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}
} // namespace

class TestCore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { ZuLogFile::uninstall(); }

    // First: the application object must not exist yet. Worker threads log
    // and ask for it while the GUI thread changes the log level; under
    // ThreadSanitizer any unguarded access here is reported.
    void sharedStateFromManyThreads()
    {
        QTemporaryDir dir;
        ZuLogFile::install(dir.filePath(QStringLiteral("log")));
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        std::vector<Http_singleton *> seen(8, nullptr);
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                while (!go.load())
                    std::this_thread::yield();
                seen[size_t(i)] = Http_singleton::instance();
                for (int n = 0; n < 50; ++n)
                    logMessage("[INFO] Test :: from a worker");
            });
        }
        go = true;
        for (int n = 0; n < 50; ++n)
            setLevelValue(n % 2);
        for (std::thread &t : threads)
            t.join();
        setLevelValue(1);
        for (Http_singleton *p : seen)
            QCOMPARE(p, Http_singleton::instance());
    }

    void logHandlerFormatAndKinds()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("zulogfile.log"));
        setLevelValue(1);
        ZuLogFile::install(path);
        logMessage("[INFO] Test :: first");
        logMessage(QStringLiteral("[ERROR] Test :: accentué"));
        qWarning("a warning is never written");
        qInfo("an info");
        const QStringList lines = QString::fromUtf8(readAll(path)).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        const QRegularExpression re(QStringLiteral(
            R"(^\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}\] \{(Debug|Info)\} .+$)"));
        for (const QString &l : lines)
            QVERIFY2(re.match(l).hasMatch(), qPrintable(l));
        QVERIFY(lines.at(0).endsWith(QStringLiteral("{Debug} [INFO] Test :: first")));
        QVERIFY(lines.at(1).endsWith(QStringLiteral("[ERROR] Test :: accentué")));
        QVERIFY(lines.at(2).contains(QStringLiteral("{Info} an info")));
    }

    void logLevelZeroLogsNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log"));
        ZuLogFile::install(path);
        setLevelValue(0);
        logMessage("[INFO] silent");
        setLevelValue(1);
        QVERIFY(readAll(path).isEmpty());
    }

    void logKeepsWritingAfterAnotherWriterEmptiesIt()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log"));
        setLevelValue(1);
        ZuLogFile::install(path);
        logMessage("[INFO] before the upload");
        {
            QFile f(path); // as the crash report does once the server took the log
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.resize(0));
        }
        logMessage("[INFO] after");
        const QByteArray content = readAll(path);
        QVERIFY(!content.contains('\0'));
        QVERIFY(content.startsWith('['));
        QVERIFY(content.contains("[INFO] after"));
        QVERIFY(!content.contains("before the upload"));

        QVERIFY(QFile::remove(path)); // and when the file was removed outright
        logMessage("[INFO] recreated");
        QVERIFY(readAll(path).contains("[INFO] recreated"));
    }

    void logEmptiedPastSizeLimit()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(ZuLogFile::kMaxBytes)); // at the limit: kept
        }
        setLevelValue(1);
        ZuLogFile::install(path);
        logMessage("[INFO] one");
        QVERIFY(QFileInfo(path).size() > ZuLogFile::kMaxBytes);
        logMessage("[INFO] two");
        const QByteArray content = readAll(path);
        QVERIFY(content.size() < 200);
        QVERIFY(content.contains("[INFO] two"));
    }

    void encryptMatchesOpensslBothWays()
    {
        QTemporaryDir dir;
        Encrypt enc;
        const QByteArray plain = QByteArray("{\"cameras\":[{\"id\":3,\"name\":\"Entrée\"}]}").repeated(7);
        for (int cut : {0, 1, 15, 16, 17, int(plain.size())}) {
            const QByteArray p = plain.left(cut);
            const QString ours = dir.filePath(QStringLiteral("ours%1").arg(cut));
            const QString back = dir.filePath(QStringLiteral("back%1").arg(cut));
            QVERIFY(enc.encryptFile(ours, p));
            QVERIFY(opensslEnc(ours, back, true));
            QCOMPARE(readAll(back), p);

            const QString plainFile = dir.filePath(QStringLiteral("plain%1").arg(cut));
            const QString theirs = dir.filePath(QStringLiteral("theirs%1").arg(cut));
            writeAll(plainFile, p);
            QVERIFY(opensslEnc(plainFile, theirs, false));
            QCOMPARE(readAll(theirs), readAll(ours));
            QCOMPARE(enc.decryptFile(theirs), p);
        }
    }

    void decryptRefusesBadInput_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("empty") << QByteArray("") << "decrypt failed";
        QTest::newRow("not a block multiple") << QByteArray(33, 'x') << "decrypt failed";
        QTest::newRow("garbage block") << QByteArray::fromHex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff")
                                       << "decrypt failed";
        QTest::newRow("truncated") << Encrypt::encrypt(QByteArray(100, 'a')).left(96) << "decrypt failed";
    }

    void decryptRefusesBadInput()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, logLine);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("f"));
        writeAll(path, content);
        const QString logPath = dir.filePath(QStringLiteral("log"));
        setLevelValue(1);
        ZuLogFile::install(logPath);
        QVERIFY(Encrypt().decryptFile(path).isEmpty());
        QVERIFY(Encrypt().decryptFile(dir.filePath(QStringLiteral("missing"))).isEmpty());
        const QString log = QString::fromUtf8(readAll(logPath));
        QVERIFY(log.contains(QStringLiteral("[ERROR] Encrypt :: Decrypt file :: ") + logLine));
        QVERIFY(log.contains(QStringLiteral("[ERROR] Encrypt :: Decrypt file :: read failed")));
    }

    void decryptNeverBlocksOnAFifo()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("hash.json"));
        QCOMPARE(QProcess::execute(QStringLiteral("mkfifo"), {fifo}), 0);
        QVERIFY(Encrypt().decryptFile(fifo).isEmpty());
        QVERIFY(Encrypt().decryptFile(QStringLiteral("/dev/zero")).isEmpty());
    }

    void encryptFileNeverLeavesHalfAFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("nodir/x.zunfo"));
        QVERIFY(!Encrypt().encryptFile(path, "abc"));
        QVERIFY(!QFileInfo::exists(path));
    }

    void errorTexts()
    {
        QSet<QString> seen;
        for (int code = -34; code <= -1; ++code) {
            const QString t = export_error::errorMessage(code);
            QVERIFY2(!t.isEmpty() && t != QStringLiteral("Erreur inconnue."), qPrintable(QString::number(code)));
            seen.insert(t);
        }
        QCOMPARE(seen.size(), 34);
        QCOMPARE(export_error::errorMessage(-1), QStringLiteral("Heure de début d'exportation introuvable."));
        QCOMPARE(export_error::errorMessage(-5), QStringLiteral("Erreur d'initialisation de l'encodeur. #1"));
        QCOMPARE(export_error::errorMessage(-34), QStringLiteral("Arrêt de l'utilisateur."));
        QCOMPARE(export_error::errorMessage(-19), QStringLiteral("REMUX : Echec de copie des paramêtres"));
        for (int code : {0, 1, -35, INT_MIN, INT_MAX})
            QCOMPARE(export_error::errorMessage(code), QStringLiteral("Erreur inconnue."));
    }

    void errorParseShowsTheBox()
    {
        QWidget parent;
        export_error err(&parent);
        QVERIFY(err.parent() == nullptr);
        QString title, text;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            box->accept();
        });
        err.error_parse(-13);
        QCOMPARE(title, QStringLiteral("Erreur de paramétrage"));
        QCOMPARE(text, QStringLiteral("Période invalide."));
    }

    void streamFrameOwnsItsPicture()
    {
        StreamFrame f;
        QCOMPARE(f.width(), -1);
        QCOMPARE(f.fps(), -1.0);
        AVFrame *a = av_frame_alloc();
        a->width = 32;
        a->height = 16;
        a->format = 0;
        QVERIFY(av_frame_get_buffer(a, 0) == 0);
        f.setAvFrame(a);
        QCOMPARE(f.width(), 32);
        QCOMPARE(f.height(), 16);
        f.setAvFrame(av_frame_alloc()); // the first picture is released here
        f.setTimestampText(QByteArray(300, '1'));
        QCOMPARE(int(strlen(f.timestampText())), StreamFrame::kMaxTimestampChars);
        AVFrame *taken = f.takeAvFrame();
        QVERIFY(f.avFrame() == nullptr);
        av_frame_free(&taken);
    }

    void applicationInformation()
    {
        Http_singleton *s = Http_singleton::instance();
        QCOMPARE(s, Http_singleton::instance());
        QCOMPARE(s->productName(), QStringLiteral("ZUPLAYER"));
        QCOMPARE(s->appVersion(), QStringLiteral("3.4.3"));
        QCOMPARE(s->userFolderPath(), QDir::homePath() + QStringLiteral("/.ZuPlayer"));
        QVERIFY(!s->zipPackageFlag());
        QVERIFY(!s->skipCrashReport());
        QCOMPARE(s->accessString(QString(), false), QStringLiteral("ZUPLAYER/3.4.3 (Linux)"));
        QCOMPARE(s->accessString(QStringLiteral("abc"), true), QStringLiteral("ZUPLAYER/3.4.3 (Linux) token/abc"));

        QTemporaryDir dir;
        s->loadInstallationSettings(dir.filePath(QStringLiteral("none.ini")));
        QVERIFY(s->updateBaseUrl().isEmpty());
        QVERIFY(s->crashReportUrl().isEmpty());
        const QString ini = dir.filePath(QStringLiteral("zuplayer.ini"));
        writeAll(ini, "[servers]\nupdate=http://127.0.0.1:1/zuapps/\ncrashreport=http://127.0.0.1:2\n");
        s->loadInstallationSettings(ini);
        QCOMPARE(s->updateBaseUrl(), QStringLiteral("http://127.0.0.1:1/zuapps/"));
        QCOMPARE(s->crashReportUrl(), QStringLiteral("http://127.0.0.1:2"));
        s->loadInstallationSettings(dir.filePath(QStringLiteral("none.ini")));
    }
};

QTEST_MAIN(TestCore)
#include "test_core.moc"
