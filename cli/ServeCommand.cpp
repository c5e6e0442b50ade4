#include "cli/ServeCommand.h"

#include <cstdio>
#include <memory>
#include <ostream>

#include "cli/CliCommands.h"
#include "commlib/CommLibEnv.h"
#include "foundation/QvLogMng.h"
#include "platform/FileSystem.h"
#include "platform/NetInterfaces.h"
#include "platform/ServiceContext.h"
#include "platform/Signals.h"
#include "registry/DefinitionValidation.h"
#include "webserver/AccessLog.h"
#include "webserver/AccessLogWriter.h"
#include "webserver/ContentTypeTable.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace qvcli {
namespace {

constexpr int kMaxPort = 65535;
constexpr int kPortTries = 100;          // ports tried upward from the default before giving up
constexpr int kListenWaitMs = 5000;      // a listener reports its bind result well within this
constexpr int kConnectionsEndMs = 5000;  // as long as the registry's exit gives open connections

// The process-wide services a one-shot server starts, ended in reverse order however serving ends.
class ServeSession {
public:
    ServeSession()
    {
        // Logging stays as quiet as ever, but computing a log path must not make a folder either.
        CQvLogMng::setLogFolderMade(false);
        CommLibEnv::getInstance()->start();
    }
    ~ServeSession()
    {
        if (m_server != nullptr) {
            m_server->stop();
        }
        CommLibEnv::endSessions(kConnectionsEndMs);
        m_server.reset();
        CQvAccessLog::setSink(nullptr);
        qvplat::ServiceContext::current().clear();  // newest first: the network environment goes last
        CQvLogMng::setLogFolderMade(true);
    }
    ServeSession(const ServeSession&) = delete;
    ServeSession& operator=(const ServeSession&) = delete;

    // Listens on port, or (when it is taken and may move) on the first free one above it; the
    // bound port, or -1 after telling why not.
    int listen(std::unique_ptr<_tag_WebServerInfo> info, bool mayMove, std::ostream& out, std::ostream& err)
    {
        const int wanted = info->port;
        m_server = std::make_unique<CWebServer>(info.release());
        _tag_WebServerInfo& served = *m_server->getServerInfo();
        for (int tries = 0; tries < (mayMove ? kPortTries : 1) && served.port <= kMaxPort; ++tries) {
            if (!m_server->startServer()) {
                break;
            }
            if (m_server->waitUntilListening(kListenWaitMs) == CConnWaitThread::ListenState::Listening) {
                if (served.port != wanted) {
                    out << "Port " << wanted << " is in use; serving on port " << served.port << " instead.\n";
                }
                return m_server->getBoundPort();
            }
            m_server->stop();  // a failed set-up leaves the running flag set
            if (!m_server->setupError().isPortUnavailable()) {
                break;
            }
            const auto lock = served.writeLock();
            ++served.port;
        }
        err << "Could not serve on port " << wanted;
        if (m_server->setupError().isPortUnavailable()) {
            err << (mayMove ? " or the ports above it: they are in use."
                            : ": it is in use or needs administrator rights.")
                << " Choose another port with --port P (0: any free port).";
        }
        err << '\n';
        return -1;
    }

private:
    std::unique_ptr<CWebServer> m_server;
};

}  // namespace

int serveFolder(const ServeOptions& options, std::ostream& out, std::ostream& err)
{
    auto info = std::make_unique<_tag_WebServerInfo>();
    info->name = u"serve";
    info->port = options.port;
    info->basepath = QvString::fromUtf8(absoluteFolder(options.folder));
    info->basehtml = QvString::fromUtf8(options.page);
    const DefinitionCheck check = checkDefinition(*info);
    if (!check.isAccepted() || info->port > kMaxPort) {
        err << (check.isAccepted() ? "Port must be a value less than or equal to 65535!" : check.message.toUtf8())
            << '\n';
        return kExitInvalid;
    }
    if (!qvplat::isDirectory(info->basepath.toStd())) {
        err << "The folder does not exist: " << info->basepath.toUtf8() << '\n';
        return kExitFolderMissing;
    }

    ServeSession session;
    if (!CContentTypeTable::fillFromConfig(info->contentstype)) {
        err << "Warning: " << CContentTypeTable::getConfigFilePath().toUtf8()
            << " could not be read; every file is sent as " << QvString(CContentTypeTable::kDefaultContentType).toUtf8()
            << ".\n";
    }
    if (options.accessLog) {
        CQvAccessLog::setSink(std::make_shared<CQvAccessLogWriter>(stderr));
    }
    const std::string folder = info->basepath.toUtf8();
    const int port = session.listen(std::move(info), !options.portGiven, out, err);
    if (port < 0) {
        return kExitStartFailed;
    }
    out << "Serving " << folder << " on port " << port << ", on all IPv4 interfaces (nothing is stored):\n";
    out << "  http://127.0.0.1:" << port << "/\n";
    for (const std::string& address : qvplat::localIPv4Addresses()) {
        out << "  http://" << address << ':' << port << "/\n";
    }
    out << "Press Ctrl-C to stop." << std::endl;
    qvplat::waitForTerminationSignal();
    out << "Stopping." << std::endl;
    return kExitOk;
}

}  // namespace qvcli
