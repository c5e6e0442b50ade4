#include "app/UpdateCheck.h"

#include <json/json.h>

#include <QFile>
#include <QProcess>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/GuiThread.h"
#include "app/MessageBoxes.h"
#include "controls/QtConvert.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvINIFileMng.h"
#include "foundation/QvLogMng.h"
#include "foundation/QvStringArray.h"
#include "foundation/QvWinUtilFunc.h"
#include "httpclient/QvHttpClient.h"
#include "httpclient/QvHttpConnection.h"
#include "httpclient/QvMinisignVerifier.h"
#include "platform/FileSystem.h"

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
constexpr const char16_t* kPublicKeyKey = u"PUBLICKEY";
constexpr const char16_t* kMaxDownloadKey = u"MAXDOWNLOAD";
constexpr const char16_t* kDeadlineKey = u"DEADLINE";
constexpr const char16_t* kDownloadFolderPrefix = u"update-";
constexpr const char16_t* kSignatureSuffix = u".minisig";
constexpr std::int64_t kStaleDownloadSeconds = 3600;
constexpr int32_t kDataTypeForm = 4;
constexpr size_t kHashBlockBytes = 1 << 20;  // the setup file is hashed a mebibyte at a time

const QString kDownloadFailed = QStringLiteral("The update file could not be downloaded. Nothing was run.");
const QString kNotVerified = QStringLiteral("The update file could not be verified. Nothing was run.");
const QString kNoReleaseKey = QStringLiteral("Updates cannot be verified: no release key is configured.");
const QString kRunFailed = QStringLiteral("Installation file execution failed. Please update again!!");

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

// Reads a whole small file; false when it cannot be read or is larger than limit bytes.
bool readSmallFile(const QvString& path, uint64_t limit, std::string& out)
{
    qvplat::OpenedFileInfo info;
    std::FILE* file = qvplat::openRegularFileForRead(path.toStd(), info);
    if (file == nullptr) {
        return false;
    }
    out.resize(info.size <= limit ? size_t(info.size) : 0);
    const bool read = info.size <= limit && std::fread(out.data(), 1, out.size(), file) == out.size();
    std::fclose(file);
    return read;
}

// Where the signature of path lies: beside it, named after it plus ".minisig".
QvString signatureOf(QvString path)
{
    path += kSignatureSuffix;
    return path;
}

// The last segment of a path ("setup/new_setup.sh" -> "new_setup.sh"); empty when it ends in "/".
QvString lastSegment(const QvString& path)
{
    const size_t slash = path.view().rfind(u'/');
    return slash == std::u16string_view::npos ? path : path.mid(int(slash) + 1);
}

}  // namespace

CQvUpdateCheck::CQvUpdateCheck(QObject* parent) : QObject(parent)
{
    // Created here, on the user-interface thread, before any pool thread reaches them.
    CQvLogMng::getInstance();
    CQvDirMng::getInstance();
    // A download folder outlives its program only when that program crashed or was killed (up to
    // the size of a setup file each); an hour untouched leaves nothing a running check still uses.
    qvplat::removeStalePrivateDirectories(CQvDirMng::getInstance()->getDirPath(u"temp").toStd(), kDownloadFolderPrefix,
                                          kStaleDownloadSeconds);
}

