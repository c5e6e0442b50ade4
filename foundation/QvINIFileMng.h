#pragma once

#include <cstdint>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"

// Which layer of an INI file an operation addresses.
enum IniLayer : int32_t {
    INI_LAYER_MERGED = 0,  // reads: the user value when present and not empty, else the config value
    INI_LAYER_CONFIG = 1,  // config/<file>, read only on disk
    INI_LAYER_USER = 2,    // user/<file>, the only layer ever written
};

// One INI file held in memory as two layers: config (from "config/<name>" beside the executable)
// and user (from "user/<name>", written back by save). Sections and keys are ordered by
// case-sensitive comparison in memory; the file matches names without regard to case. No lock:
// one thread (the user-interface thread) uses it.
class CQvINIFileMng {
public:
    using Section = QvMap<QvString, QvString>;
    using Layer = QvMap<QvString, Section>;

    static constexpr uint32_t kDefaultSectionNamesChars = 2048;
    static constexpr uint32_t kDefaultSectionChars = 4096;

    CQvINIFileMng() = default;
    virtual ~CQvINIFileMng();
    CQvINIFileMng(const CQvINIFileMng&) = delete;
    CQvINIFileMng& operator=(const CQvINIFileMng&) = delete;

    // Buffer sizes, in characters, of the section-name list and of one section's lines; text
    // beyond them is not read.
    void setBufferSizes(uint32_t sectionNamesChars, uint32_t sectionChars);
    uint32_t getSectionNamesBufferSize() const { return m_sectionNamesChars; }
    uint32_t getSectionBufferSize() const { return m_sectionChars; }

    // Reads both files of fileName ("env.ini") into the layers; missing or unreadable files add
    // nothing. Always true. Creates no directory.
    bool load(const QvString& fileName);
    // Writes every user value, then the pending removals, to user/<fileName> and flushes it.
    // False, touching no file, when the user layer has no section.
    bool save(const QvString& fileName);

    // Why the last load or save failed ("<path>: <reason>"); empty after one that succeeded.
    const QvString& lastError() const { return m_lastError; }

    QvString getValue(const QvString& section, const QvString& key, IniLayer layer) const;
    // The value's leading decimal integer, 0 when there is none.
    int32_t getIntValue(const QvString& section, const QvString& key, IniLayer layer) const;
    // Memory only; config or user layer (a missing section is created); other layers ignored.
    void setValue(const QvString& section, const QvString& key, const QvString& value, IniLayer layer);
    void setIntValue(const QvString& section, const QvString& key, int32_t value, IniLayer layer);
    // User layer only: drops the key (the section stays) and records it for removal from the
    // file at the next save (one pending removal per section; a later one replaces it).
    void deleteKey(const QvString& section, const QvString& key, IniLayer layer);
    // Key names in key order; the merged layer gives the user keys when the user section has
    // any, else the config keys (never a union).
    QvStringArray getKeys(const QvString& section, IniLayer layer) const;

    const Layer& getConfigLayer() const { return m_config; }
    const Layer& getUserLayer() const { return m_user; }

private:
    void loadLayer(const QvString& path, IniLayer layer);
    static const QvString* findValue(const Layer& layer, const QvString& section, const QvString& key);

    Layer m_config;
    Layer m_user;
    QvMap<QvString, QvString> m_pendingRemovals;
    QvString m_lastError;
    uint32_t m_sectionNamesChars = kDefaultSectionNamesChars;
    uint32_t m_sectionChars = kDefaultSectionChars;
};

// _wtoi: optional white space and sign, then decimal digits; clamped to the int32 range.
int32_t qvTextToInt(const QvString& text);
