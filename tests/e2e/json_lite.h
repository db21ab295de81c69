// A small JSON reader for devsim's reports: enough to look values up by key
// and index in tests.
#ifndef OFWU_TESTS_E2E_JSON_LITE_H
#define OFWU_TESTS_E2E_JSON_LITE_H

#include <string>
#include <utility>
#include <vector>

enum class JsonType { null, boolean, number, text, array, object };

struct JsonValue {
    JsonType type = JsonType::null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;                              // an array's
    std::vector<std::pair<std::string, JsonValue>> members;    // an object's, in order

    // A member or an item; a null value when there is none, so lookups chain.
    const JsonValue& operator[](const std::string& key) const;
    const JsonValue& operator[](size_t index) const;
    bool is_null() const { return type == JsonType::null; }
};

// Parses `text`; false (and a null value) when it is not valid JSON.
bool json_parse(const std::string& text, JsonValue* value);

#endif