CQvUpdateCheck::~CQvUpdateCheck()
{
    // No signal from here: the dialog that receives them is being taken apart.
    cancelRequests();
    bool requested = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        requested = m_requested;
    }
    if (requested) {
        // Cancelled requests end within about a second; until then a callback may still run.
        QvHttpClient::getInstance().waitForRequests(this, -1);
    }
    if (m_installer == nullptr || m_installer->state() == QProcess::NotRunning) {
        removeDownload();
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

CQvUpdateCheck::Settings CQvUpdateCheck::readSettings()
{
    Settings settings;
    const CQvINIFileMng* env = CEnvMng::getInstance()->getIniFile(ENV_FILE_ENV);
    settings.publicKey = env->getValue(kUpdateSection, kPublicKeyKey, INI_LAYER_CONFIG).toUtf8();
    const std::string cap = env->getValue(kUpdateSection, kMaxDownloadKey, INI_LAYER_MERGED).toUtf8();
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(cap.c_str(), &end, 10);
    if (!cap.empty() && *end == '\0' && bytes > 0) {
        settings.maxDownload = bytes;
    }
    const int32_t seconds = env->getIntValue(kUpdateSection, kDeadlineKey, INI_LAYER_MERGED);
    if (seconds > 0 && seconds <= INT32_MAX / 1000) {
        settings.deadlineMs = seconds * 1000;
    }
    return settings;
}

void CQvUpdateCheck::addSessions()
{
    QvHttpClient& client = QvHttpClient::getInstance();
    client.addSession(kSessionService, serviceBaseUrl());
    client.addSession(kSessionFiles, fileBaseUrl());
    QvHttpClient::setDownloadCallback(&CQvUpdateCheck::onReceiveHttpData);
}

void CQvUpdateCheck::OnCheckAppVersion()
{
    const QvString version = CQvWinUtilFunc::getInstance()->getProductVersion();
    const QvHttpForm form = makeForm(u"appverchk", compactInput(version));
    std::lock_guard<std::mutex> guard(m_lock);
    m_cancelled.store(false);
    m_requested = true;
    versionCheckReqIdx = QvHttpClient::getInstance().postForm(kServicePath, QvString(), form, QvString(),
                                                              &CQvUpdateCheck::onReceiveHttpData, this);
}

void CQvUpdateCheck::cancel()
{
    cancelRequests();
    emit progressEnded();
}

void CQvUpdateCheck::cancelRequests()
{
    // Under the lock: a request queued after this sees the flag, one queued before gets cancelled.
    std::lock_guard<std::mutex> guard(m_lock);
    m_cancelled.store(true);
    if (m_requested) {
        QvHttpClient::getInstance().cancelRequests(this);
    }
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
    int32_t version, setupUrl, download, signature;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        version = versionCheckReqIdx;
        setupUrl = setupUrlReqIdx;
        download = downloadReqIdx;
        signature = signatureReqIdx;
    }
    if (idx < 0 || m_cancelled.load()) {
        return;
    }
    if (step == 0) {
        if (idx == version) {
            handleVersionAnswer(dataType, info, result, resultLength);
        } else if (idx == setupUrl) {
            handleSetupFileUrlAnswer(dataType, info, result, resultLength);
        } else if (idx == download) {
            handleSetupDownload(0, static_cast<const char16_t*>(result), resultLength);
        } else if (idx == signature) {
            handleSignatureDownload(static_cast<const char16_t*>(result));
        }
    } else if (step == 1) {
        CQvLogMng::getInstance()->writeDebug(u"DOWNLOADING Contents %d Percent\n", int(resultLength));
        if (idx == download) {
            handleSetupDownload(1, nullptr, resultLength);
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
                    if (reply != QvMessageBoxes::IdYes || m_cancelled.load()) {
                        return;
                    }
                    // Without a key nothing could be verified: say so before anything is fetched.
                    Settings settings = readSettings();
                    if (!QvMinisignVerifier().setPublicKey(settings.publicKey)) {
                        showBox(kNoReleaseKey, QvMessageBoxes::Ok, QvMessageBoxes::Warning);
                        return;
                    }
                    {
                        std::lock_guard<std::mutex> guard(m_lock);
                        m_settings = std::move(settings);
                    }
                    requestSetupFileUrl();
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
    if (m_cancelled.load()) {
        return;
    }
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
    const QvString path = fileUrl.mid(at + QvString(kFilePathMarker).length());
    const QvString name = lastSegment(path);
    // A folder of its own, open to this user only: nobody can swap the file between check and start.
    const QvString temp = CQvDirMng::getInstance()->getSubDir(u"temp");
    const QvString folder = name.isEmpty() || temp.isEmpty()
                                ? QvString()
                                : QvString(qvplat::makePrivateDirectory(temp.toStd(), kDownloadFolderPrefix));
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_cancelled.load()) {
        if (!folder.isEmpty()) {
            qvplat::removeDirectory(folder.toStd());
        }
        return;
    }
    m_downloadDir = folder;
    m_filePath = path;
    m_setupPath = folder.isEmpty() ? QvString() : QvString::formatted(u"%s/%s", folder, name);
    downloadReqIdx = -1;
    if (!m_setupPath.isEmpty()) {
        m_requested = true;
        const QvHttpFileTarget target{m_setupPath, m_settings.maxDownload, m_settings.deadlineMs};
        downloadReqIdx = QvHttpClient::getInstance().downloadToFile(path, target, this);
    }
    // Queued under the lock, so the bar is shown before any progress of this download reaches it.
    if (downloadReqIdx >= 0) {
        QvGuiThread::post(this, [this] { emit progressStarted(); });
        return;
    }
    guard.unlock();
    failDownload(kDownloadFailed);
}

void CQvUpdateCheck::handleSetupDownload(int32_t step, const char16_t* storedPath, uint32_t percent)
{
    if (step == 1) {
        QvGuiThread::post(this, [this, percent] { emit progressChanged(int(percent)); });
        return;
    }
    if (storedPath == nullptr) {
        failDownload(kDownloadFailed);
        return;
    }
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_cancelled.load()) {
        return;
    }
    const QvHttpFileTarget target{signatureOf(m_setupPath), kMaxSignatureBytes, m_settings.deadlineMs};
    signatureReqIdx = QvHttpClient::getInstance().downloadToFile(signatureOf(m_filePath), target, this);
    if (signatureReqIdx < 0) {
        guard.unlock();
        failDownload(kNotVerified);
    }
}

