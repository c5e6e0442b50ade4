#include "app/QvWebServerDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <algorithm>
#include <limits>

#include "app/AboutDlg.h"
#include "app/AppEvents.h"
#include "app/DialogUnits.h"
#include "app/DlgLocalWebServerGen.h"
#include "app/LinkOpener.h"
#include "app/MessageBoxes.h"
#include "app/ServerSelector.h"
#include "app/UpdateCheck.h"
#include "controls/QtConvert.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/Version.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

namespace {

constexpr int kTemplateWidth = 335;  // client area of the template, dialog units
constexpr int kTemplateHeight = 52;

constexpr int kFrameWaitStepMs = 20;  // how often a shown window looks for its frame
constexpr int kFrameWaitSteps = 25;   // half a second: a window manager frames a window well within that

constexpr const char16_t* kWindowSection = u"QVWEBSERVER";
constexpr const char16_t* kLeftKey = u"default_startx";
constexpr const char16_t* kTopKey = u"default_starty";
constexpr const char16_t* kRightKey = u"default_width";    // a coordinate, not a width
constexpr const char16_t* kBottomKey = u"default_height";  // a coordinate, not a height

const QString kNone = QStringLiteral("None");
const QString kDefault = QStringLiteral("Default");

QString shownGroup(const QString& group)
{
    return (group.isEmpty() || group == kNone) ? kDefault : group;
}
QString groupKey(const QString& group)
{
    return group.isEmpty() ? kNone : group;
}

QString joined(const QString& a, const QString& b)
{
    return a + QChar(u'`') + b;
}

QLabel* makeLink(QWidget* parent, const char* objectName, const QString& text)
{
    auto* link = new QLabel(QStringLiteral("<a href=\"#\">%1</a>").arg(text), parent);
    link->setObjectName(QString::fromLatin1(objectName));
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setFocusPolicy(Qt::TabFocus);
    link->setAccessibleName(text);
    return link;
}

QPushButton* makeButton(QWidget* parent, const char* objectName, const QString& text)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAutoDefault(true);  // Enter clicks the button that has the focus
    return button;
}

}  // namespace

