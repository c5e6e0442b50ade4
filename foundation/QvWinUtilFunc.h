#pragma once

#include <cstdint>

#include "foundation/QvString.h"

// A rectangle in screen coordinates: left and top inside, right and bottom the far edges.
struct QvRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// System utilities: starting programs, the default program for a file type, the product version
// and the screens' work areas. Stateless singleton; created on the user-interface thread at start-up.
class CQvWinUtilFunc {
public:
    static constexpr int kShowNormal = 1;  // the show command callers pass; no window to show here

    static CQvWinUtilFunc* getInstance();
    static void releaseInstance();

    virtual ~CQvWinUtilFunc();
    CQvWinUtilFunc(const CQvWinUtilFunc&) = delete;
    CQvWinUtilFunc& operator=(const CQvWinUtilFunc&) = delete;

    // Starts commandLine (split like a shell would) without waiting; true when the process was
    // created. Null or empty lines give false at once.
    bool executeCommandLine(const char16_t* commandLine, int showCommand) const;
    // Writes the executable registered to open files of extension (".html") into buffer;
    // length is the buffer size in characters on entry and the characters used (terminator
    // included) on return, or the size needed when the buffer is too small. True when a
    // non-empty path was written.
    bool assocQueryString(const char16_t* extension, char16_t* buffer, uint32_t* length) const;
    // "%d.%d.%d.%d" of the running program's version, or the empty text when unknown.
    QvString getProductVersion() const;
    // True when rect lies wholly inside the work area of the screen nearest its top-left corner.
    bool isRectOnMonitorWorkArea(QvRect rect) const;

private:
    CQvWinUtilFunc() = default;
};
