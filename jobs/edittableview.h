#pragma once
#include <QTableView>

// The table of a job window list: Backspace and Delete remove the current
// row (the model decides whether it may go) and select the row that takes
// its place, or the one above when the last row went.
class EditTableView : public QTableView
{
    Q_OBJECT
public:
    explicit EditTableView(QWidget *parent = nullptr);

public Q_SLOTS:
    void removeOne();
    void removeAll();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void removeCurrentAndReselect();
};
