// Fuzz target: a text file read line by line and the lines written out
// again, in each format, with the byte-order mark detection, against a model
// of the lines.
//
// The model: a mark at the start (FF FE 00 00, FF FE, EF BB BF, FE FF,
// 00 00 FE FF, tested in that order) is skipped and names the format. A
// line ends at LF, CR, CR LF, a zero unit or the end of the file (units of
// one byte, or of two little-endian bytes in UTF-16LE, whose odd last byte
// is dropped); a read at the end gives an empty line. A line's units read
// as ANSI (here ISO-8859-1: byte b is U+00bb; or a double-byte stand-in
// code page that the test puts in the seam), as UTF-8 (a valid sequence is
// its code point, any other byte b alone U+DC00 + b) or as UTF-16LE code
// units. After each line the position is behind its line end. Writing each
// line with CR LF in a format gives its encoding (UTF-8 with U+DC80..U+DCFF
// as their bytes; ANSI with "?" for units above U+00FF), so that lines read
// and written in the format of the file are the file's own bytes.
//
// Input: a mode byte, two bytes for the length of a run of "x" inserted into
// the data (so that line ends, sequences and units fall on every offset of
// the 4096-byte buffer, and mostly just before its refills), one for the
// run's place among the first bytes of the data, then the data.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "core/rt.h"
#include "platform/os_heap.h"
#include "platform/os_seam.h"
#include "textfile/txt.h"

namespace {

namespace fs = std::filesystem;

using Bytes = std::string;
using Units = std::u16string;

constexpr std::int32_t ANSI = txt_format_code(TextFormat::Ansi);
constexpr std::int32_t UTF8 = txt_format_code(TextFormat::Utf8);
constexpr std::int32_t UTF16 = txt_format_code(TextFormat::Utf16Le);
constexpr ObjectId INPUT = 1;
constexpr ObjectId OUTPUT = 2;

fs::path g_dir;

// ---- The model ----

struct Mark {
  Bytes bytes;
  std::int32_t format;
};

// The mark at the start of the file and its format; Ansi and no bytes without one.
Mark model_mark(const Bytes& file) {
  static const Mark MARKS[] = {{Bytes("\xFF\xFE\0\0", 4), 5}, {"\xFF\xFE", UTF16}, {"\xEF\xBB\xBF", UTF8},
                               {"\xFE\xFF", 4},             {Bytes("\0\0\xFE\xFF", 4), 6}};
  const Bytes head = file.substr(0, 4);
  for (const Mark& m : MARKS)
    if (head.compare(0, m.bytes.size(), m.bytes) == 0 && head.size() >= m.bytes.size()) return m;
  return {"", ANSI};
}

struct Line {
  Bytes bytes;      // the units of the line, without its end
  std::size_t end;  // the position behind its end
};

std::vector<Line> model_lines(const Bytes& file, std::size_t pos, bool wide) {
  const std::size_t w = wide ? 2 : 1;
  auto unit = [&](std::size_t at) {
    return wide ? static_cast<unsigned char>(file[at]) | static_cast<unsigned char>(file[at + 1]) << 8
                : static_cast<unsigned char>(file[at]);
  };
  std::vector<Line> lines;
  while (pos < file.size()) {
    Line line;
    for (;;) {
      if (file.size() - pos < w) {
        pos = file.size();  // the end, or an odd last byte dropped
        break;
      }
      const unsigned u = unit(pos);
      pos += w;
      if (u == 0x0A || u == 0) break;
      if (u == 0x0D) {
        if (file.size() - pos >= w) {
          if (unit(pos) == 0x0A) pos += w;
        } else {
          pos = file.size();
        }
        break;
      }
      line.bytes.append(file, pos - w, w);
    }
    line.end = pos;
    lines.push_back(line);
  }
  return lines;
}

// The stand-in for a double-byte code page (as code page 932 splits its
// bytes): 0x81-0x9F and 0xE0-0xFC lead a pair, a lead byte without its
// trail byte becomes U+30FB.
std::int32_t dbcs_to_utf16(const char* src, std::int32_t count, char16_t* dst, std::int32_t capacity) {
  std::int32_t n = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const auto c = static_cast<unsigned char>(src[i]);
    const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    char16_t u = c;
    if (lead) u = i + 1 == count ? char16_t{0x30FB} : static_cast<char16_t>(0x4000 + (c << 8) + static_cast<unsigned char>(src[++i]));
    if (dst && capacity > 0) {
      if (n == capacity) break;
      dst[n] = u;
    }
    ++n;
  }
  return n;
}

