#include "support/implode_encoder.h"

#include "support/bit_writer.h"

#include <algorithm>
#include <queue>

namespace testsupport {
namespace {

constexpr unsigned kMaxLength = 16;

// Huffman lengths for every symbol (each counted at least once, so all get a
// code); counts are flattened until no code is longer than 16 bits.
std::vector<unsigned char> CodeLengths(std::vector<unsigned long long> counts) {
    const std::size_t n = counts.size();
    for (auto& c : counts) c = std::max<unsigned long long>(c, 1);
    for (;;) {
        // Nodes 0..n-1 are leaves; parents get appended.
        std::vector<std::size_t> parent(2 * n, 0);
        using Item = std::pair<unsigned long long, std::size_t>;
        std::priority_queue<Item, std::vector<Item>, std::greater<>> queue;
        for (std::size_t s = 0; s < n; ++s) queue.push({counts[s], s});
        std::size_t next = n;
        while (queue.size() > 1) {
            const Item a = queue.top();
            queue.pop();
            const Item b = queue.top();
            queue.pop();
            parent[a.second] = parent[b.second] = next;
            queue.push({a.first + b.first, next++});
        }
        const std::size_t root = next - 1;
        std::vector<unsigned char> lengths(n);
        bool fits = true;
        for (std::size_t s = 0; s < n; ++s) {
            unsigned depth = 0;
            for (std::size_t node = s; node != root; node = parent[node]) ++depth;
            lengths[s] = static_cast<unsigned char>(depth);
            fits = fits && depth <= kMaxLength;
        }
        if (fits) return lengths;
        for (auto& c : counts) c = (c + 1) / 2;
    }
}

struct Code {
    std::vector<unsigned> bits;     // LSB-first, already complemented
    std::vector<unsigned char> lengths;
};

// Canonical codes in the stream's bit order: first code bit lowest, complemented.
Code MakeCode(const std::vector<unsigned char>& lengths) {
    unsigned counts[kMaxLength + 1] = {};
    for (unsigned char l : lengths) ++counts[l];
    unsigned next[kMaxLength + 2] = {};
    for (unsigned len = 1, code = 0; len <= kMaxLength; ++len) {
        code = (code + counts[len - 1]) << 1;
        next[len] = code;
    }
    Code code{std::vector<unsigned>(lengths.size()), lengths};
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        const unsigned len = lengths[s];
        const unsigned value = ~next[len]++;
        unsigned reversed = 0;
        for (unsigned i = 0; i < len; ++i) reversed |= ((value >> (len - 1 - i)) & 1) << i;
        code.bits[s] = reversed;
    }
    return code;
}

struct Token {
    unsigned literal_or_length;
    unsigned distance;  // 0 for a literal
};

}  // namespace

std::vector<unsigned char> DescribeTree(const std::vector<unsigned char>& lengths) {
    std::vector<unsigned char> runs;
    for (std::size_t s = 0; s < lengths.size();) {
        std::size_t count = 1;
        while (count < 16 && s + count < lengths.size() && lengths[s + count] == lengths[s]) ++count;
        runs.push_back(static_cast<unsigned char>(((count - 1) << 4) | (lengths[s] - 1)));
        s += count;
    }
    runs.insert(runs.begin(), static_cast<unsigned char>(runs.size() - 1));
    return runs;
}

std::vector<unsigned char> ImplodeEncode(const std::vector<unsigned char>& data, ImplodeKind kind) {
    const std::size_t dictionary = kind.dictionary_8k ? 8192 : 4096;
    const unsigned low_bits = kind.dictionary_8k ? 7 : 6;
    const unsigned base = kind.literal_tree ? 3 : 2;
    const std::size_t max_length = base + 63 + 255;

    // Search over zeros(dictionary) + data: the decoder's window reads as zeros before the output.
    std::vector<unsigned char> text(dictionary, 0);
    text.insert(text.end(), data.begin(), data.end());
    constexpr unsigned kHashBits = 16;
    std::vector<std::int64_t> head(1u << kHashBits, -1), previous(text.size(), -1);
    auto hash = [&](std::size_t p) {
        return ((text[p] << 10) ^ (text[p + 1] << 5) ^ text[p + 2]) & ((1u << kHashBits) - 1);
    };
    auto insert = [&](std::size_t p) {
        if (p + 3 > text.size()) return;
        const unsigned h = hash(p);
        previous[p] = head[h];
        head[h] = static_cast<std::int64_t>(p);
    };
    for (std::size_t p = 0; p < dictionary; ++p) insert(p);

    std::vector<Token> tokens;
    for (std::size_t p = dictionary; p < text.size();) {
        std::size_t best = 0, best_distance = 0;
        if (p + 3 <= text.size()) {
            const std::size_t limit = std::min(max_length, text.size() - p);
            int chain = 64;
            for (std::int64_t q = head[hash(p)]; q >= 0 && chain-- > 0; q = previous[q]) {
                const std::size_t distance = p - static_cast<std::size_t>(q);
                if (distance > dictionary) break;
                std::size_t len = 0;
                while (len < limit && text[q + len] == text[p + len]) ++len;
                if (len > best) {
                    best = len;
                    best_distance = distance;
                    if (len == limit) break;
                }
            }
        }
        if (best >= base) {
            tokens.push_back({static_cast<unsigned>(best), static_cast<unsigned>(best_distance)});
            for (std::size_t k = 0; k < best; ++k) insert(p + k);
            p += best;
        } else {
            tokens.push_back({text[p], 0});
            insert(p);
            ++p;
        }
    }

    std::vector<unsigned long long> literal_counts(256), length_counts(64), distance_counts(64);
    for (const Token& t : tokens) {
        if (t.distance == 0) {
            ++literal_counts[t.literal_or_length];
        } else {
            ++length_counts[std::min(t.literal_or_length - base, 63u)];
            ++distance_counts[(t.distance - 1) >> low_bits];
        }
    }
    std::vector<unsigned char> out;
    const Code literals = MakeCode(CodeLengths(literal_counts));
    const Code lengths = MakeCode(CodeLengths(length_counts));
    const Code distances = MakeCode(CodeLengths(distance_counts));
    for (const Code* code : {kind.literal_tree ? &literals : nullptr, &lengths, &distances}) {
        if (!code) continue;
        const std::vector<unsigned char> description = DescribeTree(code->lengths);
        out.insert(out.end(), description.begin(), description.end());
    }

    BitWriter bits(out);
    auto put_symbol = [&](const Code& code, unsigned symbol) { bits.put(code.bits[symbol], code.lengths[symbol]); };
    for (const Token& t : tokens) {
        if (t.distance == 0) {
            bits.put(1, 1);
            if (kind.literal_tree)
                put_symbol(literals, t.literal_or_length);
            else
                bits.put(t.literal_or_length, 8);
            continue;
        }
        bits.put(0, 1);
        const unsigned d = t.distance - 1;
        bits.put(d & ((1u << low_bits) - 1), low_bits);
        put_symbol(distances, d >> low_bits);
        const unsigned symbol = std::min(t.literal_or_length - base, 63u);
        put_symbol(lengths, symbol);
        if (symbol == 63) bits.put(t.literal_or_length - base - 63, 8);
    }
    bits.flush();
    return out;
}

}  // namespace testsupport
