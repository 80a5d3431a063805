#include "alarmmodel.h"

#include "legacyresources.h"
#include "zulog.h"

#include <QApplication>
#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmapCache>
#include <QPushButton>
#include <QStyleOptionButton>

QString eventDisplayTime(const EventRecord &record)
{
    // The date is the 8-digit part of the name that a 6-digit time follows,
    // so alarm names with a kind part ("3_20240105_103000_motion-thumb.jpg")
    // read as well as those without.
    return record.eventDisplayTime();
}

QString eventTimeText(const EventRecord &record)
{
    const QDateTime t = QDateTime::fromString(eventDisplayTime(record), QStringLiteral("yyyyMMddHHmmss"));
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

// ---------------------------------------------------------------- models

ZuEventListModel::ZuEventListModel(const QList<EventRecord> &records) : m_records(records) {}

int ZuEventListModel::rowCount(const QModelIndex &) const
{
    return int(m_records.size());
}

int ZuEventListModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant ZuEventListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_records.size())
        return QVariant();
    const EventRecord r = m_records.at(index.row());
    if (role == Qt::DisplayRole)
        return displayData(r);
    if (role == PictureRole)
        return r.picturePath;
    return QVariant();
}

QVariant AlarmModel::displayData(const EventRecord &r) const
{
    return eventTimeText(r);
}

QVariant TagsModel::displayData(const EventRecord &r) const
{
    return QStringList{eventTimeText(r), r.tagName, r.tagDescription};
}

// ---------------------------------------------------------------- delegates

bool ZuEventItemDelegate::inDownloadSquare(const QRect &cell, const QPoint &pos)
{
    const int right = cell.x() + cell.width();
    return right - kButtonSide < pos.x() && pos.x() < right && cell.y() < pos.y() && pos.y() < cell.y() + kButtonSide;
}

QPixmap ZuEventItemDelegate::cachedPixmap(const QString &path)
{
    QPixmap pixmap;
    if (path.isEmpty())
        return pixmap;
    const QString key = QStringLiteral("zulegacy:") + path;
    if (!QPixmapCache::find(key, &pixmap)) {
        if (!pixmap.load(path))
            return QPixmap();
        QPixmapCache::insert(key, pixmap);
    }
    return pixmap;
}

void ZuEventItemDelegate::paintHover(QPainter *painter, const QStyleOptionViewItem &option)
{
    if (option.state & QStyle::State_MouseOver)
        painter->fillRect(option.rect, QColor(204, 204, 204, 80));
}

QWidget *ZuEventItemDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                           const QModelIndex &index) const
{
    if (index.column() == 1) {
        auto *button = new QPushButton(parent);
        button->setText(index.data(Qt::DisplayRole).toString());
        return button;
    }
    return QStyledItemDelegate::createEditor(parent, option, index);
}

void ZuEventItemDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    if (index.column() == 1) {
        editor->setProperty("data_value", index.data(Qt::DisplayRole));
        return;
    }
    QStyledItemDelegate::setEditorData(editor, index);
}

void ZuEventItemDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    if (index.column() == 1) {
        model->setData(index, editor->property("data_value"), Qt::EditRole);
        return;
    }
    QStyledItemDelegate::setModelData(editor, model, index);
}

bool ZuEventItemDelegate::editorEvent(QEvent *event, QAbstractItemModel *, const QStyleOptionViewItem &option,
                                      const QModelIndex &index)
{
    if (event->type() != QEvent::MouseButtonPress)
        return false;
    if (m_pressLog)
        logMessage(m_pressLog);
    const QPoint pos = static_cast<QMouseEvent *>(event)->position().toPoint();
    if (inDownloadSquare(option.rect, pos)) {
        emit cellDownloadButtonClicked(index);
        return true;
    }
    emit cellButtonClicked(index);
    return false;
}

namespace {

void setListPen(QPainter *painter)
{
    painter->setPen(Qt::white);
    painter->setFont(QFont(QStringLiteral("DejaVu Sans Condensed"), 10));
}

void drawPicture(QPainter *painter, const QRect &cell, const QString &path)
{
    // A row no taller than the caption has no picture area; a negative
    // height would draw the picture over the rows below.
    const QRect area(cell.x(), cell.y() + 25, cell.width(), cell.height() - 25);
    if (area.isEmpty())
        return;
    const QPixmap picture = ZuEventItemDelegate::cachedPixmap(path);
    if (!picture.isNull())
        painter->drawPixmap(area, picture);
}

} // namespace

AlarmItemDelegate::AlarmItemDelegate() : ZuEventItemDelegate("[INFO] AlarmItemDelegate :: Mouse MouseButtonPress")
{
    ZuLegacy::initResources();
}

void AlarmItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QRect cell = option.rect;
    const QString text = index.data(Qt::DisplayRole).toString();
    const QVariant path = index.data(AlarmModel::PictureRole);
    painter->save();
    if (!path.toString().isNull() && path.isValid()) {
        setListPen(painter);
        painter->drawText(QRect(cell.x(), cell.y() + 5, cell.width(), 15), text, QTextOption());
        drawPicture(painter, cell, path.toString());
    }
    QStyleOptionButton button;
    button.state = QStyle::State_Enabled;
    button.features = QStyleOptionButton::Flat;
    button.rect = QRect(cell.x() + cell.width() - kButtonSide, cell.y(), kButtonSide, kButtonSide);
    button.icon = QIcon(cachedPixmap(QStringLiteral(":/imgs/download_white.png")));
    button.iconSize = QSize(15, 15);
    QApplication::style()->drawControl(QStyle::CE_PushButtonLabel, &button, painter);
    paintHover(painter, option);
    painter->restore();
}

TagItemDelegate::TagItemDelegate() : ZuEventItemDelegate(nullptr)
{
    ZuLegacy::initResources();
}

void TagItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QRect cell = option.rect;
    // Three texts are expected; a row with fewer shows what it has.
    const QStringList texts = index.data(Qt::DisplayRole).toStringList();
    const QVariant path = index.data(AlarmModel::PictureRole);
    painter->save();
    setListPen(painter);
    const QPixmap tag = cachedPixmap(QStringLiteral(":/imgs/tag.png"));
    if (!tag.isNull())
        painter->drawPixmap(QRect(cell.x(), cell.y() + cell.height() / 2 - 16, 32, 32), tag);
    painter->drawText(QRect(cell.x() + 40, cell.y() + 5, cell.width(), 15), texts.value(0), QTextOption());
    painter->drawText(QRect(cell.x() + 40, cell.y() + 25, cell.width(), 15),
                      texts.value(1) + QStringLiteral(" - ") + texts.value(2), QTextOption());
    painter->drawLine(cell.x(), cell.y() + cell.height(), cell.x() + cell.width(), cell.y() + cell.height());
    if (path.isValid() && !path.toString().isNull())
        drawPicture(painter, cell, path.toString());
    paintHover(painter, option);
    painter->restore();
}

// ---------------------------------------------------------------- tile

AlarmToolbar::AlarmToolbar(QWidget *parent) : QWidget(parent) {}

QSize AlarmToolbar::sizeHint() const
{
    return QSize(140, 120);
}

void AlarmToolbar::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit send(record);
}

void AlarmToolbar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QFont font = painter.font();
    font.setPointSize(8);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QRect(8, 2, 110, 15), caption, QTextOption());
    if (picture.isNull()) {
        logMessage("AlarmToolbar::paintEvent << image is null");
        painter.drawImage(QRect(8, 20, 110, 80), fallbackPicture);
    } else {
        painter.drawImage(QRect(8, 20, 110, 80), picture);
    }
}
