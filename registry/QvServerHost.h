#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"
#include "registry/WebServerMngr.h"

struct _tag_WebServerInfo;

// One defined server as a front shows it.
struct QvServerRecord {
    QvString group;  // the stored group name ("" or "None" for no group)
    QvString name;
    int32_t port = 0;
    bool running = false;           // this process serves it
    bool runningElsewhere = false;  // another live process of the program serves it
};

// The outcome of a run, stop or edit, with the words a front shows the user.
struct QvHostResult {
    enum class Code {
        Ok,
        UnknownServer,  // no server of that name
        Invalid,        // the definition was refused (message says why)
        FolderMissing,  // the base folder does not exist
        StartFailed,    // the port is in use or the listener could not start
        NameTaken,      // the (new) name is registered already
        SaveFailed,     // a settings file could not be written; message names it and the reason
    };
    Code code = Code::Ok;
    QvString message;  // empty when there is nothing to tell
    bool ok() const { return code == Code::Ok; }
};

// The single entry point of the fronts (desktop program, command line) into the core. Owns the
// start-up order (network environment, settings, registry) and the exit order (servers stopped,
// connections ended, registry stored, settings saved, network environment stopped). Used from one
// thread (the user-interface thread or the command line's main thread); the listener callback
// arrives on a listening thread.
class CQvServerHost {
public:
    enum class ListenEvent { Listening, SetupFailed, Ended };
    using ListenCallback = std::function<void(const QvString& name, ListenEvent event, const QvString& message)>;

    CQvServerHost();
    ~CQvServerHost();  // calls shutdown()
    CQvServerHost(const CQvServerHost&) = delete;
    CQvServerHost& operator=(const CQvServerHost&) = delete;

    // Starts the network environment and loads the settings and the definitions. On failure the
    // message says what failed; the host is then unusable.
    QvHostResult startup();
    // The exit order; safe to call twice.
    void shutdown();

    // Definitions in name order.
    std::vector<QvServerRecord> listServers() const;
    // The group names of GROUPLIST in counter order ("0001", "0002", ...).
    QvStringArray listGroups() const;

    // Starts the server and waits until it listens or failed; the message tells the reason and
    // the port on failure.
    QvHostResult runServer(const QvString& name);
    QvHostResult stopServer(const QvString& name);

    // The editing protocol (see CQvWebServerMngr): null for an unknown name; an empty name starts
    // a create from a fresh record.
    std::unique_ptr<_tag_WebServerInfo> beginEdit(const QvString& name);
    // Validates, applies and stores; the result carries the edit's outcome and any save failure.
    QvHostResult finishEdit(const QvString& registeredName, std::unique_ptr<_tag_WebServerInfo> edited,
                            ServerEditAction action, ServerEditResult* outcome = nullptr);

    // Called on a listening thread whenever a server's listener changes state.
    void setListenCallback(ListenCallback callback);
};
