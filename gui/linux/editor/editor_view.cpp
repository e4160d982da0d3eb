// The editor's window and web view: the page from the bundle, the bridge that
// gives it window.chrome.webview, the navigation policy (the page stays; web
// and mail addresses go to the desktop's opener), and the X11 embedding into
// the host's window.
#include "editor.h"

#include <gdk/gdkx.h>
#include <spawn.h>

#include <cstdio>
#include <cstring>
#include <signal.h>

extern char **environ;

namespace {

// The page's smallest layout, in CSS pixels.
constexpr double k_editor_min_width = 300;
constexpr double k_editor_min_height = 200;

// The page's channel to us, and the hook that hands it our messages.
#define CHANNEL "zfenEditor"
#define DELIVER "__zfenEditorDeliver"

// Gives the page the part of WebView2's window.chrome.webview it uses: string
// messages both ways, "message" events whose data is the string.
const char k_bridge_script[] = R"js((function () {
  'use strict';
  const channel = window.webkit.messageHandlers.)js" CHANNEL R"js(;
  const target = new EventTarget();
  const webview = Object.freeze({
    postMessage(message) {
      if (typeof message === 'string') channel.postMessage(message);
    },
    addEventListener(type, listener, options) {
      target.addEventListener(type, listener, options);
    },
    removeEventListener(type, listener, options) {
      target.removeEventListener(type, listener, options);
    },
  });
  const chrome = window.chrome || {};
  Object.defineProperty(chrome, 'webview', { value: webview, enumerable: true });
  if (window.chrome !== chrome) Object.defineProperty(window, 'chrome', { value: chrome, enumerable: true });
  Object.defineProperty(window, ')js" DELIVER R"js(', {
    value: (data) => target.dispatchEvent(new MessageEvent('message', { data })),
  });
})();
)js";

// Texts for a page that has not loaded yet; more means something is stuck.
constexpr size_t k_max_waiting = 4096;
// Opener processes at once; a page cannot start more than this.
constexpr int k_max_openers = 4;

void deliver(Editor *e, const char *text, size_t length)
{
    std::string script = "window." DELIVER "(";
    if (!e->view || !editor_js_string(text, length, &script))
        return;
    script += ");";
    webkit_web_view_evaluate_javascript(e->view, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

// The page file itself, with or without a fragment; nothing else.
bool is_own_page(const Editor *e, const char *uri)
{
    if (!g_str_has_prefix(uri, "file:"))
        return false;
    const char *hash = std::strchr(uri, '#');
    gchar *bare = g_strndup(uri, hash ? static_cast<gsize>(hash - uri) : std::strlen(uri));
    gchar *host = nullptr;
    gchar *path = g_filename_from_uri(bare, &host, nullptr);
    const bool own = path && !host && e->page_path == path;
    g_free(path);
    g_free(host);
    g_free(bare);
    return own;
}

void on_opener_done(GPid pid, gint, gpointer user)
{
    --static_cast<Editor *>(user)->openers;
    g_spawn_close_pid(pid);
}

// The desktop's opener, without a shell and without waiting for it: it may
// run as long as the browser it starts. A child watch reaps it.
void open_outside(Editor *e, const char *uri)
{
    if (e->openers >= k_max_openers)
        return;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    sigaddset(&reset, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &reset);
    // Its own session: the browser it starts outlives the editor and the host.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    char opener[] = "xdg-open";
    char *argv[] = {opener, const_cast<char *>(uri), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, opener, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        editor_log("cannot start %s: %s", opener, std::strerror(rc));
        return;
    }
    ++e->openers;
    g_child_watch_add(pid, on_opener_done, e);
}

gboolean on_decide_policy(WebKitWebView *, WebKitPolicyDecision *decision, WebKitPolicyDecisionType type, gpointer user)
{
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
        return FALSE; // only what a navigation we allowed brings
    Editor *e = static_cast<Editor *>(user);
    WebKitNavigationAction *action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char *uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (!uri)
        uri = "";
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && is_own_page(e, uri)) {
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    webkit_policy_decision_ignore(decision);
    if (editor_may_open_outside(uri))
        open_outside(e, uri);
    return TRUE;
}

// window.open: no window of ours; a web address may open outside.
GtkWidget *on_create(WebKitWebView *, WebKitNavigationAction *action, gpointer user)
{
    const char *uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri && editor_may_open_outside(uri))
        open_outside(static_cast<Editor *>(user), uri);
    return nullptr;
}

void on_page_message(WebKitUserContentManager *, WebKitJavascriptResult *result, gpointer user)
{
    JSCValue *value = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_string(value))
        return; // as WebView2's string channel: other values are not ours
    GBytes *bytes = jsc_value_to_string_as_bytes(value);
    gsize length = 0;
    const char *text = static_cast<const char *>(g_bytes_get_data(bytes, &length));
    if (length == 0 || !std::memchr(text, 0, length))
        editor_link_send(static_cast<Editor *>(user), 'p', text ? text : "", length);
    g_bytes_unref(bytes);
}

