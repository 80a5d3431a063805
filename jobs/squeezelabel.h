#pragma once
#include <QLabel>

// A label that, when its text is wider than the label, shows it shortened in
// the middle ("begin…end"). The elided form is only painted: text() always
// returns the whole text, and painting never changes the label's text (a
// setText from paintEvent would schedule another paint and another layout
// pass, and would hand the shortened text to anyone reading text()).
class SqueezeLabel : public QLabel
{
    Q_OBJECT
public:
    explicit SqueezeLabel(QWidget *parent = nullptr);

    // The text as painted for the current width (the whole text when it fits).
    QString displayedText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};
