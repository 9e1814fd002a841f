#include "report_fields.h"

#include <cstdio>

namespace host {

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
}

std::string escapedField(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool unescapedField(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case '\\':
                *out += '\\';
                break;
            case 't':
                *out += '\t';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            default:
                return false;
        }
    }
    return true;
}

bool writeReportFile(const std::string& path, const std::string& text, std::string* error) {
    const std::string partial = path + ".partial";
    std::ofstream file(partial, std::ios::trunc);
    file << text;
    file.close();
    if (!file || rename(partial.c_str(), path.c_str()) != 0) {
        remove(partial.c_str());
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool openReportFile(const std::string& path, const std::string& magic, const std::string& what,
                    std::ifstream* file, std::string* error) {
    file->open(path);
    if (!*file) {
        *error = "cannot read " + path;
        return false;
    }
    std::string line;
    if (!std::getline(*file, line) || line != magic) {
        *error = path + " is not " + what;
        return false;
    }
    return true;
}

}  // namespace host
