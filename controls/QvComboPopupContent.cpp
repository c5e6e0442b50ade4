#include "controls/QvComboPopupContent.h"

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include "controls/QtConvert.h"
#include "controls/QvComboPopWnd.h"
#include "controls/QvMemDC.h"
#include "controls/QvResMngr.h"
#include "foundation/QvLogMng.h"

namespace {

constexpr int kColorBackground = 70;
constexpr int kColorText = 71;
constexpr int kColorHot = 73;
constexpr int kColorHeadingText = 76;
constexpr int kColorHeading = 77;
constexpr int kColorSelected = 78;

constexpr int kRowInset = 2;       // a row spans the width less this on each side
constexpr int kHeadingIndent = 4;  // headings start nearer the edge than their entries
constexpr int kEntryIndent = 10;
constexpr qreal kRowRadius = 3.0;  // softened corners of highlighted rows
constexpr int kNormalWeight = 400;

QvString jsonString(const rapidjson::Value& object, const char* name)
{
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) {
        return QvString(u"");
    }
    return QvString::fromUtf8(std::string_view(member->value.GetString(), member->value.GetStringLength()));
}

int jsonInt(const rapidjson::Value& object, const char* name)
{
    const auto member = object.FindMember(name);
    return member != object.MemberEnd() && member->value.IsInt() ? member->value.GetInt() : 0;
}

bool jsonBool(const rapidjson::Value& object, const char* name)
{
    const auto member = object.FindMember(name);
    return member != object.MemberEnd() && member->value.IsBool() && member->value.GetBool();
}

const char16_t* boolText(bool value)
{
    return value ? u"true" : u"false";
}

}  // namespace

