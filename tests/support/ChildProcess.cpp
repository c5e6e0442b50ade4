#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "Loopback.h"
#include "TempDir.h"

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& outputFile)
{
    m_outputFile = outputFile;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};  // execvp changes none of them
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    // Opened and emptied before the child exists, so waitForOutput never sees what an earlier run left there.
    const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    const int pid = ::fork();
    if (pid == 0) {
        ::dup2(output, 1);
        ::dup2(output, 2);
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        // The child must not inherit a blocked signal mask from the test's threads.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // A test process that dies (an abort, a crash) takes its servers with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::execvp(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (output >= 0) {
        ::close(output);
    }
    if (pid < 0) {
        return false;
    }
    m_pid = pid;
    return true;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) const
{
    return qvtest::waitUntil([&] { return output().find(text) != std::string::npos; }, timeoutMs);
}

void ChildProcess::signal(int signalNumber)
{
    if (m_pid > 0) {
        ::kill(m_pid, signalNumber);
    }
}

int ChildProcess::wait(int timeoutMs)
{
    if (m_pid <= 0) {
        return -1;
    }
    int status = 0;
    if (!qvtest::waitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeoutMs)) {
        return -1;
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ChildProcess::output() const
{
    return TempDir::read(m_outputFile);
}

int ChildProcess::run(const std::string& program, const std::vector<std::string>& args, std::string& output,
                      int timeoutMs)
{
    TempDir scratch("qvchild");
    ChildProcess child;
    const std::string file = (scratch.path() / "output.txt").string();
    if (!child.start(program, args, file)) {
        return -1;
    }
    const int code = child.wait(timeoutMs);
    output = child.output();
    return code;
}

double ChildProcess::cpuSeconds(int pid)
{
    const std::string stat = TempDir::read("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 2));  // from field 3 on
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    double user = 0;
    double system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
