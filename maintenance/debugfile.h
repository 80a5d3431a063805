#pragma once
#include <QObject>

// A placeholder of the diagnostics group, without members of its own.
class DebugFile : public QObject
{
    Q_OBJECT
public:
    DebugFile();
};
