// Win32 backend: the full and the extended form of a path, as Windows makes
// them (pure string work; see win32_path.h).
#include "win32_path.h"

#include <algorithm>

namespace {

// Room kept before the full path for the longest prefix ("\\?\UNC" over its "\\").
constexpr std::size_t WIN_PREFIX_ROOM = 8;

bool win_is_sep(char16_t unit) { return unit == u'\\' || unit == u'/'; }

char16_t win_upper(char16_t unit) { return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit; }

// The kinds of path that Windows tells apart by their first units.
enum class WinKind {
  Extended,       // \\?\ exactly: taken as it is
  DeviceRoot,     // \\. or \\? alone
  Device,         // \\.\x (or with "?" or "/" in it)
  Unc,            // \\server\share
  Drive,          // C:\x
  DriveRelative,  // C:x, relative to the current directory of drive C
  Rooted,         // \x, from the root of the current directory
  Relative,       // x
};

WinKind win_kind(std::u16string_view p) {
  if (p.size() >= 4 && p[0] == u'\\' && p[1] == u'\\' && p[2] == u'?' && p[3] == u'\\') return WinKind::Extended;
  if (!p.empty() && win_is_sep(p[0])) {
    if (p.size() < 2 || !win_is_sep(p[1])) return WinKind::Rooted;
    if (p.size() >= 3 && (p[2] == u'.' || p[2] == u'?')) {
      if (p.size() == 3) return WinKind::DeviceRoot;
      if (win_is_sep(p[3])) return WinKind::Device;
    }
    return WinKind::Unc;
  }
  if (p.size() >= 2 && p[1] == u':') return p.size() >= 3 && win_is_sep(p[2]) ? WinKind::Drive : WinKind::DriveRelative;
  return WinKind::Relative;
}

// The length of the root of a full path, which ".." never climbs over:
// "C:\", "\\.\", or "\\server\share\" with the separators after each.
std::size_t win_root_length(std::u16string_view p, WinKind kind) {
  if (kind == WinKind::Drive) return 3;
  if (kind == WinKind::Device) return 4;
  std::size_t i = 2;
  for (int part = 0; part < 2; ++part) {
    while (i < p.size() && !win_is_sep(p[i])) ++i;
    while (i < p.size() && win_is_sep(p[i])) ++i;
  }
  return std::min(i, p.size());
}

// The current directory as a drive or share path: the system may keep it
// in extended form.
std::u16string_view win_plain_dir(std::u16string_view dir, bool* unc) {
  *unc = false;
  if (win_kind(dir) == WinKind::Extended) {
    if (dir.size() >= 8 && win_upper(dir[4]) == u'U' && win_upper(dir[5]) == u'N' && win_upper(dir[6]) == u'C' &&
        dir[7] == u'\\') {
      *unc = true;
      return dir.substr(8);  // the share path after its two separators
    }
    dir = dir.substr(4);
  }
  return dir;
}

// The drive letter of the current directory, or 0 when it is a share.
char16_t win_dir_drive(std::u16string_view dir) {
  bool unc = false;
  std::u16string_view plain = win_plain_dir(dir, &unc);
  return !unc && win_kind(plain) == WinKind::Drive ? win_upper(plain[0]) : 0;
}

struct WinFull {
  std::size_t start;   // of the result in out
  std::size_t length;
  WinKind kind;        // of the result: Drive, Unc or Device when it is full
};

// Writes what a component pass works on: the path joined to the directory
// it is relative to, at out + WIN_PREFIX_ROOM. Returns its length, or
// npos when the path cannot be made absolute (no usable directory).
std::size_t win_join(std::u16string_view body, WinKind kind, std::u16string_view current_dir, char16_t* out) {
  char16_t* s = out + WIN_PREFIX_ROOM;
  std::size_t n = 0;
  auto put = [&](std::u16string_view v) {
    std::copy(v.begin(), v.end(), s + n);
    n += v.size();
  };
  if (kind == WinKind::Unc || kind == WinKind::Device || kind == WinKind::Drive) {
    put(body);
    return n;
  }
  if (kind == WinKind::DriveRelative && win_upper(body[0]) != win_dir_drive(current_dir)) {
    // Another drive whose own directory is not known: its root.
    const char16_t root[3] = {body[0], u':', u'\\'};
    put(std::u16string_view(root, 3));
    put(body.substr(2));
    return n;
  }
  bool unc = false;
  std::u16string_view dir = win_plain_dir(current_dir, &unc);
  if (unc) put(u"\\\\");
  put(dir);
  WinKind dir_kind = win_kind(std::u16string_view(s, n));
  if (dir_kind != WinKind::Drive && dir_kind != WinKind::Unc) return std::u16string_view::npos;
  if (kind == WinKind::Rooted) {
    // The drive ("C:") or the share ("\\server\share") of the directory.
    n = dir_kind == WinKind::Drive ? 2 : win_root_length(std::u16string_view(s, n), dir_kind);
    while (n > 2 && win_is_sep(s[n - 1])) --n;
    put(body);
    return n;
  }
  std::u16string_view rest = kind == WinKind::DriveRelative ? body.substr(2) : body;
  if (!rest.empty() && !win_is_sep(s[n - 1])) put(u"\\");
  put(rest);
  return n;
}

// Turns a joined path into its full form in place, as Windows does: "/"
// becomes "\", runs of separators after the root become one, "." goes, ".."
// takes the component before it (never the root), a component followed by a
// separator loses one trailing dot, and the path loses its trailing dots and
// blanks. Returns the new length.
std::size_t win_collapse(char16_t* s, std::size_t n, std::size_t root) {
  std::replace(s, s + n, u'/', u'\\');
  std::size_t w = root;
  for (std::size_t r = root; r < n; ++r)
    if (s[r] != u'\\' || w == 0 || s[w - 1] != u'\\') s[w++] = s[r];
  n = w;
  w = root;
  std::size_t r = root;
  while (r < n) {
    std::size_t end = r;
    while (end < n && s[end] != u'\\') ++end;
    bool sep = end < n;
    std::size_t length = end - r;
    if (length == 1 && s[r] == u'.') {
      if (!sep && w > root) --w;  // a final "." takes its separator along
    } else if (length == 2 && s[r] == u'.' && s[r + 1] == u'.') {
      if (w > root) {
        --w;
        while (w > root && s[w - 1] != u'\\') --w;
        if (!sep && w > root) --w;  // a final ".." leaves no separator behind
      }
    } else {
      if (w != r) std::copy(s + r, s + end, s + w);
      w += length;
      if (sep) {
        if (length > 0 && s[w - 1] == u'.') --w;
        s[w++] = u'\\';
      }
    }
    r = sep ? end + 1 : end;
  }
  while (w > root && (s[w - 1] == u' ' || s[w - 1] == u'.')) --w;
  return w;
}

WinFull win_full(std::u16string_view path, std::u16string_view current_dir, bool pattern, char16_t* out) {
  WinKind kind = win_kind(path);
  auto as_given = [&]() {
    std::copy(path.begin(), path.end(), out);
    return WinFull{0, path.size(), kind};
  };
  if (kind == WinKind::Extended || kind == WinKind::DeviceRoot) return as_given();
  if (path.find_first_not_of(u' ') == std::u16string_view::npos) return WinFull{0, 0, kind};

  // A search mask stays as it is: only the directory before it is a path.
  std::u16string_view body = path, mask;
  if (pattern) {
    std::size_t cut = path.find_last_of(u"\\/");
    cut = cut != std::u16string_view::npos ? cut + 1 : (kind == WinKind::DriveRelative ? 2 : 0);
    if (path.substr(cut).find_first_of(u"*?") != std::u16string_view::npos) {
      body = path.substr(0, cut);
      mask = path.substr(cut);
      kind = win_kind(body);
    }
  }

  std::size_t n = win_join(body, kind, current_dir, out);
  if (n == std::u16string_view::npos) return as_given();
  char16_t* s = out + WIN_PREFIX_ROOM;
  WinKind full_kind = win_kind(std::u16string_view(s, n));
  n = win_collapse(s, n, win_root_length(std::u16string_view(s, n), full_kind));
  if (!mask.empty()) {
    if (n == 0 || s[n - 1] != u'\\') s[n++] = u'\\';
    std::copy(mask.begin(), mask.end(), s + n);
    n += mask.size();
  }
  return WinFull{WIN_PREFIX_ROOM, n, full_kind};
}

std::u16string_view win_finish(char16_t* out, std::size_t start, std::size_t length) {
  out[start + length] = 0;
  return std::u16string_view(out + start, length);
}

}  // namespace

