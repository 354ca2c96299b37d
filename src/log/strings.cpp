#include "log/strings.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace vr {
namespace {

struct Entry {
  int id;
  std::string_view text;
};

constexpr Entry kTable[] = {
#define VR_STRING(id, text) {id, text},
#include "log/string_table.inc"
#undef VR_STRING
};

constexpr bool SortedById() {
  for (std::size_t i = 1; i < std::size(kTable); ++i)
    if (kTable[i - 1].id >= kTable[i].id) return false;
  return true;
}
static_assert(SortedById(), "string_table.inc must list ids in increasing order");

}  // namespace

std::string_view MessageText(int id) {
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), id,
                             [](const Entry& e, int value) { return e.id < value; });
  if (it == std::end(kTable) || it->id != id) return {};
  return it->text;
}

std::string MissingKeyText(std::string_view key) {
  std::string text = "Manca o è corrotta la voce \"";
  text += key;
  text += "\" nel file ini.";
  return text;
}

}  // namespace vr
