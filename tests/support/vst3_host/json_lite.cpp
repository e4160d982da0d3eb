#include "json_lite.h"

#include <cstdlib>

namespace {

struct Reader {
    const std::string &s;
    size_t i = 0;
    std::string error;

    void skip()
    {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t'))
            ++i;
    }
    bool fail(const char *what)
    {
        if (error.empty())
            error = std::string(what) + " at byte " + std::to_string(i);
        return false;
    }
    bool literal(const char *word)
    {
        size_t n = std::string(word).size();
        if (s.compare(i, n, word) != 0)
            return fail("bad literal");
        i += n;
        return true;
    }
    bool string(std::string *out)
    {
        if (i >= s.size() || s[i] != '"')
            return fail("expected string");
        ++i;
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if (c == '\\') {
                if (i >= s.size())
                    return fail("bad escape");
                char e = s[i++];
                switch (e) {
                case '"':
                case '\\':
                case '/': out->push_back(e); break;
                case 'n': out->push_back('\n'); break;
                case 't': out->push_back('\t'); break;
                default: return fail("unsupported escape");
                }
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return fail("control character in string");
            } else {
                out->push_back(c);
            }
        }
        if (i >= s.size())
            return fail("unterminated string");
        ++i;
        return true;
    }
    bool value(Json *v)
    {
        skip();
        if (i >= s.size())
            return fail("unexpected end");
        char c = s[i];
        if (c == '{') {
            v->kind = Json::OBJECT;
            ++i;
            skip();
            if (i < s.size() && s[i] == '}') {
                ++i;
                return true;
            }
            for (;;) {
                skip();
                std::string key;
                if (!string(&key))
                    return false;
                if (v->get(key))
                    return fail("duplicated key");
                skip();
                if (i >= s.size() || s[i] != ':')
                    return fail("expected ':'");
                ++i;
                Json member;
                if (!value(&member))
                    return false;
                v->members.emplace_back(key, std::move(member));
                skip();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < s.size() && s[i] == '}') {
                    ++i;
                    return true;
                }
                return fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            v->kind = Json::ARRAY;
            ++i;
            skip();
            if (i < s.size() && s[i] == ']') {
                ++i;
                return true;
            }
            for (;;) {
                Json item;
                if (!value(&item))
                    return false;
                v->items.push_back(std::move(item));
                skip();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < s.size() && s[i] == ']') {
                    ++i;
                    return true;
                }
                return fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v->kind = Json::STRING;
            return string(&v->text);
        }
        if (c == 't' || c == 'f') {
            v->kind = Json::BOOL;
            v->boolean = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v->kind = Json::NUL;
            return literal("null");
        }
        const char *start = s.c_str() + i;
        char *end = nullptr;
        v->number = std::strtod(start, &end);
        if (end == start)
            return fail("unexpected character");
        v->kind = Json::NUMBER;
        i += static_cast<size_t>(end - start);
        return true;
    }
};

} // namespace

const Json *Json::get(const std::string &key) const
{
    for (const auto &m : members)
        if (m.first == key)
            return &m.second;
    return nullptr;
}

bool json_parse(const std::string &text, Json *out, std::string *error)
{
    Reader r{text, 0, {}};
    bool ok = r.value(out);
    if (ok) {
        r.skip();
        if (r.i != text.size())
            ok = r.fail("trailing text");
    }
    if (!ok && error)
        *error = r.error;
    return ok;
}
