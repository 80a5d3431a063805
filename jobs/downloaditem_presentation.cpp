#include "downloaditem_presentation.h"

#include "logaddress.h"
#include "peertext.h"
#include "zulog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSettings>
#include <QStandardPaths>

namespace {
const char kContext[] = "DownloadItem_Presentation";

QString tr_(const char *text)
{
    return QCoreApplication::translate(kContext, text);
}
} // namespace

DownloadItem_Presentation::DownloadItem_Presentation(Download_presentation *window, const QString &fileName)
    : Presentation_Interface(nullptr)
    , m_fileName(fileName)
{
    Q_UNUSED(window);
    setupRow();
    tryAgainButton->hide();

    fileNameLabel->setText(fileName);
    setFinishedFlag(true);
    setInErrorFlag(false);
    m_output.setFileName(fileName);

    progressBar->hide();
    showOpenButtons();
}

DownloadItem_Presentation::~DownloadItem_Presentation()
{
    detachReply();
    m_output.cancelWriting();
}

void DownloadItem_Presentation::detachReply()
{
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    m_selfAborted = true;
    m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

void DownloadItem_Presentation::setNetworkManager(QNetworkAccessManager *manager)
{
    m_manager = manager;
}

void DownloadItem_Presentation::setUrlText(const QString &url)
{
    m_urlText = url;
    // A row with an address is a download to run: neither started nor
    // finished, which the job window reads as waiting.
    if (!url.isEmpty() && !isStarted())
        setFinishedFlag(false);
}

void DownloadItem_Presentation::setSizeText(const QString &kib)
{
    m_sizeText = kib;
}

void DownloadItem_Presentation::setAskForFileName(bool ask)
{
    m_askForFileName = ask;
}

void DownloadItem_Presentation::init()
{
    logMessage("[INFO] DownloadItem_Presentation::Init");
    if (m_reply) {
        setRunning();
        m_selfAborted = false;
        m_url = m_reply->url();
        m_reply->ignoreSslErrors();
        connect(m_reply, &QNetworkReply::readyRead, this, &DownloadItem_Presentation::downloadReadyRead);
        connect(m_reply, &QNetworkReply::errorOccurred, this, &DownloadItem_Presentation::error);
        connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadItem_Presentation::downloadProgress);
        connect(m_reply, &QNetworkReply::metaDataChanged, this, &DownloadItem_Presentation::metaDataChanged);
        connect(m_reply, &QNetworkReply::finished, this, &DownloadItem_Presentation::finished);
        downloadInfoLabel->clear();
        progressBar->setValue(0);
        progressBar->setMinimum(0);
        progressBar->setMaximum(0);
        m_bytesReceived = 0;
        m_bytesTotal = 0;
        m_elapsed.start();
        if (m_reply->error() != QNetworkReply::NoError) {
            error(m_reply->error());
            finished();
        }
    }
    logMessage("[INFO] DownloadItem_Presentation::Init Done");
}

void DownloadItem_Presentation::setFinished()
{
    setFinishedFlag(true);
}

bool DownloadItem_Presentation::hasErrors()
{
    return isFinished();
}

void DownloadItem_Presentation::start_downloading_item()
{
    logMessage(QStringLiteral("[INFO] DownloadItem_Presentation :: start downloading item :: from url :: ") + maskedAddress(m_urlText));
    setStarted();
    showRunningButtons();
    m_url = QUrl(m_urlText);
    if (m_manager) {
        detachReply();
        m_reply = m_manager->get(QNetworkRequest(m_url));
        init();
    }
}

QString DownloadItem_Presentation::fileName()
{
    return m_fileName;
}

QString DownloadItem_Presentation::formatSize(qint64 bytes)
{
    return formatByteSize(bytes, kContext);
}

void DownloadItem_Presentation::updateInfoLabel()
{
    showTransferText(m_output.fileName(), kContext);
}

