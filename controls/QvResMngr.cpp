#include "controls/QvResMngr.h"

#include <rapidjson/document.h>

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QPainter>

#include "controls/QtConvert.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvFile.h"
#include "foundation/QvFileMng.h"
#include "foundation/QvLogMng.h"
#include "foundation/QvSingleton.h"
#include "foundation/QvStringArray.h"
#include "platform/FileSystem.h"

namespace {

QvSingleton<QvResMngr> s_instance;

constexpr int kDialogFontPoints = 9;

QvString imageDirectory()
{
    const char16_t sub[] = {u'r', u'e', u's', qvplat::kPathSeparator, u'i', u'm', u'g', u'\0'};
    return CQvDirMng::getInstance()->getDirPath(QvString(sub));
}

QvString joinName(const QvString& directory, const char16_t* name)
{
    const char16_t separator[2] = {qvplat::kPathSeparator, u'\0'};
    return QvString::formatted(u"%s%s%s", directory, separator, name);
}

}  // namespace

QvResMngr* QvResMngr::getInstance()
{
    return s_instance.get([] { return new QvResMngr(); });
}

void QvResMngr::releaseInstance()
{
    s_instance.release();
}

QvResMngr::QvResMngr() = default;

QvResMngr::~QvResMngr()
{
    for (auto& entry : m_images) {
        delete entry.second;
    }
}

bool QvResMngr::loadColorTable(const QvString& path)
{
    rapidjson::Document document;
    if (!CQvFileMng::getInstance()->readJsonFile(path, document, CQvFile::kEncodingNone)) {
        return false;
    }
    m_colors.clear();
    // Read through a const view, so that the iterators compared below are of one type.
    const rapidjson::Value& root = document;
    if (!root.IsObject()) {
        return true;
    }
    const auto list = root.FindMember("list");
    if (list == root.MemberEnd() || !list->value.IsArray()) {
        return true;
    }
    for (const auto& item : list->value.GetArray()) {
        if (!item.IsObject()) {
            continue;
        }
        const auto key = item.FindMember("key");
        const auto rgb = item.FindMember("rgb");
        if (key == item.MemberEnd() || !key->value.IsInt() || rgb == item.MemberEnd() || !rgb->value.IsString()) {
            continue;
        }
        QvStringArray fields;
        fields.split(QvString::fromUtf8(std::string_view(rgb->value.GetString(), rgb->value.GetStringLength())),
                     QvString(u":"));
        if (fields.size() < 3) {
            continue;
        }
        int channel[3] = {0, 0, 0};
        for (int i = 0; i < 3; ++i) {
            channel[i] = toQString(fields[i]).trimmed().toInt() & 0xFF;
        }
        m_colors.set(key->value.GetInt(), qRgb(channel[0], channel[1], channel[2]));
    }
    return true;
}

QColor QvResMngr::getColor(int key) const
{
    const QRgb* rgb = m_colors.find(key);
    return rgb == nullptr ? QColor(Qt::black) : QColor::fromRgb(*rgb);
}

const QImage* QvResMngr::getArrowImage(qreal devicePixelRatio)
{
    const QvString directory = imageDirectory();
    if (directory.isEmpty()) {
        return nullptr;
    }
    if (devicePixelRatio > 1.0) {
        const QvString path2x = joinName(directory, u"DirDown@2x.png");
        if (qvplat::isRegularFile(path2x.toStd())) {
            if (const QImage* image = getImage(path2x)) {
                return image;
            }
        }
    }
    return getImage(joinName(directory, u"DirDown.png"));
}

const QImage* QvResMngr::getImage(const QvString& path)
{
    if (QImage** cached = m_images.find(path)) {
        return *cached;
    }
    auto image = std::make_unique<QImage>();
    if (!image->load(toQString(path))) {
        return nullptr;
    }
    // "name@2x.png" holds twice the pixels for the same logical size.
    if (path.view().ends_with(u"@2x.png")) {
        image->setDevicePixelRatio(2.0);
    }
    QImage* stored = image.release();
    m_images.set(path, stored);
    return stored;
}

bool QvResMngr::loadSystemImageList()
{
    m_icons.clear();
    m_iconProvider.reset();
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        CQvLogMng::getInstance()->writeDebug(u"Error Gettting SystemFileInfo!");
        return false;
    }
    m_iconProvider = std::make_unique<QFileIconProvider>();
    return true;
}

QIcon QvResMngr::getFileIcon(const QvString& fileName)
{
    if (!m_iconProvider) {
        return QIcon();
    }
    // Icons follow the file's type, so one lookup per type serves every file of it.
    static const QMimeDatabase mimes;
    const QString type = mimes.mimeTypeForFile(toQString(fileName), QMimeDatabase::MatchExtension).name();
    const QvString key = fromQString(type);
    if (const QIcon* cached = m_icons.find(key)) {
        return *cached;
    }
    QIcon icon = m_iconProvider->icon(QFileInfo(toQString(fileName)));
    if (icon.isNull()) {
        // Without a theme entry for the type (or for a file not on disk) the generic file icon serves.
        icon = m_iconProvider->icon(QAbstractFileIconProvider::File);
    }
    m_icons.set(key, icon);
    return icon;
}

void QvResMngr::drawAlphaImage(QPainter& painter, const QPoint& point, const QImage& image)
{
    const QPainter::CompositionMode mode = painter.compositionMode();
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(point, image);
    painter.setCompositionMode(mode);
}

QvResMngr::ScopedFont::ScopedFont(QPainter& painter, int weight) : m_painter(painter), m_previous(painter.font())
{
    m_painter.setFont(makeFont(weight));
}

QvResMngr::ScopedFont::~ScopedFont()
{
    m_painter.setFont(m_previous);
}

QFont QvResMngr::ScopedFont::makeFont(int weight)
{
    // The desktop's own dialog face stands in for "MS Shell Dlg 2"; the size stays at 9 points.
    QFont font = QApplication::font();
    font.setPointSize(kDialogFontPoints);
    font.setWeight(weight >= 700 ? QFont::Bold : QFont::Normal);
    return font;
}
