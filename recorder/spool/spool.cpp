#include "spool/spool.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace spool {

void append_field(std::string &out, std::string_view value)
{
    // Most values need no escape at all: copy the runs between the bytes that do.
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c != '\\' && c != '\t' && c != '\n' && c != '\r')
            continue;
        out.append(value, start, i - start);
        out += '\\';
        out += c == '\\' ? '\\' : c == '\t' ? 't' : c == '\n' ? 'n' : 'r';
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
        char c = field[i];
        if (c != '\\' || i + 1 == field.size()) {
            out += c;
            continue;
        }
        switch (field[++i]) {
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        default: out += field[i]; // "\\" and anything this writer never produces
        }
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
    std::vector<std::vector<std::string>> records;
    std::ifstream in(file, std::ios::binary);
    std::error_code missing;
    if (!in && !std::filesystem::exists(file, missing))
        return records;
    std::string line;
    while (std::getline(in, line))
        records.push_back(split_record(line));
    if (!in.eof())
        throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(errno));
    return records;
}

std::string read_whole(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string read_spool_file(const std::filesystem::path &file)
{
    std::string text;
    try {
        text = read_whole(file);
    } catch (const std::exception &error) {
        throw std::runtime_error("cannot read " + file.string() + ": " + error.what());
    }
    std::error_code error;
    if (text.empty() && !(std::filesystem::is_regular_file(file, error) && std::filesystem::file_size(file, error) == 0))
        throw std::runtime_error("cannot read " + file.string());
    return text;
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
    std::filesystem::path temporary = file;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        for (const auto &[key, value] : keys)
            out << join_record({key, value});
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + temporary.string());
    }
    std::filesystem::rename(temporary, file);
}

} // namespace spool
