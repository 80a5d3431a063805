// Archive extraction into a fresh folder per input. The oracle: nothing is
// created, changed or removed outside the destination (neither beside it
// nor in the folder the seeds' absolute names and link targets point to), no
// link left in the destination leads out of it, every digest reported names
// a file inside it, and the extraction ends exactly once.
#include "archiveextractor.h"
#include "fuzz_support.h"

#include <QDir>
#include <QDirIterator>

namespace {
QString g_box;
QString g_seedRoot;
int g_count = 0;

// Every entry below `folder` without following links: path, kind, size and
// link target.
QStringList snapshot(const QString &folder, const QString &skip = QString())
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!skip.isEmpty() && (path == skip || path.startsWith(skip + QLatin1Char('/'))))
            continue;
        const QFileInfo fi = it.fileInfo();
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(path, fi.isSymLink() ? QStringLiteral("link") : fi.isDir() ? QStringLiteral("dir") : QStringLiteral("file"))
                   .arg(fi.isSymLink() ? 0 : fi.size())
                   .arg(fi.isSymLink() ? fi.symLinkTarget() : QString());
    }
    out.sort();
    return out;
}

constexpr qint64 kMaxHashedBytes = 64 << 20;

qint64 apparentSize(const QString &folder)
{
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isSymLink())
            total += it.fileInfo().size();
    }
    return total;
}

bool inside(const QString &path, const QString &root)
{
    const QString clean = QDir::cleanPath(path);
    return clean == root || clean.startsWith(root + QLatin1Char('/'));
}

// No link in the destination reaches out of it, whichever way it is read.
void checkLinks(const QString &dest)
{
    QDirIterator it(dest, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo fi = it.fileInfo();
        if (!fi.isSymLink())
            continue;
        const QString target = QFile::symLinkTarget(path);
        ZU_FUZZ_CHECK(target.isEmpty() || inside(target, dest), path + QStringLiteral(" -> ") + target);
        const QString resolved = fi.canonicalFilePath();
        ZU_FUZZ_CHECK(resolved.isEmpty() || inside(resolved, QFileInfo(dest).canonicalFilePath()),
                      path + QStringLiteral(" resolves to ") + resolved);
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    g_box = zufuzz::scratchDir() + QStringLiteral("/box");
    g_seedRoot = zufuzz::seedsDir() + QStringLiteral("/archive-root");
    QDir().mkpath(g_box);
    QDir().mkpath(g_seedRoot);
    zufuzz::writeFile(g_box + QStringLiteral("/outside.txt"), "not to be touched");
    zufuzz::writeFile(g_seedRoot + QStringLiteral("/outside.txt"), "not to be touched");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString archive = g_box + QStringLiteral("/download.zutar");
    const QString dest = g_box + QStringLiteral("/dest-%1").arg(++g_count);
    ZU_FUZZ_CHECK(zufuzz::writeFile(archive, zufuzz::bytes(data, size)), archive);
    ZU_FUZZ_CHECK(QDir().mkpath(dest), dest);
    const QStringList boxBefore = snapshot(g_box, dest);
    const QStringList rootBefore = snapshot(g_seedRoot);

    int finished = 0;
    bool success = false;
    {
        ArchiveExtractor extractor(archive, dest, false, false);
        QObject::connect(&extractor, &ArchiveExtractor::extractionFinished, [&](bool ok) {
            ++finished;
            success = ok;
        });
        QObject::connect(&extractor, &ArchiveExtractor::fileHashed, [&](const QString &file, const QString &sha) {
            ZU_FUZZ_CHECK(inside(file, dest) && sha.size() == 64, file);
        });
        extractor.startExtraction();
        ZU_FUZZ_CHECK(finished == 1, QStringLiteral("%1 ends").arg(finished));
        ZU_FUZZ_CHECK(success == extractor.errorMessage().isEmpty(), extractor.errorMessage());
        // The digests as the download job asks for them, unless a few bytes
        // of archive declared gigabytes: libarchive (like bsdtar) writes
        // such an entry as a sparse file, which the digest pass reads whole,
        // far too slowly for a fuzzer.
        if (success && apparentSize(dest) <= kMaxHashedBytes)
            extractor.hash_archives(dest);
    }

    ZU_FUZZ_CHECK(snapshot(g_box, dest) == boxBefore, QStringLiteral("written beside the destination"));
    ZU_FUZZ_CHECK(snapshot(g_seedRoot) == rootBefore, QStringLiteral("written where absolute names point"));
    checkLinks(dest);
    QDir(dest).removeRecursively();
    return 0;
}
