// Code page 932 through iconv (glibc's CP932 is Windows' table, not plain Shift_JIS).
#include "platform/code_page.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace kalvix3d::platform {

namespace {

constexpr std::string_view kReplacement[] = {"\xEF\xBF\xBD", "?"}; // into UTF-8, into CP932

// One iconv conversion of all of `text`. An unmappable byte (from code page 932) or character
// (from UTF-8) is skipped and its replacement written, or ends the conversion when refused.
std::optional<std::string> convert(std::string_view text, bool intoUtf8, Unmappable unmappable) {
    iconv_t cd = intoUtf8 ? iconv_open("UTF-8", "CP932") : iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(text.size() * 4 + 8, '\0');
    char *in = const_cast<char *>(text.data());
    std::size_t inLeft = text.size();
    char *outPtr = out.data();
    std::size_t outLeft = out.size();
    bool whole = true;
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1))
            break;
        if ((errno != EILSEQ && errno != EINVAL) || unmappable == Unmappable::refuse) {
            whole = false;
            break;
        }
        std::size_t skip = 1; // a byte of code page 932, or a whole UTF-8 character
        while (!intoUtf8 && skip < inLeft && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80)
            ++skip;
        in += skip;
        inLeft -= skip;
        std::string_view replacement = kReplacement[intoUtf8 ? 0 : 1];
        if (outLeft < replacement.size())
            break; // cannot happen: out has room for four bytes a byte of input
        outPtr = std::copy(replacement.begin(), replacement.end(), outPtr);
        outLeft -= replacement.size();
    }
    if (whole && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        whole = false; // any shift state back to initial
    iconv_close(cd);
    if (!whole)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace

std::optional<std::string> utf8FromCp932(std::string_view bytes, Unmappable unmappable) {
    return convert(bytes, true, unmappable);
}

std::optional<std::string> cp932FromUtf8(std::string_view text, Unmappable unmappable) {
    return convert(text, false, unmappable);
}

} // namespace kalvix3d::platform
