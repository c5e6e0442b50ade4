#pragma once

#include <cstdio>
#include <memory>
#include <string_view>

#include "foundation/QvString.h"

class CCPTWorkerWS;

// Where a request target leads: the file to open and the extension that picks its content type.
struct QvTargetMapping {
    QvString filePath;
    QvString extension;
    // True when the target must not be opened at all (it climbs above the base path, names a
    // sibling of the base folder, holds a NUL, a base html page holds "..", or there is no base
    // path): the answer is 404.
    bool refused = false;
};

// Turns one received chunk of a connection into one static-file answer. Embedded in each web
// worker and run on the connection's session thread.
class CPacketMngWSvr {
public:
    // Requests up to this size are copied into the worker's own block instead of a new one; parsing
    // them still allocates (the text conversion).
    static constexpr int kScratchBytes = 1024;
    static constexpr int kStatusOk = 200;
    static constexpr int kStatusBadRequest = 400;
    static constexpr int kStatusNotFound = 404;

    explicit CPacketMngWSvr(CCPTWorkerWS* owner);
    virtual ~CPacketMngWSvr();
    CPacketMngWSvr(const CPacketMngWSvr&) = delete;
    CPacketMngWSvr& operator=(const CPacketMngWSvr&) = delete;

    // Takes everything out of the owner's receive buffer and processes it as one request.
    void processRecvBuffer();
    // Processes one request: sends at most one answer through the owner.
    void processPacketWS(const unsigned char* data, int length);

    // The pure steps, in the order processPacketWS runs them.

    // The target of a "GET <target>" request line (case-sensitive method, the rest of the line and
    // the headers unexamined); false when the request gets no answer.
    static bool parseRequestTarget(std::u16string_view requestText, QvString& target);
    // False once the first bytes of a request rule out a "GET " request line (no answer can come).
    static bool mayBeGetLine(std::string_view head);
    // Maps a target below basePath: "/" is the base html page with extension "html"; any other
    // target loses its query, gets platform separators and is appended to basePath unchanged
    // (no percent-decoding); the extension is the text behind the last "." of the converted target.
    static QvTargetMapping mapRequestTarget(const QvString& target, const QvString& basePath, const QvString& baseHtml);
    // An absolute page path is used as it stands; a relative one is joined to basePath. Either way
    // the page is served only when it lies below the base folder's real path.
    static QvString resolveBaseHtml(const QvString& basePath, const QvString& baseHtml);
    // True when one of the path's segments is "..".
    static bool hasParentSegment(const QvString& path);
    // True when the ".." segments of a converted target climb above where it starts.
    static bool climbsAboveBase(const QvString& convertedTarget);

private:
    void answerRequest(const QvString& target);
    // Sends a 200 answer with the file's bytes (size of them, as found at opening); false when
    // nothing could be read.
    bool sendFileAnswer(std::FILE* file, long long size, const QvString& contentType);

    CCPTWorkerWS* m_owner;
    std::unique_ptr<unsigned char[]> m_scratch;
};
