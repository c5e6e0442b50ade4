#include "controls/QvMemDC.h"

#include <QPaintDevice>

namespace {

QRect targetRect(QPainter& target, const QRect& rect)
{
    if (!rect.isEmpty()) {
        return rect;
    }
    if (target.hasClipping()) {
        return target.clipBoundingRect().toAlignedRect();
    }
    return target.window();
}

}  // namespace

CQvMemDC::CQvMemDC(QPainter& target, const QRect& rect) : m_target(target), m_rect(targetRect(target, rect))
{
    const qreal ratio = target.device() != nullptr ? target.device()->devicePixelRatioF() : 1.0;
    const QSize pixels = (QSizeF(m_rect.size()) * ratio).toSize().expandedTo(QSize(1, 1));
    m_image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    m_image.setDevicePixelRatio(ratio);
    m_image.fill(target.background().color());
    begin(&m_image);
    setRenderHints(target.renderHints());
    setFont(target.font());
    setPen(target.pen());
    setBackground(target.background());
    // Callers draw in the target's coordinates.
    translate(-m_rect.topLeft());
}

CQvMemDC::~CQvMemDC()
{
    end();
    m_target.drawImage(m_rect.topLeft(), m_image);
}
