// Our declarations of the WebView2 interfaces this editor uses, written from
// the published interface tables (x86-64 only). The runtime's objects are
// C-style: a structure whose first member points at a table of functions in
// slot order, each taking the interface pointer first; the compiler checks the
// slot of every function we call. The objects we implement (the environment
// options and the event handlers) are C++ classes deriving from IUnknown, as
// COM objects built by this compiler are; their C-style mirrors let a caller
// that sees them only as tables (the runtime, or a test's stand-in) be checked
// the same way.
#pragma once
#if !defined(_WIN32) || !defined(__x86_64__)
#error "the WebView2 declarations are for Windows x86-64"
#endif
#include <unknwn.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

// ---- identifiers -----------------------------------------------------------------

#define ZFEN_WV2_IID(name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7)                                                  \
    inline constexpr IID IID_##name = {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}}

ZFEN_WV2_IID(ICoreWebView2Environment, 0xb96d755e, 0x0319, 0x4e92, 0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc);
ZFEN_WV2_IID(ICoreWebView2Controller, 0x4d00c0d1, 0x9434, 0x4eb6, 0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f);
ZFEN_WV2_IID(ICoreWebView2Controller2, 0xc979903e, 0xd4ca, 0x4228, 0x92, 0xeb, 0x47, 0xee, 0x3f, 0xa9, 0x6e, 0xab);
ZFEN_WV2_IID(ICoreWebView2Controller3, 0xf9614724, 0x5d2b, 0x41dc, 0xae, 0xf7, 0x73, 0xd6, 0x2b, 0x51, 0x54, 0x3b);
ZFEN_WV2_IID(ICoreWebView2Controller4, 0x97d418d5, 0xa426, 0x4e49, 0xa1, 0x51, 0xe1, 0xa1, 0x0f, 0x32, 0x7d, 0x9e);
ZFEN_WV2_IID(ICoreWebView2, 0x76eceacb, 0x0462, 0x4d94, 0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e);
ZFEN_WV2_IID(ICoreWebView2Settings, 0xe562e4f0, 0xd7fa, 0x43ac, 0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00);
ZFEN_WV2_IID(ICoreWebView2Settings2, 0xee9a0f68, 0xf46c, 0x4e32, 0xac, 0x23, 0xef, 0x8c, 0xac, 0x22, 0x4d, 0x2a);
ZFEN_WV2_IID(ICoreWebView2Settings3, 0xfdb5ab74, 0xaf33, 0x4854, 0x84, 0xf0, 0x0a, 0x63, 0x1d, 0xeb, 0x5e, 0xba);
ZFEN_WV2_IID(ICoreWebView2Settings4, 0xcb56846c, 0x4168, 0x4d53, 0xb0, 0x4f, 0x03, 0xb6, 0xd6, 0x79, 0x6f, 0xf2);
ZFEN_WV2_IID(ICoreWebView2Settings5, 0x183e7052, 0x1d03, 0x43a0, 0xab, 0x99, 0x98, 0xe0, 0x43, 0xb6, 0x6b, 0x39);
ZFEN_WV2_IID(ICoreWebView2Settings6, 0x11cb3acd, 0x9bc8, 0x43b8, 0x83, 0xbf, 0xf4, 0x07, 0x53, 0x71, 0x4f, 0x87);
ZFEN_WV2_IID(ICoreWebView2WebMessageReceivedEventArgs, 0x0f99a40c, 0xe962, 0x4207, 0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef,
             0xf8, 0x49);
ZFEN_WV2_IID(ICoreWebView2NavigationStartingEventArgs, 0x5b495469, 0xe119, 0x438a, 0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f,
             0x2e, 0x49);
ZFEN_WV2_IID(ICoreWebView2NewWindowRequestedEventArgs, 0x34acb11c, 0xfc37, 0x4418, 0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e,
             0xaf, 0xb9);
ZFEN_WV2_IID(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, 0x4e8a3389, 0xc9d8, 0x4bd2, 0xb6, 0xb5, 0x12,
             0x4f, 0xee, 0x6c, 0xc1, 0x4d);
ZFEN_WV2_IID(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, 0x6c4819f3, 0xc9b7, 0x4260, 0x81, 0x27, 0xc9,
             0xf5, 0xbd, 0xe7, 0xf6, 0x8c);
ZFEN_WV2_IID(ICoreWebView2WebMessageReceivedEventHandler, 0x57213f19, 0x00e6, 0x49fa, 0x8e, 0x07, 0x89, 0x8e, 0xa0,
             0x1e, 0xcb, 0xd2);
