#include "app/DlgLocalWebServerGen.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <algorithm>
#include <iterator>
#include <limits>

#include "app/DialogUnits.h"
#include "app/MessageBoxes.h"
#include "controls/QtConvert.h"
#include "controls/QvRichEditWrapper.h"
#include "registry/DefinitionValidation.h"
#include "registry/QvServerHost.h"
#include "webserver/ContentTypeTable.h"
#include "webserver/WebServerInfo.h"

namespace {

// The template's client area, in dialog units.
constexpr int kTemplateWidth = 309;
constexpr int kTemplateHeight = 90;

QLabel* addLabel(QWidget* parent, const QString& text, QWidget* buddy)
{
    auto* label = new QLabel(text, parent);
    label->setBuddy(buddy);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

// True when page names a regular file below folder, where the server will look for it: an absolute
// page as it is, a relative one joined to the folder, links resolved; ".." never counts as below.
bool isPageBelowFolder(const QString& folder, const QString& page)
{
    if (page.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        return false;
    }
    QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty()) {
        return false;
    }
    if (!root.endsWith(QLatin1Char('/'))) {
        root += QLatin1Char('/');
    }
    const QFileInfo file(QDir::isAbsolutePath(page) ? page : QDir(folder).filePath(page));
    return file.isFile() && file.canonicalFilePath().startsWith(root);
}

QString groupOrNone(const QvString& group)
{
    return group.isEmpty() ? QStringLiteral("None") : toQString(group);
}

}  // namespace

CDlgLocalWebServerGen::CDlgLocalWebServerGen(CQvServerHost* host, QWidget* parent) : QDialog(parent), m_host(host)
{
    setObjectName(QStringLiteral("DlgLocalWebServerGen"));
    setWindowTitle(QStringLiteral("Local WebServer Generate"));
    const QvDialogUnits dlu(font());

    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("editName"));

    m_port = new QLineEdit(this);
    m_port->setObjectName(QStringLiteral("editPort"));
    m_port->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_port));

    m_group = new QComboBox(this);
    m_group->setObjectName(QStringLiteral("comboGroup"));
    m_group->setEditable(true);
    m_group->setInsertPolicy(QComboBox::NoInsert);

    const QIcon folderIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    m_basePath = new QLineEdit(this);
    m_basePath->setObjectName(QStringLiteral("editBasePath"));
    QAction* browseFolder = m_basePath->addAction(folderIcon, QLineEdit::TrailingPosition);
    browseFolder->setObjectName(QStringLiteral("browseBasePath"));
    browseFolder->setToolTip(QStringLiteral("Choose the folder to serve"));

    m_baseHtml = new QLineEdit(this);
    m_baseHtml->setObjectName(QStringLiteral("editBaseHtml"));
    QAction* browseFile =
        m_baseHtml->addAction(style()->standardIcon(QStyle::SP_FileIcon), QLineEdit::TrailingPosition);
    browseFile->setObjectName(QStringLiteral("browseBaseHtml"));
    browseFile->setToolTip(QStringLiteral("Choose the page served for \"/\""));

    QLabel* nameLabel = addLabel(this, QStringLiteral("&Name:"), m_name);
    QLabel* portLabel = addLabel(this, QStringLiteral("&Port:"), m_port);
    QLabel* groupLabel = addLabel(this, QStringLiteral("G&roup:"), m_group);
    QLabel* basePathLabel = addLabel(this, QStringLiteral("&Base Path:"), m_basePath);
    QLabel* baseHtmlLabel = addLabel(this, QStringLiteral("Base &html:"), m_baseHtml);

    // Every button takes Enter while it has the focus (autoDefault); from a field Enter is Generate.
    m_delete = new QPushButton(QStringLiteral("&Delete"), this);
    m_delete->setObjectName(QStringLiteral("buttonDelete"));
    m_delete->setAutoDefault(true);  // shown in both modes; the callers take it as Cancel in create mode

    m_ok = new QPushButton(QStringLiteral("&Generate"), this);
    m_ok->setObjectName(QStringLiteral("buttonOk"));
    m_ok->setAutoDefault(true);
    m_ok->setDefault(true);

    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("buttonCancel"));
    m_cancel->setAutoDefault(true);

    // Right of the dialog's width in the template, so never seen; kept for its place in the order.
    m_contentTypeFilter = new CQvRichEditWrapper(this, 1013);
    m_contentTypeFilter->setObjectName(QStringLiteral("contentTypeFilter"));
    dlu.place(m_contentTypeFilter, 407, 79, 219, 14);
    m_contentTypeFilter->hide();

    // The template's rows; a label sits on its field's line.
    int right = dlu.toX(kTemplateWidth - 7);
    right = std::max(right, dlu.placeRow({{nameLabel, 10, 8, 22, 14}, {m_name, 32, 8, 168, 14, true}}));
    right = std::max(right, dlu.placeRow({{portLabel, 10, 23, 17, 14},
                                          {m_port, 31, 23, 41, 14, true},
                                          {groupLabel, 78, 23, 23, 14},
                                          {m_group, 103, 23, 103, 14, true}}));
    right = std::max(right, dlu.placeRow({{basePathLabel, 10, 38, 36, 14}, {m_basePath, 46, 38, 253, 14, true}}));
    right = std::max(right, dlu.placeRow({{baseHtmlLabel, 10, 53, 34, 14}, {m_baseHtml, 46, 53, 253, 14, true}}));
    right = std::max(right,
                     dlu.placeRow({{m_delete, 149, 68, 50, 14}, {m_ok, 201, 68, 50, 14}, {m_cancel, 252, 68, 50, 14}}));
    // The two paths start at one edge, whichever label is wider.
    const int pathLeft = std::max(m_basePath->x(), m_baseHtml->x());
    for (QLineEdit* path : {m_basePath, m_baseHtml}) {
        path->setGeometry(pathLeft, path->y(), path->geometry().right() + 1 - pathLeft, path->height());
    }
    setFixedSize(right + dlu.toX(7), dlu.toY(kTemplateHeight));
    QWidget* const order[] = {m_name, m_port, m_group, m_basePath, m_baseHtml, m_delete, m_ok, m_cancel};
    for (size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }

    connect(browseFolder, &QAction::triggered, this, &CDlgLocalWebServerGen::browseBasePath);
    connect(browseFile, &QAction::triggered, this, &CDlgLocalWebServerGen::browseBaseHtml);
    connect(m_ok, &QPushButton::clicked, this, &CDlgLocalWebServerGen::OnOK);
    connect(m_cancel, &QPushButton::clicked, this, &CDlgLocalWebServerGen::reject);
    connect(m_delete, &QPushButton::clicked, this, [this] { done(kResultDelete); });
}

