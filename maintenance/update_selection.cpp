// Release selection of the start-up updater: pure functions of the server's
// reply bodies and of the updater's channel state. No network, no widgets.
#include "downloadbinary.h"

#include "http_singleton.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QVariant>

#include <algorithm>

// Archives such as "x-3.5.0.tar.gz" keep both parts of their suffix: a bare
// ".gz" would say nothing about what is inside.
QString DownloadBinary::packageSuffix(const QString &fileName)
{
    const QString lower = QFileInfo(fileName).fileName().toLower();
    for (const char *two : {"tar.gz", "tar.xz", "tar.bz2"}) {
        const QString s = QString::fromLatin1(two);
        if (lower.endsWith(QLatin1Char('.') + s))
            return s;
    }
    return QFileInfo(lower).suffix();
}

namespace {

bool isInstallerKind(const QString &suffix)
{
    return suffix == QLatin1String("deb") || suffix == QLatin1String("appimage");
}

bool isArchiveKind(const QString &suffix)
{
    return suffix == QLatin1String("zip") || suffix == QLatin1String("tar.gz") ||
           suffix == QLatin1String("tgz") || suffix == QLatin1String("tar.xz");
}

QVersionNumber trackVersion(const QString &name)
{
    return QVersionNumber::fromString(name + QStringLiteral(".0"));
}

bool isTestBuildVersionText(const QString &appVersion)
{
    return appVersion.contains(QLatin1String(".DEV")) || appVersion.contains(QLatin1String(".patch"));
}

} // namespace

void UpdateAsset::parseAssetVersion()
{
    static const QRegularExpression re(QStringLiteral("(\\d+\\.\\d+\\.\\d+)(?:\\.DEV(\\d{12}))?"));
    const QRegularExpressionMatch n = re.match(name);
    const QRegularExpressionMatch i = re.match(id);
    const QRegularExpressionMatch *hit = n.hasMatch() ? &n : (i.hasMatch() ? &i : nullptr);
    if (!hit) {
        versionNumber = QVersionNumber();
        devStamp = -1;
        version.clear();
        return;
    }
    version = hit->captured(0);
    versionNumber = QVersionNumber::fromString(hit->captured(1));
    devStamp = -1;
    bool ok = false;
    if (n.hasMatch() && !n.captured(2).isEmpty()) {
        const qint64 v = n.captured(2).toLongLong(&ok, 10);
        if (ok)
            devStamp = v;
    } else if (i.hasMatch() && !i.captured(2).isEmpty()) {
        const qint64 v = i.captured(2).toLongLong(&ok, 10);
        if (ok)
            devStamp = v;
    }
}

QString DownloadBinary::platformArch()
{
#if defined(Q_PROCESSOR_ARM_64)
    return QStringLiteral("Linux/arm64");
#else
    return QStringLiteral("Linux/64");
#endif
}

QVersionNumber DownloadBinary::normalizeVersion(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d+(?:\\.\\d+){0,2})"));
    const QRegularExpressionMatch m = re.match(text);
    if (m.hasMatch())
        return QVersionNumber::fromString(m.captured(1));
    return QVersionNumber::fromString(text);
}

