#pragma once

#include <QString>

#include "foundation/QvString.h"

// The only conversions between the core's QvString and Qt's QString. Both hold UTF-16 code
// units, so the conversion copies them unchanged (lone surrogates included).
QString toQString(const QvString& text);
QvString fromQString(const QString& text);
