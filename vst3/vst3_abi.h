// The VST 3 binary interface as this module and its test host use it:
// basic types, result codes, identifiers, structures and function tables.
// Every object is a structure whose first member points at its table; each
// slot takes the interface pointer itself as its first argument. Layouts are
// natural C layouts on both x86-64 targets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#if !defined(__x86_64__) && !defined(_M_X64)
#error "only x86-64 layouts are declared here"
#endif

// ---- basic types -------------------------------------------------------------

typedef int32_t tresult;
typedef char char8;
typedef char16_t char16;
typedef char16_t TChar;
typedef uint8_t TBool;
typedef char TUID[16];
typedef const char8 *FIDString;
typedef char16 String128[128];
typedef uint32_t ParamID;
typedef double ParamValue;
typedef double SampleRate;
typedef float Sample32;
typedef double Sample64;
typedef uint64_t SpeakerArrangement;
typedef int32_t MediaType;
typedef int32_t BusDirection;
typedef int32_t BusType;
typedef int32_t IoMode;
typedef int32_t UnitID;
typedef int16_t CtrlNumber;

static_assert(sizeof(char16) == 2 && sizeof(TUID) == 16 && sizeof(String128) == 256, "basic type sizes");

// ---- result codes --------------------------------------------------------------
// Windows uses the COM values, Linux small integers. Success is always 0.

#if defined(_WIN32)
constexpr tresult kNoInterface = static_cast<tresult>(0x80004002u);
constexpr tresult kResultOk = 0;
constexpr tresult kResultTrue = 0;
constexpr tresult kResultFalse = 1;
constexpr tresult kInvalidArgument = static_cast<tresult>(0x80070057u);
constexpr tresult kNotImplemented = static_cast<tresult>(0x80004001u);
constexpr tresult kInternalError = static_cast<tresult>(0x80004005u);
constexpr tresult kNotInitialized = static_cast<tresult>(0x8000FFFFu);
constexpr tresult kOutOfMemory = static_cast<tresult>(0x8007000Eu);
#else
constexpr tresult kNoInterface = -1;
constexpr tresult kResultOk = 0;
constexpr tresult kResultTrue = 0;
constexpr tresult kResultFalse = 1;
constexpr tresult kInvalidArgument = 2;
constexpr tresult kNotImplemented = 3;
constexpr tresult kInternalError = 4;
constexpr tresult kNotInitialized = 5;
constexpr tresult kOutOfMemory = 6;
#endif

// ---- identifiers ---------------------------------------------------------------
// Written as the four 32-bit numbers of the GUID text; stored in COM order on
// Windows (first three groups little-endian) and in reading order elsewhere,
// so the text form is the same on both platforms.

struct Vst3Uid {
    uint8_t b[16];
};

constexpr Vst3Uid vst3_uid(uint32_t l1, uint32_t l2, uint32_t l3, uint32_t l4)
{
    Vst3Uid u{};
#if defined(_WIN32)
    u.b[0] = static_cast<uint8_t>(l1);
    u.b[1] = static_cast<uint8_t>(l1 >> 8);
    u.b[2] = static_cast<uint8_t>(l1 >> 16);
    u.b[3] = static_cast<uint8_t>(l1 >> 24);
    u.b[4] = static_cast<uint8_t>(l2 >> 16);
    u.b[5] = static_cast<uint8_t>(l2 >> 24);
    u.b[6] = static_cast<uint8_t>(l2);
    u.b[7] = static_cast<uint8_t>(l2 >> 8);
#else
    for (int i = 0; i < 4; ++i) {
        u.b[i] = static_cast<uint8_t>(l1 >> (24 - 8 * i));
        u.b[4 + i] = static_cast<uint8_t>(l2 >> (24 - 8 * i));
    }
#endif
    for (int i = 0; i < 4; ++i) {
        u.b[8 + i] = static_cast<uint8_t>(l3 >> (24 - 8 * i));
        u.b[12 + i] = static_cast<uint8_t>(l4 >> (24 - 8 * i));
    }
    return u;
}

