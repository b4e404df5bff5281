#include "tree_walk.hpp"

#include "shared/file_io.hpp"

#include <algorithm>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace chips {

namespace {

using fileio::FileHandle;
using fileio::Listing;

class Walker {
public:
    explicit Walker(const FolderFiles& found) : found_(found) {}

    // False once `found` asked to end the walk.
    bool folder(const std::string& path) {
        std::vector<std::string> files, folders;
        list(path, files, folders);  // its listing closed before the walk goes deeper
        // Sub-folders in the order of the paths below them ("a-c/" before "a/"): a folder reached by
        // two paths (a link) is read under the first of them in sort order.
        std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
            return (a + '/') < (b + '/');
        });
        if (!files.empty() && !found_(std::move(files))) return false;
        for (const std::string& sub : folders)
            if (!folder(sub)) return false;
        return true;
    }

    std::vector<std::pair<std::string, std::string>> problems;

private:
    // The regular files and the folders in `path`, in listing order; nothing for a folder met before.
    void list(const std::string& path, std::vector<std::string>& files, std::vector<std::string>& folders) {
        FileHandle fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat info;
        if (!fd || ::fstat(fd.get(), &info) != 0) return problem(path, errno);
        // A folder met again (a link back up the tree, or two links to one folder) is read once.
        if (!seen_.insert({info.st_dev, info.st_ino}).second) return;
        int error = 0;
        Listing listing;
        if (!listing.open(std::move(fd), error)) return problem(path, error);
        const std::string prefix = path.ends_with('/') ? path : path + '/';
        while (const dirent* entry = listing.next(error)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            unsigned char type = entry->d_type;
            if (type == DT_LNK || type == DT_UNKNOWN) {
                struct stat target;
                // A dangling link names nothing to read: passed over.
                type = ::fstatat(listing.fd(), name, &target, 0) != 0 ? DT_UNKNOWN
                       : S_ISDIR(target.st_mode)                      ? DT_DIR
                       : S_ISREG(target.st_mode)                      ? DT_REG
                                                                      : DT_UNKNOWN;
            }
            if (type == DT_DIR) folders.push_back(prefix + name);
            else if (type == DT_REG) files.push_back(prefix + name);
        }
        if (error != 0) problem(path, error);
    }

    void problem(const std::string& path, int error) {
        problems.emplace_back(path, "cannot read folder: " + fileio::error_text(error));
    }

    const FolderFiles& found_;
    std::set<std::pair<dev_t, ino_t>> seen_;
};

}  // namespace

std::vector<std::pair<std::string, std::string>> walk_tree(const std::string& root, const FolderFiles& found) {
    struct stat info;
    if (::stat(root.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        found({root});
        return {};
    }
    Walker walker(found);
    walker.folder(root);
    return std::move(walker.problems);
}

}  // namespace chips
