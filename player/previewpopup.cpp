#include "previewpopup.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

PreviewPopup::PreviewPopup(QWidget *parent)
    : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setObjectName(QStringLiteral("zuPreviewPopup"));
    setStyleSheet(QStringLiteral(
        "#zuPreviewPopup { background: #1b1f27; border: 1px solid #3a4150; border-radius: 6px; }"
        "QLabel { color: #e6e9ef; font-size: 12px; }"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(3);
    m_picture = new QLabel(this);
    m_picture->setAlignment(Qt::AlignCenter);
    m_caption = new QLabel(this);
    m_caption->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_picture);
    layout->addWidget(m_caption);
}

QImage PreviewPopup::loadPicture(const QString &path, int maxWidth)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.size() <= 0 || info.size() > kMaxFileBytes)
        return QImage();
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 16384 || size.height() > 16384)
        return QImage();
    if (size.width() > maxWidth)
        reader.setScaledSize(size.scaled(maxWidth, maxWidth * 4, Qt::KeepAspectRatio));
    QImage image = reader.read();
    return image;
}

bool PreviewPopup::show_preview(const QString &path, const QString &caption, int x, int y)
{
    if (path != m_path) {
        const QImage image = loadPreview(path);
        if (image.isNull()) {
            hide_preview();
            return false;
        }
        m_path = path;
        m_picture->setPixmap(QPixmap::fromImage(image));
    }
    m_caption->setText(caption);
    adjustSize();
    QPoint pos(x - width() / 2, y - height() - 8);
    if (QScreen *screen = QGuiApplication::screenAt(QPoint(x, y))) {
        const QRect area = screen->availableGeometry();
        pos.setX(qBound(area.left(), pos.x(), qMax(area.left(), area.right() - width())));
        pos.setY(qMax(area.top(), pos.y()));
    }
    move(pos);
    if (!isVisible())
        show();
    raise();
    return true;
}

QString PreviewPopup::currentCaption() const
{
    return m_caption->text();
}

void PreviewPopup::hide_preview()
{
    hide();
}
