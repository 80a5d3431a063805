#include "integritydialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const QString kStop = QStringLiteral("Arrêter");
const QString kClose = QStringLiteral("Fermer");

const char *kLightSheet =
    "QWidget { background-color: palette(window); color: black; }"
    "QLabel { color: black; }"
    "QPushButton { background-color: #f0f0f0; color: black; border: 1px solid #aaa; padding: 6px 12px; }"
    "QPushButton:hover { background-color: #e0e0e0; }"
    "QProgressBar { border: 1px solid grey; border-radius: 5px; text-align: center; font: 14px;"
    " background-color: rgba(255,255,255,0.2); color: black; padding-top: 3px; padding-bottom: 3px; }"
    "QProgressBar::chunk { background-color: gray; width: 20px; }";

const char *kDarkSheet =
    "QWidget { background-color: #121212; color: #EEEEEE; }"
    "QLabel { color: #EEEEEE; }"
    "QPushButton { background-color: #2E2E2E; color: #FFFFFF; border: 1px solid #444; padding: 6px 12px; }"
    "QPushButton:hover { background-color: #3E3E3E; }"
    "QProgressBar { border: 1px solid #555; border-radius: 5px; text-align: center; font: 14px;"
    " background-color: #1E1E1E; color: white; padding-top: 3px; padding-bottom: 3px; }"
    "QProgressBar::chunk { background-color: #00C853; width: 20px; }";

// Every text that carries a name from the manifest or a path is shown as
// plain text: a file name is not markup.
QLabel *plainLabel(const QString &text, QWidget *parent = nullptr)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}
} // namespace

IntegrityDialog::IntegrityDialog(QString root, QString date, QWidget *parent)
    : QDialog(parent)
    , root(std::move(root))
    , date(std::move(date))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    setWindowModality(Qt::ApplicationModal);

    const bool light = palette().color(QPalette::Window).lightness() >= 128;
    setStyleSheet(QString::fromUtf8(light ? kLightSheet : kDarkSheet));

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(15);
    layout->setContentsMargins(20, 20, 20, 20);

    QLabel *title = plainLabel(QStringLiteral("Vérification d'intégrité de la journée du ") + this->date);
    title->setAlignment(Qt::AlignCenter);
    title->setStyleSheet(QStringLiteral("font-weight: bold; font-size: 16px;"));
    layout->addWidget(title);

    QLabel *rootLabel = plainLabel(QLatin1Char('[') + this->root + QLatin1Char(']'));
    rootLabel->setAlignment(Qt::AlignCenter);
    rootLabel->setStyleSheet(QStringLiteral("font: 10px;"));
    layout->addWidget(rootLabel);

    auto *progressBox = new QWidget;
    progressBox->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    auto *progressLayout = new QHBoxLayout(progressBox);
    progress = new QProgressBar;
    progress->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    progress->setMinimumHeight(30);
    progress->setValue(0);
    progress->setFormat(QStringLiteral("Vérification en attente ..."));
    progress->setStyleSheet(QStringLiteral(
        "QProgressBar { border: 1px solid grey; border-radius: 5px; text-align: center;color:black; font: 14px; "
        "background-color: rgba(255,255,255,0.2); padding-top:3px; padding-bottom:3px; }"
        "QProgressBar::chunk { background-color: gray; width: 20px; }"));
    progressLayout->addWidget(progress);
    layout->addWidget(progressBox);

    auto *messageBox = new QWidget;
    messageBox->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    messages = new QVBoxLayout(messageBox);
    layout->addWidget(messageBox);

    button = new QPushButton(kClose);
    button->setStyleSheet(QStringLiteral("padding: 6px 12px; font: 12px;"));
    layout->addWidget(button, 0, Qt::AlignCenter);
    connect(button, &QPushButton::clicked, this, &IntegrityDialog::handle_close_or_stop);
}

bool IntegrityDialog::isChecking() const
{
    return button->text() == kStop;
}

QLabel *IntegrityDialog::addStatusLine(const QString &text, const QString &style)
{
    QLabel *label = plainLabel(text);
    if (!style.isEmpty())
        label->setStyleSheet(style);
    messages->addWidget(label);
    return label;
}

void IntegrityDialog::is_hash_file_found(bool ok)
{
    addStatusLine(QStringLiteral("Fichier HASH trouvé : ") + (ok ? QStringLiteral("OK") : QStringLiteral("ERREUR")),
                  ok ? QString() : QStringLiteral("color: red;"));
}