CQvWebServerDlg::CQvWebServerDlg(CQvServerHost* host, QWidget* parent) : QDialog(parent), m_host(host), m_actions(host)
{
    setObjectName(QStringLiteral("QvWebServerDlg"));
    setWindowTitle(QStringLiteral("QvWebServer.Windows"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    placeControls(createControls());
    connectCommands();
    connectUpdateCheck();
    addAboutCommand();
}

QLabel* CQvWebServerDlg::createControls()
{
    m_newServer = makeButton(this, "buttonNewServer", QStringLiteral("&New Server"));
    auto* usedServer = new QLabel(QStringLiteral("&Used Server"), this);
    usedServer->setObjectName(QStringLiteral("labelUsedServer"));
    m_selector = createServerSelector(this);
    m_selector->setObjectName(QStringLiteral("selectorUsedServer"));
    m_selector->setAccessibleName(QStringLiteral("Used Server"));
    usedServer->setBuddy(m_selector);
    m_openServer = makeButton(this, "buttonOpenServer", QStringLiteral("&Open Server"));
    m_changeServer = makeButton(this, "buttonChangeServer", QStringLiteral("&Change Server"));

    m_manualLink = makeLink(this, "linkManual", QStringLiteral("Go Manual"));
    m_blogLink = makeLink(this, "linkBlog", QStringLiteral("Visist Developer Blog"));
    m_updateLink = makeLink(this, "linkCheckVersion", QStringLiteral("Check App Last Version"));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progressUpdate"));
    m_progress->setTextVisible(false);
    m_progress->hide();

    m_donate = makeButton(this, "buttonDonate", QStringLiteral("DonateBtn"));
    m_donate->setAccessibleName(QStringLiteral("Donate"));

    m_ok = makeButton(this, "buttonOk", QStringLiteral("OK"));
    m_ok->setDefault(true);  // takes Enter, and does nothing with it
    m_exit = makeButton(this, "buttonExit", QStringLiteral("E&xit"));

    QWidget* const order[] = {m_newServer, m_selector,   m_openServer, m_changeServer, m_manualLink,
                              m_blogLink,  m_updateLink, m_donate,     m_ok,           m_exit};
    for (size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
    return usedServer;
}

void CQvWebServerDlg::placeControls(QLabel* usedServer)
{
    const QvDialogUnits dlu(font());
    // The template's rows, each control kept clear of the one before it.
    usedServer->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    int right = dlu.toX(kTemplateWidth - 4);
    right = std::max(right, dlu.placeRow({{m_newServer, 1, 1, 50, 14},
                                          {usedServer, 53, 1, 40, 14},
                                          {m_selector, 95, 1, 128, 14, true},
                                          {m_openServer, 225, 1, 50, 14},
                                          {m_changeServer, 276, 1, 55, 14}}));
    const int linksRight =
        dlu.placeRow({{m_manualLink, 5, 20, 35, 10}, {m_blogLink, 44, 20, 67, 10}, {m_updateLink, 116, 20, 76, 10}}, 6);
    const int buttonsRight = dlu.placeRow({{m_ok, 134, 34, 50, 14}, {m_exit, 184, 34, 50, 14}});
    // The progress bar starts where the links end, so it never covers "Check App Last Version".
    QRect progress = dlu.toRect(196, 21, 37, 10);
    progress.moveLeft(std::max(progress.left(), linksRight + dlu.toX(2)));
    m_progress->setGeometry(progress);
    // The donate picture keeps to the right of whatever the links, the bar and the buttons needed.
    const QRect donate = dlu.toRect(234, 16, 98, 33);
    const int donateLeft = std::max({donate.left(), progress.right() + 1 + dlu.toX(1), buttonsRight + dlu.toX(4)});
    m_donate->setGeometry(donateLeft, donate.top(), donate.width(), donate.height());
    right = std::max(right, donateLeft + donate.width());
    resize(right + dlu.toX(4), dlu.toY(kTemplateHeight));
    setMinimumSize(size());  // the controls are placed, not laid out: any smaller would cut some off
}

void CQvWebServerDlg::connectCommands()
{
    // The frame around a window is known only once the window manager has put it there.
    m_frameTimer = new QTimer(this);
    m_frameTimer->setInterval(kFrameWaitStepMs);
    connect(m_frameTimer, &QTimer::timeout, this, &CQvWebServerDlg::fitRestoredFrame);

    connect(m_newServer, &QPushButton::clicked, this, &CQvWebServerDlg::OnNewServer);
    connect(m_openServer, &QPushButton::clicked, this, &CQvWebServerDlg::OnOpenServer);
    connect(m_changeServer, &QPushButton::clicked, this, &CQvWebServerDlg::OnChangeServer);
    connect(m_exit, &QPushButton::clicked, this, &CQvWebServerDlg::OnExit);
    connect(m_donate, &QPushButton::clicked, this, &CQvWebServerDlg::OnDonate);
    connect(m_manualLink, &QLabel::linkActivated, this, &CQvWebServerDlg::OnGoManual);
    connect(m_blogLink, &QLabel::linkActivated, this, &CQvWebServerDlg::OnVisitBlog);
}

void CQvWebServerDlg::connectUpdateCheck()
{
    // "Check App Last Version" starts the update check, which lives in a class of its own and
    // reaches the widgets only through its signals, on this thread.
    m_updateCheck = new CQvUpdateCheck(this);
    connect(m_updateLink, &QLabel::linkActivated, this, &CQvWebServerDlg::OnCheckAppVersion);
    connect(
        m_updateCheck, &CQvUpdateCheck::messageBox, this,
        [this](const QString& text, int buttons, int icon, int* answer) {
            *answer = QvMessageBoxes::show(this, text, QvMessageBoxes::Buttons(buttons), QvMessageBoxes::Icon(icon));
        },
        Qt::DirectConnection);
    connect(m_updateCheck, &CQvUpdateCheck::progressStarted, this, [this] {
        m_progress->show();
        m_progress->setValue(0);
        m_progress->setRange(0, 100);
    });
    connect(m_updateCheck, &CQvUpdateCheck::progressChanged, m_progress, &QProgressBar::setValue);
    connect(m_updateCheck, &CQvUpdateCheck::progressEnded, m_progress, &QWidget::hide);
    connect(m_updateCheck, &CQvUpdateCheck::installerStarted, this, [this] {
        close();
        // Posted, like a close to the main window: the program ends once this handler has returned.
        QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit));
    });
}

void CQvWebServerDlg::addAboutCommand()
{
    // No system menu to extend on every desktop: the about box hangs on F1 and the context menu.
    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, &CQvWebServerDlg::showAbout);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* aboutAction = new QAction(QStringLiteral("&About QvWebServer..."), this);
    aboutAction->setObjectName(QStringLiteral("actionAbout"));
    connect(aboutAction, &QAction::triggered, this, &CQvWebServerDlg::showAbout);
    addAction(aboutAction);
}

