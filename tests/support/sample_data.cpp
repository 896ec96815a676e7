#include "support/sample_data.h"

#include <random>
#include <string>

namespace testsupport {

std::vector<unsigned char> WordText(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::string> words;
    for (int w = 0; w < 500; ++w) {
        std::string word;
        const int length = 2 + static_cast<int>(random() % 9);
        for (int i = 0; i < length; ++i) word += static_cast<char>('a' + random() % 26);
        words.push_back(word);
    }
    std::vector<unsigned char> out;
    out.reserve(size + 16);
    while (out.size() < size) {
        // Zipf-like: low indexes far more often.
        const std::size_t index = (random() % words.size()) * (random() % words.size()) / words.size();
        out.insert(out.end(), words[index].begin(), words[index].end());
        out.push_back(random() % 12 == 0 ? '\n' : ' ');
    }
    out.resize(size);
    return out;
}

std::vector<unsigned char> RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> out(size);
    for (auto& b : out) b = static_cast<unsigned char>(random());
    return out;
}

}  // namespace testsupport
