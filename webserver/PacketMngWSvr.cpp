#include "webserver/PacketMngWSvr.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "commlib/SvrCommLog.h"
#include "foundation/QvAutoCriticalLock.h"
#include "foundation/QvStringArray.h"
#include "platform/FileSystem.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/ContentTypeTable.h"
#include "webserver/HttpResponse.h"
#include "webserver/WebServerInfo.h"

namespace {

// Files up to this size go out in one block behind their header (one send, one copy); larger
// ones stream from the file after the header, so that the memory an answer holds is bounded
// whatever the file's size.
constexpr long long kOneBlockMaxBytes = 64LL * 1024;

constexpr char16_t kSeparatorText[2] = {qvplat::kPathSeparator, u'\0'};

template <class... A>
void httpLog(const char16_t* fmt, const A&... args)
{
    qvsc::writeLogTo(u"http_", fmt, args...);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens a requested file and takes its size: 200 when it is open with at least 1 byte, 400 when
// it would read as 0 bytes (empty), 404 when it cannot be opened (missing, a folder, a FIFO, a
// device: never blocks).
int openRequestedFile(const QvString& path, FileHandle& file, qvplat::OpenedFileInfo& info)
{
    file.reset(qvplat::openRegularFileForRead(path.toStd(), info));
    if (!file) {
        return CPacketMngWSvr::kStatusNotFound;
    }
    return info.size > 0 ? CPacketMngWSvr::kStatusOk : CPacketMngWSvr::kStatusBadRequest;
}

// The base folder's real path, resolved at most once a second per thread (a request must not pay
// for resolving every folder level, and a folder moved meanwhile is caught within a second).
std::u16string realBasePath(const QvString& basePath)
{
    using Clock = std::chrono::steady_clock;
    constexpr auto kValidity = std::chrono::seconds(1);
    thread_local std::u16string t_key;
    thread_local std::u16string t_real;
    thread_local Clock::time_point t_resolved;
    const Clock::time_point now = Clock::now();
    if (t_key != basePath.view() || now - t_resolved > kValidity) {
        t_key = basePath.toStd();
        t_real = qvplat::realPath(t_key);
        t_resolved = now;
    }
    return t_real;
}

// True when the opened file really lies below the base folder, links resolved on both sides: a
// link that leads out of the folder is answered like a target that climbs out of it. The opened
// file itself is checked, so a link swapped after the check cannot lead elsewhere.
// A file found inside is remembered for a second by its path, its identity and the base it was
// checked against: asked for again (as keep-alive clients do), the same path opening the same file
// below the same base needs no second resolution.
bool liesBelowBase(std::FILE* file, const qvplat::OpenedFileInfo& info, const QvString& path, const QvString& basePath)
{
    using Clock = std::chrono::steady_clock;
    thread_local std::u16string t_path;
    thread_local std::u16string t_base;
    thread_local qvplat::OpenedFileInfo t_info;
    thread_local Clock::time_point t_checked;
    const std::u16string base = realBasePath(basePath);
    const Clock::time_point now = Clock::now();
    if (!base.empty() && t_path == path.view() && t_base == base && t_info.device == info.device &&
        t_info.inode == info.inode && now - t_checked < std::chrono::seconds(1)) {
        return true;
    }
    const std::u16string real = qvplat::realPathOfOpenFile(file);
    if (base.empty() || real.empty()) {
        return false;
    }
    const std::size_t length = base.back() == qvplat::kPathSeparator ? base.size() - 1 : base.size();
    const bool inside = real.size() > length + 1 && real.compare(0, length, base, 0, length) == 0 &&
                        real[length] == qvplat::kPathSeparator;
    if (inside) {
        t_path = path.toStd();
        t_base = base;
        t_info = info;
        t_checked = now;
    }
    return inside;
}

bool endsWithSeparator(const QvString& path)
{
    return !path.isEmpty() && path.at(path.length() - 1) == qvplat::kPathSeparator;
}

}  // namespace

CPacketMngWSvr::CPacketMngWSvr(CCPTWorkerWS* owner)
    : m_owner(owner), m_scratch(std::make_unique<unsigned char[]>(kScratchBytes))
{
}

CPacketMngWSvr::~CPacketMngWSvr() = default;

void CPacketMngWSvr::processRecvBuffer()
{
    auto& buffer = m_owner->getRecvBuffer();
    std::unique_ptr<unsigned char[]> allocated;
    unsigned char* block = m_scratch.get();
    int length = 0;
    {
        CQvAutoCriticalLock lock(buffer.criticalSection());
        const std::size_t used = buffer.size();
        if (used > static_cast<std::size_t>(kScratchBytes)) {
            allocated = std::make_unique<unsigned char[]>(used);
            block = allocated.get();
        } else {
            std::memset(block, 0, kScratchBytes);
        }
        length = static_cast<int>(buffer.take(block, used));
    }
    processPacketWS(block, length);
}

void CPacketMngWSvr::processPacketWS(const unsigned char* data, int length)
{
    const int clientId = m_owner->getClientId();
    httpLog(u"ST processPacketWS[CliID=%d][Len=%d]", clientId, length);
    const std::string_view bytes(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    if (CQvLogMng::getInstance()->isEnabled()) {
        qvsc::debug(u"Request >>>>>>\n%s\nRequest <<<<<<", QvString(bytes.data(), length, kCodePageUtf8));
    }
    m_owner->onRecvWorkerData(0, data, length);

    // Only the request line is read; converting the rest of the request would cost every answer.
    const std::size_t lineEnd = std::min(bytes.find("\r\n"), bytes.size());
    const QvString requestLine(bytes.data(), static_cast<int>(lineEnd), kCodePageUtf8);
    QvString target;
    if (parseRequestTarget(requestLine, target)) {
        answerRequest(target);
    }
    httpLog(u"ED processPacketWS[CliID=%d][Len=%d]", clientId, length);
}

void CPacketMngWSvr::answerRequest(const QvString& target)
{
    if (target != u"/") {
        qvsc::debug(u"reqFile: %s", target);
    }
    QvTargetMapping mapping;
    QvString contentType;
    QvString basePath;
    if (_tag_WebServerInfo* info = m_owner->getServerInfo()) {
        // One read of the definition per answer, so that an edit never mixes into it.
        const auto lock = info->readLock();
        basePath = info->basepath;
        mapping = mapRequestTarget(target, info->basepath, info->basehtml);
        contentType = CContentTypeTable::lookupOrDefault(info->contentstype, mapping.extension);
    } else {
        mapping.refused = true;
        contentType = CContentTypeTable::kDefaultContentType;
    }

    int status = kStatusNotFound;
    if (!mapping.refused) {
        FileHandle file;
        qvplat::OpenedFileInfo info;
        status = openRequestedFile(mapping.filePath, file, info);
        // The configured page ("/") may live anywhere; a requested file must lie in the folder.
        if (status != kStatusNotFound && target != u"/" &&
            !liesBelowBase(file.get(), info, mapping.filePath, basePath)) {
            status = kStatusNotFound;
        }
        if (status == kStatusOk) {
            if (sendFileAnswer(file.get(), static_cast<long long>(info.size), contentType)) {
                return;
            }
            status = kStatusBadRequest;  // nothing could be read after all
        }
    }
    std::unique_ptr<unsigned char[]> response;
    const int responseLength = CHttpResponse::buildResponse(status, nullptr, 0, contentType, response);
    m_owner->sendClientData(response.get(), responseLength);
    m_owner->onAnswerSent(status, 0);
}

bool CPacketMngWSvr::sendFileAnswer(std::FILE* file, long long size, const QvString& contentType)
{
    if (size > kOneBlockMaxBytes) {
        // Whatever happens from here is the connection's to handle: a file that shrinks while it
        // is sent ends the connection rather than being answered with bytes it does not hold.
        const std::string header = CHttpResponse::buildHeaderBytes(kStatusOk, contentType, size);
        if (m_owner->sendClientData(reinterpret_cast<const unsigned char*>(header.data()),
                                    static_cast<int>(header.size()))) {
            m_owner->sendClientFile(file, 0, static_cast<std::uint64_t>(size));
        }
        m_owner->onAnswerSent(kStatusOk, size);
        return true;
    }
    // The file is read straight behind the header into the one block that is sent, so that a
    // large answer is copied once on its way from the file to the socket.
    const std::string header = CHttpResponse::buildHeaderBytes(kStatusOk, contentType, static_cast<int>(size));
    const std::size_t capacity = header.size() + static_cast<std::size_t>(size);
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[capacity]);
    if (!block) {
        return false;
    }
    const std::size_t read = std::fread(block.get() + header.size(), 1, static_cast<std::size_t>(size), file);
    if (read == 0) {
        return false;
    }
    std::size_t offset = 0;
    if (read < static_cast<std::size_t>(size)) {
        // The file shrank since its size was taken: announce what was read. The shorter length
        // has no more digits, so its header ends where the body starts.
        const std::string shorter = CHttpResponse::buildHeaderBytes(kStatusOk, contentType, static_cast<int>(read));
        offset = header.size() - shorter.size();
        std::memcpy(block.get() + offset, shorter.data(), shorter.size());
    } else {
        std::memcpy(block.get(), header.data(), header.size());
    }
    m_owner->sendClientData(block.get() + offset, static_cast<int>(header.size() - offset + read));
    m_owner->onAnswerSent(kStatusOk, static_cast<long long>(read));
    return true;
}

bool CPacketMngWSvr::parseRequestTarget(const QvString& requestText, QvString& target)
{
    QvStringArray lines;
    if (lines.split(requestText, u"\r\n") < 1) {
        return false;
    }
    QvStringArray tokens;
    tokens.split(lines[0], u" ");
    if (tokens.size() < 2 || tokens[0] != u"GET") {
        return false;
    }
    target = tokens[1];
    return true;
}

QvString CPacketMngWSvr::resolveBaseHtml(const QvString& basePath, const QvString& baseHtml)
{
    if (baseHtml.find(qvplat::kPathSeparator) >= 0 || basePath.isEmpty()) {
        return baseHtml;
    }
    QvString path = basePath;
    if (!endsWithSeparator(path)) {
        path.append(kSeparatorText);
    }
    path.append(baseHtml);
    return path;
}

bool CPacketMngWSvr::climbsAboveBase(const QvString& convertedTarget)
{
    int depth = 0;
    int start = 0;
    const int length = convertedTarget.length();
    while (start <= length) {
        int end = convertedTarget.find(qvplat::kPathSeparator, start);
        if (end < 0) {
            end = length;
        }
        const QvString segment = convertedTarget.mid(start, end - start);
        if (segment == u"..") {
            if (depth == 0) {
                return true;
            }
            --depth;
        } else if (!segment.isEmpty() && segment != u".") {
            ++depth;
        }
        start = end + 1;
    }
    return false;
}

QvTargetMapping CPacketMngWSvr::mapRequestTarget(const QvString& target, const QvString& basePath,
                                                 const QvString& baseHtml)
{
    QvTargetMapping mapping;
    if (target == u"/") {
        mapping.filePath = resolveBaseHtml(basePath, baseHtml);
        mapping.extension = u"html";
        return mapping;
    }
    QvString converted = target;
    const int query = converted.find(u'?');
    if (query >= 0) {
        converted = converted.mid(0, query);
    }
    if (qvplat::kPathSeparator != u'/') {
        converted.replace(u"/", kSeparatorText);
    }
    const int dot = converted.reverseFind(u'.');
    mapping.extension = dot >= 0 ? converted.mid(dot + 1) : QvString(u"");
    // Appended without a length limit: a cut path could end in a ".." that the checks never saw.
    mapping.filePath = basePath;
    mapping.filePath.append(converted);

    const bool hasNul = converted.view().find(u'\0') != std::u16string_view::npos;
    // "/srv/site" + "2/x" would be "/srv/site2/x", a folder beside the base.
    const bool namesSibling =
        !endsWithSeparator(basePath) && !converted.isEmpty() && converted.at(0) != qvplat::kPathSeparator;
    mapping.refused = basePath.isEmpty() || hasNul || namesSibling || climbsAboveBase(converted);
    return mapping;
}
