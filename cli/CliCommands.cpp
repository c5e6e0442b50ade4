#include "cli/CliCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "commlib/CommLibEnv.h"
#include "commlib/SocketClientMngr.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvStringArray.h"
#include "platform/FileSystem.h"
#include "platform/Signals.h"
#include "registry/DefinitionValidation.h"
#include "registry/WebServerMngr.h"
#include "webserver/ContentTypeTable.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace qvcli {
namespace {

constexpr int kListenWaitMs = 5000;       // a listener reports its bind result well within this
constexpr int kConnectionsEndMs = 5000;  // a closed connection's worker is gone after two 200 ms ticks,
                                         // a client that never reads gives up after about 2 s

std::string utf8(const QvString& s) { return s.toUtf8(); }
QvString wide(const std::string& s) { return QvString::fromUtf8(s); }

// Saves and frees the registry and the settings in the desktop program's exit order, so a
// command leaves the files beside the executable complete.
struct Session {
    Session() { CommLibEnv::getInstance()->start(); }
    ~Session()
    {
        CQvWebServerMngr::releaseInstance();
        CEnvMng::releaseInstance();
        CommLibEnv::getInstance()->stop();
    }
    CQvWebServerMngr* registry() { return CQvWebServerMngr::getInstance(); }
};

int usageError(std::ostream& err, const std::string& message)
{
    err << "qvwebserver-cli: " << message << "\n\n" << usageText();
    return kExitUsage;
}

int listCommand(std::ostream& out)
{
    Session session;
    QvStringArray lines;
    session.registry()->listServers(lines);
    if (lines.isEmpty()) {
        out << "No servers are defined. Add one with: qvwebserver-cli add --name NAME --port PORT --folder DIR\n";
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows{{"GROUP", "NAME", "PORT", "STATE"}};
    for (const QvString& line : lines) {
        QvStringArray fields;
        fields.split(line, QvString(std::u16string(1, CQvWebServerMngr::kSeparator)));
        std::vector<std::string> row;
        for (int i = 0; i < 4; ++i) {
            row.push_back(i < fields.size() ? utf8(fields[i]) : std::string());
        }
        rows.push_back(row);
    }
    std::vector<size_t> widths(4, 0);
    for (const auto& row : rows) {
        for (size_t i = 0; i < 4; ++i) {
            widths[i] = std::max(widths[i], static_cast<size_t>(QvString::fromUtf8(row[i]).length()));
        }
    }
    for (const auto& row : rows) {
        for (size_t i = 0; i < 4; ++i) {
            out << row[i];
            if (i + 1 < 4) {
                out << std::string(widths[i] - static_cast<size_t>(QvString::fromUtf8(row[i]).length()) + 2, ' ');
            }
        }
        out << '\n';
    }
    return kExitOk;
}

bool parsePort(const std::string& text, int& port)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < -2147483647L || value > 2147483647L) {
        return false;
    }
    port = static_cast<int>(value);
    return true;
}

std::string absoluteFolder(const std::string& folder)
{
    std::error_code ec;
    std::string path = std::filesystem::absolute(std::filesystem::path(folder), ec).lexically_normal().string();
    if (ec) {
        path = folder;
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

int addCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    std::string name, port, folder, group = "None", page;
    bool havePort = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) {
            return usageError(err, "missing value after " + option);
        }
        const std::string& value = args[++i];
        if (option == "--name") name = value;
        else if (option == "--port") { port = value; havePort = true; }
        else if (option == "--folder") folder = value;
        else if (option == "--group") group = value;
        else if (option == "--page") page = value;
        else return usageError(err, "unknown option " + option);
    }

    auto definition = std::make_unique<_tag_WebServerInfo>();
    definition->name = wide(name);
    definition->grpname = wide(group);
    definition->basepath = folder.empty() ? QvString(u"") : wide(absoluteFolder(folder));
    definition->basehtml = wide(page);
    if (havePort && !parsePort(port, definition->port)) {
        err << "Port must be a number: " << port << '\n';
        return kExitInvalid;
    }
    const DefinitionCheck check = checkDefinition(*definition);
    if (!check.isAccepted()) {
        err << utf8(check.message) << '\n';
        return kExitInvalid;
    }
    if (definition->port > 65535) {
        err << "Port must be a value less than or equal to 65535!\n";
        return kExitInvalid;
    }
    if (!qvplat::isDirectory(definition->basepath.toStd())) {
        err << "The folder does not exist: " << utf8(definition->basepath) << '\n';
        return kExitFolderMissing;
    }
    const QvString notice = applyDefaultPage(*definition);
    if (!notice.isNull()) {
        out << utf8(notice) << '\n';
    }

    Session session;
    CQvWebServerMngr* registry = session.registry();
    // A new server takes its content types from the application's configuration, as the
    // edit dialog does.
    CContentTypeTable::fillFromConfig(definition->contentstype);
    const std::string added = utf8(definition->name);
    const ServerEditResult result = registry->finishEdit(QvString(), std::move(definition), ServerEditAction::Confirm);
    if (result == ServerEditResult::NameTaken) {
        err << "A server named \"" << added << "\" already exists.\n";
        return kExitNameTaken;
    }
    out << "Added " << added << ".\n";
    return kExitOk;
}

int removeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.size() != 2) {
        return usageError(err, "remove takes exactly one server name");
    }
    Session session;
    if (!session.registry()->deleteServer(wide(args[1]))) {
        err << "No server named \"" << args[1] << "\".\n";
        return kExitUnknownServer;
    }
    out << "Removed " << args[1] << ".\n";
    return kExitOk;
}

int runServersCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.size() < 2) {
        return usageError(err, "run needs at least one server name");
    }
    Session session;
    CQvWebServerMngr* registry = session.registry();
    for (size_t i = 1; i < args.size(); ++i) {
        if (registry->getDefinition(wide(args[i])) == nullptr) {
            err << "No server named \"" << args[i] << "\".\n";
            return kExitUnknownServer;
        }
    }
    int result = kExitOk;
    std::vector<QvString> started;
    for (size_t i = 1; i < args.size() && result == kExitOk; ++i) {
        const QvString name = wide(args[i]);
        const _tag_WebServerInfo* definition = registry->getDefinition(name);
        if (!qvplat::isDirectory(definition->basepath.toStd())) {
            err << "The folder of " << args[i] << " does not exist: " << utf8(definition->basepath) << '\n';
            result = kExitFolderMissing;
            break;
        }
        if (!registry->runServer(name)) {
            err << "Could not start " << args[i] << ".\n";
            result = kExitStartFailed;
            break;
        }
        started.push_back(name);
        CWebServer* server = registry->getServer(name);
        if (server->waitUntilListening(kListenWaitMs) != CConnWaitThread::ListenState::Listening) {
            err << "Could not start " << args[i] << " on port " << definition->port << ": "
                << utf8(server->lastStopMessage()) << '\n';
            result = kExitStartFailed;
            break;
        }
        out << "Serving " << args[i] << " on http://127.0.0.1:" << definition->port << "/ from "
            << utf8(definition->basepath) << '\n';
    }
    if (result == kExitOk) {
        out << "Press Ctrl-C to stop." << std::endl;
        qvplat::waitForTerminationSignal();
        out << "Stopping." << std::endl;
    }
    for (const QvString& name : started) {
        registry->stopServer(name);
    }
    // Connections still open end now; their workers need a tick or two to clean up.
    CSocketClientMngr::getInstance()->closeAllConnections();
    if (!CSocketClientMngr::getInstance()->waitUntilEmpty(kConnectionsEndMs)) {
        err << "Some connections did not end in time.\n";
    }
    return result;
}

}  // namespace

std::string usageText()
{
    return "Usage: qvwebserver-cli COMMAND [ARGUMENTS]\n"
           "\n"
           "Commands:\n"
           "  list                         show every defined server: group, name, port, state\n"
           "  run NAME...                  serve the named servers until Ctrl-C or SIGTERM\n"
           "  add --name NAME --port PORT --folder DIR [--group GROUP] [--page FILE]\n"
           "                               define a new server (group \"None\", page \"index.html\" by default)\n"
           "  remove NAME                  delete a server definition\n"
           "  help                         show this text\n"
           "\n"
           "Definitions are kept in user/session.ini beside the executable, shared with the desktop program.\n"
           "Exit codes: 0 done, 2 usage, 3 unknown server, 4 invalid definition, 5 folder missing,\n"
           "6 could not start (port in use), 7 name already defined.\n";
}

int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        return usageError(err, "no command given");
    }
    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h") {
        out << usageText();
        return kExitOk;
    }
    if (command == "list") {
        return args.size() == 1 ? listCommand(out) : usageError(err, "list takes no arguments");
    }
    if (command == "add") {
        return addCommand(args, out, err);
    }
    if (command == "remove") {
        return removeCommand(args, out, err);
    }
    if (command == "run") {
        return runServersCommand(args, out, err);
    }
    return usageError(err, "unknown command " + command);
}

}  // namespace qvcli
