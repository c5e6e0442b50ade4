#pragma once

#include <QImage>
#include <QPainter>
#include <QRect>

// A painter over an off-screen image of one rectangle of a target painter: everything drawn
// through it lands on the target in one copy when the object is destroyed, so a paint never
// flickers. The image is filled with the target's background colour first and has the target's
// device pixel ratio. Lives for one paint.
class CQvMemDC : public QPainter {
public:
    // rect is in the target's logical coordinates; an empty rect means the target's whole window.
    explicit CQvMemDC(QPainter& target, const QRect& rect = QRect());
    ~CQvMemDC();
    CQvMemDC(const CQvMemDC&) = delete;
    CQvMemDC& operator=(const CQvMemDC&) = delete;

    const QRect& getRect() const { return m_rect; }

private:
    QPainter& m_target;
    QRect m_rect;
    QImage m_image;
};
