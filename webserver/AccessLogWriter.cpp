#include "webserver/AccessLogWriter.h"

#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "platform/LocalTime.h"

CQvAccessLogWriter::CQvAccessLogWriter(std::FILE* stream) : m_stream(stream) {}

CQvAccessLogWriter::CQvAccessLogWriter(QvString folder) : m_folder(std::move(folder)) {}

CQvAccessLogWriter::~CQvAccessLogWriter()
{
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

void CQvAccessLogWriter::logAnswer(const std::string& address, std::string_view requestLine, int status,
                                   long long bodyBytes)
{
    int offset = 0;
    const qvplat::SystemTime now = qvplat::getLocalTime(offset);
    const std::string line = CQvAccessLog::formatLine(address, now, offset, requestLine, status, bodyBytes) + '\n';
    std::lock_guard lock(m_mutex);
    std::FILE* target = m_stream;
    if (target == nullptr) {
        target = dayFile(CQvDirMng::makeDatedName(now, u"access_", u"log", false, false, false));
    }
    if (target != nullptr) {
        std::fwrite(line.data(), 1, line.size(), target);
        std::fflush(target);  // a line is complete on disk (or on the terminal) when its answer is
    }
}

std::FILE* CQvAccessLogWriter::dayFile(const QvString& name)
{
    if (m_file != nullptr && name == m_fileName) {
        return m_file;
    }
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (m_folder.isEmpty() || !CQvDirMng::makeDirectories(m_folder)) {
        return nullptr;
    }
    QvString path = m_folder;
    path.append(qvplat::kPathSeparator);
    path.append(name);
    m_file = qvplat::openFile(path.toStd(), "ab");
    m_fileName = name;
    return m_file;
}
