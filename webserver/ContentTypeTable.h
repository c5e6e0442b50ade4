#pragma once

#include <string_view>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"

// The content-type table of a server definition: file extension (without the dot, exact case) to
// the MIME type text of the Content-Type header. New definitions get theirs from
// config/config.json beside the executable, member "contents-type".
class CContentTypeTable {
public:
    using Table = QvMap<QvString, QvString>;

    // The type of an extension that has no entry.
    static constexpr const char16_t* kDefaultContentType = u"application/octet-stream";

    // Fills table from config/config.json below the executable's directory. False (table unchanged)
    // when the file cannot be read or parsed or has no "contents-type" object.
    static bool fillFromConfig(Table& table);
    // The same from a given file.
    static bool fillFromFile(const QvString& path, Table& table);
    // The same from JSON text (UTF-8). Members whose value is not a string are skipped; of two
    // members with the same name the later one wins.
    static bool fillFromJsonText(std::string_view json, Table& table);

    // The entry of extension, compared exactly; false when there is none.
    static bool lookup(const Table& table, const QvString& extension, QvString& contentType);
    // The entry of extension, or kDefaultContentType.
    static QvString lookupOrDefault(const Table& table, const QvString& extension);

    // config/config.json below the executable's directory.
    static QvString getConfigFilePath();
};
