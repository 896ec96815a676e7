// 8.3 short names for member path components: the basis a name stands for,
// and the candidates with numeric tails ("README~2.TXT") when it is taken.
#pragma once

#include <string>
#include <string_view>

namespace ArchiveMount {

struct ShortNameBasis {
    std::string name;    // 0 to 8 characters
    std::string ext;     // 0 to 3 characters
    bool lossy = false;  // the basis does not stand for the input exactly
};

// Copies ASCII bytes and turns every non-ASCII group (a UTF-8 sequence, or a
// lone byte that starts none) into one "_".
std::string FoldToAscii(std::string_view component);

// The upper-cased 8.3 basis of an ASCII name; forbidden characters become
// "_", spaces and the text between the first and last dot are left out.
ShortNameBasis ComputeShortNameBasis(std::string_view ascii);

// The basis name cut to leave room for "~" and n, then the extension;
// "" when n is outside 1..999999.
std::string NumericTailName(std::string_view ascii, int n);

// NumericTailName for an already computed basis.
std::string TailNameOf(const ShortNameBasis& basis, int n);

// The basis without a tail: name, then "." and ext when there is one.
std::string PlainNameOf(const ShortNameBasis& basis);

// Candidate `attempt` (from 1) for a component: the plain basis on attempt 1
// when it is exact, otherwise the numeric tail `attempt`.
std::string MakeShortName(std::string_view component, int attempt);

}  // namespace ArchiveMount
