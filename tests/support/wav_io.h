// Mono 32-bit float WAV files for the host-tool tests.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

inline bool wav_write(const std::string &path, const std::vector<float> &s, uint32_t rate)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const uint32_t data = static_cast<uint32_t>(s.size() * 4);
    auto u32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto u16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, f); };
    std::fwrite("RIFF", 1, 4, f), u32(36 + data), std::fwrite("WAVEfmt ", 1, 8, f);
    u32(16), u16(3), u16(1), u32(rate), u32(rate * 4), u16(4), u16(32);
    std::fwrite("data", 1, 4, f), u32(data);
    std::fwrite(s.data(), 4, s.size(), f);
    return std::fclose(f) == 0;
}

// Float samples of the first channel; empty on anything unexpected.
inline std::vector<float> wav_read(const std::string &path)
{
    std::vector<uint8_t> b;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            b.insert(b.end(), buf, buf + n);
        std::fclose(f);
    }
    std::vector<float> out;
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
        return out;
    uint16_t channels = 0, bits = 0;
    for (size_t pos = 12; pos + 8 <= b.size();) {
        uint32_t len;
        std::memcpy(&len, b.data() + pos + 4, 4);
        const uint8_t *body = b.data() + pos + 8;
        if (pos + 8 + len > b.size())
            break;
        if (!std::memcmp(b.data() + pos, "fmt ", 4) && len >= 16) {
            std::memcpy(&channels, body + 2, 2);
            std::memcpy(&bits, body + 14, 2);
        } else if (!std::memcmp(b.data() + pos, "data", 4) && bits == 32 && channels) {
            for (size_t i = 0; i + 4 * channels <= len; i += 4 * channels) {
                float v;
                std::memcpy(&v, body + i, 4);
                out.push_back(v);
            }
            return out;
        }
        pos += 8 + len + (len & 1);
    }
    return out;
}
