#include "http_guard.h"

#include <system_error>

namespace traceview {

const char *const content_security_policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

namespace {

bool lower_equal(const std::string &text, const std::string &lower)
{
    if (text.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i])
            return false;
    }
    return true;
}

bool plain_part(const std::string &part)
{
    if (part.empty() || part[0] == '.' || part.size() > 128)
        return false;
    for (char c : part) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

bool host_allowed(const std::string &host, int port)
{
    const std::string suffix = ":" + std::to_string(port);
    return lower_equal(host, "127.0.0.1" + suffix) || lower_equal(host, "localhost" + suffix);
}

bool origin_allowed(const std::string &origin, int port)
{
    const std::string suffix = ":" + std::to_string(port);
    return lower_equal(origin, "http://127.0.0.1" + suffix) || lower_equal(origin, "http://localhost" + suffix);
}

std::optional<std::filesystem::path> static_file(const std::filesystem::path &root, const std::string &url_path)
{
    if (url_path.empty() || url_path[0] != '/')
        return std::nullopt;
    std::filesystem::path file = root;
    std::string rest = url_path == "/" ? "/index.html" : url_path;
    std::size_t at = 1;
    while (at <= rest.size()) {
        std::size_t slash = rest.find('/', at);
        if (slash == std::string::npos)
            slash = rest.size();
        const std::string part = rest.substr(at, slash - at);
        if (!plain_part(part))
            return std::nullopt;
        file /= part;
        std::error_code ec;
        // No link on the way, not even one that stays inside.
        if (std::filesystem::is_symlink(std::filesystem::symlink_status(file, ec)) || ec)
            return std::nullopt;
        at = slash + 1;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file, ec)) || ec)
        return std::nullopt;
    const std::filesystem::path real = std::filesystem::canonical(file, ec);
    if (ec || real != file)
        return std::nullopt;
    return file;
}

std::string content_type_of(const std::filesystem::path &file)
{
    const std::string ext = file.extension().string();
    if (ext == ".html")
        return "text/html; charset=utf-8";
    if (ext == ".css")
        return "text/css; charset=utf-8";
    if (ext == ".js")
        return "text/javascript; charset=utf-8";
    if (ext == ".svg")
        return "image/svg+xml";
    if (ext == ".png")
        return "image/png";
    return "application/octet-stream";
}

} // namespace traceview
