// The audio thread stays real-time safe: LV2 run() and VST3 process() make
// no allocation, free, lock, wait, sleep or system call on any path. Every
// call of theirs is made with the calling thread armed (support/rt_trap), and
// a single recorded call fails the test with its name. The hosts' own work
// (ports, queues, output changes) is done as a real-time host does it:
// everything is set up before the block, nothing is allocated during it.
#include "lv2_test_host.h"
#include "rt_trap.h"
#include "vst3/processor.h"
#include "vst3/vst3_module.h"
#include "vst3_host/blob_reader.h"
#include "vst3_host/host_objects.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header is not installed with GCC).
extern "C" int __sanitizer_get_ownership(const volatile void *p);
extern "C" size_t __sanitizer_get_allocated_size(const volatile void *p);
#endif

namespace {

// Fails the test with the calls recorded, if any. Each path and list of
// calls is reported once per test, at its first step: a fault on every block
// would otherwise bury the report.
void report_hits(const char *path, int64_t step)
{
    if (rt_trap::hit_count() == 0)
        return;
    static const testing::TestInfo *test = nullptr;
    static std::vector<std::string> reported;
    if (test != testing::UnitTest::GetInstance()->current_test_info()) {
        test = testing::UnitTest::GetInstance()->current_test_info();
        reported.clear();
    }
    const std::string key = std::string(path) + ": " + rt_trap::names();
    if (std::find(reported.begin(), reported.end(), key) != reported.end())
        return;
    reported.push_back(key);
    ADD_FAILURE() << path << ", step " << step << ": the audio thread called " << rt_trap::names();
}

// Runs `f` with this thread armed, then reports what it recorded.
template <typename F> void on_audio_thread(const char *path, int64_t step, F &&f)
{
    rt_trap::clear();
    {
        rt_trap::Armed armed;
        f();
    }
    report_hits(path, step);
}

// Block sizes around the LFO tick period at 48 kHz (480 samples), powers of
// two and the largest block a host announces.
const uint32_t kSizes[] = {0,   1,   2,    3,    4,    5,    7,    8,    15,   16,   17,   31,   32,  33,  63,
                           64,  65,  127,  128,  129,  255,  256,  257,  479,  480,  481,  511,  512, 513, 959,
                           960, 961, 1023, 1024, 1025, 2047, 2048, 2049, 4095, 4096, 4097, 8191, 8192};
constexpr uint32_t kMaxBlock = 8192;

void fill_signal(float *x, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        x[i] = 0.5f * std::sin(0.05f * static_cast<float>(i)) + (i % 7 == 0 ? 0.25f : -0.1f);
}

// A thread that holds the state lock the way a restore does, through the
// receiver instance_restore uses: begin (lock taken), the values, then end
// once told to.
class RestoreHoldingTheLock {
public:
    RestoreHoldingTheLock(PluginInstance *inst, float cutoff, float amt, float speed)
        : thread_([this, inst, cutoff, amt, speed] {
              const state_sink sink = instance_restore_sink(inst);
              sink.begin(sink.context);
              sink.set(sink.context, PARAM_CUTOFF, cutoff);
              sink.set(sink.context, PARAM_LFO_AMT, amt);
              sink.set(sink.context, PARAM_LFO_SPEED, speed);
              holding_.store(true);
              while (!release_.load())
                  std::this_thread::yield();
              sink.end(sink.context);
          })
    {
        while (!holding_.load())
            std::this_thread::yield();
    }
    void finish()
    {
        release_.store(true);
        if (thread_.joinable())
            thread_.join();
    }
    ~RestoreHoldingTheLock() { finish(); }

private:
    std::atomic<bool> holding_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

// ---- the trap itself ---------------------------------------------------------------------

void *volatile g_sink;

struct Planted {
    const char *expected;
    void (*call)();
    void (*after)(); // unarmed clean-up, or null
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
std::mutex g_std_mutex;
sem_t g_sem;
pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
int g_fd = -1;

void free_sink() { std::free(g_sink); }

TEST(RtTrap, ReportsEveryPlantedCallByName)
{
    ASSERT_EQ(sem_init(&g_sem, 0, 64), 0);
    const Planted planted[] = {
        {"malloc", [] { g_sink = std::malloc(24); }, free_sink},
        {"calloc", [] { g_sink = std::calloc(3, 8); }, nullptr},
        {"realloc", [] { g_sink = std::realloc(g_sink, 4096); }, nullptr},
        {"free", [] { std::free(g_sink); }, nullptr},
        {"posix_memalign",
         [] {
             void *p = nullptr;
             g_sink = posix_memalign(&p, 64, 100) == 0 ? p : nullptr;
         },
         free_sink},
        {"aligned_alloc", [] { g_sink = std::aligned_alloc(64, 128); }, free_sink},
        {"operator new", [] { g_sink = new int(7); }, nullptr},
        {"operator delete", [] { delete static_cast<int *>(g_sink); }, nullptr},
        {"operator new[]", [] { g_sink = new char[100]; }, nullptr},
        {"operator delete[]", [] { delete[] static_cast<char *>(g_sink); }, nullptr},
        {"operator new", [] { g_sink = new (std::align_val_t{64}) float; }, nullptr},
        {"operator delete", [] { ::operator delete (g_sink, std::align_val_t{64}); }, nullptr},
        {"operator new, operator delete",
         [] {
             std::vector<int> v(5);
             g_sink = v.data();
         },
         nullptr},
        {"pthread_mutex_lock", [] { pthread_mutex_lock(&g_mutex); }, [] { pthread_mutex_unlock(&g_mutex); }},
        {"pthread_mutex_trylock", [] { g_sink = pthread_mutex_trylock(&g_mutex) == 0 ? &g_mutex : nullptr; },
         [] {
             if (g_sink)
                 pthread_mutex_unlock(&g_mutex);
         }},
        {"pthread_mutex_lock, pthread_mutex_unlock", [] { std::lock_guard<std::mutex> hold(g_std_mutex); }, nullptr},
        {"sem_wait", [] { sem_wait(&g_sem); }, nullptr},
        {"sem_timedwait",
         [] {
             timespec t{};
             clock_gettime(CLOCK_REALTIME, &t);
             ++t.tv_sec;
             sem_timedwait(&g_sem, &t);
         },
         nullptr},
        {"pthread_mutex_lock, pthread_cond_timedwait, pthread_mutex_unlock",
         [] {
             timespec past{1, 0}; // long gone: returns at once
             pthread_mutex_lock(&g_mutex);
             pthread_cond_timedwait(&g_cond, &g_mutex, &past);
             pthread_mutex_unlock(&g_mutex);
         },
         nullptr},
        {"sleep", [] { sleep(0); }, nullptr},
        {"open", [] { g_fd = open("/dev/null", O_WRONLY); }, nullptr},
        {"close", [] { close(g_fd); }, nullptr},
        {"nanosleep",
         [] {
             timespec t{0, 1};
             nanosleep(&t, nullptr);
         },
         nullptr},
        {"clock_nanosleep",
         [] {
             timespec t{0, 1};
             clock_nanosleep(CLOCK_MONOTONIC, 0, &t, nullptr);
         },
         nullptr},
        {"usleep", [] { usleep(1); }, nullptr},
        {"sched_yield", [] { sched_yield(); }, nullptr},
        {"sched_yield", [] { std::this_thread::yield(); }, nullptr},
        {"syscall", [] { g_sink = reinterpret_cast<void *>(syscall(SYS_getpid)); }, nullptr},
        {"write", [] { g_sink = reinterpret_cast<void *>(write(-1, "", 0)); }, nullptr},
        {"read",
         [] {
             char c;
             g_sink = reinterpret_cast<void *>(read(-1, &c, 0));
         },
         nullptr},
        {"fputs",
         [] {
             int (*volatile put)(const char *, FILE *) = std::fputs;
             put("", stderr);
         },
         nullptr},
    };
    for (const Planted &p : planted) {
        rt_trap::clear();
        {
            rt_trap::Armed armed;
            p.call();
        }
        EXPECT_EQ(rt_trap::names(), p.expected);
        if (p.after)
            p.after();
    }
    sem_destroy(&g_sem);
}

TEST(RtTrap, RecordsOnlyTheArmedThread)
{
    rt_trap::clear();
    {
        rt_trap::Armed armed;
        float x = 1.0f;
        for (int i = 0; i < 100; ++i)
            x = x * 1.5f - 0.25f;
        g_sink = x > 0.0f ? &g_mutex : nullptr;
    }
    EXPECT_EQ(rt_trap::hit_count(), 0) << rt_trap::names();
    EXPECT_FALSE(rt_trap::armed());

    // Another thread allocating while this one is armed is not recorded...
    std::atomic<int> phase{0};
    std::thread other([&] {
        while (phase.load() != 1)
            std::this_thread::yield();
        std::free(std::malloc(32));
        phase.store(2);
        while (phase.load() != 3)
            std::this_thread::yield();
        // ...and the same thread armed is.
        rt_trap::arm();
        g_sink = std::malloc(16);
        rt_trap::disarm();
        std::free(g_sink);
    });
    rt_trap::clear();
    rt_trap::arm();
    phase.store(1);
    while (phase.load() != 2) {
    }
    rt_trap::disarm();
    EXPECT_EQ(rt_trap::hit_count(), 0) << rt_trap::names();
    phase.store(3);
    other.join();
    EXPECT_EQ(rt_trap::names(), "malloc");
}

TEST(RtTrap, FlagsAnAllocationInAnAudioCall)
{
    // The check used below, fed a planted allocation, must fail.
    EXPECT_NONFATAL_FAILURE(on_audio_thread("planted", 0, [] { g_sink = std::malloc(8); }),
                            "the audio thread called malloc");
    std::free(g_sink);
}

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer the trap forwards to its allocator, which keeps
// checking every block.
TEST(RtTrap, ForwardsToTheSanitizersAllocator)
{
    void *p = std::malloc(40);
    int *q = new int[3];
    EXPECT_TRUE(__sanitizer_get_ownership(p));
    EXPECT_EQ(__sanitizer_get_allocated_size(p), 40u);
    EXPECT_TRUE(__sanitizer_get_ownership(q));
    EXPECT_EQ(__sanitizer_get_allocated_size(q), 3 * sizeof(int));
    delete[] q;
    std::free(p);
}
#endif

// ---- LV2 -------------------------------------------------------------------------------------

void expect_lv2_engine(TestPlugin &p, float cutoff, float amt, float speed)
{
    const FilterEngine *e = &p.plugin()->inst.engine;
    EXPECT_EQ(engine_get_param(e, PARAM_CUTOFF), cutoff);
    EXPECT_EQ(engine_get_param(e, PARAM_LFO_AMT), amt);
    EXPECT_EQ(engine_get_param(e, PARAM_LFO_SPEED), speed);
}

// Every block size with the control ports moving between blocks, bad port
// values included, and the LFO at full amount and speed.
TEST(Lv2Realtime, RunOfEveryBlockSizeWithMovingPortsAndFastLfo)
{
    Lv2Features host;
    TestPlugin p(host.features, 48000.0, kMaxBlock);
    ASSERT_TRUE(p.h);
    fill_signal(p.in.data(), p.in.size());
    p.controls[0] = 8.0f, p.controls[1] = 15.0f, p.controls[2] = 15.0f;
    p.activate();
    const float odd_values[] = {20.0f, -3.0f, 7.4f, 7.6f, INFINITY, -INFINITY, NAN, 1e30f};
    bool seen_mod[256] = {};
    int64_t step = 0;
    uint64_t samples = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t n : kSizes) {
            // The cutoff walks the whole range; now and then a port holds a bad value.
            p.controls[0] = static_cast<float>(step % 16);
            p.controls[1] = step % 5 == 4 ? odd_values[step % 8] : 15.0f;
            p.controls[2] = step % 7 == 6 ? odd_values[(step + 3) % 8] : 15.0f;
            on_audio_thread("LV2 run", step, [&] { p.run(n); });
            ASSERT_TRUE(p.mod >= 0.0f && p.mod <= 255.0f) << p.mod;
            seen_mod[static_cast<int>(p.mod)] = true;
            samples += n;
            ++step;
        }
    }
    // Every block size from 1 to 600 once: each position of a tick in a block.
    p.controls[0] = 10.0f, p.controls[1] = 15.0f, p.controls[2] = 15.0f;
    for (uint32_t n = 1; n <= 600; ++n, ++step) {
        on_audio_thread("LV2 run", step, [&] { p.run(n); });
        seen_mod[static_cast<int>(p.mod)] = true;
        samples += n;
    }
    expect_lv2_engine(p, 10, 15, 15);
    EXPECT_GT(samples / 480, 100u); // many LFO ticks
    int distinct = 0;
    for (bool s : seen_mod)
        distinct += s;
    EXPECT_GE(distinct, 16); // the LFO and the cutoff moved the output port
}

// Ports that a host left unconnected, and audio ports missing, are paths too.
TEST(Lv2Realtime, RunWithPortsDisconnected)
{
    Lv2Features host;
    TestPlugin p(host.features, 44100.0, kMaxBlock);
    ASSERT_TRUE(p.h);
    p.activate();
    int64_t step = 0;
    for (uint32_t port = 0; port < 6; ++port) {
        p.desc->connect_port(p.h, port, nullptr);
        for (uint32_t n : {0u, 1u, 441u, 8192u}) {
            std::fill(p.out.begin(), p.out.end(), 1.0f);
            on_audio_thread("LV2 run, ports disconnected", step++, [&] { p.run(n); });
            if (port == 0) { // an output without an input is silenced, n samples of it
                EXPECT_EQ(std::count(p.out.begin(), p.out.end(), 0.0f), static_cast<std::ptrdiff_t>(n));
            }
        }
    }
}

// Restored values reach the engine through the audio thread's hand-over,
// with the state lock free and with a restore holding it.
TEST(Lv2Realtime, HandOverOfRestoredValues)
{
    Lv2Features host;
    TestPlugin p(host.features, 48000.0, kMaxBlock);
    ASSERT_TRUE(p.h);
    fill_signal(p.in.data(), p.in.size());
    // Ports that say nothing: restored values stay in the engine.
    for (uint32_t i = 0; i < 3; ++i)
        p.desc->connect_port(p.h, k_params[i].lv2_port, nullptr);
    p.activate();
    on_audio_thread("LV2 first run", 0, [&] { p.run(256); });

    // Lock free: the restore is finished when the block starts.
    {
        Lv2Plugin *plug = p.plugin();
        std::thread restore([&] {
            size_t size = 0;
            uint8_t *blob = state_save("lv2", 48000.0f, 3.0f, 15.0f, 15.0f, &size);
            ASSERT_TRUE(blob);
            EXPECT_TRUE(instance_restore(&plug->inst, blob, size));
            std::free(blob);
        });
        restore.join();
    }
    on_audio_thread("LV2 run after a restore", 1, [&] { p.run(480); });
    expect_lv2_engine(p, 3, 15, 15);

    // Lock busy: blocks go by without the values, then the first free block takes them.
    {
        RestoreHoldingTheLock held(&p.plugin()->inst, 12.0f, 14.0f, 13.0f);
        int64_t step = 2;
        for (uint32_t n : {0u, 1u, 64u, 480u, 8192u})
            on_audio_thread("LV2 run, state lock busy", step++, [&] { p.run(n); });
        expect_lv2_engine(p, 3, 15, 15);
        held.finish();
    }
    on_audio_thread("LV2 run after the lock came free", 10, [&] { p.run(0); });
    expect_lv2_engine(p, 12, 14, 13);

    // Port changes while the lock is busy wait in the audio thread's record
    // and are reconciled at the next free block.
    for (uint32_t i = 0; i < 3; ++i)
        p.desc->connect_port(p.h, k_params[i].lv2_port, &p.controls[i]);
    p.controls[0] = 12.0f, p.controls[1] = 14.0f, p.controls[2] = 13.0f;
    on_audio_thread("LV2 run, ports connected again", 11, [&] { p.run(32); });
    {
        std::atomic<bool> holding{false}, release{false};
        std::thread saver([&] {
            param_sync_lock(&p.plugin()->inst.sync); // as a save does
            holding = true;
            while (!release)
                std::this_thread::yield();
            param_sync_unlock(&p.plugin()->inst.sync);
        });
        while (!holding)
            std::this_thread::yield();
        p.controls[0] = 5.0f, p.controls[1] = 15.0f, p.controls[2] = 15.0f;
        on_audio_thread("LV2 run, ports moved, state lock busy", 12, [&] { p.run(100); });
        expect_lv2_engine(p, 12, 14, 13);
        release = true;
        saver.join();
    }
    on_audio_thread("LV2 run after a save", 13, [&] { p.run(100); });
    expect_lv2_engine(p, 5, 15, 15);
}

// Saves and restores through the state interface on another thread while
// the audio thread runs block after block.
TEST(Lv2Realtime, RunWhileAnotherThreadSavesAndRestores)
{
    Lv2Features host;
    TestPlugin p(host.features, 48000.0, 512);
    ASSERT_TRUE(p.h);
    fill_signal(p.in.data(), p.in.size());
    for (uint32_t i = 0; i < 3; ++i)
        p.desc->connect_port(p.h, k_params[i].lv2_port, nullptr);
    p.activate();
    const LV2_State_Interface *st = p.state();
    ASSERT_TRUE(st);

    StateStore sets[2];
    for (int k = 0; k < 2; ++k) {
        size_t size = 0;
        uint8_t *blob = state_save("lv2", 48000.0f, k ? 15.0f : 1.0f, k ? 15.0f : 2.0f, k ? 15.0f : 3.0f, &size);
        ASSERT_TRUE(blob);
        sets[k].key = host.map.id(ZFEN_LV2_STATE_URI);
        sets[k].value.assign(blob, blob + size);
        std::free(blob);
    }

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread state_thread([&] {
        for (int i = 0; i < 2000; ++i) {
            if (st->restore(p.h, StateStore::retrieve, &sets[i % 2], 0, nullptr) != LV2_STATE_SUCCESS)
                ++failures;
            StateStore saved;
            if (st->save(p.h, StateStore::store, &saved, 0, nullptr) != LV2_STATE_SUCCESS)
                ++failures;
        }
        done = true;
    });
    int64_t step = 0;
    while (!done.load() || step < 1000) {
        const uint32_t n = kSizes[static_cast<size_t>(step) % 28]; // up to 512
        on_audio_thread("LV2 run during saves and restores", step, [&] { p.run(n); });
        ++step;
    }
    state_thread.join();
    on_audio_thread("LV2 run after the last restore", step, [&] { p.run(64); });
    EXPECT_EQ(failures.load(), 0);
    expect_lv2_engine(p, 15, 15, 15); // the last restore was set 1
}

// ---- VST 3 -----------------------------------------------------------------------------------

constexpr ParamID kCutoffId = k_params[PARAM_CUTOFF].vst3_id;
constexpr ParamID kAmtId = k_params[PARAM_LFO_AMT].vst3_id;
constexpr ParamID kSpeedId = k_params[PARAM_LFO_SPEED].vst3_id;
constexpr ParamID kModId = k_params[PARAM_MOD_CUTOFF].vst3_id;

// Output parameter changes with room fixed in advance, as a real-time host
// keeps them: adding a queue or a point never allocates.
struct FixedQueue {
    IParamValueQueue iface;
    ParamID id;
    int32_t count;
    int32_t offsets[8];
    double values[8];
};

struct FixedChanges {
    IParameterChanges iface;
    FixedQueue queues[4];
    int32_t count = 0;

