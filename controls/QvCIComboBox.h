#pragma once

#include <QRect>
#include <cstdint>
#include <memory>
#include <string>

#include "controls/IQvComboPopupWndDelegate.h"
#include "controls/IQvComplexInput.h"
#include "controls/QvCIComboListItem.h"
#include "foundation/QvArray.h"
#include "foundation/QvMap.h"
#include "foundation/QvString.h"

class CQvComboPopWnd;
class QImage;

// The grouped drop-down selector. It lives inside a QvComplexInput host, paints into it and is
// driven by text commands (sendCommand); fields of a command's argument are joined by "`":
//   "focus"     "true" | other           hot, or normal unless the popup is open        -> ""
//   "additem"   value`display`group       adds an entry under its group's heading         -> "true"/"false"
//   "delitem"   value`group               removes the group's first entry of that value   -> "true"/"false"
//   "mouselbtn" "down" | other            press; a release after a press opens/closes     -> ""
//   "select"    group`index | ""          selects (index fallback 0; "" = first key)      -> ""
//   "cursel"    "value" | "disp"          the current selection's value or display text  -> text or ""
//   "clear"     -                         removes every group and entry                   -> ""
// Any other command answers "". A popup choice reaches the host as QvComplexInput::inputChanged.
// User-interface thread only; works without a host (nothing is painted or opened then).
class QvCIComboBox : public IQvComplexInput, private IQvComboPopupWndDelegate {
public:
    static constexpr int kListFlat = 0;
    static constexpr int kListGrouped = 1;
    static constexpr uint16_t kMouseNormal = 0;
    static constexpr uint16_t kMouseHot = 1;
    static constexpr uint16_t kMousePressed = 2;

    QvCIComboBox();
    ~QvCIComboBox() override;
    QvCIComboBox(const QvCIComboBox&) = delete;
    QvCIComboBox& operator=(const QvCIComboBox&) = delete;

    bool create(QvComplexInput* host, const QRect& rcClient) override;
    void draw(QPainter& dc, const QRect& rcClient) override;
    QvString sendCommand(const QvString& command, const QvString& argument, int flags) override;

    // When the selection names no entry (a group heading, or a group or index that is not there),
    // selects the first entry of the first group, or nothing at all when there is none, so the
    // closed box never shows a heading or a name that is gone. The owner calls it after filling.
    void ensureEntrySelected();

    uint16_t getMouseState() const { return m_mouseState; }
    bool isOpen() const { return m_isOpen; }
    QvString getDisplayText() const { return m_displayText; }
    int getCurrentIndex() const { return m_curIndex; }
    QvString getCurrentGroup() const { return m_curGroup; }
    const QvMap<QvString, QvArray<QvCIComboListItem>>& getEntries() const { return m_entries; }
    // The popup, once it was opened for the first time; null before.
    CQvComboPopWnd* getPopup() const { return m_popup.get(); }
    // The receiver of the popup's reports.
    IQvComboPopupWndDelegate* getPopupDelegate() { return this; }

    // The documents handed to the popup: the list (JSON array of headings with their entries) and
    // the present selection {"selgrp", "selidx"}; UTF-8.
    std::string makeListJson() const;
    std::string makeSelectionJson() const;

private:
    void onPopupSelected(int index, const std::string& json) override;

    bool addItem(const QvString& argument);
    bool deleteItem(const QvString& argument);
    void select(const QvString& argument);
    QvString currentSelection(const QvString& argument) const;
    void onMouseButton(const QvString& argument);
    void showPopup(bool show);
    // The current entry when the current group and index name one; null otherwise.
    QvCIComboListItem* currentItem();
    const QvCIComboListItem* currentItem() const;
    void clearCurrentFlag();
    void invalidate();

    QvComplexInput* m_host = nullptr;
    QRect m_rcClient;
    QRect m_rcText;
    QRect m_rcArrow;
    const QImage* m_arrowImage = nullptr;
    const QImage* m_arrowImage2x = nullptr;
    QvString m_displayText;
    int m_listKind = kListGrouped;
    int m_visible = 1;
    uint16_t m_mouseState = kMouseNormal;
    bool m_isOpen = false;
    int m_curIndex = -1;
    QvString m_curGroup;
    std::unique_ptr<CQvComboPopWnd> m_popup;
    QvString m_resultText;
    QvMap<QvString, QvArray<QvCIComboListItem>> m_entries;
};
