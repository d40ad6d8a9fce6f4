#include "tools/sandbox_policy/coarsen.h"

#include <map>
#include <set>

#include "rules/path_rules.h"

namespace {

using Groups = std::map<std::string, std::vector<size_t>>;

// Moves every group that lies below another into it.
void fold_covered(Groups* groups) {
    for (auto it = groups->begin(); it != groups->end();) {
        std::string above = it->first;
        auto cover = groups->end();
        while (above != "/" && cover == groups->end()) {
            above = parent_directory(above);
            cover = groups->find(above);
        }
        if (cover == groups->end()) {
            ++it;
            continue;
        }
        cover->second.insert(cover->second.end(), it->second.begin(), it->second.end());
        it = groups->erase(it);
    }
}

// The entries of each directory that hold a leaf: a directory with a few
// files in many subdirectories (build/obj1/sub/a.o, build/obj2/sub/b.o)
// counts each subdirectory once.
std::map<std::string, std::set<std::string>> find_branches(const std::vector<std::string>& leaves) {
    std::map<std::string, std::set<std::string>> branches;
    for (const std::string& leaf : leaves) {
        for (std::string child = leaf; child != "/" && !child.empty();) {
            std::string dir = parent_directory(child);
            branches[dir].insert(child);
            child = dir;
        }
    }
    return branches;
}

}  // namespace

std::string parent_directory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

bool is_broad_directory(const std::string& path, const std::string& home) {
    if (path == "/" || path.empty()) return true;
    if (!home.empty() && path == home) return true;
    return path.find('/', 1) == std::string::npos;
}

bool may_widen_to(const std::string& dir, const WideningLimits& limits) {
    if (is_broad_directory(dir, limits.home)) return false;
    for (const std::string& entry : limits.protected_entries) {
        if (is_subpath(entry.c_str(), dir.c_str())) return false;
    }
    return true;
}

std::vector<PathGroup> coarsen_paths(const std::vector<std::string>& leaves, const WideningLimits& limits) {
    const std::map<std::string, std::set<std::string>> branches = find_branches(leaves);
    Groups groups;
    for (size_t i = 0; i < leaves.size(); ++i) {
        // The widest directory above the leaf that holds enough of the set.
        std::vector<std::string> above;
        for (std::string dir = leaves[i]; dir != "/" && !dir.empty();) above.push_back(dir = parent_directory(dir));
        std::string target = leaves[i];
        for (size_t j = above.size(); j-- > 0;) {
            auto found = branches.find(above[j]);
            if (found != branches.end() && found->second.size() >= k_coarsen_threshold &&
                may_widen_to(above[j], limits)) {
                target = above[j];
                break;
            }
        }
        groups[target].push_back(i);
    }
    fold_covered(&groups);
    std::vector<PathGroup> out;
    for (auto& [path, members] : groups) out.push_back({path, members});
    return out;
}
