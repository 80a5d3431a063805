#include "downloadbinary.h"

#include "http_singleton.h"
#include "leftover.h"
#include "logaddress.h"
#include "peertext.h"
#include "replyguard.h"
#include "zulog.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <sys/stat.h>

namespace {

constexpr int kCheckTimeoutMs = 15000; // silence
constexpr int kPackageTimeoutMs = 600000;
constexpr int kNotesMaxChars = 12000;
// What of the package the network may hold before the window's thread has
// taken it: past it, reading from the server waits.
constexpr qint64 kPackageBufferBytes = 1024 * 1024;

// Every request of the updater: its user agent, redirects only to places no
// less safe, and a transfer timeout.
QNetworkRequest updateRequest(const QUrl &url, const QString &version, int timeoutMs)
{
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("AutoUpdate/%1").arg(version));
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    req.setTransferTimeout(timeoutMs);
    return req;
}

bool isWebUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

QString urlFileName(const QUrl &url)
{
    return QFileInfo(url.path(QUrl::FullyDecoded)).fileName();
}

// Why a request failed: the bound it overstepped, else the network's word.
QString replyErrorText(QNetworkReply *r)
{
    const ReplyGuard *guard = ReplyGuard::of(r);
    return guard && guard->breach() != ReplyGuard::Breach::None ? guard->breachText() : r->errorString();
}

// `name` in `folder`, or the first of "base-1.suffix", "base-2.suffix", ...
// that no file has. The name is taken by creating the file empty, so that
// nothing else can take it meanwhile; empty when none could be created.
QString reserveFreeName(const QString &folder, const QString &name)
{
    const QString suffix = DownloadBinary::packageSuffix(name);
    const QString base = suffix.isEmpty() ? name : name.left(name.size() - suffix.size() - 1);
    const QString dotSuffix = suffix.isEmpty() ? QString() : name.right(suffix.size() + 1);
    for (int n = 0; n < 1000; ++n) {
        const QString candidate = n == 0 ? name : base + QLatin1Char('-') + QString::number(n) + dotSuffix;
        QFile file(QDir(folder).filePath(candidate));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return file.fileName();
        if (!file.exists())
            return QString();
    }
    return QString();
}

// The empty file that holds a package's name while it downloads is noted in
// the per-user folder under this process's stamp, with the file's identity.
// A note whose maker has gone names the leftover of a killed download: the
// file goes if it is still that empty file, and the note goes.
const QString kReservationNote = QStringLiteral("update-reserved-");

QString reservationNotePath()
{
    return Http_singleton::instance()->userFolderPath() + QLatin1Char('/') + kReservationNote +
           leftover::ownerStamp();
}

QByteArray fileIdentity(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return QByteArray();
    return QByteArray::number(quint64(st.st_dev)) + ' ' + QByteArray::number(quint64(st.st_ino)) + ' ' +
           QByteArray::number(qint64(st.st_size));
}

void noteReservation(const QString &path)
{
    Http_singleton::instance()->ensureUserFolder();
    QSaveFile note(reservationNotePath());
    if (!note.open(QIODevice::WriteOnly) || note.write(path.toUtf8() + '\n' + fileIdentity(path) + '\n') < 0 ||
        !note.commit())
        logMessage(QStringLiteral("[WARN] Auto Update :: cannot note the reserved file :: ") + note.fileName());
}

void forgetReservation()
{
    QFile::remove(reservationNotePath());
}