// A null `id` matches nothing.
inline bool vst3_uid_equal(const void *id, const Vst3Uid &u) { return id && std::memcmp(id, u.b, 16) == 0; }

inline const char *vst3_uid_ptr(const Vst3Uid &u) { return reinterpret_cast<const char *>(u.b); }

inline constexpr Vst3Uid IID_FUnknown = vst3_uid(0x00000000, 0x00000000, 0xC0000000, 0x00000046);
inline constexpr Vst3Uid IID_IPluginBase = vst3_uid(0x22888DDB, 0x156E45AE, 0x8358B348, 0x08190625);
inline constexpr Vst3Uid IID_IPluginFactory = vst3_uid(0x7A4D811C, 0x52114A1F, 0xAED9D2EE, 0x0B43BF9F);
inline constexpr Vst3Uid IID_IPluginFactory2 = vst3_uid(0x0007B650, 0xF24B4C0B, 0xA464EDB9, 0xF00B2ABB);
inline constexpr Vst3Uid IID_IPluginFactory3 = vst3_uid(0x4555A2AB, 0xC1234E57, 0x9B122910, 0x36878931);
inline constexpr Vst3Uid IID_IComponent = vst3_uid(0xE831FF31, 0xF2D54301, 0x928EBBEE, 0x25697802);
inline constexpr Vst3Uid IID_IAudioProcessor = vst3_uid(0x42043F99, 0xB7DA453C, 0xA569E79D, 0x9AAEC33D);
inline constexpr Vst3Uid IID_IProcessContextRequirements = vst3_uid(0x2A654303, 0xEF764E3D, 0x95B5FE83, 0x730EF6D0);
inline constexpr Vst3Uid IID_IConnectionPoint = vst3_uid(0x70A4156F, 0x6E6E4026, 0x989148BF, 0xAA60D8D1);
inline constexpr Vst3Uid IID_IMessage = vst3_uid(0x936F033B, 0xC6C047DB, 0xBB0882F8, 0x13C1E613);
inline constexpr Vst3Uid IID_IAttributeList = vst3_uid(0x1E5F0AEB, 0xCC7F4533, 0xA2544011, 0x38AD5EE4);
inline constexpr Vst3Uid IID_IEditController = vst3_uid(0xDCD7BBE3, 0x7742448D, 0xA874AACC, 0x979C759E);
inline constexpr Vst3Uid IID_IEditController2 = vst3_uid(0x7F4EFE59, 0xF3204967, 0xAC27A3AE, 0xAFB63038);
inline constexpr Vst3Uid IID_IMidiMapping = vst3_uid(0xDF0FF9F7, 0x49B74669, 0xB63AB732, 0x7ADBF5E5);
inline constexpr Vst3Uid IID_IComponentHandler = vst3_uid(0x93A0BEA3, 0x0BD045DB, 0x8E890B0C, 0xC1E46AC6);
inline constexpr Vst3Uid IID_IPlugView = vst3_uid(0x5BC32507, 0xD06049EA, 0xA6151B52, 0x2B755B29);
inline constexpr Vst3Uid IID_IPlugViewContentScaleSupport = vst3_uid(0x65ED9690, 0x8AC44525, 0x8AADEF7A, 0x72EA703F);
inline constexpr Vst3Uid IID_IPlugFrame = vst3_uid(0x367FAF01, 0xAFA94693, 0x8D4DA2A0, 0xED0882A3);
inline constexpr Vst3Uid IID_IBStream = vst3_uid(0xC3BF6EA2, 0x30994752, 0x9B6BF990, 0x1EE33E9B);
inline constexpr Vst3Uid IID_IParameterChanges = vst3_uid(0xA4779663, 0x0BB64A56, 0xB44384A8, 0x466FEB9D);
inline constexpr Vst3Uid IID_IParamValueQueue = vst3_uid(0x01263A18, 0xED074F6F, 0x98C9D356, 0x4686F9BA);
inline constexpr Vst3Uid IID_IHostApplication = vst3_uid(0x58E595CC, 0xDB2D4969, 0x8B6AAF8C, 0x36A664E5);
inline constexpr Vst3Uid IID_IUnitInfo = vst3_uid(0x3D4BD6B5, 0x913A4FD2, 0xA886E768, 0xA5EB92C1);
inline constexpr Vst3Uid IID_IComponentHandler3 = vst3_uid(0x69F11617, 0xD26B400D, 0xA4B6B964, 0x7B6EBBAB);
inline constexpr Vst3Uid IID_IContextMenu = vst3_uid(0x2E93C863, 0x0C9C4588, 0x97DBECF5, 0xAD17817D);
// Linux only: the host's run loop and what a plug-in registers with it.
inline constexpr Vst3Uid IID_IRunLoop = vst3_uid(0x18C35366, 0x97764F1A, 0x9C5B8385, 0x7A871389);
inline constexpr Vst3Uid IID_IEventHandler = vst3_uid(0x561E65C9, 0x13A0496F, 0x813A2C35, 0x654D7983);
inline constexpr Vst3Uid IID_ITimerHandler = vst3_uid(0x10BDD94F, 0x41424774, 0x821FAD8F, 0xECA72CA9);

