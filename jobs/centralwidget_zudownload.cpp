#include "centralwidget_zudownload.h"

#include "zulog.h"

#include <QPainter>
#include <QStyleOption>

Centralwidget_zudownload::Centralwidget_zudownload(QWidget *parent)
    : QWidget(parent)
{
}

Centralwidget_zudownload::~Centralwidget_zudownload()
{
    logMessage("[INFO] Download Presentation :: destruct");
}

void Centralwidget_zudownload::paintEvent(QPaintEvent *)
{
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
