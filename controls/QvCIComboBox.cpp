#include "controls/QvCIComboBox.h"

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <QCursor>
#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>
#include <QPen>
#include <climits>

#include "controls/QtConvert.h"
#include "controls/QvComboPopWnd.h"
#include "controls/QvComplexInput.h"
#include "controls/QvResMngr.h"
#include "foundation/QvLogMng.h"
#include "foundation/QvStringArray.h"

namespace {

const char16_t kFieldSeparator[] = u"`";
const char16_t kGroupsKey[] = u"groups";
const char16_t kItemsKey[] = u"items";

// Colour keys of the closed box.
constexpr int kColorBoxFill = 20;
constexpr int kColorBoxFrame = 21;
constexpr int kColorBoxFillHot = 24;
constexpr int kColorText = 71;

constexpr int kTextInset = 4;  // keeps the bold text off the frame inside the text area
constexpr int kBoldWeight = 700;

// Decimal value of the leading digits after white space and a sign; 0 without digits.
int leadingInt(const QvString& text)
{
    const std::u16string_view view = text.view();
    size_t pos = 0;
    while (pos < view.size() && (view[pos] == u' ' || (view[pos] >= u'\t' && view[pos] <= u'\r'))) {
        ++pos;
    }
    bool negative = false;
    if (pos < view.size() && (view[pos] == u'+' || view[pos] == u'-')) {
        negative = view[pos] == u'-';
        ++pos;
    }
    long long value = 0;
    while (pos < view.size() && view[pos] >= u'0' && view[pos] <= u'9') {
        value = value * 10 + (view[pos] - u'0');
        if (value > INT_MAX) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
        ++pos;
    }
    value = negative ? -value : value;
    if (value > INT_MAX) {
        return INT_MAX;
    }
    return static_cast<int>(value < INT_MIN ? INT_MIN : value);
}

rapidjson::Value jsonText(const QvString& text, rapidjson::Document::AllocatorType& allocator)
{
    const std::string utf8 = text.toUtf8();
    return rapidjson::Value(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()), allocator);
}

std::string writeJson(const rapidjson::Value& value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

const char16_t* boolText(bool value)
{
    return value ? u"true" : u"false";
}

}  // namespace

QvCIComboBox::QvCIComboBox() : m_curGroup(kItemsKey) {}

QvCIComboBox::~QvCIComboBox() = default;

bool QvCIComboBox::create(QvComplexInput* host, const QRect& rcClient)
{
    m_host = host;
    m_rcClient = rcClient;
    const int right = rcClient.x() + rcClient.width();
    const int bottom = rcClient.y() + rcClient.height();
    m_rcText = QRect(QPoint(rcClient.x() + 2, rcClient.y() + 1), QPoint(right - 21 - 1, bottom - 1 - 1));
    m_rcArrow = QRect(QPoint(right - 21, rcClient.y() + 1), QPoint(right - 1 - 1, bottom - 1 - 1));
    QvResMngr* resources = QvResMngr::getInstance();
    m_arrowImage = resources->getArrowImage(1.0);
    m_arrowImage2x = resources->getArrowImage(2.0);
    return false;
}

