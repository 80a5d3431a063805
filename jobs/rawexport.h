#pragma once
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QThread>

// The raw export: copies the data files of a range, each with its seek
// file, and every camera list of the export folder into the target folder,
// keeping each path from the export folder's name ("talvor_…") downward, so
// that the target holds a smaller export folder the player can open.
//
// Copies never replace a file: each one is written under a temporary name
// in the destination folder and renamed without replacing. A destination
// file that already exists is compared with its source: the same bytes
// count as copied (so a second export into the same place succeeds and
// changes nothing), other bytes are kept as they are and the copy fails.
//
// The copy never writes into the evidence it reads nor outside its target:
// a target inside the export folder being read, or the folder that holds it,
// is refused before anything is written; the target folder is held open from the start and everything
// is created relative to it, so that a folder swapped for a link meanwhile
// redirects nothing; folders below the target are entered without following
// symbolic links; a source file whose size, modification time or change
// time changes while it is copied fails, and its copy is removed.
//
// Only files of the export folder are copied: a data, seek or camera-list
// file that is a symbolic link, or whose path leads out of the export
// folder, is not copied and counts as a failure. A destination that is the
// source file itself never counts as copied.
//
// Signals, from the worker's thread: valueChanged(percent) twice per data
// file; error(count) with the number of files that could not be copied,
// only when that is not 0, just before endingsignal(); endingsignal() once
// at the end of every run that was not interrupted.
class RawExport : public QThread
{
    Q_OBJECT
public:
    RawExport();
    // Asks the thread to stop after the file it is copying and waits for it.
    ~RawExport() override;

    void set_files(QList<QFileInfo> files);
    void set_output(QFileInfo output);

    // Copies one file, creating the destination folder; true when the
    // destination holds the source's bytes afterwards.
    bool copy_file(const QString &source, const QString &destination);

    // The export folder ("…/talvor_…") a source file lies in; empty when none.
    static QString export_folder_of(const QString &source);
    // True when `targetFolder` (which need not exist yet) is, or lies inside,
    // the export folder of one of `files`: links resolved, and reached
    // through another mount or spelt in another case on a case-insensitive
    // drive too.
    static bool target_inside_source(const QString &targetFolder, const QList<QFileInfo> &files);
    // True when `targetFolder` holds the export folder of one of `files`
    // (the export saved beside it, at the root of the same drive): the copy
    // would be placed onto its own source. Links and other mounts of it are
    // resolved as above.
    static bool target_holds_source(const QString &targetFolder, const QList<QFileInfo> &files);

    // Files that could not be copied in the last run (read after the end).
    int failures() const { return m_failures; }

    // Position of the export folder's component ("/talvor_…", any case) in
    // `path`: the nearest folder above the file whose name starts so; -1
    // when there is none.
    static int anchor_of(const QString &path);
    // Where `source` goes below `targetFolder`; empty when the source has no
    // anchor or its relative part would leave the target folder.
    static QString destination_for(const QString &source, const QString &targetFolder);

Q_SIGNALS:
    void valueChanged(int percent);
    void endingsignal();
    void error(int failedCopies);

protected:
    void run() override;

private:
    // Copies `source` to `relative` below the folder `root` (made when
    // missing), entering the folders of `relative` without following links.
    // `rootFd` is the folder `root` held open.
    // `sourceRoot` is the canonical export folder the source must lie in
    // (empty: anywhere); a source that is a link is never copied.
    bool copyBelow(const QString &source, const QString &sourceRoot, int rootFd, const QString &root,
                   const QString &relative);
    // Opens the target folder `root`, made when missing; -1 on failure.
    static int openTargetFolder(const QString &root);
    // Where the folder held open lies now.
    static QString heldFolderPath(int rootFd);
    // The canonical form of an export folder, which the files copied from
    // it must not leave; empty for none.
    static QString source_root(const QString &exportFolder);
    bool copyInto(int dirFd, const QString &source, const QString &sourceRoot, const QByteArray &name,
                  const QString &destination);

    QFileInfo m_target;
    QList<QFileInfo> m_files;
    int m_failures = 0;
};
