#pragma once

#include <cstdint>

#include "foundation/QvINIFileMng.h"
#include "foundation/QvMap.h"
#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"

// The application's settings files, by id.
enum EnvFileId : int {
    ENV_FILE_ENV = 0,      // "env.ini": GROUPLIST, QVWEBSERVER
    ENV_FILE_NET = 1,      // "net.ini": loaded and saved, no values used
    ENV_FILE_SESSION = 2,  // "session.ini": WEBSVRLIST, ETC
};

// The application's settings: env.ini, net.ini and session.ini by id, each a CQvINIFileMng with a
// config and a user layer. Creation loads the three files; destruction (releaseInstance) saves this process's changes
// to them. Reads merge the layers, writes go to the user layer in memory only: the caller saves with save(id). One
// thread (the user-interface thread); no lock.
class CEnvMng {
public:
    // Larger than the INI manager's defaults: session.ini keeps one JSON line per server.
    static constexpr uint32_t kSectionNamesChars = 4096;
    static constexpr uint32_t kSectionChars = 65536;

    static CEnvMng* getInstance();
    // Saves and destroys the instance (application exit; tests, to start clean).
    static void releaseInstance();

    virtual ~CEnvMng();
    CEnvMng(const CEnvMng&) = delete;
    CEnvMng& operator=(const CEnvMng&) = delete;

    // The file name of an id ("env.ini"), empty for an unknown id.
    static QvString getFileName(int fileId);

    QvString getString(int fileId, const QvString& section, const QvString& key) const;
    void setString(int fileId, const QvString& section, const QvString& key, const QvString& value);
    int32_t getInt(int fileId, const QvString& section, const QvString& key) const;
    void setInt(int fileId, const QvString& section, const QvString& key, int32_t value);
    void deleteKey(int fileId, const QvString& section, const QvString& key);
    QvStringArray getKeys(int fileId, const QvString& section) const;
    // The manager of a file, null for an unknown id; owned by this object.
    CQvINIFileMng* getIniFile(int fileId) const;
    // Saves the file's changes under its name. False on failure; lastError(fileId) says which
    // file and why ("<path>: <reason>"), empty when there was nothing to report.
    bool save(int fileId);
    QvString lastError(int fileId) const;

private:
    CEnvMng();

    QvMap<int, CQvINIFileMng*> m_files;
};