    FixedChanges();
    IParameterChanges *ptr() { return &iface; }
    void clear() { count = 0; }
    const FixedQueue *find(ParamID id) const
    {
        for (int32_t i = 0; i < count; ++i)
            if (queues[i].id == id)
                return &queues[i];
        return nullptr;
    }
};

tresult fq_query(IParamValueQueue *, const char *, void **obj)
{
    *obj = nullptr;
    return kNoInterface;
}
uint32_t fq_ref(IParamValueQueue *) { return 1; }
ParamID fq_id(IParamValueQueue *self) { return reinterpret_cast<FixedQueue *>(self)->id; }
int32_t fq_count(IParamValueQueue *self) { return reinterpret_cast<FixedQueue *>(self)->count; }
tresult fq_get(IParamValueQueue *self, int32_t i, int32_t *offset, ParamValue *value)
{
    FixedQueue *q = reinterpret_cast<FixedQueue *>(self);
    if (i < 0 || i >= q->count)
        return kResultFalse;
    *offset = q->offsets[i];
    *value = q->values[i];
    return kResultOk;
}
tresult fq_add(IParamValueQueue *self, int32_t offset, ParamValue value, int32_t *index)
{
    FixedQueue *q = reinterpret_cast<FixedQueue *>(self);
    if (q->count >= 8)
        return kResultFalse;
    q->offsets[q->count] = offset;
    q->values[q->count] = value;
    *index = q->count++;
    return kResultOk;
}
const IParamValueQueueVtbl k_fixed_queue_vtbl = {fq_query, fq_ref, fq_ref, fq_id, fq_count, fq_get, fq_add};

tresult fc_query(IParameterChanges *, const char *, void **obj)
{
    *obj = nullptr;
    return kNoInterface;
}
uint32_t fc_ref(IParameterChanges *) { return 1; }
int32_t fc_count(IParameterChanges *self) { return reinterpret_cast<FixedChanges *>(self)->count; }
IParamValueQueue *fc_get(IParameterChanges *self, int32_t i)
{
    FixedChanges *c = reinterpret_cast<FixedChanges *>(self);
    return i >= 0 && i < c->count ? &c->queues[i].iface : nullptr;
}
IParamValueQueue *fc_add(IParameterChanges *self, const ParamID *id, int32_t *index)
{
    FixedChanges *c = reinterpret_cast<FixedChanges *>(self);
    for (int32_t i = 0; i < c->count; ++i) {
        if (c->queues[i].id == *id) {
            *index = i;
            return &c->queues[i].iface;
        }
    }
    if (c->count >= 4)
        return nullptr;
    FixedQueue &q = c->queues[c->count];
    q.id = *id;
    q.count = 0;
    *index = c->count++;
    return &q.iface;
}
const IParameterChangesVtbl k_fixed_changes_vtbl = {fc_query, fc_ref, fc_ref, fc_count, fc_get, fc_add};

FixedChanges::FixedChanges() : iface{&k_fixed_changes_vtbl}, queues{}
{
    for (FixedQueue &q : queues)
        q.iface.vtbl = &k_fixed_queue_vtbl;
}

struct Vst3Rig {
    HostApplication app;
    IComponent *comp = processor_create();
    Vst3Processor *proc = comp ? processor_from_component(comp) : nullptr;
    IAudioProcessor *audio = nullptr;

