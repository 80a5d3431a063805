#pragma once
#include <QImage>
#include <QMetaType>
#include <QRectF>
#include <QSize>

#include <functional>

// A picture prepared for the surface by the thread that decoded it: the full
// picture, shared rather than copied, and the visible part of it already
// scaled for one view of the surface, so that painting it is a plain copy.
struct CanvasPicture {
    QImage full;  // Format_RGB32, the picture at its own size; may be null with makeFull
    QSize fullSize; // its size
    // Makes `full` when it is null; the surface calls it only when it needs
    // the full picture (a snapshot, a view `shown` was not made for).
    std::function<QImage()> makeFull;
    QImage shown; // Format_RGB32, or null: the part `zoom` scaled to fit `area`
    QSize area;   // the surface's size in device pixels that `shown` was made for
    QRectF zoom{0, 0, 1, 1}; // the visible part in picture fractions
};
Q_DECLARE_METATYPE(CanvasPicture)
