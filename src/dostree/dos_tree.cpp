#include "dostree/dos_tree.h"

#include <algorithm>

#include "client/tree_layout.h"

namespace DosTree {

namespace {

bool Fail(std::string* message, std::string text) {
    if (message) *message = std::move(text);
    return false;
}

// Places `entry` at `components`, making the directories on the way; a
// directory met again keeps its first time, as the index lists it once.
bool Place(Node& root, const std::vector<std::string>& components, const ArchiveMount::Entry& entry,
           std::string* message) {
    Node* at = &root;
    for (std::size_t i = 0; i < components.size(); ++i) {
        const bool last = i + 1 == components.size();
        auto found = at->children.find(components[i]);
        if (found == at->children.end()) {
            auto node = std::make_unique<Node>();
            node->is_dir = !last || entry.is_dir;
            node->mtime = entry.mtime;
            found = at->children.emplace(components[i], std::move(node)).first;
        } else if (last || !found->second->is_dir) {
            if (!(last && entry.is_dir && found->second->is_dir))
                return Fail(message, "the index lists '" + entry.dos_path + "' twice");
        }
        at = found->second.get();
    }
    at->is_dir = entry.is_dir;
    at->mtime = entry.mtime;
    if (!entry.is_dir) {
        at->ordinal = entry.ordinal;
        at->size = entry.size;
    }
    return true;
}

}  // namespace

std::optional<Tree> Tree::Build(const ArchiveHelper::IndexSummary& index, std::string* message) {
    Tree tree;
    tree.root_->is_dir = true;
    for (const ArchiveMount::Entry& entry : index.entries) {
        const auto relative = HelperClient::DosRelativePath(entry.dos_path);
        if (!relative || (!entry.is_dir && (entry.ordinal < 0 || entry.size < 0))) {
            Fail(message, "the helper gave an unusable DOS path '" + entry.dos_path + "'");
            return std::nullopt;
        }
        std::vector<std::string> components;
        for (const auto& part : *relative) components.push_back(part.string());
        if (!Place(*tree.root_, components, entry, message)) return std::nullopt;
        tree.root_->mtime = std::max(tree.root_->mtime, entry.mtime);
    }
    return tree;
}

const Node* Tree::Find(std::string_view path) const {
    const Node* at = root_.get();
    std::size_t start = 0;
    while (start < path.size()) {
        if (path[start] == '/') {
            ++start;
            continue;
        }
        const std::size_t end = std::min(path.find('/', start), path.size());
        const auto found = at->children.find(std::string(path.substr(start, end - start)));
        if (found == at->children.end()) return nullptr;
        at = found->second.get();
        start = end;
    }
    return at;
}

}  // namespace DosTree
