#pragma once

#include <string>
#include <vector>

// A program started by a test, with its standard output and error captured to files.
// The destructor kills and reaps it if it still runs, so no test leaves a process behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with args; output goes to outputFile (stdout and stderr together).
    bool start(const std::string& program, const std::vector<std::string>& args, const std::string& outputFile);
    // Waits up to timeoutMs for text to appear in the output; true when it did.
    bool waitForOutput(const std::string& text, int timeoutMs) const;
    // Sends a signal (SIGTERM by default).
    void signal(int signalNumber = 15);
    // Waits up to timeoutMs for the exit; the exit code, or -1 on time-out or a signal death.
    int wait(int timeoutMs);
    bool isRunning() const { return m_pid > 0; }
    int pid() const { return m_pid; }
    std::string output() const;

    // The processor time (user + system) process pid has used so far, from /proc; 0 when it is gone.
    static double cpuSeconds(int pid);

    // Runs a program to completion (bounded by timeoutMs) and returns its exit code and output.
    static int run(const std::string& program, const std::vector<std::string>& args, std::string& output,
                   int timeoutMs = 30000);

private:
    int m_pid = -1;
    std::string m_outputFile;
};
