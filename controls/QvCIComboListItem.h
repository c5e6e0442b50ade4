#pragma once

#include <utility>

#include "foundation/QvString.h"

// One row of the grouped combo box: an entry (type 0) or a group heading (type 1).
class QvCIComboListItem {
public:
    static constexpr int kTypeEntry = 0;
    static constexpr int kTypeHeading = 1;

    QvCIComboListItem() = default;
    QvCIComboListItem(int type, QvString disp, QvString value, bool selected)
        : m_type(type), m_disp(std::move(disp)), m_value(std::move(value)), m_selected(selected)
    {
    }
    QvCIComboListItem(const QvCIComboListItem&) = default;
    QvCIComboListItem& operator=(const QvCIComboListItem&) = default;
    virtual ~QvCIComboListItem() = default;

    int m_type = kTypeEntry;
    QvString m_disp;   // the text painted
    QvString m_value;  // the text "cursel" "value" answers
    bool m_selected = false;
};
