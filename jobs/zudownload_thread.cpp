#include "zudownload_thread.h"

#include "curlglobal.h"
#include "downloadmultiitems_presentation.h"
#include "http_singleton.h"
#include "logaddress.h"
#include "peertext.h"
#include "zulog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QUrl>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The first line of a file without a digest is looked at for an error
// message; a binary file may have no line end for gigabytes.
constexpr qint64 kFirstLineLimit = 64 * 1024;
// A part file is ".<file>" + kPartMarker + 13 base-36 digits + ".part".
const char kPartMarker[] = ".zudl-";
constexpr int kPartDigits = 13;
// A part file is created before its writer locks it, and unlocked a moment
// before it is moved into place: one younger than this is never taken for
// a leftover.
constexpr qint64 kStalePartSecs = 60;

// The address as libcurl is given it. libcurl ends the user information at
// its first '/', '?', '#' or '@' and refuses blanks in it, where a password
// typed into an address may hold any of them: the user information goes
// percent-encoded, and libcurl decodes it again for the login it sends. A
// '%' stays as it was typed, so that a password encoded by hand still works.
QByteArray curlAddress(const QString &url)
{
    const qsizetype at = addressUserInfoEnd(url);
    if (at < 0)
        return url.toUtf8();
    const qsizetype scheme = url.indexOf(QStringLiteral("://"));
    const qsizetype from = scheme < 0 ? 0 : scheme + 3;
    return url.left(from).toUtf8() + QUrl::toPercentEncoding(url.mid(from, at - from), ":%") +
           url.mid(at).toUtf8();
}

QString curlText(CURLcode code)
{
    return QString::fromUtf8(curl_easy_strerror(code));
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

// The part files of this program, left by a transfer that never ended (the
// program was killed or crashed): no writer holds their lock any more.
// Young files and files of any other name are never touched.
void removeStaleParts(const QDir &dir)
{
    static const QRegularExpression ours(QStringLiteral("^\\..+%1[0-9a-z]{%2}\\.part$")
                                             .arg(QRegularExpression::escape(QLatin1String(kPartMarker)))
                                             .arg(kPartDigits));
    const QStringList names = dir.entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (!ours.match(name).hasMatch())
            continue;
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        const bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                           QDateTime::currentSecsSinceEpoch() - qint64(st.st_mtime) > kStalePartSecs &&
                           ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (stale && ::unlink(path.constData()) == 0)
            logMessage(QStringLiteral("[INFO] ZuDownload thread :: read stream :: stale part file removed :: ") +
                       dir.filePath(name));
        ::close(fd);
    }
}

// A hidden name beside `target` that no file has yet, opened for writing
// only when it is still free: a file the user named like the download, or
// like its part file, is never opened, emptied or removed. The part file
// stays locked while it is open, which tells it from a leftover.
bool openFreshPart(QFile &out, const QString &target)
{
    const QFileInfo info(target);
    removeStaleParts(info.dir());
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name = QLatin1Char('.') + info.fileName() + QLatin1String(kPartMarker) +
                             QString::number(QRandomGenerator::global()->generate64(), 36)
                                 .rightJustified(kPartDigits, QLatin1Char('0')) +
                             QStringLiteral(".part");
        out.setFileName(info.dir().filePath(name));
        if (out.open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            // A file system without locks keeps its part files: never
            // removed as leftovers then.
            ::flock(out.handle(), LOCK_EX | LOCK_NB);
            return true;
        }
        if (!out.exists())
            return false;
    }
    return false;
}
} // namespace

ZuDownload_thread::ZuDownload_thread(DownloadMultiItems_Presentation *owner, QString url)
    : QThread(nullptr)
    , m_owner(owner)
    , m_url(url)
{
    // Read here, on the owner's thread: the owner's name text changes only
    // between transfers.
    if (m_owner) {
        m_outputPath = m_owner->fileName();
        m_generation = m_owner->transferGeneration();
    }
}

ZuDownload_thread::~ZuDownload_thread()
{
    if (isRunning()) {
        set_stop();
        wait();
    }
}

void ZuDownload_thread::set_stop()
{
    m_stop.store(true);
}

void ZuDownload_thread::run()
{
    get_data_with_libcurl(m_url);
}

void ZuDownload_thread::fail(const QString &message)
{
    if (!m_error)
        m_failure = message;
    m_error = true;
}

