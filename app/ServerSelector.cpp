#include "app/ServerSelector.h"

#include <QComboBox>
#include <QStandardItemModel>
#include <utility>
#include <vector>

#include "controls/QtConvert.h"

namespace {

// A grouped drop-down: one disabled heading per group, its entries below it.
class QvGroupedSelector : public QComboBox {
public:
    explicit QvGroupedSelector(QWidget* parent) : QComboBox(parent) {}

    QvString command(const QString& name, const QString& argument)
    {
        const QStringList fields = argument.split(QChar(u'`'));
        if (name == u"additem" && fields.size() >= 3) {
            Group& group = groupNamed(fields[2]);
            group.entries.push_back({fields[0], fields[1]});
            rebuild();
            return u"true";
        }
        if (name == u"delitem" && fields.size() >= 2) {
            for (Group& group : m_groups) {
                if (group.name != fields[1]) {
                    continue;
                }
                for (auto it = group.entries.begin(); it != group.entries.end(); ++it) {
                    if (it->first == fields[0]) {
                        group.entries.erase(it);
                        rebuild();
                        return u"true";
                    }
                }
            }
            return u"false";
        }
        if (name == u"select") {
            select(argument.isEmpty() ? QString() : fields.value(0), argument.isEmpty() ? 0 : fields.value(1).toInt());
            return u"";
        }
        if (name == u"cursel" && argument == u"value") {
            return fromQString(currentData().toString());
        }
        if (name == u"cursel" && argument == u"disp") {
            return fromQString(currentText());
        }
        if (name == u"clear") {
            m_groups.clear();
            rebuild();
        }
        return u"";
    }

private:
    struct Group {
        QString name;
        std::vector<std::pair<QString, QString>> entries;  // value, display
    };

    Group& groupNamed(const QString& name)
    {
        for (Group& group : m_groups) {
            if (group.name == name) {
                return group;
            }
        }
        m_groups.push_back({name, {}});
        return m_groups.back();
    }

    void rebuild()
    {
        const QString value = currentData().toString();
        clear();
        auto* items = static_cast<QStandardItemModel*>(model());
        for (const Group& group : m_groups) {
            addItem(group.name);
            QStandardItem* heading = items->item(count() - 1);
            heading->setFlags(heading->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
            QFont bold = font();
            bold.setBold(true);
            heading->setFont(bold);
            for (const auto& [entryValue, display] : group.entries) {
                addItem(QStringLiteral("    ") + display, entryValue);
            }
        }
        setCurrentIndex(findData(value));
    }

    void select(const QString& groupName, int index)
    {
        int row = 0;
        for (const Group& group : m_groups) {
            ++row;
            if (group.name == groupName || (groupName.isNull() && !group.entries.empty())) {
                const int count = static_cast<int>(group.entries.size());
                setCurrentIndex(count == 0 ? -1 : row + ((index < 0 || index >= count) ? 0 : index));
                return;
            }
            row += static_cast<int>(group.entries.size());
        }
    }

    std::vector<Group> m_groups;
};

}  // namespace

QWidget* createServerSelector(QWidget* parent)
{
    return new QvGroupedSelector(parent);
}

QvString selectorCommand(QWidget* selector, const QvString& command, const QvString& argument)
{
    return static_cast<QvGroupedSelector*>(selector)->command(toQString(command), toQString(argument));
}
