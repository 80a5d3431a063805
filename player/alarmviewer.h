#pragma once
#include "eventrecord.h"

#include <QImage>
#include <QWidget>

class QLabel;

// A top-level window showing one picture (an alarm picture or a snapshot),
// scaled to the window with its aspect kept, with a button that saves it.
// The name gives the window title and the proposed file name. A viewer
// deletes itself when closed (create it with new).
class AlarmViewer : public QWidget
{
    Q_OBJECT
public:
    AlarmViewer(const QImage &image, const QString &name, QWidget *parent = nullptr);
    // The picture of an alarm record (its picture path, text field 3), named
    // after its file name (text field 0). A picture that cannot be read
    // leaves the window showing "Image introuvable".
    explicit AlarmViewer(const EventRecord &record, QWidget *parent = nullptr);

    QImage image() const { return m_image; }
    QString name() const { return m_name; }

    // Writes the picture to `path` (format from the suffix, PNG when none),
    // replacing the file atomically; false on failure.
    bool saveTo(const QString &path) const;

public slots:
    // Asks for a file name (the name proposed) and saves there.
    void save();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void build();
    void updatePicture();

    QImage m_image;
    QString m_name;
    QLabel *m_label = nullptr;
};
