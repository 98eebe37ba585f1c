// The file list: files held as a directory and a name give back their full
// paths, and sort in the order (ties included) that sort_array gives the
// same full paths as strings.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/arr.h"
#include "dupfiles/file_list.h"

namespace {

struct Listed {
  std::u16string dir;  // with its trailing separator
  std::u16string name;
};

}  // namespace

TEST(FileList, SortsAsTheFullPathsDo) {
  const std::u16string deep = std::u16string(300, u'd') + u"/" + std::u16string(40000, u'e') + u"/";
  const std::vector<Listed> files = {
      {u"/r/photos/", u"img.jpg"},   {u"/r/photos2/", u"img.jpg"}, {u"/r/Photos/", u"IMG.jpg"},
      {u"/r/photos/", u"Img.JPG"},   {u"/r/", u"photos"},          {u"/r/", u"photos_"},
      {u"/r/a\\b/", u"x"},           {u"/r/a/", u"b\\x"},          {u"/r/", u"\u00e9t\u00e9"},
      {u"/r/", u"\u00c9T\u00c9"},    {u"/r/", u"Zeta"},            {u"/r/\U0001F600/", u"\u6587\u4ef6"},
      {u"/r/", u"\U0001F600"},       {u"/r/" + deep, u"long"},     {u"/r/" + deep, u"LONG"},
      {u"/r/", u"b"},                {u"/r/", u"A"},               {u"/r/", u"a"},
  };
  // Passing over the scanned directory's "/r/" changes nothing; a longer
  // part that not every directory shares is not passed over.
  for (auto [slash_as_backslash, common] : {std::pair{false, 0}, {true, 0}, {false, 3}, {true, 3}, {false, 5}}) {
    FileList list;
    list.redim(static_cast<std::int32_t>(files.size()) + 1);
    Str* paths = nullptr;
    arr_dim_t<Str>(static_cast<std::int32_t>(files.size()) + 1, ELEM_STRING, STRING_LAYOUT, &paths);
    std::map<std::u16string, CStr> dirs;  // each directory stored once, as the collector does
    for (std::size_t k = 0; k < files.size(); ++k) {
      CStr& dir = dirs[files[k].dir];
      if (!dir) dir = list.add_dir(files[k].dir.c_str(), files[k].dir.size());
      list[static_cast<std::int32_t>(k) + 1] = list.add_file(dir, files[k].name.c_str(), files[k].name.size());
      str_assign(&paths[k + 1], (files[k].dir + files[k].name).c_str());
    }
    const std::int32_t n = static_cast<std::int32_t>(files.size());
    list.sort(1, n, slash_as_backslash, static_cast<std::size_t>(common));
    sort_array(paths, SORT_NO_CASE | (slash_as_backslash ? SORT_SLASH_AS_BACKSLASH : 0), 1, n);
    for (std::int32_t i = 1; i <= n; ++i) EXPECT_EQ(listed_path(list[i]), std::u16string(paths[i])) << i;
    arr_free(paths);
  }
}
