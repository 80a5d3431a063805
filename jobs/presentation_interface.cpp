#include "presentation_interface.h"

#include <QCoreApplication>
#include <QProgressBar>

#include <climits>

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
    QString unit;
    if (bytes < 1024) {
        unit = QCoreApplication::translate(context, "bytes");
    } else if (bytes < 1024 * 1024) {
        bytes >>= 10;
        unit = QCoreApplication::translate(context, "kB");
    } else {
        bytes >>= 20;
        unit = QCoreApplication::translate(context, "MB");
    }
    return QCoreApplication::translate(context, "%1 %2").arg(bytes).arg(unit);
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
            if (shown == 0)
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
