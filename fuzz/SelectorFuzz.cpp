// Command sequences through the grouped selector's text protocol, one fresh selector per input inside
// one offscreen host. The input is lines of "command argument" (the first space separates them; the
// bytes are decoded as UTF-8, malformed ones included); a line "~up", "~down" or "~enter" is that key
// pressed in the open popup instead, any other line starting with "~" presses Escape. The flags are the step's number
// (the selector ignores them). After every step the answers, the selection, the popup and the documents handed to it
// must agree with the selector's entries.

#include <json/json.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "controls/QvCIComboBox.h"
#include "controls/QvComboPopWnd.h"
#include "controls/QvComboPopupContent.h"
#include "controls/QvComplexInput.h"

namespace {

QvComplexInput* s_host = nullptr;  // lives as long as the process, like the application object
QvCIComboBox* s_combo = nullptr;   // the host's selector for the next input

using Entries = QvMap<QvString, QvArray<QvCIComboListItem>>;

Json::Value parseJson(const std::string& text)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    QV_FUZZ_CHECK(reader->parse(text.data(), text.data() + text.size(), &value, nullptr));
    return value;
}

Json::Value itemJson(const QvCIComboListItem& item, int type)
{
    Json::Value object(Json::objectValue);
    object["disp"] = item.m_disp.toUtf8();
    object["value"] = item.m_value.toUtf8();
    object["type"] = type;
    return object;
}

// The popup's list as the entries say it must be: each heading of "groups" with its group's entries.
Json::Value expectedList(const Entries& entries, int* rows)
{
    Json::Value list(Json::arrayValue);
    *rows = 0;
    if (const auto* headings = entries.find(QvString(u"groups"))) {
        for (const QvCIComboListItem& heading : *headings) {
            Json::Value group = itemJson(heading, QvCIComboListItem::kTypeHeading);
            group["list"] = Json::Value(Json::arrayValue);
            ++*rows;
            if (const auto* members = entries.find(heading.m_value)) {
                for (const QvCIComboListItem& item : *members) {
                    Json::Value entry = itemJson(item, item.m_type);
                    entry["select"] = item.m_selected;
                    group["list"].append(entry);
                    ++*rows;
                }
            }
            list.append(group);
        }
    }
    return list;
}

// What a step may not change unless it reports a change: every field of every entry, the selection
// and the text the box shows.
struct State {
    explicit State(const QvCIComboBox& combo)
        : selection(combo.makeSelectionJson()), display(combo.getDisplayText().toStd())
    {
        for (const auto& [key, items] : combo.getEntries()) {
            entries.push_back(key.toStd());
            for (const QvCIComboListItem& item : items) {
                entries.push_back(std::u16string{char16_t(item.m_type), char16_t(item.m_selected)} +
                                  item.m_value.toStd() + u'`' + item.m_disp.toStd());
            }
        }
    }
    bool operator==(const State&) const = default;

    std::vector<std::u16string> entries;
    std::string selection;
    std::u16string display;
};

void pressKey(QvCIComboBox& combo, std::string_view name)
{
    const int key = name == "up"      ? Qt::Key_Up
                    : name == "down"  ? Qt::Key_Down
                    : name == "enter" ? Qt::Key_Return
                                      : Qt::Key_Escape;
    if (CQvComboPopWnd* popup = combo.getPopup(); popup != nullptr && popup->isVisible()) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(popup, &press);
    }
}

