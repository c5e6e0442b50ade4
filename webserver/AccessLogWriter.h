#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/QvString.h"
#include "webserver/AccessLog.h"

// Writes each answer as one line of the access log, either to a stream (the command line's
// standard error) or to one file per day, "access_yyyymmdd.log" in a folder (the desktop
// program's logs folder), made on the first answer. Lines of concurrent answers never mix.
class CQvAccessLogWriter : public IQvAccessLogSink {
public:
    // Writes to stream, which is not owned and must outlive the writer.
    explicit CQvAccessLogWriter(std::FILE* stream);
    // Writes to the dated files in folder.
    explicit CQvAccessLogWriter(QvString folder);
    ~CQvAccessLogWriter() override;
    CQvAccessLogWriter(const CQvAccessLogWriter&) = delete;
    CQvAccessLogWriter& operator=(const CQvAccessLogWriter&) = delete;

    void logAnswer(const std::string& address, std::string_view requestLine, int status, long long bodyBytes) override;

private:
    // The day's file, opened (or reopened after midnight) under m_mutex; null when it cannot be.
    std::FILE* dayFile(const QvString& name);

    std::mutex m_mutex;
    std::FILE* m_stream = nullptr;  // not owned
    QvString m_folder;
    QvString m_fileName;          // the open day file's name
    std::FILE* m_file = nullptr;  // owned
};
