#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kestrix::cli {

// What a command found out, printed either as "name  value" lines or as one
// JSON object. Values keep their JSON form and their text form side by side.
class Report {
public:
    Report& Number(const std::string& name, int64_t value);
    // A number shown in hex on the terminal; JSON carries the plain number.
    Report& HexWord(const std::string& name, uint64_t value, int digits);
    Report& Text(const std::string& name, const std::string& value);
    Report& Flag(const std::string& name, bool value);
    // A nested object, written as indented lines in text form.
    Report& Object(const std::string& name, const Report& inner);
    // Replaces the "name  value" lines with this text (JSON is unchanged).
    Report& Plain(const std::string& text);

    // The text form of a field, "" when there is none.
    std::string TextOf(const std::string& name) const;

    void PrintText(std::ostream& out, int indent = 0) const;
    void PrintJson(std::ostream& out) const;
    std::string Json() const;

private:
    struct Field {
        std::string name;
        std::string json;
        std::string text;
        std::vector<Field> inner;
        bool nested = false;
    };
    std::vector<Field> m_fields;
    std::string m_plain;
    bool m_hasPlain = false;
};

std::string JsonString(const std::string& text);

}  // namespace kestrix::cli
