// The updater's download progress dialog and the texts of its prompt.
#include "downloadbinary.h"

#include <QDateTime>
#include <QLocale>
#include <QNetworkReply>
#include <QProgressDialog>

namespace {
constexpr qint64 kRateIntervalMs = 250;
}

void DownloadBinary::showProgressDialog(const QString &title, const QString &fileName)
{
    if (progressDialog)
        return;
    auto *dlg = new QProgressDialog(parentWidget);
    progressDialog = dlg;
    dlg->setWindowTitle(title.isEmpty() ? tr("Téléchargement en cours…") : title);
    dlg->setLabelText(tr("Téléchargement du paquet\nFichier : %1").arg(fileName.isEmpty() ? tr("(inconnu)") : fileName));
    dlg->setMinimumDuration(0);
    dlg->setAutoClose(false);
    dlg->setAutoReset(false);
    dlg->setRange(0, 100);
    dlg->setValue(0);
    dlg->setCancelButtonText(tr("Annuler"));
    dlg->setWindowModality(Qt::WindowModal);
    if (reply)
        connect(dlg, &QProgressDialog::canceled, this, &DownloadBinary::cancelDownloadFromDialog);
    progressLastReceived = 0;
    progressLastMs = QDateTime::currentMSecsSinceEpoch();
    dlg->show();
}

void DownloadBinary::updateProgress(qint64 received, qint64 total)
{
    // A modal progress dialog runs pending events inside setValue(), where
    // the download may end and close the dialog: check it again afterwards.
    QPointer<QProgressDialog> dlg = progressDialog;
    if (!dlg)
        return;
    if (total < 1) {
        dlg->setRange(0, 0);
    } else {
        dlg->setRange(0, 100);
        const qint64 percent = received * 100 / total;
        dlg->setValue(int(qBound(qint64(0), percent, qint64(100))));
    }
    if (!dlg || dlg != progressDialog)
        return;

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 elapsed = now - progressLastMs;
    if (elapsed < kRateIntervalMs)
        return;
    const qint64 delta = qMax<qint64>(0, received - progressLastReceived);
    const double rate = double(delta) * 1000.0 / double(elapsed);
    const QString rateText = rate <= 0 ? tr("\u2014") : tr("%1/s").arg(formatSize(qint64(rate)));

    QString stats;
    if (total < 1 || rate <= 1.0) {
        if (received > 0)
            stats = tr("\nReçu : %1  \u00b7  Débit : %2").arg(formatSize(received), rateText);
    } else {
        const qint64 remaining = qint64(double(total - received) / rate);
        stats = tr("\nReçu : %1 / %2  \u00b7  Débit : %3  \u00b7  Restant : %4")
                    .arg(formatSize(received), formatSize(total), rateText, formatDuration(remaining));
    }
    QString label = dlg->labelText();
    const int cut = label.indexOf(QLatin1Char('\n'));
    if (cut >= 0)
        label.truncate(cut);
    dlg->setLabelText(label + stats);
    progressLastReceived = received;
    progressLastMs = now;
}

void DownloadBinary::closeProgressDialog()
{
    if (QProgressDialog *dlg = progressDialog.data()) {
        progressDialog.clear();
        dlg->hide();
        dlg->deleteLater();
    }
}

void DownloadBinary::cancelDownloadFromDialog()
{
    if (QNetworkReply *r = reply.data())
        r->abort();
}

QProgressDialog *DownloadBinary::currentProgressDialog() const
{
    return progressDialog.data();
}

QString DownloadBinary::formatSize(qint64 bytes)
{
    static const char *const units[] = {QT_TR_NOOP("octets"), QT_TR_NOOP("Ko"), QT_TR_NOOP("Mo"),
                                        QT_TR_NOOP("Go"), QT_TR_NOOP("To")};
    double value = double(bytes);
    int index = 0;
    while (value >= 1024.0 && index < 4) {
        value *= 0.0009765625;
        ++index;
    }
    const int decimals = index == 0 ? 0 : (value < 10.0 ? 2 : (value < 100.0 ? 1 : 0));
    return QString::number(value, 'f', decimals) + QLatin1Char(' ') + tr(units[index]);
}

QString DownloadBinary::formatDuration(qint64 seconds)
{
    const qint64 s = qMax<qint64>(0, seconds);
    const qint64 h = s / 3600;
    const qint64 m = (s - h * 3600) / 60;
    const qint64 sec = s % 60;
    if (h < 1)
        return QStringLiteral("%1:%2").arg(m).arg(sec, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(sec, 2, 10, QLatin1Char('0'));
}

QString DownloadBinary::devStampText(qint64 stamp)
{
    const QString digits = QString::number(stamp);
    const QDateTime when = QDateTime::fromString(digits, QStringLiteral("yyyyMMddhhmm"));
    if (!when.isValid())
        return digits;
    return QLocale().toString(when, QStringLiteral("yyyy-MM-dd HH:mm"));
}
