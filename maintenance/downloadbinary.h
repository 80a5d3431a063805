#pragma once
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVersionNumber>

#include <functional>
#include <memory>
#include <optional>

class QCryptographicHash;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressDialog;
class QSaveFile;
class QWidget;

// One downloadable package as the release index lists it.
struct UpdateAsset
{
    QString name;
    QUrl url;
    qint64 size = 0;
    QString arch;
    QString sha256;
    QString id;
    QString id_sha256;
    QString version;
    QVersionNumber versionNumber;
    qint64 devStamp = -1;
    // Lower-case package suffix; the two-part archive suffixes ("tar.gz",
    // "tar.xz", "tar.bz2") are kept whole so that they can be told apart from
    // a bare compressed file.
    QString suffix;

    // Reads the version (and build stamp) from the name, else from the id.
    void parseAssetVersion();
};

// What the update check may cost. The whole check (listing, indexes, change
// log) lasts at most checkMs, redirects and handshakes included, and each of
// its requests may read at most checkBytes; the package at most packageBytes
// and packageMs. Past a bound the request fails (the change log is only cut,
// after notesBytes, or left out when no time is left for it) and start-up
// goes on.
struct UpdateLimits
{
    qint64 checkBytes = 4 * 1024 * 1024;
    int checkMs = 30000;
    qint64 notesBytes = 64 * 1024;
    qint64 packageBytes = qint64(2) * 1024 * 1024 * 1024;
    int packageMs = 30 * 60 * 1000;
};

// The start-up updater: asks the update server which release fits this build,
// offers it, downloads it, checks its SHA-256 and hands it to the desktop.
//
// Linux packages. The index lists the packages of every platform, told apart
// by their "arch" label; this build takes the ones labelled platformArch()
// ("Linux/64" on x86-64, "Linux/arm64" on 64-bit ARM). Package kinds take the
// places of the Windows ones in the scoring:
//   - installer kinds (in place of the .exe): ".deb" and ".AppImage";
//   - archive kinds (in place of the .zip): ".zip", ".tar.gz", ".tgz",
//     ".tar.xz"; an archive whose name or id says "launcher" is the launcher
//     archive, only wanted by an installation that prefers archives and runs
//     from a "bin" folder;
//   - anything else scores 0.
// The package is handed to the desktop's default handler for its type; what
// that handler does with it (a package installer, an archive manager) is the
// desktop's business.
class DownloadBinary : public QObject
{
    Q_OBJECT
public:
    DownloadBinary(const QString &currentVersion, QWidget *parentWidget, QObject *parent = nullptr);
    ~DownloadBinary() override;

    void setQuitAfterInstallerLaunch(bool quit);

    // Blocking start-up check. False only when a package was downloaded, its
    // digest verified and the package handed over; true in every other case
    // (start-up goes on). Without an update server address it returns true
    // at once.
    bool checkForUpdates(bool interactive);

    void startUpdateCheck();
    void requestMetadata(const QUrl &url);
    void startDownload(const QUrl &url, const QString &fileName, const QString &sha256,
                       bool quitAfterLaunch, bool interactive);
    void abortCurrentReply();
    void connectReplyErrors(QNetworkReply *r);
    // The change log, cut after maxBytes; the fetch ends after deadlineMs.
    static QByteArray fetchNotes(QNetworkAccessManager *manager, const QUrl &url, QString *error,
                                 qint64 maxBytes = UpdateLimits().notesBytes,
                                 int deadlineMs = UpdateLimits().checkMs);

    // How a downloaded package is handed over. Replaceable so that tests (or
    // another front end) can take the package instead of the desktop.
    using ShellOpenFn = std::function<bool(const QUrl &)>;
    static ShellOpenFn &shellOpen();

    // ---- Release selection: pure functions of reply bodies and state ----
    static QString platformArch();
    // The plain file name a package is saved under: `fileName` when given,
    // else the last part of the URL's path, cleaned of separators and
    // control characters ("update.bin" when nothing usable is left).
    static QString packageFileName(const QUrl &url, const QString &fileName = QString());
    // Lower-case package suffix of a file name ("deb", "tar.gz", ...).
    static QString packageSuffix(const QString &fileName);
    static QVersionNumber normalizeVersion(const QString &text);
    static qint64 parseDevStamp(const QString &text);
    static QString currentTrack(const QVersionNumber &version);
    static QStringList parseTrackList(const QByteArray &body);
    static QStringList filterTrackNames(const QStringList &names);
    static bool compareTrackVersions(const QString &a, const QString &b);
    static QString chooseTrack(const QStringList &sortedNames, const QString &wanted);
    // Listing body to the sorted list of distinct track names.
    static QStringList sortedTracks(const QByteArray &body);
    static QUrl parseNotesUrl(const QByteArray &body);
    static QList<UpdateAsset> parseAssets(const QByteArray &body);
    static int assetScore(bool preferZip, bool inBinFolder, const UpdateAsset &asset);
    // The package to install, with this installation's preferences.
    static UpdateAsset chooseAsset(const QList<UpdateAsset> &assets);
    static UpdateAsset chooseAsset(const QList<UpdateAsset> &assets, const QString &arch,
                                   bool preferZip, bool inBinFolder);
    static int compareAssets(const QVersionNumber &a, qint64 aStamp, const QVersionNumber &b,
                             qint64 bStamp);
    static int compareAssets(const UpdateAsset &a, const UpdateAsset &b);
    // True when the digest text (any case, spaces and colons allowed) is a
    // well-formed SHA-256; `normalized` receives its plain lower-case form.
    static bool normalizeSha256(const QString &text, QString *normalized);

