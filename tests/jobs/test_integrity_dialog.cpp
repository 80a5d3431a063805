#include "integrity_testutil.h"
#include "integritydialog.h"
#include "integrityrunner.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

using namespace itest;

namespace {
QLabel *label(QWidget *w, const QString &text)
{
    for (QLabel *l : w->findChildren<QLabel *>())
        if (l->text() == text)
            return l;
    return nullptr;
}
} // namespace

class TestIntegrityDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;

    // A day whose one file takes seconds to digest (sparse, so no disk is
    // used), so a check is surely still running when the test acts.
    QString makeSlowDay()
    {
        const QString day = tmp.path() + "/talvor_slow/2024-03-05";
        QDir().mkpath(day + "/101500");
        QFile f(day + "/101500/big.zuvideo");
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(8) << 30))
            return QString();
        f.close();
        QJsonArray a{entry("big.zuvideo", f.fileName(), "101500/big.zuvideo", QString(64, '0'))};
        return writeManifest(day, a) ? day : QString();
    }

private slots:
    // A stopped check is never shown as a verdict on the day, whatever the
    // checker says; a file name from the manifest is text, not markup.
    void stopThenVerdict()
    {
        IntegrityDialog d("/r", "2024-03-05", nullptr);
        d.setAttribute(Qt::WA_DeleteOnClose, false);
        auto *bar = d.findChild<QProgressBar *>();
        auto *button = d.findChild<QPushButton *>();
        QSignalSpy stopped(&d, &IntegrityDialog::user_stopped);
        d.get_file_count(4);
        d.start_check();
        d.end_check_file("<b>x</b>", false);
        QLabel *bad = label(&d, "Erreur lors de la vérification du fichier : <b>x</b>");
        QVERIFY(bad && bad->textFormat() == Qt::PlainText);
        button->click();
        // Escape while stopping neither closes nor stops twice.
        QTest::keyClick(&d, Qt::Key_Escape);
        QCOMPARE(stopped.size(), 1);
        d.end_check(true);
        QCOMPARE(bar->format(), QString("Vérification arrêtée"));
        QVERIFY(label(&d, "État de la vérification : interrompue par l'utilisateur"));
        QVERIFY(button->isEnabled());
    }

    // Escape mid-check stops the check and the dialog stays until the
    // verdict; the checker is deleted only once its thread has ended.
    void escapeMidCheck()
    {
        const QString day = makeSlowDay();
        QVERIFY(!day.isEmpty());
        QPointer<IntegrityRunner> runner = IntegrityRunner::start(day);
        QPointer<IntegrityDialog> d = runner->dialog();
        IntegrityCheck *checker = runner->checker();
        auto threadEnded = std::make_shared<std::atomic<bool>>(false);
        auto deletedAfterEnd = std::make_shared<int>(-1);
        connect(checker, &QThread::finished, checker, [=] { threadEnded->store(true); }, Qt::DirectConnection);
        connect(checker, &QObject::destroyed, this, [=] { *deletedAfterEnd = threadEnded->load(); });

        QTRY_VERIFY(d && d->isChecking());
        QTest::keyClick(d, Qt::Key_Escape);
        QVERIFY(d && d->isVisible());
        // The digest of the large file sees the stop between two blocks.
        QTRY_VERIFY_WITH_TIMEOUT(d && !d->isChecking(), 20000);
        QVERIFY(threadEnded->load());
        QCOMPARE(d->findChild<QProgressBar *>()->format(), QString("Vérification arrêtée"));
        QVERIFY(runner);

        // Now Escape closes, and everything is released.
        QTest::keyClick(d, Qt::Key_Escape);
        QTRY_VERIFY(d.isNull() && runner.isNull());
        QCOMPARE(*deletedAfterEnd, 1);
    }

    void closedEarlyOrOwnerGone()
    {
        // The dialog closed before the check starts stops it; the runner
        // goes once the thread has ended.
        const QString day = makeSlowDay();
        QVERIFY(!day.isEmpty());
        QPointer<IntegrityRunner> runner = IntegrityRunner::start(day);
        runner->dialog()->close();
        QTRY_VERIFY_WITH_TIMEOUT(runner.isNull(), 20000);

        // An owner deleted mid-check joins the thread on the way.
        auto *owner = new QWidget;
        runner = IntegrityRunner::start(day, owner);
        QPointer<IntegrityDialog> d = runner->dialog();
        QTRY_VERIFY(d && d->isChecking());
        QElapsedTimer t;
        t.start();
        delete owner;
        QVERIFY(runner.isNull() && d.isNull());
        QVERIFY(t.elapsed() < 10000);
    }
};

QTEST_MAIN(TestIntegrityDialog)
#include "test_integrity_dialog.moc"