ZFEN_WV2_IID(ICoreWebView2NavigationStartingEventHandler, 0x9adbe429, 0xf36d, 0x432b, 0x9d, 0xdc, 0xf8, 0x88, 0x1f,
             0xbd, 0x76, 0xe3);
ZFEN_WV2_IID(ICoreWebView2NewWindowRequestedEventHandler, 0xd4c185fe, 0xc81c, 0x4989, 0x97, 0xaf, 0x2d, 0x3f, 0xa7,
             0xab, 0x56, 0x51);
ZFEN_WV2_IID(ICoreWebView2Environment5, 0x319e423d, 0xe0d7, 0x4b8d, 0x92, 0x54, 0xae, 0x94, 0x75, 0xde, 0x9b, 0x17);
ZFEN_WV2_IID(ICoreWebView2BrowserProcessExitedEventHandler, 0xfa504257, 0xa216, 0x4911, 0xa8, 0x60, 0xfe, 0x88, 0x25,
             0x71, 0x28, 0x61);
ZFEN_WV2_IID(ICoreWebView2EnvironmentOptions, 0x2fde08a8, 0x1e9a, 0x4766, 0x8c, 0x05, 0x95, 0xa9, 0xce, 0xb9, 0xd1,
             0xc5);

#undef ZFEN_WV2_IID

// ---- types ----------------------------------------------------------------------------

struct EventRegistrationToken {
    int64_t value;
};
static_assert(sizeof(EventRegistrationToken) == 8 && alignof(EventRegistrationToken) == 8, "EventRegistrationToken");
static_assert(sizeof(RECT) == 16 && sizeof(BOOL) == 4 && sizeof(wchar_t) == 2 && sizeof(HRESULT) == 4, "Win32 types");

enum COREWEBVIEW2_MOVE_FOCUS_REASON : int32_t {
    COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC = 0,
    COREWEBVIEW2_MOVE_FOCUS_REASON_NEXT = 1,
    COREWEBVIEW2_MOVE_FOCUS_REASON_PREVIOUS = 2,
};
static_assert(sizeof(COREWEBVIEW2_MOVE_FOCUS_REASON) == 4, "enums are 32-bit");

// ---- the runtime's objects (C-style) ----------------------------------------------------

#define ZFEN_WV2_UNKNOWN_SLOTS(T)                                                                                      \
    HRESULT(STDMETHODCALLTYPE *QueryInterface)(T * self, const IID *riid, void **object);                              \
    ULONG(STDMETHODCALLTYPE *AddRef)(T * self);                                                                        \
    ULONG(STDMETHODCALLTYPE *Release)(T * self);

// A slot we never call: kept so the table has the right size.
typedef void *Wv2Slot;

#define ZFEN_WV2_INTERFACE(T)                                                                                          \
    struct T##Vtbl;                                                                                                    \
    struct T {                                                                                                         \
        const T##Vtbl *vtbl;                                                                                           \
    }

ZFEN_WV2_INTERFACE(ICoreWebView2Environment);
ZFEN_WV2_INTERFACE(ICoreWebView2Controller); // also Controller2 to Controller4: each table extends the previous
ZFEN_WV2_INTERFACE(ICoreWebView2);
ZFEN_WV2_INTERFACE(ICoreWebView2Settings); // also Settings2 to Settings6
ZFEN_WV2_INTERFACE(ICoreWebView2WebMessageReceivedEventArgs);
ZFEN_WV2_INTERFACE(ICoreWebView2NavigationStartingEventArgs);
ZFEN_WV2_INTERFACE(ICoreWebView2NewWindowRequestedEventArgs);
ZFEN_WV2_INTERFACE(ICoreWebView2Environment5); // the same object as the environment, found by QueryInterface
ZFEN_WV2_INTERFACE(ICoreWebView2BrowserProcessExitedEventArgs); // not read

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler;
struct ICoreWebView2BrowserProcessExitedEventHandler;

struct ICoreWebView2EnvironmentVtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2Environment)
    HRESULT(STDMETHODCALLTYPE *CreateCoreWebView2Controller)
    (ICoreWebView2Environment *self, HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler *handler);
    Wv2Slot CreateWebResourceResponse, get_BrowserVersionString, add_NewBrowserVersionAvailable,
        remove_NewBrowserVersionAvailable;
};

