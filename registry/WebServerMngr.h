#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"
#include "registry/DefinitionCodec.h"

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
    NameTaken,  // the (new) name, or one that differs only in letter case, is stored already: nothing changed
    Unknown,    // the server to modify or delete is not stored (any more)
    NotStored,  // session.ini could not be read: nothing was decided
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
    // False when the stored text could not be set in session.ini's user layer.
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
    // fresh record with the registered definition copied onto it (null for an unknown name) and
    // remembers that copy as the edit's base; a create starts from a fresh record of its own.
    // finishEdit takes the record back in every case and decides against session.ini as it is on
    // disk, under its lock: an add or rename onto a stored name (or a letter-case variant) is
    // NameTaken before anything is deleted, a server gone is Unknown, and a modify applies only the
    // fields that differ from the base, to the definition as stored now.
    std::unique_ptr<_tag_WebServerInfo> beginEdit(const QvString& name);
    ServerEditResult finishEdit(const QvString& registeredName, std::unique_ptr<_tag_WebServerInfo> edited,
                                ServerEditAction action);
    // Makes the stored definition the base of the edit of name, so that finishEdit writes every
    // field of the edited record (the user chose to overwrite another process's change).
    void rebaseEdit(const QvString& name);
    // True when the stored definition of name (read again from disk) is gone or differs from the
    // base beginEdit handed out.
    bool changedSinceEdit(const QvString& name);

    // Reads session.ini again and brings the view in line with it (syncWithStored). False when the
    // file could not be read; the view is then kept.
    bool reloadFromDisk();
    // The same under session.ini's lock (reloadFromDisk when the lock cannot be had).
    bool reloadUnderLock();
    // Brings the view in line with the definitions session.ini's layers hold: stored names not
    // registered are registered, registered ones take the stored fields, and servers no longer
    // stored are stopped and dropped. Stores nothing. True when anything changed.
    bool syncWithStored();
    // The registered name other than except that equals name without regard to letter case; a
    // null string when there is none.
    QvString takenName(const QvString& name, const QvString& except = QvString()) const;

    // The separator of every joined text of the registry (list lines, last-used marker).
    static constexpr char16_t kSeparator = u'`';

private:
    struct StoredEntry {
        size_t hash = 0;  // of the line as last read or written
        QvString name;    // the server the line registered; empty when it registered none
    };

    CQvWebServerMngr();
    bool savesDeferred() const { return m_loading || m_inTransaction; }
    ServerEditResult applyEdit(const QvString& registeredName, const _tag_WebServerInfo* base,
                               std::unique_ptr<_tag_WebServerInfo>& edited, ServerEditAction action, QvString& group);
    bool saveSessionFile();
    // Adds the groups not yet in GROUPLIST in one transaction on env.ini.
    void registerGroups(const QvStringArray& groups);
    void noteSaveFailure(int fileId);

    QvMap<QvString, CWebServer*> m_servers;
    bool m_loading = false;                 // loading saves session.ini and the groups once at the end
    bool m_inTransaction = false;           // finishEdit saves session.ini once, under its lock
    QvMap<QvString, StoredEntry> m_stored;  // session.ini key -> what its line was when this process saw it
    std::map<std::u16string, std::unique_ptr<_tag_WebServerInfo>> m_editBases;  // name -> beginEdit's copy
    QvString m_saveError;
    DefinitionCodec m_codec;  // writes the stored lines, each table's text once
};
