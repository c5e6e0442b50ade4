#include "app/UpdateCheck.h"

#include <json/json.h>

#include <QFile>

#include "app/GuiThread.h"
#include "app/MessageBoxes.h"
#include "controls/QtConvert.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvFile.h"
#include "foundation/QvLogMng.h"
#include "foundation/QvStringArray.h"
#include "foundation/QvWinUtilFunc.h"
#include "httpclient/QvHttpClient.h"
#include "platform/Process.h"

namespace {

constexpr const char16_t* kUpdateSection = u"UPDATE";
constexpr const char16_t* kServiceUrlKey = u"SERVICEURL";
constexpr const char16_t* kFileUrlKey = u"FILEURL";
// One host serves both: the update service on 7530, its setup files on 8080. Without configuration
// that host is this machine, where tools/update-service runs a self-hosted channel.
constexpr const char16_t* kDefaultServiceUrl = u"http://127.0.0.1:7530";
constexpr const char16_t* kDefaultFileUrl = u"http://127.0.0.1:8080";

constexpr const char16_t* kServicePath = u"appversion";
constexpr const char16_t* kFilePathMarker = u"/var/www/html/";
constexpr int32_t kDataTypeForm = 4;
constexpr int kIdleWaitMs = 30000;  // bounded by the client's own time-outs

std::mutex s_launcherLock;
CQvUpdateCheck::Launcher s_launcher;

QvString configured(const char16_t* key, const char16_t* fallback)
{
    const QvString url = CEnvMng::getInstance()->getString(ENV_FILE_ENV, kUpdateSection, key);
    return url.isEmpty() ? QvString(fallback) : url;
}

// The compact JSON text of "input": members in key order, one newline at the end.
QvString compactInput(const QvString& version)
{
    Json::Value input(Json::objectValue);
    input["appname"] = "QvWebServer";
    input["appos"] = "Window";
    if (!version.isEmpty()) {
        input["appversion"] = version.toUtf8();
    }
    return QvString::fromUtf8(Json::FastWriter().write(input));
}

QvHttpForm makeForm(const char16_t* cmd, const QvString& input)
{
    QvHttpForm form;
    form[u"cmd"][0] = cmd;
    form[u"input"][1] = input;
    return form;
}

bool parse(const QvString& text, Json::Value& out)
{
    Json::Reader reader;
    return reader.parse(text.toUtf8(), out);
}

// A member that is missing or not a text counts as the empty text.
std::string textOf(const Json::Value& value)
{
    return value.isString() ? value.asString() : std::string();
}

QString codeMessage(const Json::Value& answer)
{
    return QStringLiteral("[%1] %2").arg(QString::fromStdString(textOf(answer["msgcode"])),
                                         QString::fromStdString(textOf(answer["msg"])));
}

bool pkexecLauncher(const QvString& path)
{
    QFile file(toQString(path));
    if (!file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser)) {
        return false;
    }
    // Single quotes keep the path literal; a quote inside it is closed, escaped and reopened.
    std::u16string quoted = u"'";
    for (char16_t ch : path.view()) {
        quoted += ch == u'\'' ? std::u16string(u"'\\''") : std::u16string(1, ch);
    }
    quoted += u"'";
    return qvplat::createProcess(u"pkexec " + quoted);
}

}  // namespace

CQvUpdateCheck::CQvUpdateCheck(QObject* parent) : QObject(parent)
{
    // Created here, on the user-interface thread, before any pool thread reaches them.
    CQvLogMng::getInstance();
    CQvDirMng::getInstance();
}

CQvUpdateCheck::~CQvUpdateCheck()
{
    if (m_requested) {
        QvHttpClient::getInstance().waitUntilIdle(kIdleWaitMs);
    }
}

QvString CQvUpdateCheck::serviceBaseUrl()
{
    return configured(kServiceUrlKey, kDefaultServiceUrl);
}

QvString CQvUpdateCheck::fileBaseUrl()
{
    return configured(kFileUrlKey, kDefaultFileUrl);
}

void CQvUpdateCheck::addSessions()
{
    QvHttpClient& client = QvHttpClient::getInstance();
    client.addSession(kSessionService, serviceBaseUrl());
    client.addSession(kSessionFiles, fileBaseUrl());
    QvHttpClient::setDownloadCallback(&CQvUpdateCheck::onReceiveHttpData);
}

