#pragma once

#include <functional>

#include "foundation/QvString.h"

namespace qvplat {
class IniDocument;
}

// The one path through which the INI managers read and write settings files, as a process-wide
// singleton: every read goes to the file, every write is a read-modify-write under the file's lock
// that replaces it atomically. Stateless; any thread.
class CQvEnvMng {
public:
    static CQvEnvMng* getInstance();
    static void releaseInstance();

    virtual ~CQvEnvMng();
    CQvEnvMng(const CQvEnvMng&) = delete;
    CQvEnvMng& operator=(const CQvEnvMng&) = delete;

    // Replaces document by the file at iniPath; a missing file reads as empty. False with error
    // "<path>: <reason>" when the file exists but cannot be read.
    bool readFile(const QvString& iniPath, qvplat::IniDocument& document, QvString& error) const;
    // Under the file's lock, hands change the file as it is on disk and replaces the file when change
    // modified it. change runs only when the read succeeded. False with error "<path>: <reason>".
    bool updateFile(const QvString& iniPath, const std::function<void(qvplat::IniDocument&)>& change,
                    QvString& error) const;

private:
    CQvEnvMng() = default;
};