    explicit Vst3Rig(bool input_active = true, bool output_active = true, double rate = 48000.0)
    {
        if (!comp)
            return;
        void *obj = nullptr;
        comp->vtbl->initialize(comp, app.ptr());
        comp->vtbl->queryInterface(comp, vst3_uid_ptr(IID_IAudioProcessor), &obj);
        audio = static_cast<IAudioProcessor *>(obj);
        comp->vtbl->activateBus(comp, kAudio, kInput, 0, input_active ? 1 : 0);
        comp->vtbl->activateBus(comp, kAudio, kOutput, 0, output_active ? 1 : 0);
        ProcessSetup setup{kRealtime, kSample32, static_cast<int32_t>(kMaxBlock), rate};
        audio->vtbl->setupProcessing(audio, &setup);
        comp->vtbl->setActive(comp, 1);
    }
    ~Vst3Rig()
    {
        if (audio)
            audio->vtbl->release(audio);
        if (comp) {
            comp->vtbl->setActive(comp, 0);
            comp->vtbl->terminate(comp);
            comp->vtbl->release(comp);
        }
    }
    tresult process(ProcessData *d) { return audio->vtbl->process(audio, d); }
    float param(uint32_t i) const { return engine_get_param(&proc->inst.engine, i); }
    void expect_engine(float cutoff, float amt, float speed) const
    {
        EXPECT_EQ(param(PARAM_CUTOFF), cutoff);
        EXPECT_EQ(param(PARAM_LFO_AMT), amt);
        EXPECT_EQ(param(PARAM_LFO_SPEED), speed);
    }
};

// Input queues set up once; each block only rewrites their points in place.
struct InputQueues {
    HostChanges changes;
    InputQueues()
    {
        changes.add(kCutoffId, {{0, 0.0}, {0, 0.0}, {0, 0.0}});
        changes.add(kAmtId, {{0, 1.0}});
        changes.add(kSpeedId, {{0, 1.0}, {0, 1.0}});
        changes.add(kModId, {{0, 0.5}});            // an output: ignored
        changes.add(12345u, {{0, 0.5}, {1, 0.25}}); // not ours: ignored
        changes.add(kAmtId, {});                    // no points
        changes.add(kSpeedId, {{0, NAN}});          // NaN: ignored
    }
    HostQueue &q(size_t i) { return changes.queues[i]; }
};

// Every block size with input changes at offset 0, inside the block and at
// its last sample, the LFO at full amount and speed, and the modulated
// cutoff reported through fixed output changes.
TEST(Vst3Realtime, ProcessOfEveryBlockSizeWithParameterChanges)
{
    Vst3Rig rig;
    ASSERT_TRUE(rig.audio);
    MonoBlock block(static_cast<int32_t>(kMaxBlock));
    fill_signal(block.in.data(), block.in.size());
    InputQueues in;
    FixedChanges out;
    block.data.inputParameterChanges = in.changes.ptr();
    block.data.outputParameterChanges = out.ptr();

    int64_t step = 0;
    int reported = 0;
    uint64_t samples = 0;
    auto run = [&](uint32_t n, int cutoff_start, int cutoff_end) {
        const int32_t ni = static_cast<int32_t>(n);
        block.data.numSamples = ni;
        // Cutoff: one value at 0, another in the middle, the last at the end.
        in.q(0).points[0] = {0, cutoff_start / 15.0};
        in.q(0).points[1] = {ni / 2, (cutoff_start + cutoff_end) / 30.0};
        in.q(0).points[2] = {ni > 0 ? ni - 1 : 0, cutoff_end / 15.0};
        in.q(2).points[1] = {ni > 1 ? ni - 1 : 0, 1.0};
        out.clear();
        tresult r = kResultFalse;
        on_audio_thread("VST3 process", step, [&] { r = rig.process(&block.data); });
        EXPECT_EQ(r, kResultOk);
        // The point at the block's end wins when the block has one, else point 0.
        EXPECT_EQ(rig.param(PARAM_CUTOFF), static_cast<float>(ni > 1 ? cutoff_end : cutoff_start)) << "n=" << n;
        if (const FixedQueue *q = out.find(kModId)) {
            ++reported;
            EXPECT_EQ(q->count, 1);
            EXPECT_EQ(q->offsets[0], ni > 0 ? ni - 1 : 0);
            EXPECT_DOUBLE_EQ(q->values[0], engine_get_mod_cutoff(&rig.proc->inst.engine) / 255.0);
        }
        samples += n;
        ++step;
    };
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t n : kSizes)
            run(n, static_cast<int>(step % 16), static_cast<int>((step * 7 + 3) % 16));
    for (uint32_t n = 1; n <= 600; ++n)
        run(n, 9, 9);
    rig.expect_engine(9, 15, 15);
    EXPECT_GT(samples / 480, 100u); // many LFO ticks
    EXPECT_GT(reported, 100);       // the Modulated Cutoff point went out again and again
}