// The worked examples of the byte order.
#if defined(_WIN32)
static_assert(IID_IComponent.b[0] == 0x31 && IID_IComponent.b[3] == 0xE8 && IID_IComponent.b[4] == 0xD5 &&
                  IID_IComponent.b[7] == 0x43 && IID_IComponent.b[8] == 0x92 && IID_IComponent.b[15] == 0x02,
              "COM byte order");
#else
static_assert(IID_IComponent.b[0] == 0xE8 && IID_IComponent.b[3] == 0x31 && IID_IComponent.b[4] == 0xF2 &&
                  IID_IComponent.b[7] == 0x01 && IID_IComponent.b[8] == 0x92 && IID_IComponent.b[15] == 0x02,
              "plain byte order");
#endif
static_assert(IID_FUnknown.b[8] == 0xC0 && IID_FUnknown.b[15] == 0x46 && IID_FUnknown.b[0] == 0, "FUnknown bytes");

// ---- constants -------------------------------------------------------------------

enum : int32_t { kAudio = 0, kEvent = 1 };  // MediaTypes
enum : int32_t { kInput = 0, kOutput = 1 }; // BusDirections
enum : int32_t { kMain = 0, kAux = 1 };     // BusTypes
enum : uint32_t { kDefaultActive = 1 };     // BusInfo flags
enum : int32_t { kRealtime = 0, kPrefetch = 1, kOffline = 2 };
enum : int32_t { kSample32 = 0, kSample64 = 1 };
enum : int32_t { kIBSeekSet = 0, kIBSeekCur = 1, kIBSeekEnd = 2 };
enum : int32_t { kCanAutomate = 1, kIsReadOnly = 2 }; // ParameterInfo flags
enum : int32_t { kUnicode = 16 };                     // PFactoryInfo flags
enum : uint32_t { kDistributable = 1 };               // component class flags
constexpr int32_t kManyInstances = 0x7FFFFFFF;
constexpr SpeakerArrangement kSpeakerArrMono = 0x80000;
constexpr SpeakerArrangement kSpeakerArrStereo = 3;
constexpr UnitID kRootUnitId = 0;
constexpr uint32_t kNoTail = 0;

// ---- structures --------------------------------------------------------------------

struct PFactoryInfo {
    char8 vendor[64];
    char8 url[256];
    char8 email[128];
    int32_t flags;
};

struct PClassInfo {
    TUID cid;
    int32_t cardinality;
    char8 category[32];
    char8 name[64];
};

struct PClassInfo2 {
    TUID cid;
    int32_t cardinality;
    char8 category[32];
    char8 name[64];
    uint32_t classFlags;
    char8 subCategories[128];
    char8 vendor[64];
    char8 version[64];
    char8 sdkVersion[64];
};

struct PClassInfoW {
    TUID cid;
    int32_t cardinality;
    char8 category[32];
    char16 name[64];
    uint32_t classFlags;
    char8 subCategories[128];
    char16 vendor[64];
    char16 version[64];
    char16 sdkVersion[64];
};