void CQvUpdateCheck::handleSignatureDownload(const char16_t* storedPath)
{
    QvString setupPath;
    std::string publicKey;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        setupPath = m_setupPath;
        publicKey = m_settings.publicKey;
    }
    if (storedPath == nullptr || !verifySetupFile(setupPath, QvString(storedPath), publicKey)) {
        if (!m_cancelled.load()) {
            failDownload(kNotVerified);
        }
        return;
    }
    QvGuiThread::post(this, [this, setupPath] {
        emit progressEnded();
        runElevated(setupPath);
    });
}

bool CQvUpdateCheck::verifySetupFile(const QvString& setupPath, const QvString& signaturePath,
                                     const std::string& publicKey)
{
    std::string signature;
    QvMinisignVerifier verifier;
    if (!readSmallFile(signaturePath, kMaxSignatureBytes, signature) || !verifier.setPublicKey(publicKey) ||
        !verifier.setSignature(signature)) {
        return false;
    }
    std::FILE* file = qvplat::openRegularFileForRead(setupPath.toStd());
    if (file == nullptr) {
        return false;
    }
    std::vector<unsigned char> block(kHashBlockBytes);
    size_t read = 0;
    // An exit while a large file is hashed ends the check here, not after the last block.
    while (!m_cancelled.load() && (read = std::fread(block.data(), 1, block.size(), file)) > 0) {
        verifier.update(block.data(), read);
    }
    const bool whole = !m_cancelled.load() && std::ferror(file) == 0;
    std::fclose(file);
    return whole && verifier.verify();
}

void CQvUpdateCheck::failDownload(const QString& text)
{
    removeDownload();
    QvGuiThread::post(this, [this] { emit progressEnded(); });
    showBox(text, QvMessageBoxes::Ok, QvMessageBoxes::Warning);
}

void CQvUpdateCheck::removeDownload()
{
    QvString folder;
    QvString setupPath;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        folder = m_downloadDir;
        setupPath = m_setupPath;
        m_downloadDir = QvString();
        m_setupPath = QvString();
    }
    if (folder.isEmpty()) {
        return;
    }
    qvplat::removeFile(setupPath.toStd());
    qvplat::removeFile((signatureOf(setupPath)).toStd());
    qvplat::removeDirectory(folder.toStd());
}

void CQvUpdateCheck::runElevated(const QvString& path)
{
    const auto ended = [this](bool succeeded) {
        if (m_installer != nullptr) {
            m_installer->deleteLater();
            m_installer = nullptr;
        }
        removeDownload();
        if (succeeded) {
            emit installerStarted();
        } else {
            showBox(kRunFailed, QvMessageBoxes::YesNo, QvMessageBoxes::Warning);
        }
    };
    QFile file(toQString(path));
    if (m_cancelled.load() || m_installer != nullptr) {
        removeDownload();
        return;
    }
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        ended(false);
        return;
    }
    // pkexec is waited for: it needs this process alive to ask for the password, and only its exit
    // status says whether the installer ran (126: authorisation refused or dismissed, 127: not run).
    m_installer = new QProcess(this);
    connect(m_installer, &QProcess::finished, this,
            [ended](int code, QProcess::ExitStatus status) { ended(status == QProcess::NormalExit && code == 0); });
    connect(m_installer, &QProcess::errorOccurred, this, [ended](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            ended(false);
        }
    });
    m_installer->start(QStringLiteral("pkexec"), {toQString(path)});
}
