// The dialog's certificate list: an owner-drawn list of 80-pixel cards (picture in a frame on the
// left, four text lines on the right), with a selected and a hover highlight, a tooltip with the
// subject's common name, and the certificate viewer on a double click.
#pragma once

#include <string>
#include <vector>

#include "dialog/CertificateRows.h"
#include "platform/window/FoundationLibrary.h"
#include "platform/window/WindowSystem.h"

class CCertificateList {
  public:
    CCertificateList();
    ~CCertificateList();
    CCertificateList(const CCertificateList&) = delete;
    CCertificateList& operator=(const CCertificateList&) = delete;

    // Takes over the list control: `hWnd` is the dialog's list widget (a scrolled window); the
    // list puts its drawing surface inside it. Until then the list has no window.
    void SubclassWindow(GtkWidget* hWnd);
    GtkWidget* GetHwnd() const { return m_hWnd; }

    HRESULT Initialize(HINSTANCE hInstance, BOOL bVistaOrLater,
                       std::vector<CertificateListItem> vtrItems);

    // The list-box operations the dialog uses; item n is row n.
    int AddString();
    int SetCurSel(int nIndex);
    int GetCurSel() const;
    int GetCount() const;
    window_system::Rect GetItemRect(int nIndex) const;
    // First in the dialog's focus order, and the keyboard focus.
    void BringWindowToTop();
    void Focus();

    // The text the tooltip currently holds (what it shows when the pointer rests on the list).
    const std::u16string& GetToolTipText() const { return m_strToolTipText; }

  private:
    int HitTest() const;
    void OnMeasureItem(int* pnItemHeight) const;
    void OnMouseMove();
    void OnMouseLeave();
    void OnLButtonDown();
    void OnLButtonDblClk();
    bool OnKeyDown(guint nKey);
    void DrawItem(int nItemID, bool bSelected, HDC hDC, const window_system::Rect& rcItem);
    void OnDraw(cairo_t* cr);
    void EnsureVisible(int nIndex);
    void Invalidate();

    static gboolean DrawThunk(GtkWidget*, cairo_t* cr, gpointer self);
    static gboolean MotionThunk(GtkWidget*, GdkEventMotion*, gpointer self);
    static gboolean LeaveThunk(GtkWidget*, GdkEventCrossing*, gpointer self);
    static gboolean ButtonThunk(GtkWidget*, GdkEventButton* event, gpointer self);
    static gboolean ViewerThunk(gpointer self);
    static void DestroyThunk(GtkWidget*, gpointer self);
    static gboolean KeyThunk(GtkWidget*, GdkEventKey* event, gpointer self);
    static gboolean QueryTooltipThunk(GtkWidget*, gint, gint, gboolean, GtkTooltip* tooltip,
                                      gpointer self);

    BOOL m_bMouseTracking;
    BOOL m_bVistaOrLater;
    window_system::PixbufPtr m_pSystemCertImage;
    window_system::PixbufPtr m_pKeyCertImage;
    window_system::PixbufPtr m_pFrameImage;
    std::vector<CertificateListItem> m_vtrItems;
    GtkWidget* m_hWnd;      // the list control (scrolled window), owned by the dialog's window
    GtkWidget* m_hSurface;  // the drawing surface inside it
    GtkWidget* m_hToolTip;  // the widget whose tooltip shows m_strToolTipText
    std::u16string m_strToolTipText;
    int m_nCount;
    int m_nCurSel;
    guint m_nViewerSource;  // a double click's viewer, waiting to open
};
