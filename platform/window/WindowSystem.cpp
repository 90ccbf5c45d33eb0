#include "platform/window/WindowSystem.h"

#define GCR_API_SUBJECT_TO_CHANGE 1
#include <glib-unix.h>
#include <ui/gcr-ui.h>

#include <cstring>
#include <mutex>
#include <string>

#include "common/Trace.h"
#include "platform/runtime/IOStream.h"
#include "platform/runtime/LastError.h"

namespace window_system {

namespace {

constexpr uint32_t kErrorResourceTypeNotFound = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
constexpr uint32_t kErrorResourceNameNotFound = 1814;  // ERROR_RESOURCE_NAME_NOT_FOUND
constexpr int kDialogFrameHeight = 3;                  // the thickness of a dialog frame

bool IsSevere(GLogLevelFlags level) {
    return (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) != 0;
}

void TraceLibraryMessage(GLogLevelFlags level, const char* domain, const char* message) {
    if (IsSevere(level)) {
        TRACE_ERROR("[%s] %s", domain != nullptr ? domain : "", message != nullptr ? message : "");
    } else {
        TRACE_INFO("[%s] %s", domain != nullptr ? domain : "", message != nullptr ? message : "");
    }
}

GLogWriterOutput WriteLogToTrace(GLogLevelFlags level, const GLogField* fields, gsize count,
                                 gpointer) {
    const char* domain = nullptr;
    const char* message = nullptr;
    for (gsize i = 0; i < count; ++i) {
        if (fields[i].length >= 0) continue;  // binary field, not text
        if (std::strcmp(fields[i].key, "MESSAGE") == 0)
            message = static_cast<const char*>(fields[i].value);
        else if (std::strcmp(fields[i].key, "GLIB_DOMAIN") == 0)
            domain = static_cast<const char*>(fields[i].value);
    }
    TraceLibraryMessage(level, domain, message);
    return G_LOG_WRITER_HANDLED;
}

void LogHandlerToTrace(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    TraceLibraryMessage(level, domain, message);
}

void PrintToTrace(const gchar* text) { TRACE_INFO("%s", text != nullptr ? text : ""); }

bool g_gtk_started = false;

}  // namespace

void RouteLibraryOutputToTrace() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_set_writer_func(WriteLogToTrace, nullptr, nullptr);
        g_log_set_default_handler(LogHandlerToTrace, nullptr);
        g_set_print_handler(PrintToTrace);
        g_set_printerr_handler(PrintToTrace);
    });
}

bool StartWindowSystem() {
    if (g_gtk_started) return true;
    RouteLibraryOutputToTrace();
    if (!gtk_init_check(nullptr, nullptr)) {
        TRACE_ERROR("The window system could not start: no usable display");
        return false;
    }
    g_gtk_started = true;
    return true;
}

std::string ConnectedDisplayName() {
    if (!StartWindowSystem()) return std::string();
    GdkDisplay* display = gdk_display_get_default();
    const char* name = display != nullptr ? gdk_display_get_name(display) : nullptr;
    return name != nullptr ? name : std::string();
}

void DestroyWindowNow(GtkWidget* window) {
    if (window == nullptr) return;
    gtk_widget_destroy(window);
    GdkDisplay* display = gdk_display_get_default();
    if (display != nullptr) gdk_display_flush(display);
}

int GetSystemMetrics(SystemMetric metric) {
    if (metric == SM_CYDLGFRAME) return kDialogFrameHeight;
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) return 0;
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
    if (monitor == nullptr) return 0;
    GdkRectangle geometry{};
    gdk_monitor_get_geometry(monitor, &geometry);
    return geometry.height;
}

Rect MonitorWorkArea(GtkWidget* window) {
    Rect area;
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) return area;
    GdkMonitor* monitor = nullptr;
    GdkWindow* gdk_window = window != nullptr ? gtk_widget_get_window(window) : nullptr;
    if (gdk_window != nullptr) monitor = gdk_display_get_monitor_at_window(display, gdk_window);
    if (monitor == nullptr) monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
    if (monitor == nullptr) return area;
    GdkRectangle work{};
    gdk_monitor_get_workarea(monitor, &work);
    area.left = work.x;
    area.top = work.y;
    area.right = work.x + work.width;
    area.bottom = work.y + work.height;
    return area;
}

