// Finding the files below a root: every regular file, through symbolic links, each folder once.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace chips {

struct TreeListing {
    std::vector<std::string> files;                             // sorted by path
    std::vector<std::pair<std::string, std::string>> problems;  // (folder, reason) for folders not read
};

// `root` is a folder or a single file. Paths are `root` joined with the names below it.
TreeListing list_tree(const std::string& root);

}  // namespace chips
