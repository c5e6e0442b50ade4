#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/QvString.h"

// Owner of one stdio stream, opened with a mode built from three small selectors. The
// destructor closes an open stream. One thread at a time.
class CQvFile {
public:
    // Access selector: 0 "r", 1 "w", 2 "a", 3 "r+", 4 "w+", 5 "a+"; any other value reads.
    static constexpr uint8_t kAccessRead = 0;
    static constexpr uint8_t kAccessWrite = 1;
    static constexpr uint8_t kAccessAppend = 2;
    static constexpr uint8_t kAccessReadUpdate = 3;
    static constexpr uint8_t kAccessWriteUpdate = 4;
    static constexpr uint8_t kAccessAppendUpdate = 5;
    // Translation selector ("kind"): 0 text "t", 1 binary "b"; any other value adds nothing.
    static constexpr uint8_t kKindText = 0;
    static constexpr uint8_t kKindBinary = 1;
    // Encoding selector: 1 ", ccs=UNICODE", 2 ", ccs=UTF-8", 3 ", ccs=UTF-16LE"; any other adds nothing.
    static constexpr uint8_t kEncodingNone = 0;
    static constexpr uint8_t kEncodingUnicode = 1;
    static constexpr uint8_t kEncodingUtf8 = 2;
    static constexpr uint8_t kEncodingUtf16Le = 3;

    CQvFile() = default;
    virtual ~CQvFile();
    CQvFile(const CQvFile&) = delete;
    CQvFile& operator=(const CQvFile&) = delete;

    // The mode text of the selectors: access, then translation, then encoding ("rb", "at, ccs=UTF-8").
    static QvString makeOpenMode(uint8_t access, uint8_t kind, uint8_t encoding);

    // Opens path (closing a stream still open); on success records path, kind, name and size.
    // On failure the object is closed with an empty path and kind 0.
    bool open(uint8_t access, uint8_t kind, const QvString& path, uint8_t encoding);
    // Reads up to count elements, never more than bufferSize bytes; 0 when closed.
    uint32_t read(void* buffer, uint32_t bufferSize, uint32_t elementSize, uint32_t count);
    // Writes count elements (bufferSize is not used); 0 when closed.
    uint32_t write(const void* buffer, uint32_t bufferSize, uint32_t elementSize, uint32_t count);
    // True when nothing was open or the stream closed cleanly.
    bool close();

    bool isOpen() const { return m_stream != nullptr; }
    std::FILE* getStream() const { return m_stream; }
    uint8_t getKind() const { return m_kind; }
    // Byte size at open time (low 32 bits).
    uint32_t getSize() const { return m_size; }
    QvString getPath() const { return m_path; }
    // The part of the path after its last separator; empty when there is none or it stands first.
    QvString getName() const { return m_name; }

private:
    std::FILE* m_stream = nullptr;
    uint8_t m_kind = 0;
    QvString m_path;
    uint32_t m_size = 0;
    QvString m_name;
};
