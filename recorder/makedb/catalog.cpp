#include "makedb/catalog.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/files.h"

namespace catalog {

namespace {

constexpr std::uint32_t mo_magic = 0x950412de;

std::uint32_t word_at(const std::string &data, std::size_t offset, bool swapped)
{
    std::uint32_t word = 0;
    std::memcpy(&word, data.data() + offset, sizeof word);
    return swapped ? __builtin_bswap32(word) : word;
}

/// The candidate catalog names of one locale name, most specific first:
/// ll_CC.codeset@modifier, ll_CC@modifier, ll_CC, ll.
std::vector<std::string> name_variants(const std::string &name)
{
    std::string base = name, modifier;
    if (auto at = base.find('@'); at != std::string::npos) {
        modifier = base.substr(at);
        base.erase(at);
    }
    std::vector<std::string> variants{name};
    std::string no_codeset = base.substr(0, base.find('.'));
    if (!modifier.empty())
        variants.push_back(no_codeset + modifier);
    variants.push_back(no_codeset);
    variants.push_back(no_codeset.substr(0, no_codeset.find('_')));
    return variants;
}

struct IconvCloser {
    iconv_t handle;
    ~IconvCloser()
    {
        if (handle != reinterpret_cast<iconv_t>(-1))
            iconv_close(handle);
    }
};

/// `text` turned from UTF-8 into `codeset`; nothing when it cannot be.
std::optional<std::string> converted(const std::string &text, iconv_t to_codeset)
{
    std::string out(text.size() * 4 + 4, '\0');
    char *in_at = const_cast<char *>(text.data());
    std::size_t in_left = text.size();
    char *out_at = out.data();
    std::size_t out_left = out.size();
    iconv(to_codeset, nullptr, nullptr, nullptr, nullptr);
    if (iconv(to_codeset, &in_at, &in_left, &out_at, &out_left) == static_cast<std::size_t>(-1))
        return std::nullopt;
    out.resize(out.size() - out_left);
    return out;
}

bool is_c_locale(const std::string &name)
{
    return name.empty() || name == "C" || name == "POSIX" || name.starts_with("C.");
}

} // namespace

Catalog::Catalog(const std::filesystem::path &mo_file, const std::string &codeset)
{
    std::string data;
    try {
        data = files::read(mo_file);
    } catch (const std::runtime_error &) {
        return; // gettext too goes on without a catalog it cannot read
    }
    if (data.size() < 20)
        return;
    std::uint32_t magic = 0;
    std::memcpy(&magic, data.data(), sizeof magic);
    const bool swapped = magic != mo_magic;
    if (swapped && __builtin_bswap32(magic) != mo_magic)
        return;
    const std::uint32_t count = word_at(data, 8, swapped);
    const std::uint32_t originals = word_at(data, 12, swapped);
    const std::uint32_t translations = word_at(data, 16, swapped);
    auto text = [&](std::uint32_t table, std::uint32_t index, std::string &out) {
        const std::size_t entry = table + std::size_t{8} * index;
        if (entry + 8 > data.size())
            return false;
        const std::uint32_t length = word_at(data, entry, swapped), offset = word_at(data, entry + 4, swapped);
        if (std::size_t{offset} + length > data.size())
            return false;
        out.assign(data, offset, length);
        return true;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string original, translation;
        if (!text(originals, i, original) || !text(translations, i, translation))
            return;
        if (!original.empty() && !translation.empty())
            texts_.emplace(std::move(original), std::move(translation));
    }
    if (codeset == "UTF-8" || codeset == "utf8")
        return;
    // A translation that the build's codeset cannot hold is left untranslated, as gettext leaves it.
    const IconvCloser to_codeset{iconv_open((codeset + "//TRANSLIT").c_str(), "UTF-8")};
    if (to_codeset.handle == reinterpret_cast<iconv_t>(-1)) {
        texts_.clear();
        return;
    }
    for (auto &[original, translation] : texts_)
        translation = converted(translation, to_codeset.handle).value_or(original);
}

std::string Catalog::translate(std::string_view msgid) const
{
    auto found = texts_.find(msgid);
    return found == texts_.end() ? std::string(msgid) : found->second;
}

Catalog catalog_for(const LocaleEnv &env, const std::filesystem::path &locale_root)
{
    // gettext's order: LC_ALL, then LC_MESSAGES, then LANG name the locale;
    // LANGUAGE, a list of languages, counts only when that locale is not C.
    const std::string &locale = !env.lc_all.empty() ? env.lc_all : !env.lc_messages.empty() ? env.lc_messages : env.lang;
    if (is_c_locale(locale))
        return {};
    // make calls setlocale(LC_ALL, ""): a locale that is not installed leaves it in C.
    locale_t installed = newlocale(LC_ALL_MASK, locale.c_str(), locale_t{});
    if (installed == locale_t{})
        return {};
    const std::string codeset = nl_langinfo_l(CODESET, installed);
    // gettext turns the texts into the locale's codeset with that locale's
    // own transliterations („ becomes » in ISO-8859-1): so must the reader.
    struct LocaleInUse {
        locale_t locale, before;
        explicit LocaleInUse(locale_t l) : locale(l), before(uselocale(l)) {}
        ~LocaleInUse()
        {
            uselocale(before);
            freelocale(locale);
        }
    } in_use(installed);

    std::vector<std::string> languages;
    for (std::size_t start = 0; start <= env.language.size();) {
        std::size_t colon = env.language.find(':', start);
        if (colon == std::string::npos)
            colon = env.language.size();
        if (colon > start)
            languages.push_back(env.language.substr(start, colon - start));
        start = colon + 1;
    }
    languages.push_back(locale);
    for (const std::string &language : languages)
        for (const std::string &name : name_variants(language)) {
            const auto file = locale_root / name / "LC_MESSAGES" / "make.mo";
            if (std::filesystem::exists(file))
                return Catalog(file, codeset);
        }
    return {};
}

} // namespace catalog
