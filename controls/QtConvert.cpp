#include "controls/QtConvert.h"

QString toQString(const QvString& text)
{
    return QString(reinterpret_cast<const QChar*>(text.c_str()), text.length());
}

QvString fromQString(const QString& text)
{
    return QvString(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<int>(text.size()));
}
