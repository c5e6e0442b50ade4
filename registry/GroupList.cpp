#include "registry/GroupList.h"

#include "foundation/EnvMng.h"
#include "foundation/QvINIFileMng.h"

namespace {

constexpr const char16_t* kGroupSection = u"GROUPLIST";
constexpr const char16_t* kCountKey = u"CNT";

QvString numberKey(int i)
{
    return QvString::formatted(u"%04d", i);
}

}  // namespace

QvStringArray CQvGroupList::names()
{
    QvStringArray groups;
    CEnvMng* env = CEnvMng::getInstance();
    const int count = env->getInt(ENV_FILE_ENV, kGroupSection, kCountKey);
    for (int i = 1; i <= count; ++i) {
        groups.add(env->getString(ENV_FILE_ENV, kGroupSection, numberKey(i)));
    }
    return groups;
}

bool CQvGroupList::add(const QvStringArray& groups)
{
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(ENV_FILE_ENV);
    if (file == nullptr) {
        return true;  // no env.ini manager: nothing to store into
    }
    // Read, count and write under env.ini's lock, so that processes registering groups at the same
    // time each get their own number.
    return file->update(CEnvMng::getFileName(ENV_FILE_ENV), [&groups](CQvINIFileMng& env) {
        int count = env.getIntValue(kGroupSection, kCountKey, INI_LAYER_MERGED);
        for (const QvString& group : groups) {
            bool known = false;
            for (int i = 1; i <= count && !known; ++i) {
                // Compared by content: a group never stored (a null text) is still the empty name.
                known = env.getValue(kGroupSection, numberKey(i), INI_LAYER_MERGED).view() == group.view();
            }
            if (!known && group != u"None") {
                ++count;
                env.setIntValue(kGroupSection, kCountKey, count, INI_LAYER_USER);
                env.setValue(kGroupSection, numberKey(count), group, INI_LAYER_USER);
            }
        }
    });
}
