#include "webserver/PacketMngWSvr.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "commlib/SessionWaker.h"
#include "commlib/SvrCommLog.h"
#include "foundation/QvAutoCriticalLock.h"
#include "foundation/QvCodePage.h"
#include "platform/FileSystem.h"
#include "platform/Limits.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/ContentTypeTable.h"
#include "webserver/HttpResponse.h"
#include "webserver/WebServerInfo.h"

using namespace std::string_view_literals;

namespace {

// Files up to this size go out in one block behind their header (one send, one copy); larger
// ones stream from the file after the header, so that the memory an answer holds is bounded
// whatever the file's size.
constexpr long long kOneBlockMaxBytes = 64LL * 1024;
// Answers up to this size are put together on the stack.
constexpr std::size_t kStackBlockBytes = std::size_t{8} * 1024;

using Clock = std::chrono::steady_clock;

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
    const std::u16string name = path.toStd();
    file.reset(qvplat::openRegularFileForRead(name, info));
    if (!file && qvplat::isOutOfDescriptors(qvplat::lastFileError()) &&
        CSessionWaker::getInstance()->reclaimSilent() > 0) {
        // Connections that never spoke held the last descriptors: this client, being answered,
        // goes first.
        file.reset(qvplat::openRegularFileForRead(name, info));
    }
    if (!file) {
        return CPacketMngWSvr::kStatusNotFound;
    }
    return info.size > 0 ? CPacketMngWSvr::kStatusOk : CPacketMngWSvr::kStatusBadRequest;
}

// What answers found out about paths lately, shared by every session thread: resolving the base
// folder's every level, or an opened file's real path, for each request would cost every answer.
// (Not thread_local: a thread's first use of such a variable needs memory, and when there is none
// the C library ends the whole process.)
class ResolvedPaths {
public:
    // A folder moved (or a link changed) meanwhile is caught within this time.
    static constexpr auto kValidity = std::chrono::seconds(1);
    static constexpr std::size_t kMaxBases = 16;  // base folders remembered: one per running server, normally
    static constexpr std::size_t kMaxFiles = 32;  // files found inside: the ones asked for again and again

    // The base folder's real path; empty when it cannot be resolved.
    std::u16string realBase(const QvString& basePath)
    {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard lock(m_mutex);
            for (const BaseEntry& entry : m_bases) {
                if (entry.key == basePath.view() && now - entry.at <= kValidity) {
                    return entry.real;
                }
            }
        }
        BaseEntry entry{basePath.toStd(), {}, now};
        entry.real = qvplat::realPath(entry.key);  // outside the lock: it walks the file system
        std::u16string real = entry.real;
        if (!real.empty()) {  // a failure (no memory, say) is not remembered for a second
            std::lock_guard lock(m_mutex);
            remember(m_bases, kMaxBases, std::move(entry));
        }
        return real;
    }

    // True when this path opened this very file (device and inode; any file when info is null)
    // below this base within the validity: asked for again, as keep-alive clients do, it needs
    // no second resolution.
    bool isKnownInside(const QvString& path, const std::u16string& base, const qvplat::OpenedFileInfo* info)
    {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(m_mutex);
        for (const FileEntry& entry : m_files) {
            if (entry.key == path.view() && entry.base == base && now - entry.at <= kValidity &&
                (info == nullptr || (entry.device == info->device && entry.inode == info->inode))) {
                return true;
            }
        }
        return false;
    }

    void rememberInside(const QvString& path, const std::u16string& base, const qvplat::OpenedFileInfo& info)
    {
        FileEntry entry{path.toStd(), base, info.device, info.inode, Clock::now()};
        std::lock_guard lock(m_mutex);
        remember(m_files, kMaxFiles, std::move(entry));
    }

