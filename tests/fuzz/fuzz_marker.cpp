// Marker files: the encrypted JSON file (the input is the plaintext,
// encrypted here) and the same reader handed the input as the file's raw
// bytes. A marker that is read has a real time and camera and clean texts,
// and what the writer makes of it reads back the same.
#include "encrypt.h"
#include "fuzz_support.h"
#include "zufile.h"
#include "zutag.h"

#include <QDateTime>

#include <climits>
#include <memory>

namespace {
QString g_dir;

void checkTag(const ZuTag &tag)
{
    const QString time = tag.get_tag_time();
    ZU_FUZZ_CHECK(time.size() == 14 && QDate::fromString(time.left(8), QStringLiteral("yyyyMMdd")).isValid() &&
                      QTime::fromString(time.mid(8), QStringLiteral("HHmmss")).isValid(),
                  time);
    bool ok = false;
    const qint64 camera = tag.get_camera_id().toLongLong(&ok);
    ZU_FUZZ_CHECK(ok && camera >= 0 && camera <= INT_MAX && QString::number(camera) == tag.get_camera_id(),
                  tag.get_camera_id());
    zufuzz::checkCleanText(tag.get_tag_id(), ZuFile::kMaxTagIdChars, false, "marker id");
    zufuzz::checkCleanText(tag.get_tag_name(), ZuFile::kMaxNameChars, false, "marker name");
    zufuzz::checkCleanText(tag.get_description(), ZuFile::kMaxDescriptionChars, true, "marker description");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    g_dir = zufuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = zufuzz::bytes(data, size);
    const QString rawPath = g_dir + QStringLiteral("/raw.zutag");
    const QString encPath = g_dir + QStringLiteral("/3_20240305_140002.zutag");
    const QString copyPath = g_dir + QStringLiteral("/copy.zutag");

    ZU_FUZZ_CHECK(zufuzz::writeFile(rawPath, input), rawPath);
    if (const std::unique_ptr<ZuTag> raw{ZuFile::load_tag_file(rawPath)})
        checkTag(*raw);

    ZU_FUZZ_CHECK(Encrypt().encryptFile(encPath, input), encPath);
    const std::unique_ptr<ZuTag> tag{ZuFile::load_tag_file(encPath)};
    ZuTag direct;
    ZU_FUZZ_CHECK(ZuFile::parse_tag_json(input, &direct) == bool(tag), QStringLiteral("file and text readers differ"));
    if (!tag)
        return 0;
    checkTag(*tag);
    ZU_FUZZ_CHECK(direct == *tag, QStringLiteral("file and text readers differ"));

    ZU_FUZZ_CHECK(ZuFile::write_tag_file(copyPath, *tag), copyPath);
    const std::unique_ptr<ZuTag> again{ZuFile::load_tag_file(copyPath)};
    ZU_FUZZ_CHECK(again && *again == *tag, QString::fromUtf8(ZuFile::tag_json(*tag).left(2000)));
    return 0;
}