void IntegrityDialog::get_file_count(int n)
{
    fileCount = n;
    progress->setMaximum(n);
    addStatusLine(QStringLiteral("Nombre de fichiers à vérifier : ") + QString::number(n));
}

void IntegrityDialog::is_file_count_check(bool ok)
{
    addStatusLine(QStringLiteral("Intégrité du compte de fichiers : ") +
                      (ok ? QStringLiteral("OK") : QStringLiteral("ERREUR")),
                  ok ? QString() : QStringLiteral("color: red;"));
}

void IntegrityDialog::start_check()
{
    filesBegun = 0;
    progress->setValue(0);
    button->setText(kStop);
    button->setEnabled(true);
    stopRequested = false;
    status = addStatusLine(QStringLiteral("État de la vérification d'intégrité : EN COURS ..."));
}

void IntegrityDialog::begin_check_file(QString file)
{
    ++filesBegun;
    progress->setValue(filesBegun);
    const int percent = fileCount > 0 ? int(qint64(filesBegun) * 100 / fileCount) : 0;
    progress->setFormat(QString::number(percent) + QStringLiteral(" %  [ ") + file + QStringLiteral(" ]"));
}

void IntegrityDialog::end_check_file(QString file, bool ok)
{
    if (ok)
        return;
    addStatusLine(QStringLiteral("Erreur lors de la vérification du fichier : ") + file, QStringLiteral("color: red;"));
}

void IntegrityDialog::end_check(bool ok)
{
    QString statusText;
    QString format;
    QString colour;
    QString summary;
    QString extraStyle;
    if (stopRequested) {
        statusText = QStringLiteral("État de la vérification : interrompue par l'utilisateur");
        format = QStringLiteral("Vérification arrêtée");
        colour = QStringLiteral("grey");
        addStatusLine(QStringLiteral("Vérification interrompue avant la fin."),
                      QStringLiteral("font-weight: bold; color: orange;"));
    } else if (ok) {
        statusText = QStringLiteral("État de la vérification d'intégrité : OK");
        format = QStringLiteral("Intégrité validée");
        colour = QStringLiteral("green");
        summary = QStringLiteral("Vérification d'intégrité terminée et validée");
    } else {
        statusText = QStringLiteral("État de la vérification d'intégrité : ERREUR");
        format = QStringLiteral("Intégrité non valide");
        colour = QStringLiteral("red");
        summary = QStringLiteral("Vérification d'intégrité terminée et non conforme");
        extraStyle = QStringLiteral("color: red;");
    }
    // The bar ends full whatever was counted or skipped on the way.
    if (progress->maximum() <= 0)
        progress->setMaximum(100);
    progress->setValue(progress->maximum());

    if (status)
        status->setText(statusText);
    progress->setFormat(format);
    progress->setStyleSheet(
        QStringLiteral("QProgressBar { border: 1px solid grey; border-radius: 5px; text-align: center; "
                       "font-weight: bold; font-size: 14px; background-color: rgba(255,255,255,0.2);"
                       "padding-top:3px; padding-bottom:3px; }QProgressBar::chunk { background-color: ") +
        colour + QStringLiteral("; width: 20px; }"));
    messages->addSpacing(20);
    QLabel *summaryLabel = plainLabel(summary);
    summaryLabel->setAlignment(Qt::AlignCenter);
    summaryLabel->setStyleSheet(QStringLiteral("font-weight: bold;") + extraStyle);
    messages->addWidget(summaryLabel);
    button->setText(kClose);
    button->setEnabled(true);
    button->setFocus(Qt::OtherFocusReason);
}

void IntegrityDialog::handle_close_or_stop()
{
    if (button->text() == kStop) {
        stopRequested = true;
        addStatusLine(QStringLiteral("Arrêt de la vérification demandé par l'utilisateur."),
                      QStringLiteral("color: orange;"));
        button->setEnabled(false);
        emit user_stopped();
    } else {
        close();
    }
}

void IntegrityDialog::reject()
{
    if (button->text() == kStop) {
        // Stopping already requested (button disabled): the dialog stays
        // for the verdict, which follows shortly.
        if (button->isEnabled())
            handle_close_or_stop();
        return;
    }
    QDialog::reject();
}
