#include "downloadmultiitems_presentation.h"

#include "zudownload_reply.h"
#include "zudownload_thread.h"
#include "peertext.h"
#include "zulog.h"
#include "logaddress.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

namespace {
const char kContext[] = "DownloadMultiItems_Presentation";

// Sizes are counted in KiB; a sum past this would overflow in bytes.
constexpr qint64 kMaxTotalKiB = std::numeric_limits<qint64>::max() / 1024;

QString bit(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

// Puts `from` in the place of `to` in one step, replacing a file there;
// why not when it fails.
std::error_code replaceFile(const QString &from, const QString &to)
{
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(QFile::encodeName(from).toStdString()),
                            std::filesystem::path(QFile::encodeName(to).toStdString()), ec);
    return ec;
}
} // namespace

DownloadMultiItems_Presentation::DownloadMultiItems_Presentation(QList<DownloadFileRecord> pending,
                                                                 QList<DownloadFileRecord> done, QString folder)
    : Presentation_Interface(nullptr)
    , m_pending(pending)
    , m_done(done)
    , m_folder(folder)
{
    logMessage("[INFO] Download MultiItems Presentation :: Construct");
    logMessage(QStringLiteral("[INFO] Download MultiItems Presentation :: Construct :: download         ")
               + QString::number(m_pending.size()));
    logMessage(QStringLiteral("[INFO] Download MultiItems Presentation :: Construct :: download done    ")
               + QString::number(m_done.size()));

    if (m_pending.isEmpty())
        m_nameText = QString::number(m_done.size()) + tr(" fichiers téléchargés");
    else if (m_done.isEmpty())
        m_nameText = QString::number(m_pending.size()) + tr(" fichiers en erreurs");
    else
        m_nameText = QString::number(m_done.size()) + QStringLiteral(" / ")
                     + QString::number(m_pending.size() + m_done.size()) + tr(" fichiers téléchargés");

    if (!m_pending.isEmpty()) {
        m_totalSize = 0;
        for (const DownloadFileRecord &record : std::as_const(m_pending)) {
            bool ok = false;
            const qulonglong kib = record.size.toULongLong(&ok);
            if (ok)
                m_totalSize = qint64(qMin<qulonglong>(qulonglong(m_totalSize) + qMin<qulonglong>(kib, kMaxTotalKiB),
                                                      kMaxTotalKiB));
        }
    }

    setupRow();
    // Stop asks for confirmation first.
    disconnect(stopButton, &QPushButton::clicked, this, &Presentation_Interface::stop);
    connect(stopButton, &QPushButton::clicked, this, &DownloadMultiItems_Presentation::stop_button);
    tryAgainButton->hide();
    stopButton->hide();
    openButton->hide();
    progressBar->hide();
    openRepButton->hide();

    tryAgainButton->setEnabled(!m_pending.isEmpty());
    tryAgainButton->setVisible(!m_pending.isEmpty());
    fileNameLabel->setText(m_nameText);
    if (!m_folder.isEmpty()) {
        downloadInfoLabel->setText(m_folder);
        downloadInfoLabel->show();
    }
    setEnded();
    if (!m_done.isEmpty()) {
        m_output.setFileName(m_done.first().path);
        openRepButton->setEnabled(true);
        openRepButton->show();
    }
    stopButton->setEnabled(false);
}

DownloadMultiItems_Presentation::~DownloadMultiItems_Presentation()
{
    releaseTransfer();
}

QString DownloadMultiItems_Presentation::withFileHashQuery(const QString &url)
{
    for (const char *skip : {".exe", ".dmg", ".zip", "file_hash"})
        if (url.contains(QLatin1String(skip)))
            return url;
    // A password may hold '?' or '#': the query and the fragment are looked
    // for past the user information only.
    const qsizetype host = addressUserInfoEnd(url) + 1;
    const qsizetype hash = url.indexOf(QLatin1Char('#'), host);
    QString base = hash < 0 ? url : url.left(hash);
    const QString fragment = hash < 0 ? QString() : url.mid(hash);
    if (base.indexOf(QLatin1Char('?'), host) < 0)
        base += QLatin1Char('?');
    else if (!base.endsWith(QLatin1Char('?')) && !base.endsWith(QLatin1Char('&')))
        base += QLatin1Char('&');
    return base + QStringLiteral("file_hash=1") + fragment;
}

