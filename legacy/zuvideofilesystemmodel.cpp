#include "zuvideofilesystemmodel.h"

#include "exportfolder.h"
#include "zulog.h"

#include <QColor>
#include <QDate>
#include <QDateTime>
#include <QDirIterator>
#include <QTime>

namespace {

bool isDayOrTime(const QString &text)
{
    return QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).isValid()
           || QTime::fromString(text, QStringLiteral("HH:mm:ss")).isValid();
}

void logSetData(const char *prefix, const QVariant &value)
{
    logMessage(QLatin1String(prefix) + value.toString());
}

} // namespace

QString ZuVideoFileSystemModel::recordingText(const QString &name, int role)
{
    if (!name.contains(QLatin1String(".zuvideo")))
        return name;
    QDate date;
    QTime time;
    // A name of three parts that names no real second shows nothing.
    if (!ZuExportFolder::parseRecordingName(name, nullptr, &date, &time))
        return name.count(QLatin1Char('_')) < 2 ? name : QString();
    const QDateTime when(date, time);
    return when.toString(role == FullDateTimeRole ? QStringLiteral("yyyy-MM-dd HH:mm:ss") : QStringLiteral("HH:mm:ss"));
}

ZuVideoFileSystemModel::ZuVideoFileSystemModel() = default;
ZuVideoFileSystemModel::~ZuVideoFileSystemModel() = default;

QVariant ZuVideoFileSystemModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    switch (role) {
    case Qt::BackgroundRole:
        // Day folders and recordings stand out. The text keeps the view's
        // colour: the same colour for text and background would hide it.
        if (isDayOrTime(data(index, Qt::DisplayRole).toString()))
            return QColor(Qt::magenta);
        return QFileSystemModel::data(index, role);
    case FullDateTimeRole:
    case Qt::DisplayRole:
        return recordingText(QFileSystemModel::data(index, Qt::DisplayRole).toString(), role);
    default:
        return QFileSystemModel::data(index, role);
    }
}

bool ZuVideoFileSystemModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    logSetData("ZuVideoFileSystemModel:: Set data ", value);
    if (role == Qt::CheckStateRole) {
        logSetData("ZuVideoFileSystemModel:: Set data ", value);
        emit dataChanged(index, index, {});
        return true;
    }
    return QFileSystemModel::setData(index, value, role);
}

void ZuVideoFileSystemModel::identifyPathsOfSize(int /*sizeLimit*/)
{
    const QString root = rootPath();
    if (path_sizes.isEmpty()) {
        QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo info = it.fileInfo();
            if (!info.isFile())
                continue;
            logMessage(QStringLiteral("ZuVideoFileSystemModel:: + populateFileToSizeHash :: ") + info.path());
            path_sizes.insert(it.filePath(), info.size());
        }
    }
    marked_paths.clear();
    for (auto it = path_sizes.cbegin(); it != path_sizes.cend(); ++it) {
        if (it.value() <= kMarkBytes)
            continue;
        QString path = it.key();
        // The file itself is the first "path"; only its folders are kept.
        path = path.left(qMax(0, path.lastIndexOf(QLatin1Char('/'))));
        while (!path.isEmpty() && path != root && !marked_paths.contains(path)) {
            marked_paths.insert(path);
            const int slash = path.lastIndexOf(QLatin1Char('/'));
            path = slash < 0 ? QString() : path.left(slash);
        }
    }
    emit dataChanged(QModelIndex(), QModelIndex(), {});
}

model::model(QObject *parent) : QFileSystemModel(parent) {}
model::~model() = default;

int model::rowCount(const QModelIndex &parent) const
{
    return QFileSystemModel::rowCount(parent);
}

QVariant model::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (role == Qt::DisplayRole || role == ZuVideoFileSystemModel::FullDateTimeRole)
        return ZuVideoFileSystemModel::recordingText(QFileSystemModel::data(index, Qt::DisplayRole).toString(), role);
    return QFileSystemModel::data(index, role);
}

bool model::setData(const QModelIndex &index, const QVariant &value, int role)
{
    logSetData("Model:: Set data ", value);
    if (role == Qt::CheckStateRole) {
        logSetData("Model:: Set data ", value);
        emit dataChanged(index, index, {});
        return true;
    }
    return QFileSystemModel::setData(index, value, role);
}

bool TreeProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    QAbstractItemModel *source = sourceModel();
    if (source && sourceParent.isValid()
        && QDate::fromString(source->data(sourceParent, Qt::DisplayRole).toString(), QStringLiteral("yyyy-MM-dd")).isValid()) {
        const QModelIndex row = source->index(sourceRow, 0, sourceParent);
        const QModelIndex first = source->index(0, 0, sourceParent);
        const QModelIndexList hits = source->match(first, Qt::DisplayRole, source->data(row, Qt::DisplayRole), 2,
                                                   Qt::MatchExactly | Qt::MatchRecursive);
        if (hits.size() >= 2)
            return false;
    }
    return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
}
