#pragma once

#include <string>

namespace qvplat {

// The product version the build generated into QvVersion.h ("1.0.0.1", as "%d.%d.%d.%d").
std::u16string getProductVersion();

}  // namespace qvplat
