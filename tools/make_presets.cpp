// Turns bundle/presets.txt into the factory presets of both formats, and the
// parameter table into the LV2 description's control ports; run by the build:
//   make_presets lv2 PRESETS MANIFEST_IN OUT_DIR   OUT_DIR/manifest.ttl (MANIFEST_IN
//                                                  plus one entry a preset), OUT_DIR/presets.ttl
//   make_presets vst3 PRESETS OUT_DIR              OUT_DIR/<name>.vstpreset
//   make_presets ports TTL_IN OUT...               TTL_IN with its %CONTROL_PORTS% mark
//                                                  replaced by the control ports, to each OUT
// Any fault in the list stops the build with its line number.
#include "core/parameters.h"
#include "state/state_doc.h"
#include "zfen_product.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Preset {
    std::string name;
    float values[PARAM_INPUT_COUNT];
};

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The URI fragment: lower-case letters and digits, any other run becomes one '-'.
std::string slug(const std::string &name)
{
    std::string s;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z')
            s += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            s += c;
        else if (!s.empty() && s.back() != '-')
            s += '-';
    }
    if (!s.empty() && s.back() == '-')
        s.pop_back();
    return s;
}

// Characters Windows forbids in file names become '_'.
std::string file_name(const std::string &name)
{
    std::string s = name;
    for (char &c : s)
        if (std::strchr("\\*?/:<>|\"", c))
            c = '_';
    return s;
}

std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool fail(const char *path, int line, const char *what)
{
    std::fprintf(stderr, "%s:%d: %s\n", path, line, what);
    return false;
}

// A whole number within parameter `index`'s range.
bool parse_value(const char *&p, uint32_t index, float *out)
{
    while (*p == ' ' || *p == '\t')
        ++p;
    long v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 6) {
        v = v * 10 + (*p++ - '0');
        ++digits;
    }
    const ParamDesc &d = k_params[index];
    if (digits == 0 || (*p && *p != ' ' && *p != '\t' && *p != '\r') || static_cast<double>(v) < d.min ||
        static_cast<double>(v) > d.max)
        return false;
    *out = static_cast<float>(v);
    return true;
}

bool read_presets(const char *path, std::vector<Preset> *out)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return fail(path, 0, "cannot be read");
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);

    int line_no = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++line_no;
        if (trim(line).empty() || trim(line)[0] == '#')
            continue;
        const size_t bar = line.find('|');
        if (bar == std::string::npos)
            return fail(path, line_no, "expected: name | cutoff lfo_amt lfo_speed");
        Preset p;
        p.name = trim(line.substr(0, bar));
        for (char c : p.name)
            if (c < 0x20 || c > 0x7e)
                return fail(path, line_no, "names are printable ASCII");
        // Windows drops a trailing dot from file names.
        if (slug(p.name).empty() || p.name.back() == '.')
            return fail(path, line_no, "the name needs a letter or digit and may not end in '.'");
        const std::string values = line.substr(bar + 1);
        const char *v = values.c_str();
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
            if (!parse_value(v, i, &p.values[i]))
                return fail(path, line_no, "three whole numbers within the parameters' ranges expected");
        if (!trim(v).empty())
            return fail(path, line_no, "more than three values");
        for (const Preset &q : *out)
            if (slug(q.name) == slug(p.name) || lower(file_name(q.name)) == lower(file_name(p.name)))
                return fail(path, line_no, "the name makes the same URI or file name as an earlier one");
        out->push_back(p);
    }
    if (out->empty())
        return fail(path, line_no, "no presets");
    return true;
}

bool write_file(const std::string &path, const void *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "%s: cannot be written\n", path.c_str());
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool read_file(const char *path, std::string *out)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return fail(path, 0, "cannot be read");
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    std::fclose(f);
    return true;
}

std::string turtle_string(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string preset_uri(const Preset &p) { return std::string("<") + ZFEN_LV2_URI "#preset-" + slug(p.name) + ">"; }

bool write_lv2(const std::vector<Preset> &presets, const char *manifest_in, const std::string &dir)
{
    std::string manifest;
    if (!read_file(manifest_in, &manifest))
        return false;

    std::string ttl = "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
                      "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
                      "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
                      "@prefix xsd:  <http://www.w3.org/2001/XMLSchema#> .\n";
    for (const Preset &p : presets) {
        // The label here too: hosts list presets without loading their files.
        manifest += "\n" + preset_uri(p) +
                    "\n    a pset:Preset ;\n    lv2:appliesTo <" ZFEN_LV2_URI "> ;\n    rdfs:label " +
                    turtle_string(p.name) + " ;\n    rdfs:seeAlso <presets.ttl> .\n";
        ttl += "\n" + preset_uri(p) + "\n    a pset:Preset ;\n    lv2:appliesTo <" ZFEN_LV2_URI "> ;\n    rdfs:label " +
               turtle_string(p.name) + " ;\n    lv2:port";
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i) {
            // Typed as float: the control ports' own type, so hosts need no conversion.
            char value[64];
            std::snprintf(value, sizeof value, "\"%.1f\"^^xsd:float", static_cast<double>(p.values[i]));
            ttl += std::string(i ? " , [\n" : " [\n") + "        lv2:symbol \"" + k_params[i].key +
                   "\" ;\n        pset:value " + value + "\n    ]";
        }
        ttl += " .\n";
    }
    return write_file(dir + "/manifest.ttl", manifest.data(), manifest.size()) &&
           write_file(dir + "/presets.ttl", ttl.data(), ttl.size());
}

