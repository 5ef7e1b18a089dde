#include "split.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

const char *split_fields(std::string_view line, char sep, std::vector<std::string> *fields)
{
    fields->clear();
    size_t i = 0;
    const size_t len = line.size();
    for (;;) {
        std::string field;
        if (i < len && line[i] == '"') {
            for (++i;; ++i) {
                if (i >= len)
                    return "a quoted field has no closing quote on its line";
                if (line[i] == '"') {
                    if (i + 1 < len && line[i + 1] == '"') {
                        field += '"';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i];
            }
            if (i < len && line[i] != sep)
                return "text follows the closing quote of a field";
        } else {
            size_t j = line.find(sep, i);
            if (j == std::string_view::npos)
                j = len;
            field.assign(line.substr(i, j - i));
            i = j;
        }
        fields->push_back(std::move(field));
        if (i >= len)
            return nullptr;
        ++i;  // the separator
    }
}

char detect_separator(std::string_view line)
{
    bool quoted = false, comma = false;
    for (char ch : line) {
        if (ch == '"')
            quoted = !quoted;
        else if (!quoted && ch == '\t')
            return '\t';
        else if (!quoted && ch == ',')
            comma = true;
    }
    return comma ? ',' : '\t';
}

count_fault check_count(std::string_view text)
{
    size_t i = 0;
    const bool minus = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return count_not_number;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        size_t exponent = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++exponent;
        if (exponent == 0)
            return count_not_number;
    }
    if (i != text.size())
        return count_not_number;
    const std::string copy(text);
    const float single = std::strtof(copy.c_str(), nullptr);
    if (minus && single != 0.0f)
        return count_negative;
    // Also a value that rounds to 0 in single precision: mirdle would read 0
    // where the matrix holds a positive count.
    const double wide = std::strtod(copy.c_str(), nullptr);
    if (std::isinf(single) || (single == 0.0f && wide != 0.0))
        return minus ? count_negative : count_out_of_range;
    return count_ok;
}

std::string_view trim_blanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool has_control(std::string_view text)
{
    for (unsigned char ch : text)
        if (ch < 0x20 || ch == 0x7f)
            return true;
    return false;
}

const char *condition_name_fault(std::string_view name)
{
    if (name.empty())
        return "it is empty";
    if (name == "." || name == "..")
        return "it is . or ..";
    if (name.find('/') != std::string_view::npos)
        return "it holds a \"/\"";
    if (has_control(name))
        return "it holds a control character";
    return nullptr;
}

std::string shell_word(const std::string &text)
{
    static const char safe[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+:=@%,-";
    std::string word = text;
    if (!word.empty() && word[0] == '-')
        word = "./" + word;
    if (!word.empty() && word.find_first_not_of(safe) == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char ch : word) {
        if (ch == '\'')
            quoted += "'\\''";
        else
            quoted += ch;
    }
    return quoted + "'";
}

std::string table_path(const char *dir, const std::string &condition)
{
    std::string path = dir;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + condition + ".tsv";
}