private:
    struct BaseEntry {
        std::u16string key;
        std::u16string real;
        Clock::time_point at;
    };
    struct FileEntry {
        std::u16string key;
        std::u16string base;
        std::uint64_t device;
        std::uint64_t inode;
        Clock::time_point at;
    };

    // Replaces the entry of the same key, else the oldest once the table is full.
    template <class Entry>
    static void remember(std::vector<Entry>& entries, std::size_t maxEntries, Entry entry)
    {
        auto slot = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.key == entry.key; });
        if (slot == entries.end() && entries.size() < maxEntries) {
            entries.push_back(std::move(entry));
            return;
        }
        if (slot == entries.end()) {
            slot = std::min_element(entries.begin(), entries.end(),
                                    [](const Entry& a, const Entry& b) { return a.at < b.at; });
        }
        *slot = std::move(entry);
    }

    std::mutex m_mutex;
    std::vector<BaseEntry> m_bases;
    std::vector<FileEntry> m_files;
};

ResolvedPaths& resolvedPaths()
{
    // Never destroyed: a session thread may still answer while the process ends.
    static ResolvedPaths* s_paths = new ResolvedPaths();
    return *s_paths;
}

bool isBelow(const std::u16string& real, const std::u16string& base)
{
    const std::size_t length = base.back() == qvplat::kPathSeparator ? base.size() - 1 : base.size();
    return real.size() > length + 1 && real.compare(0, length, base, 0, length) == 0 &&
           real[length] == qvplat::kPathSeparator;
}

// Before the open: true when the path, links resolved, lies below the base folder (or did within
// the last second), so that a link leading out of the folder is not even opened.
bool pathLiesBelowBase(const QvString& path, const QvString& basePath)
{
    ResolvedPaths& paths = resolvedPaths();
    const std::u16string base = paths.realBase(basePath);
    if (base.empty()) {
        return false;
    }
    return paths.isKnownInside(path, base, nullptr) || isBelow(qvplat::realPath(path.toStd()), base);
}

// After the open: true when the opened file really lies below the base folder, links resolved on
// both sides: a link that leads out of the folder is answered like a target that climbs out of
// it. The opened file itself is checked, so a link swapped since the check before the open
// cannot lead elsewhere.
bool liesBelowBase(std::FILE* file, const qvplat::OpenedFileInfo& info, const QvString& path, const QvString& basePath)
{
    ResolvedPaths& paths = resolvedPaths();
    const std::u16string base = paths.realBase(basePath);
    if (base.empty()) {
        return false;
    }
    if (paths.isKnownInside(path, base, &info)) {
        return true;
    }
    const bool inside = isBelow(qvplat::realPathOfOpenFile(file), base);
    if (inside) {
        paths.rememberInside(path, base, info);
    }
    return inside;
}

// Whether test holds for one of path's segments (the pieces between separators, empty ones
// included), in order; stops at the first that does.
template <class Test>
bool anySegment(std::u16string_view path, Test test)
{
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find(qvplat::kPathSeparator, start), path.size());
        if (test(path.substr(start, end - start))) {
            return true;
        }
        start = end + 1;
    }
    return false;
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
    const std::u16string requestLine = qvDecodeBytes(bytes.substr(0, lineEnd), kCodePageUtf8);
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
        status = pathLiesBelowBase(mapping.filePath, basePath) ? openRequestedFile(mapping.filePath, file, info)
                                                               : kStatusNotFound;
        // The default page too: a link named index.html must not lead out of the folder.
        if (status != kStatusNotFound && !liesBelowBase(file.get(), info, mapping.filePath, basePath)) {
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
        m_owner->sendClientHeadAndFile(reinterpret_cast<const unsigned char*>(header.data()),
                                       static_cast<int>(header.size()), file, 0, static_cast<std::uint64_t>(size));
        m_owner->onAnswerSent(kStatusOk, size);
        return true;
    }
    // The file is read straight behind the header into the one block that is sent, so that a
    // large answer is copied once on its way from the file to the socket.
    const std::string header = CHttpResponse::buildHeaderBytes(kStatusOk, contentType, static_cast<int>(size));
    const std::size_t capacity = header.size() + static_cast<std::size_t>(size);
    // A small answer (most are) is put together on the stack: no allocation per request. The
    // session copies what the socket does not take at once.
    std::array<unsigned char, kStackBlockBytes> onStack;
    std::unique_ptr<unsigned char[]> onHeap;
    unsigned char* block = onStack.data();
    if (capacity > onStack.size()) {
        onHeap.reset(new (std::nothrow) unsigned char[capacity]);
        if (!onHeap) {
            return false;
        }
        block = onHeap.get();
    }
    const std::size_t read = std::fread(block + header.size(), 1, static_cast<std::size_t>(size), file);
    if (read == 0) {
        return false;
    }
    std::size_t offset = 0;
    if (read < static_cast<std::size_t>(size)) {
        // The file shrank since its size was taken: announce what was read. The shorter length
        // has no more digits, so its header ends where the body starts.
        const std::string shorter = CHttpResponse::buildHeaderBytes(kStatusOk, contentType, static_cast<int>(read));
        offset = header.size() - shorter.size();
        std::copy(shorter.begin(), shorter.end(), block + offset);
    } else {
        std::copy(header.begin(), header.end(), block);
    }
    m_owner->sendClientData(block + offset, static_cast<int>(header.size() - offset + read));
    m_owner->onAnswerSent(kStatusOk, static_cast<long long>(read));
    return true;
}