// Environment2 to Environment4 add slots 8 to 11, Environment5 12 and 13.
struct ICoreWebView2Environment5Vtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2Environment5)
    Wv2Slot CreateCoreWebView2Controller, CreateWebResourceResponse, get_BrowserVersionString,
        add_NewBrowserVersionAvailable, remove_NewBrowserVersionAvailable, CreateWebResourceRequest,
        CreateCoreWebView2CompositionController, CreateCoreWebView2PointerInfo, GetAutomationProviderForWindow;
    HRESULT(STDMETHODCALLTYPE *add_BrowserProcessExited)
    (ICoreWebView2Environment5 *self, ICoreWebView2BrowserProcessExitedEventHandler *handler,
     EventRegistrationToken *token);
    HRESULT(STDMETHODCALLTYPE *remove_BrowserProcessExited)
    (ICoreWebView2Environment5 *self, EventRegistrationToken token);
};

// ICoreWebView2Controller is slots 0 to 25, Controller2 adds 26 and 27,
// Controller3 28 to 35, Controller4 36 and 37.
struct ICoreWebView2ControllerVtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2Controller)
    HRESULT(STDMETHODCALLTYPE *get_IsVisible)(ICoreWebView2Controller *self, BOOL *visible);
    HRESULT(STDMETHODCALLTYPE *put_IsVisible)(ICoreWebView2Controller *self, BOOL visible);
    HRESULT(STDMETHODCALLTYPE *get_Bounds)(ICoreWebView2Controller *self, RECT *bounds);
    HRESULT(STDMETHODCALLTYPE *put_Bounds)(ICoreWebView2Controller *self, RECT bounds);
    Wv2Slot get_ZoomFactor, put_ZoomFactor, add_ZoomFactorChanged, remove_ZoomFactorChanged, SetBoundsAndZoomFactor;
    HRESULT(STDMETHODCALLTYPE *MoveFocus)(ICoreWebView2Controller *self, COREWEBVIEW2_MOVE_FOCUS_REASON reason);
    Wv2Slot add_MoveFocusRequested, remove_MoveFocusRequested, add_GotFocus, remove_GotFocus, add_LostFocus,
        remove_LostFocus, add_AcceleratorKeyPressed, remove_AcceleratorKeyPressed, get_ParentWindow, put_ParentWindow,
        NotifyParentWindowPositionChanged;
    HRESULT(STDMETHODCALLTYPE *Close)(ICoreWebView2Controller *self);
    HRESULT(STDMETHODCALLTYPE *get_CoreWebView2)(ICoreWebView2Controller *self, ICoreWebView2 **webview);
    // Controller2, Controller3
    Wv2Slot get_DefaultBackgroundColor, put_DefaultBackgroundColor, get_RasterizationScale, put_RasterizationScale,
        get_ShouldDetectMonitorScaleChanges, put_ShouldDetectMonitorScaleChanges, add_RasterizationScaleChanged,
        remove_RasterizationScaleChanged, get_BoundsMode, put_BoundsMode;
    // Controller4
    HRESULT(STDMETHODCALLTYPE *get_AllowExternalDrop)(ICoreWebView2Controller *self, BOOL *allow);
    HRESULT(STDMETHODCALLTYPE *put_AllowExternalDrop)(ICoreWebView2Controller *self, BOOL allow);
};

struct ICoreWebView2WebMessageReceivedEventHandler;
struct ICoreWebView2NavigationStartingEventHandler;
struct ICoreWebView2NewWindowRequestedEventHandler;

