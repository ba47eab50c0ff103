#include "quillan/DidYouMean.h"

#include <algorithm>
#include <cctype>

namespace Quillan::Cli {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

}  // namespace

std::size_t EditDistance(std::string_view a, std::string_view b) {
  // Optimal string alignment: three rows of the Damerau-Levenshtein table.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t const cost = a[i - 1] == b[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::optional<std::string> ClosestMatch(std::string_view word, std::vector<std::string> const& candidates) {
  std::string const lower = Lower(word);
  std::size_t const allowed = std::max<std::size_t>(1, word.size() / 3);
  std::optional<std::string> best;
  std::size_t bestDistance = allowed + 1;
  for (std::string const& candidate : candidates) {
    std::size_t const distance = EditDistance(lower, Lower(candidate));
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

std::string DidYouMean(std::string_view word, std::vector<std::string> const& candidates) {
  std::optional<std::string> const match = ClosestMatch(word, candidates);
  return match ? "; did you mean \"" + *match + "\"?" : std::string();
}

}  // namespace Quillan::Cli
