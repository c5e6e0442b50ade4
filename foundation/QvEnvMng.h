#pragma once

#include <cstdint>

#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"

// Stateless wrappers of the raw private-profile (INI) calls, as a process-wide singleton. (The
// application's settings are CEnvMng, which holds the INI files in memory.) Names match without
// regard to case; list reads are cut to the given buffer size.
class CQvEnvMng {
public:
    static CQvEnvMng* getInstance();
    static void releaseInstance();

    virtual ~CQvEnvMng();
    CQvEnvMng(const CQvEnvMng&) = delete;
    CQvEnvMng& operator=(const CQvEnvMng&) = delete;

    // Replaces out by the section names of iniPath in file order, read through a buffer of
    // bufferChars characters (a longer list is cut). A missing file gives none. Always true.
    bool getSectionNames(const QvString& iniPath, uint32_t bufferChars, QvStringArray& out,
                         bool* truncated = nullptr) const;
    // Replaces out by the lines ("key=value", or a bare name) of section, read the same way.
    bool getSection(const QvString& section, uint32_t bufferChars, const QvString& iniPath, QvStringArray& out,
                    bool* truncated = nullptr) const;
    // Sets key in section of iniPath; a null value removes the key. Held in the profile cache
    // until flush(). False when the file cannot be written.
    bool writeString(const QvString& section, const QvString& key, const char16_t* value,
                     const QvString& iniPath) const;
    // Writes pending changes of iniPath to disk (atomic replace). True when nothing failed.
    bool flush(const QvString& iniPath) const;

private:
    CQvEnvMng() = default;
};
