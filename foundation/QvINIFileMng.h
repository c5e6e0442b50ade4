#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"

namespace qvplat {
class IniDocument;
}

// Which layer of an INI file an operation addresses.
enum IniLayer : int32_t {
    INI_LAYER_MERGED = 0,  // reads: the user value when present and not empty, else the config value
    INI_LAYER_CONFIG = 1,  // config/<file>, read only on disk
    INI_LAYER_USER = 2,    // user/<file>, the only layer ever written
};

// One INI file held in memory as two layers: config (from "config/<name>" beside the executable)
// and user (from "user/<name>", written back by save). Sections and keys are ordered by
// case-sensitive comparison in memory; the file matches names without regard to case. Values are
// kept in UTF-8, the files' form: a server list holds tens of megabytes of them, and most are
// only ever compared or parsed as bytes. (A lone surrogate, which no UTF-8 file can hold either,
// reads back as U+FFFD.)
//
// Several processes share the user files: the manager remembers which user keys this process
// set or deleted since it last read the file, and a save applies only those to what the file
// holds then, under the file's inter-process lock. A key merely loaded is never written back.
// No lock of its own: one thread (the user-interface thread) uses an object.
class CQvINIFileMng {
public:
    using Section = QvMap<QvString, std::string>;  // key -> value in UTF-8
    using Layer = QvMap<QvString, Section>;

    static constexpr uint32_t kDefaultSectionNamesChars = 2048;
    static constexpr uint32_t kDefaultSectionChars = 4096;

    CQvINIFileMng() = default;
    virtual ~CQvINIFileMng();
    CQvINIFileMng(const CQvINIFileMng&) = delete;
    CQvINIFileMng& operator=(const CQvINIFileMng&) = delete;

    // Buffer sizes, in characters, of the section-name list and of one section's lines. Kept for
    // the settings' interface: files are read whole, so a long server list is never cut and then
    // saved cut.
    void setBufferSizes(uint32_t sectionNamesChars, uint32_t sectionChars);
    uint32_t getSectionNamesBufferSize() const { return m_sectionNamesChars; }
    uint32_t getSectionBufferSize() const { return m_sectionChars; }

    // Reads both files of fileName ("env.ini") into the layers; a missing file adds nothing. False
    // when a file exists but cannot be read (lastError() says which and why); a user file that
    // could not be read is then never written by this object until a load succeeds.
    bool load(const QvString& fileName);
    // Applies this process's own changes to user/<fileName> under the file's lock (re-read, change,
    // atomic replace); writes nothing when there are none. False, touching no file, when the user
    // layer has no section, the file could not be read at load, or the write failed (lastError()).
    bool save(const QvString& fileName);
    // A transaction for read-then-write logic (counters): under the lock of user/<fileName>, the
    // user layer is read afresh (this process's unsaved changes kept on top), change runs on this
    // object, and the changes are saved before the lock is released. False as for save; change
    // does not run when the file cannot be read.
    bool update(const QvString& fileName, const std::function<void(CQvINIFileMng&)>& change);

    // Reads user/<fileName> again without its lock (a save replaces the file atomically, so the read
    // sees one whole version), this process's unsaved changes kept on top: what other processes
    // stored since becomes visible. False, keeping the layer, when the file cannot be read.
    bool reload(const QvString& fileName);

    // Why the last load or save failed ("<path>: <reason>"); empty after one that succeeded.
    const QvString& lastError() const { return m_lastError; }

    QvString getValue(const QvString& section, const QvString& key, IniLayer layer) const;
    // getValue in UTF-8, without decoding; the view lives until this object next changes.
    std::string_view getUtf8Value(const QvString& section, const QvString& key, IniLayer layer) const;
    // The value's leading decimal integer, 0 when there is none.
    int32_t getIntValue(const QvString& section, const QvString& key, IniLayer layer) const;
    // Memory only; config or user layer (a missing section is created); other layers ignored.
    void setValue(const QvString& section, const QvString& key, const QvString& value, IniLayer layer);
    // False when the layer cannot be written (the merged layer).
    bool setUtf8Value(const QvString& section, const QvString& key, std::string_view value, IniLayer layer);
    void setIntValue(const QvString& section, const QvString& key, int32_t value, IniLayer layer);
    // User layer only: drops the key (the section stays) and records it for removal from the
    // file at the next save.
    void deleteKey(const QvString& section, const QvString& key, IniLayer layer);
    // Key names in key order; the merged layer gives the user keys when the user section has
    // any, else the config keys (never a union).
    QvStringArray getKeys(const QvString& section, IniLayer layer) const;

    const Layer& getConfigLayer() const { return m_config; }
    const Layer& getUserLayer() const { return m_user; }

private:
    // A written key's value is the user layer's: a server list's lines run to tens of megabytes,
    // and a second copy of every changed one would double what a save holds.
    struct Change {
        bool removed = false;
    };

    bool loadLayer(const QvString& path, Layer& layer);
    // m_user becomes what document holds, with this process's unsaved changes on top.
    void takeUserLayer(const qvplat::IniDocument& document);
    bool writeUserFile(const QvString& fileName, const std::function<void(CQvINIFileMng&)>* change);
    static const std::string* findValue(const Layer& layer, const QvString& section, const QvString& key);
    const std::string* findValue(const QvString& section, const QvString& key, IniLayer layer) const;

    Layer m_config;
    Layer m_user;
    // This process's own user-layer changes since the file was last written: section -> key.
    QvMap<QvString, QvMap<QvString, Change>> m_changes;
    QvString m_userReadError;  // set while the user file could not be read
    QvString m_lastError;
    uint32_t m_sectionNamesChars = kDefaultSectionNamesChars;
    uint32_t m_sectionChars = kDefaultSectionChars;
};

// _wtoi: optional white space and sign, then decimal digits; clamped to the int32 range.
int32_t qvTextToInt(const QvString& text);
