#pragma once
#include <QObject>
#include <QStringList>

// A placeholder of the diagnostics group: a list of text lines.
class HtmlParser : public QObject
{
    Q_OBJECT
public:
    QStringList lines;
};
