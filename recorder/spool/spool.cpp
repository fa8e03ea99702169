#include "spool/spool.h"

#include "common/copy_text.h"
#include "common/files.h"

namespace spool {

void append_field(std::string &out, std::string_view value)
{
    // Most values need no escape at all: copy the runs between the bytes that do.
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char letter = copy_text::escape_letter(value[i]);
        if (letter == 0)
            continue;
        out.append(value, start, i - start);
        out += '\\';
        out += letter;
        start = i + 1;
    }
    out.append(value, start, value.size() - start);
}

std::string escape_field(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    append_field(out, value);
    return out;
}

std::string unescape_field(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 1 < field.size())
            out += copy_text::unescaped(field[++i]);
        else
            out += field[i];
    }
    return out;
}

std::vector<std::string> split_record(std::string_view line)
{
    std::vector<std::string> fields;
    for (;;) {
        std::size_t tab = line.find('\t');
        fields.push_back(unescape_field(line.substr(0, tab)));
        if (tab == std::string_view::npos)
            return fields;
        line.remove_prefix(tab + 1);
    }
}

std::string join_record(const std::vector<std::string> &fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += '\t';
        append_field(line, fields[i]);
    }
    line += '\n';
    return line;
}

std::vector<std::vector<std::string>> read_records(const std::filesystem::path &file)
{
    const std::string text = files::read_if_present(file).value_or("");
    std::vector<std::vector<std::string>> records;
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t end = rest.find('\n');
        records.push_back(split_record(rest.substr(0, end)));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return records;
}

std::map<std::string, std::string> read_keys(const std::filesystem::path &file)
{
    std::map<std::string, std::string> keys;
    for (auto &record : read_records(file))
        keys[record[0]] = record.size() > 1 ? record[1] : std::string();
    return keys;
}

void write_keys(const std::filesystem::path &file, const std::map<std::string, std::string> &keys)
{
    std::string lines;
    for (const auto &[key, value] : keys)
        lines += join_record({key, value});
    files::replace(file, lines);
}

} // namespace spool