void on_load_changed(WebKitWebView *, WebKitLoadEvent event, gpointer user)
{
    Editor *e = static_cast<Editor *>(user);
    if (event == WEBKIT_LOAD_STARTED) {
        e->page_loaded = false; // a new document: hold messages until it can take them
    } else if (event == WEBKIT_LOAD_FINISHED && e->exit_code < 0) {
        e->page_loaded = true;
        for (const std::string &text : e->to_page)
            deliver(e, text.data(), text.size());
        e->to_page.clear();
        if (!e->ready_sent) {
            e->ready_sent = true;
            editor_link_send(e, 'r', "", 0);
        }
    }
}

gboolean on_load_failed(WebKitWebView *, WebKitLoadEvent, gchar *uri, GError *error, gpointer user)
{
    Editor *e = static_cast<Editor *>(user);
    if (!e->ready_sent) {
        editor_log("the editor page did not load (%s): %s", uri, error->message);
        editor_quit(e, 1);
    }
    return FALSE;
}

void on_web_process_terminated(WebKitWebView *, WebKitWebProcessTerminationReason reason, gpointer user)
{
    editor_log("the web engine ended (%s)",
               reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "out of memory" : "it crashed");
    editor_quit(static_cast<Editor *>(user), 1);
}

// In a host's window no window manager gives us the keyboard: take it on a click.
gboolean on_button_press(GtkWidget *widget, GdkEventButton *, gpointer user)
{
    if (static_cast<Editor *>(user)->parent) {
        GdkDisplay *display = gtk_widget_get_display(widget);
        gdk_x11_display_error_trap_push(display);
        XSetInputFocus(GDK_DISPLAY_XDISPLAY(display),
                       GDK_WINDOW_XID(gtk_widget_get_window(gtk_widget_get_toplevel(widget))), RevertToParent,
                       CurrentTime);
        gdk_x11_display_error_trap_pop_ignored(display);
    }
    return FALSE;
}

// The user closed our top-level window.
gboolean on_delete(GtkWidget *, GdkEvent *, gpointer user)
{
    Editor *e = static_cast<Editor *>(user);
    editor_link_send(e, 'c', "", 0);
    editor_quit(e, 0);
    return TRUE;
}

// Also when the host's window goes, taking ours with it.
void on_destroy(GtkWidget *, gpointer user)
{
    Editor *e = static_cast<Editor *>(user);
    e->window = nullptr;
    e->view = nullptr;
    editor_quit(e, 0);
}

// No default context menu, and no script dialogs: the page never needs them.
gboolean on_context_menu(WebKitWebView *, WebKitContextMenu *, GdkEvent *, WebKitHitTestResult *, gpointer)
{
    return TRUE;
}
gboolean on_script_dialog(WebKitWebView *, WebKitScriptDialog *, gpointer) { return TRUE; }

WebKitWebView *make_view(Editor *e)
{
    // Nothing kept on disk; one page, no history worth caching.
    WebKitWebContext *context = webkit_web_context_new_ephemeral();
    webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);

    WebKitUserContentManager *content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::" CHANNEL, G_CALLBACK(on_page_message), e);
    webkit_user_content_manager_register_script_message_handler(content, CHANNEL);
    WebKitUserScript *bridge = webkit_user_script_new(k_bridge_script, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, bridge);
    webkit_user_script_unref(bridge);

    WebKitSettings *settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
    // A small page: drawn without the GPU, the web process takes about 90 MB
    // less and the first pixels come sooner.
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    // window.open reaches the policy below, as WebView2's new-window requests do.
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);

    WebKitWebView *view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                                       "user-content-manager", content, "settings", settings, nullptr));
    g_object_unref(settings);
    g_object_unref(content);
    g_object_unref(context);

    g_signal_connect(view, "decide-policy", G_CALLBACK(on_decide_policy), e);
    g_signal_connect(view, "create", G_CALLBACK(on_create), e);
    g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), e);
    g_signal_connect(view, "load-failed", G_CALLBACK(on_load_failed), e);
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(on_web_process_terminated), e);
    g_signal_connect(view, "button-press-event", G_CALLBACK(on_button_press), e);
    g_signal_connect(view, "context-menu", G_CALLBACK(on_context_menu), nullptr);
    g_signal_connect(view, "script-dialog", G_CALLBACK(on_script_dialog), nullptr);
    return view;
}

// The host may destroy its window, and ours with it, before it ends us: then
// the program ends quietly, without GTK tearing down what no longer exists.
GdkFilterReturn on_x_event(GdkXEvent *native, GdkEvent *, gpointer user)
{
    Editor *e = static_cast<Editor *>(user);
    const XEvent *ev = static_cast<const XEvent *>(native);
    if (ev->type != DestroyNotify || !e->window ||
        ev->xdestroywindow.window != GDK_WINDOW_XID(gtk_widget_get_window(e->window)))
        return GDK_FILTER_CONTINUE;
    e->window = nullptr;
    e->view = nullptr;
    editor_quit(e, 0);
    return GDK_FILTER_REMOVE;
}

