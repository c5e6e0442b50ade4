#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>

#include "foundation/QvString.h"

// Reads whole files into JSON documents. Stateless singleton.
class CQvFileMng {
public:
    static CQvFileMng* getInstance();
    static void releaseInstance();

    virtual ~CQvFileMng();
    CQvFileMng(const CQvFileMng&) = delete;
    CQvFileMng& operator=(const CQvFileMng&) = delete;

    // Reads path (binary, with the given encoding selector of CQvFile) as UTF-8 and parses it
    // into document. False when the file cannot be opened, is empty, or is not valid JSON;
    // the debug output gets "JSON File Read Success" or "JSON File Read Failed" after a parse.
    bool readJsonFile(const QvString& path, rapidjson::Document& document, uint8_t encoding) const;

private:
    CQvFileMng() = default;
};
