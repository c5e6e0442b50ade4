// An HTTP answer (headers, empty line, body) through the client connection's header analysis, body
// read and decoding. The first byte chooses the piece size of the body (low 7 bits, 0 = one piece) and
// whether the request was a GET (high bit), which adds the closing-tag check.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "httpclient/QvHttpConnection.h"
#include "httpclient/QvHttpWorkItem.h"

namespace {

bool checkProgress(QvHttpWorkItem*, double percent)
{
    QV_FUZZ_CHECK(!std::isnan(percent) && percent >= 0.0);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const size_t piece = data[0] & 0x7F;
    const bool isGet = (data[0] & 0x80) != 0;
    const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t end = answer.find("\r\n\r\n");
    const std::string headers = end == std::string::npos ? answer : answer.substr(0, end + 4);
    const std::string body = end == std::string::npos ? std::string() : answer.substr(end + 4);

    QvHttpWorkItem owner(0);  // no callback: progress reaches the hook only
    QvHttpConnection connection(QvString(u"http://127.0.0.1/"), &owner);
    connection.setProgressHook(&checkProgress);
    const int32_t result = connection.receiveAnswerForTesting(headers, body, piece, isGet);
    QV_FUZZ_CHECK(result == 1 || result == 0);
    QV_FUZZ_CHECK(connection.getContentLength() >= 0);
    // Every byte is kept, unchanged; the text never has more units than the body has bytes.
    QV_FUZZ_CHECK(connection.getResponseLength() == body.size());
    QV_FUZZ_CHECK(body.empty() || std::memcmp(connection.getResponseBytes(), body.data(), body.size()) == 0);
    QV_FUZZ_CHECK(static_cast<size_t>(connection.getResponseText().length()) <= body.size());
    if (result == 0) {
        QV_FUZZ_CHECK(isGet);
    }
    return 0;
}
