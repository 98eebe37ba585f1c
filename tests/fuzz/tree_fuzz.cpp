// Fuzz target: the unique-string tree agrees with a plain std::set on every
// insertion (1 for a new text, 0 for a repeat, -1 while there is no array
// after tree_clear), its nodes hold the texts in insertion order with the
// links that a plain descent from the root gives them, and its array grows
// exactly when and by what the growth step says.
//
// Input: two set-up bytes (slots and growth, small so that the array grows
// often), then operations, each an operation byte and its operands: an
// insertion of a text (alphabet units that share long prefixes, or raw
// units), many numbered texts at once, a prefetch, a link check in the middle of the run, tree_reset,
// tree_init and tree_clear.
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <string_view>

#include "common/tree.h"
#include "core/arr.h"
#include "fuzz_support.h"

namespace {

using Text = std::u16string;

// A binary search tree built by the plain descent, nodes appended in order.
struct ModelNode {
  Text text;
  std::int32_t greater = 0;
  std::int32_t less = 0;
};

struct Model {
  std::deque<ModelNode> nodes;         // stable, so that the set can refer to their texts
  std::set<std::u16string_view> set;
  bool has_array = true;
  std::int32_t slots = 0;  // the array's element count
  std::int32_t growth = 0;

  void dim(std::int32_t n) {
    set.clear();
    nodes.clear();
    has_array = true;
    slots = n;
  }
  std::int32_t insert(const Text& t) {
    if (!has_array) return -1;
    if (set.count(t)) return 0;
    const auto n = static_cast<std::int32_t>(nodes.size());
    // A slot at the count is made before a node is stored in it.
    if (n > slots - 1) slots = n + growth + 1;
    nodes.push_back({t});
    set.insert(nodes.back().text);
    if (n > 0) {
      std::int32_t i = 0;
      for (;;) {
        std::int32_t& link = t > nodes[static_cast<std::size_t>(i)].text ? nodes[static_cast<std::size_t>(i)].greater
                                                                          : nodes[static_cast<std::size_t>(i)].less;
        if (link == 0) {
          link = n;
          break;
        }
        i = link;
      }
      // After a child is attached the slot at the count exists.
      if (n + 1 > slots - 1) slots = n + 1 + growth + 1;
    }
    return 1;
  }
};

void check_tree(const Model& m) {
  fuzz_require(tree_node_count == static_cast<std::int32_t>(m.nodes.size()), "the count is the set's size");
  if (!m.has_array) {
    fuzz_require(tree_nodes.array == nullptr, "no array after tree_clear");
    return;
  }
  fuzz_require(arr_size(tree_nodes.array) == m.slots - 1, "the array grows by the growth step");
  const TreeNode* nodes = tree_nodes;  // attaches the pending nodes
  for (std::size_t i = 0; i < m.nodes.size(); ++i) {
    const ModelNode& e = m.nodes[i];
    fuzz_require(std::u16string_view(nodes[i].text ? nodes[i].text : u"") == e.text,
                 "the nodes hold the texts in insertion order");
    fuzz_require(nodes[i].less == e.less && nodes[i].greater == e.greater, "the links are the plain descent's");
  }
  for (std::int32_t i = tree_node_count; i <= arr_size(tree_nodes.array); ++i)
    fuzz_require(tree_nodes.array[i].text == nullptr && tree_nodes.array[i].less == 0 &&
                     tree_nodes.array[i].greater == 0,
                 "the slots beyond the count are empty");
}

constexpr char16_t ALPHABET[] = {u'a', u'b', u'a', u'b', u'c', 0x00E9, 0xFFFF, 0xD800};

// `long_left`: how many more texts of this run may be long ones, which cost
// their length in every comparison with another.
Text take_text(FuzzInput& in, std::uint8_t op, int* long_left) {
  const std::size_t n = in.byte() % 40;
  Text t;
  if (op & 0x10) {
    for (std::size_t k = 0; k < n && !in.empty(); ++k)
      if (char16_t u = in.u16()) t += u;
  } else {
    for (std::size_t k = 0; k < n && !in.empty(); ++k) t += ALPHABET[in.byte() % (sizeof ALPHABET / sizeof ALPHABET[0])];
  }
  // Now and then a text longer than a block of the tree's text store.
  if ((op & 0x0F) == 0x0F && *long_left > 0) {
    --*long_left;
    t = Text(40000 + n, u'a') + t;
  }
  return t;
}

// Many texts at once (a prefix and a number), enough to split the ordered
// index's nodes at every level: in random order, or ascending or descending
// (which make the tree a chain, so fewer of them).
void bulk_insert(Model& m, const Text& prefix, std::uint8_t op, std::uint8_t amount) {
  const int order = (op >> 1) % 4;  // 0 and 1 random, 2 ascending, 3 descending
  // The model's descent is slow along a chain: a bounded number of texts per run.
  if (m.nodes.size() >= 2000) return;
  const std::uint32_t count = order < 2 ? 64u * (1 + amount % 64) : 8u * (1 + amount % 64);
  std::uint32_t seed = amount * 2654435761u + op;
  for (std::uint32_t k = 0; k < count; ++k) {
    std::uint32_t v = order == 2 ? k : order == 3 ? count - k : (seed = seed * 1103515245u + 12345u) >> 8;
    Text t = prefix;
    for (int d = 7; d >= 0; --d) t += static_cast<char16_t>(u'0' + (v >> (3 * d)) % 8);
    fuzz_require(tree_insert_unique(t.c_str()) == m.insert(t), "insertion agrees with the set");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz_start_runtime(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  Model m;
  int long_left = 4;
  const std::int32_t slots = 1 + in.byte() % 8;
  m.growth = 1 + in.byte() % 8;
  tree_create(slots, m.growth);
  m.dim(slots);
  while (!in.empty()) {
    const std::uint8_t op = in.byte();
    switch (op >> 5) {
      case 0:
      case 1:
      case 2:
      case 3: {
        const Text t = take_text(in, op, &long_left);
        fuzz_require(tree_insert_unique(t.c_str()) == m.insert(t), "insertion agrees with the set");
        break;
      }
      case 4: {
        int no_long = 0;  // a bulk's prefix is never long
        const Text t = take_text(in, op, (op & 1) ? &no_long : &long_left);
        if (op & 1) bulk_insert(m, t, op, in.byte());
        else tree_prefetch(t.c_str());
        break;
      }
      case 5:
        check_tree(m);
        break;
      case 6:
        if (op & 1) {
          tree_reset();
          m.dim(2);
        } else {
          m.growth = 1 + (op >> 1) % 8;
          tree_init(m.growth);
          m.dim(m.growth + 1);
        }
        break;
      case 7:
        tree_clear();
        m.dim(0);
        m.has_array = false;
        break;
    }
  }
  check_tree(m);
  tree_clear();
  return 0;
}
