#include "registry/QvServerHost.h"

#include <cstdint>
#include <string>

#include "commlib/CommLibEnv.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvFileMng.h"
#include "foundation/QvLogMng.h"
#include "platform/FileSystem.h"
#include "platform/NetInterfaces.h"
#include "platform/ServiceContext.h"
#include "platform/Socket.h"
#include "registry/GroupList.h"
#include "webserver/ContentTypeTable.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

constexpr const char16_t* kNetworkMissing = u"Windows networks are not available.!!";
constexpr int kFirstUnprivilegedPort = 1024;  // binding below it needs administrator rights

CQvWebServerMngr* registry()
{
    return CQvWebServerMngr::getInstance();
}

// A run record's name: two 64-bit FNV-1a hashes (different offsets) of the settings folder and the
// server name, so a name of any length makes a file name of 32 digits, names differing in letter
// case get different files, and two settings folders of one user never share a record.
QvString recordName(const QvString& settingsFolder, const QvString& name)
{
    std::string bytes = settingsFolder.toUtf8();
    bytes += '\0';
    bytes += name.toUtf8();
    QvString text(u"");
    for (uint64_t hash : {14695981039346656037ULL, 0x6c62272e07bb0142ULL}) {
        for (const unsigned char byte : bytes) {
            hash = (hash ^ byte) * 1099511628211ULL;
        }
        text.append(QvString::formatted(u"%08x%08x", static_cast<unsigned>(hash >> 32), static_cast<unsigned>(hash)));
    }
    return text;
}

}  // namespace

CQvServerHost::CQvServerHost() = default;

CQvServerHost::~CQvServerHost()
{
    shutdown();
}

QvHostResult CQvServerHost::startup()
{
    if (m_started) {
        return {};
    }
    if (CommLibEnv::getInstance()->start() != CommLibEnv::kStartOk) {
        return {QvHostResult::Code::NetworkUnavailable, kNetworkMissing};
    }
    m_started = true;
    // The order the services are made in; they end in reverse (shutdown): the registry stores its
    // definitions into the settings before these write their files, and the network goes last.
    CQvFileMng::getInstance();
    CQvDirMng::getInstance();
    CQvLogMng::getInstance();
    CEnvMng::getInstance();
    registry();
    return saveResult({});
}

QvHostResult CQvServerHost::shutdown()
{
    if (!m_started) {
        return {};
    }
    CQvWebServerMngr* servers = registry();
    for (const QvString& name : servers->serverNames()) {
        servers->stopServer(name);
    }
    m_runLocks.clear();
    // Connections still open end now; their workers need a tick or two to clean up.
    CommLibEnv::endSessions(kConnectionsEndMs);
    QvHostResult result = servers->saveAll() ? QvHostResult() : QvHostResult{QvHostResult::Code::SaveFailed, {}};
    result = saveResult(result);
    // Every service ends, newest first: those a front made after start-up, the registry, the
    // settings, the log, directory and file managers, the network environment.
    qvplat::ServiceContext::current().clear();
    m_started = false;
    return result;
}

std::vector<QvServerRecord> CQvServerHost::listServers() const
{
    std::vector<QvServerRecord> records;
    CQvWebServerMngr* servers = registry();
    for (const QvString& name : servers->serverNames()) {
        CWebServer* server = servers->getServer(name);
        const _tag_WebServerInfo* definition = server->getServerInfo();
        if (definition == nullptr) {
            continue;
        }
        QvServerRecord record;
        {
            auto lock = definition->readLock();
            record.group = definition->grpname;
            record.port = definition->port;
            record.basepath = definition->basepath;
        }
        record.name = name;
        record.running = server->isRunning();
        if (record.running) {
            record.listeningPort = server->getBoundPort();
        } else if (m_runLocks.find(name.toStd()) == m_runLocks.end()) {
            QvString error;
            const QvString lockPath = runLockPath(name, error);
            record.runningElsewhere = !lockPath.isEmpty() && qvplat::isFileLocked(lockPath.toStd());
        }
        records.push_back(std::move(record));
    }
    return records;
}

QvStringArray CQvServerHost::listGroups() const
{
    return CQvGroupList::names();
}