CDlgLocalWebServerGen::~CDlgLocalWebServerGen() = default;

int CDlgLocalWebServerGen::DoModal()
{
    // Modal to its owner only: the tray icon and its menu keep working while it is open.
    setWindowModality(Qt::WindowModal);
    OnInitDialog();
    return exec();
}

void CDlgLocalWebServerGen::endIfOpen()
{
    if (isVisible()) {
        done(kResultCancel);
    }
}

void CDlgLocalWebServerGen::OnInitDialog()
{
    m_contentTypeFilter->initDisplay(u"돋움체", 12, QColor(52, 61, 69));
    m_contentTypeFilter->setTextColor(QColor(86, 156, 214));
    m_contentTypeFilter->setFrame();
    m_contentTypeFilter->setDelegate(this, 1013);
    fillGroupBox();
    setWindowTitle(m_modify ? QStringLiteral("Local WebServer Modify") : QStringLiteral("Local WebServer Generate"));
    m_ok->setText(QStringLiteral("&Generate"));
    for (QLineEdit* edit : {m_name, m_port, m_basePath, m_baseHtml}) {
        edit->clear();
    }
    m_name->setFocus();
    m_registeredName = QvString(u"");
    if (m_definition == nullptr) {
        return;
    }
    if (m_modify) {
        m_ok->setText(QStringLiteral("&Modify"));
    } else {
        CContentTypeTable::fillFromConfig(m_definition->contentstype);
    }
    const _tag_WebServerInfo definition(*m_definition);  // one consistent view of a running server's record
    m_registeredName = m_modify ? definition.name : QvString(u"");
    m_name->setText(toQString(definition.name));
    m_port->setText(QString::number(definition.port));
    m_basePath->setText(toQString(definition.basepath));
    m_baseHtml->setText(toQString(definition.basehtml));
    m_group->setEditText(groupOrNone(definition.grpname));  // a create starts at "None"; a retry keeps what was typed
}

