#include "dialog/CertificateRows.h"

#include <algorithm>

#include "common/Ascii.h"
#include "platform/window/WindowSystem.h"

namespace certificate_rows {

std::u16string ScanNameAfter(std::u16string_view text, std::u16string_view key) {
    const size_t start = text.find(key);
    if (start == std::u16string_view::npos) return {};
    std::u16string_view rest = text.substr(start + key.size());
    const size_t comma = rest.find(u',');
    if (comma != std::u16string_view::npos) rest = rest.substr(0, comma);
    return std::u16string(rest.substr(0, std::min(rest.size(), kNameMax)));
}

std::u16string IssuerDisplayName(std::u16string_view issuer) {
    if (issuer.find(u"O=") != std::u16string_view::npos) return ScanNameAfter(issuer, u"O=");
    return ScanNameAfter(issuer, u"CN=");
}

namespace {

void AppendNumber(std::u16string& out, int value, int width, bool zero_pad) {
    std::u16string digits;
    const bool negative = value < 0;
    int64_t magnitude = value;
    if (negative) magnitude = -magnitude;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits.insert(digits.begin(), u'-');
    while (static_cast<int>(digits.size()) < width) {
        digits.insert(zero_pad ? (negative ? 1 : 0) : 0, 1, zero_pad ? u'0' : u' ');
    }
    out += digits;
}

}  // namespace

std::u16string FormatLine(std::u16string_view format, const std::vector<FormatArgument>& args) {
    std::u16string out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != u'%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        size_t j = i + 1;
        if (format[j] == u'%') {
            out += u'%';
            i = j;
            continue;
        }
        bool zero_pad = false;
        int width = 0;
        if (format[j] == u'0') {
            zero_pad = true;
            ++j;
        }
        while (j < format.size() && format[j] >= u'0' && format[j] <= u'9') {
            width = width * 10 + (format[j] - u'0');
            ++j;
        }
        if (j < format.size() && format[j] == u'w') ++j;  // %ws: a wide text
        if (j >= format.size()) break;
        const FormatArgument* arg = next < args.size() ? &args[next] : nullptr;
        if (format[j] == u's') {
            ++next;
            if (arg != nullptr && std::holds_alternative<std::u16string_view>(*arg))
                out += std::get<std::u16string_view>(*arg);
        } else if (format[j] == u'd') {
            ++next;
            if (arg != nullptr && std::holds_alternative<int>(*arg))
                AppendNumber(out, std::get<int>(*arg), width, zero_pad);
        } else {
            out.append(format.substr(i, j - i + 1));  // not a conversion we know: kept as text
        }
        i = j;
    }
    if (out.size() > kLineMax) out.resize(kLineMax);
    return out;
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = FoldAsciiCase(a[i]);
        const char16_t y = FoldAsciiCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool RowPrecedes(const CertificateListItem& a, const CertificateListItem& b) {
    const bool a_key = a.bKeyCertificate == 1;
    const bool b_key = b.bKeyCertificate == 1;
    if (a_key != b_key) return a_key;
    return CompareNames(a.strSubjectCN, b.strSubjectCN) < 0;
}

void SortRows(std::vector<CertificateListItem>& rows) {
    if (rows.size() >= 2) std::sort(rows.begin(), rows.end(), RowPrecedes);
}

int VisibleRowCount(int screen_height, size_t certificate_count) {
    int rows = (screen_height - kScreenReserve) / kRowHeight;
    if (certificate_count < static_cast<size_t>(std::max(rows, 0)))
        rows = static_cast<int>(certificate_count);
    return std::max(rows, 1);
}

int DialogUnitsToPixelsX(int units) { return window_system::MulDiv(units, kBaseUnitX, 4); }
int DialogUnitsToPixelsY(int units) { return window_system::MulDiv(units, kBaseUnitY, 8); }

}  // namespace certificate_rows
