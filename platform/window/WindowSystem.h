// The window-system services the selection dialog and the PIN prompt are written against, on
// GTK 3 with cairo, Pango and GdkPixbuf. This is the only gateway to GTK and gcr: GTK starts here
// (and only when a window is really shown), its log output is routed into the trace, and the C
// handles are wrapped for RAII.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/runtime/Resources.h"
#include "platform/runtime/Types.h"
#include "resources/images/EmbeddedImages.h"

namespace window_system {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object != nullptr) g_object_unref(object);
    }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using PixbufPtr = GObjectPtr<GdkPixbuf>;
using PixbufLoaderPtr = GObjectPtr<GdkPixbufLoader>;
using PangoLayoutPtr = GObjectPtr<PangoLayout>;

struct CairoDestroy {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDestroy>;
struct CairoSurfaceDestroy {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using CairoSurfacePtr = std::unique_ptr<cairo_surface_t, CairoSurfaceDestroy>;
struct FontDescriptionFree {
    void operator()(PangoFontDescription* description) const {
        pango_font_description_free(description);
    }
};
using FontDescriptionPtr = std::unique_ptr<PangoFontDescription, FontDescriptionFree>;
struct FontMetricsUnref {
    void operator()(PangoFontMetrics* metrics) const { pango_font_metrics_unref(metrics); }
};
using FontMetricsPtr = std::unique_ptr<PangoFontMetrics, FontMetricsUnref>;
struct GFree {
    void operator()(void* memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFree>;
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
struct MainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
using MainLoopPtr = std::unique_ptr<GMainLoop, MainLoopUnref>;

// Sends everything GLib, GTK, GdkPixbuf and Pango log or print to the trace (never to stdout or
// stderr). Idempotent; done before any of those libraries is used.
void RouteLibraryOutputToTrace();

// Starts GTK on first use with gtk_init_check (gtk_init would exit the process without a display).
// False when there is no usable display; a later call tries again.
bool StartWindowSystem();

// Starts the window system and names the display it is connected to ("':0'"); empty when there is
// no usable display.
std::string ConnectedDisplayName();

// Destroys a top-level window and makes the display take it away at once: after a modal run the
// host's thread goes back to reading its input, and no main loop would send the request later.
void DestroyWindowNow(GtkWidget* window);

// Pixel rectangles, as the dialog code computes them.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

// Screen metrics: the height of the primary monitor (the dialog's screen height), the dialog
// frame's thickness, and the work area of the monitor nearest to a window.
enum SystemMetric { SM_CYSCREEN = 1, SM_CYDLGFRAME = 8 };
int GetSystemMetrics(SystemMetric metric);
Rect MonitorWorkArea(GtkWidget* window);

// a * b / c rounded to nearest, as dialog-unit conversion expects.
int MulDiv(int a, int b, int c);

// The PNG resources: a resource handle names one embedded picture. Every module carries the same
// compiled-in pictures; a null module is the program's own. FindResourceW answers null with last
// error 1814 (ERROR_RESOURCE_NAME_NOT_FOUND) for an unknown id and 1813
// (ERROR_RESOURCE_TYPE_NOT_FOUND) for a type other than "PNG".
using HRSRC = const EmbeddedImage*;
HRSRC FindResourceW(HINSTANCE hModule, uint32_t uID, const char16_t* lpType);
DWORD SizeofResource(HINSTANCE hModule, HRSRC hResInfo);
const BYTE* LoadResource(HINSTANCE hModule, HRSRC hResInfo);
void FreeResource(const BYTE* lpResData);

// The family that stands for the default GUI font's face: GTK's configured font when GTK runs,
// otherwise fontconfig's "Sans".
const char* DefaultGuiFontFamily();

// A modal run: Run blocks in its own main loop until End is called, and returns End's value.
// In a host, when the browser hangs up its end of the protocol input while the loop runs, nobody
// is left to answer: the hang-up action runs (by default End(-1)), so that the window closes as
// cancelled and the host can end. Data waiting to be read is no hang-up.
class ModalLoop {
  public:
    ModalLoop();
    ~ModalLoop();
    ModalLoop(const ModalLoop&) = delete;
    ModalLoop& operator=(const ModalLoop&) = delete;

    intptr_t Run();
    void End(intptr_t result);
    bool IsRunning() const;
    // What a hang-up of the protocol input does instead of End(-1), e.g. the window's own Cancel.
    void SetHangUpAction(std::function<void()> action) { hang_up_action_ = std::move(action); }

  private:
    static gboolean OnInputHangUp(gint fd, GIOCondition condition, gpointer self);

    MainLoopPtr loop_;
    std::function<void()> hang_up_action_;
    guint hang_up_watch_ = 0;
    intptr_t result_ = -1;
    bool ended_ = false;
};

// The certificate viewer: gcr's certificate widget in a modal window over `parent`; returns when
// the user closes it.
void ShowCertificateViewer(GtkWindow* parent, const BYTE* pbCertEncoded, DWORD cbCertEncoded);

}  // namespace window_system
