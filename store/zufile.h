#pragma once
#include <QByteArray>
#include <QFileInfo>
#include <QHash>
#include <QString>

class ZuTag;

// The export folder's camera lists (".zunfo") and marker files (".zutag").
// Format: docs/formats.md. Everything read here comes from outside and is
// treated as hostile: oversized files are refused, bad entries skipped,
// texts cleaned of control characters and cut to a sane length.
//
// Camera ids are whole numbers from 0 to INT_MAX. When an id appears more
// than once, the last occurrence wins: later entries of one file override
// earlier ones, and a merged file overrides the hash it is merged into.
class ZuFile
{
public:
    static constexpr int kMaxNameChars = 256;          // camera and marker names
    static constexpr int kMaxDescriptionChars = 4096;  // marker descriptions
    static constexpr int kMaxTagIdChars = 64;
    static constexpr qint64 kMaxCameraListBytes = 4 * 1024 * 1024;
    static constexpr qint64 kMaxTagBytes = 1024 * 1024;

    // Camera id to name from the encrypted camera lists ("*.zunfo") directly
    // in `folder`, read in name order; empty when there are none.
    static QHash<int, QString> hash_cameras_list(const QString &folder);

    // `cameras` with the cameras of the encrypted camera list `file` merged
    // in; `cameras` unchanged when the file cannot be read or parsed.
    static QHash<int, QString> check_and_parse_nfo_file(const QFileInfo &file,
                                                        QHash<int, QString> cameras);
    // Camera id to name for a day folder, from the camera lists of its
    // segment folders (folders in name order; a later list wins). The day's
    // own "index.zunfo" is not read: the day's manifest does not cover it,
    // and a name the player shows or burns into an export must come from a
    // file the integrity check verifies.
    static QHash<int, QString> day_camera_names(const QString &dayFolder);
    // The camera lists those names come from, in the order they are merged.
    static QFileInfoList day_camera_lists(const QString &dayFolder);
    // Gives each name that more than one camera carries its camera id,
    // "<name> (<id>)", until every camera has a name of its own, so that it
    // is shown and chosen on its own. Names alike to the eye are alike here:
    // they are compared in one Unicode form, without invisible characters.
    static void distinguish_camera_names(QHash<int, QString> *cameras);

    // The same for the old plain-text form (one "<id>=<name>" line per camera).
    static QHash<int, QString> parse_camera_names_file(const QFileInfo &file,
                                                       QHash<int, QString> cameras);

    // Writes `cameras` to `target` as an encrypted camera list, replacing it
    // atomically; false on failure (logged).
    static bool create_zunfo_index_file(const QFileInfo &target, const QHash<int, QString> &cameras);
    // Writes the old plain-text form (tools and tests).
    static bool write_camera_names_file(const QString &path, const QHash<int, QString> &cameras);

    // A new marker read from the encrypted ".zutag" file at `path` (the
    // caller owns it), or null when the file cannot be read or parsed.
    static ZuTag *load_tag_file(const QString &path);
    // Writes `tag` encrypted to `path`, replacing it atomically.
    static bool write_tag_file(const QString &path, const ZuTag &tag);

    // The plaintext JSON forms. The parsers return false when the text is no
    // camera list or marker at all; single bad camera entries are skipped.
    static bool parse_cameras_json(const QByteArray &json, QHash<int, QString> *cameras);
    static QByteArray cameras_json(const QHash<int, QString> &cameras);
    static bool parse_tag_json(const QByteArray &json, ZuTag *tag);
    static QByteArray tag_json(const ZuTag &tag);

    // A name or description as it may be shown and logged: control
    // characters become blanks (line ends stay in descriptions when
    // `keepLineEnds`), blanks around it are removed, and it is cut to
    // `maxChars` without splitting a character.
    static QString clean_text(const QString &text, int maxChars, bool keepLineEnds = false);
};
