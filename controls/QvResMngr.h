#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPoint>
#include <memory>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"

class QFileIconProvider;
class QPainter;

// The process-wide resource manager of the custom controls: the colour table, cached images and
// the desktop's file icons. Created on first use, deleted (freeing the cached images) by
// releaseInstance or when the service context ends. User-interface thread only.
class QvResMngr {
public:
    static QvResMngr* getInstance();
    static void releaseInstance();

    virtual ~QvResMngr();
    QvResMngr(const QvResMngr&) = delete;
    QvResMngr& operator=(const QvResMngr&) = delete;

    // Reads the colour table (UTF-8 JSON: {"list": [{"key": 20, "rgb": "R:G:B"}, ...]}). A file that
    // cannot be read, or does not parse, gives false and keeps the present colours; otherwise the
    // table is replaced. Of each number only the low eight bits count; an "rgb" with fewer than
    // three fields is skipped.
    bool loadColorTable(const QvString& path);
    // The colour of key; black for a key the table does not hold.
    QColor getColor(int key) const;

    // The drop-down arrow "DirDown.png" from res/img beside the executable, loaded once and cached;
    // null when it cannot be loaded (nothing is cached then). With a device pixel ratio above 1 the
    // "DirDown@2x.png" variant is preferred when it exists; its logical size equals the plain one.
    const QImage* getArrowImage(qreal devicePixelRatio = 1.0);
    // Any image by full path, cached like the arrow; null when it cannot be loaded.
    const QImage* getImage(const QvString& path);

    // Attaches the desktop's icon theme (through Qt) as the file-icon source and empties the icon
    // cache. False, with the trace "Error Gettting SystemFileInfo!", when no widget application runs.
    bool loadSystemImageList();
    // The small icon the desktop shows for a file of that name (by its type); a null icon before
    // loadSystemImageList succeeded.
    QIcon getFileIcon(const QvString& fileName);

    // Draws the whole image unscaled (in logical pixels) with its alpha channel at point.
    static void drawAlphaImage(QPainter& painter, const QPoint& point, const QImage& image);

    // The dialog font at 9 points with a weight (400 normal, 700 bold), selected into a painter for
    // the lifetime of the object and the previous font restored after.
    class ScopedFont {
    public:
        ScopedFont(QPainter& painter, int weight);
        ~ScopedFont();
        ScopedFont(const ScopedFont&) = delete;
        ScopedFont& operator=(const ScopedFont&) = delete;

        static QFont makeFont(int weight);

    private:
        QPainter& m_painter;
        QFont m_previous;
    };

private:
    QvResMngr();

    QvMap<int, QRgb> m_colors;
    QvMap<QvString, QImage*> m_images;
    std::unique_ptr<QFileIconProvider> m_iconProvider;
    QvMap<QvString, QIcon> m_icons;
};