    // The outcome of one index reply.
    struct IndexDecision
    {
        enum Kind { RetryTesting, Failed, NoUpdate, UpdateAvailable };
        Kind kind = Failed;
        QString error;
        UpdateAsset chosen;
        QUrl notesUrl;
    };
    // What an index body says; a pure function, run off the window's thread.
    struct ParsedIndex
    {
        QUrl notesUrl;
        QList<UpdateAsset> assets;
    };
    static ParsedIndex parseIndex(const QByteArray &body);
    // Chooses track and channel from a listing body, or from the sorted
    // track names parsed from it (resets the channel state); returns the
    // chosen track.
    QString applyTrackList(const QByteArray &body);
    QString applyTracks(const QStringList &sortedNames);
    // Decides on one index reply and updates the channel state and the
    // remembered package; the caller acts on the result.
    IndexDecision evaluateIndex(bool replyOk, const QString &replyError, const QByteArray &body);
    IndexDecision decideIndex(bool replyOk, const QString &replyError, const ParsedIndex &parsed);

    using Limits = UpdateLimits;
    void setLimits(const Limits &limits) { this->limits = limits; }
    QString channelName() const { return channel; }
    QString trackName() const { return track; }
    bool isTestingAllowed() const { return testingAllowed; }
    std::optional<UpdateAsset> selectedPackage() const { return selectedAsset; }

    // ---- Progress dialog and texts ----
    void showProgressDialog(const QString &title, const QString &fileName);
    void updateProgress(qint64 received, qint64 total);
    void closeProgressDialog();
    void cancelDownloadFromDialog();
    QProgressDialog *currentProgressDialog() const;
    static QString formatSize(qint64 bytes);
    static QString formatDuration(qint64 seconds);
    static QString devStampText(qint64 stamp);

signals:
    void updateCheckStarted(QUrl url);
    void updateAvailable(QVersionNumber current, QVersionNumber remote, QString notes,
                         QUrl packageUrl, QString sha256);
    void noUpdateAvailable(QVersionNumber current);
    void updateCheckFailed(QString error);
    void downloadStarted(QUrl url, QString targetPath);
    void downloadProgress(qlonglong received, qlonglong total);
    void downloadFinished(QString path);
    void downloadFailed(QString error);
    void verificationFailed(QString expected, QString actual);
    void installerLaunched(QString path);
    void installerLaunchFailed(QString error);

private slots:
    void onTrackListFinished(QNetworkReply *r);
    void onMetaJsonFinished(QNetworkReply *r);
    void onDownloadReadyRead();
    void onDownloadFinished();
    void handleSslErrors(const QList<QSslError> &errors);

private:
    QNetworkReply *sendCheckRequest(const QUrl &url, void (DownloadBinary::*handler)(QNetworkReply *));
    void releaseCheckReply(QNetworkReply *r);
    // Lets go of the current reply: marked handled, disconnected, aborted
    // while it runs, deleted later.
    void dropReply();
    QString buildUpdatePrompt(const QVersionNumber &remote) const;
    QString buildUpdateDetails(const QString &sha256) const;
    QUrl indexUrl(const QString &channelName) const;
    void actOnIndex(const IndexDecision &d);
    template <typename Parse, typename Then>
    void parseOffThread(Parse parse, Then then);
    // Removes the empty file that held the package's name.
    void releaseTarget();
    // What is left of the check's time, for its next request.
    int checkTimeLeft() const;

    QString currentVersionText;
    QVersionNumber currentVersion;
    qint64 currentDevStamp = -1;
    QWidget *parentWidget = nullptr;
    QNetworkAccessManager *network = nullptr;
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QSaveFile> saveFile;
    std::unique_ptr<QCryptographicHash> hash;
    QUrl trackListUrl;
    QUrl packageUrl;
    QString expectedSha256;
    QString targetPath;
    std::optional<UpdateAsset> selectedAsset;
    QString channel;
    QUrl notesUrl;
    QString track;
    bool testingAllowed = false;
    bool testingTried = false;
    QPointer<QProgressDialog> progressDialog;
    qint64 progressLastReceived = 0;
    qint64 progressLastMs = 0;
    bool quitAfterInstallerLaunch = true;
    Limits limits;
    // Counts the checks and the requests of a check: a parse that comes back
    // after its check was abandoned is dropped.
    quint64 checkSerial = 0;
    // The package's file was created empty by this download to hold its
    // name; it goes again when the download does not complete.
    bool targetReserved = false;
    // Set while a package is written and a chunk could not be stored.
    bool writeFailed = false;
    // The TLS failure that made the package download abort, reported in
    // place of the plain cancellation.
    QString sslFailure;
    // Why a package was refused as it came (an encoding), reported likewise.
    QString packageRefusal;
    // Bytes of the package taken from the network so far.
    qint64 packageReceived = 0;
    // The end of the check under way (forever outside a check).
    QDeadlineTimer checkDeadline{QDeadlineTimer::Forever};
};
