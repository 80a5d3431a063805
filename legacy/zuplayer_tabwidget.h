#pragma once
#include <QHash>
#include <QPixmap>
#include <QTabBar>
#include <QTabWidget>

// A tab bar that shows one picture per tab position instead of a title.
class ZuPlayer_TabBar : public QTabBar
{
    Q_OBJECT
public:
    // Side of the square each picture is fitted into.
    static constexpr int kIconSide = 36;

    explicit ZuPlayer_TabBar(const QHash<int, QPixmap> &icons, QWidget *parent = nullptr);

    QHash<int, QPixmap> icons() const { return m_icons; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void tabInserted(int index) override;
    void tabRemoved(int index) override;

private:
    QHash<int, QPixmap> m_icons;
};

// The side pages of the widget player window (recording tree, playback,
// alarms, tags) behind picture tabs.
class ZuPlayer_TabWidget : public QTabWidget
{
    Q_OBJECT
public:
    explicit ZuPlayer_TabWidget(QWidget *parent = nullptr);

    // The pictures of tabs 0 to 3.
    static QHash<int, QPixmap> defaultIcons();
};
