// The integrity manifest through the real check of a small fixed day folder
// (the generator's, copied to a folder of our own). The input is the
// manifest's plaintext; "@DAY@" in it stands for the day folder's path, so
// that recorded absolute paths can name its files. The oracle: the verdict is
// OK only when every file of the day is listed once with its true digest,
// and the check changes nothing in the folder.
#include "encrypt.h"
#include "fuzz_support.h"
#include "integritycheck.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
QString g_day;
// Every file of the day that the check counts, with its digest.
QHash<QString, QString> g_digests;

// The check runs on the fuzzer's own thread.
class Check : public IntegrityCheck
{
public:
    using IntegrityCheck::IntegrityCheck;
    using IntegrityCheck::run;
};

bool copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + path.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(path, target))
            return false;
    }
    return true;
}

QHash<QString, QString> dayFiles()
{
    QHash<QString, QString> files;
    QDirIterator it(g_day, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = it.fileName();
        if (name != QLatin1String("hash.json") && name != QLatin1String("index.zunfo"))
            files.insert(path, QString::fromLatin1(zufuzz::sha256Hex(zufuzz::readFile(path))));
    }
    return files;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    const QString source = zufuzz::seedsDir() + QStringLiteral("/integrity-day");
    g_day = zufuzz::scratchDir() + QStringLiteral("/2024-03-05");
    if (!QFileInfo(source).isDir() || !copyTree(source, g_day))
        zufuzz::fail("the day folder made by the seed maker is missing", source);
    g_digests = dayFiles();
    if (g_digests.size() < 3)
        zufuzz::fail("the day folder holds too few files", g_day);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray manifest = zufuzz::bytes(data, size);
    manifest.replace("@DAY@", QFile::encodeName(g_day));
    const QString hashPath = g_day + QStringLiteral("/hash.json");
    ZU_FUZZ_CHECK(Encrypt().encryptFile(hashPath, manifest), hashPath);

    bool verdict = false;
    int verdicts = 0;
    {
        Check check(g_day);
        QObject::connect(&check, &IntegrityCheck::end_check, [&](bool valid) {
            verdict = valid;
            ++verdicts;
        });
        check.run();
    }
    ZU_FUZZ_CHECK(verdicts == 1, QStringLiteral("%1 verdicts").arg(verdicts));
    ZU_FUZZ_CHECK(dayFiles() == g_digests, QStringLiteral("the check changed the day folder"));
    if (!verdict)
        return 0;

    // An OK: the manifest is an array with one entry per file, and each
    // file's true digest is in it.
    const QJsonDocument doc = QJsonDocument::fromJson(manifest);
    ZU_FUZZ_CHECK(doc.isArray() && doc.array().size() == g_digests.size(), QString::fromUtf8(manifest.left(2000)));
    QStringList listed;
    for (const QJsonValue &v : doc.array())
        listed.append(v.toObject().value(QStringLiteral("sha256")).toString());
    for (auto it = g_digests.cbegin(); it != g_digests.cend(); ++it) {
        ZU_FUZZ_CHECK(listed.removeOne(it.value()), QStringLiteral("OK without the digest of ") + it.key());
    }
    return 0;
}
