#include "integrityrunner.h"

#include "integritycheck.h"
#include "integritydialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QWidget>

IntegrityRunner *IntegrityRunner::start(const QString &dayFolder, QWidget *parent)
{
    const QFileInfo info(QDir::cleanPath(dayFolder));
    return start(info.path(), info.fileName(), parent);
}

IntegrityRunner *IntegrityRunner::start(const QString &root, const QString &date, QWidget *parent)
{
    return new IntegrityRunner(root, date, parent);
}

IntegrityRunner::IntegrityRunner(const QString &root, const QString &date, QWidget *parent)
    : QObject(parent)
{
    // Without an owner the runner must still not outlive the application
    // with its thread running.
    if (!parent && QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] { delete this; });

    check = new IntegrityCheck(root + QLatin1Char('/') + date);
    auto *d = new IntegrityDialog(root, date, parent);
    dlg = d;

    connect(check, &IntegrityCheck::hash_file_found, d, &IntegrityDialog::is_hash_file_found);
    connect(check, &IntegrityCheck::file_count, d, &IntegrityDialog::get_file_count);
    connect(check, &IntegrityCheck::file_count_check, d, &IntegrityDialog::is_file_count_check);
    connect(check, &IntegrityCheck::start_check, d, &IntegrityDialog::start_check);
    connect(check, &IntegrityCheck::end_check, d, &IntegrityDialog::end_check);
    connect(check, &IntegrityCheck::begin_check_file, d, &IntegrityDialog::begin_check_file);
    connect(check, &IntegrityCheck::end_check_file, d, &IntegrityDialog::end_check_file);
    connect(d, &IntegrityDialog::user_stopped, check, &IntegrityCheck::user_stop);

    // finished(int) does not come when the dialog is deleted without being
    // closed (with its parent, say); destroyed always does.
    connect(d, &QDialog::finished, this, [this] {
        if (dlg)
            dlg->deleteLater();
        onDialogGone();
    });
    connect(d, &QObject::destroyed, this, &IntegrityRunner::onDialogGone);
    connect(check, &QThread::finished, this, &IntegrityRunner::onThreadFinished, Qt::QueuedConnection);

    d->show();
    check->start();
}

IntegrityRunner::~IntegrityRunner()
{
    if (dlg) {
        disconnect(dlg, nullptr, this, nullptr);
        delete dlg.data();
    }
    if (check) {
        disconnect(check, nullptr, this, nullptr);
        delete check; // stops the thread and waits for it
    }
}

void IntegrityRunner::onDialogGone()
{
    if (dialogGone)
        return;
    dialogGone = true;
    // Nobody is left to watch the check: stop it rather than let it run on.
    if (check && !threadDone && !check->isFinished())
        check->user_stop();
    releaseIfDone();
}

void IntegrityRunner::onThreadFinished()
{
    threadDone = true;
    releaseIfDone();
}

void IntegrityRunner::releaseIfDone()
{
    if (releasing || !dialogGone || !threadDone)
        return;
    releasing = true;
    // finished() is emitted just before the thread really ends.
    check->wait();
    emit released();
    delete check;
    check = nullptr;
    deleteLater();
}