// Returns the number of rows the popup shows for the present entries.
int checkState(QvCIComboBox& combo)
{
    const Entries& entries = combo.getEntries();
    int rows = 0;
    QV_FUZZ_CHECK(parseJson(combo.makeListJson()) == expectedList(entries, &rows));
    Json::Value selection(Json::objectValue);
    selection["selgrp"] = combo.getCurrentGroup().toUtf8();
    selection["selidx"] = combo.getCurrentIndex();
    QV_FUZZ_CHECK(parseJson(combo.makeSelectionJson()) == selection);

    // "cursel" names the entry at the current index of the current group, or nothing.
    const auto* group = entries.find(combo.getCurrentGroup());
    const int index = combo.getCurrentIndex();
    const QvCIComboListItem* item =
        group != nullptr && index >= 0 && index < group->size() ? &(*group)[index] : nullptr;
    QV_FUZZ_CHECK(combo.sendCommand(QvString(u"cursel"), QvString(u"value"), 0) ==
                  (item ? item->m_value : QvString(u"")));
    QV_FUZZ_CHECK(combo.sendCommand(QvString(u"cursel"), QvString(u"disp"), 0) ==
                  (item ? item->m_disp : QvString(u"")));

    QV_FUZZ_CHECK(combo.getMouseState() <= QvCIComboBox::kMousePressed);
    const CQvComboPopWnd* popup = combo.getPopup();
    QV_FUZZ_CHECK(combo.isOpen() == (popup != nullptr && popup->isVisible()));
    return rows;
}

void runStep(QvCIComboBox& combo, std::string_view line, int flags)
{
    if (line.starts_with('~')) {
        pressKey(combo, line.substr(1));
        return;
    }
    const size_t space = line.find(' ');
    const QvString command = QvString::fromUtf8(line.substr(0, space));
    const QvString argument = QvString::fromUtf8(space == std::string_view::npos ? "" : line.substr(space + 1));
    const State before(combo);
    const bool wasOpen = combo.isOpen();
    const QvString answer = combo.sendCommand(command, argument, flags);
    const State after(combo);

    const bool edit = command == u"additem" || command == u"delitem";
    const bool acts = command == u"focus" || command == u"mouselbtn" || command == u"select" || command == u"clear";
    if (edit) {
        QV_FUZZ_CHECK(answer == u"true" || answer == u"false");
    } else if (command != u"cursel") {
        QV_FUZZ_CHECK(answer.isEmpty());
    }
    if (edit && answer == u"true") {
        // The list changed; the selection and what the box shows did not.
        QV_FUZZ_CHECK(after.entries != before.entries);
        QV_FUZZ_CHECK(after.selection == before.selection && after.display == before.display);
    } else if (!acts) {
        QV_FUZZ_CHECK(after == before);
    }
    if (command == u"clear") {
        QV_FUZZ_CHECK(combo.getEntries().isEmpty());
    }
    // A selection (a text with a second field, or "") in a group with entries lands on one and shows it.
    const size_t tick = argument.view().find(u'`');
    const bool selects = argument.isEmpty() || (tick != std::u16string_view::npos && tick + 1 < argument.view().size());
    if (const auto* group = combo.getEntries().find(combo.getCurrentGroup());
        command == u"select" && selects && group != nullptr && !group->isEmpty()) {
        const int index = combo.getCurrentIndex();
        QV_FUZZ_CHECK(index >= 0 && index < group->size());
        QV_FUZZ_CHECK((*group)[index].m_selected && combo.getDisplayText() == (*group)[index].m_disp);
    }
    const int rows = checkState(combo);
    // The list is filled when it opens (later commands come from no user and do not refill it).
    QV_FUZZ_CHECK(wasOpen || !combo.isOpen() || combo.getPopup()->getContent()->getRowCount() == rows);
}

}  // namespace

// Fontconfig keeps some of what it allocates for a font fallback unreachable; that is not ours to find.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "qv_fuzz_Selector";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // NOLINT: kept until the process ends
    s_host = new QvComplexInput();
    s_host->resize(s_host->sizeHint());
    s_combo = s_host->createComboInput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QvCIComboBox* combo = s_combo;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (int step = 0; !rest.empty(); ++step) {
        const size_t end = rest.find('\n');
        runStep(*combo, rest.substr(0, end), step);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    // Paints what the steps left: the closed box, and the list when it is open.
    QImage image(s_host->size(), QImage::Format_ARGB32);
    s_host->render(&image);
    if (combo->isOpen()) {
        combo->getPopup()->grab();
    }
    // A fresh selector for the next input ("clear" keeps the selection and the display text), made now
    // so that this input frees what it allocated, the window events its popup queued included: libFuzzer
    // looks for leaks (slowly) after every input that allocates more than it frees.
    s_combo = s_host->createComboInput();
    QCoreApplication::processEvents();
    return 0;
}
