#pragma once

#include <mutex>
#include <shared_mutex>

#include "foundation/QvMap.h"
#include "foundation/QvString.h"

// The definition of one local web server: what the edit dialog produces, what the registry stores
// (the field names are the stored form's member names) and what a running server reads while it
// answers. The connections of a running server read it under readLock(); whoever edits a
// registered record does so under writeLock() (operator= takes it), so an answer never sees half
// an edit.
struct _tag_WebServerInfo {
    static constexpr int kDefaultPort = 8080;

    QvString name{u""};
    QvString grpname{u""};  // "None" means no group
    int port = kDefaultPort;
    QvString basepath{u""};                  // directory served; a plain prefix of the request target
    QvString basehtml{u""};                  // file served for "/"
    QvMap<QvString, QvString> contentstype;  // extension (no dot, exact case) -> MIME type

    _tag_WebServerInfo() = default;
    // A full copy (the source is read under its lock).
    _tag_WebServerInfo(const _tag_WebServerInfo& other);
    // The copy rule: name, grpname, port, basepath and basehtml are replaced; contentstype is
    // merged (every source entry is set, entries only in the destination stay).
    _tag_WebServerInfo& operator=(const _tag_WebServerInfo& other);
    ~_tag_WebServerInfo() = default;

    // The system's shared lock lets new readers in while a writer waits, so a busy server could hold
    // an edit off for ever. Both sides pass the gate first; a writer keeps it closed until it holds
    // the lock, so it waits only for the answers already being prepared. Never nest readLock().
    std::shared_lock<std::shared_mutex> readLock() const
    {
        {
            const std::lock_guard gate(m_gate);
        }
        return std::shared_lock(m_lock);
    }
    std::unique_lock<std::shared_mutex> writeLock() const
    {
        const std::lock_guard gate(m_gate);
        return std::unique_lock(m_lock);
    }

private:
    mutable std::mutex m_gate;
    mutable std::shared_mutex m_lock;
};
