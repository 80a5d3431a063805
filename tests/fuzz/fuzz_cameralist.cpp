// Camera lists, in their three shapes: the encrypted JSON file (the input is
// the plaintext, encrypted here), the same reader handed the input as the
// file's raw bytes, and the old plain "<id>=<name>" form. Merging never loses
// a camera already known, names come out clean, and what the writer makes of
// a list reads back the same.
#include "encrypt.h"
#include "fuzz_support.h"
#include "zufile.h"

#include <QDir>

namespace {
QString g_dir;
const QHash<int, QString> kKnown{{7, QStringLiteral("Entrée")}};

void checkList(const QHash<int, QString> &cameras, const char *what)
{
    for (auto it = cameras.cbegin(); it != cameras.cend(); ++it) {
        ZU_FUZZ_CHECK(it.key() >= 0, QString::number(it.key()));
        ZU_FUZZ_CHECK(!it.value().isEmpty(), QString::fromLatin1(what));
        zufuzz::checkCleanText(it.value(), ZuFile::kMaxNameChars, false, what);
    }
}

// Merged into a list that already holds a camera: it stays unless the file
// names the same id.
QHash<int, QString> checkMerged(const QHash<int, QString> &merged, const char *what)
{
    checkList(merged, what);
    ZU_FUZZ_CHECK(merged.contains(7), QString::fromLatin1(what));
    return merged;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    g_dir = zufuzz::scratchDir();
    QDir(g_dir).mkpath(QStringLiteral("list"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = zufuzz::bytes(data, size);
    const QString plainPath = g_dir + QStringLiteral("/cameras.txt");
    const QString rawPath = g_dir + QStringLiteral("/raw.zunfo");
    const QString listDir = g_dir + QStringLiteral("/list");
    const QString encPath = listDir + QStringLiteral("/140000.zunfo");
    const QString copyPath = g_dir + QStringLiteral("/copy.zunfo");

    ZU_FUZZ_CHECK(zufuzz::writeFile(plainPath, input), plainPath);
    checkMerged(ZuFile::parse_camera_names_file(QFileInfo(plainPath), kKnown), "plain list");

    ZU_FUZZ_CHECK(zufuzz::writeFile(rawPath, input), rawPath);
    checkMerged(ZuFile::check_and_parse_nfo_file(QFileInfo(rawPath), kKnown), "raw bytes as a camera list");

    ZU_FUZZ_CHECK(Encrypt().encryptFile(encPath, input), encPath);
    const QHash<int, QString> fromFile = ZuFile::check_and_parse_nfo_file(QFileInfo(encPath), {});
    checkList(fromFile, "encrypted list");
    checkMerged(ZuFile::check_and_parse_nfo_file(QFileInfo(encPath), kKnown), "encrypted list merged");
    ZU_FUZZ_CHECK(ZuFile::hash_cameras_list(listDir) == fromFile, QStringLiteral("folder reading differs"));

    ZU_FUZZ_CHECK(ZuFile::create_zunfo_index_file(QFileInfo(copyPath), fromFile), copyPath);
    const QHash<int, QString> again = ZuFile::check_and_parse_nfo_file(QFileInfo(copyPath), {});
    ZU_FUZZ_CHECK(again == fromFile, QString::fromUtf8(ZuFile::cameras_json(fromFile).left(2000) + "\nread back as\n"
                                                        + ZuFile::cameras_json(again).left(2000)));
    return 0;
}
