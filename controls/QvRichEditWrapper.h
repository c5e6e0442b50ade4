#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QWidget>

#include "foundation/QvString.h"

class CQvRichEditCtrl;
class IQvRichEditDelegate;

// A framed, read-only text display: a CQvRichEditCtrl inside margins and an optional frame
// (none, all four sides, or top and bottom), laid out as one centred line unless multi-line.
// The owner sets the delegate (not owned) and the id reported to it. User-interface thread only.
class CQvRichEditWrapper : public QWidget {
    Q_OBJECT

public:
    static constexpr int kFrameNone = 0;
    static constexpr int kFrameAll = 1;
    static constexpr int kFrameTopBottom = 2;

    // controlId: the wrapper's own id; the inner control gets controlId + 1000.
    explicit CQvRichEditWrapper(QWidget* parent = nullptr, int controlId = 0);
    ~CQvRichEditWrapper() override;

    // Stores the font (face cut to 31 characters, height in pixels) and background, measures a
    // sample text, lays out, and on the first call creates the inner control in display mode.
    void initDisplay(const QvString& fontFace, int fontHeight, const QColor& background);
    // Frame on the top and bottom sides, 1 pixel, near-white; re-lays out and repaints.
    void setFrame();
    void setFrameMode(int mode, const QColor& color, int width);
    void setMargins(int left, int top, int right, int bottom);
    void setMultiLine(bool multiLine);
    void setTextColor(const QColor& color);
    // With the marker on, "..." is drawn at the right edge when the text is wider than one line.
    void setOverflowMarker(bool on);
    void setText(const QvString& text);

    void setDelegate(IQvRichEditDelegate* delegate, int reportId)
    {
        m_delegate = delegate;
        m_reportId = reportId;
    }
    IQvRichEditDelegate* getDelegate() const { return m_delegate; }
    int getReportId() const { return m_reportId; }
    int getInnerId() const { return m_innerId; }
    CQvRichEditCtrl* getEdit() const { return m_edit; }
    QRect getInnerRect() const { return m_rcInner; }

    // For the inner control: the pressed flag between a press and its release.
    void setPressed(bool pressed) { m_pressed = pressed; }
    bool isPressed() const { return m_pressed; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void layoutInner();
    // Decides whether the marker shows and places the text control accordingly.
    void updateOverflow();
    int markerWidth() const;

    CQvRichEditCtrl* m_edit = nullptr;
    int m_innerId;
    QFont m_font;
    QColor m_bkColor = Qt::white;
    QColor m_textColor = Qt::black;
    QColor m_frameColor = QColor(250, 250, 250);
    QString m_fontFace;
    int m_fontHeight = 12;
    int m_sampleWidth = 0;
    int m_sampleHeight = 0;
    int m_marginLeft = 1;
    int m_marginTop = 1;
    int m_marginRight = 1;
    int m_marginBottom = 1;
    bool m_overflowOn = false;     // the owner asked for the marker
    bool m_overflowShown = false;  // the text is wider than the line
    QRect m_rcInner;
    int m_frameMode = kFrameNone;
    int m_frameWidth = 1;
    bool m_multiLine = false;
    IQvRichEditDelegate* m_delegate = nullptr;
    int m_reportId = -1;
    bool m_pressed = false;
};
