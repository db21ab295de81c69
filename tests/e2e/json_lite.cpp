#include "json_lite.h"

#include <cstdlib>

namespace {

const JsonValue NULL_VALUE;

struct Cursor {
    const std::string& text;
    size_t at;
};

void skip_space(Cursor* c) {
    while (c->at < c->text.size() && (c->text[c->at] == ' ' || c->text[c->at] == '\n' ||
                                      c->text[c->at] == '\r' || c->text[c->at] == '\t')) {
        ++c->at;
    }
}

bool take(Cursor* c, char wanted) {
    skip_space(c);
    if (c->at < c->text.size() && c->text[c->at] == wanted) {
        ++c->at;
        return true;
    }
    return false;
}

bool take_word(Cursor* c, const std::string& word) {
    if (c->text.compare(c->at, word.size(), word) != 0) return false;
    c->at += word.size();
    return true;
}

bool parse_value(Cursor* c, JsonValue* value);

bool parse_text(Cursor* c, std::string* out) {
    if (!take(c, '"')) return false;
    while (c->at < c->text.size() && c->text[c->at] != '"') {
        char ch = c->text[c->at++];
        if (ch == '\\' && c->at < c->text.size()) {
            const char kind = c->text[c->at++];
            if (kind == 'u' && c->at + 4 <= c->text.size()) {
                // Reports escape single bytes only, so a code below 0x100 is one byte.
                ch = static_cast<char>(std::strtoul(c->text.substr(c->at, 4).c_str(), nullptr, 16));
                c->at += 4;
            } else {
                ch = kind == 'n' ? '\n' : kind == 't' ? '\t' : kind == 'r' ? '\r' : kind;
            }
        }
        *out += ch;
    }
    return take(c, '"');
}

bool parse_array(Cursor* c, JsonValue* value) {
    value->type = JsonType::array;
    if (take(c, ']')) return true;
    do {
        value->items.emplace_back();
        if (!parse_value(c, &value->items.back())) return false;
    } while (take(c, ','));
    return take(c, ']');
}

bool parse_object(Cursor* c, JsonValue* value) {
    value->type = JsonType::object;
    if (take(c, '}')) return true;
    do {
        std::string key;
        if (!parse_text(c, &key) || !take(c, ':')) return false;
        value->members.emplace_back(key, JsonValue{});
        if (!parse_value(c, &value->members.back().second)) return false;
    } while (take(c, ','));
    return take(c, '}');
}

bool parse_number(Cursor* c, JsonValue* value) {
    const char* begin = c->text.c_str() + c->at;
    char* end = nullptr;
    value->number = std::strtod(begin, &end);
    if (end == begin) return false;
    value->type = JsonType::number;
    c->at += static_cast<size_t>(end - begin);
    return true;
}

bool parse_value(Cursor* c, JsonValue* value) {
    skip_space(c);
    if (c->at >= c->text.size()) return false;
    const char first = c->text[c->at];
    if (first == '{') return take(c, '{') && parse_object(c, value);
    if (first == '[') return take(c, '[') && parse_array(c, value);
    if (first == '"') {
        value->type = JsonType::text;
        return parse_text(c, &value->text);
    }
    if (take_word(c, "true") || take_word(c, "false")) {
        value->type = JsonType::boolean;
        value->boolean = c->text[c->at - 1] == 'e' && c->text[c->at - 2] == 'u';
        return true;
    }
    if (take_word(c, "null")) return true;
    return parse_number(c, value);
}

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
    for (const auto& member : members) {
        if (member.first == key) return member.second;
    }
    return NULL_VALUE;
}

const JsonValue& JsonValue::operator[](size_t index) const {
    return index < items.size() ? items[index] : NULL_VALUE;
}

bool json_parse(const std::string& text, JsonValue* value) {
    Cursor cursor{text, 0};
    *value = JsonValue{};
    if (parse_value(&cursor, value)) {
        skip_space(&cursor);
        if (cursor.at == text.size()) return true;
    }
    *value = JsonValue{};
    return false;
}