int MulDiv(int a, int b, int c) {
    if (c == 0) return -1;
    const int64_t product = static_cast<int64_t>(a) * b;
    const int64_t half = (c > 0 ? c : -c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const int64_t magnitude = ((product < 0 ? -product : product) + half) / (c > 0 ? c : -c);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

HRSRC FindResourceW(HINSTANCE, uint32_t uID, const char16_t* lpType) {
    static const char16_t kPng[] = u"PNG";
    if (lpType == nullptr || std::u16string_view(lpType) != kPng) {
        SetLastError(kErrorResourceTypeNotFound);
        return nullptr;
    }
    for (size_t i = 0; i < kEmbeddedImageCount; ++i) {
        if (kEmbeddedImages[i].id == uID) return &kEmbeddedImages[i];
    }
    SetLastError(kErrorResourceNameNotFound);
    return nullptr;
}

DWORD SizeofResource(HINSTANCE, HRSRC hResInfo) {
    return hResInfo != nullptr ? static_cast<DWORD>(hResInfo->size) : 0;
}

const BYTE* LoadResource(HINSTANCE, HRSRC hResInfo) {
    return hResInfo != nullptr ? hResInfo->bytes : nullptr;
}

void FreeResource(const BYTE*) {}  // compiled-in bytes: nothing to release

const char* DefaultGuiFontFamily() {
    static std::string family;
    if (!family.empty()) return family.c_str();
    if (!g_gtk_started) return "Sans";
    gchar* font_name = nullptr;
    g_object_get(gtk_settings_get_default(), "gtk-font-name", &font_name, nullptr);
    GCharPtr name(font_name);
    if (name != nullptr) {
        FontDescriptionPtr description(pango_font_description_from_string(name.get()));
        const char* configured = pango_font_description_get_family(description.get());
        if (configured != nullptr && *configured != 0) family = configured;
    }
    if (family.empty()) family = "Sans";
    return family.c_str();
}

ModalLoop::ModalLoop() : loop_(g_main_loop_new(nullptr, FALSE)) {}

ModalLoop::~ModalLoop() = default;

intptr_t ModalLoop::Run() {
    // Only a host has a browser to lose; a program that merely shows a window (a test, a tool)
    // keeps its windows whatever its standard input does.
    if (!ended_ && ServesNativeMessaging()) {
        hang_up_watch_ =
            g_unix_fd_add(ProtocolInputDescriptor(), static_cast<GIOCondition>(G_IO_HUP | G_IO_ERR),
                          OnInputHangUp, this);
    }
    if (!ended_) g_main_loop_run(loop_.get());
    if (hang_up_watch_ != 0) {
        g_source_remove(hang_up_watch_);
        hang_up_watch_ = 0;
    }
    return result_;
}

gboolean ModalLoop::OnInputHangUp(gint, GIOCondition condition, gpointer self) {
    auto* loop = static_cast<ModalLoop*>(self);
    TRACE_INFO("The protocol input hung up (condition 0x%x): the window closes as cancelled",
               static_cast<unsigned>(condition));
    loop->hang_up_watch_ = 0;
    if (loop->hang_up_action_) {
        loop->hang_up_action_();
    }
    loop->End(-1);  // a no-op when the action ended the run
    return G_SOURCE_REMOVE;
}

void ModalLoop::End(intptr_t result) {
    if (ended_) return;
    result_ = result;
    ended_ = true;
    g_main_loop_quit(loop_.get());
}

bool ModalLoop::IsRunning() const { return !ended_ && g_main_loop_is_running(loop_.get()); }

namespace {

gboolean OnViewerDelete(GtkWidget*, GdkEvent*, gpointer loop) {
    static_cast<ModalLoop*>(loop)->End(0);
    return TRUE;
}

gboolean OnViewerKey(GtkWidget*, GdkEventKey* event, gpointer loop) {
    if (event->keyval != GDK_KEY_Escape) return FALSE;
    static_cast<ModalLoop*>(loop)->End(0);
    return TRUE;
}

void OnViewerClose(GtkButton*, gpointer loop) { static_cast<ModalLoop*>(loop)->End(0); }

}  // namespace

void ShowCertificateViewer(GtkWindow* parent, const BYTE* pbCertEncoded, DWORD cbCertEncoded) {
    if (pbCertEncoded == nullptr || cbCertEncoded == 0 || !StartWindowSystem()) return;
    const bool chinese = GetUserDefaultUILanguage() == 2052;
    GObjectPtr<GcrCertificate> certificate(
        gcr_simple_certificate_new(pbCertEncoded, cbCertEncoded));
    ModalLoop loop;

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), chinese ? "证书" : "Certificate");
    gtk_window_set_modal(GTK_WINDOW(window), TRUE);
    if (parent != nullptr) {
        gtk_window_set_transient_for(GTK_WINDOW(window), parent);
        gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER_ON_PARENT);
    }
    gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_default_size(GTK_WINDOW(window), 520, 460);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_set_border_width(GTK_CONTAINER(box), 8);
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_vexpand(scroller, TRUE);
    GcrCertificateWidget* viewer = gcr_certificate_widget_new(certificate.get());
    gtk_container_add(GTK_CONTAINER(scroller), GTK_WIDGET(viewer));
    gtk_box_pack_start(GTK_BOX(box), scroller, TRUE, TRUE, 0);
    GtkWidget* close = gtk_button_new_with_label(chinese ? "关闭" : "Close");
    gtk_widget_set_halign(close, GTK_ALIGN_END);
    gtk_box_pack_start(GTK_BOX(box), close, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);

    g_signal_connect(window, "delete-event", G_CALLBACK(OnViewerDelete), &loop);
    g_signal_connect(window, "key-press-event", G_CALLBACK(OnViewerKey), &loop);
    g_signal_connect(close, "clicked", G_CALLBACK(OnViewerClose), &loop);
    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    gtk_widget_grab_focus(close);
    TRACE_INFO("Certificate viewer shown");
    loop.Run();
    DestroyWindowNow(window);
    // The keyboard goes back to the window the viewer was opened over.
    if (parent != nullptr) gtk_window_present(parent);
    TRACE_INFO("Certificate viewer closed");
}

}  // namespace window_system
