#pragma once
#include <QObject>
#include <QStringList>

// A placeholder of the diagnostics group: nothing uses it yet.
class HtmlParser : public QObject
{
    Q_OBJECT
public:
    QStringList lines;
};
