#include "platform/window/PinPromptWindow.h"

#define GCR_API_SUBJECT_TO_CHANGE 1
#include <ui/gcr-ui.h>

#include <string>

#include "common/Trace.h"
#include "platform/runtime/Resources.h"
#include "platform/window/WindowSystem.h"

namespace {

struct PromptTexts {
    const char* title;
    const char* enter_format;  // %s: the token's name
    const char* wrong;
    const char* retries_format;  // %d: attempts left
    const char* ok;
    const char* cancel;
};
const PromptTexts kEnglish{"PIN Required",
                           "Enter the PIN of \xE2\x80\x9C%s\xE2\x80\x9D to use its key:",
                           "The PIN was not correct. Please try again.",
                           "%d attempts left before the PIN is locked.",
                           "OK",
                           "Cancel"};
const PromptTexts kChinese{"需要 PIN 码",
                           "请输入\xE2\x80\x9C%s\xE2\x80\x9D的 PIN 码以使用其密钥：",
                           "PIN 码不正确，请重试。",
                           "PIN 码锁定前还可尝试 %d 次。",
                           "确定",
                           "取消"};

struct PromptState {
    window_system::ModalLoop loop;
};

constexpr intptr_t kAnswerOk = 1;
constexpr intptr_t kAnswerCancel = 2;

void OnOk(GtkWidget*, gpointer state) { static_cast<PromptState*>(state)->loop.End(kAnswerOk); }
void OnCancel(GtkButton*, gpointer state) {
    static_cast<PromptState*>(state)->loop.End(kAnswerCancel);
}
gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer state) {
    static_cast<PromptState*>(state)->loop.End(kAnswerCancel);
    return TRUE;
}
gboolean OnKey(GtkWidget*, GdkEventKey* event, gpointer state) {
    if (event->keyval != GDK_KEY_Escape) return FALSE;
    static_cast<PromptState*>(state)->loop.End(kAnswerCancel);
    return TRUE;
}

std::string Format(const char* format, const char* text) {
    window_system::GCharPtr formatted(g_strdup_printf(format, text));
    return formatted.get();
}

std::string Format(const char* format, int number) {
    window_system::GCharPtr formatted(g_strdup_printf(format, number));
    return formatted.get();
}

}  // namespace

PinPromptResult ShowPinPromptWindow(const PinPromptRequest& request, std::string* pin) {
    TRACE_SCOPE();
    if (pin == nullptr) return PinPromptResult::kCancelled;
    pin->clear();
    if (!window_system::StartWindowSystem()) return PinPromptResult::kCancelled;
    const PromptTexts& texts = GetUserDefaultUILanguage() == 2052 ? kChinese : kEnglish;
    const std::string token(request.token_name);
    PromptState state;

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), texts.title);
    gtk_window_set_modal(GTK_WINDOW(window), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_set_border_width(GTK_CONTAINER(box), 14);
    GtkWidget* prompt = gtk_label_new(Format(texts.enter_format, token.c_str()).c_str());
    gtk_label_set_xalign(GTK_LABEL(prompt), 0);
    gtk_label_set_line_wrap(GTK_LABEL(prompt), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(prompt), 48);
    gtk_box_pack_start(GTK_BOX(box), prompt, FALSE, FALSE, 0);

    // The entry keeps its text in gcr's secure memory, which is wiped when it is released.
    GtkEntryBuffer* buffer = gcr_secure_entry_buffer_new();
    GtkWidget* entry = gtk_entry_new_with_buffer(buffer);
    g_object_unref(buffer);
    gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
    gtk_entry_set_input_purpose(GTK_ENTRY(entry), GTK_INPUT_PURPOSE_PIN);
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_widget_set_size_request(entry, 300, -1);
    gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 0);

    if (request.previous_attempt_failed) {
        GtkWidget* wrong = gtk_label_new(texts.wrong);
        gtk_label_set_xalign(GTK_LABEL(wrong), 0);
        gtk_box_pack_start(GTK_BOX(box), wrong, FALSE, FALSE, 0);
    }
    if (request.retries_left >= 0) {
        GtkWidget* retries =
            gtk_label_new(Format(texts.retries_format, request.retries_left).c_str());
        gtk_label_set_xalign(GTK_LABEL(retries), 0);
        gtk_box_pack_start(GTK_BOX(box), retries, FALSE, FALSE, 0);
    }

    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(buttons), 6);
    GtkWidget* ok = gtk_button_new_with_label(texts.ok);
    GtkWidget* cancel = gtk_button_new_with_label(texts.cancel);
    gtk_container_add(GTK_CONTAINER(buttons), ok);
    gtk_container_add(GTK_CONTAINER(buttons), cancel);
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    gtk_widget_set_can_default(ok, TRUE);
    gtk_window_set_default(GTK_WINDOW(window), ok);

    g_signal_connect(ok, "clicked", G_CALLBACK(OnOk), &state);
    g_signal_connect(cancel, "clicked", G_CALLBACK(OnCancel), &state);
    g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), &state);
    g_signal_connect(window, "key-press-event", G_CALLBACK(OnKey), &state);

    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    gtk_widget_grab_focus(entry);
    TRACE_INFO("PIN prompt shown (retries left %d, previous attempt failed %d)",
               request.retries_left, request.previous_attempt_failed ? 1 : 0);
    const intptr_t answer = state.loop.Run();

    PinPromptResult result = PinPromptResult::kCancelled;
    if (answer == kAnswerOk) {
        pin->assign(gtk_entry_get_text(GTK_ENTRY(entry)));
        result = PinPromptResult::kOk;
    }
    // Clear the window's copy at once rather than when GTK releases the widget.
    gtk_entry_set_text(GTK_ENTRY(entry), "");
    window_system::DestroyWindowNow(window);
    TRACE_INFO("PIN prompt answered: %s", result == PinPromptResult::kOk ? "OK" : "cancelled");
    return result;
}
