#include "controls/QvComboPopWnd.h"

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "controls/IQvComboPopupWndDelegate.h"
#include "controls/QvComboPopupContent.h"
#include "controls/QvResMngr.h"
#include "foundation/QvLogMng.h"

namespace {

constexpr int kColorBackground = 70;
constexpr int kColorText = 71;
constexpr int kColorFrame = 75;
constexpr int kColorHandleHot = 76;
constexpr int kFrameWidth = 1;

}  // namespace

CQvComboPopWnd::CQvComboPopWnd(QWidget* owner, IQvComboPopupWndDelegate* delegate)
    : QWidget(owner, Qt::Popup | Qt::FramelessWindowHint),
      m_owner(owner),
      m_delegate(delegate),
      m_scrollArea(new QScrollArea(this)),
      m_content(new CQvComboPopupContent(this))
{
    setObjectName(QStringLiteral("QvComboPopupWindowList"));
    resize(10, 10);
    QvResMngr* resources = QvResMngr::getInstance();
    QPalette colors = palette();
    colors.setColor(QPalette::Window, resources->getColor(kColorBackground));
    colors.setColor(QPalette::Base, resources->getColor(kColorBackground));
    colors.setColor(QPalette::WindowText, resources->getColor(kColorText));
    setPalette(colors);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kFrameWidth, kFrameWidth, kFrameWidth, kFrameWidth);
    layout->setSpacing(0);
    layout->addWidget(m_scrollArea);
    m_scrollArea->setFrameShape(QFrame::NoFrame);
    m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scrollArea->setWidgetResizable(true);
    m_scrollArea->setWidget(m_content);
    m_scrollArea->setFocusPolicy(Qt::NoFocus);
    QScrollBar* bar = m_scrollArea->verticalScrollBar();
    bar->setSingleStep(CQvComboPopupContent::kRowHeight);
    // A slim bar in the list's own colours, the same under every desktop style.
    bar->setStyleSheet(QStringLiteral("QScrollBar:vertical { background: %1; width: 10px; margin: 2px 2px 2px 0; }"
                                      "QScrollBar::handle:vertical { background: %2; border-radius: 3px;"
                                      " min-height: 24px; }"
                                      "QScrollBar::handle:vertical:hover { background: %3; }"
                                      "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                                      "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {"
                                      " background: none; }")
                           .arg(resources->getColor(kColorBackground).name(), resources->getColor(kColorFrame).name(),
                                resources->getColor(kColorHandleHot).name()));
    connect(bar, &QScrollBar::valueChanged, this, [this](int position) {
        CQvLogMng::getInstance()->writeDebug(u"OnVScroll nYInc:%d, m_nVertSBPos:%d", position - m_vertSBPos, position);
        m_vertSBPos = position;
    });
}

CQvComboPopWnd::~CQvComboPopWnd()
{
    // Destruction is no user's choice: nothing is reported.
    m_reportOnHide = false;
    m_delegate = nullptr;
}

QScrollBar* CQvComboPopWnd::getVerticalScrollBar() const
{
    return m_scrollArea->verticalScrollBar();
}

void CQvComboPopWnd::showPopup(bool show, const QRect& rcHost, const std::string& listJson, const std::string& selJson)
{
    m_reportOnHide = false;
    hide();
    if (!show) {
        return;
    }
    m_content->fillList(listJson, selJson);
    const int rows = m_content->getRowCount();
    const int visibleRows = std::clamp(rows, 1, kMaxVisibleRows);
    const int height = visibleRows * CQvComboPopupContent::kRowHeight + 2 * kFrameWidth;
    // The popup's top frame line covers the box's bottom one, so the two read as one control.
    QRect place(rcHost.x(), rcHost.y() + rcHost.height() - kFrameWidth, rcHost.width(), height);
    QScreen* screen = QGuiApplication::screenAt(rcHost.center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen != nullptr) {
        const QRect available = screen->availableGeometry();
        if (place.bottom() > available.bottom() && rcHost.y() - height >= available.top()) {
            place.moveBottom(rcHost.y() - 1 + kFrameWidth);
        }
    }
    CQvLogMng::getInstance()->writeDebug(u"rcDisp[%d, %d, %d, %d]", place.x(), place.y(), place.width(),
                                         place.height());
    setGeometry(place);
    m_content->setMinimumHeight(rows * CQvComboPopupContent::kRowHeight);
    m_reportOnHide = true;
    setAttribute(Qt::WA_NoMouseReplay, false);
    QWidget::show();
    // The present choice is in view when the list opens.
    const QRect selected = m_content->getRowRect(m_content->getSelectedRow());
    if (selected.isValid()) {
        m_scrollArea->ensureVisible(selected.center().x(), selected.center().y(), 0, CQvComboPopupContent::kRowHeight);
    } else {
        m_scrollArea->verticalScrollBar()->setValue(0);
    }
    CQvLogMng::getInstance()->writeDebug(u"CQvPopWndLst::OnSetFocus");
}

void CQvComboPopWnd::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QvResMngr::getInstance()->getColor(kColorFrame));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void CQvComboPopWnd::mousePressEvent(QMouseEvent* event)
{
    // A press on the box that opened the list only closes it: it must not reach the box again
    // and reopen the list.
    if (!rect().contains(event->position().toPoint()) && m_owner != nullptr &&
        m_owner->rect().contains(m_owner->mapFromGlobal(event->globalPosition().toPoint()))) {
        setAttribute(Qt::WA_NoMouseReplay);
    }
    QWidget::mousePressEvent(event);
}

void CQvComboPopWnd::keyPressEvent(QKeyEvent* event)
{
    int row = -1;
    switch (event->key()) {
        case Qt::Key_Up:
            row = m_content->moveHotRow(-1);
            break;
        case Qt::Key_Down:
            row = m_content->moveHotRow(1);
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            m_content->chooseHotRow();
            return;
        default:
            // Esc closes the popup here; it reports the selection it had.
            QWidget::keyPressEvent(event);
            return;
    }
    const QRect rc = m_content->getRowRect(row);
    if (rc.isValid()) {
        m_scrollArea->ensureVisible(rc.center().x(), rc.center().y(), 0, CQvComboPopupContent::kRowHeight / 2);
    }
}

void CQvComboPopWnd::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (m_reportOnHide) {
        m_reportOnHide = false;
        CQvLogMng::getInstance()->writeDebug(u"CQvPopWndLst::OnKillFocus");
        reportSelection();
    }
}

void CQvComboPopWnd::reportSelection()
{
    if (m_delegate == nullptr) {
        return;
    }
    const QvString group = m_content->getSelectedGroup();
    const int index = m_content->getSelectedIndex();
    if (group.isEmpty()) {
        m_delegate->onPopupSelected(index, std::string());
        return;
    }
    rapidjson::Document report(rapidjson::kObjectType);
    const std::string groupUtf8 = group.toUtf8();
    rapidjson::Pointer("/selgrp").Set(report, rapidjson::StringRef(groupUtf8.data(), groupUtf8.size()));
    rapidjson::Pointer("/selidx").Set(report, index);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    report.Accept(writer);
    m_delegate->onPopupSelected(index, std::string(buffer.GetString(), buffer.GetSize()));
}
