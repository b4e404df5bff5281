// Finding the files below a root: every regular file, through symbolic links, each folder once.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace chips {

// Takes the regular files found in one folder (in listing order); returns false to end the walk.
using FolderFiles = std::function<bool(std::vector<std::string>&& files)>;

// Walks `root` (a folder, or a single file), handing each folder's files to `found`; paths are
// `root` joined with the names below it. Returns the folders that could not be read, with reasons.
std::vector<std::pair<std::string, std::string>> walk_tree(const std::string& root, const FolderFiles& found);

}  // namespace chips