void removeLeftReservations()
{
    const QString folder = Http_singleton::instance()->userFolderPath();
    const QStringList notes = QDir(folder).entryList({kReservationNote + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    for (const QString &name : notes) {
        if (leftover::ownerAlive(QStringView(name).mid(kReservationNote.size())))
            continue;
        QFile note(folder + QLatin1Char('/') + name);
        const QList<QByteArray> lines = note.open(QIODevice::ReadOnly) ? note.read(64 * 1024).split('\n')
                                                                      : QList<QByteArray>();
        note.close();
        const QString path = QString::fromUtf8(lines.value(0));
        const QByteArray identity = lines.value(1);
        // Only the very file that was reserved, still empty: not a file the
        // user has put there since.
        if (!path.isEmpty() && !identity.isEmpty() && identity.endsWith(" 0") && fileIdentity(path) == identity) {
            if (QFile::remove(path))
                logMessage(QStringLiteral("[INFO] Auto Update :: removed the empty file of an interrupted download :: ") +
                           path);
        }
        note.remove();
    }
}

} // namespace

// The name comes from the server: it must stay a plain name inside the
// chosen folder.
QString DownloadBinary::packageFileName(const QUrl &url, const QString &fileName)
{
    QString name = QFileInfo(!fileName.isEmpty() ? fileName : urlFileName(url)).fileName();
    name.remove(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f/\\\\]")));
    // Qt takes a path that starts with a colon for one of its resources:
    // such a name would be neither saved nor opened in the folder.
    name.remove(QRegularExpression(QStringLiteral("^[:\\s]+")));
    name = name.trimmed();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("update.bin");
    return name;
}

DownloadBinary::ShellOpenFn &DownloadBinary::shellOpen()
{
    static ShellOpenFn fn = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    return fn;
}

DownloadBinary::DownloadBinary(const QString &currentVersion, QWidget *parentWidget, QObject *parent)
    : QObject(parent),
      currentVersionText(currentVersion),
      currentVersion(normalizeVersion(currentVersion)),
      currentDevStamp(parseDevStamp(currentVersion)),
      parentWidget(parentWidget),
      network(new QNetworkAccessManager(this))
{
}

DownloadBinary::~DownloadBinary()
{
    if (QNetworkReply *r = reply.data()) {
        // The reply dies with the network manager; none of its last signals
        // may reach this half-destroyed object.
        r->disconnect(this);
        if (r->isRunning())
            r->abort();
    }
    delete progressDialog.data();
    hash.reset();
    if (saveFile) {
        saveFile->cancelWriting();
        saveFile.reset();
        releaseTarget();
    }
}

void DownloadBinary::releaseTarget()
{
    // Only the empty file this download created to hold the name.
    if (targetReserved && QFileInfo(targetPath).isFile() && QFileInfo(targetPath).size() == 0)
        QFile::remove(targetPath);
    if (targetReserved)
        forgetReservation();
    targetReserved = false;
}

int DownloadBinary::checkTimeLeft() const
{
    // A request made outside a check has the whole time of one.
    if (checkDeadline.isForever())
        return limits.checkMs;
    return int(qBound(qint64(1), checkDeadline.remainingTime(), qint64(limits.checkMs)));
}

void DownloadBinary::setQuitAfterInstallerLaunch(bool quit)
{
    quitAfterInstallerLaunch = quit;
}

void DownloadBinary::connectReplyErrors(QNetworkReply *r)
{
    // Certificate problems are never ignored: the handler only reports them
    // and ends the request.
    connect(r, &QNetworkReply::sslErrors, this, &DownloadBinary::handleSslErrors);
}

QNetworkReply *DownloadBinary::sendCheckRequest(const QUrl &url,
                                                void (DownloadBinary::*handler)(QNetworkReply *))
{
    QNetworkReply *r = network->get(updateRequest(url, currentVersionText, kCheckTimeoutMs));
    reply = r;
    new ReplyGuard(r, limits.checkBytes, checkTimeLeft());
    connectReplyErrors(r);
    r->setProperty("handled", false);
    connect(r, &QNetworkReply::finished, this, [this, r, handler] {
        if (r->property("handled").toBool())
            return;
        r->setProperty("handled", true);
        (this->*handler)(r);
    });
    if (r->isFinished() && !r->property("handled").toBool()) {
        r->setProperty("handled", true);
        (this->*handler)(r);
    }
    return r;
}

void DownloadBinary::releaseCheckReply(QNetworkReply *r)
{
    r->deleteLater();
    if (reply.data() == r)
        reply.clear();
}

QUrl DownloadBinary::indexUrl(const QString &channelName) const
{
    QUrl url = trackListUrl;
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    path += track + QLatin1Char('/') + channelName + QStringLiteral("/index.json");
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

void DownloadBinary::startUpdateCheck()
{
    const QString product = Http_singleton::instance()->productName().remove(QLatin1Char(' '));
    const QString prefix = QString::fromLatin1(
        QCryptographicHash::hash(product.toUtf8(), QCryptographicHash::Md5).toHex().left(5));
    QUrl url = QUrl::fromUserInput(Http_singleton::instance()->updateBaseUrl());
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    path += prefix + QLatin1Char('_') + product + QLatin1Char('/');
    url.setPath(path, QUrl::DecodedMode);
    trackListUrl = url;

    ++checkSerial;
    checkDeadline.setRemainingTime(limits.checkMs);
    track.clear();
    testingAllowed = false;
    testingTried = false;
    selectedAsset.reset();
    abortCurrentReply();
    emit updateCheckStarted(url);
    sendCheckRequest(url, &DownloadBinary::onTrackListFinished);
}

void DownloadBinary::requestMetadata(const QUrl &url)
{
    abortCurrentReply();
    emit updateCheckStarted(url);
    sendCheckRequest(url, &DownloadBinary::onMetaJsonFinished);
}

void DownloadBinary::dropReply()
{
    if (QNetworkReply *r = reply.data()) {
        reply.clear();
        // An abandoned request is handled by nobody: its finished signal
        // must neither run a handler nor release the package file again.
        r->setProperty("handled", true);
        r->disconnect(this);
        if (r->isRunning())
            r->abort();
        r->deleteLater();
    }
}

void DownloadBinary::abortCurrentReply()
{
    ++checkSerial;
    dropReply();
    closeProgressDialog();
    if (saveFile) {
        saveFile->cancelWriting();
        saveFile.reset();
        releaseTarget();
    }
    hash.reset();
}

template <typename Parse, typename Then>
void DownloadBinary::parseOffThread(Parse parse, Then then)
{
    // The window's thread only waits for the result; a check abandoned
    // meanwhile drops it.
    using Result = std::invoke_result_t<Parse>;
    const quint64 serial = checkSerial;
    QtConcurrent::run(QThreadPool::globalInstance(), std::move(parse))
        .then(this, [this, serial, then](const Result &parsed) {
            if (serial == checkSerial)
                then(parsed);
        });
}

void DownloadBinary::onTrackListFinished(QNetworkReply *r)
{
    if (r->error() != QNetworkReply::NoError) {
        const QString error = replyErrorText(r);
        releaseCheckReply(r);
        emit updateCheckFailed(error);
        return;
    }
    const QByteArray body = ReplyGuard::of(r)->takeBody();
    releaseCheckReply(r);
    parseOffThread([body] { return sortedTracks(body); },
                   [this](const QStringList &tracks) {
                       applyTracks(tracks);
                       requestMetadata(indexUrl(channel));
                   });
}

void DownloadBinary::onMetaJsonFinished(QNetworkReply *r)
{
    const bool ok = r->error() == QNetworkReply::NoError;
    const QString error = ok ? QString() : replyErrorText(r);
    const QByteArray body = ok ? ReplyGuard::of(r)->takeBody() : QByteArray();
    releaseCheckReply(r);
    if (!ok) {
        actOnIndex(decideIndex(false, error, ParsedIndex()));
        return;
    }
    parseOffThread([body] { return parseIndex(body); },
                   [this](const ParsedIndex &parsed) { actOnIndex(decideIndex(true, QString(), parsed)); });
}

void DownloadBinary::actOnIndex(const IndexDecision &d)
{
    switch (d.kind) {
    case IndexDecision::RetryTesting:
        requestMetadata(indexUrl(channel));
        break;
    case IndexDecision::Failed:
        emit updateCheckFailed(d.error);
        break;
    case IndexDecision::NoUpdate:
        emit noUpdateAvailable(currentVersion);
        break;
    case IndexDecision::UpdateAvailable:
        emit updateAvailable(currentVersion, d.chosen.versionNumber, QString(), d.chosen.url, d.chosen.sha256);
        break;
    }
}

void DownloadBinary::handleSslErrors(const QList<QSslError> &errors)
{
    if (errors.isEmpty())
        return;
    const QString message = tr("Erreur SSL: %1").arg(errors.first().errorString());
    logMessage(QStringLiteral("[WARN] Auto Update :: ssl error :: ") + peertext::clean(message));
    QNetworkReply *r = reply.data();
    const bool downloading = saveFile != nullptr;
    if (downloading) {
        // The abort finishes the reply as cancelled; its one finished handler
        // reports this message and releases the file.
        sslFailure = message;
        if (r && r->isRunning()) {
            r->abort();
        } else {
            abortCurrentReply();
            emit downloadFailed(message);
        }
        closeProgressDialog();
        return;
    }
    dropReply();
    closeProgressDialog();
    emit updateCheckFailed(message);
}

QByteArray DownloadBinary::fetchNotes(QNetworkAccessManager *manager, const QUrl &url, QString *error,
                                      qint64 maxBytes, int deadlineMs)
{
    QNetworkReply *r =
        manager->get(updateRequest(url, QCoreApplication::applicationVersion(), kCheckTimeoutMs));
    // Only the beginning is shown: a longer change log is cut, not refused.
    auto *guard = new ReplyGuard(r, maxBytes, deadlineMs, ReplyGuard::Body::Truncate);
    if (!r->isFinished()) {
        QEventLoop loop;
        QObject::connect(r, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!r->isFinished())
            loop.exec();
    }
    QByteArray body;
    if (r->error() == QNetworkReply::NoError || guard->truncated()) {
        body = guard->takeBody();
    } else {
        const QString text = replyErrorText(r);
        logMessage(QStringLiteral("[WARN] Auto Update :: change log :: ") + text);
        if (error)
            *error = text;
    }
    r->deleteLater();
    return body;
}

QString DownloadBinary::buildUpdatePrompt(const QVersionNumber &remote) const
{
    QString current = currentVersion.toString();
    if (currentDevStamp >= 1)
        current += tr(" (TESTING, %1)").arg(devStampText(currentDevStamp));

    QString remoteText = remote.toString();
    QStringList extras;
    if (!channel.isEmpty())
        extras << channel;
    if (selectedAsset && selectedAsset->devStamp >= 1)
        extras << tr(" %1").arg(devStampText(selectedAsset->devStamp));
    if (!extras.isEmpty())
        remoteText += QStringLiteral(" (") + extras.join(QStringLiteral(", ")) + QLatin1Char(')');

    QString text = tr("Version actuelle : %1\nVersion disponible : %2").arg(current, remoteText);
    if (selectedAsset) {
        const QString file = selectedAsset->name.isEmpty() ? urlFileName(selectedAsset->url) : selectedAsset->name;
        if (!file.isEmpty())
            text += tr("\nFichier : %1").arg(file);
    }
    text += tr("\nTaille : %1")
                .arg(selectedAsset && selectedAsset->size > 0 ? formatSize(selectedAsset->size) : tr("inconnue"));
    if (selectedAsset && !selectedAsset->arch.isEmpty())
        text += tr("\nPlateforme : %1").arg(selectedAsset->arch);
    return text;
}

QString DownloadBinary::buildUpdateDetails(const QString &sha256) const
{
    QString details;
    // Only a web address is followed: an index naming a local file or any
    // other scheme gets no notes.
    if (isWebUrl(notesUrl)) {
        const QByteArray body = fetchNotes(network, notesUrl, nullptr, limits.notesBytes, checkTimeLeft());
        if (!body.isEmpty()) {
            QString notes = QString::fromUtf8(body);
            if (notes.size() > kNotesMaxChars)
                notes = notes.left(kNotesMaxChars) + QLatin1Char('\n') + QChar(0x2026);
            details = tr("%1").arg(notes);
        }
    }
    if (!sha256.isEmpty()) {
        if (!details.isEmpty())
            details += QLatin1Char('\n');
        details += tr("SHA-256 : %1").arg(sha256);
    }
    return details;
}

bool DownloadBinary::checkForUpdates(bool interactive)
{
    removeLeftReservations();
    if (Http_singleton::instance()->updateBaseUrl().trimmed().isEmpty()) {
        logMessage("[INFO] Auto Update :: no update server configured");
        return true;
    }

    bool gotUpdate = false;
    bool failed = false;
    bool done = false;
    QUrl pkgUrl;
    QString sha256;
    QVersionNumber remote;
    QEventLoop loop;

    const QMetaObject::Connection c1 = connect(
        this, &DownloadBinary::updateAvailable, &loop,
        [&](const QVersionNumber &, const QVersionNumber &r, const QString &, const QUrl &u, const QString &s) {
            gotUpdate = true;
            Http_singleton::instance()->setUpdateCheckOk(true);
            remote = r;
            pkgUrl = u;
            sha256 = s;
            done = true;
            loop.quit();
        });
    const QMetaObject::Connection c2 = connect(this, &DownloadBinary::noUpdateAvailable, &loop, [&] {
        logMessage("[INFO] Auto Update :: no update available");
        gotUpdate = false;
        done = true;
        loop.quit();
    });
    const QMetaObject::Connection c3 = connect(this, &DownloadBinary::updateCheckFailed, &loop, [&](const QString &e) {
        logMessage(QStringLiteral("[WARN] Auto Update :: check failed :: ") + peertext::clean(e));
        gotUpdate = false;
        failed = true;
        done = true;
        loop.quit();
    });

    startUpdateCheck();
    // The whole check may already be over when a reply finished at once.
    if (!done)
        loop.exec();
    disconnect(c1);
    disconnect(c2);
    disconnect(c3);

    const auto endCheck = [&] {
        if (!pkgUrl.isEmpty() && !pkgUrl.isValid()) {
            logMessage(QStringLiteral("[WARN] Auto Update :: update url not valid :: ") + peertext::clean(maskedAddress(pkgUrl)));
            Http_singleton::instance()->setUpdateCheckOk(false);
        }
        if (failed) {
            logMessage("[WARN] Auto Update :: failed to get update");
            Http_singleton::instance()->setUpdateCheckOk(false);
        }
        return true;
    };

    if (!gotUpdate) {
        logMessage("[INFO] Auto Update :: no update available");
        Http_singleton::instance()->setUpdateCheckOk(true);
        return endCheck();
    }
    if (!pkgUrl.isValid() || failed)
        return endCheck();
    // A package without a usable digest could never be verified: it is not
    // offered at all, rather than refused after the user said yes.
    if (!normalizeSha256(sha256, nullptr)) {
        logMessage(QStringLiteral("[WARN] Auto Update :: package digest missing or malformed, not offered :: ")
                   + peertext::clean(maskedAddress(pkgUrl)) + QStringLiteral(" :: ") + peertext::clean(sha256, 128));
        Http_singleton::instance()->setUpdateCheckOk(false);
        return true;
    }
    // Nor is one that the download would refuse to fetch.
    if (!isWebUrl(pkgUrl)) {
        logMessage(QStringLiteral("[WARN] Auto Update :: update url not valid :: ") + peertext::clean(maskedAddress(pkgUrl)));
        Http_singleton::instance()->setUpdateCheckOk(false);
        return true;
    }

    if (interactive) {
        QMessageBox box(QMessageBox::Question, tr("Mise à jour disponible"), buildUpdatePrompt(remote),
                        QMessageBox::Yes | QMessageBox::No, parentWidget);
        box.setInformativeText(tr("Télécharger et installer maintenant ?"));
        const QString details = buildUpdateDetails(sha256);
        if (!details.isEmpty())
            box.setDetailedText(details);
        if (box.exec() != QMessageBox::Yes)
            return true;
    }

    // Start-up ends only when the verified package was really handed over;
    // a package the desktop could not open leaves the player to start.
    bool handedOver = false;
    bool outcome = false;
    QEventLoop downloadLoop;
    const auto endWait = [&](bool ok) {
        handedOver = ok;
        outcome = true;
        downloadLoop.quit();
    };
    const QMetaObject::Connection d1 = connect(this, &DownloadBinary::installerLaunched, &downloadLoop,
                                               [&] { endWait(true); });
    const QMetaObject::Connection d2 = connect(this, &DownloadBinary::installerLaunchFailed, &downloadLoop,
                                               [&](const QString &e) {
                                                   logMessage(QStringLiteral("[WARN] Auto Update :: hand-over failed :: ") + peertext::clean(e));
                                                   endWait(false);
                                               });
    const QMetaObject::Connection d3 = connect(this, &DownloadBinary::downloadFailed, &downloadLoop,
                                               [&](const QString &e) {
                                                   logMessage(QStringLiteral("[WARN] Auto Update :: download failed :: ") + peertext::clean(e));
                                                   endWait(false);
                                               });
    const QMetaObject::Connection d4 = connect(this, &DownloadBinary::verificationFailed, &downloadLoop,
                                               [&] { endWait(false); });
    startDownload(pkgUrl, QString(), sha256, quitAfterInstallerLaunch, interactive);
    if (!outcome)
        downloadLoop.exec();
    disconnect(d1);
    disconnect(d2);
    disconnect(d3);
    disconnect(d4);
    return !handedOver;
}

void DownloadBinary::startDownload(const QUrl &url, const QString &fileName, const QString &sha256,
                                   bool quitAfterLaunch, bool interactive)
{
    abortCurrentReply();
    packageUrl = url;
    expectedSha256 = sha256.trimmed();
    quitAfterInstallerLaunch = quitAfterLaunch;
    writeFailed = false;
    sslFailure.clear();
    packageRefusal.clear();
    packageReceived = 0;

    // Without a usable digest the package could never be trusted: nothing is
    // fetched and nothing is written.
    if (!normalizeSha256(expectedSha256, nullptr)) {
        logMessage(QStringLiteral("[WARN] Auto Update :: package digest missing or malformed :: ") + peertext::clean(expectedSha256, 128));
        emit verificationFailed(expectedSha256, QString());
        return;
    }
    if (!isWebUrl(url)) {
        logMessage(QStringLiteral("[WARN] Auto Update :: update url not valid :: ") + peertext::clean(maskedAddress(url)));
        emit downloadFailed(tr("Adresse du paquet invalide."));
        return;
    }

    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QDir().mkpath(folder);
    const QString name = packageFileName(url, fileName);

    if (interactive) {
        const QString suffix = packageSuffix(name);
        QFileDialog dialog(parentWidget, tr("Enregistrer la mise à jour"), folder,
                           tr("Fichier (%1)").arg(suffix.isEmpty() ? QStringLiteral("*")
                                                                   : QStringLiteral("*.") + suffix));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDirectory(folder);
        dialog.selectFile(name);
        const QStringList chosen = dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
        targetPath = chosen.value(0);
        if (targetPath.isEmpty()) {
            emit downloadFailed(tr("Opération annulée par l’utilisateur."));
            return;
        }
    } else {
        // Nobody chose this place: a file already there is the user's and
        // stays; the package takes a free name beside it.
        targetPath = reserveFreeName(folder, name);
        if (targetPath.isEmpty()) {
            logMessage(QStringLiteral("[WARN] Auto Update :: no free name in :: ") + folder);
            emit downloadFailed(tr("Impossible d’ouvrir le fichier destination."));
            return;
        }
        targetReserved = true;
        noteReservation(targetPath);
    }

    // The package is written under a temporary name and only takes its final
    // name once its digest matched.
    saveFile = std::make_unique<QSaveFile>(targetPath);
    if (!saveFile->open(QIODevice::WriteOnly)) {
        logMessage(QStringLiteral("[WARN] Auto Update :: cannot write :: ") + targetPath + QStringLiteral(" :: ") +
                   saveFile->errorString());
        saveFile.reset();
        releaseTarget();
        emit downloadFailed(tr("Impossible d’ouvrir le fichier destination."));
        return;
    }
    hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);

    // The package is stored as the server sends it, and its digest is of
    // those bytes: no encoding is asked for (the network would otherwise
    // unpack it here, unbounded), and one sent all the same is refused.
    QNetworkRequest request = updateRequest(url, currentVersionText, kPackageTimeoutMs);
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *r = network->get(request);
    reply = r;
    // What arrives faster than it is stored waits in the server's socket.
    r->setReadBufferSize(kPackageBufferBytes);
    new ReplyGuard(r, limits.packageBytes, limits.packageMs, ReplyGuard::Body::Count);
    connectReplyErrors(r);
    connect(r, &QNetworkReply::metaDataChanged, this, [this, r] {
        const int status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray encoding = r->rawHeader("Content-Encoding").trimmed().toLower();
        if (reply.data() != r || status < 200 || status >= 300 || encoding.isEmpty() || encoding == "identity")
            return;
        logMessage(QStringLiteral("[WARN] Auto Update :: encoded package refused :: ") + peertext::clean(encoding, 64));
        packageRefusal = tr("Paquet refusé : le serveur l’a envoyé encodé (%1).").arg(peertext::clean(encoding, 64));
        if (r->isRunning())
            r->abort();
    });

    if (interactive) {
        showProgressDialog(tr("Téléchargement de la mise à jour"),
                           !fileName.isEmpty() ? fileName : urlFileName(packageUrl));
        connect(r, &QNetworkReply::downloadProgress, this, &DownloadBinary::updateProgress);
        connect(r, &QNetworkReply::finished, this, &DownloadBinary::closeProgressDialog);
        connect(r, &QNetworkReply::errorOccurred, this, &DownloadBinary::closeProgressDialog);
    }

    emit downloadStarted(url, targetPath);

    r->setProperty("handled", false);
    connect(r, &QNetworkReply::readyRead, this, &DownloadBinary::onDownloadReadyRead);
    connect(r, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64 total) { emit downloadProgress(received, total); });
    connect(r, &QNetworkReply::finished, this, [this, r] {
        if (r->property("handled").toBool() || reply.data() != r)
            return;
        r->setProperty("handled", true);
        onDownloadFinished();
    });
    if (r->isFinished() && !r->property("handled").toBool()) {
        closeProgressDialog();
        r->setProperty("handled", true);
        onDownloadFinished();
    }
}

