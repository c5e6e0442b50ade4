#pragma once

#include <QString>

// Opens a web page with the desktop's default program for ".html".
enum class QvLinkResult { Opened, NoHandler, StartFailed };
QvLinkResult openWithHtmlHandler(const QString& url);