CQvComboPopupContent::CQvComboPopupContent(CQvComboPopWnd* popup) : QWidget(popup), m_popup(popup)
{
    setObjectName(QStringLiteral("QvComboPopupContent"));
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CQvComboPopupContent::~CQvComboPopupContent() = default;

bool CQvComboPopupContent::fillList(const std::string& listJson, const std::string& selJson)
{
    m_rows.clear();
    m_hotRow = -1;
    m_pressedRow = -1;
    m_selGroup = QvString(u"");
    m_selIndex = -1;
    CQvLogMng* log = CQvLogMng::getInstance();

    rapidjson::Document list;
    list.Parse(listJson.data(), listJson.size());
    const bool listRead = !list.HasParseError() && list.IsArray();
    if (listRead) {
        int flatIndex = 0;
        for (const auto& item : list.GetArray()) {
            if (!item.IsObject()) {
                continue;
            }
            Row row;
            row.type = jsonInt(item, "type");
            row.disp = jsonString(item, "disp");
            row.value = jsonString(item, "value");
            if (row.type != 1) {
                row.indexInGroup = flatIndex++;
                row.selected = jsonBool(item, "select");
                log->writeDebug(u"value:[%d][%s][%s][%s]", row.indexInGroup, row.disp, row.value,
                                boolText(row.selected));
                m_rows.push_back(row);
                continue;
            }
            const QvString group = row.value;
            m_rows.push_back(row);
            const auto entries = item.FindMember("list");
            if (entries == item.MemberEnd() || !entries->value.IsArray()) {
                continue;
            }
            int index = 0;
            for (const auto& child : entries->value.GetArray()) {
                if (!child.IsObject()) {
                    continue;
                }
                Row entry;
                entry.disp = jsonString(child, "disp");
                entry.value = jsonString(child, "value");
                entry.group = group;
                entry.indexInGroup = index++;
                entry.selected = jsonBool(child, "select");
                log->writeDebug(u"value(%s):[%d][%s][%s][%s]", group, entry.indexInGroup, entry.disp, entry.value,
                                boolText(entry.selected));
                m_rows.push_back(entry);
            }
        }
    }

    rapidjson::Document selection;
    selection.Parse(selJson.data(), selJson.size());
    const bool selectionRead = !selection.HasParseError() && selection.IsObject();
    if (selectionRead) {
        const rapidjson::Value* group = rapidjson::Pointer("/selgrp").Get(selection);
        const rapidjson::Value* index = rapidjson::Pointer("/selidx").Get(selection);
        if (group != nullptr && group->IsString()) {
            m_selGroup = QvString::fromUtf8(std::string_view(group->GetString(), group->GetStringLength()));
        }
        if (index != nullptr && index->IsInt()) {
            m_selIndex = index->GetInt();
        }
    }
    setMinimumHeight(getRowCount() * kRowHeight);
    updateGeometry();
    update();
    return listRead && selectionRead;
}

int CQvComboPopupContent::getSelectedRow() const
{
    for (size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows[row].selected) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

QRect CQvComboPopupContent::getRowRect(int row) const
{
    if (row < 0 || row >= getRowCount()) {
        return QRect();
    }
    return QRect(kRowInset, row * kRowHeight, width() - 2 * kRowInset, kRowHeight);
}

bool CQvComboPopupContent::isHeadingRow(int row) const
{
    return row >= 0 && row < getRowCount() && m_rows[static_cast<size_t>(row)].type == 1;
}

QSize CQvComboPopupContent::sizeHint() const
{
    return QSize(width(), getRowCount() * kRowHeight);
}

int CQvComboPopupContent::rowAt(const QPoint& point) const
{
    if (point.y() < 0 || point.x() < 0 || point.x() >= width()) {
        return -1;
    }
    const int row = point.y() / kRowHeight;
    return row < getRowCount() ? row : -1;
}

void CQvComboPopupContent::setHotRow(int row)
{
    if (row == m_hotRow) {
        return;
    }
    update(getRowRect(m_hotRow));
    m_hotRow = row;
    update(getRowRect(m_hotRow));
}

void CQvComboPopupContent::paintEvent(QPaintEvent* event)
{
    QvResMngr* resources = QvResMngr::getInstance();
    QPainter target(this);
    CQvMemDC dc(target, event->rect());
    dc.fillRect(event->rect(), resources->getColor(kColorBackground));
    dc.setRenderHint(QPainter::Antialiasing);
    QvResMngr::ScopedFont font(dc, kNormalWeight);
    const QColor textColor = resources->getColor(kColorText);
    const QColor headingTextColor = resources->getColor(kColorHeadingText);

    const int first = std::max(0, event->rect().top() / kRowHeight);
    const int last = std::min(getRowCount() - 1, event->rect().bottom() / kRowHeight);
    for (int row = first; row <= last; ++row) {
        const Row& item = m_rows[static_cast<size_t>(row)];
        const QRect rc = getRowRect(row);
        const bool heading = item.type == 1;
        const bool hot = row == m_hotRow || row == m_pressedRow;
        QColor fill;
        if (heading) {
            fill = resources->getColor(kColorHeading);
        } else if (hot) {
            fill = resources->getColor(kColorHot);
        } else if (item.selected) {
            fill = resources->getColor(kColorSelected);
        }
        if (fill.isValid()) {
            QPainterPath shape;
            shape.addRoundedRect(QRectF(rc), heading ? 0.0 : kRowRadius, heading ? 0.0 : kRowRadius);
            dc.fillPath(shape, fill);
        }
        const QRect textRect = rc.adjusted(heading ? kHeadingIndent : kEntryIndent, 0, -kHeadingIndent, 0);
        const QString text = dc.fontMetrics().elidedText(toQString(item.disp), Qt::ElideRight, textRect.width());
        dc.setPen(heading ? headingTextColor : textColor);
        dc.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
        CQvLogMng::getInstance()->writeDebug(u"Paint[%d][%s][select=%s]", row, item.disp, boolText(item.selected));
    }
}

void CQvComboPopupContent::mouseMoveEvent(QMouseEvent* event)
{
    const int row = rowAt(event->position().toPoint());
    if (row != m_hotRow) {
        const QRect rc = getRowRect(row);
        CQvLogMng::getInstance()->writeDebug(u"MouseMove[%d] rcDisp[%d,%d,%d,%d]", row, rc.left(), rc.top(),
                                             rc.right() + 1, rc.bottom() + 1);
    }
    setHotRow(row);
    QWidget::mouseMoveEvent(event);
}

void CQvComboPopupContent::leaveEvent(QEvent* event)
{
    setHotRow(-1);
    QWidget::leaveEvent(event);
}

void CQvComboPopupContent::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_pressedRow = rowAt(event->position().toPoint());
        update(getRowRect(m_pressedRow));
    }
    QWidget::mousePressEvent(event);
}

void CQvComboPopupContent::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    const int row = rowAt(event->position().toPoint());
    const int pressed = m_pressedRow;
    m_pressedRow = -1;
    update(getRowRect(pressed));
    if (row != pressed || !chooseRow(row)) {
        QWidget::mouseReleaseEvent(event);
    }
}

bool CQvComboPopupContent::chooseRow(int row)
{
    if (row < 0 || row >= getRowCount() || isHeadingRow(row)) {
        return false;
    }
    const Row& item = m_rows[static_cast<size_t>(row)];
    CQvLogMng::getInstance()->writeDebug(u"Click[%d][%s]", row, item.disp);
    m_selGroup = item.group;
    m_selIndex = item.indexInGroup;
    for (Row& other : m_rows) {
        other.selected = false;
    }
    m_rows[static_cast<size_t>(row)].selected = true;
    // Hiding reports the selection to the combo box.
    m_popup->hide();
    return true;
}

int CQvComboPopupContent::moveHotRow(int step)
{
    int row = m_hotRow >= 0 ? m_hotRow : getSelectedRow();
    const int direction = step < 0 ? -1 : 1;
    for (int next = row + direction; next >= 0 && next < getRowCount(); next += direction) {
        if (!isHeadingRow(next)) {
            row = next;
            break;
        }
    }
    if (row < 0 || isHeadingRow(row)) {
        return -1;
    }
    setHotRow(row);
    return row;
}

bool CQvComboPopupContent::chooseHotRow()
{
    return chooseRow(m_hotRow);
}
