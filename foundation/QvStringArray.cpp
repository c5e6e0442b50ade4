#include "foundation/QvStringArray.h"

int QvStringArray::split(const QvString& text, const QvString& separator, int maxPieces)
{
    m_items.clear();
    const std::u16string_view all = text.view();
    const std::u16string_view sep = separator.view();
    if (sep.empty()) {
        if (!all.empty()) {
            m_items.emplace_back(all);
        }
        return size();
    }
    size_t pos = 0;
    while (static_cast<int>(m_items.size()) < maxPieces - 1) {
        const size_t hit = all.find(sep, pos);
        if (hit == std::u16string_view::npos) {
            break;
        }
        m_items.emplace_back(all.substr(pos, hit - pos));
        pos = hit + sep.size();
    }
    if (pos < all.size()) {
        m_items.emplace_back(all.substr(pos));
    }
    return size();
}

QvString QvStringArray::join(const QvString& separator) const
{
    QvString result(u"");
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (i > 0 && !result.isEmpty()) {
            result.append(separator);
        }
        result.append(m_items[i]);
    }
    return result;
}