void DownloadItem_Presentation::failWithText(const QString &text)
{
    // The failure text and flags are in place before the reply is aborted:
    // the abort ends the job at once, and the window copies the row as it
    // stands at that moment.
    downloadInfoLabel->setText(text);
    downloadInfoLabel->show();
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    setInErrorFlag(true);
    stop();
    Q_EMIT statusChanged();
}

void DownloadItem_Presentation::downloadReadyRead()
{
    if (!m_reply)
        return;
    const QString contentType = m_reply->header(QNetworkRequest::ContentTypeHeader).toString();
    logMessage(QStringLiteral("[INFO] DownloadItem_Presentation :: read data :: ") + peertext::clean(contentType));
    if (contentType.contains(QLatin1String("html"))) {
        const QString body = QString::fromUtf8(m_reply->readAll());
        logMessage(QStringLiteral("[INFO] DownloadItem_Presentation::contain HTML + ") + peertext::clean(body));
        failWithText(tr_("Download Error - %1").arg(body));
        return;
    }
    if (contentType.contains(QLatin1String("json"))) {
        const QByteArray body = m_reply->readAll();
        logMessage(QStringLiteral("[INFO] DownloadItem_Presentation :: contain JSON :: ") + peertext::clean(body));
        const QString code = QJsonDocument::fromJson(body).object().value(QStringLiteral("ZURETURN_CODE")).toString();
        logMessage(QStringLiteral("[INFO] DownloadItem_Presentation :: ZURETURN_CODE + ") + peertext::clean(code));
        failWithText(tr_("Download Error - %1").arg(code));
        return;
    }

    if (!m_fileName.isEmpty() && !m_output.isOpen()) {
        logMessage(QStringLiteral("[INFO] DownloadItem_Presentation::m_output set filename ") + m_fileName);
        m_output.setFileName(m_fileName);
        fileNameLabel->setText(QFileInfo(m_fileName).fileName());
        Q_EMIT statusChanged();
    }
    if (m_askForFileName && m_output.fileName().isEmpty())
        return;
    if (!m_output.isOpen()) {
        logMessage("DownloadItem_Presentation::m_output not open");
        if (!m_askForFileName && m_output.fileName().isEmpty() && !getFileName())
            return;
        logMessage("[INFO] DownloadItem_Presentation::m_output WILL open");
        // Written under a temporary name and renamed when the reply has
        // ended without error, so an interrupted download leaves no file
        // that looks complete.
        if (!m_output.open(QIODevice::WriteOnly)) {
            logMessage("[ERROR] DownloadItem_Presentation::m_output ERROR opening");
            downloadInfoLabel->setText(tr_("Error opening save file : %1").arg(m_output.errorString()));
            stopButton->click();
            Q_EMIT statusChanged();
            return;
        }
        Q_EMIT statusChanged();
    }
    const QByteArray data = m_reply->readAll();
    if (m_output.write(data) != data.size()) {
        downloadInfoLabel->setText(tr_("Erreur à l'enregistrement : %1").arg(m_output.errorString()));
        stopButton->click();
    }
}

bool DownloadItem_Presentation::getFileName()
{
    logMessage("[INFO] DownloadItem_Presentation::getFileName");
    QSettings settings;
    settings.beginGroup(QStringLiteral("downloadmanager"));
    QString folder = settings
                         .value(QStringLiteral("downloadDirectory"),
                                QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))
                         .toString();
    settings.endGroup();
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    const QString name = defaultFileName(folder, m_url);
    if (m_askForFileName) {
        m_chosenPath = QFileDialog::getSaveFileName(this, tr_("Save File"), name, tr_("Image (*.jpg)"));
        if (m_chosenPath.isEmpty()) {
            detachReply();
            fileNameLabel->setText(tr_("Download canceled: %1").arg(QFileInfo(name).fileName()));
            return false;
        }
        m_output.setFileName(m_chosenPath);
        return true;
    }
    m_output.setFileName(name);
    return true;
}

