// Table rows print the way they are written, so a failing case names its
// row: strings in double quotes, with quotes, backslashes, control bytes and
// high bytes escaped.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

inline std::string Quoted(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out + "\"";
}

inline std::string Quoted(const char *text) {
    return text == nullptr ? "null" : Quoted(std::string(text));
}

inline std::string Quoted(const std::vector<std::string> &list) {
    std::string out = "{";
    for (const std::string &text : list)
        out += (out.size() > 1 ? ", " : "") + Quoted(text);
    return out + "}";
}
