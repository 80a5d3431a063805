// The generated export folder: every day folder with a manifest verifies, in
// place, copied elsewhere and after being moved (its recorded absolute paths
// then name the old place, and the relative paths serve).
#include "integrity_testutil.h"

#include <QRegularExpression>

using namespace itest;

class TestIntegrityExport : public QObject
{
    Q_OBJECT

    QStringList exportFolders() const
    {
        QStringList out;
        const QDir small(binaryDir() + "/testdata/small");
        for (const QFileInfo &fi : small.entryInfoList({"talvor_*"}, QDir::Dirs | QDir::NoDotAndDotDot))
            out << fi.absoluteFilePath();
        return out;
    }

    static QStringList dayFolders(const QString &exportFolder)
    {
        static const QRegularExpression dayName("^\\d{4}-\\d{2}-\\d{2}$");
        QStringList days;
        for (const QFileInfo &fi : QDir(exportFolder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            if (dayName.match(fi.fileName()).hasMatch() && QFileInfo::exists(fi.filePath() + "/hash.json"))
                days << fi.absoluteFilePath();
        }
        return days;
    }

    // Checks every day of `exportFolder`; returns how many were checked.
    static int checkAllDays(const QString &exportFolder, bool expectAbsolute)
    {
        int checked = 0;
        for (const QString &day : dayFolders(exportFolder)) {
            LogCapture log;
            const Outcome out = runCheck(day);
            if (!out.finished || out.endChecks != 1 || !out.verdict) {
                qWarning().noquote() << "day failed:" << day << out.order.join(' ') << log.all().join('\n');
                return -1;
            }
            const bool usedPath = log.containsPrefix("[INFO] Integrity check :: check integrity :: path file :: ");
            if (!expectAbsolute && !usedPath) {
                qWarning().noquote() << "recorded absolute paths were used outside the day:" << day;
                return -1;
            }
            ++checked;
        }
        return checked;
    }

private slots:
    void generatedDaysPass()
    {
        const QStringList folders = exportFolders();
        QVERIFY2(!folders.isEmpty(), "no generated export folder under testdata/small");
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        for (const QString &src : folders) {
            // In place (read only): the recorded paths are still right.
            const int days = checkAllDays(src, true);
            QVERIFY(days > 0);

            const QString name = QFileInfo(src).fileName();
            QVERIFY(QDir().mkpath(tmp.path() + "/a"));
            QVERIFY(runOk("cp", {"-a", src, tmp.path() + "/a/"}));
            QCOMPARE(checkAllDays(tmp.path() + "/a/" + name, false), days);

            QVERIFY(QDir().rename(tmp.path() + "/a", tmp.path() + "/moved"));
            QCOMPARE(checkAllDays(tmp.path() + "/moved/" + name, false), days);

            // A changed byte in the moved copy is caught.
            const QString day = dayFolders(tmp.path() + "/moved/" + name).first();
            QString victim;
            QDirIterator it(day, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString p = it.next();
                if (p.endsWith(".zuvideo")) {
                    victim = p;
                    break;
                }
            }
            QVERIFY(!victim.isEmpty());
            QFile f(victim);
            QVERIFY(f.open(QIODevice::ReadWrite));
            const QByteArray first = f.read(1);
            QVERIFY(f.seek(0));
            f.write(QByteArray(1, char(first.at(0) ^ 0x5a)));
            f.close();
            QVERIFY(!runCheck(day).verdict);
            QVERIFY(QDir(tmp.path() + "/moved").removeRecursively());
        }
    }
};

QTEST_GUILESS_MAIN(TestIntegrityExport)
#include "test_integrity_export.moc"
