#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"

class CWebServer;
struct _tag_WebServerInfo;

// What the user decided in the edit dialog.
enum class ServerEditAction { Confirm, Delete, Cancel };

// What the registry made of it.
enum class ServerEditResult {
    Added,      // a new definition was registered
    Updated,    // the registered definition took over the edited fields
    Renamed,    // the old name was deleted and the edited copy registered under the new one
    Deleted,    // the server was stopped, unregistered and its stored entry removed
    Cancelled,  // nothing changed
    NameTaken,  // the (new) name is registered already: nothing changed
    Unknown,    // the server to modify or delete is not registered
};

// Every defined local web server, running or not, with its persistent form in session.ini
// ("WEBSVRLIST", "ETC") and the group list in env.ini ("GROUPLIST"). Created on first use,
// which loads the stored definitions; destruction stores them in the user layer.
// Used from one thread only (the user-interface thread, or the command line's main thread).
class CQvWebServerMngr {
public:
    static CQvWebServerMngr* getInstance();
    static void releaseInstance();

    virtual ~CQvWebServerMngr();
    CQvWebServerMngr(const CQvWebServerMngr&) = delete;
    CQvWebServerMngr& operator=(const CQvWebServerMngr&) = delete;

    // On true the registry owns definition; on false (name registered) the caller keeps it.
    bool addServer(_tag_WebServerInfo* definition);
    // Registers a new name, or stores the registered definition again.
    void addOrUpdateServer(_tag_WebServerInfo* definition);
    // Stops, unregisters and deletes the server and its stored entry; false for an unknown name.
    bool deleteServer(const QvString& name);
    _tag_WebServerInfo* getDefinition(const QvString& name);
    CWebServer* getServer(const QvString& name);
    int serverCount() const { return m_servers.size(); }
    // The registered names in the table's (case-sensitive) order.
    QvStringArray serverNames() const;

    bool loadServers();
    bool saveDefinition(const _tag_WebServerInfo& definition);
    void registerGroup(const _tag_WebServerInfo& definition);
    void setLastUsed(const _tag_WebServerInfo& definition);
    bool saveAll();

    // The first failure to read or store a settings file since the previous call ("<path>:
    // <reason>"), and forgets it; empty when everything was stored.
    QvString takeSaveError();

    // Run control. runServer is true when the server runs afterwards as far as its running
    // flag shows; stopServer is true for every registered name.
    bool runServer(const QvString& name);
    bool stopServer(const QvString& name);
    bool isRunning(const QvString& name);
    // One line per server in name order: group`name`port`Run|Stop ("Default" for an empty group).
    void listServers(QvStringArray& out);

    // The editing protocol shared by every window that edits servers. beginEdit hands out a
    // fresh record with the registered definition copied onto it (null for an unknown name);
    // a create starts from a fresh record of its own. finishEdit takes the record back in every
    // case. A rename onto a registered name is refused before anything is deleted.
    std::unique_ptr<_tag_WebServerInfo> beginEdit(const QvString& name);
    ServerEditResult finishEdit(const QvString& registeredName, std::unique_ptr<_tag_WebServerInfo> edited,
                                ServerEditAction action);

    // The separator of every joined text of the registry (list lines, last-used marker).
    static constexpr char16_t kSeparator = u'`';

private:
    CQvWebServerMngr();
    void saveSessionFile();
    // Adds the groups not yet in GROUPLIST in one transaction on env.ini.
    void registerGroups(const QvStringArray& groups);
    void noteSaveFailure(int fileId);

    // The stored text of a content-type table, from a few remembered ones.
    const std::string& tableTextOf(const QvMap<QvString, QvString>& table);

    QvMap<QvString, CWebServer*> m_servers;
    bool m_loading = false;  // loading saves session.ini and the groups once at the end
    QvString m_saveError;
    static constexpr size_t kTableTextsKept = 8;
    std::vector<std::pair<QvMap<QvString, QvString>, std::string>> m_tableTexts;
};
