// An INI file's bytes through load, save and load again: what the second load reads must equal the
// first, also after a key was written (the write path re-encodes and re-emits lines).

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "FuzzCheck.h"
#include "platform/IniDocument.h"

namespace {

struct Section {
    std::u16string name;
    std::vector<std::string> lines;  // name, "=" when present, value (UTF-8)

    bool operator==(const Section&) const = default;
};

std::vector<Section> load(const qvplat::IniDocument& document)
{
    std::vector<Section> out;
    for (const std::u16string& name : document.sectionNames()) {
        Section section{name, {}};
        document.forEachEntry(name, [&](const qvplat::IniDocument::Entry& e) {
            section.lines.push_back(std::string(e.name) + (e.hasValue ? "=" : "") + std::string(e.value));
        });
        out.push_back(std::move(section));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qvplat::IniDocument document(std::string(reinterpret_cast<const char*>(data), size));
    const std::vector<Section> first = load(document);
    QV_FUZZ_CHECK(load(qvplat::IniDocument(document.serialize())) == first);

    // A write into the first section (or a new one) and a reload see the same file.
    const std::u16string section = first.empty() || first.front().name.empty() ? u"fuzz" : first.front().name;
    document.write(section, u"written", u"value with = and ; inside");
    const std::vector<Section> written = load(document);
    QV_FUZZ_CHECK(load(qvplat::IniDocument(document.serialize())) == written);
    // A save that only appends writes the bytes it read and the tail: exactly the rewrite's bytes.
    if (const auto tail = document.appendedBytes()) {
        QV_FUZZ_CHECK(document.original() + *tail == document.serialize());
    }
    return 0;
}