struct BusInfo {
    MediaType mediaType;
    BusDirection direction;
    int32_t channelCount;
    String128 name;
    BusType busType;
    uint32_t flags;
};

struct RoutingInfo {
    MediaType mediaType;
    int32_t busIndex;
    int32_t channel;
};

struct ProcessSetup {
    int32_t processMode;
    int32_t symbolicSampleSize;
    int32_t maxSamplesPerBlock;
    SampleRate sampleRate;
};

struct AudioBusBuffers {
    int32_t numChannels;
    uint64_t silenceFlags;
    union {
        Sample32 **channelBuffers32;
        Sample64 **channelBuffers64;
    };
};

struct IParameterChanges;
struct IEventList;
struct ProcessContext; // never read by this module

struct ProcessData {
    int32_t processMode;
    int32_t symbolicSampleSize;
    int32_t numSamples;
    int32_t numInputs;
    int32_t numOutputs;
    AudioBusBuffers *inputs;
    AudioBusBuffers *outputs;
    IParameterChanges *inputParameterChanges;
    IParameterChanges *outputParameterChanges;
    IEventList *inputEvents;
    IEventList *outputEvents;
    ProcessContext *processContext;
};

struct ParameterInfo {
    ParamID id;
    String128 title;
    String128 shortTitle;
    String128 units;
    int32_t stepCount;
    ParamValue defaultNormalizedValue;
    UnitID unitId;
    int32_t flags;
};

struct ViewRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

static_assert(sizeof(PFactoryInfo) == 452 && alignof(PFactoryInfo) == 4, "PFactoryInfo");
static_assert(offsetof(PFactoryInfo, url) == 64 && offsetof(PFactoryInfo, email) == 320 &&
                  offsetof(PFactoryInfo, flags) == 448,
              "PFactoryInfo offsets");
static_assert(sizeof(PClassInfo) == 116 && offsetof(PClassInfo, cardinality) == 16 &&
                  offsetof(PClassInfo, category) == 20 && offsetof(PClassInfo, name) == 52,
              "PClassInfo");
static_assert(sizeof(PClassInfo2) == 440 && offsetof(PClassInfo2, classFlags) == 116 &&
                  offsetof(PClassInfo2, subCategories) == 120 && offsetof(PClassInfo2, vendor) == 248 &&
                  offsetof(PClassInfo2, version) == 312 && offsetof(PClassInfo2, sdkVersion) == 376,
              "PClassInfo2");
static_assert(sizeof(PClassInfoW) == 696 && offsetof(PClassInfoW, name) == 52 &&
                  offsetof(PClassInfoW, classFlags) == 180 && offsetof(PClassInfoW, subCategories) == 184 &&
                  offsetof(PClassInfoW, vendor) == 312 && offsetof(PClassInfoW, version) == 440 &&
                  offsetof(PClassInfoW, sdkVersion) == 568,
              "PClassInfoW");
static_assert(sizeof(BusInfo) == 276 && offsetof(BusInfo, channelCount) == 8 && offsetof(BusInfo, name) == 12 &&
                  offsetof(BusInfo, busType) == 268 && offsetof(BusInfo, flags) == 272,
              "BusInfo");
static_assert(sizeof(RoutingInfo) == 12, "RoutingInfo");
static_assert(sizeof(ProcessSetup) == 24 && alignof(ProcessSetup) == 8 && offsetof(ProcessSetup, sampleRate) == 16,
              "ProcessSetup");
static_assert(sizeof(AudioBusBuffers) == 24 && offsetof(AudioBusBuffers, silenceFlags) == 8 &&
                  offsetof(AudioBusBuffers, channelBuffers32) == 16,
              "AudioBusBuffers");
static_assert(sizeof(ProcessData) == 80 && offsetof(ProcessData, numOutputs) == 16 &&
                  offsetof(ProcessData, inputs) == 24 && offsetof(ProcessData, outputs) == 32 &&
                  offsetof(ProcessData, inputParameterChanges) == 40 &&
                  offsetof(ProcessData, outputParameterChanges) == 48 && offsetof(ProcessData, inputEvents) == 56 &&
                  offsetof(ProcessData, outputEvents) == 64 && offsetof(ProcessData, processContext) == 72,
              "ProcessData");
