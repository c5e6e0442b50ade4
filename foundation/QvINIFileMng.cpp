#include "foundation/QvINIFileMng.h"

#include <limits>

#include "foundation/QvDirMng.h"
#include "foundation/QvEnvMng.h"
#include "foundation/QvLogMng.h"

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

namespace {
constexpr uint64_t kMaxListChars = 1u << 30;  // 2 GiB of UTF-16: far beyond any settings file
}  // namespace

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
    loadLayer(configPath, INI_LAYER_CONFIG);
    loadLayer(userPath, INI_LAYER_USER);
    return true;
}

void CQvINIFileMng::loadLayer(const QvString& path, IniLayer layer)
{
    if (path.isEmpty()) {
        return;
    }
    CQvEnvMng* profile = CQvEnvMng::getInstance();
    const CQvLogMng* log = CQvLogMng::getInstance();
    // The configured sizes are where reading starts, not a cap: a list that filled the buffer
    // is read again with a larger one, so a long server list is never cut and then saved cut.
    QvStringArray sections;
    bool truncated = false;
    for (uint64_t chars = m_sectionNamesChars;; chars *= 2) {
        profile->getSectionNames(path, static_cast<uint32_t>(chars), sections, &truncated);
        if (!truncated || chars * 2 > kMaxListChars) {
            break;
        }
    }
    QvStringArray lines;
    for (const QvString& section : sections) {
        for (uint64_t chars = m_sectionChars;; chars *= 2) {
            profile->getSection(section, static_cast<uint32_t>(chars), path, lines, &truncated);
            if (!truncated || chars * 2 > kMaxListChars) {
                break;
            }
        }
        for (int i = 0; i < lines.size(); ++i) {
            const QvString& line = lines[i];
            const int equals = line.find(u'=');
            const QvString key = equals >= 0 ? line.mid(0, equals) : line;
            const QvString value = equals >= 0 ? line.mid(equals + 1) : QvString(u"");
            log->writeDebug(u"[%d][%s=%s]", i, key, value);
            setValue(section, key, value, layer);
        }
    }
}

bool CQvINIFileMng::save(const QvString& fileName)
{
    CQvDirMng* dirs = CQvDirMng::getInstance();
    const QvString userPath = dirs->getFilePath(u"user", fileName, false);
    CQvDirMng::makeDirectories(dirs->getDirPath(u"user"));
    // An unknown module directory leaves no file to write; an empty path would mean "every file"
    // to the profile layer's flush.
    if (m_user.isEmpty() || userPath.isEmpty()) {
        return false;
    }
    CQvEnvMng* profile = CQvEnvMng::getInstance();
    for (const auto& [section, keys] : m_user) {
        for (const auto& [key, value] : keys) {
            profile->writeString(section, key, value.c_str(), userPath);
        }
    }
    for (const auto& [section, key] : m_pendingRemovals) {
        profile->writeString(section, key, nullptr, userPath);
    }
    m_pendingRemovals.clear();
    // Write failures are not reported, like the individual writes above.
    profile->flush(userPath);
    return true;
}

const QvString* CQvINIFileMng::findValue(const Layer& layer, const QvString& section, const QvString& key)
{
    const Section* keys = layer.find(section);
    return keys != nullptr ? keys->find(key) : nullptr;
}

QvString CQvINIFileMng::getValue(const QvString& section, const QvString& key, IniLayer layer) const
{
    const QvString* value = nullptr;
    switch (layer) {
        case INI_LAYER_CONFIG:
            value = findValue(m_config, section, key);
            break;
        case INI_LAYER_USER:
            value = findValue(m_user, section, key);
            break;
        case INI_LAYER_MERGED:
            value = findValue(m_user, section, key);
            if (value == nullptr || value->isEmpty()) {
                value = findValue(m_config, section, key);
            }
            break;
        default:
            break;
    }
    return value != nullptr ? *value : QvString(u"");
}

int32_t CQvINIFileMng::getIntValue(const QvString& section, const QvString& key, IniLayer layer) const
{
    return qvTextToInt(getValue(section, key, layer));
}

void CQvINIFileMng::setValue(const QvString& section, const QvString& key, const QvString& value, IniLayer layer)
{
    if (layer == INI_LAYER_CONFIG) {
        m_config[section].set(key, value);
    } else if (layer == INI_LAYER_USER) {
        m_user[section].set(key, value);
    }
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
    m_pendingRemovals.set(section, key);
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
