#include "encodeitem_presentation.h"

#include "export_error.h"
#include "ff_export.h"
#include "zulog.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {
const char kContext[] = "EncodeItem_Presentation";

QString bit(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

EncodeItem_Presentation::EncodeItem_Presentation(const QString &outputPath)
    : Presentation_Interface(nullptr)
    , m_outputPath(outputPath)
{
    logMessage("[INFO] Encode Item Presentation :: construct");
    setupRow();
    fileNameLabel->setText(outputPath);
    setState(false, false, false);
    m_output.setFileName(outputPath);

    tryAgainButton->hide();
    progressBar->hide();
    showOpenButtons();
}

EncodeItem_Presentation::~EncodeItem_Presentation()
{
    // A row can go while its export runs (error, closed window, removal):
    // the worker is stopped and its thread joined before it is freed.
    releaseExporter();
}

void EncodeItem_Presentation::set_exporter(ff_export *exporter)
{
    if (exporter == m_exporter)
        return;
    releaseExporter();
    m_exporter = exporter;
    m_endHandled = false;
}

void EncodeItem_Presentation::init()
{
    logMessage("[INFO] Encode Item Presentation :: init");
}

void EncodeItem_Presentation::setFinished()
{
    logMessage("[INFO] Encode Item Presentation :: setFinished");
    setFinishedFlag(true);
    setInErrorFlag(false);
}

void EncodeItem_Presentation::setStarted()
{
    logMessage("[INFO] Encode Item Presentation :: setStarted");
    Presentation_Interface::setStarted();
}

bool EncodeItem_Presentation::hasErrors()
{
    return m_blocking;
}

QString EncodeItem_Presentation::fileName()
{
    return m_outputPath;
}

void EncodeItem_Presentation::start_downloading_item()
{
    logMessage("[INFO] Encode Item Presentation :: start_downloading_item");
    setStarted();
    showRunningButtons();
    m_elapsed.start();
    if (!m_exporter) {
        logMessage("[ERROR] Encode Item Presentation :: download_encode object not allocated");
        return;
    }
    connect(m_exporter, &QThread::finished, this, &EncodeItem_Presentation::finished, Qt::UniqueConnection);
    connect(m_exporter, &ff_export::error, this, qOverload<int>(&EncodeItem_Presentation::error),
            Qt::UniqueConnection);
    connect(m_exporter, &ff_export::frame_downloaded_encoded, this, &EncodeItem_Presentation::frame_downloaded_encoded,
            Qt::UniqueConnection);
    connect(m_exporter, &ff_export::outputNameTaken, this, &EncodeItem_Presentation::outputNameTaken,
            Qt::UniqueConnection);
    connect(m_exporter, &ff_export::endingsignal, this, &EncodeItem_Presentation::destroy_exporter,
            Qt::UniqueConnection);
    connect(this, &EncodeItem_Presentation::stop_button_pressed, m_exporter, &ff_export::set_stop,
            Qt::UniqueConnection);
    logMessage(QStringLiteral("[INFO] Encode Item Presentation :: download encode object is finished ")
               + bit(m_exporter->isFinished()));
    logMessage(QStringLiteral("[INFO] Encode Item Presentation :: download encode object is running  ")
               + bit(m_exporter->isRunning()));
    logMessage("[INFO] Encode Item Presentation :: start download encode object");
    m_exporter->start();
}

void EncodeItem_Presentation::frame_downloaded_encoded(QString current_timestamp, QString end_timestamp)
{
    const QDateTime frameTime = QDateTime::fromString(current_timestamp, QStringLiteral("yyyyMMddHHmmsszzz"));
    if (!frameTime.isValid())
        return;
    const QDateTime endTime = QDateTime::fromString(frameTime.date().toString(QStringLiteral("yyyyMMdd")) + end_timestamp,
                                                    QStringLiteral("yyyyMMddHHmmss"));
    if (!endTime.isValid())
        return;
    const qint64 left = frameTime.secsTo(endTime);
    if (m_span == -1) {
        m_span = int(qBound<qint64>(0, left, qint64(INT_MAX)));
        // A span of 0 seconds would turn the bar into a busy indicator.
        progressBar->setMinimum(0);
        progressBar->setMaximum(qMax(1, m_span));
    }
    progressBar->setValue(int(qBound<qint64>(0, m_span - left, qint64(progressBar->maximum()))));
    downloadInfoLabel->setText(QStringLiteral("Encodage en cours [ ") + frameTime.toString(QStringLiteral("HH:mm:ss.zzz"))
                               + QStringLiteral(" > ") + endTime.toString(QStringLiteral("HH:mm:ss.zzz"))
                               + QStringLiteral(" ]"));
}

void EncodeItem_Presentation::finished()
{
    // Reached from the worker thread's end or from the worker's release,
    // whichever comes first; the end is handled once.
    if (m_endHandled)
        return;
    m_endHandled = true;
    releaseExporter();
    logMessage("[INFO] Encode Item Presentation :: finished");
    progressBar->hide();
    showOpenButtons();
    m_output.close();
    setFinished();
    logMessage(QStringLiteral("[INFO] Encode Item Presentation :: finished :: downloadInfoLabel :: ")
               + downloadInfoLabel->text());
    Q_EMIT statusChanged();
}

void EncodeItem_Presentation::error(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
    logMessage("[INFO] Encode Item Presentation :: network error");
}

void EncodeItem_Presentation::error(int code)
{
    logMessage("[INFO] Download Encode Item Presentation :: error");
    showFailure(QCoreApplication::translate(kContext, "%1").arg(export_error::errorMessage(code)));
}

void EncodeItem_Presentation::outputNameTaken(QString keptAs)
{
    logMessage(QStringLiteral("[INFO] Encode Item Presentation :: output name taken :: kept as ") + keptAs);
    showFailure(QCoreApplication::translate(kContext, "Le fichier « %1 » a été créé par ailleurs pendant "
                                                      "l'exportation : il est conservé, et la vidéo exportée est "
                                                      "enregistrée à côté sous le nom « %2 ».")
                    .arg(QFileInfo(m_outputPath).fileName(), QFileInfo(keptAs).fileName()));
}

void EncodeItem_Presentation::showFailure(const QString &text)
{
    downloadInfoLabel->setText(text);
    tryAgainButton->setEnabled(true);
    tryAgainButton->show();
    stop();
    setInErrorFlag(true);
    Q_EMIT statusChanged();
}

void EncodeItem_Presentation::stop()
{
    logMessage("[INFO] Encode Item Presentation :: stop");
    Q_EMIT stop_button_pressed();
}

void EncodeItem_Presentation::downloadReadyRead()
{
    logMessage("[INFO] Encode Item Presentation :: downloadReadyRead");
}

void EncodeItem_Presentation::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    logMessage("[INFO] Encode Item Presentation :: downloadProgress");
    recordProgress(bytesReceived, bytesTotal);
}

