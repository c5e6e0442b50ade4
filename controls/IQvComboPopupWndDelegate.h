#pragma once

#include <string>

// How the popup list reports the user's choice back to its combo box. Called on the
// user-interface thread when the popup closes.
class IQvComboPopupWndDelegate {
public:
    virtual ~IQvComboPopupWndDelegate() = default;

    // index: the chosen index (within its group for a grouped list, -1 for none);
    // json: UTF-8 {"selgrp": group, "selidx": index} for a grouped list.
    virtual void onPopupSelected(int index, const std::string& json) = 0;
};