// A zero-length block is how a host flushes parameter changes.
TEST(Vst3Realtime, ZeroLengthBlocksFlushChanges)
{
    Vst3Rig rig;
    ASSERT_TRUE(rig.audio);
    HostChanges in;
    in.add(kCutoffId, {{0, 4.0 / 15.0}});
    in.add(kAmtId, {{0, 1.0}});
    in.add(kSpeedId, {{0, 1.0}});
    FixedChanges out;
    ProcessData flush{};
    flush.processMode = kRealtime;
    flush.symbolicSampleSize = kSample32;
    flush.inputParameterChanges = in.ptr();
    flush.outputParameterChanges = out.ptr();
    on_audio_thread("VST3 flush, no buses", 0, [&] { rig.process(&flush); });
    rig.expect_engine(4, 15, 15);

    MonoBlock zero(0);
    zero.data.inputParameterChanges = in.ptr();
    zero.data.outputParameterChanges = out.ptr();
    in.queues[0].points[0].second = 11.0 / 15.0;
    on_audio_thread("VST3 zero-length block", 1, [&] { rig.process(&zero.data); });
    rig.expect_engine(11, 15, 15);
    zero.data.numSamples = -5; // nonsense from a host: treated as empty
    on_audio_thread("VST3 negative block length", 2, [&] { rig.process(&zero.data); });
    on_audio_thread("VST3 null process data", 3, [&] { rig.process(nullptr); });
}