void DownloadBinary::onDownloadReadyRead()
{
    QNetworkReply *r = reply.data();
    if (!r || !saveFile || !packageRefusal.isEmpty())
        return;
    ReplyGuard *guard = ReplyGuard::of(r);
    // At most the read buffer's worth is waiting: each call stores a bounded
    // amount, and the cap holds for what is stored, not only for what the
    // network counted.
    while (r->bytesAvailable() > 0) {
        const QByteArray data = r->read(kPackageBufferBytes);
        if (data.isEmpty())
            return;
        packageReceived += data.size();
        if (guard && !guard->admit(packageReceived))
            return;
        if (hash)
            hash->addData(data);
        if (!writeFailed && saveFile->write(data) != data.size())
            writeFailed = true;
    }
}

void DownloadBinary::onDownloadFinished()
{
    QNetworkReply *r = reply.data();
    if (!r)
        return;
    if (r->error() == QNetworkReply::NoError)
        onDownloadReadyRead();
    reply.clear();
    r->deleteLater();

    // From here this handler alone owns the file and the digest; nothing
    // else can release them a second time.
    std::unique_ptr<QSaveFile> file = std::move(saveFile);
    std::unique_ptr<QCryptographicHash> digest = std::move(hash);
    const auto discard = [this, &file] {
        if (file)
            file->cancelWriting();
        file.reset();
        releaseTarget();
    };

    const ReplyGuard *guard = ReplyGuard::of(r);
    if (guard && guard->breach() != ReplyGuard::Breach::None) {
        discard();
        emit downloadFailed(guard->breachText());
        return;
    }
    if (!packageRefusal.isEmpty()) {
        discard();
        emit downloadFailed(packageRefusal);
        return;
    }
    if (r->error() == QNetworkReply::OperationCanceledError) {
        discard();
        emit downloadFailed(sslFailure.isEmpty() ? tr("Téléchargement annulé.") : sslFailure);
        return;
    }
    if (r->error() != QNetworkReply::NoError) {
        discard();
        emit downloadFailed(r->errorString());
        return;
    }
    if (!file || !digest || writeFailed || !file->flush()) {
        discard();
        emit downloadFailed(tr("Échec de l’enregistrement du fichier."));
        return;
    }

    const QString actual = QString::fromLatin1(digest->result().toHex());
    QString expected;
    if (!normalizeSha256(expectedSha256, &expected) || expected != actual) {
        discard();
        logMessage(QStringLiteral("[WARN] Auto Update :: verification failed :: expected %1 actual %2")
                       .arg(peertext::clean(expectedSha256, 128), actual));
        emit verificationFailed(expectedSha256, actual);
        return;
    }
    if (!file->commit()) {
        file.reset();
        releaseTarget();
        emit downloadFailed(tr("Échec de l’enregistrement du fichier."));
        return;
    }
    if (targetReserved)
        forgetReservation();
    targetReserved = false;
    file.reset();
    emit downloadFinished(targetPath);

    if (shellOpen() && shellOpen()(QUrl::fromLocalFile(targetPath))) {
        logMessage(QStringLiteral("[INFO] Auto Update :: package handed over :: ") + targetPath);
        emit installerLaunched(targetPath);
        if (quitAfterInstallerLaunch && QCoreApplication::instance())
            QTimer::singleShot(100, QCoreApplication::instance(), &QCoreApplication::quit);
    } else {
        emit installerLaunchFailed(tr("Impossible d’ouvrir le fichier téléchargé."));
    }
}