QString DownloadMultiItems_Presentation::formatRate(qint64 bits)
{
    static const char *const units[3] = {QT_TRANSLATE_NOOP("DownloadMultiItems_Presentation", "Bit"),
                                         QT_TRANSLATE_NOOP("DownloadMultiItems_Presentation", "kBit"),
                                         QT_TRANSLATE_NOOP("DownloadMultiItems_Presentation", "MBit")};
    return formatScaled(bits, units, kContext);
}

QString DownloadMultiItems_Presentation::formatSize(qint64 bytes)
{
    static const char *const units[3] = {QT_TRANSLATE_NOOP("DownloadMultiItems_Presentation", "B"),
                                         QT_TRANSLATE_NOOP("DownloadMultiItems_Presentation", "kB"),
                                         QT_TRANSLATE_NOOP("DownloadMultiItems_Presentation", "MB")};
    return formatScaled(bytes, units, kContext);
}

void DownloadMultiItems_Presentation::init()
{
    setRunning();
}

void DownloadMultiItems_Presentation::setFinished()
{
    logMessage("[INFO] Download Multi Items Presentation :: setFinished");
    setEnded();
}

bool DownloadMultiItems_Presentation::hasErrors()
{
    return m_stopped;
}

bool DownloadMultiItems_Presentation::downloadedSuccessfully()
{
    return !m_stopped && isFinished() && tryAgainButton->isHidden();
}

QString DownloadMultiItems_Presentation::fileName()
{
    return m_nameText;
}

void DownloadMultiItems_Presentation::start_downloading_item()
{
    logMessage("[INFO] Download Multi Items Presentation :: start downloading item");
    setStarted();
    stopButton->setEnabled(true);
    stopButton->show();
    openRepButton->setEnabled(false);
    openRepButton->hide();
    progressBar->show();
    tryAgainButton->setEnabled(false);
    tryAgainButton->hide();
    m_elapsed.start();
    downloadInfoLabel->clear();
    setByteProgress(progressBar, 0, qMax<qint64>(0, m_totalSize));
    if (m_pending.isEmpty()) {
        finished();
        return;
    }
    startCurrent("[INFO] Download Multi Items Presentation :: start downloading item :: ", nullptr);
}

void DownloadMultiItems_Presentation::startCurrent(const char *logPrefix, const char *urlLogPrefix)
{
    m_current = m_pending.first();
    m_currentUrl = m_current.url;
    m_nameText = m_current.path;
    logMessage(QString::fromUtf8(logPrefix) + m_current.path);
    if (urlLogPrefix)
        logMessage(QString::fromUtf8(urlLogPrefix) + maskedAddress(m_currentUrl));
    m_currentUrl = withFileHashQuery(m_currentUrl);
    init();
    get_data_with_libcurl(m_currentUrl);
}

void DownloadMultiItems_Presentation::releaseTransfer()
{
    if (!m_transfer)
        return;
    m_transfer->disconnect(this);
    logMessage(QStringLiteral(
                   "[INFO] Download Multi Items Presentation :: get data with libcurl :: delete download thread :: is running ")
               + bit(m_transfer->isRunning()));
    // A transfer still running here belongs to a file the job has left.
    m_transfer->set_stop();
    m_transfer->wait();
    // What it wrote and the job did not take in goes with it.
    const QString part = m_transfer->partFile();
    delete m_transfer;
    m_transfer = nullptr;
    if (!part.isEmpty())
        QFile::remove(part);
}

