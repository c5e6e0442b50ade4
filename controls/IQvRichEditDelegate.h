#pragma once

// Mouse callbacks of a CQvRichEditWrapper in display mode, each with the id the owner gave the
// wrapper. Called on the user-interface thread.
class IQvRichEditDelegate {
public:
    virtual ~IQvRichEditDelegate() = default;

    virtual void onRichEditLButtonDown(int id) = 0;
    virtual void onRichEditLButtonUp(int id) = 0;
    // A press and a release inside the control, after onRichEditLButtonUp.
    virtual void onRichEditClick(int id) = 0;
    virtual void onRichEditDblClick(int id) = 0;
};
