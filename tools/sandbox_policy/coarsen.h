// Turning many paths of one need into few rules: a directory rather than a
// thousand files, but never one that opens far more than was asked for.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// A directory with this many distinct paths of one need becomes one rule.
inline constexpr size_t k_coarsen_threshold = 4;

// What a learned directory rule must not name.
struct WideningLimits {
    std::string home;  // the user's home directory
    // The base's deny, deny_exact, deny_single, write_deny and delete_deny
    // entries. Those win over any rule, so a directory holding one widens
    // nothing they forbid, but it would read as if it did.
    std::vector<std::string> protected_entries;
};

// "/a/b" for "/a/b/c"; "/" for "/a" and for "/".
[[nodiscard]] std::string parent_directory(const std::string& path);

// /, a directory directly below it (/usr, /home, /tmp, /etc) or the home
// directory: a visible or write rule naming one opens far more than a
// command's calls show it needs.
[[nodiscard]] bool is_broad_directory(const std::string& path, const std::string& home);

// Whether paths below dir may be given as dir itself: it is no broad
// directory and holds no protected entry.
[[nodiscard]] bool may_widen_to(const std::string& dir, const WideningLimits& limits);

struct PathGroup {
    std::string path;             // the rule's path
    std::vector<size_t> members;  // the indices of the leaves it covers
};

// Groups leaves (absolute, normalized paths) into rules. A directory where
// k_coarsen_threshold or more distinct entries (files, or subdirectories
// holding some) lead to leaves takes their place, the widest such one
// above each leaf that may_widen_to allows; so it goes upward as long as
// each level spreads as wide. A leaf below another is covered by it. A
// group is never wider than a directory its members spread through.
// Sorted by path.
[[nodiscard]] std::vector<PathGroup> coarsen_paths(const std::vector<std::string>& leaves,
                                                   const WideningLimits& limits);