static_assert(sizeof(ParameterInfo) == 792 && alignof(ParameterInfo) == 8 && offsetof(ParameterInfo, title) == 4 &&
                  offsetof(ParameterInfo, shortTitle) == 260 && offsetof(ParameterInfo, units) == 516 &&
                  offsetof(ParameterInfo, stepCount) == 772 && offsetof(ParameterInfo, defaultNormalizedValue) == 776 &&
                  offsetof(ParameterInfo, unitId) == 784 && offsetof(ParameterInfo, flags) == 788,
              "ParameterInfo");
static_assert(sizeof(ViewRect) == 16, "ViewRect");

// ---- interfaces ----------------------------------------------------------------------
// Each table repeats the slots of its bases first, in declaration order.

#define VST3_UNKNOWN_SLOTS(T)                                                                                          \
    tresult (*queryInterface)(T * self, const char *iid, void **obj);                                                  \
    uint32_t (*addRef)(T * self);                                                                                      \
    uint32_t (*release)(T * self);

#define VST3_INTERFACE(T)                                                                                              \
    struct T##Vtbl;                                                                                                    \
    struct T {                                                                                                         \
        const T##Vtbl *vtbl;                                                                                           \
    }

VST3_INTERFACE(FUnknown);
VST3_INTERFACE(IPluginBase);
VST3_INTERFACE(IPluginFactory);
VST3_INTERFACE(IComponent);
VST3_INTERFACE(IAudioProcessor);
VST3_INTERFACE(IProcessContextRequirements);
VST3_INTERFACE(IConnectionPoint);
VST3_INTERFACE(IMessage);
VST3_INTERFACE(IEditController);
VST3_INTERFACE(IMidiMapping);
VST3_INTERFACE(IComponentHandler);
VST3_INTERFACE(IPlugView);
VST3_INTERFACE(IPlugFrame);
VST3_INTERFACE(IPlugViewContentScaleSupport);
VST3_INTERFACE(IBStream);
VST3_INTERFACE(IParameterChanges);
VST3_INTERFACE(IParamValueQueue);
VST3_INTERFACE(IHostApplication);
VST3_INTERFACE(IComponentHandler3);
VST3_INTERFACE(IContextMenu);
VST3_INTERFACE(IRunLoop);
VST3_INTERFACE(IEventHandler);
VST3_INTERFACE(ITimerHandler);

struct FUnknownVtbl {
    VST3_UNKNOWN_SLOTS(FUnknown)
};

struct IPluginBaseVtbl {
    VST3_UNKNOWN_SLOTS(IPluginBase)
    tresult (*initialize)(IPluginBase *self, FUnknown *context);
    tresult (*terminate)(IPluginBase *self);
};

// IPluginFactory, IPluginFactory2 and IPluginFactory3 share this one table.
struct IPluginFactoryVtbl {
    VST3_UNKNOWN_SLOTS(IPluginFactory)
    tresult (*getFactoryInfo)(IPluginFactory *self, PFactoryInfo *info);
    int32_t (*countClasses)(IPluginFactory *self);
    tresult (*getClassInfo)(IPluginFactory *self, int32_t index, PClassInfo *info);
    tresult (*createInstance)(IPluginFactory *self, FIDString cid, FIDString iid, void **obj);
    tresult (*getClassInfo2)(IPluginFactory *self, int32_t index, PClassInfo2 *info);
    tresult (*getClassInfoUnicode)(IPluginFactory *self, int32_t index, PClassInfoW *info);
    tresult (*setHostContext)(IPluginFactory *self, FUnknown *context);
};

