#pragma once
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QWidget;

// The export-folder picker: it accepts only folders named like an export
// folder ("talvor_" and four groups of four hexadecimal digits).
namespace ZuFolderDialog {

bool isExportFolderName(const QString &name);
// True when `path` names an existing directory whose name is an export
// folder name.
bool isExportFolder(const QString &path);

// The export folder nearest to `startDir`: at each level from `startDir` up
// to the root, the directory itself and then its direct sub-directories (by
// name) are checked. Empty when there is none. Symbolic links to
// directories count; the walk never goes more than `maxLevels` up.
QString findNearestExportFolder(const QString &startDir, int maxLevels = 64);

// The last chosen export folder ("Talvor"/"ZuPlayer" settings: the picker's
// own key, else the export dialog's "export/lastDir").
QString lastFolder();
void setLastFolder(const QString &path);

// The refusal texts, shared by the box and the tests.
QString invalidTitle();
QString invalidText();

} // namespace ZuFolderDialog

// The folder picker as QML sees it (root-context object
// "ZuFolderDialogController").
class ZuFolderDialogController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString currentFolder READ currentFolder NOTIFY currentFolderChanged)
public:
    explicit ZuFolderDialogController(QWidget *dialogParent = nullptr, QObject *parent = nullptr);

    QString currentFolder() const { return m_current; }

    // Replaces the directory chooser (tests); it gets the start folder and
    // returns the chosen path or an empty text when cancelled.
    using Chooser = std::function<QString(QWidget *parent, const QString &startDir)>;
    void setChooser(Chooser chooser) { m_chooser = std::move(chooser); }
    // Where the walk up for the nearest export folder starts (default: the
    // application directory). The static default applies to controllers
    // made afterwards (tests that build a whole window).
    void setSearchStart(const QString &dir) { m_searchStart = dir; }
    static void setDefaultSearchStart(const QString &dir);

    // The folder to open at start: the nearest export folder found from the
    // application directory, otherwise the last chosen one when it is still
    // a valid export folder; empty when neither exists.
    Q_INVOKABLE QString initial_folder();
    // The same folder, only looked up (nothing logged or remembered).
    QString findInitialFolder() const;
    // Opens the directory chooser. A chosen folder that is not an export
    // folder is refused with the "Dossier invalide" box and an empty text is
    // returned; a valid one is remembered, becomes the current folder and is
    // returned.
    Q_INVOKABLE QString choose_folder();
    // Checks a path given by QML the same way (with the box on refusal).
    Q_INVOKABLE bool accept_folder(const QString &path);
    // "talvor_1234-…" for display: the folder name alone.
    Q_INVOKABLE QString folder_name(const QString &path) const;

signals:
    void currentFolderChanged();
    void folderChosen(const QString &path);
    void folderRefused(const QString &path);

private:
    void setCurrent(const QString &path);
    void showInvalid();

    QPointer<QWidget> m_dialogParent;
    Chooser m_chooser;
    QString m_searchStart;
    QString m_current;
};
