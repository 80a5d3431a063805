#include "detaildialog.h"

#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QVBoxLayout>

DetailDialog::DetailDialog(QWidget *parent) : QDialog(parent)
{
    resize(640, 480);
    auto *layout = new QVBoxLayout(this);
    textBrowser = new QTextBrowser(this);
    textBrowser->setReadOnly(true);
    layout->addWidget(textBrowser);
    buttonBox = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    layout->addWidget(buttonBox);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void DetailDialog::setText(const QString &text)
{
    textBrowser->setPlainText(text);
}

QString DetailDialog::text() const
{
    return textBrowser->toPlainText();
}