// Restored values reach the engine with the state lock free and with a
// restore holding it, while the host keeps sending changes.
TEST(Vst3Realtime, HandOverOfRestoredValues)
{
    Vst3Rig rig;
    ASSERT_TRUE(rig.audio);
    MonoBlock block(512);
    fill_signal(block.in.data(), block.in.size());
    FixedChanges out;
    block.data.outputParameterChanges = out.ptr();
    on_audio_thread("VST3 first block", 0, [&] { rig.process(&block.data); });

    // Lock free: setState finished on another thread before the block.
    std::thread restore([&] {
        MemoryStream s(blob_make(48000.0f, 2.0f, 15.0f, 15.0f));
        EXPECT_EQ(rig.comp->vtbl->setState(rig.comp, s.ptr()), kResultOk);
    });
    restore.join();
    out.clear();
    on_audio_thread("VST3 block after setState", 1, [&] { rig.process(&block.data); });
    rig.expect_engine(2, 15, 15);

    // Lock busy: blocks with and without host changes go by; the changes
    // wait, then the restore arrives with the first free block.
    HostChanges in;
    in.add(kCutoffId, {{0, 6.0 / 15.0}, {100, 7.0 / 15.0}});
    {
        RestoreHoldingTheLock held(&rig.proc->inst, 13.0f, 1.0f, 0.0f);
        int64_t step = 2;
        for (int32_t n : {0, 1, 512}) {
            block.data.numSamples = n;
            block.data.inputParameterChanges = n == 1 ? nullptr : in.ptr();
            out.clear();
            on_audio_thread("VST3 process, state lock busy", step++, [&] { rig.process(&block.data); });
        }
        rig.expect_engine(2, 15, 15);
        EXPECT_EQ(rig.proc->inst.sync.received[PARAM_CUTOFF], 7.0f);
        held.finish();
    }
    block.data.numSamples = 64;
    block.data.inputParameterChanges = nullptr;
    out.clear();
    on_audio_thread("VST3 process after the lock came free", 10, [&] { rig.process(&block.data); });
    rig.expect_engine(13, 1, 0);

    // A save holding the lock while changes come in: they are reconciled at
    // the next free block.
    {
        std::atomic<bool> holding{false}, release{false};
        std::thread saver([&] {
            param_sync_lock(&rig.proc->inst.sync);
            holding = true;
            while (!release)
                std::this_thread::yield();
            param_sync_unlock(&rig.proc->inst.sync);
        });
        while (!holding)
            std::this_thread::yield();
        block.data.inputParameterChanges = in.ptr();
        on_audio_thread("VST3 process, changes, save holding the lock", 11, [&] { rig.process(&block.data); });
        rig.expect_engine(13, 1, 0);
        release = true;
        saver.join();
    }
    block.data.inputParameterChanges = nullptr;
    on_audio_thread("VST3 process after a save", 12, [&] { rig.process(&block.data); });
    rig.expect_engine(7, 1, 0); // the last point, taken at the end of the block
}

