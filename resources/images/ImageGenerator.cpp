// Draws the three pictures of the certificate list with cairo and writes them as RGBA PNG files:
//   105 certificate.png  a certificate document with a seal      128 x 128
//   106 smartcard.png    a smart card with its contact chip       128 x 128
//   107 frame.png        a translucent square frame, soft shadow   62 x 62
// Usage: tessora-imagegen OUTPUT_DIR. The PNGs are committed; run this again only to change them.
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

namespace {

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// A blurred dark shape under an object: concentric, fading copies of its outline.
void SoftShadow(cairo_t* cr, double x, double y, double w, double h, double r, int spread,
                double alpha) {
    for (int i = spread; i >= 1; --i) {
        RoundedRect(cr, x - i, y - i, w + 2 * i, h + 2 * i, r + i);
        cairo_set_source_rgba(cr, 0, 0, 0, alpha / spread);
        cairo_fill(cr);
    }
}

void DrawCertificate(cairo_t* cr) {
    // The sheet: an off-white page with a folded corner.
    SoftShadow(cr, 20, 12, 84, 104, 3, 4, 0.35);
    cairo_pattern_t* paper = cairo_pattern_create_linear(0, 12, 0, 116);
    cairo_pattern_add_color_stop_rgb(paper, 0, 1.0, 1.0, 0.98);
    cairo_pattern_add_color_stop_rgb(paper, 1, 0.91, 0.93, 0.96);
    cairo_move_to(cr, 20, 12);
    cairo_line_to(cr, 86, 12);
    cairo_line_to(cr, 104, 30);
    cairo_line_to(cr, 104, 116);
    cairo_line_to(cr, 20, 116);
    cairo_close_path(cr);
    cairo_set_source(cr, paper);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(paper);
    cairo_set_source_rgb(cr, 0.55, 0.62, 0.72);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
    cairo_move_to(cr, 86, 12);
    cairo_line_to(cr, 86, 30);
    cairo_line_to(cr, 104, 30);
    cairo_set_source_rgb(cr, 0.80, 0.84, 0.90);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.55, 0.62, 0.72);
    cairo_stroke(cr);

    // A title bar and text lines.
    cairo_set_source_rgb(cr, 0.15, 0.33, 0.62);
    cairo_rectangle(cr, 30, 24, 46, 7);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.62, 0.67, 0.75);
    for (int i = 0; i < 5; ++i) {
        cairo_rectangle(cr, 30, 42 + i * 10, i % 2 == 0 ? 64 : 52, 3);
        cairo_fill(cr);
    }

    // The seal: two ribbon tails and a scalloped red disc with a gold ring.
    const double cx = 84, cy = 94;
    cairo_set_source_rgb(cr, 0.72, 0.10, 0.12);
    cairo_move_to(cr, cx - 10, cy);
    cairo_line_to(cr, cx - 16, cy + 28);
    cairo_line_to(cr, cx - 9, cy + 23);
    cairo_line_to(cr, cx - 4, cy + 30);
    cairo_line_to(cr, cx, cy);
    cairo_fill(cr);
    cairo_move_to(cr, cx + 10, cy);
    cairo_line_to(cr, cx + 16, cy + 28);
    cairo_line_to(cr, cx + 9, cy + 23);
    cairo_line_to(cr, cx + 4, cy + 30);
    cairo_line_to(cr, cx, cy);
    cairo_fill(cr);
    for (int i = 0; i < 32; ++i) {
        const double a = i * M_PI / 16;
        const double r = (i % 2 == 0) ? 19 : 16.5;
        if (i == 0)
            cairo_move_to(cr, cx + r * cos(a), cy + r * sin(a));
        else
            cairo_line_to(cr, cx + r * cos(a), cy + r * sin(a));
    }
    cairo_close_path(cr);
    cairo_pattern_t* wax = cairo_pattern_create_radial(cx - 5, cy - 5, 2, cx, cy, 19);
    cairo_pattern_add_color_stop_rgb(wax, 0, 0.95, 0.35, 0.32);
    cairo_pattern_add_color_stop_rgb(wax, 1, 0.66, 0.06, 0.08);
    cairo_set_source(cr, wax);
    cairo_fill(cr);
    cairo_pattern_destroy(wax);
    cairo_arc(cr, cx, cy, 11, 0, 2 * M_PI);
    cairo_set_source_rgb(cr, 0.96, 0.78, 0.30);
    cairo_set_line_width(cr, 2);
    cairo_stroke(cr);
    // A star in the middle of the seal.
    for (int i = 0; i < 10; ++i) {
        const double a = -M_PI / 2 + i * M_PI / 5;
        const double r = (i % 2 == 0) ? 7 : 3;
        if (i == 0)
            cairo_move_to(cr, cx + r * cos(a), cy + r * sin(a));
        else
            cairo_line_to(cr, cx + r * cos(a), cy + r * sin(a));
    }
    cairo_close_path(cr);
    cairo_fill(cr);
}