void ZuDownload_thread::toOwner(std::function<void(DownloadMultiItems_Presentation *)> call)
{
    DownloadMultiItems_Presentation *owner = m_owner;
    if (!owner)
        return;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        owner,
        [owner, generation, call] {
            if (owner->transferGeneration() == generation)
                call(owner);
        },
        Qt::QueuedConnection);
}

QString ZuDownload_thread::failureText(const QString &value)
{
    return tr("Erreur de téléchargement - %1").arg(value);
}

void ZuDownload_thread::showFailure(const QString &text, bool hideOpenFolder)
{
    toOwner([text, hideOpenFolder](DownloadMultiItems_Presentation *owner) {
        owner->interruptTransfer();
        owner->downloadInfoLabel->setText(text);
        owner->downloadInfoLabel->show();
        if (hideOpenFolder) {
            owner->openRepButton->setEnabled(false);
            owner->openRepButton->hide();
        }
    });
}

bool ZuDownload_thread::get_data_with_libcurl(QString url)
{
    logMessage(QStringLiteral("[INFO] ZuDownload thread :: get data with libcurl :: ") + maskedAddress(url));
    m_headers = ZuDownloadReply::Headers();
    m_stillRunning = 1;
    // Without it curl_easy_init sets libcurl up on its own, which is not safe
    // while another transfer thread starts at the same time.
    m_easy = zuCurlGlobalInit() ? curl_easy_init() : nullptr;
    m_multi = m_easy ? curl_multi_init() : nullptr;
    if (!m_easy || !m_multi) {
        fail(curlText(CURLE_OUT_OF_MEMORY));
        if (m_easy)
            curl_easy_cleanup(m_easy);
        m_easy = nullptr;
        endTransfer();
        return true;
    }

    const QByteArray url8 = curlAddress(url);
    curl_easy_setopt(m_easy, CURLOPT_URL, url8.constData());
    if (url.contains(QLatin1String("https://"))) {
        curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(m_easy, CURLOPT_CA_CACHE_TIMEOUT, 604800L);
    }
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &ZuDownload_thread::write_callback);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &ZuDownload_thread::header_callback);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(m_easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(m_easy, CURLOPT_XFERINFOFUNCTION, &ZuDownload_thread::progress_callback);
    curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(m_easy, CURLOPT_TIMEOUT, 0L);
    const QString version = Http_singleton::instance()->appVersion();
    if (version.contains(QLatin1String(".DEV")) || version.contains(QLatin1String(".patch")))
        curl_easy_setopt(m_easy, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
    // No redirect is followed: a 3xx answer fails the file with its status.
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Several transfers run on threads of their own: no signals for timeouts.
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);

    curl_multi_add_handle(m_multi, m_easy);
    logMessage("[INFO] ZuDownload thread :: get stream :: get data");

    while (m_stillRunning != 0) {
        CURLMcode mc = curl_multi_perform(m_multi, &m_stillRunning);
        if (mc == CURLM_OK && m_stillRunning != 0)
            mc = curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
        if (mc != CURLM_OK) {
            logMessage("[INFO] ZuDownload thread :: get stream :: break after mc");
            fail(QString::fromUtf8(curl_multi_strerror(mc)));
            break;
        }
        int queued = 0;
        while (CURLMsg *msg = curl_multi_info_read(m_multi, &queued)) {
            const QString text = curlText(msg->data.result);
            if (msg->msg != CURLMSG_DONE) {
                logMessage(QStringLiteral("[WARN] ZuDownload thread :: get stream :: transfer not completed :: ") + text);
                continue;
            }
            if (msg->data.result == CURLE_OK) {
                logMessage(QStringLiteral("[INFO] ZuDownload thread :: get stream :: transfer completed :: ") + text);
                continue;
            }
            logMessage(QStringLiteral("[ERROR] ZuDownload thread :: get stream :: transfer not completed :: ") + text);
            // The row says why, unless a stop or a refused reply (which has
            // said so already) ended the transfer.
            if (!m_stop.load())
                showFailure(failureText(text), false);
            fail(text);
            break;
        }
    }

    // Only a successful answer carries the file: an error status, or a
    // redirect, has not sent it.
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    if (!m_error && !m_stop.load() && !isSuccess(int(status))) {
        const QString value = QStringLiteral("Server error %1").arg(status);
        logMessage(QStringLiteral("[ERROR] ZuDownload thread :: get stream :: server error :: ") + QString::number(status));
        fail(value);
        showFailure(failureText(value), false);
    }

    logMessage(QStringLiteral("[INFO] ZuDownload thread :: get stream :: curl handle cleanup :: ")
               + QString::number(m_stillRunning));
    curl_multi_remove_handle(m_multi, m_easy);
    curl_multi_cleanup(m_multi);
    curl_easy_cleanup(m_easy);
    m_multi = nullptr;
    m_easy = nullptr;

    endTransfer();
    return true;
}

