// Measures a setup-file download as the update check makes it: streamed by the HTTP client into a
// private folder, with the size cap raised to the file's size. A loopback server of its own sends
// 2 GiB + 1 byte (or the size given) of a known pattern; the bench checks the stored file byte for
// byte and prints the time and the peak resident memory above the idle process's.
//   update_bench [bytes]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "httpclient/QvHttpClient.h"
#include "httpclient/QvHttpConnection.h"
#include "platform/FileSystem.h"

namespace {

constexpr uint64_t kDefaultBytes = (uint64_t(1) << 31) + 1;
constexpr size_t kBlockBytes = 1 << 20;

// The byte at offset of the pattern: changes within a block and from block to block.
unsigned char patternByte(uint64_t offset)
{
    return static_cast<unsigned char>(offset * 31 + offset / kBlockBytes);
}

void fillPattern(std::vector<unsigned char>& block, uint64_t offset, size_t count)
{
    block.resize(count);
    for (size_t i = 0; i < count; ++i) {
        block[i] = patternByte(offset + i);
    }
}

// A value of /proc/self/status in kB ("VmRSS", "VmHWM").
long statusKb(const std::string& name)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::atol(line.c_str() + name.size() + 1);
        }
    }
    return -1;
}

// Serves one GET with bytes of the pattern and a Content-Length, then closes.
void serveOnce(int listener, uint64_t bytes)
{
    const int peer = ::accept(listener, nullptr, nullptr);
    if (peer < 0) {
        return;
    }
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(peer);
            return;
        }
        request.append(buffer, size_t(n));
    }
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(bytes) +
        "\r\nConnection: close\r\n\r\n";
    ::send(peer, head.data(), head.size(), MSG_NOSIGNAL);
    std::vector<unsigned char> block;
    for (uint64_t sent = 0; sent < bytes;) {
        fillPattern(block, sent, size_t(std::min<uint64_t>(kBlockBytes, bytes - sent)));
        size_t at = 0;
        while (at < block.size()) {
            const ssize_t n = ::send(peer, block.data() + at, block.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                ::close(peer);
                return;
            }
            at += size_t(n);
        }
        sent += block.size();
    }
    ::close(peer);
}

struct Outcome {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool stored = false;

    static int callback(void* context, int32_t, int32_t, const char16_t*, int32_t, int32_t step, const unsigned char*,
                        uint32_t, const void* result, int32_t)
    {
        if (step != 0) {
            return 0;
        }
        auto* self = static_cast<Outcome*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->finished = true;
        self->stored = result != nullptr;
        self->done.notify_all();
        return 0;
    }
};

// True when the file holds exactly bytes bytes of the pattern.
bool holdsPattern(const std::string& path, uint64_t bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(kBlockBytes);
    std::vector<unsigned char> expected;
    uint64_t offset = 0;
    while (in.read(block.data(), std::streamsize(block.size())) || in.gcount() > 0) {
        const size_t count = size_t(in.gcount());
        fillPattern(expected, offset, count);
        if (std::memcmp(block.data(), expected.data(), count) != 0) {
            return false;
        }
        offset += count;
    }
    return offset == bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    const uint64_t bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : kDefaultBytes;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("update_bench: listen");
        return 1;
    }
    const std::u16string folder = qvplat::makePrivateDirectory(u"/tmp", u"update_bench-");
    if (folder.empty()) {
        std::perror("update_bench: private folder");
        return 1;
    }
    const QvString target = QvString(folder + u"/setup.bin");

    QvHttpClient& client = QvHttpClient::getInstance();
    client.addSession(QvHttpClient::kSessionDownloads,
                      QvString::fromUtf8("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port))));
    QvHttpClient::setDownloadCallback(&Outcome::callback);
    std::thread server(serveOnce, listener, bytes);

    // The idle process: client, pool and server thread running, nothing downloaded yet. Writing 5 to
    // clear_refs starts the peak (VmHWM) afresh from here.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long idleKb = statusKb("VmRSS");
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    client.downloadToFile(QvString(u"setup.bin"), QvHttpFileTarget{target, bytes, 0}, &outcome);
    {
        std::unique_lock<std::mutex> lock(outcome.mutex);
        outcome.done.wait(lock, [&] { return outcome.finished; });
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peakKb = statusKb("VmHWM");
    server.join();
    ::close(listener);

    const bool exact = outcome.stored && holdsPattern(target.toUtf8(), bytes);
    std::printf("update_bench: %llu bytes in %.1f s (%.0f MB/s), stored %s\n", static_cast<unsigned long long>(bytes),
                seconds, double(bytes) / seconds / 1e6, exact ? "exactly" : "NOT EXACTLY");
    std::printf("update_bench: resident memory idle %.1f MiB, peak %.1f MiB, peak above idle %.1f MiB (limit 64)\n",
                idleKb / 1024.0, peakKb / 1024.0, (peakKb - idleKb) / 1024.0);
    qvplat::removeFile(target.toStd());
    qvplat::removeDirectory(folder);
    QvHttpClient::releaseInstance();
    return exact && peakKb - idleKb < 64 * 1024 ? 0 : 1;
}
