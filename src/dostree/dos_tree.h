// The index of an archive as the directory tree a DOS program sees: every
// DOS path component a name, made-up directories included, with the sizes
// and times the index gives.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/frame_codec.h"

namespace DosTree {

struct Node {
    bool is_dir = false;
    std::int32_t ordinal = -1;  // the member to materialize; -1 for a directory
    std::int64_t size = 0;
    std::int64_t mtime = 0;
    std::map<std::string, std::unique_ptr<Node>> children;  // by name, directories only
};

class Tree {
public:
    // The tree of `index`; nullopt with a message when a DOS path is not
    // usable (the index comes from another process) or two entries claim one
    // place. The root's time is the newest of its children's.
    static std::optional<Tree> Build(const ArchiveHelper::IndexSummary& index, std::string* message);

    // The node at `path` ("/" is the root; components separated by "/"), or
    // null when there is none.
    const Node* Find(std::string_view path) const;

    const Node& root() const { return *root_; }

private:
    std::unique_ptr<Node> root_ = std::make_unique<Node>();
};

}  // namespace DosTree
