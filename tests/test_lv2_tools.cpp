// The plug-in as Debian's LV2 host tools see it.
#include "engine_probe.h"
#include "shell_run.h"
#include "wav_io.h"
#include "zfen_product.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

const std::string k_bundle = ZFEN_LV2_BUNDLE;
const std::string k_uri = ZFEN_LV2_URI;

std::pair<std::string, int> run(const std::string &cmd) { return shell_run(cmd); }

std::string tmp_path(const std::string &name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/zfen-" + std::to_string(::getpid()) + "-" + name;
}

// An LV2 path that holds our bundle alone, whatever else lies beside it.
struct Lv2Path {
    std::filesystem::path dir = tmp_path("lv2path");
    Lv2Path()
    {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::create_directory_symlink(k_bundle, dir / "vornic-zfen.lv2");
    }
    ~Lv2Path() { std::filesystem::remove_all(dir); }
};
const Lv2Path k_lv2_path;
const std::string k_root = k_lv2_path.dir.string();

} // namespace

TEST(Lv2Tools, ValidatorFindsNoErrors)
{
    const auto [out, status] = run("lv2_validate " + k_bundle + "/manifest.ttl " + k_bundle +
                                   "/" ZFEN_PLUGIN_ID ".ttl " + k_bundle + "/" ZFEN_PLUGIN_ID "-ui.ttl");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Found 0 errors"), std::string::npos) << out;
}

// The Windows bundle's description, which declares the editor as a Windows UI
// in the same binary (the Linux one as an X11 UI).
TEST(Lv2Tools, TheWindowsDescriptionWithItsUiValidates)
{
    const std::string dir = ZFEN_LV2_WINDOWS_DESCRIPTION;
    const auto [out, status] = run("lv2_validate " + dir + "/manifest.ttl " + dir + "/" ZFEN_PLUGIN_ID ".ttl " + dir +
                                   "/" ZFEN_PLUGIN_ID "-ui.ttl");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Found 0 errors"), std::string::npos) << out;
    const auto [manifest, read] = run("cat " + dir + "/manifest.ttl");
    EXPECT_NE(manifest.find("<" ZFEN_LV2_URI "#ui>\n    a ui:WindowsUI ;\n    ui:binary <" ZFEN_PLUGIN_ID ".dll>"),
              std::string::npos)
        << manifest;
    // The Linux bundle declares the editor program's X11 UI, in the plug-in's binary.
    const auto [linux_manifest, ok] = run("cat " + k_bundle + "/manifest.ttl");
    EXPECT_NE(linux_manifest.find("<" ZFEN_LV2_URI "#ui>\n    a ui:X11UI ;\n    ui:binary <" ZFEN_PLUGIN_ID ".so>"),
              std::string::npos)
        << linux_manifest;
}

TEST(Lv2Tools, Lv2infoListsTheSixPorts)
{
    const auto [out, status] = run("LV2_PATH=" + k_root + " lv2info " + k_uri);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Name:              Z-FEN"), std::string::npos) << out;
    EXPECT_NE(out.find("Extension Data:    http://lv2plug.in/ns/ext/state#interface"), std::string::npos);
    const struct {
        const char *symbol, *min, *max, *def;
    } ports[] = {
        {"cutoff", "0.000000", "15.000000", "15.000000"},
        {"lfo_amt", "0.000000", "15.000000", "0.000000"},
        {"lfo_speed", "0.000000", "15.000000", "7.000000"},
        {"mod_cutoff", "0.000000", "255.000000", "248.000000"},
    };
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(out.find("Port " + std::to_string(i) + ":"), std::string::npos) << i;
    EXPECT_EQ(out.find("Port 6:"), std::string::npos);
    for (const auto &p : ports) {
        const size_t at = out.find(std::string("Symbol:      ") + p.symbol + "\n");
        ASSERT_NE(at, std::string::npos) << p.symbol;
        const std::string block = out.substr(at, out.find("\n\n", at) - at);
        EXPECT_NE(block.find(std::string("Minimum:     ") + p.min), std::string::npos) << block;
        EXPECT_NE(block.find(std::string("Maximum:     ") + p.max), std::string::npos) << block;
        EXPECT_NE(block.find(std::string("Default:     ") + p.def), std::string::npos) << block;
        EXPECT_NE(block.find("lv2core#integer"), std::string::npos) << block;
    }
    EXPECT_NE(out.find("Symbol:      in\n"), std::string::npos);
    EXPECT_NE(out.find("Symbol:      out\n"), std::string::npos);
}

// lv2apply loads the bundle's binary; its output must equal the engine's, bit for bit.
TEST(Lv2Tools, Lv2applyOutputIsTheEngineOutput)
{
    const std::vector<float> in = probe_signal(30000, 7);
    const std::string in_path = tmp_path("in.wav"), out_path = tmp_path("out.wav");
    ASSERT_TRUE(wav_write(in_path, in, 48000));
    const float settings[][3] = {{15, 0, 7}, {7, 15, 15}, {0, 15, 3}, {11, 6, 0}};
    for (const auto &s : settings) {
        char controls[128];
        std::snprintf(controls, sizeof controls, "-c cutoff %g -c lfo_amt %g -c lfo_speed %g", s[0], s[1], s[2]);
        const auto [log, status] =
            run("LV2_PATH=" + k_root + " lv2apply -i " + in_path + " -o " + out_path + " " + controls + " " + k_uri);
        ASSERT_EQ(status, 0) << log;
        const std::vector<float> out = wav_read(out_path);
        FilterEngine e = probe_engine(48000, s[0], s[1], s[2]);
        const std::vector<float> expected = probe_render(&e, in, 512);
        ASSERT_EQ(out.size(), expected.size()) << controls;
        size_t mismatches = 0;
        for (size_t i = 0; i < out.size(); ++i)
            mismatches += std::memcmp(&out[i], &expected[i], 4) != 0;
        EXPECT_EQ(mismatches, 0u) << controls;
    }
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
}