struct ICoreWebView2Vtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2)
    HRESULT(STDMETHODCALLTYPE *get_Settings)(ICoreWebView2 *self, ICoreWebView2Settings **settings);
    Wv2Slot get_Source;
    HRESULT(STDMETHODCALLTYPE *Navigate)(ICoreWebView2 *self, LPCWSTR uri);
    Wv2Slot NavigateToString;
    HRESULT(STDMETHODCALLTYPE *add_NavigationStarting)
    (ICoreWebView2 *self, ICoreWebView2NavigationStartingEventHandler *handler, EventRegistrationToken *token);
    Wv2Slot remove_NavigationStarting, add_ContentLoading, remove_ContentLoading, add_SourceChanged,
        remove_SourceChanged, add_HistoryChanged, remove_HistoryChanged, add_NavigationCompleted,
        remove_NavigationCompleted, add_FrameNavigationStarting, remove_FrameNavigationStarting,
        add_FrameNavigationCompleted, remove_FrameNavigationCompleted, add_ScriptDialogOpening,
        remove_ScriptDialogOpening, add_PermissionRequested, remove_PermissionRequested, add_ProcessFailed,
        remove_ProcessFailed, AddScriptToExecuteOnDocumentCreated, RemoveScriptToExecuteOnDocumentCreated,
        ExecuteScript, CapturePreview, Reload, PostWebMessageAsJson;
    HRESULT(STDMETHODCALLTYPE *PostWebMessageAsString)(ICoreWebView2 *self, LPCWSTR message);
    HRESULT(STDMETHODCALLTYPE *add_WebMessageReceived)
    (ICoreWebView2 *self, ICoreWebView2WebMessageReceivedEventHandler *handler, EventRegistrationToken *token);
    Wv2Slot remove_WebMessageReceived, CallDevToolsProtocolMethod, get_BrowserProcessId, get_CanGoBack,
        get_CanGoForward, GoBack, GoForward, GetDevToolsProtocolEventReceiver, Stop;
    HRESULT(STDMETHODCALLTYPE *add_NewWindowRequested)
    (ICoreWebView2 *self, ICoreWebView2NewWindowRequestedEventHandler *handler, EventRegistrationToken *token);
    Wv2Slot remove_NewWindowRequested, add_DocumentTitleChanged, remove_DocumentTitleChanged, get_DocumentTitle,
        AddHostObjectToScript, RemoveHostObjectFromScript, OpenDevToolsWindow, add_ContainsFullScreenElementChanged,
        remove_ContainsFullScreenElementChanged, get_ContainsFullScreenElement, add_WebResourceRequested,
        remove_WebResourceRequested, AddWebResourceRequestedFilter, RemoveWebResourceRequestedFilter,
        add_WindowCloseRequested, remove_WindowCloseRequested;
};

#define ZFEN_WV2_BOOL_PROPERTY(T, name)                                                                                \
    HRESULT(STDMETHODCALLTYPE *get_##name)(T * self, BOOL * value);                                                    \
    HRESULT(STDMETHODCALLTYPE *put_##name)(T * self, BOOL value);

// ICoreWebView2Settings is slots 0 to 20; Settings2 to Settings6 each extend it.
struct ICoreWebView2SettingsVtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2Settings)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsScriptEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsWebMessageEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, AreDefaultScriptDialogsEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsStatusBarEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, AreDevToolsEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, AreDefaultContextMenusEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, AreHostObjectsAllowed)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsZoomControlEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsBuiltInErrorPageEnabled)
    // Settings2
    Wv2Slot get_UserAgent, put_UserAgent;
    // Settings3
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, AreBrowserAcceleratorKeysEnabled)
    // Settings4
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsPasswordAutosaveEnabled)
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsGeneralAutofillEnabled)
    // Settings5
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsPinchZoomEnabled)
    // Settings6
    ZFEN_WV2_BOOL_PROPERTY(ICoreWebView2Settings, IsSwipeNavigationEnabled)
};

struct ICoreWebView2WebMessageReceivedEventArgsVtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2WebMessageReceivedEventArgs)
    HRESULT(STDMETHODCALLTYPE *get_Source)(ICoreWebView2WebMessageReceivedEventArgs *self, LPWSTR *value);
    HRESULT(STDMETHODCALLTYPE *get_WebMessageAsJson)(ICoreWebView2WebMessageReceivedEventArgs *self, LPWSTR *value);
    HRESULT(STDMETHODCALLTYPE *TryGetWebMessageAsString)(ICoreWebView2WebMessageReceivedEventArgs *self, LPWSTR *value);
};

struct ICoreWebView2NavigationStartingEventArgsVtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2NavigationStartingEventArgs)
    HRESULT(STDMETHODCALLTYPE *get_Uri)(ICoreWebView2NavigationStartingEventArgs *self, LPWSTR *uri);
    Wv2Slot get_IsUserInitiated, get_IsRedirected, get_RequestHeaders;
    HRESULT(STDMETHODCALLTYPE *get_Cancel)(ICoreWebView2NavigationStartingEventArgs *self, BOOL *cancel);
    HRESULT(STDMETHODCALLTYPE *put_Cancel)(ICoreWebView2NavigationStartingEventArgs *self, BOOL cancel);
    Wv2Slot get_NavigationId;
};