void DownloadMultiItems_Presentation::get_data_with_libcurl(QString url)
{
    logMessage("[INFO] Download Multi Items Presentation :: get data with libcurl");
    releaseTransfer();
    m_bytesReceived = 0;
    m_bytesTotal = 0;
    const quint64 generation = ++m_generation;
    m_transfer = new ZuDownload_thread(this, url);
    // What the thread sent before the job moved on to another transfer is
    // no longer about the current file.
    connect(m_transfer, &ZuDownload_thread::downloadProgress, this, [this, generation](qint64 received, qint64 total) {
        if (generation == m_generation)
            downloadProgress(received, total);
    });
    connect(m_transfer, &ZuDownload_thread::download_finished, this, [this, generation](QString sha) {
        if (generation == m_generation) {
            m_partFile = m_transfer->partFile();
            m_receivedSha = m_transfer->receivedSha256();
            item_finished(sha);
        }
    });
    connect(m_transfer, &ZuDownload_thread::download_error, this, [this, generation](QString url, QString code) {
        if (generation == m_generation)
            error(url, code);
    });
    connect(m_transfer, &ZuDownload_thread::statusChanged, this, &DownloadMultiItems_Presentation::statusChanged);
    m_transfer->start();
}

void DownloadMultiItems_Presentation::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_stopped)
        return;
    m_bytesReceived = bytesReceived;
    m_bytesTotal = bytesTotal;
    if (m_totalSize > 0)
        setByteProgress(progressBar, (m_bytesDone + bytesReceived) / 1024, m_totalSize);
    else
        setByteProgress(progressBar, m_done.size() + m_errors.size(),
                        m_pending.size() + m_done.size() + m_errors.size());
    updateInfoLabel();
}

bool DownloadMultiItems_Presentation::acceptCurrentFile(const QString &fileSha)
{
    const QString part = std::exchange(m_partFile, QString());
    const QString actual = std::exchange(m_receivedSha, QString());
    if (m_current.path.isEmpty() || part.isEmpty())
        return false; // nothing was written for it
    const QString expected = ZuDownloadReply::cleanDigest(fileSha);
    if (!expected.isEmpty()) {
        logMessage(QStringLiteral("[INFO] Download Multi Items Presentation :: item finished :: file digest :: ")
                   + expected);
        m_current.sha256 = expected;
        logMessage(QStringLiteral("[INFO] Download Multi Items Presentation :: item finished :: check sha :: ")
                   + actual);
        if (!ZuDownloadReply::digestMatches(expected, actual)) {
            logMessage(QStringLiteral("[ERROR] Download Multi Items Presentation :: item finished :: digest mismatch :: ")
                       + m_current.path);
            QFile::remove(part);
            downloadInfoLabel->setText(tr("Erreur de téléchargement - %1").arg(QStringLiteral("Empreinte SHA-256 incorrecte")));
            return false;
        }
    }
    if (!actual.isEmpty())
        m_current.sha256 = actual;
    if (const std::error_code ec = replaceFile(part, m_current.path)) {
        logMessage(QStringLiteral("[ERROR] Download Multi Items Presentation :: item finished :: cannot move into place :: ")
                   + m_current.path);
        QFile::remove(part);
        downloadInfoLabel->setText(tr("Erreur à l'enregistrement : %1").arg(QString::fromLocal8Bit(ec.message().c_str())));
        return false;
    }
    m_output.setFileName(m_current.path);
    return true;
}

