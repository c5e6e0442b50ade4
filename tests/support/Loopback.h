#pragma once

#include <string>

// Loopback helpers for tests that talk to a real server on 127.0.0.1.
namespace loopback {

// A TCP port that was free a moment ago (bound on port 0, read back, released).
int findFreePort();

// Sends request bytes to 127.0.0.1:port and returns everything received until the server
// closes the connection or timeoutMs pass. Empty when the connection failed.
std::string exchange(int port, const std::string& request, int timeoutMs = 5000);

// "GET target HTTP/1.1" with a Host line; returns the raw answer.
std::string httpGet(int port, const std::string& target, int timeoutMs = 5000);

// The body of a raw HTTP answer (after the first empty line).
std::string bodyOf(const std::string& answer);

}  // namespace loopback