// Each parameter as an LV2 control port, in the description's own layout.
bool write_ports(const char *ttl_in, char **outs, int count)
{
    static const char k_mark[] = "%CONTROL_PORTS%";
    std::string ttl;
    if (!read_file(ttl_in, &ttl))
        return false;
    const size_t at = ttl.find(k_mark);
    if (at == std::string::npos)
        return fail(ttl_in, 0, "has no %CONTROL_PORTS% mark");
    std::string ports;
    for (const ParamDesc &d : k_params) {
        char numbers[160];
        std::snprintf(numbers, sizeof numbers,
                      "        lv2:default %g ;\n        lv2:minimum %g ;\n        lv2:maximum %g", d.def, d.min,
                      d.max);
        ports += std::string(" , [\n        a lv2:ControlPort , ") +
                 (d.is_output ? "lv2:OutputPort" : "lv2:InputPort") + " ;\n        lv2:index " +
                 std::to_string(d.lv2_port) + " ;\n        lv2:symbol " + turtle_string(d.key) +
                 " ;\n        rdfs:comment " + turtle_string(d.description) + " ;\n        lv2:name " +
                 turtle_string(d.title) + " ;\n" + numbers +
                 ((d.flags & PARAM_FLAG_INTEGER) ? " ;\n        lv2:portProperty lv2:integer" : "") + "\n    ]";
    }
    ttl.replace(at, sizeof k_mark - 1, ports);
    for (int i = 0; i < count; ++i)
        if (!write_file(outs[i], ttl.data(), ttl.size()))
            return false;
    return true;
}

void put_le(std::vector<uint8_t> *out, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_text(std::vector<uint8_t> *out, const char *s) { out->insert(out->end(), s, s + std::strlen(s)); }

// Header, the processor's state as the one chunk, then the chunk list.
bool write_vst3(const std::vector<Preset> &presets, const std::string &dir)
{
    const uint32_t cid[4] = {ZFEN_PROCESSOR_CID_WORDS};
    char cid_hex[33];
    std::snprintf(cid_hex, sizeof cid_hex, "%08X%08X%08X%08X", static_cast<unsigned>(cid[0]),
                  static_cast<unsigned>(cid[1]), static_cast<unsigned>(cid[2]), static_cast<unsigned>(cid[3]));
    for (const Preset &p : presets) {
        // A preset belongs to no sample rate; 0 is what a processor that was
        // never set up saves, and restoring ignores the rate.
        size_t size = 0;
        uint8_t *blob =
            state_save("vst3", 0.0f, p.values[PARAM_CUTOFF], p.values[PARAM_LFO_AMT], p.values[PARAM_LFO_SPEED], &size);
        if (!blob) {
            std::fprintf(stderr, "%s: no state\n", p.name.c_str());
            return false;
        }
        const uint64_t data_at = 48;
        std::vector<uint8_t> file;
        put_text(&file, "VST3");
        put_le(&file, 1, 4);
        put_text(&file, cid_hex);
        put_le(&file, data_at + size, 8);
        file.insert(file.end(), blob, blob + size);
        std::free(blob);
        put_text(&file, "List");
        put_le(&file, 1, 4);
        put_text(&file, "Comp");
        put_le(&file, data_at, 8);
        put_le(&file, size, 8);
        if (!write_file(dir + "/" + file_name(p.name) + ".vstpreset", file.data(), file.size()))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const bool lv2 = argc == 5 && std::strcmp(argv[1], "lv2") == 0;
    const bool vst3 = argc == 4 && std::strcmp(argv[1], "vst3") == 0;
    if (argc >= 4 && std::strcmp(argv[1], "ports") == 0)
        return write_ports(argv[2], argv + 3, argc - 3) ? 0 : 1;
    if (!lv2 && !vst3) {
        std::fprintf(stderr, "usage: make_presets lv2 PRESETS MANIFEST_IN OUT_DIR\n"
                             "       make_presets vst3 PRESETS OUT_DIR\n"
                             "       make_presets ports TTL_IN OUT...\n");
        return 2;
    }
    std::vector<Preset> presets;
    if (!read_presets(argv[2], &presets))
        return 1;
    const bool ok = lv2 ? write_lv2(presets, argv[3], argv[4]) : write_vst3(presets, argv[3]);
    return ok ? 0 : 1;
}
