#pragma once

#include <QDialog>

#include "controls/IQvRichEditDelegate.h"
#include "foundation/QvString.h"

class CQvServerHost;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class CQvRichEditWrapper;
struct _tag_WebServerInfo;

// The server edit dialog: fills in or changes one definition that the caller owns and hands in
// before DoModal. It never touches the registry; its result tells the caller what to do:
// IDOK (1) store, IDCANCEL (2) throw away, kResultDelete (3) delete the server.
class CDlgLocalWebServerGen : public QDialog, private IQvRichEditDelegate {
    Q_OBJECT
public:
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;
    static constexpr int kResultDelete = 3;

    // host gives the group list; it may be null (the group box then lists "None" alone).
    explicit CDlgLocalWebServerGen(CQvServerHost* host, QWidget* parent = nullptr);
    ~CDlgLocalWebServerGen() override;

    // Not owned; the dialog writes into it on Generate/Modify (and fills its content types in
    // create mode).
    void setDefinition(_tag_WebServerInfo* definition) { m_definition = definition; }
    // False: create mode ("Generate"); true: modify mode ("Modify", Delete shown).
    void setModify(bool modify) { m_modify = modify; }

    // Runs the dialog modally and returns one of the result codes above.
    int DoModal();

    // Closes the dialog with IDCANCEL when it is open (the tray window's close).
    void endIfOpen();
    // Fills the group list again from the host (another process added groups), keeping the text.
    void refreshGroups();

protected:
    void OnInitDialog();
    void OnOK();
    void reject() override;

private:
    void fillGroupBox();
    // True when the base html is a file below the base path, or the user keeps it after being told.
    bool confirmPage();
    void browseBasePath();
    void browseBaseHtml();

    // The content-type display reports clicks; the dialog has nothing to do with them.
    void onRichEditLButtonDown(int) override {}
    void onRichEditLButtonUp(int) override {}
    void onRichEditClick(int) override {}
    void onRichEditDblClick(int) override {}

    CQvServerHost* m_host;
    _tag_WebServerInfo* m_definition = nullptr;
    bool m_modify = false;
    QvString m_registeredName;  // the name being modified; empty for a create

    QLineEdit* m_name;
    QLineEdit* m_port;
    QComboBox* m_group;
    QLineEdit* m_basePath;
    QLineEdit* m_baseHtml;
    QPushButton* m_delete;
    QPushButton* m_ok;
    QPushButton* m_cancel;
    CQvRichEditWrapper* m_contentTypeFilter;  // a display of its own; never visible, takes no part in the result
};