// setState and getState on another thread while the audio thread processes.
TEST(Vst3Realtime, ProcessWhileAnotherThreadSavesAndRestores)
{
    Vst3Rig rig;
    ASSERT_TRUE(rig.audio);
    MonoBlock block(512);
    fill_signal(block.in.data(), block.in.size());
    FixedChanges out;
    block.data.outputParameterChanges = out.ptr();
    const std::vector<uint8_t> blobs[2] = {blob_make(48000.0f, 1.0f, 2.0f, 3.0f),
                                           blob_make(48000.0f, 14.0f, 15.0f, 15.0f)};
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread state_thread([&] {
        for (int i = 0; i < 2000; ++i) {
            MemoryStream s(blobs[i % 2]);
            if (rig.comp->vtbl->setState(rig.comp, s.ptr()) != kResultOk)
                ++failures;
            MemoryStream saved;
            if (rig.comp->vtbl->getState(rig.comp, saved.ptr()) != kResultOk)
                ++failures;
        }
        done = true;
    });
    int64_t step = 0;
    while (!done.load() || step < 1000) {
        block.data.numSamples = static_cast<int32_t>(kSizes[static_cast<size_t>(step) % 28]);
        out.clear();
        on_audio_thread("VST3 process during saves and restores", step, [&] { rig.process(&block.data); });
        ++step;
    }
    state_thread.join();
    on_audio_thread("VST3 process after the last restore", step, [&] { rig.process(&block.data); });
    EXPECT_EQ(failures.load(), 0);
    rig.expect_engine(14, 15, 15);
}

