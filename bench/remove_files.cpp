// Removes the files named one per line on standard input (each below the
// directory given first on the command line) on as many threads as given
// second, the way Vexolan's deletion threads remove a file: held, its name
// checked, then removed, with no comparison. Times nothing itself: the
// caller times the process. Prints how many removals failed.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/rt.h"
#include "filesystem/fs.h"
#include "platform/os_text.h"

namespace {

// A path as the run-time library takes a file name from the system: UTF-8,
// with any byte that is no part of a character kept.
std::u16string widen(const std::string& text) {
  const auto count = static_cast<std::int32_t>(text.size());
  std::u16string wide(static_cast<std::size_t>(os_utf8_to_utf16(text.data(), count, nullptr, 0)), u'\0');
  os_utf8_to_utf16(text.data(), count, wide.data(), static_cast<std::int32_t>(wide.size()));
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || argv[1][0] == 0) {
    std::fprintf(stderr, "usage: remove_files ROOT THREADS < paths\n");
    return 2;
  }
  rt_init_for_tests(argc, argv);
  const std::string root = argv[1];
  const auto root_length = static_cast<std::int32_t>(root.size() + (root.back() == '/' ? 0 : 1));
  const int threads = std::max(1, std::atoi(argv[2]));
  std::vector<std::u16string> paths;
  for (std::string line; std::getline(std::cin, line);)
    if (!line.empty()) paths.push_back(widen(line));

  std::atomic<std::size_t> next{0};
  std::atomic<int> failed{0};
  auto work = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < paths.size();) {
      FsHeldFile held{};
      const char16_t* path = paths[k].c_str();
      if (!fs_hold_file(path, root_length, 1, &held) || !fs_delete_held(path, root_length, &held, 0)) ++failed;
      fs_release_held(&held);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(work);
  for (std::thread& t : pool) t.join();
  std::printf("%d failed\n", failed.load());
  rt_end_for_tests();
  return failed.load() == 0 ? 0 : 1;
}
