#pragma once
#include <QObject>
#include <QPointer>
#include <QString>

class QWidget;

// The export error codes -34..-1 and their French texts.
class export_error : public QObject
{
    Q_OBJECT
public:
    // `widget` is kept as the parent of the message boxes, not as the
    // object parent.
    explicit export_error(QWidget *widget = nullptr);

    static QString errorMessage(int code);

public Q_SLOTS:
    // Shows the code's text under "Erreur de paramétrage" and returns when
    // the user closes the box.
    void error_parse(int code);

private:
    QPointer<QWidget> m_widget;
};
