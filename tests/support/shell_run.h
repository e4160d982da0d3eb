// Running a host tool from a native test.
#pragma once
#include <cstdio>
#include <string>
#include <utility>

// The output (standard error included) and exit status of a shell command.
inline std::pair<std::string, int> shell_run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return {out, -1};
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return {out, pclose(p)};
}