CQvWebServerDlg::~CQvWebServerDlg() = default;

int CQvWebServerDlg::DoModal()
{
    // Modal to its owner only: the tray icon and its menu keep working while it is open.
    setWindowModality(Qt::WindowModal);
    OnInitDialog();
    return exec();
}

void CQvWebServerDlg::endIfOpen()
{
    m_updateCheck->cancel();
    if (isVisible()) {
        OnClose();  // the window's place is kept however the program ends
        done(kResultCancel);
    }
}

void CQvWebServerDlg::OnInitDialog()
{
    setWindowIcon(QApplication::windowIcon());
    setWindowTitle(
        QStringLiteral("QvWebServer.Windows (%1)").arg(QString::fromStdU16String(qvplat::getProductVersion())));
    m_updateCheck->addSessions();
    loadDonateImage();
    restoreWindowRect();
    command(u"clear", QString());
    fillServerList();
}

void CQvWebServerDlg::loadDonateImage()
{
    const QString path = toQString(CQvDirMng::getInstance()->getFilePath(u"res/img", u"DonateCoffee_Orvan.png", false));
    QIcon image;
    if (QFile::exists(path)) {
        image.addFile(path);
        QString twice = path;
        twice.replace(QStringLiteral(".png"), QStringLiteral("@2x.png"));
        if (QFile::exists(twice)) {
            image.addFile(twice);
        }
    }
    if (image.isNull()) {
        m_donate->setText(QStringLiteral("DonateBtn"));
        return;
    }
    m_donate->setFlat(true);
    m_donate->setIcon(image);
    m_donate->setIconSize(m_donate->size() - QSize(4, 4));
    m_donate->setText(QString());
    m_donate->setToolTip(QStringLiteral("Buy the developer a coffee"));
}

QvString CQvWebServerDlg::command(const char16_t* name, const QString& argument)
{
    return selectorCommand(m_selector, QvString(name), fromQString(argument));
}

void CQvWebServerDlg::fillServerList()
{
    m_groups.clear();
    for (const QvServerRecord& record : m_host->listServers()) {
        const QString name = toQString(record.name);
        const QString group = groupKey(toQString(record.group));
        addToGroup(group, name);
        command(u"additem", joined(joined(name, name), shownGroup(group)));
    }
    command(u"select", toQString(CEnvMng::getInstance()->getString(ENV_FILE_SESSION, u"ETC", u"LASTUSEDSESSION")));
    selectorSettle(m_selector);
}

void CQvWebServerDlg::refreshServers()
{
    if (isVisible()) {
        command(u"clear", QString());
        fillServerList();
    }
}

void CQvWebServerDlg::addToGroup(const QString& group, const QString& name)
{
    m_groups[group].append(name);
}

void CQvWebServerDlg::removeFromGroup(const QString& group, const QString& name)
{
    auto it = m_groups.find(group);
    if (it != m_groups.end()) {
        it->removeOne(name);
    }
}

int CQvWebServerDlg::indexInGroup(const QString& group, const QString& name) const
{
    const qsizetype index = m_groups.value(group).indexOf(name);
    // A group lists the servers of one settings file, never near INT_MAX of them.
    return index < 0 || index > std::numeric_limits<int>::max() ? 0 : static_cast<int>(index);
}

