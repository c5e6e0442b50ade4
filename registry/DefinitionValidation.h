#pragma once

#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"

struct _tag_WebServerInfo;

// The checks the edit dialog applies when a definition is generated or modified, shared
// with the command-line front so both refuse the same input with the same words.
enum class DefinitionField { None, Name, Port, BasePath, Group };

struct DefinitionCheck {
    DefinitionField field = DefinitionField::None;  // the field at fault, None when accepted
    QvString message;                               // the message box text of the refusal
    bool isNameTaken = false;                       // the name (or a letter-case variant) is stored already
    bool isAccepted() const { return field == DefinitionField::None; }
};

// Validates in order: name empty, port negative, port above 65535, base path empty, then whether the name and the
// group fit an INI line (the name is a key of session.ini, the group a value of env.ini and a
// field of the back-quote separated texts): no control character, "=" or back-quote, no leading
// "[" or ";", no leading or trailing blank, and no other name (group) that equals it without
// regard to letter case, since the settings files match keys that way. otherNames are the
// registered server names except the one being edited; groups the group list. Stops at the
// first failure.
DefinitionCheck checkDefinition(const _tag_WebServerInfo& definition, const QvStringArray& otherNames = {},
                                const QvStringArray& groups = {});

// When the base html is empty it becomes "index.html"; returns the notice to show then,
// or a null string when nothing changed. This never refuses a definition.
QvString applyDefaultPage(_tag_WebServerInfo& definition);

// True when a and b are the same text to the settings files (letter case folded like their key
// matching does).
bool namesEqualNoCase(const QvString& a, const QvString& b);

extern const char16_t* const kMsgNameEmpty;
extern const char16_t* const kMsgPortNegative;
extern const char16_t* const kMsgPortTooLarge;
extern const char16_t* const kMsgBasePathEmpty;
extern const char16_t* const kMsgDefaultPage;
