// The dialog's pieces that need no display: the row texts and order, the visible row count, the
// embedded pictures and the text drawing with its cut at the right limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ResultCodes.h"
#include "common/Utf.h"
#include "dialog/CertificateRows.h"
#include "platform/runtime/Resources.h"
#include "platform/window/FoundationLibrary.h"
#include "resources/StringTable.h"

namespace {

using certificate_rows::FormatLine;
using certificate_rows::IssuerDisplayName;
using certificate_rows::ScanNameAfter;

std::u16string U(const char* utf8) { return Utf8ToUtf16String(utf8); }

std::u16string Line(uint32_t id, uint16_t language) {
    char16_t buffer[256] = {};
    EXPECT_GT(LoadStringW(GetModuleHandleW(nullptr), id, language, buffer, 256), 0) << id;
    return buffer;
}

struct NameCase {
    const char* text;
    const char* subject_cn;   // scanned for "CN="
    const char* issuer_name;  // the issuer line's name
};

class NameScanTest : public testing::TestWithParam<NameCase> {};

TEST_P(NameScanTest, ScansLikeThePatternNotLikeAParser) {
    const NameCase& c = GetParam();
    EXPECT_EQ(ScanNameAfter(U(c.text), u"CN="), U(c.subject_cn));
    EXPECT_EQ(IssuerDisplayName(U(c.text)), U(c.issuer_name));
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameScanTest,
    testing::Values(NameCase{"CN=Root CA, O=Example Org, C=CN", "Root CA", "Example Org"},
                    NameCase{"CN=Root CA", "Root CA", "Root CA"},
                    // The first "O=" lies inside the common name.
                    NameCase{"CN=LOGO=1, O=Org", "LOGO=1", "1"}, NameCase{"O=Org, C=CN", "", "Org"},
                    NameCase{"C=CN, L=Beijing", "", ""}, NameCase{"CN=, O=", "", ""},
                    NameCase{"CN=张三, O=测试机构", "张三", "测试机构"}));

TEST(NameScanTest, LongNamesAreCutToTheBuffer) {
    const std::u16string long_name(300, u'x');
    EXPECT_EQ(ScanNameAfter(u"CN=" + long_name + u", O=Org", u"CN="),
              std::u16string(certificate_rows::kNameMax, u'x'));
}

TEST(RowLineTest, StringTableLinesFormatInBothLanguages) {
    struct Case {
        uint32_t id;
        uint16_t language;
        std::vector<certificate_rows::FormatArgument> args;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {IDS_ISSUER_LINE, 1033, {std::u16string_view(u"1")}, "Issuer: 1"},
        {IDS_ISSUER_LINE, 2052, {std::u16string_view(u"Org")}, "颁发者: Org"},
        {IDS_SERIAL_NUMBER_LINE, 1033, {std::u16string_view(u"0a0201")}, "SN: 0a0201"},
        {IDS_VALIDITY_LINE,
         1033,
         {2024, 1, 5, 2030, 12, 31},
         "Valid From: 2024/01/05 to 2030/12/31"},
        {IDS_VALIDITY_LINE, 2052, {999, 2, 3, 10000, 11, 9}, "有效期: 0999/02/03 至 10000/11/09"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf16ToUtf8String(FormatLine(Line(c.id, c.language), c.args)), c.expected);
    }
}

TEST(RowLineTest, LongSerialLineIsCutAt255Characters) {
    const std::u16string hex(2 * 200, u'a');  // a 200-byte serial number
    const std::u16string line = FormatLine(Line(IDS_SERIAL_NUMBER_LINE, 1033), {hex});
    ASSERT_EQ(line.size(), certificate_rows::kLineMax);
    EXPECT_EQ(line.substr(0, 6), u"SN: aa");
}

TEST(RowOrderTest, SmartCardRowsFirstThenNamesIgnoringCase) {
    auto row = [](const char16_t* name, BOOL key) {
        CertificateListItem item;
        item.strSubjectCN = name;
        item.bKeyCertificate = key;
        return item;
    };
    std::vector<CertificateListItem> rows = {row(u"Bob", 0), row(u"carol", 1), row(u"alice", 0),
                                             row(u"", 0),    row(u"Zed", 1),   row(u"_x", 0)};
    certificate_rows::SortRows(rows);
    std::vector<std::u16string> names;
    for (const auto& r : rows) names.push_back(r.strSubjectCN);
    // '_' (0x5F) sorts after the folded letters' upper-case range but before 'a' (0x61).
    EXPECT_EQ(names, (std::vector<std::u16string>{u"carol", u"Zed", u"", u"_x", u"alice", u"Bob"}));
}

TEST(RowCountTest, ScreenHeightGivesWholeRowsWithAMinimumOfOne) {
    struct Case {
        int screen;
        size_t certificates;
        int rows;
    };
    const Case cases[] = {{768, 5, 3},   {768, 1, 1}, {768, 3, 3}, {1080, 3, 3},
                          {1080, 10, 7}, {579, 4, 1}, {420, 4, 1}, {300, 0, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(certificate_rows::VisibleRowCount(c.screen, c.certificates), c.rows)
            << c.screen << " px, " << c.certificates << " certificates";
    }
}

TEST(TemplateGeometryTest, DialogUnitsUseTheEightPointFontBaseUnits) {
    EXPECT_EQ(certificate_rows::DialogUnitsToPixelsX(282), 423);
    EXPECT_EQ(certificate_rows::DialogUnitsToPixelsY(329), 535);
    EXPECT_EQ(certificate_rows::DialogUnitsToPixelsX(13), 20);  // 19.5 rounds up
    EXPECT_EQ(certificate_rows::DialogUnitsToPixelsY(264), 429);
}

// --- pictures ---

TEST(ImageTest, EmbeddedPicturesDecodeWithTheirSizes) {
    const struct {
        uint32_t id;
        int size;
    } cases[] = {{105, 128}, {106, 128}, {107, 62}};
    for (const auto& c : cases) {
        GdkPixbuf* image = nullptr;
        ASSERT_EQ(LoadImageFromResource(GetModuleHandleW(nullptr), c.id, &image), S_OK) << c.id;
        window_system::PixbufPtr owned(image);
        EXPECT_EQ(gdk_pixbuf_get_width(image), c.size);
        EXPECT_EQ(gdk_pixbuf_get_height(image), c.size);
        EXPECT_TRUE(gdk_pixbuf_get_has_alpha(image));
    }
}

TEST(ImageTest, FailuresHandOutNoImage) {
    const std::vector<uint8_t> not_png = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'};
    struct Case {
        const char* what;
        HRESULT (*load)(GdkPixbuf**, const std::vector<uint8_t>&);
        HRESULT expected;
    };
    const Case cases[] = {
        {"size 0",
         [](GdkPixbuf** p, const std::vector<uint8_t>& b) {
             return _LoadImageFromData(0, b.data(), p);
         },
         E_INVALIDARG},
        {"null bytes",
         [](GdkPixbuf** p, const std::vector<uint8_t>&) {
             return _LoadImageFromData(9, nullptr, p);
         },
         E_INVALIDARG},
        {"undecodable bytes",
         [](GdkPixbuf** p, const std::vector<uint8_t>& b) {
             return _LoadImageFromData(static_cast<DWORD>(b.size()), b.data(), p);
         },
         E_POINTER},
        {"unknown resource id",
         [](GdkPixbuf** p, const std::vector<uint8_t>&) {
             return LoadImageFromResource(GetModuleHandleW(nullptr), 104, p);
         },
         HRESULT(0x80070716u)},  // ERROR_RESOURCE_NAME_NOT_FOUND, converted
    };
    for (const Case& c : cases) {
        GdkPixbuf* image = nullptr;
        EXPECT_EQ(c.load(&image, not_png), c.expected) << c.what;
        EXPECT_EQ(image, nullptr) << c.what;
    }
}

TEST(ImageTest, ImageOutlivesTheBytesItWasMadeFrom) {
    std::vector<uint8_t> bytes(kEmbeddedImages[0].bytes,
                               kEmbeddedImages[0].bytes + kEmbeddedImages[0].size);
    GdkPixbuf* image = nullptr;
    ASSERT_EQ(_LoadImageFromData(static_cast<DWORD>(bytes.size()), bytes.data(), &image), S_OK);
    window_system::PixbufPtr owned(image);
    std::vector<uint8_t> before(gdk_pixbuf_get_pixels(image),
                                gdk_pixbuf_get_pixels(image) + gdk_pixbuf_get_byte_length(image));
    std::fill(bytes.begin(), bytes.end(), 0);
    bytes.clear();
    bytes.shrink_to_fit();
    EXPECT_TRUE(std::equal(before.begin(), before.end(), gdk_pixbuf_get_pixels(image)));
}

// --- text ---

// Columns of a white surface that received ink.
class TextSurface {
  public:
    TextSurface(int width, int height)
        : surface_(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height)),
          cr_(cairo_create(surface_.get())) {
        cairo_set_source_rgb(cr_.get(), 1, 1, 1);
        cairo_paint(cr_.get());
    }
    cairo_t* context() { return cr_.get(); }
    // The right-most column with a pixel darker than the background, or -1.
    int LastInkedColumn() {
        cairo_surface_flush(surface_.get());
        const int width = cairo_image_surface_get_width(surface_.get());
        const int height = cairo_image_surface_get_height(surface_.get());
        const int stride = cairo_image_surface_get_stride(surface_.get());
        const unsigned char* data = cairo_image_surface_get_data(surface_.get());
        int last = -1;
        for (int y = 0; y < height; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
            for (int x = 0; x < width; ++x) {
                if ((row[x] & 0xFFFFFF) != 0xFFFFFF && x > last) last = x;
            }
        }
        return last;
    }

  private:
    window_system::CairoSurfacePtr surface_;
    window_system::CairoPtr cr_;
};

TEST(DrawTextTest, TextIsCutAtThePositiveRightLimitOnly) {
    const std::u16string text(40, u'W');
    struct Case {
        int right;
        bool cut;
    };
    for (const Case& c : {Case{120, true}, Case{0, false}, Case{-5, false}}) {
        TextSurface surface(800, 40);
        DrawTextWithFont(u"Arial", surface.context(), text.c_str(), 10, 5, c.right, 6, 14,
                         RGB(0, 0, 0));
        const int last = surface.LastInkedColumn();
        if (c.cut) {
            EXPECT_LT(last, c.right);
            EXPECT_GT(last, 100);  // drawn up to the limit
        } else {
            EXPECT_GT(last, 200) << "right " << c.right;
        }
    }
}

TEST(DrawTextTest, FontHeightIsTheCellHeightWithAnyFace) {
    for (const char16_t* face :
         {static_cast<const char16_t*>(nullptr), u"Microsoft YaHei", u"Arial"}) {
        for (int height : {14, 18, 22}) {
            const auto extent = window_system::MeasureTextWithFont(face, u"Ag", 8, height);
            EXPECT_NEAR(extent.height, height, 1) << height;
        }
    }
}

TEST(DrawTextTest, ChineseRendersThroughTheSubstituteFont) {
    const std::u16string heading = Line(IDS_SELECT_CERTIFICATE_HEADING, 2052);
    const auto extent =
        window_system::MeasureTextWithFont(u"Microsoft YaHei", heading.c_str(), 8, 22);
    EXPECT_EQ(extent.missing_glyphs, 0);
    EXPECT_GT(extent.width, 40);
    TextSurface surface(300, 40);
    DrawTextWithFont(u"Microsoft YaHei", surface.context(), heading.c_str(), 15, 5, 280, 8, 22,
                     RGB(0, 0x33, 0x99));
    EXPECT_GT(surface.LastInkedColumn(), 15 + 40);
}

}  // namespace