void CQvWebServerDlg::OnNewServer()
{
    CDlgLocalWebServerGen dialog(m_host, this);
    const QvEditOutcome added = m_actions.create(dialog, this);
    if (added.kind != QvEditOutcome::Added) {
        return;
    }
    const QString group = groupKey(added.group);
    addToGroup(group, added.name);
    command(u"additem", joined(joined(added.name, added.name), shownGroup(group)));
    command(u"select", joined(shownGroup(group), QString::number(indexInGroup(group, added.name))));
}

void CQvWebServerDlg::OnOpenServer()
{
    const QvString name = command(u"cursel", QStringLiteral("value"));
    if (name.isEmpty()) {
        return;
    }
    QString group = kNone;
    bool running = false;
    bool elsewhere = false;
    for (const QvServerRecord& record : m_host->listServers()) {
        if (record.name == name) {
            running = record.running;
            elsewhere = record.runningElsewhere;
            group = groupKey(toQString(record.group));
        }
    }
    if (elsewhere) {
        QvMessageBoxes::show(this, runningElsewhereText(toQString(name)), QvMessageBoxes::Ok,
                             QvMessageBoxes::Information);
        return;
    }
    if (running) {
        m_actions.stop(name, this);
        return;
    }
    if (!m_actions.run(name, this)) {
        return;
    }
    const QString shownName = toQString(name);
    command(u"select", joined(shownGroup(group), QString::number(indexInGroup(group, shownName))));
}

void CQvWebServerDlg::OnChangeServer()
{
    const QvString name = command(u"cursel", QStringLiteral("value"));
    if (name.isEmpty()) {
        return;
    }
    CDlgLocalWebServerGen dialog(m_host, this);
    const QvEditOutcome changed = m_actions.edit(name, dialog, this);
    const QString oldGroup = groupKey(changed.oldGroup);
    const QString oldValue = joined(changed.oldName, shownGroup(oldGroup));
    if (changed.kind == QvEditOutcome::Changed) {
        const QString newGroup = groupKey(changed.group);
        command(u"delitem", oldValue);
        command(u"additem", joined(joined(changed.name, changed.name), shownGroup(newGroup)));
        removeFromGroup(oldGroup, changed.oldName);
        addToGroup(newGroup, changed.name);
        command(u"select", joined(shownGroup(newGroup), QString::number(indexInGroup(newGroup, changed.name))));
    } else if (changed.kind == QvEditOutcome::Deleted) {
        removeFromGroup(oldGroup, changed.oldName);
        command(u"delitem", oldValue);
        command(u"select", QString());
        selectorSettle(m_selector);
    } else if (changed.kind == QvEditOutcome::Stale) {
        refreshServers();  // the selector shows what is stored
    }
}

void CQvWebServerDlg::openLink(const char16_t* key, const char16_t* fallbackUrl)
{
    QvString url = CEnvMng::getInstance()->getString(ENV_FILE_ENV, kWindowSection, key);
    if (url.isEmpty()) {
        url = fallbackUrl;
    }
    switch (openWithHtmlHandler(toQString(url))) {
        case QvLinkResult::Opened:
            break;
        case QvLinkResult::NoHandler:
            QvMessageBoxes::show(this, QStringLiteral("No registered programs found."), QvMessageBoxes::Ok,
                                 QvMessageBoxes::Warning);
            break;
        case QvLinkResult::StartFailed:
            QvMessageBoxes::show(this, QStringLiteral("\"%1\" Failed to run the registered program.").arg(u".html"),
                                 QvMessageBoxes::Ok, QvMessageBoxes::Warning);
            break;
    }
}

void CQvWebServerDlg::OnGoManual()
{
    openLink(u"manual_url", u"https://qvwebserver.github.io/manual.html");
}

void CQvWebServerDlg::OnVisitBlog()
{
    openLink(u"blog_url", u"https://qvwebserver.github.io/");
}

void CQvWebServerDlg::OnDonate()
{
    openLink(u"donate_url", u"https://qvwebserver.github.io/donate.html");
}

void CQvWebServerDlg::OnCheckAppVersion()
{
    m_updateCheck->OnCheckAppVersion();
}

