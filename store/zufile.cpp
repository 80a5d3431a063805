#include "zufile.h"

#include "encrypt.h"
#include "exportfolder.h"
#include "zulog.h"
#include "zutag.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTime>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// The old plain form has one short line per camera; a longer line is junk.
constexpr int kMaxPlainLineBytes = 4096;

bool idFromText(QStringView text, int *id)
{
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 10)
        return false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const qint64 value = text.toLongLong();
    if (value > INT_MAX)
        return false;
    *id = static_cast<int>(value);
    return true;
}

// A camera id from JSON: a whole number or a decimal text, 0..INT_MAX.
bool idFromJson(const QJsonValue &value, int *id)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (!(d >= 0.0 && d <= double(INT_MAX)) || d != std::floor(d))
            return false;
        *id = static_cast<int>(d);
        return true;
    }
    if (value.isString())
        return idFromText(value.toString(), id);
    return false;
}

bool isTagTime(const QString &text)
{
    if (text.size() != 14)
        return false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    // Date and time apart, so that a local clock change cannot make a
    // recorded time look invalid.
    return QDate::fromString(text.left(8), QStringLiteral("yyyyMMdd")).isValid()
           && QTime::fromString(text.mid(8), QStringLiteral("HHmmss")).isValid();
}

QByteArray readSmallFile(const QString &path, qint64 maxBytes, const char *function)
{
    QFile file(path);
    // Only regular files: opening a named pipe blocks until a writer comes.
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: %1 :: cannot open :: %2")
                       .arg(QLatin1String(function), path));
        return QByteArray();
    }
    if (file.size() > maxBytes) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: %1 :: file too large :: %2")
                       .arg(QLatin1String(function), path));
        return QByteArray();
    }
    return file.read(maxBytes);
}

// The encrypted files are small; refuse big ones before decrypting them.
QByteArray decryptSmallFile(const QString &path, qint64 maxBytes, const char *function)
{
    const QFileInfo info(path);
    if (!info.isFile()) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: %1 :: no such file :: %2")
                       .arg(QLatin1String(function), path));
        return QByteArray();
    }
    if (info.size() > maxBytes) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: %1 :: file too large :: %2")
                       .arg(QLatin1String(function), path));
        return QByteArray();
    }
    return Encrypt().decryptFile(path);
}

bool writeEncrypted(const QString &path, const QByteArray &plain, const char *function)
{
    if (!Encrypt().encryptFile(path, plain)) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: %1 :: write failed :: %2")
                       .arg(QLatin1String(function), path));
        return false;
    }
    return true;
}

} // namespace

QString ZuFile::clean_text(const QString &text, int maxChars, bool keepLineEnds)
{
    QString out;
    out.reserve(qMin(text.size(), maxChars + 2));
    for (QChar c : text) {
        if (keepLineEnds && c == QLatin1Char('\n')) {
            out.append(c);
        } else if (keepLineEnds && c == QLatin1Char('\r')) {
            continue;
        } else if (c == QChar::ByteOrderMark) {
            // Invisible, and dropped by the JSON reader: a name kept with it
            // would read back as another name from the lists written here.
            continue;
        } else {
            const QChar::Category cat = c.category();
            const bool control = cat == QChar::Other_Control || cat == QChar::Separator_Line
                                 || cat == QChar::Separator_Paragraph;
            out.append(control ? QLatin1Char(' ') : c);
        }
        // Enough kept to fill maxChars after trimming; the rest is dropped.
        if (out.size() > maxChars * 2 + 8)
            break;
    }
    out = out.trimmed();
    if (out.size() > maxChars) {
        int cut = maxChars;
        if (cut > 0 && out.at(cut - 1).isHighSurrogate())
            --cut;
        out.truncate(cut);
        out = out.trimmed();
    }
    return out;
}

// ---- Camera lists, encrypted JSON form: reader and writer ----

