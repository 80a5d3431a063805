#pragma once
#include <QFileSystemModel>
#include <QHash>
#include <QSet>
#include <QSortFilterProxyModel>

// The recording tree of the widget player window. Recording files
// ("<camera>_<yyyyMMdd>_<HHmmss>.zuvideo") are shown by their start time;
// day folders ("yyyy-MM-dd") and recordings are coloured.
class ZuVideoFileSystemModel : public QFileSystemModel
{
    Q_OBJECT
public:
    // The full date and time of a recording, "yyyy-MM-dd HH:mm:ss".
    static constexpr int FullDateTimeRole = 15;
    // Files larger than this mark their folders in identifyPathsOfSize.
    static constexpr qint64 kMarkBytes = 51200;

    ZuVideoFileSystemModel();
    ~ZuVideoFileSystemModel() override;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    // "HH:mm:ss" (role 0) or "yyyy-MM-dd HH:mm:ss" (role 15) of a recording
    // file name; other names come back unchanged, unreadable times empty.
    static QString recordingText(const QString &name, int role);

    // Folders (below the root path) that hold a file larger than kMarkBytes.
    QSet<QString> markedPaths() const { return marked_paths; }

public slots:
    void identifyPathsOfSize(int sizeLimit);

private:
    QHash<QString, qint64> path_sizes;
    QSet<QString> marked_paths;
};

// The older variant of the model: the same names, no colouring.
class model : public QFileSystemModel
{
    Q_OBJECT
public:
    explicit model(QObject *parent);
    ~model() override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
};

// Between the file model and the tree: in a day folder, rows whose shown
// time occurs more than once are hidden (all of them, not only the later).
class TreeProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
};
