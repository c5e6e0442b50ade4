#pragma once

#include <string>

#include "TempDir.h"
#include "platform/FileSystem.h"
#include "platform/ServiceContext.h"

// The "executable" at <temp>/qvwebserver, so that config/, user/ and Log/ beside it are a test's own,
// with a fresh service context that ends (the user layers are saved) before the folder goes.
struct ExeFolder {
    explicit ExeFolder(const std::string& tag) : dir(tag)
    {
        qvplat::setModuleFileNameForTesting((dir.path() / "qvwebserver").u16string());
    }
    TempDir dir;
    qvplat::ScopedServiceContext services;
};
