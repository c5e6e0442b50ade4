#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"
#include "platform/FileLock.h"
#include "registry/DefinitionValidation.h"
#include "registry/WebServerMngr.h"

struct _tag_WebServerInfo;

// One defined server as a front shows it.
struct QvServerRecord {
    QvString group;  // the stored group name ("" or "None" for no group)
    QvString name;
    int32_t port = 0;
    QvString basepath;
    bool running = false;           // this process serves it
    bool runningElsewhere = false;  // another live process of the program serves it
    int32_t listeningPort = -1;     // while this process listens: the bound port (the system's choice for 0)
};

// The outcome of a run, stop or edit, with the words a front shows the user.
struct QvHostResult {
    enum class Code {
        Ok,
        UnknownServer,       // no server of that name
        Invalid,             // the definition was refused (message says why)
        FolderMissing,       // the base folder does not exist
        StartFailed,         // the listener could not start, or another process serves the server
        PortInUse,           // binding the port failed (in use, or reserved below 1024); message names the port
        NameTaken,           // the (new) name is registered already
        SaveFailed,          // a settings file could not be written; message names it and the reason
        NetworkUnavailable,  // start-up only: the network environment could not be started
    };
    Code code = Code::Ok;
    QvString message;  // empty when there is nothing to tell
    QvString warning;  // with Ok: what went wrong on the side without failing the operation
    bool ok() const { return code == Code::Ok; }
};

// The single entry point of the fronts (desktop program, command line) into the core. Owns the
// start-up order (network environment, file, directory and log managers, settings, registry) and
// the exit: servers stopped, connections ended, then the current service context cleared, which
// ends the services in reverse order of their making (registry stored, settings saved, ...,
// network environment last). Used from one thread (the user-interface thread or the command
// line's main thread); the listener callback arrives on a listening thread.
//
// One host per service context: the registry and the settings behind it are that context's.
// While this process serves a server it holds an inter-process lock on a run record in the user's
// runtime folder (named by a hash of the settings folder and the server name), so every other
// process of that user lists the server as running; the system drops the lock when the process dies.
namespace qvplat {
struct SocketError;
}

class CQvServerHost {
public:
    static constexpr int kListenWaitMs = 5000;      // a listener reports its bind result well within this
    static constexpr int kConnectionsEndMs = 5000;  // a closed connection's worker is gone after two 200 ms
                                                    // ticks; a client that never reads gives up after about 2 s

    CQvServerHost();
    ~CQvServerHost();  // calls shutdown()
    CQvServerHost(const CQvServerHost&) = delete;
    CQvServerHost& operator=(const CQvServerHost&) = delete;

    // Starts the network environment and loads the settings and the definitions. On
    // NetworkUnavailable the host is unusable; SaveFailed (loading stores the definitions again)
    // leaves it usable.
    QvHostResult startup();
    // The exit (above): every service of the current context ends. Safe to call twice. SaveFailed
    // when storing the definitions failed. No listener callback arrives once it has begun.
    QvHostResult shutdown();

    // Definitions in name order.
    std::vector<QvServerRecord> listServers() const;
    // The group names of GROUPLIST in counter order ("0001", "0002", ...).
    QvStringArray listGroups() const;

    // Starts the server and waits until it listens or failed; the message tells the reason and
    // the port on failure. Refused while another process serves the server, and when its run
    // record cannot be made. A server that runs but whose last-used mark could not be stored is Ok
    // with a warning.
    QvHostResult runServer(const QvString& name);
    QvHostResult stopServer(const QvString& name);

    // Reads the settings files again and brings the registry's view in line with what other
    // processes stored. True when the servers or the groups changed.
    bool reload();

    // The editing protocol (see CQvWebServerMngr): the definition as stored now (read from disk),
    // null for an unknown name; an empty name starts a create from a fresh record holding the
    // configured content types and the group "None".
    std::unique_ptr<_tag_WebServerInfo> beginEdit(const QvString& name);
    // The shared definition check, with the names as stored on disk now (a name or a letter-case
    // variant stored already is refused with isNameTaken) and the group list, for a dialog that
    // keeps itself open on a refusal. registeredName is empty for a create.
    DefinitionCheck checkEdit(const QvString& registeredName, const _tag_WebServerInfo& edited);
    // True when another process changed or removed the stored definition since beginEdit(name).
    bool changedSinceEdit(const QvString& name);
    // The edit of name then overwrites every field the stored definition holds differently.
    void overwriteOnFinish(const QvString& name);
    // Validates (checkEdit; an empty base html becomes "index.html" silently), applies and stores;
    // the result carries the edit's outcome and any save failure.
    QvHostResult finishEdit(const QvString& registeredName, std::unique_ptr<_tag_WebServerInfo> edited,
                            ServerEditAction action, ServerEditResult* outcome = nullptr);

    // The machine's IPv4 addresses other than loopback, where a running server is reachable too.
    static QvStringArray localAddresses();
    // A TCP port that was free a moment ago (to suggest instead of one in use); 0 when none.
    static int32_t findFreePort();

private:
    QvHostResult saveResult(QvHostResult result);
    QvHostResult runResult();
    static QvString nameTakenMessage(const QvString& name);
    // Empty with error set when the runtime folder cannot be had.
    QvString runLockPath(const QvString& name, QvString& error) const;
    void releaseStaleRunLocks();
    // error: the listener's failed set-up step; reason: its processStop message.
    QvString startFailure(const QvString& name, int32_t port, const qvplat::SocketError& error,
                          const QvString& reason) const;

    bool m_started = false;
    mutable QvString m_runtimeDir;                          // where run records live, once found
    std::map<std::u16string, qvplat::FileLock> m_runLocks;  // servers this process serves
};
