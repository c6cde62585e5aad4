#include "common/visible_text.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

namespace tonalyx {
namespace {

using namespace std::string_view_literals;

TEST(VisibleText, ShowsControlsAsCatVDoesAndKeepsText) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        // Kept: text, tabs, line breaks and well-formed UTF-8 from U+00A0 up.
        {"error: no link\tretrying\n", "error: no link\tretrying\n"},
        {"caf\u00e9 \u00a0\u2713 \U0001f3b5", "caf\u00e9 \u00a0\u2713 \U0001f3b5"},
        // C0 controls and DEL.
        {"\x1b[?1049h\x1b[?25l", "^[[?1049h^[[?25l"},
        {"a\0b\rc\x07\x1f\x7f"sv, "a^@b^Mc^G^_^?"},
        // C1 controls, raw or encoded in UTF-8: each byte as cat -v shows it.
        {"\x9bm", "M-^[m"},
        {"\xc2\x9bm", "M-BM-^[m"},
        // Not UTF-8: Latin-1, an over-long form, a surrogate, a cut character, a stray byte.
        {"\xe9t\xe9 \xc0\xaf \xed\xa0\x80", "M-itM-i M-@M-/ M-mM- M-^@"},
        {"caf\xc3", "cafM-C"},
        {"\xc3\x1b \xff\x80 \xf0\x9f\x8e", "M-C^[ M-^?M-^@ M-pM-^_M-^N"},
    };
    for (const auto& [bytes, shown] : cases) {
        EXPECT_EQ(visible_text(bytes), shown) << ::testing::PrintToString(std::string(bytes));
    }
}

} // namespace
} // namespace tonalyx
