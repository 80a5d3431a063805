#pragma once
#include "eventrecord.h"

#include <QAbstractListModel>
#include <QImage>
#include <QList>
#include <QStyledItemDelegate>
#include <QWidget>

// Read-only lists of the day's alarm and tag events for the widget player
// window. Display role: the event time "yyyy-MM-dd HH:mm:ss" (alarms) or
// [time, tag name, tag description] (tags); role 8 (Qt::BackgroundRole):
// the path of the event's picture.
class ZuEventListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    static constexpr int PictureRole = Qt::BackgroundRole;

    explicit ZuEventListModel(const QList<EventRecord> &records);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // The record of a row (a default record outside the list).
    EventRecord record(int row) const { return m_records.value(row); }
    QList<EventRecord> records() const { return m_records; }

protected:
    virtual QVariant displayData(const EventRecord &record) const = 0;

private:
    QList<EventRecord> m_records;
};

class AlarmModel : public ZuEventListModel
{
    Q_OBJECT
public:
    using ZuEventListModel::ZuEventListModel;

protected:
    QVariant displayData(const EventRecord &record) const override;
};

class TagsModel : public ZuEventListModel
{
    Q_OBJECT
public:
    using ZuEventListModel::ZuEventListModel;

protected:
    QVariant displayData(const EventRecord &record) const override;
};

// The event's time "yyyyMMddHHmmss": the record's display-time override when
// set, else the date and time parts of its file name; empty without them.
QString eventDisplayTime(const EventRecord &record);
// The same as "yyyy-MM-dd HH:mm:ss" (empty when it does not read).
QString eventTimeText(const EventRecord &record);

// Paints and handles the rows of both lists. A press in the 25 x 25 square
// at a row's top-right corner (border lines excluded) is a download press,
// anywhere else a row press.
class ZuEventItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    static constexpr int kButtonSide = 25;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

    // Whether `pos` lies strictly inside the download square of `cell`.
    static bool inDownloadSquare(const QRect &cell, const QPoint &pos);
    // A picture of the lists, loaded once and kept in QPixmapCache.
    static QPixmap cachedPixmap(const QString &path);

signals:
    void cellDownloadButtonClicked(QModelIndex index);
    void cellButtonClicked(QModelIndex index);

protected:
    explicit ZuEventItemDelegate(const char *pressLog) : m_pressLog(pressLog) {}
    static void paintHover(QPainter *painter, const QStyleOptionViewItem &option);

private:
    const char *m_pressLog;
};

class AlarmItemDelegate : public ZuEventItemDelegate
{
    Q_OBJECT
public:
    AlarmItemDelegate();
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

class TagItemDelegate : public ZuEventItemDelegate
{
    Q_OBJECT
public:
    TagItemDelegate();
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

// A tile with one alarm picture under a caption; a left click sends its
// record.
class AlarmToolbar : public QWidget
{
    Q_OBJECT
public:
    explicit AlarmToolbar(QWidget *parent = nullptr);

    void setCaption(const QString &caption) { this->caption = caption; update(); }
    void setPicture(const QImage &image) { picture = image; update(); }
    void setFallbackPicture(const QImage &image) { fallbackPicture = image; update(); }
    void setRecord(const EventRecord &r) { record = r; }

    QSize sizeHint() const override;

signals:
    void send(EventRecord record);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QString caption;
    QImage picture;
    QImage fallbackPicture;
    EventRecord record;
};
