#include "zufolderdialog.h"

#include "exportfolder.h"
#include "zulog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

namespace ZuFolderDialog {

namespace {
// The export dialog keeps the folder of its last output under
// "export/lastDir"; the picker reads it as a fallback but remembers the
// export folders it opened under a key of its own, so that exports are not
// proposed inside the recordings being reviewed.
const char *kExportDialogKey = "export/lastDir";
const char *kPickerKey = "player/lastExportFolder";

QSettings settings()
{
    return QSettings(QStringLiteral("Talvor"), QStringLiteral("ZuPlayer"));
}
} // namespace

bool isExportFolderName(const QString &name)
{
    return ZuExportFolder::isExportFolderName(name);
}

bool isExportFolder(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isDir() && isExportFolderName(info.fileName());
}

QString findNearestExportFolder(const QString &startDir, int maxLevels)
{
    if (startDir.isEmpty())
        return QString();
    QDir dir(QDir::cleanPath(QFileInfo(startDir).absoluteFilePath()));
    for (int level = 0; level <= maxLevels; ++level) {
        if (isExportFolderName(dir.dirName()) && dir.exists())
            return dir.absolutePath();
        // Only names are matched, so a huge directory costs one listing and
        // no stat per entry beyond what QDir needs for the filter.
        const QStringList children =
            dir.entryList(QStringList() << QStringLiteral("talvor_*"),
                          QDir::Dirs | QDir::NoDotAndDotDot | QDir::Readable, QDir::Name);
        for (const QString &child : children) {
            if (isExportFolderName(child))
                return dir.absoluteFilePath(child);
        }
        if (dir.isRoot() || !dir.cdUp())
            break;
    }
    return QString();
}

QString lastFolder()
{
    const QSettings s = settings();
    const QString mine = s.value(QLatin1String(kPickerKey)).toString();
    if (!mine.isEmpty())
        return mine;
    return s.value(QLatin1String(kExportDialogKey)).toString();
}

void setLastFolder(const QString &path)
{
    QSettings s = settings();
    s.setValue(QLatin1String(kPickerKey), path);
    s.sync();
}

QString invalidTitle()
{
    return QCoreApplication::translate("ZuFolderDialog", "Dossier invalide");
}

QString invalidText()
{
    return QCoreApplication::translate(
               "ZuFolderDialog",
               "Seuls les dossiers d'exportation Talvor avec un identifiant valide sont acceptés.") +
           QStringLiteral("\n\n") +
           QCoreApplication::translate("ZuFolderDialog",
                                       "Exemple attendu : talvor_aaaa-bbbb-cccc-dddd");
}

} // namespace ZuFolderDialog

namespace {
QString g_defaultSearchStart;
}

void ZuFolderDialogController::setDefaultSearchStart(const QString &dir)
{
    g_defaultSearchStart = dir;
}

ZuFolderDialogController::ZuFolderDialogController(QWidget *dialogParent, QObject *parent)
    : QObject(parent), m_dialogParent(dialogParent), m_searchStart(g_defaultSearchStart)
{
    m_chooser = [](QWidget *p, const QString &start) {
        return QFileDialog::getExistingDirectory(
            p, QCoreApplication::translate("ZuFolderDialog", "Choisir un dossier d'exportation"),
            start, QFileDialog::ShowDirsOnly);
    };
}

void ZuFolderDialogController::setCurrent(const QString &path)
{
    if (m_current == path)
        return;
    m_current = path;
    emit currentFolderChanged();
}

QString ZuFolderDialogController::findInitialFolder() const
{
    const QString start =
        m_searchStart.isEmpty() ? QCoreApplication::applicationDirPath() : m_searchStart;
    QString found = ZuFolderDialog::findNearestExportFolder(start);
    if (found.isEmpty()) {
        const QString last = ZuFolderDialog::lastFolder();
        if (ZuFolderDialog::isExportFolder(last))
            found = QFileInfo(last).absoluteFilePath();
    }
    return found;
}

QString ZuFolderDialogController::initial_folder()
{
    const QString found = findInitialFolder();
    if (!found.isEmpty()) {
        logMessage(QStringLiteral("[INFO] ZuFolderDialogController :: initial_folder :: ") + found);
        setCurrent(found);
    }
    return found;
}

QString ZuFolderDialogController::choose_folder()
{
    QString start = m_current;
    if (start.isEmpty())
        start = ZuFolderDialog::lastFolder();
    if (!start.isEmpty())
        start = QFileInfo(start).absolutePath(); // open beside the current folder
    const QString chosen = m_chooser ? m_chooser(m_dialogParent.data(), start) : QString();
    if (chosen.isEmpty())
        return QString();
    return accept_folder(chosen) ? m_current : QString();
}

bool ZuFolderDialogController::accept_folder(const QString &path)
{
    if (!ZuFolderDialog::isExportFolder(path)) {
        logMessage(QStringLiteral("[WARN] ZuFolderDialogController :: accept_folder :: refused :: ") + path);
        emit folderRefused(path);
        showInvalid();
        return false;
    }
    const QString abs = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    ZuFolderDialog::setLastFolder(abs);
    setCurrent(abs);
    emit folderChosen(abs);
    return true;
}

void ZuFolderDialogController::showInvalid()
{
    QMessageBox box(QMessageBox::Warning, ZuFolderDialog::invalidTitle(),
                    ZuFolderDialog::invalidText(), QMessageBox::Ok, m_dialogParent.data());
    box.setObjectName(QStringLiteral("zuInvalidFolderBox"));
    box.exec();
}

QString ZuFolderDialogController::folder_name(const QString &path) const
{
    return QFileInfo(path).fileName();
}
