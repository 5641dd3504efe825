// The server settings the options give: how to connect, and how the run
// loads its tables and waits for others.
#pragma once

#include <optional>
#include <string>

#include "app/options.h"
#include "server/server_session.h"

// An option's text, or null when it is not given.
inline const char* Text(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

ConnectOptions ConnectOptionsOf(const Options& options);
LoadOptions LoadOptionsOf(const Options& options);
