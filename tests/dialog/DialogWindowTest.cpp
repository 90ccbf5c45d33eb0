// The selection dialog as a real window on a private X server, driven like a person would:
// keys and clicks through xdotool, the close box through WM_DELETE_WINDOW, and screenshots
// taken with ImageMagick's import and checked pixel by pixel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/ResultCodes.h"
#include "dialog/SelectCertificateDlg.h"
#include "platform/runtime/Resources.h"
#include "tests/dialog/DialogTestSupport.h"
#include "tests/support/StandInCertPlatform.h"

namespace {

using dialog_test::ColorDistance;
using dialog_test::RunCommand;
using dialog_test::Screenshot;
using dialog_test::WaitForWindow;

constexpr char kCaption[] = "Windows Security";
constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;
// Client geometry of template 101 with three rows on a 768-pixel screen.
constexpr int kDialogWidth = 423;
constexpr int kDialogHeight = 535 + (3 * 80 + 6 - 429);
constexpr int kListLeft = 20;
constexpr int kListTop = 60;
constexpr int kTolerance = 6;

std::string ScreenshotDir() {
    const char* dir = std::getenv("TESSORA_SCREENSHOT_DIR");
    return dir != nullptr ? dir : TESSORA_SCREENSHOT_DEFAULT_DIR;
}

std::string TempPng(const char* name) {
    return testing::TempDir() + "/" + name + "-" + std::to_string(getpid()) + ".png";
}

// The pixel once it shows `expected` (within the tolerance), or as it is after five seconds.
uint32_t WaitForPixel(int x, int y, uint32_t expected) {
    uint32_t pixel = 0;
    for (int i = 0; i < 25; ++i) {
        Screenshot shot(TempPng("wait"));
        pixel = shot.Pixel(x, y);
        if (ColorDistance(pixel, expected) <= kTolerance) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return pixel;
}

// The dialog cut out of a screenshot, for the README.
void SaveDialogPicture(const Screenshot& shot, int x, int y, const std::string& name) {
    if (!shot.ok()) return;
    GdkPixbuf* crop = gdk_pixbuf_new_subpixbuf(shot.pixbuf, x, y, kDialogWidth, kDialogHeight);
    RunCommand("mkdir -p " + ScreenshotDir());
    gdk_pixbuf_save(crop, (ScreenshotDir() + "/" + name).c_str(), "png", nullptr, nullptr);
    g_object_unref(crop);
}

// Three certificates in the store's order bob, carol, Alice; the dialog lists them Alice, bob,
// carol.
class ThreeCertificates {
  public:
    ThreeCertificates() {
        for (const auto& [cn, serial] :
             std::vector<std::pair<std::string, uint8_t>>{{"bob", 1}, {"carol", 2}, {"Alice", 3}}) {
            dialog_test::CertificateSpec spec;
            spec.subject = {{"C", "CN"}, {"O", "Org"}, {"CN", cn}};
            spec.issuer = {{"C", "CN"}, {"O", "Example Org"}, {"CN", "Root CA"}};
            spec.serial = {serial};
            der_[cn] = dialog_test::MakeCertificate(spec);
            store_.Add(der_[cn]);
        }
    }
    HCERTSTORE store() const { return store_.handle(); }
    // The name of the certificate a context stands for, or "" when it is none of them.
    std::string NameOf(PCCERT_CONTEXT context) const {
        if (context == nullptr) return "";
        for (const auto& [cn, der] : der_) {
            if (der.size() == context->cbCertEncoded &&
                std::equal(der.begin(), der.end(), context->pbCertEncoded))
                return cn;
        }
        return "?";
    }

  private:
    dialog_test::MemoryStore store_;
    std::map<std::string, std::vector<uint8_t>> der_;
};

SELECT_CERTIFICATE_DIALOG_PARAM Param(HCERTSTORE store) {
    SELECT_CERTIFICATE_DIALOG_PARAM param{};
    param.hInstance = GetModuleHandleW(nullptr);
    param.hCertStore = store;
    return param;
}

using dialog_test::WithPerson;

struct DialogRun {
    int result = 0;
    DWORD code = 0;
    std::string chosen;
};

// One private X server for the whole process: GTK stays connected to the display it started on.
dialog_test::PrivateDisplay* g_display = nullptr;

class DisplayEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        g_display = new dialog_test::PrivateDisplay(kScreenWidth, kScreenHeight);
    }
    void TearDown() override {
        delete g_display;
        g_display = nullptr;
    }
};
const testing::Environment* const kDisplayEnvironment =
    testing::AddGlobalTestEnvironment(new DisplayEnvironment);

class DialogWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(g_display != nullptr && g_display->ok()) << "Xvfb did not start";
        RunCommand("xdotool mousemove 2 2");
    }
    // The dialog over the three certificates, through the entry's runner.
    DialogRun RunDialog() {
        DialogRun run;
        const SELECT_CERTIFICATE_DIALOG_PARAM param = Param(certificates_.store());
        PCCERT_CONTEXT chosen = nullptr;
        run.result = RunWindowSelectCertificateDialog(&param, &chosen, &run.code);
        run.chosen = certificates_.NameOf(chosen);
        CertFreeCertificateContext(chosen);
        return run;
    }
    ThreeCertificates certificates_;
};

struct PersonCase {
    const char* name;
    std::string actions;  // xdotool arguments, or "close-box"
    int result;
    DWORD code;
    const char* chosen;
};

// ctest shows the case by its name.
void PrintTo(const PersonCase& c, std::ostream* os) { *os << c.name; }

class DialogKeyboardTest : public DialogWindowTest,
                           public testing::WithParamInterface<PersonCase> {};

TEST_P(DialogKeyboardTest, PersonChoosesOrCancels) {
    const PersonCase& c = GetParam();
    DialogRun run;
    WithPerson(
        [&] { run = RunDialog(); },
        [&](unsigned long window) {
            const auto [x, y] = dialog_test::WindowOrigin(window);
            std::string actions = c.actions;
            const size_t at = actions.find("OKBUTTON");
            if (at != std::string::npos) {
                // The OK button's centre, below three rows.
                actions.replace(at, 8,
                                std::to_string(x + 255 + 37) + " " +
                                    std::to_string(y + 501 + (kDialogHeight - 535) + 11));
            }
            if (actions == "close-box") {
                RunCommand(std::string(TESSORA_SEND_DELETE_WINDOW) + " " + std::to_string(window));
            } else {
                RunCommand("xdotool " + actions);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        });
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.code, c.code);
    EXPECT_EQ(run.chosen, c.chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DialogKeyboardTest,
    testing::Values(
        PersonCase{"ReturnTakesTheFirstRow", "key Return", IDOK, 0, "Alice"},
        PersonCase{"TabTabDownReturnTakesTheSecond", "key Tab Tab Down Return", IDOK, 0, "bob"},
        PersonCase{"EndThenUp", "key Tab Tab End Up Return", IDOK, 0, "bob"},
        PersonCase{"HomeAfterPageDown", "key Tab Tab Page_Down Home Return", IDOK, 0, "Alice"},
        PersonCase{"DownPastTheEndStaysOnTheLast", "key Tab Tab Down Down Down Down Return", IDOK,
                   0, "carol"},
        PersonCase{"TabFromTheListToOKThenReturn", "key Tab Tab Down Tab Return", IDOK, 0, "bob"},
        PersonCase{"TabToCancelThenReturnCancels", "key Tab Return", IDCANCEL, 0x20001002u, ""},
        PersonCase{"TabRoundBackToCancel", "key Tab Tab Tab Tab Return", IDCANCEL, 0x20001002u, ""},
        PersonCase{"ShiftTabBackToTheList", "key shift+Tab Down Return", IDOK, 0, "bob"},
        PersonCase{"ShiftTabTwiceToCancel", "key shift+Tab shift+Tab Return", IDCANCEL, 0x20001002u,
                   ""},
        PersonCase{"EscapeCancels", "key Escape", IDCANCEL, 0x20001002u, ""},
        PersonCase{"CloseBoxCancels", "close-box", IDCANCEL, 0x20001002u, ""},
        PersonCase{"ClickOnOK", "mousemove OKBUTTON click 1", IDOK, 0, "Alice"}),
    [](const testing::TestParamInfo<PersonCase>& info) { return std::string(info.param.name); });

TEST_F(DialogWindowTest, InitialisationFailuresCloseThroughCancelAtOnce) {
    const SELECT_CERTIFICATE_DIALOG_PARAM no_store = Param(nullptr);  // no rows can be loaded
    SELECT_CERTIFICATE_DIALOG_PARAM no_module = Param(certificates_.store());
    no_module.hInstance = nullptr;  // no heading can be loaded
    const std::vector<const SELECT_CERTIFICATE_DIALOG_PARAM*> params = {&no_store, &no_module,
                                                                        nullptr};
    for (const SELECT_CERTIFICATE_DIALOG_PARAM* param : params) {
        PCCERT_CONTEXT chosen = nullptr;
        DWORD code = 0;
        EXPECT_EQ(RunWindowSelectCertificateDialog(param, &chosen, &code), IDCANCEL);
        EXPECT_EQ(code, 0x20001002u);
        EXPECT_EQ(chosen, nullptr);
    }
}

TEST_F(DialogWindowTest, RowsHeadingAndHoverLookAsDrawn) {
    std::vector<std::u16string> tooltips;
    DialogRun run;
    bool pictures_ok = false;
    int window_x = -1, window_y = -1;
    uint32_t selected_top = 0, selected_bottom = 0, selected_border = 0, plain = 0;
    uint32_t hover_bottom = 0, hover_border = 0, selected_under_pointer = 0, after_leave = 0;
    int heading_hits = 0;
    CSelectCertificateDlg dialog;
    WithPerson(
        [&] {
            const SELECT_CERTIFICATE_DIALOG_PARAM param = Param(certificates_.store());
            // Record the tooltip's text as it changes, on the dialog's own thread.
            struct Watch {
                CSelectCertificateDlg* dialog;
                std::vector<std::u16string>* texts;
            } watch{&dialog, &tooltips};
            const guint poll = g_timeout_add(
                20,
                [](gpointer data) -> gboolean {
                    auto* w = static_cast<Watch*>(data);
                    const std::u16string& text = w->dialog->GetCertificateList().GetToolTipText();
                    if (w->texts->empty() || w->texts->back() != text) w->texts->push_back(text);
                    return G_SOURCE_CONTINUE;
                },
                &watch);
            run.result = static_cast<int>(dialog.DoModal(nullptr, &param));
            g_source_remove(poll);
            run.chosen = certificates_.NameOf(dialog.GetSelectedCertificate());
            CertFreeCertificateContext(dialog.GetSelectedCertificate());
        },
        [&](unsigned long window) {
            std::tie(window_x, window_y) = dialog_test::WindowOrigin(window);
            const int lx = window_x + kListLeft;
            const int ly = window_y + kListTop;
            {
                Screenshot shot(TempPng("rows"));
                pictures_ok = shot.ok();
                selected_top = shot.Pixel(lx + 5, ly + 2);
                selected_bottom = shot.Pixel(lx + 5, ly + 77);
                selected_border = shot.Pixel(lx + 40, ly);
                plain = shot.Pixel(lx + 5, ly + 80 + 77);
                for (int y = window_y + 12; y < window_y + 40; ++y) {
                    for (int x = window_x + 15; x < window_x + 200; ++x) {
                        if (ColorDistance(shot.Pixel(x, y), 0x003399) <= 12) ++heading_hits;
                    }
                }
                SaveDialogPicture(shot, window_x, window_y, "dialog-en.png");
            }
            // Hover over the third row, then over the second, then rest on the selected row.
            // Each step waits until the screen shows it, however slow the machine.
            auto move = [](int x, int y) {
                RunCommand("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y));
            };
            move(lx + 5, ly + 160 + 40);
            hover_bottom = WaitForPixel(lx + 5, ly + 160 + 77, 0xB9D7FC);
            {
                Screenshot shot(TempPng("hover"));
                hover_border = shot.Pixel(lx + 40, ly + 160);
            }
            move(lx + 5, ly + 80 + 40);
            WaitForPixel(lx + 5, ly + 80 + 77, 0xB9D7FC);
            move(lx + 5, ly + 40);
            WaitForPixel(lx + 5, ly + 80 + 77, 0xFFFFFF);
            selected_under_pointer = WaitForPixel(lx + 5, ly + 77, 0xC2DCFD);
            // Leave the list for the heading: no row keeps a hover highlight.
            move(lx + 5, ly + 80 + 40);
            WaitForPixel(lx + 5, ly + 80 + 77, 0xB9D7FC);
            move(window_x + 300, window_y + 20);
            after_leave = WaitForPixel(lx + 5, ly + 80 + 77, 0xFFFFFF);
            RunCommand("xdotool key Escape");
        });

    ASSERT_TRUE(pictures_ok);
    // Centred on the 1024 x 768 screen, sized to three rows.
    EXPECT_EQ(window_x, (kScreenWidth - kDialogWidth) / 2);
    EXPECT_EQ(window_y, (kScreenHeight - kDialogHeight) / 2);
    EXPECT_LE(ColorDistance(selected_top, 0xDDECFD), kTolerance) << std::hex << selected_top;
    EXPECT_LE(ColorDistance(selected_bottom, 0xC2DCFD), kTolerance) << std::hex << selected_bottom;
    EXPECT_LE(ColorDistance(selected_border, 0x7DB6CE), kTolerance) << std::hex << selected_border;
    EXPECT_EQ(plain, 0xFFFFFFu) << std::hex << plain;
    EXPECT_LE(ColorDistance(hover_bottom, 0xB9D7FC), kTolerance) << std::hex << hover_bottom;
    EXPECT_LE(ColorDistance(hover_border, 0xF3F8FF), kTolerance) << std::hex << hover_border;
    EXPECT_LE(ColorDistance(selected_under_pointer, 0xC2DCFD), kTolerance)
        << std::hex << selected_under_pointer;
    EXPECT_EQ(after_leave, 0xFFFFFFu) << std::hex << after_leave;
    EXPECT_GT(heading_hits, 20);
    // The tip followed the rows under the pointer, each name set once.
    EXPECT_EQ(tooltips, (std::vector<std::u16string>{u"", u"carol", u"bob", u"Alice", u"bob"}));
    EXPECT_EQ(run.result, IDCANCEL);
}

TEST_F(DialogWindowTest, SmartCardRowShowsTheCardPicture) {
    // "card" has its key on a hardware provider and is listed first; "paper" has no key.
    StandInCertPlatform platform;
    ScopedCertPlatform scoped(&platform);
    StandInCertPlatform::Key key;
    key.private_key = MakeSm2Key();
    StandInCertPlatform::Provider provider;
    provider.name = u"Card Provider";
    provider.imp_type = CRYPT_IMPL_HARDWARE;
    provider.containers = {{"card-key", {key}}};
    platform.providers = {provider};
    for (const char* cn : {"paper", "card"}) {
        dialog_test::CertificateSpec spec;
        spec.subject = spec.issuer = {{"CN", cn}};
        spec.serial = {1};
        StandInCertPlatform::StoreCertificate entry;
        entry.certificate = dialog_test::MakeCertificate(spec);
        if (std::string(cn) == "card") {
            entry.provider = provider.name;
            entry.container = "card-key";
        }
        platform.personal_store.push_back(entry);
    }
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
    ASSERT_NE(store, nullptr);
    uint32_t card_centre = 0, paper_centre = 0;
    DialogRun run;
    WithPerson(
        [&] {
            const SELECT_CERTIFICATE_DIALOG_PARAM param = Param(store);
            PCCERT_CONTEXT chosen = nullptr;
            run.result = RunWindowSelectCertificateDialog(&param, &chosen, &run.code);
            CertFreeCertificateContext(chosen);
        },
        [&](unsigned long window) {
            const auto [x, y] = dialog_test::WindowOrigin(window);
            Screenshot shot(TempPng("pictures"));
            // The middle of each row's 48 x 48 picture at (14, 14).
            card_centre = shot.Pixel(x + kListLeft + 38, y + kListTop + 38);
            paper_centre = shot.Pixel(x + kListLeft + 38, y + kListTop + 80 + 38);
            RunCommand("xdotool key Escape");
        });
    CertCloseStore(store, 0);
    auto blue_dominant = [](uint32_t rgb) {
        return static_cast<int>(rgb & 0xFF) > static_cast<int>((rgb >> 16) & 0xFF) + 80;
    };
    EXPECT_TRUE(blue_dominant(card_centre)) << std::hex << card_centre;     // the card's body
    EXPECT_FALSE(blue_dominant(paper_centre)) << std::hex << paper_centre;  // the sheet
    EXPECT_EQ(run.result, IDCANCEL);
}

TEST_F(DialogWindowTest, DoubleClickOpensTheViewerAndNeverConfirms) {
    DialogRun run;
    bool viewer_opened = false;
    bool dialog_open_after_viewer = false;
    bool viewer_on_blank_space = true;
    WithPerson([&] { run = RunDialog(); },
               [&](unsigned long window) {
                   const auto [x, y] = dialog_test::WindowOrigin(window);
                   const int lx = x + kListLeft;
                   const int ly = y + kListTop;
                   // Below the last row, inside the list: no viewer.
                   RunCommand("xdotool mousemove " + std::to_string(lx + 100) + " " +
                              std::to_string(ly + 243) + " click --repeat 2 --delay 60 1");
                   viewer_on_blank_space = WaitForWindow("Certificate", 1) != 0;
                   // On the third row: the viewer, and the dialog stays.
                   RunCommand("xdotool mousemove " + std::to_string(lx + 100) + " " +
                              std::to_string(ly + 160 + 40) + " click --repeat 2 --delay 60 1");
                   const unsigned long viewer = WaitForWindow("Certificate", 5);
                   viewer_opened = viewer != 0;
                   if (viewer_opened) RunCommand("xdotool key Escape");
                   std::this_thread::sleep_for(std::chrono::milliseconds(400));
                   dialog_open_after_viewer = dialog_test::WindowExists(kCaption) &&
                                              !dialog_test::WindowExists("Certificate");
                   RunCommand("xdotool key Return");
                   std::this_thread::sleep_for(std::chrono::milliseconds(500));
               });
    EXPECT_FALSE(viewer_on_blank_space);
    EXPECT_TRUE(viewer_opened);
    EXPECT_TRUE(dialog_open_after_viewer);
    EXPECT_EQ(run.result, IDOK);
    EXPECT_EQ(run.chosen, "carol");  // the double-clicked row stayed selected
}

TEST_F(DialogWindowTest, ChineseHeadingIsDrawn) {
    setenv("LANG", "zh_CN.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    int inked = 0;
    int blue = 0;
    DialogRun run;
    WithPerson([&] { run = RunDialog(); },
               [&](unsigned long window) {
                   const auto [x, y] = dialog_test::WindowOrigin(window);
                   Screenshot shot(TempPng("zh"));
                   // The heading's box: four CJK characters at 22 pixels, from (15, 12).
                   for (int py = y + 12; py < y + 40; ++py) {
                       for (int px = x + 15; px < x + 140; ++px) {
                           const uint32_t pixel = shot.Pixel(px, py);
                           if (pixel != 0xFFFFFFu) ++inked;
                           if (ColorDistance(pixel, 0x003399) <= 12) ++blue;
                       }
                   }
                   SaveDialogPicture(shot, x, y, "dialog-zh.png");
                   RunCommand("xdotool key Escape");
               },
               // Found by program: without a Chinese C library locale the title has no WM_NAME.
               "--classname dialog_window_tests");
    unsetenv("LANG");
    EXPECT_GT(inked, 150);
    EXPECT_GT(blue, 20);
    EXPECT_EQ(run.result, IDCANCEL);
}

}  // namespace
