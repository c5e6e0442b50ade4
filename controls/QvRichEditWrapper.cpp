#include "controls/QvRichEditWrapper.h"

#include <QFontMetrics>
#include <QPainter>

#include "controls/QtConvert.h"
#include "controls/QvRichEditCtrl.h"

namespace {

constexpr int kInnerIdOffset = 1000;
constexpr int kMaxFaceChars = 31;  // a face name longer than this is cut
const QColor kDefaultFrameColor(250, 250, 250);
const QString kOverflowMarker = QStringLiteral("...");

}  // namespace

CQvRichEditWrapper::CQvRichEditWrapper(QWidget* parent, int controlId)
    : QWidget(parent), m_innerId(controlId + kInnerIdOffset)
{
    setObjectName(QStringLiteral("QvRichEditCtrlWrapper"));
}

CQvRichEditWrapper::~CQvRichEditWrapper() = default;

void CQvRichEditWrapper::initDisplay(const QvString& fontFace, int fontHeight, const QColor& background)
{
    m_fontFace = toQString(fontFace).left(kMaxFaceChars);
    m_fontHeight = fontHeight;
    m_bkColor = background;
    m_font = QFont(m_fontFace);
    m_font.setPixelSize(std::max(1, m_fontHeight));
    // Hangul sets the line height that every script must fit into.
    const QFontMetrics metrics(m_font);
    m_sampleWidth = metrics.horizontalAdvance(QStringLiteral("\uD55C\uAE00"));
    m_sampleHeight = metrics.height();
    layoutInner();
    if (m_edit == nullptr) {
        m_edit = new CQvRichEditCtrl(this);
        m_edit->setObjectName(QStringLiteral("QvRichEditCtrl%1").arg(m_innerId));
        m_edit->show();
        m_edit->setDisplayMode(true);
    }
    m_edit->setFont(m_font);
    QPalette colors = m_edit->palette();
    colors.setColor(QPalette::Base, m_bkColor);
    colors.setColor(QPalette::Text, m_textColor);
    m_edit->setPalette(colors);
    m_edit->setReadOnly(true);
    updateOverflow();
    update();
}

void CQvRichEditWrapper::setFrame()
{
    setFrameMode(kFrameTopBottom, kDefaultFrameColor, 1);
}

void CQvRichEditWrapper::setFrameMode(int mode, const QColor& color, int width)
{
    m_frameMode = mode;
    m_frameColor = color;
    m_frameWidth = width;
    layoutInner();
    update();
}

void CQvRichEditWrapper::setMargins(int left, int top, int right, int bottom)
{
    m_marginLeft = left;
    m_marginTop = top;
    m_marginRight = right;
    m_marginBottom = bottom;
    layoutInner();
    update();
}

void CQvRichEditWrapper::setMultiLine(bool multiLine)
{
    m_multiLine = multiLine;
    if (m_edit != nullptr) {
        m_edit->setLineWrapMode(multiLine ? QTextEdit::WidgetWidth : QTextEdit::NoWrap);
    }
    layoutInner();
    update();
}

void CQvRichEditWrapper::setTextColor(const QColor& color)
{
    m_textColor = color;
    if (m_edit != nullptr) {
        QPalette colors = m_edit->palette();
        colors.setColor(QPalette::Text, color);
        m_edit->setPalette(colors);
    }
    update();
}

void CQvRichEditWrapper::setOverflowMarker(bool on)
{
    m_overflowOn = on;
    updateOverflow();
    update();
}

void CQvRichEditWrapper::setText(const QvString& text)
{
    if (m_edit == nullptr) {
        return;
    }
    m_edit->setPlainText(toQString(text));
    updateOverflow();
    update();
}

void CQvRichEditWrapper::layoutInner()
{
    const bool allSides = m_frameMode == kFrameAll;
    const bool framed = m_frameMode != kFrameNone;
    const int side = allSides ? m_frameWidth : 0;
    const int topBottom = framed ? m_frameWidth : 0;
    QRect inner = rect().adjusted(side + m_marginLeft, topBottom + m_marginTop, -(side + m_marginRight),
                                  -(topBottom + m_marginBottom));
    if (!m_multiLine && m_sampleHeight > 0) {
        inner.setTop(inner.top() + (inner.height() - m_sampleHeight) / 2);
        inner.setHeight(m_sampleHeight);
    }
    m_rcInner = inner;
    updateOverflow();
}

void CQvRichEditWrapper::updateOverflow()
{
    m_overflowShown = false;
    if (m_edit != nullptr && m_overflowOn && !m_multiLine) {
        m_overflowShown = m_edit->document()->idealWidth() > m_rcInner.width();
    }
    if (m_edit != nullptr) {
        // The marker needs its own room at the right, or the text control would cover it.
        QRect place = m_rcInner;
        if (m_overflowShown) {
            place.setRight(place.right() - markerWidth());
        }
        m_edit->setGeometry(place);
    }
}

int CQvRichEditWrapper::markerWidth() const
{
    return QFontMetrics(m_font).horizontalAdvance(kOverflowMarker);
}

void CQvRichEditWrapper::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    QRect inner = rect();
    if (m_frameMode != kFrameNone) {
        painter.fillRect(rect(), m_frameColor);
        const int side = m_frameMode == kFrameAll ? m_frameWidth : 0;
        inner.adjust(side, m_frameWidth, -side, -m_frameWidth);
    }
    painter.fillRect(inner, m_bkColor);
    if (m_overflowOn && m_overflowShown) {
        painter.setFont(m_font);
        const int width = markerWidth();
        const QRect place(m_rcInner.right() + 1 - width, m_rcInner.top(), width, m_rcInner.height());
        painter.fillRect(place, m_bkColor);
        painter.setPen(m_textColor);
        painter.drawText(place, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine, kOverflowMarker);
    }
    if (m_edit != nullptr) {
        m_edit->viewport()->update();
    }
}

void CQvRichEditWrapper::resizeEvent(QResizeEvent* event)
{
    layoutInner();
    QWidget::resizeEvent(event);
}
