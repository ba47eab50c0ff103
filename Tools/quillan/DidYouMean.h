#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillan::Cli {

// The number of single-byte insertions, deletions, substitutions and swaps of neighbours that turn `a` into `b`.
std::size_t EditDistance(std::string_view a, std::string_view b);

// The candidate closest to `word` when it is close enough to be a slip of the keyboard (at most a third of its
// letters off, and at least one); the first of equally close ones. Case is ignored.
std::optional<std::string> ClosestMatch(std::string_view word, std::vector<std::string> const& candidates);

// "; did you mean \"X\"?" for the closest match of `word`, or nothing.
std::string DidYouMean(std::string_view word, std::vector<std::string> const& candidates);

}  // namespace Quillan::Cli