qint64 DownloadBinary::parseDevStamp(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("DEV(\\d{12})"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return -1;
    bool ok = false;
    const qint64 v = m.captured(1).toLongLong(&ok, 10);
    return ok ? v : -1;
}

QString DownloadBinary::currentTrack(const QVersionNumber &version)
{
    return QString::number(version.segmentAt(0)) + QLatin1Char('.') +
           QString::number(version.segmentAt(1));
}

QStringList DownloadBinary::parseTrackList(const QByteArray &body)
{
    static const QRegularExpression href(QStringLiteral("href=['\"](\\d+\\.\\d+)/['\"]"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression text(QStringLiteral(">(\\d+\\.\\d+)/<"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression key(QStringLiteral("<Key>(\\d+\\.\\d+)/</Key>"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QString s = QString::fromUtf8(body);
    QStringList names;
    for (const QRegularExpression *re : {&href, &text, &key}) {
        auto it = re->globalMatch(s);
        while (it.hasNext())
            names << it.next().captured(1);
    }
    return filterTrackNames(names);
}

QStringList DownloadBinary::filterTrackNames(const QStringList &names)
{
    static const QRegularExpression re(QStringLiteral("^\\d+\\.\\d+$"));
    QStringList out;
    for (const QString &n : names)
        if (re.match(n).hasMatch())
            out << n;
    return out;
}

bool DownloadBinary::compareTrackVersions(const QString &a, const QString &b)
{
    return QVersionNumber::compare(trackVersion(a), trackVersion(b)) < 0;
}

QStringList DownloadBinary::sortedTracks(const QByteArray &body)
{
    QStringList names = parseTrackList(body);
    names.removeDuplicates();
    std::sort(names.begin(), names.end(), &DownloadBinary::compareTrackVersions);
    return names;
}

QString DownloadBinary::chooseTrack(const QStringList &sortedNames, const QString &wanted)
{
    if (sortedNames.isEmpty() || sortedNames.contains(wanted))
        return wanted;
    const QVersionNumber w = trackVersion(wanted);
    QString best;
    QVersionNumber bestVersion;
    for (const QString &n : sortedNames) {
        const QVersionNumber v = trackVersion(n);
        if (QVersionNumber::compare(v, w) > 0)
            continue;
        if (best.isNull() || QVersionNumber::compare(v, bestVersion) > 0) {
            best = n;
            bestVersion = v;
        }
    }
    return best.isNull() ? sortedNames.last() : best;
}

QUrl DownloadBinary::parseNotesUrl(const QByteArray &body)
{
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isArray())
        return QUrl();
    for (const QJsonValue &v : doc.array()) {
        if (!v.isObject())
            continue;
        const QJsonObject o = v.toObject();
        const bool isLog =
            o.value(QLatin1String("type")).toString().compare(QLatin1String("changelog"), Qt::CaseInsensitive) == 0 ||
            o.value(QLatin1String("name")).toString().compare(QLatin1String("CHANGELOG.md"), Qt::CaseInsensitive) == 0;
        if (!isLog)
            continue;
        const QUrl url(o.value(QLatin1String("url")).toString(), QUrl::TolerantMode);
        if (url.isValid())
            return url;
    }
    return QUrl();
}

QList<UpdateAsset> DownloadBinary::parseAssets(const QByteArray &body)
{
    QList<UpdateAsset> out;
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (doc.isNull())
        return out;
    if (doc.isArray()) {
        const QJsonArray arr = doc.array();
        out.reserve(arr.size());
        for (const QJsonValue &v : arr) {
            if (!v.isObject())
                continue;
            const QJsonObject o = v.toObject();
            UpdateAsset a;
            a.name = o.value(QLatin1String("name")).toString();
            a.url = QUrl(o.value(QLatin1String("url")).toString(), QUrl::TolerantMode);
            bool ok = false;
            const qint64 size = o.value(QLatin1String("size")).toVariant().toLongLong(&ok);
            // A listed size is only ever shown; a negative one means nothing.
            a.size = ok && size > 0 ? size : 0;
            a.arch = o.value(QLatin1String("arch")).toString();
            a.sha256 = o.value(QLatin1String("sha256")).toString();
            a.id = o.value(QLatin1String("id")).toString();
            a.id_sha256 = o.value(QLatin1String("id_sha256")).toString();
            a.suffix = packageSuffix(a.name);
            a.parseAssetVersion();
            if (a.url.isValid())
                out.append(a);
        }
        return out;
    }
    if (doc.isObject()) {
        const QJsonObject o = doc.object();
        UpdateAsset a;
        a.name = o.value(QLatin1String("name")).toString();
        a.url = QUrl(o.value(QLatin1String("url")).toString(), QUrl::TolerantMode);
        a.sha256 = o.value(QLatin1String("sha256")).toString();
        a.suffix = packageSuffix(a.name.isEmpty() ? a.url.path(QUrl::FullyDecoded) : a.name);
        a.version = o.value(QLatin1String("version")).toString();
        a.versionNumber = normalizeVersion(a.version);
        a.devStamp = parseDevStamp(a.version);
        out.append(a);
    }
    return out;
}

int DownloadBinary::assetScore(bool preferZip, bool inBinFolder, const UpdateAsset &asset)
{
    const bool installer = isInstallerKind(asset.suffix);
    const bool archive = isArchiveKind(asset.suffix);
    const bool launcher = asset.name.contains(QLatin1String("launcher"), Qt::CaseInsensitive) ||
                          asset.id.contains(QLatin1String("launcher"), Qt::CaseInsensitive);
    if (installer)
        return preferZip ? 1 : 2;
    if (archive && !launcher)
        return preferZip ? 2 : 1;
    if (archive && launcher)
        return preferZip && inBinFolder ? 3 : 0;
    return 0;
}

UpdateAsset DownloadBinary::chooseAsset(const QList<UpdateAsset> &assets)
{
    const bool inBin = QCoreApplication::instance() &&
                       QDir(QCoreApplication::applicationDirPath())
                               .dirName()
                               .compare(QLatin1String("bin"), Qt::CaseInsensitive) == 0;
    return chooseAsset(assets, platformArch(), Http_singleton::instance()->zipPackageFlag(), inBin);
}

UpdateAsset DownloadBinary::chooseAsset(const QList<UpdateAsset> &assets, const QString &arch,
                                        bool preferZip, bool inBinFolder)
{
    const UpdateAsset *best = nullptr;
    int bestScore = -1;
    for (const UpdateAsset &a : assets) {
        if (a.arch.compare(arch, Qt::CaseInsensitive) != 0)
            continue;
        const int score = assetScore(preferZip, inBinFolder, a);
        if (!best || score > bestScore || (score == bestScore && compareAssets(a, *best) == 1)) {
            best = &a;
            bestScore = score;
        }
    }
    return best ? *best : UpdateAsset();
}

int DownloadBinary::compareAssets(const QVersionNumber &a, qint64 aStamp, const QVersionNumber &b,
                                  qint64 bStamp)
{
    const int c = QVersionNumber::compare(a, b);
    if (c != 0)
        return c < 0 ? -1 : 1;
    if (aStamp == bStamp)
        return 0;
    return aStamp < bStamp ? -1 : 1;
}

int DownloadBinary::compareAssets(const UpdateAsset &a, const UpdateAsset &b)
{
    return compareAssets(a.versionNumber, a.devStamp, b.versionNumber, b.devStamp);
}

bool DownloadBinary::normalizeSha256(const QString &text, QString *normalized)
{
    QString s = text;
    s.remove(QLatin1Char(' ')).remove(QLatin1Char(':'));
    s = s.trimmed().toLower();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    const bool ok = hex.match(s).hasMatch();
    if (normalized)
        *normalized = ok ? s : QString();
    return ok;
}

QString DownloadBinary::applyTrackList(const QByteArray &body)
{
    return applyTracks(sortedTracks(body));
}

QString DownloadBinary::applyTracks(const QStringList &sortedNames)
{
    track = chooseTrack(sortedNames, currentTrack(currentVersion));
    channel = QStringLiteral("STABLE");
    testingAllowed = currentDevStamp >= 1 || isTestBuildVersionText(Http_singleton::instance()->appVersion());
    testingTried = false;
    return track;
}

DownloadBinary::ParsedIndex DownloadBinary::parseIndex(const QByteArray &body)
{
    return {parseNotesUrl(body), parseAssets(body)};
}

DownloadBinary::IndexDecision DownloadBinary::evaluateIndex(bool replyOk, const QString &replyError,
                                                            const QByteArray &body)
{
    return decideIndex(replyOk, replyError, replyOk ? parseIndex(body) : ParsedIndex());
}

DownloadBinary::IndexDecision DownloadBinary::decideIndex(bool replyOk, const QString &replyError,
                                                          const ParsedIndex &parsed)
{
    IndexDecision d;
    const auto canRetry = [this] {
        return testingAllowed && channel == QLatin1String("STABLE") && !testingTried;
    };
    const auto retry = [this, &d] {
        testingTried = true;
        channel = QStringLiteral("TESTING");
        d.kind = IndexDecision::RetryTesting;
        return d;
    };

    if (!replyOk) {
        if (canRetry())
            return retry();
        d.kind = IndexDecision::Failed;
        d.error = replyError;
        return d;
    }

    d.notesUrl = parsed.notesUrl;
    notesUrl = d.notesUrl;
    const QList<UpdateAsset> &assets = parsed.assets;
    if (assets.isEmpty()) {
        if (canRetry())
            return retry();
        selectedAsset.reset();
        d.kind = IndexDecision::Failed;
        d.error = tr("JSON vide ou invalide (aucun asset).");
        return d;
    }

    const UpdateAsset chosen = chooseAsset(assets);
    if (!chosen.url.isValid()) {
        if (canRetry())
            return retry();
        d.kind = IndexDecision::Failed;
        d.error = tr("Aucun binaire compatible pour cette plateforme.");
        return d;
    }
    selectedAsset = chosen;
    d.chosen = chosen;

    // The running build is compared with the package that would be installed:
    // only this platform's packages count, so a newer release published for
    // another platform offers nothing here.
    if (testingAllowed && channel == QLatin1String("STABLE")) {
        const int c = QVersionNumber::compare(chosen.versionNumber, currentVersion);
        // A test build is superseded by the release of its own version, and
        // by a later build of it, never by an earlier or the same build.
        const bool sameAsTestBuild =
            chosen.versionNumber.segmentCount() == currentVersion.segmentCount() && c == 0 &&
            currentDevStamp >= 1 && (chosen.devStamp < 1 || chosen.devStamp > currentDevStamp);
        if (c <= 0 && !sameAsTestBuild) {
            if (!testingTried)
                return retry();
            d.kind = IndexDecision::NoUpdate;
        } else {
            d.kind = IndexDecision::UpdateAvailable;
        }
        return d;
    }
    d.kind = compareAssets(chosen.versionNumber, chosen.devStamp, currentVersion, currentDevStamp) == 1
                 ? IndexDecision::UpdateAvailable
                 : IndexDecision::NoUpdate;
    return d;
}
