#pragma once

#include "foundation/QvString.h"

struct _tag_WebServerInfo;

// The checks the edit dialog applies when a definition is generated or modified, shared
// with the command-line front so both refuse the same input with the same words.
enum class DefinitionField { None, Name, Port, BasePath };

struct DefinitionCheck {
    DefinitionField field = DefinitionField::None;  // the field at fault, None when accepted
    QvString message;                                // the message box text of the refusal
    bool isAccepted() const { return field == DefinitionField::None; }
};

// Validates in order name, port, base path; stops at the first failure.
DefinitionCheck checkDefinition(const _tag_WebServerInfo& definition);

// When the base html is empty it becomes "index.html"; returns the notice to show then,
// or a null string when nothing changed. This never refuses a definition.
QvString applyDefaultPage(_tag_WebServerInfo& definition);

extern const char16_t* const kMsgNameEmpty;
extern const char16_t* const kMsgPortNegative;
extern const char16_t* const kMsgBasePathEmpty;
extern const char16_t* const kMsgDefaultPage;