Units model_utf8(const Bytes& s) {
  Units out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    const int len = b0 < 0x80 ? 1 : b0 >= 0xC2 && b0 <= 0xDF ? 2 : b0 >= 0xE0 && b0 <= 0xEF ? 3 : b0 >= 0xF0 && b0 <= 0xF4 ? 4 : 0;
    std::uint32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
    bool ok = len > 0 && i + static_cast<std::size_t>(len) <= s.size();
    for (int k = 1; ok && k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      ok = (b & 0xC0) == 0x80;
      cp = cp << 6 | (b & 0x3F);
    }
    ok = ok && !(len == 3 && cp < 0x800) && !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) &&
         !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!ok) {
      out += static_cast<char16_t>(0xDC00 + b0);
      ++i;
    } else if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD7C0 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      i += static_cast<std::size_t>(len);
    } else {
      out += static_cast<char16_t>(cp);
      i += static_cast<std::size_t>(len);
    }
  }
  return out;
}

Units model_decode(const Bytes& s, std::int32_t format, bool dbcs) {
  Units out;
  if (format == UTF16) {
    for (std::size_t i = 0; i + 1 < s.size(); i += 2)
      out += static_cast<char16_t>(static_cast<unsigned char>(s[i]) | static_cast<unsigned char>(s[i + 1]) << 8);
  } else if (format == UTF8) {
    out = model_utf8(s);
  } else if (dbcs) {
    out.resize(s.size());
    out.resize(static_cast<std::size_t>(dbcs_to_utf16(s.data(), static_cast<std::int32_t>(s.size()), out.data(),
                                                      static_cast<std::int32_t>(s.size()))));
  } else {
    for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  return out;
}

Bytes model_encode(const Units& u, std::int32_t format) {
  Bytes out;
  for (std::size_t i = 0; i < u.size(); ++i) {
    std::uint32_t c = u[i];
    if (format == UTF16) {
      out += static_cast<char>(c & 0xFF);
      out += static_cast<char>(c >> 8);
      continue;
    }
    if (format != UTF8) {
      out += c <= 0xFF ? static_cast<char>(c) : '?';
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (u[++i] - 0xDC00);
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
      continue;
    }
    if (c >= 0xDC80 && c <= 0xDCFF) {
      out += static_cast<char>(c - 0xDC00);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A read format code as the readers take it: 25, 2, or ANSI.
std::int32_t reader_of(std::int32_t code) { return code == UTF16 || code == UTF8 ? code : ANSI; }

// ---- Files ----

void write_file(const fs::path& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  fuzz_require(f != nullptr, "the input file can be made");
  fuzz_require(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(), "the input file is written");
  std::fclose(f);
}

Bytes read_file(const fs::path& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  fuzz_require(f != nullptr, "the output file exists");
  Bytes out;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  return out;
}

// The filler's length. Mostly one that puts the data behind it a few bytes
// before the end of the first or second fill of the buffer, so that what
// lies there meets a refill; else any length up to two buffers.
std::size_t filler_length(std::uint16_t shift, std::size_t filler_at) {
  if (shift & 0x8000) return shift & 0x1FFF;
  const std::size_t buffers = (shift >> 8) % 3, before = shift & 0x3F;
  const std::size_t at = buffers * static_cast<std::size_t>(TXT_BUFFER_BYTES);
  return at >= filler_at + before ? at - filler_at - before : 0;
}

void remove_dir() {
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz_start_runtime(argc, argv);
  txt_init();
  const fs::path shm = "/dev/shm";
  std::error_code ec;
  const fs::path base = fs::is_directory(shm, ec) ? shm : fs::temp_directory_path();
  g_dir = base / ("txt_lines_fuzz_" + std::to_string(std::random_device{}()));
  fs::create_directories(g_dir);
  std::atexit(remove_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::uint8_t mode = in.byte();
  const std::uint16_t shift = in.u16();
  const std::size_t place = in.byte() % 16;
  Bytes file = in.rest();
  const std::size_t filler_at = std::min(place, file.size());
  file.insert(filler_at, filler_length(shift, filler_at), 'x');

  // The mode: how the format is chosen, how the lines are read, which
  // format writes them.
  const int choice = mode & 3;                // 0 by the mark, else Ansi, Utf8, Utf16Le
  const bool until_eof = (mode & 4) != 0;     // read while txt_eof says 0 (as Quorith does)
  const bool by_default = (mode & 8) != 0;    // the format given at the open, 0 at each read
  const bool dbcs = (mode & 16) != 0;         // the double-byte stand-in decodes ANSI
  const int write_choice = (mode >> 5) & 3;   // 0 the read format, else Ansi, Utf8, Utf16Le
  const bool junk_bits = (mode & 128) != 0;   // bits above the format in the read flag word
  static constexpr std::int32_t CODES[] = {0, ANSI, UTF8, UTF16};

  const fs::path in_path = g_dir / "in.txt", out_path = g_dir / "out.txt";
  write_file(in_path, file);
  if (dbcs) os_calls().ansi_to_utf16 = dbcs_to_utf16;

  std::int32_t code = CODES[choice];
  std::size_t start = 0;
  const std::int32_t open_format = by_default ? code : 0;
  fuzz_require(txt_open_read(INPUT, in_path.u16string().c_str(), TXT_SHARE_READ | open_format) != 0,
               "the input opens");
  if (choice == 0) {
    const Mark mark = model_mark(file);
    fuzz_require(txt_format_code(txt_detect_format(INPUT)) == mark.format, "the mark names the model's format");
    start = mark.bytes.size();
    fuzz_require(txt_position(INPUT) == static_cast<std::int64_t>(start), "the mark is skipped");
    code = mark.format;
  }
  // What the reads read: the given format, or the open's (0 there is UTF-8).
  const std::int32_t read_format = by_default ? (open_format ? open_format : UTF8) : code;
  const std::int32_t reader = reader_of(read_format);
  std::vector<Line> model = model_lines(file, start, reader == UTF16);
  if (until_eof && model.empty()) model.push_back({"", start});

  const std::int32_t passed = by_default ? (junk_bits ? 0x7FE0 : 0) : (junk_bits ? code | 0x20000 : code);
  std::vector<Units> lines;
  for (std::size_t k = 0;; ++k) {
    if (until_eof ? (k > 0 && txt_eof(INPUT)) : k == model.size()) break;
    fuzz_require(k < model.size(), "no more lines than the model's");
    lines.emplace_back(txt_read_line(INPUT, passed));
    fuzz_require(lines.back() == model_decode(model[k].bytes, reader, dbcs), "a line is the model's");
    fuzz_require(txt_position(INPUT) == static_cast<std::int64_t>(model[k].end), "the position is behind the line");
  }
  fuzz_require(lines.size() == model.size(), "as many lines as the model's");
  fuzz_require(txt_eof(INPUT) == 1, "the end after the last line");
  fuzz_require(Units(txt_read_line(INPUT, passed)).empty(), "a read at the end is empty");
  fuzz_require(txt_error(INPUT) == 0, "reading fails nowhere");
  os_calls_reset();

  // Written again, each line with CR LF, in one format.
  const std::int32_t write_format = write_choice == 0 ? code : CODES[write_choice];
  const std::int32_t writer = reader_of(write_format);
  fuzz_require(txt_create(OUTPUT, out_path.u16string().c_str(), INPUT) != 0, "the output is made");
  Bytes expected;
  const Bytes line_end = writer == UTF16 ? Bytes("\r\0\n\0", 4) : Bytes("\r\n");
  for (const Units& line : lines) {
    fuzz_require(txt_write_line(OUTPUT, line.c_str(), write_format) == static_cast<std::int32_t>(line_end.size()),
                 "a line is written with its line end");
    expected += model_encode(line, writer) + line_end;
  }
  fuzz_require(txt_close(OUTPUT) == 1, "the output closes cleanly");
  txt_close(INPUT);
  const Bytes written = read_file(out_path);
  fuzz_require(written == expected, "the written lines are the model's encoding");
  if (writer == reader && !(dbcs && reader == ANSI)) {
    Bytes own;
    for (std::size_t k = 0; k < lines.size(); ++k) own += model[k].bytes + line_end;
    fuzz_require(written == own, "lines read and written in the file's format are its own bytes");
  }

  // Read again as bytes, in batches of up to 1 to 8 lines: the model's
  // lines, where a file of no byte has none.
  if (reader != UTF16) {
    fuzz_require(txt_open_read(INPUT, in_path.u16string().c_str(), TXT_SHARE_READ) != 0, "the input opens again");
    txt_seek(INPUT, static_cast<std::int64_t>(start));
    TxtByteBlock block = {};
    TxtLineSpan spans[8];
    const std::int32_t most = 1 + (shift & 7);
    std::size_t k = 0;
    while (std::int32_t n = txt_read_byte_lines(INPUT, &block, spans, most)) {
      fuzz_require(n <= most, "no more lines than asked for");
      for (std::int32_t i = 0; i < n; ++i, ++k) {
        fuzz_require(k < model.size(), "no more byte lines than the model's");
        const Bytes got(reinterpret_cast<const char*>(block.data) + spans[i].start, static_cast<std::size_t>(spans[i].size));
        fuzz_require(got == model[k].bytes, "a byte line is the model's");
      }
    }
    fuzz_require(txt_error(INPUT) == 0, "reading bytes fails nowhere");
    const bool none = file.size() == start;
    fuzz_require(k == (none ? 0 : model.size()), "as many byte lines as the model's");
    txt_close(INPUT);
    os_heap_free(rt_main_heap(), block.data);
  }
  return 0;
}