void EncodeItem_Presentation::metaDataChanged()
{
    logMessage("[INFO] Encode Item Presentation :: metaDataChanged");
}

void EncodeItem_Presentation::updateInfoLabel()
{
    logMessage("[INFO] Encode Item Presentation :: updateInfoLabel");
    showTransferText(m_outputPath, kContext);
}

QString EncodeItem_Presentation::formatSize(qint64 bytes)
{
    return formatByteSize(bytes, kContext);
}

void EncodeItem_Presentation::tryAgain()
{
    logMessage(QStringLiteral("[INFO] Encode Item Presentation ::tryAgain ") + bit(isInError()));
    if (isInError()) {
        logMessage("[INFO] Encode Item Presentation :: tryAgain :: tryAgainFromError");
        Q_EMIT tryAgainFromError(type());
        return;
    }
    m_blocking = false;
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

void EncodeItem_Presentation::open()
{
    const QString path = QFileInfo(m_output.fileName()).absoluteFilePath();
    logMessage(QStringLiteral("[INFO] Encode Item Presentation :: open rep ") + path);
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void EncodeItem_Presentation::openRep()
{
    const QString path = QFileInfo(m_output.fileName()).absolutePath();
    logMessage(QStringLiteral("[INFO] Encode Item Presentation :: open rep ") + path);
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void EncodeItem_Presentation::destroy_exporter()
{
    if (!m_exporter)
        return;
    logMessage("[INFO] Encode Item Presentation :: destroy exporter");
    // Pictures the decoder had to patch up are in the file, and data no
    // seek entry reaches is not: the end says so.
    const int damaged = m_exporter->damagedFrames();
    const QList<ZuAudioVideoFileReader::Unindexed> leftOut = m_exporter->unindexedData();
    releaseExporter();
    QStringList told;
    if (damaged > 0)
        told << QCoreApplication::translate(kContext, "%1 image(s) endommagée(s)").arg(damaged);
    if (!leftOut.isEmpty()) {
        QStringList files;
        for (const ZuAudioVideoFileReader::Unindexed &left : leftOut) {
            const QString name = QFileInfo(left.path).fileName();
            const QDateTime after = QDateTime::fromString(left.after, QStringLiteral("yyyyMMddHHmmsszzz"));
            files << (after.isValid() ? QCoreApplication::translate(kContext, "%1 après %2")
                                            .arg(name, after.toString(QStringLiteral("HH:mm:ss.zzz")))
                                      : name);
        }
        told << QCoreApplication::translate(kContext, "données non indexées laissées de côté : %1")
                    .arg(files.join(QStringLiteral(", ")));
    }
    if (!told.isEmpty()) {
        m_finalText = QCoreApplication::translate(kContext, "Encodage terminé : %1").arg(told.join(QStringLiteral(" ; ")));
        downloadInfoLabel->setText(m_finalText);
    }
    // The worker's thread has ended with its deletion, and the thread's own
    // end signal is no longer connected: the end is handled now.
    finished();
}

void EncodeItem_Presentation::releaseExporter()
{
    if (!m_exporter)
        return;
    ff_export *exporter = m_exporter;
    m_exporter = nullptr;
    exporter->disconnect(this);
    disconnect(this, nullptr, exporter, nullptr);
    // Asked to stop in case it still runs (a row removed early); the
    // destructor joins its thread, which after endingsignal() is only the
    // last steps of run().
    exporter->set_stop();
    delete exporter;
}