void DownloadMultiItems_Presentation::item_finished(QString file_sha)
{
    if (m_output.isOpen())
        m_output.close();
    if (m_stopped) {
        logMessage("[INFO] Download Multi Items Presentation :: item finished :: is stopped");
        // The stop came after the transfer's last byte: what it wrote is not
        // moved into place, so it goes.
        if (!m_partFile.isEmpty())
            QFile::remove(std::exchange(m_partFile, QString()));
        finished();
        return;
    }
    m_bytesDone += m_bytesReceived;
    m_bytesReceived = 0;
    if (!m_pending.isEmpty())
        m_pending.removeFirst();
    bool failed = isInError();
    if (failed) {
        logMessage(
            QStringLiteral("[INFO] Download Multi Items Presentation :: item finished :: item in error, add to error list :: ")
            + m_current.path);
    } else {
        failed = !acceptCurrentFile(file_sha);
        logMessage(QStringLiteral("[INFO] Download Multi Items Presentation :: item finished :: ") + m_current.path);
        logMessage(QStringLiteral("[INFO] Download Multi Items Presentation :: item finished :: get file sha :: ")
                   + m_current.sha256);
    }
    (failed ? m_errors : m_done).append(m_current);

    if (!m_pending.isEmpty()) {
        m_retries = 0;
        startCurrent("[INFO] Download Multi Items Presentation :: item finished :: start new item       :: ",
                     "[INFO] Download Multi Items Presentation :: item finished :: url                  :: ");
        return;
    }
    finished();
}

void DownloadMultiItems_Presentation::error(QString url, QString code)
{
    Q_UNUSED(code);
    logMessage(QStringLiteral("[ERROR] Download Multi Items Presentation :: error :: ") + peertext::clean(downloadInfoLabel->text()));
    if (!m_stopped && m_retries < kMaxRetries) {
        logMessage(QStringLiteral("[ERROR] Download Multi Items Presentation :: error :: retry ")
                   + QString::number(m_retries));
        tryAgainButton->setEnabled(true);
        tryAgainButton->hide();
        openRepButton->setEnabled(false);
        openRepButton->hide();
        // Waits without holding up the window; a stop or a manual retry in
        // the meantime cancels it.
        const quint64 generation = ++m_retryGeneration;
        QTimer::singleShot(kRetryDelayMs, this, [this, generation] {
            if (generation == m_retryGeneration && !m_stopped)
                tryAgain();
        });
        ++m_retries;
        return;
    }
    if (!m_stopped) {
        logMessage(QStringLiteral("[ERROR] Download Multi Items Presentation :: error :: item failed :: ") + maskedAddress(url));
        setInErrorFlag(true);
        item_finished(QString());
        return;
    }
    if (m_stoppedByUser)
        downloadInfoLabel->setText(tr("Arrêt Utilisateur"));
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    stop();
}

void DownloadMultiItems_Presentation::downloadReadyRead()
{
}

void DownloadMultiItems_Presentation::error(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
}

void DownloadMultiItems_Presentation::metaDataChanged()
{
}

void DownloadMultiItems_Presentation::finished()
{
    progressBar->hide();
    stopButton->setEnabled(false);
    stopButton->hide();
    openRepButton->setEnabled(true);
    openRepButton->show();
    tryAgainButton->setEnabled(m_stopped);
    tryAgainButton->setVisible(m_stopped);
    setFinished();
    logMessage(QStringLiteral("[INFO] Download Multi Items Presentation ::finished :: downloadInfoLabel :: ")
               + peertext::clean(downloadInfoLabel->text()));
    Q_EMIT statusChanged();
}

void DownloadMultiItems_Presentation::stop_button()
{
    logMessage("[INFO] Download Multi Items Presentation :: stop button called");
    QMessageBox box;
    box.setWindowTitle(tr("Information"));
    box.setText(tr("Confirmer l'arrêt du téléchargement ?"));
    box.addButton(tr("Non"), QMessageBox::NoRole);
    QPushButton *yes = box.addButton(tr("Oui"), QMessageBox::YesRole);
    QPointer<DownloadMultiItems_Presentation> self(this);
    box.exec();
    // While the question was open the job may have ended, and the job window
    // may even have deleted its row: there is nothing left to stop then.
    if (!self || box.clickedButton() != yes || !isStarted())
        return;
    m_stopped = true;
    m_stoppedByUser = true;
    stop();
    // Between two transfers (a retry waiting) no transfer will report the
    // stop: the row says it now.
    if (!m_transfer || !m_transfer->isRunning())
        downloadInfoLabel->setText(tr("Arrêt Utilisateur"));
}

