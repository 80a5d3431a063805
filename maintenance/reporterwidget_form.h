#pragma once
// The report dialog's form, kept in the shape a form generator would give it
// so that the object names stay the ones the dialog and its tests look up.
#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>

class Ui_ReporterWidget
{
public:
    QVBoxLayout *verticalLayout = nullptr;
    QLabel *mainWidgetTopLabel = nullptr;
    QLabel *crashdateLabel = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QLabel *label_3 = nullptr;
    QLineEdit *emailLineEdit = nullptr;
    QPushButton *detailButton = nullptr;
    QLabel *descritpionLabel = nullptr;
    QTextEdit *commentTextEdit = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QSpacerItem *horizontalSpacer = nullptr;
    QPushButton *restartButton = nullptr;
    QPushButton *quitButton = nullptr;

    void setupUi(QWidget *ReporterWidget)
    {
        if (ReporterWidget->objectName().isEmpty())
            ReporterWidget->setObjectName("ReporterWidget");
        ReporterWidget->resize(422, 510);
        ReporterWidget->setStyleSheet(QString::fromUtf8("font-family : 'Public Sans'"));
        verticalLayout = new QVBoxLayout(ReporterWidget);
        verticalLayout->setSpacing(6);
        verticalLayout->setContentsMargins(11, 11, 11, 11);
        verticalLayout->setObjectName("verticalLayout");

        mainWidgetTopLabel = new QLabel(ReporterWidget);
        mainWidgetTopLabel->setObjectName("mainWidgetTopLabel");
        QFont titleFont;
        titleFont.setFamilies({QString::fromUtf8("Public Sans")});
        titleFont.setPointSize(20);
        mainWidgetTopLabel->setFont(titleFont);
        mainWidgetTopLabel->setScaledContents(false);
        verticalLayout->addWidget(mainWidgetTopLabel);

        crashdateLabel = new QLabel(ReporterWidget);
        crashdateLabel->setObjectName("crashdateLabel");
        verticalLayout->addWidget(crashdateLabel);

        horizontalLayout_2 = new QHBoxLayout();
        horizontalLayout_2->setSpacing(6);
        horizontalLayout_2->setObjectName("horizontalLayout_2");
        label_3 = new QLabel(ReporterWidget);
        label_3->setObjectName("label_3");
        horizontalLayout_2->addWidget(label_3);
        emailLineEdit = new QLineEdit(ReporterWidget);
        emailLineEdit->setObjectName("emailLineEdit");
        horizontalLayout_2->addWidget(emailLineEdit);
        verticalLayout->addLayout(horizontalLayout_2);

        detailButton = new QPushButton(ReporterWidget);
        detailButton->setObjectName("detailButton");
        verticalLayout->addWidget(detailButton);

        descritpionLabel = new QLabel(ReporterWidget);
        descritpionLabel->setObjectName("descritpionLabel");
        QFont labelFont;
        labelFont.setFamilies({QString::fromUtf8("Public Sans")});
        labelFont.setWeight(QFont::Weight(400));
        descritpionLabel->setFont(labelFont);
        verticalLayout->addWidget(descritpionLabel);

        commentTextEdit = new QTextEdit(ReporterWidget);
        commentTextEdit->setObjectName("commentTextEdit");
        commentTextEdit->setOverwriteMode(true);
        verticalLayout->addWidget(commentTextEdit);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setSpacing(6);
        horizontalLayout->setObjectName("horizontalLayout");
        horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
        horizontalLayout->addItem(horizontalSpacer);
        restartButton = new QPushButton(ReporterWidget);
        restartButton->setObjectName("restartButton");
        restartButton->setEnabled(true);
        horizontalLayout->addWidget(restartButton);
        quitButton = new QPushButton(ReporterWidget);
        quitButton->setObjectName("quitButton");
        horizontalLayout->addWidget(quitButton);
        verticalLayout->addLayout(horizontalLayout);

        retranslateUi(ReporterWidget);
        QMetaObject::connectSlotsByName(ReporterWidget);
    }

    void retranslateUi(QWidget *ReporterWidget)
    {
        ReporterWidget->setWindowTitle(QCoreApplication::translate("ReporterWidget", "Rapport de plantage"));
        mainWidgetTopLabel->setText(QCoreApplication::translate("ReporterWidget", "Envoi d'un rapport"));
        crashdateLabel->setText(
            QCoreApplication::translate("ReporterWidget", "Date de g\u00e9n\u00e9ration du fichier dump : "));
        label_3->setText(QCoreApplication::translate("ReporterWidget", "Email:"));
        emailLineEdit->setPlaceholderText(
            QCoreApplication::translate("ReporterWidget", "Entrez votre adresse email"));
        detailButton->setText(QCoreApplication::translate("ReporterWidget", "D\u00e9tails"));
        descritpionLabel->setText(QCoreApplication::translate("ReporterWidget", "Description"));
        commentTextEdit->setHtml(QCoreApplication::translate(
            "ReporterWidget",
            "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" \"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
            "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"
            "p, li { white-space: pre-wrap; }\n"
            "</style></head><body style=\" font-family:'Public Sans'; font-size:13pt; font-weight:400; "
            "font-style:normal;\">\n"
            "<p style=\"-qt-paragraph-type:empty; margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px; font-family:'MS Shell Dlg 2'; "
            "font-size:8.25pt;\"><br /></p></body></html>"));
        commentTextEdit->setPlaceholderText(QCoreApplication::translate(
            "ReporterWidget",
            "Merci de d\u00e9crire le plus pr\u00e9cis\u00e9ment possible les actions. Afin de pouvoir au "
            "mieux effectuer un correctif, veuillez mettre le plus de d\u00e9tails possible dans votre "
            "descriptif. Si vous ne souhaitez pas envoyer le rapport et le supprimer, vous pouvez cliquer "
            "sur \"Quitter\"."));
        restartButton->setText(QCoreApplication::translate("ReporterWidget", "Envoyer"));
        quitButton->setText(QCoreApplication::translate("ReporterWidget", "Quitter"));
    }
};

namespace Ui {
class ReporterWidget : public Ui_ReporterWidget
{
};
} // namespace Ui