void CQvUpdateCheck::setLauncherForTesting(Launcher launcher)
{
    std::lock_guard<std::mutex> guard(s_launcherLock);
    s_launcher = std::move(launcher);
}

void CQvUpdateCheck::OnCheckAppVersion()
{
    const QvString version = CQvWinUtilFunc::getInstance()->getProductVersion();
    const QvHttpForm form = makeForm(u"appverchk", compactInput(version));
    std::lock_guard<std::mutex> guard(m_lock);
    m_requested = true;
    versionCheckReqIdx = QvHttpClient::getInstance().postForm(kServicePath, QvString(), form, QvString(),
                                                              &CQvUpdateCheck::onReceiveHttpData, this);
}

int CQvUpdateCheck::onReceiveHttpData(void* context, int32_t reqType, int32_t dataType, const char16_t* reqInfo,
                                      int32_t reqInfoLength, int32_t step, const unsigned char*, uint32_t,
                                      const void* result, int32_t resultLength)
{
    CQvLogMng* log = CQvLogMng::getInstance();
    log->writeDebug(u"onReceiveHttpData(%d,%d,Step:%d, %d %s)\n", reqType, dataType, step, int(resultLength),
                    step == 0 ? u"bytes" : u"Percent");
    const QvString info(reqInfo, int(reqInfoLength));
    log->writeDebug(u"RequestRet ^%s^\n", info);
    static_cast<CQvUpdateCheck*>(context)->route(dataType, step, info, result,
                                                 uint32_t(resultLength < 0 ? 0 : resultLength));
    return 0;
}

void CQvUpdateCheck::route(int32_t dataType, int32_t step, const QvString& info, const void* result,
                           uint32_t resultLength)
{
    Json::Value description;
    if (!parse(info, description) || !description.isObject()) {
        CQvLogMng::getInstance()->writeDebug(u"Json Parse False!!!!\n");
        return;
    }
    const int32_t idx = description["reqidx"].isInt() ? description["reqidx"].asInt() : -1;
    int32_t version, setupUrl, download;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        version = versionCheckReqIdx;
        setupUrl = setupUrlReqIdx;
        download = downloadReqIdx;
    }
    if (idx < 0) {
        return;
    }
    if (step == 0) {
        if (idx == version) {
            handleVersionAnswer(dataType, info, result, resultLength);
        } else if (idx == setupUrl) {
            handleSetupFileUrlAnswer(dataType, info, result, resultLength);
        } else if (idx == download) {
            handleSetupDownload(0, info, static_cast<const unsigned char*>(result), resultLength);
        }
    } else if (step == 1) {
        CQvLogMng::getInstance()->writeDebug(u"DOWNLOADING Contents %d Percent\n", int(resultLength));
        if (idx == download) {
            handleSetupDownload(1, info, nullptr, resultLength);
        }
    }
}

void CQvUpdateCheck::customEvent(QEvent* event)
{
    QvGuiThread::run(event);
}

void CQvUpdateCheck::showBox(const QString& text, int buttons, int icon, std::function<void(int)> then)
{
    QvGuiThread::post(this, [this, text, buttons, icon, then = std::move(then)] {
        int answer = buttons == QvMessageBoxes::Ok ? QvMessageBoxes::IdOk : QvMessageBoxes::IdNo;
        emit messageBox(text, buttons, icon, &answer);
        if (then) {
            then(answer);
        }
    });
}

void CQvUpdateCheck::handleVersionAnswer(int32_t dataType, const QvString&, const void* result, uint32_t resultLength)
{
    Json::Value answer;
    if (dataType != kDataTypeForm ||
        !parse(QvString(static_cast<const char16_t*>(result), int(resultLength)), answer) || !answer.isObject() ||
        !answer.isMember("msgcode")) {
        return;
    }
    const std::string code = textOf(answer["msgcode"]);
    if (code == "0000") {
        showBox(QStringLiteral("This program is the latest version."), QvMessageBoxes::Ok, QvMessageBoxes::Information);
    } else if (code == "0001") {
        showBox(QStringLiteral("An updated version exists. Do you want to update?"), QvMessageBoxes::YesNo,
                QvMessageBoxes::Question, [this](int reply) {
                    if (reply == QvMessageBoxes::IdYes) {
                        requestSetupFileUrl();
                    }
                });
    } else {
        showBox(codeMessage(answer) + QStringLiteral("\nUpdate version can not be checked!!"), QvMessageBoxes::Ok,
                QvMessageBoxes::Warning);
    }
}

