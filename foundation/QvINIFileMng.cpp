#include "foundation/QvINIFileMng.h"

#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "foundation/QvCodePage.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvEnvMng.h"
#include "foundation/QvLogMng.h"
#include "platform/IniDocument.h"

namespace {

std::u16string decodeUtf8(std::string_view bytes)
{
    return qvDecodeBytes(bytes, kCodePageUtf8);
}

// Keys are few and short beside the values; they stay UTF-16, ordered as the wide strings are.
QvString keyOf(std::string_view utf8)
{
    return QvString::compact(decodeUtf8(utf8));
}

}  // namespace

int32_t qvTextToInt(const QvString& text)
{
    const std::u16string_view s = text.view();
    size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || (s[i] >= u'\t' && s[i] <= u'\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    // Accumulated as a magnitude with room for INT32_MIN; saturates like the runtime's converter.
    constexpr int64_t kLimit = int64_t(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
        magnitude = magnitude * 10 + (s[i] - u'0');
        if (magnitude > kLimit) {
            magnitude = kLimit;
        }
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return magnitude > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                           : static_cast<int32_t>(magnitude);
}

CQvINIFileMng::~CQvINIFileMng() = default;

void CQvINIFileMng::setBufferSizes(uint32_t sectionNamesChars, uint32_t sectionChars)
{
    m_sectionNamesChars = sectionNamesChars;
    m_sectionChars = sectionChars;
}

bool CQvINIFileMng::load(const QvString& fileName)
{
    CQvDirMng* dirs = CQvDirMng::getInstance();
    const QvString configPath = dirs->getFilePath(u"config", fileName, false);
    const QvString userPath = dirs->getFilePath(u"user", fileName, false);
    m_lastError = u"";
    const bool configRead = loadLayer(configPath, m_config);
    const QvString configError = m_lastError;
    m_userReadError = loadLayer(userPath, m_user) ? QvString(u"") : m_lastError;
    if (!configRead) {
        m_lastError = configError;  // the first failure is the one reported
    }
    return configRead && m_userReadError.isEmpty();
}

// Adds the file's sections to layer, a later line of a section and key overwriting an earlier one.
bool CQvINIFileMng::loadLayer(const QvString& path, Layer& layer)
{
    if (path.isEmpty()) {
        return true;
    }
    qvplat::IniDocument document;
    if (!CQvEnvMng::getInstance()->readFile(path, document, m_lastError)) {
        return false;
    }
    const CQvLogMng* log = CQvLogMng::getInstance();
    try {
        for (const std::u16string& name : document.sectionNames()) {
            const QvString section = QvString::compact(name);
            Section& keys = layer[section];
            int index = 0;
            document.forEachEntry(name, [&](const qvplat::IniDocument::Entry& entry) {
                const QvString key = keyOf(entry.name);
                if (log->isEnabled()) {  // decoding every value for a switched-off log costs a lot
                    log->writeDebug(u"[%d][%s=%s]", index, key, QvString::compact(decodeUtf8(entry.value)));
                }
                ++index;
                keys[key] = entry.value;
            });
        }
    } catch (const std::bad_alloc&) {
        m_lastError = path;
        m_lastError += u": out of memory";
        return false;
    }
    return true;
}

bool CQvINIFileMng::save(const QvString& fileName)
{
    return writeUserFile(fileName, nullptr);
}

bool CQvINIFileMng::update(const QvString& fileName, const std::function<void(CQvINIFileMng&)>& change)
{
    return writeUserFile(fileName, &change);
}

bool CQvINIFileMng::writeUserFile(const QvString& fileName, const std::function<void(CQvINIFileMng&)>* change)
{
    CQvDirMng* dirs = CQvDirMng::getInstance();
    const QvString userPath = dirs->getFilePath(u"user", fileName, false);
    CQvDirMng::makeDirectories(dirs->getDirPath(u"user"));
    m_lastError = u"";
    if (userPath.isEmpty()) {
        m_lastError = u"no user folder: the program's own path is unknown";
        return false;
    }
    if (!m_userReadError.isEmpty()) {
        m_lastError = m_userReadError;  // what the file holds is unknown: it is not replaced
        return false;
    }
    if (change == nullptr && m_changes.isEmpty()) {
        return !m_user.isEmpty();  // nothing of ours to write
    }
    QvString error;
    const bool written = CQvEnvMng::getInstance()->updateFile(
        userPath,
        [&](qvplat::IniDocument& document) {
            if (change != nullptr) {
                takeUserLayer(document);
                (*change)(*this);
            }
            // Removals first, then writes, each in key order: a rename to another letter case (a
            // removal and a write of keys the file matches as one) then leaves the new key.
            for (const bool removals : {true, false}) {
                for (const auto& [section, keys] : m_changes) {
                    for (const auto& [key, changed] : keys) {
                        const std::string* stored = removals ? nullptr : findValue(m_user, section, key);
                        if (changed.removed == removals && (removals || stored != nullptr)) {
                            const std::u16string value = removals ? std::u16string() : decodeUtf8(*stored);
                            document.write(section.view(), key.view(), removals ? nullptr : value.c_str());
                        }
                    }
                }
            }
        },
        error);
    if (!written) {
        m_lastError = error;
        return false;
    }
    m_changes.clear();
    return true;
}

void CQvINIFileMng::takeUserLayer(const qvplat::IniDocument& document)
{
    // The layer as the file has it now, with what this process has not saved yet on top. The old
    // layer goes first, but for the values this process wrote: a server list runs to tens of
    // megabytes, and two of them need not coexist.
    std::vector<std::string> written;
    for (const auto& [section, keys] : m_changes) {
        for (const auto& [key, changed] : keys) {
            Section* inSection = changed.removed ? nullptr : m_user.find(section);
            std::string* value = inSection != nullptr ? inSection->find(key) : nullptr;
            written.push_back(value != nullptr ? std::move(*value) : std::string());
        }
    }
    m_user = Layer();
    Layer fresh;
    for (const std::u16string& name : document.sectionNames()) {
        Section& keys = fresh[QvString::compact(name)];
        document.forEachEntry(
            name, [&keys](const qvplat::IniDocument::Entry& entry) { keys[keyOf(entry.name)] = entry.value; });
    }
    size_t next = 0;
    for (const auto& [section, keys] : m_changes) {
        for (const auto& [key, changed] : keys) {
            std::string& value = written[next++];
            if (changed.removed) {
                if (Section* found = fresh.find(section)) {
                    found->erase(key);
                }
            } else {
                fresh[section][key] = std::move(value);
            }
        }
    }
    m_user = std::move(fresh);
}

bool CQvINIFileMng::reload(const QvString& fileName)
{
    const QvString userPath = CQvDirMng::getInstance()->getFilePath(u"user", fileName, false);
    if (userPath.isEmpty()) {
        return false;
    }
    qvplat::IniDocument document;
    try {
        if (!CQvEnvMng::getInstance()->readFile(userPath, document, m_lastError)) {
            return false;
        }
        takeUserLayer(document);
    } catch (const std::bad_alloc&) {
        m_lastError = userPath;
        m_lastError += u": out of memory";
        return false;
    }
    m_userReadError = u"";  // readable again: this process may write it
    return true;
}

const std::string* CQvINIFileMng::findValue(const Layer& layer, const QvString& section, const QvString& key)
{
    const Section* keys = layer.find(section);
    return keys != nullptr ? keys->find(key) : nullptr;
}

const std::string* CQvINIFileMng::findValue(const QvString& section, const QvString& key, IniLayer layer) const
{
    switch (layer) {
        case INI_LAYER_CONFIG:
            return findValue(m_config, section, key);
        case INI_LAYER_USER:
            return findValue(m_user, section, key);
        case INI_LAYER_MERGED: {
            const std::string* value = findValue(m_user, section, key);
            return value == nullptr || value->empty() ? findValue(m_config, section, key) : value;
        }
        default:
            return nullptr;
    }
}

QvString CQvINIFileMng::getValue(const QvString& section, const QvString& key, IniLayer layer) const
{
    const std::string* value = findValue(section, key, layer);
    return QvString::compact(value != nullptr ? decodeUtf8(*value) : std::u16string());
}

std::string_view CQvINIFileMng::getUtf8Value(const QvString& section, const QvString& key, IniLayer layer) const
{
    const std::string* value = findValue(section, key, layer);
    return value != nullptr ? std::string_view(*value) : std::string_view();
}

int32_t CQvINIFileMng::getIntValue(const QvString& section, const QvString& key, IniLayer layer) const
{
    return qvTextToInt(getValue(section, key, layer));
}

void CQvINIFileMng::setValue(const QvString& section, const QvString& key, const QvString& value, IniLayer layer)
{
    setUtf8Value(section, key, value.toUtf8(), layer);
}

bool CQvINIFileMng::setUtf8Value(const QvString& section, const QvString& key, std::string_view value, IniLayer layer)
{
    if (layer == INI_LAYER_CONFIG) {
        m_config[section][key] = value;
        return true;
    }
    if (layer != INI_LAYER_USER) {
        return false;
    }
    Section& keys = m_user[section];
    const std::string* current = std::as_const(keys).find(key);
    if (current != nullptr && *current == value) {
        return true;  // storing what is there is no change of this process's
    }
    keys[key] = value;
    m_changes[section].set(key, Change{false});
    return true;
}

void CQvINIFileMng::setIntValue(const QvString& section, const QvString& key, int32_t value, IniLayer layer)
{
    setValue(section, key, QvString::formatted(u"%d", value), layer);
}

void CQvINIFileMng::deleteKey(const QvString& section, const QvString& key, IniLayer layer)
{
    if (layer != INI_LAYER_USER) {
        return;
    }
    if (Section* keys = m_user.find(section)) {
        keys->erase(key);
    }
    m_changes[section].set(key, Change{true});
}

QvStringArray CQvINIFileMng::getKeys(const QvString& section, IniLayer layer) const
{
    const Section* keys = nullptr;
    switch (layer) {
        case INI_LAYER_CONFIG:
            keys = m_config.find(section);
            break;
        case INI_LAYER_USER:
            keys = m_user.find(section);
            break;
        case INI_LAYER_MERGED:
            keys = m_user.find(section);
            if (keys == nullptr || keys->isEmpty()) {
                keys = m_config.find(section);
            }
            break;
        default:
            break;
    }
    QvStringArray names;
    if (keys != nullptr) {
        for (const auto& entry : *keys) {
            names.add(entry.first);
        }
    }
    return names;
}