struct IComponentVtbl {
    VST3_UNKNOWN_SLOTS(IComponent)
    tresult (*initialize)(IComponent *self, FUnknown *context);
    tresult (*terminate)(IComponent *self);
    tresult (*getControllerClassId)(IComponent *self, char *classId);
    tresult (*setIoMode)(IComponent *self, IoMode mode);
    int32_t (*getBusCount)(IComponent *self, MediaType type, BusDirection dir);
    tresult (*getBusInfo)(IComponent *self, MediaType type, BusDirection dir, int32_t index, BusInfo *bus);
    tresult (*getRoutingInfo)(IComponent *self, RoutingInfo *inInfo, RoutingInfo *outInfo);
    tresult (*activateBus)(IComponent *self, MediaType type, BusDirection dir, int32_t index, TBool state);
    tresult (*setActive)(IComponent *self, TBool state);
    tresult (*setState)(IComponent *self, IBStream *state);
    tresult (*getState)(IComponent *self, IBStream *state);
};

struct IAudioProcessorVtbl {
    VST3_UNKNOWN_SLOTS(IAudioProcessor)
    tresult (*setBusArrangements)(IAudioProcessor *self, SpeakerArrangement *inputs, int32_t numIns,
                                  SpeakerArrangement *outputs, int32_t numOuts);
    tresult (*getBusArrangement)(IAudioProcessor *self, BusDirection dir, int32_t index, SpeakerArrangement *arr);
    tresult (*canProcessSampleSize)(IAudioProcessor *self, int32_t symbolicSampleSize);
    uint32_t (*getLatencySamples)(IAudioProcessor *self);
    tresult (*setupProcessing)(IAudioProcessor *self, ProcessSetup *setup);
    tresult (*setProcessing)(IAudioProcessor *self, TBool state);
    tresult (*process)(IAudioProcessor *self, ProcessData *data);
    uint32_t (*getTailSamples)(IAudioProcessor *self);
};

struct IProcessContextRequirementsVtbl {
    VST3_UNKNOWN_SLOTS(IProcessContextRequirements)
    uint32_t (*getProcessContextRequirements)(IProcessContextRequirements *self);
};

struct IConnectionPointVtbl {
    VST3_UNKNOWN_SLOTS(IConnectionPoint)
    tresult (*connect)(IConnectionPoint *self, IConnectionPoint *other);
    tresult (*disconnect)(IConnectionPoint *self, IConnectionPoint *other);
    tresult (*notify)(IConnectionPoint *self, IMessage *message);
};

struct IMessageVtbl {
    VST3_UNKNOWN_SLOTS(IMessage)
    FIDString (*getMessageID)(IMessage *self);
    void (*setMessageID)(IMessage *self, FIDString id);
    void *(*getAttributes)(IMessage *self);
};

struct IEditControllerVtbl {
    VST3_UNKNOWN_SLOTS(IEditController)
    tresult (*initialize)(IEditController *self, FUnknown *context);
    tresult (*terminate)(IEditController *self);
    tresult (*setComponentState)(IEditController *self, IBStream *state);
    tresult (*setState)(IEditController *self, IBStream *state);
    tresult (*getState)(IEditController *self, IBStream *state);
    int32_t (*getParameterCount)(IEditController *self);
    tresult (*getParameterInfo)(IEditController *self, int32_t paramIndex, ParameterInfo *info);
    tresult (*getParamStringByValue)(IEditController *self, ParamID id, ParamValue valueNormalized, TChar *string);
    tresult (*getParamValueByString)(IEditController *self, ParamID id, TChar *string, ParamValue *valueNormalized);
    ParamValue (*normalizedParamToPlain)(IEditController *self, ParamID id, ParamValue valueNormalized);
    ParamValue (*plainParamToNormalized)(IEditController *self, ParamID id, ParamValue plainValue);
    ParamValue (*getParamNormalized)(IEditController *self, ParamID id);
    tresult (*setParamNormalized)(IEditController *self, ParamID id, ParamValue value);
    tresult (*setComponentHandler)(IEditController *self, IComponentHandler *handler);
    IPlugView *(*createView)(IEditController *self, FIDString name);
};

struct IMidiMappingVtbl {
    VST3_UNKNOWN_SLOTS(IMidiMapping)
    tresult (*getMidiControllerAssignment)(IMidiMapping *self, int32_t busIndex, int16_t channel,
                                           CtrlNumber midiControllerNumber, ParamID *id);
};

