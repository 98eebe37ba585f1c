// Prints the MD5 fingerprint of each file named on the command line, as
// "<digest>  <path>", made by the file fingerprint exactly as Vexolan makes it.
#include <cstdio>
#include <string>

#include "core/rt.h"
#include "core/str.h"
#include "fingerprint/fp.h"

int main(int argc, char** argv) {
  rt_init_for_tests(argc, argv);
  fp_use_md5();
  int failed = 0;
  for (std::int32_t i = 0; i < rt_param_count(); ++i) {
    StrVar path(rt_param(i));
    CStr digest = fp_file_fingerprint(path.get(), FP_PLUGIN_MD5);
    std::string text;
    for (CStr p = digest; *p; ++p) text += static_cast<char>(*p);
    if (text.empty()) ++failed;
    std::printf("%s  %s\n", text.empty() ? "-" : text.c_str(), argv[i + 1]);
  }
  rt_end_for_tests();
  return failed ? 1 : 0;
}