// Into the host's window before it is mapped, so no window manager ever
// takes it for a top-level window.
bool reparent(Editor *e)
{
    GdkDisplay *display = gtk_widget_get_display(e->window);
    Display *x = GDK_DISPLAY_XDISPLAY(display);
    gdk_x11_display_error_trap_push(display);
    XReparentWindow(x, GDK_WINDOW_XID(gtk_widget_get_window(e->window)), e->parent, 0, 0);
    XSync(x, False);
    return gdk_x11_display_error_trap_pop(display) == 0;
}

} // namespace

bool editor_view_create(Editor *e, const EditorSize &size)
{
    gchar *uri = g_filename_to_uri(e->page_path.c_str(), nullptr, nullptr);
    if (!uri) {
        editor_log("no file address for the editor page: %s", e->page_path.c_str());
        return false;
    }
    e->page_uri = uri;
    g_free(uri);

    e->view = make_view(e);
    webkit_web_view_set_zoom_level(e->view, size.scale);
    webkit_web_view_load_uri(e->view, e->page_uri.c_str());

    GtkWindow *window = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    e->window = GTK_WIDGET(window);
    gtk_window_set_title(window, ZFEN_NAME);
    gtk_window_set_default_size(window, size.width, size.height);
    // Hosts that embed X11 windows (suil's wrapper in jalv) size their side
    // from these hints: the editor's size as the base, the page's smallest
    // layout as the least.
    GdkGeometry hints{};
    hints.base_width = size.width;
    hints.base_height = size.height;
    hints.min_width = static_cast<int>(k_editor_min_width * size.scale);
    hints.min_height = static_cast<int>(k_editor_min_height * size.scale);
    gtk_window_set_geometry_hints(window, nullptr, &hints,
                                  static_cast<GdkWindowHints>(GDK_HINT_BASE_SIZE | GDK_HINT_MIN_SIZE));
    if (e->parent)
        gtk_window_set_decorated(window, FALSE);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(e->view));
    g_signal_connect(window, "delete-event", G_CALLBACK(on_delete), e);
    g_signal_connect(window, "destroy", G_CALLBACK(on_destroy), e);
    gtk_widget_realize(e->window);
    gdk_window_add_filter(nullptr, on_x_event, e);
    if (e->parent) {
        if (!reparent(e)) {
            editor_log("the host's window %lu does not exist", e->parent);
            return false;
        }
        // Requests on our windows fail once the host has destroyed its
        // window, until we have seen that: not a reason to end with an X
        // error (GDK's default). This trap stays for the program's life.
        gdk_x11_display_error_trap_push(gtk_widget_get_display(e->window));
    }
    gtk_widget_show_all(e->window);
    GdkWindow *own = gtk_widget_get_window(e->window);
    XSync(GDK_WINDOW_XDISPLAY(own), False);

    char id[32];
    const int n = std::snprintf(id, sizeof id, " %lu", GDK_WINDOW_XID(own));
    editor_link_send(e, 'w', id, static_cast<size_t>(n));
    return true;
}

void editor_view_post(Editor *e, const char *text, size_t length)
{
    if (e->page_loaded)
        deliver(e, text, length);
    else if (e->to_page.size() < k_max_waiting)
        e->to_page.emplace_back(text, length);
}

void editor_view_resize(Editor *e, const EditorSize &size)
{
    if (!e->window)
        return;
    gtk_window_resize(GTK_WINDOW(e->window), size.width, size.height);
    webkit_web_view_set_zoom_level(e->view, size.scale);
}

bool editor_js_string(const char *text, size_t length, std::string *out)
{
    // g_utf8_validate also refuses a NUL within the length.
    if (!g_utf8_validate(text, static_cast<gssize>(length), nullptr))
        return false;
    static const char hex[] = "0123456789abcdef";
    out->push_back('"');
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // U+2028 and U+2029 end a line in older script grammars; "<" keeps
        // "</script" and "<!--" out of anything that parses HTML.
        const bool line_end = c == 0xE2 && i + 2 < length && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                              (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xA8;
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F || c == '<' || line_end) {
            const unsigned code = line_end ? 0x2028u + (static_cast<unsigned char>(text[i + 2]) & 1u) : c;
            *out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out->push_back(hex[(code >> shift) & 15]);
            if (line_end)
                i += 2;
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
    return true;
}

bool editor_may_open_outside(const char *uri)
{
    static const char *const k_schemes[] = {"http:", "https:", "mailto:"};
    bool scheme_ok = false;
    for (const char *scheme : k_schemes)
        scheme_ok = scheme_ok || g_ascii_strncasecmp(uri, scheme, std::strlen(scheme)) == 0;
    if (!scheme_ok)
        return false;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(uri); *c; ++c)
        if (*c == '"' || *c == '\'' || *c == '`' || *c < 0x20 || *c == 0x7F)
            return false;
    return true;
}