void ZuDownload_thread::endTransfer()
{
    QFile *out = m_owner ? &m_owner->outputFile() : nullptr;
    if (m_stop.load() || m_error) {
        if (m_opened && out) {
            logMessage(QStringLiteral("[INFO] ZuDownload thread :: item finished :: file in error, delete it :: ")
                       + out->fileName());
            out->close();
            const bool removed = out->remove();
            logMessage(QStringLiteral("[INFO] ZuDownload thread :: item finished :: file in error, delete :: ")
                       + (removed ? QStringLiteral("1") : QStringLiteral("0")));
        }
        // A stop that came after the last byte still ends as a stop.
        if (!m_error)
            fail(curlText(CURLE_ABORTED_BY_CALLBACK));
        Q_EMIT download_error(m_url, m_failure);
        return;
    }

    if (m_opened)
        m_received = QString::fromLatin1(m_hash.result().toHex());
    if (m_headers.digest.isEmpty()) {
        if (!m_opened || !out || !out->isOpen() || !out->isReadable()) {
            logMessage("[WARN] ZuDownload thread :: item finished :: output not open");
            const QString value = QStringLiteral("Fichier non lisible");
            fail(value);
            showFailure(failureText(value), true);
            Q_EMIT download_error(m_url, value);
            return;
        }
        out->flush();
        out->seek(0);
        const QByteArray line = out->readLine(kFirstLineLimit);
        if (!line.isEmpty() && line.contains("Error")) {
            logMessage("[INFO] ZuDownload thread :: item finished :: file in error, delete it");
            out->remove();
            const QString value = QStringLiteral("Fichier vide");
            fail(value);
            showFailure(failureText(value), true);
            Q_EMIT download_error(m_url, value);
            return;
        }
        if (line.isEmpty())
            logMessage("[WARN] ZuDownload thread :: item finished :: line is empty");
    }
    // The owner reads the file by its name once this run has ended.
    if (m_opened && out)
        out->close();
    Q_EMIT download_finished(m_headers.digest);
}

size_t ZuDownload_thread::header_callback(char *buffer, size_t size, size_t nitems, void *userdata)
{
    auto *self = static_cast<ZuDownload_thread *>(userdata);
    self->m_headers.addLine(buffer, size * nitems);
    return size * nitems;
}

size_t ZuDownload_thread::write_callback(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    static_cast<ZuDownload_thread *>(userdata)->read_stream(ptr, size * nmemb);
    return size * nmemb;
}

int ZuDownload_thread::progress_callback(void *clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                                         curl_off_t)
{
    auto *self = static_cast<ZuDownload_thread *>(clientp);
    if (self->m_stop.load()) {
        logMessage("[INFO] ZuDownload thread :: progress_callback :: stop thread detected");
        return 1;
    }
    // libcurl reports many times per second; unchanged counts are not news.
    if (dlnow != self->m_lastNow || dltotal != self->m_lastTotal) {
        self->m_lastNow = dlnow;
        self->m_lastTotal = dltotal;
        Q_EMIT self->downloadProgress(qint64(dlnow), qint64(dltotal));
    }
    return 0;
}