// Buses not both active: process only zeroes the outputs.
TEST(Vst3Realtime, InactiveBypassZeroesOutputs)
{
    for (int which = 0; which < 3; ++which) {
        Vst3Rig rig(which == 1, which == 0); // input off, output off, both off
        ASSERT_TRUE(rig.audio);
        MonoBlock block(static_cast<int32_t>(kMaxBlock), 0.5f);
        HostChanges in;
        in.add(kCutoffId, {{0, 1.0 / 15.0}});
        FixedChanges out;
        block.data.inputParameterChanges = in.ptr();
        block.data.outputParameterChanges = out.ptr();
        int64_t step = 0;
        for (uint32_t n : kSizes) {
            std::fill(block.out.begin(), block.out.end(), 1.0f);
            block.data.numSamples = static_cast<int32_t>(n);
            out.clear();
            on_audio_thread(which == 2 ? "VST3 both buses inactive" : "VST3 one bus inactive", step++,
                            [&] { rig.process(&block.data); });
            size_t nonzero = 0;
            for (size_t i = 0; i < n; ++i)
                nonzero += block.out[i] != 0.0f;
            EXPECT_EQ(nonzero, 0u) << "n=" << n;
            if (n < kMaxBlock) {
                EXPECT_EQ(block.out[n], 1.0f) << "n=" << n; // nothing past the block
            }
        }
        EXPECT_EQ(rig.param(PARAM_CUTOFF), 1.0f); // changes are still taken
    }
}