void QvCIComboBox::draw(QPainter& dc, const QRect& rcClient)
{
    if (m_visible != 1) {
        return;
    }
    QvResMngr* resources = QvResMngr::getInstance();
    dc.fillRect(rcClient, resources->getColor(kColorBoxFrame));
    dc.fillRect(rcClient.adjusted(1, 1, -1, -1),
                resources->getColor(m_mouseState == kMouseNormal ? kColorBoxFill : kColorBoxFillHot));

    const qreal ratio = dc.device() != nullptr ? dc.device()->devicePixelRatioF() : 1.0;
    const QImage* arrow = ratio > 1.0 && m_arrowImage2x != nullptr ? m_arrowImage2x : m_arrowImage;
    if (arrow != nullptr) {
        const QSizeF size = arrow->deviceIndependentSize();
        const int top = m_rcArrow.y() + (m_rcArrow.height() - qRound(size.height())) / 2;
        QvResMngr::drawAlphaImage(dc, QPoint(m_rcArrow.x(), top), *arrow);
    }

    QvResMngr::ScopedFont font(dc, kBoldWeight);
    const QRect textRect = m_rcText.adjusted(kTextInset, 0, -kTextInset, 0);
    // A text wider than the box ends in an ellipsis instead of being cut mid-letter.
    const QString text = dc.fontMetrics().elidedText(toQString(m_displayText), Qt::ElideRight, textRect.width());
    dc.setPen(resources->getColor(kColorText));
    dc.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    if (m_host != nullptr && m_host->hasFocus()) {
        // The keyboard focus: a dotted frame around the text, as the desktop's own boxes show it.
        dc.setPen(QPen(resources->getColor(kColorText), 1, Qt::DotLine));
        dc.setBrush(Qt::NoBrush);
        dc.drawRect(m_rcText.adjusted(1, 1, -2, -2));
    }
}

QvString QvCIComboBox::sendCommand(const QvString& command, const QvString& argument, int /*flags*/)
{
    if (command == u"focus") {
        if (argument == u"true") {
            m_mouseState = kMouseHot;
        } else if (!m_isOpen) {
            m_mouseState = kMouseNormal;
        }
    } else if (command == u"additem") {
        return QvString(addItem(argument) ? u"true" : u"false");
    } else if (command == u"delitem") {
        return QvString(deleteItem(argument) ? u"true" : u"false");
    } else if (command == u"mouselbtn") {
        onMouseButton(argument);
    } else if (command == u"select") {
        select(argument);
    } else if (command == u"cursel") {
        m_resultText = currentSelection(argument);
        return m_resultText;
    } else if (command == u"clear") {
        m_entries.clear();
    }
    return QvString(u"");
}

bool QvCIComboBox::addItem(const QvString& argument)
{
    QvStringArray fields;
    if (fields.split(argument, QvString(kFieldSeparator)) < 3) {
        return false;
    }
    const QvCIComboListItem entry(QvCIComboListItem::kTypeEntry, fields[1], fields[0], false);
    const QvString& group = fields[2];
    if (group.isEmpty() || m_listKind != kListGrouped) {
        m_entries[QvString(kItemsKey)].add(entry);
        return true;
    }
    QvArray<QvCIComboListItem>& headings = m_entries[QvString(kGroupsKey)];
    bool known = false;
    for (const QvCIComboListItem& heading : headings) {
        known = known || heading.m_value == group;
    }
    if (!known) {
        headings.add(QvCIComboListItem(QvCIComboListItem::kTypeHeading, group, group, false));
    }
    m_entries[group].add(entry);
    return true;
}

bool QvCIComboBox::deleteItem(const QvString& argument)
{
    QvStringArray fields;
    if (fields.split(argument, QvString(kFieldSeparator)) < 2) {
        return false;
    }
    QvArray<QvCIComboListItem>* entries = m_entries.find(fields[1].isEmpty() ? QvString(kItemsKey) : fields[1]);
    if (entries == nullptr) {
        return false;
    }
    for (int i = 0; i < entries->size(); ++i) {
        if ((*entries)[i].m_value == fields[0]) {
            entries->removeAt(i);
            return true;
        }
    }
    return false;
}

QvCIComboListItem* QvCIComboBox::currentItem()
{
    QvArray<QvCIComboListItem>* entries = m_entries.find(m_curGroup);
    if (entries == nullptr || m_curIndex < 0 || m_curIndex >= entries->size()) {
        return nullptr;
    }
    return &(*entries)[m_curIndex];
}

const QvCIComboListItem* QvCIComboBox::currentItem() const
{
    return const_cast<QvCIComboBox*>(this)->currentItem();
}

void QvCIComboBox::clearCurrentFlag()
{
    if (QvCIComboListItem* item = currentItem()) {
        item->m_selected = false;
    }
}

