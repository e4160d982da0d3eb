// Saves and restores on one thread while another processes block after
// block: the audio thread never waits, and no value is torn or lost. Also
// built with ThreadSanitizer (test_vst3_concurrency_tsan).
#include "core/parameters.h"
#include "vst3/vst3_module.h"
#include "vst3_host/blob_reader.h"
#include "vst3_host/host_objects.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr ParamID kIds[3] = {k_params[PARAM_CUTOFF].vst3_id, k_params[PARAM_LFO_AMT].vst3_id,
                             k_params[PARAM_LFO_SPEED].vst3_id};

// Sixteen value sets whose members all follow from the first, so a mix of
// two sets is recognisable.
std::array<float, 3> triple(int k)
{
    return {static_cast<float>(k), static_cast<float>((k + 5) % 16), static_cast<float>((k + 11) % 16)};
}

bool is_triple(const std::array<float, 3> &v)
{
    int k = static_cast<int>(v[0]);
    return v[0] >= 0.0f && v[0] <= 15.0f && static_cast<float>(k) == v[0] && triple(k) == v;
}

struct Rig {
    HostApplication app;
    IComponent *comp = processor_create();
    IAudioProcessor *audio = nullptr;
    std::vector<std::vector<uint8_t>> blobs;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> blocks{0};
    std::atomic<int> failures{0};
    std::atomic<int> last_sent{-1};

    Rig()
    {
        void *obj = nullptr;
        comp->vtbl->initialize(comp, app.ptr());
        comp->vtbl->queryInterface(comp, vst3_uid_ptr(IID_IAudioProcessor), &obj);
        audio = static_cast<IAudioProcessor *>(obj);
        comp->vtbl->activateBus(comp, kAudio, kInput, 0, 1);
        comp->vtbl->activateBus(comp, kAudio, kOutput, 0, 1);
        ProcessSetup setup{kRealtime, kSample32, 64, 48000.0};
        audio->vtbl->setupProcessing(audio, &setup);
        comp->vtbl->setActive(comp, 1);
        for (int k = 0; k < 16; ++k) {
            std::array<float, 3> t = triple(k);
            blobs.push_back(blob_make(48000.0f, t[0], t[1], t[2]));
        }
        // Start from a recognisable set rather than the defaults.
        restore(0);
        MonoBlock b(64);
        audio->vtbl->process(audio, &b.data);
    }
    ~Rig()
    {
        audio->vtbl->release(audio);
        comp->vtbl->release(comp);
    }

    // [audio] With send_changes, every block carries one whole value set.
    void audio_loop(bool send_changes)
    {
        MonoBlock b(64, 0.25f);
        HostChanges in;
        for (ParamID id : kIds)
            in.add(id, {{0, 0.0}});
        uint64_t n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            int k = static_cast<int>(n % 16);
            if (send_changes) {
                std::array<float, 3> t = triple(k);
                for (int i = 0; i < 3; ++i)
                    in.queues[static_cast<size_t>(i)].points[0].second = t[static_cast<size_t>(i)] / 15.0;
            }
            b.data.inputParameterChanges = send_changes ? in.ptr() : nullptr;
            if (audio->vtbl->process(audio, &b.data) != kResultOk)
                ++failures;
            if (send_changes)
                last_sent = k;
            ++n;
            blocks.store(n, std::memory_order_release);
        }
    }

    std::array<float, 3> saved()
    {
        MemoryStream s;
        if (comp->vtbl->getState(comp, s.ptr()) != kResultOk)
            ++failures;
        return blob_reader(s.data).values;
    }
    void restore(int k)
    {
        MemoryStream s(blobs[static_cast<size_t>(k)]);
        if (comp->vtbl->setState(comp, s.ptr()) != kResultOk)
            ++failures;
    }
    void wait_blocks(uint64_t more)
    {
        uint64_t target = blocks.load(std::memory_order_acquire) + more;
        while (blocks.load(std::memory_order_acquire) < target)
            std::this_thread::yield();
    }
};

TEST(Vst3Concurrency, RestoresAreNeitherTornNorLost)
{
    Rig rig;
    std::thread audio([&] { rig.audio_loop(false); });
    int torn = 0, lost = 0;
    for (int i = 0; i < 3000; ++i) {
        int k = (i * 7) % 16;
        rig.restore(k);
        if (!is_triple(rig.saved()))
            ++torn;
        if (i % 50 == 0) {
            // Two blocks later the restore is in the engine, whatever the lock did.
            rig.wait_blocks(2);
            if (rig.saved() != triple(k))
                ++lost;
        }
    }
    rig.wait_blocks(1000);
    rig.stop = true;
    audio.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(rig.failures, 0);
    EXPECT_GE(rig.blocks.load(), 1000u);
}

TEST(Vst3Concurrency, HostChangesSurviveConcurrentSaves)
{
    Rig rig;
    std::thread audio([&] { rig.audio_loop(true); });
    int torn = 0;
    for (int i = 0; i < 3000; ++i)
        if (!is_triple(rig.saved()))
            ++torn;
    rig.wait_blocks(2000);
    rig.stop = true;
    audio.join();
    // One more block with nothing new: whatever waited in the received
    // values is in the engine now.
    MonoBlock b(64);
    ASSERT_EQ(rig.audio->vtbl->process(rig.audio, &b.data), kResultOk);
    EXPECT_EQ(rig.saved(), triple(rig.last_sent));
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(rig.failures, 0);
}

TEST(Vst3Concurrency, RestoresAndHostChangesTogether)
{
    Rig rig;
    std::thread audio([&] { rig.audio_loop(true); });
    int torn = 0;
    for (int i = 0; i < 2000; ++i) {
        rig.restore((i * 5) % 16);
        if (!is_triple(rig.saved()))
            ++torn;
    }
    rig.wait_blocks(2000);
    rig.stop = true;
    audio.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(rig.failures, 0);
}

} // namespace
