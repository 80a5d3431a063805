#include "edittableview.h"

#include <QItemSelectionModel>
#include <QKeyEvent>

EditTableView::EditTableView(QWidget *parent)
    : QTableView(parent)
{
}

void EditTableView::removeCurrentAndReselect()
{
    QAbstractItemModel *m = model();
    QItemSelectionModel *selection = selectionModel();
    if (!m || !selection)
        return;
    const QModelIndex current = currentIndex();
    if (!current.isValid())
        return;
    const int row = current.row();
    m->removeRows(row, 1, current.parent());
    const int rows = m->rowCount(rootIndex());
    if (rows == 0)
        return;
    const int next = row < rows ? row : rows - 1;
    const QModelIndex index = m->index(next, qMax(0, current.column()), rootIndex());
    selection->setCurrentIndex(index, QItemSelectionModel::Select | QItemSelectionModel::Current
                                          | QItemSelectionModel::Rows);
}

void EditTableView::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete) && model()) {
        removeCurrentAndReselect();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void EditTableView::removeOne()
{
    removeCurrentAndReselect();
}

void EditTableView::removeAll()
{
    if (QAbstractItemModel *m = model())
        m->removeRows(0, m->rowCount(rootIndex()), rootIndex());
}
