#pragma once

#include <string>
#include <vector>

namespace qvplat {

// The IPv4 addresses of this machine's interfaces that are up, loopback left out, as dotted text
// in the system's interface order ("192.168.1.20"). Empty when there are none or the list cannot
// be read. Any thread.
std::vector<std::string> localIPv4Addresses();

}  // namespace qvplat
