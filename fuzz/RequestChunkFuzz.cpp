// One received chunk through the web server's request processor, over a fixed temporary base folder.
// Every path the processor tries to open must lie below the base folder, links resolved: the link-time
// wrap of qvplat::openRegularFileForRead (see CMakeLists.txt) checks each one before the real open. No
// answer may carry the marker that every file outside the base folder holds.
//
//   <tmp>/secret.txt, <tmp>/site-other/secret.txt          outside (the second shares the prefix)
//   <tmp>/site/index.html, sub/page.txt, inner -> sub       the base folder, a link that stays inside
//   <tmp>/site/out -> ..                                    a link that leads out
//   <tmp>/linked/index.html -> ../secret.txt                a second base folder whose default page leads out
//
// Each input goes to both base folders; a request line it leaves unfinished is ended with CR LF.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "platform/FileSystem.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/WebServerInfo.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSecret = "QV-FUZZ-SECRET";

std::unique_ptr<TempDir> s_root;  // removed when the process ends
std::string s_base;               // the base folder of the request being processed

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

// Links resolved: nothing outside the base folder is even opened (the processor resolves a path
// before it opens it, and checks the opened file again after).
bool isInsideBase(const std::u16string& path)
{
    std::error_code error;
    const std::string text =
        fs::weakly_canonical(QvString(path.c_str(), static_cast<int>(path.size())).toUtf8(), error).string();
    // The base folder itself may be tried too (an empty target): it is no regular file and opens nothing.
    return !error && text.compare(0, s_base.size(), s_base) == 0 &&
           (text.size() == s_base.size() || text[s_base.size()] == '/');
}

}  // namespace

// The processor's only way to a file; the name is the mangled qvplat::openRegularFileForRead.
extern "C" std::FILE*
__real__ZN6qvplat22openRegularFileForReadERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEERNS_14OpenedFileInfoE(
    const std::u16string& path, qvplat::OpenedFileInfo& info);
extern "C" std::FILE*
__wrap__ZN6qvplat22openRegularFileForReadERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEERNS_14OpenedFileInfoE(
    const std::u16string& path, qvplat::OpenedFileInfo& info)
{
    if (!isInsideBase(path)) {
        std::fprintf(stderr, "opened outside the base folder: %s\n",
                     QvString(path.c_str(), static_cast<int>(path.size())).toUtf8().c_str());
        std::abort();
    }
    return __real__ZN6qvplat22openRegularFileForReadERKNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEERNS_14OpenedFileInfoE(
        path, info);
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
    fs::create_directories(*s_root / "linked");
    fs::create_symlink("../secret.txt", *s_root / "linked" / "index.html");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const char* folder : {"site", "linked"}) {
        s_base = fs::canonical(*s_root / folder).string();
        auto info = std::make_shared<_tag_WebServerInfo>();
        info->basepath = QvString::fromUtf8(s_base);
        info->basehtml = u"index.html";
        info->contentstype.set(u"html", u"text/html");
        info->contentstype.set(u"txt", u"text/plain");
        CapturingWorker worker;
        worker.setClientId(1);
        worker.setServerInfo(info);
        worker.onClientRecv(1, 0, data, static_cast<int>(size));
        if (worker.getState() == CCPTBaseWorker::kStateIdle) {
            const unsigned char lineEnd[] = {'\r', '\n'};
            worker.onClientRecv(1, 0, lineEnd, 2);
        }
        QV_FUZZ_CHECK(worker.m_sent.find(kSecret) == std::string::npos);
    }
    return 0;
}
