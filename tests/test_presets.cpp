// The generated .vstpreset files as a VST 3 host reads them: the file
// layout, the processor's class id and a Comp chunk that setState takes and
// that makes the processor run exactly as the same values set by hand.
#include "core/parameters.h"
#include "engine_probe.h"
#include "preset_list.h"
#include "state/state_doc.h"
#include "vst3/processor.h"
#include "vst3/vst3_module.h"
#include "vst3_host/blob_reader.h"
#include "vst3_host/host_objects.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const std::string k_dir = ZFEN_VST3_PRESETS;

// ---- a reader of .vstpreset files, written from the format alone -------------------------

uint64_t le(const std::vector<uint8_t> &f, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | f[at + static_cast<size_t>(i)];
    return v;
}

// The Comp chunk of a preset for `class_id` (32 hex digits); false for a
// file that is cut short, inconsistent, or meant for another class.
bool read_vstpreset(const std::vector<uint8_t> &f, const char *class_id, std::vector<uint8_t> *comp)
{
    if (f.size() < 48 || std::memcmp(f.data(), "VST3", 4) != 0 || le(f, 4, 4) != 1 ||
        std::memcmp(f.data() + 8, class_id, 32) != 0)
        return false;
    const uint64_t list = le(f, 40, 8);
    if (list < 48 || list > f.size() || f.size() - list < 8 || std::memcmp(f.data() + list, "List", 4) != 0)
        return false;
    const uint64_t count = le(f, static_cast<size_t>(list) + 4, 4);
    if (count > (f.size() - list - 8) / 20)
        return false;
    for (uint64_t i = 0; i < count; ++i) {
        const size_t e = static_cast<size_t>(list + 8 + 20 * i);
        const uint64_t at = le(f, e + 4, 8), size = le(f, e + 12, 8);
        // Chunk data lies between the header and the list.
        if (at < 48 || at > list || size > list - at)
            return false;
        if (std::memcmp(f.data() + e, "Comp", 4) == 0) {
            comp->assign(f.begin() + static_cast<ptrdiff_t>(at), f.begin() + static_cast<ptrdiff_t>(at + size));
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string file_name(std::string name)
{
    for (char &c : name)
        if (std::strchr("\\*?/:<>|\"", c))
            c = '_';
    return name;
}

// ---- a processor as a host drives it ---------------------------------------------------------

struct Processor {
    IComponent *comp = processor_create();
    IAudioProcessor *audio = &processor_from_component(comp)->audio;
    HostApplication app;

    explicit Processor(double rate)
    {
        comp->vtbl->initialize(comp, app.ptr());
        comp->vtbl->activateBus(comp, kAudio, kInput, 0, 1);
        comp->vtbl->activateBus(comp, kAudio, kOutput, 0, 1);
        SpeakerArrangement mono = kSpeakerArrMono;
        audio->vtbl->setBusArrangements(audio, &mono, 1, &mono, 1);
        ProcessSetup setup{kRealtime, kSample32, 512, rate};
        audio->vtbl->setupProcessing(audio, &setup);
        comp->vtbl->setActive(comp, 1);
    }
    ~Processor()
    {
        comp->vtbl->setActive(comp, 0);
        comp->vtbl->terminate(comp);
        comp->vtbl->release(comp);
    }
    tresult set_state(const std::vector<uint8_t> &blob)
    {
        MemoryStream s(blob);
        return comp->vtbl->setState(comp, s.ptr());
    }
    std::vector<uint8_t> get_state()
    {
        MemoryStream s;
        EXPECT_EQ(comp->vtbl->getState(comp, s.ptr()), kResultOk);
        return s.data;
    }
    // Runs `in` in blocks of 512; `first` are the parameter changes of the first block.
    std::vector<float> run(const std::vector<float> &in, HostChanges *first = nullptr)
    {
        std::vector<float> out;
        for (size_t at = 0; at < in.size(); at += 512) {
            const int32_t n = static_cast<int32_t>(std::min<size_t>(512, in.size() - at));
            MonoBlock b(n);
            std::copy(in.begin() + static_cast<ptrdiff_t>(at), in.begin() + static_cast<ptrdiff_t>(at) + n,
                      b.in.begin());
            b.data.inputParameterChanges = at == 0 && first ? first->ptr() : nullptr;
            EXPECT_EQ(audio->vtbl->process(audio, &b.data), kResultOk);
            out.insert(out.end(), b.out.begin(), b.out.end());
        }
        return out;
    }
};

struct Presets : testing::Test {
    std::vector<ListedPreset> list = preset_list(ZFEN_PRESETS_TXT);

    std::vector<uint8_t> comp_of(const ListedPreset &p)
    {
        std::vector<uint8_t> comp;
        EXPECT_TRUE(
            read_vstpreset(file_bytes(k_dir + "/" + file_name(p.name) + ".vstpreset"), ZFEN_PROCESSOR_CID_HEX, &comp))
            << p.name;
        return comp;
    }
};

} // namespace

TEST_F(Presets, OneFilePerListedPresetAndNoOther)
{
    ASSERT_GE(list.size(), 5u);
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(k_dir))
        files += entry.path().extension() == ".vstpreset";
    EXPECT_EQ(files, list.size());
    for (const ListedPreset &p : list)
        EXPECT_TRUE(std::filesystem::is_regular_file(k_dir + "/" + file_name(p.name) + ".vstpreset")) << p.name;
}

TEST_F(Presets, FileLayout)
{
    ASSERT_FALSE(list.empty());
    for (const ListedPreset &p : list) {
        const std::vector<uint8_t> f = file_bytes(k_dir + "/" + file_name(p.name) + ".vstpreset");
        ASSERT_GE(f.size(), 48u + 28u) << p.name;
        EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "VST3");
        EXPECT_EQ(le(f, 4, 4), 1u);
        EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 40), ZFEN_PROCESSOR_CID_HEX);
        // The data area holds Comp alone; the list of one entry ends the file.
        const uint64_t list_at = le(f, 40, 8);
        ASSERT_EQ(list_at + 8 + 20, f.size()) << p.name;
        EXPECT_EQ(
            std::string(f.begin() + static_cast<ptrdiff_t>(list_at), f.begin() + static_cast<ptrdiff_t>(list_at) + 4),
            "List");
        EXPECT_EQ(le(f, list_at + 4, 4), 1u);
        EXPECT_EQ(std::string(f.begin() + static_cast<ptrdiff_t>(list_at) + 8,
                              f.begin() + static_cast<ptrdiff_t>(list_at) + 12),
                  "Comp");
        EXPECT_EQ(le(f, list_at + 12, 8), 48u);
        EXPECT_EQ(le(f, list_at + 20, 8), list_at - 48);
    }
}

