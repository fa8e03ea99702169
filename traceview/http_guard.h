// The checks every request passes before it reaches a handler, and the
// mapping of a URL path to a static file that cannot leave the page's folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace traceview {

/// True when the Host header names this server itself: 127.0.0.1:PORT or
/// localhost:PORT.  Anything else may be a DNS-rebinding page.
bool host_allowed(const std::string &host, int port);

/// True when the Origin header is this server's own (http://127.0.0.1:PORT
/// or http://localhost:PORT).
bool origin_allowed(const std::string &origin, int port);

/// The file under `root` (an absolute, canonical folder) that the decoded
/// URL path `url_path` names, or nothing: only plain names of letters,
/// digits, '.', '-' and '_' in each part, no part starting with '.', no
/// link anywhere on the way, a regular file at the end.  "/" is index.html.
std::optional<std::filesystem::path> static_file(const std::filesystem::path &root, const std::string &url_path);

/// The Content-Type of a static file, by its extension.
std::string content_type_of(const std::filesystem::path &file);

/// The Content-Security-Policy of every answer: scripts and styles from this server only.
extern const char *const content_security_policy;

} // namespace traceview