bool ZuFile::parse_cameras_json(const QByteArray &json, QHash<int, QString> *cameras)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonValue list = doc.object().value(QLatin1String("cameras"));
    if (!list.isArray())
        return false;
    const QJsonArray array = list.toArray();
    for (const QJsonValue &entry : array) {
        if (!entry.isObject())
            continue;
        const QJsonObject camera = entry.toObject();
        int id = -1;
        if (!idFromJson(camera.value(QLatin1String("id")), &id))
            continue;
        const QJsonValue nameValue = camera.value(QLatin1String("name"));
        if (!nameValue.isString())
            continue;
        const QString name = clean_text(nameValue.toString(), kMaxNameChars);
        if (name.isEmpty())
            continue;
        cameras->insert(id, name);
    }
    return true;
}

QByteArray ZuFile::cameras_json(const QHash<int, QString> &cameras)
{
    QList<int> ids = cameras.keys();
    std::sort(ids.begin(), ids.end());
    QJsonArray array;
    for (int id : std::as_const(ids)) {
        QJsonObject camera;
        camera.insert(QLatin1String("id"), id);
        camera.insert(QLatin1String("name"), cameras.value(id));
        array.append(camera);
    }
    QJsonObject root;
    root.insert(QLatin1String("cameras"), array);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

QHash<int, QString> ZuFile::check_and_parse_nfo_file(const QFileInfo &file, QHash<int, QString> cameras)
{
    const QString path = file.absoluteFilePath();
    const QByteArray plain = decryptSmallFile(path, kMaxCameraListBytes, "check and parse nfo file");
    if (plain.isEmpty())
        return cameras;
    QHash<int, QString> found;
    if (!parse_cameras_json(plain, &found)) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: check and parse nfo file :: not a camera list :: ") + path);
        return cameras;
    }
    cameras.insert(found);
    return cameras;
}

bool ZuFile::create_zunfo_index_file(const QFileInfo &target, const QHash<int, QString> &cameras)
{
    return writeEncrypted(target.absoluteFilePath(), cameras_json(cameras), "create zunfo index file");
}

QHash<int, QString> ZuFile::hash_cameras_list(const QString &folder)
{
    QHash<int, QString> cameras;
    const QDir dir(folder);
    const QFileInfoList files = dir.entryInfoList({QStringLiteral("*.zunfo")}, QDir::Files, QDir::Name);
    for (const QFileInfo &file : files)
        cameras = check_and_parse_nfo_file(file, std::move(cameras));
    return cameras;
}

QFileInfoList ZuFile::day_camera_lists(const QString &dayFolder)
{
    QFileInfoList lists;
    if (dayFolder.isEmpty())
        return lists;
    const QFileInfoList segments = QDir(dayFolder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &segment : segments) {
        if (ZuExportFolder::isSegmentFolderName(segment.fileName()))
            lists += QDir(segment.absoluteFilePath()).entryInfoList({QStringLiteral("*.zunfo")}, QDir::Files, QDir::Name);
    }
    return lists;
}

QHash<int, QString> ZuFile::day_camera_names(const QString &dayFolder)
{
    QHash<int, QString> cameras;
    for (const QFileInfo &list : day_camera_lists(dayFolder))
        cameras = check_and_parse_nfo_file(list, std::move(cameras));
    return cameras;
}

namespace {
// A name as the eye reads it: one Unicode form (a composed "é" and an "e"
// with a combining accent look alike) and no invisible format characters
// (zero-width spaces and joiners, marks of direction).
QString seenAs(const QString &name)
{
    const QString composed = name.normalized(QString::NormalizationForm_C);
    QString out;
    out.reserve(composed.size());
    for (const char32_t c : composed.toUcs4()) {
        if (QChar::category(c) != QChar::Other_Format)
            out.append(QStringView(QChar::fromUcs4(c)));
    }
    return out;
}
} // namespace

void ZuFile::distinguish_camera_names(QHash<int, QString> *cameras)
{
    // Again until no two names are alike: a name with its id appended may be
    // the name another camera carries already ("Parking (12)"). Each round
    // sets apart the cameras that shared a name, so a few rounds do.
    for (qsizetype round = 0; round <= cameras->size(); ++round) {
        QHash<QString, int> uses;
        for (auto it = cameras->cbegin(); it != cameras->cend(); ++it)
            ++uses[seenAs(it.value())];
        bool renamed = false;
        for (auto it = cameras->begin(); it != cameras->end(); ++it) {
            if (uses.value(seenAs(it.value())) > 1) {
                it.value() = QStringLiteral("%1 (%2)").arg(it.value()).arg(it.key());
                renamed = true;
            }
        }
        if (!renamed)
            return;
    }
}

