#include "cli/CliCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>

#include "platform/FileSystem.h"
#include "platform/Signals.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

namespace qvcli {
namespace {

std::string utf8(const QvString& s)
{
    return s.toUtf8();
}
QvString wide(const std::string& s)
{
    return QvString::fromUtf8(s);
}

int usageError(std::ostream& err, const std::string& message)
{
    err << "qvwebserver-cli: " << message << "\n\n" << usageText();
    return kExitUsage;
}

int exitCodeOf(QvHostResult::Code code)
{
    switch (code) {
        case QvHostResult::Code::Ok:
            return kExitOk;
        case QvHostResult::Code::UnknownServer:
            return kExitUnknownServer;
        case QvHostResult::Code::Invalid:
            return kExitInvalid;
        case QvHostResult::Code::FolderMissing:
            return kExitFolderMissing;
        case QvHostResult::Code::StartFailed:
        case QvHostResult::Code::PortInUse:
        case QvHostResult::Code::NetworkUnavailable:
            return kExitStartFailed;
        case QvHostResult::Code::NameTaken:
            return kExitNameTaken;
        case QvHostResult::Code::SaveFailed:
            return kExitSaveFailed;
    }
    return kExitStartFailed;
}

// The command's words after the command name: "--option value" pairs from the allowed set, each
// at most once, and the plain words before the first option.
struct Arguments {
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
    const std::string* option(const std::string& name) const
    {
        auto found = options.find(name);
        return found == options.end() ? nullptr : &found->second;
    }
};

bool parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& allowed, Arguments& out,
                    std::string& error)
{
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word.rfind("--", 0) != 0) {
            if (!out.options.empty()) {
                error = "unexpected argument " + word;
                return false;
            }
            out.words.push_back(word);
            continue;
        }
        if (std::find(allowed.begin(), allowed.end(), word) == allowed.end()) {
            error = "unknown option " + word;
            return false;
        }
        if (i + 1 >= args.size()) {
            error = "missing value after " + word;
            return false;
        }
        if (!out.options.emplace(word, args[++i]).second) {
            error = "option " + word + " given more than once";
            return false;
        }
    }
    return true;
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

// One command's use of the host: start-up, the command's own failures, and the exit order, whose
// save failure is reported like any other.
class Session {
public:
    explicit Session(std::ostream& err) : m_err(err)
    {
        const QvHostResult started = m_host.startup();
        m_usable = started.code != QvHostResult::Code::NetworkUnavailable;
        m_started = started;
        if (started.code == QvHostResult::Code::SaveFailed) {
            warn(started.message);  // the settings were read; storing them again failed
            m_code = kExitSaveFailed;
        } else {
            m_code = report(started);
        }
    }
    bool isUsable() const { return m_usable; }
    CQvServerHost& host() { return m_host; }

    // For list and run: a start-up that could not store the settings again (a read-only file) was
    // told once and does not fail the command.
    void tolerateStartupSave()
    {
        if (m_started.code == QvHostResult::Code::SaveFailed) {
            m_code = kExitOk;
        }
    }
    // Prints a warning once; the same failure met again at the exit is not an error then.
    void warn(const QvString& message)
    {
        if (!message.isEmpty() && message != m_reported) {
            m_err << "Warning: " << utf8(message) << '\n';
            m_reported = message;
            m_warned = message;
        }
    }

    // Prints a failure's message; returns its exit code.
    int report(const QvHostResult& result)
    {
        // The exit stores the definitions again and meets the same failure: say it once.
        if (!result.ok() && result.message != m_reported) {
            m_err << utf8(result.message) << '\n';
            m_reported = result.message;
        }
        return exitCodeOf(result.code);
    }
    // Ends the session; the command's own code wins over a save failure noticed on the way.
    int finish(int code)
    {
        const QvHostResult ended = m_host.shutdown();
        const int exitCode = !m_warned.isEmpty() && ended.message == m_warned ? kExitOk : report(ended);
        if (code != kExitOk) {
            return code;
        }
        return m_code != kExitOk ? m_code : exitCode;
    }

private:
    std::ostream& m_err;
    CQvServerHost m_host;
    bool m_usable = false;
    int m_code = kExitOk;
    QvHostResult m_started;
    QvString m_reported;
    QvString m_warned;
};

