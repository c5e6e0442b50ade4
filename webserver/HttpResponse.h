#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "foundation/QvString.h"

// Builds the complete bytes of one HTTP/1.1 answer: a fixed set of header lines in a fixed order,
// UTF-8 encoded, then the body.
class CHttpResponse {
public:
    // The Date line's template (local time, English names, no time zone).
    static constexpr const char16_t* kDateTemplate = u"DD, D0 MM YYYY hh:mm:ss";

    // "OK", "Bad Request", "Not Found", "Unsupported Media Type"; empty for any other status.
    static const char16_t* reasonText(int status);

    // The present local time as the Date line shows it, UTF-8.
    static std::string makeDateBytes();

    // The header as the bytes that go on the wire (UTF-8, no terminating NUL): status line, Date,
    // Server, Connection, Content-Type and, when bodyLength is not 0, Content-Length, joined by CRLF
    // and ended by an empty line.
    static std::string buildHeaderBytes(int status, const QvString& contentType, long long bodyLength,
                                        std::string_view dateBytes);
    // The same with the present time; also written to the debug output.
    static std::string buildHeaderBytes(int status, const QvString& contentType, long long bodyLength);

    // The whole answer (header bytes, then the body bytes) in one newly allocated block, which
    // out receives; returns its length. body may be null when bodyLength is 0.
    static int buildResponse(int status, const unsigned char* body, int bodyLength, const QvString& contentType,
                             std::unique_ptr<unsigned char[]>& out);
};
