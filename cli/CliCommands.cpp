#include "cli/CliCommands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>

#include "cli/ServeCommand.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "platform/Signals.h"
#include "platform/Version.h"
#include "registry/QvServerHost.h"
#include "webserver/AccessLog.h"
#include "webserver/AccessLogWriter.h"
#include "webserver/WebServerInfo.h"

namespace qvcli {
namespace {

constexpr const char* kLogOption = "--log";  // run, serve: the access log on standard error

std::string s_programName = "qvwebserver-cli";

struct Command;
const Command* s_command = nullptr;  // the command being run, whose usage a usage error shows
std::string commandUsage(const Command& command);

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
    err << s_programName << ": " << message << "\n\n"
        << (s_command != nullptr ? commandUsage(*s_command) : usageText());
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

// flags are options without a value (stored with an empty one).
bool parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& allowed, Arguments& out,
                    std::string& error, const std::vector<std::string>& flags = {})
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
        if (std::find(flags.begin(), flags.end(), word) != flags.end()) {
            if (!out.options.emplace(word, std::string()).second) {
                error = "option " + word + " given more than once";
                return false;
            }
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
        out << "No servers are defined. Add one with: " << s_programName
            << " add --name NAME --folder DIR [--port PORT]\n";
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

// With on, every answer of this process goes to standard error as one access-log line while it lives.
class AccessLogScope {
public:
    explicit AccessLogScope(bool on)
    {
        if (on) {
            CQvAccessLog::setSink(std::make_shared<CQvAccessLogWriter>(stderr));
        }
    }
    ~AccessLogScope() { CQvAccessLog::setSink(nullptr); }
    AccessLogScope(const AccessLogScope&) = delete;
    AccessLogScope& operator=(const AccessLogScope&) = delete;
};

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

int runServersCommand(const std::vector<std::string>& words, std::ostream& out, std::ostream& err)
{
    std::vector<std::string> args;
    bool accessLog = false;
    for (const std::string& word : words) {
        if (word == kLogOption) {
            if (accessLog) {
                return usageError(err, "option --log given more than once");
            }
            accessLog = true;
        } else if (word.rfind("--", 0) == 0) {
            return usageError(err, "unknown option " + word);
        } else {
            args.push_back(word);
        }
    }
    if (args.size() < 2) {
        return usageError(err, "run needs at least one server name");
    }
    const AccessLogScope accessLogScope(accessLog);  // outlives the session, whose end ends the connections
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
            err << "Choose another port with: " << s_programName << " edit " << args[i] << " --port "
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

int serveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Arguments arguments;
    std::string error;
    if (!parseArguments(args, {"--port", "--page"}, arguments, error, {kLogOption})) {
        return usageError(err, error);
    }
    if (arguments.words.size() > 1) {
        return usageError(err, "serve takes at most one folder");
    }
    ServeOptions options;
    if (!arguments.words.empty()) {
        options.folder = arguments.words[0];
    }
    if (const std::string* port = arguments.option("--port")) {
        if (!parsePort(*port, options.port)) {
            err << "Port must be a number: " << *port << '\n';
            return kExitInvalid;
        }
        options.portGiven = true;
    }
    if (const std::string* page = arguments.option("--page")) {
        options.page = *page;
    }
    options.accessLog = arguments.option(kLogOption) != nullptr;
    return serveFolder(options, out, err);
}

int listCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    return args.size() == 1 ? listCommand(out, err) : usageError(err, "list takes no arguments");
}

// One command: how it is called, what it does, and what runs it.
struct Command {
    const char* name;
    const char* synopsis;  // the arguments after the name
    const char* summary;   // one line of the overview
    const char* details;   // the rest of its own usage text
    int (*run)(const std::vector<std::string>&, std::ostream&, std::ostream&);
};

const Command kCommands[] = {
    {"list", "", "show every defined server: group, name, port, state",
     "The state is Run also while another process serves the server. Two definitions that share a port\n"
     "are named on standard error.\n",
     listCommandLine},
    {"run", "NAME... [--log]", "serve the named servers until Ctrl-C or SIGTERM",
     "Serves on every IPv4 interface and prints the addresses. --log writes one line per answer to\n"
     "standard error, in the common log format.\n",
     runServersCommand},
    {"serve", "[FOLDER] [--port PORT] [--page FILE] [--log]", "serve a folder now, storing nothing",
     "Serves FOLDER (default: the current folder) until Ctrl-C or SIGTERM with the shipped content-type\n"
     "table. --port defaults to 8080, and to the next free port when 8080 is taken (0: any free port);\n"
     "--page, the page for \"/\", to index.html. No definition, settings file or folder is made.\n"
     "--log writes one line per answer to standard error, in the common log format.\n",
     serveCommand},
    {"add", "--name NAME --folder DIR [--port PORT] [--group GROUP] [--page FILE]", "define a new server",
     "--name and --folder are required. Defaults: --port 8080 (0: a free port chosen at each start),\n"
     "--group None (no group), --page index.html. Each option may be given once.\n",
     addCommand},
    {"edit", "NAME [--port PORT] [--folder DIR] [--page FILE] [--group GROUP] [--new-name NEW]", "change a server",
     "What is not given stays as it is. Each option may be given once.\n", editCommand},
    {"remove", "NAME", "delete a server definition", "", removeCommand},
};

const Command* findCommand(const std::string& name)
{
    for (const Command& command : kCommands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

// "--option=value" is "--option value"; a flag with a value stays whole, an unknown option.
std::vector<std::string> splitOptionValues(const std::vector<std::string>& args)
{
    std::vector<std::string> words;
    for (const std::string& arg : args) {
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos && arg.compare(0, equals, kLogOption) != 0) {
            words.push_back(arg.substr(0, equals));
            words.push_back(arg.substr(equals + 1));
        } else {
            words.push_back(arg);
        }
    }
    return words;
}

// Where this process keeps the definitions (beside the executable, or the XDG folder).
std::string settingsFile()
{
    const QvString folder = CQvDirMng::getInstance()->getDirPath(u"user");
    return folder.isEmpty() ? std::string("user/session.ini beside the executable") : folder.toUtf8() + "/session.ini";
}

// The command's name and arguments, as typed.
std::string callOf(const Command& command)
{
    return *command.synopsis == '\0' ? std::string(command.name) : std::string(command.name) + ' ' + command.synopsis;
}

std::string commandUsage(const Command& command)
{
    std::string summary = command.summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    return "Usage: " + s_programName + ' ' + callOf(command) + "\n\n" + summary + ".\n" + command.details +
           "Options take their value as \"--port 8081\" or \"--port=8081\".\n";
}

}  // namespace

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

void setProgramName(const std::string& name)
{
    if (!name.empty()) {
        s_programName = name;
    }
}

std::string usageText()
{
    std::string text = "Usage: " + s_programName + " COMMAND [ARGUMENTS]\n" + "       " + s_programName +
                       " help COMMAND | COMMAND --help | --version\n\nCommands:\n";
    for (const Command& command : kCommands) {
        text += "  " + callOf(command) + "\n      " + command.summary + "\n";
    }
    text +=
        "  help [COMMAND]\n      show this text, or the command's own\n\n"
        "Options take their value as \"--port 8081\" or \"--port=8081\".\n"
        "Definitions are kept in " +
        settingsFile() +
        ", shared with the desktop program.\n"
        "Exit codes: 0 done, 2 usage, 3 unknown server, 4 invalid definition, 5 folder missing,\n"
        "6 could not start (port in use), 7 name already defined, 8 a settings file could not be written.\n";
    return text;
}

int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        return usageError(err, "no command given");
    }
    const std::vector<std::string> words = splitOptionValues(args);
    const std::string& name = words[0];
    if (name == "--version" || name == "-V") {
        out << "qvwebserver-cli " << QvString(qvplat::getProductVersion()).toUtf8() << '\n';
        return kExitOk;
    }
    if (name == "help" || name == "--help" || name == "-h") {
        if (words.size() == 1) {
            out << usageText();
            return kExitOk;
        }
        const Command* command = findCommand(words[1]);
        if (command == nullptr || words.size() > 2) {
            return usageError(err, "no help on " + words[1]);
        }
        out << commandUsage(*command);
        return kExitOk;
    }
    const Command* command = findCommand(name);
    if (command == nullptr) {
        return usageError(err, "unknown command " + name);
    }
    if (std::any_of(words.begin() + 1, words.end(), [](const std::string& w) { return w == "--help" || w == "-h"; })) {
        out << commandUsage(*command);
        return kExitOk;
    }
    s_command = command;
    const int code = command->run(words, out, err);
    s_command = nullptr;
    return code;
}

}  // namespace qvcli
