// The words of make's data base in the language a build ran in.  make
// translates the section headers and marker lines of `make -p` through its
// message catalog, so the reader looks the English texts up in the same
// catalog (/usr/share/locale/LL/LC_MESSAGES/make.mo) that make used.
//
// The catalog file is read directly rather than through dgettext: gettext
// takes its choice of language from the reading process's own locale and
// LANGUAGE, while here it must follow the environment of a build that ran
// earlier, possibly under another user's settings.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace catalog {

/// The translations of one language; without a catalog every text is its own translation.
class Catalog {
public:
    Catalog() = default;
    /// Reads a GNU .mo file, its translations turned from UTF-8 into
    /// `codeset` as gettext turns them for make; an unreadable or malformed
    /// file gives an empty catalog.
    explicit Catalog(const std::filesystem::path &mo_file, const std::string &codeset = "UTF-8");
    /// The translation of `msgid`, or `msgid` itself when the catalog has none.
    std::string translate(std::string_view msgid) const;

private:
    std::map<std::string, std::string, std::less<>> texts_;
};

/// The locale settings of a build, as its environment had them.
struct LocaleEnv {
    std::string language, lc_all, lc_messages, lang;
};

/// The catalog that make used under `env`: none for the C locale or a
/// locale that is not installed (make then stays English), else the first
/// of LANGUAGE's entries, or the locale itself, that has a catalog under
/// `locale_root`.
Catalog catalog_for(const LocaleEnv &env, const std::filesystem::path &locale_root = "/usr/share/locale");

} // namespace catalog