void DrawSmartCard(cairo_t* cr) {
    // The card body, tilted slightly, with a blue gradient.
    cairo_save(cr);
    cairo_translate(cr, 64, 64);
    cairo_rotate(cr, -0.12);
    cairo_translate(cr, -64, -64);
    SoftShadow(cr, 10, 28, 108, 72, 8, 4, 0.4);
    cairo_pattern_t* body = cairo_pattern_create_linear(10, 28, 118, 100);
    cairo_pattern_add_color_stop_rgb(body, 0, 0.30, 0.58, 0.90);
    cairo_pattern_add_color_stop_rgb(body, 1, 0.08, 0.26, 0.58);
    RoundedRect(cr, 10, 28, 108, 72, 8);
    cairo_set_source(cr, body);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(body);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.5);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);

    // The gold contact chip with its pads.
    cairo_pattern_t* gold = cairo_pattern_create_linear(22, 48, 50, 74);
    cairo_pattern_add_color_stop_rgb(gold, 0, 0.99, 0.88, 0.52);
    cairo_pattern_add_color_stop_rgb(gold, 1, 0.80, 0.60, 0.18);
    RoundedRect(cr, 22, 48, 28, 24, 4);
    cairo_set_source(cr, gold);
    cairo_fill(cr);
    cairo_pattern_destroy(gold);
    cairo_set_source_rgb(cr, 0.55, 0.40, 0.10);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, 22, 56);
    cairo_line_to(cr, 50, 56);
    cairo_move_to(cr, 22, 64);
    cairo_line_to(cr, 50, 64);
    cairo_move_to(cr, 36, 48);
    cairo_line_to(cr, 36, 56);
    cairo_move_to(cr, 36, 64);
    cairo_line_to(cr, 36, 72);
    cairo_stroke(cr);

    // A printed number and a stripe.
    cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
    for (int i = 0; i < 4; ++i) {
        cairo_rectangle(cr, 22 + i * 22, 82, 16, 5);
        cairo_fill(cr);
    }
    cairo_set_source_rgba(cr, 1, 1, 1, 0.35);
    cairo_rectangle(cr, 62, 48, 44, 6);
    cairo_fill(cr);
    cairo_rectangle(cr, 62, 60, 32, 6);
    cairo_fill(cr);
    cairo_restore(cr);
}

void DrawFrame(cairo_t* cr) {
    // A soft shadow around a light translucent square with a clear middle: it sits over the
    // 48 x 48 picture of a row, which shows through.
    for (int i = 5; i >= 1; --i) {
        RoundedRect(cr, 6 - i + 1, 6 - i + 2, 50 + 2 * i - 2, 50 + 2 * i - 2, 4 + i);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.05);
        cairo_fill(cr);
    }
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    RoundedRect(cr, 3, 3, 56, 56, 5);
    RoundedRect(cr, 8, 8, 46, 46, 2);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.55);
    cairo_fill(cr);
    RoundedRect(cr, 3.5, 3.5, 55, 55, 5);
    cairo_set_source_rgba(cr, 0.45, 0.55, 0.68, 0.7);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    RoundedRect(cr, 7.5, 7.5, 47, 47, 2);
    cairo_set_source_rgba(cr, 0.45, 0.55, 0.68, 0.45);
    cairo_stroke(cr);
}

bool Write(const std::string& path, int size, void (*draw)(cairo_t*)) {
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size),
                    &cairo_surface_destroy);
    Context cr(cairo_create(surface.get()), &cairo_destroy);
    cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_BEST);
    draw(cr.get());
    cairo_surface_flush(surface.get());
    return cairo_surface_write_to_png(surface.get(), path.c_str()) == CAIRO_STATUS_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = Write(dir + "/certificate.png", 128, DrawCertificate) &&
                    Write(dir + "/smartcard.png", 128, DrawSmartCard) &&
                    Write(dir + "/frame.png", 62, DrawFrame);
    if (!ok) std::fprintf(stderr, "could not write the images into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