QvHostResult CQvServerHost::runServer(const QvString& name)
{
    CQvWebServerMngr* servers = registry();
    CWebServer* server = servers->getServer(name);
    if (server == nullptr || server->getServerInfo() == nullptr) {
        return {QvHostResult::Code::UnknownServer, QvString::formatted(u"No server named \"%s\".", name)};
    }
    if (server->isRunning()) {
        servers->runServer(name);  // counts as a start: marks it last used
        return runResult();
    }
    QvString folder;
    int32_t port = 0;
    {
        auto lock = server->getServerInfo()->readLock();
        folder = server->getServerInfo()->basepath;
        port = server->getServerInfo()->port;
    }
    // A port stored by hand outside the range would be taken modulo 65536 by the address look-up.
    if (const DefinitionCheck check = checkDefinition(_tag_WebServerInfo(*server->getServerInfo()));
        check.field == DefinitionField::Port) {
        return {QvHostResult::Code::Invalid, QvString::formatted(u"Could not start %s: %s", name, check.message)};
    }
    if (!qvplat::isDirectory(folder.toStd())) {
        return {QvHostResult::Code::FolderMissing,
                QvString::formatted(u"The folder of %s does not exist: %s", name, folder)};
    }
    // The run-state record: without it other processes could not see the server run, and would
    // start it a second time.
    qvplat::FileLock runLock;
    QvString recordError;
    const QvString lockPath = runLockPath(name, recordError);
    if (lockPath.isEmpty()) {
        return {QvHostResult::Code::StartFailed,
                QvString::formatted(u"Could not start %s: cannot make its run record: %s", name, recordError)};
    }
    if (!runLock.tryLock(lockPath.toStd())) {
        if (runLock.error().empty()) {
            return {QvHostResult::Code::StartFailed,
                    QvString::formatted(u"%s is already running in another process of this program.", name)};
        }
        return {QvHostResult::Code::StartFailed,
                QvString::formatted(u"Could not start %s: cannot make its run record: %s: %s", name, lockPath,
                                    QvString::fromUtf8(runLock.error()))};
    }

    if (!servers->runServer(name)) {
        return {QvHostResult::Code::StartFailed, QvString::formatted(u"Could not start %s.", name)};
    }
    if (server->waitUntilListening(kListenWaitMs) != CConnWaitThread::ListenState::Listening) {
        const qvplat::SocketError error = server->setupError();
        const QvString reason = server->lastStopMessage();
        servers->stopServer(name);  // a failed set-up leaves the running flag set
        return {error.isPortUnavailable() ? QvHostResult::Code::PortInUse : QvHostResult::Code::StartFailed,
                startFailure(name, port, error, reason)};
    }
    m_runLocks[name.toStd()] = std::move(runLock);
    return runResult();
}

// The server runs: a last-used mark that could not be stored is worth a warning, not a failure.
QvHostResult CQvServerHost::runResult()
{
    QvHostResult result;
    const QvString error = registry()->takeSaveError();
    if (!error.isEmpty()) {
        result.warning = QvString::formatted(u"The settings could not be saved: %s", error);
    }
    return result;
}

QvHostResult CQvServerHost::stopServer(const QvString& name)
{
    if (!registry()->stopServer(name)) {
        return {QvHostResult::Code::UnknownServer, QvString::formatted(u"No server named \"%s\".", name)};
    }
    m_runLocks.erase(name.toStd());
    return {};
}

bool CQvServerHost::reload()
{
    CEnvMng* env = CEnvMng::getInstance();
    const QvStringArray groupsBefore = listGroups();
    if (CQvINIFileMng* file = env->getIniFile(ENV_FILE_ENV)) {
        file->reload(CEnvMng::getFileName(ENV_FILE_ENV));
    }
    CQvINIFileMng* session = env->getIniFile(ENV_FILE_SESSION);
    bool changed = false;
    if (session != nullptr && session->reload(CEnvMng::getFileName(ENV_FILE_SESSION))) {
        changed = registry()->syncWithStored();
    }
    releaseStaleRunLocks();  // a server another process removed has stopped here
    const QvStringArray groupsAfter = listGroups();
    bool sameGroups = groupsBefore.size() == groupsAfter.size();
    for (int i = 0; sameGroups && i < groupsAfter.size(); ++i) {
        sameGroups = groupsBefore[i].view() == groupsAfter[i].view();
    }
    return changed || !sameGroups;
}

std::unique_ptr<_tag_WebServerInfo> CQvServerHost::beginEdit(const QvString& name)
{
    if (!name.isEmpty()) {
        reload();  // the definition as stored now, not as this process loaded it
        return registry()->beginEdit(name);
    }
    auto fresh = std::make_unique<_tag_WebServerInfo>();
    fresh->grpname = u"None";
    CContentTypeTable::fillFromConfig(fresh->contentstype);
    return fresh;
}

DefinitionCheck CQvServerHost::checkEdit(const QvString& registeredName, const _tag_WebServerInfo& edited)
{
    DefinitionCheck check = checkDefinition(edited, {}, listGroups());
    if (!check.isAccepted()) {
        return check;
    }
    // Names are decided against the file, read under its lock; finishEdit decides again under it.
    registry()->reloadUnderLock();
    releaseStaleRunLocks();  // a server another process removed has stopped here
    if (!registry()->takenName(edited.name, registeredName).isNull()) {
        check.field = DefinitionField::Name;
        check.message = nameTakenMessage(edited.name);
        check.isNameTaken = true;
    }
    return check;
}