TEST_F(Presets, CompIsTheProcessorStateOfTheListedValues)
{
    ASSERT_FALSE(list.empty());
    for (const ListedPreset &p : list) {
        const std::vector<uint8_t> comp = comp_of(p);
        const BlobContents b = blob_reader(comp);
        ASSERT_TRUE(b.ok) << p.name;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(b.values[i], p.values[i]) << p.name << " " << k_params[i].key;
        EXPECT_EQ(b.info.at("format"), "vst3");
        EXPECT_EQ(blob_sample_rate(b), 0.0f); // a preset belongs to no rate
        size_t size = 0;
        uint8_t *blob = state_save("vst3", 0.0f, p.values[0], p.values[1], p.values[2], &size);
        ASSERT_TRUE(blob);
        EXPECT_EQ(comp, std::vector<uint8_t>(blob, blob + size)) << p.name;
        std::free(blob);
    }
}

// After setState and one block, getState of a processor that has no rate
// writes the preset's Comp chunk byte for byte.
TEST_F(Presets, GetStateAfterLoadingGivesTheChunkBack)
{
    ASSERT_FALSE(list.empty());
    const std::vector<float> in(64, 0.25f);
    for (const ListedPreset &p : list) {
        const std::vector<uint8_t> comp = comp_of(p);
        Processor proc(0.0);
        ASSERT_EQ(proc.set_state(comp), kResultOk) << p.name;
        proc.run(in);
        EXPECT_EQ(proc.get_state(), comp) << p.name;
    }
}