void QvCIComboBox::select(const QvString& argument)
{
    QvStringArray fields;
    const bool firstKey = argument.isEmpty();
    if (!firstKey && fields.split(argument, QvString(kFieldSeparator)) < 2) {
        return;
    }
    if (m_listKind == kListGrouped) {
        clearCurrentFlag();
    }
    if (firstKey) {
        if (m_entries.isEmpty()) {
            return;
        }
        auto first = m_entries.begin();
        m_curGroup = first->first;
        m_curIndex = 0;
        if (!first->second.isEmpty()) {
            first->second[0].m_selected = true;
            m_displayText = first->second[0].m_disp;
        }
        invalidate();
        return;
    }
    m_curGroup = fields[0];
    m_curIndex = leadingInt(fields[1]);
    if (QvArray<QvCIComboListItem>* entries = m_entries.find(m_curGroup)) {
        if (m_curIndex < 0 || m_curIndex >= entries->size()) {
            m_curIndex = 0;
        }
        if (!entries->isEmpty()) {
            (*entries)[m_curIndex].m_selected = true;
            m_displayText = (*entries)[m_curIndex].m_disp;
        }
    }
    invalidate();
}

void QvCIComboBox::ensureEntrySelected()
{
    const bool onHeading = m_listKind == kListGrouped && m_curGroup == QvString(kGroupsKey);
    if (!onHeading && currentItem() != nullptr) {
        return;
    }
    clearCurrentFlag();
    m_curGroup = QvString(kItemsKey);
    m_curIndex = -1;
    m_displayText = QvString(u"");
    QvArray<QvCIComboListItem>* first = nullptr;
    if (m_listKind != kListGrouped) {
        first = m_entries.find(QvString(kItemsKey));
    } else if (const QvArray<QvCIComboListItem>* headings = m_entries.find(QvString(kGroupsKey))) {
        for (int i = 0; i < headings->size() && (first == nullptr || first->isEmpty()); ++i) {
            m_curGroup = (*headings)[i].m_value;
            first = m_entries.find(m_curGroup);
        }
    }
    if (first != nullptr && !first->isEmpty()) {
        m_curIndex = 0;
        (*first)[0].m_selected = true;
        m_displayText = (*first)[0].m_disp;
    } else {
        m_curGroup = QvString(kItemsKey);
    }
    invalidate();
}

QvString QvCIComboBox::currentSelection(const QvString& argument) const
{
    const QvCIComboListItem* item = currentItem();
    if (item == nullptr) {
        return QvString(u"");
    }
    if (argument == u"value") {
        return item->m_value;
    }
    if (argument == u"disp") {
        return item->m_disp;
    }
    return QvString(u"");
}

void QvCIComboBox::onMouseButton(const QvString& argument)
{
    if (argument == u"down") {
        m_mouseState = kMousePressed;
        return;
    }
    if (m_mouseState != kMousePressed) {
        return;
    }
    m_isOpen = !m_isOpen;
    showPopup(m_isOpen);
}

void QvCIComboBox::showPopup(bool show)
{
    CQvLogMng::getInstance()->writeDebug(u"doShowSubDirLst [%s]", boolText(show));
    if (m_host == nullptr) {
        return;
    }
    if (!m_popup) {
        m_popup = std::make_unique<CQvComboPopWnd>(m_host, getPopupDelegate());
    }
    if (show) {
        const QRect rcHost(m_host->mapToGlobal(QPoint(0, 0)), m_host->size());
        m_popup->showPopup(true, rcHost, makeListJson(), makeSelectionJson());
    } else {
        m_popup->showPopup(false, QRect(), std::string(), std::string());
    }
}

