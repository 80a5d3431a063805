#include "downloadencodeitem_presentation.h"

#include "export_error.h"
#include "zudownload_encode_data.h"
#include "peertext.h"
#include "zulog.h"
#include "zutheme.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {
const char kContext[] = "DownloadEncodeItem_Presentation";
const char kHolders[] = "zuRowHolders";
const char kTimeFormat[] = "yyyy-MM-dd HH:mm:ss.zzz";

QString bit(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

DownloadEncodeItem_Presentation::DownloadEncodeItem_Presentation(QWidget *parent, const QString &fileName)
    : Presentation_Interface(nullptr)
    , m_fileName(fileName)
{
    Q_UNUSED(parent);
    logMessage("[INFO] Download Encode Item Presentation :: construct");
    setupUi(this);
    tryAgainButton->hide();
    stopButton->hide();
    openButton->hide();
    progressBar->hide();
    openRepButton->hide();
    connect(stopButton, &QPushButton::clicked, this, &DownloadEncodeItem_Presentation::stop_button);
    connect(openButton, &QPushButton::clicked, this, &DownloadEncodeItem_Presentation::open);
    connect(openRepButton, &QPushButton::clicked, this, &DownloadEncodeItem_Presentation::openRep);
    connect(tryAgainButton, &QPushButton::clicked, this, &DownloadEncodeItem_Presentation::tryAgain);

    fileNameLabel->setText(fileName);
    setState(false, false, false);
    m_output.setFileName(fileName);

    progressBar->hide();
    showOpenButtons();

    showFileIcon();
    fileNameLabel->setStyleSheet(QStringLiteral("color: white;"));
    downloadInfoLabel->setStyleSheet(QStringLiteral("color: white;"));
    progressBar->setStyleSheet(QString::fromLatin1(ZuTheme::kProgressBarStyle));
}

DownloadEncodeItem_Presentation::~DownloadEncodeItem_Presentation()
{
    detachWorker();
}

// ---------------------------------------------------------------- worker

int DownloadEncodeItem_Presentation::holders(const ZuDownload_encode_data *worker)
{
    return worker ? worker->property(kHolders).toInt() : 0;
}

void DownloadEncodeItem_Presentation::setDownloadEncodeObject(ZuDownload_encode_data *worker)
{
    if (worker == m_worker)
        return;
    detachWorker();
    m_worker = worker;
    if (worker)
        worker->setProperty(kHolders, holders(worker) + 1);
}

ZuDownload_encode_data *DownloadEncodeItem_Presentation::downloadEncodeObject() const
{
    return m_worker;
}

ZuDownload_encode_data *DownloadEncodeItem_Presentation::takeDownloadEncodeObject()
{
    ZuDownload_encode_data *worker = m_worker;
    if (!worker)
        return nullptr;
    disconnect(worker, nullptr, this, nullptr);
    disconnect(this, nullptr, worker, nullptr);
    m_worker = nullptr;
    worker->setProperty(kHolders, qMax(0, holders(worker) - 1));
    return worker;
}

void DownloadEncodeItem_Presentation::detachWorker()
{
    ZuDownload_encode_data *worker = takeDownloadEncodeObject();
    // No row holds it any more: its destructor stops a run still going
    // (abandoning its output) and joins its thread.
    if (worker && holders(worker) == 0)
        delete worker;
}

bool DownloadEncodeItem_Presentation::ignoreReport(const char *what) const
{
    if (!m_runEnded)
        return false;
    logMessage(QStringLiteral("[INFO] Download Encode Item Presentation :: %1 after the end, ignored")
                   .arg(QLatin1String(what)));
    return true;
}

// ---------------------------------------------------------------- flags

void DownloadEncodeItem_Presentation::setInError(bool inError)
{
    setInErrorFlag(inError);
    openButton->setEnabled(false);
    openButton->hide();
    openRepButton->setEnabled(false);
    openRepButton->hide();
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
}

void DownloadEncodeItem_Presentation::resetFlags()
{
    setState(false, false, false);
}

void DownloadEncodeItem_Presentation::init()
{
    logMessage("[INFO] Download Encode Item Presentation :: init");
}

void DownloadEncodeItem_Presentation::setFinished()
{
    logMessage("[INFO] Download Encode Item Presentation :: setFinished");
    setEnded();
}

void DownloadEncodeItem_Presentation::setStarted()
{
    logMessage("[INFO] Download Encode Item Presentation :: setStarted");
    Presentation_Interface::setStarted();
}

bool DownloadEncodeItem_Presentation::hasErrors()
{
    return m_errors;
}

QString DownloadEncodeItem_Presentation::fileName()
{
    return m_fileName;
}

// ---------------------------------------------------------------- run

void DownloadEncodeItem_Presentation::start_downloading_item()
{
    logMessage("[INFO] Download Encode Item Presentation :: start_downloading_item");
    setStarted();
    showRunningButtons();
    m_runEnded = false;
    m_rangeSeconds = -1;
    m_bytesReceived = 0;
    m_elapsed.start();
    if (!m_worker) {
        logMessage("[ERROR] Download Encode Item Presentation :: download_encode object not allocated");
        return;
    }
    if (m_startPending)
        return;
    m_startPending = true;
    // The last run of this worker (a row stopped a moment ago) may still be
    // ending: this one starts when it has, so that none of its reports
    // reaches this row. Connected before the test: a thread that is no
    // longer running has emitted finished() already, one that still runs
    // will emit it to this connection.
    const QMetaObject::Connection ended = connect(m_worker, &QThread::finished, this,
                                                  &DownloadEncodeItem_Presentation::startWorker,
                                                  Qt::SingleShotConnection);
    if (m_worker->isRunning())
        return;
    disconnect(ended);
    startWorker();
}

void DownloadEncodeItem_Presentation::startWorker()
{
    if (!m_startPending)
        return;
    m_startPending = false;
    if (!m_worker || m_runEnded)
        return;
    ZuDownload_encode_data *worker = m_worker;
    connect(worker, &ZuDownload_encode_data::start_download, this,
            &DownloadEncodeItem_Presentation::start_downloading_item, Qt::UniqueConnection);
    connect(worker, &ZuDownload_encode_data::finished, this, &DownloadEncodeItem_Presentation::finished,
            Qt::UniqueConnection);
    connect(worker, &ZuDownload_encode_data::error, this, qOverload<int>(&DownloadEncodeItem_Presentation::error),
            Qt::UniqueConnection);
    connect(worker, &ZuDownload_encode_data::frame_downloaded_encoded, this,
            &DownloadEncodeItem_Presentation::frame_downloaded_encoded, Qt::UniqueConnection);
    connect(worker, &ZuDownload_encode_data::generic_message, this, &DownloadEncodeItem_Presentation::generic_message,
            Qt::UniqueConnection);
    connect(this, &DownloadEncodeItem_Presentation::stop_button_pressed, worker,
            &ZuDownload_encode_data::set_stop_from_user, Qt::UniqueConnection);
    logMessage(QStringLiteral("[INFO] Download Encode Item Presentation :: download encode object is finished ")
               + bit(worker->isFinished()));
    logMessage(QStringLiteral("[INFO] Download Encode Item Presentation :: download encode object is running  ")
               + bit(worker->isRunning()));
    logMessage("[INFO] Download Encode Item Presentation :: start download encode object");
    worker->start(QThread::InheritPriority);
}

void DownloadEncodeItem_Presentation::frame_downloaded_encoded(QString current_timestamp, QString end_timestamp)
{
    if (m_runEnded)
        return;
    const QDateTime current = QDateTime::fromString(current_timestamp, QLatin1String(kTimeFormat));
    const QDateTime end = QDateTime::fromString(end_timestamp, QLatin1String(kTimeFormat));
    const qint64 left = current.secsTo(end); // 0 when either is invalid
    if (m_rangeSeconds < 0) {
        m_rangeSeconds = int(qBound(qint64(0), left, qint64(INT_MAX)));
        progressBar->setMinimum(0);
        progressBar->setMaximum(m_rangeSeconds);
    }
    progressBar->setValue(int(qBound(qint64(0), qint64(m_rangeSeconds) - left, qint64(m_rangeSeconds))));
    downloadInfoLabel->setText(tr("Téléchargement / encodage en cours [ ") + current_timestamp + QStringLiteral(" > ")
                               + end_timestamp + QStringLiteral(" ]"));
}

void DownloadEncodeItem_Presentation::generic_message(QString message)
{
    if (m_runEnded)
        return;
    downloadInfoLabel->setText(message);
}

void DownloadEncodeItem_Presentation::error(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
    logMessage("[INFO] Download Encode Item Presentation :: network error");
}

void DownloadEncodeItem_Presentation::error(int code)
{
    if (ignoreReport("error"))
        return;
    m_runEnded = true;
    logMessage("[INFO] Download Encode Item Presentation :: error");
    // A code that does not say it all (a full disk) comes with the worker's words.
    const QString why = m_worker ? m_worker->failureText() : QString();
    downloadInfoLabel->setText(why.isEmpty() ? tr("%1").arg(export_error::errorMessage(code)) : why);
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    stop();
    setInErrorFlag(true);
    Q_EMIT statusChanged();
}

void DownloadEncodeItem_Presentation::finished()
{
    if (ignoreReport("finished"))
        return;
    m_runEnded = true;
    logMessage("[INFO] Download Encode Item Presentation :: finished");
    progressBar->hide();
    showOpenButtons();
    m_output.close();
    setFinished();
    logMessage(QStringLiteral("[INFO] Download Encode Item Presentation :: finished :: downloadInfoLabel :: ")
               + peertext::clean(downloadInfoLabel->text()));
    Q_EMIT statusChanged();
}

void DownloadEncodeItem_Presentation::stop_button()
{
    logMessage("[INFO] Download Encode Item Presentation :: stop button");
    m_runEnded = true;
    downloadInfoLabel->setText(tr("%1").arg(export_error::errorMessage(-34)));
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    stop();
    setInErrorFlag(true);
    Q_EMIT statusChanged();
}

void DownloadEncodeItem_Presentation::stop()
{
    logMessage("[INFO] Download Encode Item Presentation :: stop");
    if (m_worker && m_worker->isRunning())
        m_worker->quit();
    Q_EMIT stop_button_pressed();
}

// ---------------------------------------------------------------- rest

void DownloadEncodeItem_Presentation::tryAgain()
{
    logMessage(QStringLiteral("[INFO] Download Encode Item Presentation ::tryAgain ") + bit(isInError()));
    if (isInError()) {
        logMessage("[INFO] Download Encode Item Presentation :: tryAgain :: tryAgainFromError");
        Q_EMIT tryAgainFromError(type());
        return;
    }
    m_errors = false;
    setRunning();
    if (tryAgainButton->isEnabled()) {
        tryAgainButton->setEnabled(false);
        tryAgainButton->hide();
        stopButton->setEnabled(true);
        stopButton->show();
        openRepButton->setEnabled(false);
        openRepButton->hide();
        progressBar->show();
        Q_EMIT statusChanged();
    }
}

void DownloadEncodeItem_Presentation::open()
{
    const QString path = QFileInfo(m_output.fileName()).absoluteFilePath();
    logMessage(QStringLiteral("[INFO] Download Encode Item Presentation :: open rep ") + path);
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DownloadEncodeItem_Presentation::openRep()
{
    const QString path = QFileInfo(m_output.fileName()).absolutePath();
    logMessage(QStringLiteral("[INFO] Download Encode Item Presentation :: open rep ") + path);
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DownloadEncodeItem_Presentation::downloadReadyRead()
{
    logMessage("[INFO] Download Encode Item Presentation :: downloadReadyRead");
}

void DownloadEncodeItem_Presentation::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    logMessage("[INFO] Download Encode Item Presentation :: downloadProgress");
    recordProgress(bytesReceived, bytesTotal);
}

void DownloadEncodeItem_Presentation::metaDataChanged()
{
    logMessage("[INFO] Download Encode Item Presentation :: metaDataChanged");
}

void DownloadEncodeItem_Presentation::updateInfoLabel()
{
    logMessage("[INFO] Download Encode Item Presentation :: updateInfoLabel");
    showTransferText(m_output.fileName(), kContext, false);
}

QString DownloadEncodeItem_Presentation::formatSize(qint64 bytes)
{
    return formatByteSize(bytes, kContext);
}
