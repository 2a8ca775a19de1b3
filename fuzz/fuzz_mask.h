// What the URL fuzzers check of a password's mask: where find says the
// password lies, and that mask replaces exactly that place with "******"
// and leaves a URL without one alone.
#ifndef THERMOMETRY_FUZZ_MASK_H
#define THERMOMETRY_FUZZ_MASK_H

#include <cstddef>
#include <string>

namespace fuzz_mask {

using finder = bool (*)(const std::string &, size_t *, size_t *);
using masker = std::string (*)(const std::string &);
using reporter = void (*)(const char *what, const std::string &url, const std::string &detail);

// Whether url has a password, at *begin for *length; violated (which must
// not return) when the mask disagrees.
inline bool check(const std::string &url, finder find, masker mask, reporter violated, size_t *begin, size_t *length)
{
    *begin = 0;
    *length = 0;
    const bool found = find(url, begin, length);
    const std::string masked = mask(url);
    if (found) {
        if (*begin > url.size() || *length > url.size() - *begin)
            violated("password span outside the URL", url, "");
        if (masked != url.substr(0, *begin) + "******" + url.substr(*begin + *length))
            violated("masking does not replace exactly the password span", url, masked);
    } else if (masked != url) {
        violated("a URL without a password span was changed", url, masked);
    }
    return found;
}

}  // namespace fuzz_mask

#endif  // THERMOMETRY_FUZZ_MASK_H
