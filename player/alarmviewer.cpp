#include "alarmviewer.h"

#include "zulog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace {
// Pictures come from the export folder: refuse absurd sizes before decoding.
constexpr int kMaxPictureSide = 16384;
constexpr qint64 kMaxPictureBytes = 64LL * 1024 * 1024;

QImage readPicture(const QString &path)
{
    // Only regular files of a sane size: a named pipe under the picture's
    // name would block the window's thread on its open.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() <= 0 || info.size() > kMaxPictureBytes)
        return QImage();
    QImageReader reader(path);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxPictureSide || size.height() > kMaxPictureSide))
        return QImage();
    return reader.read();
}
} // namespace

AlarmViewer::AlarmViewer(const QImage &image, const QString &name, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_image(image)
    , m_name(name)
{
    build();
}

AlarmViewer::AlarmViewer(const EventRecord &record, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_image(readPicture(record.picturePath))
    , m_name(record.fileName.isEmpty() ? QFileInfo(record.picturePath).fileName() : record.fileName)
{
    if (m_image.isNull())
        logMessage(QStringLiteral("[WARN] AlarmViewer :: open :: cannot read ") + record.picturePath);
    build();
}

void AlarmViewer::build()
{
    // Viewers are opened and forgotten by their callers: they go with their window.
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(m_name);
    auto *layout = new QVBoxLayout(this);
    m_label = new QLabel(this);
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setMinimumSize(160, 120);
    m_label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_label->setStyleSheet(QStringLiteral("background: black; color: #c0c0c0;"));
    layout->addWidget(m_label, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *saveButton = new QPushButton(tr("Enregistrer"), this);
    saveButton->setEnabled(!m_image.isNull());
    connect(saveButton, &QPushButton::clicked, this, &AlarmViewer::save);
    auto *closeButton = new QPushButton(tr("Fermer"), this);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    buttons->addWidget(saveButton);
    buttons->addWidget(closeButton);
    layout->addLayout(buttons);
    if (!m_image.isNull())
        resize(qBound(320, m_image.width(), 1280), qBound(240, m_image.height() + 48, 800));
    else
        resize(480, 320);
    updatePicture();
}

void AlarmViewer::updatePicture()
{
    if (!m_label)
        return;
    if (m_image.isNull()) {
        m_label->setText(tr("Image introuvable"));
        return;
    }
    m_label->setPixmap(QPixmap::fromImage(
        m_image.scaled(m_label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void AlarmViewer::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updatePicture();
}

bool AlarmViewer::saveTo(const QString &path) const
{
    if (m_image.isNull() || path.isEmpty())
        return false;
    QByteArray format = QFileInfo(path).suffix().toLower().toLatin1();
    if (format.isEmpty() || format == "jpeg")
        format = format.isEmpty() ? QByteArray("png") : QByteArray("jpg");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !m_image.save(&file, format.constData()) || !file.commit()) {
        logMessage(QStringLiteral("[ERROR] AlarmViewer :: save :: cannot write ") + path);
        return false;
    }
    return true;
}

void AlarmViewer::save()
{
    QString base = m_name;
    base.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    base.replace(QLatin1Char(':'), QLatin1Char('-'));
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString path = QFileDialog::getSaveFileName(this, tr("Enregistrer l'image"), dir + QLatin1Char('/') + base,
                                                      tr("Images (*.png *.jpg)"));
    if (!path.isEmpty())
        saveTo(path);
}
