// Reading saved blobs back in tests: the three values and the info entries.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct BlobContents {
    bool ok = false;
    std::array<float, 3> values{};
    std::map<std::string, std::string> info;
    std::map<std::string, std::string> parameters;
    std::string version;
};

BlobContents blob_reader(const std::vector<uint8_t> &blob);
float blob_sample_rate(const BlobContents &b);
// A copy of a saved blob with its plug-in id changed in place.
std::vector<uint8_t> blob_with_foreign_id(const std::vector<uint8_t> &blob);
std::vector<uint8_t> blob_make(float sample_rate, float cutoff, float lfo_amt, float lfo_speed);