// Ports that two definitions share: only one of them can run at a time. With name, only the
// sharing that concerns that server.
void warnSharedPorts(const std::vector<QvServerRecord>& records, std::ostream& err, const QvString& name = QvString())
{
    std::map<int32_t, std::vector<std::string>> byPort;
    for (const QvServerRecord& record : records) {
        if (record.port != 0) {  // 0 picks a free port at each start
            byPort[record.port].push_back(utf8(record.name));
        }
    }
    for (const auto& [port, names] : byPort) {
        if (names.size() < 2 || (!name.isEmpty() && std::find(names.begin(), names.end(), utf8(name)) == names.end())) {
            continue;
        }
        err << "Warning: port " << port << " is used by";
        for (size_t i = 0; i < names.size(); ++i) {
            err << (i == 0 ? " " : ", ") << names[i];
        }
        err << "; only one of them can run at a time.\n";
    }
}

int listCommand(std::ostream& out, std::ostream& err)
{
    Session session(err);
    if (!session.isUsable()) {
        return session.finish(kExitStartFailed);
    }
    session.tolerateStartupSave();
    const std::vector<QvServerRecord> records = session.host().listServers();
    if (records.empty()) {
        out << "No servers are defined. Add one with: qvwebserver-cli add --name NAME --folder DIR [--port PORT]\n";
        return session.finish(kExitOk);
    }
    std::vector<std::vector<QvString>> rows{{u"GROUP", u"NAME", u"PORT", u"STATE"}};
    for (const QvServerRecord& record : records) {
        rows.push_back({record.group.isEmpty() ? QvString(u"Default") : record.group, record.name,
                        QvString::formatted(u"%d", record.port),
                        QvString(record.running || record.runningElsewhere ? u"Run" : u"Stop")});
    }
    std::vector<int> widths(4, 0);
    for (const auto& row : rows) {
        for (size_t i = 0; i < 4; ++i) {
            widths[i] = std::max(widths[i], row[i].length());
        }
    }
    for (const auto& row : rows) {
        for (size_t i = 0; i < 4; ++i) {
            out << utf8(row[i]);
            if (i + 1 < 4) {
                out << std::string(static_cast<size_t>(widths[i] - row[i].length() + 2), ' ');
            }
        }
        out << '\n';
    }
    warnSharedPorts(records, err);
    return session.finish(kExitOk);
}

// Applies the options of add or edit to definition; a non-zero exit code when one is malformed.
int applyOptions(const Arguments& arguments, _tag_WebServerInfo& definition, std::ostream& err)
{
    if (const std::string* name = arguments.option("--name"))
        definition.name = wide(*name);
    if (const std::string* name = arguments.option("--new-name"))
        definition.name = wide(*name);
    if (const std::string* group = arguments.option("--group"))
        definition.grpname = wide(*group);
    if (const std::string* page = arguments.option("--page"))
        definition.basehtml = wide(*page);
    if (const std::string* folder = arguments.option("--folder")) {
        definition.basepath = folder->empty() ? QvString(u"") : wide(absoluteFolder(*folder));
    }
    if (const std::string* port = arguments.option("--port")) {
        if (!parsePort(*port, definition.port)) {
            err << "Port must be a number: " << *port << '\n';
            return kExitInvalid;
        }
    }
    return kExitOk;
}