void ZuDownload_thread::read_stream(const char *data, size_t size)
{
    if (m_stop.load() || !m_owner)
        return;
    if (!data) {
        logMessage("[ERROR] ZuDownload thread :: get stream :: buffer curl is null");
        return;
    }
    // The body of a redirect is neither the file nor an error (a page saying
    // where the file went, whatever its type).
    if (m_headers.status >= 300 && m_headers.status < 400)
        return;
    const QString contentType = m_headers.contentType;
    if (ZuDownloadReply::classify(contentType) != ZuDownloadReply::Kind::Data) {
        refuseReply(contentType, QByteArray(data, qsizetype(size)));
        return;
    }
    // Nor is the body of an error status.
    if (!isSuccess(m_headers.status))
        return;

    QFile &out = m_owner->outputFile();
    if (!m_opened) {
        if (m_outputPath.isEmpty())
            return;
        logMessage(QStringLiteral("[INFO] ZuDownload thread :: read stream :: output set filename : ") + m_outputPath);
        out.close();
        const QString shown = QFileInfo(m_outputPath).fileName();
        toOwner([shown](DownloadMultiItems_Presentation *owner) { owner->fileNameLabel->setText(shown); });
        Q_EMIT statusChanged();
        if (!openFreshPart(out, m_outputPath)) {
            logMessage("[ERROR] ZuDownload thread :: output ERROR opening");
            const QString text = tr("Erreur à l'ouverture du fichier : %1").arg(out.errorString());
            m_stop.store(true);
            fail(text);
            toOwner([text](DownloadMultiItems_Presentation *owner) {
                owner->downloadInfoLabel->setText(text);
                owner->interruptTransfer();
            });
            Q_EMIT statusChanged();
            return;
        }
        m_opened = true;
        m_partPath = out.fileName();
        Q_EMIT statusChanged();
    }
    qint64 written = 0;
    while (written < qint64(size)) {
        const qint64 n = out.write(data + written, qint64(size) - written);
        if (n <= 0)
            break;
        written += n;
    }
    // Hashed as it is stored: the window's thread never reads the file back.
    m_hash.addData(QByteArrayView(data, written));
    if (written != qint64(size)) {
        const bool full = out.error() == QFileDevice::ResourceError ||
                          QStorageInfo(QFileInfo(out.fileName()).absolutePath()).bytesAvailable() < qint64(size) - written;
        const QString text =
            tr("Erreur à l'enregistrement : %1").arg(full ? tr("le disque est plein") : out.errorString());
        logMessage(QStringLiteral("[ERROR] ZuDownload thread :: read stream :: write failed :: ") +
                   (full ? QStringLiteral("disk full") : out.errorString()));
        m_stop.store(true);
        fail(text);
        toOwner([text](DownloadMultiItems_Presentation *owner) {
            owner->downloadInfoLabel->setText(text);
            owner->interruptTransfer();
        });
    }
}

void ZuDownload_thread::refuseReply(const QString &contentType, const QByteArray &chunk)
{
    // Reported once; the stop ends the transfer at the next progress report
    // and drops whatever else the server sends.
    if (m_replyRefused)
        return;
    m_replyRefused = true;
    m_stop.store(true);
    logMessage(QStringLiteral("[WARN] ZuDownload thread :: read stream :: content type :: ") + peertext::clean(contentType.trimmed()));
    switch (ZuDownloadReply::classify(contentType)) {
    case ZuDownloadReply::Kind::Html: {
        const ZuDownloadReply::Failure f = ZuDownloadReply::htmlFailure(chunk);
        logMessage(QStringLiteral("[INFO] ZuDownload thread :: read stream :: contain HTML :: data :: ") + peertext::clean(f.logged));
        const QString text = failureText(f.message);
        toOwner([text](DownloadMultiItems_Presentation *owner) {
            owner->downloadInfoLabel->setText(text);
            owner->downloadInfoLabel->show();
        });
        fail(f.message);
        break;
    }
    case ZuDownloadReply::Kind::Json: {
        const ZuDownloadReply::Failure f = ZuDownloadReply::jsonFailure(chunk);
        logMessage(QStringLiteral("[INFO] ZuDownload thread :: contain JSON  :: ") + peertext::clean(f.logged));
        logMessage(QStringLiteral("[INFO] ZuDownload thread :: ZURETURN_CODE + ") + peertext::clean(f.message));
        showFailure(failureText(f.message), false);
        toOwner([](DownloadMultiItems_Presentation *owner) {
            owner->tryAgainButton->setEnabled(true);
            owner->tryAgainButton->show();
        });
        fail(f.message);
        break;
    }
    default:
        showFailure(tr("Erreur de téléchargement"), false);
        fail(tr("Erreur de téléchargement"));
        break;
    }
    Q_EMIT statusChanged();
}
