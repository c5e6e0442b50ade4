#pragma once

#include "foundation/QvString.h"

namespace qvplat {
struct SystemTime;
}

// The directory of the running executable and every path below it ("config", "user", "Log",
// "temp", ...). Created on first use; after creation it only reads its fields, so any thread may
// build paths. Every join uses the platform's path separator.
// When the executable's folder exists but cannot be written (an installed program), the folders the program
// writes move to the user's XDG folders: "user" to $XDG_CONFIG_HOME/qvwebserver, "Log" to
// $XDG_STATE_HOME/qvwebserver and "temp" to $XDG_CACHE_HOME/qvwebserver; everything else (config,
// res) stays beside the executable. The desktop program and the command line follow the same rule.
class CQvDirMng {
public:
    static CQvDirMng* getInstance();
    // Destroys the instance (application exit; tests, to pick up a new module path).
    static void releaseInstance();

    virtual ~CQvDirMng();
    CQvDirMng(const CQvDirMng&) = delete;
    CQvDirMng& operator=(const CQvDirMng&) = delete;

    // Without a trailing separator; empty when the executable's path is unknown.
    QvString getModuleDir() const { return m_moduleDir; }
    QvString getModulePath() const { return m_modulePath; }

    // Where subDir lives (beside the executable, or its XDG folder); creates nothing. Empty when the
    // module directory is.
    QvString getDirPath(const QvString& subDir) const;
    // getDirPath(subDir) joined with fileName; with create, the directory is made first.
    // Empty when the directory is unknown.
    QvString getFilePath(const QvString& subDir, const QvString& fileName, bool create) const;
    // getDirPath(subDir), created when missing; empty when that fails.
    QvString getSubDir(const QvString& subDir) const;

    // Creates every missing level of path, one at a time; false as soon as one level cannot be
    // made. An existing entry of any kind counts as present (a file in the way makes the next
    // level fail). A relative path is made relative to the current directory.
    static bool makeDirectories(const QvString& path);

    // prefix + yyyymmdd (+ hh, mm, ss when asked) + "." + extension, from the local time.
    QvString makeDatedName(const QvString& prefix, const QvString& extension, bool withHour, bool withMinute,
                           bool withSecond) const;
    static QvString makeDatedName(const qvplat::SystemTime& time, const QvString& prefix, const QvString& extension,
                                  bool withHour, bool withMinute, bool withSecond);
    // getSubDir(subDir) joined with the dated name; empty when the directory cannot be made.
    QvString getDatedFilePath(const QvString& subDir, const QvString& prefix, const QvString& extension, bool withHour,
                              bool withMinute, bool withSecond) const;

private:
    CQvDirMng();

    QvString m_moduleDir;
    QvString m_modulePath;
    // The XDG folders of "user", "Log" and "temp"; empty while they stay beside the executable.
    QvString m_userDir;
    QvString m_logDir;
    QvString m_tempDir;
};
