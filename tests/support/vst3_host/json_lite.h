// A strict little JSON reader for checking moduleinfo.json: no comments, no
// trailing commas, duplicated keys refused.
#pragma once
#include <string>
#include <utility>
#include <vector>

struct Json {
    enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members; // in file order

    const Json *get(const std::string &key) const;
};

bool json_parse(const std::string &text, Json *out, std::string *error);