TEST_F(Presets, LoadedPresetSoundsLikeTheValuesSetByHand)
{
    ASSERT_FALSE(list.empty());
    const std::vector<float> in = probe_signal(48000, 3); // a second: several LFO steps
    const std::vector<float> defaults = Processor(48000.0).run(in);
    for (const ListedPreset &p : list) {
        Processor loaded(48000.0);
        ASSERT_EQ(loaded.set_state(comp_of(p)), kResultOk) << p.name;
        const std::vector<float> out = loaded.run(in);
        const BlobContents after = blob_reader(loaded.get_state());
        ASSERT_TRUE(after.ok);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(after.values[i], p.values[i]) << p.name << " " << k_params[i].key;

        Processor by_hand(48000.0);
        HostChanges changes;
        for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
            changes.add(k_params[i].vst3_id, {{0, param_plain_to_norm(&k_params[i], p.values[i])}});
        const std::vector<float> expected = by_hand.run(in, &changes);
        ASSERT_EQ(out.size(), expected.size());
        EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0) << p.name;
        EXPECT_NE(out, defaults) << p.name << " sounds like the defaults";
    }
}

TEST_F(Presets, ReaderRefusesCutAndForeignFiles)
{
    ASSERT_FALSE(list.empty());
    const std::vector<uint8_t> f = file_bytes(k_dir + "/" + file_name(list[0].name) + ".vstpreset");
    std::vector<uint8_t> comp;
    ASSERT_TRUE(read_vstpreset(f, ZFEN_PROCESSOR_CID_HEX, &comp));
    for (size_t n = 0; n < f.size(); ++n)
        ASSERT_FALSE(read_vstpreset(std::vector<uint8_t>(f.begin(), f.begin() + static_cast<ptrdiff_t>(n)),
                                    ZFEN_PROCESSOR_CID_HEX, &comp))
            << "cut to " << n;

    std::vector<uint8_t> foreign = f;
    foreign[8 + 31] = foreign[8 + 31] == '0' ? '1' : '0';
    EXPECT_FALSE(read_vstpreset(foreign, ZFEN_PROCESSOR_CID_HEX, &comp));
    // The controller's id is the plug-in's too, but not the processor's.
    std::string controller = ZFEN_CONTROLLER_CID_HEX;
    std::copy(controller.begin(), controller.end(), foreign.begin() + 8);
    EXPECT_FALSE(read_vstpreset(foreign, ZFEN_PROCESSOR_CID_HEX, &comp));

    std::vector<uint8_t> bad = f;
    bad[4] = 2; // version
    EXPECT_FALSE(read_vstpreset(bad, ZFEN_PROCESSOR_CID_HEX, &comp));
    const size_t list_at = static_cast<size_t>(le(f, 40, 8));
    bad = f;
    std::memcpy(bad.data() + list_at + 8, "Cont", 4); // no Comp chunk
    EXPECT_FALSE(read_vstpreset(bad, ZFEN_PROCESSOR_CID_HEX, &comp));
    bad = f;
    const uint64_t too_long = list_at - 48 + 1; // Comp runs into the list
    for (size_t i = 0; i < 8; ++i)
        bad[list_at + 12 + i] = static_cast<uint8_t>(too_long >> (8 * i));
    EXPECT_FALSE(read_vstpreset(bad, ZFEN_PROCESSOR_CID_HEX, &comp));
    bad = f;
    bad[list_at + 4] = 2; // an entry past the end
    EXPECT_FALSE(read_vstpreset(bad, ZFEN_PROCESSOR_CID_HEX, &comp));
    bad = f;
    bad[47] = 0x80; // list offset far beyond the file
    EXPECT_FALSE(read_vstpreset(bad, ZFEN_PROCESSOR_CID_HEX, &comp));

    // A Comp chunk cut in half is refused by the processor as well, which keeps its values.
    Processor proc(48000.0);
    EXPECT_NE(
        proc.set_state(std::vector<uint8_t>(comp.begin(), comp.begin() + static_cast<ptrdiff_t>(comp.size() / 2))),
        kResultOk);
    proc.run(std::vector<float>(64, 0.1f));
    const BlobContents b = blob_reader(proc.get_state());
    ASSERT_TRUE(b.ok);
    for (uint32_t i = 0; i < PARAM_INPUT_COUNT; ++i)
        EXPECT_EQ(b.values[i], param_default(i));
}