std::size_t win_path_capacity(std::u16string_view path, std::u16string_view current_dir) {
  return path.size() + std::max<std::size_t>(current_dir.size(), 3) + WIN_PREFIX_ROOM + 4;
}

std::u16string_view win_full_path(std::u16string_view path, std::u16string_view current_dir, bool pattern,
                                  char16_t* out) {
  WinFull full = win_full(path, current_dir, pattern, out);
  if (full.start != 0) std::copy(out + full.start, out + full.start + full.length, out);
  return win_finish(out, 0, full.length);
}

std::u16string_view win_system_path(std::u16string_view path, std::u16string_view current_dir, bool pattern,
                                    char16_t* out) {
  WinFull full = win_full(path, current_dir, pattern, out);
  bool absolute = full.kind == WinKind::Drive || full.kind == WinKind::Unc || full.kind == WinKind::Device;
  if (full.start == 0 || full.length < WIN_LONG_PATH || !absolute) {
    std::copy(path.begin(), path.end(), out);
    return win_finish(out, 0, path.size());
  }
  char16_t* s = out + full.start;
  if (full.kind == WinKind::Device) {
    s[2] = u'?';  // "\\.\" names the same as "\\?\", but is made full again
    return win_finish(out, full.start, full.length);
  }
  if (full.kind == WinKind::Unc) {
    // "\\server\share" becomes "\\?\UNC\server\share".
    constexpr std::u16string_view UNC = u"\\\\?\\UNC";
    std::copy(UNC.begin(), UNC.end(), s + 1 - UNC.size());
    return win_finish(out, full.start + 1 - UNC.size(), full.length + UNC.size() - 1);
  }
  constexpr std::u16string_view EXTENDED = u"\\\\?\\";
  std::copy(EXTENDED.begin(), EXTENDED.end(), s - EXTENDED.size());
  return win_finish(out, full.start - EXTENDED.size(), full.length + EXTENDED.size());
}

char16_t win_path_other_drive(std::u16string_view path, std::u16string_view current_dir) {
  if (win_kind(path) != WinKind::DriveRelative) return 0;
  return win_upper(path[0]) == win_dir_drive(current_dir) ? 0 : path[0];
}

bool win_path_is_absolute(std::u16string_view path) {
  WinKind kind = win_kind(path);
  return kind != WinKind::DriveRelative && kind != WinKind::Rooted && kind != WinKind::Relative;
}