// The checks before a definition is stored: the shared definition check (names as stored now) and,
// when the folder was given, its existence.
int checkBeforeStore(CQvServerHost& host, const QvString& registeredName, const _tag_WebServerInfo& definition,
                     bool folderGiven, std::ostream& err)
{
    const DefinitionCheck check = host.checkEdit(registeredName, definition);
    if (!check.isAccepted()) {
        err << utf8(check.message) << '\n';
        return check.isNameTaken ? kExitNameTaken : kExitInvalid;
    }
    if (folderGiven && !qvplat::isDirectory(definition.basepath.toStd())) {
        err << "The folder does not exist: " << utf8(definition.basepath) << '\n';
        return kExitFolderMissing;
    }
    return kExitOk;
}

int addCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Arguments arguments;
    std::string error;
    if (!parseArguments(args, {"--name", "--port", "--folder", "--group", "--page"}, arguments, error)) {
        return usageError(err, error);
    }
    if (!arguments.words.empty()) {
        return usageError(err, "add takes only options");
    }
    Session session(err);
    if (!session.isUsable()) {
        return session.finish(kExitStartFailed);
    }
    CQvServerHost& host = session.host();
    std::unique_ptr<_tag_WebServerInfo> definition = host.beginEdit(QvString());
    int code = applyOptions(arguments, *definition, err);
    if (code == kExitOk) {
        code = checkBeforeStore(host, QvString(), *definition, true, err);
    }
    if (code != kExitOk) {
        return session.finish(code);
    }
    const QvString name = definition->name;
    code = session.report(host.finishEdit(QvString(), std::move(definition), ServerEditAction::Confirm));
    if (code == kExitOk) {
        out << "Added " << utf8(name) << ".\n";
        warnSharedPorts(host.listServers(), err, name);
    }
    return session.finish(code);
}

int editCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Arguments arguments;
    std::string error;
    if (!parseArguments(args, {"--port", "--folder", "--page", "--group", "--new-name"}, arguments, error)) {
        return usageError(err, error);
    }
    if (arguments.words.size() != 1) {
        return usageError(err, "edit takes exactly one server name before its options");
    }
    if (arguments.options.empty()) {
        return usageError(err, "edit needs at least one option to change");
    }
    Session session(err);
    if (!session.isUsable()) {
        return session.finish(kExitStartFailed);
    }
    CQvServerHost& host = session.host();
    const QvString name = wide(arguments.words[0]);
    std::unique_ptr<_tag_WebServerInfo> definition = host.beginEdit(name);
    if (definition == nullptr) {
        err << "No server named \"" << arguments.words[0] << "\".\n";
        return session.finish(kExitUnknownServer);
    }
    int code = applyOptions(arguments, *definition, err);
    if (code == kExitOk) {
        code = checkBeforeStore(host, name, *definition, arguments.option("--folder") != nullptr, err);
    }
    if (code != kExitOk) {
        return session.finish(code);
    }
    const QvString newName = definition->name;
    ServerEditResult outcome = ServerEditResult::Cancelled;
    code = session.report(host.finishEdit(name, std::move(definition), ServerEditAction::Confirm, &outcome));
    if (code == kExitOk) {
        if (outcome == ServerEditResult::Renamed) {
            out << "Renamed " << utf8(name) << " to " << utf8(newName) << ".\n";
        } else {
            out << "Changed " << utf8(name) << ".\n";
        }
        const std::vector<QvServerRecord> records = host.listServers();
        for (const QvServerRecord& record : records) {
            if (record.name == newName && record.runningElsewhere) {
                out << utf8(newName) << " is running in another process; the change applies when it starts again.\n";
            }
        }
        warnSharedPorts(records, err, newName);
    }
    return session.finish(code);
}

int removeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.size() != 2) {
        return usageError(err, "remove takes exactly one server name");
    }
    Session session(err);
    if (!session.isUsable()) {
        return session.finish(kExitStartFailed);
    }
    CQvServerHost& host = session.host();
    const QvString name = wide(args[1]);
    std::unique_ptr<_tag_WebServerInfo> copy = host.beginEdit(name);
    if (copy == nullptr) {
        err << "No server named \"" << args[1] << "\".\n";
        return session.finish(kExitUnknownServer);
    }
    const int code = session.report(host.finishEdit(name, std::move(copy), ServerEditAction::Delete));
    if (code == kExitOk) {
        out << "Removed " << args[1] << ".\n";
    }
    return session.finish(code);
}