// ---- Camera lists, old plain form: reader and writer ----

QHash<int, QString> ZuFile::parse_camera_names_file(const QFileInfo &file, QHash<int, QString> cameras)
{
    const QString path = file.absoluteFilePath();
    const QByteArray content = readSmallFile(path, kMaxCameraListBytes, "parse camera names file");
    if (content.isEmpty())
        return cameras;
    int start = 0;
    if (content.startsWith("\xEF\xBB\xBF"))
        start = 3;
    while (start < content.size()) {
        int end = content.indexOf('\n', start);
        if (end < 0)
            end = content.size();
        const int length = end - start;
        if (length <= kMaxPlainLineBytes) {
            const QString line = QString::fromUtf8(content.constData() + start, length);
            const int eq = line.indexOf(QLatin1Char('='));
            int id = -1;
            if (eq > 0 && idFromText(QStringView(line).left(eq), &id)) {
                const QString name = clean_text(line.mid(eq + 1), kMaxNameChars);
                if (!name.isEmpty())
                    cameras.insert(id, name);
            }
        }
        start = end + 1;
    }
    return cameras;
}

bool ZuFile::write_camera_names_file(const QString &path, const QHash<int, QString> &cameras)
{
    QList<int> ids = cameras.keys();
    std::sort(ids.begin(), ids.end());
    QByteArray text;
    for (int id : std::as_const(ids))
        text += QByteArray::number(id) + '=' + clean_text(cameras.value(id), kMaxNameChars).toUtf8() + '\n';
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: write camera names file :: write failed :: ") + path);
        return false;
    }
    return true;
}

// ---- Markers, encrypted JSON form: reader and writer ----

bool ZuFile::parse_tag_json(const QByteArray &json, ZuTag *tag)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonObject obj = doc.object();

    // Time and camera place the marker; without them it cannot be shown.
    const QJsonValue time = obj.value(QLatin1String("time"));
    if (!time.isString() || !isTagTime(time.toString()))
        return false;
    int camera = -1;
    if (!idFromJson(obj.value(QLatin1String("camera")), &camera))
        return false;

    QString id;
    const QJsonValue idValue = obj.value(QLatin1String("id"));
    if (idValue.isString()) {
        id = clean_text(idValue.toString(), kMaxTagIdChars);
    } else if (idValue.isDouble()) {
        const double d = idValue.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
            id = QString::number(static_cast<qint64>(d));
    }
    const QJsonValue name = obj.value(QLatin1String("name"));
    const QJsonValue description = obj.value(QLatin1String("description"));

    *tag = ZuTag(id, time.toString(), QString::number(camera),
                 name.isString() ? clean_text(name.toString(), kMaxNameChars) : QString(),
                 description.isString() ? clean_text(description.toString(), kMaxDescriptionChars, true)
                                        : QString());
    return true;
}

QByteArray ZuFile::tag_json(const ZuTag &tag)
{
    QJsonObject obj;
    obj.insert(QLatin1String("id"), tag.get_tag_id());
    obj.insert(QLatin1String("time"), tag.get_tag_time());
    obj.insert(QLatin1String("camera"), tag.get_camera_id());
    obj.insert(QLatin1String("name"), tag.get_tag_name());
    obj.insert(QLatin1String("description"), tag.get_description());
    return QJsonDocument(obj).toJson(QJsonDocument::Compact);
}

ZuTag *ZuFile::load_tag_file(const QString &path)
{
    const QByteArray plain = decryptSmallFile(path, kMaxTagBytes, "load tag file");
    if (plain.isEmpty())
        return nullptr;
    auto tag = std::make_unique<ZuTag>();
    if (!parse_tag_json(plain, tag.get())) {
        logMessage(QStringLiteral("[ERROR] ZuFile :: load tag file :: not a marker :: ") + path);
        return nullptr;
    }
    return tag.release();
}

bool ZuFile::write_tag_file(const QString &path, const ZuTag &tag)
{
    return writeEncrypted(path, tag_json(tag), "write tag file");
}