void CQvWebServerDlg::showAbout()
{
    CAboutDlg about(this);
    about.exec();
}

void CQvWebServerDlg::saveWindowRect()
{
    const QRect frame = frameGeometry();
    CEnvMng* env = CEnvMng::getInstance();
    env->setInt(ENV_FILE_ENV, kWindowSection, kLeftKey, frame.left());
    env->setInt(ENV_FILE_ENV, kWindowSection, kTopKey, frame.top());
    env->setInt(ENV_FILE_ENV, kWindowSection, kRightKey, frame.left() + frame.width());
    env->setInt(ENV_FILE_ENV, kWindowSection, kBottomKey, frame.top() + frame.height());
}

void CQvWebServerDlg::restoreWindowRect()
{
    m_restoredFrame = QRect();
    CEnvMng* env = CEnvMng::getInstance();
    const int left = env->getInt(ENV_FILE_ENV, kWindowSection, kLeftKey);
    const int top = env->getInt(ENV_FILE_ENV, kWindowSection, kTopKey);
    const int right = env->getInt(ENV_FILE_ENV, kWindowSection, kRightKey);
    const int bottom = env->getInt(ENV_FILE_ENV, kWindowSection, kBottomKey);
    if (left == 0 && top == 0 && right == 0 && bottom == 0) {
        placeAtTemplatePosition();
        return;
    }
    const QRect rect(QPoint(left, top), QPoint(right - 1, bottom - 1));
    QScreen* screen = QGuiApplication::screenAt(rect.topLeft());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr || !rect.isValid() || !screen->availableGeometry().contains(rect)) {
        placeAtTemplatePosition();
        return;
    }
    // The stored edges are the frame's. Before the window is shown its frame is not known (or is the
    // one of its last showing); fitRestoredFrame sets the client size again once it is.
    m_restoredFrame = rect;
    placeFrame();
}

void CQvWebServerDlg::placeAtTemplatePosition()
{
    if (testAttribute(Qt::WA_Moved)) {
        return;  // shown before: it stays where it was
    }
    // Centred on its screen, as a dialog comes up. Placed explicitly, since only a window placed
    // before it is shown learns the size of its frame (on X11), which a close then stores.
    const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void CQvWebServerDlg::placeFrame()
{
    const QRect frame = frameGeometry();
    const QRect client = geometry();
    resize(m_restoredFrame.width() - (frame.width() - client.width()),
           m_restoredFrame.height() - (frame.height() - client.height()));
    move(m_restoredFrame.topLeft());  // a window's position is its frame's
}

void CQvWebServerDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_restoredFrame.isValid()) {
        m_frameWaitSteps = 0;
        m_frameTimer->start();
    }
}

void CQvWebServerDlg::fitRestoredFrame()
{
    const bool framed = frameGeometry().size() != geometry().size();
    if (!framed && ++m_frameWaitSteps < kFrameWaitSteps && isVisible()) {
        return;  // no frame yet; a desktop without window manager never draws one
    }
    m_frameTimer->stop();
    if (isVisible() && m_restoredFrame.isValid()) {
        placeFrame();
    }
    m_restoredFrame = QRect();
}

void CQvWebServerDlg::OnClose()
{
    saveWindowRect();
    CQvINIFileMng* env = CEnvMng::getInstance()->getIniFile(ENV_FILE_ENV);
    if (!env->save(CEnvMng::getFileName(ENV_FILE_ENV))) {
        QvMessageBoxes::show(this, toQString(env->lastError()), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
    }
}

void CQvWebServerDlg::OnExit()
{
    m_updateCheck->cancel();
    OnClose();
    done(kResultCancel);
}

void CQvWebServerDlg::reject()
{
    OnExit();
}

void CQvWebServerDlg::closeEvent(QCloseEvent* event)
{
    if (isVisible()) {
        OnClose();
        done(kResultCancel);
    }
    event->accept();
}

void CQvWebServerDlg::customEvent(QEvent* event)
{
    if (event->type() == kShowMainDialogEvent && static_cast<QvPostedEvent*>(event)->wParam() == 1) {
        command(u"clear", QString());
        fillServerList();
    }
}