void printServing(const QvServerRecord& record, std::ostream& out)
{
    const int port = record.listeningPort;
    out << "Serving " << utf8(record.name) << " from " << utf8(record.basepath) << " on port " << port;
    if (record.port == 0) {
        out << " (chosen by the system: the definition asks for port 0)";
    }
    out << ", on all IPv4 interfaces:\n";
    out << "  http://127.0.0.1:" << port << "/\n";
    for (const QvString& address : CQvServerHost::localAddresses()) {
        out << "  http://" << utf8(address) << ':' << port << "/\n";
    }
}

int runServersCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.size() < 2) {
        return usageError(err, "run needs at least one server name");
    }
    Session session(err);
    if (!session.isUsable()) {
        return session.finish(kExitStartFailed);
    }
    session.tolerateStartupSave();
    CQvServerHost& host = session.host();
    const std::vector<QvServerRecord> records = host.listServers();
    const auto recordOf = [&host](const QvString& name) {
        for (QvServerRecord& record : host.listServers()) {
            if (record.name == name) {
                return record;
            }
        }
        return QvServerRecord();
    };
    for (size_t i = 1; i < args.size(); ++i) {
        if (std::none_of(records.begin(), records.end(), [&](const auto& r) { return r.name == wide(args[i]); })) {
            err << "No server named \"" << args[i] << "\".\n";
            return session.finish(kExitUnknownServer);
        }
    }
    for (size_t i = 1; i < args.size(); ++i) {
        const QvString name = wide(args[i]);
        const QvHostResult result = host.runServer(name);
        session.warn(result.warning);
        const int code = session.report(result);
        if (result.code == QvHostResult::Code::PortInUse) {
            err << "Choose another port with: qvwebserver-cli edit " << args[i] << " --port "
                << CQvServerHost::findFreePort() << '\n';
        }
        if (code != kExitOk) {
            return session.finish(code);
        }
        printServing(recordOf(name), out);
    }
    out << "Press Ctrl-C to stop." << std::endl;
    qvplat::waitForTerminationSignal();
    out << "Stopping." << std::endl;
    return session.finish(kExitOk);
}

}  // namespace

std::string usageText()
{
    return "Usage: qvwebserver-cli COMMAND [ARGUMENTS]\n"
           "\n"
           "Commands:\n"
           "  list              show every defined server: group, name, port, state (Run also when\n"
           "                    another process serves it)\n"
           "  run NAME...       serve the named servers until Ctrl-C or SIGTERM\n"
           "  add --name NAME --folder DIR [--port PORT] [--group GROUP] [--page FILE]\n"
           "                    define a new server\n"
           "  edit NAME [--port PORT] [--folder DIR] [--page FILE] [--group GROUP] [--new-name NEW]\n"
           "                    change a server; what is not given stays\n"
           "  remove NAME       delete a server definition\n"
           "  help              show this text\n"
           "\n"
           "add requires --name and --folder. Defaults: --port 8080 (0: a free port chosen at each start),\n"
           "--group None (no group), --page index.html. Each option may be given once.\n"
           "Definitions are kept in user/session.ini beside the executable, shared with the desktop program.\n"
           "Exit codes: 0 done, 2 usage, 3 unknown server, 4 invalid definition, 5 folder missing,\n"
           "6 could not start (port in use), 7 name already defined, 8 a settings file could not be written.\n";
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
        return args.size() == 1 ? listCommand(out, err) : usageError(err, "list takes no arguments");
    }
    if (command == "add") {
        return addCommand(args, out, err);
    }
    if (command == "edit") {
        return editCommand(args, out, err);
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