QString DownloadItem_Presentation::defaultFileName(const QString &folder, const QUrl &url)
{
    // Only the last path segment of the address counts, so that neither a
    // separator nor ".." taken from a server's address can leave `folder`.
    QString last = QFileInfo(url.path(QUrl::FullyDecoded)).fileName();
    last.replace(QLatin1Char('\\'), QLatin1Char('_'));
    if (last == QLatin1String("..") || last == QLatin1String("."))
        last.clear();
    const int dot = last.lastIndexOf(QLatin1Char('.'));
    QString base = dot >= 0 ? last.left(dot) : last;
    const QString suffix = dot >= 0 ? last.mid(dot + 1) : QString();
    if (base.isEmpty())
        base = QStringLiteral("unnamed_download");
    QString prefix = folder;
    if (!prefix.isEmpty() && !prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    const auto candidate = [&](const QString &b) { return prefix + b + QLatin1Char('.') + suffix; };
    QString name = candidate(base);
    for (int n = 1; QFileInfo::exists(name); ++n)
        name = candidate(base + QLatin1Char('-') + QString::number(n));
    return name;
}

void DownloadItem_Presentation::error(QNetworkReply::NetworkError code)
{
    // The abort of our own stop() ends the reply with "operation canceled";
    // it must not replace the text that says why the job was stopped.
    if (code == QNetworkReply::OperationCanceledError && m_selfAborted)
        return;
    logMessage("[ERROR] DownloadItem_Presentation::error");
    downloadInfoLabel->setText(tr_("Erreur réseau : %1").arg(m_reply ? m_reply->errorString() : QString()));
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    setInErrorFlag(true);
    stop();
}

void DownloadItem_Presentation::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Progress that trails a failure (bytes already buffered, the final
    // report of an aborted reply) must not replace the failure text.
    if (isInError())
        return;
    recordProgress(bytesReceived, bytesTotal);
}

void DownloadItem_Presentation::metaDataChanged()
{
}

void DownloadItem_Presentation::finished()
{
    progressBar->hide();
    showOpenButtons();
    if (m_output.isOpen()) {
        const bool complete = m_reply && m_reply->error() == QNetworkReply::NoError && !isInError();
        if (complete)
            m_output.commit();
        else
            m_output.cancelWriting();
    }
    setFinished();
    logMessage(QStringLiteral("[INFO] DownloadItem_Presentation::finished :: downloadInfoLabel :: ")
               + peertext::clean(downloadInfoLabel->text()));
    Q_EMIT statusChanged();
}

void DownloadItem_Presentation::stop()
{
    logMessage("[INFO] DownloadItem_Presentation::stop");
    setUpdatesEnabled(false);
    showOpenButtons();
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    setUpdatesEnabled(true);
    // A reply that has already failed is over: aborting it again would
    // report a second error.
    if (m_reply && m_reply->isRunning() && m_reply->error() == QNetworkReply::NoError) {
        m_selfAborted = true;
        m_reply->abort();
    }
}

void DownloadItem_Presentation::tryAgain()
{
    logMessage(QStringLiteral("[INFO] DownloadItem_Presentation::tryAgain + ") + maskedAddress(m_url));
    if (!tryAgainButton->isEnabled())
        return;
    tryAgainButton->hide();
    tryAgainButton->setEnabled(false);
    showRunningButtons();
    if (m_manager) {
        detachReply();
        m_output.cancelWriting();
        if (!m_output.fileName().isEmpty() && QFile::exists(m_output.fileName()))
            QFile::remove(m_output.fileName());
        m_reply = m_manager->get(QNetworkRequest(m_url));
        init();
        Q_EMIT statusChanged();
    }
}

void DownloadItem_Presentation::open()
{
    const QString path = QFileInfo(m_output.fileName()).absoluteFilePath();
    logMessage(QStringLiteral("[INFO] DownloadItem_Presentation::open + ") + path);
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DownloadItem_Presentation::openRep()
{
    const QString path = QFileInfo(m_output.fileName()).absoluteFilePath();
    logMessage(QStringLiteral("[INFO] DownloadItem_Presentation::open + ") + path);
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}
