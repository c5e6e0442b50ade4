#include "registry/QvServerHost.h"

#include <string>

#include "commlib/CommLibEnv.h"
#include "commlib/SessionThreadPool.h"
#include "commlib/SocketClientMngr.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvFileMng.h"
#include "foundation/QvLogMng.h"
#include "platform/FileSystem.h"
#include "platform/NetInterfaces.h"
#include "platform/Socket.h"
#include "platform/TimerService.h"
#include "webserver/ContentTypeTable.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

constexpr int kEnvFile = 0;  // env.ini
constexpr const char16_t* kGroupSection = u"GROUPLIST";
constexpr const char16_t* kNetworkMissing = u"Windows networks are not available.!!";
constexpr const char16_t* kBindFailed = u"Socket Bind Failed!!";  // the listener's processStop text
constexpr int kFirstUnprivilegedPort = 1024;                      // binding below it needs administrator rights

CQvWebServerMngr* registry()
{
    return CQvWebServerMngr::getInstance();
}

// Lock file names spell the server name in hex (UTF-8 bytes), so any name makes a file name and
// names differing in letter case get different files.
QvString hexName(const QvString& name)
{
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    QvString hex(u"");
    for (unsigned char byte : name.toUtf8()) {
        hex.append(kDigits[byte >> 4]);
        hex.append(kDigits[byte & 0x0F]);
    }
    return hex;
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
        return {QvHostResult::Code::StartFailed, kNetworkMissing};
    }
    m_started = true;
    CEnvMng::getInstance();
    registry();
    return saveResult({});
}

QvHostResult CQvServerHost::shutdown()
{
    if (!m_started) {
        return {};
    }
    setListenCallback(nullptr);
    CQvWebServerMngr* servers = registry();
    for (const QvString& name : servers->serverNames()) {
        servers->stopServer(name);
    }
    m_runLocks.clear();
    // Connections still open end now; their workers need a tick or two to clean up.
    CSocketClientMngr::getInstance()->closeAllConnections();
    CSocketClientMngr::getInstance()->waitUntilEmpty(kConnectionsEndMs);
    // A worker leaves the client manager inside its last timer tick and still logs after that:
    // let every tick in flight end before the singletons it touches go away.
    qvplat::shutdownTimerService();
    // Session threads that ended or wait for work are joined; the pool reaps ended ones only when a
    // later connection comes, which at exit never does.
    CSessionThreadPool::getInstance()->releaseParked();
    servers->saveAll();
    QvHostResult result = saveResult({});
    CQvWebServerMngr::releaseInstance();
    CEnvMng::releaseInstance();
    CQvLogMng::releaseInstance();
    CQvDirMng::releaseInstance();
    CQvFileMng::releaseInstance();
    CommLibEnv::getInstance()->stop();
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
            record.runningElsewhere = qvplat::isFileLocked(runLockPath(name).toStd());
        }
        records.push_back(std::move(record));
    }
    return records;
}

