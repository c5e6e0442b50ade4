#include "Loopback.h"

#include <filesystem>
#include <iterator>
#include <thread>

namespace qvtest {
namespace {

// One receive into buffer, waiting until deadline: the byte count, 0 at the peer's orderly close, -1
// when the read failed, -2 at the deadline.
long receive(qvplat::SocketHandle socket, Clock::time_point deadline, std::string& buffer)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = left > 0 ? qvplat::waitReadable(socket, static_cast<int>(left)) : 0;
    return ready == 0 ? -2 : ready < 0 ? -1 : qvplat::recvSome(socket, buffer.data(), buffer.size());
}

std::size_t contentLength(const std::string& header)
{
    const std::string key = "\r\nContent-Length: ";
    const std::size_t at = header.find(key);
    return at == std::string::npos ? 0 : static_cast<std::size_t>(std::stoul(header.substr(at + key.size())));
}

}  // namespace

std::string patternBytes(std::size_t n)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(i * 31 + i / 4093);
    }
    return bytes;
}

std::size_t countEntries(const std::string& folder)
{
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

Listener::Listener()
{
    qvplat::AddrInfo info;
    if (qvplat::resolvePassive(0, info).failed() || qvplat::createSocket(info, m_socket).failed()) {
        return;
    }
    if (qvplat::bindSocket(m_socket, info).failed() || qvplat::listenSocket(m_socket).failed()) {
        qvplat::closeSocket(m_socket);
        m_socket = qvplat::kInvalidSocket;
        return;
    }
    m_port = qvplat::localPort(m_socket);
}

Listener::~Listener()
{
    if (m_socket != qvplat::kInvalidSocket) {
        qvplat::closeSocket(m_socket);
    }
}

qvplat::SocketHandle Listener::accept(int timeoutMs) const
{
    if (qvplat::waitReadable(m_socket, timeoutMs) != 1) {
        return qvplat::kInvalidSocket;
    }
    return qvplat::acceptSocket(m_socket);
}

bool RawClient::connect(int port)
{
    close();
    m_socket = qvplat::connectLoopback(port, 5000);
    return isConnected();
}

void RawClient::close()
{
    if (m_socket != qvplat::kInvalidSocket) {
        qvplat::closeSocket(m_socket);
        m_socket = qvplat::kInvalidSocket;
    }
}

bool sendAll(qvplat::SocketHandle socket, const std::string& bytes, int timeoutMs)
{
    std::size_t offset = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (offset < bytes.size()) {
        const long n = qvplat::sendSome(socket, bytes.data() + offset, bytes.size() - offset);
        if (n > 0) {
            offset += static_cast<std::size_t>(n);
            continue;
        }
        if ((n < 0 && qvplat::lastSendError() != qvplat::SendError::WouldBlock) || Clock::now() >= deadline) {
            return false;
        }
        qvplat::waitWritable(socket, 100);
    }
    return true;
}

ReadResult RawClient::readToEnd(int timeoutMs, std::size_t maxBytes) const
{
    ReadResult result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string buffer(65536, '\0');
    while (result.bytes.size() < maxBytes) {
        const long n = receive(m_socket, deadline, buffer);
        if (n <= 0) {
            result.closed = n == 0;
            result.reset = n == -1;
            break;
        }
        result.bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return result;
}

std::string RawClient::readHttpAnswer(int timeoutMs) const
{
    std::string bytes;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string buffer(65536, '\0');
    for (;;) {
        const std::size_t headerEnd = bytes.find("\r\n\r\n");
        if (headerEnd != std::string::npos) {
            const std::size_t total = headerEnd + 4 + contentLength(bytes.substr(0, headerEnd));
            if (bytes.size() >= total) {
                m_pending = bytes.substr(total);
                return bytes.substr(0, total);
            }
        }
        const long n = receive(m_socket, deadline, buffer);
        if (n <= 0) {
            return {};
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

bool makeConnectedPair(const Listener& listener, ConnectedPair& pair)
{
    if (!pair.client.connect(listener.port())) {
        return false;
    }
    pair.server = listener.accept();
    return pair.server != qvplat::kInvalidSocket;
}

}  // namespace qvtest

namespace loopback {

std::string httpGet(int port, const std::string& target, int timeoutMs)
{
    qvtest::RawClient client(port);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    return client.isConnected() && client.sendAll(request, timeoutMs) ? client.readToEnd(timeoutMs).bytes : "";
}

std::string bodyOf(const std::string& answer)
{
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace loopback