struct IComponentHandlerVtbl {
    VST3_UNKNOWN_SLOTS(IComponentHandler)
    tresult (*beginEdit)(IComponentHandler *self, ParamID id);
    tresult (*performEdit)(IComponentHandler *self, ParamID id, ParamValue valueNormalized);
    tresult (*endEdit)(IComponentHandler *self, ParamID id);
    tresult (*restartComponent)(IComponentHandler *self, int32_t flags);
};

struct IComponentHandler3Vtbl {
    VST3_UNKNOWN_SLOTS(IComponentHandler3)
    // The caller owns the menu; `view` must be attached.
    IContextMenu *(*createContextMenu)(IComponentHandler3 *self, IPlugView *view, const ParamID *paramID);
};

// Items (IContextMenuItem, 264 bytes) are not used here: the host's own items only.
struct IContextMenuVtbl {
    VST3_UNKNOWN_SLOTS(IContextMenu)
    int32_t (*getItemCount)(IContextMenu *self);
    tresult (*getItem)(IContextMenu *self, int32_t index, void *item, void **target);
    tresult (*addItem)(IContextMenu *self, const void *item, void *target);
    tresult (*removeItem)(IContextMenu *self, const void *item, void *target);
    tresult (*popup)(IContextMenu *self, int32_t x, int32_t y); // relative to the view's top-left
};

struct IEventHandlerVtbl {
    VST3_UNKNOWN_SLOTS(IEventHandler)
    void (*onFDIsSet)(IEventHandler *self, int fd);
};

struct ITimerHandlerVtbl {
    VST3_UNKNOWN_SLOTS(ITimerHandler)
    void (*onTimer)(ITimerHandler *self);
};

struct IRunLoopVtbl {
    VST3_UNKNOWN_SLOTS(IRunLoop)
    tresult (*registerEventHandler)(IRunLoop *self, IEventHandler *handler, int fd);
    tresult (*unregisterEventHandler)(IRunLoop *self, IEventHandler *handler);
    tresult (*registerTimer)(IRunLoop *self, ITimerHandler *handler, uint64_t milliseconds);
    tresult (*unregisterTimer)(IRunLoop *self, ITimerHandler *handler);
};

struct IPlugViewVtbl {
    VST3_UNKNOWN_SLOTS(IPlugView)
    tresult (*isPlatformTypeSupported)(IPlugView *self, FIDString type);
    tresult (*attached)(IPlugView *self, void *parent, FIDString type);
    tresult (*removed)(IPlugView *self);
    tresult (*onWheel)(IPlugView *self, float distance);
    tresult (*onKeyDown)(IPlugView *self, char16 key, int16_t keyCode, int16_t modifiers);
    tresult (*onKeyUp)(IPlugView *self, char16 key, int16_t keyCode, int16_t modifiers);
    tresult (*getSize)(IPlugView *self, ViewRect *size);
    tresult (*onSize)(IPlugView *self, ViewRect *newSize);
    tresult (*onFocus)(IPlugView *self, TBool state);
    tresult (*setFrame)(IPlugView *self, IPlugFrame *frame);
    tresult (*canResize)(IPlugView *self);
    tresult (*checkSizeConstraint)(IPlugView *self, ViewRect *rect);
};

struct IPlugViewContentScaleSupportVtbl {
    VST3_UNKNOWN_SLOTS(IPlugViewContentScaleSupport)
    tresult (*setContentScaleFactor)(IPlugViewContentScaleSupport *self, float factor);
};

struct IPlugFrameVtbl {
    VST3_UNKNOWN_SLOTS(IPlugFrame)
    tresult (*resizeView)(IPlugFrame *self, IPlugView *view, ViewRect *newSize);
};

struct IBStreamVtbl {
    VST3_UNKNOWN_SLOTS(IBStream)
    tresult (*read)(IBStream *self, void *buffer, int32_t numBytes, int32_t *numBytesRead);
    tresult (*write)(IBStream *self, void *buffer, int32_t numBytes, int32_t *numBytesWritten);
    tresult (*seek)(IBStream *self, int64_t pos, int32_t mode, int64_t *result);
    tresult (*tell)(IBStream *self, int64_t *pos);
};