QvStringArray CQvServerHost::listGroups() const
{
    QvStringArray groups;
    CEnvMng* env = CEnvMng::getInstance();
    const int count = env->getInt(kEnvFile, kGroupSection, u"CNT");
    for (int i = 1; i <= count; ++i) {
        groups.add(env->getString(kEnvFile, kGroupSection, QvString::formatted(u"%04d", i)));
    }
    return groups;
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
        return saveResult({});
    }
    QvString folder;
    int32_t port = 0;
    {
        auto lock = server->getServerInfo()->readLock();
        folder = server->getServerInfo()->basepath;
        port = server->getServerInfo()->port;
    }
    if (!qvplat::isDirectory(folder.toStd())) {
        return {QvHostResult::Code::FolderMissing,
                QvString::formatted(u"The folder of %s does not exist: %s", name, folder)};
    }
    // The run-state record; without a writable user folder the server still runs, only other
    // processes cannot see it.
    qvplat::FileLock runLock;
    const QvString lockPath = runLockPath(name);
    CQvDirMng::makeDirectories(CQvDirMng::getInstance()->getDirPath(u"user/run"));
    if (!runLock.tryLock(lockPath.toStd()) && runLock.error().empty()) {
        return {QvHostResult::Code::StartFailed,
                QvString::formatted(u"%s is already running in another process of this program.", name)};
    }

    server->setListenObserver([this, name, server](CConnWaitThread::ListenState state) {
        switch (state) {
            case CConnWaitThread::ListenState::Listening:
                notify(name, ListenEvent::Listening, QvString(u""));
                break;
            case CConnWaitThread::ListenState::SetupFailed:
                notify(name, ListenEvent::SetupFailed,
                       startFailure(name, server->getPort(), server->lastStopMessage()));
                break;
            case CConnWaitThread::ListenState::Ended:
                notify(name, ListenEvent::Ended, QvString(u""));
                break;
            default:
                break;
        }
    });
    if (!servers->runServer(name)) {
        return {QvHostResult::Code::StartFailed, QvString::formatted(u"Could not start %s.", name)};
    }
    if (server->waitUntilListening(kListenWaitMs) != CConnWaitThread::ListenState::Listening) {
        const QvString reason = server->lastStopMessage();
        servers->stopServer(name);  // a failed set-up leaves the running flag set
        return {reason == kBindFailed ? QvHostResult::Code::PortInUse : QvHostResult::Code::StartFailed,
                startFailure(name, port, reason)};
    }
    if (runLock.isLocked()) {
        m_runLocks[name.toStd()] = std::move(runLock);
    }
    return saveResult({});
}

QvHostResult CQvServerHost::stopServer(const QvString& name)
{
    if (!registry()->stopServer(name)) {
        return {QvHostResult::Code::UnknownServer, QvString::formatted(u"No server named \"%s\".", name)};
    }
    m_runLocks.erase(name.toStd());
    return {};
}

std::unique_ptr<_tag_WebServerInfo> CQvServerHost::beginEdit(const QvString& name)
{
    if (!name.isEmpty()) {
        return registry()->beginEdit(name);
    }
    auto fresh = std::make_unique<_tag_WebServerInfo>();
    fresh->grpname = u"None";
    CContentTypeTable::fillFromConfig(fresh->contentstype);
    return fresh;
}

DefinitionCheck CQvServerHost::checkEdit(const QvString& registeredName, const _tag_WebServerInfo& edited) const
{
    QvStringArray others;
    for (const QvString& name : registry()->serverNames()) {
        if (name.view() != registeredName.view()) {
            others.add(name);
        }
    }
    return checkDefinition(edited, others, listGroups());
}

QvHostResult CQvServerHost::finishEdit(const QvString& registeredName, std::unique_ptr<_tag_WebServerInfo> edited,
                                       ServerEditAction action, ServerEditResult* outcome)
{
    ServerEditResult done = ServerEditResult::Cancelled;
    QvHostResult result;
    if (action == ServerEditAction::Confirm && edited != nullptr) {
        const DefinitionCheck check = checkEdit(registeredName, *edited);
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
            result = {QvHostResult::Code::NameTaken,
                      QvString::formatted(u"A server named \"%s\" already exists.", newName)};
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

void CQvServerHost::setListenCallback(ListenCallback callback)
{
    std::lock_guard lock(m_callbackMutex);
    m_callback = std::move(callback);
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
    if (!qvplat::resolvePassive(0, address)) {
        return 0;
    }
    const qvplat::SocketHandle socket = qvplat::createSocket(address);
    if (socket == qvplat::kInvalidSocket) {
        return 0;
    }
    const int port = qvplat::bindSocket(socket, address) ? qvplat::localPort(socket) : 0;
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
    return result;
}

QvString CQvServerHost::runLockPath(const QvString& name) const
{
    return QvString::formatted(u"%s%c%s.lock", CQvDirMng::getInstance()->getDirPath(u"user/run"),
                               qvplat::kPathSeparator, hexName(name));
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

void CQvServerHost::notify(const QvString& name, ListenEvent event, const QvString& message)
{
    std::lock_guard lock(m_callbackMutex);
    if (m_callback) {
        m_callback(name, event, message);
    }
}

QvString CQvServerHost::startFailure(const QvString& name, int32_t port, const QvString& reason) const
{
    if (reason == kBindFailed) {
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
