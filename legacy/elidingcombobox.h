#pragma once
#include <QComboBox>
#include <QStyleOptionComboBox>
#include <QStylePainter>

// A combo box whose width does not follow its items: camera names come from
// the recorder and may be hundreds of characters long, which would push the
// video surface out of the window. The current text is elided to the room
// the box has, and shown whole as its tooltip and in the popup.
class ElidingComboBox : public QComboBox
{
public:
    explicit ElidingComboBox(QWidget *parent = nullptr)
        : QComboBox(parent)
    {
        setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        setMinimumContentsLength(kMinimumChars);
        connect(this, &QComboBox::currentTextChanged, this, &QWidget::setToolTip);
    }

    static constexpr int kMinimumChars = 16;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QStylePainter painter(this);
        painter.setPen(palette().color(QPalette::Text));
        QStyleOptionComboBox opt;
        initStyleOption(&opt);
        painter.drawComplexControl(QStyle::CC_ComboBox, opt);
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
        const int iconRoom = opt.currentIcon.isNull() ? 0 : opt.iconSize.width() + 4;
        opt.currentText = fontMetrics().elidedText(opt.currentText, Qt::ElideRight, qMax(0, field.width() - iconRoom - 2));
        painter.drawControl(QStyle::CE_ComboBoxLabel, opt);
    }
};
