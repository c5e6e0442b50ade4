// One received chunk through the web server's request processor, over a fixed temporary base folder.
// Every file the processor tries to open must lie below the base folder's real path: the link-time
// wrap of qvplat::openRegularFileForRead (see CMakeLists.txt) checks each path before the real open.
// No answer may carry the marker that every file outside the base folder holds.
//
//   <tmp>/secret.txt, <tmp>/site-other/secret.txt          outside (the second shares the prefix)
//   <tmp>/site/index.html, sub/page.txt, inner -> sub       the base folder, a link that stays inside
//   <tmp>/site/out -> ..                                    a link that leads out

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/WebServerInfo.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSecret = "QV-FUZZ-SECRET";

std::unique_ptr<TempDir> s_root;  // removed when the process ends
std::string s_realBase;

// Answers are kept instead of sent.
class CapturingWorker : public CCPTWorkerWS {
public:
    bool sendClientData(const unsigned char* data, int length) override
    {
        m_sent.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        return true;
    }
    void onRecvWorkerData(int, const unsigned char*, int) override {}

    std::string m_sent;
};

bool isInsideBase(const std::u16string& path)
{
    const fs::path given(QvString(path.c_str(), static_cast<int>(path.size())).toUtf8());
    std::error_code error;
    fs::path real = fs::weakly_canonical(given, error);
    if (error) {
        real = given.lexically_normal();
    }
    // The base folder itself may be tried too (an empty target): it is no regular file and opens nothing.
    const std::string text = real.string();
    return text.compare(0, s_realBase.size(), s_realBase) == 0 &&
           (text.size() == s_realBase.size() || text[s_realBase.size()] == '/');
}

}  // namespace

// The processor's only way to a file; the name is the mangled qvplat::openRegularFileForRead.
extern "C" std::FILE*
__real__ZN6qvplat22openRegularFileForReadERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEE(
    const std::u16string& path);
extern "C" std::FILE*
__wrap__ZN6qvplat22openRegularFileForReadERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEE(
    const std::u16string& path)
{
    if (!isInsideBase(path)) {
        std::fprintf(stderr, "opened outside the base folder: %s\n",
                     QvString(path.c_str(), static_cast<int>(path.size())).toUtf8().c_str());
        std::abort();
    }
    return __real__ZN6qvplat22openRegularFileForReadERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEE(path);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    s_root = std::make_unique<TempDir>("qvfuzz-request");
    s_root->write("secret.txt", kSecret);
    s_root->write("site-other/secret.txt", kSecret);
    s_root->write("site/index.html", "<html>index</html>");
    s_root->write("site/sub/page.txt", "page");
    fs::create_directory_symlink("sub", *s_root / "site" / "inner");
    fs::create_directory_symlink("..", *s_root / "site" / "out");
    s_realBase = fs::canonical(*s_root / "site").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto info = std::make_shared<_tag_WebServerInfo>();
    info->basepath = QvString::fromUtf8((*s_root / "site").string());
    info->basehtml = u"index.html";
    info->contentstype.set(u"html", u"text/html");
    info->contentstype.set(u"txt", u"text/plain");
    CapturingWorker worker;
    worker.setClientId(1);
    worker.setServerInfo(info);
    worker.onClientRecv(1, 0, data, static_cast<int>(size));
    QV_FUZZ_CHECK(worker.m_sent.find(kSecret) == std::string::npos);
    return 0;
}