void CQvUpdateCheck::requestSetupFileUrl()
{
    const QvHttpForm form = makeForm(u"appfileurl", compactInput(QvString()));
    std::lock_guard<std::mutex> guard(m_lock);
    m_requested = true;
    setupUrlReqIdx = QvHttpClient::getInstance().postForm(kServicePath, QvString(), form, QvString(),
                                                          &CQvUpdateCheck::onReceiveHttpData, this);
}

void CQvUpdateCheck::handleSetupFileUrlAnswer(int32_t dataType, const QvString&, const void* result,
                                              uint32_t resultLength)
{
    Json::Value answer;
    if (dataType != kDataTypeForm ||
        !parse(QvString(static_cast<const char16_t*>(result), int(resultLength)), answer) || !answer.isObject() ||
        !answer.isMember("msgcode")) {
        return;
    }
    if (textOf(answer["msgcode"]) == "0000") {
        const Json::Value& output = answer["output"];
        const Json::Value& block = output.isObject() ? output["outblk1"] : Json::Value::nullSingleton();
        const std::string url = block.isObject() ? textOf(block["fileurl"]) : std::string();
        startSetupDownload(QvString::fromUtf8(url));
    } else {
        showBox(codeMessage(answer) + QStringLiteral("\nNew SetupFile URL Not Found!!"), QvMessageBoxes::Ok,
                QvMessageBoxes::Warning);
    }
}

void CQvUpdateCheck::startSetupDownload(const QvString& fileUrl)
{
    const int at = fileUrl.find(kFilePathMarker);
    if (at < 0) {
        showBox(QStringLiteral("The file path is not valid!!"), QvMessageBoxes::YesNo, QvMessageBoxes::Warning);
        return;
    }
    QvStringArray names;
    names.add(fileUrl.mid(at + QvString(kFilePathMarker).length()));
    std::lock_guard<std::mutex> guard(m_lock);
    m_requested = true;
    downloadReqIdx = QvHttpClient::getInstance().GetFileDownload(names, QvString(), QvString(), this);
    // Queued under the lock, so the bar is shown before any progress of this download reaches it.
    if (downloadReqIdx >= 0) {
        QvGuiThread::post(this, [this] { emit progressStarted(); });
    }
}

void CQvUpdateCheck::handleSetupDownload(int32_t step, const QvString& info, const unsigned char* data, uint32_t length)
{
    if (step == 1) {
        const int percent = int(length);
        QvGuiThread::post(this, [this, percent] { emit progressChanged(percent); });
        return;
    }
    Json::Value description;
    if (!parse(info, description)) {
        return;
    }
    const QvString url = QvString::fromUtf8(textOf(description["baseurl"]));
    const std::u16string_view text = url.view();
    const size_t slash = text.rfind(u'/');
    const QvString name = (slash != std::u16string_view::npos && slash > 0) ? url.mid(int(slash) + 1) : QvString();
    if (name.isEmpty() || length == 0 || data == nullptr) {
        return;
    }
    const QvString path = CQvDirMng::getInstance()->getFilePath(u"temp", name, true);
    CQvFile file;
    if (path.isEmpty() || !file.open(CQvFile::kAccessWriteUpdate, CQvFile::kKindBinary, path, 0)) {
        return;
    }
    const uint32_t written = file.write(data, length, 1, length);
    file.close();
    if (written < length) {
        return;
    }
    if (runElevated(path)) {
        QvGuiThread::post(this, [this] { emit installerStarted(); });
    } else {
        showBox(QStringLiteral("Installation file execution failed. Please update again!!"), QvMessageBoxes::YesNo,
                QvMessageBoxes::Warning);
    }
}

bool CQvUpdateCheck::runElevated(const QvString& path)
{
    Launcher launcher;
    {
        std::lock_guard<std::mutex> guard(s_launcherLock);
        launcher = s_launcher;
    }
    return launcher ? launcher(path) : pkexecLauncher(path);
}
