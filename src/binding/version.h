// The module's version, as in pyproject.toml.
#pragma once

namespace qrl::binding {

constexpr const char* kVersion = "0.1.1";

}  // namespace qrl::binding