// NewWindow and Handled put their setter before their getter.
struct ICoreWebView2NewWindowRequestedEventArgsVtbl {
    ZFEN_WV2_UNKNOWN_SLOTS(ICoreWebView2NewWindowRequestedEventArgs)
    HRESULT(STDMETHODCALLTYPE *get_Uri)(ICoreWebView2NewWindowRequestedEventArgs *self, LPWSTR *uri);
    Wv2Slot put_NewWindow, get_NewWindow;
    HRESULT(STDMETHODCALLTYPE *put_Handled)(ICoreWebView2NewWindowRequestedEventArgs *self, BOOL handled);
    HRESULT(STDMETHODCALLTYPE *get_Handled)(ICoreWebView2NewWindowRequestedEventArgs *self, BOOL *handled);
    Wv2Slot get_IsUserInitiated, GetDeferral, get_WindowFeatures;
};

// Slot index of a member of a table, for the checks below.
#define ZFEN_WV2_SLOT(T, member) (offsetof(T##Vtbl, member) / sizeof(void *))

static_assert(sizeof(ICoreWebView2EnvironmentVtbl) == 8 * sizeof(void *), "ICoreWebView2Environment: 8 slots");
static_assert(ZFEN_WV2_SLOT(ICoreWebView2Environment, CreateCoreWebView2Controller) == 3,
              "CreateCoreWebView2Controller");
static_assert(sizeof(ICoreWebView2Environment5Vtbl) == 14 * sizeof(void *) &&
                  ZFEN_WV2_SLOT(ICoreWebView2Environment5, add_BrowserProcessExited) == 12 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Environment5, remove_BrowserProcessExited) == 13,
              "ICoreWebView2Environment5");
static_assert(sizeof(ICoreWebView2ControllerVtbl) == 38 * sizeof(void *), "ICoreWebView2Controller4: 38 slots");
static_assert(ZFEN_WV2_SLOT(ICoreWebView2Controller, put_IsVisible) == 4 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Controller, put_Bounds) == 6 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Controller, MoveFocus) == 12 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Controller, Close) == 24 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Controller, get_CoreWebView2) == 25 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Controller, get_AllowExternalDrop) == 36 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Controller, put_AllowExternalDrop) == 37,
              "ICoreWebView2Controller slots");
static_assert(sizeof(ICoreWebView2Vtbl) == 61 * sizeof(void *), "ICoreWebView2: 61 slots");
static_assert(ZFEN_WV2_SLOT(ICoreWebView2, get_Settings) == 3 && ZFEN_WV2_SLOT(ICoreWebView2, Navigate) == 5 &&
                  ZFEN_WV2_SLOT(ICoreWebView2, add_NavigationStarting) == 7 &&
                  ZFEN_WV2_SLOT(ICoreWebView2, PostWebMessageAsString) == 33 &&
                  ZFEN_WV2_SLOT(ICoreWebView2, add_WebMessageReceived) == 34 &&
                  ZFEN_WV2_SLOT(ICoreWebView2, add_NewWindowRequested) == 44,
              "ICoreWebView2 slots");
static_assert(sizeof(ICoreWebView2SettingsVtbl) == 33 * sizeof(void *), "ICoreWebView2Settings6: 33 slots");
static_assert(ZFEN_WV2_SLOT(ICoreWebView2Settings, put_IsScriptEnabled) == 4 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_AreDefaultScriptDialogsEnabled) == 8 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_IsStatusBarEnabled) == 10 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_AreDevToolsEnabled) == 12 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_AreDefaultContextMenusEnabled) == 14 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_AreHostObjectsAllowed) == 16 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_IsZoomControlEnabled) == 18 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_AreBrowserAcceleratorKeysEnabled) == 24 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_IsPasswordAutosaveEnabled) == 26 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_IsGeneralAutofillEnabled) == 28 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_IsPinchZoomEnabled) == 30 &&
                  ZFEN_WV2_SLOT(ICoreWebView2Settings, put_IsSwipeNavigationEnabled) == 32,
              "ICoreWebView2Settings slots");
static_assert(sizeof(ICoreWebView2WebMessageReceivedEventArgsVtbl) == 6 * sizeof(void *) &&
                  ZFEN_WV2_SLOT(ICoreWebView2WebMessageReceivedEventArgs, TryGetWebMessageAsString) == 5,
              "ICoreWebView2WebMessageReceivedEventArgs");
static_assert(sizeof(ICoreWebView2NavigationStartingEventArgsVtbl) == 10 * sizeof(void *) &&
                  ZFEN_WV2_SLOT(ICoreWebView2NavigationStartingEventArgs, get_Uri) == 3 &&
                  ZFEN_WV2_SLOT(ICoreWebView2NavigationStartingEventArgs, put_Cancel) == 8,
              "ICoreWebView2NavigationStartingEventArgs");