// Hosts that pass buses without channels or buffers: nothing is processed
// and only buffers that exist are touched.
TEST(Vst3Realtime, MissingBuffers)
{
    Vst3Rig rig;
    ASSERT_TRUE(rig.audio);
    struct Variation {
        const char *what;
        void (*change)(MonoBlock &);
    };
    const Variation variations[] = {
        {"VST3 no input bus", [](MonoBlock &b) { b.data.numInputs = 0; }},
        {"VST3 null outputs", [](MonoBlock &b) { b.data.outputs = nullptr; }},
        {"VST3 null input channel", [](MonoBlock &b) { b.in_ch[0] = nullptr; }},
        {"VST3 null output channel", [](MonoBlock &b) { b.out_ch[0] = nullptr; }},
        {"VST3 output bus without channels", [](MonoBlock &b) { b.out_bus.numChannels = 0; }},
        {"VST3 input bus without buffers", [](MonoBlock &b) { b.in_bus.channelBuffers32 = nullptr; }},
    };
    int64_t step = 0;
    for (const Variation &v : variations) {
        MonoBlock block(256, 0.5f);
        v.change(block);
        on_audio_thread(v.what, step++, [&] { rig.process(&block.data); });
    }
}

// Host misuse: more buses than the one mono bus each way, and blocks longer
// than setupProcessing announced. Only the announced length of bus 0,
// channel 0 is written; a block that is too long is not processed.
TEST(Vst3Realtime, BusCountsAndBlockLengthsTheHostGotWrong)
{
    for (bool usable : {true, false}) {
        Vst3Rig rig(true, usable);
        ASSERT_TRUE(rig.audio);
        const int32_t max = static_cast<int32_t>(kMaxBlock);
        for (int32_t n : {max, max + 1, max + 100}) {
            MonoBlock block(max + 100, 0.5f);
            std::fill(block.out.begin(), block.out.end(), 1.0f);
            block.data.numSamples = n;
            block.data.numInputs = block.data.numOutputs = 3; // only one bus behind each pointer
            on_audio_thread("VST3 misused buses and lengths", n, [&] { rig.process(&block.data); });
            const auto written = std::count_if(block.out.begin(), block.out.end(), [](float v) { return v != 1.0f; });
            EXPECT_EQ(written, n > max || !usable ? max : n) << "n=" << n;
            EXPECT_EQ(std::count(block.out.begin() + max, block.out.end(), 1.0f), 100);
            if (n > max || !usable) {
                EXPECT_EQ(std::count(block.out.begin(), block.out.begin() + max, 0.0f), max);
            }
        }
    }
}

} // namespace
