#pragma once
#include <QWidget>

// The central area of a download window: a plain widget that paints its
// style sheet's background and border, which a bare QWidget subclass skips.
class Centralwidget_zudownload : public QWidget
{
    Q_OBJECT
public:
    explicit Centralwidget_zudownload(QWidget *parent = nullptr);
    ~Centralwidget_zudownload() override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
