// The factory presets as bundle/presets.txt lists them, read independently of
// the build's generator so the tests check what it made.
#pragma once
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

struct ListedPreset {
    std::string name;
    float values[3]; // cutoff, lfo_amt, lfo_speed
};

// Empty when the file cannot be read or a line does not parse.
inline std::vector<ListedPreset> preset_list(const char *path)
{
    std::vector<ListedPreset> out;
    std::ifstream f(path, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) {
        const size_t bar = line.find('|');
        if (line.empty() || line[0] == '#' || bar == std::string::npos)
            continue;
        ListedPreset p;
        p.name = line.substr(0, line.find_last_not_of(' ', bar - 1) + 1);
        int v[3], used = 0;
        if (std::sscanf(line.c_str() + bar + 1, "%d %d %d %n", &v[0], &v[1], &v[2], &used) != 3 ||
            bar + 1 + static_cast<size_t>(used) != line.size())
            return {};
        for (int i = 0; i < 3; ++i)
            p.values[i] = static_cast<float>(v[i]);
        out.push_back(p);
    }
    return out;
}
