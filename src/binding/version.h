// The module's version: written once, in pyproject.toml, and passed to the
// build by CMakeLists.txt.
#pragma once

namespace qrl::binding {

constexpr const char* kVersion = QRL_VERSION;

}  // namespace qrl::binding