struct IParameterChangesVtbl {
    VST3_UNKNOWN_SLOTS(IParameterChanges)
    int32_t (*getParameterCount)(IParameterChanges *self);
    IParamValueQueue *(*getParameterData)(IParameterChanges *self, int32_t index);
    IParamValueQueue *(*addParameterData)(IParameterChanges *self, const ParamID *id, int32_t *index);
};

struct IParamValueQueueVtbl {
    VST3_UNKNOWN_SLOTS(IParamValueQueue)
    ParamID (*getParameterId)(IParamValueQueue *self);
    int32_t (*getPointCount)(IParamValueQueue *self);
    tresult (*getPoint)(IParamValueQueue *self, int32_t index, int32_t *sampleOffset, ParamValue *value);
    tresult (*addPoint)(IParamValueQueue *self, int32_t sampleOffset, ParamValue value, int32_t *index);
};

struct IHostApplicationVtbl {
    VST3_UNKNOWN_SLOTS(IHostApplication)
    tresult (*getName)(IHostApplication *self, TChar *name);
    tresult (*createInstance)(IHostApplication *self, char *cid, char *iid, void **obj);
};

#undef VST3_INTERFACE

// Slot counts, checked against the tables above: every slot is one pointer.
static_assert(sizeof(FUnknownVtbl) == 3 * sizeof(void *), "FUnknown slots");
static_assert(sizeof(IPluginBaseVtbl) == 5 * sizeof(void *), "IPluginBase slots");
static_assert(sizeof(IPluginFactoryVtbl) == 10 * sizeof(void *), "IPluginFactory3 slots");
static_assert(sizeof(IComponentVtbl) == 14 * sizeof(void *), "IComponent slots");
static_assert(sizeof(IAudioProcessorVtbl) == 11 * sizeof(void *), "IAudioProcessor slots");
static_assert(sizeof(IProcessContextRequirementsVtbl) == 4 * sizeof(void *), "IProcessContextRequirements slots");
static_assert(sizeof(IConnectionPointVtbl) == 6 * sizeof(void *), "IConnectionPoint slots");
static_assert(sizeof(IEditControllerVtbl) == 18 * sizeof(void *), "IEditController slots");
static_assert(sizeof(IMidiMappingVtbl) == 4 * sizeof(void *), "IMidiMapping slots");
static_assert(sizeof(IComponentHandlerVtbl) == 7 * sizeof(void *), "IComponentHandler slots");
static_assert(sizeof(IPlugViewVtbl) == 15 * sizeof(void *), "IPlugView slots");
static_assert(sizeof(IPlugViewContentScaleSupportVtbl) == 4 * sizeof(void *), "IPlugViewContentScaleSupport slots");
static_assert(sizeof(IPlugFrameVtbl) == 4 * sizeof(void *), "IPlugFrame slots");
static_assert(sizeof(IBStreamVtbl) == 7 * sizeof(void *), "IBStream slots");
static_assert(sizeof(IParameterChangesVtbl) == 6 * sizeof(void *), "IParameterChanges slots");
static_assert(sizeof(IParamValueQueueVtbl) == 7 * sizeof(void *), "IParamValueQueue slots");
static_assert(sizeof(IHostApplicationVtbl) == 5 * sizeof(void *), "IHostApplication slots");
static_assert(offsetof(IEditControllerVtbl, createView) == 17 * sizeof(void *), "createView slot");
static_assert(offsetof(IAudioProcessorVtbl, process) == 9 * sizeof(void *), "process slot");
static_assert(offsetof(IComponentVtbl, getState) == 13 * sizeof(void *), "getState slot");

// ---- entry points ----------------------------------------------------------------------

extern "C" {
typedef IPluginFactory *(*GetPluginFactoryFn)(void);
typedef bool (*ModuleEntryFn)(void *sharedLibraryHandle);
typedef bool (*ModuleExitFn)(void);
}
