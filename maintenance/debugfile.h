#pragma once
#include <QObject>

// A placeholder of the diagnostics group: nothing uses it yet.
class DebugFile : public QObject
{
    Q_OBJECT
public:
    DebugFile();
};