bool CPacketMngWSvr::parseRequestTarget(std::u16string_view requestText, QvString& target)
{
    // Split in place, as the request is split at "\r\n" into lines and the first line at " "
    // into tokens (two adjacent blanks give an empty token, a blank at the end no token): no
    // copies of the pieces, one string for the target.
    const std::u16string_view line = requestText.substr(0, requestText.find(u"\r\n"));
    const std::size_t blank = line.find(u' ');
    if (blank == std::u16string_view::npos || line.substr(0, blank) != u"GET"sv || blank + 1 == line.size()) {
        return false;
    }
    const std::u16string_view rest = line.substr(blank + 1);
    target = QvString(rest.substr(0, rest.find(u' ')));
    return true;
}

bool CPacketMngWSvr::mayBeGetLine(std::string_view head)
{
    constexpr std::string_view kGet = "GET ";
    const std::size_t count = std::min(head.size(), kGet.size());
    return head.substr(0, count) == kGet.substr(0, count);
}

QvString CPacketMngWSvr::resolveBaseHtml(const QvString& basePath, const QvString& baseHtml)
{
    // Relative to the base path, never to the process's working folder.
    if ((!baseHtml.isEmpty() && baseHtml.at(0) == qvplat::kPathSeparator) || basePath.isEmpty()) {
        return baseHtml;
    }
    QvString path = basePath;
    if (!endsWithSeparator(path)) {
        path.append(kSeparatorText);
    }
    path.append(baseHtml);
    return path;
}

bool CPacketMngWSvr::hasParentSegment(const QvString& path)
{
    return anySegment(path.view(), [](std::u16string_view segment) { return segment == u".."sv; });
}

bool CPacketMngWSvr::climbsAboveBase(const QvString& convertedTarget)
{
    int depth = 0;
    return anySegment(convertedTarget.view(), [&depth](std::u16string_view segment) {
        if (segment == u".."sv) {
            return depth-- == 0;
        }
        if (!segment.empty() && segment != u"."sv) {
            ++depth;
        }
        return false;
    });
}

QvTargetMapping CPacketMngWSvr::mapRequestTarget(const QvString& target, const QvString& basePath,
                                                 const QvString& baseHtml)
{
    QvTargetMapping mapping;
    if (target == u"/") {
        mapping.filePath = resolveBaseHtml(basePath, baseHtml);
        mapping.extension = u"html";
        // Where the page may lie is checked on the opened file (below the base folder's real
        // path); a ".." is refused before anything is opened.
        mapping.refused = basePath.isEmpty() || hasParentSegment(baseHtml) ||
                          baseHtml.view().find(u'\0') != std::u16string_view::npos;
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
