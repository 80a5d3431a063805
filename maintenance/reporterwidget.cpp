#include "reporterwidget.h"

#include "detaildialog.h"
#include "dumpsender.h"
#include "http_singleton.h"
#include "reporterwidget_form.h"

#include <QDateTime>
#include <QEvent>
#include <QFileInfo>
#include <QMessageBox>

ReporterWidget::ReporterWidget(QWidget *parent) : QWidget(parent), ui(new Ui::ReporterWidget)
{
    setup();
}

ReporterWidget::ReporterWidget(const QString &fileName, const QString &path, QWidget *parent)
    : QWidget(parent), ui(new Ui::ReporterWidget), dumpFileName(fileName), dumpPath(path),
      hasDumpInfo(true)
{
    setup();
    showDumpDate();
}

ReporterWidget::~ReporterWidget()
{
    delete ui;
}

void ReporterWidget::setup()
{
    ui->setupUi(this);
    connect(ui->restartButton, &QPushButton::clicked, this, &ReporterWidget::onSendClicked);
    connect(ui->quitButton, &QPushButton::clicked, this, &ReporterWidget::onQuitClicked);
    connect(ui->detailButton, &QPushButton::clicked, this, &ReporterWidget::showDetails);
    connect(ui->commentTextEdit, &QTextEdit::textChanged, this, &ReporterWidget::onCommentTextChanged);
    connect(ui->emailLineEdit, &QLineEdit::textEdited, this, &ReporterWidget::emailAdressChanged);
}

QString ReporterWidget::dumpDateText() const
{
    return QFileInfo(dumpPath).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void ReporterWidget::showDumpDate()
{
    if (!dumpPath.isEmpty())
        ui->crashdateLabel->setText(tr("Date de génération du fichier dump : ") + dumpDateText());
    else
        ui->crashdateLabel->setText(QString());
}

void ReporterWidget::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::LanguageChange)
        return;
    // New texts for the labels, but what the user typed stays.
    const QString typed = ui->commentTextEdit->toHtml();
    const bool blocked = ui->commentTextEdit->blockSignals(true);
    ui->retranslateUi(this);
    if (descriptionEdited)
        ui->commentTextEdit->setHtml(typed);
    ui->commentTextEdit->blockSignals(blocked);
    if (hasDumpInfo)
        showDumpDate();
}

void ReporterWidget::onCommentTextChanged()
{
    descriptionEdited = true;
    emit commentChanged(ui->commentTextEdit->toPlainText());
}

void ReporterWidget::onSendClicked()
{
    if (!DumpSender::reportUrl().isValid()) {
        QMessageBox::warning(this, tr("Envoi impossible"),
                             tr("Aucun serveur de rapports de plantage n'est configuré : le rapport ne "
                                "peut pas être envoyé. Le fichier dump est conservé ; vous pouvez le "
                                "supprimer en cliquant sur \"Quitter\"."),
                             QMessageBox::Ok);
        return;
    }
    if (!descriptionEdited) {
        QMessageBox::warning(this, tr("Détails non fournis"),
                             tr("Veuillez entrer un descriptif de la cause du plantage avant de "
                                "soumettre le rapport."),
                             QMessageBox::Ok);
        return;
    }
    if (ui->emailLineEdit->text().isEmpty()) {
        QMessageBox::warning(this, tr("Adresse e-mail non fournis"),
                             tr("Veuillez entrer une adresse e-mail avant de soumettre le rapport."),
                             QMessageBox::Ok);
        return;
    }
    // Nobody owns the sender: it outlives this dialog until the server has
    // answered, then deletes itself.
    auto *sender = new DumpSender();
    sender->setComment(ui->commentTextEdit->toPlainText());
    sender->setEmail(ui->emailLineEdit->text());
    sender->setDeleteWhenDone(true);
    connect(sender, &DumpSender::reportFinished, this, &ReporterWidget::reportFinished);
    if (!sender->sendReport(dumpPath)) {
        delete sender;
        return;
    }
    close();
}

void ReporterWidget::onQuitClicked()
{
    DumpSender sender;
    sender.removeDump(dumpPath);
    close();
}

void ReporterWidget::showDetails()
{
    if (!detailDialog) {
        detailDialog = new DetailDialog(this);
        const Http_singleton *app = Http_singleton::instance();
        QString text = tr("Les informations suivantes seront envoyées:\n\n");
        text += tr("OS : %1\n").arg(DumpSender::osText());
        text += tr("Nom produit : %1\n").arg(app->productName());
        text += tr("Version : %1\n").arg(app->appVersion());
        if (!dumpPath.isEmpty())
            text += tr("Date du dump : %1\n").arg(dumpDateText());
        if (!ui->emailLineEdit->text().isEmpty())
            text += tr("Email: %1\n").arg(ui->emailLineEdit->text());
        if (descriptionEdited)
            text += tr("Commentaires: %1\n").arg(ui->commentTextEdit->toPlainText());
        detailDialog->setText(text);
    }
    if (!detailDialog->isVisible())
        detailDialog->show();
    else
        detailDialog->showNormal();
}
