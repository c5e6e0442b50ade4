// Renders the grouped selector, closed and open, to PNG files so that a person can look at them:
//   qv_render_controls <output folder> <device pixel ratio>
// Runs on any Qt platform (QT_QPA_PLATFORM=offscreen without a display). The colours and the arrow come from
// config/ and res/img/ beside the executable, as in the program.
#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <cstdio>

#include "controls/QtConvert.h"
#include "controls/QvCIComboBox.h"
#include "controls/QvComboPopWnd.h"
#include "controls/QvComboPopupContent.h"
#include "controls/QvComplexInput.h"
#include "controls/QvResMngr.h"
#include "foundation/QvDirMng.h"

namespace {

constexpr int kMargin = 12;         // dialog background around the control
constexpr QSize kBoxSize(260, 24);  // about the selector's size in the main dialog

struct Entry {
    const char16_t* value;
    const char16_t* group;
};

// Three groups, ten entries.
const Entry kEntries[] = {
    {u"localhost-8080", u"Default"}, {u"Intranet docs", u"Default"},
    {u"Photo gallery", u"Default"},  {u"QvWebServer site", u"Projects"},
    {u"Landing page", u"Projects"},  {u"API mock", u"Projects"},
    {u"Blog drafts", u"Projects"},   {u"Portfolio", u"web"},
    {u"Test bench", u"web"},         {u"Downloads", u"web"},
};

void send(QvComplexInput& host, const char16_t* command, const QvString& argument)
{
    host.sendCommand(QvString(command), argument);
}

void fill(QvComplexInput& host, int extra)
{
    for (const Entry& entry : kEntries) {
        send(host, u"additem", QvString::formatted(u"%s`%s`%s", entry.value, entry.value, entry.group));
    }
    for (int i = 0; i < extra; ++i) {
        send(host, u"additem", QvString::formatted(u"archive-%d`Archive %d`Archive", i, i + 1));
    }
    send(host, u"select", QvString(u"Projects`1"));
}

// The control(s) on a piece of dialog background.
QPixmap compose(const QPixmap& box, const QPixmap& popup, qreal ratio)
{
    const QSize logical(
        kBoxSize.width() + 2 * kMargin,
        kBoxSize.height() + 2 * kMargin + (popup.isNull() ? 0 : qRound(popup.deviceIndependentSize().height()) - 1));
    QPixmap canvas(logical * ratio);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(QApplication::palette().color(QPalette::Window));
    QPainter painter(&canvas);
    painter.drawPixmap(QPoint(kMargin, kMargin), box);
    if (!popup.isNull()) {
        painter.drawPixmap(QPoint(kMargin, kMargin + kBoxSize.height() - 1), popup);
    }
    return canvas;
}

bool save(const QPixmap& image, const QDir& folder, const QString& name, const QString& suffix)
{
    const QString path = folder.filePath(name + suffix + QStringLiteral(".png"));
    const bool saved = image.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return saved;
}

void hover(QWidget* widget, const QPoint& at)
{
    QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> <device pixel ratio>\n", argv[0]);
        return 2;
    }
    // The ratio has to be known before the application starts.
    qputenv("QT_SCALE_FACTOR", QByteArray(argv[2]));
    QApplication app(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(folder.path())) {
        return 1;
    }
    const QString suffix = QStringLiteral("@%1x").arg(QString::fromLocal8Bit(argv[2]));

    QvResMngr* resources = QvResMngr::getInstance();
    const QvString table =
        CQvDirMng::getInstance()->getFilePath(QvString(u"config"), QvString(u"clrtbl_normal.json"), false);
    if (!resources->loadColorTable(table)) {
        std::fprintf(stderr, "cannot read %s\n", table.toUtf8().c_str());
        return 1;
    }
    bool ok = true;

    QvComplexInput host;
    host.resize(kBoxSize);
    host.createComboInput();
    fill(host, 0);
    host.show();
    const qreal ratio = host.devicePixelRatioF();
    ok &= save(compose(host.grab(), QPixmap(), ratio), folder, QStringLiteral("selector-closed"), suffix);

    hover(&host, QPoint(40, 12));
    ok &= save(compose(host.grab(), QPixmap(), ratio), folder, QStringLiteral("selector-hot"), suffix);
    send(host, u"focus", QvString(u"false"));

    send(host, u"additem", QvString(u"long`Documentation mirror for the design team (staging, port 8443)`Projects"));
    send(host, u"select", QvString(u"Projects`4"));
    ok &= save(compose(host.grab(), QPixmap(), ratio), folder, QStringLiteral("selector-long"), suffix);
    send(host, u"delitem", QvString(u"long`Projects"));
    send(host, u"select", QvString(u"Projects`1"));

    auto openAndGrab = [&](const QString& name) {
        send(host, u"mouselbtn", QvString(u"down"));
        send(host, u"mouselbtn", QvString(u"up"));
        QvCIComboBox* combo = static_cast<QvCIComboBox*>(host.getInput());
        CQvComboPopWnd* popup = combo->getPopup();
        if (popup == nullptr || !popup->isVisible()) {
            std::fprintf(stderr, "the popup did not open\n");
            return false;
        }
        CQvComboPopupContent* content = popup->getContent();
        // One row under the mouse, away from the selected one, to show the hover colour.
        hover(content, content->getRowRect(content->getSelectedRow() + 2).center());
        QApplication::processEvents();
        const bool saved = save(compose(host.grab(), popup->grab(), ratio), folder, name, suffix);
        popup->close();
        send(host, u"focus", QvString(u"false"));
        return saved;
    };
    ok &= openAndGrab(QStringLiteral("selector-open"));

    send(host, u"clear", QvString(u""));
    fill(host, 12);
    ok &= openAndGrab(QStringLiteral("selector-open-scrolling"));

    QvResMngr::releaseInstance();
    return ok ? 0 : 1;
}