std::string QvCIComboBox::makeListJson() const
{
    rapidjson::Document list(rapidjson::kArrayType);
    auto& allocator = list.GetAllocator();
    auto entryObject = [&allocator](const QvCIComboListItem& item) {
        rapidjson::Value object(rapidjson::kObjectType);
        object.AddMember("disp", jsonText(item.m_disp, allocator), allocator);
        object.AddMember("value", jsonText(item.m_value, allocator), allocator);
        object.AddMember("type", item.m_type, allocator);
        object.AddMember("select", item.m_selected, allocator);
        return object;
    };
    if (m_listKind == kListGrouped) {
        if (const QvArray<QvCIComboListItem>* headings = m_entries.find(QvString(kGroupsKey))) {
            for (const QvCIComboListItem& heading : *headings) {
                rapidjson::Value group(rapidjson::kObjectType);
                group.AddMember("disp", jsonText(heading.m_disp, allocator), allocator);
                group.AddMember("value", jsonText(heading.m_value, allocator), allocator);
                group.AddMember("type", QvCIComboListItem::kTypeHeading, allocator);
                rapidjson::Value entries(rapidjson::kArrayType);
                if (const QvArray<QvCIComboListItem>* items = m_entries.find(heading.m_value)) {
                    for (const QvCIComboListItem& item : *items) {
                        entries.PushBack(entryObject(item), allocator);
                    }
                }
                group.AddMember("list", entries, allocator);
                list.PushBack(group, allocator);
            }
        }
    } else if (const QvArray<QvCIComboListItem>* items = m_entries.find(QvString(kItemsKey))) {
        int index = 0;
        for (const QvCIComboListItem& item : *items) {
            CQvLogMng::getInstance()->writeDebug(u"[%d][%s][%s][%s]", index++, item.m_disp, item.m_value,
                                                 boolText(item.m_selected));
            list.PushBack(entryObject(item), allocator);
        }
    }
    return writeJson(list);
}

std::string QvCIComboBox::makeSelectionJson() const
{
    rapidjson::Document selection(rapidjson::kObjectType);
    const std::string group = m_curGroup.toUtf8();
    rapidjson::Pointer("/selgrp").Set(selection, rapidjson::StringRef(group.data(), group.size()));
    rapidjson::Pointer("/selidx").Set(selection, m_curIndex);
    return writeJson(selection);
}

void QvCIComboBox::onPopupSelected(int index, const std::string& json)
{
    m_isOpen = false;
    // The box stays lit only while the pointer is still over it (no leave reaches it meanwhile).
    if (m_host != nullptr && !m_host->rect().contains(m_host->mapFromGlobal(QCursor::pos()))) {
        m_mouseState = kMouseNormal;
    }
    const QvString before = m_curGroup;
    const int beforeIndex = m_curIndex;
    if (m_listKind != kListGrouped) {
        QvArray<QvCIComboListItem>* items = m_entries.find(QvString(kItemsKey));
        if (index >= 0 && items != nullptr && index < items->size()) {
            clearCurrentFlag();
            m_curGroup = QvString(kItemsKey);
            m_curIndex = index;
            (*items)[index].m_selected = true;
            m_displayText = (*items)[index].m_disp;
        }
    } else {
        rapidjson::Document document;
        document.Parse(json.data(), json.size());
        if (document.HasParseError() || !document.IsObject()) {
            CQvLogMng::getInstance()->writeDebug(u"Group Return Json Read Failed");
            invalidate();
            return;
        }
        const rapidjson::Value* group = rapidjson::Pointer("/selgrp").Get(document);
        const rapidjson::Value* chosen = rapidjson::Pointer("/selidx").Get(document);
        if (group != nullptr && group->IsString() && chosen != nullptr && chosen->IsInt() && chosen->GetInt() != -1) {
            const QvString groupName =
                QvString::fromUtf8(std::string_view(group->GetString(), group->GetStringLength()));
            QvArray<QvCIComboListItem>* entries = m_entries.find(groupName);
            const int position = chosen->GetInt();
            // A report naming no present entry (the list changed meanwhile) selects nothing.
            if (entries != nullptr && position >= 0 && position < entries->size()) {
                clearCurrentFlag();
                m_curGroup = groupName;
                m_curIndex = position;
                (*entries)[position].m_selected = true;
                m_displayText = (*entries)[position].m_disp;
            }
        }
    }
    invalidate();
    if (m_host != nullptr && (m_curGroup != before || m_curIndex != beforeIndex)) {
        m_host->notifyInputChanged();
    }
}

void QvCIComboBox::invalidate()
{
    if (m_host != nullptr) {
        m_host->update();
    }
}
