#include "integrity_testutil.h"
#include "integritydialog.h"
#include "integrityrunner.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <atomic>

using namespace itest;

namespace {
QStringList labelTexts(QWidget *w)
{
    QStringList texts;
    for (QLabel *l : w->findChildren<QLabel *>())
        texts << l->text();
    return texts;
}

QLabel *labelWithText(QWidget *w, const QString &text)
{
    for (QLabel *l : w->findChildren<QLabel *>()) {
        if (l->text() == text)
            return l;
    }
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
        QJsonArray a;
        a.append(entry("big.zuvideo", f.fileName(), "101500/big.zuvideo", QString(64, '0')));
        return writeManifest(day, a) ? day : QString();
    }

private slots:
    void slotTexts()
    {
        auto *d = new IntegrityDialog("/exports/talvor_x", "2024-03-05", nullptr);
        QPointer<IntegrityDialog> guard(d);
        auto *bar = d->findChild<QProgressBar *>();
        auto *button = d->findChild<QPushButton *>();
        QVERIFY(bar && button);
        QVERIFY(d->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(button->text(), QString("Fermer"));
        QCOMPARE(bar->format(), QString("Vérification en attente ..."));
        QVERIFY(labelTexts(d).contains("Vérification d'intégrité de la journée du 2024-03-05"));
        QVERIFY(labelTexts(d).contains("[/exports/talvor_x]"));

        d->is_hash_file_found(false);
        QCOMPARE(labelWithText(d, "Fichier HASH trouvé : ERREUR")->styleSheet(), QString("color: red;"));
        d->get_file_count(0);
        d->start_check();
        QCOMPARE(button->text(), QString("Arrêter"));
        QVERIFY(d->isChecking());
        d->is_file_count_check(false);
        d->begin_check_file("a.zuvideo");
        QCOMPARE(bar->format(), QString("0 %  [ a.zuvideo ]"));
        // A hostile name is shown as it is, never as markup.
        d->end_check_file("<b>x</b>", false);
        QLabel *bad = labelWithText(d, "Erreur lors de la vérification du fichier : <b>x</b>");
        QVERIFY(bad);
        QCOMPARE(bad->textFormat(), Qt::PlainText);
        d->end_check(false);
        QCOMPARE(bar->format(), QString("Intégrité non valide"));
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 100);
        QVERIFY(labelTexts(d).contains("État de la vérification d'intégrité : ERREUR"));
        QVERIFY(labelTexts(d).contains("Vérification d'intégrité terminée et non conforme"));
        QCOMPARE(button->text(), QString("Fermer"));
        QVERIFY(!d->isChecking());
        d->show();
        button->click();
        QTRY_VERIFY(guard.isNull());
    }

    void stopThenVerdict()
    {
        IntegrityDialog d("/r", "2024-03-05", nullptr);
        d.setAttribute(Qt::WA_DeleteOnClose, false);
        auto *bar = d.findChild<QProgressBar *>();
        auto *button = d.findChild<QPushButton *>();
        QSignalSpy stopped(&d, &IntegrityDialog::user_stopped);
        d.get_file_count(4);
        d.start_check();
        d.begin_check_file("a");
        QCOMPARE(bar->format(), QString("25 %  [ a ]"));
        button->click();
        QCOMPARE(stopped.size(), 1);
        QVERIFY(!button->isEnabled());
        QCOMPARE(labelWithText(&d, "Arrêt de la vérification demandé par l'utilisateur.")->styleSheet(),
                 QString("color: orange;"));
        // Escape while stopping neither closes nor stops twice.
        QTest::keyClick(&d, Qt::Key_Escape);
        QCOMPARE(stopped.size(), 1);
        // The verdict that follows names the interruption, whatever it says.
        d.end_check(true);
        QCOMPARE(bar->format(), QString("Vérification arrêtée"));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(labelTexts(&d).contains("État de la vérification : interrompue par l'utilisateur"));
        QVERIFY(labelTexts(&d).contains("Vérification interrompue avant la fin."));
        QVERIFY(button->isEnabled());
        QCOMPARE(button->text(), QString("Fermer"));
    }

    // Escape (and the window manager's close) mid-check stop the check; the
    // checker is deleted only once its thread has ended.
    void escapeMidCheck_data()
    {
        QTest::addColumn<bool>("windowClose");
        QTest::newRow("Escape") << false;
        QTest::newRow("window close") << true;
    }
    void escapeMidCheck()
    {
        QFETCH(bool, windowClose);
        const QString day = makeSlowDay();
        QVERIFY(!day.isEmpty());
        QPointer<IntegrityRunner> runner = IntegrityRunner::start(day);
        QPointer<IntegrityDialog> d = runner->dialog();
        IntegrityCheck *checker = runner->checker();
        auto threadEnded = std::make_shared<std::atomic<bool>>(false);
        auto deletedAfterEnd = std::make_shared<std::atomic<int>>(-1);
        connect(checker, &QThread::finished, checker, [threadEnded] { threadEnded->store(true); },
                Qt::DirectConnection);
        connect(checker, &QObject::destroyed, this,
                [threadEnded, deletedAfterEnd] { deletedAfterEnd->store(threadEnded->load() ? 1 : 0); });

        QTRY_VERIFY(d && d->isChecking());
        if (windowClose)
            QVERIFY(!d->close());
        else
            QTest::keyClick(d, Qt::Key_Escape);
        QVERIFY(d);
        QVERIFY(d->isVisible());
        QVERIFY(labelTexts(d).contains("Arrêt de la vérification demandé par l'utilisateur."));
        // The digest of the large file sees the stop between two blocks.
        QTRY_VERIFY_WITH_TIMEOUT(d && !d->isChecking(), 20000);
        QVERIFY(threadEnded->load());
        auto *bar = d->findChild<QProgressBar *>();
        QCOMPARE(bar->format(), QString("Vérification arrêtée"));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(runner);

        // Now Escape closes, and everything is released.
        QTest::keyClick(d, Qt::Key_Escape);
        QTRY_VERIFY(d.isNull());
        QTRY_VERIFY(runner.isNull());
        QCOMPARE(deletedAfterEnd->load(), 1);
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
        QVERIFY(runner.isNull());
        QVERIFY(d.isNull());
        QVERIFY(t.elapsed() < 10000);
    }

    void passingDayFillsTheBar()
    {
        const QString day = tmp.path() + "/talvor_ok/2024-03-05";
        QVERIFY(writeFile(day + "/101500/a.zuvideo", "aaa"));
        QVERIFY(writeFile(day + "/101500/a.zuseek", "0 0\n"));
        QJsonArray a;
        a.append(entryFor(day, "101500/a.zuvideo"));
        a.append(entryFor(day, "101500/a.zuseek"));
        QVERIFY(writeManifest(day, a));
        QPointer<IntegrityRunner> runner = IntegrityRunner::start(day);
        QPointer<IntegrityDialog> d = runner->dialog();
        auto *bar = d->findChild<QProgressBar *>();
        QTRY_COMPARE(bar->format(), QString("Intégrité validée"));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(labelTexts(d).contains("État de la vérification d'intégrité : OK"));
        QVERIFY(labelTexts(d).contains("Nombre de fichiers à vérifier : 2"));
        QVERIFY(labelTexts(d).contains("Intégrité du compte de fichiers : OK"));
        d->findChild<QPushButton *>()->click();
        QTRY_VERIFY(runner.isNull());
    }
};

QTEST_MAIN(TestIntegrityDialog)
#include "test_integrity_dialog.moc"