void CDlgLocalWebServerGen::refreshGroups()
{
    const QString text = m_group->currentText();
    fillGroupBox();
    m_group->setEditText(text);
}

void CDlgLocalWebServerGen::fillGroupBox()
{
    m_group->clear();
    m_group->addItem(QStringLiteral("None"));
    if (m_host != nullptr) {
        for (const QvString& group : m_host->listGroups()) {
            m_group->addItem(toQString(group));
        }
    }
    m_group->setCurrentIndex(0);
}

void CDlgLocalWebServerGen::browseBasePath()
{
    const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Base Path"), m_basePath->text());
    if (!folder.isEmpty()) {
        m_basePath->setText(folder);
    }
}

void CDlgLocalWebServerGen::browseBaseHtml()
{
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Base html"), m_basePath->text(),
                                                      QStringLiteral("Web pages (*.html *.htm);;All files (*)"));
    if (!file.isEmpty()) {
        m_baseHtml->setText(file);
    }
}

void CDlgLocalWebServerGen::OnOK()
{
    if (m_definition == nullptr) {
        done(kResultOk);
        return;
    }
    {
        bool isNumber = false;
        const int port = m_port->text().toInt(&isNumber);
        auto lock = m_definition->writeLock();
        m_definition->name = fromQString(m_name->text());
        // Only digits can be typed: a text that is no int is too large, and the check refuses it.
        m_definition->port = isNumber ? port : (m_port->text().isEmpty() ? 0 : std::numeric_limits<int>::max());
        m_definition->basepath = fromQString(m_basePath->text());
        m_definition->basehtml = fromQString(m_baseHtml->text());
        m_definition->grpname = fromQString(m_group->currentText());
    }
    // The registry's check also refuses a name taken by another server, so the dialog stays open then.
    const DefinitionCheck check =
        m_host != nullptr ? m_host->checkEdit(m_registeredName, *m_definition) : checkDefinition(*m_definition);
    if (!check.isAccepted()) {
        QvMessageBoxes::show(this, toQString(check.message), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
        switch (check.field) {
            case DefinitionField::Name:
                m_name->setFocus();
                break;
            case DefinitionField::Port:
                m_port->setFocus();
                break;
            case DefinitionField::BasePath:
                m_basePath->setFocus();
                break;
            case DefinitionField::Group:
                m_group->setFocus();
                break;
            case DefinitionField::None:
                break;
        }
        return;
    }
    if (m_modify && m_host != nullptr && m_host->changedSinceEdit(m_registeredName)) {
        const QString question = QStringLiteral(
                                     "Another process changed the \"%1\" WebServer since this window opened.\n"
                                     "Yes: Overwrite it with what is shown here\n"
                                     "No: Store only the fields changed here\n"
                                     "Cancel: Go back to editing")
                                     .arg(toQString(m_registeredName));
        switch (QvMessageBoxes::show(this, question, QvMessageBoxes::YesNoCancel, QvMessageBoxes::Question)) {
            case QvMessageBoxes::IdYes:
                m_host->overwriteOnFinish(m_registeredName);
                break;
            case QvMessageBoxes::IdNo:
                break;
            default:
                return;
        }
    }
    QvString notice;
    {
        auto lock = m_definition->writeLock();
        notice = applyDefaultPage(*m_definition);
    }
    if (!notice.isNull()) {
        QvMessageBoxes::show(this, toQString(notice), QvMessageBoxes::Ok, QvMessageBoxes::Information);
    }
    if (!confirmPage()) {
        m_baseHtml->setFocus();
        return;
    }
    done(kResultOk);
}

bool CDlgLocalWebServerGen::confirmPage()
{
    QString folder;
    QString page;
    {
        auto lock = m_definition->readLock();
        folder = toQString(m_definition->basepath);
        page = toQString(m_definition->basehtml);
    }
    if (isPageBelowFolder(folder, page)) {
        return true;
    }
    // "/" would answer 404; the page may still be made later, so the user decides.
    const QString question =
        QStringLiteral(
            "The page \"%1\" is not a file below the base path \"%2\", so \"/\" will not be found.\n"
            "Keep it anyway?")
            .arg(page, folder);
    return QvMessageBoxes::show(this, question, QvMessageBoxes::YesNo, QvMessageBoxes::Warning) ==
           QvMessageBoxes::IdYes;
}

void CDlgLocalWebServerGen::reject()
{
    done(kResultCancel);
}
