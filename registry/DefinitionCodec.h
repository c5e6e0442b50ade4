#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"

struct _tag_WebServerInfo;

// The stored form of a server definition: one line of compact JSON, members sorted by name, as
// session.ini's "WEBSVRLIST" holds it. One codec reads the lines of one load: the texts and
// content-type tables of the records it builds share their storage (definitions by the thousand
// carry one table). Used from one thread at a time.
class DefinitionCodec {
public:
    DefinitionCodec();
    ~DefinitionCodec();
    DefinitionCodec(const DefinitionCodec&) = delete;
    DefinitionCodec& operator=(const DefinitionCodec&) = delete;

    // The record a stored line (UTF-8 bytes as the file holds them) defines; null when the line is
    // no usable definition: not JSON, no object, a member of the wrong type, or no name.
    std::unique_ptr<_tag_WebServerInfo> parse(std::string_view line);
    // The line stored for definition.
    std::string write(const _tag_WebServerInfo& definition);

private:
    struct Reading;
    const std::string& tableTextOf(const QvMap<QvString, QvString>& table);

    std::unique_ptr<Reading> m_reading;  // made by the first parse
    static constexpr size_t kTableTextsKept = 8;
    std::vector<std::pair<QvMap<QvString, QvString>, std::string>> m_tableTexts;
};
