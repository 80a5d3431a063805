#pragma once
#include <QObject>
#include <QPointer>
#include <QString>

#include "integritydialog.h"

class IntegrityCheck;
class QWidget;

// One integrity check of a day folder with its dialog: creates both, wires
// them, shows the dialog and starts the thread. It owns the checker and
// deletes it (and then itself) once the dialog is gone and the thread has
// ended; closing the dialog early stops the check. Destroying the runner
// (with its parent, or at application exit) stops and joins the thread.
class IntegrityRunner : public QObject
{
    Q_OBJECT
public:
    // `dayFolder` is the export root and the day (yyyy-MM-dd) joined by a
    // slash. `parent` becomes the dialog's parent and the runner's owner;
    // without one the runner is ended when the application quits.
    static IntegrityRunner *start(const QString &dayFolder, QWidget *parent = nullptr);
    static IntegrityRunner *start(const QString &root, const QString &date, QWidget *parent = nullptr);

    ~IntegrityRunner() override;

    IntegrityCheck *checker() const { return check; }
    IntegrityDialog *dialog() const { return dlg.data(); }

signals:
    // Emitted once both the dialog and the thread are done, just before the
    // runner deletes the checker and itself.
    void released();

private:
    IntegrityRunner(const QString &root, const QString &date, QWidget *parent);
    void onDialogGone();
    void onThreadFinished();
    void releaseIfDone();

    IntegrityCheck *check = nullptr;
    QPointer<IntegrityDialog> dlg;
    bool dialogGone = false;
    bool threadDone = false;
    bool releasing = false;
};
