#include "Report.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "Arguments.h"

namespace kestrix::cli {

std::string JsonString(const std::string& text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                // Bytes that are not printable ASCII are escaped one by one, so
                // any status text stays valid JSON.
                if (u < 0x20 || u >= 0x7F) {
                    out += "\\u00";
                    out += kDigits[u >> 4];
                    out += kDigits[u & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

Report& Report::Number(const std::string& name, int64_t value) {
    m_fields.push_back({name, std::to_string(value), std::to_string(value), {}, false});
    return *this;
}

Report& Report::HexWord(const std::string& name, uint64_t value, int digits) {
    m_fields.push_back({name, std::to_string(value), HexNumber(value, digits), {}, false});
    return *this;
}

Report& Report::Text(const std::string& name, const std::string& value) {
    m_fields.push_back({name, JsonString(value), value, {}, false});
    return *this;
}

Report& Report::Flag(const std::string& name, bool value) {
    m_fields.push_back({name, value ? "true" : "false", value ? "yes" : "no", {}, false});
    return *this;
}

Report& Report::Object(const std::string& name, const Report& inner) {
    m_fields.push_back({name, inner.Json(), "", inner.m_fields, true});
    return *this;
}

Report& Report::Plain(const std::string& text) {
    m_plain = text;
    m_hasPlain = true;
    return *this;
}

void Report::PrintText(std::ostream& out, int indent) const {
    if (m_hasPlain) {
        if (!m_plain.empty()) out << m_plain << '\n';
        return;
    }
    size_t width = 0;
    for (const Field& f : m_fields) width = std::max(width, f.name.size());
    for (const Field& f : m_fields) {
        out << std::string(static_cast<size_t>(indent), ' ') << f.name;
        if (f.nested) {
            out << ":\n";
            Report inner;
            inner.m_fields = f.inner;
            inner.PrintText(out, indent + 2);
        } else {
            out << std::string(width - f.name.size() + 2, ' ') << f.text << '\n';
        }
    }
}

std::string Report::TextOf(const std::string& name) const {
    for (const Field& f : m_fields) {
        if (f.name == name) return f.text;
    }
    return "";
}

std::string Report::Json() const {
    std::string out = "{";
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (i > 0) out += ", ";
        out += JsonString(m_fields[i].name) + ": " + m_fields[i].json;
    }
    return out + "}";
}

void Report::PrintJson(std::ostream& out) const {
    out << Json() << '\n';
}

}  // namespace kestrix::cli