void DownloadMultiItems_Presentation::interruptTransfer()
{
    logMessage("[INFO] Download Multi Items Presentation :: stop");
    setUpdatesEnabled(false);
    stopButton->setEnabled(false);
    stopButton->hide();
    openRepButton->setEnabled(true);
    openRepButton->show();
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    if (m_transfer)
        m_transfer->set_stop();
    setUpdatesEnabled(true);
}

void DownloadMultiItems_Presentation::stop()
{
    m_stopped = true;
    ++m_retryGeneration;
    interruptTransfer();
}

void DownloadMultiItems_Presentation::tryAgain()
{
    logMessage(QStringLiteral("[INFO] Download Multi Items Presentation :: try Again ") + bit(isInError()));
    if (isInError()) {
        logMessage("[INFO] Download Multi Items Presentation :: tryAgain :: tryAgainFromError");
        tryAgainButton->setEnabled(true);
        tryAgainButton->show();
        setInErrorFlag(false);
        Q_EMIT tryAgainFromError(m_type);
        return;
    }
    if (!tryAgainButton->isEnabled())
        return;
    ++m_retryGeneration;
    m_stopped = false;
    m_stoppedByUser = false;
    setRunning();
    tryAgainButton->setEnabled(false);
    tryAgainButton->hide();
    stopButton->setEnabled(true);
    stopButton->show();
    openRepButton->setEnabled(false);
    openRepButton->hide();
    progressBar->show();
    // The previous transfer has ended, and its part file gone, before the
    // file starts again.
    releaseTransfer();
    start_downloading_item();
    Q_EMIT statusChanged();
}

void DownloadMultiItems_Presentation::open()
{
}

void DownloadMultiItems_Presentation::openRep()
{
    if (m_folder.isEmpty())
        return;
    logMessage(QStringLiteral("[INFO] Download Multi Items Presentation :: open rep :: ") + m_folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_folder));
}

void DownloadMultiItems_Presentation::updateInfoLabel()
{
    const qint64 totalBytes = qMax<qint64>(0, m_totalSize) * 1024;
    const qint64 doneBytes = m_bytesDone + m_bytesReceived;
    const qint64 elapsed = m_elapsed.isValid() ? m_elapsed.elapsed() : 0;
    // Nothing measurable yet: no rate and no time left rather than a
    // division by zero.
    const double speed = elapsed > 0 ? double(doneBytes) * 1000.0 / double(elapsed) : 0.0;
    const int doneCount = int(m_done.size());
    const int allCount = int(m_pending.size() + m_done.size());
    if (!downloadedSuccessfully()) {
        QString remainingText;
        if (totalBytes > 0 && speed > 0.0) {
            double remaining = qMax(0.0, double(totalBytes - doneBytes) / speed);
            QString unit = tr("secondes");
            if (remaining > 60) {
                remaining /= 60;
                unit = tr("minutes");
            }
            const qint64 shown = qint64(qMin(std::floor(remaining), 1e15));
            remainingText = tr("- %1 %2 restantes").arg(shown).arg(unit);
        }
        const qint64 bits = qint64(qMin(speed, 1e15)) * 8;
        downloadInfoLabel->setText(tr("%1 / %2 fichier(s) ( %5/sec %6 )")
                                       .arg(QString::number(doneCount), QString::number(allCount), formatRate(bits),
                                            remainingText));
        return;
    }
    if (doneBytes == totalBytes) {
        downloadInfoLabel->setText(formatSize(QFileInfo(m_output.fileName()).size()));
        return;
    }
    downloadInfoLabel->setText(tr("%1 / %2 fichier(s) - Arrété").arg(doneCount).arg(allCount));
}
