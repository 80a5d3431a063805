#pragma once
#include <QFrame>

// A dark top-level frame above other windows; Escape closes it (and every
// other key stops here), and it is destroyed when it closes.
class FullScreen : public QFrame
{
    Q_OBJECT
public:
    FullScreen();

signals:
    void reload();

public slots:
    void close_fullscreen();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
};