bool CQvServerHost::changedSinceEdit(const QvString& name)
{
    const bool changed = registry()->changedSinceEdit(name);
    releaseStaleRunLocks();
    return changed;
}

void CQvServerHost::overwriteOnFinish(const QvString& name)
{
    registry()->rebaseEdit(name);
}

QvHostResult CQvServerHost::finishEdit(const QvString& registeredName, std::unique_ptr<_tag_WebServerInfo> edited,
                                       ServerEditAction action, ServerEditResult* outcome)
{
    ServerEditResult done = ServerEditResult::Cancelled;
    QvHostResult result;
    if (action == ServerEditAction::Confirm && edited != nullptr) {
        const DefinitionCheck check = checkDefinition(*edited, {}, listGroups());
        if (!check.isAccepted()) {
            result = {QvHostResult::Code::Invalid, check.message};
        } else {
            applyDefaultPage(*edited);
        }
    }
    if (result.ok()) {
        const QvString newName = edited != nullptr ? edited->name : QvString(u"");
        done = registry()->finishEdit(registeredName, std::move(edited), action);
        if (done == ServerEditResult::NameTaken) {
            result = {QvHostResult::Code::NameTaken, nameTakenMessage(newName)};
        } else if (done == ServerEditResult::NotStored) {
            result = {QvHostResult::Code::SaveFailed, {}};
        } else if (done == ServerEditResult::Unknown) {
            result = {QvHostResult::Code::UnknownServer,
                      QvString::formatted(u"No server named \"%s\".", registeredName)};
        }
        releaseStaleRunLocks();  // a delete or a rename stops the server
    }
    if (outcome != nullptr) {
        *outcome = done;
    }
    return saveResult(result);
}

QvStringArray CQvServerHost::localAddresses()
{
    QvStringArray addresses;
    for (const std::string& address : qvplat::localIPv4Addresses()) {
        addresses.add(QvString::fromUtf8(address));
    }
    return addresses;
}

int32_t CQvServerHost::findFreePort()
{
    qvplat::AddrInfo address;
    qvplat::SocketHandle socket = qvplat::kInvalidSocket;
    if (qvplat::resolvePassive(0, address).failed() || qvplat::createSocket(address, socket).failed()) {
        return 0;
    }
    const int port = qvplat::bindSocket(socket, address).failed() ? 0 : qvplat::localPort(socket);
    qvplat::closeSocket(socket);
    return port > 0 ? port : 0;
}

// Every registry operation may have failed to write a settings file; that outranks success.
QvHostResult CQvServerHost::saveResult(QvHostResult result)
{
    const QvString error = registry()->takeSaveError();
    if (!error.isEmpty() && (result.ok() || result.code == QvHostResult::Code::SaveFailed)) {
        return {QvHostResult::Code::SaveFailed, QvString::formatted(u"The settings could not be saved: %s", error)};
    }
    if (result.code == QvHostResult::Code::SaveFailed && result.message.isEmpty()) {
        result.message = u"The settings could not be saved.";
    }
    return result;
}

QvString CQvServerHost::runLockPath(const QvString& name, QvString& error) const
{
    if (m_runtimeDir.isEmpty()) {  // made and checked once; listing thousands of servers asks for each
        std::string reason;
        m_runtimeDir = QvString(qvplat::runtimeDirectory(reason));
        if (m_runtimeDir.isEmpty()) {
            error = QvString::fromUtf8(reason);
            return QvString(u"");
        }
    }
    return QvString::formatted(u"%s%c%s.run", m_runtimeDir, qvplat::kPathSeparator,
                               recordName(CQvDirMng::getInstance()->getDirPath(u"user"), name));
}

void CQvServerHost::releaseStaleRunLocks()
{
    for (auto it = m_runLocks.begin(); it != m_runLocks.end();) {
        if (registry()->isRunning(QvString(it->first))) {
            ++it;
        } else {
            it = m_runLocks.erase(it);
        }
    }
}

QvString CQvServerHost::nameTakenMessage(const QvString& name)
{
    return QvString::formatted(u"A server named \"%s\" already exists.", name);
}

QvString CQvServerHost::startFailure(const QvString& name, int32_t port, const qvplat::SocketError& error,
                                     const QvString& reason) const
{
    if (error.isPortUnavailable()) {
        if (port > 0 && port < kFirstUnprivilegedPort) {
            return QvString::formatted(
                u"Could not start %s: port %d is in use or needs administrator rights (Socket Bind Failed!!).", name,
                port);
        }
        return QvString::formatted(u"Could not start %s: port %d is already in use (Socket Bind Failed!!).", name,
                                   port);
    }
    return QvString::formatted(u"Could not start %s on port %d: %s", name, port, reason);
}
