#include "presentation_interface.h"

#include "zutheme.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QPixmap>
#include <QProgressBar>
#include <QStyle>

#include <climits>

namespace {
constexpr int kFileIconSize = 48;
} // namespace

Presentation_Interface::Presentation_Interface(QWidget *parent)
    : QWidget(parent)
{
}

Presentation_Interface::~Presentation_Interface() = default;

bool Presentation_Interface::isFinished()
{
    return m_finished;
}

bool Presentation_Interface::isInError()
{
    return m_inError;
}

bool Presentation_Interface::isStarted()
{
    return m_started;
}

void Presentation_Interface::setStarted()
{
    m_started = true;
    m_finished = false;
}

bool Presentation_Interface::downloadedSuccessfully()
{
    return m_finished && tryAgainButton && tryAgainButton->isHidden();
}

void Presentation_Interface::setType(QString type)
{
    m_type = type;
}

QString Presentation_Interface::type()
{
    return m_type;
}

QString Presentation_Interface::formatByteSize(qint64 bytes, const char *context)
{
    static const char *const units[3] = {QT_TRANSLATE_NOOP("Presentation_Interface", "bytes"),
                                         QT_TRANSLATE_NOOP("Presentation_Interface", "kB"),
                                         QT_TRANSLATE_NOOP("Presentation_Interface", "MB")};
    return formatScaled(bytes, units, context);
}

QString Presentation_Interface::formatScaled(qint64 value, const char *const units[3], const char *context)
{
    int unit = 0;
    if (value >= 1024 * 1024) {
        value /= 1024 * 1024;
        unit = 2;
    } else if (value >= 1024) {
        value /= 1024;
        unit = 1;
    }
    return QCoreApplication::translate(context, "%1 %2")
        .arg(value)
        .arg(QCoreApplication::translate(context, units[unit]));
}

QString Presentation_Interface::transferText(const TransferText &t, const char *context)
{
    if (!t.successful) {
        // Nothing measurable yet (no time elapsed or nothing received): no
        // rate and no time left rather than a division by zero.
        const double speed = t.elapsedMs > 0 ? double(t.received) * 1000.0 / double(t.elapsedMs) : 0.0;
        QString remainingText;
        if (t.total != 0 && speed > 0.0) {
            double remaining = double(t.total - t.received) / speed;
            QString unit = QCoreApplication::translate(context, "secondes");
            if (remaining > 60) {
                remaining = remaining / 60;
                unit = QCoreApplication::translate(context, "minutes");
            }
            qint64 shown = remaining > 0 ? qint64(remaining) : 0;
            if (shown == 0 && t.zeroReadsOne)
                shown = 1;
            remainingText = QCoreApplication::translate(context, "- %4 %5 restantes").arg(shown).arg(unit);
        }
        const QString totalText = t.total == 0 ? QCoreApplication::translate(context, "?")
                                               : formatByteSize(t.total, context);
        return QCoreApplication::translate(context, "%1 of %2 (%3/sec) %4")
            .arg(formatByteSize(t.received, context), totalText, formatByteSize(qint64(speed), context),
                 remainingText);
    }
    if (t.received == t.total)
        return formatByteSize(t.outputSize, context);
    return QCoreApplication::translate(context, "%1 of %2 - Arrété")
        .arg(formatByteSize(t.received, context), formatByteSize(t.total, context));
}

void Presentation_Interface::setByteProgress(QProgressBar *bar, qint64 value, qint64 maximum)
{
    int shift = 0;
    while ((maximum >> shift) > INT_MAX || (value >> shift) > INT_MAX)
        ++shift;
    const qint64 top = qMax<qint64>(0, maximum >> shift);
    bar->setMinimum(0);
    bar->setMaximum(int(top));
    bar->setValue(int(qBound<qint64>(0, value >> shift, top)));
}

QPixmap Presentation_Interface::resourcePixmap(const QString &resource, int size, qreal devicePixelRatio)
{
    // Read at the size it is shown: a drawing scaled after rasterising blurs.
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    QImageReader reader(resource);
    reader.setScaledSize(QSize(size, size) * ratio);
    QPixmap pixmap = QPixmap::fromImage(reader.read());
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QString Presentation_Interface::fileIconResource(const QString &fileName)
{
    static const QStringList videoSuffixes{QStringLiteral("mp4"), QStringLiteral("avi"), QStringLiteral("webm"),
                                           QStringLiteral("mkv")};
    return videoSuffixes.contains(QFileInfo(fileName).suffix().toLower()) ? QStringLiteral(":/imgs/file_video.svg")
                                                                           : QStringLiteral(":/imgs/file.svg");
}

void Presentation_Interface::showFileIcon()
{
    fileIcon->setPixmap(resourcePixmap(fileIconResource(fileName()), kFileIconSize, devicePixelRatioF()));
}

void Presentation_Interface::setupRow()
{
    setupUi(this);
    // The slots are virtual: each button reaches the row's own override.
    connect(stopButton, &QPushButton::clicked, this, &Presentation_Interface::stop);
    connect(openButton, &QPushButton::clicked, this, &Presentation_Interface::open);
    connect(openRepButton, &QPushButton::clicked, this, &Presentation_Interface::openRep);
    connect(tryAgainButton, &QPushButton::clicked, this, &Presentation_Interface::tryAgain);

    fileIcon->setPixmap(resourcePixmap(fileIconResource(QString()), kFileIconSize, devicePixelRatioF()));
    fileNameLabel->setStyleSheet(QStringLiteral("color: white;"));
    downloadInfoLabel->setStyleSheet(QStringLiteral("color: white;"));
    progressBar->setStyleSheet(QString::fromLatin1(ZuTheme::kProgressBarStyle));
}

void Presentation_Interface::showOpenButtons()
{
    stopButton->setEnabled(false);
    stopButton->hide();
    openButton->setEnabled(true);
    openButton->show();
    openRepButton->setEnabled(true);
    openRepButton->show();
}

void Presentation_Interface::showRunningButtons()
{
    stopButton->setEnabled(true);
    stopButton->show();
    openButton->setEnabled(false);
    openButton->hide();
    openRepButton->setEnabled(false);
    openRepButton->hide();
    progressBar->show();
}

qint64 Presentation_Interface::totalBytes() const
{
    if (!m_sizeText.isEmpty())
        return m_sizeText.toLongLong() * 1024;
    return m_bytesTotal;
}

void Presentation_Interface::recordProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    m_bytesReceived = bytesReceived;
    if (bytesTotal != -1) {
        m_bytesTotal = m_sizeText.isEmpty() ? bytesTotal : m_sizeText.toLongLong() * 1024;
        setByteProgress(progressBar, bytesReceived, m_bytesTotal);
    } else {
        m_bytesTotal = 0;
        progressBar->setValue(0);
        progressBar->setMaximum(0);
    }
    updateInfoLabel();
}

void Presentation_Interface::showTransferText(const QString &outputPath, const char *context, bool zeroReadsOne)
{
    TransferText t;
    t.zeroReadsOne = zeroReadsOne;
    t.received = m_bytesReceived;
    t.total = totalBytes();
    t.elapsedMs = m_elapsed.isValid() ? m_elapsed.elapsed() : 0;
    t.successful = downloadedSuccessfully();
    t.outputSize = QFileInfo(outputPath).size();
    downloadInfoLabel->setText(transferText(t, context));
}
