// The selection dialog's display rows and the rules that make them, free of any window so they
// can be checked without a display: the text of each line, the order of the rows, how many rows
// the screen shows, and the template geometry in pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/crypt/CertServices.h"
#include "platform/runtime/Types.h"

// One display row.
struct CertificateListItem {
    PCCERT_CONTEXT pCertificate = nullptr;  // the dialog's reference, not a further one
    std::u16string strSubjectCN;            // first line and tooltip text
    std::u16string strIssuer;               // string 205 with the issuer's organisation or name
    std::u16string strSerialNumber;         // string 206 with the serial number in hexadecimal
    std::u16string strValidity;             // string 207 with the validity dates
    BOOL bKeyCertificate = 0;               // 1: the private key is on hardware or removable
};

namespace certificate_rows {

constexpr int kRowHeight = 80;       // every row is an 80-pixel card
constexpr size_t kNameMax = 127;     // a scanned name holds at most 127 characters
constexpr size_t kLineMax = 255;     // a formatted line holds at most 255 characters
constexpr int kScreenReserve = 500;  // the part of the screen height the rows leave free
constexpr size_t kHeadingMax = 127;  // the heading holds at most 127 characters

// The characters after the first occurrence of `key` up to the next comma or the end, at most
// kNameMax of them; empty when `key` does not occur. A plain substring search, as the name
// renderer's text is scanned, not parsed: "CN=LOGO=1, O=Org" scanned for "O=" gives "1".
std::u16string ScanNameAfter(std::u16string_view text, std::u16string_view key);

// The issuer's display name: after "O=", else after "CN=", else empty.
std::u16string IssuerDisplayName(std::u16string_view issuer);

// printf-style formatting of a string-table line: %ws / %s take a text, %d with an optional
// zero-padded width (%04d) takes a number, %% is a percent sign. The result is cut to kLineMax
// characters; a missing argument formats as nothing.
using FormatArgument = std::variant<std::u16string_view, int>;
std::u16string FormatLine(std::u16string_view format, const std::vector<FormatArgument>& args);

// Case-insensitive order of names: A-Z fold to a-z, everything else compares by UTF-16 unit.
int CompareNames(std::u16string_view a, std::u16string_view b);

// Smart-card rows first; rows of one kind by subject common name.
bool RowPrecedes(const CertificateListItem& a, const CertificateListItem& b);
void SortRows(std::vector<CertificateListItem>& rows);

// Whole rows the list shows on a screen of this height: (height - 500) / 80, at most the number
// of certificates, and at least one so that a short screen still shows a row.
int VisibleRowCount(int screen_height, size_t certificate_count);

// Dialog units to pixels with the template font's base units (an 8-point font at 96 dpi averages
// 6 x 13 pixels): x and widths by 6/4, y and heights by 13/8, rounded to nearest.
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;
int DialogUnitsToPixelsX(int units);
int DialogUnitsToPixelsY(int units);

}  // namespace certificate_rows