static_assert(sizeof(ICoreWebView2NewWindowRequestedEventArgsVtbl) == 11 * sizeof(void *) &&
                  ZFEN_WV2_SLOT(ICoreWebView2NewWindowRequestedEventArgs, get_Uri) == 3 &&
                  ZFEN_WV2_SLOT(ICoreWebView2NewWindowRequestedEventArgs, put_Handled) == 6,
              "ICoreWebView2NewWindowRequestedEventArgs");

// ---- the objects we implement (C++; the runtime calls them) ----------------------------------

struct ICoreWebView2EnvironmentOptions : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_AdditionalBrowserArguments(LPWSTR *value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AdditionalBrowserArguments(LPCWSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Language(LPWSTR *value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Language(LPCWSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TargetCompatibleBrowserVersion(LPWSTR *value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TargetCompatibleBrowserVersion(LPCWSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL *allow) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL allow) = 0;
};

struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT error, ICoreWebView2Environment *environment) = 0;
};
struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT error, ICoreWebView2Controller *controller) = 0;
};
struct ICoreWebView2WebMessageReceivedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *sender, ICoreWebView2WebMessageReceivedEventArgs *args) = 0;
};
struct ICoreWebView2NavigationStartingEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *sender, ICoreWebView2NavigationStartingEventArgs *args) = 0;
};
struct ICoreWebView2NewWindowRequestedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *sender, ICoreWebView2NewWindowRequestedEventArgs *args) = 0;
};

struct ICoreWebView2BrowserProcessExitedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2Environment *sender,
                                             ICoreWebView2BrowserProcessExitedEventArgs *args) = 0;
};

// The same objects as the runtime sees them: tables in slot order. A caller
// that goes through these (a test's stand-in runtime) checks that our classes
// put each function where the runtime looks for it.
struct Wv2EnvironmentOptionsTable {
    HRESULT(STDMETHODCALLTYPE *QueryInterface)(void *self, const IID *riid, void **object);
    ULONG(STDMETHODCALLTYPE *AddRef)(void *self);
    ULONG(STDMETHODCALLTYPE *Release)(void *self);
    HRESULT(STDMETHODCALLTYPE *get_AdditionalBrowserArguments)(void *self, LPWSTR *value);
    HRESULT(STDMETHODCALLTYPE *put_AdditionalBrowserArguments)(void *self, LPCWSTR value);
    HRESULT(STDMETHODCALLTYPE *get_Language)(void *self, LPWSTR *value);
    HRESULT(STDMETHODCALLTYPE *put_Language)(void *self, LPCWSTR value);
    HRESULT(STDMETHODCALLTYPE *get_TargetCompatibleBrowserVersion)(void *self, LPWSTR *value);
    HRESULT(STDMETHODCALLTYPE *put_TargetCompatibleBrowserVersion)(void *self, LPCWSTR value);
    HRESULT(STDMETHODCALLTYPE *get_AllowSingleSignOnUsingOSPrimaryAccount)(void *self, BOOL *allow);
    HRESULT(STDMETHODCALLTYPE *put_AllowSingleSignOnUsingOSPrimaryAccount)(void *self, BOOL allow);
};
static_assert(sizeof(Wv2EnvironmentOptionsTable) == 11 * sizeof(void *), "ICoreWebView2EnvironmentOptions: 11 slots");

// Every handler interface: the three IUnknown slots and Invoke with two arguments.
template <typename A, typename B> struct Wv2HandlerTable {
    HRESULT(STDMETHODCALLTYPE *QueryInterface)(void *self, const IID *riid, void **object);
    ULONG(STDMETHODCALLTYPE *AddRef)(void *self);
    ULONG(STDMETHODCALLTYPE *Release)(void *self);
    HRESULT(STDMETHODCALLTYPE *Invoke)(void *self, A a, B b);
};
static_assert(sizeof(Wv2HandlerTable<HRESULT, void *>) == 4 * sizeof(void *), "handlers: 4 slots");

// The table of an object we implement, as the runtime reads it.
template <typename Table> const Table *wv2_table_of(void *object) { return *static_cast<const Table *const *>(object); }

// The loader's entry point.
typedef HRESULT(STDAPICALLTYPE *CreateCoreWebView2EnvironmentWithOptionsFn)(
    PCWSTR browser_folder, PCWSTR user_data_folder, ICoreWebView2EnvironmentOptions *options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler *handler);
