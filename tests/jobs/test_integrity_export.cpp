// The generated export folder: every day folder with a manifest verifies in
// place and after being moved. The moved copy's manifest still names the
// original files by absolute path, so a changed byte in the copy shows that
// the copy's own files were checked.
#include "integrity_testutil.h"

#include <QDirIterator>
#include <QRegularExpression>

using namespace itest;

class TestIntegrityExport : public QObject
{
    Q_OBJECT

    static QStringList dayFolders(const QString &exportFolder)
    {
        static const QRegularExpression dayName("^\\d{4}-\\d{2}-\\d{2}$");
        QStringList days;
        for (const QFileInfo &fi : QDir(exportFolder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            if (dayName.match(fi.fileName()).hasMatch() && QFileInfo::exists(fi.filePath() + "/hash.json"))
                days << fi.absoluteFilePath();
        return days;
    }

private slots:
    void generatedDaysPass()
    {
        const QFileInfoList folders = QDir(ZU_BINARY_DIR "/testdata/small").entryInfoList({"talvor_*"}, QDir::Dirs);
        QVERIFY2(!folders.isEmpty(), "no generated export folder under testdata/small");
        QTemporaryDir tmp;
        const QString moved = tmp.path() + "/moved";
        for (const QFileInfo &src : folders) {
            QVERIFY(QProcess::execute("cp", {"-a", src.filePath(), tmp.path() + "/a"}) == 0);
            QVERIFY(QDir().rename(tmp.path() + "/a", moved));
            const QStringList inPlace = dayFolders(src.filePath());
            QVERIFY(!inPlace.isEmpty());
            QCOMPARE(dayFolders(moved).size(), inPlace.size());
            for (const QString &day : inPlace + dayFolders(moved)) {
                const Outcome out = runCheck(day);
                QVERIFY2(out.finished && out.order.endsWith("done:1"), qPrintable(day + ": " + out.order.join(' ')));
            }

            const QString day = dayFolders(moved).first();
            QDirIterator it(day, {"*.zuvideo"}, QDir::Files, QDirIterator::Subdirectories);
            QVERIFY(it.hasNext());
            QFile f(it.next());
            QVERIFY(f.open(QIODevice::ReadWrite));
            const char first = f.read(1).at(0);
            QVERIFY(f.seek(0) && f.putChar(char(first ^ 0x5a)));
            f.close();
            QVERIFY(runCheck(day).order.endsWith("done:0"));
            QVERIFY(QDir(moved).removeRecursively());
        }
    }
};

QTEST_GUILESS_MAIN(TestIntegrityExport)
#include "test_integrity_export.moc"
