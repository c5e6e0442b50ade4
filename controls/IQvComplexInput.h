#pragma once

#include "foundation/QvString.h"

class QPainter;
class QRect;
class QvComplexInput;

// A pluggable input living inside a QvComplexInput host: it paints into the host and is driven by
// text commands. The host owns it. User-interface thread only.
class IQvComplexInput {
public:
    virtual ~IQvComplexInput() = default;

    // Attaches the input to its host and lays it out in the host's client rectangle. Returns false
    // (no caller acts on the result).
    virtual bool create(QvComplexInput* host, const QRect& rcClient) = 0;
    // Called before the host lets go of the input; nothing to do by default.
    virtual void release() {}
    // Paints the input into the host's client rectangle.
    virtual void draw(QPainter& dc, const QRect& rcClient) = 0;
    // The command protocol; unknown commands answer "".
    virtual QvString sendCommand(const QvString& command, const QvString& argument, int flags) = 0;
};
