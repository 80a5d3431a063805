#pragma once
#include <QImage>
#include <QString>
#include <QWidget>

class QLabel;

// The small picture that follows the pointer over the timeline: the preview
// picture recorded nearest to the hovered time, with that time below it.
// Exposed to QML as "previewPopup".
class PreviewPopup : public QWidget
{
    Q_OBJECT
public:
    explicit PreviewPopup(QWidget *parent = nullptr);

    // Pictures wider than this are scaled down for the popup.
    static constexpr int kWidth = 256;
    // Files larger than this are not decoded at all.
    static constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

    // Reads a picture from the export folder, scaled down to `maxWidth`
    // when wider; null for a missing, oversized or undecodable file.
    static QImage loadPicture(const QString &path, int maxWidth);
    // The same at the popup's width.
    static QImage loadPreview(const QString &path) { return loadPicture(path, kWidth); }

    // Shows the picture at `path` with `caption` so that its bottom centre
    // sits just above the global point (x, y). Nothing is shown when the
    // picture cannot be read.
    Q_INVOKABLE bool show_preview(const QString &path, const QString &caption, int x, int y);
    Q_INVOKABLE void hide_preview();

    QString currentPath() const { return m_path; }
    QString currentCaption() const;

private:
    QLabel *m_picture;
    QLabel *m_caption;
    QString m_path;
};
